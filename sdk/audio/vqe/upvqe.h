// The record (up-link) voice-quality engine. An instance converts captured sound from the input rate to
// a work rate, runs it through the processing modules its configuration opens, and converts it to the
// output rate. Written and read through sample caches, so frames of any length go in and out; all the
// work happens inside MK_UPVQE_WriteFrame. Audio input and the audio encoder keep one per channel.
//
// Threads: write, read and the volume calls of one instance may come from different threads (each
// takes the instance's lock); create and destroy must not overlap any other call on the instance.
#pragma once

#include "sdk/audio/vqe/vqe_config.h"
#include "sdk/common/mk_type.h"

#define MK_ERR_UPVQE_ILLEGAL_PARAM static_cast<MK_S32>(0xA1350002u)
#define MK_ERR_UPVQE_NOMEM static_cast<MK_S32>(0xA1350003u)
#define MK_ERR_UPVQE_PROCESS static_cast<MK_S32>(0xA1350004u)
#define MK_ERR_UPVQE_WRITECACHE_FULL static_cast<MK_S32>(0xA1350006u)
#define MK_ERR_UPVQE_NOT_ENOUGH static_cast<MK_S32>(0xA1350007u)
#define MK_ERR_UPVQE_OUTCACHE_FULL static_cast<MK_S32>(0xA1350008u)
#define MK_ERR_UPVQE_NO_MODULE static_cast<MK_S32>(0xA1350009u)

#define UPVQE_MAX_READ_SAMPLES 12288  // the most a read takes from the cache at once

// Samples written to or read from an instance: the count, then the first and second signal (the echo
// reference with AEC open, the second channel in two-channel record mode, else unused).
typedef struct {
    MK_U32 u32PointNum;
    MK_S16* ps16Buf;
    MK_S16* ps16BufR;
} UPVQE_FRAME_S;

// 0 with *phUpVqe set, or a code and nothing created (0xA1350002 bad configuration, 0xA1350003 out of
// memory, 0xA1350009 a module missing, a module init's code, or -1).
MK_S32 MK_UPVQE_Create(MK_VOID** phUpVqe, const UPVQE_CONFIG_S* pstConfig);
// Frees the instance and all it holds; null does nothing.
MK_VOID MK_UPVQE_Destroy(MK_VOID* hUpVqe);
// The configuration the instance was created from; 0xA1350002 when either pointer is null.
MK_S32 MK_UPVQE_GetConfig(MK_VOID* hUpVqe, UPVQE_CONFIG_S* pstConfig);

// Feeds samples through the instance into its output cache. 0; 0xA1350002 for a null handle or buffer,
// or a write that resamples to more than 12288 samples; 0xA1350006 when the input cache lacks room.
// A refused write changes nothing.
MK_S32 MK_UPVQE_WriteFrame(MK_VOID* hUpVqe, const UPVQE_FRAME_S* pstFrame);
// Takes processed samples at the output rate. Flag 0: 0, or 0xA1350007 when fewer than asked are ready.
// Flag 1: the number delivered (what is ready when that is less; 0 when nothing is), or -1.
MK_S32 MK_UPVQE_ReadFrame(MK_VOID* hUpVqe, UPVQE_FRAME_S* pstFrame, MK_U32 u32Flag);
// Runs the module chain over s32Num samples, a multiple of the instance's frame.
MK_S32 MK_UPVQE_ProcessFrame(MK_VOID* hUpVqe, const MK_S16* ps16Sin, const MK_S16* ps16SinR, MK_S16* ps16Sout,
                             MK_S16* ps16SoutR, MK_S32 s32Num);
// The volume in dB that every module is handed and the gain module applies; the first set loads it.
MK_S32 MK_UPVQE_SetVolume(MK_VOID* hUpVqe, MK_S32 s32VolumeDb);
MK_S32 MK_UPVQE_GetVolume(MK_VOID* hUpVqe, MK_S32* ps32VolumeDb);

// The frame size the instance processes in (80 to 4096); 0 for null.
MK_S32 MK_UPVQE_GetFrameSample(MK_VOID* hUpVqe);
