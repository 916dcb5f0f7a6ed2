#include "draw/dc.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "base/font/font_manager.h"
#include "draw/cursor.h"
#include "draw/graphics_manager.h"
#include "draw/internal/cursor_lift.h"
#include "draw/internal/dc_util.h"

using varnelle::draw_internal::CursorLift;
using varnelle::draw_internal::WrapAdd;

void DeleteDCImage(DCImage* image) {
    if (image == nullptr) return;
    delete[] image->pixels;
    delete image;
}

IDC* CreateDC(int kind, int width, int height) {
    return new CDC(kind, width, height);
}

bool SetDefaultFontSize(int kind, const Size* size) {
    if (size == nullptr) return false;
    return StoreDefaultFontSize(kind == 2 ? 1 : 0, size->cx);
}

CDC::CDC(int kind, int width, int height) : m_kind(kind) {
    FontSize normal;
    GetDefaultFontSize(0, &normal);
    m_fontSize = Size(normal.width, normal.height);
    m_position = Point(0, 0);
    AttachSurface();
    m_brushColor = 0;
    if (kind == kMemory && width > 0 && height > 0) {
        const size_t bytes = static_cast<size_t>(width) * static_cast<size_t>(height) * 2u;
        m_pOwnMem = new (std::nothrow) uint8_t[bytes]();
        if (m_pOwnMem != nullptr) {
            m_pMem = m_pOwnMem;
            m_width = width;
            m_height = height;
            m_pitch = static_cast<uint32_t>(m_bpp) * static_cast<uint32_t>(width);
        }
    }
    SetRop(0);
    m_bkMode = 1;
    m_textFormat = 0;
    m_bkColor = RgbToPixel(m_format, 0, 0, 0, 1);
    m_textColor = RgbToPixel(m_format, 0, 0, 0, 0);
    m_penColor = m_textColor;
    m_keyColor = RgbToPixel(m_format, 255, 0, 255, 0);
    m_bEnabled = true;
    const CRect all(0, 0, width, height);
    SetClipRect(&all);
    if (kind != kMemory) {
        m_bEnabled = false;
        m_pCursor = CCursor::instance();
    }
}

CDC::~CDC() {
    delete[] m_pOwnMem;
}

void CDC::AttachSurface() {
    GraphicsSurface s{};
    IGraphicsManager::instance()->GetSurface(0, &s);
    m_format = s.format;
    m_bpp = (m_format == kFormatArgb1555 || m_format == kFormatRgb565) ? 2 : 1;
    if (m_kind == kMemory) {
        if (m_pOwnMem != nullptr) m_pitch = static_cast<uint32_t>(m_bpp) * static_cast<uint32_t>(m_width);
    } else {
        m_width = s.width;
        m_height = s.height;
        m_pitch = s.pitch;
        m_pMem = m_kind == kScreen0 ? s.mem[0] : m_kind == kScreen1 ? s.mem[1] : nullptr;
        // A record whose rows cannot hold its width is not drawn into.
        if (m_width <= 0 || m_height <= 0 || uint64_t{m_pitch} < uint64_t(m_width) * uint64_t(m_bpp)) {
            m_pMem = nullptr;
            m_width = 0;
            m_height = 0;
        }
        if (m_pMem == nullptr) m_bEnabled = false;
        // The surface may have shrunk under the clip.
        CutClipToSurface();
    }
    selectObject(m_obj, m_rop, m_bpp - 1);
}

bool CDC::SetRop(int rop) {
    if (!selectObject(m_obj, rop, m_bpp - 1)) return false;
    m_rop = rop;
    return true;
}

uint32_t CDC::SetTextColor(uint32_t colour, int fontKind) {
    m_textColor = ColorToPixel(m_format, colour);
    m_fontKind = fontKind;
    FontSize size;
    GetDefaultFontSize(fontKind == kFontSmall ? 1 : 0, &size);
    m_fontSize = Size(size.width, size.height);
    return m_textColor;
}

uint32_t CDC::SetPen(uint32_t colour, int style, int width) {
    m_penColor = ColorToPixel(m_format, colour);
    m_penLighter = ColorToPixel(m_format, ShadeColor(colour, 40, 40, 40));
    m_penDarker = ColorToPixel(m_format, ShadeColor(colour, -40, -40, -40));
    m_penStyle = style;
    m_penWidth = width;
    return m_penDarker;
}

uint32_t CDC::SetBrush(uint32_t colour, int style) {
    m_brushColor = ColorToPixel(m_format, colour);
    m_brushStyle = style;
    return m_brushColor;
}

uint32_t CDC::SetBkColor(uint32_t colour) {
    m_bkColor = ColorToPixel(m_format, colour);
    return m_bkColor;
}

int CDC::GetPenWidth() {
    std::printf("CDC::GetPenWidth() penwidth=%d\n", m_penWidth);
    return m_penWidth;
}

CRect CDC::ClipBounds() const {
    CRect bounds;
    m_clip.GetBounds(&bounds);
    return bounds;
}

uint32_t CDC::LoadPixel(const uint8_t* p) const {
    if (m_bpp == 1) return *p;
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

void CDC::CutClipToSurface() {
    const CRect surface = SurfaceRect();
    if (surface.IsRectEmpty()) {
        m_clip.SetEmpty();
    } else {
        m_clip.IntersectRect(&surface);
    }
}

bool CDC::SetPixel(int x, int y, uint32_t colour) {
    if (!m_bEnabled || !m_clip.ContainsPoint(x, y)) return false;
    CursorLift lift(m_pCursor, CRect(x, y, x + 1, y + 1));
    m_obj.pixel(PixelAddr(x, y), ColorToPixel(m_format, colour));
    return true;
}

uint16_t CDC::GetPixel(int x, int y) {
    if (!m_bEnabled || m_pMem == nullptr || !m_window.PtInRect(x, y) || !SurfaceRect().PtInRect(x, y)) return 0;
    return static_cast<uint16_t>(LoadPixel(PixelAddr(x, y)));
}

void CDC::MoveTo(int x, int y) {
    Point p(x, y);
    LPtoDP(&p);
    m_position = p;
}

bool CDC::SubtractClipRgn(const CRegion* rgn) {
    if (!m_bEnabled || rgn == nullptr) return false;
    m_clip.SubtractRgn(rgn);
    return true;
}

bool CDC::IntersectClipRgn(const CRegion* rgn) {
    if (!m_bEnabled || rgn == nullptr) return false;
    m_clip.IntersectRgn(rgn);
    return true;
}

bool CDC::UnionClipRgn(const CRegion* rgn) {
    if (!m_bEnabled || rgn == nullptr) return false;
    CRegion added;
    added.Assign(rgn);
    const CRect surface = SurfaceRect();
    added.IntersectRect(&surface);
    m_clip.AppendRgn(&added);
    return true;
}

bool CDC::GetClipRgn(CRegion* rgn) {
    if (!m_bEnabled || rgn == nullptr) return false;
    rgn->Assign(&m_clip);
    return true;
}

bool CDC::SetClipRgn(const CRegion* rgn) {
    if (!m_bEnabled || rgn == nullptr) return false;
    m_clip.Assign(rgn);
    CutClipToSurface();
    return true;
}

bool CDC::SwapClipRgn(CRegion* rgn) {
    if (!m_bEnabled || rgn == nullptr) return false;
    m_clip.Swap(rgn);
    CutClipToSurface();
    return true;
}

bool CDC::SubtractClipRect(PCRECT r) {
    if (!m_bEnabled || r == nullptr) return false;
    m_clip.SubtractRect(r);
    return true;
}

bool CDC::IntersectClipRect(PCRECT r) {
    if (!m_bEnabled || r == nullptr) return false;
    m_clip.IntersectRect(r);
    return true;
}

bool CDC::UnionClipRect(PCRECT r) {
    if (!m_bEnabled || r == nullptr) return false;
    CRect added;
    const CRect surface = SurfaceRect();
    if (added.IntersectRect(r, &surface)) m_clip.AddRect(&added);
    return true;
}

bool CDC::SetClipRect(PCRECT r) {
    if (!m_bEnabled) return false;
    if (r == nullptr) {
        m_window.SetRectEmpty();
        m_clip.SetEmpty();
        return true;
    }
    m_window = CRect(r);
    CRect visible;
    const CRect surface = SurfaceRect();
    if (visible.IntersectRect(&surface, &m_window)) {
        m_clip.SetRectRgn(&visible);
    } else {
        // A window off the surface shows nothing, whatever the clip held before.
        m_clip.SetEmpty();
    }
    return true;
}

void CDC::DPtoLP(Point* p) {
    if (p == nullptr) return;
    p->x = WrapAdd(p->x, -int64_t{m_window.left});
    p->y = WrapAdd(p->y, -int64_t{m_window.top});
}

void CDC::DPtoLP(PRECT r) {
    if (r == nullptr) return;
    OffsetRect(r, WrapAdd(0, -int64_t{m_window.left}), WrapAdd(0, -int64_t{m_window.top}));
}

void CDC::LPtoDP(Point* p) {
    if (p == nullptr) return;
    p->x = WrapAdd(p->x, m_window.left);
    p->y = WrapAdd(p->y, m_window.top);
}

void CDC::LPtoDP(PRECT r) {
    if (r == nullptr) return;
    OffsetRect(r, m_window.left, m_window.top);
}

void CDC::Enable(bool on) {
    m_bEnabled = on && m_pMem != nullptr;
}

namespace {

// Normalised and inside {0, 0, width, height}.
bool OnSurface(PCRECT r, int32_t width, int32_t height) {
    return r->left >= 0 && r->top >= 0 && r->left <= r->right && r->top <= r->bottom && r->right <= width &&
           r->bottom <= height;
}

}  // namespace

bool CDC::GetMask(PCRECT r, uint8_t* buffer, int* size) {
    if (!m_bEnabled || r == nullptr || buffer == nullptr || size == nullptr || m_pMem == nullptr) return false;
    if (!OnSurface(r, m_width, m_height)) return false;
    const int64_t rowBytes = (int64_t{r->right} - r->left) / 8;
    const int64_t need = rowBytes * (int64_t{r->bottom} - r->top);
    if (*size < need) return false;
    *size = static_cast<int>(need);
    // Pixels past a row's last whole byte have no bit.
    const int32_t columns = static_cast<int32_t>(rowBytes * 8);
    for (int32_t y = r->top; y < r->bottom; ++y) {
        uint8_t* row = buffer + static_cast<size_t>(y - r->top) * static_cast<size_t>(rowBytes);
        const uint8_t* src = PixelAddr(r->left, y);
        for (int32_t c = 0; c < columns; ++c, src += m_bpp) {
            const uint8_t bit = static_cast<uint8_t>(0x80u >> (c % 8));
            if ((LoadPixel(src) & 0xFFFF) != 0) {
                row[c / 8] |= bit;
            } else {
                row[c / 8] &= static_cast<uint8_t>(~bit);
            }
        }
    }
    return true;
}

bool CDC::SaveArea(PCRECT r, DCImage** out) {
    if (!m_bEnabled || r == nullptr || out == nullptr || m_pMem == nullptr || m_bpp != 2) return false;
    if (!OnSurface(r, m_width, m_height) || r->left == r->right || r->top == r->bottom) return false;
    const uint32_t key = ColorToPixel(m_format, IGraphicsManager::instance()->GetColorKey()) & 0xFFFF;
    const int32_t w = r->right - r->left;
    const int32_t h = r->bottom - r->top;
    auto* image = new (std::nothrow) DCImage{};
    uint8_t* pixels = new (std::nothrow) uint8_t[static_cast<size_t>(w) * static_cast<size_t>(h) * 2u];
    if (image == nullptr || pixels == nullptr) {
        delete image;
        delete[] pixels;
        return false;
    }
    image->width = w;
    image->height = h;
    image->format = m_format;
    image->pitch = static_cast<uint32_t>(w) * 2u;
    image->pixels = pixels;
    for (int32_t y = 0; y < h; ++y) {
        const uint8_t* src = PixelAddr(r->left, r->top + y);
        uint8_t* dst = pixels + static_cast<size_t>(y) * image->pitch;
        for (int32_t x = 0; x < w; ++x) {
            uint16_t p;
            std::memcpy(&p, src + 2 * x, 2);
            // The alpha bit of ARGB1555 is dropped; RGB565's top bit is red and stays.
            if (p == key) {
                p = 0x7FFF;
            } else if (m_format == kFormatArgb1555) {
                p &= 0x7FFF;
            }
            std::memcpy(dst + 2 * x, &p, 2);
        }
    }
    *out = image;
    return true;
}

uint32_t CDC::ShadeColor(uint32_t colour, int dr, int dg, int db) {
    // In 64 bits, so that the largest deltas still cap at 255.
    int64_t r = int64_t{colour & 0xFF} + dr;
    int64_t g = int64_t{(colour >> 8) & 0xFF} + dg;
    int64_t b = int64_t{(colour >> 16) & 0xFF} + db;
    r = std::min<int64_t>(r, 255);
    g = std::min<int64_t>(g, 255);
    b = std::min<int64_t>(b, 255);
    int64_t floorR = 1, floorG = 1, floorB = 1;
    if (m_format == kFormatArgb1555) {
        floorR = floorG = floorB = 8;
    } else if (m_format == kFormatRgb565) {
        floorR = 8;
        floorG = 4;
        floorB = 8;
    }
    r = std::max(r, floorR);
    g = std::max(g, floorG);
    b = std::max(b, floorB);
    return static_cast<uint32_t>(r) | static_cast<uint32_t>(g) << 8 | static_cast<uint32_t>(b) << 16;
}

void CDC::FillClipped(const CRect& r, uint32_t value) {
    for (const CRect* q = m_clip.GetFirstRect(); q != nullptr; q = m_clip.GetNextRect()) {
        CRect s;
        if (!s.IntersectRect(q, &r)) continue;
        for (int32_t y = s.top; y < s.bottom; ++y) m_obj.fill(PixelAddr(s.left, y), s.Width(), value);
    }
}

CRect CDC::PenArea(const CRect& r) const {
    const int64_t grow = std::max<int64_t>(int64_t{m_penWidth} - 1, 0);
    CRect area(varnelle::draw_internal::Clamp32(int64_t{r.left} - grow),
               varnelle::draw_internal::Clamp32(int64_t{r.top} - grow),
               varnelle::draw_internal::Clamp32(int64_t{r.right} + grow),
               varnelle::draw_internal::Clamp32(int64_t{r.bottom} + grow));
    const CRect bounds = ClipBounds();
    area.IntersectRect(&area, &bounds);
    return area;
}
