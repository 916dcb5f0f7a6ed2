// Regions attached to a capture channel are part of the pictures it captures: a cover hides its
// rectangle in every frame the channel delivers, and nothing outside it.
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "platform/drivers/core/frame_testing.h"
#include "platform/drivers/core/pattern.h"
#include "platform/drivers/core/vb_pools.h"
#include "platform/drivers/rgn/rgn_driver.h"
#include "platform/drivers/vi/vi_driver.h"
#include "platform/host/clock.h"
#include "platform/mem/ram.h"
#include "sdk/common/testing/bus_environment.h"
#include "sdk/rgn/mpi_rgn.h"
#include "sdk/vi/mpi_vi.h"

namespace {

using varnelle::drivers::VbPools;
using varnelle::drivers::ViDriver;
using varnelle::drivers::testing::ManualClock;

const auto* const kBus = ::testing::AddGlobalTestEnvironment(
    new mk::testing::BusEnvironment("vicover", [] { varnelle::drivers::InstallRgnDriver(); }));

int SecondsOfDay(int64_t wallUs) {
    const time_t t = static_cast<time_t>(wallUs / 1000000);
    tm local{};
    localtime_r(&t, &local);
    return local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
}

TEST(ViCoverTest, ACoverOnTheChannelHidesItsRectangleInTheCapturedFrame) {
    ManualClock clock;
    ViDriver::Get()->Reset();
    ASSERT_GE(VbPools::Instance().CreatePool(varnelle::drivers::Yuv420Size(352, 288), 4, ""), 0);
    VI_CHN_ATTR_S attr{};
    attr.stCapRect = {0, 0, 352, 288};
    attr.u32DestWidth = 352;
    attr.u32DestHeight = 288;
    attr.enCapSel = 2;
    attr.enScanMode = 1;
    attr.enPixFormat = MK_PIXEL_FORMAT_YUV_SEMIPLANAR_420;
    attr.s32SrcFrameRate = attr.s32DstFrameRate = 25;
    constexpr int kChn = 5;
    ASSERT_EQ(MK_MPI_VI_SetChnAttr(kChn, &attr), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VI_SetFrameDepth(kChn, 1), MK_SUCCESS);

    RGN_ATTR_S cover{};
    cover.enType = COVER_RGN;
    ASSERT_EQ(MK_MPI_RGN_Create(700, &cover), MK_SUCCESS);
    RGN_CHN_ATTR_S place{};
    place.bShow = 1;
    place.enType = COVER_RGN;
    place.unChnAttr.stCoverChn = {AREA_RECT, {64, 32, 96, 64}, 0x000000, 0};
    const MPP_CHN_S vi{MK_ID_VIU, 0, kChn};
    ASSERT_EQ(MK_MPI_RGN_AttachToChn(700, &vi, &place), MK_SUCCESS);
    // Enabled only now: a picture captured before the attach would rightly show no cover.
    ASSERT_EQ(MK_MPI_VI_EnableChn(kChn), MK_SUCCESS);

    VIDEO_FRAME_INFO_S frame{};
    ASSERT_EQ(MK_MPI_VI_GetFrame(kChn, &frame, 2000), MK_SUCCESS);
    const size_t stride = frame.u32Stride[0];
    std::vector<uint8_t> got(stride * 288), want(stride * 288 * 3 / 2);
    ASSERT_TRUE(varnelle::mem::Ram::Local().Read(frame.u32PhyAddr[0], got.data(), got.size()));
    varnelle::drivers::DrawTestPattern({want.data(), stride, want.data() + stride * 288, stride, 352, 288},
                                       kChn, frame.u32TimeRef / 2, SecondsOfDay(ManualClock::kWallUs),
                                       varnelle::drivers::PatternScene::kCamera);
    // Black in studio range: luma 16 inside the rectangle, the pattern everywhere else.
    for (int y = 0; y < 288; ++y) {
        for (int x = 0; x < 352; ++x) {
            const bool inside = x >= 64 && x < 160 && y >= 32 && y < 96;
            const uint8_t expect = inside ? 16 : want[y * stride + x];
            ASSERT_EQ(got[y * stride + x], expect) << x << "," << y;
        }
    }
    EXPECT_EQ(MK_MPI_VI_ReleaseFrame(kChn, &frame), MK_SUCCESS);
    EXPECT_EQ(MK_MPI_RGN_Destroy(700), MK_SUCCESS);
    ViDriver::Get()->Reset();
    VbPools::Instance().Clear();
}

}  // namespace
