// Decoding to the display, set up through the SDK as the program wires a playback window: a decoder
// channel bound to its processing group, the group's channel bound to a display channel whose
// rectangle is a part of the screen. The clip is made with ffmpeg in the same run; its colours turn
// with time, so each moment of it looks different. The last picture of the clip must stand in the
// rectangle as ffmpeg's own decode of the clip, scaled to the rectangle, shows it; the rest of the
// screen keeps the background colour. However the flow is taken down, every block goes back.
#include <cmath>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/drivers/all/install.h"
#include "platform/drivers/core/frame_testing.h"
#include "platform/drivers/vdec/vdec_driver.h"
#include "platform/drivers/vo/vo_driver.h"
#include "sdk/common/testing/bus_environment.h"
#include "sdk/flow/flow_testing.h"
#include "sdk/flow/screen_testing.h"
#include "sdk/sys/mpi_sys.h"
#include "sdk/vdec/mpi_vdec.h"
#include "sdk/vdec/testing/vdec_clips.h"
#include "sdk/vo/mpi_vo.h"
#include "sdk/vpss/mpi_vpss.h"

namespace {

namespace drivers = varnelle::drivers;
namespace tools = mk::jpegd::testing;
using drivers::testing::Eventually;
using drivers::testing::ManualClock;
using flow_testing::ScreenCopy;
using mk::vdec::testing::Bytes;

[[maybe_unused]] auto* const g_environment =
    ::testing::AddGlobalTestEnvironment(new mk::testing::BusEnvironment("vdecflow", drivers::InstallAll));

constexpr MK_U32 kW = 704, kH = 576;
constexpr MK_U32 kFrames = 50;
// Reference pictures, the decoder's unfetched pictures, the group's queue, the one on display, and
// the blocks the decoder leaves free for others.
constexpr MK_U32 kBlocks = 24;
constexpr VDEC_CHN kVdec = 3;
constexpr VPSS_GRP kGrp = 40;
constexpr VO_LAYER kLayer = flow_testing::kDisplayLayer;
constexpr VO_CHN kVo = 6;
// The window: even edges, clear of every side of the 1920 x 1080 screen, another shape than the clip.
constexpr RECT_S kRect{400, 200, 1024, 640};
// Blue, and what it is in video-range BT.601 (by hand: Y = 16 + 24.966, Cb = 128 + 112,
// Cr = 128 - 18.214).
constexpr MK_U32 kBackground = 0x0000FF;
constexpr int kBgY = 41, kBgCb = 240, kBgCr = 110;

// testsrc with its hue turned half a turn a second, no B frames (so the last picture sent is the last
// shown), a GOP of 25.
struct Clip {
    Bytes bytes;
    std::vector<Bytes> frames;
};
const Clip& TheClip() {
    static const Clip c = [] {
        Clip clip;
        clip.bytes = mk::vdec::testing::MakeClip({"libx264", kW, kH, kFrames, 25, "-bf 0 -vf hue=H=PI*t"});
        clip.frames = mk::vdec::testing::SplitFrames(clip.bytes, false);
        return clip;
    }();
    return c;
}

// ffmpeg's decode of the clip, each picture scaled to w x h, as NV21 (luma, then Cr/Cb pairs).
std::vector<Bytes> FfmpegScaled(const Bytes& clip, MK_U32 w, MK_U32 h) {
    const std::string in = tools::Fresh(".h264"), out = tools::Fresh(".nv21");
    tools::WriteFile(in, clip);
    tools::Run("ffmpeg -v error -i " + in + " -vf scale=" + std::to_string(w) + ":" + std::to_string(h) +
               ":flags=bilinear -pix_fmt nv21 -f rawvideo -y " + out);
    const Bytes all = tools::ReadFile(out);
    std::filesystem::remove(in);
    std::filesystem::remove(out);
    const size_t size = static_cast<size_t>(w) * h * 3 / 2;
    std::vector<Bytes> pictures;
    for (size_t off = 0; off + size <= all.size(); off += size) {
        pictures.emplace_back(all.begin() + static_cast<long>(off), all.begin() + static_cast<long>(off + size));
    }
    return pictures;
}

// The peak signal-to-noise ratio in dB of the window on the screen against an NV21 picture of its
// size, luma and chroma together.
double WindowPsnr(const ScreenCopy& s, const RECT_S& r, const Bytes& want) {
    double err = 0;
    size_t n = 0;
    auto add = [&](int got, int ref) {
        err += static_cast<double>((got - ref) * (got - ref));
        ++n;
    };
    const uint8_t* vu = want.data() + static_cast<size_t>(r.u32Width) * r.u32Height;
    for (MK_U32 y = 0; y < r.u32Height; ++y) {
        for (MK_U32 x = 0; x < r.u32Width; ++x) {
            add(s.Luma(r.s32X + static_cast<int>(x), r.s32Y + static_cast<int>(y)), want[y * r.u32Width + x]);
            if (y % 2 == 0 && x % 2 == 0) {
                const uint8_t* got = s.Chroma(r.s32X + static_cast<int>(x), r.s32Y + static_cast<int>(y));
                const uint8_t* ref = vu + (y / 2) * r.u32Width + x;
                add(got[0], ref[0]);
                add(got[1], ref[1]);
            }
        }
    }
    const double mse = err / static_cast<double>(n);
    return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

class VdecFlowTest : public flow_testing::FlowTest {
protected:
    VdecFlowTest() : FlowTest(drivers::FrameBytes(kW, kH), kBlocks) {}
    void SetUp() override {
        FlowTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(flow_testing::StartDisplay(kBackground));
        VO_CHN_ATTR_S chn{0, kRect, 0};
        ASSERT_EQ(MK_MPI_VO_SetChnAttr(kLayer, kVo, &chn), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_VO_EnableChn(kLayer, kVo), MK_SUCCESS);
        // The program's decode group: its first channel, sized by what it shows.
        VPSS_GRP_ATTR_S grp{kW, kH, MK_PIXEL_FORMAT_YUV_SEMIPLANAR_420, 0, 0, 0, 0, 0, 0};
        ASSERT_EQ(MK_MPI_VPSS_CreateGrp(kGrp, &grp), MK_SUCCESS);
        VPSS_CHN_ATTR_S chnAttr{};
        ASSERT_EQ(MK_MPI_VPSS_SetChnAttr(kGrp, 0, &chnAttr), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_VPSS_EnableChn(kGrp, 0), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_VPSS_StartGrp(kGrp), MK_SUCCESS);
        // The program's decoder: H.264 in whole frames, here with room for the whole clip, so the
        // sender never waits.
        VDEC_CHN_ATTR_S dec{PT_H264, kW * kH * 3 / 4 + static_cast<MK_U32>(TheClip().bytes.size()), 5, kW, kH, 2, 1, 0};
        ASSERT_EQ(MK_MPI_VDEC_CreateChn(kVdec, &dec), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_VDEC_StartRecvStream(kVdec), MK_SUCCESS);
        ASSERT_EQ(DecoderToGroup(true), MK_SUCCESS);
        ASSERT_EQ(GroupToDisplay(true), MK_SUCCESS);
    }
    void TearDown() override {
        DecoderToGroup(false);
        GroupToDisplay(false);
        MK_MPI_VDEC_DestroyChn(kVdec);
        MK_MPI_VPSS_DestroyGrp(kGrp);
        FlowTest::TearDown();
    }

    // The program's bindings: (5, 0, decoder) to (7, group, 0), and (7, group, 0) to (15, layer, chn).
    static MK_S32 Bind(const MPP_CHN_S& src, const MPP_CHN_S& dst, bool bind) {
        return bind ? MK_MPI_SYS_Bind(&src, &dst) : MK_MPI_SYS_UnBind(&src, &dst);
    }
    static MK_S32 DecoderToGroup(bool bind) { return Bind({MK_ID_VDEC, 0, kVdec}, {MK_ID_VPSS, kGrp, 0}, bind); }
    static MK_S32 GroupToDisplay(bool bind) { return Bind({MK_ID_VPSS, kGrp, 0}, {MK_ID_VOU, kLayer, kVo}, bind); }

    static MK_U64 PtsOf(size_t frame) { return 40000 * (frame + 1); }
    // Sends frames [from, to) of the clip, and the end of the stream after the last.
    static void Send(size_t from, size_t to) {
        const Clip& clip = TheClip();
        for (size_t i = from; i < to; ++i) {
            VDEC_STREAM_S st{clip.frames[i].data(), static_cast<MK_U32>(clip.frames[i].size()), PtsOf(i), 1, 0};
            ASSERT_EQ(MK_MPI_VDEC_SendStream(kVdec, &st, -1), MK_SUCCESS) << "frame " << i;
        }
        if (to == clip.frames.size()) {
            VDEC_STREAM_S end{nullptr, 0, 0, 0, 1};
            ASSERT_EQ(MK_MPI_VDEC_SendStream(kVdec, &end, -1), MK_SUCCESS);
        }
    }
    static drivers::VoDriver::ChnState Shown() {
        return varnelle::dev::Registry::Get<drivers::VoDriver>("/dev/vo")->Channel(kLayer, kVo);
    }
    // Waits (real time) until the window shows the picture of frame `i`.
    static bool WaitShown(size_t i) {
        return Eventually([&] { return Shown().showing && Shown().frame.u64pts == PtsOf(i); }, 20000);
    }
};

TEST_F(VdecFlowTest, TheDecodedClipStandsScaledInItsWindowOnTheBackground) {
    const Clip& clip = TheClip();
    ASSERT_EQ(clip.frames.size(), kFrames);
    const std::vector<Bytes> want = FfmpegScaled(clip.bytes, kRect.u32Width, kRect.u32Height);
    ASSERT_EQ(want.size(), kFrames);
    ManualClock clock;
    ASSERT_NO_FATAL_FAILURE(Send(0, kFrames));
    ASSERT_TRUE(WaitShown(kFrames - 1)) << "shown: " << Shown().frame.u64pts;
    EXPECT_EQ(Shown().frame.u32Width, kW) << "the group passes the decoded size on; the display scales";
    clock.AdvanceMs(100);  // the display composes what its channels show now
    const ScreenCopy s = flow_testing::GetScreen();
    ASSERT_FALSE(s.bytes.empty());

    // The window holds the last picture as ffmpeg decodes and scales it, and clearly not one from
    // half a second before.
    const double last = WindowPsnr(s, kRect, want.back());
    EXPECT_GT(last, 30.0);
    EXPECT_LT(WindowPsnr(s, kRect, want[kFrames - 13]), last - 10) << "the clip's pictures must differ";

    // Everything outside the window is the background, to the last pixel.
    int wrong = 0;
    for (int y = 0; y < flow_testing::kScreenH; ++y) {
        const bool rowInside = y >= kRect.s32Y && y < kRect.s32Y + static_cast<int>(kRect.u32Height);
        for (int x = 0; x < flow_testing::kScreenW; ++x) {
            if (rowInside && x >= kRect.s32X && x < kRect.s32X + static_cast<int>(kRect.u32Width)) continue;
            const uint8_t* c = s.Chroma(x, y);
            if (s.Luma(x, y) != kBgY || c[0] != kBgCr || c[1] != kBgCb) {
                if (++wrong <= 5) ADD_FAILURE() << "not the background at " << x << "," << y;
            }
        }
    }
    EXPECT_EQ(wrong, 0);
}

// Ways the program takes a playback window down while pictures are still coming: each must leave
// every block in its pool.
TEST_F(VdecFlowTest, TakingTheFlowDownMidStreamGivesEveryBlockBack) {
    struct Case {
        const char* what;
        std::function<void()> down;
    } cases[] = {
        {"unbind both, then stop and destroy",
         [] {
             ASSERT_EQ(GroupToDisplay(false), MK_SUCCESS);
             ASSERT_EQ(DecoderToGroup(false), MK_SUCCESS);
             ASSERT_EQ(MK_MPI_VDEC_StopRecvStream(kVdec), MK_SUCCESS);
             ASSERT_EQ(MK_MPI_VDEC_DestroyChn(kVdec), MK_SUCCESS);
             ASSERT_EQ(MK_MPI_VPSS_StopGrp(kGrp), MK_SUCCESS);
         }},
        {"the decoder unbound while it decodes, then destroyed",
         [] {
             ASSERT_EQ(DecoderToGroup(false), MK_SUCCESS);
             ASSERT_EQ(MK_MPI_VDEC_DestroyChn(kVdec), MK_SUCCESS);
             ASSERT_EQ(MK_MPI_VPSS_StopGrp(kGrp), MK_SUCCESS);
             ASSERT_EQ(MK_MPI_VO_DisableChn(kLayer, kVo), MK_SUCCESS);
         }},
        {"everything stopped while still bound",
         [] {
             ASSERT_EQ(MK_MPI_VDEC_StopRecvStream(kVdec), MK_SUCCESS);
             ASSERT_EQ(MK_MPI_VDEC_DestroyChn(kVdec), MK_SUCCESS);
             ASSERT_EQ(MK_MPI_VPSS_StopGrp(kGrp), MK_SUCCESS);
             ASSERT_EQ(MK_MPI_VO_DisableChn(kLayer, kVo), MK_SUCCESS);
         }},
        {"the display side first, then the decoder reset and destroyed",
         [] {
             ASSERT_EQ(MK_MPI_VO_DisableChn(kLayer, kVo), MK_SUCCESS);
             ASSERT_EQ(MK_MPI_VPSS_DestroyGrp(kGrp), MK_SUCCESS);
             ASSERT_EQ(MK_MPI_VDEC_ResetChn(kVdec), MK_SUCCESS);
             ASSERT_EQ(MK_MPI_VDEC_DestroyChn(kVdec), MK_SUCCESS);
         }},
    };
    bool first = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (!first) {
            TearDown();
            ASSERT_NO_FATAL_FAILURE(SetUp());
        }
        first = false;
        ASSERT_NO_FATAL_FAILURE(Send(0, kFrames / 2));
        ASSERT_TRUE(Eventually([] { return Shown().received >= 2; }, 20000)) << "pictures flow";
        EXPECT_LT(FreeBlocks(), kBlocks);
        ASSERT_NO_FATAL_FAILURE(c.down());
        EXPECT_TRUE(PoolFull()) << FreeBlocks() << " of " << kBlocks << " free";
    }
}

// Unbound, the window goes back to the background; bound again, the pictures come back into it.
TEST_F(VdecFlowTest, UnbindingEmptiesTheWindowAndBindingAgainFillsIt) {
    ManualClock clock;
    ASSERT_NO_FATAL_FAILURE(Send(0, kFrames / 2));
    ASSERT_TRUE(WaitShown(kFrames / 2 - 1));
    ASSERT_EQ(GroupToDisplay(false), MK_SUCCESS);
    EXPECT_FALSE(Shown().showing);
    clock.AdvanceMs(100);
    ScreenCopy s = flow_testing::GetScreen();
    ASSERT_FALSE(s.bytes.empty());
    const int cx = kRect.s32X + static_cast<int>(kRect.u32Width) / 2, cy = kRect.s32Y + static_cast<int>(kRect.u32Height) / 2;
    EXPECT_EQ(s.Luma(cx, cy), kBgY);
    EXPECT_EQ(s.Chroma(cx, cy)[0], kBgCr);
    EXPECT_EQ(s.Chroma(cx, cy)[1], kBgCb);

    ASSERT_EQ(GroupToDisplay(true), MK_SUCCESS);
    ASSERT_NO_FATAL_FAILURE(Send(kFrames / 2, kFrames));
    ASSERT_TRUE(WaitShown(kFrames - 1));
    clock.AdvanceMs(100);
    s = flow_testing::GetScreen();
    ASSERT_FALSE(s.bytes.empty());
    const std::vector<Bytes> want = FfmpegScaled(TheClip().bytes, kRect.u32Width, kRect.u32Height);
    ASSERT_EQ(want.size(), kFrames);
    EXPECT_GT(WindowPsnr(s, kRect, want.back()), 30.0);
}

}  // namespace
