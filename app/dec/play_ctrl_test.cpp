#include "app/dec/play_ctrl.h"

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/comm/cap_frame.h"
#include "app/comm/comm_bind.h"
#include "app/comm/comm_cfg.h"
#include "app/comm/comm_setup_hooks.h"
#include "app/dec/avdec.h"
#include "app/dec/avdec_internal.h"
#include "app/dec/vdec_chn.h"
#include "app/dec/vdec_feed.h"
#include "app/pci/pciv_cmd.h"
#include "app/pci/pciv_slave.h"
#include "platform/dev/driver.h"
#include "platform/drivers/all/install.h"
#include "platform/drivers/core/kernel.h"
#include "platform/drivers/vdec/vdec_driver.h"
#include "platform/drivers/vo/vo_driver.h"
#include "platform/host/test_bus.h"
#include "sdk/sys/mpi_sys.h"
#include "sdk/vdec/mpi_vdec.h"
#include "sdk/vo/mpi_vo.h"
#include "sdk/vpss/vpss_ioctl.h"

namespace {

namespace drv = varnelle::drivers;
using varnelle::dev::Registry;

constexpr uint32_t kChn = 2;    // decode channel
constexpr int kVdec = 6;        // its decoder
constexpr int kVo = 5;          // its display channel
constexpr uint32_t kGrp = 3;    // its processing group
constexpr int kHideDev = 7;     // the display device PlayStop hides on

// Command 64 with the display enabled, hiding on kHideDev, and the record of kChn.
void SendPlayParams(uint32_t hide = 0) {
    std::vector<uint8_t> p(2376, 0);
    auto put = [&p](uint32_t off, uint32_t v) { std::memcpy(&p[off], &v, 4); };
    put(16, kChn);
    put(28 + 4 * (12 - 6), kHideDev);  // head words 6.. come from payload byte 28 on
    put(28 + 4 * (13 - 6), 1);
    put(1992 + REC_CREATED, 1);
    put(1992 + REC_VPSS_GRP, kGrp);
    put(1992 + REC_VO_CHN, kVo);
    put(1992 + REC_VDEC_CHN, kVdec);
    put(1992 + REC_HIDE, hide);
    PCIV_MSG_S m;
    std::memset(&m, 0, sizeof(m));
    m.stMsgHead.u32MsgType = 64;
    m.stMsgHead.u32MsgLen = 2376;
    std::memcpy(m.au32Payload, p.data(), 2376);
    PCIV_RunCmd(&m);
}

// A command of `len` payload bytes, the first two words given, the rest zero.
PCIV_MSG_S Msg(uint32_t code, uint32_t len, uint32_t p0, uint32_t p1) {
    PCIV_MSG_S m;
    std::memset(&m, 0, sizeof(m));
    m.stMsgHead.u32MsgType = code;
    m.stMsgHead.u32MsgLen = len;
    m.au32Payload[0] = p0;
    m.au32Payload[1] = p1;
    return m;
}

bool Cmd(uint32_t code, uint32_t p0, uint32_t p1 = 0) {
    PCIV_MSG_S m = Msg(code, 8, p0, p1);
    return PCIV_RunCmd(&m);
}

uint32_t Rec(uint32_t field) {
    return AVdecGetChnTable()->Rec(kChn, field);
}

class PlayTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        varnelle::host::UsePrivateBus("play");
        drv::InstallAll();
    }
    void SetUp() override {
        PCIV_ClearCmdHandlers();
        SlaveRegisterCmdHandlers();
        AVdecRegister();
        AVdecGetState()->Clear();
        AVdecGetChnTable()->Clear();
        SLAVE_SYS_PARAM_S sp{};
        sp.u32PlayDecNum = 4;
        sp.u32DecNum = 8;
        sp.u32FirstDecChn = 0;
        SlaveStoreSysParam(&sp);
        VDEC_CHN_ATTR_S a = {96, 1 << 20, 5, 1920, 1080, 2, 1, 0};
        ASSERT_EQ(MK_MPI_VDEC_CreateChn(kVdec, &a), 0);
        SendPlayParams();
        m_vdec = Registry::Find("/dev/vdec");
        m_vo = Registry::Find("/dev/vo");
        m_vpss = Registry::Find("/dev/vpss");
        for (auto& d : {m_vdec, m_vo, m_vpss}) d->ResetCounters();
    }
    void TearDown() override {
        AVdecSetRing(kChn, nullptr, 0);
        MK_MPI_VDEC_DestroyChn(kVdec);
        for (auto& d : {m_vdec, m_vo, m_vpss}) d->ClearFaults();
        SlaveClearHooks();
        SlaveResetSysCfg();
    }
    static drv::VoDriver::ChnState Vo() {
        return static_cast<drv::VoDriver*>(Registry::Find("/dev/vo").get())->Channel(8, kVo);
    }
    static drv::VoDriver::ChnState VoOn(int layer) {
        return static_cast<drv::VoDriver*>(Registry::Find("/dev/vo").get())->Channel(layer, kVo);
    }
    int Vdec(unsigned long req) const { return m_vdec->RequestCount(req); }

    std::shared_ptr<varnelle::dev::Driver> m_vdec, m_vo, m_vpss;
};

TEST_F(PlayTest, StartRestartsTheDecoderAndShowsTheChannel) {
    MK_MPI_VO_HideChn(8, kVo);
    AVdecGetChnTable()->SetRec(kChn, REC_RATE_ADJ, 7);
    EXPECT_FALSE(Cmd(70, kChn)) << "not answered";
    EXPECT_EQ(Vdec(mk::vdec::kStopRecvStream), 1);
    EXPECT_EQ(Vdec(mk::vdec::kResetChn), 1);
    EXPECT_EQ(Vdec(mk::vdec::kStartRecvStream), 1);
    EXPECT_TRUE(drv::VdecDriver::Get()->Channel(kVdec).receiving);
    EXPECT_TRUE(Vo().shown);
    struct Field {
        uint32_t off, want;
    } fields[] = {{REC_RUNNING, 1}, {REC_STARVED, 1}, {REC_RESYNC, 1}, {REC_RATE, 100}, {REC_RECEIVING, 1},
                  {REC_SHOWN, 1},   {REC_PAUSED, 0},  {REC_BUSY, 0},   {REC_RATE_ADJ, 0}};
    for (const Field& f : fields) EXPECT_EQ(Rec(f.off), f.want) << f.off;
    EXPECT_EQ(AVdecGetChnTable()->Started(kChn), 1u);
    // Shown already: a second start does not show the channel again.
    MK_MPI_VO_HideChn(8, kVo);
    Cmd(70, kChn);
    EXPECT_FALSE(Vo().shown);
}

TEST_F(PlayTest, StartKeepsAHiddenChannelHidden) {
    SendPlayParams(1);
    MK_MPI_VO_HideChn(8, kVo);
    Cmd(70, kChn);
    EXPECT_FALSE(Vo().shown);
    EXPECT_EQ(Rec(REC_SHOWN), 1u);
}

TEST_F(PlayTest, PauseHidesUnlessTheStillPictureStays) {
    for (uint32_t still : {0u, 1u}) {
        Cmd(70, kChn);
        MK_MPI_VO_ResumeChn(8, kVo);
        MK_MPI_VO_ShowChn(8, kVo);
        EXPECT_FALSE(Cmd(74, kChn, still));
        EXPECT_TRUE(Vo().paused) << still;
        EXPECT_EQ(Vo().shown, still == 1) << still;
        EXPECT_EQ(Rec(REC_PAUSED), 1u);
        EXPECT_EQ(Rec(REC_BUSY), 0u);
        Cmd(72, kChn);
        EXPECT_FALSE(Vo().paused);
        EXPECT_TRUE(Vo().shown);
        EXPECT_EQ(Rec(REC_PAUSED), 0u);
    }
}

TEST_F(PlayTest, StopOnAPausedChannelResumesTheDisplayFirst) {
    Cmd(70, kChn);
    Cmd(74, kChn, 1);
    const unsigned long kResetGrp = MK_VPSS_REQ_NONE(4, void);
    m_vpss->ResetCounters();
    EXPECT_FALSE(Cmd(71, kChn));
    EXPECT_FALSE(Vo().paused);
    EXPECT_EQ(Rec(REC_PAUSED), 0u);
    EXPECT_EQ(Rec(REC_RUNNING), 0u);
    EXPECT_EQ(Rec(REC_SHOWN), 0u);
    EXPECT_EQ(Rec(REC_LIST_RESET), 1u);
    EXPECT_FALSE(drv::VdecDriver::Get()->Channel(kVdec).receiving);
    EXPECT_EQ(m_vpss->RequestCount(kResetGrp), 1);
    // Hidden on the device the playback block names, not on 8.
    EXPECT_FALSE(VoOn(kHideDev).shown);
    for (uint32_t i = 0; i < 8; ++i) EXPECT_EQ(Rec(REC_CLOCK + 4 * i), 0u);
}

TEST_F(PlayTest, StopWhoseResumeFailsReturnsTheErrorAndStaysPaused) {
    Cmd(70, kChn);
    Cmd(74, kChn, 1);
    m_vo->FailRequest(mk::vo::kResumeChn, static_cast<int>(0xA00F8012), 1);
    EXPECT_EQ(PlayStop(kChn), static_cast<int32_t>(0xA00F8012));
    EXPECT_EQ(Rec(REC_PAUSED), 1u);
    EXPECT_EQ(Rec(REC_BUSY), 0u);
}

TEST_F(PlayTest, FlushAndDirectionRestartTheDecoderAndEmptyTheList) {
    std::vector<uint8_t> ring(1 << 20, 0);
    AVdecSetRing(kChn, ring.data(), static_cast<uint32_t>(ring.size()));
    uint8_t head[16];
    uint32_t n = CapFrameWriteHeader(head, CAP_FRAME_P, 100, 0, 0, 0, 0, 0);
    for (uint32_t i = 0; i < 5; ++i) std::memcpy(&ring[i * 108], head, n);
    AVdecGetState()->SetRec(kChn, REC_RING_WRITE, 5 * 108);
    ASSERT_EQ(getframeinfo(kChn, 0), 0);
    ASSERT_NE(AVdecGetState()->HostOf(kChn).pHead, nullptr);
    Cmd(70, kChn);
    EXPECT_EQ(AVdecGetState()->HostOf(kChn).pHead, nullptr) << "start frees an old list";
    ASSERT_EQ(getframeinfo(kChn, 0), 0) << "the ring offsets were cleared with it";
    AVdecGetState()->SetRec(kChn, REC_RING_WRITE, 5 * 108);
    ASSERT_EQ(getframeinfo(kChn, 0), 0);
    ASSERT_NE(AVdecGetState()->HostOf(kChn).pHead, nullptr);
    m_vdec->ResetCounters();
    AVdecGetChnTable()->SetRec(kChn, REC_SPEED, 8);
    AVdecGetChnTable()->SetRec(kChn, REC_FRAME_CNT, 9);
    EXPECT_FALSE(Cmd(73, kChn));
    EXPECT_EQ(AVdecGetState()->HostOf(kChn).pHead, nullptr);
    EXPECT_EQ(AVdecGetState()->Rec(kChn, REC_RING_WRITE), 0u);
    EXPECT_EQ(Rec(REC_RESYNC), 1u);
    EXPECT_EQ(Rec(REC_FRAME_CNT), 0u) << "faster than normal";
    EXPECT_EQ(Vdec(mk::vdec::kResetChn), 1);
    EXPECT_EQ(Rec(REC_RECEIVING), 1u);

    // The saved position is the write offset less the oldest remembered frame, in the ring.
    struct Case {
        uint32_t size, write, oldest, saved;
    } cases[] = {{1000, 100, 900, 200}, {1000, 900, 100, 800}, {0, 100, 900, 0}};
    for (const Case& c : cases) {
        AVdecState* t = AVdecGetChnTable();
        t->SetRec(kChn, REC_RING_SIZE, c.size);
        t->SetRec(kChn, REC_RING_WRITE, c.write);
        t->SetRec(kChn, REC_LAST_OFF0, c.oldest);
        EXPECT_FALSE(Cmd(69, kChn, 1));
        EXPECT_EQ(Rec(REC_SAVED_POS), c.saved) << c.size << " " << c.write;
        EXPECT_EQ(Rec(REC_DIRECTION), 1u);
    }
    m_vdec->ResetCounters();
    EXPECT_EQ(PlaySetDirection(kChn, 2), -1);
    EXPECT_EQ(Rec(REC_DIRECTION), 1u);
    EXPECT_EQ(Vdec(mk::vdec::kResetChn), 0);
}

// 69 to 74 take only the decode channels 0 .. total - 1.
TEST_F(PlayTest, ChannelsOutsideTheDecodeChannelsAreRefused) {
    for (uint32_t chn : {4u, 48u, 0xFFFFFFFFu}) {
        EXPECT_EQ(PlaySetDirection(chn, 0), -1);
        EXPECT_EQ(PlayStart(chn), -1);
        EXPECT_EQ(PlayStop(chn), -1);
        EXPECT_EQ(PlayResume(chn), -1);
        EXPECT_EQ(PlayFlush(chn), -1);
        EXPECT_EQ(PlayPause(chn, 0), -1);
    }
    EXPECT_EQ(m_vo->RequestCount(mk::vo::kPauseChn), 0);
    // A channel whose record the master never sent: refused, decoder channel 0 is left alone.
    EXPECT_EQ(PlayStart(3), -1);
    EXPECT_EQ(Vdec(mk::vdec::kStopRecvStream), 0);
    EXPECT_EQ(Vdec(mk::vdec::kResetChn), 0);
    EXPECT_EQ(AVdecGetChnTable()->Rec(3, REC_RUNNING), 0u);
    AVdecGetChnTable()->SetRec(3, REC_CREATED, 1);
    EXPECT_EQ(PlayStart(3), 0);
}

// The commands free the frame list while the parser fills it: both take the record's mutex.
TEST_F(PlayTest, ListCommandsAndTheParserShareTheRecordSafely) {
    std::vector<uint8_t> ring(1 << 20, 0);
    AVdecSetRing(kChn, ring.data(), static_cast<uint32_t>(ring.size()));
    uint8_t head[16];
    uint32_t n = CapFrameWriteHeader(head, CAP_FRAME_P, 56, 0, 0, 0, 0, 0);
    for (uint32_t i = 0; i < 64; ++i) std::memcpy(&ring[i * 64], head, n);
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> scans{0};
    std::thread producer([&] {
        while (!stop.load()) {
            {
                // The producer's offsets change under the record's mutex, as the parser's do.
                AVdecState::Host& h = AVdecGetState()->HostOf(kChn);
                pthread_mutex_lock(&h.mutex);
                AVdecGetState()->SetRec(kChn, REC_RING_WRITE, 64 * 64);
                pthread_mutex_unlock(&h.mutex);
            }
            getframeinfo(kChn, 0);
            ++scans;
        }
    });
    for (int i = 0; i < 300; ++i) {
        switch (i % 3) {
            case 0: PlayFlush(kChn); break;
            case 1: PlayStop(kChn); break;
            default: PlaySetDirection(kChn, 0); break;
        }
    }
    // Two whole rounds of the producer after the last command: the last one starts after it.
    const uint64_t after = scans.load();
    while (scans.load() < after + 2) std::this_thread::yield();
    stop = true;
    producer.join();
    // Whatever the interleaving, the list ends as one parse of the ring makes it: each of the 64 frames
    // once, in ring order, linked both ways.
    {
        AVdecState::Host& h = AVdecGetState()->HostOf(kChn);
        pthread_mutex_lock(&h.mutex);
        std::vector<uint32_t> offsets;
        const VDEC_FRAMEINFO* prev = nullptr;
        for (const VDEC_FRAMEINFO* f = h.pHead; f != nullptr && offsets.size() <= 64; prev = f, f = f->pNext) {
            EXPECT_EQ(f->pPrev, prev);
            offsets.push_back(f->u32Offset);
        }
        EXPECT_EQ(h.pTail, prev);
        pthread_mutex_unlock(&h.mutex);
        std::vector<uint32_t> want;
        for (uint32_t i = 0; i < 64; ++i) want.push_back(i * 64);
        EXPECT_EQ(offsets, want);
    }
    AVdecFreeFrameList(kChn);
}

}  // namespace

namespace {

// Command 80: the channel's decoders go (a missing JPEG decoder counts as gone), then its created flag.
TEST_F(PlayTest, DestroyRemovesTheDecodersThenTheCreatedFlag) {
    AVdecState* s = AVdecGetState();
    VDEC_CHN_ATTR_S a = {96, 1 << 20, 5, 1920, 1080, 2, 1, 0};
    ASSERT_EQ(MK_MPI_VDEC_CreateChn(1, &a), 0);
    s->SetRec(1, REC_CREATED, 1);
    EXPECT_FALSE(Cmd(80, 1)) << "not answered";
    EXPECT_FALSE(drv::VdecDriver::Get()->Channel(1).created);
    EXPECT_EQ(s->Rec(1, REC_CREATED), 0u);
    // A decoder that refuses leaves the flag set.
    ASSERT_EQ(MK_MPI_VDEC_CreateChn(1, &a), 0);
    s->SetRec(1, REC_CREATED, 1);
    m_vdec->FailRequest(mk::vdec::kDestroyChn, static_cast<int>(0xA0058012), 1);
    EXPECT_EQ(PlayDestory(1), -1);
    EXPECT_EQ(s->Rec(1, REC_CREATED), 1u);
    EXPECT_EQ(PlayDestory(1), 0);
    // At or above this chip's decoder count only the flag is cleared.
    SLAVE_SYS_PARAM_S sp{};
    sp.u32PlayDecNum = 4;
    sp.u32DecNum = 2;
    SlaveStoreSysParam(&sp);
    ASSERT_EQ(MK_MPI_VDEC_CreateChn(3, &a), 0);
    s->SetRec(3, REC_CREATED, 1);
    EXPECT_EQ(PlayDestory(3), 0);
    EXPECT_EQ(s->Rec(3, REC_CREATED), 0u);
    EXPECT_TRUE(drv::VdecDriver::Get()->Channel(3).created);
    MK_MPI_VDEC_DestroyChn(3);
    EXPECT_EQ(PlayDestory(4), -1) << "outside the decode channels";
}

TEST_F(PlayTest, DigitalMarkAndStartedFlags) {
    AVdecState* s = AVdecGetState();
    EXPECT_EQ(PlaySetDecodeChn(3), -1) << "a playback channel";
    EXPECT_EQ(PlaySetDecodeChn(48), -1);
    EXPECT_EQ(PlaySetDecodeChn(4), 0);
    EXPECT_EQ(s->Rec(4, REC_DIGITAL), 1u);
    EXPECT_EQ(AVdecSetChnFlag(2), 0);
    EXPECT_EQ(s->Started(2), 0u) << "the display is not enabled";
    s->SetHead(AVDEC_HEAD_DISP_ON, 1);
    AVdecSetChnFlagCopy(2);
    EXPECT_EQ(s->Started(2), 1u);
    s->SetHead(AVDEC_HEAD_DISP_ON, 0);
    AVdecSetChnFlagAlways(47);
    EXPECT_EQ(s->Started(47), 1u);
    EXPECT_EQ(s->Word(1996), 0u) << "the last entry's flag lies before the display defaults";
}

// Command 55, sizes worked out by hand: 720P 1280x720 with a 1280*720*3/4 buffer; a digital D1
// channel under NTSC 720 wide, 576 lines for the decoder and 480 in the record, 720*576*3/4.
TEST_F(PlayTest, CreateSizesTheDecoderAndTheRecord) {
    struct Case {
        const char* what;
        uint32_t chnEnd, digital, encPool, vstd;
        int16_t analog720p, digitalD1;
        bool markDigital;
        uint32_t chn;
        bool decoder;  // a decoder is made
        int vdec, vo;
        uint32_t w, h, decH, buf, ref;
    } cases[] = {
        {"analog 720P", 8, 0, 0, 0, 1, 0, false, 1, true, 1, 1, 1280, 720, 720, 691200, 1},
        {"analog 720P, encoder pool flag", 8, 0, 1, 0, 1, 0, false, 1, true, 1, 1, 1280, 720, 720, 691200, 2},
        {"no chip channels", 0, 0, 0, 0, 1, 0, false, 3, true, 3, 3, 1280, 720, 720, 691200, 2},
        {"digital system, playback channel", 8, 2, 0, 1, 0, 2, false, 1, false, 1, 1, 720, 480, 576, 311040, 1},
        {"digital D1 NTSC", 8, 2, 0, 1, 0, 2, true, 5, true, 1, 9, 720, 480, 576, 311040, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        AVdecGetState()->Clear();
        SLAVE_SYS_PARAM_S sp{};
        sp.u32PlayDecNum = 4;
        sp.u32DigitalNum = c.digital;
        sp.u32DecNum = 8;
        sp.u32ChnEnd = c.chnEnd;
        sp.u32EncPoolFlag = c.encPool;
        sp.stHvrCap.as16Analog[HVR_CAP_720P] = c.analog720p;
        sp.stHvrCap.as16Digital[HVR_CAP_D1] = c.digitalD1;
        SlaveStoreSysParam(&sp);
        AVdecState* s = AVdecGetState();
        s->SetHead(AVDEC_HEAD_VSTD, c.vstd);
        if (c.markDigital) {
            ASSERT_EQ(PlaySetDecodeChn(c.chn), 0);
        }
        m_vdec->ResetCounters();
        EXPECT_FALSE(Cmd(55, c.chn)) << "not answered";
        EXPECT_EQ(Vdec(mk::vdec::kCreateChn), c.decoder ? 1 : 0);
        if (c.decoder) {
            drv::VdecChnView v = drv::VdecDriver::Get()->Channel(c.vdec);
            ASSERT_TRUE(v.created);
            const VDEC_CHN_ATTR_S want = {96, c.buf, 5, c.w, c.decH, c.ref, 1, 0};
            EXPECT_EQ(std::memcmp(&v.attr, &want, sizeof(want)), 0)
                << v.attr.u32PicWidth << "x" << v.attr.u32PicHeight << " buffer " << v.attr.u32BufSize << " ref "
                << v.attr.u32RefFrameNum;
        }
        struct Field {
            uint32_t off, want;
        } fields[] = {{REC_CREATED, 1},        {REC_PAYLOAD, 96},      {REC_VDEC_CHN, uint32_t(c.vdec)},
                      {REC_VO_CHN, uint32_t(c.vo)}, {REC_PIC_W, c.w},   {REC_PIC_H, c.h},
                      {REC_MAX_W, c.w},        {REC_MAX_H, c.h},       {REC_CUR_W, c.w},
                      {REC_CUR_H, c.h}};
        for (const Field& f : fields) EXPECT_EQ(s->Rec(c.chn, f.off), f.want) << "field " << f.off;
        EXPECT_EQ(AVdecSizeTable(c.vdec).u32MaxW.load(), c.w);
        EXPECT_EQ(AVdecSizeTable(c.vdec).u32MaxH.load(), c.decH);
        // A second 55 on the made channel makes nothing.
        Cmd(55, c.chn);
        EXPECT_EQ(Vdec(mk::vdec::kCreateChn), c.decoder ? 1 : 0);
        if (c.decoder) MK_MPI_VDEC_DestroyChn(c.vdec);
    }
    AVdecStopFeeding();
}

// 55 refuses a channel past the records and leaves a channel whose decoder refused uncreated; after 80
// it makes the decoder again.
TEST_F(PlayTest, CreateFailuresAndCreateAfterDestroy) {
    AVdecState* s = AVdecGetState();
    m_vdec->ResetCounters();
    EXPECT_EQ(VdecChCreate(48), -1);
    EXPECT_EQ(VdecChCreate(0xFFFFFFFF), -1);
    EXPECT_EQ(Vdec(mk::vdec::kCreateChn), 0);
    m_vdec->FailRequest(mk::vdec::kCreateChn, static_cast<int>(0xA0058004), 1);
    EXPECT_EQ(VdecChCreate(1), -1);
    EXPECT_EQ(s->Rec(1, REC_CREATED), 0u);
    EXPECT_EQ(VdecChCreate(1), 0);
    EXPECT_EQ(s->Rec(1, REC_CREATED), 1u);
    int32_t chns[4] = {-1, -1, -1, -1};
    EXPECT_EQ(CommHookVdecCreatedChns(chns, 4), 1) << "the set-up sees the decoder made";
    EXPECT_EQ(chns[0], 1);
    EXPECT_EQ(PlayDestory(1), 0);
    EXPECT_FALSE(drv::VdecDriver::Get()->Channel(1).created);
    EXPECT_EQ(CommHookVdecCreatedChns(chns, 4), 0);
    EXPECT_EQ(VdecChCreate(1), 0);
    EXPECT_TRUE(drv::VdecDriver::Get()->Channel(1).created);
    MK_MPI_VDEC_DestroyChn(1);
    AVdecStopFeeding();
}

// A second command 96 destroys the decoders: the module forgets them, so command 55 makes the decoder
// again and the playback record binds and shows it again (before, 55 found it made and did nothing).
TEST_F(PlayTest, AfterASecondSystemSetUpCommand55MakesTheDecoderAgain) {
    ASSERT_EQ(VdecChCreate(1), 0);
    Cmd(70, kChn);
    AVdecGetChnTable()->SetRec(kChn, REC_BOUND, 1);
    CommForgotten f;
    AVdecForgetMedia(&f);
    EXPECT_EQ(f.u32Decoders, 1u);
    drv::ResetMediaState();  // what the system's exit does to the drivers
    ASSERT_FALSE(drv::VdecDriver::Get()->Channel(1).created);
    EXPECT_EQ(VdecChCreate(1), 0);
    EXPECT_TRUE(drv::VdecDriver::Get()->Channel(1).created);
    for (uint32_t field : {REC_RUNNING, REC_BOUND, REC_SHOWN}) EXPECT_EQ(Rec(field), 0u) << field;
    MK_MPI_VDEC_DestroyChn(1);
    AVdecStopFeeding();
}

// A rectangle command as the master sends it: hide flag, the zoom and display rectangles when given.
bool RectCmd(uint32_t code, uint32_t chn, uint32_t hide, const uint16_t* zoom, const uint16_t* disp) {
    PCIV_MSG_S m = Msg(code, 32, chn, hide);
    m.au32Payload[2] = zoom != nullptr ? 0 : 1;
    m.au32Payload[3] = disp != nullptr ? 0 : 1;
    auto* bytes = reinterpret_cast<uint8_t*>(m.au32Payload);
    if (zoom != nullptr) std::memcpy(bytes + 16, zoom, 8);
    if (disp != nullptr) std::memcpy(bytes + 24, disp, 8);
    return PCIV_RunCmd(&m);
}

class PlayRectTest : public PlayTest {
protected:
    void SetUp() override {
        PlayTest::SetUp();
        // The master's rectangles are in 1920x1080, the display 1280x720.
        AVdecState* s = AVdecGetState();
        s->SetHead(AVDEC_HEAD_DISP_W, 1920);
        s->SetHead(AVDEC_HEAD_DISP_H, 1080);
        s->SetHead(AVDEC_HEAD_SCALE_W, 1280);
        s->SetHead(AVDEC_HEAD_SCALE_H, 720);
        AVdecGetChnTable()->SetStarted(kChn, 1);
        VO_CHN_ATTR_S a{};
        a.u32Priority = 3;
        a.stRect = {8, 8, 64, 64};
        MK_MPI_VO_SetChnAttr(8, kVo, &a);
        for (auto& d : {m_vdec, m_vo, m_vpss}) d->ResetCounters();
    }
    static RECT_S VoRect() {
        VO_CHN_ATTR_S a{};
        EXPECT_EQ(MK_MPI_VO_GetChnAttr(8, kVo, &a), 0);
        return a.stRect;
    }
    static RECT_S RecRect() {
        return {static_cast<MK_S32>(Rec(REC_RECT_X)), static_cast<MK_S32>(Rec(REC_RECT_Y)), Rec(REC_RECT_W),
                Rec(REC_RECT_H)};
    }
};

// Scaled by 1280/1920 and 720/1080 (worked by hand): x 101 -> 67.3 -> 66, width 600 -> 400, y 51 -> 34,
// height 303 -> 202; 65 rounds y and height down to a multiple of 4 (32, 200), 66 to even (34, 202).
TEST_F(PlayRectTest, DisplayRectanglesAreScaledAndRounded) {
    const uint16_t disp[4] = {101, 51, 701, 354};
    struct Case {
        uint32_t code;
        RECT_S want;
    } cases[] = {{65, {66, 32, 400, 200}}, {66, {66, 34, 400, 202}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_FALSE(RectCmd(c.code, kChn, 0, nullptr, disp)) << "not answered";
        RECT_S got = VoRect(), rec = RecRect();
        for (const RECT_S& r : {got, rec}) {
            EXPECT_EQ(r.s32X, c.want.s32X);
            EXPECT_EQ(r.s32Y, c.want.s32Y);
            EXPECT_EQ(r.u32Width, c.want.u32Width);
            EXPECT_EQ(r.u32Height, c.want.u32Height);
        }
    }
    EXPECT_EQ(Rec(REC_BOUND), 1u) << "the decoder is bound to its group";
    EXPECT_EQ(m_vpss->RequestCount(mk::vpss::kSetGrpCrop), 2);
    // left = right: no rectangle, in the record and on the display.
    const uint16_t flat[4] = {300, 51, 300, 354};
    RectCmd(65, kChn, 0, nullptr, flat);
    EXPECT_EQ(VoRect().u32Width, 0u);
    EXPECT_EQ(RecRect().s32X, 0);
    EXPECT_EQ(RecRect().u32Height, 0u);
}

TEST_F(PlayRectTest, HideFlagsOfTheTwoRectangleCommands) {
    const uint16_t disp[4] = {0, 0, 960, 540};
    MK_MPI_VO_ShowChn(8, kVo);
    RectCmd(65, kChn, 1, nullptr, disp);
    EXPECT_FALSE(Vo().shown) << "65 with hide 1 hides";
    EXPECT_EQ(Rec(REC_HIDE), 0u) << "65 does not store the flag";
    RectCmd(65, kChn, 0, nullptr, disp);
    EXPECT_TRUE(Vo().shown);
    RectCmd(66, kChn, 1, nullptr, disp);
    EXPECT_FALSE(Vo().shown);
    EXPECT_EQ(Rec(REC_HIDE), 1u);
    RectCmd(66, kChn, 0, nullptr, disp);
    EXPECT_FALSE(Vo().shown) << "66 shows only a channel the record calls shown";
    AVdecGetChnTable()->SetRec(kChn, REC_SHOWN, 1);
    RectCmd(66, kChn, 0, nullptr, disp);
    EXPECT_TRUE(Vo().shown);
}

// What the rectangle commands refuse or leave alone: a channel not started, a display size of 0
// (before the resolution command), channels outside the decode channels or without a group record.
TEST_F(PlayRectTest, RectangleCommandsThatChangeNothing) {
    const uint16_t disp[4] = {100, 100, 500, 500};
    RECT_S before = VoRect();
    AVdecGetChnTable()->SetStarted(kChn, 0);
    RectCmd(65, kChn, 1, nullptr, disp);
    RectCmd(66, kChn, 1, nullptr, disp);
    AVdecGetChnTable()->SetStarted(kChn, 1);
    AVdecGetState()->SetHead(AVDEC_HEAD_DISP_W, 0);
    RectCmd(65, kChn, 0, nullptr, disp);
    AVdecGetState()->SetHead(AVDEC_HEAD_DISP_W, 1920);
    AVdecGetChnTable()->SetStarted(4, 1);
    RectCmd(65, 4, 0, nullptr, disp);
    SLAVE_SYS_PARAM_S sp{};
    sp.u32PlayDecNum = 4;
    sp.u32DecNum = 8;
    sp.u32FirstDecChn = 3;
    SlaveStoreSysParam(&sp);
    RectCmd(66, kChn, 0, nullptr, disp);
    EXPECT_EQ(m_vo->RequestCount(mk::vo::kSetChnAttr), 0);
    EXPECT_EQ(m_vo->RequestCount(mk::vo::kHideChn), 0);
    EXPECT_EQ(Rec(REC_HIDE), 0u);
    EXPECT_EQ(VoRect().u32Width, before.u32Width);
    struct Refused {
        uint32_t code, chn;
    } refused[] = {{67, kChn}, {68, kChn}, {67, 4}, {68, 4}, {75, 4}};
    for (const Refused& r : refused) Cmd(r.code, r.chn, 1);
    EXPECT_EQ(HwPlayBackDisable(kChn, 0), -1);
    EXPECT_EQ(HwDigDecDisable(4), -1);
    EXPECT_EQ(PlaySetDecType(4, 1), -1) << "75 needs no group record, only a decode channel";
    EXPECT_EQ(Rec(REC_PAYLOAD), 0u);
    EXPECT_EQ(AVdecGetChnTable()->Started(kChn), 1u);
}

// The window commands take the processing group from the record of channel minus the first decoder
// channel: a master whose first decoder channel is above 0 keeps the groups that many records lower,
// and its channels at or above that number are served.
TEST_F(PlayRectTest, WindowCommandsServedWithTheGroupOfChannelMinusTheFirstDecoderChannel) {
    const uint16_t disp[4] = {0, 0, 960, 540};
    for (uint32_t first : {0u, 2u}) {
        SCOPED_TRACE("first decoder channel " + std::to_string(first));
        SLAVE_SYS_PARAM_S sp{};
        sp.u32PlayDecNum = 4;
        sp.u32DecNum = 8;
        sp.u32FirstDecChn = first;
        SlaveStoreSysParam(&sp);
        const MK_S32 grp = first == 0 ? static_cast<MK_S32>(kGrp) : 7;
        AVdecGetChnTable()->SetRec(kChn - first, REC_VPSS_GRP, static_cast<uint32_t>(grp));
        AVdecGetChnTable()->SetRec(kChn, REC_PAYLOAD, 96);
        AVdecGetChnTable()->SetRec(kChn, REC_CREATED, 1);
        AVdecGetChnTable()->SetRec(kChn, REC_BOUND, 0);
        AVdecGetChnTable()->SetStarted(kChn, 1);
        RectCmd(65, kChn, 0, nullptr, disp);
        const MPP_CHN_S vo{MK_ID_VOU, 8, kVo};
        MPP_CHN_S src{};
        ASSERT_EQ(MK_MPI_SYS_GetBindbyDest(&vo, &src), 0);
        EXPECT_EQ(src.s32DevId, grp) << "the display shows the group of the record";
        EXPECT_EQ(Rec(REC_BOUND), 1u);
        RectCmd(66, kChn, 1, nullptr, disp);
        EXPECT_EQ(Rec(REC_HIDE), 1u);
        Cmd(67, kChn, 0);
        EXPECT_NE(MK_MPI_SYS_GetBindbyDest(&vo, &src), 0) << "67 unbinds the display";
        EXPECT_EQ(Rec(REC_BOUND), 0u);
        EXPECT_EQ(AVdecGetChnTable()->Started(kChn), 0u);
        Cmd(75, kChn, 1);
        EXPECT_EQ(Rec(REC_PAYLOAD), 26u);
        Cmd(75, kChn, 0);
        AVdecGetChnTable()->SetStarted(kChn, 1);
        Cmd(68, kChn, 0);
        EXPECT_EQ(AVdecGetChnTable()->Started(kChn), 0u) << "68 served";
    }
}

// The zoom's crop, worked by hand for a 1280x720 picture and a 1024-wide framebuffer (minimum 128).
TEST(PlayZoomTest, CropOfTheZoomRectangle) {
    struct Case {
        const char* what;
        bool zoom;
        uint32_t z[4];
        bool disp;
        uint32_t d[4];
        SIZE_S size;
        RECT_S want;
    } cases[] = {
        {"zoom in a 400x300 display: 480 lines go to 576", true, {10, 20, 110, 220}, true, {0, 0, 400, 300},
         {1280, 720}, {32, 48, 320, 576}},
        {"no zoom: the whole picture", false, {10, 20, 110, 220}, true, {0, 0, 400, 300}, {1280, 720},
         {0, 0, 1280, 720}},
        {"a zoom value of 0: the whole picture", true, {0, 20, 110, 220}, true, {0, 0, 400, 300}, {1280, 720},
         {0, 0, 1280, 720}},
        {"flat display rectangle", true, {10, 20, 110, 220}, true, {5, 0, 5, 300}, {1280, 720}, {0, 0, 1280, 720}},
        {"no display rectangle", true, {10, 20, 110, 220}, false, {0, 0, 400, 300}, {1280, 720}, {0, 0, 1280, 720}},
        {"tiny zoom at the corner: minimum size, moved in", true, {390, 290, 399, 299}, true, {0, 0, 400, 300},
         {1280, 720}, {1152, 592, 128, 128}},
        {"reversed zoom: minimum size", true, {110, 220, 10, 20}, true, {0, 0, 400, 300}, {1280, 720},
         {352, 528, 128, 128}},
        {"240 lines go to 288", false, {0, 0, 0, 0}, false, {0, 0, 0, 0}, {352, 240}, {0, 0, 352, 288}},
        {"picture below the minimum", false, {0, 0, 0, 0}, false, {0, 0, 0, 0}, {100, 100}, {0, 0, 128, 128}},
    };
    for (const Case& c : cases) {
        VPSS_CROP_INFO_S crop = PlayZoomCrop(c.zoom, c.z[0], c.z[1], c.z[2], c.z[3], c.disp, c.d[0], c.d[1], c.d[2],
                                             c.d[3], c.size, 1024);
        EXPECT_EQ(crop.bEnable, 1u) << c.what;
        EXPECT_EQ(crop.enCropCoordinate, static_cast<MK_U32>(VPSS_CROP_ABS_COOR)) << c.what;
        EXPECT_EQ(crop.stCropRect.s32X, c.want.s32X) << c.what;
        EXPECT_EQ(crop.stCropRect.s32Y, c.want.s32Y) << c.what;
        EXPECT_EQ(crop.stCropRect.u32Width, c.want.u32Width) << c.what;
        EXPECT_EQ(crop.stCropRect.u32Height, c.want.u32Height) << c.what;
    }
}

// 67 and 68 unbind and hide a channel the master enabled, and clear its started flag; 75 switches the
// decoder field between the channel and its JPEG decoder and ignores other types.
TEST_F(PlayTest, DisablesAndDecodeType) {
    AVdecState* t = AVdecGetChnTable();
    struct Case {
        uint32_t code, mode, enabled, bound, paused;
        uint32_t wantBound, wantStarted;
        bool hidden;
    } cases[] = {
        {67, 0, 1, 1, 0, 0, 0, true},  // any mode but 1 unbinds
        {67, 1, 1, 1, 0, 1, 0, true},  // 1: unbound, then bound again
        {67, 1, 1, 0, 1, 0, 0, true},  // 1 and paused: nothing more
        {67, 0, 0, 1, 0, 1, 1, false}, // not enabled: nothing
        {68, 0, 1, 1, 0, 0, 0, true},
        {68, 0, 0, 1, 0, 1, 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.code) + " mode " + std::to_string(c.mode) + " enabled " +
                     std::to_string(c.enabled) + " paused " + std::to_string(c.paused));
        t->SetRec(kChn, REC_PAYLOAD, 96);
        t->SetRec(kChn, REC_CREATED, c.enabled);
        t->SetRec(kChn, REC_BOUND, c.bound);
        t->SetRec(kChn, REC_PAUSED, c.paused);
        t->SetStarted(kChn, 1);
        MK_MPI_VO_ShowChn(8, kVo);
        Cmd(c.code, kChn, c.mode);
        EXPECT_EQ(Rec(REC_BOUND), c.wantBound);
        EXPECT_EQ(t->Started(kChn), c.wantStarted);
        EXPECT_EQ(Vo().shown, !c.hidden);
    }
    t->SetRec(kChn, REC_CREATED, 1);
    Cmd(75, kChn, 1);
    EXPECT_EQ(Rec(REC_PAYLOAD), 26u);
    EXPECT_EQ(Rec(REC_VDEC_CHN), kChn + 16);
    EXPECT_EQ(Rec(REC_BOUND), 0u);
    Cmd(75, kChn, 2);
    EXPECT_EQ(Rec(REC_PAYLOAD), 26u) << "type 2 changes nothing";
    EXPECT_EQ(Rec(REC_VDEC_CHN), kChn + 16);
    Cmd(75, kChn, 0);
    EXPECT_EQ(Rec(REC_PAYLOAD), 96u);
    EXPECT_EQ(Rec(REC_VDEC_CHN), kChn);
}

// Record 3 the master never sent: its zeros name decoder 0, display channel 0 and group 0, another
// slot's. Each command on it is refused and touches none of them, also when the master's head bytes
// mark the channel started.
TEST_F(PlayRectTest, CommandsOnARecordTheMasterNeverSentTouchNoOtherSlot) {
    constexpr uint32_t kUnsent = 3;
    VDEC_CHN_ATTR_S a = {96, 1 << 20, 5, 1920, 1080, 2, 1, 0};
    ASSERT_EQ(MK_MPI_VDEC_CreateChn(0, &a), 0);
    ASSERT_EQ(MK_MPI_VDEC_StartRecvStream(0), 0);
    VO_CHN_ATTR_S vo{};
    vo.stRect = {0, 0, 64, 64};
    ASSERT_EQ(MK_MPI_VO_SetChnAttr(8, 0, &vo), 0);
    ASSERT_EQ(MK_MPI_VO_ShowChn(8, 0), 0);
    ASSERT_EQ(Comm_VdecBindVpss(0, 0), 0);
    AVdecGetChnTable()->SetStarted(kUnsent, 1);
    const uint16_t disp[4] = {0, 0, 960, 540};
    // The message commands 65 and 66 leave no return to look at.
    const struct {
        const char* what;
        std::function<int32_t()> run;
    } cmds[] = {
        {"65", [&] { return RectCmd(65, kUnsent, 1, nullptr, disp) ? 0 : -1; }},
        {"66", [&] { return RectCmd(66, kUnsent, 1, nullptr, disp) ? 0 : -1; }},
        {"69", [] { return PlaySetDirection(kUnsent, 1); }},
        {"71", [] { return PlayStop(kUnsent); }},
        {"72", [] { return PlayResume(kUnsent); }},
        {"73", [] { return PlayFlush(kUnsent); }},
        {"74", [] { return PlayPause(kUnsent, 0); }},
        {"75 type 1", [] { return PlaySetDecType(kUnsent, 1); }},
        {"75 type 0", [] { return PlaySetDecType(kUnsent, 0); }},
    };
    const MPP_CHN_S grp0{MK_ID_VPSS, 0, 0}, vo0{MK_ID_VOU, 8, 0};
    for (const auto& c : cmds) {
        SCOPED_TRACE(c.what);
        for (auto& d : {m_vdec, m_vo, m_vpss}) d->ResetCounters();
        EXPECT_EQ(c.run(), -1);
        EXPECT_TRUE(drv::VdecDriver::Get()->Channel(0).receiving);
        EXPECT_EQ(Vdec(mk::vdec::kStopRecvStream), 0);
        EXPECT_EQ(Vdec(mk::vdec::kResetChn), 0);
        const drv::VoDriver::ChnState v = static_cast<drv::VoDriver*>(m_vo.get())->Channel(8, 0);
        EXPECT_TRUE(v.shown);
        EXPECT_FALSE(v.paused);
        EXPECT_EQ(m_vo->RequestCount(mk::vo::kSetChnAttr), 0);
        EXPECT_EQ(m_vo->RequestCount(mk::vo::kResumeChn), 0);
        EXPECT_EQ(m_vo->RequestCount(mk::vo::kShowChn), 0);
        EXPECT_EQ(m_vpss->RequestCount(mk::vpss::kResetGrp), 0);
        MPP_CHN_S src{};
        EXPECT_EQ(MK_MPI_SYS_GetBindbyDest(&grp0, &src), 0) << "slot 0's decoder feeds its group";
        EXPECT_EQ(src.enModId, MK_ID_VDEC);
        EXPECT_NE(MK_MPI_SYS_GetBindbyDest(&vo0, &src), 0) << "nothing is bound to display channel 0";
        for (uint32_t f : {REC_HIDE, REC_PAYLOAD, REC_VDEC_CHN, REC_PAUSED, REC_BUSY, REC_BOUND, REC_DIRECTION}) {
            EXPECT_EQ(AVdecGetChnTable()->Rec(kUnsent, f), 0u) << "field " << f;
        }
    }
    Comm_VdecUnBindVpss(0, 0);
    MK_MPI_VDEC_DestroyChn(0);
}

// 75 unbinds the channel's decoder from the record's own group, also when the first decoder channel
// is above 0 and the record of channel minus it holds another group.
TEST_F(PlayTest, DecodeTypeUnbindsFromTheRecordsOwnGroup) {
    SLAVE_SYS_PARAM_S sp{};
    sp.u32PlayDecNum = 4;
    sp.u32DecNum = 8;
    sp.u32FirstDecChn = 2;
    SlaveStoreSysParam(&sp);
    AVdecState* t = AVdecGetChnTable();
    t->SetRec(kChn - 2, REC_VPSS_GRP, 9);
    const MPP_CHN_S grp{MK_ID_VPSS, static_cast<MK_S32>(kGrp), 0};
    MPP_CHN_S src{};
    for (uint32_t type : {0u, 1u}) {
        SCOPED_TRACE(type);
        const int vd = type == 0 ? static_cast<int>(kChn) : kVdec;  // 1 unbinds the JPEG field's decoder
        t->SetRec(kChn, REC_JPEG_CHN, kVdec);
        ASSERT_EQ(Comm_VdecBindVpss(vd, kGrp), 0);
        t->SetRec(kChn, REC_BOUND, 1);
        EXPECT_EQ(PlaySetDecType(kChn, type), 0);
        EXPECT_NE(MK_MPI_SYS_GetBindbyDest(&grp, &src), 0) << "still bound to group " << kGrp;
        EXPECT_EQ(Rec(REC_BOUND), 0u);
    }
}

// The twins act on the decode block: its record (display channel 9, group 11 here, unlike the
// playback record's 5 and 3), its started flag and display-enabled word, on the display device its
// head word 12 names; the playback block and device 8 stay as they were.
class PlayTwinTest : public PlayRectTest {
protected:
    static constexpr int kTwinVo = 9;
    static constexpr MK_S32 kTwinGrp = 11;
    void SetUp() override {
        PlayRectTest::SetUp();
        SLAVE_SYS_PARAM_S sp{};
        sp.u32PlayDecNum = 4;
        sp.u32DigitalNum = 2;  // channels 4 and 5 are digital
        sp.u32DecNum = 8;
        SlaveStoreSysParam(&sp);
        AVdecState* s = AVdecGetState();
        s->SetHead(AVDEC_HEAD_HIDE_DEV, kHideDev);
        s->SetHead(AVDEC_HEAD_DISP_ON, 1);
        for (uint32_t c : {kChn, 4u}) {
            s->SetRec(c, REC_CREATED, 1);
            s->SetRec(c, REC_PAYLOAD, AVDEC_PT_H264);
            s->SetRec(c, REC_VO_CHN, kTwinVo);
            s->SetRec(c, REC_VDEC_CHN, kVdec);
            s->SetRec(c, REC_VPSS_GRP, kTwinGrp);
            s->SetStarted(c, 1);
        }
        VO_CHN_ATTR_S a{};
        a.stRect = {8, 8, 64, 64};
        MK_MPI_VO_SetChnAttr(kHideDev, kTwinVo, &a);
        MK_MPI_VO_ShowChn(kHideDev, kTwinVo);
        for (auto& d : {m_vdec, m_vo, m_vpss}) d->ResetCounters();
    }
    static drv::VoDriver::ChnState TwinVo(int dev) {
        return static_cast<drv::VoDriver*>(Registry::Find("/dev/vo").get())->Channel(dev, kTwinVo);
    }
    static RECT_S TwinRect() {
        VO_CHN_ATTR_S a{};
        EXPECT_EQ(MK_MPI_VO_GetChnAttr(kHideDev, kTwinVo, &a), 0);
        return a.stRect;
    }
    // Group kTwinGrp feeds display channel kTwinVo of `dev`.
    static bool FedByTwinGroup(int dev) {
        const MPP_CHN_S vo{MK_ID_VOU, dev, kTwinVo};
        MPP_CHN_S src{};
        return MK_MPI_SYS_GetBindbyDest(&vo, &src) == 0 && src.enModId == MK_ID_VPSS && src.s32DevId == kTwinGrp;
    }
};

// The same rectangle as DisplayRectanglesAreScaledAndRounded: y and height to 4 for a recording, to
// even for a digital channel; PlaySetRect2 takes the rounding of the channel's kind.
TEST_F(PlayTwinTest, RectanglesGoToTheDecodeBlocksChannelOnItsDevice) {
    const PLAY_RECT_S disp{101, 51, 701, 354};
    const RECT_S playbackBefore = VoRect();
    struct Case {
        const char* what;
        std::function<int32_t()> run;
        uint32_t chn;
        RECT_S want;
        uint32_t wantHide;  // the digital form keeps the hide flag
    } cases[] = {
        {"recording", [&] { return PlaySetRecDecRect2(kChn, 0, nullptr, &disp); }, kChn, {66, 32, 400, 200}, 0},
        {"digital", [&] { return PlaySetDigDecRect2(kChn, 0, nullptr, &disp); }, kChn, {66, 34, 400, 202}, 0},
        {"by kind: recording", [&] { return PlaySetRect2(kChn, 0, nullptr, &disp); }, kChn, {66, 32, 400, 200}, 0},
        {"by kind: digital", [&] { return PlaySetRect2(4, 2, nullptr, &disp); }, 4, {66, 34, 400, 202}, 2},
    };
    AVdecState* s = AVdecGetState();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        s->SetRec(c.chn, REC_BOUND, 0);
        s->SetRec(c.chn, REC_SHOWN, 1);
        ASSERT_EQ(MK_MPI_VO_HideChn(kHideDev, kTwinVo), 0);
        EXPECT_EQ(c.run(), 0);
        const RECT_S got = TwinRect();
        EXPECT_EQ(got.s32X, c.want.s32X);
        EXPECT_EQ(got.s32Y, c.want.s32Y);
        EXPECT_EQ(got.u32Width, c.want.u32Width);
        EXPECT_EQ(got.u32Height, c.want.u32Height);
        EXPECT_EQ(s->Rec(c.chn, REC_RECT_H), c.want.u32Height);
        EXPECT_EQ(s->Rec(c.chn, REC_HIDE), c.wantHide);
        EXPECT_TRUE(TwinVo(kHideDev).shown);
        EXPECT_TRUE(FedByTwinGroup(kHideDev));
        EXPECT_FALSE(FedByTwinGroup(8));
        EXPECT_EQ(s->Rec(c.chn, REC_BOUND), 1u);
        const MPP_CHN_S grp{MK_ID_VPSS, kTwinGrp, 0};
        MPP_CHN_S src{};
        EXPECT_EQ(MK_MPI_SYS_GetBindbyDest(&grp, &src), 0) << "the decoder feeds the group";
        Comm_VdecUnBindVpss(kVdec, kTwinGrp);
    }
    EXPECT_EQ(VoRect().s32X, playbackBefore.s32X) << "the playback record's window";
    EXPECT_EQ(Rec(REC_BOUND), 0u);
    EXPECT_EQ(Rec(REC_RECT_W), 0u);
    // What the decode block does not allow: a channel it has not started (started in the playback
    // block is not enough), a record it never made, display off.
    s->SetStarted(kChn, 0);
    EXPECT_EQ(PlaySetRecDecRect2(kChn, 1, nullptr, &disp), 0);
    s->SetStarted(kChn, 1);
    s->SetRec(kChn, REC_CREATED, 0);
    EXPECT_EQ(PlaySetDigDecRect2(kChn, 1, nullptr, &disp), -1);
    s->SetRec(kChn, REC_CREATED, 1);
    s->SetHead(AVDEC_HEAD_DISP_ON, 0);
    AVdecGetChnTable()->SetHead(AVDEC_HEAD_DISP_ON, 1);
    m_vo->ResetCounters();
    EXPECT_EQ(PlaySetRecDecRect2(kChn, 0, nullptr, &disp), 0);
    EXPECT_EQ(m_vo->RequestCount(mk::vo::kGetChnAttr), 0) << "the decode block's display is off";
    EXPECT_TRUE(TwinVo(kHideDev).shown);
    EXPECT_EQ(s->Rec(kChn, REC_HIDE), 0u);
}

// The disables on the decode block unbind and hide its record's display channel on device 8 and clear
// its started flag; a record it never made is left alone.
TEST_F(PlayTwinTest, DisablesActOnTheDecodeBlock) {
    AVdecState* s = AVdecGetState();
    ASSERT_EQ(MK_MPI_VO_ShowChn(8, kVo), 0);
    const struct {
        const char* what;
        std::function<int32_t()> run;
    } cases[] = {
        {"playback, mode 0", [] { return HwPlayBackDisableSignel(kChn, 0); }},
        {"digital", [] { return HwDigDecDisableSignel(kChn); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (bool made : {false, true}) {
            s->SetRec(kChn, REC_CREATED, made ? 1 : 0);
            s->SetStarted(kChn, 1);
            ASSERT_EQ(Comm_VdecBindVpss(kVdec, kTwinGrp), 0);
            s->SetRec(kChn, REC_BOUND, 1);
            ASSERT_EQ(MK_MPI_VO_ShowChn(8, kTwinVo), 0);
            EXPECT_EQ(c.run(), 0);
            const MPP_CHN_S grp{MK_ID_VPSS, kTwinGrp, 0};
            MPP_CHN_S src{};
            EXPECT_EQ(MK_MPI_SYS_GetBindbyDest(&grp, &src) == 0, !made) << "made " << made;
            EXPECT_EQ(s->Rec(kChn, REC_BOUND), made ? 0u : 1u);
            EXPECT_EQ(s->Started(kChn), made ? 0u : 1u);
            EXPECT_EQ(TwinVo(8).shown, !made);
            if (!made) Comm_VdecUnBindVpss(kVdec, kTwinGrp);
        }
    }
    EXPECT_EQ(AVdecGetChnTable()->Started(kChn), 1u) << "the playback block's flag";
    EXPECT_EQ(Rec(REC_BOUND), 0u);
    EXPECT_TRUE(Vo().shown);
    EXPECT_EQ(HwPlayBackDisableSignel(6, 0), -1) << "outside the decode channels";
}

}  // namespace
