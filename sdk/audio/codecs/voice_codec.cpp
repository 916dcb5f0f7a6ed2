// Frame dispatch: checks the frame rules, writes or reads the header and hands the payload to the coder
// the state's id selects.
#include "sdk/audio/codecs/voice_codec.h"

#include <cstring>

#include "sdk/audio/codecs/internal/coders.h"

namespace varnelle::voice {
namespace {

constexpr int kHeaderBytes = static_cast<int>(sizeof(VOICE_FRAME_HEADER));
constexpr int kFrameSamples = 80;  // every frame holds a multiple of this (id 35: plus one)
constexpr int kMaxFrameSamples = 480;
constexpr int kTransWorkSamples = 480;  // the transcoder's sample buffer

enum class Family { kNone, kG711, kAdpcm, kG726, kAdpcm16 };

struct Codec {
    Family family;
    int bits;      // G.726 bits per code word
    bool swapped;  // G.711: byte pairs swapped; G.726: most significant bit first
};

Codec Lookup(int16_t id) {
    switch (id) {
        case VOICE_CODEC_G711A:
        case VOICE_CODEC_G711U:
            return {Family::kG711, 8, false};
        case VOICE_CODEC_G711A_SWAP:
        case VOICE_CODEC_G711U_SWAP:
            return {Family::kG711, 8, true};
        case VOICE_CODEC_DVI4:
        case VOICE_CODEC_IMA:
        case VOICE_CODEC_DVI4_RAW:
            return {Family::kAdpcm, 4, false};
        case VOICE_CODEC_G726_16:
        case VOICE_CODEC_G726_24:
        case VOICE_CODEC_G726_32:
        case VOICE_CODEC_G726_40:
            return {Family::kG726, id - 2, false};
        case VOICE_CODEC_G726_16_MSB:
        case VOICE_CODEC_G726_24_MSB:
        case VOICE_CODEC_G726_32_MSB:
        case VOICE_CODEC_G726_40_MSB:
            return {Family::kG726, id - 34, true};
        case VOICE_CODEC_ADPCM16:
            return {Family::kAdpcm16, 2, false};
        default:
            return {Family::kNone, 0, false};
    }
}

bool IsAlaw(int16_t id) {
    return id == VOICE_CODEC_G711A || id == VOICE_CODEC_G711A_SWAP;
}

// The sample counts a G.711, G.726 or id-68 frame may decode to.
bool DecodableCount(int n) {
    return n > 0 && n <= kMaxFrameSamples + 1 && n % kFrameSamples == 0;
}

void WriteHeader(int words, uint8_t* frame) {
    frame[0] = VOICE_FRAME_MARK & 0xFF;
    frame[1] = VOICE_FRAME_MARK >> 8;
    frame[2] = static_cast<uint8_t>(words & 0xFF);
    frame[3] = static_cast<uint8_t>((words >> 8) & 0xFF);
}

}  // namespace

int32_t DecodeFrameBounded(VOICE_CODEC_STATE_S* state, uint8_t* frame, int16_t* samples, uint16_t* count,
                           int capacity) {
    if (state == nullptr) return MK_ERR_VOICE_NULL_STATE;
    if (frame == nullptr) return MK_ERR_VOICE_NULL_INPUT;
    if (samples == nullptr || count == nullptr) return MK_ERR_VOICE_NULL_OUTPUT;
    *count = 0;
    if ((frame[1] & 0x03) != 0x01) return MK_ERR_VOICE_DEC_MARK;
    const int words = frame[2];
    if (words == 0) return MK_ERR_VOICE_DEC_LENGTH;
    const int16_t id = state->s16CodecId;
    const Codec codec = Lookup(id);
    uint8_t* payload = frame + kHeaderBytes;
    if (codec.family == Family::kNone) return MK_ERR_VOICE_DEC_CODEC;
    if (codec.family == Family::kAdpcm) {
        return AdpcmDecode(&state->adpcm, id, payload, words, samples, capacity, count);
    }
    const int n = words * 16 / codec.bits;
    if (!DecodableCount(n) || n > capacity) return MK_ERR_VOICE_DEC_LENGTH;
    switch (codec.family) {
        case Family::kG711:
            G711Decode(IsAlaw(id), codec.swapped, payload, n, samples);
            break;
        case Family::kG726:
            if (codec.swapped) G726MsbToLsb(payload, words * 2, codec.bits);
            G726Decode(&state->g726, codec.bits, payload, n, samples);
            break;
        default:
            Adpcm16Decode(&state->adpcm16, payload, n, samples);
            break;
    }
    *count = static_cast<uint16_t>(n);
    return 0;
}

}  // namespace varnelle::voice

using namespace varnelle::voice;

void VOICE_AdpcmStateInit(VOICE_ADPCM_STATE_S* state) {
    state->s16Predicted = 0;
    state->s16StepIndex = 0;
}

// The initialisers clear every byte, padding included, so equal states compare equal bytewise.
void VOICE_G726StateInit(VOICE_G726_STATE_S* state, int bits) {
    std::memset(state, 0, sizeof(*state));
    state->bits = static_cast<uint16_t>(bits);
    state->yl = 34816;
    state->yu = 544;
    for (int32_t& dq : state->dq) dq = 32;
    state->sr[0] = state->sr[1] = 32;
    state->pcm = 2;
}

void VOICE_G726StateInit16(VOICE_ADPCM16_STATE_S* state) {
    std::memset(state, 0, sizeof(*state));
    state->sr1 = state->sr2 = 16;
    state->dq1 = state->dq2 = state->dq3 = state->dq4 = state->dq5 = state->dq6 = 32;
    state->yu = 544;
    state->yl = 34816;
}

int32_t VOICE_Clip14(int32_t value) {
    return value < -8192 ? -8192 : (value > 8191 ? 8191 : value);
}

int32_t VOICE_CodecOpen(VOICE_CODEC_STATE_S* state, int16_t codecId) {
    if (state == nullptr) return MK_ERR_VOICE_NULL_STATE;
    const Codec codec = Lookup(codecId);
    switch (codec.family) {
        case Family::kNone:
            return MK_ERR_VOICE_ENC_CODEC;
        case Family::kG711:
            break;
        case Family::kAdpcm:
            VOICE_AdpcmStateInit(&state->adpcm);
            break;
        case Family::kG726:
            VOICE_G726StateInit(&state->g726, codec.bits);
            break;
        case Family::kAdpcm16:
            VOICE_G726StateInit16(&state->adpcm16);
            break;
    }
    state->s16CodecId = codecId;
    return 0;
}

int32_t MK_VOICE_EncodeFrame(VOICE_CODEC_STATE_S* state, const int16_t* samples, uint8_t* frame,
                             int16_t count) {
    if (state == nullptr) return MK_ERR_VOICE_NULL_STATE;
    if (samples == nullptr) return MK_ERR_VOICE_NULL_INPUT;
    if (frame == nullptr) return MK_ERR_VOICE_NULL_OUTPUT;
    if (static_cast<uint16_t>(count - 1) > kMaxFrameSamples) return MK_ERR_VOICE_ENC_COUNT;
    const int16_t id = state->s16CodecId;
    const int n = count;
    const int rule = id == VOICE_CODEC_IMA ? n - 1 : n;
    if (rule % kFrameSamples != 0) return MK_ERR_VOICE_ENC_COUNT;
    const Codec codec = Lookup(id);
    if (codec.family == Family::kNone) return MK_ERR_VOICE_ENC_CODEC;

    // Coded into a buffer of our own, so the caller may reuse the sample buffer for the frame.
    uint8_t buffer[VOICE_MAX_FRAME_BYTES];
    uint8_t* payload = buffer + kHeaderBytes;
    int words = 0;
    switch (codec.family) {
        case Family::kG711:
            G711Encode(IsAlaw(id), codec.swapped, samples, n, payload);
            words = n / 2;
            break;
        case Family::kAdpcm:
            words = AdpcmEncode(&state->adpcm, id, samples, n, payload);
            break;
        case Family::kG726:
            G726Encode(&state->g726, codec.bits, samples, n, payload);
            words = n * codec.bits / 16;
            if (codec.swapped) G726LsbToMsb(payload, words * 2, codec.bits);
            break;
        default:
            Adpcm16Encode(&state->adpcm16, samples, n, payload);
            words = n / 8;
            break;
    }
    WriteHeader(words, buffer);
    std::memcpy(frame, buffer, static_cast<size_t>((words + 2) * 2));
    return 0;
}

int32_t MK_VOICE_DecodeFrame(VOICE_CODEC_STATE_S* state, uint8_t* frame, int16_t* samples, uint16_t* count) {
    return DecodeFrameBounded(state, frame, samples, count, VOICE_MAX_DECODE_SAMPLES);
}

int32_t MK_VOICE_TransCodeReset(VOICE_TRANSCODER_S* pair, int32_t kind) {
    if (pair == nullptr) return MK_ERR_VOICE_TRANS_NULL;
    int16_t from = 0;
    int16_t to = 0;
    switch (kind) {
        case VOICE_TRANS_G711A:
            from = VOICE_CODEC_G711A_SWAP, to = VOICE_CODEC_G711A;
            break;
        case VOICE_TRANS_G711U:
            from = VOICE_CODEC_G711U_SWAP, to = VOICE_CODEC_G711U;
            break;
        case VOICE_TRANS_DVI4:
            from = VOICE_CODEC_DVI4_RAW, to = VOICE_CODEC_DVI4;
            break;
        case VOICE_TRANS_ADPCM16:
            from = VOICE_CODEC_ADPCM16, to = VOICE_CODEC_G726_16;
            break;
        default:
            return MK_ERR_VOICE_TRANS_KIND;
    }
    VOICE_CodecOpen(&pair->decoder, from);
    VOICE_CodecOpen(&pair->encoder, to);
    return 0;
}

int32_t MK_VOICE_TransCodeFrame(VOICE_TRANSCODER_S* pair, uint8_t* frame) {
    if (pair == nullptr) return MK_ERR_VOICE_TRANS_NULL;
    if (frame == nullptr) return MK_ERR_VOICE_NULL_INPUT;
    switch (pair->encoder.s16CodecId) {
        case VOICE_CODEC_G711A:
        case VOICE_CODEC_G711U: {
            uint8_t* payload = frame + kHeaderBytes;
            const int words = frame[2];
            // Only lengths the G.711 decoder takes: a longer one would swap past the largest frame.
            if (!DecodableCount(words * 2)) return MK_ERR_VOICE_DEC_LENGTH;
            for (int k = 0; k < words; ++k) {
                const uint8_t t = payload[2 * k];
                payload[2 * k] = payload[2 * k + 1];
                payload[2 * k + 1] = t;
            }
            return 0;
        }
        case VOICE_CODEC_DVI4:
        case VOICE_CODEC_G726_16: {
            int16_t work[kTransWorkSamples];
            uint16_t count = 0;
            const int32_t ret = DecodeFrameBounded(&pair->decoder, frame, work, &count, kTransWorkSamples);
            if (ret != 0) return ret;
            return MK_VOICE_EncodeFrame(&pair->encoder, work, frame, static_cast<int16_t>(count));
        }
        default:
            return MK_ERR_VOICE_TRANS_KIND;
    }
}
