#include "platform/drivers/rgn/rgn_composite.h"

#include <algorithm>

namespace varnelle::drivers::rgn {
namespace {

struct Sample {
    uint32_t alpha;  // 0..kAlphaMax
    Yuv yuv;
};

// The part of [x, x + w) x [y, y + h) inside the picture, as half-open bounds.
struct Clip {
    int x0, y0, x1, y1;
    bool Empty() const { return x0 >= x1 || y0 >= y1; }
};

Clip ClipTo(const PatternFrame& p, int x, int y, int w, int h) {
    const int64_t x1 = std::min<int64_t>(p.width, static_cast<int64_t>(x) + std::max(w, 0));
    const int64_t y1 = std::min<int64_t>(p.height, static_cast<int64_t>(y) + std::max(h, 0));
    return Clip{std::max(0, x), std::max(0, y), static_cast<int>(x1), static_cast<int>(y1)};
}

uint8_t Mix(uint32_t alpha, uint8_t src, uint8_t dst) {
    return static_cast<uint8_t>((alpha * src + (kAlphaMax - alpha) * dst + kAlphaMax / 2) / kAlphaMax);
}

// Blends the layer whose pixel (px, py), in picture coordinates inside `clip`, is sample(px, py).
// Luma pixel by pixel; each chroma sample by the alphas of the picture pixels of its 2 x 2 block,
// pixels outside the layer counting as alpha 0.
template <typename SampleAt>
void Blend(const PatternFrame& picture, const Clip clip, SampleAt sample) {
    if (clip.Empty()) return;
    const PatternFrame p = picture;  // a copy the pixel writes cannot alias
    for (int py = clip.y0; py < clip.y1; ++py) {
        uint8_t* row = p.y + static_cast<size_t>(py) * p.yStride;
        for (int px = clip.x0; px < clip.x1; ++px) {
            Sample s = sample(px, py);
            row[px] = Mix(s.alpha, s.yuv.y, row[px]);
        }
    }
    if (p.uv == nullptr) return;
    for (int cy = clip.y0 / 2; cy <= (clip.y1 - 1) / 2; ++cy) {
        uint8_t* row = p.uv + static_cast<size_t>(cy) * p.uvStride;
        // The block's rows in the picture, and those of them the layer covers.
        const int rows = std::min(2 * cy + 2, p.height) - 2 * cy;
        const int y0 = std::max(2 * cy, clip.y0), y1 = std::min(2 * cy + 2, clip.y1);
        for (int cx = clip.x0 / 2; cx <= (clip.x1 - 1) / 2; ++cx) {
            const int cols = std::min(2 * cx + 2, p.width) - 2 * cx;
            const int x0 = std::max(2 * cx, clip.x0), x1 = std::min(2 * cx + 2, clip.x1);
            uint32_t weight = 0, sumU = 0, sumV = 0;
            for (int py = y0; py < y1; ++py) {
                for (int px = x0; px < x1; ++px) {
                    Sample s = sample(px, py);
                    weight += s.alpha;
                    sumU += s.alpha * s.yuv.u;
                    sumV += s.alpha * s.yuv.v;
                }
            }
            const int pixels = rows * cols;
            const uint32_t full = static_cast<uint32_t>(pixels) * kAlphaMax;
            // full is 128, 256 or 512 (a block of 1, 2 or 4 pixels): a shift, not a division.
            const int shift = 7 + pixels / 2;
            // Pairs hold V first, then U.
            uint8_t& v = row[2 * cx];
            v = static_cast<uint8_t>((sumV + (full - weight) * v + full / 2) >> shift);
            // An odd-width picture whose chroma rows are only `width` bytes has no U for its last column.
            if (static_cast<size_t>(2 * cx + 1) >= p.uvStride) continue;
            uint8_t& u = row[2 * cx + 1];
            u = static_cast<uint8_t>((sumU + (full - weight) * u + full / 2) >> shift);
        }
    }
}

uint8_t Expand5(uint32_t v) { return static_cast<uint8_t>((v << 3) | (v >> 2)); }

}  // namespace

Yuv RgbToYuv(uint8_t r, uint8_t g, uint8_t b) {
    const int R = r, G = g, B = b;
    return Yuv{static_cast<uint8_t>(((66 * R + 129 * G + 25 * B + 128) >> 8) + 16),
               static_cast<uint8_t>(((-38 * R - 74 * G + 112 * B + 128) >> 8) + 128),
               static_cast<uint8_t>(((112 * R - 94 * G - 18 * B + 128) >> 8) + 128)};
}

Yuv Argb1555ToYuv(uint16_t pixel) {
    return RgbToYuv(Expand5((pixel >> 10) & 0x1F), Expand5((pixel >> 5) & 0x1F), Expand5(pixel & 0x1F));
}

ConvertedPixel Convert(uint16_t pixel) {
    const Yuv c = Argb1555ToYuv(pixel);
    return ConvertedPixel{c.y, c.u, c.v, static_cast<uint8_t>(pixel >> 15)};
}

void OverlayBitmap::Assign(int width, int height, uint16_t fill) {
    m_width = std::max(width, 0);
    m_height = std::max(height, 0);
    m_pixels.assign(static_cast<size_t>(m_width) * m_height, fill);
    m_stale = true;
}

OverlayLayer OverlayBitmap::Layer(int x, int y, uint32_t fgAlpha, uint32_t bgAlpha) {
    if (m_stale) {
        m_converted.resize(m_pixels.size());
        std::transform(m_pixels.begin(), m_pixels.end(), m_converted.begin(), Convert);
        m_stale = false;
        ++m_conversions;
    }
    return OverlayLayer{x, y, m_width, m_height, m_pixels.data(), fgAlpha, bgAlpha, m_converted.data()};
}

void DrawOverlay(const PatternFrame& picture, const OverlayLayer& o) {
    if (o.pixels == nullptr && o.converted == nullptr) return;
    const uint32_t fg = std::min(o.fgAlpha, kAlphaMax);
    const uint32_t bg = std::min(o.bgAlpha, kAlphaMax);
    if (fg == 0 && bg == 0) return;
    const Clip clip = ClipTo(picture, o.x, o.y, o.width, o.height);
    // Captured by value: the picture's bytes may alias anything, so what the lambdas read through a
    // reference would be read again after every pixel written.
    const int x = o.x, y = o.y, width = o.width;
    auto at = [=](int px, int py) { return static_cast<size_t>(py - y) * width + (px - x); };
    if (const ConvertedPixel* converted = o.converted; converted != nullptr) {
        Blend(picture, clip, [=](int px, int py) {
            const ConvertedPixel c = converted[at(px, py)];
            return Sample{c.alphaBit ? fg : bg, Yuv{c.y, c.u, c.v}};
        });
        return;
    }
    const uint16_t* pixels = o.pixels;
    Blend(picture, clip, [=](int px, int py) {
        const uint16_t pixel = pixels[at(px, py)];
        return Sample{(pixel & 0x8000) ? fg : bg, Argb1555ToYuv(pixel)};
    });
}

void DrawCover(const PatternFrame& picture, const CoverLayer& c) {
    const Sample s{kAlphaMax, RgbToYuv((c.rgb >> 16) & 0xFF, (c.rgb >> 8) & 0xFF, c.rgb & 0xFF)};
    Blend(picture, ClipTo(picture, c.x, c.y, c.width, c.height), [&](int, int) { return s; });
}

void Composite(const PatternFrame& picture, const std::vector<Layer>& layers) {
    if (picture.y == nullptr || picture.width <= 0 || picture.height <= 0) return;
    for (const Layer& l : layers) {
        if (l.cover) {
            DrawCover(picture, l.coverRect);
        } else {
            DrawOverlay(picture, l.overlay);
        }
    }
}

}  // namespace varnelle::drivers::rgn
