// The layout commands against the display, processing and capture drivers and the bind graph:
// which display channels a layout shows and where, what a repeat sends, the single-channel picture,
// the shared-group configuration, layer 8 and the zoom. Rectangles are worked out by hand.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/comm/comm_cfg.h"
#include "app/comm/comm_map.h"
#include "app/comm/comm_setup_hooks.h"
#include "app/comm/comm_vi.h"
#include "app/comm/comm_vpss.h"
#include "app/fb/graphics.h"
#include "app/pci/pciv_cmd.h"
#include "app/pci/pciv_test_master.h"
#include "app/split/split.h"
#include "app/split/split_cmd.h"
#include "app/split/split_test_env.h"
#include "platform/dev/journal.h"
#include "platform/drivers/all/install.h"
#include "platform/drivers/core/bind_graph.h"
#include "platform/drivers/vi/vi_driver.h"
#include "platform/drivers/vo/vo_driver.h"
#include "platform/drivers/vpss/vpss_driver.h"
#include "sdk/vi/mpi_vi.h"
#include "sdk/vo/mpi_vo.h"
#include "sdk/vpss/mpi_vpss.h"

namespace {

namespace drv = varnelle::drivers;
namespace dev = varnelle::dev;

struct Settings {
    uint32_t devType = 656, board = 47, start = 0, end = 16, offset = 0;
    int16_t a1080p = 16, a4m = 0, d1 = 0, cif = 0;
    uint32_t pb = 16;
    uint8_t zoom = 0;
};

// (100, 50, 500, 350) of an 800 x 600 output on its 704 x 576 image: 88, 48, 352 x 288.
const uint16_t kRect[4] = {100, 50, 500, 350};
const RECT_S kScaled = {88, 48, 352, 288};

class SplitCmdTest : public varnelle::testing::SplitDriverTest {
protected:
    void SetUp() override {
        SplitDriverTest::SetUp();
        SplitRegisterModule();
        const uint32_t size[2] = {800, 600};
        GraphicsSetResolution(size);
    }
    static void Apply(const Settings& s) {
        SLAVE_SYS_PARAM_S p;
        std::memset(&p, 0, sizeof(p));
        p.u32SysType = 656;
        p.u32DevType = s.devType;
        p.u32BoardSubType = s.board;
        p.u32ChnStart = s.start;
        p.u32ChnEnd = s.end;
        p.u32SplitOffset = s.offset;
        p.u32DecNum = 4;
        HVR_CAP_S& c = p.stHvrCap;
        c.as16Analog[HVR_CAP_1080P] = s.a1080p;
        c.as16Analog[HVR_CAP_4M] = s.a4m;
        c.as16Analog[HVR_CAP_D1] = s.d1;
        c.as16Analog[HVR_CAP_CIF] = s.cif;
        c.u32MaxPlayBackWay = s.pb;
        p.stSlaveCfg.u8ZoomSplit = s.zoom;
        SlaveStoreSysParam(&p);
        Comm_InitVpssChnMap();
        ASSERT_EQ(HwSplitDevInit(), 0);
        ASSERT_EQ(SplitCreate(), 0);
        // Every group the split can name.
        for (int g = 0; g < Comm_GetVpssChnMap()[VPSS_MAP_SPECIAL3] + 1; ++g) {
            SIZE_S size = {1920, 1080};
            VPSS_GRP_ATTR_S a = CommVpssGrpAttrFor(g, &size);
            MK_MPI_VPSS_CreateGrp(g, &a);
        }
    }
    static SPLIT_LAYOUT_S Layout(int32_t mode, int32_t page, int32_t chns = 32) {
        SPLIT_LAYOUT_S l;
        std::memset(&l, 0, sizeof(l));
        l.s32Mode = mode;
        l.s32Page = page;
        for (int k = 0; k < chns; ++k) std::memcpy(l.au16Rect[k], kRect, sizeof(kRect));
        return l;
    }
    // Runs a command and gives its status (answered commands) or 0.
    static int32_t Cmd(uint32_t code, const void* payload, size_t len, bool answered) {
        PCIV_MSG_S m;
        std::memset(&m, 0, sizeof(m));
        m.stMsgHead.u32MsgType = code;
        m.stMsgHead.u32MsgLen = static_cast<uint32_t>(len);
        if (len > 0) std::memcpy(m.au32Payload, payload, len);
        EXPECT_EQ(PCIV_RunCmd(&m), answered) << "command " << code;
        return m.stMsgHead.s32Result;
    }
    static int32_t Cmd27(const SPLIT_LAYOUT_S& l) { return Cmd(27, &l, sizeof(l), true); }
    // A capture channel as command 93 leaves a CIF input: CIF minor picture at one field.
    static void ConfigureCifInput(int vi) {
        VI_CHN_ATTR_S a = {};
        a.stCapRect = {0, 0, 704, 576};
        a.u32DestWidth = 704;
        a.u32DestHeight = 576;
        a.s32SrcFrameRate = 25;
        a.s32DstFrameRate = 25;
        ASSERT_EQ(MK_MPI_VI_SetChnAttr(vi, &a), 0);
        a.u32DestWidth = 352;
        a.u32DestHeight = 288;
        a.enCapSel = 1;
        ASSERT_EQ(MK_MPI_VI_SetChnMinorAttr(vi, &a), 0);
    }
    static std::vector<int> Enabled(int layer) {
        std::vector<int> v;
        for (int c = 0; c < 32; ++c) {
            if (Vo()->Channel(layer, c).enabled) v.push_back(c);
        }
        return v;
    }
    static std::vector<int> ShownRecords() {
        std::vector<int> v;
        for (int c = 0; c < 32; ++c) {
            if (SplitGetState()->astChn[c].bShown) v.push_back(c);
        }
        return v;
    }
    static void ExpectSource(int mod, int devId, int chn, MPP_CHN_S want) {
        auto s = Source(mod, devId, chn);
        ASSERT_TRUE(s.has_value()) << mod << "/" << devId << "/" << chn << " is not bound";
        EXPECT_EQ(s->enModId, want.enModId);
        EXPECT_EQ(s->s32DevId, want.s32DevId);
        EXPECT_EQ(s->s32ChnId, want.s32ChnId);
    }
};

using varnelle::testing::ExpectRect;

TEST(SplitScale, ExamplesWorkedByHand) {
    const uint16_t r[4] = {961, 541, 1921, 1081};
    ExpectRect(SplitScaleRect(r, 1920, 1080, 1280, 720), {640, 360, 640, 360});
    // Right before left and bottom before top: empty, not a wrapped size.
    const uint16_t back[4] = {500, 400, 100, 50};
    ExpectRect(SplitScaleRect(back, 1920, 1080, 1280, 720), {332, 266, 0, 0});
    const uint16_t thin[4] = {0, 0, 0, 5};
    ExpectRect(SplitScaleRect(thin, 800, 600, 704, 576), {0, 0, 0, 2});
    // No reference size: the rectangle as given, made even.
    const uint16_t odd[4] = {11, 13, 111, 213};
    ExpectRect(SplitScaleRect(odd, 0, 0, 704, 576), {10, 12, 100, 200});
    // The largest values do not overflow.
    const uint16_t big[4] = {0, 0, 65535, 65535};
    ExpectRect(SplitScaleRect(big, 1, 1, 3840, 2160), {0, 0, 3840u * 65534u & ~1u, 2160u * 65534u & ~1u});
}

// Every mode and page with 16 channels: exactly the channels of the walk are enabled on layer 0, at
// the scaled window, each fed by its preview group's channel 2.
TEST_F(SplitCmdTest, EveryModeAndPageShowsTheWalkedChannels) {
    Apply({});
    for (int mode = 0; mode < 16; ++mode) {
        for (int page = 0; page < 18; ++page) {
            SCOPED_TRACE("mode " + std::to_string(mode) + " page " + std::to_string(page));
            int32_t walk[SPLIT_MAX_WINDOWS];
            const int32_t n = SplitWalkWindows(mode, page, 16, walk);
            ASSERT_GE(n, 0);
            const std::vector<int> want(walk, walk + n);
            EXPECT_EQ(Cmd27(Layout(mode, page)), 0);
            EXPECT_EQ(Enabled(0), want);
            EXPECT_EQ(ShownRecords(), want);
            for (int k : want) {
                ExpectRect(ChnRect(0, k), kScaled);
                ExpectSource(MK_ID_VOU, 0, k, {MK_ID_VPSS, k, 2});
            }
            for (int k = 0; k < 32; ++k) {
                if (std::find(want.begin(), want.end(), k) == want.end()) {
                    EXPECT_FALSE(Source(MK_ID_VOU, 0, k).has_value()) << k;
                }
            }
            EXPECT_EQ(SplitGetState()->s32Mode, mode);
            EXPECT_EQ(SplitGetState()->s32Page, page);
            EXPECT_EQ(SplitGetState()->s32SinglePreview, -1) << "no CIF channel, no shared group";
        }
    }
}

TEST_F(SplitCmdTest, RepeatSendsNothingAndOneChangedWindowRebuilds) {
    Apply({});
    SPLIT_LAYOUT_S l = Layout(2, 1);
    ASSERT_EQ(Cmd27(l), 0);
    dev::JournalStart();
    EXPECT_EQ(Cmd27(l), 0);
    EXPECT_TRUE(dev::JournalTake().empty()) << "a repeated layout calls nothing";
    // A window of a channel the layout does not show changes nothing either.
    l.au16Rect[0][0] = 2;
    EXPECT_EQ(Cmd27(l), 0);
    EXPECT_TRUE(dev::JournalTake().empty());
    // One changed window of a shown channel rebuilds the whole layout.
    const uint16_t moved[4] = {0, 0, 400, 300};
    std::memcpy(l.au16Rect[5], moved, sizeof(moved));
    EXPECT_EQ(Cmd27(l), 0);
    EXPECT_FALSE(dev::JournalTake().empty());
    ExpectRect(ChnRect(0, 5), {0, 0, 352, 288});
    ExpectRect(ChnRect(0, 4), kScaled);
    EXPECT_EQ(Enabled(0), (std::vector<int>{4, 5, 6, 7}));
    // Another layout and back: the second time the same layout is again a no-op.
    ASSERT_EQ(Cmd27(Layout(1, 0)), 0);
    ASSERT_EQ(Cmd27(l), 0);
    dev::JournalTake();
    EXPECT_EQ(Cmd27(l), 0);
    EXPECT_TRUE(dev::JournalStop().empty());
}

TEST_F(SplitCmdTest, BadModeOrPageIsRefusedAndChangesNothing) {
    Apply({});
    ASSERT_EQ(Cmd27(Layout(5, 0)), 0);
    for (auto [mode, page] : std::vector<std::pair<int, int>>{{16, 0}, {-1, 0}, {0x7FFFFFFF, 0}, {0, -1}, {3, -8}}) {
        dev::JournalStart();
        EXPECT_EQ(Cmd27(Layout(mode, page)), -1) << mode << "/" << page;
        const SPLIT_LAYOUT_S bad = Layout(mode, page);
        EXPECT_EQ(Cmd(51, &bad, sizeof(bad), false), 0);
        EXPECT_TRUE(dev::JournalStop().empty());
        EXPECT_EQ(SplitGetState()->s32Mode, 5);
        EXPECT_EQ(SplitGetState()->s32Page, 0);
        EXPECT_EQ(Enabled(0).size(), 16u);
    }
}

TEST_F(SplitCmdTest, EmptyAndZeroWidthWindows) {
    Apply({});
    SPLIT_LAYOUT_S l = Layout(2, 0);
    std::memset(l.au16Rect[1], 0, sizeof(l.au16Rect[1]));
    const uint16_t thin[4] = {0, 0, 0, 5};
    std::memcpy(l.au16Rect[2], thin, sizeof(thin));
    ASSERT_EQ(Cmd27(l), 0);
    EXPECT_EQ(ShownRecords(), (std::vector<int>{0, 2, 3})) << "(0,0,0,0) stays hidden, (0,0,0,5) is shown";
    EXPECT_EQ(SplitGetState()->astChn[2].bShown, 1u);
    EXPECT_FALSE(Source(MK_ID_VOU, 0, 1).has_value());
    ExpectSource(MK_ID_VOU, 0, 2, {MK_ID_VPSS, 2, 2});
}

TEST_F(SplitCmdTest, FailingShowStopsTheWalkWithStatusZero) {
    Apply({});
    dev::Registry::Find("/dev/vo")->FailRequest(mk::vo::kShowChn, static_cast<int>(0xA00F8003u), 1, EIO, 2);
    EXPECT_EQ(Cmd27(Layout(2, 0)), 0);
    EXPECT_EQ(ShownRecords(), (std::vector<int>{0, 1}));
}

// A channel of the CIF class shown alone gets a full D1 minor picture at both fields; the next layout
// lowers it back to CIF at one field.
TEST_F(SplitCmdTest, LoneCifChannelRaisesItsMinorPicture) {
    Apply({.a1080p = 0, .d1 = 4, .cif = 8});
    // Channel 5 is CIF-class (4 <= 5 < 12); 656 wires it to VI channel 9.
    ConfigureCifInput(9);
    ASSERT_EQ(Cmd27(Layout(0, 5)), 0);
    drv::ViChnView v = drv::ViDriver::Get()->Channel(9);
    EXPECT_TRUE(v.minorSet);
    EXPECT_EQ(v.minorAttr.u32DestWidth, 704u);
    EXPECT_EQ(v.minorAttr.u32DestHeight, 576u);
    EXPECT_EQ(v.minorAttr.enCapSel, 2u);
    EXPECT_EQ(v.minorAttr.s32SrcFrameRate, 25);
    EXPECT_EQ(SplitGetSinglePreview(), 9);
    ASSERT_EQ(Cmd27(Layout(2, 0)), 0);
    v = drv::ViDriver::Get()->Channel(9);
    EXPECT_EQ(v.minorAttr.u32DestWidth, 352u);
    EXPECT_EQ(v.minorAttr.u32DestHeight, 288u);
    EXPECT_EQ(v.minorAttr.enCapSel, 1u);
    EXPECT_EQ(SplitGetSinglePreview(), -1);
    // A D1 channel alone touches no minor picture.
    drv::ViDriver::Get()->Reset();
    ASSERT_EQ(Cmd27(Layout(0, 1)), 0);
    EXPECT_FALSE(drv::ViDriver::Get()->Channel(13).minorSet);
}

TEST_F(SplitCmdTest, NtscLoneCifChannel) {
    Apply({.a1080p = 0, .d1 = 0, .cif = 8});
    ConfigureCifInput(12);
    ASSERT_EQ(Cmd(26, std::vector<uint32_t>{0, 1}.data(), 8, true), 0);
    ASSERT_EQ(Cmd27(Layout(0, 0)), 0);
    drv::ViChnView v = drv::ViDriver::Get()->Channel(12);
    EXPECT_EQ(v.minorAttr.u32DestHeight, 480u);
    EXPECT_EQ(v.minorAttr.s32SrcFrameRate, 30);
}

// Shared groups (4M x 32): the split binds the input to the preview group itself and sets the group's
// pre-scale: the input's own size alone, a quarter of it (board 47 halves both sides) in a grid.
TEST_F(SplitCmdTest, SharedGroupBindsTheInputAndSetsThePreScale) {
    Apply({.end = 16, .a1080p = 0, .a4m = 32, .pb = 32});
    ASSERT_TRUE(SplitSharedGrp());
    // Channel 3 is VI channel 15.
    VI_CHN_ATTR_S a = {};
    a.stCapRect = {0, 0, 2560, 1440};
    a.u32DestWidth = 2560;
    a.u32DestHeight = 1440;
    a.s32SrcFrameRate = 30;
    a.s32DstFrameRate = 30;
    ASSERT_EQ(MK_MPI_VI_SetChnAttr(15, &a), 0);
    ASSERT_EQ(Cmd27(Layout(0, 3)), 0);
    ExpectSource(MK_ID_VPSS, 3, 0, {MK_ID_VIU, 0, 15});
    ExpectSource(MK_ID_VOU, 0, 3, {MK_ID_VPSS, 3, 2});
    VPSS_PRESCALE_INFO_S pre = {};
    ASSERT_EQ(MK_MPI_VPSS_GetPreScale(3, &pre), 0);
    EXPECT_EQ(pre.bPreScale, 1u);
    EXPECT_EQ(pre.stDestSize.u32Width, 2560u);
    EXPECT_EQ(pre.stDestSize.u32Height, 1440u);
    EXPECT_EQ(SplitGetSinglePreview(), 3);
    VI_CHN_ATTR_S got = {};
    ASSERT_EQ(MK_MPI_VI_GetChnAttr(15, &got), 0);
    EXPECT_EQ(got.s32SrcFrameRate, 25) << "the source rate is held to 25";
    EXPECT_EQ(got.s32DstFrameRate, 25);
    // A grid: the input is unbound from the group when the single view goes, pre-scale halves it.
    ASSERT_EQ(Cmd27(Layout(2, 1)), 0);
    EXPECT_FALSE(Source(MK_ID_VPSS, 3, 0).has_value());
    ASSERT_EQ(MK_MPI_VPSS_GetPreScale(3, &pre), 0);
    EXPECT_EQ(pre.stDestSize.u32Width, 1280u);
    EXPECT_EQ(pre.stDestSize.u32Height, 720u);
    // Channels 4-7 (VI 8-11) are now bound to their groups.
    for (int k = 4; k < 8; ++k) ExpectSource(MK_ID_VPSS, k, 0, {MK_ID_VIU, 0, 8 + k - 4});
    // The main capture takes all 25 frames: no minor picture.
    EXPECT_FALSE(drv::ViDriver::Get()->Channel(15).minorSet);
}

// Layer 8 shows channel index k >= X from the preview group of k - X; 52 takes them all down.
TEST_F(SplitCmdTest, LayerEightWithOffset) {
    Apply({.end = 12, .offset = 4});
    SPLIT_LAYOUT_S l = Layout(5, 0);
    EXPECT_EQ(Cmd(51, &l, sizeof(l), false), 0);
    std::vector<int> want;
    for (int k = 4; k < 12; ++k) want.push_back(k);
    EXPECT_EQ(Enabled(8), want);
    EXPECT_TRUE(Enabled(0).empty());
    for (int k = 4; k < 12; ++k) {
        ExpectRect(ChnRect(8, k), kScaled);
        ExpectSource(MK_ID_VOU, 8, k, {MK_ID_VPSS, k - 4, 2});
    }
    EXPECT_EQ(ShownRecords(), want);
    EXPECT_EQ(Cmd(52, nullptr, 0, false), 0);
    EXPECT_TRUE(Enabled(8).empty());
    EXPECT_TRUE(ShownRecords().empty());
    for (int k = 4; k < 12; ++k) EXPECT_FALSE(Source(MK_ID_VOU, 8, k).has_value()) << k;
}

TEST_F(SplitCmdTest, LayerEightFailingShowReturnsMinusOne) {
    Apply({.end = 8});
    dev::Registry::Find("/dev/vo")->FailRequest(mk::vo::kShowChn, static_cast<int>(0xA00F8003u), 1, EIO, 1);
    SPLIT_LAYOUT_S l = Layout(2, 0);
    EXPECT_EQ(SlaverHwSplitChnSet(&l), -1);
    EXPECT_EQ(ShownRecords(), (std::vector<int>{0}));
}

// Zoom of channel 2: the crop on its second-set group, which takes the input and feeds display
// channel 2 of layer 8; the reset restores the full picture and the preview binding.
TEST_F(SplitCmdTest, ZoomAndReset) {
    Apply({});
    const int32_t zoomGrp = 16 + 2;  // second set starts at N = 16
    uint32_t zoom[5] = {2, 10, 20, 300, 200};
    EXPECT_EQ(Cmd(49, zoom, sizeof(zoom), false), 0);
    VPSS_CROP_INFO_S crop = {};
    ASSERT_EQ(MK_MPI_VPSS_GetGrpCrop(zoomGrp, &crop), 0);
    EXPECT_EQ(crop.bEnable, 1u);
    EXPECT_EQ(crop.enCropCoordinate, static_cast<MK_U32>(VPSS_CROP_ABS_COOR));
    ExpectRect(crop.stCropRect, {10, 20, 300, 200});
    // 656 channel 2 is VI channel 14.
    ExpectSource(MK_ID_VPSS, zoomGrp, 0, {MK_ID_VIU, 0, 14});
    ExpectSource(MK_ID_VOU, 8, 2, {MK_ID_VPSS, zoomGrp, 2});
    EXPECT_EQ(SplitGetState()->astChn[2].bZoomed, 1u);
    // Zoomed again: a new crop without a failure, the window stays on the zoom group.
    const RECT_S again = {40, 60, 320, 240};
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(HwSplitSetZoom(2, &again), 0);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("failed"), std::string::npos) << out;
    ASSERT_EQ(MK_MPI_VPSS_GetGrpCrop(zoomGrp, &crop), 0);
    ExpectRect(crop.stCropRect, {40, 60, 320, 240});
    ExpectSource(MK_ID_VPSS, zoomGrp, 0, {MK_ID_VIU, 0, 14});
    ExpectSource(MK_ID_VOU, 8, 2, {MK_ID_VPSS, zoomGrp, 2});
    // Reset: 1080P capture (size code 14) under PAL.
    uint32_t reset = 2;
    EXPECT_EQ(Cmd(50, &reset, 4, false), 0);
    ASSERT_EQ(MK_MPI_VPSS_GetGrpCrop(zoomGrp, &crop), 0);
    EXPECT_EQ(crop.bEnable, 0u);
    ExpectRect(crop.stCropRect, {0, 0, 1920, 1080});
    EXPECT_FALSE(Source(MK_ID_VPSS, zoomGrp, 0).has_value());
    ExpectSource(MK_ID_VOU, 8, 2, {MK_ID_VPSS, 2, 2});
    EXPECT_EQ(SplitGetState()->astChn[2].bZoomed, 0u);
    // A reset of a channel not zoomed calls nothing.
    dev::JournalStart();
    EXPECT_EQ(HwSplitResetZoom(2), 0);
    EXPECT_TRUE(dev::JournalStop().empty());
}

TEST_F(SplitCmdTest, ZoomChannelMustLeaveItsRecordBelow32) {
    Apply({.offset = 4});
    const RECT_S crop = {0, 0, 100, 100};
    dev::JournalStart();
    EXPECT_EQ(HwSplitSetZoom(28, &crop), -1);
    EXPECT_EQ(HwSplitSetZoom(-1, &crop), -1);
    EXPECT_EQ(HwSplitSetZoom(40, &crop), -1);
    EXPECT_EQ(HwSplitResetZoom(32), -1);
    EXPECT_EQ(HwSplitResetZoom(-3), -1);
    EXPECT_TRUE(dev::JournalStop().empty());
    EXPECT_EQ(HwSplitSetZoom(20, &crop), 0);
    ExpectSource(MK_ID_VOU, 8, 24, {MK_ID_VPSS, 16 + 20, 2});
}

// A layout change resets every zoom.
TEST_F(SplitCmdTest, LayoutResetsZoom) {
    Apply({});
    ASSERT_EQ(Cmd27(Layout(0, 0)), 0);
    const RECT_S crop = {0, 0, 100, 100};
    ASSERT_EQ(HwSplitSetZoom(0, &crop), 0);
    ASSERT_EQ(Cmd27(Layout(0, 1)), 0);
    EXPECT_EQ(SplitGetState()->astChn[0].bZoomed, 0u);
}

TEST(SplitPreScale, SizesByBoardModeAndCode) {
    struct Row {
        uint32_t board, ref;
        int32_t mode, code;
        uint32_t w, h, ow, oh;
    };
    const Row rows[] = {
        {47, 1920, 1, 10, 1920, 1080, 960, 540},  {46, 1920, 1, 10, 944, 1080, 944, 540},
        {46, 1920, 1, 11, 1280, 720, 1280, 360},  {48, 1920, 1, 14, 1920, 1080, 960, 540},
        {55, 1728, 1, 14, 1920, 1080, 864, 540},  {58, 1728, 1, 10, 944, 1080, 864, 540},
        {49, 1920, 0, 10, 944, 1080, 944, 540},   {49, 1920, 0, 11, 1280, 720, 640, 360},
        {50, 864, 0, 14, 1920, 1080, 432, 540},   {50, 1728, 0, 14, 1920, 1080, 960, 540},
        {59, 1728, 1, 10, 944, 1080, 472, 540},
    };
    for (const Row& r : rows) {
        SLAVE_SYS_PARAM_S p;
        std::memset(&p, 0, sizeof(p));
        p.u32BoardSubType = r.board;
        SlaveStoreSysParam(&p);
        uint32_t ow = 0, oh = 0;
        SplitCalcPreScale(r.ref, r.mode, r.code, r.w, r.h, &ow, &oh);
        EXPECT_EQ(ow, r.ow) << r.board << " " << r.ref << " " << r.mode << " " << r.code;
        EXPECT_EQ(oh, r.oh);
        SplitCalcPreScale(r.ref, r.mode, r.code, r.w, r.h, nullptr, &oh);
    }
    SlaveResetSysCfg();
}

TEST(SplitModelMode, RatesByProductAndCounts) {
    struct Row {
        uint32_t dev;
        int16_t a4m, a5m, a3m, a1080, a960p;
        uint32_t pb;
        int32_t flag, rate;
    };
    const Row rows[] = {
        {656, 8, 0, 0, 0, 0, 0, 1, 10},  {656, 16, 0, 0, 0, 0, 0, 1, 5},  {656, 0, 0, 16, 0, 0, 0, 1, 7},
        {656, 0, 8, 0, 0, 0, 0, 1, 9},   {656, 4, 0, 0, 0, 0, 0, 0, 0},   {657, 0, 8, 0, 0, 0, 0, 1, 7},
        {657, 0, 4, 0, 0, 0, 0, 1, 14},  {659, 0, 16, 0, 0, 0, 0, 1, 6},  {659, 0, 8, 0, 0, 0, 0, 1, 14},
        {659, 0, 0, 0, 16, 0, 0, 1, 18}, {652, 0, 0, 0, 0, 24, 0, 1, 15}, {652, 0, 8, 0, 0, 0, 0, 1, 14},
        {653, 0, 0, 0, 0, 16, 0, 1, 15}, {653, 0, 8, 0, 0, 0, 0, 0, 0},   {658, 0, 0, 0, 16, 0, 0, 1, 18},
        {660, 0, 0, 0, 32, 0, 16, 1, 15}, {661, 0, 0, 0, 32, 0, 32, 1, 10}, {661, 32, 0, 0, 0, 0, 0, 1, 5},
        {651, 8, 0, 0, 0, 0, 0, 0, 0},
    };
    for (const Row& r : rows) {
        SLAVE_SYS_PARAM_S p;
        std::memset(&p, 0, sizeof(p));
        p.u32DevType = r.dev;
        p.stHvrCap.as16Analog[HVR_CAP_4M] = r.a4m;
        p.stHvrCap.as16Analog[HVR_CAP_5M] = r.a5m;
        p.stHvrCap.as16Analog[HVR_CAP_3M] = r.a3m;
        p.stHvrCap.as16Analog[HVR_CAP_1080P] = r.a1080;
        p.stHvrCap.as16Analog[HVR_CAP_960P] = r.a960p;
        p.stHvrCap.u32MaxPlayBackWay = r.pb;
        SlaveStoreSysParam(&p);
        int32_t rate = 0, flag = 7;
        EXPECT_EQ(SplitGetModelMode(&rate, &flag), 0);
        EXPECT_EQ(flag, r.flag) << r.dev;
        if (r.flag) {
            EXPECT_EQ(rate, r.rate) << r.dev;
        }
    }
    int32_t x = 0;
    EXPECT_EQ(SplitGetModelMode(nullptr, &x), -1);
    EXPECT_EQ(SplitGetModelMode(&x, nullptr), -1);
    SlaveResetSysCfg();
}

}  // namespace

namespace {

// Shared groups with an offset: 51 binds the input of record k - X to group k - X, and 52 must undo
// exactly those bindings (not record k's input).
TEST_F(SplitCmdTest, LayerEightSharedGroupUnbindsTheInputsItBound) {
    Apply({.end = 12, .offset = 4, .a1080p = 0, .a4m = 32, .pb = 32});
    ASSERT_TRUE(SplitSharedGrp());
    SPLIT_LAYOUT_S l = Layout(5, 0);
    ASSERT_EQ(SlaverHwSplitChnSet(&l), 0);
    // 656 wiring of records 0-7: VI 12, 13, 14, 15, 8, 9, 10, 11.
    const int vi[8] = {12, 13, 14, 15, 8, 9, 10, 11};
    for (int g = 0; g < 8; ++g) ExpectSource(MK_ID_VPSS, g, 0, {MK_ID_VIU, 0, vi[g]});
    ASSERT_EQ(SlaverSplitChnDisable(), 0);
    for (int g = 0; g < 8; ++g) EXPECT_FALSE(Source(MK_ID_VPSS, g, 0).has_value()) << g;
    EXPECT_EQ(drv::BindGraph::Instance().Size(), 0u);
}

// The operations no command reaches: one channel on and off, the display-mode switch.
TEST_F(SplitCmdTest, ChannelEnableDisableAndDisplayMode) {
    Apply({});
    ASSERT_EQ(Cmd27(Layout(2, 0)), 0);
    EXPECT_EQ(SplitChnDisable(1), 0);
    EXPECT_EQ(ShownRecords(), (std::vector<int>{0, 2, 3}));
    EXPECT_FALSE(Source(MK_ID_VOU, 0, 1).has_value());
    EXPECT_EQ(SplitChnEnable(1), 0);
    EXPECT_EQ(ShownRecords(), (std::vector<int>{0, 1, 2, 3}));
    ExpectRect(ChnRect(0, 1), kScaled);
    EXPECT_EQ(SplitChnEnable(16), -1);
    EXPECT_EQ(SplitChnDisable(-1), -1);
    // Playback takes the whole display: the preview goes and the next layout builds it again.
    EXPECT_EQ(SplitSetDisplayMode(1, -1), 0);
    EXPECT_EQ(SplitGetDisplayMode(), 1);
    EXPECT_TRUE(ShownRecords().empty());
    EXPECT_EQ(SplitSetDisplayMode(0, -1), 0);
    EXPECT_EQ(Cmd27(Layout(2, 0)), 0);
    EXPECT_EQ(ShownRecords(), (std::vector<int>{0, 1, 2, 3}));
    // One channel to single-channel playback and back.
    EXPECT_EQ(SplitSetDisplayMode(1, 2), 0);
    EXPECT_EQ(SplitGetPlaybackChnFlag(), 1);
    EXPECT_EQ(ShownRecords(), (std::vector<int>{0, 1, 3}));
    EXPECT_EQ(SplitSetDisplayMode(0, 2), 0);
    EXPECT_EQ(SplitGetPlaybackChnFlag(), 0);
    EXPECT_EQ(ShownRecords(), (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(SplitSetDisplayMode(4, -1), -1);
    EXPECT_EQ(SplitZoomCancel(), 0);
}

TEST(SplitFbInfo, QuarterOfTheWidthInWords) {
    uint32_t v = 0;
    EXPECT_EQ(SplitGetFbInfo(&v), 0);
    EXPECT_EQ(v, (1024u / 32) * 4);
    EXPECT_EQ(SplitGetFbInfo(nullptr), -1);
}

}  // namespace

namespace {

// Command 53 on a product whose model mode lowers rates (656 with sixteen 4M inputs: 5 frames/s),
// and on one whose mode does not (656 with 1080P inputs): the capture inputs' rates.
class SplitModelModeTest : public SplitCmdTest {
protected:
    static std::vector<int32_t> InputRates() {
        std::vector<int32_t> v;
        for (int k = 0; k < SplitGetChnCount(); ++k) {
            int32_t vi = -1, dev = -1;
            EXPECT_EQ(SplitGetChnWiring(k, &vi, &dev), 0);
            VI_CHN_ATTR_S a = {};
            EXPECT_EQ(MK_MPI_VI_GetChnAttr(vi, &a), 0) << "channel " << k;
            v.push_back(a.s32DstFrameRate);
        }
        return v;
    }
    static void ConfigureInputs() {
        for (int k = 0; k < SplitGetChnCount(); ++k) {
            int32_t vi = -1, dev = -1;
            ASSERT_EQ(SplitGetChnWiring(k, &vi, &dev), 0);
            ConfigureCifInput(vi);
        }
    }
};

TEST_F(SplitModelModeTest, LowersEveryInputAndRestoresItsOwnRate) {
    Settings s;
    s.a1080p = 0;
    s.a4m = 16;
    Apply(s);
    ConfigureInputs();
    ASSERT_EQ(SplitGetChnCount(), 16);
    const uint32_t lower = 0, restore = 1;
    Cmd(53, &lower, sizeof(lower), false);
    EXPECT_EQ(InputRates(), std::vector<int32_t>(16, 5));
    Cmd(53, &restore, sizeof(restore), false);
    std::vector<int32_t> own;
    for (int k = 0; k < 16; ++k) own.push_back(Comm_GetViChnMainFps(k));
    EXPECT_EQ(InputRates(), own);
    // Playback on the whole display lowers them too, the live preview brings them back.
    EXPECT_EQ(SplitSetDisplayMode(1, -1), 0);
    EXPECT_EQ(InputRates(), std::vector<int32_t>(16, 5));
    EXPECT_EQ(SplitSetDisplayMode(0, -1), 0);
    EXPECT_EQ(InputRates(), own);
}

TEST_F(SplitModelModeTest, ProductsWithoutAModelRateKeepTheirRates) {
    Apply({});
    ConfigureInputs();
    const uint32_t lower = 0;
    Cmd(53, &lower, sizeof(lower), false);
    EXPECT_EQ(InputRates(), std::vector<int32_t>(SplitGetChnCount(), 25));
}

}  // namespace
