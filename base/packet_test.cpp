#include "base/packet.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

constexpr uint32_t KB = 1024;

// An arena the test owns, aligned or deliberately one byte off a 1 KiB boundary.
struct Arena {
    explicit Arena(uint32_t sizeKB, bool misaligned = false)
        : raw(static_cast<uint8_t*>(std::aligned_alloc(KB, (static_cast<size_t>(sizeKB) + 1) * KB))),
          buffer(misaligned ? raw + 1 : raw) {}
    ~Arena() { std::free(raw); }
    uint8_t* raw;
    uint8_t* buffer;
};

TEST(CPacketManagerTest, MisalignedArenaDropsOneUnitAndStartsEmpty) {
    Arena arena(4096, true);
    testing::internal::CaptureStdout();
    CPacketManagerImp pool(arena.buffer, 4096);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Adjust Page!"), std::string::npos);
    EXPECT_NE(out.find("Packet usage : 0K / 4095K, 0%"), std::string::npos) << out;
    EXPECT_EQ(pool.GetTotalKB(), 4095);
    EXPECT_EQ(pool.GetLevelCount(), 12);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(pool.GetBase()) % KB, 0u);
}

TEST(CPacketManagerTest, RequestsRoundUpToPowerOfTwoUnits) {
    Arena arena(1024);
    CPacketManagerImp pool(arena.buffer, 1024);
    struct Case {
        uint32_t request;
        uint32_t size;
    } cases[] = {{1, 1024},        {1024, 1024},     {1025, 2048},
                 {3 * KB, 4 * KB}, {5 * KB, 8 * KB}, {1024 * KB, 1024 * KB}};
    for (const Case& c : cases) {
        CPacketImp* p = pool.GetPacket(c.request);
        ASSERT_NE(p, nullptr) << c.request;
        EXPECT_EQ(p->GetSize(), c.size) << c.request;
        EXPECT_EQ(p->GetRef(), 1u);
        EXPECT_EQ(p->GetLength(), 0u);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p->GetBuffer()) % KB, 0u);
        EXPECT_EQ(p->Release(), 0u);
    }
    CPacketImp* empty = pool.GetPacket(0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->GetBuffer(), nullptr);
    EXPECT_EQ(empty->GetSize(), 0u);
    EXPECT_EQ(empty->GetRef(), 1u);
    empty->Release();
    EXPECT_EQ(pool.GetFreeKB(), 1024);
}

TEST(CPacketManagerTest, OversizedRequestsFailWithoutOverflow) {
    Arena arena(64);
    CPacketManagerImp pool(arena.buffer, 64);
    const uint32_t sizes[] = {65 * KB, 0xFFFFFFFFu, 0xFFFFFC01u, 0x80000001u};
    for (uint32_t size : sizes) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(pool.GetPacket(size), nullptr) << size;
        EXPECT_NE(testing::internal::GetCapturedStdout().find("none free node"), std::string::npos);
    }
    EXPECT_EQ(pool.GetFreeKB(), 64);
}

TEST(CPacketManagerTest, SplitsAndMergesAsTheBuddyRuleSays) {
    Arena arena(4096, true);
    CPacketManagerImp pool(arena.buffer, 4096);
    const auto start = pool.GetFreeNodes();
    CPacketImp* a = pool.GetPacket(1);
    CPacketImp* b = pool.GetPacket(1);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(a->GetBuffer(), pool.GetBase() + 4094 * KB);
    EXPECT_EQ(b->GetBuffer(), pool.GetBase() + 4092 * KB);
    auto nodes = pool.GetFreeNodes();
    EXPECT_EQ(nodes[0], std::vector<int>{4093});
    EXPECT_TRUE(nodes[1].empty());
    a->Release();
    b->Release();
    EXPECT_EQ(pool.GetFreeNodes(), start);
}

TEST(CPacketManagerTest, ArenaBelowSixteenKilobytesIsRefused) {
    Arena arena(8);
    testing::internal::CaptureStdout();
    CPacketManagerImp pool(arena.buffer, 8);
    EXPECT_EQ(pool.GetTotalKB(), 0);
    EXPECT_EQ(pool.GetPacket(1), nullptr);
    pool.DumpUsage();  // no division by an empty total
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Packet usage : 0K / 0K, 0%"), std::string::npos) << out;
    CPacketImp* p = pool.GetPacket(0);
    ASSERT_NE(p, nullptr);
    p->Release();
}

TEST(CPacketTest, PutBufferCopiesOnlyWhatFits) {
    Arena arena(16);
    CPacketManagerImp pool(arena.buffer, 16);
    CPacketImp* p = pool.GetPacket(1000);
    ASSERT_NE(p, nullptr);
    std::vector<uint8_t> data(1500, 0xAB);
    EXPECT_EQ(p->PutBuffer(data.data(), 1000), 1000u);
    EXPECT_EQ(p->GetLeft(), 24u);
    EXPECT_EQ(p->PutBuffer(data.data(), 500), 24u);
    EXPECT_EQ(p->GetLength(), 1024u);
    EXPECT_EQ(p->PutBuffer(data.data(), 1), 0u);
    EXPECT_EQ(p->SetLength(10), 10u);
    EXPECT_EQ(p->GetLeft(), 1014u);
    p->Release();
}

TEST(CPacketTest, AddRefKeepsBlockUntilLastRelease) {
    Arena arena(16);
    CPacketManagerImp pool(arena.buffer, 16);
    CPacketImp* p = pool.GetPacket(KB);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->AddRef(), 2u);
    EXPECT_EQ(p->Release(), 1u);
    EXPECT_EQ(pool.GetFreeKB(), 15);
    EXPECT_EQ(p->Release(), 0u);
    EXPECT_EQ(pool.GetFreeKB(), 16);
}

TEST(CPacketTest, ExtraInfoAndUserDataRoundTrip) {
    Arena arena(16);
    CPacketManagerImp pool(arena.buffer, 16);
    CPacketImp* p = pool.GetPacket(1);
    ASSERT_NE(p, nullptr);
    uint8_t in[CPacketImp::kExtraInfoSize], out[CPacketImp::kExtraInfoSize] = {};
    for (size_t i = 0; i < sizeof in; ++i) in[i] = static_cast<uint8_t>(i * 3);
    p->SetExtraInfo(in);
    p->GetExtraInfo(out);
    EXPECT_EQ(std::memcmp(in, out, sizeof in), 0);
    p->SetExtraInfo(nullptr);
    p->GetExtraInfo(nullptr);
    std::memset(p->GetUserData(), 0x5A, CPacketImp::kUserDataSize);
    p->ClearUserData();
    auto* user = static_cast<uint8_t*>(p->GetUserData());
    for (size_t i = 0; i < CPacketImp::kUserDataSize; ++i) ASSERT_EQ(user[i], 0) << i;
    p->Release();
}

TEST(CPacketTest, ProcessPoolServesPackets) {
    CPacketImp* p = CPacketManager::instance()->GetPacket(100);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->GetSize(), KB);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p->GetBuffer()) % KB, 0u);
    EXPECT_EQ(CPacketManager::instance(), CPacketManager::instance());
    p->Release();
}

// Takes packet objects of size 0 until the pool has to grow (by 1024 objects; it says so on the error
// stream); returns how many were free before that, all distinct, and releases them all.
int FreePacketObjects(CPacketManagerImp& pool) {
    std::vector<CPacketImp*> taken;
    std::set<CPacketImp*> distinct;
    for (;;) {
        testing::internal::CaptureStderr();
        CPacketImp* p = pool.GetPacket(0);
        const bool grew = !testing::internal::GetCapturedStderr().empty();
        if (p == nullptr) break;
        EXPECT_TRUE(distinct.insert(p).second) << "a packet object was handed out twice";
        if (grew) {
            p->Release();
            break;
        }
        taken.push_back(p);
    }
    for (CPacketImp* p : taken) p->Release();
    return static_cast<int>(taken.size());
}

// Several threads allocate and release against a model of the lent ranges: no two live packets
// overlap, every buffer is aligned and large enough, and the free lists and packet objects end as they
// started.
TEST(CPacketManagerTest, ConcurrentAllocReleaseKeepsBlocksDisjointAndRestoresFreeLists) {
    constexpr uint32_t kArenaKB = 2048;
    Arena arena(kArenaKB, true);
    CPacketManagerImp pool(arena.buffer, kArenaKB);
    const auto start = pool.GetFreeNodes();
    std::mutex modelMutex;
    std::map<uintptr_t, uintptr_t> live;  // start -> end of every lent block
    const uintptr_t lo = reinterpret_cast<uintptr_t>(pool.GetBase());
    const uintptr_t hi = lo + static_cast<uintptr_t>(pool.GetTotalKB()) * KB;

    const int objects = FreePacketObjects(pool);
    auto worker = [&](unsigned seed) {
        std::mt19937 rng(seed);
        std::vector<std::pair<CPacketImp*, uint8_t>> mine;
        for (int i = 0; i < 4000; ++i) {
            if (mine.size() < 24 && (rng() % 3 != 0 || mine.empty())) {
                uint32_t size = 1 + rng() % (rng() % 8 == 0 ? 64 * KB : 4 * KB);
                CPacketImp* p = pool.GetPacket(size);
                if (p == nullptr) continue;
                auto b = reinterpret_cast<uintptr_t>(p->GetBuffer());
                EXPECT_GE(p->GetSize(), size);
                EXPECT_EQ(p->GetSize() & (p->GetSize() - 1), 0u);
                EXPECT_EQ(b % KB, 0u);
                EXPECT_GE(b, lo);
                EXPECT_LE(b + p->GetSize(), hi);
                {
                    std::lock_guard<std::mutex> lock(modelMutex);
                    auto next = live.lower_bound(b);
                    if (next != live.end()) {
                        EXPECT_LE(b + p->GetSize(), next->first) << "overlaps a live block";
                    }
                    if (next != live.begin()) {
                        EXPECT_LE(std::prev(next)->second, b) << "overlaps a live block";
                    }
                    live[b] = b + p->GetSize();
                }
                auto mark = static_cast<uint8_t>(rng());
                std::memset(p->GetBuffer(), mark, p->GetSize());
                mine.emplace_back(p, mark);
            } else {
                size_t k = rng() % mine.size();
                auto [p, mark] = mine[k];
                const uint8_t* buf = p->GetBuffer();
                for (uint32_t j = 0; j < p->GetSize(); j += 97)
                    ASSERT_EQ(buf[j], mark) << "block was overwritten";
                {
                    std::lock_guard<std::mutex> lock(modelMutex);
                    live.erase(reinterpret_cast<uintptr_t>(p->GetBuffer()));
                }
                p->Release();
                mine[k] = mine.back();
                mine.pop_back();
            }
        }
        for (auto [p, mark] : mine) {
            {
                std::lock_guard<std::mutex> lock(modelMutex);
                live.erase(reinterpret_cast<uintptr_t>(p->GetBuffer()));
            }
            p->Release();
        }
    };
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 4; ++t) threads.emplace_back(worker, 1234 + t);
    for (auto& t : threads) t.join();
    EXPECT_TRUE(live.empty());
    EXPECT_EQ(pool.GetFreeKB(), pool.GetTotalKB());
    EXPECT_EQ(pool.GetFreeNodes(), start);
    // Every packet object came back once: the counting above grew the pool by one array of 1024.
    EXPECT_EQ(FreePacketObjects(pool), objects + 1024);
}

// Packets shared by several threads, each dropping its reference at the same time: every block and every
// packet object goes back exactly once.
TEST(CPacketManagerTest, SharedPacketsReleasedFromManyThreadsReturnExactlyOnce) {
    constexpr int kThreads = 4;
    Arena arena(1024);
    CPacketManagerImp pool(arena.buffer, 1024);
    // A 1024 KiB pool starts with 64 objects; each count grows it by 1024.
    const int objects = FreePacketObjects(pool);
    EXPECT_EQ(objects, 1024 / 16);
    for (int round = 0; round < 50; ++round) {
        std::vector<CPacketImp*> shared;
        for (int i = 0; i < 40; ++i) {
            CPacketImp* p = pool.GetPacket(1 + (i % 5) * KB);
            ASSERT_NE(p, nullptr);
            for (int r = 1; r < kThreads; ++r) p->AddRef();
            shared.push_back(p);
        }
        std::atomic<int> lastReleases{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&] {
                for (CPacketImp* p : shared) lastReleases += p->Release() == 0;
            });
        }
        for (auto& t : threads) t.join();
        EXPECT_EQ(lastReleases.load(), 40);
        ASSERT_EQ(pool.GetFreeKB(), 1024) << "round " << round;
    }
    EXPECT_EQ(FreePacketObjects(pool), objects + 1024);
}

TEST(CPacketDeathTest, MisuseStopsTheProgram) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Arena arena(16);
    CPacketManagerImp pool(arena.buffer, 16);
    CPacketImp* p = pool.GetPacket(1);
    ASSERT_NE(p, nullptr);
    EXPECT_DEATH(p->SetLength(2 * KB), "dwLength <= m_Size");
    p->AddRef();
    p->Release();
    p->Release();
    EXPECT_DEATH(p->Release(), "m_RefCount > 0");
}

}  // namespace
