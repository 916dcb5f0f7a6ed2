#include "draw/gdi.h"

#include <cstdio>

#include "draw/dev_mouse.h"
#include "draw/graphics_manager.h"

CGDI* CGDI::instance() {
    static CGDI* gdi = new CGDI;
    return gdi;
}

CGDI::CGDI() : m_queue(kQueueSize) {}

void CGDI::start() {
    std::puts("CGDI::start()>>>>>>>>");
    CDevMouse::instance();
    CGraphicsManager* manager = CGraphicsManager::instance();
    manager->RefreshSurface(0, 0);
    manager->ConfigureLayers(200, 0);
}

int CGDI::postMessage(uint32_t msg, uint32_t first, uint32_t second, bool direct) {
    if (!direct) return m_queue.SendMessage(msg, first, second, 0) ? 1 : 0;
    for (int i = 0; i < m_capacity; ++i) {
        // The entry may change while it is called: call a copy taken under the lock.
        GdiListener listener;
        {
            CGuard guard(m_mutex);
            if (!m_listeners[i].inUse) continue;
            listener = m_listeners[i];
        }
        if (listener.kind == GdiListener::kPlain) {
            listener.pfnPlain(msg, first, second, 0);
        } else {
            (listener.pObject->*listener.pfnMember)(msg, first, second, 0);
        }
        CGuard guard(m_mutex);
        if (!m_listeners[i].inUse) m_listeners[i] = GdiListener{};
    }
    return 1;
}

int CGDI::getMessage(uint32_t* msg, uint32_t* first, uint32_t* second, bool wait) {
    CMsgQue::MSG m;
    if (!m_queue.RecvMessage(&m, wait)) return 0;
    if (msg != nullptr) *msg = m.msg;
    if (first != nullptr) *first = static_cast<uint32_t>(m.wParam);
    if (second != nullptr) *second = static_cast<uint32_t>(m.lParam);
    return 1;
}

bool CGDI::sameListener(const GdiListener& a, const GdiListener& b) {
    if (a.kind != b.kind) return false;
    switch (a.kind) {
        case GdiListener::kMember:
            return a.pfnMember == b.pfnMember && a.pObject == b.pObject;
        case GdiListener::kPlain:
            return a.pfnPlain == b.pfnPlain;
        default:
            return true;
    }
}

int CGDI::addListener(const GdiListener& listener) {
    // Only the two kinds that a post can call are kept.
    if (listener.kind == GdiListener::kMember) {
        if (listener.pfnMember == nullptr || listener.pObject == nullptr) return 0;
    } else if (listener.kind == GdiListener::kPlain) {
        if (listener.pfnPlain == nullptr) return 0;
    } else {
        return 0;
    }
    CGuard guard(m_mutex);
    for (const GdiListener& entry : m_listeners) {
        if (entry.inUse && sameListener(entry, listener)) return 0;
    }
    for (GdiListener& entry : m_listeners) {
        if (!entry.inUse) {
            entry = listener;
            entry.inUse = 1;
            ++m_count;
            return 1;
        }
    }
    return 0;
}

bool CGDI::removeListener(const GdiListener& listener) {
    if (listener.kind == GdiListener::kNone) return false;
    CGuard guard(m_mutex);
    for (GdiListener& entry : m_listeners) {
        if (entry.inUse && sameListener(entry, listener)) {
            entry.inUse = 0;
            --m_count;
            return true;
        }
    }
    return false;
}
