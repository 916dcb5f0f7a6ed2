#include "platform/drivers/core/pattern.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace varnelle::drivers {
namespace {

// A picture with its planes, strides `w + pad`.
struct Picture {
    int w, h;
    size_t stride;
    std::vector<uint8_t> buf;
    uint8_t Y(int x, int y) const { return buf[y * stride + x]; }
    // Chroma pairs hold V (Cr) first, then U (Cb).
    uint8_t V(int x, int y) const { return buf[stride * h + (y / 2) * stride + (x & ~1)]; }
    uint8_t U(int x, int y) const { return buf[stride * h + (y / 2) * stride + (x & ~1) + 1]; }
};

Picture Draw(int w, int h, int chn, uint64_t frame, int secondsOfDay = -1, size_t pad = 0) {
    Picture p{w, h, w + pad, std::vector<uint8_t>((w + pad) * h + (w + pad) * ((h + 1) / 2) + 1, 0xEE)};
    PatternFrame f{p.buf.data(), p.stride, p.buf.data() + p.stride * h, p.stride, w, h};
    DrawTestPattern(f, chn, frame, secondsOfDay);
    return p;
}

uint64_t Sum(const Picture& p) {
    uint64_t s = 0;
    for (uint8_t b : p.buf) s = s * 131 + b;
    return s;
}

// The glyphs a person reads, drawn out by hand: '#' is lit.
const char* const kGlyphArt[11][7] = {
    {" ### ", "#   #", "#  ##", "# # #", "##  #", "#   #", " ### "},  // 0
    {"  #  ", " ##  ", "  #  ", "  #  ", "  #  ", "  #  ", " ### "},  // 1
    {" ### ", "#   #", "    #", "   # ", "  #  ", " #   ", "#####"},  // 2
    {"#####", "   # ", "  #  ", "   # ", "    #", "#   #", " ### "},  // 3
    {"   # ", "  ## ", " # # ", "#  # ", "#####", "   # ", "   # "},  // 4
    {"#####", "#    ", "#### ", "    #", "    #", "#   #", " ### "},  // 5
    {"  ## ", " #   ", "#    ", "#### ", "#   #", "#   #", " ### "},  // 6
    {"#####", "    #", "   # ", "  #  ", " #   ", " #   ", " #   "},  // 7
    {" ### ", "#   #", "#   #", " ### ", "#   #", "#   #", " ### "},  // 8
    {" ### ", "#   #", "#   #", " ####", "    #", "   # ", " ##  "},  // 9
    {"     ", " ##  ", " ##  ", "     ", " ##  ", " ##  ", "     "},  // :
};

struct Box {
    int x, y, w, h;
};

bool IsLabel(uint8_t y) { return y == 16 || y == 235; }

// The black label box that contains (x, y), grown while its pixels are black or white.
Box FindBox(const Picture& p, int x, int y) {
    int x0 = x, x1 = x, y0 = y, y1 = y;
    while (x0 > 0 && IsLabel(p.Y(x0 - 1, y))) --x0;
    while (x1 + 1 < p.w && IsLabel(p.Y(x1 + 1, y))) ++x1;
    while (y0 > 0 && IsLabel(p.Y(x0, y0 - 1))) --y0;
    while (y1 + 1 < p.h && IsLabel(p.Y(x0, y1 + 1))) ++y1;
    return Box{x0, y0, x1 - x0 + 1, y1 - y0 + 1};
}

// Reads the text of a label: the box is 9 units high, glyphs sit one unit in, 6 units apart.
std::string ReadLabel(const Picture& p, const Box& b) {
    const int s = b.h / 9;
    if (s == 0) return "?";
    const int n = (b.w - s) / (6 * s);
    std::string out;
    for (int i = 0; i < n; ++i) {
        std::string rows[7];
        for (int gy = 0; gy < 7; ++gy) {
            for (int gx = 0; gx < 5; ++gx) {
                int x = b.x + s + (i * 6 + gx) * s + s / 2, y = b.y + s + gy * s + s / 2;
                rows[gy] += p.Y(x, y) == 235 ? '#' : ' ';
            }
        }
        char c = '?';
        for (int g = 0; g < 11; ++g) {
            bool same = true;
            for (int gy = 0; gy < 7; ++gy) same = same && rows[gy] == kGlyphArt[g][gy];
            if (same) c = g == 10 ? ':' : static_cast<char>('0' + g);
        }
        out += c;
    }
    return out;
}

// The lowest black pixel of the column at x, from the bottom up: inside the time label.
Box TimeBox(const Picture& p) {
    const int x = p.w / 16 + 1;
    for (int y = p.h - 1; y > p.h / 2; --y) {
        if (p.Y(x, y) == 16) return FindBox(p, x, y);
    }
    return Box{0, 0, 0, 0};
}

TEST(TestPatternTest, ThePictureShowsTheChannelNumberAndTheTimeLegibly) {
    struct Size {
        int w, h;
    } sizes[] = {{704, 576}, {352, 288}, {1920, 1080}, {176, 144}, {704, 480}};
    const int secondsOfDay = 12 * 3600 + 34 * 60 + 56;
    for (Size sz : sizes) {
        for (int chn : {0, 7, 12, 34, 255}) {
            Picture p = Draw(sz.w, sz.h, chn, 3, secondsOfDay);
            Box digits = FindBox(p, sz.w / 16, sz.h / 16);
            EXPECT_EQ(ReadLabel(p, digits), std::to_string(chn)) << sz.w << "x" << sz.h;
            // Large digits; three of them are made smaller to stay clear of the signature area.
            EXPECT_GE(digits.h, chn < 100 ? sz.h / 5 : sz.h / 8) << "large digits, " << sz.w << "x" << sz.h;
            EXPECT_EQ(ReadLabel(p, TimeBox(p)), "12:34:56") << sz.w << "x" << sz.h;
        }
    }
    Picture late = Draw(704, 576, 1, 0, 23 * 3600 + 59 * 60 + 59);
    EXPECT_EQ(ReadLabel(late, TimeBox(late)), "23:59:59");
}

TEST(TestPatternTest, TheSignatureAreaHoldsNothingButTheChannelsColour) {
    for (int chn : {0, 1, 15, 16, 33}) {
        const PatternYuv sig = PatternSignature(chn);
        for (auto [w, h] : {std::pair{704, 576}, std::pair{1280, 720}, std::pair{64, 48}}) {
            // Whatever the bar's position.
            for (uint64_t frame = 0; frame < 60; frame += 7) {
                Picture p = Draw(w, h, chn, frame, 45296);
                PatternRect r = PatternSignatureRect(w, h);
                ASSERT_GT(r.width * r.height, w * h / 10) << "a fair part of the picture";
                for (int y = r.y; y < r.y + r.height; ++y) {
                    for (int x = r.x; x < r.x + r.width; ++x) {
                        ASSERT_EQ(p.Y(x, y), sig.y) << chn << " " << x << "," << y;
                        ASSERT_EQ(p.U(x, y), sig.u) << chn << " " << x << "," << y;
                        ASSERT_EQ(p.V(x, y), sig.v) << chn << " " << x << "," << y;
                    }
                }
            }
        }
    }
}

TEST(TestPatternTest, EveryInputChannelHasItsOwnSignature) {
    for (int a = 0; a < 48; ++a) {
        for (int b = a + 1; b < 48; ++b) {
            PatternYuv x = PatternSignature(a), y = PatternSignature(b);
            int d = std::max({std::abs(x.y - y.y), std::abs(x.u - y.u), std::abs(x.v - y.v)});
            EXPECT_GE(d, 30) << a << " and " << b << " are too alike to tell apart after coding";
        }
    }
}

// The bar at the start of the band's rows.
int BarX(const Picture& p) {
    const int y = p.h * 11 / 16;
    for (int x = 0; x < p.w; ++x) {
        if (p.Y(x, y) == 235) return x;
    }
    return -1;
}

TEST(TestPatternTest, TheBarMovesOneStepPerFrame) {
    const int w = 704, h = 576, step = w / 50;
    int last = BarX(Draw(w, h, 2, 0));
    EXPECT_EQ(last, 0);
    for (uint64_t frame = 1; frame < 20; ++frame) {
        int x = BarX(Draw(w, h, 2, frame));
        EXPECT_EQ(x, last + step) << frame;
        last = x;
    }
}

TEST(TestPatternTest, DeterministicAndDistinctPerChannelFrameAndTime) {
    EXPECT_EQ(Sum(Draw(64, 48, 3, 10, 100)), Sum(Draw(64, 48, 3, 10, 100)));
    EXPECT_NE(Sum(Draw(64, 48, 3, 10, 100)), Sum(Draw(64, 48, 4, 10, 100)));
    EXPECT_NE(Sum(Draw(64, 48, 3, 10, 100)), Sum(Draw(64, 48, 3, 11, 100)));
    EXPECT_NE(Sum(Draw(176, 144, 3, 10, 100)), Sum(Draw(176, 144, 3, 10, 101)));
}

TEST(TestPatternTest, StaysInsideThePictureForOddSizesAndPadding) {
    for (int w : {1, 2, 3, 17, 704}) {
        for (int h : {1, 3, 576}) {
            Picture p = Draw(w, h, 123, 999, 3600, 5);
            EXPECT_EQ(p.buf.back(), 0xEE) << w << "x" << h;
            // Padding bytes at the end of each row of both planes are untouched.
            for (int y = 0; y < h + (h + 1) / 2; ++y) {
                for (size_t pad = 0; pad < 5; ++pad) ASSERT_EQ(p.buf[y * p.stride + w + pad], 0xEE) << w << "x" << h;
            }
        }
    }
}

TEST(TestPatternTest, AFlatPictureIsOneColourThroughout) {
    Picture p{7, 5, 9, std::vector<uint8_t>(9 * 5 + 9 * 3, 0xEE)};
    DrawFlat(PatternFrame{p.buf.data(), 9, p.buf.data() + 9 * 5, 9, 7, 5}, PatternYuv{40, 100, 150});
    for (int y = 0; y < 5; ++y) {
        for (int x = 0; x < 7; ++x) ASSERT_EQ(p.Y(x, y), 40);
    }
    for (int y = 0; y < 5; y += 2) {
        for (int x = 0; x < 6; x += 2) {
            ASSERT_EQ(p.U(x, y), 100);
            ASSERT_EQ(p.V(x, y), 150);
        }
    }
    EXPECT_EQ(p.buf[7], 0xEE) << "padding";
}

}  // namespace
}  // namespace varnelle::drivers
