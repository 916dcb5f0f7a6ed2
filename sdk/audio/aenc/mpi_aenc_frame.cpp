// The path of one frame through an encoder channel: checks, the bound input's voice-quality instance,
// the sample rings, the encoder and the stream buffer, and the dump files.
#include <unistd.h>

#include <cstring>

#include "sdk/audio/aenc/mpi_aenc.h"
#include "sdk/audio/aenc/mpi_aenc_internal.h"
#include "sdk/audio/ai/mpi_ai.h"
#include "sdk/audio/vqe/upvqe.h"
#include "sdk/common/mk_debug.h"
#include "sdk/sys/mpi_sys.h"
#include "sdk/vb/mpi_vb.h"

using namespace mk::aenc;

namespace {

constexpr MK_U64 kFlushBytes = 51200;
constexpr MK_U64 kMaxRefLeadUs = 119999;  // a reference this far ahead of its frame is not used
constexpr MK_U32 kMaxResmpPoints = 2048;

enum DumpKind { kIn, kOut, kRef };

bool IsFramePoints(MK_U32 n) {
    return n == 80 || n == 160 || n == 240 || n == 320 || n == 480;
}

MK_S32 CheckFrame(MK_S32 chn, const AUDIO_FRAME_S& f) {
    if (f.u32Len == 0 || f.u32Len > kMaxFrameBytes) {
        MK_TRACE("invalid param, AeChn:%d, pData->u32Len:%d\n", chn, f.u32Len);
        return MK_ERR_AENC_ILLEGAL_PARAM;
    }
    if (f.enSoundmode > AUDIO_SOUND_MODE_STEREO) {
        MK_TRACE("invalid param, AeChn:%d, pData->enSoundmode:%d\n", chn, f.enSoundmode);
        return MK_ERR_AENC_ILLEGAL_PARAM;
    }
    if (f.enBitwidth != AUDIO_BIT_WIDTH_16) {
        MK_TRACE("invalid param, AeChn:%d, pData->enBitwidth:%d\n", chn, f.enBitwidth);
        return MK_ERR_AENC_ILLEGAL_PARAM;
    }
    // A length of part samples would leave the sample rings off by a byte for good.
    if (f.u32Len % AudioBytesPerPoint(f.enBitwidth) != 0) {
        MK_TRACE("invalid param, AeChn:%d, pData->u32Len:%d\n", chn, f.u32Len);
        return MK_ERR_AENC_ILLEGAL_PARAM;
    }
    const MK_U32 tracks = f.enSoundmode == AUDIO_SOUND_MODE_STEREO ? 2 : 1;
    for (MK_U32 t = 0; t < tracks; ++t) {
        if (f.pVirAddr[t] == nullptr) {
            MK_TRACE("invalid param, AeChn:%d, pData->pVirAddr[%d]:%p\n", chn, t, f.pVirAddr[t]);
            return MK_ERR_AENC_ILLEGAL_PARAM;
        }
    }
    return MK_SUCCESS;
}

void Failure(AencChn& c, MK_S32 chn) {
    ++c.stDbg.u32Failures;
    SendDbgLocked(chn);
}

// Free bytes of the stream buffer for packets; one slot always stays empty.
MK_S64 FreeSpace(const AencChn& c) {
    const MK_S64 tail = c.Word(AENC_RING_RDTAIL), head = c.Word(AENC_RING_WRHEAD);
    return (tail > head ? tail - head : tail + c.u32DataLen - head) - c.u32CbPackLen;
}

void SaveFile(AencChn& c, MK_S32 chn, MK_S32 aiDev, MK_S32 aiChn, const AUDIO_FRAME_S& out,
              const AEC_FRAME_S* ref, MK_U32 inLen) {
    AUDIO_DUMPFILE_CFG_S cfg{};
    if (Request(chn, MK_AENC_IOC_GET_DUMP, &cfg) != MK_SUCCESS) {
        MK_TRACE("get aenc dumpfile cfg error!\n");
        return;
    }
    if (!cfg.bCfg) {
        if (c.bDumpOpen) CloseDumpLocked(chn);
        return;
    }
    if (!c.bDumpOpen) {
        const int pathLen = static_cast<int>(strnlen(cfg.aFilePath, sizeof(cfg.aFilePath)));
        const int nameLen = static_cast<int>(strnlen(cfg.aFileName, sizeof(cfg.aFileName)));
        char names[3][256];
        const char* kinds[3] = {"Sin", "Sou", "Rin"};
        for (int k = 0; k < 3; ++k) {
            std::snprintf(names[k], sizeof(names[k]), "%.*s/%s_Dev%d_Chn%d_%.*s.pcm", pathLen, cfg.aFilePath,
                          kinds[k], aiDev, aiChn, nameLen, cfg.aFileName);
        }
        pfdAencIn[chn] = std::fopen(names[kIn], "wb+");
        pfdAencOut[chn] = std::fopen(names[kOut], "wb+");
        pfdAencRef[chn] = std::fopen(names[kRef], "wb+");
        if (pfdAencIn[chn] == nullptr || pfdAencOut[chn] == nullptr || pfdAencRef[chn] == nullptr) {
            CloseDumpLocked(chn);
            MK_TRACE("File: InFilePath/OutFilePath/RefFilePath open failed!Please check your Filepath!\n");
            return;
        }
        c.bDumpOpen = true;
        for (MK_U64& n : c.au64DumpBytes) n = 0;
    }
    const MK_U64 limit = static_cast<MK_U64>(cfg.u32FileSize) * 1024;
    auto write = [&](DumpKind kind, FILE* f, const void* data, MK_U32 len) {
        if (c.au64DumpBytes[kind] >= limit) return;
        const size_t n = std::fwrite(data, 1, len, f);
        if (n != len) MK_TRACE("Write Error\n");
        c.au64DumpBytes[kind] += n;
        if ((Aenc().au64Flush[kind] += n) > kFlushBytes) {
            Aenc().au64Flush[kind] = 0;
            std::fflush(f);
            fsync(fileno(f));
        }
    };
    // Each file gets what its samples hold: a resampled output is longer than the input and reference.
    write(kIn, pfdAencIn[chn], c.pu8Work[0], inLen);
    write(kOut, pfdAencOut[chn], out.pVirAddr[0], out.u32Len);
    if (ref != nullptr && ref->bValid == MK_TRUE) {
        write(kRef, pfdAencRef[chn], ref->stRefFrame.pVirAddr[0], ref->stRefFrame.u32Len);
    }
    if (c.au64DumpBytes[kIn] >= limit || c.au64DumpBytes[kOut] >= limit || c.au64DumpBytes[kRef] >= limit) {
        cfg.bCfg = MK_FALSE;
        cfg.u32FileSize = 1;
        if (Request(chn, MK_AENC_IOC_SET_DUMP, &cfg) != MK_SUCCESS)
            MK_TRACE("set aenc dumpfile cfg error!\n");
        CloseDumpLocked(chn);
    }
}

// A resample block for up-sampled output, held for the frame's call.
struct ResmpBlock {
    VB_BLK blk = VB_INVALID_HANDLE;
    ~ResmpBlock() {
        if (blk != VB_INVALID_HANDLE) MK_MPI_VB_ReleaseBlockEx(blk);
    }
};

enum class Vqe { kSkipped, kDone, kFailed };

struct VqeOutcome {
    Vqe result;
    MK_S32 code;
};

// Runs the frame through the bound input's instance (channel mutex held; takes the state's mutex).
// A frame the input's caller read first gets what the caller's read made of it.
VqeOutcome ProcessVqe(AencChn& c, MK_S32 chn, MK_S32 aiDev, MK_S32 aiChn, AUDIO_FRAME_S& frame,
                      const AEC_FRAME_S* pstAecFrm, ResmpBlock& resmp) {
    AI_VQE_STATE_S& st = g_astVqeState[aiDev][aiChn];
    std::unique_lock<std::mutex> lock(st.mutex);
    if (st.hVqe == nullptr || (!st.bVqeEnable && !st.bResmpEnable)) return {Vqe::kSkipped, 0};
    c.hVqe = st.hVqe;
    c.bVqeEnable = st.bVqeEnable;
    c.bResmpEnable = st.bResmpEnable;
    if (frame.enSoundmode == AUDIO_SOUND_MODE_STEREO) return {Vqe::kSkipped, 0};
    const AUDIO_FRAME_S captured = frame;
    const AI_VQE_DONE_S done = MPI_AI_FindVqeDone(aiDev, aiChn, &captured);
    switch (done.enOutcome) {
        case AI_VQE_OUTCOME_RAW:
            return {Vqe::kSkipped, 0};
        case AI_VQE_OUTCOME_FAILED:
            return {Vqe::kFailed, MK_ERR_AENC_VQE_ERR};
        case AI_VQE_OUTCOME_IN_PLACE:
            frame.u32Len = done.u32Len;
            return {Vqe::kDone, 0};
        case AI_VQE_OUTCOME_COPY:
            // A mono frame leaves the second work buffer free.
            std::memcpy(c.pu8Work[1], done.pu8Copy, done.u32Len);
            frame.pVirAddr[0] = c.pu8Work[1];
            frame.u32Len = done.u32Len;
            return {Vqe::kDone, 0};
        case AI_VQE_OUTCOME_NONE:
            break;
    }
    UPVQE_CONFIG_S cfg{};
    if (MK_UPVQE_GetConfig(c.hVqe, &cfg) != MK_SUCCESS) {
        MK_TRACE("Get vqe config error!\n");
        return {Vqe::kSkipped, 0};
    }
    const bool aec = cfg.bAecOpen == 1;
    if (aec) {
        const bool usable = pstAecFrm != nullptr && pstAecFrm->bValid && pstAecFrm->u32Reserved;
        if (!usable || pstAecFrm->stRefFrame.u64TimeStamp - frame.u64TimeStamp > kMaxRefLeadUs) {
            MPI_AI_KeepVqeDone(aiDev, aiChn, &captured, AI_VQE_OUTCOME_RAW, nullptr, 0);
            return {Vqe::kSkipped, 0};
        }
    }
    AEC_FRAME_S ref{};
    const bool haveRef = aec || pstAecFrm != nullptr;
    if (haveRef) {
        MK_S32 ret = CheckFrame(chn, pstAecFrm->stRefFrame);
        // The engine reads as many reference samples as the frame has.
        const MK_U32 refLen = pstAecFrm->stRefFrame.u32Len;
        if (ret == MK_SUCCESS && refLen < frame.u32Len) {
            MK_TRACE("invalid param, AeChn:%d, pAecFrm->stRefFrame.u32Len:%d < pData->u32Len:%d\n", chn,
                     refLen, frame.u32Len);
            ret = MK_ERR_AENC_ILLEGAL_PARAM;
        }
        if (ret != MK_SUCCESS) {
            Failure(c, chn);
            return {Vqe::kFailed, ret};
        }
        ref = *pstAecFrm;
    }
    std::memcpy(c.pu8Work[0], frame.pVirAddr[0], frame.u32Len);
    MK_S32 ret = MK_UPVQE_GetConfig(c.hVqe, &cfg);
    if (ret != MK_SUCCESS) {
        MK_TRACE("MK_UPVQE_GetConfig failed, s32Ret:0x%x.!\n", ret);
        return {Vqe::kFailed, MK_ERR_AENC_VQE_ERR};
    }
    const MK_U32 n = frame.u32Len >> frame.enBitwidth;
    MK_U32 nOut = n;
    const bool rateChange = cfg.s32OutSampleRate != cfg.s32InSampleRate;
    if (rateChange) {
        const MK_U64 in = static_cast<MK_U32>(cfg.s32InSampleRate),
                     out = static_cast<MK_U32>(cfg.s32OutSampleRate);
        nOut = static_cast<MK_U32>((n * out + in - 1) / in);
        if (c.bKernelEncode && !IsFramePoints(nOut)) {
            MK_TRACE("SamplePoint(%d) is not support for voie encode!\n", nOut);
            return {Vqe::kFailed, MK_ERR_AENC_ENCODER_ERR};
        }
        if (!c.bKernelEncode && nOut > c.u32PtNumPerFrm) {
            MK_TRACE("SamplePoint(%d) is larger than aenc u32PtNumPerFrm(%d)!\n", nOut, c.u32PtNumPerFrm);
            return {Vqe::kFailed, MK_ERR_AENC_ENCODER_ERR};
        }
    }
    // Two inputs: the saved input and the reference (one channel), or the frame's two channels; a
    // reference that did not come is none.
    UPVQE_FRAME_S in{n, nullptr, nullptr};
    if (cfg.s32ChnNum == 1) {
        in.ps16Buf = reinterpret_cast<MK_S16*>(c.pu8Work[0]);
        in.ps16BufR = haveRef ? static_cast<MK_S16*>(ref.stRefFrame.pVirAddr[0]) : nullptr;
    } else {
        in.ps16Buf = static_cast<MK_S16*>(frame.pVirAddr[0]);
        in.ps16BufR = static_cast<MK_S16*>(frame.pVirAddr[1]);
    }
    ret = MK_UPVQE_WriteFrame(c.hVqe, &in);
    if (ret != MK_SUCCESS) {
        MK_TRACE("MK_UPVQE_WriteFrame failed, s32Ret:0x%x.!\n", ret);
        if (!rateChange) return {Vqe::kSkipped, 0};
        return {Vqe::kFailed, MK_ERR_AENC_VQE_ERR};
    }
    if (cfg.s32OutSampleRate > cfg.s32InSampleRate) {
        const MK_S32 pool = st.s32ResmpPoolId;
        MK_S32 fail = MK_SUCCESS;
        if (pool == -1) {
            MK_TRACE("cannot fine vb for resample!\n");
            fail = MK_FAILURE;
        } else if (frame.enSoundmode == AUDIO_SOUND_MODE_STEREO) {
            MK_TRACE("can't do resample for stereo!\n");
            fail = MK_FAILURE;
        } else {
            MK_U32 phys = 0;
            MK_VOID* vir = nullptr;
            fail = MPI_AI_TakeResmpBlock(MK_TRACE_SITE, static_cast<VB_POOL>(pool), &resmp.blk, &phys, &vir);
            if (fail == MK_SUCCESS) {
                frame.pVirAddr[0] = vir;
                frame.u32PhyAddr[0] = phys;
                frame.u32PoolId[0] = static_cast<MK_U32>(pool);
                frame.u32Len = kMaxResmpPoints << frame.enBitwidth;
            }
        }
        if (fail != MK_SUCCESS) {
            MK_TRACE("aenc%d get vb error\n", chn);
            // The instance has the samples: the input's caller must not feed them again.
            MPI_AI_KeepVqeDone(aiDev, aiChn, &captured, AI_VQE_OUTCOME_FAILED, nullptr, 0);
            return {Vqe::kFailed, MK_ERR_AENC_NOMEM};
        }
    }
    UPVQE_FRAME_S out{nOut, static_cast<MK_S16*>(frame.pVirAddr[0]),
                      cfg.s32ChnNum != 1 ? static_cast<MK_S16*>(frame.pVirAddr[1]) : nullptr};
    const MK_S32 got = MK_UPVQE_ReadFrame(c.hVqe, &out, 1);
    if (got <= 0) {
        MPI_AI_KeepVqeDone(aiDev, aiChn, &captured, AI_VQE_OUTCOME_FAILED, nullptr, 0);
        return {Vqe::kFailed, MK_ERR_AENC_VQE_ERR};
    }
    frame.u32Len = static_cast<MK_U32>(got) << frame.enBitwidth;
    if (resmp.blk == VB_INVALID_HANDLE) {
        MPI_AI_KeepVqeDone(aiDev, aiChn, &captured, AI_VQE_OUTCOME_IN_PLACE, nullptr, frame.u32Len);
    } else {
        MPI_AI_KeepVqeDone(aiDev, aiChn, &captured, AI_VQE_OUTCOME_COPY, frame.pVirAddr[0], frame.u32Len);
    }
    lock.unlock();
    SaveFile(c, chn, aiDev, aiChn, frame, haveRef ? &ref : nullptr, n << frame.enBitwidth);
    return {Vqe::kDone, 0};
}

// Writes one packet from `frame` into the stream buffer; MK_AENC_NO_PACKET when the encoder gives none.
MK_S32 EncodePacket(AencChn& c, MK_S32 chn, const AENC_ENCODER_S& e, const AUDIO_FRAME_S& frame) {
    MK_U8* wr = c.stReadBuf.pu8VirtAddr + c.Word(AENC_RING_WRHEAD);
    MK_ASSERT_IN(kSource, wr != NULL);
    MK_U32 len = 0;
    MK_S32 ret = e.pfnEncodeFrm(c.pEncoder, &frame, wr + sizeof(AENC_STREAM_HEADER_S), &len);
    if (ret == MK_AENC_NO_PACKET) return ret;
    if (ret != MK_SUCCESS) {
        Failure(c, chn);
        return MK_ERR_AENC_ENCODER_ERR;
    }
    MK_ASSERT_IN(kSource, (len + sizeof(AENC_STREAM_HEADER_S)) <= c.u32CbPackLen);
    AENC_STREAM_HEADER_S h{frame.u64TimeStamp, len, c.u32Seq++};
    std::memcpy(wr, &h, sizeof(h));
    if (c.u32CbPackLen % 4 != 0) {
        std::printf("%s err! Len(%d) must be multiples of word(32-bit)!\n", "VALG_CB_UpdateWrHead",
                    c.u32CbPackLen);
    } else {
        MK_U32 head = c.Word(AENC_RING_WRHEAD) + c.u32CbPackLen;
        const MK_U32 tail = c.Word(AENC_RING_RDTAIL);
        MK_ASSERT_IN(kValgSource, head <= c.u32DataLen);
        if (head == c.u32DataLen) head = 0;
        MK_ASSERT_IN(kValgSource, head != tail);
        c.SetWord(AENC_RING_WRHEAD, head);
    }
    MK_U32 wrTail = c.Word(AENC_RING_WRHEAD);
    c.SetWord(AENC_RING_WRTAIL, wrTail);
    ret = Request(chn, MK_AENC_IOC_UPDATE_WRTAIL, &wrTail);
    if (ret != MK_SUCCESS) return ret;
    Request(chn, MK_AENC_IOC_NEW_PACKET);
    ++c.stDbg.u32SendPackets;
    SendDbgLocked(chn);
    return MK_SUCCESS;
}

MK_S32 SoftEncode(AencChn& c, MK_S32 chn, AUDIO_FRAME_S& frame) {
    MK_ASSERT_IN(kSource, MK_INVALID_HANDLE != c.s32Handle);
    AENC_ENCODER_S e{};
    if (!EncoderOf(c.s32Handle, &e)) {
        MK_TRACE("The encoder has been unregistered!\n");
        return MK_ERR_AENC_ENCODER_ERR;
    }
    const MK_U32 points = frame.u32Len >> frame.enBitwidth;
    if (points == c.u32PtNumPerFrm) {
        const MK_S32 ret = EncodePacket(c, chn, e, frame);
        return ret == MK_AENC_NO_PACKET ? MK_SUCCESS : ret;
    }
    const MK_U32 tracks = frame.enSoundmode == AUDIO_SOUND_MODE_STEREO ? 2 : 1;
    for (MK_U32 t = 0; t < tracks; ++t) {
        if (!c.ring[t].HasRoom(frame.u32Len)) {
            MK_TRACE("It's no free buffer to save data! frame len:%d, u32Write:%d, u32Read:%d\n",
                     frame.u32Len, c.ring[t].write, c.ring[t].read);
            return MK_ERR_AENC_BUF_FULL;
        }
    }
    for (MK_U32 t = 0; t < tracks; ++t)
        c.ring[t].Append(static_cast<const MK_U8*>(frame.pVirAddr[t]), frame.u32Len);
    // Every whole channel frame gathered goes out, each packet with room of its own in the buffer.
    const MK_U32 frameLen = c.u32PtNumPerFrm << frame.enBitwidth;
    for (bool first = true;; first = false) {
        for (MK_U32 t = 0; t < tracks; ++t) {
            if (c.ring[t].Held() < frameLen) return MK_SUCCESS;
        }
        if (!first && FreeSpace(c) < c.u32CbPackLen) {
            ++c.stDbg.u32BufFull;
            SendDbgLocked(chn);
            return MK_ERR_AENC_BUF_FULL;
        }
        AUDIO_FRAME_S cut = frame;
        for (MK_U32 t = 0; t < tracks; ++t) {
            c.ring[t].Peek(c.pu8Work[t], frameLen);
            cut.pVirAddr[t] = c.pu8Work[t];
        }
        cut.u32Len = frameLen;
        const MK_S32 ret = EncodePacket(c, chn, e, cut);
        if (ret == MK_AENC_NO_PACKET) return MK_SUCCESS;
        if (ret != MK_SUCCESS) return ret;
        for (MK_U32 t = 0; t < tracks; ++t) c.ring[t].Consume(frameLen);
    }
}

}  // namespace

MK_S32 MK_MPI_AENC_SendFrame(MK_S32 AeChn, const AUDIO_FRAME_S* pstFrm, const AEC_FRAME_S* pstAecFrm) {
    AENC_CHECK_CHN(AeChn);
    AENC_OPEN(AeChn);
    if (pstFrm == nullptr) return MK_ERR_AENC_NULL_PTR;
    AencChn& c = Aenc().chn[AeChn];
    std::lock_guard<std::mutex> lock(c.mutex);
    if (!c.bCreated) return MK_ERR_AENC_UNEXIST;
    ++c.stDbg.u32RecvFrames;
    MK_S32 ret = CheckFrame(AeChn, *pstFrm);
    if (ret != MK_SUCCESS) {
        Failure(c, AeChn);
        return ret;
    }
    // The input channel bound to this one, whose instance the frame goes through.
    c.hVqe = nullptr;
    MK_S32 aiDev = -1, aiChn = -1;
    const MPP_CHN_S dest{MK_ID_AENC, 0, AeChn};
    MPP_CHN_S src{};
    if (MK_MPI_SYS_GetBindbyDest(&dest, &src) == MK_SUCCESS && src.enModId == MK_ID_AI &&
        static_cast<MK_U32>(src.s32DevId) < AI_DEV_MAX_NUM &&
        static_cast<MK_U32>(src.s32ChnId) < AI_MAX_CHN_NUM) {
        AI_VQE_STATE_S& st = g_astVqeState[src.s32DevId][src.s32ChnId];
        std::lock_guard<std::mutex> slock(st.mutex);
        if (st.hVqe != nullptr) {
            c.hVqe = st.hVqe;
            c.bVqeEnable = st.bVqeEnable;
            c.bResmpEnable = st.bResmpEnable;
            aiDev = src.s32DevId;
            aiChn = src.s32ChnId;
        }
    }
    AUDIO_FRAME_S frame = *pstFrm;
    if ((frame.u32Len >> frame.enBitwidth) > c.u32PtNumPerFrm && !c.bResmpEnable) {
        MK_TRACE("frame point num:%d error, it's bigger than aenc chn frame point num:%d\n",
                 frame.u32Len >> frame.enBitwidth, c.u32PtNumPerFrm);
        Failure(c, AeChn);
        return MK_ERR_AENC_NOT_PERM;
    }
    MK_ASSERT_IN(kSource, MK_INVALID_HANDLE != c.s32Handle);
    AENC_ENCODER_S encoder{};
    if (!EncoderOf(c.s32Handle, &encoder)) {
        MK_TRACE("The encoder has been unregistered!\n");
        return MK_ERR_AENC_ENCODER_ERR;
    }
    if (!c.bBufReady) return MK_ERR_AENC_UNEXIST;
    if (!c.bKernelEncode && FreeSpace(c) < c.u32CbPackLen) {
        ++c.stDbg.u32BufFull;
        SendDbgLocked(AeChn);
        return MK_ERR_AENC_BUF_FULL;
    }
    ResmpBlock resmp;  // given back on every return
    if (c.hVqe != nullptr && (c.bVqeEnable || c.bResmpEnable)) {
        const VqeOutcome o = ProcessVqe(c, AeChn, aiDev, aiChn, frame, pstAecFrm, resmp);
        if (o.result == Vqe::kFailed) return o.code;
    }
    if (c.bKernelEncode) {
        const MK_U32 points = frame.u32Len / (frame.enBitwidth + 1);
        if (!IsFramePoints(points)) {
            MK_TRACE("point num (%d) of this frame is not support for voie encode\n", points);
            return MK_ERR_AENC_NOT_SUPPORT;
        }
        return Request(AeChn, MK_AENC_IOC_KERNEL_ENCODE, &frame);
    }
    ret = SoftEncode(c, AeChn, frame);
    if (ret != MK_SUCCESS) MK_TRACE("Encode err:0x%x\n", ret);
    return ret;
}
