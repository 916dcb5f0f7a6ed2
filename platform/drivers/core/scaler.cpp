#include "platform/drivers/core/scaler.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#define VARNELLE_SCALER_X86 1
#endif

namespace varnelle::drivers {

Yuv420SpPlanes Yuv420SpPlanes::Sub(int x, int y, int w, int h) const {
    if (x < 0) w += x, x = 0;
    if (y < 0) h += y, y = 0;
    x &= ~1;
    y &= ~1;
    w = std::min(w, width - x);
    h = std::min(h, height - y);
    if (w <= 0 || h <= 0) return Yuv420SpPlanes{this->y, yStride, uv, uvStride, 0, 0};
    return Yuv420SpPlanes{this->y + static_cast<size_t>(y) * yStride + x, yStride,
                          uv + static_cast<size_t>(y / 2) * uvStride + x, uvStride, w, h};
}

void Yuv420SpScaler::Build(Axis& axis, int src, int dst, int n) {
    axis.index.resize(static_cast<size_t>(dst));
    axis.weight.resize(static_cast<size_t>(dst));
    axis.pairs.resize(static_cast<size_t>(dst) * n);
    for (int d = 0; d < dst; ++d) {
        // (d + 0.5) * src / dst - 0.5 in 16.16 fixed point.
        int64_t pos = ((2 * static_cast<int64_t>(d) + 1) * src * 65536) / (2 * static_cast<int64_t>(dst)) - 32768;
        if (pos < 0) pos = 0;
        int32_t index = static_cast<int32_t>(pos >> 16);
        uint16_t weight = static_cast<uint16_t>((pos >> 8) & 0xFF);
        if (index >= src - 1) {
            index = src - 1;
            weight = 0;
        }
        axis.index[d] = index;
        axis.weight[d] = weight;
        for (int c = 0; c < n; ++c) axis.pairs[static_cast<size_t>(d) * n + c] = (256u - weight) | (uint32_t{weight} << 16);
    }
}

// The passes one scale is made of, in one instruction-set variant. The vector variants do the bulk
// of a row and leave its last few pixels to the plain loops, so all give the same bytes.
struct Yuv420SpScaler::Kernels {
    // out[i] = row[i] * 256 (a horizontal pass at equal widths).
    void (*widen)(const uint8_t* row, size_t count, uint16_t* out);
    // One row of n = index + 1 interleaved components through the horizontal weights, kept at 16 bits.
    // Positions from `tail` on sample the last pixel alone, so the row is never read past its end.
    void (*across8[2])(const uint8_t* row, const int32_t* xi, const uint16_t* xw, const uint32_t* pairs, int tail,
                       int dstW, int srcW, uint16_t* out);
    // Two 16-bit rows blended with weight wy into 8-bit pixels.
    void (*vertical16)(const uint16_t* r0, const uint16_t* r1, uint16_t wy, size_t count, uint8_t* out);
    // Two 8-bit rows blended with weight wy, kept at 16 bits.
    void (*vertical8)(const uint8_t* r0, const uint8_t* r1, uint16_t wy, size_t count, uint16_t* out);
    // A 16-bit row of n = index + 1 components through the horizontal weights into 8-bit pixels; the
    // row holds one pixel past its end.
    void (*across16[2])(const uint16_t* t, const int32_t* xi, const uint16_t* xw, const uint32_t* pairs, int dstW,
                        uint8_t* out);
    // A 16-bit row rounded to 8 bits (a vertical pass at equal widths).
    void (*narrow)(const uint16_t* t, size_t count, uint8_t* out);
};

namespace {

// ---- Plain loops: the reference every variant matches.

void Widen(const uint8_t* row, size_t count, uint16_t* out) {
    for (size_t i = 0; i < count; ++i) out[i] = static_cast<uint16_t>(row[i] << 8);
}

template <int n>
void HorizontalPass(const uint8_t* row, const int32_t* xi, const uint16_t* xw, const uint32_t*, int tail, int dstW,
                    int srcW, uint16_t* out) {
    for (int dx = 0; dx < tail; ++dx) {
        const uint8_t* p = row + n * xi[dx];
        const uint32_t w = xw[dx];
        for (int c = 0; c < n; ++c) out[n * dx + c] = static_cast<uint16_t>(p[c] * (256 - w) + p[n + c] * w);
    }
    for (int dx = std::max(tail, 0); dx < dstW; ++dx)
        for (int c = 0; c < n; ++c) out[n * dx + c] = static_cast<uint16_t>(row[n * (srcW - 1) + c] << 8);
}

// Written as high halves of 16-bit products so that it vectorises without 32-bit multiplies; the
// truncation costs less than a 256th of a step.
void VerticalPass16(const uint16_t* r0, const uint16_t* r1, uint16_t wy, size_t count, uint8_t* out) {
    if (wy == 0) {
        for (size_t i = 0; i < count; ++i) out[i] = static_cast<uint8_t>((r0[i] + 128) >> 8);
        return;
    }
    const uint16_t w1 = static_cast<uint16_t>(wy << 8), w0 = static_cast<uint16_t>((256 - wy) << 8);
    for (size_t i = 0; i < count; ++i) {
        const uint16_t a = static_cast<uint16_t>((static_cast<uint32_t>(r0[i]) * w0) >> 16);
        const uint16_t b = static_cast<uint16_t>((static_cast<uint32_t>(r1[i]) * w1) >> 16);
        out[i] = static_cast<uint8_t>(static_cast<uint16_t>(a + b + 128) >> 8);
    }
}

void VerticalPass8(const uint8_t* r0, const uint8_t* r1, uint16_t wy, size_t count, uint16_t* out) {
    const uint16_t w0 = static_cast<uint16_t>(256 - wy);
    for (size_t i = 0; i < count; ++i) out[i] = static_cast<uint16_t>(r0[i] * w0 + r1[i] * wy);
}

template <int n>
void HorizontalPass16(const uint16_t* t, const int32_t* xi, const uint16_t* xw, const uint32_t*, int dstW,
                      uint8_t* out) {
    for (int dx = 0; dx < dstW; ++dx) {
        const uint16_t* p = t + n * xi[dx];
        const uint32_t w = xw[dx];
        for (int c = 0; c < n; ++c) out[n * dx + c] = static_cast<uint8_t>((p[c] * (256 - w) + p[n + c] * w + 32768) >> 16);
    }
}

void Narrow(const uint16_t* t, size_t count, uint8_t* out) {
    for (size_t i = 0; i < count; ++i) out[i] = static_cast<uint8_t>((t[i] + 128) >> 8);
}

constexpr Yuv420SpScaler::Kernels kPortable{Widen,          {HorizontalPass<1>, HorizontalPass<2>},
                                            VerticalPass16, VerticalPass8,
                                            {HorizontalPass16<1>, HorizontalPass16<2>}, Narrow};

#if VARNELLE_SCALER_X86

// ---- Vector loops. The horizontal passes need both weights of a position beside its two samples:
// a 16-bit multiply-add of the pair (s0, s1) with ((256 - w), w) gives s0 * (256 - w) + s1 * w in a
// 32-bit lane. It multiplies signed words, so 16-bit samples (up to 255 * 256) are first moved down
// by 32768 (their top bit flipped) and the 32768 * 256 that takes off is added back with the rounding.

constexpr int32_t kFlip = static_cast<int32_t>(0x80008000u);
constexpr int32_t kUnflipAndRound = 32768 * 256 + 32768;

int32_t Load32(const void* p) {
    int32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
long long Load64(const void* p) {
    long long v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
// A position's two 8-bit samples as the words of one 32-bit lane.
int32_t TwoBytes(const uint8_t* p) { return static_cast<int32_t>(p[0] | (p[1] << 16)); }

// SSE2, which every x86-64 processor has.

void WidenSse2(const uint8_t* row, size_t count, uint16_t* out) {
    const __m128i zero = _mm_setzero_si128();
    size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_unpacklo_epi8(zero, v));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 8), _mm_unpackhi_epi8(zero, v));
    }
    Widen(row + i, count - i, out + i);
}

// Eight 32-bit sums below 65536 as unsigned 16-bit words (SSE2 packs only signed).
__m128i PackU32ToU16Sse2(__m128i a, __m128i b) {
    const __m128i half = _mm_set1_epi32(32768);
    const __m128i packed = _mm_packs_epi32(_mm_sub_epi32(a, half), _mm_sub_epi32(b, half));
    return _mm_xor_si128(packed, _mm_set1_epi16(static_cast<short>(0x8000)));
}

void Across8LumaSse2(const uint8_t* row, const int32_t* xi, const uint16_t* xw, const uint32_t* pairs, int tail,
                     int dstW, int srcW, uint16_t* out) {
    int dx = 0;
    for (; dx + 8 <= tail; dx += 8) {
        const int32_t* x = xi + dx;
        const __m128i a = _mm_setr_epi32(TwoBytes(row + x[0]), TwoBytes(row + x[1]), TwoBytes(row + x[2]), TwoBytes(row + x[3]));
        const __m128i b = _mm_setr_epi32(TwoBytes(row + x[4]), TwoBytes(row + x[5]), TwoBytes(row + x[6]), TwoBytes(row + x[7]));
        const __m128i sa = _mm_madd_epi16(a, _mm_loadu_si128(reinterpret_cast<const __m128i*>(pairs + dx)));
        const __m128i sb = _mm_madd_epi16(b, _mm_loadu_si128(reinterpret_cast<const __m128i*>(pairs + dx + 4)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + dx), PackU32ToU16Sse2(sa, sb));
    }
    HorizontalPass<1>(row, xi + dx, xw + dx, pairs, tail - dx, dstW - dx, srcW, out + dx);
}

void Across8ChromaSse2(const uint8_t* row, const int32_t* xi, const uint16_t* xw, const uint32_t* pairs, int tail,
                       int dstW, int srcW, uint16_t* out) {
    const __m128i zero = _mm_setzero_si128();
    // Two positions: their samples (a0 b0 a1 b1) widened to words and put in order (a0 a1 b0 b1).
    auto two = [&](const int32_t* x) {
        const __m128i v = _mm_unpacklo_epi8(_mm_setr_epi32(Load32(row + 2 * x[0]), Load32(row + 2 * x[1]), 0, 0), zero);
        return _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, _MM_SHUFFLE(3, 1, 2, 0)), _MM_SHUFFLE(3, 1, 2, 0));
    };
    int dx = 0;
    for (; dx + 4 <= tail; dx += 4) {
        const __m128i sa = _mm_madd_epi16(two(xi + dx), _mm_loadu_si128(reinterpret_cast<const __m128i*>(pairs + 2 * dx)));
        const __m128i sb =
            _mm_madd_epi16(two(xi + dx + 2), _mm_loadu_si128(reinterpret_cast<const __m128i*>(pairs + 2 * dx + 4)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * dx), PackU32ToU16Sse2(sa, sb));
    }
    HorizontalPass<2>(row, xi + dx, xw + dx, pairs, tail - dx, dstW - dx, srcW, out + 2 * dx);
}

void Vertical16Sse2(const uint16_t* r0, const uint16_t* r1, uint16_t wy, size_t count, uint8_t* out) {
    const __m128i round = _mm_set1_epi16(128);
    const __m128i w0 = _mm_set1_epi16(static_cast<short>((256 - wy) << 8));
    const __m128i w1 = _mm_set1_epi16(static_cast<short>(wy << 8));
    auto eight = [&](size_t i) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r0 + i));
        if (wy == 0) return _mm_srli_epi16(_mm_add_epi16(a, round), 8);
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r1 + i));
        const __m128i sum = _mm_add_epi16(_mm_mulhi_epu16(a, w0), _mm_mulhi_epu16(b, w1));
        return _mm_srli_epi16(_mm_add_epi16(sum, round), 8);
    };
    size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(eight(i), eight(i + 8)));
    }
    VerticalPass16(r0 + i, r1 + i, wy, count - i, out + i);
}

void Vertical8Sse2(const uint8_t* r0, const uint8_t* r1, uint16_t wy, size_t count, uint16_t* out) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i w0 = _mm_set1_epi16(static_cast<short>(256 - wy)), w1 = _mm_set1_epi16(static_cast<short>(wy));
    size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r0 + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r1 + i));
        const __m128i lo = _mm_add_epi16(_mm_mullo_epi16(_mm_unpacklo_epi8(a, zero), w0),
                                         _mm_mullo_epi16(_mm_unpacklo_epi8(b, zero), w1));
        const __m128i hi = _mm_add_epi16(_mm_mullo_epi16(_mm_unpackhi_epi8(a, zero), w0),
                                         _mm_mullo_epi16(_mm_unpackhi_epi8(b, zero), w1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), lo);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 8), hi);
    }
    VerticalPass8(r0 + i, r1 + i, wy, count - i, out + i);
}

// The multiply-add of flipped sample pairs with their weight pairs, rounded down to the 8-bit result.
__m128i LerpSse2(__m128i samples, const uint32_t* pairs) {
    const __m128i sum = _mm_madd_epi16(_mm_xor_si128(samples, _mm_set1_epi32(kFlip)),
                                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(pairs)));
    return _mm_srli_epi32(_mm_add_epi32(sum, _mm_set1_epi32(kUnflipAndRound)), 16);
}

// Sixteen 32-bit results below 256 as bytes.
void Store16Sse2(uint8_t* out, __m128i a, __m128i b, __m128i c, __m128i d) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d)));
}

void Across16LumaSse2(const uint16_t* t, const int32_t* xi, const uint16_t* xw, const uint32_t* pairs, int dstW,
                      uint8_t* out) {
    auto four = [&](int dx) {
        const int32_t* x = xi + dx;
        return LerpSse2(_mm_setr_epi32(Load32(t + x[0]), Load32(t + x[1]), Load32(t + x[2]), Load32(t + x[3])), pairs + dx);
    };
    int dx = 0;
    for (; dx + 16 <= dstW; dx += 16) Store16Sse2(out + dx, four(dx), four(dx + 4), four(dx + 8), four(dx + 12));
    HorizontalPass16<1>(t, xi + dx, xw + dx, pairs, dstW - dx, out + dx);
}

void Across16ChromaSse2(const uint16_t* t, const int32_t* xi, const uint16_t* xw, const uint32_t* pairs, int dstW,
                        uint8_t* out) {
    // Two positions: their samples (a0 b0 a1 b1) put in order (a0 a1 b0 b1).
    auto two = [&](int dx) {
        __m128i v = _mm_set_epi64x(Load64(t + 2 * xi[dx + 1]), Load64(t + 2 * xi[dx]));
        v = _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, _MM_SHUFFLE(3, 1, 2, 0)), _MM_SHUFFLE(3, 1, 2, 0));
        return LerpSse2(v, pairs + 2 * dx);
    };
    int dx = 0;
    for (; dx + 8 <= dstW; dx += 8) Store16Sse2(out + 2 * dx, two(dx), two(dx + 2), two(dx + 4), two(dx + 6));
    HorizontalPass16<2>(t, xi + dx, xw + dx, pairs, dstW - dx, out + 2 * dx);
}

void NarrowSse2(const uint16_t* t, size_t count, uint8_t* out) {
    const __m128i round = _mm_set1_epi16(128);
    auto eight = [&](size_t i) {
        return _mm_srli_epi16(_mm_add_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t + i)), round), 8);
    };
    size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(eight(i), eight(i + 8)));
    }
    Narrow(t + i, count - i, out + i);
}

constexpr Yuv420SpScaler::Kernels kSse2{WidenSse2,      {Across8LumaSse2, Across8ChromaSse2},
                                        Vertical16Sse2, Vertical8Sse2,
                                        {Across16LumaSse2, Across16ChromaSse2}, NarrowSse2};

// AVX2: twice the width. The horizontal passes load their samples one position at a time: on the
// processors measured (bench/vo) that beat the gather instructions by a third.
#define VARNELLE_AVX2 __attribute__((target("avx2")))

VARNELLE_AVX2 void WidenAvx2(const uint8_t* row, size_t count, uint16_t* out) {
    size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m256i v = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm256_slli_epi16(v, 8));
    }
    Widen(row + i, count - i, out + i);
}

// Sixteen 32-bit sums below 65536 (eight in a, eight in b) as words in order.
VARNELLE_AVX2 __m256i PackU32ToU16Avx2(__m256i a, __m256i b) {
    return _mm256_permute4x64_epi64(_mm256_packus_epi32(a, b), _MM_SHUFFLE(3, 1, 2, 0));
}

VARNELLE_AVX2 void Across8LumaAvx2(const uint8_t* row, const int32_t* xi, const uint16_t* xw, const uint32_t* pairs,
                                   int tail, int dstW, int srcW, uint16_t* out) {
    int dx = 0;
    for (; dx + 16 <= tail; dx += 16) {
        __m256i sums[2];
        for (int h = 0; h < 2; ++h) {
            const int32_t* x = xi + dx + 8 * h;
            const __m256i v = _mm256_setr_epi32(TwoBytes(row + x[0]), TwoBytes(row + x[1]), TwoBytes(row + x[2]),
                                                TwoBytes(row + x[3]), TwoBytes(row + x[4]), TwoBytes(row + x[5]),
                                                TwoBytes(row + x[6]), TwoBytes(row + x[7]));
            sums[h] = _mm256_madd_epi16(v, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pairs + dx + 8 * h)));
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + dx), PackU32ToU16Avx2(sums[0], sums[1]));
    }
    HorizontalPass<1>(row, xi + dx, xw + dx, pairs, tail - dx, dstW - dx, srcW, out + dx);
}

VARNELLE_AVX2 void Across8ChromaAvx2(const uint8_t* row, const int32_t* xi, const uint16_t* xw,
                                     const uint32_t* pairs, int tail, int dstW, int srcW, uint16_t* out) {
    // Each position's samples (a0 b0 a1 b1), widened to words, put in order (a0 a1 b0 b1).
    const __m256i order = _mm256_setr_epi8(0, 1, 4, 5, 2, 3, 6, 7, 8, 9, 12, 13, 10, 11, 14, 15, 0, 1, 4, 5, 2, 3, 6,
                                           7, 8, 9, 12, 13, 10, 11, 14, 15);
    int dx = 0;
    for (; dx + 8 <= tail; dx += 8) {
        const int32_t* x = xi + dx;
        const __m256i v = _mm256_setr_epi32(Load32(row + 2 * x[0]), Load32(row + 2 * x[1]), Load32(row + 2 * x[2]),
                                            Load32(row + 2 * x[3]), Load32(row + 2 * x[4]), Load32(row + 2 * x[5]),
                                            Load32(row + 2 * x[6]), Load32(row + 2 * x[7]));
        const __m256i lo = _mm256_shuffle_epi8(_mm256_cvtepu8_epi16(_mm256_castsi256_si128(v)), order);
        const __m256i hi = _mm256_shuffle_epi8(_mm256_cvtepu8_epi16(_mm256_extracti128_si256(v, 1)), order);
        const __m256i slo = _mm256_madd_epi16(lo, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pairs + 2 * dx)));
        const __m256i shi =
            _mm256_madd_epi16(hi, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pairs + 2 * dx + 8)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * dx), PackU32ToU16Avx2(slo, shi));
    }
    HorizontalPass<2>(row, xi + dx, xw + dx, pairs, tail - dx, dstW - dx, srcW, out + 2 * dx);
}

// Thirty-two 16-bit results below 256 (sixteen in a, sixteen in b) as bytes in order.
VARNELLE_AVX2 void Store32From16Avx2(uint8_t* out, __m256i a, __m256i b) {
    const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(a, b), _MM_SHUFFLE(3, 1, 2, 0));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), bytes);
}

// Sixteen 16-bit values rounded to 8 bits (still in words).
VARNELLE_AVX2 __m256i RoundDown8Avx2(__m256i v) { return _mm256_srli_epi16(_mm256_add_epi16(v, _mm256_set1_epi16(128)), 8); }

VARNELLE_AVX2 void Vertical16Avx2(const uint16_t* r0, const uint16_t* r1, uint16_t wy, size_t count, uint8_t* out) {
    size_t i = 0;
    if (wy == 0) {
        for (; i + 32 <= count; i += 32) {
            Store32From16Avx2(out + i, RoundDown8Avx2(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(r0 + i))),
                              RoundDown8Avx2(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(r0 + i + 16))));
        }
    } else {
        const __m256i w0 = _mm256_set1_epi16(static_cast<short>((256 - wy) << 8));
        const __m256i w1 = _mm256_set1_epi16(static_cast<short>(wy << 8));
        for (; i + 32 <= count; i += 32) {
            __m256i half[2];
            for (int h = 0; h < 2; ++h) {
                const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(r0 + i + 16 * h));
                const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(r1 + i + 16 * h));
                half[h] = RoundDown8Avx2(_mm256_add_epi16(_mm256_mulhi_epu16(a, w0), _mm256_mulhi_epu16(b, w1)));
            }
            Store32From16Avx2(out + i, half[0], half[1]);
        }
    }
    VerticalPass16(r0 + i, r1 + i, wy, count - i, out + i);
}

VARNELLE_AVX2 void Vertical8Avx2(const uint8_t* r0, const uint8_t* r1, uint16_t wy, size_t count, uint16_t* out) {
    const __m256i w0 = _mm256_set1_epi16(static_cast<short>(256 - wy)), w1 = _mm256_set1_epi16(static_cast<short>(wy));
    size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m256i a = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(r0 + i)));
        const __m256i b = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(r1 + i)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i),
                            _mm256_add_epi16(_mm256_mullo_epi16(a, w0), _mm256_mullo_epi16(b, w1)));
    }
    VerticalPass8(r0 + i, r1 + i, wy, count - i, out + i);
}

VARNELLE_AVX2 __m256i LerpAvx2(__m256i samples, const uint32_t* pairs) {
    const __m256i sum = _mm256_madd_epi16(_mm256_xor_si256(samples, _mm256_set1_epi32(kFlip)),
                                          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pairs)));
    return _mm256_srli_epi32(_mm256_add_epi32(sum, _mm256_set1_epi32(kUnflipAndRound)), 16);
}

// Thirty-two 32-bit results below 256 (eight in each) as bytes in order.
VARNELLE_AVX2 void Store32From32Avx2(uint8_t* out, __m256i a, __m256i b, __m256i c, __m256i d) {
    // The packs work within 128-bit halves: the bytes come out as 4-byte groups a0 b0 c0 d0 a1 b1 c1 d1.
    const __m256i packed = _mm256_packus_epi16(_mm256_packs_epi32(a, b), _mm256_packs_epi32(c, d));
    const __m256i bytes = _mm256_permutevar8x32_epi32(packed, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), bytes);
}

// Eight positions of a 16-bit row: their two samples loaded as one 32-bit word each, through the weights.
VARNELLE_AVX2 __m256i Across16EightAvx2(const uint16_t* t, const int32_t* xi, const uint32_t* pairs) {
    const __m256i v = _mm256_setr_epi32(Load32(t + xi[0]), Load32(t + xi[1]), Load32(t + xi[2]), Load32(t + xi[3]),
                                        Load32(t + xi[4]), Load32(t + xi[5]), Load32(t + xi[6]), Load32(t + xi[7]));
    return LerpAvx2(v, pairs);
}

VARNELLE_AVX2 void Across16LumaAvx2(const uint16_t* t, const int32_t* xi, const uint16_t* xw, const uint32_t* pairs,
                                    int dstW, uint8_t* out) {
    int dx = 0;
    for (; dx + 32 <= dstW; dx += 32) {
        Store32From32Avx2(out + dx, Across16EightAvx2(t, xi + dx, pairs + dx), Across16EightAvx2(t, xi + dx + 8, pairs + dx + 8),
                          Across16EightAvx2(t, xi + dx + 16, pairs + dx + 16),
                          Across16EightAvx2(t, xi + dx + 24, pairs + dx + 24));
    }
    HorizontalPass16<1>(t, xi + dx, xw + dx, pairs, dstW - dx, out + dx);
}

// Four positions of a row of pairs: each position's samples (a0 b0 a1 b1) loaded as one quadword,
// put in order (a0 a1 b0 b1), through the weights (`pairs` holds each position's twice).
VARNELLE_AVX2 __m256i Across16FourPairsAvx2(const uint16_t* t, const int32_t* xi, const uint32_t* pairs) {
    const __m256i order = _mm256_setr_epi8(0, 1, 4, 5, 2, 3, 6, 7, 8, 9, 12, 13, 10, 11, 14, 15, 0, 1, 4, 5, 2, 3, 6,
                                           7, 8, 9, 12, 13, 10, 11, 14, 15);
    const __m256i v = _mm256_setr_epi64x(Load64(t + 2 * xi[0]), Load64(t + 2 * xi[1]), Load64(t + 2 * xi[2]),
                                         Load64(t + 2 * xi[3]));
    return LerpAvx2(_mm256_shuffle_epi8(v, order), pairs);
}

VARNELLE_AVX2 void Across16ChromaAvx2(const uint16_t* t, const int32_t* xi, const uint16_t* xw,
                                      const uint32_t* pairs, int dstW, uint8_t* out) {
    int dx = 0;
    for (; dx + 16 <= dstW; dx += 16) {
        Store32From32Avx2(out + 2 * dx, Across16FourPairsAvx2(t, xi + dx, pairs + 2 * dx),
                          Across16FourPairsAvx2(t, xi + dx + 4, pairs + 2 * dx + 8),
                          Across16FourPairsAvx2(t, xi + dx + 8, pairs + 2 * dx + 16),
                          Across16FourPairsAvx2(t, xi + dx + 12, pairs + 2 * dx + 24));
    }
    HorizontalPass16<2>(t, xi + dx, xw + dx, pairs, dstW - dx, out + 2 * dx);
}

VARNELLE_AVX2 void NarrowAvx2(const uint16_t* t, size_t count, uint8_t* out) {
    size_t i = 0;
    for (; i + 32 <= count; i += 32) {
        Store32From16Avx2(out + i, RoundDown8Avx2(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(t + i))),
                          RoundDown8Avx2(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(t + i + 16))));
    }
    Narrow(t + i, count - i, out + i);
}

constexpr Yuv420SpScaler::Kernels kAvx2{WidenAvx2,      {Across8LumaAvx2, Across8ChromaAvx2},
                                        Vertical16Avx2, Vertical8Avx2,
                                        {Across16LumaAvx2, Across16ChromaAvx2}, NarrowAvx2};

#endif  // VARNELLE_SCALER_X86

ScalerIsa DetectIsa() {
#if VARNELLE_SCALER_X86
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? ScalerIsa::kAvx2 : ScalerIsa::kSse2;
#else
    return ScalerIsa::kPortable;
#endif
}

const Yuv420SpScaler::Kernels* KernelsFor(ScalerIsa isa) {
    switch (isa) {
#if VARNELLE_SCALER_X86
        case ScalerIsa::kAvx2: return &kAvx2;
        case ScalerIsa::kSse2: return &kSse2;
#endif
        default: return &kPortable;
    }
}

}  // namespace

ScalerIsa BestScalerIsa() {
    static const ScalerIsa best = DetectIsa();
    return best;
}

Yuv420SpScaler::Yuv420SpScaler(ScalerIsa isa) : m_isa(std::min(isa, BestScalerIsa())), m_kernels(KernelsFor(m_isa)) {}

void Yuv420SpScaler::ScalePlane(const uint8_t* src, size_t srcStride, int srcW, int srcH, uint8_t* dst,
                                size_t dstStride, int dstW, int dstH, int n, const Axis& xs, const Axis& ys) {
    const size_t srcBytes = static_cast<size_t>(srcW) * n;
    const size_t dstBytes = static_cast<size_t>(dstW) * n;
    if (srcW == dstW && srcH == dstH) {
        for (int row = 0; row < dstH; ++row) std::memcpy(dst + row * dstStride, src + row * srcStride, dstBytes);
        return;
    }
    const Kernels& k = *m_kernels;
    const int32_t* xi = xs.index.data();
    const uint16_t* xw = xs.weight.data();
    const uint32_t* xp = xs.pairs.data();
    if (dstH > srcH) {
        // Growing: each source row is scaled across once and kept while the output rows between it and
        // the next are blended from the pair.
        int tail = dstW;
        while (tail > 0 && xi[tail - 1] >= srcW - 1) --tail;
        m_rows.resize(2 * dstBytes);
        uint16_t* rows[2] = {m_rows.data(), m_rows.data() + dstBytes};
        int held[2] = {-1, -1};
        auto across = [&](int sy) -> const uint16_t* {
            for (int i = 0; i < 2; ++i)
                if (held[i] == sy) return rows[i];
            // Replace the row that is not the other one needed now (the older, lower index).
            int i = held[0] < held[1] ? 0 : 1;
            const uint8_t* row = src + static_cast<size_t>(sy) * srcStride;
            if (srcW == dstW) {
                k.widen(row, dstBytes, rows[i]);
            } else {
                k.across8[n - 1](row, xi, xw, xp, tail, dstW, srcW, rows[i]);
            }
            held[i] = sy;
            return rows[i];
        };
        for (int dy = 0; dy < dstH; ++dy) {
            const int iy = ys.index[dy];
            const uint16_t* r0 = across(iy);
            const uint16_t* r1 = across(std::min(iy + 1, srcH - 1));
            k.vertical16(r0, r1, ys.weight[dy], dstBytes, dst + static_cast<size_t>(dy) * dstStride);
        }
        return;
    }
    // Shrinking (or equal heights): blend the two source rows first, then scale across once per output
    // row.
    m_rows.resize(srcBytes + static_cast<size_t>(n));
    uint16_t* t = m_rows.data();
    for (int dy = 0; dy < dstH; ++dy) {
        const int iy = ys.index[dy];
        const uint8_t* r0 = src + static_cast<size_t>(iy) * srcStride;
        const uint8_t* r1 = src + static_cast<size_t>(std::min(iy + 1, srcH - 1)) * srcStride;
        k.vertical8(r0, r1, ys.weight[dy], srcBytes, t);
        // The pixel past the right edge repeats the last, so the horizontal pass never needs a check.
        for (int c = 0; c < n; ++c) t[srcBytes + c] = t[srcBytes - n + c];
        uint8_t* out = dst + static_cast<size_t>(dy) * dstStride;
        if (srcW == dstW) {
            k.narrow(t, dstBytes, out);
        } else {
            k.across16[n - 1](t, xi, xw, xp, dstW, out);
        }
    }
}

bool Yuv420SpScaler::Scale(const Yuv420SpPlanes& src, const Yuv420SpPlanes& dst) {
    if (src.IsEmpty() || dst.IsEmpty()) return false;
    const int scw = (src.width + 1) / 2, sch = (src.height + 1) / 2;
    const int dcw = (dst.width + 1) / 2, dch = (dst.height + 1) / 2;
    if (src.width != m_sw || src.height != m_sh || dst.width != m_dw || dst.height != m_dh) {
        Build(m_lumaX, src.width, dst.width, 1);
        Build(m_lumaY, src.height, dst.height, 1);
        Build(m_chromaX, scw, dcw, 2);
        Build(m_chromaY, sch, dch, 1);
        m_sw = src.width, m_sh = src.height, m_dw = dst.width, m_dh = dst.height;
    }
    ScalePlane(src.y, src.yStride, src.width, src.height, dst.y, dst.yStride, dst.width, dst.height, 1, m_lumaX,
               m_lumaY);
    ScalePlane(src.uv, src.uvStride, scw, sch, dst.uv, dst.uvStride, dcw, dch, 2, m_chromaX, m_chromaY);
    return true;
}

}  // namespace varnelle::drivers
