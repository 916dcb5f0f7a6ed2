// JPEG snapshots of a digital decode channel, end to end on the simulated chip: command 55's decoder
// and snapshot encoder, PlayStart's set-up, a clip decoded through the channel's processing group and
// the pictures the snapshot thread stores in the channel's capture list, decoded again by libjpeg.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <jpeglib.h>

#include "app/comm/cap_list.h"
#include "app/comm/comm_bind.h"
#include "app/comm/comm_cfg.h"
#include "app/comm/comm_map.h"
#include "app/comm/comm_setup_hooks.h"
#include "app/comm/comm_snap.h"
#include "app/dec/avdec_internal.h"
#include "app/dec/avdec_state.h"
#include "app/dec/play_ctrl.h"
#include "app/dec/vdec_chn.h"
#include "app/dec/vdec_snap.h"
#include "app/enc/capture_state.h"
#include "app/enc/venc_chn.h"
#include "app/enc/venc_list.h"
#include "app/enc/venc_snap.h"
#include "platform/dev/driver.h"
#include "platform/drivers/all/install.h"
#include "platform/drivers/core/bind_graph.h"
#include "platform/drivers/core/kernel.h"
#include "platform/drivers/venc/venc_driver.h"
#include "platform/host/test_bus.h"
#include "sdk/audio/aenc/mpi_aenc.h"
#include "sdk/audio/ai/mpi_ai.h"
#include "sdk/vb/mpi_vb.h"
#include "sdk/vdec/mpi_vdec.h"
#include "sdk/vdec/testing/vdec_clips.h"
#include "sdk/venc/mpi_venc.h"
#include "sdk/vpss/mpi_vpss.h"

namespace {

namespace view = varnelle::drivers::venc_view;
using varnelle::drivers::BindGraph;
using Bytes = std::vector<uint8_t>;

// Two capture channels, four decoder channels of which decode channels 2 and 3 are digital.
constexpr uint32_t kChnEnd = 2;
constexpr uint32_t kPlayDec = 2;
constexpr uint32_t kChn = 3;                 // the digital decode channel
constexpr uint32_t kVdec = kChn - kPlayDec;  // its VDEC channel
constexpr int32_t kSnapChn = kVdec + kChnEnd;          // its number among the JPEG channels
constexpr VENC_CHN kJ = kSnapChn + 2 * kChnEnd + 2 * kChnEnd;  // c + 2 end + 2N by hand
constexpr uint32_t kList = 2 * kChnEnd + kSnapChn;     // its capture list
// The decoder's size for a CIF digital channel: 352 widened to 360.
constexpr uint32_t kW = 360, kH = 288;

std::mutex g_bufMutex;
std::vector<void*> g_buffers;  // guarded by g_bufMutex

int Alloc(void* pDesc, uint32_t u32Size) {
    auto* d = static_cast<CapBufDesc*>(pDesc);
    void* p = std::malloc(u32Size);
    if (p == nullptr) return -1;
    std::lock_guard<std::mutex> lock(g_bufMutex);
    g_buffers.push_back(p);
    d->pu8WritePos = static_cast<uint8_t*>(p);
    d->u32Capacity = u32Size;
    return 0;
}

uint32_t Le32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

struct Picture {
    uint32_t headW, headH;  // from the picture header
    Bytes jpeg;
};

// The pictures in a capture list: its nodes' bytes in order, cut at the picture headers (read by hand:
// 00 00 01 FA, width / 8 at byte 6, height / 8 at 7, length at 12).
std::vector<Picture> Pictures(uint32_t idx) {
    Bytes all;
    CaptureListLock(idx);
    for (CapFrameNode* n = CaptureGetList(idx)->pOldest; n != nullptr; n = n->pNext) {
        all.insert(all.end(), n->stBuf.pu8WritePos - n->u32Used, n->stBuf.pu8WritePos);
    }
    CaptureListUnlock(idx);
    std::vector<Picture> out;
    size_t off = 0;
    while (off + 16 <= all.size()) {
        const uint8_t* h = all.data() + off;
        EXPECT_TRUE(h[0] == 0 && h[1] == 0 && h[2] == 1 && h[3] == 0xFA) << "header at " << off;
        const uint32_t len = Le32(h + 12);
        if (off + 16 + len > all.size()) break;
        out.push_back({h[6] * 8u, h[7] * 8u, Bytes(h + 16, h + 16 + len)});
        off += 16 + len;
    }
    EXPECT_EQ(off, all.size()) << "the list holds whole pictures only";
    return out;
}

// libjpeg's full decode of a picture: its size, {0, 0} when it does not decode.
std::pair<uint32_t, uint32_t> Decode(const Bytes& data) {
    struct Err {
        jpeg_error_mgr mgr;
        bool failed = false;
    } err;
    jpeg_decompress_struct d;
    d.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = [](j_common_ptr c) {
        // The picture is broken: stop reading it (no longjmp: the sizes tell the test).
        reinterpret_cast<Err*>(c->err)->failed = true;
        c->err->output_message(c);
    };
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, data.data(), static_cast<unsigned long>(data.size()));
    std::pair<uint32_t, uint32_t> size{0, 0};
    if (jpeg_read_header(&d, TRUE) == JPEG_HEADER_OK && !err.failed && jpeg_start_decompress(&d) && !err.failed) {
        std::vector<uint8_t> row(static_cast<size_t>(d.output_width) * d.output_components);
        JSAMPROW r = row.data();
        while (d.output_scanline < d.output_height && !err.failed) jpeg_read_scanlines(&d, &r, 1);
        if (!err.failed) {
            jpeg_finish_decompress(&d);
            size = {d.output_width, d.output_height};
        }
    }
    jpeg_destroy_decompress(&d);
    return err.failed ? std::pair<uint32_t, uint32_t>{0, 0} : size;
}

bool WaitUntil(const std::function<bool()>& pred, int seconds = 20) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        usleep(2000);
    }
    return true;
}

const std::vector<Bytes>& ClipFrames() {
    static const std::vector<Bytes> frames = [] {
        using namespace mk::vdec::testing;
        return SplitFrames(MakeClip({"libx264", 352, 288, 50, 25, "-bf 0"}), false);
    }();
    return frames;
}

// Sends the clip to a decoder over and over, a frame each 40 ms as a camera would, until stopped.
class Feeder {
public:
    explicit Feeder(VDEC_CHN chn) : m_chn(chn), m_thread([this] { Run(); }) {}
    ~Feeder() { Stop(); }
    void Stop() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
    }
    uint64_t Sent() const { return m_sent.load(); }

private:
    void Run() {
        const std::vector<Bytes>& frames = ClipFrames();
        auto next = std::chrono::steady_clock::now();
        for (uint64_t i = 0; !m_stop; ++i) {
            const Bytes& f = frames[i % frames.size()];
            VDEC_STREAM_S st{const_cast<uint8_t*>(f.data()), static_cast<MK_U32>(f.size()), i * 40000, 1, 0};
            if (MK_MPI_VDEC_SendStream(m_chn, &st, 200) == 0) ++m_sent;
            next += std::chrono::milliseconds(40);
            std::this_thread::sleep_until(next);
        }
    }
    VDEC_CHN m_chn;
    std::atomic<bool> m_stop{false};
    std::atomic<uint64_t> m_sent{0};
    std::thread m_thread;
};

class SnapTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        varnelle::host::UsePrivateBus("snap");
        varnelle::drivers::InstallAll();
        ClipFrames();
    }
    void SetUp() override {
        varnelle::drivers::ResetMediaState();
        VB_CONF_S conf{};
        conf.u32MaxPoolCnt = 4;
        conf.astCommPool[0].u32BlkSize = 1u << 20;
        conf.astCommPool[0].u32BlkCnt = 32;
        ASSERT_EQ(MK_MPI_VB_SetConf(&conf), 0);
        ASSERT_EQ(MK_MPI_VB_Init(), 0);
        SLAVE_SYS_PARAM_S p{};
        p.u32DevType = 656;
        p.u32ChnEnd = kChnEnd;
        p.u32DecNum = 4;
        p.u32DigitalNum = 2;
        p.u32PlayDecNum = kPlayDec;
        p.stHvrCap.as16Digital[HVR_CAP_CIF] = 2;
        p.stSlaveCfg.u8JpegEnable = 1;
        SlaveStoreSysParam(&p);
        Comm_InitVpssChnMap();
        CommSetSplitGetChnViHook([](int32_t, int32_t) { return 3; });
        CommSetJpegChCreateHook(JPEGChCreate);
        AVdecSnapRegister();
        AVdecGetState()->Clear();
        AVdecGetChnTable()->Clear();
        CapListSetAllocHook(Alloc);
        ASSERT_EQ(PlaySetDecodeChn(kChn), 0);
    }
    void TearDown() override {
        JpegSnapStopAll();
        AVdecStopFeeding();
        MK_MPI_VENC_StopRecvPic(kJ);
        VencStopChn(kJ);
        MK_MPI_VDEC_StopRecvStream(kVdec);
        MK_MPI_VDEC_DestroyChn(kVdec);
        const MK_S32 grp = Grp();
        MK_MPI_VPSS_StopGrp(grp);
        MK_MPI_VPSS_DestroyGrp(grp);
        BindGraph::Instance().Clear();
        CaptureListsClear();
        CapListSetAllocHook(nullptr);
        {
            std::lock_guard<std::mutex> lock(g_bufMutex);
            for (void* b : g_buffers) std::free(b);
            g_buffers.clear();
        }
        MK_MPI_VB_Exit();
        varnelle::drivers::ResetMediaState();
        CommSetJpegChCreateHook(nullptr);
        CommClearSetupHooks();
        SlaveResetSysCfg();
    }
    static MK_S32 Grp() { return Comm_GetVpssChnMapCopy().as32Word[VPSS_MAP_DEC_BASE] + static_cast<MK_S32>(kVdec); }
    static SnapRecord Rec() { return CommSnapRecord(kVdec); }
    // Command 55 for the digital channel, then what command 64 and a rectangle command do for it: the
    // playback record names its decoder and the decoder feeds the channel's group.
    static void CreateAndBind() {
        ASSERT_EQ(VdecChCreate(kChn), 0);
        AVdecGetChnTable()->SetRec(kChn, REC_CREATED, 1);
        AVdecGetChnTable()->SetRec(kChn, REC_VDEC_CHN, kVdec);
        AVdecGetChnTable()->SetRec(kChn, REC_SHOWN, 1);
        ASSERT_EQ(Comm_VdecBindVpss(kVdec, Grp()), 0);
    }
    static size_t Count() { return Pictures(kList).size(); }
    static bool Bound() {
        auto src = BindGraph::Instance().SourceOf(MPP_CHN_S{MK_ID_VENC, 0, kJ});
        return src && src->s32DevId == Grp() && src->s32ChnId == 3;
    }
};

TEST_F(SnapTest, CommandFiftyFiveMakesTheSnapshotEncoderAfterTheCaptureOnesAndItsRecord) {
    ASSERT_NO_FATAL_FAILURE(CreateAndBind());
    auto ch = view::Get(kJ);
    ASSERT_TRUE(ch.has_value()) << "JPEG encoder " << kJ;
    EXPECT_EQ(ch->attr.stVeAttr.enType, 26u);
    EXPECT_EQ(ch->attr.stVeAttr.stAttrJpeg.u32PicWidth, 704u);
    EXPECT_EQ(ch->attr.stVeAttr.stAttrJpeg.u32PicHeight, 576u);
    EXPECT_EQ(ch->attr.stVeAttr.stAttrJpeg.u32BufSize, 811008u);
    SnapRecord r = Rec();
    EXPECT_EQ(r.Get(SNAP_CREATED), 1u);
    EXPECT_EQ(r.GetS(SNAP_VENC_CHN), kJ);
    EXPECT_EQ(r.Get(SNAP_LIST), kList);
    EXPECT_GE(r.GetS(SNAP_FD), 0);
    EXPECT_EQ(r.Get(SNAP_KIND), 4u);
    EXPECT_EQ(r.Value(), 3u);
    EXPECT_EQ(r.Get(SNAP_REQUESTED), 0u) << "idle until played";
    EXPECT_TRUE(JpegSnapRunning(kVdec));
    // The decode record names the group its decoder feeds: the snapshot takes its pictures there.
    EXPECT_EQ(AVdecGetState()->Rec(kChn, REC_VPSS_GRP), static_cast<uint32_t>(Grp()));
    // A second command 55 makes nothing more.
    ASSERT_EQ(VdecChCreate(kChn), 0);
    EXPECT_TRUE(JpegSnapRunning(kVdec));
}

TEST_F(SnapTest, PlayedPicturesArriveAsJpegsOfTheRecordsSize) {
    ASSERT_NO_FATAL_FAILURE(CreateAndBind());
    Rec().Set(SNAP_RATE, 10);  // 0.1 s, so the 0.4 s floor sets the pace
    ASSERT_EQ(PlayStart(kChn), 0);
    EXPECT_TRUE(Bound());
    EXPECT_EQ(Rec().Get(SNAP_SET_UP), 1u);
    EXPECT_EQ(Rec().Get(SNAP_WIDTH), kW);
    EXPECT_EQ(Rec().Get(SNAP_HEIGHT), kH);
    Feeder feed(kVdec);
    ASSERT_TRUE(WaitUntil([] { return Count() >= 3; })) << Count() << " pictures";
    feed.Stop();
    for (const Picture& p : Pictures(kList)) {
        EXPECT_EQ(p.headW, kW);
        EXPECT_EQ(p.headH, kH);
        const auto size = Decode(p.jpeg);
        EXPECT_EQ(size.first, kW);
        EXPECT_EQ(size.second, kH);
    }
    auto ch = view::Get(kJ);
    ASSERT_TRUE(ch.has_value());
    EXPECT_EQ(ch->attr.stVeAttr.stAttrJpeg.u32PicWidth, kW) << "resized in place";
    EXPECT_EQ(ch->fetchedFrames, 0u) << "every picture released";
}

// The periodic pace: after each stored picture the thread sleeps the rest of the interval, at least
// 0.4 s; so over a span the pictures cannot outnumber it. Rate code 0 must not divide by zero: 1 s.
TEST_F(SnapTest, PeriodicPicturesKeepToTheRateCodesInterval) {
    ASSERT_NO_FATAL_FAILURE(CreateAndBind());
    struct Case {
        uint32_t code;
        double intervalS;
    } cases[] = {{0, 1.0}, {2, 0.5}};
    for (const Case& c : cases) {
        CaptureListsClear();
        Rec().Set(SNAP_RATE, c.code);
        const auto t0 = std::chrono::steady_clock::now();
        ASSERT_EQ(PlayStart(kChn), 0);
        Feeder feed(kVdec);
        ASSERT_TRUE(WaitUntil([] { return Count() >= 3; })) << "code " << c.code;
        const size_t n = Count();
        const double span = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        // n pictures need n - 1 intervals, each shorter than asked by at most the wait for a picture.
        EXPECT_GE(span, (n - 1) * (c.intervalS - 0.1)) << "code " << c.code << ": " << n << " pictures";
        feed.Stop();
        Rec().Set(SNAP_REQUESTED, 0);
    }
}

TEST_F(SnapTest, AOneShotStoresOnePictureAndClearsTheRequest) {
    ASSERT_NO_FATAL_FAILURE(CreateAndBind());
    // The processing channel set up by hand (no periodic set-up ran: nothing to tear down after).
    const MK_S32 grp = Grp();
    ASSERT_EQ(MK_MPI_VPSS_EnableChn(grp, 3), 0);
    ASSERT_EQ(Comm_VencBindVpss(kJ, grp, 3), 0);
    Rec().Set(SNAP_WIDTH, 352);
    Rec().Set(SNAP_HEIGHT, 288);
    Rec().SetS(SNAP_SRC_GRP, grp);
    AVdecGetChnTable()->SetRec(kChn, REC_VDEC_CHN, kVdec);
    MK_MPI_VDEC_StartRecvStream(kVdec);
    Feeder feed(kVdec);
    ASSERT_EQ(DigitSnapJpegRequest(kVdec), 0);
    EXPECT_EQ(Rec().Get(SNAP_SET_UP), 0u);
    ASSERT_TRUE(WaitUntil([] { return Rec().Get(SNAP_REQUESTED) == 0; }));
    // Pictures go on arriving at the encoder's group; the thread takes no more.
    const uint64_t sent = feed.Sent();
    ASSERT_TRUE(WaitUntil([&] { return feed.Sent() >= sent + 15; }));
    feed.Stop();
    const std::vector<Picture> pics = Pictures(kList);
    ASSERT_EQ(pics.size(), 1u);
    EXPECT_EQ(Decode(pics[0].jpeg), (std::pair<uint32_t, uint32_t>{352, 288}));
    EXPECT_TRUE(Bound()) << "no teardown was pending";
}

TEST_F(SnapTest, AOneShotAfterPeriodicSnapshotsLetsTheProcessingChannelGo) {
    ASSERT_NO_FATAL_FAILURE(CreateAndBind());
    ASSERT_EQ(PlayStart(kChn), 0);
    Feeder feed(kVdec);
    ASSERT_TRUE(WaitUntil([] { return Count() >= 1; }));
    ASSERT_EQ(DigitSnapJpegRequest(-1), 0) << "every digital channel";
    EXPECT_EQ(Rec().GetS(SNAP_TEARDOWN_GRP), Grp());
    ASSERT_TRUE(WaitUntil([] { return Rec().Get(SNAP_REQUESTED) == 0; }));
    feed.Stop();
    EXPECT_FALSE(Bound());
    EXPECT_EQ(Rec().GetS(SNAP_TEARDOWN_GRP), -1);
    // Played again: bound again and periodic.
    const size_t before = Count();
    ASSERT_EQ(PlayStart(kChn), 0);
    EXPECT_TRUE(Bound());
    Feeder again(kVdec);
    ASSERT_TRUE(WaitUntil([&] { return Count() > before; }));
}

TEST_F(SnapTest, SnapshotRequestsNeedSnapshotsOnAndAnEncoder) {
    EXPECT_EQ(DigitSnapJpeg(kVdec), -1) << "no encoder yet";
    EXPECT_EQ(DigitSnapJpegRequest(48), -1);
    SLAVE_SYS_PARAM_S p{};
    p.u32ChnEnd = kChnEnd;
    p.u32DecNum = 4;
    SlaveStoreSysParam(&p);  // snapshots off
    EXPECT_EQ(DigitSnapJpegRequest(kVdec), -1);
    EXPECT_EQ(Rec().Get(SNAP_REQUESTED), 0u);
}

// J = c + 2 x channel end + 2 x capture channels; decode channels c from the channel end up to the
// end plus the decoder count; J above 127 is refused and makes nothing.
TEST_F(SnapTest, SnapshotEncoderNumbersStopAtTheEncodersLastChannel) {
    struct Case {
        uint32_t end, decNum;
        int32_t c;
        int want;
        VENC_CHN j;  // made, or -1
    } cases[] = {
        {20, 29, 47, 0, 127},  // the last encoder channel
        {20, 29, 48, -1, -1},  // J would be 128
        {20, 29, 49, 0, -1},   // past the decode channels: nothing to make
        {2, 4, 2, 0, 10},      // decode channel 0 on a two-channel chip
        {2, 4, 6, 0, -1},
    };
    for (const Case& t : cases) {
        SLAVE_SYS_PARAM_S p{};
        p.u32ChnEnd = t.end;
        p.u32DecNum = t.decNum;
        p.stSlaveCfg.u8JpegEnable = 1;
        SlaveStoreSysParam(&p);
        EXPECT_EQ(JPEGChCreate(t.c), t.want) << "c " << t.c;
        for (VENC_CHN j = 0; j < VENC_MAX_CHN_NUM; ++j) {
            EXPECT_EQ(view::Get(j).has_value(), j == t.j) << "c " << t.c << " encoder " << j;
        }
        JpegSnapStopAll();
        if (t.j >= 0) VencStopChn(t.j);
    }
}

TEST_F(SnapTest, AnEncoderThatCannotBeMadeLeavesTheSnapshotUnmade) {
    auto venc = varnelle::dev::Registry::Find("/dev/venc");
    venc->FailRequest(VENC_IOC_CreateChn, static_cast<int>(MK_ERR_VENC_NOMEM));
    ASSERT_EQ(VdecChCreate(kChn), 0) << "the decoder is made all the same";
    EXPECT_FALSE(view::Get(kJ).has_value());
    EXPECT_EQ(Rec().Get(SNAP_CREATED), 0u) << "a later set-up does not bind to nothing";
    EXPECT_FALSE(JpegSnapRunning(kVdec));
    EXPECT_EQ(DigitSnapJpeg(kVdec), -1);
    venc->ClearFaults();
}

TEST_F(SnapTest, TheSnapshotThreadsStopWhileWaitingForPictures) {
    ASSERT_NO_FATAL_FAILURE(CreateAndBind());
    ASSERT_EQ(PlayStart(kChn), 0);  // periodic, and no pictures come: the thread waits on its encoder
    ASSERT_TRUE(WaitUntil([] { return view::Get(kJ) && view::Get(kJ)->receiving; }));
    const auto t0 = std::chrono::steady_clock::now();
    JpegSnapStopAll();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1900)) << "not the 2 s wait";
    EXPECT_FALSE(JpegSnapRunning(kVdec));
}

TEST(ExtraMemory, EveryRecordsExtraBufferGoesOnceAndANewOneIsGiven) {
    void* shared = std::malloc(16);
    AVdecSetExtraBuffer(0, shared);
    AVdecSetExtraBuffer(5, shared);
    AVdecSetExtraBuffer(7, std::malloc(8));
    void* p = ExtraMemoryAlloc(32);  // under ASan a double free of `shared` would show
    ASSERT_NE(p, nullptr);
    for (uint32_t c : {0u, 5u, 7u}) EXPECT_EQ(AVdecExtraBuffer(c), nullptr);
    std::free(p);
}

}  // namespace

namespace {

// The H.264 list thread's pass on encoder channels fed by the driver's own test pictures.
class VencListTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        varnelle::host::UsePrivateBus("snap");
        varnelle::drivers::InstallAll();
    }
    void SetUp() override {
        SLAVE_SYS_PARAM_S p{};
        p.u32ChnStart = 0;  // the first channel 0: the lists' share must not divide by it
        p.u32ChnEnd = 2;
        SlaveStoreSysParam(&p);
        ASSERT_EQ(CaptureStateInit(), 0);
        for (int e = 0; e < 3; ++e) {
            VENC_CHN_ATTR_S a{};
            a.stVeAttr.enType = 96;
            a.stVeAttr.stAttrH264e = {176, 144, 65536, 2, 1, 176, 144, 0, 0};
            a.stRcAttr.enRcMode = VENC_RC_MODE_H264CBR;
            a.stRcAttr.stAttrH264Cbr = {25, 1, 25, 25, 512, 2, {0, 0}};
            ASSERT_EQ(MK_MPI_VENC_CreateChn(e, &a), 0);
            CaptureStreamRec* s = CaptureStream(static_cast<uint32_t>(e / 2), static_cast<uint32_t>(e % 2));
            s->s32Created = 1;
            s->s32VencChn = e;
            s->u32Width = 176;
            s->u32Height = 144;
            s->u32FrameRate = 25;
        }
        CaptureStream(0, 0)->s32Receiving = 1;
        CaptureStream(0, 0)->s32Enabled = 1;
        CaptureStream(0, 1)->s32Receiving = 1;  // receiving but not enabled
        CapListSetAllocHook(Alloc);
    }
    void TearDown() override {
        VencGetStreamStop();
        for (int e = 0; e < 3; ++e) MK_MPI_VENC_DestroyChn(e);
        CaptureListsClear();
        CapListSetAllocHook(nullptr);
        std::lock_guard<std::mutex> lock(g_bufMutex);
        for (void* b : g_buffers) std::free(b);
        g_buffers.clear();
        CaptureResetState();
        SlaveResetSysCfg();
    }
    // Frame codes (byte 3 of each header) of a list's frames, read by hand.
    static std::vector<uint8_t> Codes(uint32_t idx) {
        Bytes all;
        for (CapFrameNode* n = CaptureGetList(idx)->pOldest; n != nullptr; n = n->pNext)
            all.insert(all.end(), n->stBuf.pu8WritePos - n->u32Used, n->stBuf.pu8WritePos);
        std::vector<uint8_t> codes;
        for (size_t off = 0; off + 8 <= all.size();) {
            const uint8_t code = all[off + 3];
            codes.push_back(code);
            off += code == 0xFD ? 16 + Le32(&all[off + 12]) : 8 + Le32(&all[off + 4]);
        }
        return codes;
    }
};

TEST_F(VencListTest, FramesOfEnabledReceivingStreamsGoToTheirListsAndAllAreReleased) {
    ASSERT_EQ(view::PushFrames(0, 3), 3);
    ASSERT_EQ(view::PushFrames(1, 2), 2);
    ASSERT_EQ(view::PushFrames(2, 1), 1);
    int stored = 0;
    for (int i = 0; i < 5; ++i) stored += std::max(0, VencGetStreamPass());
    EXPECT_EQ(stored, 3);
    EXPECT_EQ(Codes(0), (std::vector<uint8_t>{0xFD, 0xFC, 0xFC})) << "an I frame, then P frames";
    EXPECT_TRUE(Codes(1).empty()) << "the sub stream is not enabled";
    EXPECT_EQ(view::Get(1)->queuedFrames, 0u) << "its frames are fetched and released all the same";
    EXPECT_EQ(view::Get(2)->queuedFrames, 1u) << "a stream that does not receive is left alone";
    for (int e = 0; e < 3; ++e) EXPECT_EQ(view::Get(e)->fetchedFrames, 0u);
}

TEST_F(VencListTest, AFullListTakesNoMoreFramesButTheyAreReleased) {
    // 4096 frames shared among 4 streams: a list holding 1024 is full.
    CapFrameNode* n = CapListAlloc(CaptureGetList(0), 64);
    ASSERT_NE(n, nullptr);
    n->u32SlotCnt = 1024;
    ASSERT_EQ(view::PushFrames(0, 2), 2);
    EXPECT_EQ(VencGetStreamPass(), 0);
    EXPECT_EQ(VencGetStreamPass(), 0);
    EXPECT_EQ(view::Get(0)->queuedFrames, 0u);
    EXPECT_EQ(view::Get(0)->fetchedFrames, 0u);
    n->u32SlotCnt = 1023;
    ASSERT_EQ(view::PushFrames(0, 1), 1);
    EXPECT_EQ(VencGetStreamPass(), 1);
}

TEST_F(VencListTest, TheListThreadStoresWhileRunningAndStopsOnRequest) {
    ASSERT_EQ(VencGetStreamStart(), 0);
    ASSERT_EQ(view::PushFrames(0, 4), 4);
    ASSERT_TRUE(WaitUntil([] {
        CaptureListLock(0);
        uint32_t frames = 0;
        for (CapFrameNode* p = CaptureGetList(0)->pOldest; p != nullptr; p = p->pNext) frames += p->u32SlotCnt;
        CaptureListUnlock(0);
        return frames >= 4;
    }));
    VencGetStreamStop();
    ASSERT_EQ(view::PushFrames(0, 1), 1);
    EXPECT_EQ(view::Get(0)->queuedFrames, 1u) << "nothing fetches after the stop";
}

}  // namespace

namespace {

// The audio list thread's pass on an encoder channel fed by hand.
class AencListTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        varnelle::host::UsePrivateBus("snap");
        varnelle::drivers::InstallAll();
    }
    void SetUp() override {
        varnelle::drivers::ResetMediaState();
        ASSERT_EQ(MPI_AI_Init(), 0);
        ASSERT_EQ(MPI_AENC_Init(), 0);
        SLAVE_SYS_PARAM_S p{};
        p.u32ChnEnd = 2;
        SlaveStoreSysParam(&p);
        ASSERT_EQ(CaptureStateInit(), 0);
        CaptureChnRec* c = CaptureChn(0);
        c->astStream[0].s32Receiving = 1;
        c->astStream[1].s32Receiving = 1;
        c->s32CaptureStarted = 1;
        c->u32AudioMain = 1;  // audio with the main stream only
        static AUDIO_ATTR_PLAIN_S plain{};
        const AENC_CHN_ATTR_S a{PT_G711A, 320, 8, &plain};
        ASSERT_EQ(MK_MPI_AENC_CreateChn(0, &a), 0);
        CapListSetAllocHook(Alloc);
    }
    void TearDown() override {
        AencGetStreamStopAll();
        MK_MPI_AENC_DestroyChn(0);
        MPI_AENC_Exit();
        MPI_AI_Exit();
        CaptureListsClear();
        CapListSetAllocHook(nullptr);
        {
            std::lock_guard<std::mutex> lock(g_bufMutex);
            for (void* b : g_buffers) std::free(b);
            g_buffers.clear();
        }
        CaptureResetState();
        SlaveResetSysCfg();
        varnelle::drivers::ResetMediaState();
    }
    static void Send(uint64_t ts) {
        std::vector<int16_t> pcm(320, static_cast<int16_t>(ts * 100));
        AUDIO_FRAME_S f{};
        f.enBitwidth = AUDIO_BIT_WIDTH_16;
        f.enSoundmode = AUDIO_SOUND_MODE_MONO;
        f.pVirAddr[0] = pcm.data();
        f.u32Len = 640;
        f.u64TimeStamp = ts;
        ASSERT_EQ(MK_MPI_AENC_SendFrame(0, &f, nullptr), 0);
    }
    // Audio frames of a list: 00 00 01 F0 headers (length 16 bits at byte 6), read by hand.
    static std::vector<uint32_t> AudioLengths(uint32_t idx) {
        Bytes all;
        CaptureListLock(idx);
        for (CapFrameNode* n = CaptureGetList(idx)->pOldest; n != nullptr; n = n->pNext)
            all.insert(all.end(), n->stBuf.pu8WritePos - n->u32Used, n->stBuf.pu8WritePos);
        CaptureListUnlock(idx);
        std::vector<uint32_t> lens;
        for (size_t off = 0; off + 8 <= all.size();) {
            EXPECT_EQ(all[off + 3], 0xF0);
            const uint32_t len = all[off + 6] | all[off + 7] << 8;
            lens.push_back(len);
            off += 8 + len;
        }
        return lens;
    }
};

TEST_F(AencListTest, PacketsGoToTheListsOfStreamsWithAudioAndAreReleased) {
    for (uint64_t i = 0; i < 3; ++i) {
        ASSERT_NO_FATAL_FAILURE(Send(i));
        EXPECT_EQ(AencGetStreamPass(0, 1000), 1);
    }
    EXPECT_EQ(AudioLengths(0), (std::vector<uint32_t>{320, 320, 320})) << "the 4-byte prefix is not stored";
    EXPECT_TRUE(AudioLengths(1).empty()) << "no audio with the sub stream";
    AUDIO_STREAM_S s{};
    EXPECT_NE(MK_MPI_AENC_GetStream(0, &s, 0), 0) << "every packet taken";
    EXPECT_EQ(AencGetStreamPass(0, 20), 0) << "time-out";
    EXPECT_EQ(AencGetStreamPass(32, 20), -1) << "outside the capture records: the thread ends";
    // A stopped stream takes no audio.
    CaptureChn(0)->astStream[0].s32Receiving = 0;
    ASSERT_NO_FATAL_FAILURE(Send(9));
    EXPECT_EQ(AencGetStreamPass(0, 1000), 1);
    EXPECT_EQ(AudioLengths(0).size(), 3u);
}

TEST_F(AencListTest, TheAudioThreadRunsUntilStopped) {
    ASSERT_EQ(AencGetStreamStart(0), 0);
    for (uint64_t i = 0; i < 4; ++i) ASSERT_NO_FATAL_FAILURE(Send(i));
    ASSERT_TRUE(WaitUntil([] { return AudioLengths(0).size() == 4; }));
    AencGetStreamStopAll();
    ASSERT_NO_FATAL_FAILURE(Send(5));
    AUDIO_STREAM_S s{};
    ASSERT_EQ(MK_MPI_AENC_GetStream(0, &s, 0), 0) << "left for no one after the stop";
    MK_MPI_AENC_ReleaseStream(0, &s);
}

}  // namespace
