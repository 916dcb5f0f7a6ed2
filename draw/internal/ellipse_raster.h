// Row spans of ellipses, rings and their chord and pie cuts, for the drawing context.
//
// The ellipse inscribed in a box covers the pixels whose centres lie inside it or on it. Angles are
// whole degrees measured on the screen: 0 towards the right, growing clockwise (y grows downwards), so
// an angle is what atan2(y, x) gives in device pixels. A cut keeps the part of the ellipse swept from
// angle a1 clockwise to a2: a pie keeps that sector (apex at the box's centre), a chord the side of the
// straight line between the arc's two ends on which the arc lies.
#pragma once

#include <cstdint>

namespace varnelle::draw_internal {

struct Box64 {
    int64_t left;
    int64_t top;
    int64_t right;
    int64_t bottom;
};

// Pixels x0 <= x < x1 of one row.
struct Span {
    int64_t x0;
    int64_t x1;
    bool Empty() const { return x0 >= x1; }
};

// Up to four disjoint spans, left to right.
struct Spans {
    Span at[4];
    int count = 0;
    void Add(Span s);
};

// The ellipse's pixels in row y; false when the row misses it. The box must not be empty.
bool EllipseRowSpan(const Box64& box, int64_t y, Span* out);

// Row y of the ring between the box's ellipse and the one of the box narrowed by `thickness` on each
// side (the whole ellipse where the inner one has no pixel).
Spans RingRow(const Box64& box, int64_t thickness, int64_t y);

enum class CutKind { kWhole, kChord, kPie };

struct PointF {
    double x;
    double y;
};

class ArcCut {
public:
    // a1 and a2 in 0..359 and different, unless kind is kWhole.
    ArcCut(const Box64& box, CutKind kind, int a1, int a2);

    // The parts of `in` (row y) that the cut keeps.
    Spans Apply(int64_t y, const Spans& in) const;
    // The same limited to the sector from a1 to a2 (a chord's arc).
    Spans ApplySector(int64_t y, const Spans& in) const;

    // Pixels of the arc's ends on the ellipse and of the box's centre, inside the box.
    void EndPixels(int64_t* x1, int64_t* y1, int64_t* x2, int64_t* y2) const;
    void CentrePixel(int64_t* x, int64_t* y) const;

private:
    // n·P >= c, P a pixel centre relative to the box's centre in half pixels.
    struct HalfPlane {
        double nx;
        double ny;
        double c;
    };
    Span Row(const HalfPlane& h, int64_t y) const;
    Spans Sector(int64_t y) const;
    int64_t PixelX(double px) const;
    int64_t PixelY(double py) const;

    Box64 m_box;
    CutKind m_kind;
    bool m_wide = false;  // the sector spans more than half a turn
    HalfPlane m_h1{};
    HalfPlane m_h2{};
    HalfPlane m_chord{};
    PointF m_e1{};
    PointF m_e2{};
};

// Direction of a whole-degree angle, exact at the multiples of 90.
PointF Direction(int degrees);

}  // namespace varnelle::draw_internal
