#include "base/font/bitmap_font_manager.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/font/internal/font_setting.h"
#include "base/font/internal/one_bit.h"
#include "base/font/internal/text.h"
#include "base/file.h"

using varnelle::font_internal::BitmapFontFile;
using varnelle::font_internal::FontFileError;
using varnelle::font_internal::OneBitAt;
using varnelle::font_internal::OneBitCanvas;

namespace {

constexpr int kTabStop = 96;

varnelle::font_internal::FontPathSetting& Setting() {
    static auto* setting = new varnelle::font_internal::FontPathSetting;
    return *setting;
}

bool IsUsableSize(const FontSize& s) {
    return s.width >= 8 && s.height >= 1 && s.width <= BitmapFontFile::kMaxGlyphPixels &&
           s.height <= BitmapFontFile::kMaxGlyphPixels;
}

}  // namespace

void CFontManager::SetFontFile(const char* path, const char* smallPath) {
    Setting().Store(path != nullptr ? path : "", smallPath != nullptr ? smallPath : "");
}

CFontManager* CFontManager::instance() {
    static CFontManager* renderer = new CFontManager(FollowSetting{});
    return renderer;
}

CFontManager::CFontManager(const std::string& path, const std::string& smallPath) {
    std::puts("CFontManager::CFontManager()>>>>>>>>>");
    std::lock_guard<std::mutex> lock(m_mutex);
    LoadFonts(path, smallPath);
}

CFontManager::CFontManager(FollowSetting) : m_bFollowsSetting(true) {
    std::puts("CFontManager::CFontManager()>>>>>>>>>");
    std::lock_guard<std::mutex> lock(m_mutex);
    FollowFontSetting();
}

void CFontManager::FollowFontSetting() {
    std::string path, smallPath;
    if (m_bFollowsSetting && Setting().ChangedSince(m_settingGeneration, &path, &smallPath))
        LoadFonts(path, smallPath);
}

void CFontManager::LoadFonts(const std::string& path, const std::string& smallPath) {
    if (m_small.Open(LocalFilePath(smallPath.c_str())) != FontFileError::kNone)
        std::puts("CFontManager::CFontManager Open FontSmallEn.bin File Failed!");
    if (m_normal.Open(LocalFilePath(path.c_str())) != FontFileError::kNone)
        std::puts("CFontManager::CFontManager Open Font File Failed!");
    FillCachedGlyphs();  // the preloaded codes stay preloaded, now from the new file
}

const BitmapFontFile* CFontManager::FontFor(const FontSize* size) const {
    if (size != nullptr && m_small.IsOpen() && size->width == m_small.GlyphWidth() &&
        size->height == m_small.GlyphHeight())
        return &m_small;
    return m_normal.IsOpen() ? &m_normal : nullptr;
}

int CFontManager::GlyphLocked(uint16_t code, const FontSize* size, uint8_t* out, int outWidth,
                              int outHeight) {
    const BitmapFontFile* font = FontFor(size);
    if (font == nullptr) return 0;
    const int gb = font->GlyphBytes();
    uint8_t* glyph = nullptr;
    if (out != nullptr) {
        m_glyphScratch.resize(static_cast<size_t>(gb));
        glyph = m_glyphScratch.data();
    }

    int advance = 0;
    auto cached = std::lower_bound(m_cachedCodes.begin(), m_cachedCodes.end(), code);
    if (font == &m_normal && code >= 128 && cached != m_cachedCodes.end() && *cached == code) {
        const size_t i = static_cast<size_t>(cached - m_cachedCodes.begin());
        if (glyph != nullptr) std::memcpy(glyph, &m_cachedGlyphs[i * gb], static_cast<size_t>(gb));
        advance = m_cachedGlyphs[m_cachedCodes.size() * gb + i];
    } else {
        advance = font->Glyph(code, glyph);
    }

    if (out != nullptr) {
        // Re-stride into the caller's geometry: a glyph of another size is cropped or zero-padded,
        // never copied past the caller's rows.
        const int inStride = font->GlyphWidth() / 8;
        const int outStride = outWidth / 8;
        for (int r = 0; r < outHeight; ++r) {
            uint8_t* dst = out + static_cast<long>(r) * outStride;
            std::memset(dst, 0, static_cast<size_t>(outStride));
            if (r < font->GlyphHeight())
                std::memcpy(dst, glyph + static_cast<long>(r) * inStride,
                            static_cast<size_t>(std::min(inStride, outStride)));
        }
    }
    return advance;
}

int CFontManager::GetCharRaster(uint16_t code, const FontSize* size, GlyphRaster* raster) {
    std::lock_guard<std::mutex> lock(m_mutex);
    FollowFontSetting();
    uint8_t* out = nullptr;
    int outWidth = 0, outHeight = 0;
    if (raster != nullptr && raster->bitmap != nullptr) {
        const BitmapFontFile* font = FontFor(size);
        outWidth = size != nullptr ? size->width : (font != nullptr ? font->GlyphWidth() : 0);
        outHeight = size != nullptr ? size->height : (font != nullptr ? font->GlyphHeight() : 0);
        if (outWidth >= 8 && outHeight >= 1) out = raster->bitmap;
    }
    const int advance = GlyphLocked(code, size, out, outWidth, outHeight);
    if (raster != nullptr) {
        raster->left = 0;
        raster->top = 0;
        raster->width = advance;
        raster->advance = advance;
        raster->rows = out != nullptr ? outHeight : 0;
        raster->code = code;
    }
    return advance;
}

int CFontManager::GetTextWidth(const char* text, const FontSize* size) {
    std::lock_guard<std::mutex> lock(m_mutex);
    FollowFontSetting();
    int total = 0;
    varnelle::font_internal::ForEachChar(
        text, [&](uint16_t code) { total += GlyphLocked(code, size, nullptr, 0, 0); });
    return total;
}

int CFontManager::TextToBitmap(uint8_t* dst, int& width, int height, const char* text, const FontSize* size) {
    FontSize glyphSize;
    if (size != nullptr) {
        glyphSize = *size;
    } else {
        GetDefaultFontSize(0, &glyphSize);
    }
    if (dst == nullptr || text == nullptr || width < 8 || height < 1 || !IsUsableSize(glyphSize)) return 0;

    std::lock_guard<std::mutex> lock(m_mutex);
    FollowFontSetting();
    if (FontFor(size) == nullptr) return 0;
    OneBitCanvas canvas(dst, width, height);
    const int stride = glyphSize.width / 8;
    const int rows = std::min(glyphSize.height, height);
    std::vector<uint8_t> glyph(static_cast<size_t>(stride) * glyphSize.height);
    long x = 0;
    varnelle::font_internal::ForEachChar(text, [&](uint16_t code) {
        const long x0 = code == '\t' ? kTabStop : x;
        const int advance = GlyphLocked(code, size, glyph.data(), glyphSize.width, glyphSize.height);
        x = x0 + advance;
        if (x0 >= canvas.Width()) return;
        // A glyph advancing further than its own width draws only its own columns.
        const int columns = std::min(advance, stride * 8);
        for (int r = 0; r < rows; ++r) {
            const uint8_t* row = &glyph[static_cast<size_t>(r) * stride];
            for (int c = 0; c < columns; ++c)
                if (OneBitAt(row, c)) canvas.Set(static_cast<int>(x0) + c, r);
        }
    });
    return 1;
}

void CFontManager::DumpBitmap(const uint8_t* bitmap, const FontSize& size) {
    varnelle::font_internal::DumpOneBit(bitmap, size.width, size.height);
}

void CFontManager::CacheChars(const uint16_t* codes, size_t count) {
    std::vector<uint16_t> list;
    if (codes != nullptr) list.assign(codes, codes + count);
    std::sort(list.begin(), list.end());
    list.erase(std::unique(list.begin(), list.end()), list.end());

    std::lock_guard<std::mutex> lock(m_mutex);
    FollowFontSetting();
    m_cachedCodes = std::move(list);
    FillCachedGlyphs();
}

void CFontManager::FillCachedGlyphs() {
    m_cachedGlyphs.clear();
    if (!m_normal.IsOpen()) return;
    const size_t gb = static_cast<size_t>(m_normal.GlyphBytes());
    const size_t n = m_cachedCodes.size();
    m_cachedGlyphs.resize((gb + 1) * n);
    for (size_t i = 0; i < n; ++i)
        m_cachedGlyphs[n * gb + i] =
            static_cast<uint8_t>(m_normal.Glyph(m_cachedCodes[i], &m_cachedGlyphs[i * gb]));
}
