#include "platform/drivers/core/scaler.h"

#include <algorithm>
#include <cstring>

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

void Yuv420SpScaler::Build(Axis& axis, int src, int dst) {
    axis.index.resize(static_cast<size_t>(dst));
    axis.weight.resize(static_cast<size_t>(dst));
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
    }
}

namespace {

// out[i] = row[i] * 256 (a horizontal pass at equal widths).
void Widen(const uint8_t* row, size_t count, uint16_t* out) {
    for (size_t i = 0; i < count; ++i) out[i] = static_cast<uint16_t>(row[i] << 8);
}

// One row of n interleaved components through the horizontal weights, kept at 16 bits. Positions from
// `tail` on sample the last pixel alone, so the row is never read past its end.
template <int n>
void HorizontalPass(const uint8_t* row, const int32_t* xi, const uint16_t* xw, int tail, int dstW, int srcW,
                    uint16_t* out) {
    for (int dx = 0; dx < tail; ++dx) {
        const uint8_t* p = row + n * xi[dx];
        const uint32_t w = xw[dx];
        for (int c = 0; c < n; ++c) out[n * dx + c] = static_cast<uint16_t>(p[c] * (256 - w) + p[n + c] * w);
    }
    for (int dx = tail; dx < dstW; ++dx)
        for (int c = 0; c < n; ++c) out[n * dx + c] = static_cast<uint16_t>(row[n * (srcW - 1) + c] << 8);
}

// Two 16-bit rows blended with weight wy into 8-bit pixels. Written as high halves of 16-bit products
// so that it vectorises without 32-bit multiplies; the truncation costs less than a 256th of a step.
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

// Two 8-bit rows blended with weight wy, kept at 16 bits.
void VerticalPass8(const uint8_t* r0, const uint8_t* r1, uint16_t wy, size_t count, uint16_t* out) {
    const uint16_t w0 = static_cast<uint16_t>(256 - wy);
    for (size_t i = 0; i < count; ++i) out[i] = static_cast<uint16_t>(r0[i] * w0 + r1[i] * wy);
}

// A 16-bit row through the horizontal weights into 8-bit pixels; the row holds one pixel past its end.
template <int n>
void HorizontalPass16(const uint16_t* t, const int32_t* xi, const uint16_t* xw, int dstW, uint8_t* out) {
    for (int dx = 0; dx < dstW; ++dx) {
        const uint16_t* p = t + n * xi[dx];
        const uint32_t w = xw[dx];
        for (int c = 0; c < n; ++c) out[n * dx + c] = static_cast<uint8_t>((p[c] * (256 - w) + p[n + c] * w + 32768) >> 16);
    }
}

}  // namespace

void Yuv420SpScaler::ScalePlane(const uint8_t* src, size_t srcStride, int srcW, int srcH, uint8_t* dst,
                                size_t dstStride, int dstW, int dstH, int n, const Axis& xs, const Axis& ys) {
    const size_t srcBytes = static_cast<size_t>(srcW) * n;
    const size_t dstBytes = static_cast<size_t>(dstW) * n;
    if (srcW == dstW && srcH == dstH) {
        for (int row = 0; row < dstH; ++row) std::memcpy(dst + row * dstStride, src + row * srcStride, dstBytes);
        return;
    }
    const int32_t* xi = xs.index.data();
    const uint16_t* xw = xs.weight.data();
    if (dstH > srcH) {
        // Growing: each source row is scaled across once and kept while the output rows between it and
        // the next are blended from the pair.
        int tail = dstW;
        while (tail > 0 && xi[tail - 1] >= srcW - 1) --tail;
        m_rows.resize(2 * dstBytes);
        uint16_t* rows[2] = {m_rows.data(), m_rows.data() + dstBytes};
        int held[2] = {-1, -1};
        auto across = [&](int sy) -> const uint16_t* {
            for (int k = 0; k < 2; ++k)
                if (held[k] == sy) return rows[k];
            // Replace the row that is not the other one needed now (the older, lower index).
            int k = held[0] < held[1] ? 0 : 1;
            const uint8_t* row = src + static_cast<size_t>(sy) * srcStride;
            if (srcW == dstW) {
                Widen(row, dstBytes, rows[k]);
            } else if (n == 1) {
                HorizontalPass<1>(row, xi, xw, tail, dstW, srcW, rows[k]);
            } else {
                HorizontalPass<2>(row, xi, xw, tail, dstW, srcW, rows[k]);
            }
            held[k] = sy;
            return rows[k];
        };
        for (int dy = 0; dy < dstH; ++dy) {
            const int iy = ys.index[dy];
            const uint16_t* r0 = across(iy);
            const uint16_t* r1 = across(std::min(iy + 1, srcH - 1));
            VerticalPass16(r0, r1, ys.weight[dy], dstBytes, dst + static_cast<size_t>(dy) * dstStride);
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
        VerticalPass8(r0, r1, ys.weight[dy], srcBytes, t);
        // The pixel past the right edge repeats the last, so the horizontal pass never needs a check.
        for (int c = 0; c < n; ++c) t[srcBytes + c] = t[srcBytes - n + c];
        uint8_t* out = dst + static_cast<size_t>(dy) * dstStride;
        if (srcW == dstW) {
            for (size_t x = 0; x < dstBytes; ++x) out[x] = static_cast<uint8_t>((t[x] + 128) >> 8);
        } else if (n == 1) {
            HorizontalPass16<1>(t, xi, xw, dstW, out);
        } else {
            HorizontalPass16<2>(t, xi, xw, dstW, out);
        }
    }
}

bool Yuv420SpScaler::Scale(const Yuv420SpPlanes& src, const Yuv420SpPlanes& dst) {
    if (src.IsEmpty() || dst.IsEmpty()) return false;
    const int scw = (src.width + 1) / 2, sch = (src.height + 1) / 2;
    const int dcw = (dst.width + 1) / 2, dch = (dst.height + 1) / 2;
    if (src.width != m_sw || src.height != m_sh || dst.width != m_dw || dst.height != m_dh) {
        Build(m_lumaX, src.width, dst.width);
        Build(m_lumaY, src.height, dst.height);
        Build(m_chromaX, scw, dcw);
        Build(m_chromaY, sch, dch);
        m_sw = src.width, m_sh = src.height, m_dw = dst.width, m_dh = dst.height;
    }
    ScalePlane(src.y, src.yStride, src.width, src.height, dst.y, dst.yStride, dst.width, dst.height, 1, m_lumaX,
               m_lumaY);
    ScalePlane(src.uv, src.uvStride, scw, sch, dst.uv, dst.uvStride, dcw, dch, 2, m_chromaX, m_chromaY);
    return true;
}

}  // namespace varnelle::drivers
