#include "platform/drivers/ao/ao_driver.h"

#include <fcntl.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/dev/dev.h"

namespace {

namespace dev = varnelle::dev;
using varnelle::drivers::AoDriver;

constexpr MK_S32 kNotConfig = static_cast<MK_S32>(0xA0168007);
constexpr MK_S32 kIllegal = static_cast<MK_S32>(0xA0168003);
constexpr MK_S32 kNotPerm = static_cast<MK_S32>(0xA0168009);
constexpr MK_S32 kFull = static_cast<MK_S32>(0xA016800F);
constexpr MK_S32 kNotEnabled = static_cast<MK_S32>(0xA0168005);
constexpr MK_S32 kMismatch = static_cast<MK_S32>(0xA0168008);

AIO_ATTR_S Attr(uint32_t rate = 8000, uint32_t points = 80, uint32_t frames = 3, uint32_t stereo = 0,
                uint32_t width = AUDIO_BIT_WIDTH_16) {
    AIO_ATTR_S a{};
    a.enSampleRate = static_cast<AUDIO_SAMPLE_RATE_E>(rate);
    a.enBitwidth = static_cast<AUDIO_BIT_WIDTH_E>(width);
    a.enSoundmode = static_cast<AUDIO_SOUND_MODE_E>(stereo);
    a.u32FrameCount = frames;
    a.u32PtNumPerFrm = points;
    a.u32ChnCount = 20;
    return a;
}

class AoDriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_drv = AoDriver::Get();
        m_drv->Reset();
        m_drv->HoldClock(true);
        m_drv->RecordPlayed(true);
    }
    void TearDown() override {
        for (int fd : m_fds) dev::Close(fd);
        m_drv->HoldClock(false);
        m_drv->RecordPlayed(false);
        m_drv->Reset();
    }
    int Bound(MK_U32 index) {
        int fd = dev::Open("/dev/ao", O_RDWR);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(dev::Ioctl(fd, MK_AO_IOC_BIND, &index), 0);
        m_fds.push_back(fd);
        return fd;
    }
    // Device 0 set up and enabled, channel `chn` enabled; the channel's descriptor.
    int Ready(const AIO_ATTR_S& a, int chn = 0) {
        int devFd = Bound(0);
        AIO_ATTR_S copy = a;
        EXPECT_EQ(dev::Ioctl(devFd, MK_AO_IOC_SET_PUBATTR, &copy), 0);
        EXPECT_EQ(dev::Ioctl(devFd, MK_AO_IOC_ENABLE), 0);
        int fd = chn == 0 ? devFd : Bound(chn);
        EXPECT_EQ(dev::Ioctl(fd, MK_AO_IOC_ENABLE_CHN), 0);
        return fd;
    }
    static int Send(int fd, std::vector<uint8_t>& t0, std::vector<uint8_t>* t1, MK_S32 ms, uint32_t width = 1) {
        AO_SEND_FRAME_REQ_S req{};
        req.stFrame.enBitwidth = static_cast<AUDIO_BIT_WIDTH_E>(width);
        req.stFrame.enSoundmode = t1 != nullptr ? AUDIO_SOUND_MODE_STEREO : AUDIO_SOUND_MODE_MONO;
        req.stFrame.pVirAddr[0] = t0.data();
        req.stFrame.pVirAddr[1] = t1 != nullptr ? t1->data() : nullptr;
        req.stFrame.u32Len = static_cast<MK_U32>(t0.size());
        req.s32MilliSec = ms;
        return dev::Ioctl(fd, MK_AO_IOC_SEND_FRAME, &req);
    }
    static std::vector<uint8_t> Bytes(size_t n, uint8_t seed) {
        std::vector<uint8_t> v(n);
        for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
        return v;
    }

    std::shared_ptr<AoDriver> m_drv;
    std::vector<int> m_fds;
};

TEST_F(AoDriverTest, AttributeIsReadOnlyAfterItIsSetAndChecked) {
    int fd = Bound(AoChnIndex(1, 0));
    AIO_ATTR_S got{};
    EXPECT_EQ(dev::Ioctl(fd, MK_AO_IOC_GET_PUBATTR, &got), kNotConfig);
    EXPECT_EQ(dev::Ioctl(fd, MK_AO_IOC_ENABLE), kNotConfig);
    EXPECT_EQ(dev::Ioctl(fd, MK_AO_IOC_ENABLE_CHN), kNotConfig);
    const struct {
        AIO_ATTR_S attr;
        MK_S32 ret;
    } cases[] = {
        {Attr(8000, 8192, 2), 0},                                // 16384 bytes: the largest frame
        {Attr(8000, 8193, 2), kIllegal},                         // 16386 bytes
        {Attr(8000, 4097, 2, 0, AUDIO_BIT_WIDTH_32), kIllegal},  // 16388 bytes
        {Attr(8000, 0), kIllegal},
        {Attr(7000), kIllegal},
        {Attr(8000, 80, 2, 2), kIllegal},
        {Attr(8000, 80, 2, 0, 3), kIllegal},
        {Attr(96000, 960, 2, 1), 0},
    };
    for (const auto& c : cases) {
        AIO_ATTR_S a = c.attr;
        EXPECT_EQ(dev::Ioctl(fd, MK_AO_IOC_SET_PUBATTR, &a), c.ret) << a.u32PtNumPerFrm << " " << a.enSampleRate;
    }
    ASSERT_EQ(dev::Ioctl(fd, MK_AO_IOC_GET_PUBATTR, &got), 0);
    EXPECT_EQ(got.enSampleRate, 96000u);
    ASSERT_EQ(dev::Ioctl(fd, MK_AO_IOC_ENABLE), 0);
    AIO_ATTR_S a = Attr();
    EXPECT_EQ(dev::Ioctl(fd, MK_AO_IOC_SET_PUBATTR, &a), kNotPerm);
    EXPECT_TRUE(m_drv->Device(1).enabled);
}

TEST_F(AoDriverTest, RequestsAreCheckedLikeAKernelDriver) {
    int fd = dev::Open("/dev/ao", O_RDWR);
    m_fds.push_back(fd);
    MK_U32 word = 0;
    EXPECT_EQ(dev::Ioctl(fd, MK_AO_IOC_CHN_STATE, &word), -1);  // not bound yet
    EXPECT_EQ(errno, EBADF);
    MK_U32 index = AO_CHN_INDEX_NUM;
    EXPECT_EQ(dev::Ioctl(fd, MK_AO_IOC_BIND, &index), -1);
    EXPECT_EQ(errno, EINVAL);
    index = 59;
    ASSERT_EQ(dev::Ioctl(fd, MK_AO_IOC_BIND, &index), 0);
    EXPECT_EQ(dev::Ioctl(fd, _IOR('X', 0x1B, MK_U64), &word), -1);
    EXPECT_EQ(dev::Ioctl(fd, MK_AO_IOC_CHN_STATE, nullptr), -1);
    EXPECT_EQ(errno, EFAULT);
    EXPECT_EQ(dev::Ioctl(fd, _IO('X', 0x30), nullptr), -1);
    EXPECT_EQ(errno, ENOTTY);
}

TEST_F(AoDriverTest, StateWordIsOneOnlyWhileDeviceAndChannelAreEnabled) {
    int devFd = Bound(0);
    int fd = Bound(5);
    AIO_ATTR_S a = Attr();
    ASSERT_EQ(dev::Ioctl(devFd, MK_AO_IOC_SET_PUBATTR, &a), 0);
    const struct {
        unsigned long devReq, chnReq;
        MK_U32 word;
    } steps[] = {
        {MK_AO_IOC_DISABLE, MK_AO_IOC_DISABLE_CHN, 0}, {MK_AO_IOC_ENABLE, MK_AO_IOC_DISABLE_CHN, 0},
        {MK_AO_IOC_DISABLE, MK_AO_IOC_ENABLE_CHN, 0},  {MK_AO_IOC_ENABLE, MK_AO_IOC_ENABLE_CHN, 1},
    };
    for (const auto& s : steps) {
        ASSERT_EQ(dev::Ioctl(devFd, s.devReq), 0);
        ASSERT_EQ(dev::Ioctl(fd, s.chnReq), 0);
        MK_U32 word = 7;
        ASSERT_EQ(dev::Ioctl(fd, MK_AO_IOC_CHN_STATE, &word), 0);
        EXPECT_EQ(word, s.word);
    }
}

TEST_F(AoDriverTest, QueuePlaysOneFramePerPeriodAndCountsUnderrunsAndRefusals) {
    int fd = Ready(Attr(8000, 80, 3, 1), 2);  // 10 ms periods, 160 bytes a track
    std::vector<uint8_t> all0, all1;
    for (int i = 0; i < 3; ++i) {
        auto a = Bytes(160, static_cast<uint8_t>(i)), b = Bytes(160, static_cast<uint8_t>(100 + i));
        ASSERT_EQ(Send(fd, a, &b, 0), 0);
        all0.insert(all0.end(), a.begin(), a.end());
        all1.insert(all1.end(), b.begin(), b.end());
    }
    auto extra = Bytes(160, 9);
    EXPECT_EQ(Send(fd, extra, &extra, 0), kFull);
    AO_CHN_STATE_S st{};
    ASSERT_EQ(dev::Ioctl(fd, MK_AO_IOC_QUERY_CHN_STAT, &st), 0);
    EXPECT_EQ(st.u32ChnTotalNum, 3u);
    EXPECT_EQ(st.u32ChnFreeNum, 0u);
    EXPECT_EQ(st.u32ChnBusyNum, 3u);
    m_drv->Tick(9999);
    EXPECT_EQ(m_drv->Channel(2).playedFrames, 0u);
    m_drv->Tick(1);
    EXPECT_EQ(m_drv->Channel(2).playedFrames, 1u);
    m_drv->Tick(50000);  // five periods: two frames left, then three underruns
    auto v = m_drv->Channel(2);
    EXPECT_EQ(v.playedFrames, 3u);
    EXPECT_EQ(v.underruns, 3u);
    EXPECT_EQ(v.refusals, 1u);
    EXPECT_EQ(v.played[0], all0);
    EXPECT_EQ(v.played[1], all1);
    // Wrong frames change nothing.
    auto shortFrame = Bytes(158, 1);
    EXPECT_EQ(Send(fd, shortFrame, &shortFrame, 0), kIllegal);
    auto mono = Bytes(160, 1);
    EXPECT_EQ(Send(fd, mono, nullptr, 0), kMismatch);
    EXPECT_EQ(Send(fd, mono, &mono, 0, 0), kMismatch);
    EXPECT_EQ(m_drv->Channel(2).queued, 0u);
}

TEST_F(AoDriverTest, BlockedSenderGetsInOnePeriodAtATime) {
    int fd = Ready(Attr(8000, 160, 2), 1);  // 20 ms periods
    std::atomic<int> accepted{0};
    std::thread sender([&] {
        auto frame = Bytes(320, 3);
        for (int i = 0; i < 6; ++i) {
            if (Send(fd, frame, nullptr, -1) != 0) break;
            ++accepted;
        }
    });
    ASSERT_TRUE(m_drv->WaitForBlockedSends(1, 5000));
    EXPECT_EQ(accepted.load(), 2);
    for (int k = 1; k <= 4; ++k) {
        m_drv->Tick(20000);
        if (k < 4) {
            ASSERT_TRUE(m_drv->WaitForBlockedSends(k + 1, 5000));
            // The sender took exactly the slot each period freed.
            EXPECT_EQ(accepted.load(), 2 + k);
        }
    }
    sender.join();
    EXPECT_EQ(accepted.load(), 6);
}

TEST_F(AoDriverTest, WaitingSendIsWokenByDisableResetAndItsTimeOut) {
    const struct {
        const char* what;
        int action;  // 0 channel disable, 1 device disable, 2 reset
    } cases[] = {{"channel disable", 0}, {"device disable", 1}, {"reset", 2}};
    for (const auto& c : cases) {
        int fd = Ready(Attr(8000, 80, 1), 3);
        auto frame = Bytes(160, 1);
        ASSERT_EQ(Send(fd, frame, nullptr, 0), 0);
        std::atomic<int> ret{1};
        std::thread sender([&] { ret = Send(fd, frame, nullptr, -1); });
        ASSERT_TRUE(m_drv->WaitForBlockedSends(1, 5000)) << c.what;
        if (c.action == 0) dev::Ioctl(fd, MK_AO_IOC_DISABLE_CHN);
        if (c.action == 1) dev::Ioctl(fd, MK_AO_IOC_DISABLE);
        if (c.action == 2) m_drv->Reset();
        sender.join();
        EXPECT_EQ(ret.load(), kNotEnabled) << c.what;
        m_drv->Reset();
    }
    int fd = Ready(Attr(8000, 80, 1), 3);
    auto frame = Bytes(160, 1);
    ASSERT_EQ(Send(fd, frame, nullptr, 0), 0);
    EXPECT_EQ(Send(fd, frame, nullptr, 20), kFull);
    EXPECT_EQ(m_drv->Channel(3).refusals, 1u);
}

TEST_F(AoDriverTest, RecordsAreKeptAsGiven) {
    int fd = Ready(Attr(), 4);
    AUDIO_DUMPFILE_CFG_S dump{};
    dump.bCfg = MK_TRUE;
    std::strcpy(dump.aFilePath, "/tmp/x");
    dump.u32FileSize = 7;
    AUDIO_DUMPFILE_CFG_S got{};
    ASSERT_EQ(dev::Ioctl(fd, MK_AO_IOC_GET_DUMP, &got), 0);
    EXPECT_EQ(got.bCfg, MK_FALSE);
    ASSERT_EQ(dev::Ioctl(fd, MK_AO_IOC_SET_DUMP, &dump), 0);
    ASSERT_EQ(dev::Ioctl(fd, MK_AO_IOC_GET_DUMP, &got), 0);
    EXPECT_EQ(std::memcmp(&got, &dump, sizeof(dump)), 0);
    AO_MUTE_S mute{MK_TRUE, {MK_TRUE, 3, 4}};
    ASSERT_EQ(dev::Ioctl(fd, MK_AO_IOC_SET_MUTE, &mute), 0);
    AO_MUTE_S gotMute{};
    ASSERT_EQ(dev::Ioctl(fd, MK_AO_IOC_GET_MUTE, &gotMute), 0);
    EXPECT_EQ(std::memcmp(&gotMute, &mute, sizeof(mute)), 0);
    MK_U32 dir = 1;
    ASSERT_EQ(dev::Ioctl(fd, MK_AO_IOC_SET_CLKDIR, &dir), 0);
    EXPECT_EQ(m_drv->Device(0).clkDir, 1u);
    AO_RESMP_DBG_S r{MK_TRUE, 80, 8000, 48000};
    ASSERT_EQ(dev::Ioctl(fd, MK_AO_IOC_RESMP_DBG, &r), 0);
    EXPECT_EQ(m_drv->Channel(4).resmp.enOutSampleRate, 48000u);
}

TEST_F(AoDriverTest, RunningClockPlaysOnItsOwn) {
    m_drv->HoldClock(false);
    int fd = Ready(Attr(8000, 8, 2), 6);  // 1 ms periods
    auto frame = Bytes(16, 1);
    for (int i = 0; i < 20; ++i) ASSERT_EQ(Send(fd, frame, nullptr, -1), 0);
    // The last two frames may still be queued; every earlier one was played by the pacer.
    EXPECT_GE(m_drv->Channel(6).playedFrames, 18u);
}

}  // namespace
