#include "sdk/audio/adp/audio_voice_adp.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sdk/audio/adec/mpi_adec.h"
#include "sdk/audio/adp/audio_fault.h"
#include "sdk/audio/aenc/mpi_aenc.h"
#include "sdk/audio/codecs/voice_codec.h"
#include "sdk/common/mk_debug.h"

namespace {

constexpr const char* kSource = "sdk/code/shelf/audio/audio/mpi/audio/audio_voice_adp";

// One channel's coder: the engine's codec id, the ADPCM type where it matters, the engine state.
struct VoiceCtx {
    MK_U32 u32CodecId;
    MK_U32 u32AdpcmType;
    VOICE_CODEC_STATE_S stState;
};

// The largest packet of each built-in, as the encoder registry is told.
constexpr MK_U32 kLpcmMaxFrm = 8192;
constexpr MK_U32 kG711MaxFrm = 960;
constexpr MK_U32 kAdpcmMaxFrm = 480;
constexpr MK_U32 kG726MaxFrm = 960;

// Engine codec id of each ADPCM type and G.726 rate code.
constexpr MK_U32 kAdpcmCodecId[ADPCM_TYPE_BUTT] = {VOICE_CODEC_DVI4, VOICE_CODEC_IMA, VOICE_CODEC_DVI4_RAW};
constexpr MK_U32 kG726CodecId[G726_BUTT] = {
    VOICE_CODEC_G726_16,     VOICE_CODEC_G726_24,     VOICE_CODEC_G726_32,     VOICE_CODEC_G726_40,
    VOICE_CODEC_G726_16_MSB, VOICE_CODEC_G726_24_MSB, VOICE_CODEC_G726_32_MSB, VOICE_CODEC_G726_40_MSB,
};

bool IsFramePoints(MK_U32 points) {
    return points == 80 || points == 160 || points == 240 || points == 320 || points == 480;
}

// IMA frames carry their first sample uncoded: one point more.
bool IsImaPoints(MK_U32 points) {
    return points == 81 || points == 161 || points == 241 || points == 321 || points == 481;
}

MK_U32 FramePoints(const AUDIO_FRAME_S* f) {
    if (f->enBitwidth >= AUDIO_BIT_WIDTH_BUTT) return 0;
    return f->u32Len / AudioBytesPerPoint(f->enBitwidth);
}

// Makes a zeroed context for `codecId` and opens the engine on it; `what` names the context in the
// allocation message, `noMem` is the module's code.
MK_S32 OpenContext(const char* func, int line, MK_VOID** pp, MK_U32 codecId, MK_U32 adpcmType,
                   const char* what, MK_S32 noMem) {
    auto* ctx = static_cast<VoiceCtx*>(
        mk::audio::FaultFires(mk::audio::Fault::kAdpAlloc) ? nullptr : std::malloc(sizeof(VoiceCtx)));
    if (ctx == nullptr) {
        std::printf("%s, %d, malloc %s context failed!\n", func, line, what);
        return noMem;
    }
    std::memset(ctx, 0, sizeof(*ctx));
    ctx->u32CodecId = codecId;
    ctx->u32AdpcmType = adpcmType;
    MK_S32 ret = VOICE_CodecOpen(&ctx->stState, static_cast<int16_t>(codecId));
    if (ret != MK_SUCCESS) {
        std::free(ctx);
        return ret;
    }
    *pp = ctx;
    return MK_SUCCESS;
}

// The engine encode of track 0; the packet is the frame header and payload the engine wrote.
MK_S32 EncodeVoice(VoiceCtx* ctx, const AUDIO_FRAME_S* f, MK_U8* out, MK_U32* outLen) {
    MK_S32 ret = MK_VOICE_EncodeFrame(&ctx->stState, static_cast<const int16_t*>(f->pVirAddr[0]), out,
                                      static_cast<int16_t>(f->u32Len / 2));
    const MK_U32 words = static_cast<MK_U32>(out[2]) | (static_cast<MK_U32>(out[3]) << 8);
    *outLen = (words + 2) * 2;
    return ret;
}

// The engine decode of the frame at the read pointer; a frame the engine refuses is skipped.
MK_S32 DecodeVoice(VoiceCtx* ctx, MK_U8** in, MK_S32* left, MK_U16* out, MK_U32* outLen) {
    // The length sits in the header: without four bytes there is no header to read.
    if (*left < static_cast<MK_S32>(sizeof(VOICE_FRAME_HEADER))) return MK_ERR_ADEC_BUF_LACK;
    const MK_S32 len = ((*in)[2] + 2) * 2;
    if (len > *left) return MK_ERR_ADEC_BUF_LACK;
    uint16_t count = 0;
    MK_S32 ret = MK_VOICE_DecodeFrame(&ctx->stState, *in, reinterpret_cast<int16_t*>(out), &count);
    *left -= len;
    *in += len;
    *outLen = static_cast<MK_U32>(static_cast<MK_S16>(count) * 2);
    return ret;
}

MK_S32 ReopenAndFree(VoiceCtx* ctx) {
    VOICE_CodecOpen(&ctx->stState, static_cast<int16_t>(ctx->u32CodecId));
    std::free(ctx);
    return MK_SUCCESS;
}

MK_S32 Reopen(VoiceCtx* ctx) {
    return VOICE_CodecOpen(&ctx->stState, static_cast<int16_t>(ctx->u32CodecId));
}

VoiceCtx* Ctx(MK_VOID* p) {
    return static_cast<VoiceCtx*>(p);
}

}  // namespace

// Close runs the codec-open step once more and frees the context; Reset runs it alone.
#define ADP_CLOSE(name, handle)                \
    MK_S32 name(MK_VOID* handle) {             \
        MK_ASSERT_IN(kSource, handle != NULL); \
        return ReopenAndFree(Ctx(handle));     \
    }
#define ADP_RESET(name)                          \
    MK_S32 name(MK_VOID* pDecoder) {             \
        MK_ASSERT_IN(kSource, pDecoder != NULL); \
        return Reopen(Ctx(pDecoder));            \
    }

// ---- LPCM ----

MK_S32 OpenLPCMEncoder(MK_VOID*, MK_VOID**) {
    return MK_SUCCESS;
}
MK_S32 CloseLPCMEncoder(MK_VOID*) {
    return MK_SUCCESS;
}
MK_S32 OpenLPCMDecoder(MK_VOID*, MK_VOID**) {
    return MK_SUCCESS;
}
MK_S32 CloseLPCMDecoder(MK_VOID*) {
    return MK_SUCCESS;
}
MK_S32 GetFrmInfo(MK_VOID*, MK_VOID*) {
    return MK_SUCCESS;
}

MK_S32 EncodeLPCMFrm(MK_VOID*, const AUDIO_FRAME_S* pstData, MK_U8* pu8Outbuf, MK_U32* pu32OutLen) {
    MK_ASSERT_IN(kSource, pstData != NULL);
    MK_ASSERT_IN(kSource, pu8Outbuf != NULL);
    MK_ASSERT_IN(kSource, pu32OutLen != NULL);
    std::memcpy(pu8Outbuf, pstData->pVirAddr[0], pstData->u32Len);
    *pu32OutLen = pstData->u32Len;
    return MK_SUCCESS;
}

MK_S32 DecodeLPCMFrm(MK_VOID*, MK_U8** pu8Inbuf, MK_S32* ps32LeftByte, MK_U16* pu16Outbuf, MK_U32* pu32OutLen,
                     MK_U32* pu32Chns) {
    MK_ASSERT_IN(kSource, pu8Inbuf != NULL);
    MK_ASSERT_IN(kSource, ps32LeftByte != NULL);
    MK_ASSERT_IN(kSource, pu16Outbuf != NULL);
    MK_ASSERT_IN(kSource, pu32OutLen != NULL);
    MK_ASSERT_IN(kSource, pu32Chns != NULL);
    *pu32Chns = 1;
    const MK_S32 left = *ps32LeftByte > 0 ? *ps32LeftByte : 0;
    std::memcpy(pu16Outbuf, *pu8Inbuf, static_cast<size_t>(left));
    *pu32OutLen = static_cast<MK_U32>(left);
    *ps32LeftByte = 0;
    return MK_SUCCESS;
}

// ---- G.711 ----

MK_S32 OpenG711AEncoder(MK_VOID*, MK_VOID** ppEncoder) {
    MK_ASSERT_IN(kSource, ppEncoder != NULL);
    return OpenContext(__func__, __LINE__, ppEncoder, VOICE_CODEC_G711A, 0, "G711A encoder",
                       MK_ERR_AENC_NOMEM);
}

MK_S32 OpenG711UEncoder(MK_VOID* pEncoderAttr, MK_VOID** ppEncoder) {
    MK_ASSERT_IN(kSource, pEncoderAttr != NULL);
    MK_ASSERT_IN(kSource, ppEncoder != NULL);
    return OpenContext(__func__, __LINE__, ppEncoder, VOICE_CODEC_G711U, 0, "G711U encoder",
                       MK_ERR_AENC_NOMEM);
}

MK_S32 OpenG711ADecoder(MK_VOID*, MK_VOID** ppDecoder) {
    MK_ASSERT_IN(kSource, ppDecoder != NULL);
    return OpenContext(__func__, __LINE__, ppDecoder, VOICE_CODEC_G711A, 0, "G711A decoder",
                       MK_ERR_ADEC_NOMEM);
}

MK_S32 OpenG711UDecoder(MK_VOID* pDecoderAttr, MK_VOID** ppDecoder) {
    MK_ASSERT_IN(kSource, pDecoderAttr != NULL);
    MK_ASSERT_IN(kSource, ppDecoder != NULL);
    return OpenContext(__func__, __LINE__, ppDecoder, VOICE_CODEC_G711U, 0, "G711U decoder",
                       MK_ERR_ADEC_NOMEM);
}

// G.711 and G.726 code frames of 80 to 480 points in steps of 80.
static MK_S32 EncodeCommon(const char* func, int line, MK_VOID* pEncoder, const AUDIO_FRAME_S* pstData,
                           MK_U8* pu8Outbuf, MK_U32* pu32OutLen) {
    MK_ASSERT_IN(kSource, pEncoder != NULL);
    MK_ASSERT_IN(kSource, pstData != NULL);
    MK_ASSERT_IN(kSource, pu8Outbuf != NULL);
    MK_ASSERT_IN(kSource, pu32OutLen != NULL);
    const MK_U32 points = FramePoints(pstData);
    if (!IsFramePoints(points)) {
        std::printf("%s, %d, points:%d of each frame is illegal!\n", func, line, points);
        return MK_ERR_AENC_ILLEGAL_PARAM;
    }
    return EncodeVoice(Ctx(pEncoder), pstData, pu8Outbuf, pu32OutLen);
}

MK_S32 EncodeG711AFrm(MK_VOID* pEncoder, const AUDIO_FRAME_S* pstData, MK_U8* pu8Outbuf, MK_U32* pu32OutLen) {
    return EncodeCommon(__func__, __LINE__, pEncoder, pstData, pu8Outbuf, pu32OutLen);
}

MK_S32 EncodeG711UFrm(MK_VOID* pEncoder, const AUDIO_FRAME_S* pstData, MK_U8* pu8Outbuf, MK_U32* pu32OutLen) {
    return EncodeCommon(__func__, __LINE__, pEncoder, pstData, pu8Outbuf, pu32OutLen);
}

static MK_S32 DecodeCommon(MK_VOID* pDecoder, MK_U8** pu8Inbuf, MK_S32* ps32LeftByte, MK_U16* pu16Outbuf,
                           MK_U32* pu32OutLen, MK_U32* pu32Chns) {
    MK_ASSERT_IN(kSource, pDecoder != NULL);
    MK_ASSERT_IN(kSource, pu8Inbuf != NULL);
    MK_ASSERT_IN(kSource, ps32LeftByte != NULL);
    MK_ASSERT_IN(kSource, pu16Outbuf != NULL);
    MK_ASSERT_IN(kSource, pu32OutLen != NULL);
    MK_ASSERT_IN(kSource, pu32Chns != NULL);
    *pu32Chns = 1;
    return DecodeVoice(Ctx(pDecoder), pu8Inbuf, ps32LeftByte, pu16Outbuf, pu32OutLen);
}

MK_S32 DecodeG711AFrm(MK_VOID* pDecoder, MK_U8** pu8Inbuf, MK_S32* ps32LeftByte, MK_U16* pu16Outbuf,
                      MK_U32* pu32OutLen, MK_U32* pu32Chns) {
    return DecodeCommon(pDecoder, pu8Inbuf, ps32LeftByte, pu16Outbuf, pu32OutLen, pu32Chns);
}

MK_S32 DecodeG711UFrm(MK_VOID* pDecoder, MK_U8** pu8Inbuf, MK_S32* ps32LeftByte, MK_U16* pu16Outbuf,
                      MK_U32* pu32OutLen, MK_U32* pu32Chns) {
    return DecodeCommon(pDecoder, pu8Inbuf, ps32LeftByte, pu16Outbuf, pu32OutLen, pu32Chns);
}

ADP_CLOSE(CloseG711AEncoder, pEncoder)
ADP_CLOSE(CloseG711UEncoder, pEncoder)
ADP_CLOSE(CloseG711ADecoder, pDecoder)
ADP_CLOSE(CloseG711UDecoder, pDecoder)
ADP_RESET(ResetG711ADecoder)
ADP_RESET(ResetG711UDecoder)

// ---- ADPCM ----

MK_S32 OpenADPCMEncoder(MK_VOID* pEncoderAttr, MK_VOID** ppEncoder) {
    MK_ASSERT_IN(kSource, pEncoderAttr != NULL);
    MK_ASSERT_IN(kSource, ppEncoder != NULL);
    const MK_U32 type = static_cast<const AUDIO_ATTR_ADPCM_S*>(pEncoderAttr)->enADPCMType;
    if (type >= ADPCM_TYPE_BUTT) {
        std::printf("%s, %d, type:%d of ADPCM encoder is illegal!\n", __func__, __LINE__, type);
        return MK_ERR_AENC_ILLEGAL_PARAM;
    }
    return OpenContext(__func__, __LINE__, ppEncoder, kAdpcmCodecId[type], type, "ADPCM encoder",
                       MK_ERR_AENC_NOMEM);
}

MK_S32 EncodeADPCMFrm(MK_VOID* pEncoder, const AUDIO_FRAME_S* pstData, MK_U8* pu8Outbuf, MK_U32* pu32OutLen) {
    MK_ASSERT_IN(kSource, pEncoder != NULL);
    MK_ASSERT_IN(kSource, pstData != NULL);
    MK_ASSERT_IN(kSource, pu8Outbuf != NULL);
    MK_ASSERT_IN(kSource, pu32OutLen != NULL);
    VoiceCtx* ctx = Ctx(pEncoder);
    const MK_U32 points = FramePoints(pstData);
    switch (ctx->u32AdpcmType) {
        case ADPCM_TYPE_DVI4:
        case ADPCM_TYPE_ORG_DVI4:
            if (!IsFramePoints(points)) {
                std::printf(
                    "[Func]:%s [Line]:%d [Info]:the u32PtNumPerFrm%d is illegal for ADPCM_TYPE_DVI4\n",
                    __func__, __LINE__, points);
                return MK_ERR_AENC_ILLEGAL_PARAM;
            }
            break;
        case ADPCM_TYPE_IMA:
            if (!IsImaPoints(points)) {
                std::printf("[Func]:%s [Line]:%d [Info]:the u32PtNumPerFrm%d is illegal for ADPCM_TYPE_IMA\n",
                            __func__, __LINE__, points);
                return MK_ERR_AENC_ILLEGAL_PARAM;
            }
            break;
        default:
            std::printf("%s, %d, type:%d of ADPCM encoder is illegal!\n", __func__, __LINE__,
                        ctx->u32AdpcmType);
            return MK_ERR_AENC_ILLEGAL_PARAM;
    }
    return EncodeVoice(ctx, pstData, pu8Outbuf, pu32OutLen);
}

ADP_CLOSE(CloseADPCMEncoder, pEncoder)

MK_S32 OpenADPCMDecoder(MK_VOID* pDecoderAttr, MK_VOID** ppDecoder) {
    MK_ASSERT_IN(kSource, pDecoderAttr != NULL);
    MK_ASSERT_IN(kSource, ppDecoder != NULL);
    const MK_U32 type = static_cast<const AUDIO_ATTR_ADPCM_S*>(pDecoderAttr)->enADPCMType;
    if (type >= ADPCM_TYPE_BUTT) {
        std::printf("%s, %d, type:%d of ADPCM decoder is illegal!\n", __func__, __LINE__, type);
        return MK_ERR_ADEC_ILLEGAL_PARAM;
    }
    return OpenContext(__func__, __LINE__, ppDecoder, kAdpcmCodecId[type], type, "ADPCM decoder",
                       MK_ERR_ADEC_NOMEM);
}

MK_S32 DecodeADPCMFrm(MK_VOID* pDecoder, MK_U8** pu8Inbuf, MK_S32* ps32LeftByte, MK_U16* pu16Outbuf,
                      MK_U32* pu32OutLen, MK_U32* pu32Chns) {
    return DecodeCommon(pDecoder, pu8Inbuf, ps32LeftByte, pu16Outbuf, pu32OutLen, pu32Chns);
}

ADP_CLOSE(CloseADPCMDecoder, pDecoder)

ADP_RESET(ResetADPCMDecoder)

// ---- G.726 ----

MK_S32 OpenG726Encoder(MK_VOID* pEncoderAttr, MK_VOID** ppEncoder) {
    MK_ASSERT_IN(kSource, pEncoderAttr != NULL);
    MK_ASSERT_IN(kSource, ppEncoder != NULL);
    const MK_U32 bps = static_cast<const AUDIO_ATTR_G726_S*>(pEncoderAttr)->enG726bps;
    if (bps >= G726_BUTT) {
        std::printf("%s, %d, bps:%d of G726 encoder is illegal!\n", __func__, __LINE__, bps);
        return MK_ERR_AENC_ILLEGAL_PARAM;
    }
    return OpenContext(__func__, __LINE__, ppEncoder, kG726CodecId[bps], 0, "G726 encoder",
                       MK_ERR_AENC_NOMEM);
}

MK_S32 EncodeG726Frm(MK_VOID* pEncoder, const AUDIO_FRAME_S* pstData, MK_U8* pu8Outbuf, MK_U32* pu32OutLen) {
    return EncodeCommon(__func__, __LINE__, pEncoder, pstData, pu8Outbuf, pu32OutLen);
}

ADP_CLOSE(CloseG726Encoder, pEncoder)

MK_S32 OpenG726Decoder(MK_VOID* pDecoderAttr, MK_VOID** ppDecoder) {
    MK_ASSERT_IN(kSource, pDecoderAttr != NULL);
    MK_ASSERT_IN(kSource, ppDecoder != NULL);
    const MK_U32 bps = static_cast<const AUDIO_ATTR_G726_S*>(pDecoderAttr)->enG726bps;
    if (bps >= G726_BUTT) {
        std::printf("%s, %d, bps:%d of G726 decoder is illegal!\n", __func__, __LINE__, bps);
        return MK_ERR_ADEC_ILLEGAL_PARAM;
    }
    return OpenContext(__func__, __LINE__, ppDecoder, kG726CodecId[bps], 0, "G726 decoder",
                       MK_ERR_ADEC_NOMEM);
}

MK_S32 DecodeG726Frm(MK_VOID* pDecoder, MK_U8** pu8Inbuf, MK_S32* ps32LeftByte, MK_U16* pu16Outbuf,
                     MK_U32* pu32OutLen, MK_U32* pu32Chns) {
    return DecodeCommon(pDecoder, pu8Inbuf, ps32LeftByte, pu16Outbuf, pu32OutLen, pu32Chns);
}

ADP_CLOSE(CloseG726Decoder, pDecoder)

ADP_RESET(ResetG726Decoder)

// ---- Registration ----

MK_S32 AUDIO_RegisterEncoders(MK_VOID) {
    static const AENC_ENCODER_S kEncoders[] = {
        {PT_LPCM, kLpcmMaxFrm, "Lpcm", OpenLPCMEncoder, EncodeLPCMFrm, CloseLPCMEncoder},
        {PT_G711A, kG711MaxFrm, "G711a", OpenG711AEncoder, EncodeG711AFrm, CloseG711AEncoder},
        {PT_G711U, kG711MaxFrm, "G711u", OpenG711UEncoder, EncodeG711UFrm, CloseG711UEncoder},
        {PT_ADPCMA, kAdpcmMaxFrm, "Adpcm", OpenADPCMEncoder, EncodeADPCMFrm, CloseADPCMEncoder},
        {PT_G726, kG726MaxFrm, "G726", OpenG726Encoder, EncodeG726Frm, CloseG726Encoder},
    };
    for (const AENC_ENCODER_S& e : kEncoders) {
        MK_S32 handle = -1;
        MK_S32 ret = MPI_AENC_RegisterEncoder(&handle, &e);
        if (ret != MK_SUCCESS) return ret;
    }
    return MK_SUCCESS;
}

MK_S32 AUDIO_RegisterDecoders(MK_VOID) {
    static const ADEC_DECODER_S kDecoders[] = {
        {PT_LPCM, "Lpcm", OpenLPCMDecoder, DecodeLPCMFrm, GetFrmInfo, CloseLPCMDecoder, nullptr},
        {PT_G711A, "G711a", OpenG711ADecoder, DecodeG711AFrm, GetFrmInfo, CloseG711ADecoder,
         ResetG711ADecoder},
        {PT_G711U, "G711u", OpenG711UDecoder, DecodeG711UFrm, GetFrmInfo, CloseG711UDecoder,
         ResetG711UDecoder},
        {PT_ADPCMA, "Adpcm", OpenADPCMDecoder, DecodeADPCMFrm, GetFrmInfo, CloseADPCMDecoder,
         ResetADPCMDecoder},
        {PT_G726, "G726", OpenG726Decoder, DecodeG726Frm, GetFrmInfo, CloseG726Decoder, ResetG726Decoder},
    };
    for (const ADEC_DECODER_S& d : kDecoders) {
        MK_S32 handle = -1;
        MK_S32 ret = MPI_ADEC_RegisterDecoder(&handle, &d);
        if (ret != MK_SUCCESS) return ret;
    }
    return MK_SUCCESS;
}
