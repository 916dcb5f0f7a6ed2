// One bitmap font file, kept open for reading. Little-endian layout:
//   header (24 bytes): four words not interpreted, u32 file length, u32 range count;
//   range table (count x 16 bytes, ascending by first code): u16 first, u16 end (exclusive),
//     u16 glyph width, u16 glyph height, u32 offset of the range's glyphs, u32 offset of its advances;
//   glyphs: (width x height) / 8 bytes each, rows of width / 8 bytes; advances: one byte per code.
// Only the first range's width and height count: that glyph size applies to every range.
// Open checks every table against the file's length, so no later read can leave the file.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace varnelle::font_internal {

struct BitmapFontRange {
    uint16_t first = 0;
    uint16_t end = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    uint32_t glyphOffset = 0;
    uint32_t advanceOffset = 0;
};

enum class FontFileError {
    kNone,
    kCannotOpen,
    kShortHeader,
    kLengthMismatch,  // the header's length field differs from the file's length
    kNoRanges,
    kTableOutsideFile,
    kBadGlyphSize,    // width not a positive multiple of 8, height not positive, or either above the limit
    kRangesUnsorted,  // first codes not ascending, or an end below its first
    kRangeOutsideFile,
};

class BitmapFontFile {
public:
    static constexpr int kHeaderBytes = 24;
    static constexpr int kRangeBytes = 16;
    static constexpr int kMaxGlyphPixels = 256;  // advances are bytes, so a wider glyph cannot be placed

    BitmapFontFile() = default;
    ~BitmapFontFile();
    BitmapFontFile(const BitmapFontFile&) = delete;
    BitmapFontFile& operator=(const BitmapFontFile&) = delete;

    // Opens and checks the file and fills the ASCII cache; on failure the object stays closed.
    FontFileError Open(const std::string& path);
    bool IsOpen() const { return m_fd >= 0; }

    int GlyphWidth() const { return m_iWidth; }
    int GlyphHeight() const { return m_iHeight; }
    int GlyphBytes() const { return m_iGlyphBytes; }
    const std::array<uint8_t, kHeaderBytes>& Header() const { return m_header; }
    const std::vector<BitmapFontRange>& Ranges() const { return m_ranges; }

    // Writes the glyph of `code` (GlyphBytes() bytes) into `glyph` when given and returns its advance.
    // Codes below 128 come from the ASCII cache (zero glyph and advance when no range holds them);
    // other codes are read from the file, and a code no range holds gives a solid block with an
    // advance of half the glyph width. A read that comes back short gives an empty glyph, advance 0.
    // Safe to call from several threads (positioned reads); the file must be open.
    int Glyph(uint16_t code, uint8_t* glyph) const;

    // The same as Glyph for codes of 128 and above, always from the file.
    int ReadGlyph(uint16_t code, uint8_t* glyph) const;

private:
    void Close();
    const BitmapFontRange* Find(uint16_t code) const;

    int m_fd = -1;
    std::array<uint8_t, kHeaderBytes> m_header{};
    std::vector<BitmapFontRange> m_ranges;
    int m_iWidth = 0;
    int m_iHeight = 0;
    int m_iGlyphBytes = 0;
    std::vector<uint8_t> m_ascii;  // 128 glyphs, then 128 advance bytes
};

}  // namespace varnelle::font_internal
