// Audio output: the playback voice-quality attribute and the multi-band compressor of a channel.
#include <cstring>

#include "sdk/audio/ao/internal/ao_state.h"
#include "sdk/audio/ao/mpi_ao.h"

namespace mk::ao {
namespace {


MK_S32 CheckVqe(MK_S32 chn, const AO_VQE_ATTR_S& a) {
    if (a.s32FrameSample < 80 || a.s32FrameSample > 4096) {
        MK_TRACE("frame length: %d is invalid, ao chn:%d.\n", a.s32FrameSample, chn);
        return MK_ERR_AO_ILLEGAL_PARAM;
    }
    if (a.enWorkstate > 2) {
        MK_TRACE("work mode: %d is invalid, ao chn:%d.\n", a.enWorkstate, chn);
        return MK_ERR_AO_ILLEGAL_PARAM;
    }
    if (a.s32WorkSampleRate == 48000) {
        if (a.bAgcOpen || a.bAnrOpen || a.bEqOpen) {
            MK_TRACE(" work sample rate: %d is valid only for hpf, ao chn:%d.\n", a.s32WorkSampleRate, chn);
            return MK_ERR_AO_ILLEGAL_PARAM;
        }
    } else if (a.s32WorkSampleRate != 8000 && a.s32WorkSampleRate != 16000) {
        MK_TRACE("work sample rate: %d is invalid, ao chn:%d.\n", a.s32WorkSampleRate, chn);
        return MK_ERR_AO_ILLEGAL_PARAM;
    }
    if (a.bAgcOpen > 1 || a.bAnrOpen > 1 || a.bHpfOpen > 1 || a.bEqOpen > 1) {
        MK_TRACE("flag of agc: %d, anr: %d, hpf: %d  eq: %d is invalid, ao chn:%d\n", a.bAgcOpen, a.bAnrOpen,
                 a.bHpfOpen, a.bEqOpen, chn);
        return MK_ERR_AO_ILLEGAL_PARAM;
    }
    if (!a.bAgcOpen && !a.bAnrOpen && !a.bHpfOpen && !a.bEqOpen) {
        MK_TRACE("all flag of agc: %d, anr: %d, hpf: %d, eq: %d is false, ao chn:%d\n", a.bAgcOpen, a.bAnrOpen,
                 a.bHpfOpen, a.bEqOpen, chn);
        return MK_ERR_AO_NOT_PERM;
    }
    if (a.bEqOpen && !a.bAgcOpen) {
        MK_TRACE(" eq cannot be open when agc close, , ao chn:%d\n", chn);
        return MK_ERR_AO_NOT_PERM;
    }
    return MK_SUCCESS;
}

MK_S32 CheckUsrMode(MK_U32 mode) {
    if (mode > 1) {
        MK_TRACE("bUsrMode: %d error!\n", mode);
        return MK_ERR_AO_ILLEGAL_PARAM;
    }
    return MK_SUCCESS;
}

bool Within(int v, int lo, int hi) { return v >= lo && v <= hi; }

MK_S32 CheckAgc(MK_S32 devId, MK_S32 chn, const VQE_AGC_CONFIG_S& g) {
    if (CheckUsrMode(g.bUsrMode) != MK_SUCCESS) return MK_ERR_AO_ILLEGAL_PARAM;
    if (g.bUsrMode == 0) return MK_SUCCESS;
    if (Within(g.s16NoiseSupSwitch, 0, 1) && Within(g.s8ImproveSNR, 0, 2) && Within(g.s8AdjustSpeed, 0, 10) &&
        Within(g.s8MaxGain, 0, 30) && Within(g.s8NoiseFloor, -65, -20) && Within(g.s8OutputMode, 0, 1) &&
        Within(g.s8TargetLevel, -40, -1) && Within(g.s8UseHighPassFilt, 0, 5)) {
        return MK_SUCCESS;
    }
    MK_TRACE("Ao dev: %d, ao chn:%d, enable agc failed because of wrong param!\n", devId, chn);
    MK_TRACE("s16NoiseSupSwitch: %d [0,1]\n", g.s16NoiseSupSwitch);
    MK_TRACE("s8ImproveSNR: %d [0,2]\n", g.s8ImproveSNR);
    MK_TRACE("s8AdjustSpeed: %d [0,10]\n", g.s8AdjustSpeed);
    MK_TRACE("s8MaxGain: %d[0,30]\n", g.s8MaxGain);
    MK_TRACE("s8NoiseFloor: %d[-65,-20]\n", g.s8NoiseFloor);
    MK_TRACE("s8OutputMode: %d [0,1]\n", g.s8OutputMode);
    MK_TRACE("s8TargetLevel: %d [-40,-1]\n", g.s8TargetLevel);
    MK_TRACE("s8UseHighPassFilt: %d [0,5]\n", g.s8UseHighPassFilt);
    return MK_ERR_AO_ILLEGAL_PARAM;
}

MK_S32 CheckHpf(MK_S32 chn, const VQE_HPF_CONFIG_S& h) {
    if (CheckUsrMode(h.bUsrMode) != MK_SUCCESS) return MK_ERR_AO_ILLEGAL_PARAM;
    if (h.bUsrMode == 1 && h.enHpfFreq != 80 && h.enHpfFreq != 120 && h.enHpfFreq != 150) {
        MK_TRACE("hpf freq: %d is invalid, ai chn:%d.\n", h.enHpfFreq, chn);
        return MK_ERR_AO_ILLEGAL_PARAM;
    }
    return MK_SUCCESS;
}

MK_S32 CheckAnr(MK_S32 chn, const VQE_ANR_CONFIG_S& n) {
    if (CheckUsrMode(n.bUsrMode) != MK_SUCCESS) return MK_ERR_AO_ILLEGAL_PARAM;
    if (n.bUsrMode == 0) return MK_SUCCESS;
    if (!Within(n.s16NrIntensity, 0, 25)) {
        MK_TRACE("Anr NrIntensity: %d is invalid, ao chn:%d.\n", n.s16NrIntensity, chn);
        return MK_ERR_AO_ILLEGAL_PARAM;
    }
    if (!Within(n.s16NoiseDbThr, 30, 60)) {
        MK_TRACE("Anr NoiseDbThr: %d is invalid, ao chn:%d.\n", n.s16NoiseDbThr, chn);
        return MK_ERR_AO_ILLEGAL_PARAM;
    }
    if (!Within(n.s8SpProSwitch, 0, 1)) {
        MK_TRACE("Anr SpProSwitch: %d is invalid, ao chn:%d.\n", n.s8SpProSwitch, chn);
        return MK_ERR_AO_ILLEGAL_PARAM;
    }
    return MK_SUCCESS;
}

MK_S32 CheckEq(MK_S32 chn, const VQE_EQ_CONFIG_S& e) {
    for (int i = 0; i < VQE_EQ_BAND_NUM; ++i) {
        if (!Within(e.s8GaindB[i], -100, 20)) {
            MK_TRACE("eq s8GaindB[%d]: %d[-100,20] is invalid, ao chn:%d.\n", i, e.s8GaindB[i], chn);
            return MK_ERR_AO_ILLEGAL_PARAM;
        }
    }
    return MK_SUCCESS;
}

// The module checks, each with its closing line.
MK_S32 CheckModules(MK_S32 devId, MK_S32 chn, const AO_VQE_ATTR_S& a) {
    if (a.bAgcOpen && CheckAgc(devId, chn, a.stAgcCfg) != MK_SUCCESS) {
        MK_TRACE("AO chn %d check vqe agc parameter failed!\n", chn);
        return MK_ERR_AO_ILLEGAL_PARAM;
    }
    if (a.bHpfOpen && CheckHpf(chn, a.stHpfCfg) != MK_SUCCESS) {
        MK_TRACE("AO chn %d check vqe hpf parameter failed!\n", chn);
        return MK_ERR_AO_ILLEGAL_PARAM;
    }
    if (a.bAnrOpen && CheckAnr(chn, a.stAnrCfg) != MK_SUCCESS) {
        MK_TRACE("AO chn %d check vqe anr parameter failed!\n", chn);
        return MK_ERR_AO_ILLEGAL_PARAM;
    }
    if (a.bEqOpen && CheckEq(chn, a.stEqCfg) != MK_SUCCESS) {
        MK_TRACE("AO chn %d check vqe eq parameter failed!\n", chn);
        return MK_ERR_AO_ILLEGAL_PARAM;
    }
    return MK_SUCCESS;
}

template <typename T>
bool Same(const T& a, const T& b) {
    return std::memcmp(&a, &b, sizeof(T)) == 0;
}

// A module's block counts as equal when both use the defaults, or both give the same parameters.
template <typename T>
bool SameBlock(const T& a, const T& b) {
    return a.bUsrMode == b.bUsrMode && (a.bUsrMode == 0 || Same(a, b));
}

bool SameAttr(const ChnCtx& c, const DNVQE_CONFIG_S& cur, const AO_VQE_ATTR_S& a) {
    return cur.s32WorkSampleRate == a.s32WorkSampleRate && cur.s32FrameSample == a.s32FrameSample &&
           cur.enWorkstate == a.enWorkstate && c.bHpfOpen == a.bHpfOpen && c.bAnrOpen == a.bAnrOpen &&
           c.bAgcOpen == a.bAgcOpen && c.bEqOpen == a.bEqOpen &&
           (!a.bHpfOpen || SameBlock(cur.stHpfCfg, a.stHpfCfg)) && (!a.bAnrOpen || SameBlock(cur.stAnrCfg, a.stAnrCfg)) &&
           (!a.bAgcOpen || SameBlock(cur.stAgcCfg, a.stAgcCfg)) && (!a.bEqOpen || Same(cur.stEqCfg, a.stEqCfg));
}

// Stereo devices, 64 and 96 kHz devices and samples other than 16-bit cannot be processed.
MK_S32 CheckDeviceForProcessing(MK_S32 devId, MK_S32 chn, const AIO_ATTR_S& attr, const char* what) {
    if (attr.enSoundmode != AUDIO_SOUND_MODE_MONO) {
        MK_TRACE("%s don't support stereo!\n", what);
        return MK_ERR_AO_ILLEGAL_PARAM;
    }
    if (static_cast<MK_U32>(chn) >= attr.u32ChnCount) {
        MK_TRACE("enable %s fail, Aodev%d don't have chn%d\n", what, devId, chn);
        return MK_ERR_AO_INVALID_CHNID;
    }
    if (attr.enSampleRate == AUDIO_SAMPLE_RATE_64000 || attr.enSampleRate == AUDIO_SAMPLE_RATE_96000) {
        MK_TRACE("%s is not permit when Ao samplerate is %d!\n", what, attr.enSampleRate);
        return MK_ERR_AO_NOT_PERM;
    }
    if (attr.enBitwidth != AUDIO_BIT_WIDTH_16) {
        MK_TRACE("%s needs 16-bit samples, AoDev%d has width code %d!\n", what, devId, attr.enBitwidth);
        return MK_ERR_AO_ILLEGAL_PARAM;
    }
    return MK_SUCCESS;
}

}  // namespace
}  // namespace mk::ao

using namespace mk::ao;

MK_S32 MK_MPI_AO_SetVqeAttr(AUDIO_DEV AoDevId, AO_CHN AoChn, const AO_VQE_ATTR_S* pstVqeConfig) {
    MK_S32 ret = CheckAndOpen(MK_TRACE_SITE, AoDevId, AoChn);
    if (ret != MK_SUCCESS) return ret;
    if (pstVqeConfig == nullptr) return MK_ERR_AO_NULL_PTR;
    const AO_VQE_ATTR_S& a = *pstVqeConfig;
    ChnCtx& c = Module().ctx[Index(AoDevId, AoChn)];
    std::lock_guard<std::mutex> lock(c.lock);
    if (!c.bEnabled) return MK_ERR_AO_NOT_ENABLED;
    if (c.bVqeEnabled) {
        MK_TRACE("AO chn %d has enable vqe! Please disable vqe then config it!\n", AoChn);
        return MK_ERR_AO_NOT_PERM;
    }
    ret = CheckVqe(AoChn, a);
    if (ret != MK_SUCCESS) {
        MK_TRACE("AO chn %d check vqe parameter failed!\n", AoChn);
        return ret;
    }
    DNVQE_CONFIG_S cfg{};
    if (!c.bVqeConfigured && !c.bResmpEnabled && c.hVqe == nullptr) {
        AIO_ATTR_S attr;
        if (DevAttr(AoDevId, &attr) != MK_SUCCESS) {
            MK_TRACE("AiDev: %d haven't set attr!\n", AoDevId);
            return MK_ERR_AO_NOT_CONFIG;
        }
        if (attr.enSampleRate == AUDIO_SAMPLE_RATE_64000 || attr.enSampleRate == AUDIO_SAMPLE_RATE_96000) {
            MK_TRACE("vqe is not permit when Ao samplerate is %d!\n", attr.enSampleRate);
            return MK_ERR_AO_NOT_PERM;
        }
        cfg.s32InSampleRate = cfg.s32OutSampleRate = static_cast<MK_S32>(attr.enSampleRate);
    } else {
        DNVQE_CONFIG_S cur;
        if (GetConfigLocked(AoDevId, AoChn, &cur) != MK_SUCCESS) {
            MK_TRACE("AoDev: %d get vqe attr failed!\n", AoDevId);
            return MK_ERR_AO_NOT_CONFIG;
        }
        if (c.bVqeConfigured && SameAttr(c, cur, a)) return MK_SUCCESS;
        cfg.s32InSampleRate = cur.s32InSampleRate;
        cfg.s32OutSampleRate = cur.s32OutSampleRate;
        // The compressor stays open with its own block.
        cfg.bMbcOpen = cur.bMbcOpen;
        cfg.stMbcCfg = cur.stMbcCfg;
    }
    ret = CheckModules(AoDevId, AoChn, a);
    if (ret != MK_SUCCESS) return ret;
    cfg.bMbcOpen = c.bMbcEnabled ? cfg.bMbcOpen : 0;
    cfg.s32WorkSampleRate = a.s32WorkSampleRate;
    cfg.s32FrameSample = a.s32FrameSample;
    cfg.enWorkstate = a.enWorkstate;
    cfg.stHpfCfg = a.stHpfCfg;
    cfg.stAnrCfg = a.stAnrCfg;
    cfg.stAgcCfg = a.stAgcCfg;
    cfg.stEqCfg = a.stEqCfg;
    if (RebuildLocked(c, cfg) != MK_SUCCESS) {
        MK_TRACE("Ao dev: %d, ao chn:%d, create vqe fail.\n", AoDevId, AoChn);
        return MK_ERR_AO_VQE_ERR;
    }
    c.bHpfOpen = a.bHpfOpen;
    c.bAnrOpen = a.bAnrOpen;
    c.bAgcOpen = a.bAgcOpen;
    c.bEqOpen = a.bEqOpen;
    c.bVqeConfigured = 1;
    return MK_SUCCESS;
}

MK_S32 MK_MPI_AO_GetVqeAttr(AUDIO_DEV AoDevId, AO_CHN AoChn, AO_VQE_ATTR_S* pstVqeConfig) {
    MK_S32 ret = CheckAndOpen(MK_TRACE_SITE, AoDevId, AoChn);
    if (ret != MK_SUCCESS) return ret;
    if (pstVqeConfig == nullptr) return MK_ERR_AO_NULL_PTR;
    ChnCtx& c = Module().ctx[Index(AoDevId, AoChn)];
    std::lock_guard<std::mutex> lock(c.lock);
    DNVQE_CONFIG_S cfg;
    ret = GetConfigLocked(AoDevId, AoChn, &cfg);
    if (ret != MK_SUCCESS) return ret;
    AO_VQE_ATTR_S& a = *pstVqeConfig;
    a.bHpfOpen = c.bHpfOpen;
    a.bAnrOpen = c.bAnrOpen;
    a.bAgcOpen = c.bAgcOpen;
    a.bEqOpen = c.bEqOpen;
    a.s32WorkSampleRate = cfg.s32WorkSampleRate;
    a.s32FrameSample = cfg.s32FrameSample;
    a.enWorkstate = cfg.enWorkstate;
    a.stHpfCfg = cfg.stHpfCfg;
    a.stAnrCfg = cfg.stAnrCfg;
    a.stAgcCfg = cfg.stAgcCfg;
    a.stEqCfg = cfg.stEqCfg;
    return MK_SUCCESS;
}

MK_S32 MK_MPI_AO_EnableVqe(AUDIO_DEV AoDevId, AO_CHN AoChn) {
    MK_S32 ret = CheckAndOpen(MK_TRACE_SITE, AoDevId, AoChn);
    if (ret != MK_SUCCESS) return ret;
    const MK_S32 index = Index(AoDevId, AoChn);
    ChnCtx& c = Module().ctx[index];
    std::lock_guard<std::mutex> lock(c.lock);
    if (!c.bEnabled) return MK_ERR_AO_NOT_ENABLED;
    if (c.bVqeEnabled) return MK_SUCCESS;
    if (!c.bVqeConfigured) {
        MK_TRACE("AO chn %d is not config vqe attr!\n", AoChn);
        return MK_ERR_AO_NOT_CONFIG;
    }
    AIO_ATTR_S attr;
    if (DevAttr(AoDevId, &attr) != MK_SUCCESS) {
        MK_TRACE("AoDev: %d haven't set attr!\n", AoDevId);
        return MK_ERR_AO_NOT_CONFIG;
    }
    ret = CheckDeviceForProcessing(AoDevId, AoChn, attr, "vqe");
    if (ret != MK_SUCCESS) return ret;
    DNVQE_CONFIG_S cfg;
    if (GetConfigLocked(AoDevId, AoChn, &cfg) != MK_SUCCESS) {
        MK_TRACE("AoDev: %d get vqe attr failed!\n", AoDevId);
        return MK_ERR_AO_NOT_CONFIG;
    }
    if (cfg.s32OutSampleRate != static_cast<MK_S32>(attr.enSampleRate)) {
        MK_TRACE("vqe's sample rate out:%d and device's sample rate:%d must be same!\n", cfg.s32OutSampleRate,
                 attr.enSampleRate);
        return MK_ERR_AO_ILLEGAL_PARAM;
    }
    cfg.bHpfOpen = c.bHpfOpen;
    cfg.bAnrOpen = c.bAnrOpen;
    cfg.bAgcOpen = c.bAgcOpen;
    cfg.bEqOpen = c.bEqOpen;
    if (RebuildLocked(c, cfg) != MK_SUCCESS) {
        MK_TRACE("Ao dev: %d, ao chn:%d, create vqe fail.\n", AoDevId, AoChn);
        return MK_ERR_AO_VQE_ERR;
    }
    c.bVqeEnabled = 1;
    SendVqeDbgLocked(index, &cfg);
    return MK_SUCCESS;
}

MK_S32 MK_MPI_AO_DisableVqe(AUDIO_DEV AoDevId, AO_CHN AoChn) {
    MK_S32 ret = CheckAndOpen(MK_TRACE_SITE, AoDevId, AoChn);
    if (ret != MK_SUCCESS) return ret;
    const MK_S32 index = Index(AoDevId, AoChn);
    ChnCtx& c = Module().ctx[index];
    std::lock_guard<std::mutex> lock(c.lock);
    if (!c.bVqeEnabled) return MK_SUCCESS;
    DNVQE_CONFIG_S cfg;
    if (GetConfigLocked(AoDevId, AoChn, &cfg) != MK_SUCCESS) {
        MK_TRACE("AoDev: %d get vqe attr failed!\n", AoDevId);
        return MK_ERR_AO_NOT_CONFIG;
    }
    cfg.bHpfOpen = cfg.bAnrOpen = cfg.bAgcOpen = cfg.bEqOpen = 0;
    if (RebuildLocked(c, cfg) != MK_SUCCESS) {
        MK_TRACE("Ao dev: %d, ao chn:%d, create vqe fail.\n", AoDevId, AoChn);
        return MK_ERR_AO_VQE_ERR;
    }
    c.bVqeEnabled = 0;
    SendVqeDbgLocked(index, nullptr);
    return MK_SUCCESS;
}

MK_S32 MK_MPI_AO_EnableMBC(AUDIO_DEV AoDevId, AO_CHN AoChn, const AO_MBC_ATTR_S* pstMbcAttr) {
    MK_S32 ret = CheckAndOpen(MK_TRACE_SITE, AoDevId, AoChn);
    if (ret != MK_SUCCESS) return ret;
    if (pstMbcAttr == nullptr) return MK_ERR_AO_NULL_PTR;
    const AO_MBC_ATTR_S& m = *pstMbcAttr;
    ChnCtx& c = Module().ctx[Index(AoDevId, AoChn)];
    std::lock_guard<std::mutex> lock(c.lock);
    if (!c.bEnabled) return MK_ERR_AO_NOT_ENABLED;
    if (c.bMbcEnabled) return MK_SUCCESS;
    const char* what = nullptr;
    if (m.bEnable != 1) {
        MK_TRACE("AO chn %d MBC is not enable\n", AoChn);
        what = "enable";
    } else if (m.u32SampleRate != 8000 && m.u32SampleRate != 16000) {
        MK_TRACE("MBC SampleRate: %d is invalid, ao chn:%d.\n", m.u32SampleRate, AoChn);
        what = "rate";
    } else if (m.u32FrameLen < 81 || m.u32FrameLen > 4096) {
        MK_TRACE("frame length: %d is invalid, ao chn:%d.\n", m.u32FrameLen, AoChn);
        what = "frame";
    } else if (m.u32WorkMode > 3) {
        MK_TRACE("work mode: %d is invalid, ao chn:%d.\n", m.u32WorkMode, AoChn);
        what = "mode";
    } else if (m.stMbcParam.u32Channel > 1) {
        MK_TRACE("Channel: %d is invalid, ao chn:%d.\n", m.stMbcParam.u32Channel, AoChn);
        what = "channel";
    } else if (m.stMbcParam.u32BandNum < 1 || m.stMbcParam.u32BandNum > 5) {
        MK_TRACE("Band Num: %d is invalid, ao chn:%d.\n", m.stMbcParam.u32BandNum, AoChn);
        what = "bands";
    }
    if (what != nullptr) {
        MK_TRACE("Ao chn %d check dvqe parameter failed!\n", AoChn);
        return MK_ERR_AO_ILLEGAL_PARAM;
    }
    AIO_ATTR_S attr;
    if (DevAttr(AoDevId, &attr) != MK_SUCCESS) {
        MK_TRACE("AoDev: %d get pub attr failed!\n", AoDevId);
        return MK_ERR_AO_NOT_CONFIG;
    }
    ret = CheckDeviceForProcessing(AoDevId, AoChn, attr, "mbc");
    if (ret != MK_SUCCESS) return ret;
    DNVQE_CONFIG_S cfg{};
    if (c.bVqeConfigured || c.bResmpEnabled) {
        if (GetConfigLocked(AoDevId, AoChn, &cfg) != MK_SUCCESS) {
            MK_TRACE("AoDev: %d get vqe attr failed!\n", AoDevId);
            return MK_ERR_AO_NOT_CONFIG;
        }
    } else {
        cfg.s32InSampleRate = cfg.s32OutSampleRate = static_cast<MK_S32>(attr.enSampleRate);
    }
    cfg.bMbcOpen = m.bEnable;
    cfg.s32WorkSampleRate = static_cast<MK_S32>(m.u32SampleRate);
    cfg.s32FrameSample = static_cast<MK_S32>(m.u32FrameLen);
    cfg.enWorkstate = m.u32WorkMode;
    cfg.stMbcCfg = m.stMbcParam;
    ret = RebuildLocked(c, cfg);
    if (ret != MK_SUCCESS) {
        MK_TRACE("Ao dev: %d, ao chn:%d, create dnvqe fail. s32Ret:0x%0x\n", AoDevId, AoChn, static_cast<unsigned>(ret));
        return MK_ERR_AO_VQE_ERR;
    }
    c.bMbcEnabled = 1;
    return MK_SUCCESS;
}

MK_S32 MK_MPI_AO_DisableMBC(AUDIO_DEV AoDevId, AO_CHN AoChn) {
    MK_S32 ret = CheckAndOpen(MK_TRACE_SITE, AoDevId, AoChn);
    if (ret != MK_SUCCESS) return ret;
    ChnCtx& c = Module().ctx[Index(AoDevId, AoChn)];
    std::lock_guard<std::mutex> lock(c.lock);
    if (c.bMbcEnabled && c.hVqe != nullptr) {
        DNVQE_CONFIG_S cfg;
        if (GetConfigLocked(AoDevId, AoChn, &cfg) != MK_SUCCESS) {
            MK_TRACE("AoDev: %d get vqe attr failed!\n", AoDevId);
            return MK_ERR_AO_NOT_CONFIG;
        }
        cfg.bMbcOpen = 0;
        ret = RebuildLocked(c, cfg);
        if (ret != MK_SUCCESS) {
            MK_TRACE("Ao dev: %d, ao chn:%d, create dvqe fail. s32Ret:0x%0x\n", AoDevId, AoChn, static_cast<unsigned>(ret));
            return MK_ERR_AO_VQE_ERR;
        }
    }
    c.bMbcEnabled = 0;
    return MK_SUCCESS;
}
