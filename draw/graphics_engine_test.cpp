#include "draw/graphics_engine.h"

#include <gtest/gtest.h>
#include <pixman.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

namespace {

TEST(GraphicsEngineTest, ColourConversionCases) {
    struct Case {
        int format, r, g, b, transparent;
        uint32_t want;
    };
    const std::vector<Case> cases = {
        {0, 255, 255, 255, 1, 0xFFFF}, {0, 255, 255, 255, 0, 0x7FFF}, {1, 255, 0, 0, 1, 0xF800},
        {0, 300, -5, 0, 0, 0x7C00},    {2, 1, 2, 3, 0, 0xFF00},       {7, 255, 255, 255, 1, 0xFF00},
        {1, 8, 4, 8, 0, 0x0821},       {0, 0, 0, 0, 5, 0x8000},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(RgbToPixel(c.format, c.r, c.g, c.b, c.transparent), c.want)
            << c.format << ": " << c.r << "," << c.g << "," << c.b << "," << c.transparent;
    }
    EXPECT_EQ(ColorToPixel(0, 0x00FF00FF), 0x7C1Fu);  // magenta
    EXPECT_EQ(ColorToPixel(0, 0x01FF00FF), 0xFC1Fu);  // with the transparency flag
    EXPECT_EQ(PixelToColor(1, 0xF800), 0x0000F8u);
    EXPECT_EQ(PixelToColor(2, 0xFF0000), 0x0000FFu);
    EXPECT_EQ(PixelToColor(2, 0x01123456), 0x01563412u);  // bit 24 carried over
    EXPECT_EQ(PixelToColor(0, 0x8000), 0u);               // no transparency from the alpha bit
    EXPECT_EQ(PixelToColor(9, 0x1000000), 0x100FF00u);
}

TEST(GraphicsEngineTest, PremultiplyArgb) {
    EXPECT_EQ(PremultiplyArgb(200, 100, 50, 0), 0u);
    EXPECT_EQ(PremultiplyArgb(200, 100, 50, 255), 0xFFC86432u);
    EXPECT_EQ(PremultiplyArgb(200, 100, 50, 128), 0x80643219u);  // x 0.50196, truncated
    EXPECT_EQ(PremultiplyArgb(255, 255, 255, 254), 0xFEFEFEFEu);
}

TEST(GraphicsEngineTest, SelectObjectOutOfRangeLeavesRoutines) {
    GraphicsObject obj{};
    EXPECT_TRUE(selectObject(obj, 3, 3));
    const GraphicsObject before = obj;
    for (auto [rop, bpp] : std::vector<std::pair<int, int>>{{4, 0}, {0, 4}, {-1, 1}, {1, -1}, {100, 100}}) {
        EXPECT_FALSE(selectObject(obj, rop, bpp)) << rop << "," << bpp;
        EXPECT_EQ(obj.pixel, before.pixel);
        EXPECT_EQ(obj.fill, before.fill);
        EXPECT_EQ(obj.copy, before.copy);
    }
    GraphicsObject copy16{}, xor16{};
    ASSERT_TRUE(selectObject(copy16, 0, 1));
    ASSERT_TRUE(selectObject(xor16, 3, 1));
    EXPECT_NE(copy16.fill, xor16.fill);
}

// Reference pixel semantics, written from the routine table: little-endian pixels of 1 to 4 bytes.
uint32_t Get(const uint8_t* p, int bytes) {
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= uint32_t{p[i]} << (8 * i);
    return v;
}
void Put(uint8_t* p, int bytes, uint32_t v) {
    for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t Apply(int rop, uint32_t dst, uint32_t v) {
    switch (rop) {
        case 0: return v;
        case 1: return dst & v;
        case 2: return dst | v;
        default: return dst ^ v;
    }
}

constexpr int kGuard = 16;
constexpr uint8_t kCanary = 0xA5;

// Every fill and copy routine, every count 0 to 9 (and longer runs, through the block loops) and
// every start alignment: exactly the run's pixels change, as the reference says; the bytes around it
// keep their canaries.
TEST(GraphicsEngineTest, FillAndCopyAtEveryCountAndAlignment) {
    std::mt19937 rng(5);
    for (int rop = 0; rop < N_ROP; ++rop) {
        for (int bpp = 0; bpp < N_BPP; ++bpp) {
            GraphicsObject obj;
            ASSERT_TRUE(selectObject(obj, rop, bpp));
            const int bytes = bpp + 1;
            for (int count : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 31, 32, 33, 34, 63, 64, 65, 100}) {
                for (int align = 0; align < 4; ++align) {
                    for (int variant = 0; variant < 4; ++variant) {
                        const size_t n = size_t(count) * bytes;
                        // 64-byte aligned base, so align is the run's offset from a 4-byte boundary.
                        alignas(64) uint8_t buf[2 * kGuard + 4 * 100 + 4];
                        std::memset(buf, kCanary, sizeof(buf));
                        uint8_t* run = buf + kGuard + align;
                        for (size_t i = 0; i < n; ++i) run[i] = static_cast<uint8_t>(rng());
                        std::vector<uint8_t> src(n + 1);
                        for (auto& b : src) b = static_cast<uint8_t>(rng());
                        std::vector<uint8_t> want(run, run + n);
                        const uint32_t value = variant == 0 ? 0 : static_cast<uint32_t>(rng());
                        const uint32_t mask = bytes == 4 ? 0xFFFFFFFFu : (1u << (8 * bytes)) - 1;
                        std::string what = "rop " + std::to_string(rop) + " bpp " + std::to_string(bpp) + " count " +
                                           std::to_string(count) + " align " + std::to_string(align);

                        if (variant < 2) {
                            for (int i = 0; i < count; ++i) {
                                uint8_t* p = want.data() + i * bytes;
                                Put(p, bytes, Apply(rop, Get(p, bytes), value) & mask);
                            }
                            obj.fill(run, count, value);
                            what += " fill";
                        } else {
                            const int keyed = variant == 3 ? 1 : 0;
                            // Key one source pixel in three.
                            uint32_t key = static_cast<uint32_t>(rng()) & mask;
                            for (int i = 0; i < count; i += 3) Put(src.data() + i * bytes, bytes, key);
                            for (int i = 0; i < count; ++i) {
                                const uint32_t s = Get(src.data() + i * bytes, bytes);
                                if (keyed && s == key) continue;
                                uint8_t* p = want.data() + i * bytes;
                                Put(p, bytes, Apply(rop, Get(p, bytes), s) & mask);
                            }
                            // Bits above the pixel's width in the key do not matter.
                            obj.copy(run, count, src.data(), keyed, key | (bytes < 4 ? 0xFF000000u : 0));
                            what += keyed ? " keyed copy" : " copy";
                        }
                        ASSERT_TRUE(std::equal(want.begin(), want.end(), run)) << what;
                        for (int i = 0; i < kGuard + align; ++i) ASSERT_EQ(buf[i], kCanary) << what << " before";
                        for (size_t i = kGuard + align + n; i < sizeof(buf); ++i) {
                            ASSERT_EQ(buf[i], kCanary) << what << " after";
                        }
                    }
                }
            }
        }
    }
}

TEST(GraphicsEngineTest, KeyedSixteenBitCopySkipsKeyPixels) {
    GraphicsObject obj;
    ASSERT_TRUE(selectObject(obj, 0, 1));
    uint16_t dst[4] = {1, 2, 3, 4};
    const uint16_t src[4] = {10, 0x7C1F, 30, 40};
    obj.copy(dst, 4, src, 1, 0x7C1F);
    EXPECT_EQ(std::vector<uint16_t>(dst, dst + 4), (std::vector<uint16_t>{10, 2, 30, 40}));
    // Any flag but 1 copies everything.
    obj.copy(dst, 4, src, 2, 0x7C1F);
    EXPECT_EQ(dst[1], 0x7C1F);
}

// A 24-bit keyed copy skips key-coloured source pixels like the other widths; a destination pixel
// that happens to hold the key colour is written like any other.
TEST(GraphicsEngineTest, KeyedTwentyFourBitCopyLooksAtTheSource) {
    GraphicsObject obj;
    ASSERT_TRUE(selectObject(obj, 0, 2));
    uint8_t dst[6] = {0x56, 0x34, 0x12, 0x00, 0x00, 0x00};  // pixel 0 holds the key 0x123456
    const uint8_t src[6] = {0x01, 0x02, 0x03, 0x56, 0x34, 0x12};
    obj.copy(dst, 2, src, 1, 0x123456);
    EXPECT_EQ(std::vector<uint8_t>(dst, dst + 6), (std::vector<uint8_t>{0x01, 0x02, 0x03, 0x00, 0x00, 0x00}));
}

// A plain copy between overlapping runs of one surface (a scroll) moves the pixels intact.
TEST(GraphicsEngineTest, OverlappingCopyMovesPixels) {
    GraphicsObject obj;
    ASSERT_TRUE(selectObject(obj, 0, 1));
    uint16_t row[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    obj.copy(row + 2, 6, row, 0, 0);
    EXPECT_EQ(std::vector<uint16_t>(row, row + 8), (std::vector<uint16_t>{1, 2, 1, 2, 3, 4, 5, 6}));
    obj.copy(row, 6, row + 2, 0, 0);
    EXPECT_EQ(std::vector<uint16_t>(row, row + 8), (std::vector<uint16_t>{1, 2, 3, 4, 5, 6, 5, 6}));
}

// pixman's conversion of a whole 256 x 256 block of a8r8g8b8 pixels.
std::vector<uint16_t> PixmanConvert(const std::vector<uint32_t>& argb, pixman_format_code_t to) {
    std::vector<uint16_t> out(argb.size());
    pixman_image_t* src = pixman_image_create_bits(PIXMAN_a8r8g8b8, 256, 256, const_cast<uint32_t*>(argb.data()), 1024);
    pixman_image_t* dst = pixman_image_create_bits(to, 256, 256, reinterpret_cast<uint32_t*>(out.data()), 512);
    pixman_image_composite32(PIXMAN_OP_SRC, src, nullptr, dst, 0, 0, 0, 0, 0, 0, 256, 256);
    pixman_image_unref(src);
    pixman_image_unref(dst);
    return out;
}

// Every colour with both flags, against pixman's a8r8g8b8 to a1r5g5b5 and r5g6b5 (the flag stands
// for an opaque alpha).
TEST(GraphicsEngineTest, RgbToPixelMatchesPixmanForEveryColour) {
    std::vector<uint32_t> argb(256 * 256);
    for (int transparent = 0; transparent <= 1; ++transparent) {
        for (int r = 0; r < 256; ++r) {
            for (int g = 0; g < 256; ++g) {
                for (int b = 0; b < 256; ++b) {
                    argb[g * 256 + b] = (transparent ? 0xFF000000u : 0u) | uint32_t(r) << 16 | uint32_t(g) << 8 | b;
                }
            }
            const std::vector<uint16_t> a1555 = PixmanConvert(argb, PIXMAN_a1r5g5b5);
            const std::vector<uint16_t> r565 = PixmanConvert(argb, PIXMAN_r5g6b5);
            for (int g = 0; g < 256; ++g) {
                for (int b = 0; b < 256; ++b) {
                    const uint32_t colour = uint32_t(r) | uint32_t(g) << 8 | uint32_t(b) << 16 |
                                            (transparent ? kColorTransparent : 0);
                    ASSERT_EQ(RgbToPixel(0, r, g, b, transparent), a1555[g * 256 + b]) << r << "," << g << "," << b;
                    ASSERT_EQ(RgbToPixel(1, r, g, b, transparent), r565[g * 256 + b]) << r << "," << g << "," << b;
                    ASSERT_EQ(ColorToPixel(0, colour), a1555[g * 256 + b]);
                }
            }
        }
    }
}

// Every 16-bit pixel: pixman's expansion to a8r8g8b8 with the low bits of each channel cleared.
TEST(GraphicsEngineTest, PixelToColorMatchesPixmanExpansion) {
    struct Format {
        int format;
        pixman_format_code_t code;
        uint32_t keep;  // bits of R, G, B that survive (in pixman's a8r8g8b8 order)
    };
    for (const Format& f : {Format{0, PIXMAN_a1r5g5b5, 0xF8F8F8}, Format{1, PIXMAN_r5g6b5, 0xF8FCF8}}) {
        std::vector<uint16_t> pixels(65536);
        for (uint32_t i = 0; i < 65536; ++i) pixels[i] = static_cast<uint16_t>(i);
        std::vector<uint32_t> argb(65536);
        pixman_image_t* src = pixman_image_create_bits(f.code, 256, 256, reinterpret_cast<uint32_t*>(pixels.data()), 512);
        pixman_image_t* dst = pixman_image_create_bits(PIXMAN_a8r8g8b8, 256, 256, argb.data(), 1024);
        pixman_image_composite32(PIXMAN_OP_SRC, src, nullptr, dst, 0, 0, 0, 0, 0, 0, 256, 256);
        pixman_image_unref(src);
        pixman_image_unref(dst);
        for (uint32_t i = 0; i < 65536; ++i) {
            const uint32_t p = argb[i] & f.keep;
            const uint32_t want = (p >> 16 & 0xFF) | (p & 0xFF00) | (p & 0xFF) << 16;
            ASSERT_EQ(PixelToColor(f.format, i), want) << "format " << f.format << " pixel " << i;
        }
    }
}

}  // namespace
