// The playback (down-link) voice-quality engine: from the input rate to a work rate, through up to five
// processing modules (HPF, ANR, AGC, EQ, MBC), to the output rate. Built like the record engine with
// one signal and no volume. Each audio output channel with resampling, processing or the multi-band
// compressor owns one instance and calls it under its channel lock.
#pragma once

#include "sdk/audio/vqe/vqe_config.h"
#include "sdk/common/mk_type.h"

#define MK_ERR_DNVQE_ILLEGAL_PARAM static_cast<MK_S32>(0xA1360002u)
#define MK_ERR_DNVQE_NOMEM static_cast<MK_S32>(0xA1360003u)
#define MK_ERR_DNVQE_PROCESS static_cast<MK_S32>(0xA1360004u)
#define MK_ERR_DNVQE_WRITECACHE_FULL static_cast<MK_S32>(0xA1360006u)
#define MK_ERR_DNVQE_NOT_ENOUGH static_cast<MK_S32>(0xA1360007u)
#define MK_ERR_DNVQE_OUTCACHE_FULL static_cast<MK_S32>(0xA1360008u)
#define MK_ERR_DNVQE_NO_MODULE static_cast<MK_S32>(0xA1360009u)

#define DNVQE_MAX_READ_SAMPLES 12288

// 0 with *phDnVqe set; 0xA1360002 for a null or bad configuration, 0xA1360003, 0xA1360009, a module
// init's code, or -1; nothing is created on failure.
MK_S32 MK_DNVQE_Create(MK_VOID** phDnVqe, const DNVQE_CONFIG_S* pstConfig);
MK_VOID MK_DNVQE_Destroy(MK_VOID* hDnVqe);
MK_S32 MK_DNVQE_GetConfig(MK_VOID* hDnVqe, DNVQE_CONFIG_S* pstConfig);
// 0; 0xA1360002 (null, or more than 12288 samples after resampling); 0xA1360006 when the input cache
// lacks room. A refused write changes nothing.
MK_S32 MK_DNVQE_WriteFrame(MK_VOID* hDnVqe, const MK_S16* ps16Sin, MK_S32 s32Num);
// Flag 0: 0 or 0xA1360007 when fewer than s32Num are ready. Flag 1: the count delivered, or -1.
MK_S32 MK_DNVQE_ReadFrame(MK_VOID* hDnVqe, MK_S16* ps16Sout, MK_S32 s32Num, MK_S32 s32Flag);
MK_S32 MK_DNVQE_ProcessFrame(MK_VOID* hDnVqe, const MK_S16* ps16Sin, MK_S16* ps16Sout, MK_S32 s32Num);
// The frame size the instance processes in; 0 for null.
MK_S32 MK_DNVQE_GetFrameSample(MK_VOID* hDnVqe);
