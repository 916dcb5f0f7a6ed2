#include "tools/fontgen/fontgen.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <ft2build.h>
#include FT_FREETYPE_H

#include <gtest/gtest.h>

namespace {

const char* kDejaVu = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

// Advances are stored in a byte, so a cell may be at most 248 pixels wide (the widest multiple of 8
// whose advances still fit); heights are not stored per glyph.
TEST(FontGenTest, CellsMustKeepTheirAdvancesInAByte) {
    const struct Case {
        int width, height;
        bool opens;
    } cases[] = {
        {8, 1, true},   {248, 16, true}, {16, 256, true}, {256, 16, false}, {264, 16, false},
        {0, 16, false}, {12, 16, false}, {16, 0, false},  {16, 257, false},
    };
    for (const Case& c : cases) {
        std::string error;
        auto source = varnelle::fontgen::GlyphSource::Open(kDejaVu, c.width, c.height, &error);
        EXPECT_EQ(source != nullptr, c.opens) << c.width << "x" << c.height;
        EXPECT_EQ(error.empty(), c.opens) << c.width << "x" << c.height;
    }
}

// In the widest cell a wide glyph keeps its advance (as FreeType gives it) in the file.
TEST(FontGenTest, WidestCellStoresTheAdvanceFreeTypeGives) {
    constexpr int kCell = 248;
    constexpr uint16_t kEmDash = 0x2014;
    std::string error;
    auto source = varnelle::fontgen::GlyphSource::Open(kDejaVu, kCell, kCell, &error);
    ASSERT_NE(source, nullptr) << error;
    const std::vector<uint8_t> file =
        varnelle::fontgen::Serialize(varnelle::fontgen::BuildFont(*source, {{kEmDash, kEmDash + 1}}));
    ASSERT_GE(file.size(), 40u);
    const uint32_t advanceAt = Le32(file, 24 + 12);
    ASSERT_LT(advanceAt, file.size());

    FT_Library library;
    ASSERT_EQ(FT_Init_FreeType(&library), 0);
    FT_Face face;
    ASSERT_EQ(FT_New_Face(library, kDejaVu, 0, &face), 0);
    ASSERT_EQ(FT_Set_Pixel_Sizes(face, 0, kCell - kCell / 8), 0);
    ASSERT_EQ(FT_Load_Char(face, kEmDash, FT_LOAD_RENDER), 0);
    const int advance = std::min(static_cast<int>(face->glyph->advance.x >> 6), kCell);
    FT_Done_Face(face);
    FT_Done_FreeType(library);
    EXPECT_GT(advance, 128);
    EXPECT_EQ(file[advanceAt], advance);
}

}  // namespace
