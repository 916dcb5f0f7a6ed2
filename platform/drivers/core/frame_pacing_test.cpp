#include "platform/drivers/core/frame_pacing.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "platform/drivers/core/frame_testing.h"
#include "platform/drivers/core/media_clock.h"

namespace varnelle::drivers {
namespace {

constexpr uint64_t kStart = 5000000;

TEST(FramePacerTest, DueTimesComeFromTheStartAndNeverDrift) {
    struct Case {
        uint32_t fps;
        uint64_t index;
        uint64_t dueAfterStartUs;
    } cases[] = {
        {25, 0, 0},       {25, 1, 40000},      {25, 25, 1000000},          {30, 1, 33334},
        {30, 2, 66667},   {30, 3, 100000},     {30, 108000, 3600000000ull},  // an hour at 30: no drift
        {12, 7, 583334},  {0, 2, 2000000},     // 0 frames per second counts as 1
    };
    for (const Case& c : cases) {
        FramePacer p;
        p.Start(kStart, c.fps);
        EXPECT_EQ(p.DueUs(c.index), kStart + c.dueAfterStartUs) << c.fps << " fps, frame " << c.index;
        EXPECT_EQ(p.DueIndex(kStart + c.dueAfterStartUs), c.index) << c.fps << " fps, frame " << c.index;
        if (c.dueAfterStartUs > 0) {
            EXPECT_EQ(p.DueIndex(kStart + c.dueAfterStartUs - 1), c.index - 1) << c.fps << " fps, frame " << c.index;
        }
    }
}

TEST(FramePacerTest, APeriodPacesFromTheStartAndAFirstFrameSkipsTheOnesBefore) {
    // One frame every 40 ms from t = 1000, the first at index 1 (one period after the start): polled
    // at uneven moments, some late.
    FramePacer p;
    p.StartPeriod(1000, 40000, 1);
    struct Step {
        uint64_t now;
        std::optional<uint64_t> due;
        uint64_t missed;
        uint64_t nextDue;
    } steps[] = {
        {1000, std::nullopt, 0, 41000},  {30000, std::nullopt, 0, 41000}, {41000, 1, 0, 81000},
        {80999, std::nullopt, 0, 81000}, {200000, 4, 2, 201000},          {201000, 5, 2, 241000},
    };
    for (const Step& s : steps) {
        EXPECT_EQ(p.Take(s.now), s.due) << s.now;
        EXPECT_EQ(p.Missed(), s.missed) << s.now;
        EXPECT_EQ(p.NextDueUs(), s.nextDue) << s.now;
    }
    // A long period does not overflow: a day of 90-second periods.
    p.StartPeriod(kStart, 90000000);
    EXPECT_EQ(p.DueUs(960), kStart + 86400000000ull);
    EXPECT_EQ(p.DueIndex(kStart + 86400000000ull - 1), 959u);
}

TEST(FramePacerTest, EachFrameIsTakenOnceAndALateWakeCountsTheSkippedOnesMissed) {
    FramePacer p;
    EXPECT_FALSE(p.Take(kStart)) << "not started";
    EXPECT_EQ(p.NextDueUs(), UINT64_MAX);
    p.Start(kStart, 25);
    EXPECT_EQ(p.Take(kStart), 0u);
    EXPECT_FALSE(p.Take(kStart)) << "frame 0 is taken";
    EXPECT_FALSE(p.Take(kStart + 39999)) << "frame 1 is due at 40 ms";
    EXPECT_EQ(p.NextDueUs(), kStart + 40000);
    EXPECT_EQ(p.Take(kStart + 40000), 1u);
    EXPECT_EQ(p.Missed(), 0u);
    // Woken 170 ms late: frame 5 is the newest due; 2, 3 and 4 were missed.
    EXPECT_EQ(p.Take(kStart + 210000), 5u);
    EXPECT_EQ(p.Missed(), 3u);
    EXPECT_EQ(p.Taken(), 3u);
    EXPECT_EQ(p.NextDueUs(), kStart + 240000);
    p.Stop();
    EXPECT_FALSE(p.Take(kStart + 10000000));
    // A new start counts afresh.
    p.Start(kStart + 10000000, 10);
    EXPECT_EQ(p.Take(kStart + 10000000), 0u);
    EXPECT_EQ(p.Missed(), 0u);
    EXPECT_EQ(p.Taken(), 1u);
}

// Which of S input frames a destination rate D keeps, written out.
TEST(RateControlTest, KeepsDOfEverySFramesEvenlySpread) {
    struct Case {
        int32_t src, dst;
        std::vector<int> kept;  // of frames 0 .. src-1
    } cases[] = {
        {25, 5, {4, 9, 14, 19, 24}},
        {25, 1, {24}},
        {10, 4, {2, 4, 7, 9}},
        {5, 3, {1, 3, 4}},
        {25, 25, {}},  // all
        {25, 30, {}},  // all: no rate above the source's
        {25, 0, {}},   // all: no control
        {25, -1, {}},  // all
        {0, 5, {}},    // all
    };
    for (const Case& c : cases) {
        RateControl rc(c.src, c.dst);
        const int n = c.src > 0 ? c.src : 10;
        std::vector<int> kept;
        for (int k = 0; k < n; ++k) {
            if (rc.Keep()) kept.push_back(k);
        }
        std::vector<int> want = c.kept;
        if (want.empty()) {
            for (int k = 0; k < n; ++k) want.push_back(k);
        }
        EXPECT_EQ(kept, want) << c.src << " -> " << c.dst;
        // The pattern repeats: over three more rounds exactly three times as many pass.
        int more = 0;
        for (int k = 0; k < 3 * n; ++k) more += rc.Keep() ? 1 : 0;
        EXPECT_EQ(more, 3 * static_cast<int>(want.size())) << c.src << " -> " << c.dst;
    }
}

TEST(RateControlTest, NewRatesStartTheCountAfresh) {
    RateControl rc(25, 5);
    for (int k = 0; k < 3; ++k) rc.Keep();
    rc.Set(25, 5);
    std::vector<int> kept;
    for (int k = 0; k < 10; ++k) {
        if (rc.Keep()) kept.push_back(k);
    }
    EXPECT_EQ(kept, (std::vector<int>{4, 9}));
}

// A paced thread runs its tick when the time it asked for comes on the media clock, and when woken.
TEST(PacedThreadTest, TicksWhenTheirTimeComesOnTheStoppedClockAndWhenWoken) {
    testing::ManualClock clock;
    std::mutex m;
    std::vector<uint64_t> seen;
    std::atomic<uint64_t> askFor{0};
    PacedThread thread("paced-test", [&](uint64_t now) {
        std::lock_guard<std::mutex> lock(m);
        seen.push_back(now - testing::ManualClock::kStartUs);
        // Once the asked-for time has come the thread goes idle: a time already past would tick again
        // at once, and stepping the clock would wait for it in vain.
        const uint64_t ask = askFor.load(), due = testing::ManualClock::kStartUs + ask;
        return ask == 0 || now >= due ? PacedThread::kIdle : due;
    });
    auto ticks = [&] {
        std::lock_guard<std::mutex> lock(m);
        return seen.size();
    };
    ASSERT_TRUE(testing::Eventually([&] { return ticks() == 1; })) << "a new thread ticks once";
    askFor = 40000;
    thread.Wake();
    ASSERT_TRUE(testing::Eventually([&] { return ticks() == 2; }));
    clock.Advance(39999);
    clock.Advance(1);
    ASSERT_TRUE(testing::Eventually([&] { return ticks() >= 3; }));
    askFor = 0;  // idle from now on
    clock.Advance(40000);
    thread.Wake();
    ASSERT_TRUE(testing::Eventually([&] { return thread.Rounds() >= 4; }));
    std::lock_guard<std::mutex> lock(m);
    ASSERT_GE(seen.size(), 4u);
    EXPECT_EQ(seen[0], 0u);
    EXPECT_EQ(seen[1], 0u) << "woken, not timed";
    // No tick ran before 40 ms once 40 ms was asked for: the third saw the clock at 40 ms or later.
    for (size_t i = 2; i < seen.size(); ++i) EXPECT_GE(seen[i], 40000u) << i;
}

// A tick that hands work on wakes the next paced thread (capture to processing to encoding); Advance
// returns only once the whole chain has done what fell due, whatever the order the threads were made in.
TEST(PacedThreadTest, AdvanceWaitsForAChainOfThreadsThatWakeEachOther) {
    testing::ManualClock clock;
    constexpr int kLinks = 4;
    constexpr uint64_t kDue = testing::ManualClock::kStartUs + 40000;
    std::atomic<int> done[kLinks] = {};
    std::unique_ptr<PacedThread> links[kLinks];
    // The last link is made first, so the threads tend to be visited against the chain's order.
    for (int i = kLinks - 1; i >= 0; --i) {
        links[i] = std::make_unique<PacedThread>("chain", [&, i](uint64_t now) -> uint64_t {
            const bool fire = i == 0 ? now >= kDue && done[0].load() == 0 : done[i - 1].load() > done[i].load();
            if (fire) {
                ++done[i];
                if (i + 1 < kLinks) links[i + 1]->Wake();
            }
            return i == 0 && done[0].load() == 0 ? kDue : PacedThread::kIdle;
        });
    }
    clock.Settle();
    for (int i = 0; i < kLinks; ++i) EXPECT_EQ(done[i].load(), 0) << i;
    clock.Advance(40000);
    for (int i = 0; i < kLinks; ++i) EXPECT_EQ(done[i].load(), 1) << "link " << i << " had not run when Advance returned";
    // Stopped in the chain's order, so no link wakes one already gone.
    for (auto& link : links) link.reset();
}

TEST(PacedThreadTest, StopsAndJoinsWhileIdleOrWaiting) {
    testing::ManualClock clock;
    std::atomic<int> ran{0};
    {
        PacedThread idle("paced-idle", [&](uint64_t) {
            ++ran;
            return PacedThread::kIdle;
        });
        PacedThread waiting("paced-wait", [&](uint64_t now) {
            ++ran;
            return now + 3600000000ull;
        });
        ASSERT_TRUE(testing::Eventually([&] { return ran.load() == 2; }));
    }
    EXPECT_EQ(ran.load(), 2);
}

}  // namespace
}  // namespace varnelle::drivers
