// Lines, rectangles and the trapezoid of the drawing context, on RGB565 memory contexts: clipped lines
// against a line stepper written out here, and the shapes against cairo.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "draw/dc.h"
#include "draw/internal/work_counters.h"
#include "draw/testing/cairo_compare.h"
#include "draw/testing/dc_fixture.h"
#include "draw/testing/printers.h"

namespace {

using varnelle::draw::testing::PixelAt;
using varnelle::draw::testing::Snapshot;
using varnelle::draw_testing::CairoCanvas;
using varnelle::draw_testing::MatchesWithin;
using varnelle::draw_testing::Picture;
using varnelle::draw_testing::Rgb565;

const auto* const kEnv =
    ::testing::AddGlobalTestEnvironment(new varnelle::draw::testing::LayerEnvironment(64, 48, kFormatRgb565));

constexpr uint32_t kRed = 0x0000FF;
constexpr uint32_t kGreen = 0x00FF00;
constexpr uint32_t kBlue = 0xFF0000;
constexpr uint32_t kWhite = 0xFFFFFF;

using PixelSet = std::set<std::pair<int, int>>;

// The pen's pixels as the line algorithm reads: copies of the segment shifted one pixel each (in y
// for lines at most 45 degrees from horizontal, else in x, away from the side the line runs to);
// each copy stepped from the end with the smaller major coordinate, the minor coordinate moving
// when the error term 2|dminor| - |dmajor|, grown as it goes, is not negative; dotted lines skip
// the pixels on even major coordinates after the first, on slanted copies only.
PixelSet PenPixels(int x1, int y1, int x2, int y2, int width, bool dotted) {
    PixelSet out;
    const int dx = x2 - x1, dy = y2 - y1;
    int ox = 0, oy = 0;
    if (std::abs(dx) >= std::abs(dy)) {
        oy = dx >= 0 ? -1 : 1;
    } else {
        ox = dy >= 0 ? 1 : -1;
    }
    for (int i = 0; i < width; ++i) {
        int ax = x1 + i * ox, ay = y1 + i * oy, bx = x2 + i * ox, by = y2 + i * oy;
        const bool yMajor = std::abs(bx - ax) <= std::abs(by - ay);
        int ma = yMajor ? ay : ax, mb = yMajor ? by : bx, na = yMajor ? ax : ay, nb = yMajor ? bx : by;
        if (ma > mb) {
            std::swap(ma, mb);
            std::swap(na, nb);
        }
        const int dMajor = mb - ma, dMinor = std::abs(nb - na);
        const int step = (bx - ax) * (by - ay) > 0 ? 1 : -1;
        const bool dots = dotted && ax != bx && ay != by;
        int e = 2 * dMinor - dMajor;
        int minor = na;
        for (int major = ma; major <= mb; ++major) {
            if (!dots || major == ma || (major & 1) != 0)
                out.insert(yMajor ? std::pair{minor, major} : std::pair{major, minor});
            if (e >= 0) {
                e += 2 * (dMinor - dMajor);
                minor += step;
            } else {
                e += 2 * dMinor;
            }
        }
    }
    return out;
}

TEST(DcLineTest, ShortLinesByHand) {
    CDC dc(CDC::kMemory, 16, 16);
    const uint16_t red = Rgb565(kRed);
    struct Case {
        const char* name;
        Point from, to;
        int width, style;
        PixelSet want;
    };
    const Case cases[] = {
        {"diagonal", {0, 0}, {5, 5}, 1, 0, {{0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}}},
        {"diagonal dotted", {0, 0}, {5, 5}, 1, 1, {{0, 0}, {1, 1}, {3, 3}, {5, 5}}},
        {"dotted from its far end", {5, 5}, {0, 0}, 1, 1, {{0, 0}, {1, 1}, {3, 3}, {5, 5}}},
        {"dotted shallow", {1, 12}, {7, 14}, 1, 1, {{1, 12}, {3, 13}, {5, 13}, {7, 14}}},
        // A dotted pen leaves level and upright lines solid.
        {"dotted level", {2, 7}, {8, 7}, 1, 1, {{2, 7}, {3, 7}, {4, 7}, {5, 7}, {6, 7}, {7, 7}, {8, 7}}},
        {"dotted upright", {3, 9}, {3, 4}, 1, 1, {{3, 4}, {3, 5}, {3, 6}, {3, 7}, {3, 8}, {3, 9}}},
        {"dotted thick level", {9, 2}, {12, 2}, 2, 1,
         {{9, 2}, {10, 2}, {11, 2}, {12, 2}, {9, 1}, {10, 1}, {11, 1}, {12, 1}}},
        {"three thick", {0, 10}, {3, 10}, 3, 0,
         {{0, 10}, {1, 10}, {2, 10}, {3, 10}, {0, 9}, {1, 9}, {2, 9}, {3, 9}, {0, 8}, {1, 8}, {2, 8}, {3, 8}}},
        {"leftwards thick goes down", {3, 2}, {0, 2}, 2, 0,
         {{0, 2}, {1, 2}, {2, 2}, {3, 2}, {0, 3}, {1, 3}, {2, 3}, {3, 3}}},
        {"steep thick goes right", {1, 0}, {1, 3}, 2, 0, {{1, 0}, {1, 1}, {1, 2}, {1, 3}, {2, 0}, {2, 1}, {2, 2}, {2, 3}}},
        {"point", {4, 4}, {4, 4}, 1, 0, {{4, 4}}},
        {"no pen", {0, 0}, {9, 9}, 0, 0, {}},
    };
    for (const Case& c : cases) {
        std::memset(dc.Bits(), 0, dc.Pitch() * 16);
        dc.SetPen(kRed, c.style, c.width);
        dc.MoveTo(c.from.x, c.from.y);
        ASSERT_TRUE(dc.LineTo(c.to.x, c.to.y));
        EXPECT_EQ(dc.GetCurrentPosition(), c.to) << c.name;
        PixelSet got;
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 16; ++x)
                if (PixelAt(dc, x, y) == red) got.insert({x, y});
        EXPECT_EQ(got, c.want) << c.name;
    }
}

TEST(DcLineTest, ShadesFloorByTheRgb565Channels) {
    CDC dc(CDC::kMemory, 4, 4);
    EXPECT_EQ(dc.ShadeColor(0x000000, -40, -40, -40), 0x080408u);
    EXPECT_EQ(dc.ShadeColor(0xFFFFFF, 40, 40, 40), 0xFFFFFFu);
    EXPECT_EQ(dc.ShadeColor(0x102030, -20, 0, -20), 0x08201Cu);
}

TEST(DcLineTest, WidePenWarnsAndDrawsEveryCopy) {
    CDC dc(CDC::kMemory, 40, 40);
    dc.SetPen(kRed, 0, 11);
    dc.MoveTo(5, 30);
    testing::internal::CaptureStdout();
    dc.LineTo(20, 30);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "CDC::_LineInRgn  warning m_PenWidth bigger than 10 11\n");
    for (int y = 20; y <= 30; ++y) EXPECT_EQ(PixelAt(dc, 12, y), Rgb565(kRed)) << y;
    EXPECT_EQ(PixelAt(dc, 12, 19), 0);
}

// Random lines through clips of several rectangles (overlapping, apart, off the surface) draw
// exactly the unclipped line's pixels that the clip holds: no kink where rectangles meet.
void CheckClippedLines(unsigned seed, int trials, int (*penOf)(int trial)) {
    constexpr int kW = 90, kH = 70;
    // Ends lie within 60 pixels of the surface, so copies past 400 never reach it.
    constexpr int kReach = 400;
    std::mt19937 rng(seed);
    auto coord = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    const uint16_t red = Rgb565(kRed);
    for (int trial = 0; trial < trials; ++trial) {
        CDC dc(CDC::kMemory, kW, kH);
        const int pen = penOf(trial);
        const bool dotted = (trial / 3) % 2 == 1;
        dc.SetPen(kRed, dotted ? 1 : 0, pen);
        CRegion clip;
        const int rects = 1 + coord(0, 5);
        for (int i = 0; i < rects; ++i) {
            const int l = coord(-20, kW), t = coord(-20, kH);
            const CRect r(l, t, l + coord(1, 60), t + coord(1, 50));
            clip.AddRect(&r);
        }
        dc.SetClipRgn(&clip);
        const int x1 = coord(-60, kW + 60), y1 = coord(-60, kH + 60);
        const int x2 = coord(-60, kW + 60), y2 = coord(-60, kH + 60);
        dc.MoveTo(x1, y1);
        testing::internal::CaptureStdout();  // the wide pen's warning
        dc.LineTo(x2, y2);
        testing::internal::GetCapturedStdout();
        const PixelSet want = PenPixels(x1, y1, x2, y2, std::min(pen, kReach), dotted);
        for (const auto& [x, y] : want) {
            if (x < 0 || y < 0 || x >= kW || y >= kH) continue;
            ASSERT_EQ(PixelAt(dc, x, y) == red, clip.ContainsPoint(x, y))
                << "trial " << trial << " line " << x1 << "," << y1 << " " << x2 << "," << y2 << " at " << x << ","
                << y;
        }
        int drawn = 0;
        for (int y = 0; y < kH; ++y)
            for (int x = 0; x < kW; ++x) drawn += PixelAt(dc, x, y) == red;
        int inside = 0;
        for (const auto& [x, y] : want) inside += x >= 0 && y >= 0 && x < kW && y < kH && clip.ContainsPoint(x, y);
        ASSERT_EQ(drawn, inside) << "trial " << trial;
    }
}

TEST(DcLineTest, ClippedLinesKeepTheUnclippedPixels) {
    CheckClippedLines(11, 400, [](int trial) { return 1 + trial % 3; });
}

// A pen as wide as an int draws the copies that reach the clip, and walks no others: its work is
// bounded by the clip's size, however long the line or the rounded corner.
TEST(DcLineTest, HugePenWalksOnlyTheCopiesThatReachTheClip) {
    CheckClippedLines(12, 10, [](int) { return INT_MAX; });

    constexpr int kW = 90, kH = 70;
    CDC dc(CDC::kMemory, kW, kH);
    dc.SetPen(kRed, 0, INT_MAX);
    dc.SetBrush(kGreen, 0);
    auto& counters = varnelle::draw_internal::Counters();
    const struct {
        const char* name;
        Point from, to;
    } lines[] = {{"level", {-1000000, 30}, {1000000, 30}},
                 {"steep", {40, -1000000}, {45, 1000000}},
                 {"diagonal", {-1000000, -1000000}, {1000000, 1000000}},
                 {"shallow backwards", {1000000, 20}, {-1000000, -300000}}};
    testing::internal::CaptureStdout();
    for (const auto& l : lines) {
        counters.lineCopies = 0;
        dc.MoveTo(l.from.x, l.from.y);
        dc.LineTo(l.to.x, l.to.y);
        // The copies that meet the one clip rectangle: its height (or width) and the line's spread
        // across it.
        EXPECT_LE(counters.lineCopies, uint64_t(kW + kH)) << l.name;
        EXPECT_GT(counters.lineCopies, 0u) << l.name;
    }
    // Ten border lines of a huge rounded rectangle, each its long corner diagonal.
    counters.lineCopies = 0;
    const CRect huge(-1000000, -1000000, 1000000, 1000000);
    dc.Rectangle(&huge, INT_MAX, INT_MAX);
    testing::internal::GetCapturedStdout();
    EXPECT_LE(counters.lineCopies, uint64_t(10 * (kW + kH)));
}

TEST(DcLineTest, LinesMatchCairo) {
    constexpr int kW = 120, kH = 90;
    std::mt19937 rng(5);
    auto coord = [&](int hi) { return std::uniform_int_distribution<int>(-20, hi + 20)(rng); };
    for (int trial = 0; trial < 60; ++trial) {
        CDC dc(CDC::kMemory, kW, kH);
        CairoCanvas cairo(kW, kH);
        dc.SetPen(kWhite, 0, 1);
        cairo.SetColor(kWhite);
        cairo_t* cr = cairo.Context();
        cairo_set_line_width(cr, 1);
        cairo_set_line_cap(cr, CAIRO_LINE_CAP_SQUARE);
        for (int i = 0; i < 4; ++i) {
            const int x1 = coord(kW), y1 = coord(kH), x2 = coord(kW), y2 = coord(kH);
            dc.MoveTo(x1, y1);
            dc.LineTo(x2, y2);
            cairo_move_to(cr, x1 + 0.5, y1 + 0.5);
            cairo_line_to(cr, x2 + 0.5, y2 + 0.5);
            cairo_stroke(cr);
        }
        ASSERT_TRUE(MatchesWithin(Snapshot(dc), cairo.Snapshot(), {1, 0}, "lines-" + std::to_string(trial)));
    }
}

void CairoPixels(CairoCanvas& c, int x, int y, int w, int h, uint32_t colour) {
    c.SetColor(colour);
    cairo_rectangle(c.Context(), x, y, w, h);
    cairo_fill(c.Context());
}

// Square rectangles equal cairo's pixel for pixel: the fill, then a border pen-width thick inside.
TEST(DcLineTest, SquareRectanglesEqualCairo) {
    constexpr int kW = 80, kH = 60;
    const struct {
        CRect r;
        int pen;
        int style;
    } cases[] = {
        {{5, 6, 40, 30}, 1, 0},        {{40, 30, 5, 6}, 1, 0},       {{10, 10, 70, 50}, 3, 0},
        {{-10, -5, 30, 20}, 2, 0},     {{60, 40, 100, 80}, 1, 0},    {{3, 3, 20, 20}, 1, kRectSunken},
        {{3, 3, 20, 20}, 2, kRectRaised}, {{3, 3, 20, 20}, 1, kRectNoFill}, {{3, 3, 20, 20}, 1, kRectNoBorder},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        CDC dc(CDC::kMemory, kW, kH);
        dc.SetPen(kRed, 0, c.pen);
        dc.SetBrush(kBlue, 0);
        dc.SetRectStyle(c.style);
        ASSERT_TRUE(dc.Rectangle(&c.r, 0, 0));
        CRect r = c.r;
        r.NormalizeRect();
        CairoCanvas cairo(kW, kH);
        if (!(c.style & kRectNoFill)) CairoPixels(cairo, r.left, r.top, r.Width(), r.Height(), kBlue);
        if (!(c.style & kRectNoBorder)) {
            // Darker and lighter red: red 215 and 255 with green and blue at their floors.
            uint32_t a = kRed, b = kRed;
            if (c.style & kRectSunken) a = 0x0804D7, b = 0x2828FF;
            if (c.style & kRectRaised) a = 0x2828FF, b = 0x0804D7;
            const int w = r.Width(), h = r.Height(), p = c.pen;
            // Top, bottom, right, left, each over what came before.
            CairoPixels(cairo, r.left, r.top, w, p, a);
            CairoPixels(cairo, r.left, r.bottom - p, w, p, b);
            CairoPixels(cairo, r.right - p, r.top, p, h, b);
            CairoPixels(cairo, r.left, r.top, p, h, a);
        }
        EXPECT_TRUE(MatchesWithin(Snapshot(dc), cairo.Snapshot(), {0, 0}, "rect-" + std::to_string(i)));
    }
}

// Rounded corners follow the quarter ellipse within a pixel (for radii where the corners' eight
// sides stay within a pixel of the arc).
TEST(DcLineTest, RoundedRectanglesMatchCairo) {
    constexpr int kW = 140, kH = 110;
    const struct {
        CRect r;
        int rx, ry;
    } cases[] = {{{10, 10, 120, 90}, 20, 20}, {{10, 10, 120, 90}, 30, 12}, {{20, 20, 60, 100}, 40, 40},
                 {{5, 5, 130, 100}, 8, 30},  {{30, 30, 50, 40}, 3, 3}};
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        CDC dc(CDC::kMemory, kW, kH);
        dc.SetPen(kRed, 0, 1);
        dc.SetBrush(kGreen, 0);
        ASSERT_TRUE(dc.Rectangle(&c.r, c.rx, c.ry));
        const double rx = std::min(c.rx, c.r.Width() / 2), ry = std::min(c.ry, c.r.Height() / 2);
        CairoCanvas cairo(kW, kH);
        cairo_t* cr = cairo.Context();
        // The border runs through the centres of the outermost pixels.
        const double l = c.r.left + 0.5, t = c.r.top + 0.5, r = c.r.right - 0.5, b = c.r.bottom - 0.5;
        auto corner = [&](double cx, double cy, double from) {
            cairo_save(cr);
            cairo_translate(cr, cx, cy);
            cairo_scale(cr, rx, ry);
            cairo_arc(cr, 0, 0, 1, from, from + M_PI / 2);
            cairo_restore(cr);
        };
        cairo_new_path(cr);
        corner(r - rx, t + ry, -M_PI / 2);
        corner(r - rx, b - ry, 0);
        corner(l + rx, b - ry, M_PI / 2);
        corner(l + rx, t + ry, M_PI);
        cairo_close_path(cr);
        cairo.SetColor(kGreen);
        cairo_fill_preserve(cr);
        cairo.SetColor(kRed);
        cairo_set_line_width(cr, 1);
        cairo_stroke(cr);
        EXPECT_TRUE(MatchesWithin(Snapshot(dc), cairo.Snapshot(), {1, 0}, "round-" + std::to_string(i)));
    }
}

TEST(DcLineTest, TrapezoidsMatchCairo) {
    constexpr int kW = 100, kH = 80;
    const struct {
        int x1, y1, dx1, x2, y2, dx2;
    } cases[] = {{10, 5, -8, 50, 60, 20}, {40, 0, -30, 45, 70, 30}, {-20, -10, 0, 120, 100, 0}, {30, 10, 5, 30, 70, 25}};
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        CDC dc(CDC::kMemory, kW, kH);
        dc.SetBrush(kGreen, 0);
        ASSERT_TRUE(dc.FillTrapezoid(c.x1, c.y1, c.dx1, c.x2, c.y2, c.dx2));
        // Rows y1 to y2 inclusive, from the left edge's pixel to the right edge's pixel inclusive.
        CairoCanvas cairo(kW, kH);
        cairo_t* cr = cairo.Context();
        cairo_move_to(cr, c.x1, c.y1);
        cairo_line_to(cr, c.x2 + 1, c.y1);
        cairo_line_to(cr, c.x2 + c.dx2 + 1, c.y2 + 1);
        cairo_line_to(cr, c.x1 + c.dx1, c.y2 + 1);
        cairo_close_path(cr);
        cairo.SetColor(kGreen);
        cairo_fill(cr);
        EXPECT_TRUE(MatchesWithin(Snapshot(dc), cairo.Snapshot(), {1, 0}, "trapezoid-" + std::to_string(i)));
    }
    CDC dc(CDC::kMemory, kW, kH);
    EXPECT_FALSE(dc.FillTrapezoid(0, 10, 0, 10, 10, 0));
    EXPECT_FALSE(dc.FillTrapezoid(0, 10, 0, 10, 9, 0));
    EXPECT_FALSE(dc.FillTrapezoid(0, -10, 0, 10, -1, 0));  // off the clip
}

TEST(DcLineTest, DrawRgnOutlinesEachRectangle) {
    CDC dc(CDC::kMemory, 40, 30);
    dc.SetPen(kRed, 0, 1);
    dc.SetBrush(kGreen, 0);
    CRegion rgn;
    const CRect a(2, 2, 10, 10), b(20, 5, 30, 25);
    rgn.AddRect(&a);
    rgn.AddRect(&b);
    ASSERT_TRUE(dc.DrawRgn(&rgn));
    EXPECT_EQ(PixelAt(dc, 2, 2), Rgb565(kRed));
    EXPECT_EQ(PixelAt(dc, 5, 5), Rgb565(kGreen));
    EXPECT_EQ(PixelAt(dc, 29, 24), Rgb565(kRed));
    EXPECT_EQ(PixelAt(dc, 25, 15), Rgb565(kGreen));
    EXPECT_EQ(PixelAt(dc, 15, 15), 0);
}

}  // namespace
