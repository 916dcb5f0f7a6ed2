#include "draw/internal/polygon_scan.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace varnelle::draw_internal {

namespace {

std::atomic<uint64_t> g_checkFailures{0};

__attribute__((noinline, cold)) bool Fail(const char* condition) {
    g_checkFailures.fetch_add(1, std::memory_order_relaxed);
    std::printf("CDC: polygon edge check failed: %s\n", condition);
    return false;
}

inline bool Check(bool ok, const char* condition) {
    return __builtin_expect(ok, 1) ? true : Fail(condition);
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
    if (e.absdy > 0) {
        e.stepQuot = (e.errorMax - 1) / e.absdy;
        e.stepRem = (e.errorMax - 1) % e.absdy;
    }
    return e;
}

// One scan line of an edge that covers it (the walk takes in only such edges), inlined into the walk;
// the checks fail rarely and cost a compare each.
static inline __attribute__((always_inline)) bool Step(FillEdge& e, int64_t y) {
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
    // k = (ErrorMax - Error - 1) / absdy; after the first line Error lies in [0, absdy), where the
    // quotient is one of two known values.
    int64_t k;
    if (e.error >= 0 && e.error < e.absdy) {
        k = e.error <= e.stepRem ? e.stepQuot : e.stepQuot - 1;
    } else {
        k = (e.errorMax - e.error - 1) / e.absdy;
    }
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
    // Error < ErrorMax holds here, so the quotient is 0 exactly when the numerator is below absdy.
    if (!Check(e.errorMax - e.error - 1 < e.absdy, "(pEdge->ErrorMax-pEdge->Error-1) / pEdge->absdy == 0"))
        return false;
    e.error += e.absdy;
    e.x += e.xStep;
    if (!Check(e.error >= e.errorMax, "pEdge->Error >= pEdge->ErrorMax")) return false;
    e.error -= e.errorMax;
    e.y += 1;
    return true;
}

bool UpdateScanline(FillEdge& e, int64_t y) {
    if (e.dy == 0) return true;
    if (!Check(e.fromY <= y && e.toY > y, "pEdge->FromY <= Scanline && pEdge->ToY > Scanline")) return false;
    return Step(e, y);
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
    m_keys.assign(m_edges.size(), 0);
    m_order.resize(m_edges.size());
    for (size_t i = 0; i < m_order.size(); ++i) m_order[i] = static_cast<int>(i);
    std::stable_sort(m_order.begin(), m_order.end(),
                     [&](int a, int b) { return m_edges[size_t(a)].fromY < m_edges[size_t(b)].fromY; });
}

bool PolygonScanner::Row(int64_t y, std::vector<const FillEdge*>* active) {
    if (y <= m_lastRow) return Check(false, "Scanline grows");
    m_lastRow = y;
    // The edges that began come in, among the live ones in polygon order.
    for (; m_next < m_order.size() && m_edges[size_t(m_order[m_next])].fromY <= y; ++m_next) {
        const int i = m_order[m_next];
        if (m_edges[size_t(i)].toY <= y) continue;
        m_live.insert(std::lower_bound(m_live.begin(), m_live.end(), i), i);
        m_active.push_back({0, i});
    }
    // Every live edge steps one line, in polygon order: neighbouring sides run alike, so the walk's
    // branches go the same way from one edge to the next. Edges that ended drop out.
    constexpr int64_t kEnded = INT64_MIN;
    size_t kept = 0;
    for (const int i : m_live) {
        FillEdge& e = m_edges[size_t(i)];
        if (e.toY <= y) {
            m_keys[size_t(i)] = kEnded;
            continue;
        }
        if (e.y != y) SeekScanline(e, y);
        if (!Step(e, y)) return false;
        m_keys[size_t(i)] = e.spanMin + e.spanMax;
        m_live[kept++] = i;
    }
    m_live.resize(kept);
    kept = 0;
    for (const Active& a : m_active) {
        const int64_t key = m_keys[size_t(a.index)];
        if (key != kEnded) m_active[kept++] = {key, a.index};
    }
    m_active.resize(kept);
    // By span middle, the later edge first among equals. The order changes little from one line to
    // the next (only where sides cross), so the last line's order is sorted again by insertion.
    auto before = [](const Active& a, const Active& b) { return a.key != b.key ? a.key < b.key : a.index > b.index; };
    for (size_t k = 1; k < m_active.size(); ++k) {
        const Active v = m_active[k];
        size_t j = k;
        for (; j > 0 && before(v, m_active[j - 1]); --j) m_active[j] = m_active[j - 1];
        m_active[j] = v;
    }
    active->resize(m_active.size());
    for (size_t k = 0; k < m_active.size(); ++k) (*active)[k] = &m_edges[size_t(m_active[k].index)];
    return true;
}

bool AlternateSpans(const std::vector<const FillEdge*>& active, Spans* spans) {
    spans->clear();
    if (active.size() == 1) return Check(false, "pRight");
    for (size_t i = 0; i + 1 < active.size(); i += 2)
        if (active[i + 1]->spanMax > active[i]->spanMin)
            spans->emplace_back(active[i]->spanMin, active[i + 1]->spanMax);
    return true;
}

bool WindingSpans(const std::vector<const FillEdge*>& active, Spans* spans) {
    spans->clear();
    if (active.empty()) return true;
    if (active.size() == 1) return Check(false, "pRight");
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
    return true;
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
