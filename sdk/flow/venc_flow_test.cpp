// Capture to processing to encoding, set up through the SDK as the program wires it (a capture
// channel bound to its processing group, the group's channels bound to a main and a sub encoder
// channel), stepped on the stopped media clock. The streams are decoded with ffmpeg's H.264 decoder in
// the same run: they must decode at each channel's size and show the input's colour signature.
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "platform/drivers/all/install.h"
#include "platform/drivers/core/frame_testing.h"
#include "platform/drivers/core/kernel.h"
#include "platform/drivers/core/pattern.h"
#include "platform/drivers/core/vb_pools.h"
#include "platform/drivers/core/video_frames.h"
#include "sdk/common/testing/bus_environment.h"
#include "sdk/flow/flow_testing.h"
#include "sdk/sys/mpi_sys.h"
#include "sdk/vb/mpi_vb.h"
#include "sdk/venc/mpi_venc.h"
#include "sdk/vi/mpi_vi.h"
#include "sdk/vpss/mpi_vpss.h"

namespace {

namespace drivers = varnelle::drivers;
using drivers::VbPools;
using drivers::testing::Eventually;
using drivers::testing::ManualClock;

[[maybe_unused]] auto* const g_environment =
    ::testing::AddGlobalTestEnvironment(new mk::testing::BusEnvironment("vencflow", drivers::InstallAll));

constexpr MK_U32 kW = 704, kH = 576;
constexpr MK_U32 kSubW = 352, kSubH = 288;
constexpr MK_U32 kBlocks = 12;
constexpr VI_CHN kVi = 5;
constexpr VPSS_GRP kGrp = 5;
constexpr VENC_CHN kMain = 10, kSub = 11;

// A decoded picture (planar 4:2:0).
struct Picture {
    int width = 0, height = 0;
    std::vector<uint8_t> y, u, v;
};

// Decodes an H.264 stream given frame by frame, as the encoder handed it out.
class Decoder {
public:
    Decoder() {
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
        m_ctx = avcodec_alloc_context3(codec);
        m_ok = m_ctx != nullptr && avcodec_open2(m_ctx, codec, nullptr) == 0;
        m_packet = av_packet_alloc();
        m_frame = av_frame_alloc();
    }
    ~Decoder() {
        av_frame_free(&m_frame);
        av_packet_free(&m_packet);
        avcodec_free_context(&m_ctx);
    }
    bool Ok() const { return m_ok; }
    // Feeds one encoded frame (nothing: the end of the stream); false when the decoder refuses it.
    bool Feed(const std::vector<uint8_t>* bytes) {
        if (bytes != nullptr) {
            m_packet->data = const_cast<uint8_t*>(bytes->data());
            m_packet->size = static_cast<int>(bytes->size());
        }
        if (avcodec_send_packet(m_ctx, bytes != nullptr ? m_packet : nullptr) < 0) return false;
        while (avcodec_receive_frame(m_ctx, m_frame) == 0) {
            if (m_frame->format != AV_PIX_FMT_YUV420P) return false;
            Picture p;
            p.width = m_frame->width;
            p.height = m_frame->height;
            auto plane = [&](int i, int w, int h) {
                std::vector<uint8_t> out(static_cast<size_t>(w) * h);
                for (int r = 0; r < h; ++r) std::memcpy(out.data() + r * w, m_frame->data[i] + r * m_frame->linesize[i], w);
                return out;
            };
            p.y = plane(0, p.width, p.height);
            p.u = plane(1, (p.width + 1) / 2, (p.height + 1) / 2);
            p.v = plane(2, (p.width + 1) / 2, (p.height + 1) / 2);
            m_pictures.push_back(std::move(p));
        }
        return true;
    }
    const std::vector<Picture>& Pictures() const { return m_pictures; }

private:
    AVCodecContext* m_ctx = nullptr;
    AVPacket* m_packet = nullptr;
    AVFrame* m_frame = nullptr;
    bool m_ok = false;
    std::vector<Picture> m_pictures;
};

// The mean colour of the signature area of a decoded picture.
drivers::PatternYuv SignatureOf(const Picture& p) {
    const drivers::PatternRect r = drivers::PatternSignatureRect(p.width, p.height);
    uint64_t y = 0, u = 0, v = 0, n = 0, nc = 0;
    const int cw = (p.width + 1) / 2;
    for (int row = r.y; row < r.y + r.height; ++row) {
        for (int col = r.x; col < r.x + r.width; ++col) {
            y += p.y[static_cast<size_t>(row) * p.width + col];
            ++n;
            if (row % 2 == 0 && col % 2 == 0) {
                u += p.u[static_cast<size_t>(row / 2) * cw + col / 2];
                v += p.v[static_cast<size_t>(row / 2) * cw + col / 2];
                ++nc;
            }
        }
    }
    return drivers::PatternYuv{static_cast<uint8_t>(y / n), static_cast<uint8_t>(u / nc), static_cast<uint8_t>(v / nc)};
}

// An encoded frame fetched from a channel.
struct Encoded {
    std::vector<uint8_t> bytes;
    MK_U64 pts;
};

class VencFlowTest : public ::testing::Test {
protected:
    void SetUp() override {
        drivers::ResetMediaState();
        ASSERT_NO_FATAL_FAILURE(flow_testing::StartCommonPool(drivers::FrameBytes(kW, kH), kBlocks, &m_pool));
    }
    void TearDown() override {
        MPI_VENC_Exit();
        MK_MPI_VB_Exit();
        drivers::ResetMediaState();
    }
    bool PoolFull() const {
        return Eventually([&] { return VbPools::Instance().Pool(m_pool)->freeBlocks == kBlocks; });
    }

    // The group as the program makes an input group: channels 0 to 2 enabled with all-zero attributes,
    // no backup frame, started.
    static void StartGroup() {
        VPSS_GRP_ATTR_S attr{kW, kH, MK_PIXEL_FORMAT_YUV_SEMIPLANAR_420, 1, 1, 1, 0, 0, 1};
        ASSERT_EQ(MK_MPI_VPSS_CreateGrp(kGrp, &attr), MK_SUCCESS);
        for (VPSS_CHN chn = 0; chn < 3; ++chn) {
            VPSS_CHN_ATTR_S chnAttr{};
            ASSERT_EQ(MK_MPI_VPSS_SetChnAttr(kGrp, chn, &chnAttr), MK_SUCCESS);
            ASSERT_EQ(MK_MPI_VPSS_EnableChn(kGrp, chn), MK_SUCCESS);
        }
        ASSERT_EQ(MK_MPI_VPSS_DisableBackupFrame(kGrp), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_VPSS_StartGrp(kGrp), MK_SUCCESS);
    }
    static void StartEncoder(VENC_CHN chn, MK_U32 w, MK_U32 h, MK_U32 dstFps) {
        VENC_CHN_ATTR_S a{};
        a.stVeAttr.enType = PT_H264;
        a.stVeAttr.stAttrH264e = {w, h, std::max<MK_U32>((w * h * 3 / 256 + 1) * 64, 32768), 2, 1, w, h, 0, 0};
        a.stRcAttr.enRcMode = VENC_RC_MODE_H264CBR;
        a.stRcAttr.stAttrH264Cbr = {dstFps, 1, 25, dstFps, 2048, 2, {0, 0}};
        ASSERT_EQ(MK_MPI_VENC_CreateChn(chn, &a), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_VENC_StartRecvPic(chn), MK_SUCCESS);
    }
    static void StartCapture() {
        VI_CHN_ATTR_S attr{};
        attr.stCapRect = {0, 0, kW, kH};
        attr.u32DestWidth = kW;
        attr.u32DestHeight = kH;
        attr.enCapSel = 2;
        attr.enPixFormat = MK_PIXEL_FORMAT_YUV_SEMIPLANAR_420;
        attr.s32SrcFrameRate = attr.s32DstFrameRate = 25;
        ASSERT_EQ(MK_MPI_VI_SetChnAttr(kVi, &attr), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_VI_EnableChn(kVi), MK_SUCCESS);
    }
    static MK_S32 Bind(const MPP_CHN_S& src, const MPP_CHN_S& dst, bool bind) {
        return bind ? MK_MPI_SYS_Bind(&src, &dst) : MK_MPI_SYS_UnBind(&src, &dst);
    }
    static MK_S32 ViToVpss(bool bind) { return Bind({MK_ID_VIU, 0, kVi}, {MK_ID_VPSS, kGrp, 0}, bind); }
    static MK_S32 VpssToVenc(VPSS_CHN chn, VENC_CHN venc, bool bind) {
        return Bind({MK_ID_VPSS, kGrp, chn}, {MK_ID_VENC, 0, venc}, bind);
    }

    // Every frame waiting in a channel, fetched and released as the program's fetch thread does.
    static std::vector<Encoded> FetchAll(VENC_CHN chn) {
        std::vector<Encoded> out;
        for (;;) {
            VENC_CHN_STATUS_S status{};
            if (MK_MPI_VENC_Query(chn, &status) != MK_SUCCESS || status.u32FramePacks == 0) return out;
            std::vector<VENC_PACK_S> packs(status.u32FramePacks);
            VENC_STREAM_S st{};
            st.pstPack = packs.data();
            st.u32PackCnt = status.u32FramePacks;
            if (MK_MPI_VENC_GetStream(chn, &st, 0) != MK_SUCCESS) return out;
            Encoded e;
            e.pts = packs[0].u64Pts;
            for (MK_U32 i = 0; i < st.u32PackCnt; ++i) {
                const VENC_PACK_S& p = packs[i];
                e.bytes.insert(e.bytes.end(), p.pu8UserAddr + p.u32DataOffset, p.pu8UserAddr + p.u32Len);
            }
            EXPECT_EQ(MK_MPI_VENC_ReleaseStream(chn, &st), MK_SUCCESS);
            out.push_back(std::move(e));
        }
    }

    int m_pool = -1;
};

TEST_F(VencFlowTest, CapturedPicturesBecomeStreamsThatDecodeAtEachChannelsSizeWithTheInputsColour) {
    ManualClock clock;
    StartGroup();
    StartEncoder(kMain, kW, kH, 25);
    StartEncoder(kSub, kSubW, kSubH, 10);  // 10 of every 25 pictures
    ASSERT_EQ(VpssToVenc(0, kMain, true), MK_SUCCESS);
    ASSERT_EQ(VpssToVenc(1, kSub, true), MK_SUCCESS);
    ASSERT_EQ(ViToVpss(true), MK_SUCCESS);
    StartCapture();
    // Fetched as they come, as the program's fetch thread does: a second of the camera scene's frames
    // would not fit the rings.
    std::vector<Encoded> main, sub;
    auto fetch = [&] {
        for (auto [chn, out] : {std::pair{kMain, &main}, std::pair{kSub, &sub}}) {
            for (Encoded& e : FetchAll(chn)) out->push_back(std::move(e));
        }
    };
    clock.Settle();  // picture 0, due at the enable
    fetch();
    for (int i = 1; i < 25; ++i) {
        clock.AdvanceMs(40);
        fetch();
    }
    ASSERT_EQ(main.size(), 25u);
    ASSERT_EQ(sub.size(), 10u);
    for (size_t i = 1; i < main.size(); ++i) EXPECT_EQ(main[i].pts - main[0].pts, i * 40000) << "the capture's times";

    const drivers::PatternYuv want = drivers::PatternSignature(kVi);
    struct Stream {
        const char* name;
        const std::vector<Encoded>& frames;
        int w, h;
    } streams[] = {{"main", main, static_cast<int>(kW), static_cast<int>(kH)},
                   {"sub", sub, static_cast<int>(kSubW), static_cast<int>(kSubH)}};
    for (const Stream& s : streams) {
        Decoder dec;
        ASSERT_TRUE(dec.Ok());
        for (const Encoded& e : s.frames) ASSERT_TRUE(dec.Feed(&e.bytes)) << s.name;
        ASSERT_TRUE(dec.Feed(nullptr));
        ASSERT_EQ(dec.Pictures().size(), s.frames.size()) << s.name << ": every frame decodes";
        for (const Picture& p : dec.Pictures()) {
            ASSERT_EQ(p.width, s.w) << s.name;
            ASSERT_EQ(p.height, s.h) << s.name;
        }
        const drivers::PatternYuv got = SignatureOf(dec.Pictures().back());
        EXPECT_NEAR(got.y, want.y, 4) << s.name;
        EXPECT_NEAR(got.u, want.u, 4) << s.name;
        EXPECT_NEAR(got.v, want.v, 4) << s.name;
    }
}

TEST_F(VencFlowTest, UnbindingStopsTheFlowWithoutHoldingABlockAndRebindingResumesIt) {
    ManualClock clock;
    StartGroup();
    StartEncoder(kMain, kW, kH, 25);
    StartEncoder(kSub, kSubW, kSubH, 25);
    ASSERT_EQ(VpssToVenc(0, kMain, true), MK_SUCCESS);
    ASSERT_EQ(VpssToVenc(1, kSub, true), MK_SUCCESS);
    ASSERT_EQ(ViToVpss(true), MK_SUCCESS);
    StartCapture();
    clock.Settle();
    for (int i = 0; i < 3; ++i) clock.AdvanceMs(40);
    std::vector<Encoded> before = FetchAll(kMain);
    EXPECT_EQ(before.size(), 4u);
    EXPECT_EQ(FetchAll(kSub).size(), 4u);

    // The capture leaves the group: nothing more reaches either stream, and no block stays held.
    ASSERT_EQ(ViToVpss(false), MK_SUCCESS);
    for (int i = 0; i < 3; ++i) clock.AdvanceMs(40);
    EXPECT_TRUE(FetchAll(kMain).empty());
    EXPECT_TRUE(FetchAll(kSub).empty());
    EXPECT_TRUE(PoolFull());

    // Bound again, the pictures flow again, and the stream goes on decoding.
    ASSERT_EQ(ViToVpss(true), MK_SUCCESS);
    for (int i = 0; i < 2; ++i) clock.AdvanceMs(40);
    std::vector<Encoded> after = FetchAll(kMain);
    EXPECT_EQ(after.size(), 2u);
    EXPECT_EQ(FetchAll(kSub).size(), 2u);
    Decoder dec;
    ASSERT_TRUE(dec.Ok());
    for (const Encoded& e : before) ASSERT_TRUE(dec.Feed(&e.bytes));
    for (const Encoded& e : after) ASSERT_TRUE(dec.Feed(&e.bytes));
    ASSERT_TRUE(dec.Feed(nullptr));
    EXPECT_EQ(dec.Pictures().size(), 6u);

    // The sub stream's own binding: unbound, it alone stops; bound again, it resumes.
    ASSERT_EQ(VpssToVenc(1, kSub, false), MK_SUCCESS);
    clock.AdvanceMs(40);
    EXPECT_EQ(FetchAll(kMain).size(), 1u);
    EXPECT_TRUE(FetchAll(kSub).empty());
    ASSERT_EQ(VpssToVenc(1, kSub, true), MK_SUCCESS);
    clock.AdvanceMs(40);
    EXPECT_EQ(FetchAll(kSub).size(), 1u);

    // Stopping the encoders and the capture gives everything back.
    ASSERT_EQ(MK_MPI_VENC_StopRecvPic(kMain), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VENC_StopRecvPic(kSub), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VI_DisableChn(kVi), MK_SUCCESS);
    FetchAll(kMain);
    FetchAll(kSub);
    EXPECT_TRUE(PoolFull());
}

}  // namespace
