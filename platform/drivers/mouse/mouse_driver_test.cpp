#include "platform/drivers/mouse/mouse_driver.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <thread>

#include "platform/dev/dev.h"

namespace {

using varnelle::drivers::MouseDriver;
namespace dev = varnelle::dev;

constexpr auto kWait = std::chrono::seconds(10);

bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

class MouseDriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        driver = MouseDriver::Get();
        ASSERT_NE(driver, nullptr);
        driver->Plug();
        driver->ClearFaults();
        uint8_t drain[4];
        int fd = dev::Open("/dev/mouse", O_RDONLY | O_NONBLOCK);
        while (dev::Read(fd, drain, 4) == 4) {}
        dev::Close(fd);
    }
    std::shared_ptr<MouseDriver> driver;
};

TEST_F(MouseDriverTest, NodeIsAChipNode) {
    EXPECT_TRUE(dev::IsChipNode("/dev/mouse"));
    struct stat st;
    ASSERT_EQ(dev::Stat("/dev/mouse", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    int fd = dev::Open("/dev/mouse", O_RDONLY);
    ASSERT_GE(fd, 3);
    EXPECT_EQ(dev::Ioctl(fd, 0x1234, nullptr), -1);
    EXPECT_EQ(errno, ENOTTY);
    dev::Close(fd);
}

TEST_F(MouseDriverTest, ReadBlocksUntilAPacketComes) {
    int fd = dev::Open("/dev/mouse", O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(Readable(fd));
    uint8_t got[4] = {};
    ssize_t n = 0;
    std::thread reader([&] { n = dev::Read(fd, got, 4); });
    ASSERT_TRUE(driver->WaitForWaiting(1, kWait));
    ASSERT_TRUE(driver->Inject(0x01, -3, 4, -1));
    reader.join();
    EXPECT_EQ(n, 4);
    EXPECT_EQ(got[0], 0x01);
    EXPECT_EQ(static_cast<int8_t>(got[1]), -3);
    EXPECT_EQ(static_cast<int8_t>(got[2]), 4);
    EXPECT_EQ(static_cast<int8_t>(got[3]), -1);
    dev::Close(fd);
}

TEST_F(MouseDriverTest, ReadableWhilePacketsWaitAndOnePacketPerRead) {
    int fd = dev::Open("/dev/mouse", O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    uint8_t buf[16];
    EXPECT_EQ(dev::Read(fd, buf, 4), -1);
    EXPECT_EQ(errno, EAGAIN);
    ASSERT_TRUE(driver->Inject(1, 1, 1, 1));
    ASSERT_TRUE(driver->Inject(2, 2, 2, 2));
    EXPECT_TRUE(Readable(fd));
    EXPECT_EQ(dev::Read(fd, buf, sizeof(buf)), 4) << "a larger read still gives one packet";
    EXPECT_EQ(buf[0], 1);
    EXPECT_TRUE(Readable(fd));
    EXPECT_EQ(dev::Read(fd, buf, 4), 4);
    EXPECT_EQ(buf[0], 2);
    EXPECT_FALSE(Readable(fd));
    EXPECT_EQ(dev::Read(fd, buf, 3), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(dev::Read(fd, nullptr, 4), -1);
    EXPECT_EQ(errno, EFAULT);
    dev::Close(fd);
}

TEST_F(MouseDriverTest, UnplugFailsReadsAndWakesWaitingOnes) {
    int fd = dev::Open("/dev/mouse", O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(driver->Inject(1, 0, 0, 0));
    driver->Unplug();
    EXPECT_EQ(driver->Queued(), 0u) << "an unplugged mouse keeps nothing";
    EXPECT_FALSE(driver->Inject(1, 0, 0, 0));
    uint8_t buf[4];
    EXPECT_EQ(dev::Read(fd, buf, 4), -1);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_TRUE(Readable(fd)) << "a read returns at once";

    driver->Plug();
    EXPECT_FALSE(Readable(fd));
    ssize_t n = 0;
    int err = 0;
    std::thread reader([&] {
        n = dev::Read(fd, buf, 4);
        err = errno;
    });
    ASSERT_TRUE(driver->WaitForWaiting(1, kWait));
    driver->Unplug();
    reader.join();
    EXPECT_EQ(n, -1);
    EXPECT_EQ(err, ENODEV);
    driver->Plug();
    dev::Close(fd);
}

TEST_F(MouseDriverTest, CloseWakesAWaitingRead) {
    int fd = dev::Open("/dev/mouse", O_RDONLY);
    ASSERT_GE(fd, 0);
    ssize_t n = 0;
    int err = 0;
    std::thread reader([&] {
        uint8_t buf[4];
        n = dev::Read(fd, buf, 4);
        err = errno;
    });
    ASSERT_TRUE(driver->WaitForWaiting(1, kWait));
    dev::Close(fd);
    reader.join();
    EXPECT_EQ(n, -1);
    EXPECT_EQ(err, EBADF);
}

TEST_F(MouseDriverTest, FaultsAndOverflow) {
    driver->FailOpen(EIO);
    EXPECT_EQ(dev::Open("/dev/mouse", O_RDONLY), -1);
    EXPECT_EQ(errno, EIO);
    int fd = dev::Open("/dev/mouse", O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    driver->FailRead(EINTR, 2);
    ASSERT_TRUE(driver->Inject(9, 0, 0, 0));
    uint8_t buf[4];
    EXPECT_EQ(dev::Read(fd, buf, 4), -1);
    EXPECT_EQ(errno, EINTR);
    EXPECT_EQ(dev::Read(fd, buf, 4), -1);
    EXPECT_EQ(dev::Read(fd, buf, 4), 4) << "the packet survives the failed reads";
    EXPECT_EQ(buf[0], 9);

    const uint64_t dropped = driver->Dropped();
    for (size_t i = 0; i < MouseDriver::kMaxQueued; ++i) ASSERT_TRUE(driver->Inject(1, 0, 0, 0));
    EXPECT_FALSE(driver->Inject(2, 0, 0, 0));
    EXPECT_EQ(driver->Dropped(), dropped + 1);
    const uint64_t delivered = driver->Delivered();
    while (dev::Read(fd, buf, 4) == 4) {}
    EXPECT_EQ(driver->Delivered(), delivered + MouseDriver::kMaxQueued);
    dev::Close(fd);
}

}  // namespace
