// A master that sends command 96 again (new system parameters) without commands 10 and 11: the stream
// senders started once run on, so both main streams go on in the same video ring after the second
// set-up, its notices still in sequence, with nothing said about the senders.
#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "tests/master_link/slave_process.h"

namespace {

using varnelle::testing::SlaveProcess;

struct ChannelSummary {
    uint64_t frames = 0, gaps = 0, restarts = 0;
};

// The master's summary of the video ring: {notices, sequence gaps of the notices} and per channel.
struct VideoSummary {
    uint64_t notices = 0, noticeGaps = 0;
    std::map<unsigned, ChannelSummary> channels;
};

VideoSummary ReadVideoSummary(const std::string& log) {
    VideoSummary out;
    const size_t at = log.find("video ring: ");
    if (at == std::string::npos) return out;
    std::istringstream in(log.substr(at));
    std::string line;
    std::getline(in, line);
    uint64_t bytes = 0, wraps = 0;
    std::sscanf(line.c_str(), "video ring: %" SCNu64 " bytes in %" SCNu64 " notices, %" SCNu64 " wraps, %" SCNu64,
                &bytes, &out.notices, &wraps, &out.noticeGaps);
    while (std::getline(in, line) && line.find("jpeg ring") == std::string::npos) {
        const size_t c = line.find("channel ");
        unsigned chn;
        uint64_t bytesOf, keys;
        ChannelSummary s;
        if (c != std::string::npos &&
            std::sscanf(line.c_str() + c,
                        "channel %u: %" SCNu64 " frames, %" SCNu64 " bytes, %" SCNu64 " key frames, %" SCNu64
                        " sequence gaps, %" SCNu64 " restarts",
                        &chn, &s.frames, &bytesOf, &keys, &s.gaps, &s.restarts) == 6) {
            out.channels[chn] = s;
        }
    }
    return out;
}

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
    std::ofstream(script) << "setup\nrings\ncapture 0\ncapture 1\nsleep 1200\n"
                          << "setup\ncapture 0\ncapture 1\nsleep 1500\n";
    ASSERT_TRUE(m_master.Start(MASTER_TOOL, m_bus, m_bus + "/master.log", 0,
                               {"--bus", m_bus, "--wait", "10", "--timeout", "5000", "--script", script,
                                "--duration", "0", "--quiet"}));
    ASSERT_EQ(m_master.WaitExit(60000), 0) << m_master.Log();
    const std::string master = m_master.Log();
    const std::string slave = m_slave.Log();
    EXPECT_EQ(master.find("command 10 again"), std::string::npos) << master;
    // Four capture commands (two channels, twice), each answered 0.
    size_t captures = 0;
    std::istringstream lines(master);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("main stream (input") == std::string::npos) continue;
        ++captures;
        EXPECT_EQ(line.substr(line.size() - 4), "): 0") << line;
    }
    EXPECT_EQ(captures, 4u) << master;
    const VideoSummary video = ReadVideoSummary(master);
    EXPECT_GT(video.notices, 0u) << master;
    EXPECT_EQ(video.noticeGaps, 0u) << "the sender kept its sequence across the set-up\n" << master;
    // Each main stream (encoder channels 0 and 2) ran before the second set-up and after it: its
    // encoder was made again, so its sequence started again, in the same ring.
    for (unsigned chn : {0u, 2u}) {
        ASSERT_TRUE(video.channels.count(chn)) << chn << "\n" << master << slave;
        EXPECT_GE(video.channels.at(chn).restarts, 1u) << "no frames after the second set-up on " << chn << "\n"
                                                       << master << slave;
        EXPECT_GE(video.channels.at(chn).frames, 10u) << chn;
    }
    EXPECT_EQ(slave.find("no local buffer"), std::string::npos) << slave;
    EXPECT_EQ(slave.find("sender runs"), std::string::npos) << slave;
    EXPECT_TRUE(m_slave.Alive());
}

}  // namespace
