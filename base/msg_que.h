// CMsgQue: a bounded first-in first-out queue of small messages between threads. Any number of
// senders and receivers may share one queue. Messages come out in the order they were sent; the
// priority is only range-checked. Once QuitMessage has run every send is refused, while queued
// messages can still be received.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

class CMsgQue {
public:
    struct MSG {
        uint32_t msg;
        uintptr_t wParam;
        uintptr_t lParam;
        uint32_t time;  // sender's SystemGetMSCount, low 32 bits
    };

    explicit CMsgQue(int capacity);
    virtual ~CMsgQue();
    CMsgQue(const CMsgQue&) = delete;
    CMsgQue& operator=(const CMsgQue&) = delete;

    bool SendMessage(uint32_t msg, uintptr_t wParam = 0, uintptr_t lParam = 0, uint32_t priority = 0);
    bool RecvMessage(MSG* out, bool wait = true);
    void QuitMessage();
    void ClearMessage();
    int GetMessageCount();
    int GetMessageSize();
    void SetMessageSize(int capacity);

private:
    std::unique_ptr<class CMsgQueImp> m_pImp;
};

class CMsgQueImp {
public:
    static constexpr uint32_t kMaxPriority = 9;

    explicit CMsgQueImp(int capacity);
    virtual ~CMsgQueImp();
    CMsgQueImp(const CMsgQueImp&) = delete;
    CMsgQueImp& operator=(const CMsgQueImp&) = delete;

    // False when the queue is full, disabled, or priority is above 9.
    bool SendMessage(uint32_t msg, uintptr_t wParam, uintptr_t lParam, uint32_t priority);
    // Takes the oldest message. With wait, blocks until there is one; otherwise false when empty.
    bool RecvMessage(CMsgQue::MSG* out, bool wait);
    // Refuses every later send; there is no way back.
    void QuitMessage();
    // Discards every queued message.
    void ClearMessage();
    int GetMessageCount();
    int GetMessageSize();
    // Messages already queued stay even when above the new capacity.
    void SetMessageSize(int capacity);

private:
    friend class CThread;
    // Queues msg even on a full queue or one that has quit: a thread's stop request must always reach
    // a body waiting on its queue.
    void PostStop(uint32_t msg);

    std::mutex m_mutex;
    std::condition_variable m_cond;    // signalled when a message is queued
    std::deque<CMsgQue::MSG> m_queue;  // guarded by m_mutex; oldest at the front
    bool m_bEnabled = true;            // guarded by m_mutex
    int m_nCapacity;                   // guarded by m_mutex
};
