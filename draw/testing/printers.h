// How GoogleTest prints the drawing library's value types in failure messages.
#pragma once

#include <ostream>

#include "draw/rect.h"

inline void PrintTo(const CRect& r, std::ostream* os) {
    *os << "{" << r.left << ", " << r.top << ", " << r.right << ", " << r.bottom << "}";
}
inline void PrintTo(const Point& p, std::ostream* os) {
    *os << "(" << p.x << ", " << p.y << ")";
}
inline void PrintTo(const Size& s, std::ostream* os) {
    *os << "(" << s.cx << " x " << s.cy << ")";
}
