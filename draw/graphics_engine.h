// The raster engine: the innermost pixel loops of the drawing library and the colour conversions.
//
// For each raster operation (copy, AND, OR, XOR) and pixel size (8, 16, 24, 32 bits) there is one
// routine that writes a pixel, one that fills a run with one value and one that combines a run of
// source pixels into the destination, optionally skipping a key colour. A drawing context selects
// the three for its raster operation and pixel size into a GraphicsObject once (selectObject) and
// calls them through it. The routines expect clipped input: every pixel of the run is writable.
// Pixels need no alignment; a 24-bit pixel is three bytes, its value's low 16 bits stored as one
// 16-bit word at the pixel address and bits 16 to 23 in the third byte.
//
// The colour word: red in bits 0 to 7, green 8 to 15, blue 16 to 23, bit 24 a transparency flag
// that becomes the alpha bit of ARGB1555 pixels.
#pragma once

#include <algorithm>
#include <cstdint>

enum {
    N_ROP = 4,  // 0 copy, 1 AND, 2 OR, 3 XOR
    N_BPP = 4,  // bytes per pixel less one: 8, 16, 24, 32 bits
};

// Surface pixel formats.
enum {
    kFormatArgb1555 = 0,  // alpha bit 15, red 10..14, green 5..9, blue 0..4
    kFormatRgb565 = 1,    // red 11..15, green 5..10, blue 0..4
    kFormatRgb888 = 2,    // 24 or 32 bits: red 16..23, green 8..15, blue 0..7 (to colour only)
};

constexpr uint32_t kColorTransparent = 1u << 24;

// Writes one pixel.
using PixelProc = void (*)(void* pixel, uint32_t value);
// Writes count pixels from run upwards; count <= 0 does nothing.
using FillProc = void (*)(void* run, int count, uint32_t value);
// Combines count source pixels into the destination run. With keyed == 1 a source pixel equal to
// key (in the pixel's width) leaves its destination pixel alone. Runs may overlap only for the copy
// operation without a key.
using CopyProc = void (*)(void* dst, int count, const void* src, int keyed, uint32_t key);

struct GraphicsObject {
    PixelProc pixel;
    FillProc fill;
    CopyProc copy;
};

// Fills obj with the routines of rop and bpp and returns true; false with obj untouched when either
// lies outside 0..3.
bool selectObject(GraphicsObject& obj, int rop, int bpp);

// r, g and b are clamped to 0..255. Format 0 sets the alpha bit when transparent is not 0; format 1
// ignores it; other formats give 0xFF00.
inline uint32_t RgbToPixel(int format, int r, int g, int b, int transparent) {
    uint32_t ur = static_cast<uint32_t>(std::clamp(r, 0, 255));
    uint32_t ug = static_cast<uint32_t>(std::clamp(g, 0, 255));
    uint32_t ub = static_cast<uint32_t>(std::clamp(b, 0, 255));
    switch (format) {
        case kFormatArgb1555:
            return ((ur << 7) & 0x7C00) + ((ug << 2) & 0x3E0) + (ub >> 3) + (transparent != 0 ? 0x8000u : 0u);
        case kFormatRgb565:
            return ((ur << 8) & 0xF800) + ((ug << 3) & 0x7E0) + (ub >> 3);
        default:
            return 0xFF00;
    }
}

inline uint32_t ColorToPixel(int format, uint32_t colour) {
    return RgbToPixel(format, colour & 0xFF, (colour >> 8) & 0xFF, (colour >> 16) & 0xFF,
                      (colour & kColorTransparent) != 0);
}

// The colour of a pixel: each channel's bits at the top of its byte, low bits clear; bit 24 of the
// pixel is copied to bit 24 of the colour (so 16-bit pixels give no transparency flag). Formats
// other than 0 to 2 give green.
uint32_t PixelToColor(int format, uint32_t pixel);

// Packs alpha << 24 | r << 16 | g << 8 | b with r, g and b scaled by alpha / 255 (truncated); alpha
// 0 gives 0 and alpha 255 leaves them unscaled.
uint32_t PremultiplyArgb(uint8_t r, uint8_t g, uint8_t b, uint8_t alpha);
