// Lines, rectangles, the trapezoid and regions drawn as rectangles.
#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "draw/dc.h"
#include "draw/internal/cursor_lift.h"
#include "draw/internal/dc_util.h"
#include "draw/internal/work_counters.h"
#include "draw/line_raster.h"

using varnelle::draw_internal::Clamp32;
using varnelle::draw_internal::CursorLift;

bool CDC::LineTo(int x, int y) {
    if (!m_bEnabled) return false;
    Point target(x, y);
    LPtoDP(&target);
    LineInRgn(m_clip, m_position.x, m_position.y, target.x, target.y, true, m_penColor);
    m_position = target;
    // The position moves on either way; an empty clip drew nothing.
    return !m_clip.IsEmpty();
}

void CDC::LineInRgn(CRegion& rgn, int32_t x1, int32_t y1, int32_t x2, int32_t y2, bool lift, uint32_t value) {
    if (m_penWidth > 10) std::printf("CDC::_LineInRgn  warning m_PenWidth bigger than 10 %d\n", m_penWidth);
    if (m_penWidth <= 0 || rgn.IsEmpty()) return;
    const int64_t dx = int64_t{x2} - x1;
    const int64_t dy = int64_t{y2} - y1;
    int ox = 0;
    int oy = 0;
    if (std::llabs(dx) >= std::llabs(dy)) {
        oy = dx >= 0 ? -1 : 1;
    } else {
        ox = dy >= 0 ? 1 : -1;
    }
    // Copy i is the line moved i pixels along the shift axis (v; u is the other one). Per rectangle,
    // only the copies that put a pixel in it are walked: the line's pixels with u inside the rectangle
    // have v in one run [vLo, vHi] (v moves at most one pixel a step), so copy i meets it when
    // [vLo + i·shift, vHi + i·shift] meets the rectangle's v range. A huge pen then costs what it
    // draws, not its width.
    const bool shiftX = ox != 0;
    const int shift = shiftX ? ox : oy;
    constexpr int64_t kOpen = int64_t{1} << 40;  // beyond any coordinate
    const LineRaster base(x1, y1, x2, y2);
    struct Reach {
        const CRect* rect;
        int64_t lo;
        int64_t hi;
    };
    std::vector<Reach> reaches;
    for (const CRect* r = rgn.GetFirstRect(); r != nullptr; r = rgn.GetNextRect()) {
        int64_t first, last;
        const bool any = shiftX ? base.Clip(-kOpen, r->top, kOpen, r->bottom, &first, &last)
                                : base.Clip(r->left, -kOpen, r->right, kOpen, &first, &last);
        if (!any) continue;
        const Point a = base.PixelAt(first), b = base.PixelAt(last);
        const int64_t vLo = shiftX ? std::min(a.x, b.x) : std::min(a.y, b.y);
        const int64_t vHi = shiftX ? std::max(a.x, b.x) : std::max(a.y, b.y);
        const int64_t rLo = shiftX ? r->left : r->top;
        const int64_t rHi = (shiftX ? r->right : r->bottom) - int64_t{1};
        int64_t lo = shift > 0 ? rLo - vHi : vLo - rHi;
        int64_t hi = shift > 0 ? rHi - vLo : vHi - rLo;
        lo = std::max<int64_t>(lo, 0);
        hi = std::min<int64_t>(hi, int64_t{m_penWidth} - 1);
        if (lo <= hi) reaches.push_back({r, lo, hi});
    }
    // The copies that reach any rectangle, as runs in increasing order.
    std::vector<std::pair<int64_t, int64_t>> runs;
    for (const Reach& reach : reaches) runs.emplace_back(reach.lo, reach.hi);
    std::sort(runs.begin(), runs.end());
    int64_t i = 0;
    for (size_t next = 0; next < runs.size();) {
        i = std::max(i, runs[next].first);
        int64_t end = runs[next].second;
        while (next < runs.size() && runs[next].first <= end) end = std::max(end, runs[next++].second);
        varnelle::draw_internal::Counters().lineCopies += static_cast<uint64_t>(end - i + 1);
        for (; i <= end; ++i) {
            const int64_t cx1 = x1 + i * ox, cy1 = y1 + i * oy, cx2 = x2 + i * ox, cy2 = y2 + i * oy;
            if (cx1 != Clamp32(cx1) || cy1 != Clamp32(cy1) || cx2 != Clamp32(cx2) || cy2 != Clamp32(cy2))
                continue;
            const auto ax1 = static_cast<int32_t>(cx1), ay1 = static_cast<int32_t>(cy1);
            const auto ax2 = static_cast<int32_t>(cx2), ay2 = static_cast<int32_t>(cy2);
            CursorLift guard(lift ? m_pCursor : nullptr, ax1, ay1, ax2, ay2);
            // The region's order, as every copy draws.
            for (const Reach& reach : reaches)
                if (i >= reach.lo && i <= reach.hi) DrawSegment(*reach.rect, ax1, ay1, ax2, ay2, value);
        }
    }
}

void CDC::DrawSegment(const CRect& rect, int32_t x1, int32_t y1, int32_t x2, int32_t y2, uint32_t value) {
    const LineRaster line(x1, y1, x2, y2);
    int64_t first;
    int64_t last;
    if (!line.Clip(&rect, &first, &last)) return;
    // Only slanted segments are dotted: upright ones are drawn pixel by pixel and level ones as one
    // run, solid, so the sides of rectangles stay whole.
    const bool dotted = m_penStyle == kPenDotted && x1 != x2 && y1 != y2;
    const Point start = line.PixelAt(first);
    if (!dotted && !line.YMajor() && y1 == y2) {
        m_obj.fill(PixelAddr(start.x, start.y), static_cast<int>(last - first + 1), value);
        return;
    }
    const int64_t dMajor = line.Steps();
    const int64_t dMinor = line.YMajor() ? std::llabs(int64_t{x2} - x1) : std::llabs(int64_t{y2} - y1);
    const ptrdiff_t pitch = static_cast<ptrdiff_t>(m_pitch);
    const ptrdiff_t majorStride = line.YMajor() ? pitch : m_bpp;
    const ptrdiff_t minorStride = (line.YMajor() ? m_bpp : pitch) * line.MinorStep();
    int64_t e = first < last ? line.ErrorAt(first) : 0;
    int64_t major = line.YMajor() ? start.y : start.x;
    uint8_t* p = PixelAddr(start.x, start.y);
    for (int64_t i = first;; ++i) {
        // Dotted: the line's own first pixel, then those on odd major coordinates.
        if (!dotted || i == 0 || (major & 1) != 0) m_obj.pixel(p, value);
        if (i == last) break;
        if (e >= 0) {
            p += minorStride;
            e += 2 * (dMinor - dMajor);
        } else {
            e += 2 * dMinor;
        }
        p += majorStride;
        ++major;
    }
}

namespace {

struct Entry {
    int64_t left;
    int64_t right;
    int64_t y;
};

int64_t HalfTrunc(int64_t v) {
    return v / 2;
}

}  // namespace

bool CDC::Rectangle(PCRECT r, int rx, int ry) {
    if (!m_bEnabled || r == nullptr) return false;
    CRect d(r);
    LPtoDP(&d);
    d.NormalizeRect();
    const CRect bounds = ClipBounds();
    if (!IntersectRect(nullptr, &d, &bounds)) return false;
    CursorLift lift(m_pCursor, PenArea(d));

    const int64_t left = d.left, top = d.top, right = d.right, bottom = d.bottom;
    std::vector<Entry> entries;
    if (rx <= 0 || ry <= 0) {
        entries = {{left, right - 1, top}, {left, right - 1, bottom - 1}};
    } else {
        const int64_t ax = std::min<int64_t>(rx, (right - left) / 2);
        const int64_t ay = std::min<int64_t>(ry, (bottom - top) / 2);
        const int64_t xc = left + ax;
        const int64_t yc = top + ay;
        const Entry upper[5] = {
            {xc, 0, top},
            {xc - 383 * ax / 1000, 0, yc - 924 * ay / 1000},
            {xc - 707 * ax / 1000, 0, yc - 707 * ay / 1000},
            {xc - 924 * ax / 1000, 0, yc - 383 * ay / 1000},
            {left, 0, yc},
        };
        for (const Entry& e : upper) entries.push_back({e.left, (left + right - 1) - e.left, e.y});
        for (int i = 4; i >= 0; --i)
            entries.push_back({upper[i].left, (left + right - 1) - upper[i].left, (top + bottom - 1) - upper[i].y});
    }

    if ((m_rectStyle & kRectNoFill) == 0) {
        auto strip = [&](int64_t l, int64_t t, int64_t rr, int64_t b) {
            FillClipped(CRect(Clamp32(l), Clamp32(t), Clamp32(rr), Clamp32(b)), m_brushColor);
        };
        for (size_t i = 0; i + 1 < entries.size(); ++i) {
            const Entry& a = entries[i];
            const Entry& b = entries[i + 1];
            if (a.y > b.y) continue;
            if ((a.left == b.left && a.right == b.right) || a.y == b.y) {
                strip(a.left, a.y, a.right + 1, b.y + 1);
                continue;
            }
            const int64_t span = b.y - a.y;
            const int64_t dl = b.left - a.left, dr = b.right - a.right;
            const int64_t sl = dl > 0 ? 1 : -1, sr = dr > 0 ? 1 : -1;
            // Rows off the clip draw nothing.
            const int64_t y0 = std::max<int64_t>(a.y, bounds.top);
            const int64_t y1 = std::min<int64_t>(b.y, int64_t{bounds.bottom} - 1);
            for (int64_t y = y0; y <= y1; ++y) {
                const int64_t k = y - a.y;
                const auto xl = a.left + HalfTrunc(static_cast<int64_t>(__int128{2} * k * dl / span) + sl);
                const auto xr = a.right + HalfTrunc(static_cast<int64_t>(__int128{2} * k * dr / span) + sr);
                strip(xl, y, xr + 1, y + 1);
            }
        }
    }

    if ((m_rectStyle & kRectNoBorder) == 0) {
        uint32_t a = m_penColor;
        uint32_t b = m_penColor;
        if ((m_rectStyle & kRectSunken) != 0) {
            a = m_penDarker;
            b = m_penLighter;
        } else if ((m_rectStyle & kRectRaised) != 0) {
            a = m_penLighter;
            b = m_penDarker;
        }
        auto line = [&](int64_t x1, int64_t y1, int64_t x2, int64_t y2, uint32_t value) {
            LineInRgn(m_clip, Clamp32(x1), Clamp32(y1), Clamp32(x2), Clamp32(y2), false, value);
        };
        const size_t n = entries.size();
        line(entries[0].right, entries[0].y, entries[0].left, entries[0].y, a);
        line(entries[n - 1].left, entries[n - 1].y, entries[n - 1].right, entries[n - 1].y, b);
        for (size_t i = n - 1; i >= 1; --i)
            line(entries[i].right, entries[i].y, entries[i - 1].right, entries[i - 1].y, b);
        for (size_t i = 0; i + 1 < n; ++i)
            line(entries[i].left, entries[i].y, entries[i + 1].left, entries[i + 1].y, a);
    }
    return true;
}

bool CDC::FillTrapezoid(int x1, int y1, int dx1, int x2, int y2, int dx2) {
    if (!m_bEnabled) return false;
    Point p(x1, y1);
    Point q(x2, y2);
    LPtoDP(&p);
    LPtoDP(&q);
    const int64_t h = int64_t{q.y} - p.y;
    if (h <= 0) return false;
    auto xLeft = [&](int64_t y) { return p.x + static_cast<int64_t>(__int128{dx1} * (y - p.y) / h); };
    auto xRight = [&](int64_t y) { return q.x + static_cast<int64_t>(__int128{dx2} * (y - p.y) / h); };
    // Both edges are straight, so the rows' extremes lie at the first and the last row.
    const CRect box(Clamp32(std::min(xLeft(p.y), xLeft(q.y))), p.y,
                    Clamp32(std::max(xRight(p.y), xRight(q.y)) + 1), Clamp32(int64_t{q.y} + 1));
    const CRect bounds = ClipBounds();
    CRect area;
    if (!area.IntersectRect(&box, &bounds)) return false;
    CursorLift lift(m_pCursor, area);
    for (int64_t y = area.top; y < area.bottom; ++y) {
        const int64_t l = xLeft(y), r = xRight(y) + 1;
        if (l >= r) continue;
        FillClipped(CRect(Clamp32(l), static_cast<int32_t>(y), Clamp32(r), static_cast<int32_t>(y + 1)), m_brushColor);
    }
    return true;
}

bool CDC::DrawRgn(const CRegion* rgn) {
    if (!m_bEnabled || rgn == nullptr || m_clip.IsEmpty()) return false;
    CRegion copy;
    copy.Assign(rgn);
    for (const CRect* r = copy.GetFirstRect(); r != nullptr; r = copy.GetNextRect()) Rectangle(r, 0, 0);
    return true;
}
