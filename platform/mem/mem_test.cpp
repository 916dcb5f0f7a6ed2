#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/host/test_bus.h"
#include "platform/mem/ram.h"
#include "platform/mem/zone.h"

namespace varnelle::mem {
namespace {

class RamTest : public ::testing::Test {
protected:
    // Each test makes its RAM file afresh in the program's private bus directory.
    void SetUp() override {
        m_path = host::UsePrivateBus("mem") + "/ram-1";
        m_ram = std::make_unique<Ram>(m_path, 1, kSlaveRamSize, true);
        ASSERT_TRUE(m_ram->ok());
    }
    void TearDown() override {
        m_ram.reset();
        unlink(m_path.c_str());
    }
    std::string m_path;
    std::unique_ptr<Ram> m_ram;
};

TEST(PageMathTest, SpansCoverEveryTouchedPage) {
    struct Case {
        uint64_t addr, length, start, span;
    } cases[] = {
        {0x40000000, 0x1000, 0x40000000, 0x1000}, {0x40000010, 0x1000, 0x40000000, 0x2000},
        {0x40000FFF, 1, 0x40000000, 0x1000},      {0x40000FFF, 2, 0x40000000, 0x2000},
        {0x40000000, 0, 0x40000000, 0x1000},      {0x40001000, 0x3001, 0x40001000, 0x4000},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PageStart(c.addr), c.start) << std::hex << c.addr;
        EXPECT_EQ(PageSpan(c.addr, c.length), c.span) << std::hex << c.addr << " " << c.length;
    }
}

TEST_F(RamTest, MappingsOfOnePhysicalAddressAlias) {
    const uint32_t phys = 0x40123456;
    auto* a = static_cast<char*>(m_ram->Map(phys, 100));
    auto* b = static_cast<char*>(m_ram->Map(phys - 0x56, 0x200));
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a) & 0xFFF, 0x456u);
    std::strcpy(a, "alias");
    EXPECT_STREQ(b + 0x56, "alias");
    char back[6] = {};
    ASSERT_TRUE(m_ram->Read(phys, back, 6));
    EXPECT_STREQ(back, "alias");
    ASSERT_TRUE(m_ram->Write(phys, "ALIAS", 5));
    EXPECT_EQ(std::memcmp(b + 0x56, "ALIAS", 5), 0);
    EXPECT_EQ(Ram::Unmap(a, 100), 0);
    EXPECT_EQ(Ram::Unmap(b, 0x200), 0);
}

TEST_F(RamTest, RangesOutsideRamAreRefused) {
    struct Case {
        uint64_t phys, length;
        bool inside;
    } cases[] = {
        {0x3FFFFFFF, 1, false},
        {0x40000000, 1, true},
        {0xBFFFFFFF, 1, true},
        {0xBFFFFFFF, 2, false},
        {0xC0000000, 1, false},
        {0x40000000, kSlaveRamSize, true},
        {0x40000000, kSlaveRamSize + 1, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(m_ram->Contains(c.phys, c.length), c.inside) << std::hex << c.phys << " " << c.length;
    }
    EXPECT_EQ(m_ram->Map(0x30000000, 16), nullptr);
    char byte;
    EXPECT_FALSE(m_ram->Read(0xC0000000, &byte, 1));
}

TEST_F(RamTest, MirrorReadsOnPastTheEnd) {
    const uint32_t phys = 0x40200000;
    const size_t len = 4 * kPageSize;
    auto* ring = static_cast<char*>(m_ram->MapMirror(phys, len));
    ASSERT_NE(ring, nullptr);
    std::memcpy(ring + len - 3, "abcdef", 6);  // written through the mirror
    EXPECT_EQ(std::memcmp(ring, "def", 3), 0);
    EXPECT_EQ(std::memcmp(ring + len - 3, "abc", 3), 0);
    EXPECT_EQ(m_ram->MapMirror(phys + 1, len), nullptr);
    EXPECT_EQ(m_ram->MapMirror(phys, len + 1), nullptr);
    EXPECT_EQ(Ram::UnmapMirror(ring, len), 0);
}

TEST(ZoneAllocatorTest, BlocksNeverOverlapAndFreeingRestoresTheZone) {
    ZoneAllocator zones(kRamBase, 64 * kPageSize);
    std::mt19937 rng(7);
    std::map<uint32_t, uint64_t> live;
    for (int i = 0; i < 2000; ++i) {
        if (live.empty() || rng() % 3 != 0) {
            uint64_t size = 1 + rng() % (3 * kPageSize);
            uint32_t p = zones.Allocate(size);
            if (p == 0) continue;
            EXPECT_EQ(p % kPageSize, 0u);
            auto next = live.lower_bound(p);
            if (next != live.end()) {
                EXPECT_LE(p + PageSpan(0, size), next->first);
            }
            if (next != live.begin()) {
                auto prev = std::prev(next);
                EXPECT_LE(prev->first + prev->second, p);
            }
            live[p] = PageSpan(0, size);
        } else {
            auto it = live.begin();
            std::advance(it, rng() % live.size());
            EXPECT_TRUE(zones.Free(it->first));
            live.erase(it);
        }
    }
    for (auto& [p, s] : live) EXPECT_TRUE(zones.Free(p));
    EXPECT_EQ(zones.UsedBytes(), 0u);
    EXPECT_NE(zones.Allocate(64 * kPageSize), 0u) << "free space must coalesce back into one run";
}

TEST(ZoneAllocatorTest, NamedZonesAndLookups) {
    ZoneAllocator zones(kRamBase, 16 * kPageSize);
    EXPECT_EQ(zones.Allocate(kPageSize, "ddr1"), 0u) << "unknown zone";
    ASSERT_TRUE(zones.AddZone("ddr1", kRamBase + 8 * kPageSize, 8 * kPageSize));
    EXPECT_FALSE(zones.AddZone("ddr1", kRamBase, kPageSize));
    uint32_t a = zones.Allocate(100, "ddr1", "blk");
    EXPECT_GE(a, kRamBase + 8 * kPageSize);
    auto found = zones.Find(a + 99);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->phys, a);
    EXPECT_EQ(found->name, "blk");
    EXPECT_EQ(found->zone, "ddr1");
    EXPECT_FALSE(zones.Find(a + kPageSize).has_value());
    EXPECT_EQ(zones.Allocate(9 * kPageSize), 0u) << "the default zone lost the named range";
    EXPECT_FALSE(zones.Free(a + 1));
    EXPECT_TRUE(zones.Free(a));
    EXPECT_EQ(zones.Allocate(0), 0u);
    EXPECT_EQ(zones.Allocate(UINT64_MAX), 0u);
}

TEST(ZoneAllocatorTest, ConcurrentAllocationsAreDisjoint) {
    ZoneAllocator zones(kRamBase, 1024 * kPageSize);
    std::vector<std::vector<uint32_t>> got(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                uint32_t p = zones.Allocate(kPageSize);
                if (p) got[t].push_back(p);
                if (i % 2 && !got[t].empty()) {
                    zones.Free(got[t].back());
                    got[t].pop_back();
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    std::set<uint32_t> all;
    size_t count = 0;
    for (auto& v : got) {
        count += v.size();
        all.insert(v.begin(), v.end());
    }
    EXPECT_EQ(all.size(), count);
    EXPECT_EQ(zones.BlockCount(), count);
}

}  // namespace
}  // namespace varnelle::mem
