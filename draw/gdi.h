// CGDI: the drawing library's input front. It starts the mouse reader, prepares graphics layer 0
// and passes input events on, either at once to up to four listeners (on the poster's thread) or
// through its own queue to a consumer that fetches them.
//
// A process-wide singleton made on first use and never destroyed; every operation is safe from any
// thread. Listeners are called without the table lock held, so a listener may add or remove
// listeners, itself included; a listener removed on another thread during a post may still get that
// one post.
#pragma once

#include <cstdint>

#include "base/msg_que.h"
#include "base/mutex.h"

// Base of the objects whose member functions listen to the GDI front.
class CGdiObject {};

// A listener's call: (message, first parameter, second parameter, 0).
using GdiMemberProc = int (CGdiObject::*)(uint32_t msg, uint32_t first, uint32_t second, int reserved);
using GdiPlainProc = int (*)(uint32_t msg, uint32_t first, uint32_t second, int reserved);

struct GdiListener {
    enum { kNone = 0, kMember = 1, kPlain = 2 };

    GdiMemberProc pfnMember;  // kind 1, called on pObject
    GdiPlainProc pfnPlain;    // kind 2
    CGdiObject* pObject;      // kind 1
    int kind;
    int inUse;

    // fn must be a member of T, and T a (non-virtual) descendant of CGdiObject.
    template <class T>
    static GdiListener Member(T* object, int (T::*fn)(uint32_t, uint32_t, uint32_t, int)) {
        return {static_cast<GdiMemberProc>(fn), nullptr, object, kMember, 0};
    }
    static GdiListener Plain(GdiPlainProc fn) { return {nullptr, fn, nullptr, kPlain, 0}; }
};

class IGDI {
public:
    virtual ~IGDI() = default;
};

class CGDI : public IGDI {
public:
    static constexpr int kQueueSize = 1024;
    static constexpr int kMaxListeners = 4;

    static CGDI* instance();
    ~CGDI() override = default;
    CGDI(const CGDI&) = delete;
    CGDI& operator=(const CGDI&) = delete;

    // Starts the mouse reader, refreshes layer 0 and configures the layers (200, 0).
    virtual void start();
    // direct: calls every listener in use, in table order, and returns 1. Otherwise queues the
    // message and returns the queue's result (0 when it is full).
    virtual int postMessage(uint32_t msg, uint32_t first, uint32_t second, bool direct);
    // The oldest queued message (waiting for one with wait); the queue's result. Null outputs are
    // skipped.
    virtual int getMessage(uint32_t* msg, uint32_t* first, uint32_t* second, bool wait);
    // 1 when listener took a free entry; 0 for kind other than 1 and 2, a listener already in use, or
    // a full table.
    virtual int addListener(const GdiListener& listener);
    // Frees the first entry in use that is the same listener; false when none is.
    virtual bool removeListener(const GdiListener& listener);

    // Same kind and, for kind 1, the same member function and object; for kind 2, the same function.
    static bool sameListener(const GdiListener& a, const GdiListener& b);

private:
    CGDI();

    CMsgQue m_queue;
    const int m_capacity = kMaxListeners;
    int m_count = 0;                              // guarded by m_mutex
    GdiListener m_listeners[kMaxListeners] = {};  // guarded by m_mutex
    CMutex m_mutex;
};
