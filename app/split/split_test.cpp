// The split model: the wiring of every system type and board, the size codes by class, the window
// walk of every mode, and the set-up from command 96's settings. Expected values are typed out by
// hand from the wiring description of the product family.
#include <atomic>
#include <cstring>
#include <thread>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/comm/comm_cfg.h"
#include "app/comm/comm_map.h"
#include "app/comm/comm_setup_hooks.h"
#include "app/split/split.h"

namespace {

std::vector<int> Ints(const std::string& s) {
    std::vector<int> v;
    std::stringstream in(s);
    std::string tok;
    while (std::getline(in, tok, ',')) v.push_back(std::stoi(tok));
    return v;
}

HVR_CAP_S Cap(int16_t a5m = 0, int16_t a1080p = 0, int16_t a4m = 0) {
    HVR_CAP_S c;
    std::memset(&c, 0, sizeof(c));
    c.as16Analog[HVR_CAP_5M] = a5m;
    c.as16Analog[HVR_CAP_1080P] = a1080p;
    c.as16Analog[HVR_CAP_4M] = a4m;
    return c;
}

struct WiringRow {
    uint32_t sys;
    uint32_t board;
    HVR_CAP_S cap;
    const char* dev;  // listed channels; every channel past the list is input 0 of device 0
    const char* chn;
};

const char* kHalvesDev = "0,0,1,1,2,2,3,3,4,4,5,5,6,6,7,7";
const char* kHalvesChn = "0,2,4,6,8,10,12,14,16,18,20,22,24,26,28,30";
const char* k656Dev = "3,3,3,3,2,2,2,2,0,0,0,0,1,1,1,1,7,7,7,7,6,6,6,6,4,4,4,4,5,5,5,5";
const char* k656Chn = "12,13,14,15,8,9,10,11,0,1,2,3,4,5,6,7,28,29,30,31,24,25,26,27,19,18,17,16,20,21,22,23";

const WiringRow kRows[] = {
    {651, 0, Cap(), kHalvesDev, kHalvesChn},
    {655, 0, Cap(), kHalvesDev, kHalvesChn},
    {652, 0, Cap(), kHalvesDev, kHalvesChn},
    {654, 0, Cap(), kHalvesDev, kHalvesChn},
    {663, 0, Cap(), kHalvesDev, kHalvesChn},
    {653, 0, Cap(), "6,6,6,6,7,7,7,7,1,1,1,1,0,0,0,0,2,2,2,2,3,3,3,3,5,5,5,5,4,4,4,4",
     "27,26,25,24,31,30,29,28,7,6,5,4,3,2,1,0,11,10,9,8,15,14,13,12,23,22,21,20,16,17,18,19"},
    {656, 0, Cap(), k656Dev, k656Chn},
    {657, 0, Cap(), k656Dev, k656Chn},
    {662, 0, Cap(), "7,7,7,7,6,6,6,6,5,5,5,5,4,4,4,4,3,3,3,3,2,2,2,2,1,1,1,1,0,0,0,0",
     "28,29,30,31,24,25,26,27,20,21,22,23,16,17,18,19,12,13,14,15,8,9,10,11,4,5,6,7,0,1,2,3"},
    {665, 0, Cap(), "0,0,0,0,1,1,1,1,2,2,2,2,3,3,3,3,4,4,4,4,5,5,5,5,6,6,6,6,7,7,7,7",
     "2,3,0,1,6,7,4,5,10,11,8,9,14,15,12,13,18,19,16,17,22,23,20,21,26,27,24,25,30,31,28,29"},
    {666, 0, Cap(), "7,7,6,6,5,5,4,4,3,3,2,2,1,1,0,0", "28,29,24,25,20,21,16,17,12,13,8,9,4,5,0,1"},
    {659, 55, Cap(), "1,0,3,2,5,4,7,6", "4,0,12,8,20,16,28,24"},
    {659, 58, Cap(), "1,0,3,2,5,4,7,6", "4,0,12,8,20,16,28,24"},
    {659, 47, Cap(), "1,1,3,3,5,5,7,7", "4,6,12,14,20,22,28,30"},
    {658, 53, Cap(), "2,3,0,1,6,7,4,5", "8,12,0,4,24,28,16,20"},
    {658, 59, Cap(), "2,3,0,1,6,7,4,5", "8,12,0,4,24,28,16,20"},
    {660, 53, Cap(), "2,3,0,1,6,7,4,5", "8,12,0,4,24,28,16,20"},
    {660, 59, Cap(), "2,3,0,1,6,7,4,5", "8,12,0,4,24,28,16,20"},
    {660, 50, Cap(), "3,3,0,0,7,7,4,4,2,2,1,1,6,6,5,5", "12,14,0,2,28,30,16,18,8,10,4,6,24,26,20,22"},
    {658, 50, Cap(), "1,1,0,0,3,3,2,2,5,5,4,4,7,7,6,6", "4,6,0,2,12,14,8,10,20,22,16,18,28,30,24,26"},
    {658, 47, Cap(), "", ""},
    {660, 47, Cap(), "", ""},
    {661, 56, Cap(8), "0,2,4,6", "0,8,16,24"},
    {661, 56, Cap(4), "1,1,3,3,5,5,7,7", "5,4,13,12,21,20,29,28"},
    {661, 47, Cap(), "0,1,2,3,4,5,6,7", "0,4,8,12,16,20,24,28"},
    {0, 0, Cap(), "", ""},
    {700, 0, Cap(), "", ""},
};

TEST(SplitWiring, EveryRowAndBoardWiresItsListAndInputZeroBeyond) {
    for (const WiringRow& r : kRows) {
        std::vector<int> dev = *r.dev ? Ints(r.dev) : std::vector<int>{};
        std::vector<int> chn = *r.chn ? Ints(r.chn) : std::vector<int>{};
        ASSERT_EQ(dev.size(), chn.size());
        for (int i = 0; i < 32; ++i) {
            SplitWiring w = SplitWiringOf(r.sys, 15, r.board, r.cap, i);
            bool listed = i < static_cast<int>(dev.size());
            SCOPED_TRACE("system " + std::to_string(r.sys) + " board " + std::to_string(r.board) + " channel " +
                         std::to_string(i));
            EXPECT_EQ(w.s32ViDev, listed ? dev[i] : 0);
            EXPECT_EQ(w.s32ViChn, listed ? chn[i] : 0);
            if (!listed) {
                EXPECT_EQ(w.s32CapSize, 0);
            }
            EXPECT_EQ(w.s32Wire2, r.sys == 661 ? 0 : 3);
        }
    }
}

// Size code of channel 0 by system type and size class.
TEST(SplitWiring, SizeCodesByClass) {
    struct Row {
        uint32_t sys, board;
        std::vector<std::pair<int, int>> classCode;  // class -> code
    };
    const std::vector<Row> rows = {
        {651, 0, {{15, 14}, {18, 18}, {19, 16}, {21, 16}, {12, 2}, {22, 2}, {25, 2}}},
        {655, 0, {{15, 14}, {18, 18}, {19, 16}, {21, 16}, {12, 2}, {25, 2}}},
        {652, 0, {{12, 14}, {15, 14}, {18, 18}, {19, 16}, {21, 16}, {22, 17}, {14, 2}, {25, 2}}},
        {654, 0, {{12, 14}, {15, 14}, {18, 18}, {22, 17}, {25, 2}}},
        {653, 0, {{15, 14}, {17, 2}, {18, 2}, {25, 2}}},
        {656, 0, {{15, 14}, {18, 2}, {22, 2}, {25, 2}}},
        {657, 0, {{15, 2}, {12, 2}, {18, 2}}},
        {662, 0, {{15, 2}, {18, 2}}},
        {663, 0, {{18, 18}, {19, 16}, {21, 16}, {15, 14}, {25, 14}}},
        {665, 0, {{15, 2}, {18, 2}}},
        {659, 55, {{12, 14}, {18, 18}, {20, 18}, {19, 16}, {21, 16}, {23, 17}, {24, 20}, {15, 0}, {25, 0}}},
        {658, 50, {{12, 14}, {15, 14}, {18, 18}, {20, 18}, {19, 16}, {21, 16}, {24, 20}, {23, 2}, {25, 2}}},
        {660, 53, {{12, 14}, {15, 14}, {18, 18}, {20, 18}, {19, 16}, {21, 16}, {24, 20}, {22, 2}, {25, 2}}},
        {661, 47, {{18, 18}, {15, 14}, {25, 14}}},
    };
    for (const Row& r : rows) {
        for (auto [cls, code] : r.classCode) {
            EXPECT_EQ(SplitWiringOf(r.sys, cls, r.board, Cap(), 0).s32CapSize, code)
                << "system " << r.sys << " class " << cls;
        }
    }
    // 666 goes by the analog counts, not the class.
    EXPECT_EQ(SplitWiringOf(666, 25, 0, Cap(0, 1, 4), 0).s32CapSize, 14);
    EXPECT_EQ(SplitWiringOf(666, 25, 0, Cap(0, 0, 4), 0).s32CapSize, 16);
    EXPECT_EQ(SplitWiringOf(666, 15, 0, Cap(8, 0, 0), 0).s32CapSize, 2);
}

TEST(SplitWiring, SecondaryNumbers) {
    const std::vector<int> list = Ints("0,1,2,3,4,5,6,7,0,0,0,0,0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15");
    for (int i = 0; i < 32; ++i) {
        EXPECT_EQ(SplitSecondaryOf(656, i), i < 28 ? list[i] : 0) << i;
        EXPECT_EQ(SplitSecondaryOf(660, i), i < 16 ? i : 0) << i;
        EXPECT_EQ(SplitSecondaryOf(661, i), i < 16 ? i : 0) << i;
    }
}

// The channels each layout shows with 16 and with 32 channels, written out by hand.
TEST(SplitWalk, EveryModeAndPage) {
    struct Row {
        int mode, page, total;
        const char* chns;
    };
    const Row rows[] = {
        {0, 0, 16, "0"},
        {0, 15, 16, "15"},
        {0, 16, 16, ""},
        {1, 1, 16, "2,3"},
        {2, 3, 16, "12,13,14,15"},
        {3, 0, 16, "0,1,2,3,4,5,6,7"},
        {3, 7, 16, "0,1,2,3,4,5,6,7"},
        {3, 8, 16, "8,9,10,11,12,13,14,15"},
        {3, 12, 16, "8,9,10,11,12,13,14,15"},
        {3, 16, 16, ""},
        {3, 24, 32, "24,25,26,27,28,29,30,31"},
        {3, 3, 32, "0,1,2,3,4,5,6,7"},
        {3, 40, 400, "320,321,322,323,324,325,326,327"},
        {4, 0, 16, "0,1,2,3,4,5,6,7,8"},
        {4, 1, 16, "7,8,9,10,11,12,13,14,15"},
        {4, 2, 32, "18,19,20,21,22,23,24,25,26"},
        {4, 3, 32, "27,28,29,30,31"},
        {5, 0, 16, "0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15"},
        {5, 1, 20, "16,17,18,19"},
        {6, 5, 16, "5"},
        {7, 0, 16, "0,1,2,3,4,5"},
        {7, 9, 16, "0,1,2,3,4,5"},
        {7, 0, 4, "0,1,2,3"},
        {8, 1, 16, "12,13,14,15"},
        {9, 0, 16, "0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15"},
        {10, 0, 32, "0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,28,29,30,31"},
        {11, 0, 16, "0,1,2,3,4,5,6,7,8,9,10,11,12"},
        {11, 1, 16, "13,14,15"},
        {12, 3, 16, "0,1,2,3,4"},
        {13, 2, 16, "0,1,2,3,4,5,6,7,8,9"},
        {14, 0, 16, "0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15"},
        {14, 1, 32, "20,21,22,23,24,25,26,27,28,29,30,31"},
        {15, 0, 16, ""},
        {2, 0, 0, ""},
    };
    for (const Row& r : rows) {
        int32_t chns[SPLIT_MAX_WINDOWS];
        int32_t n = SplitWalkWindows(r.mode, r.page, r.total, chns);
        std::vector<int> want = *r.chns ? Ints(r.chns) : std::vector<int>{};
        EXPECT_EQ(std::vector<int>(chns, chns + n), want) << "mode " << r.mode << " page " << r.page;
    }
}

TEST(SplitWalk, ModesAndPagesOutsideTheTableAreRefused) {
    int32_t chns[SPLIT_MAX_WINDOWS];
    for (auto [mode, page] : std::vector<std::pair<int, int>>{{-1, 0}, {16, 0}, {0x7FFFFFFF, 0}, {0, -1}, {5, -100}}) {
        EXPECT_EQ(SplitWalkWindows(mode, page, 32, chns), -1) << mode << "/" << page;
    }
    // A page so large its first channel overflows 32 bits shows nothing rather than a wrapped channel.
    EXPECT_EQ(SplitWalkWindows(10, 0x7FFFFFFF, 32, chns), 0);
    EXPECT_EQ(SplitWalkWindows(3, 0x7FFFFFFF, 32, chns), 0);
}

class SplitSetupTest : public ::testing::Test {
protected:
    void SetUp() override {
        SplitReset();
        CommClearSetupHooks();
    }
    void TearDown() override {
        SlaveResetSysCfg();
        SplitReset();
        CommClearSetupHooks();
    }
    static void Apply(uint32_t sys, uint32_t devType, uint32_t board, uint32_t end, HVR_CAP_S cap) {
        SLAVE_SYS_PARAM_S p;
        std::memset(&p, 0, sizeof(p));
        p.u32SysType = sys;
        p.u32DevType = devType;
        p.u32BoardSubType = board;
        p.u32ChnEnd = end;
        p.stHvrCap = cap;
        SlaveStoreSysParam(&p);
        ASSERT_EQ(HwSplitDevInit(), 0);
    }
    static std::pair<int, int> Wire(int chn) {
        int32_t vi = -9, dev = -9;
        EXPECT_EQ(SplitGetChnWiring(chn, &vi, &dev), 0) << chn;
        return {dev, vi};
    }
};

TEST_F(SplitSetupTest, ExamplesOfTheWiring) {
    Apply(653, 653, 0, 32, Cap());
    EXPECT_EQ(Wire(0), std::make_pair(6, 27));
    EXPECT_EQ(Wire(31), std::make_pair(4, 19));
    Apply(659, 659, 55, 8, Cap());
    EXPECT_EQ(Wire(1), std::make_pair(0, 0));
    Apply(661, 661, 47, 8, Cap(8));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(Wire(i), std::make_pair(2 * i, 8 * i));
    EXPECT_EQ(SplitGetChnVi(0, 1), 0) << "661's second wiring value";
    EXPECT_EQ(SplitGetChnVi(0, 0), 14) << "661 below class 18";
}

TEST_F(SplitSetupTest, RecordsAfterCommand96) {
    // 656 with 1080P inputs: class 15, size code 14.
    Apply(656, 656, 47, 16, Cap(0, 16));
    const SplitState* s = SplitGetState();
    EXPECT_EQ(s->u32One, 1u);
    EXPECT_EQ(s->s32SinglePreview, -1);
    EXPECT_EQ(s->s32Mode, -1);
    EXPECT_EQ(s->s32Page, -1);
    EXPECT_EQ(SplitGetChnCount(), 16);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(s->astChn[i].s32VoChn, i);
        EXPECT_EQ(s->astChn[i].bShown, 0u);
        EXPECT_EQ(SplitGetChnVi(i, 0), 14);
        EXPECT_EQ(SplitGetChnVi(i, 1), 3);
    }
    EXPECT_EQ(Wire(8), std::make_pair(0, 0));
    EXPECT_EQ(Wire(15), std::make_pair(1, 7));
    int32_t vi, dev;
    EXPECT_EQ(SplitGetChnWiring(16, &vi, &dev), -1) << "no record past the range end";
    EXPECT_EQ(SplitGetChnWiring(-1, &vi, &dev), -1);
    // Beyond 31 or beyond the selectors: 3 for selector 1, else 0.
    EXPECT_EQ(SplitGetChnVi(40, 1), 3);
    EXPECT_EQ(SplitGetChnVi(40, 0), 0);
    EXPECT_EQ(SplitGetChnVi(-1, 1), 3);
    EXPECT_EQ(SplitGetChnVi(0, 2), 0);
    // Command 87 stores a size code; a second command 96 refills everything.
    SplitSetChnPicSize(3, 18);
    EXPECT_EQ(SplitGetChnVi(3, 0), 18);
    SplitGetState()->astChn[2].bShown = 1;
    Apply(656, 656, 47, 16, Cap(0, 16));
    EXPECT_EQ(SplitGetChnVi(3, 0), 14);
    EXPECT_EQ(SplitGetState()->astChn[2].bShown, 0u);
}

TEST_F(SplitSetupTest, FortyChannelsReadAsThirtyTwoAndNoneLeavesRecordsZero) {
    Apply(656, 656, 47, 40, Cap(0, 16));
    EXPECT_EQ(SplitGetChnCount(), 32);
    EXPECT_EQ(Wire(31), std::make_pair(5, 23));
    Apply(656, 656, 47, 0, Cap(0, 16));
    EXPECT_EQ(SplitGetChnCount(), 0);
    EXPECT_EQ(SplitGetState()->astChn[0].s32ViChn, 0);
    EXPECT_EQ(SplitGetState()->astChn[0].s32Wire2, 0);
    int32_t vi, dev;
    EXPECT_EQ(SplitGetChnWiring(0, &vi, &dev), -1);
}

TEST_F(SplitSetupTest, AudioFlagOfARecord) {
    Apply(656, 656, 47, 8, Cap(0, 8));
    EXPECT_EQ(SplitSetChnAudio(3, 1), 0);
    EXPECT_EQ(SplitGetChnAudio(3), 1u);
    EXPECT_EQ(SplitSetChnAudio(3, 0), 0);
    EXPECT_EQ(SplitGetChnAudio(3), 0u);
    EXPECT_EQ(SplitSetChnAudio(8, 1), -1);
    EXPECT_EQ(SplitSetChnAudio(-1, 1), -1);
    EXPECT_EQ(SplitGetChnAudio(8), 0u);
}

TEST_F(SplitSetupTest, HooksReachTheRecords) {
    SplitRegisterModule();
    Apply(656, 656, 47, 8, Cap(0, 8));
    int32_t vi = -1, dev = -1;
    EXPECT_EQ(CommHookSplitGetChnWiring(0, &vi, &dev), 0);
    EXPECT_EQ(vi, 12);
    EXPECT_EQ(dev, 3);
    CommHookSplitSetChnPicSize(1, 17);
    EXPECT_EQ(CommHookSplitGetChnVi(1, 0), 17);
    EXPECT_EQ(SplitStart(1), 0);
    EXPECT_EQ(CommHookSplitGetVstd(), 1u);
    EXPECT_EQ(CommHookSplitGetSinglePreview(), -1);
}

// The detection and audio threads read the wiring and flip the audio flag while the command loop
// runs command 96 again: every read sees a whole record of one set-up or the other.
TEST_F(SplitSetupTest, WiringReadersRunAlongsideASecondSetUp) {
    Apply(656, 656, 47, 16, Cap(0, 16));
    std::atomic<bool> stop{false};
    std::atomic<int> reads{0}, torn{0};
    std::thread reader([&] {
        while (!stop.load()) {
            int32_t vi = -1, dev = -1;
            if (SplitGetChnWiring(15, &vi, &dev) == 0 && !((vi == 7 && dev == 1) || (vi == 19 && dev == 4))) ++torn;
            SplitSetChnAudio(15, 1);
            ++reads;
        }
    });
    for (int i = 0; i < 200 || reads.load() < 100; ++i) {
        // 656 wires channel 15 to VI 7 of device 1, 662 to VI 19 of device 4.
        Apply(i % 2 ? 656 : 662, 656, 47, 16, Cap(0, 16));
    }
    stop = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
}

}  // namespace
