#include "base/mutex.h"

#include "base/internal/check.h"

CMutex::CMutex(int type) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, type == kRecursive ? PTHREAD_MUTEX_RECURSIVE : PTHREAD_MUTEX_DEFAULT);
    int ret = pthread_mutex_init(&m_hMutex, &attr);
    pthread_mutexattr_destroy(&attr);
    VARNELLE_CHECK(ret == 0 && "m_hMutex", "Source/Mutex");
}

CMutex::~CMutex() {
    pthread_mutex_destroy(&m_hMutex);
}

bool CMutex::Enter() {
    return pthread_mutex_lock(&m_hMutex) == 0;
}
bool CMutex::Leave() {
    return pthread_mutex_unlock(&m_hMutex) == 0;
}
bool CMutex::TryEnter() {
    return pthread_mutex_trylock(&m_hMutex) == 0;
}

CRWLock::CRWLock() {
    int ret = pthread_rwlock_init(&m_hRWLock, nullptr);
    VARNELLE_CHECK(ret == 0, "Source/Mutex");
}

CRWLock::~CRWLock() {
    pthread_rwlock_destroy(&m_hRWLock);
}

bool CRWLock::EnterRead() {
    return pthread_rwlock_rdlock(&m_hRWLock) == 0;
}
bool CRWLock::EnterWrite() {
    return pthread_rwlock_wrlock(&m_hRWLock) == 0;
}
bool CRWLock::TryEnterRead() {
    return pthread_rwlock_tryrdlock(&m_hRWLock) == 0;
}
bool CRWLock::TryEnterWrite() {
    return pthread_rwlock_trywrlock(&m_hRWLock) == 0;
}
bool CRWLock::LeaveRead() {
    return pthread_rwlock_unlock(&m_hRWLock) == 0;
}
bool CRWLock::LeaveWrite() {
    return pthread_rwlock_unlock(&m_hRWLock) == 0;
}
