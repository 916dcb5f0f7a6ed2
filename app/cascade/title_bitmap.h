// Title pictures: one-bit text bitmaps turned into ARGB1555 pixels, and the integer scaling that makes
// the double- and half-size versions. Pure functions over caller buffers; any thread.
#pragma once

#include <cstdint>

// A 0x00RRGGBB colour as an ARGB1555 pixel with the alpha bit clear.
uint16_t TitleColorTo1555(uint32_t u32Color);
// The pixel with its alpha bit cleared.
inline uint16_t PixelMask1555(uint16_t u16Pixel) { return static_cast<uint16_t>(u16Pixel & 0x7FFF); }

// Bytes in a row of a one-bit text bitmap `width` pixels wide: the font manager writes whole bytes
// only, so the pixels past the last whole byte of a row have no bit.
inline int TitleTextStride(int width) { return width / 8; }

// Expands the one-bit bitmap (rows of TitleTextStride(width) bytes, most significant bit leftmost) to
// width x height pixels: text colour where a bit is set, background colour elsewhere, including the
// pixels of a row that have no bit. 1, or 0 for a missing buffer or a side below 1.
int TitleBitmapTo1555(const uint8_t* pu8Bitmap, int width, int height, uint32_t u32TextColor,
                      uint32_t u32BgColor, uint16_t* pu16Dst);

// Scales a w x h picture towards W x H by integer factors (pu16Dst holds W x H pixels):
//   - both ratios 1 in integer division: the w x h pixels are copied (at most W x H of them);
//   - H > h or W > w: TitleScaleUp, each pixel an fx x fy block (fx = W / w, fy = H / h), rows of
//     fx x w pixels (0 when one side would shrink);
//   - else TitleScaleDown: pixel (r, c) of the W x H result is source pixel (r * h / H, c * w / W)
//     sampled by the integer factors, its alpha bit cleared.
// 1, or 0 for a missing buffer or a side below 1.
int TitleScale(const uint16_t* pu16Src, int w, int h, int W, int H, uint16_t* pu16Dst);
int TitleScaleUp(const uint16_t* pu16Src, int w, int h, int W, int H, uint16_t* pu16Dst);
int TitleScaleDown(const uint16_t* pu16Src, int w, int h, int W, int H, uint16_t* pu16Dst);
