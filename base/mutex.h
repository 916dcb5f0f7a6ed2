// CMutex: a plain or recursive mutex. CGuard holds one for a scope. CRWLock: a read-write lock.
// A plain CMutex must not be entered twice by one thread; a recursive one counts its entries.
#pragma once

#include <pthread.h>

class CMutex {
public:
    enum { kNormal = 0, kRecursive = 1 };

    // type 1 makes a recursive mutex; any other value a plain one.
    explicit CMutex(int type = kNormal);
    ~CMutex();
    CMutex(const CMutex&) = delete;
    CMutex& operator=(const CMutex&) = delete;

    bool Enter();
    bool Leave();
    bool TryEnter();

private:
    pthread_mutex_t m_hMutex;
};

class CGuard {
public:
    explicit CGuard(CMutex& mutex) : m_mutex(mutex) { m_mutex.Enter(); }
    ~CGuard() { m_mutex.Leave(); }
    CGuard(const CGuard&) = delete;
    CGuard& operator=(const CGuard&) = delete;

private:
    CMutex& m_mutex;
};

class CRWLock {
public:
    CRWLock();
    ~CRWLock();
    CRWLock(const CRWLock&) = delete;
    CRWLock& operator=(const CRWLock&) = delete;

    bool EnterRead();
    bool EnterWrite();
    bool TryEnterRead();
    bool TryEnterWrite();
    bool LeaveRead();
    bool LeaveWrite();

private:
    pthread_rwlock_t m_hRWLock;
};
