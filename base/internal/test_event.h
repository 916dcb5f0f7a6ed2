// Test helpers: a one-shot event and a counter that tests wait on instead of sleeping.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace varnelle::base::testing {

// Generous bound for waits that must succeed; a hang becomes a test failure instead.
inline constexpr std::chrono::seconds kWaitLimit{10};

class Counter {
public:
    void Add(int n = 1) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_value += n;
        m_cond.notify_all();
    }
    int Get() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_value;
    }
    // True once the value reached at least target.
    bool WaitFor(int target) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_for(lock, kWaitLimit, [&] { return m_value >= target; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    int m_value = 0;
};

class Event {
public:
    void Set() { m_counter.Add(); }
    bool IsSet() { return m_counter.Get() > 0; }
    bool Wait() { return m_counter.WaitFor(1); }

private:
    Counter m_counter;
};

// Polls a condition that no event announces (such as a worker going idle), yielding in between.
template <class F>
bool WaitUntil(F condition) {
    auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

}  // namespace varnelle::base::testing
