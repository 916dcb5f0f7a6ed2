// ADEC: audio decoder channels. Up to 32 channels, each with a decoder chosen by payload type from a
// registry of 20. Decoding runs in user space: in pack mode each send decodes one frame at once; in
// stream mode sends append to a 16384-byte buffer that the channel's decode thread ("ADEC_DecProc")
// decodes as whole frames arrive. Decoded frames wait in a pool of slots for MK_MPI_ADEC_GetFrame, or
// leave through the in-process bind table on the output thread ("ADEC_SendAoProc") whenever the
// channel is bound to a receiver. The driver (/dev/adec) only learns of channels and statistics.
//
// Results: 0, a code of module 24 (0xA018xxxx, adec_ioctl.h), or a decoder's own code. Any thread
// may call any operation; a blocking send or get on a channel being destroyed returns 0xA0188005.
#pragma once

#include "sdk/audio/adec/adec_ioctl.h"
#include "sdk/common/mk_comm_audio.h"
#include "sdk/common/mk_type.h"

// One decoder of the registry.
typedef struct {
    MK_U32 enType;  // payload type; (MK_U32)-1 marks a free slot
    MK_CHAR aszName[16];
    MK_S32 (*pfnOpenDecoder)(MK_VOID* pDecoderAttr, MK_VOID** ppDecoder);
    // Decodes one frame from *pu8Inbuf, advancing it and lowering *ps32LeftByte by what it consumed;
    // 0, MK_ERR_ADEC_BUF_LACK without consuming when less than a frame is left, or a failure.
    MK_S32 (*pfnDecodeFrm)
    (MK_VOID* pDecoder, MK_U8** pu8Inbuf, MK_S32* ps32LeftByte, MK_U16* pu16Outbuf, MK_U32* pu32OutLen,
     MK_U32* pu32Chns);
    MK_S32 (*pfnGetFrmInfo)(MK_VOID* pDecoder, MK_VOID* pInfo);
    MK_S32 (*pfnCloseDecoder)(MK_VOID* pDecoder);
    MK_S32 (*pfnResetDecoder)(MK_VOID* pDecoder);  // may be null
} ADEC_DECODER_S;

// A decoded frame handed out, and the slot it lives in.
typedef struct {
    AUDIO_FRAME_S* pstFrame;
    MK_U32 u32Id;
} AUDIO_FRAME_INFO_S;

// Module start and end, called by the media system's start and stop. Init registers ADEC as a bind
// sender and the built-in decoders; 0 or 0xA018800C. Both are safe to call again.
MK_S32 MPI_ADEC_Init(MK_VOID);
MK_S32 MPI_ADEC_Exit(MK_VOID);

// 0 with the slot index; 0xA0188006 null argument or required function; 0xA018800F registry full or
// payload type already there.
MK_S32 MPI_ADEC_RegisterDecoder(MK_S32* ps32Handle, const ADEC_DECODER_S* pstDecoder);

MK_S32 MK_MPI_ADEC_CreateChn(MK_S32 AdChn, const ADEC_CHN_ATTR_S* pstAttr);
MK_S32 MK_MPI_ADEC_DestroyChn(MK_S32 AdChn);
// Pack mode: one packet of whole frames, at most 16384 bytes. Stream mode: any number of bytes; a
// blocking send waits for room, a non-blocking one larger than the room is refused whole.
MK_S32 MK_MPI_ADEC_SendStream(MK_S32 AdChn, const AUDIO_STREAM_S* pstStream, MK_U32 bBlock);
// The oldest decoded frame; 0xA018800E when a non-blocking get finds none.
MK_S32 MK_MPI_ADEC_GetFrame(MK_S32 AdChn, AUDIO_FRAME_INFO_S* pstFrmInfo, MK_U32 bBlock);
// Gives a taken frame back; 0xA0188003 for a frame that is not out.
MK_S32 MK_MPI_ADEC_ReleaseFrame(MK_S32 AdChn, const AUDIO_FRAME_INFO_S* pstFrmInfo);
// Drops the buffered stream and every frame not yet taken.
MK_S32 MK_MPI_ADEC_ClearChnBuf(MK_S32 AdChn);
// bInstant 0: the decode thread resets the decoder once no whole frame is left; 1: at once.
MK_S32 MK_MPI_ADEC_SendEndOfStream(MK_S32 AdChn, MK_U32 bInstant);
