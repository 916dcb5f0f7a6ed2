// The master's end of the link against a fake chip 1 that speaks the channel's socket protocol
// directly.
#include "app/pci/pciv_host.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/pci/pciv_cmd.h"
#include "app/pci/pciv_test_master.h"
#include "platform/drivers/pciv/pciv_driver.h"
#include "platform/host/clock.h"
#include "platform/host/env.h"
#include "platform/mcc/mcc_driver.h"

namespace {

std::atomic<int> g_hookCalls{0};
std::atomic<uint32_t> g_hookWordSum{0};

using Record = varnelle::testing::FakeChip::Record;

// Chip 1 at the socket level: it records what the master sends and answers port 100 as told.
class FakeSlave : public varnelle::testing::FakeChip {
public:
    FakeSlave() : FakeChip(1, 0) { AnswerCommands(true, 0); }
    void SetReply(bool silent, int32_t result) { AnswerCommands(!silent, result); }
    void Send(uint32_t port, uint32_t type, const void* payload, uint32_t len) {
        ASSERT_TRUE(SendMsg(port, type, payload, len));
    }
    bool Next(uint32_t port, Record* out) { return Take(port, out, std::chrono::seconds(5)); }
    size_t Pending(uint32_t port) { return Count(port); }
};

class HostLinkTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char tmpl[] = "/dev/shm/varnelle-host-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        s_bus = tmpl;
        setenv("VARNELLE_BUS", tmpl, 1);
        setenv("VARNELLE_CHIP", "0", 1);
        varnelle::mcc::InstallMccDriver(0);
        varnelle::drivers::InstallPcivDriver();
        // Chip 0 listens from its first use of the channel.
        ASSERT_EQ(PcivHostWaitChip(0, 1000), 0);
    }
    static void TearDownTestSuite() { std::filesystem::remove_all(s_bus); }
    void SetUp() override {
        PcivHostResetState();
        PcivHostSetReplyTimeout(2000);
        m_slave = std::make_unique<FakeSlave>();
        int32_t ids[] = {1};
        PcivHostSetRemoteChips(ids, 1);
        ASSERT_EQ(PcivInitComm(1), 0);
        Record r;
        ASSERT_TRUE(m_slave->Next(100, &r));
        ASSERT_EQ(r.msg.stMsgHead.u32MsgType, 86u);
    }
    void TearDown() override { m_slave.reset(); }

    static std::string s_bus;
    std::unique_ptr<FakeSlave> m_slave;
};
std::string HostLinkTest::s_bus;

TEST_F(HostLinkTest, PortMapCarriesThePlanAndOpensEveryPort) {
    PCIV_CHIP_TABLE_S* s = PcivGetChipTable();
    const uint32_t want[24] = {101, 102, 103, 104, 105, 107, 109, 111, 113, 115, 117, 119,
                               106, 108, 110, 112, 114, 116, 118, 120, 121, 122, 123, 124};
    for (int w = 0; w < 24; ++w) {
        EXPECT_EQ(s->au32HostPort[w], want[w]) << w;
        EXPECT_GE(PCIV_PortFd(1, static_cast<int>(want[w])), 0) << want[w];
    }
    EXPECT_EQ(s->u32HostTimePort.load(), 121u);
    EXPECT_EQ(s->u32HostHeartPort.load(), 122u);
    EXPECT_EQ(s->u32HostTitlePort.load(), 123u);
    // A second bring-up finds its ports open and sends the map again.
    ASSERT_EQ(PcivInitComm(1), 0);
    Record r;
    ASSERT_TRUE(m_slave->Next(100, &r));
    EXPECT_EQ(r.msg.stMsgHead.u32MsgType, 86u);
    ASSERT_EQ(r.msg.stMsgHead.u32MsgLen, 96u);
    EXPECT_EQ(std::memcmp(r.msg.au32Payload, want, 96), 0);
}

TEST_F(HostLinkTest, SendersCarryTheirCodeAndLengthAndWaitOnlyWhereAnswered) {
    uint8_t blob[256] = {};
    uint32_t words[6] = {1, 2, 3, 4, 5, 6};
    uint32_t rect[4] = {1, 2, 3, 4};
    struct Case {
        uint32_t code;
        uint32_t len;
        bool waits;
        std::function<int()> send;
    };
    const std::vector<Case> cases = {
        {24, 8, true, [] { return PcivHostGraphicsSaveVstd(1); }},
        {25, 8, true, [] { return PcivHostGraphicsSetResolution(1920, 1080); }},
        {26, 8, true, [] { return PcivHostSplitStart(3); }},
        {27, 280, true, [&] { return PcivHostSplitChnSet(words, blob); }},
        {28, 4, true, [] { return PcivHostCaptureCreate(2); }},
        {30, 8, true, [] { return PcivHostCaptureStart(1, 2); }},
        {31, 8, true, [] { return PcivHostCaptureSetVstd(1, 2); }},
        {32, 20, true, [&] { return PcivHostCaptureSetFormat(1, 2, blob); }},
        {33, 8, true, [] { return PcivHostCaptureStop(1, 2); }},
        {34, 8, true, [] { return PcivHostCaptureForceIFrame(1, 2); }},
        {35, 24, false, [&] { return PcivHostCaptureSetCover(1, 2, rect); }},
        {55, 4, false, [] { return PcivHostVdecChCreate(3); }},
        {56, 4, true, [] { return PcivHostSendCmdWait(9); }},
        {87, 12, false, [] { return PcivHostAdaptViChnConfig(3, 8, 1); }},
        {88, 88, false, [&] { return PcivHostMotionDetectSetParameter(1, blob); }},
        {89, 0, false, [] { return PcivHostMotionDetectCreate(); }},
        {90, 12, false, [&] { return PcivHostBlindDetectSetParameter(1, blob); }},
        {91, 0, false, [] { return PcivHostBlindDetectCreate(); }},
    };
    m_slave->SetReply(false, -7);
    for (const Case& c : cases) {
        int ret = c.send();
        EXPECT_EQ(ret, c.waits ? -7 : 0) << c.code << ": waiting senders return the reply's result";
        Record r;
        ASSERT_TRUE(m_slave->Next(100, &r)) << c.code;
        EXPECT_EQ(r.msg.stMsgHead.u32MsgType, c.code);
        EXPECT_EQ(r.msg.stMsgHead.u32MsgLen, c.len) << c.code;
        EXPECT_EQ(r.msg.stMsgHead.u32Target, 1u) << c.code;
    }
}

TEST_F(HostLinkTest, BufferSendersReturnZeroOnceAReplyIsReadAndTargetTheirChip) {
    uint8_t buf[184] = {};
    m_slave->SetReply(false, -3);
    EXPECT_EQ(PcivHostSendBufWait(1, buf), 0);
    EXPECT_EQ(PcivHostSendBufWait2(1, buf), 0);
    Record r;
    ASSERT_TRUE(m_slave->Next(100, &r));
    EXPECT_EQ(r.msg.stMsgHead.u32MsgType, 0u);
    EXPECT_EQ(r.msg.stMsgHead.u32MsgLen, 184u);
    ASSERT_TRUE(m_slave->Next(100, &r));
    EXPECT_EQ(r.msg.stMsgHead.u32MsgType, 1u);
    EXPECT_EQ(r.msg.stMsgHead.u32MsgLen, 68u);
    EXPECT_EQ(r.msg.stMsgHead.u32Target, 1u);
}

TEST_F(HostLinkTest, SilentChipTimesOutAndItsLateReplyIsNotTakenForTheNext) {
    m_slave->SetReply(true, 0);
    PcivHostSetReplyTimeout(100);
    uint64_t t0 = varnelle::host::MonotonicMs();
    EXPECT_EQ(PcivHostCaptureForceIFrame(0, 0), -1);
    EXPECT_GE(varnelle::host::MonotonicMs() - t0, 100u);
    EXPECT_EQ(PcivHostSendBufWait(1, std::vector<uint8_t>(184).data()), -1);
    // The late reply to the first command arrives; the next command must get its own.
    m_slave->Send(100, 22, nullptr, 0);
    for (int i = 0; i < 500 && varnelle::mcc::QueuedMessages(1, 100) == 0; ++i) usleep(2000);
    ASSERT_EQ(varnelle::mcc::QueuedMessages(1, 100), 1u);
    Record r;
    ASSERT_TRUE(m_slave->Next(100, &r));
    ASSERT_TRUE(m_slave->Next(100, &r));
    PcivHostSetReplyTimeout(2000);
    m_slave->SetReply(false, 5);
    EXPECT_EQ(PcivHostCaptureStop(0, 0), 5);
}

TEST_F(HostLinkTest, NoRemoteChipSendsNothing) {
    PcivHostSetRemoteChips(nullptr, 0);
    EXPECT_EQ(Pciv_HostChipInit(), 0);
    EXPECT_EQ(PcivHostCaptureStart(0, 0), 0);
    EXPECT_EQ(PcivHostSendCmdWait(1), 0);
    EXPECT_EQ(PcivHostSendSysParams(), 0);
    EXPECT_EQ(PcivHostMotionDetectCreate(), 0);
    EXPECT_EQ(m_slave->Pending(100), 0u);
}

TEST_F(HostLinkTest, SysParamsGoOutAs156BytesInTheirOrder) {
    PCIV_HOST_STATE_S* s = PcivHostGetState();
    s->stSysParam.u32SysType = 2;
    s->stSysParam.u32DevType = 656;
    s->stSysParam.u32ChnEnd = 8;
    s->stSysParam.u32BoardSubType = 47;
    HVR_CAP_S cap{};
    cap.as16Analog[HVR_CAP_1080P] = 8;
    cap.u32MaxPlayBackWay = 16;
    s->stSysParam.stHvrCap = cap;
    s->stSysParam.stSlaveCfg.u8JpegEnable = 1;
    EXPECT_EQ(PcivHostSendSysParams(), 0);
    Record r;
    ASSERT_TRUE(m_slave->Next(100, &r));
    EXPECT_EQ(r.msg.stMsgHead.u32MsgType, 96u);
    ASSERT_EQ(r.msg.stMsgHead.u32MsgLen, 156u);
    const uint32_t* p = r.msg.au32Payload;
    EXPECT_EQ(p[0], 2u);
    EXPECT_EQ(p[1], 656u);
    EXPECT_EQ(p[2], 8u);
    EXPECT_EQ(p[12], 47u);
    EXPECT_EQ(p[14 + 11], 8u) << "analog 1080P (byte 44 of the record) is the low half of word 25";
    EXPECT_EQ(p[30], 16u);
    EXPECT_EQ(p[31 + 6], 1u) << "settings byte 24 is the low byte of word 37";
}

TEST_F(HostLinkTest, TimeCarriesThePlatformClock) {
    struct tm want = {};
    want.tm_year = 120;
    want.tm_mon = 1;
    want.tm_mday = 29;
    want.tm_hour = 8;
    want.tm_min = 15;
    want.tm_isdst = -1;
    timeval tv{mktime(&want), 0};
    int64_t saved = varnelle::host::WallOffsetUs();
    varnelle::host::SetWallClock(tv);
    EXPECT_EQ(PcivHostSendTime(), 0);
    // Put the platform clock back where it was (the host clock itself is never touched).
    timeval hostNow;
    gettimeofday(&hostNow, nullptr);
    int64_t us = static_cast<int64_t>(hostNow.tv_sec) * 1000000 + hostNow.tv_usec + saved;
    varnelle::host::SetWallClock(
        timeval{static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)});
    Record r;
    ASSERT_TRUE(m_slave->Next(121, &r));
    EXPECT_EQ(r.msg.stMsgHead.u32MsgType, 23u);
    ASSERT_EQ(r.msg.stMsgHead.u32MsgLen, 32u);
    SLAVE_TIME_S t;
    std::memcpy(&t, r.msg.au32Payload, sizeof(t));
    EXPECT_EQ(t.s32Year, 2020);
    EXPECT_EQ(t.s32Month, 2);
    EXPECT_EQ(t.s32Day, 29);
    EXPECT_EQ(t.s32Weekday, 6);
    EXPECT_EQ(t.s32Hour, 8);
    EXPECT_EQ(t.s32Minute, 15);
    EXPECT_LE(t.s32Second, 1);
}

TEST_F(HostLinkTest, HeartbeatsAreReadAndMergedShortOnesIgnored) {
    PCIV_HOST_STATE_S* s = PcivHostGetState();
    s->stSysParam.u32ChnStart = 4;
    s->stSysParam.u32ChnEnd = 8;
    SLAVE_HEARTBEAT_S beat{0x3, 0x5};
    m_slave->Send(122, 54, &beat, 4);  // short: carries no bitmaps
    m_slave->Send(122, 54, &beat, sizeof(beat));
    m_slave->Send(122, 23, &beat, sizeof(beat));
    SLAVE_HEARTBEAT_S got{};
    EXPECT_EQ(PcivHostStatusStep(0, 2000, &got), 0);
    EXPECT_EQ(s->u32Motion.load(), 0u);
    EXPECT_EQ(PcivHostStatusStep(0, 2000, &got), 1);
    EXPECT_EQ(got.u32MotionBitmap, 3u);
    EXPECT_EQ(s->u32Motion.load(), 0x30u);
    EXPECT_EQ(s->u32Blind.load(), 0x50u);
    s->au8ChnEnable[6] = 0;
    EXPECT_EQ(PcivHostStatusStep(0, 2000, &got), 0) << "another type on the heartbeat port";
    EXPECT_EQ(s->u32Blind.load(), 0x10u) << "a channel disabled since loses its blind alarm on any read";
    EXPECT_EQ(s->u32Motion.load(), 0x30u);
    PcivHostSetReplyTimeout(50);
    EXPECT_EQ(PcivHostStatusStep(0, 50, &got), -1) << "nothing to read";
    EXPECT_EQ(PcivHostStatusStep(5, 50, &got), -1) << "an unused entry";
}

TEST_F(HostLinkTest, StatusAndTimeThreadsRunUntilStopped) {
    SLAVE_HEARTBEAT_S beat{0x1, 0x0};
    PcivHostGetState()->stSysParam.u32ChnEnd = 4;
    PcivHostSetReplyTimeout(50);
    std::thread status(PcivHostStatusThread, nullptr);
    std::thread time(PcivHostTimeSyncThread, nullptr);
    Record r;
    ASSERT_TRUE(m_slave->Next(121, &r)) << "the time goes out at once";
    m_slave->Send(122, 54, &beat, sizeof(beat));
    for (int i = 0; i < 500 && PcivHostGetState()->u32Motion.load() == 0; ++i) usleep(10000);
    EXPECT_EQ(PcivHostGetState()->u32Motion.load(), 1u);
    PcivHostStopThreads();
    status.join();
    time.join();
}

// With the default reply time-out (0: wait without limit) the status thread waits for a heartbeat
// that may never come; a stop must still end it.
TEST_F(HostLinkTest, StatusThreadStopsWhileWaitingWithoutLimit) {
    PcivHostGetState()->stSysParam.u32ChnEnd = 4;
    PcivHostSetReplyTimeout(0);
    std::thread status(PcivHostStatusThread, nullptr);
    // One heartbeat shows the thread is reading; then it waits for the next, which never comes.
    SLAVE_HEARTBEAT_S beat{0x2, 0x0};
    m_slave->Send(122, 54, &beat, sizeof(beat));
    while (PcivHostGetState()->u32Motion.load() != 2) std::this_thread::yield();
    std::promise<void> joined;
    std::thread joiner([&] {
        PcivHostStopThreads();
        status.join();
        joined.set_value();
    });
    // Only a guard against a hang.
    if (joined.get_future().wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        ADD_FAILURE() << "the status thread did not stop";
        std::abort();
    }
    joiner.join();
}

// The master's signal: a reply wait without limit ends at once and counts as missed, and later waits
// (a reply, a message, a chip) give up without waiting until the state is reset. A read with no time
// takes only what is queued.
TEST_F(HostLinkTest, CancelEndsEveryWaitAtOnceUntilReset) {
    PCIV_MSG_S msg;
    EXPECT_EQ(PcivHostReadMsg(1, 106, &msg, 0), -1) << "nothing queued: no wait";
    m_slave->Send(106, 19, nullptr, 0);
    for (int i = 0; i < 500 && varnelle::mcc::QueuedMessages(1, 106) == 0; ++i) usleep(2000);
    EXPECT_EQ(PcivHostReadMsg(1, 106, &msg, 0), 0) << "a queued message is taken";
    m_slave->SetReply(true, 0);
    PcivHostSetReplyTimeout(0);
    std::future<int> waiting =
        std::async(std::launch::async, [] { return PcivHostCaptureForceIFrame(0, 0); });
    Record r;
    ASSERT_TRUE(m_slave->Next(100, &r)) << "the command went out; its reply never comes";
    PcivHostCancelWaits();
    // Only a guard against a hang.
    if (waiting.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        ADD_FAILURE() << "the reply wait was not cancelled";
        std::abort();
    }
    EXPECT_EQ(waiting.get(), -1);
    EXPECT_TRUE(PcivHostWaitsCancelled());
    const uint64_t t0 = varnelle::host::MonotonicMs();
    EXPECT_EQ(PcivHostCaptureStop(0, 0), -1);
    EXPECT_EQ(PcivHostReadMsg(1, 106, &msg, -1), -1);
    EXPECT_EQ(PcivHostWaitChip(5, 0), -1) << "an absent chip, waited for without limit";
    EXPECT_LT(varnelle::host::MonotonicMs() - t0, 1000u);
    EXPECT_EQ(PcivHostRepliesMissed(), 2u);
    PcivHostResetState();
    EXPECT_FALSE(PcivHostWaitsCancelled());
    EXPECT_EQ(PcivHostRepliesMissed(), 0u);
}

TEST_F(HostLinkTest, PfWindowLineNamesTheSourceNotTheBuildMachinesPath) {
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(PcivGetPfWin(1), 0);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Ostrel: ../pci/pciv_host.c,PcivGetPfWin,Line"), std::string::npos) << out;
    EXPECT_EQ(out.find("pciv_host.cpp"), std::string::npos) << "no path of the build machine: " << out;
}

TEST_F(HostLinkTest, TitlePortCarriesAnyTypeOnlyOncePlanned) {
    uint8_t name[32] = "Font";
    EXPECT_EQ(PcivHostSendCmd(name, sizeof(name), 0), 0);
    Record r;
    ASSERT_TRUE(m_slave->Next(123, &r));
    EXPECT_EQ(r.msg.stMsgHead.u32MsgType, 0u);
    EXPECT_EQ(r.msg.stMsgHead.u32MsgLen, 32u);
    PcivGetChipTable()->u32HostTitlePort = 0;
    EXPECT_EQ(PcivHostSendCmd(name, sizeof(name), 0), -1);
    EXPECT_EQ(PcivHostSendCmd(name, 5000, 1), -1) << "longer than a message";
}

TEST_F(HostLinkTest, PfWindowOfEachChipIsKept) {
    EXPECT_EQ(PcivGetPfWin(1), 0);
    EXPECT_EQ(PcivGetChipTable()->au32PfWinBase[1], varnelle::drivers::kPcivWindowBase);
    EXPECT_EQ(PcivGetPfWin(40), -1);
}

struct MergeCase {
    uint32_t start, end;
    uint8_t disabled;  // channel whose blind alarm is masked (255: none)
    uint32_t motionIn, blindIn, motionBefore;
    uint32_t motionWant, blindWant;
};

TEST(HeartbeatMergeTest, MergesOverTheRangeAndMasksDisabledChannels) {
    const MergeCase cases[] = {
        {0, 8, 255, 0xFF, 0x0F, 0x0, 0xFF, 0x0F},
        {0, 8, 255, 0x1FF, 0x0, 0x0, 0xFF, 0x0},           // bits beyond the range are cut
        {8, 16, 255, 0x1, 0x2, 0x3, 0x103, 0x200},         // other chips' bits are kept
        {8, 16, 9, 0x0, 0x3, 0x0, 0x0, 0x100},             // channel 9 disabled
        {4, 4, 255, 0xF, 0xF, 0x7, 0x7, 0x0},              // empty range: nothing changes
        {24, 40, 255, 0xFFFF, 0x0, 0x0, 0xFF000000, 0x0},  // range clipped at 32 channels
        {40, 48, 255, 0xFFFF, 0xFFFF, 0x0, 0x0, 0x0},      // start beyond the bitmap
    };
    for (const MergeCase& c : cases) {
        PcivHostResetState();
        PCIV_HOST_STATE_S* s = PcivHostGetState();
        s->stSysParam.u32ChnStart = c.start;
        s->stSysParam.u32ChnEnd = c.end;
        if (c.disabled != 255) s->au8ChnEnable[c.disabled] = 0;
        s->u32Motion.store(c.motionBefore);
        SLAVE_HEARTBEAT_S beat{c.motionIn, c.blindIn};
        PcivHostMergeHeartbeat(&beat);
        EXPECT_EQ(s->u32Motion.load(), c.motionWant) << c.start << "-" << c.end;
        EXPECT_EQ(s->u32Blind.load(), c.blindWant) << c.start << "-" << c.end;
    }
}

TEST(HostRecordsTest, AdaptViChnConfigRecordsTheCodeOfEachMode) {
    PcivHostResetState();
    const std::pair<uint32_t, int32_t> modes[] = {{8, 2},   {12, 8}, {1, 11}, {2, 14}, {9, 17}, {11, 16},
                                                  {10, 18}, {5, 10}, {6, 10}, {13, 7}, {3, 0}};
    for (const auto& [mode, code] : modes) {
        PcivHostGetState()->as32ChnMode[2] = 0;
        EXPECT_EQ(PcivHostAdaptViChnConfig(2, mode, 0), 0);
        EXPECT_EQ(PcivHostGetState()->as32ChnMode[2], code) << mode;
    }
    EXPECT_EQ(PcivHostAdaptViChnConfig(1000, 8, 0), 0) << "a channel beyond the table is only sent";
}

TEST(HostRecordsTest, FreeListHandsEveryNodeToTheHookAndEmptiesTheList) {
    PCIV_HOST_LIST_S list{nullptr, 0};
    for (uint32_t i = 1; i <= 3; ++i) {
        auto* n = static_cast<PCIV_HOST_LIST_NODE_S*>(std::calloc(1, sizeof(PCIV_HOST_LIST_NODE_S)));
        n->u32HookWord = i * 10;
        n->pNext = list.pHead;
        list.pHead = n;
        ++list.u32Count;
    }
    g_hookCalls = 0;
    g_hookWordSum = 0;
    PcivHostFreeList(&list);
    EXPECT_EQ(g_hookCalls.load(), 3);
    EXPECT_EQ(g_hookWordSum.load(), 60u);
    EXPECT_EQ(list.pHead, nullptr);
    EXPECT_EQ(list.u32Count, 0u);
    PcivHostFreeList(nullptr);
    PCIV_HOST_REQ_S req;
    std::memset(&req, 0xAB, sizeof(req));
    PcivHostClearReq(&req);
    for (uint32_t w : req.au32Word) EXPECT_EQ(w, 0u);
}

}  // namespace

// Replaces the board's weak hook so the test sees every node.
int CapListFreeHook(uint32_t u32Node) {
    ++g_hookCalls;
    g_hookWordSum += u32Node;
    return 0;
}
