// Test harness for drawing code: draw the same shape with cairo on a 16-bit RGB565 image without
// antialiasing, then compare the two pictures pixel by pixel within a distance, writing both (and a map
// of the differences) as PNG files into a directory of the test's own when they do not match.
//
// Cairo fills the pixels whose centres lie inside a path: to draw pixel (x, y) give cairo the square
// x..x+1, y..y+1, and stroke one-pixel lines through pixel centres (x + 0.5, y + 0.5).
#pragma once

#include <cairo.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace varnelle::draw_testing {

enum class PixelFormat {
    kArgb1555,  // alpha bit 15, red 10-14, green 5-9, blue 0-4
    kRgb565,    // red 11-15, green 5-10, blue 0-4
};

// A picture of 16-bit pixels, kept as RGB565.
class Picture {
public:
    Picture() = default;
    Picture(int width, int height, uint16_t fill = 0);

    // Copies width x height pixels from rows `pitch` bytes apart. ARGB1555 pixels are widened to RGB565
    // (the alpha bit dropped; green's top bit repeated below), so colours whose channels are 0 or 255
    // read the same from either format.
    static Picture FromMemory(const void* pixels, int pitch, int width, int height, PixelFormat format);

    int Width() const { return m_width; }
    int Height() const { return m_height; }
    uint16_t At(int x, int y) const { return m_pixels[static_cast<size_t>(y) * m_width + x]; }
    void Set(int x, int y, uint16_t pixel) { m_pixels[static_cast<size_t>(y) * m_width + x] = pixel; }
    const std::vector<uint16_t>& Pixels() const { return m_pixels; }

    // Writes the picture as an 8-bit RGB PNG; false when cairo cannot.
    bool WritePng(const std::string& path) const;

private:
    int m_width = 0;
    int m_height = 0;
    std::vector<uint16_t> m_pixels;
};

// The drawing library's colour word (red bits 0-7, green 8-15, blue 16-23) as an RGB565 pixel, by
// truncation as both the library and cairo convert.
uint16_t Rgb565(uint32_t colour);

// A cairo RGB565 image surface and its context, antialiasing off, cleared to `background`.
class CairoCanvas {
public:
    CairoCanvas(int width, int height, uint32_t background = 0);
    ~CairoCanvas();
    CairoCanvas(const CairoCanvas&) = delete;
    CairoCanvas& operator=(const CairoCanvas&) = delete;

    cairo_t* Context() const { return m_cr; }
    // Sets the source to the colour word; it lands on exactly Rgb565(colour).
    void SetColor(uint32_t colour);
    // Fills the pixel square of (x, y), for hand-made pictures.
    void FillPixel(int x, int y);
    Picture Snapshot() const;

private:
    cairo_surface_t* m_surface = nullptr;
    cairo_t* m_cr = nullptr;
};

struct Tolerance {
    int distance = 0;  // pixels: a differing pixel's value must appear within this distance in the other
    int outliers = 0;  // differing pixels allowed beyond the distance
};

struct Comparison {
    bool sameSize = false;
    int differing = 0;             // pixels whose values differ
    int beyond = 0;                // of those, pixels with no equal pixel within the distance
    int firstX = -1, firstY = -1;  // the first pixel beyond the distance, in row order
};

// For each differing pixel p, got(p) must occur in `want` and want(p) in `got` within `distance`
// (the square of side 2 x distance + 1 around p). Distance 0 is exact equality.
Comparison Compare(const Picture& got, const Picture& want, int distance);

// The assertion tests use: true when the pictures match within the tolerance; otherwise writes
// <name>-got.png, <name>-want.png and <name>-diff.png (red beyond the distance, yellow within it) into a
// directory made for the failures of this process (under $VARNELLE_TEST_OUT, else the working
// directory, which ctest sets to the test's build folder; never a shared one), and says where.
testing::AssertionResult MatchesWithin(const Picture& got, const Picture& want, Tolerance tolerance,
                                       const std::string& name);

// The directory failures are written to: made on first use, kept for a person to look at.
const std::string& FailureDirectory();

}  // namespace varnelle::draw_testing
