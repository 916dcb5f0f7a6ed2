// A master that restarts: the master simulator tool sends the whole set-up, two channels' capture and a
// clip through decoder slot 0, then all of it again (command 96 first), to the running program. Every
// stream and the decode slot must come back, with one line for what the second set-up reset, no line
// storm and no fetch thread spinning on a descriptor that is gone.
#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/master_link/master_summary.h"
#include "tests/master_link/shell.h"
#include "tests/master_link/slave_process.h"

namespace {

using varnelle::testing::Shell;
using varnelle::testing::SlaveProcess;

constexpr int kClipFrames = 25;
// How long the second round runs.
constexpr int kSecondRoundMs = 3500;

// CPU time (user and system, in clock ticks) of the program's threads whose name starts with `prefix`.
uint64_t ThreadTicks(pid_t pid, const std::string& prefix) {
    uint64_t total = 0;
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return 0;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::string comm;
        std::getline(std::ifstream(dir + "/" + e->d_name + "/comm"), comm);
        if (comm.rfind(prefix, 0) != 0) continue;
        std::string stat;
        std::getline(std::ifstream(dir + "/" + e->d_name + "/stat"), stat);
        // Fields after the name in parentheses: state is field 3, utime 14, stime 15.
        std::istringstream in(stat.substr(stat.rfind(')') + 2));
        std::string field;
        uint64_t utime = 0, stime = 0;
        for (int i = 3; i <= 15 && in >> field; ++i) {
            if (i == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
            if (i == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
        }
        total += utime + stime;
    }
    closedir(d);
    return total;
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class RestartProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_bus = varnelle::testing::MakePrivateBus("restart");
        ASSERT_FALSE(m_bus.empty());
        m_trace = m_bus + "/trace";
        std::filesystem::create_directory(m_trace);
        int st = -1;
        Shell("ffmpeg -v error -y -f lavfi -i testsrc2=size=320x240:rate=25 -frames:v " +
                  std::to_string(kClipFrames) + " -c:v libx264 -g 25 -bf 0 -f h264 " + m_bus + "/clip.h264",
              &st);
        ASSERT_EQ(st, 0) << "ffmpeg made no clip";
        setenv("VARNELLE_TRACE", m_trace.c_str(), 1);
        // A zone named: with none, every time conversion of the program (the master's time, the inputs'
        // clocks) replaces glibc's zone name under a lock of glibc's own, which ThreadSanitizer cannot see.
        setenv("TZ", "UTC", 1);
        const bool started = m_slave.Start(VARNELLE_PROGRAM, m_bus, m_bus + "/slave.log");
        unsetenv("VARNELLE_TRACE");
        ASSERT_TRUE(started);
    }
    void TearDown() override {
        m_master.Kill();
        m_slave.Kill();
        varnelle::testing::RemoveBus(m_bus);
    }

    std::string m_bus, m_trace;
    SlaveProcess m_slave;
    SlaveProcess m_master;
};

TEST_F(RestartProcessTest, TheWholeSetUpSentAgainGivesEveryStreamAndTheDecodeSlotBack) {
    const std::string round = "rings\ncapture 0\ncapture 1\ndecode 0 " + m_bus + "/clip.h264\n";
    const std::string script = m_bus + "/restart.txt";
    std::ofstream(script) << "setup\n" << round << "sleep 1500\n"
                          << "setup\n" << round << "sleep " << kSecondRoundMs << "\n";
    ASSERT_TRUE(m_master.Start(MASTER_TOOL, m_bus, m_bus + "/master.log", 0,
                               {"--bus", m_bus, "--wait", "10", "--timeout", "5000", "--script", script,
                                "--duration", "0", "--quiet"}));
    // Once the second round has started both channels, the fetch threads get two seconds: a thread
    // failing on a descriptor that is gone would take a large share of a core.
    ASSERT_TRUE(m_master.WaitForLog("capture channel 1 main stream", 2, 60000)) << m_master.Log() << m_slave.Log();
    const long hz = sysconf(_SC_CLK_TCK);
    const uint64_t before = ThreadTicks(m_slave.pid(), "venc fetch") + ThreadTicks(m_slave.pid(), "jpeg fetch");
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const uint64_t spent = ThreadTicks(m_slave.pid(), "venc fetch") + ThreadTicks(m_slave.pid(), "jpeg fetch") - before;
    EXPECT_LT(spent, static_cast<uint64_t>(hz) * 2 / 5) << "the fetch threads used over 20% of a core";
    ASSERT_EQ(m_master.WaitExit(90000), 0) << m_master.Log();
    const std::string master = m_master.Log();
    EXPECT_EQ(Count(master, "command 10 again: video ring"), 1u) << master;
    EXPECT_NE(master.find("command 10 again: video ring of 3145728 bytes at"), std::string::npos) << master;
    // Four capture commands (two channels, twice), each answered 0.
    EXPECT_EQ(varnelle::testing::CaptureResults(master), std::vector<int>(4, 0)) << master;
    // Each main stream (encoder channels 0 and 2) ran before and after: its sequence started again.
    const auto video = varnelle::testing::ReadVideoSummary(master).channels;
    for (unsigned chn : {0u, 2u}) {
        ASSERT_TRUE(video.count(chn)) << chn << "\n" << master;
        EXPECT_GE(video.at(chn).restarts, 1u) << "no frames after the second set-up on " << chn << "\n" << master
                                              << m_slave.Log();
        EXPECT_GE(video.at(chn).frames, 2u) << chn;
    }
    // The decoder of slot 0 took the clip both times.
    std::ifstream trace(m_trace + "/vdec-0.log");
    std::string traced((std::istreambuf_iterator<char>(trace)), std::istreambuf_iterator<char>());
    EXPECT_GE(Count(traced, "packet seq="), 2u * kClipFrames) << traced.substr(0, 2000);
    // One line for what the second set-up reset, and no storm of lines.
    const std::string slave = m_slave.Log();
    EXPECT_EQ(Count(slave, "media system set up again"), 1u) << slave.substr(0, 4000);
    EXPECT_EQ(Count(slave, "select err"), 0u);
    EXPECT_LT(Count(slave, "\n"), 400u) << slave.substr(0, 4000);
    EXPECT_TRUE(m_slave.Alive());
}

}  // namespace
