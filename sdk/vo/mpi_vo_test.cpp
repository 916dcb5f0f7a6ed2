#include "sdk/vo/mpi_vo.h"

#include <cstring>
#include <functional>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/dev/dev.h"
#include "platform/drivers/core/vb_pools.h"
#include "platform/drivers/vo/vo_driver.h"
#include "platform/mem/ram.h"
#include "sdk/common/testing/bus_environment.h"
#include "sdk/common/testing/request_table.h"

namespace {

using namespace mk::testing;
using Entry = TableEntry;
using varnelle::drivers::VbPools;
using varnelle::drivers::VoDriver;

// The ids the table's calls use.
constexpr VO_DEV kDev = 1;
constexpr VO_LAYER kLayer = 2;
constexpr VO_CHN kChn = 5;
constexpr VO_WBC kWbc = 0;
constexpr GRAPHIC_LAYER kGfx = 1;

RECT_S g_regions[MK_MAX_REGION_NUM];
VO_REGION_INFO_S g_regionInfo{g_regions, 1};
MK_U32 g_luma[MK_MAX_REGION_NUM];

#define T_CALL_DEV(fn, ...) fn(kDev __VA_OPT__(, ) __VA_ARGS__)
#define T_CALL_LAYER(fn, ...) fn(kLayer __VA_OPT__(, ) __VA_ARGS__)
#define T_CALL_LBIND(fn, ...) fn(kLayer, kDev __VA_OPT__(, ) __VA_ARGS__)
#define T_CALL_CHN(fn, ...) fn(kLayer, kChn __VA_OPT__(, ) __VA_ARGS__)
#define T_CALL_CAS(fn, ...) fn(__VA_ARGS__, kDev, kChn)
#define T_CALL_WBC(fn, ...) fn(kWbc __VA_OPT__(, ) __VA_ARGS__)
#define T_CALL_GFX(fn, ...) fn(kGfx __VA_OPT__(, ) __VA_ARGS__)
#define T_CALL_GBIND(fn, ...) fn(kGfx, __VA_ARGS__)
#define T_CALL_MOD(fn, ...) fn(__VA_ARGS__)
#define T_ARG_NONE(T)
#define T_ARG_SET(T) static_cast<const T*>(p)
#define T_ARG_GET(T) static_cast<T*>(p)
#define T_ARG_VAL(T) *static_cast<T*>(p)
#define T_ARG_DEVVAL(T) *static_cast<T*>(p)
#define T_ARG_FSEND(T) static_cast<const VIDEO_FRAME_INFO_S*>(p), 0
#define T_ARG_FGET(T) static_cast<VIDEO_FRAME_INFO_S*>(p), 0
#define T_ARG_LUMA(T) &g_regionInfo, g_luma, 0
#define T_ENTRY(scope, name, kind, nr, T)                                               \
    Entry{#name, #kind, MK_VO_REQ_##kind(nr, T), SizeOf<T>(), [](void* p) -> MK_S32 {   \
              (void)p;                                                                  \
              return T_CALL_##scope(MK_MPI_VO_##name, T_ARG_##kind(T));                 \
          }},

const std::vector<Entry>& Table() {
    static const std::vector<Entry> table = {MK_VO_TABLE(T_ENTRY)};
    return table;
}

const Entry& Find(const std::string& name) { return FindEntry(Table(), name); }

// A private bus directory for the simulated RAM, and the driver, for the whole program.
[[maybe_unused]] auto* const g_environment = ::testing::AddGlobalTestEnvironment(
    new mk::testing::BusEnvironment("vo", varnelle::drivers::InstallVoDriver));

std::shared_ptr<VoDriver> Driver() { return varnelle::dev::Registry::Get<VoDriver>("/dev/vo"); }

constexpr MK_S32 Code(MK_U32 c) { return static_cast<MK_S32>(c); }

// Each test starts with every descriptor closed and the driver fresh.
class VoTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(MPI_VO_CloseFd(), MK_SUCCESS);
        Driver()->Reset();
        Driver()->ClearFaults();
        VbPools::Instance().Clear();
        m_opens = Driver()->OpenCount();
        m_files = Driver()->OpenFiles();
    }
    void TearDown() override {
        Driver()->ClearFaults();
        MPI_VO_CloseFd();
        Driver()->Reset();
        VbPools::Instance().Clear();
    }
    int NewOpens() const { return Driver()->OpenCount() - m_opens; }
    int NewFiles() const { return Driver()->OpenFiles() - m_files; }
    // The bind word of the descriptor a word names, checking that asking for it opened nothing new.
    int64_t BoundWord(MK_U32 word) {
        int before = Driver()->OpenCount();
        MK_S32 fd = MK_MPI_VO_GetFileHandle(word);
        EXPECT_EQ(Driver()->OpenCount(), before) << std::hex << word << " was not open";
        return Driver()->BindWordOf(fd);
    }

    int m_opens = 0;
    int m_files = 0;
};

class VoTableTest : public VoTest, public ::testing::WithParamInterface<std::string> {};

// What is set through each Set wrapper comes back through its Get partner byte for byte: a wrong
// number, direction or size on either side breaks the pair.
TEST_P(VoTableTest, SetThenGetRoundTrips) {
    const Entry& set = Find(GetParam());
    const Entry& get = Find("Get" + GetParam().substr(3));
    ASSERT_EQ(set.size, get.size);
    std::vector<uint8_t> in(set.size);
    for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<uint8_t>(i * 5 + 1);
    ExpectRoundTrip(set, get, in);
}

INSTANTIATE_TEST_SUITE_P(AllPairs, VoTableTest, ::testing::ValuesIn(SetNames(Table())),
                         [](const auto& info) { return info.param; });

class VoPassThroughTest : public VoTest, public ::testing::WithParamInterface<std::string> {};

// Whatever code the driver answers a request with reaches the caller unchanged.
TEST_P(VoPassThroughTest, InjectedDriverCodeReachesCallerBitForBit) {
    ExpectCodesPassThrough(*Driver(), Find(GetParam()), {Code(0xA00F8010), Code(0xA00FFFFF), MK_S32{-1}});
}

INSTANTIATE_TEST_SUITE_P(AllRequests, VoPassThroughTest, ::testing::ValuesIn(AllNames(Table())),
                         [](const auto& info) { return info.param; });

// Every request without an argument is one the driver knows, whatever state it finds.
TEST_F(VoTest, NoArgumentRequestsReachKnownHandlers) {
    for (const Entry& e : Table()) {
        if (e.kind != "NONE") continue;
        errno = 0;
        MK_S32 ret = e.call(nullptr);
        EXPECT_FALSE(ret == -1 && errno == ENOTTY) << e.name;
    }
}

TEST_F(VoTest, IdsOutOfRangeAreRefusedInOrderBeforeAnyOpen) {
    struct Case {
        const char* what;
        std::function<MK_S32()> call;
        MK_U32 code;
        const char* message;
    } cases[] = {
        {"layer 10", [] { return MK_MPI_VO_EnableVideoLayer(10); }, 0xA00F806D, "VoLayer(10) is invalid\r\n"},
        {"negative layer", [] { return MK_MPI_VO_DisableVideoLayer(-1); }, 0xA00F806D, "VoLayer(-1) is invalid"},
        {"device 9", [] { return MK_MPI_VO_Enable(9); }, 0xA00F8001, "VoDev(9) is invalid\r\n"},
        {"negative device", [] { return MK_MPI_VO_SetDevFrameRate(-3, 30); }, 0xA00F8001, "VoDev(-3)"},
        {"channel 64", [] { return MK_MPI_VO_EnableChn(3, 64); }, 0xA00F8002, "VoChn(64) is invalid\r\n"},
        {"layer before channel", [] { return MK_MPI_VO_EnableChn(10, 64); }, 0xA00F806D, "VoLayer(10)"},
        {"write-back 1", [] { return MK_MPI_VO_EnableWbc(1); }, 0xA00F806C, "WBC(1) is invalid\r\n"},
        {"graphic layer 5", [] { return MK_MPI_VO_GetGraphicLayerCSC(5, nullptr); }, 0xA00F8068,
         "u32Layer(5) is invalid\r\n"},
        {"layer bind: device after layer", [] { return MK_MPI_VO_BindVideoLayer(2, 9); }, 0xA00F8001, "VoDev(9)"},
        {"layer bind: layer first", [] { return MK_MPI_VO_BindVideoLayer(10, 9); }, 0xA00F806D, "VoLayer(10)"},
        {"graphic bind: layer first", [] { return MK_MPI_VO_BindGraphicLayer(5, 9); }, 0xA00F8068, "u32Layer(5)"},
        {"graphic bind: device", [] { return MK_MPI_VO_UnBindGraphicLayer(1, 9); }, 0xA00F8001, "VoDev(9)"},
        {"cascade device", [] { return MK_MPI_VO_CascadePosBindChn(0, 9, 0); }, 0xA00F8001, "VoDev(9)"},
        {"cascade channel", [] { return MK_MPI_VO_CascadePosUnBindChn(0, 1, 64); }, 0xA00F8002, "VoChn(64)"},
    };
    for (const Case& c : cases) {
        testing::internal::CaptureStderr();
        MK_S32 ret = c.call();
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(ret, Code(c.code)) << c.what;
        EXPECT_NE(err.find("[Func]:MK_MPI_VO_"), std::string::npos) << c.what << ": " << err;
        EXPECT_NE(err.find(c.message), std::string::npos) << c.what << ": " << err;
    }
    EXPECT_EQ(NewOpens(), 0);
}

TEST_F(VoTest, NullRecordIsCheckedAfterTheOpenAndValuesAreNeverNull) {
    Driver()->FailOpen(ENOENT);
    testing::internal::CaptureStderr();
    EXPECT_EQ(MK_MPI_VO_SetPubAttr(0, nullptr), Code(0xA00F8010));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("open vou device error!"), std::string::npos) << err;
    testing::internal::CaptureStderr();
    EXPECT_EQ(MK_MPI_VO_SetPubAttr(0, nullptr), Code(0xA00F8006));
    EXPECT_EQ(MK_MPI_VO_GetChnFrame(1, 1, nullptr, 0), Code(0xA00F8006));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("NULL addr!\r\n"), std::string::npos);
    for (MK_U32 v : {0u, 1u, 0xFFFFFFFFu}) {
        EXPECT_EQ(MK_MPI_VO_SetChnFrameRate(1, 1, v), MK_SUCCESS);
        EXPECT_EQ(MK_MPI_VO_SetDispBufLen(1, v), MK_SUCCESS);
    }
}

TEST_F(VoTest, ObjectsBindWithTheirWords) {
    ASSERT_EQ(MK_MPI_VO_EnableChn(2, 5), MK_SUCCESS);
    EXPECT_EQ(BoundWord(0x205), 0x205);
    ASSERT_EQ(MK_MPI_VO_CascadePosBindChn(3, 1, 5), MK_SUCCESS);
    EXPECT_EQ(BoundWord(0x10005), 0x10005);
    EXPECT_EQ(Driver()->CascadePosition(3), std::make_pair(1, 5));
    ASSERT_EQ(MK_MPI_VO_BindVideoLayer(2, 1), MK_SUCCESS);
    EXPECT_EQ(BoundWord(0x10200), 0x10200);
    EXPECT_EQ(Driver()->Layer(2).device, 1);
    ASSERT_EQ(MK_MPI_VO_BindGraphicLayer(1, 4), MK_SUCCESS);
    EXPECT_EQ(BoundWord(0x90000000), 0x90000000);
    EXPECT_EQ(Driver()->GraphicLayerDevice(1), 4);
    ASSERT_EQ(MK_MPI_VO_EnableWbc(0), MK_SUCCESS);
    EXPECT_EQ(BoundWord(0x08000000), 0x08000000);
    EXPECT_EQ(NewOpens(), 5);
}

TEST_F(VoTest, ObjectsWithEqualWordsShareOneDescriptor) {
    VO_CAS_ATTR_S cas{1, 0, 0, 0};
    ASSERT_EQ(MK_MPI_VO_Enable(0), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VO_EnableVideoLayer(0), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VO_EnableChn(0, 0), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VO_CascadePosBindChn(7, 0, 0), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VO_SetCascadeAttr(&cas), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VO_EnableCascade(), MK_SUCCESS);
    EXPECT_EQ(NewOpens(), 1);
    EXPECT_EQ(BoundWord(0), 0);
    EXPECT_TRUE(Driver()->Device(0).enabled);
    EXPECT_TRUE(Driver()->Layer(0).enabled);
    EXPECT_TRUE(Driver()->Channel(0, 0).enabled);
    EXPECT_TRUE(Driver()->CascadeEnabled());
    ASSERT_EQ(MK_MPI_VO_Enable(1), MK_SUCCESS);
    EXPECT_EQ(NewOpens(), 2);
    EXPECT_EQ(BoundWord(0x10000), 0x10000);
}

TEST_F(VoTest, FileHandleDecodesTheBindWord) {
    struct Case {
        MK_U32 word;
        MK_U32 code;  // 0: a descriptor bound with the word
        const char* message;
    } cases[] = {
        {0x08000000, 0, nullptr},
        {0x90000000, 0, nullptr},
        {0x00010205, 0, nullptr},
        {0x00000000, 0, nullptr},
        {0x0A000000, 0xA00F806C, "WBC(2) is invalid\r\n"},
        {0xD0000000, 0xA00F8068, "u32Layer(5) is invalid\r\n"},
        {0x00090000, 0xA00F8001, "VoDev(9) is invalid\r\n"},
        {0x00000A00, 0xA00F806D, "VoLayer(10) is invalid\r\n"},
        {0x00000040, 0xA00F8002, "VoChn(64) is invalid\r\n"},
    };
    for (const Case& c : cases) {
        testing::internal::CaptureStderr();
        MK_S32 fd = MK_MPI_VO_GetFileHandle(c.word);
        std::string err = testing::internal::GetCapturedStderr();
        if (c.code == 0) {
            ASSERT_GE(fd, 0) << std::hex << c.word;
            EXPECT_EQ(Driver()->BindWordOf(fd), c.word);
            EXPECT_EQ(MK_MPI_VO_GetFileHandle(c.word), fd);
        } else {
            EXPECT_EQ(fd, Code(c.code)) << std::hex << c.word;
            EXPECT_NE(err.find(c.message), std::string::npos) << err;
        }
    }
    EXPECT_EQ(NewOpens(), 4);
}

TEST_F(VoTest, FailedBindClosesTheDescriptorAndTheNextCallBindsAgain) {
    Driver()->FailRequest(MK_VO_BIND_REQUEST, -1, 1, EIO);
    EXPECT_EQ(MK_MPI_VO_EnableChn(6, 9), Code(0xA00F8010));
    EXPECT_EQ(NewFiles(), 0);
    EXPECT_FALSE(Driver()->Channel(6, 9).enabled);
    EXPECT_EQ(MK_MPI_VO_EnableChn(6, 9), MK_SUCCESS);
    EXPECT_EQ(NewOpens(), 2);
    EXPECT_EQ(NewFiles(), 1);
    EXPECT_TRUE(Driver()->Channel(6, 9).enabled);
}

TEST_F(VoTest, ThreadsMakingTheFirstCallTogetherOpenOnce) {
    constexpr int kThreads = 8;
    std::latch start(kThreads);
    std::vector<MK_S32> results(kThreads, -1);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            results[i] = MK_MPI_VO_EnableChn(4, 7);
        });
    }
    for (std::thread& t : threads) t.join();
    for (MK_S32 r : results) EXPECT_EQ(r, MK_SUCCESS);
    EXPECT_EQ(NewOpens(), 1);
}

TEST_F(VoTest, CloseFdClosesEverythingAndReportsAnEarlierFailure) {
    ASSERT_EQ(MK_MPI_VO_SetGraphicLayerCSC(0, nullptr), Code(0xA00F8006));  // opens graphic layer 0
    ASSERT_EQ(MK_MPI_VO_EnableWbc(0), MK_SUCCESS);
    MK_S32 fd = MK_MPI_VO_GetFileHandle(0x10000);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(NewFiles(), 3);
    // Device 1's descriptor goes away behind the module's back; the closes after it succeed. (Capture
    // first: it opens files, which must not take the freed descriptor number.)
    testing::internal::CaptureStderr();
    ASSERT_EQ(varnelle::dev::Close(fd), 0);
    EXPECT_EQ(MPI_VO_CloseFd(), Code(0xA00F8012));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Close VO Channel Fail"), std::string::npos) << err;
    EXPECT_EQ(NewFiles(), 0);
    EXPECT_EQ(MPI_VO_CloseFd(), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VO_Enable(1), MK_SUCCESS);  // reopens
    EXPECT_EQ(NewFiles(), 1);
}

TEST_F(VoTest, ModuleValueNeedsAResultPointerAndCopiesTheResultBack) {
    MK_U32 value = 0xDEAD;
    Driver()->FailOpen(ENOENT);
    testing::internal::CaptureStderr();
    EXPECT_EQ(MK_MPI_VO_GetModuleValue(1, &value), Code(0xA00F8010));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(value, 0xDEADu);
    testing::internal::CaptureStderr();
    EXPECT_EQ(MK_MPI_VO_GetModuleValue(1, nullptr), Code(0xA00F8006));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(MK_MPI_VO_GetModuleValue(1, &value), MK_SUCCESS);
    EXPECT_EQ(value, static_cast<MK_U32>(VO_MAX_LAYER_NUM));
    // A refused selector still writes the result word back.
    EXPECT_EQ(MK_MPI_VO_GetModuleValue(77, &value), Code(0xA00F8003));
    EXPECT_EQ(value, 0u);
}

TEST_F(VoTest, RegionLumaChecksPointersThenTheCountAsUnsigned) {
    const unsigned long request = Find("GetChnRegionLuma").request;
    RECT_S rects[MK_MAX_REGION_NUM + 1] = {};
    MK_U32 luma[MK_MAX_REGION_NUM + 1];
    VO_REGION_INFO_S info{nullptr, 1};
    testing::internal::CaptureStderr();
    EXPECT_EQ(MK_MPI_VO_GetChnRegionLuma(2, 5, nullptr, luma, 0), Code(0xA00F8006));
    EXPECT_EQ(MK_MPI_VO_GetChnRegionLuma(2, 5, &info, nullptr, 0), Code(0xA00F8006));
    EXPECT_EQ(MK_MPI_VO_GetChnRegionLuma(2, 5, &info, luma, 0), Code(0xA00F8006));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(NewOpens(), 1);  // the pointers are checked after the open
    info.pstRegion = rects;
    for (MK_U32 count : {65u, 0x80000000u, 0xFFFFFFFFu}) {
        info.u32RegionNum = count;
        testing::internal::CaptureStderr();
        EXPECT_EQ(MK_MPI_VO_GetChnRegionLuma(2, 5, &info, luma, 0), Code(0xA00F8003)) << count;
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("VoLayer(2, 5) region number exceed max number 64\n"), std::string::npos) << err;
    }
    EXPECT_EQ(Driver()->RequestCount(request), 0);

    info.u32RegionNum = MK_MAX_REGION_NUM;
    std::fill(std::begin(luma), std::end(luma), 0x5A5A5A5Au);
    EXPECT_EQ(MK_MPI_VO_GetChnRegionLuma(2, 5, &info, luma, 0), MK_SUCCESS);
    EXPECT_EQ(luma[MK_MAX_REGION_NUM - 1], 0u);
    EXPECT_EQ(luma[MK_MAX_REGION_NUM], 0x5A5A5A5Au);
    info.u32RegionNum = 0;
    luma[0] = 0x12345678;
    EXPECT_EQ(MK_MPI_VO_GetChnRegionLuma(2, 5, &info, luma, 0), MK_SUCCESS);
    EXPECT_EQ(luma[0], 0x12345678u);
    EXPECT_EQ(Driver()->RequestCount(request), 2);
    // A refused request copies nothing back.
    info.u32RegionNum = 1;
    Driver()->FailRequest(request, Code(0xA00F8010));
    EXPECT_EQ(MK_MPI_VO_GetChnRegionLuma(2, 5, &info, luma, 0), Code(0xA00F8010));
    EXPECT_EQ(luma[0], 0x12345678u);
}

TEST_F(VoTest, TimedOutGetLeavesTheRecordUntouched) {
    VIDEO_FRAME_INFO_S frame, before;
    std::memset(&frame, 0xAB, sizeof frame);
    before = frame;
    EXPECT_EQ(MK_MPI_VO_GetChnFrame(3, 3, &frame, 0), Code(0xA00F800E));
    EXPECT_EQ(MK_MPI_VO_GetScreenFrame(3, &frame, 1), Code(0xA00F800E));
    EXPECT_EQ(std::memcmp(&frame, &before, sizeof frame), 0);
}

TEST_F(VoTest, ChannelStateFollowsTheCalls) {
    POINT_S pos{100, 60};
    ASSERT_EQ(MK_MPI_VO_EnableChn(1, 2), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VO_SetChnDispPos(1, 2, &pos), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VO_HideChn(1, 2), MK_SUCCESS);
    EXPECT_EQ(MK_MPI_VO_StepChn(1, 2), Code(0xA00F8009));  // only a paused channel steps
    ASSERT_EQ(MK_MPI_VO_PauseChn(1, 2), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VO_StepChn(1, 2), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VO_RefreshChn(1, 2), MK_SUCCESS);
    VoDriver::ChnState s = Driver()->Channel(1, 2);
    EXPECT_TRUE(s.enabled);
    EXPECT_FALSE(s.shown);
    EXPECT_TRUE(s.paused);
    EXPECT_EQ(s.steps, 1u);
    EXPECT_EQ(s.refreshes, 1u);
    EXPECT_EQ(s.position.s32X, 100);
    EXPECT_EQ(s.position.s32Y, 60);
    ASSERT_EQ(MK_MPI_VO_ShowChn(1, 2), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VO_ResumeChn(1, 2), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VO_DisableChn(1, 2), MK_SUCCESS);
    s = Driver()->Channel(1, 2);
    EXPECT_TRUE(s.shown);
    EXPECT_FALSE(s.paused);
    EXPECT_FALSE(s.enabled);
}

TEST_F(VoTest, ChannelChangesInABatchTakeEffectAtItsEnd) {
    VO_CHN_ATTR_S first{1, {0, 0, 352, 288}, 0}, second{2, {352, 0, 352, 288}, 0}, out{};
    ASSERT_EQ(MK_MPI_VO_SetChnAttr(3, 0, &first), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VO_SetAttrBegin(3), MK_SUCCESS);
    EXPECT_TRUE(Driver()->Layer(3).batching);
    ASSERT_EQ(MK_MPI_VO_SetChnAttr(3, 0, &second), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VO_GetChnAttr(3, 0, &out), MK_SUCCESS);
    EXPECT_EQ(out.stRect.s32X, 0);
    ASSERT_EQ(MK_MPI_VO_SetAttrEnd(3), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VO_GetChnAttr(3, 0, &out), MK_SUCCESS);
    EXPECT_EQ(out.stRect.s32X, 352);
    EXPECT_EQ(MK_MPI_VO_SetAttrEnd(3), Code(0xA00F8009));
}

class VoFrameTest : public VoTest {
protected:
    // A 32 x 32 picture of luma `y` and grey chroma in a block of its own pool.
    VIDEO_FRAME_INFO_S MakeFrame(uint32_t* handle, uint8_t y) {
        int pool = VbPools::Instance().CreatePool(32 * 32 * 3 / 2, 4, "");
        EXPECT_GE(pool, 0);
        *handle = VbPools::Instance().GetBlock(pool, 32 * 32 * 3 / 2);
        auto blk = VbPools::Instance().Block(*handle);
        EXPECT_TRUE(blk.has_value());
        std::vector<uint8_t> pixels(32 * 32 * 3 / 2, 128);
        std::fill(pixels.begin(), pixels.begin() + 32 * 32, y);
        EXPECT_TRUE(varnelle::mem::Ram::Local().Write(blk->phys, pixels.data(), pixels.size()));
        VIDEO_FRAME_INFO_S f{};
        f.u32Width = f.u32Height = 32;
        f.u32PhyAddr[0] = blk->phys;
        f.u32PhyAddr[1] = blk->phys + 32 * 32;
        f.u32Stride[0] = f.u32Stride[1] = 32;
        f.u32PoolId = static_cast<MK_U32>(pool);
        return f;
    }
    static int Refs(uint32_t handle) { return VbPools::Instance().Block(handle)->refs; }
    // The luma of a frame (a screen copy in the zone) at (x, y).
    static uint8_t LumaAt(const VIDEO_FRAME_INFO_S& f, uint32_t x, uint32_t y) {
        uint8_t v = 0;
        EXPECT_TRUE(varnelle::mem::Ram::Local().Read(f.u32PhyAddr[0] + y * f.u32Stride[0] + x, &v, 1));
        return v;
    }
};

TEST_F(VoFrameTest, SentFrameIsShownAndCanBeGotFromChannelScreenAndWriteBack) {
    uint32_t handle = 0;
    VIDEO_FRAME_INFO_S in = MakeFrame(&handle, 200);
    EXPECT_EQ(MK_MPI_VO_SendFrame(4, 1, &in, 0), Code(0xA00F8009));  // not enabled
    VO_CHN_ATTR_S attr{0, {0, 0, 64, 64}, 0};
    ASSERT_EQ(MK_MPI_VO_SetChnAttr(4, 1, &attr), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VO_EnableChn(4, 1), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VO_SendFrame(4, 1, &in, 0), MK_SUCCESS);
    EXPECT_TRUE(Driver()->Channel(4, 1).showing);
    VO_QUERY_STATUS_S stat{};
    ASSERT_EQ(MK_MPI_VO_QueryChnStat(4, 1, &stat), MK_SUCCESS);
    EXPECT_EQ(stat.u32ChnBufUsed, 1u);

    VIDEO_FRAME_INFO_S chn{}, screen{}, wbc{};
    ASSERT_EQ(MK_MPI_VO_GetChnFrame(4, 1, &chn, 0), MK_SUCCESS);
    EXPECT_EQ(std::memcmp(&chn, &in, sizeof in), 0);
    // Layer 4 starts on device 4; its screen comes once the device shows.
    EXPECT_EQ(MK_MPI_VO_GetScreenFrame(4, &screen, 0), Code(0xA00F800E));
    ASSERT_EQ(MK_MPI_VO_EnableVideoLayer(4), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VO_Enable(4), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VO_GetScreenFrame(4, &screen, 5000), MK_SUCCESS);
    EXPECT_EQ(screen.u32Width, 1920u);
    EXPECT_EQ(screen.u32Height, 1080u);
    EXPECT_NE(screen.u32PhyAddr[0], in.u32PhyAddr[0]);
    EXPECT_EQ(LumaAt(screen, 10, 10), 200);  // the channel's picture, in its rectangle
    EXPECT_EQ(LumaAt(screen, 100, 100), 16);  // black around it
    EXPECT_EQ(MK_MPI_VO_GetWbcFrame(0, &wbc, 0), Code(0xA00F8009));  // write-back not enabled
    VO_WBC_SOURCE_S src{0, 4};
    VO_WBC_ATTR_S wbcAttr{{960, 540}, MK_PIXEL_FORMAT_YUV_SEMIPLANAR_420, 30};
    ASSERT_EQ(MK_MPI_VO_SetWbcSource(0, &src), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VO_SetWbcAttr(0, &wbcAttr), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VO_EnableWbc(0), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VO_GetWbcFrame(0, &wbc, 0), MK_SUCCESS);
    EXPECT_EQ(wbc.u32Width, 960u);  // the screen at the unit's size
    EXPECT_EQ(wbc.u32Height, 540u);
    EXPECT_EQ(LumaAt(wbc, 5, 5), 200);

    RECT_S rect{0, 0, 2, 3};
    VO_REGION_INFO_S info{&rect, 1};
    MK_U32 luma = 0;
    ASSERT_EQ(MK_MPI_VO_GetChnRegionLuma(4, 1, &info, &luma, 0), MK_SUCCESS);
    EXPECT_EQ(luma, 200u * 6);

    EXPECT_EQ(MK_MPI_VO_ReleaseChnFrame(4, 1, &chn), MK_SUCCESS);
    EXPECT_EQ(MK_MPI_VO_ReleaseChnFrame(4, 1, &chn), Code(0xA00F8003));
    EXPECT_EQ(MK_MPI_VO_ReleaseScreenFrame(4, &screen), MK_SUCCESS);
    EXPECT_EQ(MK_MPI_VO_ReleaseScreenFrame(4, &screen), Code(0xA00F8003));
    EXPECT_EQ(MK_MPI_VO_ReleaseWbcFrame(0, &wbc), MK_SUCCESS);
    // Clearing the channel lets go of the display's own reference.
    ASSERT_EQ(MK_MPI_VO_ClearChnBuffer(4, 1, 1), MK_SUCCESS);
    EXPECT_EQ(Refs(handle), 1);
}

TEST_F(VoFrameTest, PausedChannelKeepsItsPictureAndTheNewestFrameForLater) {
    uint32_t h1 = 0, h2 = 0, h3 = 0;
    VIDEO_FRAME_INFO_S a = MakeFrame(&h1, 1), b = MakeFrame(&h2, 2), c = MakeFrame(&h3, 3);
    ASSERT_EQ(MK_MPI_VO_EnableChn(5, 0), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VO_SendFrame(5, 0, &a, 0), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VO_PauseChn(5, 0), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VO_SendFrame(5, 0, &b, 0), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VO_SendFrame(5, 0, &c, 0), MK_SUCCESS);
    EXPECT_EQ(Driver()->Channel(5, 0).frame.u32PhyAddr[0], a.u32PhyAddr[0]);
    EXPECT_EQ(Refs(h2), 1);  // only the newest waits
    EXPECT_EQ(Refs(h3), 2);
    VO_QUERY_STATUS_S stat{};
    ASSERT_EQ(MK_MPI_VO_QueryChnStat(5, 0, &stat), MK_SUCCESS);
    EXPECT_EQ(stat.u32ChnBufUsed, 2u);
    ASSERT_EQ(MK_MPI_VO_ResumeChn(5, 0), MK_SUCCESS);
    EXPECT_EQ(Driver()->Channel(5, 0).frame.u32PhyAddr[0], c.u32PhyAddr[0]);
    EXPECT_EQ(Refs(h1), 1);
    ASSERT_EQ(MK_MPI_VO_SendFrame(5, 0, &b, 0), MK_SUCCESS);
    EXPECT_EQ(Driver()->Channel(5, 0).frame.u32PhyAddr[0], b.u32PhyAddr[0]);
    MK_U64 pts = 0;
    ASSERT_EQ(MK_MPI_VO_GetChnPts(5, 0, &pts), MK_SUCCESS);
    EXPECT_GT(pts, 0u);
    // Clearing without "all" drops what waits but keeps the picture.
    ASSERT_EQ(MK_MPI_VO_PauseChn(5, 0), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VO_SendFrame(5, 0, &c, 0), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VO_ClearChnBuffer(5, 0, 0), MK_SUCCESS);
    EXPECT_EQ(Refs(h3), 1);
    EXPECT_EQ(Refs(h2), 2);
}

// A user that never releases holds at most the layer's display buffer length of a channel's pictures,
// and getting the picture on show again takes no further reference on its block.
TEST_F(VoFrameTest, AUserHoldsAtMostTheDisplayBufferLengthOfAChannelsPictures) {
    uint32_t ha = 0, hb = 0;
    VIDEO_FRAME_INFO_S a = MakeFrame(&ha, 1), b = MakeFrame(&hb, 2);
    ASSERT_EQ(MK_MPI_VO_EnableChn(7, 2), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VO_SendFrame(7, 2, &a, 0), MK_SUCCESS);
    ASSERT_EQ(Refs(ha), 2) << "ours and the display's";
    VIDEO_FRAME_INFO_S out{};
    for (int i = 0; i < 3; ++i) ASSERT_EQ(MK_MPI_VO_GetChnFrame(7, 2, &out, 0), MK_SUCCESS) << i;
    EXPECT_EQ(Refs(ha), 3) << "one reference for the user's three gets";
    EXPECT_EQ(Driver()->Channel(7, 2).userHeld, 3u);
    EXPECT_EQ(MK_MPI_VO_GetChnFrame(7, 2, &out, -1), Code(0xA00F800E)) << "the default length is 3";
    for (int i = 0; i < 3; ++i) EXPECT_EQ(MK_MPI_VO_ReleaseChnFrame(7, 2, &a), MK_SUCCESS) << i;
    EXPECT_EQ(MK_MPI_VO_ReleaseChnFrame(7, 2, &a), Code(0xA00F8003));
    EXPECT_EQ(Refs(ha), 2);

    ASSERT_EQ(MK_MPI_VO_SetDispBufLen(7, 1), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VO_GetChnFrame(7, 2, &out, 0), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VO_SendFrame(7, 2, &b, 0), MK_SUCCESS);
    EXPECT_EQ(MK_MPI_VO_GetChnFrame(7, 2, &out, 0), Code(0xA00F800E)) << "a new picture, but no room";
    EXPECT_EQ(Refs(ha), 2) << "ours and the user's: the display shows b now";
    ASSERT_EQ(MK_MPI_VO_ReleaseChnFrame(7, 2, &a), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VO_GetChnFrame(7, 2, &out, 0), MK_SUCCESS);
    EXPECT_EQ(out.u32PhyAddr[0], b.u32PhyAddr[0]);
    EXPECT_EQ(Refs(ha), 1);
    ASSERT_EQ(MK_MPI_VO_ReleaseChnFrame(7, 2, &b), MK_SUCCESS);
}

TEST_F(VoFrameTest, GetWaitsForAFrameSentByAnotherThread) {
    uint32_t handle = 0;
    VIDEO_FRAME_INFO_S in = MakeFrame(&handle, 3);
    ASSERT_EQ(MK_MPI_VO_EnableChn(6, 1), MK_SUCCESS);
    VIDEO_FRAME_INFO_S out{};
    MK_S32 got = -1;
    std::thread getter([&] { got = MK_MPI_VO_GetChnFrame(6, 1, &out, -1); });
    ASSERT_EQ(MK_MPI_VO_SendFrame(6, 1, &in, 0), MK_SUCCESS);
    getter.join();
    EXPECT_EQ(got, MK_SUCCESS);
    EXPECT_EQ(out.u32PhyAddr[0], in.u32PhyAddr[0]);
}

}  // namespace
