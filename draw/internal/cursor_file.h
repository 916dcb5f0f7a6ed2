// The cursor file reader: a Windows cursor file (.cur) holding one 32 x 32 monochrome image, checked
// whole before anything is taken from it.
//
// Layout (little-endian): 4 image count (u16), 6 width (u8), 7 height (u8), 10 hot spot x (u16),
// 12 hot spot y (u16), 18 image offset (u32, 22: the image follows the directory), 36 bits per pixel
// of the bitmap header (u16), 70 the XOR bitmap and 198 the AND bitmap, each 32 rows of 4 bytes,
// bottom row first, most significant bit leftmost; 326 bytes in all.
#pragma once

#include <cstddef>
#include <cstdint>

namespace varnelle::draw::internal {

struct CursorFileImage {
    uint16_t hotX;
    uint16_t hotY;
    // Row 0 is the top row; bit 31 is the leftmost pixel.
    uint32_t xorRows[32];
    uint32_t andRows[32];
};

enum class CursorFileError {
    kNone,
    kTruncated,     // shorter than a whole image, or the image is not where the layout has it
    kNotMonochrome, // image count or bits per pixel not 1
    kNotSize32,     // width or height not 32
};

struct CursorFileResult {
    CursorFileError error;
    // For the messages: the image count and bits per pixel, or width and height, or length and
    // image offset, by error.
    int a;
    int b;
};

constexpr size_t kCursorFileSize = 326;

CursorFileResult ParseCursorFile(const uint8_t* data, size_t length, CursorFileImage* out);

}  // namespace varnelle::draw::internal
