#include "platform/drivers/core/frame_router.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "platform/drivers/core/bind_graph.h"
#include "platform/drivers/core/frame_testing.h"
#include "platform/drivers/core/kernel.h"
#include "platform/drivers/core/vb_pools.h"
#include "platform/drivers/core/video_frames.h"
#include "platform/host/test_bus.h"
#include "platform/mem/ram.h"

namespace varnelle::drivers {
namespace {

using testing::RecordingSink;

// Module ids no driver of this program receives for.
constexpr int kModA = 48;
constexpr int kModB = 49;

class FrameFlowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { host::UsePrivateBus("frameflow"); }
    void SetUp() override {
        ResetMediaState();
        m_pool = VbPools::Instance().CreatePool(FrameBytes(64, 48), 4, "");
        ASSERT_GE(m_pool, 0);
    }
    void TearDown() override { ResetMediaState(); }
    uint32_t FreeBlocks() const { return VbPools::Instance().Pool(m_pool)->freeBlocks; }
    HeldFrame Frame(uint64_t pts = 0) {
        std::optional<HeldFrame> f = AllocFrame(FrameBlocks{m_pool}, 64, 48, pts, 0);
        EXPECT_TRUE(f);
        return std::move(*f);
    }
    int m_pool = -1;
};

TEST_F(FrameFlowTest, AllocatedFramesAreSemiPlanarInOneBlockAndHeldByEveryCopy) {
    std::optional<HeldFrame> f = AllocFrame(FrameBlocks{m_pool}, 50, 30, 1234, 6);
    ASSERT_TRUE(f);
    const VIDEO_FRAME_INFO_S& r = f->frame();
    EXPECT_EQ(r.u32Width, 50u);
    EXPECT_EQ(r.u32Height, 30u);
    EXPECT_EQ(r.u32Stride[0], 64u) << "rows of 16-byte multiples";
    EXPECT_EQ(r.u32Stride[1], 64u);
    EXPECT_EQ(r.u32PhyAddr[1], r.u32PhyAddr[0] + 64 * 30) << "chroma right after luma";
    EXPECT_EQ(r.u32Field, static_cast<MK_U32>(MK_FIELD_FRAME));
    EXPECT_EQ(r.enPixelFormat, static_cast<MK_U32>(MK_PIXEL_FORMAT_YUV_SEMIPLANAR_420));
    EXPECT_EQ(r.u32PoolId, static_cast<MK_U32>(m_pool));
    EXPECT_EQ(r.u64pts, 1234u);
    EXPECT_EQ(r.u32TimeRef, 6u);
    EXPECT_EQ(VbPools::Instance().Block(f->block())->refs, 1);
    // The planes are the block's bytes.
    f->Plane(0)[0] = 0x5A;
    f->Plane(1)[64 * 14 + 49] = 0xA5;
    uint8_t y = 0, c = 0;
    ASSERT_TRUE(mem::Ram::Local().Read(r.u32PhyAddr[0], &y, 1));
    ASSERT_TRUE(mem::Ram::Local().Read(r.u32PhyAddr[1] + 64 * 14 + 49, &c, 1));
    EXPECT_EQ(y, 0x5A);
    EXPECT_EQ(c, 0xA5);

    HeldFrame copy = *f;
    EXPECT_EQ(VbPools::Instance().Block(f->block())->refs, 2);
    HeldFrame moved = std::move(copy);
    EXPECT_EQ(VbPools::Instance().Block(f->block())->refs, 2) << "a move takes no reference";
    f.reset();
    EXPECT_EQ(FreeBlocks(), 3u);
    { HeldFrame gone = std::move(moved); }
    EXPECT_EQ(FreeBlocks(), 4u);
}

TEST_F(FrameFlowTest, AllocationFailsWithoutAFittingBlockOrForASizeOutOfRange) {
    std::vector<HeldFrame> all;
    for (int i = 0; i < 4; ++i) all.push_back(Frame());
    EXPECT_FALSE(AllocFrame(FrameBlocks{m_pool}, 64, 48, 0, 0)) << "pool empty";
    all.clear();
    EXPECT_FALSE(AllocFrame(FrameBlocks{m_pool}, 64, 64, 0, 0)) << "larger than the pool's blocks";
    EXPECT_FALSE(AllocFrame(FrameBlocks{}, 0, 48, 0, 0));
    EXPECT_FALSE(AllocFrame(FrameBlocks{}, 8193, 16, 0, 0));
    // Any common pool whose blocks are large enough.
    std::optional<HeldFrame> any = AllocFrame(FrameBlocks{}, 32, 32, 0, 0);
    ASSERT_TRUE(any);
    EXPECT_EQ(any->frame().u32PoolId, static_cast<MK_U32>(m_pool));
    EXPECT_EQ(FreeBlocks(), 3u);
}

TEST_F(FrameFlowTest, PublishFollowsTheBindGraphFromTheNormalisedSource) {
    RecordingSink a(kModA), b(kModB);
    const MPP_CHN_S vi{MK_ID_VIU, 0, 5}, toA{kModA, 0, 1}, toB{kModB, 2, 3}, other{kModA, 0, 9};
    ASSERT_EQ(BindGraph::Instance().Bind(vi, toA), 0);
    ASSERT_EQ(BindGraph::Instance().Bind(vi, toB), 0);
    ASSERT_EQ(BindGraph::Instance().Bind({MK_ID_VIU, 0, 6}, other), 0);
    EXPECT_EQ(a.Binds(toA), 1);
    EXPECT_TRUE(FrameRouter::Instance().HasDestinations(vi));
    EXPECT_FALSE(FrameRouter::Instance().HasDestinations({MK_ID_VIU, 0, 7}));
    // A capture source is known by device 0 whatever device it names.
    EXPECT_EQ(FrameRouter::Instance().Publish({MK_ID_VIU, 3, 5}, Frame(1)), 2);
    EXPECT_EQ(a.Received(toA), 1u);
    EXPECT_EQ(b.Received(toB), 1u);
    EXPECT_EQ(a.Received(other), 0u);
    EXPECT_EQ(FreeBlocks(), 3u) << "both receivers hold the one block";
    std::vector<HeldFrame> kept = a.Kept(toA);
    EXPECT_EQ(VbPools::Instance().Block(kept[0].block())->refs, 3) << "both receivers and this copy";
    kept.clear();
    FrameRouter::Counts c = FrameRouter::Instance().CountsOf(vi);
    EXPECT_EQ(c.published, 1u);
    EXPECT_EQ(c.taken, 2u);
    b.SetAccept(false);
    EXPECT_EQ(FrameRouter::Instance().Publish(vi, Frame(2)), 1);
    EXPECT_EQ(FrameRouter::Instance().CountsOf(vi).declined, 1u);
    BindGraph::Instance().Unbind(toA);
    BindGraph::Instance().Unbind(toB);
    BindGraph::Instance().Unbind(other);
}

TEST_F(FrameFlowTest, UnbindTellsTheReceiverWhichLetsGoOfEverything) {
    RecordingSink a(kModA, 3);
    const MPP_CHN_S src{MK_ID_VPSS, 4, 1}, dst{kModA, 0, 0};
    ASSERT_EQ(BindGraph::Instance().Bind(src, dst), 0);
    for (int i = 0; i < 3; ++i) FrameRouter::Instance().Publish(src, Frame());
    EXPECT_EQ(FreeBlocks(), 1u);
    ASSERT_EQ(BindGraph::Instance().Unbind(dst), 0);
    EXPECT_EQ(a.Unbinds(dst), 1);
    EXPECT_EQ(FreeBlocks(), 4u);
    EXPECT_EQ(FrameRouter::Instance().Publish(src, Frame()), 0) << "nothing bound";
    EXPECT_EQ(a.Received(dst), 3u);
    EXPECT_EQ(FreeBlocks(), 4u);
}

TEST_F(FrameFlowTest, DestinationsWithoutAReceivingModuleAreCountedUnrouted) {
    const MPP_CHN_S src{MK_ID_VDEC, 0, 2}, dst{kModB, 0, 0};
    ASSERT_EQ(BindGraph::Instance().Bind(src, dst), 0);
    EXPECT_EQ(FrameRouter::Instance().Publish(src, Frame()), 0);
    EXPECT_EQ(FrameRouter::Instance().CountsOf(src).unrouted, 1u);
    EXPECT_EQ(FreeBlocks(), 4u);
    BindGraph::Instance().Unbind(dst);
}

// A receiver whose channels take pictures of sizes of their own: channel n takes 16n x 8n, 0 none.
class Sized : public FrameSink {
public:
    explicit Sized(int mod) : m_mod(mod) { FrameRouter::Instance().Attach(m_mod, this); }
    ~Sized() override { FrameRouter::Instance().Detach(m_mod, this); }
    bool OnFrame(const MPP_CHN_S&, const MPP_CHN_S&, const HeldFrame&) override { return false; }
    std::optional<SIZE_S> WantedSize(const MPP_CHN_S& dst) override {
        if (dst.s32ChnId == 0) return std::nullopt;
        return SIZE_S{16u * static_cast<MK_U32>(dst.s32ChnId), 8u * static_cast<MK_U32>(dst.s32ChnId)};
    }

private:
    const int m_mod;
};

TEST_F(FrameFlowTest, TheWantedSizeIsTheLargestABoundReceiverTakes) {
    const MPP_CHN_S src{MK_ID_VPSS, 2, 1};
    EXPECT_FALSE(FrameRouter::Instance().WantedSize(src)) << "nothing bound";
    ASSERT_EQ(BindGraph::Instance().Bind(src, {kModA, 0, 3}), 0);
    EXPECT_FALSE(FrameRouter::Instance().WantedSize(src)) << "a module with no receiver says nothing";
    {
        Sized a(kModA);
        RecordingSink b(kModB);  // takes any size
        ASSERT_EQ(BindGraph::Instance().Bind(src, {kModA, 0, 0}), 0);
        ASSERT_EQ(BindGraph::Instance().Bind(src, {kModA, 0, 5}), 0);
        ASSERT_EQ(BindGraph::Instance().Bind(src, {kModB, 0, 9}), 0);
        std::optional<SIZE_S> size = FrameRouter::Instance().WantedSize(src);
        ASSERT_TRUE(size);
        EXPECT_EQ(size->u32Width, 80u);
        EXPECT_EQ(size->u32Height, 40u);
        BindGraph::Instance().Unbind({kModA, 0, 5});
        size = FrameRouter::Instance().WantedSize(src);
        ASSERT_TRUE(size);
        EXPECT_EQ(size->u32Width, 48u);
        BindGraph::Instance().Unbind({kModA, 0, 0});
        BindGraph::Instance().Unbind({kModB, 0, 9});
    }
    BindGraph::Instance().Unbind({kModA, 0, 3});
}

// A receiver that passes frames on publishes from inside its OnFrame.
class PassOn : public FrameSink {
public:
    PassOn() { FrameRouter::Instance().Attach(kModA, this); }
    ~PassOn() override { FrameRouter::Instance().Detach(kModA, this); }
    bool OnFrame(const MPP_CHN_S& dst, const MPP_CHN_S&, const HeldFrame& frame) override {
        return FrameRouter::Instance().Publish(dst, frame) > 0;
    }
};

TEST_F(FrameFlowTest, AReceiverMayPublishWhatItReceives) {
    PassOn pass;
    RecordingSink end(kModB);
    const MPP_CHN_S src{MK_ID_VIU, 0, 1}, mid{kModA, 0, 0}, last{kModB, 0, 0};
    ASSERT_EQ(BindGraph::Instance().Bind(src, mid), 0);
    ASSERT_EQ(BindGraph::Instance().Bind(mid, last), 0);
    EXPECT_EQ(FrameRouter::Instance().Publish(src, Frame()), 1);
    EXPECT_EQ(end.Received(last), 1u);
    BindGraph::Instance().Unbind(mid);
    BindGraph::Instance().Unbind(last);
}

// A sink blocked in OnFrame keeps Detach waiting, so the sink is never destroyed under a delivery.
class Gate : public FrameSink {
public:
    bool OnFrame(const MPP_CHN_S&, const MPP_CHN_S&, const HeldFrame&) override {
        std::unique_lock<std::mutex> lock(m);
        inside = true;
        cv.notify_all();
        cv.wait(lock, [&] { return open; });
        return true;
    }
    std::mutex m;
    std::condition_variable cv;
    bool inside = false;
    bool open = false;
};

TEST_F(FrameFlowTest, DetachWaitsForADeliveryInProgress) {
    Gate gate;
    FrameRouter::Instance().Attach(kModA, &gate);
    const MPP_CHN_S src{MK_ID_VIU, 0, 3}, dst{kModA, 0, 0};
    ASSERT_EQ(BindGraph::Instance().Bind(src, dst), 0);
    std::thread producer([&] { FrameRouter::Instance().Publish(src, Frame()); });
    {
        std::unique_lock<std::mutex> lock(gate.m);
        gate.cv.wait(lock, [&] { return gate.inside; });
    }
    std::atomic<bool> detached{false};
    std::thread detacher([&] {
        FrameRouter::Instance().Detach(kModA, &gate);
        detached = true;
    });
    // The detacher can only finish after the gate opens; opening it is what lets both threads end.
    EXPECT_FALSE(detached.load());
    {
        std::lock_guard<std::mutex> lock(gate.m);
        EXPECT_FALSE(detached.load());
        gate.open = true;
    }
    gate.cv.notify_all();
    producer.join();
    detacher.join();
    EXPECT_TRUE(detached.load());
    EXPECT_EQ(FrameRouter::Instance().Publish(src, Frame()), 0) << "detached: nobody receives";
    BindGraph::Instance().Unbind(dst);
}

TEST_F(FrameFlowTest, ManyProducersAndAnUnbindRaceWithoutLeakingBlocks) {
    RecordingSink sink(kModA, 1);
    const MPP_CHN_S dst0{kModA, 0, 0}, dst1{kModA, 0, 1};
    ASSERT_EQ(BindGraph::Instance().Bind({MK_ID_VIU, 0, 0}, dst0), 0);
    ASSERT_EQ(BindGraph::Instance().Bind({MK_ID_VIU, 0, 1}, dst1), 0);
    std::atomic<int> running{2};
    std::vector<std::thread> producers;
    for (int p = 0; p < 2; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < 500; ++i) {
                std::optional<HeldFrame> f = AllocFrame(FrameBlocks{m_pool}, 64, 48, 0, 0);
                if (f) FrameRouter::Instance().Publish({MK_ID_VIU, 0, p}, *f);
            }
            --running;
        });
    }
    ASSERT_TRUE(testing::Eventually([&] { return sink.Received(dst0) > 10; }));
    ASSERT_EQ(BindGraph::Instance().Unbind(dst0), 0);
    for (std::thread& t : producers) t.join();
    ASSERT_EQ(BindGraph::Instance().Unbind(dst1), 0);
    EXPECT_EQ(FreeBlocks(), 4u);
}

}  // namespace
}  // namespace varnelle::drivers
