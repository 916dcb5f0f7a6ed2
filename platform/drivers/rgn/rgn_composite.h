// Drawing regions into a semi-planar YUV 4:2:0 picture: overlays (ARGB1555 bitmaps, whose pixels take
// the foreground alpha where their alpha bit is set and the background alpha where it is clear) and
// covers (opaque rectangles of one colour). A pure function of its inputs: the caller gathers the
// layers in drawing order. Colours become YUV by BT.601 in video range; chroma, kept once per 2 x 2
// pixels, is blended by the share of those pixels each layer covers and their alphas. Parts of a layer
// outside the picture are left out.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/drivers/core/pattern.h"

namespace varnelle::drivers::rgn {

constexpr uint32_t kAlphaMax = 128;

struct OverlayLayer {
    int x = 0;  // top left corner in the picture; may lie outside it
    int y = 0;
    int width = 0;
    int height = 0;
    const uint16_t* pixels = nullptr;  // width x height, row after row
    uint32_t fgAlpha = 0;              // 0..kAlphaMax; larger values count as kAlphaMax
    uint32_t bgAlpha = 0;
};

struct CoverLayer {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    uint32_t rgb = 0;  // 0x00RRGGBB
};

struct Layer {
    bool cover = false;
    OverlayLayer overlay;
    CoverLayer coverRect;
};

struct Yuv {
    uint8_t y, u, v;
};

Yuv RgbToYuv(uint8_t r, uint8_t g, uint8_t b);
Yuv Argb1555ToYuv(uint16_t pixel);

void DrawOverlay(const PatternFrame& picture, const OverlayLayer& overlay);
void DrawCover(const PatternFrame& picture, const CoverLayer& cover);
// Draws the layers in order, each over what the ones before it left.
void Composite(const PatternFrame& picture, const std::vector<Layer>& layers);

}  // namespace varnelle::drivers::rgn
