// Polygons and Bezier curves of the drawing context against cairo, and the edge walk's own checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "draw/dc.h"
#include "draw/internal/polygon_scan.h"
#include "draw/testing/cairo_compare.h"
#include "draw/testing/dc_fixture.h"
#include "draw/testing/printers.h"

namespace {

using varnelle::draw::testing::PixelAt;
using varnelle::draw::testing::Snapshot;
using varnelle::draw_internal::FillEdge;
using varnelle::draw_internal::FlattenBezier;
using varnelle::draw_internal::MakeEdge;
using varnelle::draw_internal::PolygonCheckFailures;
using varnelle::draw_internal::PolygonScanner;
using varnelle::draw_internal::SeekScanline;
using varnelle::draw_internal::UpdateScanline;
using varnelle::draw_testing::CairoCanvas;
using varnelle::draw_testing::MatchesWithin;
using varnelle::draw_testing::Picture;
using varnelle::draw_testing::Rgb565;

const auto* const kEnv =
    ::testing::AddGlobalTestEnvironment(new varnelle::draw::testing::LayerEnvironment(64, 48, kFormatRgb565));

constexpr uint32_t kRed = 0x0000FF;
constexpr uint32_t kBlue = 0xFF0000;
constexpr uint32_t kGreen = 0x00FF00;

using Poly = std::vector<Point>;

Poly Reversed(Poly p) {
    std::reverse(p.begin(), p.end());
    return p;
}

// Cairo's even-odd fill in the brush, then each side in the pen: an axis-aligned side as the run of
// pixels between its ends, any other as a one-pixel stroke through the pixel centres.
//
// The fill's scan line meets the sides at its top: where a side crosses y, row y takes the pixels
// whose centres lie on the inside of that point. Cairo samples pixel centres, so slanted polygons
// are given to it half a pixel lower (`top`); axis-aligned ones give the same pixels either way and
// are compared unshifted, pixel for pixel.
Picture CairoPolygon(int w, int h, const Poly& p, bool outline = true, bool top = false) {
    CairoCanvas c(w, h);
    cairo_t* cr = c.Context();
    cairo_set_fill_rule(cr, CAIRO_FILL_RULE_EVEN_ODD);
    const double dy = top ? 0.5 : 0;
    cairo_move_to(cr, p[0].x, p[0].y + dy);
    for (size_t i = 1; i < p.size(); ++i) cairo_line_to(cr, p[i].x, p[i].y + dy);
    cairo_close_path(cr);
    c.SetColor(kBlue);
    cairo_fill(cr);
    if (!outline) return c.Snapshot();
    c.SetColor(kRed);
    cairo_set_line_width(cr, 1);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_SQUARE);
    for (size_t i = 0; i < p.size(); ++i) {
        const Point a = p[i], b = p[(i + 1) % p.size()];
        if (a.x == b.x || a.y == b.y) {
            cairo_rectangle(cr, std::min(a.x, b.x), std::min(a.y, b.y), std::abs(a.x - b.x) + 1, std::abs(a.y - b.y) + 1);
            cairo_fill(cr);
        } else {
            cairo_move_to(cr, a.x + 0.5, a.y + 0.5);
            cairo_line_to(cr, b.x + 0.5, b.y + 0.5);
            cairo_stroke(cr);
        }
    }
    return c.Snapshot();
}

// Filled in the brush and outlined with a one-pixel pen, or filled only.
Picture Draw(int w, int h, const Poly& p, bool outline = true) {
    CDC dc(CDC::kMemory, w, h);
    dc.SetBrush(kBlue, 0);
    dc.SetPen(kRed, 0, outline ? 1 : 0);
    EXPECT_TRUE(dc.Polygon(p.data(), int(p.size())));
    return Snapshot(dc);
}

TEST(DcPolygonTest, AxisAlignedPolygonsEqualCairoInEitherOrientation) {
    const std::pair<const char*, Poly> cases[] = {
        {"square", {{0, 0}, {10, 0}, {10, 10}, {0, 10}}},
        {"ell", {{3, 2}, {30, 2}, {30, 9}, {12, 9}, {12, 25}, {3, 25}}},
        {"stairs", {{2, 2}, {8, 2}, {8, 6}, {14, 6}, {14, 11}, {20, 11}, {20, 30}, {2, 30}}},
        {"ring", {{2, 2}, {40, 2}, {40, 30}, {2, 30}, {2, 8}, {10, 8}, {10, 20}, {30, 20}, {30, 8}, {2, 8}}},
    };
    for (const auto& [name, poly] : cases) {
        EXPECT_TRUE(MatchesWithin(Draw(48, 36, poly), CairoPolygon(48, 36, poly), {0, 0}, name));
        EXPECT_TRUE(MatchesWithin(Draw(48, 36, Reversed(poly)), CairoPolygon(48, 36, poly), {0, 0},
                                  std::string(name) + "-reversed"));
    }
    // The square's interior by hand: rows 0 to 9, columns 0 to 9, brush inside the pen's outline.
    const Picture sq = Draw(16, 16, {{0, 0}, {10, 0}, {10, 10}, {0, 10}});
    for (int y = 0; y <= 11; ++y)
        for (int x = 0; x <= 11; ++x) {
            const bool outline = (x == 0 || x == 10 || y == 0 || y == 10) && x <= 10 && y <= 10;
            const uint16_t want = outline ? Rgb565(kRed) : (x < 10 && y < 10 ? Rgb565(kBlue) : 0);
            EXPECT_EQ(sq.At(x, y), want) << x << "," << y;
        }
}

// The two orientations start their shared edges a line apart, so each is held against cairo on its
// own. Within a pixel, but for a pixel per vertex at most: where a side runs at a shallow slope its
// scan-line span reaches half a step past a sharp tip, as far as one side of the pixel around it.
TEST(DcPolygonTest, PolygonsMatchCairoInEachOrientation) {
    std::mt19937 rng(3);
    for (int trial = 0; trial < 300; ++trial) {
        // Around a centre: simple, of any convexity.
        const int n = 3 + int(rng() % 10);
        Poly p;
        for (int i = 0; i < n; ++i) {
            const double t = 2 * M_PI * (i + (rng() % 100) / 200.0) / n;
            const double r = 5 + rng() % 40;
            p.emplace_back(int(50 + r * std::cos(t)), int(40 + r * std::sin(t)));
        }
        const std::string name = "polygon-" + std::to_string(trial);
        for (const Poly& q : {p, Reversed(p)}) {
            ASSERT_TRUE(MatchesWithin(Draw(100, 80, q, false), CairoPolygon(100, 80, p, false, true), {1, n}, name));
            ASSERT_TRUE(MatchesWithin(Draw(100, 80, q), CairoPolygon(100, 80, p, true, true), {1, n}, name + "-outlined"));
        }
    }
}

Poly Star(int points, int step, double cx, double cy, double r) {
    Poly p;
    for (int i = 0; i < points; ++i) {
        const double t = 2 * M_PI * (i * step % points) / points - M_PI / 2;
        p.emplace_back(int(std::lround(cx + r * std::cos(t))), int(std::lround(cy + r * std::sin(t))));
    }
    return p;
}

TEST(DcPolygonTest, StarsFillByTheEvenOddRule) {
    const Poly five = Star(5, 2, 40, 40, 35);
    const Picture got = Draw(80, 80, five);
    EXPECT_TRUE(MatchesWithin(got, CairoPolygon(80, 80, five, true, true), {1, 5}, "star-5"));
    EXPECT_EQ(got.At(40, 42), 0) << "the centre pentagon stays empty";
    EXPECT_EQ(got.At(40, 15), Rgb565(kBlue));
    for (const auto& [n, k] : {std::pair{5, 2}, std::pair{7, 3}, std::pair{9, 4}, std::pair{11, 4},
                               std::pair{15, 7}}) {
        const Poly star = Star(n, k, 100, 100, 95);
        EXPECT_TRUE(MatchesWithin(Draw(200, 200, star, false), CairoPolygon(200, 200, star, false, true), {1, n},
                                  "star-" + std::to_string(n)));
        EXPECT_TRUE(MatchesWithin(Draw(200, 200, Reversed(star), false), CairoPolygon(200, 200, star, false, true),
                                  {1, n}, "star-" + std::to_string(n) + "-reversed"));
    }
}

CRect BoundingBox(const Poly& p) {
    CRect box(p[0].x, p[0].y, p[0].x, p[0].y);
    for (const Point& q : p) {
        box.left = std::min(box.left, q.x);
        box.right = std::max(box.right, q.x);
        box.top = std::min(box.top, q.y);
        box.bottom = std::max(box.bottom, q.y);
    }
    return box;
}

// The winding twin fills every scan line of its rectangle, whichever lie above or below the polygon
// and wherever the clip cuts it; the columns are the clip's alone.
TEST(DcPolygonTest, WindingTwinMatchesCairosNonZeroRule) {
    const CRect all(0, 0, 80, 80);
    for (const Poly& p : {Star(5, 2, 40, 40, 35), Star(7, 3, 40, 40, 35), Star(7, 2, 40, 40, 35),
                          Poly{{10, 10}, {30, 10}, {20, 25}}}) {
        const CRect box = BoundingBox(p);
        const struct {
            const char* name;
            CRect rect;
            CRect clip;
        } cases[] = {
            {"box", box, all},
            {"larger", all, all},
            {"larger-clipped", CRect(0, 3, 80, 79),
             CRect(box.left + 7, box.top + 4, box.right - 5, box.bottom - 2)},
            {"rows", CRect(box.left + 12, box.top + 5, box.right - 20, box.bottom - 3), all},
        };
        for (const auto& c : cases) {
            const std::string name = std::string("winding-") + c.name + "-" + std::to_string(p.size());
            CDC dc(CDC::kMemory, 80, 80);
            dc.SetPen(kGreen, 0, 1);
            ASSERT_TRUE(dc.IntersectClipRect(&c.clip));
            EXPECT_TRUE(dc.FillPolygonWinding(p.data(), int(p.size()), c.rect));
            CairoCanvas cairo(80, 80);
            cairo_t* cr = cairo.Context();
            cairo_rectangle(cr, c.clip.left, std::max(c.rect.top, c.clip.top), c.clip.Width(),
                            std::min(c.rect.bottom, c.clip.bottom) - std::max(c.rect.top, c.clip.top));
            cairo_clip(cr);
            cairo_move_to(cr, p[0].x, p[0].y);
            for (const Point& q : p) cairo_line_to(cr, q.x, q.y);
            cairo_close_path(cr);
            cairo.SetColor(kGreen);
            cairo_fill(cr);
            EXPECT_TRUE(MatchesWithin(Snapshot(dc), cairo.Snapshot(), {1, 0}, name));
            if (p.size() != 3 || c.rect.top > box.top) continue;
            // A simple polygon fills alike by either rule: the twin over its rectangle equals the even-odd
            // fill over the polygon's box, pixel for pixel.
            CDC alternate(CDC::kMemory, 80, 80);
            alternate.SetPen(kGreen, 0, 0);
            alternate.SetBrush(kGreen, 0);
            ASSERT_TRUE(alternate.IntersectClipRect(&c.clip));
            EXPECT_TRUE(alternate.Polygon(p.data(), int(p.size())));
            EXPECT_TRUE(MatchesWithin(Snapshot(dc), Snapshot(alternate), {0, 0}, name + "-alternate"));
        }
    }
}

TEST(DcPolygonTest, PolygonOffTheClipDrawsNothingNotEvenItsOutline) {
    CDC dc(CDC::kMemory, 64, 48);
    dc.SetPen(kRed, 0, 3);
    dc.SetBrush(kBlue, 0);
    const Poly off = {{70, 10}, {90, 10}, {80, 30}};
    EXPECT_FALSE(dc.Polygon(off.data(), 3));
    const Poly flat = {{5, 5}, {30, 5}, {50, 5}};
    EXPECT_FALSE(dc.Polygon(flat.data(), 3));
    const Poly one = {{5, 5}};
    EXPECT_FALSE(dc.Polygon(one.data(), 1));
    EXPECT_FALSE(dc.Polygon(nullptr, 4));
    EXPECT_EQ(Snapshot(dc).Pixels(), Picture(64, 48).Pixels());
}

// The outline is drawn in device pixels like the fill: both move with the window.
TEST(DcPolygonTest, FillAndOutlineShareTheOrigin) {
    CDC dc(CDC::kMemory, 64, 48);
    dc.SetPen(kRed, 0, 1);
    dc.SetBrush(kBlue, 0);
    const CRect window(10, 5, 64, 48);
    dc.SetClipRect(&window);
    const Poly p = {{0, 0}, {20, 0}, {20, 15}, {0, 15}};
    ASSERT_TRUE(dc.Polygon(p.data(), 4));
    const Poly device = {{10, 5}, {30, 5}, {30, 20}, {10, 20}};
    EXPECT_TRUE(MatchesWithin(Snapshot(dc), CairoPolygon(64, 48, device), {0, 0}, "polygon-window"));
    EXPECT_EQ(dc.GetCurrentPosition(), Point(10, 5));
}

// The edge walk's checks never fire on closed polygons of any int32 points within 2^30, wherever the
// clip cuts them; the scan lines above the clip are never visited, yet each edge starts where
// stepping would have brought it.
TEST(DcPolygonTest, RandomPolygonsPassTheEdgeWalkChecks) {
    const uint64_t before = PolygonCheckFailures();
    std::mt19937 rng(17);
    std::uniform_int_distribution<int> big(-(1 << 30), 1 << 30);
    std::uniform_int_distribution<int> near(-40, 100);
    CDC dc(CDC::kMemory, 64, 48);
    dc.SetBrush(kBlue, 0);
    dc.SetPen(kRed, 0, 1);
    for (int trial = 0; trial < 10000; ++trial) {
        Poly p(3 + rng() % 10);
        for (Point& q : p) q = trial % 2 ? Point(big(rng), big(rng)) : Point(near(rng), near(rng));
        // Half of them keep a vertex on the surface, so their edges cross it.
        if (trial % 4 == 1) p[0] = Point(int(rng() % 64), int(rng() % 48));
        dc.Polygon(p.data(), int(p.size()));
    }
    EXPECT_EQ(PolygonCheckFailures(), before);
}

TEST(DcPolygonTest, SeekingAnEdgeEqualsSteppingIt) {
    std::mt19937 rng(23);
    for (int trial = 0; trial < 3000; ++trial) {
        const int span = trial % 3 == 0 ? 2000 : 60;
        auto c = [&] { return int(rng() % (2 * span)) - span; };
        const Point a(c(), c()), b(c(), c());
        if (a.y == b.y) continue;
        const FillEdge start = MakeEdge(a, b, 0);
        FillEdge stepped = start;
        for (int64_t y = start.fromY; y < start.toY; ++y) {
            FillEdge sought = start;
            SeekScanline(sought, y);
            ASSERT_EQ(sought.x, stepped.x) << a.x << "," << a.y << " " << b.x << "," << b.y << " line " << y;
            ASSERT_EQ(sought.error, stepped.error) << a.x << "," << a.y << " " << b.x << "," << b.y << " line " << y;
            ASSERT_TRUE(UpdateScanline(stepped, y));
        }
    }
}

TEST(DcPolygonTest, EqualSpanMiddlesPutTheLaterEdgeFirst) {
    // A bow tie: its two diagonals cross at (5, 5).
    const Poly p = {{0, 0}, {10, 10}, {10, 0}, {0, 10}};
    PolygonScanner scan(p.data(), 4);
    std::vector<const FillEdge*> active;
    for (int64_t y = 0; y < 5; ++y) ASSERT_TRUE(scan.Row(y, &active));
    ASSERT_TRUE(scan.Row(5, &active));
    std::vector<int> order;
    for (const FillEdge* e : active) order.push_back(e->index);
    EXPECT_EQ(order, (std::vector<int>{3, 2, 0, 1}));
}

TEST(DcPolygonTest, BezierFlattening) {
    const Point line[] = {{0, 0}, {10, 0}, {20, 0}, {30, 0}};
    EXPECT_EQ(FlattenBezier(line, 4), (std::vector<Point>{{0, 0}, {30, 0}}));
    const Point far[] = {{-(1 << 30), 5}, {0, 5}, {1 << 29, 5}, {1 << 30, 5}};
    EXPECT_EQ(FlattenBezier(far, 4), (std::vector<Point>{{-(1 << 30), 5}, {1 << 30, 5}}));
    EXPECT_TRUE(FlattenBezier(line, 3).empty());

    // Forty loops need far more than the 150 points the buffer starts with.
    std::vector<Point> loops = {{0, 50}};
    for (int i = 0; i < 40; ++i) {
        const int x = 10 * i;
        loops.insert(loops.end(), {{x + 60, -400}, {x - 50, -400}, {x + 10, 50}});
    }
    const std::vector<Point> flat = FlattenBezier(loops.data(), int(loops.size()));
    EXPECT_GT(flat.size(), 150u);
    EXPECT_EQ(flat.front(), Point(0, 50));
    EXPECT_EQ(flat.back(), Point(400, 50));
}

TEST(DcPolygonTest, BezierCurvesMatchCairo) {
    const std::vector<Point> curves[] = {
        {{10, 70}, {30, 0}, {90, 0}, {110, 70}},
        {{10, 10}, {110, 10}, {10, 70}, {110, 70}, {60, 100}, {0, 40}, {60, 40}},
        {{60, 10}, {140, 40}, {-20, 40}, {60, 70}},
    };
    for (size_t i = 0; i < std::size(curves); ++i) {
        const auto& c = curves[i];
        CDC dc(CDC::kMemory, 130, 100);
        dc.SetBrush(kBlue, 0);
        dc.SetPen(kRed, 0, 1);
        ASSERT_TRUE(dc.PolyBezier(c.data(), int(c.size())));
        CairoCanvas cairo(130, 100);
        cairo_t* cr = cairo.Context();
        cairo_set_fill_rule(cr, CAIRO_FILL_RULE_EVEN_ODD);
        // Half a pixel lower, as for polygons.
        cairo_move_to(cr, c[0].x, c[0].y + 0.5);
        for (size_t k = 1; k + 2 < c.size(); k += 3)
            cairo_curve_to(cr, c[k].x, c[k].y + 0.5, c[k + 1].x, c[k + 1].y + 0.5, c[k + 2].x, c[k + 2].y + 0.5);
        cairo_close_path(cr);
        cairo.SetColor(kBlue);
        cairo_fill(cr);
        cairo.SetColor(kRed);
        cairo_set_line_width(cr, 1);
        cairo_move_to(cr, c[0].x + 0.5, c[0].y + 0.5);
        for (size_t k = 1; k + 2 < c.size(); k += 3)
            cairo_curve_to(cr, c[k].x + 0.5, c[k].y + 0.5, c[k + 1].x + 0.5, c[k + 1].y + 0.5, c[k + 2].x + 0.5,
                           c[k + 2].y + 0.5);
        cairo_close_path(cr);
        cairo_stroke(cr);
        EXPECT_TRUE(MatchesWithin(Snapshot(dc), cairo.Snapshot(), {1, 0}, "bezier-" + std::to_string(i)));
    }
    CDC dc(CDC::kMemory, 20, 20);
    const Point five[] = {{0, 0}, {5, 5}, {10, 0}, {15, 5}, {19, 19}};
    EXPECT_FALSE(dc.PolyBezier(five, 5));
    EXPECT_EQ(Snapshot(dc).Pixels(), Picture(20, 20).Pixels());
}

}  // namespace
