#include <sys/ioctl.h>

#include <atomic>
#include <climits>
#include <ctime>
#include <optional>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/drivers/core/bind_graph.h"
#include "platform/drivers/core/frame_testing.h"
#include "platform/drivers/core/kernel.h"
#include "platform/drivers/core/pattern.h"
#include "platform/drivers/core/vb_pools.h"
#include "platform/drivers/vi/vi_driver.h"
#include "platform/mem/ram.h"
#include "sdk/common/testing/bus_environment.h"
#include "sdk/common/testing/request_table.h"
#include "sdk/vi/mpi_vi.h"

namespace {

using varnelle::drivers::BindGraph;
using varnelle::drivers::HeldFrame;
using varnelle::drivers::VbPools;
using varnelle::drivers::ViChnView;
using varnelle::drivers::ViDriver;
using varnelle::drivers::testing::Eventually;
using varnelle::drivers::testing::ManualClock;
using varnelle::drivers::testing::RecordingSink;
using namespace mk::testing;

// A module id no driver of this program receives for: the tests' own receiver.
constexpr int kTestModule = 50;

const VI_CHN_ATTR_S* Ptr(const VI_CHN_ATTR_S& a) { return &a; }

constexpr MK_S32 kErrDev = static_cast<MK_S32>(0xA0108001u);
constexpr MK_S32 kErrChn = static_cast<MK_S32>(0xA0108002u);
constexpr MK_S32 kErrNull = static_cast<MK_S32>(0xA0108006u);
constexpr MK_S32 kErrNotReady = static_cast<MK_S32>(0xA0108010u);
constexpr MK_S32 kErrNotBound = static_cast<MK_S32>(0xA0108047u);

const auto* const kBus = ::testing::AddGlobalTestEnvironment(new mk::testing::BusEnvironment("vi"));

class ViTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_driver = ViDriver::Get();
        m_driver->Reset();
        m_driver->ClearFaults();
        ASSERT_EQ(MPI_VI_CloseFd(), MK_SUCCESS);
        m_driver->ResetCounters();
    }
    void TearDown() override {
        m_driver->ClearFaults();
        m_driver->Reset();
        VbPools::Instance().Clear();
    }
    // A pool that holds a few frames of the default picture.
    void MakePool() {
        m_pool = VbPools::Instance().CreatePool(varnelle::drivers::Yuv420Size(1920, 1088), 4, "");
        ASSERT_GE(m_pool, 0);
    }
    std::shared_ptr<ViDriver> m_driver;
    int m_pool = -1;
};

// ---- The request table, walked generically: each member with its request and a typed caller. ----

// Contents the driver accepts, different for each seed.
template <typename T>
void Sample(void* buf, int seed) {
    FillPattern(buf, SizeOf<T>(), seed);
    if constexpr (std::is_same_v<T, VI_CHN_ATTR_S>) {
        auto* a = static_cast<VI_CHN_ATTR_S*>(buf);
        a->stCapRect.u32Width = a->u32DestWidth = 352 + 16 * seed;
        a->stCapRect.u32Height = a->u32DestHeight = 288 + 2 * seed;
    } else if constexpr (std::is_same_v<T, VI_CHN_BIND_ATTR_S>) {
        *static_cast<VI_CHN_BIND_ATTR_S*>(buf) = VI_CHN_BIND_ATTR_S{seed % VIU_MAX_DEV_NUM, seed % 4};
    } else if constexpr (std::is_same_v<T, MK_U32>) {
        *static_cast<MK_U32*>(buf) = static_cast<MK_U32>(1 + seed % 5);
    }
}

struct Member {
    std::string name;
    std::string scope;
    unsigned long request;
    size_t size;
    std::function<MK_S32(int, void*)> call;
    void (*sample)(void*, int);
};

#define VI_MEMBER(name, scope, access, nr, T)                                                           \
    Member{#name, #scope, mk::vi::k##name, SizeOf<T>(),                                                \
           [](int id, void* buf) { return Invoke(&MK_MPI_VI_##name, id, buf); }, &Sample<SampleType<T>>},
const std::vector<Member>& Members() {
    static const std::vector<Member> members = {MK_VI_REQUESTS(VI_MEMBER)};
    return members;
}
#undef VI_MEMBER

const Member* Find(const std::string& name) {
    for (const Member& m : Members()) {
        if (m.name == name) return &m;
    }
    return nullptr;
}

// Set/Get pairs by name; the bind pair is the one exception to the naming.
std::vector<std::pair<const Member*, const Member*>> RoundTrips() {
    std::vector<std::pair<const Member*, const Member*>> pairs;
    for (const Member& m : Members()) {
        const Member* getter = nullptr;
        if (m.name.rfind("Set", 0) == 0) getter = Find("Get" + m.name.substr(3));
        if (m.name == "BindChn") getter = Find("GetChnBind");
        if (getter) pairs.emplace_back(&m, getter);
    }
    return pairs;
}

class ViRoundTripTest : public ViTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(ViRoundTripTest, SetThenGetReturnsWhatWasSet) {
    auto [setter, getter] = RoundTrips()[GetParam()];
    ASSERT_EQ(setter->size, getter->size);
    ASSERT_EQ(_IOC_SIZE(setter->request), setter->size);
    ASSERT_EQ(_IOC_TYPE(setter->request), 'I');
    int last = setter->scope == "DEV" ? VIU_MAX_DEV_NUM - 1 : VIU_MAX_CHN_NUM - 1;
    for (int id : {0, last}) {
        std::vector<unsigned char> in(setter->size), out(getter->size, 0);
        setter->sample(in.data(), id + 1);
        ASSERT_EQ(setter->call(id, in.data()), MK_SUCCESS) << setter->name << " id " << id;
        ASSERT_EQ(getter->call(id, out.data()), MK_SUCCESS) << getter->name << " id " << id;
        EXPECT_EQ(in, out) << getter->name << " id " << id;
    }
}

INSTANTIATE_TEST_SUITE_P(AllPairs, ViRoundTripTest, ::testing::Range<size_t>(0, RoundTrips().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                             return RoundTrips()[info.param].first->name;
                         });

TEST_F(ViTest, EveryMemberReachesAHandlerOfItsDirectionAndSize) {
    for (const Member& m : Members()) {
        std::vector<unsigned char> buf(m.size + 1);
        m.sample(buf.data(), 1);
        errno = 0;
        MK_S32 ret = m.call(1, buf.data());
        // The driver refuses a request whose direction or size does not match its record with EINVAL,
        // and one it does not know with ENOTTY.
        EXPECT_NE(ret, -1) << m.name << " errno " << errno;
        EXPECT_EQ(m_driver->RequestCount(m.request), 1) << m.name;
    }
}

// ---- The wrapper pattern. ----

TEST_F(ViTest, IdsOutOfRangeAreRefusedWithTheirMessageAndOpenNothing) {
    VI_DEV_ATTR_S dev{};
    VI_CHN_ATTR_S chn{};
    struct Case {
        std::function<MK_S32()> call;
        MK_S32 want;
        std::string message;
    } cases[] = {
        {[&] { return MK_MPI_VI_SetDevAttr(9, &dev); }, kErrDev, "ViPortId(9) is invalid\r\n"},
        {[&] { return MK_MPI_VI_EnableDev(-1); }, kErrDev, "ViPortId(-1) is invalid\r\n"},
        {[&] { return MK_MPI_VI_GetDevAttr(INT_MIN, &dev); }, kErrDev, "is invalid\r\n"},
        {[&] { return MK_MPI_VI_SetChnAttr(35, &chn); }, kErrChn, "VIChnID(35) is invalid\r\n"},
        {[&] { return MK_MPI_VI_EnableChn(-1); }, kErrChn, "VIChnID(-1) is invalid\r\n"},
        {[&] { return MK_MPI_VI_SetFrameDepth(35, 1); }, kErrChn, "VIChnID(35)"},
        {[&] { return MK_MPI_VI_GetFrame(35, nullptr, 0); }, kErrChn, "VIChnID(35)"},
        {[&] { return MK_MPI_VI_ReleaseFrame(-5, nullptr); }, kErrChn, "VIChnID(-5)"},
        {[&] { return MK_MPI_VI_GetFd(35); }, kErrChn, "VIChnID(35)"},
        {[&] { return MK_MPI_VI_GetFileHandle(VI_DEV_WORD(9)); }, kErrDev, "ViPortId(9)"},
        {[&] { return MK_MPI_VI_GetFileHandle(VI_CHN_WORD(35)); }, kErrChn, "VIChnID(35)"},
    };
    for (const Case& c : cases) {
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(c.call(), c.want) << c.message;
        std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("[Func]:MK_MPI_VI_"), std::string::npos) << err;
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
    }
    EXPECT_EQ(m_driver->OpenCount(), 0);
}

TEST_F(ViTest, NullRecordIsRefusedBeforeTheOpenExceptForTheModuleParameters) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(MK_MPI_VI_SetChnAttr(0, nullptr), kErrNull);
    EXPECT_EQ(MK_MPI_VI_GetDevAttr(0, nullptr), kErrNull);
    EXPECT_EQ(MK_MPI_VI_GetFrame(0, nullptr, 10), kErrNull);
    EXPECT_EQ(MK_MPI_VI_ReleaseFrame(0, nullptr), kErrNull);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("NULL point \r\n"), std::string::npos);
    EXPECT_EQ(m_driver->OpenCount(), 0);

    // The module parameters open device 0 first.
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(MK_MPI_VI_SetModParam(nullptr), kErrNull);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(m_driver->OpenCount(), 1);

    // The extended skip mode goes to the driver unchecked, which refuses the bad address.
    errno = 0;
    EXPECT_EQ(MK_MPI_VI_SetSkipModeEx(0, nullptr), -1);
    EXPECT_EQ(errno, EFAULT);
}

TEST_F(ViTest, FailedOpenReportsNotReadyAndTheNextCallOpensAgain) {
    m_driver->FailOpen(ENOENT, 1);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(MK_MPI_VI_EnableChn(7), kErrNotReady);
    EXPECT_EQ(MK_MPI_VI_EnableDev(2), MK_SUCCESS) << "the fault fired once";
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("open chn 7 err, ret:-1 \n"), std::string::npos) << out;
    EXPECT_EQ(MK_MPI_VI_EnableChn(7), MK_SUCCESS);
    EXPECT_TRUE(m_driver->Channel(7).enabled);
    EXPECT_TRUE(m_driver->Device(2).enabled);
}

TEST_F(ViTest, FailedBindResetsTheSlotAndTheNextCallBindsAgain) {
    m_driver->FailRequest(mk::vi::kBind, -1, 1, EINVAL);
    EXPECT_EQ(MK_MPI_VI_EnableDev(4), kErrNotReady);
    EXPECT_EQ(m_driver->OpenFiles(), 0) << "the refused descriptor is closed";
    EXPECT_EQ(MK_MPI_VI_EnableDev(4), MK_SUCCESS);
    EXPECT_EQ(m_driver->OpenCount(), 2);
    EXPECT_EQ(m_driver->RequestCount(mk::vi::kBind), 2);
    EXPECT_TRUE(m_driver->Device(4).enabled);
}

TEST_F(ViTest, DriverCodesReachTheCallerBitForBit) {
    VI_CHN_ATTR_S attr{};
    for (MK_S32 code : {static_cast<MK_S32>(0xA0078010u), static_cast<MK_S32>(0xA0108047u), INT_MIN}) {
        m_driver->FailRequest(mk::vi::kGetChnAttr, code, 1);
        EXPECT_EQ(MK_MPI_VI_GetChnAttr(3, &attr), code);
    }
}

TEST_F(ViTest, ConcurrentFirstCallsOpenAndBindOnce) {
    constexpr int kThreads = 8;
    std::atomic<int> waiting{0};
    std::atomic<int> ok{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] {
            waiting.fetch_add(1);
            while (waiting.load() < kThreads) std::this_thread::yield();
            if (MK_MPI_VI_EnableChn(12) == MK_SUCCESS) ok.fetch_add(1);
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(ok.load(), kThreads);
    EXPECT_EQ(m_driver->OpenCount(), 1);
    EXPECT_EQ(m_driver->RequestCount(mk::vi::kBind), 1);
}

TEST_F(ViTest, FileHandlesNameDevicesAndChannelsByTheirWords) {
    MK_S32 dev3 = MK_MPI_VI_GetFileHandle(VI_DEV_WORD(3));
    MK_S32 chn5 = MK_MPI_VI_GetFileHandle(VI_CHN_WORD(5));
    ASSERT_GE(dev3, 0);
    ASSERT_GE(chn5, 0);
    EXPECT_NE(dev3, chn5);
    EXPECT_EQ(MK_MPI_VI_GetFileHandle(VI_DEV_WORD(3)), dev3);
    EXPECT_EQ(MK_MPI_VI_GetFd(5), chn5);
    EXPECT_EQ(MK_MPI_VI_GetFileHandle(0x00030005u), -1) << "neither bit 23 nor bit 7";
    EXPECT_EQ(m_driver->OpenCount(), 2);

    // The descriptors are bound to their objects.
    EXPECT_EQ(MK_MPI_VI_EnableDev(3), MK_SUCCESS);
    EXPECT_TRUE(m_driver->Device(3).enabled);
    EXPECT_EQ(m_driver->OpenCount(), 2);
}

TEST_F(ViTest, CloseFdClosesEveryDescriptorAndLaterCallsReopen) {
    ASSERT_EQ(MK_MPI_VI_EnableDev(1), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VI_EnableChn(1), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VI_EnableChn(34), MK_SUCCESS);
    EXPECT_EQ(m_driver->OpenFiles(), 3);
    EXPECT_EQ(MPI_VI_CloseFd(), MK_SUCCESS);
    EXPECT_EQ(m_driver->OpenFiles(), 0);
    EXPECT_EQ(MK_MPI_VI_DisableChn(34), MK_SUCCESS);
    EXPECT_EQ(m_driver->OpenFiles(), 1);
}

// ---- Driver behaviour through the SDK. ----

TEST_F(ViTest, UnboundChannelAnswersNotBoundUntilBound) {
    VI_CHN_BIND_ATTR_S bind{};
    EXPECT_EQ(MK_MPI_VI_GetChnBind(6, &bind), kErrNotBound);
    EXPECT_EQ(MK_MPI_VI_UnBindChn(6), kErrNotBound);
    VI_CHN_BIND_ATTR_S want{1, 1};
    ASSERT_EQ(MK_MPI_VI_BindChn(6, &want), MK_SUCCESS);
    EXPECT_EQ(MK_MPI_VI_BindChn(6, &want), static_cast<MK_S32>(0xA0108009u)) << "unbind first";
    ASSERT_EQ(MK_MPI_VI_GetChnBind(6, &bind), MK_SUCCESS);
    EXPECT_EQ(bind.ViDev, 1);
    EXPECT_EQ(bind.ViWay, 1);
    EXPECT_EQ(MK_MPI_VI_UnBindChn(6), MK_SUCCESS);
    EXPECT_EQ(MK_MPI_VI_GetChnBind(6, &bind), kErrNotBound);
    VI_CHN_BIND_ATTR_S badDev{9, 0};
    EXPECT_EQ(MK_MPI_VI_BindChn(6, &badDev), static_cast<MK_S32>(0xA0108003u));
}

TEST_F(ViTest, AttributesOutsideTheCaptureLimitsAreRefused) {
    VI_CHN_ATTR_S attr{};
    ASSERT_EQ(MK_MPI_VI_GetChnAttr(0, &attr), MK_SUCCESS);
    EXPECT_GT(attr.u32DestWidth, 0u) << "plausible defaults";
    for (MK_U32 width : {0u, 1u, 8193u, 0xFFFFFFFFu}) {
        VI_CHN_ATTR_S bad = attr;
        bad.u32DestWidth = width;
        EXPECT_EQ(MK_MPI_VI_SetChnAttr(0, &bad), static_cast<MK_S32>(0xA0108003u)) << width;
    }
    EXPECT_EQ(MK_MPI_VI_SetFrameDepth(0, ViDriver::kMaxFrameDepth + 1), static_cast<MK_S32>(0xA0108003u));
}

// The time of day the pattern shows for a wall time.
int SecondsOfDay(int64_t wallUs) {
    time_t t = static_cast<time_t>(wallUs / 1000000);
    tm local{};
    localtime_r(&t, &local);
    return local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
}

VI_CHN_ATTR_S Attr(MK_U32 w, MK_U32 h, MK_S32 srcFps = 25, MK_S32 dstFps = 25) {
    VI_CHN_ATTR_S attr{};
    attr.stCapRect = {0, 0, w, h};
    attr.u32DestWidth = w;
    attr.u32DestHeight = h;
    attr.enCapSel = 2;
    attr.enScanMode = 1;
    attr.enPixFormat = MK_PIXEL_FORMAT_YUV_SEMIPLANAR_420;
    attr.s32SrcFrameRate = srcFps;
    attr.s32DstFrameRate = dstFps;
    return attr;
}

TEST_F(ViTest, GetFrameDeliversTheTestPatternInAHeldPoolBlock) {
    ManualClock clock;
    MakePool();
    ASSERT_EQ(MK_MPI_VI_SetChnAttr(9, Ptr(Attr(352, 288))), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VI_SetFrameDepth(9, 1), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VI_EnableChn(9), MK_SUCCESS);

    // Frame 0 falls due as the channel starts.
    VIDEO_FRAME_INFO_S frame{};
    ASSERT_EQ(MK_MPI_VI_GetFrame(9, &frame, 2000), MK_SUCCESS);
    EXPECT_EQ(frame.u32Width, 352u);
    EXPECT_EQ(frame.u32Height, 288u);
    EXPECT_EQ(frame.u32TimeRef, 0u);
    EXPECT_EQ(frame.u64pts, ManualClock::kStartUs);
    EXPECT_EQ(frame.enPixelFormat, static_cast<MK_U32>(MK_PIXEL_FORMAT_YUV_SEMIPLANAR_420));
    EXPECT_EQ(frame.u32PoolId, static_cast<MK_U32>(m_pool));
    auto block = VbPools::Instance().BlockAt(frame.u32PhyAddr[0]);
    ASSERT_TRUE(block.has_value());
    EXPECT_EQ(block->refs, 1) << "the user's hold only";

    // Both planes are the pattern of the frame the driver says it is, at the media clock's time.
    const size_t stride = frame.u32Stride[0];
    std::vector<uint8_t> got(stride * 288 * 3 / 2), want(stride * 288 * 3 / 2);
    ASSERT_TRUE(varnelle::mem::Ram::Local().Read(frame.u32PhyAddr[0], got.data(), stride * 288));
    ASSERT_TRUE(varnelle::mem::Ram::Local().Read(frame.u32PhyAddr[1], got.data() + stride * 288, stride * 144));
    varnelle::drivers::DrawTestPattern({want.data(), stride, want.data() + stride * 288, stride, 352, 288}, 9,
                                       frame.u32TimeRef / 2, SecondsOfDay(ManualClock::kWallUs));
    for (int row = 0; row < 288 + 144; ++row) {
        ASSERT_EQ(std::memcmp(&got[row * stride], &want[row * stride], 352), 0) << "row " << row;
    }

    // Depth 1: a second frame waits for the first to come back.
    VIDEO_FRAME_INFO_S second{};
    EXPECT_EQ(MK_MPI_VI_GetFrame(9, &second, 0), static_cast<MK_S32>(0xA010800Eu));
    EXPECT_EQ(MK_MPI_VI_ReleaseFrame(9, &frame), MK_SUCCESS);
    EXPECT_FALSE(VbPools::Instance().BlockAt(frame.u32PhyAddr[0]).has_value()) << "block back in its pool";
    EXPECT_EQ(MK_MPI_VI_ReleaseFrame(9, &frame), static_cast<MK_S32>(0xA0108003u)) << "released twice";
    // The next frame comes when it falls due.
    clock.AdvanceMs(40);
    ASSERT_EQ(MK_MPI_VI_GetFrame(9, &second, 2000), MK_SUCCESS);
    EXPECT_EQ(second.u32TimeRef, 2u);
    EXPECT_EQ(second.u64pts, ManualClock::kStartUs + 40000);
    EXPECT_EQ(MK_MPI_VI_ReleaseFrame(9, &second), MK_SUCCESS);
}

TEST_F(ViTest, FailedGetFrameLeavesTheCallersRecordAsItWas) {
    VIDEO_FRAME_INFO_S frame;
    std::memset(&frame, 0xAB, sizeof(frame));
    VIDEO_FRAME_INFO_S before = frame;
    // Disabled channel: refused by the driver.
    EXPECT_EQ(MK_MPI_VI_GetFrame(2, &frame, 0), static_cast<MK_S32>(0xA0108005u));
    EXPECT_EQ(std::memcmp(&frame, &before, sizeof(frame)), 0);
    m_driver->FailRequest(mk::vi::kGetFrame, static_cast<MK_S32>(0xA010800Eu), 1);
    EXPECT_EQ(MK_MPI_VI_GetFrame(2, &frame, 2000), static_cast<MK_S32>(0xA010800Eu));
    EXPECT_EQ(std::memcmp(&frame, &before, sizeof(frame)), 0);
}

// Frames are due at the enable time plus whole periods of the source frame rate, whenever the
// producer wakes; one that wakes late makes the newest frame due and counts the skipped ones.
TEST_F(ViTest, FramesFollowTheMediaClockAndLateOnesAreCountedMissed) {
    ManualClock clock;
    MakePool();
    RecordingSink sink(kTestModule);
    const MPP_CHN_S dst{kTestModule, 0, 2};
    ASSERT_EQ(BindGraph::Instance().Bind({MK_ID_VIU, 0, 2}, dst), 0);
    ASSERT_EQ(MK_MPI_VI_SetChnAttr(2, Ptr(Attr(64, 48))), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VI_EnableChn(2), MK_SUCCESS);
    ASSERT_TRUE(sink.WaitReceived(dst, 1));
    clock.AdvanceMs(40);
    ASSERT_TRUE(sink.WaitReceived(dst, 2));
    clock.AdvanceMs(39);  // 79 ms: frame 2 is not due before 80
    clock.AdvanceMs(1);
    ASSERT_TRUE(sink.WaitReceived(dst, 3));
    clock.AdvanceMs(1000);  // 1080 ms: frame 27 is due, 3 to 26 were never made
    ASSERT_TRUE(sink.WaitReceived(dst, 4));
    std::vector<uint32_t> refs;
    for (const auto& f : sink.Log(dst)) refs.push_back(f.u32TimeRef / 2);
    EXPECT_EQ(refs, (std::vector<uint32_t>{0, 1, 2, 27}));
    EXPECT_EQ(sink.Log(dst).back().u64pts, ManualClock::kStartUs + 27 * 40000);
    ASSERT_TRUE(Eventually([&] { return m_driver->Channel(2).framesMade == 4; }));
    ViChnView v = m_driver->Channel(2);
    EXPECT_EQ(v.framesIn, 4u);
    EXPECT_EQ(v.framesMissed, 24u);
    EXPECT_EQ(v.framesMade, 4u);
    EXPECT_EQ(sink.Received(dst), 4u) << "no frame between the due times";
    BindGraph::Instance().Unbind(dst);
}

// A source rate the driver cannot honour runs at the default, as the encoder's do: a huge one would
// make the producer wake for every microsecond.
TEST_F(ViTest, SourceFrameRatesOutsideOneTo120RunAtTheDefault) {
    ManualClock clock;
    struct Case {
        MK_S32 srcFps;
        uint64_t framesInASecond;  // frames 0 to the one due a second after the enable
    } cases[] = {{1, 2}, {120, 121}, {121, 26}, {1000000, 26}, {INT_MAX, 26}, {0, 26}, {-30, 26}};
    for (const Case& c : cases) {
        ASSERT_EQ(MK_MPI_VI_SetChnAttr(5, Ptr(Attr(64, 48, c.srcFps, 1))), MK_SUCCESS) << c.srcFps;
        ASSERT_EQ(MK_MPI_VI_EnableChn(5), MK_SUCCESS);
        clock.AdvanceMs(1000);
        const ViChnView v = m_driver->Channel(5);
        EXPECT_EQ(v.framesIn + v.framesMissed, c.framesInASecond) << c.srcFps;
        ASSERT_EQ(MK_MPI_VI_DisableChn(5), MK_SUCCESS);
    }
}

// The destination rate keeps D of every S input frames, evenly spread.
TEST_F(ViTest, TheDestinationFrameRateKeepsItsShareOfTheInputFrames) {
    ManualClock clock;
    MakePool();
    RecordingSink sink(kTestModule, 1);
    const MPP_CHN_S dst{kTestModule, 0, 3};
    ASSERT_EQ(BindGraph::Instance().Bind({MK_ID_VIU, 0, 3}, dst), 0);
    ASSERT_EQ(MK_MPI_VI_SetChnAttr(3, Ptr(Attr(64, 48, 25, 5))), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VI_EnableChn(3), MK_SUCCESS);
    for (uint64_t k = 1; k <= 25; ++k) {
        ASSERT_TRUE(Eventually([&] { return m_driver->Channel(3).framesIn == k; })) << k;
        clock.AdvanceMs(40);
    }
    ASSERT_TRUE(sink.WaitReceived(dst, 5));
    std::vector<uint32_t> kept;
    for (const auto& f : sink.Log(dst)) kept.push_back(f.u32TimeRef / 2);
    EXPECT_EQ(kept, (std::vector<uint32_t>{4, 9, 14, 19, 24}));
    BindGraph::Instance().Unbind(dst);
}

// Unbinding stops the flow: the receiver lets go of what it held, the channel makes nothing more, and
// the pool is full again. Binding again resumes it.
TEST_F(ViTest, UnbindStopsTheFlowAndThePoolIsFullAgain) {
    ManualClock clock;
    MakePool();
    RecordingSink sink(kTestModule, 3);
    const MPP_CHN_S src{MK_ID_VIU, 0, 4}, dst{kTestModule, 1, 4};
    ASSERT_EQ(MK_MPI_VI_SetChnAttr(4, Ptr(Attr(176, 144))), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VI_EnableChn(4), MK_SUCCESS);
    clock.Settle();  // frame 0 falls due with nobody bound to take it
    ASSERT_EQ(BindGraph::Instance().Bind(src, dst), 0);
    EXPECT_EQ(sink.Binds(dst), 1);
    for (uint64_t n = 1; n <= 5; ++n) {
        clock.AdvanceMs(40);
        ASSERT_TRUE(sink.WaitReceived(dst, n));
    }
    EXPECT_EQ(VbPools::Instance().Pool(m_pool)->freeBlocks, 4u - 3u) << "the receiver holds three";
    ASSERT_EQ(BindGraph::Instance().Unbind(dst), 0);
    EXPECT_EQ(sink.Unbinds(dst), 1);
    // The producer lets go of the frame it last handed on once the hand-over is done.
    ASSERT_TRUE(Eventually([&] { return m_driver->Channel(4).framesMade == 5; }));
    EXPECT_TRUE(Eventually([&] { return VbPools::Instance().Pool(m_pool)->freeBlocks == 4u; }));
    const uint64_t made = m_driver->Channel(4).framesMade;
    const uint64_t in = m_driver->Channel(4).framesIn;
    clock.AdvanceMs(40);
    ASSERT_TRUE(Eventually([&] { return m_driver->Channel(4).framesIn == in + 1; }));
    EXPECT_EQ(m_driver->Channel(4).framesMade, made) << "nobody receives: nothing is drawn";
    EXPECT_EQ(VbPools::Instance().Pool(m_pool)->freeBlocks, 4u);
    ASSERT_EQ(BindGraph::Instance().Bind(src, dst), 0);
    clock.AdvanceMs(40);
    ASSERT_TRUE(sink.WaitReceived(dst, 6));
    // Disabling the channel stops it too; the receiver still holds what it took until it lets go.
    ASSERT_EQ(MK_MPI_VI_DisableChn(4), MK_SUCCESS);
    sink.DropAll();
    EXPECT_TRUE(Eventually([&] { return VbPools::Instance().Pool(m_pool)->freeBlocks == 4u; }));
    BindGraph::Instance().Unbind(dst);
}

TEST_F(ViTest, NoFreeBlockCountsAFailureAndTheFlowGoesOn) {
    ManualClock clock;
    const int pool = VbPools::Instance().CreatePool(varnelle::drivers::FrameBytes(64, 48), 1, "");
    ASSERT_GE(pool, 0);
    ASSERT_EQ(MK_MPI_VI_AttachVbPool(6, static_cast<MK_U32>(pool)), MK_SUCCESS);
    RecordingSink sink(kTestModule, 1);
    const MPP_CHN_S dst{kTestModule, 0, 6};
    ASSERT_EQ(BindGraph::Instance().Bind({MK_ID_VIU, 0, 6}, dst), 0);
    ASSERT_EQ(MK_MPI_VI_SetChnAttr(6, Ptr(Attr(64, 48))), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VI_EnableChn(6), MK_SUCCESS);
    ASSERT_TRUE(sink.WaitReceived(dst, 1));
    clock.AdvanceMs(40);  // the one block is still held by the receiver
    ASSERT_TRUE(Eventually([&] { return m_driver->Channel(6).vbFail == 1; }));
    VI_CHN_STAT_S st{};
    ASSERT_EQ(MK_MPI_VI_Query(6, &st), MK_SUCCESS);
    EXPECT_EQ(st.u32VbFail, 1u);
    sink.DropAll();
    clock.AdvanceMs(40);
    ASSERT_TRUE(sink.WaitReceived(dst, 2));
    BindGraph::Instance().Unbind(dst);
    EXPECT_TRUE(Eventually([&] { return VbPools::Instance().Pool(pool)->freeBlocks == 1u; }));
}

TEST_F(ViTest, CapturedBlocksOutliveTheUsersReleaseWhileAConsumerHoldsThem) {
    ManualClock clock;
    MakePool();
    ASSERT_EQ(MK_MPI_VI_SetFrameDepth(0, 1), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VI_EnableChn(0), MK_SUCCESS);
    VIDEO_FRAME_INFO_S frame{};
    ASSERT_EQ(MK_MPI_VI_GetFrame(0, &frame, 2000), MK_SUCCESS);
    // A receiver takes the same picture.
    std::optional<HeldFrame> consumer;
    consumer.emplace(frame);
    ASSERT_EQ(MK_MPI_VI_ReleaseFrame(0, &frame), MK_SUCCESS);
    EXPECT_TRUE(VbPools::Instance().BlockAt(frame.u32PhyAddr[0]).has_value());
    consumer.reset();
    EXPECT_FALSE(VbPools::Instance().BlockAt(frame.u32PhyAddr[0]).has_value());
    EXPECT_FALSE(m_driver->CaptureFrame(1)) << "channel 1 is off";
}

TEST_F(ViTest, LumaLevelAndLostSignalShowInPicturesAndInTheMeasure) {
    ManualClock clock;
    MakePool();
    VI_CHN_LUMA_S luma{};
    EXPECT_EQ(MK_MPI_VI_GetChnLuma(4, &luma), static_cast<MK_S32>(0xA0108005u)) << "not enabled";
    ASSERT_EQ(MK_MPI_VI_SetChnAttr(4, Ptr(Attr(64, 48))), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VI_EnableChn(4), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VI_GetChnLuma(4, &luma), MK_SUCCESS);
    EXPECT_GT(luma.u32Luma, 64u * 48u * 16u) << "the pattern is not dark";

    // A covered lens: a flat field of the level, in the measure and in the frames.
    m_driver->SetLumaLevel(4, 30);
    ASSERT_EQ(MK_MPI_VI_GetChnLuma(4, &luma), MK_SUCCESS);
    EXPECT_EQ(luma.u32Luma, 64u * 48u * 30u);
    std::optional<HeldFrame> f = m_driver->CaptureFrame(4);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->Plane(0)[0], 30);
    EXPECT_EQ(f->Plane(0)[f->Stride(0) * 47 + 63], 30);
    EXPECT_EQ(f->Plane(1)[0], 128);
    f.reset();
    m_driver->SetLumaLevel(4, std::nullopt);

    // No signal: no live frames, lost ones counted, a dark measure.
    m_driver->SetNoSignal(4, true);
    ASSERT_EQ(MK_MPI_VI_SetFrameDepth(4, 1), MK_SUCCESS);
    clock.AdvanceMs(40);
    ASSERT_TRUE(Eventually([&] { return m_driver->Channel(4).framesLost >= 1; }));
    VIDEO_FRAME_INFO_S frame{};
    EXPECT_EQ(MK_MPI_VI_GetFrame(4, &frame, 0), static_cast<MK_S32>(0xA010800Eu));
    ASSERT_EQ(MK_MPI_VI_GetChnLuma(4, &luma), MK_SUCCESS);
    EXPECT_EQ(luma.u32Luma, 0u);
    VI_CHN_STAT_S st{};
    ASSERT_EQ(MK_MPI_VI_Query(4, &st), MK_SUCCESS);
    EXPECT_GE(st.u32LostInt, 1u);
    m_driver->SetNoSignal(4, false);
    clock.AdvanceMs(40);
    ASSERT_EQ(MK_MPI_VI_GetFrame(4, &frame, 2000), MK_SUCCESS);
    EXPECT_EQ(MK_MPI_VI_ReleaseFrame(4, &frame), MK_SUCCESS);
}

TEST_F(ViTest, UserPictureNeedsAPictureAndReplacesTheLiveInput) {
    ManualClock clock;
    MakePool();
    EXPECT_EQ(MK_MPI_VI_EnableUserPic(5), static_cast<MK_S32>(0xA0108007u));
    // A black picture in a pool block, public for every channel, set through channel 0, laid out as
    // the program builds it: luma, then two chroma parts of a quarter each.
    const MK_U32 w = 176, h = 144;
    uint32_t blk = VbPools::Instance().GetBlock(m_pool, w * h * 3 / 2);
    ASSERT_NE(blk, VbPools::kInvalid);
    MK_U32 phys = VbPools::Instance().Block(blk)->phys;
    std::vector<uint8_t> black(w * h, 0), grey(w * h / 2, 0x80);
    ASSERT_TRUE(varnelle::mem::Ram::Local().Write(phys, black.data(), black.size()));
    ASSERT_TRUE(varnelle::mem::Ram::Local().Write(phys + w * h, grey.data(), grey.size()));
    VI_USERPIC_ATTR_S pic{};
    pic.bPub = 1;
    pic.stUsrPicFrm.u32Width = w;
    pic.stUsrPicFrm.u32Height = h;
    pic.stUsrPicFrm.u32PhyAddr[0] = phys;
    pic.stUsrPicFrm.u32PhyAddr[1] = phys + w * h;
    pic.stUsrPicFrm.u32PhyAddr[2] = phys + w * h + w * h / 4;
    pic.stUsrPicFrm.u32Stride[0] = w;
    pic.stUsrPicFrm.u32Stride[1] = pic.stUsrPicFrm.u32Stride[2] = w / 4;
    ASSERT_EQ(MK_MPI_VI_SetUserPic(0, &pic), MK_SUCCESS);

    ASSERT_EQ(MK_MPI_VI_SetChnAttr(5, Ptr(Attr(352, 288))), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VI_EnableChn(5), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VI_EnableUserPic(5), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VI_DisableChnInterrupt(5), MK_SUCCESS);
    EXPECT_TRUE(m_driver->Channel(5).userPicEnabled);
    EXPECT_FALSE(m_driver->Channel(5).interruptEnabled);
    VI_CHN_LUMA_S luma{};
    ASSERT_EQ(MK_MPI_VI_GetChnLuma(5, &luma), MK_SUCCESS);
    EXPECT_EQ(luma.u32Luma, 0u) << "a black picture";
    // Without interrupt the input is gone, but the user picture still flows, at the channel's size.
    ASSERT_EQ(MK_MPI_VI_SetFrameDepth(5, 1), MK_SUCCESS);
    clock.AdvanceMs(40);
    VIDEO_FRAME_INFO_S frame{};
    ASSERT_EQ(MK_MPI_VI_GetFrame(5, &frame, 2000), MK_SUCCESS);
    EXPECT_EQ(frame.u32Width, 352u);
    EXPECT_EQ(frame.u32Height, 288u);
    uint8_t y = 0xFF;
    ASSERT_TRUE(varnelle::mem::Ram::Local().Read(frame.u32PhyAddr[0] + frame.u32Stride[0] * 100 + 200, &y, 1));
    EXPECT_EQ(y, 0u);
    EXPECT_EQ(MK_MPI_VI_ReleaseFrame(5, &frame), MK_SUCCESS);

    ASSERT_EQ(MK_MPI_VI_DisableUserPic(5), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VI_EnableChnInterrupt(5), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VI_GetChnLuma(5, &luma), MK_SUCCESS);
    EXPECT_GT(luma.u32Luma, 0u) << "the live pattern again";
    VbPools::Instance().Release(blk);
}

TEST_F(ViTest, ResetGivesBackHeldFramesAndDropsSettings) {
    ManualClock clock;
    MakePool();
    ASSERT_EQ(MK_MPI_VI_SetFrameDepth(3, 2), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VI_EnableChn(3), MK_SUCCESS);
    VIDEO_FRAME_INFO_S frame{};
    ASSERT_EQ(MK_MPI_VI_GetFrame(3, &frame, 2000), MK_SUCCESS);
    clock.AdvanceMs(40);
    ASSERT_TRUE(Eventually([&] { return m_driver->Channel(3).queuedFrames == 1; }));
    EXPECT_TRUE(VbPools::Instance().PoolInUse(m_pool));
    m_driver->Reset();
    EXPECT_FALSE(VbPools::Instance().PoolInUse(m_pool));
    EXPECT_FALSE(m_driver->Channel(3).enabled);
    EXPECT_EQ(m_driver->Channel(3).frameDepth, 0u);

    // The system's exit reaches the driver through its reset hook.
    ASSERT_EQ(MK_MPI_VI_EnableChn(7), MK_SUCCESS);
    varnelle::drivers::ResetMediaState();
    EXPECT_FALSE(m_driver->Channel(7).enabled);
}

}  // namespace
