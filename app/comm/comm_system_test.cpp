// Command 96 and command 85 through the command table with the simulated drivers in this process:
// the order of the set-up as the request journal shows it, the pools as the drivers show them, every
// failing step, repeated set-ups, and the decoder pools of command 85.
#include "app/comm/comm_system.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/comm/comm_cap.h"
#include "app/comm/comm_cfg.h"
#include "app/comm/comm_map.h"
#include "app/comm/comm_register.h"
#include "app/comm/comm_setup_hooks.h"
#include "app/pci/pciv_cmd.h"
#include "app/pci/pciv_slave.h"
#include "app/pci/pciv_test_master.h"
#include "app/pci/pciv_trans.h"
#include "platform/dev/journal.h"
#include "platform/drivers/all/install.h"
#include "platform/drivers/core/vb_pools.h"
#include "platform/drivers/sys/sys_driver.h"
#include "platform/drivers/vb/vb_driver.h"
#include "platform/mcc/mcc_driver.h"
#include "platform/mem/ram.h"
#include "platform/mem/zone.h"
#include "sdk/pciv/pciv_ioctl.h"
#include "sdk/sys/sys_ioctl.h"
#include "sdk/vb/mpi_vb.h"
#include "sdk/vdec/mpi_vdec.h"

namespace {

namespace drv = varnelle::drivers;
namespace dev = varnelle::dev;
namespace mem = varnelle::mem;
using dev::JournalEntry;

// The requests of the set-up, named as the drivers take them.
constexpr unsigned long kSysExit = MK_SYS_IOC_EXIT;
constexpr unsigned long kSysInit = MK_SYS_IOC_INIT;
constexpr unsigned long kSysKernelConfig = MK_SYS_IOC_GET_KERNEL_CONFIG;  // read by the system start
constexpr unsigned long kModExit = VB_IOC_EXIT_MOD_POOL;
constexpr unsigned long kDestroy = VB_IOC_DESTROY_POOL;
constexpr unsigned long kVbExit = VB_IOC_EXIT;
constexpr unsigned long kVbConf = VB_IOC_SET_CONF;
constexpr unsigned long kVbInit = VB_IOC_INIT;
constexpr unsigned long kSysConf = MK_SYS_IOC_SET_CONF;
constexpr unsigned long kCreate = VB_IOC_CREATE_POOL;
constexpr unsigned long kModConf = VB_IOC_SET_MOD_POOL_CONF;
constexpr unsigned long kModInit = VB_IOC_INIT_MOD_POOL;
constexpr unsigned long kPcivBind = PCIV_BINDCHN2FD_CTRL;
constexpr unsigned long kBaseWindow = PCIV_GETBASEWINDOW_CTRL;

struct ReqRun {
    std::string node;
    unsigned long request;
    int count;
    bool operator==(const ReqRun& o) const { return node == o.node && request == o.request && count == o.count; }
};

std::ostream& operator<<(std::ostream& os, const ReqRun& r) {
    return os << r.node << " " << std::hex << r.request << std::dec << " x" << r.count;
}

// The journal as runs of equal requests, on the nodes of the set-up.
std::vector<ReqRun> Runs(const std::vector<JournalEntry>& j) {
    std::vector<ReqRun> runs;
    for (const JournalEntry& e : j) {
        if (e.node != "/dev/vb" && e.node != "/dev/sys" && e.node != "/dev/pciv") continue;
        if (!runs.empty() && runs.back().node == e.node && runs.back().request == e.request) {
            ++runs.back().count;
        } else {
            runs.push_back({e.node, e.request, 1});
        }
    }
    return runs;
}

bool Has(const std::vector<ReqRun>& runs, unsigned long request) {
    for (const ReqRun& r : runs) {
        if (r.request == request) return true;
    }
    return false;
}

// The master simulator's product: 8 inputs of 1080P on product 656.
SLAVE_SYS_PARAM_S Params656() {
    SLAVE_SYS_PARAM_S p;
    std::memset(&p, 0, sizeof(p));
    p.u32DevType = 656;
    p.u32ChnStart = 0;
    p.u32ChnEnd = 8;
    p.u32ChnSetting = 8;
    p.u32DecNum = 4;
    p.u32FirstDecChn = 8;
    p.u32PlayDecNum = 4;
    p.u32PicSize = 3;
    p.u32BoardSubType = 47;
    p.stHvrCap.as16Analog[HVR_CAP_1080P] = 8;
    p.stHvrCap.u32MaxPlayBackWay = 8;
    return p;
}

// Product 660 with 32 inputs of 4M: the large configuration.
SLAVE_SYS_PARAM_S Params660() {
    SLAVE_SYS_PARAM_S p = Params656();
    p.u32DevType = 660;
    p.u32ChnEnd = 16;
    p.stHvrCap = HVR_CAP_S{};
    p.stHvrCap.as16Analog[HVR_CAP_4M] = 32;
    p.stHvrCap.u32MaxPlayBackWay = 16;
    return p;
}

struct PoolShape {
    uint32_t size, count;
    bool operator<(const PoolShape& o) const { return size != o.size ? size < o.size : count < o.count; }
    bool operator==(const PoolShape& o) const { return size == o.size && count == o.count; }
};

PoolShape Shape(int id) {
    auto p = drv::VbPools::Instance().Pool(id);
    return p ? PoolShape{p->blockSize, p->blockCount} : PoolShape{0, 0};
}

std::multiset<PoolShape> Shapes(const std::vector<int>& ids) {
    std::multiset<PoolShape> s;
    for (int id : ids) s.insert(Shape(id));
    return s;
}

class SystemSetupTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_bus = new varnelle::testing::ScopedBus;
        s_masterRam = new mem::Ram(mem::RamPath(0), 0, mem::kMasterRamSize, true);
        drv::InstallAll();
        varnelle::mcc::InstallMccDriver();
    }
    static void TearDownTestSuite() {
        delete s_masterRam;
        delete s_bus;
    }
    void SetUp() override {
        PCIV_ClearCmdHandlers();
        CommClearSetupHooks();
        SlaveClearHooks();
        SlaveRegisterCmdHandlers();
        CommRegisterModule();
        ClearFaults();
    }
    void TearDown() override {
        dev::JournalStop();
        ClearFaults();
        SlaveStopSender(PcivGetVencTrans());
        SlaveStopSender(PcivGetJpegTrans());
        CommClearSetupHooks();
        SlaveResetSysCfg();
        CommResetVpssChnMap();
    }
    static void ClearFaults() {
        for (const char* node : {"/dev/vb", "/dev/sys", "/dev/pciv", "/dev/vdec"})
            dev::Registry::Find(node)->ClearFaults();
    }
    static void Send(uint32_t code, const void* payload, uint32_t len) {
        PCIV_MSG_S m;
        std::memset(&m, 0, sizeof(m));
        m.stMsgHead.u32MsgType = code;
        m.stMsgHead.u32MsgLen = len;
        std::memcpy(m.au32Payload, payload, len);
        PCIV_RunCmd(&m);
    }
    static void Send96(const SLAVE_SYS_PARAM_S& p) { Send(96, &p, sizeof(p)); }
    // Command 86 with the master's plan.
    static void MapPorts() {
        const std::vector<uint32_t> plan = varnelle::testing::MasterPortPlan();
        Send(86, plan.data(), 96);
    }
    static void Send85(int32_t op, int32_t count) {
        int32_t w[2] = {op, count};
        Send(85, w, sizeof(w));
    }
    static std::shared_ptr<drv::VbDriver> Vb() { return dev::Registry::Get<drv::VbDriver>("/dev/vb"); }
    static std::shared_ptr<drv::SysDriver> Sys() { return dev::Registry::Get<drv::SysDriver>("/dev/sys"); }

    static inline varnelle::testing::ScopedBus* s_bus = nullptr;
    static inline mem::Ram* s_masterRam = nullptr;
};

TEST_F(SystemSetupTest, CommandNinetySixSetsUpInOrderAndTheDriversShowThePlan) {
    dev::JournalStart();
    Send96(Params656());
    std::vector<ReqRun> got = Runs(dev::JournalStop());
    const std::vector<ReqRun> want = {
        {"/dev/sys", kSysExit, 1},  {"/dev/vb", kModExit, 22},         {"/dev/vb", kDestroy, 256},
        {"/dev/vb", kVbExit, 1},    {"/dev/vb", kVbConf, 1},           {"/dev/vb", kVbInit, 1},
        {"/dev/sys", kSysConf, 1},  {"/dev/sys", kSysInit, 1},         {"/dev/sys", kSysKernelConfig, 1},
        {"/dev/vb", kCreate, 2},    {"/dev/vb", kModExit, 1},          {"/dev/vb", kModConf, 1},
        {"/dev/vb", kModInit, 1},   {"/dev/pciv", kPcivBind, 1},       {"/dev/pciv", kBaseWindow, 1},
    };
    EXPECT_EQ(got, want);
    EXPECT_TRUE(Sys()->IsUp());
    // Product 656, 8 inputs of 1080P, 8 playback ways: class 15 of the plan table.
    EXPECT_EQ(Shapes(Vb()->CommonPools()),
              (std::multiset<PoolShape>{{3159360, 144}, {811008, 96}, {152064, 64}}));
    EXPECT_EQ(Shapes(Vb()->ModulePools(COMM_VDEC_VB_UID)), (std::multiset<PoolShape>{{3133440, 48}}));
    EXPECT_EQ(Shape(static_cast<int>(Comm_GetVencVbPool(0))), (PoolShape{3159360, 32}));
    EXPECT_EQ(Shape(static_cast<int>(Comm_GetVencVbPool(6))), (PoolShape{3159360, 32}));
    EXPECT_EQ(Shape(static_cast<int>(Comm_GetVencVbPool(1))), (PoolShape{608256, 24}));
    EXPECT_EQ(Shape(static_cast<int>(Comm_GetVencVbPool(-1))), (PoolShape{608256, 24}));
    EXPECT_EQ(Sys()->ConfWord(), 16u);
    EXPECT_EQ(Comm_GetVpssChnMap()[VPSS_MAP_IN_END], 8);
    EXPECT_EQ(Comm_GetVpssChnMap()[VPSS_MAP_DEV_TYPE], 656);
    EXPECT_EQ(PcivGetWindowBase(), 0x9f800000u);
}

// Each failing step prints its line; the steps the set-up goes on with still run, the ones that
// depended on it do not.
TEST_F(SystemSetupTest, EachFailingStepPrintsItsLineAndTheRestGoesOn) {
    const int kCode = static_cast<int>(0xA0018010u);
    struct Case {
        const char* node;
        unsigned long request;
        int skip;
        std::vector<const char*> lines;
        std::vector<unsigned long> absent;   // requests the failure leaves out
        std::vector<unsigned long> present;  // requests that still follow
    } cases[] = {
        {"/dev/vb", kVbConf, 0, {"MK_MPI_VB_SetConf failed!", "init sys fail for 0xffffffff!"},
         {kVbInit, kSysConf}, {kCreate, kModConf, kModInit, kBaseWindow}},
        {"/dev/vb", kVbInit, 0, {"MK_MPI_VB_Init failed!", "init sys fail for"}, {kSysConf},
         {kCreate, kModInit, kBaseWindow}},
        {"/dev/sys", kSysConf, 0, {"MK_MPI_SYS_SetConf failed", "init sys fail for"}, {kSysInit},
         {kCreate, kModInit, kBaseWindow}},
        {"/dev/sys", kSysInit, 0, {"MK_MPI_SYS_Init failed!", "init sys fail for"}, {},
         {kCreate, kModInit, kBaseWindow}},
        {"/dev/sys", kSysExit, 0, {}, {}, {kModExit, kVbConf, kSysInit, kCreate, kModInit, kBaseWindow}},
        {"/dev/vb", kCreate, 0, {"111 MK_MPI_VB_CreatePool err"}, {}, {kModInit, kBaseWindow}},
        {"/dev/vb", kCreate, 1, {"222 MK_MPI_VB_CreatePool err"}, {}, {kModInit, kBaseWindow}},
        {"/dev/vb", kModConf, 0, {"MK_MPI_VB_SetModPoolConf failed at SAMPLE_COMM_VDEC_InitModCommVb"}, {kModInit},
         {kBaseWindow}},
        {"/dev/vb", kModInit, 0, {"MK_MPI_VB_InitModCommPool failed at SAMPLE_COMM_VDEC_InitModCommVb"}, {},
         {kBaseWindow}},
        {"/dev/pciv", kBaseWindow, 0, {"MK_MPI_PCIV_GetBaseWindow error:0xa0018010"}, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.node) + " " + std::to_string(c.request));
        CommResetVpssChnMap();
        dev::Registry::Find(c.node)->FailRequest(c.request, kCode, 1, EIO, c.skip);
        ::testing::internal::CaptureStdout();
        dev::JournalStart();
        Send96(Params656());
        std::vector<ReqRun> runs = Runs(dev::JournalStop());
        std::string out = ::testing::internal::GetCapturedStdout();
        ClearFaults();
        for (const char* line : c.lines) EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
        if (c.lines.empty()) {
            EXPECT_EQ(out.find("init sys fail"), std::string::npos) << "a failed stop is ignored";
        }
        // What comes after the failing request in the journal.
        std::vector<ReqRun> after;
        bool seen = false;
        int skipped = 0;
        for (const ReqRun& r : runs) {
            if (seen) after.push_back(r);
            if (!seen && r.node == c.node && r.request == c.request) {
                skipped += r.count;
                seen = skipped > c.skip;
            }
        }
        ASSERT_TRUE(seen);
        for (unsigned long r : c.absent) EXPECT_FALSE(Has(after, r)) << std::hex << r;
        for (unsigned long r : c.present) EXPECT_TRUE(Has(after, r)) << std::hex << r;
        bool baseWindowFailed = c.request == kBaseWindow;
        // The map comes only after the base window.
        EXPECT_EQ(Comm_GetVpssChnMap()[VPSS_MAP_IN_END], baseWindowFailed ? 0 : 8);
    }
    Send96(Params656());
}

// Pools are rebuilt from scratch at every command 96; a sender's block goes back before they are
// destroyed and the sender starts again on the new pools.
TEST_F(SystemSetupTest, RepeatedSetUpGivesTheSamePoolsAndLeavesNothingBehind) {
    MapPorts();
    mem::ZoneAllocator& zone = mem::ZoneAllocator::Local();
    Send96(Params656());
    const std::vector<int> pools = drv::VbPools::Instance().PoolIds();
    const uint64_t used = zone.UsedBytes();
    const size_t blocks = zone.BlockCount();
    ASSERT_EQ(pools.size(), 6u) << "three common, two encoder, one decoder pool";
    auto expectSame = [&](const char* when) {
        SCOPED_TRACE(when);
        EXPECT_EQ(drv::VbPools::Instance().PoolIds(), pools);
        EXPECT_EQ(zone.UsedBytes(), used);
        EXPECT_EQ(zone.BlockCount(), blocks);
        EXPECT_EQ(Shapes(Vb()->CommonPools()),
                  (std::multiset<PoolShape>{{3159360, 144}, {811008, 96}, {152064, 64}}));
    };
    Send96(Params656());
    expectSame("96 twice");
    for (int round = 0; round < 2; ++round) {
        uint32_t venc[6] = {0, 0, 3u << 20, 0x40100000, 101, 102};
        PCIV_MSG_S m;
        std::memset(&m, 0, sizeof(m));
        m.stMsgHead.u32MsgType = 10;
        m.stMsgHead.u32MsgLen = sizeof(venc);
        std::memcpy(m.au32Payload, venc, sizeof(venc));
        ASSERT_TRUE(PCIV_RunCmd(&m));
        EXPECT_EQ(m.stMsgHead.s32Result, 0) << "round " << round;
        EXPECT_EQ(PcivGetVencTrans()->s32Running.load(), 1);
        auto* sender = static_cast<PCIV_TRANS_SENDER_S*>(PcivGetVencTrans()->pTrans.load());
        ASSERT_NE(sender, nullptr);
        sender->u32Seq = 7;
        sender->u32WritePos = 4096;
        Send96(Params656());
        // The sender outlives the set-up: same ring, ports and positions, a buffer from the new pools.
        ASSERT_EQ(PcivGetVencTrans()->pTrans.load(), sender);
        EXPECT_EQ(PcivGetVencTrans()->s32Running.load(), 1);
        EXPECT_NE(sender->pu8VirAddr, nullptr);
        EXPECT_EQ(sender->u32LocSize, 3u << 20);
        EXPECT_EQ(sender->u32RemoteBase, 0x40100000u);
        EXPECT_EQ(sender->u32AckPort, 102u);
        EXPECT_EQ(sender->u32Seq.load(), 7u);
        EXPECT_EQ(sender->u32WritePos, 4096u);
        const std::vector<int> common = Vb()->CommonPools();
        EXPECT_NE(std::find(common.begin(), common.end(), MK_MPI_VB_Handle2PoolId(sender->u32Blk)), common.end());
        expectSame("96 after 10");
    }
}

// A command 96 too short for its 156 bytes sets nothing up again: the running sender keeps its buffer,
// the settings stay; one line names both lengths. The whole record still sets up.
TEST_F(SystemSetupTest, AShortCommandNinetySixChangesNothing) {
    MapPorts();
    Send96(Params656());
    uint32_t venc[6] = {0, 0, 3u << 20, 0x40100000, 101, 102};
    Send(10, venc, sizeof(venc));
    auto* sender = static_cast<PCIV_TRANS_SENDER_S*>(PcivGetVencTrans()->pTrans.load());
    ASSERT_NE(sender, nullptr);
    uint8_t* buf = sender->pu8VirAddr;
    const int inits = Sys()->InitCount();
    const SLAVE_SYS_PARAM_S other = Params660();
    for (uint32_t len : {0u, 4u, 155u}) {
        ::testing::internal::CaptureStdout();
        Send(96, &other, len);
        const std::string out = ::testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find("system parameters of " + std::to_string(len) + " bytes, 156 needed"), std::string::npos)
            << out;
        EXPECT_EQ(Sys()->InitCount(), inits) << len;
        EXPECT_EQ(Comm_GetDevType(), 656u) << len;
        EXPECT_EQ(sender->pu8VirAddr, buf) << len;
    }
    Send(96, &other, 156);
    EXPECT_EQ(Sys()->InitCount(), inits + 1);
    EXPECT_EQ(Comm_GetDevType(), 660u);
}

// A set-up whose pools hold no block as large as the ring leaves the sender without a buffer, with one
// line naming the command that restores its stream; a later set-up with room gives it one again.
TEST_F(SystemSetupTest, ASenderLeftWithoutABufferSaysSoAndALaterSetUpGivesItOne) {
    MapPorts();
    Send96(Params656());
    uint32_t jpeg[6] = {0, 0, 1u << 20, 0x40500000, 103, 104};
    Send(11, jpeg, sizeof(jpeg));
    auto* sender = static_cast<PCIV_TRANS_SENDER_S*>(PcivGetJpegTrans()->pTrans.load());
    ASSERT_NE(sender, nullptr);
    SLAVE_SYS_PARAM_S empty = Params656();
    empty.u32DevType = 651;
    empty.stHvrCap = HVR_CAP_S{};
    empty.stHvrCap.as16Analog[HVR_CAP_4M] = 8;  // class 19, no pools on 651
    ::testing::internal::CaptureStdout();
    Send96(empty);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("JPEG sender: no local buffer of 1048576 bytes in the new pools: its frames are dropped "
                       "until command 11 starts it again"),
              std::string::npos)
        << out;
    ASSERT_EQ(PcivGetJpegTrans()->pTrans.load(), sender);
    EXPECT_EQ(PcivGetJpegTrans()->s32Running.load(), 1);
    EXPECT_EQ(sender->pu8VirAddr, nullptr);
    ::testing::internal::CaptureStdout();
    Send96(Params656());
    out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("no local buffer"), std::string::npos) << out;
    ASSERT_EQ(PcivGetJpegTrans()->pTrans.load(), sender);
    EXPECT_NE(sender->pu8VirAddr, nullptr);
    EXPECT_EQ(sender->u32LocSize, 1u << 20);
}

// The encoder pool handles of an earlier set-up would name whatever pools take their ids next.
TEST_F(SystemSetupTest, SetUpWithoutEncoderPoolsForgetsTheOldHandles) {
    Send96(Params656());
    ASSERT_NE(Comm_GetVencVbPool(0), VB_INVALID_POOLID);
    SLAVE_SYS_PARAM_S empty = Params656();
    empty.u32DevType = 651;
    empty.stHvrCap = HVR_CAP_S{};
    empty.stHvrCap.as16Analog[HVR_CAP_4M] = 8;  // class 19, no plan on 651
    Send96(empty);
    EXPECT_EQ(Comm_GetVencVbPool(0), VB_INVALID_POOLID);
    EXPECT_EQ(Comm_GetVencVbPool(1), VB_INVALID_POOLID);
    EXPECT_TRUE(Vb()->CommonPools().empty());
    EXPECT_TRUE(drv::VbPools::Instance().PoolIds().empty()) << "no pool at all";
}

TEST_F(SystemSetupTest, LargeConfigurationLeavesTheDecoderPoolsToCommandEightyFive) {
    dev::JournalStart();
    Send96(Params660());
    std::vector<ReqRun> runs = Runs(dev::JournalStop());
    EXPECT_FALSE(Has(runs, kModConf));
    EXPECT_FALSE(Has(runs, kModInit));
    EXPECT_TRUE(Vb()->ModulePools(COMM_VDEC_VB_UID).empty());
    // Class 21 on 660.
    EXPECT_EQ(Shapes(Vb()->CommonPools()),
              (std::multiset<PoolShape>{{5566080, 74}, {608256, 96}, {3110400, 53}, {10368000, 2}}));
}

TEST_F(SystemSetupTest, CommandEightyFiveDoesNothingOutsideTheLargeConfiguration) {
    struct Case {
        const char* name;
        SLAVE_SYS_PARAM_S p;
    } cases[] = {{"large test fails", Params656()}, {"digital channels", Params660()}};
    cases[1].p.u32DigitalNum = 2;
    for (const Case& c : cases) {
        Send96(c.p);
        dev::JournalStart();
        Send85(1, 0);
        Send85(0, 0);
        EXPECT_TRUE(Runs(dev::JournalStop()).empty()) << c.name;
    }
}

TEST_F(SystemSetupTest, CommandEightyFiveSetsUpThePlannedPools) {
    Send96(Params660());
    // 2560 x 1440 (4M) blocks: 80 x 90 x 768 bytes.
    Send85(1, 0);
    EXPECT_EQ(Shapes(Vb()->ModulePools(COMM_VDEC_VB_UID)), (std::multiset<PoolShape>{{5529600, 3}}));
    Send85(0, 0);
    EXPECT_TRUE(Vb()->ModulePools(COMM_VDEC_VB_UID).empty());
    Send85(1, -1);
    std::vector<PoolShape> sixteen(16, PoolShape{5529600, 3});
    EXPECT_EQ(Shapes(Vb()->ModulePools(COMM_VDEC_VB_UID)), std::multiset<PoolShape>(sixteen.begin(), sixteen.end()));
    Send85(7, 0);
    EXPECT_EQ(Vb()->ModulePools(COMM_VDEC_VB_UID).size(), 16u) << "other operations change nothing";
}

std::vector<int32_t> g_decoders;
int32_t Decoders(int32_t* chns, int32_t max) {
    int32_t n = 0;
    for (int32_t c : g_decoders) {
        if (n < max) chns[n++] = c;
    }
    return n;
}

// The tear-down stops and resets every decoder that exists, then waits (1 ms a try, a line every
// 100) until nothing holds a block of the decoder pools.
TEST_F(SystemSetupTest, CommandEightyFiveTearDownWaitsForHeldBlocks) {
    Send96(Params660());
    Send85(1, 0);
    std::vector<int> mod = Vb()->ModulePools(COMM_VDEC_VB_UID);
    ASSERT_EQ(mod.size(), 1u);
    VDEC_CHN_ATTR_S attr = {96, 1 << 20, 0, 1920, 1088, 2, 1, 0};
    g_decoders = {0, 3};
    for (int32_t c : g_decoders) {
        ASSERT_EQ(MK_MPI_VDEC_CreateChn(c, &attr), 0);
        ASSERT_EQ(MK_MPI_VDEC_StartRecvStream(c), 0);
    }
    CommSetVdecCreatedChnsHook(Decoders);
    VB_BLK blk = MK_MPI_VB_GetBlock(static_cast<VB_POOL>(mod[0]), 0, nullptr);
    ASSERT_NE(blk, VB_INVALID_HANDLE);
    auto vb = Vb();
    vb->ResetCounters();
    ::testing::internal::CaptureStdout();
    dev::JournalStart();
    std::atomic<bool> done{false};
    std::thread teardown([&] {
        Send85(0, 0);
        done = true;
    });
    // Two lines' worth of refused exits while the block is held.
    while (vb->RequestCount(kModExit) < 201) std::this_thread::yield();
    EXPECT_FALSE(done.load());
    EXPECT_EQ(MK_MPI_VB_ReleaseBlock(blk), 0);
    teardown.join();
    std::vector<JournalEntry> j = dev::JournalStop();
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_TRUE(Vb()->ModulePools(COMM_VDEC_VB_UID).empty());
    size_t lines = 0;
    for (size_t p = out.find("MK_MPI_VB_ExitModCommPool failed"); p != std::string::npos;
         p = out.find("MK_MPI_VB_ExitModCommPool failed", p + 1))
        ++lines;
    EXPECT_GE(lines, 2u);
    EXPECT_EQ(lines, static_cast<size_t>(vb->RequestCount(kModExit) - 1) / 100);
    // Each decoder stopped, then reset, before the first exit.
    std::vector<std::string> vdec;
    for (const JournalEntry& e : j) {
        if (e.node == "/dev/vdec" && (e.request == mk::vdec::kStopRecvStream || e.request == mk::vdec::kResetChn))
            vdec.push_back(e.object + (e.request == mk::vdec::kResetChn ? " reset" : " stop"));
    }
    EXPECT_EQ(vdec, (std::vector<std::string>{"chn 0 stop", "chn 0 reset", "chn 3 stop", "chn 3 reset"}));
    for (int32_t c : g_decoders) MK_MPI_VDEC_DestroyChn(c);
}

// Other threads read the settings, the map and the pool handles while command 96 rebuilds them.
TEST_F(SystemSetupTest, ReadersOnOtherThreadsSeeWholeValues) {
    std::atomic<bool> stop{false};
    std::atomic<int> reads{0};
    std::thread reader([&] {
        while (!stop) {
            VB_POOL pool = Comm_GetVencVbPool(0);
            COMM_VPSS_CHN_MAP_S map = Comm_GetVpssChnMapCopy();
            int32_t cls = Comm_GetMaxCapSize();
            EXPECT_TRUE(map.as32Word[VPSS_MAP_IN_END] == 0 || map.as32Word[VPSS_MAP_IN_END] == 8 ||
                        map.as32Word[VPSS_MAP_IN_END] == 16);
            EXPECT_TRUE(cls == 15 || cls == 21 || cls == 25) << cls;
            (void)pool;
            ++reads;
        }
    });
    for (int i = 0; i < 3; ++i) {
        Send96(Params656());
        Send96(Params660());
    }
    while (reads < 100) std::this_thread::yield();
    stop = true;
    reader.join();
}

}  // namespace

namespace {

// Chips at index 32 and above wait on bit 0; chips already ready cost no poll.
TEST(ReadyBitsTest, ReadyChipsReturnAtOnce) {
    struct Case {
        uint32_t bits, chips;
    } cases[] = {{0x3, 2}, {0xFFFFFFFFu, 40}, {0x1, 1}, {0x0, 0}};
    for (const Case& c : cases) {
        Comm_SetReadyBits(c.bits, c.chips);
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(Comm_WaitReadyBits(), 0);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "") << std::hex << c.bits << " " << c.chips;
    }
    Comm_SetReadyBits(0, 2);
}

}  // namespace
