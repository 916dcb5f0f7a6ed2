#include "sdk/audio/adp/audio_voice_adp.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

extern "C" {
#include <spandsp.h>
}

#include "sdk/audio/adec/mpi_adec.h"
#include "sdk/audio/adp/audio_fault.h"
#include "sdk/audio/aenc/mpi_aenc.h"
#include "sdk/audio/codecs/voice_codec.h"
#include "sdk/audio/testing/speech_signal.h"

namespace {

using EncOpen = MK_S32 (*)(MK_VOID*, MK_VOID**);
using EncFn = MK_S32 (*)(MK_VOID*, const AUDIO_FRAME_S*, MK_U8*, MK_U32*);
using Close = MK_S32 (*)(MK_VOID*);
using DecFn = MK_S32 (*)(MK_VOID*, MK_U8**, MK_S32*, MK_U16*, MK_U32*, MK_U32*);

constexpr MK_S32 kAencIllegal = static_cast<MK_S32>(0xA0178003);
constexpr MK_S32 kAdecIllegal = static_cast<MK_S32>(0xA0188003);
constexpr MK_S32 kAencNoMem = static_cast<MK_S32>(0xA017800C);
constexpr MK_S32 kAdecNoMem = static_cast<MK_S32>(0xA018800C);
constexpr MK_S32 kLack = static_cast<MK_S32>(0xA0188041);
constexpr MK_S32 kDup = static_cast<MK_S32>(0xA017800F);

std::vector<int16_t> Speech(size_t n, uint32_t seed = 1) {
    std::vector<int16_t> v(n);
    varnelle::voice::SpeechLike(v.data(), static_cast<int>(n), 0.8, seed);
    return v;
}

AUDIO_FRAME_S Frame(int16_t* samples, MK_U32 points, AUDIO_BIT_WIDTH_E width = AUDIO_BIT_WIDTH_16) {
    AUDIO_FRAME_S f{};
    f.enBitwidth = width;
    f.pVirAddr[0] = samples;
    f.u32Len = points * AudioBytesPerPoint(width);
    return f;
}

struct Codec {
    const char* name;
    EncOpen open;
    EncFn encode;
    Close close;
    EncOpen dopen;
    DecFn decode;
    Close dclose;
    Close reset;
    MK_U32 attr;  // ADPCM type or G.726 rate code
};

const Codec kG711A{"G711a",           OpenG711AEncoder,  EncodeG711AFrm,
                   CloseG711AEncoder, OpenG711ADecoder,  DecodeG711AFrm,
                   CloseG711ADecoder, ResetG711ADecoder, 0};
const Codec kG711U{"G711u",           OpenG711UEncoder,  EncodeG711UFrm,
                   CloseG711UEncoder, OpenG711UDecoder,  DecodeG711UFrm,
                   CloseG711UDecoder, ResetG711UDecoder, 0};
Codec Adpcm(MK_U32 type) {
    return {"Adpcm",           OpenADPCMEncoder,  EncodeADPCMFrm,
            CloseADPCMEncoder, OpenADPCMDecoder,  DecodeADPCMFrm,
            CloseADPCMDecoder, ResetADPCMDecoder, type};
}
Codec G726(MK_U32 rate) {
    return {"G726",           OpenG726Encoder,  EncodeG726Frm,
            CloseG726Encoder, OpenG726Decoder,  DecodeG726Frm,
            CloseG726Decoder, ResetG726Decoder, rate};
}

// Points per frame each codec takes and refuses, written from the codecs' frame rules.
struct PointCase {
    Codec codec;
    MK_U32 points;
    bool accepted;
};

class AdpEncodePointsTest : public ::testing::TestWithParam<PointCase> {};

TEST_P(AdpEncodePointsTest, AcceptsOnlyItsFrameSizes) {
    const PointCase c = GetParam();
    MK_U32 attr = c.codec.attr;
    MK_VOID* h = nullptr;
    ASSERT_EQ(c.codec.open(&attr, &h), MK_SUCCESS);
    std::vector<int16_t> pcm = Speech(c.points);
    AUDIO_FRAME_S f = Frame(pcm.data(), c.points);
    std::vector<MK_U8> out(1024, 0xEE);
    MK_U32 len = 0;
    MK_S32 ret = c.codec.encode(h, &f, out.data(), &len);
    if (c.accepted) {
        EXPECT_EQ(ret, MK_SUCCESS);
        EXPECT_EQ(out[0], 0x00);
        EXPECT_EQ(out[1], 0x01);
        EXPECT_EQ(len, (static_cast<MK_U32>(out[2] | out[3] << 8) + 2) * 2);
        EXPECT_LE(len, 484u);
    } else {
        EXPECT_EQ(ret, kAencIllegal);
        EXPECT_EQ(out[0], 0xEE) << "a refused frame writes nothing";
    }
    EXPECT_EQ(c.codec.close(h), MK_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AdpEncodePointsTest,
    ::testing::Values(
        PointCase{kG711A, 80, true}, PointCase{kG711A, 480, true}, PointCase{kG711A, 400, false},
        PointCase{kG711A, 81, false}, PointCase{kG711U, 320, true}, PointCase{kG711U, 0, false},
        PointCase{G726(G726_32K), 240, true}, PointCase{G726(G726_40K_MSB), 400, false},
        PointCase{Adpcm(ADPCM_TYPE_DVI4), 80, true}, PointCase{Adpcm(ADPCM_TYPE_DVI4), 81, false},
        PointCase{Adpcm(ADPCM_TYPE_ORG_DVI4), 160, true}, PointCase{Adpcm(ADPCM_TYPE_ORG_DVI4), 161, false},
        PointCase{Adpcm(ADPCM_TYPE_IMA), 81, true}, PointCase{Adpcm(ADPCM_TYPE_IMA), 481, true},
        PointCase{Adpcm(ADPCM_TYPE_IMA), 80, false}, PointCase{Adpcm(ADPCM_TYPE_IMA), 400, false}));

TEST(AdpTest, G711FrameOf160BytesGivesAPacketOf84) {
    MK_VOID* h = nullptr;
    ASSERT_EQ(OpenG711AEncoder(nullptr, &h), MK_SUCCESS) << "the A-law open reads no attribute";
    std::vector<int16_t> pcm = Speech(80);
    AUDIO_FRAME_S f = Frame(pcm.data(), 80);
    ASSERT_EQ(f.u32Len, 160u);
    MK_U8 out[484];
    MK_U32 len = 0;
    ASSERT_EQ(EncodeG711AFrm(h, &f, out, &len), MK_SUCCESS);
    EXPECT_EQ(len, 84u);
    EXPECT_EQ(out[2], 40);
    for (int k = 0; k < 80; ++k) ASSERT_EQ(out[4 + k], linear_to_alaw(pcm[k])) << k;
    CloseG711AEncoder(h);
}

TEST(AdpTest, OpenRefusesTypesAndRatesPastTheTable) {
    struct Case {
        EncOpen open;
        MK_U32 word;
        MK_S32 code;
    } const cases[] = {
        {OpenADPCMEncoder, 3, kAencIllegal},          {OpenADPCMDecoder, 3, kAdecIllegal},
        {OpenG726Encoder, 8, kAencIllegal},           {OpenG726Decoder, 8, kAdecIllegal},
        {OpenADPCMEncoder, 0xFFFFFFFF, kAencIllegal},
    };
    for (const Case& c : cases) {
        MK_U32 word = c.word;
        MK_VOID* h = reinterpret_cast<MK_VOID*>(0x1);
        EXPECT_EQ(c.open(&word, &h), c.code) << c.word;
        EXPECT_EQ(h, reinterpret_cast<MK_VOID*>(0x1)) << "no handle written";
    }
}

TEST(AdpTest, ContextAllocationFailureGivesEachModulesCode) {
    struct Case {
        EncOpen open;
        MK_S32 code;
    } const cases[] = {
        {OpenG711AEncoder, kAencNoMem}, {OpenG711UEncoder, kAencNoMem}, {OpenADPCMEncoder, kAencNoMem},
        {OpenG726Encoder, kAencNoMem},  {OpenG711ADecoder, kAdecNoMem}, {OpenG711UDecoder, kAdecNoMem},
        {OpenADPCMDecoder, kAdecNoMem}, {OpenG726Decoder, kAdecNoMem},
    };
    for (const Case& c : cases) {
        mk::audio::ArmFault(mk::audio::Fault::kAdpAlloc);
        MK_U32 word = 0;
        MK_VOID* h = nullptr;
        EXPECT_EQ(c.open(&word, &h), c.code);
        EXPECT_EQ(h, nullptr);
    }
    mk::audio::ClearFaults();
}

// The rate code picks the bit rate and the code-word packing; SpanDSP decodes the payloads with the
// rate and packing written here by hand.
struct G726Case {
    G726_BPS_E code;
    int rate;
    int packing;
};

class AdpG726Test : public ::testing::TestWithParam<G726Case> {};

TEST_P(AdpG726Test, PayloadDecodesWithSpanDspAsTheAdapterDecodes) {
    const G726Case c = GetParam();
    AUDIO_ATTR_G726_S attr{c.code};
    MK_VOID *enc = nullptr, *dec = nullptr;
    ASSERT_EQ(OpenG726Encoder(&attr, &enc), MK_SUCCESS);
    ASSERT_EQ(OpenG726Decoder(&attr, &dec), MK_SUCCESS);
    g726_state_t* ref = g726_init(nullptr, c.rate, G726_ENCODING_LINEAR, c.packing);
    std::vector<int16_t> pcm = Speech(8000);
    for (size_t base = 0; base + 320 <= pcm.size(); base += 320) {
        AUDIO_FRAME_S f = Frame(&pcm[base], 320);
        MK_U8 packet[484];
        MK_U32 len = 0;
        ASSERT_EQ(EncodeG726Frm(enc, &f, packet, &len), MK_SUCCESS);
        ASSERT_EQ(len, 4u + 320u * (c.rate / 8000) / 8);
        int16_t theirs[480];
        ASSERT_EQ(g726_decode(ref, theirs, packet + 4, static_cast<int>(len - 4)), 320);
        MK_U8* in = packet;
        MK_S32 left = static_cast<MK_S32>(len);
        MK_U16 ours[1024];
        MK_U32 outLen = 0, chns = 0;
        ASSERT_EQ(DecodeG726Frm(dec, &in, &left, ours, &outLen, &chns), MK_SUCCESS);
        ASSERT_EQ(outLen, 640u);
        ASSERT_EQ(chns, 1u);
        ASSERT_EQ(std::memcmp(ours, theirs, 640), 0) << "at sample " << base;
    }
    g726_free(ref);
    CloseG726Encoder(enc);
    CloseG726Decoder(dec);
}

INSTANTIATE_TEST_SUITE_P(Rates, AdpG726Test,
                         ::testing::Values(G726Case{G726_16K, 16000, G726_PACKING_RIGHT},
                                           G726Case{G726_24K, 24000, G726_PACKING_RIGHT},
                                           G726Case{G726_32K, 32000, G726_PACKING_RIGHT},
                                           G726Case{G726_40K, 40000, G726_PACKING_RIGHT},
                                           G726Case{G726_16K_MSB, 16000, G726_PACKING_LEFT},
                                           G726Case{G726_24K_MSB, 24000, G726_PACKING_LEFT},
                                           G726Case{G726_32K_MSB, 32000, G726_PACKING_LEFT},
                                           G726Case{G726_40K_MSB, 40000, G726_PACKING_LEFT}));

TEST(AdpTest, ImaAdpcmIsSpanDspsImaFour) {
    AUDIO_ATTR_ADPCM_S attr{ADPCM_TYPE_IMA};
    MK_VOID *enc = nullptr, *dec = nullptr;
    ASSERT_EQ(OpenADPCMEncoder(&attr, &enc), MK_SUCCESS);
    ASSERT_EQ(OpenADPCMDecoder(&attr, &dec), MK_SUCCESS);
    ima_adpcm_state_t* ref = ima_adpcm_init(nullptr, IMA_ADPCM_IMA4, 0);
    std::vector<int16_t> pcm = Speech(481 * 10);
    for (size_t base = 0; base + 481 <= pcm.size(); base += 481) {
        AUDIO_FRAME_S f = Frame(&pcm[base], 481);
        MK_U8 packet[484];
        MK_U32 len = 0;
        ASSERT_EQ(EncodeADPCMFrm(enc, &f, packet, &len), MK_SUCCESS);
        int16_t theirs[512];
        ASSERT_EQ(ima_adpcm_decode(ref, theirs, packet + 4, static_cast<int>(len - 4)), 481);
        MK_U8* in = packet;
        MK_S32 left = static_cast<MK_S32>(len);
        MK_U16 ours[1024];
        MK_U32 outLen = 0, chns = 0;
        ASSERT_EQ(DecodeADPCMFrm(dec, &in, &left, ours, &outLen, &chns), MK_SUCCESS);
        ASSERT_EQ(outLen, 962u);
        ASSERT_EQ(std::memcmp(ours, theirs, 962), 0) << "at sample " << base;
    }
    ima_adpcm_free(ref);
    CloseADPCMEncoder(enc);
    CloseADPCMDecoder(dec);
}

// Frames of every coded codec back to back in one buffer.
struct Packed {
    std::vector<MK_U8> bytes;
    std::vector<MK_S32> frameLen;
};

Packed EncodeFrames(const Codec& c, int frames, MK_U32 points) {
    MK_U32 attr = c.attr;
    MK_VOID* h = nullptr;
    EXPECT_EQ(c.open(&attr, &h), MK_SUCCESS);
    std::vector<int16_t> pcm = Speech(points * frames, 5);
    Packed p;
    for (int i = 0; i < frames; ++i) {
        AUDIO_FRAME_S f = Frame(&pcm[points * i], points);
        MK_U8 out[484];
        MK_U32 len = 0;
        EXPECT_EQ(c.encode(h, &f, out, &len), MK_SUCCESS);
        p.bytes.insert(p.bytes.end(), out, out + len);
        p.frameLen.push_back(static_cast<MK_S32>(len));
    }
    c.close(h);
    return p;
}

class AdpDecodeTest : public ::testing::TestWithParam<Codec> {};

TEST_P(AdpDecodeTest, ConsumesOneFrameAtATimeAndWaitsForWholeFrames) {
    const Codec c = GetParam();
    const MK_U32 points = c.open == OpenADPCMEncoder && c.attr == ADPCM_TYPE_IMA ? 161 : 160;
    Packed p = EncodeFrames(c, 3, points);
    MK_U32 attr = c.attr;
    MK_VOID* dec = nullptr;
    ASSERT_EQ(c.dopen(&attr, &dec), MK_SUCCESS);
    MK_U8* in = p.bytes.data();
    MK_U16 out[1024];
    for (size_t i = 0; i < p.frameLen.size(); ++i) {
        // One byte short of the frame: nothing moves.
        MK_S32 left = p.frameLen[i] - 1;
        MK_U32 outLen = 12345, chns = 0;
        MK_U8* before = in;
        EXPECT_EQ(c.decode(dec, &in, &left, out, &outLen, &chns), kLack);
        EXPECT_EQ(in, before);
        EXPECT_EQ(left, p.frameLen[i] - 1);
        EXPECT_EQ(outLen, 12345u);
        EXPECT_EQ(chns, 1u);
        left = static_cast<MK_S32>(p.bytes.data() + p.bytes.size() - in);
        const MK_S32 wasLeft = left;
        ASSERT_EQ(c.decode(dec, &in, &left, out, &outLen, &chns), MK_SUCCESS);
        EXPECT_EQ(in, before + p.frameLen[i]);
        EXPECT_EQ(left, wasLeft - p.frameLen[i]);
        EXPECT_EQ(outLen, points * 2);
    }
    c.dclose(dec);
}

TEST_P(AdpDecodeTest, FewerBytesThanAHeaderAreNeverRead) {
    const Codec c = GetParam();
    MK_U32 attr = c.attr;
    MK_VOID* dec = nullptr;
    ASSERT_EQ(c.dopen(&attr, &dec), MK_SUCCESS);
    for (MK_S32 n = 0; n < 4; ++n) {
        // Exactly n bytes of memory: a read of the length byte past them shows under ASan.
        std::vector<MK_U8> bytes(n, 0x01);
        MK_U8* data = n > 0 ? bytes.data() : nullptr;
        MK_U8* in = data;
        MK_S32 left = n;
        MK_U16 out[1024];
        MK_U32 outLen = 7, chns = 0;
        EXPECT_EQ(c.decode(dec, &in, &left, out, &outLen, &chns), kLack) << n;
        EXPECT_EQ(in, data);
        EXPECT_EQ(left, n);
        EXPECT_EQ(outLen, 7u);
    }
    c.dclose(dec);
}

TEST_P(AdpDecodeTest, AFrameWithABadHeaderIsSkipped) {
    const Codec c = GetParam();
    Packed p = EncodeFrames(c, 2, c.open == OpenADPCMEncoder && c.attr == ADPCM_TYPE_IMA ? 81 : 80);
    p.bytes[1] = 0x02;  // not the frame mark
    MK_U32 attr = c.attr;
    MK_VOID* dec = nullptr;
    ASSERT_EQ(c.dopen(&attr, &dec), MK_SUCCESS);
    MK_U8* in = p.bytes.data();
    MK_S32 left = static_cast<MK_S32>(p.bytes.size());
    MK_U16 out[1024];
    MK_U32 outLen = 7, chns = 0;
    EXPECT_EQ(c.decode(dec, &in, &left, out, &outLen, &chns), MK_ERR_VOICE_DEC_MARK);
    EXPECT_EQ(in, p.bytes.data() + p.frameLen[0]);
    EXPECT_EQ(outLen, 0u);
    EXPECT_EQ(c.decode(dec, &in, &left, out, &outLen, &chns), MK_SUCCESS) << "the next frame decodes";
    EXPECT_EQ(left, 0);
    c.dclose(dec);
}

TEST_P(AdpDecodeTest, ResetStartsTheCoderAgain) {
    const Codec c = GetParam();
    const MK_U32 points = c.open == OpenADPCMEncoder && c.attr == ADPCM_TYPE_IMA ? 161 : 160;
    Packed p = EncodeFrames(c, 4, points);
    MK_U32 attr = c.attr;
    MK_VOID* dec = nullptr;
    ASSERT_EQ(c.dopen(&attr, &dec), MK_SUCCESS);
    auto decodeAll = [&] {
        std::vector<MK_U8> copy = p.bytes;  // G.726 repacks its input in place
        std::vector<MK_U16> pcm;
        MK_U8* in = copy.data();
        MK_S32 left = static_cast<MK_S32>(copy.size());
        while (left > 0) {
            MK_U16 out[1024];
            MK_U32 outLen = 0, chns = 0;
            EXPECT_EQ(c.decode(dec, &in, &left, out, &outLen, &chns), MK_SUCCESS);
            pcm.insert(pcm.end(), out, out + outLen / 2);
        }
        return pcm;
    };
    const std::vector<MK_U16> first = decodeAll();
    EXPECT_EQ(c.reset(dec), MK_SUCCESS);
    EXPECT_EQ(decodeAll(), first);
    c.dclose(dec);
}

INSTANTIATE_TEST_SUITE_P(Codecs, AdpDecodeTest,
                         ::testing::Values(kG711A, kG711U, Adpcm(ADPCM_TYPE_DVI4), Adpcm(ADPCM_TYPE_IMA),
                                           Adpcm(ADPCM_TYPE_ORG_DVI4), G726(G726_24K), G726(G726_40K_MSB)));

TEST(AdpTest, LpcmCopiesBytesBothWays) {
    std::vector<int16_t> pcm = Speech(500);
    AUDIO_FRAME_S f = Frame(pcm.data(), 500);
    std::vector<MK_U8> out(1000);
    MK_U32 len = 0;
    ASSERT_EQ(EncodeLPCMFrm(nullptr, &f, out.data(), &len), MK_SUCCESS);
    EXPECT_EQ(len, 1000u);
    EXPECT_EQ(std::memcmp(out.data(), pcm.data(), 1000), 0);

    MK_U8* in = out.data();
    MK_S32 left = 1000;
    std::vector<MK_U16> back(500);
    MK_U32 outLen = 0, chns = 0;
    ASSERT_EQ(DecodeLPCMFrm(nullptr, &in, &left, back.data(), &outLen, &chns), MK_SUCCESS);
    EXPECT_EQ(outLen, 1000u);
    EXPECT_EQ(left, 0);
    EXPECT_EQ(in, out.data()) << "the read pointer stays";
    EXPECT_EQ(chns, 1u);
    EXPECT_EQ(std::memcmp(back.data(), pcm.data(), 1000), 0);
}

TEST(AdpRegistrationTest, EncodersGoInTheirOrderAndOnlyOnce) {
    ASSERT_EQ(MPI_AENC_Init(), MK_SUCCESS);
    EXPECT_EQ(AUDIO_RegisterEncoders(), kDup) << "a second registration stops at Lpcm";
    // Freeing slot k and registering each built-in type again: the one accepted was in slot k.
    const MK_U32 order[] = {23, 19, 20, 49, 21};
    for (MK_S32 k = 0; k < 5; ++k) {
        ASSERT_EQ(MPI_AENC_UnRegisterEncoder(k), MK_SUCCESS);
        AENC_ENCODER_S e{};
        e.pfnOpenEncoder = OpenLPCMEncoder;
        e.pfnEncodeFrm = EncodeLPCMFrm;
        e.pfnCloseEncoder = CloseLPCMEncoder;
        for (MK_U32 type : order) {
            e.enType = type;
            MK_S32 handle = -1;
            MK_S32 ret = MPI_AENC_RegisterEncoder(&handle, &e);
            if (type == order[k]) {
                EXPECT_EQ(ret, MK_SUCCESS) << "slot " << k;
                EXPECT_EQ(handle, k);
            } else {
                EXPECT_EQ(ret, kDup) << "slot " << k << " type " << type;
            }
        }
    }
    MPI_AENC_Exit();
}

}  // namespace
