#include "base/timer.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "base/internal/test_event.h"
#include "base/time.h"

namespace {

using varnelle::base::testing::Counter;
using varnelle::base::testing::Event;
using varnelle::base::testing::WaitUntil;

class TimerTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        CInfra::instance()->start();
        CInfra::instance()->start();  // a second start must not wait on the running timer thread
    }
};

// Repeated starts of the running timer thread return at once instead of waiting for it to end.
TEST_F(TimerTest, StartingTheRunningManagerAgainReturns) {
    auto done = std::make_shared<Event>();
    std::thread([done] {
        for (int i = 0; i < 3; ++i) EXPECT_TRUE(CTimerManager::instance()->Start());
        done->Set();
    }).detach();
    if (!done->Wait()) {
        std::fprintf(stderr, "a second CTimerManager::Start hangs\n");
        std::abort();
    }
    EXPECT_FALSE(CTimerManager::instance()->IsThreadOver());
}

// A one-shot timer that re-arms itself from its callback fires again, also when the callback goes on
// past the new due time: that firing waits for the callback to return instead of being lost.
TEST_F(TimerTest, OneShotReArmedFromItsOwnCallbackFiresEveryTime) {
    for (const uint32_t delay : {0u, 1u, 5u}) {
        constexpr int kTimes = 6;
        Counter fired, returned;
        CTimer timer("again");
        JobCallback again = [&](uintptr_t) {
            fired.Add();
            if (fired.Get() < kTimes) {
                timer.Start(again, delay);
                // Still busy when the new firing falls due.
                const uint64_t until = SystemGetMSCount64() + delay + 3;
                while (SystemGetMSCount64() < until) std::this_thread::yield();
            }
            returned.Add();  // the last touch of this iteration's locals
        };
        timer.Start(again, delay);
        EXPECT_TRUE(returned.WaitFor(kTimes)) << "delay " << delay << ": " << fired.Get() << " firings";
        ASSERT_TRUE(WaitUntil([&] { return timer.IsCalled() && !timer.IsStarted(); }));
        EXPECT_EQ(fired.Get(), kTimes);
    }
}

TEST_F(TimerTest, OneShotFiresOnceAfterItsDelayThenIsIdleAndCalled) {
    Counter fired;
    CTimer timer("oneshot");
    uint64_t start = SystemGetMSCount64();
    std::atomic<uint64_t> at{0};
    timer.Start(
        [&](uintptr_t arg) {
            EXPECT_EQ(arg, 5u);
            at = SystemGetMSCount64();
            fired.Add();
        },
        100, 0, 5);
    EXPECT_TRUE(timer.IsStarted());
    ASSERT_TRUE(fired.WaitFor(1));
    EXPECT_GE(at.load() - start, 100u);
    EXPECT_FALSE(timer.IsStarted());
    EXPECT_TRUE(timer.IsCalled());
    // A second firing would have come 0 ms later; a later one-shot proves the timer thread moved on.
    Event other;
    CTimer probe("probe");
    probe.Start([&](uintptr_t) { other.Set(); }, 20);
    ASSERT_TRUE(other.Wait());
    EXPECT_EQ(fired.Get(), 1);
}

TEST_F(TimerTest, PeriodicTimerKeepsFiringUntilStopped) {
    Counter fired;
    CTimer timer("periodic");
    timer.Start([&](uintptr_t) { fired.Add(); }, 10, 10);
    ASSERT_TRUE(fired.WaitFor(3));
    EXPECT_TRUE(timer.IsStarted());
    EXPECT_FALSE(timer.IsCalled());
    timer.Stop();
    EXPECT_FALSE(timer.IsStarted());
}

TEST_F(TimerTest, EqualDueTimesFireLaterStartedFirstAndBothFire) {
    Counter fired;
    CTimer early("EqualA"), late("EqualB");
    std::string dump;
    // Both starts must fall in one millisecond to get the same due time; retry until they do.
    for (bool same = false; !same;) {
        // Holding the lock keeps the timer thread from firing either in between.
        CGuard hold(CTimerManager::Lock());
        uint64_t before = SystemGetMSCount64();
        early.Start([&](uintptr_t) { fired.Add(); }, 30);
        late.Start([&](uintptr_t) { fired.Add(); }, 30);
        same = SystemGetMSCount64() == before;
        testing::internal::CaptureStdout();
        DumpAllTimers();
        dump = testing::internal::GetCapturedStdout();
    }
    size_t a = dump.find("EqualA"), b = dump.find("EqualB");
    ASSERT_NE(a, std::string::npos) << dump;
    ASSERT_NE(b, std::string::npos) << dump;
    EXPECT_LT(b, a);
    ASSERT_TRUE(fired.WaitFor(2));
}

TEST_F(TimerTest, LongDelayDoesNotFireWithShortOnes) {
    Counter shortFired;
    std::atomic<int> longFired{0};
    CTimer longTimer("long"), shortTimer("short");
    longTimer.Start([&](uintptr_t) { ++longFired; }, 600000);
    shortTimer.Start([&](uintptr_t) { shortFired.Add(); }, 20);
    ASSERT_TRUE(shortFired.WaitFor(1));
    EXPECT_EQ(longFired.load(), 0);
    EXPECT_TRUE(longTimer.IsStarted());
    EXPECT_FALSE(longTimer.IsCalled());
}

TEST_F(TimerTest, StopWithCallNowRunsOneShotOnCallerButOnlyDisarmsPeriodic) {
    std::atomic<int> calls{0};
    std::atomic<int> tid{0};
    CTimer once("once"), periodic("every");
    once.Start(
        [&](uintptr_t) {
            ++calls;
            tid = CThread::GetCurrentTid();
        },
        600000);
    periodic.Start([&](uintptr_t) { ++calls; }, 600000, 600000);
    once.Stop(true);
    EXPECT_EQ(calls.load(), 1);
    EXPECT_EQ(tid.load(), CThread::GetCurrentTid());
    EXPECT_FALSE(once.IsStarted());
    periodic.Stop(true);
    EXPECT_EQ(calls.load(), 1);
    EXPECT_FALSE(periodic.IsStarted());
    once.Stop(true);  // not armed: nothing runs
    EXPECT_EQ(calls.load(), 1);
}

TEST_F(TimerTest, RestartReArmsWithNewValues) {
    Counter fired;
    std::atomic<uintptr_t> seen{0};
    CTimer timer("rearm");
    timer.Start(
        [&](uintptr_t a) {
            seen = a;
            fired.Add();
        },
        600000, 0, 1);
    timer.Start(
        [&](uintptr_t a) {
            seen = a;
            fired.Add();
        },
        10, 0, 2);
    ASSERT_TRUE(fired.WaitFor(1));
    EXPECT_EQ(seen.load(), 2u);
}

TEST_F(TimerTest, NoNameTakesCreatorsThreadId) {
    CTimer timer;
    EXPECT_EQ(timer.GetName(), "PID:" + std::to_string(CThread::GetCurrentTid()));
    timer.SetName("named");
    EXPECT_EQ(timer.GetName(), "named");
}

TEST_F(TimerTest, DestroyingTimerWhileItsCallbackRunsLetsItFinish) {
    Event inCallback, gate, finished;
    auto* timer = new CTimer("doomed");
    timer->Start(
        [&](uintptr_t) {
            inCallback.Set();
            gate.Wait();
            finished.Set();
        },
        5);
    ASSERT_TRUE(inCallback.Wait());
    delete timer;
    gate.Set();
    ASSERT_TRUE(finished.Wait());
}

TEST_F(TimerTest, FiringIsDroppedWhileCallbackStillRuns) {
    Event gate, left;
    Counter entered;
    CTimer timer("slow");
    timer.Start(
        [&](uintptr_t) {
            entered.Add();
            gate.Wait();
            left.Set();
        },
        5, 5);
    ASSERT_TRUE(entered.WaitFor(1));
    // Let several periods pass while the first callback is held.
    uint64_t until = SystemGetMSCount64() + 40;
    ASSERT_TRUE(WaitUntil([&] { return SystemGetMSCount64() >= until; }));
    EXPECT_EQ(entered.Get(), 1);
    timer.Stop();
    gate.Set();
    ASSERT_TRUE(left.Wait());
}

}  // namespace
