// The spot grid on display device 3: cell sizes and places by grid mode and standard, analog inputs
// bound directly, decoded channels after them, and the modes and settings that do nothing. Cells are
// worked out by hand from a 704-pixel-wide picture.
#include <cstring>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "app/comm/comm_cfg.h"
#include "app/comm/comm_map.h"
#include "app/comm/comm_setup_hooks.h"
#include "app/fb/graphics.h"
#include "app/pci/pciv_test_master.h"
#include "app/split/spot.h"
#include "app/split/split.h"
#include "app/split/split_test_env.h"
#include "platform/dev/journal.h"
#include "platform/drivers/all/install.h"
#include "platform/drivers/core/bind_graph.h"
#include "platform/drivers/vo/vo_driver.h"
#include "sdk/vo/mpi_vo.h"

namespace {

namespace drv = varnelle::drivers;
namespace dev = varnelle::dev;

int32_t FourDecoders(int32_t* ps32Chns, int32_t s32Max) {
    int32_t n = 0;
    for (int32_t c : {5, 6, 7, 8}) {
        if (n < s32Max) ps32Chns[n++] = c;
    }
    return n;
}

class SpotTest : public varnelle::testing::SplitDriverTest {
protected:
    static void Apply(uint8_t enable, uint32_t end = 16, uint32_t vstd = 0) {
        SLAVE_SYS_PARAM_S p;
        std::memset(&p, 0, sizeof(p));
        p.u32SysType = 656;
        p.u32DevType = 656;
        p.u32ChnEnd = end;
        p.stHvrCap.as16Analog[HVR_CAP_1080P] = 16;
        p.stSlaveCfg.u8SpotEnable = enable;
        SlaveStoreSysParam(&p);
        ASSERT_EQ(HwSplitDevInit(), 0);
        SplitStart(vstd);
    }
    static RECT_S Rect(int chn) { return ChnRect(SPOT_VO_LAYER, chn); }
    static std::optional<MPP_CHN_S> Source(int chn) { return SplitDriverTest::Source(MK_ID_VOU, SPOT_VO_DEV, chn); }
};

void ExpectRect(const RECT_S& r, int x, int y, unsigned w, unsigned h) {
    EXPECT_EQ(r.s32X, x);
    EXPECT_EQ(r.s32Y, y);
    EXPECT_EQ(r.u32Width, w);
    EXPECT_EQ(r.u32Height, h);
}

// 656 wiring of channels 0 to 15.
const int kVi[16] = {12, 13, 14, 15, 8, 9, 10, 11, 0, 1, 2, 3, 4, 5, 6, 7};

TEST_F(SpotTest, SixteenWindowsPalAndNtsc) {
    for (uint32_t vstd : {0u, 1u}) {
        SCOPED_TRACE(vstd ? "NTSC" : "PAL");
        Apply(1, 16, vstd);
        const int32_t params[2] = {5, 0};
        EXPECT_EQ(SpotSet(nullptr, params), 0);
        const unsigned h = vstd ? 120 : 144;  // 480 / 4, 576 / 4
        for (int k = 0; k < 16; ++k) {
            ExpectRect(Rect(k), (k % 4) * 176, (k / 4) * static_cast<int>(h), 176, h);
            EXPECT_TRUE(Vo()->Channel(SPOT_VO_LAYER, k).enabled);
            auto s = Source(k);
            ASSERT_TRUE(s.has_value()) << k;
            EXPECT_EQ(s->enModId, MK_ID_VIU);
            EXPECT_EQ(s->s32ChnId, kVi[k]);
        }
        int32_t mode = 0, page = 0;
        SpotGetLayout(&mode, &page);
        EXPECT_EQ(mode, 5);
        EXPECT_EQ(page, 0);
    }
}

// 25 windows of 16 inputs and 4 decoders: cells of 140 x 114 (704 / 5, 576 / 5 = 115 lowered to
// even), rows at 0, 116, 230, 346, 460 (raised to even); decoded channels in display channels 16-19.
TEST_F(SpotTest, TwentyFiveWindowsWithDecodedChannels) {
    Apply(1);
    CommSetVdecCreatedChnsHook(FourDecoders);
    EXPECT_EQ(ViBindToVo(SPOT_VO_DEV, SPOT_VO_LAYER, 9, 0), 0);
    const int rows[5] = {0, 116, 230, 346, 460};
    for (int i = 0; i < 20; ++i) ExpectRect(Rect(i), (i % 5) * 140, rows[i / 5], 140, 114);
    for (int j = 0; j < 4; ++j) {
        auto s = Source(16 + j);
        ASSERT_TRUE(s.has_value()) << j;
        EXPECT_EQ(s->enModId, MK_ID_VDEC);
        EXPECT_EQ(s->s32ChnId, 5 + j);
    }
    for (int i = 20; i < 25; ++i) EXPECT_FALSE(Vo()->Channel(SPOT_VO_LAYER, i).enabled) << i;
    // Page 1 of 4 windows: channels 4-7; the earlier windows are cleared, decoded ones included.
    EXPECT_EQ(ViBindToVo(SPOT_VO_DEV, SPOT_VO_LAYER, 2, 1), 0);
    for (int k = 0; k < 20; ++k) {
        const bool shown = k >= 4 && k < 8;
        EXPECT_EQ(Source(k).has_value(), shown) << k;
    }
    ExpectRect(Rect(4), 0, 0, 352, 288);
    ExpectRect(Rect(7), 352, 288, 352, 288);
    // Past the inputs, decoded channels fill the page: page 4 of 4 windows is decoders 0-3.
    EXPECT_EQ(ViBindToVo(SPOT_VO_DEV, SPOT_VO_LAYER, 2, 4), 0);
    for (int j = 0; j < 4; ++j) EXPECT_TRUE(Source(16 + j).has_value()) << j;
    EXPECT_EQ(SpotUnbindSlaveChn(SPOT_VO_DEV, SPOT_VO_LAYER), 0);
    for (int j = 0; j < 4; ++j) {
        EXPECT_FALSE(Source(16 + j).has_value()) << j;
        EXPECT_FALSE(Vo()->Channel(SPOT_VO_LAYER, 16 + j).enabled) << j;
    }
}

TEST_F(SpotTest, ModesWithoutWindowsAreRefused) {
    Apply(1);
    for (int mode : {6, 7, 8, 11, 12, 13, 14, -1, 100}) {
        dev::JournalStart();
        EXPECT_EQ(ViBindToVo(SPOT_VO_DEV, SPOT_VO_LAYER, mode, 0), -1) << mode;
        EXPECT_TRUE(dev::JournalStop().empty()) << mode;
    }
    EXPECT_EQ(ViBindToVo(SPOT_VO_DEV, SPOT_VO_LAYER, 5, -1), -1);
}

TEST_F(SpotTest, DisabledSpotDoesNothing) {
    Apply(0);
    CommSetVdecCreatedChnsHook(FourDecoders);
    const int32_t params[2] = {5, 0};
    dev::JournalStart();
    EXPECT_EQ(SpotSet(nullptr, params), 0);
    EXPECT_EQ(ViBindToVo(SPOT_VO_DEV, SPOT_VO_LAYER, 6, 0), 0);
    EXPECT_EQ(SpotUnbindSlaveChn(SPOT_VO_DEV, SPOT_VO_LAYER), 0);
    EXPECT_TRUE(dev::JournalStop().empty());
    EXPECT_EQ(drv::BindGraph::Instance().Size(), 0u);
    EXPECT_EQ(SpotGetEnable(), 0);
}

}  // namespace
