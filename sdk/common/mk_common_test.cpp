#include <fcntl.h>
#include <sys/ioctl.h>

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/dev/driver.h"
#include "sdk/common/mk_debug.h"
#include "sdk/common/mk_dev.h"
#include "sdk/common/mk_type.h"

namespace {

using varnelle::dev::Driver;
using varnelle::dev::File;
using varnelle::dev::Registry;

TEST(MkErrorTest, CodesComposeFromModuleAndNumber) {
    struct Case {
        int mod, err;
        uint32_t want;
    } cases[] = {
        {MK_ID_VENC, MK_ERR_SYS_NOTREADY, 0xA0088010u}, {MK_ID_SYS, MK_ERR_NULL_PTR, 0xA0028006u},
        {MK_ID_VB, MK_ERR_ILLEGAL_PARAM, 0xA0018003u},  {MK_ID_VOU, 0x6D, 0xA00F806Du},
        {MK_ID_PCIV, MK_ERR_NOBUF, 0xA01A800Du},        {MK_ID_TDE, 5, 0xA0648005u},
    };
    for (const Case& c : cases) {
        MK_S32 code = MK_ERR(c.mod, c.err);
        EXPECT_EQ(static_cast<uint32_t>(code), c.want);
        EXPECT_LT(code, -4095) << "codes must pass through a system call unchanged";
    }
}

constexpr unsigned long kBind = _IOW('Q', 1, uint32_t);

class BindCountingDriver : public Driver {
public:
    BindCountingDriver() : Driver("/dev/test_lazy") {}
    int Ioctl(File&, unsigned long request, void* arg) override {
        if (request != kBind) return varnelle::dev::Fail(ENOTTY);
        uint32_t word;
        if (varnelle::dev::CopyIn(&word, arg)) return -1;
        lastWord = word;
        binds.fetch_add(1);
        return 0;
    }
    std::atomic<int> binds{0};
    std::atomic<uint32_t> lastWord{0};
};

std::shared_ptr<BindCountingDriver> Lazy() {
    static auto d = [] {
        auto p = std::make_shared<BindCountingDriver>();
        Registry::Register(p);
        return p;
    }();
    d->ClearFaults();
    d->binds = 0;
    d->ResetCounters();
    return d;
}

TEST(DevSlotTest, ConcurrentFirstCallsOpenAndBindOnce) {
    auto driver = Lazy();
    mk::DevSlot slot;
    std::vector<std::thread> threads;
    std::atomic<int> ready{0};
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] {
            if (slot.Ensure("/dev/test_lazy", O_RDWR, kBind, 0x80) == mk::DevSlot::kReady) ++ready;
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(ready.load(), 8);
    EXPECT_EQ(driver->OpenCount(), 1);
    EXPECT_EQ(driver->binds.load(), 1);
    EXPECT_EQ(driver->lastWord.load(), 0x80u);
    EXPECT_EQ(slot.Close(), 0);
    EXPECT_FALSE(slot.IsOpen());
}

TEST(DevSlotTest, FailedOpenOrBindLeavesTheSlotClosedAndTheNextCallRetries) {
    auto driver = Lazy();
    mk::DevSlot slot;
    driver->FailOpen(ENOENT, 1);
    EXPECT_EQ(slot.Ensure("/dev/test_lazy", O_RDWR, kBind, 1), mk::DevSlot::kOpenFailed);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(slot.IsOpen());

    driver->FailRequest(kBind, MK_ERR(MK_ID_VPSS, MK_ERR_SYS_NOTREADY), 1);
    EXPECT_EQ(slot.Ensure("/dev/test_lazy", O_RDWR, kBind, 1), mk::DevSlot::kBindFailed);
    EXPECT_FALSE(slot.IsOpen());
    EXPECT_EQ(driver->OpenFiles(), 0) << "a refused bind closes what it opened";

    driver->FailRequest(kBind, -1, 3, EINTR);
    EXPECT_EQ(slot.Ensure("/dev/test_lazy", O_RDWR, kBind, 1, false, true), mk::DevSlot::kReady);
    EXPECT_EQ(driver->binds.load(), 1);
    EXPECT_EQ(driver->RequestCount(kBind), 5);
    slot.Close();

    driver->FailRequest(kBind, -1, 1, EIO);
    EXPECT_EQ(slot.Ensure("/dev/test_lazy", O_RDWR, kBind, 1, true), mk::DevSlot::kReady)
        << "a module that ignores the bind result keeps the descriptor";
    slot.Close();
}

TEST(MkAssertDeathTest, PrintsTheConditionAndEnds) {
    EXPECT_EXIT(MK_ASSERT_IN("sdk/test", 1 + 1 == 3), ::testing::ExitedWithCode(255),
                "");
}

}  // namespace
