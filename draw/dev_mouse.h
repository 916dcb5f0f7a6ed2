// CDevMouse: the mouse reader. A thread reads 4-byte packets through the application's hooks
// (draw_hooks.h), keeps the pointer inside its bounds, recognises presses, releases and double
// clicks and posts every event at once (direct dispatch) to the GDI front's listeners, on this
// thread.
//
// Packet: byte 0 buttons (bit 0 left, bit 1 right, bit 2 middle; bit 7 set: the packet does not
// announce a mouse), byte 1 x movement, byte 2 y movement (up positive), byte 3 wheel, all signed.
// A read without a packet reports a present mouse lost, then the reader waits a second.
//
// A process-wide singleton, made and started on first use and never destroyed. setRect,
// setPosition and isPresent are safe from any thread.
#pragma once

#include <cstdint>

#include "base/mutex.h"
#include "base/thread.h"
#include "draw/internal/mouse_decoder.h"
#include "draw/rect.h"

// Messages posted to the GDI front: (code, first, second). pos is (x << 16) | y, each in 16 bits;
// buttons is byte 0 of the packet.
enum MouseMessageCode : uint32_t {
    kMouseFound = 0x20004,        // 0, 0
    kMouseLost = 0x20005,         // 0, 0
    kMouseMoved = 0x20006,        // buttons, pos
    kMouseWheel = 0x20007,        // buttons | wheel << 16, pos
    kMouseLeftDown = 0x20008,     // buttons, pos (and so on for each button)
    kMouseLeftUp = 0x20009,
    kMouseLeftDouble = 0x2000A,
    kMouseRightDown = 0x2000B,
    kMouseRightUp = 0x2000C,
    kMouseRightDouble = 0x2000D,
    kMouseMiddleDown = 0x2000E,
    kMouseMiddleUp = 0x2000F,
    kMouseMiddleDouble = 0x20010,
};

class IMouse {
public:
    virtual ~IMouse() = default;
};

class CDevMouse : public IMouse, public CThread {
public:
    static CDevMouse* instance();
    // Stops the thread (waits for a read in progress to return) and calls the open hook again.
    ~CDevMouse() override;

    // Null does nothing; else the bounds become *r and the pointer its centre (right / 2,
    // bottom / 2). Until the first call the pointer is not clamped.
    virtual void setRect(const CRect* r);
    virtual bool isPresent();
    // Moves the pointer without a message (the cursor follows a position set elsewhere).
    void setPosition(int32_t x, int32_t y);
    Point getPosition();

protected:
    void ThreadProc() override;

private:
    CDevMouse();
    static void Post(const varnelle::draw::internal::MouseMessages& messages);

    CMutex m_mutex;
    varnelle::draw::internal::MouseDecoder m_decoder;  // guarded by m_mutex
};
