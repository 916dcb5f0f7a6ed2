#include <fcntl.h>
#include <linux/fb.h>
#include <sys/mman.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "app/fb/graphics.h"
#include "platform/dev/dev.h"
#include "platform/dev/driver.h"
#include "platform/drivers/core/kernel.h"
#include "platform/drivers/fb/fb_driver.h"
#include "platform/drivers/tde/tde_driver.h"
#include "platform/host/test_bus.h"
#include "platform/mem/ram.h"
#include "sdk/tde/tde_ioctl.h"

namespace {

namespace dev = varnelle::dev;
namespace drivers = varnelle::drivers;
namespace fbview = varnelle::drivers::fb_view;

class GraphicsFbTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        varnelle::host::UsePrivateBus("fb");
        varnelle::mem::Ram::Local();
        drivers::InstallFbDrivers();
        drivers::InstallTdeDriver();
    }
    void SetUp() override {
        GraphicsReset();
        Tde()->ClearFaults();
        Tde()->ResetCounters();
    }
    void TearDown() override { GraphicsReset(); }
    static std::shared_ptr<dev::Driver> Tde() { return dev::Registry::Find("/dev/mk_tde"); }
};

TEST_F(GraphicsFbTest, AfterSetVstdTheGuiLayerReadsAll0x8000) {
    const uint32_t size[2] = {1280, 720};
    GraphicsSetResolution(size);
    ASSERT_EQ(GraphicsCreate(), 0);
    ASSERT_EQ(GraphicsSetVstd(), 0);
    // Read back through a mapping of our own, as any other user of the device would.
    int fd = dev::Open("/dev/fb0", O_RDWR);
    ASSERT_GE(fd, 0);
    fb_var_screeninfo var;
    fb_fix_screeninfo fix;
    ASSERT_EQ(dev::Ioctl(fd, FBIOGET_VSCREENINFO, &var), 0);
    ASSERT_EQ(dev::Ioctl(fd, FBIOGET_FSCREENINFO, &fix), 0);
    EXPECT_EQ(var.xres, 1280u);
    EXPECT_EQ(var.yres, 720u);
    EXPECT_EQ(var.bits_per_pixel, 16u);
    EXPECT_EQ(var.transp.offset, 15u);
    EXPECT_EQ(var.red.offset, 10u);
    EXPECT_EQ(var.green.length, 5u);
    auto* mem = static_cast<uint16_t*>(dev::Mmap(nullptr, fix.smem_len, PROT_READ, MAP_SHARED, fd, 0));
    ASSERT_NE(mem, MAP_FAILED);
    size_t wrong = 0;
    for (uint32_t y = 0; y < var.yres; ++y)
        for (uint32_t x = 0; x < var.xres; ++x) wrong += mem[y * (fix.line_length / 2) + x] != 0x8000;
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(mem[1280 * 720], 0) << "past the screen the memory was only cleared";
    dev::Munmap(mem, fix.smem_len);
    dev::Close(fd);
    // The GUI and cursor layers are shown; the video layers' device was never set up.
    EXPECT_TRUE(fbview::Get(0)->shown);
    EXPECT_TRUE(fbview::Get(3)->shown);
    EXPECT_EQ(fbview::Get(3)->var.xres, 32u);
    EXPECT_EQ(fbview::Get(0)->pans, 1u);
    EXPECT_EQ(drivers::tde_view::Get()->opsRun, 1u);

    GraphicsFbSurface s{};
    ASSERT_EQ(GraphicsGetSurface(&s), 0);
    EXPECT_EQ(s.u32Format, 0u);
    EXPECT_EQ(s.u32Stride, 2560u);
    EXPECT_EQ(s.u32Width, 1280u);
    EXPECT_EQ(s.u32Height, 720u);
    GraphicsInfo info{};
    ASSERT_EQ(GraphicsGetInfo(&info), 0);
    EXPECT_EQ(info.u32Width, 1280u);
    EXPECT_EQ(info.u32Height, 720u);
    EXPECT_EQ(GraphicsSetVstd(), 0);
    EXPECT_EQ(drivers::tde_view::Get()->opsRun, 1u) << "once";
    EXPECT_EQ(GraphicsDestory(), 0);
    EXPECT_EQ(GraphicsGetState()->astLayer[GRAPHICS_LAYER_GUI].s32Fd, -1);
}

TEST_F(GraphicsFbTest, WithoutTheEngineNoLayerIsMade) {
    Tde()->FailOpen(ENODEV);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(GraphicsCreate(), -1);
    EXPECT_NE(::testing::internal::GetCapturedStdout().find("MK_TDE2_Open error:0XA0648002"), std::string::npos);
    EXPECT_EQ(GraphicsGetState()->bCreated, 0);
    EXPECT_EQ(GraphicsSetVstd(), -1) << "nothing to set up";
    ASSERT_EQ(GraphicsCreate(), 0) << "tried again";
}

TEST_F(GraphicsFbTest, AFailedFillLeavesNoJobOpen) {
    ASSERT_EQ(GraphicsCreate(), 0);
    Tde()->FailRequest(mk::tde::kFill, static_cast<int>(0xA0648006u));
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(GraphicsSetVstd(), -1);
    EXPECT_NE(::testing::internal::GetCapturedStdout().find("MK_TDE2_Bitblit failed! 0xa0648006"), std::string::npos);
    EXPECT_EQ(drivers::tde_view::Get()->openJobs, 0u);
    EXPECT_EQ(Tde()->RequestCount(mk::tde::kCancelJob), 1);
    EXPECT_EQ(GraphicsSetVstd(), 0) << "not marked done: tried again";
}

}  // namespace
