// The font-manager interface: UTF-8 text to one-bit glyph bitmaps, with two renderers behind it (a pair
// of fixed-size bitmap font files, and a TrueType font through FreeType). A process-wide choice, made by
// IFontManager::SetFontFile, decides which renderer IFontManager::instance returns.
//
// One-bit bitmaps (destinations and bitmap-font glyphs) have rows of width / 8 bytes, the most
// significant bit of a byte the leftmost pixel; pixels past the last whole byte of a row do not exist and
// are never written. Renderers only set bits: the caller clears the destination.
#pragma once

#include <cstddef>
#include <cstdint>

// A glyph size {width, height} in pixels.
struct FontSize {
    int width = 0;
    int height = 0;
};

// One glyph with its metrics; a 128-byte record. For the bitmap renderer `bitmap` is an input (the
// caller's buffer that receives the one-bit glyph); for the TrueType renderer it is an output (8-bit
// coverage owned by the renderer, rows of `width` bytes, valid until the next call on the renderer).
struct GlyphRaster {
    int32_t left = 0;     // left bearing in pixels
    int32_t top = 0;      // top offset from the baseline in pixels, negative above it
    int32_t width = 0;    // bitmap width in pixels
    int32_t rows = 0;     // bitmap rows
    int32_t advance = 0;  // pen advance in pixels
    int32_t code = 0;     // character code
    uint8_t* bitmap = nullptr;
    uint8_t reserved[128 - 6 * sizeof(int32_t) - sizeof(uint8_t*)] = {};
};
static_assert(sizeof(GlyphRaster) == 128, "GlyphRaster is a 128-byte record");

class IFontManager {
public:
    virtual ~IFontManager() = default;

    // Decodes one UTF-8 character of one to three bytes into a 16-bit code and stores its byte length in
    // `length`. A NUL, a four-byte lead byte or a stray continuation byte gives length 0, which is where
    // every caller stops. A sequence cut short by an ASCII byte or a new lead byte yields the partial
    // value with the length its lead byte declared. Overlong forms are not rejected.
    static uint16_t DecodeUtf8Char(const char* text, int& length);
    virtual uint16_t Utf8ToUnicode(const char* text, int& length) { return DecodeUtf8Char(text, length); }

    // The advance of `code` (0 to 255) at `size` (null: the renderer's default); fills `raster` when
    // given. A code missing from the font still yields a glyph and an advance.
    virtual int GetCharRaster(uint16_t code, const FontSize* size, GlyphRaster* raster) = 0;

    // The sum of the advances of the text's characters; 0 for a null or empty text.
    virtual int GetTextWidth(const char* text, const FontSize* size) = 0;

    // Renders `text` into `dst`, a one-bit bitmap of `height` rows of `width` / 8 bytes; nothing outside
    // those rows is written. `width` is only read. Returns 1 on success, 0 when nothing could be drawn
    // (bad arguments, no usable font, a size the font cannot take).
    virtual int TextToBitmap(uint8_t* dst, int& width, int height, const char* text,
                             const FontSize* size) = 0;

    // Prints a one-bit bitmap of size.width x size.height to standard output, '*' for a set pixel.
    virtual void DumpBitmap(const uint8_t* bitmap, const FontSize& size) = 0;

    // A path without ".bin" selects the TrueType renderer with that font; else the bitmap renderer with
    // the two files. Paths are chip paths ("/data/Fonts/..."), placed under $VARNELLE_ROOT when opened.
    static void SetFontFile(const char* path, const char* smallPath);

    // The renderer chosen by the last SetFontFile (the bitmap renderer before any). Never null.
    static IFontManager* instance();

    // True while the TrueType renderer is the chosen one (the drawing library picks its text form by it).
    static bool IsTrueType();
};

// Fills `size` with {s, s}: the small default glyph size when `smallFlag` is nonzero, else the normal
// one. Returns false only for a null `size`.
bool GetDefaultFontSize(int smallFlag, FontSize* size);

// Sets the small (smallFlag nonzero) or normal default glyph size; the drawing library's font-size
// setting writes through here. Sizes outside 1 to 255 are refused (false). Any thread may call it.
bool StoreDefaultFontSize(int smallFlag, int pixels);
