// CSemaphore: a process-private counting semaphore with a millisecond timed wait.
// Any thread may post or pend. Timed waits run on the monotonic clock, so setting the wall clock
// neither shortens nor stretches them, and an interrupted wait goes on waiting.
#pragma once

#include <pthread.h>

#include <cstdint>

class CSemaphore {
public:
    // Waits without a time limit when given to Pend.
    static constexpr uint32_t kForever = 0xFFFFFFFFu;

    explicit CSemaphore(int initialCount = 0);
    ~CSemaphore();
    CSemaphore(const CSemaphore&) = delete;
    CSemaphore& operator=(const CSemaphore&) = delete;

    // Takes one unit. ms = kForever waits without limit, 0 only takes a unit that is there at once,
    // anything else waits at most ms milliseconds. True when a unit was taken.
    bool Pend(uint32_t ms = kForever);
    // Gives one unit back; false only when the count would overflow.
    bool Post();

private:
    pthread_mutex_t m_hMutex;  // guards m_nCount
    pthread_cond_t m_hCond;    // signalled on Post; uses the monotonic clock
    int m_nCount;
};
