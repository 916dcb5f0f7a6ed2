#include "platform/drivers/core/media_clock.h"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <set>

#include "platform/host/clock.h"

namespace varnelle::drivers {
namespace {

struct Manual {
    std::atomic<bool> on{false};
    std::atomic<uint64_t> monoUs{0};
    std::atomic<int64_t> wallUs{0};
};

Manual& TheManual() {
    static auto* m = new Manual;  // never destroyed: paced threads may outlive static destruction
    return *m;
}

struct Threads {
    std::mutex mutex;  // guards set
    std::set<PacedThread*> set;
    // Moves on whenever a paced thread is woken or starts a tick, so a settling round can tell that
    // something ran while it looked.
    std::atomic<uint64_t> activity{0};
};

Threads& TheThreads() {
    static auto* t = new Threads;
    return *t;
}

}  // namespace

uint64_t MediaClock::NowUs() {
    Manual& m = TheManual();
    return m.on.load(std::memory_order_acquire) ? m.monoUs.load(std::memory_order_acquire) : host::MonotonicUs();
}

int64_t MediaClock::WallUs() {
    Manual& m = TheManual();
    if (m.on.load(std::memory_order_acquire)) return m.wallUs.load(std::memory_order_acquire);
    timeval tv = host::WallNow();
    return static_cast<int64_t>(tv.tv_sec) * 1000000 + tv.tv_usec;
}

bool MediaClock::IsManual() { return TheManual().on.load(std::memory_order_acquire); }

void MediaClock::UseManual(uint64_t monoUs, int64_t wallUs) {
    Manual& m = TheManual();
    m.monoUs.store(monoUs, std::memory_order_release);
    m.wallUs.store(wallUs, std::memory_order_release);
    m.on.store(true, std::memory_order_release);
    Threads& t = TheThreads();
    std::lock_guard<std::mutex> lock(t.mutex);
    for (PacedThread* p : t.set) p->Notify();
}

void MediaClock::Settle() {
    if (!IsManual()) return;
    // Generous: a machine busy with sanitized builds can take seconds over a chain of ticks.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    Threads& t = TheThreads();
    // Held throughout, so no paced thread goes away while it is waited for.
    std::lock_guard<std::mutex> lock(t.mutex);
    // A tick may wake a thread found settled earlier in the round (a frame handed on along the
    // bindings: capture to processing to encoding), even a tick that ended before its own thread was
    // looked at; so rounds go on until one finds every thread settled without waiting and nothing
    // woken or started meanwhile.
    bool again = true;
    while (again && std::chrono::steady_clock::now() < deadline) {
        const uint64_t before = t.activity.load();
        again = false;
        for (PacedThread* p : t.set) again = p->WaitSettled(NowUs(), deadline) || again;
        again = again || t.activity.load() != before;
    }
}

void MediaClock::Advance(uint64_t us) {
    Settle();
    Manual& m = TheManual();
    m.wallUs.fetch_add(static_cast<int64_t>(us), std::memory_order_acq_rel);
    m.monoUs.fetch_add(us, std::memory_order_acq_rel);
    {
        Threads& t = TheThreads();
        std::lock_guard<std::mutex> lock(t.mutex);
        for (PacedThread* p : t.set) p->Notify();
    }
    Settle();
}

void MediaClock::UseReal() {
    TheManual().on.store(false, std::memory_order_release);
    Threads& t = TheThreads();
    std::lock_guard<std::mutex> lock(t.mutex);
    for (PacedThread* p : t.set) p->Notify();
}

PacedThread::PacedThread(std::string name, std::function<uint64_t(uint64_t)> tick)
    : m_name(std::move(name)), m_tick(std::move(tick)) {
    {
        Threads& t = TheThreads();
        std::lock_guard<std::mutex> lock(t.mutex);
        t.set.insert(this);
    }
    m_thread = std::thread([this] { Loop(); });
}

PacedThread::~PacedThread() {
    {
        Threads& t = TheThreads();
        std::lock_guard<std::mutex> lock(t.mutex);
        t.set.erase(this);
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_cv.notify_all();
    m_thread.join();
}

void PacedThread::Wake() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_woken = true;
    }
    TheThreads().activity.fetch_add(1);
    m_cv.notify_all();
}

void PacedThread::Notify() {
    // Taking the lock orders this after a waiter's check of the clock, so the wake is not lost.
    std::lock_guard<std::mutex> lock(m_mutex);
    m_cv.notify_all();
}

bool PacedThread::WaitSettled(uint64_t nowUs, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(m_mutex);
    auto settled = [&] { return m_stop || (!m_running && !m_woken && (m_next == kIdle || nowUs < m_next)); };
    if (settled()) return false;
    m_cv.wait_until(lock, deadline, settled);
    return true;
}

uint64_t PacedThread::CpuUs() const {
    clockid_t cid;
    timespec ts{};
    if (pthread_getcpuclockid(const_cast<std::thread&>(m_thread).native_handle(), &cid) != 0 ||
        clock_gettime(cid, &ts) != 0) {
        return 0;
    }
    return static_cast<uint64_t>(ts.tv_sec) * 1000000 + static_cast<uint64_t>(ts.tv_nsec) / 1000;
}

uint64_t PacedThread::Rounds() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_rounds;
}

void PacedThread::Loop() {
    pthread_setname_np(pthread_self(), m_name.substr(0, 15).c_str());
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stop) {
        m_woken = false;
        m_running = true;
        TheThreads().activity.fetch_add(1);
        lock.unlock();
        const uint64_t next = m_tick(MediaClock::NowUs());
        lock.lock();
        m_running = false;
        m_next = next;
        ++m_rounds;
        m_cv.notify_all();  // for those waiting for this thread to settle
        while (!m_stop && !m_woken) {
            const uint64_t now = MediaClock::NowUs();
            if (next != kIdle && now >= next) break;
            if (next == kIdle || MediaClock::IsManual()) {
                m_cv.wait(lock);
            } else {
                m_cv.wait_for(lock, std::chrono::microseconds(next - now));
            }
        }
    }
}

}  // namespace varnelle::drivers
