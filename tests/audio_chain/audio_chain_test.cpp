// Frames captured by audio input, encoded by an encoder channel's worker and decoded by a decoder
// channel come out as the voice engine's own encode and decode make them, for every codec, rate and
// packing, with their time stamps and sequences. The encoded payloads are decoded once more by
// SpanDSP (and G.711 by the ffmpeg program), which must give the decoder's samples.
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

extern "C" {
#include <spandsp.h>
}

#include "platform/drivers/adec/adec_driver.h"
#include "platform/drivers/aenc/aenc_driver.h"
#include "platform/drivers/ai/ai_driver.h"
#include "platform/drivers/core/kernel.h"
#include "platform/drivers/mem/mem_driver.h"
#include "platform/drivers/mmz/mmz_driver.h"
#include "platform/drivers/sys/sys_driver.h"
#include "platform/drivers/vb/vb_driver.h"
#include "platform/mem/ram.h"
#include "sdk/audio/adec/mpi_adec.h"
#include "sdk/audio/aenc/mpi_aenc.h"
#include "sdk/audio/ai/mpi_ai.h"
#include "sdk/audio/codecs/voice_codec.h"
#include "sdk/audio/testing/audio_measure.h"
#include "sdk/audio/testing/speech_signal.h"
#include "sdk/bind/sys_bind.h"
#include "sdk/common/testing/bus_environment.h"
#include "sdk/sys/mpi_sys.h"
#include "sdk/vb/mpi_vb.h"

namespace {

namespace drivers = varnelle::drivers;

[[maybe_unused]] ::testing::Environment* const g_bus =
    ::testing::AddGlobalTestEnvironment(new mk::testing::BusEnvironment("chain", [] {
        drivers::InstallAiDriver();
        drivers::InstallAencDriver();
        drivers::InstallAdecDriver();
        drivers::InstallVbDriver();
        drivers::InstallMemDriver();
        drivers::InstallSysDriver();
        drivers::InstallMmzDriver();
        varnelle::mem::Ram::Local();
    }));

constexpr int kFrames = 24;

enum class Outside { kNone, kAlaw, kUlaw, kG726, kIma };

// One codec as the SDK names it and as the engine and SpanDSP know it, written out by hand.
struct Codec {
    const char* name;
    MK_U32 type;
    MK_U32 word;     // ADPCM type or G.726 rate code
    int16_t engine;  // the engine's codec id (0: LPCM)
    Outside outside;
    int spandspRate;
    int spandspPacking;
};

const Codec kCodecs[] = {
    {"lpcm", PT_LPCM, 0, 0, Outside::kNone, 0, 0},
    {"g711a", PT_G711A, 0, VOICE_CODEC_G711A, Outside::kAlaw, 0, 0},
    {"g711u", PT_G711U, 0, VOICE_CODEC_G711U, Outside::kUlaw, 0, 0},
    {"dvi4", PT_ADPCMA, ADPCM_TYPE_DVI4, VOICE_CODEC_DVI4, Outside::kNone, 0, 0},
    {"ima", PT_ADPCMA, ADPCM_TYPE_IMA, VOICE_CODEC_IMA, Outside::kIma, 0, 0},
    {"dvi4raw", PT_ADPCMA, ADPCM_TYPE_ORG_DVI4, VOICE_CODEC_DVI4_RAW, Outside::kNone, 0, 0},
    {"g726_16", PT_G726, G726_16K, VOICE_CODEC_G726_16, Outside::kG726, 16000, G726_PACKING_RIGHT},
    {"g726_24", PT_G726, G726_24K, VOICE_CODEC_G726_24, Outside::kG726, 24000, G726_PACKING_RIGHT},
    {"g726_32", PT_G726, G726_32K, VOICE_CODEC_G726_32, Outside::kG726, 32000, G726_PACKING_RIGHT},
    {"g726_40", PT_G726, G726_40K, VOICE_CODEC_G726_40, Outside::kG726, 40000, G726_PACKING_RIGHT},
    {"g726_16msb", PT_G726, G726_16K_MSB, VOICE_CODEC_G726_16_MSB, Outside::kG726, 16000, G726_PACKING_LEFT},
    {"g726_24msb", PT_G726, G726_24K_MSB, VOICE_CODEC_G726_24_MSB, Outside::kG726, 24000, G726_PACKING_LEFT},
    {"g726_32msb", PT_G726, G726_32K_MSB, VOICE_CODEC_G726_32_MSB, Outside::kG726, 32000, G726_PACKING_LEFT},
    {"g726_40msb", PT_G726, G726_40K_MSB, VOICE_CODEC_G726_40_MSB, Outside::kG726, 40000, G726_PACKING_LEFT},
};

struct ChainCase {
    Codec codec;
    MK_U32 points;  // 160 or 320 (IMA: one more)
    bool speech;    // else a sine
};

std::string CaseName(const ::testing::TestParamInfo<ChainCase>& p) {
    return std::string(p.param.codec.name) + "_" + std::to_string(p.param.points) +
           (p.param.speech ? "_speech" : "_sine");
}

std::vector<ChainCase> Cases() {
    std::vector<ChainCase> v;
    for (const Codec& c : kCodecs) {
        const MK_U32 extra = c.engine == VOICE_CODEC_IMA ? 1 : 0;
        v.push_back({c, 160 + extra, false});
        v.push_back({c, 320 + extra, true});
    }
    return v;
}

std::vector<int16_t> Signal(const ChainCase& c) {
    const size_t n = static_cast<size_t>(c.points) * kFrames;
    if (!c.speech) return varnelle::audiotest::Tone(n, 8000, 1020, -9);
    std::vector<int16_t> v(n);
    varnelle::voice::SpeechLike(v.data(), static_cast<int>(n), 0.9, 5);
    return v;
}

// The ffmpeg program decoding G.711 bytes, run in a folder of the test's own.
std::vector<int16_t> FfmpegDecode(const std::vector<MK_U8>& bytes, const char* format) {
    char tmpl[] = "audio_chain_XXXXXX";
    EXPECT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = std::filesystem::absolute(tmpl).string();
    {
        std::ofstream in(dir + "/in.raw", std::ios::binary);
        in.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    const std::string cmd = std::string("ffmpeg -nostdin -hide_banner -loglevel error -y -f ") + format +
                            " -ar 8000 -ac 1 -i '" + dir + "/in.raw' -f s16le -acodec pcm_s16le '" + dir +
                            "/out.raw'";
    const int status = std::system(cmd.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << cmd;
    std::ifstream out(dir + "/out.raw", std::ios::binary);
    std::vector<char> raw((std::istreambuf_iterator<char>(out)), {});
    std::filesystem::remove_all(dir);
    std::vector<int16_t> pcm(raw.size() / 2);
    std::memcpy(pcm.data(), raw.data(), pcm.size() * 2);
    return pcm;
}

class AudioChainTest : public ::testing::TestWithParam<ChainCase> {
protected:
    void SetUp() override {
        drivers::ResetMediaState();
        ASSERT_EQ(SYS_BIND_Init(), MK_SUCCESS);
        ASSERT_EQ(MPI_AI_Init(), MK_SUCCESS);
        ASSERT_EQ(MPI_AENC_Init(), MK_SUCCESS);
        ASSERT_EQ(MPI_ADEC_Init(), MK_SUCCESS);
    }
    void TearDown() override {
        MPI_ADEC_Exit();
        MPI_AENC_Exit();
        MPI_AI_Exit();
        drivers::ResetMediaState();
        MK_MPI_VB_Exit();
    }
};

TEST_P(AudioChainTest, DecodedSamplesAreTheEnginesAndTheOutsideDecodersOwn) {
    const ChainCase c = GetParam();
    const Codec& k = c.codec;
    const std::vector<int16_t> pcm = Signal(c);

    // Input device 0 channel 0 feeds encoder channel 3.
    AIO_ATTR_S attr{};
    attr.enSampleRate = AUDIO_SAMPLE_RATE_8000;
    attr.enBitwidth = AUDIO_BIT_WIDTH_16;
    attr.u32PtNumPerFrm = c.points;
    attr.u32ChnCount = 1;
    ASSERT_EQ(MK_MPI_AI_SetPubAttr(0, &attr), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_AI_Enable(0), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_AI_EnableChn(0, 0), MK_SUCCESS);
    MPP_CHN_S src{MK_ID_AI, 0, 0}, dst{MK_ID_AENC, 0, 3};
    ASSERT_EQ(MK_MPI_SYS_Bind(&src, &dst), MK_SUCCESS);
    MK_U32 word = k.word;
    const AENC_CHN_ATTR_S ea{k.type, c.points, 32, &word};
    ASSERT_EQ(MK_MPI_AENC_CreateChn(3, &ea), MK_SUCCESS);
    const bool pack = k.type == PT_LPCM;
    const ADEC_CHN_ATTR_S da{k.type, 64, pack ? ADEC_MODE_PACK : ADEC_MODE_STREAM, &word};
    ASSERT_EQ(MK_MPI_ADEC_CreateChn(5, &da), MK_SUCCESS);

    // Capture, encode, and hand every packet to the decoder as it comes.
    std::vector<MK_U8> payloads;
    std::vector<std::vector<MK_U8>> packets;
    for (MK_U32 i = 0; i < kFrames; ++i) {
        drivers::AiInjectFrame inj;
        inj.track0.resize(c.points * 2);
        std::memcpy(inj.track0.data(), &pcm[static_cast<size_t>(i) * c.points], inj.track0.size());
        inj.timeStamp = 1000000 + 40000ull * i;
        ASSERT_EQ(drivers::AiDriver::Get()->Inject(0, 0, inj), 0);
        AUDIO_STREAM_S s{};
        ASSERT_EQ(MK_MPI_AENC_GetStream(3, &s, -1), MK_SUCCESS);
        EXPECT_EQ(s.u32Seq, i);
        EXPECT_EQ(s.u64TimeStamp, 1000000 + 40000ull * i);
        packets.emplace_back(s.pStream, s.pStream + s.u32Len);
        const size_t header = pack ? 0 : sizeof(VOICE_FRAME_HEADER);
        payloads.insert(payloads.end(), s.pStream + header, s.pStream + s.u32Len);
        ASSERT_EQ(MK_MPI_ADEC_SendStream(5, &s, 1), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_AENC_ReleaseStream(3, &s), MK_SUCCESS);
    }
    std::vector<int16_t> decoded;
    for (MK_U32 i = 0; i < kFrames; ++i) {
        AUDIO_FRAME_INFO_S info{};
        ASSERT_EQ(MK_MPI_ADEC_GetFrame(5, &info, 1), MK_SUCCESS);
        EXPECT_EQ(info.pstFrame->u32Seq, i);
        EXPECT_EQ(info.pstFrame->u64TimeStamp, 1000000 + 40000ull * i);
        const auto* p = static_cast<const int16_t*>(info.pstFrame->pVirAddr[0]);
        decoded.insert(decoded.end(), p, p + info.pstFrame->u32Len / 2);
        ASSERT_EQ(MK_MPI_ADEC_ReleaseFrame(5, &info), MK_SUCCESS);
    }

    // The engine's own coding of the same samples.
    std::vector<int16_t> engine;
    if (pack) {
        engine = pcm;
    } else {
        VOICE_CODEC_STATE_S enc{}, dec{};
        VOICE_CodecOpen(&enc, k.engine);
        VOICE_CodecOpen(&dec, k.engine);
        for (MK_U32 i = 0; i < kFrames; ++i) {
            MK_U8 frame[VOICE_MAX_FRAME_BYTES];
            ASSERT_EQ(MK_VOICE_EncodeFrame(&enc, &pcm[static_cast<size_t>(i) * c.points], frame,
                                           static_cast<int16_t>(c.points)),
                      0);
            ASSERT_EQ(std::vector<MK_U8>(frame, frame + (frame[2] + 2) * 2), packets[i]) << "packet " << i;
            int16_t out[VOICE_MAX_DECODE_SAMPLES];
            uint16_t count = 0;
            ASSERT_EQ(MK_VOICE_DecodeFrame(&dec, frame, out, &count), 0);
            engine.insert(engine.end(), out, out + count);
        }
    }
    ASSERT_EQ(decoded, engine);

    // The payloads, headers stripped, through decoders that are not ours.
    switch (k.outside) {
        case Outside::kAlaw:
        case Outside::kUlaw: {
            std::vector<int16_t> theirs;
            for (MK_U8 b : payloads)
                theirs.push_back(k.outside == Outside::kAlaw ? alaw_to_linear(b) : ulaw_to_linear(b));
            EXPECT_EQ(theirs, decoded) << "SpanDSP";
            EXPECT_EQ(FfmpegDecode(payloads, k.outside == Outside::kAlaw ? "alaw" : "mulaw"), decoded)
                << "ffmpeg";
            break;
        }
        case Outside::kG726: {
            g726_state_t* g = g726_init(nullptr, k.spandspRate, G726_ENCODING_LINEAR, k.spandspPacking);
            std::vector<int16_t> theirs(decoded.size() + 8);
            const int n = g726_decode(g, theirs.data(), payloads.data(), static_cast<int>(payloads.size()));
            g726_free(g);
            theirs.resize(n);
            EXPECT_EQ(theirs, decoded) << "SpanDSP";
            break;
        }
        case Outside::kIma: {
            ima_adpcm_state_t* ima = ima_adpcm_init(nullptr, IMA_ADPCM_IMA4, 0);
            std::vector<int16_t> theirs;
            for (const std::vector<MK_U8>& p : packets) {
                int16_t out[1024];
                const int n = ima_adpcm_decode(ima, out, p.data() + 4, static_cast<int>(p.size() - 4));
                theirs.insert(theirs.end(), out, out + n);
            }
            ima_adpcm_free(ima);
            EXPECT_EQ(theirs, decoded) << "SpanDSP";
            break;
        }
        case Outside::kNone:
            break;
    }

    ASSERT_EQ(MK_MPI_ADEC_DestroyChn(5), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_AENC_DestroyChn(3), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_SYS_UnBind(&src, &dst), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_AI_DisableChn(0, 0), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_AI_Disable(0), MK_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Codecs, AudioChainTest, ::testing::ValuesIn(Cases()), CaseName);

}  // namespace
