// The TrueType renderer: glyphs of one TrueType (or OpenType) font rendered through FreeType, kept in a
// cache of at most 257 glyphs keyed by {code, width, height}; a pixel of the one-bit output is set
// wherever FreeType's coverage is nonzero. Text is placed on a baseline at three quarters of the glyph
// height; pixels falling outside the destination's width or rows are dropped.
//
// Thread safety: every operation holds the renderer's recursive mutex; the coverage bitmap a raster
// points at stays valid only until the next call on the renderer. Without an open face FreeType is never
// called: requests draw nothing and advances are 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "base/font/font_manager.h"

struct FT_LibraryRec_;
struct FT_FaceRec_;

class CFontManagerTT : public IFontManager {
public:
    static constexpr size_t kCacheLimit = 256;  // the cache holds at most this many plus the newest
    static constexpr int kMaxFontPixels = 255;

    // The process-wide renderer, built on first call and never destroyed. It follows SetFontFile: a
    // later call naming another font makes its next request reopen the face and empty the cache.
    static CFontManagerTT* instance();

    // Stores the chip path of the TrueType font the process-wide renderer uses.
    static void SetFontFile(const char* path);

    // A renderer of the font at `path` (a chip path, mapped under $VARNELLE_ROOT); it does not follow
    // SetFontFile. The current size starts at 24 x 24.
    explicit CFontManagerTT(const std::string& path);
    ~CFontManagerTT() override;
    CFontManagerTT(const CFontManagerTT&) = delete;
    CFontManagerTT& operator=(const CFontManagerTT&) = delete;

    // Selects the Unicode (else Latin-1) charmap and sets the pixel height of `size` (null: the current
    // size; a given size becomes current). False when there is no face, no such charmap, or the size is
    // outside 1 to kMaxFontPixels or refused by FreeType.
    bool SetFontSize(const FontSize* size);

    // Nothing to preload: glyphs are rendered and cached on first use.
    void CacheChars(const uint16_t* codes, size_t count);

    // raster->bitmap is set to 8-bit coverage owned by the renderer. The advance is capped at 255.
    int GetCharRaster(uint16_t code, const FontSize* size, GlyphRaster* raster) override;
    // The same glyph with its coverage copied into `coverage` (width x rows bytes) while the mutex is
    // held, and raster->bitmap pointing there (null for an empty glyph): the copy stays valid whatever
    // other threads ask of the renderer, where the renderer's own bitmap may be evicted at once.
    int GetCharRaster(uint16_t code, const FontSize* size, GlyphRaster* raster,
                      std::vector<uint8_t>* coverage);
    // The advances of count codes, each as GetCharRaster gives it, under one hold of the mutex.
    void GetAdvances(const uint16_t* codes, size_t count, const FontSize* size, int32_t* advances);
    int GetTextWidth(const char* text, const FontSize* size) override;
    int TextToBitmap(uint8_t* dst, int& width, int height, const char* text, const FontSize* size) override;
    void DumpBitmap(const uint8_t* bitmap, const FontSize& size) override;

    // Number of glyphs in the cache, and whether {code, size} is among them.
    size_t CachedGlyphCount();
    bool IsCached(uint16_t code, const FontSize& size);

private:
    struct FollowSetting {};
    explicit CFontManagerTT(FollowSetting);

    using Key = std::tuple<uint16_t, int, int>;  // code, width, height
    struct CachedGlyph {
        GlyphRaster raster;  // raster.bitmap points into coverage
        std::vector<uint8_t> coverage;
    };

    void OpenFace(const std::string& path);  // m_mutex held
    void CloseFace();                        // m_mutex held
    void FollowFontSetting();                // m_mutex held
    bool SetFontSizeLocked(const FontSize* size);
    int GetCharRasterLocked(uint16_t code, const FontSize* size, GlyphRaster* raster);

    std::recursive_mutex m_mutex;
    FontSize m_curSize{24, 24};           // guarded by m_mutex
    FT_LibraryRec_* m_library = nullptr;  // guarded by m_mutex
    FT_FaceRec_* m_face = nullptr;        // guarded by m_mutex
    bool m_bCharmapOk = false;            // guarded by m_mutex: a Unicode or Latin-1 charmap is selected
    int m_iFaceHeight = 0;                // guarded by m_mutex: pixel height set on the face, 0 for none
    std::map<Key, CachedGlyph> m_cache;   // guarded by m_mutex
    bool m_bFollowsSetting = false;
    uint64_t m_settingGeneration = UINT64_MAX;  // guarded by m_mutex: the setting the face came from
};
