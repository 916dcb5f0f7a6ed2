#include "platform/dev/dev.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/dev/driver.h"

namespace varnelle::dev {
namespace {

constexpr unsigned long kEcho = _IOWR('T', 1, int);
constexpr unsigned long kReady = _IOW('T', 2, int);
constexpr int kSdkCode = static_cast<int>(0xA0078010u);

class EchoDriver : public Driver {
public:
    EchoDriver() : Driver("/dev/test_echo") {}
    int Ioctl(File& file, unsigned long request, void* arg) override {
        int v = 0;
        switch (request) {
            case kEcho:
                if (CopyIn(&v, arg) != 0) return -1;
                return CopyOut(arg, v + 1);
            case kReady:
                if (CopyIn(&v, arg) != 0) return -1;
                file.SetReadable(v != 0);
                return 0;
            default:
                return Fail(ENOTTY);
        }
    }
};

std::shared_ptr<EchoDriver> Echo() {
    static auto driver = [] {
        auto d = std::make_shared<EchoDriver>();
        Registry::Register(d);
        return d;
    }();
    driver->ClearFaults();
    return driver;
}

TEST(DevSeamTest, SimulatedDescriptorsAreRealAndAboveTwo) {
    auto driver = Echo();
    int fd = Open("/dev/test_echo", O_RDWR);
    ASSERT_GE(fd, 3);
    EXPECT_EQ(Registry::Lookup(fd)->fd(), fd);
    int v = 41;
    EXPECT_EQ(Ioctl(fd, kEcho, &v), 0);
    EXPECT_EQ(v, 42);
    EXPECT_EQ(Ioctl(fd, _IO('T', 99)), -1);
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(Ioctl(fd, kEcho, nullptr), -1);
    EXPECT_EQ(errno, EFAULT);
    EXPECT_EQ(Close(fd), 0);
    EXPECT_EQ(Registry::Lookup(fd), nullptr);
}

TEST(DevSeamTest, ReadinessIsVisibleToPoll) {
    Echo();
    int fd = Open("/dev/test_echo", O_RDWR);
    ASSERT_GE(fd, 3);
    pollfd p{fd, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0);
    int on = 1;
    ASSERT_EQ(Ioctl(fd, kReady, &on), 0);
    EXPECT_EQ(poll(&p, 1, 0), 1);
    int off = 0;
    ASSERT_EQ(Ioctl(fd, kReady, &off), 0);
    EXPECT_EQ(poll(&p, 1, 0), 0);
    Close(fd);
}

TEST(DevSeamTest, InjectedFaultsFireTheGivenNumberOfTimes) {
    auto driver = Echo();
    struct Case {
        int code;
        int err;
        int want;
        int wantErrno;
    } cases[] = {
        {kSdkCode, 0, kSdkCode, 0},
        {-1, EINTR, -1, EINTR},
    };
    int fd = Open("/dev/test_echo", O_RDWR);
    ASSERT_GE(fd, 3);
    for (const Case& c : cases) {
        driver->FailRequest(kEcho, c.code, 2, c.err);
        for (int i = 0; i < 2; ++i) {
            int v = 1;
            errno = 0;
            EXPECT_EQ(Ioctl(fd, kEcho, &v), c.want);
            if (c.wantErrno) {
                EXPECT_EQ(errno, c.wantErrno);
            }
            EXPECT_EQ(v, 1) << "a failed request must not reach the driver";
        }
        int v = 1;
        EXPECT_EQ(Ioctl(fd, kEcho, &v), 0);
        EXPECT_EQ(v, 2);
    }
    Close(fd);

    driver->FailOpen(EACCES, 1);
    EXPECT_EQ(Open("/dev/test_echo", O_RDWR), -1);
    EXPECT_EQ(errno, EACCES);
    fd = Open("/dev/test_echo", O_RDWR);
    EXPECT_GE(fd, 3);
    Close(fd);
}

TEST(DevSeamTest, ChipNodesWithoutDriverAreNeverOpenedOnTheHost) {
    EXPECT_EQ(Open("/dev/mem", O_RDWR), -1);
    EXPECT_EQ(errno, ENODEV);
    struct stat st;
    EXPECT_EQ(Stat("/dev/venc", &st), -1);
    // Other paths go to the real system calls.
    int fd = Open("/dev/null", O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Read(fd, &st, 1), 0);
    EXPECT_EQ(Close(fd), 0);
    Echo();
    ASSERT_EQ(Stat("/dev/test_echo", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
}

TEST(DevSeamTest, ConcurrentOpenRequestCloseKeepsCounts) {
    auto driver = Echo();
    int before = driver->OpenFiles();
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 300; ++i) {
                int fd = Open("/dev/test_echo", O_RDWR);
                int v = i;
                if (fd < 3 || Ioctl(fd, kEcho, &v) != 0 || v != i + 1 || Close(fd) != 0) ++failures;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(driver->OpenFiles(), before);
}

}  // namespace
}  // namespace varnelle::dev
