// The audio path on the simulated audio drivers: set-up and tear-down, the input side's G.711 frames
// checked by sox, the decoder's formats, the source switch with the HDMI mirroring thread, the board
// table of input channels, and the path's threads under load.
#include "app/audio/audio.h"

#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/audio/audio_internal.h"
#include "app/audio/audio_testing.h"
#include "app/comm/comm_cfg.h"
#include "app/dec/avdec_internal.h"
#include "app/dec/avdec_state.h"
#include "app/dec/vdec_feed.h"
#include "app/split/split.h"
#include "platform/drivers/adec/adec_driver.h"
#include "platform/drivers/aenc/aenc_driver.h"
#include "platform/drivers/ai/ai_driver.h"
#include "platform/drivers/all/install.h"
#include "platform/drivers/ao/ao_driver.h"
#include "platform/drivers/core/kernel.h"
#include "platform/host/test_bus.h"
#include "sdk/audio/adec/mpi_adec.h"
#include "sdk/audio/aenc/mpi_aenc.h"
#include "sdk/audio/ai/mpi_ai.h"
#include "sdk/audio/ao/mpi_ao.h"
#include "sdk/audio/testing/audio_measure.h"
#include "sdk/audio/testing/threads.h"
#include "sdk/bind/sys_bind.h"
#include "sdk/sys/mpi_sys.h"
#include "sdk/vb/mpi_vb.h"

namespace {

namespace drv = varnelle::drivers;
using varnelle::audiotest::WaitFor;

// A directory of the test's own, removed with everything in it.
class ScratchDir {
public:
    ScratchDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "varnelle-audio-XXXXXX").string();
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data()) != nullptr) m_path = buf.data();
    }
    ~ScratchDir() {
        std::error_code ec;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
    }
    std::string File(const char* name) const { return m_path + "/" + name; }
    bool Ok() const { return !m_path.empty(); }

private:
    std::string m_path;
};

using audio_testing::StoreSys;

std::vector<uint8_t> Bytes(const std::vector<int16_t>& s) {
    std::vector<uint8_t> b(s.size() * 2);
    std::memcpy(b.data(), s.data(), b.size());
    return b;
}

// Runs sox and gives back the file it wrote; empty on failure.
std::vector<uint8_t> Sox(const ScratchDir& dir, const std::string& args, const char* out) {
    const std::string cmd = "sox " + args;
    if (std::system(cmd.c_str()) != 0) return {};
    std::ifstream in(dir.File(out), std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class AudioTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        varnelle::host::UsePrivateBus("audio");
        drv::InstallAll();
    }
    void SetUp() override {
        drv::ResetMediaState();
        AudioResetForTest();
        ASSERT_EQ(SYS_BIND_Init(), 0);
        ASSERT_EQ(MPI_AI_Init(), 0);
        ASSERT_EQ(MPI_AO_Init(), 0);
        ASSERT_EQ(MPI_AENC_Init(), 0);
        ASSERT_EQ(MPI_ADEC_Init(), 0);
        AVdecGetState()->Clear();
        SplitReset();
        StoreSys(662);
    }
    void TearDown() override {
        AudioResetForTest();
        SplitReset();
        MPI_ADEC_Exit();
        MPI_AENC_Exit();
        MPI_AI_Exit();
        MPI_AO_Exit();
        SYS_BIND_Exit();
        drv::ResetMediaState();
        MK_MPI_VB_Exit();
        SlaveResetSysCfg();
    }

    // Captures one 160-point frame on the input channel now.
    static void Inject(int aiChn, const std::vector<int16_t>& pcm) {
        drv::AiInjectFrame f;
        f.track0 = Bytes(pcm);
        ASSERT_EQ(drv::AiDriver::Get()->Inject(AudioAiDev(), aiChn, f), 0);
    }

    // The next input frame, waiting until the encoder has one.
    static std::vector<uint8_t> NextInFrame(uint32_t cap = 512) {
        std::vector<uint8_t> buf(cap);
        uint32_t len = 0;
        if (!WaitFor([&] { return AudioInGetBuffer(nullptr, buf.data(), &len, cap) == 0; })) return {};
        buf.resize(len);
        return buf;
    }

    static MPP_CHN_S SourceOf(MK_S32 mod, MK_S32 dev, MK_S32 chn) {
        MPP_CHN_S dst{mod, dev, chn}, src{};
        if (MK_MPI_SYS_GetBindbyDest(&dst, &src) != 0) src.enModId = MK_ID_BUTT;
        return src;
    }
};

// Input channel of each video channel 0..15, written from the board tables.
TEST(AudioGetAoDevTest, BoardTables) {
    struct Case {
        uint32_t sys;
        uint32_t sub;
        std::vector<int32_t> want;  // channels 0..15
    };
    const std::vector<int32_t> same = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    const Case cases[] = {
        {556, 0, {0, 2, 1, 3, 0, 0, 0, 0, 8, 9, 10, 11, 12, 13, 14, 15}},
        {654, 0, same},  // the board query never reports 16 inputs here
        {655, 0, {0, 4, 1, 5, 2, 6, 3, 7, 8, 9, 10, 11, 12, 13, 14, 15}},
        {656, 0, {15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0}},
        {657, 0, {7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12, 3, 2, 1, 0}},
        {658, 0, {4, 5, 6, 7, 0, 1, 2, 3, 8, 9, 10, 11, 12, 13, 14, 15}},
        {660, 53, {0, 1, 2, 3, 8, 9, 10, 11, 8, 9, 10, 11, 12, 13, 14, 15}},
        {660, 52, same},
        {661, 0, {0, 1, 2, 3, 12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7}},
        {662, 0, same},
        {659, 0, same},
        {106, 0, same},
    };
    for (const Case& c : cases) {
        StoreSys(c.sys, c.sub);
        for (int32_t ch = 0; ch < 16; ++ch) {
            EXPECT_EQ(AudioGetAoDev(ch), c.want[ch]) << "system " << c.sys << "/" << c.sub << " channel " << ch;
        }
        // Beyond every table a channel keeps its number.
        EXPECT_EQ(AudioGetAoDev(16), 16) << c.sys;
        EXPECT_EQ(AudioGetAoDev(-1), -1) << c.sys;
    }
    SlaveResetSysCfg();
}

TEST(AudioFormatRecordTest, ThreeRecordsByFormatCode) {
    // {40, 8000, 16, 11}, {40, 8000, 16, 14}, {40, 8000, 8, 7}, written out from the format list.
    const uint32_t want[3][4] = {{40, 8000, 16, 11}, {40, 8000, 16, 14}, {40, 8000, 8, 7}};
    for (int32_t i = 0; i < 3; ++i) {
        AudioFormat f{};
        ASSERT_EQ(AudioGetFormatRecord(i, &f), 0) << i;
        EXPECT_EQ((std::vector<uint32_t>{f.u32First, f.u32SampleRate, f.u32Bits, f.u32PayloadType}),
                  (std::vector<uint32_t>(want[i], want[i] + 4)))
            << i;
    }
    AudioFormat f{1, 2, 3, 4};
    EXPECT_EQ(AudioGetFormatRecord(3, &f), -1);
    EXPECT_EQ(AudioGetFormatRecord(-1, &f), -1);
    EXPECT_EQ(f.u32First, 1u) << "a refused index writes nothing";
    EXPECT_EQ(AudioGetFormatRecord(0, nullptr), -1);
}

TEST_F(AudioTest, NothingRunsBeforeCreate) {
    AudioState* s = AudioGetState();
    EXPECT_EQ(s->pOutList.load(), nullptr);
    EXPECT_EQ(s->u32OutEnabled.load(), 0u);
    EXPECT_EQ(s->u32Running.load(), 0u);
    EXPECT_EQ(s->stInFormat.u32First, 40u);
    EXPECT_EQ(s->stInFormat.u32SampleRate, 8000u);
    EXPECT_EQ(s->stOutFormat.u32PayloadType, 19u);
    EXPECT_EQ(s->s32HdmiFd, -1);
    // The input side answers nothing with the path down.
    uint8_t buf[512];
    uint32_t len = 0;
    StoreSys(662, 0, 1);
    EXPECT_EQ(AudioInGetBuffer(nullptr, buf, &len, sizeof(buf)), -1);
    // Tearing down what was never set up fails without harm.
    EXPECT_EQ(AudioDestory(), -1);
}

TEST_F(AudioTest, CreateSetsUpInputEncoderOutputsAndDecoder) {
    struct Case {
        uint32_t sys;
        int aoDev;
    };
    for (const Case& c : {Case{662, 0}, Case{658, 1}, Case{654, 1}}) {
        SCOPED_TRACE(c.sys);
        StoreSys(c.sys);
        ASSERT_EQ(AudioCreate(), 0);
        const drv::AiDevView ai = drv::AiDriver::Get()->Device(1);
        EXPECT_TRUE(ai.enabled);
        EXPECT_EQ(ai.attr.enSampleRate, 8000u);
        EXPECT_EQ(ai.attr.u32ChnCount, 16u);
        for (int ch = 0; ch < 16; ++ch) {
            EXPECT_TRUE(drv::AiDriver::Get()->Channel(1, ch).enabled) << ch;
            EXPECT_EQ(drv::AiDriver::Get()->Channel(1, ch).depth, 5u) << ch;
        }
        const drv::AencChnView enc = drv::AencDriver::Get()->Channel(0);
        EXPECT_TRUE(enc.created);
        EXPECT_EQ(enc.attr.enType, 19u);
        EXPECT_EQ(enc.attr.u32PtNumPerFrm, 160u);
        EXPECT_EQ(enc.attr.u32BufSize, 30u);
        const MPP_CHN_S encSrc = SourceOf(MK_ID_AENC, 0, 0);
        EXPECT_EQ(encSrc.enModId, MK_ID_AI);
        EXPECT_EQ(encSrc.s32DevId, 1);
        EXPECT_EQ(encSrc.s32ChnId, AudioGetAoDev(0));
        const drv::AdecChnView dec = drv::AdecDriver::Get()->Channel(0);
        EXPECT_TRUE(dec.created);
        EXPECT_EQ(dec.type, 19u);
        EXPECT_EQ(dec.bufSize, 30u);
        EXPECT_EQ(dec.mode, 1u);
        const drv::AoDevView ao = drv::AoDriver::Get()->Device(c.aoDev);
        EXPECT_TRUE(ao.enabled);
        EXPECT_EQ(ao.attr.enSampleRate, 8000u);
        EXPECT_EQ(ao.attr.u32PtNumPerFrm, 320u);
        EXPECT_EQ(ao.attr.enWorkMode, 1u);
        EXPECT_TRUE(drv::AoDriver::Get()->Channel(c.aoDev * 20).enabled);
        const MPP_CHN_S aoSrc = SourceOf(MK_ID_AO, c.aoDev, 0);
        EXPECT_EQ(aoSrc.enModId, MK_ID_ADEC);
        const drv::AoDevView hdmi = drv::AoDriver::Get()->Device(2);
        EXPECT_TRUE(hdmi.enabled);
        EXPECT_EQ(hdmi.attr.enSampleRate, 48000u);
        EXPECT_EQ(hdmi.attr.u32PtNumPerFrm, 1920u);
        EXPECT_EQ(hdmi.attr.enWorkMode, 0u);
        const drv::AoChnView hdmiChn = drv::AoDriver::Get()->Channel(40);
        EXPECT_TRUE(hdmiChn.enabled);
        EXPECT_EQ(hdmiChn.resmp.enInSampleRate, 8000u);
        AudioState* s = AudioGetState();
        EXPECT_NE(s->pOutList.load(), nullptr);
        EXPECT_NE(s->pInList.load(), nullptr);
        EXPECT_EQ(s->u32OutEnabled.load(), 1u);
        EXPECT_EQ(s->u32Running.load(), 1u);
        EXPECT_EQ(s->s32AoDev.load(), c.aoDev);
        // Torn down, the objects go and the lists stay empty for the threads that still look at them.
        EXPECT_EQ(AudioDestory(), 0);
        EXPECT_FALSE(drv::AencDriver::Get()->Channel(0).created);
        EXPECT_FALSE(drv::AdecDriver::Get()->Channel(0).created);
        EXPECT_FALSE(drv::AiDriver::Get()->Device(1).enabled);
        EXPECT_FALSE(drv::AoDriver::Get()->Device(c.aoDev).enabled);
        EXPECT_NE(s->pOutList.load(), nullptr);
        EXPECT_EQ(s->u32Running.load(), 0u);
    }
}

TEST_F(AudioTest, AFailedEncoderCreateStillBindsTheInputAndFails) {
    // An encoder channel already there makes the create fail.
    ASSERT_EQ(AencOpen(), 0);
    static AUDIO_ATTR_PLAIN_S plain{};
    const AENC_CHN_ATTR_S attr{20, 160, 8, &plain};
    ASSERT_EQ(MK_MPI_AENC_CreateChn(0, &attr), 0);
    EXPECT_EQ(AudioCreate(), -1);
    EXPECT_EQ(SourceOf(MK_ID_AENC, 0, 0).enModId, MK_ID_AI);
    EXPECT_EQ(AudioGetState()->u32Running.load(), 0u);
}

TEST_F(AudioTest, ASineThroughTheInputDecodesWithSox) {
    ASSERT_EQ(AudioCreate(), 0);
    const int aiChn = AudioGetAoDev(0);
    constexpr int kFrames = 100;
    const std::vector<int16_t> tone = varnelle::audiotest::Tone(160 * kFrames, 8000, 1003, -6);
    std::vector<uint8_t> alaw;
    for (int i = 0; i < kFrames; ++i) {
        Inject(aiChn, std::vector<int16_t>(tone.begin() + 160 * i, tone.begin() + 160 * (i + 1)));
        const std::vector<uint8_t> f = NextInFrame();
        ASSERT_EQ(f.size(), 168u) << "frame " << i;
        const std::vector<uint8_t> head = {0x00, 0x00, 0x01, 0xF0, 14, 2, 160, 0};
        ASSERT_EQ(std::vector<uint8_t>(f.begin(), f.begin() + 8), head) << "frame " << i;
        alaw.insert(alaw.end(), f.begin() + 8, f.end());
    }
    ScratchDir dir;
    ASSERT_TRUE(dir.Ok());
    {
        std::ofstream out(dir.File("in.al"), std::ios::binary);
        out.write(reinterpret_cast<const char*>(alaw.data()), static_cast<std::streamsize>(alaw.size()));
    }
    const std::string cmd = "sox -t al -r 8000 -c 1 '" + dir.File("in.al") +
                            "' -t raw -e signed-integer -b 16 -L '" + dir.File("out.raw") + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    std::ifstream in(dir.File("out.raw"), std::ios::binary);
    std::vector<char> raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(raw.size(), tone.size() * 2);
    double sig = 0, err = 0;
    for (size_t i = 0; i < tone.size(); ++i) {
        int16_t y;
        std::memcpy(&y, raw.data() + 2 * i, 2);
        sig += static_cast<double>(tone[i]) * tone[i];
        err += (static_cast<double>(y) - tone[i]) * (static_cast<double>(y) - tone[i]);
    }
    const double snr = 10 * std::log10(sig / (err + 1e-9));
    EXPECT_GE(snr, 30.0);
}

TEST_F(AudioTest, GetBufferHasACapacityAndGivesEveryPacketBack) {
    ASSERT_EQ(AudioCreate(), 0);
    const int aiChn = AudioGetAoDev(0);
    const std::vector<int16_t> tone = varnelle::audiotest::Tone(160, 8000, 500, -12);
    // A buffer one byte short of the frame: refused, the packet given back.
    Inject(aiChn, tone);
    std::vector<uint8_t> small(167);
    uint32_t len = 0;
    ASSERT_TRUE(WaitFor([] { return drv::AencDriver::Get()->Channel(0).published >= 1; }));
    EXPECT_EQ(AudioInGetBuffer(nullptr, small.data(), &len, static_cast<uint32_t>(small.size())), -1);
    EXPECT_EQ(drv::AencDriver::Get()->Channel(0).released, 1u);
    // Exactly the frame's size fits.
    Inject(aiChn, tone);
    EXPECT_EQ(NextInFrame(168).size(), 168u);
    // With payload type none (a format the input does not know) each packet is given back and the
    // frame is its header alone.
    const AudioFormat none{40, 8000, 16, 5};
    ASSERT_EQ(AudioInSetFormat(nullptr, &none), 0);
    for (int i = 0; i < 40; ++i) {  // more packets than the encoder buffers
        Inject(aiChn, tone);
        const std::vector<uint8_t> f = NextInFrame();
        ASSERT_EQ(f, (std::vector<uint8_t>{0x00, 0x00, 0x01, 0xF0, 7, 2, 0, 0})) << i;
    }
    const drv::AencChnView v = drv::AencDriver::Get()->Channel(0);
    EXPECT_EQ(v.released, v.handed);
    EXPECT_EQ(AudioInSetFormat(nullptr, nullptr), -1);
}

TEST_F(AudioTest, InSetFormatRemakesTheEncoderOnlyOnAChange) {
    ASSERT_EQ(AudioCreate(), 0);
    const int aiChn = AudioGetAoDev(0);
    const std::vector<int16_t> tone = varnelle::audiotest::Tone(160, 8000, 700, -6);
    struct Step {
        uint32_t code;
        uint32_t encType;
        uint32_t bufSize;  // 30 from the create, 8 once made anew
        uint8_t codec;
    };
    const Step steps[] = {{11, 19, 30, 14}, {14, 20, 8, 10}, {14, 20, 8, 10}, {11, 19, 8, 14}};
    for (const Step& st : steps) {
        SCOPED_TRACE(st.code);
        const uint64_t handedBefore = drv::AencDriver::Get()->Channel(0).handed;
        const AudioFormat f{40, 8000, 16, st.code};
        ASSERT_EQ(AudioInSetFormat(nullptr, &f), 0);
        const drv::AencChnView v = drv::AencDriver::Get()->Channel(0);
        EXPECT_EQ(v.attr.enType, st.encType);
        EXPECT_EQ(v.attr.u32BufSize, st.bufSize);
        EXPECT_EQ(v.attr.u32PtNumPerFrm, 160u);
        // The same format again keeps the channel (and what it counted).
        if (&st == &steps[2]) {
            EXPECT_GT(handedBefore, 0u);
        }
        EXPECT_EQ(AudioGetState()->u32InEnabled.load(), 1u);
        Inject(aiChn, tone);
        const std::vector<uint8_t> frame = NextInFrame();
        ASSERT_EQ(frame.size(), 168u);
        EXPECT_EQ(frame[4], st.codec);
    }
}

TEST_F(AudioTest, OutSetFormatTwiceCreatesTheDecoderOnce) {
    // From load: the first call makes the decoder, the second finds it.
    struct Step {
        uint32_t code;
        bool creates;
        uint32_t type;
    };
    const Step steps[] = {{11, true, 19}, {11, false, 19}, {14, true, 20}, {14, false, 20}, {11, true, 19}};
    for (const Step& st : steps) {
        SCOPED_TRACE(st.code);
        ASSERT_EQ(AudioOutSetFormat(st.code), 0);
        const drv::AdecChnView v = drv::AdecDriver::Get()->Channel(0);
        EXPECT_EQ(v.created, st.creates);
        if (st.creates) {
            EXPECT_EQ(v.type, st.type);
            EXPECT_EQ(v.bufSize, 8u);
            EXPECT_EQ(v.mode, 0u);
        }
        EXPECT_EQ(AudioGetState()->stOutFormat.u32PayloadType, st.type);
        // Taken away behind the path's back, so a second create would show.
        MK_MPI_ADEC_DestroyChn(0);
    }
    ASSERT_EQ(AudioOutSetFormat(3), 0);
    EXPECT_EQ(AudioGetState()->stOutFormat.u32PayloadType, 0u);
    EXPECT_FALSE(drv::AdecDriver::Get()->Channel(0).created);
}

TEST_F(AudioTest, SwitchToPlaybackBindsTheDecoderAndMarksTheRecord) {
    StoreSys(656);
    ASSERT_EQ(HwSplitDevInit(), 0);  // split records of channels 0..7
    ASSERT_EQ(AudioCreate(), 0);
    AVdecGetState()->SetRec(7, REC_AUDIO, 1);
    ASSERT_EQ(SplitSetChnAudio(6, 1), 0);
    auto splitAudio = [] {
        std::vector<uint32_t> v;
        for (int32_t c = 0; c < 8; ++c) v.push_back(SplitGetChnAudio(c));
        return v;
    };
    ASSERT_EQ(AudioSwitch(1, 3), 0);
    for (uint32_t c = 0; c < AVDEC_CHN_NUM; ++c) EXPECT_EQ(AVdecGetState()->Rec(c, REC_AUDIO), c == 3 ? 1u : 0u) << c;
    EXPECT_EQ(splitAudio(), std::vector<uint32_t>(8, 0));
    EXPECT_EQ(SourceOf(MK_ID_AO, 0, 0).enModId, MK_ID_ADEC);
    EXPECT_EQ(SourceOf(MK_ID_AO, 2, 0).enModId, MK_ID_ADEC);
    EXPECT_EQ(AudioGetState()->s32HdmiFd, -1);

    // Live channel 2 of a 656 board is input 13: the decoder leaves both outputs, HDMI mirrors it.
    ASSERT_EQ(AudioSwitch(0, 2), 0);
    for (uint32_t c = 0; c < AVDEC_CHN_NUM; ++c) EXPECT_EQ(AVdecGetState()->Rec(c, REC_AUDIO), 0u) << c;
    EXPECT_EQ(splitAudio(), (std::vector<uint32_t>{0, 0, 1, 0, 0, 0, 0, 0}));
    EXPECT_EQ(SourceOf(MK_ID_AO, 0, 0).enModId, MK_ID_BUTT);
    EXPECT_EQ(SourceOf(MK_ID_AO, 2, 0).enModId, MK_ID_BUTT);
    EXPECT_EQ(AudioGetState()->s32HdmiAiChn, 13);
    EXPECT_GE(AudioGetState()->s32HdmiFd, 0);

    // Channels no record or input stands for change nothing.
    for (auto [mode, chn] : {std::pair{0, -1}, std::pair{0, 32}, std::pair{1, 48}, std::pair{1, -2}}) {
        EXPECT_EQ(AudioSwitch(mode, chn), -1) << mode << " " << chn;
    }
    EXPECT_EQ(AudioGetState()->s32HdmiAiChn, 13);
    EXPECT_EQ(AudioGetState()->s32SwitchMode.load(), 0);
    EXPECT_EQ(AudioGetState()->s32SwitchChn.load(), 2);

    ASSERT_EQ(AudioSwitch(5, 0), 0);
    EXPECT_EQ(AudioGetState()->s32HdmiFd, -1);

    // Boards of sub-type 24 play a live input on the analog output too.
    StoreSys(656, 24);
    ASSERT_EQ(AudioSwitch(1, 0), 0);
    ASSERT_EQ(AudioSwitch(0, 3), 0);
    const MPP_CHN_S live = SourceOf(MK_ID_AO, 0, 0);
    EXPECT_EQ(live.enModId, MK_ID_AI);
    EXPECT_EQ(live.s32ChnId, 12);
    // Back to playback: the input leaves the output and the decoder takes its place.
    ASSERT_EQ(AudioSwitch(1, 0), 0);
    EXPECT_EQ(SourceOf(MK_ID_AO, 0, 0).enModId, MK_ID_ADEC);
}

TEST_F(AudioTest, TheMirroringThreadFollowsTheSwitch) {
    ASSERT_EQ(AudioCreate(), 0);
    const int aiChn = AudioGetAoDev(4);
    const std::vector<int16_t> tone = varnelle::audiotest::Tone(160, 8000, 400, -6);
    auto hdmiFrames = [] {
        const drv::AoChnView v = drv::AoDriver::Get()->Channel(40);
        return v.queued + v.playedFrames;
    };
    ASSERT_EQ(AudioSwitch(0, 4), 0);
    for (int i = 0; i < 12; ++i) {
        Inject(aiChn, tone);
        ASSERT_TRUE(WaitFor([&] { return drv::AiDriver::Get()->Channel(1, aiChn).queued == 0; })) << i;
    }
    // Twelve 20 ms frames, resampled to 48 kHz, fill device frames of 40 ms (less the resampler's delay).
    ASSERT_TRUE(WaitFor([&] { return hdmiFrames() >= 4; })) << hdmiFrames();

    // Nothing mirrored: frames of the input wait unread.
    ASSERT_EQ(AudioSwitch(2, 0), 0);
    Inject(aiChn, tone);
    Inject(aiChn, tone);
    EXPECT_EQ(drv::AiDriver::Get()->Channel(1, aiChn).queued, 2u);

    // The thread stops (tests only) and starts again.
    AudioStopThreads();
    EXPECT_EQ(AudioStartThreads(), 0);
    ASSERT_EQ(AudioSwitch(0, 4), 0);
    ASSERT_TRUE(WaitFor([&] { return drv::AiDriver::Get()->Channel(1, aiChn).queued == 0; }));
}

TEST_F(AudioTest, SoxALawFromTheMasterPlaysOnTheAnalogOutput) {
    ASSERT_EQ(AudioCreate(), 0);
    drv::AoDriver::Get()->RecordPlayed(true);
    // sox makes the master's A-law from a tone and decodes the same bytes for the reference.
    ScratchDir dir;
    ASSERT_TRUE(dir.Ok());
    constexpr size_t kSamples = 8000 * 6 / 10;  // 0.6 s: 30 decoder frames, 15 device frames
    const std::vector<int16_t> tone = varnelle::audiotest::Tone(kSamples, 8000, 697, -9);
    {
        std::ofstream out(dir.File("tone.raw"), std::ios::binary);
        out.write(reinterpret_cast<const char*>(tone.data()), static_cast<std::streamsize>(tone.size() * 2));
    }
    const std::string raw = "-t raw -r 8000 -c 1 -e signed-integer -b 16 -L ";
    const std::vector<uint8_t> alaw =
        Sox(dir, raw + "'" + dir.File("tone.raw") + "' -t al '" + dir.File("tone.al") + "'", "tone.al");
    ASSERT_EQ(alaw.size(), kSamples);
    const std::vector<uint8_t> ref = Sox(dir, "-t al -r 8000 -c 1 '" + dir.File("tone.al") + "' " + raw + "'" +
                                                  dir.File("ref.raw") + "'",
                                         "ref.raw");
    ASSERT_EQ(ref.size(), kSamples * 2);
    // Frames of 320 payload bytes (two pieces each), as the master sends them.
    for (size_t off = 0; off < alaw.size(); off += 320) {
        std::vector<uint8_t> f = {0x00, 0x00, 0x01, 0xF0, 14, 2, 0x40, 0x01};
        f.insert(f.end(), alaw.begin() + static_cast<long>(off), alaw.begin() + static_cast<long>(off + 320));
        ASSERT_EQ(AudioOutPutBuf(f.data(), static_cast<int32_t>(f.size())), 0);
        // The list holds at most 60 nodes: let the sender keep up.
        ASSERT_TRUE(WaitFor([] {
            BufListInfoS info{};
            BufListInfo(AudioGetState()->pOutList.load(), &info);
            return info.u32Nodes < 40;
        }));
    }
    // A-law silence behind the tone pushes its last frames through the decoder's stream buffer.
    std::vector<uint8_t> tail = {0x00, 0x00, 0x01, 0xF0, 14, 2, 0x80, 0x02};
    tail.resize(8 + 640, 0xD5);
    ASSERT_EQ(AudioOutPutBuf(tail.data(), static_cast<int32_t>(tail.size())), 0);
    ASSERT_TRUE(WaitFor([] { return drv::AoDriver::Get()->Channel(0).played[0].size() >= kSamples * 2; }))
        << drv::AoDriver::Get()->Channel(0).played[0].size();
    const std::vector<uint8_t> played = drv::AoDriver::Get()->Channel(0).played[0];
    EXPECT_EQ(std::vector<uint8_t>(played.begin(), played.begin() + kSamples * 2), ref);
    drv::AoDriver::Get()->RecordPlayed(false);
}

TEST_F(AudioTest, PlaybackAudioFromTheDecodeModuleReachesTheDecoder) {
    AudioRegister();
    ASSERT_EQ(AudioCreate(), 0);
    static std::atomic<int> s_sends{0};
    s_sends = 0;
    AudioSetDecoderSendForTest([](const uint8_t* p, uint32_t n) {
        if (n == 164 && p[0] == 0x00 && p[1] == 0x01 && p[2] == 0x50 && p[3] == 0x00) ++s_sends;
        return 0;
    });
    std::vector<uint8_t> ring(4096, 0);
    const uint8_t head[8] = {0x00, 0x00, 0x01, 0xF0, 14, 2, 0xA0, 0x00};
    std::memcpy(ring.data() + 100, head, 8);
    AVdecSetRing(5, ring.data(), static_cast<uint32_t>(ring.size()));
    // Without the switch to playback channel 5 its audio is not taken.
    EXPECT_EQ(audio_decode(5, ring.data(), 168, 100), 0);
    BufListInfoS info{};
    BufListInfo(AudioGetState()->pOutList.load(), &info);
    EXPECT_EQ(info.u32Nodes, 0u);
    ASSERT_EQ(AudioSwitch(1, 5), 0);
    EXPECT_EQ(audio_decode(5, ring.data(), 168, 100), 0);
    EXPECT_TRUE(WaitFor([] { return s_sends.load() == 1; }));
    AVdecSetRing(5, nullptr, 0);
    AVdecSetAudioHooks(nullptr, nullptr);
}

TEST_F(AudioTest, OutputThreadsCommandsAndDecodeListRunTogether) {
    ASSERT_EQ(AudioCreate(), 0);
    std::vector<uint8_t> frame = {0x00, 0x00, 0x01, 0xF0, 14, 2, 0x40, 0x01};
    frame.resize(8 + 320, 0xD5);  // A-law silence
    std::atomic<bool> stop{false};
    std::atomic<int> puts{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&] {
            while (!stop.load()) {
                AudioOutPutBuf(frame.data(), static_cast<int32_t>(frame.size()));
                ++puts;
            }
        });
    }
    // The decode module's side: frames straight into the output list.
    threads.emplace_back([&] {
        while (!stop.load()) {
            BufList* l = AudioGetState()->pOutList.load();
            BufNode* n = BufListAlloc(static_cast<uint32_t>(frame.size()), 0);
            BufListCopy(n, frame.data(), static_cast<uint32_t>(frame.size()));
            if (BufListAdd2List(l, n) != 0) BufListFree(n);
            BufListInfoS info{};
            BufListInfo(l, &info);
            if (info.u32Nodes > 50) sched_yield();
        }
    });
    const int aiChn = AudioGetAoDev(1);
    const std::vector<int16_t> tone = varnelle::audiotest::Tone(160, 8000, 400, -6);
    for (int i = 0; i < 30; ++i) {
        AudioSwitch(i % 3, 1);
        AudioOutSetFormat(i % 2 == 0 ? 11 : 14);
        drv::AiInjectFrame f;
        f.track0 = Bytes(tone);
        drv::AiDriver::Get()->Inject(AudioAiDev(), aiChn, f);
    }
    ASSERT_TRUE(WaitFor([&] { return puts.load() > 100; }));
    stop = true;
    for (std::thread& t : threads) t.join();
    AudioStopThreads();
    EXPECT_EQ(AudioGetState()->u32DecCreated.load(), 1u);
}

}  // namespace
