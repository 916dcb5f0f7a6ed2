// Title regions against the region driver's view: where a title lands, which handle it takes, when
// its region is reloaded, recreated or removed, and titles racing a format change.
#include "app/osd/osd_title.h"

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/comm/comm_cfg.h"
#include "app/enc/capture_state.h"
#include "platform/drivers/all/install.h"
#include "platform/drivers/core/kernel.h"
#include "platform/drivers/rgn/rgn_driver.h"
#include "platform/host/test_bus.h"

namespace {

namespace rgn = varnelle::drivers::rgn_view;

TEST(OsdTitlePlaceTest, GridToPicture) {
    struct Case {
        uint32_t vstd, W, H;
        uint16_t x, y, w, h;
        uint32_t wantX, wantY;
    };
    const Case cases[] = {
        {0, 704, 576, 350, 280, 64, 40, 632, 536},  // kept inside the picture, then on the grids of 8 and 2
        {0, 704, 576, 0, 0, 64, 40, 0, 0},
        {0, 704, 576, 11, 3, 16, 16, 16, 6},          // 22 down to 16; 6 is even already
        {1, 704, 480, 176, 120, 32, 32, 352, 240},    // NTSC: 240 lines on the grid
        {1, 352, 240, 0, 1, 16, 16, 0, 0},            // y 1 rounds down to 0
        {0, 352, 288, 10, 10, 400, 300, 0, 0},        // wider and taller than the picture: at 0, not wrapped
        {0, 352, 288, 10, 10, 351, 10, 0, 10},        // 352 - 351 - 2 < 0
        {0, 3840, 2160, 65535, 0, 100, 10, 3736, 0},  // x' kept to 16 bits, then inside the picture
    };
    for (const Case& c : cases) {
        OSD_TITLE_S t{};
        t.u16X = c.x;
        t.u16Y = c.y;
        t.u16Width = c.w;
        t.u16Height = c.h;
        uint32_t x = 99, y = 99;
        OsdTitlePosition(c.vstd, c.W, c.H, &t, &x, &y);
        EXPECT_EQ(x, c.wantX) << c.x << " on " << c.W;
        EXPECT_EQ(y, c.wantY) << c.y << " on " << c.H;
    }
}

TEST(OsdTitlePlaceTest, HandlesNeverMeetCoversOrEachOther) {
    for (uint32_t end : {1u, 8u, 16u, 32u}) {
        std::set<RGN_HANDLE> taken;
        for (uint32_t c = 0; c < end; ++c) {
            for (uint32_t i = 0; i < 4; ++i) {
                // Covers: 4c + 16 x channel end + index.
                ASSERT_TRUE(taken.insert(4 * c + 16 * end + i).second);
                for (uint32_t s : {0u, 1u, 4u}) {
                    RGN_HANDLE h = OsdTitleHandle(end, c, s, i);
                    EXPECT_LT(h, static_cast<RGN_HANDLE>(RGN_HANDLE_MAX));
                    EXPECT_TRUE(taken.insert(h).second)
                        << "end " << end << " c " << c << " s " << s << " i " << i;
                }
            }
        }
    }
    // The first channel's main title 0 is its encoder channel; sub title 2 of channel 3 with 8 channels.
    EXPECT_EQ(OsdTitleHandle(8, 0, 0, 0), 0u);
    EXPECT_EQ(OsdTitleHandle(8, 3, 1, 2), 7u + 2 * 4 * 8);
    EXPECT_EQ(OsdTitleHandle(8, 3, 4, 1), 20u * 8 + 12 + 1);
}

// Two capture channels (main D1, sub CIF, PAL), both ready, the region driver in process.
class OsdTitleTest : public ::testing::Test {
protected:
    static constexpr uint32_t kEnd = 2;

    static void SetUpTestSuite() {
        varnelle::host::UsePrivateBus("osd");
        varnelle::drivers::InstallAll();
    }
    void SetUp() override {
        varnelle::drivers::ResetMediaState();
        SLAVE_SYS_PARAM_S p{};
        p.u32ChnEnd = kEnd;
        p.u32BoardSubType = 47;
        SlaveStoreSysParam(&p);
        ASSERT_EQ(CaptureStateInit(), 0);
        CaptureTitleInit();
        for (uint32_t c = 0; c < kEnd; ++c) {
            CaptureStream(c, 0)->s32SizeCode = 0;  // 704 x 576
            CaptureStream(c, 1)->s32SizeCode = 3;  // 352 x 288
            CaptureTitleSetReady(c, 1);
        }
    }
    void TearDown() override {
        CaptureResetState();
        SlaveResetSysCfg();
        varnelle::drivers::ResetMediaState();
    }
    // A title with pixels that tell their place apart.
    OSD_TITLE_S Title(uint32_t index, uint16_t x, uint16_t y, uint16_t w, uint16_t h, uint32_t show = 1) {
        m_pixels.resize(static_cast<size_t>(w) * h);
        for (size_t i = 0; i < m_pixels.size(); ++i) m_pixels[i] = static_cast<uint16_t>(0x8000 | i);
        OSD_TITLE_S t{};
        t.u32Index = index;
        t.u32Show = show;
        t.u16X = x;
        t.u16Y = y;
        t.u16Width = w;
        t.u16Height = h;
        t.pu8Bitmap = reinterpret_cast<const uint8_t*>(m_pixels.data());
        return t;
    }
    std::vector<uint16_t> m_pixels;
};

TEST_F(OsdTitleTest, AShownTitleIsARegionOnItsEncoderChannelWithItsPixels) {
    OSD_TITLE_S t = Title(1, 350, 280, 64, 40);
    t.u32BgColor = 0x80000000;
    ASSERT_EQ(CaptureSetTitleV2(1, 0, &t), 0);
    const RGN_HANDLE h = OsdTitleHandle(kEnd, 1, 0, 1);
    auto r = rgn::Get(h);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->attr.enType, static_cast<MK_U32>(OVERLAY_RGN));
    EXPECT_EQ(r->attr.unAttr.stOverlay.stSize.u32Width, 64u);
    EXPECT_EQ(r->attr.unAttr.stOverlay.stSize.u32Height, 40u);
    ASSERT_EQ(r->channels.size(), 1u);
    EXPECT_EQ(r->channels[0].first.enModId, MK_ID_VENC);
    EXPECT_EQ(r->channels[0].first.s32ChnId, 2 * 1 + 0);
    const OVERLAY_CHN_ATTR_S& o = r->channels[0].second.unChnAttr.stOverlayChn;
    EXPECT_EQ(o.stPoint.s32X, 632);
    EXPECT_EQ(o.stPoint.s32Y, 536);
    EXPECT_EQ(o.u32BgAlpha, 0x80000000u >> 25);
    EXPECT_EQ(o.u32FgAlpha, 0x80000000u >> 25);
    EXPECT_EQ(r->pixels, m_pixels);
    EXPECT_EQ(OsdTitleGetSlot(1, 0, 1).s32Handle, static_cast<int32_t>(h));

    // A dark background keeps the default alphas.
    OSD_TITLE_S sub = Title(0, 0, 0, 32, 16);
    sub.u32BgColor = 0x3FFFFFFF;
    ASSERT_EQ(CaptureSetTitleV2(0, 1, &sub), 0);
    auto s = rgn::Get(OsdTitleHandle(kEnd, 0, 1, 0));
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ(s->channels[0].first.s32ChnId, 1);
    EXPECT_EQ(s->channels[0].second.unChnAttr.stOverlayChn.u32BgAlpha, 32u);
    EXPECT_EQ(s->channels[0].second.unChnAttr.stOverlayChn.u32FgAlpha, 0u);
}

TEST_F(OsdTitleTest, TheSameTitleReloadsAMovedOneIsMadeAgainShowZeroRemoves) {
    OSD_TITLE_S t = Title(2, 40, 40, 48, 24);
    const RGN_HANDLE h = OsdTitleHandle(kEnd, 0, 0, 2);
    ASSERT_EQ(CaptureSetTitleV2(0, 0, &t), 0);
    ASSERT_EQ(rgn::Get(h)->bitmapLoads, 1u);
    ASSERT_EQ(CaptureSetTitleV2(0, 0, &t), 0);
    EXPECT_EQ(rgn::Get(h)->bitmapLoads, 2u) << "same place, size and show: the region stays";
    t.u16X = 41;  // one grid unit
    ASSERT_EQ(CaptureSetTitleV2(0, 0, &t), 0);
    EXPECT_EQ(rgn::Get(h)->bitmapLoads, 1u) << "moved: destroyed and made again";
    EXPECT_EQ(rgn::Get(h)->channels[0].second.unChnAttr.stOverlayChn.stPoint.s32X, 80);
    // The stream's picture size changes: made again too.
    CaptureStream(0, 0)->s32SizeCode = 3;
    ASSERT_EQ(CaptureSetTitleV2(0, 0, &t), 0);
    EXPECT_EQ(rgn::Get(h)->bitmapLoads, 1u);
    EXPECT_EQ(OsdTitleGetSlot(0, 0, 2).s32SizeCode, 3);
    t.u32Show = 0;
    ASSERT_EQ(CaptureSetTitleV2(0, 0, &t), 0);
    EXPECT_FALSE(rgn::Get(h).has_value());
    EXPECT_EQ(OsdTitleGetSlot(0, 0, 2).s32Handle, -1);
    EXPECT_EQ(CaptureSetTitleV2(0, 0, &t), 0) << "show 0 without a region";
    EXPECT_EQ(rgn::Count(), 0u);
}

TEST_F(OsdTitleTest, RefusedTitlesLeaveNothingBehind) {
    struct Case {
        const char* what;
        uint32_t chn, stream, index;
        uint16_t w, h;
        int want;
    };
    const Case cases[] = {
        {"width 3 rounds to 0", 0, 0, 1, 3, 8, -1},
        {"height 3 rounds to 0", 0, 0, 1, 8, 3, -1},
        {"channel beyond this chip", kEnd, 0, 1, 8, 8, -1},
        {"negative channel", static_cast<uint32_t>(-1), 0, 1, 8, 8, -1},
        {"stream 2", 0, 2, 1, 8, 8, -1},
        {"stream 3", 0, 3, 1, 8, 8, -1},
        {"index 4", 0, 0, 4, 8, 8, -1},
        {"JPEG before its encoder channel", 0, 4, 1, 8, 8, -1},
    };
    for (const Case& c : cases) {
        OSD_TITLE_S t = Title(c.index, 0, 0, c.w, c.h);
        EXPECT_EQ(CaptureSetTitleV2(c.chn, c.stream, &t), c.want) << c.what;
        EXPECT_EQ(rgn::Count(), 0u) << c.what;
    }
    OSD_TITLE_S four = Title(1, 0, 0, 4, 4);
    EXPECT_EQ(CaptureSetTitleV2(0, 0, &four), 0) << "width 4 can be made";
    EXPECT_EQ(rgn::Count(), 1u);
}

TEST_F(OsdTitleTest, ATitleForAChannelThatIsNotReadyIsDropped) {
    CaptureTitleSetReady(1, 0);
    OSD_TITLE_S t = Title(0, 0, 0, 16, 16);
    EXPECT_EQ(CaptureSetTitleV2(1, 0, &t), 0);
    EXPECT_EQ(rgn::Count(), 0u);
}

TEST_F(OsdTitleTest, JpegTitlesGoOnTheJpegChannelThatWasMadePastTheCovers) {
    CaptureChnRec* pChn = CaptureChn(1);
    pChn->s32JpegVencChn = 9;
    pChn->s32JpegSizeCode = 0;
    OSD_TITLE_S t = Title(3, 8, 8, 16, 16);
    ASSERT_EQ(CaptureSetTitleV2(1, 4, &t), 0);
    auto r = rgn::Get(20 * kEnd + 4 * 1 + 3);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->channels[0].first.s32ChnId, 9);
}

TEST_F(OsdTitleTest, NarrowInputsPlaceOnTheirOwnWidthAndARebuildMarkMakesTheRegionAgain) {
    CaptureViInput* in = CaptureGetViInput(0);
    in->u8Input = 0x1A;  // type 10
    in->s32Mode = 3;
    CaptureStream(0, 0)->s32SizeCode = 14;  // 1920 x 1080, 864 wide on such an input
    OSD_TITLE_S t = Title(1, 350, 0, 64, 16);
    ASSERT_EQ(CaptureSetTitleV2(0, 0, &t), 0);
    const RGN_HANDLE h = OsdTitleHandle(kEnd, 0, 0, 1);
    EXPECT_EQ(rgn::Get(h)->channels[0].second.unChnAttr.stOverlayChn.stPoint.s32X,
              792);  // 864 - 64 - 2, by 8
    in->s32TitleRebuild = 1;
    ASSERT_EQ(CaptureSetTitleV2(0, 0, &t), 0);
    EXPECT_EQ(rgn::Get(h)->bitmapLoads, 1u) << "made again for the mark";
    EXPECT_EQ(in->s32TitleRebuild, 0);
    in->u8Input = 10;  // the whole byte 10: 1728
    t.u16X = 351;
    ASSERT_EQ(CaptureSetTitleV2(0, 0, &t), 0);
    EXPECT_EQ(rgn::Get(h)->channels[0].second.unChnAttr.stOverlayChn.stPoint.s32X,
              1656);  // 1728 - 64 - 2, by 8
}

TEST_F(OsdTitleTest, TitlesFromTwoThreadsRaceAFormatChangeSafely) {
    std::atomic<bool> stop{false};
    std::atomic<int> calls{0};
    auto titles = [&](uint32_t chn) {
        std::vector<uint16_t> px(32 * 16, 0x7FFF);
        for (int i = 0; !stop; ++i) {
            OSD_TITLE_S t{};
            t.u32Index = static_cast<uint32_t>(i % 4);
            t.u32Show = i % 3 != 0;
            t.u16X = static_cast<uint16_t>(i % 50);
            t.u16Width = 32;
            t.u16Height = 16;
            t.pu8Bitmap = reinterpret_cast<const uint8_t*>(px.data());
            CaptureSetTitleV2(chn, static_cast<uint32_t>(i % 2), &t);
            calls.fetch_add(1);
        }
    };
    std::thread a(titles, 0), b(titles, 1);
    // A format change: not ready, the stream's size changes under the capture lock, ready again.
    for (int i = 0; i < 200 || calls.load() < 400; ++i) {
        CaptureTitleSetReady(0, 0);
        ASSERT_EQ(CaptureLock(), 0);
        CaptureStream(0, 0)->s32SizeCode = i % 2 ? 3 : 0;
        ASSERT_EQ(CaptureUnlock(), 0);
        CaptureTitleSetReady(0, 1);
    }
    stop = true;
    a.join();
    b.join();
    // Every region is one a slot holds, and every slot's region exists.
    size_t held = 0;
    for (uint32_t c = 0; c < kEnd; ++c)
        for (uint32_t s : {0u, 1u})
            for (uint32_t i = 0; i < 4; ++i) {
                const int32_t h = OsdTitleGetSlot(c, s, i).s32Handle;
                if (h < 0) continue;
                ++held;
                EXPECT_TRUE(rgn::Get(static_cast<RGN_HANDLE>(h)).has_value());
            }
    EXPECT_EQ(rgn::Count(), held);
}

}  // namespace
