// The resampler: module "RES" of the audio processing modules wrapped with block handling and carry
// buffers. One input side (before samples enter an engine's cache) and one output side (when they are
// read out) per instance.
//
// RES produces, after A input samples in all, floor(A x out / in) output samples, so the count of a
// call is known before it runs (Resampler_GetOutputNum) and Resampler_GetInputNum's extra sample always
// covers the wanted output.
#pragma once

#include "sdk/audio/vqe/audio_module.h"
#include "sdk/common/mk_type.h"

#define MK_ERR_RESAMPLER_ILLEGAL_PARAM static_cast<MK_S32>(0xA3340002u)
#define MK_ERR_RESAMPLER_NOMEM static_cast<MK_S32>(0xA3340003u)
#define MK_ERR_RESAMPLER_PROCESS static_cast<MK_S32>(0xA3340004u)

#define RESAMPLER_WORK_SAMPLES 12288  // samples of the work buffer and the largest block of one call
#define RESAMPLER_MIN_RATE 8000
#define RESAMPLER_MAX_RATE 48000

enum { RESAMPLER_SIDE_IN = 0, RESAMPLER_SIDE_OUT = 1 };
enum { RESAMPLER_MODE_IN = 0, RESAMPLER_MODE_OUT_EXACT = 1, RESAMPLER_MODE_OUT_PARTIAL = 2 };

typedef struct {
    MK_S32 s32Ratio;  // input / output rate when that divides exactly, else 0
    MK_S32 s32InRate;
    MK_S32 s32OutRate;
    MK_VOID* hInst[2];  // RES instance of the input side, of the output side
    MK_S32 s32Side;
    MK_S32 s32CarryNum;  // samples held back
    MK_S16* ps16Carry;   // input side: up to ratio - 1 inputs; output side: surplus outputs
    MK_S16* ps16Work;    // RESAMPLER_WORK_SAMPLES
    MK_U64 u64Phase;     // inputs RES has taken, modulo the input rate
    AUDIO_MODULE_S stModule;
} RESAMPLER_S;

// 0 with *ppstResampler set, or 0 with it null when no resampling is needed (equal rates, or either
// outside 8000 to 48000); else 0xA3340002 (bad side), 0xA3340003, 0xA3340004 or the loader's code.
MK_S32 Resampler_Create(RESAMPLER_S** ppstResampler, MK_S32 s32InRate, MK_S32 s32OutRate, MK_S32 s32Side);

// Mode 0 (input side): resamples s32InNum samples of ps16In into ps16Out, *ps32InOut receiving the
// count written (Resampler_GetOutputNum), inputs that do not make a whole step of an integer ratio
// carried to the next call. Modes 1 and 2 (output side): *ps32InOut is the count wanted; carried
// samples come first, the surplus is carried; mode 1 refuses a short result (0xA3340004, nothing
// changed), mode 2 lowers *ps32InOut by the shortfall. 0xA3340002 for a bad mode or counts over the
// work buffer (nothing changed); -1 for a null instance or buffer.
MK_S32 Resampler_Process(RESAMPLER_S* pstResampler, const MK_S16* ps16In, MK_S16* ps16Out, MK_S32 s32InNum,
                         MK_S32* ps32InOut, MK_S32 s32Mode);

// The inputs needed for s32Wanted outputs on the output side: with flag 1, in x (wanted - carried) /
// out, plus 1 when the ratio is not an integer, and 0 when the carried samples already cover it.
MK_S32 Resampler_GetInputNum(const RESAMPLER_S* pstResampler, MK_S32 s32Wanted, MK_S32 s32Flag);

// The outputs a mode-0 call with s32InNum inputs writes; -1 for a null instance.
MK_S32 Resampler_GetOutputNum(const RESAMPLER_S* pstResampler, MK_S32 s32InNum);

// -1 for null, else releases the RES instance, the module and the buffers; 0.
MK_S32 Resampler_Destroy(RESAMPLER_S* pstResampler);
