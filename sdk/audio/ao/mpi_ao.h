// Audio output (module 22): three devices of twenty channels over /dev/ao. A channel takes PCM frames
// of any length up to 4096 points: it keeps one byte ring per track in media memory and hands the driver
// whole device frames from them, so a frame reaches the driver with the next send. Optional resampling,
// voice-quality processing (HPF, ANR, AGC, EQ) and the multi-band compressor all run in one playback
// voice-quality instance per channel, rebuilt whole at every change of them.
//
// Threads: every call may come from any thread; each channel's calls run under that channel's lock,
// sends included (a send may block in the driver for its time-out). MPI_AO_Init and MPI_AO_Exit belong
// to the media system's start and stop.
#pragma once

#include "sdk/audio/ao/ao_ioctl.h"
#include "sdk/bind/sys_bind.h"
#include "sdk/common/mk_comm_audio.h"
#include "sdk/common/mk_type.h"

typedef MK_S32 AUDIO_DEV;
typedef MK_S32 AO_CHN;

// A channel's voice-quality attribute: the four modules, the work rate (8000 or 16000; 48000 with only
// HPF), the frame (80 to 4096), the work state (0 to 2) and the modules' blocks.
typedef struct {
    MK_U32 bHpfOpen;
    MK_U32 bAnrOpen;
    MK_U32 bAgcOpen;
    MK_U32 bEqOpen;
    MK_S32 s32WorkSampleRate;
    MK_S32 s32FrameSample;
    MK_U32 enWorkstate;
    VQE_HPF_CONFIG_S stHpfCfg;
    VQE_ANR_CONFIG_S stAnrCfg;
    VQE_AGC_CONFIG_S stAgcCfg;
    VQE_EQ_CONFIG_S stEqCfg;
} AO_VQE_ATTR_S;

// The multi-band compressor's attribute: enable (1), rate (8000 or 16000), frame (81 to 4096), work
// mode (0 to 3) and the compressor's block.
typedef struct {
    MK_U32 bEnable;
    MK_U32 u32SampleRate;
    MK_U32 u32FrameLen;
    MK_U32 u32WorkMode;
    VQE_MBC_CONFIG_S stMbcParam;
} AO_MBC_ATTR_S;

// Module start and stop. Init registers audio output with the in-process bind table as the receiver
// of module 22 and is done once (0; -1 never happens here, locks cannot fail to start); Exit
// unregisters it and frees every channel's rings, buffers, processing instance and dump files (0).
MK_S32 MPI_AO_Init(MK_VOID);
MK_S32 MPI_AO_Exit(MK_VOID);
// The bind table's receive callback: hands a bound audio decoder's frame (data type 5) to the channel
// with MK_MPI_AO_SendFrame, waiting without limit.
MK_S32 MPI_AO_ReceiveFrm(MK_S32 s32DevId, MK_S32 s32ChnId, MK_U32 u32Arg, MPP_DATA_TYPE_E enDataType,
                         MK_VOID* pvData);

MK_S32 MK_MPI_AO_SetPubAttr(AUDIO_DEV AoDevId, const AIO_ATTR_S* pstAttr);
MK_S32 MK_MPI_AO_GetPubAttr(AUDIO_DEV AoDevId, AIO_ATTR_S* pstAttr);
MK_S32 MK_MPI_AO_Enable(AUDIO_DEV AoDevId);
MK_S32 MK_MPI_AO_Disable(AUDIO_DEV AoDevId);
MK_S32 MK_MPI_AO_SetMute(AUDIO_DEV AoDevId, MK_BOOL bEnable, const AUDIO_FADE_S* pstFade);
MK_S32 MK_MPI_AO_GetMute(AUDIO_DEV AoDevId, MK_BOOL* pbEnable, AUDIO_FADE_S* pstFade);
MK_S32 MK_MPI_AO_SetClkDir(AUDIO_DEV AoDevId, MK_U32 enClkDir);

MK_S32 MK_MPI_AO_EnableChn(AUDIO_DEV AoDevId, AO_CHN AoChn);
MK_S32 MK_MPI_AO_DisableChn(AUDIO_DEV AoDevId, AO_CHN AoChn);
MK_S32 MK_MPI_AO_ClearChnBuf(AUDIO_DEV AoDevId, AO_CHN AoChn);
MK_S32 MK_MPI_AO_QueryChnStat(AUDIO_DEV AoDevId, AO_CHN AoChn, AO_CHN_STATE_S* pstStatus);
MK_S32 MK_MPI_AO_SaveFile(AUDIO_DEV AoDevId, AO_CHN AoChn, const AUDIO_DUMPFILE_CFG_S* pstSaveFileInfo);
MK_S32 MK_MPI_AO_QueryFileStatus(AUDIO_DEV AoDevId, AO_CHN AoChn, MK_U32* pu32Saving);

// Resampling from u32InRate to the device's rate (mono 16-bit devices only).
MK_S32 MK_MPI_AO_EnableReSmp(AUDIO_DEV AoDevId, AO_CHN AoChn, MK_U32 u32InRate);
MK_S32 MK_MPI_AO_DisableReSmp(AUDIO_DEV AoDevId, AO_CHN AoChn);

// Hands a frame of up to 4096 points to the channel; the driver gets it with the next send. Time-out in
// ms for the driver: -1 waits, 0 does not.
MK_S32 MK_MPI_AO_SendFrame(AUDIO_DEV AoDevId, AO_CHN AoChn, const AUDIO_FRAME_S* pstData, MK_S32 s32MilliSec);

MK_S32 MK_MPI_AO_SetVqeAttr(AUDIO_DEV AoDevId, AO_CHN AoChn, const AO_VQE_ATTR_S* pstVqeConfig);
MK_S32 MK_MPI_AO_GetVqeAttr(AUDIO_DEV AoDevId, AO_CHN AoChn, AO_VQE_ATTR_S* pstVqeConfig);
MK_S32 MK_MPI_AO_EnableVqe(AUDIO_DEV AoDevId, AO_CHN AoChn);
MK_S32 MK_MPI_AO_DisableVqe(AUDIO_DEV AoDevId, AO_CHN AoChn);
MK_S32 MK_MPI_AO_EnableMBC(AUDIO_DEV AoDevId, AO_CHN AoChn, const AO_MBC_ATTR_S* pstMbcAttr);
MK_S32 MK_MPI_AO_DisableMBC(AUDIO_DEV AoDevId, AO_CHN AoChn);

// The channel's whole playback configuration (resampling, processing or the compressor must be on).
MK_S32 MPI_AO_GetVqeAttr(AUDIO_DEV AoDevId, AO_CHN AoChn, DNVQE_CONFIG_S* pstConfig);
MK_S32 MPI_AO_SetResmpDbgInfo(AUDIO_DEV AoDevId, AO_CHN AoChn, const AO_RESMP_DBG_S* pstInfo);
MK_S32 MPI_AO_SetVqeDbgInfo(AUDIO_DEV AoDevId, AO_CHN AoChn, const AO_VQE_DBG_S* pstInfo);
