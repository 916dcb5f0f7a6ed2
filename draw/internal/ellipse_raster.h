// Row spans of ellipses, rings and their chord and pie cuts, for the drawing context.
//
// The ellipse inscribed in a box covers the pixels whose centres lie inside it or on it. An arc is
// given by two rays from the box's centre, through the points its ends are aimed at, and runs
// counter-clockwise on the screen (from the right towards the top) from the first ray to the second.
// A cut keeps the part of the ellipse that arc sweeps: a pie keeps that sector (apex at the box's
// centre), a chord the side of the straight line between the arc's two ends on the ellipse on which
// the arc lies.
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

struct Point64 {
    int64_t x;
    int64_t y;
    bool operator==(const Point64&) const = default;
};

// Where the arc's end at a whole-degree angle (0..359; 0 towards the right, 90 towards the top) is
// placed on the border of the rectangle {left, top, left + w, top + h}: the corners and edge middles
// at the multiples of 45; between them the ray's crossing of the edge the angle's 90-degree quarter
// (centred on 0, 90, 180 or 270) points at, from its tangent about {left + w/2, top + h/2} (whole
// halves), truncated toward zero. Off a square the crossing may lie beyond a corner.
Point64 BorderPoint(int64_t left, int64_t top, int64_t w, int64_t h, int degrees);

class ArcCut {
public:
    // The whole ellipse.
    explicit ArcCut(const Box64& box);
    // The arc from the ray along `from` counter-clockwise to the ray along `to` (screen directions,
    // y downwards, from the box's centre; neither zero nor the same direction).
    ArcCut(const Box64& box, CutKind kind, PointF from, PointF to);

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

}  // namespace varnelle::draw_internal
