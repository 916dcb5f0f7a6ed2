// The voice codec engine: G.711 A-law and mu-law, IMA/DVI ADPCM, G.726 at 16 to 40 kbit/s and a 16 kbit/s
// ADPCM coder on 16-bit state, each coding 16-bit PCM into self-delimiting frames.
//
// Requires: every coder state is owned by its caller, opened with VOICE_CodecOpen and used by one
// thread at a time. Guarantees: the engine allocates nothing, keeps no global state and prints nothing;
// a refused call changes no coder state. Frames are what peers decode bit for bit, so the code words
// of every codec are fixed by this engine and must not drift.
#pragma once

#include <cstdint>

// Codec ids: the first field of every coder state.
enum VOICE_CODEC_ID_E : int16_t {
    VOICE_CODEC_G711A = 1,
    VOICE_CODEC_G711U = 2,
    VOICE_CODEC_DVI4 = 3,     // block header: predicted value, step index
    VOICE_CODEC_G726_16 = 4,  // ids 4 to 7: code words packed from the least significant bit
    VOICE_CODEC_G726_24 = 5,
    VOICE_CODEC_G726_32 = 6,
    VOICE_CODEC_G726_40 = 7,
    VOICE_CODEC_IMA = 35,          // block header: the first sample, uncoded
    VOICE_CODEC_G726_16_MSB = 36,  // ids 36 to 39: code words packed from the most significant bit
    VOICE_CODEC_G726_24_MSB = 37,
    VOICE_CODEC_G726_32_MSB = 38,
    VOICE_CODEC_G726_40_MSB = 39,
    VOICE_CODEC_G711A_SWAP = 65,  // the two code bytes of each payload word swapped
    VOICE_CODEC_G711U_SWAP = 66,
    VOICE_CODEC_DVI4_RAW = 67,  // no block header; the state runs on from frame to frame
    VOICE_CODEC_ADPCM16 = 68,   // 2-bit ADPCM on 16-bit state, 8 code words per payload word
};

// Error codes.
constexpr int32_t MK_ERR_VOICE_ENC_CODEC = static_cast<int32_t>(0xA1220001);   // encode: id not known
constexpr int32_t MK_ERR_VOICE_ENC_COUNT = static_cast<int32_t>(0xA1220002);   // encode: sample count
constexpr int32_t MK_ERR_VOICE_DEC_CODEC = static_cast<int32_t>(0xA1220011);   // decode: id not known
constexpr int32_t MK_ERR_VOICE_DEC_LENGTH = static_cast<int32_t>(0xA1220012);  // decode: length/header
constexpr int32_t MK_ERR_VOICE_DEC_MARK = static_cast<int32_t>(0xA1220013);    // decode: header mark
constexpr int32_t MK_ERR_VOICE_NULL_STATE = static_cast<int32_t>(0xA1220101);
constexpr int32_t MK_ERR_VOICE_NULL_INPUT = static_cast<int32_t>(0xA1220102);
constexpr int32_t MK_ERR_VOICE_NULL_OUTPUT = static_cast<int32_t>(0xA1220103);
constexpr int32_t MK_ERR_VOICE_TRANS_NULL = static_cast<int32_t>(0xA1221001);  // transcoder pair null
constexpr int32_t MK_ERR_VOICE_TRANS_KIND = static_cast<int32_t>(0xA1221002);  // kind or encoder id

// Frame sizes.
constexpr int VOICE_MAX_ENCODE_SAMPLES = 481;  // id 35 takes 80k + 1 samples, the others 80k up to 480
constexpr int VOICE_MAX_FRAME_BYTES = 484;     // header and payload of 480 G.711 samples
// A decode writes at most this many samples (an ADPCM frame of length 255 words without block header);
// every sample buffer given to MK_VOICE_DecodeFrame must hold this many.
constexpr int VOICE_MAX_DECODE_SAMPLES = 1020;

// Starts every frame, little-endian: mark 0x0100, then the payload length in 16-bit words.
struct VOICE_FRAME_HEADER {
    uint16_t u16Mark;
    uint16_t u16Length;
};
static_assert(sizeof(VOICE_FRAME_HEADER) == 4);
constexpr uint16_t VOICE_FRAME_MARK = 0x0100;

// IMA/DVI ADPCM (ids 3, 35, 67).
struct VOICE_ADPCM_STATE_S {
    int16_t s16Predicted;  // last reconstructed sample
    int16_t s16StepIndex;  // 0 to 88
};

// G.726 (ids 4 to 7, 36 to 39), named as in the standard. Floating values (dq, sr) keep the standard's
// 11-bit form (exponent bits 6 to 9, mantissa bits 0 to 5) with its sign carried as a negative number.
struct VOICE_G726_STATE_S {
    uint16_t bits;     // bits per code word: 2 to 5
    int32_t a[2];      // pole predictor coefficients A1, A2
    int32_t ap;        // speed control AP
    int32_t b[6];      // zero predictor coefficients B1 to B6
    int32_t dml, dms;  // long- and short-term averages of F
    int32_t dq[6];     // past quantized differences DQ1 to DQ6, floating
    int32_t pk[2];     // signs of the past partially reconstructed signal PK1, PK2
    int32_t sr[2];     // past reconstructed signal SR1, SR2, floating
    int32_t td;        // tone detector
    int32_t yl;        // locked scale factor
    int32_t yu;        // unlocked scale factor
    uint16_t pcm;      // 2: 16-bit linear PCM, the only coding
};

// The 16 kbit/s ADPCM coder on 16-bit fields (id 68).
struct VOICE_ADPCM16_STATE_S {
    int16_t sr1, sr2;  // last two reconstructed samples, at half scale
    int16_t a1, a2;
    int16_t b1, b2, b3, b4, b5, b6;
    int16_t dq6, dq5, dq4, dq3, dq2, dq1;  // linear, oldest first
    int16_t dms, dml;
    int16_t ap;
    int16_t yu;
    int16_t td;
    int16_t p1, p2;  // last two partial signals (dq + zero-predictor estimate)
    int32_t yl;
};

// One encoder or decoder.
struct VOICE_CODEC_STATE_S {
    int16_t s16CodecId;
    union {
        VOICE_ADPCM_STATE_S adpcm;
        VOICE_G726_STATE_S g726;
        VOICE_ADPCM16_STATE_S adpcm16;
    };
};

// Opens (or re-opens, resetting) a coder for one of the ids above. Returns 0, MK_ERR_VOICE_NULL_STATE,
// or MK_ERR_VOICE_ENC_CODEC for an id the engine does not know (the state is then left as it was).
int32_t VOICE_CodecOpen(VOICE_CODEC_STATE_S* state, int16_t codecId);

// Per-codec initialisers, as VOICE_CodecOpen runs them (they leave the codec id alone).
void VOICE_AdpcmStateInit(VOICE_ADPCM_STATE_S* state);
void VOICE_G726StateInit(VOICE_G726_STATE_S* state, int bits);
void VOICE_G726StateInit16(VOICE_ADPCM16_STATE_S* state);

// Limits a reconstructed G.726 signal to 14 bits.
int32_t VOICE_Clip14(int32_t value);

// Codes `count` samples into one frame of at most VOICE_MAX_FRAME_BYTES bytes. The count is 80, 160,
// ... 480 (id 35: 1, 81, ... 481). Returns 0 or an error code; `samples` and `frame` may overlap.
int32_t MK_VOICE_EncodeFrame(VOICE_CODEC_STATE_S* state, const int16_t* samples, uint8_t* frame,
                             int16_t count);

// Decodes one frame into `samples` (room for VOICE_MAX_DECODE_SAMPLES) and stores the number written in
// `count` (0 on any refusal). Ids 36 to 39 rewrite the frame's payload in place to the packing of ids 4
// to 7. Returns 0 or an error code.
int32_t MK_VOICE_DecodeFrame(VOICE_CODEC_STATE_S* state, uint8_t* frame, int16_t* samples, uint16_t* count);

// Frame transcoder from ids 65 to 68 to ids 1 to 4, in place.
struct VOICE_TRANSCODER_S {
    VOICE_CODEC_STATE_S encoder;
    VOICE_CODEC_STATE_S decoder;
};
constexpr int32_t VOICE_TRANS_G711A = 97;     // 65 -> 1
constexpr int32_t VOICE_TRANS_G711U = 98;     // 66 -> 2
constexpr int32_t VOICE_TRANS_DVI4 = 99;      // 67 -> 3; the frame grows by the 4-byte block header
constexpr int32_t VOICE_TRANS_ADPCM16 = 100;  // 68 -> 4

// Opens both halves for `kind` (97 to 100). Returns 0, MK_ERR_VOICE_TRANS_NULL or MK_ERR_VOICE_TRANS_KIND.
int32_t MK_VOICE_TransCodeReset(VOICE_TRANSCODER_S* pair, int32_t kind);

// Rewrites `frame` in place; it needs room for VOICE_MAX_FRAME_BYTES. Returns 0,
// MK_ERR_VOICE_TRANS_NULL, MK_ERR_VOICE_NULL_INPUT (frame null), MK_ERR_VOICE_TRANS_KIND (encoder id not
// 1 to 4) or the engine's code when the frame cannot be decoded or re-encoded (for G.711, a length the
// decoder refuses: MK_ERR_VOICE_DEC_LENGTH); the frame then keeps its content.
int32_t MK_VOICE_TransCodeFrame(VOICE_TRANSCODER_S* pair, uint8_t* frame);
