// Audio input voice quality: the attribute and its checks, processing on and off, the volume and the
// echo-reference frame.
#include <cstring>

#include "sdk/audio/ai/mpi_ai.h"
#include "sdk/audio/ai/mpi_ai_internal.h"
#include "sdk/audio/ao/ao_ioctl.h"
#include "sdk/audio/vqe/upvqe.h"

using namespace mk::ai;

namespace {

constexpr MK_S32 kParam = MK_ERR_AI_ILLEGAL_PARAM;

bool OutU8(MK_S8 v, unsigned max) {
    return static_cast<MK_U8>(v) > max;
}
bool OutU16(MK_S16 v, unsigned max) {
    return static_cast<MK_U16>(v) > max;
}
bool Out(int v, int lo, int hi) {
    return v < lo || v > hi;
}

// ---- General checks ----

MK_S32 AiCheckVqe(const AI_VQE_CONFIG_S& a, MK_S32 chn) {
    if (Out(a.s32FrameSample, 80, 4096)) {
        MK_TRACE("frame length: %d is invalid, ai chn:%d.\n", a.s32FrameSample, chn);
        return kParam;
    }
    if (a.enWorkstate > 2) {
        MK_TRACE("work mode: %d is invalid, ai chn:%d.\n", a.enWorkstate, chn);
        return kParam;
    }
    const MK_S32 rate = a.s32WorkSampleRate;
    if (rate != 8000 && rate != 16000 && rate != 48000) {
        MK_TRACE("work sample rate: %d is invalid, ai chn:%d.\n", rate, chn);
        return kParam;
    }
    if (rate == 48000 && (a.bAecOpen == 1 || a.bAgcOpen == 1 || a.bAnrOpen == 1 || a.bEqOpen == 1)) {
        MK_TRACE(" work sample rate: %d is valid only for rnr hpf , ai chn:%d.\n", rate, chn);
        return kParam;
    }
    const MK_U32 flags[] = {a.bAgcOpen, a.bAecOpen, a.bAnrOpen, a.bHpfOpen,
                            a.bRnrOpen, a.bEqOpen,  a.bHdrOpen};
    bool any = false;
    for (MK_U32 f : flags) {
        if (f > 1) {
            MK_TRACE(
                "flag of agc: %d, aec: %d, anr: %d, hpf: %d rnr: %d eq: %d hdr: %d is invalid, ai chn:%d\n",
                a.bAgcOpen, a.bAecOpen, a.bAnrOpen, a.bHpfOpen, a.bRnrOpen, a.bEqOpen, a.bHdrOpen, chn);
            return kParam;
        }
        any |= f == 1;
    }
    if (!any) {
        MK_TRACE("all flag of agc: %d, aec: %d, anr: %d, hpf: %d rnr: %d eq: %d hdr:%d is false, ai chn:%d\n",
                 a.bAgcOpen, a.bAecOpen, a.bAnrOpen, a.bHpfOpen, a.bRnrOpen, a.bEqOpen, a.bHdrOpen, chn);
        return MK_ERR_AI_NOT_PERM;
    }
    if (a.bRnrOpen && (a.bAnrOpen || a.bAgcOpen || a.bAecOpen || a.bEqOpen)) {
        MK_TRACE(
            " anr: %d (agc: %d, aec: %d, eq: %d), rnr: %d cannot both be true at the same time, ai chn:%d\n",
            a.bAnrOpen, a.bAgcOpen, a.bAecOpen, a.bEqOpen, a.bRnrOpen, chn);
        return MK_ERR_AI_NOT_PERM;
    }
    if (a.bEqOpen && !a.bAgcOpen) {
        MK_TRACE(" eq cannot be open when agc close, ai chn:%d\n", chn);
        return MK_ERR_AI_NOT_PERM;
    }
    return MK_SUCCESS;
}

// ---- Module checks: 0, or a failure after which the caller adds the module's closing line ----

// bUsrMode above 1 fails; 0 skips the parameters.
bool UsrModeChecked(MK_U32 mode, MK_S32* ret, const char* func) {
    if (mode > 1) {
        std::fprintf(stderr, "[Func]:%s [Line]:%d [Info]:bUsrMode: %d error!\n", func, __LINE__, mode);
        *ret = kParam;
        return true;
    }
    *ret = MK_SUCCESS;
    return mode == 0;
}

MK_S32 AiCheckAgc(const VQE_AGC_CONFIG_S& g, MK_S32 dev, MK_S32 chn) {
    MK_S32 ret;
    if (UsrModeChecked(g.bUsrMode, &ret, __func__)) return ret;
    const bool bad = OutU16(g.s16NoiseSupSwitch, 1) || OutU8(g.s8ImproveSNR, 2) ||
                     OutU8(g.s8AdjustSpeed, 10) || OutU8(g.s8MaxGain, 30) || Out(g.s8NoiseFloor, -65, -20) ||
                     OutU8(g.s8OutputMode, 1) || Out(g.s8TargetLevel, -40, -1) ||
                     OutU8(g.s8UseHighPassFilt, 5);
    if (!bad) return MK_SUCCESS;
    MK_TRACE("Ai dev: %d, ai chn:%d, enable agc failed because of wrong param!\n", dev, chn);
    MK_TRACE("s16NoiseSupSwitch: %d [0,1]\n", g.s16NoiseSupSwitch);
    MK_TRACE("s8ImproveSNR: %d [0,2]\n", g.s8ImproveSNR);
    MK_TRACE("s8AdjustSpeed: %d [0,10]\n", g.s8AdjustSpeed);
    MK_TRACE("s8MaxGain: %d[0,30]\n", g.s8MaxGain);
    MK_TRACE("s8NoiseFloor: %d[-65,-20]\n", g.s8NoiseFloor);
    MK_TRACE("s8OutputMode: %d [0,1]\n", g.s8OutputMode);
    MK_TRACE("s8TargetLevel: %d [-40,-1]\n", g.s8TargetLevel);
    MK_TRACE("s8UseHighPassFilt: %d [0,5]\n", g.s8UseHighPassFilt);
    return kParam;
}

// Band edges are 1 to 63 at 8 kHz, else 1 to 127, tested as (value - 1) in 16 unsigned bits.
MK_S32 AiCheckVqeAec(const VQE_AEC_CONFIG_S& e, MK_S32 rate, MK_S32 dev, MK_S32 chn) {
    MK_S32 ret;
    if (UsrModeChecked(e.bUsrMode, &ret, __func__)) return ret;
    if (OutU8(e.s8CngMode, 1) || e.s16DTHnlSortQTh < 0 || OutU8(e.s8NearAllPassEnergy, 2) ||
        OutU8(e.s8NearCleanSupEnergy, 2)) {
        MK_TRACE("Ai dev: %d, ai chn:%d, enable aec failed because of wrong param!\n", dev, chn);
        MK_TRACE("s8CngMode: %d [0,1]\n", e.s8CngMode);
        MK_TRACE("s16DTHnlSortQTh: %d [0,32767]\n", e.s16DTHnlSortQTh);
        MK_TRACE("s8NearAllPassEnergy: %d [0,2]\n", e.s8NearAllPassEnergy);
        MK_TRACE("s8NearCleanSupEnergy: %d [0,2]\n", e.s8NearCleanSupEnergy);
        return kParam;
    }
    for (int i = 0; i < 7; ++i) {
        if (OutU16(e.s16ERL[i], 18)) {
            MK_TRACE("Ai dev: %d, ai chn:%d, enable aec failed because of wrong param!\n", dev, chn);
            MK_TRACE("s16ERL[%d]: %d [0,18]\n", i, e.s16ERL[i]);
            return kParam;
        }
    }
    const unsigned top = rate == 8000 ? 63 : 127;
    auto edgeOut = [top](MK_S16 v) { return static_cast<MK_U16>(v - 1) >= top; };
    if (edgeOut(e.s16EchoBandHigh) || edgeOut(e.s16EchoBandLow) || edgeOut(e.s16EchoBandHigh2) ||
        edgeOut(e.s16EchoBandLow2) || edgeOut(e.s16VioceProtectFreqL1) || edgeOut(e.s16VioceProtectFreqL)) {
        MK_TRACE("Ai dev: %d, ai chn:%d, enable aec failed because of wrong param!\n", dev, chn);
        MK_TRACE("s16EchoBandHigh: %d [1,%u]\n", e.s16EchoBandHigh, top);
        MK_TRACE("s16EchoBandLow: %d [1,%u]\n", e.s16EchoBandLow, top);
        MK_TRACE("s16EchoBandHigh2: %d [1,%u]\n", e.s16EchoBandHigh2, top);
        MK_TRACE("s16EchoBandLow2: %d [1,%u]\n", e.s16EchoBandLow2, top);
        MK_TRACE("s16VioceProtectFreqL1: %d [1,%u]\n", e.s16VioceProtectFreqL1, top);
        MK_TRACE("s16VioceProtectFreqL: %d [1,%u]\n", e.s16VioceProtectFreqL, top);
        return kParam;
    }
    for (int i = 0; i < 6; ++i) {
        if (edgeOut(e.s16ERLBand[i])) {
            MK_TRACE("Ai dev: %d, ai chn:%d, enable aec failed because of wrong param!\n", dev, chn);
            MK_TRACE("s16ERLBand[%d]: %d [1,%u]\n", i, e.s16ERLBand[i], top);
            return kParam;
        }
    }
    for (int i = 1; i < 6; ++i) {
        if (e.s16ERLBand[i] < e.s16ERLBand[i - 1]) {
            MK_TRACE("Ai dev: %d, ai chn:%d, enable aec failed because of wrong param!\n", dev, chn);
            MK_TRACE("s16ERLBand[%d]: %d < s16ERLBand[%d]: %d\n", i, e.s16ERLBand[i], i - 1,
                     e.s16ERLBand[i - 1]);
            return kParam;
        }
    }
    struct Order {
        MK_S16 high, low;
        const char* text;
    } const orders[] = {
        {e.s16EchoBandHigh, e.s16EchoBandLow, "s16EchoBandHigh: %d <= s16EchoBandLow: %d\n"},
        {e.s16EchoBandHigh2, e.s16EchoBandLow2, "s16EchoBandHigh2: %d <= s16EchoBandLow2: %d\n"},
        {e.s16VioceProtectFreqL1, e.s16VioceProtectFreqL,
         "s16VioceProtectFreqL1: %d <= s16VioceProtectFreqL: %d\n"},
    };
    for (const Order& o : orders) {
        if (o.high <= o.low) {
            MK_TRACE("Ai dev: %d, ai chn:%d, enable aec failed because of wrong param!\n", dev, chn);
            std::fprintf(stderr, "[Func]:%s [Line]:%d [Info]:", __func__, __LINE__);
            std::fprintf(stderr, o.text, o.high, o.low);
            return kParam;
        }
    }
    return MK_SUCCESS;
}

MK_S32 AiCheckHpf(const VQE_HPF_CONFIG_S& h, MK_S32 chn) {
    MK_S32 ret;
    if (UsrModeChecked(h.bUsrMode, &ret, __func__)) return ret;
    if (h.enHpfFreq != 80 && h.enHpfFreq != 120 && h.enHpfFreq != 150) {
        MK_TRACE("hpf freq: %d is invalid, ai chn:%d.\n", h.enHpfFreq, chn);
        return kParam;
    }
    return MK_SUCCESS;
}

MK_S32 AiCheckRnr(const VQE_RNR_CONFIG_S& r, MK_S32 rate, MK_S32 chn) {
    MK_S32 ret;
    if (UsrModeChecked(r.bUsrMode, &ret, __func__)) return ret;
    if (Out(r.s32MaxNrLevel, 2, 20)) {
        MK_TRACE("rnr MaxNrLevel: %d is invalid, ai chn:%d.\n", r.s32MaxNrLevel, chn);
        return kParam;
    }
    if (Out(r.s32NoiseThresh, -80, -20)) {
        MK_TRACE("rnr NoiseThresh: %d is invalid, ai chn:%d.\n", r.s32NoiseThresh, chn);
        return kParam;
    }
    if (Out(r.s32NrMode, 0, 1)) {
        MK_TRACE("rnr NrMode: %d is invalid, ai chn:%d.\n", r.s32NrMode, chn);
        return kParam;
    }
    if (r.s32NrMode == 1 && rate == 48000) {
        MK_TRACE("rnr NrMode: %d NOT support WorkSampleRate(48000), ai chn:%d.\n", r.s32NrMode, chn);
        return kParam;
    }
    return MK_SUCCESS;
}

MK_S32 AiCheckAnr(const VQE_ANR_CONFIG_S& a, MK_S32 chn) {
    MK_S32 ret;
    if (UsrModeChecked(a.bUsrMode, &ret, __func__)) return ret;
    if (OutU16(a.s16NrIntensity, 25)) {
        MK_TRACE("Anr NrIntensity: %d is invalid, ai chn:%d.\n", a.s16NrIntensity, chn);
        return kParam;
    }
    if (static_cast<MK_U16>(a.s16NoiseDbThr) < 30 || OutU16(a.s16NoiseDbThr, 60)) {
        MK_TRACE("Anr NoiseDbThr: %d is invalid, ai chn:%d.\n", a.s16NoiseDbThr, chn);
        return kParam;
    }
    if (OutU8(a.s8SpProSwitch, 1)) {
        MK_TRACE("Anr SpProSwitch: %d is invalid, ai chn:%d.\n", a.s8SpProSwitch, chn);
        return kParam;
    }
    return MK_SUCCESS;
}

// 0; kParam with its closing line still wanted; or `noClose` set for the failure that has none.
MK_S32 AiCheckHdr(const VQE_HDR_CONFIG_S& h, MK_S32 dev, MK_S32 chn, bool* noClose) {
    *noClose = false;
    if (h.bUsrMode == 0) {
        MK_TRACE("bUsrMode of Hdr cannot be MK_FALSE without ACODEC!\n");
        return MK_SUCCESS;
    }
    if (h.bUsrMode != 1) {
        MK_TRACE("stHdrCfg.bUsrMode: %d error!\n", h.bUsrMode);
        *noClose = true;
        return kParam;
    }
    const bool bad = Out(h.s32MaxGaindB, 0, 120) || static_cast<MK_U32>(h.s32MinGaindB) > 120 ||
                     Out(h.s32MicGainStepdB, 1, 3) || h.s32MicGaindB < h.s32MinGaindB ||
                     h.s32MicGaindB > h.s32MaxGaindB || h.pcallback == nullptr;
    if (!bad) return MK_SUCCESS;
    MK_TRACE("Ai dev: %d, ai chn:%d, enable hdr failed because of wrong param!\n", dev, chn);
    MK_TRACE("s32MaxGaindB: %d [0,120]\n", h.s32MaxGaindB);
    MK_TRACE("s32MinGaindB: %d [0,120]\n", h.s32MinGaindB);
    MK_TRACE("s32MicGainStepdB: %d [1,3]\n", h.s32MicGainStepdB);
    MK_TRACE("s32MicGaindB: %d [%d,%d]\n", h.s32MicGaindB, h.s32MinGaindB, h.s32MaxGaindB);
    MK_TRACE("pcallback: %p \n", reinterpret_cast<void*>(h.pcallback));
    return kParam;
}

MK_S32 AiCheckEq(const VQE_EQ_CONFIG_S& q, MK_S32 chn) {
    for (int i = 0; i < VQE_EQ_BAND_NUM; ++i) {
        if (Out(q.s8GaindB[i], -100, 20)) {
            MK_TRACE("eq s8GaindB[%d]: %d[-100,20] is invalid, ai chn:%d.\n", i, q.s8GaindB[i], chn);
            return kParam;
        }
    }
    return MK_SUCCESS;
}

// ---- Equality of a new attribute with the channel's current one ----

bool SameAec(const VQE_AEC_CONFIG_S& a, const VQE_AEC_CONFIG_S& b) {
    return a.s8CngMode == b.s8CngMode && a.s8NearAllPassEnergy == b.s8NearAllPassEnergy &&
           a.s8NearCleanSupEnergy == b.s8NearCleanSupEnergy && a.s16DTHnlSortQTh == b.s16DTHnlSortQTh &&
           a.s16EchoBandLow == b.s16EchoBandLow && a.s16EchoBandHigh == b.s16EchoBandHigh &&
           a.s16EchoBandLow2 == b.s16EchoBandLow2 && a.s16EchoBandHigh2 == b.s16EchoBandHigh2 &&
           std::memcmp(a.s16ERLBand, b.s16ERLBand, sizeof(a.s16ERLBand)) == 0 &&
           std::memcmp(a.s16ERL, b.s16ERL, sizeof(a.s16ERL)) == 0 &&
           a.s16VioceProtectFreqL == b.s16VioceProtectFreqL &&
           a.s16VioceProtectFreqL1 == b.s16VioceProtectFreqL1;
}

bool SameAgc(const VQE_AGC_CONFIG_S& a, const VQE_AGC_CONFIG_S& b) {
    return a.s8TargetLevel == b.s8TargetLevel && a.s8NoiseFloor == b.s8NoiseFloor &&
           a.s8MaxGain == b.s8MaxGain && a.s8AdjustSpeed == b.s8AdjustSpeed &&
           a.s8ImproveSNR == b.s8ImproveSNR && a.s8UseHighPassFilt == b.s8UseHighPassFilt &&
           a.s8OutputMode == b.s8OutputMode && a.s16NoiseSupSwitch == b.s16NoiseSupSwitch;
}

bool SameAttr(const AI_VQE_CONFIG_S& n, const ChnCtx& c, const UPVQE_CONFIG_S& cur, MK_S32 aoDev,
              MK_S32 aoChn) {
    if (n.bAnrOpen != c.au32Flag[kAnr] || n.bAecOpen != c.au32Flag[kAec] || n.bAgcOpen != c.au32Flag[kAgc] ||
        n.bHpfOpen != c.au32Flag[kHpf] || n.bRnrOpen != c.au32Flag[kRnr] || n.bEqOpen != c.au32Flag[kEq] ||
        n.bHdrOpen != c.au32Flag[kHdr] || n.s32WorkSampleRate != cur.s32WorkSampleRate ||
        n.s32FrameSample != cur.s32FrameSample || n.enWorkstate != cur.enWorkstate) {
        return false;
    }
    if (n.bHpfOpen && (n.stHpfCfg.bUsrMode != cur.stHpfCfg.bUsrMode ||
                       (n.stHpfCfg.bUsrMode == 1 && n.stHpfCfg.enHpfFreq != cur.stHpfCfg.enHpfFreq))) {
        return false;
    }
    if (n.bAecOpen && (n.stAecCfg.bUsrMode != cur.stAecCfg.bUsrMode ||
                       (n.stAecCfg.bUsrMode == 1 && !SameAec(n.stAecCfg, cur.stAecCfg)) ||
                       aoDev != c.s32AecAoDev || aoChn != c.s32AecAoChn)) {
        return false;
    }
    const VQE_ANR_CONFIG_S &na = n.stAnrCfg, &ca = cur.stAnrCfg;
    if (n.bAnrOpen &&
        (na.bUsrMode != ca.bUsrMode || (na.bUsrMode == 1 && (na.s16NrIntensity != ca.s16NrIntensity ||
                                                             na.s16NoiseDbThr != ca.s16NoiseDbThr ||
                                                             na.s8SpProSwitch != ca.s8SpProSwitch)))) {
        return false;
    }
    const VQE_RNR_CONFIG_S &nr = n.stRnrCfg, &cr = cur.stRnrCfg;
    if (n.bRnrOpen &&
        (nr.bUsrMode != cr.bUsrMode ||
         (nr.bUsrMode == 1 && (nr.s32NrMode != cr.s32NrMode || nr.s32MaxNrLevel != cr.s32MaxNrLevel ||
                               nr.s32NoiseThresh != cr.s32NoiseThresh)))) {
        return false;
    }
    if (n.bAgcOpen && (n.stAgcCfg.bUsrMode != cur.stAgcCfg.bUsrMode ||
                       (n.stAgcCfg.bUsrMode == 1 && !SameAgc(n.stAgcCfg, cur.stAgcCfg)))) {
        return false;
    }
    if (n.bEqOpen && std::memcmp(n.stEqCfg.s8GaindB, cur.stEqCfg.s8GaindB, sizeof(n.stEqCfg.s8GaindB)) != 0)
        return false;
    const VQE_HDR_CONFIG_S &nh = n.stHdrCfg, &ch = cur.stHdrCfg;
    if (n.bHdrOpen && (nh.bUsrMode != ch.bUsrMode ||
                       (nh.bUsrMode == 1 &&
                        (nh.s32MinGaindB != ch.s32MinGaindB || nh.s32MaxGaindB != ch.s32MaxGaindB ||
                         nh.s32MicGaindB != ch.s32MicGaindB || nh.s32MicGainStepdB != ch.s32MicGainStepdB ||
                         nh.pcallback != ch.pcallback)))) {
        return false;
    }
    return true;
}

// The context keeps the flags in its own order; the engine's configuration in its.
void FlagsToConfig(const ChnCtx& c, UPVQE_CONFIG_S& cfg) {
    cfg.bHpfOpen = c.au32Flag[kHpf];
    cfg.bAecOpen = c.au32Flag[kAec];
    cfg.bAnrOpen = c.au32Flag[kAnr];
    cfg.bRnrOpen = c.au32Flag[kRnr];
    cfg.bAgcOpen = c.au32Flag[kAgc];
    cfg.bEqOpen = c.au32Flag[kEq];
    cfg.bHdrOpen = c.au32Flag[kHdr];
    cfg.bDrcOpen = 0;
    cfg.bPeqOpen = 0;
}

void ClearFlags(UPVQE_CONFIG_S& cfg) {
    cfg.bHpfOpen = cfg.bAecOpen = cfg.bAnrOpen = cfg.bRnrOpen = cfg.bAgcOpen = cfg.bEqOpen = cfg.bHdrOpen = 0;
    cfg.bDrcOpen = cfg.bPeqOpen = 0;
}

}  // namespace

MK_S32 MK_MPI_AI_SetVqeAttr(MK_S32 AiDevId, MK_S32 AiChn, MK_S32 AoDevId, MK_S32 AoChn,
                            const AI_VQE_CONFIG_S* pstVqeConfig) {
    AI_CHN_ENTRY_PTR(AiDevId, AiChn, pstVqeConfig);
    const AI_VQE_CONFIG_S a = *pstVqeConfig;
    // Held to the end: nothing may disable the channel between these checks and the new instance.
    std::lock_guard<std::mutex> lock(c.mutex);
    AI_CHECK_ENABLED(AiChn);
    if (c.bVqeEnabled) {
        MK_TRACE("AI chn %d has enable vqe! Please disable vqe then config it!\n", AiChn);
        return MK_ERR_AI_NOT_PERM;
    }
    MK_S32 ret = AiCheckVqe(a, AiChn);
    if (ret != MK_SUCCESS) {
        MK_TRACE("AI chn %d check vqe parameter failed!\n", AiChn);
        return ret;
    }
    const bool configured = c.bVqeConfigured != 0;
    const bool resampling = c.bResmpEnabled != 0;
    const bool instance = c.hVqe != nullptr;
    const MK_U32 resmpOut = c.stResmpAttr.enOutSampleRate;
    MK_S32 inRate = 0, outRate = 0;
    if ((!configured && !resampling) || !instance) {
        // Without an instance to read (none yet, or a failed replacement) the rates come from the
        // device and the resampling kept in the channel.
        AIO_ATTR_S attr{};
        if (MK_MPI_AI_GetPubAttr(AiDevId, &attr) != MK_SUCCESS) {
            MK_TRACE("AiDev: %d haven't set attr!\n", AiDevId);
            return MK_ERR_AI_NOT_CONFIG;
        }
        if (attr.enSampleRate == AUDIO_SAMPLE_RATE_64000 || attr.enSampleRate == AUDIO_SAMPLE_RATE_96000) {
            MK_TRACE("vqe is not permit when Ai samplerate is %d!\n", attr.enSampleRate);
            return MK_ERR_AI_NOT_PERM;
        }
        inRate = static_cast<MK_S32>(attr.enSampleRate);
        outRate = resampling ? static_cast<MK_S32>(resmpOut) : inRate;
    } else {
        UPVQE_CONFIG_S cur{};
        if (ReadRecordConfigLocked(AiDevId, AiChn, cur) != MK_SUCCESS) return MK_ERR_AI_NOT_CONFIG;
        if (configured && SameAttr(a, c, cur, AoDevId, AoChn)) return MK_SUCCESS;
        inRate = cur.s32InSampleRate;
        outRate = cur.s32OutSampleRate;
    }
    if (a.bAgcOpen == 1 && (ret = AiCheckAgc(a.stAgcCfg, AiDevId, AiChn)) != MK_SUCCESS) {
        MK_TRACE("AI chn %d check vqe agc parameter failed!\n", AiChn);
        return ret;
    }
    if (a.bAecOpen == 1) {
        if (c.bAecRefFrameEnabled) {
            MK_TRACE("Aec do not support open when aec reference frame is enable, ai chn:%d\n", AiChn);
            return MK_ERR_AI_NOT_SUPPORT;
        }
        if (static_cast<MK_U32>(AoDevId) >= AO_DEV_MAX_NUM) {
            MK_TRACE("ao dev %d is invalid\n", AoDevId);
            return MK_ERR_AO_INVALID_DEVID;
        }
        if (static_cast<MK_U32>(AoChn) >= AO_MAX_CHN_NUM) {
            MK_TRACE("ao chnid %d is invalid\n", AoChn);
            return MK_ERR_AO_INVALID_CHNID;
        }
        if ((ret = AiCheckVqeAec(a.stAecCfg, a.s32WorkSampleRate, AiDevId, AiChn)) != MK_SUCCESS) {
            MK_TRACE("AI chn %d check vqe aec parameter failed!\n", AiChn);
            return ret;
        }
    }
    if (a.bHpfOpen == 1 && (ret = AiCheckHpf(a.stHpfCfg, AiChn)) != MK_SUCCESS) {
        MK_TRACE("AI chn %d check vqe hpf parameter failed!\n", AiChn);
        return ret;
    }
    if (a.bRnrOpen == 1 && (ret = AiCheckRnr(a.stRnrCfg, a.s32WorkSampleRate, AiChn)) != MK_SUCCESS) {
        MK_TRACE("AI chn %d check vqe rnr parameter failed!\n", AiChn);
        return ret;
    }
    if (a.bAnrOpen == 1 && (ret = AiCheckAnr(a.stAnrCfg, AiChn)) != MK_SUCCESS) {
        MK_TRACE("AI chn %d check vqe Anr parameter failed!\n", AiChn);
        return ret;
    }
    if (a.bHdrOpen == 1) {
        bool noClose = false;
        if ((ret = AiCheckHdr(a.stHdrCfg, AiDevId, AiChn, &noClose)) != MK_SUCCESS) {
            if (!noClose) MK_TRACE("AI chn %d check vqe Hdr parameter failed!\n", AiChn);
            return ret;
        }
    }
    if (a.bEqOpen == 1 && (ret = AiCheckEq(a.stEqCfg, AiChn)) != MK_SUCCESS) {
        MK_TRACE("AI chn %d check vqe eq parameter failed!\n", AiChn);
        return ret;
    }
    if (a.bAecOpen == 1) {
        c.s32AecAoDev = AoDevId;
        c.s32AecAoChn = AoChn;
    }
    UPVQE_CONFIG_S cfg{};
    cfg.s32InSampleRate = inRate;
    cfg.s32WorkSampleRate = a.s32WorkSampleRate;
    cfg.s32OutSampleRate = outRate;
    cfg.s32FrameSample = a.s32FrameSample;
    cfg.s32ChnNum = 1;
    cfg.s32OutChnNum = 1;
    cfg.s32Mode = 1;
    cfg.enWorkstate = a.enWorkstate;
    cfg.stHpfCfg = a.stHpfCfg;
    cfg.stAecCfg = a.stAecCfg;
    cfg.stAnrCfg = a.stAnrCfg;
    cfg.stRnrCfg = a.stRnrCfg;
    cfg.stAgcCfg = a.stAgcCfg;
    cfg.stEqCfg = a.stEqCfg;
    cfg.stHdrCfg = a.stHdrCfg;
    if (ReplaceInstanceLocked(index, &cfg) != MK_SUCCESS) {
        MK_TRACE("Ai dev: %d, ai chn:%d, create vqe fail.\n", AiDevId, AiChn);
        return MK_ERR_AI_VQE_ERR;
    }
    c.bVqeConfigured = 1;
    c.bVqeSetByUser = 1;
    c.au32Flag[kAnr] = a.bAnrOpen;
    c.au32Flag[kAec] = a.bAecOpen;
    c.au32Flag[kAgc] = a.bAgcOpen;
    c.au32Flag[kHpf] = a.bHpfOpen;
    c.au32Flag[kRnr] = a.bRnrOpen;
    c.au32Flag[kEq] = a.bEqOpen;
    c.au32Flag[kHdr] = a.bHdrOpen;
    c.au32Flag[7] = c.au32Flag[8] = 0;
    return MK_SUCCESS;
}

MK_S32 MK_MPI_AI_GetVqeAttr(MK_S32 AiDevId, MK_S32 AiChn, AI_VQE_CONFIG_S* pstVqeConfig) {
    AI_CHN_ENTRY_PTR(AiDevId, AiChn, pstVqeConfig);
    std::lock_guard<std::mutex> lock(c.mutex);
    if (c.bVqeConfigured && !c.bVqeSetByUser) {
        MK_TRACE("AI chn %d isn't config vqe by  MK_MPI_AI_SetVqeAttr!\n", AiChn);
        return MK_ERR_AI_NOT_PERM;
    }
    if ((!c.bVqeConfigured && !c.bResmpEnabled) || c.hVqe == nullptr) {
        MK_TRACE("AI chn %d is not config vqe and resmp!\n", AiChn);
        return MK_ERR_AI_NOT_PERM;
    }
    UPVQE_CONFIG_S cfg{};
    MK_S32 ret = MK_UPVQE_GetConfig(c.hVqe, &cfg);
    if (ret != MK_SUCCESS) {
        MK_TRACE("Ai dev: %d, ai chn:%d, get vqe attr fail, s32Ret: 0x%x.\n", AiDevId, AiChn, ret);
        return MK_ERR_AI_VQE_ERR;
    }
    AI_VQE_CONFIG_S& a = *pstVqeConfig;
    a.bHpfOpen = c.au32Flag[kHpf];
    a.bAecOpen = c.au32Flag[kAec];
    a.bAnrOpen = c.au32Flag[kAnr];
    a.bRnrOpen = c.au32Flag[kRnr];
    a.bAgcOpen = c.au32Flag[kAgc];
    a.bEqOpen = c.au32Flag[kEq];
    a.bHdrOpen = c.au32Flag[kHdr];
    a.s32WorkSampleRate = cfg.s32WorkSampleRate;
    a.s32FrameSample = cfg.s32FrameSample;
    a.enWorkstate = cfg.enWorkstate;
    a.stHpfCfg = cfg.stHpfCfg;
    a.stAecCfg = cfg.stAecCfg;
    a.stAnrCfg = cfg.stAnrCfg;
    a.stRnrCfg = cfg.stRnrCfg;
    a.stAgcCfg = cfg.stAgcCfg;
    a.stEqCfg = cfg.stEqCfg;
    a.stHdrCfg = cfg.stHdrCfg;
    return MK_SUCCESS;
}

MK_S32 MPI_AI_GetVqeAttr(MK_S32 AiDevId, MK_S32 AiChn, UPVQE_CONFIG_S* pstConfig) {
    AI_CHN_ENTRY_PTR(AiDevId, AiChn, pstConfig);
    std::lock_guard<std::mutex> lock(c.mutex);
    return GetVqeAttrLocked(AiDevId, AiChn, pstConfig);
}

MK_S32 mk::ai::GetVqeAttrLocked(MK_S32 dev, MK_S32 chn, UPVQE_CONFIG_S* cfg) {
    const ChnCtx& c = Ai().chn[AiChnIndex(dev, chn)];
    if ((!c.bVqeConfigured && !c.bResmpEnabled) || c.hVqe == nullptr) {
        MK_TRACE("AI chn %d is not config vqe and resmp!\n", chn);
        return MK_ERR_AI_NOT_PERM;
    }
    MK_S32 ret = MK_UPVQE_GetConfig(c.hVqe, cfg);
    if (ret != MK_SUCCESS) {
        MK_TRACE("Ai dev: %d, ai chn:%d, get vqe attr fail, s32Ret: 0x%x.\n", dev, chn, ret);
        return MK_ERR_AI_VQE_ERR;
    }
    return MK_SUCCESS;
}

MK_S32 mk::ai::ReadRecordConfigLocked(MK_S32 dev, MK_S32 chn, UPVQE_CONFIG_S& cfg) {
    if (GetVqeAttrLocked(dev, chn, &cfg) == MK_SUCCESS) return MK_SUCCESS;
    MK_TRACE("AiDev: %d get vqe attr failed!\n", dev);
    return MK_ERR_AI_NOT_CONFIG;
}

MK_S32 MK_MPI_AI_EnableVqe(MK_S32 AiDevId, MK_S32 AiChn) {
    AI_CHN_ENTRY(AiDevId, AiChn);
    // Held to the end: nothing may disable the channel between these checks and the new instance.
    std::lock_guard<std::mutex> lock(c.mutex);
    AI_CHECK_ENABLED(AiChn);
    if (c.bVqeEnabled) return MK_SUCCESS;
    if (!c.bVqeConfigured) {
        MK_TRACE("AI chn %d is not config vqe attr!\n", AiChn);
        return MK_ERR_AI_NOT_CONFIG;
    }
    AIO_ATTR_S attr{};
    if (MK_MPI_AI_GetPubAttr(AiDevId, &attr) != MK_SUCCESS) {
        MK_TRACE("AiDev: %d haven't set attr!\n", AiDevId);
        return MK_ERR_AI_NOT_CONFIG;
    }
    if (attr.enSoundmode == AUDIO_SOUND_MODE_STEREO) {
        MK_TRACE("vqe don't support stereo!\n");
        return MK_ERR_AI_ILLEGAL_PARAM;
    }
    if (static_cast<MK_U32>(AiChn) >= attr.u32ChnCount) {
        MK_TRACE("enable vqe fail, Aidev%d don't have chn%d\n", AiDevId, AiChn);
        return MK_ERR_AI_INVALID_CHNID;
    }
    UPVQE_CONFIG_S cfg{};
    if (ReadRecordConfigLocked(AiDevId, AiChn, cfg) != MK_SUCCESS) return MK_ERR_AI_NOT_CONFIG;
    if (cfg.s32InSampleRate != static_cast<MK_S32>(attr.enSampleRate)) {
        MK_TRACE("vqe's sample rate in:%d and device's sample rate:%d must be same!\n", cfg.s32InSampleRate,
                 attr.enSampleRate);
        return MK_ERR_AI_ILLEGAL_PARAM;
    }
    FlagsToConfig(c, cfg);
    const bool aec = c.au32Flag[kAec] == 1;
    if (aec) {
        if (c.bAecRefFrameEnabled) {
            MK_TRACE("Aec do not support open when aec reference frame is enable, ai chn:%d\n", AiChn);
            return MK_ERR_AI_NOT_SUPPORT;
        }
        AI_AEC_AO_S ao{c.s32AecAoDev, c.s32AecAoChn};
        MK_S32 ret = Request(index, MK_AI_IOC_AEC_ON, &ao);
        if (ret != MK_SUCCESS) {
            MK_TRACE("Ai dev: %d, enable aec fail, ai chn:%d\n", AiDevId, AiChn);
            return ret;
        }
        c.u32NoRefCount = 0;
    }
    if (ReplaceInstanceLocked(index, &cfg, [](AI_VQE_STATE_S& st) { st.bVqeEnable = 1; }) != MK_SUCCESS) {
        c.bVqeConfigured = 0;
        // Nothing processes the reference now: the driver stops attaching it.
        if (aec) Request(index, MK_AI_IOC_AEC_OFF);
        MK_TRACE("Ai dev: %d, ai chn:%d, create vqe fail.\n", AiDevId, AiChn);
        return MK_ERR_AI_VQE_ERR;
    }
    c.bVqeEnabled = 1;
    SendVqeStatusLocked(index);
    return MK_SUCCESS;
}

MK_S32 MK_MPI_AI_DisableVqe(MK_S32 AiDevId, MK_S32 AiChn) {
    AI_CHN_ENTRY(AiDevId, AiChn);
    std::lock_guard<std::mutex> lock(c.mutex);
    if (!c.bVqeEnabled) return MK_SUCCESS;
    if (c.au32Flag[kAec] == 1) {
        MK_S32 ret = Request(index, MK_AI_IOC_AEC_OFF);
        if (ret != MK_SUCCESS) {
            MK_TRACE("Ai dev: %d, disable aec fail, ai chn:%d\n", AiDevId, AiChn);
            return ret;
        }
    }
    UPVQE_CONFIG_S cfg{};
    if (ReadRecordConfigLocked(AiDevId, AiChn, cfg) != MK_SUCCESS) return MK_ERR_AI_NOT_CONFIG;
    ClearFlags(cfg);
    if (ReplaceInstanceLocked(index, &cfg) != MK_SUCCESS) {
        MK_TRACE("Ai dev: %d, ai chn:%d, create vqe fail.\n", AiDevId, AiChn);
        return MK_ERR_AI_VQE_ERR;
    }
    c.bVqeEnabled = 0;
    {
        AI_VQE_STATE_S& st = g_astVqeState[AiDevId][AiChn];
        std::lock_guard<std::mutex> slock(st.mutex);
        st.bVqeEnable = 0;
    }
    SendVqeStatusLocked(index);
    return MK_SUCCESS;
}

MK_S32 MK_MPI_AI_SetVqeVolume(MK_S32 AiDevId, MK_S32 AiChn, MK_S32 s32VolumeDb) {
    AI_CHECK_DEV(AiDevId);
    AI_CHECK_CHN(AiChn);
    const MK_S32 index = AiChnIndex(AiDevId, AiChn);
    AI_OPEN(index);
    if (s32VolumeDb < -20 || s32VolumeDb > 10) {
        MK_TRACE("s32VolumeDb %d is illegal!\n", s32VolumeDb);
        return MK_ERR_AI_ILLEGAL_PARAM;
    }
    ChnCtx& c = Ai().chn[index];
    std::lock_guard<std::mutex> lock(c.mutex);
    if (!c.bVqeEnabled || c.hVqe == nullptr) {
        MK_TRACE("AI chn %d is not config vqe!\n", AiChn);
        return MK_ERR_AI_NOT_PERM;
    }
    if (MK_UPVQE_SetVolume(c.hVqe, s32VolumeDb) != MK_SUCCESS) {
        MK_TRACE("AI chn %d set vqe volume failed!\n", AiChn);
        return MK_ERR_AI_VQE_ERR;
    }
    return Request(index, MK_AI_IOC_VQE_VOLUME, &s32VolumeDb);
}

MK_S32 MK_MPI_AI_GetVqeVolume(MK_S32 AiDevId, MK_S32 AiChn, MK_S32* ps32VolumeDb) {
    AI_CHN_ENTRY_PTR(AiDevId, AiChn, ps32VolumeDb);
    std::lock_guard<std::mutex> lock(c.mutex);
    if (!c.bVqeEnabled || c.hVqe == nullptr) {
        MK_TRACE("AI chn %d is not config vqe!\n", AiChn);
        return MK_ERR_AI_NOT_PERM;
    }
    if (MK_UPVQE_GetVolume(c.hVqe, ps32VolumeDb) != MK_SUCCESS) {
        MK_TRACE("AI chn %d get vqe volume failed!\n", AiChn);
        return MK_ERR_AI_VQE_ERR;
    }
    return MK_SUCCESS;
}

MK_S32 MK_MPI_AI_EnableAecRefFrame(MK_S32 AiDevId, MK_S32 AiChn, MK_S32 AoDevId, MK_S32 AoChn) {
    AI_CHECK_DEV(AiDevId);
    AI_CHECK_CHN(AiChn);
    if (static_cast<MK_U32>(AoDevId) >= AO_DEV_MAX_NUM) {
        MK_TRACE("ao dev %d is invalid\n", AoDevId);
        return MK_ERR_AO_INVALID_DEVID;
    }
    if (static_cast<MK_U32>(AoChn) >= AO_MAX_CHN_NUM) {
        MK_TRACE("ao chnid %d is invalid\n", AoChn);
        return MK_ERR_AO_INVALID_CHNID;
    }
    const MK_S32 index = AiChnIndex(AiDevId, AiChn);
    AI_OPEN(index);
    ChnCtx& c = Ai().chn[index];
    std::lock_guard<std::mutex> lock(c.mutex);
    if (c.bVqeEnabled && c.au32Flag[kAec] == 1) {
        MK_TRACE("This mpi do not support when aec open. chn:%d\n", AiChn);
        return MK_ERR_AI_NOT_SUPPORT;
    }
    AIO_ATTR_S attr{};
    if (MK_MPI_AI_GetPubAttr(AiDevId, &attr) != MK_SUCCESS) return MK_ERR_AI_NOT_CONFIG;
    if (attr.enSoundmode == AUDIO_SOUND_MODE_STEREO) {
        MK_TRACE("AecRefFrame don't support stereo!\n");
        return MK_ERR_AI_ILLEGAL_PARAM;
    }
    AI_AEC_AO_S ao{AoDevId, AoChn};
    MK_S32 ret = Request(index, MK_AI_IOC_REF_FRAME_ON, &ao);
    if (ret != MK_SUCCESS) {
        MK_TRACE("aec init fail, ai chn:%d\n", AiChn);
        return ret;
    }
    c.bAecRefFrameEnabled = 1;
    return MK_SUCCESS;
}

MK_S32 MK_MPI_AI_DisableAecRefFrame(MK_S32 AiDevId, MK_S32 AiChn) {
    AI_CHN_ENTRY(AiDevId, AiChn);
    std::lock_guard<std::mutex> lock(c.mutex);
    if (c.bAecRefFrameEnabled) {
        Request(index, MK_AI_IOC_REF_FRAME_OFF);
        c.bAecRefFrameEnabled = 0;
    }
    return MK_SUCCESS;
}
