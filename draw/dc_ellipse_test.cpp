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

using varnelle::draw::testing::PixelAt;
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

// A chord or pie as cairo draws it: the arc runs counter-clockwise on the screen between the points
// where the rays from the centre towards the two ends meet the ellipse; the pie closed through the
// centre, the chord straight across; the arc's ring in the pen and the straight sides as one-pixel
// lines. The ends are aimed at the rectangle's border as for angles growing towards the top: the
// corners and edge middles at multiples of 45 degrees, else the tangent's crossing of the edge of the
// angle's quarter about the centre {left + w/2, top + h/2} (whole halves), truncated toward zero.
struct ArcCase {
    CRect r;
    Point p1, p2;
    int pen;
};

std::pair<double, double> AimedAt(const BoxF& box, int deg) {
    const int L = int(box.left), T = int(box.top), w = int(box.right - box.left),
              h = int(box.bottom - box.top);
    const int cx = L + w / 2, cy = T + h / 2;
    const double t = std::tan(deg * M_PI / 180);
    double x, y;
    if (deg % 45 == 0) {
        const int k = deg / 45;  // 0 right middle, then anticlockwise round the corners and middles
        const int xs[] = {L + w, L + w, cx, L, L, L, cx, L + w};
        const int ys[] = {cy, T, T, T, cy, T + h, T + h, T + h};
        x = xs[k];
        y = ys[k];
    } else if (deg > 45 && deg < 135) {
        x = std::trunc(cx + h / t / 2), y = T;
    } else if (deg > 225 && deg < 315) {
        x = std::trunc(cx - h / t / 2), y = T + h;
    } else if (deg < 135 || deg > 225) {
        x = L + w, y = std::trunc(cy - w * t / 2);
    } else {
        x = L, y = std::trunc(cy + w * t / 2);
    }
    return {x - box.cx(), y - box.cy()};
}

void CairoArc(CairoCanvas& c, const BoxF& box, int a1, int a2, int l1, int l2, int pen, bool pie) {
    cairo_t* cr = c.Context();
    auto param = [&](int deg) {
        const auto [dx, dy] = AimedAt(box, deg);
        return std::atan2(dy / box.b(), dx / box.a());
    };
    auto onEllipse = [&](int deg) {
        const double t = param(deg);
        return std::pair{box.cx() + box.a() * std::cos(t), box.cy() + box.b() * std::sin(t)};
    };
    // Cairo's angles grow clockwise on the screen.
    auto sweep = [&](int from, int to) {
        double t1 = param(from), t2 = param(to);
        while (t2 >= t1) t2 -= 2 * M_PI;
        cairo_save(cr);
        cairo_translate(cr, box.cx(), box.cy());
        cairo_scale(cr, box.a(), box.b());
        cairo_arc_negative(cr, 0, 0, 1, t1, t2);
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
    auto ray = [&](int deg) {
        const auto [dx, dy] = AimedAt(box, deg);
        return std::atan2(dy, dx);
    };
    double s1 = ray(l1), s2 = ray(l2);
    while (s2 >= s1) s2 -= 2 * M_PI;
    cairo_move_to(cr, box.cx(), box.cy());
    cairo_arc_negative(cr, box.cx(), box.cy(), far, s1, s2);
    cairo_close_path(cr);
    cairo_clip(cr);
    CairoRing(c, box, pen);
    cairo_restore(cr);
    cairo_set_line_width(cr, 1);
    // The straight sides join the centres of the pixels the ends and the centre fall in.
    auto centre = [](double v) { return std::floor(v) + 0.5; };
    auto [x1, y1] = onEllipse(l1);
    auto [x2, y2] = onEllipse(l2);
    x1 = centre(x1), y1 = centre(y1), x2 = centre(x2), y2 = centre(y2);
    if (pie) {
        cairo_move_to(cr, x1, y1);
        cairo_line_to(cr, centre(box.cx()), centre(box.cy()));
        cairo_line_to(cr, x2, y2);
    } else {
        cairo_move_to(cr, x1, y1);
        cairo_line_to(cr, x2, y2);
    }
    cairo_stroke(cr);
}

// Whole degrees of atan2 in device pixels (growing clockwise on the screen), in 0..359.
int Degrees(double y, double x, bool ceil) {
    const double a = std::atan2(y, x) * 57.29577951308232;
    return (static_cast<int>(ceil ? std::ceil(a) : a) % 360 + 360) % 360;
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

// The ends of arcs at whole-degree angles, placed on the border of {10, 20, 70, 50} (and two more
// rectangles for the truncation and the whole halves), worked out from their rule by hand.
TEST(DcEllipseTest, ArcEndsLieWhereTheirAnglesPointOnTheBorder) {
    using varnelle::draw_internal::BorderPoint;
    using varnelle::draw_internal::Point64;
    const struct {
        int degrees;
        Point64 want;
    } cases[] = {
        {0, {70, 35}},   {45, {70, 20}},  {90, {40, 20}},  {135, {10, 20}}, {180, {10, 35}},
        {225, {10, 50}}, {270, {40, 50}}, {315, {70, 50}}, {1, {70, 34}},   {30, {70, 17}},
        {46, {54, 20}},  {60, {48, 20}},  {120, {31, 20}}, {136, {10, 6}},  {150, {10, 17}},
        {200, {10, 45}}, {250, {34, 50}}, {300, {48, 50}}, {330, {70, 52}}, {359, {70, 35}},
    };
    for (const auto& c : cases) EXPECT_EQ(BorderPoint(10, 20, 60, 30, c.degrees), c.want) << c.degrees;
    // Toward zero, not down; and halves of odd sizes are whole.
    EXPECT_EQ(BorderPoint(-50, -40, 20, 10, 60), (Point64{-37, -40}));
    EXPECT_EQ(BorderPoint(-50, -40, 20, 10, 300), (Point64{-37, -30}));
    EXPECT_EQ(BorderPoint(0, 0, 41, 41, 90), (Point64{20, 0}));
    EXPECT_EQ(BorderPoint(0, 0, 41, 41, 0), (Point64{41, 20}));
}

// The angles are atan2's in device pixels, where y grows downwards; the ends go where the same
// angles point when they grow towards the top, and the arc runs from the first end anticlockwise to
// the second. So (40, 20) and (20, 40) about the centre (20, 20), at 0 and 90 degrees, keep the top
// right quarter, not the bottom right one the points themselves bound.
TEST(DcEllipseTest, ArcsRunAnticlockwiseBetweenTheEndsOfTheirAngles) {
    const uint16_t blue = varnelle::draw_testing::Rgb565(kBlue);
    const CRect square(0, 0, 40, 40);
    {
        CDC dc(CDC::kMemory, 40, 40);
        dc.SetBrush(kBlue, 0);
        dc.SetPen(kRed, 0, 1);
        ASSERT_TRUE(dc.Pie(&square, 40, 20, 20, 40));
        EXPECT_EQ(PixelAt(dc, 30, 10), blue);
        for (const Point& p : {Point(30, 30), Point(10, 10), Point(10, 30)})
            EXPECT_EQ(PixelAt(dc, p.x, p.y), 0) << p.x << "," << p.y;
    }
    {
        // The chord between the ends keeps the cap beyond x - y = 20.
        CDC dc(CDC::kMemory, 40, 40);
        dc.SetBrush(kBlue, 0);
        dc.SetPen(kRed, 0, 1);
        ASSERT_TRUE(dc.Chord(&square, 40, 20, 20, 40));
        EXPECT_EQ(PixelAt(dc, 32, 6), blue);
        for (const Point& p : {Point(28, 12), Point(32, 33), Point(20, 20)})
            EXPECT_EQ(PixelAt(dc, p.x, p.y), 0) << p.x << "," << p.y;
    }
    {
        // At 45 degrees the end is the corner (80, 0): off the square the side runs at atan(1/2),
        // about 26.6 degrees, so a pixel at 35 degrees stays out and one at 15 degrees is in.
        CDC dc(CDC::kMemory, 80, 40);
        dc.SetBrush(kBlue, 0);
        dc.SetPen(kRed, 0, 1);
        const CRect wide(0, 0, 80, 40);
        ASSERT_TRUE(dc.Pie(&wide, 70, 20, 60, 40));
        EXPECT_EQ(PixelAt(dc, 59, 14), blue);
        EXPECT_EQ(PixelAt(dc, 52, 11), 0);
    }
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
