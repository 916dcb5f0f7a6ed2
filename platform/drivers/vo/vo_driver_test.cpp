// The display driver's screens, driven through its requests on the stopped media clock: what a device
// shows for its timing, colour, layers and channels; the channel operations as the screen shows them;
// bound sources; the screen copies a user holds; and the PNG trace.
#include "platform/drivers/vo/vo_driver.h"

#include <fcntl.h>
#include <png.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/dev/dev.h"
#include "platform/drivers/core/bind_graph.h"
#include "platform/drivers/core/frame_router.h"
#include "platform/drivers/core/frame_testing.h"
#include "platform/drivers/core/kernel.h"
#include "platform/drivers/core/vb_pools.h"
#include "platform/host/test_bus.h"
#include "platform/mem/zone.h"

namespace {

namespace dev = varnelle::dev;
namespace drivers = varnelle::drivers;
using drivers::HeldFrame;
using drivers::VbPools;
using drivers::VoDriver;
using drivers::testing::ManualClock;

// Video-range BT.601 colours: (Y, Cb, Cr) of the standard's primaries and of black and white.
struct Colour {
    uint8_t y, cb, cr;
};
constexpr Colour kBlack{16, 128, 128}, kWhite{235, 128, 128}, kRed{81, 90, 240}, kGreen{145, 54, 34},
    kBlue{41, 240, 110};

constexpr uint64_t kPeriodUs = 16667;  // one screen at the default 60 a second

MK_U32 DevWord(int dev) { return static_cast<MK_U32>(dev) << 16; }
MK_U32 LayerWord(int layer) { return static_cast<MK_U32>(layer) << 8; }
MK_U32 ChnWord(int layer, int chn) { return static_cast<MK_U32>(layer) << 8 | static_cast<MK_U32>(chn); }

class VoDriverTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        varnelle::host::UsePrivateBus("vo-driver");
        drivers::InstallVoDriver();
    }
    void SetUp() override {
        drivers::ResetMediaState();
        m_vo = dev::Registry::Get<VoDriver>("/dev/vo");
        ASSERT_NE(m_vo, nullptr);
        m_pool = VbPools::Instance().CreatePool(drivers::FrameBytes(352, 288), kBlocks, "");
        ASSERT_GE(m_pool, 0);
    }
    void TearDown() override {
        for (auto& [word, fd] : m_fds) dev::Close(fd);
        drivers::ResetMediaState();
        VbPools::Instance().DestroyPool(m_pool);
    }

    int Req(MK_U32 word, unsigned long request, void* arg = nullptr) {
        auto it = m_fds.find(word);
        if (it == m_fds.end()) {
            int fd = dev::Open("/dev/vo", O_RDONLY);
            EXPECT_GE(fd, 0);
            EXPECT_EQ(dev::Ioctl(fd, mk::vo::kBind, &word), 0);
            it = m_fds.emplace(word, fd).first;
        }
        return dev::Ioctl(it->second, request, arg);
    }
    template <typename T>
    int Set(MK_U32 word, unsigned long request, T value) {
        return Req(word, request, &value);
    }

    // Device `dev` at `timing` with background `rgb`, layer `layer` on it showing its image of `image`
    // in the display rectangle `disp`, both enabled.
    void ShowDevice(int dev, int layer, MK_U32 timing = 6, MK_U32 rgb = 0, RECT_S disp = {0, 0, 1920, 1080},
                    SIZE_S image = {1920, 1080}) {
        VO_PUB_ATTR_S pub{};
        pub.u32BgColor = rgb;
        pub.enIntfType = 16;
        pub.enIntfSync = timing;
        ASSERT_EQ(Req(DevWord(dev), mk::vo::kSetPubAttr, &pub), 0);
        if (layer != dev) {
            ASSERT_EQ(Req(DevWord(dev) | LayerWord(layer), mk::vo::kBindVideoLayer), 0);
        }
        VO_VIDEO_LAYER_ATTR_S attr{disp, image, 60, MK_PIXEL_FORMAT_YUV_SEMIPLANAR_420, 0, 0};
        ASSERT_EQ(Req(LayerWord(layer), mk::vo::kSetVideoLayerAttr, &attr), 0);
        ASSERT_EQ(Req(LayerWord(layer), mk::vo::kEnableVideoLayer), 0);
        ASSERT_EQ(Req(DevWord(dev), mk::vo::kEnable), 0);
    }
    void ShowChannel(int layer, int chn, RECT_S rect, MK_U32 priority = 0) {
        VO_CHN_ATTR_S attr{priority, rect, 0};
        ASSERT_EQ(Req(ChnWord(layer, chn), mk::vo::kSetChnAttr, &attr), 0);
        ASSERT_EQ(Req(ChnWord(layer, chn), mk::vo::kEnableChn), 0);
    }

    // A w x h frame of one colour, chroma pairs Cr then Cb.
    HeldFrame Flat(uint32_t w, uint32_t h, Colour c) {
        std::optional<HeldFrame> f = drivers::AllocFrame(drivers::FrameBlocks{m_pool}, w, h, 0, 0);
        EXPECT_TRUE(f.has_value());
        for (uint32_t row = 0; row < h; ++row) std::memset(f->Plane(0) + row * f->Stride(0), c.y, w);
        for (uint32_t row = 0; row < (h + 1) / 2; ++row) {
            uint8_t* uv = f->Plane(1) + row * f->Stride(1);
            for (uint32_t x = 0; x + 1 < w + 1; x += 2) uv[x] = c.cr, uv[x + 1] = c.cb;
        }
        return *f;
    }
    int Send(int layer, int chn, const HeldFrame& f) {
        VIDEO_FRAME_REQ_S req{f.frame(), 0, 0};
        return Req(ChnWord(layer, chn), mk::vo::kSendFrame, &req);
    }

    std::shared_ptr<const drivers::vo::Screen> ScreenOf(int dev) { return m_vo->ScreenOf(dev); }
    // Whether the screen shows `c` at (x, y).
    static ::testing::AssertionResult Shows(const drivers::vo::Screen& s, int x, int y, Colour c) {
        auto [cr, cb] = s.ChromaAt(x, y);
        uint8_t luma = s.LumaAt(x, y);
        if (luma == c.y && cb == c.cb && cr == c.cr) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "at (" << x << ", " << y << "): Y " << int(luma) << " Cb " << int(cb)
                                             << " Cr " << int(cr) << ", wanted " << int(c.y) << " " << int(c.cb)
                                             << " " << int(c.cr);
    }
    uint32_t FreeBlocks() const { return VbPools::Instance().Pool(m_pool)->freeBlocks; }

    static constexpr uint32_t kBlocks = 24;
    std::shared_ptr<VoDriver> m_vo;
    int m_pool = -1;
    std::map<MK_U32, int> m_fds;
};

TEST_F(VoDriverTest, ScreenSizeFollowsTheInterfaceTiming) {
    // The codes the program's resolution command sets, and what it means by them.
    struct {
        MK_U32 code;
        int width, height;
    } cases[] = {{6, 1920, 1080}, {8, 1280, 720},   {16, 800, 600},   {17, 1024, 768},
                 {18, 1280, 1024}, {20, 1440, 900}, {26, 2560, 1440}, {30, 3840, 2160}};
    ManualClock clock;
    for (const auto& k : cases) {
        ShowDevice(0, 0, k.code);
        clock.Settle();
        auto s = ScreenOf(0);
        ASSERT_NE(s, nullptr) << k.code;
        EXPECT_EQ(s->Width(), k.width) << k.code;
        EXPECT_EQ(s->Height(), k.height) << k.code;
        ASSERT_EQ(Req(DevWord(0), mk::vo::kDisable), 0);
        EXPECT_EQ(ScreenOf(0), nullptr);
    }
    // A code of its own takes the active size of the sync information; without one, 1920 x 1080.
    VO_PUB_ATTR_S pub{};
    pub.enIntfSync = 99;
    pub.stSyncInfo.u16Hact = 1000;
    pub.stSyncInfo.u16Vact = 500;
    ASSERT_EQ(Req(DevWord(1), mk::vo::kSetPubAttr, &pub), 0);
    ASSERT_EQ(Req(DevWord(1), mk::vo::kEnable), 0);
    pub.stSyncInfo = {};
    ASSERT_EQ(Req(DevWord(2), mk::vo::kSetPubAttr, &pub), 0);
    ASSERT_EQ(Req(DevWord(2), mk::vo::kEnable), 0);
    clock.Settle();
    EXPECT_EQ(ScreenOf(1)->Width(), 1000);
    EXPECT_EQ(ScreenOf(1)->Height(), 500);
    EXPECT_EQ(ScreenOf(2)->Width(), 1920);
    EXPECT_EQ(ScreenOf(2)->Height(), 1080);
}

TEST_F(VoDriverTest, BackgroundColourFillsTheScreen) {
    struct {
        MK_U32 rgb;
        Colour c;
    } cases[] = {{0x000000, kBlack}, {0xFFFFFF, kWhite}, {0xFF0000, kRed}, {0x00FF00, kGreen}, {0x0000FF, kBlue}};
    ManualClock clock;
    for (const auto& k : cases) {
        ShowDevice(3, 3, 8, k.rgb);
        clock.Settle();
        auto s = ScreenOf(3);
        ASSERT_NE(s, nullptr);
        for (auto [x, y] : {std::pair{0, 0}, {1279, 719}, {640, 361}}) EXPECT_TRUE(Shows(*s, x, y, k.c)) << std::hex << k.rgb;
        ASSERT_EQ(Req(DevWord(3), mk::vo::kDisable), 0);
    }
}

TEST_F(VoDriverTest, ChannelsFillTheirRectanglesExactly) {
    ManualClock clock;
    ShowDevice(0, 0);
    // Two channels side by side with an odd edge between them, and one past the screen's corner.
    ShowChannel(0, 0, {0, 0, 641, 360});
    ShowChannel(0, 1, {641, 0, 639, 360});
    ShowChannel(0, 2, {1800, 1000, 400, 300});
    ASSERT_EQ(Send(0, 0, Flat(352, 288, kRed)), 0);
    ASSERT_EQ(Send(0, 1, Flat(176, 144, kGreen)), 0);
    ASSERT_EQ(Send(0, 2, Flat(64, 64, kBlue)), 0);
    clock.Settle();
    clock.Advance(kPeriodUs);
    auto s = ScreenOf(0);
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(Shows(*s, 0, 0, kRed));
    EXPECT_TRUE(Shows(*s, 638, 359, kRed));
    // Column 640 is the last of the first channel; the second starts on the even column before it so
    // that its chroma pairs line up, and covers it.
    EXPECT_TRUE(Shows(*s, 641, 0, kGreen));
    EXPECT_TRUE(Shows(*s, 1279, 359, kGreen));
    EXPECT_TRUE(Shows(*s, 1280, 0, kBlack));
    EXPECT_TRUE(Shows(*s, 0, 360, kBlack));
    EXPECT_TRUE(Shows(*s, 1800, 1000, kBlue));
    EXPECT_TRUE(Shows(*s, 1919, 1079, kBlue));
    EXPECT_TRUE(Shows(*s, 1798, 1000, kBlack));
}

TEST_F(VoDriverTest, TheLayerMapsItsImageOntoItsDisplayRectangle) {
    ManualClock clock;
    // A D1 image shown in an 800 x 600 window at (100, 50) of the screen.
    ShowDevice(1, 1, 6, 0xFFFFFF, {100, 50, 800, 600}, {704, 576});
    ShowChannel(1, 0, {0, 0, 352, 288});     // the top left quarter of the image
    ShowChannel(1, 1, {352, 288, 704, 576}); // reaches past the image: cut at the window's edge
    ASSERT_EQ(Send(1, 0, Flat(64, 64, kRed)), 0);
    ASSERT_EQ(Send(1, 1, Flat(64, 64, kBlue)), 0);
    clock.Settle();
    clock.Advance(kPeriodUs);
    auto s = ScreenOf(1);
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(Shows(*s, 98, 48, kWhite));
    EXPECT_TRUE(Shows(*s, 100, 50, kRed));
    EXPECT_TRUE(Shows(*s, 499, 349, kRed));
    EXPECT_TRUE(Shows(*s, 500, 350, kBlue));
    EXPECT_TRUE(Shows(*s, 899, 649, kBlue));
    EXPECT_TRUE(Shows(*s, 900, 650, kWhite));
    EXPECT_TRUE(Shows(*s, 902, 500, kWhite));
}

// Attributes come from the master: whatever they say, the screen is composed, a picture that would be
// huge or lies off the screen is left out, and the others are drawn as usual.
TEST_F(VoDriverTest, OutlandishRectanglesAreLeftOutAndNothingElseSuffers) {
    struct {
        const char* what;
        RECT_S disp;
        SIZE_S image;
        RECT_S chn;
        bool drawn;  // whether the top left of the screen shows the channel
    } cases[] = {
        {"far past the screen", {0, 0, 1920, 1080}, {1920, 1080}, {100000, 100000, 64, 64}, false},
        {"far before the screen", {0, 0, 1920, 1080}, {1920, 1080}, {-2000000000, 0, 64, 64}, false},
        {"larger than any screen", {0, 0, 1920, 1080}, {1920, 1080}, {0, 0, 0xFFFFFFFF, 0xFFFFFFFF}, false},
        {"a one-pixel image stretched", {0, 0, 1920, 1080}, {1, 1}, {0, 0, 1, 1}, true},
        {"a one-pixel image, a channel far out", {0, 0, 1920, 1080}, {1, 1}, {2000000000, 0, 1, 1}, false},
        {"a display rectangle of the largest size", {0, 0, 0xFFFFFFFF, 0xFFFFFFFF}, {1920, 1080}, {0, 0, 1920, 1080},
         false},
        {"a display rectangle far before the screen", {-2000000000, -2000000000, 1920, 1080}, {1920, 1080},
         {0, 0, 64, 64}, false},
        {"no image size: the display rectangle's", {0, 0, 1920, 1080}, {0, 0}, {0, 0, 64, 64}, true},
    };
    ManualClock clock;
    ShowDevice(0, 0, 6, 0xFFFFFF);
    ASSERT_EQ(Req(DevWord(0) | LayerWord(1), mk::vo::kBindVideoLayer), 0);
    VO_VIDEO_LAYER_ATTR_S plain{{0, 0, 1920, 1080}, {1920, 1080}, 60, MK_PIXEL_FORMAT_YUV_SEMIPLANAR_420, 0, 0};
    ASSERT_EQ(Req(LayerWord(1), mk::vo::kSetVideoLayerAttr, &plain), 0);
    ASSERT_EQ(Req(LayerWord(1), mk::vo::kEnableVideoLayer), 0);
    ShowChannel(1, 0, {960, 540, 960, 540});
    ASSERT_EQ(Send(1, 0, Flat(64, 64, kBlue)), 0);
    ShowChannel(0, 0, {0, 0, 64, 64});
    ASSERT_EQ(Send(0, 0, Flat(64, 64, kRed)), 0);
    for (const auto& k : cases) {
        VO_VIDEO_LAYER_ATTR_S attr{k.disp, k.image, 60, MK_PIXEL_FORMAT_YUV_SEMIPLANAR_420, 0, 0};
        ASSERT_EQ(Req(LayerWord(0), mk::vo::kSetVideoLayerAttr, &attr), 0) << k.what;
        VO_CHN_ATTR_S chn{0, k.chn, 0};
        ASSERT_EQ(Req(ChnWord(0, 0), mk::vo::kSetChnAttr, &chn), 0) << k.what;
        clock.Advance(kPeriodUs);
        auto s = ScreenOf(0);
        ASSERT_NE(s, nullptr) << k.what;
        EXPECT_TRUE(Shows(*s, 0, 0, k.drawn ? kRed : kWhite)) << k.what;
        EXPECT_TRUE(Shows(*s, 1500, 800, kBlue)) << k.what;
    }
    // A picture whose rows are shorter than its width is not drawn either.
    ASSERT_EQ(Send(1, 0, Flat(64, 64, kGreen)), 0);
    clock.Advance(kPeriodUs);
    EXPECT_TRUE(Shows(*ScreenOf(0), 1500, 800, kGreen));
    const HeldFrame red = Flat(64, 64, kRed);
    VIDEO_FRAME_INFO_S bad = red.frame();
    bad.u32Width = 4096;
    ASSERT_EQ(Send(1, 0, HeldFrame(bad)), 0);
    clock.Advance(kPeriodUs);
    EXPECT_TRUE(Shows(*ScreenOf(0), 1500, 800, kWhite));
    // A timing of its own larger than any screen falls back to the default size.
    VO_PUB_ATTR_S pub{};
    pub.enIntfSync = 99;
    pub.stSyncInfo.u16Hact = 65535;
    pub.stSyncInfo.u16Vact = 65535;
    ASSERT_EQ(Req(DevWord(0), mk::vo::kSetPubAttr, &pub), 0);
    clock.Advance(kPeriodUs);
    EXPECT_EQ(ScreenOf(0)->Width(), 1920);
    EXPECT_EQ(ScreenOf(0)->Height(), 1080);
}

// Layer 8 is on device 0 from the start, above layer 0, without being enabled; it moves only once
// disabled, and then shows on the device it was bound to.
TEST_F(VoDriverTest, LayerEightIsDeviceZerosPictureInPicture) {
    ManualClock clock;
    ShowDevice(0, 0);
    EXPECT_EQ(m_vo->Layer(8).device, 0);
    EXPECT_TRUE(m_vo->Layer(8).enabled);
    ShowChannel(0, 0, {0, 0, 400, 400});
    ShowChannel(8, 3, {200, 200, 400, 400});
    ASSERT_EQ(Send(0, 0, Flat(64, 64, kRed)), 0);
    ASSERT_EQ(Send(8, 3, Flat(64, 64, kBlue)), 0);
    clock.Settle();
    clock.Advance(kPeriodUs);
    auto s = ScreenOf(0);
    EXPECT_TRUE(Shows(*s, 100, 100, kRed));
    EXPECT_TRUE(Shows(*s, 300, 300, kBlue)) << "layer 8 lies over layer 0";
    EXPECT_TRUE(Shows(*s, 700, 700, kBlack));

    EXPECT_NE(Req(DevWord(1) | LayerWord(8), mk::vo::kBindVideoLayer), 0) << "a layer on screen keeps its device";
    ASSERT_EQ(Req(LayerWord(8), mk::vo::kDisableVideoLayer), 0);
    ASSERT_EQ(Req(DevWord(0) | LayerWord(8), mk::vo::kUnBindVideoLayer), 0);
    ASSERT_EQ(Req(DevWord(1) | LayerWord(8), mk::vo::kBindVideoLayer), 0);
    ASSERT_EQ(Req(LayerWord(8), mk::vo::kEnableVideoLayer), 0);
    ShowDevice(1, 1);
    clock.Advance(kPeriodUs);
    EXPECT_TRUE(Shows(*ScreenOf(0), 300, 300, kRed));
    EXPECT_TRUE(Shows(*ScreenOf(1), 300, 300, kBlue));

    // The system's exit puts it back on device 0.
    drivers::ResetMediaState();
    EXPECT_EQ(m_vo->Layer(8).device, 0);
    EXPECT_TRUE(m_vo->Layer(8).enabled);
}

TEST_F(VoDriverTest, PrioritiesDecideWhatIsOnTop) {
    ManualClock clock;
    ShowDevice(0, 0);
    ASSERT_EQ(Req(DevWord(0) | LayerWord(2), mk::vo::kBindVideoLayer), 0);
    VO_VIDEO_LAYER_ATTR_S attr{{0, 0, 1920, 1080}, {1920, 1080}, 60, MK_PIXEL_FORMAT_YUV_SEMIPLANAR_420, 0, 0};
    ASSERT_EQ(Req(LayerWord(2), mk::vo::kSetVideoLayerAttr, &attr), 0);
    ASSERT_EQ(Req(LayerWord(2), mk::vo::kEnableVideoLayer), 0);
    // Channels 0 and 1 of layer 0 overlap; channel 0 has the higher priority. Layer 2 lies over layer 0
    // until layer 0's priority is raised above it.
    ShowChannel(0, 0, {0, 0, 400, 400}, 5);
    ShowChannel(0, 1, {200, 200, 400, 400}, 1);
    ShowChannel(2, 0, {300, 300, 400, 400});
    ASSERT_EQ(Send(0, 0, Flat(64, 64, kRed)), 0);
    ASSERT_EQ(Send(0, 1, Flat(64, 64, kGreen)), 0);
    ASSERT_EQ(Send(2, 0, Flat(64, 64, kBlue)), 0);
    clock.Settle();
    clock.Advance(kPeriodUs);
    auto s = ScreenOf(0);
    EXPECT_TRUE(Shows(*s, 250, 250, kRed));
    EXPECT_TRUE(Shows(*s, 450, 250, kGreen));
    EXPECT_TRUE(Shows(*s, 350, 350, kBlue));
    ASSERT_EQ(Set(LayerWord(0), mk::vo::kSetVideoLayerPriority, MK_U32{7}), 0);
    clock.Advance(kPeriodUs);
    s = ScreenOf(0);
    EXPECT_TRUE(Shows(*s, 350, 350, kRed));
    EXPECT_TRUE(Shows(*s, 450, 450, kGreen));
    EXPECT_TRUE(Shows(*s, 650, 650, kBlue));
}

// The channel operations as the screen shows them: each step does something, then one display period
// passes and the channel's rectangle shows the colour given.
TEST_F(VoDriverTest, ShowHidePauseStepResumeRefreshAsTheScreenShowsThem) {
    ManualClock clock;
    ShowDevice(0, 0, 6, 0x0000FF);  // blue behind the channel
    ShowChannel(0, 4, {0, 0, 960, 540});
    HeldFrame red = Flat(64, 64, kRed), green = Flat(64, 64, kGreen), white = Flat(64, 64, kWhite),
              black = Flat(64, 64, kBlack);
    enum Op { kSend, kHide, kShowOp, kPause, kResume, kStep, kRefresh };
    struct {
        const char* what;
        Op op;
        const HeldFrame* frame;
        Colour shown;
    } steps[] = {
        {"first frame", kSend, &red, kRed},
        {"a newer frame replaces it", kSend, &green, kGreen},
        {"hidden: the background shows", kHide, nullptr, kBlue},
        {"frames go on arriving while hidden", kSend, &white, kBlue},
        {"shown again: the latest frame", kShowOp, nullptr, kWhite},
        {"paused", kPause, nullptr, kWhite},
        {"a frame while paused waits", kSend, &red, kWhite},
        {"a newer one replaces the waiting one", kSend, &black, kWhite},
        {"step shows the waiting frame", kStep, nullptr, kBlack},
        {"still paused", kSend, &green, kBlack},
        {"refresh shows the newest at once", kRefresh, nullptr, kGreen},
        {"step with nothing waiting waits for the next", kStep, nullptr, kGreen},
        {"which then shows", kSend, &red, kRed},
        {"and the one after waits again", kSend, &white, kRed},
        {"resume shows the waiting frame", kResume, nullptr, kWhite},
        {"and goes on", kSend, &green, kGreen},
    };
    for (const auto& st : steps) {
        int ret = 0;
        switch (st.op) {
            case kSend: ret = Send(0, 4, *st.frame); break;
            case kHide: ret = Req(ChnWord(0, 4), mk::vo::kHideChn); break;
            case kShowOp: ret = Req(ChnWord(0, 4), mk::vo::kShowChn); break;
            case kPause: ret = Req(ChnWord(0, 4), mk::vo::kPauseChn); break;
            case kResume: ret = Req(ChnWord(0, 4), mk::vo::kResumeChn); break;
            case kStep: ret = Req(ChnWord(0, 4), mk::vo::kStepChn); break;
            case kRefresh: ret = Req(ChnWord(0, 4), mk::vo::kRefreshChn); break;
        }
        ASSERT_EQ(ret, 0) << st.what;
        clock.Advance(kPeriodUs);
        auto s = ScreenOf(0);
        ASSERT_NE(s, nullptr);
        EXPECT_TRUE(Shows(*s, 480, 270, st.shown)) << st.what;
        EXPECT_TRUE(Shows(*s, 1000, 600, kBlue)) << st.what;
    }
    // Step on a channel that is not paused is refused.
    EXPECT_EQ(Req(ChnWord(0, 4), mk::vo::kStepChn), MK_ERR(MK_ID_VOU, MK_ERR_NOT_PERM));
}

TEST_F(VoDriverTest, RefreshWithNothingNewComposesTheScreenAfresh) {
    ManualClock clock;
    ShowDevice(0, 0);
    ShowChannel(0, 0, {0, 0, 64, 64});
    ASSERT_EQ(Send(0, 0, Flat(64, 64, kRed)), 0);
    clock.Settle();
    clock.Advance(kPeriodUs);
    auto before = ScreenOf(0);
    clock.Advance(kPeriodUs);
    EXPECT_EQ(ScreenOf(0), before);  // nothing changed: the screen stands
    ASSERT_EQ(Req(ChnWord(0, 0), mk::vo::kRefreshChn), 0);
    clock.Advance(kPeriodUs);
    EXPECT_NE(ScreenOf(0), before);
    EXPECT_TRUE(Shows(*ScreenOf(0), 10, 10, kRed));
}

TEST_F(VoDriverTest, ScreensComeAtTheDeviceRate) {
    ManualClock clock;
    ShowDevice(0, 0);
    ASSERT_EQ(Set(DevWord(1), mk::vo::kSetDevFrameRate, MK_U32{25}), 0);
    ShowDevice(1, 1);
    clock.Settle();
    const uint64_t at0 = m_vo->Device(0).screens, at1 = m_vo->Device(1).screens;
    for (int i = 0; i < 100; ++i) clock.AdvanceMs(10);
    EXPECT_EQ(m_vo->Device(0).screens - at0, 60u);
    EXPECT_EQ(m_vo->Device(1).screens - at1, 25u);
}

TEST_F(VoDriverTest, DisabledLayersAndDevicesShowNothing) {
    ManualClock clock;
    ShowDevice(0, 0, 6, 0xFFFFFF);
    ShowChannel(0, 0, {0, 0, 64, 64});
    ASSERT_EQ(Send(0, 0, Flat(64, 64, kRed)), 0);
    clock.Settle();
    clock.Advance(kPeriodUs);
    EXPECT_TRUE(Shows(*ScreenOf(0), 10, 10, kRed));
    ASSERT_EQ(Req(LayerWord(0), mk::vo::kDisableVideoLayer), 0);
    clock.Advance(kPeriodUs);
    EXPECT_TRUE(Shows(*ScreenOf(0), 10, 10, kWhite));
    ASSERT_EQ(Req(LayerWord(0), mk::vo::kEnableVideoLayer), 0);
    ASSERT_EQ(Req(DevWord(0), mk::vo::kDisable), 0);
    clock.Advance(kPeriodUs);
    EXPECT_EQ(ScreenOf(0), nullptr);
    EXPECT_EQ(m_vo->Device(0).screens, 0u);
    // Enabled again, it starts with a screen of its own.
    ASSERT_EQ(Req(DevWord(0), mk::vo::kEnable), 0);
    clock.Settle();
    ASSERT_NE(ScreenOf(0), nullptr);
    EXPECT_TRUE(Shows(*ScreenOf(0), 10, 10, kRed));
}

TEST_F(VoDriverTest, TheDisplayHoldsNoFrameOnceItsChannelsLetGo) {
    ManualClock clock;
    ShowDevice(0, 0);
    for (int chn = 0; chn < 4; ++chn) {
        ShowChannel(0, chn, {chn * 100, 0, 100, 100});
        ASSERT_EQ(Send(0, chn, Flat(64, 64, kGreen)), 0);
    }
    clock.Settle();
    clock.Advance(kPeriodUs);
    EXPECT_EQ(FreeBlocks(), kBlocks - 4);
    // The screen keeps the pictures as it drew them, not their blocks.
    for (int chn = 0; chn < 4; ++chn) ASSERT_EQ(Set(ChnWord(0, chn), mk::vo::kClearChnBuffer, MK_U32{1}), 0);
    EXPECT_EQ(FreeBlocks(), kBlocks);
    clock.Advance(kPeriodUs);
    EXPECT_TRUE(Shows(*ScreenOf(0), 50, 50, kBlack));
    EXPECT_EQ(FreeBlocks(), kBlocks);
}

// A source bound to a display channel, as the capture, processing and decoding drivers publish.
TEST_F(VoDriverTest, BoundSourceShowsUntilUnboundAndAgainWhenRebound) {
    ManualClock clock;
    ShowDevice(0, 0);
    ShowChannel(0, 7, {0, 0, 640, 360});
    const MPP_CHN_S src{MK_ID_VIU, 0, 3}, dst{MK_ID_VOU, 0, 7};
    drivers::FrameRouter& router = drivers::FrameRouter::Instance();
    ASSERT_EQ(drivers::BindGraph::Instance().Bind(src, dst), 0);
    EXPECT_EQ(router.Publish(src, Flat(64, 64, kRed)), 1);
    clock.Settle();
    clock.Advance(kPeriodUs);
    EXPECT_TRUE(Shows(*ScreenOf(0), 100, 100, kRed));
    EXPECT_EQ(m_vo->Channel(0, 7).received, 1u);
    ASSERT_EQ(drivers::BindGraph::Instance().Unbind(dst), 0);
    EXPECT_EQ(router.Publish(src, Flat(64, 64, kGreen)), 0);
    clock.Advance(kPeriodUs);
    EXPECT_TRUE(Shows(*ScreenOf(0), 100, 100, kBlack));
    EXPECT_EQ(FreeBlocks(), kBlocks);
    ASSERT_EQ(drivers::BindGraph::Instance().Bind(src, dst), 0);
    EXPECT_EQ(router.Publish(src, Flat(64, 64, kBlue)), 1);
    clock.Advance(kPeriodUs);
    EXPECT_TRUE(Shows(*ScreenOf(0), 100, 100, kBlue));
    ASSERT_EQ(drivers::BindGraph::Instance().Unbind(dst), 0);
    EXPECT_EQ(FreeBlocks(), kBlocks);
    // A disabled channel takes nothing.
    ASSERT_EQ(Req(ChnWord(0, 7), mk::vo::kDisableChn), 0);
    ASSERT_EQ(drivers::BindGraph::Instance().Bind(src, dst), 0);
    EXPECT_EQ(router.Publish(src, Flat(64, 64, kBlue)), 0);
    ASSERT_EQ(drivers::BindGraph::Instance().Unbind(dst), 0);
}

TEST_F(VoDriverTest, ScreenCopiesAreTheUsersUntilReleasedAndFewAtATime) {
    ManualClock clock;
    const uint64_t zoneBefore = varnelle::mem::ZoneAllocator::Local().UsedBytes();
    VIDEO_FRAME_REQ_S req{};
    req.s32MilliSec = 0;
    EXPECT_EQ(Req(LayerWord(5), mk::vo::kGetScreenFrame, &req), MK_ERR(MK_ID_VOU, MK_ERR_BUF_EMPTY));
    // The channel first, so the device's first screen shows it.
    ShowChannel(5, 0, {0, 0, 1280, 720});
    ASSERT_EQ(Send(5, 0, Flat(64, 64, kGreen)), 0);
    ShowDevice(5, 5, 8);
    clock.Settle();
    std::vector<VIDEO_FRAME_INFO_S> held;
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(Req(LayerWord(5), mk::vo::kGetScreenFrame, &req), 0) << i;
        held.push_back(req.stFrame);
        EXPECT_EQ(req.stFrame.u32Width, 1280u);
        EXPECT_EQ(req.stFrame.u32Height, 720u);
        EXPECT_EQ(req.stFrame.enPixelFormat, MK_PIXEL_FORMAT_YUV_SEMIPLANAR_420);
        EXPECT_EQ(req.stFrame.u32PhyAddr[1], req.stFrame.u32PhyAddr[0] + req.stFrame.u32Stride[0] * 720);
    }
    // A user that never gives back cannot take the whole zone.
    EXPECT_EQ(Req(LayerWord(5), mk::vo::kGetScreenFrame, &req), MK_ERR(MK_ID_VOU, MK_ERR_BUF_FULL));
    EXPECT_EQ(m_vo->Layer(5).userHeld, 4u);
    // The copy is the user's: later screens do not change it.
    ASSERT_EQ(Send(5, 0, Flat(64, 64, kRed)), 0);
    clock.Advance(kPeriodUs);
    uint8_t luma = 0;
    ASSERT_TRUE(varnelle::mem::Ram::Local().Read(held[0].u32PhyAddr[0] + 100 * held[0].u32Stride[0] + 100, &luma, 1));
    EXPECT_EQ(luma, kGreen.y);
    EXPECT_EQ(ScreenOf(5)->LumaAt(100, 100), kRed.y);
    for (VIDEO_FRAME_INFO_S& f : held) EXPECT_EQ(Req(LayerWord(5), mk::vo::kReleaseScreenFrame, &f), 0);
    EXPECT_EQ(Req(LayerWord(5), mk::vo::kReleaseScreenFrame, &held[0]), MK_ERR(MK_ID_VOU, MK_ERR_ILLEGAL_PARAM));
    EXPECT_EQ(varnelle::mem::ZoneAllocator::Local().UsedBytes(), zoneBefore);
    // The system's exit frees what a user still holds.
    ASSERT_EQ(Req(LayerWord(5), mk::vo::kGetScreenFrame, &req), 0);
    EXPECT_TRUE(varnelle::mem::ZoneAllocator::Local().Find(req.stFrame.u32PhyAddr[0]).has_value());
    drivers::ResetMediaState();
    EXPECT_FALSE(varnelle::mem::ZoneAllocator::Local().Find(req.stFrame.u32PhyAddr[0]).has_value());
}

TEST_F(VoDriverTest, AWaitingScreenGetGivesUpAtTheSystemsExit) {
    std::atomic<int> got{1};
    std::thread getter([&] {
        VIDEO_FRAME_REQ_S req{};
        req.s32MilliSec = -1;
        int fd = dev::Open("/dev/vo", O_RDONLY);
        MK_U32 word = LayerWord(6);
        dev::Ioctl(fd, mk::vo::kBind, &word);
        got = dev::Ioctl(fd, mk::vo::kGetScreenFrame, &req);
        dev::Close(fd);
    });
    // The getter waits on a layer whose device never shows; the reset must wake it.
    while (got == 1) {
        drivers::ResetMediaState();
        std::this_thread::yield();
    }
    getter.join();
    EXPECT_EQ(got, MK_ERR(MK_ID_VOU, MK_ERR_UNEXIST));
}

TEST_F(VoDriverTest, FramesArrivingFromManyThreadsWhileTheScreenIsComposed) {
    // Sources publish while the display composes on the real clock and the channels are shown and
    // hidden; every frame is accounted for and no block is left held.
    ShowDevice(0, 0);
    constexpr int kSources = 4;
    for (int chn = 0; chn < kSources; ++chn) {
        ShowChannel(0, chn, {chn * 480, 0, 480, 270});
        ASSERT_EQ(drivers::BindGraph::Instance().Bind({MK_ID_VIU, 0, chn}, {MK_ID_VOU, 0, chn}), 0);
    }
    const Colour colours[kSources] = {kRed, kGreen, kBlue, kWhite};
    constexpr int kFrames = 50;
    std::vector<std::thread> producers;
    std::atomic<int> taken{0};
    for (int chn = 0; chn < kSources; ++chn) {
        producers.emplace_back([&, chn] {
            for (int i = 0; i < kFrames; ++i) {
                HeldFrame f = Flat(64, 64, colours[chn]);
                taken += drivers::FrameRouter::Instance().Publish({MK_ID_VIU, 0, chn}, f);
            }
        });
    }
    for (int i = 0; i < 200; ++i) {
        Req(ChnWord(0, i % kSources), i % 2 ? mk::vo::kHideChn : mk::vo::kShowChn);
    }
    for (std::thread& t : producers) t.join();
    EXPECT_EQ(taken, kSources * kFrames);
    for (int chn = 0; chn < kSources; ++chn) {
        EXPECT_EQ(m_vo->Channel(0, chn).received, static_cast<uint64_t>(kFrames));
        ASSERT_EQ(Req(ChnWord(0, chn), mk::vo::kShowChn), 0);
    }
    const uint64_t seen = m_vo->Device(0).screens;
    ASSERT_TRUE(drivers::testing::Eventually([&] { return m_vo->Device(0).screens >= seen + 2; }));
    for (int chn = 0; chn < kSources; ++chn) EXPECT_TRUE(Shows(*ScreenOf(0), chn * 480 + 100, 100, colours[chn]));
    for (int chn = 0; chn < kSources; ++chn) ASSERT_EQ(drivers::BindGraph::Instance().Unbind({MK_ID_VOU, 0, chn}), 0);
    // A screen being composed holds its pictures until it is up.
    EXPECT_TRUE(drivers::testing::Eventually([&] { return FreeBlocks() == kBlocks; })) << FreeBlocks();
}

TEST_F(VoDriverTest, OnlyChangedPicturesAreScaledAgain) {
    // A 2x2 split: each screen scales the pictures that are new since the last one, or whose rectangle
    // changed; the others are taken as they were scaled.
    ManualClock clock;
    const Colour colours[] = {kRed, kGreen, kBlue, kWhite};
    for (int c = 0; c < 4; ++c) ShowChannel(0, c, {(c % 2) * 960, (c / 2) * 540, 960, 540});
    ShowDevice(0, 0);
    for (int c = 0; c < 4; ++c) ASSERT_EQ(Send(0, c, Flat(64, 64, colours[c])), 0);
    clock.Advance(kPeriodUs);
    struct Step {
        const char* what;
        std::vector<int> send;  // channels sent a new picture
        int move;               // a channel given another rectangle, or -1
        uint64_t scaled;
    } steps[] = {
        {"one new picture", {2}, -1, 1},
        {"nothing new", {}, -1, 0},
        {"one moved", {}, 1, 1},
        {"all new", {0, 1, 2, 3}, -1, 4},
    };
    for (const Step& st : steps) {
        const uint64_t before = m_vo->Device(0).scaled;
        for (int c : st.send) ASSERT_EQ(Send(0, c, Flat(64, 64, colours[(c + 1) % 4])), 0);
        if (st.move >= 0) ShowChannel(0, st.move, {960, 0, 480, 540});
        clock.Advance(kPeriodUs);
        EXPECT_EQ(m_vo->Device(0).scaled - before, st.scaled) << st.what;
    }
    EXPECT_TRUE(Shows(*ScreenOf(0), 100, 100, colours[1]));
    EXPECT_TRUE(Shows(*ScreenOf(0), 1000, 100, colours[2]));
    EXPECT_TRUE(Shows(*ScreenOf(0), 1500, 100, kBlack)) << "where channel 1 was";
}

TEST_F(VoDriverTest, KeptScaledPicturesComposeWhatAFreshCompositorComposes) {
    // A compositor that keeps its channels' scaled pictures and its buffers from screen to screen,
    // against a fresh one for every plan: random pictures (some that cannot be read), places
    // (overlapping, over the edges, odd sizes), clips, orders, backgrounds and readers holding
    // screens, the same bytes every time.
    std::mt19937 rng(5);
    const Colour colours[] = {kRed, kGreen, kBlue, kWhite, kBlack, {120, 60, 200}};
    struct Chn {
        std::optional<HeldFrame> frame;
        uint64_t seq = 0;
        RECT_S rect{}, clip{};
    } chn[4];
    uint64_t seq = 0;
    auto pick = [&](uint32_t n) { return static_cast<MK_S32>(rng() % n); };
    auto clip = [&](Chn& c) { c.clip = pick(3) ? RECT_S{0, 0, 64, 48} : RECT_S{pick(20), pick(16), 40, 30}; };
    auto place = [&](Chn& c) {
        // Corners even, as the display maps them.
        c.rect = RECT_S{(pick(60) - 8) & ~1, (pick(44) - 6) & ~1, 1 + static_cast<MK_U32>(pick(40)),
                        1 + static_cast<MK_U32>(pick(30))};
        clip(c);
    };
    for (Chn& c : chn) place(c);
    std::vector<int> order{0, 1, 2, 3};
    drivers::vo::Yuv background{16, 128, 128};
    drivers::vo::Compositor kept;
    std::deque<std::shared_ptr<const drivers::vo::Screen>> held;
    for (int step = 0; step < 300; ++step) {
        for (Chn& c : chn) {
            if (!c.frame || rng() % 3 == 0) {
                c.frame = Flat(16 + pick(8), 12 + pick(6), colours[pick(std::size(colours))]);
                if (rng() % 15 == 0) {  // rows shorter than the picture: not drawn
                    VIDEO_FRAME_INFO_S bad = c.frame->frame();
                    bad.u32Stride[0] = bad.u32Width - 1;
                    c.frame = HeldFrame(bad);
                }
                c.seq = ++seq;
            }
            if (rng() % 12 == 0) place(c);
            if (rng() % 12 == 0) clip(c);
        }
        if (rng() % 20 == 0) std::shuffle(order.begin(), order.end(), rng);
        if (rng() % 30 == 0) background = drivers::vo::BackgroundYuv(rng() & 0xFFFFFF);
        drivers::vo::ScreenPlan plan{64, 48, background, {}};
        for (int k : order) {
            if (rng() % 25 == 0) continue;  // hidden for a screen
            plan.draws.push_back({0, k, *chn[k].frame, chn[k].seq, chn[k].rect, chn[k].clip});
        }
        std::shared_ptr<const drivers::vo::Screen> got = kept.Compose(plan);
        if (!got) continue;  // the plan of the last screen
        drivers::vo::Compositor fresh;
        std::shared_ptr<const drivers::vo::Screen> want = fresh.Compose(plan);
        ASSERT_EQ(got->Bytes(), want->Bytes()) << "step " << step;
        if (rng() % 2) held.push_back(got);
        if (held.size() > 3 || rng() % 4 == 0) {
            if (!held.empty()) held.pop_front();
        }
    }
}

// Reads a PNG with libpng as 8-bit RGB.
bool ReadPng(const std::string& path, int* w, int* h, std::vector<uint8_t>* rgb) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
    image.format = PNG_FORMAT_RGB;
    rgb->resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, rgb->data(), 0, nullptr)) return false;
    *w = static_cast<int>(image.width);
    *h = static_cast<int>(image.height);
    return true;
}

TEST_F(VoDriverTest, TraceWritesEachScreenAsAPngAboutOnceASecond) {
    const std::string dir = varnelle::host::UsePrivateBus() + "/trace";
    std::filesystem::create_directory(dir);
    setenv("VARNELLE_TRACE", dir.c_str(), 1);
    {
        ManualClock clock;
        ShowChannel(2, 0, {0, 0, 640, 360});
        ASSERT_EQ(Send(2, 0, Flat(64, 64, kRed)), 0);
        ShowDevice(2, 2, 8, 0x00FF00);
        clock.Settle();
        const std::string path = dir + "/screen-2.png";
        int w = 0, h = 0;
        std::vector<uint8_t> rgb;
        ASSERT_TRUE(ReadPng(path, &w, &h, &rgb));
        EXPECT_EQ(w, 1280);
        EXPECT_EQ(h, 720);
        auto pixel = [&](int x, int y) {
            const uint8_t* p = &rgb[(static_cast<size_t>(y) * w + x) * 3];
            return std::vector<int>{p[0], p[1], p[2]};
        };
        auto near = [](std::vector<int> got, std::vector<int> want) {
            for (int i = 0; i < 3; ++i)
                if (std::abs(got[i] - want[i]) > 3) return false;
            return true;
        };
        EXPECT_TRUE(near(pixel(100, 100), {255, 0, 0}));
        EXPECT_TRUE(near(pixel(1000, 600), {0, 255, 0}));
        // A new picture within the second is not written yet; once the second is up it is.
        ASSERT_EQ(Send(2, 0, Flat(64, 64, kBlue)), 0);
        clock.AdvanceMs(500);
        ASSERT_TRUE(ReadPng(path, &w, &h, &rgb));
        EXPECT_TRUE(near(pixel(100, 100), {255, 0, 0}));
        clock.AdvanceMs(520);
        ASSERT_TRUE(ReadPng(path, &w, &h, &rgb));
        EXPECT_TRUE(near(pixel(100, 100), {0, 0, 255}));
        EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
        ASSERT_EQ(Req(DevWord(2), mk::vo::kDisable), 0);
        clock.Settle();
    }
    unsetenv("VARNELLE_TRACE");
    std::filesystem::remove_all(dir);
}

TEST_F(VoDriverTest, TraceRewritesAScreenOnlyWhenItChanged) {
    const std::string dir = varnelle::host::UsePrivateBus() + "/trace-unchanged";
    std::filesystem::create_directory(dir);
    setenv("VARNELLE_TRACE", dir.c_str(), 1);
    {
        ManualClock clock;
        const std::string path = dir + "/screen-2.png";
        auto inode = [&] {
            struct stat st {};
            return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
        };
        const auto before = m_vo->TraceCounts(2);
        ShowChannel(2, 0, {0, 0, 640, 360});
        ASSERT_EQ(Send(2, 0, Flat(64, 64, kRed)), 0);
        ShowDevice(2, 2, 8, 0x00FF00);
        clock.Settle();
        const auto first = inode();
        ASSERT_NE(first, 0u);
        // A refresh composes a new screen of the same pixels: the file stays as it is.
        ASSERT_EQ(Req(ChnWord(2, 0), mk::vo::kRefreshChn), 0);
        clock.AdvanceMs(1100);
        EXPECT_EQ(m_vo->TraceCounts(2).unchanged, before.unchanged + 1);
        EXPECT_EQ(m_vo->TraceCounts(2).written, before.written + 1);
        EXPECT_EQ(inode(), first) << "rewritten";
        // A new picture is written, and so is the same screen again once the file has gone.
        ASSERT_EQ(Send(2, 0, Flat(64, 64, kBlue)), 0);
        clock.AdvanceMs(1100);
        EXPECT_EQ(m_vo->TraceCounts(2).written, before.written + 2);
        int w = 0, h = 0;
        std::vector<uint8_t> rgb;
        ASSERT_TRUE(ReadPng(path, &w, &h, &rgb));
        EXPECT_LT(rgb[(100 * static_cast<size_t>(w) + 100) * 3], 5) << "still red";
        std::filesystem::remove(path);
        ASSERT_EQ(Req(ChnWord(2, 0), mk::vo::kRefreshChn), 0);
        clock.AdvanceMs(1100);
        EXPECT_EQ(m_vo->TraceCounts(2).written, before.written + 3);
        EXPECT_TRUE(std::filesystem::exists(path));
        EXPECT_EQ(m_vo->TraceCounts(2).failed, before.failed);
        ASSERT_EQ(Req(DevWord(2), mk::vo::kDisable), 0);
        clock.Settle();
    }
    unsetenv("VARNELLE_TRACE");
    std::filesystem::remove_all(dir);
}

}  // namespace
