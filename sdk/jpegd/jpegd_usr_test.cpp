// The JPEG decode channels end to end: pictures sent to a JPEG or MJPEG decoder channel come out of
// GetFrame, checked against djpeg and ffmpeg decoding the same streams in the same run.
#include <sys/mman.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/drivers/core/bind_graph.h"
#include "platform/drivers/core/vb_pools.h"
#include "platform/drivers/jpeg/jpeg_driver.h"
#include "platform/drivers/mem/mem_driver.h"
#include "platform/drivers/mmz/mmz_driver.h"
#include "platform/drivers/vdec/vdec_driver.h"
#include "sdk/common/testing/bus_environment.h"
#include "sdk/jpegd/internal/jpegd_internal.h"
#include "sdk/jpegd/jpegd_ioctl.h"
#include "sdk/jpegd/mpi_jpegd.h"
#include "sdk/jpegd/testing/jpeg_tools.h"
#include "sdk/sys/mpi_sys.h"
#include "sdk/vdec/mpi_vdec.h"

namespace {

using namespace mk::jpegd::testing;
using varnelle::drivers::BindGraph;
using varnelle::drivers::JpegDriver;
using varnelle::drivers::VbPools;
using varnelle::drivers::VdecDriver;
using varnelle::drivers::VdecJpegView;

const auto* const kBus = ::testing::AddGlobalTestEnvironment(new mk::testing::BusEnvironment("jpegd", [] {
    varnelle::drivers::InstallMemDriver();
    varnelle::drivers::InstallMmzDriver();
    varnelle::drivers::InstallJpegDriver();
    VdecDriver::Get();
}));

constexpr MK_S32 Code(MK_U32 c) { return static_cast<MK_S32>(c); }
constexpr MK_S32 kErrChn = Code(0xA0058002u);
constexpr MK_S32 kErrExist = Code(0xA0058004u);
constexpr MK_S32 kErrUnexist = Code(0xA0058005u);
constexpr MK_S32 kErrNull = Code(0xA0058006u);
constexpr MK_S32 kErrPerm = Code(0xA0058009u);
constexpr MK_S32 kErrNoMem = Code(0xA005800Cu);
constexpr MK_S32 kErrEmpty = Code(0xA005800Eu);
constexpr MK_S32 kErrNotReady = Code(0xA0058010u);

constexpr MK_U32 kRing = 1u << 20;
constexpr MK_S32 kWaitMs = 20000;

// Waits until `done` holds, checking on the driver's counters; fails the test after 20 s.
template <typename Pred>
bool WaitFor(Pred done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// A frame taken from a channel, mapped.
struct Picture {
    VIDEO_FRAME_INFO_S info{};
    Bytes luma;    // width x height
    Bytes chroma;  // (width rounded up to even) x (height + 1) / 2, Cr first
};

class JpegdTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_vdec = VdecDriver::Get();
        m_vdec->Reset();
        m_vdec->ClearFaults();
        m_jpeg = JpegDriver::Get();
        m_jpeg->Reset();
        VbPools::Instance().Clear();
        BindGraph::Instance().Clear();
        m_pool = VbPools::Instance().CreatePool(6u << 20, 8, "");
        ASSERT_GE(m_pool, 0);
        ASSERT_EQ(MPI_VDEC_Init(), MK_SUCCESS);
    }
    void TearDown() override {
        for (VDEC_CHN chn = 0; chn < VDEC_MAX_CHN_NUM; ++chn) {
            if (!m_vdec->Channel(chn).created) continue;
            MK_MPI_VDEC_StopRecvStream(chn);
            MK_MPI_VDEC_DestroyChn(chn);
        }
        MPI_VDEC_Exit();
        m_vdec->ClearFaults();
        m_vdec->Reset();
        for (VDEC_CHN chn = 0; chn < VDEC_MAX_CHN_NUM; ++chn) m_vdec->SetJpegBufSize(chn, 0);
        VbPools::Instance().Clear();
        BindGraph::Instance().Clear();
    }

    void Start(VDEC_CHN chn, MK_U32 type = PT_JPEG, MK_U32 maxW = 8192, MK_U32 maxH = 8192, MK_U32 ring = kRing) {
        VDEC_CHN_ATTR_S attr{type, ring, 1, maxW, maxH, 0, 1, 0};
        ASSERT_EQ(MK_MPI_VDEC_CreateChn(chn, &attr), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_VDEC_StartRecvStream(chn), MK_SUCCESS);
    }
    MK_S32 Send(VDEC_CHN chn, const Bytes& jpg, MK_U64 pts = 0, MK_S32 ms = 0) {
        VDEC_STREAM_S st{jpg.data(), static_cast<MK_U32>(jpg.size()), pts, 1, 0};
        return MK_MPI_VDEC_SendStream(chn, &st, ms);
    }
    // The channel's next frame, copied out of its block, which goes back to the driver.
    Picture Take(VDEC_CHN chn) {
        Picture p;
        EXPECT_EQ(MK_MPI_VDEC_GetFrame(chn, &p.info, kWaitMs), MK_SUCCESS);
        const VIDEO_FRAME_INFO_S& f = p.info;
        if (f.u32Width == 0) return p;
        const MK_U32 chromaRows = (f.u32Height + 1) / 2;
        const MK_U32 size = f.u32PhyAddr[1] - f.u32PhyAddr[0] + f.u32Stride[1] * chromaRows;
        auto* base = static_cast<uint8_t*>(MK_MPI_SYS_Mmap(f.u32PhyAddr[0], size));
        EXPECT_NE(base, nullptr);
        if (base != nullptr) {
            p.luma = Rows(base, f.u32Stride[0], f.u32Width, f.u32Height);
            p.chroma = Rows(base + (f.u32PhyAddr[1] - f.u32PhyAddr[0]), f.u32Stride[1], (f.u32Width + 1) & ~1u,
                            chromaRows);
            MK_MPI_SYS_Munmap(base, size);
        }
        EXPECT_EQ(MK_MPI_VDEC_ReleaseFrame(chn, &p.info), MK_SUCCESS);
        return p;
    }
    // Waits for the channel's `n`-th report and returns the reports so far.
    std::vector<JPEGD_REPORT_S> Reports(VDEC_CHN chn, size_t n) {
        EXPECT_TRUE(WaitFor([&] { return m_vdec->JpegChannel(chn).reports.size() >= n; })) << "reports of " << chn;
        return m_vdec->JpegChannel(chn).reports;
    }

    std::shared_ptr<VdecDriver> m_vdec;
    std::shared_ptr<JpegDriver> m_jpeg;
    int m_pool = -1;
};

// ---- Pictures against the outside decoders ----

struct PictureCase {
    const char* options;
    uint32_t width;
    uint32_t height;
    bool grey;
};

class JpegdPictureTest : public JpegdTest, public ::testing::WithParamInterface<PictureCase> {};

TEST_P(JpegdPictureTest, DecodesAsDjpegAndFfmpegDo) {
    const PictureCase& pc = GetParam();
    const Bytes jpg = Cjpeg(Ppm(pc.width, pc.height), pc.options);
    Start(0);
    ASSERT_EQ(Send(0, jpg, 0x123456789ull), MK_SUCCESS);
    const Picture p = Take(0);
    ASSERT_EQ(p.info.u32Width, pc.width);
    ASSERT_EQ(p.info.u32Height, pc.height);
    EXPECT_EQ(p.info.u64pts, 0x123456789ull);

    // Luma is the library's own decode, as djpeg gives it.
    EXPECT_EQ(p.luma, Djpeg(jpg, "-grayscale")) << pc.options;
    const Bytes ref = FfmpegNv21(jpg);
    const Bytes refChroma(ref.begin() + static_cast<long>(pc.width) * pc.height, ref.end());
    ASSERT_EQ(refChroma.size(), p.chroma.size());
    if (pc.grey) {
        EXPECT_EQ(p.chroma, Bytes(p.chroma.size(), 128)) << "a grey picture's chroma is neutral";
    } else {
        EXPECT_GE(Psnr(p.chroma, refChroma), 33.0) << pc.options;
    }
    const VdecJpegView v = m_vdec->JpegChannel(0);
    ASSERT_EQ(v.reports.size(), 1u);
    EXPECT_EQ(v.reports[0].s32ErrType, JPEGD_ERR_NONE);
    EXPECT_EQ(v.reports[0].u32Width, pc.width);
    EXPECT_EQ(v.reports[0].u32Height, pc.height);
}

INSTANTIATE_TEST_SUITE_P(
    Cjpeg, JpegdPictureTest,
    ::testing::Values(PictureCase{"-sample 1x1", 333, 247, false}, PictureCase{"-sample 2x1", 333, 247, false},
                      PictureCase{"-sample 2x2", 333, 247, false}, PictureCase{"-sample 1x2", 333, 247, false},
                      PictureCase{"-grayscale", 333, 247, true}, PictureCase{"-progressive", 333, 247, false},
                      PictureCase{"-arithmetic", 333, 247, false}, PictureCase{"-restart 1", 333, 247, false},
                      PictureCase{"-sample 2x2", 1, 1, false}, PictureCase{"-grayscale", 1, 1, true},
                      PictureCase{"-sample 2x2", 17, 9, false}, PictureCase{"-grayscale", 17, 9, true},
                      PictureCase{"-sample 1x1", 17, 9, false}, PictureCase{"-sample 2x2", 5000, 64, false}));

}  // namespace
