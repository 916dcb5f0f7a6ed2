// A hostile or careless master against the slave program: port maps that would give a port two
// roles, streams on ports nobody opened or from other chips, receivers before anything can serve
// them, a repeated stream start nobody acknowledges, and the time in a zone with summer time.
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/pci/pciv_test_master.h"
#include "platform/host/clock.h"
#include "tests/master_link/link_fixture.h"

namespace {

using varnelle::testing::kSlave;

class HostileMasterTest : public varnelle::testing::MasterLinkTest {
protected:
    // Every slave of this program lives in Berlin and shows its clock in the trace folder.
    static void SetUpTestSuite() {
        MasterLinkTest::SetUpTestSuite();
        s_trace = s_bus + "/trace";
        ::mkdir(s_trace.c_str(), 0777);
        setenv("VARNELLE_TRACE", s_trace.c_str(), 1);
        setenv("TZ", "Europe/Berlin", 1);
    }
    static void TearDownTestSuite() {
        unsetenv("VARNELLE_TRACE");
        MasterLinkTest::TearDownTestSuite();
    }

    static std::vector<uint32_t> Plan() {
        const uint32_t* p = PcivGetChipTable()->au32HostPort;
        return std::vector<uint32_t>(p, p + PCIV_PORTMAP_WORDS);
    }

    // Sends `count` commands of an unknown code; how many came back as their reply (type 22, result 0).
    int Answered(int count) {
        int n = 0;
        for (int i = 0; i < count; ++i) {
            uint32_t word = static_cast<uint32_t>(i);
            PCIV_MSG_S reply;
            std::memset(&reply, 0xAB, sizeof(reply));
            n += m_sim->Command(200, &word, sizeof(word), &reply) == 0 && reply.stMsgHead.u32MsgType == 22;
        }
        return n;
    }

    // The slave's clock as the trace shows it, once it starts with `prefix`; empty after 10 s.
    static std::string ClockReads(const std::string& prefix) {
        uint64_t deadline = varnelle::host::MonotonicMs() + 10000;
        std::string line;
        while (varnelle::host::MonotonicMs() < deadline) {
            std::ifstream in(s_trace + "/clock-1.txt");
            std::getline(in, line);
            if (line.rfind(prefix, 0) == 0) return line;
            usleep(10000);
        }
        return "";
    }

    static inline std::string s_trace;
};

// A map naming the command port as the time-set port once put the time listener on the command port,
// where it ate the commands; a heartbeat port of 100 handed heartbeats to the master's waiting senders
// as replies. Such a port is refused alone, with one line, and that role goes on with its earlier port.
TEST_F(HostileMasterTest, HostilePortMapsLeaveTheEarlierMapWorking) {
    Connect();
    m_sim->StartHeartbeats();
    ASSERT_TRUE(m_sim->WaitHeartbeats(2, 5000)) << m_slave.Log();
    struct Case {
        const char* what;
        int word;
        uint32_t port;
    } cases[] = {
        {"the command port as time-set port", PCIV_PORTMAP_TIME, 100},
        {"the command port as heartbeat port", PCIV_PORTMAP_HEARTBEAT, 100},
        {"a port below the range", PCIV_PORTMAP_VENC_ACK, 99},
        {"a port above the range", PCIV_PORTMAP_TITLE, 228},
        {"no port", PCIV_PORTMAP_VDEC_NOTICE + 3, 0},
        {"a repeat", PCIV_PORTMAP_HEARTBEAT, 121},
    };
    size_t refused = 0;
    for (const Case& c : cases) {
        std::vector<uint32_t> map = Plan();
        map[c.word] = c.port;
        ASSERT_EQ(PCIV_SendMsg(kSlave, PCIV_MSGPORT_COMM, 96, 86, map.data()), 0);
        EXPECT_EQ(Answered(6), 6) << c.what << "\n" << m_slave.Log();
        EXPECT_TRUE(m_slave.WaitForLog(" refused (", ++refused, 5000)) << c.what;
    }
    EXPECT_EQ(m_slave.CountInLog(" refused ("), std::size(cases)) << "one line each";
    // The earlier map still works: heartbeats on 122, the time on 121.
    uint64_t beats = m_sim->Heartbeats();
    EXPECT_TRUE(m_sim->WaitHeartbeats(beats + 5, 5000));
    SLAVE_TIME_S t{2021, 11, 3, 3, 10, 20, 30, 0};
    ASSERT_EQ(PCIV_SendMsg(kSlave, PCIV_HOST_PORT_TIME, sizeof(t), PCIV_MSGTYPE_SETTIME, &t), 0);
    EXPECT_NE(ClockReads("2021-11-03 10:20:3"), "") << m_slave.Log();
    ExpectServing();
}

// Streams on ports the port map did not open (the acknowledgement reader once printed two lines every
// 10 ms for ever), on the command port, or from another chip are refused with -1 and a line, once.
TEST_F(HostileMasterTest, StreamsOnPortsNobodyOpenedAreRefusedWithoutALineStorm) {
    Connect();
    m_sim->StartHeartbeats();
    uint32_t ring = m_sim->AllocRing(64 * 1024);
    ASSERT_NE(ring, 0u);
    struct Case {
        const char* what;
        uint32_t code;
        PCIV_TRANS_PARAM_S p;
        uint32_t chn;
        const char* line;
    } cases[] = {
        {"acknowledgements on an unopened port", 10, {0, 0, 65536, ring, 101, 150}, 0, "port 150 was not opened by the port map"},
        {"notices on an unopened port", 11, {0, 0, 65536, ring, 160, 104}, 0, "port 160 was not opened by the port map"},
        {"acknowledgements on the command port", 10, {0, 0, 65536, ring, 101, 100}, 0, "port 100 was not opened by the port map"},
        {"a decoder stream on an unopened port", 16, {0, 0, 4096, ring, 170, 106}, 8, "port 170 was not opened by the port map"},
        {"a decoder stream from another chip", 16, {5, 0, 4096, ring, 105, 106}, 8, "target 5 is not the master"},
    };
    for (const Case& c : cases) {
        uint32_t payload[7];
        std::memcpy(payload, &c.p, sizeof(c.p));
        payload[6] = c.chn;
        PCIV_MSG_S reply;
        std::memset(&reply, 0xAB, sizeof(reply));
        EXPECT_EQ(m_sim->Command(c.code, payload, c.code == 16 ? 28 : 24, &reply), -1) << c.what;
        EXPECT_EQ(reply.stMsgHead.u32MsgType, 22u) << c.what << ": answered, not timed out";
        EXPECT_TRUE(m_slave.WaitForLog(c.line, 1, 5000)) << c.what << "\n" << m_slave.Log();
    }
    // Half a second of the slave's life later (five heartbeats), no reader has complained about a port.
    uint64_t beats = m_sim->Heartbeats();
    ASSERT_TRUE(m_sim->WaitHeartbeats(beats + 5, 5000));
    EXPECT_EQ(m_slave.CountInLog("you should open msg port"), 0u) << m_slave.Log();
    EXPECT_EQ(m_slave.CountInLog("was not opened by the port map"), 4u);
    ExpectServing();
}

// The receivers serve 16 and 58: each answers 0, and so does a repeat (which stops the earlier
// receiver first).
TEST_F(HostileMasterTest, ReceiverStartsAreAnsweredAndMayBeRepeated) {
    Connect();
    uint32_t buf = m_sim->AllocRing(4096);
    struct Case {
        uint32_t code;
        uint32_t payload[7];
    } cases[] = {
        {16, {0, 0, 4096, buf, 105, 106, 8}},
        {16, {0, 0, 4096, buf, 105, 106, 8}},
        {58, {0, 0, 4096, buf, 123, 124, 0}},
        {58, {0, 0, 4096, buf, 123, 124, 0}},
    };
    for (const Case& c : cases) {
        PCIV_MSG_S reply;
        std::memset(&reply, 0xAB, sizeof(reply));
        EXPECT_EQ(m_sim->Command(c.code, c.payload, c.code == 16 ? 28 : 24, &reply), 0) << c.code << m_slave.Log();
        EXPECT_EQ(reply.stMsgHead.u32MsgType, 22u);
    }
    ExpectServing();
}

// A master that stops acknowledging must not hold up a repeated stream start: each is answered
// within a second.
TEST_F(HostileMasterTest, RepeatedVideoStreamStartIsAnsweredWhileNothingIsAcknowledged) {
    Connect();
    uint32_t ring = m_sim->AllocRing(1 << 20);
    ASSERT_NE(ring, 0u);
    PcivHostSetReplyTimeout(1000);
    PCIV_TRANS_PARAM_S p{0, 0, 1 << 20, ring, PCIV_HOST_PORT_VENC_NOTICE, PCIV_HOST_PORT_VENC_ACK};
    for (int i = 0; i < 5; ++i) {
        PCIV_MSG_S reply;
        std::memset(&reply, 0xAB, sizeof(reply));
        m_sim->Command(10, &p, sizeof(p), &reply);
        EXPECT_EQ(reply.stMsgHead.u32MsgType, 22u) << "no reply within a second to start " << i << "\n"
                                                   << m_slave.Log();
    }
    PcivHostSetReplyTimeout(5000);
    ExpectServing();
}

// The master sends its local time. In a zone with summer time the slave's clock reads it back as
// sent, in summer and in winter (it was an hour ahead all summer).
TEST_F(HostileMasterTest, TimeInAZoneWithSummerTimeReadsBackAsSent) {
    Connect();
    struct Case {
        SLAVE_TIME_S t;
        const char* reads;
    } cases[] = {
        {{2020, 7, 15, 3, 8, 15, 0, 0}, "2020-07-15 08:15:0"},
        {{2020, 1, 15, 3, 8, 15, 0, 0}, "2020-01-15 08:15:0"},
        {{2020, 10, 25, 0, 1, 30, 0, 0}, "2020-10-25 01:30:0"},  // the night summer time ends
    };
    for (const Case& c : cases) {
        ASSERT_EQ(PCIV_SendMsg(kSlave, PCIV_HOST_PORT_TIME, sizeof(c.t), PCIV_MSGTYPE_SETTIME, &c.t), 0);
        std::string line = ClockReads(c.reads);
        EXPECT_NE(line, "") << c.reads << "\n" << m_slave.Log();
    }
    EXPECT_NE(ClockReads("2020-10-25 01:30:0").find("CEST"), std::string::npos) << "still summer time";
    SLAVE_TIME_S winter{2020, 1, 15, 3, 8, 15, 0, 0};
    ASSERT_EQ(PCIV_SendMsg(kSlave, PCIV_HOST_PORT_TIME, sizeof(winter), PCIV_MSGTYPE_SETTIME, &winter), 0);
    EXPECT_NE(ClockReads("2020-01-15 08:15:0").find(" CET"), std::string::npos);
}

}  // namespace
