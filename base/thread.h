// CThread: a named, detached thread with a priority, an optional private message queue and a loop
// flag that its body polls. A subclass supplies the body in ThreadProc. Every running CThread is
// registered with the process-wide CThreadManager, which also lends pooled worker threads to
// Threadlets: small job handles that run one callback on a worker and give it back.
//
// Guarantees: one run of a CThread at a time (a second CreateThread waits until the previous body
// has returned); DestroyThread(true) from another thread returns once the run it stopped has returned
// and unregistered, even when the body ended on its own or a restart is already waiting. The object
// must outlive its thread: destroy it only after DestroyThread(true) has returned on another thread
// (a destructor that finds the body still running reports the misuse and waits for it).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "base/msg_que.h"
#include "base/semaphore.h"

// A job for a pooled worker: called once with the job argument.
using JobCallback = std::function<void(uintptr_t)>;

// Binds a member function to its object as a JobCallback.
template <class T>
JobCallback MakeJobCallback(T* object, void (T::*method)(uintptr_t)) {
    return [object, method](uintptr_t arg) { (object->*method)(arg); };
}

class CThread {
public:
    // Sent to the thread's own queue by DestroyThread, so a body blocked in RecvMessage wakes.
    static constexpr uint32_t kStopMessage = 205;

    // name null gives "Nonamed"; queueSize > 0 gives the thread a private queue of that capacity.
    // Priority 0 asks for round-robin real-time scheduling (granted only where the platform allows
    // it); any other value runs under the normal policy.
    CThread(const char* name, int priority, int queueSize = 0, uint32_t stackSize = 0);
    virtual ~CThread();
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    // Starts the body on a new detached thread; waits first while a previous run is still in its
    // body. False when no thread could be started (the object is then as before the call).
    bool CreateThread();
    // Clears the loop flag, sends kStopMessage while the body runs (also to a queue that is full or
    // has quit) and, with wait from another thread, waits until that run has returned. Called by the
    // thread itself it never waits. Always true.
    bool DestroyThread(bool wait = false);
    // True once the loop flag is cleared (also before the first start).
    bool IsThreadOver() const { return !m_bLoop.load(std::memory_order_acquire); }
    // True from a start until its body has returned and the thread has unregistered; once false the
    // thread no longer touches the object.
    bool HasActiveRun() const;

    int SetThreadName(const char* name);
    std::string GetThreadName() const;
    // 0 clears the timeout; otherwise IsTimeout holds once more than ms have passed on the tick (across
    // its wrap too). For the thread table only.
    void SetTimeout(uint32_t ms);
    bool IsTimeout() const;
    // Kernel thread id of the running thread, -1 before the first run.
    int GetThreadId() const;
    // The scheduling priority requested at the last start (the constructor's value before it).
    int GetPriority() const;
    static int GetCurrentTid();

    // Queue operations; without a private queue they do nothing and report false or 0.
    bool SendMessage(uint32_t msg, uintptr_t wParam = 0, uintptr_t lParam = 0, uint32_t priority = 0);
    bool RecvMessage(CMsgQue::MSG* out, bool wait = true);
    void ClearMessage();
    void QuitMessage();
    int GetMessageCount();

protected:
    // The body, called once per start on the new thread; loops while !IsThreadOver().
    virtual void ThreadProc() = 0;

    std::atomic<bool> m_bLoop{false};

private:
    static void* ThreadEntry(void* arg);
    struct ThreadData;
    std::unique_ptr<ThreadData> m_pData;
};

class Threadlet;

// A worker of the thread pool. Lent to one Threadlet at a time.
class PooledThread : public CThread {
public:
    PooledThread();

protected:
    void ThreadProc() override;

private:
    friend class Threadlet;
    friend class CThreadManager;
    CSemaphore m_jobSem;  // one unit per job
    JobCallback m_job;    // written before m_jobSem is posted, read after it is taken
    uintptr_t m_jobArg = 0;
    Threadlet* m_pThreadlet = nullptr;  // guarded by the threadlet lock
    // Threadlet::stop callers waiting for this worker's end; a retired worker is deleted only at 0.
    std::atomic<int> m_nWaiters{0};
};

class IThreadLet {
public:
    virtual ~IThreadLet() = default;
    virtual bool run(const char* name, JobCallback callback, uintptr_t arg, uint32_t timeoutMs) = 0;
    virtual bool stop(bool wait) = 0;
    virtual bool isRunning() = 0;
    virtual bool sendMessage(uint32_t msg, uintptr_t wParam, uintptr_t lParam, uint32_t priority) = 0;
    virtual bool recvMessage(CMsgQue::MSG* out, bool wait) = 0;
    virtual void quitMessage() = 0;
    virtual void clearMessage() = 0;
    virtual bool isTimeout() = 0;
    virtual void setLoop(bool loop) = 0;
    virtual bool getLoop() = 0;
    virtual int getThreadId() = 0;
};

// Runs one job at a time on a borrowed pooled worker. Destroying a threadlet while its job runs lets
// the job finish; the worker then goes back to the pool without touching the threadlet.
class Threadlet : public IThreadLet {
public:
    Threadlet() = default;
    ~Threadlet() override;
    Threadlet(const Threadlet&) = delete;
    Threadlet& operator=(const Threadlet&) = delete;

    // False while the previous job has not finished, or when no worker could be started.
    bool run(const char* name, JobCallback callback, uintptr_t arg, uint32_t timeoutMs) override;
    // Asks the worker to end after the current job (it is then not reused); with wait, waits for
    // that. True when idle.
    bool stop(bool wait) override;
    bool isRunning() override;
    bool sendMessage(uint32_t msg, uintptr_t wParam, uintptr_t lParam, uint32_t priority) override;
    bool recvMessage(CMsgQue::MSG* out, bool wait) override;
    void quitMessage() override;
    void clearMessage() override;
    bool isTimeout() override;
    void setLoop(bool loop) override;
    bool getLoop() override;
    int getThreadId() override;

private:
    friend class PooledThread;
    PooledThread* m_pWorker = nullptr;  // guarded by the threadlet lock
};

// The registry of running threads and the pool of idle workers; created on first use, never
// destroyed. Every operation is safe from any thread.
class CThreadManager {
public:
    static CThreadManager* instance();

    bool AddThread(CThread* thread);
    bool RemoveThread(CThread* thread);
    bool HasThread(CThread* thread);
    int GetThreadCount();
    int GetIdleCount();
    // Workers retired by Threadlet::stop and not yet deleted.
    int GetRetiredCount();

    // The idle worker with the lowest address, or a newly started one; null when none could start.
    PooledThread* GetPooledThread();
    // thread must not be null.
    void ReleasePooledThread(PooledThread* thread);

    void SetMainThreadId(int tid);
    void DumpThreads();

private:
    CThreadManager();
    friend class PooledThread;
    // Keeps a worker whose thread has been asked to end, so it is never lent again, until it is reaped.
    void RetirePooledThread(PooledThread* thread);
    // Deletes the retired workers whose run has ended and that nobody waits on. Caller holds m_mutex.
    void ReapRetiredLocked();

    std::recursive_mutex m_mutex;
    std::set<PooledThread*> m_idle;        // guarded by m_mutex
    std::set<CThread*> m_threads;          // guarded by m_mutex
    std::vector<PooledThread*> m_retired;  // guarded by m_mutex
    std::atomic<int> m_mainTid{0};
};

void DumpAllThreads();
