#include "draw/internal/cursor_file.h"

namespace varnelle::draw::internal {

namespace {

constexpr size_t kImageCount = 4;
constexpr size_t kWidth = 6;
constexpr size_t kHeight = 7;
constexpr size_t kHotX = 10;
constexpr size_t kHotY = 12;
constexpr size_t kImageOffset = 18;
constexpr uint32_t kImageStart = 22;
constexpr size_t kBitCount = 36;
constexpr size_t kXorBitmap = 70;
constexpr size_t kAndBitmap = 198;

uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t Le32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

uint32_t Be32(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

}  // namespace

CursorFileResult ParseCursorFile(const uint8_t* data, size_t length, CursorFileImage* out) {
    if (data == nullptr || length < kCursorFileSize) {
        return {CursorFileError::kTruncated, static_cast<int>(data == nullptr ? 0 : length), 0};
    }
    const int count = Le16(data + kImageCount);
    const int bits = Le16(data + kBitCount);
    if (count != 1 || bits != 1) return {CursorFileError::kNotMonochrome, count, bits};
    const int width = data[kWidth];
    const int height = data[kHeight];
    if (width != 32 || height != 32) return {CursorFileError::kNotSize32, width, height};
    const uint32_t offset = Le32(data + kImageOffset);
    if (offset != kImageStart) {
        return {CursorFileError::kTruncated, static_cast<int>(length), static_cast<int>(offset)};
    }
    out->hotX = Le16(data + kHotX);
    out->hotY = Le16(data + kHotY);
    for (int r = 0; r < 32; ++r) {
        // The file keeps the bottom row first.
        out->xorRows[r] = Be32(data + kXorBitmap + 4 * (31 - r));
        out->andRows[r] = Be32(data + kAndBitmap + 4 * (31 - r));
    }
    return {CursorFileError::kNone, 0, 0};
}

}  // namespace varnelle::draw::internal
