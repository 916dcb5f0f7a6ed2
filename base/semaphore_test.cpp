#include "base/semaphore.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "base/internal/test_event.h"
#include "platform/host/clock.h"

namespace {

using varnelle::base::testing::Event;

TEST(CSemaphoreTest, CountOneGivesOneImmediatePend) {
    CSemaphore sem(1);
    EXPECT_TRUE(sem.Pend(0));
    EXPECT_FALSE(sem.Pend(0));
    EXPECT_TRUE(sem.Post());
    EXPECT_TRUE(sem.Pend(0));
}

TEST(CSemaphoreTest, ForeverPendWaitsForAnotherThreadsPost) {
    CSemaphore sem(0);
    Event waiting;
    std::atomic<bool> got{false};
    std::thread waiter([&] {
        waiting.Set();
        got = sem.Pend(CSemaphore::kForever);
    });
    ASSERT_TRUE(waiting.Wait());
    sem.Post();
    waiter.join();
    EXPECT_TRUE(got.load());
}

TEST(CSemaphoreTest, TimedPendWaitsTheFullTimeOnTheMonotonicClock) {
    struct Case {
        uint32_t ms;
    } cases[] = {{20}, {150}, {1005}};
    for (const Case& c : cases) {
        CSemaphore sem(0);
        uint64_t start = varnelle::host::MonotonicUs();
        EXPECT_FALSE(sem.Pend(c.ms));
        uint64_t waited = varnelle::host::MonotonicUs() - start;
        EXPECT_GE(waited, c.ms * 1000u) << c.ms;
        EXPECT_LT(waited, c.ms * 1000u + 500000u) << c.ms;
    }
}

TEST(CSemaphoreTest, TimedPendSurvivesSignalsAndTakesLaterPost) {
    struct sigaction sa {};
    sa.sa_handler = [](int) {};
    sigaction(SIGUSR1, &sa, nullptr);
    CSemaphore sem(0);
    Event waiting;
    std::atomic<bool> got{false};
    std::thread waiter([&] {
        waiting.Set();
        got = sem.Pend(10000);
    });
    ASSERT_TRUE(waiting.Wait());
    for (int i = 0; i < 5; ++i) pthread_kill(waiter.native_handle(), SIGUSR1);
    sem.Post();
    waiter.join();
    EXPECT_TRUE(got.load());
}

TEST(CSemaphoreTest, ManyPostersAndPendersBalance) {
    CSemaphore sem(0);
    constexpr int kEach = 2000;
    std::thread posters[2], penders[2];
    for (auto& t : posters)
        t = std::thread([&] {
            for (int i = 0; i < kEach; ++i) sem.Post();
        });
    for (auto& t : penders)
        t = std::thread([&] {
            for (int i = 0; i < kEach; ++i) EXPECT_TRUE(sem.Pend());
        });
    for (auto& t : posters) t.join();
    for (auto& t : penders) t.join();
    EXPECT_FALSE(sem.Pend(0));
}

}  // namespace
