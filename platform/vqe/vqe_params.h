// What the modules make of their parameter blocks. A null block or bUsrMode 0 gives the defaults noted
// with each function.
//
//  HPF  enHpfFreq: the cut-off in Hz (default 120).
//  ANR  s16NrIntensity: the deepest suppression in dB (default 15); s16NoiseDbThr: bins under
//       -(NoiseDbThr + 30) dBFS count as noise (default -90); s8SpProSwitch: protect voiced harmonics
//       (default on).
//  RNR  s32MaxNrLevel: deepest suppression in dB (default 12); s32NoiseThresh: the noise gate in dBFS
//       (default -70); s32NrMode 1: protect voiced harmonics (default 0).
//  AGC  s8TargetLevel dBFS (default -12), s8NoiseFloor dBFS: quieter input keeps its gain (default
//       -50), s8MaxGain dB in both directions (default 20), s8AdjustSpeed 0 (about 2 s) to 10 (about
//       100 ms) (default 5), s8UseHighPassFilt 1 to 5: a high-pass at 80, 120, 150, 200 or 300 Hz
//       first. Mode word B 1 (an equaliser follows): the limiter leaves 3 dB of headroom. The other
//       fields are accepted and unused.
//  EQ   s8GaindB: the ten band gains; no defaults.
//  PEQ  u32BandNum bands of {frequency Hz, gain in 0.1 dB, Q x 100}; default none.
//  DRC  threshold dBFS (default -20), ratio x 10 (default 30), attack and release ms (5, 100), makeup
//       dB (0), limiter dBFS (default -1; 0 none).
//  MBC  per band the upper edge, threshold, ratio x 10, attack, release and makeup; u32BandNum bands
//       (1 to 5); no defaults.
//  HDR  s32MinGaindB / s32MaxGaindB / s32MicGaindB / s32MicGainStepdB (default 0 / 30 / 15 / 1) steer
//       a digital gain; pcallback is never called.
//  AEC  s8NearCleanSupEnergy 0, 1, 2: residual suppression floor -20, -30, -40 dB (default -30); the
//       tail is 128 ms; the other fields are accepted and unused.
//  GAIN the engine's volume word in dB.
#pragma once

#include "platform/vqe/vqe_dsp.h"
#include "sdk/audio/vqe/vqe_module.h"

namespace varnelle::vqe {

double HpfCutoff(const VQE_HPF_CONFIG_S* c);
NoiseReducer::Params AnrParams(const VQE_ANR_CONFIG_S* c);
NoiseReducer::Params RnrParams(const VQE_RNR_CONFIG_S* c);
Agc::Params AgcParams(const VQE_AGC_CONFIG_S* c, int modeB);
// The AGC's high-pass cut-off in Hz, or 0 for none.
double AgcHighPass(const VQE_AGC_CONFIG_S* c);
Compressor::Params DrcParams(const VQE_DRC_CONFIG_S* c);
std::vector<MultiBandCompressor::Band> MbcBands(const VQE_MBC_CONFIG_S* c);
std::vector<ParametricEq::Band> PeqBands(const VQE_PEQ_CONFIG_S* c);
EchoCanceller::Params AecParams(const VQE_AEC_CONFIG_S* c);
MicGainStepper HdrStepper(const VQE_HDR_CONFIG_S* c, double rate);

// Processing hop of the frame-based modules: 10 ms.
inline int HopFor(int rate) { return rate / 100; }

}  // namespace varnelle::vqe
