// The 2D engine's drawing on mapped memory: fill, copy, nearest scaling and one source over another
// with a global alpha, in RGB565, ARGB4444, ARGB1555 and ARGB8888 (colours premultiplied by their
// alpha). Between formats pixels pass through ARGB8888: narrow channels widen by repeating their top
// bits and narrow again by dropping the low ones; a missing alpha is opaque, a 1-bit alpha is set from
// 128 up. Rectangles must already lie inside their surfaces.
#pragma once

#include <cstdint>

namespace varnelle::drivers::tde {

struct Surface {
    uint8_t* base = nullptr;  // the first pixel
    uint32_t stride = 0;      // bytes per row
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t format = 0;  // TDE2_COLOR_FMT_*
};

struct Rect {
    uint32_t x = 0, y = 0, w = 0, h = 0;
};

uint32_t BytesPerPixel(uint32_t format);
uint32_t ToArgb8888(uint32_t pixel, uint32_t format);
uint32_t FromArgb8888(uint32_t argb, uint32_t format);

// Sets every pixel of the rectangle to `value`, a pixel in the surface's format.
void Fill(const Surface& dst, const Rect& r, uint32_t value);
// Copies the part both rectangles' sizes allow, from their top left corners.
void Copy(const Surface& src, const Rect& sr, const Surface& dst, const Rect& dr);
// The source rectangle scaled to the destination's, each pixel taken from the source pixel under its
// centre (a centre on a pixel boundary takes the pixel before it).
void Scale(const Surface& src, const Rect& sr, const Surface& dst, const Rect& dr);
// dst = src2 (scaled to the destination rectangle) over src1, src2 counted by globalAlpha (0 to 255).
// A null src1 is the destination itself; src1's rectangle has the destination's size. A null src2
// leaves src1 as it is.
void Over(const Surface* src1, const Rect& r1, const Surface* src2, const Rect& r2, const Surface& dst, const Rect& dr,
          uint32_t globalAlpha);

}  // namespace varnelle::drivers::tde
