// Detection in a live session: the blind bit of a channel showing the black lost-signal picture and
// the motion bit of its live test pattern reach the master in the heartbeat, merged into its state.
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/pci/pciv_host.h"
#include "platform/host/clock.h"
#include "tests/master_link/link_fixture.h"

namespace {

class AlarmProcessTest : public varnelle::testing::MasterLinkTest {
protected:
    int Cmd(uint32_t code, std::vector<uint32_t> words) {
        return m_sim->Command(code, words.data(), static_cast<uint32_t>(4 * words.size()));
    }
    // Waits until `bit` of the master's merged bitmap has `value`; the milliseconds it took, or -1.
    static int64_t WaitBit(const std::atomic<uint32_t>& bitmap, uint32_t bit, bool value, int64_t timeoutMs) {
        const uint64_t start = varnelle::host::MonotonicMs();
        for (;;) {
            const int64_t took = static_cast<int64_t>(varnelle::host::MonotonicMs() - start);
            if (((bitmap.load() >> bit) & 1u) == static_cast<uint32_t>(value)) return took;
            if (took > timeoutMs) return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
};

TEST_F(AlarmProcessTest, BlindAndMotionBitsReachTheMaster) {
    Connect();
    // System type 0 wires every channel to capture channel 0, which command 93 then configures.
    PcivHostGetState()->stSysParam.u32SysType = 0;
    ASSERT_EQ(m_sim->SendSetup(0, 1920, 1080), 0) << m_masterLog.str();
    m_sim->StartHeartbeats();
    PCIV_HOST_STATE_S* host = PcivHostGetState();
    ASSERT_EQ(Cmd(26, {0, 0}), 0);
    ASSERT_EQ(Cmd(92, {0, 0}), 0);
    // Channel 0's capture channel configured; the set-up switches its lost-signal picture on.
    ASSERT_EQ(Cmd(93, {0, 0, 0, 0}), 0);
    ASSERT_EQ(Cmd(90, {0, 3, 1}), 0);
    ASSERT_EQ(Cmd(91, {}), 0);
    const int64_t blindMs = WaitBit(host->u32Blind, 0, true, 4000);
    EXPECT_GE(blindMs, 0) << m_slave.Log();
    EXPECT_LE(blindMs, 2000) << "the blind bit rises within 2 s";
    // The input carries a signal again: the live picture is not blind.
    ASSERT_EQ(Cmd(87, {0, 2, 25}), 0);
    EXPECT_GE(WaitBit(host->u32Blind, 0, false, 5000), 0) << m_slave.Log();

    // Every cell watched: the test pattern's moving bar is motion, the still black picture none.
    std::vector<uint32_t> motion(22, 0);
    motion[1] = 6;
    for (int r = 0; r < 12; ++r) motion[2 + r] = 0xFFFF;
    motion[21] = 1;
    ASSERT_EQ(Cmd(88, motion), 0);
    ASSERT_EQ(Cmd(89, {}), 0);
    EXPECT_GE(WaitBit(host->u32Motion, 0, true, 6000), 0) << m_slave.Log();
    ASSERT_EQ(Cmd(95, {0, 1}), 0);
    EXPECT_GE(WaitBit(host->u32Motion, 0, false, 6000), 0) << m_slave.Log();
    ExpectServing();
}

}  // namespace
