// The slave program started before any master: it waits, saying so, stays up, and connects as soon
// as the master appears. Its own program, because the test process becomes the master only once.
#include <gtest/gtest.h>

#include <sstream>

#include "tests/master_link/slave_process.h"
#include "tools/varnelle-master/master_sim.h"

namespace {

TEST(MasterLinkStartupTest, WaitsForTheMasterStaysUpAndConnectsWhenItAppears) {
    std::string bus = varnelle::testing::MakePrivateBus("start");
    ASSERT_FALSE(bus.empty());
    varnelle::testing::SlaveProcess slave;
    ASSERT_TRUE(slave.Start(VARNELLE_PROGRAM, bus, bus + "/slave.log"));
    // It keeps waiting: the line comes again and again while the process stays alive.
    EXPECT_TRUE(slave.WaitForLog("wait for master chip connect!!!!", 5, 10000)) << slave.Log();
    EXPECT_TRUE(slave.Alive());
    EXPECT_EQ(slave.CountInLog("have checked pci target id:0 ok !"), 0u);

    std::ostringstream log;
    varnelle::master::SimOptions opt;
    opt.log = &log;
    opt.printBeats = false;
    varnelle::master::MasterSim sim(opt);
    ASSERT_EQ(sim.Open(), 0);
    EXPECT_TRUE(slave.WaitForLog("have checked pci target id:0 ok !", 1, 10000)) << slave.Log();
    ASSERT_EQ(sim.ConnectSlave(10000), 0) << log.str();
    uint32_t word = 0;
    EXPECT_EQ(sim.Command(200, &word, sizeof(word)), 0);
    sim.StartHeartbeats();
    EXPECT_TRUE(sim.WaitHeartbeats(3, 5000));
    EXPECT_TRUE(slave.Alive());
    sim.Stop();
    slave.Kill();
    varnelle::testing::RemoveBus(bus);
}

}  // namespace
