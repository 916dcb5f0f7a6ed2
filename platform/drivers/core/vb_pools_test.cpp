#include "platform/drivers/core/vb_pools.h"

#include <unistd.h>

#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/host/test_bus.h"

namespace varnelle::drivers {
namespace {

class VbPoolsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        varnelle::host::UsePrivateBus("vbpools");
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
    const uint32_t base = vb.Pool(p)->phys;
    const uint32_t stride = vb.Pool(p)->blockSize;
    std::vector<std::thread> threads;
    std::atomic<int> overlaps{0};
    std::atomic<int> owner[8] = {};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                uint32_t h = vb.GetBlock(p, 0);
                if (h == VbPools::kInvalid) continue;
                int idx = static_cast<int>((vb.Block(h)->phys - base) / stride);
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

TEST_F(VbPoolsTest, AnyPoolChoosesOnlyAmongTheUsersPools) {
    VbPools& vb = VbPools::Instance();
    int priv = vb.CreatePool(1024, 2, "", false, VbPools::kPrivate);
    int mod4 = vb.CreatePool(2048, 1, "", false, 4);
    int common = vb.CreatePool(4096, 1, "");
    int ex = vb.CreatePool(1024, 1, "", true);
    struct Case {
        bool ex;
        int user;
        int want;
    } cases[] = {{false, VbPools::kCommon, common}, {false, 4, mod4}, {true, VbPools::kCommon, ex}};
    for (const Case& c : cases) {
        uint32_t h = vb.GetBlock(-1, 100, "", c.ex, c.user);
        ASSERT_NE(h, VbPools::kInvalid) << c.user;
        EXPECT_EQ(vb.Block(h)->pool, c.want);
    }
    EXPECT_EQ(vb.GetBlock(-1, 100, "", false, 5), VbPools::kInvalid) << "user 5 has no pools";
    EXPECT_EQ(vb.GetBlock(-1, 100, "", false, VbPools::kPrivate), VbPools::kInvalid)
        << "private pools are reached by id only";
    EXPECT_NE(vb.GetBlock(priv, 0), VbPools::kInvalid);
    EXPECT_EQ(vb.Pool(mod4)->user, 4);
}

TEST_F(VbPoolsTest, CallerBlocksJoinTheirPoolAndStayAfterRelease) {
    VbPools& vb = VbPools::Instance();
    int backing = vb.CreatePool(0x4000, 1, "");
    uint32_t backingPhys = vb.Pool(backing)->phys;
    uint32_t own = 0x60000000;
    int p = vb.CreateCallerPool(2, "");
    ASSERT_GE(p, 0);
    EXPECT_TRUE(vb.Pool(p)->callerBlocks);
    EXPECT_EQ(vb.GetBlock(p, 0), VbPools::kInvalid) << "no block added yet";
    EXPECT_EQ(vb.AddCallerBlock(p, backingPhys + 0x100, 0x100), VbPools::kInvalid) << "inside a pool";
    EXPECT_EQ(vb.AddCallerBlock(p, 0x10000000, 0x100), VbPools::kInvalid) << "outside RAM";
    EXPECT_EQ(vb.AddCallerBlock(p, own, 0), VbPools::kInvalid) << "empty";
    EXPECT_EQ(vb.AddCallerBlock(backing, own, 0x100), VbPools::kInvalid) << "not a caller pool";
    uint32_t a = vb.AddCallerBlock(p, own, 0x1000);
    ASSERT_NE(a, VbPools::kInvalid);
    EXPECT_EQ(vb.AddCallerBlock(p, own + 0xFFF, 0x10), VbPools::kInvalid) << "overlaps the first block";
    uint32_t b = vb.AddCallerBlock(p, own + 0x1000, 0x800);
    ASSERT_NE(b, VbPools::kInvalid);
    EXPECT_EQ(vb.AddCallerBlock(p, own + 0x2000, 0x800), VbPools::kInvalid) << "full";
    EXPECT_EQ(vb.BlockAt(own + 0x17FF)->handle, b);
    EXPECT_EQ(vb.Block(a)->phys, own);
    EXPECT_EQ(vb.DestroyPool(p), -EBUSY);
    EXPECT_TRUE(vb.Release(a));
    EXPECT_TRUE(vb.Release(b));
    EXPECT_FALSE(vb.PoolInUse(p));
    uint32_t again = vb.GetBlock(p, 0);
    ASSERT_NE(again, VbPools::kInvalid);
    EXPECT_EQ(vb.Block(again)->phys, own);
    EXPECT_TRUE(vb.Release(again));
    EXPECT_EQ(vb.DestroyPool(p), 0);
    EXPECT_EQ(vb.Pool(backing)->phys, backingPhys) << "a caller pool frees no memory";
}

// A handle kept past its pool's destruction must not reach the block another user holds in a new pool
// that took the same pool id.
TEST_F(VbPoolsTest, StaleHandleOfAReusedPoolIdNamesNoBlock) {
    VbPools& vb = VbPools::Instance();
    int first = vb.CreatePool(4096, 2, "");
    ASSERT_GE(first, 0);
    uint32_t stale = vb.GetBlock(first, 0);
    ASSERT_NE(stale, VbPools::kInvalid);
    ASSERT_TRUE(vb.Release(stale));
    ASSERT_EQ(vb.DestroyPool(first), 0);
    int second = vb.CreatePool(4096, 2, "");
    ASSERT_EQ(second, first) << "the id is taken again";
    uint32_t held = vb.GetBlock(second, 0);
    ASSERT_NE(held, VbPools::kInvalid);
    EXPECT_NE(held, stale);
    EXPECT_FALSE(vb.Release(stale));
    EXPECT_FALSE(vb.AddRef(stale));
    EXPECT_FALSE(vb.Block(stale));
    EXPECT_EQ(vb.Block(held)->refs, 1) << "the other user's block is untouched";
    // Clear drops every pool but not the generations.
    EXPECT_TRUE(vb.Release(held));
    vb.Clear();
    ASSERT_EQ(vb.CreatePool(4096, 2, ""), first);
    uint32_t after = vb.GetBlock(first, 0);
    EXPECT_NE(after, held);
    EXPECT_FALSE(vb.Release(held));
    EXPECT_TRUE(vb.Release(after));
}

TEST_F(VbPoolsTest, BlockCountLimitAndHandlesNeverAllOnes) {
    VbPools& vb = VbPools::Instance();
    EXPECT_EQ(vb.CreatePool(64, VbPools::kMaxBlocks + 1, ""), -1);
    EXPECT_EQ(vb.CreateCallerPool(VbPools::kMaxBlocks + 1, ""), -1);
    int p = vb.CreatePool(64, VbPools::kMaxBlocks, "");
    ASSERT_GE(p, 0);
    std::set<uint32_t> handles;
    for (uint32_t i = 0; i < VbPools::kMaxBlocks; ++i) {
        uint32_t h = vb.GetBlock(p, 0);
        ASSERT_NE(h, VbPools::kInvalid) << i;
        handles.insert(h);
    }
    EXPECT_EQ(handles.size(), VbPools::kMaxBlocks);
    EXPECT_EQ(vb.GetBlock(p, 0), VbPools::kInvalid) << "pool empty";
    for (uint32_t h : handles) EXPECT_TRUE(vb.Release(h));
    EXPECT_EQ(vb.Pool(p)->freeBlocks, VbPools::kMaxBlocks);
}

}  // namespace
}  // namespace varnelle::drivers
