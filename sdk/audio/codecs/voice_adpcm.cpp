// IMA/DVI ADPCM: 4-bit code words, predicted value and step index carried per sample.
#include <cstdint>

#include "sdk/audio/codecs/internal/coders.h"

namespace varnelle::voice {
namespace {

constexpr int kMaxStepIndex = 88;
constexpr int kHeaderBytes = 4;  // block header of ids 3 and 35
constexpr int kHeaderWords = kHeaderBytes / 2;

// Step index -> quantizer step size.
constexpr int32_t kStepSize[kMaxStepIndex + 1] = {
    7,    8,     9,     10,    11,    12,    13,    14,    16,    17,    19,    21,    23,    25,   28,
    31,   34,    37,    41,    45,    50,    55,    60,    66,    73,    80,    88,    97,    107,  118,
    130,  143,   157,   173,   190,   209,   230,   253,   279,   307,   337,   371,   408,   449,  494,
    544,  598,   658,   724,   796,   876,   963,   1060,  1166,  1282,  1411,  1552,  1707,  1878, 2066,
    2272, 2499,  2749,  3024,  3327,  3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845, 8630,
    9493, 10442, 11487, 12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

// Code word -> step index adjustment.
constexpr int32_t kIndexAdjust[16] = {-1, -1, -1, -1, 2, 4, 6, 8, -1, -1, -1, -1, 2, 4, 6, 8};

constexpr int ClampIndex(int i) {
    return i < 0 ? 0 : (i > kMaxStepIndex ? kMaxStepIndex : i);
}
inline int ClampSample(int p) {
    return p < -32768 ? -32768 : (p > 32767 ? 32767 : p);
}

// Step index -> reconstructed difference for each 3-bit magnitude code: step >> 3, plus step, step >> 1
// and step >> 2 for the bits set.
constexpr auto kDiff = [] {
    struct T {
        int32_t v[kMaxStepIndex + 1][8];
    } t{};
    for (int i = 0; i <= kMaxStepIndex; ++i) {
        for (int code = 0; code < 8; ++code) {
            const int step = kStepSize[i];
            t.v[i][code] = (step >> 3) + ((code & 4) ? step : 0) + ((code & 2) ? step >> 1 : 0) +
                           ((code & 1) ? step >> 2 : 0);
        }
    }
    return t;
}();

// Step index -> next step index for each 3-bit magnitude code, already clamped.
constexpr auto kNextIndex = [] {
    struct T {
        uint8_t v[kMaxStepIndex + 1][8];
    } t{};
    for (int i = 0; i <= kMaxStepIndex; ++i) {
        for (int code = 0; code < 8; ++code)
            t.v[i][code] = static_cast<uint8_t>(ClampIndex(i + kIndexAdjust[code]));
    }
    return t;
}();

// The coder's running values, kept in registers across a frame.
struct Coder {
    int p;  // predicted value
    int i;  // step index

    inline int16_t Decode(int code) {
        const int diff = kDiff.v[i][code & 7];
        p = ClampSample((code & 8) ? p - diff : p + diff);
        i = kNextIndex.v[i][code & 7];
        return static_cast<int16_t>(p);
    }

    // Successive approximation against step, step / 2 and step / 4. Branches suit it: on speech they
    // predict well and keep the comparisons off the dependency chain.
    inline int Encode(int x) {
        const int step = kStepSize[i];
        int d = x - p;
        int code = 0;
        if (d < 0) {
            code = 8;
            d = -d;
        }
        int diff = step >> 3;
        if (d >= step) {
            code |= 4;
            d -= step;
            diff += step;
        }
        if (d >= (step >> 1)) {
            code |= 2;
            d -= step >> 1;
            diff += step >> 1;
        }
        if (d >= (step >> 2)) {
            code |= 1;
            diff += step >> 2;
        }
        p = ClampSample((code & 8) ? p - diff : p + diff);
        i = kNextIndex.v[i][code & 7];
        return code;
    }
};

inline Coder Load(const VOICE_ADPCM_STATE_S* state) {
    // A state that was never opened must still index inside the table.
    return Coder{state->s16Predicted, ClampIndex(state->s16StepIndex)};
}

inline void Store(const Coder& c, VOICE_ADPCM_STATE_S* state) {
    state->s16Predicted = static_cast<int16_t>(c.p);
    state->s16StepIndex = static_cast<int16_t>(c.i);
}

inline void WriteBlockHeader(int value, int index, uint8_t* payload) {
    payload[0] = static_cast<uint8_t>(value & 0xFF);
    payload[1] = static_cast<uint8_t>((value >> 8) & 0xFF);
    payload[2] = static_cast<uint8_t>(index);
    payload[3] = 0;
}

// Codes an even number of samples; `lowFirst` puts the earlier sample of each pair in the low nibble.
template <bool kLowFirst>
void EncodePairs(Coder& c, const int16_t* samples, int n, uint8_t* out) {
    for (int k = 0; k + 1 < n; k += 2) {
        const int first = c.Encode(samples[k]);
        const int second = c.Encode(samples[k + 1]);
        out[k / 2] = static_cast<uint8_t>(kLowFirst ? (second << 4) | first : (first << 4) | second);
    }
}

template <bool kLowFirst>
void DecodePairs(Coder& c, const uint8_t* in, int n, int16_t* samples) {
    for (int k = 0; k < n; k += 2) {
        const int byte = in[k / 2];
        samples[k] = c.Decode(kLowFirst ? (byte & 0x0F) : (byte >> 4));
        samples[k + 1] = c.Decode(kLowFirst ? (byte >> 4) : (byte & 0x0F));
    }
}

}  // namespace

int AdpcmEncode(VOICE_ADPCM_STATE_S* state, int16_t id, const int16_t* samples, int n, uint8_t* payload) {
    Coder c = Load(state);
    int words = 0;
    switch (id) {
        case VOICE_CODEC_DVI4:
            WriteBlockHeader(c.p, c.i, payload);
            EncodePairs<false>(c, samples, n, payload + kHeaderBytes);
            words = n / 4 + kHeaderWords;
            break;
        case VOICE_CODEC_IMA:
            // The first sample travels uncoded and becomes the prediction for the rest.
            c.p = samples[0];
            WriteBlockHeader(c.p, c.i, payload);
            EncodePairs<true>(c, samples + 1, n - 1, payload + kHeaderBytes);
            words = (n - 1) / 4 + kHeaderWords;
            break;
        default:  // VOICE_CODEC_DVI4_RAW
            EncodePairs<false>(c, samples, n, payload);
            words = n / 4;
            break;
    }
    Store(c, state);
    return words;
}

int32_t AdpcmDecode(VOICE_ADPCM_STATE_S* state, int16_t id, const uint8_t* payload, int words,
                    int16_t* samples, int capacity, uint16_t* count) {
    if (id == VOICE_CODEC_DVI4_RAW) {
        const int n = 4 * words;
        if (n > capacity) return MK_ERR_VOICE_DEC_LENGTH;
        Coder c = Load(state);
        DecodePairs<false>(c, payload, n, samples);
        Store(c, state);
        *count = static_cast<uint16_t>(n);
        return 0;
    }
    // Headed layouts: the frame must hold its block header, and the header's step index must lie
    // inside the step table.
    if (words < kHeaderWords || payload[2] > kMaxStepIndex) return MK_ERR_VOICE_DEC_LENGTH;
    const int coded = 4 * (words - kHeaderWords);
    const int n = id == VOICE_CODEC_IMA ? coded + 1 : coded;
    if (n > capacity) return MK_ERR_VOICE_DEC_LENGTH;
    Coder c{static_cast<int16_t>(payload[0] | (payload[1] << 8)), payload[2]};
    if (id == VOICE_CODEC_IMA) {
        samples[0] = static_cast<int16_t>(c.p);
        DecodePairs<true>(c, payload + kHeaderBytes, coded, samples + 1);
    } else {
        DecodePairs<false>(c, payload + kHeaderBytes, coded, samples);
    }
    Store(c, state);
    *count = static_cast<uint16_t>(n);
    return 0;
}

}  // namespace varnelle::voice
