// The capture commands and the encoder channels against the drivers' views: format to encoder
// attributes, the channels made by the standard command, in-place updates and rebuilds, starts and
// stops, covers, and the source-rate adaptation. Expected values are written out by hand from the rules.
#include "app/enc/capture_cmd.h"

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/comm/comm_bind.h"
#include "app/comm/comm_cfg.h"
#include "app/comm/comm_map.h"
#include "app/comm/comm_setup_hooks.h"
#include "app/comm/comm_system.h"
#include "app/comm/comm_vi.h"
#include "app/enc/capture_state.h"
#include "app/enc/capture_test_util.h"
#include "app/enc/venc_chn.h"
#include "app/enc/venc_push.h"
#include "app/osd/osd_title.h"
#include "app/pci/pciv_cmd.h"
#include "app/pci/pciv_test_master.h"
#include "platform/dev/driver.h"
#include "platform/drivers/all/install.h"
#include "platform/drivers/core/bind_graph.h"
#include "platform/drivers/core/kernel.h"
#include "platform/drivers/rgn/rgn_driver.h"
#include "platform/drivers/venc/venc_driver.h"
#include "platform/mcc/mcc_driver.h"
#include "platform/mem/ram.h"
#include "sdk/venc/mpi_venc.h"
#include "sdk/vi/mpi_vi.h"

namespace {

namespace view = varnelle::drivers::venc_view;
namespace rgn = varnelle::drivers::rgn_view;
using varnelle::drivers::BindGraph;

struct Fmt {
    uint8_t kind = 0, rc = 0, size = 0, quality = 2, fps = 25, flags = 1;
    uint16_t kbps = 2048;
    uint8_t gop = 2;
    std::vector<uint8_t> Bytes() const {
        return {kind,
                rc,
                size,
                quality,
                fps,
                flags,
                static_cast<uint8_t>(kbps & 0xFF),
                static_cast<uint8_t>(kbps >> 8),
                gop,
                0,
                0,
                0};
    }
};

TEST(CaptureFormatParamTest, FormatBytesToEncoderParameters) {
    struct Case {
        const char* what;
        uint32_t vstd, limit;
        Fmt f;
        uint32_t mode, fps, gop, kbps, minQp;
    };
    const Case cases[] = {
        {"rate 0 is 2", 0, 25, Fmt{.fps = 0}, 1, 2, 4, 2048, 10},
        {"rate 1 is 2", 0, 25, Fmt{.fps = 1}, 1, 2, 4, 2048, 10},
        {"60 at PAL is 25", 0, 25, Fmt{.fps = 60}, 1, 25, 50, 2048, 10},
        {"60 at NTSC is 30", 1, 30, Fmt{.fps = 60}, 1, 30, 60, 2048, 10},
        {"then the channel's limit", 1, 25, Fmt{.fps = 60}, 1, 25, 50, 2048, 10},
        {"a limit of 0 is none chosen", 0, 0, Fmt{.fps = 20}, 1, 20, 40, 2048, 10},
        {"a limit of 1", 0, 1, Fmt{.fps = 20}, 1, 1, 2, 2048, 10},
        {"bit rate 10 is 16", 0, 25, Fmt{.kbps = 10}, 1, 25, 50, 16, 10},
        {"bit rate 30000 is 20480", 0, 25, Fmt{.kbps = 30000}, 1, 25, 50, 20480, 10},
        {"GOP 0 is one frame", 0, 25, Fmt{.gop = 0}, 1, 25, 1, 2048, 10},
        {"variable rate", 0, 25, Fmt{.rc = 1, .quality = 5}, 2, 25, 50, 2048, 20},
        {"kind 9, quality 1", 0, 25, Fmt{.kind = 9, .quality = 1, .gop = 3}, 2, 25, 250, 2048, 24},
        {"kind 9, quality 3", 0, 25, Fmt{.kind = 9, .quality = 3}, 2, 25, 250, 2048, 27},
        {"kind 9, quality 4", 0, 25, Fmt{.kind = 9, .quality = 4}, 2, 25, 250, 2048, 30},
        {"quality 4", 0, 25, Fmt{.quality = 4}, 1, 25, 50, 2048, 10},
    };
    for (const Case& c : cases) {
        const std::vector<uint8_t> b = c.f.Bytes();
        const VENC_PARAM_S p = CaptureFormatParam(c.vstd, c.limit, 3, b.data());
        EXPECT_EQ(p.u32RcMode, c.mode) << c.what;
        EXPECT_EQ(p.u32FrameRate, c.fps) << c.what;
        EXPECT_EQ(p.u32Gop, c.gop) << c.what;
        EXPECT_EQ(p.u32BitRate, c.kbps) << c.what;
        EXPECT_EQ(p.u32MinQp, c.minQp) << c.what;
        EXPECT_EQ(p.u32MaxQp, 51u) << c.what;
        EXPECT_EQ(p.u32PayloadType, 96u) << c.what;
        EXPECT_EQ(p.u32Fluctuate, 0u) << c.what;
        EXPECT_EQ(p.s32SizeCode, c.f.size) << c.what;
    }
    const std::vector<uint8_t> b = Fmt{}.Bytes();
    EXPECT_EQ(CaptureFormatParam(0, 25, 0, b.data()).u32PicSizeZero, 1u);
}

TEST(CaptureFormatParamTest, JpegQualityAndSize) {
    struct Q {
        uint8_t byte;
        uint32_t level;
    };
    for (const Q& q : {Q{0, 5}, Q{1, 5}, Q{3, 3}, Q{6, 0}, Q{7, 5}, Q{255, 5}})
        EXPECT_EQ(CaptureJpegQuality(q.byte), q.level) << static_cast<int>(q.byte);
    struct S {
        uint32_t vstd;
        uint8_t code;
        uint32_t w, h;
        int32_t outCode;
    };
    // Limited above by size code 0 (the system flag) and below by QCIF; larger heights take command
    // 96's picture size code (7 here).
    const S sizes[] = {
        {0, 14, 704, 576, 7}, {0, 3, 352, 288, 3},  {0, 4, 176, 144, 4}, {0, 0, 704, 576, 0},
        {1, 0, 704, 480, 0},  {1, 14, 704, 480, 7}, {1, 3, 352, 240, 3}, {0, 6, 320, 240, 6},
    };
    for (const S& s : sizes) {
        uint32_t w = 0, h = 0;
        int32_t code = -1;
        CaptureJpegSize(s.vstd, s.code, 7, &w, &h, &code);
        EXPECT_EQ(w, s.w) << static_cast<int>(s.code);
        EXPECT_EQ(h, s.h) << static_cast<int>(s.code);
        EXPECT_EQ(code, s.outCode) << static_cast<int>(s.code);
    }
}

// Wiring of the test's channels: capture channel c is VI channel c.
int32_t Wiring(int32_t chn, int32_t* vi, int32_t* dev) {
    if (chn < 0 || chn >= 32) return -1;
    *vi = chn;
    *dev = chn / 4;
    return 0;
}
int32_t g_mainCode = 0;
int32_t ChnVi(int32_t, int32_t sel) {
    return sel == 0 ? g_mainCode : 3;
}

struct Settings {
    uint32_t dev = 656, end = 4, picSize = 3, poolFlag = 0;
    int16_t d1 = 4, cif = 0, a1080p = 0, a4m = 0, a3m = 0, a5m = 0, a960p = 0, a8m = 0;
    uint32_t pb = 8;
    uint8_t jpeg = 1;
};

class CaptureCmdTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_bus = new varnelle::testing::ScopedBus;
        // The master's RAM, which the stream sender's DMA writes into.
        s_masterRam =
            new varnelle::mem::Ram(varnelle::mem::RamPath(0), 0, varnelle::mem::kMasterRamSize, true);
        varnelle::drivers::InstallAll();
        varnelle::mcc::InstallMccDriver();
        for (uint32_t port : {varnelle::testing::kVideoNotice, varnelle::testing::kVideoAck})
            PCIV_OpenMsgPort(0, port);
    }
    static void TearDownTestSuite() {
        delete s_masterRam;
        delete s_bus;
    }
    void SetUp() override { Apply(Settings{}); }
    void TearDown() override {
        for (int e = 0; e < VENC_MAX_CHN_NUM; ++e) MK_MPI_VENC_DestroyChn(e);
        CaptureResetState();
        CommClearSetupHooks();
        CommResetViState();
        SlaveResetSysCfg();
        varnelle::drivers::ResetMediaState();
        Venc()->ClearFaults();
    }
    void Apply(const Settings& s) {
        SLAVE_SYS_PARAM_S p;
        std::memset(&p, 0, sizeof(p));
        p.u32DevType = s.dev;
        p.u32BoardSubType = 47;
        p.u32ChnEnd = s.end;
        p.u32PicSize = s.picSize;
        p.u32EncPoolFlag = s.poolFlag;
        p.u32DecNum = 1;
        p.stHvrCap.as16Analog[HVR_CAP_D1] = s.d1;
        p.stHvrCap.as16Analog[HVR_CAP_CIF] = s.cif;
        p.stHvrCap.as16Analog[HVR_CAP_1080P] = s.a1080p;
        p.stHvrCap.as16Analog[HVR_CAP_4M] = s.a4m;
        p.stHvrCap.as16Analog[HVR_CAP_3M] = s.a3m;
        p.stHvrCap.as16Analog[HVR_CAP_5M] = s.a5m;
        p.stHvrCap.as16Analog[HVR_CAP_960P] = s.a960p;
        p.stHvrCap.as16Analog[HVR_CAP_8M] = s.a8m;
        p.stHvrCap.u32MaxPlayBackWay = s.pb;
        p.stSlaveCfg.u8JpegEnable = s.jpeg;
        SlaveStoreSysParam(&p);
        CaptureResetState();
        varnelle::drivers::ResetMediaState();
        CommClearSetupHooks();
        CommSetSplitGetChnWiringHook(Wiring);
        CommSetSplitGetChnViHook(ChnVi);
        g_mainCode = 0;
        SampleSysInit();
        Comm_InitVpssChnMap();
        PCIV_ClearCmdHandlers();
        CaptureRegister();
    }
    static std::shared_ptr<varnelle::dev::Driver> Venc() {
        return varnelle::dev::Registry::Find("/dev/venc");
    }
    static int Count(unsigned long request) { return Venc()->RequestCount(request); }
    static VENC_CHN_ATTR_S Attr(int e) {
        auto v = view::Get(e);
        return v ? v->attr : VENC_CHN_ATTR_S{};
    }
    // Commands 28 and 31 for channel c; the stream's fetch threads are not wanted here.
    static void Make(int32_t c, int32_t vstd = 0) {
        CaptureGetState()->s32ThreadsStarted = 1;
        ASSERT_EQ(CaptureCreate(c), 0);
        ASSERT_EQ(CaptureSetVstd(c, vstd), 0);
    }
    static int Format(int32_t c, int32_t type, const Fmt& f) {
        const std::vector<uint8_t> b = f.Bytes();
        return CaptureSetFormat(c, type, b.data());
    }
    static inline varnelle::testing::ScopedBus* s_bus = nullptr;
    static inline varnelle::mem::Ram* s_masterRam = nullptr;
};

TEST_F(CaptureCmdTest, AMasterThatStopsAcknowledgingHoldsUpNeitherFormatsNorTitles) {
    namespace vt = varnelle::testing;
    Make(0);
    ASSERT_TRUE(vt::StartCaptureInput(0, 0, 704, 576));
    ASSERT_EQ(Format(0, 0, Fmt{.size = 3}), 0);
    ASSERT_EQ(CaptureStart(0, 0), 0);
    vt::FakeMaster master;
    vt::RingMaster ring(&master, s_masterRam, vt::kVideoRingPhys, vt::kVideoNotice, vt::kVideoAck);
    PCIV_TRANS_CHN_S slot;
    ASSERT_TRUE(vt::StartSlotSender(&slot, vt::kVideoRingPhys, 64 * 1024, vt::kVideoNotice, vt::kVideoAck));
    VencPushCtx ctx;
    ctx.pSlot = &slot;
    std::atomic<bool> stop{false};
    ctx.pStop = &stop;
    ring.HoldAcks(true);
    std::thread fetch([&] { SlaveVencGetStream(&ctx); });
    // The encoder makes 25 frames a second: the ring fills and the send is tried again and again.
    ASSERT_TRUE(vt::RingMaster::WaitUntil([&] { return ctx.stats.u64SendRetries.load() >= 2; }));
    ASSERT_EQ(Format(0, 0, Fmt{.size = 4}), 0) << "a format change completes";
    std::vector<uint16_t> px(16 * 16, 0x7FFF);
    OSD_TITLE_S t{};
    t.u32Index = 1;
    t.u32Show = 1;
    t.u16Width = 16;
    t.u16Height = 16;
    t.pu8Bitmap = reinterpret_cast<const uint8_t*>(px.data());
    EXPECT_EQ(CaptureSetTitleV2(0, 0, &t), 0) << "and so does a title";
    EXPECT_TRUE(rgn::Get(OsdTitleHandle(4, 0, 0, 1)).has_value());
    ring.HoldAcks(false);
    // The stream goes on, at the new size: frames of the remade channel (sequence from 0) arrive.
    ASSERT_TRUE(vt::RingMaster::WaitUntil([&] {
        auto recs = ring.Records();
        size_t restarts = 0;
        for (size_t i = 1; i < recs.size(); ++i) restarts += recs[i].seq == 0;
        return restarts >= 1 && recs.back().seq >= 5;
    }));
    stop = true;
    fetch.join();
    vt::StopSlotSender(&slot);
    EXPECT_EQ(ctx.stats.u64DropNoSender.load(), 0u);
}

TEST_F(CaptureCmdTest, TheStandardCommandMakesBothStreamsAndTheJpegChannelOnce) {
    ASSERT_EQ(CaptureSetChnFlag(1), 0);
    Make(1);
    const COMM_VPSS_CHN_MAP_S map = Comm_GetVpssChnMapCopy();
    for (int kind = 0; kind < 2; ++kind) {
        const int e = 2 + kind;
        auto v = view::Get(e);
        ASSERT_TRUE(v.has_value()) << e;
        auto src = BindGraph::Instance().SourceOf(MPP_CHN_S{MK_ID_VENC, 0, e});
        ASSERT_TRUE(src.has_value());
        EXPECT_EQ(src->enModId, MK_ID_VPSS);
        EXPECT_EQ(src->s32DevId, 1 + map.as32Word[VPSS_MAP_IN_BASE]);
        EXPECT_EQ(src->s32ChnId, map.as32Word[kind == 0 ? VPSS_MAP_MAIN_CHN : VPSS_MAP_SUB_CHN]);
        CaptureStreamRec* st = CaptureStream(1, kind);
        EXPECT_EQ(st->s32Created.load(), 1);
        EXPECT_GE(st->s32Fd.load(), 0);
        EXPECT_EQ(st->s32VencChn, e);
        EXPECT_EQ(st->u32CfgBitRate, kind == 0 ? 2048u : 512u);
        EXPECT_EQ(v->attr.stRcAttr.stAttrH264Cbr.u32FluctuateLevel, kind == 0 ? 2u : 3u);
    }
    EXPECT_EQ(Attr(2).stVeAttr.stAttrH264e.u32PicWidth, 704u);
    EXPECT_EQ(Attr(3).stVeAttr.stAttrH264e.u32PicWidth, 352u);
    // JPEG channel: 1 + 2 x 4 (channel end) + 2 x 4 (channels of this chip) = 17, on group channel 3.
    auto j = view::Get(17);
    ASSERT_TRUE(j.has_value());
    EXPECT_EQ(j->attr.stVeAttr.enType, 26u);
    EXPECT_EQ(j->attr.stVeAttr.stAttrJpeg.u32BufSize, 704u * 576 * 3 / 2);
    auto jsrc = BindGraph::Instance().SourceOf(MPP_CHN_S{MK_ID_VENC, 0, 17});
    ASSERT_TRUE(jsrc.has_value());
    EXPECT_EQ(jsrc->s32ChnId, map.as32Word[VPSS_MAP_IN_LAST4_CHN]);
    EXPECT_EQ(CaptureChn(1)->s32JpegVencChn.load(), 17);
    // Channel 2 was never allowed JPEG: its encoders only.
    Make(2);
    EXPECT_TRUE(view::Get(4).has_value());
    EXPECT_FALSE(view::Get(18).has_value());
    // A second standard changes the stored standard and nothing made.
    const int creates = Count(VENC_IOC_CreateChn);
    ASSERT_EQ(CaptureSetVstd(1, 1), 0);
    EXPECT_EQ(CaptureGetState()->s32Vstd.load(), 1);
    EXPECT_EQ(Count(VENC_IOC_CreateChn), creates);
}

TEST_F(CaptureCmdTest, JpegChannelsPastTheEncodersLastChannelAreRefused) {
    // 32 channels: channel 0's JPEG channel would be 0 + 2 x 32 + 2 x 32 = 128.
    Apply(Settings{.end = 32});
    ASSERT_EQ(CaptureSetChnFlag(0), 0);
    EXPECT_EQ(JPEGChCreate(0), -1);
    EXPECT_EQ(CaptureChn(0)->s32JpegVencChn.load(), -1);
    EXPECT_EQ(JpegChnOf(0), -1);
    EXPECT_EQ(JpegChnOf(-1), 127);
    // 8 channels: capture channel 3 takes 3 + 16 + 16; a decode channel (decoder 1 + channel end) 41.
    Apply(Settings{.end = 8});
    EXPECT_EQ(JpegChnOf(3), 35);
    EXPECT_EQ(JpegChnOf(1 + 8), 41);
    EXPECT_EQ(JPEGChCreate(3), -1) << "not allowed by command 82";
    EXPECT_EQ(JPEGChCreate(-1), -1);
    EXPECT_EQ(JPEGChCreate(8 + 1), 0) << "past the decode channels: nothing to make";
    EXPECT_FALSE(view::Get(41).has_value());
}

TEST_F(CaptureCmdTest, SameSizeAndKindUpdatesInPlaceAnotherRebuildsAndRestartsOnlyWhatReceived) {
    Make(0);
    const int creates = Count(VENC_IOC_CreateChn), idrs = Count(VENC_IOC_RequestIDR);
    ASSERT_EQ(Format(0, 0, Fmt{.size = 0, .fps = 25}), 0);
    EXPECT_EQ(Count(VENC_IOC_CreateChn), creates) << "704 x 576 again: updated in place";
    EXPECT_GE(Count(VENC_IOC_RequestIDR), idrs + 1);
    EXPECT_EQ(Attr(0).stRcAttr.stAttrH264Cbr.u32Gop, 50u);
    EXPECT_EQ(OsdTitleGetSlot(0, 0, 0).s32Ready, 1);
    // Receiving main stream, new size: rebuilt and receiving again.
    ASSERT_EQ(CaptureStart(0, 0), 0);
    ASSERT_TRUE(view::Get(0)->receiving);
    ASSERT_EQ(Format(0, 0, Fmt{.size = 3}), 0);
    EXPECT_EQ(Count(VENC_IOC_CreateChn), creates + 1);
    EXPECT_EQ(Attr(0).stVeAttr.stAttrH264e.u32PicWidth, 352u);
    EXPECT_TRUE(view::Get(0)->receiving);
    EXPECT_TRUE(BindGraph::Instance().IsBound(MK_ID_VENC, 0, 0)) << "bound again";
    EXPECT_EQ(CaptureStream(0, 0)->s32SizeCode, 3);
    EXPECT_EQ(CaptureStream(0, 0)->u32Width, 352u);
    // The sub stream did not receive: rebuilt and left stopped.
    ASSERT_EQ(Format(0, 1, Fmt{.size = 4}), 0);
    EXPECT_EQ(Count(VENC_IOC_CreateChn), creates + 2);
    EXPECT_FALSE(view::Get(1)->receiving);
    // Another kind at the same size also rebuilds.
    ASSERT_EQ(Format(0, 1, Fmt{.kind = 2, .size = 4}), 0);
    EXPECT_EQ(Count(VENC_IOC_CreateChn), creates + 3);
}

// A picture that no block of the common pools holds is never made: such a format is refused with a
// line and the running stream goes on as it was; one that fits is carried. A 4:2:0 picture of these
// widths takes W x H x 3 / 2 bytes.
TEST_F(CaptureCmdTest, FormatsThePoolsCannotHoldAreRefusedAndTheStreamRunsOn) {
    struct Case {
        const char* what;
        Settings s;
        int32_t type;
        uint8_t size;
        uint32_t need;   // 0: carried
        uint32_t width;  // the stream's width after
    } cases[] = {
        // Largest common block 3159360 bytes (the plan without analog classes).
        {"4K main", Settings{}, 0, 20, 12441600, 704},
        {"4M main", Settings{}, 0, 16, 5529600, 704},
        {"1920 x 1200 sub", Settings{}, 1, 15, 3456000, 352},
        {"1080P main: 3110400", Settings{}, 0, 14, 0, 1920},
        {"1600 x 1200 sub: 2880000", Settings{}, 1, 13, 0, 1600},
        // Blocks of 12493440 bytes with 8M inputs.
        {"4K main on 8M pools", Settings{.a8m = 4}, 0, 20, 0, 3840},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Apply(c.s);
        Make(0);
        ASSERT_EQ(Format(0, 0, Fmt{.size = 0}), 0);
        ASSERT_EQ(Format(0, 1, Fmt{.size = 3}), 0);
        ASSERT_EQ(CaptureStart(0, 0), 0);
        ASSERT_EQ(CaptureStart(0, 1), 0);
        const int creates = Count(VENC_IOC_CreateChn);
        ::testing::internal::CaptureStdout();
        const int r = Format(0, c.type, Fmt{.size = c.size});
        const std::string out = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(r, c.need == 0 ? 0 : -1);
        EXPECT_EQ(Attr(c.type).stVeAttr.stAttrH264e.u32PicWidth, c.width);
        EXPECT_TRUE(view::Get(c.type)->receiving);
        if (c.need == 0) continue;
        EXPECT_EQ(Count(VENC_IOC_CreateChn), creates) << "nothing rebuilt";
        EXPECT_NE(out.find(std::to_string(c.need) + " bytes"), std::string::npos) << out;
        EXPECT_NE(out.find("3159360"), std::string::npos) << out;
    }
}

TEST_F(CaptureCmdTest, ARebuildThatCannotMakeItsChannelLeavesNoDescriptorAndNoTitles) {
    Make(0);
    ASSERT_EQ(Format(0, 0, Fmt{}), 0);
    Venc()->FailRequest(VENC_IOC_CreateChn, static_cast<int>(MK_ERR_VENC_NOMEM));
    EXPECT_EQ(Format(0, 0, Fmt{.size = 3}), -1);
    EXPECT_EQ(CaptureStream(0, 0)->s32Fd.load(), -1);
    EXPECT_EQ(CaptureStream(0, 0)->s32Created.load(), 0);
    EXPECT_EQ(OsdTitleGetSlot(0, 0, 0).s32Ready, 0);
    // The next format makes it again.
    EXPECT_EQ(Format(0, 0, Fmt{.size = 3}), 0);
    EXPECT_GE(CaptureStream(0, 0)->s32Fd.load(), 0);
    EXPECT_EQ(OsdTitleGetSlot(0, 0, 0).s32Ready, 1);
}

TEST_F(CaptureCmdTest, FormatArgumentsAndTypesTwoAndThree) {
    Make(0);
    const int sets = Count(VENC_IOC_SetChnAttr), creates = Count(VENC_IOC_CreateChn);
    EXPECT_EQ(Format(0, 2, Fmt{.size = 3}), 0);
    EXPECT_EQ(Format(0, 3, Fmt{.size = 3}), 0);
    EXPECT_EQ(Count(VENC_IOC_SetChnAttr), sets);
    EXPECT_EQ(Count(VENC_IOC_CreateChn), creates);
    EXPECT_EQ(Format(4, 0, Fmt{}), -1) << "channel end";
    EXPECT_EQ(Format(-1, 0, Fmt{}), -1);
    EXPECT_EQ(Format(0, 5, Fmt{}), -1);
    EXPECT_EQ(CaptureSetFormat(0, 0, nullptr), -1);
    // Type 4: the JPEG picture's size, rate and quality.
    ASSERT_EQ(Format(0, 4, Fmt{.size = 3, .quality = 6, .fps = 2}), 0);
    CaptureChnRec* c = CaptureChn(0);
    EXPECT_EQ(c->u32JpegWidth.load(), 352u);
    EXPECT_EQ(c->u32JpegHeight.load(), 288u);
    EXPECT_EQ(c->u32JpegQuality, 0u);
    EXPECT_EQ(c->u32JpegRate.load(), 2u);
    EXPECT_EQ(c->s32JpegFormatSet.load(), 1);
}

TEST_F(CaptureCmdTest, EncoderBuffersAndSourceRatesFollowTheBoard) {
    struct Case {
        const char* what;
        Settings s;
        int32_t code;
        uint32_t buf, src, stat;
    };
    // D1 is 704 x 576: (W H 3 / 256 + 1) 64 = 304192; QCIF gives the floor of 32768.
    const Case cases[] = {
        {"656, D1", Settings{}, 0, 304192, 25, 2},
        {"656, QCIF", Settings{}, 4, 32768, 25, 2},
        {"656 with 4M inputs: source 15", Settings{.a4m = 4}, 0, 304192, 15, 3},
        {"656 with 3M inputs: source 18", Settings{.a3m = 4}, 0, 304192, 18, 2},
        {"657 with 5M inputs: source 20", Settings{.dev = 657, .a5m = 4}, 0, 304192, 20, 2},
        {"other product, 1080P and 8 ways: 20", Settings{.dev = 658, .a1080p = 4, .pb = 8}, 0, 304192, 20, 2},
        {"1080P 16 and 16 ways: halved", Settings{.dev = 658, .a1080p = 16, .pb = 16}, 0, 152128, 25, 2},
        {"960P 32: by 128", Settings{.dev = 658, .a960p = 32}, 0, 202816, 25, 2},
    };
    for (const Case& c : cases) {
        Apply(c.s);
        VENC_PARAM_S p{};
        p.u32BitRate = 2048;
        p.u32PayloadType = 96;
        p.u32RcMode = 1;
        p.s32SizeCode = c.code;
        p.u32FrameRate = 25;
        p.u32Gop = 50;
        VENC_CHN_ATTR_S a;
        VencSetH264Param(&a, &p, 0);
        EXPECT_EQ(a.stVeAttr.stAttrH264e.u32BufSize, c.buf) << c.what;
        EXPECT_EQ(a.stRcAttr.stAttrH264Cbr.u32SrcFrmRate, c.src) << c.what;
        EXPECT_EQ(a.stRcAttr.stAttrH264Cbr.u32DstFrmRate, std::min(c.src, 25u)) << c.what;
        EXPECT_EQ(a.stRcAttr.stAttrH264Cbr.u32StatTime, c.stat) << c.what;
        EXPECT_EQ(a.stVeAttr.stAttrH264e.u32Profile, 2u) << c.what;
    }
    // Product 656 with 16 ways: the bit rate stops at 2560. A rate of 0 divides by nothing.
    Apply(Settings{.pb = 16});
    VENC_PARAM_S p{};
    p.u32BitRate = 4000;
    p.u32PayloadType = 96;
    p.u32RcMode = 2;
    p.u32FrameRate = 0;
    p.u32Gop = 1;
    VENC_CHN_ATTR_S a;
    VencSetH264Param(&a, &p, 0);
    EXPECT_EQ(a.stRcAttr.stAttrH264Vbr.u32MaxBitRate, 2560u);
    EXPECT_EQ(a.stRcAttr.stAttrH264Vbr.u32DstFrmRate, 0u);
    EXPECT_EQ(a.stRcAttr.stAttrH264Vbr.u32StatTime, 1u);
}

TEST_F(CaptureCmdTest, StartAndStopFollowTheEnabledFlag) {
    Make(0);
    ASSERT_EQ(Format(0, 1, Fmt{.size = 3, .flags = 0}), 0);
    ASSERT_EQ(CaptureStart(0, 1), 0);
    EXPECT_FALSE(view::Get(1)->receiving) << "disabled: not started";
    EXPECT_EQ(CaptureChn(0)->s32CaptureStarted.load(), 1);
    ASSERT_EQ(Format(0, 0, Fmt{}), 0);
    ASSERT_EQ(CaptureStart(0, 0), 0);
    EXPECT_TRUE(view::Get(0)->receiving);
    EXPECT_EQ(CaptureStream(0, 0)->s32Receiving.load(), 1);
    ASSERT_EQ(CaptureStart(0, 4), 0);
    EXPECT_EQ(CaptureChn(0)->s32JpegStarted.load(), 1);
    EXPECT_EQ(CaptureStart(0, 2), 0);
    ASSERT_EQ(CaptureStop(0, 0), 0);
    EXPECT_FALSE(view::Get(0)->receiving);
    EXPECT_EQ(CaptureChn(0)->s32CaptureStarted.load(), 1) << "stop leaves it";
    ASSERT_EQ(CaptureStop(0, 4), 0);
    EXPECT_EQ(CaptureChn(0)->s32JpegStarted.load(), 0);
    EXPECT_EQ(CaptureStart(4, 0), -1);
    EXPECT_EQ(CaptureStop(0, 5), -1);
    EXPECT_EQ(CaptureStart(-1, 0), -1);
}

// A stream started that can get no picture says why, once, at its start; one that can, says nothing.
TEST_F(CaptureCmdTest, AStartedStreamThatCanGetNoPictureSaysWhy) {
    Make(0);
    ASSERT_EQ(Format(0, 1, Fmt{.size = 3, .flags = 0}), 0);
    ASSERT_EQ(Format(0, 0, Fmt{}), 0);
    struct Step {
        const char* what;
        std::function<void()> before;
        int32_t type;
        const char* line;  // null: no line
    } steps[] = {
        {"a stream its format left disabled", [] {}, 1, "did not enable it"},
        {"no input bound to the group", [] {}, 0, "no capture input is bound to its processing group 0"},
        {"an input bound",
         [] {
             CaptureStop(0, 0);
             ASSERT_EQ(Comm_ViBindVpss(0, 0), 0);
         },
         0, nullptr},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        s.before();
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(CaptureStart(0, s.type), 0);
        const std::string out = ::testing::internal::GetCapturedStdout();
        if (s.line != nullptr) {
            EXPECT_NE(out.find(s.line), std::string::npos) << out;
        } else {
            EXPECT_EQ(out.find("picture"), std::string::npos) << out;
        }
    }
}

TEST_F(CaptureCmdTest, IFramesOnRequestAndCreateWithinTheRecords) {
    Make(0);
    const int idrs = Count(VENC_IOC_RequestIDR);
    EXPECT_EQ(CaptureForceIFrame(0, 1), 0);
    EXPECT_EQ(CaptureForceIFrame(0, 2), 0);
    EXPECT_EQ(Count(VENC_IOC_RequestIDR), idrs + 1);
    EXPECT_NE(CaptureForceIFrame(70, 0), 0) << "no encoder channel 140";
    EXPECT_EQ(CaptureCreate(31), 0);
    EXPECT_EQ(CaptureCreate(32), -1);
    EXPECT_EQ(CaptureCreate(-1), -1);
    EXPECT_EQ(CaptureSetChnFlag(32), -1);
}

TEST_F(CaptureCmdTest, CoversScaleFromTheGridToTheInput) {
    VI_CHN_ATTR_S vi{};
    vi.stCapRect = {0, 0, 704, 576};
    vi.u32DestWidth = 704;
    vi.u32DestHeight = 576;
    vi.enPixFormat = 23;
    vi.s32SrcFrameRate = vi.s32DstFrameRate = 25;
    ASSERT_EQ(MK_MPI_VI_SetChnAttr(2, &vi), 0);
    Make(2);
    struct Case {
        uint16_t l, t, r, b;
        int want;
        RECT_S rect;
    };
    const Case cases[] = {
        {0, 0, 352, 288, 0, {0, 0, 704, 576}},
        {88, 72, 176, 144, 0, {176, 144, 176, 144}},
        {1, 1, 2, 2, 0, {0, 0, 0, 0}},  // less than a step of 4 pixels
        {1, 1, 3, 3, 0, {0, 0, 4, 4}},
        {5, 0, 10, 4, 0, {8, 0, 8, 8}},  // 704 x 5 / 1408 = 2, x 4
        {200, 0, 100, 10, -1, {}},       // right before left
        {0, 200, 10, 100, -1, {}},       // bottom above top
        {0, 0, 2048, 2048, 0, {0, 0, 4096, 4096}},  // the largest side a region takes
        {0, 0, 2050, 2, -1, {}},
        {0, 0, 2, 2050, -1, {}},
        {0, 0, 60000, 60000, -1, {}},
    };
    RECT_S shown{};
    for (const Case& c : cases) {
        uint8_t rec[16] = {};
        const uint16_t r[4] = {c.l, c.t, c.r, c.b};
        const uint32_t on = 1;
        std::memcpy(rec, r, 8);
        std::memcpy(rec + 8, &on, 4);
        EXPECT_EQ(CaptureSetCover(2, 1, rec), c.want) << c.l << "," << c.t;
        const RGN_HANDLE h = 4 * 2 + 16 * 4 + 1;
        auto region = rgn::Get(h);
        // A refused cover leaves the one shown before it.
        ASSERT_TRUE(region.has_value()) << c.l << "," << c.t;
        ASSERT_EQ(region->channels.size(), 1u);
        const COVER_CHN_ATTR_S& cv = region->channels[0].second.unChnAttr.stCoverChn;
        if (c.want != 0) {
            EXPECT_EQ(cv.stRect.s32X, shown.s32X) << c.r << "," << c.b;
            EXPECT_EQ(cv.stRect.u32Width, shown.u32Width) << c.r << "," << c.b;
            EXPECT_EQ(cv.stRect.u32Height, shown.u32Height) << c.r << "," << c.b;
            continue;
        }
        shown = c.rect;
        EXPECT_EQ(region->channels[0].first.enModId, MK_ID_VIU);
        EXPECT_EQ(region->channels[0].first.s32ChnId, 2);
        EXPECT_EQ(cv.stRect.s32X, c.rect.s32X);
        EXPECT_EQ(cv.stRect.s32Y, c.rect.s32Y);
        EXPECT_EQ(cv.stRect.u32Width, c.rect.u32Width);
        EXPECT_EQ(cv.stRect.u32Height, c.rect.u32Height);
        EXPECT_EQ(cv.u32Layer, 1u);
        EXPECT_EQ(cv.u32Color, 0u);
    }
    // Enable 0 removes the cover and makes none; bad arguments answer 0.
    uint8_t off[16] = {};
    EXPECT_EQ(CaptureSetCover(2, 1, off), 0);
    EXPECT_EQ(rgn::Count(), 0u);
    EXPECT_EQ(CaptureSetCover(2, 4, off), 0);
    EXPECT_EQ(CaptureSetCover(4, 0, off), 0);
    EXPECT_EQ(CaptureSetCover(2, 0, nullptr), 0);
}

// A refused cover leaves the one shown; after a repeated command 28 the channel's covers are still
// removed, replaced and added by command 35.
TEST_F(CaptureCmdTest, RefusedCoversAndARepeatedCreateLeaveTheCoversReachable) {
    VI_CHN_ATTR_S vi{};
    vi.stCapRect = {0, 0, 704, 576};
    vi.u32DestWidth = 704;
    vi.u32DestHeight = 576;
    vi.s32SrcFrameRate = vi.s32DstFrameRate = 25;
    ASSERT_EQ(MK_MPI_VI_SetChnAttr(2, &vi), 0);
    Make(2);
    auto cmd = [](uint32_t code, std::vector<uint32_t> words) {
        PCIV_MSG_S m{};
        m.stMsgHead.u32MsgType = code;
        m.stMsgHead.u32MsgLen = static_cast<uint32_t>(4 * words.size());
        std::memcpy(m.au32Payload, words.data(), 4 * words.size());
        PCIV_RunCmd(&m);
        return m.stMsgHead.s32Result;
    };
    auto cover = [&](uint16_t l, uint16_t t, uint16_t r, uint16_t b, uint32_t on) {
        cmd(35, {2, 1, static_cast<uint32_t>(l | t << 16), static_cast<uint32_t>(r | b << 16), on, 0});
    };
    const RGN_HANDLE h = 4 * 2 + 16 * 4 + 1;
    auto shown = [&]() -> RECT_S {
        auto region = rgn::Get(h);
        return region ? region->channels.at(0).second.unChnAttr.stCoverChn.stRect : RECT_S{-1, -1, 0, 0};
    };
    cover(0, 0, 44, 36, 1);
    ASSERT_EQ(shown().u32Width, 88u);
    ASSERT_EQ(cmd(28, {2}), 0);
    cover(88, 72, 176, 144, 1);
    EXPECT_EQ(shown().s32X, 176) << "replaced after a repeated 28";
    ASSERT_EQ(cmd(28, {2}), 0);
    cover(0, 0, 0, 0, 0);
    EXPECT_FALSE(rgn::Get(h).has_value()) << "removed after a repeated 28";
    cover(88, 72, 176, 144, 1);
    ASSERT_EQ(shown().s32X, 176) << "added again";
    cover(200, 0, 100, 10, 1);  // right before left
    EXPECT_EQ(shown().s32X, 176) << "the refused cover left the shown one";
    cover(0, 200, 10, 100, 1);  // bottom above top
    EXPECT_EQ(shown().u32Width, 176u) << "and so did this one";
}

TEST_F(CaptureCmdTest, CoversOfCifChannelsAndTheNtscGrid) {
    Apply(Settings{.d1 = 0, .cif = 4});
    VI_CHN_ATTR_S vi{};
    vi.stCapRect = {0, 0, 352, 240};
    vi.u32DestWidth = 352;
    vi.u32DestHeight = 240;
    vi.enPixFormat = 23;
    ASSERT_EQ(MK_MPI_VI_SetChnAttr(1, &vi), 0);
    Make(1, 1);
    uint8_t rec[16] = {};
    const uint16_t r[4] = {88, 60, 176, 120};
    const uint32_t on = 1;
    std::memcpy(rec, r, 8);
    std::memcpy(rec + 8, &on, 4);
    ASSERT_EQ(CaptureSetCover(1, 0, rec), 0);
    // A CIF-class channel: 704 x 480 on the grid of 352 x 240.
    auto region = rgn::Get(4 * 1 + 16 * 4 + 0);
    ASSERT_TRUE(region.has_value());
    const RECT_S& rect = region->channels[0].second.unChnAttr.stCoverChn.stRect;
    EXPECT_EQ(rect.s32X, 176);
    EXPECT_EQ(rect.s32Y, 120);
    EXPECT_EQ(rect.u32Width, 176u);
    EXPECT_EQ(rect.u32Height, 120u);
}

TEST_F(CaptureCmdTest, SourceRatesAdaptBothStreams) {
    Make(0);
    ASSERT_EQ(Format(0, 0, Fmt{.fps = 25, .kbps = 2000}), 0);
    ASSERT_EQ(Format(0, 1, Fmt{.size = 3, .fps = 25, .kbps = 500}), 0);
    // Source 15: main to 15 (its bit rate scaled by 15/25), sub to its own 10.
    ASSERT_EQ(CaptureSetRCSrc(0, 15, 0, 10), 0);
    const VENC_ATTR_H264_CBR_S m = Attr(0).stRcAttr.stAttrH264Cbr;
    EXPECT_EQ(m.u32SrcFrmRate, 15u);
    EXPECT_EQ(m.u32DstFrmRate, 15u);
    EXPECT_EQ(m.u32Gop, 30u);
    EXPECT_EQ(m.u32BitRate, 1200u);
    const VENC_ATTR_H264_CBR_S s = Attr(1).stRcAttr.stAttrH264Cbr;
    EXPECT_EQ(s.u32SrcFrmRate, 15u);
    EXPECT_EQ(s.u32DstFrmRate, 10u);
    EXPECT_EQ(s.u32Gop, 20u);
    EXPECT_EQ(s.u32BitRate, 500u) << "the sub stream keeps its bit rate";
    // A sub rate above the source leaves the sub stream alone; the same source changes nothing.
    const int sets = Count(VENC_IOC_SetChnAttr);
    ASSERT_EQ(CaptureSetRCSrc(0, 15, 0, 20), 0);
    EXPECT_EQ(Count(VENC_IOC_SetChnAttr), sets);
    EXPECT_EQ(CaptureSetRCSrc(40, 15, 0, 0), -1);
}

TEST_F(CaptureCmdTest, AnInputWithNoChosenRateKeepsTheGopInFramesOfTheRateThatArrives) {
    // This product chooses no capture rate: the input is configured (command 93) and adapted (87) with
    // a target of 0, which thins nothing, so its pictures come at 25 a second.
    ASSERT_EQ(Comm_ViChnConfig(0, 0, 0, 0), 0);
    ASSERT_EQ(Comm_GetViChnMainFps(0), 0) << "the product's rate table gives 0";
    Make(0);
    for (int e : {0, 1}) {
        const VENC_ATTR_H264_CBR_S rc = Attr(e).stRcAttr.stAttrH264Cbr;
        EXPECT_EQ(rc.u32DstFrmRate, 25u) << e << ": made at the rate the limit starts with";
        EXPECT_EQ(rc.u32Gop, 25u) << e;
    }
    ASSERT_EQ(Format(0, 0, Fmt{.fps = 25, .gop = 2}), 0);
    ASSERT_EQ(Format(0, 1, Fmt{.size = 3, .fps = 25, .gop = 2}), 0);
    auto expectTwoSeconds = [](const char* after) {
        for (int e : {0, 1}) {
            const VENC_ATTR_H264_CBR_S rc = Attr(e).stRcAttr.stAttrH264Cbr;
            EXPECT_EQ(rc.u32SrcFrmRate, 25u) << e << " after " << after;
            EXPECT_EQ(rc.u32DstFrmRate, 25u) << e << " after " << after;
            EXPECT_EQ(rc.u32Gop, 50u) << e << " after " << after;
            EXPECT_EQ(rc.u32StatTime, 2u) << e << " after " << after;
        }
    };
    expectTwoSeconds("the formats");
    // The encoder keys every 50th frame, counted from the I frame the format asked for.
    const uint64_t keys = view::Get(0)->keyFrames;
    ASSERT_EQ(view::PushFrames(0, 101), 101);
    EXPECT_EQ(view::Get(0)->keyFrames - keys, 3u) << "frames 0, 50 and 100";
    // The input adapted to a new format and the source rate read back from it change nothing.
    ASSERT_EQ(Comm_AdaptViChnConfigSlaver(0, 2, 25), 0);
    expectTwoSeconds("command 87");
    ASSERT_EQ(CaptureSetRCSrc(0, 0, 0, 0), 0);
    expectTwoSeconds("the source rate from the input");
    // An input that tells no rate at all leaves the streams as they are.
    VI_CHN_ATTR_S vi{};
    ASSERT_EQ(MK_MPI_VI_GetChnAttr(0, &vi), 0);
    vi.s32SrcFrameRate = vi.s32DstFrameRate = 0;
    ASSERT_EQ(MK_MPI_VI_SetChnAttr(0, &vi), 0);
    const int sets = Count(VENC_IOC_SetChnAttr);
    ASSERT_EQ(CaptureSetRCSrc(0, 0, 0, 0), 0);
    EXPECT_EQ(Count(VENC_IOC_SetChnAttr), sets);
    expectTwoSeconds("an input of no rate");
}

int32_t PlaybackMode() {
    return 1;
}
int32_t ModelRate12(int32_t* rate, int32_t* flag) {
    *rate = 12;
    *flag = 1;
    return 0;
}

TEST_F(CaptureCmdTest, ABusyDisplayLowersBothStreamsAndRestoringGivesTheirRatesBack) {
    Make(0);
    ASSERT_EQ(Format(0, 0, Fmt{.fps = 25, .kbps = 2000}), 0);
    ASSERT_EQ(Format(0, 1, Fmt{.size = 3, .fps = 20, .kbps = 500}), 0);
    CaptureStreamRec* main = CaptureStream(0, 0);
    CaptureStreamRec* sub = CaptureStream(0, 1);
    ASSERT_EQ(main->u32CfgFrameRate, 25u);
    ASSERT_EQ(sub->u32CfgFrameRate, 20u);
    ASSERT_EQ(CaptureModelFrameRate(0, 12), 0);
    EXPECT_EQ(Attr(0).stRcAttr.stAttrH264Cbr.u32DstFrmRate, 12u);
    EXPECT_EQ(Attr(1).stRcAttr.stAttrH264Cbr.u32DstFrmRate, 12u);
    EXPECT_EQ(main->u32CfgFrameRate, 12u);
    EXPECT_EQ(main->u32PrevFrameRate, 25u);
    EXPECT_EQ(sub->u32PrevFrameRate, 20u);
    // Back: the source rate from the input (25 on this board), each stream its own earlier rate.
    ASSERT_EQ(CaptureRestoreFrameRate(0), 0);
    EXPECT_EQ(Attr(0).stRcAttr.stAttrH264Cbr.u32SrcFrmRate, 25u);
    EXPECT_EQ(Attr(0).stRcAttr.stAttrH264Cbr.u32DstFrmRate, 25u);
    EXPECT_EQ(Attr(1).stRcAttr.stAttrH264Cbr.u32DstFrmRate, 20u);
    EXPECT_EQ(main->u32CfgFrameRate, 25u);
    EXPECT_EQ(sub->u32CfgFrameRate, 20u);
    // A restore with nothing lowered keeps the configured rates.
    ASSERT_EQ(CaptureRestoreFrameRate(0), 0);
    EXPECT_EQ(main->u32CfgFrameRate, 25u);
    // Lowered twice (command 53 twice, or playback then mode 2): the restore gives the master's rates.
    ASSERT_EQ(CaptureModelFrameRate(0, 12), 0);
    ASSERT_EQ(CaptureModelFrameRate(0, 10), 0);
    EXPECT_EQ(Attr(0).stRcAttr.stAttrH264Cbr.u32DstFrmRate, 10u);
    ASSERT_EQ(CaptureRestoreFrameRate(0), 0);
    EXPECT_EQ(Attr(0).stRcAttr.stAttrH264Cbr.u32DstFrmRate, 25u);
    EXPECT_EQ(Attr(1).stRcAttr.stAttrH264Cbr.u32DstFrmRate, 20u);
    EXPECT_EQ(main->u32CfgFrameRate, 25u);
    EXPECT_EQ(sub->u32CfgFrameRate, 20u);
    EXPECT_EQ(CaptureModelFrameRate(32, 12), -1);
    EXPECT_EQ(CaptureRestoreFrameRate(-1), -1);

    // A format command during playback keeps to the display's rate.
    CaptureSetSplitModeHooks(PlaybackMode, ModelRate12);
    ASSERT_EQ(Format(0, 0, Fmt{.fps = 25, .kbps = 2000}), 0);
    CaptureSetSplitModeHooks(nullptr, nullptr);
    EXPECT_EQ(Attr(0).stRcAttr.stAttrH264Cbr.u32DstFrmRate, 12u);
    EXPECT_EQ(main->u32CfgFrameRate, 12u);
    EXPECT_EQ(main->u32PrevFrameRate, 25u);
}

// A master that restarts sends its set-up (96) and its capture commands again: the encoders, the JPEG
// channel and the titles that the system's exit destroyed come back as the first time, and one line
// says what was forgotten.
TEST_F(CaptureCmdTest, ASecondSystemSetUpGivesTheStreamsBackWithOneLine) {
    ASSERT_EQ(CaptureSetChnFlag(0), 0);
    Make(0);
    ASSERT_EQ(Format(0, 0, Fmt{.size = 3}), 0);
    ASSERT_EQ(CaptureStart(0, 0), 0);
    std::vector<uint16_t> px(16 * 16, 0x7FFF);
    OSD_TITLE_S t{};
    t.u32Index = 1;
    t.u32Show = 1;
    t.u16Width = t.u16Height = 16;
    t.pu8Bitmap = reinterpret_cast<const uint8_t*>(px.data());
    ASSERT_EQ(CaptureSetTitleV2(0, 0, &t), 0);
    const int j = CaptureChn(0)->s32JpegVencChn.load();
    ::testing::internal::CaptureStdout();
    SampleSysInit();
    Comm_InitVpssChnMap();
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("2 encoder streams, 1 JPEG channels, 1 titles"), std::string::npos) << out;
    EXPECT_EQ(out.find("forgotten"), out.rfind("forgotten")) << "one line";
    EXPECT_EQ(CaptureStream(0, 0)->s32Fd.load(), -1);
    ASSERT_EQ(CaptureSetVstd(0, 0), 0);
    ASSERT_EQ(Format(0, 0, Fmt{.size = 3}), 0);
    ASSERT_EQ(CaptureStart(0, 0), 0);
    ASSERT_TRUE(view::Get(0).has_value());
    EXPECT_TRUE(view::Get(0)->receiving);
    EXPECT_TRUE(view::Get(j).has_value()) << "the JPEG channel";
    EXPECT_EQ(CaptureSetTitleV2(0, 0, &t), 0);
    EXPECT_TRUE(rgn::Get(OsdTitleHandle(4, 0, 0, 1)).has_value());
}

// A descriptor closed under the fetch thread is dropped with one line; the next passes neither select
// it nor say anything (before, every pass failed at once with "select err").
TEST_F(CaptureCmdTest, TheFetchPassDropsADescriptorThatIsGone) {
    const int gone = 900;
    ASSERT_EQ(dup2(STDERR_FILENO, gone), gone);
    ASSERT_EQ(close(gone), 0);
    CaptureStreamRec* st = CaptureStream(1, 1);
    st->s32Fd = gone;
    st->s32Receiving = 1;
    PCIV_TRANS_CHN_S slot;
    VencPushCtx ctx;
    ctx.pSlot = &slot;
    ::testing::internal::CaptureStdout();
    VencPushPass(&ctx, 10);
    const std::string first = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(first.find("descriptor 900 is gone"), std::string::npos) << first;
    EXPECT_EQ(st->s32Fd.load(), -1);
    ::testing::internal::CaptureStdout();
    for (int i = 0; i < 3; ++i) VencPushPass(&ctx, 10);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    st->s32Receiving = 0;
}

TEST_F(CaptureCmdTest, CaptureListBufferSizeByProduct) {
    const std::pair<uint32_t, int> rows[] = {{651, 16384}, {656, 20480}, {650, -1},
                                             {652, -1},    {657, -1},    {0, -1}};
    for (const auto& [dev, size] : rows) {
        Settings s;
        s.dev = dev;
        Apply(s);
        EXPECT_EQ(CaptureGetBufSize(), size) << dev;
    }
}

TEST_F(CaptureCmdTest, CommandsThroughTheTable) {
    auto run = [](uint32_t code, std::vector<uint32_t> words, uint32_t len) {
        PCIV_MSG_S m{};
        m.stMsgHead.u32MsgType = code;
        m.stMsgHead.u32MsgLen = len;
        std::memcpy(m.au32Payload, words.data(), 4 * words.size());
        const bool reply = PCIV_RunCmd(&m);
        return std::make_pair(reply, m.stMsgHead.s32Result);
    };
    CaptureGetState()->s32ThreadsStarted = 1;
    EXPECT_EQ(run(82, {0}, 4), std::make_pair(true, 0));
    EXPECT_EQ(run(28, {0}, 4), std::make_pair(true, 0));
    EXPECT_EQ(run(31, {0, 0}, 8), std::make_pair(true, 0));
    // Format: channel, type and the 12-byte record.
    const std::vector<uint8_t> f = Fmt{.size = 3}.Bytes();
    std::vector<uint32_t> words(5);
    words[0] = 0;
    words[1] = 0;
    std::memcpy(&words[2], f.data(), 12);
    EXPECT_EQ(run(32, words, 20), std::make_pair(true, 0));
    EXPECT_EQ(Attr(0).stVeAttr.stAttrH264e.u32PicWidth, 352u);
    EXPECT_EQ(run(32, words, 12).second, -1) << "a payload without the record";
    EXPECT_EQ(run(30, {0, 0}, 8), std::make_pair(true, 0));
    EXPECT_EQ(run(34, {0, 0}, 8), std::make_pair(true, 0));
    EXPECT_EQ(run(33, {0, 0}, 8), std::make_pair(true, 0));
    EXPECT_FALSE(run(35, {0, 9}, 24).first) << "covers are not answered";
}

}  // namespace
