#include "base/msg_que.h"

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/internal/test_event.h"

namespace {

using varnelle::base::testing::Event;

TEST(CMsgQueTest, MessagesComeOutInSendingOrderWhateverThePriority) {
    CMsgQue q(16);
    const uint32_t priorities[] = {9, 0, 5, 1, 9, 3};
    for (uint32_t i = 0; i < 6; ++i) ASSERT_TRUE(q.SendMessage(100 + i, i, i * 2, priorities[i]));
    EXPECT_EQ(q.GetMessageCount(), 6);
    for (uint32_t i = 0; i < 6; ++i) {
        CMsgQue::MSG msg;
        ASSERT_TRUE(q.RecvMessage(&msg, false));
        EXPECT_EQ(msg.msg, 100 + i);
        EXPECT_EQ(msg.wParam, i);
        EXPECT_EQ(msg.lParam, i * 2);
    }
    CMsgQue::MSG msg;
    EXPECT_FALSE(q.RecvMessage(&msg, false));
}

TEST(CMsgQueTest, CapacityAndPriorityLimitSends) {
    CMsgQue none(0);
    EXPECT_FALSE(none.SendMessage(1));
    CMsgQue q(2);
    EXPECT_FALSE(q.SendMessage(1, 0, 0, 10));
    EXPECT_TRUE(q.SendMessage(1));
    EXPECT_TRUE(q.SendMessage(2));
    EXPECT_FALSE(q.SendMessage(3));
    CMsgQue::MSG msg;
    ASSERT_TRUE(q.RecvMessage(&msg, false));
    EXPECT_TRUE(q.SendMessage(3));
    EXPECT_EQ(q.GetMessageSize(), 2);
    q.SetMessageSize(1);  // queued messages stay
    EXPECT_EQ(q.GetMessageCount(), 2);
    EXPECT_FALSE(q.SendMessage(4));
}

TEST(CMsgQueTest, QuitRefusesSendsButKeepsQueuedMessages) {
    CMsgQue q(4);
    ASSERT_TRUE(q.SendMessage(7));
    q.QuitMessage();
    EXPECT_FALSE(q.SendMessage(8));
    CMsgQue::MSG msg;
    ASSERT_TRUE(q.RecvMessage(&msg, true));
    EXPECT_EQ(msg.msg, 7u);
}

TEST(CMsgQueTest, WaitingReceiveReturnsOnlyWithAnotherThreadsMessage) {
    CMsgQue q(4);
    Event waiting;
    CMsgQue::MSG got{};
    std::thread receiver([&] {
        waiting.Set();
        EXPECT_TRUE(q.RecvMessage(&got, true));
    });
    ASSERT_TRUE(waiting.Wait());
    ASSERT_TRUE(q.SendMessage(55, 1, 2));
    receiver.join();
    EXPECT_EQ(got.msg, 55u);
    EXPECT_EQ(got.wParam, 1u);
}

TEST(CMsgQueTest, ClearLeavesQueueEmptySoNextWaitingReceiveBlocks) {
    CMsgQue q(8);
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(q.SendMessage(static_cast<uint32_t>(i)));
    q.ClearMessage();
    EXPECT_EQ(q.GetMessageCount(), 0);
    CMsgQue::MSG msg;
    EXPECT_FALSE(q.RecvMessage(&msg, false));
    std::thread receiver([&] {
        CMsgQue::MSG m;
        EXPECT_TRUE(q.RecvMessage(&m, true));
        EXPECT_EQ(m.msg, 99u);  // not a cleared message
    });
    ASSERT_TRUE(q.SendMessage(99));
    receiver.join();
}

TEST(CMsgQueTest, ParametersCarryPointers) {
    CMsgQue q(1);
    int value = 3;
    ASSERT_TRUE(q.SendMessage(1, reinterpret_cast<uintptr_t>(&value), 0));
    CMsgQue::MSG msg;
    ASSERT_TRUE(q.RecvMessage(&msg, false));
    EXPECT_EQ(reinterpret_cast<int*>(msg.wParam), &value);
}

// Waiting and non-waiting receivers and a clearer share one queue; nobody may block for ever and
// each receiver sees every sender's messages in order.
TEST(CMsgQueTest, StressMixedReceiversAndClearNeverDeadlock) {
    constexpr int kSenders = 4;
    constexpr int kPerSender = 5000;
    constexpr int kWaiters = 2;
    constexpr uint32_t kEnd = 0xFFFF;
    CMsgQue q(64);
    std::atomic<bool> sendersDone{false};
    std::atomic<bool> stopClearer{false};
    std::atomic<long> received{0};

    auto checkOrder = [](std::vector<int>& last, const CMsgQue::MSG& m) {
        int sender = static_cast<int>(m.wParam);
        int seq = static_cast<int>(m.lParam);
        EXPECT_GT(seq, last[static_cast<size_t>(sender)]);
        last[static_cast<size_t>(sender)] = seq;
    };

    std::vector<std::thread> threads;
    for (int w = 0; w < kWaiters; ++w) {
        threads.emplace_back([&] {
            std::vector<int> last(kSenders, -1);
            CMsgQue::MSG m;
            while (q.RecvMessage(&m, true)) {
                if (m.msg == kEnd) break;
                checkOrder(last, m);
                ++received;
            }
        });
    }
    for (int n = 0; n < 2; ++n) {
        threads.emplace_back([&] {
            std::vector<int> last(kSenders, -1);
            CMsgQue::MSG m;
            while (!sendersDone.load()) {
                if (q.RecvMessage(&m, false)) {
                    if (m.msg == kEnd) {
                        q.SendMessage(kEnd);  // not ours; hand it back
                        continue;
                    }
                    checkOrder(last, m);
                    ++received;
                } else {
                    std::this_thread::yield();
                }
            }
        });
    }
    std::thread clearer([&] {
        while (!stopClearer.load()) {
            q.ClearMessage();
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&, s] {
            for (int i = 0; i < kPerSender; ++i) {
                while (!q.SendMessage(1, static_cast<uintptr_t>(s), static_cast<uintptr_t>(i)))
                    std::this_thread::yield();
            }
        });
    }
    for (auto& t : senders) t.join();
    stopClearer = true;
    clearer.join();
    sendersDone = true;
    for (int w = 0; w < kWaiters; ++w) {
        while (!q.SendMessage(kEnd)) std::this_thread::yield();
    }
    for (auto& t : threads) t.join();
    EXPECT_LE(received.load(), static_cast<long>(kSenders) * kPerSender);
    EXPECT_EQ(q.GetMessageCount(), 0);
}

}  // namespace
