// The master's first call after enumeration keeps the enumerated chips (its own program, so that
// call really is the first).
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <gtest/gtest.h>

#include "app/pci/pciv_host.h"
#include "platform/mcc/mcc_driver.h"

namespace {

TEST(HostEnumTest, FirstMasterCallKeepsTheEnumeratedChips) {
    char tmpl[] = "/dev/shm/varnelle-hostenum-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    setenv("VARNELLE_BUS", tmpl, 1);
    setenv("VARNELLE_CHIP", "0", 1);
    varnelle::mcc::InstallMccDriver(0);
    // Chip 1 is present: its socket listens.
    int s = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, varnelle::mcc::SocketPath(1).c_str(), sizeof(a.sun_path) - 1);
    ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    ASSERT_EQ(::listen(s, 4), 0);

    ASSERT_EQ(PcivEnumChip(), 0);
    ASSERT_EQ(PcivGetChipTable()->u32RemoteNum, 1u);
    EXPECT_EQ(PcivHostGetReplyTimeout(), 0) << "waits for ever unless told otherwise";
    EXPECT_EQ(PcivHostSendSysParams(), -1) << "the command port is not open yet";
    EXPECT_EQ(PcivGetChipTable()->u32RemoteNum, 1u);
    EXPECT_EQ(PcivGetChipTable()->as32RemoteId[0], 1);
    EXPECT_EQ(PcivGetChipTable()->as32RemoteId[1], -1);
    ::close(s);
    std::filesystem::remove_all(tmpl);
}

}  // namespace
