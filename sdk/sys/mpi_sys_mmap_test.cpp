#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

#include "platform/host/test_bus.h"

#include "platform/drivers/mem/mem_driver.h"
#include "platform/mem/ram.h"
#include "sdk/sys/mpi_sys.h"

namespace {

class SysMmapTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        varnelle::host::UsePrivateBus("sysmmap");
        varnelle::drivers::InstallMemDriver();
    }
};

TEST_F(SysMmapTest, ExtentsCoverEveryTouchedPage) {
    struct Case {
        MK_U32 phys, size;
        uintptr_t offsetInPage;
    } cases[] = {
        {0x40100FFF, 1, 0xFFF},
        {0x40100010, 0x1000, 0x10},
        {0x40100000, 0x1000, 0},
    };
    for (const Case& c : cases) {
        auto* p = static_cast<char*>(MK_MPI_SYS_Mmap(c.phys, c.size));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) & 0xFFF, c.offsetInPage);
        // Every byte of the asked range is mapped; writing its last byte must not fault.
        p[c.size - 1] = 1;
        EXPECT_EQ(MK_MPI_SYS_Munmap(p, c.size), 0);
    }
}

TEST_F(SysMmapTest, MappingsAliasTheSimulatedRam) {
    auto* a = static_cast<char*>(MK_MPI_SYS_Mmap(0x40200123, 64));
    ASSERT_NE(a, nullptr);
    std::strcpy(a, "through /dev/mem");
    char back[17] = {};
    ASSERT_TRUE(varnelle::mem::Ram::Local().Read(0x40200123, back, 16));
    EXPECT_STREQ(back, "through /dev/mem");
    MK_MPI_SYS_Munmap(a, 64);
}

TEST_F(SysMmapTest, UnmapOfSizeZeroUnmapsNothing) {
    for (MK_U32 offset : {0u, 0x10u}) {
        auto* p = static_cast<char*>(MK_MPI_SYS_Mmap(0x40300000 + offset, 0x2000));
        ASSERT_NE(p, nullptr);
        errno = 0;
        EXPECT_EQ(MK_MPI_SYS_Munmap(p, 0), -1) << offset;
        EXPECT_EQ(errno, EINVAL) << offset;
        // Still mapped: both pages can be written.
        p[0] = 1;
        p[0x1FFF] = 2;
        EXPECT_EQ(MK_MPI_SYS_Munmap(p, 0x2000), 0);
    }
}

TEST_F(SysMmapTest, RefusesZeroSizeAndAddressesOutsideRam) {
    EXPECT_EQ(MK_MPI_SYS_Mmap(0x40000000, 0), nullptr);
    EXPECT_EQ(MK_MPI_SYS_Mmap(0x10000000, 16), nullptr);
    EXPECT_EQ(MK_MPI_SYS_Mmap(0xC0000000, 16), nullptr);
}

}  // namespace
