// The media set-up in a live session: command 96 gives the stream senders their buffers, and a
// repeated 96 rebuilds the pools under senders that the master starts again.
#include <string>

#include <gtest/gtest.h>

#include "app/pci/pciv_host.h"
#include "tests/master_link/link_fixture.h"

namespace {

using varnelle::master::Ring;

// Lines the set-up prints when one of its steps fails.
const char* const kSetupFailures[] = {
    "init sys fail",        "failed!",          "MK_MPI_VB_CreatePool err", "failed at SAMPLE_COMM",
    "GetBaseWindow error", "failed with",      "is out of range",
};

class SetupProcessTest : public varnelle::testing::MasterLinkTest {
protected:
    void ExpectNoSetupFailure() {
        std::string log = m_slave.Log();
        for (const char* line : kSetupFailures) EXPECT_EQ(log.find(line), std::string::npos) << line << "\n" << log;
    }
    int Start(uint32_t code, const Ring& r) {
        PCIV_TRANS_PARAM_S p{0, 0, r.size, r.phys, r.noticePort, r.ackPort};
        return m_sim->Command(code, &p, sizeof(p));
    }
};

TEST_F(SetupProcessTest, StreamSendersAnswerAfterEverySetUp) {
    Connect();
    ASSERT_EQ(m_sim->SendSetup(0, 1920, 1080), 0) << m_masterLog.str();
    const uint32_t vsize = 3u << 20, jsize = 1u << 20;
    Ring video{"video", m_sim->AllocRing(vsize), vsize, PCIV_HOST_PORT_VENC_NOTICE, PCIV_HOST_PORT_VENC_ACK};
    Ring jpeg{"jpeg", m_sim->AllocRing(jsize), jsize, PCIV_HOST_PORT_JPEG_NOTICE, PCIV_HOST_PORT_JPEG_ACK};
    ASSERT_NE(video.phys, 0u);
    ASSERT_NE(jpeg.phys, 0u);
    EXPECT_EQ(m_sim->StartRing(10, video), 0) << m_slave.Log();
    EXPECT_EQ(m_sim->StartRing(11, jpeg), 0) << m_slave.Log();
    ASSERT_TRUE(m_slave.WaitForLog("SampleSysInit enter", 1, 5000));
    // The set-up is done before the reply of 24 comes; nothing of it failed.
    ExpectNoSetupFailure();
    // A second set-up: the senders let their blocks go, the master starts them again.
    ASSERT_EQ(PcivHostSendSysParams(), 0);
    ASSERT_EQ(PcivHostGraphicsSetResolution(1280, 720), 0);
    EXPECT_EQ(m_slave.CountInLog("SampleSysInit enter"), 2u);
    EXPECT_EQ(Start(10, video), 0) << m_slave.Log();
    EXPECT_EQ(Start(11, jpeg), 0) << m_slave.Log();
    ExpectNoSetupFailure();
    ExpectServing();
}

}  // namespace
