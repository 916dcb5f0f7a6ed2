// The input check's format readings and its follow-up, driven through the board seam (video-loss flags,
// format codes and the format table), against the capture driver; and a channel described as a picture
// source with the real split wiring. Expected sizes, rates and wiring are worked out by hand.
#include <array>
#include <atomic>
#include <cstring>
#include <thread>

#include "app/alarm/alarm_common.h"
#include "app/alarm/alarm_testing.h"
#include "app/comm/comm_map.h"
#include "app/comm/comm_vi.h"
#include "app/fb/graphics.h"
#include "app/split/split.h"
#include "app/split/split_cmd.h"
#include "sdk/vi/vi_ioctl.h"

namespace {

using namespace alarm_testing;

constexpr uint8_t Entry(uint8_t code, uint8_t rate) {
    return static_cast<uint8_t>(code | (rate << VIDEO_FORMAT_FPS_SHIFT));
}

TEST(VideoFormat, LookupByTableAndStandard) {
    uint8_t table[VIDEO_FORMAT_NUM];
    std::memset(table, VIDEO_FORMAT_UNKNOWN, sizeof(table));
    table[0] = Entry(2, VIDEO_FORMAT_FPS_50);
    table[7] = Entry(1, VIDEO_FORMAT_FPS_60);
    table[8] = Entry(3, VIDEO_FORMAT_FPS_STD);
    table[109] = Entry(4, VIDEO_FORMAT_FPS_30);
    table[50] = Entry(5, 9);  // a rate beyond the list reads as the standard's
    const struct {
        const uint8_t* t;
        int32_t format;
        uint32_t vstd;
        int32_t code, fps;
    } cases[] = {
        {table, 0, 0, 2, 50},   {table, 7, 1, 1, 60},   {table, 8, 0, 3, 25},  {table, 8, 1, 3, 30},
        {table, 109, 0, 4, 30}, {table, 110, 0, 15, 25}, {table, -1, 1, 15, 30}, {table, 5, 0, 15, 25},
        {table, 50, 1, 5, 30},  {nullptr, 0, 0, 15, 25},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.format);
        int32_t code = -1, fps = -1;
        VideoFormatLookup(k.t, k.format, k.vstd, &code, &fps);
        EXPECT_EQ(code, k.code);
        EXPECT_EQ(fps, k.fps);
    }
}

// Channels 0..3 on capture channels 2..5, each running 704 x 576; a board that checks its inputs (42).
class InputFollowUpTest : public AlarmTest {
protected:
    void SetUp() override {
        Fresh(651, 4, 42);
        Pools(8);
        for (int32_t c = 0; c < 4; ++c) StartVi(c + kViOffset);
        for (auto& f : s_format) f = 0;
        s_loss = 0;
    }
    void TearDown() override {
        VideoLossSetBoard(nullptr);
        AlarmTest::TearDown();
    }
    static int32_t Format(int32_t c) { return s_format[static_cast<size_t>(c)].load(); }
    static int32_t Loss(int32_t c) { return (s_loss.load() >> c) & 1; }
    static uint32_t Ntsc() { return 1; }
    static VI_CHN_ATTR_S Attr(int32_t vi) {
        VI_CHN_ATTR_S a;
        std::memset(&a, 0, sizeof(a));
        EXPECT_EQ(MK_MPI_VI_GetChnAttr(vi, &a), 0);
        return a;
    }
    static void Board(const uint8_t* table) {
        VIDEO_INPUT_BOARD_S b = {Loss, Format, table};
        VideoLossSetBoard(&b);
    }
    static inline std::array<std::atomic<int32_t>, 4> s_format;
    static inline std::atomic<uint32_t> s_loss{0};
};

TEST_F(InputFollowUpTest, TheBoardsTableRecognisesNoFormatSoOnlyTheStandardIsSeen) {
    Board(nullptr);
    EXPECT_EQ(VideoFormatFollowUp(), 0) << "nothing checked yet";
    EXPECT_EQ(VideoLossDispatch(), 0);
    EXPECT_EQ(VideoFormatFollowUp(), 4) << "the first reading of every channel is applied";
    EXPECT_EQ(VideoFormatFollowUp(), 0);
    for (int32_t f : {1, 7, 109, 110, 200}) {
        for (auto& v : s_format) v = f;
        EXPECT_EQ(VideoLossDispatch(), 0);
        EXPECT_EQ(VideoLossGetFormat(3), f) << "the format code is kept";
        EXPECT_EQ(VideoFormatFollowUp(), 0) << "format " << f << " reads as unrecognised, as before";
    }
    CommSetSplitGetVstdHook(Ntsc);
    EXPECT_EQ(VideoLossDispatch(), 0);
    EXPECT_EQ(VideoFormatFollowUp(), 4) << "an unrecognised input at 30 frames/s is a change";
    // No size to adapt to: the capture channels keep their set-up.
    for (int32_t c = 0; c < 4; ++c) EXPECT_EQ(Attr(c + kViOffset).u32DestWidth, 704u);
}

TEST_F(InputFollowUpTest, ARecognisedFormatReAdaptsItsChannelAndSetsItsPicture) {
    uint8_t table[VIDEO_FORMAT_NUM];
    std::memset(table, VIDEO_FORMAT_UNKNOWN, sizeof(table));
    table[7] = Entry(2, VIDEO_FORMAT_FPS_30);  // 1920 x 1080 at 30
    table[8] = Entry(1, VIDEO_FORMAT_FPS_25);  // 1280 x 720 at 25
    Board(table);
    s_format[1] = 7;
    s_loss = 1u << 2;
    EXPECT_EQ(VideoLossDispatch(), 0x4);
    EXPECT_EQ(VideoFormatFollowUp(), 4);
    VI_CHN_ATTR_S a = Attr(1 + kViOffset);
    EXPECT_EQ(a.stCapRect.u32Width, 1920u);
    EXPECT_EQ(a.stCapRect.u32Height, 1080u);
    EXPECT_EQ(a.s32SrcFrameRate, 30);
    EXPECT_FALSE(drv::ViDriver::Get()->Channel(1 + kViOffset).userPicEnabled);
    EXPECT_TRUE(drv::ViDriver::Get()->Channel(2 + kViOffset).userPicEnabled) << "no signal: the picture";
    EXPECT_EQ(Attr(0 + kViOffset).u32DestWidth, 704u) << "unrecognised: not adapted";

    // The input changes to 720p and the lost channel comes back with its format unchanged.
    s_format[1] = 8;
    s_loss = 0;
    EXPECT_EQ(VideoLossDispatch(), 0);
    SIZE_S s{};
    Comm_GetInputResSize(&s, 1);
    EXPECT_EQ(s.u32Width, 1280u);
    EXPECT_EQ(Attr(1 + kViOffset).stCapRect.u32Width, 1920u) << "the check itself adapts nothing";
    EXPECT_EQ(VideoFormatFollowUp(), 1) << "only channel 1's code changed";
    a = Attr(1 + kViOffset);
    EXPECT_EQ(a.stCapRect.u32Width, 1280u);
    EXPECT_EQ(a.stCapRect.u32Height, 720u);
    EXPECT_EQ(a.s32SrcFrameRate, 25);
    EXPECT_TRUE(drv::ViDriver::Get()->Channel(2 + kViOffset).userPicEnabled) << "a loss flag alone is no format change";
    s_format[2] = 7;
    EXPECT_EQ(VideoLossDispatch(), 0);
    EXPECT_EQ(VideoFormatFollowUp(), 1);
    EXPECT_FALSE(drv::ViDriver::Get()->Channel(2 + kViOffset).userPicEnabled) << "adapted with its signal: live";
    EXPECT_EQ(Attr(2 + kViOffset).stCapRect.u32Width, 1920u);
}

TEST_F(InputFollowUpTest, AFailedPictureStepIsTriedAgain) {
    uint8_t table[VIDEO_FORMAT_NUM];
    std::memset(table, VIDEO_FORMAT_UNKNOWN, sizeof(table));
    table[7] = Entry(2, VIDEO_FORMAT_FPS_25);
    Board(table);
    s_format[0] = 7;
    EXPECT_EQ(VideoLossDispatch(), 0);
    dev::Registry::Find("/dev/vi")->FailRequest(mk::vi::kDisableUserPic, static_cast<int32_t>(0xA0108003));
    EXPECT_EQ(VideoFormatFollowUp(), 3) << "channel 0's picture step failed";
    EXPECT_EQ(Attr(kViOffset).stCapRect.u32Width, 1920u) << "adapted all the same";
    EXPECT_EQ(VideoFormatFollowUp(), 1) << "tried again";
    EXPECT_EQ(VideoFormatFollowUp(), 0);
}

TEST_F(InputFollowUpTest, ChecksAndFollowUpsOnTwoThreads) {
    uint8_t table[VIDEO_FORMAT_NUM];
    std::memset(table, VIDEO_FORMAT_UNKNOWN, sizeof(table));
    table[7] = Entry(2, VIDEO_FORMAT_FPS_25);
    table[8] = Entry(1, VIDEO_FORMAT_FPS_25);
    Board(table);
    std::atomic<int> checks{0};
    std::thread checker([&] {
        for (int i = 0; i < 200; ++i) {
            s_format[0] = i % 2 == 0 ? 7 : 8;
            VideoLossDispatch();
            checks.fetch_add(1);
        }
    });
    while (checks.load() < 200) VideoFormatFollowUp();
    checker.join();
    // The last reading was format 8 on channel 0 (a check that lost the race to another is repeated).
    s_format[0] = 8;
    VideoLossDispatch();
    VideoFormatFollowUp();
    EXPECT_EQ(Attr(kViOffset).stCapRect.u32Width, 1280u);
    EXPECT_EQ(VideoFormatFollowUp(), 0);
}

// A channel described as a picture source on the real split wiring of system type 653 (channel 0 on
// VI channel 27, channel 13 on VI channel 2 with secondary number 1) and an 800 x 600 output.
class ChnSourceTest : public AlarmTest {
protected:
    void SetUp() override {
        AlarmTest::SetUp();
        SLAVE_SYS_PARAM_S p;
        std::memset(&p, 0, sizeof(p));
        p.u32SysType = 653;
        p.u32DevType = 653;
        p.u32BoardSubType = 47;
        p.u32ChnEnd = 16;
        SlaveStoreSysParam(&p);
        Comm_InitVpssChnMap();
        GraphicsReset();
        const uint32_t size[2] = {800, 600};
        GraphicsSetResolution(size);
        SplitReset();
        SplitRegisterModule();
        ASSERT_EQ(HwSplitDevInit(), 0);
    }
    void TearDown() override {
        AlarmSetSplitHooks(nullptr, nullptr);
        SplitReset();
        GraphicsReset();
        CommResetVpssChnMap();
        AlarmTest::TearDown();
    }
};

TEST_F(ChnSourceTest, VideoInputAndProcessingSourcesOfAChannel) {
    ALARM_CHN_SOURCE_S src;
    EXPECT_EQ(AlarmGetChnSource(0, &src), -1) << "the split hooks are not set";
    AlarmSetSplitHooks(SplitGetChnSecondary, SplitPreviewGrp);
    const int32_t base = Comm_GetVpssChnMap()[VPSS_MAP_IN_BASE];
    const struct {
        int32_t chn, vi, sec;
    } cases[] = {{0, 27, 0}, {7, 28, 7}, {8, 7, 0}, {12, 3, 0}, {13, 2, 1}, {15, 0, 3}};
    for (const auto& k : cases) {
        SCOPED_TRACE(k.chn);
        std::memset(&src, 0xA5, sizeof(src));
        ASSERT_EQ(AlarmGetChnSource(k.chn, &src), 0);
        EXPECT_EQ(src.s32ViChn, k.vi);
        EXPECT_EQ(src.s32SecChn, k.sec);
        EXPECT_EQ(src.s32ViWord, 3);
        EXPECT_EQ(src.s32Grp, base + k.chn);
        EXPECT_EQ(src.s32GrpWord, 2);
        EXPECT_EQ(src.stLayerSize.u32Width, 704u);
        EXPECT_EQ(src.stLayerSize.u32Height, 576u);
    }
    for (int32_t chn : {-1, 16, 32}) EXPECT_EQ(AlarmGetChnSource(chn, &src), -1) << chn;
    EXPECT_EQ(AlarmGetChnSource(0, nullptr), -1);
}

}  // namespace
