#include "base/thread.h"

#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>

#include "base/internal/check.h"
#include "base/internal/fault.h"
#include "base/time.h"
#include "platform/host/env.h"

namespace varnelle::base::internal {
namespace {
std::atomic<int> g_failThreadStarts{0};
}  // namespace

void FailThreadStarts(int n) {
    g_failThreadStarts.store(n);
}

bool TakeThreadStartFailure() {
    int n = g_failThreadStarts.load();
    while (n > 0) {
        if (g_failThreadStarts.compare_exchange_weak(n, n - 1)) return true;
    }
    return false;
}

}  // namespace varnelle::base::internal

namespace {

constexpr uint32_t kMinStackSize = 16384;

// Guards every threadlet <-> worker link. Taken before the thread manager's mutex, never after.
std::mutex& ThreadletLock() {
    static auto* lock = new std::mutex;
    return *lock;
}

}  // namespace

struct CThread::ThreadData {
    std::mutex stateMutex;
    std::condition_variable stateCond;  // signalled when a run ends
    bool running = false;               // guarded by stateMutex: a body is active (start token taken)
    uint64_t runsStarted = 0;           // guarded by stateMutex
    uint64_t runsEnded = 0;             // guarded by stateMutex; a stopper waits for its run's number
    pthread_t handle{};                 // guarded by stateMutex
    bool hasHandle = false;             // guarded by stateMutex

    const int requestedPriority;  // the constructor's value; decides the policy at every start
    std::atomic<int> priority;    // as requested at the last start
    int policy = SCHED_OTHER;     // guarded by stateMutex; read by the thread it starts
    uint32_t stackSize;           // recorded only
    std::atomic<int> tid{-1};
    // The last SetTimeout: its tick in the low 32 bits, its span in ms in the high 32 (0: none), in
    // one word so a reader never sees the tick of one call with the span of another.
    std::atomic<uint64_t> timeout{0};

    mutable std::mutex nameMutex;
    std::string name;  // guarded by nameMutex

    std::unique_ptr<CMsgQueImp> queue;  // fixed after construction

    ThreadData(const char* n, int prio, int queueSize, uint32_t stack)
        : requestedPriority(prio), priority(prio), stackSize(stack), name(n != nullptr ? n : "Nonamed") {
        if (queueSize > 0) queue = std::make_unique<CMsgQueImp>(queueSize);
    }
};

CThread::CThread(const char* name, int priority, int queueSize, uint32_t stackSize)
    : m_pData(std::make_unique<ThreadData>(name, priority, queueSize, stackSize)) {}

CThread::~CThread() {
    bool running, self;
    {
        std::lock_guard<std::mutex> lock(m_pData->stateMutex);
        running = m_pData->running;
        self = running && pthread_equal(m_pData->handle, pthread_self());
    }
    if (!running) return;
    // The body would go on with freed memory: a body cannot wait for itself, so that is fatal; from
    // any other thread the run is stopped and waited for.
    VARNELLE_CHECK(!self && "CThread deleted by its own running body", "Source/Thread");
    std::printf("CThread::~CThread %s still running: stopping it and waiting for its end\n",
                GetThreadName().c_str());
    DestroyThread(true);
}

bool CThread::HasActiveRun() const {
    std::lock_guard<std::mutex> lock(m_pData->stateMutex);
    return m_pData->running;
}

bool CThread::CreateThread() {
    ThreadData& d = *m_pData;
    std::unique_lock<std::mutex> lock(d.stateMutex);
    // One run at a time: wait for a previous body to return.
    d.stateCond.wait(lock, [&d] { return !d.running; });

    int policy = d.requestedPriority == 0 ? SCHED_RR : SCHED_OTHER;
    int lo = sched_get_priority_min(policy);
    int hi = sched_get_priority_max(policy);
    if (lo == -1 || hi == -1) return false;
    int prio = d.requestedPriority < lo ? lo : (d.requestedPriority > hi ? hi : d.requestedPriority);
    prio = policy == SCHED_RR ? hi - prio : 50;
    d.priority.store(prio);
    d.policy = policy;
    if (d.stackSize < kMinStackSize) d.stackSize = kMinStackSize;

    d.running = true;
    ++d.runsStarted;
    m_bLoop.store(true, std::memory_order_release);

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    // Detached from birth: a separate detach could fail after the thread already runs.
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t handle;
    int ret = varnelle::base::internal::TakeThreadStartFailure()
                  ? EAGAIN
                  : pthread_create(&handle, &attr, ThreadEntry, this);
    pthread_attr_destroy(&attr);
    if (ret != 0) {
        std::printf("CThread::CreateThread %s failed, %s\n", d.name.c_str(), std::strerror(ret));
        // Give the start token back and leave the thread stopped, so a later start neither blocks
        // nor reports a running thread.
        m_bLoop.store(false, std::memory_order_release);
        d.running = false;
        ++d.runsEnded;
        d.stateCond.notify_all();
        return false;
    }
    d.handle = handle;
    d.hasHandle = true;
    return true;
}

void* CThread::ThreadEntry(void* arg) {
    auto* self = static_cast<CThread*>(arg);
    ThreadData& d = *self->m_pData;
    d.tid.store(GetCurrentTid());

    int policy;
    {
        std::lock_guard<std::mutex> lock(d.stateMutex);
        policy = d.policy;
    }
    if (policy == SCHED_RR) {
        // Set from inside the thread, so it can never hit a thread that has already ended.
        if (varnelle::host::RealTimeAllowed()) {
            sched_param param{};
            param.sched_priority = d.priority.load();
            std::printf("sched set %d, %d\n", param.sched_priority, policy);
            int ret = pthread_setschedparam(pthread_self(), policy, &param);
            if (ret != 0) std::printf("set pthread_setschedparam fail, %s\n", std::strerror(ret));
        }
    }

    CThreadManager::instance()->AddThread(self);
    self->ThreadProc();
    // Unregister before the start token goes back, so a restart can register again.
    CThreadManager::instance()->RemoveThread(self);
    {
        std::lock_guard<std::mutex> lock(d.stateMutex);
        if (d.queue) d.queue->ClearMessage();
        d.running = false;
        ++d.runsEnded;
        // Last touch of the object: a waiter may destroy it as soon as this lock is released.
        d.stateCond.notify_all();
    }
    return nullptr;
}

bool CThread::DestroyThread(bool wait) {
    ThreadData& d = *m_pData;
    // The flag changes under the lock CreateThread sets it under, so a restart waiting to begin can
    // neither lose this stop nor be taken for the run being stopped.
    std::unique_lock<std::mutex> lock(d.stateMutex);
    const bool wasLooping = m_bLoop.exchange(false, std::memory_order_acq_rel);
    if (!d.running) return true;
    if (wasLooping && d.queue) d.queue->PostStop(kStopMessage);
    if (pthread_equal(d.handle, pthread_self())) return true;
    const uint64_t run = d.runsStarted;
    if (wait) d.stateCond.wait(lock, [&d, run] { return d.runsEnded >= run; });
    return true;
}

int CThread::SetThreadName(const char* name) {
    std::lock_guard<std::mutex> lock(m_pData->nameMutex);
    m_pData->name = name != nullptr ? name : "Nonamed";
    return 0;
}

std::string CThread::GetThreadName() const {
    std::lock_guard<std::mutex> lock(m_pData->nameMutex);
    return m_pData->name;
}

void CThread::SetTimeout(uint32_t ms) {
    const auto start = static_cast<uint32_t>(SystemGetMSCount());
    m_pData->timeout.store(ms == 0 ? 0 : (uint64_t{ms} << 32) | start);
}

bool CThread::IsTimeout() const {
    const uint64_t timeout = m_pData->timeout.load();
    const auto ms = static_cast<uint32_t>(timeout >> 32);
    // Measured as elapsed time, so a timeout set just before the tick wraps still expires after it.
    return ms != 0 && SystemMSElapsed(static_cast<uint32_t>(timeout)) > ms;
}

int CThread::GetThreadId() const {
    return m_pData->tid.load();
}
int CThread::GetPriority() const {
    return m_pData->priority.load();
}
int CThread::GetCurrentTid() {
    return static_cast<int>(syscall(SYS_gettid));
}

bool CThread::SendMessage(uint32_t msg, uintptr_t wParam, uintptr_t lParam, uint32_t priority) {
    return m_pData->queue ? m_pData->queue->SendMessage(msg, wParam, lParam, priority) : false;
}

bool CThread::RecvMessage(CMsgQue::MSG* out, bool wait) {
    return m_pData->queue ? m_pData->queue->RecvMessage(out, wait) : false;
}

void CThread::ClearMessage() {
    if (m_pData->queue) m_pData->queue->ClearMessage();
}

void CThread::QuitMessage() {
    if (m_pData->queue) m_pData->queue->QuitMessage();
}

int CThread::GetMessageCount() {
    return m_pData->queue ? m_pData->queue->GetMessageCount() : 0;
}

PooledThread::PooledThread() : CThread("Pooled", 64, 0, 0) {}

void PooledThread::ThreadProc() {
    while (!IsThreadOver()) {
        m_jobSem.Pend(CSemaphore::kForever);
        JobCallback job = std::move(m_job);
        m_job = nullptr;
        if (job) job(m_jobArg);
        SetThreadName("Pooled");
        SetTimeout(0);
        bool keep;
        {
            std::lock_guard<std::mutex> lock(ThreadletLock());
            if (m_pThreadlet != nullptr) {
                m_pThreadlet->m_pWorker = nullptr;
                m_pThreadlet = nullptr;
            }
            // A worker asked to stop would never take its next job: keep it out of the pool.
            keep = !IsThreadOver();
        }
        if (keep) {
            CThreadManager::instance()->ReleasePooledThread(this);
        } else {
            CThreadManager::instance()->RetirePooledThread(this);
        }
    }
}

Threadlet::~Threadlet() {
    std::lock_guard<std::mutex> lock(ThreadletLock());
    if (m_pWorker != nullptr) {
        m_pWorker->m_pThreadlet = nullptr;
        m_pWorker = nullptr;
    }
}

bool Threadlet::run(const char* name, JobCallback callback, uintptr_t arg, uint32_t timeoutMs) {
    std::lock_guard<std::mutex> lock(ThreadletLock());
    if (m_pWorker != nullptr) return false;
    PooledThread* worker = CThreadManager::instance()->GetPooledThread();
    if (worker == nullptr) return false;
    worker->SetThreadName(name);
    worker->SetTimeout(timeoutMs);
    worker->m_job = std::move(callback);
    worker->m_jobArg = arg;
    worker->m_pThreadlet = this;
    m_pWorker = worker;
    worker->m_jobSem.Post();
    return true;
}

bool Threadlet::stop(bool wait) {
    PooledThread* worker;
    {
        std::lock_guard<std::mutex> lock(ThreadletLock());
        worker = m_pWorker;
        if (worker == nullptr) return true;
        // Cleared while linked, so the worker sees it when it unlinks and retires itself.
        worker->DestroyThread(false);
        if (!wait) return true;
        // Counted while linked (so before the worker can retire): it is not reaped under this waiter.
        worker->m_nWaiters.fetch_add(1, std::memory_order_relaxed);
    }
    worker->DestroyThread(true);
    worker->m_nWaiters.fetch_sub(1, std::memory_order_release);
    return true;
}

bool Threadlet::isRunning() {
    std::lock_guard<std::mutex> lock(ThreadletLock());
    return m_pWorker != nullptr;
}

bool Threadlet::sendMessage(uint32_t msg, uintptr_t wParam, uintptr_t lParam, uint32_t priority) {
    std::lock_guard<std::mutex> lock(ThreadletLock());
    return m_pWorker == nullptr ? true : m_pWorker->SendMessage(msg, wParam, lParam, priority);
}

bool Threadlet::recvMessage(CMsgQue::MSG* out, bool wait) {
    std::lock_guard<std::mutex> lock(ThreadletLock());
    // A pooled worker has no queue, so this never blocks under the lock.
    return m_pWorker == nullptr ? true : m_pWorker->RecvMessage(out, wait);
}

void Threadlet::quitMessage() {
    std::lock_guard<std::mutex> lock(ThreadletLock());
    if (m_pWorker != nullptr) m_pWorker->QuitMessage();
}

void Threadlet::clearMessage() {
    std::lock_guard<std::mutex> lock(ThreadletLock());
    if (m_pWorker != nullptr) m_pWorker->ClearMessage();
}

bool Threadlet::isTimeout() {
    std::lock_guard<std::mutex> lock(ThreadletLock());
    return m_pWorker == nullptr ? true : m_pWorker->IsTimeout();
}

void Threadlet::setLoop(bool loop) {
    std::lock_guard<std::mutex> lock(ThreadletLock());
    if (m_pWorker != nullptr) m_pWorker->m_bLoop.store(loop, std::memory_order_release);
}

bool Threadlet::getLoop() {
    std::lock_guard<std::mutex> lock(ThreadletLock());
    return m_pWorker != nullptr && !m_pWorker->IsThreadOver();
}

int Threadlet::getThreadId() {
    std::lock_guard<std::mutex> lock(ThreadletLock());
    return m_pWorker == nullptr ? -1 : m_pWorker->GetThreadId();
}

CThreadManager::CThreadManager() {
    std::puts("CThreadManager::CThreadManager()>>>>>>>>>");
}

CThreadManager* CThreadManager::instance() {
    // Never destroyed: detached threads may still use it while the process exits.
    static CThreadManager* manager = new CThreadManager;
    return manager;
}

bool CThreadManager::AddThread(CThread* thread) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!m_threads.insert(thread).second) {
        std::puts("AddThread failed!");
        return false;
    }
    return true;
}

bool CThreadManager::RemoveThread(CThread* thread) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_threads.erase(thread);
    return true;
}

bool CThreadManager::HasThread(CThread* thread) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_threads.count(thread) != 0;
}

int CThreadManager::GetThreadCount() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return static_cast<int>(m_threads.size());
}

int CThreadManager::GetIdleCount() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return static_cast<int>(m_idle.size());
}

PooledThread* CThreadManager::GetPooledThread() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    ReapRetiredLocked();
    if (!m_idle.empty()) {
        PooledThread* worker = *m_idle.begin();
        m_idle.erase(m_idle.begin());
        return worker;
    }
    auto* worker = new PooledThread;
    if (!worker->CreateThread()) {
        // Never hand out a worker without a thread: its job would never run.
        delete worker;
        return nullptr;
    }
    return worker;
}

int CThreadManager::GetRetiredCount() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return static_cast<int>(m_retired.size());
}

void CThreadManager::ReleasePooledThread(PooledThread* thread) {
    VARNELLE_CHECK(thread != nullptr && "pThread", "Source/Thread");
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!m_idle.insert(thread).second) std::puts("ReleasePooledThread failed!");
}

void CThreadManager::RetirePooledThread(PooledThread* thread) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    ReapRetiredLocked();
    m_retired.push_back(thread);
}

void CThreadManager::ReapRetiredLocked() {
    auto ended = [](PooledThread* w) {
        // A waiter leaves the count only after its last touch of the worker.
        return w->m_nWaiters.load(std::memory_order_acquire) == 0 && !w->HasActiveRun();
    };
    auto keep = std::partition(m_retired.begin(), m_retired.end(), [&](PooledThread* w) { return !ended(w); });
    for (auto it = keep; it != m_retired.end(); ++it) delete *it;
    m_retired.erase(keep, m_retired.end());
}

void CThreadManager::SetMainThreadId(int tid) {
    m_mainTid.store(tid);
}

void CThreadManager::DumpThreads() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    std::puts("Threads:");
    std::puts("               Name            PID  Prior State");
    std::puts("_______________________________________________________");
    std::printf("%24s   %8d  %3d  %s\n", "Main", m_mainTid.load(), 64, "Normal");
    for (CThread* t : m_threads) {
        std::printf("%24s   %8d  %3d  %s\n", t->GetThreadName().c_str(), t->GetThreadId(), t->GetPriority(),
                    t->IsTimeout() ? "Timeout" : "Normal");
    }
}

void DumpAllThreads() {
    CThreadManager::instance()->DumpThreads();
}
