#include "platform/drivers/core/vb_pools.h"

#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace varnelle::drivers {
namespace {

class VbPoolsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static char dir[] = "/dev/shm/varnelle-vbpools-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        setenv("VARNELLE_BUS", dir, 1);
    }
    void SetUp() override { VbPools::Instance().Clear(); }
};

TEST_F(VbPoolsTest, BlocksAreDisjointAndHandlesResolveBothWays) {
    VbPools& vb = VbPools::Instance();
    int a = vb.CreatePool(1000, 4, "");
    int b = vb.CreatePool(5000, 2, "");
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    std::set<uint32_t> starts;
    std::vector<uint32_t> handles;
    for (int i = 0; i < 6; ++i) {
        uint32_t h = vb.GetBlock(i < 4 ? a : b, 0);
        ASSERT_NE(h, VbPools::kInvalid);
        auto info = vb.Block(h);
        ASSERT_TRUE(info);
        EXPECT_TRUE(starts.insert(info->phys).second);
        auto back = vb.BlockAt(info->phys + info->size - 1);
        ASSERT_TRUE(back);
        EXPECT_EQ(back->handle, h);
        EXPECT_EQ(back->pool, i < 4 ? a : b);
        handles.push_back(h);
    }
    EXPECT_EQ(vb.GetBlock(a, 0), VbPools::kInvalid) << "pool exhausted";
    for (uint32_t h : handles) EXPECT_TRUE(vb.Release(h));
    EXPECT_FALSE(vb.Release(handles[0])) << "double release";
}

TEST_F(VbPoolsTest, AnyPoolPicksTheSmallestFittingBlocks) {
    VbPools& vb = VbPools::Instance();
    int big = vb.CreatePool(8192, 2, "");
    int small = vb.CreatePool(2048, 1, "");
    uint32_t h = vb.GetBlock(-1, 2000);
    EXPECT_EQ(vb.Block(h)->pool, small);
    uint32_t h2 = vb.GetBlock(-1, 2000);
    EXPECT_EQ(vb.Block(h2)->pool, big) << "the small pool is empty";
    EXPECT_EQ(vb.GetBlock(-1, 9000), VbPools::kInvalid);
    EXPECT_EQ(vb.GetBlock(-1, 100, "ddr9"), VbPools::kInvalid);
}

TEST_F(VbPoolsTest, HeldBlocksKeepTheirPoolAlive) {
    VbPools& vb = VbPools::Instance();
    int p = vb.CreatePool(4096, 1, "");
    uint32_t h = vb.GetBlock(p, 0);
    ASSERT_TRUE(vb.AddRef(h));
    EXPECT_TRUE(vb.PoolInUse(p));
    EXPECT_EQ(vb.DestroyPool(p), -EBUSY);
    EXPECT_TRUE(vb.Release(h));
    EXPECT_EQ(vb.DestroyPool(p), -EBUSY) << "a second holder remains";
    EXPECT_TRUE(vb.Release(h));
    EXPECT_FALSE(vb.PoolInUse(p));
    EXPECT_EQ(vb.DestroyPool(p), 0);
    EXPECT_FALSE(vb.Block(h));
    EXPECT_EQ(vb.DestroyPool(p), -ENOENT);
}

TEST_F(VbPoolsTest, ConcurrentGetAndReleaseNeverShareABlock) {
    VbPools& vb = VbPools::Instance();
    int p = vb.CreatePool(256, 8, "");
    std::vector<std::thread> threads;
    std::atomic<int> overlaps{0};
    std::atomic<int> owner[8] = {};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                uint32_t h = vb.GetBlock(p, 0);
                if (h == VbPools::kInvalid) continue;
                int idx = h & 0xFFFF;
                if (owner[idx].exchange(t + 1) != 0) ++overlaps;
                owner[idx].store(0);
                vb.Release(h);
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_FALSE(vb.PoolInUse(p));
}

}  // namespace
}  // namespace varnelle::drivers
