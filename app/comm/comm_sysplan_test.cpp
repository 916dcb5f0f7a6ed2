// The pool plans of commands 96 and 85 against tables written out by hand from the plan rules.
#include "app/comm/comm_sysplan.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct Cap {
    int16_t a960p = 0, a1080p = 0, a5m = 0, a4m = 0, a3m = 0, a8m = 0, d3m = 0, d5m = 0;
    uint32_t pb = 0;
};
struct Words {
    uint32_t w6 = 4, w8 = 8, w9 = 0, w10 = 4, w13 = 0, start = 0, end = 8;
};

SlaveSysCfg Cfg(uint32_t dev, const Cap& c, const Words& w) {
    SlaveSysCfg cfg;
    cfg.u32DevType = dev;
    cfg.u32DecNum = w.w6;
    cfg.u32FirstDecChn = w.w8;
    cfg.u32DigitalNum = w.w9;
    cfg.u32PlayDecNum = w.w10;
    cfg.u32EncPoolFlag = w.w13;
    cfg.u32ChnStart = w.start;
    cfg.u32ChnEnd = w.end;
    HVR_CAP_S& h = cfg.stHvrCap;
    h.as16Analog[HVR_CAP_960P] = c.a960p;
    h.as16Analog[HVR_CAP_1080P] = c.a1080p;
    h.as16Analog[HVR_CAP_5M] = c.a5m;
    h.as16Analog[HVR_CAP_4M] = c.a4m;
    h.as16Analog[HVR_CAP_3M] = c.a3m;
    h.as16Analog[HVR_CAP_8M] = c.a8m;
    h.as16Digital[HVR_CAP_3M] = c.d3m;
    h.as16Digital[HVR_CAP_5M] = c.d5m;
    h.u32MaxPlayBackWay = c.pb;
    return cfg;
}

struct Pool {
    uint32_t size, count;
};

struct PlanCase {
    const char* name;
    uint32_t dev;
    Cap cap;
    Words words;
    int32_t cls;
    Pool common[5];
    Pool dec[2];
    Pool encMain, encSub;
    bool initDec;
    uint32_t refused;
};

void ExpectPlan(const PlanCase& k) {
    SysVbPlan plan;
    CommPlanSysVb(Cfg(k.dev, k.cap, k.words), &plan);
    SCOPED_TRACE(k.name);
    EXPECT_EQ(plan.s32SizeClass, k.cls);
    EXPECT_EQ(plan.stCommon.u32MaxPoolCnt, 4u);
    EXPECT_EQ(plan.stDec.u32MaxPoolCnt, 4u);
    for (int i = 0; i < 16; ++i) {
        Pool want = i < 5 ? k.common[i] : Pool{0, 0};
        // An absent pool has count 0; its size does not matter.
        EXPECT_EQ(plan.stCommon.astCommPool[i].u32BlkCnt, want.count) << "common pool " << i + 1;
        if (want.count) {
            EXPECT_EQ(plan.stCommon.astCommPool[i].u32BlkSize, want.size) << "common pool " << i + 1;
        }
        EXPECT_EQ(plan.stCommon.astCommPool[i].acMmzName[0], '\0');
        Pool wantDec = i < 2 ? k.dec[i] : Pool{0, 0};
        EXPECT_EQ(plan.stDec.astCommPool[i].u32BlkCnt, wantDec.count) << "decoder pool " << i + 1;
        if (wantDec.count) {
            EXPECT_EQ(plan.stDec.astCommPool[i].u32BlkSize, wantDec.size) << "decoder pool " << i + 1;
        }
    }
    EXPECT_EQ(plan.stEncMain.u32BlkCnt, k.encMain.count);
    EXPECT_EQ(plan.stEncSub.u32BlkCnt, k.encSub.count);
    if (k.encMain.count) { EXPECT_EQ(plan.stEncMain.u32BlkSize, k.encMain.size); }
    if (k.encSub.count) { EXPECT_EQ(plan.stEncSub.u32BlkSize, k.encSub.size); }
    EXPECT_EQ(plan.bInitDecPools, k.initDec);
    EXPECT_EQ(plan.u32Refused, k.refused);
}

constexpr Pool _ = {0, 0};

// Every row and condition of the plan table, the digital plans and the empty ones.
const PlanCase kPlans[] = {
    {"12 on 655, word 13 clear", 655, {.a1080p = 8, .pb = 8}, {}, 12,
     {{4173120, 48}, {811008, 16}, {152064, 16}, _, _}, {{3133440, 40}, _}, {3159360, 20}, {608256, 12}, true, 0},
    {"12 on 657 with word 13", 657, {.a1080p = 4, .pb = 4}, {.w13 = 1}, 12,
     {{4173120, 48}, {811008, 32}, {152064, 16}, _, _}, {{3133440, 20}, _}, {3159360, 28}, {608256, 28}, true, 0},
    {"14 on 654", 654, {.a960p = 16, .pb = 16}, {.w8 = 5}, 14,
     {{1592640, 90}, {811008, 128}, _, {10368000, 2}, {3136320, 9}}, {{2088960, 25}, _}, {3159360, 32}, {608256, 32},
     true, 0},
    {"15 on 656", 656, {.a1080p = 8, .pb = 8}, {}, 15, {{3159360, 144}, {811008, 96}, {152064, 64}, _, _},
     {{3133440, 48}, _}, {3159360, 32}, {608256, 24}, true, 0},
    {"15 on 658, no digital", 658, {.a1080p = 16, .pb = 16}, {.w6 = 4, .end = 16}, 15,
     {{3159360, 54}, {811008, 64}, {10368000, 2}, _, _}, {{3159360, 20}, _}, {3159360, 32}, {608256, 32}, true, 0},
    {"15 on 658, digital", 658, {.a1080p = 16, .pb = 16}, {.w6 = 4, .w9 = 2, .end = 16}, 15,
     {{3159360, 54}, {811008, 64}, {10368000, 2}, {811008, 64}, _}, {{3159360, 40}, {608256, 8}}, {3159360, 32},
     {608256, 32}, true, 0},
    {"15 on 659", 659, {.a1080p = 16, .pb = 16}, {.w6 = 4, .start = 8, .end = 16}, 15,
     {{3159360, 64}, {811008, 32}, {10368000, 2}, _, _}, {{3159360, 20}, _}, {3159360, 16}, {608256, 16}, true, 0},
    {"15 on 660, 16 ways", 660, {.a1080p = 32, .pb = 16}, {.w6 = 8}, 15,
     {{3159360, 100}, {811008, 80}, {10368000, 2}, _, _}, {{3159360, 32}, _}, {3159360, 24}, {608256, 24}, false, 0},
    {"15 on 661, 32 ways", 661, {.a1080p = 32, .pb = 32}, {.w6 = 8}, 15,
     {{3159360, 120}, {811008, 96}, {10368000, 2}, {1408320, 100}, _}, {{3159360, 40}, _}, {3159360, 24},
     {608256, 24}, false, 0},
    {"15 on 651, 16 ways", 651, {.a1080p = 16, .pb = 16}, {}, 15, {{3159360, 88}, {634176, 60}, {1382400, 30}, _, _},
     {{3133440, 62}, _}, {3159360, 24}, {608256, 24}, true, 0},
    {"15 on 651, 8 ways", 651, {.a1080p = 16, .pb = 8}, {}, 15, {{3159360, 120}, {634176, 60}, {1382400, 10}, _, _},
     {{3133440, 24}, _}, {3159360, 24}, {608256, 24}, true, 0},
    {"16, no digital", 652, {.a960p = 24, .pb = 8}, {}, 16, {{1592640, 200}, {811008, 96}, _, _, _},
     {{2088960, 32}, _}, {1592640, 48}, {608256, 48}, true, 0},
    {"16, digital", 652, {.a960p = 24, .pb = 8}, {.w9 = 1}, 16, {{1592640, 200}, {811008, 96}, _, _, _},
     {{3133440, 32}, {608256, 4}}, {1592640, 48}, {608256, 48}, true, 0},
    {"17, negative word 9", 653, {.a960p = 32, .pb = 8}, {.w9 = 0xFFFFFFFFu}, 17,
     {{1592640, 200}, {811008, 64}, {152064, 64}, _, _}, {{2088960, 32}, _}, {1592640, 64}, {608256, 64}, true, 0},
    {"18 on 656 with 5M 8", 656, {.a5m = 8, .pb = 8}, {.w8 = 4}, 18,
     {{7501440, 45}, {3146880, 35}, {608256, 96}, {10368000, 2}, _}, {{7501440, 32}, _}, {3732480, 22}, {608256, 22},
     true, 0},
    {"18 on 659 with 5M 16", 659, {.a5m = 16, .pb = 8}, {.w8 = 4}, 18,
     {{7501440, 45}, {3146880, 35}, {608256, 96}, {10368000, 2}, _}, {{7501440, 16}, _}, {3732480, 22}, {608256, 22},
     false, 0},
    {"18 on 657 with 5M 8", 657, {.a5m = 8, .pb = 8}, {.w8 = 2}, 18,
     {{7501440, 45}, {3146880, 35}, {608256, 96}, {10368000, 2}, _}, {{7501440, 16}, _}, {3732480, 22}, {608256, 22},
     true, 0},
    {"19 on 656", 656, {.a4m = 8, .pb = 8}, {}, 19, {{5566080, 76}, {608256, 96}, _, {3146880, 40}, _},
     {{6193152, 32}, _}, {2801280, 24}, {304128, 24}, true, 0},
    {"19 on 651: empty", 651, {.a4m = 8, .pb = 8}, {}, 19, {_, _, _, _, _}, {_, _}, _, _, true, 0},
    {"20", 657, {.a5m = 4, .pb = 4}, {}, 20, {{7501440, 60}, {608256, 16}, _, _, _}, {{8294016, 20}, _},
     {7501440, 8}, {608256, 8}, true, 0},
    {"20 with word 13", 657, {.a5m = 4, .pb = 4}, {.w13 = 1}, 20, {{7501440, 60}, {608256, 16}, _, _, _},
     {{8294016, 20}, _}, {7501440, 12}, {608256, 12}, true, 0},
    {"21 on 656", 656, {.a4m = 16, .pb = 8}, {}, 21, {{5566080, 68}, {608256, 96}, {3110400, 53}, _, _},
     {{5529600, 28}, _}, {2801280, 32}, {608256, 34}, true, 0},
    {"21 on 660", 660, {.a4m = 32, .pb = 16}, {}, 21,
     {{5566080, 74}, {608256, 96}, {3110400, 53}, {10368000, 2}, _}, {{5529600, 53}, _}, {2801280, 32},
     {608256, 32}, false, 0},
    {"21 on 657: empty", 657, {.a4m = 16, .pb = 8}, {}, 21, {_, _, _, _, _}, {_, _}, _, _, true, 0},
    {"22 on 656", 656, {.a3m = 16, .pb = 16}, {}, 22,
     {{4181760, 34}, {608256, 128}, {4147200, 48}, {4147200, 40}, _}, {{4147200, 60}, _}, {2108160, 32},
     {608256, 32}, true, 0},
    {"23 on 657", 657, {.a3m = 8, .pb = 8}, {}, 23, {{4181760, 34}, {608256, 128}, {4147200, 60}, _, _},
     {{4147200, 40}, _}, {2108160, 20}, {608256, 20}, true, 0},
    {"24 on any", 661, {.a8m = 4, .pb = 4}, {}, 24, {{12493440, 65}, {608256, 48}, _, _, _}, {_, _},
     {6220800, 12}, {608256, 12}, true, 0},
    {"3M analog on 651 is no class: digital", 651, {.a3m = 8, .pb = 8}, {.w10 = 6}, 25,
     {{3159360, 10}, {811008, 10}, _, _, _}, {{3133440, 30}, _}, _, _, true, 0},
    {"digital without 3M or 5M", 656, {.pb = 8}, {.w10 = 4}, 25, {{3159360, 10}, {811008, 10}, _, _, _},
     {{3133440, 20}, _}, _, _, true, 0},
    {"digital 5M", 656, {.d3m = 8, .d5m = 4, .pb = 4}, {}, 25,
     {{10368000, 2}, {3110400, 10}, {8257536, 30}, {811008, 40}, _}, {{8257536, 36}, {811008, 46}}, _, _, true, 0},
    {"digital 5M with digital channels", 656, {.d5m = 4, .pb = 4}, {.w9 = 3}, 25,
     {{10368000, 2}, {3110400, 10}, {8257536, 30}, {811008, 40}, _}, {{8257536, 36}, {608256, 12}}, _, _, true, 0},
    {"digital 3M only: empty", 656, {.d3m = 8, .pb = 8}, {}, 25, {_, _, _, _, _}, {_, _}, _, _, true, 0},
};

TEST(SysPlanTest, PlansByProductCapabilityAndWords) {
    for (const PlanCase& k : kPlans) ExpectPlan(k);
}

// The master's multipliers are computed in 64 bits: a count that does not fit leaves its pool out and
// is reported, instead of wrapping into a small pool.
TEST(SysPlanTest, CountsOutsideThirtyTwoBitsAreRefused) {
    const PlanCase kRefused[] = {
        {"5 x MaxPB", 655, {.a1080p = 8, .pb = 0x40000000u}, {}, 12,
         {{4173120, 48}, {811008, 16}, {152064, 16}, _, _}, {_, _}, {3159360, 20}, {608256, 12}, true,
         SYS_PLAN_DEC0},
        {"5 x word 8", 654, {.a960p = 16, .pb = 16}, {.w8 = 0xFFFFFFFFu}, 14,
         {{1592640, 90}, {811008, 128}, _, {10368000, 2}, {3136320, 9}}, {_, _}, {3159360, 32}, {608256, 32}, true,
         SYS_PLAN_DEC0},
        {"4 x word 9", 656, {.d5m = 4, .pb = 4}, {.w9 = 0x7FFFFFFFu}, 25,
         {{10368000, 2}, {3110400, 10}, {8257536, 30}, {811008, 40}, _}, {{8257536, 36}, _}, _, _, true,
         SYS_PLAN_DEC0 << 1},
        {"range end below its start", 658, {.a1080p = 16, .pb = 16}, {.w6 = 4, .start = 10, .end = 4}, 15,
         {{3159360, 54}, {811008, 64}, {10368000, 2}, _, _}, {{3159360, 20}, _}, _, _, true,
         SYS_PLAN_ENC_MAIN | SYS_PLAN_ENC_SUB},
        {"2N of a wide range", 659, {.a1080p = 16, .pb = 16}, {.w6 = 4, .start = 0, .end = 0xFFFFFFFFu}, 15,
         {{3159360, 64}, {811008, 32}, {10368000, 2}, _, _}, {{3159360, 20}, _}, _, _, true,
         SYS_PLAN_ENC_MAIN | SYS_PLAN_ENC_SUB},
    };
    for (const PlanCase& k : kRefused) ExpectPlan(k);
}

TEST(SysPlanTest, DecoderBlockSizeOfTheLargestAnalogPicture) {
    struct Case {
        uint32_t vstd;
        int32_t code;
        uint32_t size;
    } cases[] = {
        {0, 14, 60 * 68 * 768},   // 1920 x 1080: 1080 / 16 rounds up to 68
        {0, 16, 80 * 90 * 768},   // 2560 x 1440
        {0, 18, 80 * 122 * 768},  // 2560 x 1944
        {0, 17, 60 * 90 * 768},   // the 1920 x 1440 variant
        {0, 3, 11 * 18 * 768},    // CIF, PAL
        {1, 3, 11 * 15 * 768},    // CIF, NTSC
        {1, 20, 120 * 135 * 768}, // 3840 x 2160
    };
    for (const Case& c : cases) EXPECT_EQ(CommVdecBlkSize(c.vstd, c.code), c.size) << c.code << "/" << c.vstd;
}

struct VdecCase {
    const char* name;
    uint32_t dev;
    Cap cap;
    Words words;
    int32_t count;
    bool planned;
    std::vector<uint32_t> blocks;  // block count of each pool, in order
};

TEST(SysPlanTest, CommandEightyFivePlans) {
    const VdecCase cases[] = {
        {"large test fails", 656, {.a1080p = 16, .pb = 16}, {}, 0, false, {}},
        {"word 9 set", 660, {.a4m = 32, .pb = 16}, {.w9 = 2}, 0, false, {}},
        {"one pool", 661, {.a1080p = 32, .pb = 16}, {}, 0, true, {4}},
        {"one pool, word 13 is 1", 661, {.a1080p = 32, .pb = 16}, {.w13 = 1}, 5, true, {5}},
        {"one pool, word 13 is 2", 661, {.a1080p = 32, .pb = 16}, {.w13 = 2}, 5, true, {4}},
        {"one pool on 660 with 4M 32", 660, {.a4m = 32, .pb = 16}, {.w13 = 1}, 0, true, {3}},
        {"659 5M 16, 8 ways", 659, {.a5m = 16, .pb = 8}, {}, -1, true, {3, 3, 3, 3}},
        {"659 5M 16, 16 ways, word 13", 659, {.a5m = 16, .pb = 16}, {.w13 = 1}, -1, true,
         {4, 4, 4, 4, 4, 4, 4, 4, 4, 4}},
        {"656 4M 16 by 1080P 32 with 32 ways", 656, {.a1080p = 32, .a4m = 16, .pb = 32}, {}, -1, true,
         std::vector<uint32_t>(16, 2)},
        {"657 5M 8 with 4M 32", 657, {.a5m = 8, .a4m = 32, .pb = 8}, {}, -1, true,
         {3, 3, 3, 3, 3, 3, 3, 3, 2, 2, 2, 2, 2, 2, 2, 2}},
        {"660 4M 32", 660, {.a4m = 32, .pb = 16}, {}, -1, true, std::vector<uint32_t>(16, 3)},
        {"661 1080P 32 with 32 ways", 661, {.a1080p = 32, .pb = 32}, {}, -1, true, std::vector<uint32_t>(16, 4)},
        {"651 4M 32, 4 ways", 651, {.a4m = 32, .pb = 4}, {.w13 = 1}, -1, true, {4, 4, 4, 4}},
        {"651 4M 32, no ways", 651, {.a4m = 32, .pb = 0}, {}, -1, true, {}},
        {"659 4M 32, 8 ways", 659, {.a4m = 32, .pb = 8}, {}, -1, true, {3, 3, 3, 3}},
        {"657 1080P 32 with 8M 4", 657, {.a1080p = 32, .a8m = 4, .pb = 16}, {}, -1, true,
         std::vector<uint32_t>(12, 1)},
        {"657 1080P 32", 657, {.a1080p = 32, .pb = 16}, {}, -1, true,
         {3, 3, 3, 3, 3, 3, 3, 3, 2, 2, 2, 2, 2, 2, 2, 2}},
        {"660 1080P 32", 660, {.a1080p = 32, .pb = 16}, {}, -1, true, std::vector<uint32_t>(15, 2)},
        {"651 1080P 32", 651, {.a1080p = 32, .pb = 16}, {}, -1, true,
         {3, 3, 3, 3, 3, 3, 3, 3, 2, 2, 2, 2, 2, 2, 2, 2}},
    };
    constexpr uint32_t kBlk = 123456;
    for (const VdecCase& k : cases) {
        SCOPED_TRACE(k.name);
        VB_CONF_S conf;
        bool planned = CommPlanVdecVb(Cfg(k.dev, k.cap, k.words), k.count, kBlk, &conf);
        ASSERT_EQ(planned, k.planned);
        if (!planned) continue;
        EXPECT_EQ(conf.u32MaxPoolCnt, k.cap.pb);
        for (size_t i = 0; i < 16; ++i) {
            uint32_t want = i < k.blocks.size() ? k.blocks[i] : 0;
            EXPECT_EQ(conf.astCommPool[i].u32BlkCnt, want) << "pool " << i;
            if (want) { EXPECT_EQ(conf.astCommPool[i].u32BlkSize, kBlk); }
        }
    }
}

}  // namespace
