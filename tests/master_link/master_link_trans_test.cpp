// The stream transport into a ring in the master's RAM: the slave's sender (in a stand-in slave
// process) against the simulator's reader, which checks every byte and acknowledges each notice.
#include <atomic>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/host/clock.h"
#include "platform/host/test_bus.h"
#include "tests/master_link/slave_process.h"
#include "tests/master_link/trans_pattern.h"
#include "tools/varnelle-master/master_sim.h"

namespace {

using varnelle::master::MasterSim;
using varnelle::master::Ring;

struct TransCase {
    uint32_t ringSize;
    uint32_t maxChunk;
    uint32_t laps;  // how many times the stream fills the ring
};

class MasterLinkTransTest : public ::testing::TestWithParam<TransCase> {
protected:
    // The master's channel in this process listens on the first bus it opened: one bus for the whole
    // program, removed when it exits.
    static void SetUpTestSuite() { s_bus = varnelle::host::UsePrivateBus("trans"); }
    static std::string s_bus;
};
std::string MasterLinkTransTest::s_bus;

TEST_P(MasterLinkTransTest, EveryByteArrivesInOrderWhileTheRingWrapsManyTimes) {
    const TransCase c = GetParam();
    std::ostringstream log;
    varnelle::master::SimOptions opt;
    opt.log = &log;
    opt.printBeats = false;
    MasterSim sim(opt);
    ASSERT_EQ(sim.Open(), 0);
    Ring ring{"video", sim.AllocRing(c.ringSize), c.ringSize, PCIV_HOST_PORT_VENC_NOTICE,
              PCIV_HOST_PORT_VENC_ACK};
    ASSERT_NE(ring.phys, 0u);
    const uint64_t total = static_cast<uint64_t>(c.ringSize) * c.laps;

    std::atomic<uint64_t> checked{0};
    std::atomic<uint64_t> wrong{0};
    sim.SetDataSink([&](const Ring&, const uint8_t* data, size_t len) {
        uint64_t at = checked.load();
        for (size_t i = 0; i < len; ++i) wrong += data[i] != varnelle::testing::PatternByte(at + i);
        checked += len;
    });

    varnelle::testing::SlaveProcess peer;
    ASSERT_TRUE(peer.Start(TRANS_PEER, s_bus, s_bus + "/peer.log", 1,
                           {std::to_string(ring.phys), std::to_string(ring.size), std::to_string(total),
                            std::to_string(c.maxChunk)}));
    ASSERT_EQ(sim.ConnectSlave(10000), 0) << log.str() << peer.Log();
    sim.WatchRing(ring);

    uint64_t deadline = varnelle::host::MonotonicMs() + 30000;
    while (checked.load() < total && varnelle::host::MonotonicMs() < deadline && peer.Alive()) usleep(2000);
    EXPECT_EQ(peer.WaitExit(10000), 0) << peer.Log();
    sim.Stop();
    varnelle::master::RingStats s = sim.Stats("video");
    EXPECT_EQ(checked.load(), total) << "notices " << s.notices << " bad " << s.badNotices << " gaps "
                                     << s.seqGaps;
    EXPECT_EQ(s.bytes, total);
    EXPECT_EQ(wrong.load(), 0u) << "bytes lost, repeated or overwritten before they were read";
    EXPECT_EQ(s.seqGaps, 0u);
    EXPECT_EQ(s.badNotices, 0u);
    EXPECT_GE(s.wraps, c.laps - 1) << "the ring wrapped " << s.wraps << " times";
    EXPECT_NE(peer.Log().find("all acknowledged"), std::string::npos) << peer.Log();
}

INSTANTIATE_TEST_SUITE_P(Rings, MasterLinkTransTest,
                         ::testing::Values(TransCase{64 * 1024, 16 * 1024, 8},  // chunks up to a quarter ring
                                           TransCase{256 * 1024, 128 * 1024, 6},  // up to half the ring
                                           TransCase{1 << 20, 4096, 4}));         // many small notices

}  // namespace
