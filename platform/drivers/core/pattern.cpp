#include "platform/drivers/core/pattern.h"

#include <algorithm>
#include <cstring>

namespace varnelle::drivers {
namespace {

// 5x7 digit glyphs, one row a byte, bit 4 the leftmost column.
constexpr uint8_t kDigits[10][7] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},
};

void FillRect(const PatternFrame& f, int x0, int y0, int w, int h, uint8_t luma) {
    int x1 = std::min(f.width, x0 + w);
    int y1 = std::min(f.height, y0 + h);
    x0 = std::max(0, x0);
    y0 = std::max(0, y0);
    for (int y = y0; y < y1; ++y) {
        if (x1 > x0) std::memset(f.y + y * f.yStride + x0, luma, static_cast<size_t>(x1 - x0));
    }
}

}  // namespace

void DrawTestPattern(const PatternFrame& f, int channel, uint64_t frameIndex) {
    if (f.y == nullptr || f.width <= 0 || f.height <= 0) return;
    // Background: a horizontal ramp, different per channel so even thumbnails differ.
    for (int y = 0; y < f.height; ++y) {
        uint8_t* row = f.y + y * f.yStride;
        for (int x = 0; x < f.width; ++x) row[x] = static_cast<uint8_t>(32 + ((x * 96) / f.width) + (channel % 4) * 8);
    }
    if (f.uv != nullptr) {
        uint8_t u = static_cast<uint8_t>(96 + (channel * 37) % 64);
        uint8_t v = static_cast<uint8_t>(96 + (channel * 53) % 64);
        for (int y = 0; y < (f.height + 1) / 2; ++y) {
            uint8_t* row = f.uv + y * f.uvStride;
            for (int x = 0; x + 1 < f.width + 1; x += 2) {
                row[x] = u;
                if (x + 1 < f.width) row[x + 1] = v;
            }
        }
    }
    // The channel number, about a third of the picture high, at the top left.
    int scale = std::max(1, f.height / 24);
    char text[12];
    int n = 0;
    unsigned c = static_cast<unsigned>(channel < 0 ? 0 : channel);
    do {
        text[n++] = static_cast<char>('0' + c % 10);
        c /= 10;
    } while (c != 0 && n < 11);
    int penX = f.width / 16;
    int penY = f.height / 16;
    for (int i = n - 1; i >= 0; --i) {
        const uint8_t* glyph = kDigits[text[i] - '0'];
        for (int gy = 0; gy < 7; ++gy) {
            for (int gx = 0; gx < 5; ++gx) {
                if (glyph[gy] & (0x10 >> gx)) FillRect(f, penX + gx * scale, penY + gy * scale, scale, scale, 235);
            }
        }
        penX += 6 * scale;
    }
    // The moving element: a white bar that crosses the lower half, one step per frame.
    int barW = std::max(2, f.width / 20);
    int span = std::max(1, f.width - barW);
    int step = std::max(1, f.width / 50);
    int x = static_cast<int>((frameIndex * static_cast<uint64_t>(step)) % static_cast<uint64_t>(span));
    FillRect(f, x, f.height / 2, barW, f.height / 2, 255);
}

}  // namespace varnelle::drivers
