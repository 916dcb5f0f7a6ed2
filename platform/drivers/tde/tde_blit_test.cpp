// The engine's drawing against pixman doing the same on the same bytes in the same run.
#include "platform/drivers/tde/tde_blit.h"

#include <pixman.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sdk/tde/tde_ioctl.h"

namespace {

using namespace varnelle::drivers::tde;

constexpr uint8_t kGuard = 0xC3;
constexpr uint32_t kMargin = 3;  // guard rows above and below, guard pixels right of each row

const uint32_t kFormats[] = {TDE2_COLOR_FMT_RGB565, TDE2_COLOR_FMT_ARGB4444, TDE2_COLOR_FMT_ARGB1555,
                             TDE2_COLOR_FMT_ARGB8888};

const char* Name(uint32_t f) {
    static const char* names[] = {"RGB565", "ARGB4444", "ARGB1555", "ARGB8888"};
    return names[f];
}

pixman_format_code_t PixmanFormat(uint32_t f) {
    switch (f) {
        case TDE2_COLOR_FMT_RGB565: return PIXMAN_r5g6b5;
        case TDE2_COLOR_FMT_ARGB4444: return PIXMAN_a4r4g4b4;
        case TDE2_COLOR_FMT_ARGB1555: return PIXMAN_a1r5g5b5;
        default: return PIXMAN_a8r8g8b8;
    }
}

// A surface inside a buffer with guard bytes all round it, filled with pseudo-random pixels
// (premultiplied where the format has 8-bit alpha).
struct Image {
    uint32_t format, width, height, stride;
    std::vector<uint8_t> bytes;

    Image(uint32_t fmt, uint32_t w, uint32_t h, uint32_t seed) : format(fmt), width(w), height(h) {
        const uint32_t bpp = BytesPerPixel(fmt);
        stride = ((w + kMargin) * bpp + 3) & ~3u;  // pixman wants whole 32-bit words per row
        bytes.assign(static_cast<size_t>(stride) * (h + 2 * kMargin), kGuard);
        uint32_t x = seed * 2654435761u + 1;
        for (uint32_t r = 0; r < h; ++r) {
            for (uint32_t c = 0; c < w; ++c) {
                x = x * 1664525u + 1013904223u;
                uint32_t p = x;
                if (fmt == TDE2_COLOR_FMT_ARGB8888) {
                    const uint32_t a = p >> 24;
                    p = a << 24 | ((p >> 16) & 0xFF) * a / 255 << 16 | ((p >> 8) & 0xFF) * a / 255 << 8 | (p & 0xFF) * a / 255;
                }
                Put(c, r, p);
            }
        }
    }
    uint8_t* First() { return bytes.data() + static_cast<size_t>(stride) * kMargin; }
    Surface Surf() { return Surface{First(), stride, width, height, format}; }
    uint32_t Get(uint32_t x, uint32_t y) const {
        const uint8_t* p = bytes.data() + static_cast<size_t>(stride) * (kMargin + y) + x * BytesPerPixel(format);
        if (BytesPerPixel(format) == 4) return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
        return p[0] | p[1] << 8;
    }
    void Put(uint32_t x, uint32_t y, uint32_t v) {
        uint8_t* p = bytes.data() + static_cast<size_t>(stride) * (kMargin + y) + x * BytesPerPixel(format);
        for (uint32_t i = 0; i < BytesPerPixel(format); ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
    pixman_image_t* Pixman() {
        return pixman_image_create_bits(PixmanFormat(format), static_cast<int>(width), static_cast<int>(height),
                                        reinterpret_cast<uint32_t*>(First()), static_cast<int>(stride));
    }
    // Every byte outside the surface's pixels still holds the guard.
    bool GuardsKept() const {
        const uint32_t rowBytes = width * BytesPerPixel(format);
        for (size_t i = 0; i < bytes.size(); ++i) {
            const size_t row = i / stride, col = i % stride;
            const bool inside = row >= kMargin && row < kMargin + height && col < rowBytes;
            if (!inside && bytes[i] != kGuard) return false;
        }
        return true;
    }
};

// Channel widths of each format, alpha first.
std::vector<std::pair<int, int>> Channels(uint32_t f) {  // {shift, bits}
    switch (f) {
        case TDE2_COLOR_FMT_RGB565: return {{11, 5}, {5, 6}, {0, 5}};
        case TDE2_COLOR_FMT_ARGB4444: return {{12, 4}, {8, 4}, {4, 4}, {0, 4}};
        case TDE2_COLOR_FMT_ARGB1555: return {{15, 1}, {10, 5}, {5, 5}, {0, 5}};
        default: return {{24, 8}, {16, 8}, {8, 8}, {0, 8}};
    }
}

// Pixels that differ by more than `tolerance` in some channel, with the first one described.
int Differences(const Image& a, const Image& b, int tolerance, std::string* first) {
    int n = 0;
    for (uint32_t y = 0; y < a.height; ++y) {
        for (uint32_t x = 0; x < a.width; ++x) {
            const uint32_t pa = a.Get(x, y), pb = b.Get(x, y);
            for (auto [shift, bits] : Channels(a.format)) {
                const int ca = static_cast<int>((pa >> shift) & ((1u << bits) - 1));
                const int cb = static_cast<int>((pb >> shift) & ((1u << bits) - 1));
                if (std::abs(ca - cb) > tolerance) {
                    if (n++ == 0) *first = std::to_string(x) + "," + std::to_string(y) + ": " + std::to_string(pa) + " vs " + std::to_string(pb);
                    break;
                }
            }
        }
    }
    return n;
}

void Composite(pixman_op_t op, Image& src, pixman_image_t* mask, Image& dst, const Rect& sr, const Rect& dr,
               bool scale) {
    pixman_image_t* s = src.Pixman();
    pixman_image_t* d = dst.Pixman();
    int sx = static_cast<int>(sr.x), sy = static_cast<int>(sr.y);
    if (scale) {
        pixman_transform_t t;
        pixman_transform_init_identity(&t);
        t.matrix[0][0] = pixman_double_to_fixed(static_cast<double>(sr.w) / dr.w);
        t.matrix[1][1] = pixman_double_to_fixed(static_cast<double>(sr.h) / dr.h);
        t.matrix[0][2] = pixman_int_to_fixed(static_cast<int>(sr.x));
        t.matrix[1][2] = pixman_int_to_fixed(static_cast<int>(sr.y));
        pixman_image_set_transform(s, &t);
        pixman_image_set_filter(s, PIXMAN_FILTER_NEAREST, nullptr, 0);
        sx = sy = 0;
    }
    pixman_image_composite32(op, s, mask, d, sx, sy, 0, 0, static_cast<int>(dr.x), static_cast<int>(dr.y),
                             static_cast<int>(dr.w), static_cast<int>(dr.h));
    pixman_image_unref(s);
    pixman_image_unref(d);
}

TEST(TdeBlitTest, FillEqualsPixman) {
    const Rect rects[] = {{0, 0, 37, 23}, {5, 3, 1, 1}, {36, 22, 1, 1}, {10, 0, 20, 23}, {0, 9, 37, 1}};
    for (uint32_t f : kFormats) {
        for (const Rect& r : rects) {
            Image ours(f, 37, 23, 1), ref(f, 37, 23, 1);
            const uint32_t value = f == TDE2_COLOR_FMT_ARGB8888 ? 0x80402010u : 0x8421u;
            Fill(ours.Surf(), r, value);
            ASSERT_TRUE(pixman_fill(reinterpret_cast<uint32_t*>(ref.First()), static_cast<int>(ref.stride / 4),
                                    static_cast<int>(BytesPerPixel(f) * 8), static_cast<int>(r.x), static_cast<int>(r.y),
                                    static_cast<int>(r.w), static_cast<int>(r.h), value));
            std::string first;
            EXPECT_EQ(Differences(ours, ref, 0, &first), 0) << Name(f) << " " << first;
            EXPECT_TRUE(ours.GuardsKept()) << Name(f);
        }
    }
}

TEST(TdeBlitTest, CopyBetweenEveryPairOfFormatsEqualsPixman) {
    for (uint32_t sf : kFormats) {
        for (uint32_t df : kFormats) {
            Image src(sf, 30, 20, 2), ours(df, 25, 18, 3), ref(df, 25, 18, 3);
            const Rect sr{4, 2, 21, 15}, dr{1, 3, 21, 15};
            Copy(src.Surf(), sr, ours.Surf(), dr);
            Composite(PIXMAN_OP_SRC, src, nullptr, ref, sr, dr, false);
            std::string first;
            EXPECT_EQ(Differences(ours, ref, 0, &first), 0) << Name(sf) << " to " << Name(df) << " " << first;
            EXPECT_TRUE(ours.GuardsKept());
        }
    }
}

TEST(TdeBlitTest, CopyTakesTheSizeBothRectanglesAllow) {
    Image src(TDE2_COLOR_FMT_ARGB8888, 8, 8, 4), dst(TDE2_COLOR_FMT_ARGB8888, 8, 8, 5);
    const Image before = dst;
    Copy(src.Surf(), Rect{0, 0, 3, 8}, dst.Surf(), Rect{2, 2, 6, 2});
    for (uint32_t y = 0; y < 8; ++y)
        for (uint32_t x = 0; x < 8; ++x) {
            const bool in = x >= 2 && x < 5 && y >= 2 && y < 4;
            EXPECT_EQ(dst.Get(x, y), in ? src.Get(x - 2, y - 2) : before.Get(x, y)) << x << "," << y;
        }
}

TEST(TdeBlitTest, NearestScalingEqualsPixman) {
    // Ratios pixman holds exactly in its 16.16 fixed point.
    struct Case {
        Rect sr, dr;
    } cases[] = {
        {{0, 0, 16, 12}, {0, 0, 32, 24}}, {{2, 1, 32, 24}, {3, 2, 16, 12}}, {{0, 0, 24, 16}, {0, 0, 16, 32}},
        {{5, 3, 10, 8}, {0, 0, 40, 2}},   {{1, 1, 1, 1}, {0, 0, 40, 40}},   {{0, 0, 40, 40}, {7, 9, 5, 5}},
        {{3, 2, 12, 12}, {1, 1, 12, 12}},
    };
    for (uint32_t sf : {TDE2_COLOR_FMT_ARGB8888, TDE2_COLOR_FMT_ARGB1555}) {
        for (uint32_t df : {TDE2_COLOR_FMT_ARGB8888, TDE2_COLOR_FMT_RGB565}) {
            for (const Case& c : cases) {
                Image src(sf, 40, 40, 6), ours(df, 48, 42, 7), ref(df, 48, 42, 7);
                Scale(src.Surf(), c.sr, ours.Surf(), c.dr);
                Composite(PIXMAN_OP_SRC, src, nullptr, ref, c.sr, c.dr, true);
                std::string first;
                EXPECT_EQ(Differences(ours, ref, 0, &first), 0)
                    << Name(sf) << " to " << Name(df) << " " << c.sr.w << "x" << c.sr.h << " to " << c.dr.w << "x"
                    << c.dr.h << " " << first;
                EXPECT_TRUE(ours.GuardsKept());
            }
        }
    }
}

TEST(TdeBlitTest, OverWithGlobalAlphaEqualsPixmanWithinOne) {
    for (uint32_t sf : kFormats) {
        for (uint32_t df : kFormats) {
            for (uint32_t ga : {255u, 128u, 1u, 0u}) {
                Image src(sf, 33, 17, 8), ours(df, 33, 17, 9), ref(df, 33, 17, 9);
                const Rect sr{2, 1, 29, 15}, dr{3, 2, 29, 15};
                Surface d = ours.Surf();
                Surface s = src.Surf();
                Over(&d, dr, &s, sr, d, dr, ga);
                pixman_image_t* mask = nullptr;
                if (ga != 255) {
                    pixman_color_t c{0, 0, 0, static_cast<uint16_t>(ga * 257)};
                    mask = pixman_image_create_solid_fill(&c);
                }
                Composite(PIXMAN_OP_OVER, src, mask, ref, sr, dr, false);
                if (mask != nullptr) pixman_image_unref(mask);
                std::string first;
                EXPECT_EQ(Differences(ours, ref, 1, &first), 0) << Name(sf) << " over " << Name(df) << " alpha " << ga
                                                                << " " << first;
                EXPECT_TRUE(ours.GuardsKept());
            }
        }
    }
}

TEST(TdeBlitTest, OverAFirstSourceElsewhereAndAScaledSecond) {
    // dst = src2 scaled (8x6 to 16x12) over src1, all three apart.
    Image first(TDE2_COLOR_FMT_ARGB8888, 20, 20, 10), second(TDE2_COLOR_FMT_ARGB8888, 10, 10, 11);
    Image ours(TDE2_COLOR_FMT_ARGB1555, 18, 14, 12), ref(TDE2_COLOR_FMT_ARGB1555, 18, 14, 12);
    const Rect r1{4, 4, 16, 12}, r2{1, 2, 8, 6}, dr{2, 1, 16, 12};
    Surface f = first.Surf(), s = second.Surf();
    Over(&f, r1, &s, r2, ours.Surf(), dr, 255);
    Composite(PIXMAN_OP_SRC, first, nullptr, ref, r1, dr, false);
    Composite(PIXMAN_OP_OVER, second, nullptr, ref, r2, dr, true);
    std::string msg;
    EXPECT_EQ(Differences(ours, ref, 1, &msg), 0) << msg;
    // No second source: the first is copied.
    Image copy(TDE2_COLOR_FMT_ARGB1555, 18, 14, 12);
    Over(&f, r1, nullptr, r2, copy.Surf(), dr, 255);
    Image ref2(TDE2_COLOR_FMT_ARGB1555, 18, 14, 12);
    Composite(PIXMAN_OP_SRC, first, nullptr, ref2, r1, dr, false);
    EXPECT_EQ(Differences(copy, ref2, 0, &msg), 0) << msg;
}

}  // namespace
