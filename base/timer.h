// Millisecond timers. A CTimer calls a JobCallback after a delay, once or periodically. One thread,
// the CTimerManager, keeps the armed timers sorted by due time on a 64-bit monotonic tick that never
// wraps and fires each due timer on a pooled worker through the timer's own Threadlet, so a slow
// callback never delays the others. A periodic firing that finds the previous callback still running
// is dropped; a one-shot firing is never lost: it waits until the previous callback (often the one that
// re-armed the timer) has returned. One recursive process-wide lock guards the list, every timer and
// the firing, so a callback run by Stop(true) may start or stop timers.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "base/mutex.h"
#include "base/thread.h"

class CTimerImp {
public:
    explicit CTimerImp(const char* name);
    virtual ~CTimerImp();
    CTimerImp(const CTimerImp&) = delete;
    CTimerImp& operator=(const CTimerImp&) = delete;

    // "NoName" becomes "PID:" and the caller's kernel thread id.
    void SetName(const char* name);
    std::string GetName();
    // Arms (or re-arms) the timer: first call after delayMs, then every periodMs (0: once).
    void Start(JobCallback callback, uint32_t delayMs, uint32_t periodMs, uintptr_t arg, uint32_t timeoutMs);
    // Disarms; with callNow an armed one-shot timer's callback runs at once on the caller's thread.
    void Stop(bool callNow);
    bool IsStarted();
    bool IsCalled();

private:
    friend class CTimerManager;
    void Fire(uint64_t now);

    uint64_t m_due = 0;  // all fields guarded by the timer lock
    uint32_t m_period = 0;
    uint32_t m_timeout = 0;
    JobCallback m_callback;
    uintptr_t m_arg = 0;
    std::string m_name;
    bool m_bArmed = false;
    bool m_bCalled = false;
    CTimerImp* m_pPrev = nullptr;
    CTimerImp* m_pNext = nullptr;
    Threadlet m_threadlet;
};

class CTimer {
public:
    explicit CTimer(const char* name = "NoName") : m_pImp(std::make_unique<CTimerImp>(name)) {}
    virtual ~CTimer() = default;
    CTimer(const CTimer&) = delete;
    CTimer& operator=(const CTimer&) = delete;

    void SetName(const char* name) { m_pImp->SetName(name); }
    std::string GetName() { return m_pImp->GetName(); }
    void Start(JobCallback callback, uint32_t delayMs, uint32_t periodMs = 0, uintptr_t arg = 0,
               uint32_t timeoutMs = 0) {
        m_pImp->Start(std::move(callback), delayMs, periodMs, arg, timeoutMs);
    }
    void Stop(bool callNow = false) { m_pImp->Stop(callNow); }
    bool IsStarted() { return m_pImp->IsStarted(); }
    bool IsCalled() { return m_pImp->IsCalled(); }

private:
    std::unique_ptr<CTimerImp> m_pImp;
};

class CTimerManager : public CThread {
public:
    static CTimerManager* instance();
    // The lock that guards every timer; recursive.
    static CMutex& Lock();

    // Starts the timer thread; true at once when it already runs.
    bool Start();
    // Inserts ahead of the first timer whose due time is not earlier. Caller holds Lock().
    void AddTimer(CTimerImp* timer);
    // Caller holds Lock().
    void RemoveTimer(CTimerImp* timer);
    void DumpTimers();

protected:
    void ThreadProc() override;

private:
    CTimerManager();
    // One pass: fires every timer that is due.
    void Check();

    std::mutex m_startMutex;       // one Start at a time
    uint64_t m_now;                // guarded by Lock()
    CTimerImp* m_pHead = nullptr;  // guarded by Lock(); earliest first
};

class CInfra {
public:
    static CInfra* instance();
    virtual ~CInfra() = default;
    // Starts the timer thread (once per process) and records the caller as the main thread.
    // Returns 1.
    int start();

private:
    CInfra() = default;
};

void DumpAllTimers();
