#include "platform/drivers/core/pattern.h"

#include <algorithm>
#include <cstring>

namespace varnelle::drivers {
namespace {

// 5x7 glyphs of the digits and the colon, one row a byte, bit 4 the leftmost column.
constexpr uint8_t kGlyphs[11][7] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},
    {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00},  // ':'
};
constexpr int kColon = 10;

// Sixteen hues as (U, V): 128 + 96 * (cos, sin) of 22.5-degree steps.
constexpr uint8_t kHues[16][2] = {
    {224, 128}, {217, 165}, {196, 196}, {165, 217}, {128, 224}, {91, 217}, {60, 196}, {39, 165},
    {32, 128},  {39, 91},   {60, 60},   {91, 39},   {128, 32},  {165, 39}, {196, 60}, {217, 91},
};
constexpr uint8_t kLevels[3] = {96, 144, 192};

constexpr uint8_t kWhite = 235;
constexpr uint8_t kBlack = 16;
constexpr uint8_t kNeutral = 128;

// Fills the clipped rectangle of the luma plane, and the chroma under it with neutral grey.
void FillBox(const PatternFrame& f, int x0, int y0, int w, int h, uint8_t luma, bool neutralChroma) {
    int x1 = std::min(f.width, x0 + w), y1 = std::min(f.height, y0 + h);
    x0 = std::max(0, x0);
    y0 = std::max(0, y0);
    if (x1 <= x0 || y1 <= y0) return;
    for (int y = y0; y < y1; ++y) std::memset(f.y + y * f.yStride + x0, luma, static_cast<size_t>(x1 - x0));
    if (!neutralChroma || f.uv == nullptr) return;
    // Chroma bytes [x0 & ~1, x1) of the chroma rows that cover the box.
    int cx0 = x0 & ~1;
    for (int cy = y0 / 2; cy < (y1 + 1) / 2; ++cy) {
        std::memset(f.uv + cy * f.uvStride + cx0, kNeutral, static_cast<size_t>(x1 - cx0));
    }
}

// Draws `text` (digits and colons) in white with scale `s` starting at (x, y); returns its width.
int DrawText(const PatternFrame& f, const int* glyphs, int n, int x, int y, int s) {
    for (int i = 0; i < n; ++i) {
        const uint8_t* g = kGlyphs[glyphs[i]];
        for (int gy = 0; gy < 7; ++gy) {
            for (int gx = 0; gx < 5; ++gx) {
                if (g[gy] & (0x10 >> gx)) FillBox(f, x + (i * 6 + gx) * s, y + gy * s, s, s, kWhite, false);
            }
        }
    }
    return n * 6 * s - s;
}

// A black box with `text` in it, the box one scale unit larger than the text on every side.
void DrawLabel(const PatternFrame& f, const int* glyphs, int n, int x, int y, int s) {
    FillBox(f, x, y, n * 6 * s + s, 9 * s, kBlack, true);
    DrawText(f, glyphs, n, x + s, y + s, s);
}

void FillPlanes(const PatternFrame& f, PatternYuv c) {
    for (int y = 0; y < f.height; ++y) std::memset(f.y + y * f.yStride, c.y, static_cast<size_t>(f.width));
    if (f.uv == nullptr) return;
    uint8_t* first = f.uv;
    for (int x = 0; x < f.width; ++x) first[x] = (x & 1) ? c.u : c.v;
    for (int y = 1; y < (f.height + 1) / 2; ++y) std::memcpy(f.uv + y * f.uvStride, first, static_cast<size_t>(f.width));
}

}  // namespace

PatternYuv PatternSignature(int channel) {
    unsigned k = static_cast<unsigned>(std::max(channel, 0));
    // Seven steps at a time, so that neighbouring channels get far-apart hues.
    const uint8_t* hue = kHues[(k * 7) % 16];
    return PatternYuv{kLevels[(k / 16) % 3], hue[0], hue[1]};
}

PatternRect PatternSignatureRect(int width, int height) {
    return PatternRect{width / 2, height / 16, width * 15 / 16 - width / 2, height / 2 - height / 16};
}

void DrawFlat(const PatternFrame& f, PatternYuv colour) {
    if (f.y == nullptr || f.width <= 0 || f.height <= 0) return;
    FillPlanes(f, colour);
}

void DrawTestPattern(const PatternFrame& f, int channel, uint64_t frameIndex, int secondsOfDay) {
    if (f.y == nullptr || f.width <= 0 || f.height <= 0) return;
    FillPlanes(f, PatternSignature(channel));

    // The channel's number, about a quarter of the picture high, kept left of the signature area.
    int digits[12];
    int n = 0;
    unsigned c = static_cast<unsigned>(std::max(channel, 0));
    int reversed[12];
    do {
        reversed[n++] = static_cast<int>(c % 10);
        c /= 10;
    } while (c != 0 && n < 12);
    for (int i = 0; i < n; ++i) digits[i] = reversed[n - 1 - i];
    const int margin = f.width / 16;
    const int room = std::max(1, f.width / 2 - 2 * margin);
    int scale = std::max(1, std::min(f.height / 28, room / (6 * n + 1)));
    DrawLabel(f, digits, n, margin, f.height / 16, scale);

    // The moving element: a white bar that crosses the band between five and six eighths of the height.
    const int barW = std::max(2, f.width / 32);
    const int span = std::max(1, f.width - barW);
    const uint64_t step = static_cast<uint64_t>(std::max(1, f.width / 50));
    const int barX = static_cast<int>((frameIndex * step) % static_cast<uint64_t>(span));
    FillBox(f, barX, f.height * 5 / 8, barW, f.height / 8, kWhite, true);

    // The time of day at the bottom left.
    if (secondsOfDay >= 0) {
        int t = secondsOfDay % 86400;
        int hh = t / 3600, mm = t / 60 % 60, ss = t % 60;
        const int text[8] = {hh / 10, hh % 10, kColon, mm / 10, mm % 10, kColon, ss / 10, ss % 10};
        int ts = std::max(1, std::min(f.height / 48, std::max(1, f.width - 2 * margin) / (6 * 8 + 1)));
        DrawLabel(f, text, 8, margin, f.height - f.height / 32 - 9 * ts, ts);
    }
}

}  // namespace varnelle::drivers
