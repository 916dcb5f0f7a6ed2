#include "sdk/vb/mpi_vb.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/drivers/core/kernel.h"
#include "platform/drivers/core/vb_pools.h"
#include "platform/drivers/mem/mem_driver.h"
#include "platform/drivers/vb/vb_driver.h"
#include "platform/drivers/vb/vb_plan_testing.h"
#include "platform/host/test_bus.h"
#include "platform/mem/ram.h"
#include "sdk/sys/mpi_sys.h"
#include "sdk/vb/mpi_vb_testing.h"

namespace {

using varnelle::drivers::VbDriver;
using varnelle::drivers::VbPools;

constexpr MK_S32 kIllegal = MK_ERR(MK_ID_VB, MK_ERR_ILLEGAL_PARAM);
constexpr MK_S32 kNullPtr = MK_ERR(MK_ID_VB, MK_ERR_NULL_PTR);
constexpr MK_S32 kNotReady = MK_ERR(MK_ID_VB, MK_ERR_SYS_NOTREADY);
constexpr MK_S32 kBusy = MK_ERR(MK_ID_VB, MK_ERR_BUSY);
constexpr MK_S32 kUnexist = MK_ERR(MK_ID_VB, MK_ERR_UNEXIST);

using varnelle::drivers::vb_testing::Plan;

class VbTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        varnelle::host::UsePrivateBus("mpivb");
        varnelle::drivers::InstallVbDriver();
        varnelle::drivers::InstallMemDriver();
        s_driver = varnelle::dev::Registry::Get<VbDriver>("/dev/vb");
    }
    void SetUp() override { Fresh(); }
    void TearDown() override { Fresh(); }
    static void Fresh() {
        mk::vb_testing::CloseDevice();
        varnelle::drivers::ResetMediaState();
        s_driver->ClearFaults();
        s_driver->ResetCounters();
    }
    static void StartCommonPools(const VB_CONF_S& conf) {
        ASSERT_EQ(MK_MPI_VB_SetConf(&conf), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_VB_Init(), MK_SUCCESS);
    }
    // Mappings of this chip's RAM file in the process.
    static int RamMappings() {
        std::ifstream maps("/proc/self/maps");
        std::string line;
        int n = 0;
        const std::string& ram = varnelle::mem::Ram::Local().path();
        while (std::getline(maps, line)) n += line.find(ram) != std::string::npos;
        return n;
    }

    static inline std::shared_ptr<VbDriver> s_driver;
};

TEST_F(VbTest, InjectedDriverCodesReachTheCallerBitForBit) {
    StartCommonPools(Plan({{4096, 2}}));
    VB_POOL mapped = MK_MPI_VB_CreatePool(4096, 1, nullptr);
    VB_POOL unmapped = MK_MPI_VB_CreatePool(4096, 1, nullptr);
    VB_POOL exMapped = MK_MPI_VB_CreatePoolEx(4096, 1, nullptr);
    ASSERT_EQ(MK_MPI_VB_MmapPool(mapped), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VB_MmapPoolEx(exMapped), MK_SUCCESS);
    VB_CONF_S conf = Plan({{4096, 2}});
    VB_SETTING_S setting{};
    const MK_S32 code = static_cast<MK_S32>(0xA001805Au);
    struct Case {
        const char* name;
        unsigned long request;
        std::function<MK_S32()> call;
    } cases[] = {
        {"SetConf", VB_IOC_SET_CONF, [&] { return MK_MPI_VB_SetConf(&conf); }},
        {"GetConf", VB_IOC_GET_CONF, [&] { return MK_MPI_VB_GetConf(&conf); }},
        {"DestroyPool", VB_IOC_DESTROY_POOL, [&] { return MK_MPI_VB_DestroyPool(unmapped); }},
        {"DestroyPoolEx", VB_IOC_DESTROY_POOL_EX, [&] { return MK_MPI_VB_DestroyPoolEx(exMapped); }},
        {"ReleaseBlock", VB_IOC_RELEASE_BLOCK, [] { return MK_MPI_VB_ReleaseBlock(0); }},
        {"ReleaseBlockEx", VB_IOC_RELEASE_BLOCK_EX, [] { return MK_MPI_VB_ReleaseBlockEx(0); }},
        {"MmapPool", VB_IOC_POOL_MAP_INFO, [&] { return MK_MPI_VB_MmapPool(unmapped); }},
        {"MmapPoolEx", VB_IOC_POOL_MAP_INFO_EX, [&] { return MK_MPI_VB_MmapPoolEx(200); }},
        {"MunmapPool", VB_IOC_POOL_IN_USE, [&] { return MK_MPI_VB_MunmapPool(mapped); }},
        {"MunmapPoolEx", VB_IOC_POOL_IN_USE_EX, [&] { return MK_MPI_VB_MunmapPoolEx(exMapped); }},
        {"InitModCommPool", VB_IOC_INIT_MOD_POOL, [] { return MK_MPI_VB_InitModCommPool(4); }},
        {"ExitModCommPool", VB_IOC_EXIT_MOD_POOL, [] { return MK_MPI_VB_ExitModCommPool(4); }},
        {"SetModPoolConf", VB_IOC_SET_MOD_POOL_CONF, [&] { return MK_MPI_VB_SetModPoolConf(4, &conf); }},
        {"SetSetting", VB_IOC_SET_SETTING, [&] { return MK_MPI_VB_SetSetting(&setting); }},
        {"GetSetting", VB_IOC_GET_SETTING, [&] { return MK_MPI_VB_GetSetting(&setting); }},
        // Last: both prepare the map tables anew.
        {"Init", VB_IOC_INIT, [] { return MK_MPI_VB_Init(); }},
        {"Exit", VB_IOC_EXIT, [] { return MK_MPI_VB_Exit(); }},
    };
    for (const Case& c : cases) {
        int sent = s_driver->RequestCount(c.request);
        s_driver->FailRequest(c.request, code);
        EXPECT_EQ(static_cast<MK_U32>(c.call()), 0xA001805Au) << c.name;
        EXPECT_EQ(s_driver->RequestCount(c.request), sent + 1) << c.name;
    }
    // Calls that return a value fold every refusal into their failure value.
    struct ValueCase {
        const char* name;
        unsigned long request;
        std::function<MK_U32()> call;
        MK_U32 failure;
    } values[] = {
        {"CreatePool", VB_IOC_CREATE_POOL, [] { return MK_MPI_VB_CreatePool(64, 1, ""); }, VB_INVALID_POOLID},
        {"CreatePoolEx", VB_IOC_CREATE_POOL_EX, [] { return MK_MPI_VB_CreatePoolEx(64, 1, ""); },
         VB_INVALID_POOLID},
        {"GetBlock", VB_IOC_GET_BLOCK, [] { return MK_MPI_VB_GetBlock(VB_INVALID_POOLID, 64, nullptr); },
         VB_INVALID_HANDLE},
        {"GetBlockEx", VB_IOC_GET_BLOCK_EX, [&] { return MK_MPI_VB_GetBlockEx(exMapped, 64, nullptr); },
         VB_INVALID_HANDLE},
        {"Handle2PhysAddr", VB_IOC_HANDLE2PHYS, [] { return MK_MPI_VB_Handle2PhysAddr(0); }, 0},
        {"Handle2PhysAddrEx", VB_IOC_HANDLE2PHYS_EX, [] { return MK_MPI_VB_Handle2PhysAddrEx(0); }, 0},
        {"Handle2PoolId", VB_IOC_HANDLE2POOL, [] { return MK_MPI_VB_Handle2PoolId(0); }, VB_INVALID_POOLID},
        {"QueryBlock", VB_IOC_QUERY_BLOCK, [] { return static_cast<MK_U32>(MK_MPI_VB_QueryBlock(0)); },
         0xFFFFFFFFu},
        {"CreateUserPool", VB_IOC_CREATE_CALLER_POOL, [] { return MK_MPI_VB_CreateUserPool(2, nullptr); },
         VB_INVALID_POOLID},
        {"AddUserBlock", VB_IOC_ADD_CALLER_BLOCK, [] { return MK_MPI_VB_AddUserBlock(0, 0x70000000, 64); },
         VB_INVALID_HANDLE},
    };
    for (const ValueCase& c : values) {
        int sent = s_driver->RequestCount(c.request);
        s_driver->FailRequest(c.request, code);
        EXPECT_EQ(c.call(), c.failure) << c.name;
        EXPECT_EQ(s_driver->RequestCount(c.request), sent + 1) << c.name;
    }
}

TEST_F(VbTest, IdsOnePastTheRangeAreRefusedAndOpenNothing) {
    VB_CONF_S conf = Plan({{4096, 1}});
    void* addr = nullptr;
    struct Case {
        const char* name;
        std::function<MK_S32()> call;
        MK_S32 want;
    } cases[] = {
        {"MmapPool 256", [] { return MK_MPI_VB_MmapPool(256); }, kIllegal},
        {"MmapPool -1", [] { return MK_MPI_VB_MmapPool(VB_INVALID_POOLID); }, kIllegal},
        {"MunmapPool 256", [] { return MK_MPI_VB_MunmapPool(256); }, kIllegal},
        {"GetBlkVirAddr 256", [&] { return MK_MPI_VB_GetBlkVirAddr(256, 0x40000000, &addr); }, kIllegal},
        {"GetBlkVirAddr null", [] { return MK_MPI_VB_GetBlkVirAddr(256, 0x40000000, nullptr); }, kNullPtr},
        {"MmapPoolEx 256", [] { return MK_MPI_VB_MmapPoolEx(256); }, kIllegal},
        {"MunmapPoolEx 256", [] { return MK_MPI_VB_MunmapPoolEx(256); }, kIllegal},
        {"GetBlkVirAddrEx 256", [&] { return MK_MPI_VB_GetBlkVirAddrEx(256, 0x40000000, &addr); }, kIllegal},
        {"DestroyPool 256", [] { return MK_MPI_VB_DestroyPool(256); }, kIllegal},
        {"DestroyPoolEx -1", [] { return MK_MPI_VB_DestroyPoolEx(VB_INVALID_POOLID); }, kIllegal},
        {"InitModCommPool 22", [] { return MK_MPI_VB_InitModCommPool(22); }, kIllegal},
        {"InitModCommPool -1", [] { return MK_MPI_VB_InitModCommPool(static_cast<MK_U32>(-1)); }, kIllegal},
        {"ExitModCommPool 22", [] { return MK_MPI_VB_ExitModCommPool(22); }, kIllegal},
        {"SetModPoolConf 22", [&] { return MK_MPI_VB_SetModPoolConf(22, &conf); }, kIllegal},
        {"SetModPoolConf 22 null", [] { return MK_MPI_VB_SetModPoolConf(22, nullptr); }, kIllegal},
        {"GetBlock 256", [] { return static_cast<MK_S32>(MK_MPI_VB_GetBlock(256, 64, nullptr)); }, -1},
        {"AddUserBlock 256", [] { return static_cast<MK_S32>(MK_MPI_VB_AddUserBlock(256, 0x70000000, 64)); }, -1},
        {"AddUserBlock -1", [] { return static_cast<MK_S32>(MK_MPI_VB_AddUserBlock(-1, 0x70000000, 64)); }, -1},
        {"AddUserBlock phys 0", [] { return static_cast<MK_S32>(MK_MPI_VB_AddUserBlock(0, 0, 64)); }, -1},
        {"AddUserBlock size 0", [] { return static_cast<MK_S32>(MK_MPI_VB_AddUserBlock(0, 0x70000000, 0)); }, -1},
    };
    for (const Case& c : cases) EXPECT_EQ(c.call(), c.want) << c.name;
    EXPECT_EQ(s_driver->OpenCount(), 0);
    // The last ids in range go to the driver, which knows no such pool or is not started.
    EXPECT_EQ(MK_MPI_VB_MmapPool(255), kUnexist);
    EXPECT_EQ(MK_MPI_VB_MmapPoolEx(255), kUnexist);
    EXPECT_EQ(MK_MPI_VB_InitModCommPool(21), kNotReady);
    EXPECT_EQ(MK_MPI_VB_ExitModCommPool(21), MK_SUCCESS);
    EXPECT_EQ(s_driver->OpenCount(), 1);
}

TEST_F(VbTest, AFailedOpenGivesEachCallsFailureValueAndTheNextCallOpensAgain) {
    VB_CONF_S conf{};
    struct Case {
        const char* name;
        std::function<MK_U32()> call;
        MK_U32 want;
    } cases[] = {
        {"CreatePool", [] { return MK_MPI_VB_CreatePool(64, 1, nullptr); }, VB_INVALID_POOLID},
        {"CreatePoolEx", [] { return MK_MPI_VB_CreatePoolEx(64, 1, nullptr); }, VB_INVALID_POOLID},
        {"CreateUserPool", [] { return MK_MPI_VB_CreateUserPool(1, nullptr); }, VB_INVALID_POOLID},
        {"GetBlock", [] { return MK_MPI_VB_GetBlock(VB_INVALID_POOLID, 64, nullptr); }, VB_INVALID_HANDLE},
        {"GetBlockEx", [] { return MK_MPI_VB_GetBlockEx(0, 64, nullptr); }, VB_INVALID_HANDLE},
        {"AddUserBlock", [] { return MK_MPI_VB_AddUserBlock(0, 0x70000000, 64); }, VB_INVALID_HANDLE},
        {"Handle2PhysAddr", [] { return MK_MPI_VB_Handle2PhysAddr(0); }, 0},
        {"Handle2PhysAddrEx", [] { return MK_MPI_VB_Handle2PhysAddrEx(0); }, 0},
        {"Handle2PoolId", [] { return MK_MPI_VB_Handle2PoolId(0); }, VB_INVALID_POOLID},
        {"QueryBlock", [] { return static_cast<MK_U32>(MK_MPI_VB_QueryBlock(0)); }, 0xFFFFFFFFu},
        {"GetConf", [&] { return static_cast<MK_U32>(MK_MPI_VB_GetConf(&conf)); }, 0xA0018010u},
        {"GetFd", [] { return static_cast<MK_U32>(MK_MPI_VB_GetFd()); }, 0xA0018010u},
        {"MmapPool", [] { return static_cast<MK_U32>(MK_MPI_VB_MmapPool(0)); }, 0xA0018010u},
        {"Init", [] { return static_cast<MK_U32>(MK_MPI_VB_Init()); }, 0xA0018010u},
    };
    for (const Case& c : cases) {
        mk::vb_testing::CloseDevice();
        s_driver->ResetCounters();
        s_driver->FailOpen(ENOENT, 1);
        EXPECT_EQ(c.call(), c.want) << c.name;
        int fd = MK_MPI_VB_GetFd();
        EXPECT_GE(fd, 3) << c.name;
        EXPECT_EQ(s_driver->OpenCount(), 1) << c.name << ": the failed open left the slot closed";
        EXPECT_EQ(MK_MPI_VB_GetFd(), fd) << c.name << ": kept";
    }
}

TEST_F(VbTest, ThreadsMakingTheFirstCallTogetherOpenOnce) {
    constexpr int kThreads = 8;
    std::atomic<int> waiting{kThreads};
    std::vector<int> fds(kThreads, -1);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            waiting.fetch_sub(1);
            while (waiting.load() > 0) {
            }
            VB_SETTING_S setting;
            if (MK_MPI_VB_GetSetting(&setting) == MK_SUCCESS) fds[i] = MK_MPI_VB_GetFd();
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(s_driver->OpenCount(), 1);
    EXPECT_EQ(s_driver->OpenFiles(), 1);
    for (int fd : fds) EXPECT_EQ(fd, fds[0]);
    EXPECT_GE(fds[0], 3);
}

TEST_F(VbTest, BlocksNeverOverlapAndHandlePhysicalAndPoolAgree) {
    StartCommonPools(Plan({{1000, 3}, {4096, 2}, {10000, 2}}));
    VB_POOL own = MK_MPI_VB_CreatePool(777, 3, nullptr);
    ASSERT_NE(own, VB_INVALID_POOLID);
    std::vector<VB_BLK> blocks;
    for (MK_U32 size : {900u, 4000u, 9000u, 1u}) {
        for (VB_BLK b; (b = MK_MPI_VB_GetBlock(VB_INVALID_POOLID, size, nullptr)) != VB_INVALID_HANDLE;) {
            blocks.push_back(b);
        }
    }
    EXPECT_EQ(blocks.size(), 7u) << "every common block, none of the pool made by id";
    for (VB_BLK b; (b = MK_MPI_VB_GetBlock(own, 5000, nullptr)) != VB_INVALID_HANDLE;) blocks.push_back(b);
    ASSERT_EQ(blocks.size(), 10u);
    std::vector<std::pair<MK_U32, MK_U32>> ranges;
    for (VB_BLK b : blocks) {
        MK_U32 phys = MK_MPI_VB_Handle2PhysAddr(b);
        VB_POOL pool = MK_MPI_VB_Handle2PoolId(b);
        ASSERT_NE(phys, 0u);
        auto info = VbPools::Instance().Pool(static_cast<int>(pool));
        ASSERT_TRUE(info);
        EXPECT_GE(phys, info->phys);
        EXPECT_LE(phys + info->blockSize, info->phys + info->size) << "the block lies in its pool";
        EXPECT_EQ(MK_MPI_VB_QueryBlock(b), 1);
        ranges.emplace_back(phys, phys + info->blockSize);
    }
    std::sort(ranges.begin(), ranges.end());
    for (size_t i = 1; i < ranges.size(); ++i) EXPECT_LE(ranges[i - 1].second, ranges[i].first);
    for (VB_BLK b : blocks) EXPECT_EQ(MK_MPI_VB_ReleaseBlock(b), MK_SUCCESS);
    EXPECT_EQ(MK_MPI_VB_ReleaseBlock(blocks[0]), kUnexist) << "released twice";
    EXPECT_EQ(MK_MPI_VB_Handle2PhysAddr(blocks[0]), 0u);
    EXPECT_EQ(MK_MPI_VB_Handle2PoolId(blocks[0]), VB_INVALID_POOLID);
}

TEST_F(VbTest, UnmapOfAPoolInUseIsRefusedAndKeepsTheMapping) {
    VB_POOL pool = MK_MPI_VB_CreatePool(4096, 2, nullptr);
    ASSERT_EQ(MK_MPI_VB_MmapPool(pool), MK_SUCCESS);
    VB_BLK b = MK_MPI_VB_GetBlock(pool, 0, nullptr);
    MK_U32 phys = MK_MPI_VB_Handle2PhysAddr(b);
    void* addr = nullptr;
    ASSERT_EQ(MK_MPI_VB_GetBlkVirAddr(pool, phys, &addr), MK_SUCCESS);
    EXPECT_EQ(MK_MPI_VB_MunmapPool(pool), kBusy);
    void* again = nullptr;
    ASSERT_EQ(MK_MPI_VB_GetBlkVirAddr(pool, phys, &again), MK_SUCCESS);
    EXPECT_EQ(again, addr);
    std::memset(addr, 0x11, 4096);  // still mapped: must not fault
    ASSERT_EQ(MK_MPI_VB_ReleaseBlock(b), MK_SUCCESS);
    EXPECT_EQ(MK_MPI_VB_MunmapPool(pool), MK_SUCCESS);
    EXPECT_EQ(MK_MPI_VB_GetBlkVirAddr(pool, phys, &again), kNotReady);
    EXPECT_EQ(MK_MPI_VB_MunmapPool(pool), MK_SUCCESS) << "unmapping an unmapped pool";
}

TEST_F(VbTest, ThePoolMappingAndDevMemSeeTheSameBytes) {
    StartCommonPools(Plan({{8192, 2}}));
    VB_BLK b = MK_MPI_VB_GetBlock(VB_INVALID_POOLID, 8000, nullptr);
    ASSERT_NE(b, VB_INVALID_HANDLE);
    VB_POOL pool = MK_MPI_VB_Handle2PoolId(b);
    MK_U32 phys = MK_MPI_VB_Handle2PhysAddr(b);
    ASSERT_EQ(MK_MPI_VB_MmapPool(pool), MK_SUCCESS);
    unsigned char* viaPool = nullptr;
    ASSERT_EQ(MK_MPI_VB_GetBlkVirAddr(pool, phys + 100, reinterpret_cast<void**>(&viaPool)), MK_SUCCESS);
    auto* viaMem = static_cast<unsigned char*>(MK_MPI_SYS_Mmap(phys + 100, 8000));
    ASSERT_NE(viaMem, nullptr);
    for (int i = 0; i < 8000; ++i) viaPool[i] = static_cast<unsigned char>(i * 7);
    for (int i = 0; i < 8000; i += 997) EXPECT_EQ(viaMem[i], static_cast<unsigned char>(i * 7)) << i;
    viaMem[4321] = 0xEE;
    EXPECT_EQ(viaPool[4321], 0xEE);
    EXPECT_EQ(MK_MPI_SYS_Munmap(viaMem, 8000), 0);
    MK_MPI_VB_ReleaseBlock(b);
}

TEST_F(VbTest, ModuleCommonPoolsServeTheirModuleOnly) {
    StartCommonPools(Plan({{1024, 1}}));
    VB_CONF_S plan = Plan({{65536, 2}});
    ASSERT_EQ(MK_MPI_VB_SetModPoolConf(4, &plan), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VB_InitModCommPool(4), MK_SUCCESS);
    std::vector<int> pools = s_driver->ModulePools(4);
    ASSERT_EQ(pools.size(), 1u);
    EXPECT_EQ(MK_MPI_VB_GetBlock(VB_INVALID_POOLID, 60000, nullptr), VB_INVALID_HANDLE)
        << "a request for any pool takes only common pools";
    VB_BLK b = MK_MPI_VB_GetBlock(pools[0], 0, nullptr);
    ASSERT_NE(b, VB_INVALID_HANDLE);
    EXPECT_EQ(MK_MPI_VB_ExitModCommPool(4), kBusy);
    ASSERT_EQ(MK_MPI_VB_ReleaseBlock(b), MK_SUCCESS);
    EXPECT_EQ(MK_MPI_VB_ExitModCommPool(4), MK_SUCCESS);
    EXPECT_EQ(MK_MPI_VB_ExitModCommPool(4), MK_SUCCESS) << "nothing left to exit";
    EXPECT_EQ(MK_MPI_VB_SetModPoolConf(21, &plan), MK_SUCCESS);
    EXPECT_EQ(MK_MPI_VB_InitModCommPool(21), MK_SUCCESS);
    EXPECT_EQ(MK_MPI_VB_SetModPoolConf(3, nullptr), kNullPtr);
}

TEST_F(VbTest, TheExFamilyHasItsOwnPoolsAndMapTable) {
    VB_POOL pool = MK_MPI_VB_CreatePoolEx(2048, 2, nullptr);
    ASSERT_NE(pool, VB_INVALID_POOLID);
    EXPECT_EQ(MK_MPI_VB_GetBlock(VB_INVALID_POOLID, 100, nullptr), VB_INVALID_HANDLE);
    VB_BLK b = MK_MPI_VB_GetBlockEx(VB_INVALID_POOLID, 100, nullptr);
    ASSERT_NE(b, VB_INVALID_HANDLE);
    MK_U32 phys = MK_MPI_VB_Handle2PhysAddrEx(b);
    EXPECT_EQ(MK_MPI_VB_Handle2PhysAddr(b), 0u) << "not a public block";
    EXPECT_EQ(MK_MPI_VB_ReleaseBlock(b), kUnexist);
    ASSERT_EQ(MK_MPI_VB_MmapPoolEx(pool), MK_SUCCESS);
    void* addr = nullptr;
    ASSERT_EQ(MK_MPI_VB_GetBlkVirAddrEx(pool, phys, &addr), MK_SUCCESS);
    EXPECT_EQ(MK_MPI_VB_GetBlkVirAddr(pool, phys, &addr), kNotReady) << "the public table is separate";
    EXPECT_EQ(MK_MPI_VB_MunmapPoolEx(pool), kBusy);
    EXPECT_EQ(MK_MPI_VB_DestroyPoolEx(pool), kBusy);
    ASSERT_EQ(MK_MPI_VB_ReleaseBlockEx(b), MK_SUCCESS);
    EXPECT_EQ(MK_MPI_VB_MunmapPoolEx(pool), MK_SUCCESS);
    EXPECT_EQ(MK_MPI_VB_DestroyPool(pool), kUnexist) << "not a public pool";
    EXPECT_EQ(MK_MPI_VB_DestroyPoolEx(pool), MK_SUCCESS);
}

TEST_F(VbTest, ZoneNamesOfSixteenCharactersAreRefusedOnlyInUsedEntries) {
    VB_CONF_S conf = Plan({{4096, 1}, {4096, 0}});
    std::memcpy(conf.astCommPool[1].acMmzName, "0123456789abcdef", 16);
    std::memcpy(conf.astCommPool[2].acMmzName, "0123456789abcdef", 16);  // size 0 too
    EXPECT_EQ(MK_MPI_VB_SetConf(&conf), MK_SUCCESS);
    std::memcpy(conf.astCommPool[0].acMmzName, "0123456789abcdef", 16);
    EXPECT_EQ(MK_MPI_VB_SetConf(&conf), kIllegal);
    EXPECT_EQ(MK_MPI_VB_SetModPoolConf(4, &conf), kIllegal);
    EXPECT_EQ(s_driver->RequestCount(VB_IOC_SET_CONF), 1) << "refused before the request";
    EXPECT_EQ(s_driver->RequestCount(VB_IOC_SET_MOD_POOL_CONF), 0);
    EXPECT_EQ(MK_MPI_VB_SetConf(nullptr), kNullPtr);
}

TEST_F(VbTest, MappingTwiceMapsOnce) {
    VB_POOL pool = MK_MPI_VB_CreatePool(4096, 1, nullptr);
    int before = RamMappings();
    EXPECT_EQ(MK_MPI_VB_MmapPool(pool), MK_SUCCESS);
    EXPECT_EQ(MK_MPI_VB_MmapPool(pool), MK_SUCCESS);
    EXPECT_EQ(s_driver->RequestCount(VB_IOC_POOL_MAP_INFO), 1);
    EXPECT_EQ(RamMappings(), before + 1);
}

TEST_F(VbTest, TranslationRefusesAddressesOutsideThePool) {
    VB_POOL pool = MK_MPI_VB_CreatePool(1000, 3, nullptr);
    auto info = *VbPools::Instance().Pool(static_cast<int>(pool));
    void* base = nullptr;
    ASSERT_EQ(MK_MPI_VB_MmapPool(pool), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VB_GetBlkVirAddr(pool, info.phys, &base), MK_SUCCESS);
    struct Case {
        MK_U32 phys;
        MK_S32 want;
    } cases[] = {
        {info.phys + info.size - 1, MK_SUCCESS}, {info.phys + info.size, kIllegal},
        {info.phys - 1, kIllegal},               {0, kIllegal},
        {0xFFFFFFFF, kIllegal},
    };
    for (const Case& c : cases) {
        void* addr = reinterpret_cast<void*>(1);
        EXPECT_EQ(MK_MPI_VB_GetBlkVirAddr(pool, c.phys, &addr), c.want) << std::hex << c.phys;
        if (c.want == MK_SUCCESS) {
            EXPECT_EQ(addr, static_cast<char*>(base) + (c.phys - info.phys));
        } else {
            EXPECT_EQ(addr, reinterpret_cast<void*>(1)) << "untouched";
        }
    }
}

TEST_F(VbTest, ExitUnmapsWhatItMappedButKeepsPoolsWhoseBlocksAreHeld) {
    StartCommonPools(Plan({{4096, 1}, {8192, 1}}));
    std::vector<int> common = s_driver->CommonPools();
    int before = RamMappings();
    for (int pool : common) ASSERT_EQ(MK_MPI_VB_MmapPool(pool), MK_SUCCESS);
    VB_BLK held = MK_MPI_VB_GetBlock(common[1], 0, nullptr);
    MK_U32 phys = MK_MPI_VB_Handle2PhysAddr(held);
    EXPECT_EQ(MK_MPI_VB_Exit(), kBusy);
    EXPECT_EQ(RamMappings(), before + 1) << "the unused pool's mapping went";
    void* addr = nullptr;
    ASSERT_EQ(MK_MPI_VB_GetBlkVirAddr(common[1], phys, &addr), MK_SUCCESS);
    std::memset(addr, 0x22, 8192);  // its holder may still write
    ASSERT_EQ(MK_MPI_VB_ReleaseBlock(held), MK_SUCCESS);
    EXPECT_EQ(MK_MPI_VB_Exit(), MK_SUCCESS);
    EXPECT_EQ(RamMappings(), before);
    EXPECT_EQ(MK_MPI_VB_GetBlkVirAddr(common[1], phys, &addr), kNotReady);
}

TEST_F(VbTest, InitAgainDropsUnusedMappingsAndKeepsTranslationsOfHeldPools) {
    StartCommonPools(Plan({{4096, 2}}));
    int pool = s_driver->CommonPools()[0];
    ASSERT_EQ(MK_MPI_VB_MmapPool(pool), MK_SUCCESS);
    VB_BLK b = MK_MPI_VB_GetBlock(pool, 0, nullptr);
    MK_U32 phys = MK_MPI_VB_Handle2PhysAddr(b);
    void* want = nullptr;
    ASSERT_EQ(MK_MPI_VB_GetBlkVirAddr(pool, phys, &want), MK_SUCCESS);
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::atomic<int> rounds{0};
    std::thread translator([&] {
        while (!stop.load()) {
            void* addr = nullptr;
            if (MK_MPI_VB_GetBlkVirAddr(pool, phys, &addr) != MK_SUCCESS || addr != want) ++bad;
            ++rounds;
        }
    });
    for (int i = 0; i < 200; ++i) EXPECT_EQ(MK_MPI_VB_Init(), MK_SUCCESS);
    while (rounds.load() < 100) {
    }
    stop = true;
    translator.join();
    EXPECT_EQ(bad.load(), 0);
    ASSERT_EQ(MK_MPI_VB_ReleaseBlock(b), MK_SUCCESS);
    int before = RamMappings();
    EXPECT_EQ(MK_MPI_VB_Init(), MK_SUCCESS);
    EXPECT_EQ(RamMappings(), before - 1) << "no longer in use: prepared anew";
}

TEST_F(VbTest, DestroyDropsThePoolsMappingSoALaterPoolOfTheSameIdMapsAnew) {
    VB_POOL first = MK_MPI_VB_CreatePool(4096, 1, nullptr);
    ASSERT_EQ(MK_MPI_VB_MmapPool(first), MK_SUCCESS);
    VB_POOL filler = MK_MPI_VB_CreatePool(4096, 4, nullptr);  // keeps the old range from coming back
    ASSERT_EQ(MK_MPI_VB_DestroyPool(first), MK_SUCCESS);
    VB_POOL second = MK_MPI_VB_CreatePool(16384, 1, nullptr);
    ASSERT_EQ(second, first);
    ASSERT_EQ(MK_MPI_VB_MmapPool(second), MK_SUCCESS);
    EXPECT_EQ(s_driver->RequestCount(VB_IOC_POOL_MAP_INFO), 2);
    VB_BLK b = MK_MPI_VB_GetBlock(second, 0, nullptr);
    MK_U32 phys = MK_MPI_VB_Handle2PhysAddr(b);
    char* viaPool = nullptr;
    ASSERT_EQ(MK_MPI_VB_GetBlkVirAddr(second, phys + 16000, reinterpret_cast<void**>(&viaPool)), MK_SUCCESS);
    std::strcpy(viaPool, "new pool");
    char back[9] = {};
    ASSERT_TRUE(varnelle::mem::Ram::Local().Read(phys + 16000, back, 8));
    EXPECT_STREQ(back, "new pool");
    MK_MPI_VB_ReleaseBlock(b);
    MK_MPI_VB_DestroyPool(filler);
}

TEST_F(VbTest, AFailedMapLeavesTheEntryUnlockedAndUnmapped) {
    VB_POOL pool = MK_MPI_VB_CreatePool(4096, 1, nullptr);
    s_driver->FailRequest(VB_IOC_POOL_MAP_INFO, kUnexist);
    EXPECT_EQ(MK_MPI_VB_MmapPool(pool), kUnexist);
    void* addr = nullptr;
    EXPECT_EQ(MK_MPI_VB_GetBlkVirAddr(pool, 0x40000000, &addr), kNotReady);
    EXPECT_EQ(MK_MPI_VB_MmapPool(pool), MK_SUCCESS) << "the entry's lock was given back";
}

TEST_F(VbTest, CallerBlocksBecomeBlocksOfTheirPool) {
    VB_POOL pool = MK_MPI_VB_CreateUserPool(2, nullptr);
    ASSERT_NE(pool, VB_INVALID_POOLID);
    VB_BLK b = MK_MPI_VB_AddUserBlock(pool, 0x70000000, 0x3000);
    ASSERT_NE(b, VB_INVALID_HANDLE);
    EXPECT_EQ(MK_MPI_VB_Handle2PhysAddr(b), 0x70000000u);
    EXPECT_EQ(MK_MPI_VB_Handle2PoolId(b), pool);
    EXPECT_EQ(MK_MPI_VB_AddUserBlock(pool, 0x70002000, 0x100), VB_INVALID_HANDLE) << "overlap";
    EXPECT_EQ(MK_MPI_VB_MmapPool(pool), MK_ERR(MK_ID_VB, MK_ERR_NOT_SUPPORT));
    EXPECT_EQ(MK_MPI_VB_DestroyPool(pool), kBusy);
    EXPECT_EQ(MK_MPI_VB_ReleaseBlock(b), MK_SUCCESS);
    EXPECT_EQ(MK_MPI_VB_GetBlock(pool, 0, nullptr), b) << "released, it stays in the pool";
    EXPECT_EQ(MK_MPI_VB_ReleaseBlock(b), MK_SUCCESS);
    EXPECT_EQ(MK_MPI_VB_DestroyPool(pool), MK_SUCCESS);
}

}  // namespace

namespace {

// A handle kept by a caller past the destruction of its pool must not give back a block that another
// user holds in a pool that took the same id since.
TEST_F(VbTest, AStaleHandleOfAReusedPoolIdReleasesNothing) {
    StartCommonPools(Plan({{4096, 2}}));
    VB_POOL first = MK_MPI_VB_CreatePool(8192, 1, nullptr);
    ASSERT_NE(first, VB_INVALID_POOLID);
    VB_BLK stale = MK_MPI_VB_GetBlock(first, 0, nullptr);
    ASSERT_NE(stale, VB_INVALID_HANDLE);
    ASSERT_EQ(MK_MPI_VB_ReleaseBlock(stale), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VB_DestroyPool(first), MK_SUCCESS);
    VB_POOL second = MK_MPI_VB_CreatePool(8192, 1, nullptr);
    ASSERT_EQ(second, first);
    VB_BLK held = MK_MPI_VB_GetBlock(second, 0, nullptr);
    ASSERT_NE(held, VB_INVALID_HANDLE);
    EXPECT_EQ(MK_MPI_VB_ReleaseBlock(stale), kUnexist);
    EXPECT_EQ(MK_MPI_VB_Handle2PhysAddr(stale), 0u);
    EXPECT_EQ(MK_MPI_VB_QueryBlock(held), 1) << "the other user still holds its block";
    EXPECT_EQ(MK_MPI_VB_DestroyPool(second), kBusy);
    EXPECT_EQ(MK_MPI_VB_ReleaseBlock(held), MK_SUCCESS);
    EXPECT_EQ(MK_MPI_VB_DestroyPool(second), MK_SUCCESS);
}

TEST_F(VbTest, PoolsOfMoreThan4095BlocksAreRefused) {
    StartCommonPools(Plan({{4096, 2}}));
    EXPECT_EQ(MK_MPI_VB_CreatePool(64, 4096, nullptr), VB_INVALID_POOLID);
    VB_POOL p = MK_MPI_VB_CreatePool(64, 4095, nullptr);
    ASSERT_NE(p, VB_INVALID_POOLID);
    EXPECT_EQ(MK_MPI_VB_DestroyPool(p), MK_SUCCESS);
}

// Handles are guessable: a release may give back only the hold the caller took, never a driver's.
TEST_F(VbTest, AReleaseGivesBackOnlyTheCallersOwnHold) {
    constexpr MK_S32 kNotPerm = MK_ERR(MK_ID_VB, MK_ERR_NOT_PERM);
    StartCommonPools(Plan({{4096, 3}}));
    const VB_POOL exPool = MK_MPI_VB_CreatePoolEx(4096, 2, nullptr);
    VbPools& pools = VbPools::Instance();
    struct Case {
        const char* what;
        bool ex;
        std::function<VB_BLK()> get;  // the caller's own block
        std::function<MK_S32(VB_BLK)> release;
    };
    const Case cases[] = {
        {"public", false, [] { return MK_MPI_VB_GetBlock(VB_INVALID_POOLID, 4096, nullptr); }, MK_MPI_VB_ReleaseBlock},
        {"Ex", true, [&] { return MK_MPI_VB_GetBlockEx(exPool, 0, nullptr); }, MK_MPI_VB_ReleaseBlockEx},
    };
    for (const Case& c : cases) {
        // A block only a driver holds.
        const uint32_t drivers = pools.GetBlock(c.ex ? static_cast<int>(exPool) : -1, 4096, "", c.ex);
        ASSERT_NE(drivers, VbPools::kInvalid) << c.what;
        EXPECT_EQ(c.release(drivers), kNotPerm) << c.what;
        EXPECT_EQ(pools.Block(drivers)->refs, 1) << c.what << ": the driver's hold stays";
        ASSERT_TRUE(pools.Release(drivers));
        // The caller's block that a driver holds too: the caller gives back its own hold once.
        const VB_BLK own = c.get();
        ASSERT_NE(own, VB_INVALID_HANDLE) << c.what;
        ASSERT_TRUE(pools.AddRef(own));
        EXPECT_EQ(c.release(own), MK_SUCCESS) << c.what;
        EXPECT_EQ(c.release(own), kNotPerm) << c.what << ": released twice";
        EXPECT_EQ(pools.Block(own)->refs, 1) << c.what;
        ASSERT_TRUE(pools.Release(own));
        EXPECT_EQ(c.release(own), kUnexist) << c.what << ": a free block";
    }
    // A caller block added to its pool is the caller's to give back.
    const VB_POOL callers = MK_MPI_VB_CreateUserPool(1, nullptr);
    const VB_BLK added = MK_MPI_VB_AddUserBlock(callers, 0x70000000, 0x1000);
    ASSERT_NE(added, VB_INVALID_HANDLE);
    EXPECT_EQ(MK_MPI_VB_ReleaseBlock(added), MK_SUCCESS);
    EXPECT_EQ(MK_MPI_VB_ReleaseBlock(added), kUnexist);
}

}  // namespace
