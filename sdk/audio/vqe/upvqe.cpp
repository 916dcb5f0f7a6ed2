#include "sdk/audio/vqe/upvqe.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "sdk/audio/vqe/internal/vqe_cache.h"
#include "sdk/audio/vqe/internal/vqe_chain.h"
#include "sdk/audio/vqe/resampler.h"
#include "sdk/audio/vqe/vqe_debug.h"

namespace {

using mk::vqe::ModuleChain;
using mk::vqe::SampleCache;
using mk::vqe::AppendThrough;
using mk::vqe::CacheCount;
using mk::vqe::ReadThrough;

constexpr MK_S32 kWorkSamples = 12288;    // 24576-byte work buffers
constexpr MK_S32 kCacheSamples = 13440;   // node count = this / F
constexpr MK_S32 kExtBlock = 256;         // the extended chain's block
constexpr MK_S32 kExtSamples = 8192;      // its process buffer and output cache, 16384 bytes each
constexpr MK_S32 kRecordFrame = 480;

struct UpVqe {
    UPVQE_CONFIG_S cfg{};
    MK_S32 frame = 0;
    bool twoCh = false;
    bool aec = false;
    bool needR() const { return twoCh || aec; }
    RESAMPLER_S* inRes = nullptr;
    RESAMPLER_S* inResR = nullptr;
    RESAMPLER_S* outRes = nullptr;
    RESAMPLER_S* outResR = nullptr;
    std::vector<MK_S16> work, workR;
    ModuleChain chain;
    VQE_RECORD_CONFIG_S recordCfg{};
    bool hasExt = false;
    ModuleChain ext;
    std::vector<MK_S16> extBuf, extOut;
    MK_S32 extPending = 0;
    MK_S32 extOutNum = 0;
    MK_S32 volume = 0;
    bool gain = false;
    std::mutex mutex;  // guards the caches, resamplers, chains and the volume
    SampleCache sin, sinR, sout, soutR;

    ~UpVqe() {
        chain.Release();
        ext.Release();
        for (RESAMPLER_S* r : {inRes, inResR, outRes, outResR}) {
            if (r != nullptr) Resampler_Destroy(r);
        }
    }
};

bool AnyOpen(const UPVQE_CONFIG_S& c) {
    return c.bHpfOpen || c.bAecOpen || c.bAnrOpen || c.bRnrOpen || c.bAgcOpen || c.bEqOpen || c.bHdrOpen ||
           c.bDrcOpen || c.bPeqOpen;
}

MK_S32 CheckChannels(UpVqe* v) {
    const UPVQE_CONFIG_S& c = v->cfg;
    if (c.s32ChnNum != c.s32OutChnNum) {
        VQE_ERR_TRACE("VQE only support the sample input/output channel config!\n");
        return -1;
    }
    if (c.s32Mode != UPVQE_MODE_RECORD) {
        if (c.s32ChnNum != 1) {
            VQE_ERR_TRACE("Error InputCh(%d)\n", c.s32ChnNum);
            return -1;
        }
    } else {
        if (c.bAecOpen || c.bAnrOpen || c.bPeqOpen) {
            VQE_ERR_TRACE("RECORD VQE unsupport AEC/ANR/PEQ!\n");
            return -1;
        }
        if (c.s32ChnNum != 1 && c.s32ChnNum != 2) {
            VQE_ERR_TRACE("RECORD VQE only support input/output channel 1 or 2!InputCh(%d)\n", c.s32ChnNum);
            return -1;
        }
        v->twoCh = c.s32ChnNum == 2;
    }
    v->aec = c.bAecOpen != 0;
    return 0;
}

MK_S32 CreateResamplers(UpVqe* v) {
    const UPVQE_CONFIG_S& c = v->cfg;
    MK_S32 ret = Resampler_Create(&v->outRes, c.s32WorkSampleRate, c.s32OutSampleRate, RESAMPLER_SIDE_OUT);
    if (ret == 0) ret = Resampler_Create(&v->inRes, c.s32InSampleRate, c.s32WorkSampleRate, RESAMPLER_SIDE_IN);
    if (ret == 0 && v->needR()) {
        ret = Resampler_Create(&v->inResR, c.s32InSampleRate, c.s32WorkSampleRate, RESAMPLER_SIDE_IN);
    }
    if (ret == 0 && v->twoCh) {
        ret = Resampler_Create(&v->outResR, c.s32WorkSampleRate, c.s32OutSampleRate, RESAMPLER_SIDE_OUT);
    }
    if (ret != 0) {
        VQE_ERR_TRACE("UPVQE_ResampleCreate Failed!\n");
        return ret;
    }
    if (v->inRes != nullptr || v->outRes != nullptr) v->work.resize(kWorkSamples);
    if (v->inResR != nullptr || v->outResR != nullptr) v->workR.resize(kWorkSamples);
    return 0;
}

MK_S32 CreateModules(UpVqe* v) {
    UPVQE_CONFIG_S& c = v->cfg;
    MK_S32 f = c.s32FrameSample;
    if (f < 80 || f > 4096) {
        VQE_ERR_TRACE("UPVQE invalid s32FrameSample(%d)\n", f);
        return MK_ERR_UPVQE_ILLEGAL_PARAM;
    }
    if (AnyOpen(c)) {
        switch (c.s32WorkSampleRate) {
            case 8000: f = c.bHdrOpen ? 160 : 80; break;
            case 16000: f = c.bHdrOpen ? 320 : 160; break;
            case 48000: f = 960; break;
            default:
                VQE_ERR_TRACE("UPVQE invalid s32WorkSampleRate(%d)\n", c.s32WorkSampleRate);
                return MK_ERR_UPVQE_ILLEGAL_PARAM;
        }
    }
    const MK_S32 ws = static_cast<MK_S32>(c.enWorkstate);
    bool loaded = true;
    if (c.s32Mode == UPVQE_MODE_RECORD &&
        (c.bHpfOpen || c.bRnrOpen || c.bHdrOpen || c.bDrcOpen || c.bAgcOpen || c.bEqOpen)) {
        VQE_RECORD_CONFIG_S& r = v->recordCfg;
        r.bHdrOpen = c.bHdrOpen;
        r.bHpfOpen = c.bHpfOpen;
        r.bRnrOpen = c.bRnrOpen;
        r.bAgcOpen = c.bAgcOpen;
        r.bEqOpen = c.bEqOpen;
        r.bDrcOpen = c.bDrcOpen;
        r.s32InChnNum = c.s32ChnNum;
        r.s32OutChnNum = c.s32OutChnNum;
        r.stHdrCfg = c.stHdrCfg;
        r.stHpfCfg = c.stHpfCfg;
        r.stRnrCfg = c.stRnrCfg;
        r.stAgcCfg = c.stAgcCfg;
        r.stEqCfg = c.stEqCfg;
        r.stDrcCfg = c.stDrcCfg;
        loaded = v->chain.Load("record", 0, 0, ws, &r) == 0;
        f = kRecordFrame;
    } else {
        struct Entry {
            MK_U32 open;
            const char* name;
            MK_VOID* param;
        };
        const Entry entries[] = {
            {c.bHdrOpen, "HDR", &c.stHdrCfg}, {c.bAecOpen, "AEC", &c.stAecCfg}, {c.bHpfOpen, "HPF", &c.stHpfCfg},
            {c.bAnrOpen, "ANR", &c.stAnrCfg}, {c.bRnrOpen, "RNR", &c.stRnrCfg}, {c.bDrcOpen, "DRC", &c.stDrcCfg},
            {c.bAgcOpen, "AGC", &c.stAgcCfg}, {c.bEqOpen, "EQ", &c.stEqCfg},
        };
        for (const Entry& e : entries) {
            if (!e.open) continue;
            MK_S32 modeA = 0;
            MK_S32 modeB = 0;
            if (std::strcmp(e.name, "AGC") == 0) modeB = c.bEqOpen ? 1 : 0;
            if (std::strcmp(e.name, "EQ") == 0) modeA = 1;
            if (std::strcmp(e.name, "RNR") == 0 && c.stRnrCfg.s32NrMode == 0 &&
                (c.s32WorkSampleRate == 8000 || c.s32WorkSampleRate == 16000)) {
                f = 960;
            }
            if (v->chain.Load(e.name, modeA, modeB, ws, e.param) != 0) {
                loaded = false;
                break;
            }
        }
    }
    if (!loaded) return MK_ERR_UPVQE_NO_MODULE;
    const char* failed = nullptr;
    MK_S32 ret = v->chain.InitAll(c.s32WorkSampleRate, &failed);
    if (ret != 0) {
        std::fprintf(stderr, "%s_Init Fail!\n", failed != nullptr ? failed : "");
        return ret;
    }
    v->frame = f;
    return 0;
}

MK_S32 CreateExtChain(UpVqe* v) {
    const UPVQE_CONFIG_S& c = v->cfg;
    if (c.s32Mode == UPVQE_MODE_RECORD || c.s32WorkSampleRate != 48000 || c.bAecOpen || c.bAgcOpen ||
        c.bAnrOpen || c.bEqOpen) {
        VQE_ERR_TRACE("AVC/PEQ only work with 48kHz RNR!\n");
        VQE_ERR_TRACE("UPVQE_CreateExtVqe Failed!");
        return -1;
    }
    if (v->ext.Load("PEQ", 0, 0, static_cast<MK_S32>(c.enWorkstate), &v->cfg.stPeqCfg) != 0) {
        VQE_ERR_TRACE("UPVQE_CreateExtendVQE Failed(0x%x)!\n", static_cast<unsigned>(MK_ERR_UPVQE_NO_MODULE));
        VQE_ERR_TRACE("UPVQE_CreateExtVqe Failed!");
        return MK_ERR_UPVQE_NO_MODULE;
    }
    MK_S32 ret = v->ext.InitAll(c.s32WorkSampleRate, nullptr);
    if (ret != 0) {
        VQE_ERR_TRACE("UPVQE_CreateExtendVQE Failed(0x%x)!\n", static_cast<unsigned>(ret));
        VQE_ERR_TRACE("UPVQE_CreateExtVqe Failed!");
        return ret;
    }
    v->extBuf.resize(kExtSamples);
    v->extOut.resize(kExtSamples);
    v->hasExt = true;
    return 0;
}

MK_S32 CreateCaches(UpVqe* v) {
    const MK_S32 nodes = kCacheSamples / v->frame;
    struct Step {
        bool wanted;
        SampleCache* cache;
        const char* what;
    };
    const Step steps[] = {
        {true, &v->sin, "CreateUPVQE_Cache_S SinCache Fail!"},
        {v->needR(), &v->sinR, "CreateUPVQE_Cache_S SinCacheR Fail!"},
        {true, &v->sout, "CreateUPVQE_Cache_S SoutCache Fail!"},
        {v->twoCh, &v->soutR, "CreateUPVQE_Cache_S SoutCacheR Fail!"},
    };
    for (const Step& s : steps) {
        if (s.wanted && !s.cache->Create(nodes, v->frame)) {
            VQE_ERR_TRACE("%s", s.what);
            VQE_ERR_TRACE("UPVQE_CreateIOCache Failed!");
            return -1;
        }
    }
    return 0;
}

MK_S32 ProcessLocked(UpVqe* v, const MK_S16* in, const MK_S16* inR, MK_S16* out, MK_S16* outR, MK_S32 n) {
    return v->chain.Run(in, v->twoCh ? inR : nullptr, v->aec ? inR : nullptr, out, v->twoCh ? outR : nullptr, n,
                        v->frame, &v->volume) == 0
               ? MK_SUCCESS
               : MK_ERR_UPVQE_PROCESS;
}

// One frame through the extended chain: the main chain's output joins the pending samples, whole
// blocks go through PEQ into the output cache, whole frames of it become output nodes.
MK_S32 ProcessExtFrame(UpVqe* v) {
    const MK_S32 f = v->frame;
    if (v->extPending + f > kExtSamples) return MK_ERR_UPVQE_PROCESS;
    MK_S32 ret = ProcessLocked(v, v->sin.ReadNode(), nullptr, v->extBuf.data() + v->extPending, nullptr, f);
    if (ret != 0) {
        VQE_ERR_TRACE("MK_UPVQE_ProcessFrame failed!\n");
        return ret;
    }
    const MK_S32 total = v->extPending + f;
    const MK_S32 blocks = total / kExtBlock * kExtBlock;
    if (v->extOutNum + blocks > kExtSamples ||
        v->ext.Run(v->extBuf.data(), nullptr, nullptr, v->extOut.data() + v->extOutNum, nullptr, blocks, kExtBlock,
                   &v->volume) != 0) {
        VQE_ERR_TRACE("UPVQE_ProcessExtendVQE failed!(0x%x)\n", static_cast<unsigned>(MK_ERR_UPVQE_PROCESS));
        VQE_ERR_TRACE("UPVQE_ProcessExtFrame failed!\n");
        return MK_ERR_UPVQE_PROCESS;
    }
    std::memmove(v->extBuf.data(), v->extBuf.data() + blocks, (total - blocks) * sizeof(MK_S16));
    v->extPending = total - blocks;
    v->extOutNum += blocks;
    MK_S32 used = 0;
    while (v->extOutNum - used >= f && v->sout.FreeNodes() > 0) {
        std::memcpy(v->sout.WriteNode(), v->extOut.data() + used, f * sizeof(MK_S16));
        v->sout.AdvanceWrite();
        used += f;
    }
    std::memmove(v->extOut.data(), v->extOut.data() + used, (v->extOutNum - used) * sizeof(MK_S16));
    v->extOutNum -= used;
    return 0;
}

// Runs every whole input frame that has room in the output caches.
MK_S32 ProcessCached(UpVqe* v) {
    MK_S32 ret = 0;
    while (v->sin.FullNodes() > 0 && v->sout.FreeNodes() > 0 && (!v->needR() || v->sinR.FullNodes() > 0) &&
           (!v->twoCh || v->soutR.FreeNodes() > 0)) {
        if (v->hasExt) {
            ret = ProcessExtFrame(v);
            if (ret != 0) break;
        } else {
            ret = ProcessLocked(v, v->sin.ReadNode(), v->needR() ? v->sinR.ReadNode() : nullptr, v->sout.WriteNode(),
                                v->twoCh ? v->soutR.WriteNode() : nullptr, v->frame);
            if (ret != 0) {
                VQE_ERR_TRACE("MK_UPVQE_ProcessFrame failed!\n");
                break;
            }
            v->sout.AdvanceWrite();
            if (v->twoCh) v->soutR.AdvanceWrite();
        }
        v->sin.AdvanceRead();
        if (v->needR()) v->sinR.AdvanceRead();
    }
    if (ret == 0 && (v->sout.FreeNodes() == 0 || (v->twoCh && v->soutR.FreeNodes() == 0))) {
        ret = MK_ERR_UPVQE_OUTCACHE_FULL;
    }
    return ret;
}

UpVqe* Cast(MK_VOID* h) { return static_cast<UpVqe*>(h); }

}  // namespace

MK_S32 MK_UPVQE_Create(MK_VOID** phUpVqe, const UPVQE_CONFIG_S* pstConfig) {
    if (phUpVqe == nullptr || pstConfig == nullptr) return MK_ERR_UPVQE_ILLEGAL_PARAM;
    auto* v = new (std::nothrow) UpVqe;
    if (v == nullptr) return MK_ERR_UPVQE_NOMEM;
    v->cfg = *pstConfig;
    MK_S32 ret = CheckChannels(v);
    if (ret != 0) {
        VQE_ERR_TRACE("UPVQE_CheckDoubleMicParam Failed!");
    }
    if (ret == 0) ret = CreateResamplers(v);
    if (ret == 0) ret = CreateModules(v);
    if (ret == 0 && v->cfg.bPeqOpen) ret = CreateExtChain(v);
    if (ret == 0) ret = CreateCaches(v);
    if (ret != 0) {
        delete v;
        return ret;
    }
    *phUpVqe = v;
    return MK_SUCCESS;
}

MK_VOID MK_UPVQE_Destroy(MK_VOID* hUpVqe) { delete Cast(hUpVqe); }

MK_S32 MK_UPVQE_GetConfig(MK_VOID* hUpVqe, UPVQE_CONFIG_S* pstConfig) {
    if (hUpVqe == nullptr || pstConfig == nullptr) return MK_ERR_UPVQE_ILLEGAL_PARAM;
    *pstConfig = Cast(hUpVqe)->cfg;
    return MK_SUCCESS;
}

MK_S32 MK_UPVQE_GetFrameSample(MK_VOID* hUpVqe) { return hUpVqe == nullptr ? 0 : Cast(hUpVqe)->frame; }

MK_S32 MK_UPVQE_WriteFrame(MK_VOID* hUpVqe, const UPVQE_FRAME_S* pstFrame) {
    if (hUpVqe == nullptr) {
        std::fprintf(stderr, "UPVQE invalid hUpVqe\n");
        return MK_ERR_UPVQE_ILLEGAL_PARAM;
    }
    if (pstFrame == nullptr || pstFrame->ps16Buf == nullptr) {
        VQE_ERR_TRACE("UPVQE invalid ps16SinBuf(%p)\n", pstFrame != nullptr ? static_cast<void*>(pstFrame->ps16Buf) : nullptr);
        return MK_ERR_UPVQE_ILLEGAL_PARAM;
    }
    UpVqe* v = Cast(hUpVqe);
    std::lock_guard<std::mutex> lock(v->mutex);
    ProcessCached(v);
    if (v->needR() && pstFrame->ps16BufR == nullptr) {
        VQE_ERR_TRACE("UPVQE invalid ps16RinBuf(%p)\n", static_cast<void*>(pstFrame->ps16BufR));
        return MK_ERR_UPVQE_ILLEGAL_PARAM;
    }
    const MK_S64 n = pstFrame->u32PointNum;
    if (n == 0) return MK_SUCCESS;
    // Every check comes before the first sample moves, so a refused write changes nothing.
    if (n > kWorkSamples * 8) return MK_ERR_UPVQE_WRITECACHE_FULL;
    const MK_S64 m = CacheCount(v->inRes, n);
    if ((v->inRes != nullptr && m > kWorkSamples) || (v->inResR != nullptr && CacheCount(v->inResR, n) > kWorkSamples)) {
        VQE_ERR_TRACE("UPVQE write of %lld samples overflows the work buffer\n", static_cast<long long>(n));
        return MK_ERR_UPVQE_ILLEGAL_PARAM;
    }
    if (m > v->sin.Room() || (v->needR() && CacheCount(v->inResR, n) > v->sinR.Room())) {
        VQE_ERR_TRACE("MK_ERR_UPVQE_WRITECACHE_FULL\n");
        return MK_ERR_UPVQE_WRITECACHE_FULL;
    }
    MK_S32 ret = MK_SUCCESS;
    if (v->needR()) ret = AppendThrough(v->inResR, v->workR.data(), v->sinR, pstFrame->ps16BufR, static_cast<MK_S32>(n));
    if (ret == MK_SUCCESS) ret = AppendThrough(v->inRes, v->work.data(), v->sin, pstFrame->ps16Buf, static_cast<MK_S32>(n));
    if (ret == MK_SUCCESS) ProcessCached(v);
    return ret;
}

MK_S32 MK_UPVQE_ReadFrame(MK_VOID* hUpVqe, UPVQE_FRAME_S* pstFrame, MK_U32 u32Flag) {
    if (hUpVqe == nullptr) {
        std::fprintf(stderr, "UPVQE invalid hUpVqe\n");
        return MK_ERR_UPVQE_ILLEGAL_PARAM;
    }
    UpVqe* v = Cast(hUpVqe);
    if (pstFrame == nullptr || pstFrame->ps16Buf == nullptr) {
        std::fprintf(stderr, "UPVQE invalid ps16SouBuf(%p)\n",
                     pstFrame != nullptr ? static_cast<void*>(pstFrame->ps16Buf) : nullptr);
        return MK_ERR_UPVQE_ILLEGAL_PARAM;
    }
    if (v->twoCh && pstFrame->ps16BufR == nullptr) {
        std::fprintf(stderr, "UPVQE invalid ps16SouBufR(%p)\n", static_cast<void*>(pstFrame->ps16BufR));
        return MK_ERR_UPVQE_ILLEGAL_PARAM;
    }
    if (pstFrame->u32PointNum > static_cast<MK_U32>(kWorkSamples) * 8) return MK_ERR_UPVQE_ILLEGAL_PARAM;
    const MK_S32 wanted = static_cast<MK_S32>(pstFrame->u32PointNum);
    std::lock_guard<std::mutex> lock(v->mutex);
    const MK_S32 flag = static_cast<MK_S32>(u32Flag);
    MK_S32 ret = ReadThrough(v->sout, v->outRes, v->work.data(), pstFrame->ps16Buf, wanted, flag,
                             UPVQE_MAX_READ_SAMPLES, MK_ERR_UPVQE_ILLEGAL_PARAM, MK_ERR_UPVQE_NOT_ENOUGH);
    if (v->twoCh && (u32Flag == 1 ? ret >= 0 : ret == 0)) {
        MK_S32 retR = ReadThrough(v->soutR, v->outResR, v->workR.data(), pstFrame->ps16BufR, wanted, flag,
                                  UPVQE_MAX_READ_SAMPLES, MK_ERR_UPVQE_ILLEGAL_PARAM, MK_ERR_UPVQE_NOT_ENOUGH);
        if (u32Flag == 1 ? retR < 0 : retR != 0) ret = retR;
    }
    return ret;
}

MK_S32 MK_UPVQE_ProcessFrame(MK_VOID* hUpVqe, const MK_S16* ps16Sin, const MK_S16* ps16SinR, MK_S16* ps16Sout,
                             MK_S16* ps16SoutR, MK_S32 s32Num) {
    if (hUpVqe == nullptr) {
        VQE_ERR_TRACE("UPVQE invalid hUpVqe\n");
        return MK_ERR_UPVQE_ILLEGAL_PARAM;
    }
    if (ps16Sin == nullptr || ps16Sout == nullptr) {
        VQE_ERR_TRACE("UPVQE invalid ps16SinBuf(%p)/ps16SouBuf(%p)\n", static_cast<const void*>(ps16Sin),
                      static_cast<void*>(ps16Sout));
        return MK_ERR_UPVQE_ILLEGAL_PARAM;
    }
    UpVqe* v = Cast(hUpVqe);
    if (v->twoCh && ps16SinR == nullptr) {
        VQE_ERR_TRACE("UPVQE invalid ps16SinBufR\n");
        return MK_ERR_UPVQE_ILLEGAL_PARAM;
    }
    if (v->twoCh && ps16SoutR == nullptr) {
        VQE_ERR_TRACE("UPVQE invalid ps16SoutBufR\n");
        return MK_ERR_UPVQE_ILLEGAL_PARAM;
    }
    if (v->aec && ps16SinR == nullptr) {
        VQE_ERR_TRACE("UPVQE invalid ps16SinBufR\n");
        return MK_ERR_UPVQE_ILLEGAL_PARAM;
    }
    if (s32Num < 0 || s32Num % v->frame != 0) {
        VQE_ERR_TRACE("UPVQE invalid inputSample(%d), VqeFrame(%d)\n", s32Num, v->frame);
        return MK_ERR_UPVQE_ILLEGAL_PARAM;
    }
    return ProcessLocked(v, ps16Sin, ps16SinR, ps16Sout, ps16SoutR, s32Num);
}

MK_S32 MK_UPVQE_SetVolume(MK_VOID* hUpVqe, MK_S32 s32VolumeDb) {
    if (hUpVqe == nullptr) {
        std::fprintf(stderr, "UPVQE invalid hVqe\n");
        return MK_ERR_UPVQE_ILLEGAL_PARAM;
    }
    UpVqe* v = Cast(hUpVqe);
    std::lock_guard<std::mutex> lock(v->mutex);
    if (!v->gain) {
        MK_S32 ret = v->chain.Append("GAIN", v->cfg.s32WorkSampleRate, nullptr);
        if (ret == -1) return MK_ERR_UPVQE_NO_MODULE;
        if (ret != 0) return ret;
        v->gain = true;
    }
    v->volume = s32VolumeDb;
    return MK_SUCCESS;
}

MK_S32 MK_UPVQE_GetVolume(MK_VOID* hUpVqe, MK_S32* ps32VolumeDb) {
    if (hUpVqe == nullptr) {
        std::fprintf(stderr, "UPVQE invalid hVqe\n");
        return MK_ERR_UPVQE_ILLEGAL_PARAM;
    }
    if (ps32VolumeDb == nullptr) return MK_ERR_UPVQE_ILLEGAL_PARAM;
    UpVqe* v = Cast(hUpVqe);
    std::lock_guard<std::mutex> lock(v->mutex);
    *ps32VolumeDb = v->volume;
    return MK_SUCCESS;
}
