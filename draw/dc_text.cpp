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
#include "draw/internal/work_counters.h"
#include "draw/locales.h"

using varnelle::draw_internal::CursorLift;

struct CDC::TextLine {
    const uint16_t* codes;
    const int32_t* advances;
    size_t count;
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

// What one drawing needs, kept per thread so that ordinary text costs no allocations once warm. A
// long string's buffers are given back when its drawing ends: what stays is bounded.
struct TextScratch {
    std::string text;
    std::vector<CRect> rects;
    std::vector<uint16_t> codes;
    std::vector<int32_t> advances;
    std::vector<uint8_t> picture;  // the glyph being drawn: coverage or one-bit rows
};
TextScratch& Scratch() {
    thread_local TextScratch scratch;
    return scratch;
}

constexpr size_t kKeptScratchBytes = 16 * 1024;  // per buffer

template <class V>
size_t Bytes(const V& v) {
    return v.capacity() * sizeof(typename V::value_type);
}

template <class V>
void GiveBackIfLarge(V& v) {
    if (Bytes(v) > kKeptScratchBytes) V().swap(v);
}

// Gives back what a long string grew, when the drawing ends however it ends.
class ScratchTrim {
public:
    explicit ScratchTrim(TextScratch& s) : m_s(s) {}
    ~ScratchTrim() {
        GiveBackIfLarge(m_s.text);
        GiveBackIfLarge(m_s.rects);
        GiveBackIfLarge(m_s.codes);
        GiveBackIfLarge(m_s.advances);
        GiveBackIfLarge(m_s.picture);
        varnelle::draw_internal::Counters().textScratchBytes =
            Bytes(m_s.text) + Bytes(m_s.rects) + Bytes(m_s.codes) + Bytes(m_s.advances) + Bytes(m_s.picture);
    }
    ScratchTrim(const ScratchTrim&) = delete;
    ScratchTrim& operator=(const ScratchTrim&) = delete;

private:
    TextScratch& m_s;
};

// One glyph picture held while it is drawn, counted.
class HeldPicture {
public:
    explicit HeldPicture(size_t bytes) : m_bytes(bytes) {
        auto& c = varnelle::draw_internal::Counters();
        ++c.glyphPictures;
        c.glyphBytes += bytes;
        c.peakGlyphPictures = std::max(c.peakGlyphPictures, c.glyphPictures);
        c.peakGlyphBytes = std::max(c.peakGlyphBytes, c.glyphBytes);
    }
    ~HeldPicture() {
        auto& c = varnelle::draw_internal::Counters();
        --c.glyphPictures;
        c.glyphBytes -= m_bytes;
    }
    HeldPicture(const HeldPicture&) = delete;
    HeldPicture& operator=(const HeldPicture&) = delete;

private:
    size_t m_bytes;
};
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

// count pixels from p blended toward the text colour by their coverage: over what is there
// (transparent) or over the background colour bk (opaque, where coverage 0 paints bk).
void BlendRow(const uint8_t* coverage, int64_t count, uint8_t* p, int bpp, PixelProc pixel, bool opaque,
              uint32_t bk, const Blend& blend) {
    for (int64_t c = 0; c < count; ++c, p += bpp) {
        const uint32_t a = coverage[c];
        if (a == 0) {
            if (opaque) pixel(p, bk);
            continue;
        }
        uint32_t base = bk;
        if (!opaque) {
            if (bpp == 1) {
                base = *p;
            } else {
                uint16_t v;
                std::memcpy(&v, p, 2);
                base = v;
            }
        }
        pixel(p, blend.Mix(a, base));
    }
}

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
    const ScratchTrim trim(scratch);
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

    // Layout needs advances alone; glyph pictures are fetched only for what the lines drawn show.
    std::vector<int32_t>& advances = scratch.advances;
    advances.resize(codes.size());
    if (trueType) {
        static_cast<CFontManagerTT*>(fonts)->GetAdvances(codes.data(), codes.size(), &size, advances.data());
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
        DrawTextLine(codes, advances, start, wrap && !last ? i : i + 1, x, y, rects, trueType);
        start = i;
        y += fontHeight + 4;
        if (y + fontHeight > box.bottom || !wrap) break;
        lineWidth = adv;
    }
    return true;
}

void CDC::DrawTextLine(const std::vector<uint16_t>& codes, const std::vector<int32_t>& advances, size_t from,
                       size_t to, int64_t x, int64_t y, const std::vector<CRect>& rects, bool trueType) {
    if (from >= to || rects.empty()) return;
    const Offset* offsets = kPlain;
    size_t count = 1;
    if (m_fontKind == kFontBold) {
        offsets = kBold;
        count = std::size(kBold);
    } else if (m_fontKind >= kFontOutline) {
        offsets = kOutline;
        count = std::size(kOutline);
    }
    const TextLine line{codes.data() + from, advances.data() + from, to - from};
    for (const CRect& q : rects) {
        for (size_t k = 0; k < count; ++k) {
            if (trueType) {
                TrueTypeRun(line, q, x + offsets[k].dx, y + offsets[k].dy);
            } else {
                BitmapRun(line, q, x + offsets[k].dx, y + offsets[k].dy);
            }
        }
    }
}

void CDC::BitmapRun(const TextLine& line, const CRect& q, int64_t x, int64_t y) {
    const FontSize size{m_fontSize.cx, m_fontSize.cy};
    IFontManager* fonts = IFontManager::instance();
    const int64_t h = m_fontSize.cy;
    const int64_t stride = m_fontSize.cx / 8;
    const int64_t glyphColumns = stride * 8;
    const size_t bytes =
        size.width >= 8 && size.height > 0 ? size_t(size.width / 8) * size_t(size.height) : 0;
    const int64_t r0 = std::max<int64_t>(0, q.top - y);
    const int64_t r1 = std::min<int64_t>(h, q.bottom - y);
    const bool opaque = m_bkMode == 0;
    std::vector<uint8_t>& bits = Scratch().picture;
    int64_t previous = 0;  // advance of the last glyph that had one
    for (size_t gi = 0; gi < line.count; ++gi) {
        const int64_t adv = line.advances[gi];
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
        if (bytes != 0 && r0 < r1 && c0 < c1) {
            const HeldPicture held(bytes);
            bits.assign(bytes, 0);
            GlyphRaster raster;
            raster.bitmap = bits.data();
            fonts->GetCharRaster(line.codes[gi], &size, &raster);
            for (int64_t r = r0; r < r1; ++r) {
                const uint8_t* row = bits.data() + r * stride;
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

void CDC::TrueTypeRun(const TextLine& line, const CRect& q, int64_t x, int64_t y) {
    auto* tt = dynamic_cast<CFontManagerTT*>(IFontManager::instance());
    if (tt == nullptr) return;
    const FontSize size{m_fontSize.cx, m_fontSize.cy};
    const int64_t baseline = y + 13 * int64_t{m_fontSize.cy} / 16;
    const bool opaque = m_bkMode == 0;
    const Blend blend(m_format, m_textColor);
    std::vector<uint8_t>& coverage = Scratch().picture;
    // A glyph reaches this far beyond its cell only in odd fonts; those cost a second request.
    const int64_t slack = 2 * int64_t{m_fontSize.cy};
    for (size_t gi = 0; gi < line.count; ++gi) {
        // Far left of q the metrics alone decide that the glyph does not show; nearer, its picture
        // comes with them.
        GlyphRaster g;
        bool withPicture = x + line.advances[gi] + slack > q.left;
        if (withPicture) {
            tt->GetCharRaster(line.codes[gi], &size, &g, &coverage);
        } else {
            tt->GetCharRaster(line.codes[gi], &size, &g);
        }
        const int64_t gx = x + g.left;
        const int64_t gy = baseline + g.top;
        const int64_t gw = g.width;
        const int64_t gh = g.rows;
        if (gx + gw <= q.left) {
            x += line.advances[gi];
            continue;
        }
        if (gx >= q.right) break;
        const int64_t c0 = std::max<int64_t>(0, q.left - gx);
        const int64_t c1 = std::min<int64_t>(gw, q.right - gx);
        const int64_t r0 = std::max<int64_t>(0, q.top - gy);
        const int64_t r1 = std::min<int64_t>(gh, q.bottom - gy);
        if (c0 < c1 && r0 < r1) {
            if (!withPicture) tt->GetCharRaster(line.codes[gi], &size, &g, &coverage);
            const HeldPicture held(coverage.size());
            // Another thread may have changed the font in between: draw only a picture that matches.
            if (g.bitmap != nullptr && g.width == gw && g.rows == gh && int64_t(coverage.size()) >= gw * gh) {
                for (int64_t r = r0; r < r1; ++r) {
                    BlendRow(coverage.data() + r * gw + c0, c1 - c0,
                             PixelAddr(static_cast<int32_t>(gx + c0), static_cast<int32_t>(gy + r)), m_bpp,
                             m_obj.pixel, opaque, m_bkColor, blend);
                }
            }
        }
        x += line.advances[gi];
    }
}
