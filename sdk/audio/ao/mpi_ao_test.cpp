#include "sdk/audio/ao/mpi_ao.h"

#include <dirent.h>
#include <sys/stat.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/drivers/ao/ao_driver.h"
#include "platform/drivers/mem/mem_driver.h"
#include "platform/drivers/mmz/mmz_driver.h"
#include "sdk/audio/ao/internal/ao_state.h"
#include "sdk/audio/testing/audio_measure.h"
#include "sdk/audio/vqe/audio_module.h"
#include "sdk/common/testing/bus_environment.h"
#include "sdk/sys/mk_mmz.h"

namespace {

namespace dev = varnelle::dev;
using varnelle::drivers::AoDriver;
using varnelle::drivers::MmzDriver;

constexpr MK_S32 E(unsigned v) { return static_cast<MK_S32>(0xA0160000u | v); }

MmzDriver& Zone() { return *dev::Registry::Get<MmzDriver>("/dev/mmz_userdev"); }

int OpenFds() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    while (d != nullptr && readdir(d) != nullptr) ++n;
    if (d != nullptr) closedir(d);
    return n;
}

AIO_ATTR_S Attr(uint32_t rate, uint32_t points, uint32_t stereo = 0, uint32_t frames = 4,
                uint32_t width = AUDIO_BIT_WIDTH_16) {
    AIO_ATTR_S a{};
    a.enSampleRate = static_cast<AUDIO_SAMPLE_RATE_E>(rate);
    a.enBitwidth = static_cast<AUDIO_BIT_WIDTH_E>(width);
    a.enSoundmode = static_cast<AUDIO_SOUND_MODE_E>(stereo);
    a.u32FrameCount = frames;
    a.u32PtNumPerFrm = points;
    a.u32ChnCount = 4;
    return a;
}

AUDIO_FRAME_S Frame(void* t0, void* t1, MK_U32 len, MK_U32 stereo = 0, MK_U32 width = AUDIO_BIT_WIDTH_16) {
    AUDIO_FRAME_S f{};
    f.enBitwidth = static_cast<AUDIO_BIT_WIDTH_E>(width);
    f.enSoundmode = static_cast<AUDIO_SOUND_MODE_E>(stereo);
    f.pVirAddr[0] = t0;
    f.pVirAddr[1] = t1;
    f.u32Len = len;
    return f;
}

class AoTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_drv = AoDriver::Get();
        m_drv->Reset();
        m_drv->HoldClock(true);
        m_drv->RecordPlayed(true);
        SYS_BIND_Init();
        ASSERT_EQ(MPI_AO_Init(), 0);
        m_blocks = Zone().BlockCount();
    }
    void TearDown() override {
        EXPECT_EQ(MPI_AO_Exit(), 0);
        EXPECT_EQ(Zone().BlockCount(), m_blocks) << "a channel's rings were not given back";
        EXPECT_EQ(AUDIO_LoadedModuleCount(), 0);
        m_drv->ClearFaults();
        m_drv->HoldClock(false);
        m_drv->RecordPlayed(false);
        m_drv->Reset();
    }
    void Setup(MK_S32 dev, const AIO_ATTR_S& a) {
        ASSERT_EQ(MK_MPI_AO_SetPubAttr(dev, &a), 0);
        ASSERT_EQ(MK_MPI_AO_Enable(dev), 0);
    }
    // Plays everything the driver holds.
    void PlayAll(const AIO_ATTR_S& a) {
        const uint64_t period = 1000000ull * a.u32PtNumPerFrm / a.enSampleRate + 1;
        for (int i = 0; i < 80; ++i) m_drv->Tick(period);
    }
    std::vector<MK_U8> RingBytes(MK_S32 index, int track) {
        auto& r = mk::ao::Module().ctx[index].stCirBuf[track];
        std::vector<MK_U8> v(mk::ao::RingUsed(r));
        mk::ao::RingPeek(r, v.data(), static_cast<MK_U32>(v.size()));
        return v;
    }

    std::shared_ptr<AoDriver> m_drv;
    size_t m_blocks = 0;
};

TEST(AoRequestTest, RequestNumbersAreWrittenOutByHand) {
    static_assert(sizeof(void*) != 8 || sizeof(AO_SEND_FRAME_REQ_S) == 128, "the host's send record");
    const struct {
        unsigned long got, want;
    } table[] = {
        {MK_AO_IOC_BIND, 0x40045800},          {MK_AO_IOC_SET_PUBATTR, 0x40285801}, {MK_AO_IOC_GET_PUBATTR, 0x80285802},
        {MK_AO_IOC_ENABLE, 0x5803},            {MK_AO_IOC_DISABLE, 0x5804},         {MK_AO_IOC_SEND_FRAME, 0xC0805805},
        {MK_AO_IOC_ENABLE_CHN, 0x5806},        {MK_AO_IOC_DISABLE_CHN, 0x5807},     {MK_AO_IOC_CLEAR_CHN_BUF, 0x580C},
        {MK_AO_IOC_QUERY_CHN_STAT, 0x800C580D}, {MK_AO_IOC_RESMP_DBG, 0x4010580E},  {MK_AO_IOC_VQE_DBG, 0x4440580F},
        {MK_AO_IOC_SET_CLKDIR, 0x40045812},    {MK_AO_IOC_SET_MUTE, 0x40105816},    {MK_AO_IOC_GET_MUTE, 0xC0105817},
        {MK_AO_IOC_SET_DUMP, 0x42085819},      {MK_AO_IOC_GET_DUMP, 0x8208581A},    {MK_AO_IOC_CHN_STATE, 0x8004581B},
    };
    for (const auto& r : table) EXPECT_EQ(r.got, r.want) << std::hex << r.want;
}

TEST_F(AoTest, IdsAndPointersAreCheckedBeforeTheDeviceOpens) {
    const int opens = m_drv->OpenCount();
    AIO_ATTR_S a{};
    AUDIO_FRAME_S f{};
    const struct {
        const char* what;
        MK_S32 got, want;
    } cases[] = {
        {"dev 3", MK_MPI_AO_Enable(3), E(0x8001)},
        {"dev -1", MK_MPI_AO_SetPubAttr(-1, &a), E(0x8001)},
        {"chn 20", MK_MPI_AO_EnableChn(0, 20), E(0x8002)},
        {"chn -1", MK_MPI_AO_SendFrame(0, -1, &f, 0), E(0x8002)},
        {"chn INT_MIN", MK_MPI_AO_DisableChn(2, INT32_MIN), E(0x8002)},
    };
    for (const auto& c : cases) EXPECT_EQ(c.got, c.want) << c.what;
    EXPECT_EQ(m_drv->OpenCount(), opens);
    EXPECT_EQ(MK_MPI_AO_SetPubAttr(0, nullptr), E(0x8006));
    EXPECT_EQ(MK_MPI_AO_GetMute(0, nullptr, nullptr), E(0x8006));
    EXPECT_EQ(MK_MPI_AO_SetClkDir(0, 2), E(0x8003));
    EXPECT_EQ(MK_MPI_AO_QueryChnStat(0, 0, nullptr), E(0x8006));
    EXPECT_EQ(MK_MPI_AO_SendFrame(0, 0, nullptr, 0), E(0x8006));
    EXPECT_EQ(MK_MPI_AO_SendFrame(0, 0, &f, -2), E(0x8003));
    m_drv->FailOpen(ENODEV);
    EXPECT_EQ(MK_MPI_AO_Enable(1), E(0x8010));
}

TEST_F(AoTest, SendCodesAreTheDevicesAndTheFramesFaults) {
    Setup(0, Attr(8000, 80));
    std::vector<MK_S16> s(4097, 1);
    AUDIO_FRAME_S first = Frame(s.data(), nullptr, 160);
    EXPECT_EQ(MK_MPI_AO_SendFrame(0, 1, &first, 0), E(0x8005));
    ASSERT_EQ(MK_MPI_AO_EnableChn(0, 1), 0);
    const struct {
        const char* what;
        AUDIO_FRAME_S f;
        MK_S32 want;
    } cases[] = {
        {"160 bytes", Frame(s.data(), nullptr, 160), 0},
        {"4096 points", Frame(s.data(), nullptr, 8192), 0},
        {"4097 points", Frame(s.data(), nullptr, 8194), E(0x8003)},
        {"no points", Frame(s.data(), nullptr, 0), E(0x8003)},
        {"part of a sample", Frame(s.data(), nullptr, 161), E(0x8003)},
        {"sound mode 2", Frame(s.data(), nullptr, 160, 2), E(0x8003)},
        {"width 3", Frame(s.data(), nullptr, 160, 0, 3), E(0x8003)},
        {"stereo on mono", Frame(s.data(), s.data(), 160, 1), E(0x8008)},
        {"8-bit on 16-bit", Frame(s.data(), nullptr, 160, 0, 0), E(0x8008)},
        {"no samples", Frame(nullptr, nullptr, 160), E(0x8006)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MK_MPI_AO_SendFrame(0, 1, &c.f, 0), c.want) << c.what;
    }
    ASSERT_EQ(MK_MPI_AO_Disable(0), 0);  // the driver's state word drops to 0
    AUDIO_FRAME_S ok = Frame(s.data(), nullptr, 160);
    EXPECT_EQ(MK_MPI_AO_SendFrame(0, 1, &ok, 0), E(0x8009));
    ASSERT_EQ(MK_MPI_AO_DisableChn(0, 1), 0);
}

TEST_F(AoTest, FramesReachTheDriverWithTheNextSend) {
    Setup(0, Attr(8000, 320));  // D = 640 bytes
    ASSERT_EQ(MK_MPI_AO_EnableChn(0, 0), 0);
    std::vector<MK_U8> bytes(1000, 3);
    AUDIO_FRAME_S f = Frame(bytes.data(), nullptr, 1000);
    ASSERT_EQ(MK_MPI_AO_SendFrame(0, 0, &f, 0), 0);
    EXPECT_EQ(m_drv->Channel(0).queued, 0u);
    EXPECT_EQ(RingBytes(0, 0).size(), 1000u);
    ASSERT_EQ(MK_MPI_AO_SendFrame(0, 0, &f, 0), 0);
    EXPECT_EQ(m_drv->Channel(0).queued, 1u);
    EXPECT_EQ(RingBytes(0, 0).size(), 1360u);
    ASSERT_EQ(MK_MPI_AO_DisableChn(0, 0), 0);
}

TEST_F(AoTest, RandomTrafficLosesNoByteThroughRefusalsAndWraps) {
    std::mt19937 rng(11);
    for (MK_U32 stereo : {0u, 1u}) {
        const AIO_ATTR_S a = Attr(16000, 320, stereo, 3);
        Setup(1, a);
        ASSERT_EQ(MK_MPI_AO_EnableChn(1, 2), 0);
        const MK_S32 index = AoChnIndex(1, 2);
        std::vector<MK_U8> sent[2];
        MK_U8 next = 0;
        int refused = 0;
        for (int i = 0; i < 400; ++i) {
            const MK_U32 points = std::uniform_int_distribution<MK_U32>(1, 1500)(rng);
            std::vector<MK_U8> t[2];
            for (auto& v : t) {
                v.resize(points * 2);
                for (MK_U8& b : v) b = next++;
            }
            if (i % 37 == 5) m_drv->FailRequest(MK_AO_IOC_SEND_FRAME, E(0x800F), 1, 0, 1);  // refused mid-drain
            const auto before0 = RingBytes(index, 0);
            AUDIO_FRAME_S f = Frame(t[0].data(), t[1].data(), points * 2, stereo);
            const MK_S32 ret = MK_MPI_AO_SendFrame(1, 2, &f, 0);
            if (ret == E(0x800F)) {
                ++refused;
                // Nothing of a refused frame is kept (the drain before it may have moved frames on).
                const auto after0 = RingBytes(index, 0);
                ASSERT_LE(after0.size(), before0.size());
                ASSERT_TRUE(std::equal(after0.begin(), after0.end(), before0.end() - after0.size()));
            } else {
                ASSERT_EQ(ret, 0);
                for (MK_U32 k = 0; k < 1 + stereo; ++k) sent[k].insert(sent[k].end(), t[k].begin(), t[k].end());
            }
            if (i % 3 == 0) m_drv->Tick(20000);
        }
        EXPECT_GT(refused, 0) << "the rings never filled";
        PlayAll(a);
        auto v = m_drv->Channel(index);
        for (MK_U32 k = 0; k < 1 + stereo; ++k) {
            std::vector<MK_U8> all = v.played[k];
            const auto rest = RingBytes(index, static_cast<int>(k));
            all.insert(all.end(), rest.begin(), rest.end());
            EXPECT_TRUE(all == sent[k]) << "track " << k << " stereo " << stereo;
        }
        ASSERT_EQ(MK_MPI_AO_DisableChn(1, 2), 0);
        m_drv->Reset();
    }
}

TEST_F(AoTest, WaitingSenderKeepsToTheClock) {
    const AIO_ATTR_S a = Attr(8000, 160, 0, 2);  // 20 ms periods, two frames queued
    Setup(0, a);
    ASSERT_EQ(MK_MPI_AO_EnableChn(0, 3), 0);
    std::atomic<int> sent{0};
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        std::vector<MK_S16> s(160, 9);
        AUDIO_FRAME_S f = Frame(s.data(), nullptr, 320);
        while (!stop && MK_MPI_AO_SendFrame(0, 3, &f, -1) == 0) ++sent;
    });
    ASSERT_TRUE(m_drv->WaitForBlockedSends(1, 5000));
    for (int tick = 1; tick <= 20; ++tick) {
        m_drv->Tick(20000);
        ASSERT_TRUE(m_drv->WaitForBlockedSends(static_cast<uint64_t>(tick) + 1, 5000));
        // Frames taken = played + queued in the driver + the newest in the rings.
        const int ahead = sent.load() - tick;
        EXPECT_GE(ahead, 2);
        EXPECT_LE(ahead, 2 + 2) << "the sender ran ahead of the clock";
    }
    stop = true;
    m_drv->Tick(20000);
    sender.join();
    ASSERT_EQ(MK_MPI_AO_DisableChn(0, 3), 0);
}

TEST_F(AoTest, BoundDecoderFramesPlayInOrder) {
    const AIO_ATTR_S a = Attr(8000, 80, 0, 64);
    Setup(2, a);
    ASSERT_EQ(MK_MPI_AO_EnableChn(2, 1), 0);
    BIND_SENDER_INFO_S sender{MK_ID_ADEC, 1, 32, nullptr};
    ASSERT_EQ(SYS_BIND_RegisterSender(&sender), 0);
    MPP_CHN_S src{MK_ID_ADEC, 0, 5}, dst{MK_ID_AO, 2, 1};
    ASSERT_EQ(SYS_Bind(&src, &dst), 0);
    std::vector<MK_U8> expect;
    for (int i = 0; i < 20; ++i) {
        std::vector<MK_U8> b(160);
        for (size_t k = 0; k < b.size(); ++k) b[k] = static_cast<MK_U8>(i * 13 + k);
        AUDIO_FRAME_S f = Frame(b.data(), nullptr, 160);
        ASSERT_EQ(SYS_BIND_SendData(MK_ID_ADEC, 0, 5, 0, MPP_DATA_AUDIO_FRAME, &f), 0);
        expect.insert(expect.end(), b.begin(), b.end());
    }
    PlayAll(a);
    std::vector<MK_U8> got = m_drv->Channel(AoChnIndex(2, 1)).played[0];
    auto rest = RingBytes(AoChnIndex(2, 1), 0);
    got.insert(got.end(), rest.begin(), rest.end());
    EXPECT_EQ(got, expect);
    SYS_UnBind(&src, &dst);
    SYS_BIND_UnRegisterSender(MK_ID_ADEC);
    ASSERT_EQ(MK_MPI_AO_DisableChn(2, 1), 0);
}

TEST_F(AoTest, ChannelBuffersComeAndGoWhateverTheDriverSays) {
    Setup(0, Attr(8000, 80));
    ASSERT_EQ(MK_MPI_AO_EnableChn(0, 0), 0);
    const size_t held = Zone().BlockCount();
    EXPECT_EQ(held, m_blocks + 1);
    ASSERT_EQ(MK_MPI_AO_EnableChn(0, 0), 0);  // again: nothing more
    EXPECT_EQ(Zone().BlockCount(), held);
    m_drv->FailRequest(MK_AO_IOC_DISABLE_CHN, E(0x8010));
    EXPECT_EQ(MK_MPI_AO_DisableChn(0, 0), E(0x8010));
    EXPECT_EQ(Zone().BlockCount(), m_blocks);
    std::vector<MK_S16> s(80);
    AUDIO_FRAME_S f = Frame(s.data(), nullptr, 160);
    EXPECT_EQ(MK_MPI_AO_SendFrame(0, 0, &f, 0), E(0x8005));
    m_drv->FailRequest(MK_AO_IOC_ENABLE_CHN, E(0x8007));
    EXPECT_EQ(MK_MPI_AO_EnableChn(0, 1), E(0x8007));
    EXPECT_EQ(Zone().BlockCount(), m_blocks);
    Zone().FailRequest(MK_MMZ_IOC_ALLOC, -1, 1, ENOMEM);
    EXPECT_EQ(MK_MPI_AO_EnableChn(0, 1), E(0x800C));
    Zone().ClearFaults();
    EXPECT_EQ(MK_MPI_AO_DisableChn(0, 1), 0);
}

TEST_F(AoTest, ResamplingIsCheckedAndKeepsItsRate) {
    Setup(0, Attr(48000, 480));
    Setup(1, Attr(48000, 480, 1));
    Setup(2, Attr(48000, 480, 0, 4, AUDIO_BIT_WIDTH_8));
    for (int d = 0; d < 3; ++d) ASSERT_EQ(MK_MPI_AO_EnableChn(d, 0), 0);
    ASSERT_EQ(MK_MPI_AO_EnableChn(0, 5), 0);
    const struct {
        const char* what;
        MK_S32 dev, chn;
        MK_U32 rate;
        MK_S32 want;
    } cases[] = {
        {"channel off", 0, 1, 8000, E(0x8005)},     {"odd rate", 0, 0, 9000, E(0x8003)},
        {"device's own rate", 0, 0, 48000, E(0x8009)}, {"stereo", 1, 0, 8000, E(0x8003)},
        {"8-bit", 2, 0, 8000, E(0x8003)},           {"beyond the device's channels", 0, 5, 8000, E(0x8002)},
        {"8 kHz", 0, 0, 8000, 0},                  {"8 kHz again", 0, 0, 8000, 0},
        {"another rate", 0, 0, 16000, E(0x8009)},
    };
    for (const auto& c : cases) EXPECT_EQ(MK_MPI_AO_EnableReSmp(c.dev, c.chn, c.rate), c.want) << c.what;
    DNVQE_CONFIG_S cfg{};
    ASSERT_EQ(MPI_AO_GetVqeAttr(0, 0, &cfg), 0);
    EXPECT_EQ(cfg.s32InSampleRate, 8000);
    EXPECT_EQ(cfg.s32OutSampleRate, 48000);
    EXPECT_EQ(m_drv->Channel(0).resmp.enInSampleRate, 8000u);
    ASSERT_EQ(MK_MPI_AO_DisableReSmp(0, 0), 0);
    EXPECT_EQ(m_drv->Channel(0).resmp.bReSmpEnable, MK_FALSE);
    for (int d = 0; d < 3; ++d) ASSERT_EQ(MK_MPI_AO_DisableChn(d, 0), 0);
    ASSERT_EQ(MK_MPI_AO_DisableChn(0, 5), 0);
}

AO_VQE_ATTR_S Vqe(MK_U32 hpf, MK_U32 anr, MK_U32 agc, MK_U32 eq, MK_S32 rate = 8000, MK_S32 frame = 80) {
    AO_VQE_ATTR_S v{};
    v.bHpfOpen = hpf;
    v.bAnrOpen = anr;
    v.bAgcOpen = agc;
    v.bEqOpen = eq;
    v.s32WorkSampleRate = rate;
    v.s32FrameSample = frame;
    return v;
}

AO_MBC_ATTR_S Mbc(MK_U32 rate = 8000, MK_U32 frame = 160, MK_U32 bands = 2) {
    AO_MBC_ATTR_S m{};
    m.bEnable = 1;
    m.u32SampleRate = rate;
    m.u32FrameLen = frame;
    m.stMbcParam.u32BandNum = bands;
    for (auto& b : m.stMbcParam.astBand) b = VQE_MBC_BAND_S{1000, -20, 40, 5, 100, 0, {}};
    return m;
}

TEST_F(AoTest, VqeAndCompressorAttributesAreChecked) {
    Setup(0, Attr(8000, 80));
    ASSERT_EQ(MK_MPI_AO_EnableChn(0, 0), 0);
    auto agcBad = Vqe(0, 0, 1, 0);
    agcBad.stAgcCfg.bUsrMode = 1;
    agcBad.stAgcCfg.s8TargetLevel = 0;
    auto hpfBad = Vqe(1, 0, 0, 0);
    hpfBad.stHpfCfg = {1, 100};
    auto anrBad = Vqe(0, 1, 0, 0);
    anrBad.stAnrCfg.bUsrMode = 1;
    anrBad.stAnrCfg.s16NrIntensity = 26;
    anrBad.stAnrCfg.s16NoiseDbThr = 40;
    auto eqBad = Vqe(0, 0, 1, 1);
    eqBad.stEqCfg.s8GaindB[3] = -101;
    auto mode2 = Vqe(1, 0, 0, 0);
    mode2.stHpfCfg.bUsrMode = 2;
    auto ws3 = Vqe(1, 0, 0, 0);
    ws3.enWorkstate = 3;
    const struct {
        const char* what;
        AO_VQE_ATTR_S attr;
        MK_S32 want;
    } cases[] = {
        {"frame 79", Vqe(1, 0, 0, 0, 8000, 79), E(0x8003)},
        {"frame 4097", Vqe(1, 0, 0, 0, 8000, 4097), E(0x8003)},
        {"work state 3", ws3, E(0x8003)},
        {"rate 44100", Vqe(1, 0, 0, 0, 44100), E(0x8003)},
        {"48 kHz with AGC", Vqe(1, 0, 1, 0, 48000), E(0x8003)},
        {"flag 2", Vqe(2, 0, 0, 0), E(0x8003)},
        {"no module", Vqe(0, 0, 0, 0), E(0x8009)},
        {"EQ without AGC", Vqe(0, 0, 0, 1), E(0x8009)},
        {"AGC target 0", agcBad, E(0x8003)},
        {"HPF at 100 Hz", hpfBad, E(0x8003)},
        {"ANR intensity 26", anrBad, E(0x8003)},
        {"EQ gain -101", eqBad, E(0x8003)},
        {"user mode 2", mode2, E(0x8003)},
        {"48 kHz with HPF only", Vqe(1, 0, 0, 0, 48000), 0},
        {"frame 80", Vqe(1, 1, 1, 1), 0},
    };
    for (const auto& c : cases) EXPECT_EQ(MK_MPI_AO_SetVqeAttr(0, 0, &c.attr), c.want) << c.what;
    AO_MBC_ATTR_S m80 = Mbc(8000, 80), m81 = Mbc(8000, 81), r48 = Mbc(48000), b0 = Mbc(8000, 160, 0),
                  b6 = Mbc(8000, 160, 6), off = Mbc(), ch2 = Mbc(), mode4 = Mbc();
    off.bEnable = 0;
    ch2.stMbcParam.u32Channel = 2;
    mode4.u32WorkMode = 4;
    const struct {
        const char* what;
        const AO_MBC_ATTR_S* attr;
        MK_S32 want;
    } mbc[] = {
        {"frame 80", &m80, E(0x8003)}, {"rate 48000", &r48, E(0x8003)}, {"no band", &b0, E(0x8003)},
        {"six bands", &b6, E(0x8003)}, {"not enabled", &off, E(0x8003)}, {"channel 2", &ch2, E(0x8003)},
        {"mode 4", &mode4, E(0x8003)}, {"null", nullptr, E(0x8006)},      {"frame 81", &m81, 0},
    };
    for (const auto& c : mbc) EXPECT_EQ(MK_MPI_AO_EnableMBC(0, 0, c.attr), c.want) << c.what;
    ASSERT_EQ(MK_MPI_AO_DisableChn(0, 0), 0);
    // Stereo and 96 kHz devices take no compressor.
    Setup(1, Attr(8000, 80, 1));
    Setup(2, Attr(96000, 960));
    ASSERT_EQ(MK_MPI_AO_EnableChn(1, 0), 0);
    ASSERT_EQ(MK_MPI_AO_EnableChn(2, 0), 0);
    AO_MBC_ATTR_S ok = Mbc();
    EXPECT_EQ(MK_MPI_AO_EnableMBC(1, 0, &ok), E(0x8003));
    EXPECT_EQ(MK_MPI_AO_EnableMBC(2, 0, &ok), E(0x8009));
    ASSERT_EQ(MK_MPI_AO_DisableChn(1, 0), 0);
    ASSERT_EQ(MK_MPI_AO_DisableChn(2, 0), 0);
}

TEST_F(AoTest, RebuildsKeepRatesAndCompressorAndEqualAttributesKeepTheInstance) {
    Setup(0, Attr(16000, 160));
    ASSERT_EQ(MK_MPI_AO_EnableChn(0, 0), 0);
    ASSERT_EQ(MK_MPI_AO_EnableReSmp(0, 0, 8000), 0);
    AO_MBC_ATTR_S m = Mbc(16000, 320, 3);
    ASSERT_EQ(MK_MPI_AO_EnableMBC(0, 0, &m), 0);
    AO_VQE_ATTR_S v = Vqe(1, 0, 1, 0, 16000, 160);
    ASSERT_EQ(MK_MPI_AO_SetVqeAttr(0, 0, &v), 0);
    void* inst = mk::ao::Module().ctx[0].hVqe;
    ASSERT_EQ(MK_MPI_AO_SetVqeAttr(0, 0, &v), 0);
    EXPECT_EQ(mk::ao::Module().ctx[0].hVqe, inst) << "an equal attribute rebuilt the instance";
    DNVQE_CONFIG_S cfg{};
    ASSERT_EQ(MPI_AO_GetVqeAttr(0, 0, &cfg), 0);
    EXPECT_EQ(cfg.s32InSampleRate, 8000);
    EXPECT_EQ(cfg.s32OutSampleRate, 16000);
    EXPECT_EQ(cfg.bMbcOpen, 1u);
    EXPECT_EQ(cfg.stMbcCfg.u32BandNum, 3u);
    ASSERT_EQ(MK_MPI_AO_EnableVqe(0, 0), 0);
    EXPECT_EQ(m_drv->Channel(0).vqe.bVqeEnable, MK_TRUE);
    AO_VQE_ATTR_S got{};
    ASSERT_EQ(MK_MPI_AO_GetVqeAttr(0, 0, &got), 0);
    EXPECT_EQ(got.bAgcOpen, 1u);
    EXPECT_EQ(got.s32FrameSample, 160);
    EXPECT_EQ(MK_MPI_AO_SetVqeAttr(0, 0, &v), E(0x8009));  // processing on
    ASSERT_EQ(MK_MPI_AO_DisableVqe(0, 0), 0);
    EXPECT_EQ(m_drv->Channel(0).vqe.stVqeConfig.s32WorkSampleRate, AO_VQE_DBG_OFF_RATE);
    ASSERT_EQ(MK_MPI_AO_DisableVqe(0, 0), 0);
    ASSERT_EQ(MK_MPI_AO_DisableMBC(0, 0), 0);
    ASSERT_EQ(MPI_AO_GetVqeAttr(0, 0, &cfg), 0);
    EXPECT_EQ(cfg.bMbcOpen, 0u);
    EXPECT_EQ(cfg.s32InSampleRate, 8000);
    ASSERT_EQ(MK_MPI_AO_DisableChn(0, 0), 0);
    // A disabled channel keeps no processing: enabled again, it plays plainly.
    ASSERT_EQ(MK_MPI_AO_EnableChn(0, 0), 0);
    ASSERT_EQ(MK_MPI_AO_EnableMBC(0, 0, &m), 0);
    ASSERT_EQ(MK_MPI_AO_DisableChn(0, 0), 0);
    ASSERT_EQ(MK_MPI_AO_EnableChn(0, 0), 0);
    std::vector<MK_S16> s(160, 100);
    AUDIO_FRAME_S f = Frame(s.data(), nullptr, 320);
    EXPECT_EQ(MK_MPI_AO_SendFrame(0, 0, &f, 0), 0);
    EXPECT_EQ(RingBytes(0, 0).size(), 320u);
    ASSERT_EQ(MK_MPI_AO_DisableChn(0, 0), 0);
}

TEST_F(AoTest, NarrowToneThroughResamplingHpfAndAgcPlaysAtItsFrequency) {
    const AIO_ATTR_S a = Attr(48000, 480, 0, 8);
    Setup(0, a);
    ASSERT_EQ(MK_MPI_AO_EnableChn(0, 0), 0);
    ASSERT_EQ(MK_MPI_AO_EnableReSmp(0, 0, 8000), 0);
    AO_VQE_ATTR_S v = Vqe(1, 0, 1, 0, 16000, 160);
    ASSERT_EQ(MK_MPI_AO_SetVqeAttr(0, 0, &v), 0);
    ASSERT_EQ(MK_MPI_AO_EnableVqe(0, 0), 0);
    const auto tone = varnelle::audiotest::Tone(16000, 8000, 1000.0, -20.0);  // two seconds
    for (size_t pos = 0; pos < tone.size(); pos += 160) {
        AUDIO_FRAME_S f = Frame(const_cast<MK_S16*>(tone.data() + pos), nullptr, 320);
        ASSERT_EQ(MK_MPI_AO_SendFrame(0, 0, &f, 0), 0);
        m_drv->Tick(20000);
    }
    PlayAll(a);
    const auto& bytes = m_drv->Channel(0).played[0];
    std::vector<int16_t> out(bytes.size() / 2);
    std::memcpy(out.data(), bytes.data(), out.size() * 2);
    ASSERT_GT(out.size(), 48000u);
    auto fit = varnelle::audiotest::FitTone(out, out.size() / 2, out.size(), 48000, 1000.0);
    EXPECT_NEAR(fit.freq, 1000.0, 0.1);
    EXPECT_GT(fit.SnrDb(), 30.0);
    EXPECT_GT(fit.LevelDb(), -20.0) << "the gain control should have raised it toward its target";
    ASSERT_EQ(MK_MPI_AO_DisableChn(0, 0), 0);
}

// A made signal played through an 8 kHz channel with processing on: what the device played.
class AoSignalTest : public AoTest {
protected:
    std::vector<int16_t> Through(const AO_VQE_ATTR_S& v, const std::vector<int16_t>& in) {
        const AIO_ATTR_S a = Attr(8000, 160, 0, 8);
        Setup(0, a);
        EXPECT_EQ(MK_MPI_AO_EnableChn(0, 0), 0);
        EXPECT_EQ(MK_MPI_AO_SetVqeAttr(0, 0, &v), 0);
        EXPECT_EQ(MK_MPI_AO_EnableVqe(0, 0), 0);
        for (size_t pos = 0; pos + 160 <= in.size(); pos += 160) {
            AUDIO_FRAME_S f = Frame(const_cast<int16_t*>(in.data() + pos), nullptr, 320);
            EXPECT_EQ(MK_MPI_AO_SendFrame(0, 0, &f, 0), 0) << pos;
            m_drv->Tick(20000);
        }
        PlayAll(a);
        const auto& bytes = m_drv->Channel(0).played[0];
        std::vector<int16_t> out(bytes.size() / 2);
        std::memcpy(out.data(), bytes.data(), out.size() * 2);
        EXPECT_EQ(MK_MPI_AO_DisableChn(0, 0), 0);
        EXPECT_EQ(MK_MPI_AO_Disable(0), 0);
        return out;
    }
};

// Noise reduction on white noise that a tone joins halfway: the noise alone plays well down, the
// tone at its level.
TEST_F(AoSignalTest, NoiseReductionLowersNoiseAndKeepsATone) {
    constexpr size_t kN = 8000 * 4;
    std::mt19937 gen(7);
    std::normal_distribution<double> noise(0.0, 32768.0 * std::pow(10.0, -35.0 / 20.0) / std::sqrt(2.0));
    const std::vector<int16_t> tone = varnelle::audiotest::Tone(kN, 8000, 1000.0, -20.0);
    std::vector<int16_t> in(kN);
    for (size_t t = 0; t < kN; ++t) {
        in[t] = static_cast<int16_t>(std::lround(noise(gen)) + (t >= kN / 2 ? tone[t] : 0));
    }
    const std::vector<int16_t> out = Through(Vqe(0, 1, 0, 0), in);
    ASSERT_GE(out.size(), kN - 320);
    const size_t from = kN / 4, to = kN / 2 - 800;  // settled noise, before the tone and the delays
    const double cut = varnelle::audiotest::LevelDb(in.data() + from, to - from) -
                       varnelle::audiotest::LevelDb(out.data() + from, to - from);
    const auto fit = varnelle::audiotest::FitTone(out, out.size() * 5 / 8, out.size(), 8000, 1000.0);
    EXPECT_GE(cut, 8.0);
    EXPECT_NEAR(fit.LevelDb(), -20.0, 1.0);
}

// Gain control brings a quiet tone to its target, no further than its largest gain allows.
TEST_F(AoSignalTest, GainControlBringsAToneToItsTargetWithinItsLargestGain) {
    struct Case {
        double inDb;
        MK_S8 target, maxGain;
        double wantDb;
    } const cases[] = {{-35.0, -10, 30, -10.0}, {-35.0, -10, 10, -25.0}, {-20.0, -30, 10, -30.0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.inDb);
        AO_VQE_ATTR_S v = Vqe(0, 0, 1, 0);
        v.stAgcCfg.bUsrMode = 1;
        v.stAgcCfg.s8TargetLevel = c.target;
        v.stAgcCfg.s8NoiseFloor = -65;
        v.stAgcCfg.s8MaxGain = c.maxGain;
        v.stAgcCfg.s8AdjustSpeed = 10;
        const std::vector<int16_t> out = Through(v, varnelle::audiotest::Tone(8000 * 3, 8000, 500.0, c.inDb));
        ASSERT_GT(out.size(), 16000u);
        const auto fit = varnelle::audiotest::FitTone(out, out.size() * 2 / 3, out.size(), 8000, 500.0);
        EXPECT_NEAR(fit.LevelDb(), c.wantDb, 2.0)
            << "target " << int{c.target} << " gain " << int{c.maxGain};
        EXPECT_NEAR(fit.freq, 500.0, 0.5);
    }
}

TEST_F(AoTest, DumpsHoldInputAndOutputUpToTheirLimit) {
    char tmpl[] = "/tmp/aodumpXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    // A folder whose path fills the record's 256-byte field with no terminator.
    std::string dir = tmpl;
    while (dir.size() < 256) dir += "/" + std::string(std::min<size_t>(100, 255 - dir.size()), 'd');
    ASSERT_EQ(dir.size(), 256u);
    std::filesystem::create_directories(dir);
    Setup(0, Attr(8000, 80));
    ASSERT_EQ(MK_MPI_AO_EnableChn(0, 2), 0);
    AO_VQE_ATTR_S v = Vqe(1, 0, 0, 0);
    ASSERT_EQ(MK_MPI_AO_SetVqeAttr(0, 2, &v), 0);
    ASSERT_EQ(MK_MPI_AO_EnableVqe(0, 2), 0);
    AUDIO_DUMPFILE_CFG_S cfg{};
    cfg.bCfg = MK_TRUE;
    std::memset(cfg.aFilePath, 0, sizeof(cfg.aFilePath));
    std::memcpy(cfg.aFilePath, dir.data(), dir.size());
    std::snprintf(cfg.aFileName, sizeof(cfg.aFileName), "take1");
    cfg.u32FileSize = 2;                                      // KB
    ASSERT_EQ(MK_MPI_AO_SaveFile(0, 2, &cfg), 0);
    MK_U32 saving = 0;
    ASSERT_EQ(MK_MPI_AO_QueryFileStatus(0, 2, &saving), 0);
    EXPECT_EQ(saving, 1u);
    std::vector<MK_U8> sentIn;
    for (int i = 0; i < 20; ++i) {
        std::vector<MK_S16> s(80);
        for (int k = 0; k < 80; ++k) s[k] = static_cast<MK_S16>((i * 80 + k) * 37);
        AUDIO_FRAME_S f = Frame(s.data(), nullptr, 160);
        ASSERT_EQ(MK_MPI_AO_SendFrame(0, 2, &f, 0), 0);
        const auto* b = reinterpret_cast<const MK_U8*>(s.data());
        sentIn.insert(sentIn.end(), b, b + 160);
        m_drv->Tick(10000);
    }
    ASSERT_EQ(MK_MPI_AO_QueryFileStatus(0, 2, &saving), 0);
    EXPECT_EQ(saving, 0u) << "the record goes back disabled at the limit";
    const std::string part = "take1";
    auto read = [](const std::string& p) {
        std::ifstream f(p, std::ios::binary);
        return std::vector<MK_U8>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    };
    auto in = read(dir + "/Sin_AoDev0_Chn2_8K_" + part + ".pcm");
    auto out = read(dir + "/Sou_AoDev0_Chn2_8K_" + part + ".pcm");
    ASSERT_EQ(in.size(), 13u * 160u);  // whole frames up to the first that reaches 2 KB
    EXPECT_TRUE(std::equal(in.begin(), in.end(), sentIn.begin()));
    EXPECT_EQ(out.size(), in.size());
    EXPECT_NE(out, in) << "the output file holds the filtered signal";
    // What the output file holds is what went on to the device.
    PlayAll(Attr(8000, 80));
    std::vector<MK_U8> played = m_drv->Channel(2).played[0];
    const auto rest = RingBytes(2, 0);
    played.insert(played.end(), rest.begin(), rest.end());
    ASSERT_GE(played.size(), out.size());
    EXPECT_TRUE(std::equal(out.begin(), out.end(), played.begin()));
    ASSERT_EQ(MK_MPI_AO_DisableChn(0, 2), 0);
    std::filesystem::remove_all(tmpl);
}

TEST_F(AoTest, ExitAndInitTenTimesLeaveNothingBehind) {
    char tmpl[] = "/tmp/aoexitXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    Setup(0, Attr(8000, 80));
    int fds = -1;
    for (int round = 0; round < 10; ++round) {
        for (int chn = 0; chn < 3; ++chn) {
            ASSERT_EQ(MK_MPI_AO_EnableChn(0, chn), 0);
            AO_VQE_ATTR_S v = Vqe(1, 1, 1, 0);
            ASSERT_EQ(MK_MPI_AO_SetVqeAttr(0, chn, &v), 0);
            ASSERT_EQ(MK_MPI_AO_EnableVqe(0, chn), 0);
            AUDIO_DUMPFILE_CFG_S cfg{};
            cfg.bCfg = MK_TRUE;
            std::snprintf(cfg.aFilePath, sizeof(cfg.aFilePath), "%s", tmpl);
            std::snprintf(cfg.aFileName, sizeof(cfg.aFileName), "r%d", round);
            cfg.u32FileSize = 100;
            ASSERT_EQ(MK_MPI_AO_SaveFile(0, chn, &cfg), 0);
            std::vector<MK_S16> s(80, 5);
            AUDIO_FRAME_S f = Frame(s.data(), nullptr, 160);
            ASSERT_EQ(MK_MPI_AO_SendFrame(0, chn, &f, 0), 0);
        }
        EXPECT_GT(AUDIO_LoadedModuleCount(), 0);
        ASSERT_EQ(MPI_AO_Exit(), 0);
        EXPECT_EQ(Zone().BlockCount(), m_blocks);
        EXPECT_EQ(AUDIO_LoadedModuleCount(), 0);
        if (fds < 0) fds = OpenFds();
        EXPECT_EQ(OpenFds(), fds) << "round " << round;
        ASSERT_EQ(MPI_AO_Init(), 0);
    }
    std::filesystem::remove_all(tmpl);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new mk::testing::BusEnvironment("ao", [] {
        varnelle::drivers::InstallAoDriver();
        varnelle::drivers::InstallMmzDriver();
        varnelle::drivers::InstallMemDriver();
    }));
    return RUN_ALL_TESTS();
}
