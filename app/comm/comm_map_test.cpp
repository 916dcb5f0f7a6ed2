// The processing-channel map and the picture-size and frame-rate tables, against tables written out
// by hand.
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "app/comm/comm_cfg.h"
#include "app/comm/comm_map.h"
#include "app/comm/comm_picsize.h"

namespace {

std::vector<int32_t> Words(const COMM_VPSS_CHN_MAP_S& m) {
    return std::vector<int32_t>(m.as32Word, m.as32Word + VPSS_MAP_WORDS);
}

TEST(VpssChnMapTest, NormalAndWideLayouts) {
    COMM_VPSS_CHN_MAP_S m{};
    m.as32Word[VPSS_MAP_WIDE_CHN] = -7;
    m.as32Word[VPSS_MAP_DEV_TYPE] = 656;
    m.as32Word[VPSS_MAP_WIDE_IN_BASE] = -9;
    CommBuildVpssChnMap(8, 4, false, &m);
    EXPECT_EQ(Words(m), (std::vector<int32_t>{0, 8, 0, 1, 3, 2, 8, 16, 2, 2, 16, 20, 2, 20, 21, 1, 21, 22, 0, -7,
                                              656, -9}));
    CommBuildVpssChnMap(8, 4, true, &m);
    EXPECT_EQ(Words(m), (std::vector<int32_t>{0, 8, 0, 1, 3, 2, 16, 24, 2, 2, 24, 28, 2, 28, 29, 1, 29, 30, 0, 2,
                                              656, 8}));
    // The normal layout leaves the wide words as they were.
    CommBuildVpssChnMap(16, 1, false, &m);
    EXPECT_EQ(Words(m), (std::vector<int32_t>{0, 16, 0, 1, 3, 2, 16, 32, 2, 2, 32, 33, 2, 33, 34, 1, 34, 35, 0, 2,
                                              656, 8}));
}

// N and the decoder count come from the master: no table or group number goes beyond what exists.
TEST(VpssChnMapTest, CountsFromTheMasterAreHeld) {
    COMM_VPSS_CHN_MAP_S m{};
    CommBuildVpssChnMap(40, 300, false, &m);
    EXPECT_EQ(m.as32Word[VPSS_MAP_IN_END], 32);
    EXPECT_EQ(m.as32Word[VPSS_MAP_DEC_END], 256 + 64);
    CommBuildVpssChnMap(-3, -1, true, &m);
    EXPECT_EQ(m.as32Word[VPSS_MAP_IN_END], 0);
    EXPECT_EQ(m.as32Word[VPSS_MAP_SPECIAL3], 2);
}

TEST(VpssChnMapTest, BuiltFromTheSettingsWithTheProductInWordTwenty) {
    CommResetVpssChnMap();
    SLAVE_SYS_PARAM_S p;
    std::memset(&p, 0, sizeof(p));
    p.u32DevType = 660;
    p.u32ChnStart = 8;
    p.u32ChnEnd = 16;
    p.u32DecNum = 4;
    p.stHvrCap.as16Analog[HVR_CAP_4M] = 32;  // wide
    SlaveStoreSysParam(&p);
    EXPECT_EQ(Comm_GetVpssChnMap()[VPSS_MAP_DEV_TYPE], 660) << "before the map is built";
    EXPECT_EQ(Comm_InitVpssChnMap(), 0);
    COMM_VPSS_CHN_MAP_S copy = Comm_GetVpssChnMapCopy();
    EXPECT_EQ(Words(copy), (std::vector<int32_t>{0, 8, 0, 1, 3, 2, 16, 24, 2, 2, 24, 28, 2, 28, 29, 1, 29, 30, 0, 2,
                                                 660, 8}));
    EXPECT_EQ(std::memcmp(Comm_GetVpssChnMap(), copy.as32Word, sizeof(copy)), 0);
    p.u32ChnStart = 20;  // a range end below its start: no inputs
    SlaveStoreSysParam(&p);
    EXPECT_EQ(Comm_GetChipChnNum(), 0);
    Comm_InitVpssChnMap();
    EXPECT_EQ(Comm_GetVpssChnMap()[VPSS_MAP_IN_END], 0);
    SlaveResetSysCfg();
    EXPECT_EQ(Comm_GetVpssChnMap()[VPSS_MAP_DEV_TYPE], 0);
    CommResetVpssChnMap();
}

TEST(PicSizeTest, SizesByCodeAndStandard) {
    struct Case {
        int32_t code;
        uint32_t w, palH, ntscH;
    } cases[] = {
        {0, 704, 576, 480},    {1, 704, 288, 240},    {2, 944, 1080, 1080},  {3, 352, 288, 240},
        {4, 176, 144, 120},    {5, 640, 480, 480},    {6, 320, 240, 240},    {7, 960, 1440, 1440},
        {8, 1280, 1440, 1440}, {9, 704, 576, 480},    {10, 928, 576, 480},   {11, 1280, 720, 720},
        {12, 1280, 960, 960},  {13, 1600, 1200, 1200}, {14, 1920, 1080, 1080}, {15, 1920, 1200, 1200},
        {16, 2560, 1440, 1440}, {17, 2048, 1536, 1536}, {18, 2560, 1944, 1944}, {19, 704, 576, 480},
        {20, 3840, 2160, 2160}, {21, 704, 576, 480},   {-1, 704, 576, 480},
    };
    for (const Case& c : cases) {
        SIZE_S s;
        EXPECT_EQ(Comm_SysGetPicSize(0, c.code, &s, false), 0);
        EXPECT_EQ(s.u32Width, c.w) << c.code;
        EXPECT_EQ(s.u32Height, c.palH) << c.code;
        Comm_SysGetPicSize(1, c.code, &s, false);
        EXPECT_EQ(s.u32Height, c.ntscH) << c.code;
        Comm_SysGetPicSize(7, c.code, &s, false);
        EXPECT_EQ(s.u32Height, c.ntscH) << "any standard but 0 is NTSC, code " << c.code;
    }
    SIZE_S s;
    Comm_SysGetPicSize(0, 17, &s, true);
    EXPECT_EQ(s.u32Width, 1920u);
    EXPECT_EQ(s.u32Height, 1440u);
    EXPECT_EQ(Comm_SysGetPicSize(0, 3, nullptr, false), 0);
}

TEST(PicSizeTest, CaptureFrameRates) {
    HVR_CAP_S none{}, fiveM16{}, fiveM16x1080{}, fiveM8{}, hd16{}, fourM{};
    fiveM16.as16Analog[HVR_CAP_5M] = 16;
    fiveM16x1080 = fiveM16;
    fiveM16x1080.as16Analog[HVR_CAP_1080P] = 16;
    fiveM8.as16Analog[HVR_CAP_5M] = 8;
    hd16.as16Analog[HVR_CAP_1080P] = 16;
    fourM.as16Analog[HVR_CAP_4M] = 32;
    struct Case {
        uint32_t dev;
        const HVR_CAP_S* cap;
        uint32_t w, h;
        int32_t fps;
    } cases[] = {
        {659, &fiveM16, 2560, 1944, 10},      {659, &fiveM16, 2560, 1440, 13},      {659, &fiveM16, 1920, 1440, 18},
        {659, &fiveM16, 1920, 1080, 24},      {659, &fiveM16, 704, 576, 25},        {659, &fiveM16x1080, 2560, 1944, 25},
        {659, &fiveM16x1080, 1920, 1080, 25}, {659, &fiveM8, 2560, 1944, 20},       {659, &fiveM8, 1920, 1080, 25},
        {659, &hd16, 1920, 1080, 25},         {659, &none, 1920, 1080, 0},          {658, &none, 1, 1, 25},
        {660, &none, 1920, 1080, 12},         {661, &hd16, 1280, 720, 25},          {660, &fourM, 2560, 1440, 8},
        {661, &fourM, 1920, 1440, 10},        {660, &fourM, 1920, 1080, 15},        {660, &fourM, 1280, 1440, 16},
        {660, &fourM, 960, 1440, 20},         {660, &fourM, 704, 576, 25},          {656, &hd16, 1920, 1080, 0},
        {651, &fourM, 2560, 1440, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CommViChnFpsOf(c.dev, *c.cap, c.w, c.h), c.fps) << c.dev << " " << c.w << "x" << c.h;
    }
}

}  // namespace
