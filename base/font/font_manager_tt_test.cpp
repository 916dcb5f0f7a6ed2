#include "base/font/font_manager_tt.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <string>
#include <thread>
#include <vector>

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_BITMAP_H

#include "base/font/font_test_util.h"
#include "base/font/internal/coverage.h"

namespace {

using varnelle::font_internal::CoverageFromBitmap;

// The same font opened straight through FreeType, as the reference.
class DirectFace {
public:
    explicit DirectFace(const std::string& path) {
        FT_Init_FreeType(&m_lib);
        if (FT_New_Face(m_lib, path.c_str(), 0, &m_face) != 0) m_face = nullptr;
        if (m_face != nullptr) FT_Select_Charmap(m_face, FT_ENCODING_UNICODE);
    }
    ~DirectFace() {
        if (m_face != nullptr) FT_Done_Face(m_face);
        FT_Done_FreeType(m_lib);
    }
    FT_Face Face() const { return m_face; }
    FT_Library Library() const { return m_lib; }

    FT_GlyphSlot Load(uint16_t code, int height, FT_Int32 flags = FT_LOAD_RENDER) {
        FT_Set_Pixel_Sizes(m_face, 0, static_cast<FT_UInt>(height));
        EXPECT_EQ(FT_Load_Char(m_face, code, flags), 0) << code;
        return m_face->glyph;
    }

    // Glyphs on a baseline at three quarters of the height, each pixel with nonzero coverage set,
    // clipped to the destination's whole bytes and rows.
    std::vector<uint8_t> Render(const std::vector<uint16_t>& codes, int height, int width, int rows) {
        const int stride = width / 8;
        std::vector<uint8_t> out(static_cast<size_t>(stride) * rows, 0);
        long x = 0;
        for (uint16_t code : codes) {
            const FT_GlyphSlot g = Load(code, height);
            EXPECT_EQ(g->bitmap.pixel_mode, FT_PIXEL_MODE_GRAY);
            const long left = g->metrics.horiBearingX >> 6, top = (-g->metrics.horiBearingY) >> 6;
            for (unsigned r = 0; r < g->bitmap.rows; ++r)
                for (unsigned c = 0; c < g->bitmap.width; ++c) {
                    const long px = x + left + c, py = top + ((height * 3) >> 2) + r;
                    if (g->bitmap.buffer[r * static_cast<unsigned>(g->bitmap.pitch) + c] == 0) continue;
                    if (px < 0 || py < 0 || px >= stride * 8 || py >= rows) continue;
                    out[static_cast<size_t>(py) * stride + px / 8] |= static_cast<uint8_t>(0x80u >> (px % 8));
                }
            x += std::min<long>(g->metrics.horiAdvance >> 6, 255);
        }
        return out;
    }

private:
    FT_Library m_lib = nullptr;
    FT_Face m_face = nullptr;
};

struct RenderCase {
    const char* name;
    bool thai;
    const char* text;
    std::vector<uint16_t> codes;
    int size;
    int width;
    int rows;
};

// Each destination sits between guard areas that must stay untouched: glyphs reaching above the first
// row (tall capitals), below the last (descenders), left of column 0 (a leading mark with a negative
// bearing) or past the width (also a width that is not a multiple of 8) are clipped.
TEST(TrueTypeTest, TextToBitmapMatchesFreeTypeAndStaysInsideDestination) {
    const std::string thai = varnelle::font_test::ThaiFont();
    ASSERT_FALSE(thai.empty());
    const RenderCase cases[] = {
        {"latin",
         false,
         "Hello, Varnelle",
         {'H', 'e', 'l', 'l', 'o', ',', ' ', 'V', 'a', 'r', 'n', 'e', 'l', 'l', 'e'},
         24,
         256,
         24},
        {"tall capitals clipped above", false, "\xC3\x85\xC3\x89\xC3\x91", {0xC5, 0xC9, 0xD1}, 24, 64, 24},
        {"descenders clipped below", false, "gjpqy", {'g', 'j', 'p', 'q', 'y'}, 24, 96, 19},
        {"cut at right edge", false, "WWWWWW", {'W', 'W', 'W', 'W', 'W', 'W'}, 24, 48, 24},
        {"width not multiple of 8", false, "WWWWWW", {'W', 'W', 'W', 'W', 'W', 'W'}, 24, 45, 24},
        {"small size", false, "Kanal 1", {'K', 'a', 'n', 'a', 'l', ' ', '1'}, 16, 64, 16},
        {"cyrillic", false, "\xD0\x96\xD0\xB8\xD0\xB2", {0x416, 0x438, 0x432}, 32, 128, 32},
        {"thai marks",
         true,
         "\xE0\xB8\x81\xE0\xB8\xB4\xE0\xB9\x88\xE0\xB8\x99",
         {0xE01, 0xE34, 0xE48, 0xE19},
         24,
         64,
         24},
        {"thai leading mark",
         true,
         "\xE0\xB8\xB4\xE0\xB9\x89\xE0\xB8\x81",
         {0xE34, 0xE49, 0xE01},
         24,
         64,
         24},
    };
    for (const RenderCase& c : cases) {
        const std::string font = c.thai ? thai : varnelle::font_test::kDejaVu;
        CFontManagerTT renderer(font);
        DirectFace direct(font);
        const size_t bytes = static_cast<size_t>(c.width / 8) * c.rows;
        std::vector<uint8_t> buffer(bytes + 64, 0);
        uint8_t* dst = buffer.data() + 32;
        int width = c.width;
        const FontSize size{c.size, c.size};
        ASSERT_EQ(renderer.TextToBitmap(dst, width, c.rows, c.text, &size), 1) << c.name;
        EXPECT_EQ(std::vector<uint8_t>(dst, dst + bytes), direct.Render(c.codes, c.size, c.width, c.rows))
            << c.name;
        EXPECT_TRUE(std::all_of(buffer.begin(), buffer.begin() + 32, [](uint8_t b) { return b == 0; }))
            << c.name;
        EXPECT_TRUE(std::all_of(buffer.end() - 32, buffer.end(), [](uint8_t b) { return b == 0; })) << c.name;
        EXPECT_NE(std::count(dst, dst + bytes, 0), static_cast<long>(bytes)) << c.name;
    }
}

// A narrower or shorter destination holds exactly the crop of a larger one.
TEST(TrueTypeTest, SmallDestinationIsCropOfLargeOne) {
    CFontManagerTT renderer(varnelle::font_test::kDejaVu);
    const FontSize size{24, 24};
    const char* text = "Qgj|W\xC3\x85";
    std::vector<uint8_t> big(16 * 40, 0);
    int bigWidth = 128;
    ASSERT_EQ(renderer.TextToBitmap(big.data(), bigWidth, 40, text, &size), 1);
    for (int w : {8, 16, 21, 40, 64}) {
        for (int h : {1, 12, 18, 24}) {
            const int stride = w / 8;
            std::vector<uint8_t> small(static_cast<size_t>(stride) * h, 0);
            int width = w;
            ASSERT_EQ(renderer.TextToBitmap(small.data(), width, h, text, &size), 1);
            for (int r = 0; r < h; ++r)
                for (int b = 0; b < stride; ++b)
                    ASSERT_EQ(small[static_cast<size_t>(r) * stride + b],
                              big[static_cast<size_t>(r) * 16 + b])
                        << w << "x" << h << " row " << r;
            EXPECT_EQ(width, w);
        }
    }
}

TEST(TrueTypeTest, ThaiMarksHaveZeroAdvanceAndNegativeBearing) {
    const std::string thai = varnelle::font_test::ThaiFont();
    ASSERT_FALSE(thai.empty());
    CFontManagerTT renderer(thai);
    DirectFace direct(thai);
    const FontSize size{24, 24};
    int marks = 0;
    for (uint16_t code : {0xE31, 0xE34, 0xE35, 0xE36, 0xE37, 0xE48, 0xE49, 0xE4A, 0xE4B}) {
        GlyphRaster g;
        const int advance = renderer.GetCharRaster(code, &size, &g);
        const FT_GlyphSlot slot = direct.Load(code, 24);
        EXPECT_EQ(advance, slot->metrics.horiAdvance >> 6) << code;
        EXPECT_EQ(g.left, slot->metrics.horiBearingX >> 6) << code;
        if (advance == 0 && g.left < 0) ++marks;
    }
    EXPECT_GE(marks, 5);
    const int base = renderer.GetCharRaster(0xE01, &size, nullptr);
    EXPECT_EQ(renderer.GetTextWidth("\xE0\xB8\x81\xE0\xB8\xB4\xE0\xB9\x88", &size), base);
}

TEST(TrueTypeTest, SecondRequestIsServedFromCacheWithSameGlyph) {
    CFontManagerTT renderer(varnelle::font_test::kDejaVu);
    DirectFace direct(varnelle::font_test::kDejaVu);
    const FontSize size{24, 24};
    EXPECT_FALSE(renderer.IsCached('g', size));
    GlyphRaster first;
    const int advance = renderer.GetCharRaster('g', &size, &first);
    EXPECT_TRUE(renderer.IsCached('g', size));
    const std::vector<uint8_t> firstBits(first.bitmap, first.bitmap + first.width * first.rows);

    const FT_GlyphSlot slot = direct.Load('g', 24);
    EXPECT_EQ(advance, slot->metrics.horiAdvance >> 6);
    EXPECT_EQ(first.top, (-slot->metrics.horiBearingY) >> 6);
    ASSERT_EQ(first.width, static_cast<int>(slot->bitmap.width));
    ASSERT_EQ(first.rows, static_cast<int>(slot->bitmap.rows));
    for (int r = 0; r < first.rows; ++r)
        for (int c = 0; c < first.width; ++c)
            ASSERT_EQ(firstBits[static_cast<size_t>(r) * first.width + c],
                      slot->bitmap.buffer[r * slot->bitmap.pitch + c]);

    GlyphRaster second;
    EXPECT_EQ(renderer.GetCharRaster('g', &size, &second), advance);
    EXPECT_EQ(second.left, first.left);
    EXPECT_EQ(second.top, first.top);
    EXPECT_EQ(second.code, 'g');
    EXPECT_EQ(std::vector<uint8_t>(second.bitmap, second.bitmap + second.width * second.rows), firstBits);
    EXPECT_EQ(renderer.CachedGlyphCount(), 1u);

    // Sizes of equal width and different height are different glyphs.
    const FontSize flat{24, 12};
    GlyphRaster low;
    renderer.GetCharRaster('g', &flat, &low);
    EXPECT_LT(low.rows, first.rows);
    EXPECT_EQ(renderer.CachedGlyphCount(), 2u);
}

TEST(TrueTypeTest, CacheKeepsAtMost257GlyphsEvictingLowestCode) {
    CFontManagerTT renderer(varnelle::font_test::kDejaVu);
    const FontSize size{24, 24};
    for (uint16_t code = 0x21; code < 0x21 + 258; ++code) renderer.GetCharRaster(code, &size, nullptr);
    EXPECT_EQ(renderer.CachedGlyphCount(), CFontManagerTT::kCacheLimit + 1);
    EXPECT_FALSE(renderer.IsCached(0x21, size));
    EXPECT_TRUE(renderer.IsCached(0x22, size));
    EXPECT_TRUE(renderer.IsCached(0x21 + 257, size));
}

TEST(TrueTypeTest, WidthsAreSumsOfAdvancesAndEmptyTextIsZero) {
    CFontManagerTT renderer(varnelle::font_test::kDejaVu);
    const FontSize size{24, 24};
    const int a = renderer.GetCharRaster('A', &size, nullptr),
              v = renderer.GetCharRaster('V', &size, nullptr);
    EXPECT_GT(a, 0);
    EXPECT_EQ(renderer.GetTextWidth("AVA", &size), 2 * a + v);
    EXPECT_EQ(renderer.GetTextWidth("AVA", nullptr), 2 * a + v);  // the size set last
    EXPECT_EQ(renderer.GetTextWidth("", &size), 0);
    EXPECT_EQ(renderer.GetTextWidth(nullptr, &size), 0);
    EXPECT_EQ(renderer.GetTextWidth("A\xF0\x9F\x98\x80"
                                    "A",
                                    &size),
              a);
}

// Advances fetched together are FreeType's, capped at 255; a size the renderer refuses gives zeros.
TEST(TrueTypeTest, AdvancesTogetherAreFreeTypesAdvances) {
    CFontManagerTT renderer(varnelle::font_test::kDejaVu);
    DirectFace direct(varnelle::font_test::kDejaVu);
    const std::vector<uint16_t> codes = {'W', 'i', ' ', 0x00E9, 0x2014};
    for (int height : {12, 255}) {
        const FontSize size{height, height};
        std::vector<int32_t> got(codes.size(), -1);
        renderer.GetAdvances(codes.data(), codes.size(), &size, got.data());
        for (size_t i = 0; i < codes.size(); ++i) {
            const long want =
                std::min<long>(direct.Load(codes[i], height, FT_LOAD_DEFAULT)->metrics.horiAdvance >> 6, 255);
            EXPECT_EQ(got[i], want) << height << " " << codes[i];
        }
    }
    const FontSize refused{300, 300};
    std::vector<int32_t> got(codes.size(), -1);
    renderer.GetAdvances(codes.data(), codes.size(), &refused, got.data());
    EXPECT_EQ(got, std::vector<int32_t>(codes.size(), 0));
}

// Without a face nothing reaches FreeType: no glyph, no width, nothing drawn, a cleared raster.
TEST(TrueTypeTest, NoFaceDrawsNothing) {
    for (const char* path : {"", "/nonexistent/Font.ttf", "/etc/hostname"}) {
        CFontManagerTT renderer(path);
        EXPECT_FALSE(renderer.SetFontSize(nullptr)) << path;
        GlyphRaster g;
        g.width = 9;
        g.bitmap = reinterpret_cast<uint8_t*>(&g);
        EXPECT_EQ(renderer.GetCharRaster('A', nullptr, &g), 0) << path;
        EXPECT_EQ(g.width, 0);
        EXPECT_EQ(g.bitmap, nullptr);
        EXPECT_EQ(renderer.GetTextWidth("AB", nullptr), 0) << path;
        std::vector<uint8_t> dst(8 * 24, 0);
        int width = 64;
        EXPECT_EQ(renderer.TextToBitmap(dst.data(), width, 24, "AB", nullptr), 0) << path;
        EXPECT_EQ(dst, std::vector<uint8_t>(dst.size(), 0));
    }
}

TEST(TrueTypeTest, RefusedSizesAndArgumentsDrawNothing) {
    CFontManagerTT renderer(varnelle::font_test::kDejaVu);
    std::vector<uint8_t> dst(8 * 24, 0);
    for (const FontSize bad : {FontSize{0, 0}, FontSize{24, 0}, FontSize{-3, 24}, FontSize{300, 300}}) {
        testing::internal::CaptureStdout();
        int width = 64;
        EXPECT_EQ(renderer.TextToBitmap(dst.data(), width, 24, "AB", &bad), 0);
        EXPECT_EQ(renderer.GetCharRaster('A', &bad, nullptr), 0);
        EXPECT_EQ(testing::internal::GetCapturedStdout().find("tracepoint: Source/FontManagerTT,403\n"), 0u);
    }
    const FontSize size{24, 24};
    int width = 64;
    EXPECT_EQ(renderer.TextToBitmap(nullptr, width, 24, "AB", &size), 0);
    EXPECT_EQ(renderer.TextToBitmap(dst.data(), width, 0, "AB", &size), 0);
    EXPECT_EQ(renderer.TextToBitmap(dst.data(), width, 24, nullptr, &size), 0);
    int narrow = 7;
    EXPECT_EQ(renderer.TextToBitmap(dst.data(), narrow, 24, "AB", &size), 0);
    EXPECT_EQ(dst, std::vector<uint8_t>(dst.size(), 0));
    EXPECT_EQ(renderer.TextToBitmap(dst.data(), width, 24, "AB", &size), 1);  // the good size still works
}

struct CoverageCase {
    const char* name;
    unsigned char mode;
    unsigned width, rows;
    int pitch;
    std::vector<uint8_t> buffer;
    bool ok;
    std::vector<uint8_t> want;
};

// Each pixel mode and row layout read by its own rules, never as packed 8-bit rows.
TEST(TrueTypeCoverageTest, ConvertsEachPixelModeAndPitch) {
    const uint8_t X = 255;
    const CoverageCase cases[] = {
        {"mono pitch 2", FT_PIXEL_MODE_MONO, 10, 2, 2, {0x80, 0x40, 0x01, 0xC0}, true, {X, 0, 0, 0, 0, 0, 0,
                                                                                        0, 0, X, 0, 0, 0, 0,
                                                                                        0, 0, 0, X, X, X}},
        {"mono padded pitch 4",
         FT_PIXEL_MODE_MONO,
         3,
         2,
         4,
         {0xA0, 0xFF, 0xFF, 0xFF, 0x40, 0, 0, 0},
         true,
         {X, 0, X, 0, X, 0}},
        {"mono upward flow", FT_PIXEL_MODE_MONO, 3, 2, -1, {0x40, 0xA0}, true, {X, 0, X, 0, X, 0}},
        {"mono pitch too small", FT_PIXEL_MODE_MONO, 10, 2, 1, {0, 0}, false, {}},
        {"gray padded pitch", FT_PIXEL_MODE_GRAY, 2, 2, 4, {1, 2, 9, 9, 3, 4, 9, 9}, true, {1, 2, 3, 4}},
        {"gray upward flow", FT_PIXEL_MODE_GRAY, 2, 2, -2, {3, 4, 1, 2}, true, {1, 2, 3, 4}},
        {"gray pitch too small", FT_PIXEL_MODE_GRAY, 5, 1, 4, {0, 0, 0, 0}, false, {}},
        {"gray2 four levels", FT_PIXEL_MODE_GRAY2, 4, 1, 1, {0x1B}, true, {0, 85, 170, 255}},
        {"lcd refused", FT_PIXEL_MODE_LCD, 3, 1, 3, {1, 2, 3}, false, {}},
        {"empty", FT_PIXEL_MODE_GRAY, 0, 0, 0, {}, true, {}},
    };
    FT_Library lib = nullptr;
    ASSERT_EQ(FT_Init_FreeType(&lib), 0);
    for (const CoverageCase& c : cases) {
        std::vector<uint8_t> buffer = c.buffer;
        FT_Bitmap b;
        FT_Bitmap_Init(&b);
        b.pixel_mode = c.mode;
        b.width = c.width;
        b.rows = c.rows;
        b.pitch = c.pitch;
        b.num_grays = c.mode == FT_PIXEL_MODE_GRAY2 ? 4 : 256;
        b.buffer = buffer.empty() ? nullptr : buffer.data();
        std::vector<uint8_t> out = {7};
        EXPECT_EQ(CoverageFromBitmap(lib, b, &out), c.ok) << c.name;
        EXPECT_EQ(out, c.want) << c.name;
    }
    FT_Done_FreeType(lib);
}

// A real one-bit rendering (as embedded bitmap strikes come) keeps every set bit and no other.
TEST(TrueTypeCoverageTest, OneBitRenderingKeepsItsPixels) {
    DirectFace direct(varnelle::font_test::kDejaVu);
    const FT_GlyphSlot g = direct.Load('R', 24, FT_LOAD_RENDER | FT_LOAD_TARGET_MONO);
    ASSERT_EQ(g->bitmap.pixel_mode, FT_PIXEL_MODE_MONO);
    ASSERT_GT(g->bitmap.pitch, static_cast<int>((g->bitmap.width + 7) / 8) - 1);
    std::vector<uint8_t> out;
    ASSERT_TRUE(CoverageFromBitmap(direct.Library(), g->bitmap, &out));
    ASSERT_EQ(out.size(), static_cast<size_t>(g->bitmap.width) * g->bitmap.rows);
    int set = 0;
    for (unsigned r = 0; r < g->bitmap.rows; ++r)
        for (unsigned c = 0; c < g->bitmap.width; ++c) {
            const bool bit = (g->bitmap.buffer[r * g->bitmap.pitch + c / 8] >> (7 - c % 8)) & 1;
            ASSERT_EQ(out[r * g->bitmap.width + c], bit ? 255 : 0);
            set += bit;
        }
    EXPECT_GT(set, 20);
}

// Several threads render and measure at once, enough distinct glyphs to keep evicting; every result
// equals the single-threaded one.
TEST(TrueTypeTest, ConcurrentRendersMatchSingleThreadedResult) {
    CFontManagerTT renderer(varnelle::font_test::kDejaVu);
    std::vector<std::string> texts;
    for (int t = 0; t < 6; ++t) {
        std::string s;
        for (int i = 0; i < 24; ++i) {
            const uint16_t code = static_cast<uint16_t>(0x410 + t * 50 + i * 2);  // Cyrillic, two bytes each
            s += static_cast<char>(0xC0 | (code >> 6));
            s += static_cast<char>(0x80 | (code & 0x3F));
        }
        texts.push_back(s);
    }
    const FontSize sizes[2] = {{16, 16}, {24, 24}};
    std::vector<std::vector<uint8_t>> want;
    std::vector<int> wantWidth;
    for (size_t i = 0; i < texts.size(); ++i) {
        std::vector<uint8_t> dst(64 * 24, 0);
        int width = 512;
        renderer.TextToBitmap(dst.data(), width, 24, texts[i].c_str(), &sizes[i % 2]);
        want.push_back(dst);
        wantWidth.push_back(renderer.GetTextWidth(texts[i].c_str(), &sizes[i % 2]));
    }
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 60; ++i) {
                const size_t k = static_cast<size_t>(t + i) % texts.size();
                std::vector<uint8_t> dst(64 * 24, 0);
                int width = 512;
                renderer.TextToBitmap(dst.data(), width, 24, texts[k].c_str(), &sizes[k % 2]);
                if (dst != want[k]) ++mismatches;
                if (renderer.GetTextWidth(texts[k].c_str(), &sizes[k % 2]) != wantWidth[k]) ++mismatches;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace

namespace {

// Copies taken while other threads keep evicting the cache still hold the glyph asked for: the copy is
// made under the renderer's mutex, where the renderer's own bitmap may be freed by the next request.
TEST(TrueTypeTest, CopiedCoverageSurvivesConcurrentEviction) {
    CFontManagerTT renderer(varnelle::font_test::kDejaVu);
    CFontManagerTT reference(varnelle::font_test::kDejaVu);
    const FontSize size{24, 24};
    const std::vector<uint16_t> codes = {'A', 'g', 'W', 0x416, 0x3A9, 0x628, '@', 'j'};
    std::vector<std::vector<uint8_t>> want;
    std::vector<GlyphRaster> wantRaster;
    for (uint16_t code : codes) {
        GlyphRaster g;
        reference.GetCharRaster(code, &size, &g);
        ASSERT_NE(g.bitmap, nullptr) << code;
        want.emplace_back(g.bitmap, g.bitmap + static_cast<size_t>(g.width) * g.rows);
        wantRaster.push_back(g);
    }

    constexpr int kReaders = 3, kRounds = 150;
    std::atomic<int> readersDone{0}, mismatches{0};
    std::thread evicter([&] {
        // Cycles through more distinct glyphs than the cache holds, so entries are freed all the time.
        for (uint16_t code = 0x21; readersDone.load() < kReaders; code = code >= 0x21 + 400 ? 0x21 : code + 1)
            renderer.GetCharRaster(code, &size, nullptr);
    });
    std::vector<std::thread> readers;
    for (int t = 0; t < kReaders; ++t) {
        readers.emplace_back([&, t] {
            std::vector<uint8_t> coverage;
            for (int i = 0; i < kRounds; ++i) {
                const size_t k = static_cast<size_t>(t + i) % codes.size();
                GlyphRaster g;
                const int advance = renderer.GetCharRaster(codes[k], &size, &g, &coverage);
                // Let other threads run between the call and the read, as a drawing loop would.
                renderer.GetCharRaster(static_cast<uint16_t>(0x100 + i), &size, nullptr);
                const bool same = advance == wantRaster[k].advance && g.width == wantRaster[k].width &&
                                  g.rows == wantRaster[k].rows && g.left == wantRaster[k].left &&
                                  g.top == wantRaster[k].top && g.bitmap == coverage.data() &&
                                  coverage == want[k];
                if (!same) ++mismatches;
            }
            ++readersDone;
        });
    }
    for (auto& th : readers) th.join();
    evicter.join();
    EXPECT_EQ(mismatches.load(), 0);
}

TEST(TrueTypeTest, CopiedCoverageOfEmptyGlyphIsEmpty) {
    CFontManagerTT renderer(varnelle::font_test::kDejaVu);
    const FontSize size{24, 24};
    std::vector<uint8_t> coverage(5, 7);
    GlyphRaster g;
    EXPECT_GT(renderer.GetCharRaster(' ', &size, &g, &coverage), 0);
    EXPECT_TRUE(coverage.empty());
    EXPECT_EQ(g.bitmap, nullptr);
    // Without a face: no advance, nothing copied.
    CFontManagerTT none("");
    coverage.assign(5, 7);
    EXPECT_EQ(none.GetCharRaster('A', &size, &g, &coverage), 0);
    EXPECT_TRUE(coverage.empty());
    EXPECT_EQ(g.bitmap, nullptr);
}

}  // namespace
