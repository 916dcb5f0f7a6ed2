// The slave program against the master simulator, as two processes on a private bus: the reply
// rule, window buffers, heartbeats, the time set and bad input from the master.
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

#include <gtest/gtest.h>

#include "app/pci/pciv_test_master.h"
#include "platform/host/clock.h"
#include "platform/mem/ram.h"
#include "tests/master_link/link_fixture.h"

namespace {

using varnelle::testing::MasterLinkTest;
using varnelle::testing::kSlave;
constexpr uint32_t kMasterView = 0x60800000u;  // slave address P is seen at P + this
constexpr uint32_t kSlaveView = 0x9f800000u;   // and a master address turns back with this

TEST_F(MasterLinkTest, ReplyRuleOfEveryCode) {
    Connect();
    std::vector<uint32_t> codes;
    for (uint32_t c = 0; c <= 96; ++c) {
        // Code 59 is the marker itself.
        if (c != 59) codes.push_back(c);
    }
    for (uint32_t c : {97u, 150u, 200u, 1000u, 0xFFFFFFFFu}) codes.push_back(c);
    const std::vector<uint8_t> zeros(256, 0);
    for (uint32_t code : codes) {
        int replies = RepliesBeforeMarker(code, zeros);
        ASSERT_NE(replies, -1) << "code " << code << ": the slave stopped answering\n" << m_slave.Log();
        EXPECT_EQ(replies, varnelle::testing::CodeIsAnswered(code) ? 1 : 0) << "code " << code;
    }
    ExpectServing();
}

TEST_F(MasterLinkTest, CodesAboveTheTableAreAnsweredWithResultZeroAndNoPayload) {
    Connect();
    for (uint32_t code : {97u, 200u, 4096u, 0x80000000u}) {
        uint32_t words[4] = {1, 2, 3, 4};
        PCIV_MSG_S reply;
        EXPECT_EQ(m_sim->Command(code, words, sizeof(words), &reply), 0) << code;
        EXPECT_EQ(reply.stMsgHead.u32MsgType, 22u);
        EXPECT_EQ(reply.stMsgHead.u32Target, 0u);
        EXPECT_EQ(reply.stMsgHead.u32MsgLen, 0u);
    }
}

TEST_F(MasterLinkTest, Code35IsNotAnsweredButThe34AfterItIs) {
    Connect();
    uint32_t cover[6] = {0, 0, 0, 0, 16, 16};
    uint32_t iframe[2] = {0, 0};
    ASSERT_EQ(PCIV_SendMsg(kSlave, PCIV_MSGPORT_COMM, sizeof(cover), 35, cover), 0);
    ASSERT_EQ(PCIV_SendMsg(kSlave, PCIV_MSGPORT_COMM, sizeof(iframe), 34, iframe), 0);
    PCIV_MSG_S reply;
    ASSERT_EQ(PcivHostReadMsg(kSlave, PCIV_MSGPORT_COMM, &reply, 5000), 0);
    EXPECT_EQ(reply.stMsgHead.u32MsgType, 22u);
    EXPECT_EQ(reply.stMsgHead.u32MsgLen, 0u);
    // Only one reply: the next one is the marker's.
    EXPECT_EQ(RepliesBeforeMarker(200, {}), 1);
}

TEST_F(MasterLinkTest, Code59BeforeAny57RepliesWithTheZeroKeptMessage) {
    Connect();
    PCIV_MSG_S reply;
    std::memset(&reply, 0xAB, sizeof(reply));
    ASSERT_EQ(m_sim->Command(59, nullptr, 0, &reply), 0);
    EXPECT_EQ(reply.stMsgHead.u32MsgType, 22u);
    ASSERT_EQ(reply.stMsgHead.u32MsgLen, 80u);
    for (int w = 0; w < 20; ++w) EXPECT_EQ(reply.au32Payload[w], 0u) << w;

    // After a 57, a 59 hands back what the 57 kept, its addresses as the master sees them.
    SLAVE_PCIV_MALLOC_S req;
    std::memset(&req, 0, sizeof(req));
    req.u32BlkSize = 4096;
    req.u32BlkCnt = 2;
    PCIV_MSG_S kept;
    ASSERT_EQ(m_sim->Command(57, &req, sizeof(req), &kept), 0);
    ASSERT_EQ(kept.stMsgHead.u32MsgLen, 80u);
    ASSERT_EQ(m_sim->Command(59, nullptr, 0, &reply), 0);
    ASSERT_EQ(reply.stMsgHead.u32MsgLen, 80u);
    EXPECT_EQ(std::memcmp(reply.au32Payload, kept.au32Payload, 80), 0);
    EXPECT_NE(reply.au32Payload[4], 0u);
}

TEST_F(MasterLinkTest, Command14AddressesResolveIntoTheSlavesRam) {
    Connect();
    SLAVE_PCIV_MALLOC_S req;
    std::memset(&req, 0, sizeof(req));
    req.u32BlkSize = 64 * 1024;
    req.u32BlkCnt = 3;
    PCIV_MSG_S reply;
    ASSERT_EQ(m_sim->Command(14, &req, sizeof(req), &reply), 0) << m_slave.Log();
    ASSERT_EQ(reply.stMsgHead.u32MsgLen, 80u);
    SLAVE_PCIV_MALLOC_S got;
    std::memcpy(&got, reply.au32Payload, sizeof(got));
    varnelle::mem::Ram* slaveRam = varnelle::mem::Ram::Remote(kSlave);
    ASSERT_NE(slaveRam, nullptr);
    std::vector<uint32_t> local;
    for (uint32_t i = 0; i < 3; ++i) {
        uint32_t p = got.au32PhyAddr[i] + kSlaveView;  // back to the slave's own address
        EXPECT_EQ(p + kMasterView, got.au32PhyAddr[i]);
        EXPECT_TRUE(slaveRam->Contains(p, req.u32BlkSize)) << std::hex << got.au32PhyAddr[i];
        local.push_back(p);
    }
    for (size_t i = 0; i < local.size(); ++i) {
        for (size_t j = i + 1; j < local.size(); ++j) {
            EXPECT_TRUE(local[i] + req.u32BlkSize <= local[j] || local[j] + req.u32BlkSize <= local[i])
                << "blocks overlap";
        }
    }

    // Count 0 writes no address; the reply is still 80 bytes.
    req.u32BlkCnt = 0;
    req.au32PhyAddr[0] = 0xDEADBEEF;
    ASSERT_EQ(m_sim->Command(14, &req, sizeof(req), &reply), 0);
    EXPECT_EQ(reply.stMsgHead.u32MsgLen, 80u);
    EXPECT_EQ(reply.au32Payload[4], 0xDEADBEEFu);

    // More blocks than the reply can carry is refused.
    req.u32BlkCnt = 17;
    EXPECT_NE(m_sim->Command(14, &req, sizeof(req), &reply), 0);
    ExpectServing();
}

TEST_F(MasterLinkTest, HeartbeatsEvery100MsOnlyAfterThePortMap) {
    // Bring the link up by hand, without the port map.
    ASSERT_EQ(PcivHostWaitChip(kSlave, 10000), 0);
    int32_t ids[] = {kSlave};
    PcivHostSetRemoteChips(ids, 1);
    for (int port : {PCIV_MSGPORT_COMM, static_cast<int>(PCIV_HOST_PORT_HEARTBEAT)}) {
        if (PCIV_PortFd(kSlave, port) < 0) {
            ASSERT_EQ(PCIV_OpenMsgPort(kSlave, port), 0);
        }
    }
    PcivHostDrainPort(kSlave, PCIV_MSGPORT_COMM);
    PcivHostDrainPort(kSlave, PCIV_HOST_PORT_HEARTBEAT);
    ExpectServing();
    PCIV_MSG_S msg;
    EXPECT_NE(PcivHostReadMsg(kSlave, PCIV_HOST_PORT_HEARTBEAT, &msg, 500), 0)
        << "a heartbeat before command 86";

    ASSERT_EQ(PcivHostSendPortMap(kSlave), 0);
    m_sim->StartHeartbeats();
    ASSERT_TRUE(m_sim->WaitHeartbeats(21, 10000)) << m_sim->Heartbeats();
    std::vector<uint64_t> t = m_sim->BeatTimes();
    std::vector<uint64_t> gaps;
    for (size_t i = 1; i < t.size(); ++i) gaps.push_back(t[i] - t[i - 1]);
    std::sort(gaps.begin(), gaps.end());
    uint64_t median = gaps[gaps.size() / 2];
    EXPECT_GE(median, 90000u);
    EXPECT_LE(median, 160000u);
    EXPECT_GE(gaps.front(), 40000u) << "two heartbeats almost at once";
}

TEST_F(MasterLinkTest, TimeSetLeavesTheHostClockAloneAndRejectsImpossibleDates) {
    Connect();
    timeval before;
    gettimeofday(&before, nullptr);
    uint64_t mono0 = varnelle::host::MonotonicUs();
    // A date far from now: if the slave set the host clock, the host would jump by years.
    SLAVE_TIME_S t{2020, 2, 29, 6, 8, 15, 0, 0};
    ASSERT_EQ(PCIV_SendMsg(kSlave, PCIV_HOST_PORT_TIME, sizeof(t), PCIV_MSGTYPE_SETTIME, &t), 0);
    SLAVE_TIME_S bad{INT_MAX, INT_MAX, INT_MAX, 0, INT_MAX, INT_MAX, INT_MAX, 0};
    ASSERT_EQ(PCIV_SendMsg(kSlave, PCIV_HOST_PORT_TIME, sizeof(bad), PCIV_MSGTYPE_SETTIME, &bad), 0);
    EXPECT_TRUE(m_slave.WaitForLog("Format Error", 1, 5000)) << m_slave.Log();
    ASSERT_EQ(PCIV_SendMsg(kSlave, PCIV_HOST_PORT_TIME, 8, PCIV_MSGTYPE_SETTIME, &t), 0);
    EXPECT_TRUE(m_slave.WaitForLog("Format Error", 2, 5000)) << "a short time message is refused\n"
                                                             << m_slave.Log();
    // Another type on the time-set port is ignored: the bad date behind it is the third refusal, and
    // the listener takes its messages in order, so a fourth would already be there.
    ASSERT_EQ(PCIV_SendMsg(kSlave, PCIV_HOST_PORT_TIME, sizeof(bad), PCIV_MSGTYPE_HEARTBEAT, &bad), 0);
    ASSERT_EQ(PCIV_SendMsg(kSlave, PCIV_HOST_PORT_TIME, sizeof(bad), PCIV_MSGTYPE_SETTIME, &bad), 0);
    ASSERT_TRUE(m_slave.WaitForLog("Format Error", 3, 5000)) << m_slave.Log();
    EXPECT_EQ(m_slave.CountInLog("Format Error"), 3u) << m_slave.Log();
    ExpectServing();
    timeval after;
    gettimeofday(&after, nullptr);
    int64_t wall = (after.tv_sec - before.tv_sec) * 1000000LL + (after.tv_usec - before.tv_usec);
    int64_t mono = static_cast<int64_t>(varnelle::host::MonotonicUs() - mono0);
    EXPECT_LT(std::llabs(wall - mono), 2000000LL) << "the host clock moved";
}

TEST_F(MasterLinkTest, BadInputLeavesTheProgramAnswering) {
    Connect();
    m_sim->StartHeartbeats();
    // Messages shorter than a header, each length from 1 to 15 bytes.
    uint8_t junk[4112];
    std::memset(junk, 0x5A, sizeof(junk));
    for (size_t len = 1; len < 16; ++len) ASSERT_TRUE(varnelle::testing::SendRecord(kSlave, 0, 100, junk, len));
    ASSERT_TRUE(m_slave.WaitForLog("read len err", 15, 5000)) << m_slave.Log();
    // Headers that lie about their length: the bytes that arrived count.
    uint32_t head[4] = {1, 200, 4096, 0};
    PCIV_MSG_S reply;
    ASSERT_TRUE(varnelle::testing::SendRecord(kSlave, 0, 100, head, sizeof(head)));
    ASSERT_EQ(PcivHostReadMsg(kSlave, PCIV_MSGPORT_COMM, &reply, 5000), 0);
    EXPECT_EQ(reply.stMsgHead.u32MsgLen, 0u);
    uint32_t lying[4 + 25] = {1, 14, 0, 0, 0, 0, 4096, 1000000};
    ASSERT_TRUE(varnelle::testing::SendRecord(kSlave, 0, 100, lying, sizeof(lying)));
    ASSERT_EQ(PcivHostReadMsg(kSlave, PCIV_MSGPORT_COMM, &reply, 5000), 0);
    EXPECT_NE(reply.stMsgHead.s32Result, 0) << "a million window blocks";
    // Records for ports nobody opened, and a message of the largest size.
    ASSERT_TRUE(varnelle::testing::SendRecord(kSlave, 0, 5000, junk, 64));
    ASSERT_TRUE(varnelle::testing::SendRecord(kSlave, 7, 100, junk, 64));
    uint32_t big[1028] = {0, 200, 4096, 0};
    ASSERT_TRUE(varnelle::testing::SendRecord(kSlave, 0, 100, big, sizeof(big)));
    ASSERT_EQ(PcivHostReadMsg(kSlave, PCIV_MSGPORT_COMM, &reply, 5000), 0);
    EXPECT_EQ(reply.stMsgHead.s32Result, 0);
    ExpectServing();

    // A burst of thousands of commands, sent before any reply is read: every one is answered.
    constexpr uint32_t kBurst = 5000;
    for (uint32_t i = 0; i < kBurst; ++i) ASSERT_EQ(PCIV_SendMsg(kSlave, PCIV_MSGPORT_COMM, 4, 200, &i), 0);
    uint32_t answered = 0;
    while (answered < kBurst && PcivHostReadMsg(kSlave, PCIV_MSGPORT_COMM, &reply, 5000) == 0) {
        answered += reply.stMsgHead.u32MsgType == 22 && reply.stMsgHead.s32Result == 0;
    }
    EXPECT_EQ(answered, kBurst);

    // The port map twice: the ports stay, the heartbeat goes on.
    ASSERT_EQ(PcivHostSendPortMap(kSlave), 0);
    uint64_t beats = m_sim->Heartbeats();
    ASSERT_TRUE(m_sim->WaitHeartbeats(beats + 5, 5000)) << m_slave.Log();
    ExpectServing();
}

TEST_F(MasterLinkTest, ScriptedSessionRunsAgainstTheProgram) {
    Connect();
    m_sim->StartHeartbeats();
    std::istringstream script(
        "setup 0 1280 720   # command 96, then 24 and 25\n"
        "time\n"
        "cmd 34 0 0\n"
        "raw 14 80 0 0 4096 2\n"
        "cmd 35 0 0 0 0 16 16\n"
        "heartbeats 3\n");
    EXPECT_EQ(m_sim->RunScript(script), 0) << m_masterLog.str();
    EXPECT_NE(m_masterLog.str().find("command 14 (80 bytes): result 0, reply length 80"), std::string::npos)
        << m_masterLog.str();
    EXPECT_NE(m_masterLog.str().find("command 35 (24 bytes) sent: 0"), std::string::npos)
        << m_masterLog.str();
    ExpectServing();
}

}  // namespace
