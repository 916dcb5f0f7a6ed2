// Processing groups, the cascade display and the binding wrappers against the drivers' views and
// the bind graph, with expected values written out by hand.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/comm/comm_bind.h"
#include "app/comm/comm_cfg.h"
#include "app/comm/comm_map.h"
#include "app/comm/comm_register.h"
#include "app/comm/comm_setup_hooks.h"
#include "app/comm/comm_vo.h"
#include "app/comm/comm_vpss.h"
#include "app/fb/graphics.h"
#include "app/pci/pciv_cmd.h"
#include "app/pci/pciv_test_master.h"
#include "platform/dev/journal.h"
#include "platform/drivers/all/install.h"
#include "platform/drivers/core/bind_graph.h"
#include "platform/drivers/vo/vo_driver.h"
#include "platform/drivers/vpss/vpss_driver.h"
#include "sdk/bind/sys_bind.h"
#include "sdk/sys/mpi_sys.h"
#include "sdk/vo/mpi_vo.h"
#include "sdk/vpss/mpi_vpss.h"

namespace {

namespace drv = varnelle::drivers;
namespace dev = varnelle::dev;

struct Settings {
    uint32_t devType = 656, board = 47, start = 0, end = 8, dec = 4, digital = 0;
    int16_t a960p = 0, a1080p = 0, a4m = 0, a5m = 0;
    uint32_t pb = 8;
    uint32_t vpssSwitch = 0;
    uint8_t zoom = 0, blind = 0, jpeg = 0, layer3 = 0;
};

class MediaPathTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_bus = new varnelle::testing::ScopedBus;
        drv::InstallAll();
    }
    static void TearDownTestSuite() { delete s_bus; }
    void SetUp() override {
        Vpss()->Reset();
        Vo()->Reset();
        drv::BindGraph::Instance().Clear();
        CommClearSetupHooks();
        CommResetVpssChnMap();
        CommResetVpssState();
        GraphicsReset();
        PCIV_ClearCmdHandlers();
        CommRegisterModule();
        for (const char* n : {"/dev/vpss", "/dev/vo", "/dev/sys"}) dev::Registry::Find(n)->ClearFaults();
    }
    void TearDown() override {
        dev::JournalStop();
        SlaveResetSysCfg();
        CommResetVpssChnMap();
        GraphicsReset();
    }
    static void Apply(const Settings& s) {
        SLAVE_SYS_PARAM_S p;
        std::memset(&p, 0, sizeof(p));
        p.u32DevType = s.devType;
        p.u32BoardSubType = s.board;
        p.u32ChnStart = s.start;
        p.u32ChnEnd = s.end;
        p.u32DecNum = s.dec;
        p.u32DigitalNum = s.digital;
        HVR_CAP_S& c = p.stHvrCap;
        c.as16Analog[HVR_CAP_960P] = s.a960p;
        c.as16Analog[HVR_CAP_1080P] = s.a1080p;
        c.as16Analog[HVR_CAP_4M] = s.a4m;
        c.as16Analog[HVR_CAP_5M] = s.a5m;
        c.u32MaxPlayBackWay = s.pb;
        p.stSlaveCfg.u32VpssSwitch = s.vpssSwitch;
        p.stSlaveCfg.u8ZoomSplit = s.zoom;
        p.stSlaveCfg.u8BlindSwitch = s.blind;
        p.stSlaveCfg.u8JpegEnable = s.jpeg;
        p.stSlaveCfg.u8Layer3Keep = s.layer3;
        SlaveStoreSysParam(&p);
        Comm_InitVpssChnMap();
    }
    static void Cmd(uint32_t code, std::vector<uint32_t> words) {
        PCIV_MSG_S m;
        std::memset(&m, 0, sizeof(m));
        m.stMsgHead.u32MsgType = code;
        m.stMsgHead.u32MsgLen = static_cast<uint32_t>(4 * words.size());
        std::memcpy(m.au32Payload, words.data(), 4 * words.size());
        EXPECT_FALSE(PCIV_RunCmd(&m)) << "command " << code << " is not answered";
    }
    static std::shared_ptr<drv::VpssDriver> Vpss() { return dev::Registry::Get<drv::VpssDriver>("/dev/vpss"); }
    static std::shared_ptr<drv::VoDriver> Vo() { return dev::Registry::Get<drv::VoDriver>("/dev/vo"); }
    static std::vector<int> Enabled(int grp) {
        std::vector<int> v;
        for (int c = 0; c < 4; ++c) {
            if (Vpss()->Channel(grp, c).enabled) v.push_back(c);
        }
        return v;
    }
    static VPSS_GRP_ATTR_S Attr(int grp) {
        VPSS_GRP_ATTR_S a{};
        EXPECT_EQ(MK_MPI_VPSS_GetGrpAttr(grp, &a), 0);
        return a;
    }
    static std::vector<MK_U32> Switches(const VPSS_GRP_ATTR_S& a) {
        return {a.bIeEn, a.bDciEn, a.bNrEn, a.bHistEn, a.bEsEn, a.enDieMode};
    }
    static inline varnelle::testing::ScopedBus* s_bus = nullptr;
};

// Which channels a group enables, by its place in the map (8 inputs, 4 decoders: inputs 0-7, second
// set 8-15, decoders 16-19, special groups from 20; wide: second set 16-23, decoders 24-27).
TEST_F(MediaPathTest, GroupChannelsByGroupKindAndSettings) {
    struct Case {
        const char* name;
        Settings s;
        int grp;
        std::vector<int> chns;
    } cases[] = {
        {"input", {}, 3, {0, 1, 2}},
        {"input, JPEG on", {.jpeg = 1}, 3, {0, 1, 2, 3}},
        {"input, blind detection on", {.blind = 1}, 0, {0, 1, 2, 3}},
        {"wide input", {.devType = 660, .a4m = 32, .pb = 16}, 3, {0, 1}},
        {"wide input, JPEG on", {.devType = 660, .a4m = 32, .pb = 16, .jpeg = 1}, 3, {0, 1, 3}},
        {"second set", {}, 9, {2}},
        {"decoder", {}, 17, {2}},
        {"decoder with the extra channel", {.vpssSwitch = 0x100}, 16, {2, 3}},
        {"special", {}, 21, {2}},
        {"special, zoom window", {.zoom = 1}, 20, {1}},
        {"wide second set", {.devType = 660, .a4m = 32, .pb = 16}, 20, {2}},
        {"wide decoder", {.devType = 660, .a4m = 32, .pb = 16}, 24, {2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Vpss()->Reset();
        Apply(c.s);
        Cmd(62, {static_cast<uint32_t>(c.grp), 1920, 1080});
        EXPECT_EQ(Enabled(c.grp), c.chns);
        drv::VpssDriver::GroupState g = Vpss()->Group(c.grp);
        EXPECT_TRUE(g.created);
        EXPECT_TRUE(g.started);
        for (int ch : c.chns) {
            VPSS_CHN_PARAM_S p;
            ASSERT_EQ(MK_MPI_VPSS_GetChnParam(c.grp, ch, &p), 0);
            EXPECT_EQ(p.u32SpStrength, 40u) << ch;
            EXPECT_EQ(p.u32SfStrength, ch == 2 ? 8u : 16u) << ch;
            EXPECT_EQ(p.u32TfStrength, ch == 2 ? 0u : 3u) << ch;
        }
        VPSS_GRP_PARAM_S gp;
        ASSERT_EQ(MK_MPI_VPSS_GetGrpParam(c.grp, &gp), 0);
        EXPECT_EQ(gp.u32IeStrength, 4u);
    }
}

TEST_F(MediaPathTest, GroupAttributesBySettings) {
    struct Case {
        const char* name;
        Settings s;
        int grp;
        MK_U32 pix;
        std::vector<MK_U32> sw;  // switch words 3 to 8
        bool backup;             // backup frame kept
    } cases[] = {
        {"input", {}, 2, 23, {1, 0, 1, 0, 0, 1}, false},
        {"input, 960P 24", {.a960p = 24}, 2, 23, {1, 0, 1, 0, 0, 1}, false},
        {"input, 1080P 16", {.a1080p = 16}, 2, 23, {1, 0, 1, 0, 0, 1}, false},
        {"first second-set group", {}, 8, 23, {0, 0, 1, 0, 0, 0}, true},
        {"second set", {}, 9, 23, {0, 0, 0, 0, 0, 0}, true},
        {"960P 24 keeps the second set's backup off", {.a960p = 24}, 9, 23, {0, 0, 0, 0, 0, 0}, false},
        {"decoder", {}, 17, 23, {0, 0, 0, 0, 0, 0}, true},
        {"wide input, 4M 32", {.devType = 660, .a4m = 32, .pb = 16}, 2, 23, {0, 0, 0, 0, 0, 0}, false},
        {"wide input, 1080P 32", {.devType = 660, .a1080p = 32, .pb = 32}, 2, 23, {1, 0, 1, 0, 0, 1}, false},
        {"wide, second set", {.devType = 660, .end = 16, .a4m = 32, .pb = 16}, 32, 23, {0, 0, 0, 0, 0, 0}, true},
        {"wide, extra group", {.devType = 660, .end = 16, .a4m = 32, .pb = 16}, 20, 23, {1, 1, 1, 0, 0, 1}, false},
        {"wide, past the inputs in the range", {.devType = 660, .start = 8, .end = 16, .a4m = 32, .pb = 16}, 10, 23,
         {1, 0, 1, 0, 0, 1}, false},
        {"pixel format 22 on board 55 with 4M", {.board = 55, .a4m = 8}, 1, 22, {1, 0, 1, 0, 0, 1}, false},
        {"pixel format 23 on board 47 with 4M", {.a4m = 8}, 1, 23, {1, 0, 1, 0, 0, 1}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Vpss()->Reset();
        Apply(c.s);
        SIZE_S size = {704, 576};
        ASSERT_EQ(Comm_VpssConfig(c.grp, &size), 0);
        VPSS_GRP_ATTR_S a = Attr(c.grp);
        EXPECT_EQ(a.u32MaxW, 704u);
        EXPECT_EQ(a.u32MaxH, 576u);
        EXPECT_EQ(a.enPixFmt, c.pix);
        EXPECT_EQ(Switches(a), c.sw);
        EXPECT_EQ(Vpss()->Group(c.grp).backupFrame, c.backup);
    }
}

TEST_F(MediaPathTest, UserModeSizesAndTheWideSizer) {
    Apply({.devType = 660, .end = 8, .a4m = 32, .pb = 16, .blind = 1});
    SIZE_S size = {2560, 1440};
    ASSERT_EQ(Comm_VpssConfig(1, &size), 0);
    VPSS_CHN_MODE_S m;
    ASSERT_EQ(MK_MPI_VPSS_GetChnMode(1, 0, &m), 0);
    EXPECT_EQ(m.enChnMode, 1u);
    EXPECT_EQ(m.u32Width, 2560u);
    EXPECT_EQ(m.u32Height, 1440u);
    EXPECT_EQ(m.enPixelFormat, 23u);
    ASSERT_EQ(MK_MPI_VPSS_GetChnMode(1, 3, &m), 0);
    EXPECT_EQ(m.u32Width, 352u);
    EXPECT_EQ(m.u32Height, 288u) << "PAL without the capture standard";
    // Groups below the first channel number get the sizer, up to twice it the pre-scaler.
    Vpss()->Reset();
    Apply({.devType = 660, .start = 2, .end = 10, .a4m = 32, .pb = 16});
    for (int g : {1, 3, 5}) ASSERT_EQ(Comm_VpssConfig(g, &size), 0) << g;
    VPSS_SIZER_INFO_S sizer;
    VPSS_PRESCALE_INFO_S pre;
    ASSERT_EQ(MK_MPI_VPSS_GetGrpSizer(1, &sizer), 0);
    EXPECT_EQ(sizer.bSizer, 1u);
    EXPECT_EQ(sizer.stSize.u32Width, 2560u);
    EXPECT_EQ(sizer.stSize.u32Height, 1440u);
    ASSERT_EQ(MK_MPI_VPSS_GetPreScale(3, &pre), 0);
    EXPECT_EQ(pre.bPreScale, 1u);
    EXPECT_EQ(pre.stDestSize.u32Width, 1280u);
    EXPECT_EQ(pre.stDestSize.u32Height, 720u);
    ASSERT_EQ(MK_MPI_VPSS_GetPreScale(5, &pre), 0);
    EXPECT_EQ(pre.bPreScale, 0u) << "from twice the first channel on, neither";
    // The channel 0 size command: stream 0 only, and only with the large analog classes.
    SIZE_S small = {1280, 720};
    EXPECT_EQ(Comm_SetVpssChnParam(1, 1, &small), 0);
    ASSERT_EQ(MK_MPI_VPSS_GetChnMode(1, 0, &m), 0);
    EXPECT_EQ(m.u32Width, 2560u);
    EXPECT_EQ(Comm_SetVpssChnParam(1, 0, &small), 0);
    ASSERT_EQ(MK_MPI_VPSS_GetChnMode(1, 0, &m), 0);
    EXPECT_EQ(m.u32Width, 1280u);
    EXPECT_EQ(m.u32Height, 720u);
}

TEST_F(MediaPathTest, GroupCreationStopsAtTheFirstFailure) {
    Apply({});
    SIZE_S size = {704, 576};
    const int kCode = static_cast<int>(0xA0078003u);
    auto vpss = dev::Registry::Find("/dev/vpss");
    vpss->FailRequest(mk::vpss::kEnableChn, kCode, 1, EIO, 1);
    EXPECT_EQ(Comm_VpssConfig(2, &size), -1);
    EXPECT_EQ(Enabled(2), (std::vector<int>{0}));
    EXPECT_TRUE(Vpss()->Group(2).created);
    EXPECT_FALSE(Vpss()->Group(2).started) << "left as far as it got";
    vpss->FailRequest(mk::vpss::kCreateGrp, kCode);
    EXPECT_EQ(Comm_VpssConfig(3, &size), -1);
    EXPECT_FALSE(Vpss()->Group(3).created);
    vpss->FailRequest(mk::vpss::kStartGrp, kCode);
    EXPECT_EQ(Comm_VpssConfig(4, &size), -1);
    EXPECT_FALSE(Vpss()->Group(4).started);
}

// Command 84 switches the enhancement of the large configuration's groups off and back on.
TEST_F(MediaPathTest, CommandEightyFourOffAndRestore) {
    // 660 with 16 inputs of 1080P and 16 ways: large, not wide. The walk covers groups 0 to 37 (the
    // last special group), the second-set group 16 once more.
    Apply({.devType = 660, .end = 16, .a1080p = 32, .pb = 16});
    VPSS_GRP_ATTR_S on = {704, 576, 23, 1, 1, 1, 0, 0, 1};
    for (int g = 0; g < 38; ++g) ASSERT_EQ(MK_MPI_VPSS_CreateGrp(g, &on), 0);
    const std::vector<MK_U32> kOn = {1, 1, 1, 0, 0, 1}, kOff = {0, 0, 0, 0, 0, 0};
    // An operation 0 before any 1 restores what it saves at that very call.
    Cmd(84, {0});
    for (int g : {0, 16, 37}) EXPECT_EQ(Switches(Attr(g)), kOn) << g;
    Cmd(84, {1});
    for (int g : {0, 15, 16, 37}) EXPECT_EQ(Switches(Attr(g)), kOff) << g;
    Cmd(84, {2});
    EXPECT_EQ(Switches(Attr(5)), kOff) << "other operations rewrite unchanged";
    Cmd(84, {0});
    for (int g : {0, 15, 16, 37}) EXPECT_EQ(Switches(Attr(g)), kOn) << g;
    EXPECT_FALSE(Vpss()->Group(38).created);
    // A group missing from the walk stops it.
    ASSERT_EQ(MK_MPI_VPSS_DestroyGrp(20), 0);
    EXPECT_EQ(Comm_Vpss_Grop_Config(1), -1);
    EXPECT_EQ(Switches(Attr(19)), kOff);
    EXPECT_EQ(Switches(Attr(21)), kOn);
    // Outside the large configuration, or with digital channels, nothing.
    for (Settings s : {Settings{.devType = 660, .end = 16, .digital = 1, .a1080p = 32, .pb = 16},
                       Settings{.devType = 656, .end = 16, .a1080p = 16, .pb = 16}}) {
        Apply(s);
        dev::JournalStart();
        EXPECT_EQ(Comm_Vpss_Grop_Config(0), 0);
        EXPECT_TRUE(dev::JournalStop().empty());
    }
}

TEST_F(MediaPathTest, CommandEightyFourInTheWideLayout) {
    // 1080P 32 with 32 ways: the inputs' walk starts after the extra groups, and groups 0 to N - 1
    // are switched with their own copy.
    Apply({.devType = 661, .end = 4, .dec = 1, .a1080p = 32, .pb = 32});
    VPSS_GRP_ATTR_S on = {704, 576, 23, 1, 1, 1, 0, 0, 1};
    const int32_t end = 4 + (1 + 3 * 4 + 2);  // extra base + last special group
    for (int g = 0; g < end; ++g) ASSERT_EQ(MK_MPI_VPSS_CreateGrp(g, &on), 0);
    Cmd(84, {1});
    for (int g = 0; g < end; ++g) EXPECT_EQ(Attr(g).bIeEn, 0u) << g;
}

TEST_F(MediaPathTest, NoiseParametersAndDefaults) {
    Apply({});
    SIZE_S size = {704, 576};
    ASSERT_EQ(Comm_VpssConfig(0, &size), 0);
    Cmd(48, {0, 0x2A170000u});  // byte 2 = 0x17, byte 3 = 0x2A
    VPSS_GRP_PARAM_S p;
    ASSERT_EQ(MK_MPI_VPSS_GetGrpParam(0, &p), 0);
    EXPECT_EQ(p.u32SfStrength, 0x2Au);
    EXPECT_EQ(p.u32TfStrength, 0x17u);
    EXPECT_EQ(p.u32CfStrength, 12u);
    EXPECT_EQ(p.u32CTfStrength, 16u);
    EXPECT_EQ(p.u32IeStrength, 4u);
    EXPECT_EQ(Comm_SetVpssParam(200, reinterpret_cast<const uint8_t*>("\0\0\1\2")), -1) << "no such group";
    VPSS_EFFECT_S d = CommVpssDefParam();
    EXPECT_EQ(d.au8Attr[0], 1);
    EXPECT_EQ(d.au8Attr[1], 0);
    EXPECT_EQ(d.au8Attr[2], 1);
    EXPECT_EQ(d.au8Param[2], 4);
    uint8_t rec[4] = {};
    Comm_GetVpssDefParam(rec);
    EXPECT_EQ(rec[2], 18);
    EXPECT_EQ(rec[3], 24);
    Apply({.board = 58});
    Comm_GetVpssDefParam(rec);
    EXPECT_EQ(rec[3], 42);
    d = CommVpssDefParam();
    EXPECT_EQ(d.au8Param[3], 42);
    EXPECT_EQ(d.au8Param[4], 18);
    // The effect record applies to the first input group, or reads the defaults back.
    VPSS_EFFECT_S e{};
    e.au8Attr[1] = 1;
    e.au8Param[0] = 9;
    e.au8Param[5] = 7;
    EXPECT_EQ(HwControlVideoVpssEffect(&e), 0);
    EXPECT_EQ(Attr(0).bDciEn, 1u);
    ASSERT_EQ(MK_MPI_VPSS_GetGrpParam(0, &p), 0);
    EXPECT_EQ(p.u32Contrast, 9u);
    EXPECT_EQ(p.u32CfStrength, 7u);
    e.u32Op = 1;
    EXPECT_EQ(HwControlVideoVpssEffect(&e), 0);
    EXPECT_EQ(e.au8Param[3], 42);
}

// The display settings' noise parameters of an input: its group in either layout, the defaults.
TEST_F(MediaPathTest, DisplaySettingsSetAnInputsNoiseParameters) {
    const uint8_t param[4] = {0, 0, 0x17, 0x2A};
    struct Case {
        Settings s;
        int32_t chn, grp;
    } cases[] = {{{.end = 4}, 3, 3}, {{.devType = 661, .end = 4, .dec = 1, .a1080p = 32, .pb = 32}, 1, 5}};
    for (const Case& c : cases) {
        Apply(c.s);
        SIZE_S size = {704, 576};
        ASSERT_EQ(Comm_VpssConfig(c.grp, &size), 0);
        ASSERT_EQ(GraphicsSetVpssParam(c.chn, param), 0) << c.grp;
        VPSS_GRP_PARAM_S p;
        ASSERT_EQ(MK_MPI_VPSS_GetGrpParam(c.grp, &p), 0);
        EXPECT_EQ(p.u32SfStrength, 0x2Au) << c.grp;
        EXPECT_EQ(p.u32TfStrength, 0x17u) << c.grp;
        EXPECT_EQ(GraphicsSetVpssParam(4, param), -1) << "not an input of this chip";
        EXPECT_EQ(GraphicsSetVpssParam(-1, param), -1);
    }
    uint8_t rec[4] = {};
    EXPECT_EQ(GraphicsGetVpssDefParam(rec), 0);
    EXPECT_EQ(rec[2], 18);
    EXPECT_EQ(rec[3], 24);
    GraphicsSetVpssParamHooks(nullptr, nullptr);
    EXPECT_EQ(GraphicsGetVpssDefParam(rec), -1) << "without the processing-group module";
}

TEST_F(MediaPathTest, CascadeFollowsTheResolutionCommand) {
    uint32_t size[2] = {800, 600};
    ASSERT_EQ(GraphicsSetResolution(size), 0);
    EXPECT_TRUE(Vo()->Device(0).enabled);
    EXPECT_TRUE(Vo()->Device(7).cascadeDev);
    EXPECT_TRUE(Vo()->CascadeEnabled());
    EXPECT_TRUE(Vo()->Layer(0).enabled);
    for (MK_U32 p = 0; p < 32; ++p) {
        auto bound = Vo()->CascadePosition(p);
        ASSERT_TRUE(bound.has_value()) << p;
        EXPECT_EQ(bound->first, 7);
        EXPECT_EQ(bound->second, static_cast<int>(p));
    }
    VO_PUB_ATTR_S pub;
    ASSERT_EQ(MK_MPI_VO_GetPubAttr(0, &pub), 0);
    EXPECT_EQ(pub.u32BgColor, 0u);
    EXPECT_EQ(pub.enIntfType, 16u);
    EXPECT_EQ(pub.enIntfSync, 16u);
    VO_VIDEO_LAYER_ATTR_S layer;
    ASSERT_EQ(MK_MPI_VO_GetVideoLayerAttr(0, &layer), 0);
    EXPECT_EQ(layer.stDispRect.s32X, 0);
    EXPECT_EQ(layer.stDispRect.u32Width, 800u);
    EXPECT_EQ(layer.stDispRect.u32Height, 600u);
    EXPECT_EQ(layer.stImageSize.u32Width, 704u);
    EXPECT_EQ(layer.stImageSize.u32Height, 576u);
    EXPECT_EQ(layer.u32DispFrmRt, 30u);
    EXPECT_EQ(layer.enPixFormat, 23u);
    VO_CAS_ATTR_S cas;
    ASSERT_EQ(MK_MPI_VO_GetCascadeAttr(&cas), 0);
    EXPECT_EQ(cas.enCasRgn, 1u);
    EXPECT_EQ(cas.bSlave + cas.enCasMode + cas.enCasDataTranMode, 0u);
    MK_U32 pattern = 0;
    ASSERT_EQ(MK_MPI_VO_GetCascadePattern(7, &pattern), 0);
    EXPECT_EQ(pattern, 1u);
    uint32_t hd[2] = {1920, 1080};
    ASSERT_EQ(GraphicsSetResolution(hd), 0);
    ASSERT_EQ(MK_MPI_VO_GetPubAttr(0, &pub), 0);
    EXPECT_EQ(pub.enIntfSync, 6u);
    ASSERT_EQ(MK_MPI_VO_GetVideoLayerAttr(0, &layer), 0);
    EXPECT_EQ(layer.stImageSize.u32Width, 1920u);
}

TEST_F(MediaPathTest, FailingCascadePositionLeavesTheOthersBound) {
    dev::Registry::Find("/dev/vo")->FailRequest(mk::vo::kCascadePosBindChn, static_cast<int>(0xA00F8003u), 1, EIO, 5);
    dev::Registry::Find("/dev/vo")->FailRequest(mk::vo::kEnableCascadeDev, static_cast<int>(0xA00F8003u));
    EXPECT_EQ(Comm_VoPubConfig_Cascade(0), 0);
    for (MK_U32 p = 0; p < 32; ++p) EXPECT_EQ(Vo()->CascadePosition(p).has_value(), p != 5) << p;
    EXPECT_TRUE(Vo()->CascadeEnabled()) << "the set-up went on to the end";
    Vo()->Reset();
    dev::Registry::Find("/dev/vo")->FailRequest(mk::vo::kDisable, static_cast<int>(0xA00F8003u));
    EXPECT_EQ(Comm_VoPubConfig_Cascade(0), -1);
    EXPECT_FALSE(Vo()->Device(0).enabled) << "nothing after a failed disable";
    EXPECT_FALSE(Vo()->CascadeEnabled());
}

TEST_F(MediaPathTest, DisplayChannelAndLayerThreeKept) {
    VO_CHN_ATTR_S a = {0, {0, 0, 352, 288}, 0};
    Apply({.layer3 = 1});
    dev::JournalStart();
    EXPECT_EQ(Comm_VoChnConfig(3, 2, &a), 0);
    EXPECT_TRUE(dev::JournalStop().empty()) << "layer 3 is left alone";
    EXPECT_EQ(Comm_VoChnConfig(0, 2, &a), 0);
    EXPECT_TRUE(Vo()->Channel(0, 2).enabled);
    Apply({});
    EXPECT_EQ(Comm_VoChnConfig(3, 2, &a), 0);
    EXPECT_TRUE(Vo()->Channel(3, 2).enabled);
    dev::Registry::Find("/dev/vo")->FailRequest(mk::vo::kSetChnAttr, static_cast<int>(0xA00F8003u));
    EXPECT_EQ(Comm_VoChnConfig(0, 4, &a), -1);
    EXPECT_FALSE(Vo()->Channel(0, 4).enabled);
}

TEST_F(MediaPathTest, LocalDisplayColours) {
    struct Case {
        uint32_t level, def, want;
    } cases[] = {{50, 47, 47}, {0, 47, 0}, {25, 60, 30}, {100, 47, 100}, {75, 60, 80}, {101, 52, 52}};
    for (const Case& c : cases) EXPECT_EQ(VideoColorGetRegValue(c.level, c.def), c.want) << c.level;
    Apply({.board = 43});
    const uint32_t levels[4] = {50, 50, 50, 50};
    ASSERT_EQ(Comm_VoPubTVColorConfig(0, levels), 0);
    VO_CSC_S csc;
    ASSERT_EQ(MK_MPI_VO_GetGraphicLayerCSC(0, &csc), 0);
    EXPECT_EQ(csc.u32Luma, 38u);
    EXPECT_EQ(csc.u32Contrast, 60u);
    EXPECT_EQ(csc.u32Hue, 50u);
    EXPECT_EQ(csc.u32Satuature, 55u);
    Apply({.board = 55});
    ASSERT_EQ(Comm_VoPubTVColorConfig(0, levels), 0);
    VO_HDMI_PARAM_S hdmi;
    ASSERT_EQ(MK_MPI_VO_GetHdmiParam(0, &hdmi), 0);
    EXPECT_EQ(hdmi.stCSC.u32Luma, 45u);
    EXPECT_EQ(hdmi.stCSC.u32Satuature, 42u);
    VO_VGA_PARAM_S vga;
    ASSERT_EQ(MK_MPI_VO_GetVgaParam(0, &vga), 0);
    EXPECT_EQ(vga.stCSC.u32Hue, 50u);
    EXPECT_EQ(vga.u32Gain, 15u);
    EXPECT_EQ(Comm_VoPubTVColorConfig(1, levels), 0) << "other layers: nothing";
    struct Sync {
        uint32_t sync;
        int32_t fmt;
    } syncs[] = {{0, 11}, {6, 2}, {8, 7}, {16, 20}, {17, 21}, {26, 34}, {30, 40}, {2, 0}, {99, 0}};
    for (const Sync& s : syncs) EXPECT_EQ(Comm_VoHdmiFormatOf(s.sync), s.fmt) << s.sync;
}

TEST_F(MediaPathTest, LocalDisplaySetUp) {
    uint32_t size[2] = {1280, 1024};
    GraphicsSetResolution(size);
    Vo()->Reset();
    Apply({.board = 50});
    ASSERT_EQ(Comm_VoPubConfig(1), 0);
    EXPECT_TRUE(Vo()->Device(1).enabled);
    EXPECT_TRUE(Vo()->Layer(1).enabled);
    VO_VIDEO_LAYER_ATTR_S layer;
    ASSERT_EQ(MK_MPI_VO_GetVideoLayerAttr(1, &layer), 0);
    EXPECT_EQ(layer.stDispRect.u32Width, 1280u);
    EXPECT_EQ(layer.stImageSize.u32Height, 1024u);
    EXPECT_EQ(layer.u32DispFrmRt, 25u);
    Apply({.layer3 = 1});
    dev::JournalStart();
    EXPECT_EQ(Comm_VoPubConfig(2), 0);
    std::vector<unsigned long> requests;
    for (const dev::JournalEntry& e : dev::JournalStop()) {
        if (e.request != mk::vo::kBind) requests.push_back(e.request);
    }
    EXPECT_EQ(requests, std::vector<unsigned long>{mk::vo::kDisable}) << "device 2 stops after its disable";
    Apply({});
    ASSERT_EQ(Comm_VoPubConfig(3), 0);
    EXPECT_TRUE(Vo()->Layer(3).enabled);
    VO_PUB_ATTR_S pub;
    ASSERT_EQ(MK_MPI_VO_GetPubAttr(3, &pub), 0);
    EXPECT_EQ(pub.enIntfType, 1u);
}

// The wrappers' channel pairs as the kernel's bind graph holds them (the SDK sends capture and
// decoder sources with device 0, display sources with channel 0, group destinations with channel 0).
TEST_F(MediaPathTest, WrapperChannelPairsInTheBindGraph) {
    struct Case {
        const char* name;
        std::function<int32_t()> bind, unbind;
        MPP_CHN_S src, dst;
        bool ownResult = false;  // the wrapper gives the SDK's code instead of -1
    } cases[] = {
        {"VI to VPSS", [] { return Comm_ViBindVpss(5, 3); }, [] { return Comm_ViUnBindVpss(5, 3); },
         {MK_ID_VIU, 0, 5}, {MK_ID_VPSS, 3, 0}},
        {"VPSS to VO", [] { return Comm_VoBindVpss(8, 6, 3, 2); }, [] { return Comm_VoUnBindVpss(8, 6, 3, 2); },
         {MK_ID_VPSS, 3, 2}, {MK_ID_VOU, 8, 6}},
        {"VI to VO", [] { return Comm_ViBindVo(0, 4, 7); }, [] { return Comm_ViUnBindVo(0, 4); },
         {MK_ID_VIU, 0, 7}, {MK_ID_VOU, 0, 4}, true},
        {"VPSS to VENC", [] { return Comm_VencBindVpss(9, 4, 1); }, [] { return Comm_VencUnBindVpss(9, 4, 1); },
         {MK_ID_VPSS, 4, 1}, {MK_ID_VENC, 0, 9}},
        {"VDEC to VPSS", [] { return Comm_VdecBindVpss(2, 18); }, [] { return Comm_VdecUnBindVpss(2, 18); },
         {MK_ID_VDEC, 0, 2}, {MK_ID_VPSS, 18, 0}},
        {"VDEC to VO", [] { return Comm_VdecBindVo(2, 8, 10); }, [] { return Comm_VdecUnBindVo(2, 8, 10); },
         {MK_ID_VDEC, 0, 2}, {MK_ID_VOU, 8, 10}},
        {"AI to AENC", [] { return Comm_AencBindAi(1, 3, 6); }, [] { return Comm_AencUnBindAi(1, 3, 6); },
         {MK_ID_AI, 1, 3}, {MK_ID_AENC, 0, 6}},
        {"AI to AO", [] { return Comm_AoBindAi(0, 1, 3); }, [] { return Comm_AoUnBind(0, 1); },
         {MK_ID_AI, 2, 3}, {MK_ID_AO, 0, 1}},
    };
    auto& graph = drv::BindGraph::Instance();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(c.bind(), 0);
        auto src = graph.SourceOf(c.dst);
        ASSERT_TRUE(src.has_value());
        EXPECT_TRUE(drv::SameChn(*src, c.src)) << src->enModId << "/" << src->s32DevId << "/" << src->s32ChnId;
        if (c.ownResult) {
            EXPECT_EQ(c.bind(), static_cast<int32_t>(0xA0028009u)) << "an already bound pair";
        } else {
            EXPECT_EQ(c.bind(), -1) << "an already bound pair";
        }
        EXPECT_EQ(c.unbind(), 0);
        EXPECT_FALSE(graph.SourceOf(c.dst).has_value());
    }
    EXPECT_EQ(graph.Size(), 0u);
}

TEST_F(MediaPathTest, WrapperEdgeCases) {
    auto& graph = drv::BindGraph::Instance();
    // Whatever feeds the display channel is unbound, whatever its module.
    ASSERT_EQ(Comm_VoBindVpss(0, 3, 1, 2), 0);
    EXPECT_EQ(Comm_ViUnBindVo(0, 3), 0);
    EXPECT_EQ(graph.Size(), 0u);
    // No source: -1 and no unbind request at all.
    dev::JournalStart();
    EXPECT_EQ(Comm_AoUnBind(0, 2), -1);
    for (const dev::JournalEntry& e : dev::JournalStop()) EXPECT_NE(e.request, MK_SYS_IOC_UNBIND);
    // Which capture channel feeds a group.
    EXPECT_EQ(Comm_ViIsBindVpss(5, 3), 0);
    ASSERT_EQ(Comm_ViBindVpss(5, 3), 0);
    EXPECT_EQ(Comm_ViIsBindVpss(5, 3), 1);
    EXPECT_EQ(Comm_ViIsBindVpss(6, 3), 0);
    ASSERT_EQ(Comm_ViUnBindVpss(5, 3), 0);
    ASSERT_EQ(Comm_VdecBindVpss(5, 3), 0);
    EXPECT_EQ(Comm_ViIsBindVpss(5, 3), 0) << "a decoder of the same number is not a capture channel";
    EXPECT_EQ(Comm_ReturnZero(), 0);
    // Decoder sources of the audio path live in the SDK's own table.
    BIND_SENDER_INFO_S sender = {MK_ID_ADEC, 1, 8, nullptr};
    BIND_RECEIVER_INFO_S receiver = {MK_ID_AO, 3, 20, [](MK_S32, MK_S32, MK_U32, MPP_DATA_TYPE_E, MK_VOID*) {
                                         return MK_S32{0};
                                     }, nullptr};
    ASSERT_EQ(SYS_BIND_RegisterSender(&sender), 0);
    ASSERT_EQ(SYS_BIND_RegisterReceiver(&receiver), 0);
    ASSERT_EQ(Comm_AoBindAdec(1, 4, 2), 0);
    MPP_CHN_S dst = {MK_ID_AO, 1, 4}, src{};
    ASSERT_EQ(MK_MPI_SYS_GetBindbyDest(&dst, &src), 0);
    EXPECT_TRUE(drv::SameChn(src, MPP_CHN_S{MK_ID_ADEC, 0, 2}));
    EXPECT_EQ(Comm_AoUnBind(1, 4), 0);
    EXPECT_NE(MK_MPI_SYS_GetBindbyDest(&dst, &src), 0);
    ASSERT_EQ(Comm_AoBindAdec(1, 4, 2), 0);
    EXPECT_EQ(Comm_AoUnBindAdec(1, 4, 2), 0);
    SYS_BIND_UnRegisterReceiver(MK_ID_AO);
    SYS_BIND_UnRegisterSender(MK_ID_ADEC);
}

TEST_F(MediaPathTest, BindCommands) {
    auto& graph = drv::BindGraph::Instance();
    Cmd(94, {6, 2});
    Cmd(41, {0, 5, 2, 2});
    Cmd(44, {1, 17});
    EXPECT_TRUE(drv::SameChn(*graph.SourceOf(MPP_CHN_S{MK_ID_VPSS, 2, 0}), MPP_CHN_S{MK_ID_VIU, 0, 6}));
    EXPECT_TRUE(drv::SameChn(*graph.SourceOf(MPP_CHN_S{MK_ID_VOU, 0, 5}), MPP_CHN_S{MK_ID_VPSS, 2, 2}));
    EXPECT_TRUE(drv::SameChn(*graph.SourceOf(MPP_CHN_S{MK_ID_VPSS, 17, 0}), MPP_CHN_S{MK_ID_VDEC, 0, 1}));
    Cmd(42, {0, 5, 2, 2});
    Cmd(43, {1, 17});
    EXPECT_EQ(graph.Size(), 1u);
}

// An unbind that names a source other than the one bound refuses with a binding error (module 2) and
// leaves the binding; the bound pair then unbinds.
TEST_F(MediaPathTest, UnbindCommandsNamingAnotherSourceLeaveTheBinding) {
    auto& graph = drv::BindGraph::Instance();
    Cmd(41, {0, 5, 2, 2});
    Cmd(44, {0, 16});
    const MPP_CHN_S vo{MK_ID_VOU, 0, 5}, grp{MK_ID_VPSS, 16, 0};
    struct Case {
        uint32_t code;
        std::vector<uint32_t> words;
    } refused[] = {{43, {5, 16}}, {43, {1, 16}}, {42, {0, 5, 3, 2}}, {42, {0, 5, 2, 1}}};
    for (const Case& c : refused) {
        SCOPED_TRACE(::testing::Message() << c.code << " " << c.words[0] << " " << c.words[1]);
        ::testing::internal::CaptureStdout();
        Cmd(c.code, c.words);
        const std::string out = ::testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find("failed with 0xa002"), std::string::npos) << out;
        ASSERT_TRUE(graph.SourceOf(vo).has_value());
        EXPECT_TRUE(drv::SameChn(*graph.SourceOf(vo), MPP_CHN_S{MK_ID_VPSS, 2, 2}));
        ASSERT_TRUE(graph.SourceOf(grp).has_value());
        EXPECT_TRUE(drv::SameChn(*graph.SourceOf(grp), MPP_CHN_S{MK_ID_VDEC, 0, 0}));
    }
    Cmd(43, {0, 16});
    Cmd(42, {0, 5, 2, 2});
    EXPECT_EQ(graph.Size(), 0u);
}

}  // namespace
