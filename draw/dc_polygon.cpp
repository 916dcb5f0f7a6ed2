// Polygons and Bezier curves.
#include <algorithm>

#include "draw/dc.h"
#include "draw/internal/cursor_lift.h"
#include "draw/internal/dc_util.h"
#include "draw/internal/polygon_scan.h"

using varnelle::draw_internal::AlternateSpans;
using varnelle::draw_internal::Clamp32;
using varnelle::draw_internal::CursorLift;
using varnelle::draw_internal::FillEdge;
using varnelle::draw_internal::PolygonScanner;
using varnelle::draw_internal::Spans;
using varnelle::draw_internal::WindingSpans;

namespace {

// {min x, min y, max x, max y} of count >= 1 points.
CRect BoundingBox(const Point* points, int count) {
    CRect box(points[0].x, points[0].y, points[0].x, points[0].y);
    for (int i = 1; i < count; ++i) {
        box.left = std::min(box.left, points[i].x);
        box.top = std::min(box.top, points[i].y);
        box.right = std::max(box.right, points[i].x);
        box.bottom = std::max(box.bottom, points[i].y);
    }
    return box;
}

}  // namespace

bool CDC::IntFillPolygon(const Point* points, int count, const CRect& rect) {
    PolygonScanner scan(points, count);
    if (!scan.HasTable()) return false;
    // Lines off the clip draw nothing; the walk starts each edge where the first visited line finds it.
    const CRect bounds = ClipBounds();
    const int64_t y0 = std::max(rect.top, bounds.top);
    const int64_t y1 = std::min(rect.bottom, bounds.bottom);
    std::vector<CRect> clip;
    for (const CRect* q = m_clip.GetFirstRect(); q != nullptr; q = m_clip.GetNextRect()) clip.push_back(*q);
    std::vector<const FillEdge*> active;
    Spans spans;
    for (int64_t y = y0; y < y1; ++y) {
        if (!scan.Row(y, &active) || active.empty() || !AlternateSpans(active, &spans)) return false;
        for (const auto& [spanL, spanR] : spans) {
            for (const CRect& q : clip) {
                if (y < q.top || y >= q.bottom) continue;
                const int64_t l = std::max<int64_t>(spanL, q.left);
                const int64_t r = std::min<int64_t>(spanR, q.right);
                if (l < r) m_obj.fill(PixelAddr(int32_t(l), int32_t(y)), int(r - l), m_brushColor);
            }
        }
    }
    return true;
}

bool CDC::FillPolygonWinding(const Point* points, int count, const CRect& rect) {
    PolygonScanner scan(points, count);
    if (!m_bEnabled || !scan.HasTable()) return true;
    // Every scan line of rect is visited, but only those the polygon spans have edges, and only those
    // on the clip can show; the spans stay inside the polygon's columns.
    const CRect box = BoundingBox(points, count);
    const CRect rows(box.left, rect.top, box.right, rect.bottom);
    const CRect bounds = ClipBounds();
    CRect area;
    if (!area.IntersectRect(&box, &rows) || !area.IntersectRect(&area, &bounds)) return true;
    CursorLift lift(m_pCursor, area);
    std::vector<const FillEdge*> active;
    Spans spans;
    for (int64_t y = area.top; y < area.bottom; ++y) {
        if (!scan.Row(y, &active) || !WindingSpans(active, &spans)) break;
        for (const auto& [l, r] : spans) {
            if (r <= l) continue;
            // A one-pixel-high pen line from l up to r, on the clip.
            const CRect span(Clamp32(l), static_cast<int32_t>(y), Clamp32(r), static_cast<int32_t>(y + 1));
            for (const CRect* q = m_clip.GetFirstRect(); q != nullptr; q = m_clip.GetNextRect()) {
                CRect part;
                if (part.IntersectRect(q, &span))
                    DrawSegment(part, span.left, span.top, span.right, span.top, m_penColor);
            }
        }
    }
    return true;
}

void CDC::Outline(const Point* device, int count) {
    Point from = device[0];
    auto to = [&](const Point& p) {
        LineInRgn(m_clip, from.x, from.y, p.x, p.y, false, m_penColor);
        from = p;
    };
    for (int i = 0; i < count; ++i) to(device[i]);
    to(device[0]);
    m_position = device[0];
}

bool CDC::Polygon(const Point* points, int count) {
    if (!m_bEnabled || points == nullptr || count < 1) return false;
    std::vector<Point> device(points, points + count);
    for (Point& p : device) LPtoDP(&p);
    const CRect box = BoundingBox(device.data(), count);
    const CRect bounds = ClipBounds();
    if (!IntersectRect(nullptr, &box, &bounds)) return false;
    // The outline draws the box's last column and row too, and the pen's copies beyond.
    const CRect drawn(box.left, box.top, Clamp32(int64_t{box.right} + 1), Clamp32(int64_t{box.bottom} + 1));
    CursorLift lift(m_pCursor, PenArea(drawn));
    IntFillPolygon(device.data(), count, box);
    Outline(device.data(), count);
    return true;
}

bool CDC::PolyBezier(const Point* points, int count) {
    if (!m_bEnabled || points == nullptr || count < 1 || (count - 1) % 3 != 0) return false;
    const std::vector<Point> flat = varnelle::draw_internal::FlattenBezier(points, count);
    if (flat.empty()) return false;
    return Polygon(flat.data(), static_cast<int>(flat.size()));
}
