#include "base/mutex.h"

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

namespace {

TEST(CMutexTest, RecursiveMutexCountsEntriesAndExcludesOthers) {
    CMutex m(CMutex::kRecursive);
    ASSERT_TRUE(m.Enter());
    ASSERT_TRUE(m.Enter());
    auto otherTry = [&] {
        bool got = true;
        std::thread t([&] {
            got = m.TryEnter();
            if (got) m.Leave();
        });
        t.join();
        return got;
    };
    EXPECT_FALSE(otherTry());
    ASSERT_TRUE(m.Leave());
    EXPECT_FALSE(otherTry());
    ASSERT_TRUE(m.Leave());
    EXPECT_TRUE(otherTry());
}

TEST(CMutexTest, PlainMutexRefusesSecondTryEnter) {
    CMutex m;
    ASSERT_TRUE(m.TryEnter());
    bool got = true;
    std::thread t([&] { got = m.TryEnter(); });
    t.join();
    EXPECT_FALSE(got);
    EXPECT_TRUE(m.Leave());
}

TEST(CMutexTest, GuardSerialisesIncrements) {
    CMutex m;
    long counter = 0;
    std::thread threads[4];
    for (auto& t : threads) {
        t = std::thread([&] {
            for (int i = 0; i < 10000; ++i) {
                CGuard guard(m);
                ++counter;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 40000);
}

TEST(CRWLockTest, ReadersShareAndWriterExcludes) {
    CRWLock lock;
    ASSERT_TRUE(lock.EnterRead());
    bool otherRead = false, otherWrite = true;
    std::thread t([&] {
        otherRead = lock.TryEnterRead();
        if (otherRead) lock.LeaveRead();
        otherWrite = lock.TryEnterWrite();
    });
    t.join();
    EXPECT_TRUE(otherRead);
    EXPECT_FALSE(otherWrite);
    ASSERT_TRUE(lock.LeaveRead());
    ASSERT_TRUE(lock.EnterWrite());
    bool readDuringWrite = true;
    std::thread u([&] { readDuringWrite = lock.TryEnterRead(); });
    u.join();
    EXPECT_FALSE(readDuringWrite);
    EXPECT_TRUE(lock.LeaveWrite());
}

}  // namespace
