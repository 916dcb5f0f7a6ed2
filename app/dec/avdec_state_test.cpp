#include "app/dec/avdec_state.h"

#include <atomic>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/comm/comm_cfg.h"
#include "app/dec/avdec.h"
#include "app/fb/graphics.h"
#include "app/pci/pciv_cmd.h"
#include "app/pci/pciv_slave.h"
#include "platform/drivers/vdec/vdec_driver.h"
#include "platform/drivers/mem/mem_driver.h"
#include "platform/host/test_bus.h"
#include "sdk/vdec/mpi_vdec.h"

namespace {

PCIV_MSG_S Message(uint32_t code, const void* payload, uint32_t len) {
    PCIV_MSG_S m;
    std::memset(&m, 0, sizeof(m));
    m.stMsgHead.u32MsgType = code;
    m.stMsgHead.u32MsgLen = len;
    std::memcpy(m.au32Payload, payload, len);
    return m;
}

class AVdecTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        varnelle::host::UsePrivateBus("avdec");
        varnelle::drivers::InstallVdecDriver();
        varnelle::drivers::InstallMemDriver();
    }
    void SetUp() override {
        PCIV_ClearCmdHandlers();
        SlaveRegisterCmdHandlers();
        AVdecRegister();
        AVdecGetState()->Clear();
        AVdecGetChnTable()->Clear();
    }
    void TearDown() override {
        GraphicsReset();
        SlaveClearHooks();
        SlaveResetSysCfg();
    }
};

// Command 64 copies byte for byte while another thread reads the running flags of every record.
TEST_F(AVdecTest, PlaybackParametersAreCopiedByteForByteUnderAReader) {
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> reads{0};
    std::thread reader([&] {
        while (!stop.load()) {
            for (uint32_t c = 0; c < AVDEC_CHN_NUM; ++c) (void)AVdecPlayRunning(c);
            ++reads;
        }
    });
    AVdecState* tab = AVdecGetChnTable();
    pthread_mutex_t* mutex = &tab->HostOf(7).mutex;
    std::mt19937 rng(17);
    for (uint32_t rec : {7u, 0u, 47u}) {
        std::vector<uint8_t> before(AVDEC_STATE_SIZE);
        tab->CopyOut(0, before.data(), AVDEC_STATE_SIZE);
        std::vector<uint8_t> p(2376);
        for (auto& b : p) b = static_cast<uint8_t>(rng());
        std::memcpy(p.data() + 16, &rec, 4);
        PCIV_MSG_S m = Message(64, p.data(), 2376);
        EXPECT_FALSE(PCIV_RunCmd(&m)) << "command 64 is not answered";
        std::vector<uint8_t> img(AVDEC_STATE_SIZE);
        tab->CopyOut(0, img.data(), AVDEC_STATE_SIZE);
        // Head words 0 to 5 from payload words 0, 1, 2, 3, 5, 6 (word 4 names the record).
        const uint32_t from[6] = {0, 1, 2, 3, 5, 6};
        for (int i = 0; i < 6; ++i) EXPECT_EQ(std::memcmp(&img[4 * i], &p[4 * from[i]], 4), 0) << i;
        EXPECT_EQ(std::memcmp(&img[24], &p[28], 1964), 0);
        uint32_t recOff = 10096 + 384 * rec;
        EXPECT_EQ(std::memcmp(&img[recOff], &p[1992], 384), 0);
        // Nothing else moved: the display defaults, the snapshot entries, every other record.
        EXPECT_EQ(std::memcmp(&img[1988], &before[1988], recOff - 1988), 0);
        EXPECT_EQ(std::memcmp(&img[recOff + 384], &before[recOff + 384], AVDEC_STATE_SIZE - recOff - 384), 0);
    }
    // The host fields beside the image are untouched: the record's mutex still works, no list.
    EXPECT_EQ(pthread_mutex_lock(mutex), 0);
    EXPECT_EQ(pthread_mutex_unlock(mutex), 0);
    EXPECT_EQ(tab->HostOf(7).pHead, nullptr);
    while (reads.load() < 10) std::this_thread::yield();
    stop = true;
    reader.join();
}

// The running flag that the receivers read is byte 248 of the record, as command 64 carries it.
TEST_F(AVdecTest, RunningFlagComesFromTheRecordAsSent) {
    std::vector<uint8_t> p(2376, 0);
    uint32_t rec = 12, one = 1, two = 2;
    std::memcpy(p.data() + 16, &rec, 4);
    std::memcpy(p.data() + 1992 + 248, &one, 4);
    PCIV_MSG_S m = Message(64, p.data(), 2376);
    PCIV_RunCmd(&m);
    EXPECT_TRUE(AVdecPlayRunning(12));
    EXPECT_FALSE(AVdecPlayRunning(11));
    EXPECT_FALSE(AVdecPlayRunning(48));
    std::memcpy(p.data() + 1992 + 248, &two, 4);
    m = Message(64, p.data(), 2376);
    PCIV_RunCmd(&m);
    EXPECT_FALSE(AVdecPlayRunning(12)) << "only 1 means running";
}

// Commands 24 and 25 write the display words of the decode block, and the defaults are applied once.
TEST_F(AVdecTest, DisplayCommandsFillTheDecodeBlock) {
    SLAVE_SYS_PARAM_S sp{};
    sp.u32DigitalNum = 2;
    sp.u32PlayDecNum = 3;
    SlaveStoreSysParam(&sp);
    uint32_t vstd[2] = {0, 1};
    PCIV_MSG_S m = Message(24, vstd, 8);
    EXPECT_TRUE(PCIV_RunCmd(&m));
    uint32_t size[2] = {800, 600};
    m = Message(25, size, 8);
    EXPECT_TRUE(PCIV_RunCmd(&m));
    AVdecState* s = AVdecGetState();
    struct Word {
        uint32_t index, value;
    } head[] = {{0, 1}, {3, 1}, {4, 800}, {5, 600}, {6, 800}, {7, 600}, {8, 704}, {9, 576},
                {10, 800}, {11, 600}, {12, 8}, {13, 1}, {14, 30}, {15, 16}, {16, 1}};
    for (const Word& w : head) EXPECT_EQ(s->Head(w.index), w.value) << "head word " << w.index;
    const uint32_t defaults[8] = {704, 480, 704, 480, 3, 0, 30, 1};
    for (uint32_t i = 0; i < 8; ++i) EXPECT_EQ(s->Word(1996 + 4 * i), defaults[i]) << i;
    for (uint32_t c = 0; c < 6; ++c) EXPECT_EQ(s->Rec(c, REC_SHOWN), c < 5 ? 1u : 0u) << c;
    // A second resolution: the defaults stay applied once (hiding device 0 from the resolution
    // command is not set back to 8), the shown flags are not set again.
    s->SetRec(0, REC_SHOWN, 0);
    uint32_t size2[2] = {1920, 1080};
    m = Message(25, size2, 8);
    PCIV_RunCmd(&m);
    EXPECT_EQ(s->Head(12), 0u);
    EXPECT_EQ(s->Rec(0, REC_SHOWN), 0u);
    EXPECT_EQ(s->Head(6), 1920u);
    EXPECT_EQ(s->Head(7), 1080u);
}

TEST_F(AVdecTest, CommandSixtyThreeMakesADecoderFromTheMastersAttributes) {
    uint32_t p[9] = {5, 96, 1 << 20, 3, 1280, 720, 2, 1, 0};
    PCIV_MSG_S m = Message(63, p, sizeof(p));
    EXPECT_FALSE(PCIV_RunCmd(&m));
    varnelle::drivers::VdecChnView v = varnelle::drivers::VdecDriver::Get()->Channel(5);
    EXPECT_TRUE(v.created);
    EXPECT_EQ(v.attr.u32PicWidth, 1280u);
    EXPECT_EQ(v.attr.u32BufSize, 1u << 20);
    EXPECT_EQ(v.attr.u32Priority, 3u);
    EXPECT_EQ(MK_MPI_VDEC_DestroyChn(5), 0);
    // Short of the attributes: nothing is made from stale bytes.
    m = Message(63, p, 32);
    PCIV_RunCmd(&m);
    EXPECT_FALSE(varnelle::drivers::VdecDriver::Get()->Channel(5).created);
}

}  // namespace
