// Cursor files of any content: the reader never looks outside the file, and an image it accepts has
// its hot spot and both planes from the file's fixed places.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "draw/internal/cursor_file.h"

using varnelle::draw::internal::CursorFileError;
using varnelle::draw::internal::CursorFileImage;
using varnelle::draw::internal::ParseCursorFile;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CursorFileImage image;
    const auto result = ParseCursorFile(data, size, &image);
    if (result.error != CursorFileError::kNone) return 0;
    if (size < varnelle::draw::internal::kCursorFileSize) std::abort();
    if (image.hotX != (data[10] | data[11] << 8) || image.hotY != (data[12] | data[13] << 8)) std::abort();
    // The top row is the file's last XOR and AND row.
    const uint32_t top = uint32_t{data[194]} << 24 | uint32_t{data[195]} << 16 | uint32_t{data[196]} << 8 | data[197];
    if (image.xorRows[0] != top) std::abort();
    const uint32_t bottomAnd =
        uint32_t{data[198]} << 24 | uint32_t{data[199]} << 16 | uint32_t{data[200]} << 8 | data[201];
    if (image.andRows[31] != bottomAnd) std::abort();
    return 0;
}
