// The fixture of the process-level link tests: the master simulator in the test process (chip 0) and
// the slave program as a child (chip 1), on one private bus per test program.
#pragma once

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/pci/pciv_host.h"
#include "platform/host/test_bus.h"
#include "tests/master_link/slave_process.h"
#include "tools/varnelle-master/master_sim.h"

namespace varnelle::testing {

constexpr int kSlave = 1;

class MasterLinkTest : public ::testing::Test {
protected:
    // The master's channel in this process listens on the first bus it opened: one bus for the whole
    // program, removed when it exits.
    static void SetUpTestSuite() { s_bus = host::UsePrivateBus("link"); }

    void SetUp() override {
        ASSERT_FALSE(s_bus.empty());
        master::SimOptions opt;
        opt.slaveChip = kSlave;
        opt.replyTimeoutMs = 5000;
        opt.printBeats = false;
        opt.log = &m_masterLog;
        m_sim = std::make_unique<master::MasterSim>(opt);
        ASSERT_EQ(m_sim->Open(), 0);
        ASSERT_TRUE(m_slave.Start(VARNELLE_PROGRAM, s_bus, s_bus + "/slave.log"));
    }
    void TearDown() override {
        m_sim->Stop();
        m_slave.Kill();
    }

    // Port map and all; fails the test when the slave does not come up.
    void Connect() { ASSERT_EQ(m_sim->ConnectSlave(10000), 0) << m_masterLog.str(); }

    // Sends `code`, then code 59 as a marker whose reply is the only one 80 bytes long; returns how
    // many replies came before the marker's, or -1 when the marker's did not come.
    int RepliesBeforeMarker(uint32_t code, const std::vector<uint8_t>& payload) {
        EXPECT_EQ(PCIV_SendMsg(kSlave, PCIV_MSGPORT_COMM, static_cast<uint32_t>(payload.size()), code,
                               payload.data()),
                  0);
        EXPECT_EQ(PCIV_SendMsg(kSlave, PCIV_MSGPORT_COMM, 0, 59, nullptr), 0);
        // Codes 14 and 57 answer with 80 bytes themselves.
        int marks = (code == 14 || code == 57) ? 2 : 1;
        int replies = 0;
        PCIV_MSG_S reply;
        while (marks > 0) {
            if (PcivHostReadMsg(kSlave, PCIV_MSGPORT_COMM, &reply, 5000) != 0) return -1;
            ++replies;
            if (reply.stMsgHead.u32MsgLen == 80) --marks;
        }
        return replies - 1;
    }

    // The slave is up and serving: a code above the table is answered with result 0.
    void ExpectServing() {
        EXPECT_TRUE(m_slave.Alive()) << m_slave.Log();
        uint32_t word = 0;
        PCIV_MSG_S reply;
        EXPECT_EQ(m_sim->Command(200, &word, sizeof(word), &reply), 0);
        EXPECT_EQ(reply.stMsgHead.u32MsgType, 22u);
    }

    static inline std::string s_bus;
    std::ostringstream m_masterLog;
    std::unique_ptr<master::MasterSim> m_sim;
    SlaveProcess m_slave;
};

}  // namespace varnelle::testing
