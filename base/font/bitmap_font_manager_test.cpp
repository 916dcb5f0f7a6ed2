#include "base/font/bitmap_font_manager.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/font/font_test_util.h"
#include "base/font/internal/bitmap_font_file.h"
#include "tools/fontgen/fontgen.h"

namespace {

using varnelle::font_internal::BitmapFontFile;
using varnelle::font_internal::FontFileError;
using varnelle::font_test::TempDir;
namespace fontgen = varnelle::fontgen;

bool Bit(const std::vector<uint8_t>& bits, int stride, int x, int y) {
    return (bits[static_cast<size_t>(y) * stride + x / 8] >> (7 - x % 8)) & 1;
}

// Where the glyph cells of `codes` land, from the source font's own cells: cell i at the sum of the
// previous advances (96 after a tab), at most its advance and its width in columns, clipped to the
// destination's whole bytes and rows.
std::vector<uint8_t> Expected(const fontgen::GlyphSource& src, const std::vector<uint16_t>& codes, int width,
                              int height) {
    const int stride = width / 8;
    std::vector<uint8_t> out(static_cast<size_t>(stride) * height, 0);
    int x = 0;
    for (uint16_t code : codes) {
        const int x0 = code == '\t' ? 96 : x;
        const fontgen::CellGlyph cell = src.Render(code);
        const int advance = src.Has(code) ? cell.advance : 0;
        x = x0 + advance;
        for (int r = 0; r < std::min(height, src.Height()); ++r)
            for (int c = 0; c < std::min(advance, src.Width()); ++c)
                if (x0 + c < stride * 8 && Bit(cell.bits, src.Width() / 8, c, r))
                    out[static_cast<size_t>(r) * stride + (x0 + c) / 8] |=
                        static_cast<uint8_t>(0x80u >> ((x0 + c) % 8));
    }
    return out;
}

class BitmapFontTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        s_dir = new TempDir;
        ASSERT_TRUE(varnelle::font_test::WriteDejaVuFont(s_dir->File("Font.bin"), 24));
        ASSERT_TRUE(varnelle::font_test::WriteDejaVuFont(s_dir->File("FontSmall.bin"), 16));
        std::string error;
        s_normal = fontgen::GlyphSource::Open(varnelle::font_test::kDejaVu, 24, 24, &error).release();
        s_small = fontgen::GlyphSource::Open(varnelle::font_test::kDejaVu, 16, 16, &error).release();
        ASSERT_NE(s_normal, nullptr) << error;
        ASSERT_NE(s_small, nullptr) << error;
    }
    static void TearDownTestSuite() {
        delete s_normal;
        delete s_small;
        delete s_dir;
    }

    static std::string Normal() { return s_dir->File("Font.bin"); }
    static std::string Small() { return s_dir->File("FontSmall.bin"); }

    static TempDir* s_dir;
    static fontgen::GlyphSource* s_normal;
    static fontgen::GlyphSource* s_small;
};

TempDir* BitmapFontTest::s_dir = nullptr;
fontgen::GlyphSource* BitmapFontTest::s_normal = nullptr;
fontgen::GlyphSource* BitmapFontTest::s_small = nullptr;

// Every glyph of both files, through the ASCII caches and through file reads, bit for bit against the
// source font rendered into the same cells.
TEST_F(BitmapFontTest, GlyphBitsMatchSourceFontAtBothSizes) {
    CFontManager fonts(Normal(), Small());
    struct SizeCase {
        const FontSize* size;
        const fontgen::GlyphSource* src;
    };
    const FontSize normal{24, 24}, small{16, 16};
    int compared = 0;
    for (const SizeCase& sc :
         {SizeCase{nullptr, s_normal}, SizeCase{&normal, s_normal}, SizeCase{&small, s_small}}) {
        for (const fontgen::CodeRange& range : fontgen::DefaultRanges(*sc.src)) {
            for (uint32_t c = range.first; c < range.end; ++c) {
                const uint16_t code = static_cast<uint16_t>(c);
                const fontgen::CellGlyph want = sc.src->Render(code);
                std::vector<uint8_t> got(want.bits.size(), 0xA5);
                GlyphRaster raster;
                raster.bitmap = got.data();
                ASSERT_EQ(fonts.GetCharRaster(code, sc.size, &raster), want.advance) << std::hex << c;
                ASSERT_EQ(got, want.bits) << std::hex << c;
                EXPECT_EQ(raster.width, want.advance);
                EXPECT_EQ(raster.advance, want.advance);
                EXPECT_EQ(raster.left, 0);
                EXPECT_EQ(raster.top, 0);
                ++compared;
            }
        }
    }
    EXPECT_GT(compared, 1500);
}

TEST_F(BitmapFontTest, MissingCodesGiveBlockAboveAsciiAndNothingBelow) {
    CFontManager fonts(Normal(), Small());
    std::vector<uint8_t> glyph(72, 0);
    GlyphRaster raster;
    raster.bitmap = glyph.data();
    EXPECT_EQ(fonts.GetCharRaster(0x4E2D, nullptr, &raster), 12);  // no CJK in the source font
    EXPECT_EQ(glyph, std::vector<uint8_t>(72, 0xFF));
    std::fill(glyph.begin(), glyph.end(), 0x5A);
    EXPECT_EQ(fonts.GetCharRaster(0x01, nullptr, &raster), 0);
    EXPECT_EQ(glyph, std::vector<uint8_t>(72, 0));
}

struct TextCase {
    const char* name;
    const char* text;
    std::vector<uint16_t> codes;
    int width;
    int height;
};

// Placement, tab stop, right-edge cut, rows limited to the destination, and a width that is not a
// multiple of 8 (the row keeps width / 8 bytes and nothing spills into the next row). Each destination
// is followed by guard bytes that must stay untouched.
TEST_F(BitmapFontTest, TextToBitmapPlacesGlyphsAndStaysInsideDestination) {
    CFontManager fonts(Normal(), Small());
    const TextCase cases[] = {
        {"two letters", "AB", {'A', 'B'}, 64, 24},
        {"tab stop", "A\tB", {'A', '\t', 'B'}, 160, 24},
        {"tab moves back", "WWWWWWWWW\tB", {'W', 'W', 'W', 'W', 'W', 'W', 'W', 'W', 'W', '\t', 'B'}, 200, 24},
        {"cut at right edge", "WWWWW", {'W', 'W', 'W', 'W', 'W'}, 40, 24},
        {"width not multiple of 8", "WWWWW", {'W', 'W', 'W', 'W', 'W'}, 43, 24},
        {"fewer rows than the glyph", "gjy", {'g', 'j', 'y'}, 64, 10},
        {"non-ascii read from file", "\xC3\xA9\xD0\x96", {0xE9, 0x416}, 64, 24},
        {"stops at a broken sequence",
         "A\x80"
         "B",
         {'A'},
         64,
         24},
    };
    for (const TextCase& c : cases) {
        const int stride = c.width / 8;
        std::vector<uint8_t> dst(static_cast<size_t>(stride) * c.height + 16, 0);
        int width = c.width;
        ASSERT_EQ(fonts.TextToBitmap(dst.data(), width, c.height, c.text, nullptr), 1) << c.name;
        const std::vector<uint8_t> want = Expected(*s_normal, c.codes, c.width, c.height);
        EXPECT_TRUE(std::equal(want.begin(), want.end(), dst.begin())) << c.name;
        EXPECT_TRUE(std::all_of(dst.begin() + static_cast<long>(want.size()), dst.end(), [](uint8_t b) {
            return b == 0;
        })) << c.name;
    }
}

TEST_F(BitmapFontTest, SmallSizeUsesSmallFontAndOtherSizesTheNormalOne) {
    CFontManager fonts(Normal(), Small());
    const FontSize small{16, 16};
    std::vector<uint8_t> dst(8 * 16, 0);
    int width = 64;
    ASSERT_EQ(fonts.TextToBitmap(dst.data(), width, 16, "Ag", &small), 1);
    EXPECT_EQ(dst, Expected(*s_small, {'A', 'g'}, 64, 16));

    // A size no font has: the normal font's glyph, cropped or padded into that size's cells.
    const FontSize big{32, 32};
    std::vector<uint8_t> cell(4 * 32, 0xEE);
    GlyphRaster raster;
    raster.bitmap = cell.data();
    EXPECT_EQ(fonts.GetCharRaster('M', &big, &raster), s_normal->Render('M').advance);
    const fontgen::CellGlyph m = s_normal->Render('M');
    for (int r = 0; r < 32; ++r)
        for (int x = 0; x < 32; ++x)
            ASSERT_EQ(Bit(cell, 4, x, r), r < 24 && x < 24 && Bit(m.bits, 3, x, r)) << r << "," << x;
    const FontSize tiny{8, 8};
    std::vector<uint8_t> tinyCell(8 + 4, 0xEE);
    raster.bitmap = tinyCell.data();
    fonts.GetCharRaster('M', &tiny, &raster);
    EXPECT_TRUE(std::all_of(tinyCell.begin() + 8, tinyCell.end(), [](uint8_t b) { return b == 0xEE; }));
}

TEST_F(BitmapFontTest, TextWidthIsSumOfAdvances) {
    CFontManager fonts(Normal(), Small());
    const int a = s_normal->Render('A').advance, e = s_normal->Render(0xE9).advance;
    EXPECT_EQ(fonts.GetTextWidth("A\xC3\xA9"
                                 "A",
                                 nullptr),
              2 * a + e);
    EXPECT_EQ(fonts.GetTextWidth("", nullptr), 0);
    EXPECT_EQ(fonts.GetTextWidth(nullptr, nullptr), 0);
    const FontSize small{16, 16};
    EXPECT_EQ(fonts.GetTextWidth("AA", &small), 2 * s_small->Render('A').advance);
}

// A custom file: 8 x 2 glyphs; 'A' advances 16 though its glyph is 8 wide, a range straddles 128.
fontgen::BitmapFont CustomFont() {
    fontgen::BitmapFont font;
    font.width = 8;
    font.height = 2;
    font.ranges = {{0x41, 0x43}, {0x70, 0x90}};
    font.glyphs.push_back({{0xFF, 0x81}, 16});
    font.glyphs.push_back({{0xF0, 0x0F}, 8});
    for (int c = 0x70; c < 0x90; ++c) font.glyphs.push_back({{static_cast<uint8_t>(c), 0x01}, c - 0x68});
    return font;
}

TEST(BitmapFontFileTest, RangeStraddling128FillsAsciiPartAndAdvanceBeyondGlyphDrawsOnlyGlyph) {
    TempDir dir;
    ASSERT_TRUE(fontgen::WriteFile(dir.File("f.bin"), fontgen::Serialize(CustomFont())));
    CFontManager fonts(dir.File("f.bin"), "");
    uint8_t glyph[2] = {};
    GlyphRaster raster;
    raster.bitmap = glyph;
    for (uint16_t code : {0x70, 0x7F, 0x80, 0x8F}) {
        EXPECT_EQ(fonts.GetCharRaster(code, nullptr, &raster), code - 0x68) << code;
        EXPECT_EQ(glyph[0], code) << code;
        EXPECT_EQ(glyph[1], 0x01) << code;
    }

    // Row 1 of 'A' must not show bits of row 0's neighbour byte, nor may columns 8..15 be drawn.
    // With the default size (24 x 24) the 8 x 2 glyphs are padded, which draws the same.
    const FontSize size{8, 2};
    for (const FontSize* s : {&size, static_cast<const FontSize*>(nullptr)}) {
        uint8_t dst[2 * 4 + 4] = {};
        int width = 32;
        ASSERT_EQ(fonts.TextToBitmap(dst, width, 2, "AB", s), 1);
        const uint8_t want[] = {0xFF, 0x00, 0xF0, 0x00, 0x81, 0x00, 0x0F, 0x00, 0, 0, 0, 0};
        EXPECT_EQ(std::vector<uint8_t>(dst, dst + sizeof dst),
                  std::vector<uint8_t>(want, want + sizeof want));
    }
}

struct CorruptCase {
    const char* name;
    void (*mutate)(std::vector<uint8_t>&);
    FontFileError error;
};

void Put32(std::vector<uint8_t>& f, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) f[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put16(std::vector<uint8_t>& f, size_t at, uint16_t v) {
    f[at] = static_cast<uint8_t>(v);
    f[at + 1] = static_cast<uint8_t>(v >> 8);
}

// Counts, offsets and ranges from the file are never trusted: each broken file is refused as a whole.
TEST(BitmapFontFileTest, RefusesFilesWhoseTablesDoNotFit) {
    const CorruptCase cases[] = {
        {"short header", [](std::vector<uint8_t>& f) { f.resize(10); }, FontFileError::kShortHeader},
        {"length field", [](std::vector<uint8_t>& f) { Put32(f, 16, static_cast<uint32_t>(f.size() + 1)); },
         FontFileError::kLengthMismatch},
        {"no ranges", [](std::vector<uint8_t>& f) { Put32(f, 20, 0); }, FontFileError::kNoRanges},
        {"range count past end", [](std::vector<uint8_t>& f) { Put32(f, 20, 0x10000000); },
         FontFileError::kTableOutsideFile},
        {"width not multiple of 8", [](std::vector<uint8_t>& f) { Put16(f, 24 + 4, 12); },
         FontFileError::kBadGlyphSize},
        {"zero height", [](std::vector<uint8_t>& f) { Put16(f, 24 + 6, 0); }, FontFileError::kBadGlyphSize},
        {"huge glyph", [](std::vector<uint8_t>& f) { Put16(f, 24 + 4, 0xFFF8); },
         FontFileError::kBadGlyphSize},
        {"end before first", [](std::vector<uint8_t>& f) { Put16(f, 24 + 2, 0x40); },
         FontFileError::kRangesUnsorted},
        {"ranges out of order",
         [](std::vector<uint8_t>& f) {
             Put16(f, 40, 0x10);
             Put16(f, 42, 0x20);
         },
         FontFileError::kRangesUnsorted},
        {"glyphs past end",
         [](std::vector<uint8_t>& f) { Put32(f, 40 + 8, static_cast<uint32_t>(f.size() - 4)); },
         FontFileError::kRangeOutsideFile},
        {"glyph offset wraps", [](std::vector<uint8_t>& f) { Put32(f, 40 + 8, 0xFFFFFFF0u); },
         FontFileError::kRangeOutsideFile},
        {"advances past end",
         [](std::vector<uint8_t>& f) { Put32(f, 24 + 12, static_cast<uint32_t>(f.size() - 1)); },
         FontFileError::kRangeOutsideFile},
        {"long range", [](std::vector<uint8_t>& f) { Put16(f, 40 + 2, 0xFFFF); },
         FontFileError::kRangeOutsideFile},
    };
    TempDir dir;
    const std::vector<uint8_t> good = fontgen::Serialize(CustomFont());
    for (const CorruptCase& c : cases) {
        std::vector<uint8_t> bytes = good;
        c.mutate(bytes);
        if (c.error != FontFileError::kLengthMismatch && bytes.size() >= 24)
            Put32(bytes, 16, static_cast<uint32_t>(bytes.size()));
        const std::string path = dir.File("bad.bin");
        ASSERT_TRUE(fontgen::WriteFile(path, bytes));
        BitmapFontFile file;
        EXPECT_EQ(file.Open(path), c.error) << c.name;
        EXPECT_FALSE(file.IsOpen()) << c.name;

        CFontManager fonts(path, path);
        uint8_t glyph[2] = {0x33, 0x33};
        GlyphRaster raster;
        raster.bitmap = glyph;
        EXPECT_EQ(fonts.GetCharRaster('A', nullptr, &raster), 0) << c.name;
        EXPECT_EQ(glyph[0], 0x33) << c.name;
        uint8_t dst[8] = {};
        int width = 32;
        const FontSize size{8, 2};
        EXPECT_EQ(fonts.TextToBitmap(dst, width, 2, "AB", &size), 0) << c.name;
        EXPECT_EQ(fonts.GetTextWidth("AB", nullptr), 0) << c.name;
    }
    BitmapFontFile file;
    EXPECT_EQ(file.Open(dir.File("missing.bin")), FontFileError::kCannotOpen);
    EXPECT_EQ(file.Open(dir.Path()), FontFileError::kCannotOpen);
    ASSERT_TRUE(fontgen::WriteFile(dir.File("good.bin"), good));
    EXPECT_EQ(file.Open(dir.File("good.bin")), FontFileError::kNone);
}

TEST_F(BitmapFontTest, MissingNormalFontDrawsNothingWhileSmallFontServesItsSize) {
    CFontManager fonts(s_dir->File("absent.bin"), Small());
    EXPECT_EQ(fonts.GetCharRaster('A', nullptr, nullptr), 0);
    const FontSize small{16, 16};
    EXPECT_EQ(fonts.GetCharRaster('A', &small, nullptr), s_small->Render('A').advance);
    std::vector<uint8_t> dst(8 * 24, 0);
    int width = 64;
    EXPECT_EQ(fonts.TextToBitmap(dst.data(), width, 24, "A", nullptr), 0);
    EXPECT_EQ(dst, std::vector<uint8_t>(dst.size(), 0));
    EXPECT_EQ(fonts.TextToBitmap(dst.data(), width, 16, "A", &small), 1);
}

// Preloaded glyphs need no file read: after the file is emptied under the open renderer, cached codes
// still render, others come back empty.
TEST_F(BitmapFontTest, CachedCharsSurviveLossOfTheFile) {
    TempDir dir;
    const std::string path = dir.File("Font.bin");
    ASSERT_TRUE(varnelle::font_test::WriteDejaVuFont(path, 24));
    CFontManager fonts(path, "");
    const uint16_t codes[] = {0x416, 0xE9, 0x416, 0x3A9};  // any order, duplicates
    fonts.CacheChars(codes, 4);
    ASSERT_EQ(::truncate(path.c_str(), 0), 0);
    for (uint16_t code : {0xE9, 0x416, 0x3A9}) {
        std::vector<uint8_t> glyph(72, 0);
        GlyphRaster raster;
        raster.bitmap = glyph.data();
        EXPECT_EQ(fonts.GetCharRaster(code, nullptr, &raster), s_normal->Render(code).advance) << code;
        EXPECT_EQ(glyph, s_normal->Render(code).bits) << code;
    }
    std::vector<uint8_t> glyph(72, 0x77);
    GlyphRaster raster;
    raster.bitmap = glyph.data();
    EXPECT_EQ(fonts.GetCharRaster(0xEA, nullptr, &raster), 0);
    EXPECT_EQ(glyph, std::vector<uint8_t>(72, 0));
    EXPECT_EQ(fonts.GetCharRaster('A', nullptr, nullptr), s_normal->Render('A').advance);  // ASCII cache
    fonts.CacheChars(nullptr, 0);
    EXPECT_EQ(fonts.GetCharRaster(0xE9, nullptr, nullptr), 0);
}

// The title thread and the drawing library share the renderer: renders from several threads, while
// another thread keeps replacing the preloaded list, all equal the single-threaded result.
TEST_F(BitmapFontTest, ConcurrentRendersMatchSingleThreadedResult) {
    CFontManager fonts(Normal(), Small());
    const char* texts[] = {"Kanal \xC3\xA9\xC3\xA8 01", "\xD0\x96\xD0\xB8\xD0\xB2 \xCE\xA9",
                           "2026-12-09 08:30", "\xC3\xBC\xC3\xB6"};
    std::vector<std::vector<uint8_t>> want;
    for (const char* t : texts) {
        std::vector<uint8_t> dst(32 * 24, 0);
        int width = 256;
        fonts.TextToBitmap(dst.data(), width, 24, t, nullptr);
        want.push_back(dst);
    }
    std::atomic<int> mismatches{0};
    std::atomic<int> running{4};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                std::vector<uint8_t> dst(32 * 24, 0);
                int width = 256;
                fonts.TextToBitmap(dst.data(), width, 24, texts[(t + i) % 4], nullptr);
                if (dst != want[static_cast<size_t>((t + i) % 4)]) ++mismatches;
            }
            --running;
        });
    }
    const uint16_t sets[2][3] = {{0xE9, 0xE8, 0x416}, {0x3A9, 0xFC, 0xF6}};
    for (int i = 0; running.load() > 0; ++i) fonts.CacheChars(sets[i % 2], 3);
    for (auto& th : threads) th.join();
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
