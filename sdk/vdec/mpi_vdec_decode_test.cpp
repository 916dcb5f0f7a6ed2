// H.264 and H.265 channels decoding through the SDK: every picture as ffmpeg decodes the same clip in
// the same run, in display order; the stream buffer and the counters; reset, stop and start; damaged
// streams; the pictures' pool blocks; bound receivers; several channels at once.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/drivers/core/bind_graph.h"
#include "platform/drivers/core/frame_testing.h"
#include "platform/drivers/core/vb_pools.h"
#include "platform/drivers/vdec/vdec_codec.h"
#include "platform/drivers/vdec/vdec_driver.h"
#include "sdk/common/testing/bus_environment.h"
#include "sdk/vdec/mpi_vdec.h"
#include "sdk/vdec/testing/vdec_clips.h"

namespace {

using varnelle::drivers::BindGraph;
using varnelle::drivers::FrameBytes;
using varnelle::drivers::VbPools;
using varnelle::drivers::VdecDriver;
using varnelle::drivers::testing::Eventually;
using varnelle::drivers::testing::RecordingSink;
using namespace mk::vdec::testing;

const auto* const kBus = ::testing::AddGlobalTestEnvironment(new mk::testing::BusEnvironment("vdecdec"));

constexpr MK_S32 Code(MK_U32 c) { return static_cast<MK_S32>(c); }
constexpr MK_S32 kErrParam = Code(0xA0058003u);
constexpr MK_S32 kErrPerm = Code(0xA0058009u);
constexpr MK_S32 kErrEmpty = Code(0xA005800Eu);
constexpr int kWaitMs = 10000;

struct Clip {
    ClipSpec spec;
    bool h265;
    Bytes bytes;
    std::vector<Bytes> frames;     // decode order
    std::vector<std::string> md5;  // ffmpeg's, display order
};

Clip Make(const ClipSpec& spec) {
    Clip c{spec, std::string(spec.codec) == "libx265", {}, {}, {}};
    c.bytes = MakeClip(spec);
    c.frames = SplitFrames(c.bytes, c.h265);
    c.md5 = FfmpegFrameMd5(c.bytes, c.h265);
    return c;
}

// B frames whatever x264 would choose: pictures come out in another order than they go in.
constexpr const char* kBFrames = "-bf 2 -x264-params b-adapt=0";

// The clip of the decoder's task: 704x576, a GOP of 25 (and the start of a second).
const Clip& D1() {
    static const Clip c = Make({"libx264", 704, 576, 30, 25, kBFrames});
    return c;
}
// Fewer and smaller pictures for the tests of the channel's behaviour.
const Clip& Small() {
    static const Clip c = Make({"libx264", 176, 144, 30, 10, kBFrames});
    return c;
}
// Fewer than a channel keeps unfetched, so nothing needs to be fetched while they decode.
const Clip& Tiny() {
    static const Clip c = Make({"libx264", 176, 144, 7, 25, kBFrames});
    return c;
}
const Clip& Hevc() {
    static const Clip c = Make({"libx265", 176, 144, 12, 6});
    return c;
}

struct Got {
    std::string md5;
    VIDEO_FRAME_INFO_S info;
};

class VdecDecodeTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_drv = VdecDriver::Get();
        m_drv->Reset();
        BindGraph::Instance().Clear();
        VbPools::Instance().Clear();
        m_pool = VbPools::Instance().CreatePool(FrameBytes(704, 576), kBlocks, "");
        ASSERT_GE(m_pool, 0);
    }
    void TearDown() override {
        m_drv->Reset();
        for (int chn = 0; chn < VDEC_MAX_CHN_NUM; ++chn) m_drv->HoldDecoding(chn, false);
        BindGraph::Instance().Clear();
        VbPools::Instance().Clear();
    }

    static void Create(VDEC_CHN chn, uint32_t width, uint32_t height, MK_U32 mode = 1) {
        VDEC_CHN_ATTR_S attr{PT_H264, width * height * 3 / 4, 5, width, height, 2, mode, 0};
        ASSERT_EQ(MK_MPI_VDEC_CreateChn(chn, &attr), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_VDEC_StartRecvStream(chn), MK_SUCCESS);
    }
    // Room for the whole clip: senders never wait for the decoder.
    static MK_U32 BufFor(const Clip& clip) {
        return clip.spec.width * clip.spec.height * 3 / 4 + static_cast<MK_U32>(clip.bytes.size());
    }
    static void CreateFor(VDEC_CHN chn, const Clip& clip, MK_U32 mode = 1) {
        VDEC_CHN_ATTR_S attr{clip.h265 ? static_cast<MK_U32>(PT_H265) : static_cast<MK_U32>(PT_H264),
                             BufFor(clip),
                             5,
                             clip.spec.width,
                             clip.spec.height,
                             2,
                             mode,
                             0};
        ASSERT_EQ(MK_MPI_VDEC_CreateChn(chn, &attr), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_VDEC_StartRecvStream(chn), MK_SUCCESS);
    }
    static MK_S32 Send(VDEC_CHN chn, const Bytes& data, MK_U64 pts, bool eof = true, bool eos = false,
                       MK_S32 ms = -1) {
        VDEC_STREAM_S st{data.data(), static_cast<MK_U32>(data.size()), pts, eof ? 1u : 0u, eos ? 1u : 0u};
        return MK_MPI_VDEC_SendStream(chn, &st, ms);
    }
    static MK_S32 EndOfStream(VDEC_CHN chn) { return Send(chn, Bytes{}, 0, false, true); }
    // Sends the clip's frames (pts 40000 apart in decode order) and the end of the stream.
    static void SendClip(VDEC_CHN chn, const Clip& clip) {
        for (size_t i = 0; i < clip.frames.size(); ++i) ASSERT_EQ(Send(chn, clip.frames[i], i * 40000), MK_SUCCESS);
        ASSERT_EQ(EndOfStream(chn), MK_SUCCESS);
    }
    // Fetches, checks and gives back `n` pictures.
    static std::vector<Got> Fetch(VDEC_CHN chn, size_t n) {
        std::vector<Got> got;
        for (size_t i = 0; i < n; ++i) {
            VIDEO_FRAME_INFO_S f{};
            const MK_S32 ret = MK_MPI_VDEC_GetFrame(chn, &f, kWaitMs);
            EXPECT_EQ(ret, MK_SUCCESS) << "picture " << i;
            if (ret != MK_SUCCESS) break;
            got.push_back(Got{Md5Hex(Yuv420pOf(f)), f});
            EXPECT_EQ(MK_MPI_VDEC_ReleaseFrame(chn, &f), MK_SUCCESS);
        }
        return got;
    }
    // Sends the clip while another thread fetches its pictures.
    static std::vector<Got> Decode(VDEC_CHN chn, const Clip& clip, const std::function<void()>& send) {
        std::vector<Got> got;
        std::thread fetcher([&] { got = Fetch(chn, clip.md5.size()); });
        send();
        fetcher.join();
        return got;
    }
    static std::vector<std::string> Md5s(const std::vector<Got>& got) {
        std::vector<std::string> m;
        for (const Got& g : got) m.push_back(g.md5);
        return m;
    }
    static VDEC_CHN_STAT_S Stat(VDEC_CHN chn) {
        VDEC_CHN_STAT_S st{};
        EXPECT_EQ(MK_MPI_VDEC_Query(chn, &st), MK_SUCCESS);
        return st;
    }
    static uint32_t FreeBlocks(int pool) { return VbPools::Instance().Pool(pool)->freeBlocks; }

    static constexpr uint32_t kBlocks = 24;
    std::shared_ptr<VdecDriver> m_drv;
    int m_pool = -1;
};

// ---- Pictures as ffmpeg decodes them ----

TEST_F(VdecDecodeTest, EveryPictureEqualsFfmpegsDecodeOfTheSameClipInDisplayOrder) {
    struct Case {
        const char* what;
        const Clip& clip;
        MK_U32 mode;
        std::function<void(VDEC_CHN, const Clip&)> send;
    } cases[] = {
        {"H.264 704x576, whole frames", D1(), 1, SendClip},
        {"H.264 176x144, each frame in two packets", Small(), 1,
         [](VDEC_CHN chn, const Clip& clip) {
             for (size_t i = 0; i < clip.frames.size(); ++i) {
                 const Bytes& f = clip.frames[i];
                 const Bytes head(f.begin(), f.begin() + static_cast<long>(f.size() / 2));
                 const Bytes tail(f.begin() + static_cast<long>(f.size() / 2), f.end());
                 ASSERT_EQ(Send(chn, head, i * 40000, false), MK_SUCCESS);
                 ASSERT_EQ(Send(chn, tail, i * 40000, true), MK_SUCCESS);
             }
             ASSERT_EQ(EndOfStream(chn), MK_SUCCESS);
         }},
        {"H.264 176x144, stream mode in pieces of 1000 bytes", Small(), 0,
         [](VDEC_CHN chn, const Clip& clip) {
             for (size_t off = 0; off < clip.bytes.size(); off += 1000) {
                 const size_t n = std::min<size_t>(1000, clip.bytes.size() - off);
                 const Bytes piece(clip.bytes.begin() + static_cast<long>(off),
                                   clip.bytes.begin() + static_cast<long>(off + n));
                 ASSERT_EQ(Send(chn, piece, 0, false), MK_SUCCESS);
             }
             ASSERT_EQ(EndOfStream(chn), MK_SUCCESS);
         }},
        {"H.265 176x144, whole frames", Hevc(), 1, SendClip},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(c.clip.md5.size(), c.clip.spec.frames);
        CreateFor(1, c.clip, c.mode);
        const std::vector<Got> got = Decode(1, c.clip, [&] { c.send(1, c.clip); });
        EXPECT_EQ(Md5s(got), c.clip.md5);
        for (const Got& g : got) {
            EXPECT_EQ(g.info.u32Width, c.clip.spec.width);
            EXPECT_EQ(g.info.u32Height, c.clip.spec.height);
            EXPECT_EQ(g.info.enPixelFormat, MK_PIXEL_FORMAT_YUV_SEMIPLANAR_420);
            EXPECT_EQ(g.info.u32Field, MK_FIELD_FRAME);
            EXPECT_GE(g.info.u32Stride[0], g.info.u32Width);
            EXPECT_EQ(g.info.u32PoolId, static_cast<MK_U32>(m_pool));
        }
        const VDEC_CHN_STAT_S st = Stat(1);
        EXPECT_EQ(st.u32DecodeStreamFrames, c.clip.spec.frames);
        EXPECT_EQ(st.u32StreamErrors, 0u);
        EXPECT_EQ(st.u32DroppedPics, 0u);
        ASSERT_EQ(MK_MPI_VDEC_DestroyChn(1), MK_SUCCESS);
        EXPECT_EQ(FreeBlocks(m_pool), kBlocks) << "every block back";
    }
}

TEST_F(VdecDecodeTest, EachPictureCarriesTheTimeStampOfTheFrameItCameIn) {
    const Clip& clip = Small();
    CreateFor(0, clip);
    const std::vector<Got> got = Decode(0, clip, [&] { SendClip(0, clip); });
    ASSERT_EQ(got.size(), clip.frames.size());
    std::vector<uint64_t> pts, sent;
    for (const Got& g : got) pts.push_back(g.info.u64pts);
    for (size_t i = 0; i < clip.frames.size(); ++i) sent.push_back(i * 40000);
    EXPECT_NE(pts, sent) << "B frames come out in another order than they go in";
    std::sort(pts.begin(), pts.end());
    EXPECT_EQ(pts, sent);
}

TEST_F(VdecDecodeTest, EndOfStreamGivesOutThePicturesHeldBackForReordering) {
    const Clip& clip = Tiny();
    CreateFor(2, clip);
    for (size_t i = 0; i < clip.frames.size(); ++i) ASSERT_EQ(Send(2, clip.frames[i], i), MK_SUCCESS);
    ASSERT_TRUE(m_drv->WaitDecoded(2, kWaitMs));
    const uint32_t before = Stat(2).u32DecodeStreamFrames;
    EXPECT_LT(before, clip.frames.size());
    ASSERT_EQ(EndOfStream(2), MK_SUCCESS);
    ASSERT_TRUE(m_drv->WaitDecoded(2, kWaitMs));
    EXPECT_EQ(Stat(2).u32DecodeStreamFrames, clip.frames.size());
    EXPECT_EQ(Md5s(Fetch(2, clip.frames.size())), clip.md5);
    // The stream that follows decodes from its start.
    SendClip(2, clip);
    ASSERT_TRUE(m_drv->WaitDecoded(2, kWaitMs));
    EXPECT_EQ(Md5s(Fetch(2, clip.frames.size())), clip.md5);
}

// ---- The stream buffer and the counters ----

TEST_F(VdecDecodeTest, QueryReportsTheBufferFillAndWhatCameThrough) {
    const Clip& clip = Tiny();
    CreateFor(3, clip);
    m_drv->HoldDecoding(3, true);
    uint32_t bytes = 0;
    for (size_t i = 0; i < clip.frames.size(); ++i) {
        ASSERT_EQ(Send(3, clip.frames[i], i), MK_SUCCESS);
        bytes += static_cast<uint32_t>(clip.frames[i].size());
    }
    VDEC_CHN_STAT_S st = Stat(3);
    EXPECT_EQ(st.u32LeftStreamBytes, bytes);
    EXPECT_EQ(st.u32LeftStreamFrames, clip.frames.size());
    EXPECT_EQ(st.u32RecvStreamFrames, clip.frames.size());
    EXPECT_EQ(st.u32DecodeStreamFrames, 0u);
    EXPECT_EQ(st.u32LeftPics, 0u);
    EXPECT_EQ(st.bStartRecvStream, 1u);
    EXPECT_EQ(st.u32BufSize, BufFor(clip));

    ASSERT_EQ(EndOfStream(3), MK_SUCCESS);
    m_drv->HoldDecoding(3, false);
    ASSERT_TRUE(m_drv->WaitDecoded(3, kWaitMs));
    st = Stat(3);
    EXPECT_EQ(st.u32LeftStreamBytes, 0u);
    EXPECT_EQ(st.u32LeftStreamFrames, 0u);
    EXPECT_EQ(st.u32DecodeStreamFrames, clip.frames.size());
    EXPECT_EQ(st.u32LeftPics, clip.frames.size());
    EXPECT_EQ(st.u32StreamErrors, 0u);
    Fetch(3, 2);
    EXPECT_EQ(Stat(3).u32LeftPics, clip.frames.size() - 2);
}

TEST_F(VdecDecodeTest, AFullBufferRefusesUntilTheDecoderTakesAFrame) {
    const Clip& clip = Tiny();
    const uint32_t buf = static_cast<uint32_t>(clip.frames[0].size() + clip.frames[1].size());
    VDEC_CHN_ATTR_S attr{PT_H264, buf, 5, 176, 144, 2, 1, 0};
    ASSERT_EQ(MK_MPI_VDEC_CreateChn(4, &attr), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VDEC_StartRecvStream(4), MK_SUCCESS);
    m_drv->HoldDecoding(4, true);
    ASSERT_EQ(Send(4, clip.frames[0], 0, true, false, 0), MK_SUCCESS);
    ASSERT_EQ(Send(4, clip.frames[1], 1, true, false, 0), MK_SUCCESS);
    EXPECT_EQ(Send(4, clip.frames[2], 2, true, false, 0), Code(0xA005800Fu));
    EXPECT_EQ(Stat(4).u32LeftStreamBytes, buf) << "exactly full";
    m_drv->HoldDecoding(4, false);
    EXPECT_EQ(Send(4, clip.frames[2], 2, true, false, -1), MK_SUCCESS);
    const Bytes tooBig(buf + 1, 0);
    EXPECT_EQ(Send(4, tooBig, 3, true, false, -1), kErrParam);
}

// A packet reuses the buffer of one decoded or refused before it: a refused packet full of start codes
// and longer than every frame leaves its bytes in the buffer the next frame is copied into.
TEST_F(VdecDecodeTest, APacketDecodesFromItsOwnBytesInWhateverBufferItReuses) {
    const Clip& clip = Small();
    size_t largest = 0;
    for (const Bytes& f : clip.frames) largest = std::max(largest, f.size());
    const uint32_t buf = static_cast<uint32_t>(2 * largest);
    VDEC_CHN_ATTR_S attr{PT_H264, buf, 5, 176, 144, 2, 1, 0};
    ASSERT_EQ(MK_MPI_VDEC_CreateChn(4, &attr), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VDEC_StartRecvStream(4), MK_SUCCESS);
    m_drv->EnableJournal(true);
    m_drv->ClearJournal();
    Bytes junk(buf);
    for (size_t i = 0; i < junk.size(); ++i) junk[i] = "\0\0\1\x65\x88"[i % 5];
    Bytes sent;
    const std::vector<Got> got = Decode(4, clip, [&] {
        for (size_t i = 0; i < clip.frames.size(); ++i) {
            m_drv->HoldDecoding(4, true);
            ASSERT_EQ(Send(4, clip.frames[i], i * 40000, true, false, 0), MK_SUCCESS);
            ASSERT_EQ(Send(4, junk, 0, true, false, 0), Code(0xA005800Fu)) << "frame " << i;
            m_drv->HoldDecoding(4, false);
            ASSERT_TRUE(m_drv->WaitDecoded(4, kWaitMs));
            sent.insert(sent.end(), clip.frames[i].begin(), clip.frames[i].end());
        }
        ASSERT_EQ(EndOfStream(4), MK_SUCCESS);
    });
    EXPECT_EQ(Md5s(got), clip.md5);
    EXPECT_EQ(Stat(4).u32StreamErrors, 0u);
    EXPECT_EQ(Stat(4).u32RecvStreamFrames, clip.frames.size());
    EXPECT_EQ(m_drv->JournalBytes(4, 0, sent.size() + 1), sent) << "the journal keeps exactly the accepted bytes";
    m_drv->EnableJournal(false);
    m_drv->ClearJournal();
}

// The decoder takes a whole frame where it lies when the buffer holds the padding libavcodec reads
// past its end, and gives the buffer back; without the padding it decodes a copy.
TEST(VdecCodecTest, FramesFedInTheCallersBufferDecodeAsFfmpegDoesAndTheBufferComesBack) {
    using varnelle::drivers::vdec::Picture;
    using varnelle::drivers::vdec::VideoDecoder;
    struct Case {
        const char* what;
        const Clip& clip;
        size_t padding;
    } cases[] = {
        {"H.264, padded", Small(), VideoDecoder::kPadding},
        {"H.265, padded", Hevc(), VideoDecoder::kPadding},
        {"H.264, padding short by one", Small(), VideoDecoder::kPadding - 1},
        {"H.264, no padding", Small(), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::unique_ptr<VideoDecoder> d = VideoDecoder::Create(c.clip.h265 ? PT_H265 : PT_H264, c.clip.spec.width,
                                                               c.clip.spec.height, 1u << 20, false);
        ASSERT_NE(d, nullptr);
        std::vector<std::string> md5;
        auto out = [&](const Picture& pic) {
            Bytes yuv;
            for (int p = 0; p < 3; ++p) {
                const uint32_t w = p == 0 ? pic.width : (pic.width + 1) / 2;
                const uint32_t h = p == 0 ? pic.height : (pic.height + 1) / 2;
                for (uint32_t y = 0; y < h; ++y) {
                    const uint8_t* row = pic.plane[p] + static_cast<ptrdiff_t>(y) * pic.stride[p];
                    yuv.insert(yuv.end(), row, row + w);
                }
            }
            md5.push_back(Md5Hex(yuv));
            return true;
        };
        // One buffer for every frame, left holding the longest frame's bytes past the shorter ones.
        std::vector<uint8_t> buf(1u << 16, 0x01);
        for (size_t i = 0; i < c.clip.frames.size(); ++i) {
            const Bytes& f = c.clip.frames[i];
            buf.resize(std::max(buf.size(), f.size() + c.padding), 0x01);
            std::copy(f.begin(), f.end(), buf.begin());
            std::fill(buf.begin() + static_cast<ptrdiff_t>(f.size()),
                      buf.begin() + static_cast<ptrdiff_t>(f.size() + c.padding), 0);
            if (c.padding < VideoDecoder::kPadding) buf.resize(f.size() + c.padding);
            const uint8_t* at = buf.data();
            const size_t size = buf.size();
            EXPECT_EQ(d->Feed(&buf, f.size(), i * 40000, true, false, out), 0u) << "frame " << i;
            EXPECT_EQ(buf.data(), at) << "frame " << i;
            EXPECT_EQ(buf.size(), size) << "frame " << i;
        }
        std::vector<uint8_t> none;
        EXPECT_EQ(d->Feed(&none, 0, 0, false, true, out), 0u);
        EXPECT_EQ(md5, c.clip.md5);
    }
}

// ---- Reset, stop and start ----

TEST_F(VdecDecodeTest, ResetDropsTheBufferedStreamAndUnfetchedPicturesButNotFetchedOnes) {
    const Clip& clip = Tiny();
    CreateFor(5, clip);
    SendClip(5, clip);
    ASSERT_TRUE(m_drv->WaitDecoded(5, kWaitMs));
    VIDEO_FRAME_INFO_S held{};
    ASSERT_EQ(MK_MPI_VDEC_GetFrame(5, &held, 0), MK_SUCCESS);
    m_drv->HoldDecoding(5, true);
    for (size_t i = 0; i < 3; ++i) ASSERT_EQ(Send(5, clip.frames[i], i), MK_SUCCESS);

    ASSERT_EQ(MK_MPI_VDEC_ResetChn(5), MK_SUCCESS);
    VDEC_CHN_STAT_S st = Stat(5);
    EXPECT_EQ(st.u32LeftStreamBytes, 0u);
    EXPECT_EQ(st.u32LeftStreamFrames, 0u);
    EXPECT_EQ(st.u32LeftPics, 0u);
    VIDEO_FRAME_INFO_S none{};
    EXPECT_EQ(MK_MPI_VDEC_GetFrame(5, &none, 0), kErrEmpty);
    EXPECT_EQ(FreeBlocks(m_pool), kBlocks - 1) << "the user still holds his picture";
    EXPECT_EQ(Md5Hex(Yuv420pOf(held)), clip.md5[0]);
    EXPECT_EQ(MK_MPI_VDEC_ReleaseFrame(5, &held), MK_SUCCESS);
    EXPECT_EQ(MK_MPI_VDEC_ReleaseFrame(5, &held), kErrParam) << "given back once";
    EXPECT_EQ(FreeBlocks(m_pool), kBlocks);

    // What the decoder held of the old stream is gone: a new stream decodes from its start.
    m_drv->HoldDecoding(5, false);
    SendClip(5, clip);
    ASSERT_TRUE(m_drv->WaitDecoded(5, kWaitMs));
    EXPECT_EQ(Md5s(Fetch(5, clip.frames.size())), clip.md5);
}

TEST_F(VdecDecodeTest, ResetWhileTheDecoderIsBusyDropsWhatItWasMaking) {
    const Clip& clip = Small();
    CreateFor(6, clip);
    // Nobody fetches: the decoder stops at the pictures it may keep and waits with the next one.
    for (size_t i = 0; i < clip.frames.size(); ++i) ASSERT_EQ(Send(6, clip.frames[i], i), MK_SUCCESS);
    ASSERT_TRUE(Eventually([&] {
        const auto v = m_drv->Channel(6);
        return v.queuedPics == 8 && v.decoding;
    }));
    ASSERT_EQ(MK_MPI_VDEC_ResetChn(6), MK_SUCCESS);
    ASSERT_TRUE(m_drv->WaitDecoded(6, kWaitMs));
    EXPECT_EQ(Stat(6).u32LeftPics, 0u);
    EXPECT_EQ(FreeBlocks(m_pool), kBlocks);
    const std::vector<Got> got = Decode(6, clip, [&] { SendClip(6, clip); });
    EXPECT_EQ(Md5s(got), clip.md5);
}

TEST_F(VdecDecodeTest, StopEndsTheTakingOfPacketsWhileTheBufferedOnesStillDecode) {
    const Clip& clip = Tiny();
    CreateFor(7, clip);
    m_drv->HoldDecoding(7, true);
    SendClip(7, clip);
    ASSERT_EQ(MK_MPI_VDEC_StopRecvStream(7), MK_SUCCESS);
    EXPECT_EQ(Send(7, clip.frames[0], 0, true, false, 0), kErrPerm);
    EXPECT_EQ(Stat(7).bStartRecvStream, 0u);
    m_drv->HoldDecoding(7, false);
    ASSERT_TRUE(m_drv->WaitDecoded(7, kWaitMs));
    EXPECT_EQ(Md5s(Fetch(7, clip.frames.size())), clip.md5);
    ASSERT_EQ(MK_MPI_VDEC_StartRecvStream(7), MK_SUCCESS);
    SendClip(7, clip);
    ASSERT_TRUE(m_drv->WaitDecoded(7, kWaitMs));
    EXPECT_EQ(Md5s(Fetch(7, clip.frames.size())), clip.md5);
}

// ---- Damaged streams ----

TEST_F(VdecDecodeTest, DamagedStreamsAreCountedAsErrorsAndTheNextGoodStreamDecodes) {
    const Clip& clip = Tiny();
    struct Case {
        const char* what;
        uint32_t maxWidth, maxHeight;
        std::function<std::vector<Bytes>()> frames;
        bool anyPicture;  // damaged pictures still come out, concealed
    } cases[] = {
        {"frames cut in half", 176, 144,
         [&] {
             std::vector<Bytes> out;
             for (const Bytes& f : clip.frames) out.emplace_back(f.begin(), f.begin() + static_cast<long>(f.size() / 2));
             return out;
         },
         true},
        {"slice data overwritten", 176, 144,
         [&] {
             std::vector<Bytes> out = clip.frames;
             for (Bytes& f : out) {
                 for (size_t i = f.size() / 3; i < f.size(); i += 5) f[i] ^= 0xA5;
             }
             return out;
         },
         true},
        {"noise", 176, 144,
         [] {
             std::mt19937 rng(7);
             std::vector<Bytes> out(6, Bytes(3000));
             for (Bytes& f : out) {
                 for (uint8_t& b : f) b = static_cast<uint8_t>(rng());
                 f[0] = f[1] = f[2] = 0;
                 f[3] = 1;
             }
             return out;
         },
         false},
        {"pictures larger than the channel takes", 160, 128, [&] { return clip.frames; }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Create(8, c.maxWidth, c.maxHeight);
        for (const Bytes& f : c.frames()) ASSERT_EQ(Send(8, f, 0), MK_SUCCESS);
        ASSERT_EQ(EndOfStream(8), MK_SUCCESS);
        ASSERT_TRUE(m_drv->WaitDecoded(8, kWaitMs));
        VDEC_CHN_STAT_S st = Stat(8);
        EXPECT_GT(st.u32StreamErrors, 0u);
        if (!c.anyPicture) {
            EXPECT_EQ(st.u32DecodeStreamFrames, 0u);
        }
        Fetch(8, st.u32LeftPics);
        if (c.maxWidth == 176) {
            // The same channel takes the next stream as if nothing had happened.
            ASSERT_EQ(MK_MPI_VDEC_ResetChn(8), MK_SUCCESS);
            SendClip(8, clip);
            ASSERT_TRUE(m_drv->WaitDecoded(8, kWaitMs));
            EXPECT_EQ(Md5s(Fetch(8, clip.frames.size())), clip.md5);
            EXPECT_EQ(Stat(8).u32StreamErrors, st.u32StreamErrors) << "no error of its own";
        }
        ASSERT_EQ(MK_MPI_VDEC_DestroyChn(8), MK_SUCCESS);
        EXPECT_EQ(FreeBlocks(m_pool), kBlocks);
    }
}

TEST_F(VdecDecodeTest, AFrameThatNeverEndsIsDroppedOnceItOutgrowsTheBuffer) {
    const Clip& clip = Tiny();
    CreateFor(9, clip);
    const Bytes piece(BufFor(clip) / 2, 0x5A);
    for (int i = 0; i < 5; ++i) ASSERT_EQ(Send(9, piece, 0, false), MK_SUCCESS);
    ASSERT_TRUE(m_drv->WaitDecoded(9, kWaitMs));
    EXPECT_EQ(Stat(9).u32StreamErrors, 1u) << "the bytes beyond the buffer's size";
    ASSERT_EQ(EndOfStream(9), MK_SUCCESS);  // what is left of it ends here
    ASSERT_TRUE(m_drv->WaitDecoded(9, kWaitMs));
    EXPECT_EQ(Stat(9).u32DecodeStreamFrames, 0u);
    // The next whole frames decode.
    SendClip(9, clip);
    ASSERT_TRUE(m_drv->WaitDecoded(9, kWaitMs));
    EXPECT_EQ(Md5s(Fetch(9, clip.frames.size())), clip.md5);
}

// ---- Pool blocks ----

TEST_F(VdecDecodeTest, PicturesComeFromTheDecodersModulePoolsFirst) {
    const Clip& clip = Tiny();
    const int mod = VbPools::Instance().CreatePool(FrameBytes(176, 144), 2, "", false, 4);
    const int other = VbPools::Instance().CreatePool(FrameBytes(176, 144), 4, "", false, 9);
    ASSERT_GE(mod, 0);
    ASSERT_GE(other, 0);
    CreateFor(10, clip);
    SendClip(10, clip);
    ASSERT_TRUE(m_drv->WaitDecoded(10, kWaitMs));
    std::vector<VIDEO_FRAME_INFO_S> held(3);
    for (VIDEO_FRAME_INFO_S& f : held) ASSERT_EQ(MK_MPI_VDEC_GetFrame(10, &f, 0), MK_SUCCESS);
    EXPECT_EQ(held[0].u32PoolId, static_cast<MK_U32>(mod));
    EXPECT_EQ(held[1].u32PoolId, static_cast<MK_U32>(mod));
    EXPECT_EQ(held[2].u32PoolId, static_cast<MK_U32>(m_pool)) << "then the common pools; another module's never";
    EXPECT_EQ(FreeBlocks(other), 4u);
    for (VIDEO_FRAME_INFO_S& f : held) ASSERT_EQ(MK_MPI_VDEC_ReleaseFrame(10, &f), MK_SUCCESS);
}

TEST_F(VdecDecodeTest, TheDecoderWaitsForAFreeBlockAndDropsPicturesNoPoolCanHold) {
    const Clip& clip = Tiny();
    ASSERT_EQ(VbPools::Instance().DestroyPool(m_pool), 0);
    const int pool = VbPools::Instance().CreatePool(FrameBytes(176, 144), 2, "");
    CreateFor(11, clip);
    SendClip(11, clip);
    std::vector<VIDEO_FRAME_INFO_S> held(2);
    for (VIDEO_FRAME_INFO_S& f : held) ASSERT_EQ(MK_MPI_VDEC_GetFrame(11, &f, kWaitMs), MK_SUCCESS);
    ASSERT_TRUE(Eventually([&] { return m_drv->Channel(11).decoding; })) << "waits for a block";
    EXPECT_EQ(m_drv->Channel(11).droppedPics, 0u);
    ASSERT_EQ(MK_MPI_VDEC_ReleaseFrame(11, &held[0]), MK_SUCCESS);
    VIDEO_FRAME_INFO_S third{};
    ASSERT_EQ(MK_MPI_VDEC_GetFrame(11, &third, kWaitMs), MK_SUCCESS);
    EXPECT_EQ(Md5Hex(Yuv420pOf(third)), clip.md5[2]);
    ASSERT_EQ(MK_MPI_VDEC_ReleaseFrame(11, &third), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VDEC_ReleaseFrame(11, &held[1]), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VDEC_DestroyChn(11), MK_SUCCESS);
    ASSERT_TRUE(Eventually([&] { return FreeBlocks(pool) == 2; }));

    // Blocks too small for the picture: none will ever come, so the pictures go, counted.
    ASSERT_EQ(VbPools::Instance().DestroyPool(pool), 0);
    const int small = VbPools::Instance().CreatePool(FrameBytes(176, 144) - 64, 4, "");  // blocks are whole 64s
    CreateFor(11, clip);
    SendClip(11, clip);
    ASSERT_TRUE(m_drv->WaitDecoded(11, kWaitMs));
    const VDEC_CHN_STAT_S st = Stat(11);
    EXPECT_EQ(st.u32DecodeStreamFrames, clip.frames.size());
    EXPECT_EQ(st.u32DroppedPics, clip.frames.size());
    EXPECT_EQ(st.u32LeftPics, 0u);
    EXPECT_EQ(FreeBlocks(small), 4u);
}

TEST_F(VdecDecodeTest, DestroyWhileTheDecoderWaitsForABlockLeavesEveryBlockFree) {
    const Clip& clip = Tiny();
    ASSERT_EQ(VbPools::Instance().DestroyPool(m_pool), 0);
    const int pool = VbPools::Instance().CreatePool(FrameBytes(176, 144), 2, "");
    CreateFor(12, clip);
    SendClip(12, clip);
    VIDEO_FRAME_INFO_S f{};
    ASSERT_EQ(MK_MPI_VDEC_GetFrame(12, &f, kWaitMs), MK_SUCCESS);
    ASSERT_TRUE(Eventually([&] { return m_drv->Channel(12).queuedPics == 1 && m_drv->Channel(12).decoding; }));
    ASSERT_EQ(MK_MPI_VDEC_DestroyChn(12), MK_SUCCESS);
    ASSERT_TRUE(m_drv->WaitDecoded(12, kWaitMs));
    EXPECT_EQ(FreeBlocks(pool), 2u) << "the fetched picture goes with its channel";
    EXPECT_EQ(MK_MPI_VDEC_ReleaseFrame(12, &f), Code(0xA0058005u));
    // The number decodes again at once.
    CreateFor(12, clip);
    SendClip(12, clip);
    EXPECT_EQ(Md5s(Fetch(12, clip.frames.size())), clip.md5);
}

// ---- Bound receivers ----

TEST_F(VdecDecodeTest, ABoundChannelHandsEveryPictureOnAndDropsTheOldestUnfetched) {
    const Clip& clip = Small();
    RecordingSink vpss(MK_ID_VPSS);
    const MPP_CHN_S src{MK_ID_VDEC, 0, 13}, dst{MK_ID_VPSS, 3, 0};
    ASSERT_EQ(BindGraph::Instance().Bind(src, dst), 0);
    CreateFor(13, clip);
    SendClip(13, clip);
    ASSERT_TRUE(vpss.WaitReceived(dst, clip.frames.size(), kWaitMs));
    ASSERT_TRUE(m_drv->WaitDecoded(13, kWaitMs)) << "no stall though nobody fetches";
    const auto view = m_drv->Channel(13);
    EXPECT_EQ(view.queuedPics, 8u);
    EXPECT_EQ(view.droppedPics, clip.frames.size() - 8);
    const std::vector<VIDEO_FRAME_INFO_S> log = vpss.Log(dst);
    ASSERT_EQ(log.size(), clip.frames.size());
    // The receiver saw the display order that GetFrame gives: the newest eight are still there.
    for (size_t i = 0; i < 8; ++i) {
        VIDEO_FRAME_INFO_S f{};
        ASSERT_EQ(MK_MPI_VDEC_GetFrame(13, &f, 0), MK_SUCCESS);
        EXPECT_EQ(f.u64pts, log[log.size() - 8 + i].u64pts);
        EXPECT_EQ(Md5Hex(Yuv420pOf(f)), clip.md5[clip.md5.size() - 8 + i]);
        ASSERT_EQ(MK_MPI_VDEC_ReleaseFrame(13, &f), MK_SUCCESS);
    }
    // Unbound, the channel waits for the user again and drops nothing more.
    ASSERT_EQ(BindGraph::Instance().Unbind(dst), 0);
    for (size_t i = 0; i < clip.frames.size(); ++i) ASSERT_EQ(Send(13, clip.frames[i], i), MK_SUCCESS);
    ASSERT_TRUE(Eventually([&] { return m_drv->Channel(13).queuedPics == 8 && m_drv->Channel(13).decoding; }));
    EXPECT_EQ(m_drv->Channel(13).droppedPics, clip.frames.size() - 8);
    EXPECT_EQ(vpss.Received(dst), clip.frames.size());
    ASSERT_EQ(MK_MPI_VDEC_DestroyChn(13), MK_SUCCESS);
    vpss.DropAll();
    EXPECT_EQ(FreeBlocks(m_pool), kBlocks);
}

// ---- Channels side by side ----

TEST_F(VdecDecodeTest, ChannelsDecodeSideBySide) {
    const Clip& clip = Small();
    constexpr int kChannels = 4;
    std::vector<std::vector<Got>> got(kChannels);
    std::vector<std::thread> threads;
    for (int chn = 0; chn < kChannels; ++chn) CreateFor(20 + chn, clip);
    for (int chn = 0; chn < kChannels; ++chn) {
        threads.emplace_back([&, chn] { got[chn] = Decode(20 + chn, clip, [&] { SendClip(20 + chn, clip); }); });
    }
    for (std::thread& t : threads) t.join();
    for (int chn = 0; chn < kChannels; ++chn) EXPECT_EQ(Md5s(got[chn]), clip.md5) << "channel " << 20 + chn;
}

}  // namespace
