// The built-in voice codecs as the encoder and decoder registries see them: LPCM (copied bytes) and
// G.711 A-law and mu-law, IMA/DVI ADPCM and G.726 through the voice codec engine, plus the two
// registration functions that the encoder and decoder modules call once at their start.
//
// Each adapter context belongs to one channel and is used by one thread at a time; the adapters keep
// no shared state. Null pointers are internal assertions (the registries never pass one).
#pragma once

#include "sdk/common/mk_comm_audio.h"
#include "sdk/common/mk_type.h"

// Registers, in this order, LPCM (23), G.711 A-law (19), G.711 mu-law (20), ADPCM (49) and G.726 (21);
// stops at the first refusal and returns its code, else 0.
MK_S32 AUDIO_RegisterEncoders(MK_VOID);
MK_S32 AUDIO_RegisterDecoders(MK_VOID);

// ---- Encoders: Open(attribute, out handle), Encode(handle, frame, output, out length), Close ----
MK_S32 OpenLPCMEncoder(MK_VOID* pEncoderAttr, MK_VOID** ppEncoder);
MK_S32 EncodeLPCMFrm(MK_VOID* pEncoder, const AUDIO_FRAME_S* pstData, MK_U8* pu8Outbuf, MK_U32* pu32OutLen);
MK_S32 CloseLPCMEncoder(MK_VOID* pEncoder);
MK_S32 OpenG711AEncoder(MK_VOID* pEncoderAttr, MK_VOID** ppEncoder);
MK_S32 OpenG711UEncoder(MK_VOID* pEncoderAttr, MK_VOID** ppEncoder);
MK_S32 EncodeG711AFrm(MK_VOID* pEncoder, const AUDIO_FRAME_S* pstData, MK_U8* pu8Outbuf, MK_U32* pu32OutLen);
MK_S32 EncodeG711UFrm(MK_VOID* pEncoder, const AUDIO_FRAME_S* pstData, MK_U8* pu8Outbuf, MK_U32* pu32OutLen);
MK_S32 CloseG711AEncoder(MK_VOID* pEncoder);
MK_S32 CloseG711UEncoder(MK_VOID* pEncoder);
MK_S32 OpenADPCMEncoder(MK_VOID* pEncoderAttr, MK_VOID** ppEncoder);
MK_S32 EncodeADPCMFrm(MK_VOID* pEncoder, const AUDIO_FRAME_S* pstData, MK_U8* pu8Outbuf, MK_U32* pu32OutLen);
MK_S32 CloseADPCMEncoder(MK_VOID* pEncoder);
MK_S32 OpenG726Encoder(MK_VOID* pEncoderAttr, MK_VOID** ppEncoder);
MK_S32 EncodeG726Frm(MK_VOID* pEncoder, const AUDIO_FRAME_S* pstData, MK_U8* pu8Outbuf, MK_U32* pu32OutLen);
MK_S32 CloseG726Encoder(MK_VOID* pEncoder);

// ---- Decoders: Open, Decode(handle, in/out read pointer, in/out bytes left, PCM out, out PCM bytes,
// out channel count), Close, Reset. Decode returns 0xA0188041 without consuming when fewer bytes are
// left than the next frame holds. ----
MK_S32 OpenLPCMDecoder(MK_VOID* pDecoderAttr, MK_VOID** ppDecoder);
MK_S32 DecodeLPCMFrm(MK_VOID* pDecoder, MK_U8** pu8Inbuf, MK_S32* ps32LeftByte, MK_U16* pu16Outbuf,
                     MK_U32* pu32OutLen, MK_U32* pu32Chns);
MK_S32 CloseLPCMDecoder(MK_VOID* pDecoder);
MK_S32 OpenG711ADecoder(MK_VOID* pDecoderAttr, MK_VOID** ppDecoder);
MK_S32 OpenG711UDecoder(MK_VOID* pDecoderAttr, MK_VOID** ppDecoder);
MK_S32 DecodeG711AFrm(MK_VOID* pDecoder, MK_U8** pu8Inbuf, MK_S32* ps32LeftByte, MK_U16* pu16Outbuf,
                      MK_U32* pu32OutLen, MK_U32* pu32Chns);
MK_S32 DecodeG711UFrm(MK_VOID* pDecoder, MK_U8** pu8Inbuf, MK_S32* ps32LeftByte, MK_U16* pu16Outbuf,
                      MK_U32* pu32OutLen, MK_U32* pu32Chns);
MK_S32 CloseG711ADecoder(MK_VOID* pDecoder);
MK_S32 CloseG711UDecoder(MK_VOID* pDecoder);
MK_S32 ResetG711ADecoder(MK_VOID* pDecoder);
MK_S32 ResetG711UDecoder(MK_VOID* pDecoder);
MK_S32 OpenADPCMDecoder(MK_VOID* pDecoderAttr, MK_VOID** ppDecoder);
MK_S32 DecodeADPCMFrm(MK_VOID* pDecoder, MK_U8** pu8Inbuf, MK_S32* ps32LeftByte, MK_U16* pu16Outbuf,
                      MK_U32* pu32OutLen, MK_U32* pu32Chns);
MK_S32 CloseADPCMDecoder(MK_VOID* pDecoder);
MK_S32 ResetADPCMDecoder(MK_VOID* pDecoder);
MK_S32 OpenG726Decoder(MK_VOID* pDecoderAttr, MK_VOID** ppDecoder);
MK_S32 DecodeG726Frm(MK_VOID* pDecoder, MK_U8** pu8Inbuf, MK_S32* ps32LeftByte, MK_U16* pu16Outbuf,
                     MK_U32* pu32OutLen, MK_U32* pu32Chns);
MK_S32 CloseG726Decoder(MK_VOID* pDecoder);
MK_S32 ResetG726Decoder(MK_VOID* pDecoder);

// Shared by every decoder; reads and writes nothing.
MK_S32 GetFrmInfo(MK_VOID* pDecoder, MK_VOID* pInfo);
