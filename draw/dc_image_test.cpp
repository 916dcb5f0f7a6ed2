// Image output of the drawing context: plain copies, the colour key and the key colour, stretched
// (nine-patch) images at several sizes and windows, and saved areas drawn back.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "draw/dc.h"
#include "draw/testing/cairo_compare.h"
#include "draw/testing/dc_fixture.h"
#include "draw/testing/printers.h"

namespace {

using varnelle::draw::testing::PixelAt;
using varnelle::draw::testing::Snapshot;
using varnelle::draw_testing::MatchesWithin;
using varnelle::draw_testing::Picture;

const auto* const kEnv =
    ::testing::AddGlobalTestEnvironment(new varnelle::draw::testing::LayerEnvironment(64, 48, kFormatRgb565));

constexpr uint16_t kMagenta565 = 0xF81F;
constexpr uint16_t kGreen565 = 0x07E0;

// A 16-bit picture in rows padded to 4 bytes (or a given pitch); pixel (x, y) is 0x1000 + 64·y + x
// unless set otherwise, never 0 nor magenta.
struct Image {
    int w, h;
    uint32_t pitch;
    std::vector<uint8_t> bytes;
    Image(int width, int height, uint32_t rowBytes = 0)
        : w(width), h(height), pitch(rowBytes != 0 ? rowBytes : PaddedPitch(width)), bytes(size_t(pitch) * height) {
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) Set(x, y, Source(x, y));
    }
    static uint16_t Source(int x, int y) { return uint16_t(0x1000 + 64 * y + x); }
    void Set(int x, int y, uint16_t v) { std::memcpy(&bytes[size_t(y) * pitch + size_t(x) * 2], &v, 2); }
    BitmapInfo Info() const { return {kFormatRgb565, bytes.data(), h, w}; }
};

TEST(DcImageTest, DrawBitmapCopiesFromTheSourcePoint) {
    const Image img(5, 4);  // odd width: rows of 12 bytes
    CDC dc(CDC::kMemory, 32, 24);
    const BitmapInfo info = img.Info();
    const CRect r(10, 6, 30, 20);
    ASSERT_TRUE(dc.DrawBitmap(&r, &info, 2, 1));
    Picture want(32, 24);
    for (int y = 1; y < 4; ++y)
        for (int x = 2; x < 5; ++x) want.Set(10 + x - 2, 6 + y - 1, Image::Source(x, y));
    EXPECT_TRUE(MatchesWithin(Snapshot(dc), want, {0, 0}, "bitmap"));

    // Another format is refused; a source point outside the picture draws nothing but is accepted.
    BitmapInfo other = info;
    other.format = kFormatArgb1555;
    EXPECT_FALSE(dc.DrawBitmap(&r, &other, 0, 0));
    CDC blank(CDC::kMemory, 32, 24);
    for (const Point& p : {Point(5, 0), Point(0, 4), Point(-1, 0)}) EXPECT_TRUE(blank.DrawBitmap(&r, &info, p.x, p.y));
    EXPECT_FALSE(blank.DrawBitmap(nullptr, &info, 0, 0));
    EXPECT_FALSE(blank.DrawBitmap(&r, nullptr, 0, 0));
    EXPECT_EQ(Snapshot(blank).Pixels(), Picture(32, 24).Pixels());
}

TEST(DcImageTest, DrawBitmapFollowsWindowAndClip) {
    const Image img(8, 8);
    CDC dc(CDC::kMemory, 32, 24);
    const CRect window(4, 2, 14, 9);
    dc.SetClipRect(&window);
    const CRect r(-2, -1, 20, 20);  // device {2, 1, ...}: cut by the window on every side
    const BitmapInfo info = img.Info();
    ASSERT_TRUE(dc.DrawBitmap(&r, &info, 0, 0));
    Picture want(32, 24);
    for (int y = 2; y < 9; ++y)
        for (int x = 4; x < 10; ++x) want.Set(x, y, Image::Source(x - 2, y - 1));
    EXPECT_TRUE(MatchesWithin(Snapshot(dc), want, {0, 0}, "bitmap-window"));
}

// Black source pixels show as the layer's colour key; magenta ones are skipped in transparent mode
// and drawn in opaque mode. The caller's picture is not written: it may lie in read-only memory.
TEST(DcImageTest, KeyColoursAndAReadOnlySource) {
    CGraphicsManager::instance()->SetColorKey(0x00FF00, 0);
    const long page = sysconf(_SC_PAGESIZE);
    void* mem = mmap(nullptr, size_t(page), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mem, MAP_FAILED);
    auto* px = static_cast<uint16_t*>(mem);
    // 4 x 2: black, magenta, 0x1234, black / 0x4321 black magenta 0x0001.
    const uint16_t pixels[] = {0, kMagenta565, 0x1234, 0, 0x4321, 0, kMagenta565, 0x0001};
    std::memcpy(px, pixels, sizeof pixels);
    ASSERT_EQ(mprotect(mem, size_t(page), PROT_READ), 0);

    for (int mode : {1, 0}) {
        CDC dc(CDC::kMemory, 8, 4);
        dc.SetBkMode(mode);
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 8; ++x) dc.SetPixel(x, y, 0xFFFFFF);
        const BitmapInfo info{kFormatRgb565, static_cast<const uint8_t*>(mem), 2, 4};
        const CRect r(1, 1, 5, 3);
        ASSERT_TRUE(dc.DrawBitmap(&r, &info, 0, 0));
        const uint16_t skipped = mode == 1 ? 0xFFFF : kMagenta565;
        const uint16_t row1[] = {kGreen565, skipped, 0x1234, kGreen565};
        const uint16_t row2[] = {0x4321, kGreen565, skipped, 0x0001};
        for (int x = 0; x < 4; ++x) {
            EXPECT_EQ(PixelAt(dc, 1 + x, 1), row1[x]) << "mode " << mode << " x " << x;
            EXPECT_EQ(PixelAt(dc, 1 + x, 2), row2[x]) << "mode " << mode << " x " << x;
        }

        DCImage stretch{};
        stretch.width = 4;
        stretch.height = 2;
        stretch.format = kFormatRgb565;
        stretch.pitch = 8;
        stretch.pixels = static_cast<uint8_t*>(mem);
        const CRect wide(0, 0, 8, 2);
        ASSERT_TRUE(dc.DrawStretchBitmap(&wide, &stretch));
    }
    EXPECT_EQ(std::memcmp(px, pixels, sizeof pixels), 0);
    munmap(mem, size_t(page));
    CGraphicsManager::instance()->SetColorKey(0, 0);
}

// The stretched picture's pieces as listed for it: corners at their size, edges and middle tiled,
// later pieces over earlier ones, three pieces left out at the exact sizes; nothing outside d.
Picture NinePatch(int sw, int sh, const CRect& d, const Image& img, int x1, int y1, int x2, int y2,
                  const CRect& window) {
    Picture pic(sw, sh);
    const int W = img.w, H = img.h, m = x2 - x1, mh = y2 - y1;
    auto piece = [&](int l, int t, int r, int b, int sx, int sy) {
        for (int y = t; y < b; ++y)
            for (int x = l; x < r; ++x)
                if (window.PtInRect(x, y) && d.PtInRect(x, y) && x >= 0 && y >= 0 && x < sw && y < sh)
                    pic.Set(x, y, Image::Source(sx + x - l, sy + y - t));
    };
    const int rightX = d.right - (W - x2), bottomY = d.bottom - (H - y2);
    const bool exactW = d.Width() == m, exactH = d.Height() == mh;
    auto row = [&](int t, int b, int sy, bool right) {
        piece(d.left, t, d.left + x1, b, 0, sy);
        if (m > 0)
            for (int x = d.left + x1; x < rightX; x += m) piece(x, t, std::min(x + m, rightX), b, x1, sy);
        if (right) piece(rightX, t, d.right, b, x2, sy);
    };
    row(d.top, d.top + y1, 0, true);
    if (mh > 0)
        for (int y = d.top + y1; y < bottomY; y += mh) row(y, std::min(y + mh, bottomY), y1, !exactW);
    if (!(exactW && exactH)) piece(d.left, bottomY, d.left + x1, d.bottom, 0, y2);
    if (!exactH && m > 0)
        for (int x = d.left + x1; x < rightX; x += m) piece(x, bottomY, std::min(x + m, rightX), d.bottom, x1, y2);
    if (!(exactW && exactH)) piece(rightX, bottomY, d.right, d.bottom, x2, y2);
    return pic;
}

TEST(DcImageTest, NinePatchAtSeveralSizesAndWindows) {
    const Image img(12, 10);
    DCImage image{};
    image.width = 12;
    image.height = 10;
    image.format = kFormatRgb565;
    image.pitch = img.pitch;
    image.pixels = const_cast<uint8_t*>(img.bytes.data());
    image.x1 = 4;
    image.y1 = 3;
    image.x2 = 8;
    image.y2 = 7;
    const struct {
        CRect d;
        CRect window;
    } cases[] = {
        {{2, 2, 14, 12}, {0, 0, 64, 48}},   // natural size
        {{2, 2, 33, 29}, {0, 0, 64, 48}},   // tiles cut at the far edges
        {{5, 4, 18, 15}, {0, 0, 64, 48}},
        {{5, 4, 9, 8}, {0, 0, 64, 48}},     // exactly the middle's size
        {{5, 4, 9, 30}, {0, 0, 64, 48}},    // exactly the middle's width
        {{5, 4, 40, 8}, {0, 0, 64, 48}},    // exactly the middle's height
        {{5, 4, 11, 9}, {0, 0, 64, 48}},    // smaller than the corners
        {{20, 20, 23, 22}, {0, 0, 64, 48}}, // smaller than one corner
        {{20, 20, 22, 40}, {0, 0, 64, 48}}, // narrower than one corner
        {{2, 2, 33, 29}, {10, 8, 40, 30}},  // cut by the window on the left and top
        {{-20, -30, 50, 40}, {3, 1, 60, 45}},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        CDC dc(CDC::kMemory, 64, 48);
        dc.SetClipRect(&c.window);
        // Logical coordinates: the window's corner is the origin.
        CRect logical = c.d;
        dc.DPtoLP(&logical);
        ASSERT_TRUE(dc.DrawStretchBitmap(&logical, &image)) << i;
        const Picture want = NinePatch(64, 48, c.d, img, 4, 3, 8, 7, c.window);
        EXPECT_TRUE(MatchesWithin(Snapshot(dc), want, {0, 0}, "ninepatch-" + std::to_string(i)));
    }
    // Without stretch lines the picture is drawn once, whole.
    image.x1 = image.x2 = 5;
    image.y1 = image.y2 = 0;
    CDC dc(CDC::kMemory, 64, 48);
    const CRect d(3, 3, 15, 13);
    ASSERT_TRUE(dc.DrawStretchBitmap(&d, &image));
    EXPECT_TRUE(MatchesWithin(Snapshot(dc), NinePatch(64, 48, d, img, 0, 0, 0, 0, {0, 0, 64, 48}), {0, 0}, "whole"));

    // Stretch lines outside the picture, a pitch too short for a row, or nothing to draw on.
    for (auto spoil : {+[](DCImage& im) { im.x2 = 13; }, +[](DCImage& im) { im.y1 = -1; },
                       +[](DCImage& im) { im.x1 = 9, im.x2 = 8; }, +[](DCImage& im) { im.pitch = 22; },
                       +[](DCImage& im) { im.width = 0; }, +[](DCImage& im) { im.pixels = nullptr; }}) {
        DCImage bad = image;
        bad.x1 = 4, bad.y1 = 3, bad.x2 = 8, bad.y2 = 7;
        spoil(bad);
        CDC blank(CDC::kMemory, 64, 48);
        EXPECT_FALSE(blank.DrawStretchBitmap(&d, &bad));
        EXPECT_EQ(Snapshot(blank).Pixels(), Picture(64, 48).Pixels());
    }
}

// A saved area of odd width keeps its own pitch; drawn back it equals what was saved.
TEST(DcImageTest, SavedAreaDrawnBackEqualsTheArea) {
    CDC dc(CDC::kMemory, 40, 30);
    std::mt19937 rng(9);
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x) {
            uint16_t v;
            do v = uint16_t(rng()); while (v == 0 || v == kMagenta565 || v == 0x7FFF);
            std::memcpy(dc.Bits() + size_t(y) * dc.Pitch() + size_t(x) * 2, &v, 2);
        }
    const Picture before = Snapshot(dc);
    for (const CRect& area : {CRect(3, 4, 10, 9), CRect(0, 0, 13, 1), CRect(11, 2, 12, 30), CRect(0, 0, 40, 30)}) {
        DCImage* saved = nullptr;
        ASSERT_TRUE(dc.SaveArea(&area, &saved));
        EXPECT_EQ(saved->pitch, uint32_t(area.Width()) * 2);
        CDC copy(CDC::kMemory, 40, 30);
        ASSERT_TRUE(copy.DrawStretchBitmap(&area, saved));
        for (int y = area.top; y < area.bottom; ++y)
            for (int x = area.left; x < area.right; ++x)
                ASSERT_EQ(PixelAt(copy, x, y), before.At(x, y)) << x << "," << y;
        DeleteDCImage(saved);
    }
}

}  // namespace
