// The simulator's own logic without a slave: scripts, ring placement, and that nothing waits for a
// slave that is not there.
#include "tools/varnelle-master/master_sim.h"

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include <gtest/gtest.h>

#include "platform/host/clock.h"
#include "platform/mem/ram.h"

namespace {

using varnelle::master::MasterSim;

class MasterSimTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char tmpl[] = "/dev/shm/varnelle-sim-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        s_bus = tmpl;
        setenv("VARNELLE_BUS", tmpl, 1);
    }
    static void TearDownTestSuite() { std::filesystem::remove_all(s_bus); }
    void SetUp() override {
        varnelle::master::SimOptions opt;
        opt.log = &m_log;
        opt.replyTimeoutMs = 200;
        m_sim = std::make_unique<MasterSim>(opt);
        ASSERT_EQ(m_sim->Open(), 0);
    }
    static std::string s_bus;
    std::ostringstream m_log;
    std::unique_ptr<MasterSim> m_sim;
};
std::string MasterSimTest::s_bus;

TEST_F(MasterSimTest, ScriptStopsAtTheFirstBadLineAndNamesIt) {
    struct Case {
        const char* script;
        int line;
    };
    const Case cases[] = {
        {"# only a comment\n\n   \n", 0},
        {"sleep 1\nbogus 1\n", 2},
        {"sleep 1\ncmd 200 12x\n", 2},
        {"cmd\n", 1},
        {"capture\n", 1},
        {"raw 200\n", 1},
        {"raw 200 5000\n", 1},
        {"sleep 0 # trailing comment\nrings 4294967295\n", 2},
        {"rings 65536 65536\nrings\n", 2},  // a second set would split the streams
        {"format 0 0 1 2 3\n", 1},
        {"format 0 0 1 0 0 2 25 1 2048 2 9\n", 1},
        {"idr 0\n", 1},
        {"font\n", 1},
        {"title 0 0 1 2 3 4 5 6 7 8 9\n", 1},
        {"title 0 0 1 2 3 4 5 6 7 8 9 x Cam\n", 1},
        // Refused by the absent slave, which only costs a line.
        {"font DejaVuSans\ntitle 0 1 1 8 8 96 48 0xFFFFFF 0 704 352 704 Cam 1|Door\nidr 0 0\n", 0},
    };
    for (const Case& c : cases) {
        std::istringstream in(c.script);
        EXPECT_EQ(m_sim->RunScript(in), c.line) << c.script << m_log.str();
    }
    EXPECT_NE(m_log.str().find("title channel 0 index 1 show 1 at 8,8 96x48: -1"), std::string::npos) << m_log.str();
}

TEST_F(MasterSimTest, RingsArePageAlignedInsideTheMastersRamAndRefusedBeyondIt) {
    uint32_t a = m_sim->AllocRing(1000);
    uint32_t b = m_sim->AllocRing(4096);
    ASSERT_NE(a, 0u);
    ASSERT_NE(b, 0u);
    EXPECT_EQ(a % varnelle::mem::kPageSize, 0u);
    EXPECT_EQ(b - a, varnelle::mem::kPageSize) << "1000 bytes take one page";
    EXPECT_GE(a, varnelle::mem::kRamBase);
    EXPECT_EQ(m_sim->AllocRing(0), 0u);
    EXPECT_EQ(m_sim->AllocRing(static_cast<uint32_t>(varnelle::mem::kMasterRamSize)), 0u);
    uint32_t c = m_sim->AllocRing(1u << 20);
    EXPECT_EQ(c, b + varnelle::mem::kPageSize) << "a refused ring takes nothing";
}

// A step whose wait gets nothing stops the script within the time-out (200 ms) with a line naming what
// did not come; once interrupted, every wait ends at once.
TEST_F(MasterSimTest, WaitsThatGetNothingEndWithALineAndInterruptEndsThemAtOnce) {
    struct Case {
        const char* script;
        int line;
        const char* says;
    };
    const Case cases[] = {
        {"sleep 0\nheartbeats 2\nsleep 0\n", 2, "line 2: heartbeat 1 did not come within 200 ms"},
        {"frames 3 5\n", 1,
         "line 1: channel 3 sent no frame within 200 ms (0 came; frame 4 after 0 restarts"},
    };
    for (const Case& c : cases) {
        const uint64_t missed = m_sim->Missed();
        const uint64_t t0 = varnelle::host::MonotonicMs();
        std::istringstream in(c.script);
        EXPECT_EQ(m_sim->RunScript(in), c.line) << c.script;
        EXPECT_LT(varnelle::host::MonotonicMs() - t0, 2000u) << c.script;
        EXPECT_EQ(m_sim->Missed(), missed + 1) << c.script;
        EXPECT_NE(m_log.str().find(c.says), std::string::npos) << m_log.str();
    }
    MasterSim::Interrupt();
    const uint64_t t0 = varnelle::host::MonotonicMs();
    std::istringstream in("# not a step\nsleep 60000\n");
    EXPECT_EQ(m_sim->RunScript(in), 2);
    EXPECT_EQ(m_sim->ConnectSlave(60000), -1);
    EXPECT_LT(varnelle::host::MonotonicMs() - t0, 2000u);
    EXPECT_NE(m_log.str().find("slave chip 1 did not appear before the interrupt"), std::string::npos)
        << m_log.str();
}

TEST_F(MasterSimTest, NothingWaitsForAnAbsentSlave) {
    uint64_t t0 = varnelle::host::MonotonicMs();
    EXPECT_EQ(m_sim->ConnectSlave(100), -1);
    EXPECT_EQ(m_sim->Command(34, nullptr, 0), -1) << "no command port";
    EXPECT_FALSE(m_sim->WaitHeartbeats(1, 50));
    EXPECT_LT(varnelle::host::MonotonicMs() - t0, 2000u);
}

}  // namespace
