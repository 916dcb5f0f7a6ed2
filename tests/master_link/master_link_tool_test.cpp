// The varnelle-master tool itself against the program, both as child processes on a private bus.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "tests/master_link/slave_process.h"

namespace {

using varnelle::testing::SlaveProcess;

class MasterLinkToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_bus = varnelle::testing::MakePrivateBus("tool");
        ASSERT_FALSE(m_bus.empty());
        ASSERT_TRUE(m_slave.Start(VARNELLE_PROGRAM, m_bus, m_bus + "/slave.log"));
    }
    void TearDown() override {
        m_master.Kill();
        m_slave.Kill();
        varnelle::testing::RemoveBus(m_bus);
    }
    // Runs the tool to its end; its exit status.
    int RunTool(const std::vector<std::string>& args) {
        std::vector<std::string> all = {"--bus", m_bus, "--wait", "10", "--timeout", "5000"};
        all.insert(all.end(), args.begin(), args.end());
        if (!m_master.Start(MASTER_TOOL, m_bus, m_bus + "/master.log", 0, all)) return -1;
        return m_master.WaitExit(60000);
    }

    std::string m_bus;
    SlaveProcess m_slave;
    SlaveProcess m_master;
};

TEST_F(MasterLinkToolTest, BurstScenarioIsAnsweredAndHeartbeatsArePrinted) {
    ASSERT_EQ(RunTool({"--scenario", "burst", "--duration", "1"}), 0) << m_master.Log();
    std::string log = m_master.Log();
    EXPECT_NE(log.find("burst: 2000 of 2000 commands answered with result 0"), std::string::npos) << log;
    EXPECT_NE(log.find("command 24 (standard 0): result 0"), std::string::npos) << log;
    EXPECT_GE(m_master.CountInLog("heartbeat "), 5u) << log;
    size_t at = log.find("summary: ");
    ASSERT_NE(at, std::string::npos) << log;
    EXPECT_GE(std::strtoul(log.c_str() + at + 9, nullptr, 10), 5u) << log.substr(at);
    EXPECT_TRUE(m_slave.Alive());
}

TEST_F(MasterLinkToolTest, ScriptFileRunsAndABadLineFailsTheSession) {
    std::string good = m_bus + "/good.txt";
    std::ofstream(good) << "setup\ntime\ncmd 34 0 0\nheartbeats 2\n";
    ASSERT_EQ(RunTool({"--script", good, "--duration", "0", "--quiet"}), 0) << m_master.Log();
    EXPECT_EQ(m_master.CountInLog("heartbeat "), 0u) << "--quiet prints no heartbeat lines";
    EXPECT_NE(m_master.Log().find("command 34 (8 bytes): result"), std::string::npos) << m_master.Log();

    std::string bad = m_bus + "/bad.txt";
    std::ofstream(bad) << "time\nfly 3\n";
    EXPECT_EQ(RunTool({"--script", bad, "--duration", "0", "--quiet"}), 1);
    EXPECT_NE(m_master.Log().find("line 2: unknown verb 'fly'"), std::string::npos) << m_master.Log();
    EXPECT_TRUE(m_slave.Alive());
}

// Every channel's main stream, started the way the product wires its inputs: encoder channel 2c.
TEST_F(MasterLinkToolTest, StreamScenarioStartsEveryChannelsMainStream) {
    const std::string out = m_bus + "/out";
    ASSERT_EQ(RunTool({"--scenario", "stream", "--duration", "2", "--quiet", "--out", out}), 0) << m_master.Log();
    for (int c = 0; c < 8; ++c) {
        std::error_code ec;
        EXPECT_GT(std::filesystem::file_size(out + "/venc-" + std::to_string(2 * c) + ".h264", ec), 1000u)
            << "channel " << c << "\n" << m_master.Log();
    }
    EXPECT_TRUE(m_slave.Alive());
}

TEST_F(MasterLinkToolTest, CaptureVerbStartsTheChannelsMainStream) {
    const std::string out = m_bus + "/out", script = m_bus + "/capture.txt";
    std::ofstream(script) << "setup\nrings\ncapture 3\nsleep 1500\n";
    ASSERT_EQ(RunTool({"--script", script, "--duration", "0", "--quiet", "--out", out}), 0) << m_master.Log();
    std::error_code ec;
    EXPECT_GT(std::filesystem::file_size(out + "/venc-6.h264", ec), 1000u) << m_master.Log();
    EXPECT_FALSE(std::filesystem::exists(out + "/venc-0.h264")) << "only channel 3 was started";
}

TEST_F(MasterLinkToolTest, BadOptionsAreRefusedWithUsage) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--scenario", "dance"}, {"--chip", "0"}, {"--duration"}, {"--frobnicate"}}) {
        EXPECT_EQ(RunTool(args), 2);
        EXPECT_NE(m_master.Log().find("usage: varnelle-master"), std::string::npos) << m_master.Log();
    }
}

}  // namespace
