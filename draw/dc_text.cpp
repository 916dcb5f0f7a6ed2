// Text: layout in a rectangle, right-to-left shaping by language, and the runs of the bitmap and the
// TrueType renderers.
#include <algorithm>
#include <cstring>
#include <string>

#include "base/font/font_manager.h"
#include "base/font/font_manager_tt.h"
#include "draw/arabic_parser.h"
#include "draw/dc.h"
#include "draw/internal/cursor_lift.h"
#include "draw/locales.h"

using varnelle::draw_internal::CursorLift;

struct CDC::Glyph {
    GlyphRaster raster;
    int advance = 0;
    std::vector<uint8_t> bits;  // one-bit rows (bitmap font) or coverage (TrueType)
};

namespace {

// Characters a wrapped line does not break inside.
bool IsWordChar(uint16_t c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '(' || c == ')' ||
           (c >= 0x80 && c <= 0xFF) || (c >= 0x400 && c <= 0x4FF);
}

// Shaping mode of the current language, -1 for none.
int ShapingMode() {
    const std::string& language = CLocales::instance()->GetLanguage();
    if (language == "Farsi") return CArabicParser::kFarsi;
    if (language == "Hebrew") return CArabicParser::kHebrew;
    if (language == "Arabic") return CArabicParser::kArabic;
    return -1;
}

struct Offset {
    int dx;
    int dy;
};

// What one drawing needs, kept per thread so that text costs no allocations once warm.
struct TextScratch {
    std::string text;
    std::vector<CRect> rects;
    std::vector<uint16_t> codes;
    std::vector<int64_t> advances;
};
TextScratch& Scratch() {
    thread_local TextScratch scratch;
    return scratch;
}
constexpr Offset kPlain[] = {{0, 0}};
constexpr Offset kBold[] = {{0, 0}, {1, 0}};
constexpr Offset kOutline[] = {{0, 0}, {0, 1}, {0, 2}, {1, 0}, {1, 2}, {2, 0}, {2, 1}, {2, 2}};

// Coverage blending: each channel of the pixel under the glyph (its colour as PixelToColor gives it)
// moves toward the text colour's by coverage / 255, truncated. The 16-bit formats take their channels
// straight from the pixels; x / 255 is (x + 1 + (x >> 8)) >> 8 for every sum that can occur.
class Blend {
public:
    Blend(int format, uint32_t textPixel) : m_format(format), m_text(PixelToColor(format, textPixel)) {
        m_tr = m_text & 0xFF;
        m_tg = (m_text >> 8) & 0xFF;
        m_tb = (m_text >> 16) & 0xFF;
    }
    uint32_t Mix(uint32_t a, uint32_t basePixel) const {
        uint32_t r, g, b;
        if (m_format == kFormatRgb565) {
            r = (basePixel >> 8) & 0xF8;
            g = (basePixel >> 3) & 0xFC;
            b = (basePixel << 3) & 0xF8;
        } else if (m_format == kFormatArgb1555) {
            r = (basePixel >> 7) & 0xF8;
            g = (basePixel >> 2) & 0xF8;
            b = (basePixel << 3) & 0xF8;
        } else {
            const uint32_t base = PixelToColor(m_format, basePixel);
            return ColorToPixel(m_format, Channel(a, base & 0xFF, m_tr) | Channel(a, (base >> 8) & 0xFF, m_tg) << 8 |
                                              Channel(a, (base >> 16) & 0xFF, m_tb) << 16);
        }
        r = Channel(a, r, m_tr);
        g = Channel(a, g, m_tg);
        b = Channel(a, b, m_tb);
        if (m_format == kFormatRgb565) return (r >> 3) << 11 | (g >> 2) << 5 | b >> 3;
        return (r >> 3) << 10 | (g >> 3) << 5 | b >> 3;
    }

private:
    static uint32_t Channel(uint32_t a, uint32_t base, uint32_t text) {
        const uint32_t x = (255 - a) * base + a * text;
        return (x + 1 + (x >> 8)) >> 8;
    }

    int m_format;
    uint32_t m_text;
    uint32_t m_tr, m_tg, m_tb;
};

}  // namespace

bool CDC::DrawText(PCRECT r, const char* utf8, int maxBytes) {
    if (!m_bEnabled || r == nullptr || utf8 == nullptr) return false;
    CRect box(r);
    LPtoDP(&box);
    box.NormalizeRect();
    const CRect bounds = ClipBounds();
    CRect area;
    if (!area.IntersectRect(&box, &bounds)) return false;
    CursorLift lift(m_pCursor, area);

    const size_t n = maxBytes > 0 ? strnlen(utf8, static_cast<size_t>(maxBytes)) : 0;
    TextScratch& scratch = Scratch();
    std::string& text = scratch.text;
    text.assign(utf8, n);
    std::vector<CRect>& rects = scratch.rects;
    rects.clear();
    for (const CRect* q = m_clip.GetFirstRect(); q != nullptr; q = m_clip.GetNextRect()) {
        CRect part;
        if (part.IntersectRect(q, &box)) rects.push_back(part);
    }

    IFontManager* fonts = IFontManager::instance();
    const bool trueType = IFontManager::IsTrueType() && dynamic_cast<CFontManagerTT*>(fonts) != nullptr;
    const FontSize size{m_fontSize.cx, m_fontSize.cy};
    const int64_t fontHeight = m_fontSize.cy;
    // The width of what is drawn, not of the bytes past maxBytes.
    const int64_t width = (int64_t{fonts->GetTextWidth(text.c_str(), &size)} + 1) & ~int64_t{1};
    const int64_t boxW = int64_t{box.right} - box.left;
    const int64_t boxH = int64_t{box.bottom} - box.top;
    int64_t x = box.left;
    int64_t y = box.top;
    switch (m_textFormat & 0xF) {
        case kTextCentre:
            x += (boxW - width) / 2;
            break;
        case kTextRight:
            x += boxW - width;
            break;
        default:
            break;
    }
    switch (m_textFormat & 0xF0) {
        case kTextVCentre:
            y += (boxH - fontHeight) / 2;
            break;
        case kTextBottom:
            y += boxH - fontHeight;
            break;
        default:
            break;
    }

    std::vector<uint16_t>& codes = scratch.codes;
    codes.clear();
    for (size_t pos = 0; pos < n;) {
        int length = 0;
        const uint16_t code = fonts->Utf8ToUnicode(text.c_str() + pos, length);
        if (length <= 0 || pos + static_cast<size_t>(length) > n) break;
        codes.push_back(code);
        pos += static_cast<size_t>(length);
    }
    if (const int mode = ShapingMode(); mode >= 0) CArabicParser::instance()->parse(codes, codes, mode);

    // The TrueType form takes every glyph once, with its advance; the bitmap form asks for advances
    // alone and reads the glyphs of the lines it draws.
    thread_local std::vector<Glyph> ttGlyphs;
    std::vector<int64_t>& advances = scratch.advances;
    advances.resize(codes.size());
    if (trueType) {
        auto* tt = static_cast<CFontManagerTT*>(fonts);
        if (ttGlyphs.size() < codes.size()) ttGlyphs.resize(codes.size());
        for (size_t i = 0; i < codes.size(); ++i) {
            Glyph& g = ttGlyphs[i];
            g.advance = tt->GetCharRaster(codes[i], &size, &g.raster, &g.bits);
            advances[i] = g.advance;
        }
    } else {
        for (size_t i = 0; i < codes.size(); ++i) advances[i] = fonts->GetCharRaster(codes[i], &size, nullptr);
    }

    const bool wrap = (m_textFormat & kTextWrap) != 0;
    size_t start = 0;
    int64_t lineWidth = 0;
    for (size_t i = 0; i < codes.size(); ++i) {
        const uint16_t c = codes[i];
        const int64_t adv = advances[i];
        int64_t ahead = 0;
        if (wrap && !IsWordChar(c) && i + 1 < codes.size() && IsWordChar(codes[i + 1])) {
            for (size_t j = i + 1; j < codes.size(); ++j) {
                ahead += advances[j];
                if (!IsWordChar(codes[j])) break;
            }
        }
        const bool last = i + 1 == codes.size();
        if (c != '\n' && x + adv + lineWidth + ahead <= box.right && !last) {
            lineWidth += adv;
            continue;
        }
        // The code that did not fit begins the next line when wrapping.
        DrawTextLine(codes, start, wrap && !last ? i : i + 1, x, y, rects, trueType ? ttGlyphs.data() : nullptr);
        start = i;
        y += fontHeight + 4;
        if (y + fontHeight > box.bottom || !wrap) break;
        lineWidth = adv;
    }
    return true;
}

void CDC::DrawTextLine(const std::vector<uint16_t>& codes, size_t from, size_t to, int64_t x, int64_t y,
                       const std::vector<CRect>& rects, const Glyph* trueTypeGlyphs) {
    if (from >= to || rects.empty()) return;
    const Glyph* glyphs = trueTypeGlyphs != nullptr ? trueTypeGlyphs + from : nullptr;
    thread_local std::vector<Glyph> bitmapGlyphs;
    if (glyphs == nullptr) {
        const FontSize size{m_fontSize.cx, m_fontSize.cy};
        IFontManager* fonts = IFontManager::instance();
        const size_t bytes = size.width >= 8 && size.height > 0 ? size_t(size.width / 8) * size_t(size.height) : 0;
        if (bitmapGlyphs.size() < to - from) bitmapGlyphs.resize(to - from);
        for (size_t i = from; i < to; ++i) {
            Glyph& g = bitmapGlyphs[i - from];
            g.raster = GlyphRaster{};
            g.bits.assign(bytes, 0);
            g.raster.bitmap = bytes != 0 ? g.bits.data() : nullptr;
            g.advance = fonts->GetCharRaster(codes[i], &size, &g.raster);
        }
        glyphs = bitmapGlyphs.data();
    }
    const Offset* offsets = kPlain;
    size_t count = 1;
    if (m_fontKind == kFontBold) {
        offsets = kBold;
        count = std::size(kBold);
    } else if (m_fontKind >= kFontOutline) {
        offsets = kOutline;
        count = std::size(kOutline);
    }
    for (const CRect& q : rects) {
        for (size_t k = 0; k < count; ++k) {
            if (trueTypeGlyphs != nullptr) {
                TrueTypeRun(glyphs, to - from, q, x + offsets[k].dx, y + offsets[k].dy);
            } else {
                BitmapRun(glyphs, to - from, q, x + offsets[k].dx, y + offsets[k].dy);
            }
        }
    }
}

void CDC::BitmapRun(const Glyph* glyphs, size_t glyphCount, const CRect& q, int64_t x, int64_t y) {
    const int64_t h = m_fontSize.cy;
    const int64_t stride = m_fontSize.cx / 8;
    const int64_t glyphColumns = stride * 8;
    const int64_t r0 = std::max<int64_t>(0, q.top - y);
    const int64_t r1 = std::min<int64_t>(h, q.bottom - y);
    const bool opaque = m_bkMode == 0;
    int64_t previous = 0;  // advance of the last glyph that had one
    for (size_t gi = 0; gi < glyphCount; ++gi) {
        const Glyph& g = glyphs[gi];
        const int64_t adv = g.advance;
        // A glyph without advance combines with the one before: it is drawn over that cell, leaving
        // the pen where it was, and never paints background.
        const bool combining = adv == 0;
        const int64_t cellX = combining ? x - previous : x;
        const int64_t cellW = combining ? previous : adv;
        if (cellX + cellW <= q.left) {
            x += adv;
            if (!combining) previous = adv;
            continue;
        }
        if (cellX >= q.right) break;
        const int64_t c0 = std::max<int64_t>(0, q.left - cellX);
        const int64_t c1 = std::min({cellW, glyphColumns, int64_t{q.right} - cellX});
        if (!g.bits.empty()) {
            for (int64_t r = r0; r < r1; ++r) {
                const uint8_t* row = g.bits.data() + r * stride;
                uint8_t* p = PixelAddr(static_cast<int32_t>(cellX + c0), static_cast<int32_t>(y + r));
                for (int64_t c = c0; c < c1; ++c, p += m_bpp) {
                    if ((row[c / 8] >> (7 - c % 8)) & 1) {
                        m_obj.pixel(p, m_textColor);
                    } else if (opaque && !combining) {
                        m_obj.pixel(p, m_bkColor);
                    }
                }
            }
        }
        x += adv;
        if (!combining) previous = adv;
    }
}

void CDC::TrueTypeRun(const Glyph* glyphs, size_t glyphCount, const CRect& q, int64_t x, int64_t y) {
    const int64_t baseline = y + 13 * int64_t{m_fontSize.cy} / 16;
    const bool opaque = m_bkMode == 0;
    const Blend blend(m_format, m_textColor);
    for (size_t gi = 0; gi < glyphCount; ++gi) {
        const Glyph& g = glyphs[gi];
        const int64_t gx = x + g.raster.left;
        const int64_t gy = baseline + g.raster.top;
        const int64_t gw = g.raster.width;
        const int64_t gh = g.raster.rows;
        if (gx + gw <= q.left) {
            x += g.advance;
            continue;
        }
        if (gx >= q.right) break;
        const int64_t c0 = std::max<int64_t>(0, q.left - gx);
        const int64_t c1 = std::min<int64_t>(gw, q.right - gx);
        const int64_t r0 = std::max<int64_t>(0, q.top - gy);
        const int64_t r1 = std::min<int64_t>(gh, q.bottom - gy);
        if (g.raster.bitmap != nullptr && static_cast<int64_t>(g.bits.size()) >= gw * gh) {
            for (int64_t r = r0; r < r1; ++r) {
                const uint8_t* cov = g.bits.data() + r * gw;
                uint8_t* p = PixelAddr(static_cast<int32_t>(gx + c0), static_cast<int32_t>(gy + r));
                for (int64_t c = c0; c < c1; ++c, p += m_bpp) {
                    const uint32_t a = cov[c];
                    if (a == 0) {
                        if (opaque) m_obj.pixel(p, m_bkColor);
                        continue;
                    }
                    m_obj.pixel(p, blend.Mix(a, opaque ? m_bkColor : LoadPixel(p)));
                }
            }
        }
        x += g.advance;
    }
}
