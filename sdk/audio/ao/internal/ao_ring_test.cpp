// The ring rule against a plain model: a deque of bytes with a capacity.
#include "sdk/audio/ao/internal/ao_ring.h"

#include <deque>
#include <random>
#include <vector>

#include <gtest/gtest.h>

namespace {

using namespace mk::ao;

struct Ring {
    std::vector<MK_U8> mem;
    AO_CIRBUF_S r{};
    explicit Ring(MK_U32 size) : mem(size) { r = AO_CIRBUF_S{0, mem.data(), size, 0, 0, 0}; }
};

TEST(AoRingTest, EdgeCasesOfTheOffsets) {
    const struct {
        const char* what;
        MK_U32 size, read, write, jump, len;
        bool canWrite, canRead;
    } cases[] = {
        {"empty takes the whole ring", 100, 40, 40, 0, 100, true, false},
        {"empty takes no more", 100, 40, 40, 0, 101, false, false},
        {"full takes nothing", 100, 40, 40, 1, 1, false, true},
        {"full takes an empty frame", 100, 40, 40, 1, 0, true, true},
        {"full reads the whole ring", 100, 40, 40, 1, 100, false, true},
        {"writer behind reader fits up to it", 100, 60, 20, 1, 40, true, true},
        {"writer behind reader one over", 100, 60, 20, 1, 41, false, true},
        {"wrap fits up to the reader", 100, 30, 80, 0, 50, true, true},
        {"wrap one over the reader", 100, 30, 80, 0, 51, false, false},
        {"read crossing the end", 100, 80, 30, 1, 50, true, true},
        {"read crossing the end one over", 100, 80, 30, 1, 51, false, false},
    };
    for (const auto& c : cases) {
        AO_CIRBUF_S r{0, nullptr, c.size, c.read, c.write, c.jump};
        EXPECT_EQ(RingCanWrite(r, c.len), c.canWrite) << c.what;
        EXPECT_EQ(RingCanRead(r, c.len), c.canRead) << c.what;
    }
}

TEST(AoRingTest, FrameEndingAtTheEndLeavesWriteZeroAndJumpSet) {
    Ring ring(100);
    std::vector<MK_U8> data(100, 7);
    ASSERT_TRUE(RingWrite(ring.r, data.data(), 60));
    RingConsume(ring.r, 60);
    ASSERT_TRUE(RingWrite(ring.r, data.data(), 40));
    EXPECT_EQ(ring.r.u32Write, 0u);
    EXPECT_EQ(ring.r.bWriteJump, 1u);
    EXPECT_EQ(RingUsed(ring.r), 40u);
    // Filled to exactly its size: no byte more, and the whole of it readable.
    ASSERT_TRUE(RingWrite(ring.r, data.data(), 60));
    EXPECT_EQ(RingUsed(ring.r), 100u);
    EXPECT_FALSE(RingCanWrite(ring.r, 1));
    EXPECT_FALSE(RingWrite(ring.r, data.data(), 1));
    EXPECT_TRUE(RingCanRead(ring.r, 100));
}

TEST(AoRingTest, RandomTrafficMatchesAPlainQueue) {
    std::mt19937 rng(3);
    for (MK_U32 size : {64u, 97u, 640u}) {
        Ring ring(size);
        std::deque<MK_U8> model;
        MK_U8 next = 0;
        for (int step = 0; step < 20000; ++step) {
            const MK_U32 len = std::uniform_int_distribution<MK_U32>(0, size / 2 + 3)(rng);
            if (rng() % 2) {
                std::vector<MK_U8> data(len);
                for (MK_U8& b : data) b = next++;
                const bool fits = model.size() + len <= size;
                ASSERT_EQ(RingCanWrite(ring.r, len), fits);
                ASSERT_EQ(RingWrite(ring.r, data.data(), len), fits);
                if (fits) model.insert(model.end(), data.begin(), data.end());
                if (!fits) next = static_cast<MK_U8>(next - len);
            } else {
                const bool there = model.size() >= len;
                ASSERT_EQ(RingCanRead(ring.r, len), there);
                if (!there) continue;
                std::vector<MK_U8> got(len);
                RingPeek(ring.r, got.data(), len);
                RingConsume(ring.r, len);
                for (MK_U32 i = 0; i < len; ++i) {
                    ASSERT_EQ(got[i], model.front());
                    model.pop_front();
                }
            }
            ASSERT_EQ(RingUsed(ring.r), model.size());
        }
    }
}

}  // namespace
