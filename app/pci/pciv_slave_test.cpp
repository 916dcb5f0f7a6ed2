#include <sched.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <thread>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/comm/comm_cfg.h"
#include "app/pci/pciv_cmd.h"
#include "app/pci/pciv_msg.h"
#include "app/pci/pciv_slave.h"
#include "app/pci/pciv_slave_thread.h"
#include "app/pci/pciv_test_master.h"
#include "app/pci/pciv_title_port.h"
#include "app/pci/pciv_trans.h"
#include "platform/dev/driver.h"
#include "platform/drivers/all/install.h"
#include "platform/drivers/pciv/pciv_driver.h"
#include "platform/drivers/vo/vo_driver.h"
#include "platform/drivers/vpss/vpss_driver.h"
#include "platform/mcc/mcc_driver.h"
#include "platform/mem/ram.h"
#include "platform/mem/zone.h"
#include "sdk/pciv/mpi_pciv.h"
#include "sdk/sys/mpi_sys.h"
#include "sdk/vb/mpi_vb.h"
#include "sdk/vo/mpi_vo.h"
#include "sdk/vpss/mpi_vpss.h"

namespace {

namespace mem = varnelle::mem;
namespace drv = varnelle::drivers;
using varnelle::dev::Registry;

PCIV_MSG_S Cmd(uint32_t code, std::initializer_list<uint32_t> words, uint32_t len = 0) {
    PCIV_MSG_S m;
    std::memset(&m, 0, sizeof(m));
    m.stMsgHead.u32MsgType = code;
    uint32_t i = 0;
    for (uint32_t w : words) m.au32Payload[i++] = w;
    m.stMsgHead.u32MsgLen = len ? len : 4 * i;
    return m;
}

class SlaveCmdTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_bus = new varnelle::testing::ScopedBus;
        s_masterRam = new mem::Ram(mem::RamPath(0), 0, mem::kMasterRamSize, true);
        drv::InstallAll();
        varnelle::mcc::InstallMccDriver();
        // One block only: a second sender can exist only once the first has let its block go.
        VB_CONF_S conf{};
        conf.u32MaxPoolCnt = 16;
        conf.astCommPool[0].u32BlkSize = 64 * 1024;
        conf.astCommPool[0].u32BlkCnt = 1;
        ASSERT_EQ(MK_MPI_VB_SetConf(&conf), 0);
        ASSERT_EQ(MK_MPI_VB_Init(), 0);
    }
    static void TearDownTestSuite() {
        MK_MPI_VB_Exit();
        delete s_masterRam;
        delete s_bus;
    }
    void SetUp() override {
        PCIV_ClearCmdHandlers();
        SlaveRegisterCmdHandlers();
        SlaveRegisterMediaCmdHandlers();
        SlaveClearHooks();
    }
    void TearDown() override {
        for (const char* node : {"/dev/pciv", "/dev/vpss", "/dev/vo", "/dev/vdec"})
            Registry::Find(node)->ClearFaults();
        SlaveClearHooks();
    }

    // Runs one command; true when answered.
    static bool Run(PCIV_MSG_S* m) { return PCIV_RunCmd(m); }

    static std::vector<uint32_t> Plan() { return varnelle::testing::MasterPortPlan(); }

    // Command 86 with `plan` (not answered).
    static void MapPorts(const std::vector<uint32_t>& plan = Plan()) {
        PCIV_MSG_S m = Cmd(86, {});
        std::memcpy(m.au32Payload, plan.data(), 96);
        m.stMsgHead.u32MsgLen = 96;
        EXPECT_FALSE(PCIV_RunCmd(&m));
    }

    static varnelle::testing::ScopedBus* s_bus;
    static mem::Ram* s_masterRam;
};
varnelle::testing::ScopedBus* SlaveCmdTest::s_bus = nullptr;
mem::Ram* SlaveCmdTest::s_masterRam = nullptr;

TEST_F(SlaveCmdTest, KeptMessageBeforeAndAfterCommand57) {
    PCIV_MSG_S m = Cmd(59, {});
    ASSERT_TRUE(Run(&m)) << "the zero kept message has type 0, an answered code";
    EXPECT_EQ(m.stMsgHead.u32MsgType, 22u);
    EXPECT_EQ(m.stMsgHead.u32MsgLen, 80u);
    EXPECT_EQ(m.stMsgHead.s32Result, 0);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(m.au32Payload[i], 0u);

    auto pciv = Registry::Find("/dev/pciv");
    // The allocation of the second block fails: nothing stale reaches the master.
    pciv->FailRequest(PCIV_MALLOC_CTRL, static_cast<int>(0xA01A800C), 1, EIO, 1);
    m = Cmd(57, {0, 0, 4096, 3, 0xDEAD, 0xDEAD, 0xDEAD}, 80);
    ASSERT_TRUE(Run(&m));
    EXPECT_EQ(m.stMsgHead.s32Result, 0) << "command 57 always reports success";
    EXPECT_EQ(m.au32Payload[4], 0u);
    EXPECT_EQ(m.au32Payload[5], 0u);
    EXPECT_EQ(m.au32Payload[6], 0u);
    EXPECT_TRUE(drv::PcivWindowBlocks().empty()) << "the block taken first is given back";

    m = Cmd(57, {0, 0, 8192, 2}, 80);
    ASSERT_TRUE(Run(&m));
    std::vector<uint32_t> blocks = drv::PcivWindowBlocks();
    ASSERT_EQ(blocks.size(), 2u);
    PCIV_MSG_S kept = Cmd(59, {});
    ASSERT_TRUE(Run(&kept));
    EXPECT_EQ(kept.stMsgHead.u32MsgLen, 80u);
    EXPECT_EQ(kept.au32Payload[2], 8192u) << "the whole message was kept";
    EXPECT_EQ(kept.au32Payload[4], blocks[0] + 0x60800000u);
    EXPECT_EQ(kept.au32Payload[5], blocks[1] + 0x60800000u);
    for (uint32_t b : blocks) MK_MPI_PCIV_Free(1, &b);
}

TEST_F(SlaveCmdTest, WindowBlocksTravelWithTheWindowOffset) {
    PcivSetWindowBase(0);
    PCIV_MSG_S m = Cmd(14, {0, 0, 4096, 3}, 16);
    ASSERT_TRUE(Run(&m));
    EXPECT_EQ(m.stMsgHead.s32Result, 0);
    EXPECT_EQ(m.stMsgHead.u32MsgLen, 80u);
    EXPECT_EQ(PcivGetWindowBase(), 0x9f800000u);
    std::vector<uint32_t> blocks = drv::PcivWindowBlocks();
    ASSERT_EQ(blocks.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        uint32_t master = m.au32Payload[4 + i];
        EXPECT_EQ(master, blocks[i] + 0x60800000u);
        uint32_t local = master + PcivGetWindowBase();  // back through the window
        EXPECT_EQ(local, blocks[i]);
        EXPECT_TRUE(mem::Ram::Local().Contains(local, 4096));
    }
    for (uint32_t b : blocks) MK_MPI_PCIV_Free(1, &b);

    struct Case {
        uint32_t count;
        int32_t status;
    } cases[] = {{0, 0}, {17, -1}, {0xFFFFFFFFu, -1}};
    for (const Case& c : cases) {
        PcivSetWindowBase(0);
        m = Cmd(14, {0, 0, 4096, c.count, 0x1111, 0x2222}, 80);
        ASSERT_TRUE(Run(&m));
        EXPECT_EQ(m.stMsgHead.s32Result, c.status) << c.count;
        EXPECT_EQ(m.stMsgHead.u32MsgLen, 80u);
        EXPECT_EQ(m.au32Payload[4], 0x1111u) << "no address written for count " << c.count;
        EXPECT_EQ(PcivGetWindowBase(), 0x9f800000u);
        EXPECT_TRUE(drv::PcivWindowBlocks().empty());
    }
}

TEST_F(SlaveCmdTest, WindowPoolsAreRecreated) {
    PCIV_MSG_S m = Cmd(19, {2, 4096, 8192, 0, 0, 0, 0, 0, 0, 4, 2}, 68);
    ASSERT_TRUE(Run(&m));
    EXPECT_EQ(m.stMsgHead.s32Result, 0);
    PCIV_WINVBCFG_S cfg{};
    ASSERT_TRUE(drv::PcivWinVbCreated(&cfg));
    EXPECT_EQ(cfg.u32PoolCount, 2u);
    EXPECT_EQ(cfg.au32BlkCount[0], 4u);
    m = Cmd(19, {9}, 68);
    ASSERT_TRUE(Run(&m));
    EXPECT_NE(m.stMsgHead.s32Result, 0) << "a refused plan is the status";
}

TEST_F(SlaveCmdTest, ProcessingGroupSizesByCode) {
    struct Case {
        uint32_t code, w, h;
    } cases[] = {{4, 720, 576}, {5, 960, 576}, {18, 1280, 720}, {6, 1920, 1088}, {0, 1920, 1088}};
    VPSS_GRP grp = 10;
    for (const Case& c : cases) {
        PCIV_MSG_S m = Cmd(8, {static_cast<uint32_t>(grp), c.code, 0, 0, 0, 1, 0, 0, 1});
        ASSERT_TRUE(Run(&m));
        EXPECT_EQ(m.stMsgHead.s32Result, 0) << c.code;
        VPSS_GRP_ATTR_S attr{};
        ASSERT_EQ(MK_MPI_VPSS_GetGrpAttr(grp, &attr), 0);
        EXPECT_EQ(attr.u32MaxW, c.w);
        EXPECT_EQ(attr.u32MaxH, c.h);
        EXPECT_EQ(attr.enPixFmt, 23u);
        EXPECT_EQ(attr.bHistEn, 0u) << "the field the plan leaves unset is off";
        EXPECT_EQ(attr.enDieMode, 1u);
        auto vpss = Registry::Get<drv::VpssDriver>("/dev/vpss");
        EXPECT_TRUE(vpss->Group(grp).started);
        EXPECT_TRUE(vpss->Channel(grp, 0).enabled);
        EXPECT_FALSE(vpss->Channel(grp, 1).enabled);
        EXPECT_TRUE(vpss->Channel(grp, 3).enabled);
        ++grp;
    }
    PCIV_MSG_S again = Cmd(8, {10, 4});
    ASSERT_TRUE(Run(&again));
    EXPECT_EQ(again.stMsgHead.s32Result, -1) << "the group exists already";
}

TEST_F(SlaveCmdTest, DisplayChannelAttributeGetSetAndOther) {
    PCIV_MSG_S m = Cmd(46, {0, 2, 1, 16, 32, 352, 288, 0, 1});
    ASSERT_TRUE(Run(&m));
    EXPECT_EQ(m.stMsgHead.s32Result, 0);
    EXPECT_EQ(m.stMsgHead.u32MsgLen, 36u);
    m = Cmd(46, {0, 2, 0, 0, 0, 0, 0, 0, 0});
    ASSERT_TRUE(Run(&m));
    EXPECT_EQ(m.stMsgHead.s32Result, 0);
    EXPECT_EQ(m.stMsgHead.u32MsgLen, 36u);
    EXPECT_EQ(m.au32Payload[2], 1u);
    EXPECT_EQ(m.au32Payload[3], 16u);
    EXPECT_EQ(m.au32Payload[5], 352u);
    EXPECT_EQ(m.au32Payload[6], 288u);
    m = Cmd(46, {0, 2, 7, 7, 7, 7, 7, 7, 3});
    ASSERT_TRUE(Run(&m));
    EXPECT_EQ(m.stMsgHead.s32Result, 0);
    EXPECT_EQ(m.stMsgHead.u32MsgLen, 36u);
    EXPECT_EQ(m.au32Payload[2], 7u) << "the payload comes back as it was";
    m = Cmd(46, {0, 9999, 0, 0, 0, 0, 0, 0, 0});
    ASSERT_TRUE(Run(&m));
    EXPECT_NE(m.stMsgHead.s32Result, 0) << "a bad channel's failure is the status";
}

TEST_F(SlaveCmdTest, DisplayChannelOperations) {
    auto vo = Registry::Get<drv::VoDriver>("/dev/vo");
    auto run = [](std::initializer_list<uint32_t> w, uint32_t code) {
        PCIV_MSG_S m = Cmd(code, w);
        EXPECT_FALSE(PCIV_RunCmd(&m)) << "codes 76 to 78 are not answered";
    };
    run({0, 3, 3}, 77);
    EXPECT_TRUE(vo->Channel(0, 3).enabled);
    run({0, 3, 1}, 77);
    EXPECT_FALSE(vo->Channel(0, 3).shown);
    run({0, 3, 0}, 77);
    EXPECT_TRUE(vo->Channel(0, 3).shown);
    run({0, 3, 5}, 77);
    EXPECT_TRUE(vo->Channel(0, 3).paused);
    run({0, 3, 4}, 77);
    EXPECT_FALSE(vo->Channel(0, 3).paused);
    unsigned refreshes = vo->Channel(0, 3).refreshes;
    run({0, 3, 6}, 77);
    EXPECT_EQ(vo->Channel(0, 3).refreshes, refreshes + 1);
    run({0, 3, 7}, 77);
    run({0, 3, 2}, 77);
    EXPECT_FALSE(vo->Channel(0, 3).enabled);

    run({1}, 76);
    EXPECT_TRUE(vo->Layer(8).batching);
    run({0}, 76);
    EXPECT_FALSE(vo->Layer(8).batching);
}

TEST_F(SlaveCmdTest, PortMapOpensEveryPortOnce) {
    std::vector<uint32_t> plan = Plan();
    MapPorts(plan);
    for (uint32_t p : plan) EXPECT_GE(PCIV_PortFd(0, static_cast<int>(p)), 0) << p;
    EXPECT_EQ(PcivGetVencTrans()->u32NoticePort.load(), 101u);
    EXPECT_EQ(PcivGetJpegTrans()->u32AckPort.load(), 104u);
    EXPECT_EQ(PcivGetChnTrans(7)->u32NoticePort.load(), 119u);
    EXPECT_EQ(PcivGetChnTrans(7)->u32AckPort.load(), 120u);
    EXPECT_EQ(PcivGetOsdTrans()->u32NoticePort.load(), 123u);
    EXPECT_EQ(PcivGetOsdTrans()->u32AckPort.load(), 124u);
    EXPECT_EQ(PCIV_GetTitlePort(), 123u);
    EXPECT_EQ(SlaveGetTimePort(), 121u);
    EXPECT_EQ(SlaveGetHeartbeatPort(), 122u);
    int fd = PCIV_PortFd(0, 101);
    // A second map finds its ports open and only updates the numbers.
    plan[21] = 200;
    MapPorts(plan);
    EXPECT_EQ(PCIV_PortFd(0, 101), fd);
    EXPECT_EQ(SlaveGetHeartbeatPort(), 200u);
    EXPECT_GE(PCIV_PortFd(0, 200), 0);
    MapPorts();
}

// The ports every role has, in map order.
std::vector<uint32_t> RolePorts() {
    std::vector<uint32_t> v = {PcivGetVencTrans()->u32NoticePort, PcivGetVencTrans()->u32AckPort,
                               PcivGetJpegTrans()->u32NoticePort, PcivGetJpegTrans()->u32AckPort};
    for (int i = 0; i < 8; ++i) v.push_back(PcivGetChnTrans(i)->u32NoticePort);
    for (int i = 0; i < 8; ++i) v.push_back(PcivGetChnTrans(i)->u32AckPort);
    for (uint32_t p : {SlaveGetTimePort(), SlaveGetHeartbeatPort(), PCIV_GetTitlePort(),
                       PcivGetOsdTrans()->u32AckPort.load()})
        v.push_back(p);
    return v;
}

// A word that would give the command port a role, name no message port, or give a port a second role
// is refused alone, with one line naming its role: that role keeps its earlier port, the rest of the
// map takes effect.
TEST_F(SlaveCmdTest, AHostilePortIsRefusedAloneAndTheRestOfTheMapTakesEffect) {
    struct Case {
        const char* what;
        int word;
        uint32_t port;
        const char* role;
    } cases[] = {
        {"the command port as time-set port", 20, 100, "time-set port 100"},
        {"the command port as heartbeat port", 21, 100, "heartbeat port 100"},
        {"no port at all", 4, 0, "decoder slot 0 notice port 0"},
        {"below the message ports", 0, 99, "encoded-video notice port 99"},
        {"above the message ports", 23, 228, "OSD acknowledgement port 228"},
        {"far above", 22, 0xFFFFFFFFu, "title port 4294967295"},
        {"a repeat", 21, 221, "heartbeat port 221"},
        {"a repeat of the first word", 23, 201, "OSD acknowledgement port 201"},
    };
    for (const Case& c : cases) {
        MapPorts();
        std::vector<uint32_t> moved = Plan();
        for (uint32_t& p : moved) p += 100;
        moved[c.word] = c.port;
        ::testing::internal::CaptureStdout();
        MapPorts(moved);
        std::string out = ::testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find(std::string(c.role) + " refused"), std::string::npos) << c.what << "\n" << out;
        EXPECT_EQ(out.find("refused"), out.rfind("refused")) << c.what << ": one line";
        std::vector<uint32_t> want = Plan();
        for (uint32_t& p : want) p += 100;
        want[c.word] = Plan()[c.word];
        EXPECT_EQ(RolePorts(), want) << c.what;
        for (int i = 0; i < 24; ++i) {
            if (i == c.word) continue;
            EXPECT_GE(PCIV_PortFd(0, static_cast<int>(want[i])), 0) << c.what << " " << i;
        }
    }
    // A refused role whose earlier port this map gives to another role has none left.
    MapPorts();
    std::vector<uint32_t> plan = Plan();
    plan[21] = 0;
    plan[20] = 122;
    MapPorts(plan);
    EXPECT_EQ(SlaveGetTimePort(), 122u);
    EXPECT_EQ(SlaveGetHeartbeatPort(), 0u);
    // The edges of the range are ports like any other.
    plan = Plan();
    plan[0] = 101;
    plan[1] = 227;
    MapPorts(plan);
    EXPECT_EQ(PcivGetVencTrans()->u32AckPort.load(), 227u);
    MapPorts();
}

TEST_F(SlaveCmdTest, PictureChannelsBindTheirSourceByKind) {
    // `other`: kind, device and channel of a source the binding does not hold.
    struct Case {
        uint32_t kind, dev, chn;
        MPP_CHN_S src;
        uint32_t other[3];
    } cases[] = {
        {0, 1, 2, {MK_ID_VIU, 1, 2}, {0, 1, 3}},
        {1, 0, 3, {MK_ID_VOU, 0, 3}, {1, 1, 3}},
        {2, 5, 9, {MK_ID_VDEC, 0, 5}, {2, 6, 9}},
        {3, 4, 1, {MK_ID_VPSS, 4, 1}, {0, 4, 1}},
    };
    for (const Case& c : cases) {
        PCIV_MSG_S m = Cmd(0, {}, 184);
        m.au32Payload[1] = 6;
        m.au32Payload[2] = 0xA5;
        m.au32Payload[31] = c.kind;
        m.au32Payload[32] = c.dev;
        m.au32Payload[33] = c.chn;
        ASSERT_TRUE(Run(&m));
        ASSERT_EQ(m.stMsgHead.s32Result, 0) << c.kind;
        EXPECT_TRUE(drv::PcivChannel(6).started);
        EXPECT_EQ(drv::PcivChannel(6).attr.au32Word[0], 0xA5u);
        MPP_CHN_S dst = {MK_ID_PCIV, 0, 6};
        MPP_CHN_S src{};
        ASSERT_EQ(MK_MPI_SYS_GetBindbyDest(&dst, &src), 0);
        EXPECT_EQ(src.enModId, c.src.enModId);
        // The binding keeps the device and channel of decoders and groups; inputs and outputs are
        // bound by the module's own rule.
        if (c.kind >= 2) {
            EXPECT_EQ(src.s32DevId, c.src.s32DevId);
            EXPECT_EQ(src.s32ChnId, c.src.s32ChnId);
        }
        // A stop naming another source is refused before anything stops.
        m = Cmd(1, {6, 0, c.other[0], c.other[1], c.other[2]}, 68);
        ASSERT_TRUE(Run(&m));
        EXPECT_EQ(m.stMsgHead.s32Result, static_cast<int32_t>(0xA0028009)) << c.kind;
        EXPECT_TRUE(drv::PcivChannel(6).created);
        EXPECT_TRUE(drv::PcivChannel(6).started) << c.kind;
        MPP_CHN_S still{};
        ASSERT_EQ(MK_MPI_SYS_GetBindbyDest(&dst, &still), 0);
        EXPECT_TRUE(still.enModId == src.enModId && still.s32DevId == src.s32DevId && still.s32ChnId == src.s32ChnId);
        m = Cmd(1, {6, 0, c.kind, c.dev, c.chn}, 68);
        ASSERT_TRUE(Run(&m));
        ASSERT_EQ(m.stMsgHead.s32Result, 0) << c.kind;
        EXPECT_FALSE(drv::PcivChannel(6).created);
        EXPECT_NE(MK_MPI_SYS_GetBindbyDest(&dst, &src), 0);
    }
    PCIV_MSG_S m = Cmd(0, {}, 184);
    m.au32Payload[1] = 6;
    m.au32Payload[31] = 4;
    ASSERT_TRUE(Run(&m));
    EXPECT_EQ(m.stMsgHead.s32Result, -1) << "an unknown source kind is refused";
    EXPECT_FALSE(drv::PcivChannel(6).created);
    m = Cmd(1, {6, 0, 7}, 68);
    ASSERT_TRUE(Run(&m));
    EXPECT_EQ(m.stMsgHead.s32Result, -1);

    Registry::Find("/dev/pciv")->FailRequest(PCIV_CREATE_CTRL, static_cast<int>(0xA01A8008));
    m = Cmd(0, {}, 184);
    m.au32Payload[1] = 6;
    ASSERT_TRUE(Run(&m));
    EXPECT_EQ(m.stMsgHead.s32Result, static_cast<int32_t>(0xA01A8008)) << "the first failure is the status";
    MPP_CHN_S dst = {MK_ID_PCIV, 0, 6};
    MPP_CHN_S src{};
    EXPECT_NE(MK_MPI_SYS_GetBindbyDest(&dst, &src), 0) << "nothing bound after a failed create";
}

std::vector<std::string> g_hookCalls;
int32_t g_splitStatus = 0;
uint8_t g_cap0 = 0;

TEST_F(SlaveCmdTest, SystemParametersStoreWordsAndTheWindowBase) {
    SlaveSetHvrCapHook([](const HVR_CAP_S* cap) -> int32_t {
        g_cap0 = static_cast<uint8_t>(cap->as16Digital[0]);
        g_hookCalls.push_back("cap");
        return 0;
    });
    SlaveSetSampleSysInitHook([]() -> int32_t {
        g_hookCalls.push_back("sysinit");
        return 0;
    });
    SlaveSetInitVpssChnMapHook([]() -> int32_t {
        g_hookCalls.push_back("map");
        return 0;
    });
    SlaveSetHwSplitDevInitHook([]() -> int32_t {
        g_hookCalls.push_back("splitdev");
        return 0;
    });
    SlaveSetSplitCreateHook([]() -> int32_t {
        g_hookCalls.push_back("split");
        return g_splitStatus;
    });

    SLAVE_SYS_PARAM_S p{};
    p.u32SysType = 1;
    p.u32DevType = 659;
    p.u32ChnStart = 8;
    p.u32ChnEnd = 16;
    p.u32DecNum = 8;
    p.u32FirstDecChn = 16;
    p.u32BoardSubType = 53;
    p.stHvrCap.as16Digital[0] = 42;
    p.stSlaveCfg.u8BlindSwitch = 1;
    PCIV_MSG_S m = Cmd(96, {});
    std::memcpy(m.au32Payload, &p, sizeof(p));
    m.stMsgHead.u32MsgLen = sizeof(p);
    PcivSetWindowBase(0);
    EXPECT_FALSE(Run(&m));
    EXPECT_EQ(PcivGetWindowBase(), 0x9f800000u);
    EXPECT_EQ(Comm_GetDevType(), 659u);
    EXPECT_EQ(Comm_GetBoardSubType(), 53u);
    EXPECT_EQ(SlaveGetSysCfg().u32ChnNum, 8u);
    EXPECT_EQ(Comm_GetSlaveCfg()->u8BlindSwitch, 1);
    EXPECT_EQ(PcivGetVencTrans()->u32Arg.load(), 32u);
    EXPECT_EQ(g_cap0, 42);
    EXPECT_EQ(g_hookCalls, (std::vector<std::string>{"cap", "sysinit", "map", "splitdev", "split"}));

    // The base window cannot be read: the base stays, map and split device are skipped.
    g_hookCalls.clear();
    PcivSetWindowBase(0x1234);
    Registry::Find("/dev/pciv")->FailRequest(PCIV_GETBASEWINDOW_CTRL, -1);
    m.stMsgHead.u32MsgType = 96;
    Run(&m);
    EXPECT_EQ(PcivGetWindowBase(), 0x1234u);
    EXPECT_EQ(g_hookCalls, (std::vector<std::string>{"cap", "sysinit", "split"}));
    SlaveResetSysCfg();
}

// Each module sets its own hook: one setter leaves the others alone, and every step still missing is
// one line of its own while the command goes on with the rest.
TEST_F(SlaveCmdTest, SetUpStepsAreSetOneByOneAndMissingOnesSaySo) {
    struct Case {
        std::vector<const char*> set;      // hooks set
        std::vector<std::string> calls;    // steps run
        std::vector<const char*> missing;  // named in a line each
    } cases[] = {
        {{}, {}, {"Comm_SetHvrCap", "SampleSysInit", "Comm_InitVpssChnMap", "HwSplitDevInit", "SplitCreate"}},
        {{"sysinit"}, {"sysinit"}, {"Comm_SetHvrCap", "Comm_InitVpssChnMap", "HwSplitDevInit", "SplitCreate"}},
        {{"split", "cap"}, {"cap", "split"}, {"SampleSysInit", "Comm_InitVpssChnMap", "HwSplitDevInit"}},
        {{"map", "splitdev"}, {"map", "splitdev"}, {"Comm_SetHvrCap", "SampleSysInit", "SplitCreate"}},
    };
    for (const Case& c : cases) {
        SlaveClearHooks();
        for (const char* h : c.set) {
            std::string n = h;
            if (n == "cap") SlaveSetHvrCapHook([](const HVR_CAP_S*) -> int32_t { return g_hookCalls.push_back("cap"), 0; });
            if (n == "sysinit") SlaveSetSampleSysInitHook([]() -> int32_t { return g_hookCalls.push_back("sysinit"), 0; });
            if (n == "map") SlaveSetInitVpssChnMapHook([]() -> int32_t { return g_hookCalls.push_back("map"), 0; });
            if (n == "splitdev") SlaveSetHwSplitDevInitHook([]() -> int32_t { return g_hookCalls.push_back("splitdev"), 0; });
            if (n == "split") SlaveSetSplitCreateHook([]() -> int32_t { return g_hookCalls.push_back("split"), 0; });
        }
        g_hookCalls.clear();
        PCIV_MSG_S m = Cmd(96, {}, 156);
        ::testing::internal::CaptureStdout();
        EXPECT_FALSE(Run(&m));
        std::string out = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(g_hookCalls, c.calls);
        size_t lines = 0;
        for (size_t p = out.find("is not available"); p != std::string::npos; p = out.find("is not available", p + 1)) ++lines;
        EXPECT_EQ(lines, c.missing.size()) << out;
        for (const char* name : c.missing) {
            EXPECT_NE(out.find(std::string(name) + " is not available on this slave"), std::string::npos) << name;
        }
    }
    SlaveResetSysCfg();
}

TEST_F(SlaveCmdTest, RepeatedSenderCommandStopsTheEarlierSender) {
    MapPorts();
    for (uint32_t code : {10u, 10u, 11u}) {
        PCIV_TRANS_CHN_S* slot = code == 10 ? PcivGetVencTrans() : PcivGetJpegTrans();
        if (code == 11) SlaveStopSender(PcivGetVencTrans());  // the pool has one block
        PCIV_MSG_S m = code == 10 ? Cmd(code, {7, 0, 32 * 1024, 0x40100000, 101, 102})
                                  : Cmd(code, {7, 0, 32 * 1024, 0x40100000, 103, 104});
        ASSERT_TRUE(Run(&m));
        EXPECT_EQ(m.stMsgHead.s32Result, 0) << code;
        auto* s = static_cast<PCIV_TRANS_SENDER_S*>(slot->pTrans.load());
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->s32Target, 0) << "a sender always targets the master";
        EXPECT_EQ(slot->s32Running.load(), 1);
    }
    SlaveStopSender(PcivGetJpegTrans());
    PCIV_MSG_S tooBig = Cmd(10, {0, 0, 1 << 20, 0x40100000, 101, 102});
    ASSERT_TRUE(Run(&tooBig));
    EXPECT_EQ(tooBig.stMsgHead.s32Result, -1);
    EXPECT_EQ(PcivGetVencTrans()->pTrans.load(), nullptr);
    EXPECT_EQ(PcivGetVencTrans()->s32Running.load(), 0);
}

std::atomic<int> g_started{0};

void* CountingThread(void*) {
    ++g_started;
    return nullptr;
}

TEST_F(SlaveCmdTest, DecoderSlotsMapTheMastersBufferThroughTheWindow) {
    MapPorts();
    SlaveSetVdecStreamThread(CountingThread);
    SlaveSetOsdBufferThread(CountingThread);
    SLAVE_SYS_PARAM_S p{};
    p.u32FirstDecChn = 16;
    p.u32ChnEnd = 8;
    SlaveStoreSysParam(&p);
    PcivSetWindowBase(0x9f800000u);
    uint32_t phys = mem::ZoneAllocator::Local().Allocate(64 * 1024);
    ASSERT_NE(phys, 0u);
    uint32_t master = phys + 0x60800000u;

    struct Case {
        uint32_t chn;
        int32_t status;
        int slot;
    } cases[] = {{15, -1, -1}, {24, -1, -1}, {16, 0, 0}, {23, 0, 7}, {23, 0, 7}};
    for (const Case& c : cases) {
        g_started = 0;
        uint32_t notice = c.slot < 0 ? 105 : 105 + 2 * static_cast<uint32_t>(c.slot);
        PCIV_MSG_S m = Cmd(16, {0, 0, 4096, master, notice, notice + 1, c.chn});
        ASSERT_TRUE(Run(&m));
        EXPECT_EQ(m.stMsgHead.s32Result, c.status) << c.chn;
        if (c.slot < 0) {
            EXPECT_EQ(g_started.load(), 0);
            continue;
        }
        PCIV_TRANS_CHN_S* slot = PcivGetChnTrans(c.slot);
        auto* r = static_cast<PCIV_TRANS_RECEIVER_S*>(slot->pTrans.load());
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(slot->u32Arg.load(), c.chn);
        EXPECT_EQ(slot->s32Running.load(), 1);
        while (g_started.load() == 0) sched_yield();
        EXPECT_EQ(r->u32NoticePort, notice);
        uint32_t first = 0;
        ASSERT_TRUE(mem::Ram::Local().Read(phys, &first, 4));
        EXPECT_EQ(first, 0x777777u) << "the mapping lands on the local block";
        mem::Ram::Local().Write(phys, "\0\0\0\0", 4);
    }
    g_started = 0;
    PCIV_MSG_S osd = Cmd(58, {0, 0, 4096, master, 123, 124});
    ASSERT_TRUE(Run(&osd));
    EXPECT_EQ(osd.stMsgHead.s32Result, 0);
    while (g_started.load() == 0) sched_yield();
    EXPECT_NE(PcivGetOsdTrans()->pTrans.load(), nullptr);
    PCIV_MSG_S unmapped = Cmd(58, {0, 0, 4096, 0x30000000, 123, 124});
    ASSERT_TRUE(Run(&unmapped));
    EXPECT_EQ(unmapped.stMsgHead.s32Result, -1) << "a buffer outside RAM cannot be mapped";
    EXPECT_EQ(PcivGetOsdTrans()->s32Running.load(), 1) << "the running receiver goes on";
    for (int i = 0; i < 8; ++i) SlaveStopReceiver(PcivGetChnTrans(i));
    SlaveStopReceiver(PcivGetOsdTrans());
    mem::ZoneAllocator::Local().Free(phys);
    SlaveResetSysCfg();
}

// Until the decode work installs the receiver threads, nothing would read or acknowledge the
// master's notices: the commands say so and answer -1, and set nothing up.
TEST_F(SlaveCmdTest, ReceiverCommandsWithoutTheirThreadAnswerMinusOne) {
    MapPorts();
    uint32_t phys = mem::ZoneAllocator::Local().Allocate(4096);
    SLAVE_SYS_PARAM_S p{};
    p.u32FirstDecChn = 0;
    SlaveStoreSysParam(&p);
    struct Case {
        PCIV_MSG_S msg;
        const char* line;
        PCIV_TRANS_CHN_S* slot;
    } cases[] = {
        {Cmd(16, {0, 0, 4096, phys + 0x60800000u, 105, 106, 0}), "SlaveVdecStreamThread is not available",
         PcivGetChnTrans(0)},
        {Cmd(58, {0, 0, 4096, phys + 0x60800000u, 123, 124}), "SlaveOsdBufferThread is not available",
         PcivGetOsdTrans()},
    };
    for (Case& c : cases) {
        ::testing::internal::CaptureStdout();
        ASSERT_TRUE(Run(&c.msg));
        std::string out = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(c.msg.stMsgHead.s32Result, -1);
        EXPECT_NE(out.find(c.line), std::string::npos) << out;
        EXPECT_EQ(c.slot->pTrans.load(), nullptr);
        EXPECT_EQ(c.slot->s32Running.load(), 0);
    }
    mem::ZoneAllocator::Local().Free(phys);
    SlaveResetSysCfg();
}

// A stream may only use ports the port map opened, never the command port, only the master as its
// target, and never a port that another reader of this side already reads.
TEST_F(SlaveCmdTest, StreamSetUpRefusesPortsAndTargetsItCannotServe) {
    MapPorts();
    SlaveSetVdecStreamThread(CountingThread);
    SlaveSetOsdBufferThread(CountingThread);
    SLAVE_SYS_PARAM_S p{};
    p.u32FirstDecChn = 0;
    SlaveStoreSysParam(&p);
    PcivSetWindowBase(0x9f800000u);
    uint32_t phys = mem::ZoneAllocator::Local().Allocate(64 * 1024);
    uint32_t m = phys + 0x60800000u;
    // A running encoded-video sender reads 102.
    PCIV_MSG_S venc = Cmd(10, {0, 0, 32 * 1024, 0x40100000, 101, 102});
    ASSERT_TRUE(Run(&venc));
    ASSERT_EQ(venc.stMsgHead.s32Result, 0);
    struct Case {
        const char* what;
        PCIV_MSG_S msg;
        const char* line;
    } cases[] = {
        {"receiver on a port the map did not open", Cmd(16, {0, 0, 4096, m, 150, 106, 1}), "was not opened by the port map"},
        {"acknowledgements on a port the map did not open", Cmd(16, {0, 0, 4096, m, 107, 151, 1}), "port 151 was not opened"},
        {"receiver on the command port", Cmd(16, {0, 0, 4096, m, 100, 106, 1}), "port 100 was not opened"},
        {"receiver beyond the ports", Cmd(16, {0, 0, 4096, m, 0xFFFFFFFFu, 106, 1}), "was not opened"},
        {"receiver from another chip", Cmd(16, {5, 0, 4096, m, 107, 108, 1}), "target 5 is not the master"},
        {"OSD from another chip", Cmd(58, {1, 0, 4096, m, 123, 124}), "target 1 is not the master"},
        {"receiver on the time-set port", Cmd(16, {0, 0, 4096, m, 121, 108, 1}), "is read already as the time-set port"},
        {"receiver on a sender's acknowledgements", Cmd(16, {0, 0, 4096, m, 102, 108, 1}), "read already as another stream"},
        {"sender acknowledged on the title port", Cmd(11, {0, 0, 4096, 0x40100000, 103, 123}), "read already as the title port"},
        {"sender acknowledged on a port the map did not open", Cmd(11, {0, 0, 4096, 0x40100000, 103, 160}), "port 160 was not opened"},
    };
    for (Case& c : cases) {
        g_started = 0;
        ::testing::internal::CaptureStdout();
        ASSERT_TRUE(Run(&c.msg)) << c.what;
        std::string out = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(c.msg.stMsgHead.s32Result, -1) << c.what;
        EXPECT_NE(out.find(c.line), std::string::npos) << c.what << ": " << out;
        EXPECT_EQ(PcivGetChnTrans(1)->pTrans.load(), nullptr) << c.what;
        EXPECT_EQ(PcivGetJpegTrans()->pTrans.load(), nullptr) << c.what;
        EXPECT_EQ(g_started.load(), 0) << c.what;
    }
    EXPECT_NE(PcivGetVencTrans()->pTrans.load(), nullptr) << "refusals leave the running sender alone";
    // The same request on the right ports is taken.
    PCIV_MSG_S ok = Cmd(16, {0, 0, 4096, m, 107, 108, 1});
    ASSERT_TRUE(Run(&ok));
    EXPECT_EQ(ok.stMsgHead.s32Result, 0);
    // A repeated command may keep its own ports.
    ok = Cmd(16, {0, 0, 4096, m, 107, 108, 1});
    ASSERT_TRUE(Run(&ok));
    EXPECT_EQ(ok.stMsgHead.s32Result, 0);
    // A second stream may not read the notices of the first.
    PCIV_MSG_S twice = Cmd(16, {0, 0, 4096, m, 107, 110, 2});
    ASSERT_TRUE(Run(&twice));
    EXPECT_EQ(twice.stMsgHead.s32Result, -1);
    SlaveStopReceiver(PcivGetChnTrans(1));
    SlaveStopSender(PcivGetVencTrans());
    mem::ZoneAllocator::Local().Free(phys);
    SlaveResetSysCfg();
}

std::atomic<int> g_receiversStarted{0};
std::atomic<int> g_receiversEnded{0};

// A receiver thread as the decode work writes it: it waits for notices without a time limit; the
// slot's stop ends the wait.
void* ReceiverLoop(void* arg) {
    auto* slot = static_cast<PCIV_TRANS_CHN_S*>(arg);
    auto* r = static_cast<PCIV_TRANS_RECEIVER_S*>(slot->pTrans.load());
    ++g_receiversStarted;
    while (slot->s32Running.load()) {
        uint8_t* addr;
        uint32_t len;
        if (PCIV_Trans_GetData(r, &addr, &len) == 0) PCIV_Trans_ReleaseData(r, addr, len);
    }
    ++g_receiversEnded;
    return nullptr;
}

TEST_F(SlaveCmdTest, RepeatedReceiverCommandStopsTheEarlierThread) {
    MapPorts();
    SlaveSetVdecStreamThread(ReceiverLoop);
    SLAVE_SYS_PARAM_S p{};
    p.u32FirstDecChn = 0;
    SlaveStoreSysParam(&p);
    PcivSetWindowBase(0x9f800000u);
    uint32_t phys = mem::ZoneAllocator::Local().Allocate(4096);
    const int started = g_receiversStarted.load();  // both counted for the whole process
    const int ended = g_receiversEnded.load();
    for (int i = 0; i < 3; ++i) {
        PCIV_MSG_S m = Cmd(16, {0, 0, 4096, phys + 0x60800000u, 109, 110, 2});
        ASSERT_TRUE(Run(&m));
        ASSERT_EQ(m.stMsgHead.s32Result, 0);
        // The earlier thread has ended by the time the command returns.
        EXPECT_EQ(g_receiversEnded.load() - ended, i);
        while (g_receiversStarted.load() - started != i + 1) sched_yield();
    }
    SlaveStopReceiver(PcivGetChnTrans(2));
    EXPECT_EQ(g_receiversEnded.load() - ended, 3);
    EXPECT_EQ(PcivGetChnTrans(2)->pTrans.load(), nullptr);
    mem::ZoneAllocator::Local().Free(phys);
    SlaveResetSysCfg();
}

// The capture work's fetch thread holds the slot's lock while it retries a full ring for as long as
// the sender runs. A master that acknowledges nothing keeps the ring full; a repeated command 10 must
// still be answered, every time.
TEST_F(SlaveCmdTest, RepeatedSenderCommandIsAnsweredWhileTheFetchThreadWaitsForRoom) {
    MapPorts();
    PCIV_TRANS_CHN_S* slot = PcivGetVencTrans();
    PCIV_MSG_S first = Cmd(10, {0, 0, 32 * 1024, 0x40100000, 101, 102});
    ASSERT_TRUE(Run(&first));
    ASSERT_EQ(first.stMsgHead.s32Result, 0);
    std::atomic<bool> done{false};
    std::atomic<uint64_t> retries{0};
    std::thread fetch([&] {
        while (!done.load()) {
            std::lock_guard<std::mutex> lock(slot->mtxTrans);
            auto* sender = static_cast<PCIV_TRANS_SENDER_S*>(slot->pTrans.load());
            if (sender == nullptr) continue;
            // The ring is full up to its last byte and nothing is acknowledged.
            sender->u32WritePos = sender->u32RemoteSize - 1;
            uint32_t off = 0;
            while (slot->s32Running.load() && Trans_GetWriteOffset(sender, 100, &off) != 0) {
                ++retries;
                sched_yield();
            }
        }
    });
    for (int round = 0; round < 3; ++round) {
        uint64_t seen = retries.load();
        while (retries.load() < seen + 100) sched_yield();  // the fetch thread holds the lock, retrying
        auto answered = std::async(std::launch::async, [] {
            PCIV_MSG_S again = Cmd(10, {0, 0, 32 * 1024, 0x40100000, 101, 102});
            PCIV_RunCmd(&again);
            return again.stMsgHead.s32Result;
        });
        // Only a guard against a hang: the command takes one retry of the fetch thread.
        if (answered.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
            ADD_FAILURE() << "command 10 blocked behind the fetch thread";
            std::abort();
        }
        EXPECT_EQ(answered.get(), 0) << round;
    }
    done = true;
    SlaveStopSender(slot);
    fetch.join();
}

// The OSD notices and the titles share the title port: the OSD thread reads its notices through the
// title-port reader, and the titles still reach the title thread.
std::atomic<int> g_osdNotices{0};

void* OsdLoop(void* arg) {
    auto* slot = static_cast<PCIV_TRANS_CHN_S*>(arg);
    auto* r = static_cast<PCIV_TRANS_RECEIVER_S*>(slot->pTrans.load());
    while (slot->s32Running.load()) {
        uint8_t* addr;
        uint32_t len;
        if (PCIV_Trans_GetData(r, &addr, &len) == 0) {
            ++g_osdNotices;
            PCIV_Trans_ReleaseData(r, addr, len);
        }
    }
    return nullptr;
}

TEST_F(SlaveCmdTest, OsdNoticesAndTitlesShareTheTitlePort) {
    varnelle::testing::FakeMaster master;
    ASSERT_TRUE(master.ok());
    MapPorts();
    SlaveSetOsdBufferThread(OsdLoop);
    PcivSetWindowBase(0x9f800000u);
    uint32_t phys = mem::ZoneAllocator::Local().Allocate(4096);
    PCIV_MSG_S osd = Cmd(58, {0, 0, 4096, phys + 0x60800000u, 123, 124});
    ASSERT_TRUE(Run(&osd));
    ASSERT_EQ(osd.stMsgHead.s32Result, 0);
    const int notices = g_osdNotices.load();  // counted for the whole process
    PCIV_TRANS_NOTICE_S n{0, 64, 0};
    char name[32] = "Font";
    for (uint32_t i = 0; i < 10; ++i) {
        n.u32Seq = i;
        ASSERT_TRUE(master.SendMsg(123, PCIV_MSGTYPE_NOTIFY, &n, sizeof(n)));
        ASSERT_TRUE(master.SendMsg(123, i % 2, name, sizeof(name)));
    }
    PCIV_MSG_S title;
    for (uint32_t i = 0; i < 10; ++i) {
        ASSERT_EQ(HwPCIV_ReadMessageTimeout(&title, 10000, nullptr), 0) << i;
        EXPECT_EQ(title.stMsgHead.u32MsgType, i % 2);
        EXPECT_EQ(title.stMsgHead.u32MsgLen, 32u);
    }
    varnelle::testing::FakeChip::Record ack;
    for (uint32_t i = 0; i < 10; ++i) {
        ASSERT_TRUE(master.Take(124, &ack)) << i;
        EXPECT_EQ(ack.msg.stMsgHead.u32MsgType, 19u);
        EXPECT_EQ(ack.msg.au32Payload[2], i) << "acknowledged in order";
    }
    EXPECT_EQ(g_osdNotices.load() - notices, 10);
    // Stopping the OSD slot gives the notices back to the title reader's general queue.
    SlaveStopReceiver(PcivGetOsdTrans());
    ASSERT_TRUE(master.SendMsg(123, PCIV_MSGTYPE_NOTIFY, &n, sizeof(n)));
    ASSERT_EQ(HwPCIV_ReadMessageTimeout(&title, 10000, nullptr), 0);
    EXPECT_EQ(title.stMsgHead.u32MsgType, 18u);
    PCIV_TitlePortStop();
    mem::ZoneAllocator::Local().Free(phys);
}

uint32_t g_playRec = 0;

TEST_F(SlaveCmdTest, PlaybackParametersNeedTheTableAndAValidRecord) {
    PCIV_MSG_S m = Cmd(64, {0, 0, 0, 0, 3}, 2376);
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(Run(&m));
    EXPECT_NE(::testing::internal::GetCapturedStdout().find("the playback table is not available"), std::string::npos);
    SlaveSetPlayParamsHook([](const uint8_t* p) -> int32_t {
        std::memcpy(&g_playRec, p + 16, 4);
        return 0;
    });
    for (uint32_t rec : {48u, 0xFFFFFFFFu, 47u}) {
        g_playRec = 0;
        m = Cmd(64, {0, 0, 0, 0, rec}, 2376);
        Run(&m);
        EXPECT_EQ(g_playRec, rec == 47 ? 47u : 0u) << rec;
    }
    // A message shorter than the parameters would copy whatever an earlier command left behind.
    g_playRec = 0;
    m = Cmd(64, {0, 0, 0, 0, 5}, 2372);
    Run(&m);
    EXPECT_EQ(g_playRec, 0u);
}

TEST_F(SlaveCmdTest, CascadePositionsFollowThePlaybackMode) {
    SLAVE_SYS_PARAM_S p{};
    p.u32ChnStart = 0;
    p.u32ChnEnd = 4;
    p.u32FirstDecChn = 4;
    p.u32DecNum = 2;
    SlaveStoreSysParam(&p);
    auto vo = Registry::Get<drv::VoDriver>("/dev/vo");
    PCIV_MSG_S m = Cmd(81, {1});
    EXPECT_FALSE(Run(&m));
    for (MK_U32 pos = 0; pos < 4; ++pos) {
        auto bound = vo->CascadePosition(pos);
        ASSERT_TRUE(bound.has_value()) << pos;
        EXPECT_EQ(bound->first, 7);
        EXPECT_EQ(bound->second, static_cast<int>(pos));
    }
    m = Cmd(81, {0});
    Run(&m);
    EXPECT_FALSE(vo->CascadePosition(0).has_value());
    EXPECT_TRUE(vo->CascadePosition(4).has_value());
    EXPECT_TRUE(vo->CascadePosition(5).has_value());
    m = Cmd(81, {2});
    Run(&m);
    EXPECT_TRUE(vo->CascadePosition(4).has_value()) << "mode 2 does nothing";
    SlaveResetSysCfg();
}

TEST_F(SlaveCmdTest, GroupResetRunsOnlyWithASecondWordOfZero) {
    PCIV_MSG_S m = Cmd(8, {40, 4});
    Run(&m);
    auto vpss = Registry::Find("/dev/vpss");
    const unsigned long kReset = MK_VPSS_REQ_NONE(4, void);
    vpss->ResetCounters();
    m = Cmd(45, {40, 1});
    EXPECT_FALSE(Run(&m));
    EXPECT_EQ(vpss->RequestCount(kReset), 0);
    m = Cmd(45, {40, 0});
    EXPECT_FALSE(Run(&m));
    EXPECT_EQ(vpss->RequestCount(kReset), 1);
}

TEST_F(SlaveCmdTest, GroupCropAndCascadePattern) {
    PCIV_MSG_S m = Cmd(8, {41, 4});
    Run(&m);
    m = Cmd(47, {41, 1, 1, 8, 16, 320, 240});
    EXPECT_FALSE(Run(&m));
    VPSS_CROP_INFO_S crop{};
    ASSERT_EQ(MK_MPI_VPSS_GetGrpCrop(41, &crop), 0);
    EXPECT_EQ(crop.bEnable, 1u);
    EXPECT_EQ(crop.stCropRect.u32Width, 320u);
    m = Cmd(83, {3});
    EXPECT_FALSE(Run(&m));
    MK_U32 pattern = 0;
    ASSERT_EQ(MK_MPI_VO_GetCascadePattern(7, &pattern), 0);
    EXPECT_EQ(pattern, 4u) << "whatever the mode word says";
}

// Waits up to ten seconds for `pred`.
bool Eventually(const std::function<bool()>& pred) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > until) return false;
        sched_yield();
    }
    return true;
}

PCIV_TRANS_SENDER_S* SenderOf(PCIV_TRANS_CHN_S* slot) {
    return static_cast<PCIV_TRANS_SENDER_S*>(slot->pTrans.load());
}

// One send of `len` bytes from the slot's sender, as the fetch thread makes it; the notice as the
// master reads it.
PCIV_TRANS_NOTICE_S SendFrom(PCIV_TRANS_CHN_S* slot, varnelle::testing::FakeMaster* master, uint32_t len) {
    {
        std::lock_guard<std::mutex> lock(slot->mtxTrans);
        std::vector<uint8_t> data(len, 0x5A);
        EXPECT_EQ(PCIV_Trans_WriteLocBuf(SenderOf(slot), data.data(), len), 0);
        EXPECT_EQ(PCIV_Trans_SendData(SenderOf(slot)), 0);
    }
    varnelle::testing::FakeChip::Record r{};
    EXPECT_TRUE(master->Take(slot->u32NoticePort.load(), &r));
    return *reinterpret_cast<const PCIV_TRANS_NOTICE_S*>(r.msg.au32Payload);
}

// A repeated command 10 makes a sender that takes nothing of the ring it replaces: not what is queued
// on its acknowledgement port when it starts, nor what the master's old reader sends late, though its
// ranges lie inside what the new ring has sent and not had acknowledged; nor one out of order, or past
// what it sent. Refusals are counted and said once a while.
TEST_F(SlaveCmdTest, ARepeatedSenderTakesNoAcknowledgementOfTheRingItReplaced) {
    varnelle::testing::FakeMaster master;
    ASSERT_TRUE(master.ok());
    MapPorts();
    PCIV_TRANS_CHN_S* slot = PcivGetVencTrans();
    auto start = [] {
        PCIV_MSG_S m = Cmd(10, {0, 0, 32 * 1024, 0x40100000, 101, 102});
        Run(&m);
        return m.stMsgHead.s32Result;
    };
    auto ack = [&](uint32_t start, uint32_t end, uint32_t seq) {
        PCIV_TRANS_NOTICE_S a = {start, end, seq};
        ASSERT_TRUE(master.SendMsg(102, PCIV_MSGTYPE_FREE, &a, sizeof(a)));
    };
    // Acknowledgements of an earlier ring, still queued when the command comes.
    ack(0, 8000, 0);
    ack(0, 16000, 1);
    ASSERT_TRUE(Eventually([] { return varnelle::mcc::QueuedMessages(0, 102) == 2; }));
    ASSERT_EQ(start(), 0);
    EXPECT_EQ(varnelle::mcc::QueuedMessages(0, 102), 0u) << "dropped before the new sender reads";
    EXPECT_EQ(SendFrom(slot, &master, 8000).u32Start, 0u);
    EXPECT_EQ(SendFrom(slot, &master, 8000).u32Start, 8000u);
    // The master holds those acknowledgements and sends 10 again for the same ring; its new reader
    // takes the new ring's first notices, [0, 5000) to [15000, 20000), and only then does what the old
    // reader held arrive.
    ASSERT_EQ(start(), 0);
    PCIV_TRANS_SENDER_S* s = SenderOf(slot);
    for (uint32_t i = 0; i < 4; ++i) {
        const PCIV_TRANS_NOTICE_S n = SendFrom(slot, &master, 5000);
        EXPECT_EQ(n.u32Start, i * 5000);
        EXPECT_EQ(n.u32Seq, i);
    }
    ::testing::internal::CaptureStdout();
    ack(0, 8000, 0);
    ack(8000, 16000, 1);
    ack(5000, 10000, 0);  // the second notice before the first
    ack(2500, 10000, 0);  // from inside the first to the end of the second
    ack(0, 20064, 0);     // 64 bytes past the latest notice
    EXPECT_TRUE(Eventually([&] { return s->u64AckRefused.load() == 5 || s->u32ReadPos.load() != 0; }));
    EXPECT_EQ(s->u32ReadPos.load(), 0u);
    // The ring is full for what the master has not read: nothing goes over it.
    {
        std::lock_guard<std::mutex> lock(slot->mtxTrans);
        std::vector<uint8_t> data(8000, 0x5A);
        EXPECT_EQ(PCIV_Trans_WriteLocBuf(s, data.data(), 8000), 0);
        EXPECT_EQ(PCIV_Trans_SendData(s), 0);  // after 20000
        EXPECT_EQ(PCIV_Trans_WriteLocBuf(s, data.data(), 8000), 0);
        EXPECT_EQ(PCIV_Trans_SendData(s), -1);
    }
    // The right ones, one and then two at once.
    ack(0, 5000, 0);
    EXPECT_TRUE(Eventually([&] { return s->u32ReadPos.load() == 5000; }));
    ack(5000, 15000, 1);
    EXPECT_TRUE(Eventually([&] { return s->u32ReadPos.load() == 15000; }));
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(s->u64AckRefused.load(), 5u);
    const size_t line = out.find("bad acknowledgement");
    EXPECT_NE(line, std::string::npos) << out;
    EXPECT_EQ(line, out.rfind("bad acknowledgement")) << "said once\n" << out;
    SlaveStopSender(slot);
}

// A receiver thread whose decoder holds it up: it reads nothing until its slot stops, so the master's
// notices queue on the port.
void* StalledReceiver(void* arg) {
    PCIV_WaitReadable(static_cast<PCIV_TRANS_CHN_S*>(arg)->stop.fd(), -1, nullptr);
    return nullptr;
}

// What is queued on the notice port when 16 or 58 comes was sent for the receiver it replaces: the new
// receiver's first acknowledgement is of the first notice sent after the command, under
// its sequence number 0.
TEST_F(SlaveCmdTest, ARepeatedReceiverTakesNoneOfTheNoticesQueuedForTheOneItReplaced) {
    varnelle::testing::FakeMaster master;
    ASSERT_TRUE(master.ok());
    MapPorts();
    SLAVE_SYS_PARAM_S p{};
    SlaveStoreSysParam(&p);
    PcivSetWindowBase(0x9f800000u);
    uint32_t phys = mem::ZoneAllocator::Local().Allocate(4096);
    const uint32_t m = phys + 0x60800000u;
    struct Case {
        const char* what;
        PCIV_MSG_S cmd;
        uint32_t notice, ack;
        PCIV_TRANS_CHN_S* slot;
    } cases[] = {
        {"decoder slot", Cmd(16, {0, 0, 4096, m, 109, 110, 2}), 109, 110, PcivGetChnTrans(2)},
        {"OSD slot", Cmd(58, {0, 0, 4096, m, 119, 120}), 119, 120, PcivGetOsdTrans()},
        {"OSD slot on the title port", Cmd(58, {0, 0, 4096, m, 123, 124}), 123, 124, PcivGetOsdTrans()},
    };
    for (Case& c : cases) {
        SlaveSetVdecStreamThread(StalledReceiver);
        SlaveSetOsdBufferThread(StalledReceiver);
        PCIV_MSG_S first = c.cmd;
        ASSERT_TRUE(Run(&first));
        ASSERT_EQ(first.stMsgHead.s32Result, 0) << c.what;
        // The title port's reader too holds up: the notices wait on the port.
        PCIV_TitlePortStop();
        for (uint32_t i = 0; i < 3; ++i) {
            PCIV_TRANS_NOTICE_S old = {100, 164, i};
            ASSERT_TRUE(master.SendMsg(c.notice, PCIV_MSGTYPE_NOTIFY, &old, sizeof(old)));
        }
        ASSERT_TRUE(Eventually([&] { return varnelle::mcc::QueuedMessages(0, static_cast<int>(c.notice)) == 3; }));
        SlaveSetVdecStreamThread(ReceiverLoop);
        SlaveSetOsdBufferThread(ReceiverLoop);
        PCIV_MSG_S again = c.cmd;
        ASSERT_TRUE(Run(&again));
        ASSERT_EQ(again.stMsgHead.s32Result, 0) << c.what;
        PCIV_TRANS_NOTICE_S fresh = {200, 264, 0};
        ASSERT_TRUE(master.SendMsg(c.notice, PCIV_MSGTYPE_NOTIFY, &fresh, sizeof(fresh)));
        varnelle::testing::FakeChip::Record r{};
        ASSERT_TRUE(master.Take(c.ack, &r)) << c.what;
        const auto* a = reinterpret_cast<const PCIV_TRANS_NOTICE_S*>(r.msg.au32Payload);
        EXPECT_EQ(a->u32Start, 200u) << c.what;
        EXPECT_EQ(a->u32End, 264u) << c.what;
        EXPECT_EQ(a->u32Seq, 0u) << c.what;
        SlaveStopReceiver(c.slot);
    }
    PCIV_TitlePortStop();
    mem::ZoneAllocator::Local().Free(phys);
    SlaveResetSysCfg();
}

// A refused 10, 16 or 58 leaves the running sender or receiver as it was: its record, ring or buffer,
// ports, what it held, its sequence numbers and its thread, which goes on serving the master.
TEST_F(SlaveCmdTest, ARefusedStartLeavesTheRunningStreamAsItWas) {
    varnelle::testing::FakeMaster master;
    ASSERT_TRUE(master.ok());
    MapPorts();
    SlaveSetVdecStreamThread(ReceiverLoop);
    SlaveSetOsdBufferThread(ReceiverLoop);
    SLAVE_SYS_PARAM_S p{};
    SlaveStoreSysParam(&p);
    PcivSetWindowBase(0x9f800000u);
    uint32_t phys = mem::ZoneAllocator::Local().Allocate(4096);
    const uint32_t m = phys + 0x60800000u;
    const uint32_t outside = 0x30000000u;                       // beyond the slave's memory once mapped
    const uint32_t pastEnd = 0xC0000000u - 2048 - 0x9f800000u;  // its last 2048 bytes
    PCIV_TRANS_CHN_S* venc = PcivGetVencTrans();
    PCIV_TRANS_CHN_S* dec = PcivGetChnTrans(2);
    PCIV_TRANS_CHN_S* osd = PcivGetOsdTrans();
    PCIV_MSG_S start[] = {Cmd(10, {0, 0, 32 * 1024, 0x40100000, 101, 102}), Cmd(16, {0, 0, 4096, m, 109, 110, 2}),
                          Cmd(58, {0, 0, 4096, m, 123, 124})};
    for (PCIV_MSG_S& c : start) {
        ASSERT_TRUE(Run(&c));
        ASSERT_EQ(c.stMsgHead.s32Result, 0);
    }
    // The sender has sent one notice and holds 100 bytes more; each receiver has acknowledged one.
    const PCIV_TRANS_NOTICE_S sent = SendFrom(venc, &master, 1000);
    {
        std::lock_guard<std::mutex> lock(venc->mtxTrans);
        uint8_t held[100] = {};
        ASSERT_EQ(PCIV_Trans_WriteLocBuf(SenderOf(venc), held, sizeof(held)), 0);
    }
    varnelle::testing::FakeChip::Record r{};
    for (uint32_t port : {109u, 123u}) {
        PCIV_TRANS_NOTICE_S n = {0, 64, 0};
        ASSERT_TRUE(master.SendMsg(port, PCIV_MSGTYPE_NOTIFY, &n, sizeof(n)));
        ASSERT_TRUE(master.Take(port + 1, &r));
    }
    void* const records[] = {venc->pTrans.load(), dec->pTrans.load(), osd->pTrans.load()};
    struct Case {
        const char* what;
        PCIV_MSG_S cmd;
    } cases[] = {
        {"a ring of 0 bytes", Cmd(10, {0, 0, 0, 0x40100000, 101, 102})},
        {"a ring no pool holds", Cmd(10, {0, 0, 1u << 20, 0x40100000, 101, 102})},
        {"a buffer of 0 bytes", Cmd(16, {0, 0, 0, m, 109, 110, 2})},
        {"a buffer of 2 bytes", Cmd(16, {0, 0, 2, m, 109, 110, 2})},
        {"a buffer outside memory", Cmd(16, {0, 0, 4096, outside, 109, 110, 2})},
        {"a buffer past the end", Cmd(16, {0, 0, 4096, pastEnd, 109, 110, 2})},
        {"notices the OSD receiver reads", Cmd(16, {0, 0, 4096, m, 123, 110, 2})},
        {"an OSD buffer of 2 bytes", Cmd(58, {0, 0, 2, m, 123, 124})},
        {"an OSD buffer past the end", Cmd(58, {0, 0, 4096, pastEnd, 123, 124})},
        {"notices the decoder slot reads", Cmd(58, {0, 0, 4096, m, 109, 124})},
    };
    for (Case& c : cases) {
        ASSERT_TRUE(Run(&c.cmd)) << c.what;
        EXPECT_EQ(c.cmd.stMsgHead.s32Result, -1) << c.what;
        const PCIV_TRANS_CHN_S* slots[] = {venc, dec, osd};
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(slots[i]->pTrans.load(), records[i]) << c.what;
            EXPECT_EQ(slots[i]->s32Running.load(), 1) << c.what;
        }
        EXPECT_EQ(venc->u32ReadPort.load(), 102u) << c.what;
        EXPECT_EQ(dec->u32ReadPort.load(), 109u) << c.what;
        EXPECT_EQ(osd->u32ReadPort.load(), 123u) << c.what;
    }
    // Each goes on where it was: the sender with what it held and its read position moving, the
    // receivers acknowledging under their next sequence number.
    ASSERT_EQ(venc->pTrans.load(), records[0]);
    EXPECT_EQ(PCIV_Trans_HeldBytes(SenderOf(venc)), 100u);
    EXPECT_EQ(SenderOf(venc)->u32Seq.load(), 1u);
    ASSERT_TRUE(master.SendMsg(102, PCIV_MSGTYPE_FREE, &sent, sizeof(sent)));
    EXPECT_TRUE(Eventually([&] { return SenderOf(venc)->u32ReadPos.load() == sent.u32End; }));
    for (uint32_t port : {109u, 123u}) {
        PCIV_TRANS_NOTICE_S n = {64, 128, 1};
        ASSERT_TRUE(master.SendMsg(port, PCIV_MSGTYPE_NOTIFY, &n, sizeof(n)));
        ASSERT_TRUE(master.Take(port + 1, &r)) << port;
        EXPECT_EQ(r.msg.au32Payload[2], 1u) << port;
    }
    SlaveStopSender(venc);
    SlaveStopReceiver(dec);
    SlaveStopReceiver(osd);
    PCIV_TitlePortStop();
    mem::ZoneAllocator::Local().Free(phys);
    SlaveResetSysCfg();
}

}  // namespace

// The lines a failing handler prints carry the handler's own name and source file, as the master's
// log readers expect.
TEST_F(SlaveCmdTest, FailureLinesNameTheHandler) {
    PCIV_MSG_S grp = Cmd(8, {42, 4});
    Run(&grp);
    struct Case {
        const char* what;
        const char* node;      // device to fail a request of, or null
        unsigned long request;
        PCIV_MSG_S msg;
        const char* expected;  // in the printed line
    } cases[] = {
        {"window pools", "/dev/pciv", PCIV_WINVBDESTROY_CTRL, Cmd(19, {1}, 68), "Func:Pciv_SlaveInitWinVb,"},
        {"osd buffers", "/dev/pciv", PCIV_MALLOC_CTRL, Cmd(57, {0, 0, 4096, 1}, 80),
         "Ostrel: ../pci/pciv_slave.c,Pciv_SlaveINIT_OSD_MALLOC,Line"},
        {"base window", "/dev/pciv", PCIV_GETBASEWINDOW_CTRL, Cmd(96, {}, 156),
         "==>SlaveSysParamsInit("},
        {"group exists", nullptr, 0, Cmd(8, {42, 4}), "==>SlaveStartVpss("},
        {"display attribute", nullptr, 0, Cmd(46, {99, 0, 0, 0, 0, 0, 0, 0, 0}), "==>SlaveVoChnAttrConfig("},
        {"group crop", nullptr, 0, Cmd(47, {43, 1, 1, 8, 16, 320, 240}), "==>SlaveSetVpssGrpGrop("},
        {"split mode", nullptr, 0, Cmd(83, {3}), "Ostrel: ../pci/pciv_slave.c,SlaverSetVoSplitMode,Line"},
    };
    for (Case& c : cases) {
        if (c.node) Registry::Find(c.node)->FailRequest(c.request, -1, 1, EIO);
        ::testing::internal::CaptureStdout();
        Run(&c.msg);
        std::string out = ::testing::internal::GetCapturedStdout();
        if (c.node) Registry::Find(c.node)->ClearFaults();
        EXPECT_NE(out.find(c.expected), std::string::npos) << c.what << ": " << out;
    }
    SlaveResetSysCfg();
}
