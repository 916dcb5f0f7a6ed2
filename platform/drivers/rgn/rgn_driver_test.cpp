#include "platform/drivers/rgn/rgn_driver.h"

#include <fcntl.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/dev/dev.h"
#include "platform/drivers/core/kernel.h"
#include "platform/drivers/core/overlay.h"
#include "platform/drivers/rgn/rgn_composite.h"
#include "platform/host/test_bus.h"
#include "platform/mem/ram.h"
#include "platform/mem/zone.h"

namespace {

namespace dev = varnelle::dev;
namespace drivers = varnelle::drivers;
namespace view = varnelle::drivers::rgn_view;
using varnelle::drivers::PatternFrame;

constexpr MPP_CHN_S kChn{MK_ID_VENC, 0, 3};
constexpr uint16_t kWhite = 0xFFFF;

class RgnDriverTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        varnelle::host::UsePrivateBus("rgn-driver");
        drivers::InstallRgnDriver();
    }
    void SetUp() override {
        drivers::ResetMediaState();
        m_fd = dev::Open("/dev/rgn", O_RDONLY);
        ASSERT_GE(m_fd, 0);
    }
    void TearDown() override { dev::Close(m_fd); }

    int Create(RGN_HANDLE h, uint32_t type, uint32_t w = 4, uint32_t hgt = 4, uint32_t bg = 0) {
        RGN_CREATE_REQ_S req{};
        req.Handle = h;
        req.stAttr.enType = type;
        if (type == OVERLAY_RGN) req.stAttr.unAttr.stOverlay = {MK_PIXEL_FORMAT_RGB_1555, bg, {w, hgt}};
        return dev::Ioctl(m_fd, mk::rgn::kCreate, &req);
    }
    int AttachOverlay(RGN_HANDLE h, MPP_CHN_S chn, int x, int y, uint32_t layer, bool show = true) {
        RGN_ATTACH_REQ_S req{};
        req.Handle = h;
        req.stChn = chn;
        req.stChnAttr.bShow = show;
        req.stChnAttr.enType = OVERLAY_RGN;
        req.stChnAttr.unChnAttr.stOverlayChn = {{x, y}, 0, RGN_ALPHA_MAX, layer};
        return dev::Ioctl(m_fd, mk::rgn::kAttachToChn, &req);
    }
    int AttachCover(RGN_HANDLE h, MPP_CHN_S chn, RECT_S rect, uint32_t rgb, uint32_t layer) {
        RGN_ATTACH_REQ_S req{};
        req.Handle = h;
        req.stChn = chn;
        req.stChnAttr.bShow = 1;
        req.stChnAttr.enType = COVER_RGN;
        req.stChnAttr.unChnAttr.stCoverChn = {AREA_RECT, rect, rgb, layer};
        return dev::Ioctl(m_fd, mk::rgn::kAttachToChn, &req);
    }
    int Load(RGN_HANDLE h, const std::vector<uint16_t>& px, uint32_t w, uint32_t hgt) {
        RGN_BITMAP_REQ_S req{h, {MK_PIXEL_FORMAT_RGB_1555, w, hgt, px.data()}};
        return dev::Ioctl(m_fd, mk::rgn::kSetBitMap, &req);
    }
    int m_fd = -1;
};

// An 8 x 8 picture of luma 100; what regions drew into it, luma only.
std::vector<uint8_t> Draw(MPP_CHN_S chn, int w = 8, int h = 8) {
    std::vector<uint8_t> y(static_cast<size_t>(w) * h, 100), uv(static_cast<size_t>(w) * ((h + 1) / 2), 128);
    drivers::DrawChannelRegions(chn, PatternFrame{y.data(), static_cast<size_t>(w), uv.data(), static_cast<size_t>(w), w, h});
    return y;
}

TEST_F(RgnDriverTest, CoversFirstThenOverlaysByLayerThenHandle) {
    // Three regions over pixel (2, 2): a cover on layer 9, a black overlay on layer 1 (handle 5) and a
    // white one on layer 1 (handle 7). The white one is drawn last; the cover, though on the highest
    // layer, first.
    ASSERT_EQ(Create(1, COVER_RGN), 0);
    ASSERT_EQ(AttachCover(1, kChn, {0, 0, 8, 8}, 0x808080, 9), 0);
    ASSERT_EQ(Create(7, OVERLAY_RGN, 4, 4, kWhite), 0);
    ASSERT_EQ(AttachOverlay(7, kChn, 2, 2, 1), 0);
    ASSERT_EQ(Create(5, OVERLAY_RGN, 4, 4, 0x8000), 0);
    ASSERT_EQ(AttachOverlay(5, kChn, 0, 0, 1), 0);
    std::vector<uint8_t> y = Draw(kChn);
    EXPECT_EQ(y[2 * 8 + 2], 235);
    EXPECT_EQ(y[0], 16) << "the black overlay over the cover";
    EXPECT_NE(y[7 * 8 + 7], 100) << "the cover is drawn";
    EXPECT_NE(y[7 * 8 + 7], 16);
}

TEST_F(RgnDriverTest, OnlyShownRegionsOfThatChannelAreDrawn) {
    ASSERT_EQ(Create(1, OVERLAY_RGN, 2, 2, kWhite), 0);
    ASSERT_EQ(AttachOverlay(1, kChn, 0, 0, 0, false), 0);
    ASSERT_EQ(Create(2, OVERLAY_RGN, 2, 2, kWhite), 0);
    ASSERT_EQ(AttachOverlay(2, MPP_CHN_S{MK_ID_VENC, 0, 4}, 0, 0, 0), 0);
    ASSERT_EQ(AttachOverlay(2, MPP_CHN_S{MK_ID_VIU, 0, 3}, 0, 0, 0), 0);
    EXPECT_EQ(Draw(kChn), std::vector<uint8_t>(64, 100));
    EXPECT_EQ(Draw(MPP_CHN_S{MK_ID_VIU, 0, 3})[0], 235) << "one region on two channels";
    EXPECT_EQ(AttachOverlay(2, MPP_CHN_S{MK_ID_VIU, 0, 3}, 4, 4, 0), MK_ERR_RGN_EXIST);
    RGN_HANDLE two = 2;
    ASSERT_EQ(dev::Ioctl(m_fd, mk::rgn::kDestroy, &two), 0);
    EXPECT_EQ(Draw(MPP_CHN_S{MK_ID_VIU, 0, 3})[0], 100) << "destroy detaches";
}

TEST_F(RgnDriverTest, RequestsAreChecked) {
    EXPECT_EQ(Create(RGN_HANDLE_MAX, OVERLAY_RGN), MK_ERR_RGN_ILLEGAL_PARAM);
    EXPECT_EQ(Create(1, 2), MK_ERR_RGN_ILLEGAL_PARAM) << "neither overlay nor cover";
    EXPECT_EQ(Create(1, OVERLAY_RGN, 0, 4), MK_ERR_RGN_ILLEGAL_PARAM);
    EXPECT_EQ(Create(1, OVERLAY_RGN, RGN_MAX_SIDE + 1, 4), MK_ERR_RGN_ILLEGAL_PARAM);
    ASSERT_EQ(Create(1, OVERLAY_RGN, RGN_MAX_SIDE, 1), 0);
    EXPECT_EQ(Create(1, OVERLAY_RGN), MK_ERR_RGN_EXIST);
    ASSERT_EQ(Create(2, COVER_RGN), 0);
    std::vector<uint16_t> px(4, kWhite);
    EXPECT_EQ(Load(2, px, 2, 2), MK_ERR_RGN_NOT_PERM) << "a cover takes no bitmap";
    EXPECT_EQ(Load(3, px, 2, 2), MK_ERR_RGN_UNEXIST);
    EXPECT_EQ(Load(1, px, 0, 2), MK_ERR_RGN_ILLEGAL_PARAM);
    RGN_BITMAP_REQ_S nullData{1, {MK_PIXEL_FORMAT_RGB_1555, 2, 2, nullptr}};
    EXPECT_EQ(dev::Ioctl(m_fd, mk::rgn::kSetBitMap, &nullData), MK_ERR_RGN_NULL_PTR);
    RGN_BITMAP_REQ_S otherFormat{1, {MK_PIXEL_FORMAT_YUV_SEMIPLANAR_420, 2, 2, px.data()}};
    EXPECT_EQ(dev::Ioctl(m_fd, mk::rgn::kSetBitMap, &otherFormat), MK_ERR_RGN_NOT_SUPPORT);
    EXPECT_EQ(AttachOverlay(1, MPP_CHN_S{MK_ID_BUTT, 0, 0}, 0, 0, 0), MK_ERR_RGN_ILLEGAL_PARAM);
    EXPECT_EQ(AttachCover(1, kChn, {0, 0, 2, 2}, 0, 0), MK_ERR_RGN_ILLEGAL_PARAM) << "type differs";
    RGN_ATTACH_REQ_S opaque{};
    opaque.Handle = 1;
    opaque.stChn = kChn;
    opaque.stChnAttr.enType = OVERLAY_RGN;
    opaque.stChnAttr.unChnAttr.stOverlayChn.u32FgAlpha = RGN_ALPHA_MAX + 1;
    EXPECT_EQ(dev::Ioctl(m_fd, mk::rgn::kAttachToChn, &opaque), MK_ERR_RGN_ILLEGAL_PARAM);
    // A request whose size does not match its record is refused by the kernel's check.
    EXPECT_EQ(dev::Ioctl(m_fd, _IOW('R', 5, MK_U32), &px), -1);
    EXPECT_EQ(errno, ENOTTY);
}

TEST_F(RgnDriverTest, CanvasesComeFromTheZoneAndGoBack) {
    auto& zone = varnelle::mem::ZoneAllocator::Local();
    size_t before = zone.BlockCount();
    ASSERT_EQ(Create(9, OVERLAY_RGN, 30, 10), 0);
    EXPECT_EQ(zone.BlockCount(), before + RGN_CANVAS_NUM);
    auto v = view::Get(9);
    ASSERT_TRUE(v);
    EXPECT_NE(v->canvasPhys[0], v->canvasPhys[1]);
    ASSERT_EQ(Create(10, COVER_RGN), 0);
    EXPECT_EQ(zone.BlockCount(), before + RGN_CANVAS_NUM) << "covers have no canvas";
    drivers::ResetMediaState();
    EXPECT_EQ(zone.BlockCount(), before);
    EXPECT_EQ(view::Count(), 0u);
}

TEST_F(RgnDriverTest, BitmapLoadsNeverTearAPicture) {
    // One thread loads all-white and all-black bitmaps in turn while another draws: every picture is
    // wholly one or the other.
    ASSERT_EQ(Create(1, OVERLAY_RGN, 8, 8), 0);
    ASSERT_EQ(AttachOverlay(1, kChn, 0, 0, 0), 0);
    std::atomic<bool> stop{false};
    std::atomic<int> loads{0};
    std::thread loader([&] {
        std::vector<uint16_t> white(64, kWhite), black(64, 0x8000);
        for (int i = 0; !stop.load(); ++i) {
            ASSERT_EQ(Load(1, i % 2 ? white : black, 8, 8), 0);
            loads.fetch_add(1);
        }
    });
    int torn = 0;
    for (int i = 0; i < 300 || loads.load() < 10; ++i) {
        std::vector<uint8_t> y = Draw(kChn);
        for (uint8_t px : y) torn += px != y[0];
        if (y[0] != 235 && y[0] != 16 && y[0] != 100) ++torn;
    }
    stop = true;
    loader.join();
    EXPECT_EQ(torn, 0);
}

TEST_F(RgnDriverTest, ChangedBitmapIsSeenAtOnceAndConvertedOncePerChange) {
    // One region on two channels, drawn many times between changes: every change shows in the next
    // picture, by a bitmap load or a shown canvas, and the colours are converted once per change.
    const MPP_CHN_S other{MK_ID_VENC, 0, 4};
    ASSERT_EQ(Create(1, OVERLAY_RGN, 8, 8, kWhite), 0);
    ASSERT_EQ(AttachOverlay(1, kChn, 0, 0, 0), 0);
    ASSERT_EQ(AttachOverlay(1, other, 0, 0, 0), 0);
    struct Step {
        const char* how;
        uint16_t pixel;  // opaque: drawn as its colour's luma
    } steps[] = {{"created", kWhite}, {"loaded", 0x8000}, {"canvas", 0xFC00}, {"loaded", kWhite}};
    uint64_t change = 0;
    for (const Step& st : steps) {
        if (st.how == std::string("loaded")) {
            ASSERT_EQ(Load(1, std::vector<uint16_t>(64, st.pixel), 8, 8), 0);
        } else if (st.how == std::string("canvas")) {
            RGN_CANVAS_REQ_S req{};
            req.Handle = 1;
            ASSERT_EQ(dev::Ioctl(m_fd, mk::rgn::kGetCanvas, &req), 0);
            for (uint32_t row = 0; row < 8; ++row) {
                const std::vector<uint16_t> px(8, st.pixel);
                ASSERT_TRUE(varnelle::mem::Ram::Local().Write(req.stCanvas.u32PhyAddr + row * req.stCanvas.u32Stride,
                                                              px.data(), 16));
            }
            ASSERT_EQ(dev::Ioctl(m_fd, mk::rgn::kUpdateCanvas, &req.Handle), 0);
        }
        ++change;
        for (int i = 0; i < 3; ++i) {
            for (MPP_CHN_S chn : {kChn, other}) {
                EXPECT_EQ(Draw(chn), std::vector<uint8_t>(64, drivers::rgn::Argb1555ToYuv(st.pixel).y))
                    << st.how << " " << change;
            }
        }
        EXPECT_EQ(view::Get(1)->conversions, change) << st.how;
    }
}

}  // namespace
