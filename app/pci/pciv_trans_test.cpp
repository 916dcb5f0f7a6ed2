#include <sched.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/pci/pciv_msg.h"
#include "app/pci/pciv_test_master.h"
#include "app/pci/pciv_trans.h"
#include "platform/dev/driver.h"
#include "platform/drivers/all/install.h"
#include "platform/drivers/core/frame_testing.h"
#include "platform/mcc/mcc_driver.h"
#include "platform/mem/ram.h"
#include "platform/mem/zone.h"
#include "sdk/pciv/mpi_pciv.h"
#include "sdk/vb/mpi_vb.h"

namespace {

using varnelle::testing::FakeMaster;
namespace mem = varnelle::mem;

TEST(TransRingTest, OffsetsAtTheEdges) {
    struct Case {
        uint32_t size, read, write, len;
        int want;
        uint32_t off;
    } cases[] = {
        {1000, 0, 0, 500, 0, 0},       {1000, 0, 0, 501, -1, 0},      // at most half the ring
        {1000, 300, 900, 100, 0, 900}, {1000, 300, 900, 150, 0, 0},   // fits after W; wraps below R
        {1000, 300, 900, 300, -1, 0},                                 // neither after W nor below R
        {1000, 600, 200, 399, 0, 200}, {1000, 600, 200, 400, -1, 0},  // R > W leaves a gap
        {1000, 0, 900, 100, 0, 900},   {1000, 0, 1000, 1, -1, 0},     // R = 0: no wrap possible
        {1000, 1000, 1000, 10, 0, 0},                                 // all taken: wrap to the start
        {1000, 500, 500, 499, 0, 500}, {1000, 500, 600, 450, 0, 0},  {1000, 500, 600, 500, -1, 0},
        {1001, 0, 0, 500, 0, 0},       {1001, 0, 0, 501, -1, 0},     {0x80000000u, 0, 0, 0x40000001u, -1, 0},
    };
    for (const Case& c : cases) {
        uint32_t off = 12345;
        ::testing::internal::CaptureStdout();
        int ret = Trans_RingOffset(c.size, c.read, c.write, c.len, &off);
        std::string line = ::testing::internal::GetCapturedStdout();
        if (c.len > c.size / 2) {
            EXPECT_NE(line.find("==>Trans_GetWriteOffset(" ), std::string::npos) << line;
            EXPECT_NE(line.find("#### ReadPos is"), std::string::npos) << line;
        }
        EXPECT_EQ(ret, c.want) << c.size << " R=" << c.read << " W=" << c.write << " len=" << c.len;
        if (ret == 0) {
            EXPECT_EQ(off, c.off) << c.size << " R=" << c.read << " W=" << c.write << " len=" << c.len;
        }
    }
}

TEST(TransAckTest, OnlyWholeAcknowledgementsInsideTheRing) {
    struct Case {
        uint32_t type, len, start, end;
        bool want;
    } cases[] = {
        {19, 12, 0, 100, true},   {19, 12, 900, 1000, true}, {19, 12, 0, 0, true},
        {18, 12, 0, 100, false},  {54, 12, 0, 100, false},   {19, 8, 0, 100, false},
        {19, 12, 0, 1001, false}, {19, 12, 200, 100, false}, {19, 12, 0xFFFFFFFFu, 0xFFFFFFFFu, false},
    };
    for (const Case& c : cases) {
        PCIV_MSG_S m{};
        m.stMsgHead.u32MsgType = c.type;
        m.stMsgHead.u32MsgLen = c.len;
        m.au32Payload[0] = c.start;
        m.au32Payload[1] = c.end;
        EXPECT_EQ(Trans_AckValid(&m, 1000), c.want)
            << c.type << " " << c.len << " " << c.start << "-" << c.end;
    }
}

// A ring of 1000 bytes and the notices the sender holds, oldest first: an acknowledgement moves the
// read position only when it starts at the oldest and ends where one of them ends, freeing every
// notice up to that one; anything else (one out of order, one ending inside a notice, a replaced
// reader's range) moves nothing and is counted.
TEST(TransAckTest, OnlyAnAnswerToTheNoticesHeldFromTheOldestMovesTheReadPosition) {
    using Held = PCIV_TRANS_SENDER_S::Held;
    const std::vector<Held> three = {{0, 200}, {200, 400}, {400, 600}};
    const std::vector<Held> wrapped = {{700, 950}, {0, 200}};  // the tail after 950 abandoned
    struct Case {
        const std::vector<Held>* held;
        uint32_t start, end;
        bool taken;
        size_t left;
    } cases[] = {
        {&three, 0, 200, true, 2},     {&three, 0, 400, true, 1},     {&three, 0, 600, true, 0},
        {&three, 200, 400, false, 3},  // the second before the first
        {&three, 100, 400, false, 3},  // from inside the first to the end of the second
        {&three, 0, 300, false, 3},    {&three, 0, 664, false, 3},    {&three, 600, 700, false, 3},
        {&three, 0, 0, false, 3},      {&three, 400, 600, false, 3},
        {&wrapped, 700, 950, true, 1}, {&wrapped, 700, 200, false, 2}, {&wrapped, 0, 200, false, 2},
        {&wrapped, 950, 1000, false, 2}, {&wrapped, 700, 800, false, 2},
    };
    ::testing::internal::CaptureStdout();
    for (const Case& c : cases) {
        PCIV_TRANS_SENDER_S s;
        s.u32RemoteSize = 1000;
        s.u32ReadPos = c.held->front().u32Start;
        s.u32WritePos = c.held->back().u32End;
        s.held.assign(c.held->begin(), c.held->end());
        PCIV_MSG_S m{};
        m.stMsgHead.u32MsgType = 19;
        m.stMsgHead.u32MsgLen = 12;
        m.au32Payload[0] = c.start;
        m.au32Payload[1] = c.end;
        EXPECT_EQ(PCIV_Trans_TakeAck(&s, &m) == 0, c.taken) << c.start << "-" << c.end;
        EXPECT_EQ(s.u32ReadPos.load(), c.taken ? c.end : c.held->front().u32Start) << c.start << "-" << c.end;
        EXPECT_EQ(s.held.size(), c.left) << c.start << "-" << c.end;
        EXPECT_EQ(s.u64AckRefused.load(), c.taken ? 0u : 1u) << c.start << "-" << c.end;
    }
    ::testing::internal::GetCapturedStdout();
    // Nothing held: nothing to acknowledge.
    PCIV_TRANS_SENDER_S s;
    s.u32RemoteSize = 1000;
    PCIV_MSG_S m{};
    m.stMsgHead.u32MsgType = 19;
    m.stMsgHead.u32MsgLen = 12;
    m.au32Payload[1] = 100;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(PCIV_Trans_TakeAck(&s, &m), -1);
    ::testing::internal::GetCapturedStdout();
}

constexpr uint32_t kRingPhys = 0x40100000;
constexpr uint32_t kNoticePort = 101;
constexpr uint32_t kAckPort = 102;

class TransTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_bus = new varnelle::testing::ScopedBus;
        // The master's RAM file, which the DMA writes into.
        s_masterRam = new mem::Ram(mem::RamPath(0), 0, mem::kMasterRamSize, true);
        varnelle::drivers::InstallAll();
        varnelle::mcc::InstallMccDriver();
        VB_CONF_S conf{};
        conf.u32MaxPoolCnt = 16;
        conf.astCommPool[0].u32BlkSize = 256 * 1024;
        conf.astCommPool[0].u32BlkCnt = 4;
        ASSERT_EQ(MK_MPI_VB_SetConf(&conf), 0);
        ASSERT_EQ(MK_MPI_VB_Init(), 0);
        ASSERT_EQ(PCIV_OpenMsgPort(0, kNoticePort), 0);
        ASSERT_EQ(PCIV_OpenMsgPort(0, kAckPort), 0);
    }
    static void TearDownTestSuite() {
        PCIV_CloseMsgPort(0, kNoticePort);
        PCIV_CloseMsgPort(0, kAckPort);
        MK_MPI_VB_Exit();
        delete s_masterRam;
        delete s_bus;
    }
    void TearDown() override { varnelle::dev::Registry::Find("/dev/pciv")->ClearFaults(); }

    static PCIV_TRANS_PARAM_S SenderParam(uint32_t size) {
        return PCIV_TRANS_PARAM_S{0, 0, size, kRingPhys, kNoticePort, kAckPort};
    }

    static void WaitFor(const std::function<bool()>& pred) {
        while (!pred()) sched_yield();
    }

    static varnelle::testing::ScopedBus* s_bus;
    static mem::Ram* s_masterRam;
};
varnelle::testing::ScopedBus* TransTest::s_bus = nullptr;
mem::Ram* TransTest::s_masterRam = nullptr;

uint8_t Pattern(uint64_t i) {
    return static_cast<uint8_t>((i * 131) ^ (i >> 7));
}

TEST_F(TransTest, SenderWrapsTheRingSeveralTimesWithNothingLost) {
    FakeMaster master;
    ASSERT_TRUE(master.ok());
    constexpr uint32_t kRing = 16 * 1024;
    PCIV_TRANS_PARAM_S param = SenderParam(kRing);
    PCIV_TRANS_SENDER_S* s = nullptr;
    ASSERT_EQ(PCIV_Trans_InitSender(&param, &s), 0);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->u32LocSize, kRing);

    constexpr uint64_t kTotal = 10 * kRing;  // ten times round the ring
    std::vector<uint8_t> received;
    std::thread playMaster([&] {
        uint32_t seq = 0;
        while (received.size() < kTotal) {
            FakeMaster::Record r;
            ASSERT_TRUE(master.Take(kNoticePort, &r));
            ASSERT_EQ(r.msg.stMsgHead.u32MsgType, 18u);
            ASSERT_EQ(r.msg.stMsgHead.u32MsgLen, 12u);
            const auto* n = reinterpret_cast<const PCIV_TRANS_NOTICE_S*>(r.msg.au32Payload);
            ASSERT_EQ(n->u32Seq, seq) << "notices count from 0";
            ASSERT_LE(n->u32End, kRing);
            ASSERT_LT(n->u32Start, n->u32End);
            std::vector<uint8_t> piece(n->u32End - n->u32Start);
            ASSERT_TRUE(s_masterRam->Read(kRingPhys + n->u32Start, piece.data(), piece.size()));
            received.insert(received.end(), piece.begin(), piece.end());
            PCIV_TRANS_NOTICE_S ack = {n->u32Start, n->u32End, seq++};
            ASSERT_TRUE(master.SendMsg(kAckPort, 19, &ack, sizeof(ack)));
        }
    });

    uint64_t sent = 0;
    uint32_t wraps = 0;
    uint32_t lastWrite = 0;
    for (uint32_t frame = 0; sent < kTotal; ++frame) {
        uint32_t len = static_cast<uint32_t>(std::min<uint64_t>(1000 + (frame * 977) % 6000, kTotal - sent));
        std::vector<uint8_t> data(len);
        for (uint32_t i = 0; i < len; ++i) data[i] = Pattern(sent + i);
        ASSERT_EQ(PCIV_Trans_WriteLocBuf(s, data.data(), len), 0);
        // A full ring is retried once the master has acknowledged more; when everything sent is
        // acknowledged a frame always fits.
        for (;;) {
            uint32_t read = s->u32ReadPos.load();
            if (PCIV_Trans_SendData(s) == 0) break;
            WaitFor([&] { return s->u32ReadPos.load() != read || s->u32LastAck.load() + 1 == s->u32Seq; });
        }
        if (s->u32WritePos < lastWrite) ++wraps;
        lastWrite = s->u32WritePos;
        EXPECT_EQ(s->u32Fill, 0u);
        sent += len;
    }
    playMaster.join();
    EXPECT_GE(wraps, 5u);
    ASSERT_EQ(received.size(), kTotal);
    for (uint64_t i = 0; i < kTotal; ++i) {
        if (received[i] != Pattern(i)) FAIL() << "byte " << i << " differs";
    }
    WaitFor([&] { return s->u32LastAck.load() + 1 == s->u32Seq; });
    PCIV_Trans_DeInitSender(s);
}

TEST_F(TransTest, StrayAndOutOfRingAcknowledgementsAreIgnored) {
    FakeMaster master;
    PCIV_TRANS_PARAM_S param = SenderParam(4096);
    PCIV_TRANS_SENDER_S* s = nullptr;
    ASSERT_EQ(PCIV_Trans_InitSender(&param, &s), 0);
    std::vector<uint8_t> data(2000, 0x11);
    ASSERT_EQ(PCIV_Trans_WriteLocBuf(s, data.data(), 1234), 0);
    ASSERT_EQ(PCIV_Trans_SendData(s), 0);
    ASSERT_EQ(PCIV_Trans_WriteLocBuf(s, data.data(), 766), 0);
    ASSERT_EQ(PCIV_Trans_SendData(s), 0);
    PCIV_TRANS_NOTICE_S bad[] = {{0, 5000, 7}, {300, 200, 8}};
    ASSERT_TRUE(master.SendMsg(kAckPort, 18, &bad[0], 12));
    ASSERT_TRUE(master.SendMsg(kAckPort, 19, &bad[0], 12));
    ASSERT_TRUE(master.SendMsg(kAckPort, 19, &bad[1], 12));
    ASSERT_TRUE(master.SendMsg(kAckPort, 19, &bad[1], 4));
    PCIV_TRANS_NOTICE_S good = {0, 1234, 3};
    ASSERT_TRUE(master.SendMsg(kAckPort, 19, &good, 12));
    WaitFor([&] { return s->u32ReadPos.load() != 0; });
    EXPECT_EQ(s->u32ReadPos.load(), 1234u);
    EXPECT_EQ(s->u32LastAck.load(), 3u) << "no refused acknowledgement was counted";
    EXPECT_EQ(s->u64AckRefused.load(), 4u);
    // A gap in the master's count is only reported.
    PCIV_TRANS_NOTICE_S gap = {1234, 2000, 5};
    ASSERT_TRUE(master.SendMsg(kAckPort, 19, &gap, 12));
    WaitFor([&] { return s->u32ReadPos.load() == 2000; });
    EXPECT_EQ(s->u32LastAck.load(), 5u);
    PCIV_Trans_DeInitSender(s);
}

// What waits on the acknowledgement port when a sender starts was sent for a ring before it: dropped,
// even where it matches what the new sender has sent already.
TEST_F(TransTest, AnAcknowledgementQueuedBeforeTheSenderStartsFreesNothing) {
    FakeMaster master;
    PCIV_TRANS_NOTICE_S old = {0, 3000, 0};
    ASSERT_TRUE(master.SendMsg(kAckPort, 19, &old, 12));
    WaitFor([] { return varnelle::mcc::QueuedMessages(0, kAckPort) == 1; });
    PCIV_TRANS_PARAM_S param = SenderParam(8192);
    PCIV_TRANS_SENDER_S* s = nullptr;
    ASSERT_EQ(PCIV_Trans_MakeSender(&param, &s), 0);
    std::vector<uint8_t> data(3000, 0x22);
    ASSERT_EQ(PCIV_Trans_WriteLocBuf(s, data.data(), 3000), 0);
    ASSERT_EQ(PCIV_Trans_SendData(s), 0);  // [0, 3000), which the master has not read
    PCIV_Trans_StartSender(s);
    // A refused one behind it: once it is counted, the reader has passed where the old one was.
    PCIV_TRANS_NOTICE_S inside = {1000, 3000, 0};
    ASSERT_TRUE(master.SendMsg(kAckPort, 19, &inside, 12));
    WaitFor([&] { return s->u64AckRefused.load() == 1; });
    EXPECT_EQ(s->u32ReadPos.load(), 0u);
    PCIV_TRANS_NOTICE_S good = {0, 3000, 0};
    ASSERT_TRUE(master.SendMsg(kAckPort, 19, &good, 12));
    WaitFor([&] { return s->u32ReadPos.load() == 3000; });
    PCIV_Trans_DeInitSender(s);
}

// Notices whose send fails (the notice port closed) once or several times, with and without a wrap:
// the master never heard of those ranges, so once the channel is back the stream flows on through the
// same sender, every byte reaching the master in order, the notices' numbers without a gap. After an
// outage of more than 50 notices, a master that acknowledges everything is not said to be behind.
TEST_F(TransTest, ANoticeWhoseSendFailsLeavesNoBytesThatNothingFrees) {
    struct Case {
        std::vector<uint32_t> before;  // sent and acknowledged first
        uint32_t len;
        int fails;
    } cases[] = {
        {{1000}, 4000, 1},
        {{}, 1000, 8},
        {{3000, 3000, 1500}, 2000, 3},  // from 7500 of 8192: the failed sends wrap to the start
        {{1000}, 1000, 51},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.len);
        FakeMaster master;
        PCIV_TRANS_PARAM_S param = SenderParam(8192);
        PCIV_TRANS_SENDER_S* s = nullptr;
        ASSERT_EQ(PCIV_Trans_InitSender(&param, &s), 0);
        std::unique_ptr<PCIV_TRANS_SENDER_S, void (*)(PCIV_TRANS_SENDER_S*)> guard(s, PCIV_Trans_DeInitSender);
        uint64_t written = 0, received = 0;
        uint32_t seq = 0, acks = 0;  // the sender's count, and the master's own
        auto write = [&](uint32_t len) {
            std::vector<uint8_t> data(len);
            for (uint32_t i = 0; i < len; ++i) data[i] = Pattern(written + i);
            written += len;
            return PCIV_Trans_WriteLocBuf(s, data.data(), len) == 0;
        };
        auto masterTakes = [&] {
            FakeMaster::Record r;
            if (!master.Take(kNoticePort, &r)) return false;
            const auto* n = reinterpret_cast<const PCIV_TRANS_NOTICE_S*>(r.msg.au32Payload);
            EXPECT_EQ(n->u32Seq, seq);
            std::vector<uint8_t> piece(n->u32End - n->u32Start);
            if (!s_masterRam->Read(kRingPhys + n->u32Start, piece.data(), piece.size())) return false;
            for (uint8_t b : piece) {
                if (b != Pattern(received++)) return false;
            }
            PCIV_TRANS_NOTICE_S ack = {n->u32Start, n->u32End, acks++};
            ++seq;
            if (!master.SendMsg(kAckPort, 19, &ack, sizeof(ack))) return false;
            WaitFor([&] { return s->u32ReadPos.load() == n->u32End; });
            return true;
        };
        for (uint32_t len : c.before) {
            ASSERT_TRUE(write(len));
            ASSERT_EQ(PCIV_Trans_SendData(s), 0);
            ASSERT_TRUE(masterTakes());
        }
        const uint32_t read = s->u32ReadPos.load();
        ASSERT_TRUE(write(c.len));
        ASSERT_EQ(PCIV_CloseMsgPort(0, kNoticePort), 0);
        int failed = 0;
        ::testing::internal::CaptureStdout();
        for (int i = 0; i < c.fails; ++i) failed += PCIV_Trans_SendData(s) == -1;
        const bool reopened = PCIV_OpenMsgPort(0, kNoticePort) == 0;
        const uint32_t readAfter = s->u32ReadPos.load();
        // The retry, then twelve more; each is acknowledged, so the acknowledgement thread's lines are in.
        uint32_t sent = 0;
        while (reopened && sent < 13 && (sent == 0 || write(1500 + 731 * sent % 2500)) &&
               PCIV_Trans_SendData(s) == 0 && masterTakes()) {
            ++sent;
        }
        const std::string out = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(failed, c.fails);
        ASSERT_TRUE(reopened);
        EXPECT_EQ(readAfter, read);
        EXPECT_EQ(sent, 13u) << "the retry once the channel is back, then the stream";
        EXPECT_EQ(received, written);
        EXPECT_EQ(out.find("Warnning"), std::string::npos) << out;
    }
}

// Chip 0 as a master whose listener takes no more connections: a connection to it waits until the
// listener closes, and then fails.
struct FullMaster {
    const sockaddr_un addr = varnelle::testing::ChipAddress(0);
    int listener = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    bool bound = false;
    std::vector<int> pending;  // connected, never accepted

    bool Fill() {
        const auto* a = reinterpret_cast<const sockaddr*>(&addr);
        bound = ::bind(listener, a, sizeof(addr)) == 0;
        if (!bound || ::listen(listener, 0) != 0) return false;
        for (;;) {
            const int c = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            if (::connect(c, a, sizeof(addr)) != 0) {
                const bool full = errno == EAGAIN;
                ::close(c);
                return full;
            }
            pending.push_back(c);
        }
    }
    void Close() {
        if (listener >= 0) ::close(listener);
        listener = -1;
        if (bound) ::unlink(addr.sun_path);
        bound = false;
    }
    ~FullMaster() {
        Close();
        for (int c : pending) ::close(c);
    }
};

// The notice's send fails while an acknowledgement of that very range arrives (a replaced reader's
// late one, say): the failure takes back only its own notice, and only while it is held. The send
// waits on a full master, so the acknowledgement is taken after the notice is held and before it fails.
TEST_F(TransTest, AFailedNoticeAcknowledgedMeanwhileIsNotTakenBackTwice) {
    FullMaster full;
    ASSERT_TRUE(full.Fill());
    PCIV_TRANS_PARAM_S param = SenderParam(8192);
    PCIV_TRANS_SENDER_S* s = nullptr;
    ASSERT_EQ(PCIV_Trans_InitSender(&param, &s), 0);
    std::unique_ptr<PCIV_TRANS_SENDER_S, void (*)(PCIV_TRANS_SENDER_S*)> guard(s, PCIV_Trans_DeInitSender);
    std::vector<uint8_t> data(1000, 0x5A);
    ASSERT_EQ(PCIV_Trans_WriteLocBuf(s, data.data(), 1000), 0);
    using varnelle::drivers::testing::Eventually;
    ::testing::internal::CaptureStdout();
    int ret = 0;
    std::thread send([&] { ret = PCIV_Trans_SendData(s); });
    const bool held = Eventually(
        [&] {
            std::lock_guard<std::mutex> lock(s->mtxHeld);
            return !s->held.empty();
        },
        10000);
    PCIV_MSG_S ack{};
    ack.stMsgHead = {1, PCIV_MSGTYPE_FREE, 12, 0};
    ack.au32Payload[1] = 1000;  // [0, 1000), number 0
    const bool taken = held && varnelle::testing::SendRecord(1, 0, kAckPort, &ack, 16 + 12) &&
                       Eventually([&] { return s->u32ReadPos.load() == 1000; }, 10000);
    full.Close();  // the send fails now
    send.join();
    ::testing::internal::GetCapturedStdout();
    ASSERT_TRUE(taken) << "held " << held;
    EXPECT_EQ(ret, -1);
    {
        std::lock_guard<std::mutex> lock(s->mtxHeld);
        EXPECT_TRUE(s->held.empty());
    }
    EXPECT_EQ(s->u32WritePos.load(), 1000u) << "acknowledged bytes are free, not taken back";
    EXPECT_EQ(s->u32Seq.load(), 1u) << "its number stays spent";
    // The retry goes after the range acknowledged, with the next number.
    FakeMaster master;
    ASSERT_EQ(PCIV_Trans_SendData(s), 0);
    FakeMaster::Record r;
    ASSERT_TRUE(master.Take(kNoticePort, &r));
    const auto* n = reinterpret_cast<const PCIV_TRANS_NOTICE_S*>(r.msg.au32Payload);
    EXPECT_EQ(n->u32Start, 1000u);
    EXPECT_EQ(n->u32End, 2000u);
    EXPECT_EQ(n->u32Seq, 1u);
}

TEST_F(TransTest, BusyDmaIsRetriedOtherFailuresKeepTheData) {
    FakeMaster master;
    auto drv = varnelle::dev::Registry::Find("/dev/pciv");
    PCIV_TRANS_PARAM_S param = SenderParam(8192);
    PCIV_TRANS_SENDER_S* s = nullptr;
    ASSERT_EQ(PCIV_Trans_InitSender(&param, &s), 0);
    uint8_t data[100];
    std::memset(data, 0xAB, sizeof(data));
    ASSERT_EQ(PCIV_Trans_WriteLocBuf(s, data, sizeof(data)), 0);
    drv->FailRequest(PCIV_DMATASK_CTRL, static_cast<int>(0xA01A8012), 3);
    ASSERT_EQ(PCIV_Trans_SendData(s), 0);
    EXPECT_EQ(drv->RequestCount(PCIV_DMATASK_CTRL) >= 4, true);
    FakeMaster::Record r;
    ASSERT_TRUE(master.Take(kNoticePort, &r));
    uint8_t got[100];
    ASSERT_TRUE(s_masterRam->Read(kRingPhys, got, sizeof(got)));
    EXPECT_EQ(std::memcmp(got, data, sizeof(got)), 0);

    ASSERT_EQ(PCIV_Trans_WriteLocBuf(s, data, 50), 0);
    drv->FailRequest(PCIV_DMATASK_CTRL, static_cast<int>(0xA01A8003), 1);
    EXPECT_EQ(PCIV_Trans_SendData(s), -1);
    EXPECT_EQ(s->u32Fill, 50u) << "the data stays for the retry";
    EXPECT_EQ(s->u32WritePos, 100u);
    EXPECT_EQ(s->u32Seq, 1u);
    EXPECT_EQ(PCIV_Trans_SendData(s), 0);
    EXPECT_EQ(s->u32WritePos, 150u);

    EXPECT_EQ(PCIV_Trans_SendData(s), 0) << "nothing written, nothing sent";
    EXPECT_EQ(s->u32Seq, 2u);
    uint32_t freeBytes = 0;
    PCIV_Trans_GetLocBufFree(s, &freeBytes);
    EXPECT_EQ(freeBytes, 8192u);
    std::vector<uint8_t> big(8193);
    EXPECT_EQ(PCIV_Trans_WriteLocBuf(s, big.data(), 8193), -1);
    EXPECT_EQ(PCIV_Trans_WriteLocBuf(s, big.data(), 8192), 0);
    EXPECT_EQ(PCIV_Trans_SendData(s), -1) << "more than half the ring in one send";
    PCIV_Trans_DeInitSender(s);
}

TEST_F(TransTest, SenderWithoutABufferFails) {
    PCIV_TRANS_SENDER_S* s = nullptr;
    PCIV_TRANS_PARAM_S tooBig = SenderParam(1024 * 1024);
    EXPECT_EQ(PCIV_Trans_InitSender(&tooBig, &s), -1) << "no pool block that large";
    PCIV_TRANS_PARAM_S empty = SenderParam(0);
    EXPECT_EQ(PCIV_Trans_InitSender(&empty, &s), -1);
    EXPECT_EQ(s, nullptr);
}

TEST_F(TransTest, ReceiverTakesNoticesInsideItsBufferAndAcknowledgesInOrder) {
    FakeMaster master;
    constexpr uint32_t kSize = 8192;
    uint32_t phys = mem::ZoneAllocator::Local().Allocate(kSize);
    ASSERT_NE(phys, 0u);
    PCIV_TRANS_PARAM_S param = {0, 0, kSize, phys, kNoticePort, kAckPort};
    PCIV_TRANS_RECEIVER_S* r = nullptr;
    ASSERT_EQ(PCIV_Trans_InitReceiver(&param, &r), 0);
    uint32_t first = 0;
    ASSERT_TRUE(mem::Ram::Local().Read(phys, &first, 4));
    EXPECT_EQ(first, 0x777777u);

    const char text[] = "fragment";
    ASSERT_TRUE(mem::Ram::Local().Write(phys + 100, text, sizeof(text)));
    PCIV_TRANS_NOTICE_S bad = {100, kSize + 1, 0};
    ASSERT_TRUE(master.SendMsg(kNoticePort, 18, &bad, 12));
    PCIV_TRANS_NOTICE_S title = {0, 32, 0};
    ASSERT_TRUE(master.SendMsg(kNoticePort, 1, &title, 12));
    uint8_t* addr = nullptr;
    uint32_t len = 0;
    EXPECT_EQ(PCIV_Trans_GetData(r, &addr, &len), -1) << "beyond the buffer";
    EXPECT_EQ(PCIV_Trans_GetData(r, &addr, &len), -1) << "not a notice";
    EXPECT_EQ(PCIV_Trans_GetDataTimeout(r, &addr, &len, 1), PCIV_MSG_TIMEOUT);
    for (uint32_t i = 0; i < 3; ++i) {
        PCIV_TRANS_NOTICE_S n = {100, 100 + sizeof(text), i};
        ASSERT_TRUE(master.SendMsg(kNoticePort, 18, &n, 12));
        ASSERT_EQ(PCIV_Trans_GetData(r, &addr, &len), 0);
        EXPECT_EQ(len, sizeof(text));
        EXPECT_STREQ(reinterpret_cast<const char*>(addr), text);
        EXPECT_EQ(PCIV_Trans_ReleaseData(r, addr, len), 0);
    }
    PCIV_TRANS_NOTICE_S gap = {100, 100 + sizeof(text), 5};
    ASSERT_TRUE(master.SendMsg(kNoticePort, 18, &gap, 12));
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(PCIV_Trans_GetData(r, &addr, &len), 0);
    std::string line = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(line.find("==>PCIV_Trans_GetData(" ), std::string::npos) << line;
    EXPECT_NE(line.find("5,2, start:100,end:109"), std::string::npos) << line;
    for (uint32_t i = 0; i < 3; ++i) {
        FakeMaster::Record rec;
        ASSERT_TRUE(master.Take(kAckPort, &rec));
        EXPECT_EQ(rec.msg.stMsgHead.u32MsgType, 19u);
        const auto* a = reinterpret_cast<const PCIV_TRANS_NOTICE_S*>(rec.msg.au32Payload);
        EXPECT_EQ(a->u32Start, 100u);
        EXPECT_EQ(a->u32End, 100u + sizeof(text));
        EXPECT_EQ(a->u32Seq, i);
    }
    PCIV_Trans_DeInitReceiver(r);
    mem::ZoneAllocator::Local().Free(phys);
}

}  // namespace
