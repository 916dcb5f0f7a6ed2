// Ellipses, chords and pies of the drawing context against cairo's arcs, on RGB565 memory contexts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "draw/dc.h"
#include "draw/internal/ellipse_raster.h"
#include "draw/testing/cairo_compare.h"
#include "draw/testing/dc_fixture.h"
#include "draw/testing/printers.h"

namespace {

using varnelle::draw::testing::Snapshot;
using varnelle::draw_testing::CairoCanvas;
using varnelle::draw_testing::MatchesWithin;
using varnelle::draw_testing::Picture;

const auto* const kEnv =
    ::testing::AddGlobalTestEnvironment(new varnelle::draw::testing::LayerEnvironment(64, 48, kFormatRgb565));

constexpr uint32_t kRed = 0x0000FF;
constexpr uint32_t kGreen = 0x00FF00;
constexpr uint32_t kBlue = 0xFF0000;

struct BoxF {
    double left, top, right, bottom;
    double cx() const { return (left + right) / 2; }
    double cy() const { return (top + bottom) / 2; }
    double a() const { return (right - left) / 2; }
    double b() const { return (bottom - top) / 2; }
};

// Cairo's curves are flattened finely: on a flat stretch of a long ellipse a tenth of a pixel moves a
// step by several pixels.
void EllipsePath(cairo_t* cr, double cx, double cy, double a, double b) {
    cairo_set_tolerance(cr, 0.0005);
    cairo_save(cr);
    cairo_translate(cr, cx, cy);
    cairo_scale(cr, a, b);
    cairo_new_sub_path(cr);
    cairo_arc(cr, 0, 0, 1, 0, 2 * M_PI);
    cairo_restore(cr);
}

// The ring pen pixels thick inside the box's ellipse: a stroke that wide along the ellipse half of it
// further in.
void CairoRing(CairoCanvas& c, const BoxF& box, int pen) {
    cairo_t* cr = c.Context();
    c.SetColor(kRed);
    const double inset = std::min({pen / 2.0, box.a() / 2, box.b() / 2});
    EllipsePath(cr, box.cx(), box.cy(), box.a() - inset, box.b() - inset);
    cairo_set_line_width(cr, std::min<double>(pen, 2 * inset));
    cairo_stroke(cr);
}

// The ellipse inscribed in the box in the brush, then its ring in the pen.
void CairoEllipse(CairoCanvas& c, const BoxF& box, int pen) {
    cairo_t* cr = c.Context();
    c.SetColor(kBlue);
    EllipsePath(cr, box.cx(), box.cy(), box.a(), box.b());
    cairo_fill(cr);
    if (pen > 0) CairoRing(c, box, pen);
}

struct EllipseCase {
    int w, h, pen;
};

// The context's ellipse for a w x h rectangle at (margin, margin): even semi-axes of at least 2
// around the rectangle's centre.
BoxF DrawEllipse(CDC& dc, const EllipseCase& c, int margin) {
    dc.SetBrush(kBlue, 0);
    dc.SetPen(kRed, 0, c.pen);
    const CRect r(margin, margin + c.h, margin + c.w, margin);  // reversed: normalised first
    EXPECT_TRUE(dc.Ellipse(&r));
    const int rx = c.w > 5 ? c.w >> 1 : 2, ry = c.h > 5 ? c.h >> 1 : 2;
    const int cx = (2 * margin + c.w) / 2, cy = (2 * margin + c.h) / 2;
    return {double(cx - rx), double(cy - ry), double(cx + rx), double(cy + ry)};
}

std::string Name(const EllipseCase& c) {
    return "ellipse-" + std::to_string(c.w) + "x" + std::to_string(c.h);
}

TEST(DcEllipseTest, EllipsesMatchCairo) {
    const EllipseCase cases[] = {{1, 1, 1},    {4, 4, 1},     {5, 3, 1},     {6, 7, 1},
                                 {17, 9, 2},   {64, 64, 1},   {301, 97, 3},  {97, 301, 1},
                                 {1000, 999, 1}, {800, 60, 2}, {1000, 1000, 0}};
    for (const auto& c : cases) {
        const int margin = 6;
        const int sw = std::max(c.w, 4) + 2 * margin, sh = std::max(c.h, 4) + 2 * margin;
        CDC dc(CDC::kMemory, sw, sh);
        const BoxF box = DrawEllipse(dc, c, margin);
        CairoCanvas cairo(sw, sh);
        CairoEllipse(cairo, box, c.pen);
        EXPECT_TRUE(MatchesWithin(Snapshot(dc), cairo.Snapshot(), {1, 0}, Name(c)));
    }
}

// Past a thousand pixels cairo's own curves stray by hundredths of a pixel, which on the flat stretches
// moves steps by several pixels; there the picture is checked against the definition itself: a pixel
// is inside when its centre lies in the ellipse or on it, and the ring is what lies inside the box's
// ellipse but not inside the one pen pixels further in.
TEST(DcEllipseTest, EllipsesOfThousandsOfPixelsFollowTheirDefinition) {
    const EllipseCase cases[] = {{2048, 2047, 4}, {4000, 120, 1}, {120, 4000, 2}, {4000, 1200, 1}};
    for (const auto& c : cases) {
        const int margin = 3;
        const int sw = c.w + 2 * margin, sh = c.h + 2 * margin;
        CDC dc(CDC::kMemory, sw, sh);
        const BoxF box = DrawEllipse(dc, c, margin);
        auto inside = [](const BoxF& b, int x, int y) {
            const __int128 cx2 = __int128(b.left + b.right), cy2 = __int128(b.top + b.bottom);
            const __int128 a2 = __int128(b.right - b.left), b2 = __int128(b.bottom - b.top);
            const __int128 u = 2 * x + 1 - cx2, v = 2 * y + 1 - cy2;
            return u * u * b2 * b2 + v * v * a2 * a2 <= a2 * a2 * b2 * b2;
        };
        const BoxF inner{box.left + c.pen, box.top + c.pen, box.right - c.pen, box.bottom - c.pen};
        Picture want(sw, sh);
        for (int y = 0; y < sh; ++y)
            for (int x = 0; x < sw; ++x) {
                if (!inside(box, x, y)) continue;
                want.Set(x, y, inside(inner, x, y) ? varnelle::draw_testing::Rgb565(kBlue)
                                                   : varnelle::draw_testing::Rgb565(kRed));
            }
        EXPECT_TRUE(MatchesWithin(Snapshot(dc), want, {0, 0}, Name(c)));
    }
}

// The rectangle is taken in logical coordinates, tested and drawn in device ones.
TEST(DcEllipseTest, EllipseFollowsTheWindowAndTheClip) {
    CDC dc(CDC::kMemory, 80, 60);
    dc.SetBrush(kBlue, 0);
    dc.SetPen(kRed, 0, 1);
    const CRect window(30, 20, 200, 200);
    dc.SetClipRect(&window);
    // Logical {-20, -10, 30, 30} is device {10, 10, 60, 50}: it meets the clip only in device terms.
    const CRect r(-20, -10, 30, 30);
    ASSERT_TRUE(dc.Ellipse(&r));
    CairoCanvas cairo(80, 60);
    cairo_rectangle(cairo.Context(), 30, 20, 50, 40);
    cairo_clip(cairo.Context());
    CairoEllipse(cairo, {10, 10, 60, 50}, 1);
    EXPECT_TRUE(MatchesWithin(Snapshot(dc), cairo.Snapshot(), {1, 0}, "ellipse-window"));

    const CRect flat(0, 5, 40, 5), off(-100, -100, -80, -80);
    EXPECT_FALSE(dc.Ellipse(&flat));
    EXPECT_FALSE(dc.Ellipse(&off));
}

TEST(DcEllipseTest, RowSpansOfHugeEllipsesStaySymmetric) {
    using namespace varnelle::draw_internal;
    const Box64 box{-2000000000, -1500000000, 2000000000, 1500000000};
    Span s;
    ASSERT_TRUE(EllipseRowSpan(box, 0, &s));
    EXPECT_EQ(s.x0, -s.x1);
    EXPECT_NEAR(double(s.x1), 2e9, 2.0);
    ASSERT_TRUE(EllipseRowSpan(box, -1500000000, &s));
    EXPECT_EQ(s.x0, -s.x1);
    EXPECT_FALSE(EllipseRowSpan(box, 1500000000, &s));
    const Box64 small{0, 0, 4, 4};
    ASSERT_TRUE(EllipseRowSpan(small, 0, &s));
    EXPECT_EQ(s.x0, 1);
    EXPECT_EQ(s.x1, 3);
}

// A chord or pie as cairo draws it: the arc between the points where the rays at the two whole-degree
// angles leave the centre and meet the ellipse; the pie closed through the centre, the chord straight
// across; the arc's ring in the pen and the straight sides as one-pixel lines.
struct ArcCase {
    CRect r;
    Point p1, p2;
    int pen;
};

void CairoArc(CairoCanvas& c, const BoxF& box, int a1, int a2, int l1, int l2, int pen, bool pie) {
    cairo_t* cr = c.Context();
    auto param = [&](int deg) {
        const double t = deg * M_PI / 180;
        return std::atan2(std::sin(t) / box.b(), std::cos(t) / box.a());
    };
    auto onEllipse = [&](int deg) {
        const double t = param(deg);
        return std::pair{box.cx() + box.a() * std::cos(t), box.cy() + box.b() * std::sin(t)};
    };
    auto sweep = [&](int from, int to) {
        double t1 = param(from), t2 = param(to);
        while (t2 <= t1) t2 += 2 * M_PI;
        cairo_save(cr);
        cairo_translate(cr, box.cx(), box.cy());
        cairo_scale(cr, box.a(), box.b());
        cairo_arc(cr, 0, 0, 1, t1, t2);
        cairo_restore(cr);
    };
    c.SetColor(kBlue);
    if (pie) cairo_move_to(cr, box.cx(), box.cy());
    sweep(a1, a2);
    cairo_close_path(cr);
    cairo_fill(cr);

    c.SetColor(kRed);
    cairo_save(cr);
    const double far = 4 * (box.a() + box.b());
    double s1 = l1 * M_PI / 180, s2 = l2 * M_PI / 180;
    while (s2 <= s1) s2 += 2 * M_PI;
    cairo_move_to(cr, box.cx(), box.cy());
    cairo_arc(cr, box.cx(), box.cy(), far, s1, s2);
    cairo_close_path(cr);
    cairo_clip(cr);
    CairoRing(c, box, pen);
    cairo_restore(cr);
    cairo_set_line_width(cr, 1);
    const auto [x1, y1] = onEllipse(l1);
    const auto [x2, y2] = onEllipse(l2);
    if (pie) {
        cairo_move_to(cr, x1, y1);
        cairo_line_to(cr, box.cx(), box.cy());
        cairo_line_to(cr, x2, y2);
    } else {
        cairo_move_to(cr, x1, y1);
        cairo_line_to(cr, x2, y2);
    }
    cairo_stroke(cr);
}

int Degrees(double y, double x, bool ceil) {
    const double a = std::atan2(y, x) * 57.29577951308232;
    return static_cast<int>(ceil ? std::ceil(a) : a);
}

void CheckArcs(int kind /* 0 chord, 1 chord ceil, 2 pie */) {
    const ArcCase cases[] = {
        {{10, 10, 130, 90}, {130, 50}, {70, 10}, 1},   // 0 to -90: three quarters clockwise
        {{10, 10, 130, 90}, {70, 10}, {130, 50}, 1},   // a quarter
        {{10, 10, 130, 90}, {20, 85}, {125, 15}, 1},   // across
        {{10, 10, 131, 91}, {0, 49}, {0, 52}, 1},      // nearly all, over 180
        {{20, 5, 90, 95}, {88, 80}, {22, 14}, 2},
        {{20, 5, 90, 95}, {55, 200}, {55, -100}, 1},   // points beyond the rectangle
        {{40, 30, 43, 33}, {50, 31}, {41, 20}, 1},     // tiny
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const ArcCase& c = cases[i];
        CDC dc(CDC::kMemory, 150, 110);
        dc.SetBrush(kBlue, 0);
        dc.SetPen(kRed, 0, c.pen);
        const bool pie = kind == 2;
        bool drawn = false;
        if (kind == 0) drawn = dc.Chord(&c.r, c.p1.x, c.p1.y, c.p2.x, c.p2.y);
        if (kind == 1) drawn = dc.ChordCeil(&c.r, c.p1.x, c.p1.y, c.p2.x, c.p2.y);
        if (kind == 2) drawn = dc.Pie(&c.r, c.p1.x, c.p1.y, c.p2.x, c.p2.y);
        ASSERT_TRUE(drawn) << i;
        // The pen's inset, then angles from the inset rectangle's whole-pixel centre.
        const int p = c.pen;
        const BoxF box{double(c.r.left + p / 2), double(c.r.top + p / 2), double(c.r.right - (p - 1) / 2),
                       double(c.r.bottom - (p - 1) / 2)};
        const int cx = int(box.left + box.right) / 2, cy = int(box.top + box.bottom) / 2;
        const bool ceilFill = kind == 1;
        const int f1 = Degrees(c.p1.y - cy, c.p1.x - cx, ceilFill), f2 = Degrees(c.p2.y - cy, c.p2.x - cx, ceilFill);
        const int l1 = Degrees(c.p1.y - cy, c.p1.x - cx, false), l2 = Degrees(c.p2.y - cy, c.p2.x - cx, false);
        CairoCanvas cairo(150, 110);
        CairoArc(cairo, box, f1, f2, l1, l2, p, pie);
        const char* names[] = {"chord-", "chordceil-", "pie-"};
        EXPECT_TRUE(MatchesWithin(Snapshot(dc), cairo.Snapshot(), {1, 2}, names[kind] + std::to_string(i)));
    }
}

TEST(DcEllipseTest, ChordsMatchCairo) {
    CheckArcs(0);
}

TEST(DcEllipseTest, CeilingChordsMatchCairo) {
    CheckArcs(1);
}

TEST(DcEllipseTest, PiesMatchCairo) {
    CheckArcs(2);
}

TEST(DcEllipseTest, EqualAnglesAndThinRectanglesDrawNothing) {
    CDC dc(CDC::kMemory, 60, 60);
    dc.SetBrush(kBlue, 0);
    dc.SetPen(kRed, 0, 1);
    const CRect r(10, 10, 50, 50), thin(10, 10, 11, 50), flat(10, 10, 50, 11);
    EXPECT_FALSE(dc.Pie(&r, 50, 30, 40, 30));
    EXPECT_FALSE(dc.Chord(&r, 30, 10, 30, 0));
    EXPECT_FALSE(dc.Pie(&thin, 0, 0, 50, 50));
    EXPECT_FALSE(dc.ChordCeil(&flat, 0, 0, 50, 50));
    EXPECT_EQ(Snapshot(dc).Pixels(), Picture(60, 60).Pixels());
}

}  // namespace
