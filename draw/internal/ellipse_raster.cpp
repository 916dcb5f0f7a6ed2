#include "draw/internal/ellipse_raster.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "draw/internal/dc_util.h"

namespace varnelle::draw_internal {

namespace {

constexpr int64_t kFar = int64_t{1} << 62;  // beyond any pixel
constexpr int64_t kExactLimit = int64_t{1} << 31;

int64_t Floor(double v) {
    return static_cast<int64_t>(std::clamp(std::floor(v), -static_cast<double>(kFar), static_cast<double>(kFar)));
}

int64_t Ceil(double v) {
    return static_cast<int64_t>(std::clamp(std::ceil(v), -static_cast<double>(kFar), static_cast<double>(kFar)));
}

Span Intersect(Span a, Span b) {
    return {std::max(a.x0, b.x0), std::min(a.x1, b.x1)};
}

}  // namespace

void Spans::Add(Span s) {
    if (s.Empty() || count == 4) return;
    at[count++] = s;
}

bool EllipseRowSpan(const Box64& box, int64_t y, Span* out) {
    // Half-pixel units: the centre (cx2, cy2) and semi-axes a2, b2, a pixel centre at 2x + 1.
    const int64_t a2 = box.right - box.left;
    const int64_t b2 = box.bottom - box.top;
    const int64_t cx2 = box.left + box.right;
    const int64_t cy2 = box.top + box.bottom;
    const int64_t dy = 2 * y + 1 - cy2;
    if (a2 <= 0 || b2 <= 0 || std::llabs(dy) >= b2) return false;
    // The largest u with u²·b2² <= a2²·(b2² - dy²).
    const __int128 q = __int128{b2} * b2 - __int128{dy} * dy;
    auto m = static_cast<int64_t>(std::floor(static_cast<long double>(a2) * std::sqrt(static_cast<long double>(q)) /
                                              static_cast<long double>(b2)));
    m = std::clamp<int64_t>(m, 0, a2);
    if (a2 < kExactLimit && b2 < kExactLimit) {
        const __int128 rhs = __int128{a2} * a2 * q;
        auto inside = [&](int64_t u) { return __int128{u} * u * b2 * b2 <= rhs; };
        while (m < a2 && inside(m + 1)) ++m;
        while (m > 0 && !inside(m)) --m;
    }
    // |2x + 1 - cx2| <= m
    out->x0 = CeilDiv64(cx2 - m - 1, 2);
    out->x1 = FloorDiv64(cx2 + m - 1, 2) + 1;
    return !out->Empty();
}

Spans RingRow(const Box64& box, int64_t thickness, int64_t y) {
    Spans out;
    Span outer;
    if (thickness <= 0 || !EllipseRowSpan(box, y, &outer)) return out;
    const Box64 inner{box.left + thickness, box.top + thickness, box.right - thickness, box.bottom - thickness};
    Span hole;
    if (inner.left >= inner.right || inner.top >= inner.bottom || !EllipseRowSpan(inner, y, &hole)) {
        out.Add(outer);
        return out;
    }
    out.Add({outer.x0, std::min(outer.x1, hole.x0)});
    out.Add({std::max(outer.x0, hole.x1), outer.x1});
    return out;
}

Point64 BorderPoint(int64_t left, int64_t top, int64_t w, int64_t h, int degrees) {
    switch (degrees) {
        case 0:
            return {left + w, top + h / 2};
        case 45:
            return {left + w, top};
        case 90:
            return {left + w / 2, top};
        case 135:
            return {left, top};
        case 180:
            return {left, top + h / 2};
        case 225:
            return {left, top + h};
        case 270:
            return {left + w / 2, top + h};
        case 315:
            return {left + w, top + h};
        default:
            break;
    }
    const double t = std::tan(degrees * 2 * M_PI / 360);
    const double cx = static_cast<double>(left + w / 2);
    const double cy = static_cast<double>(top + h / 2);
    const double dw = static_cast<double>(w), dh = static_cast<double>(h);
    auto trunc = [](double v) { return static_cast<int64_t>(std::trunc(v)); };
    if (degrees >= 46 && degrees < 135) return {trunc(cx + dh / t * 0.5), top};
    if (degrees >= 226 && degrees < 315) return {trunc(cx - dh / t * 0.5), top + h};
    if (degrees < 136 || degrees > 224) return {left + w, trunc(cy - dw * t * 0.5)};
    return {left, trunc(cy + dw * t * 0.5)};
}

ArcCut::ArcCut(const Box64& box) : m_box(box), m_kind(CutKind::kWhole) {}

ArcCut::ArcCut(const Box64& box, CutKind kind, PointF from, PointF to) : m_box(box), m_kind(kind) {
    if (kind == CutKind::kWhole) return;
    // Counter-clockwise on the screen is the mathematical sense with y turned upwards.
    auto angle = [](PointF d) { return std::atan2(-d.y, d.x); };
    double sweep = angle(to) - angle(from);
    if (sweep < 0) sweep += 2 * M_PI;
    m_wide = sweep > M_PI;
    // Counter-clockwise from `from`: cross(from, P) <= 0; not past `to`: cross(P, to) <= 0.
    m_h1 = {from.y, -from.x, 0};
    m_h2 = {-to.y, to.x, 0};
    // The ends on the ellipse, in half pixels from the centre.
    const double ax = static_cast<double>(box.right - box.left);
    const double by = static_cast<double>(box.bottom - box.top);
    auto onEllipse = [&](PointF d) {
        const double t = 1.0 / std::sqrt((d.x / ax) * (d.x / ax) + (d.y / by) * (d.y / by));
        return PointF{t * d.x, t * d.y};
    };
    m_e1 = onEllipse(from);
    m_e2 = onEllipse(to);
    const double ex = m_e2.x - m_e1.x, ey = m_e2.y - m_e1.y;
    m_chord = {-ey, ex, -ey * m_e1.x + ex * m_e1.y};
    // The arc's middle is on the kept side.
    const double half = angle(from) + sweep / 2;
    const PointF m = onEllipse({std::cos(half), -std::sin(half)});
    if (m_chord.nx * m.x + m_chord.ny * m.y < m_chord.c) m_chord = {-m_chord.nx, -m_chord.ny, -m_chord.c};
}

Span ArcCut::Row(const HalfPlane& h, int64_t y) const {
    const int64_t cx2 = m_box.left + m_box.right;
    const double py = static_cast<double>(2 * y + 1 - (m_box.top + m_box.bottom));
    const double k = h.c - h.ny * py;
    // nx·px >= k with px = 2x + 1 - cx2.
    if (h.nx == 0) return k <= 0 ? Span{-kFar, kFar} : Span{0, 0};
    const double bound = (k / h.nx + static_cast<double>(cx2) - 1) / 2;
    if (h.nx > 0) return {Ceil(bound), kFar};
    return {-kFar, Floor(bound) + 1};
}

Spans ArcCut::Sector(int64_t y) const {
    Spans out;
    const Span s1 = Row(m_h1, y);
    const Span s2 = Row(m_h2, y);
    if (!m_wide) {
        out.Add(Intersect(s1, s2));
        return out;
    }
    // The union of the two half-planes, as disjoint spans left to right.
    Span a = s1, b = s2;
    if (b.x0 < a.x0) std::swap(a, b);
    if (a.Empty()) {
        out.Add(b);
    } else if (b.Empty()) {
        out.Add(a);
    } else if (b.x0 <= a.x1) {
        out.Add({a.x0, std::max(a.x1, b.x1)});
    } else {
        out.Add(a);
        out.Add(b);
    }
    return out;
}

namespace {

Spans IntersectSets(const Spans& in, const Spans& keep) {
    Spans out;
    for (int i = 0; i < in.count; ++i)
        for (int j = 0; j < keep.count; ++j) out.Add(Intersect(in.at[i], keep.at[j]));
    return out;
}

}  // namespace

Spans ArcCut::ApplySector(int64_t y, const Spans& in) const {
    if (m_kind == CutKind::kWhole) return in;
    return IntersectSets(in, Sector(y));
}

Spans ArcCut::Apply(int64_t y, const Spans& in) const {
    if (m_kind == CutKind::kWhole) return in;
    if (m_kind == CutKind::kPie) return ApplySector(y, in);
    Spans keep;
    keep.Add(Row(m_chord, y));
    return IntersectSets(in, keep);
}

int64_t ArcCut::PixelX(double px) const {
    const double x = (static_cast<double>(m_box.left + m_box.right) + px) / 2;
    return std::clamp(Floor(x), m_box.left, m_box.right - 1);
}

int64_t ArcCut::PixelY(double py) const {
    const double y = (static_cast<double>(m_box.top + m_box.bottom) + py) / 2;
    return std::clamp(Floor(y), m_box.top, m_box.bottom - 1);
}

void ArcCut::EndPixels(int64_t* x1, int64_t* y1, int64_t* x2, int64_t* y2) const {
    *x1 = PixelX(m_e1.x);
    *y1 = PixelY(m_e1.y);
    *x2 = PixelX(m_e2.x);
    *y2 = PixelY(m_e2.y);
}

void ArcCut::CentrePixel(int64_t* x, int64_t* y) const {
    *x = PixelX(0);
    *y = PixelY(0);
}

}  // namespace varnelle::draw_internal
