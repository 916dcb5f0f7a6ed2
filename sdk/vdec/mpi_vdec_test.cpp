#include <sys/ioctl.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "platform/drivers/core/kernel.h"
#include "platform/drivers/mem/mem_driver.h"
#include "platform/drivers/vdec/vdec_driver.h"
#include "platform/mem/ram.h"
#include "platform/mem/zone.h"
#include "sdk/common/testing/bus_environment.h"
#include "sdk/common/testing/request_table.h"
#include "sdk/vdec/mpi_vdec.h"
#include "sdk/vdec/vdec_jpeg.h"

namespace {

using varnelle::drivers::CountVdecFrames;
using varnelle::drivers::VdecDriver;
using namespace mk::testing;

const auto* const kBus = ::testing::AddGlobalTestEnvironment(new mk::testing::BusEnvironment("vdec"));

constexpr MK_S32 Code(MK_U32 c) { return static_cast<MK_S32>(c); }
constexpr MK_S32 kErrChn = Code(0xA0058002u);
constexpr MK_S32 kErrParam = Code(0xA0058003u);
constexpr MK_S32 kErrExist = Code(0xA0058004u);
constexpr MK_S32 kErrUnexist = Code(0xA0058005u);
constexpr MK_S32 kErrNull = Code(0xA0058006u);
constexpr MK_S32 kErrNotSupport = Code(0xA0058008u);
constexpr MK_S32 kErrPerm = Code(0xA0058009u);
constexpr MK_S32 kErrNoMem = Code(0xA005800Cu);
constexpr MK_S32 kErrEmpty = Code(0xA005800Eu);
constexpr MK_S32 kErrFull = Code(0xA005800Fu);
constexpr MK_S32 kErrNotReady = Code(0xA0058010u);

VDEC_CHN_ATTR_S Attr(MK_U32 type, MK_U32 bufSize) {
    return VDEC_CHN_ATTR_S{type, bufSize, 5, 1920, 1080, 2, 1, 0};
}

// One H.264 access unit: SPS, PPS and an IDR slice with first_mb_in_slice 0.
const std::vector<uint8_t> kIdrFrame = {0, 0, 0, 1, 0x67, 0x42, 0, 0x1E, 0, 0, 0, 1, 0x68, 0xCE,
                                        0, 0, 1, 0x65, 0x88, 0x84, 0x21, 0x40};

class VdecTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_driver = VdecDriver::Get();
        m_driver->Reset();
        m_driver->ClearFaults();
        MPI_VDEC_SetJpegOps(nullptr);
        for (int chn = 0; chn < VDEC_MAX_CHN_NUM; ++chn) {
            ASSERT_EQ(MK_MPI_VDEC_CloseFd(chn), MK_SUCCESS);
            m_driver->HoldDecoding(chn, true);  // the stream stays buffered unless a test lets it go
        }
        m_driver->ResetCounters();
        m_baseFiles = m_driver->OpenFiles();  // the module-parameter descriptor may stay open
    }
    int OpenFiles() const { return m_driver->OpenFiles() - m_baseFiles; }
    void TearDown() override {
        m_driver->ClearFaults();
        m_driver->Reset();
        for (int chn = 0; chn < VDEC_MAX_CHN_NUM; ++chn) m_driver->HoldDecoding(chn, false);
        MPI_VDEC_SetJpegOps(nullptr);
    }
    // A started H.264 channel with a buffer of `bufSize` bytes.
    void StartH264(VDEC_CHN chn, MK_U32 bufSize) {
        VDEC_CHN_ATTR_S attr = Attr(PT_H264, bufSize);
        ASSERT_EQ(MK_MPI_VDEC_CreateChn(chn, &attr), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_VDEC_StartRecvStream(chn), MK_SUCCESS);
    }
    static VDEC_STREAM_S Packet(const std::vector<uint8_t>& bytes) {
        return VDEC_STREAM_S{bytes.data(), static_cast<MK_U32>(bytes.size()), 0, 1, 0};
    }
    // Waits (on the driver's counter, not on time) until `n` callers are blocked in the channel.
    void WaitForWaiters(VDEC_CHN chn, int n) {
        while (m_driver->Channel(chn).waiters != n) std::this_thread::yield();
    }
    std::shared_ptr<VdecDriver> m_driver;
    int m_baseFiles = 0;
};

// ---- The request table, walked generically. ----

const uint8_t kSampleBytes[64] = {0, 0, 1, 0x65, 0x88};

template <typename T>
void Sample(void* buf, int seed) {
    FillPattern(buf, SizeOf<T>(), seed);
    if constexpr (std::is_same_v<T, VDEC_STREAM_S>) {
        *static_cast<VDEC_STREAM_S*>(buf) = VDEC_STREAM_S{kSampleBytes, sizeof(kSampleBytes), 0, 1, 0};
    }
}

struct Member {
    std::string name;
    unsigned long request;
    size_t size;
    std::function<MK_S32(int, void*)> call;
    void (*sample)(void*, int);
};

#define VDEC_MEMBER(name, access, nr, T)                                                             \
    Member{#name, mk::vdec::k##name, SizeOf<T>(),                                                   \
           [](int id, void* buf) { return Invoke(&MK_MPI_VDEC_##name, id, buf); }, &Sample<SampleType<T>>},
const std::vector<Member>& Members() {
    static const std::vector<Member> members = {MK_VDEC_REQUESTS(VDEC_MEMBER)};
    return members;
}
#undef VDEC_MEMBER

// A member that only writes (number n) pairs with the member that only reads number n + 1.
std::vector<std::pair<const Member*, const Member*>> RoundTrips() {
    std::vector<std::pair<const Member*, const Member*>> pairs;
    for (const Member& set : Members()) {
        if (_IOC_DIR(set.request) != _IOC_WRITE) continue;
        for (const Member& get : Members()) {
            if (_IOC_DIR(get.request) == _IOC_READ && _IOC_NR(get.request) == _IOC_NR(set.request) + 1) {
                pairs.emplace_back(&set, &get);
            }
        }
    }
    return pairs;
}

class VdecRoundTripTest : public VdecTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(VdecRoundTripTest, SetThenGetReturnsWhatWasSet) {
    auto [setter, getter] = RoundTrips()[GetParam()];
    ASSERT_EQ(setter->size, getter->size);
    for (VDEC_CHN chn : {0, VDEC_MAX_CHN_NUM - 1}) {
        VDEC_CHN_ATTR_S attr = Attr(PT_H264, 4096);
        ASSERT_EQ(MK_MPI_VDEC_CreateChn(chn, &attr), MK_SUCCESS);
        std::vector<unsigned char> in(setter->size), out(getter->size, 0);
        setter->sample(in.data(), chn + 1);
        ASSERT_EQ(setter->call(chn, in.data()), MK_SUCCESS) << setter->name;
        ASSERT_EQ(getter->call(chn, out.data()), MK_SUCCESS) << getter->name;
        EXPECT_EQ(in, out) << getter->name << " chn " << chn;
    }
}

INSTANTIATE_TEST_SUITE_P(AllPairs, VdecRoundTripTest, ::testing::Range<size_t>(0, RoundTrips().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                             return RoundTrips()[info.param].first->name;
                         });

TEST_F(VdecTest, TableHasTheExpectedPairs) { EXPECT_EQ(RoundTrips().size(), 5u); }

TEST_F(VdecTest, EveryMemberReachesAHandlerOfItsDirectionAndSize) {
    StartH264(1, 1 << 20);
    for (const Member& m : Members()) {
        std::vector<unsigned char> buf(m.size + 1);
        m.sample(buf.data(), 1);
        errno = 0;
        EXPECT_NE(m.call(1, buf.data()), -1) << m.name << " errno " << errno;
        EXPECT_EQ(m_driver->RequestCount(m.request), 1) << m.name;
    }
}

TEST_F(VdecTest, CreatedAttributesReadBackAndASecondCreateIsRefused) {
    VDEC_CHN_ATTR_S attr = Attr(PT_H265, 777), back{};
    EXPECT_EQ(MK_MPI_VDEC_GetChnAttr(9, &back), kErrUnexist);
    ASSERT_EQ(MK_MPI_VDEC_CreateChn(9, &attr), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VDEC_GetChnAttr(9, &back), MK_SUCCESS);
    EXPECT_EQ(std::memcmp(&attr, &back, sizeof(attr)), 0);
    EXPECT_EQ(MK_MPI_VDEC_CreateChn(9, &attr), kErrExist);
    VDEC_CHN_ATTR_S noBuffer = Attr(PT_H264, 0);
    EXPECT_EQ(MK_MPI_VDEC_CreateChn(10, &noBuffer), kErrParam);
    VDEC_CHN_ATTR_S tooWide = Attr(PT_H264, 4096);
    tooWide.u32PicWidth = 8193;
    EXPECT_EQ(MK_MPI_VDEC_CreateChn(10, &tooWide), kErrParam);
    VDEC_CHN_ATTR_S mpeg4 = Attr(37, 4096);
    EXPECT_EQ(MK_MPI_VDEC_CreateChn(10, &mpeg4), kErrNotSupport) << "a codec the decoder does not have";
    EXPECT_FALSE(m_driver->Channel(10).created);
}

// ---- The wrapper pattern. ----

TEST_F(VdecTest, ChannelsOutOfRangeAreRefusedSilentlyAndOpenNothing) {
    VDEC_CHN_ATTR_S attr = Attr(PT_H264, 1024);
    VDEC_STREAM_S st{};
    VDEC_CHN_STAT_S stat{};
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    for (VDEC_CHN chn : {64, -1, INT_MIN, INT_MAX}) {
        EXPECT_EQ(MK_MPI_VDEC_CreateChn(chn, &attr), kErrChn);
        EXPECT_EQ(MK_MPI_VDEC_DestroyChn(chn), kErrChn);
        EXPECT_EQ(MK_MPI_VDEC_SendStream(chn, &st, 0), kErrChn);
        EXPECT_EQ(MK_MPI_VDEC_Query(chn, &stat), kErrChn);
        EXPECT_EQ(MK_MPI_VDEC_ResetChn(chn), kErrChn);
        EXPECT_EQ(MK_MPI_VDEC_GetFd(chn), kErrChn);
        EXPECT_EQ(MK_MPI_VDEC_CloseFd(chn), kErrChn);
        EXPECT_EQ(MK_MPI_VDEC_SetWord29(chn, 1), kErrChn);
    }
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(m_driver->OpenCount(), 0);
}

TEST_F(VdecTest, NullAndTimeOutChecksFollowTheLazyOpen) {
    VDEC_STREAM_S st = Packet(kIdrFrame);
    EXPECT_EQ(MK_MPI_VDEC_CreateChn(2, nullptr), kErrNull);
    EXPECT_EQ(m_driver->OpenCount(), 1);
    EXPECT_EQ(MK_MPI_VDEC_SendStream(3, nullptr, 0), kErrNull);
    EXPECT_EQ(MK_MPI_VDEC_SendStream(3, &st, -2), kErrParam);
    EXPECT_EQ(MK_MPI_VDEC_SendStream(3, &st, INT_MIN), kErrParam);
    VIDEO_FRAME_INFO_S frame{};
    EXPECT_EQ(MK_MPI_VDEC_GetFrame(3, &frame, -2), kErrParam);
    VDEC_USER_DATA_S data{};
    EXPECT_EQ(MK_MPI_VDEC_GetUserData(3, &data, -5), kErrParam);
    EXPECT_EQ(m_driver->OpenCount(), 2);
    EXPECT_EQ(m_driver->RequestCount(mk::vdec::kSendStream), 0);
    // -1 and 0 go to the driver (which has no such channel).
    EXPECT_EQ(MK_MPI_VDEC_SendStream(3, &st, -1), kErrUnexist);
    EXPECT_EQ(MK_MPI_VDEC_SendStream(3, &st, 0), kErrUnexist);
    EXPECT_EQ(m_driver->RequestCount(mk::vdec::kSendStream), 2);
    // The module parameters open a descriptor bound to no channel, then check the pointer.
    EXPECT_EQ(MK_MPI_VDEC_SetModParam(nullptr), kErrNull);
    EXPECT_EQ(m_driver->OpenCount(), 3);
    VDEC_MOD_PARAM_S param{{7, 9}}, back{};
    ASSERT_EQ(MK_MPI_VDEC_SetModParam(&param), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VDEC_GetModParam(&back), MK_SUCCESS);
    EXPECT_EQ(back.au32Word[1], 9u);
    EXPECT_EQ(m_driver->RequestCount(mk::vdec::kBind), 2);
}

TEST_F(VdecTest, FailedOpenAndFailedBindLeaveTheSlotClosedForTheNextCall) {
    m_driver->FailOpen(EMFILE, 1);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(MK_MPI_VDEC_StartRecvStream(4), kErrNotReady);
    m_driver->FailRequest(mk::vdec::kBind, -1, 1, EINVAL);
    EXPECT_EQ(MK_MPI_VDEC_StartRecvStream(4), kErrNotReady);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("open vdec err"), std::string::npos) << out;
    EXPECT_NE(out.find("can't bind channel"), std::string::npos) << out;
    EXPECT_EQ(OpenFiles(), 0);
    EXPECT_EQ(MK_MPI_VDEC_StartRecvStream(4), kErrUnexist) << "opened and bound: the driver answers";
    EXPECT_EQ(m_driver->OpenCount(), 2);
    EXPECT_EQ(m_driver->RequestCount(mk::vdec::kBind), 2);
}

TEST_F(VdecTest, DriverCodesReachTheCallerBitForBit) {
    VDEC_CHN_STAT_S stat{};
    for (MK_S32 code : {Code(0xA0078010u), Code(0xA005800Fu), INT_MIN}) {
        m_driver->FailRequest(mk::vdec::kQuery, code, 1);
        EXPECT_EQ(MK_MPI_VDEC_Query(0, &stat), code);
    }
}

TEST_F(VdecTest, ConcurrentFirstCallsOpenAndBindOnce) {
    constexpr int kThreads = 8;
    std::atomic<int> waiting{0};
    std::vector<MK_S32> fds(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            waiting.fetch_add(1);
            while (waiting.load() < kThreads) std::this_thread::yield();
            fds[i] = MK_MPI_VDEC_GetFd(5);
        });
    }
    for (auto& t : threads) t.join();
    for (MK_S32 fd : fds) EXPECT_EQ(fd, fds[0]);
    EXPECT_GE(fds[0], 0);
    EXPECT_EQ(m_driver->OpenCount(), 1);
    EXPECT_EQ(m_driver->RequestCount(mk::vdec::kBind), 1);
}

TEST_F(VdecTest, CloseFdClosesOnlyAnOpenSlot) {
    EXPECT_EQ(MK_MPI_VDEC_CloseFd(6), MK_SUCCESS);
    MK_S32 fd = MK_MPI_VDEC_GetFd(6);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(OpenFiles(), 1);
    EXPECT_EQ(MK_MPI_VDEC_CloseFd(6), MK_SUCCESS);
    EXPECT_EQ(OpenFiles(), 0);
    EXPECT_GE(MK_MPI_VDEC_GetFd(6), 0);
    EXPECT_EQ(m_driver->OpenCount(), 2);
}

// ---- JPEG channels. ----

TEST_F(VdecTest, JpegChannelsAreRefusedWithoutTheJpegModule) {
    for (MK_U32 type : {static_cast<MK_U32>(PT_JPEG), static_cast<MK_U32>(PT_MJPEG)}) {
        VDEC_CHN_ATTR_S attr = Attr(type, 4096);
        EXPECT_EQ(MK_MPI_VDEC_CreateChn(7, &attr), kErrNotSupport);
    }
    EXPECT_EQ(m_driver->RequestCount(mk::vdec::kCreateChn), 0);
    EXPECT_FALSE(m_driver->Channel(7).created);
}

// A stand-in JPEG module that counts its calls and answers what the test asks.
struct FakeJpeg {
    static inline std::atomic<int> creates, destroys, starts, stops, resets, started, inits, deinits;
    static inline std::atomic<MK_S32> createResult{0};
    static inline VDEC_CHN_ATTR_S lastAttr{};
    static void Clear() {
        creates = destroys = starts = stops = resets = started = inits = deinits = 0;
        createResult = 0;
    }
    static constexpr VdecJpegOps kOps = {
        [](VDEC_CHN, const VDEC_CHN_ATTR_S* a) -> MK_S32 {
            ++creates;
            lastAttr = *a;
            return createResult.load();
        },
        [](VDEC_CHN) -> MK_S32 { return ++destroys, 0; },
        [](VDEC_CHN) -> MK_S32 { return ++starts, 0; },
        [](VDEC_CHN) -> MK_S32 { return ++stops, 0; },
        [](VDEC_CHN) -> MK_S32 { return ++resets, 0; },
        [](VDEC_CHN) -> MK_S32 { return ++started, 0; },
        []() -> MK_S32 { return ++inits, 0; },
        []() -> MK_S32 { return ++deinits, 0; },
    };
};

class VdecJpegTest : public VdecTest {
protected:
    void SetUp() override {
        VdecTest::SetUp();
        FakeJpeg::Clear();
        MPI_VDEC_SetJpegOps(&FakeJpeg::kOps);
    }
};

TEST_F(VdecJpegTest, AFailedDriverResetIsReportedAndTheJpegSideStillRestarts) {
    VDEC_CHN_ATTR_S attr = Attr(PT_JPEG, 8192);
    ASSERT_EQ(MK_MPI_VDEC_CreateChn(8, &attr), MK_SUCCESS);
    m_driver->FailRequest(mk::vdec::kResetChn, kErrPerm, 1);
    EXPECT_EQ(MK_MPI_VDEC_ResetChn(8), kErrPerm);
    EXPECT_EQ(FakeJpeg::resets.load(), 1);
    EXPECT_EQ(FakeJpeg::started.load(), 1);
    EXPECT_EQ(MK_MPI_VDEC_ResetChn(8), MK_SUCCESS);
}

TEST_F(VdecJpegTest, AJpegSideThatFailsToCreateLeavesNoDriverChannel) {
    VDEC_CHN_ATTR_S attr = Attr(PT_MJPEG, 8192);
    for (MK_S32 code : {kErrNoMem, kErrNotReady}) {
        FakeJpeg::createResult = code;
        EXPECT_EQ(MK_MPI_VDEC_CreateChn(11, &attr), code);
        EXPECT_FALSE(m_driver->Channel(11).created);
    }
    // Nothing was routed: the channel record did not become a JPEG one.
    EXPECT_EQ(MK_MPI_VDEC_StartRecvStream(11), kErrUnexist);
    EXPECT_EQ(FakeJpeg::starts.load(), 0);
}

TEST_F(VdecJpegTest, ARefusedDestroyIsReportedAndTheJpegSideIsMadeAgain) {
    VDEC_CHN_ATTR_S attr = Attr(PT_JPEG, 4096);
    ASSERT_EQ(MK_MPI_VDEC_CreateChn(12, &attr), MK_SUCCESS);
    m_driver->FailRequest(mk::vdec::kDestroyChn, kErrPerm, 1);
    EXPECT_EQ(MK_MPI_VDEC_DestroyChn(12), kErrPerm) << "not the re-creation's success";
    EXPECT_EQ(FakeJpeg::creates.load(), 2);
    EXPECT_EQ(std::memcmp(&FakeJpeg::lastAttr, &attr, sizeof(attr)), 0);
    EXPECT_TRUE(m_driver->Channel(12).created);
    EXPECT_EQ(MK_MPI_VDEC_DestroyChn(12), MK_SUCCESS);
    EXPECT_FALSE(m_driver->Channel(12).created);
}

TEST_F(VdecJpegTest, AnH264ChannelOnAFormerJpegNumberIsNoLongerRouted) {
    VDEC_CHN_ATTR_S jpeg = Attr(PT_JPEG, 4096), h264 = Attr(PT_H264, 4096);
    ASSERT_EQ(MK_MPI_VDEC_CreateChn(13, &jpeg), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VDEC_StartRecvStream(13), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VDEC_StopRecvStream(13), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VDEC_DestroyChn(13), MK_SUCCESS);
    EXPECT_EQ(FakeJpeg::starts.load(), 1);
    EXPECT_EQ(FakeJpeg::stops.load(), 1);
    EXPECT_EQ(FakeJpeg::destroys.load(), 1);
    ASSERT_EQ(MK_MPI_VDEC_CreateChn(13, &h264), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VDEC_StartRecvStream(13), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VDEC_ResetChn(13), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VDEC_DestroyChn(13), MK_SUCCESS);
    EXPECT_EQ(FakeJpeg::starts.load(), 1);
    EXPECT_EQ(FakeJpeg::resets.load(), 0);
    EXPECT_EQ(FakeJpeg::destroys.load(), 1);
}

TEST_F(VdecJpegTest, InitAndExitAreHarmlessRepeatedAndInAnyOrder) {
    EXPECT_EQ(MPI_VDEC_Exit(), MK_SUCCESS) << "exit before init";
    EXPECT_EQ(FakeJpeg::deinits.load(), 0);
    EXPECT_EQ(MPI_VDEC_Init(), MK_SUCCESS);
    EXPECT_EQ(MPI_VDEC_Init(), MK_SUCCESS);
    EXPECT_EQ(FakeJpeg::inits.load(), 1);
    EXPECT_EQ(MPI_VDEC_Exit(), MK_SUCCESS);
    EXPECT_EQ(MPI_VDEC_Exit(), MK_SUCCESS);
    EXPECT_EQ(FakeJpeg::deinits.load(), 1);
}

// ---- The stream path. ----

TEST_F(VdecTest, SendNeedsAReceivingChannelAndQueryReportsWhatIsQueued) {
    VDEC_CHN_ATTR_S attr = Attr(PT_H264, 4096);
    ASSERT_EQ(MK_MPI_VDEC_CreateChn(0, &attr), MK_SUCCESS);
    VDEC_STREAM_S st = Packet(kIdrFrame);
    EXPECT_EQ(MK_MPI_VDEC_SendStream(0, &st, 0), kErrPerm);
    ASSERT_EQ(MK_MPI_VDEC_StartRecvStream(0), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VDEC_SendStream(0, &st, 0), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VDEC_SendStream(0, &st, 0), MK_SUCCESS);

    VDEC_CHN_STAT_S stat{};
    ASSERT_EQ(MK_MPI_VDEC_Query(0, &stat), MK_SUCCESS);
    MK_U32 words[15];
    std::memcpy(words, &stat, sizeof(words));
    EXPECT_EQ(words[4], 1u) << "the program reads the fifth word as receiving";
    EXPECT_EQ(stat.u32LeftStreamFrames, 2u);
    EXPECT_EQ(stat.u32LeftStreamBytes, 2 * kIdrFrame.size());

    ASSERT_EQ(MK_MPI_VDEC_StopRecvStream(0), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VDEC_Query(0, &stat), MK_SUCCESS);
    std::memcpy(words, &stat, sizeof(words));
    EXPECT_EQ(words[4], 0u);
    EXPECT_EQ(MK_MPI_VDEC_ResetChn(0), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VDEC_Query(0, &stat), MK_SUCCESS);
    EXPECT_EQ(stat.u32LeftStreamFrames, 0u) << "reset drops the queue";
    EXPECT_EQ(stat.u32LeftStreamBytes, 0u);
}

TEST_F(VdecTest, AFullBufferRefusesAtOnceWithoutWaitAndAfterAPositiveWait) {
    StartH264(1, static_cast<MK_U32>(kIdrFrame.size() * 2));
    VDEC_STREAM_S st = Packet(kIdrFrame);
    ASSERT_EQ(MK_MPI_VDEC_SendStream(1, &st, 0), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VDEC_SendStream(1, &st, 0), MK_SUCCESS);
    EXPECT_EQ(MK_MPI_VDEC_SendStream(1, &st, 0), kErrFull);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(MK_MPI_VDEC_SendStream(1, &st, 30), kErrFull);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
    m_driver->HoldDecoding(1, false);
    ASSERT_TRUE(m_driver->WaitDecoded(1, 5000));
    EXPECT_EQ(MK_MPI_VDEC_SendStream(1, &st, 0), MK_SUCCESS);
    // A packet larger than the whole buffer could never fit: refused even with an endless wait.
    std::vector<uint8_t> big(kIdrFrame.size() * 2 + 1, 0);
    VDEC_STREAM_S huge = Packet(big);
    EXPECT_EQ(MK_MPI_VDEC_SendStream(1, &huge, -1), kErrParam);
}

TEST_F(VdecTest, ABlockedSenderIsReleasedByRoomResetStopAndDestroy) {
    struct Case {
        const char* what;
        std::function<void()> release;
        MK_S32 want;
    } cases[] = {
        {"decoder takes a packet", [&] { m_driver->HoldDecoding(2, false); }, MK_SUCCESS},
        {"reset", [&] { ASSERT_EQ(MK_MPI_VDEC_ResetChn(2), MK_SUCCESS); }, kErrPerm},
        {"stop", [&] { ASSERT_EQ(MK_MPI_VDEC_StopRecvStream(2), MK_SUCCESS); }, kErrPerm},
        {"destroy", [&] { ASSERT_EQ(MK_MPI_VDEC_DestroyChn(2), MK_SUCCESS); }, kErrUnexist},
        {"system exit", [&] { varnelle::drivers::ResetMediaState(); }, kErrUnexist},
    };
    VDEC_STREAM_S st = Packet(kIdrFrame);
    for (const Case& c : cases) {
        m_driver->HoldDecoding(2, true);
        StartH264(2, static_cast<MK_U32>(kIdrFrame.size()));
        ASSERT_EQ(MK_MPI_VDEC_SendStream(2, &st, 0), MK_SUCCESS);
        std::atomic<MK_S32> result{1};
        std::thread sender([&] { result = MK_MPI_VDEC_SendStream(2, &st, -1); });
        WaitForWaiters(2, 1);
        c.release();
        sender.join();
        EXPECT_EQ(result.load(), c.want) << c.what;
        EXPECT_EQ(m_driver->Channel(2).waiters, 0) << c.what;
        if (m_driver->Channel(2).created) {
            ASSERT_EQ(MK_MPI_VDEC_DestroyChn(2), MK_SUCCESS);
        }
    }
}

TEST_F(VdecTest, TheDecoderMakesRoomAsItTakesPackets) {
    StartH264(3, static_cast<MK_U32>(kIdrFrame.size() * 2));
    VDEC_STREAM_S st = Packet(kIdrFrame);
    ASSERT_EQ(MK_MPI_VDEC_SendStream(3, &st, 0), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VDEC_SendStream(3, &st, 0), MK_SUCCESS);
    m_driver->HoldDecoding(3, false);
    // The waiting sender gets in once the decoder has taken a packet; no one makes room by hand.
    for (int i = 0; i < 6; ++i) EXPECT_EQ(MK_MPI_VDEC_SendStream(3, &st, -1), MK_SUCCESS);
    ASSERT_TRUE(m_driver->WaitDecoded(3, 5000));
    VDEC_CHN_STAT_S stat{};
    ASSERT_EQ(MK_MPI_VDEC_Query(3, &stat), MK_SUCCESS);
    EXPECT_EQ(stat.u32LeftStreamBytes, 0u);
    EXPECT_EQ(stat.u32LeftStreamFrames, 0u);
    EXPECT_EQ(stat.u32RecvStreamFrames, 8u);
}

TEST_F(VdecTest, PictureWaitsEndAtTheirTimeOutOrWhenTheChannelStops) {
    StartH264(4, 4096);
    VIDEO_FRAME_INFO_S frame{};
    EXPECT_EQ(MK_MPI_VDEC_GetFrame(4, &frame, 0), kErrEmpty);
    VDEC_USER_DATA_S data{};
    EXPECT_EQ(MK_MPI_VDEC_GetUserData(4, &data, 5), kErrEmpty);
    std::atomic<MK_S32> result{1};
    std::thread taker([&] { result = MK_MPI_VDEC_GetFrame(4, &frame, -1); });
    WaitForWaiters(4, 1);
    ASSERT_EQ(MK_MPI_VDEC_StopRecvStream(4), MK_SUCCESS);
    taker.join();
    EXPECT_EQ(result.load(), kErrEmpty);
    EXPECT_EQ(MK_MPI_VDEC_ReleaseFrame(4, &frame), kErrParam) << "no picture was handed out";
}

TEST_F(VdecTest, UserDataIsMappedAndAFailedMappingGivesItBackOnce) {
    varnelle::drivers::InstallMemDriver();
    StartH264(5, 4096);
    uint32_t phys = varnelle::mem::ZoneAllocator::Local().Allocate(8192, "", "userdata");
    ASSERT_NE(phys, 0u);
    ASSERT_TRUE(varnelle::mem::Ram::Local().Write(phys + 16, "user data!", 10));
    ASSERT_TRUE(m_driver->PutUserData(5, phys + 16, 10));
    VDEC_USER_DATA_S data{};
    ASSERT_EQ(MK_MPI_VDEC_GetUserData(5, &data, 0), MK_SUCCESS);
    ASSERT_NE(data.pu8Addr, nullptr);
    EXPECT_EQ(std::memcmp(data.pu8Addr, "user data!", 10), 0);
    EXPECT_EQ(MK_MPI_VDEC_ReleaseUserData(5, &data), MK_SUCCESS);

    // Outside RAM the mapping fails: the data goes back to the driver and the record is no longer valid,
    // so releasing it again gives nothing back twice.
    ASSERT_TRUE(m_driver->PutUserData(5, 0x10000000u, 10));
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(MK_MPI_VDEC_GetUserData(5, &data, 0), -1);
    ::testing::internal::GetCapturedStderr();
    EXPECT_NE(::testing::internal::GetCapturedStdout().find("GetUserData: VirAddr sys mmap err. "), std::string::npos);
    EXPECT_EQ(data.bValid, 0u);
    EXPECT_EQ(data.pu8Addr, nullptr);
    EXPECT_EQ(m_driver->RequestCount(mk::vdec::kReleaseUserData), 2);
    EXPECT_EQ(MK_MPI_VDEC_ReleaseUserData(5, &data), kErrParam) << "nothing is out any more";
    varnelle::mem::ZoneAllocator::Local().Free(phys);
}

TEST(VdecFrameCountTest, FramesAreCountedFromTheNalStructure) {
    struct Case {
        const char* what;
        MK_U32 type;
        std::vector<uint8_t> bytes;
        uint32_t want;
    } cases[] = {
        {"H.264 SPS PPS IDR", PT_H264, kIdrFrame, 1},
        {"H.264 one picture in two slices", PT_H264, {0, 0, 1, 0x65, 0x88, 0, 0, 1, 0x65, 0x40, 0x11}, 1},
        {"H.264 two P pictures", PT_H264, {0, 0, 0, 1, 0x41, 0x9A, 0, 0, 0, 1, 0x41, 0x9B}, 2},
        {"H.264 partitions B and C", PT_H264, {0, 0, 1, 0x23, 0x80, 0, 0, 1, 0x24, 0x80}, 0},
        {"H.264 parameter sets only", PT_H264, {0, 0, 1, 0x67, 0x42, 0, 0, 1, 0x68, 0xCE}, 0},
        {"H.264 header cut off", PT_H264, {0, 0, 1, 0x65}, 0},
        {"H.265 VPS SPS PPS IDR", PT_H265,
         {0, 0, 1, 0x40, 0x01, 0x0C, 0, 0, 1, 0x42, 0x01, 0x01, 0, 0, 1, 0x44, 0x01, 0xC1, 0, 0, 1, 0x26, 0x01,
          0xAF}, 1},
        {"H.265 second slice segment", PT_H265, {0, 0, 1, 0x02, 0x01, 0x50}, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CountVdecFrames(c.type, c.bytes.data(), c.bytes.size()), c.want) << c.what;
    }
}

TEST(VdecFrameCountTest, StartCodesAtEveryPlaceAreFoundAsAByteScanFindsThem) {
    // A byte-by-byte scan as a reference, over buffers dense with zeros, ones and slice headers, so
    // start codes overlap, touch the buffer's ends and hide behind near misses.
    auto reference = [](MK_U32 type, const std::vector<uint8_t>& d) {
        uint32_t frames = 0;
        for (size_t i = 0; i + 3 < d.size(); ++i) {
            if (d[i] != 0 || d[i + 1] != 0 || d[i + 2] != 1) continue;
            size_t h = i + 3;
            if (type == PT_H264) {
                unsigned t = d[h] & 0x1F;
                if ((t == 1 || t == 2 || t == 5) && h + 1 < d.size() && (d[h + 1] & 0x80)) ++frames;
            } else if (((d[h] >> 1) & 0x3F) <= 31 && h + 2 < d.size() && (d[h + 2] & 0x80)) {
                ++frames;
            }
            i = h - 1;
        }
        return frames;
    };
    std::mt19937 rng(7);
    const uint8_t alphabet[] = {0, 0, 0, 1, 0x65, 0x41, 0x80, 0x02, 0xFF};
    for (int n = 0; n < 2000; ++n) {
        std::vector<uint8_t> d(rng() % 40);
        for (uint8_t& b : d) b = alphabet[rng() % sizeof(alphabet)];
        for (MK_U32 type : {PT_H264, PT_H265}) {
            EXPECT_EQ(CountVdecFrames(type, d.data(), d.size()), reference(type, d)) << "buffer " << n;
        }
    }
    // Long buffers of coded-looking bytes (no two zeros meet) with start codes planted at every place
    // relative to the scanner's blocks: straddling them, at their last bytes, and at the buffer's end.
    for (size_t len : {63u, 64u, 65u, 66u, 67u, 127u, 128u, 129u, 200u, 1000u}) {
        for (size_t at = 0; at + 3 <= len; ++at) {
            std::vector<uint8_t> d(len);
            for (uint8_t& b : d) b = static_cast<uint8_t>(1 + rng() % 255);
            const uint8_t code[] = {0, 0, 1, 0x65, 0x88};
            for (size_t k = 0; k < sizeof(code) && at + k < len; ++k) d[at + k] = code[k];
            if (at >= 1 && rng() % 2 == 0) d[at - 1] = 0;  // a four-byte start code now and then
            for (MK_U32 type : {PT_H264, PT_H265}) {
                ASSERT_EQ(CountVdecFrames(type, d.data(), d.size()), reference(type, d)) << "len " << len << " at " << at;
            }
        }
    }
}

}  // namespace
