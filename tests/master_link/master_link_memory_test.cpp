// Records for a port nobody opens: the slave keeps at most one queue's worth (8 MiB) and drops the
// rest, so its memory stays bounded. Left out of the ThreadSanitizer run, whose shadow memory would
// be counted too.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/pci/pciv_test_master.h"
#include "tests/master_link/link_fixture.h"

namespace {

using varnelle::testing::kSlave;

// The bound this test holds the slave to: its resident memory may grow by at most 24 MiB while 60,000
// records of the largest size (247 MB) arrive for an unopened port. The queue keeps 8 MiB of them; the
// rest is allocator overhead and slack. Before queues were bounded it grew by about 243 MB.
constexpr long kBoundKiB = 24 * 1024;

// A field of /proc/<pid>/status in KiB, or -1.
long StatusKiB(int pid, const char* field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field, 0) == 0) return std::strtol(line.c_str() + std::strlen(field), nullptr, 10);
    }
    return -1;
}

class MasterLinkMemoryTest : public varnelle::testing::MasterLinkTest {};

TEST_F(MasterLinkMemoryTest, SixtyThousandRecordsToAnUnopenedPortKeepMemoryBounded) {
    Connect();
    ExpectServing();
    long before = StatusKiB(m_slave.pid(), "VmRSS:");
    ASSERT_GT(before, 0);
    // One connection, so the command after the records is read after all of them.
    int s = varnelle::testing::ConnectChip(kSlave);
    ASSERT_GE(s, 0);
    std::vector<uint8_t> record(4112, 0x5A);
    for (int i = 0; i < 60000; ++i) {
        ASSERT_TRUE(varnelle::testing::SendRecordOn(s, 0, 150, record.data(), record.size())) << i;
    }
    uint32_t head[4] = {kSlave, 200, 0, 0};
    ASSERT_TRUE(varnelle::testing::SendRecordOn(s, 0, PCIV_MSGPORT_COMM, head, sizeof(head)));
    ::close(s);
    PCIV_MSG_S reply;
    ASSERT_EQ(PcivHostReadMsg(kSlave, PCIV_MSGPORT_COMM, &reply, 30000), 0) << "the slave kept serving";
    EXPECT_EQ(reply.stMsgHead.u32MsgType, 22u);
    long peak = StatusKiB(m_slave.pid(), "VmHWM:");
    long after = StatusKiB(m_slave.pid(), "VmRSS:");
    std::printf("resident memory: %ld KiB before, peak %ld KiB, %ld KiB after\n", before, peak, after);
    EXPECT_LE(peak - before, kBoundKiB) << "peak " << peak << " KiB, " << before << " KiB before";
    EXPECT_LE(after - before, kBoundKiB);
    // 8 MiB hold 2040 records of 4112 bytes; the other 57,960 are dropped, the first drop logged once.
    EXPECT_EQ(m_slave.CountInLog("no room for messages of source chip 0 port 150 (2040 queued in 8388480 bytes"),
              1u)
        << m_slave.Log();
    ExpectServing();
}

}  // namespace
