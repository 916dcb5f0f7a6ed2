#include "platform/mcc/mcc_driver.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/host/test_bus.h"

#include "platform/dev/dev.h"
#include "platform/mcc/mcc_uapi.h"

namespace varnelle::mcc {
namespace {

// The test plays chip 0 with raw sockets, so the wire framing is checked as other tools see it.
class MccTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        varnelle::host::UsePrivateBus("mcc");
        setenv("VARNELLE_CHIP", "1", 1);
        InstallMccDriver();
    }

    void TearDown() override {
        for (int fd : m_fds) dev::Close(fd);
        if (m_listen >= 0) {
            ::close(m_listen);
            ::unlink(SocketPath(0).c_str());
        }
    }

    int OpenPort(int target, int port) {
        int fd = dev::Open("/dev/mcc_userdev", O_RDWR);
        EXPECT_GE(fd, 3);
        MCC_HANDLE_ATTR_S attr;
        EXPECT_EQ(dev::Ioctl(fd, MK_MCC_IOC_ATTR_INIT, &attr), 0);
        attr.target_id = target;
        attr.port = port;
        attr.priority = 2;
        EXPECT_EQ(dev::Ioctl(fd, MK_MCC_IOC_CONNECT, &attr), 0);
        m_fds.push_back(fd);
        return fd;
    }

    void ListenAsChip0() {
        m_listen = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, SocketPath(0).c_str());
        ASSERT_EQ(::bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
        ASSERT_EQ(::listen(m_listen, 8), 0);
    }

    static int ConnectToChip1() {
        int s = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, SocketPath(1).c_str());
        EXPECT_EQ(::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
        return s;
    }

    static std::vector<uint8_t> Record(uint32_t source, uint32_t port, const std::string& body) {
        std::vector<uint8_t> r(8 + body.size());
        for (int i = 0; i < 4; ++i) {
            r[i] = static_cast<uint8_t>(source >> (8 * i));
            r[4 + i] = static_cast<uint8_t>(port >> (8 * i));
        }
        std::memcpy(r.data() + 8, body.data(), body.size());
        return r;
    }

    std::vector<int> m_fds;
    int m_listen = -1;
};

TEST_F(MccTest, ConnectionCheckFollowsThePeersSocket) {
    int fd = OpenPort(0, 1000);
    MCC_HANDLE_ATTR_S attr{};
    attr.target_id = 0;
    EXPECT_EQ(dev::Ioctl(fd, MK_MCC_IOC_CHECK, &attr), -1);
    ListenAsChip0();
    EXPECT_EQ(dev::Ioctl(fd, MK_MCC_IOC_CHECK, &attr), 0);
    EXPECT_EQ(dev::Ioctl(fd, MK_MCC_IOC_GET_LOCAL_ID, &attr), 1);
    ASSERT_EQ(dev::Ioctl(fd, MK_MCC_IOC_GET_REMOTE_ID, &attr), 0);
    EXPECT_EQ(attr.remote_id[0], 0);
    EXPECT_EQ(attr.remote_id[1], -1);
}

TEST_F(MccTest, WritesAreFramedWithSourceAndPort) {
    ListenAsChip0();
    int fd = OpenPort(0, 100);
    std::string msg(4112, 'x');
    msg[0] = 'A';
    ASSERT_EQ(dev::Write(fd, msg.data(), msg.size()), 4112);
    int peer = ::accept(m_listen, nullptr, nullptr);
    ASSERT_GE(peer, 0);
    std::vector<uint8_t> buf(9000);
    ssize_t n = ::recv(peer, buf.data(), buf.size(), 0);
    ASSERT_EQ(n, 8 + 4112);
    EXPECT_EQ(buf[0], 1);  // source chip
    EXPECT_EQ(buf[4], 100);  // port
    EXPECT_EQ(buf[8], 'A');
    EXPECT_EQ(dev::Write(fd, msg.data(), 4113), -1);
    EXPECT_EQ(errno, EMSGSIZE);
    ::close(peer);
}

TEST_F(MccTest, MessagesSentBeforeThePortOpensWaitForIt) {
    int peer = ConnectToChip1();
    auto r = Record(0, 150, "early bird");
    ASSERT_EQ(::send(peer, r.data(), r.size(), 0), static_cast<ssize_t>(r.size()));
    auto junk = Record(0, 150, "");  // prefix only: not a message
    ::send(peer, junk.data(), junk.size(), 0);
    auto r2 = Record(0, 150, "second");
    ::send(peer, r2.data(), r2.size(), 0);
    while (QueuedMessages(0, 150) < 2) std::this_thread::yield();
    int fd = OpenPort(0, 150);
    pollfd p{fd, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 1000), 1);
    char buf[64] = {};
    ASSERT_EQ(dev::Read(fd, buf, sizeof(buf)), 10);
    EXPECT_STREQ(buf, "early bird");
    std::memset(buf, 0, sizeof(buf));
    ASSERT_EQ(dev::Read(fd, buf, sizeof(buf)), 6);
    EXPECT_STREQ(buf, "second");
    EXPECT_EQ(poll(&p, 1, 0), 0);
    ::close(peer);
}

TEST_F(MccTest, ReadBlocksUntilAMessageArrives) {
    int fd = OpenPort(0, 160);
    std::thread sender([] {
        int peer = ConnectToChip1();
        auto r = Record(0, 160, "late");
        ::send(peer, r.data(), r.size(), 0);
        ::close(peer);
    });
    char buf[16] = {};
    EXPECT_EQ(dev::Read(fd, buf, sizeof(buf)), 4);
    EXPECT_STREQ(buf, "late");
    sender.join();
}

TEST_F(MccTest, UnboundDescriptorsNeitherReadNorWrite) {
    int fd = dev::Open("/dev/mcc_userdev", O_RDWR);
    ASSERT_GE(fd, 3);
    char b[4];
    EXPECT_EQ(dev::Write(fd, "abcd", 4), -1);
    EXPECT_EQ(errno, ENOTCONN);
    EXPECT_EQ(dev::Read(fd, b, 4), -1);
    EXPECT_EQ(errno, ENOTCONN);
    MCC_HANDLE_ATTR_S attr{};
    attr.target_id = 32;
    EXPECT_EQ(dev::Ioctl(fd, MK_MCC_IOC_CONNECT, &attr), -1);
    EXPECT_EQ(dev::Ioctl(fd, MK_MCC_IOC_CONNECT, nullptr), -1);
    EXPECT_EQ(errno, EFAULT);
    dev::Close(fd);
}

// Sends `count` records of `size` message bytes on one connection and waits until the driver has
// sorted every one of them (kept or dropped).
void SendMany(int peer, uint32_t source, uint32_t port, size_t size, size_t count) {
    std::vector<uint8_t> r(8 + size, 0x33);
    for (int i = 0; i < 4; ++i) {
        r[i] = static_cast<uint8_t>(source >> (8 * i));
        r[4 + i] = static_cast<uint8_t>(port >> (8 * i));
    }
    for (size_t i = 0; i < count; ++i) ASSERT_EQ(::send(peer, r.data(), r.size(), 0), static_cast<ssize_t>(r.size()));
}

void WaitSorted(int source, int port, uint64_t total) {
    while (QueuedMessages(source, port) + DroppedMessages(source, port) < total) std::this_thread::yield();
}

// Reads every message of (target, port) without blocking and closes the descriptor.
size_t Drain(int target, int port) {
    int fd = dev::Open("/dev/mcc_userdev", O_RDWR | O_NONBLOCK);
    MCC_HANDLE_ATTR_S attr{};
    attr.target_id = target;
    attr.port = port;
    EXPECT_EQ(dev::Ioctl(fd, MK_MCC_IOC_CONNECT, &attr), 0);
    std::vector<uint8_t> buf(kMccMaxMessage);
    size_t n = 0;
    while (dev::Read(fd, buf.data(), buf.size()) > 0) ++n;
    EXPECT_EQ(errno, EAGAIN);
    dev::Close(fd);
    return n;
}

TEST_F(MccTest, QueuesHoldAtMost8192MessagesOr8MiBAndCountWhatTheyDrop) {
    int peer = ConnectToChip1();
    ::testing::internal::CaptureStderr();
    // Small messages: the count is the limit.
    SendMany(peer, 0, 170, 16, 8192 + 10);
    WaitSorted(0, 170, 8192 + 10);
    EXPECT_EQ(QueuedMessages(0, 170), 8192u);
    EXPECT_EQ(DroppedMessages(0, 170), 10u);
    // Messages of the largest size: 8 MiB holds 2040 of 4112 bytes (2041 would be 8,392,592 bytes).
    SendMany(peer, 2, 171, 4112, 2100);
    WaitSorted(2, 171, 2100);
    EXPECT_EQ(QueuedMessages(2, 171), 2040u);
    EXPECT_EQ(DroppedMessages(2, 171), 60u);
    EXPECT_EQ(QueuedMessages(0, 171), 0u) << "queues are per source chip";
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2) << "one line for each queue's first drop:\n" << err;
    EXPECT_NE(err.find("no room for messages of source chip 0 port 170 (8192 queued"), std::string::npos) << err;

    // A message read makes room for one more; the counts go on from where they were.
    EXPECT_EQ(Drain(0, 170), 8192u);
    SendMany(peer, 0, 170, 16, 1);
    WaitSorted(0, 170, 11);
    EXPECT_EQ(QueuedMessages(0, 170), 1u);
    EXPECT_EQ(DroppedMessages(0, 170), 10u);
    EXPECT_EQ(Drain(0, 170), 1u);
    EXPECT_EQ(Drain(2, 171), 2040u);
    EXPECT_EQ(QueuedBytes(), 0u);
    ::close(peer);
}

TEST_F(MccTest, AllQueuesTogetherHoldAtMost64MiB) {
    int peer = ConnectToChip1();
    // Eight full queues of 4112-byte messages take 67,107,840 bytes; one more message would pass
    // 64 MiB (67,108,864 bytes).
    for (uint32_t port = 180; port < 188; ++port) {
        SendMany(peer, 0, port, 4112, 2040);
        WaitSorted(0, static_cast<int>(port), 2040);
        ASSERT_EQ(DroppedMessages(0, static_cast<int>(port)), 0u) << port;
    }
    EXPECT_EQ(QueuedBytes(), 67107840u);
    SendMany(peer, 0, 190, 4112, 1);
    WaitSorted(0, 190, 1);
    EXPECT_EQ(DroppedMessages(0, 190), 1u);
    SendMany(peer, 0, 190, 1024, 1);
    WaitSorted(0, 190, 2);
    EXPECT_EQ(QueuedMessages(0, 190), 1u) << "a message that still fits is kept";
    for (int port = 180; port < 188; ++port) EXPECT_EQ(Drain(0, port), 2040u);
    EXPECT_EQ(Drain(0, 190), 1u);
    EXPECT_EQ(QueuedBytes(), 0u);
    ::close(peer);
}

TEST_F(MccTest, RecordsOutsideTheChannelAreDroppedAtOnce) {
    int peer = ConnectToChip1();
    uint64_t before = DroppedOutsideChannel();
    struct Case {
        uint32_t source, port;
    } cases[] = {{0, 99}, {0, 228}, {0, 5000}, {32, 150}, {0xFFFFFFFFu, 150}, {0, 0x80000064u}};
    for (const Case& c : cases) SendMany(peer, c.source, c.port, 16, 1);
    SendMany(peer, 31, 227, 16, 1);  // the last chip and port of the channel
    WaitSorted(31, 227, 1);
    EXPECT_EQ(DroppedOutsideChannel() - before, std::size(cases));
    EXPECT_EQ(QueuedMessages(0, 99), 0u);
    EXPECT_EQ(QueuedMessages(0, 228), 0u);
    EXPECT_EQ(Drain(31, 227), 1u);
    ::close(peer);
}

TEST_F(MccTest, NonBlockingDescriptorSaysEagainInsteadOfWaiting) {
    int fd = dev::Open("/dev/mcc_userdev", O_RDWR | O_NONBLOCK);
    ASSERT_GE(fd, 3);
    MCC_HANDLE_ATTR_S attr{};
    attr.target_id = 0;
    attr.port = 200;
    ASSERT_EQ(dev::Ioctl(fd, MK_MCC_IOC_CONNECT, &attr), 0);
    char buf[32] = {};
    EXPECT_EQ(dev::Read(fd, buf, sizeof(buf)), -1);
    EXPECT_EQ(errno, EAGAIN);
    int peer = ConnectToChip1();
    auto r = Record(0, 200, "now");
    ASSERT_EQ(::send(peer, r.data(), r.size(), 0), static_cast<ssize_t>(r.size()));
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    EXPECT_EQ(dev::Read(fd, buf, sizeof(buf)), 3);
    EXPECT_EQ(dev::Read(fd, buf, sizeof(buf)), -1);
    EXPECT_EQ(errno, EAGAIN);
    dev::Close(fd);
    ::close(peer);
}

TEST_F(MccTest, WriteToAbsentChipFails) {
    int fd = OpenPort(7, 100);
    EXPECT_EQ(dev::Write(fd, "x", 1), -1);
}

}  // namespace
}  // namespace varnelle::mcc
