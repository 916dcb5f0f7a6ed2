#include "base/font/internal/coverage.h"

#include <cstdlib>

#include FT_BITMAP_H

namespace varnelle::font_internal {
namespace {

// Start of row r counted from the top: with a negative pitch the buffer begins with the bottom row.
const uint8_t* RowAt(const FT_Bitmap& b, unsigned r) {
    const long pitch = b.pitch;
    const uint8_t* top = b.buffer + (pitch < 0 ? -pitch * static_cast<long>(b.rows - 1) : 0);
    return top + pitch * static_cast<long>(r);
}

}  // namespace

bool CoverageFromBitmap(FT_Library library, const FT_Bitmap& bitmap, std::vector<uint8_t>* out) {
    out->clear();
    const unsigned width = bitmap.width;
    const unsigned rows = bitmap.rows;
    if (width == 0 || rows == 0) return true;
    if (bitmap.buffer == nullptr) return false;
    const unsigned long span = static_cast<unsigned long>(std::labs(bitmap.pitch));

    switch (bitmap.pixel_mode) {
        case FT_PIXEL_MODE_MONO: {
            if (span < (width + 7) / 8) return false;
            out->resize(static_cast<size_t>(width) * rows);
            for (unsigned r = 0; r < rows; ++r) {
                const uint8_t* row = RowAt(bitmap, r);
                for (unsigned c = 0; c < width; ++c)
                    (*out)[static_cast<size_t>(r) * width + c] = ((row[c / 8] >> (7 - c % 8)) & 1) ? 255 : 0;
            }
            return true;
        }
        case FT_PIXEL_MODE_GRAY: {
            if (span < width || bitmap.num_grays < 2) return false;
            const unsigned top = static_cast<unsigned>(bitmap.num_grays) - 1;
            out->resize(static_cast<size_t>(width) * rows);
            for (unsigned r = 0; r < rows; ++r) {
                const uint8_t* row = RowAt(bitmap, r);
                for (unsigned c = 0; c < width; ++c) {
                    const unsigned v = row[c] > top ? top : row[c];
                    (*out)[static_cast<size_t>(r) * width + c] = static_cast<uint8_t>(v * 255 / top);
                }
            }
            return true;
        }
        case FT_PIXEL_MODE_GRAY2:
        case FT_PIXEL_MODE_GRAY4:
        case FT_PIXEL_MODE_BGRA: {
            // FreeType converts these to one byte per pixel with its own level count.
            if (library == nullptr) return false;
            FT_Bitmap gray;
            FT_Bitmap_Init(&gray);
            bool ok = FT_Bitmap_Convert(library, &bitmap, &gray, 1) == 0 && gray.width == width &&
                      gray.rows == rows && gray.pixel_mode == FT_PIXEL_MODE_GRAY;
            if (ok) ok = CoverageFromBitmap(library, gray, out);
            FT_Bitmap_Done(library, &gray);
            if (!ok) out->clear();
            return ok;
        }
        default:
            return false;
    }
}

}  // namespace varnelle::font_internal
