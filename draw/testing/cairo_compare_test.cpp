#include "draw/testing/cairo_compare.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>

namespace {

using namespace varnelle::draw_testing;

// Failure pictures of this program go to a directory it makes and removes.
class OutputDirectory : public testing::Environment {
public:
    void SetUp() override {
        std::string pattern = (std::filesystem::current_path() / "varnelle-draw-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        m_root = pattern;
        setenv("VARNELLE_TEST_OUT", m_root.c_str(), 1);
    }
    void TearDown() override {
        std::error_code ec;
        if (!m_root.empty()) std::filesystem::remove_all(m_root, ec);
    }
    const std::string& Root() const { return m_root; }

private:
    std::string m_root;
};
auto* const g_output = static_cast<OutputDirectory*>(testing::AddGlobalTestEnvironment(new OutputDirectory));

constexpr uint32_t kRed = 0x0000FF;

Picture Rect(int x, int y, int w, int h, uint32_t colour = kRed) {
    CairoCanvas canvas(64, 48);
    canvas.SetColor(colour);
    cairo_rectangle(canvas.Context(), x, y, w, h);
    cairo_fill(canvas.Context());
    return canvas.Snapshot();
}

TEST(CairoCanvasTest, ColoursLandOnTheirRgb565Pixel) {
    const struct {
        uint32_t colour;
        uint16_t pixel;
    } cases[] = {
        {0x000000, 0x0000}, {0xFFFFFF, 0xFFFF}, {0x0000FF, 0xF800}, {0x00FF00, 0x07E0},
        {0xFF0000, 0x001F}, {0xFF00FF, 0xF81F}, {0x088284, 0x8401}, {0x070307, 0x0000},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Rgb565(c.colour), c.pixel) << std::hex << c.colour;
        CairoCanvas canvas(5, 3, c.colour);
        EXPECT_EQ(canvas.Snapshot().Pixels(), std::vector<uint16_t>(15, c.pixel)) << std::hex << c.colour;
    }
}

TEST(CairoCanvasTest, NoAntialiasingAndPixelCentres) {
    CairoCanvas canvas(40, 40);
    canvas.SetColor(0xFFFFFF);
    cairo_t* cr = canvas.Context();
    cairo_move_to(cr, 0, 0);
    cairo_line_to(cr, 37, 11);
    cairo_line_to(cr, 5, 33);
    cairo_close_path(cr);
    cairo_fill(cr);
    const Picture pic = canvas.Snapshot();
    const std::set<uint16_t> values(pic.Pixels().begin(), pic.Pixels().end());
    EXPECT_EQ(values, (std::set<uint16_t>{0x0000, 0xFFFF}));

    // A one-pixel line through pixel centres covers exactly its pixels.
    CairoCanvas line(10, 4);
    line.SetColor(0xFFFFFF);
    cairo_set_line_width(line.Context(), 1);
    cairo_move_to(line.Context(), 2, 1.5);
    cairo_line_to(line.Context(), 8, 1.5);
    cairo_stroke(line.Context());
    const Picture l = line.Snapshot();
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 10; ++x)
            EXPECT_EQ(l.At(x, y), y == 1 && x >= 2 && x < 8 ? 0xFFFF : 0) << x << "," << y;
}

TEST(PictureTest, ReadsBothFormatsWithPadding) {
    // Two rows of three pixels, rows four pixels apart; the padding must not be read as pixels.
    const uint16_t argb[8] = {0xFFFF, 0x7C00, 0x03E0, 0xAAAA, 0x001F, 0x8000, 0x0421, 0xAAAA};
    const Picture a = Picture::FromMemory(argb, 8, 3, 2, PixelFormat::kArgb1555);
    EXPECT_EQ(a.Pixels(), (std::vector<uint16_t>{0xFFFF, 0xF800, 0x07E0, 0x001F, 0x0000, 0x0841}));
    const uint16_t rgb[8] = {1, 2, 3, 0xAAAA, 4, 5, 6, 0xAAAA};
    const Picture b = Picture::FromMemory(rgb, 8, 3, 2, PixelFormat::kRgb565);
    EXPECT_EQ(b.Pixels(), (std::vector<uint16_t>{1, 2, 3, 4, 5, 6}));
}

struct CompareCase {
    const char* name;
    Picture got;
    Picture want;
    int distance;
    int beyond;  // -1: different sizes
};

// The comparison finds shifted edges beyond the distance, holes, stray pixels, wrong colours and sizes.
TEST(CompareTest, DetectsDifferencesBeyondTheDistance) {
    Picture holed = Rect(10, 10, 20, 10);
    holed.Set(20, 15, 0);
    Picture stray = Rect(10, 10, 20, 10);
    stray.Set(50, 40, Rgb565(kRed));
    const CompareCase cases[] = {
        {"same", Rect(10, 10, 20, 10), Rect(10, 10, 20, 10), 0, 0},
        {"shift 1 exact", Rect(11, 10, 20, 10), Rect(10, 10, 20, 10), 0, 20},
        {"shift 1 within 1", Rect(11, 10, 20, 10), Rect(10, 10, 20, 10), 1, 0},
        // Columns 10, 11, 30 and 31 differ; only their corner pixels see both values within 1.
        {"shift 2 within 1", Rect(12, 10, 20, 10), Rect(10, 10, 20, 10), 1, 36},
        {"grown by 1 within 1", Rect(9, 9, 22, 12), Rect(10, 10, 20, 10), 1, 0},
        {"hole within 1", holed, Rect(10, 10, 20, 10), 1, 1},
        {"stray pixel within 1", stray, Rect(10, 10, 20, 10), 1, 1},
        {"hole within 2", holed, Rect(10, 10, 20, 10), 2, 1},
        {"other colour within 3", Rect(10, 10, 20, 10, 0x00FF00), Rect(10, 10, 20, 10), 3, 200},
        {"other size", Picture(64, 47), Picture(64, 48), 5, -1},
    };
    for (const CompareCase& c : cases) {
        const Comparison r = Compare(c.got, c.want, c.distance);
        if (c.beyond < 0) {
            EXPECT_FALSE(r.sameSize) << c.name;
            continue;
        }
        EXPECT_TRUE(r.sameSize) << c.name;
        EXPECT_EQ(r.beyond, c.beyond) << c.name;
    }
    // The first pixel beyond is reported in row order.
    const Comparison r = Compare(holed, Rect(10, 10, 20, 10), 1);
    EXPECT_EQ(r.firstX, 20);
    EXPECT_EQ(r.firstY, 15);
    EXPECT_EQ(r.differing, 1);
}

TEST(CompareTest, MatchesWithinAllowsOutliersAndWritesPicturesOnFailure) {
    Picture holed = Rect(10, 10, 20, 10);
    holed.Set(20, 15, 0);
    const Picture want = Rect(10, 10, 20, 10);
    EXPECT_TRUE(MatchesWithin(Rect(11, 10, 20, 10), want, {1, 0}, "shifted"));
    EXPECT_TRUE(MatchesWithin(holed, want, {1, 1}, "holed-allowed"));

    const testing::AssertionResult r = MatchesWithin(holed, want, {1, 0}, "holed");
    ASSERT_FALSE(r);
    const std::string dir = FailureDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(std::filesystem::path(dir).parent_path(), std::filesystem::path(g_output->Root()));
    EXPECT_NE(std::string(r.message()).find(dir + "/holed-*.png"), std::string::npos) << r.message();
    EXPECT_NE(std::string(r.message()).find("(20, 15)"), std::string::npos) << r.message();

    // The pictures read back as written: the hole black in "got", red in "want", red in the diff.
    struct File {
        const char* suffix;
        int x, y;
        uint32_t rgb;
    };
    for (const File& f : {File{"-got.png", 20, 15, 0x000000}, File{"-got.png", 10, 10, 0xFF0000},
                          File{"-want.png", 20, 15, 0xFF0000}, File{"-diff.png", 20, 15, 0xFF0000},
                          File{"-diff.png", 10, 10, 0x424142}}) {
        const std::string path = dir + "/holed" + f.suffix;
        cairo_surface_t* s = cairo_image_surface_create_from_png(path.c_str());
        ASSERT_EQ(cairo_surface_status(s), CAIRO_STATUS_SUCCESS) << path;
        EXPECT_EQ(cairo_image_surface_get_width(s), 64);
        EXPECT_EQ(cairo_image_surface_get_height(s), 48);
        const auto* row = reinterpret_cast<const uint32_t*>(cairo_image_surface_get_data(s) +
                                                            f.y * cairo_image_surface_get_stride(s));
        EXPECT_EQ(row[f.x] & 0xFFFFFF, f.rgb) << path;
        cairo_surface_destroy(s);
    }
}

}  // namespace
