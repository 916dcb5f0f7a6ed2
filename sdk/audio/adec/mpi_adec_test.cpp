#include "sdk/audio/adec/mpi_adec.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/drivers/adec/adec_driver.h"
#include "sdk/audio/adec/mpi_adec_testing.h"
#include "sdk/audio/adp/audio_fault.h"
#include "sdk/audio/codecs/voice_codec.h"
#include "sdk/audio/testing/speech_signal.h"
#include "sdk/audio/testing/threads.h"
#include "sdk/bind/sys_bind.h"
#include "sdk/common/testing/bus_environment.h"

namespace {

namespace drivers = varnelle::drivers;
using varnelle::audiotest::WaitFor;
int Threads() {
    return varnelle::audiotest::ThreadCount({"ADEC_DecProc", "ADEC_SendAoProc"});
}
using mk::audio::Fault;

constexpr MK_S32 kErrParam = static_cast<MK_S32>(0xA0188003);
constexpr MK_S32 kErrExist = static_cast<MK_S32>(0xA0188004);
constexpr MK_S32 kErrUnexist = static_cast<MK_S32>(0xA0188005);
constexpr MK_S32 kErrNull = static_cast<MK_S32>(0xA0188006);
constexpr MK_S32 kErrNoMem = static_cast<MK_S32>(0xA018800C);
constexpr MK_S32 kErrEmpty = static_cast<MK_S32>(0xA018800E);
constexpr MK_S32 kErrFull = static_cast<MK_S32>(0xA018800F);
constexpr MK_S32 kErrNotReady = static_cast<MK_S32>(0xA0188010);
constexpr MK_S32 kErrDecoder = static_cast<MK_S32>(0xA0188040);

[[maybe_unused]] ::testing::Environment* const g_bus = ::testing::AddGlobalTestEnvironment(
    new mk::testing::BusEnvironment("adec", [] { drivers::InstallAdecDriver(); }));

AUDIO_ATTR_PLAIN_S g_plain{};

ADEC_CHN_ATTR_S Attr(MK_U32 type, MK_U32 buf, ADEC_MODE_E mode, MK_VOID* value = &g_plain) {
    return ADEC_CHN_ATTR_S{type, buf, mode, value};
}

// Frames of one codec made by the engine, and what the engine decodes them to.
struct Frames {
    std::vector<std::vector<MK_U8>> packets;
    std::vector<std::vector<int16_t>> pcm;
};

Frames Encode(int16_t codecId, int frames, int points, uint32_t seed = 1) {
    std::vector<int16_t> speech(static_cast<size_t>(frames) * points);
    varnelle::voice::SpeechLike(speech.data(), static_cast<int>(speech.size()), 0.7, seed);
    VOICE_CODEC_STATE_S enc{}, dec{};
    VOICE_CodecOpen(&enc, codecId);
    VOICE_CodecOpen(&dec, codecId);
    Frames f;
    for (int i = 0; i < frames; ++i) {
        MK_U8 buf[VOICE_MAX_FRAME_BYTES];
        EXPECT_EQ(MK_VOICE_EncodeFrame(&enc, &speech[static_cast<size_t>(i) * points], buf,
                                       static_cast<int16_t>(points)),
                  0);
        const size_t len = (buf[2] + 2u) * 2u;
        f.packets.emplace_back(buf, buf + len);
        std::vector<MK_U8> copy(buf, buf + len);
        int16_t out[VOICE_MAX_DECODE_SAMPLES];
        uint16_t count = 0;
        EXPECT_EQ(MK_VOICE_DecodeFrame(&dec, copy.data(), out, &count), 0);
        f.pcm.emplace_back(out, out + count);
    }
    return f;
}

AUDIO_STREAM_S Stream(std::vector<MK_U8>& bytes, MK_U64 ts = 0, size_t from = 0, size_t len = SIZE_MAX) {
    AUDIO_STREAM_S s{};
    s.pStream = bytes.data() + from;
    s.u32Len = static_cast<MK_U32>(len == SIZE_MAX ? bytes.size() - from : len);
    s.u64TimeStamp = ts;
    return s;
}

std::vector<int16_t> Pcm(const AUDIO_FRAME_INFO_S& info) {
    const auto* p = static_cast<const int16_t*>(info.pstFrame->pVirAddr[0]);
    return std::vector<int16_t>(p, p + info.pstFrame->u32Len / 2);
}

std::shared_ptr<drivers::AdecDriver> Drv() {
    return drivers::AdecDriver::Get();
}

// The request numbers, written out by hand: 'H', number, direction and size (the attribute holds a
// user address, so its size is the host's).
TEST(AdecRequestTest, RequestNumbersAreWrittenOutByHand) {
    static_assert(sizeof(void*) != 8 || sizeof(ADEC_CHN_ATTR_S) == 24, "the host's attribute");
    EXPECT_EQ(MK_ADEC_IOC_BIND, 0x40044800u);
    EXPECT_EQ(MK_ADEC_IOC_CREATE_CHN, 0x40184801u);
    EXPECT_EQ(MK_ADEC_IOC_DESTROY_CHN, 0x4802u);
    EXPECT_EQ(MK_ADEC_IOC_DBG_INFO, 0x401C4803u);
}

class AdecTest : public ::testing::Test {
protected:
    void SetUp() override {
        mk::audio::ClearFaults();
        Drv()->ClearFaults();
        ASSERT_EQ(SYS_BIND_Init(), MK_SUCCESS);
        ASSERT_EQ(MPI_ADEC_Init(), MK_SUCCESS);
    }
    void TearDown() override {
        MPI_ADEC_Exit();
        mk::audio::ClearFaults();
        EXPECT_EQ(Drv()->CreatedChannels(), 0);
    }
};

TEST_F(AdecTest, AttributesAreCheckedBeforeAnythingIsMade) {
    AUDIO_ATTR_ADPCM_S badType{static_cast<ADPCM_TYPE_E>(3)};
    struct Case {
        ADEC_CHN_ATTR_S attr;
        MK_S32 code;
    } const cases[] = {
        {Attr(PT_G711A, 2, ADEC_MODE_PACK, nullptr), kErrNull},
        {Attr(1004, 2, ADEC_MODE_PACK), kErrParam},
        {Attr(PT_G711A, 1, ADEC_MODE_PACK), kErrParam},
        {Attr(PT_G711A, 301, ADEC_MODE_PACK), kErrParam},
        {Attr(PT_G711A, 10, static_cast<ADEC_MODE_E>(2)), kErrParam},
        {Attr(PT_LPCM, 10, ADEC_MODE_STREAM), kErrParam},
        {Attr(37, 10, ADEC_MODE_PACK), kErrParam},
        {Attr(22, 10, ADEC_MODE_PACK), kErrParam},                   // not registered
        {Attr(PT_ADPCMA, 10, ADEC_MODE_PACK, &badType), kErrParam},  // the decoder's open refuses
        {Attr(PT_G711A, 2, ADEC_MODE_PACK), MK_SUCCESS},
        {Attr(PT_G711U, 300, ADEC_MODE_STREAM), MK_SUCCESS},
    };
    MK_S32 chn = 0;
    for (const Case& c : cases) {
        EXPECT_EQ(MK_MPI_ADEC_CreateChn(chn, &c.attr), c.code) << "case " << chn;
        EXPECT_EQ(Drv()->Channel(chn).created, c.code == MK_SUCCESS);
        ++chn;
    }
    EXPECT_EQ(MK_MPI_ADEC_CreateChn(9, &cases[9].attr), kErrExist);
    EXPECT_EQ(MK_MPI_ADEC_CreateChn(32, &cases[9].attr), static_cast<MK_S32>(0xA0188002));
    EXPECT_EQ(MK_MPI_ADEC_CreateChn(-1, &cases[9].attr), static_cast<MK_S32>(0xA0188002));
    EXPECT_EQ(MK_MPI_ADEC_CreateChn(0, nullptr), kErrNull);
}

TEST_F(AdecTest, DeviceNodeFailuresAreNotReadyAndRetried) {
    const ADEC_CHN_ATTR_S a = Attr(PT_G711A, 4, ADEC_MODE_PACK);
    Drv()->FailOpen(ENOENT);
    EXPECT_EQ(MK_MPI_ADEC_CreateChn(20, &a), kErrNotReady);
    Drv()->FailRequest(MK_ADEC_IOC_BIND, -1);
    EXPECT_EQ(MK_MPI_ADEC_CreateChn(21, &a), kErrNotReady);
    EXPECT_EQ(MK_MPI_ADEC_CreateChn(21, &a), MK_SUCCESS);
    EXPECT_TRUE(Drv()->Channel(21).created);
}

TEST_F(AdecTest, PackModeDecodesEachPacketWithItsTimeStampAndSequence) {
    for (const int16_t id : {VOICE_CODEC_G711A, VOICE_CODEC_G711U}) {
        SCOPED_TRACE(id);
        const ADEC_CHN_ATTR_S a = Attr(id == VOICE_CODEC_G711A ? PT_G711A : PT_G711U, 8, ADEC_MODE_PACK);
        ASSERT_EQ(MK_MPI_ADEC_CreateChn(3, &a), MK_SUCCESS);
        Frames f = Encode(id, 20, 320);
        for (size_t i = 0; i < f.packets.size(); ++i) {
            AUDIO_STREAM_S s = Stream(f.packets[i], 1000 + i);
            ASSERT_EQ(MK_MPI_ADEC_SendStream(3, &s, 1), MK_SUCCESS);
            AUDIO_FRAME_INFO_S info{};
            ASSERT_EQ(MK_MPI_ADEC_GetFrame(3, &info, 0), MK_SUCCESS);
            EXPECT_EQ(Pcm(info), f.pcm[i]);
            EXPECT_EQ(info.pstFrame->u64TimeStamp, 1000 + i);
            EXPECT_EQ(info.pstFrame->u32Seq, i);
            EXPECT_EQ(info.pstFrame->enBitwidth, AUDIO_BIT_WIDTH_16);
            EXPECT_EQ(info.pstFrame->enSoundmode, AUDIO_SOUND_MODE_MONO);
            ASSERT_EQ(MK_MPI_ADEC_ReleaseFrame(3, &info), MK_SUCCESS);
        }
        const drivers::AdecChnView v = Drv()->Channel(3);
        EXPECT_EQ(v.dbg.u32RecvPackets, 20u);
        EXPECT_EQ(v.dbg.u32DecFrames, 20u);
        EXPECT_EQ(v.dbg.u32GetFrames, 20u);
        EXPECT_EQ(v.dbg.u32ReleaseFrames, 20u);
        EXPECT_EQ(v.dbg.u32G726Bps, 8u);
        EXPECT_EQ(v.dbg.u32AdpcmType, 3u);
        EXPECT_EQ(v.dbg.u32Mode, 0u);
        ASSERT_EQ(MK_MPI_ADEC_DestroyChn(3), MK_SUCCESS);
    }
}

TEST_F(AdecTest, PackModeLeavesTheCallersPacketAlone) {
    // Most-significant-first G.726 is repacked in place by the engine's decoder.
    AUDIO_ATTR_G726_S g726{G726_32K_MSB};
    const ADEC_CHN_ATTR_S a = Attr(PT_G726, 4, ADEC_MODE_PACK, &g726);
    ASSERT_EQ(MK_MPI_ADEC_CreateChn(0, &a), MK_SUCCESS);
    EXPECT_EQ(Drv()->Channel(0).dbg.u32G726Bps, static_cast<MK_U32>(G726_32K_MSB));
    Frames f = Encode(VOICE_CODEC_G726_32_MSB, 2, 160);
    const std::vector<MK_U8> before = f.packets[0];
    AUDIO_STREAM_S s = Stream(f.packets[0]);
    ASSERT_EQ(MK_MPI_ADEC_SendStream(0, &s, 0), MK_SUCCESS);
    EXPECT_EQ(f.packets[0], before);
    AUDIO_FRAME_INFO_S info{};
    ASSERT_EQ(MK_MPI_ADEC_GetFrame(0, &info, 0), MK_SUCCESS);
    EXPECT_EQ(Pcm(info), f.pcm[0]);
}

TEST_F(AdecTest, PackModeSlotsAndLengths) {
    const ADEC_CHN_ATTR_S a = Attr(PT_LPCM, 2, ADEC_MODE_PACK);
    ASSERT_EQ(MK_MPI_ADEC_CreateChn(1, &a), MK_SUCCESS);
    std::vector<MK_U8> big(16385, 0x11);
    AUDIO_STREAM_S s = Stream(big);
    EXPECT_EQ(MK_MPI_ADEC_SendStream(1, &s, 0), kErrParam);
    s.u32Len = 16384;
    ASSERT_EQ(MK_MPI_ADEC_SendStream(1, &s, 0), MK_SUCCESS);
    // Two slots keep one in reserve: the second packet waits for a release.
    EXPECT_EQ(MK_MPI_ADEC_SendStream(1, &s, 0), kErrFull);
    AUDIO_FRAME_INFO_S info{};
    ASSERT_EQ(MK_MPI_ADEC_GetFrame(1, &info, 0), MK_SUCCESS);
    EXPECT_EQ(info.pstFrame->u32Len, 16384u);
    EXPECT_EQ(MK_MPI_ADEC_SendStream(1, &s, 0), kErrFull);
    ASSERT_EQ(MK_MPI_ADEC_ReleaseFrame(1, &info), MK_SUCCESS);
    EXPECT_EQ(MK_MPI_ADEC_SendStream(1, &s, 0), MK_SUCCESS);
    s.pStream = nullptr;
    EXPECT_EQ(MK_MPI_ADEC_SendStream(1, &s, 0), kErrNull);
    s.pStream = big.data();
    EXPECT_EQ(MK_MPI_ADEC_SendStream(1, &s, 2), kErrParam);
}

TEST_F(AdecTest, FramesComeBackOnlyOnceAndOnlyWhenTaken) {
    const ADEC_CHN_ATTR_S a = Attr(PT_G711A, 2, ADEC_MODE_PACK);
    ASSERT_EQ(MK_MPI_ADEC_CreateChn(2, &a), MK_SUCCESS);
    AUDIO_FRAME_INFO_S info{};
    EXPECT_EQ(MK_MPI_ADEC_GetFrame(2, &info, 0), kErrEmpty);
    EXPECT_EQ(MK_MPI_ADEC_GetFrame(2, &info, 2), kErrParam);
    Frames f = Encode(VOICE_CODEC_G711A, 3, 80);
    // Two slots: the first two packets take slot 0 and slot 1, the third slot 0 again.
    AUDIO_FRAME_INFO_S taken[2]{};
    for (int i = 0; i < 2; ++i) {
        AUDIO_STREAM_S s = Stream(f.packets[i]);
        ASSERT_EQ(MK_MPI_ADEC_SendStream(2, &s, 0), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_ADEC_GetFrame(2, &taken[i], 0), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_ADEC_ReleaseFrame(2, &taken[i]), MK_SUCCESS);
        EXPECT_EQ(MK_MPI_ADEC_ReleaseFrame(2, &taken[i]), kErrParam) << "released twice";
    }
    ASSERT_NE(taken[0].u32Id, taken[1].u32Id);
    AUDIO_STREAM_S s = Stream(f.packets[2]);
    ASSERT_EQ(MK_MPI_ADEC_SendStream(2, &s, 0), MK_SUCCESS);
    // Slot 0 now holds the third frame, ready but never taken: giving it back would hand it out twice.
    EXPECT_EQ(MK_MPI_ADEC_ReleaseFrame(2, &taken[0]), kErrParam);
    AUDIO_FRAME_INFO_S third{};
    ASSERT_EQ(MK_MPI_ADEC_GetFrame(2, &third, 0), MK_SUCCESS);
    EXPECT_EQ(third.u32Id, taken[0].u32Id);
    EXPECT_EQ(Pcm(third), f.pcm[2]);
    EXPECT_EQ(MK_MPI_ADEC_GetFrame(2, &info, 0), kErrEmpty);
    AUDIO_FRAME_INFO_S wrongId{third.pstFrame, taken[1].u32Id};
    EXPECT_EQ(MK_MPI_ADEC_ReleaseFrame(2, &wrongId), kErrParam) << "pointer of another slot";
    AUDIO_FRAME_INFO_S outOfRange{third.pstFrame, 2};
    EXPECT_EQ(MK_MPI_ADEC_ReleaseFrame(2, &outOfRange), kErrParam);
    AUDIO_FRAME_INFO_S null{nullptr, third.u32Id};
    EXPECT_EQ(MK_MPI_ADEC_ReleaseFrame(2, &null), kErrNull);
    EXPECT_EQ(MK_MPI_ADEC_ReleaseFrame(2, &third), MK_SUCCESS);
}

// Stream mode: the frames of one packet sent in pieces of every size come out whole, in order, each
// with the time stamp of the last piece its bytes reached.
struct PieceCase {
    size_t piece;  // bytes per send; 0: everything in one send
    MK_U32 bufSize;
};

class AdecStreamTest : public AdecTest, public ::testing::WithParamInterface<PieceCase> {};

TEST_P(AdecStreamTest, PiecesOfAnySizeGiveWholeFrames) {
    const PieceCase c = GetParam();
    const ADEC_CHN_ATTR_S a = Attr(PT_G711A, c.bufSize, ADEC_MODE_STREAM);
    ASSERT_EQ(MK_MPI_ADEC_CreateChn(4, &a), MK_SUCCESS);
    const int frames = 120;  // 120 x 164 bytes: more than the 16384-byte stream buffer
    Frames f = Encode(VOICE_CODEC_G711A, frames, 160);
    std::vector<MK_U8> all;
    for (auto& p : f.packets) all.insert(all.end(), p.begin(), p.end());
    ASSERT_GT(all.size(), 16384u);

    std::vector<std::vector<int16_t>> got;
    std::vector<MK_U64> stamps;
    std::thread taker([&] {
        for (int i = 0; i < frames; ++i) {
            AUDIO_FRAME_INFO_S info{};
            if (MK_MPI_ADEC_GetFrame(4, &info, 1) != MK_SUCCESS) return;
            got.push_back(Pcm(info));
            stamps.push_back(info.pstFrame->u64TimeStamp);
            EXPECT_EQ(info.pstFrame->u32Seq, static_cast<MK_U32>(i));
            MK_MPI_ADEC_ReleaseFrame(4, &info);
        }
    });
    const size_t piece = c.piece == 0 ? all.size() : c.piece;
    for (size_t at = 0; at < all.size(); at += piece) {
        AUDIO_STREAM_S s = Stream(all, 100000 + at, at, std::min(piece, all.size() - at));
        ASSERT_EQ(MK_MPI_ADEC_SendStream(4, &s, 1), MK_SUCCESS) << at;
    }
    taker.join();
    ASSERT_EQ(got.size(), static_cast<size_t>(frames));
    for (int i = 0; i < frames; ++i) {
        EXPECT_EQ(got[i], f.pcm[i]) << "frame " << i;
        // The frame ends at byte 164 (i + 1) - 1: the piece holding that byte started here. Single bytes
        // outnumber the 300 time-stamp nodes, so some pieces go without one.
        const size_t last = 164 * (i + 1) - 1;
        if (piece > 1) {
            EXPECT_EQ(stamps[i], 100000 + last / piece * piece) << "frame " << i;
        }
    }
    EXPECT_EQ(Drv()->Channel(4).dbg.u32Mode, 1u);
}

INSTANTIATE_TEST_SUITE_P(Pieces, AdecStreamTest,
                         ::testing::Values(PieceCase{1, 8}, PieceCase{164, 2}, PieceCase{1000, 4},
                                           PieceCase{0, 300}));

TEST_F(AdecTest, ABlockingSendWaitsForRoomAndDropsNothing) {
    // Two slots: the decode thread stops after two frames until the caller takes them, and the
    // stream buffer stays full meanwhile.
    const ADEC_CHN_ATTR_S a = Attr(PT_G711A, 2, ADEC_MODE_STREAM);
    ASSERT_EQ(MK_MPI_ADEC_CreateChn(12, &a), MK_SUCCESS);
    const int frames = 120;
    Frames f = Encode(VOICE_CODEC_G711A, frames, 160);
    std::vector<MK_U8> all;
    for (auto& p : f.packets) all.insert(all.end(), p.begin(), p.end());
    std::atomic<MK_S32> sent{1};
    std::thread sender([&] {
        AUDIO_STREAM_S s = Stream(all);
        sent = MK_MPI_ADEC_SendStream(12, &s, 1);
    });
    ASSERT_TRUE(WaitFor([] { return mk::adec_testing::FullWaits(12) >= 3; }));
    for (int i = 0; i < frames; ++i) {
        AUDIO_FRAME_INFO_S info{};
        ASSERT_EQ(MK_MPI_ADEC_GetFrame(12, &info, 1), MK_SUCCESS) << i;
        EXPECT_EQ(Pcm(info), f.pcm[i]) << "frame " << i;
        ASSERT_EQ(MK_MPI_ADEC_ReleaseFrame(12, &info), MK_SUCCESS);
    }
    sender.join();
    EXPECT_EQ(sent.load(), MK_SUCCESS);
}

TEST_F(AdecTest, NonBlockingStreamSendTakesAllOrNothing) {
    const ADEC_CHN_ATTR_S a = Attr(PT_G711U, 4, ADEC_MODE_STREAM);
    ASSERT_EQ(MK_MPI_ADEC_CreateChn(5, &a), MK_SUCCESS);
    std::vector<MK_U8> junk(16385, 0xFF);
    AUDIO_STREAM_S s = Stream(junk);
    EXPECT_EQ(MK_MPI_ADEC_SendStream(5, &s, 0), kErrFull);
    s.u32Len = 0;
    EXPECT_EQ(MK_MPI_ADEC_SendStream(5, &s, 0), MK_SUCCESS);
    EXPECT_EQ(Drv()->Channel(5).dbg.u32RecvPackets, 1u) << "the empty send counts, the refused one not";
    Frames f = Encode(VOICE_CODEC_G711U, 1, 480);
    s = Stream(f.packets[0]);
    ASSERT_EQ(MK_MPI_ADEC_SendStream(5, &s, 0), MK_SUCCESS);
    AUDIO_FRAME_INFO_S info{};
    ASSERT_EQ(MK_MPI_ADEC_GetFrame(5, &info, 1), MK_SUCCESS);
    EXPECT_EQ(Pcm(info), f.pcm[0]) << "nothing of the refused send was kept";
}

TEST_F(AdecTest, ClearDropsReadyFramesAndABlockedGetterWaitsForTheNextOne) {
    const ADEC_CHN_ATTR_S a = Attr(PT_G711A, 8, ADEC_MODE_PACK);
    ASSERT_EQ(MK_MPI_ADEC_CreateChn(6, &a), MK_SUCCESS);
    Frames f = Encode(VOICE_CODEC_G711A, 4, 160);
    for (int i = 0; i < 3; ++i) {
        AUDIO_STREAM_S s = Stream(f.packets[i]);
        ASSERT_EQ(MK_MPI_ADEC_SendStream(6, &s, 0), MK_SUCCESS);
    }
    ASSERT_EQ(MK_MPI_ADEC_ClearChnBuf(6), MK_SUCCESS);
    AUDIO_FRAME_INFO_S info{};
    EXPECT_EQ(MK_MPI_ADEC_GetFrame(6, &info, 0), kErrEmpty);

    // Twice, so that a post left behind by the first clear would show in the second round.
    for (int round = 0; round < 2; ++round) {
        std::atomic<MK_S32> ret{1};
        std::vector<int16_t> pcm;
        std::thread getter([&] {
            AUDIO_FRAME_INFO_S got{};
            ret = MK_MPI_ADEC_GetFrame(6, &got, 1);
            if (ret == MK_SUCCESS) {
                pcm = Pcm(got);
                MK_MPI_ADEC_ReleaseFrame(6, &got);
            }
        });
        ASSERT_TRUE(WaitFor([] { return mk::adec_testing::Waiters(6) == 1; }));
        ASSERT_EQ(MK_MPI_ADEC_ClearChnBuf(6), MK_SUCCESS);
        EXPECT_EQ(mk::adec_testing::Waiters(6), 1u) << "the clear leaves the getter waiting";
        AUDIO_STREAM_S s = Stream(f.packets[3]);
        ASSERT_EQ(MK_MPI_ADEC_SendStream(6, &s, 0), MK_SUCCESS);
        getter.join();
        EXPECT_EQ(ret.load(), MK_SUCCESS);
        EXPECT_EQ(pcm, f.pcm[3]);
    }
}

TEST_F(AdecTest, DestroyWakesBlockedGettersAndSenders) {
    const ADEC_CHN_ATTR_S a = Attr(PT_G711A, 2, ADEC_MODE_PACK);
    ASSERT_EQ(MK_MPI_ADEC_CreateChn(7, &a), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_ADEC_CreateChn(8, &a), MK_SUCCESS);
    Frames f = Encode(VOICE_CODEC_G711A, 1, 80);
    AUDIO_STREAM_S s = Stream(f.packets[0]);
    ASSERT_EQ(MK_MPI_ADEC_SendStream(8, &s, 1), MK_SUCCESS);  // channel 8's only free slot
    std::atomic<MK_S32> got[2]{{1}, {1}}, sent{1};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i) {
        waiters.emplace_back([&got, i] {
            AUDIO_FRAME_INFO_S info{};
            got[i] = MK_MPI_ADEC_GetFrame(7, &info, 1);
        });
    }
    waiters.emplace_back([&] {
        AUDIO_STREAM_S s2 = s;
        sent = MK_MPI_ADEC_SendStream(8, &s2, 1);
    });
    ASSERT_TRUE(
        WaitFor([] { return mk::adec_testing::Waiters(7) == 2 && mk::adec_testing::Waiters(8) == 1; }));
    ASSERT_EQ(MK_MPI_ADEC_DestroyChn(7), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_ADEC_DestroyChn(8), MK_SUCCESS);
    for (std::thread& t : waiters) t.join();
    EXPECT_EQ(got[0].load(), kErrUnexist);
    EXPECT_EQ(got[1].load(), kErrUnexist);
    EXPECT_EQ(sent.load(), kErrUnexist);
    // The channels come back as new.
    ASSERT_EQ(MK_MPI_ADEC_CreateChn(7, &a), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_ADEC_SendStream(7, &s, 0), MK_SUCCESS);
    AUDIO_FRAME_INFO_S info{};
    ASSERT_EQ(MK_MPI_ADEC_GetFrame(7, &info, 1), MK_SUCCESS);
    EXPECT_EQ(info.pstFrame->u32Seq, 0u);
}

// Every step of channel creation failed in turn leaves nothing behind, and the channel can be made.
struct StepCase {
    const char* step;
    Fault fault;
    ADEC_MODE_E mode;
};

class AdecCreateStepTest : public AdecTest, public ::testing::WithParamInterface<StepCase> {};

TEST_P(AdecCreateStepTest, FailureUnwindsEverything) {
    const StepCase c = GetParam();
    const ADEC_CHN_ATTR_S a = Attr(PT_G711A, 300, c.mode);
    const int threads = Threads();
    mk::audio::ArmFault(c.fault);
    EXPECT_EQ(MK_MPI_ADEC_CreateChn(9, &a), kErrNoMem) << c.step;
    EXPECT_FALSE(Drv()->Channel(9).created);
    EXPECT_TRUE(WaitFor([threads] { return Threads() == threads; }))
        << "a joined thread leaves the task list";
    AUDIO_FRAME_INFO_S info{};
    EXPECT_EQ(MK_MPI_ADEC_GetFrame(9, &info, 0), kErrUnexist);
    ASSERT_EQ(MK_MPI_ADEC_CreateChn(9, &a), MK_SUCCESS);
    Frames f = Encode(VOICE_CODEC_G711A, 1, 240);
    AUDIO_STREAM_S s = Stream(f.packets[0]);
    ASSERT_EQ(MK_MPI_ADEC_SendStream(9, &s, 1), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_ADEC_GetFrame(9, &info, 1), MK_SUCCESS);
    EXPECT_EQ(Pcm(info), f.pcm[0]);
    ASSERT_EQ(MK_MPI_ADEC_DestroyChn(9), MK_SUCCESS);
    EXPECT_TRUE(WaitFor([threads] { return Threads() == threads; }))
        << "a joined thread leaves the task list";
}

INSTANTIATE_TEST_SUITE_P(Steps, AdecCreateStepTest,
                         ::testing::Values(StepCase{"decoder context", Fault::kAdpAlloc, ADEC_MODE_PACK},
                                           StepCase{"frame pool", Fault::kAdecPool, ADEC_MODE_PACK},
                                           StepCase{"frame data", Fault::kAdecFrameData, ADEC_MODE_STREAM},
                                           StepCase{"time stamps", Fault::kAdecTst, ADEC_MODE_STREAM},
                                           StepCase{"output thread", Fault::kAdecSendThread, ADEC_MODE_PACK},
                                           StepCase{"decode thread", Fault::kAdecDecThread,
                                                    ADEC_MODE_STREAM}));

// A receiver standing in for audio output in the bind table.
struct Receiver {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::vector<int16_t>> frames;
    std::vector<MPP_CHN_S> where;
};
Receiver* g_receiver = nullptr;

MK_S32 Receive(MK_S32 dev, MK_S32 chn, MK_U32, MPP_DATA_TYPE_E type, MK_VOID* data) {
    EXPECT_EQ(type, MPP_DATA_AUDIO_FRAME);
    const auto* rec = static_cast<const AUDIO_FRAME_RECORD_S*>(data);
    EXPECT_EQ(rec->stAecFrm.bValid, MK_FALSE);
    const auto* p = static_cast<const int16_t*>(rec->stFrame.pVirAddr[0]);
    std::lock_guard<std::mutex> lock(g_receiver->mutex);
    g_receiver->frames.emplace_back(p, p + rec->stFrame.u32Len / 2);
    g_receiver->where.push_back({MK_ID_AO, dev, chn});
    g_receiver->cv.notify_all();
    return MK_SUCCESS;
}

TEST_F(AdecTest, ABoundChannelDeliversItsFramesThroughTheBindTable) {
    Receiver r;
    g_receiver = &r;
    BIND_RECEIVER_INFO_S info{MK_ID_AO, 3, 20, Receive, nullptr};
    ASSERT_EQ(SYS_BIND_RegisterReceiver(&info), MK_SUCCESS);
    const ADEC_CHN_ATTR_S a = Attr(PT_G711U, 8, ADEC_MODE_STREAM);
    ASSERT_EQ(MK_MPI_ADEC_CreateChn(10, &a), MK_SUCCESS);
    MPP_CHN_S src{MK_ID_ADEC, 0, 10}, dst{MK_ID_AO, 1, 4};
    ASSERT_EQ(SYS_Bind(&src, &dst), MK_SUCCESS);
    Frames f = Encode(VOICE_CODEC_G711U, 30, 320);
    for (auto& p : f.packets) {
        AUDIO_STREAM_S s = Stream(p);
        ASSERT_EQ(MK_MPI_ADEC_SendStream(10, &s, 1), MK_SUCCESS);
    }
    {
        std::unique_lock<std::mutex> lock(r.mutex);
        ASSERT_TRUE(r.cv.wait_for(lock, std::chrono::seconds(10), [&] { return r.frames.size() == 30; }));
    }
    for (size_t i = 0; i < 30; ++i) {
        EXPECT_EQ(r.frames[i], f.pcm[i]) << i;
        EXPECT_EQ(r.where[i].s32DevId, 1);
        EXPECT_EQ(r.where[i].s32ChnId, 4);
    }
    AUDIO_FRAME_INFO_S left{};
    EXPECT_EQ(MK_MPI_ADEC_GetFrame(10, &left, 0), kErrEmpty);
    ASSERT_EQ(MK_MPI_ADEC_DestroyChn(10), MK_SUCCESS);
    SYS_BIND_UnRegisterReceiver(MK_ID_AO);
    g_receiver = nullptr;
}

TEST_F(AdecTest, EndOfStreamDropsTheTrailingPartAndResetsTheDecoder) {
    AUDIO_ATTR_G726_S g726{G726_24K};
    const ADEC_CHN_ATTR_S a = Attr(PT_G726, 16, ADEC_MODE_STREAM, &g726);
    ASSERT_EQ(MK_MPI_ADEC_CreateChn(11, &a), MK_SUCCESS);
    Frames first = Encode(VOICE_CODEC_G726_24, 3, 160, 3);
    Frames second = Encode(VOICE_CODEC_G726_24, 3, 160, 9);  // coded from a fresh coder state
    std::vector<MK_U8> bytes;
    for (auto& p : first.packets) bytes.insert(bytes.end(), p.begin(), p.end());
    bytes.insert(bytes.end(), second.packets[0].begin(), second.packets[0].begin() + 20);  // a part frame
    AUDIO_STREAM_S s = Stream(bytes);
    ASSERT_EQ(MK_MPI_ADEC_SendStream(11, &s, 1), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_ADEC_SendEndOfStream(11, 0), MK_SUCCESS);
    for (int i = 0; i < 3; ++i) {
        AUDIO_FRAME_INFO_S info{};
        ASSERT_EQ(MK_MPI_ADEC_GetFrame(11, &info, 1), MK_SUCCESS);
        EXPECT_EQ(Pcm(info), first.pcm[i]);
        MK_MPI_ADEC_ReleaseFrame(11, &info);
    }
    // Once the part frame is dropped and the decoder reset, the second stream decodes as from the start.
    ASSERT_TRUE(WaitFor([] {
        AUDIO_FRAME_INFO_S none{};
        return MK_MPI_ADEC_SendEndOfStream(11, 0) == MK_SUCCESS && mk::adec_testing::Waiters(11) == 0 &&
               MK_MPI_ADEC_GetFrame(11, &none, 0) == kErrEmpty;
    }));
    ASSERT_EQ(MK_MPI_ADEC_SendEndOfStream(11, 1), MK_SUCCESS);  // and at once, whatever the thread did
    for (size_t i = 0; i < second.packets.size(); ++i) {
        AUDIO_STREAM_S p = Stream(second.packets[i], 5000 + i);
        ASSERT_EQ(MK_MPI_ADEC_SendStream(11, &p, 1), MK_SUCCESS);
        AUDIO_FRAME_INFO_S info{};
        ASSERT_EQ(MK_MPI_ADEC_GetFrame(11, &info, 1), MK_SUCCESS);
        EXPECT_EQ(Pcm(info), second.pcm[i]) << i;
        EXPECT_EQ(info.pstFrame->u64TimeStamp, 5000 + i) << "no stamp of the dropped stream is left";
        MK_MPI_ADEC_ReleaseFrame(11, &info);
    }
    EXPECT_EQ(MK_MPI_ADEC_SendEndOfStream(11, 2), kErrParam);
    EXPECT_EQ(MK_MPI_ADEC_SendEndOfStream(12, 0), kErrUnexist);
}

TEST_F(AdecTest, ExitDestroysEveryChannelAndInitBringsTheDecodersBack) {
    const ADEC_CHN_ATTR_S a = Attr(PT_G711A, 4, ADEC_MODE_STREAM);
    const int threads = Threads();
    for (MK_S32 chn : {0, 15, 31}) ASSERT_EQ(MK_MPI_ADEC_CreateChn(chn, &a), MK_SUCCESS);
    EXPECT_EQ(Drv()->CreatedChannels(), 3);
    ASSERT_EQ(MPI_ADEC_Exit(), MK_SUCCESS);
    EXPECT_EQ(Drv()->CreatedChannels(), 0);
    EXPECT_TRUE(WaitFor([threads] { return Threads() == threads; }))
        << "a joined thread leaves the task list";
    EXPECT_EQ(MK_MPI_ADEC_CreateChn(0, &a), kErrParam) << "no decoders while the module is down";
    ASSERT_EQ(MPI_ADEC_Init(), MK_SUCCESS);
    ASSERT_EQ(MPI_ADEC_Init(), MK_SUCCESS);
    EXPECT_EQ(MK_MPI_ADEC_CreateChn(0, &a), MK_SUCCESS);
}

TEST_F(AdecTest, AFailedStartLeavesTheSenderFreeForTheNextStart) {
    ASSERT_EQ(MPI_ADEC_Exit(), MK_SUCCESS);
    mk::audio::ArmFault(Fault::kAdecMutex);
    EXPECT_EQ(MPI_ADEC_Init(), kErrNoMem);
    ASSERT_EQ(MPI_ADEC_Init(), MK_SUCCESS);  // would end the process if the sender stayed registered
    const ADEC_CHN_ATTR_S a = Attr(PT_G711A, 4, ADEC_MODE_PACK);
    EXPECT_EQ(MK_MPI_ADEC_CreateChn(0, &a), MK_SUCCESS);
}

TEST(AdecRegistryTest, NullsAreRefusedAndTheRegistryHoldsTwenty) {
    ASSERT_EQ(SYS_BIND_Init(), MK_SUCCESS);
    ASSERT_EQ(MPI_ADEC_Init(), MK_SUCCESS);
    ADEC_DECODER_S d{};
    d.pfnOpenDecoder = [](MK_VOID*, MK_VOID**) { return MK_SUCCESS; };
    d.pfnDecodeFrm = [](MK_VOID*, MK_U8**, MK_S32*, MK_U16*, MK_U32*, MK_U32*) { return MK_SUCCESS; };
    d.pfnGetFrmInfo = [](MK_VOID*, MK_VOID*) { return MK_SUCCESS; };
    d.pfnCloseDecoder = [](MK_VOID*) { return MK_SUCCESS; };
    MK_S32 handle = -1;
    EXPECT_EQ(MPI_ADEC_RegisterDecoder(nullptr, &d), kErrNull);
    EXPECT_EQ(MPI_ADEC_RegisterDecoder(&handle, nullptr), kErrNull);
    for (int which = 0; which < 4; ++which) {
        ADEC_DECODER_S bad = d;
        bad.enType = 500;
        if (which == 0) bad.pfnOpenDecoder = nullptr;
        if (which == 1) bad.pfnDecodeFrm = nullptr;
        if (which == 2) bad.pfnGetFrmInfo = nullptr;
        if (which == 3) bad.pfnCloseDecoder = nullptr;
        EXPECT_EQ(MPI_ADEC_RegisterDecoder(&handle, &bad), kErrNull) << which;
    }
    // Five built-ins are there: fifteen more fit, the next does not, and neither does a duplicate.
    for (MK_U32 t = 0; t < 15; ++t) {
        d.enType = 600 + t;
        ASSERT_EQ(MPI_ADEC_RegisterDecoder(&handle, &d), MK_SUCCESS) << t;
        EXPECT_EQ(handle, static_cast<MK_S32>(5 + t));
    }
    d.enType = 700;
    EXPECT_EQ(MPI_ADEC_RegisterDecoder(&handle, &d), kErrFull);
    MPI_ADEC_Exit();
    ASSERT_EQ(MPI_ADEC_Init(), MK_SUCCESS);
    d.enType = PT_G726;
    EXPECT_EQ(MPI_ADEC_RegisterDecoder(&handle, &d), kErrFull) << "duplicate of a built-in";
    d.enType = 700;
    d.pfnResetDecoder = nullptr;
    EXPECT_EQ(MPI_ADEC_RegisterDecoder(&handle, &d), MK_SUCCESS) << "reset may be null";
    MPI_ADEC_Exit();
}

}  // namespace
