// Turns a rendered FreeType bitmap of any pixel mode into 8-bit coverage (0 to 255), rows of exactly
// `width` bytes, top row first. Embedded one-bit strikes, padded rows and upward-flowing bitmaps (negative
// pitch) are all read by their own layout, never as if they were packed 8-bit rows.
#pragma once

#include <cstdint>
#include <vector>

#include <ft2build.h>
#include FT_FREETYPE_H

namespace varnelle::font_internal {

// False (and `out` emptied) for a pixel mode or a pitch that cannot hold the bitmap's width.
bool CoverageFromBitmap(FT_Library library, const FT_Bitmap& bitmap, std::vector<uint8_t>* out);

}  // namespace varnelle::font_internal
