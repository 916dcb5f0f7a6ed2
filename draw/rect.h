// Device-pixel geometry of the drawing library: Point, Size, the plain rectangle RECT (reached as
// PRECT and PCRECT) and CRect, the free rectangle functions, a few integer helpers and the line
// clipper.
//
// Edge rule, used everywhere in the library: a rectangle covers the pixels with left <= x < right
// and top <= y < bottom; right and bottom are exclusive. A rectangle with left >= right or
// top >= bottom is empty and covers no pixel, whatever its coordinates.
//
// Coordinates are signed 32-bit. Sums and differences that leave that range wrap (two's complement)
// instead of being undefined; the functions never trap.
#pragma once

#include <cstdint>

#include "draw/draw_fwd.h"

struct Size {
    int32_t cx = 0;
    int32_t cy = 0;

    Size() = default;
    Size(int32_t w, int32_t h) : cx(w), cy(h) {}

    Size operator+(Size s) const;
    Size operator-(Size s) const;
    Size& operator+=(Size s);
    Size& operator-=(Size s);
    bool operator==(const Size&) const = default;
};

struct Point {
    int32_t x = 0;
    int32_t y = 0;

    Point() = default;
    Point(int32_t px, int32_t py) : x(px), y(py) {}

    Point operator+(Size s) const;
    Point operator-(Size s) const;
    Point& operator+=(Size s);
    Point& operator-=(Size s);
    bool operator==(const Point&) const = default;
};

// The plain rectangle that the free functions work on.
struct RECT {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
};

// Free functions. Null pointers are answered, never followed: a null rectangle counts as empty
// where a function reads it, and a function that must write through a null pointer returns false.
bool CopyRect(PRECT dst, PCRECT src);
bool EqualRect(PCRECT a, PCRECT b);
bool IsRectEmpty(PCRECT r);
bool SetRectEmpty(PRECT r);
bool OffsetRect(PRECT r, int32_t dx, int32_t dy);
bool PtInRect(PCRECT r, int32_t x, int32_t y);
// True when a and b share a pixel; dst (may be null, may alias a or b) gets the common part, or
// zeros when there is none.
bool IntersectRect(PRECT dst, PCRECT a, PCRECT b);
// The pixels of a that are not in b as 0 to 4 disjoint rectangles in out[0..3], in the order: top
// band, bottom band, left piece, right piece (a alone when the two do not overlap). The count.
int SubtractRect(PRECT out, PCRECT a, PCRECT b);
// dst := the smallest rectangle covering both; an empty input is ignored. False (dst zeroed) when
// both are empty.
bool UnionRect(PRECT dst, PCRECT a, PCRECT b);
void NormalizeRect(PRECT r);
// Edges may touch.
bool RectInRect(PCRECT inner, PCRECT outer);
// No edge may touch.
bool RectInRectStrict(PCRECT inner, PCRECT outer);

// a * b / c truncated, with an exact 64-bit product; 0 when c is 0 or the quotient needs more than
// 32 bits.
uint32_t MulDivU(uint32_t a, uint32_t b, uint32_t c);
// Signed: MulDivU of the magnitudes, negative when an odd number of the arguments is; 0 when c is 0
// or the result lies outside int32.
int32_t MulDiv(int32_t a, int32_t b, int32_t c);
// dst gets each value of src through MulDiv(value, num, den). False when either pointer is null.
bool ScaleRect(PRECT dst, PCRECT src, int32_t num, int32_t den);
// Quotients rounded toward minus and plus infinity. b must not be 0 (0 is returned); a quotient
// that leaves int32 (INT32_MIN / -1) wraps.
int32_t FloorDiv(int32_t a, int32_t b);
int32_t CeilDiv(int32_t a, int32_t b);

// Cuts the segment (x1, y1)-(x2, y2) to rect in place: the new ends are the first and last pixels,
// seen from each original end, of the unclipped line (LineRaster) that lie inside rect, so every
// pixel between them is a pixel of the unclipped line. False, with nothing changed, exactly when no
// pixel of the line lies in rect. A null argument gives false.
bool ClipLine(PCRECT rect, int32_t* x1, int32_t* y1, int32_t* x2, int32_t* y2);

// A rectangle with value semantics; it is a RECT, so it converts to PRECT/PCRECT (its own address)
// and every free function accepts one. Values are stored as given, never normalised.
class CRect : public RECT {
public:
    CRect() : RECT{0, 0, 0, 0} {}
    CRect(int32_t l, int32_t t, int32_t r, int32_t b) : RECT{l, t, r, b} {}
    CRect(Point p, Size s);
    CRect(const CRect& other) : RECT{0, 0, 0, 0} { CopyRect(this, &other); }
    // Null gives an all-zero rectangle.
    CRect(PCRECT other) : RECT{0, 0, 0, 0} { CopyRect(this, other); }
    CRect& operator=(const CRect& other) {
        CopyRect(this, &other);
        return *this;
    }

    operator PRECT() { return this; }
    operator PCRECT() const { return this; }

    void SetRect(int32_t l, int32_t t, int32_t r, int32_t b);
    // Negative for a reversed rectangle.
    int32_t Width() const;
    int32_t Height() const;
    bool IsRectEmpty() const { return ::IsRectEmpty(this); }
    bool IsRectNull() const { return left == 0 && top == 0 && right == 0 && bottom == 0; }
    bool PtInRect(int32_t x, int32_t y) const { return ::PtInRect(this, x, y); }

    // Move one corner, keeping width and height.
    void MoveToX(int32_t x);
    void MoveToY(int32_t y);
    void MoveToXY(int32_t x, int32_t y);
    void MoveToXY(Point p) { MoveToXY(p.x, p.y); }
    // d's four values widen (inflate) or narrow (deflate) the matching edges; null does nothing.
    void InflateRect(PCRECT d);
    void DeflateRect(PCRECT d);
    void OffsetRect(int32_t dx, int32_t dy) { ::OffsetRect(this, dx, dy); }

    CRect operator+(PCRECT d) const;
    CRect operator-(PCRECT d) const;
    CRect operator+(Point p) const;
    CRect operator+(Size s) const;
    CRect operator-(Point p) const;
    CRect operator-(Size s) const;
    bool operator==(const CRect& other) const { return EqualRect(this, &other); }
    bool operator!=(const CRect& other) const { return !EqualRect(this, &other); }

    bool SetRectEmpty() { return ::SetRectEmpty(this); }
    void NormalizeRect() { ::NormalizeRect(this); }
    // this := a ∩ b (zeros when they do not meet); a or b may be this.
    bool IntersectRect(PCRECT a, PCRECT b) { return ::IntersectRect(this, a, b); }
    bool UnionRect(PCRECT a, PCRECT b) { return ::UnionRect(this, a, b); }
    // The pieces of this rectangle outside b into out[0..3]; whether at least one remains.
    bool SubtractRect(PRECT out, PCRECT b) const { return ::SubtractRect(out, this, b) > 0; }
    CRect& operator|=(PCRECT r);
    CRect operator|(PCRECT r) const;
};
