#include "platform/vqe/vqe_params.h"

#include <algorithm>
#include <stdexcept>

namespace varnelle::vqe {

double HpfCutoff(const VQE_HPF_CONFIG_S* c) {
    if (c == nullptr || c->bUsrMode == 0) return 120.0;
    if (c->enHpfFreq == 0) throw std::invalid_argument("hpf cut-off");
    return c->enHpfFreq;
}

NoiseReducer::Params AnrParams(const VQE_ANR_CONFIG_S* c) {
    NoiseReducer::Params p;
    p.maxSuppressionDb = 15.0;
    p.noiseGateDb = -90.0;
    p.protectHarmonics = true;
    if (c != nullptr && c->bUsrMode != 0) {
        p.maxSuppressionDb = std::clamp<int>(c->s16NrIntensity, 0, 60);
        p.noiseGateDb = -(c->s16NoiseDbThr + 30.0);
        p.protectHarmonics = c->s8SpProSwitch != 0;
    }
    return p;
}

NoiseReducer::Params RnrParams(const VQE_RNR_CONFIG_S* c) {
    NoiseReducer::Params p;
    p.maxSuppressionDb = 12.0;
    p.noiseGateDb = -70.0;
    p.protectHarmonics = false;
    if (c != nullptr && c->bUsrMode != 0) {
        p.maxSuppressionDb = std::clamp(c->s32MaxNrLevel, 0, 60);
        p.noiseGateDb = std::clamp(c->s32NoiseThresh, -120, 0);
        p.protectHarmonics = c->s32NrMode == 1;
    }
    return p;
}

Agc::Params AgcParams(const VQE_AGC_CONFIG_S* c, int modeB) {
    Agc::Params p;
    if (c != nullptr && c->bUsrMode != 0) {
        p.targetDb = c->s8TargetLevel;
        p.noiseFloorDb = c->s8NoiseFloor;
        p.maxGainDb = std::max<int>(c->s8MaxGain, 0);
        p.adjustSpeed = c->s8AdjustSpeed;
    }
    if (modeB == 1) p.ceilingDb = -3.5;
    return p;
}

double AgcHighPass(const VQE_AGC_CONFIG_S* c) {
    static const double kCutoffs[] = {0, 80, 120, 150, 200, 300};
    if (c == nullptr || c->bUsrMode == 0) return 0;
    const int i = c->s8UseHighPassFilt;
    return i >= 0 && i <= 5 ? kCutoffs[i] : 0;
}

Compressor::Params DrcParams(const VQE_DRC_CONFIG_S* c) {
    Compressor::Params p;
    p.thresholdDb = -20;
    p.ratio = 3;
    p.attackMs = 5;
    p.releaseMs = 100;
    p.makeupDb = 0;
    p.limiterDb = -1;
    if (c != nullptr && c->bUsrMode != 0) {
        p.thresholdDb = c->s16ThresholdDb;
        p.ratio = std::max(c->s16RatioX10 / 10.0, 1.0);
        p.attackMs = std::max<int>(c->s16AttackTime, 0);
        p.releaseMs = std::max<int>(c->s16ReleaseTime, 0);
        p.makeupDb = c->s16MakeupGainDb;
        p.limiterDb = std::min<int>(c->s16LimiterDb, 0);
    }
    return p;
}

std::vector<MultiBandCompressor::Band> MbcBands(const VQE_MBC_CONFIG_S* c) {
    if (c == nullptr || c->u32BandNum < 1 || c->u32BandNum > VQE_MBC_BAND_NUM) {
        throw std::invalid_argument("mbc band count");
    }
    std::vector<MultiBandCompressor::Band> bands;
    for (MK_U32 b = 0; b < c->u32BandNum; ++b) {
        const VQE_MBC_BAND_S& s = c->astBand[b];
        MultiBandCompressor::Band band;
        band.upperHz = s.s32UpperFreq;
        band.comp.thresholdDb = s.s32ThresholdDb;
        band.comp.ratio = std::max(s.s32RatioX10 / 10.0, 1.0);
        band.comp.attackMs = std::max(s.s32AttackMs, 0);
        band.comp.releaseMs = std::max(s.s32ReleaseMs, 0);
        band.comp.makeupDb = s.s32MakeupGainDb;
        band.comp.limiterDb = 0;
        bands.push_back(band);
    }
    return bands;
}

std::vector<ParametricEq::Band> PeqBands(const VQE_PEQ_CONFIG_S* c) {
    std::vector<ParametricEq::Band> bands;
    if (c == nullptr || c->bUsrMode == 0) return bands;
    const MK_U32 n = std::min<MK_U32>(c->u32BandNum, VQE_PEQ_BAND_NUM);
    for (MK_U32 b = 0; b < n; ++b) {
        const VQE_PEQ_BAND_S& s = c->astBand[b];
        bands.push_back({static_cast<double>(s.u16Freq), s.s16GainX10 / 10.0, s.u16QX100 / 100.0});
    }
    return bands;
}

EchoCanceller::Params AecParams(const VQE_AEC_CONFIG_S* c) {
    EchoCanceller::Params p;
    if (c != nullptr && c->bUsrMode != 0) {
        static const double kFloors[] = {-20.0, -30.0, -40.0};
        const int i = c->s8NearCleanSupEnergy;
        p.floorDb = i >= 0 && i <= 2 ? kFloors[i] : -30.0;
    }
    return p;
}

MicGainStepper HdrStepper(const VQE_HDR_CONFIG_S* c, double rate) {
    if (c == nullptr || c->bUsrMode == 0) return MicGainStepper(0, 30, 15, 1, rate);
    return MicGainStepper(c->s32MinGaindB, c->s32MaxGaindB, c->s32MicGaindB, c->s32MicGainStepdB, rate);
}

}  // namespace varnelle::vqe
