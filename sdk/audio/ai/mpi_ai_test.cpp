// Audio input devices, channels and the frame path without processing.
#include <poll.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "sdk/audio/ai/ai_test_fixture.h"

namespace ai_test {
namespace {

[[maybe_unused]] ::testing::Environment* const g_bus =
    ::testing::AddGlobalTestEnvironment(new mk::testing::BusEnvironment("ai", InstallDrivers));

// The request numbers, written out by hand: 'Z', number, direction and size (the frame records carry
// user addresses, so their sizes are the host's).
TEST(AiRequestTest, RequestNumbersAreWrittenOutByHand) {
    static_assert(sizeof(void*) != 8 || sizeof(AI_FRAME_REQ_S) == 136, "the host's frame request");
    static_assert(sizeof(void*) != 8 || sizeof(AUDIO_FRAME_RECORD_S) == 128, "the host's frame record");
    const struct {
        unsigned long got, want;
    } table[] = {
        {MK_AI_IOC_BIND, 0x40045A00},
        {MK_AI_IOC_SET_PUBATTR, 0x40285A01},
        {MK_AI_IOC_GET_PUBATTR, 0x80285A02},
        {MK_AI_IOC_ENABLE, 0x5A03},
        {MK_AI_IOC_DISABLE, 0x5A04},
        {MK_AI_IOC_GET_POOL, 0x80045A05},
        {MK_AI_IOC_GET_CHN_PARAM, 0x80045A06},
        {MK_AI_IOC_SET_CHN_PARAM, 0x40045A07},
        {MK_AI_IOC_GET_FRAME, 0xC0885A08},
        {MK_AI_IOC_RELEASE_FRAME, 0x40805A09},
        {MK_AI_IOC_AEC_ON, 0x40085A0A},
        {MK_AI_IOC_AEC_OFF, 0x5A0B},
        {MK_AI_IOC_ENABLE_CHN, 0x5A0C},
        {MK_AI_IOC_DISABLE_CHN, 0x5A0D},
        {MK_AI_IOC_RESMP_DBG, 0x40105A12},
        {MK_AI_IOC_VQE_DBG, 0x41405A13},
        {MK_AI_IOC_VQE_VOLUME, 0x40045A14},
        {MK_AI_IOC_SET_TRACK_MODE, 0x40045A15},
        {MK_AI_IOC_GET_TRACK_MODE, 0x80045A16},
        {MK_AI_IOC_SET_CLKDIR, 0x40045A17},
        {MK_AI_IOC_GET_CLKDIR, 0x80045A18},
        {MK_AI_IOC_CLR_PUBATTR, 0x5A19},
        {MK_AI_IOC_SET_DUMP, 0x42085A1A},
        {MK_AI_IOC_GET_DUMP, 0x82085A1B},
        {MK_AI_IOC_REF_FRAME_ON, 0x40085A1C},
        {MK_AI_IOC_REF_FRAME_OFF, 0x5A1D},
    };
    for (const auto& r : table) EXPECT_EQ(r.got, r.want) << std::hex << r.want;
}

bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

TEST_F(AiTest, IdsAreCheckedBeforeTheNodeIsOpened) {
    const int opens = Drv()->OpenCount();
    AIO_ATTR_S attr = Attr(8000, 160);
    AI_CHN_PARAM_S param{};
    AUDIO_FRAME_S frame{};
    struct Case {
        MK_S32 got;
        MK_S32 want;
    } const cases[] = {
        {MK_MPI_AI_SetPubAttr(3, &attr), kErrDev},
        {MK_MPI_AI_SetPubAttr(-1, &attr), kErrDev},
        {MK_MPI_AI_Enable(3), kErrDev},
        {MK_MPI_AI_EnableChn(0, 20), kErrChn},
        {MK_MPI_AI_EnableChn(0, -1), kErrChn},
        {MK_MPI_AI_EnableChn(3, 0), kErrDev},
        {MK_MPI_AI_SetChnParam(2, 20, &param), kErrChn},
        {MK_MPI_AI_GetFrame(0, 20, &frame, nullptr, 0), kErrChn},
        {MK_MPI_AI_ReleaseFrame(-5, 0, &frame, nullptr), kErrDev},
        {MK_MPI_AI_GetFd(0, 20), kErrChn},
        {MK_MPI_AI_SetPubAttr(0, nullptr), kErrNull},
        {MK_MPI_AI_GetFrame(0, 0, nullptr, nullptr, 0), kErrNull},
        {MK_MPI_AI_GetFrame(0, 0, &frame, nullptr, -2), kErrParam},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) EXPECT_EQ(cases[i].got, cases[i].want) << i;
    EXPECT_EQ(Drv()->OpenCount(), opens);
}

TEST_F(AiTest, NodeFailuresAreNotReadyAndTheNextCallOpensAgain) {
    // Device 2's slot has not been opened by any test before this one.
    const AIO_ATTR_S attr = Attr(8000, 160);
    Drv()->FailOpen(ENOENT);
    EXPECT_EQ(MK_MPI_AI_SetPubAttr(2, &attr), kErrNotReady);
    Drv()->FailRequest(MK_AI_IOC_BIND, -1);
    EXPECT_EQ(MK_MPI_AI_SetPubAttr(2, &attr), kErrNotReady);
    EXPECT_EQ(MK_MPI_AI_SetPubAttr(2, &attr), MK_SUCCESS);
    EXPECT_TRUE(Drv()->Device(2).attrSet);
    // A driver's code reaches the caller bit for bit.
    Drv()->FailRequest(MK_AI_IOC_SET_PUBATTR, static_cast<int>(0xA0158099));
    EXPECT_EQ(MK_MPI_AI_SetPubAttr(2, &attr), static_cast<MK_S32>(0xA0158099));
}

TEST_F(AiTest, TrackModeAndClockDirectionAreChecked) {
    struct Case {
        bool track;
        MK_U32 value;
        MK_S32 want;
    } const cases[] = {
        {true, 7, MK_SUCCESS}, {true, 8, kErrParam}, {false, 1, MK_SUCCESS}, {false, 2, kErrParam}};
    for (const Case& c : cases) {
        const MK_S32 got = c.track ? MK_MPI_AI_SetTrackMode(0, c.value) : MK_MPI_AI_SetClkDir(0, c.value);
        EXPECT_EQ(got, c.want) << c.track << " " << c.value;
    }
    MK_U32 track = 0, clk = 0;
    ASSERT_EQ(MK_MPI_AI_GetTrackMode(0, &track), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_AI_GetClkDir(0, &clk), MK_SUCCESS);
    EXPECT_EQ(track, 7u);
    EXPECT_EQ(clk, 1u);
    EXPECT_EQ(MK_MPI_AI_GetTrackMode(0, nullptr), kErrNull);
}

TEST_F(AiTest, TheDevicePoolIsMappedOnceAndUnmappedBeforeDisable) {
    auto vb = varnelle::dev::Registry::Find("/dev/vb");
    vb->ResetCounters();
    const AIO_ATTR_S attr = Attr(8000, 160);
    ASSERT_EQ(MK_MPI_AI_SetPubAttr(0, &attr), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_AI_Enable(0), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_AI_Enable(0), MK_SUCCESS);
    EXPECT_EQ(vb->RequestCount(VB_IOC_POOL_MAP_INFO_EX), 1);
    const int pool = Drv()->Device(0).pool;
    ASSERT_GE(pool, 0);
    const MK_U32 phys = drivers::VbPools::Instance().Pool(pool)->phys;
    MK_VOID* vir = nullptr;
    EXPECT_EQ(MK_MPI_VB_GetBlkVirAddrEx(pool, phys, &vir), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_AI_Disable(0), MK_SUCCESS);
    EXPECT_FALSE(Drv()->Device(0).enabled);
    EXPECT_NE(MK_MPI_VB_GetBlkVirAddrEx(pool, phys, &vir), MK_SUCCESS);
    EXPECT_EQ(MK_MPI_AI_Disable(0), MK_SUCCESS);
}

TEST_F(AiTest, ChannelsEnableOnceAndDisableQuietly) {
    Start(0, Attr(8000, 160), 1);
    Drv()->ResetCounters();
    EXPECT_EQ(MK_MPI_AI_EnableChn(0, 1), MK_SUCCESS);
    EXPECT_EQ(Drv()->RequestCount(MK_AI_IOC_ENABLE_CHN), 0);
    EXPECT_EQ(MK_MPI_AI_DisableChn(0, 1), MK_SUCCESS);
    EXPECT_FALSE(Drv()->Channel(0, 1).enabled);
    Drv()->ResetCounters();
    EXPECT_EQ(MK_MPI_AI_DisableChn(0, 1), MK_SUCCESS);
    EXPECT_EQ(Drv()->RequestCount(MK_AI_IOC_DISABLE_CHN), 0);
    EXPECT_EQ(MK_MPI_AI_EnableChn(0, 5), kErrChn) << "the device has four channels";
    AUDIO_FRAME_S f{};
    EXPECT_EQ(MK_MPI_AI_GetFrame(0, 1, &f, nullptr, 0), kErrNotEnabled);
}

TEST_F(AiTest, GetWaitsAsToldAndTheFdShowsAWaitingFrame) {
    Start(1, Attr(8000, 160), 0);
    AUDIO_FRAME_S f{};
    EXPECT_EQ(MK_MPI_AI_GetFrame(1, 0, &f, nullptr, 0), kErrEmpty);
    EXPECT_EQ(MK_MPI_AI_GetFrame(1, 0, &f, nullptr, 5), kErrEmpty);
    const int fd = MK_MPI_AI_GetFd(1, 0);
    ASSERT_GE(fd, 3);
    EXPECT_FALSE(Readable(fd));
    std::atomic<MK_S32> got{1};
    AUDIO_FRAME_S blocked{};
    std::thread getter([&] { got = MK_MPI_AI_GetFrame(1, 0, &blocked, nullptr, -1); });
    ASSERT_TRUE(WaitFor([] { return Drv()->Channel(1, 0).waiters == 1; }));
    const std::vector<int16_t> s = Feed(1, 0, 160, 3, 777);
    getter.join();
    ASSERT_EQ(got.load(), MK_SUCCESS);
    EXPECT_EQ(Samples(blocked), s);
    EXPECT_EQ(blocked.u64TimeStamp, 777u);
    Feed(1, 0, 160, 4);
    EXPECT_TRUE(Readable(fd));
    ASSERT_EQ(MK_MPI_AI_GetFrame(1, 0, &f, nullptr, 0), MK_SUCCESS);
    EXPECT_FALSE(Readable(fd));
    EXPECT_EQ(MK_MPI_AI_ReleaseFrame(1, 0, &f, nullptr), MK_SUCCESS);
    EXPECT_EQ(MK_MPI_AI_ReleaseFrame(1, 0, &blocked, nullptr), MK_SUCCESS);
}

TEST_F(AiTest, ADisableWakesAWaitingGetterWithAnError) {
    Start(0, Attr(8000, 160), 2);
    std::atomic<MK_S32> got{1};
    std::thread getter([&] {
        AUDIO_FRAME_S f{};
        got = MK_MPI_AI_GetFrame(0, 2, &f, nullptr, -1);
    });
    ASSERT_TRUE(WaitFor([] { return Drv()->Channel(0, 2).waiters == 1; }));
    ASSERT_EQ(MK_MPI_AI_DisableChn(0, 2), MK_SUCCESS);
    getter.join();
    EXPECT_EQ(got.load(), kErrNotEnabled);
}

// Frames of every width and sound mode come out as captured, in order, with their time stamps.
struct FormatCase {
    AUDIO_BIT_WIDTH_E width;
    bool stereo;
};

class AiFormatTest : public AiTest, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(AiFormatTest, FramesCarryTheirSamplesStampsAndSequence) {
    const FormatCase c = GetParam();
    Start(0, Attr(16000, 320, c.width, c.stereo), 3, 8);
    const size_t bytes = 320 * AudioBytesPerPoint(c.width);
    std::vector<std::vector<uint8_t>> sent;
    for (int i = 0; i < 5; ++i) {
        drivers::AiInjectFrame f;
        for (size_t k = 0; k < bytes; ++k) f.track0.push_back(static_cast<uint8_t>(k * 7 + i));
        if (c.stereo) {
            for (size_t k = 0; k < bytes; ++k) f.track1.push_back(static_cast<uint8_t>(k * 3 + i));
        }
        f.timeStamp = 5000 + i * 20000;
        ASSERT_EQ(Drv()->Inject(0, 3, f), 0);
        sent.push_back(f.track0);
        if (c.stereo) sent.push_back(f.track1);
    }
    for (int i = 0; i < 5; ++i) {
        AUDIO_FRAME_S f{};
        AEC_FRAME_S ref{};
        ref.bValid = MK_TRUE;
        ASSERT_EQ(MK_MPI_AI_GetFrame(0, 3, &f, &ref, 0), MK_SUCCESS);
        EXPECT_EQ(ref.bValid, MK_FALSE) << "no reference without echo cancellation";
        EXPECT_EQ(f.enBitwidth, c.width);
        EXPECT_EQ(f.enSoundmode, c.stereo ? AUDIO_SOUND_MODE_STEREO : AUDIO_SOUND_MODE_MONO);
        EXPECT_EQ(f.u32Seq, static_cast<MK_U32>(i));
        EXPECT_EQ(f.u64TimeStamp, 5000u + i * 20000u);
        EXPECT_EQ(f.u32Len, bytes);
        const size_t at = c.stereo ? 2 * i : i;
        EXPECT_EQ(std::memcmp(f.pVirAddr[0], sent[at].data(), bytes), 0);
        if (c.stereo) {
            EXPECT_EQ(std::memcmp(f.pVirAddr[1], sent[at + 1].data(), bytes), 0);
        }
        ASSERT_EQ(MK_MPI_AI_ReleaseFrame(0, 3, &f, nullptr), MK_SUCCESS);
        EXPECT_EQ(MK_MPI_AI_ReleaseFrame(0, 3, &f, nullptr), kErrParam) << "given back twice";
    }
    EXPECT_EQ(Drv()->HeldBlocks(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Formats, AiFormatTest,
                         ::testing::Values(FormatCase{AUDIO_BIT_WIDTH_16, false},
                                           FormatCase{AUDIO_BIT_WIDTH_8, false},
                                           FormatCase{AUDIO_BIT_WIDTH_16, true}));

TEST_F(AiTest, DisableWaitsUntilTheLastFrameComesBack) {
    Start(2, Attr(8000, 160), 0, 4);
    Feed(2, 0, 160, 1);
    Feed(2, 0, 160, 2);
    AUDIO_FRAME_S a{}, b{};
    ASSERT_EQ(MK_MPI_AI_GetFrame(2, 0, &a, nullptr, 0), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_AI_GetFrame(2, 0, &b, nullptr, 0), MK_SUCCESS);
    Drv()->ResetCounters();
    std::atomic<bool> done{false};
    std::thread disabler([&] {
        EXPECT_EQ(MK_MPI_AI_DisableChn(2, 0), MK_SUCCESS);
        done = true;
    });
    // The disable has begun once the channel refuses frames.
    AUDIO_FRAME_S probe{};
    ASSERT_TRUE(WaitFor([&] { return MK_MPI_AI_GetFrame(2, 0, &probe, nullptr, 0) == kErrNotEnabled; }));
    ASSERT_EQ(MK_MPI_AI_ReleaseFrame(2, 0, &a, nullptr), MK_SUCCESS);
    EXPECT_FALSE(done.load()) << "one frame is still out";
    EXPECT_EQ(Drv()->RequestCount(MK_AI_IOC_DISABLE_CHN), 0);
    ASSERT_EQ(MK_MPI_AI_ReleaseFrame(2, 0, &b, nullptr), MK_SUCCESS);
    disabler.join();
    EXPECT_FALSE(Drv()->Channel(2, 0).enabled);
}

// A channel on its way down is in its own state: neither enable nor a second disable slips in while
// the first waits for its frames, and afterwards the channel is down in the driver as in the module.
TEST_F(AiTest, EnableAndDisableAreRefusedWhileADisableWaitsForItsFrames) {
    Start(1, Attr(8000, 160), 3, 4);
    Feed(1, 3, 160, 1);
    AUDIO_FRAME_S held{};
    ASSERT_EQ(MK_MPI_AI_GetFrame(1, 3, &held, nullptr, 0), MK_SUCCESS);
    std::atomic<MK_S32> disabled{1};
    std::thread disabler([&] { disabled = MK_MPI_AI_DisableChn(1, 3); });
    AUDIO_FRAME_S probe{};
    ASSERT_TRUE(WaitFor([&] { return MK_MPI_AI_GetFrame(1, 3, &probe, nullptr, 0) == kErrNotEnabled; }));
    EXPECT_EQ(MK_MPI_AI_DisableChn(1, 3), kErrBusy);
    EXPECT_EQ(MK_MPI_AI_EnableChn(1, 3), kErrBusy);
    EXPECT_TRUE(Drv()->Channel(1, 3).enabled) << "up in the driver until the frame is back";
    ASSERT_EQ(MK_MPI_AI_ReleaseFrame(1, 3, &held, nullptr), MK_SUCCESS);
    disabler.join();
    EXPECT_EQ(disabled.load(), MK_SUCCESS);
    EXPECT_FALSE(Drv()->Channel(1, 3).enabled);
    // Enabled afresh it works as the first time.
    ASSERT_EQ(MK_MPI_AI_EnableChn(1, 3), MK_SUCCESS);
    const std::vector<int16_t> s = Feed(1, 3, 160, 2);
    AUDIO_FRAME_S f{};
    ASSERT_EQ(MK_MPI_AI_GetFrame(1, 3, &f, nullptr, 0), MK_SUCCESS);
    EXPECT_EQ(Samples(f), s);
    ASSERT_EQ(MK_MPI_AI_ReleaseFrame(1, 3, &f, nullptr), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_AI_DisableChn(1, 3), MK_SUCCESS);
}

// A frame given back twice: by then its block may hold the next frame, which the second release must
// not free, for frames of the driver and up-sampled frames of the channel's own pool alike.
TEST_F(AiTest, AStaleSecondReleaseIsRefusedAndTheNextFrameStaysHeld) {
    Start(0, Attr(8000, 160), 2, 4);
    for (const MK_U32 rate : {0u, 16000u}) {
        SCOPED_TRACE(rate);
        if (rate != 0) {
            ASSERT_EQ(MK_MPI_AI_EnableReSmp(0, 2, rate), MK_SUCCESS);
        }
        auto blocksHeld = [rate] {
            if (rate == 0) return Drv()->HeldBlocks();
            const auto pool = drivers::VbPools::Instance().Pool(g_astVqeState[0][2].s32ResmpPoolId);
            return AI_RESMP_BLK_NUM - pool->freeBlocks;
        };
        AUDIO_FRAME_S a{}, b{};
        Feed(0, 2, 160, 1, 100);
        ASSERT_EQ(MK_MPI_AI_GetFrame(0, 2, &a, nullptr, -1), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_AI_ReleaseFrame(0, 2, &a, nullptr), MK_SUCCESS);
        Feed(0, 2, 160, 2, 200);
        ASSERT_EQ(MK_MPI_AI_GetFrame(0, 2, &b, nullptr, -1), MK_SUCCESS);
        ASSERT_EQ(b.u32PhyAddr[0], a.u32PhyAddr[0]) << "the block came round again";
        EXPECT_EQ(MK_MPI_AI_ReleaseFrame(0, 2, &a, nullptr), kErrParam);
        EXPECT_EQ(blocksHeld(), 1u) << "the next frame's block is still its own";
        ASSERT_EQ(MK_MPI_AI_ReleaseFrame(0, 2, &b, nullptr), MK_SUCCESS);
        EXPECT_EQ(blocksHeld(), 0u);
        EXPECT_EQ(MK_MPI_AI_ReleaseFrame(0, 2, &b, nullptr), kErrParam);
    }
    ASSERT_EQ(MK_MPI_AI_DisableChn(0, 2), MK_SUCCESS);
}

TEST_F(AiTest, GeneratorFramesArePacedAndCarryTheSignal) {
    const AIO_ATTR_S attr = Attr(8000, 160);
    ASSERT_EQ(MK_MPI_AI_SetPubAttr(0, &attr), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_AI_Enable(0), MK_SUCCESS);
    Drv()->SetSource(0, 0, drivers::AiSource::kSine, 440.0, -6.0);
    AI_CHN_PARAM_S param{8};
    ASSERT_EQ(MK_MPI_AI_SetChnParam(0, 0, &param), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_AI_EnableChn(0, 0), MK_SUCCESS);
    MK_U64 start = 0;
    for (MK_U32 i = 0; i < 4; ++i) {
        AUDIO_FRAME_S f{};
        ASSERT_EQ(MK_MPI_AI_GetFrame(0, 0, &f, nullptr, -1), MK_SUCCESS);
        // Frame k starts k frame lengths (20 ms) after the enable, whatever the caller missed.
        const MK_U64 base = f.u64TimeStamp - f.u32Seq * 20000ull;
        if (i == 0) start = base;
        EXPECT_EQ(base, start) << "frame " << f.u32Seq;
        const std::vector<int16_t> s = Samples(f);
        ASSERT_EQ(s.size(), 160u);
        for (int n = 0; n < 160; ++n) {
            ASSERT_EQ(s[n], Drv()->SourceSample(0, 0, static_cast<MK_U64>(f.u32Seq) * 160 + n))
                << i << " " << n;
        }
        ASSERT_EQ(MK_MPI_AI_ReleaseFrame(0, 0, &f, nullptr), MK_SUCCESS);
    }
    ASSERT_EQ(MK_MPI_AI_DisableChn(0, 0), MK_SUCCESS);
}

}  // namespace
}  // namespace ai_test
