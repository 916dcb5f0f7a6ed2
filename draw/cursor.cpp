#include "draw/cursor.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <cstring>

#include "base/file.h"
#include "draw/dev_mouse.h"
#include "draw/graphics_engine.h"
#include "draw/internal/cursor_file.h"

using varnelle::draw::internal::CursorFileError;
using varnelle::draw::internal::CursorFileImage;
using varnelle::draw::internal::ParseCursorFile;

namespace {

// The pieces of a that b does not cover.
int Outside(RECT out[4], const CRect& a, const CRect& b) {
    if (a.IsRectEmpty()) return 0;
    return SubtractRect(out, &a, &b);
}

}  // namespace

CCursor* CCursor::instance() {
    static CCursor* cursor = new CCursor;
    return cursor;
}

CCursor::CCursor() {
    CGraphicsManager* manager = CGraphicsManager::instance();
    m_pLayer = manager->GetLayer(0);
    manager->GetSurface(0, &m_surface);
    m_screen = CRect(0, 0, m_surface.width, m_surface.height);
    setPosition(m_surface.width / 2, m_surface.height / 2, false);
}

CRect CCursor::CursorRect(int index) const {
    const CursorImage& image = m_images[index];
    return CRect(Point(m_x - image.hotX, m_y - image.hotY), Size(kSize, kSize));
}

bool CCursor::CanDraw() const {
    return m_bEnabled && m_bShown && m_images[m_index].valid && m_surface.mem[0] != nullptr &&
           m_surface.width > 0 && m_surface.pitch >= 2u * static_cast<uint32_t>(m_surface.width);
}

uint16_t* CCursor::SurfacePixel(int x, int y) const {
    return reinterpret_cast<uint16_t*>(m_surface.mem[0] + size_t(y) * m_surface.pitch + size_t(x) * 2);
}

void CCursor::Restore(const CRect& area) {
    for (int y = area.top; y < area.bottom; ++y) {
        const uint16_t* src = &m_save[(y - m_saveRect.top) * kSize + (area.left - m_saveRect.left)];
        std::memcpy(SurfacePixel(area.left, y), src, size_t(area.Width()) * 2);
    }
}

void CCursor::Grab(const CRect& area) {
    for (int y = area.top; y < area.bottom; ++y) {
        uint16_t* dst = &m_save[(y - m_saveRect.top) * kSize + (area.left - m_saveRect.left)];
        std::memcpy(dst, SurfacePixel(area.left, y), size_t(area.Width()) * 2);
    }
}

void CCursor::Paint(const CRect& area) {
    const CursorImage& image = m_images[m_index];
    for (int y = area.top; y < area.bottom; ++y) {
        const int row = (y - m_saveRect.top) * kSize;
        for (int x = area.left; x < area.right; ++x) {
            const int i = row + (x - m_saveRect.left);
            const uint16_t p = m_save[i];
            uint16_t q = static_cast<uint16_t>((p & image.mask[i]) ^ image.colour[i]);
            // An inverted white pixel stays visible on a layer where 0 is see-through.
            if (p != 0 && q == 0) q = 0x0001;
            m_composite[i] = q;
        }
        std::memcpy(SurfacePixel(area.left, y), &m_composite[row + (area.left - m_saveRect.left)],
                    size_t(area.Width()) * 2);
    }
}

void CCursor::Place(const CRect& cursorRect) {
    CRect visible;
    if (CanDraw()) {
        CRect r(cursorRect);
        r.NormalizeRect();
        visible.IntersectRect(&r, &m_screen);
    }
    RECT pieces[4];
    // Give back what the cursor covers now and will not cover then.
    int n = Outside(pieces, m_drawn, visible);
    for (int i = 0; i < n; ++i) Restore(CRect(&pieces[i]));
    m_cursorRect = cursorRect;
    if (visible.IsRectEmpty()) {
        m_drawn.SetRectEmpty();
        return;
    }
    // The saved background of what stays covered is still good: move it to its place in the new
    // layout, through the composite buffer.
    CRect keep;
    if (!m_drawn.IsRectEmpty() && keep.IntersectRect(&m_drawn, &visible)) {
        for (int y = keep.top; y < keep.bottom; ++y) {
            std::memcpy(&m_composite[(y - cursorRect.top) * kSize + (keep.left - cursorRect.left)],
                        &m_save[(y - m_saveRect.top) * kSize + (keep.left - m_saveRect.left)],
                        size_t(keep.Width()) * 2);
        }
        for (int y = keep.top; y < keep.bottom; ++y) {
            const int at = (y - cursorRect.top) * kSize + (keep.left - cursorRect.left);
            std::memcpy(&m_save[at], &m_composite[at], size_t(keep.Width()) * 2);
        }
    }
    m_saveRect = cursorRect;
    n = Outside(pieces, visible, keep);
    for (int i = 0; i < n; ++i) Grab(CRect(&pieces[i]));
    Paint(visible);
    m_drawn = visible;
}

int CCursor::MakeCursor(const char* path, int index) {
    const bool goodIndex = index >= 0 && index < kImageCount;
    if (goodIndex) {
        CGuard guard(m_mutex);
        m_images[index].valid = false;
        if (index == m_index) Place(CursorRect(m_index));
    }
    CFile file;
    const uint8_t* data = path != nullptr ? file.Load(path) : nullptr;
    if (data == nullptr || !goodIndex) {
        std::puts("CCursor::MakeCursor() parameter error!!!!!!!!!");
        file.UnLoad();
        return 0;
    }
    CursorFileImage parsed;
    const auto result = ParseCursorFile(data, file.GetLength(), &parsed);
    file.UnLoad();
    switch (result.error) {
        case CursorFileError::kNone:
            break;
        case CursorFileError::kTruncated:
            std::printf("CCursor::MakeCursor() Bad cursor file, cann't use. %d %d\n", result.a, result.b);
            return 0;
        case CursorFileError::kNotMonochrome:
            std::printf("CCursor::MakeCursor() Not single monochrome cursor file, cann't use. %d %d\n", result.a,
                        result.b);
            return 0;
        case CursorFileError::kNotSize32:
            std::printf("CCursor::MakeCursor() Not 32*32 cursor file, cann't use. %d %d\n", result.a, result.b);
            return 0;
    }

    // The format is read once at construction, so the image can be built outside the lock.
    auto image = std::make_unique<CursorImage>();
    image->valid = true;
    image->dark = kDarkColour;
    image->light = kLightColour;
    image->hotX = parsed.hotX;
    image->hotY = parsed.hotY;
    const auto light = static_cast<uint16_t>(ColorToPixel(m_surface.format, image->light));
    const auto dark = static_cast<uint16_t>(ColorToPixel(m_surface.format, image->dark));
    for (int r = 0; r < kSize; ++r) {
        for (int c = 0; c < kSize; ++c) {
            const bool xorBit = (parsed.xorRows[r] >> (31 - c)) & 1;
            const bool andBit = (parsed.andRows[r] >> (31 - c)) & 1;
            const int i = r * kSize + c;
            if (andBit) {
                // The screen shows through, inverted where the XOR bit is set.
                image->mask[i] = 0xFFFF;
                image->colour[i] = xorBit ? 0xFFFF : 0;
            } else {
                image->mask[i] = 0;
                image->colour[i] = xorBit ? light : dark;
            }
        }
    }
    {
        CGuard guard(m_mutex);
        m_images[index] = *image;
        if (index == m_index) Place(CursorRect(m_index));
    }
    return 1;
}

void CCursor::setCursor(int index) {
    CGuard guard(m_mutex);
    if (index < 0 || index >= kImageCount || index == m_index) return;
    m_index = index;
    Place(CursorRect(index));
}

int CCursor::getCursor() {
    CGuard guard(m_mutex);
    return m_index;
}

void CCursor::setPosition(int x, int y, bool notify) {
    GraphicsLayer* layer;
    CRect screen;
    {
        CGuard guard(m_mutex);
        if (x >= m_surface.width) x = m_surface.width - 1;
        if (y >= m_surface.height) y = m_surface.height - 1;
        if (x < 0) x = 0;
        if (y < 0) y = 0;
        m_x = static_cast<uint16_t>(x);
        m_y = static_cast<uint16_t>(y);
        Place(CursorRect(m_index));
        layer = m_pLayer;
        screen = m_screen;
    }
    if (layer != nullptr && layer->setCursorPos != nullptr) layer->setCursorPos(layer, x, y);
    if (notify) CDevMouse::instance()->setPosition(x, y);
    if (layer != nullptr && layer->update != nullptr) layer->update(layer, &screen, 0);
}

void CCursor::getPosition(Point* out) {
    if (out == nullptr) return;
    CGuard guard(m_mutex);
    *out = Point(m_x, m_y);
}

void CCursor::enable(bool on) {
    CGuard guard(m_mutex);
    if (m_bEnabled == on) return;
    m_bEnabled = on;
    Place(m_cursorRect);
}

void CCursor::show(bool on) {
    CGuard guard(m_mutex);
    if (m_bShown == on) return;
    m_bShown = on;
    Place(m_cursorRect);
}

void CCursor::guardRect(int phase, const CRect* r) {
    if (phase == 0) {
        m_mutex.Enter();
        CRect area;
        if (r != nullptr) {
            area = *r;
            area.NormalizeRect();
        }
        if (m_lifted.IntersectRect(&m_drawn, &area)) Restore(m_lifted);
    } else if (phase == 1) {
        if (!m_lifted.IsRectEmpty()) {
            // What was drawn there is the new background.
            Grab(m_lifted);
            Paint(m_lifted);
            m_lifted.SetRectEmpty();
        }
        m_mutex.Leave();
    }
}

void CCursor::guardLine(int phase, int x1, int y1, int x2, int y2) {
    if (phase != 0) {
        guardRect(phase, nullptr);
        return;
    }
    CRect area(x1, y1, x2, y2);
    area.NormalizeRect();
    // Both ends are drawn: widen by the last column and row (which a coordinate limit cannot take).
    area.right = static_cast<int32_t>(std::min<int64_t>(int64_t{area.right} + 1, INT32_MAX));
    area.bottom = static_cast<int32_t>(std::min<int64_t>(int64_t{area.bottom} + 1, INT32_MAX));
    m_mutex.Enter();
    int cx1 = x1, cy1 = y1, cx2 = x2, cy2 = y2;
    const bool met = ClipLine(&m_cursorRect, &cx1, &cy1, &cx2, &cy2) || m_cursorRect.PtInRect(x1, y1) ||
                     m_cursorRect.PtInRect(x2, y2);
    if (!met) {
        m_lifted.SetRectEmpty();
    } else if (m_lifted.IntersectRect(&m_drawn, &area)) {
        Restore(m_lifted);
    }
}

bool CCursor::GetImage(int index, CursorImage* out) {
    if (index < 0 || index >= kImageCount || out == nullptr) return false;
    CGuard guard(m_mutex);
    *out = m_images[index];
    return true;
}
