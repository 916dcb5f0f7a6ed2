// Video input configuration against the capture driver's view: device templates and masks, channel
// sizes, rates, re-binding and minor pictures, the re-adaptation of command 87 and the rate setter.
// Expected records are written out by hand from the rules.
#include "app/comm/comm_vi.h"

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/comm/comm_bind.h"
#include "app/comm/comm_cfg.h"
#include "app/comm/comm_map.h"
#include "app/comm/comm_register.h"
#include "app/comm/comm_setup_hooks.h"
#include "app/pci/pciv_cmd.h"
#include "app/pci/pciv_test_master.h"
#include "platform/drivers/all/install.h"
#include "platform/drivers/core/bind_graph.h"
#include "platform/drivers/vb/vb_driver.h"
#include "platform/drivers/vb/vb_plan_testing.h"
#include "platform/drivers/vi/vi_driver.h"
#include "sdk/vb/mpi_vb.h"
#include "sdk/vi/mpi_vi.h"

namespace {

namespace drv = varnelle::drivers;
namespace dev = varnelle::dev;

// Wiring of the test's split records: logical channel i on capture channel 2i of device i/2.
int32_t Wiring(int32_t chn, int32_t* vi, int32_t* dev) {
    if (chn < 0 || chn >= 16) return -1;
    *vi = 2 * chn;
    *dev = chn / 2;
    return 0;
}
uint32_t g_vstd = 0;
uint32_t SplitVstd() { return g_vstd; }
std::vector<std::string> g_calls;
int32_t LossPic(int32_t chn, int32_t on) {
    g_calls.push_back("loss " + std::to_string(chn) + " " + std::to_string(on));
    return 0;
}
std::map<int32_t, int32_t> g_picSize;
void SetPicSize(int32_t chn, int32_t code) { g_picSize[chn] = code; }
int32_t RcSrc(int32_t chn, int32_t a, int32_t b, int32_t c) {
    g_calls.push_back("rcsrc " + std::to_string(chn) + " " + std::to_string(a + b + c));
    return 0;
}
int32_t g_formatCode = -1;
int32_t FormatSize(int32_t, int32_t) { return g_formatCode; }
int32_t SetFormat(int32_t chn, int32_t stream) {
    g_calls.push_back("format " + std::to_string(chn) + " " + std::to_string(stream));
    return 0;
}
int32_t g_single = -1;
int32_t Single() { return g_single; }
int32_t SinglePreview(int32_t chn) {
    g_calls.push_back("single " + std::to_string(chn));
    return 0;
}
int32_t MultiPreview(int32_t chn) {
    g_calls.push_back("multi " + std::to_string(chn));
    return 0;
}
int32_t ChnVi(int32_t, int32_t sel) { return sel == 0 ? 14 : 3; }
void PreScale(uint32_t, int32_t, int32_t, uint32_t w, uint32_t h, uint32_t* ow, uint32_t* oh) {
    *ow = w / 4;
    *oh = h / 4;
}

struct Settings {
    uint32_t dev = 656, board = 47, start = 0, end = 16;
    int16_t a1080p = 0, a4m = 0, a5m = 0, a3m = 0;
    uint32_t pb = 8;
};

class ViConfigTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_bus = new varnelle::testing::ScopedBus;
        drv::InstallAll();
    }
    static void TearDownTestSuite() { delete s_bus; }
    void SetUp() override {
        drv::ViDriver::Get()->Reset();
        drv::BindGraph::Instance().Clear();
        CommClearSetupHooks();
        CommResetViState();
        CommSetSplitGetChnWiringHook(Wiring);
        CommSetSplitGetVstdHook(SplitVstd);
        CommSetLossSetUserPicHook(LossPic);
        CommSetSplitSetChnPicSizeHook(SetPicSize);
        CommSetCaptureSetRCSrcHook(RcSrc);
        CommSetCaptureGetFormatSizeHook(FormatSize);
        CommSetCaptureSetFormatHook(SetFormat);
        CommSetSplitGetSinglePreviewHook(Single);
        CommSetSignlePreviewHook(SinglePreview);
        CommSetMultiPreviewHook(MultiPreview);
        CommSetSplitGetChnViHook(ChnVi);
        CommSetSplitCalcPreScaleHook(PreScale);
        g_vstd = 0;
        g_calls.clear();
        g_picSize.clear();
        g_formatCode = -1;
        g_single = -1;
        PCIV_ClearCmdHandlers();
        CommRegisterModule();
        dev::Registry::Find("/dev/vi")->ClearFaults();
    }
    void TearDown() override {
        CommClearSetupHooks();
        SlaveResetSysCfg();
    }
    static void Apply(const Settings& s) {
        SLAVE_SYS_PARAM_S p;
        std::memset(&p, 0, sizeof(p));
        p.u32DevType = s.dev;
        p.u32BoardSubType = s.board;
        p.u32ChnStart = s.start;
        p.u32ChnEnd = s.end;
        p.stHvrCap.as16Analog[HVR_CAP_1080P] = s.a1080p;
        p.stHvrCap.as16Analog[HVR_CAP_4M] = s.a4m;
        p.stHvrCap.as16Analog[HVR_CAP_5M] = s.a5m;
        p.stHvrCap.as16Analog[HVR_CAP_3M] = s.a3m;
        p.stHvrCap.u32MaxPlayBackWay = s.pb;
        SlaveStoreSysParam(&p);
    }
    static void Cmd(uint32_t code, std::vector<uint32_t> words) {
        PCIV_MSG_S m;
        std::memset(&m, 0, sizeof(m));
        m.stMsgHead.u32MsgType = code;
        m.stMsgHead.u32MsgLen = static_cast<uint32_t>(4 * words.size());
        std::memcpy(m.au32Payload, words.data(), 4 * words.size());
        EXPECT_FALSE(PCIV_RunCmd(&m)) << "command " << code << " is not answered";
    }
    static drv::ViChnView Chn(int c) { return drv::ViDriver::Get()->Channel(c); }
    static inline varnelle::testing::ScopedBus* s_bus = nullptr;
};

struct DevWant {
    MK_U32 intf, work, mask0, mask1, edge, seq;
    std::vector<std::pair<int, MK_U32>> sync;  // the non-zero sync words
};

void ExpectDev(const VI_DEV_ATTR_S& a, const DevWant& w) {
    EXPECT_EQ(a.enIntfMode, w.intf);
    EXPECT_EQ(a.enWorkMode, w.work);
    EXPECT_EQ(a.au32CompMask[0], w.mask0);
    EXPECT_EQ(a.au32CompMask[1], w.mask1);
    EXPECT_EQ(a.enClkEdge, w.edge);
    for (MK_S32 ad : a.s32AdChnId) EXPECT_EQ(ad, -1);
    EXPECT_EQ(a.enDataSeq, w.seq);
    MK_U32 sync[15];
    std::memcpy(sync, &a.stSynCfg, sizeof(sync));
    MK_U32 want[15] = {};
    for (const auto& [i, v] : w.sync) want[i] = v;
    for (int i = 0; i < 15; ++i) EXPECT_EQ(sync[i], want[i]) << "sync word " << i;
    EXPECT_EQ(a.enDataPath, 0u);
    EXPECT_EQ(a.enInputDataType, 0u);
    EXPECT_EQ(a.bDataRev, 0u);
}

TEST_F(ViConfigTest, DeviceTemplatesAndMasks) {
    const std::vector<std::pair<int, MK_U32>> s5 = {{5, 1}};
    const std::vector<std::pair<int, MK_U32>> s4 = {{1, 1}, {8, 1920}, {11, 1080}};
    struct Case {
        const char* name;
        Settings s;
        int32_t dev, mode;
        DevWant want;
    } cases[] = {
        {"T1 on 652", {.dev = 652}, 0, 0, {0, 2, 0x00FF0000, 0, 2, 3, s5}},
        {"T1 on 653, board 50", {.dev = 653, .board = 50}, 1, 0, {0, 2, 0xFF000000, 0, 0, 3, s5}},
        {"T2 on 657", {.dev = 657}, 2, 0, {0, 0, 0x00FF0000, 0, 2, 3, s5}},
        {"T2 on board 55 with 1080P", {.dev = 651, .board = 55, .a1080p = 8}, 3, 0, {0, 0, 0xFF000000, 0, 0, 3, s5}},
        {"T2 on 659, board 59", {.dev = 659, .board = 59}, 4, 0, {0, 0, 0x00FF0000, 0, 0, 3, s5}},
        {"T3 plain", {.dev = 656}, 5, 0, {0, 1, 0xFF000000, 0, 0, 3, s5}},
        {"T3 with 4M", {.dev = 656, .a4m = 8}, 6, 0, {0, 1, 0x00FF0000, 0, 2, 3, s5}},
        {"T3 with 3M on board 50", {.dev = 656, .board = 50, .a3m = 8}, 7, 0, {0, 1, 0xFF000000, 0, 0, 3, s5}},
        {"T4 by mode 5, device 0", {.dev = 652}, 0, 5, {3, 0, 0xFF000000, 0x00FF0000, 0, 1, s4}},
        {"T4 by mode 5, device 1", {.dev = 657}, 1, 5, {3, 0, 0xFF000000, 0x00FF0000, 0, 1, s4}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        drv::ViDriver::Get()->Reset();
        Apply(c.s);
        Cmd(92, {static_cast<uint32_t>(c.dev), static_cast<uint32_t>(c.mode)});
        drv::ViDevView v = drv::ViDriver::Get()->Device(c.dev);
        EXPECT_TRUE(v.enabled);
        ExpectDev(v.attr, c.want);
    }
}

TEST_F(ViConfigTest, DeviceFailuresReturnMinusOne) {
    Apply({});
    dev::Registry::Find("/dev/vi")->FailRequest(mk::vi::kSetDevAttr, static_cast<int>(0xA0108003u));
    EXPECT_EQ(Comm_ViPubConfig(0, 0), -1);
    EXPECT_FALSE(drv::ViDriver::Get()->Device(0).enabled);
    dev::Registry::Find("/dev/vi")->FailRequest(mk::vi::kEnableDev, static_cast<int>(0xA0108003u));
    EXPECT_EQ(Comm_ViPubConfig(0, 0), -1);
    EXPECT_EQ(Comm_ViPubConfig(9, 0), -1) << "no such device";
}

TEST_F(ViConfigTest, ChannelSizesRatesAndFlips) {
    struct Case {
        const char* name;
        Settings s;
        uint32_t vstd;
        int32_t chn, code, flip;
        VI_RECT_S rect;
        int32_t src, dst;
        bool mirror, flipped;
    } cases[] = {
        {"944 x 1080 starts at 16", {.dev = 656}, 0, 0, 2, 0, {16, 0, 944, 1080}, 25, 0, false, false},
        {"no rate on 656, NTSC", {.dev = 656}, 1, 1, 0, 1, {0, 0, 704, 480}, 30, 0, true, false},
        {"4M on 660", {.dev = 660, .a4m = 16}, 0, 2, 16, 2, {0, 0, 2560, 1440}, 15, 8, false, true},
        {"1080P on 660 with 4M", {.dev = 660, .a4m = 16}, 1, 3, 14, 0, {0, 0, 1920, 1080}, 30, 15, false, false},
        {"3M variant on 660 with 4M", {.dev = 660, .a4m = 16}, 0, 4, 17, 0, {0, 0, 1920, 1440}, 18, 10, false, false},
        {"5M on board 55", {.dev = 658, .board = 55}, 0, 5, 18, 0, {0, 0, 2560, 1944}, 20, 20, false, false},
        {"5M on board 47", {.dev = 658}, 0, 6, 18, 0, {0, 0, 2560, 1944}, 12, 12, false, false},
        {"8M PAL", {.dev = 658}, 0, 7, 20, 0, {0, 0, 3840, 2160}, 12, 12, false, false},
        {"8M NTSC", {.dev = 658}, 1, 7, 20, 0, {0, 0, 3840, 2160}, 15, 15, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Apply(c.s);
        g_vstd = c.vstd;
        Cmd(93, {static_cast<uint32_t>(2 * c.chn), static_cast<uint32_t>(c.code) | 0xABCD0000u,
                 static_cast<uint32_t>(c.flip), 0x12340000u});
        drv::ViChnView v = Chn(2 * c.chn);
        EXPECT_TRUE(v.enabled);
        EXPECT_EQ(v.attr.stCapRect.s32X, c.rect.s32X);
        EXPECT_EQ(v.attr.stCapRect.s32Y, 0);
        EXPECT_EQ(v.attr.stCapRect.u32Width, c.rect.u32Width);
        EXPECT_EQ(v.attr.stCapRect.u32Height, c.rect.u32Height);
        EXPECT_EQ(v.attr.u32DestWidth, c.rect.u32Width);
        EXPECT_EQ(v.attr.u32DestHeight, c.rect.u32Height);
        EXPECT_EQ(v.attr.enCapSel, 2u);
        EXPECT_EQ(v.attr.enScanMode, 1u);
        EXPECT_EQ(v.attr.enPixFormat, 23u);
        EXPECT_EQ(v.attr.bMirror, c.mirror ? 1u : 0u);
        EXPECT_EQ(v.attr.bFlip, c.flipped ? 1u : 0u);
        EXPECT_EQ(v.attr.s32SrcFrameRate, c.src);
        EXPECT_EQ(v.attr.s32DstFrameRate, c.dst);
        EXPECT_FALSE(v.minorSet) << "not the wide configuration";
        EXPECT_EQ(Comm_GetViChnMainFps(c.chn), c.dst);
        EXPECT_TRUE(Comm_ViChnIsConfigured(c.chn));
    }
    EXPECT_EQ(g_calls.back(), "loss 7 1");
}

// An input size that no block of the common pools holds (4:2:0, W x H x 3 / 2 bytes at these widths)
// is refused with a line before anything changes: the input runs on as configured. Without pools (the
// tests above) nothing is checked.
TEST_F(ViConfigTest, InputSizesThePoolsCannotHoldAreRefused) {
    Apply({.dev = 658});
    const VB_CONF_S conf = drv::vb_testing::Plan({{3159360, 2}});
    ASSERT_EQ(MK_MPI_VB_SetConf(&conf), 0);
    ASSERT_EQ(MK_MPI_VB_Init(), 0);
    struct PoolsGo {
        ~PoolsGo() {
            MK_MPI_VB_Exit();
            dev::Registry::Get<drv::VbDriver>("/dev/vb")->Reset();  // the plan too: the next tests have none
        }
    } poolsGo;
    Cmd(93, {0, 14, 0, 0});
    struct Case {
        int32_t code;
        uint32_t need;   // 0: carried
        uint32_t width, height;  // the input's after
    } cases[] = {{20, 12441600, 1920, 1080}, {17, 4147200, 1920, 1080}, {2, 0, 944, 1080}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        ::testing::internal::CaptureStdout();
        Cmd(93, {0, static_cast<uint32_t>(c.code), 0, 0});
        const std::string out = ::testing::internal::GetCapturedStdout();
        EXPECT_TRUE(Chn(0).enabled);
        EXPECT_EQ(Chn(0).attr.u32DestWidth, c.width);
        EXPECT_EQ(Chn(0).attr.u32DestHeight, c.height);
        if (c.need != 0) {
            EXPECT_NE(out.find(std::to_string(c.need) + " bytes"), std::string::npos) << out;
        }
    }
}

// Channels not on a multiple of 4 are bound to their device's way 1 on the listed products and
// boards, when they have no binding yet.
TEST_F(ViConfigTest, RebindingRule) {
    struct Case {
        uint32_t dev, board;
        int32_t vi;
        bool rebound;
    } cases[] = {
        {656, 47, 2, true},  {660, 47, 6, true},  {651, 47, 10, true}, {656, 47, 4, false},
        {656, 47, 0, false}, {652, 47, 2, false}, {653, 55, 2, true},  {661, 58, 6, true},
        {661, 47, 6, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.dev) + "/" + std::to_string(c.board) + " vi " + std::to_string(c.vi));
        drv::ViDriver::Get()->Reset();
        Apply({.dev = c.dev, .board = c.board});
        EXPECT_EQ(Comm_ViChnConfig(c.vi, 0, 0, 0), 0);
        drv::ViChnView v = Chn(c.vi);
        EXPECT_EQ(v.bound, c.rebound);
        if (c.rebound) {
            EXPECT_EQ(v.bind.ViDev, c.vi / 4);
            EXPECT_EQ(v.bind.ViWay, 1);
        }
    }
    // A channel that has a binding keeps it.
    drv::ViDriver::Get()->Reset();
    Apply({.dev = 656});
    VI_CHN_BIND_ATTR_S b = {3, 2};
    ASSERT_EQ(MK_MPI_VI_BindChn(2, &b), 0);
    Comm_ViChnConfig(2, 0, 0, 0);
    EXPECT_EQ(Chn(2).bind.ViDev, 3);
    EXPECT_EQ(Chn(2).bind.ViWay, 2);
}

TEST_F(ViConfigTest, WideChannelsGetTheirMinorPicture) {
    Apply({.dev = 660, .a4m = 32, .pb = 16});
    Cmd(93, {4, 16, 0, 0});
    drv::ViChnView v = Chn(4);
    ASSERT_TRUE(v.minorSet);
    EXPECT_EQ(v.minorAttr.u32DestWidth, 1280u);
    EXPECT_EQ(v.minorAttr.u32DestHeight, 720u);
    EXPECT_EQ(v.minorAttr.s32DstFrameRate, 15 - 8) << "the source's rate (below 26) less the main rate";
    Cmd(93, {6, 14, 0, 0});
    EXPECT_EQ(Chn(6).minorAttr.s32DstFrameRate, 25 - 15) << "a PAL source counts as 25";
}

// A capture channel no split record names has no place in the 32-entry tables: refused, nothing set.
TEST_F(ViConfigTest, CaptureChannelWithoutRecordIsRefused) {
    Apply({.dev = 656, .end = 16});
    EXPECT_EQ(Comm_ViChnConfig(3, 0, 0, 0), -1) << "odd channels carry no input here";
    EXPECT_EQ(Comm_ViChnConfig(34, 0, 0, 0), -1) << "beyond the range end";
    Apply({.dev = 656, .end = 4});
    EXPECT_EQ(Comm_ViChnConfig(10, 0, 0, 0), -1) << "a record past the range end";
    EXPECT_FALSE(Chn(3).enabled);
    EXPECT_FALSE(Chn(10).enabled);
    EXPECT_TRUE(g_calls.empty());
    CommSetSplitGetChnWiringHook(nullptr);
    EXPECT_EQ(Comm_ViChnConfig(0, 0, 0, 0), -1) << "no split records at all";
}

TEST_F(ViConfigTest, ChannelFailuresReturnMinusOne) {
    Apply({.dev = 660, .a4m = 32, .pb = 16});
    auto vi = dev::Registry::Find("/dev/vi");
    for (unsigned long req : {mk::vi::kSetChnAttr, mk::vi::kEnableChn, mk::vi::kSetChnMinorAttr}) {
        vi->FailRequest(req, static_cast<int>(0xA0108003u));
        g_calls.clear();
        EXPECT_EQ(Comm_ViChnConfig(0, 14, 0, 0), -1) << std::hex << req;
        EXPECT_TRUE(g_calls.empty()) << "no lost-signal picture for a channel that failed";
    }
    vi->FailRequest(mk::vi::kDisableChn, static_cast<int>(0xA0108003u));
    EXPECT_EQ(Comm_ViChnConfig(0, 14, 0, 0), 0) << "a failed disable is only printed";
}

TEST_F(ViConfigTest, AdaptationToANewInputFormat) {
    Apply({.dev = 660, .a1080p = 16, .pb = 16});
    struct Case {
        int32_t format, fps;
        VI_RECT_S rect;
        uint32_t destW;
        uint32_t scan;
        int32_t code, dst;
    } cases[] = {
        {1, 25, {0, 0, 1280, 720}, 1280, 1, 11, 25},     {2, 30, {0, 0, 1920, 1080}, 1920, 1, 14, 12},
        {5, 30, {0, 0, 1856, 480}, 928, 0, 10, 25},      {6, 25, {0, 0, 1856, 576}, 928, 0, 10, 25},
        {9, 20, {128, 0, 1920, 1440}, 1920, 1, 17, 20},  {10, 12, {0, 0, 2560, 1944}, 2560, 1, 18, 12},
        {11, 15, {0, 0, 2560, 1440}, 2560, 1, 16, 15},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.format);
        g_calls.clear();
        Cmd(87, {3, static_cast<uint32_t>(c.format), static_cast<uint32_t>(c.fps)});
        drv::ViChnView v = Chn(6);
        EXPECT_TRUE(v.enabled);
        EXPECT_EQ(v.attr.stCapRect.s32X, c.rect.s32X);
        EXPECT_EQ(v.attr.stCapRect.u32Width, c.rect.u32Width);
        EXPECT_EQ(v.attr.stCapRect.u32Height, c.rect.u32Height);
        EXPECT_EQ(v.attr.u32DestWidth, c.destW);
        EXPECT_EQ(v.attr.u32DestHeight, c.rect.u32Height);
        EXPECT_EQ(v.attr.enScanMode, c.scan);
        EXPECT_EQ(v.attr.s32SrcFrameRate, c.fps);
        EXPECT_EQ(v.attr.s32DstFrameRate, c.dst);
        EXPECT_EQ(v.attr.bMirror, 0u);
        EXPECT_EQ(g_picSize[3], c.code);
        EXPECT_EQ(Comm_GetViChnReportedFps(3), c.fps);
        EXPECT_EQ(g_calls, (std::vector<std::string>{"loss 3 0", "rcsrc 3 0", "rcsrc 3 0"}));
    }
    EXPECT_EQ(Comm_GetViChnMainFps(3), 25) << "the unclamped rate of 2560 x 1440 on 660";
}

TEST_F(ViConfigTest, AdaptationEdgeCases) {
    Apply({.dev = 656, .a1080p = 8});
    g_calls.clear();
    EXPECT_EQ(Comm_AdaptViChnConfigSlaver(2, 7, 17), 0);
    EXPECT_EQ(Comm_GetViChnReportedFps(2), 17) << "the rate is kept";
    EXPECT_FALSE(Chn(4).enabled) << "an unlisted format touches nothing";
    EXPECT_TRUE(g_calls.empty());
    // The per-channel tables have 32 entries.
    EXPECT_EQ(Comm_AdaptViChnConfigSlaver(32, 2, 25), -1);
    EXPECT_EQ(Comm_AdaptViChnConfigSlaver(-1, 2, 25), -1);
    EXPECT_EQ(Comm_GetViChnReportedFps(32), 0);
    // The stored main format has the new size: both streams get their formats back.
    g_formatCode = 14;
    Comm_AdaptViChnConfigSlaver(2, 2, 25);
    EXPECT_EQ(g_calls, (std::vector<std::string>{"loss 2 0", "rcsrc 2 0", "rcsrc 2 0", "format 2 0", "format 2 1"}));
    // The wide configuration redoes the preview scaling of the channel.
    Apply({.dev = 660, .a4m = 32, .pb = 16});
    g_formatCode = -1;
    g_single = 2;
    g_calls.clear();
    Comm_AdaptViChnConfigSlaver(2, 2, 25);
    Comm_AdaptViChnConfigSlaver(1, 2, 25);
    EXPECT_EQ(g_calls, (std::vector<std::string>{"loss 2 0", "rcsrc 2 0", "single 2", "rcsrc 2 0", "loss 1 0",
                                                 "rcsrc 1 0", "multi 1", "rcsrc 1 0"}));
}

// Boards 55 and 58 re-program the capture device: the clock edge follows the format's rate.
TEST_F(ViConfigTest, AdaptationReprogramsTheDeviceOnBoards55And58) {
    struct Case {
        uint32_t board;
        int32_t format, fps;
        MK_U32 edge;
    } cases[] = {{55, 9, 19, 2}, {55, 9, 18, 0}, {58, 11, 16, 2}, {58, 11, 15, 0},
                 {55, 10, 13, 2}, {55, 2, 30, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.format) + "@" + std::to_string(c.fps));
        drv::ViDriver::Get()->Reset();
        drv::BindGraph::Instance().Clear();
        Apply({.dev = 659, .board = c.board});
        ASSERT_EQ(Comm_ViPubConfig(2, 0), 0);
        ASSERT_EQ(Comm_ViBindVpss(8, 4), 0);
        EXPECT_EQ(Comm_AdaptViChnConfigSlaver(4, c.format, c.fps), 0);
        drv::ViDevView d = drv::ViDriver::Get()->Device(2);
        EXPECT_TRUE(d.enabled);
        EXPECT_EQ(d.attr.enClkEdge, c.edge);
        auto src = drv::BindGraph::Instance().SourceOf(MPP_CHN_S{MK_ID_VPSS, 4, 0});
        ASSERT_TRUE(src.has_value()) << "bound again to group 4";
        EXPECT_EQ(src->s32ChnId, 8);
    }
    // Without the device the adaptation stops.
    Apply({.dev = 659, .board = 55});
    drv::ViDriver::Get()->Reset();
    dev::Registry::Find("/dev/vi")->FailRequest(mk::vi::kGetDevAttr, static_cast<int>(0xA0108003u));
    EXPECT_EQ(Comm_AdaptViChnConfigSlaver(4, 2, 25), -1);
    EXPECT_FALSE(Chn(8).enabled);
}

TEST_F(ViConfigTest, RateSetter) {
    Apply({.dev = 656, .a1080p = 8});
    Cmd(93, {2, 14, 0, 0});
    EXPECT_EQ(Set_VichnFPS(1, 12, 1), 0);
    EXPECT_EQ(Chn(2).attr.s32DstFrameRate, 12);
    EXPECT_FALSE(Chn(2).minorSet) << "only the wide configuration has minor pictures";
    Apply({.dev = 660, .a4m = 32, .pb = 16});
    EXPECT_EQ(Set_VichnFPS(1, 10, 1), 0);
    drv::ViChnView v = Chn(2);
    ASSERT_TRUE(v.minorSet);
    EXPECT_EQ(v.minorAttr.u32DestWidth, 1920u / 4) << "the split module's pre-scale of the channel's size";
    EXPECT_EQ(v.minorAttr.u32DestHeight, 1080u / 4);
    EXPECT_EQ(v.minorAttr.s32DstFrameRate, 25 - 10);
    EXPECT_EQ(Set_VichnFPS(1, 25, 1), 0);
    EXPECT_EQ(Chn(2).minorAttr.s32DstFrameRate, 15) << "a rate below 1 sets no minor picture";
    EXPECT_EQ(Set_VichnFPS(1, 20, 0), 0);
    EXPECT_FALSE(Chn(2).minorSet) << "cleared without the flag";
    EXPECT_EQ(Set_VichnFPS(32, 20, 0), -1);
    EXPECT_EQ(Set_VichnFPS(16, 20, 0), -1) << "no record";
}

TEST_F(ViConfigTest, VariantsReachTheSameChannelSetUp) {
    Apply({.dev = 660, .board = 48, .a1080p = 16, .pb = 16});
    EXPECT_EQ(Comm_AdaptViChnConfigV3(1, 2560, 1440, 15), 0);
    EXPECT_EQ(Chn(2).attr.u32DestWidth, 2560u);
    EXPECT_EQ(Comm_AdaptViChnConfigV3(1, 1000, 1000, 15), 0) << "a size of no format changes nothing";
    EXPECT_EQ(Chn(2).attr.u32DestWidth, 2560u);
    // With the skip mode and the device re-programmed on board 48.
    ASSERT_EQ(Comm_ViPubConfig(0, 0), 0);
    EXPECT_EQ(Comm_AdaptViChnConfig(0, 9, 25), 0);
    VI_SKIP_MODE_EX_S skip;
    ASSERT_EQ(MK_MPI_VI_GetSkipModeEx(0, &skip), 0);
    EXPECT_EQ(skip.u32Width, 1920u);
    EXPECT_EQ(skip.u32Height, 1440u);
    EXPECT_EQ(drv::ViDriver::Get()->Device(0).attr.enClkEdge, 2u);
    // V2 takes the size the detection code reports.
    EXPECT_EQ(Comm_AdaptViChnConfigV2(2, 25), -1) << "no size without the detection code";
    CommSetGetInputResSizeHook([](int32_t, SIZE_S* s) {
        *s = {1280, 720};
        return 0;
    });
    EXPECT_EQ(Comm_AdaptViChnConfigV2(2, 25), 0);
    EXPECT_EQ(Chn(4).attr.u32DestWidth, 1280u);
    // Every capture device of the records is re-programmed.
    Apply({.dev = 660, .end = 4});
    for (int d = 0; d < 2; ++d) ASSERT_EQ(Comm_ViPubConfig(d, 0), 0);
    EXPECT_EQ(Comm_ViConfigV2(1), 0);
    EXPECT_TRUE(drv::ViDriver::Get()->Device(0).dllSlave);
    EXPECT_TRUE(drv::ViDriver::Get()->Device(1).dllSlave);
    EXPECT_TRUE(drv::ViDriver::Get()->Device(1).enabled);
    EXPECT_FALSE(drv::ViDriver::Get()->Device(2).dllSlave);
    EXPECT_EQ(Comm_ViConfigV2(0), 0);
    EXPECT_FALSE(drv::ViDriver::Get()->Device(0).dllSlave);
}

}  // namespace
