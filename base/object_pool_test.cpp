#include "base/object_pool.h"

#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

TEST(CObjectPoolTest, SmallElementsBecomeFourBytes) {
    CObjectPool pool(2);
    EXPECT_EQ(pool.GetElementSize(), 4u);
    EXPECT_EQ(pool.GetBlockCount(), 1024u);
    void* a = pool.Alloc();
    void* b = pool.Alloc();
    ASSERT_NE(a, nullptr);
    std::memset(a, 0xFF, 4);  // writing a whole element must not disturb its neighbour
    std::memset(b, 0xFF, 4);
    pool.Free(a);
    pool.Free(b);
}

TEST(CObjectPoolTest, ElementAfterABlockComesFromANewBlockAndFreesAreLastInFirstOut) {
    CObjectPool pool(24);
    pool.SetBlockCount(4);
    std::vector<char*> got;
    for (int i = 0; i < 5; ++i) got.push_back(static_cast<char*>(pool.Alloc()));
    // The first four are neighbours in one block; the fifth is elsewhere.
    for (int i = 1; i < 4; ++i) EXPECT_EQ(got[static_cast<size_t>(i)] - got[static_cast<size_t>(i - 1)], 24);
    EXPECT_TRUE(got[4] < got[0] || got[4] > got[3]);
    pool.Free(got[1]);
    pool.Free(got[3]);
    EXPECT_EQ(pool.Alloc(), got[3]);
    EXPECT_EQ(pool.Alloc(), got[1]);
    pool.SetBlockCount(0);
    EXPECT_EQ(pool.GetBlockCount(), 4u);
}

TEST(CObjectPoolTest, ConcurrentAllocFreeNeverHandsOutOneElementTwice) {
    CObjectPool pool(24);
    constexpr int kThreads = 4, kEach = 3000;
    std::vector<std::vector<void*>> kept(kThreads);
    std::thread threads[kThreads];
    for (int t = 0; t < kThreads; ++t) {
        threads[t] = std::thread([&, t] {
            for (int i = 0; i < kEach; ++i) {
                void* p = pool.Alloc();
                std::memset(p, t, 24);
                if (i % 3 == 0) {
                    pool.Free(p);
                } else {
                    kept[static_cast<size_t>(t)].push_back(p);
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    std::set<void*> unique;
    for (int t = 0; t < kThreads; ++t) {
        for (void* p : kept[static_cast<size_t>(t)]) {
            EXPECT_TRUE(unique.insert(p).second);
            EXPECT_EQ(static_cast<unsigned char*>(p)[23], t);
        }
    }
}

}  // namespace
