#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "app/comm/comm_cfg.h"
#include "app/comm/comm_hook.h"
#include "platform/drivers/mem/mem_driver.h"

namespace {

SLAVE_SYS_PARAM_S Param(uint32_t start, uint32_t end) {
    SLAVE_SYS_PARAM_S p;
    std::memset(&p, 0, sizeof(p));
    p.u32SysType = 2;
    p.u32DevType = 657;
    p.u32ChnStart = start;
    p.u32ChnEnd = end;
    p.u32DecNum = 4;
    p.u32FirstDecChn = 16;
    p.u32DigitalNum = 3;
    p.u32PlayDecNum = 5;
    p.u32BoardSubType = 47;
    p.stSlaveCfg.u8JpegEnable = 1;
    p.stSlaveCfg.u32VpssSwitch = 0x01020304;
    return p;
}

TEST(CommCfgTest, ValuesBeforeTheSystemParameters) {
    SlaveResetSysCfg();
    const SlaveSysCfg& c = SlaveGetSysCfg();
    EXPECT_EQ(c.u32ChnEnd, 8u);
    EXPECT_EQ(c.u32ChnStart, 8u);
    EXPECT_EQ(c.u32ChnNum, 8u);
    EXPECT_EQ(c.u32DecNum, 1u);
    EXPECT_EQ(c.u32FirstDecChn, 1u);
    EXPECT_EQ(c.u32PicSize, 3u);
    EXPECT_EQ(c.u32DoubleStartEx, 24u);
    SLAVE_CFG_S zero{};
    EXPECT_EQ(std::memcmp(Comm_GetSlaveCfg(), &zero, sizeof(zero)), 0) << "JPEG and blind switches off";
}

TEST(CommCfgTest, StoringComputesTheDerivedWords) {
    SlaveResetSysCfg();
    struct Case {
        uint32_t start, end, num;
    } cases[] = {{0, 8, 8}, {8, 16, 8}, {16, 32, 16}};
    for (const Case& k : cases) {
        SLAVE_SYS_PARAM_S p = Param(k.start, k.end);
        SlaveStoreSysParam(&p);
        const SlaveSysCfg& c = SlaveGetSysCfg();
        EXPECT_EQ(c.u32ChnNum, k.num);
        EXPECT_EQ(c.u32DoubleStart, 2 * k.start);
        EXPECT_EQ(c.u32DoubleEnd, 2 * k.end);
        EXPECT_EQ(c.u32DoubleNum, 2 * k.num);
        EXPECT_EQ(c.u32DoubleStartEx, 2 * k.start + 8);
        EXPECT_EQ(c.u32DigitalPlaySum, 8u);
    }
    EXPECT_EQ(Comm_GetSysType(), 2u);
    EXPECT_EQ(Comm_GetDevType(), 657u);
    EXPECT_EQ(Comm_GetBoardSubType(), 47u);
    EXPECT_EQ(Comm_GetSlaveCfg()->u8JpegEnable, 1);
    const uint8_t* raw = reinterpret_cast<const uint8_t*>(Comm_GetSlaveCfg());
    EXPECT_EQ(raw[24], 1) << "the JPEG switch is byte 24";
    EXPECT_EQ(raw[8], 0x04) << "the processing switches are bytes 8 to 11";
    SlaveResetSysCfg();
}

// Capture threads read the settings while a second command 96 stores new ones: every copy they take
// is one whole block, the derived words matching the stored ones and the settings record with them.
TEST(CommCfgTest, ReadersSeeWholeBlocksWhileCommand96RewritesThem) {
    SlaveResetSysCfg();
    SLAVE_SYS_PARAM_S a = Param(0, 8);
    SLAVE_SYS_PARAM_S b = Param(8, 24);
    b.stSlaveCfg.u8JpegEnable = 0;
    std::atomic<bool> done{false};
    std::atomic<uint64_t> reads{0}, torn{0};
    std::thread reader([&] {
        while (!done.load()) {
            SlaveSysCfg c = SlaveGetSysCfg();
            bool wholeA = c.u32ChnStart == 0 && c.u32ChnEnd == 8 && c.u32ChnNum == 8 && c.u32DoubleEnd == 16 &&
                          c.stSlaveCfg.u8JpegEnable == 1;
            bool wholeB = c.u32ChnStart == 8 && c.u32ChnEnd == 24 && c.u32ChnNum == 16 && c.u32DoubleEnd == 48 &&
                          c.stSlaveCfg.u8JpegEnable == 0;
            bool before = c.u32ChnStart == 8 && c.u32ChnEnd == 8 && c.u32ChnNum == 8;
            torn += !(wholeA || wholeB || before);
            ++reads;
        }
    });
    for (int i = 0; i < 20000 || reads.load() < 1000; ++i) SlaveStoreSysParam(i % 2 ? &b : &a);
    done = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0u) << "of " << reads.load();
    SlaveResetSysCfg();
}

TEST(CommHookTest, RegistersReadAndWriteSimulatedMemory) {
    char dir[] = "/dev/shm/varnelle-comm-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    setenv("VARNELLE_BUS", dir, 1);
    varnelle::drivers::InstallMemDriver();
    uint32_t v = 0;
    ASSERT_EQ(RegWrite(0x40001234, 0xCAFEF00D), 0);
    ASSERT_EQ(RegRead(0x40001234, &v), 0);
    EXPECT_EQ(v, 0xCAFEF00Du);
    ASSERT_EQ(RegRead(0x40001230, &v), 0);
    EXPECT_EQ(v, 0u) << "only the one word was written";
    EXPECT_EQ(RegRead(0x10000000, &v), -1) << "outside RAM";
    EXPECT_EQ(RegWrite(0x40001235, 1), -1) << "a word is aligned";
    EXPECT_EQ(RegRead(0x40001234, nullptr), -1);
    std::system((std::string("rm -rf ") + dir).c_str());
}

}  // namespace
