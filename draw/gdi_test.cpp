#include "draw/gdi.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

std::vector<int> g_order;  // which plain listener ran, in order (one thread at a time)

int ListenerA(uint32_t, uint32_t, uint32_t, int) {
    g_order.push_back(1);
    return 0;
}
int ListenerB(uint32_t, uint32_t, uint32_t, int) {
    g_order.push_back(2);
    return 0;
}
int ListenerC(uint32_t, uint32_t, uint32_t, int) {
    g_order.push_back(3);
    return 0;
}
int ListenerD(uint32_t, uint32_t, uint32_t, int) {
    g_order.push_back(4);
    return 0;
}
// Removes itself during its own call.
int SelfRemoving(uint32_t, uint32_t, uint32_t, int) {
    g_order.push_back(9);
    CGDI::instance()->removeListener(GdiListener::Plain(SelfRemoving));
    return 0;
}

class Receiver : public CGdiObject {
public:
    int OnMessage(uint32_t msg, uint32_t first, uint32_t second, int reserved) {
        last = {msg, first, second, static_cast<uint32_t>(reserved)};
        ++calls;
        return 0;
    }
    int Other(uint32_t, uint32_t, uint32_t, int) { return 0; }
    std::vector<uint32_t> last;
    int calls = 0;
};

class GdiTest : public ::testing::Test {
protected:
    void SetUp() override { g_order.clear(); }
    void TearDown() override {
        // The front lives for the whole process: leave it without listeners and messages.
        for (GdiPlainProc fn : {ListenerA, ListenerB, ListenerC, ListenerD, SelfRemoving}) {
            while (gdi->removeListener(GdiListener::Plain(fn))) {}
        }
        for (Receiver* r : {&r1, &r2}) {
            gdi->removeListener(GdiListener::Member(r, &Receiver::OnMessage));
            gdi->removeListener(GdiListener::Member(r, &Receiver::Other));
        }
        while (gdi->getMessage(nullptr, nullptr, nullptr, false)) {}
    }
    CGDI* gdi = CGDI::instance();
    Receiver r1, r2;
};

TEST_F(GdiTest, FourListenersAtMostAndNoTwins) {
    EXPECT_EQ(gdi->addListener(GdiListener::Plain(ListenerA)), 1);
    EXPECT_EQ(gdi->addListener(GdiListener::Plain(ListenerA)), 0) << "the same function twice";
    EXPECT_EQ(gdi->addListener(GdiListener::Plain(ListenerB)), 1);
    EXPECT_EQ(gdi->addListener(GdiListener::Member(&r1, &Receiver::OnMessage)), 1);
    EXPECT_EQ(gdi->addListener(GdiListener::Member(&r1, &Receiver::OnMessage)), 0) << "same object and member";
    EXPECT_EQ(gdi->addListener(GdiListener::Member(&r2, &Receiver::OnMessage)), 1) << "another object";
    EXPECT_EQ(gdi->addListener(GdiListener::Plain(ListenerC)), 0) << "a fifth";
    EXPECT_TRUE(gdi->removeListener(GdiListener::Plain(ListenerB)));
    EXPECT_FALSE(gdi->removeListener(GdiListener::Plain(ListenerB)));
    EXPECT_EQ(gdi->addListener(GdiListener::Plain(ListenerC)), 1) << "a freed entry is taken again";
}

TEST_F(GdiTest, KindsAndSameness) {
    GdiListener none{};
    EXPECT_EQ(gdi->addListener(none), 0);
    EXPECT_FALSE(gdi->removeListener(none));
    GdiListener odd = GdiListener::Plain(ListenerA);
    odd.kind = 3;
    EXPECT_EQ(gdi->addListener(odd), 0) << "a kind that no post can call";
    EXPECT_EQ(gdi->addListener(GdiListener::Plain(nullptr)), 0);

    const GdiListener m1 = GdiListener::Member(&r1, &Receiver::OnMessage);
    EXPECT_TRUE(CGDI::sameListener(m1, GdiListener::Member(&r1, &Receiver::OnMessage)));
    EXPECT_FALSE(CGDI::sameListener(m1, GdiListener::Member(&r2, &Receiver::OnMessage)));
    EXPECT_FALSE(CGDI::sameListener(m1, GdiListener::Member(&r1, &Receiver::Other)));
    EXPECT_FALSE(CGDI::sameListener(m1, GdiListener::Plain(ListenerA)));
    EXPECT_TRUE(CGDI::sameListener(GdiListener::Plain(ListenerA), GdiListener::Plain(ListenerA)));
    EXPECT_FALSE(CGDI::sameListener(GdiListener::Plain(ListenerA), GdiListener::Plain(ListenerB)));
    GdiListener nullMember1{}, nullMember2{};
    nullMember1.kind = nullMember2.kind = GdiListener::kMember;
    EXPECT_TRUE(CGDI::sameListener(nullMember1, nullMember2));
}

TEST_F(GdiTest, DirectPostCallsListenersInTableOrder) {
    ASSERT_EQ(gdi->addListener(GdiListener::Plain(ListenerA)), 1);
    ASSERT_EQ(gdi->addListener(GdiListener::Member(&r1, &Receiver::OnMessage)), 1);
    ASSERT_EQ(gdi->addListener(GdiListener::Plain(ListenerB)), 1);
    EXPECT_EQ(gdi->postMessage(0x20006, 1, 0x00100020, true), 1);
    EXPECT_EQ(g_order, (std::vector<int>{1, 2}));
    EXPECT_EQ(r1.last, (std::vector<uint32_t>{0x20006, 1, 0x00100020, 0}));
    EXPECT_EQ(gdi->getMessage(nullptr, nullptr, nullptr, false), 0) << "a direct post is not queued";
}

TEST_F(GdiTest, ListenerRemovingItselfIsNotCalledAgain) {
    ASSERT_EQ(gdi->addListener(GdiListener::Plain(SelfRemoving)), 1);
    ASSERT_EQ(gdi->addListener(GdiListener::Plain(ListenerB)), 1);
    ASSERT_EQ(gdi->addListener(GdiListener::Plain(ListenerC)), 1);
    gdi->postMessage(1, 0, 0, true);
    gdi->postMessage(2, 0, 0, true);
    EXPECT_EQ(g_order, (std::vector<int>{9, 2, 3, 2, 3}));
    // Its entry was reset, and is the first free one again.
    ASSERT_EQ(gdi->addListener(GdiListener::Plain(ListenerD)), 1);
    g_order.clear();
    gdi->postMessage(3, 0, 0, true);
    EXPECT_EQ(g_order, (std::vector<int>{4, 2, 3}));
}

TEST_F(GdiTest, QueuedPostReachesNoListener) {
    ASSERT_EQ(gdi->addListener(GdiListener::Plain(ListenerA)), 1);
    EXPECT_EQ(gdi->postMessage(0x20008, 1, 0x00050006, false), 1);
    EXPECT_TRUE(g_order.empty());
    uint32_t msg = 0, first = 0, second = 0;
    EXPECT_EQ(gdi->getMessage(&msg, &first, &second, true), 1);
    EXPECT_EQ(msg, 0x20008u);
    EXPECT_EQ(first, 1u);
    EXPECT_EQ(second, 0x00050006u);
    EXPECT_EQ(gdi->getMessage(&msg, &first, &second, false), 0);
}

TEST_F(GdiTest, QueueHoldsItsCapacity) {
    for (int i = 0; i < CGDI::kQueueSize; ++i) ASSERT_EQ(gdi->postMessage(uint32_t(i), 0, 0, false), 1);
    EXPECT_EQ(gdi->postMessage(9999, 0, 0, false), 0);
    uint32_t msg = 0;
    ASSERT_EQ(gdi->getMessage(&msg, nullptr, nullptr, false), 1);
    EXPECT_EQ(msg, 0u) << "oldest first";
}

std::atomic<int> g_steady{0};
std::atomic<int> g_churn{0};
int Steady(uint32_t, uint32_t, uint32_t, int) {
    g_steady.fetch_add(1, std::memory_order_relaxed);
    return 0;
}
int Churn(uint32_t, uint32_t, uint32_t, int) {
    g_churn.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

// Listeners added and removed on other threads while posts run: each post reaches the listener that
// stays registered throughout, and nothing reads an entry while it changes.
TEST_F(GdiTest, ListenersChangedWhilePosting) {
    ASSERT_EQ(gdi->addListener(GdiListener::Plain(Steady)), 1);
    constexpr int kPosts = 20000;
    std::atomic<bool> done{false};
    std::vector<std::thread> changers;
    for (int t = 0; t < 2; ++t) {
        changers.emplace_back([&, t] {
            Receiver own;
            while (!done.load()) {
                if (t == 0) {
                    gdi->addListener(GdiListener::Plain(Churn));
                    gdi->removeListener(GdiListener::Plain(Churn));
                } else {
                    gdi->addListener(GdiListener::Member(&own, &Receiver::Other));
                    gdi->removeListener(GdiListener::Member(&own, &Receiver::Other));
                }
            }
        });
    }
    std::thread poster([&] {
        for (int i = 0; i < kPosts; ++i) gdi->postMessage(0x20006, 0, uint32_t(i), true);
    });
    poster.join();
    done.store(true);
    for (auto& th : changers) th.join();
    EXPECT_EQ(g_steady.load(), kPosts);
    EXPECT_TRUE(gdi->removeListener(GdiListener::Plain(Steady)));
    EXPECT_FALSE(gdi->removeListener(GdiListener::Plain(Churn)));
}

}  // namespace
