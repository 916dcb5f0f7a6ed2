#include "platform/drivers/jpeg/jpeg_driver.h"

#include <fcntl.h>
#include <sys/mman.h>

#include <gtest/gtest.h>

#include "platform/dev/dev.h"
#include "sdk/jpegd/jpegd_ioctl.h"

namespace {

using varnelle::drivers::JpegDriver;
namespace dev = varnelle::dev;

class JpegDriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_driver = JpegDriver::Get();
        m_driver->Reset();
        m_fd = dev::Open("/dev/jpeg", O_RDWR | O_DSYNC);
        ASSERT_GE(m_fd, 0);
    }
    void TearDown() override {
        dev::Close(m_fd);
        m_driver->Reset();
    }
    uint32_t Wait() {
        JPEG_WAIT_S w{0, 10000};
        EXPECT_EQ(dev::Ioctl(m_fd, MK_JPEG_IOC_WAIT, &w), 0);
        return w.u32Result;
    }
    std::shared_ptr<JpegDriver> m_driver;
    int m_fd = -1;
};

TEST_F(JpegDriverTest, WaitsFollowTheScriptThenAnswerTheDefault) {
    m_driver->SetWaitScript({JPEG_WAIT_MORE, JPEG_WAIT_MORE, JPEG_WAIT_DONE});
    EXPECT_EQ(Wait(), 1u);
    EXPECT_EQ(Wait(), 1u);
    EXPECT_EQ(Wait(), 2u);
    EXPECT_EQ(Wait(), 3u);  // cleared registers describe no picture: an error
    m_driver->SetDefaultAnswer(JPEG_WAIT_DONE);
    EXPECT_EQ(Wait(), 2u);
    EXPECT_EQ(m_driver->Waits().size(), 5u);
}

TEST_F(JpegDriverTest, EveryMappingSharesTheRegistersAndAWaitRecordsThem) {
    auto* a = static_cast<volatile uint32_t*>(
        dev::Mmap(nullptr, JPEG_REG_WINDOW_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, m_fd, 0));
    auto* b = static_cast<volatile uint32_t*>(
        dev::Mmap(nullptr, JPEG_REG_WINDOW_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, m_fd, 0));
    ASSERT_NE(a, MAP_FAILED);
    ASSERT_NE(b, MAP_FAILED);
    a[JPEG_REG_DATA_START / 4] = 0x40001000u;
    a[JPEG_REG_START / 4] = 1;
    EXPECT_EQ(b[JPEG_REG_DATA_START / 4], 0x40001000u);
    Wait();
    const std::vector<JpegDriver::Wait> waits = m_driver->Waits();
    ASSERT_EQ(waits.size(), 1u);
    EXPECT_EQ(waits[0].Reg(JPEG_REG_DATA_START), 0x40001000u);
    EXPECT_EQ(waits[0].Reg(JPEG_REG_START), 1u);
    EXPECT_EQ(a[JPEG_REG_START / 4], 0u) << "the start bit clears once taken";
    EXPECT_EQ(waits[0].Reg(JPEG_REG_WINDOW_SIZE + 1), 0xFFFFFFFFu);
    dev::Munmap(const_cast<uint32_t*>(a), JPEG_REG_WINDOW_SIZE);
    dev::Munmap(const_cast<uint32_t*>(b), JPEG_REG_WINDOW_SIZE);
}

TEST_F(JpegDriverTest, OpenAndCloseRequestsAreCountedAndBadRequestsRefused) {
    EXPECT_EQ(dev::Ioctl(m_fd, MK_JPEG_IOC_OPEN), 0);
    EXPECT_EQ(dev::Ioctl(m_fd, MK_JPEG_IOC_CLOSE), 0);
    EXPECT_EQ(dev::Ioctl(m_fd, MK_JPEG_IOC_OPEN), 0);
    EXPECT_EQ(m_driver->Opens(), 2);
    EXPECT_EQ(m_driver->Closes(), 1);
    // The wait built with a 4-byte record is not this driver's request.
    uint32_t word = 0;
    EXPECT_EQ(dev::Ioctl(m_fd, _IOWR('j', 2, uint32_t), &word), -1);
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(dev::Ioctl(m_fd, MK_JPEG_IOC_WAIT, nullptr), -1);
    EXPECT_EQ(errno, EFAULT);
}

TEST_F(JpegDriverTest, AnOpenRequestFindingTheBlockFreeStartsItFromClearedRegisters) {
    auto* regs = static_cast<volatile uint32_t*>(
        dev::Mmap(nullptr, JPEG_REG_WINDOW_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, m_fd, 0));
    ASSERT_NE(regs, MAP_FAILED);
    regs[JPEG_REG_420 / 4] = 4;  // left by an earlier picture
    ASSERT_EQ(dev::Ioctl(m_fd, MK_JPEG_IOC_OPEN), 0);
    EXPECT_EQ(regs[JPEG_REG_420 / 4], 0u);
    // A second user while the first holds the block leaves its registers alone; a user that closes
    // its descriptor without the close request gives the block up all the same.
    regs[JPEG_REG_420 / 4] = 4;
    const int second = dev::Open("/dev/jpeg", O_RDWR | O_DSYNC);
    ASSERT_GE(second, 0);
    EXPECT_EQ(dev::Ioctl(second, MK_JPEG_IOC_OPEN), 0);
    EXPECT_EQ(regs[JPEG_REG_420 / 4], 4u);
    dev::Close(second);
    EXPECT_EQ(dev::Ioctl(m_fd, MK_JPEG_IOC_CLOSE), 0);
    const int third = dev::Open("/dev/jpeg", O_RDWR | O_DSYNC);
    ASSERT_GE(third, 0);
    EXPECT_EQ(dev::Ioctl(third, MK_JPEG_IOC_OPEN), 0);
    EXPECT_EQ(regs[JPEG_REG_420 / 4], 0u);
    dev::Close(third);
    dev::Munmap(const_cast<uint32_t*>(regs), JPEG_REG_WINDOW_SIZE);
}

TEST_F(JpegDriverTest, MappingsBeyondTheWindowPageOrAtAnOffsetAreRefused) {
    struct Case {
        size_t length;
        off_t offset;
        int flags;
    };
    for (const Case& c : {Case{8192, 0, MAP_SHARED}, Case{4096, 4096, MAP_SHARED}, Case{4096, 0, MAP_PRIVATE}}) {
        EXPECT_EQ(dev::Mmap(nullptr, c.length, PROT_READ | PROT_WRITE, c.flags, m_fd, c.offset), MAP_FAILED);
        EXPECT_EQ(errno, EINVAL);
    }
}

}  // namespace
