#include "sdk/pciv/mpi_pciv.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/host/test_bus.h"

#include "platform/dev/driver.h"
#include "platform/drivers/pciv/pciv_driver.h"
#include "platform/mem/ram.h"

namespace {

using varnelle::dev::Driver;
using varnelle::dev::Registry;
namespace drivers = varnelle::drivers;
namespace mem = varnelle::mem;

constexpr MK_S32 kBusy = static_cast<MK_S32>(0xA01A8012u);

class PcivTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        varnelle::host::UsePrivateBus("pciv");
        setenv("VARNELLE_CHIP", "1", 1);
        drivers::InstallPcivDriver();
        s_master = new mem::Ram(mem::RamPath(0), 0, mem::kMasterRamSize, true);
        ASSERT_TRUE(s_master->ok());
    }
    void SetUp() override {
        driver()->ClearFaults();
        driver()->ResetCounters();
    }
    static std::shared_ptr<Driver> driver() { return Registry::Find("/dev/pciv"); }
    static mem::Ram* s_master;
};
mem::Ram* PcivTest::s_master = nullptr;

TEST_F(PcivTest, ChannelOnePastTheRangeOpensNothing) {
    PCIV_ATTR_S attr{};
    struct Case {
        MK_S32 (*call)(MK_S32);
    } cases[] = {{MK_MPI_PCIV_Destroy}, {MK_MPI_PCIV_Start}, {MK_MPI_PCIV_Stop}};
    for (const Case& c : cases) {
        EXPECT_EQ(static_cast<uint32_t>(c.call(128)), 0xA01A8002u);
        EXPECT_EQ(static_cast<uint32_t>(c.call(-1)), 0xA01A8002u);
    }
    EXPECT_EQ(static_cast<uint32_t>(MK_MPI_PCIV_Create(128, &attr)), 0xA01A8002u);
    MK_U32 addr[1];
    EXPECT_EQ(static_cast<uint32_t>(MK_MPI_PCIV_MallocChnBuffer(-5, 4096, 1, addr)), 0xA01A8002u);
    EXPECT_EQ(driver()->OpenCount(), 0);
}

TEST_F(PcivTest, PictureChannelLifeCycle) {
    PCIV_ATTR_S attr{};
    attr.au32Word[0] = 0x1234;
    ASSERT_EQ(MK_MPI_PCIV_Create(127, &attr), 0);
    EXPECT_NE(MK_MPI_PCIV_Create(127, &attr), 0) << "created twice";
    EXPECT_EQ(MK_MPI_PCIV_Start(127), 0);
    EXPECT_TRUE(drivers::PcivChannel(127).started);
    EXPECT_EQ(drivers::PcivChannel(127).attr.au32Word[0], 0x1234u);
    EXPECT_NE(MK_MPI_PCIV_Destroy(127), 0) << "destroying a running channel";
    EXPECT_EQ(MK_MPI_PCIV_Stop(127), 0);
    EXPECT_EQ(MK_MPI_PCIV_Destroy(127), 0);
    EXPECT_FALSE(drivers::PcivChannel(127).created);
    EXPECT_EQ(static_cast<uint32_t>(MK_MPI_PCIV_Create(3, nullptr)), 0xA01A8006u);
}

TEST_F(PcivTest, FailedMallocGivesBackWhatItTook) {
    size_t before = drivers::PcivWindowBlocks().size();
    MK_U32 addr[3] = {};
    driver()->FailRequest(PCIV_MALLOC_CTRL, static_cast<int>(0xA01A800Cu), 1, 0, 2);
    EXPECT_EQ(static_cast<uint32_t>(MK_MPI_PCIV_Malloc(4096, 3, addr)), 0xA01A800Cu);
    EXPECT_EQ(drivers::PcivWindowBlocks().size(), before);
    EXPECT_EQ(driver()->RequestCount(PCIV_FREE_CTRL), 2);

    ASSERT_EQ(MK_MPI_PCIV_Malloc(5000, 3, addr), 0);
    EXPECT_EQ(drivers::PcivWindowBlocks().size(), before + 3);
    EXPECT_NE(addr[0], addr[1]);
    EXPECT_EQ(MK_MPI_PCIV_Malloc(4096, 0, nullptr), 0);
    EXPECT_EQ(MK_MPI_PCIV_Free(3, addr), 0);
    EXPECT_NE(MK_MPI_PCIV_Free(1, addr), 0) << "already freed";
}

TEST_F(PcivTest, DmaCopiesIntoTheMastersRamAfterRangeChecks) {
    MK_U32 local = 0;
    ASSERT_EQ(MK_MPI_PCIV_Malloc(8192, 1, &local), 0);
    const char text[] = "stream bytes";
    ASSERT_TRUE(mem::Ram::Local().Write(local + 100, text, sizeof(text)));
    PCIV_DMA_BLOCK_S blk{local + 100, 0x40010000, sizeof(text)};
    PCIV_DMA_TASK_S task{1, 0, &blk};
    ASSERT_EQ(MK_MPI_PCIV_DmaTask(&task), 0);
    char back[sizeof(text)] = {};
    ASSERT_TRUE(s_master->Read(0x40010000, back, sizeof(back)));
    EXPECT_STREQ(back, text);

    struct Case {
        MK_U32 src, dst, size;
    } bad[] = {
        {local, 0x50000000, 16},          // past the master's 256 MiB
        {local, 0x4FFFFFF8, 16},          // straddles its end
        {0x20000000, 0x40010000, 16},     // below the slave's RAM
        {local, 0x40010000, 0},
    };
    for (const Case& c : bad) {
        PCIV_DMA_BLOCK_S b{c.src, c.dst, c.size};
        PCIV_DMA_TASK_S t{1, 0, &b};
        EXPECT_NE(MK_MPI_PCIV_DmaTask(&t), 0) << std::hex << c.src << " " << c.dst;
    }
    MK_MPI_PCIV_Free(1, &local);
}

TEST_F(PcivTest, DmaBlockCountLimitAndPassThroughCodes) {
    MK_U32 local = 0;
    ASSERT_EQ(MK_MPI_PCIV_Malloc(128 * 16, 1, &local), 0);
    std::vector<PCIV_DMA_BLOCK_S> blocks(129);
    for (MK_U32 i = 0; i < 129; ++i) blocks[i] = {local + i * 16, 0x40020000 + i * 16, 16};
    PCIV_DMA_TASK_S task{129, 0, blocks.data()};
    EXPECT_EQ(static_cast<uint32_t>(MK_MPI_PCIV_DmaTask(&task)), 0xA01A800Du);
    EXPECT_EQ(driver()->RequestCount(PCIV_DMATASK_CTRL), 0);
    task.u32Count = 128;
    EXPECT_EQ(MK_MPI_PCIV_DmaTask(&task), 0);

    driver()->FailRequest(PCIV_DMATASK_CTRL, kBusy, 2);
    EXPECT_EQ(MK_MPI_PCIV_DmaTask(&task), kBusy);
    EXPECT_EQ(MK_MPI_PCIV_DmaTask(&task), kBusy);
    EXPECT_EQ(MK_MPI_PCIV_DmaTask(&task), 0);

    driver()->FailRequest(PCIV_DMATASK_CTRL, -1, 3, EINTR);
    EXPECT_EQ(MK_MPI_PCIV_DmaTask(&task), 0) << "interrupted requests are repeated";
    EXPECT_EQ(static_cast<uint32_t>(MK_MPI_PCIV_DmaTask(nullptr)), 0xA01A8006u);
    MK_MPI_PCIV_Free(1, &local);
}

TEST_F(PcivTest, ChipQueries) {
    PCIV_BASEWINDOW_S win{};
    ASSERT_EQ(MK_MPI_PCIV_GetBaseWindow(0, &win), 0);
    EXPECT_EQ(win.s32ChipId, 0);
    EXPECT_EQ(win.u32PfWinBase, 0x9f800000u);
    EXPECT_EQ(win.u32PfAHBAddr, 0x9f800000u);
    EXPECT_EQ(static_cast<uint32_t>(MK_MPI_PCIV_GetBaseWindow(0, nullptr)), 0xA01A8006u);
    EXPECT_EQ(MK_MPI_PCIV_GetLocalId(), 1);
    MK_S32 ids[PCIV_MAX_CHIPNUM];
    ASSERT_EQ(MK_MPI_PCIV_EnumChip(ids), 0);
    EXPECT_EQ(ids[0], 0);
    driver()->FailRequest(PCIV_GETLOCALID_CTRL, static_cast<int>(0xA01A8010u), 1);
    EXPECT_EQ(MK_MPI_PCIV_GetLocalId(), -1);

    PCIV_WINVBCFG_S cfg{2, {4096, 8192}, {4, 2}};
    EXPECT_EQ(MK_MPI_PCIV_WinVbDestroy(), 0);
    ASSERT_EQ(MK_MPI_PCIV_WinVbCreate(&cfg), 0);
    PCIV_WINVBCFG_S got{};
    EXPECT_TRUE(drivers::PcivWinVbCreated(&got));
    EXPECT_EQ(std::memcmp(&got, &cfg, sizeof(cfg)), 0);
    EXPECT_EQ(MK_MPI_PCIV_WinVbDestroy(), 0);
}

TEST_F(PcivTest, FailedBindClosesTheSlotAndTheNextCallBindsAgain) {
    driver()->FailRequest(PCIV_BINDCHN2FD_CTRL, -1, 1, EIO);
    int filesBefore = driver()->OpenFiles();
    EXPECT_EQ(static_cast<uint32_t>(MK_MPI_PCIV_Start(40)), 0xA01A8010u);
    EXPECT_EQ(driver()->OpenFiles(), filesBefore) << "the refused bind closed its descriptor";
    int opensBefore = driver()->OpenCount();
    EXPECT_NE(MK_MPI_PCIV_Start(40), static_cast<MK_S32>(0xA01A8010u)) << "opens and binds again";
    EXPECT_EQ(driver()->OpenCount(), opensBefore + 1);

    driver()->FailOpen(ENOENT, 1);
    EXPECT_EQ(static_cast<uint32_t>(MK_MPI_PCIV_Stop(41)), 0xA01A8010u);
}

TEST_F(PcivTest, ConcurrentFirstCallsOpenOnce) {
    std::vector<std::thread> threads;
    std::atomic<int> ok{0};
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] {
            if (MK_MPI_PCIV_Stop(77) != static_cast<MK_S32>(0xA01A8010u)) ++ok;
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(ok.load(), 8);
    EXPECT_EQ(driver()->OpenCount(), 1);
    EXPECT_EQ(driver()->RequestCount(PCIV_BINDCHN2FD_CTRL), 1);
}

}  // namespace
