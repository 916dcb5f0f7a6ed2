#include "platform/drivers/vpss/vpss_driver.h"

#include <fcntl.h>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/dev/dev.h"
#include "platform/drivers/core/bind_graph.h"
#include "platform/drivers/core/frame_testing.h"
#include "platform/drivers/core/kernel.h"
#include "platform/drivers/core/vb_pools.h"
#include "platform/drivers/core/video_frames.h"
#include "platform/host/test_bus.h"

namespace {

namespace dev = varnelle::dev;
namespace drivers = varnelle::drivers;
using drivers::BindGraph;
using drivers::FrameRouter;
using drivers::HeldFrame;
using drivers::VbPools;
using drivers::VpssDriver;
using drivers::testing::Eventually;
using drivers::testing::RecordingSink;

constexpr MK_S32 kErrUnexist = static_cast<MK_S32>(0xA0078005);
constexpr MK_S32 kErrNotPerm = static_cast<MK_S32>(0xA0078009);
constexpr MK_S32 kErrEmpty = static_cast<MK_S32>(0xA007800E);
constexpr MK_S32 kErrFull = static_cast<MK_S32>(0xA007800F);
constexpr int kReceiver = 48;  // a module id no driver receives for: the tests' own receiver
constexpr uint32_t kW = 64, kH = 48;

struct Yuv {
    int y, u, v;
};

// A picture of four quadrants, each one flat colour: top left, top right, bottom left, bottom right.
constexpr Yuv kQuad[4] = {{40, 90, 200}, {120, 60, 60}, {200, 170, 110}, {80, 200, 30}};

// The mean colour of a rectangle of a picture, chroma read V first.
Yuv Mean(const HeldFrame& f, int x0, int y0, int w, int h) {
    const uint8_t* y = f.Plane(0);
    const uint8_t* vu = f.Plane(1);
    int64_t sy = 0, su = 0, sv = 0, n = 0, nc = 0;
    for (int r = y0; r < y0 + h; ++r) {
        for (int c = x0; c < x0 + w; ++c) {
            sy += y[r * f.Stride(0) + c];
            ++n;
            if (r % 2 == 0 && c % 2 == 0) {
                sv += vu[(r / 2) * f.Stride(1) + c];
                su += vu[(r / 2) * f.Stride(1) + c + 1];
                ++nc;
            }
        }
    }
    return Yuv{static_cast<int>(sy / n), static_cast<int>(su / nc), static_cast<int>(sv / nc)};
}

void ExpectNear(Yuv got, Yuv want, int tolerance, const std::string& what) {
    EXPECT_NEAR(got.y, want.y, tolerance) << what << " Y";
    EXPECT_NEAR(got.u, want.u, tolerance) << what << " U";
    EXPECT_NEAR(got.v, want.v, tolerance) << what << " V";
}

// A receiver whose channels say the picture size they take (channel 0 none), and that can hold up
// the thread delivering to it until released.
class SizedReceiver : public RecordingSink {
public:
    SizedReceiver() : RecordingSink(kReceiver, 4) {}
    std::optional<SIZE_S> WantedSize(const MPP_CHN_S& dst) override {
        if (dst.s32ChnId == 0) return std::nullopt;
        return SIZE_S{16u * static_cast<MK_U32>(dst.s32ChnId), 12u * static_cast<MK_U32>(dst.s32ChnId)};
    }
    bool OnFrame(const MPP_CHN_S& dst, const MPP_CHN_S& src, const HeldFrame& frame) override {
        std::unique_lock<std::mutex> lock(m_holdMutex);
        ++m_arrived;
        m_holdCv.notify_all();
        m_holdCv.wait(lock, [&] { return !m_hold; });
        lock.unlock();
        return RecordingSink::OnFrame(dst, src, frame);
    }
    void Hold(bool hold) {
        std::lock_guard<std::mutex> lock(m_holdMutex);
        m_hold = hold;
        m_holdCv.notify_all();
    }
    // Waits until `n` pictures have reached OnFrame (held or not).
    bool WaitArrived(int n) {
        std::unique_lock<std::mutex> lock(m_holdMutex);
        return m_holdCv.wait_for(lock, std::chrono::seconds(5), [&] { return m_arrived >= n; });
    }

private:
    std::mutex m_holdMutex;
    std::condition_variable m_holdCv;
    bool m_hold = false;
    int m_arrived = 0;
};

class VpssDriverTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        varnelle::host::UsePrivateBus("vpss-driver");
        drivers::InstallVpssDriver();
    }
    void SetUp() override {
        drivers::ResetMediaState();
        m_pool = VbPools::Instance().CreatePool(drivers::FrameBytes(kW, kH), kBlocks, "");
        ASSERT_GE(m_pool, 0);
    }
    void TearDown() override {
        for (auto& [word, fd] : m_fds) dev::Close(fd);
        drivers::ResetMediaState();
    }

    static constexpr uint32_t kBlocks = 48;

    // A descriptor bound to the group (chn -1) or a group channel.
    int Fd(int grp, int chn = -1) {
        const MK_U32 word = (static_cast<MK_U32>(grp) << 16) | (chn < 0 ? 0xFFu : static_cast<MK_U32>(chn));
        auto it = m_fds.find(word);
        if (it != m_fds.end()) return it->second;
        int fd = dev::Open("/dev/vpss", O_RDONLY);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(dev::Ioctl(fd, mk::vpss::kBind, const_cast<MK_U32*>(&word)), 0);
        m_fds[word] = fd;
        return fd;
    }
    int Grp(int grp, unsigned long request, void* arg = nullptr) { return dev::Ioctl(Fd(grp), request, arg); }
    int Chn(int grp, int chn, unsigned long request, void* arg = nullptr) { return dev::Ioctl(Fd(grp, chn), request, arg); }

    void Start(int grp, uint32_t w = kW, uint32_t h = kH) {
        VPSS_GRP_ATTR_S attr{w, h, MK_PIXEL_FORMAT_YUV_SEMIPLANAR_420, 0, 0, 0, 0, 0, 0};
        ASSERT_EQ(Grp(grp, mk::vpss::kCreateGrp, &attr), 0);
        ASSERT_EQ(Grp(grp, mk::vpss::kStartGrp), 0);
    }
    void Enable(int grp, int chn, MK_U32 depth) {
        ASSERT_EQ(Chn(grp, chn, mk::vpss::kSetDepth, &depth), 0);
        ASSERT_EQ(Chn(grp, chn, mk::vpss::kEnableChn), 0);
    }
    void UserMode(int grp, int chn, MK_U32 w, MK_U32 h, MK_S32 src = -1, MK_S32 dst = -1) {
        VPSS_CHN_MODE_S mode{};
        mode.enChnMode = VPSS_CHN_MODE_USER;
        mode.u32Width = w;
        mode.u32Height = h;
        mode.s32SrcFrameRate = src;
        mode.s32DstFrameRate = dst;
        mode.enPixelFormat = MK_PIXEL_FORMAT_YUV_SEMIPLANAR_420;
        ASSERT_EQ(Chn(grp, chn, mk::vpss::kSetChnMode, &mode), 0);
    }

    // A picture of the four quadrants in a pool block.
    HeldFrame Quadrants(uint32_t w = kW, uint32_t h = kH, uint64_t pts = 0) {
        std::optional<HeldFrame> f = drivers::AllocFrame(drivers::FrameBlocks{m_pool}, w, h, pts, 0);
        EXPECT_TRUE(f);
        uint8_t* y = f->Plane(0);
        uint8_t* vu = f->Plane(1);
        for (uint32_t r = 0; r < h; ++r) {
            for (uint32_t c = 0; c < w; ++c) {
                const Yuv& q = kQuad[(r >= h / 2 ? 2 : 0) + (c >= w / 2 ? 1 : 0)];
                y[r * f->Stride(0) + c] = static_cast<uint8_t>(q.y);
                if (r % 2 == 0 && c % 2 == 0) {
                    vu[(r / 2) * f->Stride(1) + c] = static_cast<uint8_t>(q.v);
                    vu[(r / 2) * f->Stride(1) + c + 1] = static_cast<uint8_t>(q.u);
                }
            }
        }
        return std::move(*f);
    }
    int Send(int grp, const HeldFrame& f, MK_S32 ms = 0) {
        VIDEO_FRAME_REQ_S req{};
        req.stFrame = f.frame();
        req.s32MilliSec = ms;
        return Grp(grp, mk::vpss::kSendFrame, &req);
    }
    // Takes a channel's picture (chn -1: the group's), holding it; the result code.
    int Get(int grp, int chn, VIDEO_FRAME_INFO_S* out, MK_S32 ms = 2000) {
        VIDEO_FRAME_REQ_S req{};
        req.s32MilliSec = ms;
        int ret = chn < 0 ? Grp(grp, mk::vpss::kGetGrpFrame, &req) : Chn(grp, chn, mk::vpss::kGetChnFrame, &req);
        *out = req.stFrame;
        return ret;
    }
    int Release(int grp, int chn, VIDEO_FRAME_INFO_S* f) {
        return chn < 0 ? Grp(grp, mk::vpss::kReleaseGrpFrame, f) : Chn(grp, chn, mk::vpss::kReleaseChnFrame, f);
    }
    static VpssDriver& Driver() { return *dev::Registry::Get<VpssDriver>("/dev/vpss"); }
    uint32_t FreeBlocks() const { return VbPools::Instance().Pool(m_pool)->freeBlocks; }
    bool PoolFull() const {
        return Eventually([&] { return FreeBlocks() == kBlocks; });
    }

    int m_pool = -1;
    std::map<MK_U32, int> m_fds;
};

TEST_F(VpssDriverTest, EachChannelGetsThePictureAtItsOwnSize) {
    // Channel 0 user mode 32 x 24; channel 1 auto, bound to a receiver that takes 16 x 12; channel 2
    // auto and unbound: the group's size; channel 3 user mode at the input's own size.
    SizedReceiver rx;
    Start(1);
    UserMode(1, 0, 32, 24);
    UserMode(1, 3, kW, kH);
    for (int chn = 0; chn < 4; ++chn) Enable(1, chn, chn == 1 ? 0 : 1);
    ASSERT_EQ(BindGraph::Instance().Bind({MK_ID_VPSS, 1, 1}, {kReceiver, 0, 1}), 0);
    const HeldFrame in = Quadrants();
    ASSERT_EQ(Send(1, in), 0);

    const struct {
        int chn;
        uint32_t w, h;
    } want[] = {{0, 32, 24}, {2, kW, kH}, {3, kW, kH}};
    for (const auto& c : want) {
        VIDEO_FRAME_INFO_S out{};
        ASSERT_EQ(Get(1, c.chn, &out), 0) << c.chn;
        EXPECT_EQ(out.u32Width, c.w) << c.chn;
        EXPECT_EQ(out.u32Height, c.h) << c.chn;
        HeldFrame got(out);
        // The quadrants stay where they were, each its colour, whatever the scale (centres of each).
        for (int q = 0; q < 4; ++q) {
            const int qx = (q % 2) * static_cast<int>(c.w) / 2 + static_cast<int>(c.w) / 8;
            const int qy = (q / 2) * static_cast<int>(c.h) / 2 + static_cast<int>(c.h) / 8;
            ExpectNear(Mean(got, qx, qy, static_cast<int>(c.w) / 4, static_cast<int>(c.h) / 4), kQuad[q], 1,
                       "channel " + std::to_string(c.chn) + " quadrant " + std::to_string(q));
        }
        const bool passedOn = c.w == kW;
        EXPECT_EQ(out.u32PhyAddr[0] == in.frame().u32PhyAddr[0], passedOn) << "same block only unscaled: " << c.chn;
        EXPECT_EQ(Release(1, c.chn, &out), 0);
    }
    ASSERT_TRUE(rx.WaitReceived({kReceiver, 0, 1}, 1));
    const VIDEO_FRAME_INFO_S toRx = rx.Log({kReceiver, 0, 1}).at(0);
    EXPECT_EQ(toRx.u32Width, 16u);
    EXPECT_EQ(toRx.u32Height, 12u);
    EXPECT_EQ(Driver().Channel(1, 1).lastSize.u32Width, 16u);
    BindGraph::Instance().Unbind({kReceiver, 0, 1});
}

TEST_F(VpssDriverTest, CropKeepsThePartItNamesClippedAndEvenAligned) {
    struct Case {
        const char* what;
        VPSS_CROP_INFO_S crop;
        RECT_S want;  // the part of the 64 x 48 input the output shows
    } cases[] = {
        {"off", {0, VPSS_CROP_ABS_COOR, {2, 2, 10, 10}}, {0, 0, 64, 48}},
        {"top right quadrant", {1, VPSS_CROP_ABS_COOR, {32, 0, 32, 24}}, {32, 0, 32, 24}},
        {"odd corner rounds down", {1, VPSS_CROP_ABS_COOR, {33, 25, 31, 23}}, {32, 24, 32, 24}},
        {"ratio: the bottom left quarter", {1, VPSS_CROP_RATIO_COOR, {0, 500, 500, 500}}, {0, 24, 32, 24}},
        {"past the edges: clipped", {1, VPSS_CROP_ABS_COOR, {-10, 40, 30, 100}}, {0, 40, 20, 8}},
        {"nothing left: the whole picture", {1, VPSS_CROP_ABS_COOR, {70, 10, 8, 8}}, {0, 0, 64, 48}},
        {"a line is too little", {1, VPSS_CROP_ABS_COOR, {0, 0, 64, 1}}, {0, 0, 64, 48}},
    };
    for (const Case& c : cases) {
        const RECT_S r = drivers::VpssCropRect(c.crop, kW, kH);
        EXPECT_EQ(r.s32X, c.want.s32X) << c.what;
        EXPECT_EQ(r.s32Y, c.want.s32Y) << c.what;
        EXPECT_EQ(r.u32Width, c.want.u32Width) << c.what;
        EXPECT_EQ(r.u32Height, c.want.u32Height) << c.what;
    }

    // Through a group: the top right quadrant, shown at the group's size.
    Start(2);
    Enable(2, 0, 1);
    VPSS_CROP_INFO_S crop{1, VPSS_CROP_ABS_COOR, {32, 0, 32, 24}};
    ASSERT_EQ(Grp(2, mk::vpss::kSetGrpCrop, &crop), 0);
    ASSERT_EQ(Send(2, Quadrants()), 0);
    VIDEO_FRAME_INFO_S out{};
    ASSERT_EQ(Get(2, 0, &out), 0);
    EXPECT_EQ(out.u32Width, 32u) << "auto mode, unbound: the cropped size";
    EXPECT_EQ(out.u32Height, 24u);
    ExpectNear(Mean(HeldFrame(out), 0, 0, 32, 24), kQuad[1], 0, "cropped");
    EXPECT_EQ(Release(2, 0, &out), 0);

    // The sizer sets the group's size, after the crop.
    VPSS_SIZER_INFO_S sizer{1, {16, 8}};
    ASSERT_EQ(Grp(2, mk::vpss::kSetGrpSizer, &sizer), 0);
    ASSERT_EQ(Send(2, Quadrants()), 0);
    ASSERT_EQ(Get(2, 0, &out), 0);
    EXPECT_EQ(out.u32Width, 16u);
    EXPECT_EQ(out.u32Height, 8u);
    ExpectNear(Mean(HeldFrame(out), 0, 0, 16, 8), kQuad[1], 0, "cropped and sized");
    EXPECT_EQ(Release(2, 0, &out), 0);
}

TEST_F(VpssDriverTest, APictureSentByHandMustLieWhollyInRam) {
    constexpr MK_S32 kErrParam = static_cast<MK_S32>(0xA0078003);
    Start(9);
    const HeldFrame good = Quadrants();
    struct Case {
        const char* what;
        void (*change)(VIDEO_FRAME_INFO_S&);
        MK_S32 code;
    } cases[] = {
        {"as made", [](VIDEO_FRAME_INFO_S&) {}, 0},
        {"an odd width whose chroma rows hold the last pair", [](VIDEO_FRAME_INFO_S& f) { f.u32Width = 63; }, 0},
        {"no width", [](VIDEO_FRAME_INFO_S& f) { f.u32Width = 0; }, kErrParam},
        {"wider than 8192", [](VIDEO_FRAME_INFO_S& f) { f.u32Width = 8193; }, kErrParam},
        {"luma rows shorter than the picture", [](VIDEO_FRAME_INFO_S& f) { f.u32Stride[0] = 32; }, kErrParam},
        {"chroma rows short of the last pair", [](VIDEO_FRAME_INFO_S& f) { f.u32Width = 63, f.u32Stride[1] = 63; }, kErrParam},
        {"luma outside RAM", [](VIDEO_FRAME_INFO_S& f) { f.u32PhyAddr[0] = 0x10; }, kErrParam},
        {"chroma running off the end of RAM", [](VIDEO_FRAME_INFO_S& f) { f.u32PhyAddr[1] = 0xBFFFFF00u; }, kErrParam},
    };
    for (const Case& c : cases) {
        VIDEO_FRAME_REQ_S req{};
        req.stFrame = good.frame();
        c.change(req.stFrame);
        EXPECT_EQ(Grp(9, mk::vpss::kSendFrame, &req), c.code) << c.what;
    }
    EXPECT_TRUE(Eventually([&] { return Driver().Group(9).processed == 2; }));
}

TEST_F(VpssDriverTest, TheDepthQueueKeepsTheNewestPicturesForTheUser) {
    Start(3);
    Enable(3, 0, 2);
    for (uint64_t i = 1; i <= 3; ++i) ASSERT_EQ(Send(3, Quadrants(kW, kH, i)), 0);
    ASSERT_TRUE(Eventually([&] { return Driver().Group(3).processed == 3; }));
    EXPECT_EQ(Driver().Channel(3, 0).queued, 2u);
    VIDEO_FRAME_INFO_S a{}, b{}, c{};
    ASSERT_EQ(Get(3, 0, &a, 0), 0);
    ASSERT_EQ(Get(3, 0, &b, 0), 0);
    EXPECT_EQ(Get(3, 0, &c, 0), kErrEmpty);
    EXPECT_EQ(a.u64pts, 2u) << "the oldest went when the queue was full";
    EXPECT_EQ(b.u64pts, 3u);
    EXPECT_EQ(Release(3, 0, &a), 0);
    EXPECT_NE(Release(3, 0, &a), 0) << "not held twice";
    // A smaller depth lets the oldest go at once.
    ASSERT_EQ(Send(3, Quadrants(kW, kH, 4)), 0);
    ASSERT_EQ(Send(3, Quadrants(kW, kH, 5)), 0);
    ASSERT_TRUE(Eventually([&] { return Driver().Group(3).processed == 5; }));
    MK_U32 depth = 1;
    ASSERT_EQ(Chn(3, 0, mk::vpss::kSetDepth, &depth), 0);
    EXPECT_EQ(Driver().Channel(3, 0).queued, 1u);
    // Disabling drops the queue; what the user holds stays until released.
    ASSERT_EQ(Chn(3, 0, mk::vpss::kDisableChn), 0);
    EXPECT_EQ(Driver().Channel(3, 0).queued, 0u);
    EXPECT_EQ(Driver().Channel(3, 0).userHeld, 1u);
    EXPECT_EQ(Release(3, 0, &b), 0);
    ASSERT_EQ(Grp(3, mk::vpss::kDisableBackupFrame), 0);
    EXPECT_TRUE(PoolFull());
}

// A user that never releases holds the depth's pictures at most, so the pools never drain.
TEST_F(VpssDriverTest, AUserHoldsAtMostTheDepthsPicturesOfAChannel) {
    Start(4);
    Enable(4, 0, 2);
    VIDEO_FRAME_INFO_S held[3] = {};
    for (uint64_t i = 1; i <= 3; ++i) {
        ASSERT_EQ(Send(4, Quadrants(kW, kH, i)), 0);
        ASSERT_TRUE(Eventually([&] { return Driver().Group(4).processed == i; }));
        EXPECT_EQ(Get(4, 0, &held[i - 1], 0), i <= 2 ? 0 : kErrEmpty) << "picture " << i;
    }
    EXPECT_EQ(Driver().Channel(4, 0).userHeld, 2u);
    EXPECT_EQ(Driver().Channel(4, 0).queued, 1u) << "the third waits for room";
    EXPECT_EQ(Get(4, 0, &held[2], -1), kErrEmpty) << "refused at once, not after a wait";
    ASSERT_EQ(Release(4, 0, &held[0]), 0);
    ASSERT_EQ(Get(4, 0, &held[2], 0), 0);
    EXPECT_EQ(held[2].u64pts, 3u);
    // A smaller depth counts what is held already.
    MK_U32 depth = 1;
    ASSERT_EQ(Chn(4, 0, mk::vpss::kSetDepth, &depth), 0);
    ASSERT_EQ(Send(4, Quadrants(kW, kH, 4)), 0);
    ASSERT_TRUE(Eventually([&] { return Driver().Group(4).processed == 4; }));
    ASSERT_EQ(Release(4, 0, &held[1]), 0);
    VIDEO_FRAME_INFO_S out{};
    EXPECT_EQ(Get(4, 0, &out, 0), kErrEmpty);
    ASSERT_EQ(Release(4, 0, &held[2]), 0);
    ASSERT_EQ(Get(4, 0, &out, 0), 0);
    EXPECT_EQ(out.u64pts, 4u);
    ASSERT_EQ(Release(4, 0, &out), 0);
    ASSERT_EQ(Grp(4, mk::vpss::kDestroyGrp), 0);
    EXPECT_TRUE(PoolFull());
}

TEST_F(VpssDriverTest, FrameRateControlThinsTheGroupsInputAndAUserChannelsOutput) {
    // 25 pictures; the group keeps 20 of 25 while user frame-rate control is on; channel 0 (user mode,
    // 20 to 10) half of those; channel 1 (auto) all the group keeps; the receiver sees each channel.
    RecordingSink rx(kReceiver, 1);
    Start(4);
    UserMode(4, 0, kW, kH, 20, 10);
    Enable(4, 0, 0);
    Enable(4, 1, 0);
    ASSERT_EQ(BindGraph::Instance().Bind({MK_ID_VPSS, 4, 0}, {kReceiver, 0, 0}), 0);
    ASSERT_EQ(BindGraph::Instance().Bind({MK_ID_VPSS, 4, 1}, {kReceiver, 0, 1}), 0);
    VPSS_FRAME_RATE_S rate{25, 20};
    ASSERT_EQ(Grp(4, mk::vpss::kSetGrpFrameRate, &rate), 0);
    ASSERT_EQ(Grp(4, mk::vpss::kEnableUserFrameRateCtrl), 0);
    const HeldFrame in = Quadrants();
    for (int i = 0; i < 25; ++i) ASSERT_EQ(Send(4, in, -1), 0);
    ASSERT_TRUE(Eventually([&] { return Driver().Group(4).processed == 20; }));
    EXPECT_EQ(Driver().Group(4).thinned, 5u);
    ASSERT_TRUE(rx.WaitReceived({kReceiver, 0, 1}, 20));
    EXPECT_EQ(rx.Received({kReceiver, 0, 0}), 10u);
    EXPECT_EQ(Driver().Channel(4, 0).thinned, 10u);
    // Off, every picture passes the group again.
    ASSERT_EQ(Grp(4, mk::vpss::kDisableUserFrameRateCtrl), 0);
    for (int i = 0; i < 5; ++i) ASSERT_EQ(Send(4, in, -1), 0);
    ASSERT_TRUE(rx.WaitReceived({kReceiver, 0, 1}, 25));
    BindGraph::Instance().Unbind({kReceiver, 0, 0});
    BindGraph::Instance().Unbind({kReceiver, 0, 1});
}

TEST_F(VpssDriverTest, TheBackupFrameShowsAtOnceOnAChannelEnabledLater) {
    Start(5);
    ASSERT_EQ(Send(5, Quadrants(kW, kH, 7)), 0);
    ASSERT_TRUE(Eventually([&] { return Driver().Group(5).processed == 1; }));
    EXPECT_TRUE(Driver().Group(5).backupHeld);
    Enable(5, 2, 1);
    VIDEO_FRAME_INFO_S out{};
    ASSERT_EQ(Get(5, 2, &out), 0) << "the kept picture, with no new input";
    EXPECT_EQ(out.u64pts, 7u);
    EXPECT_EQ(Release(5, 2, &out), 0);
    // A new size shows at once too.
    UserMode(5, 2, 32, 24);
    ASSERT_EQ(Get(5, 2, &out), 0);
    EXPECT_EQ(out.u32Width, 32u);
    EXPECT_EQ(Release(5, 2, &out), 0);
    // The group's own get hands out the kept picture once.
    ASSERT_EQ(Get(5, -1, &out, 0), 0);
    EXPECT_EQ(out.u64pts, 7u);
    EXPECT_EQ(Get(5, -1, &out, 0), kErrEmpty);

    // Without the backup frame the group keeps nothing once processed, and a channel enabled later
    // waits for the next picture.
    Start(6);
    ASSERT_EQ(Grp(6, mk::vpss::kDisableBackupFrame), 0);
    ASSERT_EQ(Send(6, Quadrants()), 0);
    ASSERT_TRUE(Eventually([&] { return Driver().Group(6).processed == 1; }));
    EXPECT_FALSE(Driver().Group(6).backupHeld);
    Enable(6, 0, 1);
    EXPECT_EQ(Get(6, 0, &out, 50), kErrEmpty);
    VIDEO_FRAME_INFO_S grp5{};
    ASSERT_EQ(Get(5, -1, &grp5, 0), kErrEmpty);
    // A group get that waits takes the next picture.
    std::atomic<int> got{-1};
    VIDEO_FRAME_INFO_S waited{};
    std::thread getter([&] { got = Get(6, -1, &waited, 5000); });
    ASSERT_TRUE(Eventually([&] { return Driver().Group(6).getters == 1; }));
    ASSERT_EQ(Send(6, Quadrants(kW, kH, 9)), 0);
    getter.join();
    EXPECT_EQ(got.load(), 0);
    EXPECT_EQ(waited.u64pts, 9u);
    EXPECT_EQ(Release(6, -1, &waited), 0);
    ASSERT_EQ(Get(6, 0, &out, 2000), 0);
    EXPECT_EQ(Release(6, 0, &out), 0);
    ASSERT_EQ(Grp(5, mk::vpss::kDestroyGrp), 0);
    EXPECT_TRUE(PoolFull()) << "group 6 keeps nothing; group 5 is gone";
}

TEST_F(VpssDriverTest, AFullInputQueuePushesOutTheOldestLiveOrMakesTheSenderWait) {
    // The receiver holds up the worker inside its first delivery; the queue is one picture long.
    SizedReceiver rx;
    Start(7);
    Enable(7, 0, 0);
    MK_U32 length = 1;
    ASSERT_EQ(Grp(7, mk::vpss::kSetPicQueueLength, &length), 0);
    ASSERT_EQ(BindGraph::Instance().Bind({MK_ID_VPSS, 7, 0}, {kReceiver, 0, 0}), 0);
    rx.Hold(true);
    ASSERT_EQ(Send(7, Quadrants(kW, kH, 1)), 0);
    ASSERT_TRUE(rx.WaitArrived(1));  // the worker is in the delivery of picture 1
    ASSERT_EQ(Send(7, Quadrants(kW, kH, 2)), 0);
    EXPECT_EQ(Send(7, Quadrants(kW, kH, 3), 0), kErrFull) << "sent by hand: no room, no wait";
    EXPECT_EQ(Send(7, Quadrants(kW, kH, 3), 20), kErrFull) << "no room within the time-out";
    // A live source pushes out the oldest instead.
    ASSERT_EQ(BindGraph::Instance().Bind({MK_ID_VIU, 0, 3}, {MK_ID_VPSS, 7, 0}), 0);
    EXPECT_EQ(FrameRouter::Instance().Publish({MK_ID_VIU, 0, 3}, Quadrants(kW, kH, 4)), 1);
    EXPECT_EQ(Driver().Group(7).dropped, 1u);
    // A sender that waits gets in once the worker moves on.
    std::atomic<int> sent{-1};
    std::thread sender([&] { sent = Send(7, Quadrants(kW, kH, 5), -1); });
    rx.Hold(false);
    sender.join();
    EXPECT_EQ(sent.load(), 0);
    ASSERT_TRUE(rx.WaitReceived({kReceiver, 0, 0}, 3));
    std::vector<MK_U64> pts;
    for (const VIDEO_FRAME_INFO_S& f : rx.Log({kReceiver, 0, 0})) pts.push_back(f.u64pts);
    EXPECT_EQ(pts, (std::vector<MK_U64>{1, 4, 5}));
    BindGraph::Instance().Unbind({MK_ID_VPSS, 7, 0});
    BindGraph::Instance().Unbind({kReceiver, 0, 0});
}

TEST_F(VpssDriverTest, ScaledPicturesTakeTheAttachedPoolOrTheCommonOnes) {
    // A pool reached only by its id: the common pools are the others.
    const int own = VbPools::Instance().CreatePool(drivers::FrameBytes(32, 24), 2, "", false, VbPools::kPrivate);
    ASSERT_GE(own, 0);
    Start(8);
    UserMode(8, 0, 32, 24);
    UserMode(8, 1, 32, 24);
    Enable(8, 0, 1);
    Enable(8, 1, 2);  // holds two pictures at once below
    MK_U32 pool = static_cast<MK_U32>(own);
    ASSERT_EQ(Chn(8, 0, mk::vpss::kAttachVbPool, &pool), 0);
    MK_U32 missing = 200;
    EXPECT_NE(Chn(8, 1, mk::vpss::kAttachVbPool, &missing), 0);
    ASSERT_EQ(Send(8, Quadrants()), 0);
    VIDEO_FRAME_INFO_S a{}, b{};
    ASSERT_EQ(Get(8, 0, &a), 0);
    ASSERT_EQ(Get(8, 1, &b), 0);
    EXPECT_EQ(a.u32PoolId, static_cast<MK_U32>(own));
    EXPECT_EQ(b.u32PoolId, static_cast<MK_U32>(m_pool));
    EXPECT_NE(a.u32PhyAddr[0], b.u32PhyAddr[0]) << "channels of other pools do not share a picture";
    // With the attached pool empty, the channel loses its picture and counts it.
    VIDEO_FRAME_INFO_S c{};
    ASSERT_EQ(Send(8, Quadrants()), 0);
    ASSERT_EQ(Get(8, 1, &c), 0);
    ASSERT_EQ(Send(8, Quadrants()), 0);
    ASSERT_TRUE(Eventually([&] { return Driver().Channel(8, 0).lost == 1; }));
    EXPECT_EQ(Release(8, 0, &a), 0);
    EXPECT_EQ(Release(8, 1, &b), 0);
    EXPECT_EQ(Release(8, 1, &c), 0);
    ASSERT_EQ(Grp(8, mk::vpss::kDestroyGrp), 0);
    EXPECT_TRUE(Eventually([&] { return VbPools::Instance().Pool(own)->freeBlocks == 2; }));
    EXPECT_TRUE(PoolFull());
    VbPools::Instance().DestroyPool(own);
}

TEST_F(VpssDriverTest, StopResetUnbindAndDestroyGiveEveryBlockBack) {
    for (int grp : {10, 11, 12, 13}) {
        Start(grp);
        Enable(grp, 0, 2);
        UserMode(grp, 1, 32, 24);
        Enable(grp, 1, 2);
        ASSERT_EQ(BindGraph::Instance().Bind({MK_ID_VIU, 0, grp}, {MK_ID_VPSS, grp, 0}), 0);
        for (int i = 0; i < 2; ++i) FrameRouter::Instance().Publish({MK_ID_VIU, 0, grp}, Quadrants());
    }
    ASSERT_TRUE(Eventually([&] {
        for (int grp : {10, 11, 12, 13}) {
            if (Driver().Group(grp).processed != 2) return false;
        }
        return true;
    }));
    EXPECT_LT(FreeBlocks(), kBlocks);
    ASSERT_EQ(Grp(10, mk::vpss::kStopGrp), 0);
    ASSERT_EQ(Grp(11, mk::vpss::kResetGrp), 0);
    ASSERT_EQ(BindGraph::Instance().Unbind({MK_ID_VPSS, 12, 0}), 0);  // drops what came from the source
    ASSERT_EQ(Grp(13, mk::vpss::kDestroyGrp), 0);
    for (int grp : {10, 11, 12}) {
        EXPECT_EQ(Driver().Channel(grp, 0).queued, 0u) << grp;
        EXPECT_FALSE(Driver().Group(grp).backupHeld) << grp;
    }
    EXPECT_TRUE(PoolFull());
    // A stopped or missing group takes nothing.
    EXPECT_EQ(FrameRouter::Instance().Publish({MK_ID_VIU, 0, 10}, Quadrants()), 0);
    EXPECT_EQ(FrameRouter::Instance().Publish({MK_ID_VIU, 0, 13}, Quadrants()), 0);
    EXPECT_EQ(Send(10, Quadrants()), kErrNotPerm);
    VIDEO_FRAME_INFO_S out{};
    EXPECT_EQ(Get(13, 0, &out, 0), kErrUnexist);
    EXPECT_TRUE(PoolFull());
    for (int grp : {10, 11, 13}) BindGraph::Instance().Unbind({MK_ID_VPSS, grp, 0});
}

TEST_F(VpssDriverTest, SendersGettersAndAStopRacingLeakNothing) {
    constexpr int kGroups = 4;
    for (int grp = 20; grp < 20 + kGroups; ++grp) {
        Start(grp);
        Enable(grp, 0, 1);
        UserMode(grp, 1, 32, 24);
        Enable(grp, 1, 1);
    }
    // One picture each, sent again and again; the scaled pictures may find no block (lost, counted).
    std::vector<HeldFrame> pictures;
    for (int i = 0; i < kGroups; ++i) pictures.push_back(Quadrants());
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int grp = 20; grp < 20 + kGroups; ++grp) {
        threads.emplace_back([&, grp] {
            while (!stop) Send(grp, pictures[grp - 20], 5);
        });
        threads.emplace_back([&, grp] {
            VIDEO_FRAME_INFO_S out{};
            while (!stop) {
                if (Get(grp, grp % 2, &out, 5) == 0) Release(grp, grp % 2, &out);
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < 50 && !stop; ++i) {
            Grp(20, mk::vpss::kStopGrp);
            Grp(20, mk::vpss::kStartGrp);
            Grp(21, mk::vpss::kResetGrp);
        }
    });
    ASSERT_TRUE(Eventually([&] { return Driver().Group(22).processed >= 20 && Driver().Group(23).processed >= 20; }));
    stop = true;
    for (std::thread& t : threads) t.join();
    for (int grp = 20; grp < 20 + kGroups; ++grp) ASSERT_EQ(Grp(grp, mk::vpss::kDestroyGrp), 0);
    pictures.clear();
    EXPECT_TRUE(PoolFull());
}

}  // namespace
