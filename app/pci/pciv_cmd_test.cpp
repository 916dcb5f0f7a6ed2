#include <unistd.h>

#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/pci/pciv_cmd.h"
#include "app/pci/pciv_msg.h"
#include "app/pci/pciv_test_master.h"
#include "platform/host/test_bus.h"
#include "platform/mcc/mcc_driver.h"

namespace {

PCIV_MSG_S Msg(uint32_t type, uint32_t len = 0) {
    PCIV_MSG_S m;
    std::memset(&m, 0, sizeof(m));
    m.stMsgHead.u32Target = 1;
    m.stMsgHead.u32MsgType = type;
    m.stMsgHead.u32MsgLen = len;
    m.stMsgHead.s32Result = 77;
    return m;
}

TEST(CmdTableTest, ReplyRuleAndStatusOfEveryCodeWithoutHandlers) {
    PCIV_ClearCmdHandlers();
    const std::set<uint32_t> noHandler = {2,  3,  4,  5,  6,  7,  9,  12, 13, 15, 17, 18, 20,
                                          21, 22, 23, 29, 36, 37, 38, 39, 40, 54, 56, 60, 79};
    const std::set<uint32_t> fixedZero = {24, 25, 57};
    for (uint32_t code = 0; code < 300; ++code) {
        PCIV_MSG_S m = Msg(code, 8);
        bool answered = PCIV_RunCmd(&m);
        EXPECT_EQ(answered, varnelle::testing::CodeIsAnswered(code)) << code;
        EXPECT_EQ(PCIV_CmdIsAnswered(code), varnelle::testing::CodeIsAnswered(code)) << code;
        if (!answered) {
            EXPECT_EQ(m.stMsgHead.u32MsgType, code) << "an unanswered buffer is left alone";
            continue;
        }
        EXPECT_EQ(m.stMsgHead.u32MsgType, 22u);
        EXPECT_EQ(m.stMsgHead.u32Target, 0u);
        EXPECT_EQ(m.stMsgHead.u32MsgLen, 0u);
        int32_t want = (code > 96 || noHandler.count(code) || fixedZero.count(code)) ? 0 : -1;
        EXPECT_EQ(m.stMsgHead.s32Result, want) << code;
    }
}

int32_t Failing(PCIV_MSG_S*, PcivCmdContext* ctx) {
    ctx->u32ReplyLen = 80;
    return -9;
}

int32_t ReplaceWithUnanswered(PCIV_MSG_S* m, PcivCmdContext* ctx) {
    m->stMsgHead.u32MsgType = 35;
    ctx->u32ReplyLen = 80;
    return 0;
}

TEST(CmdTableTest, HandlersSetStatusAndLengthAndMayReplaceTheBuffer) {
    PCIV_ClearCmdHandlers();
    EXPECT_FALSE(PCIV_RegisterCmdHandler(2, Failing)) << "code 2 has no handler";
    EXPECT_FALSE(PCIV_RegisterCmdHandler(97, Failing));
    ASSERT_TRUE(PCIV_RegisterCmdHandler(14, Failing));
    ASSERT_TRUE(PCIV_RegisterCmdHandler(24, Failing));
    ASSERT_TRUE(PCIV_RegisterCmdHandler(59, ReplaceWithUnanswered));
    PCIV_MSG_S m = Msg(14, 80);
    ASSERT_TRUE(PCIV_RunCmd(&m));
    EXPECT_EQ(m.stMsgHead.s32Result, -9);
    EXPECT_EQ(m.stMsgHead.u32MsgLen, 80u);
    m = Msg(24, 8);
    ASSERT_TRUE(PCIV_RunCmd(&m));
    EXPECT_EQ(m.stMsgHead.s32Result, 0) << "code 24 is answered with 0 even when it fails";
    m = Msg(59);
    EXPECT_FALSE(PCIV_RunCmd(&m)) << "the reply rule reads the type the handler left";
    PCIV_ClearCmdHandlers();
}

// Message operations against the simulated channel, with the test playing chip 0 by raw sockets.
class PcivMsgTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        varnelle::host::UsePrivateBus("pcivmsg");
        setenv("VARNELLE_CHIP", "1", 1);
        varnelle::mcc::InstallMccDriver();
    }
};

TEST_F(PcivMsgTest, PortChecksAtTheEdges) {
    struct Case {
        int target, port, want;
    } cases[] = {
        {31, 227, 0}, {0, 100, 0}, {32, 100, -1}, {0, 228, -1}, {-1, 100, -1}, {0, 99, -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PCIV_OpenMsgPort(c.target, c.port), c.want) << c.target << "," << c.port;
    }
    EXPECT_EQ(PCIV_OpenMsgPort(31, 227), -1) << "have open!";
    EXPECT_EQ(PCIV_CloseMsgPort(31, 227), 0);
    EXPECT_EQ(PCIV_CloseMsgPort(31, 227), 0) << "closing a closed port succeeds";
    EXPECT_EQ(PCIV_CloseMsgPort(5, 200), 0);
    EXPECT_EQ(PCIV_OpenMsgPort(31, 227), 0) << "reopened after close";
    PCIV_CloseMsgPort(31, 227);
    PCIV_CloseMsgPort(0, 100);
    PCIV_MSG_S m = Msg(1);
    EXPECT_EQ(PCIV_SendMsg(0, 150, &m), -1) << "port not open";
    EXPECT_EQ(PCIV_ReadMsg(0, 150, &m), -1);
    EXPECT_EQ(PCIV_SendMsg(0, 150, 4097, 1, &m), -1);
}

TEST_F(PcivMsgTest, ReadSetsTheLengthAndRefusesFragments) {
    ASSERT_EQ(PCIV_OpenMsgPort(0, 170), 0);
    varnelle::testing::FakeMaster master;
    PCIV_MSG_S in = Msg(30, 8);
    in.au32Payload[0] = 5;
    ASSERT_TRUE(master.Send(170, &in, 16));  // exactly a header: length 0
    ASSERT_TRUE(master.Send(170, &in, 15));  // too short
    ASSERT_TRUE(master.Send(170, &in, 16 + 8));
    PCIV_MSG_S out;
    ASSERT_EQ(PCIV_ReadMsg(0, 170, &out), 0);
    EXPECT_EQ(out.stMsgHead.u32MsgLen, 0u);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(PCIV_ReadMsg(0, 170, &out), -1);
    std::string line = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(line.find("==>PCIV_ReadMsg("), std::string::npos) << line;
    EXPECT_NE(line.find("PCIV_ReadMsg -> read len err:15"), std::string::npos) << line;
    ASSERT_EQ(PCIV_ReadMsg(0, 170, &out), 0);
    EXPECT_EQ(out.stMsgHead.u32MsgLen, 8u);
    EXPECT_EQ(out.au32Payload[0], 5u);
    PCIV_CloseMsgPort(0, 170);
}

// Two readers wait on one port: the one message goes to one of them, and the other still returns at
// its time limit instead of blocking in a read the first one emptied.
TEST_F(PcivMsgTest, ReadersOfOnePortNeverBlockPastTheirTimeOrStop) {
    ASSERT_EQ(PCIV_OpenMsgPort(0, 171), 0);
    varnelle::testing::FakeMaster master;
    for (int round = 0; round < 5; ++round) {
        std::atomic<int> got{0}, timedOut{0}, ready{0};
        auto reader = [&] {
            PCIV_MSG_S m;
            ++ready;
            int r = PCIV_ReadMsgTimeout(0, 171, &m, 200);
            (r == 0 ? got : timedOut)++;
        };
        std::thread a(reader), b(reader);
        while (ready.load() < 2) std::this_thread::yield();
        ASSERT_TRUE(master.SendMsg(171, 1, nullptr, 0));
        a.join();
        b.join();
        EXPECT_EQ(got.load(), 1) << round;
        EXPECT_EQ(timedOut.load(), 1) << round;
    }
    // A reader without a time limit ends as soon as its stop is requested.
    PcivStop stop;
    std::atomic<int> result{1};
    std::thread waiter([&] {
        PCIV_MSG_S m;
        result = PCIV_ReadMsgTimeout(0, 171, &m, -1, &stop);
    });
    stop.Request();
    waiter.join();
    EXPECT_EQ(result.load(), PCIV_MSG_TIMEOUT);
    EXPECT_TRUE(stop.Requested());
    stop.Reset();
    EXPECT_FALSE(stop.Requested());
    // A read without a limit on a port closed under it gives up.
    std::thread closed([&] {
        PCIV_MSG_S m;
        result = PCIV_ReadMsg(0, 171, &m);
    });
    PCIV_CloseMsgPort(0, 171);
    closed.join();
    EXPECT_EQ(result.load(), -1);
}

}  // namespace
