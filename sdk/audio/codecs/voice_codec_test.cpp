#include "sdk/audio/codecs/voice_codec.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "sdk/audio/testing/speech_signal.h"

namespace {

using varnelle::voice::SpeechLike;

constexpr int16_t kAllIds[] = {1, 2, 3, 4, 5, 6, 7, 35, 36, 37, 38, 39, 65, 66, 67, 68};

VOICE_CODEC_STATE_S Open(int16_t id) {
    VOICE_CODEC_STATE_S s{};
    EXPECT_EQ(VOICE_CodecOpen(&s, id), 0);
    return s;
}

std::vector<int16_t> Speech(int n, double level = 0.5) {
    std::vector<int16_t> v(static_cast<size_t>(n));
    SpeechLike(v.data(), n, level);
    return v;
}

// A frame buffer with room for the largest frame, pre-filled so untouched bytes show.
struct Frame {
    uint8_t b[4 + 2 * 255 + 16];  // the longest frame a length byte can announce, and a margin
    Frame() { std::memset(b, 0xEE, sizeof(b)); }
    int Words() const { return b[2] | (b[3] << 8); }
};

Frame HeaderOnly(uint8_t byte1, uint8_t length) {
    Frame f;
    f.b[0] = 0;
    f.b[1] = byte1;
    f.b[2] = length;
    f.b[3] = 0;
    return f;
}

TEST(VoiceCodecTest, OpenRefusesNullAndUnknownIdsAndKeepsTheState) {
    EXPECT_EQ(VOICE_CodecOpen(nullptr, 1), MK_ERR_VOICE_NULL_STATE);
    VOICE_CODEC_STATE_S s = Open(VOICE_CODEC_G726_32);
    const VOICE_CODEC_STATE_S before = s;
    for (const int16_t id : {0, 8, 34, 40, 64, 69, -1}) {
        EXPECT_EQ(VOICE_CodecOpen(&s, id), MK_ERR_VOICE_ENC_CODEC) << id;
    }
    EXPECT_EQ(std::memcmp(&s, &before, sizeof(s)), 0);
}

TEST(VoiceCodecTest, OpenInitialisesEachCodecAndReopeningResets) {
    VOICE_CODEC_STATE_S s = Open(VOICE_CODEC_G726_40_MSB);
    EXPECT_EQ(s.s16CodecId, 39);
    EXPECT_EQ(s.g726.bits, 5);
    EXPECT_EQ(s.g726.yl, 34816);
    EXPECT_EQ(s.g726.yu, 544);
    EXPECT_EQ(s.g726.dq[5], 32);
    EXPECT_EQ(s.g726.sr[1], 32);
    EXPECT_EQ(s.g726.pcm, 2);
    const std::vector<int16_t> pcm = Speech(480);
    Frame f;
    ASSERT_EQ(MK_VOICE_EncodeFrame(&s, pcm.data(), f.b, 480), 0);
    EXPECT_NE(s.g726.yl, 34816);
    const VOICE_CODEC_STATE_S fresh = Open(VOICE_CODEC_G726_40_MSB);
    ASSERT_EQ(VOICE_CodecOpen(&s, VOICE_CODEC_G726_40_MSB), 0);
    EXPECT_EQ(std::memcmp(&s.g726, &fresh.g726, sizeof(s.g726)), 0);

    s = Open(VOICE_CODEC_ADPCM16);
    EXPECT_EQ(s.adpcm16.sr1, 16);
    EXPECT_EQ(s.adpcm16.dq6, 32);
    EXPECT_EQ(s.adpcm16.yu, 544);
    EXPECT_EQ(s.adpcm16.yl, 34816);
    EXPECT_EQ(s.adpcm16.a1, 0);
    s = Open(VOICE_CODEC_G726_24);
    EXPECT_EQ(s.g726.bits, 3);
}

struct EncodeCase {
    int16_t id;
    int count;
    int32_t result;
    int words;  // length word on success
};

TEST(VoiceCodecTest, EncodeFollowsTheFrameRules) {
    const EncodeCase cases[] = {
        {1, 480, 0, 240},
        {2, 80, 0, 40},
        {65, 160, 0, 80},
        {1, 400, 0, 200},
        {1, 0, MK_ERR_VOICE_ENC_COUNT, 0},
        {1, 482, MK_ERR_VOICE_ENC_COUNT, 0},
        {1, 481, MK_ERR_VOICE_ENC_COUNT, 0},
        {1, -80, MK_ERR_VOICE_ENC_COUNT, 0},
        {1, 81, MK_ERR_VOICE_ENC_COUNT, 0},
        {3, 80, 0, 22},
        {3, 480, 0, 122},
        {35, 81, 0, 22},
        {35, 1, 0, 2},
        {35, 481, 0, 122},
        {35, 80, MK_ERR_VOICE_ENC_COUNT, 0},
        {67, 80, 0, 20},
        {67, 81, MK_ERR_VOICE_ENC_COUNT, 0},
        {4, 80, 0, 10},
        {5, 80, 0, 15},
        {6, 80, 0, 20},
        {7, 80, 0, 25},
        {36, 480, 0, 60},
        {37, 480, 0, 90},
        {38, 480, 0, 120},
        {39, 480, 0, 150},
        {68, 80, 0, 10},
        {68, 480, 0, 60},
        {99, 81, MK_ERR_VOICE_ENC_COUNT, 0},
        {99, 80, MK_ERR_VOICE_ENC_CODEC, 0},
        {0, 160, MK_ERR_VOICE_ENC_CODEC, 0},
    };
    const std::vector<int16_t> pcm = Speech(481);
    for (const EncodeCase& c : cases) {
        VOICE_CODEC_STATE_S s{};
        s.s16CodecId = c.id;
        VOICE_CodecOpen(&s, c.id);  // unknown ids stay in the state as they are
        Frame f;
        EXPECT_EQ(MK_VOICE_EncodeFrame(&s, pcm.data(), f.b, static_cast<int16_t>(c.count)), c.result)
            << "id " << c.id << " count " << c.count;
        if (c.result != 0) {
            EXPECT_EQ(f.b[0], 0xEE) << "a refused encode writes nothing";
            continue;
        }
        EXPECT_EQ(f.b[0], 0x00);
        EXPECT_EQ(f.b[1], 0x01);
        EXPECT_EQ(f.Words(), c.words) << "id " << c.id << " count " << c.count;
        EXPECT_EQ(f.b[(c.words + 2) * 2], 0xEE) << "nothing written past the frame";
    }
}

TEST(VoiceCodecTest, EncodeAndDecodeRefuseNullPointers) {
    VOICE_CODEC_STATE_S s = Open(1);
    int16_t pcm[480] = {};
    Frame f;
    uint16_t count = 7;
    EXPECT_EQ(MK_VOICE_EncodeFrame(nullptr, pcm, f.b, 80), MK_ERR_VOICE_NULL_STATE);
    EXPECT_EQ(MK_VOICE_EncodeFrame(&s, nullptr, f.b, 80), MK_ERR_VOICE_NULL_INPUT);
    EXPECT_EQ(MK_VOICE_EncodeFrame(&s, pcm, nullptr, 80), MK_ERR_VOICE_NULL_OUTPUT);
    EXPECT_EQ(MK_VOICE_DecodeFrame(nullptr, f.b, pcm, &count), MK_ERR_VOICE_NULL_STATE);
    EXPECT_EQ(MK_VOICE_DecodeFrame(&s, nullptr, pcm, &count), MK_ERR_VOICE_NULL_INPUT);
    EXPECT_EQ(MK_VOICE_DecodeFrame(&s, f.b, nullptr, &count), MK_ERR_VOICE_NULL_OUTPUT);
    EXPECT_EQ(MK_VOICE_DecodeFrame(&s, f.b, pcm, nullptr), MK_ERR_VOICE_NULL_OUTPUT);
    EXPECT_EQ(count, 7);
}

struct DecodeCase {
    int16_t id;
    uint8_t byte1;
    uint8_t length;
    int32_t result;
    int count;
};

TEST(VoiceCodecTest, DecodeFollowsTheFrameRules) {
    const DecodeCase cases[] = {
        {1, 0x01, 40, 0, 80},
        {1, 0x05, 40, 0, 80},
        {1, 0x03, 40, MK_ERR_VOICE_DEC_MARK, 0},
        {1, 0x00, 40, MK_ERR_VOICE_DEC_MARK, 0},
        {1, 0x01, 0, MK_ERR_VOICE_DEC_LENGTH, 0},
        {1, 0x01, 41, MK_ERR_VOICE_DEC_LENGTH, 0},
        {2, 0x01, 240, 0, 480},
        {66, 0x01, 241, MK_ERR_VOICE_DEC_LENGTH, 0},
        {0, 0x01, 40, MK_ERR_VOICE_DEC_CODEC, 0},
        {69, 0x01, 40, MK_ERR_VOICE_DEC_CODEC, 0},
        {69, 0x03, 40, MK_ERR_VOICE_DEC_MARK, 0},
        {0, 0x01, 0, MK_ERR_VOICE_DEC_LENGTH, 0},
        {67, 0x01, 1, 0, 4},
        {67, 0x01, 255, 0, 1020},
        {68, 0x01, 10, 0, 80},
        {68, 0x01, 61, MK_ERR_VOICE_DEC_LENGTH, 0},
    };
    for (const DecodeCase& c : cases) {
        VOICE_CODEC_STATE_S s{};
        s.s16CodecId = c.id;
        VOICE_CodecOpen(&s, c.id);  // unknown ids stay in the state as they are
        Frame f = HeaderOnly(c.byte1, c.length);
        std::memset(f.b + 4, 0x5A, sizeof(f.b) - 4);
        int16_t out[VOICE_MAX_DECODE_SAMPLES];
        uint16_t count = 999;
        EXPECT_EQ(MK_VOICE_DecodeFrame(&s, f.b, out, &count), c.result)
            << "id " << c.id << " byte1 " << int(c.byte1) << " length " << int(c.length);
        EXPECT_EQ(count, c.count) << "id " << c.id << " length " << int(c.length);
    }
}

// Every G.726 rate takes exactly the six lengths of its 80-sample multiples.
TEST(VoiceCodecTest, G726DecodeAcceptsOnlyWholeFrameLengths) {
    for (const int16_t id : {4, 5, 6, 7, 36, 37, 38, 39}) {
        const int bits = id < 36 ? id - 2 : id - 34;
        for (int length = 1; length <= 255; ++length) {
            VOICE_CODEC_STATE_S s = Open(id);
            Frame f = HeaderOnly(0x01, static_cast<uint8_t>(length));
            std::memset(f.b + 4, 0, sizeof(f.b) - 4);
            int16_t out[VOICE_MAX_DECODE_SAMPLES];
            uint16_t count = 0;
            const bool whole = length % (5 * bits) == 0 && length <= 30 * bits;
            EXPECT_EQ(MK_VOICE_DecodeFrame(&s, f.b, out, &count), whole ? 0 : MK_ERR_VOICE_DEC_LENGTH)
                << "id " << id << " length " << length;
            EXPECT_EQ(count, whole ? length * 16 / bits : 0);
        }
    }
}

TEST(VoiceCodecTest, G711FramesCarryTheCodesInTheIdsByteOrder) {
    int16_t silence[480] = {};
    for (const auto& [id, code] : {std::pair<int16_t, uint8_t>{1, 0xD5}, {2, 0xFF}}) {
        VOICE_CODEC_STATE_S s = Open(id);
        Frame f;
        ASSERT_EQ(MK_VOICE_EncodeFrame(&s, silence, f.b, 80), 0);
        EXPECT_EQ(std::vector<uint8_t>(f.b, f.b + 4), (std::vector<uint8_t>{0x00, 0x01, 0x28, 0x00}));
        for (int k = 0; k < 80; ++k) ASSERT_EQ(f.b[4 + k], code);
        ASSERT_EQ(MK_VOICE_EncodeFrame(&s, silence, f.b, 480), 0);
        EXPECT_EQ(std::vector<uint8_t>(f.b, f.b + 4), (std::vector<uint8_t>{0x00, 0x01, 0xF0, 0x00}));
        EXPECT_EQ(f.b[484], 0xEE);
    }
    int16_t two[80] = {0, 32767};
    VOICE_CODEC_STATE_S plain = Open(1), swapped = Open(65);
    Frame a, b;
    ASSERT_EQ(MK_VOICE_EncodeFrame(&plain, two, a.b, 80), 0);
    ASSERT_EQ(MK_VOICE_EncodeFrame(&swapped, two, b.b, 80), 0);
    EXPECT_EQ(a.b[4], 0xD5);
    EXPECT_EQ(a.b[5], 0xAA);
    EXPECT_EQ(b.b[4], 0xAA);
    EXPECT_EQ(b.b[5], 0xD5);
    // Both orders decode back to the same samples.
    int16_t outA[VOICE_MAX_DECODE_SAMPLES], outB[VOICE_MAX_DECODE_SAMPLES];
    uint16_t na = 0, nb = 0;
    ASSERT_EQ(MK_VOICE_DecodeFrame(&plain, a.b, outA, &na), 0);
    ASSERT_EQ(MK_VOICE_DecodeFrame(&swapped, b.b, outB, &nb), 0);
    ASSERT_EQ(na, 80);
    ASSERT_EQ(nb, 80);
    EXPECT_EQ(outA[0], 8);
    EXPECT_EQ(outA[1], 32256);
    EXPECT_EQ(std::memcmp(outA, outB, 80 * sizeof(int16_t)), 0);
}

TEST(VoiceCodecTest, EncodeAcceptsTheSampleBufferAsTheFrameBuffer) {
    for (const int16_t id : kAllIds) {
        const int n = id == VOICE_CODEC_IMA ? 161 : 160;
        std::vector<int16_t> pcm = Speech(n);
        VOICE_CODEC_STATE_S s1 = Open(id), s2 = Open(id);
        Frame expected;
        ASSERT_EQ(MK_VOICE_EncodeFrame(&s1, pcm.data(), expected.b, static_cast<int16_t>(n)), 0);
        std::vector<int16_t> shared(VOICE_MAX_FRAME_BYTES / 2 + 1);
        std::copy(pcm.begin(), pcm.end(), shared.begin());
        auto* bytes = reinterpret_cast<uint8_t*>(shared.data());
        ASSERT_EQ(MK_VOICE_EncodeFrame(&s2, shared.data(), bytes, static_cast<int16_t>(n)), 0);
        EXPECT_EQ(std::memcmp(bytes, expected.b, static_cast<size_t>((expected.Words() + 2) * 2)), 0) << id;
    }
}

TEST(VoiceCodecTest, AdpcmFramesHaveTheirBlockHeaders) {
    int16_t silence[480] = {};
    VOICE_CODEC_STATE_S s = Open(VOICE_CODEC_DVI4);
    Frame f;
    ASSERT_EQ(MK_VOICE_EncodeFrame(&s, silence, f.b, 80), 0);
    EXPECT_EQ(std::vector<uint8_t>(f.b, f.b + 8), (std::vector<uint8_t>{0x00, 0x01, 0x16, 0x00, 0, 0, 0, 0}));
    EXPECT_EQ(f.b[8] >> 4, 0);  // first code word
    EXPECT_EQ(s.adpcm.s16StepIndex, 0);

    const std::vector<int16_t> pcm = Speech(81);
    s = Open(VOICE_CODEC_IMA);
    ASSERT_EQ(MK_VOICE_EncodeFrame(&s, pcm.data(), f.b, 81), 0);
    EXPECT_EQ(f.Words(), 22);
    EXPECT_EQ(static_cast<int16_t>(f.b[4] | (f.b[5] << 8)), pcm[0]);
    int16_t out[VOICE_MAX_DECODE_SAMPLES];
    uint16_t count = 0;
    VOICE_CODEC_STATE_S d = Open(VOICE_CODEC_IMA);
    ASSERT_EQ(MK_VOICE_DecodeFrame(&d, f.b, out, &count), 0);
    EXPECT_EQ(count, 81);
    EXPECT_EQ(out[0], pcm[0]);

    s = Open(VOICE_CODEC_DVI4_RAW);
    Frame raw;
    ASSERT_EQ(MK_VOICE_EncodeFrame(&s, pcm.data(), raw.b, 80), 0);
    EXPECT_EQ(raw.Words(), 20);
    EXPECT_EQ(raw.b[44], 0xEE);
}

TEST(VoiceCodecTest, AdpcmClampsThePredictionAndTheStepIndex) {
    // Full-scale swings push the prediction past 16 bits and the step index to both ends.
    int16_t pcm[480];
    for (int k = 0; k < 480; ++k) pcm[k] = (k / 40) % 2 ? 32767 : -32768;
    for (const int16_t id : {VOICE_CODEC_DVI4, VOICE_CODEC_DVI4_RAW}) {
        VOICE_CODEC_STATE_S enc = Open(id), dec = Open(id);
        Frame f;
        ASSERT_EQ(MK_VOICE_EncodeFrame(&enc, pcm, f.b, 480), 0);
        int16_t out[VOICE_MAX_DECODE_SAMPLES];
        uint16_t count = 0;
        ASSERT_EQ(MK_VOICE_DecodeFrame(&dec, f.b, out, &count), 0);
        ASSERT_EQ(count, 480);
        bool reachedTop = false;
        for (int k = 0; k < 480; ++k) reachedTop |= out[k] == 32767;
        EXPECT_TRUE(reachedTop);
        EXPECT_GE(enc.adpcm.s16StepIndex, 0);
        EXPECT_LE(enc.adpcm.s16StepIndex, 88);
        EXPECT_EQ(dec.adpcm.s16StepIndex, enc.adpcm.s16StepIndex);
    }
}

// A block header whose step index lies outside the table, or a headed frame too short for its block
// header, is refused without touching the state or the output.
TEST(VoiceCodecTest, AdpcmRefusesBadBlockHeaders) {
    struct Case {
        int16_t id;
        uint8_t length;
        uint8_t index;
    } cases[] = {{3, 22, 89}, {3, 22, 255}, {35, 22, 89}, {35, 22, 200}, {3, 1, 0}, {35, 1, 0}};
    for (const Case& c : cases) {
        VOICE_CODEC_STATE_S s = Open(c.id);
        s.adpcm.s16Predicted = 1234;
        s.adpcm.s16StepIndex = 17;
        Frame f = HeaderOnly(0x01, c.length);
        f.b[4] = 0x10;
        f.b[5] = 0x20;
        f.b[6] = c.index;
        f.b[7] = 0;
        int16_t out[VOICE_MAX_DECODE_SAMPLES];
        std::memset(out, 0x77, sizeof(out));
        uint16_t count = 5;
        EXPECT_EQ(MK_VOICE_DecodeFrame(&s, f.b, out, &count), MK_ERR_VOICE_DEC_LENGTH)
            << "id " << c.id << " length " << int(c.length) << " index " << int(c.index);
        EXPECT_EQ(count, 0);
        EXPECT_EQ(s.adpcm.s16Predicted, 1234);
        EXPECT_EQ(s.adpcm.s16StepIndex, 17);
        EXPECT_EQ(out[0], 0x7777);
    }
    // The edges that are fine: index 88, and a frame of just the block header.
    VOICE_CODEC_STATE_S s = Open(VOICE_CODEC_DVI4);
    Frame f = HeaderOnly(0x01, 2);
    f.b[4] = f.b[5] = f.b[7] = 0;
    f.b[6] = 88;
    int16_t out[VOICE_MAX_DECODE_SAMPLES];
    uint16_t count = 5;
    EXPECT_EQ(MK_VOICE_DecodeFrame(&s, f.b, out, &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(s.adpcm.s16StepIndex, 88);
    s = Open(VOICE_CODEC_IMA);
    EXPECT_EQ(MK_VOICE_DecodeFrame(&s, f.b, out, &count), 0);
    EXPECT_EQ(count, 1);
}

// The longest ADPCM frames fill exactly the documented output bound and not a sample more.
TEST(VoiceCodecTest, AdpcmDecodeStaysWithinTheOutputBound) {
    for (const auto& [id, expected] : {std::pair<int16_t, int>{67, 1020}, {3, 1012}, {35, 1013}}) {
        VOICE_CODEC_STATE_S s = Open(id);
        Frame f = HeaderOnly(0x01, 255);
        std::vector<uint8_t> frame(4 + 510, 0x3C);
        std::memcpy(frame.data(), f.b, 4);
        frame[4 + 2] = 40;  // a valid step index for the headed layouts
        std::vector<int16_t> out(VOICE_MAX_DECODE_SAMPLES + 8, 0x5555);
        uint16_t count = 0;
        ASSERT_EQ(MK_VOICE_DecodeFrame(&s, frame.data(), out.data(), &count), 0);
        EXPECT_EQ(count, expected);
        EXPECT_LE(count, VOICE_MAX_DECODE_SAMPLES);
        for (int k = expected; k < VOICE_MAX_DECODE_SAMPLES + 8; ++k) ASSERT_EQ(out[k], 0x5555) << k;
    }
}

TEST(VoiceCodecTest, G726PacksTheSameCodeWordsInBothBitOrders) {
    const std::vector<int16_t> pcm = Speech(480);
    for (const int bits : {2, 3, 4, 5}) {
        VOICE_CODEC_STATE_S lsb = Open(static_cast<int16_t>(bits + 2)),
                            msb = Open(static_cast<int16_t>(bits + 34));
        Frame a, b;
        ASSERT_EQ(MK_VOICE_EncodeFrame(&lsb, pcm.data(), a.b, 480), 0);
        ASSERT_EQ(MK_VOICE_EncodeFrame(&msb, pcm.data(), b.b, 480), 0);
        ASSERT_EQ(a.Words(), b.Words());
        // Read the code words back bit by bit in each order.
        const int words = 480;
        for (int k = 0; k < words; ++k) {
            int ca = 0, cb = 0;
            for (int j = 0; j < bits; ++j) {
                const int pa = k * bits + j;  // bit j of code word k, least significant first
                ca |= ((a.b[4 + pa / 8] >> (pa % 8)) & 1) << j;
                const int pb = k * bits + j;  // most significant first
                cb = (cb << 1) | ((b.b[4 + pb / 8] >> (7 - pb % 8)) & 1);
            }
            ASSERT_EQ(ca, cb) << "bits " << bits << " code word " << k;
        }
        if (bits == 3) {
            // First byte: code words 1, 2 and two bits of 3.
            const int c1 = a.b[4] & 7, c2 = (a.b[4] >> 3) & 7, c3 = (a.b[4] >> 6) | ((a.b[5] & 1) << 2);
            EXPECT_EQ(b.b[4], ((c1 << 5) | (c2 << 2) | (c3 >> 1)) & 0xFF);
        }
        // Decoding the MSB-first frame rewrites its payload to the LSB-first packing, same samples.
        VOICE_CODEC_STATE_S da = Open(static_cast<int16_t>(bits + 2)),
                            db = Open(static_cast<int16_t>(bits + 34));
        int16_t oa[VOICE_MAX_DECODE_SAMPLES], ob[VOICE_MAX_DECODE_SAMPLES];
        uint16_t na = 0, nb = 0;
        ASSERT_EQ(MK_VOICE_DecodeFrame(&da, a.b, oa, &na), 0);
        ASSERT_EQ(MK_VOICE_DecodeFrame(&db, b.b, ob, &nb), 0);
        ASSERT_EQ(na, 480);
        ASSERT_EQ(nb, 480);
        EXPECT_EQ(std::memcmp(oa, ob, sizeof(int16_t) * 480), 0);
        EXPECT_EQ(std::memcmp(a.b + 4, b.b + 4, static_cast<size_t>(a.Words() * 2)), 0);
    }
}

TEST(VoiceCodecTest, G726FreshStateCodesTheStandardsFirstWords) {
    int16_t pcm[80] = {};
    VOICE_CODEC_STATE_S s = Open(VOICE_CODEC_G726_32);
    Frame f;
    ASSERT_EQ(MK_VOICE_EncodeFrame(&s, pcm, f.b, 80), 0);
    EXPECT_EQ(f.b[4] & 0x0F, 15);
    pcm[0] = 1000;
    s = Open(VOICE_CODEC_G726_32);
    ASSERT_EQ(MK_VOICE_EncodeFrame(&s, pcm, f.b, 80), 0);
    EXPECT_EQ(f.b[4] & 0x0F, 7);
}

// Code words that no encoder made drive the reconstruction past 14 bits; the output saturates.
TEST(VoiceCodecTest, G726RandomCodeWordsSaturateTheOutput) {
    for (const int16_t id : {4, 5, 6, 7}) {
        VOICE_CODEC_STATE_S s = Open(id);
        uint32_t seed = 99;
        int top = 0, bottom = 0;
        for (int frame = 0; frame < 50; ++frame) {
            Frame f = HeaderOnly(0x01, static_cast<uint8_t>(30 * (id - 2)));
            for (int k = 0; k < 300; ++k) {
                seed = seed * 1103515245u + 12345u;
                f.b[4 + k] = static_cast<uint8_t>(seed >> 16);
            }
            int16_t out[VOICE_MAX_DECODE_SAMPLES];
            uint16_t count = 0;
            ASSERT_EQ(MK_VOICE_DecodeFrame(&s, f.b, out, &count), 0);
            for (int k = 0; k < count; ++k) {
                ASSERT_LE(out[k], 32764);
                top += out[k] == 32764;
                bottom += out[k] == -32768;
            }
        }
        EXPECT_GT(top + bottom, 0) << "id " << id;
    }
}

TEST(VoiceCodecTest, Adpcm16PacksEightCodeWordsPerWordFromTheTop) {
    const std::vector<int16_t> pcm = Speech(80);
    VOICE_CODEC_STATE_S s = Open(VOICE_CODEC_ADPCM16);
    Frame f;
    ASSERT_EQ(MK_VOICE_EncodeFrame(&s, pcm.data(), f.b, 80), 0);
    EXPECT_EQ(f.Words(), 10);
    EXPECT_EQ(f.b[24], 0xEE);

    // A large positive step (code 1) as sample 1 or as sample 8 of the first word.
    auto decode = [](uint16_t word0) {
        Frame g = HeaderOnly(0x01, 10);
        std::memset(g.b + 4, 0, 20);
        g.b[4] = static_cast<uint8_t>(word0);
        g.b[5] = static_cast<uint8_t>(word0 >> 8);
        VOICE_CODEC_STATE_S d = Open(VOICE_CODEC_ADPCM16);
        std::vector<int16_t> out(VOICE_MAX_DECODE_SAMPLES);
        uint16_t count = 0;
        EXPECT_EQ(MK_VOICE_DecodeFrame(&d, g.b, out.data(), &count), 0);
        EXPECT_EQ(count, 80);
        return out;
    };
    const std::vector<int16_t> base = decode(0x0000), first = decode(0x4000), last = decode(0x0001);
    EXPECT_GT(first[0], base[0]);
    for (int k = 0; k < 7; ++k) EXPECT_EQ(last[k], base[k]) << k;
    EXPECT_GT(last[7], base[7]);
}

// Id 68 codes the full 16-bit sample with the standard's scale factor ceiling: a quantized difference
// never exceeds 7584, however hard the code words push.
TEST(VoiceCodecTest, Adpcm16QuantizedDifferenceTopsOutAtItsCeiling) {
    VOICE_CODEC_STATE_S s = Open(VOICE_CODEC_ADPCM16);
    int peak = 0;
    for (int frame = 0; frame < 20; ++frame) {
        Frame f = HeaderOnly(0x01, 60);
        for (int k = 0; k < 60; ++k) {
            const uint16_t word = frame % 2 ? 0x5555 : 0xAAAA;  // all large positive / all large negative
            f.b[4 + 2 * k] = static_cast<uint8_t>(word);
            f.b[5 + 2 * k] = static_cast<uint8_t>(word >> 8);
        }
        int16_t out[VOICE_MAX_DECODE_SAMPLES];
        uint16_t count = 0;
        ASSERT_EQ(MK_VOICE_DecodeFrame(&s, f.b, out, &count), 0);
        const int dq = s.adpcm16.dq1 < 0 ? -s.adpcm16.dq1 : s.adpcm16.dq1;
        peak = dq > peak ? dq : peak;
        ASSERT_LE(dq, 7584);
        ASSERT_GE(s.adpcm16.yu, 544);
        ASSERT_LE(s.adpcm16.yu, 5120);
    }
    EXPECT_EQ(peak, 7584);
}

TEST(VoiceCodecTest, RefusedDecodeChangesNeitherStateNorFrame) {
    const std::vector<int16_t> pcm = Speech(480);
    VOICE_CODEC_STATE_S enc = Open(VOICE_CODEC_G726_24_MSB);
    Frame f;
    ASSERT_EQ(MK_VOICE_EncodeFrame(&enc, pcm.data(), f.b, 480), 0);
    f.b[2] = 89;  // not a whole number of 80-sample blocks at 24 kbit/s
    Frame copy = f;
    VOICE_CODEC_STATE_S dec = Open(VOICE_CODEC_G726_24_MSB);
    const VOICE_CODEC_STATE_S before = dec;
    int16_t out[VOICE_MAX_DECODE_SAMPLES];
    uint16_t count = 3;
    EXPECT_EQ(MK_VOICE_DecodeFrame(&dec, f.b, out, &count), MK_ERR_VOICE_DEC_LENGTH);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(std::memcmp(&dec, &before, sizeof(dec)), 0);
    EXPECT_EQ(std::memcmp(f.b, copy.b, sizeof(f.b)), 0);
}

// Round-trip signal-to-noise floors on speech, a few dB under what each codec reaches.
double SnrFloor(int16_t id) {
    switch (id) {
        case 1:
        case 2:
        case 65:
        case 66:
            return 30;
        case 3:
        case 35:
        case 67:
            return 12;
        case 4:
        case 36:
        case 68:
            return 6;
        case 5:
        case 37:
            return 11;
        case 6:
        case 38:
            return 16;
        default:
            return 20;
    }
}

TEST(VoiceCodecTest, StreamsRoundTripAcrossFrames) {
    // Every codec, 2 seconds in frames of 160: decoded energy near the input's, residual well below it.
    const std::vector<int16_t> pcm = Speech(16000 + 1);
    for (const int16_t id : kAllIds) {
        VOICE_CODEC_STATE_S enc = Open(id), dec = Open(id);
        const int n = id == VOICE_CODEC_IMA ? 161 : 160;
        double sig = 0, err = 0;
        for (size_t base = 0; base + n <= pcm.size(); base += n) {
            Frame f;
            ASSERT_EQ(MK_VOICE_EncodeFrame(&enc, &pcm[base], f.b, static_cast<int16_t>(n)), 0);
            int16_t out[VOICE_MAX_DECODE_SAMPLES];
            uint16_t count = 0;
            ASSERT_EQ(MK_VOICE_DecodeFrame(&dec, f.b, out, &count), 0);
            ASSERT_EQ(count, n);
            for (int k = 0; k < n; ++k) {
                sig += double(pcm[base + k]) * pcm[base + k];
                err += (double(pcm[base + k]) - out[k]) * (double(pcm[base + k]) - out[k]);
            }
        }
        const double snr = 10 * std::log10(sig / err);
        EXPECT_GT(snr, SnrFloor(id)) << "id " << id;
    }
}

TEST(VoiceCodecTest, TransCodeResetChecksPairAndKind) {
    VOICE_TRANSCODER_S pair{};
    EXPECT_EQ(MK_VOICE_TransCodeReset(nullptr, 97), MK_ERR_VOICE_TRANS_NULL);
    EXPECT_EQ(MK_VOICE_TransCodeReset(&pair, 96), MK_ERR_VOICE_TRANS_KIND);
    EXPECT_EQ(MK_VOICE_TransCodeReset(&pair, 101), MK_ERR_VOICE_TRANS_KIND);
    const struct {
        int32_t kind;
        int16_t from, to;
    } kinds[] = {{97, 65, 1}, {98, 66, 2}, {99, 67, 3}, {100, 68, 4}};
    for (const auto& k : kinds) {
        ASSERT_EQ(MK_VOICE_TransCodeReset(&pair, k.kind), 0);
        EXPECT_EQ(pair.decoder.s16CodecId, k.from);
        EXPECT_EQ(pair.encoder.s16CodecId, k.to);
    }
    Frame f;
    EXPECT_EQ(MK_VOICE_TransCodeFrame(nullptr, f.b), MK_ERR_VOICE_TRANS_NULL);
    EXPECT_EQ(MK_VOICE_TransCodeFrame(&pair, nullptr), MK_ERR_VOICE_NULL_INPUT);
    pair.encoder.s16CodecId = 5;
    EXPECT_EQ(MK_VOICE_TransCodeFrame(&pair, f.b), MK_ERR_VOICE_TRANS_KIND);
}

TEST(VoiceCodecTest, TransCodeTurnsSwappedG711IntoPlain) {
    const std::vector<int16_t> pcm = Speech(160);
    for (const auto& [kind, from, to] : {std::tuple<int32_t, int16_t, int16_t>{97, 65, 1}, {98, 66, 2}}) {
        VOICE_CODEC_STATE_S swapped = Open(from), plain = Open(to);
        Frame f, expected;
        ASSERT_EQ(MK_VOICE_EncodeFrame(&swapped, pcm.data(), f.b, 160), 0);
        ASSERT_EQ(MK_VOICE_EncodeFrame(&plain, pcm.data(), expected.b, 160), 0);
        VOICE_TRANSCODER_S pair{};
        ASSERT_EQ(MK_VOICE_TransCodeReset(&pair, kind), 0);
        ASSERT_EQ(MK_VOICE_TransCodeFrame(&pair, f.b), 0);
        EXPECT_EQ(std::memcmp(f.b, expected.b, 4 + 160), 0);
    }
}

// The swap takes only lengths the G.711 decoder takes (40, 80, ... 240 words); any other length byte is
// refused with the frame untouched. The frame is exactly as long as the largest frame, so a swap past
// its end shows under the address sanitizer.
TEST(VoiceCodecTest, TransCodeSwapRefusesLengthsTheG711DecoderRefuses) {
    for (const int32_t kind : {VOICE_TRANS_G711A, VOICE_TRANS_G711U}) {
        VOICE_TRANSCODER_S pair{};
        ASSERT_EQ(MK_VOICE_TransCodeReset(&pair, kind), 0);
        for (int length = 0; length <= 255; ++length) {
            const bool allowed = length != 0 && length % 40 == 0 && length <= 240;
            std::vector<uint8_t> frame(VOICE_MAX_FRAME_BYTES);
            for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 7 + 3);
            frame[0] = 0x00, frame[1] = 0x01, frame[2] = static_cast<uint8_t>(length), frame[3] = 0;
            const std::vector<uint8_t> before = frame;
            const int32_t ret = MK_VOICE_TransCodeFrame(&pair, frame.data());
            if (!allowed) {
                EXPECT_EQ(ret, MK_ERR_VOICE_DEC_LENGTH) << "length " << length;
                EXPECT_EQ(frame, before) << "length " << length;
                continue;
            }
            ASSERT_EQ(ret, 0) << "length " << length;
            for (int k = 0; k < length; ++k) {
                EXPECT_EQ(frame[4 + 2 * k], before[5 + 2 * k]) << "length " << length << " word " << k;
                EXPECT_EQ(frame[5 + 2 * k], before[4 + 2 * k]) << "length " << length << " word " << k;
            }
            EXPECT_TRUE(std::equal(frame.begin() + 4 + 2 * length, frame.end(), before.begin() + 4 + 2 * length));
        }
    }
}

TEST(VoiceCodecTest, TransCodeTurnsHeaderlessAdpcmIntoBlockFrames) {
    const std::vector<int16_t> pcm = Speech(480);
    VOICE_CODEC_STATE_S raw = Open(VOICE_CODEC_DVI4_RAW), rawDec = Open(VOICE_CODEC_DVI4_RAW);
    VOICE_TRANSCODER_S pair{};
    ASSERT_EQ(MK_VOICE_TransCodeReset(&pair, VOICE_TRANS_DVI4), 0);
    VOICE_CODEC_STATE_S headedDec = Open(VOICE_CODEC_DVI4);
    for (int base = 0; base < 480; base += 80) {
        Frame f;
        ASSERT_EQ(MK_VOICE_EncodeFrame(&raw, &pcm[base], f.b, 80), 0);
        ASSERT_EQ(f.Words(), 20);
        Frame copy = f;
        int16_t direct[VOICE_MAX_DECODE_SAMPLES];
        uint16_t n1 = 0;
        ASSERT_EQ(MK_VOICE_DecodeFrame(&rawDec, copy.b, direct, &n1), 0);
        ASSERT_EQ(MK_VOICE_TransCodeFrame(&pair, f.b), 0);
        EXPECT_EQ(f.Words(), 22);
        EXPECT_EQ(f.b[48], 0xEE);
        // The new frame decodes by itself; it is a second coding of the decoded samples.
        int16_t viaBlock[VOICE_MAX_DECODE_SAMPLES];
        uint16_t n2 = 0;
        ASSERT_EQ(MK_VOICE_DecodeFrame(&headedDec, f.b, viaBlock, &n2), 0);
        ASSERT_EQ(n2, 80);
        double sig = 0, err = 0;
        for (int k = 0; k < 80; ++k) {
            sig += double(direct[k]) * direct[k];
            err += (double(direct[k]) - viaBlock[k]) * (double(direct[k]) - viaBlock[k]);
        }
        EXPECT_GT(10 * std::log10((sig + 1) / (err + 1)), 10.0) << "at " << base;
    }
}

// The transcoder's work buffer holds 480 samples: a longer headerless ADPCM frame is refused before
// anything is decoded, and a frame the encoder refuses keeps its content; both report the engine's code.
TEST(VoiceCodecTest, TransCodeReportsFramesItCannotConvert) {
    VOICE_TRANSCODER_S pair{};
    ASSERT_EQ(MK_VOICE_TransCodeReset(&pair, VOICE_TRANS_DVI4), 0);
    struct Case {
        uint8_t length;
        int32_t result;
    } cases[] = {
        {121, MK_ERR_VOICE_DEC_LENGTH}, {255, MK_ERR_VOICE_DEC_LENGTH}, {30, MK_ERR_VOICE_ENC_COUNT}};
    for (const Case& c : cases) {
        Frame f = HeaderOnly(0x01, c.length);
        std::memset(f.b + 4, 0x77, 2 * c.length);
        const Frame copy = f;
        const VOICE_TRANSCODER_S before = pair;
        EXPECT_EQ(MK_VOICE_TransCodeFrame(&pair, f.b), c.result) << "length " << int(c.length);
        EXPECT_EQ(std::memcmp(f.b, copy.b, sizeof(f.b)), 0);
        EXPECT_EQ(std::memcmp(&pair.encoder, &before.encoder, sizeof(pair.encoder)), 0);
        if (c.result == MK_ERR_VOICE_DEC_LENGTH) {
            EXPECT_EQ(std::memcmp(&pair.decoder, &before.decoder, sizeof(pair.decoder)), 0);
        }
    }
    // Exactly 120 words (480 samples) converts.
    Frame f = HeaderOnly(0x01, 120);
    std::memset(f.b + 4, 0x31, 240);
    EXPECT_EQ(MK_VOICE_TransCodeFrame(&pair, f.b), 0);
    EXPECT_EQ(f.Words(), 122);

    ASSERT_EQ(MK_VOICE_TransCodeReset(&pair, VOICE_TRANS_ADPCM16), 0);
    Frame bad = HeaderOnly(0x03, 10);
    EXPECT_EQ(MK_VOICE_TransCodeFrame(&pair, bad.b), MK_ERR_VOICE_DEC_MARK);
}

TEST(VoiceCodecTest, Clip14LimitsToFourteenBits) {
    EXPECT_EQ(VOICE_Clip14(-100000), -8192);
    EXPECT_EQ(VOICE_Clip14(-8193), -8192);
    EXPECT_EQ(VOICE_Clip14(-8192), -8192);
    EXPECT_EQ(VOICE_Clip14(8191), 8191);
    EXPECT_EQ(VOICE_Clip14(8192), 8191);
    EXPECT_EQ(VOICE_Clip14(5), 5);
}

}  // namespace
