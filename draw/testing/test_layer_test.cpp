// The graphics manager and the GDI front over the test layers.
#include "draw/testing/test_layer.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <atomic>
#include <cstdio>
#include <sstream>
#include <thread>

#include "draw/gdi.h"
#include "draw/testing/printers.h"
#include "draw/testing/test_util.h"

namespace {

using varnelle::draw::testing::ConfigureTestLayers;
using varnelle::draw::testing::TestLayer;
using varnelle::draw::testing::TestLayerCall;
using varnelle::draw::testing::TestLayerConfig;

class LayerEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        EXPECT_FALSE(ConfigureTestLayers({640, 480, 2})) << "format 2 has no 16-bit layer";
        EXPECT_FALSE(ConfigureTestLayers({0, 480, 0}));
        ASSERT_TRUE(ConfigureTestLayers({640, 480, kFormatRgb565}));
        CGraphicsManager::instance();
    }
};
const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new LayerEnvironment);

TEST(TestLayerTest, HookMadeBothLayers) {
    CGraphicsManager* m = CGraphicsManager::instance();
    ASSERT_NE(TestLayer::Get(0), nullptr);
    ASSERT_NE(TestLayer::Get(1), nullptr);
    EXPECT_EQ(m->GetLayer(0), TestLayer::Get(0)->layer());
    EXPECT_EQ(m->GetLayer(1), TestLayer::Get(1)->layer());
    EXPECT_EQ(TestLayer::Get(1)->index(), 1);
    EXPECT_FALSE(ConfigureTestLayers({})) << "too late once the layers exist";
}

TEST(TestLayerTest, RefreshReadsAndPrintsTheSurface) {
    CGraphicsManager* m = CGraphicsManager::instance();
    TestLayer& layer = *TestLayer::Get(1);
    layer.ClearCalls();
    const int before = m->GetRefreshCount(1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(m->RefreshSurface(1, 7), 1);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(m->GetRefreshCount(1), before + 1);

    const std::vector<TestLayerCall> calls = layer.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].op, TestLayerCall::kGetSurface);
    EXPECT_EQ(calls[0].a, 7);

    GraphicsSurface s{};
    m->GetSurface(1, &s);
    EXPECT_EQ(s.mem[0], reinterpret_cast<uint8_t*>(layer.pixels(0)));
    EXPECT_EQ(s.mem[1], reinterpret_cast<uint8_t*>(layer.pixels(1)));
    EXPECT_EQ(s.mem[2], nullptr);
    EXPECT_EQ(s.pitch, 1280u);
    EXPECT_EQ(s.width, 640);
    EXPECT_EQ(s.height, 480);
    EXPECT_EQ(s.format, 1);
    CRect r;
    m->GetLayerRect(1, r);
    EXPECT_EQ(r, CRect(0, 0, 640, 480));

    char mem[128];
    std::snprintf(mem, sizeof(mem), "\t @mem = 0x%08" PRIxPTR " 0x%08" PRIxPTR " 0x00000000\n",
                  reinterpret_cast<uintptr_t>(layer.pixels(0)), reinterpret_cast<uintptr_t>(layer.pixels(1)));
    EXPECT_EQ(printed, std::string("\n@=================================\n") + mem +
                           "\t @pitch = 1280\n\t @width = 640\n\t @height = 480\n\t @foramt = 1\n"
                           "@===================================\n");
}

TEST(TestLayerTest, SettingsReachEveryLayerInOrder) {
    CGraphicsManager* m = CGraphicsManager::instance();
    for (int i = 0; i < 2; ++i) TestLayer::Get(i)->ClearCalls();
    m->ConfigureLayers(200, 5);
    m->SetColorKey(0x00FF00FF, 3);
    EXPECT_EQ(m->GetColorKey(), 0x00FF00FFu);
    for (int i = 0; i < 2; ++i) {
        const std::vector<TestLayerCall> calls = TestLayer::Get(i)->Calls();
        ASSERT_EQ(calls.size(), 2u) << "layer " << i;
        EXPECT_EQ(calls[0].op, TestLayerCall::kConfigure);
        EXPECT_EQ(calls[0].a, 200);
        EXPECT_EQ(calls[0].b, 5);
        EXPECT_EQ(calls[1].op, TestLayerCall::kSetColorKey);
        EXPECT_EQ(calls[1].a, 0x00FF00FF);
        EXPECT_EQ(calls[1].b, 3);
    }
}

TEST(TestLayerTest, GdiStartRefreshesAndConfiguresLayerZero) {
    TestLayer& layer = *TestLayer::Get(0);
    layer.ClearCalls();
    const int before = CGraphicsManager::instance()->GetRefreshCount(0);
    testing::internal::CaptureStdout();
    CGDI::instance()->start();
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed.rfind("CGDI::start()>>>>>>>>\n", 0), 0u) << printed;
    EXPECT_EQ(CGraphicsManager::instance()->GetRefreshCount(0), before + 1);
    const std::vector<TestLayerCall> calls = layer.Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].op, TestLayerCall::kGetSurface);
    EXPECT_EQ(calls[0].a, 0);
    EXPECT_EQ(calls[1].op, TestLayerCall::kConfigure);
    EXPECT_EQ(calls[1].a, 200);
    EXPECT_EQ(calls[1].b, 0);
}

// Refreshes on one thread while others read the records and set the colour key: every record read
// is whole (one refresh's), and the count adds up.
TEST(TestLayerTest, RecordsReadWhileRefreshed) {
    CGraphicsManager* m = CGraphicsManager::instance();
    testing::internal::CaptureStdout();
    m->RefreshSurface(1, 0);
    testing::internal::GetCapturedStdout();
    const int before = m->GetRefreshCount(1);
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done.load()) {
            GraphicsSurface s{};
            m->GetSurface(1, &s);
            CRect r;
            m->GetLayerRect(1, r);
            ASSERT_TRUE(s.width == 640 && s.height == 480 && s.pitch == 1280);
            ASSERT_EQ(r, CRect(0, 0, 640, 480));
            m->SetColorKey(m->GetColorKey() + 1, 0);
        }
    });
    testing::internal::CaptureStdout();
    for (int i = 0; i < 200; ++i) m->RefreshSurface(1, i);
    testing::internal::GetCapturedStdout();
    done.store(true);
    reader.join();
    EXPECT_EQ(m->GetRefreshCount(1), before + 200);
}

// The PNG a person looks at holds the layer's pixels, as Pillow reads them.
TEST(TestLayerTest, PngHoldsTheLayer) {
    TestLayer& layer = *TestLayer::Get(0);
    uint16_t* px = layer.pixels(1);
    for (int y = 0; y < 480; ++y) {
        for (int x = 0; x < 640; ++x) px[y * 640 + x] = static_cast<uint16_t>(x * 97 + y * 31);
    }
    varnelle::draw::testing::TempDir dir("layer");
    ASSERT_FALSE(dir.Path().empty());
    const std::string png = dir.File("layer.png");
    ASSERT_TRUE(layer.WritePng(png, 1));
    EXPECT_FALSE(layer.WritePng(dir.File("no/such/dir.png"), 1));
    EXPECT_FALSE(layer.WritePng(png, 2));

    int status = 0;
    const std::string out = varnelle::draw::testing::RunCommand(
        std::string(DRAW_PIL_PYTHON) +
            " -c \"import sys; from PIL import Image; im = Image.open(sys.argv[1]); print(im.mode, *im.size); "
            "[print(*im.getpixel((x, y))) for (x, y) in [(0, 0), (1, 0), (639, 0), (5, 479), (321, 123)]]\" " + png,
        &status);
    ASSERT_EQ(status, 0);
    std::istringstream in(out);
    std::string mode;
    int w = 0, h = 0;
    in >> mode >> w >> h;
    EXPECT_EQ(mode, "RGB");
    EXPECT_EQ(w, 640);
    EXPECT_EQ(h, 480);
    for (auto [x, y] : std::vector<std::pair<int, int>>{{0, 0}, {1, 0}, {639, 0}, {5, 479}, {321, 123}}) {
        const uint32_t p = px[y * 640 + x];
        // RGB565 widened by repeating the top bits.
        const uint32_t r5 = p >> 11, g6 = (p >> 5) & 0x3F, b5 = p & 0x1F;
        int r = 0, g = 0, b = 0;
        in >> r >> g >> b;
        EXPECT_EQ(r, int(r5 << 3 | r5 >> 2)) << x << "," << y;
        EXPECT_EQ(g, int(g6 << 2 | g6 >> 4)) << x << "," << y;
        EXPECT_EQ(b, int(b5 << 3 | b5 >> 2)) << x << "," << y;
    }
}

}  // namespace
