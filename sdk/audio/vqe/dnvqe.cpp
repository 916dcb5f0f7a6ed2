#include "sdk/audio/vqe/dnvqe.h"

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

constexpr MK_S32 kWorkSamples = 12288;
constexpr MK_S32 kCacheSamples = 12288;  // node count = this / F

struct DnVqe {
    DNVQE_CONFIG_S cfg{};
    MK_S32 frame = 0;
    RESAMPLER_S* inRes = nullptr;
    RESAMPLER_S* outRes = nullptr;
    std::vector<MK_S16> work;
    ModuleChain chain;
    std::mutex mutex;  // guards caches, resamplers and the chain
    SampleCache sin, sout;

    ~DnVqe() {
        chain.Release();
        if (inRes != nullptr) Resampler_Destroy(inRes);
        if (outRes != nullptr) Resampler_Destroy(outRes);
    }
};

DnVqe* Cast(MK_VOID* h) { return static_cast<DnVqe*>(h); }

MK_S32 CreateModules(DnVqe* v) {
    DNVQE_CONFIG_S& c = v->cfg;
    MK_S32 f = c.s32FrameSample;
    if (f < 80 || f > 4096) {
        VQE_ERR_TRACE("DNVQE invalid s32FrameSample(%d)\n", f);
        return MK_ERR_DNVQE_ILLEGAL_PARAM;
    }
    if (c.bHpfOpen || c.bAnrOpen || c.bAgcOpen || c.bEqOpen) {
        switch (c.s32WorkSampleRate) {
            case 8000: f = 80; break;
            case 16000: f = 160; break;
            case 48000: f = 480; break;
            default:
                VQE_ERR_TRACE("DNVQE invalid s32WorkSampleRate(%d)\n", c.s32WorkSampleRate);
                return MK_ERR_DNVQE_ILLEGAL_PARAM;
        }
    }
    const MK_S32 ws = static_cast<MK_S32>(c.enWorkstate);
    struct Entry {
        MK_U32 open;
        const char* name;
        MK_S32 modeA, modeB, workState;
        MK_VOID* param;
    };
    const Entry entries[] = {
        {c.bHpfOpen, "HPF", 0, 0, ws, &c.stHpfCfg},
        {c.bAnrOpen, "ANR", 0, 0, ws, &c.stAnrCfg},
        {c.bAgcOpen, "AGC", 0, c.bEqOpen ? 1 : 0, ws, &c.stAgcCfg},
        {c.bEqOpen, "EQ", 1, 0, ws, &c.stEqCfg},
        {c.bMbcOpen, "MBC", 0, 0, 0, &c.stMbcCfg},
    };
    for (const Entry& e : entries) {
        if (e.open && v->chain.Load(e.name, e.modeA, e.modeB, e.workState, e.param) != 0) {
            return MK_ERR_DNVQE_NO_MODULE;
        }
    }
    const char* failed = nullptr;
    MK_S32 ret = v->chain.InitAll(c.s32WorkSampleRate, &failed);
    if (ret != 0) {
        std::fprintf(stderr, "%s_Init Fail!\n", failed != nullptr ? failed : "");
        return ret;
    }
    v->frame = f;
    return 0;
}

MK_S32 ProcessLocked(DnVqe* v, const MK_S16* in, MK_S16* out, MK_S32 n) {
    return v->chain.Run(in, nullptr, nullptr, out, nullptr, n, v->frame, nullptr) == 0 ? MK_SUCCESS
                                                                                         : MK_ERR_DNVQE_PROCESS;
}

MK_S32 ProcessCached(DnVqe* v) {
    MK_S32 ret = 0;
    while (v->sin.FullNodes() > 0 && v->sout.FreeNodes() > 0) {
        ret = ProcessLocked(v, v->sin.ReadNode(), v->sout.WriteNode(), v->frame);
        if (ret != 0) break;
        v->sout.AdvanceWrite();
        v->sin.AdvanceRead();
    }
    if (ret == 0 && v->sout.FreeNodes() == 0) ret = MK_ERR_DNVQE_OUTCACHE_FULL;
    return ret;
}

}  // namespace

MK_S32 MK_DNVQE_Create(MK_VOID** phDnVqe, const DNVQE_CONFIG_S* pstConfig) {
    if (phDnVqe == nullptr || pstConfig == nullptr) return MK_ERR_DNVQE_ILLEGAL_PARAM;
    auto* v = new (std::nothrow) DnVqe;
    if (v == nullptr) return MK_ERR_DNVQE_NOMEM;
    v->cfg = *pstConfig;
    const DNVQE_CONFIG_S& c = v->cfg;
    MK_S32 ret = Resampler_Create(&v->inRes, c.s32InSampleRate, c.s32WorkSampleRate, RESAMPLER_SIDE_IN);
    if (ret == 0) ret = Resampler_Create(&v->outRes, c.s32WorkSampleRate, c.s32OutSampleRate, RESAMPLER_SIDE_OUT);
    if (ret == 0 && (v->inRes != nullptr || v->outRes != nullptr)) v->work.resize(kWorkSamples);
    if (ret == 0) ret = CreateModules(v);
    if (ret == 0) {
        const MK_S32 nodes = kCacheSamples / v->frame;
        if (!v->sin.Create(nodes, v->frame)) {
            VQE_ERR_TRACE("CreateDNVQE_Cache_S SinCache Fail!");
            ret = -1;
        } else if (!v->sout.Create(nodes, v->frame)) {
            VQE_ERR_TRACE("CreateDNVQE_Cache_S SoutCache Fail!");
            ret = -1;
        }
    }
    if (ret != 0) {
        delete v;
        return ret;
    }
    *phDnVqe = v;
    return MK_SUCCESS;
}

MK_VOID MK_DNVQE_Destroy(MK_VOID* hDnVqe) { delete Cast(hDnVqe); }

MK_S32 MK_DNVQE_GetConfig(MK_VOID* hDnVqe, DNVQE_CONFIG_S* pstConfig) {
    if (hDnVqe == nullptr || pstConfig == nullptr) return MK_ERR_DNVQE_ILLEGAL_PARAM;
    *pstConfig = Cast(hDnVqe)->cfg;
    return MK_SUCCESS;
}

MK_S32 MK_DNVQE_GetFrameSample(MK_VOID* hDnVqe) { return hDnVqe == nullptr ? 0 : Cast(hDnVqe)->frame; }

MK_S32 MK_DNVQE_WriteFrame(MK_VOID* hDnVqe, const MK_S16* ps16Sin, MK_S32 s32Num) {
    if (hDnVqe == nullptr) {
        VQE_ERR_TRACE("DNVQE invalid hDnVqe");
        return MK_ERR_DNVQE_ILLEGAL_PARAM;
    }
    if (ps16Sin == nullptr || s32Num < 0) {
        VQE_ERR_TRACE("DNVQE invalid ps16SinBuf");
        return MK_ERR_DNVQE_ILLEGAL_PARAM;
    }
    DnVqe* v = Cast(hDnVqe);
    std::lock_guard<std::mutex> lock(v->mutex);
    ProcessCached(v);
    if (s32Num == 0) return MK_SUCCESS;
    // Checked whole before any sample moves: a refused write leaves caches and resampler as they were.
    if (s32Num > kWorkSamples * 8) return MK_ERR_DNVQE_WRITECACHE_FULL;
    const MK_S32 m = v->inRes != nullptr ? Resampler_GetOutputNum(v->inRes, s32Num) : s32Num;
    if (v->inRes != nullptr && m > kWorkSamples) {
        VQE_ERR_TRACE("DNVQE write of %d samples overflows the work buffer\n", s32Num);
        return MK_ERR_DNVQE_ILLEGAL_PARAM;
    }
    if (m > v->sin.Room()) {
        mk::vqe::ErrTrace("DNVQE_CacheProcessWriteInBuf", __LINE__, "MK_ERR_DNVQE_WRITECACHE_FULL");
        return MK_ERR_DNVQE_WRITECACHE_FULL;
    }
    MK_S32 ret = mk::vqe::AppendThrough(v->inRes, v->work.data(), v->sin, ps16Sin, s32Num);
    if (ret == MK_SUCCESS) ProcessCached(v);
    return ret;
}

MK_S32 MK_DNVQE_ReadFrame(MK_VOID* hDnVqe, MK_S16* ps16Sout, MK_S32 s32Num, MK_S32 s32Flag) {
    if (hDnVqe == nullptr) {
        VQE_ERR_TRACE("DNVQE invalid hDnVqe");
        return MK_ERR_DNVQE_ILLEGAL_PARAM;
    }
    if (ps16Sout == nullptr || s32Num < 0) {
        VQE_ERR_TRACE("DNVQE invalid ps16SouBuf");
        return MK_ERR_DNVQE_ILLEGAL_PARAM;
    }
    DnVqe* v = Cast(hDnVqe);
    std::lock_guard<std::mutex> lock(v->mutex);
    return mk::vqe::ReadThrough(v->sout, v->outRes, v->work.data(), ps16Sout, s32Num, s32Flag,
                                DNVQE_MAX_READ_SAMPLES, MK_ERR_DNVQE_ILLEGAL_PARAM, MK_ERR_DNVQE_NOT_ENOUGH);
}

MK_S32 MK_DNVQE_ProcessFrame(MK_VOID* hDnVqe, const MK_S16* ps16Sin, MK_S16* ps16Sout, MK_S32 s32Num) {
    if (hDnVqe == nullptr) {
        VQE_ERR_TRACE("DNVQE invalid hDnVqe");
        return MK_ERR_DNVQE_ILLEGAL_PARAM;
    }
    if (ps16Sin == nullptr || ps16Sout == nullptr) {
        VQE_ERR_TRACE("DNVQE invalid ps16SinBuf/ps16SouBuf\n");
        return MK_ERR_DNVQE_ILLEGAL_PARAM;
    }
    DnVqe* v = Cast(hDnVqe);
    if (s32Num < 0 || s32Num % v->frame != 0) {
        VQE_ERR_TRACE("DNVQE invalid inputSample(%d), VqeFrame(%d)\n", s32Num, v->frame);
        return MK_ERR_DNVQE_ILLEGAL_PARAM;
    }
    return ProcessLocked(v, ps16Sin, ps16Sout, s32Num);
}
