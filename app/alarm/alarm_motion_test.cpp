// Motion detection: the macroblock map and thresholds against values worked out by hand from the
// rules, results imposed on the detection driver, the channel's life (enable, disable, failures) and
// the thread running while the command loop reconfigures.
#include <dirent.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <set>
#include <string>
#include <thread>

#include "app/alarm/alarm_testing.h"
#include "sdk/sys/sys_ioctl.h"
#include "sdk/vda/mpi_vda.h"

namespace {

using namespace alarm_testing;

uint32_t AllRows[MOTION_REGION_ROWS] = {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF,
                                        0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF};

// The macroblocks (row, column) a set of cells marks, listed by hand: a cell (r, c) covers picture
// lines 40r..40r+39 and columns 40c..40c+39 of 16-pixel macroblocks.
struct MapCase {
    const char* name;
    std::vector<std::pair<int, int>> cells;
    int32_t level;
    int32_t marked;
    std::vector<std::pair<int, int>> someMarked, someClear;
    int32_t sadTh, cntTh;
};

TEST(MotionMap, CellsMarkTheirMacroblocksAndGiveTheLevelsThresholds) {
    const MapCase cases[] = {
        {"every cell, level 3", {}, 3, 1200, {{0, 0}, {29, 39}, {15, 20}}, {}, 12, 6},
        {"cell (0,0), level 1", {{0, 0}}, 1, 9, {{0, 0}, {2, 2}, {0, 2}, {2, 0}}, {{3, 0}, {0, 3}, {3, 3}}, 14, 1},
        // Columns 40..79 start in macroblock 2 and end at (80 + 8) / 16 = 5; lines 40..79 rows 2 to 4.
        {"cell (1,1), level 6", {{1, 1}}, 6, 9, {{2, 2}, {4, 4}}, {{1, 2}, {5, 2}, {2, 5}, {2, 1}}, 6, 1},
        // The last cell reaches the map's last used row and column.
        {"cell (11,15), level 2", {{11, 15}}, 2, 9, {{27, 37}, {29, 39}}, {{26, 37}, {27, 36}, {30, 39}}, 14, 1},
        // Neighbours share a border column: (0,0) and (0,1) cover columns 0-2 and 2-4, 15 in all.
        {"cells (0,0) and (0,1), level 4", {{0, 0}, {0, 1}}, 4, 15, {{0, 2}, {2, 4}}, {{0, 5}}, 10, 1},
        {"no cell, level 5", {{-1, -1}}, 5, 0, {}, {{0, 0}, {29, 39}}, 8, 10000},
        {"every cell, level 7", {}, 7, 1200, {{0, 0}}, {}, 14, 100},
        {"every cell, level 0", {}, 0, 1200, {{0, 0}}, {}, 14, 100},
        {"every cell, level 1", {}, 1, 1200, {}, {}, 14, 12},
        {"every cell, level 2", {}, 2, 1200, {}, {}, 14, 8},
    };
    for (const MapCase& k : cases) {
        SCOPED_TRACE(k.name);
        uint32_t rows[MOTION_REGION_ROWS] = {};
        if (k.cells.empty()) std::memcpy(rows, AllRows, sizeof(rows));
        for (auto [r, c] : k.cells) {
            if (r >= 0) rows[r] |= 1u << c;
        }
        rows[12] = rows[17] = 0xFFFF;  // rows past the grid are not used
        uint8_t map[MOTION_MB_MAP_BYTES];
        EXPECT_EQ(MotionBuildMbMap(rows, map), k.marked);
        for (auto [y, x] : k.someMarked) EXPECT_EQ(map[40 * y + x], 1) << y << "," << x;
        for (auto [y, x] : k.someClear) EXPECT_EQ(map[40 * y + x], 0) << y << "," << x;
        const MotionThresholds th = MotionLevelThresholds(k.level, k.marked);
        EXPECT_EQ(th.s32SadTh, k.sadTh);
        EXPECT_EQ(th.s32CntTh, k.cntTh);
    }
}

TEST(MotionMap, AnyPictureSize) {
    std::vector<uint8_t> map;
    uint32_t rows[MOTION_REGION_ROWS] = {};
    rows[0] = 1;  // cell (0,0)
    // 704 x 576: cells of 44 x 48, so macroblock columns 0..2 (44 / 16 up) and rows 0..2; 44 a row.
    EXPECT_EQ(MotionBuildMbMapEx(rows, 704, 576, &map), 9);
    EXPECT_EQ(map.size(), 44u * 36u);
    EXPECT_EQ(map[2 * 44 + 2], 1);
    EXPECT_EQ(map[3 * 44 + 0], 0);
    EXPECT_EQ(map[0 * 44 + 3], 0);
    // 1920 x 1080: cells of 120 x 90; cell (11,15) spans lines 990..1079 (rows 61..67) and columns
    // 1800..1919 (119 and 120 a row: 112..119).
    rows[0] = 0;
    rows[11] = 1u << 15;
    EXPECT_EQ(MotionBuildMbMapEx(rows, 1920, 1080, &map), 7 * 8);
    EXPECT_EQ(map[61 * 120 + 112], 1);
    EXPECT_EQ(map[67 * 120 + 119], 1);
    EXPECT_EQ(map[60 * 120 + 119], 0);
    EXPECT_EQ(MotionBuildMbMapEx(AllRows, 640, 480, &map), 1200);
}

TEST(MotionMap, CountsOnlyWatchedMacroblocksAboveTheThreshold) {
    uint32_t rows[MOTION_REGION_ROWS] = {};
    rows[0] = 1;
    uint8_t map[MOTION_MB_MAP_BYTES];
    MotionBuildMbMap(rows, map);
    constexpr uint32_t kStride = 48;
    std::vector<uint8_t> sad(kStride * 30, 200);  // everything outside the cell changed
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 3; ++x) sad[y * kStride + x] = 14;
    VDA_DATA_S d;
    std::memset(&d, 0, sizeof(d));
    d.u32MbWidth = 40;
    d.u32MbHeight = 30;
    d.unData.stMdData.bMbSadValid = 1;
    d.unData.stMdData.stMbSadData.u32Stride = kStride;
    EXPECT_EQ(MotionCountChanged(map, d, sad.data(), 14), 0u) << "14 is not above 14";
    sad[2 * kStride + 2] = 15;
    sad[0] = 255;
    EXPECT_EQ(MotionCountChanged(map, d, sad.data(), 14), 2u);
    d.unData.stMdData.bMbSadValid = 0;
    EXPECT_EQ(MotionCountChanged(map, d, sad.data(), 14), 0u);
}

// Every SAD value against thresholds around the 7-bit boundary, on full and narrower rows: the count
// equals a plain count of watched macroblocks above the threshold.
TEST(MotionMap, CountsMatchAPlainCountForEveryValueAndThreshold) {
    uint8_t map[MOTION_MB_MAP_BYTES];
    for (int i = 0; i < MOTION_MB_MAP_BYTES; ++i) map[i] = (i * 7 + i / 40) % 3 != 0;
    constexpr uint32_t kStride = 48;
    std::vector<uint8_t> sad(kStride * 30);
    for (size_t i = 0; i < sad.size(); ++i) sad[i] = static_cast<uint8_t>(i * 37 + i / 48);
    for (uint32_t width : {40u, 37u, 8u, 3u}) {
        for (int32_t th : {-1, 0, 6, 12, 14, 126, 127, 128, 200, 254, 255}) {
            VDA_DATA_S d;
            std::memset(&d, 0, sizeof(d));
            d.u32MbWidth = width;
            d.u32MbHeight = 30;
            d.unData.stMdData.bMbSadValid = 1;
            d.unData.stMdData.stMbSadData.u32Stride = kStride;
            uint32_t want = 0;
            for (uint32_t y = 0; y < 30; ++y)
                for (uint32_t x = 0; x < width; ++x) want += map[y * 40 + x] == 1 && sad[y * kStride + x] > th;
            EXPECT_EQ(MotionCountChanged(map, d, sad.data(), th), want) << "width " << width << " threshold " << th;
        }
    }
}

class MotionTest : public AlarmTest {
protected:
    static void Enable(int32_t chn, int32_t level, const uint32_t* rows, int32_t enable = 1) {
        std::vector<uint32_t> w(22, 0);
        w[0] = static_cast<uint32_t>(chn);
        w[1] = static_cast<uint32_t>(level);
        for (int i = 0; i < MOTION_REGION_ROWS; ++i) w[2 + i] = rows[i];
        w[21] = static_cast<uint32_t>(enable);
        Cmd(88, w);
    }
    static int32_t Set(int32_t chn, int32_t level, const uint32_t* rows, int32_t enable) {
        MOTION_PARAM_S p;
        std::memset(&p, 0, sizeof(p));
        p.s32Level = level;
        std::memcpy(p.au32Region, rows, sizeof(p.au32Region));
        p.s32Enable = enable;
        return MotionDetectSetParameter(chn, &p);
    }
    // One imposed result on channel `chn`: `hot` macroblocks of the top rows at SAD `value`, the rest 0.
    static void Result(int32_t chn, int hot, uint16_t value) {
        std::vector<uint16_t> sad(40 * 30, 0);
        for (int i = 0; i < hot; ++i) sad[i] = value;
        drv::vda_view::Inject(chn, drv::vda_view::Injection{sad, {}, {}, {}, {}});
        ASSERT_TRUE(drv::vda_view::Produce(chn));
    }
    // The process's detection threads, by name: threads of earlier tests may still be ending.
    static int Threads() {
        int n = 0;
        if (DIR* d = opendir("/proc/self/task")) {
            while (dirent* e = readdir(d)) {
                if (e->d_name[0] == '.') continue;
                std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
                std::string name;
                n += std::getline(comm, name) && name == "motion detect";
            }
            closedir(d);
        }
        return n;
    }
    // A thread joined can still be listed for a moment: waits up to five seconds for `want`.
    static int ThreadsSettle(int want) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        int n = Threads();
        while (n != want && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            n = Threads();
        }
        return n;
    }
};

TEST_F(MotionTest, EnableBindsAChannelAndImposedResultsSetAndClearItsBit) {
    Enable(2, 3, AllRows);
    const MotionRecordView r = MotionGetRecord(2);
    EXPECT_EQ(r.s32Enabled, 1);
    EXPECT_EQ(r.s32Running, 1);
    EXPECT_EQ(r.s32SadTh, 12);
    EXPECT_EQ(r.s32CntTh, 6);
    auto v = drv::vda_view::Get(2);
    ASSERT_TRUE(v.has_value());
    EXPECT_TRUE(v->receiving);
    EXPECT_EQ(v->attr.enWorkMode, static_cast<MK_U32>(VDA_WORK_MODE_MD));
    EXPECT_EQ(v->attr.u32Width, 640u);
    EXPECT_EQ(v->attr.u32Height, 480u);
    const VDA_MD_ATTR_S& md = v->attr.unAttr.stMdAttr;
    EXPECT_EQ(md.enMbSize, 1u);
    EXPECT_EQ(md.enMbSadBits, 0u);
    EXPECT_EQ(md.u32MdBufNum, 8u);
    EXPECT_EQ(md.u32VdaIntvl, 4u);
    EXPECT_EQ(md.u32BgUpSrcWgt, 255u);
    EXPECT_EQ(md.u32SadTh, 100u);
    EXPECT_EQ(md.u32ObjNumMax, 128u);
    auto src = drv::BindGraph::Instance().SourceOf(MPP_CHN_S{MK_ID_VDA, 0, 2});
    ASSERT_TRUE(src.has_value());
    EXPECT_EQ(src->enModId, MK_ID_VIU);
    EXPECT_EQ(src->s32ChnId, 2 + kViOffset);

    SlaveSetMotionBit(0);  // another channel's bit stays
    Result(2, 6, 13);
    EXPECT_EQ(MotionCapPass(1000), 1);
    EXPECT_EQ(SlaveGetMotionBitmap(), 0x5u);
    Result(2, 5, 255);
    EXPECT_EQ(MotionCapPass(1000), 1);
    EXPECT_EQ(SlaveGetMotionBitmap(), 0x1u);
    Result(2, 40 * 30, 12);
    EXPECT_EQ(MotionCapPass(1000), 1);
    EXPECT_EQ(SlaveGetMotionBitmap(), 0x1u) << "12 is not above 12";
    EXPECT_EQ(drv::vda_view::Get(2)->held, 0u) << "every result is given back";
}

TEST_F(MotionTest, EnablingClearsTheBitmapAndAnEmptyRegionNeverShowsMotion) {
    SlaveSetMotionBit(7);
    uint32_t none[MOTION_REGION_ROWS] = {};
    Enable(1, 6, none);
    EXPECT_EQ(SlaveGetMotionBitmap(), 0u);
    EXPECT_EQ(MotionGetRecord(1).s32CntTh, 10000);
    Result(1, 40 * 30, 255);
    EXPECT_EQ(MotionCapPass(1000), 1);
    EXPECT_EQ(SlaveGetMotionBitmap(), 0u);
}

TEST_F(MotionTest, ChannelsOutsideTheRangeAndNullRecordsAreRefused) {
    EXPECT_EQ(Set(-1, 3, AllRows, 1), -1);
    EXPECT_EQ(Set(4, 3, AllRows, 1), -1) << "TOTAL_VI_CHN_NUM is 4";
    EXPECT_EQ(MotionDetectSetParameter(0, nullptr), -1);
    for (int c : {-1, 4}) EXPECT_FALSE(drv::vda_view::Get(c < 0 ? 127 : c).has_value());
    EXPECT_EQ(MotionGetRecord(0).s32Enabled, 0);
    EXPECT_EQ(MotionCapPass(10), -1) << "nothing is watched";
    // Size class 25 (no analog input above D1 class) has no motion detection: 0, nothing done.
    SLAVE_SYS_PARAM_S p;
    std::memset(&p, 0, sizeof(p));
    p.u32DevType = 651;
    p.u32ChnEnd = 4;
    p.stHvrCap.as16Analog[HVR_CAP_D1] = 4;
    SlaveStoreSysParam(&p);
    EXPECT_EQ(Set(0, 3, AllRows, 1), 0);
    EXPECT_EQ(MotionGetRecord(0).s32Enabled, 0);
    EXPECT_FALSE(drv::vda_view::Get(0).has_value());
}

TEST_F(MotionTest, DisableStopsUnbindsAndDestroysAndKeepsTheBit) {
    Enable(3, 3, AllRows);
    Result(3, 40 * 30, 200);
    EXPECT_EQ(MotionCapPass(1000), 1);
    EXPECT_EQ(SlaveGetMotionBitmap(), 0x8u);
    EXPECT_EQ(Set(3, 3, AllRows, 0), 0);
    EXPECT_FALSE(drv::vda_view::Get(3).has_value());
    EXPECT_FALSE(VdaBound(3));
    EXPECT_EQ(MotionGetRecord(3).s32Enabled, 0);
    EXPECT_EQ(MotionGetRecord(3).s32Running, 0);
    EXPECT_EQ(SlaveGetMotionBitmap(), 0x8u);
    EXPECT_EQ(MotionCapPass(10), -1);
    // Reconfiguring a running channel tears the old detection channel down first.
    Enable(3, 1, AllRows);
    Enable(3, 2, AllRows);
    EXPECT_TRUE(drv::vda_view::Get(3).has_value());
    EXPECT_EQ(MotionGetRecord(3).s32CntTh, 8);
}

TEST_F(MotionTest, AFailedStepIsUndoneAndARetrySucceeds) {
    auto vda = dev::Registry::Find("/dev/vda");
    auto sys = dev::Registry::Find("/dev/sys");
    struct Step {
        const char* name;
        std::shared_ptr<dev::Driver> driver;
        unsigned long request;
    } steps[] = {{"create", vda, mk::vda::kCreateChn},
                 {"bind", sys, MK_SYS_IOC_BIND},
                 {"start", vda, mk::vda::kStartRecvPic}};
    constexpr int32_t kCode = static_cast<int32_t>(0xA0098010);
    for (const Step& s : steps) {
        SCOPED_TRACE(s.name);
        s.driver->FailRequest(s.request, kCode);
        EXPECT_EQ(Set(0, 3, AllRows, 1), kCode);
        EXPECT_EQ(MotionGetRecord(0).s32Enabled, 0);
        EXPECT_EQ(MotionGetRecord(0).s32Running, 0);
        EXPECT_FALSE(drv::vda_view::Get(0).has_value());
        EXPECT_FALSE(VdaBound(0));
        EXPECT_EQ(Set(0, 3, AllRows, 1), 0) << "the next command 88 works";
        EXPECT_TRUE(drv::vda_view::Get(0)->receiving);
        EXPECT_EQ(Set(0, 3, AllRows, 0), 0);
    }
    // A failed tear-down leaves the channel as it was.
    Set(1, 3, AllRows, 1);
    vda->FailRequest(mk::vda::kStopRecvPic, kCode);
    EXPECT_EQ(Set(1, 3, AllRows, 0), kCode);
    EXPECT_EQ(MotionGetRecord(1).s32Running, 1);
    EXPECT_EQ(Set(1, 3, AllRows, 0), 0);
}

TEST_F(MotionTest, AFailedFetchKeepsTheBitAndReleasesNothing) {
    Enable(0, 3, AllRows);
    Result(0, 40 * 30, 200);
    EXPECT_EQ(MotionCapPass(1000), 1);
    EXPECT_EQ(SlaveGetMotionBitmap(), 0x1u);
    Result(0, 0, 0);
    dev::Registry::Find("/dev/vda")->FailRequest(mk::vda::kGetData, static_cast<int32_t>(0xA0098010));
    EXPECT_EQ(MotionCapPass(1000), 0);
    EXPECT_EQ(SlaveGetMotionBitmap(), 0x1u);
    EXPECT_EQ(drv::vda_view::Get(0)->held, 0u);
    EXPECT_EQ(MotionCapPass(1000), 1) << "the result is still there";
    EXPECT_EQ(SlaveGetMotionBitmap(), 0u);
}

// The whole path: the capture channel's test pattern reaches the detection channel through the frame
// router; its moving bar is motion, the still lost-signal picture none.
TEST_F(MotionTest, TheTestPatternIsMotionAndTheStillUserPictureNone) {
    Pools(16);
    StartVi(1 + kViOffset);
    Enable(1, 6, AllRows);
    auto bitAfterPasses = [&](bool want) {
        for (int i = 0; i < 40; ++i) {
            MotionCapPass(1000);
            if (((SlaveGetMotionBitmap() >> 1) & 1u) == static_cast<uint32_t>(want)) return true;
        }
        return false;
    };
    EXPECT_TRUE(bitAfterPasses(true));
    Cmd(95, {1, 1});
    EXPECT_TRUE(bitAfterPasses(false));
    // Still off a few results later.
    for (int i = 0; i < 3; ++i) MotionCapPass(1000);
    EXPECT_EQ(SlaveGetMotionBitmap() & 2u, 0u);
    Cmd(95, {1, 0});
    EXPECT_TRUE(bitAfterPasses(true));
    EXPECT_EQ(Set(1, 6, AllRows, 0), 0);
}

TEST_F(MotionTest, StateWordTakesTheBitmapAndIsClearedWhenRead) {
    EXPECT_EQ(MotionDetectGetState(nullptr), -1);
    SlaveSetMotionBit(1);
    SlaveSetMotionBit(3);
    uint32_t w = 0;
    EXPECT_EQ(MotionDetectGetState(&w), 0);
    EXPECT_EQ(w, 0xAu);
    SlaveClearMotionBitmap();
    EXPECT_EQ(MotionDetectGetState(&w), 0);
    EXPECT_EQ(w, 0u);
}

// A command 88 that makes the channel again between the thread's wait and its read: the read finds
// no result and the pass goes on (a waiting read would hold the record's lock until a picture came).
TEST_F(MotionTest, AChannelMadeAgainAfterTheWaitIsNotWaitedOn) {
    Enable(2, 3, AllRows);
    Result(2, 6, 13);
    fd_set ready;
    ASSERT_EQ(MotionCapSelect(1000, &ready), 1);
    ASSERT_EQ(Set(2, 3, AllRows, 1), 0);
    auto pass = std::async(std::launch::async, [&] { return MotionCapEvaluate(&ready); });
    if (pass.wait_for(std::chrono::seconds(3)) != std::future_status::ready) {
        drv::vda_view::Produce(2);  // lets the read go, so the test can end
        ADD_FAILURE() << "the read waited for the new channel's first result";
    }
    EXPECT_EQ(pass.get(), 0);
    EXPECT_EQ(Set(2, 3, AllRows, 1), 0) << "the next command 88 is not held up";
}

TEST_F(MotionTest, ARepeatedStartLeavesOneThread) {
    ASSERT_EQ(ThreadsSettle(0), 0);
    Cmd(89, {});
    EXPECT_EQ(Threads(), 1);
    Cmd(89, {});
    EXPECT_EQ(Threads(), 1);
    MotionDetectStop();
    EXPECT_EQ(ThreadsSettle(0), 0);
}

// The thread reads results while the command loop reconfigures the channels and results keep coming:
// under TSan any unguarded use shows; at the end every channel is down and nothing is held.
TEST_F(MotionTest, ReconfiguringWhileTheThreadRuns) {
    Cmd(89, {});
    std::atomic<bool> done{false};
    std::thread producer([&] {
        while (!done.load()) {
            for (int c = 0; c < 4; ++c) drv::vda_view::Produce(c);
            std::this_thread::yield();
        }
    });
    for (int i = 0; i < 60; ++i) {
        for (int c = 0; c < 4; ++c) Enable(c, 1 + (i + c) % 6, AllRows, (i + c) % 3 != 0);
    }
    done = true;
    producer.join();
    for (int c = 0; c < 4; ++c) EXPECT_EQ(Set(c, 3, AllRows, 0), 0);
    MotionDetectStop();
    for (int c = 0; c < 4; ++c) EXPECT_FALSE(drv::vda_view::Get(c).has_value()) << c;
}

}  // namespace
