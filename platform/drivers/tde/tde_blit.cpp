#include "platform/drivers/tde/tde_blit.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <vector>

#include "sdk/tde/tde_ioctl.h"

namespace varnelle::drivers::tde {
namespace {

constexpr uint32_t kRb = 0x00FF00FF;

// x * a / 255 in each of the four 8-bit channels, rounded.
inline uint32_t MulUn8x4(uint32_t x, uint32_t a) {
    uint32_t rb = (x & kRb) * a + 0x00800080;
    rb = ((rb + ((rb >> 8) & kRb)) >> 8) & kRb;
    uint32_t ag = ((x >> 8) & kRb) * a + 0x00800080;
    ag = (ag + ((ag >> 8) & kRb)) & ~kRb;
    return ag | rb;
}

// x + y in each channel, saturated at 255.
inline uint32_t AddUn8x4(uint32_t x, uint32_t y) {
    uint32_t rb = (x & kRb) + (y & kRb);
    rb |= 0x01000100 - ((rb >> 8) & kRb);
    uint32_t ag = ((x >> 8) & kRb) + ((y >> 8) & kRb);
    ag |= 0x01000100 - ((ag >> 8) & kRb);
    return (rb & kRb) | ((ag & kRb) << 8);
}

// s over d, both premultiplied ARGB8888.
inline uint32_t OverPixel(uint32_t s, uint32_t d) { return AddUn8x4(s, MulUn8x4(d, 255 - (s >> 24))); }

inline uint32_t Expand5(uint32_t v) { return (v << 3) | (v >> 2); }
inline uint32_t Expand6(uint32_t v) { return (v << 2) | (v >> 4); }

// d[x] = s[x] counted by ga, over d[x]. Kept apart, with its bound in a local, so that the loop
// vectorises.
void OverRow(uint32_t* d, const uint32_t* s, uint32_t n, uint32_t ga) {
    if (ga == 255) {
        for (uint32_t x = 0; x < n; ++x) d[x] = OverPixel(s[x], d[x]);
    } else {
        for (uint32_t x = 0; x < n; ++x) d[x] = OverPixel(MulUn8x4(s[x], ga), d[x]);
    }
}

uint8_t* Row(const Surface& s, uint32_t y) { return s.base + static_cast<size_t>(y) * s.stride; }

uint32_t Load(const uint8_t* p, uint32_t bpp) {
    if (bpp == 4) {
        uint32_t v;
        std::memcpy(&v, p, 4);
        return v;
    }
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

void Store(uint8_t* p, uint32_t bpp, uint32_t v) {
    if (bpp == 4) {
        std::memcpy(p, &v, 4);
    } else {
        const uint16_t h = static_cast<uint16_t>(v);
        std::memcpy(p, &h, 2);
    }
}

// Pixels x0.. of a row as ARGB8888 into `out`, each from column xs[i] (or x0 + i without a map).
void FetchRow(const Surface& s, uint32_t y, uint32_t x0, uint32_t n, const uint32_t* xs, uint32_t* out) {
    const uint8_t* row = Row(s, y);
    const uint32_t bpp = BytesPerPixel(s.format);
    if (s.format == TDE2_COLOR_FMT_ARGB8888 && xs == nullptr) {
        std::memcpy(out, row + static_cast<size_t>(x0) * 4, static_cast<size_t>(n) * 4);
        return;
    }
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t x = xs != nullptr ? xs[i] : x0 + i;
        out[i] = ToArgb8888(Load(row + static_cast<size_t>(x) * bpp, bpp), s.format);
    }
}

void StoreRow(const Surface& s, uint32_t y, uint32_t x0, uint32_t n, const uint32_t* in) {
    uint8_t* row = Row(s, y) + static_cast<size_t>(x0) * BytesPerPixel(s.format);
    if (s.format == TDE2_COLOR_FMT_ARGB8888) {
        std::memmove(row, in, static_cast<size_t>(n) * 4);
        return;
    }
    for (uint32_t i = 0; i < n; ++i) Store(row + static_cast<size_t>(i) * 2, 2, FromArgb8888(in[i], s.format));
}

// Source column or row under the centre of destination pixel i of n, for a source span of m:
// the centre lies at (2i + 1) m / 2n; a centre on a boundary takes the pixel before it.
uint32_t Nearest(uint32_t i, uint32_t n, uint32_t m) {
    return static_cast<uint32_t>(((2 * uint64_t{i} + 1) * m - 1) / (2 * uint64_t{n}));
}

std::vector<uint32_t> NearestMap(uint32_t start, uint32_t n, uint32_t m) {
    std::vector<uint32_t> map(n);
    for (uint32_t i = 0; i < n; ++i) map[i] = start + Nearest(i, n, m);
    return map;
}

}  // namespace

uint32_t BytesPerPixel(uint32_t format) { return format == TDE2_COLOR_FMT_ARGB8888 ? 4 : 2; }

uint32_t ToArgb8888(uint32_t p, uint32_t format) {
    switch (format) {
        case TDE2_COLOR_FMT_RGB565:
            return 0xFF000000u | Expand5((p >> 11) & 0x1F) << 16 | Expand6((p >> 5) & 0x3F) << 8 | Expand5(p & 0x1F);
        case TDE2_COLOR_FMT_ARGB4444:
            return ((p >> 12) & 0xF) * 0x11u << 24 | ((p >> 8) & 0xF) * 0x11u << 16 | ((p >> 4) & 0xF) * 0x11u << 8 |
                   (p & 0xF) * 0x11u;
        case TDE2_COLOR_FMT_ARGB1555:
            return ((p & 0x8000) ? 0xFF000000u : 0) | Expand5((p >> 10) & 0x1F) << 16 | Expand5((p >> 5) & 0x1F) << 8 |
                   Expand5(p & 0x1F);
        default: return p;
    }
}

uint32_t FromArgb8888(uint32_t c, uint32_t format) {
    const uint32_t a = c >> 24, r = (c >> 16) & 0xFF, g = (c >> 8) & 0xFF, b = c & 0xFF;
    switch (format) {
        case TDE2_COLOR_FMT_RGB565: return (r >> 3) << 11 | (g >> 2) << 5 | b >> 3;
        case TDE2_COLOR_FMT_ARGB4444: return (a >> 4) << 12 | (r >> 4) << 8 | (g >> 4) << 4 | b >> 4;
        case TDE2_COLOR_FMT_ARGB1555: return (a >> 7) << 15 | (r >> 3) << 10 | (g >> 3) << 5 | b >> 3;
        default: return c;
    }
}

void Fill(const Surface& dst, const Rect& r, uint32_t value) {
    // Rows are filled 32 bits at a time by the C library's wide fill, which is vectorised; a 16-bit
    // row gets its pixel twice in each word, and a first or last pixel alone on its own.
    static_assert(sizeof(wchar_t) == sizeof(uint32_t));
    const bool wide = dst.format == TDE2_COLOR_FMT_ARGB8888;
    const uint16_t half = static_cast<uint16_t>(value);
    const uint32_t word = wide ? value : (uint32_t{half} << 16 | half);
    for (uint32_t y = r.y; y < r.y + r.h; ++y) {
        if (wide) {
            std::wmemset(reinterpret_cast<wchar_t*>(Row(dst, y)) + r.x, static_cast<wchar_t>(word), r.w);
            continue;
        }
        auto* p = reinterpret_cast<uint16_t*>(Row(dst, y)) + r.x;
        uint32_t n = r.w;
        if (n > 0 && reinterpret_cast<uintptr_t>(p) % 4 != 0) {
            *p++ = half;
            --n;
        }
        std::wmemset(reinterpret_cast<wchar_t*>(p), static_cast<wchar_t>(word), n / 2);
        if (n % 2 != 0) p[n - 1] = half;
    }
}

void Copy(const Surface& src, const Rect& sr, const Surface& dst, const Rect& dr) {
    const uint32_t w = std::min(sr.w, dr.w), h = std::min(sr.h, dr.h);
    if (w == 0 || h == 0) return;
    if (src.format == dst.format) {
        const uint32_t bpp = BytesPerPixel(src.format);
        // Rows in the order that never reads a row already written when both lie in one buffer.
        const bool upward = src.base == dst.base && sr.y < dr.y;
        for (uint32_t i = 0; i < h; ++i) {
            const uint32_t k = upward ? h - 1 - i : i;
            std::memmove(Row(dst, dr.y + k) + static_cast<size_t>(dr.x) * bpp,
                         Row(src, sr.y + k) + static_cast<size_t>(sr.x) * bpp, static_cast<size_t>(w) * bpp);
        }
        return;
    }
    std::vector<uint32_t> line(w);
    for (uint32_t i = 0; i < h; ++i) {
        FetchRow(src, sr.y + i, sr.x, w, nullptr, line.data());
        StoreRow(dst, dr.y + i, dr.x, w, line.data());
    }
}

void Scale(const Surface& src, const Rect& sr, const Surface& dst, const Rect& dr) {
    if (sr.w == 0 || sr.h == 0 || dr.w == 0 || dr.h == 0) return;
    const std::vector<uint32_t> xs = NearestMap(sr.x, dr.w, sr.w);
    std::vector<uint32_t> line(dr.w);
    for (uint32_t i = 0; i < dr.h; ++i) {
        FetchRow(src, sr.y + Nearest(i, dr.h, sr.h), 0, dr.w, xs.data(), line.data());
        StoreRow(dst, dr.y + i, dr.x, dr.w, line.data());
    }
}

void Over(const Surface* src1, const Rect& r1, const Surface* src2, const Rect& r2, const Surface& dst, const Rect& dr,
          uint32_t globalAlpha) {
    if (dr.w == 0 || dr.h == 0) return;
    const Surface& base = src1 != nullptr ? *src1 : dst;
    const Rect& baseRect = src1 != nullptr ? r1 : dr;
    const uint32_t ga = std::min(globalAlpha, 255u);
    const bool scaled = src2 != nullptr && (r2.w != dr.w || r2.h != dr.h);
    const std::vector<uint32_t> xs = scaled ? NearestMap(r2.x, dr.w, r2.w) : std::vector<uint32_t>{};
    std::vector<uint32_t> top(dr.w), under(dr.w);
    for (uint32_t i = 0; i < dr.h; ++i) {
        // The row drawn over: in place when it is the destination row itself in ARGB8888.
        uint32_t* d = under.data();
        const bool inPlace = base.format == TDE2_COLOR_FMT_ARGB8888 && dst.format == TDE2_COLOR_FMT_ARGB8888 &&
                             Row(base, baseRect.y + i) + size_t{baseRect.x} * 4 == Row(dst, dr.y + i) + size_t{dr.x} * 4;
        if (inPlace) {
            d = reinterpret_cast<uint32_t*>(Row(dst, dr.y + i)) + dr.x;
        } else {
            FetchRow(base, baseRect.y + i, baseRect.x, dr.w, nullptr, d);
        }
        if (src2 != nullptr && ga != 0) {
            const uint32_t sy = r2.y + (scaled ? Nearest(i, dr.h, r2.h) : i);
            const uint32_t* s;
            if (!scaled && src2->format == TDE2_COLOR_FMT_ARGB8888) {
                s = reinterpret_cast<const uint32_t*>(Row(*src2, sy)) + r2.x;
            } else {
                FetchRow(*src2, sy, r2.x, dr.w, scaled ? xs.data() : nullptr, top.data());
                s = top.data();
            }
            OverRow(d, s, dr.w, ga);
        }
        if (!inPlace) StoreRow(dst, dr.y + i, dr.x, dr.w, d);
    }
}

}  // namespace varnelle::drivers::tde
