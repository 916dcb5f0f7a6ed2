// Audio input frame path: getting and giving back frames with resampling and voice-quality
// processing, switching resampling on and off, and the dump files.
#include <unistd.h>

#include <cstring>

#include "sdk/audio/ai/mpi_ai.h"
#include "sdk/audio/ai/mpi_ai_internal.h"
#include "sdk/audio/vqe/upvqe.h"
#include "sdk/sys/mpi_sys.h"
#include "sdk/vb/mpi_vb.h"

using namespace mk::ai;

namespace {

constexpr MK_U64 kFlushBytes = 51200;

enum DumpKind { kIn, kOut, kRef };

bool IsResampleRate(MK_U32 rate) {
    switch (rate) {
        case 8000:
        case 11025:
        case 12000:
        case 16000:
        case 22050:
        case 24000:
        case 32000:
        case 44100:
        case 48000:
            return true;
        default:
            return false;
    }
}

// Gives a frame taken from the driver back as it now stands.
void ReleaseRequest(MK_S32 index, const AI_FRAME_REQ_S& req) {
    AUDIO_FRAME_RECORD_S rec{};
    rec.stFrame = req.stFrame;
    rec.stAecFrm = req.stAecFrm;
    Request(index, MK_AI_IOC_RELEASE_FRAME, &rec);
}

MK_S32 VirAddr(MK_U32 pool, MK_U32 phys, MK_VOID** vir) {
    return MK_MPI_VB_GetBlkVirAddrEx(static_cast<VB_POOL>(pool), phys, vir);
}

// Widens a track of 8-bit samples to 16 bits in place, through the work buffer.
void Widen(MK_U8* cache, MK_VOID* track, MK_U32 len) {
    std::memcpy(cache, track, len);
    auto* out = static_cast<MK_S16*>(track);
    for (MK_U32 i = 0; i < len; ++i) out[i] = static_cast<MK_S16>(static_cast<MK_U16>(cache[i]) << 8);
}

// The output buffer of a resampled frame: for up-sampling a block of the channel's own pool, the
// driver's frame given back at once. 0, or the code; a taken block goes back on failure.
MK_S32 GetReSmpVb(MK_S32 index, ChnCtx& c, AI_FRAME_REQ_S& req) {
    if (c.bResmpEnabled != 1) {
        MK_TRACE("s32ChnId: %d hasn't enable resample!\n", index);
        return MK_ERR_AI_NOT_PERM;
    }
    if (req.stFrame.enSoundmode == AUDIO_SOUND_MODE_STEREO) {
        MK_TRACE("can't do resample for stereo!\n");
        return MK_ERR_AI_NOT_SUPPORT;
    }
    if (c.stResmpAttr.enInSampleRate >= c.stResmpAttr.enOutSampleRate) return MK_SUCCESS;
    const VB_POOL pool = static_cast<VB_POOL>(c.s32ResmpPoolId);
    VB_BLK blk = VB_INVALID_HANDLE;
    MK_U32 phys = 0;
    MK_VOID* vir = nullptr;
    if (MPI_AI_TakeResmpBlock(MK_TRACE_SITE, pool, &blk, &phys, &vir) != MK_SUCCESS) return MK_FAILURE;
    AUDIO_FRAME_RECORD_S rec{};
    rec.stFrame = req.stFrame;
    rec.stAecFrm = req.stAecFrm;
    rec.stAecFrm.bValid = MK_FALSE;
    MK_S32 ret = Request(index, MK_AI_IOC_RELEASE_FRAME, &rec);
    if (ret != MK_SUCCESS) {
        // The driver kept its frame; the block is ours to give back, and the caller gets the refusal.
        MK_TRACE("release ai frame failed, s32Ret:0x%x.\n", ret);
        MK_MPI_VB_ReleaseBlockEx(blk);
        return ret;
    }
    req.stFrame.pVirAddr[0] = vir;
    req.stFrame.u32PhyAddr[0] = phys;
    req.stFrame.u32PoolId[0] = pool;
    req.stFrame.u32Len = MAX_AI_POINT_NUM << req.stFrame.enBitwidth;
    return MK_SUCCESS;
}

enum class Step { kDone, kUnprocessed, kFailRelease, kFailReturn };

struct Outcome {
    Step step;
    MK_S32 code;
};

bool UpSampling(const ChnCtx& c) {
    return c.bResmpEnabled && c.stResmpAttr.enInSampleRate < c.stResmpAttr.enOutSampleRate;
}

// Gives out what a bound encoder made of the frame before (channel and state mutexes held): its
// output, left in the frame's own first track or kept as a copy, moved where this channel's output
// goes.
Outcome GiveDone(MK_S32 index, ChnCtx& c, AI_FRAME_REQ_S& req, const AI_VQE_DONE_S& done,
                 AUDIO_FRAME_S* out) {
    const MK_U8* src = done.enOutcome == AI_VQE_OUTCOME_COPY
                           ? done.pu8Copy
                           : static_cast<const MK_U8*>(req.stFrame.pVirAddr[0]);
    // Up-sampled output has a block of its own, and the frame's block goes back before it is filled.
    const bool ownBlock = UpSampling(c);
    if ((!ownBlock && done.u32Len > req.stFrame.u32Len) || done.u32Len > AI_CACHE_BUF_LEN) {
        return {Step::kFailRelease, MK_ERR_AI_VQE_ERR};
    }
    if (ownBlock) {
        std::memcpy(c.pCacheBuf, src, done.u32Len);
        src = c.pCacheBuf;
        const MK_S32 ret = GetReSmpVb(index, c, req);
        if (ret != MK_SUCCESS) {
            MK_TRACE("MPI_AI_GetReSmpVb failed, s32Ret:0x%x.!\n", ret);
            return {Step::kFailRelease, ret};
        }
    }
    AUDIO_FRAME_S work = req.stFrame;
    work.enBitwidth = AUDIO_BIT_WIDTH_16;
    work.u32Len = done.u32Len;
    if (work.pVirAddr[0] != src) std::memcpy(work.pVirAddr[0], src, done.u32Len);
    *out = work;
    return {Step::kDone, MK_SUCCESS};
}

// Steps 7 to 16 of a frame: resampling and processing of `req` into `out` (channel mutex held). A
// frame that a bound encoder read first gets what the encoder made of it.
Outcome Process(MK_S32 dev, MK_S32 chn, ChnCtx& c, AI_FRAME_REQ_S& req, AEC_FRAME_S* pstAecFrm,
                AUDIO_FRAME_S* out) {
    const MK_S32 index = AiChnIndex(dev, chn);
    MK_U32 outPoints = 0;
    if (c.bResmpEnabled) {
        const AUDIO_RESAMPLE_ATTR_S& r = c.stResmpAttr;
        outPoints = (r.enOutSampleRate * r.u32InPointNum + r.enInSampleRate - 1) / r.enInSampleRate;
        if (outPoints == 0 || outPoints > MAX_AI_POINT_NUM) {
            MK_TRACE(
                "PointNum after ai resample is:%d, it's biger than MAX_AI_POINT_NUM:%d, or smaller than 0\n",
                outPoints, MAX_AI_POINT_NUM);
            return {Step::kFailReturn, MK_FAILURE};
        }
    }
    AUDIO_FRAME_S& frame = req.stFrame;
    AEC_FRAME_S& ref = req.stAecFrm;
    const bool aec = c.bVqeEnabled && c.au32Flag[kAec];
    if (aec && pstAecFrm == nullptr) return {Step::kFailReturn, MK_ERR_AI_NULL_PTR};
    // The frame as the driver handed it out names it for the bound encoders.
    const AUDIO_FRAME_S captured = frame;
    std::lock_guard<std::mutex> slock(g_astVqeState[dev][chn].mutex);
    const AI_VQE_DONE_S done = MPI_AI_FindVqeDone(dev, chn, &captured);
    switch (done.enOutcome) {
        case AI_VQE_OUTCOME_RAW:
            return {Step::kUnprocessed, MK_SUCCESS};
        case AI_VQE_OUTCOME_FAILED:
            return {Step::kFailRelease, MK_ERR_AI_VQE_ERR};
        case AI_VQE_OUTCOME_IN_PLACE:
        case AI_VQE_OUTCOME_COPY:
            return GiveDone(index, c, req, done, out);
        case AI_VQE_OUTCOME_NONE:
            break;
    }
    const bool refValid = ref.bValid == MK_TRUE && ref.stRefFrame.pVirAddr[0] != nullptr;
    if (aec) {
        // A reference shorter than the frame cannot be used either.
        const bool usable = refValid && (ref.stRefFrame.u32Len >> ref.stRefFrame.enBitwidth) >=
                                            (frame.u32Len >> frame.enBitwidth);
        if (!usable) {
            ++c.u32NoRefCount;
            AI_CHN_PARAM_S param{};
            MK_MPI_AI_GetChnParam(dev, chn, &param);
            if (c.u32NoRefCount <= param.u32UsrFrmDepth) {
                MPI_AI_KeepVqeDone(dev, chn, &captured, AI_VQE_OUTCOME_RAW, nullptr, 0);
                return {Step::kUnprocessed, MK_SUCCESS};
            }
            c.u32NoRefCount = 0;
            return {Step::kFailReturn, MK_ERR_AI_NOT_PERM};
        }
    }
    UPVQE_CONFIG_S cfg{};
    MK_S32 ret = MK_UPVQE_GetConfig(c.hVqe, &cfg);
    if (ret != MK_SUCCESS) {
        MK_TRACE("MK_UPVQE_GetConfig failed, s32Ret:0x%x.!\n", ret);
        return {Step::kFailReturn, MK_ERR_AI_VQE_ERR};
    }

    // The work copy: widened to 16 bits, no track longer than the work buffer.
    AUDIO_FRAME_S work = frame;
    const MK_U32 widen = work.enBitwidth == AUDIO_BIT_WIDTH_8 ? 2 : 1;
    if (static_cast<MK_U64>(work.u32Len) * widen > AI_CACHE_BUF_LEN) {
        MK_TRACE("frame len:%d is too long for processing\n", work.u32Len * widen);
        return {Step::kFailReturn, MK_ERR_AI_NOT_SUPPORT};
    }
    if (work.enBitwidth == AUDIO_BIT_WIDTH_8) {
        const MK_U32 tracks = work.enSoundmode == AUDIO_SOUND_MODE_STEREO ? 2 : 1;
        for (MK_U32 t = 0; t < tracks; ++t) Widen(c.pCacheBuf, work.pVirAddr[t], work.u32Len);
        work.u32Len *= 2;
        work.enBitwidth = AUDIO_BIT_WIDTH_16;
    }
    MK_S16* far = nullptr;
    MK_U32 refLen = 0;
    if (refValid) {
        AUDIO_FRAME_S& rf = ref.stRefFrame;
        if (rf.enBitwidth == AUDIO_BIT_WIDTH_8 && rf.u32Len * 2 <= AI_CACHE_BUF_LEN) {
            Widen(c.pCacheBuf, rf.pVirAddr[0], rf.u32Len);
            rf.u32Len *= 2;
            rf.enBitwidth = AUDIO_BIT_WIDTH_16;
        }
        if (rf.enBitwidth == AUDIO_BIT_WIDTH_16 && rf.u32Len >= work.u32Len) {
            far = static_cast<MK_S16*>(rf.pVirAddr[0]);
            refLen = rf.u32Len;
        }
    }
    const MK_U32 inLen = work.u32Len;
    std::memcpy(c.pCacheBuf, work.pVirAddr[0], inLen);

    UPVQE_FRAME_S in{inLen >> work.enBitwidth, nullptr, nullptr};
    if (cfg.s32ChnNum == 1) {
        in.ps16Buf = reinterpret_cast<MK_S16*>(c.pCacheBuf);
        in.ps16BufR = far;
    } else {
        in.ps16Buf = static_cast<MK_S16*>(work.pVirAddr[0]);
        in.ps16BufR = static_cast<MK_S16*>(work.pVirAddr[1]);
    }
    ret = MK_UPVQE_WriteFrame(c.hVqe, &in);
    if (ret != MK_SUCCESS) {
        MK_TRACE("MK_UPVQE_WriteFrame failed, AiChn:%d, s32Ret:0x%x.!\n", chn, ret);
        return {Step::kFailRelease, MK_ERR_AI_VQE_ERR};
    }
    // The instance has the samples now: whatever follows, the encoders must not feed them again.
    if (c.bResmpEnabled) {
        ret = GetReSmpVb(index, c, req);
        if (ret != MK_SUCCESS) {
            MK_TRACE("MPI_AI_GetReSmpVb failed, s32Ret:0x%x.!\n", ret);
            MPI_AI_KeepVqeDone(dev, chn, &captured, AI_VQE_OUTCOME_FAILED, nullptr, 0);
            return {Step::kFailRelease, ret};
        }
        // The work copy follows the request record, staying 16 bits wide.
        const AUDIO_BIT_WIDTH_E width = work.enBitwidth;
        work = req.stFrame;
        work.enBitwidth = width;
        work.u32Len = outPoints << width;
    }
    UPVQE_FRAME_S outDesc{work.u32Len >> work.enBitwidth, static_cast<MK_S16*>(work.pVirAddr[0]),
                          cfg.s32ChnNum == 1 ? nullptr : static_cast<MK_S16*>(work.pVirAddr[1])};
    const MK_S32 got = MK_UPVQE_ReadFrame(c.hVqe, &outDesc, 1);
    // Error codes are negative too: only a positive count is a frame.
    if (got <= 0) {
        MPI_AI_KeepVqeDone(dev, chn, &captured, AI_VQE_OUTCOME_FAILED, nullptr, 0);
        return {Step::kFailRelease, MK_ERR_AI_VQE_ERR};
    }
    work.u32Len = static_cast<MK_U32>(got) << work.enBitwidth;
    if (work.pVirAddr[0] == captured.pVirAddr[0]) {
        MPI_AI_KeepVqeDone(dev, chn, &captured, AI_VQE_OUTCOME_IN_PLACE, nullptr, work.u32Len);
    } else {
        MPI_AI_KeepVqeDone(dev, chn, &captured, AI_VQE_OUTCOME_COPY, work.pVirAddr[0], work.u32Len);
    }
    *out = work;
    if (c.bVqeEnabled) {
        const MK_U8* dumpRef = nullptr;
        if (c.au32Flag[kAec] && pstAecFrm != nullptr) {
            pstAecFrm->u32Reserved = 0;
            dumpRef = reinterpret_cast<const MK_U8*>(far);
        }
        SaveFileLocked(dev, chn, c.pCacheBuf, inLen, work, dumpRef, refLen);
    }
    return {Step::kDone, MK_SUCCESS};
}

}  // namespace

MK_S32 MPI_AI_TakeResmpBlock(mk::TraceSite site, VB_POOL Pool, VB_BLK* pBlk, MK_U32* pu32PhyAddr,
                             MK_VOID** ppVirAddr) {
    const VB_BLK blk = MK_MPI_VB_GetBlockEx(Pool, AI_RESMP_BLK_LEN, nullptr);
    if (blk == VB_INVALID_HANDLE) {
        MK_TRACE_AT(site, "get a resmp vb failed!\n");
        return MK_FAILURE;
    }
    const MK_U32 phys = MK_MPI_VB_Handle2PhysAddrEx(blk);
    if (phys == 0) {
        MK_TRACE_AT(site, "get resmp vb physical addr failed!\n");
        MK_MPI_VB_ReleaseBlockEx(blk);
        return MK_FAILURE;
    }
    if (MK_MPI_VB_GetBlkVirAddrEx(Pool, phys, ppVirAddr) != MK_SUCCESS) {
        MK_TRACE_AT(site, "get resmp vb virtual addr failed!\n");
        MK_MPI_VB_ReleaseBlockEx(blk);
        return MK_FAILURE;
    }
    *pBlk = blk;
    *pu32PhyAddr = phys;
    return MK_SUCCESS;
}

AI_VQE_DONE_S MPI_AI_FindVqeDone(MK_S32 AiDevId, MK_S32 AiChn, const AUDIO_FRAME_S* pstCaptured) {
    const AI_VQE_DONE_S none{AI_VQE_OUTCOME_NONE, 0, nullptr};
    if (static_cast<MK_U32>(AiDevId) >= AI_DEV_MAX_NUM || static_cast<MK_U32>(AiChn) >= AI_MAX_CHN_NUM ||
        pstCaptured == nullptr || pstCaptured->u32PhyAddr[0] == 0) {
        return none;
    }
    const VqeDone& d = Ai().done[AiChnIndex(AiDevId, AiChn)];
    const auto it = d.byBlock.find(pstCaptured->u32PhyAddr[0]);
    if (it == d.byBlock.end()) return none;
    const VqeDone::Entry& e = it->second;
    if (e.u32Seq != pstCaptured->u32Seq || e.u64TimeStamp != pstCaptured->u64TimeStamp) return none;
    return {e.enOutcome, e.u32Len, e.enOutcome == AI_VQE_OUTCOME_COPY ? e.copy.data() : nullptr};
}

MK_VOID MPI_AI_KeepVqeDone(MK_S32 AiDevId, MK_S32 AiChn, const AUDIO_FRAME_S* pstCaptured,
                           AI_VQE_OUTCOME_E enOutcome, const MK_VOID* pOut, MK_U32 u32Len) {
    if (static_cast<MK_U32>(AiDevId) >= AI_DEV_MAX_NUM || static_cast<MK_U32>(AiChn) >= AI_MAX_CHN_NUM ||
        pstCaptured == nullptr || pstCaptured->u32PhyAddr[0] == 0) {
        return;
    }
    if (enOutcome == AI_VQE_OUTCOME_COPY && (pOut == nullptr || u32Len > AI_CACHE_BUF_LEN)) return;
    // The block's entry of its last frame is used again: one entry a block the channel's frames used.
    VqeDone::Entry& e = Ai().done[AiChnIndex(AiDevId, AiChn)].byBlock[pstCaptured->u32PhyAddr[0]];
    e.u32Seq = pstCaptured->u32Seq;
    e.u64TimeStamp = pstCaptured->u64TimeStamp;
    e.enOutcome = enOutcome;
    e.u32Len = u32Len;
    if (enOutcome == AI_VQE_OUTCOME_COPY) {
        const auto* out = static_cast<const MK_U8*>(pOut);
        e.copy.assign(out, out + u32Len);
    }
}

namespace mk::ai {

void CloseDumpLocked(MK_S32 index) {
    ChnCtx& c = Ai().chn[index];
    for (FILE** f : {&pfdAiIn[index], &pfdAiOut[index], &pfdAiRef[index]}) {
        if (*f != nullptr) std::fclose(*f);
        *f = nullptr;
    }
    for (MK_U64& n : c.au64DumpBytes) n = 0;
    c.bDumpOpen = 0;
    for (auto& n : Ai().au64Flush) n = 0;
}

void SaveFileLocked(MK_S32 dev, MK_S32 chn, const MK_U8* in, MK_U32 inLen, const AUDIO_FRAME_S& out,
                    const MK_U8* ref, MK_U32 refLen) {
    const MK_S32 index = AiChnIndex(dev, chn);
    ChnCtx& c = Ai().chn[index];
    AUDIO_SAVE_FILE_INFO_S cfg{};
    if (Request(index, MK_AI_IOC_GET_DUMP, &cfg) != MK_SUCCESS) {
        MK_TRACE("get ai dumpfile cfg error!\n");
        return;
    }
    if (!cfg.bCfg) {
        if (c.bDumpOpen) CloseDumpLocked(index);
        return;
    }
    if (!c.bDumpOpen) {
        AIO_ATTR_S attr{};
        if (MK_MPI_AI_GetPubAttr(dev, &attr) != MK_SUCCESS) return;
        const int pathLen = static_cast<int>(strnlen(cfg.aFilePath, sizeof(cfg.aFilePath)));
        const int nameLen = static_cast<int>(strnlen(cfg.aFileName, sizeof(cfg.aFileName)));
        const MK_U32 outRate = c.bResmpEnabled ? c.stResmpAttr.enOutSampleRate : attr.enSampleRate;
        char names[3][256];
        std::snprintf(names[kIn], sizeof(names[kIn]), "%.*s/Sin_AiDev%d_Chn%d_%dK_%.*s.pcm", pathLen,
                      cfg.aFilePath, dev, chn, attr.enSampleRate / 1000, nameLen, cfg.aFileName);
        std::snprintf(names[kRef], sizeof(names[kRef]), "%.*s/Rin_AiDev%d_Chn%d_%dK_%.*s.pcm", pathLen,
                      cfg.aFilePath, dev, chn, attr.enSampleRate / 1000, nameLen, cfg.aFileName);
        std::snprintf(names[kOut], sizeof(names[kOut]), "%.*s/Sou_AiDev%d_Chn%d_%dK_%.*s.pcm", pathLen,
                      cfg.aFilePath, dev, chn, outRate / 1000, nameLen, cfg.aFileName);
        pfdAiIn[index] = std::fopen(names[kIn], "wb+");
        pfdAiOut[index] = std::fopen(names[kOut], "wb+");
        pfdAiRef[index] = std::fopen(names[kRef], "wb+");
        if (pfdAiIn[index] == nullptr || pfdAiOut[index] == nullptr || pfdAiRef[index] == nullptr) {
            for (FILE** f : {&pfdAiIn[index], &pfdAiOut[index], &pfdAiRef[index]}) {
                if (*f != nullptr) std::fclose(*f);
                *f = nullptr;
            }
            std::printf(
                "DevId:%d, AiChn:%d, File: InFilePath/OutFilePath/RefFilePath open failed!Please check your "
                "Filepath!\n",
                dev, chn);
            return;
        }
        c.bDumpOpen = 1;
        for (auto& n : Ai().au64Flush) n = 0;
    }
    const MK_U64 limit = static_cast<MK_U64>(cfg.u32FileSize) * 1024;
    auto write = [&](DumpKind kind, FILE* f, const void* data, MK_U32 len) {
        if (c.au64DumpBytes[kind] >= limit) return;
        const size_t n = std::fwrite(data, 1, len, f);
        if (n != len) MK_TRACE("Write Error\n");
        c.au64DumpBytes[kind] += n;
        if ((Ai().au64Flush[kind] += n) > kFlushBytes) {
            Ai().au64Flush[kind] = 0;
            std::fflush(f);
            fsync(fileno(f));
        }
    };
    write(kIn, pfdAiIn[index], in, inLen);
    write(kOut, pfdAiOut[index], out.pVirAddr[0], out.u32Len);
    if (ref != nullptr) write(kRef, pfdAiRef[index], ref, refLen);
    if (c.au64DumpBytes[kIn] >= limit || c.au64DumpBytes[kOut] >= limit || c.au64DumpBytes[kRef] >= limit) {
        cfg.bCfg = MK_FALSE;
        cfg.u32FileSize = 1;
        if (Request(index, MK_AI_IOC_SET_DUMP, &cfg) != MK_SUCCESS) {
            MK_TRACE("set ai dumpfile cfg error!\n");
            return;
        }
        CloseDumpLocked(index);
    }
}

}  // namespace mk::ai

MK_S32 MK_MPI_AI_GetFrame(MK_S32 AiDevId, MK_S32 AiChn, AUDIO_FRAME_S* pstFrm, AEC_FRAME_S* pstAecFrm,
                          MK_S32 s32MilliSec) {
    AI_CHECK_DEV(AiDevId);
    AI_CHECK_CHN(AiChn);
    if (pstFrm == nullptr) return MK_ERR_AI_NULL_PTR;
    if (s32MilliSec < -1) {
        MK_TRACE("s32MilliSec(%d) can not be lower than -1.\n", s32MilliSec);
        return MK_ERR_AI_ILLEGAL_PARAM;
    }
    const MK_S32 index = AiChnIndex(AiDevId, AiChn);
    AI_OPEN(index);
    ChnCtx& c = Ai().chn[index];
    std::unique_lock<std::mutex> lock(c.mutex);
    AI_CHECK_ENABLED(AiChn);
    if (c.bResmpDisabling) {
        MK_TRACE("AI chn %d being disable resample now\n", AiChn);
        return MK_ERR_AI_NOT_SUPPORT;
    }
    const MK_U32 enables = c.u32EnableCount;
    lock.unlock();

    for (;;) {
        AI_FRAME_REQ_S req{};
        req.s32MilliSec = s32MilliSec;
        MK_S32 ret = Request(index, MK_AI_IOC_GET_FRAME, &req);
        if (ret != MK_SUCCESS) {
            MK_TRACE("get ai frame error!\n");
            return ret;
        }
        lock.lock();
        // The channel may have changed while the driver waited: gone down, on its way down, enabled
        // afresh (the frame is of its last life), or switching resampling off.
        const bool sameLife = c.bChnEnabled && !c.bChnDisabling && c.u32EnableCount == enables;
        if (!sameLife || c.bResmpDisabling) {
            const MK_S32 code = sameLife ? MK_ERR_AI_NOT_SUPPORT : MK_ERR_AI_NOT_ENABLED;
            lock.unlock();
            ReleaseRequest(index, req);
            return code;
        }
        AUDIO_FRAME_S& f = req.stFrame;
        const MK_U32 tracks = f.enSoundmode == AUDIO_SOUND_MODE_STEREO ? 2 : 1;
        for (MK_U32 t = 0; t < tracks && ret == MK_SUCCESS; ++t)
            ret = VirAddr(f.u32PoolId[t], f.u32PhyAddr[t], &f.pVirAddr[t]);
        if (ret == MK_SUCCESS && req.stAecFrm.bValid == MK_TRUE) {
            AUDIO_FRAME_S& rf = req.stAecFrm.stRefFrame;
            const MK_U32 refTracks = rf.enSoundmode == AUDIO_SOUND_MODE_STEREO ? 2 : 1;
            for (MK_U32 t = 0; t < refTracks && ret == MK_SUCCESS; ++t) {
                ret = VirAddr(rf.u32PoolId[t], rf.u32PhyAddr[t], &rf.pVirAddr[t]);
            }
        }
        if (ret != MK_SUCCESS) {
            lock.unlock();
            ReleaseRequest(index, req);
            return ret;
        }
        *pstFrm = f;
        if (pstAecFrm != nullptr) {
            pstAecFrm->bValid = MK_FALSE;
            if (req.stAecFrm.bValid == MK_TRUE) *pstAecFrm = req.stAecFrm;
        }
        Outcome o{Step::kUnprocessed, MK_SUCCESS};
        if ((c.bVqeEnabled || c.bResmpEnabled) && c.hVqe != nullptr)
            o = Process(AiDevId, AiChn, c, req, pstAecFrm, pstFrm);
        if (o.step == Step::kDone || o.step == Step::kUnprocessed) {
            if (c.s32ResmpPoolId >= 0 && pstFrm->u32PoolId[0] == static_cast<MK_U32>(c.s32ResmpPoolId)) {
                // The pool's blocks bound the count, so there is always a free place.
                for (ChnCtx::ResmpOut& r : c.astResmpOut) {
                    if (r.u32PhyAddr != 0) continue;
                    r = {pstFrm->u32PhyAddr[0], pstFrm->u32Seq, pstFrm->u64TimeStamp};
                    break;
                }
                ++c.u32ResmpFramesOut;
            } else {
                ++c.u32FramesOut;
            }
            return MK_SUCCESS;
        }
        lock.unlock();
        ReleaseRequest(index, req);
        // A blocking call waits for a frame the instance turns into output; others report.
        if (o.step == Step::kFailReturn || s32MilliSec != -1) return o.code;
    }
}

MK_S32 MK_MPI_AI_ReleaseFrame(MK_S32 AiDevId, MK_S32 AiChn, const AUDIO_FRAME_S* pstFrm,
                              const AEC_FRAME_S* pstAecFrm) {
    AI_CHN_ENTRY_PTR(AiDevId, AiChn, pstFrm);
    AUDIO_FRAME_RECORD_S rec{};
    rec.stFrame = *pstFrm;
    if (pstAecFrm != nullptr) rec.stAecFrm = *pstAecFrm;
    std::unique_lock<std::mutex> lock(c.mutex);
    if (c.s32ResmpPoolId >= 0 && pstFrm->u32PoolId[0] == static_cast<MK_U32>(c.s32ResmpPoolId)) {
        // The driver frees a block of the channel's own pool by its address alone: only an up-sampled
        // frame still out may name one, or a stale second release would free the next frame's block.
        ChnCtx::ResmpOut* out = nullptr;
        for (ChnCtx::ResmpOut& r : c.astResmpOut) {
            if (r.u32PhyAddr == pstFrm->u32PhyAddr[0] && r.u32Seq == pstFrm->u32Seq &&
                r.u64TimeStamp == pstFrm->u64TimeStamp) {
                out = &r;
            }
        }
        if (out == nullptr) return MK_ERR_AI_ILLEGAL_PARAM;
        MK_S32 ret = Request(index, MK_AI_IOC_RELEASE_FRAME, &rec);
        if (ret != MK_SUCCESS) return ret;
        *out = ChnCtx::ResmpOut{};
        if (c.u32ResmpFramesOut > 0 && --c.u32ResmpFramesOut == 0) c.condResmpReleased.notify_all();
        return MK_SUCCESS;
    }
    lock.unlock();
    MK_S32 ret = Request(index, MK_AI_IOC_RELEASE_FRAME, &rec);
    if (ret != MK_SUCCESS) return ret;
    lock.lock();
    if (c.u32FramesOut > 0 && --c.u32FramesOut == 0) c.condFramesReleased.notify_all();
    return MK_SUCCESS;
}

MK_S32 MK_MPI_AI_EnableReSmp(MK_S32 AiDevId, MK_S32 AiChn, MK_U32 enOutSampleRate) {
    AI_CHN_ENTRY(AiDevId, AiChn);
    // Held to the end: nothing may disable the channel between these checks and the work.
    std::lock_guard<std::mutex> lock(c.mutex);
    AI_CHECK_ENABLED(AiChn);
    if (c.bResmpDisabling) {
        MK_TRACE("AI chn %d being disable resample now\n", AiChn);
        return MK_ERR_AI_BUSY;
    }
    if (c.bResmpEnabled) {
        if (c.stResmpAttr.enOutSampleRate == enOutSampleRate) return MK_SUCCESS;
        MK_TRACE("Resmp has been enabled but the resamplerate:%d not the same as before:%d.\n",
                 enOutSampleRate, c.stResmpAttr.enOutSampleRate);
        return MK_ERR_AI_NOT_PERM;
    }
    auto checkFailed = [&](MK_S32 code) {
        MK_TRACE("Resmp attr check failed!\n");
        return code;
    };
    if (!IsResampleRate(enOutSampleRate)) {
        MK_TRACE("enOutSampleRate:%d is invalid\n", enOutSampleRate);
        return checkFailed(MK_ERR_AI_ILLEGAL_PARAM);
    }
    AIO_ATTR_S attr{};
    if (MK_MPI_AI_GetPubAttr(AiDevId, &attr) != MK_SUCCESS) return checkFailed(MK_ERR_AI_NOT_CONFIG);
    if (attr.enSampleRate == enOutSampleRate) {
        MK_TRACE("enInSampleRate is same as enOutSampleRate, it's not allowed.\n");
        return checkFailed(MK_ERR_AI_NOT_PERM);
    }
    if (attr.enSoundmode == AUDIO_SOUND_MODE_STEREO) {
        MK_TRACE("resample don't support stereo!\n");
        return checkFailed(MK_ERR_AI_ILLEGAL_PARAM);
    }
    if (static_cast<MK_U32>(AiChn) >= attr.u32ChnCount) {
        MK_TRACE("enable resample fail,Aidev%d don't have chn%d\n", AiDevId, AiChn);
        return checkFailed(MK_ERR_AI_INVALID_CHNID);
    }
    if (MK_MPI_AI_GetPubAttr(AiDevId, &attr) != MK_SUCCESS) return MK_ERR_AI_NOT_CONFIG;
    if (attr.enSampleRate == AUDIO_SAMPLE_RATE_64000 || attr.enSampleRate == AUDIO_SAMPLE_RATE_96000) {
        MK_TRACE("Resmp is not permit when Ai samplerate is %d!\n", attr.enSampleRate);
        return MK_ERR_AI_NOT_PERM;
    }
    const AUDIO_RESAMPLE_ATTR_S resmp{attr.u32PtNumPerFrm, attr.enSampleRate,
                                      static_cast<AUDIO_SAMPLE_RATE_E>(enOutSampleRate)};
    MK_S32 ret = EnableReSmpLocked(index, resmp);
    if (ret != MK_SUCCESS) {
        MK_TRACE("Ai Resmp enable failed!\n");
        return ret;
    }
    AI_RESMP_DBG_S dbg{c.bResmpEnabled, resmp.u32InPointNum, resmp.enInSampleRate, resmp.enOutSampleRate};
    Request(index, MK_AI_IOC_RESMP_DBG, &dbg);
    return MK_SUCCESS;
}

MK_S32 MPI_AI_EnableReSmp(MK_S32 s32ChnIndex, const AUDIO_RESAMPLE_ATTR_S* pstAttr) {
    if (static_cast<MK_U32>(s32ChnIndex) >= AI_CHN_INDEX_NUM || pstAttr == nullptr) return MK_ERR_AI_NULL_PTR;
    ChnCtx& c = Ai().chn[s32ChnIndex];
    std::lock_guard<std::mutex> lock(c.mutex);
    if (!c.bChnEnabled || c.bChnDisabling) return MK_ERR_AI_NOT_ENABLED;
    if (c.bResmpDisabling) return MK_ERR_AI_BUSY;
    return EnableReSmpLocked(s32ChnIndex, *pstAttr);
}

MK_S32 mk::ai::EnableReSmpLocked(MK_S32 index, const AUDIO_RESAMPLE_ATTR_S& attr) {
    const MK_S32 dev = index / AI_MAX_CHN_NUM;
    const MK_S32 chn = index % AI_MAX_CHN_NUM;
    ChnCtx& c = Ai().chn[index];
    if (c.s32ResmpPoolId != -1) {
        if (MK_MPI_VB_MunmapPoolEx(static_cast<VB_POOL>(c.s32ResmpPoolId)) != MK_SUCCESS) {
            MK_TRACE("failed to unmap Resmp VB pool for AiDev%d AiChn%d!\n", dev, chn);
            return MK_ERR_AI_BUSY;
        }
        if (MK_MPI_VB_DestroyPoolEx(static_cast<VB_POOL>(c.s32ResmpPoolId)) != MK_SUCCESS) {
            MK_TRACE("failed to release Resmp VB pool for AiDev%d AiChn%d!\n", dev, chn);
            return MK_ERR_AI_BUSY;
        }
        c.s32ResmpPoolId = -1;
    }
    if (attr.enInSampleRate < attr.enOutSampleRate) {
        const MPP_CHN_S mpp{MK_ID_AI, dev, chn};
        MK_CHAR zone[MAX_MMZ_NAME_LEN + 1] = {};
        MK_S32 ret = MK_MPI_SYS_GetMemConf(&mpp, zone);
        if (ret != MK_SUCCESS) {
            MK_TRACE("get mem config for AiDev%d AiChn%d failed!\n", dev, chn);
            return ret;
        }
        const VB_POOL pool = MK_MPI_VB_CreatePoolEx(AI_RESMP_BLK_LEN, AI_RESMP_BLK_NUM, zone);
        if (pool == VB_INVALID_POOLID) {
            MK_TRACE("create Resmp VB pool for AiDev%d AiChn%d failed!\n", dev, chn);
            return MK_ERR_AI_NOMEM;
        }
        c.s32ResmpPoolId = static_cast<MK_S32>(pool);
        ret = MK_MPI_VB_MmapPoolEx(pool);
        if (ret != MK_SUCCESS) {
            MK_TRACE("mmap Resmp VB pool for AiDev%d AiChn%d failed!\n", dev, chn);
            return ret;
        }
    }
    UPVQE_CONFIG_S cfg{};
    if (c.bVqeConfigured) {
        if (ReadRecordConfigLocked(dev, chn, cfg) != MK_SUCCESS) return MK_ERR_AI_NOT_CONFIG;
    } else {
        cfg.s32WorkSampleRate = static_cast<MK_S32>(attr.enInSampleRate);
        cfg.s32FrameSample = 80;
        cfg.s32ChnNum = 1;
        cfg.s32OutChnNum = 1;
        cfg.s32Mode = 1;
    }
    cfg.s32InSampleRate = static_cast<MK_S32>(attr.enInSampleRate);
    cfg.s32OutSampleRate = static_cast<MK_S32>(attr.enOutSampleRate);
    const MK_S32 pool = c.s32ResmpPoolId;
    MK_S32 ret = ReplaceInstanceLocked(index, &cfg, [pool](AI_VQE_STATE_S& st) {
        st.s32ResmpPoolId = pool;
        st.bResmpEnable = 1;
    });
    if (ret != MK_SUCCESS) {
        MK_TRACE("Ai dev: %d, ai chn:%d, create resampler fail.\n", dev, chn);
        return MK_ERR_AI_VQE_ERR;
    }
    c.bResmpEnabled = 1;
    c.bResmpDisabling = 0;
    c.stResmpAttr = attr;
    return MK_SUCCESS;
}

MK_S32 MK_MPI_AI_DisableReSmp(MK_S32 AiDevId, MK_S32 AiChn) {
    AI_CHN_ENTRY(AiDevId, AiChn);
    std::unique_lock<std::mutex> lock(c.mutex);
    AI_CHECK_ENABLED(AiChn);
    if (c.bResmpDisabling) {
        MK_TRACE("AI chn %d being disable resample now\n", AiChn);
        return MK_ERR_AI_BUSY;
    }
    MK_S32 ret = DisableReSmpLocked(index, lock);
    if (ret != MK_SUCCESS) return ret;
    AI_RESMP_DBG_S off{};
    Request(index, MK_AI_IOC_RESMP_DBG, &off);
    return MK_SUCCESS;
}

MK_S32 MPI_AI_DisableReSmp(MK_S32 s32ChnIndex) {
    if (static_cast<MK_U32>(s32ChnIndex) >= AI_CHN_INDEX_NUM) return MK_ERR_AI_INVALID_CHNID;
    ChnCtx& c = Ai().chn[s32ChnIndex];
    std::unique_lock<std::mutex> lock(c.mutex);
    if (c.bResmpDisabling) return MK_ERR_AI_BUSY;
    return DisableReSmpLocked(s32ChnIndex, lock);
}

MK_S32 mk::ai::DisableReSmpLocked(MK_S32 index, std::unique_lock<std::mutex>& lock) {
    const MK_S32 dev = index / AI_MAX_CHN_NUM;
    const MK_S32 chn = index % AI_MAX_CHN_NUM;
    ChnCtx& c = Ai().chn[index];
    if (!c.bResmpEnabled) return MK_SUCCESS;
    AIO_ATTR_S attr{};
    if (MK_MPI_AI_GetPubAttr(dev, &attr) != MK_SUCCESS) {
        MK_TRACE("AiDev: %d haven't set attr!\n", dev);
        return MK_ERR_AI_NOT_CONFIG;
    }
    if (c.s32ResmpPoolId != -1) {
        c.bResmpDisabling = 1;
        if (c.u32ResmpFramesOut != 0)
            MK_TRACE("There is some frame not released: AiDev%d AiChn%d!\n", dev, chn);
        // Every resampled frame out, not just the next one to come back. Frame calls and other
        // switches of resampling are refused meanwhile; processing may be reconfigured, so the
        // configuration is read after the wait.
        c.condResmpReleased.wait(lock, [&c] { return c.u32ResmpFramesOut == 0; });
        // A block still out (a bound encoder's frame) keeps the pool. Resampling then stays on as it
        // was, pool mapped, so that frames go on and the switch-off can be tried again.
        const VB_POOL pool = static_cast<VB_POOL>(c.s32ResmpPoolId);
        if (MK_MPI_VB_MunmapPoolEx(pool) != MK_SUCCESS) {
            MK_TRACE("failed to unmap Resmp VB pool for AiDev%d AiChn%d!\n", dev, chn);
            c.bResmpDisabling = 0;
            return MK_ERR_AI_BUSY;
        }
        if (MK_MPI_VB_DestroyPoolEx(pool) != MK_SUCCESS) {
            MK_TRACE("failed to destroy Resmp VB pool for AiDev%d AiChn%d!\n", dev, chn);
            MK_MPI_VB_MmapPoolEx(pool);
            c.bResmpDisabling = 0;
            return MK_ERR_AI_BUSY;
        }
        c.s32ResmpPoolId = -1;
        c.bResmpDisabling = 0;
    }
    // A channel whose instance could not be made goes on without one.
    const bool hasInstance = c.hVqe != nullptr;
    UPVQE_CONFIG_S cfg{};
    if (hasInstance && ReadRecordConfigLocked(dev, chn, cfg) != MK_SUCCESS) return MK_ERR_AI_NOT_CONFIG;
    cfg.s32InSampleRate = static_cast<MK_S32>(attr.enSampleRate);
    cfg.s32OutSampleRate = static_cast<MK_S32>(attr.enSampleRate);
    MK_S32 ret = ReplaceInstanceLocked(index, hasInstance ? &cfg : nullptr, {});
    if (ret != MK_SUCCESS) {
        MK_TRACE("Ai dev: %d, ai chn:%d, create resampler fail.\n", dev, chn);
        return MK_ERR_AI_VQE_ERR;
    }
    c.bResmpEnabled = 0;
    AI_VQE_STATE_S& st = g_astVqeState[dev][chn];
    std::lock_guard<std::mutex> slock(st.mutex);
    st.bResmpEnable = 0;
    st.s32ResmpPoolId = -1;
    return MK_SUCCESS;
}

MK_S32 MK_MPI_AI_SaveFile(MK_S32 AiDevId, MK_S32 AiChn, const AUDIO_SAVE_FILE_INFO_S* pstSaveFileInfo) {
    AI_CHN_ENTRY_PTR(AiDevId, AiChn, pstSaveFileInfo);
    std::lock_guard<std::mutex> lock(c.mutex);
    return Request(index, MK_AI_IOC_SET_DUMP, const_cast<AUDIO_SAVE_FILE_INFO_S*>(pstSaveFileInfo));
}

MK_S32 MK_MPI_AI_QueryFileStatus(MK_S32 AiDevId, MK_S32 AiChn, MK_U32* pbCfg) {
    AI_CHN_ENTRY_PTR(AiDevId, AiChn, pbCfg);
    std::lock_guard<std::mutex> lock(c.mutex);
    AUDIO_SAVE_FILE_INFO_S cfg{};
    MK_S32 ret = Request(index, MK_AI_IOC_GET_DUMP, &cfg);
    if (ret == MK_SUCCESS) *pbCfg = cfg.bCfg;
    return ret;
}
