#include "draw/rect.h"

#include <algorithm>

#include "draw/line_raster.h"

namespace {

// Sums and differences of coordinates wrap instead of overflowing.
int32_t Wrap(int64_t v) {
    return static_cast<int32_t>(v);
}

}  // namespace

Size Size::operator+(Size s) const {
    return {Wrap(int64_t{cx} + s.cx), Wrap(int64_t{cy} + s.cy)};
}
Size Size::operator-(Size s) const {
    return {Wrap(int64_t{cx} - s.cx), Wrap(int64_t{cy} - s.cy)};
}
Size& Size::operator+=(Size s) {
    return *this = *this + s;
}
Size& Size::operator-=(Size s) {
    return *this = *this - s;
}

Point Point::operator+(Size s) const {
    return {Wrap(int64_t{x} + s.cx), Wrap(int64_t{y} + s.cy)};
}
Point Point::operator-(Size s) const {
    return {Wrap(int64_t{x} - s.cx), Wrap(int64_t{y} - s.cy)};
}
Point& Point::operator+=(Size s) {
    return *this = *this + s;
}
Point& Point::operator-=(Size s) {
    return *this = *this - s;
}

bool CopyRect(PRECT dst, PCRECT src) {
    if (dst == nullptr || src == nullptr) return false;
    *dst = *src;
    return true;
}

bool EqualRect(PCRECT a, PCRECT b) {
    if (a == nullptr || b == nullptr) return false;
    return a->left == b->left && a->top == b->top && a->right == b->right && a->bottom == b->bottom;
}

bool IsRectEmpty(PCRECT r) {
    return r == nullptr || r->left >= r->right || r->top >= r->bottom;
}

bool SetRectEmpty(PRECT r) {
    if (r == nullptr) return false;
    *r = RECT{0, 0, 0, 0};
    return true;
}

bool OffsetRect(PRECT r, int32_t dx, int32_t dy) {
    if (r == nullptr) return false;
    r->left = Wrap(int64_t{r->left} + dx);
    r->right = Wrap(int64_t{r->right} + dx);
    r->top = Wrap(int64_t{r->top} + dy);
    r->bottom = Wrap(int64_t{r->bottom} + dy);
    return true;
}

bool PtInRect(PCRECT r, int32_t x, int32_t y) {
    return r != nullptr && r->left <= x && x < r->right && r->top <= y && y < r->bottom;
}

bool IntersectRect(PRECT dst, PCRECT a, PCRECT b) {
    bool overlap = !IsRectEmpty(a) && !IsRectEmpty(b) && a->left < b->right && b->left < a->right &&
                   a->top < b->bottom && b->top < a->bottom;
    if (!overlap) {
        SetRectEmpty(dst);
        return false;
    }
    RECT r{std::max(a->left, b->left), std::max(a->top, b->top), std::min(a->right, b->right),
           std::min(a->bottom, b->bottom)};
    if (dst != nullptr) *dst = r;
    return true;
}

int SubtractRect(PRECT out, PCRECT a, PCRECT b) {
    if (out == nullptr || a == nullptr) return 0;
    if (!IntersectRect(nullptr, a, b)) {
        out[0] = *a;
        return 1;
    }
    RECT w = *a;
    int n = 0;
    if (b->top > a->top) {
        out[n++] = RECT{a->left, a->top, a->right, b->top};
        w.top = b->top;
    }
    if (b->bottom < a->bottom) {
        out[n++] = RECT{a->left, b->bottom, a->right, a->bottom};
        w.bottom = b->bottom;
    }
    if (b->left > a->left) out[n++] = RECT{a->left, w.top, b->left, w.bottom};
    if (b->right < a->right) out[n++] = RECT{b->right, w.top, a->right, w.bottom};
    return n;
}

bool UnionRect(PRECT dst, PCRECT a, PCRECT b) {
    if (dst == nullptr) return false;
    bool aEmpty = IsRectEmpty(a);
    bool bEmpty = IsRectEmpty(b);
    if (aEmpty && bEmpty) {
        SetRectEmpty(dst);
        return false;
    }
    if (aEmpty) {
        *dst = *b;
    } else if (bEmpty) {
        *dst = *a;
    } else {
        *dst = RECT{std::min(a->left, b->left), std::min(a->top, b->top), std::max(a->right, b->right),
                    std::max(a->bottom, b->bottom)};
    }
    return true;
}

void NormalizeRect(PRECT r) {
    if (r == nullptr) return;
    if (r->left > r->right) std::swap(r->left, r->right);
    if (r->top > r->bottom) std::swap(r->top, r->bottom);
}

bool RectInRect(PCRECT inner, PCRECT outer) {
    return inner != nullptr && outer != nullptr && inner->left >= outer->left && inner->top >= outer->top &&
           inner->right <= outer->right && inner->bottom <= outer->bottom;
}

bool RectInRectStrict(PCRECT inner, PCRECT outer) {
    return inner != nullptr && outer != nullptr && inner->left > outer->left && inner->top > outer->top &&
           inner->right < outer->right && inner->bottom < outer->bottom;
}

uint32_t MulDivU(uint32_t a, uint32_t b, uint32_t c) {
    if (c == 0) return 0;
    uint64_t q = uint64_t{a} * b / c;
    return q > UINT32_MAX ? 0 : static_cast<uint32_t>(q);
}

int32_t MulDiv(int32_t a, int32_t b, int32_t c) {
    auto magnitude = [](int32_t v) { return v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v); };
    if (c == 0) return 0;
    uint64_t q = uint64_t{magnitude(a)} * magnitude(b) / magnitude(c);
    bool negative = ((a < 0) + (b < 0) + (c < 0)) % 2 == 1;
    if (negative) return q > uint64_t{INT32_MAX} + 1 ? 0 : static_cast<int32_t>(-static_cast<int64_t>(q));
    return q > INT32_MAX ? 0 : static_cast<int32_t>(q);
}

bool ScaleRect(PRECT dst, PCRECT src, int32_t num, int32_t den) {
    if (dst == nullptr || src == nullptr) return false;
    RECT s = *src;
    *dst = RECT{MulDiv(s.left, num, den), MulDiv(s.top, num, den), MulDiv(s.right, num, den),
                MulDiv(s.bottom, num, den)};
    return true;
}

int32_t FloorDiv(int32_t a, int32_t b) {
    if (b == 0) return 0;
    int64_t q = int64_t{a} / b;
    if ((int64_t{a} % b != 0) && ((a < 0) != (b < 0))) --q;
    return Wrap(q);
}

int32_t CeilDiv(int32_t a, int32_t b) {
    if (b == 0) return 0;
    int64_t q = int64_t{a} / b;
    if ((int64_t{a} % b != 0) && ((a < 0) == (b < 0))) ++q;
    return Wrap(q);
}

bool ClipLine(PCRECT rect, int32_t* x1, int32_t* y1, int32_t* x2, int32_t* y2) {
    if (rect == nullptr || x1 == nullptr || y1 == nullptr || x2 == nullptr || y2 == nullptr) return false;
    LineRaster line(*x1, *y1, *x2, *y2);
    int64_t first = 0;
    int64_t last = 0;
    if (!line.Clip(rect, &first, &last)) return false;
    Point a = line.PixelAt(first);
    Point b = line.PixelAt(last);
    if (!line.StartsAtFirst()) std::swap(a, b);
    *x1 = a.x;
    *y1 = a.y;
    *x2 = b.x;
    *y2 = b.y;
    return true;
}

CRect::CRect(Point p, Size s) : RECT{p.x, p.y, Wrap(int64_t{p.x} + s.cx), Wrap(int64_t{p.y} + s.cy)} {}

void CRect::SetRect(int32_t l, int32_t t, int32_t r, int32_t b) {
    *this = CRect(l, t, r, b);
}

int32_t CRect::Width() const {
    return Wrap(int64_t{right} - left);
}

int32_t CRect::Height() const {
    return Wrap(int64_t{bottom} - top);
}

void CRect::MoveToX(int32_t x) {
    right = Wrap(int64_t{x} + Width());
    left = x;
}

void CRect::MoveToY(int32_t y) {
    bottom = Wrap(int64_t{y} + Height());
    top = y;
}

void CRect::MoveToXY(int32_t x, int32_t y) {
    MoveToX(x);
    MoveToY(y);
}

void CRect::InflateRect(PCRECT d) {
    if (d == nullptr) return;
    RECT v = *d;
    left = Wrap(int64_t{left} - v.left);
    top = Wrap(int64_t{top} - v.top);
    right = Wrap(int64_t{right} + v.right);
    bottom = Wrap(int64_t{bottom} + v.bottom);
}

void CRect::DeflateRect(PCRECT d) {
    if (d == nullptr) return;
    RECT v = *d;
    left = Wrap(int64_t{left} + v.left);
    top = Wrap(int64_t{top} + v.top);
    right = Wrap(int64_t{right} - v.right);
    bottom = Wrap(int64_t{bottom} - v.bottom);
}

CRect CRect::operator+(PCRECT d) const {
    CRect r(*this);
    r.InflateRect(d);
    return r;
}

CRect CRect::operator-(PCRECT d) const {
    CRect r(*this);
    r.DeflateRect(d);
    return r;
}

CRect CRect::operator+(Point p) const {
    CRect r(*this);
    ::OffsetRect(&r, p.x, p.y);
    return r;
}

CRect CRect::operator+(Size s) const {
    CRect r(*this);
    ::OffsetRect(&r, s.cx, s.cy);
    return r;
}

CRect CRect::operator-(Point p) const {
    CRect r(*this);
    ::OffsetRect(&r, Wrap(-int64_t{p.x}), Wrap(-int64_t{p.y}));
    return r;
}

CRect CRect::operator-(Size s) const {
    CRect r(*this);
    ::OffsetRect(&r, Wrap(-int64_t{s.cx}), Wrap(-int64_t{s.cy}));
    return r;
}

CRect& CRect::operator|=(PCRECT r) {
    ::UnionRect(this, this, r);
    return *this;
}

CRect CRect::operator|(PCRECT r) const {
    CRect u;
    ::UnionRect(&u, this, r);
    return u;
}
