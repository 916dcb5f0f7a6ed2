// Blind detection by luma and by occlusion, the lost-signal picture (checked black by ffmpeg in the
// same run) and its release, and the input resolution sizes. Expected values are worked out by hand
// from the rules.
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/alarm/alarm_testing.h"
#include "sdk/vda/mpi_vda.h"
#include "sdk/vi/vi_ioctl.h"

namespace {

using namespace alarm_testing;

TEST(BlindRules, LumaFactorsAndTheDarkBoundary) {
    const struct {
        int32_t level, factor;
    } factors[] = {{1, 20}, {2, 32}, {3, 56}, {4, 64}, {5, 80}, {0, 100}, {6, 100}, {9, 100}, {255, 100}};
    for (auto f : factors) {
        EXPECT_EQ(BlindLumaFactor(f.level), f.factor) << f.level;
        EXPECT_TRUE(BlindIsDark(uint64_t{704} * 576 * f.factor, 704, 576, f.level));
        EXPECT_FALSE(BlindIsDark(uint64_t{704} * 576 * f.factor + 1, 704, 576, f.level));
    }
    // A 4K picture at factor 100 is beyond 32 bits signed: still compared exactly.
    EXPECT_TRUE(BlindIsDark(uint64_t{3840} * 2160 * 100, 3840, 2160, 9));
}

TEST(BlindRules, OcclusionAttributesOfTheLevels) {
    const struct {
        int32_t level;
        uint32_t dev, sad, area, interval, count;
    } cases[] = {{1, 658, 600, 60, 5, 20}, {1, 660, 600, 60, 20, 20}, {6, 659, 100, 10, 4, 5},
                 {6, 661, 100, 10, 20, 5}, {3, 658, 200, 40, 4, 15},  {4, 658, 150, 30, 4, 10},
                 {5, 658, 120, 20, 4, 7},  {2, 658, 300, 50, 4, 20}};
    for (auto k : cases) {
        SCOPED_TRACE(k.level);
        VDA_CHN_ATTR_S a;
        ASSERT_TRUE(BlindOdAttr(k.level, k.dev, &a));
        EXPECT_EQ(a.enWorkMode, static_cast<MK_U32>(VDA_WORK_MODE_OD));
        const VDA_OD_ATTR_S& od = a.unAttr.stOdAttr;
        EXPECT_EQ(od.u32RgnNum, 1u);
        EXPECT_EQ(od.astOdRgnAttr[0].stRect.u32Width, 704u);
        EXPECT_EQ(od.astOdRgnAttr[0].stRect.u32Height, 480u);
        EXPECT_EQ(od.astOdRgnAttr[0].u32SadTh, k.sad);
        EXPECT_EQ(od.astOdRgnAttr[0].u32AreaTh, k.area);
        EXPECT_EQ(od.astOdRgnAttr[0].u32OccCntTh, k.count);
        EXPECT_EQ(od.astOdRgnAttr[0].u32UnOccCntTh, 1u);
        EXPECT_EQ(od.u32VdaIntvl, k.interval);
        EXPECT_EQ(od.enMbSize, 0u);
        EXPECT_EQ(od.enMbSadBits, 1u);
        EXPECT_EQ(od.enRefMode, 1u);
        EXPECT_EQ(od.u32BgUpSrcWgt, 128u);
        EXPECT_EQ(a.u32Width, 704u);
        EXPECT_EQ(a.u32Height, 480u);
    }
    VDA_CHN_ATTR_S a;
    EXPECT_FALSE(BlindOdAttr(0, 658, &a));
    EXPECT_FALSE(BlindOdAttr(7, 658, &a));
}

TEST(BlindRules, InputResolutionSizes) {
    const uint32_t sizes[15][2] = {{0xFFFFFFFFu, 0xFFFFFFFFu}, {1280, 720}, {1920, 1080}, {704, 480}, {704, 576},
                                   {928, 480},  {928, 576},  {1920, 1035}, {944, 1080}, {1920, 1440},
                                   {2560, 1944}, {2560, 1440}, {1280, 1440}, {960, 1440}, {3840, 2160}};
    for (int32_t code = 0; code < 15; ++code) {
        const SIZE_S s = CommInputResSizeOfCode(code);
        EXPECT_EQ(s.u32Width, sizes[code][0]) << code;
        EXPECT_EQ(s.u32Height, sizes[code][1]) << code;
    }
    for (int32_t code : {-1, 15, 100}) EXPECT_EQ(CommInputResSizeOfCode(code).u32Width, 0xFFFFFFFFu);
    SIZE_S s{};
    EXPECT_EQ(Comm_GetInputResSize(&s, 0), &s);
    EXPECT_EQ(s.u32Width, 0xFFFFFFFFu) << "no check has run";
}

class BlindTest : public AlarmTest {
protected:
    static int32_t Set(int32_t chn, uint8_t level, int32_t enable) {
        BLIND_PARAM_S p{level, {}, enable};
        return BlindDetectSetParameter(chn, &p);
    }
    static std::string Shell(const std::string& cmd, int* status) {
        std::string out;
        FILE* p = popen(cmd.c_str(), "r");
        if (p == nullptr) return out;
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
        *status = pclose(p);
        return out;
    }
};

TEST_F(BlindTest, LumaAtTheThresholdIsBlindAndOneAboveIsNot) {
    Pools(16);
    for (int32_t c = 0; c < 2; ++c) StartVi(c + kViOffset);
    auto vi = drv::ViDriver::Get();
    const struct {
        uint8_t level;
        int32_t factor;
    } cases[] = {{3, 56}, {9, 100}, {1, 20}};
    for (auto k : cases) {
        SCOPED_TRACE(k.level);
        ASSERT_EQ(Set(1, k.level, 1), 0);
        // A flat field of luma L sums to 704 x 576 x L: at the factor the channel is blind.
        vi->SetLumaLevel(1 + kViOffset, static_cast<uint8_t>(k.factor));
        BlindCapPass();
        EXPECT_EQ(SlaveGetBlindBitmap(), 0x2u);
        vi->SetLumaLevel(1 + kViOffset, static_cast<uint8_t>(k.factor + 1));
        BlindCapPass();
        EXPECT_EQ(SlaveGetBlindBitmap(), 0u);
    }
    EXPECT_EQ(vi->Channel(1 + kViOffset).heldFrames, 0u) << "every frame is given back";
    EXPECT_EQ(vi->Channel(1 + kViOffset).frameDepth, 0u);
    // Disabled channels are not looked at; their bit stays.
    vi->SetLumaLevel(1 + kViOffset, 0);
    BlindCapPass();
    EXPECT_EQ(SlaveGetBlindBitmap(), 0x2u);
    ASSERT_EQ(Set(1, 3, 0), 0);
    vi->SetLumaLevel(1 + kViOffset, 200);
    BlindCapPass();
    EXPECT_EQ(SlaveGetBlindBitmap(), 0x2u);
    // Enabling any channel clears every bit.
    ASSERT_EQ(Set(0, 3, 1), 0);
    EXPECT_EQ(SlaveGetBlindBitmap(), 0u);
}

TEST_F(BlindTest, TheLiveTestPatternIsNotBlindAndTheUserPictureIs) {
    Pools(16);
    StartVi(0 + kViOffset);
    ASSERT_EQ(Set(0, 5, 1), 0);
    BlindCapPass();
    EXPECT_EQ(SlaveGetBlindBitmap(), 0u);
    ASSERT_EQ(LossSetUserPic(0, 1), 0);
    BlindCapPass();
    EXPECT_EQ(SlaveGetBlindBitmap(), 1u);
    ASSERT_EQ(LossSetUserPic(0, 0), 0);
    BlindCapPass();
    EXPECT_EQ(SlaveGetBlindBitmap(), 0u);
}

TEST_F(BlindTest, ChannelsOutsideTheRangeAreRefused) {
    Pools(2);
    EXPECT_EQ(Set(-1, 3, 1), -1);
    EXPECT_EQ(Set(4, 3, 1), -1);
    EXPECT_EQ(BlindDetectSetParameter(0, nullptr), -1);
    EXPECT_EQ(LossSetUserPic(4, 1), -1);
    EXPECT_EQ(LossSetUserPic(32, 1), -1);
    VIDEO_FRAME_INFO_S f;
    EXPECT_TRUE(LossGetUserPic(&f)) << "the picture is built all the same";
}

TEST_F(BlindTest, OcclusionChannelsFollowTheirAlarm) {
    Fresh(658, 4);
    // Channel 1 uses detection channel 1 + 4.
    EXPECT_EQ(Set(1, 0, 1), -1);
    EXPECT_EQ(Set(1, 7, 1), -1);
    EXPECT_FALSE(drv::vda_view::Get(5).has_value());
    SlaveSetBlindBit(3);
    ASSERT_EQ(Set(1, 6, 1), 0);
    EXPECT_EQ(SlaveGetBlindBitmap(), 0u);
    auto v = drv::vda_view::Get(5);
    ASSERT_TRUE(v.has_value());
    EXPECT_TRUE(v->receiving);
    EXPECT_EQ(v->attr.unAttr.stOdAttr.astOdRgnAttr[0].u32SadTh, 100u);
    EXPECT_EQ(drv::BindGraph::Instance().SourceOf(MPP_CHN_S{MK_ID_VDA, 0, 5})->s32ChnId, 1 + kViOffset);

    drv::vda_view::Inject(5, drv::vda_view::Injection{{}, {}, std::array<uint32_t, 4>{1, 0, 0, 0}, {}, {}});
    ASSERT_TRUE(drv::vda_view::Produce(5));
    BlindCapPass();
    EXPECT_EQ(SlaveGetBlindBitmap(), 0x2u);
    // No result waiting: the fetch fails and the bit stays.
    BlindCapPass();
    EXPECT_EQ(SlaveGetBlindBitmap(), 0x2u);
    drv::vda_view::Inject(5, drv::vda_view::Injection{{}, {}, std::array<uint32_t, 4>{0, 1, 1, 1}, {}, {}});
    ASSERT_TRUE(drv::vda_view::Produce(5));
    BlindCapPass();
    EXPECT_EQ(SlaveGetBlindBitmap(), 0u);
    EXPECT_EQ(drv::vda_view::Get(5)->held, 0u);

    // Disabling tears the detection channel down.
    ASSERT_EQ(Set(1, 6, 0), 0);
    EXPECT_FALSE(drv::vda_view::Get(5).has_value());
    EXPECT_FALSE(VdaBound(5));
}

TEST_F(BlindTest, AFailedOcclusionCreateIsUndoneAndRetried) {
    Fresh(659, 4);
    constexpr int32_t kCode = static_cast<int32_t>(0xA0098010);
    auto vda = dev::Registry::Find("/dev/vda");
    vda->FailRequest(mk::vda::kStartRecvPic, kCode);
    EXPECT_EQ(Set(0, 1, 1), kCode);
    EXPECT_FALSE(drv::vda_view::Get(4).has_value());
    EXPECT_FALSE(VdaBound(4));
    ASSERT_EQ(Set(0, 1, 1), 0);
    EXPECT_TRUE(drv::vda_view::Get(4)->receiving);
    ASSERT_EQ(Set(0, 2, 1), 0) << "a reconfiguration rebuilds the channel";
    EXPECT_EQ(drv::vda_view::Get(4)->attr.unAttr.stOdAttr.astOdRgnAttr[0].u32SadTh, 300u);
}

TEST_F(BlindTest, ARepeatedStartLeavesOneThreadAndClearsTheBitmap) {
    SlaveSetBlindBit(2);
    Cmd(91, {});
    EXPECT_EQ(SlaveGetBlindBitmap(), 0u);
    SlaveSetBlindBit(2);
    Cmd(91, {});
    EXPECT_EQ(SlaveGetBlindBitmap(), 0u);
    BlindDetectStop();
}

TEST_F(BlindTest, TheLostSignalPictureIsBlackAndFollowsTheChannel) {
    Pools(8);
    StartVi(0 + kViOffset);
    Cmd(95, {0xFFFFFFFFu, 1});
    VIDEO_FRAME_INFO_S f;
    ASSERT_TRUE(LossGetUserPic(&f));
    EXPECT_EQ(f.u32Width, 704u);
    EXPECT_EQ(f.u32Height, 576u);
    EXPECT_EQ(f.u32Stride[0], 704u);
    EXPECT_EQ(f.u32Stride[1], 176u);
    EXPECT_EQ(f.enPixelFormat, 23u);
    EXPECT_EQ(f.u32Field, 4u);
    EXPECT_EQ(f.u32PhyAddr[1], f.u32PhyAddr[0] + 704u * 576u);
    EXPECT_EQ(f.u32PhyAddr[2], f.u32PhyAddr[1] + 704u * 576u / 4);
    EXPECT_FALSE(drv::ViDriver::Get()->Channel(kViOffset).userPicEnabled) << "channel -1 only builds";

    // ffmpeg reads the picture's bytes as a semi-planar 4:2:0 picture (Cr first) and measures it.
    char tmpl[] = "/tmp/varnelle-alarm-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl, raw = dir + "/pic.nv21";
    {
        std::ofstream out(raw, std::ios::binary);
        out.write(static_cast<const char*>(f.pVirAddr[0]), 704 * 576 * 3 / 2);
    }
    int status = -1;
    const std::string stats = Shell("ffmpeg -v error -f rawvideo -pix_fmt nv21 -s 704x576 -i " + raw +
                                        " -vf signalstats,metadata=print:file=- -f null - 2>&1",
                                    &status);
    std::filesystem::remove_all(dir);
    ASSERT_EQ(status, 0) << stats;
    auto value = [&](const std::string& key) {
        const size_t at = stats.find("lavfi.signalstats." + key + "=");
        return at == std::string::npos ? -1.0 : std::atof(stats.c_str() + at + key.size() + 19);
    };
    EXPECT_EQ(value("YMAX"), 0.0) << stats;
    EXPECT_EQ(value("UMIN"), 128.0);
    EXPECT_EQ(value("UMAX"), 128.0);
    EXPECT_EQ(value("VMIN"), 128.0);
    EXPECT_EQ(value("VMAX"), 128.0);

    Cmd(95, {0, 1});
    drv::ViChnView c = drv::ViDriver::Get()->Channel(kViOffset);
    EXPECT_TRUE(c.userPicEnabled);
    EXPECT_FALSE(c.interruptEnabled);
    Cmd(95, {0, 0});
    c = drv::ViDriver::Get()->Channel(kViOffset);
    EXPECT_FALSE(c.userPicEnabled);
    EXPECT_TRUE(c.interruptEnabled);
}

TEST_F(BlindTest, TheReleaseHookGivesTheBlockBackAndAFailedBuildKeepsNothing) {
    Pools(1);
    const MK_U32 size = drv::FrameBytes(704, 576);
    ASSERT_EQ(LossSetUserPic(-1, 0), 0);
    EXPECT_EQ(MK_MPI_VB_GetBlock(VB_INVALID_POOLID, size, nullptr), VB_INVALID_HANDLE) << "the picture holds it";
    CommReleaseHeldBlocks();
    VIDEO_FRAME_INFO_S f;
    EXPECT_FALSE(LossGetUserPic(&f));
    VB_BLK blk = MK_MPI_VB_GetBlock(VB_INVALID_POOLID, size, nullptr);
    ASSERT_NE(blk, VB_INVALID_HANDLE);
    EXPECT_EQ(LossSetUserPic(-1, 0), -1) << "no block is free";
    ASSERT_EQ(MK_MPI_VB_ReleaseBlock(blk), 0);
    // A failed step after the block was taken gives it back.
    dev::Registry::Find("/dev/vi")->FailRequest(_IOW('I', 22, VI_USERPIC_ATTR_S), static_cast<int32_t>(0xA0108003));
    EXPECT_EQ(LossSetUserPic(-1, 0), -1);
    blk = MK_MPI_VB_GetBlock(VB_INVALID_POOLID, size, nullptr);
    ASSERT_NE(blk, VB_INVALID_HANDLE);
    ASSERT_EQ(MK_MPI_VB_ReleaseBlock(blk), 0);
    EXPECT_EQ(LossSetUserPic(-1, 0), 0) << "built at the next use";
    EXPECT_TRUE(LossGetUserPic(&f));
}

TEST_F(BlindTest, TheInputCheckRunsOnItsBoardsOnly) {
    EXPECT_EQ(VideoLossDispatch(), -1) << "board 47";
    Fresh(651, 4, 42);
    EXPECT_EQ(VideoLossDispatch(), 0) << "no channel of this board reports a loss";
    SIZE_S s{};
    Comm_GetInputResSize(&s, 0);
    EXPECT_EQ(s.u32Width, 0xFFFFFFFFu) << "no format of this board is recognised";
}

}  // namespace
