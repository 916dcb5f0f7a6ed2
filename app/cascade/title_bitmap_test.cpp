#include "app/cascade/title_bitmap.h"

#include <vector>

#include <gtest/gtest.h>

namespace {

TEST(TitleBitmapTest, ColoursBecomeFiveBitsPerComponentWithoutAlpha) {
    struct Case {
        uint32_t rgb;
        uint16_t pixel;
    };
    // (R >> 3) << 10 | (G >> 3) << 5 | (B >> 3), worked out by hand.
    const Case cases[] = {
        {0x000000, 0x0000}, {0xFFFFFF, 0x7FFF}, {0xFF0000, 0x7C00}, {0x00FF00, 0x03E0},
        {0x0000FF, 0x001F}, {0x080808, 0x0421}, {0x070707, 0x0000}, {0xFF123456, 0x08CA},
    };
    for (const Case& c : cases) EXPECT_EQ(TitleColorTo1555(c.rgb), c.pixel) << std::hex << c.rgb;
}

TEST(TitleBitmapTest, BitsBecomeTextOrBackgroundPixels) {
    const uint16_t text = 0x7C00, bg = 0x001F;
    // A 16-pixel row with bytes 0x80 0x01: text colour at pixels 0 and 15 only.
    const std::vector<uint8_t> row = {0x80, 0x01};
    std::vector<uint16_t> out(16);
    ASSERT_EQ(TitleBitmapTo1555(row.data(), 16, 1, 0xFF0000, 0x0000FF, out.data()), 1);
    for (int x = 0; x < 16; ++x) EXPECT_EQ(out[x], (x == 0 || x == 15) ? text : bg) << x;
}

TEST(TitleBitmapTest, RowsOfAWidthOffTheByteGridDoNotShear) {
    const uint16_t text = 0x7FFF, bg = 0x0000;
    // 12 pixels wide: one whole byte a row; pixels 8 to 11 have no bit and take the background.
    const std::vector<uint8_t> bits = {0xFF, 0x01, 0x80};
    std::vector<uint16_t> out(12 * 3);
    ASSERT_EQ(TitleBitmapTo1555(bits.data(), 12, 3, 0xFFFFFF, 0x000000, out.data()), 1);
    for (int x = 0; x < 12; ++x) {
        EXPECT_EQ(out[x], x < 8 ? text : bg) << "row 0 pixel " << x;
        EXPECT_EQ(out[12 + x], x == 7 ? text : bg) << "row 1 pixel " << x;
        EXPECT_EQ(out[24 + x], x == 0 ? text : bg) << "row 2 pixel " << x;
    }
}

TEST(TitleBitmapTest, MissingBuffersAndEmptySidesAreRefused) {
    std::vector<uint8_t> bits(8);
    std::vector<uint16_t> out(64);
    EXPECT_EQ(TitleBitmapTo1555(nullptr, 8, 8, 0, 0, out.data()), 0);
    EXPECT_EQ(TitleBitmapTo1555(bits.data(), 8, 8, 0, 0, nullptr), 0);
    EXPECT_EQ(TitleBitmapTo1555(bits.data(), 0, 8, 0, 0, out.data()), 0);
    EXPECT_EQ(TitleBitmapTo1555(bits.data(), 8, 0, 0, 0, out.data()), 0);
    EXPECT_EQ(TitleScale(nullptr, 2, 2, 4, 4, out.data()), 0);
    EXPECT_EQ(TitleScale(out.data(), 2, 2, 0, 1, out.data()), 0);
    EXPECT_EQ(TitleScale(out.data(), 0, 2, 1, 1, out.data()), 0);
    EXPECT_EQ(TitleScaleUp(out.data(), 2, 2, 4, 4, nullptr), 0);
    EXPECT_EQ(TitleScaleDown(out.data(), 4, 4, 0, 2, out.data()), 0);
}

// Pixel values that tell their place apart; every third has the alpha bit.
std::vector<uint16_t> Numbered(int w, int h) {
    std::vector<uint16_t> v(static_cast<size_t>(w) * h);
    for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint16_t>((i % 3 == 0 ? 0x8000 : 0) | (i + 1));
    return v;
}

TEST(TitleBitmapTest, DoubleSizeRepeatsEveryPixelAsABlock) {
    const int w = 3, h = 2;
    std::vector<uint16_t> src = Numbered(w, h);
    std::vector<uint16_t> out(4 * w * h);  // exactly the destination the caller gives
    ASSERT_EQ(TitleScale(src.data(), w, h, 2 * w, 2 * h, out.data()), 1);
    for (int r = 0; r < 2 * h; ++r)
        for (int c = 0; c < 2 * w; ++c) EXPECT_EQ(out[r * 2 * w + c], src[(r / 2) * w + c / 2]) << r << "," << c;
}

TEST(TitleBitmapTest, HalfSizeSamplesEverySecondPixelAndClearsAlpha) {
    const int w = 5, h = 4;
    std::vector<uint16_t> src = Numbered(w, h);
    std::vector<uint16_t> out(static_cast<size_t>(w / 2) * (h / 2));
    ASSERT_EQ(TitleScale(src.data(), w, h, w / 2, h / 2, out.data()), 1);
    // Output (r, c) is source (2r, 2c) without its alpha bit (sources 0 and 12 have it).
    ASSERT_TRUE(src[0] & 0x8000);
    ASSERT_TRUE(src[12] & 0x8000);
    const uint16_t expect[2][2] = {{1, 3}, {11, 13}};
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 2; ++c) EXPECT_EQ(out[r * 2 + c], expect[r][c]) << r << "," << c;
}

TEST(TitleBitmapTest, RatiosOfOneCopyAtMostTheDestination) {
    // Same size: copied as it is, alpha bits kept.
    std::vector<uint16_t> src = Numbered(4, 3);
    std::vector<uint16_t> same(12);
    ASSERT_EQ(TitleScale(src.data(), 4, 3, 4, 3, same.data()), 1);
    EXPECT_EQ(same, src);
    // 5 x 5 into 4 x 4: both ratios are 1 in integer division; the copy stops at the destination's
    // 16 pixels (an overrun here shows under AddressSanitizer).
    std::vector<uint16_t> big = Numbered(5, 5);
    std::vector<uint16_t> small(16);
    ASSERT_EQ(TitleScale(big.data(), 5, 5, 4, 4, small.data()), 1);
    EXPECT_EQ(small, std::vector<uint16_t>(big.begin(), big.begin() + 16));
}

TEST(TitleBitmapTest, OneSideGrowingWhileTheOtherShrinksIsNotEnlarged) {
    std::vector<uint16_t> src = Numbered(2, 8);
    std::vector<uint16_t> out(4 * 2);
    EXPECT_EQ(TitleScale(src.data(), 2, 8, 4, 2, out.data()), 0);
}

}  // namespace
