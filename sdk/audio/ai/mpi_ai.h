// AI: audio input devices and channels. Three capture devices of up to 20 channels each, driven
// through /dev/ai. A channel hands out captured frames (MK_MPI_AI_GetFrame, given back with
// MK_MPI_AI_ReleaseFrame), optionally resampled and run through the record voice-quality engine: one
// engine instance per channel does both, and the audio encoder finds it through g_astVqeState to run a
// bound channel's frames through the same instance (a frame that both the caller and an encoder read
// goes through it once, and both get that output). On request of the driver's dump configuration the
// captured, processed and reference samples go to files.
//
// A channel is addressed by the index device x 20 + channel. Results: 0, a code of module 21
// (0xA015xxxx, ai_ioctl.h), a code of the pool layer, or the driver's answer unchanged. Any thread may
// call any operation; each channel's state is guarded by its mutex.
#pragma once

#include <cstdio>
#include <mutex>

#include "sdk/audio/ai/ai_ioctl.h"
#include "sdk/audio/vqe/vqe_config.h"
#include "sdk/common/mk_comm_audio.h"
#include "sdk/common/mk_debug.h"
#include "sdk/common/mk_type.h"
#include "sdk/vb/vb_ioctl.h"

// A channel's voice-quality attribute: which record modules run and how. bUsrMode 0 in a module's
// block selects the engine's defaults (its other fields are then not checked).
typedef struct {
    MK_U32 bHpfOpen;
    MK_U32 bAecOpen;
    MK_U32 bAnrOpen;
    MK_U32 bRnrOpen;
    MK_U32 bAgcOpen;
    MK_U32 bEqOpen;
    MK_U32 bHdrOpen;
    MK_S32 s32WorkSampleRate;  // 8000, 16000 or 48000
    MK_S32 s32FrameSample;     // 80 to 4096
    MK_U32 enWorkstate;        // 0 to 2
    VQE_HPF_CONFIG_S stHpfCfg;
    VQE_AEC_CONFIG_S stAecCfg;
    VQE_ANR_CONFIG_S stAnrCfg;
    VQE_RNR_CONFIG_S stRnrCfg;
    VQE_AGC_CONFIG_S stAgcCfg;
    VQE_EQ_CONFIG_S stEqCfg;
    VQE_HDR_CONFIG_S stHdrCfg;
} AI_VQE_CONFIG_S;

// What the audio encoder reads of an input channel's voice-quality state. Every replacement of the
// instance happens under `mutex` (taken inside the channel's own mutex), and the handle here follows.
typedef struct {
    MK_VOID* hVqe;  // null when the channel has no instance
    MK_U32 bVqeEnable;
    MK_U32 bResmpEnable;
    MK_S32 s32ResmpPoolId;  // -1 when none
    std::mutex mutex;
} AI_VQE_STATE_S;

extern AI_VQE_STATE_S g_astVqeState[AI_DEV_MAX_NUM][AI_MAX_CHN_NUM];
// The channels' dump files (captured input, processed output, echo reference), by channel index.
extern FILE* pfdAiIn[AI_CHN_INDEX_NUM];
extern FILE* pfdAiOut[AI_CHN_INDEX_NUM];
extern FILE* pfdAiRef[AI_CHN_INDEX_NUM];

// Module start and stop, called by the media system's start and stop; both safe to call again. Exit
// gives back what the channels still hold (work buffers, instances, resampling pools, mappings).
MK_S32 MPI_AI_Init(MK_VOID);
MK_S32 MPI_AI_Exit(MK_VOID);

// ---- Devices ----
MK_S32 MK_MPI_AI_SetPubAttr(MK_S32 AiDevId, const AIO_ATTR_S* pstAttr);
MK_S32 MK_MPI_AI_GetPubAttr(MK_S32 AiDevId, AIO_ATTR_S* pstAttr);
MK_S32 MK_MPI_AI_ClrPubAttr(MK_S32 AiDevId);
// Enables the device and maps its frame pool into the process (once).
MK_S32 MK_MPI_AI_Enable(MK_S32 AiDevId);
// Unmaps the frame pool, then disables the device.
MK_S32 MK_MPI_AI_Disable(MK_S32 AiDevId);
MK_S32 MK_MPI_AI_SetTrackMode(MK_S32 AiDevId, MK_U32 enTrackMode);  // 0 to 7
MK_S32 MK_MPI_AI_GetTrackMode(MK_S32 AiDevId, MK_U32* penTrackMode);
MK_S32 MK_MPI_AI_SetClkDir(MK_S32 AiDevId, MK_U32 enClkDir);  // 0 or 1
MK_S32 MK_MPI_AI_GetClkDir(MK_S32 AiDevId, MK_U32* penClkDir);

// ---- Channels ----
// 0xA0158012 while a disable of the channel is still under way.
MK_S32 MK_MPI_AI_EnableChn(MK_S32 AiDevId, MK_S32 AiChn);
// Switches resampling and processing off, waits until the caller gave back every frame, and tears the
// channel down; a refusal of the driver on the way is returned after the rest is done. Meanwhile the
// channel takes only its frames coming back: other operations find it not enabled, and enable and a
// second disable get 0xA0158012 (as a disable does while resampling is being switched off).
MK_S32 MK_MPI_AI_DisableChn(MK_S32 AiDevId, MK_S32 AiChn);
MK_S32 MK_MPI_AI_SetChnParam(MK_S32 AiDevId, MK_S32 AiChn, const AI_CHN_PARAM_S* pstChnParam);
MK_S32 MK_MPI_AI_GetChnParam(MK_S32 AiDevId, MK_S32 AiChn, AI_CHN_PARAM_S* pstChnParam);
// The channel's descriptor for select: readable while a frame waits.
MK_S32 MK_MPI_AI_GetFd(MK_S32 AiDevId, MK_S32 AiChn);

// ---- Frames ----
// s32MilliSec -1 waits until a (processed) frame is there, 0 returns at once, else milliseconds.
MK_S32 MK_MPI_AI_GetFrame(MK_S32 AiDevId, MK_S32 AiChn, AUDIO_FRAME_S* pstFrm, AEC_FRAME_S* pstAecFrm,
                          MK_S32 s32MilliSec);
// Gives back a frame as it was handed out; one given back already is refused (0xA0158003).
MK_S32 MK_MPI_AI_ReleaseFrame(MK_S32 AiDevId, MK_S32 AiChn, const AUDIO_FRAME_S* pstFrm,
                              const AEC_FRAME_S* pstAecFrm);

// ---- Resampling ----
// Both 0xA0158012 while resampling is being switched off (waiting for resampled frames to come back).
MK_S32 MK_MPI_AI_EnableReSmp(MK_S32 AiDevId, MK_S32 AiChn, MK_U32 enOutSampleRate);
MK_S32 MK_MPI_AI_DisableReSmp(MK_S32 AiDevId, MK_S32 AiChn);

// ---- Voice quality ----
MK_S32 MK_MPI_AI_SetVqeAttr(MK_S32 AiDevId, MK_S32 AiChn, MK_S32 AoDevId, MK_S32 AoChn,
                            const AI_VQE_CONFIG_S* pstVqeConfig);
MK_S32 MK_MPI_AI_GetVqeAttr(MK_S32 AiDevId, MK_S32 AiChn, AI_VQE_CONFIG_S* pstVqeConfig);
MK_S32 MK_MPI_AI_EnableVqe(MK_S32 AiDevId, MK_S32 AiChn);
MK_S32 MK_MPI_AI_DisableVqe(MK_S32 AiDevId, MK_S32 AiChn);
MK_S32 MK_MPI_AI_SetVqeVolume(MK_S32 AiDevId, MK_S32 AiChn, MK_S32 s32VolumeDb);  // -20 to 10 dB
MK_S32 MK_MPI_AI_GetVqeVolume(MK_S32 AiDevId, MK_S32 AiChn, MK_S32* ps32VolumeDb);
MK_S32 MK_MPI_AI_EnableAecRefFrame(MK_S32 AiDevId, MK_S32 AiChn, MK_S32 AoDevId, MK_S32 AoChn);
MK_S32 MK_MPI_AI_DisableAecRefFrame(MK_S32 AiDevId, MK_S32 AiChn);

// ---- Dump files ----
// Sets the driver's dump configuration; the files are written by later frame calls.
MK_S32 MK_MPI_AI_SaveFile(MK_S32 AiDevId, MK_S32 AiChn, const AUDIO_SAVE_FILE_INFO_S* pstSaveFileInfo);
// 1 while dumping goes on, 0 once the size limit ended it.
MK_S32 MK_MPI_AI_QueryFileStatus(MK_S32 AiDevId, MK_S32 AiChn, MK_U32* pbCfg);

// ---- Module-internal steps, used by the audio modules ----
// Each takes the channel's mutex and keeps it, but for the wait for resampled frames to come back.
MK_S32 MPI_AI_EnableReSmp(MK_S32 s32ChnIndex, const AUDIO_RESAMPLE_ATTR_S* pstAttr);
MK_S32 MPI_AI_DisableReSmp(MK_S32 s32ChnIndex);
// The whole engine configuration of the channel's instance.
MK_S32 MPI_AI_GetVqeAttr(MK_S32 AiDevId, MK_S32 AiChn, UPVQE_CONFIG_S* pstConfig);
MK_S32 MPI_AI_SetResmpDbgInfo(MK_S32 AiDevId, MK_S32 AiChn, const AI_RESMP_DBG_S* pstInfo);
MK_S32 MPI_AI_SetVqeDbgInfo(MK_S32 AiDevId, MK_S32 AiChn, const AI_VQE_DBG_S* pstInfo);
// A captured frame that both the caller and an encoder bound to the channel read goes through the
// channel's instance once: the first reader keeps here what came of it, and the other gives out the
// same. Both with the channel's g_astVqeState mutex held, by the frame record as the driver handed it
// out; frames with no physical address (not the driver's) are never kept.
typedef enum {
    AI_VQE_OUTCOME_NONE,      // not seen yet
    AI_VQE_OUTCOME_RAW,       // handed on unprocessed
    AI_VQE_OUTCOME_FAILED,    // the instance took it and gave nothing back
    AI_VQE_OUTCOME_IN_PLACE,  // the output overwrote the frame's first track
    AI_VQE_OUTCOME_COPY,      // the output went elsewhere; a copy is kept
} AI_VQE_OUTCOME_E;
typedef struct {
    AI_VQE_OUTCOME_E enOutcome;
    MK_U32 u32Len;         // bytes of output
    const MK_U8* pu8Copy;  // the kept output (AI_VQE_OUTCOME_COPY), valid while the mutex is held
} AI_VQE_DONE_S;
AI_VQE_DONE_S MPI_AI_FindVqeDone(MK_S32 AiDevId, MK_S32 AiChn, const AUDIO_FRAME_S* pstCaptured);
// pOut and u32Len (at most AI_CACHE_BUF_LEN bytes) are the output for AI_VQE_OUTCOME_COPY.
MK_VOID MPI_AI_KeepVqeDone(MK_S32 AiDevId, MK_S32 AiChn, const AUDIO_FRAME_S* pstCaptured,
                           AI_VQE_OUTCOME_E enOutcome, const MK_VOID* pOut, MK_U32 u32Len);
// A block of an input channel's resampling pool for up-sampled output, as the input and the encoder
// take one: 0 with the block and its addresses, or -1 after the message (logged at `site`) and with
// nothing left taken.
MK_S32 MPI_AI_TakeResmpBlock(mk::TraceSite site, VB_POOL Pool, VB_BLK* pBlk, MK_U32* pu32PhyAddr,
                             MK_VOID** ppVirAddr);
