// The drawing context's state, coordinates, clip and small pixel operations, on memory contexts. This
// program has no graphics layer (as the program itself), so contexts take format 0 (ARGB1555) and a
// screen context finds no memory.
#include "draw/dc.h"

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <tuple>
#include <cstring>
#include <thread>
#include <vector>

#include "base/font/font_manager.h"
#include "draw/graphics_manager.h"
#include "draw/testing/printers.h"

namespace {

constexpr uint32_t kWhite = 0xFFFFFF;
constexpr uint32_t kRed = 0x0000FF;
// ARGB1555 pixels written out by hand.
constexpr uint16_t kWhite1555 = 0x7FFF;
constexpr uint16_t kRed1555 = 0x7C00;

uint16_t At(const CDC& dc, int x, int y) {
    uint16_t p;
    std::memcpy(&p, dc.Bits() + size_t(y) * dc.Pitch() + size_t(x) * 2, 2);
    return p;
}

void Put(CDC& dc, int x, int y, uint16_t v) {
    std::memcpy(dc.Bits() + size_t(y) * dc.Pitch() + size_t(x) * 2, &v, 2);
}

CRect ClipBounds(CDC& dc) {
    CRegion clip;
    EXPECT_TRUE(dc.GetClipRgn(&clip));
    CRect b;
    clip.GetBounds(&b);
    return b;
}

int CountPixels(const CDC& dc, uint16_t v) {
    int n = 0;
    for (int y = 0; y < dc.Height(); ++y)
        for (int x = 0; x < dc.Width(); ++x) n += At(dc, x, y) == v;
    return n;
}

TEST(DcTest, MemoryContextStartsEnabledWithItsSizeAsWindowAndClip) {
    CDC dc(CDC::kMemory, 40, 30);
    EXPECT_TRUE(dc.IsEnabled());
    EXPECT_EQ(dc.Format(), kFormatArgb1555);
    EXPECT_EQ(dc.Pitch(), 80u);
    EXPECT_EQ(dc.Window(), CRect(0, 0, 40, 30));
    EXPECT_EQ(ClipBounds(dc), CRect(0, 0, 40, 30));
    EXPECT_EQ(CountPixels(dc, 0), 40 * 30);
    EXPECT_EQ(dc.GetBkMode(), 1);
    EXPECT_TRUE(dc.SetPixel(39, 29, kRed));
    EXPECT_FALSE(dc.SetPixel(40, 0, kRed));
    EXPECT_FALSE(dc.SetPixel(0, -1, kRed));
    EXPECT_EQ(dc.GetPixel(39, 29), kRed1555);
    EXPECT_EQ(CountPixels(dc, kRed1555), 1);
}

TEST(DcTest, ContextsWithoutMemoryDrawNothing) {
    for (const auto& [kind, w, h] : {std::tuple{2, 0, 10}, std::tuple{2, 10, -1}, std::tuple{0, 100, 100},
                                     std::tuple{1, 100, 100}, std::tuple{7, 100, 100}}) {
        CDC dc(kind, w, h);
        dc.Enable(true);
        EXPECT_EQ(dc.Bits(), nullptr) << kind;
        const CRect r(0, 0, 5, 5);
        EXPECT_FALSE(dc.SetPixel(0, 0, kRed)) << kind;
        EXPECT_EQ(dc.GetPixel(0, 0), 0) << kind;
        EXPECT_FALSE(dc.SetClipRect(&r) && dc.IsEnabled() && dc.Rectangle(&r, 0, 0)) << kind;
        if (kind != CDC::kMemory) {
            EXPECT_FALSE(dc.IsEnabled()) << "screen kind " << kind;
        }
    }
}

TEST(DcTest, CoordinatesMoveByTheWindowOrigin) {
    CDC dc(CDC::kMemory, 40, 30);
    const CRect window(100, 50, 300, 250);
    ASSERT_TRUE(dc.SetClipRect(&window));
    Point p(10, 10);
    dc.LPtoDP(&p);
    EXPECT_EQ(p, Point(110, 60));
    dc.DPtoLP(&p);
    EXPECT_EQ(p, Point(10, 10));
    CRect r(1, 2, 3, 4);
    dc.LPtoDP(&r);
    EXPECT_EQ(r, CRect(101, 52, 103, 54));
    dc.DPtoLP(&r);
    EXPECT_EQ(r, CRect(1, 2, 3, 4));
    dc.MoveTo(-100, -50);
    EXPECT_EQ(dc.GetCurrentPosition(), Point(0, 0));

    // At the ends of the range the sums wrap, and come back.
    const CRect far(INT32_MAX, INT32_MIN, INT32_MAX, INT32_MIN);
    ASSERT_TRUE(dc.SetClipRect(&far));
    Point q(10, -10);
    dc.LPtoDP(&q);
    EXPECT_EQ(q, Point(INT32_MIN + 9, INT32_MAX - 9));
    dc.DPtoLP(&q);
    EXPECT_EQ(q, Point(10, -10));
}

TEST(DcTest, ShadeColorCapsAndFloorsChannels) {
    CDC dc(CDC::kMemory, 4, 4);
    const struct {
        uint32_t colour;
        int d;
        uint32_t want;
    } cases[] = {
        {0x000000, -40, 0x080808},  // format 0 floors every channel at 8
        {0xFFFFFF, 40, 0xFFFFFF},
        {0xFFFFFF, -40, 0xD7D7D7},
        {0x01F005, 20, 0x15FF19},
        {0x1FFFFFF, 0, 0xFFFFFF},   // the transparency flag goes
        {0xFFFFFF, INT_MAX, 0xFFFFFF},
        {0x000000, INT_MIN, 0x080808},
        {0x7F7F7F, INT_MIN, 0x080808},
    };
    for (const auto& c : cases) EXPECT_EQ(dc.ShadeColor(c.colour, c.d, c.d, c.d), c.want) << std::hex << c.colour;
}

TEST(DcTest, RectangleStylesUseThePenShades) {
    CDC dc(CDC::kMemory, 20, 20);
    // Darker white is (215, 215, 215): 26 in each 5-bit channel.
    EXPECT_EQ(dc.SetPen(kWhite, 0, 1), 0x6B5Au);
    dc.SetBrush(kRed, 0);
    const CRect r(2, 2, 12, 10);
    const struct {
        int style;
        uint16_t topLeft, bottomRight, inside;
    } cases[] = {
        {kRectSunken, 0x6B5A, kWhite1555, kRed1555},
        {kRectRaised, kWhite1555, 0x6B5A, kRed1555},
        {0, kWhite1555, kWhite1555, kRed1555},
        {kRectNoFill, kWhite1555, kWhite1555, 0},
        {kRectNoBorder, kRed1555, kRed1555, kRed1555},
    };
    for (const auto& c : cases) {
        std::memset(dc.Bits(), 0, dc.Pitch() * 20);
        dc.SetRectStyle(c.style);
        ASSERT_TRUE(dc.Rectangle(&r, 0, 0));
        EXPECT_EQ(At(dc, 5, 2), c.topLeft) << c.style;     // top side
        EXPECT_EQ(At(dc, 2, 5), c.topLeft) << c.style;     // left side
        EXPECT_EQ(At(dc, 5, 9), c.bottomRight) << c.style; // bottom side
        EXPECT_EQ(At(dc, 11, 5), c.bottomRight) << c.style;
        EXPECT_EQ(At(dc, 5, 5), c.inside) << c.style;
        EXPECT_EQ(At(dc, 12, 5), 0) << c.style;
        EXPECT_EQ(At(dc, 5, 10), 0) << c.style;
    }
}

// Every way of setting or growing the clip keeps it on the surface; a full-surface fill then writes
// exactly the surface (an overrun shows under AddressSanitizer).
TEST(DcTest, ClipNeverLeavesTheSurface) {
    const CRect outside(-50, -50, 100, 100);
    CRegion far;
    far.AddRect(&outside);
    const CRect corner(30, 20, 60, 60);
    far.AddRect(&corner);
    const std::function<void(CDC&)> grow[] = {
        [&](CDC& dc) { dc.UnionClipRect(&outside); },
        [&](CDC& dc) { dc.UnionClipRgn(&far); },
        [&](CDC& dc) { dc.SetClipRgn(&far); },
        [&](CDC& dc) {
            CRegion r;
            r.Assign(&far);
            dc.SwapClipRgn(&r);
        },
        [&](CDC& dc) { dc.SetClipRect(&outside); },
    };
    for (size_t i = 0; i < std::size(grow); ++i) {
        CDC dc(CDC::kMemory, 40, 30);
        const CRect small(0, 0, 1, 1);
        dc.SetClipRect(&small);
        grow[i](dc);
        EXPECT_TRUE(RectInRect(ClipBounds(dc), CRect(0, 0, 40, 30))) << i;
        dc.SetRectStyle(kRectNoBorder);
        dc.SetBrush(kRed, 0);
        const CRect all(-100, -100, 200, 200);
        dc.IntersectClipRect(&all);
        // Logical coordinates may sit anywhere: the fill is cut by the clip alone.
        dc.Rectangle(&all, 0, 0);
        EXPECT_LE(CountPixels(dc, kRed1555), 40 * 30) << i;
        EXPECT_GT(CountPixels(dc, kRed1555), 1) << i;
    }
}

TEST(DcTest, WindowOffTheSurfaceEmptiesTheClip) {
    CDC dc(CDC::kMemory, 40, 30);
    const CRect off(50, 0, 90, 30);
    ASSERT_TRUE(dc.SetClipRect(&off));
    EXPECT_TRUE(ClipBounds(dc).IsRectNull());
    EXPECT_FALSE(dc.SetPixel(0, 0, kRed));
    ASSERT_TRUE(dc.SetClipRect(nullptr));
    EXPECT_TRUE(ClipBounds(dc).IsRectNull());
    EXPECT_TRUE(dc.Window().IsRectNull());
    const CRect r(0, 0, 10, 10);
    dc.SetBrush(kRed, 0);
    dc.Rectangle(&r, 0, 0);
    EXPECT_EQ(CountPixels(dc, kRed1555), 0);
}

TEST(DcTest, ClipOperationsCombineRegions) {
    CDC dc(CDC::kMemory, 40, 30);
    const CRect a(0, 0, 10, 10), b(5, 5, 20, 20), hole(2, 2, 4, 4);
    ASSERT_TRUE(dc.IntersectClipRect(&a));
    EXPECT_EQ(ClipBounds(dc), a);
    ASSERT_TRUE(dc.UnionClipRect(&b));
    EXPECT_EQ(ClipBounds(dc), CRect(0, 0, 20, 20));
    ASSERT_TRUE(dc.SubtractClipRect(&hole));
    EXPECT_FALSE(dc.SetPixel(3, 3, kRed));
    EXPECT_TRUE(dc.SetPixel(1, 1, kRed));
    EXPECT_TRUE(dc.SetPixel(19, 19, kRed));
    CRegion r;
    r.SetRect(&b);
    ASSERT_TRUE(dc.SubtractClipRgn(&r));
    EXPECT_FALSE(dc.SetPixel(19, 19, kRed));
    ASSERT_TRUE(dc.IntersectClipRgn(&r));
    EXPECT_TRUE(ClipBounds(dc).IsRectNull());
}

TEST(DcTest, GetPixelReadsInsideWindowAndSurfaceOnly) {
    CDC dc(CDC::kMemory, 40, 30);
    Put(dc, 39, 29, 0x1234);
    Put(dc, 0, 0, 0x4321);
    const CRect window(-10, -10, 100, 100);
    dc.SetClipRect(&window);
    EXPECT_EQ(dc.GetPixel(39, 29), 0x1234);
    EXPECT_EQ(dc.GetPixel(0, 0), 0x4321);
    for (const Point& p : {Point(40, 0), Point(0, 30), Point(-1, 0), Point(99, 99), Point(INT32_MAX, 0)})
        EXPECT_EQ(dc.GetPixel(p.x, p.y), 0) << p.x << "," << p.y;
    const CRect inner(1, 1, 39, 29);
    dc.SetClipRect(&inner);
    EXPECT_EQ(dc.GetPixel(0, 0), 0);
}

TEST(DcTest, GetMaskAndSaveAreaRefuseRectanglesOffTheSurface) {
    CDC dc(CDC::kMemory, 40, 30);
    const CRect bad[] = {{-1, 0, 7, 1}, {0, -1, 8, 1}, {33, 0, 41, 1}, {0, 25, 8, 31}, {8, 0, 0, 1}, {0, 2, 8, 1}};
    for (const CRect& r : bad) {
        std::vector<uint8_t> buffer(64);
        int size = 64;
        EXPECT_FALSE(dc.GetMask(&r, buffer.data(), &size)) << r.left << "," << r.top;
        DCImage* image = nullptr;
        EXPECT_FALSE(dc.SaveArea(&r, &image));
        EXPECT_EQ(image, nullptr);
    }
}

TEST(DcTest, GetMaskWritesWholeBytesOnly) {
    CDC dc(CDC::kMemory, 40, 30);
    // Row 3: pixels 10, 17 and 21 set; row 4: pixel 11.
    Put(dc, 10, 3, 1);
    Put(dc, 17, 3, 0x8000);
    Put(dc, 21, 3, 5);
    Put(dc, 11, 4, 7);
    const CRect r(10, 3, 22, 5);  // 12 wide: one whole byte per row, columns 18 to 21 left out
    std::vector<uint8_t> small(1);
    int size = 1;
    EXPECT_FALSE(dc.GetMask(&r, small.data(), &size));
    std::vector<uint8_t> mask(2, 0xAA);
    size = 2;
    ASSERT_TRUE(dc.GetMask(&r, mask.data(), &size));
    EXPECT_EQ(size, 2);
    EXPECT_EQ(mask, (std::vector<uint8_t>{0x81, 0x40}));

    const CRect wide(0, 0, 16, 2);
    std::vector<uint8_t> four(4);
    size = 3;
    EXPECT_FALSE(dc.GetMask(&wide, four.data(), &size));
    size = 4;
    EXPECT_TRUE(dc.GetMask(&wide, four.data(), &size));
}

TEST(DcTest, SaveAreaKeepsPixelsWithoutAlphaAndMarksTheKey) {
    CDC dc(CDC::kMemory, 40, 30);
    // The layer-less manager's key is 0: black pixels are the key.
    ASSERT_EQ(IGraphicsManager::instance()->GetColorKey(), 0u);
    Put(dc, 5, 6, 0x8421);
    Put(dc, 6, 6, 0x1234);
    Put(dc, 7, 7, 0xFFFF);
    const CRect r(5, 6, 8, 8);
    DCImage* image = nullptr;
    ASSERT_TRUE(dc.SaveArea(&r, &image));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->width, 3);
    EXPECT_EQ(image->height, 2);
    EXPECT_EQ(image->pitch, 6u);
    EXPECT_EQ(image->format, kFormatArgb1555);
    EXPECT_EQ(image->x1 | image->y1 | image->x2 | image->y2 | image->reserved0, 0);
    std::vector<uint16_t> got(6);
    std::memcpy(got.data(), image->pixels, 12);
    EXPECT_EQ(got, (std::vector<uint16_t>{0x0421, 0x1234, 0x7FFF, 0x7FFF, 0x7FFF, 0x7FFF}));
    DeleteDCImage(image);
}

// A disabled context, and an enabled one whose clip is empty, draw nothing and say so.
TEST(DcTest, DisabledContextOrEmptyClipDrawsNothing) {
    const CRect r(0, 0, 40, 30);
    const Point pts[] = {{0, 0}, {30, 0}, {0, 20}, {30, 20}};
    CRegion rgn;
    rgn.AddRect(&r);
    uint16_t pixels[4] = {1, 2, 3, 4};
    DCImage image{};
    image.width = image.height = 2;
    image.pitch = 4;
    image.pixels = reinterpret_cast<uint8_t*>(pixels);
    const std::pair<const char*, std::function<bool(CDC&)>> draws[] = {
        {"SetPixel", [](CDC& dc) { return dc.SetPixel(1, 1, kRed); }},
        {"LineTo", [](CDC& dc) { return dc.LineTo(30, 20); }},
        {"Rectangle", [&](CDC& dc) { return dc.Rectangle(&r, 0, 0); }},
        {"Ellipse", [&](CDC& dc) { return dc.Ellipse(&r); }},
        {"Polygon", [&](CDC& dc) { return dc.Polygon(pts, 3); }},
        {"PolyBezier", [&](CDC& dc) { return dc.PolyBezier(pts, 4); }},
        {"FillTrapezoid", [](CDC& dc) { return dc.FillTrapezoid(0, 0, 1, 10, 10, 1); }},
        {"Pie", [&](CDC& dc) { return dc.Pie(&r, 0, 0, 40, 0); }},
        {"Chord", [&](CDC& dc) { return dc.Chord(&r, 0, 0, 40, 0); }},
        {"ChordCeil", [&](CDC& dc) { return dc.ChordCeil(&r, 0, 0, 40, 0); }},
        {"DrawText", [&](CDC& dc) { return dc.DrawText(&r, "A", 1); }},
        {"DrawRgn", [&](CDC& dc) { return dc.DrawRgn(&rgn); }},
        {"DrawStretchBitmap", [&](CDC& dc) { return dc.DrawStretchBitmap(&r, &image); }},
    };
    for (const bool disabled : {true, false}) {
        CDC dc(CDC::kMemory, 40, 30);
        dc.SetBrush(kRed, 0);
        dc.SetPen(kRed, 0, 1);
        if (disabled) {
            dc.Enable(false);
            EXPECT_FALSE(dc.IsEnabled());
        } else {
            ASSERT_TRUE(dc.SetClipRect(nullptr));
        }
        for (const auto& [name, draw] : draws)
            EXPECT_FALSE(draw(dc)) << name << (disabled ? " disabled" : " empty clip");
        EXPECT_EQ(CountPixels(dc, 0), 40 * 30);
        if (!disabled) {
            EXPECT_EQ(dc.GetCurrentPosition(), Point(30, 20)) << "the position moves on";
            continue;
        }
        EXPECT_FALSE(dc.IntersectClipRect(&r));
        EXPECT_FALSE(dc.SetClipRect(nullptr));
        dc.Enable(true);
        EXPECT_EQ(ClipBounds(dc), r);
    }
}

// Pen widths below zero draw no pen, as width 0 does, at the far end of the range too; fills stay.
TEST(DcTest, NegativePenWidthsDrawLikeNoPen) {
    const CRect r(4, 3, 30, 20);
    const Point pts[] = {{2, 2}, {28, 5}, {15, 22}, {2, 2}};
    const std::pair<const char*, std::function<bool(CDC&)>> draws[] = {
        {"Rectangle", [&](CDC& dc) { return dc.Rectangle(&r, 0, 0); }},
        {"rounded Rectangle", [&](CDC& dc) { return dc.Rectangle(&r, 6, 5); }},
        {"Pie", [&](CDC& dc) { return dc.Pie(&r, 30, 3, 4, 20); }},
        {"Chord", [&](CDC& dc) { return dc.Chord(&r, 30, 3, 4, 20); }},
        {"ChordCeil", [&](CDC& dc) { return dc.ChordCeil(&r, 30, 3, 4, 20); }},
        {"Ellipse", [&](CDC& dc) { return dc.Ellipse(&r); }},
        {"Polygon", [&](CDC& dc) { return dc.Polygon(pts, 3); }},
        {"PolyBezier", [&](CDC& dc) { return dc.PolyBezier(pts, 4); }},
        {"LineTo", [](CDC& dc) { return dc.LineTo(30, 20); }},
    };
    for (const auto& [name, draw] : draws) {
        CDC none(CDC::kMemory, 32, 24);
        none.SetBrush(kRed, 0);
        none.SetPen(kWhite, 0, 0);
        const bool drawn = draw(none);
        const std::vector<uint8_t> want(none.Bits(), none.Bits() + none.Pitch() * 24);
        for (const int width : {-1, INT_MIN + 1, INT_MIN}) {
            CDC dc(CDC::kMemory, 32, 24);
            dc.SetBrush(kRed, 0);
            dc.SetPen(kWhite, 0, width);
            EXPECT_EQ(draw(dc), drawn) << name << " " << width;
            EXPECT_EQ(std::vector<uint8_t>(dc.Bits(), dc.Bits() + dc.Pitch() * 24), want)
                << name << " " << width;
        }
    }
}

TEST(DcTest, DefaultFontSizesWriteThrough) {
    FontSize small, normal;
    ASSERT_TRUE(GetDefaultFontSize(1, &small));
    ASSERT_TRUE(GetDefaultFontSize(0, &normal));
    const Size twenty(20, 20), thirty(30, 31);
    EXPECT_TRUE(SetDefaultFontSize(2, &twenty));
    EXPECT_TRUE(SetDefaultFontSize(1, &thirty));
    FontSize got;
    GetDefaultFontSize(1, &got);
    EXPECT_EQ(got.width, 20);
    GetDefaultFontSize(0, &got);
    EXPECT_EQ(got.height, 30);
    const Size zero(0, 0);
    EXPECT_FALSE(SetDefaultFontSize(0, &zero));
    EXPECT_FALSE(SetDefaultFontSize(0, nullptr));
    const Size restoreSmall(small.width, small.width), restoreNormal(normal.width, normal.width);
    EXPECT_TRUE(SetDefaultFontSize(2, &restoreSmall));
    EXPECT_TRUE(SetDefaultFontSize(0, &restoreNormal));
}

TEST(DcTest, LockIsRecursiveAndSharedBetweenThreads) {
    CDC dc(CDC::kMemory, 40, 30);
    dc.Lock();
    dc.Lock();
    dc.SetPixel(0, 0, kRed);
    dc.Unlock();
    dc.Unlock();
    std::thread other([&] {
        for (int i = 0; i < 100; ++i) {
            dc.Lock();
            dc.SetPixel(1, 0, kWhite);
            dc.Unlock();
        }
    });
    for (int i = 0; i < 100; ++i) {
        dc.Lock();
        dc.SetPixel(2, 0, kWhite);
        dc.Unlock();
    }
    other.join();
    EXPECT_EQ(At(dc, 1, 0), kWhite1555);
    EXPECT_EQ(At(dc, 2, 0), kWhite1555);
}

TEST(DcTest, RopAndFactory) {
    IDC* dc = CreateDC(CDC::kMemory, 8, 8);
    ASSERT_NE(dc, nullptr);
    EXPECT_FALSE(dc->SetRop(4));
    EXPECT_FALSE(dc->SetRop(-1));
    EXPECT_TRUE(dc->SetRop(3));  // XOR
    dc->SetPixel(1, 1, kWhite);
    dc->SetPixel(1, 1, kRed);
    EXPECT_EQ(dc->GetPixel(1, 1), kWhite1555 ^ kRed1555);
    delete dc;
}

}  // namespace
