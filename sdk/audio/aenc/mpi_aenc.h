// AENC: audio encoder channels. Up to 49 channels, each with an encoder chosen by payload type from a
// registry of 20, a stream buffer in media memory shared with the driver (/dev/aenc), and a worker
// thread ("aenc_get") that takes the frames of the bound audio input channel from the driver and
// encodes them. Frames run through the input channel's voice-quality instance when it processes or
// resamples. The application takes packets with MK_MPI_AENC_GetStream and gives them back, oldest
// first, with MK_MPI_AENC_ReleaseStream.
//
// Results: 0, a code of module 23 (0xA017xxxx, aenc_ioctl.h), or the driver's answer unchanged. Any
// thread may call any operation; create and destroy of one channel are serialised by its mutex.
#pragma once

#include "sdk/audio/aenc/aenc_ioctl.h"
#include "sdk/common/mk_comm_audio.h"
#include "sdk/common/mk_type.h"

#define MK_AENC_NO_PACKET static_cast<MK_S32>(0xFCFCFCFCu)  // an encoder's "this frame gives no packet"

// One encoder of the registry.
typedef struct {
    MK_U32 enType;        // payload type; (MK_U32)-1 marks a free slot
    MK_U32 u32MaxFrmLen;  // the largest packet one frame gives, in bytes
    MK_CHAR aszName[16];
    MK_S32 (*pfnOpenEncoder)(MK_VOID* pEncoderAttr, MK_VOID** ppEncoder);
    // 0 with the packet at pu8Outbuf and its length set; MK_AENC_NO_PACKET; or a failure.
    MK_S32 (*pfnEncodeFrm)
    (MK_VOID* pEncoder, const AUDIO_FRAME_S* pstData, MK_U8* pu8Outbuf, MK_U32* pu32OutLen);
    MK_S32 (*pfnCloseEncoder)(MK_VOID* pEncoder);
} AENC_ENCODER_S;

// Module start and end, called by the media system's start and stop. Init registers the built-in
// encoders; 0 or 0xA017800C. Both are safe to call again.
MK_S32 MPI_AENC_Init(MK_VOID);
MK_S32 MPI_AENC_Exit(MK_VOID);

// 0 with the slot index in *ps32Handle; 0xA0178006 null argument or function; 0xA017800F registry
// full or payload type already there.
MK_S32 MPI_AENC_RegisterEncoder(MK_S32* ps32Handle, const AENC_ENCODER_S* pstEncoder);
// 0; 0xA0178003 index above 19; 0xA017800E free slot.
MK_S32 MPI_AENC_UnRegisterEncoder(MK_S32 s32Handle);

MK_S32 MK_MPI_AENC_CreateChn(MK_S32 AeChn, const AENC_CHN_ATTR_S* pstAttr);
// Stops the worker, frees the channel and closes its encoder; 0 for a channel that does not exist.
MK_S32 MK_MPI_AENC_DestroyChn(MK_S32 AeChn);
// Processes and encodes one frame (the worker's call). 0 also when the frame only went into the
// sample rings or gave no packet.
MK_S32 MK_MPI_AENC_SendFrame(MK_S32 AeChn, const AUDIO_FRAME_S* pstFrm, const AEC_FRAME_S* pstAecFrm);
// The next packet; s32MilliSec -1 waits without limit, 0 returns at once.
MK_S32 MK_MPI_AENC_GetStream(MK_S32 AeChn, AUDIO_STREAM_S* pstStream, MK_S32 s32MilliSec);
// Gives back the oldest packet taken; 0xA0178003 for any other.
MK_S32 MK_MPI_AENC_ReleaseStream(MK_S32 AeChn, const AUDIO_STREAM_S* pstStream);
// The channel's descriptor for select; readable while packets wait.
MK_S32 MK_MPI_AENC_GetFd(MK_S32 AeChn);
MK_S32 MK_MPI_AENC_SetDumpConfig(MK_S32 AeChn, const AUDIO_DUMPFILE_CFG_S* pstCfg);
MK_S32 MK_MPI_AENC_GetDumpConfig(MK_S32 AeChn, AUDIO_DUMPFILE_CFG_S* pstCfg);
