// The varnelle-master tool itself against the program, both as child processes on a private bus.
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "tests/master_link/master_summary.h"
#include "tests/master_link/shell.h"
#include "tests/master_link/slave_process.h"

namespace {

using varnelle::testing::Shell;
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

    // A script that sets the slave up and plays a 1080p clip larger than the decode slot's block (4 MiB)
    // through slot 0 with no display set up: the slave stops taking the stream once the decoder's
    // pictures go nowhere, so acknowledgements stop coming. "" when ffmpeg cannot make the clip.
    std::string StallingDecodeScript() {
        const std::string clip = m_bus + "/clip-1080p.h264";
        const std::string make =
            "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1920x1080:rate=25 -t 2 "
            "-pix_fmt yuv420p -c:v libx264 -preset ultrafast -qp 5 -g 25 -bf 0 ";
        int st = -1;
        Shell(make + clip, &st);
        std::error_code ec;
        if (st != 0 || std::filesystem::file_size(clip, ec) <= (4u << 20)) return "";
        const std::string script = m_bus + "/stall.txt";
        std::ofstream(script) << "setup\ndecode 0 " << clip << "\n";
        return script;
    }
    // The log's lines that hold every one of `words`.
    std::string LinesWith(const std::vector<std::string>& words) const {
        std::istringstream in(m_master.Log());
        std::string out;
        for (std::string line; std::getline(in, line);) {
            bool all = true;
            for (const std::string& w : words) all = all && line.find(w) != std::string::npos;
            if (all) out += line + "\n";
        }
        return out;
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

// The slave stops acknowledging the clip's fragments: the tool gives up within its time-out, names the
// notice whose acknowledgement did not come and fails, instead of waiting for ever.
TEST_F(MasterLinkToolTest, StalledDecodeEndsWithinTheTimeoutNamingTheMissingAcknowledgement) {
    const std::string script = StallingDecodeScript();
    if (script.empty()) GTEST_SKIP() << "ffmpeg with libx264 made no clip larger than 4 MiB";
    ASSERT_TRUE(m_master.Start(MASTER_TOOL, m_bus, m_bus + "/master.log", 0,
                               {"--bus", m_bus, "--wait", "10", "--timeout", "1000", "--script", script,
                                "--duration", "0", "--quiet"}));
    EXPECT_EQ(m_master.WaitExit(20000), 1) << m_master.Log() << m_slave.Log();
    EXPECT_NE(LinesWith({"decode slot 0: no acknowledgement of notice", "within 1000 ms"}), "")
        << m_master.Log();
    EXPECT_NE(m_master.Log().find("script stopped at line 2"), std::string::npos) << m_master.Log();
    EXPECT_NE(m_master.Log().find("summary: "), std::string::npos) << m_master.Log();
    EXPECT_TRUE(m_slave.Alive());
}

// SIGTERM or SIGINT while the tool waits (here for acknowledgements that would come only after a minute)
// ends it at once, with its summary and a failure.
TEST_F(MasterLinkToolTest, SignalEndsAWaitPromptlyWithTheSummary) {
    const std::string script = StallingDecodeScript();
    if (script.empty()) GTEST_SKIP() << "ffmpeg with libx264 made no clip larger than 4 MiB";
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig == SIGTERM ? "SIGTERM" : "SIGINT");
        ASSERT_TRUE(m_slave.Alive() || m_slave.Start(VARNELLE_PROGRAM, m_bus, m_bus + "/slave.log"));
        // A log of each round's own: the last round's lines are not this one's.
        ASSERT_TRUE(m_master.Start(MASTER_TOOL, m_bus, m_bus + "/master-" + std::to_string(sig) + ".log", 0,
                                   {"--bus", m_bus, "--wait", "10", "--timeout", "60000", "--script", script,
                                    "--duration", "0", "--quiet"}));
        ASSERT_TRUE(m_master.WaitForLog("decode slot 0: playing", 1, 20000))
            << m_master.Log() << m_slave.Log();
        ASSERT_EQ(::kill(m_master.pid(), sig), 0);
        EXPECT_EQ(m_master.WaitExit(2000), 1) << "not ended within 2 s of the signal\n" << m_master.Log();
        m_master.Kill();
        EXPECT_NE(LinesWith({"decode slot 0: ", "interrupt"}), "") << m_master.Log();
        EXPECT_NE(m_master.Log().find("summary: "), std::string::npos) << m_master.Log();
        // The slot's decoder stays stuck: the next round starts with a slave of its own.
        m_slave.Kill();
    }
}

// A frame wait counts only what it waits for: after a restart, none of the round before (here the
// capture is stopped, so nothing comes after the restart and the summary is empty), and while a restart
// of the sequence is awaited, not the frames of a channel that goes on without one. The time-out is
// long enough for the waits that must hold (set-up, the first frames) on a busy machine under
// ThreadSanitizer; only the wait that must fail takes all of it.
TEST_F(MasterLinkToolTest, FrameWaitsCountOnlyWhatTheyWaitFor) {
    struct Case {
        const char* name;
        const char* script;
        const char* says;
        bool nothingSince;  // the summary holds nothing: all it saw was before the restart
    };
    const Case cases[] = {
        {"restart", "setup\nrings\ncapture 0\nframes 0 10\ncmd 33 0 0\nrestart\nframes 0 10\n",
         "line 7: channel 0 sent no frame within 10000 ms (0 came; frame 9 after 0 restarts awaited)", true},
        {"no restart", "setup\nrings\ncapture 0\nframes 0 5\nframes 0 10 1\n",
         "line 5: channel 0 sent no frame within 10000 ms (", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string script = m_bus + "/" + c.name + ".txt";
        std::ofstream(script) << c.script;
        ASSERT_TRUE(m_master.Start(MASTER_TOOL, m_bus, m_bus + "/" + c.name + ".log", 0,
                                   {"--bus", m_bus, "--wait", "10", "--timeout", "10000", "--script", script,
                                    "--duration", "0", "--quiet"}));
        EXPECT_EQ(m_master.WaitExit(90000), 1) << m_master.Log() << m_slave.Log();
        m_master.Kill();
        const std::string log = m_master.Log();
        EXPECT_NE(log.find(c.says), std::string::npos) << log;
        if (c.nothingSince) {
            const varnelle::testing::RingSummary video = varnelle::testing::ReadVideoSummary(log);
            EXPECT_EQ(video.notices, 0u) << log;
            EXPECT_TRUE(video.channels.empty()) << log;
        }
    }
    EXPECT_TRUE(m_slave.Alive());
}

TEST_F(MasterLinkToolTest, BadOptionsAreRefusedWithUsage) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--scenario", "dance"}, {"--chip", "0"}, {"--duration"}, {"--frobnicate"}}) {
        EXPECT_EQ(RunTool(args), 2);
        EXPECT_NE(m_master.Log().find("usage: varnelle-master"), std::string::npos) << m_master.Log();
    }
}

}  // namespace
