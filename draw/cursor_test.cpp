#include "draw/cursor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "base/thread.h"
#include "draw/dev_mouse.h"
#include "draw/line_raster.h"
#include "draw/testing/printers.h"
#include "draw/testing/test_util.h"
#include "draw/testing/test_layer.h"

namespace {

using varnelle::draw::testing::RunCommand;
using varnelle::draw::testing::TempDir;
using varnelle::draw::testing::TestLayer;
using varnelle::draw::testing::TestLayerCall;

// A small layer: the cursor is off an edge in many positions.
constexpr int kW = 100;
constexpr int kH = 70;
// The cursor's two colours as ARGB1555 pixels: 0xFFFFFF and 0x080808 without the alpha bit.
constexpr uint16_t kLight = 0x7FFF;
constexpr uint16_t kDark = 0x0421;

class CursorEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        ASSERT_TRUE(varnelle::draw::testing::ConfigureTestLayers({kW, kH, kFormatArgb1555}));
        ASSERT_EQ(CGraphicsManager::instance()->RefreshSurface(0, 0), 1);
        // It announces itself when first made, which may be on the mouse thread while a test captures.
        CThreadManager::instance();
    }
};
const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new CursorEnvironment);

// A cursor file as the layout gives it; fields that the tests spoil are parameters.
struct CurSpec {
    int count = 1;
    int width = 32;
    int height = 32;
    int bits = 1;
    uint16_t hotX = 0;
    uint16_t hotY = 0;
    uint32_t offset = 22;
    size_t length = 326;
    uint32_t xorRows[32] = {};  // top row first, bit 31 leftmost
    uint32_t andRows[32] = {};
};

std::vector<uint8_t> BuildCur(const CurSpec& s) {
    std::vector<uint8_t> f;
    auto u8 = [&](uint32_t v) { f.push_back(static_cast<uint8_t>(v)); };
    auto u16 = [&](uint32_t v) { u8(v); u8(v >> 8); };
    auto u32 = [&](uint32_t v) { u16(v); u16(v >> 16); };
    u16(0), u16(2), u16(uint32_t(s.count));                        // directory
    u8(uint32_t(s.width)), u8(uint32_t(s.height)), u8(2), u8(0);   // entry
    u16(s.hotX), u16(s.hotY), u32(40 + 8 + 256), u32(s.offset);
    u32(40), u32(32), u32(64), u16(1), u16(uint32_t(s.bits));      // bitmap header
    u32(0), u32(256), u32(0), u32(0), u32(2), u32(0);
    u32(0), u32(0x00FFFFFF);                                        // palette: black, white
    for (const uint32_t* rows : {s.xorRows, s.andRows}) {
        for (int r = 31; r >= 0; --r) {  // bottom row first, most significant bit leftmost
            u8(rows[r] >> 24), u8(rows[r] >> 16), u8(rows[r] >> 8), u8(rows[r]);
        }
    }
    f.resize(s.length);
    return f;
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& data) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

CurSpec RandomSpec(std::mt19937& rng) {
    CurSpec s;
    s.hotX = static_cast<uint16_t>(rng() % 32);
    s.hotY = static_cast<uint16_t>(rng() % 32);
    for (int r = 0; r < 32; ++r) {
        s.xorRows[r] = static_cast<uint32_t>(rng());
        s.andRows[r] = static_cast<uint32_t>(rng());
    }
    return s;
}

bool Bit(const uint32_t rows[32], int r, int c) {
    return (rows[r] >> (31 - c)) & 1;
}

// What a screen pixel p shows under image pixel (r, c): see-through (AND 1) keeps it, inverted where
// XOR is 1; opaque (AND 0) shows the light or dark colour; a non-zero pixel never turns 0.
uint16_t Shows(const CurSpec& s, int r, int c, uint16_t p) {
    uint16_t q;
    if (Bit(s.andRows, r, c)) {
        q = Bit(s.xorRows, r, c) ? static_cast<uint16_t>(~p) : p;
    } else {
        q = Bit(s.xorRows, r, c) ? kLight : kDark;
    }
    return p != 0 && q == 0 ? 1 : q;
}

TestLayer& Layer() {
    return *TestLayer::Get(0);
}

std::vector<uint16_t> Surface() {
    const uint16_t* p = Layer().pixels(0);
    return std::vector<uint16_t>(p, p + kW * kH);
}

void SetSurface(const std::vector<uint16_t>& v) {
    std::memcpy(Layer().pixels(0), v.data(), v.size() * 2);
}

// The test's own picture of the cursor: what each slot holds and what the cursor shows.
struct Model {
    std::optional<CurSpec> slots[CCursor::kImageCount];
    int index = 0;
    bool enabled = false;
    bool shown = false;
    int x = 0;
    int y = 0;

    std::vector<uint16_t> Expect(const std::vector<uint16_t>& shadow) const {
        std::vector<uint16_t> want = shadow;
        if (!enabled || !shown || !slots[index]) return want;
        const CurSpec& s = *slots[index];
        for (int r = 0; r < 32; ++r) {
            for (int c = 0; c < 32; ++c) {
                const int px = x - s.hotX + c, py = y - s.hotY + r;
                if (px < 0 || py < 0 || px >= kW || py >= kH) continue;
                want[py * kW + px] = Shows(s, r, c, shadow[py * kW + px]);
            }
        }
        return want;
    }
};

// Puts the cursor into a known state: off, at (x, y), image index, and returns the surface as the
// shadow (what the screen holds without the cursor).
std::vector<uint16_t> Reset(Model& m, int index = 0) {
    CCursor* cursor = CCursor::instance();
    cursor->enable(false);
    cursor->show(false);
    cursor->setCursor(index);
    cursor->setPosition(kW / 2, kH / 2, false);
    m.enabled = m.shown = false;
    m.index = cursor->getCursor();
    m.x = kW / 2;
    m.y = kH / 2;
    return Surface();
}

::testing::AssertionResult SameScreen(const std::vector<uint16_t>& got, const std::vector<uint16_t>& want) {
    for (int i = 0; i < kW * kH; ++i) {
        if (got[i] != want[i]) {
            return ::testing::AssertionFailure() << "pixel (" << i % kW << ", " << i / kW << ") is " << got[i]
                                                 << ", wants " << want[i];
        }
    }
    return ::testing::AssertionSuccess();
}

TEST(CursorFileTest, ImagesReadAsPillowReadsThem) {
    TempDir dir("cursor");
    ASSERT_FALSE(dir.Path().empty());
    std::mt19937 rng(11);
    std::vector<CurSpec> specs;
    std::string files;
    for (int i = 0; i < 12; ++i) {
        specs.push_back(RandomSpec(rng));
        const std::string path = dir.File("c" + std::to_string(i) + ".cur");
        WriteFile(path, BuildCur(specs.back()));
        files += " " + path;
    }
    // Pillow's reading of each file: its size, then the XOR plane as 32 rows of hex, top row first.
    std::ofstream(dir.File("read.py")) << "import sys\n"
                                          "from PIL import Image\n"
                                          "for path in sys.argv[1:]:\n"
                                          "    im = Image.open(path)\n"
                                          "    im.load()\n"
                                          "    print(im.size[0], im.size[1])\n"
                                          "    px = im.load()\n"
                                          "    for y in range(im.size[1]):\n"
                                          "        v = 0\n"
                                          "        for x in range(im.size[0]):\n"
                                          "            v = v << 1 | (1 if px[x, y] else 0)\n"
                                          "        print('%08x' % v)\n";
    int status = 0;
    std::istringstream pil(RunCommand(std::string(DRAW_PIL_PYTHON) + " " + dir.File("read.py") + files, &status));
    ASSERT_EQ(status, 0) << "Pillow could not read the files";

    CCursor* cursor = CCursor::instance();
    for (size_t i = 0; i < specs.size(); ++i) {
        int w = 0, h = 0;
        pil >> w >> h;
        ASSERT_EQ(w, 32);
        ASSERT_EQ(h, 32);
        const int slot = static_cast<int>(i % 4) + 5;
        ASSERT_EQ(cursor->MakeCursor(dir.File("c" + std::to_string(i) + ".cur").c_str(), slot), 1);
        CCursor::CursorImage image;
        ASSERT_TRUE(cursor->GetImage(slot, &image));
        EXPECT_TRUE(image.valid);
        EXPECT_EQ(image.hotX, specs[i].hotX);
        EXPECT_EQ(image.hotY, specs[i].hotY);
        for (int r = 0; r < 32; ++r) {
            std::string hex;
            pil >> hex;
            const uint32_t pilRow = static_cast<uint32_t>(std::stoul(hex, nullptr, 16));
            for (int c = 0; c < 32; ++c) {
                const bool pilXor = (pilRow >> (31 - c)) & 1;
                const bool andBit = Bit(specs[i].andRows, r, c);
                const uint16_t colour = image.colour[r * 32 + c];
                ASSERT_EQ(image.mask[r * 32 + c], andBit ? 0xFFFF : 0) << "file " << i << " row " << r << " col " << c;
                if (andBit) {
                    ASSERT_EQ(colour, pilXor ? 0xFFFF : 0) << "file " << i << " row " << r << " col " << c;
                } else {
                    ASSERT_EQ(colour, pilXor ? kLight : kDark) << "file " << i << " row " << r << " col " << c;
                }
            }
        }
    }
}

TEST(CursorFileTest, BadFilesAreRefusedAndLeaveTheSlotInvalid) {
    TempDir dir("cursor");
    std::mt19937 rng(3);
    CCursor* cursor = CCursor::instance();
    const std::string good = dir.File("good.cur");
    WriteFile(good, BuildCur(RandomSpec(rng)));
    struct Case {
        const char* name;
        CurSpec spec;
        const char* message;
    };
    std::vector<Case> cases(6);
    cases[0] = {"two", {}, "CCursor::MakeCursor() Not single monochrome cursor file, cann't use. 2 1\n"};
    cases[0].spec.count = 2;
    cases[1] = {"four-bit", {}, "CCursor::MakeCursor() Not single monochrome cursor file, cann't use. 1 4\n"};
    cases[1].spec.bits = 4;
    cases[2] = {"small", {}, "CCursor::MakeCursor() Not 32*32 cursor file, cann't use. 16 16\n"};
    cases[2].spec.width = cases[2].spec.height = 16;
    cases[3] = {"cut", {}, "CCursor::MakeCursor() Bad cursor file, cann't use. 325 0\n"};
    cases[3].spec.length = 325;
    cases[4] = {"offset", {}, "CCursor::MakeCursor() Bad cursor file, cann't use. 326 30\n"};
    cases[4].spec.offset = 30;
    cases[5] = {"header", {}, "CCursor::MakeCursor() Bad cursor file, cann't use. 10 0\n"};
    cases[5].spec.length = 10;
    for (const Case& c : cases) {
        ASSERT_EQ(cursor->MakeCursor(good.c_str(), 6), 1);
        const std::string path = dir.File(std::string(c.name) + ".cur");
        WriteFile(path, BuildCur(c.spec));
        testing::internal::CaptureStdout();
        EXPECT_EQ(cursor->MakeCursor(path.c_str(), 6), 0) << c.name;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.message);
        CCursor::CursorImage image;
        ASSERT_TRUE(cursor->GetImage(6, &image));
        EXPECT_FALSE(image.valid) << c.name;
    }
    for (auto [path, index] : std::vector<std::pair<std::string, int>>{
             {dir.File("missing.cur"), 6}, {good, 9}, {good, -1}, {dir.File("empty.cur"), 6}}) {
        if (path == dir.File("empty.cur")) WriteFile(path, {});
        testing::internal::CaptureStdout();
        EXPECT_EQ(cursor->MakeCursor(path.c_str(), index), 0) << path << " " << index;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "CCursor::MakeCursor() parameter error!!!!!!!!!\n");
    }
    EXPECT_EQ(cursor->MakeCursor(nullptr, 6), 0);
    CCursor::CursorImage image;
    EXPECT_FALSE(cursor->GetImage(9, &image));
}

class CursorTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_dir.Path().empty());
        m_shadow = Reset(m_model);
    }
    // Loads spec into slot index, keeping the model in step.
    void Load(const CurSpec& spec, int index) {
        const std::string path = m_dir.File("s" + std::to_string(m_files++) + ".cur");
        WriteFile(path, BuildCur(spec));
        ASSERT_EQ(CCursor::instance()->MakeCursor(path.c_str(), index), 1);
        m_model.slots[index] = spec;
    }
    void Show() {
        CCursor::instance()->enable(true);
        CCursor::instance()->show(true);
        m_model.enabled = m_model.shown = true;
    }

    TempDir m_dir{"cursor"};
    int m_files = 0;
    Model m_model;
    std::vector<uint16_t> m_shadow;
};

TEST_F(CursorTest, PositionsAreClampedToTheSurface) {
    CCursor* cursor = CCursor::instance();
    struct Case {
        int x, y, wantX, wantY;
    };
    for (const Case& c : std::vector<Case>{{10000, 10000, kW - 1, kH - 1}, {-5, -7, 0, 0}, {kW, 3, kW - 1, 3},
                                           {0, kH - 1, 0, kH - 1}}) {
        Layer().ClearCalls();
        cursor->setPosition(c.x, c.y, false);
        Point p;
        cursor->getPosition(&p);
        EXPECT_EQ(p, Point(c.wantX, c.wantY));
        // The layer hears of the move, then of the whole screen.
        const std::vector<TestLayerCall> calls = Layer().Calls();
        ASSERT_EQ(calls.size(), 2u);
        EXPECT_EQ(calls[0].op, TestLayerCall::kSetCursorPos);
        EXPECT_EQ(calls[0].a, c.wantX);
        EXPECT_EQ(calls[0].b, c.wantY);
        EXPECT_EQ(calls[1].op, TestLayerCall::kUpdate);
        EXPECT_EQ(calls[1].rect, CRect(0, 0, kW, kH));
        EXPECT_EQ(calls[1].a, 0);
    }
    cursor->setPosition(12, 34, true);
    EXPECT_EQ(CDevMouse::instance()->getPosition(), Point(12, 34));
}

TEST_F(CursorTest, DrawnOnlyWhileEnabledAndShown) {
    std::mt19937 rng(8);
    Load(RandomSpec(rng), 0);
    CCursor* cursor = CCursor::instance();
    cursor->enable(true);
    EXPECT_TRUE(SameScreen(Surface(), m_shadow)) << "enabled, not shown";
    cursor->show(true);
    m_model.enabled = m_model.shown = true;
    EXPECT_TRUE(SameScreen(Surface(), m_model.Expect(m_shadow)));
    EXPECT_FALSE(SameScreen(Surface(), m_shadow));
    cursor->enable(false);
    EXPECT_TRUE(SameScreen(Surface(), m_shadow));
    cursor->enable(true);
    cursor->show(false);
    EXPECT_TRUE(SameScreen(Surface(), m_shadow));
}

TEST_F(CursorTest, WhiteUnderInversionStaysVisible) {
    CurSpec invert;
    CurSpec through;
    for (int r = 0; r < 32; ++r) {
        invert.xorRows[r] = invert.andRows[r] = 0xFFFFFFFF;
        through.andRows[r] = 0xFFFFFFFF;
    }
    std::vector<uint16_t> white(kW * kH, 0xFFFF);
    white[(kH / 2 + 1) * kW + kW / 2 + 1] = 0x1234;
    SetSurface(white);
    Load(invert, 1);
    Load(through, 2);
    CCursor* cursor = CCursor::instance();
    cursor->setCursor(1);
    Show();
    EXPECT_EQ(Layer().Pixel(0, kW / 2, kH / 2), 0x0001);
    EXPECT_EQ(Layer().Pixel(0, kW / 2 + 1, kH / 2 + 1), 0xEDCB);
    EXPECT_EQ(Layer().Pixel(0, kW / 2 + 32, kH / 2), 0xFFFF) << "outside the cursor";
    cursor->setCursor(2);
    EXPECT_TRUE(SameScreen(Surface(), white)) << "a see-through image keeps every pixel";
    cursor->enable(false);
    EXPECT_TRUE(SameScreen(Surface(), white));
}

// Random moves, image changes (also of the image on show, and to empty slots), enable and show, and
// drawing guarded by rectangle and by line: after every step the screen is the shadow (drawn without
// the cursor) with the cursor on top, and taking the cursor off leaves exactly the shadow.
TEST_F(CursorTest, RandomUseLeavesTheScreenAsDrawnWithoutIt) {
    std::mt19937 rng(21);
    CCursor* cursor = CCursor::instance();
    for (auto& v : m_shadow) v = static_cast<uint16_t>(rng());
    SetSurface(m_shadow);
    for (int i = 0; i < 3; ++i) Load(RandomSpec(rng), i);
    const std::string bad = m_dir.File("bad.cur");
    CurSpec badSpec;
    badSpec.length = 200;
    WriteFile(bad, BuildCur(badSpec));

    std::uniform_int_distribution<int> xs(-40, kW + 40), ys(-40, kH + 40), op(0, 9);
    for (int step = 0; step < 3000; ++step) {
        const int o = op(rng);
        switch (o) {
            case 0:
            case 1: {
                const int x = xs(rng), y = ys(rng);
                cursor->setPosition(x, y, false);
                m_model.x = std::clamp(x, 0, kW - 1);
                m_model.y = std::clamp(y, 0, kH - 1);
                break;
            }
            case 2: {
                const int index = static_cast<int>(rng() % 5);  // slots 3 and 4 hold nothing
                cursor->setCursor(index);
                m_model.index = index;
                break;
            }
            case 3:
                m_model.enabled = rng() % 4 != 0;
                cursor->enable(m_model.enabled);
                break;
            case 4:
                m_model.shown = rng() % 4 != 0;
                cursor->show(m_model.shown);
                break;
            case 5: {
                const int index = static_cast<int>(rng() % 3);
                if (rng() % 3 == 0) {
                    testing::internal::CaptureStdout();
                    ASSERT_EQ(cursor->MakeCursor(bad.c_str(), index), 0);
                    testing::internal::GetCapturedStdout();
                    m_model.slots[index].reset();
                } else {
                    Load(RandomSpec(rng), index);
                }
                break;
            }
            case 6:
            case 7: {  // a guarded fill
                int l = xs(rng), t = ys(rng);
                const CRect r(l, t, l + static_cast<int>(rng() % 50), t + static_cast<int>(rng() % 50));
                const auto v = static_cast<uint16_t>(rng());
                cursor->guardRect(0, &r);
                CRect on;
                if (on.IntersectRect(&r, CRect(0, 0, kW, kH))) {
                    for (int y = on.top; y < on.bottom; ++y) {
                        for (int x = on.left; x < on.right; ++x) {
                            Layer().pixels(0)[y * kW + x] = v;
                            m_shadow[y * kW + x] = v;
                        }
                    }
                }
                cursor->guardRect(1, &r);
                break;
            }
            default: {  // a guarded line, drawn with the line's own pixels
                const int x1 = xs(rng), y1 = ys(rng), x2 = xs(rng), y2 = ys(rng);
                const auto v = static_cast<uint16_t>(rng());
                cursor->guardLine(0, x1, y1, x2, y2);
                const LineRaster line(x1, y1, x2, y2);
                for (int64_t i = 0; i <= line.Steps(); ++i) {
                    const Point p = line.PixelAt(i);
                    if (p.x < 0 || p.y < 0 || p.x >= kW || p.y >= kH) continue;
                    Layer().pixels(0)[p.y * kW + p.x] = v;
                    m_shadow[p.y * kW + p.x] = v;
                }
                cursor->guardLine(1, x1, y1, x2, y2);
                break;
            }
        }
        ASSERT_TRUE(SameScreen(Surface(), m_model.Expect(m_shadow))) << "step " << step << " op " << o;
    }
    Show();
    varnelle::draw::testing::TraceLayer("cursor-random");
    cursor->show(false);
    EXPECT_TRUE(SameScreen(Surface(), m_shadow));
}

// Moves from another thread while this one draws under the guard: the drawing never loses a pixel
// to the cursor's saved background.
TEST_F(CursorTest, MovesDuringGuardedDrawing) {
    std::mt19937 rng(4);
    Load(RandomSpec(rng), 0);
    Show();
    CCursor* cursor = CCursor::instance();
    std::thread mover([cursor] {
        std::mt19937 r(5);
        for (int i = 0; i < 3000; ++i) cursor->setPosition(int(r() % kW), int(r() % kH), false);
    });
    for (int i = 0; i < 1500; ++i) {
        const int l = static_cast<int>(rng() % kW), t = static_cast<int>(rng() % kH);
        const CRect r(l, t, std::min(kW, l + 1 + int(rng() % 40)), std::min(kH, t + 1 + int(rng() % 40)));
        const auto v = static_cast<uint16_t>(rng());
        cursor->guardRect(0, &r);
        for (int y = r.top; y < r.bottom; ++y) {
            for (int x = r.left; x < r.right; ++x) Layer().pixels(0)[y * kW + x] = m_shadow[y * kW + x] = v;
        }
        cursor->guardRect(1, &r);
    }
    mover.join();
    cursor->enable(false);
    EXPECT_TRUE(SameScreen(Surface(), m_shadow));
}

}  // namespace
