#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "app/app_start.h"
#include "app/pci/pciv_msg.h"
#include "app/pci/pciv_test_master.h"
#include "platform/dev/driver.h"
#include "platform/drivers/all/install.h"
#include "platform/mcc/mcc_driver.h"

namespace {

using varnelle::testing::FakeMaster;

TEST(AppStartTest, SignalsArePrintedAndIgnored) {
    CVarnelleApp app;
    EXPECT_EQ(app.AppInstallSignals(), 1);
    ::testing::internal::CaptureStdout();
    raise(SIGPIPE);
    raise(SIGFPE);
    raise(SIGFPE);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Slave catch SIGPIPE exception!"), std::string::npos) << out;
    size_t first = out.find("Slave catch SIGFPE exception!");
    ASSERT_NE(first, std::string::npos) << out;
    EXPECT_NE(out.find("Slave catch SIGFPE exception!", first + 1), std::string::npos) << "a sent SIGFPE is only logged";
}

// The division traps only on processors that fault on it.
#if defined(__x86_64__) || defined(__i386__)
__attribute__((noinline, no_sanitize_undefined)) int Divide(int b) {
    volatile int n = 1;  // unknown to the compiler, so the division is really done
    return n / b;
}

TEST(AppStartDeathTest, ArithmeticFaultIsLoggedOnceThenEndsTheProgram) {
    EXPECT_EXIT(
        {
            CVarnelleApp app;
            app.AppInstallSignals();
            alarm(5);  // a handler that keeps returning would loop: end it as a failure
            volatile int zero = 0;
            volatile int r = Divide(zero);
            (void)r;
            std::exit(0);
        },
        ::testing::KilledBySignal(SIGFPE), "");
}
#endif

TEST(AppStartTest, MasterLinkComesUpAndServesCommands) {
    varnelle::testing::ScopedBus bus;
    varnelle::drivers::InstallAll();
    varnelle::mcc::InstallMccDriver();

    auto mcc = varnelle::dev::Registry::Find("/dev/mcc_userdev");
    mcc->FailOpen(ENODEV);
    EXPECT_EQ(SlavePcivInit(), -1) << "no channel device: nothing starts";
    mcc->ClearFaults();

    FakeMaster master;
    ASSERT_TRUE(master.ok());
    ASSERT_EQ(SlavePcivInit(), 0);
    EXPECT_GE(PCIV_PortFd(0, 100), 0);

    // An unknown code is answered with status 0.
    ASSERT_TRUE(master.SendMsg(100, 200, nullptr, 0));
    FakeMaster::Record r;
    ASSERT_TRUE(master.Take(100, &r));
    EXPECT_EQ(r.msg.stMsgHead.u32MsgType, 22u);
    EXPECT_EQ(r.msg.stMsgHead.s32Result, 0);
    EXPECT_EQ(r.msg.stMsgHead.u32MsgLen, 0u);

    // The slave's own handlers are in place: window blocks come back with their addresses.
    uint32_t malloc14[4] = {0, 0, 4096, 2};
    ASSERT_TRUE(master.SendMsg(100, 14, malloc14, sizeof(malloc14)));
    ASSERT_TRUE(master.Take(100, &r));
    EXPECT_EQ(r.msg.stMsgHead.u32MsgLen, 80u);
    EXPECT_EQ(r.bytes, 16u + 80u);
    EXPECT_NE(r.msg.au32Payload[4], 0u);
    EXPECT_EQ(r.msg.au32Payload[6], 0u) << "words beyond the short command were cleared";

    // After the port map the heartbeat flows.
    uint32_t map[24];
    uint32_t ports[24] = {101, 102, 103, 104, 105, 107, 109, 111, 113, 115, 117, 119,
                          106, 108, 110, 112, 114, 116, 118, 120, 121, 122, 123, 124};
    std::memcpy(map, ports, sizeof(map));
    ASSERT_TRUE(master.SendMsg(100, 86, map, sizeof(map)));
    ASSERT_TRUE(master.Take(122, &r));
    EXPECT_EQ(r.msg.stMsgHead.u32MsgType, 54u);
    EXPECT_EQ(master.Count(100), 0u) << "the port map is not answered";
}

}  // namespace
