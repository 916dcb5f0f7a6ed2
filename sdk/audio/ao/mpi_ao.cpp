// Audio output: module start and stop, descriptors, devices, channels and resampling.
#include "sdk/audio/ao/mpi_ao.h"

#include <fcntl.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/dev/dev.h"
#include "sdk/audio/ao/internal/ao_state.h"
#include "sdk/audio/mem/audio_mem.h"

namespace mk::ao {

namespace dev = varnelle::dev;

AoModule& Module() {
    static AoModule* m = new AoModule;  // never destroyed: other threads may still call in
    return *m;
}

namespace {

MK_S32 CheckOpen(const TraceSite& site, MK_S32 devId, MK_S32 chn, bool deviceCall) {
    if (static_cast<MK_U32>(devId) >= AO_DEV_MAX_NUM) {
        MK_TRACE_AT(site, "ao dev %d is invalid\n", devId);
        return MK_ERR_AO_INVALID_DEVID;
    }
    if (!deviceCall && static_cast<MK_U32>(chn) >= AO_MAX_CHN_NUM) {
        MK_TRACE_AT(site, "ao chnid %d is invalid\n", chn);
        return MK_ERR_AO_INVALID_CHNID;
    }
    const MK_S32 index = Index(devId, deviceCall ? 0 : chn);
    if (Module().fd[index].Ensure("/dev/ao", O_RDWR, MK_AO_IOC_BIND, static_cast<MK_U32>(index)) !=
        DevSlot::kReady) {
        return MK_ERR_AO_SYS_NOTREADY;
    }
    return MK_SUCCESS;
}

}  // namespace

MK_S32 CheckAndOpen(const TraceSite& site, MK_S32 devId, MK_S32 chn) { return CheckOpen(site, devId, chn, false); }
MK_S32 CheckDevAndOpen(const TraceSite& site, MK_S32 devId) { return CheckOpen(site, devId, 0, true); }

MK_S32 Request(MK_S32 index, unsigned long request, void* arg) {
    return dev::Ioctl(Module().fd[index].fd(), request, arg);
}

MK_S32 DevAttr(MK_S32 devId, AIO_ATTR_S* attr) {
    MK_S32 ret = CheckDevAndOpen(MK_TRACE_SITE, devId);
    if (ret != MK_SUCCESS) return ret;
    return Request(Index(devId, 0), MK_AO_IOC_GET_PUBATTR, attr);
}

MK_S32 GetConfigLocked(MK_S32 devId, MK_S32 chn, DNVQE_CONFIG_S* cfg) {
    ChnCtx& c = Module().ctx[Index(devId, chn)];
    if ((!c.bVqeConfigured && !c.bResmpEnabled && !c.bMbcEnabled) || c.hVqe == nullptr) {
        MK_TRACE("AO chn %d is not config vqe and resmp!\n", chn);
        return MK_ERR_AO_NOT_PERM;
    }
    MK_S32 ret = MK_DNVQE_GetConfig(c.hVqe, cfg);
    if (ret != MK_SUCCESS) {
        MK_TRACE("AO dev: %d, ao chn:%d, get vqe attr fail, s32Ret: 0x%x.\n", devId, chn, static_cast<unsigned>(ret));
        return MK_ERR_AO_VQE_ERR;
    }
    return MK_SUCCESS;
}

MK_S32 RebuildLocked(ChnCtx& c, const DNVQE_CONFIG_S& cfg) {
    MK_VOID* fresh = nullptr;
    MK_S32 ret = MK_DNVQE_Create(&fresh, &cfg);
    if (ret != MK_SUCCESS) return ret;
    if (c.hVqe != nullptr) MK_DNVQE_Destroy(c.hVqe);
    c.hVqe = fresh;
    return MK_SUCCESS;
}

void SendVqeDbgLocked(MK_S32 index, const DNVQE_CONFIG_S* cfg) {
    AO_VQE_DBG_S dbg{};
    if (cfg != nullptr) {
        dbg.bVqeEnable = MK_TRUE;
        dbg.stVqeConfig = *cfg;
    } else {
        dbg.stVqeConfig.s32WorkSampleRate = AO_VQE_DBG_OFF_RATE;
    }
    Request(index, MK_AO_IOC_VQE_DBG, &dbg);
}

MK_S32 DisableReSmpLocked(MK_S32 devId, MK_S32 chn) {
    ChnCtx& c = Module().ctx[Index(devId, chn)];
    if (!c.bResmpEnabled) return MK_SUCCESS;
    DNVQE_CONFIG_S cfg;
    if (GetConfigLocked(devId, chn, &cfg) != MK_SUCCESS) {
        MK_TRACE("AoDev: %d get vqe attr failed!\n", devId);
        return MK_ERR_AO_NOT_CONFIG;
    }
    AIO_ATTR_S attr;
    if (DevAttr(devId, &attr) != MK_SUCCESS) {
        MK_TRACE("AoDev: %d haven't set attr!\n", devId);
        return MK_ERR_AO_NOT_CONFIG;
    }
    cfg.s32InSampleRate = static_cast<MK_S32>(attr.enSampleRate);
    cfg.s32OutSampleRate = static_cast<MK_S32>(attr.enSampleRate);
    if (RebuildLocked(c, cfg) != MK_SUCCESS) {
        MK_TRACE("Ao dev: %d, ao chn:%d, create resampler fail.\n", devId, chn);
        return MK_ERR_AO_VQE_ERR;
    }
    c.bResmpEnabled = 0;
    return MK_SUCCESS;
}

namespace {

void FreeBuffersLocked(ChnCtx& c) {
    if (c.stCirBuf[0].pVirAddr != nullptr) MPI_AUDIO_MmzFree(c.stCirBuf[0].u32PhyAddr, c.stCirBuf[0].pVirAddr);
    c.stCirBuf[0] = AO_CIRBUF_S{};
    c.stCirBuf[1] = AO_CIRBUF_S{};
    for (MK_U8*& s : c.staging) {
        std::free(s);
        s = nullptr;
    }
}

// Everything a channel holds goes back and its record is cleared (its lock stays).
void ClearChannelLocked(ChnCtx& c) {
    FreeBuffersLocked(c);
    if (c.hVqe != nullptr) MK_DNVQE_Destroy(c.hVqe);
    CloseDumpLocked(c);
    c.hVqe = nullptr;
    c.bResmpEnabled = c.bAnrOpen = c.bMbcEnabled = c.bAgcOpen = c.bHpfOpen = c.bEqOpen = 0;
    c.bVqeConfigured = c.bVqeEnabled = c.bEnabled = 0;
    c.stResmp = AUDIO_RESAMPLE_ATTR_S{};
}

}  // namespace
}  // namespace mk::ao

using namespace mk::ao;

MK_S32 MPI_AO_Init(MK_VOID) {
    AoModule& m = Module();
    std::lock_guard<std::mutex> guard(m.initMutex);
    if (m.initialised) return MK_SUCCESS;
    BIND_RECEIVER_INFO_S info{};
    info.enModId = MK_ID_AO;
    info.u32MaxDevCnt = AO_DEV_MAX_NUM;
    info.u32MaxChnCnt = AO_MAX_CHN_NUM;
    info.pfnCallBack = MPI_AO_ReceiveFrm;
    info.pfnUnBindCallBack = nullptr;
    MK_S32 ret = SYS_BIND_RegisterReceiver(&info);
    MK_ASSERT_IN("mpi_ao", MK_SUCCESS == ret);
    for (ChnCtx& c : m.ctx) {
        std::lock_guard<std::mutex> lock(c.lock);
        ClearChannelLocked(c);
    }
    m.flushIn = 0;
    m.flushOut = 0;
    m.initialised = true;
    return MK_SUCCESS;
}

MK_S32 MPI_AO_Exit(MK_VOID) {
    AoModule& m = Module();
    std::lock_guard<std::mutex> guard(m.initMutex);
    if (!m.initialised) return MK_SUCCESS;
    SYS_BIND_UnRegisterReceiver(MK_ID_AO);
    for (ChnCtx& c : m.ctx) {
        std::lock_guard<std::mutex> lock(c.lock);
        ClearChannelLocked(c);
    }
    m.initialised = false;
    return MK_SUCCESS;
}

MK_S32 MK_MPI_AO_SetPubAttr(AUDIO_DEV AoDevId, const AIO_ATTR_S* pstAttr) {
    MK_S32 ret = CheckDevAndOpen(MK_TRACE_SITE, AoDevId);
    if (ret != MK_SUCCESS) return ret;
    if (pstAttr == nullptr) {
        MK_TRACE("the AIO_ATTR_S pointer for AoDev%d is NULL!\n", AoDevId);
        return MK_ERR_AO_NULL_PTR;
    }
    return Request(Index(AoDevId, 0), MK_AO_IOC_SET_PUBATTR, const_cast<AIO_ATTR_S*>(pstAttr));
}

MK_S32 MK_MPI_AO_GetPubAttr(AUDIO_DEV AoDevId, AIO_ATTR_S* pstAttr) {
    MK_S32 ret = CheckDevAndOpen(MK_TRACE_SITE, AoDevId);
    if (ret != MK_SUCCESS) return ret;
    if (pstAttr == nullptr) {
        MK_TRACE("the AIO_ATTR_S pointer for AoDev%d is NULL!\n", AoDevId);
        return MK_ERR_AO_NULL_PTR;
    }
    return Request(Index(AoDevId, 0), MK_AO_IOC_GET_PUBATTR, pstAttr);
}

MK_S32 MK_MPI_AO_Enable(AUDIO_DEV AoDevId) {
    MK_S32 ret = CheckDevAndOpen(MK_TRACE_SITE, AoDevId);
    return ret != MK_SUCCESS ? ret : Request(Index(AoDevId, 0), MK_AO_IOC_ENABLE, nullptr);
}

MK_S32 MK_MPI_AO_Disable(AUDIO_DEV AoDevId) {
    MK_S32 ret = CheckDevAndOpen(MK_TRACE_SITE, AoDevId);
    return ret != MK_SUCCESS ? ret : Request(Index(AoDevId, 0), MK_AO_IOC_DISABLE, nullptr);
}

MK_S32 MK_MPI_AO_SetMute(AUDIO_DEV AoDevId, MK_BOOL bEnable, const AUDIO_FADE_S* pstFade) {
    MK_S32 ret = CheckDevAndOpen(MK_TRACE_SITE, AoDevId);
    if (ret != MK_SUCCESS) return ret;
    AO_MUTE_S mute{};
    mute.bEnable = bEnable;
    if (pstFade != nullptr) mute.stFade = *pstFade;
    return Request(Index(AoDevId, 0), MK_AO_IOC_SET_MUTE, &mute);
}

MK_S32 MK_MPI_AO_GetMute(AUDIO_DEV AoDevId, MK_BOOL* pbEnable, AUDIO_FADE_S* pstFade) {
    MK_S32 ret = CheckDevAndOpen(MK_TRACE_SITE, AoDevId);
    if (ret != MK_SUCCESS) return ret;
    if (pbEnable == nullptr && pstFade == nullptr) {
        MK_TRACE("Both pbEnable and pstFade pointer for  AoDev%d are NULL!\n", AoDevId);
        return MK_ERR_AO_NULL_PTR;
    }
    AO_MUTE_S mute{};
    ret = Request(Index(AoDevId, 0), MK_AO_IOC_GET_MUTE, &mute);
    if (ret != MK_SUCCESS) {
        MK_TRACE("Ao%d Get Mute error\n", AoDevId);
        return ret;
    }
    if (pbEnable != nullptr) *pbEnable = mute.bEnable;
    if (pstFade != nullptr) *pstFade = mute.stFade;
    return MK_SUCCESS;
}

MK_S32 MK_MPI_AO_SetClkDir(AUDIO_DEV AoDevId, MK_U32 enClkDir) {
    MK_S32 ret = CheckDevAndOpen(MK_TRACE_SITE, AoDevId);
    if (ret != MK_SUCCESS) return ret;
    if (enClkDir > 1) {
        MK_TRACE("illegal param: enClkDir(%d)!\n", enClkDir);
        return MK_ERR_AO_ILLEGAL_PARAM;
    }
    return Request(Index(AoDevId, 0), MK_AO_IOC_SET_CLKDIR, &enClkDir);
}

MK_S32 MK_MPI_AO_EnableChn(AUDIO_DEV AoDevId, AO_CHN AoChn) {
    MK_S32 ret = CheckAndOpen(MK_TRACE_SITE, AoDevId, AoChn);
    if (ret != MK_SUCCESS) return ret;
    const MK_S32 index = Index(AoDevId, AoChn);
    ChnCtx& c = Module().ctx[index];
    std::lock_guard<std::mutex> lock(c.lock);
    if (c.bEnabled) return MK_SUCCESS;
    char name[32];
    std::snprintf(name, sizeof(name), "AO(%d,%d) CirBuf", AoDevId, AoChn);
    MK_U32 phys = 0;
    MK_VOID* vir = nullptr;
    if (MPI_AUDIO_MmzAlloc(name, &phys, &vir, 2 * kRingBytes) != MK_SUCCESS) {
        MK_TRACE("alloc mmb fail, len:%d\n", 2 * kRingBytes);
        return MK_ERR_AO_NOMEM;
    }
    c.stCirBuf[0] = AO_CIRBUF_S{phys, static_cast<MK_U8*>(vir), kRingBytes, 0, 0, 0};
    c.stCirBuf[1] = AO_CIRBUF_S{phys + kRingBytes, static_cast<MK_U8*>(vir) + kRingBytes, kRingBytes, 0, 0, 0};
    // Every buffer is taken before the driver enables the channel, so a refusal leaves nothing behind.
    for (MK_U8*& s : c.staging) {
        s = static_cast<MK_U8*>(std::malloc(kStagingBytes));
        if (s == nullptr) {
            MK_TRACE("malloc err when enable ao chn!\n");
            FreeBuffersLocked(c);
            return MK_ERR_AO_NOMEM;
        }
    }
    ret = Request(index, MK_AO_IOC_ENABLE_CHN, nullptr);
    if (ret != MK_SUCCESS) {
        FreeBuffersLocked(c);
        return ret;
    }
    c.bEnabled = 1;
    return MK_SUCCESS;
}

MK_S32 MK_MPI_AO_DisableChn(AUDIO_DEV AoDevId, AO_CHN AoChn) {
    MK_S32 ret = CheckAndOpen(MK_TRACE_SITE, AoDevId, AoChn);
    if (ret != MK_SUCCESS) return ret;
    const MK_S32 index = Index(AoDevId, AoChn);
    ChnCtx& c = Module().ctx[index];
    std::lock_guard<std::mutex> lock(c.lock);
    if (!c.bEnabled) return MK_SUCCESS;
    ret = DisableReSmpLocked(AoDevId, AoChn);
    if (ret != MK_SUCCESS) return ret;
    AO_RESMP_DBG_S off{};
    Request(index, MK_AO_IOC_RESMP_DBG, &off);
    if (c.hVqe != nullptr) MK_DNVQE_Destroy(c.hVqe);
    c.hVqe = nullptr;
    // With the instance gone no processing flag may stay set, or a later send would use none.
    c.bVqeConfigured = c.bVqeEnabled = c.bMbcEnabled = 0;
    c.bHpfOpen = c.bAnrOpen = c.bAgcOpen = c.bEqOpen = 0;
    SendVqeDbgLocked(index, nullptr);
    FreeBuffersLocked(c);
    ret = Request(index, MK_AO_IOC_DISABLE_CHN, nullptr);
    // The buffers are gone whatever the driver answered: the channel is disabled here either way.
    CloseDumpLocked(c);
    c.bEnabled = 0;
    return ret;
}

MK_S32 MK_MPI_AO_ClearChnBuf(AUDIO_DEV AoDevId, AO_CHN AoChn) {
    MK_S32 ret = CheckAndOpen(MK_TRACE_SITE, AoDevId, AoChn);
    if (ret != MK_SUCCESS) return ret;
    const MK_S32 index = Index(AoDevId, AoChn);
    ChnCtx& c = Module().ctx[index];
    std::lock_guard<std::mutex> lock(c.lock);
    for (AO_CIRBUF_S& r : c.stCirBuf) r.u32Read = r.u32Write = r.bWriteJump = 0;
    if (c.bVqeEnabled || c.bResmpEnabled) {
        DNVQE_CONFIG_S cfg;
        if (GetConfigLocked(AoDevId, AoChn, &cfg) != MK_SUCCESS) {
            MK_TRACE("AoDev: %d get vqe attr failed!\n", AoDevId);
            return MK_ERR_AO_NOT_CONFIG;
        }
        ret = RebuildLocked(c, cfg);  // a fresh instance has empty caches
        if (ret != MK_SUCCESS) {
            MK_TRACE("Ao dev: %d, ao chn:%d, create vqe fail.\n", AoDevId, AoChn);
            return ret;
        }
    }
    return Request(index, MK_AO_IOC_CLEAR_CHN_BUF, nullptr);
}

MK_S32 MK_MPI_AO_QueryChnStat(AUDIO_DEV AoDevId, AO_CHN AoChn, AO_CHN_STATE_S* pstStatus) {
    MK_S32 ret = CheckAndOpen(MK_TRACE_SITE, AoDevId, AoChn);
    if (ret != MK_SUCCESS) return ret;
    if (pstStatus == nullptr) {
        MK_TRACE("the AO_CHN_STATE_S pointer for AoDev%d is NULL!\n", AoDevId);
        return MK_ERR_AO_NULL_PTR;
    }
    return Request(Index(AoDevId, AoChn), MK_AO_IOC_QUERY_CHN_STAT, pstStatus);
}

MK_S32 MK_MPI_AO_SaveFile(AUDIO_DEV AoDevId, AO_CHN AoChn, const AUDIO_DUMPFILE_CFG_S* pstSaveFileInfo) {
    MK_S32 ret = CheckAndOpen(MK_TRACE_SITE, AoDevId, AoChn);
    if (ret != MK_SUCCESS) return ret;
    if (pstSaveFileInfo == nullptr) return MK_ERR_AO_NULL_PTR;
    ChnCtx& c = Module().ctx[Index(AoDevId, AoChn)];
    std::lock_guard<std::mutex> lock(c.lock);
    return Request(Index(AoDevId, AoChn), MK_AO_IOC_SET_DUMP, const_cast<AUDIO_DUMPFILE_CFG_S*>(pstSaveFileInfo));
}

MK_S32 MK_MPI_AO_QueryFileStatus(AUDIO_DEV AoDevId, AO_CHN AoChn, MK_U32* pu32Saving) {
    MK_S32 ret = CheckAndOpen(MK_TRACE_SITE, AoDevId, AoChn);
    if (ret != MK_SUCCESS) return ret;
    if (pu32Saving == nullptr) return MK_ERR_AO_NULL_PTR;
    ChnCtx& c = Module().ctx[Index(AoDevId, AoChn)];
    std::lock_guard<std::mutex> lock(c.lock);
    AUDIO_DUMPFILE_CFG_S cfg{};
    ret = Request(Index(AoDevId, AoChn), MK_AO_IOC_GET_DUMP, &cfg);
    if (ret == MK_SUCCESS) *pu32Saving = cfg.bCfg;
    return ret;
}

namespace {

bool InRateOk(MK_U32 rate) {
    static const MK_U32 kRates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};
    for (MK_U32 r : kRates) {
        if (r == rate) return true;
    }
    return false;
}

// The checks before resampling may start; the device attribute in *attr.
MK_S32 CheckReSmp(MK_S32 devId, MK_S32 chn, MK_U32 inRate, AIO_ATTR_S* attr) {
    if (!InRateOk(inRate)) {
        MK_TRACE("AoChn %d resample in rate:%d is illegal!\n", chn, inRate);
        return MK_ERR_AO_ILLEGAL_PARAM;
    }
    if (DevAttr(devId, attr) != MK_SUCCESS) {
        MK_TRACE("can't get aodev%d's attribute!\n", devId);
        return MK_ERR_AO_NOT_CONFIG;
    }
    if (attr->enSampleRate == inRate) {
        MK_TRACE("resample out rate is the same as resample in rate, it's not allowed!\n");
        return MK_ERR_AO_NOT_PERM;
    }
    if (attr->enSoundmode != AUDIO_SOUND_MODE_MONO) {
        MK_TRACE("resample don't support stereo!\n");
        return MK_ERR_AO_ILLEGAL_PARAM;
    }
    if (static_cast<MK_U32>(chn) >= attr->u32ChnCount) {
        MK_TRACE("enable resample fail,Aodev%d don't have chn%d\n", devId, chn);
        return MK_ERR_AO_INVALID_CHNID;
    }
    if (attr->enSampleRate == AUDIO_SAMPLE_RATE_64000 || attr->enSampleRate == AUDIO_SAMPLE_RATE_96000) {
        MK_TRACE("Resmp is not permit when Ao samplerate is %d!\n", attr->enSampleRate);
        return MK_ERR_AO_NOT_PERM;
    }
    // The engines work on 16-bit samples only.
    if (attr->enBitwidth != AUDIO_BIT_WIDTH_16) {
        MK_TRACE("resample needs 16-bit samples, AoDev%d has width code %d!\n", devId, attr->enBitwidth);
        return MK_ERR_AO_ILLEGAL_PARAM;
    }
    return MK_SUCCESS;
}

}  // namespace

MK_S32 MK_MPI_AO_EnableReSmp(AUDIO_DEV AoDevId, AO_CHN AoChn, MK_U32 u32InRate) {
    MK_S32 ret = CheckAndOpen(MK_TRACE_SITE, AoDevId, AoChn);
    if (ret != MK_SUCCESS) return ret;
    const MK_S32 index = Index(AoDevId, AoChn);
    ChnCtx& c = Module().ctx[index];
    std::lock_guard<std::mutex> lock(c.lock);
    if (!c.bEnabled) {
        MK_TRACE("AO chn %d is not enable\n", AoChn);
        return MK_ERR_AO_NOT_ENABLED;
    }
    if (c.bResmpEnabled) {
        if (c.stResmp.enInSampleRate == u32InRate) return MK_SUCCESS;
        MK_TRACE("Resmp has been enable but the resamplerate:%d not the same as before:%d.\n", u32InRate,
                 c.stResmp.enInSampleRate);
        return MK_ERR_AO_NOT_PERM;
    }
    AIO_ATTR_S attr;
    ret = CheckReSmp(AoDevId, AoChn, u32InRate, &attr);
    if (ret != MK_SUCCESS) return ret;
    DNVQE_CONFIG_S cfg{};
    if (c.bVqeConfigured || c.bMbcEnabled) {
        if (GetConfigLocked(AoDevId, AoChn, &cfg) != MK_SUCCESS) {
            MK_TRACE("AoDev: %d get vqe attr failed!\n", AoDevId);
            return MK_ERR_AO_NOT_CONFIG;
        }
    } else {
        cfg.s32WorkSampleRate = static_cast<MK_S32>(attr.enSampleRate);
        cfg.s32FrameSample = 80;
    }
    cfg.s32InSampleRate = static_cast<MK_S32>(u32InRate);
    cfg.s32OutSampleRate = static_cast<MK_S32>(attr.enSampleRate);
    if (RebuildLocked(c, cfg) != MK_SUCCESS) {
        MK_TRACE("Ao dev: %d, ao chn:%d, create resampler fail.\n", AoDevId, AoChn);
        return MK_ERR_AO_VQE_ERR;
    }
    c.bResmpEnabled = 1;
    c.stResmp = AUDIO_RESAMPLE_ATTR_S{attr.u32PtNumPerFrm, static_cast<AUDIO_SAMPLE_RATE_E>(u32InRate),
                                      attr.enSampleRate};
    AO_RESMP_DBG_S dbg{MK_TRUE, attr.u32PtNumPerFrm, u32InRate, attr.enSampleRate};
    Request(index, MK_AO_IOC_RESMP_DBG, &dbg);
    return MK_SUCCESS;
}

MK_S32 MK_MPI_AO_DisableReSmp(AUDIO_DEV AoDevId, AO_CHN AoChn) {
    MK_S32 ret = CheckAndOpen(MK_TRACE_SITE, AoDevId, AoChn);
    if (ret != MK_SUCCESS) return ret;
    const MK_S32 index = Index(AoDevId, AoChn);
    ChnCtx& c = Module().ctx[index];
    std::lock_guard<std::mutex> lock(c.lock);
    ret = DisableReSmpLocked(AoDevId, AoChn);
    if (ret != MK_SUCCESS) return ret;
    AO_RESMP_DBG_S off{};
    Request(index, MK_AO_IOC_RESMP_DBG, &off);
    return MK_SUCCESS;
}

MK_S32 MPI_AO_GetVqeAttr(AUDIO_DEV AoDevId, AO_CHN AoChn, DNVQE_CONFIG_S* pstConfig) {
    MK_S32 ret = CheckAndOpen(MK_TRACE_SITE, AoDevId, AoChn);
    if (ret != MK_SUCCESS) return ret;
    if (pstConfig == nullptr) return MK_ERR_AO_NULL_PTR;
    ChnCtx& c = Module().ctx[Index(AoDevId, AoChn)];
    std::lock_guard<std::mutex> lock(c.lock);
    return GetConfigLocked(AoDevId, AoChn, pstConfig);
}

MK_S32 MPI_AO_SetResmpDbgInfo(AUDIO_DEV AoDevId, AO_CHN AoChn, const AO_RESMP_DBG_S* pstInfo) {
    MK_S32 ret = CheckAndOpen(MK_TRACE_SITE, AoDevId, AoChn);
    if (ret != MK_SUCCESS) return ret;
    if (pstInfo == nullptr) return MK_ERR_AO_NULL_PTR;
    return Request(Index(AoDevId, AoChn), MK_AO_IOC_RESMP_DBG, const_cast<AO_RESMP_DBG_S*>(pstInfo));
}

MK_S32 MPI_AO_SetVqeDbgInfo(AUDIO_DEV AoDevId, AO_CHN AoChn, const AO_VQE_DBG_S* pstInfo) {
    MK_S32 ret = CheckAndOpen(MK_TRACE_SITE, AoDevId, AoChn);
    if (ret != MK_SUCCESS) return ret;
    if (pstInfo == nullptr) return MK_ERR_AO_NULL_PTR;
    return Request(Index(AoDevId, AoChn), MK_AO_IOC_VQE_DBG, const_cast<AO_VQE_DBG_S*>(pstInfo));
}
