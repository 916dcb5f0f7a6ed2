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
void Blend(const PatternFrame& p, const Clip& clip, SampleAt sample) {
    if (clip.Empty()) return;
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
        for (int cx = clip.x0 / 2; cx <= (clip.x1 - 1) / 2; ++cx) {
            int64_t weight = 0, sumU = 0, sumV = 0;
            int pixels = 0;
            for (int py = 2 * cy; py < std::min(2 * cy + 2, p.height); ++py) {
                for (int px = 2 * cx; px < std::min(2 * cx + 2, p.width); ++px) {
                    ++pixels;
                    if (px < clip.x0 || px >= clip.x1 || py < clip.y0 || py >= clip.y1) continue;
                    Sample s = sample(px, py);
                    weight += s.alpha;
                    sumU += static_cast<int64_t>(s.alpha) * s.yuv.u;
                    sumV += static_cast<int64_t>(s.alpha) * s.yuv.v;
                }
            }
            const int64_t full = static_cast<int64_t>(pixels) * kAlphaMax;
            // Pairs hold V first, then U.
            uint8_t& v = row[2 * cx];
            v = static_cast<uint8_t>((sumV + (full - weight) * v + full / 2) / full);
            // An odd-width picture whose chroma rows are only `width` bytes has no U for its last column.
            if (static_cast<size_t>(2 * cx + 1) >= p.uvStride) continue;
            uint8_t& u = row[2 * cx + 1];
            u = static_cast<uint8_t>((sumU + (full - weight) * u + full / 2) / full);
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

void DrawOverlay(const PatternFrame& picture, const OverlayLayer& o) {
    if (o.pixels == nullptr) return;
    const uint32_t fg = std::min(o.fgAlpha, kAlphaMax);
    const uint32_t bg = std::min(o.bgAlpha, kAlphaMax);
    if (fg == 0 && bg == 0) return;
    Blend(picture, ClipTo(picture, o.x, o.y, o.width, o.height), [&](int px, int py) {
        uint16_t pixel = o.pixels[static_cast<size_t>(py - o.y) * o.width + (px - o.x)];
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
