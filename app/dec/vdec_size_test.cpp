#include "app/dec/vdec_size.h"

#include <gtest/gtest.h>

namespace {

HVR_CAP_S Cap(std::initializer_list<std::pair<int, int16_t>> analog, uint32_t maxPb = 8,
              std::initializer_list<std::pair<int, int16_t>> digital = {}) {
    HVR_CAP_S c{};
    for (auto [slot, n] : analog) c.as16Analog[slot] = n;
    for (auto [slot, n] : digital) c.as16Digital[slot] = n;
    c.u32MaxPlayBackWay = maxPb;
    return c;
}

// Sizes and buffers written out by hand from the rules.
TEST(VdecSizeTest, DecoderSizesAndBuffers) {
    struct Case {
        const char* what;
        HVR_CAP_S cap;
        uint32_t dev, digital, codeW, codeH;
        uint32_t w, h, maxH, buf;
    } cases[] = {
        {"720P", Cap({{HVR_CAP_720P, 1}}), 656, 0, 704, 576, 1280, 720, 720, 691200},
        {"960P before 1080P", Cap({{HVR_CAP_960P, 1}, {HVR_CAP_1080P, 4}}), 656, 0, 704, 576, 1280, 1080, 1080, 1036800},
        {"no analog class: the code's size", Cap({}), 656, 0, 704, 576, 704, 576, 576, 304128},
        {"1080P 16 with 16 ways: half", Cap({{HVR_CAP_1080P, 16}}, 16), 656, 0, 704, 576, 1920, 1080, 1080, 1036800},
        {"1080P 16 on 659: half", Cap({{HVR_CAP_1080P, 16}}, 8), 659, 0, 704, 576, 1920, 1080, 1080, 1036800},
        {"1080P 16 on 656 with 8 ways", Cap({{HVR_CAP_1080P, 16}}, 8), 656, 0, 704, 576, 1920, 1080, 1080, 1555200},
        {"960P 24: half", Cap({{HVR_CAP_960P, 24}}), 656, 0, 704, 576, 1280, 1080, 1080, 691200},
        {"4M 8 on 656: three halves", Cap({{HVR_CAP_4M, 8}}), 656, 0, 704, 576, 2560, 1440, 1440, 5529600},
        {"4M 8 on 657", Cap({{HVR_CAP_4M, 8}}), 657, 0, 704, 576, 2560, 1440, 1440, 2764800},
        {"4M 16 on 656: half", Cap({{HVR_CAP_4M, 16}}), 656, 0, 704, 576, 2560, 1440, 1440, 1843200},
        {"5M 8 on 657: half", Cap({{HVR_CAP_5M, 8}}), 657, 0, 704, 576, 2688, 2048, 2048, 2752512},
        {"8M 4 on 657: half", Cap({{HVR_CAP_8M, 4}}), 657, 0, 704, 576, 3840, 2160, 2160, 4147200},
        {"digital D1 NTSC", Cap({}), 656, 2, 704, 480, 720, 480, 576, 311040},
        {"digital CIF NTSC", Cap({}), 656, 2, 352, 240, 360, 240, 288, 77760},
        {"digital 4M", Cap({}), 656, 2, 2560, 1440, 2688, 1520, 1520, 3064320},
        {"digital 3M", Cap({}), 656, 2, 2048, 1536, 2304, 1536, 1536, 2654208},
        {"digital 1080P", Cap({}), 656, 2, 1920, 1080, 1920, 1080, 1080, 1555200},
        {"digital beside 1080P 16 with 16 ways", Cap({{HVR_CAP_1080P, 16}}, 16), 656, 2, 1920, 1080, 1920, 1080, 1080,
         1036800},
    };
    for (const Case& c : cases) {
        VdecChnSizing s = AVdecChnSizing(c.cap, c.dev, c.digital, 8, 0, c.codeW, c.codeH);
        EXPECT_EQ(s.u32Width, c.w) << c.what;
        EXPECT_EQ(s.u32Height, c.h) << c.what;
        EXPECT_EQ(s.u32MaxHeight, c.maxH) << c.what;
        EXPECT_EQ(s.u32BufSize, c.buf) << c.what;
    }
}

TEST(VdecSizeTest, ReferenceFrames) {
    HVR_CAP_S c = Cap({});
    EXPECT_EQ(AVdecChnSizing(c, 656, 0, 8, 0, 704, 576).u32RefFrames, 1u);
    EXPECT_EQ(AVdecChnSizing(c, 656, 0, 8, 1, 704, 576).u32RefFrames, 2u);
    EXPECT_EQ(AVdecChnSizing(c, 656, 0, 0, 0, 704, 576).u32RefFrames, 2u);
}

TEST(VdecSizeTest, DigitalCountsAsThresholds) {
    HVR_CAP_S c = Cap({}, 8, {{HVR_CAP_5M, 1}, {HVR_CAP_1080P, 2}, {HVR_CAP_D1, 4}, {HVR_CAP_3M, -3}});
    struct Case {
        uint32_t index;
        int32_t code;
    } cases[] = {{0, 18}, {1, 14}, {2, 14}, {3, 0}, {6, 0}, {7, -1}, {0xFFFFFFFF, -1}};
    for (const Case& k : cases) EXPECT_EQ(AVdecDigitalPicCode(c, k.index), k.code) << k.index;
    HVR_CAP_S all = Cap({}, 8, {{HVR_CAP_960P, 1}, {HVR_CAP_720P, 1}, {HVR_CAP_960H, 1}, {HVR_CAP_CIF, 1}});
    EXPECT_EQ(AVdecDigitalPicCode(all, 0), 12);
    EXPECT_EQ(AVdecDigitalPicCode(all, 1), 11);
    EXPECT_EQ(AVdecDigitalPicCode(all, 2), 10);
    EXPECT_EQ(AVdecDigitalPicCode(all, 3), 3);
}

TEST(VdecSizeTest, CaptureSizeRuleAndCapsFactor) {
    EXPECT_TRUE(AVdecUsesCaptureSize(17, 32));
    EXPECT_FALSE(AVdecUsesCaptureSize(17, 16));
    EXPECT_TRUE(AVdecUsesCaptureSize(16, 24));
    EXPECT_FALSE(AVdecUsesCaptureSize(16, 16));
    EXPECT_TRUE(AVdecUsesCaptureSize(14, 16));
    EXPECT_FALSE(AVdecUsesCaptureSize(14, 8));
    struct Case {
        HVR_CAP_S cap;
        uint32_t factor;
    } cases[] = {
        {Cap({{HVR_CAP_960P, 32}}, 8), 16},  {Cap({{HVR_CAP_960P, 32}}, 16), 25}, {Cap({{HVR_CAP_960P, 24}}, 16), 21},
        {Cap({{HVR_CAP_1080P, 16}}, 8), 21}, {Cap({{HVR_CAP_1080P, 16}}, 16), 13}, {Cap({{HVR_CAP_3M, 16}}, 16), 12},
        {Cap({{HVR_CAP_4M, 8}}, 8), 15},     {Cap({{HVR_CAP_4M, 8}}, 16), 25},     {Cap({}), 25},
    };
    for (const Case& c : cases) EXPECT_EQ(AVdecCapsFactor(c.cap), c.factor);
}

}  // namespace
