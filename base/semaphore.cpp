#include "base/semaphore.h"

#include <cerrno>
#include <climits>
#include <ctime>

#include "base/internal/check.h"

CSemaphore::CSemaphore(int initialCount) : m_nCount(initialCount < 0 ? 0 : initialCount) {
    int ret = pthread_mutex_init(&m_hMutex, nullptr);
    VARNELLE_CHECK(ret == 0, "Source/Semaphore");
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    ret = pthread_cond_init(&m_hCond, &attr);
    pthread_condattr_destroy(&attr);
    VARNELLE_CHECK(ret == 0, "Source/Semaphore");
}

CSemaphore::~CSemaphore() {
    int ret = pthread_cond_destroy(&m_hCond);
    VARNELLE_CHECK(ret == 0, "Source/Semaphore");
    ret = pthread_mutex_destroy(&m_hMutex);
    VARNELLE_CHECK(ret == 0, "Source/Semaphore");
}

bool CSemaphore::Pend(uint32_t ms) {
    pthread_mutex_lock(&m_hMutex);
    if (ms == kForever) {
        while (m_nCount == 0) pthread_cond_wait(&m_hCond, &m_hMutex);
    } else if (ms != 0 && m_nCount == 0) {
        timespec deadline;
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += static_cast<time_t>(ms / 1000);
        deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_nsec -= 1000000000L;
            deadline.tv_sec += 1;
        }
        // Spurious wake-ups and signals just loop back to the same deadline.
        while (m_nCount == 0) {
            if (pthread_cond_timedwait(&m_hCond, &m_hMutex, &deadline) == ETIMEDOUT) break;
        }
    }
    bool taken = m_nCount > 0;
    if (taken) --m_nCount;
    pthread_mutex_unlock(&m_hMutex);
    return taken;
}

bool CSemaphore::Post() {
    pthread_mutex_lock(&m_hMutex);
    bool ok = m_nCount < INT_MAX;
    if (ok) ++m_nCount;
    pthread_cond_signal(&m_hCond);
    pthread_mutex_unlock(&m_hMutex);
    return ok;
}
