// Builds bitmap font files (the renderer's fixed-size one-bit format) from a scalable font on the host:
// each glyph is rendered through FreeType into a fixed cell, thresholded to one bit. Used by the
// varnelle-fontgen tool and by tests that need real font files.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct FT_LibraryRec_;
struct FT_FaceRec_;

namespace varnelle::fontgen {

struct CodeRange {
    uint16_t first = 0;
    uint16_t end = 0;  // exclusive
};

// One cell: rows of width / 8 bytes, most significant bit leftmost, and the pen advance.
struct CellGlyph {
    std::vector<uint8_t> bits;
    int advance = 0;
};

struct BitmapFont {
    int width = 0;  // a multiple of 8
    int height = 0;
    std::vector<CodeRange> ranges;  // ascending, not overlapping
    std::vector<CellGlyph> glyphs;  // every code of every range, in range order
};

// The largest cell: a glyph's advance (up to the cell width) is stored in one byte.
constexpr int kMaxCellWidth = 248;
constexpr int kMaxCellHeight = 256;

// A scalable font rendered into cells of width x height pixels: the glyph's pixels whose coverage is
// at least half are set, the baseline sits at the font's ascent, pixels outside the cell are dropped.
class GlyphSource {
public:
    // Null with `error` set when the font cannot be opened or the cell is not a multiple of 8 up to
    // kMaxCellWidth wide and 1 to kMaxCellHeight high.
    static std::unique_ptr<GlyphSource> Open(const std::string& fontPath, int width, int height,
                                             std::string* error);
    ~GlyphSource();
    GlyphSource(const GlyphSource&) = delete;
    GlyphSource& operator=(const GlyphSource&) = delete;

    int Width() const { return m_iWidth; }
    int Height() const { return m_iHeight; }
    bool Has(uint16_t code) const;
    // The cell of `code`; its advance is the font's, capped at the cell width.
    CellGlyph Render(uint16_t code) const;
    // The runs of codes in [first, end) that the font has a glyph for.
    std::vector<CodeRange> CoveredRuns(uint16_t first, uint16_t end) const;

private:
    GlyphSource() = default;
    FT_LibraryRec_* m_library = nullptr;
    FT_FaceRec_* m_face = nullptr;
    int m_iWidth = 0;
    int m_iHeight = 0;
    int m_iBaseline = 0;
};

// Renders every code of `ranges` (ascending, not overlapping).
BitmapFont BuildFont(const GlyphSource& source, const std::vector<CodeRange>& ranges);

// The file image: header (4 zero words, length, range count), range table, glyphs, advances.
std::vector<uint8_t> Serialize(const BitmapFont& font);

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);

// The codes the tool puts in its files: what the font has of Latin, Greek, Cyrillic and punctuation.
std::vector<CodeRange> DefaultRanges(const GlyphSource& source);

}  // namespace varnelle::fontgen
