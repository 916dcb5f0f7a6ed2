// The configurations of the two voice-quality engines: what an instance is created from and what it
// returns on request. Audio input builds the record one, audio output the playback one.
#pragma once

#include <cstddef>

#include "sdk/audio/vqe/vqe_module.h"
#include "sdk/common/mk_type.h"

// The record (up-link) engine's configuration. It embeds the HDR block and its callback, so its size is
// the host's.
typedef struct {
    // module flags, 0 or 1
    MK_U32 bHpfOpen;
    MK_U32 bAecOpen;
    MK_U32 bAnrOpen;
    MK_U32 bRnrOpen;
    MK_U32 bAgcOpen;
    MK_U32 bEqOpen;
    MK_U32 bHdrOpen;
    MK_U32 bDrcOpen;
    MK_U32 bPeqOpen;
    MK_S32 s32InSampleRate;    // rate of the frames written
    MK_S32 s32WorkSampleRate;  // 8000, 16000 or 48000 when a module is open
    MK_S32 s32OutSampleRate;   // rate of the frames read
    MK_S32 s32FrameSample;     // 80 to 4096
    MK_S32 s32ChnNum;          // input channels, 1 or 2
    MK_S32 s32OutChnNum;       // output channels, equal to the input's
    MK_S32 s32Mode;            // UPVQE_MODE_RECORD, or any other value for talk mode
    MK_U32 enWorkstate;        // handed to every module
    VQE_HPF_CONFIG_S stHpfCfg;
    VQE_AEC_CONFIG_S stAecCfg;
    VQE_ANR_CONFIG_S stAnrCfg;
    VQE_RNR_CONFIG_S stRnrCfg;  // s32NrMode 0 at 8000 or 16000 asks for 960-sample frames
    VQE_AGC_CONFIG_S stAgcCfg;
    VQE_EQ_CONFIG_S stEqCfg;
    VQE_HDR_CONFIG_S stHdrCfg;
    VQE_DRC_CONFIG_S stDrcCfg;
    VQE_PEQ_CONFIG_S stPeqCfg;
} UPVQE_CONFIG_S;
static_assert(offsetof(UPVQE_CONFIG_S, s32InSampleRate) == 36);
static_assert(offsetof(UPVQE_CONFIG_S, s32FrameSample) == 48);
static_assert(offsetof(UPVQE_CONFIG_S, enWorkstate) == 64);
static_assert(offsetof(UPVQE_CONFIG_S, stHpfCfg) == 68);
static_assert(offsetof(UPVQE_CONFIG_S, stAecCfg) == 76);
static_assert(offsetof(UPVQE_CONFIG_S, stAnrCfg) == 128);
static_assert(offsetof(UPVQE_CONFIG_S, stRnrCfg) == 144);
static_assert(offsetof(UPVQE_CONFIG_S, stAgcCfg) == 160);
static_assert(offsetof(UPVQE_CONFIG_S, stEqCfg) == 180);

#define UPVQE_MODE_RECORD 0

// The playback (down-link) engine's configuration.
typedef struct {
    MK_U32 bHpfOpen;
    MK_U32 bAnrOpen;
    MK_U32 bAgcOpen;
    MK_U32 bEqOpen;
    MK_U32 bMbcOpen;
    MK_S32 s32InSampleRate;
    MK_S32 s32WorkSampleRate;
    MK_S32 s32OutSampleRate;
    MK_S32 s32FrameSample;  // 80 to 4096
    MK_U32 enWorkstate;
    VQE_HPF_CONFIG_S stHpfCfg;
    VQE_ANR_CONFIG_S stAnrCfg;
    VQE_AGC_CONFIG_S stAgcCfg;
    VQE_EQ_CONFIG_S stEqCfg;
    VQE_MBC_CONFIG_S stMbcCfg;
} DNVQE_CONFIG_S;
static_assert(sizeof(DNVQE_CONFIG_S) == 1084);
static_assert(offsetof(DNVQE_CONFIG_S, s32InSampleRate) == 20);
static_assert(offsetof(DNVQE_CONFIG_S, s32WorkSampleRate) == 24);
static_assert(offsetof(DNVQE_CONFIG_S, s32OutSampleRate) == 28);
static_assert(offsetof(DNVQE_CONFIG_S, s32FrameSample) == 32);
static_assert(offsetof(DNVQE_CONFIG_S, enWorkstate) == 36);
static_assert(offsetof(DNVQE_CONFIG_S, stHpfCfg) == 40);
static_assert(offsetof(DNVQE_CONFIG_S, stAnrCfg) == 48);
static_assert(offsetof(DNVQE_CONFIG_S, stAgcCfg) == 64);
static_assert(offsetof(DNVQE_CONFIG_S, stEqCfg) == 84);
static_assert(offsetof(DNVQE_CONFIG_S, stMbcCfg) == 100);
