// The split in a live session with the master simulator's own settings: the set-up wires the
// product's inputs, command 26 starts the split and command 27 lays windows out without a failing
// step; a layout the table does not know is answered -1.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "app/pci/pciv_host.h"
#include "tests/master_link/link_fixture.h"

namespace {

class SplitProcessTest : public varnelle::testing::MasterLinkTest {
protected:
    int Layout(int32_t mode, int32_t page) {
        uint8_t p[280] = {};
        std::memcpy(p, &mode, 4);
        std::memcpy(p + 4, &page, 4);
        for (int k = 0; k < 32; ++k) {
            const uint16_t r[4] = {static_cast<uint16_t>(k * 40), 0, static_cast<uint16_t>(k * 40 + 480), 270};
            std::memcpy(p + 24 + 8 * k, r, sizeof(r));
        }
        PCIV_MSG_S reply;
        std::memset(&reply, 0, sizeof(reply));
        m_sim->Command(27, p, sizeof(p), &reply);
        // The reply's status; -100 when no reply came.
        return reply.stMsgHead.u32MsgType == 22 ? reply.stMsgHead.s32Result : -100;
    }
};

TEST_F(SplitProcessTest, DefaultSettingsLayOutWithoutFailures) {
    Connect();
    ASSERT_EQ(m_sim->SendSetup(0, 1920, 1080), 0) << m_masterLog.str();
    const uint32_t start[2] = {0, 0};
    EXPECT_EQ(m_sim->Command(26, start, sizeof(start)), 0);
    // The simulator's product wires its 8 inputs to distinct capture channels, so command 93 finds
    // capture channel 12 (channel 0 of system type 656) in the split records.
    const uint32_t chn[4] = {12, 14, 0, 0};
    ASSERT_EQ(m_sim->Command(93, chn, sizeof(chn)), 0);
    for (auto [mode, page] : {std::pair{5, 0}, std::pair{2, 1}, std::pair{0, 7}, std::pair{3, 0}}) {
        EXPECT_EQ(Layout(mode, page), 0) << mode << "/" << page;
    }
    EXPECT_EQ(Layout(16, 0), -1);
    EXPECT_EQ(Layout(2, -1), -1);
    const std::string log = m_slave.Log();
    for (const char* bad : {"failed with", "Comm_VoBindVpss failed", "HwSplitDevInit is not", "SplitCreate is not",
                            "no channel of this chip is captured"}) {
        EXPECT_EQ(log.find(bad), std::string::npos) << bad << "\n" << log;
    }
    ExpectServing();
}

}  // namespace
