// Audio output: the send path (rings, processing, the driver's frames), the bind receiver and the
// channel's dump files.
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/host/env.h"
#include "sdk/audio/ao/internal/ao_state.h"
#include "sdk/audio/ao/mpi_ao.h"

namespace mk::ao {
namespace {

constexpr MK_U64 kFlushBytes = 51200;

// A field of the dump record as a string, never reading past the field.
std::string Field(const char* p, size_t n) { return std::string(p, strnlen(p, n)); }

void ResetDumpLocked(ChnCtx& c) {
    c.dumpOpen = false;
    c.dumpIn = c.dumpOut = nullptr;
    c.dumpInBytes = c.dumpOutBytes = 0;
    Module().flushIn = 0;
    Module().flushOut = 0;
}

// Writes `n` bytes to a dump file, counting them for the file and for the flush of its kind.
void DumpWrite(std::FILE* f, const void* data, size_t n, MK_U64* fileBytes, std::atomic<MK_U64>& flush) {
    if (std::fwrite(data, 1, n, f) != n) std::fprintf(stderr, "Write Error\n");
    *fileBytes += n;
    if (flush.fetch_add(n) + n > kFlushBytes) {
        flush = 0;
        std::fflush(f);
        fsync(fileno(f));
    }
}

// The dump of one processed frame: the processing input (inBytes of staging 0) and output (outBytes
// of staging 2), while the driver's dump record asks for it.
void SaveFileLocked(MK_S32 devId, MK_S32 chn, ChnCtx& c, const AIO_ATTR_S& attr, MK_U32 inBytes, MK_U32 outBytes) {
    const MK_S32 index = Index(devId, chn);
    AUDIO_DUMPFILE_CFG_S cfg{};
    if (Request(index, MK_AO_IOC_GET_DUMP, &cfg) != MK_SUCCESS) {
        MK_TRACE("get ao dumpfile cfg error!\n");
        return;
    }
    if (!cfg.bCfg) {
        if (c.dumpOpen) CloseDumpLocked(c);
        return;
    }
    if (!c.dumpOpen) {
        const std::string dir = varnelle::host::ChipPath(Field(cfg.aFilePath, sizeof(cfg.aFilePath)));
        const std::string part = Field(cfg.aFileName, sizeof(cfg.aFileName));
        const MK_U32 inRate = c.bResmpEnabled ? c.stResmp.enInSampleRate : attr.enSampleRate;
        char inName[700], outName[700];
        std::snprintf(inName, sizeof(inName), "%s/Sin_AoDev%d_Chn%d_%dK_%s.pcm", dir.c_str(), devId, chn,
                      static_cast<int>(inRate / 1000), part.c_str());
        std::snprintf(outName, sizeof(outName), "%s/Sou_AoDev%d_Chn%d_%dK_%s.pcm", dir.c_str(), devId, chn,
                      static_cast<int>(attr.enSampleRate / 1000), part.c_str());
        std::FILE* in = std::fopen(inName, "wb+");
        std::FILE* out = in != nullptr ? std::fopen(outName, "wb+") : nullptr;
        if (in == nullptr || out == nullptr) {
            if (in != nullptr) std::fclose(in);
            MK_TRACE("DevId:%d, AoChn:%d, File: InFilePath/OutFilePath open failed!Please check your Filepath!\n",
                     devId, chn);
            return;
        }
        c.dumpIn = in;
        c.dumpOut = out;
        c.dumpOpen = true;
        c.dumpInBytes = c.dumpOutBytes = 0;
        Module().flushIn = 0;
        Module().flushOut = 0;
    }
    const MK_U64 limit = static_cast<MK_U64>(cfg.u32FileSize) * 1024;
    if (c.dumpInBytes < limit) {
        DumpWrite(c.dumpIn, c.staging[kStageTrack0], inBytes, &c.dumpInBytes, Module().flushIn);
    }
    if (c.dumpOutBytes < limit) {
        DumpWrite(c.dumpOut, c.staging[kStageVqeOut], outBytes, &c.dumpOutBytes, Module().flushOut);
    }
    if (c.dumpInBytes >= limit || c.dumpOutBytes >= limit) {
        cfg.bCfg = MK_FALSE;
        cfg.u32FileSize = 1;
        if (Request(index, MK_AO_IOC_SET_DUMP, &cfg) != MK_SUCCESS) {
            MK_TRACE("Set ao dumpfile cfg error!\n");
            return;
        }
        CloseDumpLocked(c);
    }
}

// The frame against the device: 0 or the code, after the frame-info message.
MK_S32 CheckFrame(const AUDIO_FRAME_S& f, const AIO_ATTR_S& attr) {
    if (f.enSoundmode >= AUDIO_SOUND_MODE_BUTT) {
        MK_TRACE("Invalid Soundmode(%d)!\n", f.enSoundmode);
        return MK_ERR_AO_ILLEGAL_PARAM;
    }
    if (f.enBitwidth >= AUDIO_BIT_WIDTH_BUTT) {
        MK_TRACE("Invalid Bitwidth(%d)!\n", f.enBitwidth);
        return MK_ERR_AO_ILLEGAL_PARAM;
    }
    if (f.enSoundmode != attr.enSoundmode) {
        MK_TRACE("Soundmode(%d), stAioAttr.enSoundmode(%d)!\n", f.enSoundmode, attr.enSoundmode);
        return MK_ERR(MK_ID_AO, MK_ERR_NOT_SUPPORT);
    }
    if (f.enBitwidth != attr.enBitwidth) {
        MK_TRACE("enBitwidth(%d), stAioAttr.enBitwidth(%d)!\n", f.enBitwidth, attr.enBitwidth);
        return MK_ERR(MK_ID_AO, MK_ERR_NOT_SUPPORT);
    }
    if (f.pVirAddr[0] == nullptr) {
        MK_TRACE("NULL pointer pVirAddr[0]!\n");
        return MK_ERR_AO_NULL_PTR;
    }
    if (f.enSoundmode == AUDIO_SOUND_MODE_STEREO && f.pVirAddr[1] == nullptr) {
        MK_TRACE("NULL pointer pVirAddr[1]!\n");
        return MK_ERR_AO_NULL_PTR;
    }
    return MK_SUCCESS;
}

}  // namespace

void CloseDumpLocked(ChnCtx& c) {
    if (c.dumpIn != nullptr) std::fclose(c.dumpIn);
    if (c.dumpOut != nullptr) std::fclose(c.dumpOut);
    ResetDumpLocked(c);
}

}  // namespace mk::ao

using namespace mk::ao;

MK_S32 MK_MPI_AO_SendFrame(AUDIO_DEV AoDevId, AO_CHN AoChn, const AUDIO_FRAME_S* pstData, MK_S32 s32MilliSec) {
    MK_S32 ret = CheckAndOpen(MK_TRACE_SITE, AoDevId, AoChn);
    if (ret != MK_SUCCESS) return ret;
    if (s32MilliSec < -1) {
        MK_TRACE("s32MilliSec(%d) can not be lower than -1.\n", s32MilliSec);
        return MK_ERR_AO_ILLEGAL_PARAM;
    }
    if (pstData == nullptr) {
        MK_TRACE("the AUDIO_FRAME_S pointer for is Ao(%d, %d) NULL!\n", AoDevId, AoChn);
        return MK_ERR_AO_NULL_PTR;
    }
    const MK_S32 index = Index(AoDevId, AoChn);
    ChnCtx& c = Module().ctx[index];
    std::lock_guard<std::mutex> lock(c.lock);
    if (!c.bEnabled) {
        MK_TRACE("AO chn %d is not enable\n", AoChn);
        return MK_ERR_AO_NOT_ENABLED;
    }
    MK_U32 state = 0;
    if (Request(index, MK_AO_IOC_CHN_STATE, &state) != MK_SUCCESS || state != 1) return MK_ERR_AO_NOT_PERM;
    AO_SEND_FRAME_REQ_S req{};
    req.stFrame = *pstData;
    req.s32MilliSec = s32MilliSec;
    AIO_ATTR_S attr;
    if (DevAttr(AoDevId, &attr) != MK_SUCCESS) {
        MK_TRACE("can't get aodev%d's attribute!\n", AoDevId);
        return MK_ERR_AO_NOT_CONFIG;
    }
    ret = CheckFrame(req.stFrame, attr);
    if (ret != MK_SUCCESS) {
        MK_TRACE("Ao dev: %d, ao chn:%d, frame info error.\n", AoDevId, AoChn);
        return ret;
    }
    const MK_U32 shift = attr.enBitwidth;
    const MK_U32 len = req.stFrame.u32Len;
    const MK_U32 points = len >> shift;
    // A length of part samples would leave the rings off by a byte for good.
    if (points == 0 || points > MAX_AO_POINT_NUM || (len & ((1u << shift) - 1)) != 0) {
        MK_TRACE("PointNum of input frame is:%d, it's big than MAX_AO_POINT_NUM:%d, or small than 0\n", points,
                 MAX_AO_POINT_NUM);
        return MK_ERR_AO_ILLEGAL_PARAM;
    }
    AUDIO_FRAME_S& frame = req.stFrame;
    if ((c.bVqeEnabled || c.bMbcEnabled || c.bResmpEnabled) && c.hVqe != nullptr) {
        MK_U32 maxOut;
        if (c.bResmpEnabled) {
            const MK_U64 in = c.stResmp.enInSampleRate, out = c.stResmp.enOutSampleRate;
            maxOut = static_cast<MK_U32>((static_cast<MK_U64>(points) * out + in - 1) / in);
            if (maxOut == 0 || maxOut > MAX_AO_POINT_NUM) {
                MK_TRACE("PointNum after ao resample is:%d, it's biger than MAX_AO_POINT_NUM:%d, or small than 0\n",
                         maxOut, MAX_AO_POINT_NUM);
                return MK_ERR_AO_ILLEGAL_PARAM;
            }
        } else {
            maxOut = points > attr.u32PtNumPerFrm ? points : attr.u32PtNumPerFrm;
        }
        std::memcpy(c.staging[kStageTrack0], frame.pVirAddr[0], len);
        ret = MK_DNVQE_WriteFrame(c.hVqe, reinterpret_cast<MK_S16*>(c.staging[kStageTrack0]), static_cast<MK_S32>(points));
        if (ret != MK_SUCCESS) {
            MK_TRACE("MK_DNVQE_WriteFrame failed, s32Ret:0x%x.!\n", static_cast<unsigned>(ret));
            if (c.bResmpEnabled) return MK_ERR_AO_VQE_ERR;
        } else {
            const MK_S32 got = MK_DNVQE_ReadFrame(c.hVqe, reinterpret_cast<MK_S16*>(c.staging[kStageVqeOut]),
                                                  static_cast<MK_S32>(maxOut), 1);
            if (got < 0) {
                MK_TRACE("####%s, %d , Ret:%d######\n", __FUNCTION__, __LINE__, MK_ERR_AO_VQE_ERR);
                return MK_ERR_AO_VQE_ERR;
            }
            frame.pVirAddr[0] = c.staging[kStageVqeOut];
            frame.u32Len = static_cast<MK_U32>(got) << shift;
            if (c.bVqeEnabled) SaveFileLocked(AoDevId, AoChn, c, attr, len, frame.u32Len);
        }
    }
    // Drain: hand the driver every whole device frame the rings hold.
    const MK_U32 tracks = attr.enSoundmode == AUDIO_SOUND_MODE_STEREO ? 2 : 1;
    const MK_U32 devFrame = attr.u32PtNumPerFrm << shift;
    AO_SEND_FRAME_REQ_S drain = req;
    drain.stFrame.enBitwidth = attr.enBitwidth;
    drain.stFrame.enSoundmode = attr.enSoundmode;
    drain.stFrame.u32Len = devFrame;
    for (;;) {
        bool whole = true;
        for (MK_U32 t = 0; t < tracks; ++t) whole = whole && RingCanRead(c.stCirBuf[t], devFrame);
        if (!whole) break;
        for (MK_U32 t = 0; t < tracks; ++t) {
            RingPeek(c.stCirBuf[t], c.staging[t], devFrame);
            drain.stFrame.pVirAddr[t] = c.staging[t];
        }
        if (Request(index, MK_AO_IOC_SEND_FRAME, &drain) != MK_SUCCESS) break;
        for (MK_U32 t = 0; t < tracks; ++t) RingConsume(c.stCirBuf[t], devFrame);
    }
    // Append: all rings are asked before any is written, so a refused frame changes none.
    for (MK_U32 t = 0; t < tracks; ++t) {
        if (!RingCanWrite(c.stCirBuf[t], frame.u32Len)) return MK_ERR_AO_BUF_FULL;
    }
    for (MK_U32 t = 0; t < tracks; ++t) {
        if (!RingWrite(c.stCirBuf[t], static_cast<const MK_U8*>(frame.pVirAddr[t]), frame.u32Len)) {
            return MK_ERR_AO_BUF_FULL;
        }
    }
    return MK_SUCCESS;
}

MK_S32 MPI_AO_ReceiveFrm(MK_S32 s32DevId, MK_S32 s32ChnId, MK_U32 u32Arg, MPP_DATA_TYPE_E enDataType,
                         MK_VOID* pvData) {
    (void)u32Arg;
    MK_ASSERT_IN("mpi_ao", MPP_DATA_AUDIO_FRAME == enDataType);
    MK_ASSERT_IN("mpi_ao", NULL != pvData);
    return MK_MPI_AO_SendFrame(s32DevId, s32ChnId, static_cast<const AUDIO_FRAME_S*>(pvData), -1);
}
