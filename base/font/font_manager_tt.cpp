#include "base/font/font_manager_tt.h"

#include <algorithm>
#include <cstdio>

#include <ft2build.h>
#include FT_FREETYPE_H

#include "base/file.h"
#include "base/font/internal/coverage.h"
#include "base/font/internal/font_setting.h"
#include "base/font/internal/one_bit.h"
#include "base/font/internal/text.h"

namespace {

constexpr const char* kTraceSource = "Source/FontManagerTT";
constexpr int kTraceCharmap = 392;
constexpr int kTraceSize = 403;

varnelle::font_internal::FontPathSetting& Setting() {
    static auto* setting = new varnelle::font_internal::FontPathSetting;
    return *setting;
}

bool SelectCharmap(FT_Face face) {
    return FT_Select_Charmap(face, FT_ENCODING_UNICODE) == 0 ||
           FT_Select_Charmap(face, FT_ENCODING_ADOBE_LATIN_1) == 0;
}

void ClearRaster(GlyphRaster* raster, uint16_t code) {
    if (raster == nullptr) return;
    raster->left = raster->top = raster->width = raster->rows = raster->advance = 0;
    raster->code = code;
    raster->bitmap = nullptr;
}

}  // namespace

void CFontManagerTT::SetFontFile(const char* path) {
    Setting().Store(path != nullptr ? path : "", "");
}

CFontManagerTT* CFontManagerTT::instance() {
    static CFontManagerTT* renderer = new CFontManagerTT(FollowSetting{});
    return renderer;
}

CFontManagerTT::CFontManagerTT(const std::string& path) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (FT_Init_FreeType(&m_library) != 0) m_library = nullptr;
    OpenFace(path);
}

CFontManagerTT::CFontManagerTT(FollowSetting) : m_bFollowsSetting(true) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (FT_Init_FreeType(&m_library) != 0) m_library = nullptr;
    FollowFontSetting();
}

CFontManagerTT::~CFontManagerTT() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    CloseFace();
    if (m_library != nullptr) FT_Done_FreeType(m_library);
    m_library = nullptr;
}

void CFontManagerTT::OpenFace(const std::string& path) {
    CloseFace();
    if (m_library == nullptr || path.empty()) return;
    FT_Face face = nullptr;
    if (FT_New_Face(m_library, LocalFilePath(path.c_str()).c_str(), 0, &face) != 0) return;
    m_face = face;
    m_bCharmapOk = SelectCharmap(face);
    m_iFaceHeight = 0;
}

void CFontManagerTT::CloseFace() {
    m_cache.clear();
    if (m_face != nullptr) FT_Done_Face(m_face);
    m_face = nullptr;
    m_bCharmapOk = false;
    m_iFaceHeight = 0;
}

void CFontManagerTT::FollowFontSetting() {
    std::string path, unused;
    if (m_bFollowsSetting && Setting().ChangedSince(m_settingGeneration, &path, &unused)) OpenFace(path);
}

bool CFontManagerTT::SetFontSize(const FontSize* size) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    FollowFontSetting();
    return SetFontSizeLocked(size);
}

bool CFontManagerTT::SetFontSizeLocked(const FontSize* size) {
    if (m_face == nullptr) return false;
    if (!m_bCharmapOk) {
        std::printf("tracepoint: %s,%d\n", kTraceSource, kTraceCharmap);
        return false;
    }
    if (size != nullptr) {
        if (size->width < 1 || size->height < 1 || size->width > kMaxFontPixels ||
            size->height > kMaxFontPixels) {
            std::printf("tracepoint: %s,%d\n", kTraceSource, kTraceSize);
            return false;
        }
        m_curSize = *size;
    }
    // The face keeps its size between requests; asking FreeType again for the same one would only
    // make it redo the scaling.
    if (m_iFaceHeight == m_curSize.height) return true;
    if (FT_Set_Pixel_Sizes(m_face, 0, static_cast<FT_UInt>(m_curSize.height)) != 0) {
        m_iFaceHeight = 0;
        std::printf("tracepoint: %s,%d\n", kTraceSource, kTraceSize);
        return false;
    }
    m_iFaceHeight = m_curSize.height;
    return true;
}

void CFontManagerTT::CacheChars(const uint16_t*, size_t) {}

int CFontManagerTT::GetCharRaster(uint16_t code, const FontSize* size, GlyphRaster* raster) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    FollowFontSetting();
    return GetCharRasterLocked(code, size, raster);
}

int CFontManagerTT::GetCharRaster(uint16_t code, const FontSize* size, GlyphRaster* raster,
                                  std::vector<uint8_t>* coverage) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    FollowFontSetting();
    GlyphRaster glyph;
    const int advance = GetCharRasterLocked(code, size, &glyph);
    if (coverage != nullptr) {
        const size_t bytes = glyph.bitmap != nullptr ? static_cast<size_t>(glyph.width) * glyph.rows : 0;
        coverage->assign(glyph.bitmap, glyph.bitmap + bytes);
    }
    glyph.bitmap = coverage != nullptr && !coverage->empty() ? coverage->data() : nullptr;
    if (raster != nullptr) *raster = glyph;
    return advance;
}

int CFontManagerTT::GetCharRasterLocked(uint16_t code, const FontSize* size, GlyphRaster* raster) {
    const FontSize want = size != nullptr ? *size : m_curSize;
    const Key key{code, want.width, want.height};
    if (auto hit = m_cache.find(key); hit != m_cache.end()) {
        if (raster != nullptr) *raster = hit->second.raster;
        return hit->second.raster.advance;
    }
    if (!SetFontSizeLocked(size)) {
        ClearRaster(raster, code);
        return 0;
    }
    // A failed load leaves the previous glyph in the slot; it must not be taken for this one.
    if (FT_Load_Glyph(m_face, FT_Get_Char_Index(m_face, code), FT_LOAD_RENDER) != 0) {
        ClearRaster(raster, code);
        return 0;
    }
    const FT_GlyphSlot slot = m_face->glyph;
    CachedGlyph glyph;
    const bool drawn = varnelle::font_internal::CoverageFromBitmap(m_library, slot->bitmap, &glyph.coverage);
    glyph.raster.left = static_cast<int32_t>(slot->metrics.horiBearingX >> 6);
    glyph.raster.top = static_cast<int32_t>((-slot->metrics.horiBearingY) >> 6);
    glyph.raster.width = drawn ? static_cast<int32_t>(slot->bitmap.width) : 0;
    glyph.raster.rows = drawn && !glyph.coverage.empty() ? static_cast<int32_t>(slot->bitmap.rows) : 0;
    glyph.raster.advance = static_cast<int32_t>(std::clamp<FT_Pos>(slot->metrics.horiAdvance >> 6, 0, 255));
    glyph.raster.code = code;

    if (m_cache.size() > kCacheLimit) m_cache.erase(m_cache.begin());
    CachedGlyph& stored = m_cache.insert_or_assign(key, std::move(glyph)).first->second;
    stored.raster.bitmap = stored.coverage.empty() ? nullptr : stored.coverage.data();
    if (raster != nullptr) *raster = stored.raster;
    return stored.raster.advance;
}

void CFontManagerTT::GetAdvances(const uint16_t* codes, size_t count, const FontSize* size,
                                 int32_t* advances) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    FollowFontSetting();
    for (size_t i = 0; i < count; ++i) advances[i] = GetCharRasterLocked(codes[i], size, nullptr);
}

int CFontManagerTT::GetTextWidth(const char* text, const FontSize* size) {
    if (text == nullptr || *text == '\0') return 0;
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    FollowFontSetting();
    if (!SetFontSizeLocked(size)) return 0;
    int total = 0;
    varnelle::font_internal::ForEachChar(
        text, [&](uint16_t code) { total += GetCharRasterLocked(code, size, nullptr); });
    return total;
}

int CFontManagerTT::TextToBitmap(uint8_t* dst, int& width, int height, const char* text,
                                 const FontSize* size) {
    if (dst == nullptr || text == nullptr || width < 8 || height < 1) return 0;
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    FollowFontSetting();
    if (!SetFontSizeLocked(size)) return 0;
    const int baseline = (m_curSize.height * 3) >> 2;
    varnelle::font_internal::OneBitCanvas canvas(dst, width, height);
    long x = 0;
    varnelle::font_internal::ForEachChar(text, [&](uint16_t code) {
        GlyphRaster g;
        GetCharRasterLocked(code, size, &g);
        const long px0 = x + g.left;
        const long y0 = static_cast<long>(g.top) + baseline;
        x += g.advance;
        if (g.bitmap == nullptr) return;
        // Clip the glyph box to the destination: rows above or below it and columns outside [0, width).
        const long c0 = std::max(0L, -px0), c1 = std::min<long>(g.width, canvas.Width() - px0);
        const long r0 = std::max(0L, -y0), r1 = std::min<long>(g.rows, canvas.Height() - y0);
        for (long r = r0; r < r1; ++r) {
            const uint8_t* cov = g.bitmap + r * g.width;
            for (long c = c0; c < c1; ++c)
                if (cov[c] != 0) canvas.Set(static_cast<int>(px0 + c), static_cast<int>(y0 + r));
        }
    });
    return 1;
}

void CFontManagerTT::DumpBitmap(const uint8_t* bitmap, const FontSize& size) {
    varnelle::font_internal::DumpOneBit(bitmap, size.width, size.height);
}

size_t CFontManagerTT::CachedGlyphCount() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    FollowFontSetting();
    return m_cache.size();
}

bool CFontManagerTT::IsCached(uint16_t code, const FontSize& size) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    FollowFontSetting();
    return m_cache.count(Key{code, size.width, size.height}) != 0;
}
