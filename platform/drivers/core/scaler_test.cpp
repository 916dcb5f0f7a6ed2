// The scaler against pixman's bilinear filter (sample centres aligned, edges padded), run plane by
// plane on the same pictures; and the rules of sub-pictures and chroma pairs.
#include "platform/drivers/core/scaler.h"

#include <pixman.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "platform/drivers/core/pattern.h"

namespace varnelle::drivers {
namespace {

// A picture in a buffer of exactly its size: rows as short as the format allows, so any write past a
// plane shows under ASan.
struct Picture {
    Picture(int w, int h)
        : width(w), height(h), yStride(static_cast<size_t>(w)), uvStride(static_cast<size_t>((w + 1) / 2) * 2),
          bytes(yStride * h + uvStride * ((h + 1) / 2)) {}
    Yuv420SpPlanes Planes() { return {bytes.data(), yStride, bytes.data() + yStride * height, uvStride, width, height}; }
    int width, height;
    size_t yStride, uvStride;
    std::vector<uint8_t> bytes;
};

enum class Content { kNoise, kPattern, kGradient, kExtremes };

void Fill(Picture& p, Content content, uint32_t seed) {
    std::mt19937 rng(seed);
    Yuv420SpPlanes pl = p.Planes();
    switch (content) {
        case Content::kNoise:
            for (uint8_t& b : p.bytes) b = static_cast<uint8_t>(rng());
            break;
        case Content::kExtremes:  // 0 and 255 only: the largest sums between the passes
            for (uint8_t& b : p.bytes) b = (rng() & 1) ? 255 : 0;
            break;
        case Content::kPattern:
            if (p.width % 2 == 0) {
                DrawTestPattern({pl.y, pl.yStride, pl.uv, pl.uvStride, p.width, p.height}, 7, seed, 45296);
                break;
            }
            [[fallthrough]];  // the pattern draws only even widths
        case Content::kGradient:
            for (int y = 0; y < p.height; ++y)
                for (int x = 0; x < p.width; ++x) pl.y[y * pl.yStride + x] = static_cast<uint8_t>((x * 7 + y * 3) & 0xFF);
            for (int y = 0; y < (p.height + 1) / 2; ++y)
                for (int x = 0; x < (p.width + 1) / 2; ++x) {
                    pl.uv[y * pl.uvStride + 2 * x] = static_cast<uint8_t>(x * 5);
                    pl.uv[y * pl.uvStride + 2 * x + 1] = static_cast<uint8_t>(255 - y * 5);
                }
            break;
    }
}

// Component `c` of `n` interleaved components of a plane, scaled by pixman.
std::vector<uint8_t> PixmanScale(const uint8_t* plane, size_t stride, int sw, int sh, int n, int c, int dw, int dh) {
    const int srcPitch = (sw + 3) & ~3, dstPitch = (dw + 3) & ~3;  // pixman wants whole words a row
    std::vector<uint32_t> in(static_cast<size_t>(srcPitch) * sh / 4), out(static_cast<size_t>(dstPitch) * dh / 4);
    auto* inBytes = reinterpret_cast<uint8_t*>(in.data());
    for (int y = 0; y < sh; ++y)
        for (int x = 0; x < sw; ++x) inBytes[y * srcPitch + x] = plane[y * stride + x * n + c];
    pixman_image_t* src = pixman_image_create_bits(PIXMAN_a8, sw, sh, in.data(), srcPitch);
    pixman_image_t* dst = pixman_image_create_bits(PIXMAN_a8, dw, dh, out.data(), dstPitch);
    pixman_transform_t t;
    pixman_transform_init_scale(&t, pixman_double_to_fixed(static_cast<double>(sw) / dw),
                                pixman_double_to_fixed(static_cast<double>(sh) / dh));
    pixman_image_set_transform(src, &t);
    pixman_image_set_filter(src, PIXMAN_FILTER_BILINEAR, nullptr, 0);
    pixman_image_set_repeat(src, PIXMAN_REPEAT_PAD);
    pixman_image_composite32(PIXMAN_OP_SRC, src, nullptr, dst, 0, 0, 0, 0, 0, 0, dw, dh);
    pixman_image_unref(src);
    pixman_image_unref(dst);
    std::vector<uint8_t> result(static_cast<size_t>(dw) * dh);
    auto* outBytes = reinterpret_cast<const uint8_t*>(out.data());
    for (int y = 0; y < dh; ++y) std::copy_n(outBytes + y * dstPitch, dw, result.begin() + y * dw);
    return result;
}

struct Diff {
    int max = 0;
    double mean = 0;
};
Diff Compare(const uint8_t* plane, size_t stride, int n, int c, int w, int h, const std::vector<uint8_t>& ref) {
    Diff d;
    uint64_t sum = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            int e = std::abs(plane[y * stride + x * n + c] - ref[static_cast<size_t>(y) * w + x]);
            d.max = std::max(d.max, e);
            sum += static_cast<uint64_t>(e);
        }
    d.mean = static_cast<double>(sum) / (static_cast<double>(w) * h);
    return d;
}

struct Case {
    int sw, sh, dw, dh;
    Content content;
};
const Case kCases[] = {
    {704, 576, 480, 270, Content::kPattern},   // a 4x4 split of D1 on 1080p
    {704, 576, 960, 540, Content::kPattern},   // a 2x2 split
    {704, 576, 1920, 1080, Content::kPattern}, // full screen
    {704, 576, 352, 288, Content::kNoise},     // exactly half
    {352, 288, 704, 576, Content::kNoise},     // exactly double
    {1920, 1080, 704, 576, Content::kGradient},
    {33, 17, 101, 61, Content::kNoise},        // odd sizes both ways
    {101, 61, 33, 17, Content::kGradient},
    {7, 5, 2, 2, Content::kNoise},             // tiny
    {1, 1, 64, 48, Content::kNoise},           // one pixel fills the picture
    {640, 2, 640, 480, Content::kGradient},    // one axis only
    {640, 480, 320, 480, Content::kNoise},
};

class ScalerReferenceTest : public ::testing::TestWithParam<Case> {};

TEST_P(ScalerReferenceTest, MatchesPixmanBilinearOnEveryPlane) {
    const Case& k = GetParam();
    Picture src(k.sw, k.sh), dst(k.dw, k.dh);
    Fill(src, k.content, static_cast<uint32_t>(k.sw * 31 + k.dw));
    Yuv420SpScaler scaler;
    ASSERT_TRUE(scaler.Scale(src.Planes(), dst.Planes()));
    Yuv420SpPlanes s = src.Planes(), d = dst.Planes();
    const int scw = (k.sw + 1) / 2, sch = (k.sh + 1) / 2, dcw = (k.dw + 1) / 2, dch = (k.dh + 1) / 2;
    struct PlaneCheck {
        const char* name;
        Diff diff;
    } checks[] = {
        {"luma", Compare(d.y, d.yStride, 1, 0, k.dw, k.dh, PixmanScale(s.y, s.yStride, k.sw, k.sh, 1, 0, k.dw, k.dh))},
        {"chroma 0", Compare(d.uv, d.uvStride, 2, 0, dcw, dch, PixmanScale(s.uv, s.uvStride, scw, sch, 2, 0, dcw, dch))},
        {"chroma 1", Compare(d.uv, d.uvStride, 2, 1, dcw, dch, PixmanScale(s.uv, s.uvStride, scw, sch, 2, 1, dcw, dch))},
    };
    for (const PlaneCheck& p : checks) {
        // Both round weights (8 bits here, 7 in pixman), and pixman its scale factor to 16 bits, which
        // moves its far samples by up to a fiftieth of a pixel on a sharp edge.
        EXPECT_LE(p.diff.max, 8) << p.name;
        if (k.dw * k.dh >= 256) {
            EXPECT_LT(p.diff.mean, 0.6) << p.name;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, ScalerReferenceTest, ::testing::ValuesIn(kCases));

// Every instruction-set variant gives the plain loops' bytes, at sizes around the vector widths (the
// vector loops leave the last pixels of a row to the plain ones) and at the edges where a gather would
// read past a row. The buffers are exactly the pictures' size, so an overrun shows under ASan.
TEST(ScalerTest, EveryVariantGivesThePlainBytes) {
    const Case cases[] = {
        {1920, 1080, 704, 576, Content::kNoise},     {960, 540, 176, 144, Content::kExtremes},
        {960, 540, 240, 134, Content::kPattern},     {640, 360, 240, 270, Content::kNoise},
        {352, 288, 960, 540, Content::kExtremes},    {352, 288, 480, 270, Content::kNoise},
        {704, 576, 704, 288, Content::kNoise},       {352, 144, 352, 288, Content::kExtremes},
        {97, 33, 65, 31, Content::kNoise},           {65, 31, 97, 33, Content::kNoise},
        {5, 4, 67, 35, Content::kExtremes},          {4, 4, 33, 17, Content::kNoise},
        {33, 17, 1, 1, Content::kNoise},             {2, 2, 64, 64, Content::kExtremes},
        {130, 66, 63, 65, Content::kExtremes},       {63, 65, 130, 66, Content::kExtremes},
    };
    for (ScalerIsa isa : {ScalerIsa::kSse2, ScalerIsa::kAvx2}) {
        Yuv420SpScaler vector(isa), plain(ScalerIsa::kPortable);
        if (vector.Isa() != isa) continue;  // not on this processor
        for (const Case& k : cases) {
            Picture src(k.sw, k.sh), want(k.dw, k.dh), got(k.dw, k.dh);
            Fill(src, k.content, static_cast<uint32_t>(k.sw + k.dh));
            ASSERT_TRUE(plain.Scale(src.Planes(), want.Planes()));
            ASSERT_TRUE(vector.Scale(src.Planes(), got.Planes()));
            EXPECT_EQ(want.bytes, got.bytes) << "variant " << static_cast<int>(isa) << ": " << k.sw << "x" << k.sh
                                             << " -> " << k.dw << "x" << k.dh;
        }
        // A part of a picture, whose rows are longer than it: strides and odd offsets as the display's.
        Picture screen(300, 200), part(300, 200);
        Fill(screen, Content::kNoise, 11);
        Picture src(181, 97);
        Fill(src, Content::kNoise, 12);
        part.bytes = screen.bytes;
        ASSERT_TRUE(plain.Scale(src.Planes(), screen.Planes().Sub(17, 9, 203, 151)));
        ASSERT_TRUE(vector.Scale(src.Planes(), part.Planes().Sub(17, 9, 203, 151)));
        EXPECT_EQ(screen.bytes, part.bytes) << "variant " << static_cast<int>(isa);
    }
}

TEST(ScalerTest, EqualSizesCopyExactly) {
    Picture src(98, 37), dst(98, 37);
    Fill(src, Content::kNoise, 5);
    Yuv420SpScaler scaler;
    ASSERT_TRUE(scaler.Scale(src.Planes(), dst.Planes()));
    EXPECT_EQ(src.bytes, dst.bytes);
}

TEST(ScalerTest, ChromaPairsNeverMix) {
    // Flat colour with very different components: any mixing of the two bytes of a pair shows.
    Picture src(50, 30), dst(123, 77);
    Yuv420SpPlanes s = src.Planes();
    std::fill(s.y, s.y + s.yStride * s.height, 90);
    for (size_t i = 0; i < s.uvStride * 15; i += 2) {
        s.uv[i] = 20;
        s.uv[i + 1] = 230;
    }
    Yuv420SpScaler scaler;
    ASSERT_TRUE(scaler.Scale(src.Planes(), dst.Planes()));
    Yuv420SpPlanes d = dst.Planes();
    for (int y = 0; y < (d.height + 1) / 2; ++y)
        for (int x = 0; x < (d.width + 1) / 2; ++x) {
            ASSERT_EQ(d.uv[y * d.uvStride + 2 * x], 20) << x << "," << y;
            ASSERT_EQ(d.uv[y * d.uvStride + 2 * x + 1], 230) << x << "," << y;
        }
    for (int y = 0; y < d.height; ++y)
        for (int x = 0; x < d.width; ++x) ASSERT_EQ(d.y[y * d.yStride + x], 90);
}

TEST(ScalerTest, ScalingIntoAPartOfAPictureLeavesTheRestAlone) {
    Picture canvas(64, 48), src(20, 20);
    std::fill(canvas.bytes.begin(), canvas.bytes.end(), 7);
    Fill(src, Content::kNoise, 9);
    const std::vector<uint8_t> before = canvas.bytes;
    Yuv420SpPlanes part = canvas.Planes().Sub(10, 6, 30, 21);
    Yuv420SpScaler scaler;
    ASSERT_TRUE(scaler.Scale(src.Planes(), part));
    Yuv420SpPlanes c = canvas.Planes();
    for (int y = 0; y < c.height; ++y)
        for (int x = 0; x < c.width; ++x) {
            bool inside = x >= 10 && x < 40 && y >= 6 && y < 27;
            if (!inside) {
                ASSERT_EQ(c.y[y * c.yStride + x], 7) << x << "," << y;
            }
        }
    // Chroma rows 3 to 13 (luma rows 6 to 26), pairs 5 to 19 (luma columns 10 to 39).
    for (int y = 0; y < (c.height + 1) / 2; ++y)
        for (int x = 0; x < c.width; ++x) {
            bool inside = x >= 10 && x < 40 && y >= 3 && y < 14;
            if (!inside) {
                ASSERT_EQ(c.uv[y * c.uvStride + x], 7) << x << "," << y;
            }
        }
    EXPECT_NE(before, canvas.bytes);
}

TEST(ScalerTest, SubPicturesAlignToEvenAndClip) {
    Picture p(64, 48);
    const Yuv420SpPlanes whole = p.Planes();
    struct {
        int x, y, w, h;
        int ox, oy, ow, oh;  // expected offset and size
    } cases[] = {
        {0, 0, 64, 48, 0, 0, 64, 48},
        {3, 5, 10, 10, 2, 4, 10, 10},     // odd corner rounds down
        {60, 40, 10, 10, 60, 40, 4, 8},   // clipped at the far edges
        {-4, -2, 10, 10, 0, 0, 6, 8},     // what lies before the corner is cut off
        {64, 0, 10, 10, 0, 0, 0, 0},      // wholly outside: empty
        {10, 10, 0, 5, 0, 0, 0, 0},
    };
    for (const auto& k : cases) {
        Yuv420SpPlanes s = whole.Sub(k.x, k.y, k.w, k.h);
        EXPECT_EQ(s.width, k.ow) << k.x << "," << k.y;
        EXPECT_EQ(s.height, k.oh) << k.x << "," << k.y;
        if (k.ow == 0) {
            EXPECT_TRUE(s.IsEmpty());
            continue;
        }
        EXPECT_EQ(s.y, whole.y + k.oy * whole.yStride + k.ox);
        EXPECT_EQ(s.uv, whole.uv + (k.oy / 2) * whole.uvStride + k.ox);
    }
}

TEST(ScalerTest, EmptyPicturesAreRefused) {
    Picture a(16, 16), b(16, 16);
    const std::vector<uint8_t> before = b.bytes;
    Yuv420SpScaler scaler;
    Yuv420SpPlanes none = a.Planes();
    none.width = 0;
    EXPECT_FALSE(scaler.Scale(none, b.Planes()));
    EXPECT_FALSE(scaler.Scale(a.Planes(), b.Planes().Sub(0, 0, 0, 0)));
    Yuv420SpPlanes noChroma = a.Planes();
    noChroma.uv = nullptr;
    EXPECT_FALSE(scaler.Scale(noChroma, b.Planes()));
    EXPECT_EQ(before, b.bytes);
}

TEST(ScalerTest, ChangingSizesRebuildsTheTables) {
    // One scaler over alternating sizes gives what a fresh scaler gives for each.
    Picture src(90, 60), small(30, 20), large(200, 150);
    Fill(src, Content::kNoise, 3);
    Yuv420SpScaler shared;
    for (int round = 0; round < 2; ++round) {
        for (Picture* dst : {&small, &large}) {
            Picture fresh(dst->width, dst->height);
            Yuv420SpScaler own;
            ASSERT_TRUE(own.Scale(src.Planes(), fresh.Planes()));
            ASSERT_TRUE(shared.Scale(src.Planes(), dst->Planes()));
            EXPECT_EQ(fresh.bytes, dst->bytes) << dst->width;
        }
    }
}

}  // namespace
}  // namespace varnelle::drivers
