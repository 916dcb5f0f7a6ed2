#include "draw/region.h"

#include <gtest/gtest.h>
#include <pixman.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

#include "draw/testing/printers.h"

namespace {

std::vector<CRect> Rects(CRegion& rgn) {
    std::vector<CRect> out;
    for (const CRect* r = rgn.GetFirstRect(); r != nullptr; r = rgn.GetNextRect()) out.push_back(*r);
    return out;
}

CRect Bounds(const CRegion& rgn) {
    CRect b(1, 2, 3, 4);
    rgn.GetBounds(b);
    return b;
}

TEST(RegionTest, AddRectRefusesEmptyAndKeepsOverlaps) {
    CRegion rgn;
    EXPECT_FALSE(rgn.AddRect(CRect(10, 10, 0, 0)));
    EXPECT_FALSE(rgn.AddRect(CRect(3, 0, 3, 9)));
    EXPECT_TRUE(rgn.IsEmpty());
    EXPECT_EQ(Bounds(rgn), CRect());
    EXPECT_TRUE(rgn.AddRect(CRect(0, 0, 10, 10)));
    EXPECT_TRUE(rgn.AddRect(CRect(5, 5, 20, 20)));
    EXPECT_EQ(Rects(rgn), (std::vector<CRect>{CRect(0, 0, 10, 10), CRect(5, 5, 20, 20)}));
    EXPECT_EQ(Bounds(rgn), CRect(0, 0, 20, 20));
    EXPECT_FALSE(rgn.SetRect(CRect(4, 4, 1, 1)));  // refused: the region stays
    EXPECT_EQ(Rects(rgn).size(), 2u);
    rgn.SetRectRgn(nullptr);
    EXPECT_TRUE(rgn.IsEmpty());
}

TEST(RegionTest, SubtractRectOrderAndResults) {
    CRegion rgn;
    rgn.SetRect(CRect(0, 0, 10, 10));
    EXPECT_TRUE(rgn.SubtractRect(CRect(2, 2, 5, 5)));
    // The node keeps the top band; the other pieces go before it, in order.
    EXPECT_EQ(Rects(rgn), (std::vector<CRect>{CRect(0, 5, 10, 10), CRect(0, 2, 2, 5), CRect(5, 2, 10, 5),
                                              CRect(0, 0, 10, 2)}));
    EXPECT_EQ(Bounds(rgn), CRect(0, 0, 10, 10));

    EXPECT_FALSE(rgn.SubtractRect(CRect(50, 50, 60, 60)));
    EXPECT_EQ(Rects(rgn).size(), 4u);
    EXPECT_TRUE(rgn.SubtractRect(CRect(10, 10, -1, -1)));  // reversed, covering: normalised first
    EXPECT_TRUE(rgn.IsEmpty());
    EXPECT_EQ(Bounds(rgn), CRect());

    // A cut along an edge shrinks the bounds.
    rgn.SetRect(CRect(0, 0, 10, 10));
    EXPECT_TRUE(rgn.SubtractRect(CRect(-5, -5, 15, 3)));
    EXPECT_EQ(Bounds(rgn), CRect(0, 3, 10, 10));
}

TEST(RegionTest, IntersectRectContainingBoundsKeepsOrder) {
    CRegion rgn;
    rgn.AddRect(CRect(5, 5, 8, 8));
    rgn.AddRect(CRect(0, 0, 3, 3));
    rgn.AddRect(CRect(1, 1, 6, 2));
    const std::vector<CRect> before = Rects(rgn);
    EXPECT_TRUE(rgn.IntersectRect(CRect(0, 0, 8, 8)));
    EXPECT_EQ(Rects(rgn), before);
    EXPECT_TRUE(rgn.IntersectRect(CRect(2, 0, 9, 9)));
    EXPECT_EQ(Rects(rgn), (std::vector<CRect>{CRect(5, 5, 8, 8), CRect(2, 0, 3, 3), CRect(2, 1, 6, 2)}));
    EXPECT_EQ(Bounds(rgn), CRect(2, 0, 8, 8));
    EXPECT_TRUE(rgn.IntersectRect(CRect(100, 100, 101, 101)));
    EXPECT_TRUE(rgn.IsEmpty());
}

TEST(RegionTest, WalkEndsWithNull) {
    CRegion rgn;
    EXPECT_EQ(rgn.GetFirstRect(), nullptr);
    EXPECT_EQ(rgn.GetNextRect(), nullptr);
    rgn.AddRect(CRect(0, 0, 1, 1));
    ASSERT_NE(rgn.GetFirstRect(), nullptr);
    EXPECT_EQ(rgn.GetNextRect(), nullptr);
    EXPECT_EQ(rgn.GetNextRect(), nullptr);
}

TEST(RegionTest, ContainsPointAndIntersectsRect) {
    CRegion rgn;
    rgn.AddRect(CRect(0, 0, 4, 4));
    rgn.AddRect(CRect(6, 6, 10, 10));
    EXPECT_TRUE(rgn.ContainsPoint(3, 3));
    EXPECT_FALSE(rgn.ContainsPoint(5, 5));  // inside the bounds, in no rectangle
    EXPECT_FALSE(rgn.ContainsPoint(10, 9));
    EXPECT_TRUE(rgn.IntersectsRect(CRect(3, 3, 7, 7)));
    EXPECT_FALSE(rgn.IntersectsRect(CRect(4, 4, 6, 6)));
    EXPECT_FALSE(rgn.IntersectsRect(nullptr));
}

TEST(RegionTest, DumpPrintsCountBoundsAndRectangles) {
    CRegion rgn;
    rgn.AddRect(CRect(1, 2, 30, 40));
    rgn.AddRect(CRect(-5, 0, 3, 4));
    testing::internal::CaptureStdout();
    rgn.Dump();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "CRegion::Dump() 2 rectangles(-5,0,30,40) \n"
              "   1,    2,   30,   40\n"
              "  -5,    0,    3,    4\n");
}

// Operations of a region with itself: the text's list walk never ends (append) or walks freed nodes
// (subtract); both work on a copy.
TEST(RegionTest, OperationsWithItself) {
    CRegion rgn;
    rgn.AddRect(CRect(0, 0, 5, 5));
    rgn.AddRect(CRect(3, 3, 9, 9));
    EXPECT_FALSE(rgn.AppendRgn(&rgn));
    EXPECT_EQ(Rects(rgn).size(), 4u);
    EXPECT_EQ(Bounds(rgn), CRect(0, 0, 9, 9));
    EXPECT_TRUE(rgn.IntersectRgn(&rgn));
    EXPECT_EQ(Bounds(rgn), CRect(0, 0, 9, 9));
    EXPECT_TRUE(rgn.ContainsPoint(8, 8));
    EXPECT_FALSE(rgn.SubtractRgn(&rgn));
    EXPECT_TRUE(rgn.IsEmpty());
    EXPECT_EQ(Bounds(rgn), CRect());
}

// The walk cursor never points into another list or at a freed node: Swap, Assign and any operation
// that frees the cursor's node end the walk.
TEST(RegionTest, WalkCursorIsResetWhenItsNodeGoes) {
    CRegion a, b;
    a.AddRect(CRect(0, 0, 1, 1));
    a.AddRect(CRect(2, 2, 3, 3));
    b.AddRect(CRect(10, 10, 11, 11));
    ASSERT_NE(a.GetFirstRect(), nullptr);
    ASSERT_NE(b.GetFirstRect(), nullptr);
    EXPECT_TRUE(a.Swap(&b));
    EXPECT_EQ(a.GetNextRect(), nullptr);
    EXPECT_EQ(b.GetNextRect(), nullptr);
    EXPECT_EQ(Rects(a), (std::vector<CRect>{CRect(10, 10, 11, 11)}));
    EXPECT_EQ(Bounds(b), CRect(0, 0, 3, 3));

    // Assign over a longer list returns the surplus nodes.
    ASSERT_NE(b.GetFirstRect(), nullptr);
    ASSERT_NE(b.GetNextRect(), nullptr);  // on the second node
    EXPECT_TRUE(b.Assign(&a));
    EXPECT_EQ(b.GetNextRect(), nullptr);
    EXPECT_EQ(Rects(b), Rects(a));
    EXPECT_EQ(Bounds(b), CRect(10, 10, 11, 11));
    EXPECT_FALSE(b.Assign(nullptr));

    CRegion c;
    c.AddRect(CRect(0, 0, 4, 4));
    c.AddRect(CRect(8, 8, 9, 9));
    ASSERT_NE(c.GetFirstRect(), nullptr);
    ASSERT_NE(c.GetNextRect(), nullptr);
    c.IntersectRect(CRect(0, 0, 5, 5));  // frees the node under the cursor
    EXPECT_EQ(c.GetNextRect(), nullptr);
    ASSERT_NE(c.GetFirstRect(), nullptr);
    c.SubtractRect(CRect(0, 0, 2, 4));  // keeps the node: the walk goes on
    EXPECT_EQ(c.GetNextRect(), nullptr);
    EXPECT_EQ(Rects(c), (std::vector<CRect>{CRect(2, 0, 4, 4)}));
}

TEST(RegionTest, OffsetLeavesEmptyBoundsZero) {
    CRegion rgn;
    EXPECT_TRUE(rgn.Offset(5, 5));
    EXPECT_EQ(Bounds(rgn), CRect());
    rgn.AddRect(CRect(0, 0, 2, 2));
    rgn.Offset(-3, 4);
    EXPECT_EQ(Bounds(rgn), CRect(-3, 4, -1, 6));
}

// Random operation sequences mirrored on pixman's regions: the same pixels, and bounds equal to
// pixman's extents, after every step.
class PixmanMirror {
public:
    PixmanMirror() { pixman_region32_init(&m_rgn); }
    ~PixmanMirror() { pixman_region32_fini(&m_rgn); }
    PixmanMirror(const PixmanMirror&) = delete;
    PixmanMirror& operator=(const PixmanMirror&) = delete;

    pixman_region32_t* get() { return &m_rgn; }
    void Set(const CRect& r) {
        pixman_region32_fini(&m_rgn);
        pixman_region32_init_rect(&m_rgn, r.left, r.top, unsigned(r.Width()), unsigned(r.Height()));
    }
    void Op(pixman_bool_t (*fn)(pixman_region32_t*, const pixman_region32_t*, const pixman_region32_t*),
            const CRect& r) {
        CRect n(r);
        n.NormalizeRect();
        pixman_region32_t tmp;
        pixman_region32_init_rect(&tmp, n.left, n.top, unsigned(n.Width()), unsigned(n.Height()));
        fn(&m_rgn, &m_rgn, &tmp);
        pixman_region32_fini(&tmp);
    }

private:
    pixman_region32_t m_rgn;
};

// Our region's pixels as a pixman region (pixman merges the overlaps).
void ToPixman(CRegion& rgn, pixman_region32_t* out) {
    std::vector<pixman_box32_t> boxes;
    for (const CRect* r = rgn.GetFirstRect(); r != nullptr; r = rgn.GetNextRect()) {
        boxes.push_back({r->left, r->top, r->right, r->bottom});
    }
    pixman_region32_init_rects(out, boxes.data(), static_cast<int>(boxes.size()));
}

::testing::AssertionResult SamePixels(CRegion& rgn, pixman_region32_t* ref) {
    pixman_region32_t mine;
    ToPixman(rgn, &mine);
    // Empty regions may keep different extents in pixman.
    const bool bothEmpty = !pixman_region32_not_empty(&mine) && !pixman_region32_not_empty(ref);
    const bool same = bothEmpty || pixman_region32_equal(&mine, ref);
    pixman_region32_fini(&mine);
    if (!same) return ::testing::AssertionFailure() << "pixel sets differ";
    const pixman_box32_t* e = pixman_region32_extents(ref);
    CRect want = pixman_region32_not_empty(ref) ? CRect(e->x1, e->y1, e->x2, e->y2) : CRect();
    CRect got;
    rgn.GetBounds(got);
    if (got != want) {
        return ::testing::AssertionFailure() << "bounds {" << got.left << "," << got.top << "," << got.right << ","
                                             << got.bottom << "} extents {" << want.left << "," << want.top
                                             << "," << want.right << "," << want.bottom << "}";
    }
    return ::testing::AssertionSuccess();
}

size_t Count(CRegion& rgn) {
    size_t n = 0;
    for (const CRect* r = rgn.GetFirstRect(); r != nullptr; r = rgn.GetNextRect()) ++n;
    return n;
}

void RunRandomSequences(uint32_t seed, int sequences, int steps) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> pos(-100, 100);
    std::uniform_int_distribution<int> len(-5, 80);  // some empty and reversed rectangles
    std::uniform_int_distribution<int> op(0, 13);
    auto rect = [&] {
        int l = pos(rng), t = pos(rng);
        return CRect(l, t, l + len(rng), t + len(rng));
    };
    for (int s = 0; s < sequences; ++s) {
        CRegion a, b;
        PixmanMirror pa, pb;
        for (int i = 0; i < steps; ++i) {
            const CRect r = rect();
            const int o = op(rng);
            switch (o) {
                case 0:
                    if (a.SetRect(r)) pa.Set(r);
                    break;
                case 1:
                case 2:
                    if (a.AddRect(r)) pixman_region32_union_rect(pa.get(), pa.get(), r.left, r.top, r.Width(), r.Height());
                    break;
                case 3:
                    a.IntersectRect(r);
                    pa.Op(pixman_region32_intersect, r);
                    break;
                case 4:
                case 5: {
                    CRect n(r);
                    n.NormalizeRect();
                    bool met = false;
                    CRect bounds;
                    a.GetBounds(bounds);
                    met = IntersectRect(nullptr, n, bounds);
                    ASSERT_EQ(a.SubtractRect(r), met);
                    pa.Op(pixman_region32_subtract, r);
                    break;
                }
                case 6:  // b gets rectangles of its own
                    if (b.AddRect(r)) pixman_region32_union_rect(pb.get(), pb.get(), r.left, r.top, r.Width(), r.Height());
                    break;
                case 7:
                    a.IntersectRgn(&b);
                    pixman_region32_intersect(pa.get(), pa.get(), pb.get());
                    break;
                case 8:
                    a.SubtractRgn(&b);
                    pixman_region32_subtract(pa.get(), pa.get(), pb.get());
                    break;
                case 9:
                    a.AppendRgn(&b);
                    pixman_region32_union(pa.get(), pa.get(), pb.get());
                    break;
                case 10:
                    a.Offset(r.left / 4, r.top / 4);
                    pixman_region32_translate(pa.get(), r.left / 4, r.top / 4);
                    break;
                case 11:  // with itself
                    if (r.left % 3 == 0) {
                        a.IntersectRgn(&a);
                    } else if (r.left % 3 == 1) {
                        a.AppendRgn(&a);
                    } else {
                        a.SubtractRgn(&a);
                        pixman_region32_clear(pa.get());
                    }
                    break;
                case 12:
                    a.Swap(&b);
                    pixman_region32_t tmp;
                    pixman_region32_init(&tmp);
                    pixman_region32_copy(&tmp, pa.get());
                    pixman_region32_copy(pa.get(), pb.get());
                    pixman_region32_copy(pb.get(), &tmp);
                    pixman_region32_fini(&tmp);
                    break;
                case 13:
                    b.Assign(&a);
                    pixman_region32_copy(pb.get(), pa.get());
                    break;
            }
            ASSERT_TRUE(SamePixels(a, pa.get())) << "seed " << seed << " sequence " << s << " step " << i << " op " << o;
            ASSERT_TRUE(SamePixels(b, pb.get())) << "seed " << seed << " sequence " << s << " step " << i << " op " << o;
            // Appending to itself doubles the list: start again before it grows large.
            if (Count(a) > 600) {
                a.SetEmpty();
                pixman_region32_clear(pa.get());
            }
        }
    }
}

TEST(RegionPixmanTest, RandomSequencesMatchPixman) {
    RunRandomSequences(7, 2000, 60);
}

// The node pool is shared by every region: regions on several threads at once.
TEST(RegionPixmanTest, RegionsOnSeveralThreads) {
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < 4; ++t) threads.emplace_back([t] { RunRandomSequences(100 + t, 200, 60); });
    for (auto& th : threads) th.join();
}

}  // namespace
