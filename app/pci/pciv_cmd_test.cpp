#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "platform/host/test_bus.h"

#include "app/pci/pciv_cmd.h"
#include "app/pci/pciv_msg.h"
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
    const std::set<uint32_t> unanswered = {35, 41, 42, 43, 44, 45, 47, 48, 49, 50, 51, 52, 53, 55, 61, 62,
                                           63, 64, 65, 66, 67, 68, 69, 70, 71, 72, 73, 74, 75, 76, 77, 78,
                                           80, 81, 83, 84, 85, 86, 87, 88, 89, 90, 91, 92, 93, 94, 95, 96};
    const std::set<uint32_t> noHandler = {2,  3,  4,  5,  6,  7,  9,  12, 13, 15, 17, 18, 20,
                                          21, 22, 23, 29, 36, 37, 38, 39, 40, 54, 56, 60, 79};
    const std::set<uint32_t> fixedZero = {24, 25, 57};
    for (uint32_t code = 0; code < 300; ++code) {
        PCIV_MSG_S m = Msg(code, 8);
        bool answered = PCIV_RunCmd(&m);
        EXPECT_EQ(answered, unanswered.count(code) == 0) << code;
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

    static int RawConnect(int chip) {
        int s = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, varnelle::mcc::SocketPath(chip).c_str());
        if (::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
            ::close(s);
            return -1;
        }
        return s;
    }

    static void SendAsChip0(int s, uint32_t port, const void* body, size_t len) {
        std::vector<uint8_t> r(8 + len);
        uint32_t prefix[2] = {0, port};
        std::memcpy(r.data(), prefix, 8);
        std::memcpy(r.data() + 8, body, len);
        ASSERT_EQ(::send(s, r.data(), r.size(), 0), static_cast<ssize_t>(r.size()));
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
    int s = RawConnect(1);
    ASSERT_GE(s, 0);
    PCIV_MSG_S in = Msg(30, 8);
    in.au32Payload[0] = 5;
    SendAsChip0(s, 170, &in, 16);        // exactly a header: length 0
    SendAsChip0(s, 170, &in, 15);        // too short
    SendAsChip0(s, 170, &in, 16 + 8);
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
    ::close(s);
    PCIV_CloseMsgPort(0, 170);
}

TEST_F(PcivMsgTest, TitlePortReadNeedsThePortWord) {
    PCIV_SetTitlePort(0);
    PCIV_MSG_S m;
    EXPECT_EQ(HwPCIV_ReadMessage(&m), -1);
    PCIV_SetTitlePort(300);
    EXPECT_EQ(HwPCIV_ReadMessage(&m), -1);
    PCIV_SetTitlePort(0);
}

}  // namespace
