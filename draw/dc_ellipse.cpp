// Ellipses, chords and pies.
#include <algorithm>
#include <cmath>

#include "draw/dc.h"
#include "draw/internal/cursor_lift.h"
#include "draw/internal/dc_util.h"
#include "draw/internal/ellipse_raster.h"

using varnelle::draw_internal::ArcCut;
using varnelle::draw_internal::BorderPoint;
using varnelle::draw_internal::Box64;
using varnelle::draw_internal::Clamp32;
using varnelle::draw_internal::CursorLift;
using varnelle::draw_internal::CutKind;
using varnelle::draw_internal::EllipseRowSpan;
using varnelle::draw_internal::Point64;
using varnelle::draw_internal::PointF;
using varnelle::draw_internal::RingRow;
using varnelle::draw_internal::Span;
using varnelle::draw_internal::Spans;

namespace {

CRect Clamped(const Box64& b) {
    return CRect(Clamp32(b.left), Clamp32(b.top), Clamp32(b.right), Clamp32(b.bottom));
}

// What a pair of angles asks the rasteriser for: the whole ellipse when they lie more than 359 degrees
// apart, nothing when they meet after bringing both into 0..359, else the cut between them.
struct Angles {
    bool draw;
    CutKind kind;
    int a1;
    int a2;
};

Angles Resolve(int64_t a1, int64_t a2, CutKind kind) {
    if (std::llabs(a1 - a2) > 359) return {true, CutKind::kWhole, 0, 0};
    auto norm = [](int64_t a) { return static_cast<int>(((a % 360) + 360) % 360); };
    const int n1 = norm(a1), n2 = norm(a2);
    if (n1 == n2) return {false, kind, n1, n2};
    return {true, kind, n1, n2};
}

}  // namespace

void CDC::PaintEllipse(const Box64& box, const ArcCut& fill, const ArcCut& outline, bool drawFill,
                       bool drawOutline) {
    const CRect bounds = ClipBounds();
    const int64_t y0 = std::max<int64_t>(box.top, bounds.top);
    const int64_t y1 = std::min<int64_t>(box.bottom, bounds.bottom);
    auto paint = [&](int64_t y, const Spans& spans, uint32_t value) {
        for (int i = 0; i < spans.count; ++i) {
            const Span& s = spans.at[i];
            FillClipped(CRect(Clamp32(s.x0), static_cast<int32_t>(y), Clamp32(s.x1), static_cast<int32_t>(y + 1)),
                        value);
        }
    };
    if (drawFill) {
        for (int64_t y = y0; y < y1; ++y) {
            Spans row;
            Span s;
            if (EllipseRowSpan(box, y, &s)) row.Add(s);
            paint(y, fill.Apply(y, row), m_brushColor);
        }
    }
    if (drawOutline) {
        for (int64_t y = y0; y < y1; ++y) paint(y, outline.ApplySector(y, RingRow(box, m_penWidth, y)), m_penColor);
    }
}

bool CDC::Ellipse(PCRECT r) {
    if (!m_bEnabled || r == nullptr) return false;
    CRect d(r);
    if (d.left == d.right || d.top == d.bottom) return false;
    d.NormalizeRect();
    LPtoDP(&d);
    const int64_t w = int64_t{d.right} - d.left;
    const int64_t h = int64_t{d.bottom} - d.top;
    const int64_t rx = w > 5 ? w >> 1 : 2;
    const int64_t ry = h > 5 ? h >> 1 : 2;
    const int64_t cx = (int64_t{d.left} + d.right) / 2;
    const int64_t cy = (int64_t{d.top} + d.bottom) / 2;
    const Box64 box{cx - rx, cy - ry, cx + rx, cy + ry};
    const CRect bounds = ClipBounds();
    const CRect boxRect = Clamped(box);
    CRect area;
    if (!area.IntersectRect(&boxRect, &bounds)) return false;
    CursorLift lift(m_pCursor, area);
    const ArcCut whole(box);
    PaintEllipse(box, whole, whole, true, true);
    return true;
}

bool CDC::Arc(PCRECT r, int x1, int y1, int x2, int y2, bool pie, bool ceilFill) {
    if (!m_bEnabled || r == nullptr) return false;
    CRect n(r);
    n.NormalizeRect();
    const int64_t w = int64_t{n.right} - n.left;
    const int64_t h = int64_t{n.bottom} - n.top;
    if (w <= 1 || h <= 1) return false;
    int64_t p = std::max(m_penWidth, 0);
    if (w < 2 * p) p = (w + 1) / 2;
    if (h < 2 * p) p = (h + 1) / 2;
    Box64 box{n.left + p / 2, n.top + p / 2, n.right - (p - 1) / 2, n.bottom - (p - 1) / 2};
    box.left += m_window.left;
    box.right += m_window.left;
    box.top += m_window.top;
    box.bottom += m_window.top;
    const int64_t px1 = int64_t{x1} + m_window.left, py1 = int64_t{y1} + m_window.top;
    const int64_t px2 = int64_t{x2} + m_window.left, py2 = int64_t{y2} + m_window.top;
    const int64_t cx = (box.left + box.right) / 2;
    const int64_t cy = (box.top + box.bottom) / 2;
    const double a1 = std::atan2(static_cast<double>(py1 - cy), static_cast<double>(px1 - cx)) * 57.29577951308232;
    const double a2 = std::atan2(static_cast<double>(py2 - cy), static_cast<double>(px2 - cx)) * 57.29577951308232;

    const CutKind kind = pie ? CutKind::kPie : CutKind::kChord;
    Angles fillAngles =
        ceilFill ? Resolve(static_cast<int64_t>(std::ceil(a1)), static_cast<int64_t>(std::ceil(a2)), kind)
                 : Resolve(static_cast<int64_t>(a1), static_cast<int64_t>(a2), kind);
    Angles lineAngles = Resolve(static_cast<int64_t>(a1), static_cast<int64_t>(a2), kind);
    // The angles measure as atan2 does in device pixels, but the ends are placed as for angles that
    // grow towards the top: the arc runs from the end of a1 counter-clockwise to the end of a2.
    auto cut = [&](Angles& angles) {
        if (!angles.draw || angles.kind == CutKind::kWhole) return ArcCut(box);
        const Point64 e1 =
            BorderPoint(box.left, box.top, box.right - box.left, box.bottom - box.top, angles.a1);
        const Point64 e2 =
            BorderPoint(box.left, box.top, box.right - box.left, box.bottom - box.top, angles.a2);
        auto direction = [&](const Point64& e) {
            return PointF{static_cast<double>(2 * e.x - (box.left + box.right)),
                          static_cast<double>(2 * e.y - (box.top + box.bottom))};
        };
        const PointF d1 = direction(e1), d2 = direction(e2);
        // Ends that truncation put on one ray: the arc is nothing, or all but nothing.
        if (d1.x * d2.y - d1.y * d2.x == 0 && d1.x * d2.x + d1.y * d2.y > 0) {
            if ((angles.a2 - angles.a1 + 360) % 360 > 180) {
                angles.kind = CutKind::kWhole;
            } else {
                angles.draw = false;
            }
            return ArcCut(box);
        }
        return ArcCut(box, angles.kind, d1, d2);
    };
    const ArcCut fill = cut(fillAngles);
    const ArcCut outline = cut(lineAngles);
    if (!fillAngles.draw && !lineAngles.draw) return false;

    const CRect area = PenArea(Clamped(box));
    if (area.IsRectEmpty()) return false;
    CursorLift lift(m_pCursor, area);
    PaintEllipse(box, fill, outline, fillAngles.draw, lineAngles.draw);
    // The straight sides end where the rays towards the border points meet the ellipse: drawn on to
    // the border they would stick out of the shape, up to its corners.
    if (lineAngles.draw && lineAngles.kind != CutKind::kWhole) {
        int64_t ex1, ey1, ex2, ey2;
        outline.EndPixels(&ex1, &ey1, &ex2, &ey2);
        auto line = [&](int64_t ax, int64_t ay, int64_t bx, int64_t by) {
            LineInRgn(m_clip, Clamp32(ax), Clamp32(ay), Clamp32(bx), Clamp32(by), false, m_penColor);
        };
        if (pie) {
            int64_t ox, oy;
            outline.CentrePixel(&ox, &oy);
            line(ox, oy, ex1, ey1);
            line(ox, oy, ex2, ey2);
        } else {
            line(ex1, ey1, ex2, ey2);
        }
    }
    return true;
}

bool CDC::ChordCeil(PCRECT r, int x1, int y1, int x2, int y2) {
    return Arc(r, x1, y1, x2, y2, false, true);
}

bool CDC::Chord(PCRECT r, int x1, int y1, int x2, int y2) {
    return Arc(r, x1, y1, x2, y2, false, false);
}

bool CDC::Pie(PCRECT r, int x1, int y1, int x2, int y2) {
    return Arc(r, x1, y1, x2, y2, true, false);
}
