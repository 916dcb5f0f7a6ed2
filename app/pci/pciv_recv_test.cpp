#include "app/pci/pciv_recv.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/comm/comm_cfg.h"
#include "app/dec/avdec_state.h"
#include "app/pci/pciv_cmd.h"
#include "app/pci/pciv_proto.h"
#include "app/pci/pciv_slave.h"
#include "app/pci/pciv_test_master.h"
#include "app/pci/pciv_title_port.h"
#include "app/pci/pciv_trans.h"
#include "platform/drivers/all/install.h"
#include "platform/drivers/vdec/vdec_driver.h"
#include "platform/mcc/mcc_driver.h"
#include "platform/mem/ram.h"
#include "platform/mem/zone.h"
#include "sdk/vdec/mpi_vdec.h"

namespace {

namespace mem = varnelle::mem;
namespace drv = varnelle::drivers;
using varnelle::testing::FakeChip;
using varnelle::testing::FakeMaster;

constexpr int32_t kFull = static_cast<int32_t>(0xA005800F);
constexpr uint32_t kBufSize = 256 * 1024;

PCIV_MSG_S Cmd(uint32_t code, std::initializer_list<uint32_t> words) {
    PCIV_MSG_S m;
    std::memset(&m, 0, sizeof(m));
    m.stMsgHead.u32MsgType = code;
    uint32_t i = 0;
    for (uint32_t w : words) m.au32Payload[i++] = w;
    m.stMsgHead.u32MsgLen = 4 * i;
    return m;
}

// An IDR slice that the decoder counts as one picture, followed by `len - 5` pattern bytes.
std::vector<uint8_t> Payload(uint32_t len, uint8_t seed) {
    std::vector<uint8_t> d(len);
    for (uint32_t i = 0; i < len; ++i) d[i] = static_cast<uint8_t>(seed + i * 13);
    const uint8_t idr[5] = {0, 0, 1, 0x65, 0x88};
    std::memcpy(d.data(), idr, std::min<uint32_t>(5, len));
    return d;
}

class RecvTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_bus = new varnelle::testing::ScopedBus;
        s_masterRam = new mem::Ram(mem::RamPath(0), 0, mem::kMasterRamSize, true);
        drv::InstallAll();
        varnelle::mcc::InstallMccDriver();
        s_buf = mem::ZoneAllocator::Local().Allocate(kBufSize);
        ASSERT_NE(s_buf, 0u);
        drv::VdecDriver::Get()->EnableJournal(true);
    }
    static void TearDownTestSuite() {
        mem::ZoneAllocator::Local().Free(s_buf);
        delete s_masterRam;
        delete s_bus;
    }
    void SetUp() override {
        ASSERT_TRUE(m_master.ok());
        PCIV_ClearCmdHandlers();
        SlaveRegisterCmdHandlers();
        SlaveRegisterReceivers();
        PCIV_MSG_S map = Cmd(86, {});
        const std::vector<uint32_t> plan = varnelle::testing::MasterPortPlan();
        std::memcpy(map.au32Payload, plan.data(), 96);
        map.stMsgHead.u32MsgLen = 96;
        PCIV_RunCmd(&map);
        SLAVE_SYS_PARAM_S p{};
        p.u32FirstDecChn = 0;
        SlaveStoreSysParam(&p);
        PcivSetWindowBase(0x9f800000u);
        AVdecGetChnTable()->Clear();
        drv::VdecDriver::Get()->ClearJournal();
    }
    void TearDown() override {
        for (int i = 0; i < 8; ++i) SlaveStopReceiver(PcivGetChnTrans(i));
        SlaveStopReceiver(PcivGetOsdTrans());
        for (int c = 0; c < 4; ++c) MK_MPI_VDEC_DestroyChn(c);
        drv::VdecDriver::Get()->ClearFaults();
        SlaveSetRecvBufAllocator(nullptr, nullptr);
        SlaveSetOsdTitleHook(nullptr);
        SlaveClearHooks();
        SlaveResetSysCfg();
    }

    // A decoder channel that keeps what it is given (nothing is consumed).
    static void MakeDecoder(int chn, uint32_t bufSize = 1 << 20) {
        VDEC_CHN_ATTR_S a = {96, bufSize, 5, 1920, 1080, 2, 1, 0};
        ASSERT_EQ(MK_MPI_VDEC_CreateChn(chn, &a), 0);
        ASSERT_EQ(MK_MPI_VDEC_StartRecvStream(chn), 0);
        drv::VdecDriver::Get()->HoldDecoding(chn, true);
    }

    // Command 16 for decoder slot `slot` (channel = slot) over the shared buffer.
    static int32_t StartSlot(int slot) {
        PCIV_MSG_S m = Cmd(16, {0, 0, kBufSize, s_buf + 0x60800000u, 105 + 2u * slot, 106 + 2u * slot,
                                static_cast<uint32_t>(slot)});
        EXPECT_TRUE(PCIV_RunCmd(&m));
        return m.stMsgHead.s32Result;
    }
    static PcivVdecRecv* Ctx(int slot) {
        return static_cast<PcivVdecRecv*>(PcivGetChnTrans(slot)->pThreadData.load());
    }

    // Writes a fragment at `off` and returns its notice's end.
    static uint32_t PutFrag(uint32_t off, uint32_t chn, uint32_t last, const std::vector<uint8_t>& data,
                            uint64_t pts, uint32_t lenField = UINT32_MAX) {
        PCIV_VdecFragHead h{};
        h.u32Chn = chn;
        h.u32Last = last;
        h.u32Len = lenField == UINT32_MAX ? static_cast<uint32_t>(data.size()) : lenField;
        h.u64Pts = pts;
        h.bEndOfFrame = 1;
        EXPECT_TRUE(mem::Ram::Local().Write(s_buf + off, &h, sizeof(h)));
        if (!data.empty()) {
            EXPECT_TRUE(mem::Ram::Local().Write(s_buf + off + 72, data.data(), data.size()));
        }
        return off + 72 + static_cast<uint32_t>(data.size());
    }
    bool Notice(int slot, uint32_t start, uint32_t end, uint32_t seq, uint32_t type = PCIV_MSGTYPE_NOTIFY) {
        PCIV_TRANS_NOTICE_S n{start, end, seq};
        return m_master.SendMsg(105 + 2u * slot, type, &n, sizeof(n));
    }
    // The next acknowledgement of `slot`: {start, end, seq}, or all 0xFFFFFFFF after the time-out.
    PCIV_TRANS_NOTICE_S Ack(int slot, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        FakeChip::Record r;
        if (!m_master.Take(106 + 2u * slot, &r, limit)) return {~0u, ~0u, ~0u};
        EXPECT_EQ(r.msg.stMsgHead.u32MsgType, 19u);
        PCIV_TRANS_NOTICE_S a;
        std::memcpy(&a, r.msg.au32Payload, sizeof(a));
        return a;
    }
    static drv::VdecChnView View(int chn) { return drv::VdecDriver::Get()->Channel(chn); }

    static varnelle::testing::ScopedBus* s_bus;
    static mem::Ram* s_masterRam;
    static uint32_t s_buf;
    FakeMaster m_master;
};
varnelle::testing::ScopedBus* RecvTest::s_bus = nullptr;
mem::Ram* RecvTest::s_masterRam = nullptr;
uint32_t RecvTest::s_buf = 0;

TEST_F(RecvTest, FragmentsJoinIntoOneFrameAndEachIsAcknowledged) {
    MakeDecoder(1);
    ASSERT_EQ(StartSlot(1), 0);
    std::vector<uint8_t> parts[3] = {Payload(1000, 1), Payload(3000, 2), Payload(517, 3)};
    uint32_t off = 0;
    uint32_t starts[3], ends[3];
    for (uint32_t i = 0; i < 3; ++i) {
        starts[i] = off;
        ends[i] = PutFrag(off, 1, i == 2, parts[i], 100 + i);
        ASSERT_TRUE(Notice(1, starts[i], ends[i], i));
        off = (ends[i] + 3) & ~3u;
    }
    for (uint32_t i = 0; i < 3; ++i) {
        PCIV_TRANS_NOTICE_S a = Ack(1);
        EXPECT_EQ(a.u32Start, starts[i]);
        EXPECT_EQ(a.u32End, ends[i]);
        EXPECT_EQ(a.u32Seq, i);
    }
    drv::VdecChnView v = View(1);
    EXPECT_EQ(v.queuedPackets, 1u) << "one send for the three fragments";
    EXPECT_EQ(v.queuedBytes, 4517u);
    // At the decoder: the three data parts in order, with the last fragment's time stamp.
    std::vector<drv::VdecJournalPacket> p = drv::VdecDriver::Get()->JournalPackets(1);
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(p[0].u32Len, 4517u);
    EXPECT_EQ(p[0].u64Pts, 102u);
    std::vector<uint8_t> joined = parts[0];
    joined.insert(joined.end(), parts[1].begin(), parts[1].end());
    joined.insert(joined.end(), parts[2].begin(), parts[2].end());
    EXPECT_EQ(drv::VdecDriver::Get()->JournalBytes(1, 0, 4517), joined);
    EXPECT_EQ(Ctx(1)->u64Frames.load(), 1u);
    // A frame in one fragment, at an odd offset.
    uint32_t end = PutFrag(8191, 1, 1, Payload(99, 4), 7);
    ASSERT_TRUE(Notice(1, 8191, end, 3));
    PCIV_TRANS_NOTICE_S a = Ack(1);
    EXPECT_EQ(a.u32Start, 8191u);
    EXPECT_EQ(a.u32Seq, 3u);
    EXPECT_EQ(View(1).queuedPackets, 2u);
    EXPECT_EQ(View(1).queuedBytes, 4517u + 99);
    EXPECT_EQ(drv::VdecDriver::Get()->JournalBytes(1, 4517, 99), Payload(99, 4));
    EXPECT_EQ(drv::VdecDriver::Get()->JournalPackets(1)[1].u64Pts, 7u);
}

// While the playback record does not run, a refused frame is dropped at once and acknowledged.
TEST_F(RecvTest, RefusedFrameOfAStoppedChannelIsAcknowledgedAtOnce) {
    MakeDecoder(2);
    ASSERT_EQ(StartSlot(2), 0);
    auto& d = *drv::VdecDriver::Get();
    d.FailRequest(mk::vdec::kSendStream, kFull, 1000);
    int sends = d.RequestCount(mk::vdec::kSendStream);
    uint32_t end = PutFrag(0, 2, 1, Payload(500, 9), 1);
    ASSERT_TRUE(Notice(2, 0, end, 0));
    PCIV_TRANS_NOTICE_S a = Ack(2);
    EXPECT_EQ(a.u32End, end);
    EXPECT_EQ(d.RequestCount(mk::vdec::kSendStream) - sends, 1);
    EXPECT_EQ(Ctx(2)->u64Dropped.load(), 1u);
    EXPECT_EQ(View(2).queuedPackets, 0u);
}

// While it runs and the decoder is full, the frame is sent again every 10 ms and its acknowledgement
// waits; once taken (or once the channel stops running) it is acknowledged.
TEST_F(RecvTest, FullDecoderOfARunningChannelIsRetriedAndTheAcknowledgementWaits) {
    MakeDecoder(3);
    ASSERT_EQ(StartSlot(3), 0);
    AVdecGetChnTable()->SetRec(3, REC_RUNNING, 1);
    auto& d = *drv::VdecDriver::Get();
    d.FailRequest(mk::vdec::kSendStream, kFull, 4);
    uint32_t end = PutFrag(0, 3, 1, Payload(700, 5), 1);
    ASSERT_TRUE(Notice(3, 0, end, 0));
    EXPECT_EQ(Ack(3).u32End, end);
    EXPECT_EQ(Ctx(3)->u64Retries.load(), 4u);
    EXPECT_EQ(View(3).queuedPackets, 1u);
    // Refused for as long as it runs: no acknowledgement until the record stops running.
    d.FailRequest(mk::vdec::kSendStream, kFull, 1 << 30);
    ASSERT_TRUE(Notice(3, 0, end, 1));
    while (Ctx(3)->u64Retries.load() < 10) std::this_thread::yield();
    EXPECT_EQ(m_master.Count(112), 0u) << "acknowledged while still retrying";
    AVdecGetChnTable()->SetRec(3, REC_RUNNING, 0);
    EXPECT_EQ(Ack(3).u32Seq, 1u);
    EXPECT_EQ(Ctx(3)->u64Dropped.load(), 1u);
    // A repeated command 16 ends a retry at once.
    AVdecGetChnTable()->SetRec(3, REC_RUNNING, 1);
    ASSERT_TRUE(Notice(3, 0, end, 2));
    uint64_t seen = Ctx(3)->u64Retries.load();
    while (Ctx(3)->u64Retries.load() < seen + 3) std::this_thread::yield();
    EXPECT_EQ(StartSlot(3), 0);
    d.ClearFaults();
}

// A refusal that waiting cannot cure (a frame larger than the decoder's buffer) is not retried.
TEST_F(RecvTest, FrameTheDecoderCanNeverTakeIsDroppedAtOnce) {
    MakeDecoder(0, 4096);
    ASSERT_EQ(StartSlot(0), 0);
    AVdecGetChnTable()->SetRec(0, REC_RUNNING, 1);
    uint32_t end = PutFrag(0, 0, 1, Payload(5000, 1), 1);
    ASSERT_TRUE(Notice(0, 0, end, 0));
    EXPECT_EQ(Ack(0).u32End, end);
    EXPECT_EQ(Ctx(0)->u64Retries.load(), 0u);
    EXPECT_EQ(Ctx(0)->u64Dropped.load(), 1u);
    // The next frame that fits goes through.
    end = PutFrag(0, 0, 1, Payload(1000, 2), 2);
    ASSERT_TRUE(Notice(0, 0, end, 1));
    EXPECT_EQ(Ack(0).u32Seq, 1u);
    EXPECT_EQ(View(0).queuedPackets, 1u);
}

// Every kind of bad notice costs the frame it belongs to and nothing else; refused notices are
// acknowledged with the offsets they carried, other messages not at all.
TEST_F(RecvTest, BadNoticesCostOnlyTheirFrame) {
    MakeDecoder(1);
    ASSERT_EQ(StartSlot(1), 0);
    struct Frag {
        uint32_t start, end, chn, last, lenField, type;
        bool acked;
    };
    const uint32_t kData = 400;
    const uint32_t kGood = 72 + kData;
    struct Case {
        const char* what;
        std::vector<Frag> frags;  // 0xFFFFFFFF start: the next free offset
        uint32_t frames;          // frames that reach the decoder
    } cases[] = {
        {"end past the buffer", {{0, kBufSize + 10, 1, 1, kData, 18, true}}, 0},
        {"start past end", {{kGood, 0, 1, 1, kData, 18, true}}, 0},
        {"length past the notice", {{0, kGood, 1, 1, kData + 1, 18, true}}, 0},
        {"shorter than a header", {{0, 71, 1, 1, kData, 18, true}}, 0},
        {"channel without a record", {{0, kGood, 48, 1, kData, 18, true}}, 0},
        {"another type", {{0, kGood, 1, 1, kData, 19, false}}, 0},
        {"middle fragment beyond the buffer",
         {{0, kGood, 1, 0, kData, 18, true}, {kBufSize + 8, kBufSize + 100, 1, 0, kData, 18, true},
          {0, kGood, 1, 1, kData, 18, true}},
         0},
        {"first fragment refused, two follow",
         {{0, kGood, 48, 0, kData, 18, true}, {0, kGood, 1, 0, kData, 18, true}, {0, kGood, 1, 1, kData, 18, true}},
         0},
    };
    uint32_t seq = 0;
    uint32_t ackSeq = 0;
    uint32_t packets = 0;
    for (const Case& c : cases) {
        for (const Frag& f : c.frags) {
            if (f.start + 72 <= kBufSize) PutFrag(f.start, f.chn, f.last, Payload(kData, 3), 9, f.lenField);
            ASSERT_TRUE(Notice(1, f.start, f.end, seq++, f.type)) << c.what;
            if (!f.acked) continue;
            PCIV_TRANS_NOTICE_S a = Ack(1);
            EXPECT_EQ(a.u32Start, f.start) << c.what;
            EXPECT_EQ(a.u32End, f.end) << c.what;
            EXPECT_EQ(a.u32Seq, ackSeq++) << c.what;
        }
        // A good frame right after is decoded whole.
        uint32_t end = PutFrag(0, 1, 1, Payload(kData, 4), 10);
        ASSERT_TRUE(Notice(1, 0, end, seq++));
        EXPECT_EQ(Ack(1).u32Seq, ackSeq++) << c.what;
        packets += c.frames + 1;
        EXPECT_EQ(View(1).queuedPackets, packets) << c.what;
        EXPECT_EQ(View(1).queuedBytes, packets * kData) << c.what;
    }
    EXPECT_EQ(m_master.Count(106 + 2), 0u) << "no acknowledgement left over";
}

// Fragments that would outgrow the 2 MiB frame buffer drop their frame; the next frame is whole.
TEST_F(RecvTest, FrameLargerThanTheFrameBufferIsDropped) {
    MakeDecoder(2, 4 << 20);
    ASSERT_EQ(StartSlot(2), 0);
    std::vector<uint8_t> big = Payload(200 * 1024, 1);
    uint32_t end = PutFrag(0, 2, 0, big, 1);
    uint32_t seq = 0;
    // Eleven fragments of 200 KiB pass 2 MiB at the eleventh; its last fragment comes after.
    for (int i = 0; i < 11; ++i) ASSERT_TRUE(Notice(2, 0, end, seq++));
    uint32_t lastEnd = PutFrag(end, 2, 1, Payload(10, 2), 1);
    ASSERT_TRUE(Notice(2, end, lastEnd, seq++));
    for (uint32_t i = 0; i < seq; ++i) EXPECT_EQ(Ack(2).u32Seq, i);
    EXPECT_EQ(View(2).queuedPackets, 0u);
    EXPECT_EQ(Ctx(2)->u64Refused.load(), 1u);
    EXPECT_EQ(Ctx(2)->u64Dropped.load(), 1u);
    // Ten fragments of 200 KiB and a last one: exactly what fits.
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(Notice(2, 0, end, seq++));
    ASSERT_TRUE(Notice(2, end, lastEnd, seq++));
    for (uint32_t i = 0; i < 11; ++i) Ack(2);
    EXPECT_EQ(View(2).queuedPackets, 1u);
    EXPECT_EQ(View(2).queuedBytes, 10u * 200 * 1024 + 10);
}

// A fragment without data is acknowledged; as a last fragment it drops what was joined.
TEST_F(RecvTest, EmptyFragmentsAreAcknowledged) {
    MakeDecoder(1);
    ASSERT_EQ(StartSlot(1), 0);
    uint32_t e1 = PutFrag(0, 1, 0, Payload(300, 1), 1);
    uint32_t e2 = PutFrag(1024, 1, 0, {}, 1);
    uint32_t e3 = PutFrag(2048, 1, 1, {}, 1);
    ASSERT_TRUE(Notice(1, 0, e1, 0));
    ASSERT_TRUE(Notice(1, 1024, e2, 1));
    ASSERT_TRUE(Notice(1, 2048, e3, 2));
    for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(Ack(1).u32Seq, i);
    EXPECT_EQ(View(1).queuedPackets, 0u);
    EXPECT_EQ(Ctx(1)->u64Dropped.load(), 1u);
}

void* FailAlloc(size_t) {
    return nullptr;
}

TEST_F(RecvTest, CommandSixteenWithoutAFrameBufferAnswersMinusOne) {
    SlaveSetRecvBufAllocator(FailAlloc, nullptr);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(StartSlot(4), -1);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("frame buffer of 2097152 bytes cannot be had"), std::string::npos) << out;
    EXPECT_EQ(PcivGetChnTrans(4)->s32Running.load(), 0);
    EXPECT_EQ(PcivGetChnTrans(4)->pTrans.load(), nullptr);
    SlaveSetRecvBufAllocator(nullptr, nullptr);
    EXPECT_EQ(StartSlot(4), 0);
    EXPECT_NE(Ctx(4), nullptr);
}

// Two slots at once, their fragments interleaved: each slot's frames reach its own channel.
TEST_F(RecvTest, TwoSlotsReceiveAtOnce) {
    MakeDecoder(0);
    MakeDecoder(1);
    ASSERT_EQ(StartSlot(0), 0);
    ASSERT_EQ(StartSlot(1), 0);
    // Slot 0 uses the lower half of the buffer, slot 1 the upper (both map the same block).
    constexpr uint32_t kFrames = 50;
    uint32_t half = kBufSize / 2;
    for (uint32_t i = 0; i < kFrames; ++i) {
        uint32_t a = PutFrag(0, 0, 1, Payload(100 + i, 1), i);
        uint32_t b = PutFrag(half, 1, 0, Payload(200, 2), i);
        uint32_t c = PutFrag(half + 1024, 1, 1, Payload(300, 3), i);
        ASSERT_TRUE(Notice(0, 0, a, i));
        ASSERT_TRUE(Notice(1, half, b, 2 * i));
        ASSERT_TRUE(Notice(1, half + 1024, c, 2 * i + 1));
        EXPECT_EQ(Ack(0).u32Seq, i);
        EXPECT_EQ(Ack(1).u32Seq, 2 * i);
        EXPECT_EQ(Ack(1).u32Seq, 2 * i + 1);
    }
    EXPECT_EQ(View(0).queuedPackets, kFrames);
    EXPECT_EQ(View(1).queuedPackets, kFrames);
    EXPECT_EQ(View(1).queuedBytes, kFrames * 500);
    std::vector<drv::VdecJournalPacket> p0 = drv::VdecDriver::Get()->JournalPackets(0);
    ASSERT_EQ(p0.size(), kFrames);
    for (uint32_t i = 0; i < kFrames; ++i) {
        EXPECT_EQ(p0[i].u64Pts, i);
        EXPECT_EQ(drv::VdecDriver::Get()->JournalBytes(0, p0[i].u64Offset, p0[i].u32Len), Payload(100 + i, 1)) << i;
    }
}

// ---- OSD records ----

struct TitleCall {
    uint32_t chn, stream, index, show, x, y, w, h, bg;
    std::vector<uint8_t> pixels;
};
std::mutex g_titleMutex;
std::vector<TitleCall> g_titles;

int32_t RecordTitle(uint32_t chn, uint32_t stream, const OSD_TITLE_S* t) {
    TitleCall c{chn, stream, t->u32Index, t->u32Show, t->u16X, t->u16Y, t->u16Width, t->u16Height, t->u32BgColor, {}};
    c.pixels.assign(t->pu8Bitmap, t->pu8Bitmap + 2u * t->u16Width * t->u16Height);
    std::lock_guard<std::mutex> lock(g_titleMutex);
    g_titles.push_back(std::move(c));
    return 0;
}

class OsdRecvTest : public RecvTest {
protected:
    static uint32_t PutRecord(uint32_t off, uint32_t chn, uint16_t w, uint16_t h, uint8_t seed) {
        PCIV_OSD_REC_S r{};
        r.u32Chn = chn;
        r.u32Stream = chn % 2;
        r.u32Index = 2;
        r.u32Show = 1;
        r.u16X = 100;
        r.u16Y = 40;
        r.u16Width = w;
        r.u16Height = h;
        r.u32BgColor = 0x80000000u;
        r.u32Bitmap = 0xDEADBEEF;  // the master's own pointer word
        mem::Ram::Local().Write(s_buf + off, &r, sizeof(r));
        std::vector<uint8_t> px(2u * w * h);
        for (size_t i = 0; i < px.size(); ++i) px[i] = static_cast<uint8_t>(seed + i);
        mem::Ram::Local().Write(s_buf + off + 40, px.data(), px.size());
        return off + 40 + static_cast<uint32_t>(px.size());
    }
    int32_t StartOsd() {
        PCIV_MSG_S m = Cmd(58, {0, 0, kBufSize, s_buf + 0x60800000u, 123, 124});
        PCIV_RunCmd(&m);
        return m.stMsgHead.s32Result;
    }
    PCIV_TRANS_NOTICE_S OsdAck() {
        FakeChip::Record r;
        if (!m_master.Take(124, &r)) return {~0u, ~0u, ~0u};
        PCIV_TRANS_NOTICE_S a;
        std::memcpy(&a, r.msg.au32Payload, sizeof(a));
        return a;
    }
    void SetUp() override {
        RecvTest::SetUp();
        std::lock_guard<std::mutex> lock(g_titleMutex);
        g_titles.clear();
    }
    void TearDown() override {
        RecvTest::TearDown();
        PCIV_TitlePortStop();
    }
};

// Records and title messages interleaved on the title port: every record reaches the title module
// with its pixels in place, every title message the title thread, and the master's pointer word stays.
TEST_F(OsdRecvTest, RecordsAndTitlesShareTheTitlePort) {
    SlaveSetOsdTitleHook(RecordTitle);
    ASSERT_EQ(StartOsd(), 0);
    constexpr uint32_t kRecords = 20;
    char name[32] = "Font";
    uint32_t offs[kRecords];
    uint32_t off = 0;
    for (uint32_t i = 0; i < kRecords; ++i) {
        offs[i] = off;
        uint32_t end = PutRecord(off, i % 4, static_cast<uint16_t>(8 + i), 3, static_cast<uint8_t>(i));
        PCIV_TRANS_NOTICE_S n{off, end, i};
        ASSERT_TRUE(m_master.SendMsg(123, PCIV_MSGTYPE_NOTIFY, &n, sizeof(n)));
        ASSERT_TRUE(m_master.SendMsg(123, i % 2, name, sizeof(name)));
        off = end + 1;  // odd offsets too: the pixels need not be aligned
    }
    for (uint32_t i = 0; i < kRecords; ++i) {
        PCIV_MSG_S title;
        ASSERT_EQ(HwPCIV_ReadMessageTimeout(&title, 10000, nullptr), 0) << i;
        EXPECT_EQ(title.stMsgHead.u32MsgType, i % 2);
        EXPECT_EQ(OsdAck().u32Seq, i);
    }
    std::lock_guard<std::mutex> lock(g_titleMutex);
    ASSERT_EQ(g_titles.size(), kRecords);
    for (uint32_t i = 0; i < kRecords; ++i) {
        const TitleCall& t = g_titles[i];
        EXPECT_EQ(t.chn, i % 4);
        EXPECT_EQ(t.stream, i % 4 % 2);
        EXPECT_EQ(t.index, 2u);
        EXPECT_EQ(t.show, 1u);
        EXPECT_EQ(t.x, 100u);
        EXPECT_EQ(t.w, 8u + i);
        EXPECT_EQ(t.bg, 0x80000000u);
        ASSERT_EQ(t.pixels.size(), 2u * (8 + i) * 3);
        for (size_t k = 0; k < t.pixels.size(); ++k) ASSERT_EQ(t.pixels[k], static_cast<uint8_t>(i + k)) << i;
        uint32_t word = 0;
        mem::Ram::Local().Read(s_buf + offs[i] + 36, &word, 4);
        EXPECT_EQ(word, 0xDEADBEEFu) << "bytes 36..39 as the master wrote them";
    }
}

TEST_F(OsdRecvTest, BadRecordsAreDroppedAndAcknowledged) {
    SlaveSetOsdTitleHook(RecordTitle);
    ASSERT_EQ(StartOsd(), 0);
    struct Case {
        const char* what;
        uint16_t w, h;
        int32_t endDelta;  // against the record's true end
    } cases[] = {
        {"no width", 0, 4, 0},
        {"no height", 4, 0, 0},
        {"pixels past the notice", 4, 4, -1},
        {"shorter than a record", 4, 4, -(40 + 32) + 39},
        {"the largest record", 0xFFFF, 0xFFFF, 0},
    };
    uint32_t seq = 0;
    for (const Case& c : cases) {
        uint32_t end = c.w == 0xFFFF ? kBufSize : PutRecord(0, 1, c.w, c.h, 0);
        if (c.w == 0xFFFF) {
            PCIV_OSD_REC_S r{};
            r.u16Width = r.u16Height = 0xFFFF;
            mem::Ram::Local().Write(s_buf, &r, sizeof(r));
        }
        end = static_cast<uint32_t>(static_cast<int32_t>(end) + c.endDelta);
        PCIV_TRANS_NOTICE_S n{0, end, seq};
        ASSERT_TRUE(m_master.SendMsg(123, PCIV_MSGTYPE_NOTIFY, &n, sizeof(n)));
        PCIV_TRANS_NOTICE_S a = OsdAck();
        EXPECT_EQ(a.u32End, end) << c.what;
        EXPECT_EQ(a.u32Seq, seq++) << c.what;
    }
    PCIV_TRANS_NOTICE_S outside{kBufSize - 8, kBufSize + 8, seq};
    ASSERT_TRUE(m_master.SendMsg(123, PCIV_MSGTYPE_NOTIFY, &outside, sizeof(outside)));
    EXPECT_EQ(OsdAck().u32End, kBufSize + 8);
    std::lock_guard<std::mutex> lock(g_titleMutex);
    EXPECT_TRUE(g_titles.empty());
}

TEST_F(OsdRecvTest, RecordsWithoutATitleModuleAreAcknowledged) {
    ASSERT_EQ(StartOsd(), 0);
    ::testing::internal::CaptureStdout();
    for (uint32_t i = 0; i < 3; ++i) {
        uint32_t end = PutRecord(0, 0, 4, 4, 0);
        PCIV_TRANS_NOTICE_S n{0, end, i};
        ASSERT_TRUE(m_master.SendMsg(123, PCIV_MSGTYPE_NOTIFY, &n, sizeof(n)));
        EXPECT_EQ(OsdAck().u32Seq, i);
    }
    std::string out = ::testing::internal::GetCapturedStdout();
    size_t first = out.find("CaptureSetTitleV2 is not available");
    EXPECT_NE(first, std::string::npos);
    EXPECT_EQ(out.find("CaptureSetTitleV2 is not available", first + 1), std::string::npos) << "said once";
}

}  // namespace
