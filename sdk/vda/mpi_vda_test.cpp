#include "sdk/vda/mpi_vda.h"

#include <poll.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/dev/driver.h"
#include "platform/drivers/core/bind_graph.h"
#include "platform/drivers/core/frame_router.h"
#include "platform/drivers/core/pattern.h"
#include "platform/drivers/core/kernel.h"
#include "platform/drivers/mem/mem_driver.h"
#include "platform/drivers/vda/vda_driver.h"
#include "platform/mem/ram.h"
#include "platform/mem/zone.h"
#include "sdk/common/testing/bus_environment.h"

namespace {

namespace dev = varnelle::dev;
namespace drivers = varnelle::drivers;
namespace view = varnelle::drivers::vda_view;
using varnelle::mem::Ram;
using varnelle::mem::ZoneAllocator;

constexpr MK_S32 kBadChn = static_cast<MK_S32>(0xA0098002u);
constexpr MK_S32 kIllegal = static_cast<MK_S32>(0xA0098003u);
constexpr MK_S32 kUnexist = static_cast<MK_S32>(0xA0098005u);
constexpr MK_S32 kNull = static_cast<MK_S32>(0xA0098006u);
constexpr MK_S32 kNotPerm = static_cast<MK_S32>(0xA0098009u);
constexpr MK_S32 kEmpty = static_cast<MK_S32>(0xA009800Eu);

[[maybe_unused]] ::testing::Environment* const g_bus =
    ::testing::AddGlobalTestEnvironment(new mk::testing::BusEnvironment("vda", [] {
        drivers::InstallMemDriver();
        drivers::InstallVdaDriver();
        Ram::Local();
    }));

std::shared_ptr<dev::Driver> Drv() { return dev::Registry::Find("/dev/vda"); }

// The motion channel command 88 makes, with the buffer count and picture given.
VDA_CHN_ATTR_S Motion(MK_U32 bufNum = 8, MK_U32 w = 640, MK_U32 h = 480, MK_U32 mb = VDA_MB_16PIXEL,
                      MK_U32 bits = VDA_MB_SAD_8BIT) {
    VDA_CHN_ATTR_S a{};
    a.enWorkMode = VDA_WORK_MODE_MD;
    a.unAttr.stMdAttr = {0, mb, bits, 0, bufNum, 4, 255, 100, 128};
    a.u32Width = w;
    a.u32Height = h;
    return a;
}

// An occlusion channel of one region over the whole picture.
VDA_CHN_ATTR_S Occlusion(MK_U32 w, MK_U32 h, MK_U32 sadTh, MK_U32 areaTh, MK_U32 occ, MK_U32 unocc) {
    VDA_CHN_ATTR_S a{};
    a.enWorkMode = VDA_WORK_MODE_OD;
    VDA_OD_ATTR_S& od = a.unAttr.stOdAttr;
    od.u32RgnNum = 1;
    od.astOdRgnAttr[0] = {{0, 0, w, h}, sadTh, areaTh, occ, unocc};
    od.enMbSize = VDA_MB_8PIXEL;
    od.enMbSadBits = VDA_MB_SAD_16BIT;
    od.enRefMode = 1;
    od.u32VdaIntvl = 4;
    od.u32BgUpSrcWgt = 128;
    a.u32Width = w;
    a.u32Height = h;
    return a;
}

const VDA_CHN_ATTR_S* Ptr(const VDA_CHN_ATTR_S& a) { return &a; }

// A luma picture in simulated RAM, handed to a channel as a frame.
class RamPicture {
public:
    RamPicture(MK_U32 w, MK_U32 h) : m_w(w), m_h(h), m_phys(ZoneAllocator::Local().Allocate(uint64_t{w} * h * 2)) {}
    ~RamPicture() { ZoneAllocator::Local().Free(m_phys); }
    MK_S32 Send(VDA_CHN chn, const std::vector<uint8_t>& luma) {
        Ram::Local().Write(m_phys, luma.data(), luma.size());
        VIDEO_FRAME_INFO_S f{};
        f.u32Width = m_w;
        f.u32Height = m_h;
        f.u32PhyAddr[0] = m_phys;
        f.u32Stride[0] = m_w;
        return MK_MPI_VDA_SendPic(chn, &f, 7);
    }

private:
    MK_U32 m_w, m_h;
    uint32_t m_phys;
};

class VdaTest : public ::testing::Test {
protected:
    void SetUp() override {
        drivers::ResetMediaState();
        drivers::BindGraph::Instance().Clear();
        Drv()->ClearFaults();
        Drv()->ResetCounters();
    }
    void TearDown() override {
        for (VDA_CHN c : {0, 1, 2, 3, 5, 127}) MK_MPI_VDA_DestroyChn(c);
        drivers::BindGraph::Instance().Clear();
        drivers::ResetMediaState();
    }
};

// SAD value of macroblock (x, y) of a fetched 8-bit result, read through the module's pointer.
uint8_t Sad8(const VDA_DATA_S& d, MK_U32 x, MK_U32 y) {
    return static_cast<const uint8_t*>(d.unData.stMdData.stMbSadData.pAddr)[y * d.unData.stMdData.stMbSadData.u32Stride + x];
}

TEST_F(VdaTest, ChannelsAbove127AreRefusedBeforeAnyOpen) {
    VDA_DATA_S data{};
    VIDEO_FRAME_INFO_S frame{};
    const std::vector<std::pair<const char*, std::function<MK_S32(VDA_CHN)>>> calls = {
        {"CreateChn", [&](VDA_CHN c) { return MK_MPI_VDA_CreateChn(c, Ptr(Motion())); }},
        {"DestroyChn", MK_MPI_VDA_DestroyChn},
        {"StartRecvPic", MK_MPI_VDA_StartRecvPic},
        {"StopRecvPic", MK_MPI_VDA_StopRecvPic},
        {"GetData", [&](VDA_CHN c) { return MK_MPI_VDA_GetData(c, &data, 0); }},
        {"ReleaseData", [&](VDA_CHN c) { return MK_MPI_VDA_ReleaseData(c, &data); }},
        {"ResetOdRegion", [&](VDA_CHN c) { return MK_MPI_VDA_ResetOdRegion(c, 0); }},
        {"GetFd", MK_MPI_VDA_GetFd},
        {"SendPic", [&](VDA_CHN c) { return MK_MPI_VDA_SendPic(c, &frame, 0); }},
    };
    const int opens = Drv()->OpenCount();
    for (const auto& [name, call] : calls) {
        for (VDA_CHN c : {128, 129, -1, -128}) EXPECT_EQ(call(c), kBadChn) << name << " " << c;
    }
    EXPECT_EQ(Drv()->OpenCount(), opens);
    EXPECT_EQ(VDA_GetPhyOffset(128, 0x40000000), nullptr);
    EXPECT_GE(MK_MPI_VDA_GetFd(127), 3) << "the last channel is accepted";
    EXPECT_EQ(MK_MPI_VDA_CreateChn(5, nullptr), kNull);
    EXPECT_EQ(MK_MPI_VDA_GetData(5, nullptr, 0), kNull);
    EXPECT_EQ(MK_MPI_VDA_ReleaseData(5, nullptr), kNull);
    EXPECT_EQ(MK_MPI_VDA_SendPic(5, nullptr, 0), kNull);
}

TEST_F(VdaTest, ARefusedBindStillGivesTheDescriptorAndLaterRequestsReportIt) {
    // Channel 64's descriptor is opened here first: the bind fails, the descriptor is kept.
    Drv()->FailRequest(mk::vda::kBind, kIllegal);
    int fd = MK_MPI_VDA_GetFd(64);
    EXPECT_GE(fd, 3);
    EXPECT_EQ(Drv()->RequestCount(mk::vda::kBind), 1);
    EXPECT_EQ(MK_MPI_VDA_GetFd(64), fd) << "kept, not opened again";
    EXPECT_EQ(MK_MPI_VDA_StartRecvPic(64), -1);
    EXPECT_EQ(errno, EBADFD);
}

TEST_F(VdaTest, CreateMapsTheBufferAndUndoesAFailedBufferRequest) {
    Drv()->FailRequest(mk::vda::kGetBuf, kNotPerm);
    EXPECT_EQ(MK_MPI_VDA_CreateChn(0, Ptr(Motion())), kNotPerm);
    EXPECT_FALSE(view::Get(0)) << "the channel was destroyed again";
    EXPECT_EQ(Drv()->RequestCount(mk::vda::kDestroyChn), 1);

    ASSERT_EQ(MK_MPI_VDA_CreateChn(0, Ptr(Motion())), MK_SUCCESS);
    auto v = view::Get(0);
    ASSERT_TRUE(v);
    auto* user = static_cast<uint8_t*>(VDA_GetPhyOffset(0, v->bufPhys));
    ASSERT_NE(user, nullptr);
    std::memset(user + v->bufSize - 4, 0x3C, 4);  // the whole buffer is mapped
    uint8_t got[4];
    ASSERT_TRUE(Ram::Local().Read(v->bufPhys + v->bufSize - 4, got, 4));
    EXPECT_EQ(got[3], 0x3C);
    EXPECT_EQ(MK_MPI_VDA_CreateChn(0, Ptr(Motion())), MK_ERR_VDA_EXIST);

    // Destroyed, the buffer is unmapped and forgotten; a second destroy is the driver's refusal.
    ASSERT_EQ(MK_MPI_VDA_DestroyChn(0), MK_SUCCESS);
    EXPECT_EQ(VDA_GetPhyOffset(0, v->bufPhys), nullptr);
    EXPECT_EQ(MK_MPI_VDA_DestroyChn(0), kUnexist);
}

TEST_F(VdaTest, AttributesTheDriverRefuses) {
    struct Case {
        const char* what;
        std::function<void(VDA_CHN_ATTR_S&)> change;
    } cases[] = {
        {"no buffers", [](VDA_CHN_ATTR_S& a) { a.unAttr.stMdAttr.u32MdBufNum = 0; }},
        {"17 buffers", [](VDA_CHN_ATTR_S& a) { a.unAttr.stMdAttr.u32MdBufNum = 17; }},
        {"interval 0", [](VDA_CHN_ATTR_S& a) { a.unAttr.stMdAttr.u32VdaIntvl = 0; }},
        {"macroblock code 2", [](VDA_CHN_ATTR_S& a) { a.unAttr.stMdAttr.enMbSize = 2; }},
        {"SAD code 2", [](VDA_CHN_ATTR_S& a) { a.unAttr.stMdAttr.enMbSadBits = 2; }},
        {"width 0", [](VDA_CHN_ATTR_S& a) { a.u32Width = 0; }},
        {"height 4097", [](VDA_CHN_ATTR_S& a) { a.u32Height = 4097; }},
        {"work mode 2", [](VDA_CHN_ATTR_S& a) { a.enWorkMode = 2; }},
        {"five regions", [](VDA_CHN_ATTR_S& a) { a = Occlusion(64, 64, 1, 1, 1, 1); a.unAttr.stOdAttr.u32RgnNum = 5; }},
        {"no region", [](VDA_CHN_ATTR_S& a) { a = Occlusion(64, 64, 1, 1, 1, 1); a.unAttr.stOdAttr.u32RgnNum = 0; }},
    };
    for (const Case& c : cases) {
        VDA_CHN_ATTR_S a = Motion();
        c.change(a);
        EXPECT_EQ(MK_MPI_VDA_CreateChn(1, &a), kIllegal) << c.what;
    }
}

TEST_F(VdaTest, InjectedSadIsReadThroughThePointer) {
    ASSERT_EQ(MK_MPI_VDA_CreateChn(2, Ptr(Motion(2))), MK_SUCCESS);
    std::vector<uint16_t> sad(40 * 30);
    for (size_t i = 0; i < sad.size(); ++i) sad[i] = static_cast<uint16_t>((i * 7) % 251);
    view::Inject(2, view::Injection{sad});
    ASSERT_TRUE(view::Produce(2));
    VDA_DATA_S d{};
    ASSERT_EQ(MK_MPI_VDA_GetData(2, &d, 0), MK_SUCCESS);
    ASSERT_EQ(d.enWorkMode, static_cast<MK_U32>(VDA_WORK_MODE_MD));
    ASSERT_EQ(d.unData.stMdData.bMbSadValid, 1u);
    EXPECT_EQ(d.u32MbWidth, 40u);
    EXPECT_EQ(d.u32MbHeight, 30u);
    auto phys = static_cast<MK_U32>(reinterpret_cast<uintptr_t>(view::Get(2)->last.unData.stMdData.stMbSadData.pAddr));
    EXPECT_EQ(d.unData.stMdData.stMbSadData.pAddr, VDA_GetPhyOffset(2, phys)) << "word 2 converted";
    EXPECT_EQ(d.unData.stMdData.bObjValid, 0u);
    EXPECT_EQ(d.unData.stMdData.stObjData.pstAddr, nullptr) << "word 7 left as the driver wrote it";
    for (MK_U32 y = 0; y < 30; ++y)
        for (MK_U32 x = 0; x < 40; ++x) ASSERT_EQ(Sad8(d, x, y), sad[y * 40 + x]) << x << "," << y;
    EXPECT_EQ(view::Get(2)->held, 1u);
    ASSERT_EQ(MK_MPI_VDA_ReleaseData(2, &d), MK_SUCCESS);
    EXPECT_EQ(view::Get(2)->held, 0u);
    EXPECT_EQ(MK_MPI_VDA_ReleaseData(2, &d), kIllegal) << "released twice";
}

TEST_F(VdaTest, ObjectsAreConvertedWhenTheirFlagIsSet) {
    ASSERT_EQ(MK_MPI_VDA_CreateChn(2, Ptr(Motion(2))), MK_SUCCESS);
    view::Injection inj;
    inj.objects = std::vector<VDA_OBJ_S>{{1, 2, 3, 4}, {10, 20, 30, 40}};
    view::Inject(2, inj);
    ASSERT_TRUE(view::Produce(2));
    VDA_DATA_S d{};
    ASSERT_EQ(MK_MPI_VDA_GetData(2, &d, 0), MK_SUCCESS);
    ASSERT_EQ(d.unData.stMdData.bObjValid, 1u);
    ASSERT_EQ(d.unData.stMdData.stObjData.u32ObjNum, 2u);
    const VDA_OBJ_S* obj = d.unData.stMdData.stObjData.pstAddr;
    EXPECT_EQ(obj[1].u16Right, 30);
    EXPECT_EQ(obj[0].u16Top, 2);
    MK_MPI_VDA_ReleaseData(2, &d);
}

TEST_F(VdaTest, OcclusionResultsComeBackAsTheDriverWroteThem) {
    ASSERT_EQ(MK_MPI_VDA_CreateChn(3, Ptr(Occlusion(704, 480, 600, 60, 20, 1))), MK_SUCCESS);
    view::Injection inj;
    inj.alarms = std::array<uint32_t, 4>{1, 0, 0, 0};
    view::Inject(3, inj);
    ASSERT_TRUE(view::Produce(3));
    VDA_DATA_S d;
    std::memset(&d, 0xAB, sizeof d);
    ASSERT_EQ(MK_MPI_VDA_GetData(3, &d, 0), MK_SUCCESS);
    VDA_DATA_S written = view::Get(3)->last;
    EXPECT_EQ(std::memcmp(&d, &written, sizeof d), 0);
    EXPECT_EQ(d.unData.stOdData.abRgnAlarm[0], 1u);
    EXPECT_EQ(d.unData.stOdData.u32RgnNum, 1u);
    MK_MPI_VDA_ReleaseData(3, &d);
}

TEST_F(VdaTest, ResultAddressesOutsideTheBufferAreRefusedAndGivenBack) {
    ASSERT_EQ(MK_MPI_VDA_CreateChn(2, Ptr(Motion(4))), MK_SUCCESS);
    const auto v = *view::Get(2);
    const MK_U32 sadArea = 48 * 30;  // stride 48 (40 rounded up to 16) x 30 rows
    struct Case {
        const char* what;
        view::Injection inj;
    } cases[] = {
        {"SAD past the end", {std::nullopt, std::nullopt, std::nullopt, v.bufPhys + v.bufSize, std::nullopt}},
        {"SAD running over the end", {std::nullopt, std::nullopt, std::nullopt, v.bufPhys + v.bufSize - sadArea + 1, std::nullopt}},
        {"SAD before the start", {std::nullopt, std::nullopt, std::nullopt, v.bufPhys - 16, std::nullopt}},
        {"objects outside", {std::nullopt, std::vector<VDA_OBJ_S>(3), std::nullopt, std::nullopt, v.bufPhys + v.bufSize}},
    };
    for (const Case& c : cases) {
        view::Inject(2, c.inj);
        ASSERT_TRUE(view::Produce(2));
        VDA_DATA_S d;
        std::memset(&d, 0xAB, sizeof d);
        const int releases = Drv()->RequestCount(mk::vda::kReleaseData);
        EXPECT_EQ(MK_MPI_VDA_GetData(2, &d, 0), kIllegal) << c.what;
        EXPECT_EQ(d.enWorkMode, 0xABABABABu) << c.what << ": the record is left alone";
        EXPECT_EQ(Drv()->RequestCount(mk::vda::kReleaseData), releases + 1) << c.what;
        EXPECT_EQ(view::Get(2)->held, 0u) << c.what << ": given back";
    }
    // The last SAD byte of the last slot is still inside: accepted.
    view::Inject(2, {std::nullopt, std::nullopt, std::nullopt, v.bufPhys + v.bufSize - sadArea, std::nullopt});
    ASSERT_TRUE(view::Produce(2));
    VDA_DATA_S d{};
    EXPECT_EQ(MK_MPI_VDA_GetData(2, &d, 0), MK_SUCCESS);
    MK_MPI_VDA_ReleaseData(2, &d);
}

TEST_F(VdaTest, TheDescriptorIsReadableWhileAResultWaits) {
    ASSERT_EQ(MK_MPI_VDA_CreateChn(1, Ptr(Motion(2))), MK_SUCCESS);
    const int fd = MK_MPI_VDA_GetFd(1);
    auto readable = [fd] {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, 0) == 1;
    };
    VDA_DATA_S d{};
    EXPECT_EQ(MK_MPI_VDA_GetData(1, &d, 0), kEmpty);
    EXPECT_FALSE(readable());
    ASSERT_TRUE(view::Produce(1));
    EXPECT_TRUE(readable());
    ASSERT_EQ(MK_MPI_VDA_GetData(1, &d, 1), MK_SUCCESS) << "a waiting result needs no wait";
    EXPECT_FALSE(readable());
    MK_MPI_VDA_ReleaseData(1, &d);
    EXPECT_EQ(MK_MPI_VDA_GetData(1, &d, 1), kNotPerm) << "nothing waits and nothing would come";
}

TEST_F(VdaTest, AWaitingFetchEndsWithAResultAStopOrADestroy) {
    struct Case {
        const char* what;
        std::function<void()> act;
        MK_S32 want;
    } cases[] = {
        {"result", [] { view::Produce(1); }, MK_SUCCESS},
        {"stop", [] { MK_MPI_VDA_StopRecvPic(1); }, kNotPerm},
        {"destroy", [] { MK_MPI_VDA_DestroyChn(1); }, kUnexist},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(MK_MPI_VDA_CreateChn(1, Ptr(Motion(2))), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_VDA_StartRecvPic(1), MK_SUCCESS);  // receiving, but unbound: nothing comes
        std::atomic<MK_S32> got{1};
        std::thread waiter([&] {
            VDA_DATA_S d{};
            got = MK_MPI_VDA_GetData(1, &d, 1);
            if (got == MK_SUCCESS) MK_MPI_VDA_ReleaseData(1, &d);
        });
        c.act();
        waiter.join();
        EXPECT_EQ(got.load(), c.want) << c.what;
        MK_MPI_VDA_DestroyChn(1);
    }
}

TEST_F(VdaTest, AtMostTheBufferCountIsHeld) {
    ASSERT_EQ(MK_MPI_VDA_CreateChn(0, Ptr(Motion(2))), MK_SUCCESS);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(view::Produce(0));
    auto v = view::Get(0);
    EXPECT_EQ(v->waiting, 2u);
    EXPECT_EQ(v->dropped, 1u) << "the oldest waiting result made room";
    VDA_DATA_S a{}, b{};
    ASSERT_EQ(MK_MPI_VDA_GetData(0, &a, 0), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VDA_GetData(0, &b, 0), MK_SUCCESS);
    EXPECT_LT(a.u32Seq, b.u32Seq);
    EXPECT_EQ(a.u32Seq, 2u) << "result 1 was the one dropped";
    ASSERT_TRUE(view::Produce(0));
    v = view::Get(0);
    EXPECT_EQ(v->waiting, 0u) << "both slots are held";
    EXPECT_EQ(v->dropped, 2u);
    ASSERT_EQ(MK_MPI_VDA_ReleaseData(0, &a), MK_SUCCESS);
    ASSERT_TRUE(view::Produce(0));
    EXPECT_EQ(view::Get(0)->waiting, 1u);
    MK_MPI_VDA_ReleaseData(0, &b);
}

TEST_F(VdaTest, SentPicturesGiveTheSadOfEachMacroblock) {
    struct Case {
        MK_U32 mb, bits, value;  // value of the changed macroblock
    } cases[] = {{VDA_MB_16PIXEL, VDA_MB_SAD_8BIT, 20}, {VDA_MB_8PIXEL, VDA_MB_SAD_8BIT, 20},
                 {VDA_MB_8PIXEL, VDA_MB_SAD_16BIT, 20 * 64}, {VDA_MB_16PIXEL, VDA_MB_SAD_16BIT, 20 * 256}};
    for (const Case& c : cases) {
        const MK_U32 w = 64, h = 48, side = c.mb == VDA_MB_8PIXEL ? 8 : 16;
        ASSERT_EQ(MK_MPI_VDA_CreateChn(5, Ptr(Motion(2, w, h, c.mb, c.bits))), MK_SUCCESS);
        RamPicture pic(w, h);
        std::vector<uint8_t> a(w * h, 10), b = a;
        // Macroblock (1, 2) brighter by 20; one pixel of macroblock (0, 0) by 1.
        for (MK_U32 y = 2 * side; y < 3 * side; ++y)
            for (MK_U32 x = side; x < 2 * side; ++x) b[y * w + x] = 30;
        b[0] = 11;
        ASSERT_EQ(pic.Send(5, a), MK_SUCCESS);
        EXPECT_EQ(view::Get(5)->produced, 0u) << "the first picture has nothing to compare with";
        EXPECT_EQ(view::Get(5)->lastWord, 7u);
        ASSERT_EQ(pic.Send(5, b), MK_SUCCESS);
        VDA_DATA_S d{};
        ASSERT_EQ(MK_MPI_VDA_GetData(5, &d, 0), MK_SUCCESS);
        const auto* base = static_cast<const uint8_t*>(d.unData.stMdData.stMbSadData.pAddr);
        auto at = [&](MK_U32 x, MK_U32 y) -> MK_U32 {
            const uint8_t* p = base + y * d.unData.stMdData.stMbSadData.u32Stride + x * (c.bits == VDA_MB_SAD_8BIT ? 1 : 2);
            return c.bits == VDA_MB_SAD_8BIT ? p[0] : p[0] | (p[1] << 8);
        };
        EXPECT_EQ(d.unData.stMdData.stMbSadData.enMbSadBits, c.bits);
        for (MK_U32 y = 0; y < d.u32MbHeight; ++y)
            for (MK_U32 x = 0; x < d.u32MbWidth; ++x) {
                MK_U32 want = (x == 1 && y == 2) ? c.value : 0;
                if (x == 0 && y == 0) want = c.bits == VDA_MB_SAD_16BIT ? 1 : 0;  // the mean of 1 / 64 is 0
                EXPECT_EQ(at(x, y), want) << side << "px " << c.bits << " at " << x << "," << y;
            }
        EXPECT_EQ(pic.Send(5, std::vector<uint8_t>(w * h)), MK_SUCCESS);
        VIDEO_FRAME_INFO_S wrong{};
        wrong.u32Width = w + 2;
        wrong.u32Height = h;
        EXPECT_EQ(MK_MPI_VDA_SendPic(5, &wrong, 0), kIllegal);
        MK_MPI_VDA_ReleaseData(5, &d);
        ASSERT_EQ(MK_MPI_VDA_DestroyChn(5), MK_SUCCESS);
    }
}

TEST_F(VdaTest, SentPictureRowsOutsideRamAreRefused) {
    const MK_U32 w = 64, h = 48;
    ASSERT_EQ(MK_MPI_VDA_CreateChn(5, Ptr(Motion(2, w, h))), MK_SUCCESS);
    const uint64_t ramEnd = uint64_t{Ram::Local().base()} + Ram::Local().size();
    const uint32_t phys = ZoneAllocator::Local().Allocate(uint64_t{w} * h);
    struct Case {
        const char* what;
        uint64_t addr;
        MK_U32 stride;
        MK_S32 want;
    };
    const Case cases[] = {
        {"a stride that wraps 32 bits back into RAM", phys + 47 * 16u, 0xFFFFFFF0u, kIllegal},
        {"a stride whose last row lies past 4 GiB", phys, 0x10000000u, kIllegal},
        {"the last row one byte past the end of RAM", ramEnd - uint64_t{w} * h + 1, w, kIllegal},
        {"the last row ends at the end of RAM", ramEnd - uint64_t{w} * h, w, MK_SUCCESS},
        {"the first row below RAM", Ram::Local().base() - w, w, kIllegal},
    };
    for (const Case& c : cases) {
        VIDEO_FRAME_INFO_S f{};
        f.u32Width = w;
        f.u32Height = h;
        f.u32PhyAddr[0] = static_cast<MK_U32>(c.addr);
        f.u32Stride[0] = c.stride;
        EXPECT_EQ(MK_MPI_VDA_SendPic(5, &f, 0), c.want) << c.what;
    }
    ZoneAllocator::Local().Free(phys);
}

TEST_F(VdaTest, OcclusionAlarmsAfterTheCountAndClearsOnReset) {
    const MK_U32 w = 64, h = 64;
    ASSERT_EQ(MK_MPI_VDA_CreateChn(3, Ptr(Occlusion(w, h, 100, 50, 2, 1))), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VDA_StartRecvPic(3), MK_SUCCESS);
    RamPicture pic(w, h);
    std::vector<uint8_t> scene(w * h), black(w * h, 16);
    for (MK_U32 i = 0; i < scene.size(); ++i) scene[i] = static_cast<uint8_t>(40 + (i * 37) % 160);
    auto alarmAfter = [&](const std::vector<uint8_t>& luma) {
        EXPECT_EQ(pic.Send(3, luma), MK_SUCCESS);
        VDA_DATA_S d{};
        EXPECT_EQ(MK_MPI_VDA_GetData(3, &d, 0), MK_SUCCESS);
        MK_MPI_VDA_ReleaseData(3, &d);
        return d.unData.stOdData.abRgnAlarm[0];
    };
    EXPECT_EQ(alarmAfter(scene), 0u) << "the background";
    EXPECT_EQ(alarmAfter(black), 0u) << "one occluded result of the two needed";
    EXPECT_EQ(alarmAfter(black), 1u);
    EXPECT_EQ(alarmAfter(black), 1u);
    ASSERT_EQ(MK_MPI_VDA_ResetOdRegion(3, 0), MK_SUCCESS);
    EXPECT_EQ(alarmAfter(black), 0u) << "the black picture is the new background";
    EXPECT_EQ(alarmAfter(scene), 0u);
    EXPECT_EQ(alarmAfter(scene), 1u) << "the old scene now differs from the background";
    EXPECT_EQ(alarmAfter(black), 0u) << "one clear result clears it";
    EXPECT_EQ(MK_MPI_VDA_ResetOdRegion(3, 1), kIllegal) << "one region only";
    ASSERT_EQ(MK_MPI_VDA_CreateChn(0, Ptr(Motion())), MK_SUCCESS);
    EXPECT_EQ(MK_MPI_VDA_ResetOdRegion(0, 0), kNotPerm) << "a motion channel";
}

// Pictures of an input published through the frame router as a capture channel does: test-pattern
// pictures of channel 2 (index k) with the camera scene, or one still picture, 704 x 576 luma in
// simulated RAM.
class InputPictures {
public:
    InputPictures() : m_phys(ZoneAllocator::Local().Allocate(uint64_t{kW} * kH * 8)) {}
    ~InputPictures() { ZoneAllocator::Local().Free(m_phys); }
    // Publishes picture k (a still picture when `still`); the number of receivers that took it.
    int Publish(uint64_t k, bool still = false) {
        std::vector<uint8_t> luma(kW * kH);
        if (still) {
            drivers::DrawFlat(drivers::PatternFrame{luma.data(), kW, nullptr, 0, kW, kH}, {16, 128, 128});
        } else {
            drivers::DrawTestPattern(drivers::PatternFrame{luma.data(), kW, nullptr, 0, kW, kH}, 2, k, -1,
                                     drivers::PatternScene::kCamera);
        }
        // Each picture in its own place: a receiver may still hold the ones before it.
        const uint32_t at = m_phys + static_cast<uint32_t>(k % 8) * kW * kH;
        Ram::Local().Write(at, luma.data(), luma.size());
        VIDEO_FRAME_INFO_S f{};
        f.u32Width = kW;
        f.u32Height = kH;
        f.u32PhyAddr[0] = at;
        f.u32Stride[0] = kW;
        f.u32Field = 4;
        f.enPixelFormat = 23;
        return drivers::FrameRouter::Instance().Publish(MPP_CHN_S{MK_ID_VIU, 0, 2}, drivers::HeldFrame(f));
    }

    static constexpr int kW = 704, kH = 576;

private:
    uint32_t m_phys;
};

// Of a motion result of 640 x 480 taken from the input's pictures: the sum of the SAD values of the
// macroblocks wholly inside the pattern's still signature area, and how many of the others moved.
struct MotionSplit {
    MK_U32 stillSad = 0;
    MK_U32 moved = 0, others = 0;
};
MotionSplit MotionOf(const VDA_DATA_S& d) {
    const drivers::PatternRect r = drivers::PatternSignatureRect(InputPictures::kW, InputPictures::kH);
    auto within = [](MK_U32 from, MK_U32 to, int lo, int hi) {
        return static_cast<int>(from) >= lo && static_cast<int>(to) <= hi;
    };
    MotionSplit m;
    for (MK_U32 y = 0; y < d.u32MbHeight; ++y) {
        for (MK_U32 x = 0; x < d.u32MbWidth; ++x) {
            // The input rows and columns the macroblock samples (nearest pixel), a pixel to spare.
            const bool still = within(x * 16 * InputPictures::kW / 640,
                                      (x * 16 + 16) * InputPictures::kW / 640 + 1, r.x, r.x + r.width) &&
                               within(y * 16 * InputPictures::kH / 480,
                                      (y * 16 + 16) * InputPictures::kH / 480 + 1, r.y, r.y + r.height);
            if (still) {
                m.stillSad += Sad8(d, x, y);
            } else {
                m.moved += Sad8(d, x, y) > 0;
                ++m.others;
            }
        }
    }
    return m;
}

TEST_F(VdaTest, ABoundInputsPicturesGiveMotionWhereTheyChangeAndNoneWhenStill) {
    // The camera scene's noise and things move all over the picture but its signature area.
    ASSERT_EQ(MK_MPI_VDA_CreateChn(2, Ptr(Motion(8))), MK_SUCCESS);
    ASSERT_EQ(drivers::BindGraph::Instance().Bind(MPP_CHN_S{MK_ID_VIU, 0, 2}, MPP_CHN_S{MK_ID_VDA, 0, 2}), 0);
    InputPictures input;
    EXPECT_EQ(input.Publish(0), 0) << "not receiving: declined";
    ASSERT_EQ(MK_MPI_VDA_StartRecvPic(2), MK_SUCCESS);
    // Interval 4: pictures 3 and 4 (numbered from 1) make the first result, 7 and 8 the second.
    int taken = 0;
    for (uint64_t k = 1; k <= 8; ++k) taken += input.Publish(k);
    EXPECT_EQ(taken, 4) << "only the due pictures and those right before them are kept";
    VDA_DATA_S d{};
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(MK_MPI_VDA_GetData(2, &d, 1), MK_SUCCESS);
        EXPECT_EQ(d.u32MbWidth, 40u);
        const MotionSplit m = MotionOf(d);
        EXPECT_EQ(m.stillSad, 0u);
        EXPECT_GT(m.others, 40u * 30 / 2);
        EXPECT_GT(m.moved, m.others * 3 / 4);
        MK_MPI_VDA_ReleaseData(2, &d);
    }
    // A still picture: no macroblock changes.
    for (uint64_t k = 9; k <= 12; ++k) input.Publish(k, true);
    ASSERT_EQ(MK_MPI_VDA_GetData(2, &d, 1), MK_SUCCESS);
    const MotionSplit m = MotionOf(d);
    EXPECT_EQ(m.stillSad + m.moved, 0u);
    MK_MPI_VDA_ReleaseData(2, &d);
    EXPECT_EQ(view::Get(2)->produced, 3u);
    EXPECT_EQ(MK_MPI_VDA_StopRecvPic(2), MK_SUCCESS);
    EXPECT_EQ(input.Publish(13), 0) << "stopped: declined";
}

TEST_F(VdaTest, OcclusionFromTheInputsPictures) {
    // A covered lens after a live scene: the region differs from the background in every macroblock.
    ASSERT_EQ(MK_MPI_VDA_CreateChn(3, Ptr(Occlusion(704, 480, 20, 50, 1, 1))), MK_SUCCESS);
    ASSERT_EQ(drivers::BindGraph::Instance().Bind(MPP_CHN_S{MK_ID_VIU, 0, 2}, MPP_CHN_S{MK_ID_VDA, 0, 3}), 0);
    ASSERT_EQ(MK_MPI_VDA_StartRecvPic(3), MK_SUCCESS);
    InputPictures input;
    auto alarmAfter = [&](uint64_t first, bool still) {
        for (uint64_t k = first; k < first + 4; ++k) input.Publish(k, still);
        VDA_DATA_S d{};
        EXPECT_EQ(MK_MPI_VDA_GetData(3, &d, 1), MK_SUCCESS);
        const MK_U32 alarm = d.unData.stOdData.abRgnAlarm[0];
        MK_MPI_VDA_ReleaseData(3, &d);
        return alarm;
    };
    EXPECT_EQ(alarmAfter(1, false), 0u) << "the first picture is the background";
    EXPECT_EQ(alarmAfter(5, true), 1u);
    EXPECT_EQ(MK_MPI_VDA_StopRecvPic(3), MK_SUCCESS);
}

}  // namespace
