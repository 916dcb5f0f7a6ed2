// Hostile bitmap font files: the input is the whole file. A file the parser accepts is then read for
// every code of every range, the codes around them and the ASCII ones, into a glyph buffer of exactly
// the size the file declares, so a read outside the file or a write past the glyph shows.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/font/internal/bitmap_font_file.h"

using varnelle::font_internal::BitmapFontFile;
using varnelle::font_internal::BitmapFontRange;
using varnelle::font_internal::FontFileError;

namespace {

// The file lives in memory, reached by a path, so no directory is needed.
int FontFd() {
    static const int fd = memfd_create("fuzz-font", MFD_CLOEXEC);
    return fd;
}

void Probe(const BitmapFontFile& font, uint32_t code) {
    if (code > 0xFFFF) return;
    std::vector<uint8_t> glyph(static_cast<size_t>(font.GlyphBytes()));
    const int advance = font.Glyph(static_cast<uint16_t>(code), glyph.data());
    if (advance < 0 || advance > 255) std::abort();
    font.Glyph(static_cast<uint16_t>(code), nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int fd = FontFd();
    if (fd < 0 || ftruncate(fd, 0) != 0) std::abort();
    if (size > 0 && pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) std::abort();
    BitmapFontFile font;
    const FontFileError error = font.Open("/proc/self/fd/" + std::to_string(fd));
    if ((error == FontFileError::kNone) != font.IsOpen()) std::abort();
    if (!font.IsOpen()) return 0;
    if (font.GlyphBytes() <= 0 || font.GlyphWidth() % 8 != 0) std::abort();
    for (uint32_t c = 0; c < 130; ++c) Probe(font, c);
    // Bounded so a file of many long ranges stays quick.
    int budget = 4096;
    for (const BitmapFontRange& r : font.Ranges()) {
        Probe(font, r.first - 1u);
        Probe(font, r.end);
        for (uint32_t c = r.first; c < r.end && budget > 0; ++c, --budget) Probe(font, c);
    }
    return 0;
}
