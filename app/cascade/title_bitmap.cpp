#include "app/cascade/title_bitmap.h"

#include <algorithm>
#include <cstring>

uint16_t TitleColorTo1555(uint32_t u32Color) {
    const uint32_t r = (u32Color >> 16) & 0xFF, g = (u32Color >> 8) & 0xFF, b = u32Color & 0xFF;
    return static_cast<uint16_t>(((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3));
}

int TitleBitmapTo1555(const uint8_t* pu8Bitmap, int width, int height, uint32_t u32TextColor,
                      uint32_t u32BgColor, uint16_t* pu16Dst) {
    if (pu8Bitmap == nullptr || pu16Dst == nullptr || width < 1 || height < 1) return 0;
    const uint16_t text = TitleColorTo1555(u32TextColor), bg = TitleColorTo1555(u32BgColor);
    const int stride = TitleTextStride(width);
    // Row by row: a width that is not a multiple of 8 leaves bitless pixels at the end of every row,
    // which a run over width x height / 8 bytes would shift into the next row.
    for (int row = 0; row < height; ++row) {
        const uint8_t* src = pu8Bitmap + static_cast<size_t>(row) * stride;
        uint16_t* dst = pu16Dst + static_cast<size_t>(row) * width;
        for (int g = 0; g < stride; ++g) {
            const uint8_t bits = src[g];
            for (int j = 0; j < 8; ++j) dst[8 * g + j] = (bits & (0x80 >> j)) ? text : bg;
        }
        for (int x = 8 * stride; x < width; ++x) dst[x] = bg;
    }
    return 1;
}

int TitleScaleUp(const uint16_t* pu16Src, int w, int h, int W, int H, uint16_t* pu16Dst) {
    if (pu16Src == nullptr || pu16Dst == nullptr || w < 1 || h < 1 || W < 1 || H < 1) return 0;
    const int fx = W / w, fy = H / h;
    // A side that would shrink cannot be enlarged by a whole factor.
    if (fx < 1 || fy < 1) return 0;
    const size_t outW = static_cast<size_t>(fx) * w;
    for (int r = 0; r < h; ++r) {
        uint16_t* row = pu16Dst + static_cast<size_t>(r) * fy * outW;
        for (int c = 0; c < w; ++c) {
            const uint16_t p = pu16Src[static_cast<size_t>(r) * w + c];
            for (int k = 0; k < fx; ++k) row[static_cast<size_t>(c) * fx + k] = p;
        }
        for (int k = 1; k < fy; ++k) std::memcpy(row + k * outW, row, outW * sizeof(uint16_t));
    }
    return 1;
}

int TitleScaleDown(const uint16_t* pu16Src, int w, int h, int W, int H, uint16_t* pu16Dst) {
    if (pu16Src == nullptr || pu16Dst == nullptr || w < 1 || h < 1 || W < 1 || H < 1) return 0;
    // Factors of at least 1, and never a sample outside the source.
    const int fx = std::max(1, w / W), fy = std::max(1, h / H);
    for (int r = 0; r < H; ++r) {
        const int sr = std::min(h - 1, r * fy);
        for (int c = 0; c < W; ++c) {
            const int sc = std::min(w - 1, c * fx);
            pu16Dst[static_cast<size_t>(r) * W + c] = PixelMask1555(pu16Src[static_cast<size_t>(sr) * w + sc]);
        }
    }
    return 1;
}

int TitleScale(const uint16_t* pu16Src, int w, int h, int W, int H, uint16_t* pu16Dst) {
    if (pu16Src == nullptr || pu16Dst == nullptr || w < 1 || h < 1 || W < 1 || H < 1) return 0;
    const bool sameW = W / w == 1 || w / W == 1, sameH = H / h == 1 || h / H == 1;
    if (sameW && sameH) {
        // The destination holds W x H pixels; a source larger than that is cut, never written past.
        const size_t n = std::min(static_cast<size_t>(w) * h, static_cast<size_t>(W) * H);
        std::memcpy(pu16Dst, pu16Src, n * sizeof(uint16_t));
        return 1;
    }
    if (H > h || W > w) return TitleScaleUp(pu16Src, w, h, W, H, pu16Dst);
    return TitleScaleDown(pu16Src, w, h, W, H, pu16Dst);
}
