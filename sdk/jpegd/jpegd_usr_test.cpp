// The JPEG decode channels end to end: pictures sent to a JPEG or MJPEG decoder channel come out of
// GetFrame, checked against djpeg and ffmpeg decoding the same streams in the same run.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>
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

const PictureCase kPictureCases[] = {
    {"-sample 1x1", 333, 247, false}, {"-sample 2x1", 333, 247, false}, {"-sample 2x2", 333, 247, false},
    {"-sample 1x2", 333, 247, false}, {"-grayscale", 333, 247, true},   {"-progressive", 333, 247, false},
    {"-arithmetic", 333, 247, false}, {"-restart 1", 333, 247, false},  {"-restart 7B -sample 2x1", 333, 247, false},
    {"-sample 2x2", 1, 1, false},
    {"-grayscale", 1, 1, true},       {"-sample 2x2", 17, 9, false},    {"-grayscale", 17, 9, true},
    {"-sample 1x1", 17, 9, false},    {"-sample 2x2", 5000, 64, false},
};

// Each case's stream with djpeg's luma and ffmpeg's NV21, made once for all cases.
struct PictureRef {
    Bytes jpg, luma, nv21;
};

const PictureRef& RefOf(size_t index) {
    static const std::vector<PictureRef> refs = [] {
        std::vector<PictureRef> r;
        std::vector<Bytes> colour;
        for (const PictureCase& pc : kPictureCases) {
            PictureRef ref;
            ref.jpg = Cjpeg(Ppm(pc.width, pc.height), pc.options);
            ref.luma = Djpeg(ref.jpg, "-grayscale");
            if (!pc.grey) colour.push_back(ref.jpg);
            r.push_back(std::move(ref));
        }
        std::vector<Bytes> nv21 = FfmpegNv21(colour);
        size_t next = 0;
        for (size_t i = 0; i < r.size(); ++i) {
            if (!kPictureCases[i].grey) r[i].nv21 = std::move(nv21[next++]);
        }
        return r;
    }();
    return refs.at(index);
}

// Each picture by the hardware path, and by the software one (the block made to fail).
class JpegdPictureTest : public JpegdTest, public ::testing::WithParamInterface<std::tuple<size_t, bool>> {};

TEST_P(JpegdPictureTest, DecodesAsDjpegAndFfmpegDo) {
    const size_t index = std::get<0>(GetParam());
    const bool fallback = std::get<1>(GetParam());
    const PictureCase& pc = kPictureCases[index];
    const PictureRef& ref = RefOf(index);
    SCOPED_TRACE(std::string(pc.options) + " " + std::to_string(pc.width) + "x" + std::to_string(pc.height));
    if (fallback) m_jpeg->SetDefaultAnswer(JPEG_WAIT_ERROR);
    Start(0);
    ASSERT_EQ(Send(0, ref.jpg, 0x123456789ull), MK_SUCCESS);
    const Picture p = Take(0);
    ASSERT_EQ(p.info.u32Width, pc.width);
    ASSERT_EQ(p.info.u32Height, pc.height);
    EXPECT_EQ(p.info.u64pts, 0x123456789ull);

    // Luma is the library's own decode, as djpeg gives it.
    EXPECT_EQ(p.luma, ref.luma);
    if (pc.grey) {
        EXPECT_EQ(p.chroma, Bytes(p.chroma.size(), 128)) << "a grey picture's chroma is neutral";
    } else {
        const Bytes refChroma(ref.nv21.begin() + static_cast<long>(pc.width) * pc.height, ref.nv21.end());
        ASSERT_EQ(refChroma.size(), p.chroma.size());
        EXPECT_GE(Psnr(p.chroma, refChroma), 33.0);
    }
    // Progressive and arithmetic-coded pictures are the software decoder's; the block takes the rest,
    // restart markers too (it finds their interval among the MCUs).
    const bool software = std::string(pc.options) == "-progressive" || std::string(pc.options) == "-arithmetic";
    EXPECT_EQ(m_jpeg->Decoded(), software || fallback ? 0 : 1);
    const VdecJpegView v = m_vdec->JpegChannel(0);
    ASSERT_EQ(v.reports.size(), 1u);
    EXPECT_EQ(v.reports[0].s32ErrType, JPEGD_ERR_NONE);
    EXPECT_EQ(v.reports[0].u32Width, pc.width);
    EXPECT_EQ(v.reports[0].u32Height, pc.height);
}

INSTANTIATE_TEST_SUITE_P(Cjpeg, JpegdPictureTest,
                         ::testing::Combine(::testing::Range<size_t>(0, std::size(kPictureCases)), ::testing::Bool()));

// ---- A Motion JPEG frame: no Huffman tables, the standard ones meant ----

// The stream without its DHT segments.
Bytes WithoutDht(const Bytes& jpg) {
    Bytes out(jpg.begin(), jpg.begin() + 2);
    size_t pos = 2;
    while (pos + 4 <= jpg.size() && jpg[pos] == 0xFF && jpg[pos + 1] != 0xDA) {
        const size_t len = 2 + (static_cast<size_t>(jpg[pos + 2]) << 8 | jpg[pos + 3]);
        if (jpg[pos + 1] != 0xC4) out.insert(out.end(), jpg.begin() + static_cast<long>(pos), jpg.begin() + static_cast<long>(pos + len));
        pos += len;
    }
    out.insert(out.end(), jpg.begin() + static_cast<long>(pos), jpg.end());
    return out;
}

TEST_F(JpegdTest, MjpegFrameWithoutHuffmanTablesDecodesWithTheStandardOnes) {
    // cjpeg without -optimize codes with the standard tables, so the frame means the same without them.
    const Bytes withTables = Cjpeg(Ppm(176, 144, 3), "-sample 2x1");
    const Bytes mjpeg = WithoutDht(withTables);
    ASSERT_LT(mjpeg.size(), withTables.size());
    Start(0, PT_MJPEG);
    ASSERT_EQ(Send(0, mjpeg), MK_SUCCESS);
    const Picture p = Take(0);
    EXPECT_EQ(p.luma, Djpeg(withTables, "-grayscale"));
    const Bytes ref = FfmpegNv21(withTables);
    EXPECT_GE(Psnr(p.chroma, Bytes(ref.begin() + 176 * 144, ref.end())), 33.0);
    // The standard tables are what the hardware uses when a picture brings none: it was tried.
    EXPECT_EQ(m_jpeg->Opens(), 1);
}

// ---- The frame record ----

TEST_F(JpegdTest, FrameRecordDescribesTheDecodedPicture) {
    struct Case {
        const char* options;
        uint32_t w, h;
        uint32_t mcuW, mcuH;  // 16 for the subsampled direction, 8 otherwise
        bool grey;
    };
    for (const Case& k : {Case{"-sample 2x2", 333, 247, 16, 16, false}, Case{"-sample 1x1", 100, 30, 8, 8, false},
                          Case{"-grayscale", 17, 9, 8, 8, true}}) {
        SCOPED_TRACE(k.options);
        const Bytes jpg = Cjpeg(Ppm(k.w, k.h, 1), k.options);
        Start(0);
        ASSERT_EQ(Send(0, jpg, 777), MK_SUCCESS);
        VIDEO_FRAME_INFO_S f{};
        ASSERT_EQ(MK_MPI_VDEC_GetFrame(0, &f, kWaitMs), MK_SUCCESS);
        const VdecJpegView v = m_vdec->JpegChannel(0);
        const JPEGD_FRAME_S& r = v.lastFrame;
        const uint32_t stride = (k.w + 63) / 64 * 64;
        const uint32_t lumaSize = stride * ((k.h + k.mcuH - 1) / k.mcuH * k.mcuH);
        const uint32_t chromaStride = stride;  // the luma stride for a grey picture too
        EXPECT_EQ(r.u32Format, 1u);
        EXPECT_EQ(r.bPicture, 1u);
        EXPECT_EQ(r.u32One, 1u);
        EXPECT_EQ(r.u64PTS, 777u);
        EXPECT_EQ(r.u32Width, k.w);
        EXPECT_EQ(r.u32Height, k.h);
        EXPECT_EQ(r.u32LumaStride, stride);
        EXPECT_EQ(r.u32ChromaPhyAddr, r.u32LumaPhyAddr + lumaSize);
        EXPECT_EQ(r.u32ChromaStride, chromaStride);
        EXPECT_EQ(r.u32ChromaEndPhyAddr, r.u32ChromaPhyAddr + chromaStride * k.h / 2);
        // The first result word sums the luma written: whole MCUs by the hardware, the picture's own
        // lines by the software decoder.
        uint32_t hardSum = 0, softSum = 0;
        const uint32_t aligned = (k.w + k.mcuW - 1) / k.mcuW * k.mcuW;
        for (uint8_t y : Djpeg(WithFrameSize(jpg, aligned, lumaSize / stride), "-grayscale")) hardSum += y;
        for (uint8_t y : Djpeg(jpg, "-grayscale")) softSum += y;
        EXPECT_EQ(m_jpeg->Decoded(), 1);
        EXPECT_EQ(r.au32Result[0], hardSum);

        EXPECT_EQ(f.u32Width, k.w);
        EXPECT_EQ(f.u32Height, k.h);
        EXPECT_EQ(f.u32Field, static_cast<MK_U32>(MK_FIELD_FRAME));
        EXPECT_EQ(f.enPixelFormat, static_cast<MK_U32>(MK_PIXEL_FORMAT_YUV_SEMIPLANAR_420));
        EXPECT_EQ(f.u32PhyAddr[0], r.u32LumaPhyAddr);
        EXPECT_EQ(f.u32PhyAddr[1], r.u32ChromaPhyAddr);
        EXPECT_EQ(f.u32Stride[0], stride);
        EXPECT_EQ(f.u32Stride[1], chromaStride);
        EXPECT_EQ(f.u64pts, 777u);
        EXPECT_EQ(f.u32PoolId, static_cast<MK_U32>(m_pool));
        EXPECT_EQ(MK_MPI_VDEC_ReleaseFrame(0, &f), MK_SUCCESS);
        EXPECT_EQ(MK_MPI_VDEC_ReleaseFrame(0, &f), Code(0xA0058003u)) << "released twice";
        m_jpeg->SetDefaultAnswer(JPEG_WAIT_ERROR);
        ASSERT_EQ(Send(0, jpg, 778), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_VDEC_GetFrame(0, &f, kWaitMs), MK_SUCCESS);
        EXPECT_EQ(m_vdec->JpegChannel(0).lastFrame.au32Result[0], softSum);
        EXPECT_EQ(MK_MPI_VDEC_ReleaseFrame(0, &f), MK_SUCCESS);
        m_jpeg->Reset();
        ASSERT_EQ(MK_MPI_VDEC_StopRecvStream(0), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_VDEC_DestroyChn(0), MK_SUCCESS);
    }
    EXPECT_EQ(VbPools::Instance().Pool(m_pool)->freeBlocks, 8u);
}

// ---- Pictures that wrap around the ring's end ----

TEST_F(JpegdTest, PicturesWrappingTheRingDecodeWhereverTheTrailerFalls) {
    const Bytes jpg = Cjpeg(Ppm(64, 48, 2), "-sample 2x2");
    const Bytes luma = Djpeg(jpg, "-grayscale");
    const uint32_t len = static_cast<uint32_t>(jpg.size());
    // Second parts of 0 (the trailer ends at the ring's end), 15 (only the trailer wraps) and 16 bytes
    // (one byte of the picture wraps), and one deep into the picture.
    for (uint32_t second : {0u, 15u, 16u, 1000u}) {
        SCOPED_TRACE(second);
        Start(0);
        const VdecJpegView v0 = m_vdec->JpegChannel(0);
        ASSERT_TRUE(m_vdec->SetJpegWritePos(0, v0.ringSize - (len + JPEGD_STREAM_TAIL - second)));
        m_jpeg->Reset();
        ASSERT_EQ(Send(0, jpg), MK_SUCCESS);
        EXPECT_EQ(Take(0).luma, luma);
        EXPECT_EQ(m_jpeg->Decoded(), 1);
        // The hardware was shown the stream as it lies: the second part from the ring's start.
        const std::vector<JpegDriver::Wait> waits = m_jpeg->Waits();
        ASSERT_EQ(waits.size(), 1u);
        const JpegDriver::Wait& w = waits[0];
        if (second > JPEGD_STREAM_TAIL) {
            EXPECT_EQ(w.Reg(JPEG_REG_WINDOW_START), v0.ringPhys);
            EXPECT_EQ(w.Reg(JPEG_REG_WINDOW_END), v0.ringPhys + v0.ringSize);
            EXPECT_EQ(w.Reg(JPEG_REG_DATA_END), v0.ringPhys + second - JPEGD_STREAM_TAIL);
        } else {
            // The picture lies whole before the ring's end.
            const uint32_t start = v0.ringPhys + v0.ringSize - (len + JPEGD_STREAM_TAIL - second);
            EXPECT_EQ(w.Reg(JPEG_REG_WINDOW_START), ((start - 1) & ~63u) - 100);
            EXPECT_EQ(w.Reg(JPEG_REG_DATA_END), start + len);
        }
        EXPECT_EQ(w.Reg(JPEG_REG_MODE), static_cast<uint32_t>(JPEG_MODE_WHOLE));
        ASSERT_EQ(MK_MPI_VDEC_StopRecvStream(0), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_VDEC_DestroyChn(0), MK_SUCCESS);
    }
}

TEST(JpegdParseLengthsTest, TheTrailerIsLeftOutOfWhicheverPartHoldsIt) {
    struct Case {
        MK_U32 l1, l2;
        bool ok;
        MK_U32 p1, p2;
    } cases[] = {
        {100, 0, true, 85, 0},  {100, 15, true, 100, 0}, {100, 16, true, 100, 1}, {100, 14, true, 99, 0},
        {16, 0, true, 1, 0},    {3, 13, true, 1, 0},     {15, 0, false, 0, 0},    {14, 0, false, 0, 0},
        {0, 15, false, 0, 0},   {0, 0, false, 0, 0},     {1, 13, false, 0, 0},    {0xFFFFFFF0u, 20, true, 0xFFFFFFF0u, 5},
    };
    for (const Case& c : cases) {
        JPEGD_STREAM_S s{};
        s.au32Len[0] = c.l1;
        s.au32Len[1] = c.l2;
        MK_U32 p1 = 0, p2 = 0;
        EXPECT_EQ(mk::jpegd::ParseLengths(s, &p1, &p2), c.ok) << c.l1 << "+" << c.l2;
        if (c.ok) {
            EXPECT_EQ(p1, c.p1) << c.l1 << "+" << c.l2;
            EXPECT_EQ(p2, c.p2) << c.l1 << "+" << c.l2;
        }
    }
}

// ---- Pictures a channel does not decode ----

// A four-component picture, made with the library itself (cjpeg makes none).
Bytes CmykJpeg(uint32_t w, uint32_t h) {
    Bytes samples(static_cast<size_t>(w) * h * 4);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<uint8_t>(i * 3 + i / (w * 4));
    return Compress(w, h, 4, JCS_CMYK, samples, [](jpeg_compress_struct&) {});
}

TEST_F(JpegdTest, PicturesTooLargeOfUnsupportedColourOrCorruptAreReportedAndGivenBack) {
    Start(0, PT_JPEG, 64, 64);
    struct Case {
        Bytes jpg;
        MK_S32 type;
        MK_U32 w, h;
    } cases[] = {
        {Cjpeg(Ppm(64, 64), "-sample 2x2"), JPEGD_ERR_NONE, 64, 64},       // exactly the channel's area
        {Cjpeg(Ppm(128, 32), "-sample 2x2"), JPEGD_ERR_NONE, 128, 32},     // wider, but no larger
        {Cjpeg(Ppm(17, 241), "-sample 2x2"), JPEGD_ERR_SIZE, 17, 241},     // one pixel more, though narrower
        {CmykJpeg(16, 16), JPEGD_ERR_UNSUPPORTED, 16, 16},
        {Bytes{0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x01, 0x02, 0x03}, JPEGD_ERR_DECODE, 64, 64},
        {Bytes(300, 0x5A), JPEGD_ERR_DECODE, 64, 64},
    };
    size_t decoded = 0;
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(Send(0, cases[i].jpg), MK_SUCCESS);
        const std::vector<JPEGD_REPORT_S> reports = Reports(0, i + 1);
        const JPEGD_REPORT_S& r = reports.back();
        EXPECT_EQ(r.s32ErrType, cases[i].type);
        EXPECT_EQ(r.u32Width, cases[i].w);
        EXPECT_EQ(r.u32Height, cases[i].h);
        EXPECT_TRUE(WaitFor([&] { return m_vdec->JpegChannel(0).storedPictures == 0; })) << "the stream went back";
        if (cases[i].type == JPEGD_ERR_NONE) {
            ++decoded;
            EXPECT_EQ(Take(0).info.u32Width, cases[i].w);
        }
    }
    EXPECT_EQ(decoded, 2u);
    EXPECT_EQ(m_vdec->JpegChannel(0).framesQueued, 0u);
    // A channel's largest area does not fit 32 bits: no picture is larger.
    Start(1, PT_JPEG, 65536, 65536);
    ASSERT_EQ(Send(1, cases[0].jpg), MK_SUCCESS);
    EXPECT_EQ(Reports(1, 1).back().s32ErrType, JPEGD_ERR_NONE);
    EXPECT_EQ(Take(1).info.u32Width, 64u);
    EXPECT_EQ(VbPools::Instance().Pool(m_pool)->freeBlocks, 8u) << "no frame buffer kept by a refused picture";
}

TEST_F(JpegdTest, APictureWithoutAFrameBufferWaitsForOne) {
    ASSERT_EQ(VbPools::Instance().DestroyPool(m_pool), 0);
    m_pool = VbPools::Instance().CreatePool(64u << 10, 1, "");
    const Bytes jpg = Cjpeg(Ppm(64, 48), "-sample 2x2");
    Start(0);
    ASSERT_EQ(Send(0, jpg, 1), MK_SUCCESS);
    ASSERT_EQ(Send(0, jpg, 2), MK_SUCCESS);
    VIDEO_FRAME_INFO_S first{};
    ASSERT_EQ(MK_MPI_VDEC_GetFrame(0, &first, kWaitMs), MK_SUCCESS);
    // The second picture is parsed, finds no buffer, and stays held; nothing is reported for it.
    ASSERT_TRUE(WaitFor([&] { return m_vdec->JpegChannel(0).takenPictures == 1; }));
    VIDEO_FRAME_INFO_S none{};
    EXPECT_EQ(MK_MPI_VDEC_GetFrame(0, &none, 0), kErrEmpty);
    EXPECT_EQ(m_vdec->JpegChannel(0).reports.size(), 1u);
    VIDEO_FRAME_INFO_S again = first;
    ASSERT_EQ(MK_MPI_VDEC_ReleaseFrame(0, &again), MK_SUCCESS);
    VIDEO_FRAME_INFO_S second{};
    ASSERT_EQ(MK_MPI_VDEC_GetFrame(0, &second, kWaitMs), MK_SUCCESS);
    EXPECT_EQ(second.u64pts, 2u);
    EXPECT_EQ(MK_MPI_VDEC_ReleaseFrame(0, &second), MK_SUCCESS);
}

TEST_F(JpegdTest, FramesInMoreBuffersThanStayMappedAllDecodeRight) {
    ASSERT_EQ(VbPools::Instance().DestroyPool(m_pool), 0);
    m_pool = VbPools::Instance().CreatePool(16u << 10, 40, "");
    Start(0);
    // Five different pictures in turn: a buffer written through another's mapping would show.
    std::vector<Bytes> jpgs, lumas;
    for (int k = 0; k < 5; ++k) {
        jpgs.push_back(Cjpeg(Ppm(64, 32, k), "-sample 2x2"));
        lumas.push_back(Djpeg(jpgs.back(), "-grayscale"));
    }
    std::vector<VIDEO_FRAME_INFO_S> held;
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(Send(0, jpgs[i % 5], static_cast<MK_U64>(i)), MK_SUCCESS);
        VIDEO_FRAME_INFO_S f{};
        ASSERT_EQ(MK_MPI_VDEC_GetFrame(0, &f, kWaitMs), MK_SUCCESS);
        held.push_back(f);
    }
    for (size_t i = 0; i < held.size(); ++i) {
        const VIDEO_FRAME_INFO_S& f = held[i];
        EXPECT_EQ(f.u64pts, i);
        auto* y = static_cast<uint8_t*>(MK_MPI_SYS_Mmap(f.u32PhyAddr[0], f.u32Stride[0] * f.u32Height));
        ASSERT_NE(y, nullptr);
        EXPECT_EQ(Rows(y, f.u32Stride[0], 64, 32), lumas[i % 5]) << i;
        MK_MPI_SYS_Munmap(y, f.u32Stride[0] * f.u32Height);
        EXPECT_EQ(MK_MPI_VDEC_ReleaseFrame(0, &held[i]), MK_SUCCESS);
    }
}

// ---- Binding ----

TEST_F(JpegdTest, ABoundChannelDropsItsOldestUnfetchedFrameRatherThanStall) {
    ASSERT_EQ(VbPools::Instance().DestroyPool(m_pool), 0);
    m_pool = VbPools::Instance().CreatePool(64u << 10, 2, "");
    const Bytes jpg = Cjpeg(Ppm(64, 48), "-sample 2x2");
    Start(0);
    Start(1);
    ASSERT_EQ(BindGraph::Instance().Bind(MPP_CHN_S{MK_ID_VDEC, 0, 1}, MPP_CHN_S{MK_ID_VPSS, 0, 0}), 0);
    for (MK_U64 pts = 1; pts <= 5; ++pts) {
        ASSERT_EQ(Send(1, jpg, pts), MK_SUCCESS);
        Reports(1, pts);
    }
    // A picture is reported before its frame is put: wait until the last one is.
    ASSERT_TRUE(WaitFor([&] { return m_vdec->JpegChannel(1).buffersOut == 0; }));
    VdecJpegView bound = m_vdec->JpegChannel(1);
    EXPECT_EQ(bound.reportCount[JPEGD_ERR_NONE], 5u);
    EXPECT_EQ(bound.droppedFrames, 3u);
    EXPECT_EQ(bound.framesQueued, 2u);
    VIDEO_FRAME_INFO_S f{};
    ASSERT_EQ(MK_MPI_VDEC_GetFrame(1, &f, 0), MK_SUCCESS);
    EXPECT_EQ(f.u64pts, 4u) << "the newest two were kept";
    ASSERT_EQ(MK_MPI_VDEC_ReleaseFrame(1, &f), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VDEC_GetFrame(1, &f, 0), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VDEC_ReleaseFrame(1, &f), MK_SUCCESS);

    // Unbound, the frames wait for GetFrame and the third picture waits for a buffer.
    for (MK_U64 pts = 1; pts <= 3; ++pts) ASSERT_EQ(Send(0, jpg, pts), MK_SUCCESS);
    Reports(0, 2);
    ASSERT_TRUE(WaitFor([&] { return m_vdec->JpegChannel(0).takenPictures == 1; }));
    EXPECT_EQ(m_vdec->JpegChannel(0).droppedFrames, 0u);
    for (MK_U64 pts = 1; pts <= 3; ++pts) {
        ASSERT_EQ(MK_MPI_VDEC_GetFrame(0, &f, kWaitMs), MK_SUCCESS);
        EXPECT_EQ(f.u64pts, pts);
        ASSERT_EQ(MK_MPI_VDEC_ReleaseFrame(0, &f), MK_SUCCESS);
    }
}

// ---- The two threads under load ----

TEST_F(JpegdTest, SevenChannelsPendingWaitForTheSixDecoders) {
    const Bytes jpg = Cjpeg(Ppm(48, 32), "-sample 2x2");
    const Bytes luma = Djpeg(jpg, "-grayscale");
    m_jpeg->HoldWaits();  // the first picture stays in the decoder
    for (VDEC_CHN chn = 0; chn < 7; ++chn) {
        Start(chn);
        ASSERT_EQ(Send(chn, jpg, static_cast<MK_U64>(chn)), MK_SUCCESS);
    }
    ASSERT_TRUE(WaitFor([&] { return m_jpeg->Waiting() == 1; }));
    // Six pictures hold a decoder and a frame buffer; the seventh is taken but waits for a decoder.
    ASSERT_TRUE(WaitFor([&] {
        int withBuffer = 0, taken = 0;
        for (VDEC_CHN chn = 0; chn < 7; ++chn) {
            const VdecJpegView v = m_vdec->JpegChannel(chn);
            withBuffer += static_cast<int>(v.buffersOut);
            taken += static_cast<int>(v.takenPictures);
        }
        return withBuffer == 6 && taken == 7;
    }));
    m_jpeg->ReleaseWaits();
    for (VDEC_CHN chn = 0; chn < 7; ++chn) {
        const Picture p = Take(chn);
        EXPECT_EQ(p.luma, luma) << chn;
        EXPECT_EQ(p.info.u64pts, static_cast<MK_U64>(chn));
    }
}

TEST_F(JpegdTest, DestroyAndResetMidDecodeWaitForThePictureInWork) {
    const Bytes jpg = Cjpeg(Ppm(48, 32), "-sample 2x2");
    for (bool destroy : {true, false}) {
        SCOPED_TRACE(destroy ? "destroy" : "reset");
        Start(0);
        m_jpeg->HoldWaits();
        ASSERT_EQ(Send(0, jpg), MK_SUCCESS);
        ASSERT_TRUE(WaitFor([&] { return m_jpeg->Waiting() == 1; }));
        ASSERT_EQ(MK_MPI_VDEC_StopRecvStream(0), MK_SUCCESS);
        std::atomic<bool> done{false};
        std::atomic<MK_S32> ret{-1};
        std::thread t([&] {
            ret = destroy ? MK_MPI_VDEC_DestroyChn(0) : MK_MPI_VDEC_ResetChn(0);
            done = true;
        });
        // The caller waits for the picture in the decoder: it is still there.
        EXPECT_EQ(m_vdec->JpegChannel(0).takenPictures, 1u);
        EXPECT_FALSE(done);
        m_jpeg->ReleaseWaits();
        t.join();
        EXPECT_EQ(ret, MK_SUCCESS);
        const VdecJpegView v = m_vdec->JpegChannel(0);
        EXPECT_EQ(v.storedPictures, 0u);
        EXPECT_EQ(v.buffersOut, 0u);
        EXPECT_EQ(v.framesQueued, 0u) << "the reset or destroy dropped the decoded frame";
        EXPECT_EQ(VbPools::Instance().Pool(m_pool)->freeBlocks, 8u);
        if (!destroy) {
            // Reset leaves the channel working.
            ASSERT_EQ(MK_MPI_VDEC_StartRecvStream(0), MK_SUCCESS);
            ASSERT_EQ(Send(0, jpg, 9), MK_SUCCESS);
            EXPECT_EQ(Take(0).info.u64pts, 9u);
            ASSERT_EQ(MK_MPI_VDEC_StopRecvStream(0), MK_SUCCESS);
            ASSERT_EQ(MK_MPI_VDEC_DestroyChn(0), MK_SUCCESS);
        }
    }
}

TEST_F(JpegdTest, DestroyBetweenParseAndDecodeGivesBackStreamAndEmptyFrameBuffer) {
    const Bytes jpg = Cjpeg(Ppm(48, 32), "-sample 2x2");
    Start(0);
    m_vdec->HoldJpegFrameBufs(0, true);
    ASSERT_EQ(Send(0, jpg), MK_SUCCESS);
    ASSERT_TRUE(WaitFor([&] { return m_vdec->JpegChannel(0).frameBufWaiters == 1; }));
    ASSERT_EQ(MK_MPI_VDEC_StopRecvStream(0), MK_SUCCESS);
    std::atomic<MK_S32> ret{-1};
    std::thread t([&] { ret = MK_MPI_VDEC_DestroyChn(0); });
    // Once the destroy has marked the channel, the parse thread gets its buffer and finds it going.
    ASSERT_TRUE(WaitFor([&] { return mk::jpegd::ChannelState(0) == 4; }));
    m_vdec->HoldJpegFrameBufs(0, false);
    t.join();
    EXPECT_EQ(ret, MK_SUCCESS);
    const VdecJpegView v = m_vdec->JpegChannel(0);
    EXPECT_EQ(v.reports.size(), 0u) << "the picture was never decoded";
    EXPECT_EQ(v.lastFrame.u32Format, 5u);
    EXPECT_EQ(v.lastFrame.bPicture, 0u);
    EXPECT_EQ(v.lastFrame.u32Width, 0xFFFFFFFFu);
    EXPECT_EQ(v.lastFrame.u32Height, 0xFFFFFFFFu);
    EXPECT_NE(v.lastFrame.u32LumaPhyAddr, 0u);
    EXPECT_EQ(VbPools::Instance().Pool(m_pool)->freeBlocks, 8u);
}

// ---- Channel operations ----

TEST_F(JpegdTest, ChannelOperationsCheckRangeStateAndReceiving) {
    VDEC_CHN_ATTR_S attr{PT_JPEG, kRing, 1, 64, 64, 0, 1, 0};
    EXPECT_EQ(JPEGD_CreateChn(64, &attr), kErrChn);
    EXPECT_EQ(JPEGD_CreateChn(-1, &attr), kErrChn);
    EXPECT_EQ(JPEGD_CreateChn(0, nullptr), kErrNull);
    for (auto op : {JPEGD_DestroyChn, JPEGD_ResetChn, JPEGD_StartRecvStream, JPEGD_StopRecvStream, JPEGD_SetChnStarted}) {
        EXPECT_EQ(op(64), kErrChn);
    }
    EXPECT_EQ(JPEGD_DestroyChn(3), kErrUnexist);
    EXPECT_EQ(JPEGD_ResetChn(3), kErrUnexist);
    EXPECT_EQ(JPEGD_StartRecvStream(3), kErrUnexist);
    Start(3, PT_MJPEG, 64, 64);
    // A second creation leaves the channel as it was.
    EXPECT_EQ(JPEGD_CreateChn(3, &attr), kErrExist);
    EXPECT_EQ(JPEGD_DestroyChn(3), kErrPerm) << "receiving";
    EXPECT_EQ(JPEGD_ResetChn(3), kErrPerm);
    const Bytes jpg = Cjpeg(Ppm(32, 32), "-sample 2x2");
    ASSERT_EQ(Send(3, jpg), MK_SUCCESS);
    EXPECT_EQ(Take(3).info.u32Width, 32u);
    ASSERT_EQ(MK_MPI_VDEC_StopRecvStream(3), MK_SUCCESS);
    EXPECT_EQ(MK_MPI_VDEC_DestroyChn(3), MK_SUCCESS);
    EXPECT_FALSE(m_vdec->Channel(3).created);
}

// The names of this process's threads, as the kernel keeps them (15 characters).
std::vector<std::string> ThreadNames() {
    std::vector<std::string> names;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::string name;
        std::getline(std::ifstream(task.path() / "comm"), name);
        names.push_back(name);
    }
    return names;
}

TEST_F(JpegdTest, TheFirstChannelStartsBothNamedThreadsAndTheTakeDownEndsThem) {
    auto count = [](const char* name) {
        const std::vector<std::string> names = ThreadNames();
        return std::count(names.begin(), names.end(), std::string(name));
    };
    EXPECT_EQ(count("JpegdParseThrea"), 0);
    Start(0);
    Start(1);
    // Each thread names itself as it starts.
    EXPECT_TRUE(WaitFor([&] { return count("JpegdParseThrea") == 1 && count("JpegdDecodeThre") == 1; }));
    ASSERT_EQ(MK_MPI_VDEC_StopRecvStream(0), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VDEC_DestroyChn(0), MK_SUCCESS);
    EXPECT_EQ(count("JpegdParseThrea"), 1) << "destroying channels does not stop them";
    ASSERT_EQ(MPI_VDEC_Exit(), MK_SUCCESS);
    EXPECT_EQ(count("JpegdParseThrea"), 0);
    EXPECT_EQ(count("JpegdDecodeThre"), 0);
    ASSERT_EQ(MPI_VDEC_Init(), MK_SUCCESS);
}

TEST_F(JpegdTest, ACreationThatFailsLeavesNothingHalfMade) {
    VDEC_CHN_ATTR_S attr{PT_JPEG, kRing, 1, 64, 64, 0, 1, 0};
    const int live = MK_JPEG_LiveCount();
    // No working buffer: the driver lends none, or refuses the request.
    m_vdec->SetJpegBufSize(0, 1);
    EXPECT_EQ(MK_MPI_VDEC_CreateChn(0, &attr), kErrNoMem);
    EXPECT_FALSE(m_vdec->Channel(0).created);
    m_vdec->SetJpegBufSize(0, 0);
    m_vdec->FailRequest(MK_JPEGD_IOC_BUF_INFO, Code(0xA0058010u));
    EXPECT_EQ(MK_MPI_VDEC_CreateChn(0, &attr), kErrNoMem);
    EXPECT_FALSE(m_vdec->Channel(0).created);

    // No decoder objects: all but five of the 32 are taken.
    std::vector<j_decompress_ptr> held(MK_JPEG_MAX_OBJECTS - live - 5);
    for (j_decompress_ptr& o : held) ASSERT_EQ(MK_JPEG_Create(&o), MK_SUCCESS);
    EXPECT_EQ(MK_MPI_VDEC_CreateChn(0, &attr), kErrNoMem);
    EXPECT_EQ(MK_JPEG_LiveCount(), live + static_cast<int>(held.size())) << "the five made were destroyed again";
    for (j_decompress_ptr o : held) ASSERT_EQ(MK_JPEG_Destroy(o), MK_SUCCESS);

    // Threads that cannot start: the first, then the second.
    static std::atomic<int> starts;
    static std::atomic<int> failAt;
    mk::jpegd::SetThreadStarter([](pthread_t* t, void* (*body)(void*), void* arg) {
        return ++starts == failAt ? EAGAIN : pthread_create(t, nullptr, body, arg);
    });
    for (int at : {1, 2}) {
        starts = 0;
        failAt = at;
        EXPECT_EQ(MK_MPI_VDEC_CreateChn(0, &attr), kErrNoMem) << at;
        EXPECT_FALSE(m_vdec->Channel(0).created);
        EXPECT_EQ(MK_JPEG_LiveCount(), live) << "decoders of a failed start are destroyed";
    }
    mk::jpegd::SetThreadStarter(nullptr);
    // And then the channel is made whole, with its threads.
    Start(0, PT_JPEG, 64, 64);
    EXPECT_EQ(MK_JPEG_LiveCount(), live + 6);
    ASSERT_EQ(Send(0, Cjpeg(Ppm(32, 32), "-sample 2x2")), MK_SUCCESS);
    EXPECT_EQ(Take(0).info.u32Width, 32u);
}

TEST_F(JpegdTest, ChannelsNeedTheModuleSetUp) {
    MPI_VDEC_Exit();
    VDEC_CHN_ATTR_S attr{PT_JPEG, kRing, 1, 64, 64, 0, 1, 0};
    EXPECT_EQ(MK_MPI_VDEC_CreateChn(0, &attr), kErrNotReady);
    EXPECT_FALSE(m_vdec->Channel(0).created);
    EXPECT_EQ(MPI_VDEC_Exit(), MK_SUCCESS) << "a second take-down is harmless";
    ASSERT_EQ(MPI_VDEC_Init(), MK_SUCCESS);
    Start(0);
}

TEST_F(JpegdTest, InitAndExitCyclesWithPicturesInFlight) {
    const Bytes jpg = Cjpeg(Ppm(48, 32), "-sample 2x2");
    for (int cycle = 0; cycle < 8; ++cycle) {
        SCOPED_TRACE(cycle);
        for (VDEC_CHN chn = 0; chn < 8; ++chn) {
            Start(chn);
            ASSERT_EQ(Send(chn, jpg), MK_SUCCESS);
            ASSERT_EQ(Send(chn, jpg), MK_SUCCESS);
        }
        if (cycle % 2 == 0) {
            EXPECT_EQ(Take(0).luma.size(), 48u * 32);
        }
        // The take-down ends both threads whatever they are doing; the driver's channels go after.
        ASSERT_EQ(MPI_VDEC_Exit(), MK_SUCCESS);
        m_vdec->Reset();
        ASSERT_EQ(MPI_VDEC_Init(), MK_SUCCESS);
        for (VDEC_CHN chn = 0; chn < VDEC_MAX_CHN_NUM; ++chn) ASSERT_EQ(MK_MPI_VDEC_CloseFd(chn), MK_SUCCESS);
    }
    EXPECT_EQ(MK_JPEG_LiveCount(), 0);
}

TEST_F(JpegdTest, ExitGivesBackWhatChannelsHoldAndDestroyOrResetAfterItDoNotWait) {
    // A decode thread that never decodes: the parsed picture stays on the busy list, its channel busy.
    static std::atomic<int> starts;
    starts = 0;
    mk::jpegd::SetThreadStarter([](pthread_t* t, void* (*body)(void*), void* arg) {
        if (++starts > 1) return pthread_create(t, nullptr, body, arg);
        return pthread_create(t, nullptr, [](void* run) -> void* {
            while (*static_cast<std::atomic<int>*>(run) == 1) usleep(1000);
            return nullptr;
        }, arg);
    });
    Start(0);
    mk::jpegd::SetThreadStarter(nullptr);
    ASSERT_EQ(Send(0, Cjpeg(Ppm(48, 32), "-sample 2x2")), MK_SUCCESS);
    ASSERT_TRUE(WaitFor([&] {
        const VdecJpegView v = m_vdec->JpegChannel(0);
        return v.takenPictures == 1 && v.buffersOut == 1;
    }));
    ASSERT_EQ(MK_MPI_VDEC_StopRecvStream(0), MK_SUCCESS);
    ASSERT_EQ(MPI_VDEC_Exit(), MK_SUCCESS);
    VdecJpegView v = m_vdec->JpegChannel(0);
    EXPECT_EQ(v.takenPictures, 0u);
    EXPECT_EQ(v.buffersOut, 0u);
    EXPECT_EQ(v.lastFrame.u32Format, static_cast<MK_U32>(JPEGD_FRAME_FORMAT_NONE));
    EXPECT_EQ(VbPools::Instance().Pool(m_pool)->freeBlocks, 8u);
    for (bool destroy : {false, true}) {
        SCOPED_TRACE(destroy ? "destroy" : "reset");
        std::atomic<bool> done{false};
        std::atomic<MK_S32> ret{-1};
        std::thread t([&] {
            ret = destroy ? MK_MPI_VDEC_DestroyChn(0) : MK_MPI_VDEC_ResetChn(0);
            done = true;
        });
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (!done && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (!done) {
            t.detach();  // blocked for good: the process ends it
            FAIL() << "still waiting";
        }
        t.join();
        EXPECT_EQ(ret, kErrNotReady);
        EXPECT_TRUE(m_vdec->Channel(0).created) << "the driver's channel stays";
    }
    ASSERT_EQ(MPI_VDEC_Init(), MK_SUCCESS);
}

// ---- Refused give-backs end the process ----

using JpegdDeathTest = JpegdTest;

// The death tests run first, while the module has no threads yet: the child is a fork of this process
// and uses its bus directory, which this process removes (a child that ran main again would make a
// directory of its own and end without removing it).
TEST_F(JpegdDeathTest, ARefusedGiveBackEndsTheProcess) {
    ::testing::FLAGS_gtest_death_test_style = "fast";
    const Bytes jpg = Cjpeg(Ppm(32, 32), "-sample 2x2");
    for (unsigned long request : {MK_JPEGD_IOC_RELEASE_STREAM, MK_JPEGD_IOC_PUT_FRAME, MK_JPEGD_IOC_REPORT}) {
        SCOPED_TRACE(request);
        EXPECT_EXIT(
            {
                dup2(2, 1);  // the assertion's lines go to standard output
                Start(0);
                m_vdec->FailRequest(request, Code(0xA0058003u));
                Send(0, jpg);
                // The decode thread ends the process; should it not, this thread ends it without dying,
                // and without the exit handlers, which would remove the bus directory this process shares.
                VIDEO_FRAME_INFO_S f{};
                MK_MPI_VDEC_GetFrame(0, &f, kWaitMs);
                std::this_thread::sleep_for(std::chrono::seconds(20));
                _exit(0);
            },
            ::testing::ExitedWithCode(255), "Condition: MK_SUCCESS == s32Ret");
    }
}

}  // namespace
