#include "draw/internal/mouse_decoder.h"

#include <cstdlib>

#include "draw/dev_mouse.h"

namespace varnelle::draw::internal {

namespace {

constexpr uint32_t kNoMouse = 0x80;

struct Button {
    uint32_t bit;
    uint32_t down;
    uint32_t up;
    uint32_t dbl;
};
constexpr Button kButtons[3] = {
    {0x1, kMouseLeftDown, kMouseLeftUp, kMouseLeftDouble},
    {0x2, kMouseRightDown, kMouseRightUp, kMouseRightDouble},
    {0x4, kMouseMiddleDown, kMouseMiddleUp, kMouseMiddleDouble},
};

int32_t Clamp(int64_t v, int32_t lo, int32_t hi) {
    if (v < lo) return lo;
    if (v >= hi) return hi - 1;
    return static_cast<int32_t>(v);
}

}  // namespace

void MouseDecoder::SetBounds(const CRect& bounds) {
    m_bounds = bounds;
    m_x = m_x2 = bounds.right / 2;
    m_y = m_y2 = bounds.bottom / 2;
}

void MouseDecoder::SetPosition(int32_t x, int32_t y) {
    m_x = x;
    m_y = y;
}

uint32_t MouseDecoder::PositionWord() const {
    return (static_cast<uint32_t>(m_x) & 0xFFFF) << 16 | (static_cast<uint32_t>(m_y) & 0xFFFF);
}

void MouseDecoder::OnMissing(MouseMessages* out) {
    if (!m_present) return;
    m_present = false;
    out->Add(kMouseLost, 0, 0);
}

void MouseDecoder::OnPacket(const uint8_t packet[4], uint32_t now, MouseMessages* out) {
    const uint32_t buttons = packet[0];
    const auto dx = static_cast<int8_t>(packet[1]);
    const auto dy = static_cast<int8_t>(packet[2]);
    const auto wheel = static_cast<int8_t>(packet[3]);

    if (!m_present && (buttons & kNoMouse) == 0) {
        m_present = true;
        out->Add(kMouseFound, 0, 0);
    }

    // Unclamped positions wrap instead of overflowing.
    int64_t x = int64_t{m_x} + dx;
    int64_t y = int64_t{m_y} - dy;
    int32_t nx = static_cast<int32_t>(x);
    int32_t ny = static_cast<int32_t>(y);
    if (!m_bounds.IsRectEmpty()) {
        nx = Clamp(x, m_bounds.left, m_bounds.right);
        ny = Clamp(y, m_bounds.top, m_bounds.bottom);
    }
    if (nx != m_x || ny != m_y) {
        m_x = nx;
        m_y = ny;
        out->Add(kMouseMoved, buttons, PositionWord());
        if (std::llabs(int64_t{m_pressX} - m_x) * std::llabs(int64_t{m_pressY} - m_y) > kClickSlop) {
            for (uint32_t& t : m_pressTime) t = 0;
        }
    }

    if (wheel != 0) out->Add(kMouseWheel, buttons | static_cast<uint32_t>(int32_t{wheel} * 65536), PositionWord());

    for (int i = 0; i < 3; ++i) {
        const Button& b = kButtons[i];
        if (((buttons ^ m_buttons) & b.bit) == 0) continue;
        if ((buttons & b.bit) == 0) {
            out->Add(b.up, buttons, PositionWord());
            continue;
        }
        // A press time of 0 means no earlier press (the tick may itself be small).
        if (m_pressTime[i] == 0 || now - m_pressTime[i] >= kDoubleClickMs) {
            out->Add(b.down, buttons, PositionWord());
            m_pressTime[i] = now;
        } else {
            out->Add(b.dbl, buttons, PositionWord());
            m_pressTime[i] = 0;
        }
        m_pressX = m_x;
        m_pressY = m_y;
    }
    m_buttons = buttons;
}

}  // namespace varnelle::draw::internal
