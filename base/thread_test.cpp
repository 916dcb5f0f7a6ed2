#include "base/thread.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/internal/fault.h"
#include "base/internal/test_clock.h"
#include "base/internal/test_event.h"

namespace {

using varnelle::base::testing::Counter;
using varnelle::base::testing::Event;
using varnelle::base::testing::WaitUntil;

// A thread whose body is a function given by the test.
class FnThread : public CThread {
public:
    FnThread(const char* name, int priority, int queueSize, std::function<void(FnThread&)> body)
        : CThread(name, priority, queueSize), m_body(std::move(body)) {}
    ~FnThread() override { DestroyThread(true); }
    bool Looping() { return !IsThreadOver(); }

protected:
    void ThreadProc() override { m_body(*this); }

private:
    std::function<void(FnThread&)> m_body;
};

// Runs fn on a thread of its own and waits for it within the wait limit. A hung thread can be neither
// joined nor abandoned safely, so a hang ends the test program with the name of what hung.
template <class F>
void ExpectFinishes(const char* what, F fn) {
    auto done = std::make_shared<Event>();
    std::thread([fn, done]() mutable {
        fn();
        done->Set();
    }).detach();
    if (!done->Wait()) {
        std::fprintf(stderr, "%s hangs\n", what);
        std::abort();
    }
}

// Runs fn on a thread of its own; fn adds one to the counter it is given after each of its `steps`
// steps. A hang is a step that does not finish within the wait limit, so a loaded machine (sanitizers,
// parallel tests) only makes the test slower, never fails it.
template <class F>
void ExpectEachStepFinishes(const char* what, int steps, F fn) {
    auto progress = std::make_shared<varnelle::base::testing::Counter>();
    std::thread([fn, progress]() mutable { fn(*progress); }).detach();
    for (int i = 1; i <= steps; ++i) {
        if (!progress->WaitFor(i)) {
            std::fprintf(stderr, "%s hangs at step %d\n", what, i);
            std::abort();
        }
    }
}

// Body that waits for messages until asked to stop.
void ServeUntilStopped(FnThread& t) {
    CMsgQue::MSG msg;
    while (t.Looping()) {
        if (t.RecvMessage(&msg, true) && msg.msg == CThread::kStopMessage) break;
    }
}

TEST(CThreadTest, NullNameIsListedAsNonamed) {
    FnThread t(nullptr, 64, 0, [](FnThread&) {});
    EXPECT_EQ(t.GetThreadName(), "Nonamed");
    t.SetThreadName("Named");
    EXPECT_EQ(t.GetThreadName(), "Named");
    t.SetThreadName(nullptr);
    EXPECT_EQ(t.GetThreadName(), "Nonamed");
}

TEST(CThreadTest, DestroyOnNeverStartedThreadReturnsAtOnceAndSendsNothing) {
    FnThread t("idle", 64, 4, [](FnThread&) {});
    EXPECT_TRUE(t.IsThreadOver());
    EXPECT_TRUE(t.DestroyThread(true));
    EXPECT_EQ(t.GetMessageCount(), 0);
    EXPECT_EQ(t.GetThreadId(), -1);
}

TEST(CThreadTest, PriorityZeroRequestsTopRoundRobinAndOthersRunNormal) {
    struct Case {
        int priority;
        int want;
    } cases[] = {
        {0, sched_get_priority_max(SCHED_RR) - sched_get_priority_min(SCHED_RR)},
        {64, 50},
        {57, 50},
    };
    for (const Case& c : cases) {
        Event started;
        FnThread t("prio", c.priority, 4, [&](FnThread& self) {
            started.Set();
            ServeUntilStopped(self);
        });
        ASSERT_TRUE(t.CreateThread());
        ASSERT_TRUE(started.Wait());
        EXPECT_EQ(t.GetPriority(), c.want) << c.priority;
        EXPECT_TRUE(t.DestroyThread(true));
        // A restart asks for the same policy and priority, not for the stored result of the last.
        ASSERT_TRUE(t.CreateThread());
        EXPECT_EQ(t.GetPriority(), c.want) << c.priority;
        EXPECT_TRUE(t.DestroyThread(true));
    }
}

TEST(CThreadTest, StopMessageWakesBodyBlockedOnItsQueue) {
    std::atomic<uint32_t> last{0};
    Event started;
    FnThread t("queue", 64, 8, [&](FnThread& self) {
        started.Set();
        CMsgQue::MSG msg;
        while (self.RecvMessage(&msg, true)) {
            last = msg.msg;
            if (msg.msg == CThread::kStopMessage) break;
        }
    });
    ASSERT_TRUE(t.CreateThread());
    ASSERT_TRUE(started.Wait());
    EXPECT_TRUE(CThreadManager::instance()->HasThread(&t));
    EXPECT_TRUE(t.DestroyThread(true));
    EXPECT_EQ(last.load(), CThread::kStopMessage);
    EXPECT_TRUE(t.IsThreadOver());
    EXPECT_FALSE(CThreadManager::instance()->HasThread(&t));
    // The stop message of an ended run must not greet the next one.
    EXPECT_EQ(t.GetMessageCount(), 0);
}

TEST(CThreadTest, DestroyWaitReturnsForBodyThatEndedOnItsOwn) {
    Event ended;
    FnThread t("short", 64, 0, [&](FnThread&) { ended.Set(); });
    ASSERT_TRUE(t.CreateThread());
    ASSERT_TRUE(ended.Wait());
    EXPECT_FALSE(t.IsThreadOver());  // never asked to stop
    EXPECT_TRUE(t.DestroyThread(true));
    EXPECT_FALSE(CThreadManager::instance()->HasThread(&t));
}

TEST(CThreadTest, DestroyWaitRacingBodyThatEndsReleasesWaiter) {
    for (int i = 0; i < 200; ++i) {
        std::atomic<bool> go{false};
        FnThread t("race", 64, 4, [&](FnThread&) {
            while (!go.load()) std::this_thread::yield();
        });
        ASSERT_TRUE(t.CreateThread());
        go = true;
        EXPECT_TRUE(t.DestroyThread(true));
        EXPECT_FALSE(CThreadManager::instance()->HasThread(&t));
    }
}

// A stop that races a restart waits for the run it stopped, never for the run the restart began.
TEST(CThreadTest, StopRacingRestartWaitsOnlyForTheRunItStopped) {
    FnThread t("restartrace", 64, 4, [](FnThread& self) { ServeUntilStopped(self); });
    constexpr int kRounds = 300;
    ExpectEachStepFinishes("DestroyThread(true) racing CreateThread", kRounds, [&t](auto& progress) {
        for (int i = 0; i < kRounds; ++i) {
            ASSERT_TRUE(t.CreateThread());
            std::thread restarter([&t] { EXPECT_TRUE(t.CreateThread()); });
            EXPECT_TRUE(t.DestroyThread(true));
            restarter.join();
            EXPECT_FALSE(t.IsThreadOver()) << "the restarted run was stopped by a stop meant for the first";
            EXPECT_TRUE(t.DestroyThread(true));
            progress.Add();
        }
    });
}

// The stop message reaches a body waiting on its queue even when the queue has quit or is full.
TEST(CThreadTest, StopReachesBodyWhoseQueueQuitOrIsFull) {
    const struct Case {
        const char* name;
        bool quit;
        int queued;  // messages waiting before the stop; the queue holds 2
    } cases[] = {{"quit", true, 0}, {"full", false, 2}, {"quit-and-full", true, 2}};
    for (const Case& c : cases) {
        Event gate;
        Counter received;
        FnThread t(c.name, 64, 2, [&](FnThread& self) {
            gate.Wait();
            CMsgQue::MSG msg;
            while (self.RecvMessage(&msg, true)) {
                received.Add();
                if (msg.msg == CThread::kStopMessage) break;
            }
        });
        ASSERT_TRUE(t.CreateThread());
        for (int i = 0; i < c.queued; ++i) ASSERT_TRUE(t.SendMessage(1));
        if (c.quit) t.QuitMessage();
        ExpectFinishes(c.name, [&] {
            t.DestroyThread(false);
            gate.Set();
            EXPECT_TRUE(t.DestroyThread(true));
        });
        EXPECT_EQ(received.Get(), c.queued + 1) << c.name;
    }
}

// Destroying the object of a thread whose body still runs is a misuse: it is reported, and the body is
// stopped and waited for instead of being left with freed memory. The body reaches the test's events
// through globals (by the time it ends the object is a CThread alone); each run of the test points
// them at fresh events.
Event* g_spinStarted = nullptr;
Event* g_spinEnded = nullptr;
class SpinThread : public CThread {
public:
    SpinThread() : CThread("Spinner", 64, 0) {}

protected:
    void ThreadProc() override {
        g_spinStarted->Set();
        while (!IsThreadOver()) std::this_thread::yield();
        g_spinEnded->Set();
    }
};

TEST(CThreadTest, DestroyingObjectOfRunningThreadReportsItAndWaitsForTheBody) {
    Event started, ended;
    g_spinStarted = &started;
    g_spinEnded = &ended;
    auto* t = new SpinThread;
    ASSERT_TRUE(t->CreateThread());
    ASSERT_TRUE(started.Wait());
    testing::internal::CaptureStdout();
    delete t;
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(ended.IsSet());
    EXPECT_NE(out.find("Spinner"), std::string::npos) << out;
    EXPECT_NE(out.find("still running"), std::string::npos) << out;
}

TEST(CThreadTest, DestroyFromBodyItselfDoesNotWait) {
    std::atomic<bool> result{false};
    Event done;
    FnThread t("self", 64, 4, [&](FnThread& self) {
        result = self.DestroyThread(true);
        done.Set();
    });
    ASSERT_TRUE(t.CreateThread());
    ASSERT_TRUE(done.Wait());
    EXPECT_TRUE(result.load());
    EXPECT_TRUE(t.IsThreadOver());
    EXPECT_TRUE(t.DestroyThread(true));
}

TEST(CThreadTest, RestartWhileRunningWaitsForPreviousRunToEnd) {
    std::atomic<int> active{0};
    std::atomic<int> maxActive{0};
    Counter runs;
    FnThread t("restart", 64, 4, [&](FnThread& self) {
        int now = ++active;
        int seen = maxActive.load();
        while (now > seen && !maxActive.compare_exchange_weak(seen, now)) {
        }
        runs.Add();
        ServeUntilStopped(self);
        --active;
    });
    ASSERT_TRUE(t.CreateThread());
    ASSERT_TRUE(runs.WaitFor(1));
    std::atomic<bool> second{false};
    std::thread restarter([&] { second = t.CreateThread(); });
    // The restart can only go ahead once the first run has been stopped and has ended.
    t.DestroyThread(false);
    restarter.join();
    EXPECT_TRUE(second.load());
    ASSERT_TRUE(runs.WaitFor(2));
    EXPECT_TRUE(t.DestroyThread(true));
    EXPECT_EQ(runs.Get(), 2);
    EXPECT_EQ(maxActive.load(), 1);
}

TEST(CThreadTest, FailedStartLeavesThreadStoppedAndRestartable) {
    Counter runs;
    FnThread t("fail", 64, 4, [&](FnThread& self) {
        runs.Add();
        ServeUntilStopped(self);
    });
    varnelle::base::internal::FailThreadStarts(1);
    EXPECT_FALSE(t.CreateThread());
    EXPECT_TRUE(t.IsThreadOver());
    EXPECT_TRUE(t.DestroyThread(true));
    // The start token came back: this start neither blocks nor fails.
    ASSERT_TRUE(t.CreateThread());
    ASSERT_TRUE(runs.WaitFor(1));
    EXPECT_TRUE(t.DestroyThread(true));
}

TEST(CThreadTest, TimeoutExpiresAndClears) {
    FnThread t("timeout", 64, 0, [](FnThread&) {});
    EXPECT_FALSE(t.IsTimeout());
    t.SetTimeout(0xFFFFFFFFu);  // the longest span: not expired
    EXPECT_FALSE(t.IsTimeout());
    t.SetTimeout(1);
    EXPECT_TRUE(WaitUntil([&] { return t.IsTimeout(); }));
    t.SetTimeout(0);
    EXPECT_FALSE(t.IsTimeout());
}

// The tick wraps at 2^32 ms; a timeout set just before the wrap still expires after it.
TEST(CThreadTest, TimeoutCountsAcrossTheTickWrap) {
    varnelle::base::testing::FakeMSCount tick(4294967290u);
    FnThread t("wrap", 64, 0, [](FnThread&) {});
    t.SetTimeout(20);
    const struct Step {
        uint64_t tick;  // as the clock gives it; SystemGetMSCount keeps 32 bits
        bool timeout;
    } steps[] = {{4294967290u, false}, {4294967300u, false}, {4294967310u, false}, {4294967320u, true}};
    for (const Step& s : steps) {
        tick.Set(s.tick);
        EXPECT_EQ(t.IsTimeout(), s.timeout) << "at tick " << static_cast<uint32_t>(s.tick);
    }
}

TEST(CThreadTest, QueueOperationsWithoutQueueReportNothing) {
    FnThread t("noqueue", 64, 0, [](FnThread&) {});
    CMsgQue::MSG msg;
    EXPECT_FALSE(t.SendMessage(1));
    EXPECT_FALSE(t.RecvMessage(&msg, true));
    EXPECT_EQ(t.GetMessageCount(), 0);
}

TEST(ThreadletTest, RunWhileBusyFailsAndLeavesRunningJobAlone) {
    Event gate, finished;
    Counter calls;
    Threadlet let;
    ASSERT_TRUE(let.run(
        "busy",
        [&](uintptr_t arg) {
            EXPECT_EQ(arg, 7u);
            calls.Add();
            gate.Wait();
            finished.Set();
        },
        7, 0));
    ASSERT_TRUE(calls.WaitFor(1));
    EXPECT_TRUE(let.isRunning());
    EXPECT_TRUE(let.getLoop());
    EXPECT_GT(let.getThreadId(), 0);
    EXPECT_FALSE(let.run(
        "second", [&](uintptr_t) { calls.Add(); }, 0, 0));
    gate.Set();
    ASSERT_TRUE(finished.Wait());
    ASSERT_TRUE(WaitUntil([&] { return !let.isRunning(); }));
    EXPECT_EQ(let.getThreadId(), -1);
    EXPECT_TRUE(let.isTimeout());
    ASSERT_TRUE(let.run(
        "third", [&](uintptr_t) { calls.Add(); }, 0, 0));
    ASSERT_TRUE(calls.WaitFor(2));
    EXPECT_EQ(calls.Get(), 2);
}

TEST(ThreadletTest, DestroyedDuringJobLetsJobFinishAndWorkerReturn) {
    Event gate, inJob, finished;
    auto* let = new Threadlet;
    ASSERT_TRUE(let->run(
        "doomed",
        [&](uintptr_t) {
            inJob.Set();
            gate.Wait();
            finished.Set();
        },
        0, 0));
    ASSERT_TRUE(inJob.Wait());
    int tid = let->getThreadId();
    int idleBefore = CThreadManager::instance()->GetIdleCount();
    delete let;
    gate.Set();
    ASSERT_TRUE(finished.Wait());
    // The worker went back to the pool without touching the destroyed threadlet.
    ASSERT_TRUE(WaitUntil([&] { return CThreadManager::instance()->GetIdleCount() >= idleBefore + 1; }));
    EXPECT_GT(tid, 0);
}

TEST(ThreadletTest, StoppedWorkerNeverSwallowsALaterJob) {
    Event gate, inJob;
    Threadlet let;
    ASSERT_TRUE(let.run(
        "stopped",
        [&](uintptr_t) {
            inJob.Set();
            gate.Wait();
        },
        0, 0));
    ASSERT_TRUE(inJob.Wait());
    int stoppedTid = let.getThreadId();
    EXPECT_TRUE(let.stop(false));
    EXPECT_FALSE(let.getLoop());
    std::thread waiter([&] { EXPECT_TRUE(let.stop(true)); });
    gate.Set();
    waiter.join();
    ASSERT_TRUE(WaitUntil([&] { return !let.isRunning(); }));
    for (int i = 0; i < 20; ++i) {
        Event ran;
        std::atomic<int> tid{0};
        Threadlet next;
        ASSERT_TRUE(next.run(
            "after",
            [&](uintptr_t) {
                tid = CThread::GetCurrentTid();
                ran.Set();
            },
            0, 0));
        ASSERT_TRUE(ran.Wait()) << "job " << i << " was never run";
        EXPECT_NE(tid.load(), stoppedTid);
        ASSERT_TRUE(WaitUntil([&] { return !next.isRunning(); }));
    }
}

// Every Threadlet::stop retires its worker; retired workers are deleted once their run has ended.
TEST(ThreadletTest, StoppedWorkersAreReapedOnceTheirRunEnds) {
    CThreadManager* m = CThreadManager::instance();
    for (int i = 0; i < 20; ++i) {
        Event inJob, gate;
        Threadlet let;
        ASSERT_TRUE(let.run(
            "reaped",
            [&](uintptr_t) {
                inJob.Set();
                gate.Wait();
            },
            0, 0));
        ASSERT_TRUE(inJob.Wait());
        EXPECT_TRUE(let.stop(false));
        gate.Set();
        EXPECT_TRUE(let.stop(true));
        ASSERT_TRUE(WaitUntil([&] { return !let.isRunning(); }));
    }
    // Lending a worker reaps those whose run has ended.
    EXPECT_TRUE(WaitUntil([&] {
        m->ReleasePooledThread(m->GetPooledThread());
        return m->GetRetiredCount() == 0;
    })) << m->GetRetiredCount() << " retired workers kept";
}

// Waiters in stop(true) and the reaping of retired workers run side by side; a worker is never deleted
// under a waiter (the sanitizer builds catch a use after free).
TEST(ThreadletTest, StopWaitersAndReapingRaceSafely) {
    CThreadManager* m = CThreadManager::instance();
    std::atomic<bool> churn{true};
    std::thread reaper([&] {
        while (churn.load()) m->ReleasePooledThread(m->GetPooledThread());
    });
    for (int i = 0; i < 50; ++i) {
        Event inJob, gate;
        Threadlet let;
        ASSERT_TRUE(let.run(
            "waited",
            [&](uintptr_t) {
                inJob.Set();
                gate.Wait();
            },
            0, 0));
        ASSERT_TRUE(inJob.Wait());
        std::thread waiter([&] { EXPECT_TRUE(let.stop(true)); });
        gate.Set();
        waiter.join();
    }
    churn = false;
    reaper.join();
}

TEST(ThreadletTest, MemberFunctionCallbackRunsOnObject) {
    struct Target {
        Counter hits;
        uintptr_t seen = 0;
        void OnJob(uintptr_t arg) {
            seen = arg;
            hits.Add();
        }
    } target;
    Threadlet let;
    ASSERT_TRUE(let.run("member", MakeJobCallback(&target, &Target::OnJob), 42, 0));
    ASSERT_TRUE(target.hits.WaitFor(1));
    ASSERT_TRUE(WaitUntil([&] { return !let.isRunning(); }));
    EXPECT_EQ(target.seen, 42u);
}

TEST(ThreadletTest, IdleThreadletGivesNeutralAnswers) {
    Threadlet let;
    CMsgQue::MSG msg;
    EXPECT_FALSE(let.isRunning());
    EXPECT_TRUE(let.stop(true));
    EXPECT_TRUE(let.sendMessage(1, 0, 0, 0));
    EXPECT_TRUE(let.recvMessage(&msg, true));
    EXPECT_TRUE(let.isTimeout());
    EXPECT_FALSE(let.getLoop());
    EXPECT_EQ(let.getThreadId(), -1);
    let.setLoop(true);
    let.quitMessage();
    let.clearMessage();
}

TEST(CThreadManagerTest, FailedWorkerStartIsNeverHandedOut) {
    CThreadManager* m = CThreadManager::instance();
    std::vector<PooledThread*> taken;
    for (;;) {
        while (m->GetIdleCount() > 0) taken.push_back(m->GetPooledThread());
        varnelle::base::internal::FailThreadStarts(1);
        PooledThread* p = m->GetPooledThread();
        if (p == nullptr) break;
        taken.push_back(p);
        // Still pending: p was a worker of an earlier test that went idle meanwhile. Try again.
        ASSERT_TRUE(varnelle::base::internal::TakeThreadStartFailure())
            << "a worker that failed to start was handed out";
    }
    varnelle::base::internal::FailThreadStarts(1);
    Threadlet let;
    EXPECT_FALSE(let.run(
        "nostart", [](uintptr_t) {}, 0, 0));
    EXPECT_FALSE(let.isRunning());
    for (PooledThread* p : taken) m->ReleasePooledThread(p);
}

TEST(CThreadManagerTest, HandsOutLowestAddressedIdleWorker) {
    CThreadManager* m = CThreadManager::instance();
    std::vector<PooledThread*> taken;
    for (int i = 0; i < 3; ++i) taken.push_back(m->GetPooledThread());
    while (m->GetIdleCount() > 0) taken.push_back(m->GetPooledThread());
    for (PooledThread* p : taken) ASSERT_NE(p, nullptr);
    for (PooledThread* p : taken) m->ReleasePooledThread(p);
    PooledThread* lowest = *std::min_element(taken.begin(), taken.end());
    PooledThread* got = m->GetPooledThread();
    EXPECT_EQ(got, lowest);
    m->ReleasePooledThread(got);
    testing::internal::CaptureStdout();
    m->ReleasePooledThread(got);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ReleasePooledThread failed!\n");
}

TEST(CThreadManagerTest, DumpListsMainAndRegisteredThreads) {
    Event started;
    FnThread t("Dumped", 64, 4, [&](FnThread& self) {
        started.Set();
        ServeUntilStopped(self);
    });
    ASSERT_TRUE(t.CreateThread());
    ASSERT_TRUE(started.Wait());
    CThreadManager::instance()->SetMainThreadId(1234);
    testing::internal::CaptureStdout();
    DumpAllThreads();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("                    Main       1234   64  Normal"), std::string::npos) << out;
    EXPECT_NE(out.find("Dumped"), std::string::npos);
    EXPECT_TRUE(t.DestroyThread(true));
}

// A body that deletes its own object would return into freed memory: that stops the program.
class SelfDeletingThread : public CThread {
public:
    SelfDeletingThread() : CThread("SelfDeleting", 64, 0) {}

protected:
    void ThreadProc() override { delete this; }
};

TEST(CThreadDeathTest, BodyDeletingItsOwnObjectStops) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            auto* t = new SelfDeletingThread;
            t->CreateThread();
            for (;;) pause();
        },
        "CThread deleted by its own running body");
}

TEST(CThreadManagerDeathTest, ReleasingNullWorkerStops) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(CThreadManager::instance()->ReleasePooledThread(nullptr), "pThread");
}

}  // namespace
