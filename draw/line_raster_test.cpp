#include "draw/line_raster.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <vector>

#include "draw/testing/printers.h"

namespace {

// The pixels the drawing context's segment stepper draws, listed from (x1, y1) to (x2, y2): vertical
// and horizontal runs whole, else Bresenham from the end with the smaller major coordinate
// (y-major when |dx| <= |dy|), error 2|dminor| - |dmajor|, the minor coordinate stepping when the
// error is >= 0.
std::vector<Point> SteppedPixels(int x1, int y1, int x2, int y2) {
    std::vector<Point> px;
    if (x1 == x2 || y1 == y2) {
        const int sx = x2 > x1 ? 1 : (x2 < x1 ? -1 : 0);
        const int sy = y2 > y1 ? 1 : (y2 < y1 ? -1 : 0);
        for (int x = x1, y = y1;; x += sx, y += sy) {
            px.emplace_back(x, y);
            if (x == x2 && y == y2) break;
        }
        return px;
    }
    const int dx = x2 - x1;
    const int dy = y2 - y1;
    const bool yMajor = std::abs(dx) <= std::abs(dy);
    const bool swapped = yMajor ? y1 > y2 : x1 > x2;
    if (swapped) {
        std::swap(x1, x2);
        std::swap(y1, y2);
    }
    const int step = dx * dy > 0 ? 1 : -1;
    const int dM = yMajor ? std::abs(dy) : std::abs(dx);
    const int dm = yMajor ? std::abs(dx) : std::abs(dy);
    int e = 2 * dm - dM;
    int major = yMajor ? y1 : x1;
    int minor = yMajor ? x1 : y1;
    auto push = [&] { px.push_back(yMajor ? Point(minor, major) : Point(major, minor)); };
    push();
    for (int k = 0; k < dM; ++k) {
        if (e >= 0) {
            e += 2 * (dm - dM);
            minor += step;
        } else {
            e += 2 * dm;
        }
        ++major;
        push();
    }
    if (swapped) std::reverse(px.begin(), px.end());
    return px;
}

TEST(ClipLineTest, EdgeCases) {
    const CRect r(0, 0, 10, 10);
    struct Case {
        int x1, y1, x2, y2;
        bool visible;
        int ox1, oy1, ox2, oy2;
    };
    const std::vector<Case> cases = {
        {1, 1, 8, 6, true, 1, 1, 8, 6},       // wholly inside: unchanged
        {-9, 0, -1, 9, false, -9, 0, -1, 9},  // wholly left
        {5, -5, 5, 50, true, 5, 0, 5, 9},     // vertical through
        {5, 50, 5, -5, true, 5, 9, 5, 0},     // the ends keep their sides
        {-3, 4, 30, 4, true, 0, 4, 9, 4},     // horizontal through
        {10, 0, 10, 9, false, 10, 0, 10, 9}, // on the exclusive right edge
        {4, 4, 4, 4, true, 4, 4, 4, 4},       // a point inside
        {4, 10, 4, 10, false, 4, 10, 4, 10},  // a point on the bottom edge
        {-5, -5, 14, 14, true, 0, 0, 9, 9},   // the diagonal
        {-1, 10, 10, -1, true, 0, 9, 9, 0},   // the anti-diagonal
        {-1, 0, 0, -1, false, -1, 0, 0, -1},  // a diagonal step past the corner pixel
    };
    for (const Case& c : cases) {
        int x1 = c.x1, y1 = c.y1, x2 = c.x2, y2 = c.y2;
        EXPECT_EQ(ClipLine(r, &x1, &y1, &x2, &y2), c.visible) << c.x1 << "," << c.y1 << " " << c.x2 << "," << c.y2;
        EXPECT_EQ(Point(x1, y1), Point(c.ox1, c.oy1));
        EXPECT_EQ(Point(x2, y2), Point(c.ox2, c.oy2));
    }
    int a = 0, b = 0, c = 5, d = 5;
    EXPECT_FALSE(ClipLine(CRect(3, 3, 3, 8), &a, &b, &c, &d));  // empty rectangle
    EXPECT_FALSE(ClipLine(nullptr, &a, &b, &c, &d));
    EXPECT_FALSE(ClipLine(r, nullptr, &b, &c, &d));
}

// Against the stepped pixels: the new ends are the first and last pixels inside seen from each end,
// false exactly when none is inside; the raster's pixels and error terms are the stepper's.
TEST(ClipLineTest, ShortSegmentsKeepTheSteppedPixels) {
    std::mt19937 rng(1234);
    std::uniform_int_distribution<int> coord(-40, 40);
    for (int iter = 0; iter < 100000; ++iter) {
        const int x1 = coord(rng), y1 = coord(rng), x2 = coord(rng), y2 = coord(rng);
        int l = coord(rng), t = coord(rng);
        const CRect rect(l, t, l + coord(rng) / 2 + 10, t + coord(rng) / 2 + 10);
        const std::vector<Point> px = SteppedPixels(x1, y1, x2, y2);

        const LineRaster line(x1, y1, x2, y2);
        ASSERT_EQ(line.Steps() + 1, static_cast<int64_t>(px.size()));
        for (int64_t i = 0; i <= line.Steps(); ++i) {
            const Point want = line.StartsAtFirst() ? px[i] : px[px.size() - 1 - i];
            ASSERT_EQ(line.PixelAt(i), want) << x1 << "," << y1 << " " << x2 << "," << y2 << " step " << i;
            if (i < line.Steps() && x1 != x2 && y1 != y2) {
                const Point next = line.PixelAt(i + 1);
                const bool minorMoved = line.YMajor() ? next.x != want.x : next.y != want.y;
                ASSERT_EQ(line.ErrorAt(i) >= 0, minorMoved);
            }
        }

        int first = -1, last = -1;
        for (int i = 0; i < static_cast<int>(px.size()); ++i) {
            if (PtInRect(rect, px[i].x, px[i].y)) {
                if (first < 0) first = i;
                last = i;
            }
        }
        int cx1 = x1, cy1 = y1, cx2 = x2, cy2 = y2;
        const bool visible = ClipLine(rect, &cx1, &cy1, &cx2, &cy2);
        ASSERT_EQ(visible, first >= 0) << x1 << "," << y1 << " " << x2 << "," << y2;
        if (!visible) {
            ASSERT_EQ(Point(cx1, cy1), Point(x1, y1));
            ASSERT_EQ(Point(cx2, cy2), Point(x2, y2));
            continue;
        }
        ASSERT_EQ(Point(cx1, cy1), px[first]) << x1 << "," << y1 << " " << x2 << "," << y2;
        ASSERT_EQ(Point(cx2, cy2), px[last]) << x1 << "," << y1 << " " << x2 << "," << y2;
    }
}

// The pixel of a long line at step i, from the stepper's rule in closed form (the short test above
// checks the form against the stepper): floor((2·i·|dminor| + |dmajor|) / (2·|dmajor|)) minor steps
// from the end with the smaller major coordinate.
struct LongLine {
    bool yMajor;
    bool fromFirst;
    __int128 startMajor, startMinor, steps, minorLen;
    int sign;

    LongLine(int64_t x1, int64_t y1, int64_t x2, int64_t y2) {
        const int64_t dx = x2 - x1, dy = y2 - y1;
        yMajor = std::llabs(dx) <= std::llabs(dy);
        const int64_t m1 = yMajor ? y1 : x1, m2 = yMajor ? y2 : x2;
        fromFirst = m1 <= m2;
        startMajor = fromFirst ? m1 : m2;
        startMinor = fromFirst ? (yMajor ? x1 : y1) : (yMajor ? x2 : y2);
        steps = std::llabs(m2 - m1);
        minorLen = std::llabs(yMajor ? dx : dy);
        sign = (dx > 0 && dy > 0) || (dx < 0 && dy < 0) ? 1 : -1;
    }
    __int128 MinorAt(__int128 i) const {
        if (steps == 0) return startMinor;
        return startMinor + sign * ((2 * i * minorLen + steps) / (2 * steps));
    }
    Point At(__int128 i) const {
        const auto major = static_cast<int32_t>(startMajor + i);
        const auto minor = static_cast<int32_t>(MinorAt(i));
        return yMajor ? Point(minor, major) : Point(major, minor);
    }
    // The step of a pixel of the line, -1 when it is not one.
    __int128 StepOf(Point p) const {
        const __int128 i = (yMajor ? p.y : p.x) - startMajor;
        if (i < 0 || i > steps || MinorAt(i) != (yMajor ? p.x : p.y)) return -1;
        return i;
    }
};

TEST(ClipLineTest, LongSegmentsKeepTheirPixels) {
    std::mt19937_64 rng(99);
    std::uniform_int_distribution<int64_t> coord(-(int64_t{1} << 30), int64_t{1} << 30);
    std::uniform_int_distribution<int> size(1, 600);
    std::uniform_int_distribution<int> jitter(-4, 4);
    int visibleCount = 0;
    for (int iter = 0; iter < 100000; ++iter) {
        const auto x1 = static_cast<int32_t>(coord(rng)), y1 = static_cast<int32_t>(coord(rng));
        const auto x2 = static_cast<int32_t>(coord(rng)), y2 = static_cast<int32_t>(coord(rng));
        const LongLine ref(x1, y1, x2, y2);
        // A rectangle near a pixel of the line, often touching it, sometimes just missing.
        const __int128 at = static_cast<__int128>(static_cast<uint64_t>(rng()) % (uint64_t(ref.steps) + 1));
        const Point p = ref.At(at);
        const int w = size(rng), h = size(rng);
        const int32_t l = p.x - w / 2 + jitter(rng) * (w / 2 + 1) / 4;
        const int32_t t = p.y - h / 2 + jitter(rng) * (h / 2 + 1) / 4;
        const CRect rect(l, t, l + w, t + h);

        // Visible when a step's major coordinate lies in the rectangle and the minor coordinates over
        // those steps (consecutive integers) reach into it.
        const __int128 majorLo = ref.yMajor ? rect.top : rect.left;
        const __int128 majorHi = (ref.yMajor ? rect.bottom : rect.right) - 1;
        const __int128 minorLo = ref.yMajor ? rect.left : rect.top;
        const __int128 minorHi = (ref.yMajor ? rect.right : rect.bottom) - 1;
        const __int128 lo = std::max<__int128>(0, majorLo - ref.startMajor);
        const __int128 hi = std::min<__int128>(ref.steps, majorHi - ref.startMajor);
        bool want = false;
        if (lo <= hi) {
            const __int128 a = ref.MinorAt(lo), b = ref.MinorAt(hi);
            want = std::max(a, b) >= minorLo && std::min(a, b) <= minorHi;
        }

        int32_t cx1 = x1, cy1 = y1, cx2 = x2, cy2 = y2;
        const bool visible = ClipLine(rect, &cx1, &cy1, &cx2, &cy2);
        ASSERT_EQ(visible, want) << x1 << "," << y1 << " " << x2 << "," << y2;
        if (!visible) continue;
        ++visibleCount;
        const Point e1(cx1, cy1), e2(cx2, cy2);
        ASSERT_TRUE(rect.PtInRect(e1.x, e1.y));
        ASSERT_TRUE(rect.PtInRect(e2.x, e2.y));
        const __int128 s1 = ref.StepOf(e1), s2 = ref.StepOf(e2);
        ASSERT_GE(s1, 0) << "end 1 is not a pixel of the line";
        ASSERT_GE(s2, 0) << "end 2 is not a pixel of the line";
        // Walking from the start: the first inside is the end nearer the start, and the pixels just
        // beyond both ends are outside.
        const __int128 first = ref.fromFirst ? s1 : s2;
        const __int128 last = ref.fromFirst ? s2 : s1;
        ASSERT_LE(first, last);
        if (first > 0) {
            const Point before = ref.At(first - 1);
            ASSERT_FALSE(rect.PtInRect(before.x, before.y));
        }
        if (last < ref.steps) {
            const Point after = ref.At(last + 1);
            ASSERT_FALSE(rect.PtInRect(after.x, after.y));
        }
    }
    EXPECT_GT(visibleCount, 50000);
}

}  // namespace
