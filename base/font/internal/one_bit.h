// One-bit bitmap helpers shared by the renderers. Rows are stride bytes; only pixels inside the
// canvas are ever touched, so a glyph placed partly outside is clipped, never spilled into a neighbour row.
#pragma once

#include <cstdint>

namespace varnelle::font_internal {

class OneBitCanvas {
public:
    // `width` in pixels (rows of width / 8 bytes), `height` in rows; a null or empty bitmap draws nothing.
    OneBitCanvas(uint8_t* bits, int width, int height)
        : m_pBits(bits),
          m_iStride(width > 0 ? width / 8 : 0),
          m_iHeight(bits != nullptr && height > 0 ? height : 0) {}

    int Width() const { return m_iStride * 8; }
    int Height() const { return m_iHeight; }

    void Set(int x, int y) {
        if (x < 0 || y < 0 || x >= Width() || y >= m_iHeight) return;
        m_pBits[static_cast<long>(y) * m_iStride + x / 8] |= static_cast<uint8_t>(0x80u >> (x % 8));
    }

private:
    uint8_t* m_pBits;
    int m_iStride;
    int m_iHeight;
};

// Bit `x` of a one-bit row (most significant bit leftmost).
inline bool OneBitAt(const uint8_t* row, int x) {
    return (row[x / 8] >> (7 - x % 8)) & 1;
}

// Prints `width` x `height` pixels of a one-bit bitmap of rows of width / 8 bytes: '*' set, ' ' clear
// (also for the columns past the row's last whole byte, which the bitmap does not hold).
void DumpOneBit(const uint8_t* bitmap, int width, int height);

}  // namespace varnelle::font_internal
