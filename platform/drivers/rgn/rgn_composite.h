// Drawing regions into a semi-planar YUV 4:2:0 picture: overlays (ARGB1555 bitmaps, whose pixels take
// the foreground alpha where their alpha bit is set and the background alpha where it is clear) and
// covers (opaque rectangles of one colour). A pure function of its inputs: the caller gathers the
// layers in drawing order. Colours become YUV by BT.601 in video range; chroma, kept once per 2 x 2
// pixels, is blended by the share of those pixels each layer covers and their alphas. Parts of a layer
// outside the picture are left out.
//
// Converting an overlay's colours costs more than blending them, and a title is drawn into every
// picture of its channel while its bitmap changes once a second at most: an OverlayBitmap keeps the
// converted pixels beside the bitmap until the bitmap changes. Conversion does not depend on the
// picture (chroma order is applied while blending) nor on the alphas (only each pixel's alpha bit is
// kept), so nothing else invalidates it.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/drivers/core/pattern.h"

namespace varnelle::drivers::rgn {

constexpr uint32_t kAlphaMax = 128;

struct Yuv {
    uint8_t y, u, v;
};

// An ARGB1555 pixel as drawn: its colour in YUV and its alpha bit.
struct ConvertedPixel {
    uint8_t y, u, v;
    uint8_t alphaBit;  // 0 or 1
};

struct OverlayLayer {
    int x = 0;  // top left corner in the picture; may lie outside it
    int y = 0;
    int width = 0;
    int height = 0;
    const uint16_t* pixels = nullptr;  // width x height, row after row
    uint32_t fgAlpha = 0;              // 0..kAlphaMax; larger values count as kAlphaMax
    uint32_t bgAlpha = 0;
    // `pixels` converted, when the caller keeps them so (then `pixels` is not read); else each draw
    // converts the pixels it reaches.
    const ConvertedPixel* converted = nullptr;
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

Yuv RgbToYuv(uint8_t r, uint8_t g, uint8_t b);
Yuv Argb1555ToYuv(uint16_t pixel);
ConvertedPixel Convert(uint16_t pixel);

// An overlay's bitmap and, made at the first draw after each change, its converted pixels. Not
// thread-safe: its owner serialises changes and draws.
class OverlayBitmap {
public:
    // width x height pixels of `fill`.
    void Assign(int width, int height, uint16_t fill);
    int Width() const { return m_width; }
    int Height() const { return m_height; }
    const std::vector<uint16_t>& Pixels() const { return m_pixels; }
    // The pixels for changing; the next draw converts them again.
    uint16_t* Edit() {
        m_stale = true;
        return m_pixels.data();
    }
    // A layer that draws the bitmap at (x, y) with these alphas.
    OverlayLayer Layer(int x, int y, uint32_t fgAlpha, uint32_t bgAlpha);
    // Conversions made so far (test view).
    uint64_t Conversions() const { return m_conversions; }

private:
    int m_width = 0, m_height = 0;
    std::vector<uint16_t> m_pixels;
    std::vector<ConvertedPixel> m_converted;
    bool m_stale = true;
    uint64_t m_conversions = 0;
};

void DrawOverlay(const PatternFrame& picture, const OverlayLayer& overlay);
void DrawCover(const PatternFrame& picture, const CoverLayer& cover);
// Draws the layers in order, each over what the ones before it left.
void Composite(const PatternFrame& picture, const std::vector<Layer>& layers);

}  // namespace varnelle::drivers::rgn
