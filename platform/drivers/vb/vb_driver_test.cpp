#include "platform/drivers/vb/vb_driver.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "platform/dev/dev.h"
#include "platform/drivers/core/kernel.h"
#include "platform/drivers/core/vb_pools.h"
#include "platform/drivers/vb/vb_plan_testing.h"
#include "platform/host/test_bus.h"
#include "platform/mem/ram.h"

namespace varnelle::drivers {
namespace {

constexpr int kIllegal = MK_ERR(MK_ID_VB, MK_ERR_ILLEGAL_PARAM);
constexpr int kUnexist = MK_ERR(MK_ID_VB, MK_ERR_UNEXIST);
constexpr int kNotPerm = MK_ERR(MK_ID_VB, MK_ERR_NOT_PERM);
constexpr int kNotConfig = MK_ERR(MK_ID_VB, MK_ERR_NOT_CONFIG);
constexpr int kNotReady = MK_ERR(MK_ID_VB, MK_ERR_SYS_NOTREADY);
constexpr int kBusy = MK_ERR(MK_ID_VB, MK_ERR_BUSY);
constexpr int kEmpty = MK_ERR(MK_ID_VB, MK_ERR_BUF_EMPTY);

using vb_testing::Plan;

class VbDriverTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        varnelle::host::UsePrivateBus("vbdrv");
        InstallVbDriver();
        s_driver = dev::Registry::Get<VbDriver>("/dev/vb");
    }
    void SetUp() override {
        ResetMediaState();
        m_fd = dev::Open("/dev/vb", O_RDWR);
        ASSERT_GE(m_fd, 3);
    }
    void TearDown() override { dev::Close(m_fd); }

    int Io(unsigned long request, void* arg = nullptr) { return dev::Ioctl(m_fd, request, arg); }
    int Word(unsigned long request, uint32_t* word) { return Io(request, word); }
    uint32_t Create(unsigned long request, uint32_t size, uint32_t count, const char* zone = "") {
        VB_POOL_INFO_S info{};
        info.u32PoolId = VB_INVALID_POOLID;
        info.u32BlkSize = size;
        info.u32BlkCnt = count;
        std::strncpy(info.acMmzName, zone, sizeof(info.acMmzName));
        return Io(request, &info) == 0 ? info.u32PoolId : VB_INVALID_POOLID;
    }
    int Get(unsigned long request, uint32_t pool, uint32_t size, uint32_t* handle) {
        VB_POOL_INFO_S info{};
        info.u32PoolId = pool;
        info.u32BlkSize = size;
        info.u32Handle = VB_INVALID_HANDLE;
        int ret = Io(request, &info);
        *handle = info.u32Handle;
        return ret;
    }
    int SetPlan(const VB_CONF_S& conf) { return Io(VB_IOC_SET_CONF, const_cast<VB_CONF_S*>(&conf)); }

    static inline std::shared_ptr<VbDriver> s_driver;
    int m_fd = -1;
};

TEST_F(VbDriverTest, InitBuildsTheCommonPoolsOfThePlanOnce) {
    EXPECT_EQ(Io(VB_IOC_INIT), kNotConfig);
    VB_CONF_S conf = Plan({{4096, 2}, {0, 5}, {8192, 0}, {1000, 3}});
    std::strcpy(conf.astCommPool[1].acMmzName, "sixteen-chars-xx");  // unused entry: not checked
    ASSERT_EQ(SetPlan(conf), 0);
    ASSERT_EQ(Io(VB_IOC_INIT), 0);
    EXPECT_EQ(Io(VB_IOC_INIT), 0) << "a second init keeps what is there";
    std::vector<int> pools = s_driver->CommonPools();
    ASSERT_EQ(pools.size(), 2u) << "entries with a zero size or count are absent";
    EXPECT_EQ(VbPools::Instance().Pool(pools[0])->blockCount, 2u);
    EXPECT_EQ(VbPools::Instance().Pool(pools[1])->blockCount, 3u);
    VB_CONF_S back{};
    ASSERT_EQ(Io(VB_IOC_GET_CONF, &back), 0);
    EXPECT_EQ(std::memcmp(&back, &conf, sizeof(conf)), 0);
    EXPECT_EQ(SetPlan(conf), kNotPerm) << "the plan in force cannot change";
}

TEST_F(VbDriverTest, PlansWithUnterminatedNamesAreRefused) {
    VB_CONF_S conf = Plan({{4096, 1}});
    std::memcpy(conf.astCommPool[0].acMmzName, "sixteen-chars-xx", 16);
    EXPECT_EQ(SetPlan(conf), kIllegal);
    VB_MOD_POOL_CONF_S mod{4, conf};
    EXPECT_EQ(Io(VB_IOC_SET_MOD_POOL_CONF, &mod), kIllegal);
    conf.astCommPool[0].acMmzName[15] = 0;
    EXPECT_EQ(SetPlan(conf), 0);
}

TEST_F(VbDriverTest, ExitIsRefusedWhileACommonBlockIsHeldAndChangesNothing) {
    ASSERT_EQ(SetPlan(Plan({{4096, 2}})), 0);
    ASSERT_EQ(Io(VB_IOC_INIT), 0);
    uint32_t h;
    ASSERT_EQ(Get(VB_IOC_GET_BLOCK, VB_INVALID_POOLID, 100, &h), 0);
    // Another driver holds the block too.
    ASSERT_TRUE(VbPools::Instance().AddRef(h));
    ASSERT_EQ(Word(VB_IOC_RELEASE_BLOCK, &h), 0);
    EXPECT_EQ(Io(VB_IOC_EXIT), kBusy);
    EXPECT_TRUE(s_driver->Initialised());
    EXPECT_TRUE(VbPools::Instance().Block(h));
    EXPECT_TRUE(VbPools::Instance().Release(h));
    EXPECT_EQ(Io(VB_IOC_EXIT), 0);
    EXPECT_FALSE(s_driver->Initialised());
    EXPECT_TRUE(VbPools::Instance().PoolIds().empty());
    EXPECT_EQ(Io(VB_IOC_EXIT), 0) << "exit of an exited module";
}

TEST_F(VbDriverTest, PoolsMadeByIdSurviveExitAndAreNeverChosenForAnyPool) {
    ASSERT_EQ(SetPlan(Plan({{4096, 1}})), 0);
    ASSERT_EQ(Io(VB_IOC_INIT), 0);
    uint32_t own = Create(VB_IOC_CREATE_POOL, 512, 4);
    ASSERT_NE(own, VB_INVALID_POOLID);
    uint32_t a, b;
    ASSERT_EQ(Get(VB_IOC_GET_BLOCK, VB_INVALID_POOLID, 100, &a), 0);
    EXPECT_NE(VbPools::Instance().Block(a)->pool, static_cast<int>(own));
    EXPECT_EQ(Get(VB_IOC_GET_BLOCK, VB_INVALID_POOLID, 100, &b), kEmpty) << "only the common pool counts";
    ASSERT_EQ(Get(VB_IOC_GET_BLOCK, own, 0, &b), 0);
    EXPECT_EQ(VbPools::Instance().Block(b)->pool, static_cast<int>(own));
    ASSERT_EQ(Word(VB_IOC_RELEASE_BLOCK, &a), 0);
    ASSERT_EQ(Io(VB_IOC_EXIT), 0) << "a held block of a pool made by id does not stop exit";
    EXPECT_TRUE(VbPools::Instance().Pool(own));
    EXPECT_TRUE(VbPools::Instance().Block(b));
}

TEST_F(VbDriverTest, DestroyAnswersForEachKindOfPool) {
    ASSERT_EQ(SetPlan(Plan({{4096, 1}})), 0);
    ASSERT_EQ(Io(VB_IOC_INIT), 0);
    uint32_t common = s_driver->CommonPools()[0];
    uint32_t own = Create(VB_IOC_CREATE_POOL, 512, 1);
    uint32_t ex = Create(VB_IOC_CREATE_POOL_EX, 512, 1);
    uint32_t held;
    ASSERT_EQ(Get(VB_IOC_GET_BLOCK, own, 0, &held), 0);
    struct Case {
        unsigned long request;
        uint32_t pool;
        int want;
    } cases[] = {
        {VB_IOC_DESTROY_POOL, common, kNotPerm},     {VB_IOC_DESTROY_POOL, 256, kIllegal},
        {VB_IOC_DESTROY_POOL, 0xFFFFFFFF, kIllegal}, {VB_IOC_DESTROY_POOL, 200, kUnexist},
        {VB_IOC_DESTROY_POOL, ex, kUnexist},         {VB_IOC_DESTROY_POOL_EX, own, kUnexist},
        {VB_IOC_DESTROY_POOL, own, kBusy},           {VB_IOC_DESTROY_POOL_EX, ex, 0},
    };
    for (const Case& c : cases) {
        uint32_t word = c.pool;
        EXPECT_EQ(Word(c.request, &word), c.want) << c.pool;
    }
    ASSERT_EQ(Word(VB_IOC_RELEASE_BLOCK, &held), 0);
    uint32_t word = own;
    EXPECT_EQ(Word(VB_IOC_DESTROY_POOL, &word), 0);
}

TEST_F(VbDriverTest, FamiliesDoNotServeEachOthersBlocks) {
    uint32_t pub = Create(VB_IOC_CREATE_POOL, 512, 1);
    uint32_t ex = Create(VB_IOC_CREATE_POOL_EX, 512, 2);
    uint32_t hp, he, any;
    ASSERT_EQ(Get(VB_IOC_GET_BLOCK, pub, 0, &hp), 0);
    ASSERT_EQ(Get(VB_IOC_GET_BLOCK_EX, ex, 0, &he), 0);
    EXPECT_EQ(Get(VB_IOC_GET_BLOCK, ex, 0, &any), kUnexist);
    EXPECT_EQ(Get(VB_IOC_GET_BLOCK, VB_INVALID_POOLID, 0, &any), kEmpty);
    ASSERT_EQ(Get(VB_IOC_GET_BLOCK_EX, VB_INVALID_POOLID, 0, &any), 0) << "any Ex pool";
    EXPECT_EQ(VbPools::Instance().Block(any)->pool, static_cast<int>(ex));
    struct Case {
        unsigned long request;
        uint32_t handle;
        int want;
    } cases[] = {
        {VB_IOC_RELEASE_BLOCK, he, kUnexist},    {VB_IOC_HANDLE2PHYS, he, kUnexist},
        {VB_IOC_HANDLE2POOL, he, kUnexist},      {VB_IOC_RELEASE_BLOCK_EX, hp, kUnexist},
        {VB_IOC_HANDLE2PHYS_EX, hp, kUnexist},   {VB_IOC_QUERY_BLOCK, he, kUnexist},
        {VB_IOC_RELEASE_BLOCK, 0xFFFFFFFF, kUnexist},
    };
    for (const Case& c : cases) {
        uint32_t word = c.handle;
        EXPECT_EQ(Word(c.request, &word), c.want) << std::hex << c.request;
        EXPECT_EQ(word, c.handle) << "a refused request answers nothing";
    }
    uint32_t word = he;
    ASSERT_EQ(Word(VB_IOC_HANDLE2PHYS_EX, &word), 0);
    EXPECT_EQ(word, VbPools::Instance().Block(he)->phys);
}

TEST_F(VbDriverTest, BlockAndPoolQueriesAnswerInPlace) {
    uint32_t pool = Create(VB_IOC_CREATE_POOL, 1000, 2);
    uint32_t h;
    ASSERT_EQ(Get(VB_IOC_GET_BLOCK, pool, 0, &h), 0);
    ASSERT_TRUE(VbPools::Instance().AddRef(h));
    auto info = *VbPools::Instance().Pool(pool);
    struct Case {
        unsigned long request;
        uint32_t in, want;
    } cases[] = {
        {VB_IOC_HANDLE2PHYS, h, VbPools::Instance().Block(h)->phys},
        {VB_IOC_HANDLE2POOL, h, pool},
        {VB_IOC_QUERY_BLOCK, h, 2},
        {VB_IOC_POOL_IN_USE, pool, 1},
    };
    for (const Case& c : cases) {
        uint32_t word = c.in;
        ASSERT_EQ(Word(c.request, &word), 0);
        EXPECT_EQ(word, c.want) << std::hex << c.request;
    }
    VB_POOL_MAP_S map{pool, 0, 0, 0};
    ASSERT_EQ(Io(VB_IOC_POOL_MAP_INFO, &map), 0);
    EXPECT_EQ(map.u32PoolSize, info.size);
    EXPECT_EQ(map.u32PhyAddr, info.phys);
    EXPECT_EQ(map.u32UserAddr, 0u);
    VbPools::Instance().Release(h);
    VbPools::Instance().Release(h);
    uint32_t word = pool;
    ASSERT_EQ(Word(VB_IOC_POOL_IN_USE, &word), 0);
    EXPECT_EQ(word, 0u);
}

TEST_F(VbDriverTest, ModulePoolsFollowTheirOwnPlanAndLife) {
    VB_MOD_POOL_CONF_S mod{4, Plan({{2048, 2}})};
    uint32_t uid = 4;
    EXPECT_EQ(Word(VB_IOC_EXIT_MOD_POOL, &uid), 0) << "nothing to exit";
    ASSERT_EQ(Io(VB_IOC_SET_MOD_POOL_CONF, &mod), 0);
    EXPECT_EQ(Word(VB_IOC_INIT_MOD_POOL, &uid), kNotReady) << "before the common pools";
    ASSERT_EQ(SetPlan(Plan({{8192, 1}})), 0);
    ASSERT_EQ(Io(VB_IOC_INIT), 0);
    uint32_t other = 5;
    EXPECT_EQ(Word(VB_IOC_INIT_MOD_POOL, &other), kNotConfig);
    ASSERT_EQ(Word(VB_IOC_INIT_MOD_POOL, &uid), 0);
    std::vector<int> pools = s_driver->ModulePools(4);
    ASSERT_EQ(pools.size(), 1u);
    EXPECT_EQ(VbPools::Instance().Pool(pools[0])->user, 4);
    EXPECT_EQ(Io(VB_IOC_SET_MOD_POOL_CONF, &mod), kNotPerm);
    // The decoder's driver takes its blocks from its own pools.
    uint32_t h = VbPools::Instance().GetBlock(-1, 2000, "", false, 4);
    ASSERT_NE(h, VbPools::kInvalid);
    EXPECT_EQ(Word(VB_IOC_EXIT_MOD_POOL, &uid), kBusy);
    EXPECT_EQ(Io(VB_IOC_EXIT), kBusy) << "exit takes the module pools too";
    VbPools::Instance().Release(h);
    ASSERT_EQ(Word(VB_IOC_EXIT_MOD_POOL, &uid), 0);
    EXPECT_TRUE(s_driver->ModulePools(4).empty());
    EXPECT_FALSE(VbPools::Instance().Pool(pools[0]));
    uint32_t outOfRange = 22;
    EXPECT_EQ(Word(VB_IOC_INIT_MOD_POOL, &outOfRange), kIllegal);
    EXPECT_EQ(Word(VB_IOC_EXIT_MOD_POOL, &outOfRange), kIllegal);
    mod.u32Uid = 22;
    EXPECT_EQ(Io(VB_IOC_SET_MOD_POOL_CONF, &mod), kIllegal);
}

TEST_F(VbDriverTest, CallerPoolsTakeBlocksFromCallerMemory) {
    uint32_t pool = Create(VB_IOC_CREATE_CALLER_POOL, 0, 1);
    ASSERT_NE(pool, VB_INVALID_POOLID);
    VB_POOL_INFO_S add{};
    add.u32PoolId = pool;
    add.u32BlkSize = 0x2000;
    add.u32PhyAddr = 0x70000000;
    ASSERT_EQ(Io(VB_IOC_ADD_CALLER_BLOCK, &add), 0);
    auto block = VbPools::Instance().Block(add.u32Handle);
    ASSERT_TRUE(block);
    EXPECT_EQ(block->phys, 0x70000000u);
    EXPECT_EQ(Io(VB_IOC_ADD_CALLER_BLOCK, &add), kIllegal) << "full";
    VB_POOL_MAP_S map{pool, 0, 0, 0};
    EXPECT_EQ(Io(VB_IOC_POOL_MAP_INFO, &map), MK_ERR(MK_ID_VB, MK_ERR_NOT_SUPPORT));
    uint32_t own = Create(VB_IOC_CREATE_POOL, 512, 1);
    add.u32PoolId = own;
    EXPECT_EQ(Io(VB_IOC_ADD_CALLER_BLOCK, &add), kNotPerm);
}

TEST_F(VbDriverTest, BadRecordPointersGetEfaultAndUnknownRequestsEnotty) {
    const unsigned long withRecord[] = {
        VB_IOC_CREATE_POOL,      VB_IOC_DESTROY_POOL,    VB_IOC_GET_BLOCK,          VB_IOC_RELEASE_BLOCK,
        VB_IOC_HANDLE2PHYS,      VB_IOC_HANDLE2POOL,     VB_IOC_QUERY_BLOCK,        VB_IOC_GET_CONF,
        VB_IOC_POOL_MAP_INFO,    VB_IOC_POOL_IN_USE,     VB_IOC_INIT_MOD_POOL,      VB_IOC_EXIT_MOD_POOL,
        VB_IOC_SET_MOD_POOL_CONF, VB_IOC_SET_SETTING,    VB_IOC_GET_SETTING,        VB_IOC_CREATE_POOL_EX,
        VB_IOC_DESTROY_POOL_EX,  VB_IOC_GET_BLOCK_EX,    VB_IOC_RELEASE_BLOCK_EX,   VB_IOC_POOL_MAP_INFO_EX,
        VB_IOC_POOL_IN_USE_EX,   VB_IOC_HANDLE2PHYS_EX,  VB_IOC_CREATE_CALLER_POOL, VB_IOC_ADD_CALLER_BLOCK,
        VB_IOC_SET_CONF,
    };
    ASSERT_EQ(SetPlan(Plan({{4096, 1}})), 0);
    for (unsigned long request : withRecord) {
        errno = 0;
        EXPECT_EQ(Io(request, nullptr), -1) << std::hex << request;
        EXPECT_EQ(errno, EFAULT) << std::hex << request;
    }
    errno = 0;
    EXPECT_EQ(Io(_IO('B', 16)), -1);
    EXPECT_EQ(errno, ENOTTY);
}

TEST_F(VbDriverTest, SettingIsKeptAndTheSystemResetDropsEverything) {
    VB_SETTING_S setting{0x5A};
    ASSERT_EQ(Io(VB_IOC_SET_SETTING, &setting), 0);
    VB_SETTING_S back{};
    ASSERT_EQ(Io(VB_IOC_GET_SETTING, &back), 0);
    EXPECT_EQ(back.u32Setting, 0x5Au);
    ASSERT_EQ(SetPlan(Plan({{4096, 1}})), 0);
    ASSERT_EQ(Io(VB_IOC_INIT), 0);
    ResetMediaState();
    EXPECT_FALSE(s_driver->Initialised());
    EXPECT_EQ(s_driver->Setting(), 0u);
    EXPECT_TRUE(s_driver->CommonPools().empty());
    EXPECT_TRUE(VbPools::Instance().PoolIds().empty());
    VB_CONF_S conf{};
    EXPECT_EQ(Io(VB_IOC_GET_CONF, &conf), kNotConfig);
}

}  // namespace
}  // namespace varnelle::drivers
