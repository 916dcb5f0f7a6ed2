#include "sdk/audio/mem/audio_mem.h"

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/dev/driver.h"
#include "platform/drivers/mem/mem_driver.h"
#include "platform/drivers/mmz/mmz_driver.h"
#include "platform/mem/zone.h"
#include "sdk/common/testing/bus_environment.h"
#include "sdk/sys/mk_mmz.h"

namespace {

namespace dev = varnelle::dev;
using varnelle::drivers::MmzDriver;

MmzDriver& Zone() { return *dev::Registry::Get<MmzDriver>("/dev/mmz_userdev"); }

class AudioMemTest : public ::testing::Test {
protected:
    void SetUp() override { m_before = Zone().BlockCount(); }
    void TearDown() override {
        Zone().ClearFaults();
        EXPECT_EQ(Zone().BlockCount(), m_before) << "a test left a block";
    }
    size_t m_before = 0;
};

TEST_F(AudioMemTest, FirstOpensOfManyThreadsOpenTheZoneOnce) {
    constexpr int kThreads = 8;
    const int opensBefore = Zone().OpenCount();
    std::vector<std::thread> threads;
    std::vector<MK_U32> phys(kThreads);
    std::vector<void*> vir(kThreads);
    std::atomic<int> ok{0};
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            if (MPI_AUDIO_MmzAlloc("AO(0,0) CirBuf", &phys[i], &vir[i], 4096) == 0) ++ok;
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(ok.load(), kThreads);
    EXPECT_EQ(Zone().OpenCount() - opensBefore, 1);
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_EQ(MPI_AUDIO_MmzFree(phys[i], vir[i]), 0);
    }
}

TEST_F(AudioMemTest, BlockIsNamedMappedAndWritableThenFreed) {
    MK_U32 phys = 0;
    void* vir = nullptr;
    ASSERT_EQ(MPI_AUDIO_MmzAlloc("AENC(12)StrmBufXYZ", &phys, &vir, 65536), 0);
    ASSERT_NE(vir, nullptr);
    EXPECT_TRUE(Zone().Owns(phys));
    EXPECT_EQ(Zone().MapCount(phys), 1);
    auto block = varnelle::mem::ZoneAllocator::Local().Find(phys);
    ASSERT_TRUE(block.has_value());
    EXPECT_EQ(block->name, "AENC(12)StrmBuf");  // 15 characters kept
    std::memset(vir, 0x5A, 65536);
    EXPECT_EQ(static_cast<unsigned char*>(vir)[65535], 0x5A);
    EXPECT_EQ(MPI_AUDIO_MmzFree(phys, nullptr), 0);
    EXPECT_FALSE(Zone().Owns(phys));
}

TEST_F(AudioMemTest, RefusedRequestsFailAndLeaveNothingAllocated) {
    MK_U32 phys = 0;
    void* vir = nullptr;
    Zone().FailRequest(MK_MMZ_IOC_ALLOC, -1, 1, ENOMEM);
    EXPECT_EQ(MPI_AUDIO_MmzAlloc("a", &phys, &vir, 4096), -1);
    Zone().FailRequest(MK_MMZ_IOC_REMAP, -1, 1, ENOMEM);
    EXPECT_EQ(MPI_AUDIO_MmzAlloc("b", &phys, &vir, 4096), -1);  // the block is given back
    EXPECT_EQ(MPI_AUDIO_MmzAlloc("c", nullptr, &vir, 4096), -1);
    EXPECT_EQ(MPI_AUDIO_MmzFree(0x12345000, nullptr), -1);
    ASSERT_EQ(MPI_AUDIO_MmzAlloc("d", &phys, &vir, 4096), 0);
    Zone().FailRequest(MK_MMZ_IOC_UNMAP, -1, 1, EINVAL);
    EXPECT_EQ(MPI_AUDIO_MmzFree(phys, vir), -1);
    EXPECT_EQ(MPI_AUDIO_MmzFree(phys, vir), 0);
}

TEST_F(AudioMemTest, MemNodeOpens) { EXPECT_EQ(MPI_AUDIO_OpenMem(), 0); }

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new mk::testing::BusEnvironment("audiomem", [] {
        varnelle::drivers::InstallMmzDriver();
        varnelle::drivers::InstallMemDriver();
    }));
    return RUN_ALL_TESTS();
}
