// The contract between the voice-quality engines and the audio processing modules.
//
// A module is a shared library named "lib<prefix>_<name>.so" (prefix "vqe") that exports a work-handle
// table under the symbol "g_Audio_<name>_WorkHandle": the module's name and three entry points.
//  - init(&instance, sample rate, parameter block) makes an instance; 0 on success.
//  - process(instance, input, output) runs one block; 0 on success. "RES" returns instead the number
//    of output samples it wrote.
//  - release(instance) frees it.
// Samples are 16-bit. The engines call a module from one thread at a time per instance.
//
// Parameter blocks: the resampler hands RES a VQE_RES_PARAM_S; the engines hand every other module a
// VQE_MODULE_PARAM_S whose pParam points at the module's own block below. What each field of a module's
// block means is documented by the module (platform/vqe); bUsrMode 0 asks for the module's defaults.
#pragma once

#include <cstddef>

#include "sdk/common/mk_type.h"

#define VQE_MODULE_PREFIX "vqe"
#define VQE_MODULE_NAME_LEN 24  // a name of at most 23 characters and a zero

// One block of samples handed to a module. Words a caller does not use are zero.
typedef struct {
    MK_VOID* pData;       // main samples
    MK_VOID* pRefData;    // echo reference (AEC)
    MK_VOID* pDataR;      // second signal (two-channel record mode)
    MK_S32* ps32Volume;   // the engine's volume word in dB (record side), or null
    MK_U32 u32Bytes;      // bytes of the block in pData
} VQE_BUF_DESC_S;

typedef MK_S32 (*VQE_INIT_FN)(MK_VOID** phInst, MK_S32 s32SampleRate, MK_VOID* pParam);
typedef MK_S32 (*VQE_PROCESS_FN)(MK_VOID* hInst, VQE_BUF_DESC_S* pstIn, VQE_BUF_DESC_S* pstOut);
typedef MK_S32 (*VQE_RELEASE_FN)(MK_VOID* hInst);

// The table a module exports. The entry points keep their place after the name and one word.
typedef struct {
    MK_CHAR acName[VQE_MODULE_NAME_LEN];
    MK_U32 u32Version;
    VQE_INIT_FN pfnInit;
    VQE_PROCESS_FN pfnProcess;
    VQE_RELEASE_FN pfnRelease;
} AUDIO_WORK_HANDLE_S;

// What the engines hand every module's init: the mode words, the work state, the module's own block
// and dump descriptors (-1: none).
typedef struct {
    MK_S32 s32ModeA;  // AGC: 0; EQ: 1; others 0
    MK_S32 s32ModeB;  // AGC: 1 when EQ follows it; others 0
    MK_S32 s32WorkState;
    MK_VOID* pParam;
    MK_S32 s32DumpFd;
    MK_S32 s32DumpFdR;
} VQE_MODULE_PARAM_S;

// What the resampler hands RES's init, with the input rate as the sample rate.
typedef struct {
    MK_S32 s32OutSampleRate;
    MK_S32 s32Mode;    // 0
    MK_S32 s32ChnNum;  // 1
} VQE_RES_PARAM_S;

// ---- Module parameter blocks (sizes fixed; the record engine's configuration and the attributes of
// audio input and output embed them).

typedef struct {
    MK_U32 bUsrMode;
    MK_U32 enHpfFreq;  // cut-off in Hz: 80, 120 or 150
} VQE_HPF_CONFIG_S;
static_assert(sizeof(VQE_HPF_CONFIG_S) == 8);

typedef struct {
    MK_U32 bUsrMode;
    MK_S8 s8CngMode;
    MK_S8 s8NearAllPassEnergy;
    MK_S8 s8NearCleanSupEnergy;
    MK_S16 s16DTHnlSortQTh;
    MK_S16 s16EchoBandLow;
    MK_S16 s16EchoBandHigh;
    MK_S16 s16EchoBandLow2;
    MK_S16 s16EchoBandHigh2;
    MK_S16 s16ERLBand[6];
    MK_S16 s16ERL[7];
    MK_S16 s16VioceProtectFreqL;
    MK_S16 s16VioceProtectFreqL1;
    MK_U32 u32Reserved;
} VQE_AEC_CONFIG_S;
static_assert(sizeof(VQE_AEC_CONFIG_S) == 52);

typedef struct {
    MK_U32 bUsrMode;
    MK_S16 s16NrIntensity;  // 0 to 25: suppression depth
    MK_S16 s16NoiseDbThr;   // 30 to 60: level below which a bin counts as noise
    MK_S8 s8SpProSwitch;    // 1: protect voiced harmonics
    MK_U32 u32Reserved;
} VQE_ANR_CONFIG_S;
static_assert(sizeof(VQE_ANR_CONFIG_S) == 16);

typedef struct {
    MK_U32 bUsrMode;
    MK_S32 s32NrMode;
    MK_S32 s32MaxNrLevel;
    MK_S32 s32NoiseThresh;
} VQE_RNR_CONFIG_S;
static_assert(sizeof(VQE_RNR_CONFIG_S) == 16);

typedef struct {
    MK_U32 bUsrMode;
    MK_S8 s8TargetLevel;   // dBFS, -40 to -1
    MK_S8 s8NoiseFloor;    // dBFS, -65 to -20: quieter input is not raised
    MK_S8 s8MaxGain;       // dB, 0 to 30
    MK_S8 s8AdjustSpeed;   // 0 to 10
    MK_S8 s8ImproveSNR;    // 0 to 2
    MK_S8 s8UseHighPassFilt;  // 0 to 5
    MK_S8 s8OutputMode;    // 0 to 1
    MK_S8 s8Reserved;
    MK_S16 s16NoiseSupSwitch;  // 0 to 1
    MK_S8 as8Reserved[6];
} VQE_AGC_CONFIG_S;
static_assert(sizeof(VQE_AGC_CONFIG_S) == 20);

#define VQE_EQ_BAND_NUM 10
typedef struct {
    MK_S8 s8GaindB[VQE_EQ_BAND_NUM];  // -100 to 20 dB per band
    MK_S8 as8Reserved[6];
} VQE_EQ_CONFIG_S;
static_assert(sizeof(VQE_EQ_CONFIG_S) == 16);

typedef MK_S32 (*VQE_HDR_CALLBACK_FN)(MK_S32 s32SetGain);
// Holds the caller's callback, so its size is the host's.
typedef struct {
    MK_U32 bUsrMode;
    MK_S32 s32MinGaindB;
    MK_S32 s32MaxGaindB;
    MK_S32 s32MicGaindB;
    MK_S32 s32MicGainStepdB;
    VQE_HDR_CALLBACK_FN pcallback;  // never called: the engine has no analog gain to set
} VQE_HDR_CONFIG_S;

typedef struct {
    MK_U32 bUsrMode;
    MK_S16 s16AttackTime;   // ms
    MK_S16 s16ReleaseTime;  // ms
    MK_S16 s16ThresholdDb;  // dBFS where compression starts
    MK_S16 s16RatioX10;     // compression ratio times 10
    MK_S16 s16MakeupGainDb;
    MK_S16 s16LimiterDb;    // dBFS ceiling
    MK_S8 as8Reserved[12];
} VQE_DRC_CONFIG_S;
static_assert(sizeof(VQE_DRC_CONFIG_S) == 28);

#define VQE_PEQ_BAND_NUM 10
typedef struct {
    MK_U16 u16Freq;    // Hz
    MK_S16 s16GainX10; // dB times 10
    MK_U16 u16QX100;   // quality factor times 100
} VQE_PEQ_BAND_S;
typedef struct {
    MK_U32 bUsrMode;
    MK_U32 u32BandNum;  // 0 to 10
    VQE_PEQ_BAND_S astBand[VQE_PEQ_BAND_NUM];
} VQE_PEQ_CONFIG_S;
static_assert(sizeof(VQE_PEQ_CONFIG_S) == 68);

// The multi-band compressor: up to 5 bands split at their upper edges, each compressed on its own
// envelope. The block ends with the channel word and the band count.
#define VQE_MBC_BAND_NUM 5
typedef struct {
    MK_S32 s32UpperFreq;    // Hz; the last band runs to the top
    MK_S32 s32ThresholdDb;  // dBFS
    MK_S32 s32RatioX10;     // ratio times 10, 10 = no compression
    MK_S32 s32AttackMs;
    MK_S32 s32ReleaseMs;
    MK_S32 s32MakeupGainDb;
    MK_S32 as32Reserved[2];
} VQE_MBC_BAND_S;
typedef struct {
    VQE_MBC_BAND_S astBand[VQE_MBC_BAND_NUM];
    MK_U8 au8Reserved[816];
    MK_U32 u32Channel;  // 0 or 1
    MK_U32 u32BandNum;  // 1 to 5
} VQE_MBC_CONFIG_S;
static_assert(sizeof(VQE_MBC_CONFIG_S) == 984);

// The "record" module's block: the open flags and channel counts, then the blocks of the modules it
// chains (HDR, HPF, RNR, DRC, AGC, EQ, in that order of processing).
typedef struct {
    MK_U32 bHdrOpen;
    MK_U32 bHpfOpen;
    MK_U32 bRnrOpen;
    MK_U32 bAgcOpen;
    MK_U32 bEqOpen;
    MK_U32 bDrcOpen;
    MK_S32 s32InChnNum;
    MK_S32 s32OutChnNum;
    VQE_HDR_CONFIG_S stHdrCfg;
    VQE_HPF_CONFIG_S stHpfCfg;
    VQE_RNR_CONFIG_S stRnrCfg;
    VQE_AGC_CONFIG_S stAgcCfg;
    VQE_EQ_CONFIG_S stEqCfg;
    VQE_DRC_CONFIG_S stDrcCfg;
} VQE_RECORD_CONFIG_S;
