#include "draw/rect.h"

#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "draw/testing/printers.h"

namespace {

CRect R(int l, int t, int r, int b) {
    return CRect(l, t, r, b);
}

TEST(RectTest, EdgeRuleRightAndBottomAreExclusive) {
    struct Case {
        int x, y;
        bool inside;
    };
    const CRect r = R(0, 0, 10, 10);
    for (const Case& c : std::vector<Case>{{0, 0, true}, {9, 9, true}, {10, 5, false}, {5, 10, false},
                                           {-1, 0, false}, {0, -1, false}}) {
        EXPECT_EQ(PtInRect(r, c.x, c.y), c.inside) << c.x << "," << c.y;
    }
    EXPECT_FALSE(PtInRect(nullptr, 0, 0));
    EXPECT_TRUE(IsRectEmpty(R(5, 0, 5, 10)));
    EXPECT_TRUE(IsRectEmpty(R(10, 10, 0, 0)));
    EXPECT_TRUE(IsRectEmpty(nullptr));
    EXPECT_FALSE(IsRectEmpty(R(0, 0, 1, 1)));
}

TEST(RectTest, IntersectRectCases) {
    struct Case {
        CRect a, b;
        bool overlap;
        CRect want;
    };
    const std::vector<Case> cases = {
        {R(0, 0, 10, 10), R(5, 5, 20, 20), true, R(5, 5, 10, 10)},
        {R(0, 0, 10, 10), R(10, 0, 20, 10), false, R(0, 0, 0, 0)},  // shared edge only
        {R(0, 0, 10, 10), R(0, 10, 10, 20), false, R(0, 0, 0, 0)},
        {R(0, 0, 10, 10), R(2, 2, 2, 8), false, R(0, 0, 0, 0)},     // empty b
        {R(0, 0, 10, 10), R(8, 8, 2, 2), false, R(0, 0, 0, 0)},     // reversed b
        {R(-5, -5, 5, 5), R(-10, -1, 10, 1), true, R(-5, -1, 5, 1)},
    };
    for (const Case& c : cases) {
        CRect dst(7, 7, 7, 7);
        EXPECT_EQ(IntersectRect(dst, c.a, c.b), c.overlap);
        EXPECT_EQ(dst, c.want);
        EXPECT_EQ(IntersectRect(nullptr, c.a, c.b), c.overlap);
    }
    // dst may be one of the inputs: both are read first.
    CRect a = R(0, 0, 10, 10);
    EXPECT_TRUE(IntersectRect(a, a, R(5, -5, 15, 5)));
    EXPECT_EQ(a, R(5, 0, 10, 5));
}

TEST(RectTest, SubtractRectOrderAndCounts) {
    RECT out[4];
    ASSERT_EQ(SubtractRect(out, R(0, 0, 10, 10), R(2, 2, 5, 5)), 4);
    EXPECT_EQ(CRect(&out[0]), R(0, 0, 10, 2));
    EXPECT_EQ(CRect(&out[1]), R(0, 5, 10, 10));
    EXPECT_EQ(CRect(&out[2]), R(0, 2, 2, 5));
    EXPECT_EQ(CRect(&out[3]), R(5, 2, 10, 5));

    EXPECT_EQ(SubtractRect(out, R(0, 0, 10, 10), R(-1, -1, 11, 11)), 0);
    ASSERT_EQ(SubtractRect(out, R(0, 0, 10, 10), R(20, 20, 30, 30)), 1);
    EXPECT_EQ(CRect(&out[0]), R(0, 0, 10, 10));
    // A band across: only the left and right pieces, spanning the full height.
    ASSERT_EQ(SubtractRect(out, R(0, 0, 10, 10), R(4, -3, 6, 13)), 2);
    EXPECT_EQ(CRect(&out[0]), R(0, 0, 4, 10));
    EXPECT_EQ(CRect(&out[1]), R(6, 0, 10, 10));

    CRect member(0, 0, 10, 10);
    EXPECT_FALSE(member.SubtractRect(out, R(0, 0, 10, 10)));
    EXPECT_TRUE(member.SubtractRect(out, R(0, 0, 10, 9)));
}

TEST(RectTest, UnionNormalizeAndContainment) {
    CRect u;
    // An empty input is ignored, wherever it lies.
    EXPECT_TRUE(UnionRect(u, R(1000, 1000, 1000, 1000), R(0, 0, 5, 5)));
    EXPECT_EQ(u, R(0, 0, 5, 5));
    EXPECT_TRUE(UnionRect(u, R(0, 0, 5, 5), R(-5000, 9, -6000, 9)));
    EXPECT_EQ(u, R(0, 0, 5, 5));
    EXPECT_TRUE(UnionRect(u, R(0, 0, 5, 5), R(10, -2, 12, 3)));
    EXPECT_EQ(u, R(0, -2, 12, 5));
    u = R(1, 2, 3, 4);
    EXPECT_FALSE(UnionRect(u, R(0, 0, 0, 0), R(5, 5, 1, 1)));
    EXPECT_TRUE(u.IsRectNull());

    CRect n(10, 10, 0, 0);
    n.NormalizeRect();
    EXPECT_EQ(n, R(0, 0, 10, 10));

    EXPECT_TRUE(RectInRect(R(0, 0, 10, 10), R(0, 0, 10, 10)));
    EXPECT_FALSE(RectInRectStrict(R(0, 0, 10, 10), R(0, 0, 10, 10)));
    EXPECT_TRUE(RectInRectStrict(R(1, 1, 9, 9), R(0, 0, 10, 10)));
    EXPECT_FALSE(RectInRect(R(0, 0, 11, 10), R(0, 0, 10, 10)));
}

TEST(RectTest, CRectMembers) {
    CRect r(Point(3, 4), Size(10, 20));
    EXPECT_EQ(r, R(3, 4, 13, 24));
    EXPECT_EQ(r.Width(), 10);
    EXPECT_EQ(r.Height(), 20);
    EXPECT_EQ(R(5, 5, 0, 0).Width(), -5);
    r.MoveToXY(Point(-1, -2));
    EXPECT_EQ(r, R(-1, -2, 9, 18));
    CRect d(1, 2, 3, 4);
    EXPECT_EQ(r + static_cast<PCRECT>(d), R(-2, -4, 12, 22));
    EXPECT_EQ(r - static_cast<PCRECT>(d), R(0, 0, 6, 14));
    EXPECT_EQ(r + Point(1, 1), R(0, -1, 10, 19));
    EXPECT_EQ(r - Size(1, 1), R(-2, -3, 8, 17));
    CRect u(0, 0, 1, 1);
    u |= R(5, 5, 6, 6);
    EXPECT_EQ(u, R(0, 0, 6, 6));
    EXPECT_NE(u, R(0, 0, 6, 7));
    EXPECT_EQ(Point(1, 2) + Size(3, 4), Point(4, 6));
    EXPECT_EQ(Size(1, 2) - Size(3, 4), Size(-2, -2));
    // Coordinates wrap at the int32 limits instead of overflowing.
    CRect far(INT_MAX - 1, 0, INT_MAX, 1);
    EXPECT_TRUE(OffsetRect(far, 2, 0));
    EXPECT_EQ(far.left, INT_MIN);
    EXPECT_FALSE(OffsetRect(nullptr, 1, 1));
    EXPECT_FALSE(CopyRect(nullptr, far));
    EXPECT_FALSE(EqualRect(far, nullptr));
}

TEST(RectTest, MulDivSignsAndOverflow) {
    struct Case {
        int32_t a, b, c, want;
    };
    const std::vector<Case> cases = {
        {-6, 4, 3, -8},
        {-6, -4, -3, -8},
        {6, 4, 3, 8},
        {6, -4, -3, 8},
        {7, 1, 2, 3},    // truncated toward zero
        {-7, 1, 2, -3},
        {5, 5, 0, 0},    // divide by zero
        {INT_MAX, 2, 1, 0},           // result beyond int32
        {INT_MIN, 1, 1, INT_MIN},     // exactly the lowest value
        {INT_MIN, -1, 1, 0},          // 2^31 does not fit
        {INT_MIN, INT_MIN, INT_MIN, INT_MIN},
        {100000, 100000, 100000, 100000},  // the 64-bit product is exact
        {2147483647, 2147483646, 2147483647, 2147483646},
    };
    for (const Case& c : cases) EXPECT_EQ(MulDiv(c.a, c.b, c.c), c.want) << c.a << "*" << c.b << "/" << c.c;
    EXPECT_EQ(MulDivU(0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu), 0xFFFFFFFFu);
    EXPECT_EQ(MulDivU(0x80000000u, 2, 1), 0u);  // 2^32 does not fit
    EXPECT_EQ(MulDivU(4000000000u, 3999999999u, 4000000000u), 3999999999u);
    EXPECT_EQ(MulDivU(1, 1, 0), 0u);
    CRect scaled;
    EXPECT_TRUE(ScaleRect(scaled, R(-6, 6, 9, -9), 4, 3));
    EXPECT_EQ(scaled, R(-8, 8, 12, -12));
}

TEST(RectTest, FloorAndCeilDivision) {
    struct Case {
        int32_t a, b, floor, ceil;
    };
    const std::vector<Case> cases = {
        {-7, 2, -4, -3}, {7, 2, 3, 4}, {5, -2, -3, -2}, {-5, -2, 2, 3}, {6, 3, 2, 2}, {-6, 3, -2, -2},
        {0, 5, 0, 0},    {INT_MIN, 1, INT_MIN, INT_MIN}, {INT_MIN, 2, -1073741824, -1073741824},
        {INT_MAX, -2, -1073741824, -1073741823},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FloorDiv(c.a, c.b), c.floor) << c.a << "/" << c.b;
        EXPECT_EQ(CeilDiv(c.a, c.b), c.ceil) << c.a << "/" << c.b;
    }
    EXPECT_EQ(FloorDiv(1, 0), 0);
    EXPECT_EQ(CeilDiv(1, 0), 0);
}

}  // namespace
