#include "platform/dev/journal.h"

#include <fcntl.h>
#include <sys/ioctl.h>

#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/dev/dev.h"
#include "platform/dev/driver.h"

namespace varnelle::dev {
namespace {

constexpr unsigned long kBindTo = _IOW('J', 1, int);
constexpr unsigned long kPing = _IO('J', 2);

class NamedFile : public File {
public:
    std::string BoundObject() const override { return id < 0 ? std::string() : "obj " + std::to_string(id); }
    int id = -1;
};

class NamingDriver : public Driver {
public:
    NamingDriver() : Driver("/dev/test_journal") {}
    std::unique_ptr<File> Open(int) override { return std::make_unique<NamedFile>(); }
    int Ioctl(File& file, unsigned long request, void* arg) override {
        auto& f = static_cast<NamedFile&>(file);
        if (request == kBindTo) return CopyIn(&f.id, arg);
        if (request == kPing) return f.id < 0 ? Fail(EPERM) : 0;
        return Fail(ENOTTY);
    }
};

std::shared_ptr<NamingDriver> Naming() {
    static auto driver = [] {
        auto d = std::make_shared<NamingDriver>();
        Registry::Register(d);
        return d;
    }();
    driver->ClearFaults();
    return driver;
}

TEST(JournalTest, RecordsNodeRequestBoundObjectAndResultInCallOrder) {
    auto driver = Naming();
    int fd = Open("/dev/test_journal", O_RDWR);
    ASSERT_GE(fd, 3);
    JournalStart();
    EXPECT_EQ(Ioctl(fd, kPing), -1);
    int id = 7;
    EXPECT_EQ(Ioctl(fd, kBindTo, &id), 0);
    EXPECT_EQ(Ioctl(fd, kPing), 0);
    driver->FailRequest(kPing, static_cast<int>(0xA0018010u));
    EXPECT_EQ(Ioctl(fd, kPing), static_cast<int>(0xA0018010u));
    std::vector<JournalEntry> got = JournalStop();
    ASSERT_EQ(got.size(), 4u);
    const JournalEntry want[] = {
        {"/dev/test_journal", kPing, "", -1},
        {"/dev/test_journal", kBindTo, "obj 7", 0},
        {"/dev/test_journal", kPing, "obj 7", 0},
        {"/dev/test_journal", kPing, "obj 7", static_cast<int>(0xA0018010u)},
    };
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].node, want[i].node) << i;
        EXPECT_EQ(got[i].request, want[i].request) << i;
        EXPECT_EQ(got[i].object, want[i].object) << i;
        EXPECT_EQ(got[i].result, want[i].result) << i;
    }
    Close(fd);
}

TEST(JournalTest, NothingIsRecordedWhileStoppedAndErrnoSurvivesRecording) {
    Naming();
    int fd = Open("/dev/test_journal", O_RDWR);
    ASSERT_GE(fd, 3);
    EXPECT_EQ(Ioctl(fd, kPing), -1);
    EXPECT_TRUE(JournalStop().empty());
    JournalStart();
    errno = 0;
    EXPECT_EQ(Ioctl(fd, kPing), -1);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(JournalTake().size(), 1u);
    EXPECT_EQ(Ioctl(fd, kPing), -1);
    EXPECT_EQ(JournalStop().size(), 1u);
    Close(fd);
}

TEST(JournalTest, ConcurrentRequestsAreEachRecordedOnce) {
    Naming();
    constexpr int kThreads = 4, kEach = 500;
    JournalStart();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            int fd = Open("/dev/test_journal", O_RDWR);
            int id = t;
            Ioctl(fd, kBindTo, &id);
            for (int i = 0; i < kEach; ++i) Ioctl(fd, kPing);
            Close(fd);
        });
    }
    for (auto& th : threads) th.join();
    std::vector<JournalEntry> got = JournalStop();
    ASSERT_EQ(got.size(), static_cast<size_t>(kThreads * (kEach + 1)));
    int perObject[kThreads] = {};
    for (const JournalEntry& e : got) {
        if (e.request != kPing) continue;
        ASSERT_EQ(e.object.rfind("obj ", 0), 0u);
        ++perObject[std::stoi(e.object.substr(4))];
    }
    for (int n : perObject) EXPECT_EQ(n, kEach);
}

}  // namespace
}  // namespace varnelle::dev
