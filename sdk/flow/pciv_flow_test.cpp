// PCIe picture channels carrying the pictures of a bound capture input, started and stopped through
// the SDK in the program's order (create, bind, start; stop, unbind, destroy).
#include <gtest/gtest.h>

#include "platform/drivers/all/install.h"
#include "platform/drivers/core/frame_router.h"
#include "platform/drivers/pciv/pciv_driver.h"
#include "platform/drivers/vi/vi_driver.h"
#include "sdk/common/testing/bus_environment.h"
#include "sdk/flow/flow_testing.h"
#include "sdk/pciv/mpi_pciv.h"
#include "sdk/sys/mpi_sys.h"

namespace {

namespace drivers = varnelle::drivers;
using drivers::testing::ManualClock;

[[maybe_unused]] auto* const g_environment =
    ::testing::AddGlobalTestEnvironment(new mk::testing::BusEnvironment("pcivflow", drivers::InstallAll));

constexpr MK_U32 kW = 352, kH = 288;
constexpr MK_U32 kBlocks = 8;
constexpr VI_CHN kInput = 2;
constexpr MK_S32 kPciv = 9;

class PcivFlowTest : public flow_testing::FlowTest {
protected:
    PcivFlowTest() : FlowTest(drivers::FrameBytes(kW, kH), kBlocks) {}
    // The input starts on the test's stopped clock, so its frames fall due 40 ms apart from now on.
    static void StartInput(ManualClock& clock) {
        StartCapture(kInput, kW, kH);
        clock.Settle();  // frame 0, with nobody to take it
    }
    static MK_S32 Bind(bool bind) {
        MPP_CHN_S src{MK_ID_VIU, 0, kInput}, dst{MK_ID_PCIV, 0, kPciv};
        return bind ? MK_MPI_SYS_Bind(&src, &dst) : MK_MPI_SYS_UnBind(&src, &dst);
    }
    static uint64_t Made() { return drivers::ViDriver::Get()->Channel(kInput).framesMade; }
};

TEST_F(PcivFlowTest, AStartedChannelCountsEveryPictureOfItsSource) {
    ManualClock clock;
    StartInput(clock);
    PCIV_ATTR_S attr{};
    attr.au32Word[0] = 0x1234;  // the words are the master's: kept, not read
    ASSERT_EQ(MK_MPI_PCIV_Create(kPciv, &attr), MK_SUCCESS);
    ASSERT_EQ(Bind(true), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_PCIV_Start(kPciv), MK_SUCCESS);
    const uint64_t before = Made();
    for (int i = 0; i < 10; ++i) clock.AdvanceMs(40);
    const uint64_t made = Made() - before;
    EXPECT_EQ(made, 10u);
    drivers::PcivChannelView view = drivers::PcivChannel(kPciv);
    EXPECT_EQ(view.pictures, made);
    EXPECT_EQ(view.declined, 0u);
    EXPECT_EQ(view.attr.au32Word[0], 0x1234u);
    // Carried, not kept: nothing of the input's pool stays held by the channel.
    EXPECT_TRUE(PoolFull());

    // Stopped, it carries nothing more; then unbound and destroyed in the program's order.
    ASSERT_EQ(MK_MPI_PCIV_Stop(kPciv), MK_SUCCESS);
    for (int i = 0; i < 3; ++i) clock.AdvanceMs(40);
    view = drivers::PcivChannel(kPciv);
    EXPECT_EQ(view.pictures, made);
    EXPECT_EQ(view.declined, 3u);
    ASSERT_EQ(Bind(false), MK_SUCCESS);
    const uint64_t unbound = Made();
    for (int i = 0; i < 3; ++i) clock.AdvanceMs(40);
    EXPECT_EQ(Made(), unbound);  // nobody takes the input's pictures, so none are drawn
    EXPECT_EQ(drivers::PcivChannel(kPciv).declined, 3u);
    ASSERT_EQ(MK_MPI_PCIV_Destroy(kPciv), MK_SUCCESS);
    EXPECT_FALSE(drivers::PcivChannel(kPciv).created);
    EXPECT_EQ(FreeBlocks(), kBlocks);
}

TEST_F(PcivFlowTest, RestartingAfterAStopCarriesAgain) {
    ManualClock clock;
    StartInput(clock);
    PCIV_ATTR_S attr{};
    ASSERT_EQ(MK_MPI_PCIV_Create(kPciv, &attr), MK_SUCCESS);
    ASSERT_EQ(Bind(true), MK_SUCCESS);
    clock.AdvanceMs(40);  // bound but not started: declined
    EXPECT_EQ(drivers::PcivChannel(kPciv).pictures, 0u);
    EXPECT_EQ(drivers::PcivChannel(kPciv).declined, 1u);
    ASSERT_EQ(MK_MPI_PCIV_Start(kPciv), MK_SUCCESS);
    clock.AdvanceMs(40);
    ASSERT_EQ(MK_MPI_PCIV_Stop(kPciv), MK_SUCCESS);
    clock.AdvanceMs(40);
    ASSERT_EQ(MK_MPI_PCIV_Start(kPciv), MK_SUCCESS);
    clock.AdvanceMs(40);
    EXPECT_EQ(drivers::PcivChannel(kPciv).pictures, 2u);
    EXPECT_EQ(drivers::PcivChannel(kPciv).declined, 2u);
    // A started channel cannot be destroyed; the program stops it first.
    EXPECT_EQ(MK_MPI_PCIV_Destroy(kPciv), MK_ERR(MK_ID_PCIV, MK_ERR_NOT_PERM));
    ASSERT_EQ(MK_MPI_PCIV_Stop(kPciv), MK_SUCCESS);
    ASSERT_EQ(Bind(false), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_PCIV_Destroy(kPciv), MK_SUCCESS);
}

TEST_F(PcivFlowTest, TheSystemsExitForgetsTheChannelAndItsCount) {
    ManualClock clock;
    StartInput(clock);
    PCIV_ATTR_S attr{};
    ASSERT_EQ(MK_MPI_PCIV_Create(kPciv, &attr), MK_SUCCESS);
    ASSERT_EQ(Bind(true), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_PCIV_Start(kPciv), MK_SUCCESS);
    clock.AdvanceMs(40);
    EXPECT_EQ(drivers::PcivChannel(kPciv).pictures, 1u);
    drivers::ResetMediaState();
    EXPECT_FALSE(drivers::PcivChannel(kPciv).created);
    EXPECT_EQ(drivers::PcivChannel(kPciv).pictures, 0u);
    EXPECT_FALSE(drivers::FrameRouter::Instance().HasDestinations({MK_ID_VIU, 0, kInput}));
}

}  // namespace
