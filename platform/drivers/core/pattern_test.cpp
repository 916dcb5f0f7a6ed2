#include "platform/drivers/core/pattern.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <string>
#include <thread>
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

constexpr PatternScene kScenes[] = {PatternScene::kFlat, PatternScene::kCamera};

const char* Name(PatternScene s) {
    return s == PatternScene::kFlat ? "flat" : "camera";
}

Picture Draw(int w, int h, int chn, uint64_t frame, int secondsOfDay = -1, size_t pad = 0,
             PatternScene scene = PatternScene::kFlat) {
    Picture p{w, h, w + pad, std::vector<uint8_t>((w + pad) * h + (w + pad) * ((h + 1) / 2) + 1, 0xEE)};
    PatternFrame f{p.buf.data(), p.stride, p.buf.data() + p.stride * h, p.stride, w, h};
    DrawTestPattern(f, chn, frame, secondsOfDay, scene);
    return p;
}

Picture Draw(PatternScene scene, int w, int h, int chn, uint64_t frame, int secondsOfDay = -1) {
    return Draw(w, h, chn, frame, secondsOfDay, 0, scene);
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
    for (PatternScene scene : kScenes) {
        for (Size sz : sizes) {
            for (int chn : {0, 7, 12, 34, 255}) {
                Picture p = Draw(scene, sz.w, sz.h, chn, 3, secondsOfDay);
                Box digits = FindBox(p, sz.w / 16, sz.h / 16);
                EXPECT_EQ(ReadLabel(p, digits), std::to_string(chn))
                    << sz.w << "x" << sz.h << " " << Name(scene);
                // Large digits; three of them are made smaller to stay clear of the signature area.
                EXPECT_GE(digits.h, chn < 100 ? sz.h / 5 : sz.h / 8)
                    << "large digits, " << sz.w << "x" << sz.h;
                EXPECT_EQ(ReadLabel(p, TimeBox(p)), "12:34:56") << sz.w << "x" << sz.h << " " << Name(scene);
            }
        }
        Picture late = Draw(scene, 704, 576, 1, 0, 23 * 3600 + 59 * 60 + 59);
        EXPECT_EQ(ReadLabel(late, TimeBox(late)), "23:59:59") << Name(scene);
    }
}

TEST(TestPatternTest, TheSignatureAreaHoldsNothingButTheChannelsColour) {
    for (auto [chn, scene] : {std::pair{0, PatternScene::kFlat}, std::pair{1, PatternScene::kCamera},
                              std::pair{15, PatternScene::kFlat}, std::pair{16, PatternScene::kCamera},
                              std::pair{33, PatternScene::kCamera}}) {
        const PatternYuv sig = PatternSignature(chn);
        for (auto [w, h] :
             {std::pair{704, 576}, std::pair{1280, 720}, std::pair{64, 48}, std::pair{355, 289}}) {
            // Whatever the bar's and the moving things' positions.
            for (uint64_t frame = 0; frame < 60; frame += 7) {
                Picture p = Draw(scene, w, h, chn, frame, 45296);
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
    for (PatternScene scene : kScenes) {
        int last = BarX(Draw(scene, w, h, 2, 0));
        EXPECT_EQ(last, 0) << Name(scene);
        for (uint64_t frame = 1; frame < 20; ++frame) {
            int x = BarX(Draw(scene, w, h, 2, frame));
            EXPECT_EQ(x, last + step) << frame << " " << Name(scene);
            last = x;
        }
    }
}

TEST(TestPatternTest, DeterministicAndDistinctPerChannelFrameAndTime) {
    for (PatternScene scene : kScenes) {
        EXPECT_EQ(Sum(Draw(scene, 64, 48, 3, 10, 100)), Sum(Draw(scene, 64, 48, 3, 10, 100))) << Name(scene);
        EXPECT_NE(Sum(Draw(scene, 64, 48, 3, 10, 100)), Sum(Draw(scene, 64, 48, 4, 10, 100))) << Name(scene);
        EXPECT_NE(Sum(Draw(scene, 64, 48, 3, 10, 100)), Sum(Draw(scene, 64, 48, 3, 11, 100))) << Name(scene);
        EXPECT_NE(Sum(Draw(scene, 176, 144, 3, 10, 100)), Sum(Draw(scene, 176, 144, 3, 10, 101)))
            << Name(scene);
    }
    EXPECT_NE(Sum(Draw(PatternScene::kFlat, 64, 48, 3, 10, 100)),
              Sum(Draw(PatternScene::kCamera, 64, 48, 3, 10, 100)));
}

TEST(TestPatternTest, StaysInsideThePictureForOddSizesAndPadding) {
    for (PatternScene scene : kScenes) {
        for (int w : {1, 2, 3, 17, 704}) {
            for (int h : {1, 3, 576}) {
                Picture p = Draw(w, h, 123, 999, 3600, 5, scene);
                EXPECT_EQ(p.buf.back(), 0xEE) << w << "x" << h << " " << Name(scene);
                // Every byte of both planes is drawn; the padding at the end of each row is untouched.
                for (int y = 0; y < h + (h + 1) / 2; ++y) {
                    for (int x = 0; x < w; ++x) ASSERT_NE(p.buf[y * p.stride + x], 0xEE) << x << "," << y;
                    for (size_t pad = 0; pad < 5; ++pad) {
                        ASSERT_EQ(p.buf[y * p.stride + w + pad], 0xEE) << w << "x" << h << " " << Name(scene);
                    }
                }
            }
        }
    }
}

// A camera's picture costs an encoder its texture and what changes from picture to picture. Measured
// on luma averaged over 4 x 4 blocks, as a picture scaled down to a sub stream's size keeps it, over
// the scene only: not the signature area, not the frame, nor where the flat picture shows a label or
// the bar in either picture.
TEST(TestPatternTest, TheCameraSceneIsTexturedAndChangesEveryPictureEvenScaledDown) {
    for (auto [w, h] : {std::pair{1920, 1080}, std::pair{704, 576}}) {
        for (uint64_t frame : {0u, 7u, 1000u}) {
            const Picture a = Draw(PatternScene::kCamera, w, h, 6, frame, 45296);
            const Picture b = Draw(PatternScene::kCamera, w, h, 6, frame + 1, 45296);
            const Picture flatA = Draw(PatternScene::kFlat, w, h, 6, frame, 45296);
            const Picture flatB = Draw(PatternScene::kFlat, w, h, 6, frame + 1, 45296);
            const PatternYuv sig = PatternSignature(6);
            const PatternRect r = PatternSignatureRect(w, h);
            double sum = 0, sum2 = 0;
            int blocks = 0, changed = 0;
            for (int by = h / 16; by + 4 <= h - h / 16; by += 4) {
                for (int bx = w / 16; bx + 4 <= w - w / 16; bx += 4) {
                    if (bx + 4 > r.x && bx < r.x + r.width && by + 4 > r.y && by < r.y + r.height) continue;
                    int ma = 0, mb = 0;
                    bool scene = true;
                    for (int y = by; y < by + 4; ++y) {
                        for (int x = bx; x < bx + 4; ++x) {
                            scene = scene && flatA.Y(x, y) == sig.y && flatB.Y(x, y) == sig.y;
                            ma += a.Y(x, y);
                            mb += b.Y(x, y);
                        }
                    }
                    if (!scene) continue;
                    changed += std::abs(ma - mb) >= 16;
                    sum += ma / 16.0;
                    sum2 += (ma / 16.0) * (ma / 16.0);
                    ++blocks;
                }
            }
            ASSERT_GT(blocks, (w / 4) * (h / 4) / 3) << "most of the picture is scene";
            const double mean = sum / blocks, spread = std::sqrt(sum2 / blocks - mean * mean);
            EXPECT_GT(spread, 12.0) << w << "x" << h << " frame " << frame << ": textured";
            // Most of it, by a level or more: a few moving things alone would not do.
            EXPECT_GT(changed, blocks / 2) << w << "x" << h << " frame " << frame << ": changes";
            EXPECT_NEAR(mean, sig.y, 16)
                << w << "x" << h << " frame " << frame << ": in the signature's luma";
        }
    }
}

// Where a picture lies in a window shows at its edges: the camera scene keeps a frame of the signature
// colour along them, which the moving things never cross.
TEST(TestPatternTest, TheCameraScenesEdgesShowTheSignatureColour) {
    for (auto [w, h] : {std::pair{352, 288}, std::pair{1920, 1080}, std::pair{64, 48}}) {
        const PatternYuv sig = PatternSignature(9);
        for (uint64_t frame = 0; frame < 400; frame += 13) {
            const Picture p = Draw(PatternScene::kCamera, w, h, 9, frame);
            // Chroma of the outer two rows and columns only: a label's chroma reaches the third.
            auto expectSig = [&](int x, int y) {
                ASSERT_EQ(p.Y(x, y), sig.y) << w << "x" << h << " frame " << frame << " at " << x << "," << y;
                if (std::min(x, w - 1 - x) > 1 || std::min(y, h - 1 - y) > 1) return;
                ASSERT_EQ(p.U(x, y), sig.u) << w << "x" << h << " frame " << frame << " at " << x << "," << y;
                ASSERT_EQ(p.V(x, y), sig.v) << w << "x" << h << " frame " << frame << " at " << x << "," << y;
            };
            // Outside the bar's band, which crosses the frame.
            for (int y = 0; y < h; ++y) {
                if (y >= h * 5 / 8 && y < h * 5 / 8 + h / 8) continue;
                for (int x : {0, 1, 2, w - 3, w - 2, w - 1}) expectSig(x, y);
            }
            for (int x = 0; x < w; ++x) {
                for (int y : {0, 1, 2, h - 3, h - 2, h - 1}) expectSig(x, y);
            }
        }
    }
}

// The scene never takes the labels' black or white: the labels and the bar are the same pixels in
// both scenes, and nothing else is black or white.
TEST(TestPatternTest, TheCameraSceneLeavesTheLabelsAndTheBarAsTheyAre) {
    for (auto [w, h] : {std::pair{704, 576}, std::pair{1920, 1080}, std::pair{176, 144}}) {
        for (uint64_t frame : {0u, 5u, 77u}) {
            // Channel 40 has the brightest signature, the scene's nearest to white.
            const Picture flat = Draw(PatternScene::kFlat, w, h, 40, frame, 86399);
            const Picture camera = Draw(PatternScene::kCamera, w, h, 40, frame, 86399);
            int wrong = 0, firstX = -1, firstY = -1;
            for (int y = 0; y < h; ++y) {
                for (int x = 0; x < w; ++x) {
                    const uint8_t f = flat.Y(x, y), c = camera.Y(x, y);
                    const bool label = f == 16 || f == 235;
                    if (label ? c == f : c > 16 && c < 235) continue;
                    if (wrong++ == 0) firstX = x, firstY = y;
                }
            }
            EXPECT_EQ(wrong, 0) << w << "x" << h << " frame " << frame << ", the first at " << firstX << ","
                                << firstY;
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

// A capture thread still draws the camera scene while the process ends: what it draws with must not go
// with the process's exit handlers (AddressSanitizer makes the child fail when it does).
TEST(TestPatternDeathTest, TheCameraSceneOutlivesTheExitHandlers) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            static std::atomic<uint64_t> drawn{0};
            // Runs after the handlers registered later (the scene's) and lets the thread draw twice more.
            std::atexit([] {
                const uint64_t at = drawn.load();
                while (drawn.load() < at + 2) std::this_thread::yield();
            });
            std::thread([] {
                for (uint64_t frame = 0;; ++frame) {
                    Draw(PatternScene::kCamera, 64, 48, 1, frame);
                    drawn.fetch_add(1);
                }
            }).detach();
            Draw(PatternScene::kCamera, 64, 48, 0, 0);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace varnelle::drivers
