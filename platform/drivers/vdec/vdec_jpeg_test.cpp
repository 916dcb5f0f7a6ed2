// The JPEG side of /dev/vdec through the device seam: the stream ring, the order pictures are lent and
// given back in, frame buffers from the pools, frames for GetFrame, reset and destroy.
#include <fcntl.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/dev/dev.h"
#include "platform/drivers/core/bind_graph.h"
#include "platform/drivers/core/frame_router.h"
#include "platform/drivers/core/frame_testing.h"
#include "platform/drivers/core/vb_pools.h"
#include "platform/drivers/vdec/vdec_driver.h"
#include "platform/host/test_bus.h"
#include "platform/mem/ram.h"

namespace {

namespace dev = varnelle::dev;
using varnelle::drivers::BindGraph;
using varnelle::drivers::VbPools;
using varnelle::drivers::testing::RecordingSink;
using varnelle::drivers::VdecDriver;
using varnelle::drivers::VdecJpegView;

constexpr int Code(uint32_t c) { return static_cast<int>(c); }
constexpr int kErrParam = Code(0xA0058003u);
constexpr int kErrUnexist = Code(0xA0058005u);
constexpr int kErrPerm = Code(0xA0058009u);
constexpr int kErrNoMem = Code(0xA005800Cu);
constexpr int kErrNoBuf = Code(0xA005800Du);
constexpr int kErrEmpty = Code(0xA005800Eu);
constexpr int kErrFull = Code(0xA005800Fu);

using Bytes = std::vector<uint8_t>;

class VdecJpegTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { varnelle::host::UsePrivateBus("vdecjpeg"); }
    void SetUp() override {
        m_drv = VdecDriver::Get();
        m_drv->Reset();
        VbPools::Instance().Clear();
        m_fd = dev::Open("/dev/vdec", O_RDWR);
        ASSERT_GE(m_fd, 0);
        uint32_t chn = 0;
        ASSERT_EQ(dev::Ioctl(m_fd, mk::vdec::kBind, &chn), 0);
    }
    void TearDown() override {
        dev::Close(m_fd);
        m_drv->Reset();
        m_drv->SetJpegBufSize(0, 0);
        BindGraph::Instance().Clear();
        VbPools::Instance().Clear();
    }
    int Create(uint32_t type = PT_JPEG, uint32_t ring = 4096) {
        VDEC_CHN_ATTR_S attr{type, ring, 1, 1920, 1080, 0, 1, 0};
        int ret = dev::Ioctl(m_fd, mk::vdec::kCreateChn, &attr);
        if (ret == 0) ret = dev::Ioctl(m_fd, mk::vdec::kStartRecvStream);
        return ret;
    }
    int Send(const Bytes& data, int32_t ms = 0, uint64_t pts = 0) {
        VDEC_STREAM_S st{data.data(), static_cast<MK_U32>(data.size()), pts, 1, 0};
        VdecTimedReq<const VDEC_STREAM_S> req{&st, ms};
        return dev::Ioctl(m_fd, mk::vdec::kSendStream, &req);
    }
    int Get(JPEGD_STREAM_S* s) { return dev::Ioctl(m_fd, MK_JPEGD_IOC_GET_STREAM, s); }
    int Release(JPEGD_STREAM_S s) { return dev::Ioctl(m_fd, MK_JPEGD_IOC_RELEASE_STREAM, &s); }
    // The bytes of a lent picture, both parts.
    Bytes Read(const JPEGD_STREAM_S& s) {
        Bytes out;
        for (int i = 0; i < 2; ++i) {
            if (s.au32Len[i] == 0) continue;
            Bytes part(s.au32Len[i]);
            EXPECT_TRUE(varnelle::mem::Ram::Local().Read(s.au32PhyAddr[i], part.data(), part.size()));
            out.insert(out.end(), part.begin(), part.end());
        }
        return out;
    }
    static Bytes Picture(size_t n, uint8_t seed) {
        Bytes b(n);
        for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 13);
        return b;
    }
    static Bytes WithTail(Bytes b) {
        b.insert(b.end(), JPEGD_STREAM_TAIL, 0);
        return b;
    }

    std::shared_ptr<VdecDriver> m_drv;
    int m_fd = -1;
};

TEST_F(VdecJpegTest, PicturesAreStoredWithTheirTrailerAndLentInOrder) {
    ASSERT_EQ(Create(), 0);
    JPEGD_BUF_INFO_S info{};
    ASSERT_EQ(dev::Ioctl(m_fd, MK_JPEGD_IOC_BUF_INFO, &info), 0);
    EXPECT_EQ(info.u32Len, 4096u);
    EXPECT_NE(info.u32PhyAddr, 0u);
    JPEGD_STREAM_S s{};
    EXPECT_EQ(Get(&s), kErrEmpty) << "nothing stored: no wait";
    const Bytes a = Picture(1000, 1), b = Picture(2000, 2);
    ASSERT_EQ(Send(a, 0, 11), 0);
    ASSERT_EQ(Send(b, 0, 22), 0);
    JPEGD_STREAM_S sa{}, sb{};
    ASSERT_EQ(Get(&sa), 0);
    ASSERT_EQ(Get(&sb), 0);
    EXPECT_EQ(Get(&s), kErrEmpty);
    EXPECT_EQ(sa.au32PhyAddr[0], info.u32PhyAddr);
    EXPECT_EQ(sa.au32PhyAddr[1], 0u);
    EXPECT_EQ(sa.u64PTS, 11u);
    EXPECT_EQ(Read(sa), WithTail(a));
    EXPECT_EQ(sb.au32PhyAddr[0], info.u32PhyAddr + 1015);
    EXPECT_EQ(Read(sb), WithTail(b));
    // Given back only in order, and only as lent.
    EXPECT_EQ(Release(sb), kErrPerm);
    JPEGD_STREAM_S altered = sa;
    altered.au32Len[0] -= 1;
    EXPECT_EQ(Release(altered), kErrPerm);
    EXPECT_EQ(Release(sa), 0);
    EXPECT_EQ(Release(sb), 0);
    EXPECT_EQ(Release(sb), kErrPerm) << "nothing lent";
    EXPECT_EQ(m_drv->JpegChannel(0).storedPictures, 0u);
}

TEST_F(VdecJpegTest, APictureThatReachesTheRingsEndWrapsToItsStart) {
    ASSERT_EQ(Create(), 0);
    const Bytes p = Picture(100, 3);
    // Bytes after the ring's end: none, the trailer alone, the trailer and a byte, more.
    for (uint32_t second : {0u, 15u, 16u, 60u}) {
        SCOPED_TRACE(second);
        ASSERT_TRUE(m_drv->SetJpegWritePos(0, 4096 - (100 + 15 - second)));
        ASSERT_EQ(Send(p), 0);
        JPEGD_STREAM_S s{};
        ASSERT_EQ(Get(&s), 0);
        const VdecJpegView v = m_drv->JpegChannel(0);
        EXPECT_EQ(s.au32Len[0], 115 - second);
        EXPECT_EQ(s.au32Len[1], second);
        EXPECT_EQ(s.au32PhyAddr[1], second != 0 ? v.ringPhys : 0u);
        EXPECT_EQ(Read(s), WithTail(p));
        EXPECT_FALSE(m_drv->SetJpegWritePos(0, 0)) << "the ring holds a picture";
        ASSERT_EQ(Release(s), 0);
    }
    EXPECT_FALSE(m_drv->SetJpegWritePos(0, 4096)) << "outside the ring";
}

TEST_F(VdecJpegTest, AFullRingRefusesOrWaitsForRoom) {
    ASSERT_EQ(Create(PT_MJPEG, 1000), 0);
    EXPECT_EQ(Send(Picture(986, 0)), kErrParam) << "could never fit with its trailer";
    ASSERT_EQ(Send(Picture(500, 1)), 0);
    EXPECT_EQ(Send(Picture(480, 2)), kErrFull);
    EXPECT_EQ(Send(Picture(480, 2), 10), kErrFull);
    std::atomic<int> ret{1};
    std::thread sender([&] { ret = Send(Picture(480, 2), -1); });
    while (m_drv->Channel(0).waiters != 1) std::this_thread::yield();
    JPEGD_STREAM_S s{};
    ASSERT_EQ(Get(&s), 0);
    ASSERT_EQ(Release(s), 0);
    sender.join();
    EXPECT_EQ(ret, 0);
    EXPECT_EQ(m_drv->JpegChannel(0).storedPictures, 1u);
    // A stop ends the wait.
    ASSERT_EQ(Send(Picture(400, 3)), 0);
    std::thread stopped([&] { ret = Send(Picture(400, 4), -1); });
    while (m_drv->Channel(0).waiters != 1) std::this_thread::yield();
    ASSERT_EQ(dev::Ioctl(m_fd, mk::vdec::kStopRecvStream), 0);
    stopped.join();
    EXPECT_EQ(ret, kErrPerm);
    EXPECT_EQ(Send(Picture(10, 5)), kErrPerm) << "not receiving";
}

TEST_F(VdecJpegTest, FrameBuffersComeFromTheDecodersPoolsThenTheCommonOnes) {
    VbPools& pools = VbPools::Instance();
    const int common = pools.CreatePool(1u << 20, 2, "");
    const int module = pools.CreatePool(1u << 20, 1, "", false, 4);
    ASSERT_GE(common, 0);
    ASSERT_GE(module, 0);
    ASSERT_EQ(Create(), 0);
    JPEGD_FRAME_BUF_S fb{704, 576, 1, 0, 0, 0};
    ASSERT_EQ(dev::Ioctl(m_fd, MK_JPEGD_IOC_GET_FRAME_BUF, &fb), 0);
    EXPECT_EQ(pools.Block(fb.u32Token)->pool, module);
    EXPECT_EQ(fb.u32Size, 1u << 20);
    JPEGD_FRAME_BUF_S fb2{704, 576, 1, 0, 0, 0};
    ASSERT_EQ(dev::Ioctl(m_fd, MK_JPEGD_IOC_GET_FRAME_BUF, &fb2), 0);
    EXPECT_EQ(pools.Block(fb2.u32Token)->pool, common);
    // 1920 x 1088 in 4:2:0 does not fit a megabyte.
    JPEGD_FRAME_BUF_S big{1920, 1080, 1, 0, 0, 0};
    EXPECT_EQ(dev::Ioctl(m_fd, MK_JPEGD_IOC_GET_FRAME_BUF, &big), kErrNoBuf);
    for (JPEGD_FRAME_BUF_S bad : {JPEGD_FRAME_BUF_S{0, 10, 1, 0, 0, 0}, JPEGD_FRAME_BUF_S{10, 10, 5, 0, 0, 0}}) {
        EXPECT_EQ(dev::Ioctl(m_fd, MK_JPEGD_IOC_GET_FRAME_BUF, &bad), kErrParam);
    }
    EXPECT_EQ(m_drv->JpegChannel(0).buffersOut, 2u);

    // One comes back empty, one as a picture for GetFrame.
    JPEGD_FRAME_S empty{};
    empty.u32Format = 5;
    empty.u32Token = fb.u32Token;
    empty.u32LumaPhyAddr = fb.u32PhyAddr + 64;
    EXPECT_EQ(dev::Ioctl(m_fd, MK_JPEGD_IOC_PUT_FRAME, &empty), kErrParam) << "not the buffer's address";
    empty.u32LumaPhyAddr = fb.u32PhyAddr;
    ASSERT_EQ(dev::Ioctl(m_fd, MK_JPEGD_IOC_PUT_FRAME, &empty), 0);
    EXPECT_EQ(dev::Ioctl(m_fd, MK_JPEGD_IOC_PUT_FRAME, &empty), kErrParam) << "given back twice";
    EXPECT_EQ(pools.Pool(module)->freeBlocks, 1u);
    JPEGD_FRAME_S f{};
    f.u32Format = 1;
    f.bPicture = 1;
    f.u64PTS = 99;
    f.u32Token = fb2.u32Token;
    f.u32Width = 704;
    f.u32Height = 576;
    f.u32LumaPhyAddr = fb2.u32PhyAddr;
    f.u32LumaStride = 704;
    f.u32ChromaPhyAddr = fb2.u32PhyAddr + 704 * 576;
    f.u32ChromaEndPhyAddr = f.u32ChromaPhyAddr + 704 * 288;
    f.u32ChromaStride = 704;
    JPEGD_FRAME_S outside = f;
    outside.u32ChromaEndPhyAddr = fb2.u32PhyAddr + (1u << 20) + 1;
    EXPECT_EQ(dev::Ioctl(m_fd, MK_JPEGD_IOC_PUT_FRAME, &outside), kErrParam) << "chroma past the buffer";
    ASSERT_EQ(dev::Ioctl(m_fd, MK_JPEGD_IOC_PUT_FRAME, &f), 0);
    VIDEO_FRAME_INFO_S got{};
    VdecTimedReq<VIDEO_FRAME_INFO_S> req{&got, 0};
    ASSERT_EQ(dev::Ioctl(m_fd, mk::vdec::kGetFrame, &req), 0);
    EXPECT_EQ(got.u32PhyAddr[0], fb2.u32PhyAddr);
    EXPECT_EQ(got.u32PhyAddr[1], f.u32ChromaPhyAddr);
    EXPECT_EQ(got.u32PoolId, static_cast<MK_U32>(common));
    EXPECT_EQ(got.u64pts, 99u);
    EXPECT_EQ(dev::Ioctl(m_fd, mk::vdec::kGetFrame, &req), kErrEmpty);
    EXPECT_EQ(pools.Pool(common)->freeBlocks, 1u) << "held by the caller until released";
    ASSERT_EQ(dev::Ioctl(m_fd, mk::vdec::kReleaseFrame, &got), 0);
    EXPECT_EQ(dev::Ioctl(m_fd, mk::vdec::kReleaseFrame, &got), kErrParam);
    EXPECT_EQ(pools.Pool(common)->freeBlocks, 2u);
}

TEST_F(VdecJpegTest, ResetAndDestroyGiveEveryBlockBack) {
    VbPools& pools = VbPools::Instance();
    const int pool = pools.CreatePool(1u << 16, 4, "");
    for (bool destroy : {false, true}) {
        SCOPED_TRACE(destroy ? "destroy" : "reset");
        ASSERT_EQ(Create(), 0);
        ASSERT_EQ(Send(Picture(100, 1)), 0);
        JPEGD_STREAM_S s{};
        ASSERT_EQ(Get(&s), 0);
        std::vector<JPEGD_FRAME_BUF_S> fbs(3, JPEGD_FRAME_BUF_S{64, 64, 1, 0, 0, 0});
        for (JPEGD_FRAME_BUF_S& fb : fbs) ASSERT_EQ(dev::Ioctl(m_fd, MK_JPEGD_IOC_GET_FRAME_BUF, &fb), 0);
        for (int i = 0; i < 2; ++i) {
            JPEGD_FRAME_S f{};
            f.bPicture = 1;
            f.u32Token = fbs[i].u32Token;
            f.u32Width = f.u32Height = 64;
            f.u32LumaPhyAddr = f.u32ChromaPhyAddr = f.u32ChromaEndPhyAddr = fbs[i].u32PhyAddr;
            ASSERT_EQ(dev::Ioctl(m_fd, MK_JPEGD_IOC_PUT_FRAME, &f), 0);
        }
        VIDEO_FRAME_INFO_S held{};
        VdecTimedReq<VIDEO_FRAME_INFO_S> req{&held, 0};
        ASSERT_EQ(dev::Ioctl(m_fd, mk::vdec::kGetFrame, &req), 0);
        // One frame with the caller, one queued, one buffer lent, one picture lent.
        ASSERT_EQ(pools.Pool(pool)->freeBlocks, 1u);
        if (destroy) {
            ASSERT_EQ(dev::Ioctl(m_fd, mk::vdec::kDestroyChn), 0);
            EXPECT_EQ(pools.Pool(pool)->freeBlocks, 4u);
            EXPECT_EQ(dev::Ioctl(m_fd, mk::vdec::kReleaseFrame, &held), kErrUnexist);
        } else {
            ASSERT_EQ(dev::Ioctl(m_fd, mk::vdec::kResetChn), 0);
            const VdecJpegView v = m_drv->JpegChannel(0);
            EXPECT_EQ(v.storedPictures, 0u);
            EXPECT_EQ(v.framesQueued, 0u);
            EXPECT_EQ(v.buffersOut, 0u);
            EXPECT_EQ(pools.Pool(pool)->freeBlocks, 3u) << "the caller's frame stays his";
            ASSERT_EQ(dev::Ioctl(m_fd, mk::vdec::kReleaseFrame, &held), 0);
            EXPECT_EQ(pools.Pool(pool)->freeBlocks, 4u);
            EXPECT_EQ(Release(s), kErrPerm) << "the reset took the picture back";
            ASSERT_EQ(dev::Ioctl(m_fd, mk::vdec::kDestroyChn), 0);
        }
    }
}

TEST_F(VdecJpegTest, ABoundChannelHandsItsFramesToTheReceiverAndKeepsOnlyTheNewestUnfetched) {
    VbPools& pools = VbPools::Instance();
    constexpr uint32_t kBlocks = 16;
    const int pool = pools.CreatePool(1u << 16, kBlocks, "");
    ASSERT_GE(pool, 0);
    RecordingSink vpss(MK_ID_VPSS, 1);
    const MPP_CHN_S src{MK_ID_VDEC, 0, 0}, dst{MK_ID_VPSS, 2, 0};
    ASSERT_EQ(BindGraph::Instance().Bind(src, dst), 0);
    ASSERT_EQ(Create(), 0);
    // Twenty pictures, more than the pool holds: nobody fetches, yet the decoder never runs dry.
    constexpr uint64_t kFrames = 20;
    for (uint64_t i = 0; i < kFrames; ++i) {
        JPEGD_FRAME_BUF_S fb{64, 64, 1, 0, 0, 0};
        ASSERT_EQ(dev::Ioctl(m_fd, MK_JPEGD_IOC_GET_FRAME_BUF, &fb), 0) << "picture " << i;
        JPEGD_FRAME_S f{};
        f.bPicture = 1;
        f.u64PTS = 1000 + i;
        f.u32Token = fb.u32Token;
        f.u32Width = f.u32Height = 64;
        f.u32LumaStride = f.u32ChromaStride = 64;
        f.u32LumaPhyAddr = fb.u32PhyAddr;
        f.u32ChromaPhyAddr = fb.u32PhyAddr + 64 * 64;
        f.u32ChromaEndPhyAddr = f.u32ChromaPhyAddr + 64 * 32;
        ASSERT_EQ(dev::Ioctl(m_fd, MK_JPEGD_IOC_PUT_FRAME, &f), 0);
    }
    const std::vector<VIDEO_FRAME_INFO_S> log = vpss.Log(dst);
    ASSERT_EQ(log.size(), kFrames) << "every frame reached the receiver, on the decoder's own thread";
    for (uint64_t i = 0; i < kFrames; ++i) EXPECT_EQ(log[i].u64pts, 1000 + i);
    EXPECT_EQ(log[0].enPixelFormat, MK_PIXEL_FORMAT_YUV_SEMIPLANAR_420);
    const VdecJpegView v = m_drv->JpegChannel(0);
    EXPECT_EQ(v.framesQueued, 8u);
    EXPECT_EQ(v.droppedFrames, kFrames - 8);
    // GetFrame still gives the newest eight, oldest first.
    VIDEO_FRAME_INFO_S got{};
    VdecTimedReq<VIDEO_FRAME_INFO_S> req{&got, 0};
    ASSERT_EQ(dev::Ioctl(m_fd, mk::vdec::kGetFrame, &req), 0);
    EXPECT_EQ(got.u64pts, 1000 + kFrames - 8);
    ASSERT_EQ(dev::Ioctl(m_fd, mk::vdec::kReleaseFrame, &got), 0);
    // Seven still queued, the newest of them also with the receiver: nothing else is held.
    EXPECT_EQ(pools.Pool(pool)->freeBlocks, kBlocks - 7);
    ASSERT_EQ(BindGraph::Instance().Unbind(dst), 0);
    EXPECT_EQ(vpss.Unbinds(dst), 1);
    ASSERT_EQ(dev::Ioctl(m_fd, mk::vdec::kDestroyChn), 0);
    EXPECT_EQ(pools.Pool(pool)->freeBlocks, kBlocks);
}

TEST_F(VdecJpegTest, AnUnboundChannelHoldsItsDecoderBackOnceEightFramesWaitForGetFrame) {
    VbPools& pools = VbPools::Instance();
    constexpr uint32_t kBlocks = 16;
    const int pool = pools.CreatePool(1u << 16, kBlocks, "");
    ASSERT_GE(pool, 0);
    ASSERT_EQ(Create(PT_JPEG, 1u << 16), 0);
    // The user-space decoder's round for one picture: stream, buffer, frame back, stream back.
    auto decodeOne = [&] {
        JPEGD_STREAM_S s{};
        int ret = Get(&s);
        if (ret != 0) return ret;
        JPEGD_FRAME_BUF_S fb{64, 64, 1, 0, 0, 0};
        if ((ret = dev::Ioctl(m_fd, MK_JPEGD_IOC_GET_FRAME_BUF, &fb)) != 0) return ret;
        JPEGD_FRAME_S f{};
        f.bPicture = 1;
        f.u64PTS = s.u64PTS;
        f.u32Token = fb.u32Token;
        f.u32Width = f.u32Height = 64;
        f.u32LumaStride = f.u32ChromaStride = 64;
        f.u32LumaPhyAddr = fb.u32PhyAddr;
        f.u32ChromaPhyAddr = fb.u32PhyAddr + 64 * 64;
        f.u32ChromaEndPhyAddr = f.u32ChromaPhyAddr + 64 * 32;
        if ((ret = dev::Ioctl(m_fd, MK_JPEGD_IOC_PUT_FRAME, &f)) != 0) return ret;
        return Release(s);
    };
    for (uint64_t i = 0; i < 12; ++i) ASSERT_EQ(Send(Picture(100, static_cast<uint8_t>(i)), 0, 1000 + i), 0);
    for (int i = 0; i < 8; ++i) ASSERT_EQ(decodeOne(), 0) << i;
    // Nobody fetches: the ninth picture stays in the ring, and the pools keep all but eight blocks.
    JPEGD_STREAM_S s{};
    EXPECT_EQ(Get(&s), kErrEmpty);
    JPEGD_FRAME_BUF_S fb{64, 64, 1, 0, 0, 0};
    EXPECT_EQ(dev::Ioctl(m_fd, MK_JPEGD_IOC_GET_FRAME_BUF, &fb), kErrNoBuf);
    VdecJpegView v = m_drv->JpegChannel(0);
    EXPECT_EQ(v.framesQueued, 8u);
    EXPECT_EQ(v.storedPictures, 4u);
    EXPECT_EQ(v.droppedFrames, 0u);
    EXPECT_EQ(pools.Pool(pool)->freeBlocks, kBlocks - 8);
    // A fetch makes room for one more picture, oldest first.
    VIDEO_FRAME_INFO_S got{};
    VdecTimedReq<VIDEO_FRAME_INFO_S> req{&got, 0};
    ASSERT_EQ(dev::Ioctl(m_fd, mk::vdec::kGetFrame, &req), 0);
    EXPECT_EQ(got.u64pts, 1000u);
    EXPECT_EQ(decodeOne(), 0);
    EXPECT_EQ(Get(&s), kErrEmpty);
    ASSERT_EQ(dev::Ioctl(m_fd, mk::vdec::kReleaseFrame, &got), 0);
    EXPECT_EQ(pools.Pool(pool)->freeBlocks, kBlocks - 8);
}

// A receiver that asks the driver about the channel while it takes a frame, as a receiver running on
// the decoding thread may: the frame must come without the driver's lock held.
class AskingSink : public varnelle::drivers::FrameSink {
public:
    explicit AskingSink(std::shared_ptr<VdecDriver> drv) : m_drv(std::move(drv)) {
        varnelle::drivers::FrameRouter::Instance().Attach(MK_ID_VOU, this);
    }
    ~AskingSink() override { varnelle::drivers::FrameRouter::Instance().Detach(MK_ID_VOU, this); }
    bool OnFrame(const MPP_CHN_S&, const MPP_CHN_S&, const varnelle::drivers::HeldFrame&) override {
        queuedSeen.push_back(m_drv->JpegChannel(0).framesQueued);
        return true;
    }
    std::vector<uint32_t> queuedSeen;

private:
    std::shared_ptr<VdecDriver> m_drv;
};

TEST_F(VdecJpegTest, AReceiverMayAskTheDriverWhileItTakesAFrame) {
    ASSERT_GE(VbPools::Instance().CreatePool(1u << 16, 4, ""), 0);
    AskingSink vo(m_drv);
    ASSERT_EQ(BindGraph::Instance().Bind(MPP_CHN_S{MK_ID_VDEC, 0, 0}, MPP_CHN_S{MK_ID_VOU, 0, 1}), 0);
    ASSERT_EQ(Create(), 0);
    for (int i = 0; i < 2; ++i) {
        JPEGD_FRAME_BUF_S fb{64, 64, 1, 0, 0, 0};
        ASSERT_EQ(dev::Ioctl(m_fd, MK_JPEGD_IOC_GET_FRAME_BUF, &fb), 0);
        JPEGD_FRAME_S f{};
        f.bPicture = 1;
        f.u32Token = fb.u32Token;
        f.u32Width = f.u32Height = 64;
        f.u32LumaPhyAddr = f.u32ChromaPhyAddr = f.u32ChromaEndPhyAddr = fb.u32PhyAddr;
        ASSERT_EQ(dev::Ioctl(m_fd, MK_JPEGD_IOC_PUT_FRAME, &f), 0);
    }
    // Each frame is queued for GetFrame before the receiver hears of it.
    EXPECT_EQ(vo.queuedSeen, (std::vector<uint32_t>{1, 2}));
    ASSERT_EQ(BindGraph::Instance().Unbind(MPP_CHN_S{MK_ID_VOU, 0, 1}), 0);
}

TEST_F(VdecJpegTest, OnlyJpegChannelsTakeJpegRequestsAndNeedAWorkingBuffer) {
    ASSERT_EQ(Create(PT_H264, 4096), 0);
    JPEGD_STREAM_S s{};
    EXPECT_EQ(Get(&s), kErrPerm);
    JPEGD_BUF_INFO_S info{};
    EXPECT_EQ(dev::Ioctl(m_fd, MK_JPEGD_IOC_BUF_INFO, &info), kErrPerm);
    ASSERT_EQ(dev::Ioctl(m_fd, mk::vdec::kDestroyChn), 0);
    // A channel whose ring would hold no more than a trailer lends no working buffer.
    m_drv->SetJpegBufSize(0, 15);
    ASSERT_EQ(Create(), 0);
    ASSERT_EQ(dev::Ioctl(m_fd, MK_JPEGD_IOC_BUF_INFO, &info), 0);
    EXPECT_EQ(info.u32PhyAddr, 0u);
    EXPECT_EQ(info.u32Len, 0u);
    ASSERT_EQ(dev::Ioctl(m_fd, mk::vdec::kDestroyChn), 0);
    // A ring the memory cannot hold refuses the channel.
    m_drv->SetJpegBufSize(0, 0xFFFFF000u);
    VDEC_CHN_ATTR_S attr{PT_JPEG, 4096, 1, 64, 64, 0, 1, 0};
    EXPECT_EQ(dev::Ioctl(m_fd, mk::vdec::kCreateChn, &attr), kErrNoMem);
    EXPECT_FALSE(m_drv->Channel(0).created);
    // Wrong sizes in a request number are refused before anything is read.
    m_drv->SetJpegBufSize(0, 0);
    ASSERT_EQ(Create(), 0);
    EXPECT_EQ(dev::Ioctl(m_fd, _IOR('D', 44, uint32_t), &info), -1);
    JPEGD_REPORT_S report{};
    EXPECT_EQ(dev::Ioctl(m_fd, _IOW('D', 50, JPEGD_STREAM_S), &report), -1);
    EXPECT_EQ(errno, ENOTTY) << "a request the driver does not know";
}

}  // namespace
