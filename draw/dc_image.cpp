// Images: plain and stretched copies of 16-bit pictures.
#include <algorithm>
#include <cstring>

#include "draw/dc.h"
#include "draw/graphics_manager.h"
#include "draw/internal/cursor_lift.h"
#include "draw/internal/dc_util.h"

using varnelle::draw_internal::Clamp32;
using varnelle::draw_internal::CursorLift;
using varnelle::draw_internal::FloorDiv64;

void CDC::Blit(const CRect& dest, const uint8_t* pixels, uint32_t pitch, int64_t ox, int64_t oy) {
    if (dest.IsRectEmpty() || m_bpp != 2) return;
    // Black source pixels show as the layer's colour key; the caller's picture is left as it is.
    const auto key = static_cast<uint16_t>(ColorToPixel(m_format, IGraphicsManager::instance()->GetColorKey()));
    std::vector<uint16_t> row;
    for (const CRect* q = m_clip.GetFirstRect(); q != nullptr; q = m_clip.GetNextRect()) {
        CRect s;
        if (!s.IntersectRect(q, &dest)) continue;
        row.resize(static_cast<size_t>(s.Width()));
        for (int32_t y = s.top; y < s.bottom; ++y) {
            const uint8_t* src = pixels + static_cast<size_t>(y - oy) * pitch + static_cast<size_t>(s.left - ox) * 2;
            std::memcpy(row.data(), src, row.size() * 2);
            for (uint16_t& p : row)
                if (p == 0) p = key;
            m_obj.copy(PixelAddr(s.left, y), s.Width(), row.data(), m_bkMode, m_keyColor);
        }
    }
}

bool CDC::DrawBitmap(PCRECT r, const BitmapInfo* info, int x, int y) {
    if (r == nullptr || info == nullptr || info->format != m_format) return false;
    if (!m_bEnabled) return false;
    const int64_t w = info->width;
    const int64_t h = info->height;
    if (info->pixels == nullptr || w <= 0 || h <= 0) return true;
    if (x < 0 || y < 0 || x >= w || y >= h) return true;
    CRect d(r);
    LPtoDP(&d);
    d.NormalizeRect();
    const CRect bounds = ClipBounds();
    if (!IntersectRect(nullptr, &d, &bounds)) return true;
    const int64_t ox = int64_t{d.left} - x;
    const int64_t oy = int64_t{d.top} - y;
    const CRect image(Clamp32(ox), Clamp32(oy), Clamp32(ox + w), Clamp32(oy + h));
    d.IntersectRect(&d, &m_window);
    d.IntersectRect(&d, &image);
    CRect area;
    area.IntersectRect(&d, &bounds);
    CursorLift lift(m_pCursor, area);
    Blit(d, info->pixels, PaddedPitch(info->width), ox, oy);
    return true;
}

void CDC::DrawPiece(int64_t left, int64_t top, int64_t right, int64_t bottom, int64_t sx, int64_t sy,
                    const DCImage& image, const CRect& dest) {
    if (left >= right || top >= bottom) return;
    // The source offset comes from the piece as placed, before the window cuts it.
    const int64_t ox = left - sx;
    const int64_t oy = top - sy;
    CRect piece(Clamp32(left), Clamp32(top), Clamp32(right), Clamp32(bottom));
    const CRect source(Clamp32(ox), Clamp32(oy), Clamp32(ox + image.width), Clamp32(oy + image.height));
    // Fixed corners wider or higher than the destination would reach past it, and past the lift.
    if (!piece.IntersectRect(&piece, &dest) || !piece.IntersectRect(&piece, &m_window) ||
        !piece.IntersectRect(&piece, &source))
        return;
    Blit(piece, image.pixels, image.pitch, ox, oy);
}

bool CDC::DrawStretchBitmap(PCRECT r, const DCImage* image) {
    if (!m_bEnabled || r == nullptr || image == nullptr || image->pixels == nullptr) return false;
    CRect d(r);
    LPtoDP(&d);
    const int64_t W = image->width;
    const int64_t H = image->height;
    const CRect bounds = ClipBounds();
    CRect visible;
    if (!visible.IntersectRect(&d, &bounds) || W <= 0 || H <= 0 || d.IsRectEmpty()) return false;
    if (uint64_t{image->pitch} < uint64_t(W) * 2) return false;
    int64_t x1 = image->x1, x2 = image->x2, y1 = image->y1, y2 = image->y2;
    if (x1 == x2) x1 = x2 = 0;
    if (y1 == y2) y1 = y2 = 0;
    // Stretch lines outside the picture would read outside it.
    if (x1 < 0 || x1 > x2 || x2 > W || y1 < 0 || y1 > y2 || y2 > H) return false;
    CursorLift lift(m_pCursor, visible);

    const int64_t m = x2 - x1;
    const int64_t mh = y2 - y1;
    const int64_t L = d.left, T = d.top, R = d.right, B = d.bottom;
    const int64_t rightX = R - (W - x2);   // where the right column starts
    const int64_t bottomY = B - (H - y2);  // where the bottom row starts
    const bool exactlyWide = R - L == m;
    const bool exactlyHigh = B - T == mh;

    // Tiles of `step` from `start` up to `end`, only those that reach the visible part.
    auto tiles = [](int64_t start, int64_t end, int64_t step, int64_t visLo, int64_t visHi, auto&& draw) {
        if (step <= 0) return;
        int64_t k = visLo > start ? FloorDiv64(visLo - start, step) : 0;
        for (int64_t t = start + k * step; t < end && t < visHi; t += step) draw(t, std::min(t + step, end));
    };
    auto row = [&](int64_t top, int64_t bottom, int64_t sy, bool withRight) {
        DrawPiece(L, top, L + x1, bottom, 0, sy, *image, d);
        tiles(L + x1, rightX, m, visible.left, visible.right,
              [&](int64_t a, int64_t b) { DrawPiece(a, top, b, bottom, x1, sy, *image, d); });
        if (withRight) DrawPiece(rightX, top, R, bottom, x2, sy, *image, d);
    };

    row(T, T + y1, 0, true);
    tiles(T + y1, bottomY, mh, visible.top, visible.bottom,
          [&](int64_t a, int64_t b) { row(a, b, y1, !exactlyWide); });
    const bool corners = !(exactlyWide && exactlyHigh);
    if (corners) DrawPiece(L, bottomY, L + x1, B, 0, y2, *image, d);
    if (!exactlyHigh)
        tiles(L + x1, rightX, m, visible.left, visible.right,
              [&](int64_t a, int64_t b) { DrawPiece(a, bottomY, b, B, x1, y2, *image, d); });
    if (corners) DrawPiece(rightX, bottomY, R, B, x2, y2, *image, d);
    return true;
}
