// Pictures moving along the bindings of the simulated chip, set up through the SDK as the program
// does it: capture channels bound to processing groups and display channels, frames taken where the
// binding ends, and every block back in its pool once the flow stops.
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "platform/drivers/all/install.h"
#include "platform/drivers/core/frame_testing.h"
#include "platform/drivers/core/kernel.h"
#include "platform/drivers/core/pattern.h"
#include "platform/drivers/core/vb_pools.h"
#include "platform/drivers/vi/vi_driver.h"
#include "platform/drivers/vo/vo_driver.h"
#include "platform/drivers/vpss/vpss_driver.h"
#include "platform/mem/ram.h"
#include "sdk/common/testing/bus_environment.h"
#include "sdk/flow/flow_testing.h"
#include "sdk/sys/mpi_sys.h"
#include "sdk/vb/mpi_vb.h"
#include "sdk/vi/mpi_vi.h"
#include "sdk/vo/mpi_vo.h"
#include "sdk/vpss/mpi_vpss.h"

namespace {

namespace drivers = varnelle::drivers;
using drivers::VbPools;
using drivers::testing::ManualClock;

[[maybe_unused]] auto* const g_environment =
    ::testing::AddGlobalTestEnvironment(new mk::testing::BusEnvironment("flow", drivers::InstallAll));

constexpr MK_U32 kW = 704, kH = 576;
constexpr MK_U32 kBlocks = 6;

class FrameFlowTest : public flow_testing::FlowTest {
protected:
    FrameFlowTest() : FlowTest(drivers::FrameBytes(kW, kH), kBlocks) {}
    static void StartCapture(VI_CHN chn) { FlowTest::StartCapture(chn, kW, kH); }
    static void StartGroup(VPSS_GRP grp) {
        VPSS_GRP_ATTR_S attr{kW, kH, MK_PIXEL_FORMAT_YUV_SEMIPLANAR_420, 0, 0, 0, 0, 0, 0};
        ASSERT_EQ(MK_MPI_VPSS_CreateGrp(grp, &attr), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_VPSS_EnableChn(grp, 0), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_VPSS_SetDepth(grp, 0, 1), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_VPSS_StartGrp(grp), MK_SUCCESS);
    }
    // The capture-to-group binding of the program: (16, 0, channel) to (7, group, 0).
    static MK_S32 ViBindVpss(VI_CHN chn, VPSS_GRP grp, bool bind) {
        MPP_CHN_S src{MK_ID_VIU, 0, chn}, dst{MK_ID_VPSS, grp, 0};
        return bind ? MK_MPI_SYS_Bind(&src, &dst) : MK_MPI_SYS_UnBind(&src, &dst);
    }
};

// The mean (Y, U, V) of the frame's signature area.
drivers::PatternYuv SignatureOf(const VIDEO_FRAME_INFO_S& f) {
    drivers::PatternRect r = drivers::PatternSignatureRect(static_cast<int>(f.u32Width), static_cast<int>(f.u32Height));
    const varnelle::mem::Ram& ram = varnelle::mem::Ram::Local();
    uint64_t y = 0, u = 0, v = 0, n = 0;
    std::vector<uint8_t> row(static_cast<size_t>(r.width));
    for (int line = r.y; line < r.y + r.height; line += 2) {
        EXPECT_TRUE(ram.Read(f.u32PhyAddr[0] + line * f.u32Stride[0] + r.x, row.data(), row.size()));
        for (uint8_t b : row) y += b;
        EXPECT_TRUE(ram.Read(f.u32PhyAddr[1] + (line / 2) * f.u32Stride[1] + (r.x & ~1), row.data(), row.size()));
        for (size_t i = 0; i + 1 < row.size(); i += 2) {
            v += row[i];  // pairs hold V first, then U
            u += row[i + 1];
        }
        n += row.size();
    }
    return drivers::PatternYuv{static_cast<uint8_t>(y / n), static_cast<uint8_t>(2 * u / n),
                               static_cast<uint8_t>(2 * v / n)};
}

TEST_F(FrameFlowTest, CapturedPicturesReachTheBoundGroupAndStopWithTheUnbind) {
    ManualClock clock;
    StartGroup(3);
    StartCapture(5);
    clock.Settle();
    ASSERT_EQ(ViBindVpss(5, 3, true), MK_SUCCESS);
    clock.AdvanceMs(40);
    VIDEO_FRAME_INFO_S frame{};
    ASSERT_EQ(MK_MPI_VPSS_GetChnFrame(3, 0, &frame, 2000), MK_SUCCESS);
    EXPECT_EQ(frame.u32Width, kW);
    EXPECT_EQ(frame.u32Height, kH);
    EXPECT_EQ(frame.u32PoolId, static_cast<MK_U32>(m_pool));
    drivers::PatternYuv want = drivers::PatternSignature(5), got = SignatureOf(frame);
    EXPECT_EQ(got.y, want.y);
    EXPECT_EQ(got.u, want.u);
    EXPECT_EQ(got.v, want.v);
    ASSERT_EQ(MK_MPI_VPSS_ReleaseChnFrame(3, 0, &frame), MK_SUCCESS);

    // The program's unbind: the group lets go of what it kept, capture draws nothing more.
    ASSERT_EQ(ViBindVpss(5, 3, false), MK_SUCCESS);
    EXPECT_TRUE(PoolFull());
    const uint64_t made = varnelle::drivers::ViDriver::Get()->Channel(5).framesMade;
    clock.AdvanceMs(40);
    EXPECT_EQ(varnelle::drivers::ViDriver::Get()->Channel(5).framesIn, 3u);
    EXPECT_EQ(varnelle::drivers::ViDriver::Get()->Channel(5).framesMade, made);
    EXPECT_EQ(MK_MPI_VPSS_GetChnFrame(3, 0, &frame, 0), MK_ERR(MK_ID_VPSS, MK_ERR_BUF_EMPTY));

    // Bound again, the pictures flow again.
    ASSERT_EQ(ViBindVpss(5, 3, true), MK_SUCCESS);
    clock.AdvanceMs(40);
    ASSERT_EQ(MK_MPI_VPSS_GetChnFrame(3, 0, &frame, 2000), MK_SUCCESS);
    EXPECT_EQ(frame.u32TimeRef / 2, 3u) << "the frame due at 120 ms";
    ASSERT_EQ(MK_MPI_VPSS_ReleaseChnFrame(3, 0, &frame), MK_SUCCESS);
}

TEST_F(FrameFlowTest, StoppingOrDestroyingTheGroupGivesEveryBlockBack) {
    ManualClock clock;
    StartGroup(1);
    StartGroup(2);
    StartCapture(0);
    StartCapture(1);
    clock.Settle();  // frame 0 falls due with nobody bound to take it
    ASSERT_EQ(ViBindVpss(0, 1, true), MK_SUCCESS);
    ASSERT_EQ(ViBindVpss(1, 2, true), MK_SUCCESS);
    for (int i = 0; i < 5; ++i) clock.AdvanceMs(40);
    EXPECT_EQ(varnelle::drivers::ViDriver::Get()->Channel(1).framesMade, 5u);
    EXPECT_LT(FreeBlocks(), kBlocks);
    ASSERT_EQ(MK_MPI_VPSS_StopGrp(1), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VPSS_DestroyGrp(2), MK_SUCCESS);
    EXPECT_TRUE(PoolFull());
    // Nothing flows into a stopped or missing group.
    clock.AdvanceMs(40);
    EXPECT_EQ(varnelle::drivers::ViDriver::Get()->Channel(1).framesIn, 7u);
    EXPECT_TRUE(PoolFull());
    MK_MPI_VPSS_DestroyGrp(1);
}

TEST_F(FrameFlowTest, ADisplayChannelShowsTheBoundCaptureUntilUnbound) {
    ManualClock clock;
    StartCapture(7);
    ASSERT_EQ(MK_MPI_VO_EnableChn(0, 3), MK_SUCCESS);
    MPP_CHN_S src{MK_ID_VIU, 0, 7}, dst{MK_ID_VOU, 0, 3};
    ASSERT_EQ(MK_MPI_SYS_Bind(&src, &dst), MK_SUCCESS);
    clock.AdvanceMs(40);
    auto vo = varnelle::dev::Registry::Get<drivers::VoDriver>("/dev/vo");
    ASSERT_TRUE(vo->Channel(0, 3).showing);
    EXPECT_EQ(vo->Channel(0, 3).frame.u32Width, kW);
    // The program's unbind by destination alone.
    ASSERT_EQ(MK_MPI_SYS_UnBind(nullptr, &dst), MK_SUCCESS);
    EXPECT_FALSE(vo->Channel(0, 3).showing);
    EXPECT_TRUE(PoolFull());
}

TEST_F(FrameFlowTest, TheSystemsExitStopsEverythingAndHoldsNoBlock) {
    ManualClock clock;
    StartGroup(4);
    StartCapture(2);
    ASSERT_EQ(ViBindVpss(2, 4, true), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VI_SetFrameDepth(2, 2), MK_SUCCESS);
    for (int i = 0; i < 3; ++i) clock.AdvanceMs(40);
    VIDEO_FRAME_INFO_S frame{};
    ASSERT_EQ(MK_MPI_VI_GetFrame(2, &frame, 2000), MK_SUCCESS);
    drivers::ResetMediaState();
    EXPECT_FALSE(varnelle::drivers::ViDriver::Get()->Channel(2).enabled);
    for (int id : VbPools::Instance().PoolIds()) EXPECT_FALSE(VbPools::Instance().PoolInUse(id)) << id;
}

}  // namespace
