#include "draw/dev_mouse.h"

#include "base/time.h"
#include "draw/draw_hooks.h"
#include "draw/gdi.h"

using varnelle::draw::internal::MouseMessages;

CDevMouse* CDevMouse::instance() {
    static CDevMouse* mouse = [] {
        auto* m = new CDevMouse;
        m->CreateThread();
        return m;
    }();
    return mouse;
}

CDevMouse::CDevMouse() : CThread("DevMouse", 57, 0, 0) {
    DevMouseOpenHook();
}

CDevMouse::~CDevMouse() {
    DestroyThread(true);
    DevMouseOpenHook();
}

void CDevMouse::setRect(const CRect* r) {
    if (r == nullptr) return;
    CGuard guard(m_mutex);
    m_decoder.SetBounds(*r);
}

bool CDevMouse::isPresent() {
    CGuard guard(m_mutex);
    return m_decoder.Present();
}

void CDevMouse::setPosition(int32_t x, int32_t y) {
    CGuard guard(m_mutex);
    m_decoder.SetPosition(x, y);
}

Point CDevMouse::getPosition() {
    CGuard guard(m_mutex);
    return m_decoder.Position();
}

void CDevMouse::Post(const MouseMessages& messages) {
    for (int i = 0; i < messages.count; ++i) {
        const auto& m = messages.items[i];
        CGDI::instance()->postMessage(m.code, m.first, m.second, true);
    }
}

void CDevMouse::ThreadProc() {
    while (!IsThreadOver()) {
        uint8_t packet[4] = {};
        MouseMessages messages;
        if (DevMouseReadHook(packet) != 0) {
            {
                CGuard guard(m_mutex);
                m_decoder.OnMissing(&messages);
            }
            Post(messages);
            SystemSleep(1000);
            continue;
        }
        const auto now = static_cast<uint32_t>(SystemGetMSCount());
        {
            CGuard guard(m_mutex);
            m_decoder.OnPacket(packet, now, &messages);
        }
        // Listeners run without the lock, so they may move the pointer themselves.
        Post(messages);
    }
}
