// The bitmap-font renderer: fixed-size one-bit glyphs from a normal and a small bitmap font file (see
// internal/bitmap_font_file.h for the format). The small font serves requests whose size equals its
// glyph size; every other request, and one without a size, uses the normal font. Codes below 128 come
// from caches filled at construction, codes listed to CacheChars from a preloaded table, every other
// code is read from the file on each request.
//
// Thread safety: every operation holds the renderer's mutex (the title thread and the drawing library
// both use it). A font that could not be loaded is never read: its glyphs have advance 0 and draw nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "base/font/font_manager.h"
#include "base/font/internal/bitmap_font_file.h"

class CFontManager : public IFontManager {
public:
    // The process-wide renderer, built on first call and never destroyed. It follows SetFontFile: a
    // later call naming other files makes its next request open them (so a renderer fetched before any
    // font was named still gets its fonts); the preloaded codes are read again from the new file.
    static CFontManager* instance();

    // Stores the chip paths of the normal and the small font the process-wide renderer uses.
    static void SetFontFile(const char* path, const char* smallPath);

    // Opens both files now (chip paths, mapped under $VARNELLE_ROOT); a file that cannot be used is
    // reported on standard output and left unused. Such a renderer does not follow SetFontFile.
    CFontManager(const std::string& path, const std::string& smallPath);
    ~CFontManager() override = default;
    CFontManager(const CFontManager&) = delete;
    CFontManager& operator=(const CFontManager&) = delete;

    // Copies the glyph into raster->bitmap when both are given, in the geometry of `size` (rows of
    // size->width / 8 bytes, size->height rows; the font's own glyph size when `size` is null), cropping
    // or zero-padding a glyph of another size. Sets raster's width and advance to the advance.
    int GetCharRaster(uint16_t code, const FontSize* size, GlyphRaster* raster) override;
    int GetTextWidth(const char* text, const FontSize* size) override;
    // A tab moves the pen to x = 96. Without a size the normal default size is used.
    int TextToBitmap(uint8_t* dst, int& width, int height, const char* text, const FontSize* size) override;
    void DumpBitmap(const uint8_t* bitmap, const FontSize& size) override;

    // Preloads the normal font's glyphs of `codes` (any order, duplicates allowed) so that later
    // requests for them read no file; replaces the previous list.
    void CacheChars(const uint16_t* codes, size_t count);

private:
    struct FollowSetting {};
    explicit CFontManager(FollowSetting);

    void FollowFontSetting();                                               // m_mutex held
    void LoadFonts(const std::string& path, const std::string& smallPath);  // m_mutex held
    void FillCachedGlyphs();  // m_mutex held: reads the glyphs of m_cachedCodes from the normal font

    // The font that serves `size`, or null when that font is not loaded.
    const varnelle::font_internal::BitmapFontFile* FontFor(const FontSize* size) const;
    // Glyph of `code` into `out` (rows of outWidth / 8 bytes, outHeight rows) when given; the advance.
    int GlyphLocked(uint16_t code, const FontSize* size, uint8_t* out, int outWidth, int outHeight);

    std::mutex m_mutex;
    varnelle::font_internal::BitmapFontFile m_normal;  // guarded by m_mutex (reads)
    varnelle::font_internal::BitmapFontFile m_small;   // guarded by m_mutex (reads)
    std::vector<uint16_t> m_cachedCodes;               // guarded by m_mutex; ascending, unique
    std::vector<uint8_t> m_cachedGlyphs;               // guarded by m_mutex; glyphs, then advances
    std::vector<uint8_t> m_glyphScratch;               // guarded by m_mutex
    bool m_bFollowsSetting = false;
    uint64_t m_settingGeneration = UINT64_MAX;  // guarded by m_mutex: the setting the files came from
};
