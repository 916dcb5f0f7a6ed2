#include "platform/drivers/rgn/rgn_composite.h"

#include <cmath>
#include <random>
#include <vector>

#include <gtest/gtest.h>

namespace {

using namespace varnelle::drivers;
using namespace varnelle::drivers::rgn;

// BT.601 in video range, straight from the standard's real-valued equations.
struct RefYuv {
    double y, u, v;
};
RefYuv Bt601(double r, double g, double b) {
    r /= 255.0, g /= 255.0, b /= 255.0;
    return {16 + 65.481 * r + 128.553 * g + 24.966 * b, 128 - 37.797 * r - 74.203 * g + 112.0 * b,
            128 + 112.0 * r - 93.786 * g - 18.214 * b};
}

// A picture with a margin of guard bytes right of every row and below each plane, so writes outside
// the picture show.
struct Picture {
    static constexpr uint8_t kGuard = 0xA5;
    int w, h;
    size_t stride;
    std::vector<uint8_t> luma, chroma;

    Picture(int width, int height, uint8_t y, uint8_t u, uint8_t v)
        : w(width), h(height), stride(static_cast<size_t>(width) + 8),
          luma(stride * (height + 2), kGuard), chroma(stride * ((height + 1) / 2 + 2), kGuard) {
        for (int r = 0; r < h; ++r)
            for (int c = 0; c < w; ++c) luma[r * stride + c] = y;
        for (int r = 0; r < (h + 1) / 2; ++r)
            for (int c = 0; c < (w + 1) / 2; ++c) {
                chroma[r * stride + 2 * c] = v;  // pairs hold V first, then U
                chroma[r * stride + 2 * c + 1] = u;
            }
    }
    PatternFrame Frame() { return PatternFrame{luma.data(), stride, chroma.data(), stride, w, h}; }
    uint8_t Y(int x, int y) const { return luma[y * stride + x]; }
    uint8_t V(int cx, int cy) const { return chroma[cy * stride + 2 * cx]; }
    uint8_t U(int cx, int cy) const { return chroma[cy * stride + 2 * cx + 1]; }
    // Every byte outside the picture still holds the guard.
    bool GuardsKept() const {
        for (size_t i = 0; i < luma.size(); ++i) {
            size_t r = i / stride, c = i % stride;
            if ((r >= static_cast<size_t>(h) || c >= static_cast<size_t>(w)) && luma[i] != kGuard) return false;
        }
        for (size_t i = 0; i < chroma.size(); ++i) {
            size_t r = i / stride, c = i % stride;
            if ((r >= static_cast<size_t>((h + 1) / 2) || c >= static_cast<size_t>(2 * ((w + 1) / 2))) &&
                chroma[i] != kGuard)
                return false;
        }
        return true;
    }
};

uint16_t Pixel1555(bool alpha, int r5, int g5, int b5) {
    return static_cast<uint16_t>((alpha ? 0x8000 : 0) | (r5 << 10) | (g5 << 5) | b5);
}

TEST(RgnCompositeTest, OpaqueColoursTakeTheirBt601Values) {
    struct Case {
        const char* name;
        int r5, g5, b5;
    } cases[] = {
        {"white", 31, 31, 31}, {"black", 0, 0, 0},     {"red", 31, 0, 0},     {"green", 0, 31, 0},
        {"blue", 0, 0, 31},    {"grey", 16, 16, 16},   {"orange", 31, 20, 0}, {"teal", 2, 19, 17},
    };
    for (const Case& c : cases) {
        Picture pic(4, 4, 60, 100, 150);
        std::vector<uint16_t> bmp(16, Pixel1555(true, c.r5, c.g5, c.b5));
        DrawOverlay(pic.Frame(), OverlayLayer{0, 0, 4, 4, bmp.data(), 128, 0});
        // 5-bit channels widen by repeating their top bits.
        RefYuv want = Bt601((c.r5 << 3) | (c.r5 >> 2), (c.g5 << 3) | (c.g5 >> 2), (c.b5 << 3) | (c.b5 >> 2));
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 4; ++x) EXPECT_NEAR(pic.Y(x, y), want.y, 1.0) << c.name;
        for (int cy = 0; cy < 2; ++cy)
            for (int cx = 0; cx < 2; ++cx) {
                EXPECT_NEAR(pic.U(cx, cy), want.u, 1.0) << c.name;
                EXPECT_NEAR(pic.V(cx, cy), want.v, 1.0) << c.name;
            }
        EXPECT_TRUE(pic.GuardsKept());
    }
}

TEST(RgnCompositeTest, AlphaBitChoosesForegroundOrBackgroundAlpha) {
    // White (luma 235) over luma 100: the result is 100 + (235 - 100) * alpha / 128.
    struct Case {
        bool alphaBit;
        uint32_t fg, bg;
        double want;
    } cases[] = {
        {true, 128, 0, 235},  {false, 128, 0, 100},  {false, 0, 64, 167.5}, {true, 0, 64, 100},
        {false, 0, 32, 133.75}, {true, 96, 0, 201.25}, {true, 500, 0, 235} /* above the top: opaque */,
    };
    for (const Case& c : cases) {
        Picture pic(2, 2, 100, 128, 128);
        std::vector<uint16_t> bmp(4, Pixel1555(c.alphaBit, 31, 31, 31));
        DrawOverlay(pic.Frame(), OverlayLayer{0, 0, 2, 2, bmp.data(), c.fg, c.bg});
        EXPECT_NEAR(pic.Y(1, 1), c.want, 0.5 + 1e-9) << c.alphaBit << " fg " << c.fg << " bg " << c.bg;
        EXPECT_EQ(pic.U(0, 0), 128);
    }
}

TEST(RgnCompositeTest, ChromaTakesTheCoveredShareOfItsBlock) {
    // An opaque red pixel covers one of the four pixels of chroma sample (0, 0), two of sample (1, 0)
    // in the second case.
    const RefYuv red = Bt601(255, 0, 0);
    struct Case {
        int x, w;
        double share0, share1;
    } cases[] = {{0, 1, 0.25, 0}, {1, 2, 0.25, 0.25}, {2, 2, 0, 0.5}, {1, 3, 0.25, 0.5}};
    for (const Case& c : cases) {
        Picture pic(4, 2, 50, 128, 128);
        std::vector<uint16_t> bmp(static_cast<size_t>(c.w), Pixel1555(true, 31, 0, 0));
        DrawOverlay(pic.Frame(), OverlayLayer{c.x, 0, c.w, 1, bmp.data(), 128, 128});
        EXPECT_NEAR(pic.U(0, 0), 128 + (red.u - 128) * c.share0, 1.0) << c.x << "," << c.w;
        EXPECT_NEAR(pic.V(0, 0), 128 + (red.v - 128) * c.share0, 1.0) << c.x << "," << c.w;
        EXPECT_NEAR(pic.U(1, 0), 128 + (red.u - 128) * c.share1, 1.0) << c.x << "," << c.w;
        EXPECT_NEAR(pic.V(1, 0), 128 + (red.v - 128) * c.share1, 1.0) << c.x << "," << c.w;
        EXPECT_EQ(pic.Y(c.x + c.w - 1, 1), 50) << "the second row is not covered";
    }
}

TEST(RgnCompositeTest, LayersAreClippedAtEveryEdge) {
    // A 4 x 4 white overlay and a black cover at places around a 10 x 6 picture; exactly the pixels of
    // both inside the picture change, nothing outside it is written.
    struct Case {
        int x, y;
    } cases[] = {{-2, -2}, {8, 4}, {-3, 3}, {7, -1}, {-4, 0}, {10, 0}, {0, 6}, {-100, -100}, {3, 1}};
    for (const Case& c : cases) {
        for (bool cover : {false, true}) {
            Picture pic(10, 6, 77, 128, 128);
            std::vector<uint16_t> bmp(16, Pixel1555(true, 31, 31, 31));
            Layer l;
            l.cover = cover;
            l.overlay = OverlayLayer{c.x, c.y, 4, 4, bmp.data(), 128, 0};
            l.coverRect = CoverLayer{c.x, c.y, 4, 4, 0x000000};
            Composite(pic.Frame(), {l});
            const int inside = cover ? 16 : 235;
            for (int y = 0; y < 6; ++y)
                for (int x = 0; x < 10; ++x) {
                    bool in = x >= c.x && x < c.x + 4 && y >= c.y && y < c.y + 4;
                    EXPECT_EQ(pic.Y(x, y), in ? inside : 77) << c.x << "," << c.y << " at " << x << "," << y;
                }
            EXPECT_TRUE(pic.GuardsKept()) << c.x << "," << c.y;
        }
    }
}

TEST(RgnCompositeTest, OddSizedPicturesKeepToTheirPlanes) {
    // 5 x 3 with chroma rows exactly `width` bytes: the last chroma column has its V byte (pairs hold V
    // first) and no U byte, which would be the next row's first.
    std::vector<uint8_t> luma(15, 40), chroma(5 * 2, 128);
    PatternFrame f{luma.data(), 5, chroma.data(), 5, 5, 3};
    DrawCover(f, CoverLayer{0, 0, 5, 3, 0xFFFFFF});
    for (uint8_t y : luma) EXPECT_EQ(y, 235);
    // Red over the first chroma row only.
    const RefYuv red = Bt601(255, 0, 0);
    DrawCover(f, CoverLayer{0, 0, 5, 2, 0xFF0000});
    EXPECT_NEAR(chroma[0], red.v, 1.0);
    EXPECT_NEAR(chroma[1], red.u, 1.0);
    EXPECT_NEAR(chroma[4], red.v, 1.0) << "V of the last column";
    for (int i = 5; i < 10; ++i) EXPECT_EQ(chroma[i], 128) << "the second chroma row, byte " << i;
}

TEST(RgnCompositeTest, LaterLayersDrawOverEarlierOnes) {
    Picture pic(4, 4, 10, 128, 128);
    std::vector<uint16_t> white(4, Pixel1555(true, 31, 31, 31));
    Layer a;
    a.cover = true;
    a.coverRect = CoverLayer{0, 0, 4, 4, 0x000000};
    Layer b;
    b.overlay = OverlayLayer{1, 1, 2, 2, white.data(), 128, 0};
    Composite(pic.Frame(), {a, b});
    EXPECT_EQ(pic.Y(0, 0), 16);
    EXPECT_EQ(pic.Y(1, 1), 235);
    Composite(pic.Frame(), {b, a});
    EXPECT_EQ(pic.Y(1, 1), 16) << "the cover last hides the overlay";
}

TEST(RgnCompositeTest, KeptConversionDrawsWhatConvertingAtEachDrawDraws) {
    // Random bitmaps, alphas (above the top too), places (over every edge, odd corners) and pictures
    // (odd sizes, chroma rows of `width` bytes): the same bytes either way, and an edit of the bitmap
    // is drawn at the next draw.
    std::mt19937 rng(3);
    for (int round = 0; round < 200; ++round) {
        const int w = 1 + static_cast<int>(rng() % 23), h = 1 + static_cast<int>(rng() % 17);
        OverlayBitmap bitmap;
        bitmap.Assign(1 + static_cast<int>(rng() % 13), 1 + static_cast<int>(rng() % 9), 0);
        const int x = static_cast<int>(rng() % (w + 16)) - 8, y = static_cast<int>(rng() % (h + 12)) - 6;
        const uint32_t fg = rng() % 140, bg = rng() % 140;
        std::vector<uint8_t> luma(static_cast<size_t>(w) * h), chroma(static_cast<size_t>(w) * ((h + 1) / 2));
        for (uint8_t& b : luma) b = static_cast<uint8_t>(rng());
        for (uint8_t& b : chroma) b = static_cast<uint8_t>(rng());
        for (int edit = 0; edit < 2; ++edit) {
            uint16_t* px = bitmap.Edit();
            for (size_t i = 0; i < bitmap.Pixels().size(); ++i) px[i] = static_cast<uint16_t>(rng());
            std::vector<uint8_t> kl = luma, kc = chroma, cl = luma, cc = chroma;
            Layer kept, converting;
            kept.overlay = bitmap.Layer(x, y, fg, bg);
            converting.overlay = kept.overlay;
            converting.overlay.converted = nullptr;
            Composite(PatternFrame{kl.data(), static_cast<size_t>(w), kc.data(), static_cast<size_t>(w), w, h}, {kept});
            Composite(PatternFrame{cl.data(), static_cast<size_t>(w), cc.data(), static_cast<size_t>(w), w, h}, {converting});
            ASSERT_EQ(kl, cl) << "round " << round << " edit " << edit;
            ASSERT_EQ(kc, cc) << "round " << round << " edit " << edit;
        }
    }
}

}  // namespace
