#include "platform/drivers/core/pattern.h"

#include <vector>

#include <gtest/gtest.h>

namespace varnelle::drivers {
namespace {

uint64_t Sum(const std::vector<uint8_t>& v) {
    uint64_t s = 0;
    for (uint8_t b : v) s = s * 131 + b;
    return s;
}

std::vector<uint8_t> Draw(int w, int h, int chn, uint64_t frame, size_t pad = 0) {
    std::vector<uint8_t> buf((w + pad) * h + (w + pad) * ((h + 1) / 2) + 1, 0xEE);
    PatternFrame f{buf.data(), w + pad, buf.data() + (w + pad) * h, w + pad, w, h};
    DrawTestPattern(f, chn, frame);
    return buf;
}

TEST(TestPatternTest, DeterministicAndDistinctPerChannelAndFrame) {
    EXPECT_EQ(Sum(Draw(64, 48, 3, 10)), Sum(Draw(64, 48, 3, 10)));
    EXPECT_NE(Sum(Draw(64, 48, 3, 10)), Sum(Draw(64, 48, 4, 10)));
    EXPECT_NE(Sum(Draw(64, 48, 3, 10)), Sum(Draw(64, 48, 3, 11)));
}

TEST(TestPatternTest, StaysInsideThePictureForOddSizesAndPadding) {
    for (int w : {1, 2, 3, 17, 704}) {
        for (int h : {1, 3, 576}) {
            auto buf = Draw(w, h, 123, 999, 5);
            EXPECT_EQ(buf.back(), 0xEE) << w << "x" << h;
            // Padding bytes at the end of each luma row are untouched.
            for (int y = 0; y < h; ++y) {
                for (size_t p = 0; p < 5; ++p) ASSERT_EQ(buf[y * (w + 5) + w + p], 0xEE) << w << "x" << h;
            }
        }
    }
}

}  // namespace
}  // namespace varnelle::drivers
