#include "tools/fontgen/fontgen.h"

#include <algorithm>
#include <cstdio>

#include <ft2build.h>
#include FT_FREETYPE_H

namespace varnelle::fontgen {
namespace {

void Put16(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    out[at] = static_cast<uint8_t>(v);
    out[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

std::unique_ptr<GlyphSource> GlyphSource::Open(const std::string& fontPath, int width, int height,
                                               std::string* error) {
    // Advances are stored in a byte and reach the cell width, so the cell stops short of 256.
    if (width <= 0 || width % 8 != 0 || height <= 0 || width > kMaxCellWidth || height > kMaxCellHeight) {
        *error = "cell must be 8 to 248 pixels wide in steps of 8 and 1 to 256 high";
        return nullptr;
    }
    std::unique_ptr<GlyphSource> s(new GlyphSource);
    if (FT_Init_FreeType(&s->m_library) != 0) {
        s->m_library = nullptr;
        *error = "cannot start FreeType";
        return nullptr;
    }
    if (FT_New_Face(s->m_library, fontPath.c_str(), 0, &s->m_face) != 0) {
        s->m_face = nullptr;
        *error = "cannot open font " + fontPath;
        return nullptr;
    }
    // Leave room below the baseline for descenders: the em takes seven eighths of the cell.
    const int pixels = std::max(1, height - height / 8);
    if (FT_Select_Charmap(s->m_face, FT_ENCODING_UNICODE) != 0 ||
        FT_Set_Pixel_Sizes(s->m_face, 0, static_cast<FT_UInt>(pixels)) != 0) {
        *error = "font has no Unicode charmap or cannot take the size";
        return nullptr;
    }
    s->m_iWidth = width;
    s->m_iHeight = height;
    s->m_iBaseline = static_cast<int>((s->m_face->size->metrics.ascender + 63) >> 6);
    return s;
}

GlyphSource::~GlyphSource() {
    if (m_face != nullptr) FT_Done_Face(m_face);
    if (m_library != nullptr) FT_Done_FreeType(m_library);
}

bool GlyphSource::Has(uint16_t code) const {
    return FT_Get_Char_Index(m_face, code) != 0;
}

CellGlyph GlyphSource::Render(uint16_t code) const {
    const int stride = m_iWidth / 8;
    CellGlyph cell;
    cell.bits.assign(static_cast<size_t>(stride) * m_iHeight, 0);
    if (FT_Load_Char(m_face, code, FT_LOAD_RENDER) != 0) return cell;
    const FT_GlyphSlot slot = m_face->glyph;
    cell.advance = std::clamp(static_cast<int>(slot->advance.x >> 6), 0, m_iWidth);
    const FT_Bitmap& bm = slot->bitmap;
    if (bm.pixel_mode != FT_PIXEL_MODE_GRAY || bm.pitch < 0) return cell;
    for (unsigned r = 0; r < bm.rows; ++r) {
        const int y = m_iBaseline - slot->bitmap_top + static_cast<int>(r);
        if (y < 0 || y >= m_iHeight) continue;
        for (unsigned c = 0; c < bm.width; ++c) {
            const int x = slot->bitmap_left + static_cast<int>(c);
            if (x < 0 || x >= m_iWidth || bm.buffer[r * static_cast<unsigned>(bm.pitch) + c] < 128) continue;
            cell.bits[static_cast<size_t>(y) * stride + x / 8] |= static_cast<uint8_t>(0x80u >> (x % 8));
        }
    }
    return cell;
}

std::vector<CodeRange> GlyphSource::CoveredRuns(uint16_t first, uint16_t end) const {
    std::vector<CodeRange> runs;
    for (uint32_t c = first; c < end; ++c) {
        if (!Has(static_cast<uint16_t>(c))) continue;
        if (!runs.empty() && runs.back().end == c) {
            runs.back().end = static_cast<uint16_t>(c + 1);
        } else {
            runs.push_back({static_cast<uint16_t>(c), static_cast<uint16_t>(c + 1)});
        }
    }
    return runs;
}

BitmapFont BuildFont(const GlyphSource& source, const std::vector<CodeRange>& ranges) {
    BitmapFont font;
    font.width = source.Width();
    font.height = source.Height();
    font.ranges = ranges;
    for (const CodeRange& r : ranges)
        for (uint32_t c = r.first; c < r.end; ++c)
            font.glyphs.push_back(source.Render(static_cast<uint16_t>(c)));
    return font;
}

std::vector<uint8_t> Serialize(const BitmapFont& font) {
    const size_t glyphBytes = static_cast<size_t>(font.width) * font.height / 8;
    const size_t count = font.ranges.size();
    size_t codes = 0;
    for (const CodeRange& r : font.ranges) codes += r.end - r.first;
    const size_t tableAt = 24;
    const size_t glyphsAt = tableAt + 16 * count;
    const size_t advancesAt = glyphsAt + codes * glyphBytes;
    std::vector<uint8_t> out(advancesAt + codes, 0);
    Put32(out, 16, static_cast<uint32_t>(out.size()));
    Put32(out, 20, static_cast<uint32_t>(count));
    size_t index = 0;
    for (size_t i = 0; i < count; ++i) {
        const CodeRange& r = font.ranges[i];
        const size_t e = tableAt + 16 * i;
        Put16(out, e, r.first);
        Put16(out, e + 2, r.end);
        Put16(out, e + 4, static_cast<uint32_t>(font.width));
        Put16(out, e + 6, static_cast<uint32_t>(font.height));
        Put32(out, e + 8, static_cast<uint32_t>(glyphsAt + index * glyphBytes));
        Put32(out, e + 12, static_cast<uint32_t>(advancesAt + index));
        for (uint32_t c = r.first; c < r.end; ++c, ++index) {
            const CellGlyph& g = font.glyphs[index];
            std::copy(g.bits.begin(), g.bits.end(),
                      out.begin() + static_cast<long>(glyphsAt + index * glyphBytes));
            out[advancesAt + index] = static_cast<uint8_t>(g.advance);
        }
    }
    return out;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

std::vector<CodeRange> DefaultRanges(const GlyphSource& source) {
    std::vector<CodeRange> all;
    for (const CodeRange block : {CodeRange{0x20, 0x7F}, CodeRange{0xA0, 0x530}, CodeRange{0x2000, 0x2070},
                                  CodeRange{0x20A0, 0x20C0}}) {
        const std::vector<CodeRange> runs = source.CoveredRuns(block.first, block.end);
        all.insert(all.end(), runs.begin(), runs.end());
    }
    return all;
}

}  // namespace varnelle::fontgen
