// Display splits of capture inputs, wired through the SDK as the program wires its cascade display:
// device 0 at 1920 x 1080 with layer 0 over the whole screen, the split's display channels on it,
// and each capture channel bound to its display channel. The screen, got back through the SDK, shows
// each input's colour signature in its own part of the split; unbinding stops an input, binding it
// again brings it back, and once the flow stops every block is back in its pool.
#include <vector>

#include <gtest/gtest.h>

#include "platform/drivers/all/install.h"
#include "platform/drivers/core/pattern.h"
#include "platform/drivers/vo/vo_driver.h"
#include "sdk/common/testing/bus_environment.h"
#include "sdk/flow/flow_testing.h"
#include "sdk/flow/screen_testing.h"
#include "sdk/sys/mpi_sys.h"
#include "sdk/vo/mpi_vo.h"

namespace {

namespace drivers = varnelle::drivers;
using drivers::testing::ManualClock;

[[maybe_unused]] auto* const g_environment =
    ::testing::AddGlobalTestEnvironment(new mk::testing::BusEnvironment("vosplit", drivers::InstallAll));

// CIF inputs keep the test quick; the screen scales them up either way.
constexpr MK_U32 kW = 352, kH = 288;
constexpr MK_U32 kBlocks = 48;
using flow_testing::GetScreen;
using flow_testing::kScreenH;
using flow_testing::kScreenW;
using flow_testing::ScreenCopy;
constexpr VO_LAYER kLayer = flow_testing::kDisplayLayer;

// What the pattern writes for an input's signature colour: its luma and its chroma pair as it lies in
// memory.
struct Signature {
    int y, c0, c1;
};
Signature ExpectedSignature(int chn) {
    uint8_t y[4], uv[4];
    drivers::DrawFlat(drivers::PatternFrame{y, 2, uv, 2, 2, 2}, drivers::PatternSignature(chn));
    return Signature{y[0], uv[0], uv[1]};
}

class VoSplitTest : public flow_testing::FlowTest {
protected:
    VoSplitTest() : FlowTest(drivers::FrameBytes(kW, kH), kBlocks) {}
    void SetUp() override {
        FlowTest::SetUp();
        SetUpCascadeDisplay();
    }

    // The program's cascade display set-up: attributes of device 0 and its layer, the cascade device
    // with its 32 positions bound to the display channels of the same number.
    static void SetUpCascadeDisplay() {
        ASSERT_NO_FATAL_FAILURE(flow_testing::StartDisplay());
        VO_CAS_ATTR_S cas{0, 1, 0, 0};
        ASSERT_EQ(MK_MPI_VO_SetCascadeAttr(&cas), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_VO_EnableCascadeDev(7), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_VO_SetCascadePattern(7, 1), MK_SUCCESS);
        for (MK_U32 p = 0; p < 32; ++p) ASSERT_EQ(MK_MPI_VO_CascadePosBindChn(p, 7, static_cast<VO_CHN>(p)), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_VO_EnableCascade(), MK_SUCCESS);
    }

    // An n x n split: display channel i in row i / n, column i % n, showing capture channel i.
    static RECT_S Cell(int n, int i) {
        const MK_U32 w = kScreenW / n, h = kScreenH / n;
        return RECT_S{static_cast<MK_S32>((i % n) * w), static_cast<MK_S32>((i / n) * h), w, h};
    }
    static void StartSplit(int n) {
        for (int i = 0; i < n * n; ++i) {
            VO_CHN_ATTR_S attr{0, Cell(n, i), 0};
            ASSERT_EQ(MK_MPI_VO_SetChnAttr(kLayer, i, &attr), MK_SUCCESS);
            ASSERT_EQ(MK_MPI_VO_EnableChn(kLayer, i), MK_SUCCESS);
            StartCapture(i, kW, kH);
            ASSERT_EQ(Bind(i, true), MK_SUCCESS);
        }
    }
    // The program's capture-to-display binding: (16, 0, channel) to (15, layer, channel).
    static MK_S32 Bind(int chn, bool bind) {
        MPP_CHN_S src{MK_ID_VIU, 0, chn}, dst{MK_ID_VOU, kLayer, chn};
        return bind ? MK_MPI_SYS_Bind(&src, &dst) : MK_MPI_SYS_UnBind(&src, &dst);
    }

    // The mean luma and chroma bytes of the signature area of cell i of an n x n split, a few pixels
    // in from its edges, where scaling mixes in the neighbouring picture.
    static Signature Measure(const ScreenCopy& s, int n, int i) {
        const RECT_S cell = Cell(n, i);
        drivers::PatternRect r = drivers::PatternSignatureRect(static_cast<int>(cell.u32Width), static_cast<int>(cell.u32Height));
        constexpr int kInset = 6;
        int64_t y = 0, c0 = 0, c1 = 0, count = 0;
        for (int row = r.y + kInset; row < r.y + r.height - kInset; ++row) {
            for (int col = (r.x + kInset) & ~1; col < r.x + r.width - kInset; col += 2) {
                const int sx = cell.s32X + col, sy = cell.s32Y + row;
                y += s.Luma(sx, sy);
                c0 += s.Chroma(sx, sy)[0];
                c1 += s.Chroma(sx, sy)[1];
                ++count;
            }
        }
        return Signature{static_cast<int>(y / count), static_cast<int>(c0 / count), static_cast<int>(c1 / count)};
    }
    static void ExpectSignature(const ScreenCopy& s, int n, int i, Signature want) {
        Signature got = Measure(s, n, i);
        EXPECT_NEAR(got.y, want.y, 2) << "cell " << i << " of " << n << "x" << n;
        EXPECT_NEAR(got.c0, want.c0, 2) << "cell " << i << " of " << n << "x" << n;
        EXPECT_NEAR(got.c1, want.c1, 2) << "cell " << i << " of " << n << "x" << n;
    }
};

class VoSplitSizes : public VoSplitTest, public ::testing::WithParamInterface<int> {};

TEST_P(VoSplitSizes, EachInputsSignatureIsInItsCell) {
    const int n = GetParam();
    ManualClock clock;
    StartSplit(n);
    clock.AdvanceMs(40);
    clock.AdvanceMs(40);
    const ScreenCopy s = GetScreen();
    for (int i = 0; i < n * n; ++i) ExpectSignature(s, n, i, ExpectedSignature(i));
    // The picture fills its cell to the edges: just inside the left and right edges, a little above
    // the middle (clear of the number, the moving bar and the time), the signature shows.
    for (int i = 0; i < n * n; ++i) {
        const RECT_S cell = Cell(n, i);
        const Signature want = ExpectedSignature(i);
        const int y = cell.s32Y + static_cast<int>(cell.u32Height) * 7 / 16;
        for (int x : {cell.s32X + 2, cell.s32X + static_cast<int>(cell.u32Width) - 3}) {
            EXPECT_NEAR(s.Luma(x, y), want.y, 2) << "cell " << i << " at " << x << "," << y;
            EXPECT_NEAR(s.Chroma(x, y)[0], want.c0, 2) << "cell " << i << " at " << x << "," << y;
            EXPECT_NEAR(s.Chroma(x, y)[1], want.c1, 2) << "cell " << i << " at " << x << "," << y;
        }
    }
    for (int i = 0; i < n * n; ++i) ASSERT_EQ(Bind(i, false), MK_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Splits, VoSplitSizes, ::testing::Values(2, 4),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::to_string(info.param) + "x" + std::to_string(info.param);
                         });

TEST_F(VoSplitTest, UnbindStopsAnInputAndBindingAgainBringsItBack) {
    ManualClock clock;
    StartSplit(2);
    clock.AdvanceMs(40);
    auto vo = varnelle::dev::Registry::Get<drivers::VoDriver>("/dev/vo");
    ASSERT_TRUE(vo->Channel(kLayer, 3).showing);

    ASSERT_EQ(Bind(3, false), MK_SUCCESS);
    const uint64_t received = vo->Channel(kLayer, 3).received;
    clock.AdvanceMs(40);
    clock.AdvanceMs(40);
    EXPECT_EQ(vo->Channel(kLayer, 3).received, received);
    ScreenCopy s = GetScreen();
    ExpectSignature(s, 2, 3, Signature{16, 128, 128});  // the black background in its place
    for (int i = 0; i < 3; ++i) ExpectSignature(s, 2, i, ExpectedSignature(i));

    ASSERT_EQ(Bind(3, true), MK_SUCCESS);
    clock.AdvanceMs(40);
    clock.AdvanceMs(40);
    EXPECT_GT(vo->Channel(kLayer, 3).received, 0u);
    ExpectSignature(GetScreen(), 2, 3, ExpectedSignature(3));
    for (int i = 0; i < 4; ++i) ASSERT_EQ(Bind(i, false), MK_SUCCESS);
}

TEST_F(VoSplitTest, EveryBlockIsBackOnceTheFlowStops) {
    ManualClock clock;
    StartSplit(4);
    for (int i = 0; i < 5; ++i) clock.AdvanceMs(40);
    EXPECT_LT(FreeBlocks(), kBlocks);
    // Half the inputs unbound, the other half's display channels disabled while still bound.
    for (int i = 0; i < 8; ++i) ASSERT_EQ(Bind(i, false), MK_SUCCESS);
    for (int i = 8; i < 16; ++i) ASSERT_EQ(MK_MPI_VO_DisableChn(kLayer, i), MK_SUCCESS);
    for (int i = 0; i < 16; ++i) ASSERT_EQ(MK_MPI_VI_DisableChn(i), MK_SUCCESS);
    clock.AdvanceMs(40);
    EXPECT_TRUE(PoolFull()) << FreeBlocks();
    for (int i = 8; i < 16; ++i) ASSERT_EQ(Bind(i, false), MK_SUCCESS);
}

}  // namespace
