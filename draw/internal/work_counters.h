// What the drawing context did on the calling thread, counted where a drawing's cost could grow with
// its arguments rather than with what it draws, so that tests can bound work and memory by counting.
#pragma once

#include <cstddef>
#include <cstdint>

namespace varnelle::draw_internal {

struct WorkCounters {
    uint64_t lineCopies = 0;       // parallel copies of pen lines walked
    size_t glyphPictures = 0;      // glyph pictures a text drawing holds now
    size_t peakGlyphPictures = 0;  // the most it held at once
    size_t glyphBytes = 0;         // bytes of the glyph pictures held now
    size_t peakGlyphBytes = 0;     // the most bytes of glyph pictures it held at once
    size_t textScratchBytes = 0;   // what text drawing keeps for the thread's next one
};

inline WorkCounters& Counters() {
    thread_local WorkCounters counters;
    return counters;
}

}  // namespace varnelle::draw_internal
