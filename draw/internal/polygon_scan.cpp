#include "draw/internal/polygon_scan.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace varnelle::draw_internal {

namespace {

std::atomic<uint64_t> g_checkFailures{0};

bool Check(bool ok, const char* condition) {
    if (ok) return true;
    g_checkFailures.fetch_add(1, std::memory_order_relaxed);
    std::printf("CDC: polygon edge check failed: %s\n", condition);
    return false;
}

int64_t CeilDiv128(__int128 a, __int128 b) {
    __int128 q = a / b;
    if (a % b != 0 && ((a > 0) == (b > 0))) ++q;
    return static_cast<int64_t>(q);
}

}  // namespace

uint64_t PolygonCheckFailures() {
    return g_checkFailures.load(std::memory_order_relaxed);
}

FillEdge MakeEdge(const Point& a, const Point& b, int index) {
    FillEdge e{};
    e.index = index;
    const bool upward = b.y < a.y;
    const Point& upper = upward ? b : a;
    const Point& lower = upward ? a : b;
    e.xUpper = upper.x;
    e.fromY = upper.y;
    e.xLower = lower.x;
    e.toY = lower.y;
    e.dx = e.xLower - e.xUpper;
    e.dy = e.toY - e.fromY;
    e.absdx = std::llabs(e.dx);
    e.absdy = e.dy;
    e.x = e.xUpper;
    e.y = e.fromY;
    e.xMajor = e.absdx > e.absdy;
    e.errorMax = std::max(e.absdx, e.absdy);
    e.error = (upward ? -1 : 0) + e.errorMax / 2;
    e.xStep = e.dx >= 0 ? 1 : -1;
    e.direction = upward ? -1 : 1;
    return e;
}

bool UpdateScanline(FillEdge& e, int64_t y) {
    if (e.dy == 0) return true;
    if (!Check(e.fromY <= y && e.toY > y, "pEdge->FromY <= Scanline && pEdge->ToY > Scanline")) return false;
    if (!e.xMajor) {
        e.spanMin = e.spanMax = e.x;
        e.error += e.absdx;
        e.y += 1;
        if (e.error >= e.errorMax) {
            e.error -= e.errorMax;
            e.x += e.xStep;
        }
        return Check(e.error < e.errorMax, "pEdge->Error < pEdge->ErrorMax");
    }
    if (!Check(e.y == y, "pEdge->y == Scanline")) return false;
    const int64_t k = (e.errorMax - e.error - 1) / e.absdy;
    const int64_t old = e.x;
    if (k > 0) {
        e.x += k * e.xStep;
        e.error += k * e.absdy;
        if (!Check(e.error < e.errorMax, "pEdge->Error < pEdge->ErrorMax")) return false;
        e.spanMin = std::min(old, e.x);
        e.spanMax = std::max(old, e.x);
    } else {
        e.spanMin = e.spanMax = e.x;
    }
    if (!Check((e.errorMax - e.error - 1) / e.absdy == 0, "(pEdge->ErrorMax-pEdge->Error-1) / pEdge->absdy == 0"))
        return false;
    e.error += e.absdy;
    e.x += e.xStep;
    if (!Check(e.error >= e.errorMax, "pEdge->Error >= pEdge->ErrorMax")) return false;
    e.error -= e.errorMax;
    e.y += 1;
    return true;
}

void SeekScanline(FillEdge& e, int64_t y) {
    const int64_t k = y - e.fromY;
    if (k <= 0 || e.dy == 0) return;
    // The error term as the edge started, before any line.
    const int64_t error0 = (e.direction < 0 ? -1 : 0) + e.errorMax / 2;
    int64_t steps;
    if (!e.xMajor) {
        // One addition of |dx| per line, one x step each time the sum passes ErrorMax.
        const __int128 sum = __int128{error0} + __int128{k} * e.absdx;
        steps = sum >= 0 ? static_cast<int64_t>(sum / e.errorMax) : 0;
        e.error = static_cast<int64_t>(sum - __int128{steps} * e.errorMax);
    } else {
        // Each line takes the fewest x steps that bring the sum of |dy| past the line's ErrorMax.
        steps = CeilDiv128(__int128{k} * e.absdx - error0, e.absdy);
        e.error = static_cast<int64_t>(error0 + __int128{steps} * e.absdy - __int128{k} * e.absdx);
    }
    e.x = e.xUpper + steps * e.xStep;
    e.y = y;
}

PolygonScanner::PolygonScanner(const Point* points, int count) {
    if (points == nullptr || count < 2) return;
    m_bTable = true;
    m_edges.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        const Point& a = points[i];
        const Point& b = points[(i + 1) % count];
        if (a.y == b.y) continue;
        m_edges.push_back(MakeEdge(a, b, static_cast<int>(m_edges.size())));
    }
    m_order.resize(m_edges.size());
    for (size_t i = 0; i < m_order.size(); ++i) m_order[i] = static_cast<int>(i);
    std::stable_sort(m_order.begin(), m_order.end(),
                     [&](int a, int b) { return m_edges[size_t(a)].fromY < m_edges[size_t(b)].fromY; });
}

bool PolygonScanner::Row(int64_t y, std::vector<const FillEdge*>* active) {
    active->clear();
    if (y <= m_lastRow) return Check(false, "Scanline grows");
    m_lastRow = y;
    // Edges that ended drop out; edges that began come in.
    m_active.erase(std::remove_if(m_active.begin(), m_active.end(),
                                  [&](int i) { return m_edges[size_t(i)].toY <= y; }),
                   m_active.end());
    for (; m_next < m_order.size() && m_edges[size_t(m_order[m_next])].fromY <= y; ++m_next) {
        const int i = m_order[m_next];
        if (m_edges[size_t(i)].toY > y) m_active.push_back(i);
    }
    for (int i : m_active) {
        FillEdge& e = m_edges[size_t(i)];
        if (e.y != y) SeekScanline(e, y);
        if (!UpdateScanline(e, y)) return false;
        active->push_back(&e);
    }
    std::sort(active->begin(), active->end(), [](const FillEdge* a, const FillEdge* b) {
        const int64_t sa = a->spanMin + a->spanMax, sb = b->spanMin + b->spanMax;
        if (sa != sb) return sa < sb;
        return a->index > b->index;
    });
    return true;
}

void WindingSpans(const std::vector<const FillEdge*>& active, std::vector<std::pair<int64_t, int64_t>>* spans) {
    spans->clear();
    if (active.size() < 2) return;
    int64_t left = active[0]->spanMin;
    int64_t right = active[1]->spanMax;
    int winding = active[0]->direction + active[1]->direction;
    for (size_t i = 2; i < active.size(); ++i) {
        const FillEdge* p = active[i - 1];
        const FillEdge* e = active[i];
        if (winding != 0) {
            const int64_t cl = p->spanMin, cr = e->spanMax;
            auto inside = [&](int64_t v) { return v >= left && v <= right; };
            if (inside(cl) || inside(cr) || (cl <= left && cr >= left) || cr == right) {
                left = std::min(left, cl);
                right = std::max(right, cr);
            } else {
                spans->emplace_back(left, right);
                left = cl;
                right = cr;
            }
        }
        winding += e->direction;
    }
    spans->emplace_back(left, right);
}

namespace {

struct P64 {
    int64_t x;
    int64_t y;
};

P64 Mid(P64 a, P64 b) {
    return {(a.x + b.x + 1) >> 1, (a.y + b.y + 1) >> 1};
}

bool Flat(const P64 p[4]) {
    // Exchange the axes so that the chord runs along x at least as much as along y.
    const bool yMajor = std::llabs(p[3].y - p[0].y) > std::llabs(p[3].x - p[0].x);
    auto major = [&](int i) { return yMajor ? p[i].y : p[i].x; };
    auto minor = [&](int i) { return yMajor ? p[i].x : p[i].y; };
    const int64_t lo = std::min(major(0), major(3));
    const int64_t hi = std::max(major(0), major(3));
    for (int i = 1; i <= 2; ++i)
        if (major(i) < lo || major(i) > hi) return false;
    const int64_t n = (major(3) - major(0) + 8) >> 4;
    if (n == 0) return true;
    const int64_t q = (minor(3) - minor(0)) / n;
    for (int i = 1; i <= 2; ++i) {
        const int64_t deviation = (minor(i) - minor(0)) - q * ((major(i) - major(0) + 8) >> 4);
        if (std::llabs(deviation) > 16) return false;
    }
    return true;
}

Point ToPixel(P64 p) {
    return Point(static_cast<int32_t>((p.x + 8) >> 4), static_cast<int32_t>((p.y + 8) >> 4));
}

void Flatten(P64 p0, P64 p1, P64 p2, P64 p3, int depth, std::vector<Point>* out) {
    const P64 seg[4] = {p0, p1, p2, p3};
    if (depth > 0 && !Flat(seg)) {
        const P64 p01 = Mid(p0, p1), p12 = Mid(p1, p2), p23 = Mid(p2, p3);
        const P64 p012 = Mid(p01, p12), p123 = Mid(p12, p23);
        const P64 p0123 = Mid(p012, p123);
        Flatten(p0, p01, p012, p0123, depth - 1, out);
        Flatten(p0123, p123, p23, p3, depth - 1, out);
        return;
    }
    if (out->empty()) out->push_back(ToPixel(p0));
    out->push_back(ToPixel(p3));
}

}  // namespace

std::vector<Point> FlattenBezier(const Point* points, int count) {
    std::vector<Point> out;
    if (points == nullptr || count < 4 || (count - 1) % 3 != 0) return out;
    out.reserve(150);
    for (int i = 0; i + 3 < count; i += 3) {
        P64 p[4];
        for (int j = 0; j < 4; ++j) p[j] = {int64_t{points[i + j].x} * 16, int64_t{points[i + j].y} * 16};
        Flatten(p[0], p[1], p[2], p[3], 8, &out);
    }
    return out;
}

}  // namespace varnelle::draw_internal
