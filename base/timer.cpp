#include "base/timer.h"

#include <cstdio>
#include <mutex>

#include "base/time.h"

CTimerImp::CTimerImp(const char* name) {
    SetName(name);
}

CTimerImp::~CTimerImp() {
    CGuard guard(CTimerManager::Lock());
    if (m_bArmed) CTimerManager::instance()->RemoveTimer(this);
    m_bArmed = false;
    // m_threadlet goes next: a callback still running completes on its worker.
}

void CTimerImp::SetName(const char* name) {
    CGuard guard(CTimerManager::Lock());
    if (name == nullptr || std::string(name) == "NoName") {
        m_name = "PID:" + std::to_string(CThread::GetCurrentTid());
    } else {
        m_name = name;
    }
}

std::string CTimerImp::GetName() {
    CGuard guard(CTimerManager::Lock());
    return m_name;
}

void CTimerImp::Start(JobCallback callback, uint32_t delayMs, uint32_t periodMs, uintptr_t arg,
                      uint32_t timeoutMs) {
    CGuard guard(CTimerManager::Lock());
    CTimerManager* manager = CTimerManager::instance();
    m_callback = std::move(callback);
    // From the current tick, not the timer thread's last look, so a timer never fires early.
    m_due = SystemGetMSCount64() + delayMs;
    m_period = periodMs;
    m_timeout = timeoutMs;
    m_arg = arg;
    m_bCalled = false;
    if (m_bArmed) manager->RemoveTimer(this);
    manager->AddTimer(this);
    m_bArmed = true;
}

void CTimerImp::Stop(bool callNow) {
    CGuard guard(CTimerManager::Lock());
    if (!m_bArmed) return;
    if (callNow && m_period == 0 && m_callback) m_callback(m_arg);
    // The callback may have stopped or re-armed this timer itself.
    if (m_bArmed) CTimerManager::instance()->RemoveTimer(this);
    m_bArmed = false;
}

bool CTimerImp::IsStarted() {
    CGuard guard(CTimerManager::Lock());
    return m_bArmed;
}

bool CTimerImp::IsCalled() {
    CGuard guard(CTimerManager::Lock());
    return m_bCalled;
}

void CTimerImp::Fire(uint64_t now) {
    CTimerManager* manager = CTimerManager::instance();
    manager->RemoveTimer(this);
    if (m_period != 0) {
        m_due += m_period;
        manager->AddTimer(this);
        m_threadlet.run(m_name.c_str(), m_callback, m_arg, m_timeout);
        return;
    }
    if (!m_threadlet.run(m_name.c_str(), m_callback, m_arg, m_timeout)) {
        // The previous callback is still returning (or no worker could start): stay armed and look
        // again on the next tick rather than lose the only call.
        m_due = now;
        manager->AddTimer(this);
        return;
    }
    m_bArmed = false;
    m_bCalled = true;
}

CTimerManager::CTimerManager() : CThread("TimerManager", 2, 0, 0), m_now(SystemGetMSCount64()) {
    std::puts("CTimerManager::CTimerManager()>>>>>>>>>");
}

CTimerManager* CTimerManager::instance() {
    static CTimerManager* manager = new CTimerManager;
    return manager;
}

CMutex& CTimerManager::Lock() {
    static auto* lock = new CMutex(CMutex::kRecursive);
    return *lock;
}

bool CTimerManager::Start() {
    std::lock_guard<std::mutex> lock(m_startMutex);
    // A second CreateThread would wait for the running thread to end, that is for ever.
    if (!IsThreadOver() && HasActiveRun()) return true;
    return CreateThread();
}

void CTimerManager::AddTimer(CTimerImp* timer) {
    CTimerImp* prev = nullptr;
    CTimerImp* cur = m_pHead;
    while (cur != nullptr && cur->m_due < timer->m_due) {
        prev = cur;
        cur = cur->m_pNext;
    }
    timer->m_pPrev = prev;
    timer->m_pNext = cur;
    if (cur != nullptr) cur->m_pPrev = timer;
    if (prev != nullptr) {
        prev->m_pNext = timer;
    } else {
        m_pHead = timer;
    }
}

void CTimerManager::RemoveTimer(CTimerImp* timer) {
    if (timer->m_pPrev != nullptr) {
        timer->m_pPrev->m_pNext = timer->m_pNext;
    } else if (m_pHead == timer) {
        m_pHead = timer->m_pNext;
    }
    if (timer->m_pNext != nullptr) timer->m_pNext->m_pPrev = timer->m_pPrev;
    timer->m_pPrev = nullptr;
    timer->m_pNext = nullptr;
}

void CTimerManager::Check() {
    CGuard guard(Lock());
    uint64_t now = SystemGetMSCount64();
    // The tick is monotonic and 64 bits wide: it never wraps, so it never needs rebasing.
    if (now <= m_now) return;
    m_now = now;
    // A postponed one-shot timer comes back due at m_now, so this pass does not see it again.
    while (m_pHead != nullptr && m_pHead->m_due < m_now) m_pHead->Fire(m_now);
}

void CTimerManager::ThreadProc() {
    while (!IsThreadOver()) {
        SystemSleep(1);
        Check();
    }
}

void CTimerManager::DumpTimers() {
    CGuard guard(Lock());
    std::printf("Timers: ( %llu Milli-Seconds Elapsed )\n", static_cast<unsigned long long>(m_now));
    std::puts("_________________________________________");
    for (CTimerImp* t = m_pHead; t != nullptr; t = t->m_pNext) {
        std::printf("%16s %11llu %s\n", t->m_name.c_str(), static_cast<unsigned long long>(t->m_due),
                    t->m_threadlet.isRunning() ? "Running" : "Idel");
    }
}

CInfra* CInfra::instance() {
    static CInfra* infra = new CInfra;
    return infra;
}

int CInfra::start() {
    std::puts("CInfra::start()>>>>>>>>>>");
    CTimerManager::instance()->Start();
    CThreadManager::instance()->SetMainThreadId(CThread::GetCurrentTid());
    return 1;
}

void DumpAllTimers() {
    CTimerManager::instance()->DumpTimers();
}
