#include "platform/drivers/mmz/mmz_driver.h"

#include <fcntl.h>

#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/dev/dev.h"
#include "platform/host/test_bus.h"
#include "platform/mem/ram.h"
#include "platform/mem/zone.h"
#include "sdk/sys/mk_mmz.h"

namespace {

namespace dev = varnelle::dev;
namespace mem = varnelle::mem;
using varnelle::drivers::MmzDriver;

class MmzDriverTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        varnelle::host::UsePrivateBus("mmzdrv");
        varnelle::drivers::InstallMmzDriver();
        ASSERT_TRUE(mem::ZoneAllocator::Local().AddZone("jpeg", 0x50000000, 16 << 20));
    }
    void SetUp() override {
        m_fd = dev::Open("/dev/mmz_userdev", O_RDWR);
        ASSERT_GE(m_fd, 0);
        m_blocksBefore = Driver().BlockCount();
    }
    void TearDown() override {
        EXPECT_EQ(Driver().BlockCount(), m_blocksBefore) << "a test leaked a block";
        dev::Close(m_fd);
    }
    static MmzDriver& Driver() { return *dev::Registry::Get<MmzDriver>("/dev/mmz_userdev"); }
    static MMZ_BLOCK_REQ_S Block(uint32_t size, const char* name = "", const char* zone = "") {
        MMZ_BLOCK_REQ_S req{};
        req.u32Size = size;
        req.u32ProtFlags = MK_MMZ_PROT_FLAGS;
        std::strncpy(req.acMmbName, name, MK_MMZ_MMB_NAME_LEN);
        std::strncpy(req.acZoneName, zone, MK_MMZ_ZONE_NAME_LEN);
        return req;
    }

    int m_fd = -1;
    size_t m_blocksBefore = 0;
};

TEST_F(MmzDriverTest, AllocatedBlockMapsOntoItsRamAndFreesAgain) {
    MMZ_BLOCK_REQ_S req = Block(10000, "AENC(0)StrmBuf", "jpeg");
    ASSERT_EQ(dev::Ioctl(m_fd, MK_MMZ_IOC_ALLOC, &req), 0);
    ASSERT_NE(req.u32PhyAddr, 0u);
    auto block = mem::ZoneAllocator::Local().Find(req.u32PhyAddr);
    ASSERT_TRUE(block.has_value());
    EXPECT_EQ(block->name, "AENC(0)StrmBuf");
    EXPECT_EQ(block->zone, "jpeg");
    ASSERT_EQ(dev::Ioctl(m_fd, MK_MMZ_IOC_REMAP, &req), 0);
    ASSERT_NE(req.pVirAddr, nullptr);
    EXPECT_FALSE(Driver().IsCachedMapping(req.pVirAddr));
    std::memcpy(static_cast<char*>(req.pVirAddr) + 9990, "zone", 5);
    char back[5] = {};
    ASSERT_TRUE(mem::Ram::Local().Read(req.u32PhyAddr + 9990, back, 5));
    EXPECT_STREQ(back, "zone");

    EXPECT_EQ(dev::Ioctl(m_fd, MK_MMZ_IOC_FREE, &req), -1) << "a mapped block is not freed";
    EXPECT_EQ(errno, EBUSY);
    ASSERT_EQ(dev::Ioctl(m_fd, MK_MMZ_IOC_UNMAP, &req), 0);
    EXPECT_EQ(dev::Ioctl(m_fd, MK_MMZ_IOC_UNMAP, &req), -1);
    EXPECT_EQ(errno, EINVAL);
    ASSERT_EQ(dev::Ioctl(m_fd, MK_MMZ_IOC_FREE, &req), 0);
    EXPECT_FALSE(mem::ZoneAllocator::Local().Find(req.u32PhyAddr).has_value());
}

TEST_F(MmzDriverTest, RefusesBadAllocationsAndForeignBlocks) {
    MMZ_BLOCK_REQ_S zero = Block(0);
    EXPECT_EQ(dev::Ioctl(m_fd, MK_MMZ_IOC_ALLOC, &zero), -1);
    EXPECT_EQ(errno, EINVAL);
    MMZ_BLOCK_REQ_S noZone = Block(4096, "x", "nosuchzone");
    EXPECT_EQ(dev::Ioctl(m_fd, MK_MMZ_IOC_ALLOC, &noZone), -1);
    EXPECT_EQ(errno, ENOMEM);
    MMZ_BUF_REQ_S oddAlign{};
    oddAlign.u32Size = 4096;
    oddAlign.u32Align = 48;
    EXPECT_EQ(dev::Ioctl(m_fd, MK_MMZ_IOC_BUF_ALLOC, &oddAlign), -1);
    EXPECT_EQ(errno, EINVAL);

    // Memory of another driver's pool comes from the same allocator but is not the zone driver's.
    uint32_t foreign = mem::ZoneAllocator::Local().Allocate(8192, "", "vb pool");
    ASSERT_NE(foreign, 0u);
    MMZ_BLOCK_REQ_S req = Block(0);
    req.u32PhyAddr = foreign;
    EXPECT_EQ(dev::Ioctl(m_fd, MK_MMZ_IOC_FREE, &req), -1);
    EXPECT_EQ(dev::Ioctl(m_fd, MK_MMZ_IOC_REMAP, &req), -1);
    EXPECT_TRUE(mem::ZoneAllocator::Local().Find(foreign).has_value());
    mem::ZoneAllocator::Local().Free(foreign);
}

TEST_F(MmzDriverTest, BufferRecordAlignsAndTranslatesUserAddresses) {
    MMZ_BUF_REQ_S req{};
    req.u32Size = 0x80000;
    req.u32Align = 1 << 16;
    std::strcpy(req.acBufName, "JPEG_STREAM_OUT_BUF");
    std::strcpy(req.acZoneName, "jpeg");
    ASSERT_EQ(dev::Ioctl(m_fd, MK_MMZ_IOC_BUF_ALLOC, &req), 0);
    EXPECT_EQ(req.u32PhyAddr % (1 << 16), 0u);
    EXPECT_EQ(mem::ZoneAllocator::Local().Find(req.u32PhyAddr)->name, "JPEG_STREAM_OUT_BUF");
    ASSERT_EQ(dev::Ioctl(m_fd, MK_MMZ_IOC_BUF_REMAP_CACHED, &req), 0);
    EXPECT_TRUE(Driver().IsCachedMapping(req.pVirAddr));

    MMZ_BUF_REQ_S query{};
    query.pVirAddr = static_cast<char*>(req.pVirAddr) + 0x7FFFF;
    ASSERT_EQ(dev::Ioctl(m_fd, MK_MMZ_IOC_BUF_GET_PHYS, &query), 0);
    EXPECT_EQ(query.u32PhyAddr, req.u32PhyAddr + 0x7FFFF);
    query.pVirAddr = static_cast<char*>(req.pVirAddr) + 0x80000;
    EXPECT_EQ(dev::Ioctl(m_fd, MK_MMZ_IOC_BUF_GET_PHYS, &query), -1);
    int local = 0;
    query.pVirAddr = &local;
    EXPECT_EQ(dev::Ioctl(m_fd, MK_MMZ_IOC_BUF_GET_PHYS, &query), -1);

    ASSERT_EQ(dev::Ioctl(m_fd, MK_MMZ_IOC_BUF_UNMAP, &req), 0);
    ASSERT_EQ(dev::Ioctl(m_fd, MK_MMZ_IOC_BUF_FREE, &req), 0);
}

TEST_F(MmzDriverTest, UnmapByUserAddressChoosesThatMapping) {
    MMZ_BLOCK_REQ_S req = Block(4096);
    ASSERT_EQ(dev::Ioctl(m_fd, MK_MMZ_IOC_ALLOC, &req), 0);
    MMZ_BLOCK_REQ_S first = req, second = req;
    ASSERT_EQ(dev::Ioctl(m_fd, MK_MMZ_IOC_REMAP, &first), 0);
    ASSERT_EQ(dev::Ioctl(m_fd, MK_MMZ_IOC_REMAP_CACHED, &second), 0);
    EXPECT_EQ(Driver().MapCount(req.u32PhyAddr), 2);
    ASSERT_EQ(dev::Ioctl(m_fd, MK_MMZ_IOC_UNMAP, &second), 0);
    EXPECT_FALSE(Driver().IsCachedMapping(second.pVirAddr));
    // The first mapping still works.
    static_cast<char*>(first.pVirAddr)[0] = 'k';
    // Without a user address the block's remaining mapping goes.
    MMZ_BLOCK_REQ_S byPhys = Block(0);
    byPhys.u32PhyAddr = req.u32PhyAddr;
    ASSERT_EQ(dev::Ioctl(m_fd, MK_MMZ_IOC_UNMAP, &byPhys), 0);
    EXPECT_EQ(Driver().MapCount(req.u32PhyAddr), 0);
    ASSERT_EQ(dev::Ioctl(m_fd, MK_MMZ_IOC_FREE, &req), 0);
}

TEST_F(MmzDriverTest, FlushesCheckTheRangeAndNullRecordsGiveEfault) {
    int all = Driver().FlushAllCount();
    EXPECT_EQ(dev::Ioctl(m_fd, MK_MMZ_IOC_FLUSH_ALL, reinterpret_cast<void*>(0x40001000)), 0);
    EXPECT_EQ(Driver().FlushAllCount(), all + 1);
    MMZ_FLUSH_REQ_S in{0x40001000, nullptr, 4096}, out{0x3FFFF000, nullptr, 4096};
    int range = Driver().FlushRangeCount();
    EXPECT_EQ(dev::Ioctl(m_fd, MK_MMZ_IOC_FLUSH_RANGE, &in), 0);
    EXPECT_EQ(dev::Ioctl(m_fd, MK_MMZ_IOC_FLUSH_RANGE, &out), -1);
    EXPECT_EQ(Driver().FlushRangeCount(), range + 1);

    const unsigned long requests[] = {MK_MMZ_IOC_ALLOC,        MK_MMZ_IOC_FREE,       MK_MMZ_IOC_REMAP,
                                      MK_MMZ_IOC_REMAP_CACHED, MK_MMZ_IOC_UNMAP,      MK_MMZ_IOC_BUF_ALLOC,
                                      MK_MMZ_IOC_BUF_GET_PHYS, MK_MMZ_IOC_FLUSH_RANGE};
    for (unsigned long r : requests) {
        errno = 0;
        EXPECT_EQ(dev::Ioctl(m_fd, r, nullptr), -1);
        EXPECT_EQ(errno, EFAULT);
    }
    EXPECT_EQ(dev::Ioctl(m_fd, _IOWR('m', 11, MMZ_BLOCK_REQ_S)), -1);
    EXPECT_EQ(errno, ENOTTY);
}

TEST_F(MmzDriverTest, ConcurrentUsersGetDisjointBlocks) {
    constexpr int kThreads = 6;
    constexpr int kRounds = 50;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t] {
            for (int r = 0; r < kRounds; ++r) {
                MMZ_BLOCK_REQ_S req = Block(8192);
                ASSERT_EQ(dev::Ioctl(m_fd, MK_MMZ_IOC_ALLOC, &req), 0);
                ASSERT_EQ(dev::Ioctl(m_fd, MK_MMZ_IOC_REMAP, &req), 0);
                auto* p = static_cast<unsigned char*>(req.pVirAddr);
                std::memset(p, t, 8192);
                std::this_thread::yield();
                for (int i = 0; i < 8192; i += 512) ASSERT_EQ(p[i], t);
                ASSERT_EQ(dev::Ioctl(m_fd, MK_MMZ_IOC_UNMAP, &req), 0);
                ASSERT_EQ(dev::Ioctl(m_fd, MK_MMZ_IOC_FREE, &req), 0);
            }
        });
    }
    for (auto& th : threads) th.join();
}

}  // namespace
