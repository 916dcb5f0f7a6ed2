// The mouse reader's packet rule, apart from its thread: position inside the bounds, presses,
// releases and double clicks, each packet giving the messages to post in order.
//
// Not thread-safe: CDevMouse serialises the calls.
#pragma once

#include <cstdint>

#include "draw/rect.h"

namespace varnelle::draw::internal {

struct MouseMessage {
    uint32_t code;
    uint32_t first;
    uint32_t second;
};

// The messages of one packet: found, moved, wheel and one per button at most.
struct MouseMessages {
    int count = 0;
    MouseMessage items[6];

    void Add(uint32_t code, uint32_t first, uint32_t second) { items[count++] = {code, first, second}; }
};

class MouseDecoder {
public:
    static constexpr uint32_t kDoubleClickMs = 450;
    // Moves that end further than this (|dx| x |dy|) from the last press forget the presses.
    static constexpr int64_t kClickSlop = 900;

    // Bounds with no area do not clamp.
    void SetBounds(const CRect& bounds);
    void SetPosition(int32_t x, int32_t y);
    Point Position() const { return {m_x, m_y}; }
    bool Present() const { return m_present; }

    // The read gave no packet.
    void OnMissing(MouseMessages* out);
    // A packet {buttons, dx, dy (up positive), wheel} read at tick now (ms, wrapping).
    void OnPacket(const uint8_t packet[4], uint32_t now, MouseMessages* out);

private:
    uint32_t PositionWord() const;

    int32_t m_x = 0;
    int32_t m_y = 0;
    int32_t m_x2 = 0;  // set with the position by SetBounds
    int32_t m_y2 = 0;
    uint32_t m_buttons = 0;          // byte 0 of the last packet
    uint32_t m_pressTime[3] = {};    // left, right, middle; 0 = none
    int32_t m_pressX = 0;
    int32_t m_pressY = 0;
    CRect m_bounds;
    bool m_present = false;
};

}  // namespace varnelle::draw::internal
