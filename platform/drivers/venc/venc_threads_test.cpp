// Encoder channels spread over the encoder threads by their work: the rule alone, then the driver
// keeping it as channels come, go and change, and encoding in order while they move.
#include "platform/drivers/venc/venc_threads.h"

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/drivers/core/bind_graph.h"
#include "platform/drivers/core/frame_router.h"
#include "platform/drivers/core/frame_testing.h"
#include "platform/drivers/core/kernel.h"
#include "platform/drivers/core/vb_pools.h"
#include "platform/drivers/core/video_frames.h"
#include "platform/drivers/venc/venc_driver.h"
#include "platform/mem/ram.h"
#include "sdk/common/testing/bus_environment.h"
#include "sdk/venc/mpi_venc.h"

namespace {

namespace drivers = varnelle::drivers;
namespace view = varnelle::drivers::venc_view;
using varnelle::drivers::venc::AssignThreads;

[[maybe_unused]] ::testing::Environment* const g_bus =
    ::testing::AddGlobalTestEnvironment(new mk::testing::BusEnvironment("vencthreads", [] {
        drivers::InstallVencDriver();
        varnelle::mem::Ram::Local();
    }));

constexpr uint64_t kMain = 704 * 576 * 25, kSub = 352 * 288 * 25, kSnap = 704 * 576 * 1;

// The work each of `threads` threads carries.
std::vector<uint64_t> Loads(const std::vector<uint64_t>& work, const std::vector<int>& thread, int threads) {
    std::vector<uint64_t> load(static_cast<size_t>(threads), 0);
    for (size_t i = 0; i < work.size(); ++i) {
        if (thread[i] >= 0) load[static_cast<size_t>(thread[i])] += work[i];
    }
    return load;
}

TEST(AssignThreadsTest, SpreadsByWork) {
    struct Case {
        const char* what;
        std::vector<uint64_t> work;
        int threads;
        std::vector<int> want;  // worked out by hand from the rule
    };
    const Case cases[] = {
        {"nothing", {}, 4, {}},
        {"no channels", {0, 0, 0}, 4, {-1, -1, -1}},
        {"fewer channels than threads: one each, heaviest first", {5, 0, 9, 7}, 4, {2, -1, 0, 1}},
        {"one thread", {3, 8, 1}, 1, {0, 0, 0}},
        {"equals go to the lower thread, in channel order", {4, 4, 4, 4, 4}, 2, {0, 1, 0, 1, 0}},
        {"the heavy one alone, the light ones on the rest",
         {10, 30, 10, 10, 10, 10, 10},
         3,
         {1, 0, 2, 1, 2, 1, 2}},
        {"a main and a sub a capture channel, the main first: every thread gets two of each",
         {kMain, kSub, kMain, kSub, kMain, kSub, kMain, kSub, kMain, kSub, kMain, kSub, kMain, kSub, kMain,
          kSub},
         4,
         {0, 0, 1, 1, 2, 2, 3, 3, 0, 0, 1, 1, 2, 2, 3, 3}},
        {"no threads", {1, 2}, 0, {-1, -1}},
    };
    for (const Case& c : cases) EXPECT_EQ(AssignThreads(c.work, c.threads), c.want) << c.what;
}

TEST(AssignThreadsTest, NoThreadTakesASecondChannelWhileAnotherCarriesLessThanItsFirst) {
    // Mixed sessions: mains, subs and snapshot channels in several orders and numbers.
    for (int mains = 0; mains <= 9; ++mains) {
        for (int subs : {0, 3, 8, 13}) {
            for (int snaps : {0, 8}) {
                std::vector<uint64_t> work;
                for (int i = 0; i < std::max(mains, subs); ++i) {
                    work.push_back(i < subs ? kSub : 0);
                    work.push_back(i < mains ? kMain : 0);
                }
                work.insert(work.end(), static_cast<size_t>(snaps), kSnap);
                const std::vector<int> thread = AssignThreads(work, 4);
                const std::vector<uint64_t> load = Loads(work, thread, 4);
                for (int t = 0; t < 4; ++t) {
                    uint64_t first = 0;
                    int count = 0;
                    for (size_t i = 0; i < work.size(); ++i) {
                        if (thread[i] != t) continue;
                        first = std::max(first, work[i]);
                        ++count;
                    }
                    if (count < 2) continue;
                    for (int o = 0; o < 4; ++o) {
                        EXPECT_GE(load[static_cast<size_t>(o)], first)
                            << mains << " mains, " << subs << " subs, " << snaps << " snapshots: thread " << t
                            << " has " << count << " channels, thread " << o << " less than its heaviest";
                    }
                }
            }
        }
    }
}

VENC_CHN_ATTR_S H264Attr(MK_U32 w, MK_U32 h, MK_U32 fps, MK_U32 maxW = 704, MK_U32 maxH = 576) {
    VENC_CHN_ATTR_S a{};
    a.stVeAttr.enType = PT_H264;
    a.stVeAttr.stAttrH264e = {maxW, maxH, 1u << 20, 2, 1, w, h, 0, 0};
    a.stRcAttr.enRcMode = VENC_RC_MODE_H264CBR;
    a.stRcAttr.stAttrH264Cbr = {fps, 1, 25, fps, 512, 2, {0, 0}};
    return a;
}

class VencThreadsTest : public ::testing::Test {
protected:
    void SetUp() override { drivers::ResetMediaState(); }
    void TearDown() override {
        MPI_VENC_Exit();
        drivers::ResetMediaState();
    }
    static MK_S32 Create(VENC_CHN chn, MK_U32 w, MK_U32 h, MK_U32 fps) {
        const VENC_CHN_ATTR_S a = H264Attr(w, h, fps);
        return MK_MPI_VENC_CreateChn(chn, &a);
    }
    static MK_S32 Change(VENC_CHN chn, MK_U32 w, MK_U32 h, MK_U32 fps, MK_U32 maxW = 704, MK_U32 maxH = 576) {
        const VENC_CHN_ATTR_S a = H264Attr(w, h, fps, maxW, maxH);
        return MK_MPI_VENC_SetChnAttr(chn, &a);
    }
    // From the driver's view of channels 0 to 15: no thread carries two mains (704 x 576) while
    // another carries only subs, and the threads' work (pixels x frame rate) differs by no more than
    // the heaviest channel's.
    static void ExpectBalanced(const char* when) {
        std::vector<int> mains(4, 0);
        std::vector<uint64_t> load(4, 0);
        uint64_t heaviest = 0;
        for (int chn = 0; chn < 16; ++chn) {
            const std::optional<view::Channel> v = view::Get(chn);
            if (!v) continue;
            ASSERT_GE(v->thread, 0) << when;
            ASSERT_LT(v->thread, 4) << when;
            const VENC_ATTR_H264_S& pic = v->attr.stVeAttr.stAttrH264e;
            const uint64_t work = uint64_t{pic.u32PicWidth} * pic.u32PicHeight * v->frameRate;
            load[static_cast<size_t>(v->thread)] += work;
            heaviest = std::max(heaviest, work);
            mains[static_cast<size_t>(v->thread)] += pic.u32PicWidth == 704;
        }
        std::string seen;
        for (int t = 0; t < 4; ++t)
            seen += " " + std::to_string(mains[t]) + " mains/" + std::to_string(load[t]);
        const bool twoMains = std::any_of(mains.begin(), mains.end(), [](int m) { return m >= 2; });
        const bool onlySubs = std::any_of(mains.begin(), mains.end(), [](int m) { return m == 0; });
        EXPECT_FALSE(twoMains && onlySubs) << when << ":" << seen;
        const auto [least, most] = std::minmax_element(load.begin(), load.end());
        EXPECT_LE(*most - *least, heaviest) << when << ":" << seen;
    }
};

TEST_F(VencThreadsTest, MainsAndSubsSpreadOverTheThreadsAndStaySpreadAsChannelsChange) {
    // The program's numbering: main 2c and sub 2c + 1 of capture channel c.
    for (int c = 0; c < 8; ++c) {
        ASSERT_EQ(Create(2 * c, 704, 576, 25), MK_SUCCESS);
        ASSERT_EQ(Create(2 * c + 1, 352, 288, 25), MK_SUCCESS);
    }
    ExpectBalanced("made");
    // Two mains of one thread destroyed and made again as subs; two subs given the main's size.
    const int t0 = view::Get(0)->thread;
    int other = -1;
    for (int chn = 2; chn < 16; chn += 2) {
        if (view::Get(chn)->thread == t0) other = chn;
    }
    ASSERT_GE(other, 0) << "two mains on thread " << t0;
    ASSERT_EQ(MK_MPI_VENC_DestroyChn(0), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VENC_DestroyChn(other), MK_SUCCESS);
    ExpectBalanced("two mains of a thread destroyed");
    ASSERT_EQ(Create(0, 352, 288, 25), MK_SUCCESS);
    ASSERT_EQ(Create(other, 352, 288, 25), MK_SUCCESS);
    ExpectBalanced("made again as subs");
    ASSERT_EQ(Change(1, 704, 576, 25), MK_SUCCESS);
    ASSERT_EQ(Change(3, 704, 576, 25), MK_SUCCESS);
    ExpectBalanced("two subs given the main's size");
    // Mains slowed to two pictures a second weigh less than a sub.
    for (int chn = 0; chn < 16; ++chn) {
        if (view::Get(chn)->attr.stVeAttr.stAttrH264e.u32PicWidth == 704) {
            ASSERT_EQ(Change(chn, 704, 576, 2), MK_SUCCESS);
        }
    }
    ExpectBalanced("mains slowed");
}

// A channel moves between threads again and again (its rate makes it lighter, then heavier than the
// other) while pictures keep coming: both encode every picture they take, in the order taken.
TEST_F(VencThreadsTest, ChannelsThatMoveBetweenThreadsKeepTheirPicturesInOrder) {
    const int pool = drivers::VbPools::Instance().CreatePool(drivers::FrameBytes(64, 48), 16, "");
    ASSERT_GE(pool, 0);
    const MPP_CHN_S src[2] = {{MK_ID_VPSS, 1, 0}, {MK_ID_VPSS, 2, 0}};
    for (int chn = 0; chn < 2; ++chn) {
        ASSERT_EQ(Create(chn, 64, 48, 25), MK_SUCCESS);
        ASSERT_EQ(drivers::BindGraph::Instance().Bind(src[chn], MPP_CHN_S{MK_ID_VENC, 0, chn}), 0);
        ASSERT_EQ(MK_MPI_VENC_StartRecvPic(chn), MK_SUCCESS);
    }
    std::atomic<bool> done{false};
    std::atomic<int> moves{0};
    std::thread mover([&] {
        int last = view::Get(0)->thread;
        for (int i = 0; !done.load(); ++i) {
            Change(0, 64, 48, i % 2 ? 5 : 25);
            const int now = view::Get(0)->thread;
            moves += now != last;
            last = now;
            std::this_thread::yield();
        }
    });
    uint64_t lastPts[2] = {0, 0};
    auto fetch = [&](int chn) {
        for (;;) {
            VENC_PACK_S packs[8];
            VENC_STREAM_S st{};
            st.pstPack = packs;
            st.u32PackCnt = 8;
            if (MK_MPI_VENC_GetStream(chn, &st, 0) != MK_SUCCESS) return;
            EXPECT_GT(packs[0].u64Pts, lastPts[chn]) << "channel " << chn;
            lastPts[chn] = packs[0].u64Pts;
            ASSERT_EQ(MK_MPI_VENC_ReleaseStream(chn, &st), MK_SUCCESS);
        }
    };
    for (int i = 0; i < 150; ++i) {
        for (int chn = 0; chn < 2; ++chn) {
            std::optional<drivers::HeldFrame> f = drivers::AllocFrame(
                drivers::FrameBlocks{pool}, 64, 48, static_cast<uint64_t>(i + 1) * 40000, 0);
            ASSERT_TRUE(f);
            drivers::FrameRouter::Instance().Publish(src[chn], *f);
        }
        // At the live pace: the pictures are taken before the next come.
        ASSERT_TRUE(drivers::testing::Eventually(
            [&] { return view::Get(0)->pendingPictures == 0 && view::Get(1)->pendingPictures == 0; }));
        for (int chn = 0; chn < 2; ++chn) fetch(chn);
    }
    done = true;
    mover.join();
    EXPECT_GT(moves.load(), 0) << "the channel moved between threads";
    for (int chn = 0; chn < 2; ++chn) {
        ASSERT_TRUE(drivers::testing::Eventually([&] {
            const std::optional<view::Channel> v = view::Get(chn);
            return v->encodedFrames == v->receivedFrames;
        })) << "every picture taken is encoded, channel "
            << chn;
        fetch(chn);
        EXPECT_EQ(view::Get(chn)->missedFrames, 0u) << chn;
        EXPECT_GT(view::Get(chn)->encodedFrames, 0u) << chn;
        drivers::BindGraph::Instance().Unbind(MPP_CHN_S{MK_ID_VENC, 0, chn});
    }
    drivers::VbPools::Instance().Clear();
}

}  // namespace
