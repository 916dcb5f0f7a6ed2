#include "app/comm/buf_list.h"

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

TEST(BufListTest, HeadWithoutAPieceStaysAndGivesNothing) {
    BufList* l = BufListCreate(7);
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(BufListGet(l), nullptr);
    BufNode* empty = BufListAlloc(16, 0);
    BufNode* full = BufListAlloc(16, 0);
    ASSERT_EQ(BufListCopy(full, "abcd", 4), 0);
    ASSERT_EQ(BufListAdd2List(l, empty), 0);
    ASSERT_EQ(BufListAdd2List(l, full), 0);
    EXPECT_EQ(BufListGet(l), nullptr);
    EXPECT_EQ(l->pHead, empty) << "the head stays";
    BufListInfoS info;
    ASSERT_EQ(BufListInfo(l, &info), 0);
    EXPECT_EQ(info.u32Nodes, 2u);
    EXPECT_EQ(info.u32Bytes, 4u);
    ASSERT_EQ(BufListCopyEx(empty, 0, "xy", 2), 0);
    EXPECT_EQ(BufListGet(l), empty);
    EXPECT_EQ(BufListGet(l), full);
    EXPECT_EQ(BufListGet(l), nullptr);
    EXPECT_EQ(l->pTail, nullptr);
    EXPECT_EQ(BufListFree(empty), 0);
    EXPECT_EQ(BufListFree(full), 0);
    EXPECT_EQ(BufListDestory(l), 0);
}

TEST(BufListTest, AlignedDataStartsPastTheRawBlock) {
    struct Case {
        uint32_t align;
    } cases[] = {{0}, {1}, {2}, {3}, {4}, {64}};
    for (const Case& c : cases) {
        BufNode* n = BufListAlloc(10, c.align);
        ASSERT_NE(n, nullptr);
        uintptr_t raw = reinterpret_cast<uintptr_t>(n->pu8Raw);
        uintptr_t ali = reinterpret_cast<uintptr_t>(n->pu8Aligned);
        if (c.align < 2) {
            EXPECT_EQ(ali, raw);
        } else {
            EXPECT_EQ(ali % c.align, 0u) << c.align;
            EXPECT_GT(ali, raw) << "an aligned block still moves by a whole step";
            EXPECT_LE(ali - raw, c.align);
        }
        // The whole capacity is usable behind the aligned start (ASan checks the block's end).
        std::vector<uint8_t> src(10, 0x5A);
        EXPECT_EQ(BufListCopyEx(n, 0, src.data(), 10), 0);
        BufListFree(n);
    }
    // malloc gives 16-byte aligned blocks: alignment 4 starts 4 bytes in.
    BufNode* n = BufListAlloc(8, 4);
    EXPECT_EQ(n->pu8Aligned - n->pu8Raw, 4);
    BufListFree(n);
}

TEST(BufListTest, CopiesStayWithinTheCapacity) {
    BufNode* n = BufListAlloc(100, 4);
    std::vector<uint8_t> src(101, 1);
    EXPECT_EQ(BufListCopyEx(n, 60, src.data(), 40), 0) << "offset + length = capacity";
    EXPECT_EQ(BufListCopyEx(n, 60, src.data(), 41), -1);
    EXPECT_EQ(BufListCopyEx(n, 0xFFFFFFF0u, src.data(), 0x20), -1) << "offset + length wraps";
    EXPECT_EQ(BufListCopy(n, src.data(), 101), -1);
    EXPECT_EQ(BufListCopy(n, src.data(), BUFLIST_MAX_LEN + 1), -1);
    EXPECT_EQ(BufListCopy(n, nullptr, 1), -1);
    EXPECT_EQ(BufListCopy(nullptr, src.data(), 1), -1);
    EXPECT_EQ(n->u32Pieces, 1u);
    EXPECT_EQ(n->u32Used, 40u);
    BufListFree(n);
    EXPECT_EQ(BufListAlloc(BUFLIST_MAX_LEN + 1, 0), nullptr);
}

// Copy writes at the start: two copies cover as far as the longer one, not their sum.
TEST(BufListTest, RepeatedCopyCountsTheDataOnce) {
    BufNode* n = BufListAlloc(64, 0);
    ASSERT_EQ(BufListCopy(n, "0123456789", 10), 0);
    ASSERT_EQ(BufListCopy(n, "abcd", 4), 0);
    EXPECT_EQ(n->u32Used, 10u);
    EXPECT_EQ(n->u32Pieces, 2u);
    EXPECT_EQ(std::memcmp(n->pu8Aligned, "abcd456789", 10), 0);
    BufListFree(n);
}

TEST(BufListTest, MissingListsAndNodes) {
    BufListInfoS info{5, 5};
    EXPECT_EQ(BufListInfo(nullptr, &info), 0);
    EXPECT_EQ(info.u32Nodes, 0u);
    EXPECT_EQ(info.u32Bytes, 0u);
    BufList* l = BufListCreate(1);
    EXPECT_EQ(BufListInfo(l, nullptr), -1);
    EXPECT_EQ(BufListAdd2List(l, nullptr), -1);
    EXPECT_EQ(BufListAdd2List(nullptr, nullptr), -1);
    EXPECT_EQ(BufListClear(nullptr), -1);
    EXPECT_EQ(BufListDestory(nullptr), -1);
    EXPECT_EQ(BufListFree(nullptr), -1);
    EXPECT_EQ(BufListGet(nullptr), nullptr);
    // Clear frees whatever the list holds, pieces or not.
    for (int i = 0; i < 3; ++i) BufListAdd2List(l, BufListAlloc(8, 0));
    EXPECT_EQ(BufListClear(l), 0);
    ASSERT_EQ(BufListInfo(l, &info), 0);
    EXPECT_EQ(info.u32Nodes, 0u);
    EXPECT_EQ(BufListDestory(l), 0);
}

// A producer and a consumer on one list, with Info and Clear meanwhile: every node taken is whole.
TEST(BufListTest, ProducerAndConsumerShareOneList) {
    BufList* l = BufListCreate(3);
    constexpr uint32_t kNodes = 2000;
    std::atomic<uint32_t> taken{0};
    std::atomic<bool> produced{false};
    std::thread producer([&] {
        for (uint32_t i = 0; i < kNodes; ++i) {
            BufNode* n = BufListAlloc(8, 4);
            uint32_t words[2] = {i, ~i};
            BufListCopy(n, words, 8);
            BufListAdd2List(l, n);
        }
        produced = true;
    });
    std::thread consumer([&] {
        for (;;) {
            BufNode* n = BufListGet(l);
            if (n == nullptr) {
                BufListInfoS left;
                if (produced.load() && BufListInfo(l, &left) == 0 && left.u32Nodes == 0) break;
                std::this_thread::yield();
                continue;
            }
            uint32_t words[2];
            std::memcpy(words, n->pu8Aligned, 8);
            EXPECT_EQ(words[1], ~words[0]);
            BufListFree(n);
            ++taken;
        }
    });
    std::thread watcher([&] {
        BufListInfoS info;
        while (!produced.load()) {
            ASSERT_EQ(BufListInfo(l, &info), 0);
            EXPECT_EQ(info.u32Bytes, info.u32Nodes * 8);
        }
    });
    producer.join();
    watcher.join();
    consumer.join();
    EXPECT_EQ(taken.load(), kNodes);
    EXPECT_EQ(BufListDestory(l), 0);
}

}  // namespace
