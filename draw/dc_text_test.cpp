// Text output of the drawing context: layout on bitmap fonts made with the font generator (blocks whose
// places show the layout), the TrueType form against FreeType's own glyphs and metrics, and shaped
// right-to-left text against fribidi's.
#include <ft2build.h>
#include FT_FREETYPE_H
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "base/font/font_manager.h"
#include "base/font/font_test_util.h"
#include "draw/dc.h"
#include "draw/internal/work_counters.h"
#include "draw/locales.h"
#include "draw/testing/cairo_compare.h"
#include "draw/testing/dc_fixture.h"
#include "draw/testing/fribidi_reference.h"
#include "tools/fontgen/fontgen.h"

namespace {

namespace fontgen = varnelle::fontgen;
using varnelle::draw::testing::Snapshot;
using varnelle::draw_testing::MatchesWithin;
using varnelle::draw_testing::Picture;
using varnelle::draw_testing::Rgb565;

constexpr uint32_t kWhite = 0xFFFFFF;
constexpr uint32_t kYellow = 0x00FFFF;
constexpr uint32_t kBlue = 0xFF0000;
constexpr uint16_t kCombiningAcute = 0x0301;

// Glyphs of the block fonts: a letter, digit or parenthesis fills its advance's columns below the two
// top rows (where accents go); the space and the newline are empty; the combining acute has no advance
// and marks columns 1 to 4 of the top row. 'W' advances 12 in a cell 8 wide.
int Advance(uint16_t code, int size) {
    if (code == '\n') return 2;
    if (code == ' ') return size / 2;
    if (code == '(' || code == ')') return 3;
    if (code >= '0' && code <= '9') return 5;
    if (code == kCombiningAcute) return 0;
    if (code == 'W' && size == 8) return 12;
    return size == 8 ? 6 : 10;
}

bool GlyphBit(uint16_t code, int size, int x, int y) {
    if (code == kCombiningAcute) return y == 0 && x >= 1 && x <= 4;
    if (code == ' ' || code == '\n' || code < 0x20) return false;
    return y >= size / 4 && x < std::min(Advance(code, size), size);
}

fontgen::BitmapFont BlockFont(int size) {
    fontgen::BitmapFont font;
    font.width = size;
    font.height = size;
    font.ranges = {{0x0A, 0x0B}, {0x20, 0x7F}, {kCombiningAcute, kCombiningAcute + 1}};
    for (const auto& r : font.ranges)
        for (uint32_t c = r.first; c < r.end; ++c) {
            fontgen::CellGlyph g;
            g.bits.assign(size_t(size / 8) * size, 0);
            for (int y = 0; y < size; ++y)
                for (int x = 0; x < size; ++x)
                    if (GlyphBit(uint16_t(c), size, x, y)) g.bits[size_t(y) * (size / 8) + x / 8] |= uint8_t(0x80 >> (x % 8));
            g.advance = Advance(uint16_t(c), size);
            font.glyphs.push_back(g);
        }
    return font;
}

class FontEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        m_root = std::make_unique<varnelle::font_test::TempDir>();
        const std::string fonts = m_root->Path() + "/data/Fonts";
        std::filesystem::create_directories(fonts);
        ASSERT_TRUE(fontgen::WriteFile(fonts + "/Font.bin", fontgen::Serialize(BlockFont(8))));
        ASSERT_TRUE(fontgen::WriteFile(fonts + "/FontSmall.bin", fontgen::Serialize(BlockFont(16))));
        std::filesystem::copy_file(varnelle::font_test::kDejaVu, fonts + "/DejaVuSans.ttf");
        ASSERT_EQ(setenv("VARNELLE_ROOT", m_root->Path().c_str(), 1), 0);
        ASSERT_TRUE(varnelle::draw::testing::ConfigureTestLayers({64, 48, kFormatRgb565}));
        ASSERT_EQ(CGraphicsManager::instance()->RefreshSurface(0, 0), 1);
    }
    void TearDown() override {
        unsetenv("VARNELLE_ROOT");
        m_root.reset();
    }

private:
    std::unique_ptr<varnelle::font_test::TempDir> m_root;
};
const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new FontEnvironment);

void UseBlockFonts() {
    IFontManager::SetFontFile("/data/Fonts/Font.bin", "/data/Fonts/FontSmall.bin");
    const Size normal(8, 8), small(16, 16);
    ASSERT_TRUE(SetDefaultFontSize(0, &normal));
    ASSERT_TRUE(SetDefaultFontSize(2, &small));
    CLocales::instance()->setLanguage("English");
}

void UseTrueType(int size) {
    IFontManager::SetFontFile("/data/Fonts/DejaVuSans.ttf", "/data/Fonts/DejaVuSans.ttf");
    const Size normal(size, size);
    ASSERT_TRUE(SetDefaultFontSize(0, &normal));
    CLocales::instance()->setLanguage("English");
}

// One glyph where the layout puts it, and how many of its columns it shows.
struct Place {
    int x, y;
    uint16_t code;
    int columns = -1;  // the advance, at most the cell
};

// The block glyphs at their places, inside rect: text colour on set bits, and in opaque mode the
// background colour on the clear bits of each cell (not for the combining acute).
Picture Expect(int w, int h, const std::vector<Place>& places, const CRect& rect, int size, uint16_t text,
               int bk = -1) {
    Picture pic(w, h);
    for (const Place& p : places) {
        const int columns = p.columns >= 0 ? p.columns : std::min(Advance(p.code, size), size);
        for (int y = 0; y < size; ++y)
            for (int x = 0; x < columns; ++x) {
                const int px = p.x + x, py = p.y + y;
                if (!rect.PtInRect(px, py)) continue;
                if (GlyphBit(p.code, size, x, y)) {
                    pic.Set(px, py, text);
                } else if (bk >= 0 && p.code != kCombiningAcute) {
                    pic.Set(px, py, uint16_t(bk));
                }
            }
    }
    return pic;
}

struct LayoutCase {
    const char* name;
    const char* text;
    CRect rect;
    int format;
    std::vector<Place> want;
    int maxBytes = 100;
};

TEST(DcTextTest, BlockFontLayout) {
    UseBlockFonts();
    const LayoutCase cases[] = {
        {"one line", "AB CD", {0, 0, 40, 30}, 0, {{0, 0, 'A'}, {6, 0, 'B'}, {12, 0, ' '}, {16, 0, 'C'}, {22, 0, 'D'}}},
        // The space that does not fit with the next word begins the second line.
        {"wrap", "AB CD", {0, 0, 20, 30}, kTextWrap,
         {{0, 0, 'A'}, {6, 0, 'B'}, {0, 12, ' '}, {4, 12, 'C'}, {10, 12, 'D'}}},
        // The space would fit, but not with the word after it.
        {"look-ahead", "AB CDE", {0, 0, 28, 40}, kTextWrap,
         {{0, 0, 'A'}, {6, 0, 'B'}, {0, 12, ' '}, {4, 12, 'C'}, {10, 12, 'D'}, {16, 12, 'E'}}},
        {"newline wrapped", "AB\nCD", {0, 0, 40, 30}, kTextWrap,
         {{0, 0, 'A'}, {6, 0, 'B'}, {0, 12, '\n'}, {2, 12, 'C'}, {8, 12, 'D'}}},
        {"newline ends the only line", "AB\nCD", {0, 0, 40, 30}, 0, {{0, 0, 'A'}, {6, 0, 'B'}, {12, 0, '\n'}}},
        // Without wrap the first glyph that does not fit is still drawn, cut at the edge.
        {"cut", "ABCDEFGH", {0, 0, 20, 12}, 0, {{0, 0, 'A'}, {6, 0, 'B'}, {12, 0, 'C'}, {18, 0, 'D'}}},
        {"centred", "AB CD", {0, 0, 40, 30}, kTextCentre | kTextVCentre,
         {{6, 11, 'A'}, {12, 11, 'B'}, {18, 11, ' '}, {22, 11, 'C'}, {28, 11, 'D'}}},
        {"right bottom", "AB CD", {0, 0, 40, 30}, kTextRight | kTextBottom,
         {{12, 22, 'A'}, {18, 22, 'B'}, {24, 22, ' '}, {28, 22, 'C'}, {34, 22, 'D'}}},
        // Width 9 is taken as 10.
        {"odd width centred", "(A", {0, 0, 41, 12}, kTextCentre, {{15, 0, '('}, {18, 0, 'A'}}},
        // Lines stop when the next would pass the bottom.
        {"bottom", "AB AB AB", {0, 0, 14, 30}, kTextWrap, {{0, 0, 'A'}, {6, 0, 'B'}, {0, 12, ' '}, {4, 12, 'A'}}},
        {"glyph wider than its cell", "WA", {0, 0, 40, 12}, 0, {{0, 0, 'W'}, {12, 0, 'A'}}},
        // Centred on the width of what is drawn.
        {"limited and centred", "ABCD", {0, 0, 40, 12}, kTextCentre, {{14, 0, 'A'}, {20, 0, 'B'}}, 2},
        {"nothing", "ABCD", {0, 0, 40, 12}, 0, {}, 0},
        {"cut inside a character", "A\xC3\xA9", {0, 0, 40, 12}, 0, {{0, 0, 'A'}}, 2},
    };
    const uint16_t white = Rgb565(kWhite);
    for (const LayoutCase& c : cases) {
        CDC dc(CDC::kMemory, 48, 40);
        dc.SetTextColor(kWhite, kFontNormal);
        dc.SetTextFormat(c.format);
        ASSERT_TRUE(dc.DrawText(&c.rect, c.text, c.maxBytes)) << c.name;
        EXPECT_TRUE(MatchesWithin(Snapshot(dc), Expect(48, 40, c.want, c.rect, 8, white), {0, 0}, c.name));
    }
}

TEST(DcTextTest, StylesAndBackground) {
    UseBlockFonts();
    const CRect r(0, 0, 40, 30);
    const uint16_t white = Rgb565(kWhite), blue = Rgb565(kBlue);
    {
        CDC dc(CDC::kMemory, 48, 40);
        dc.SetTextColor(kWhite, kFontBold);
        dc.DrawText(&r, "AB", 2);
        EXPECT_TRUE(MatchesWithin(Snapshot(dc), Expect(48, 40, {{0, 0, 'A'}, {6, 0, 'B'}, {1, 0, 'A'}, {7, 0, 'B'}}, r, 8, white),
                                  {0, 0}, "bold"));
    }
    {
        CDC dc(CDC::kMemory, 48, 40);
        dc.SetTextColor(kWhite, kFontOutline);
        dc.DrawText(&r, "A", 1);
        std::vector<Place> around;
        for (const auto& [dx, dy] : {std::pair{0, 0}, {0, 1}, {0, 2}, {1, 0}, {1, 2}, {2, 0}, {2, 1}, {2, 2}})
            around.push_back({dx, dy, 'A'});
        EXPECT_TRUE(MatchesWithin(Snapshot(dc), Expect(48, 40, around, r, 8, white), {0, 0}, "outline"));
    }
    {
        CDC dc(CDC::kMemory, 48, 40);
        dc.SetTextColor(kWhite, kFontSmall);
        dc.DrawText(&r, "AB", 2);
        EXPECT_TRUE(MatchesWithin(Snapshot(dc), Expect(48, 40, {{0, 0, 'A'}, {10, 0, 'B'}}, r, 16, white), {0, 0},
                                  "small"));
    }
    {
        CDC dc(CDC::kMemory, 48, 40);
        dc.SetTextColor(kWhite, kFontNormal);
        dc.SetBkMode(0);
        dc.SetBkColor(kBlue);
        dc.DrawText(&r, "A B", 3);
        EXPECT_TRUE(MatchesWithin(Snapshot(dc), Expect(48, 40, {{0, 0, 'A'}, {6, 0, ' '}, {10, 0, 'B'}}, r, 8, white, blue),
                                  {0, 0}, "opaque"));
    }
}

// A glyph without advance goes over the one before and the pen stays after that one, so the next
// glyph does not overprint it; its clear pixels leave what is under them, even in opaque mode.
TEST(DcTextTest, CombiningAccentSitsOnThePreviousGlyph) {
    UseBlockFonts();
    const CRect r(0, 0, 40, 30);
    const uint16_t white = Rgb565(kWhite), blue = Rgb565(kBlue);
    for (int bk : {1, 0}) {
        CDC dc(CDC::kMemory, 48, 40);
        dc.SetTextColor(kWhite, kFontNormal);
        dc.SetBkMode(bk);
        dc.SetBkColor(kBlue);
        ASSERT_TRUE(dc.DrawText(&r, "A\xCC\x81" "B\xCC\x81\xCC\x81", 100));
        const std::vector<Place> want = {{0, 0, 'A'}, {0, 0, kCombiningAcute, 6}, {6, 0, 'B'},
                                         {6, 0, kCombiningAcute, 6}};
        EXPECT_TRUE(MatchesWithin(Snapshot(dc), Expect(48, 40, want, r, 8, white, bk == 0 ? blue : -1), {0, 0},
                                  bk ? "accent" : "accent-opaque"));
    }
}

TEST(DcTextTest, TextFollowsWindowAndClip) {
    UseBlockFonts();
    CDC dc(CDC::kMemory, 48, 40);
    dc.SetTextColor(kWhite, kFontNormal);
    const CRect window(5, 3, 48, 40);
    dc.SetClipRect(&window);
    const CRect hole(12, 0, 15, 40);
    dc.SubtractClipRect(&hole);
    const CRect r(0, 0, 30, 12);
    ASSERT_TRUE(dc.DrawText(&r, "ABC", 3));
    CRegion clip;
    dc.GetClipRgn(&clip);
    Picture want = Expect(48, 40, {{5, 3, 'A'}, {11, 3, 'B'}, {17, 3, 'C'}}, CRect(5, 3, 35, 15), 8, Rgb565(kWhite));
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 48; ++x)
            if (!clip.ContainsPoint(x, y)) want.Set(x, y, 0);
    EXPECT_TRUE(MatchesWithin(Snapshot(dc), want, {0, 0}, "text-clip"));
    const CRect off(100, 100, 120, 120);
    EXPECT_FALSE(dc.DrawText(&off, "A", 1));
    EXPECT_FALSE(dc.DrawText(nullptr, "A", 1));
    EXPECT_FALSE(dc.DrawText(&r, nullptr, 1));
}

// FreeType's own rendering of the same face and size, placed by its metrics with the baseline at 13/16
// of the size and blended by coverage over what is under it.
struct FreeTypeGlyph {
    int left, top, width, rows, advance;
    std::vector<uint8_t> coverage;
};

class FreeTypeFace {
public:
    FreeTypeFace(const char* path, int size) {
        m_ok = FT_Init_FreeType(&m_lib) == 0 && FT_New_Face(m_lib, path, 0, &m_face) == 0 &&
               FT_Set_Pixel_Sizes(m_face, 0, FT_UInt(size)) == 0;
    }
    ~FreeTypeFace() {
        if (m_face != nullptr) FT_Done_Face(m_face);
        if (m_lib != nullptr) FT_Done_FreeType(m_lib);
    }
    bool Ok() const { return m_ok; }
    FreeTypeGlyph Glyph(uint32_t code) {
        FreeTypeGlyph g{};
        if (FT_Load_Char(m_face, code, FT_LOAD_RENDER) != 0) return g;
        const FT_GlyphSlot s = m_face->glyph;
        g.left = s->bitmap_left;
        g.top = s->bitmap_top;
        g.width = int(s->bitmap.width);
        g.rows = int(s->bitmap.rows);
        g.advance = int(s->advance.x >> 6);
        for (int r = 0; r < g.rows; ++r)
            for (int c = 0; c < g.width; ++c) g.coverage.push_back(s->bitmap.buffer[r * s->bitmap.pitch + c]);
        return g;
    }

private:
    FT_Library m_lib = nullptr;
    FT_Face m_face = nullptr;
    bool m_ok = false;
};

// RGB565 channels widened with their low bits clear, blended, and cut back.
uint16_t Blend(uint16_t base, uint16_t text, int g) {
    auto ch = [](uint16_t p, int i) {
        return i == 0 ? (p & 0xF800) >> 8 : i == 1 ? (p & 0x7E0) >> 3 : (p << 3) & 0xF8;
    };
    int out[3];
    for (int i = 0; i < 3; ++i) out[i] = ((255 - g) * ch(base, i) + g * ch(text, i)) / 255;
    return uint16_t((out[0] >> 3) << 11 | (out[1] >> 2) << 5 | out[2] >> 3);
}

TEST(DcTextTest, TrueTypeGlyphsBlendByCoverageWhereFreeTypePlacesThem) {
    UseTrueType(24);
    FreeTypeFace face(varnelle::font_test::kDejaVu, 24);
    ASSERT_TRUE(face.Ok());
    const char* text = "Ag%&";
    const uint16_t bg = Rgb565(kBlue), white = Rgb565(kWhite), yellow = Rgb565(kYellow);
    for (int opaque : {0, 1}) {
        CDC dc(CDC::kMemory, 120, 60);
        dc.SetBrush(kBlue, 0);
        dc.SetRectStyle(kRectNoBorder);
        const CRect all(0, 0, 120, 60);
        dc.Rectangle(&all, 0, 0);
        dc.SetTextColor(kWhite, kFontNormal);
        dc.SetBkMode(opaque ? 0 : 1);
        dc.SetBkColor(kYellow);
        const CRect r(10, 5, 110, 55);
        ASSERT_TRUE(dc.DrawText(&r, text, 100));

        Picture want(120, 60, bg);
        int pen = 10;
        std::set<int> seen;
        for (const char* p = text; *p != '\0'; ++p) {
            const FreeTypeGlyph g = face.Glyph(uint8_t(*p));
            const int x0 = pen + g.left, y0 = 5 + 13 * 24 / 16 - g.top;
            for (int row = 0; row < g.rows; ++row)
                for (int col = 0; col < g.width; ++col) {
                    const int a = g.coverage[size_t(row) * g.width + col];
                    seen.insert(a == 0 ? 0 : a == 255 ? 255 : 128);
                    const int x = x0 + col, y = y0 + row;
                    if (!r.PtInRect(x, y)) continue;
                    if (a == 0) {
                        if (opaque) want.Set(x, y, yellow);
                    } else {
                        want.Set(x, y, Blend(opaque ? yellow : want.At(x, y), white, a));
                    }
                }
            pen += g.advance;
        }
        EXPECT_EQ(seen, (std::set<int>{0, 128, 255})) << "coverage 0, between, and 255";
        EXPECT_TRUE(MatchesWithin(Snapshot(dc), want, {0, 0}, opaque ? "truetype-opaque" : "truetype"));
    }
}

// A string far longer than its one visible line: the drawing holds the pictures of the glyphs it
// draws, one line's worth at most, and keeps nothing of the string once it returns.
TEST(DcTextTest, LongStringHoldsOnlyTheGlyphsItDraws) {
    std::string text;
    while (text.size() < 20000) text += "Wide glyphs (and some narrow ones): 0123456789. ";
    const std::string prefix = text.substr(0, 250);
    auto& counters = varnelle::draw_internal::Counters();
    const CRect r(0, 0, 640, 80);
    const struct {
        const char* name;
        void (*use)();
        size_t glyphs;  // most glyphs a line of r shows
        size_t bytes;   // most bytes of one glyph's picture
    } fonts[] = {
        {"block", [] { UseBlockFonts(); }, 640 / 3 + 2, 8},     // advances of 3 or more, 8 x 8 cells
        {"truetype", [] { UseTrueType(64); }, 640 / 10 + 2, 64 * 64},  // advances of 10 or more
    };
    for (const auto& font : fonts) {
        font.use();
        for (const int format : {0, int(kTextCentre), kTextRight | kTextWrap}) {
            for (const int kind : {int(kFontNormal), int(kFontOutline)}) {
                const std::string name =
                    std::string(font.name) + " format " + std::to_string(format) + " kind " + std::to_string(kind);
                CDC dc(CDC::kMemory, 640, 80);
                dc.SetTextColor(kWhite, kind);
                dc.SetTextFormat(format);
                counters = {};
                ASSERT_TRUE(dc.DrawText(&r, text.c_str(), int(text.size()))) << name;
                EXPECT_GT(counters.peakGlyphPictures, 0u) << name;
                EXPECT_LE(counters.peakGlyphPictures, font.glyphs) << name;
                EXPECT_LE(counters.peakGlyphBytes, font.glyphs * font.bytes) << name;
                EXPECT_EQ(counters.glyphPictures, 0u) << name;
                EXPECT_LE(counters.textScratchBytes, 64u * 1024) << name;
                if (format == 0) {
                    // What shows is the string's beginning.
                    CDC start(CDC::kMemory, 640, 80);
                    start.SetTextColor(kWhite, kind);
                    ASSERT_TRUE(start.DrawText(&r, prefix.c_str(), int(prefix.size())));
                    EXPECT_TRUE(MatchesWithin(Snapshot(dc), Snapshot(start), {0, 0}, "long-" + name));
                }
            }
        }
    }
}

std::string Utf8(const std::vector<uint16_t>& codes) {
    std::string s;
    for (uint16_t c : codes) {
        if (c < 0x80) {
            s += char(c);
        } else if (c < 0x800) {
            s += char(0xC0 | c >> 6);
            s += char(0x80 | (c & 0x3F));
        } else {
            s += char(0xE0 | c >> 12);
            s += char(0x80 | ((c >> 6) & 0x3F));
            s += char(0x80 | (c & 0x3F));
        }
    }
    return s;
}

Picture DrawUnder(const char* language, const std::string& text) {
    CLocales::instance()->setLanguage(language);
    CDC dc(CDC::kMemory, 400, 40);
    dc.SetTextColor(kWhite, kFontNormal);
    const CRect r(0, 0, 400, 40);
    EXPECT_TRUE(dc.DrawText(&r, text.c_str(), int(text.size())));
    return Snapshot(dc);
}

// Under "Arabic" (and "Farsi") the text is shaped and put in display order before it is laid out;
// under "Hebrew" only put in order; under any other language it is drawn as it comes. Each equals
// drawing what fribidi makes of it.
TEST(DcTextTest, RightToLeftTextEqualsDrawingFribidisOutput) {
    UseTrueType(20);
    ASSERT_TRUE(varnelle::draw_testing::Unicode().ok) << "unicode-data is not installed";
    varnelle::draw_testing::RandomText arabic(7, varnelle::draw_testing::ArabicLetters());
    std::vector<uint16_t> hebrewLetters;
    for (uint16_t c = 0x05D0; c <= 0x05EA; ++c) hebrewLetters.push_back(c);
    varnelle::draw_testing::RandomText hebrew(8, hebrewLetters);
    for (int i = 0; i < 12; ++i) {
        const std::vector<uint16_t> a = arabic.Next();
        const std::string shaped = Utf8(varnelle::draw_testing::FribidiDisplay(a, true));
        const Picture want = DrawUnder("English", shaped);
        EXPECT_TRUE(MatchesWithin(DrawUnder("Arabic", Utf8(a)), want, {0, 0}, "arabic-" + std::to_string(i)));
        EXPECT_TRUE(MatchesWithin(DrawUnder("Farsi", Utf8(a)), want, {0, 0}, "farsi-" + std::to_string(i)));
        const std::vector<uint16_t> h = hebrew.Next();
        EXPECT_TRUE(MatchesWithin(DrawUnder("Hebrew", Utf8(h)),
                                  DrawUnder("English", Utf8(varnelle::draw_testing::FribidiDisplay(h, false))),
                                  {0, 0}, "hebrew-" + std::to_string(i)));
    }
    // Another language lays the codes out as they come.
    const std::vector<uint16_t> word = {0x0628, 0x0644, 0x062F};
    const Picture plain = DrawUnder("English", Utf8(word));
    EXPECT_FALSE(varnelle::draw_testing::Compare(plain, DrawUnder("Arabic", Utf8(word)), 0).differing == 0);
    EXPECT_TRUE(MatchesWithin(DrawUnder("Deutsch", Utf8(word)), plain, {0, 0}, "other-language"));
    CLocales::instance()->setLanguage("English");
}

}  // namespace
