#include "draw/line_raster.h"

#include <algorithm>
#include <cstdlib>

namespace {

using Wide = __int128;

// Exact quotient rounded toward plus infinity, for den > 0.
Wide CeilDivWide(Wide num, Wide den) {
    Wide q = num / den;
    if (num % den != 0 && num > 0) ++q;
    return q;
}

}  // namespace

LineRaster::LineRaster(int32_t x1, int32_t y1, int32_t x2, int32_t y2) {
    int64_t dx = int64_t{x2} - x1;
    int64_t dy = int64_t{y2} - y1;
    m_yMajor = std::llabs(dx) <= std::llabs(dy);
    int64_t major1 = m_yMajor ? y1 : x1;
    int64_t major2 = m_yMajor ? y2 : x2;
    int64_t minor1 = m_yMajor ? x1 : y1;
    int64_t minor2 = m_yMajor ? x2 : y2;
    m_startsAtFirst = major1 <= major2;
    m_startMajor = m_startsAtFirst ? major1 : major2;
    m_startMinor = m_startsAtFirst ? minor1 : minor2;
    m_steps = std::llabs(major2 - major1);
    m_minorLen = std::llabs(minor2 - minor1);
    m_minorStep = (dx > 0 && dy > 0) || (dx < 0 && dy < 0) ? 1 : -1;
}

int64_t LineRaster::MinorOffset(int64_t i) const {
    if (m_steps == 0) return 0;
    Wide num = Wide{2} * i * m_minorLen + m_steps;
    return static_cast<int64_t>(num / (Wide{2} * m_steps));
}

Point LineRaster::PixelAt(int64_t i) const {
    int64_t major = m_startMajor + i;
    int64_t minor = m_startMinor + m_minorStep * MinorOffset(i);
    return m_yMajor ? Point(static_cast<int32_t>(minor), static_cast<int32_t>(major))
                    : Point(static_cast<int32_t>(major), static_cast<int32_t>(minor));
}

int64_t LineRaster::ErrorAt(int64_t i) const {
    Wide e = Wide{2} * m_minorLen * (i + 1) - m_steps - Wide{2} * m_steps * MinorOffset(i);
    return static_cast<int64_t>(e);
}

bool LineRaster::Clip(PCRECT r, int64_t* first, int64_t* last) const {
    if (IsRectEmpty(r)) return false;
    return Clip(r->left, r->top, r->right, r->bottom, first, last);
}

bool LineRaster::Clip(int64_t left, int64_t top, int64_t right, int64_t bottom, int64_t* first,
                      int64_t* last) const {
    if (left >= right || top >= bottom) return false;
    int64_t majorLo = m_yMajor ? top : left;
    int64_t majorHi = (m_yMajor ? bottom : right) - 1;
    int64_t minorLo = m_yMajor ? left : top;
    int64_t minorHi = (m_yMajor ? right : bottom) - 1;

    // Steps whose major coordinate lies in the rectangle.
    Wide lo = std::max<int64_t>(0, majorLo - m_startMajor);
    Wide hi = std::min<int64_t>(m_steps, majorHi - m_startMajor);

    // Steps whose minor offset lies in [offLo, offHi]. The offset never falls along the walk, so
    // each bound cuts one end of the step range.
    Wide offLo;
    Wide offHi;
    if (m_minorStep > 0) {
        offLo = Wide{minorLo} - m_startMinor;
        offHi = Wide{minorHi} - m_startMinor;
    } else {
        offLo = Wide{m_startMinor} - minorHi;
        offHi = Wide{m_startMinor} - minorLo;
    }
    if (m_minorLen == 0 || m_steps == 0) {
        if (offLo > 0 || offHi < 0) return false;
    } else {
        const Wide a2 = Wide{2} * m_minorLen;
        const Wide b = m_steps;
        // offset(i) >= t  <=>  i >= ceil((2bt - b) / 2a)
        if (offLo > 0) lo = std::max(lo, CeilDivWide(2 * b * offLo - b, a2));
        // offset(i) <= t  <=>  i <= ceil((2bt + b) / 2a) - 1
        if (offHi < 0) return false;
        hi = std::min(hi, CeilDivWide(2 * b * offHi + b, a2) - 1);
    }
    if (lo > hi) return false;
    *first = static_cast<int64_t>(lo);
    *last = static_cast<int64_t>(hi);
    return true;
}
