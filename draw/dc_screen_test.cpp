// Screen contexts: drawing into graphics layer 0 around the mouse cursor. Every operation lifts the
// cursor over all it draws and puts it back on every path, so with the cursor taken off at the end the
// layer equals a memory context that drew the same, whatever the cursor did meanwhile.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/font/font_manager.h"
#include "draw/cursor.h"
#include "draw/dc.h"
#include "draw/locales.h"
#include "draw/testing/cairo_compare.h"
#include "draw/testing/dc_fixture.h"
#include "draw/testing/test_util.h"

namespace {

using varnelle::draw::testing::Snapshot;
using varnelle::draw::testing::TempDir;
using varnelle::draw::testing::TestLayer;
using varnelle::draw_testing::MatchesWithin;
using varnelle::draw_testing::Picture;
using varnelle::draw_testing::PixelFormat;

constexpr int kW = 120;
constexpr int kH = 90;

const auto* const kEnv =
    ::testing::AddGlobalTestEnvironment(new varnelle::draw::testing::LayerEnvironment(kW, kH, kFormatRgb565));

// Text in a TrueType face, whose glyphs reach past their cells.
class FontEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        m_root = std::make_unique<TempDir>("screen-font");
        const std::string fonts = m_root->Path() + "/data/Fonts";
        std::filesystem::create_directories(fonts);
        std::filesystem::copy_file("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
                                   fonts + "/DejaVuSans.ttf");
        ASSERT_EQ(setenv("VARNELLE_ROOT", m_root->Path().c_str(), 1), 0);
        IFontManager::SetFontFile("/data/Fonts/DejaVuSans.ttf", "/data/Fonts/DejaVuSans.ttf");
        const Size size(14, 14);
        ASSERT_TRUE(SetDefaultFontSize(0, &size));
        CLocales::instance()->setLanguage("English");
    }
    void TearDown() override {
        unsetenv("VARNELLE_ROOT");
        m_root.reset();
    }

private:
    std::unique_ptr<TempDir> m_root;
};
const auto* const kFonts = ::testing::AddGlobalTestEnvironment(new FontEnvironment);

// A 32 x 32 cursor file whose every pixel is opaque: what it covers shows only through a lift.
std::vector<uint8_t> OpaqueCursorFile() {
    std::vector<uint8_t> f;
    auto u8 = [&](uint32_t v) { f.push_back(static_cast<uint8_t>(v)); };
    auto u16 = [&](uint32_t v) { u8(v), u8(v >> 8); };
    auto u32 = [&](uint32_t v) { u16(v), u16(v >> 16); };
    u16(0), u16(2), u16(1);                              // directory: one cursor
    u8(32), u8(32), u8(2), u8(0), u16(3), u16(4);        // entry: size, colours, hot spot (3, 4)
    u32(40 + 8 + 256), u32(22);
    u32(40), u32(32), u32(64), u16(1), u16(1);           // bitmap header: 32 x 64, one bit
    u32(0), u32(256), u32(0), u32(0), u32(2), u32(0);
    u32(0), u32(0x00FFFFFF);                             // palette
    for (int r = 0; r < 32; ++r) u32(r % 3 == 0 ? 0xFFFFFFFFu : 0x0F0F0F0Fu);  // XOR rows: light or dark
    for (int r = 0; r < 32; ++r) u32(0);                 // AND rows: opaque
    return f;
}

class ScreenTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Files are read under the font environment's root.
        const char* root = std::getenv("VARNELLE_ROOT");
        ASSERT_NE(root, nullptr);
        const std::vector<uint8_t> file = OpaqueCursorFile();
        std::ofstream(std::string(root) + "/opaque.cur", std::ios::binary)
            .write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
        ASSERT_EQ(CCursor::instance()->MakeCursor("/opaque.cur", 0), 1);
        CCursor::instance()->setCursor(0);
    }
    void SetUp() override {
        CCursor* cursor = CCursor::instance();
        cursor->show(false);
        cursor->enable(false);
        std::memset(Layer().pixels(0), 0, size_t(kW) * kH * 2);
        std::memset(Layer().pixels(1), 0, size_t(kW) * kH * 2);
        cursor->enable(true);
        cursor->show(true);
    }
    void TearDown() override {
        CCursor::instance()->show(false);
        CCursor::instance()->enable(false);
    }
    static TestLayer& Layer() { return *TestLayer::Get(0); }
    static Picture Screen(int buffer = 0) {
        return Picture::FromMemory(Layer().pixels(buffer), kW * 2, kW, kH, PixelFormat::kRgb565);
    }
};

TEST_F(ScreenTest, ScreenContextsStartDisabledAndDrawIntoTheirBuffer) {
    CCursor::instance()->show(false);
    for (int kind : {0, 1}) {
        CDC dc(kind, kW, kH);
        EXPECT_FALSE(dc.IsEnabled());
        dc.SetPen(0xFFFFFF, 0, 1);
        dc.MoveTo(0, 0);
        EXPECT_FALSE(dc.LineTo(50, 20));
        EXPECT_EQ(Screen(kind).Pixels(), Picture(kW, kH).Pixels()) << kind;
        dc.Enable(true);
        EXPECT_TRUE(dc.IsEnabled());
        EXPECT_EQ(dc.Bits(), reinterpret_cast<uint8_t*>(Layer().pixels(kind)));
        dc.MoveTo(0, 0);
        EXPECT_TRUE(dc.LineTo(50, 20));
        EXPECT_EQ(Layer().Pixel(kind, 50, 20), 0xFFFF) << kind;
        EXPECT_EQ(Screen(1 - kind).Pixels(), Picture(kW, kH).Pixels()) << kind;
        std::memset(Layer().pixels(kind), 0, size_t(kW) * kH * 2);
    }
}

// One drawing operation with its arguments, for a screen and a memory context alike.
using Op = std::function<void(CDC&)>;

// `near`, when given, receives a point the operation draws close to.
Op RandomOp(std::mt19937& rng, Point* near = nullptr) {
    auto c = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    const int pen = c(0, 4);
    const int style = c(0, 3) == 0 ? kPenDotted : 0;
    const uint32_t colour = uint32_t(rng()) & 0xFFFFFF;
    const uint32_t brush = uint32_t(rng()) & 0xFFFFFF;
    const int kind = c(0, 15);
    const int a = c(-20, kW + 20), b = c(-20, kH + 20), d = c(-20, kW + 20), e = c(-20, kH + 20);
    const int f = c(-20, kW + 20), g = c(-20, kH + 20);
    const int rx = c(0, 12), ry = c(0, 12), rectStyle = c(0, 15);
    static const char* const kTexts[] = {"Wj (gy)", "A quick fox\njumps", "%&@ W_W", "iiiiiiiiiiiiiiiiiiii"};
    const char* text = kTexts[c(0, 3)];
    const int textFormat = c(0, 2) | c(0, 2) << 4 | (c(0, 1) ? kTextWrap : 0);
    const int fontKind = c(0, 3) == 3 ? kFontOutline : c(0, 1);
    const int bkMode = c(0, 1);
    // Stretch lines anywhere in a 12 x 10 image, equal ones included.
    const int sx1 = c(0, 12), sx2 = c(sx1, 12), sy1 = c(0, 10), sy2 = c(sy1, 10);
    // A destination often smaller than the image's fixed corners.
    const int sw = c(1, 30), sh = c(1, 24);
    if (near != nullptr) *near = Point(a, b);
    return [=](CDC& dc) {
        dc.SetPen(colour, style, pen);
        dc.SetBrush(brush, 0);
        dc.SetRectStyle(rectStyle);
        const CRect r(a, b, d, e);
        const CRect thin(a, b, a + 1, e);  // one pixel wide: a thick border leaves it
        switch (kind) {
            case 0:
                dc.MoveTo(a, b);
                dc.LineTo(d, e);
                break;
            case 1:
                dc.Rectangle(&r, rx, ry);
                break;
            case 2:
                dc.Rectangle(&thin, 0, 0);
                break;
            case 3:
                dc.Ellipse(&r);
                break;
            case 4:
                dc.Pie(&r, f, g, a, e);
                break;
            case 5:
                dc.Chord(&r, f, g, d, b);
                break;
            case 6:
                dc.ChordCeil(&r, d, e, f, g);
                break;
            case 7: {
                const Point pts[] = {{a, b}, {d, e}, {f, g}, {a, e}};
                dc.Polygon(pts, 4);
                break;
            }
            case 8: {
                const Point pts[] = {{a, b}, {d, b}, {f, g}, {a, e}};
                dc.PolyBezier(pts, 4);
                break;
            }
            case 9:
                dc.FillTrapezoid(a, b, rx - 6, d, e, ry - 6);
                break;
            case 10:
                dc.SetPixel(a, b, colour);
                break;
            case 11: {
                dc.SetTextColor(colour, fontKind);
                dc.SetTextFormat(textFormat);
                dc.SetBkMode(bkMode);
                dc.SetBkColor(brush);
                dc.DrawText(&r, text, 100);
                break;
            }
            case 12: {
                // The image is drawn as often as the test runs: black pixels stay black only in a copy.
                std::vector<uint8_t> pixels(size_t(PaddedPitch(12)) * 10);
                for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = uint8_t(i * 29 + 3);
                DCImage image{};
                image.width = 12;
                image.height = 10;
                image.format = kFormatRgb565;
                image.pitch = PaddedPitch(12);
                image.pixels = pixels.data();
                image.x1 = sx1;
                image.x2 = sx2;
                image.y1 = sy1;
                image.y2 = sy2;
                const CRect dest(a, b, a + sw, b + sh);
                dc.DrawStretchBitmap(&dest, &image);
                break;
            }
            case 13: {
                CRegion rgn;
                const CRect second(f, g, d, e), third(a, g, f, b);
                rgn.AddRect(&r);
                rgn.AddRect(&second);
                rgn.AddRect(&third);
                dc.DrawRgn(&rgn);
                break;
            }
            case 14: {
                const Point pts[] = {{a, b}, {d, e}, {f, g}, {d, b}, {a, e}};
                dc.FillPolygonWinding(pts, 5,
                                      CRect(std::min(a, d), std::min(b, e), std::max(a, d), std::max(b, e)));
                break;
            }
            default: {
                static const std::vector<uint8_t> pixels = [] {
                    std::vector<uint8_t> v(size_t(PaddedPitch(9)) * 7);
                    for (size_t i = 0; i < v.size(); ++i) v[i] = uint8_t(i * 37 + 1);
                    return v;
                }();
                const BitmapInfo info{kFormatRgb565, pixels.data(), 7, 9};
                dc.DrawBitmap(&r, &info, rx % 9, ry % 7);
                break;
            }
        }
    };
}

TEST_F(ScreenTest, LiftsCoverEveryPixelDrawn) {
    CCursor* cursor = CCursor::instance();
    const Picture empty(kW, kH);
    // Kind 1 draws into the layer's second buffer while the cursor stays on the first.
    for (int kind : {0, 1}) {
        cursor->show(false);
        std::memset(Layer().pixels(0), 0, size_t(kW) * kH * 2);
        std::memset(Layer().pixels(1), 0, size_t(kW) * kH * 2);
        cursor->show(true);
        CDC screen(kind, kW, kH);
        screen.Enable(true);
        CDC memory(CDC::kMemory, kW, kH);
        std::mt19937 rng(31 + kind);
        for (int step = 0; step < 400; ++step) {
            Point near;
            const Op op = RandomOp(rng, &near);
            // Half the time the cursor sits by what is drawn, where a pixel drawn outside the lift
            // shows.
            if (rng() % 2 == 0) {
                cursor->setPosition(int(rng() % kW), int(rng() % kH), false);
            } else {
                cursor->setPosition(std::max(0, near.x + int(rng() % 41) - 20),
                                    std::max(0, near.y + int(rng() % 41) - 20), false);
            }
            op(screen);
            op(memory);
            cursor->show(false);
            const std::string name = "lift-" + std::to_string(kind) + "-" + std::to_string(step);
            ASSERT_TRUE(MatchesWithin(Screen(kind), Snapshot(memory), {0, 0}, name));
            if (kind == 1) {
                ASSERT_TRUE(MatchesWithin(Screen(0), empty, {0, 0}, name + "-cursor-buffer"));
            }
            cursor->show(true);
        }
    }
}

// The mouse moves the cursor from another thread while this one draws: drawing waits for moves and
// moves wait for drawing, and no pixel is lost to the cursor's saved background.
TEST_F(ScreenTest, DrawingWhileTheCursorMoves) {
    CDC screen(0, kW, kH);
    screen.Enable(true);
    CDC memory(CDC::kMemory, kW, kH);
    CCursor* cursor = CCursor::instance();
    std::atomic<bool> done{false};
    std::atomic<int> moves{0};
    std::thread mouse([&] {
        std::mt19937 r(5);
        while (!done.load()) {
            cursor->setPosition(int(r() % kW), int(r() % kH), false);
            moves.fetch_add(1);
        }
    });
    std::mt19937 rng(32);
    for (int step = 0; step < 400; ++step) {
        const Op op = RandomOp(rng);
        op(screen);
        op(memory);
    }
    // Some moves happened among the drawing.
    while (moves.load() < 50) std::this_thread::yield();
    done.store(true);
    mouse.join();
    cursor->show(false);
    EXPECT_TRUE(MatchesWithin(Screen(), Snapshot(memory), {0, 0}, "moving"));
}

// Operations that draw nothing, stop early or outline a polygon put the cursor back: another thread
// can still move it afterwards. A lift left held, or taken twice, would hang here.
TEST_F(ScreenTest, EveryPathPutsTheCursorBack) {
    CDC screen(0, kW, kH);
    screen.Enable(true);
    screen.SetPen(0xFFFFFF, 0, 3);
    screen.SetBrush(0x0000FF, 0);
    auto run = std::async(std::launch::async, [&] {
        const CRect flat(10, 10, 40, 10), thin(10, 10, 11, 40), off(-50, -50, -10, -10), fine(10, 10, 14, 12);
        const Point star[] = {{40, 5}, {60, 70}, {10, 25}, {70, 25}, {20, 70}};
        const Point curve[] = {{5, 80}, {40, -30}, {80, 120}, {115, 10}};
        for (int i = 0; i < 20; ++i) {
            screen.Ellipse(&flat);
            screen.Ellipse(&fine);
            screen.Pie(&thin, 0, 0, 1, 1);
            screen.Chord(&fine, 12, 10, 12, 10);
            screen.Rectangle(&off, 3, 3);
            screen.Polygon(star, 5);
            screen.PolyBezier(curve, 4);
            screen.DrawText(&off, "x", 1);
            std::thread([] { CCursor::instance()->setPosition(1, 1, false); }).join();
        }
        return true;
    });
    // A watchdog: a hang would never finish, and could not be joined.
    if (run.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        ADD_FAILURE() << "a screen drawing hung";
        std::fflush(stdout);
        std::_Exit(1);
    }
    EXPECT_TRUE(run.get());
}

}  // namespace
