// A master that sends command 96 again (new system parameters) without commands 10 and 11: the stream
// senders started once run on, so both main streams go on in the same video ring after the second
// set-up, its notices still in sequence, with nothing said about the senders. A master that restarts
// and gives new rings with 10 and 11: nothing of the old rings reaches it.
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/master_link/master_summary.h"
#include "tests/master_link/slave_process.h"

namespace {

using varnelle::testing::SlaveProcess;
using varnelle::testing::VideoSummary;

class SendersProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_bus = varnelle::testing::MakePrivateBus("senders");
        ASSERT_FALSE(m_bus.empty());
        setenv("TZ", "UTC", 1);
        ASSERT_TRUE(m_slave.Start(VARNELLE_PROGRAM, m_bus, m_bus + "/slave.log"));
    }
    void TearDown() override {
        m_master.Kill();
        m_slave.Kill();
        varnelle::testing::RemoveBus(m_bus);
    }

    std::string m_bus;
    SlaveProcess m_slave;
    SlaveProcess m_master;
};

TEST_F(SendersProcessTest, BothMainStreamsGoOnInTheSameRingAfterASecondSetUp) {
    const std::string script = m_bus + "/again.txt";
    // Each round waits for ten frames of both main streams (encoder channels 0 and 2); the second
    // for ten after each sequence started again, which the old senders would never carry.
    std::ofstream(script) << "setup\nrings\ncapture 0\ncapture 1\nframes 0 10\nframes 2 10\n"
                          << "setup\ncapture 0\ncapture 1\nframes 0 10 1\nframes 2 10 1\n";
    ASSERT_TRUE(m_master.Start(MASTER_TOOL, m_bus, m_bus + "/master.log", 0,
                               {"--bus", m_bus, "--wait", "10", "--timeout", "5000", "--script", script,
                                "--duration", "0", "--quiet"}));
    ASSERT_EQ(m_master.WaitExit(90000), 0) << m_master.Log() << m_slave.Log();
    const std::string master = m_master.Log();
    const std::string slave = m_slave.Log();
    EXPECT_EQ(master.find("command 10 again"), std::string::npos) << master;
    // Four capture commands (two channels, twice), each answered 0.
    EXPECT_EQ(varnelle::testing::CaptureResults(master), std::vector<int>(4, 0)) << master;
    const VideoSummary video = varnelle::testing::ReadVideoSummary(master);
    EXPECT_GT(video.notices, 0u) << master;
    EXPECT_EQ(video.noticeGaps, 0u) << "the sender kept its sequence across the set-up\n" << master;
    // Each main stream (encoder channels 0 and 2) ran before the second set-up and after it: its
    // encoder was made again, so its sequence started again, in the same ring.
    for (unsigned chn : {0u, 2u}) {
        ASSERT_TRUE(video.channels.count(chn)) << chn << "\n" << master << slave;
        EXPECT_GE(video.channels.at(chn).restarts, 1u) << "no frames after the second set-up on " << chn << "\n"
                                                       << master << slave;
        EXPECT_GE(video.channels.at(chn).frames, 20u) << chn;
    }
    EXPECT_EQ(slave.find("no local buffer"), std::string::npos) << slave;
    EXPECT_EQ(slave.find("sender runs"), std::string::npos) << slave;
    EXPECT_TRUE(m_slave.Alive());
}

// The master stops the streams (so no notice of theirs is on its way), restarts (it reads nothing of
// the old rings any more and starts from nothing), and sets everything up again with new rings. What
// the senders held at the new 96 belongs to the old rings: each new ring's first notice is sequence 0
// and carries only frames of the new encoders (each channel's from its sequence 0), in order.
TEST_F(SendersProcessTest, AMasterThatRestartsGetsNothingOfItsOldRings) {
    std::string inputs;
    for (int c : {0, 1}) {
        inputs += "cmd 82 " + std::to_string(c) + "\ncapture " + std::to_string(c) + "\nformat " + std::to_string(c) +
                  " 4 0 0 0 2 1 1 512 2\ncmd 30 " + std::to_string(c) + " 4\n";
    }
    const std::string flowing = "frames 0 10\nframes 2 10\npictures 0 3\n";
    const std::string script = m_bus + "/restart.txt";
    std::ofstream(script) << "setup\nrings\n" << inputs << flowing
                          << "cmd 33 0 0\ncmd 33 1 0\ncmd 33 0 4\ncmd 33 1 4\nrestart\n"
                          << "setup\nrings\n" << inputs << flowing;
    ASSERT_TRUE(m_master.Start(MASTER_TOOL, m_bus, m_bus + "/master.log", 0,
                               {"--bus", m_bus, "--wait", "10", "--timeout", "15000", "--script", script,
                                "--duration", "0", "--quiet"}));
    ASSERT_EQ(m_master.WaitExit(90000), 0) << m_master.Log() << m_slave.Log();
    const std::string master = m_master.Log();
    for (const char* ring : {"video", "jpeg"}) {
        const varnelle::testing::RingSummary s = varnelle::testing::ReadRingSummary(master, ring);
        EXPECT_GT(s.notices, 0u) << ring << "\n" << master;
        EXPECT_EQ(s.noticeGaps, 0u) << ring << ": the new ring's notices from sequence 0\n" << master;
        EXPECT_FALSE(s.channels.empty()) << ring << "\n" << master;
        for (const auto& [chn, c] : s.channels) {
            EXPECT_EQ(c.firstSeq, 0u) << ring << " channel " << chn << ": began with an old encoder's frame\n"
                                      << master;
            EXPECT_EQ(c.gaps + c.restarts, 0u) << ring << " channel " << chn << ": frames of an old encoder\n"
                                               << master;
        }
    }
    EXPECT_TRUE(m_slave.Alive());
}

}  // namespace
