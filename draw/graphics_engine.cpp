#include "draw/graphics_engine.h"

#include <cstddef>
#include <cstring>

namespace {

// Pixels are read and written through memcpy: surfaces need not be aligned and are reached as bytes,
// 16- and 32-bit words alike.
template <int Bytes>
uint32_t Load(const uint8_t* p) {
    if constexpr (Bytes == 1) {
        return *p;
    } else if constexpr (Bytes == 2) {
        uint16_t v;
        std::memcpy(&v, p, 2);
        return v;
    } else if constexpr (Bytes == 3) {
        uint16_t v;
        std::memcpy(&v, p, 2);
        return v | uint32_t{p[2]} << 16;
    } else {
        uint32_t v;
        std::memcpy(&v, p, 4);
        return v;
    }
}

template <int Bytes>
void Store(uint8_t* p, uint32_t value) {
    if constexpr (Bytes == 1) {
        *p = static_cast<uint8_t>(value);
    } else if constexpr (Bytes == 2) {
        uint16_t v = static_cast<uint16_t>(value);
        std::memcpy(p, &v, 2);
    } else if constexpr (Bytes == 3) {
        uint16_t v = static_cast<uint16_t>(value);
        std::memcpy(p, &v, 2);
        p[2] = static_cast<uint8_t>(value >> 16);
    } else {
        std::memcpy(p, &value, 4);
    }
}

template <int Bytes>
constexpr uint32_t kMask = Bytes == 4 ? 0xFFFFFFFFu : (1u << (8 * Bytes)) - 1;

template <int Rop>
uint32_t Combine(uint32_t dst, uint32_t value) {
    if constexpr (Rop == 0) return value;
    if constexpr (Rop == 1) return dst & value;
    if constexpr (Rop == 2) return dst | value;
    return dst ^ value;
}

template <int Rop, int Bytes>
void PixelRoutine(void* pixel, uint32_t value) {
    auto* p = static_cast<uint8_t*>(pixel);
    if constexpr (Rop == 0) {
        Store<Bytes>(p, value);
    } else {
        Store<Bytes>(p, Combine<Rop>(Load<Bytes>(p), value));
    }
}

// The 16-bit copy fill: a pixel alone at each end that is not on a 4-byte boundary, two pixels per
// 32-bit word between (written 64 bytes at a time where the run allows).
void Fill16(uint8_t* p, int count, uint32_t value) {
    uint8_t* end = p + size_t(count) * 2;
    if (reinterpret_cast<uintptr_t>(p) & 3) {
        Store<2>(p, value);
        p += 2;
    }
    if ((reinterpret_cast<uintptr_t>(end) & 3) && end - 2 >= p) {
        end -= 2;
        Store<2>(end, value);
    }
    const uint32_t word = (value & 0xFFFF) * 0x10001u;
    using Block = uint32_t __attribute__((vector_size(16)));
    const Block block = {word, word, word, word};
    for (; end - p >= 64; p += 64) {
        std::memcpy(p, &block, 16);
        std::memcpy(p + 16, &block, 16);
        std::memcpy(p + 32, &block, 16);
        std::memcpy(p + 48, &block, 16);
    }
    for (; end - p >= 4; p += 4) std::memcpy(p, &word, 4);
    // A run at an odd address keeps one pixel between its words.
    if (p < end) Store<2>(p, value);
}

template <int Rop, int Bytes>
void FillRoutine(void* run, int count, uint32_t value) {
    if (count <= 0) return;
    auto* p = static_cast<uint8_t*>(run);
    if constexpr (Rop == 0 && Bytes == 1) {
        std::memset(p, static_cast<int>(value & 0xFF), size_t(count));
        return;
    } else if constexpr (Rop == 0 && Bytes == 2) {
        Fill16(p, count, value);
        return;
    } else if constexpr (Rop == 0) {
        if (value == 0) {
            std::memset(p, 0, size_t(count) * Bytes);
            return;
        }
    }
    for (int i = 0; i < count; ++i, p += Bytes) PixelRoutine<Rop, Bytes>(p, value);
}

template <int Rop, int Bytes>
void CopyRoutine(void* dst, int count, const void* src, int keyed, uint32_t key) {
    if (count <= 0) return;
    auto* d = static_cast<uint8_t*>(dst);
    auto* s = static_cast<const uint8_t*>(src);
    if (keyed == 1) {
        const uint32_t k = key & kMask<Bytes>;
        for (int i = 0; i < count; ++i, d += Bytes, s += Bytes) {
            uint32_t v = Load<Bytes>(s);
            if (v != k) PixelRoutine<Rop, Bytes>(d, v);
        }
        return;
    }
    if constexpr (Rop == 0) {
        std::memmove(d, s, size_t(count) * Bytes);
    } else {
        for (int i = 0; i < count; ++i, d += Bytes, s += Bytes) PixelRoutine<Rop, Bytes>(d, Load<Bytes>(s));
    }
}

template <int Rop>
struct RopRow {
    static constexpr PixelProc pixel[N_BPP] = {PixelRoutine<Rop, 1>, PixelRoutine<Rop, 2>, PixelRoutine<Rop, 3>,
                                               PixelRoutine<Rop, 4>};
    static constexpr FillProc fill[N_BPP] = {FillRoutine<Rop, 1>, FillRoutine<Rop, 2>, FillRoutine<Rop, 3>,
                                             FillRoutine<Rop, 4>};
    static constexpr CopyProc copy[N_BPP] = {CopyRoutine<Rop, 1>, CopyRoutine<Rop, 2>, CopyRoutine<Rop, 3>,
                                             CopyRoutine<Rop, 4>};
};

// Routine tables indexed [rop][bpp].
constexpr const PixelProc* kPixelProcs[N_ROP] = {RopRow<0>::pixel, RopRow<1>::pixel, RopRow<2>::pixel,
                                                 RopRow<3>::pixel};
constexpr const FillProc* kFillProcs[N_ROP] = {RopRow<0>::fill, RopRow<1>::fill, RopRow<2>::fill, RopRow<3>::fill};
constexpr const CopyProc* kCopyProcs[N_ROP] = {RopRow<0>::copy, RopRow<1>::copy, RopRow<2>::copy, RopRow<3>::copy};

}  // namespace

bool selectObject(GraphicsObject& obj, int rop, int bpp) {
    if (rop < 0 || rop >= N_ROP || bpp < 0 || bpp >= N_BPP) return false;
    obj.pixel = kPixelProcs[rop][bpp];
    obj.fill = kFillProcs[rop][bpp];
    obj.copy = kCopyProcs[rop][bpp];
    return true;
}

uint32_t PixelToColor(int format, uint32_t pixel) {
    const uint32_t flag = pixel & kColorTransparent;
    uint32_t r;
    uint32_t g;
    uint32_t b;
    switch (format) {
        case kFormatArgb1555:
            r = (pixel & 0x7C00) >> 7;
            g = (pixel & 0x3E0) >> 2;
            b = (pixel << 3) & 0xFF;
            break;
        case kFormatRgb565:
            r = (pixel & 0xF800) >> 8;
            g = (pixel & 0x7E0) >> 3;
            b = (pixel << 3) & 0xFF;
            break;
        case kFormatRgb888:
            r = (pixel >> 16) & 0xFF;
            g = (pixel >> 8) & 0xFF;
            b = pixel & 0xFF;
            break;
        default:
            return 0xFF00 | flag;
    }
    return r | g << 8 | b << 16 | flag;
}

uint32_t PremultiplyArgb(uint8_t r, uint8_t g, uint8_t b, uint8_t alpha) {
    if (alpha == 0) return 0;
    uint32_t ur = r;
    uint32_t ug = g;
    uint32_t ub = b;
    if (alpha <= 254) {
        const float f = static_cast<float>(alpha) / 255.0f;
        ur = static_cast<uint32_t>(static_cast<float>(r) * f);
        ug = static_cast<uint32_t>(static_cast<float>(g) * f);
        ub = static_cast<uint32_t>(static_cast<float>(b) * f);
    }
    return uint32_t{alpha} << 24 | ur << 16 | ug << 8 | ub;
}
