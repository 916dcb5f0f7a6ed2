// A lock for critical sections of a few dozen instructions that many threads share: taking it free is
// one atomic exchange; a waiter spins briefly on a plain read, then yields the processor, so it neither
// sleeps in the kernel nor burns a core while the holder is descheduled. No fairness, no recursion.
// While the process has a single thread no atomic read-modify-write is needed, as for the C library's
// own locks.
#pragma once

#include <sched.h>

#include <atomic>
#if __has_include(<sys/single_threaded.h>)
#include <sys/single_threaded.h>
#define VARNELLE_SINGLE_THREADED() (__libc_single_threaded != 0)
#else
#define VARNELLE_SINGLE_THREADED() false
#endif

namespace varnelle::base::internal {

class SpinLock {
public:
    SpinLock() = default;
    SpinLock(const SpinLock&) = delete;
    SpinLock& operator=(const SpinLock&) = delete;

    void lock() {
        // Alone, nobody can contend; a thread started while the lock is held sees this store.
        if (VARNELLE_SINGLE_THREADED()) {
            m_locked.store(true, std::memory_order_relaxed);
            return;
        }
        if (!m_locked.exchange(true, std::memory_order_acquire)) return;
        LockSlow();
    }
    bool try_lock() {
        return !m_locked.load(std::memory_order_relaxed) && !m_locked.exchange(true, std::memory_order_acquire);
    }
    void unlock() { m_locked.store(false, std::memory_order_release); }

private:
    static constexpr int kSpins = 16;

    static void Pause() {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
        asm volatile("yield");
#endif
    }

    void LockSlow() {
        int spins = 0;
        do {
            // Wait on a read, so waiters share the line instead of taking it from the holder.
            while (m_locked.load(std::memory_order_relaxed)) {
                if (spins < kSpins) {
                    ++spins;
                    Pause();
                } else {
                    sched_yield();
                }
            }
        } while (m_locked.exchange(true, std::memory_order_acquire));
    }

    std::atomic<bool> m_locked{false};
};

}  // namespace varnelle::base::internal
