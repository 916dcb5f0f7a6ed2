// LineRaster: the pixels of a one-pixel-wide segment between two end points, both inclusive, as the
// drawing library's Bresenham stepper draws them. The clipper and the cursor use it; a line drawer
// that must draw a clipped segment with the unclipped line's pixels steps it from the clipped step.
//
// The major axis is y when |dx| <= |dy| (ties are y-major), else x. The line is walked from the end
// with the smaller major coordinate (the start); step i (0 .. Steps()) is the pixel whose major
// coordinate is the start's plus i and whose minor coordinate lies
//     floor((2·i·|dminor| + |dmajor|) / (2·|dmajor|))
// minor steps from the start's (halves round away from the start), toward the other end. A vertical
// or horizontal segment therefore covers every pixel between its ends, and a point one pixel.
//
// All arithmetic is exact for any int32 end points.
#pragma once

#include <cstdint>

#include "draw/rect.h"

class LineRaster {
public:
    LineRaster(int32_t x1, int32_t y1, int32_t x2, int32_t y2);

    bool YMajor() const { return m_yMajor; }
    // Major steps from the start to the end: the pixel count less one.
    int64_t Steps() const { return m_steps; }
    // Whether the walk starts at (x1, y1) (else at (x2, y2)).
    bool StartsAtFirst() const { return m_startsAtFirst; }
    // +1 when the minor coordinate grows along the walk, -1 when it shrinks.
    int MinorStep() const { return m_minorStep; }
    // The pixel of step i (0 <= i <= Steps()).
    Point PixelAt(int64_t i) const;
    // Bresenham's decision term before the step from i to i + 1 (0 <= i < Steps()): the minor
    // coordinate also moves on that step when it is >= 0. The term then grows by 2·(|dminor| -
    // |dmajor|) when it moved, else by 2·|dminor|.
    int64_t ErrorAt(int64_t i) const;
    // The first and last step whose pixel lies in r (the steps between lie in it too). False when no
    // pixel of the line lies in r.
    bool Clip(PCRECT r, int64_t* first, int64_t* last) const;
    // The same for the pixels with left <= x < right and top <= y < bottom.
    bool Clip(int64_t left, int64_t top, int64_t right, int64_t bottom, int64_t* first, int64_t* last) const;

private:
    // Minor steps from the start's minor coordinate at step i.
    int64_t MinorOffset(int64_t i) const;

    bool m_yMajor;
    bool m_startsAtFirst;
    int m_minorStep;
    int64_t m_startMajor;
    int64_t m_startMinor;
    int64_t m_steps;     // |dmajor|
    int64_t m_minorLen;  // |dminor|
};
