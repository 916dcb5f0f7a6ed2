#include "sdk/tde/mpi_tde.h"

#include <pixman.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/dev/driver.h"
#include "platform/drivers/core/kernel.h"
#include "platform/drivers/tde/tde_driver.h"
#include "platform/mem/ram.h"
#include "platform/mem/zone.h"
#include "sdk/common/testing/bus_environment.h"

namespace {

namespace dev = varnelle::dev;
namespace drivers = varnelle::drivers;
namespace view = varnelle::drivers::tde_view;
using varnelle::mem::Ram;
using varnelle::mem::ZoneAllocator;

constexpr MK_S32 kNotOpen = static_cast<MK_S32>(0xA0648001u);
constexpr MK_S32 kNull = static_cast<MK_S32>(0xA0648003u);
constexpr MK_S32 kJobFailed = static_cast<MK_S32>(0xA0648005u);
constexpr MK_S32 kRange = static_cast<MK_S32>(0xA0648006u);

[[maybe_unused]] ::testing::Environment* const g_bus =
    ::testing::AddGlobalTestEnvironment(new mk::testing::BusEnvironment("tde", [] {
        drivers::InstallTdeDriver();
        Ram::Local();
    }));

std::shared_ptr<dev::Driver> Drv() { return dev::Registry::Find("/dev/mk_tde"); }

// A surface in simulated RAM.
class RamSurface {
public:
    RamSurface(MK_U32 fmt, MK_U32 w, MK_U32 h) {
        const MK_U32 bpp = fmt == TDE2_COLOR_FMT_ARGB8888 ? 4 : 2;
        m_s = TDE2_SURFACE_S{};
        m_s.enColorFmt = fmt;
        m_s.u32Width = w;
        m_s.u32Height = h;
        m_s.u32Stride = (w * bpp + 3) & ~3u;
        m_s.u32PhyAddr = ZoneAllocator::Local().Allocate(uint64_t{m_s.u32Stride} * h);
        m_bytes.assign(size_t{m_s.u32Stride} * h, 0);
        Ram::Local().Write(m_s.u32PhyAddr, m_bytes.data(), m_bytes.size());
    }
    ~RamSurface() { ZoneAllocator::Local().Free(m_s.u32PhyAddr); }
    const TDE2_SURFACE_S* p() const { return &m_s; }
    const TDE2_SURFACE_S& s() const { return m_s; }
    // Fills with pseudo-random premultiplied pixels and returns the bytes.
    std::vector<uint8_t>& Randomise(uint32_t seed) {
        uint32_t x = seed * 2654435761u + 7;
        for (size_t i = 0; i < m_bytes.size(); i += 4) {
            x = x * 1664525u + 1013904223u;
            uint32_t p = x;
            if (m_s.enColorFmt == TDE2_COLOR_FMT_ARGB8888) {
                const uint32_t a = p >> 24;
                p = a << 24 | ((p >> 16) & 0xFF) * a / 255 << 16 | ((p >> 8) & 0xFF) * a / 255 << 8 | (p & 0xFF) * a / 255;
            }
            std::memcpy(&m_bytes[i], &p, 4);
        }
        Ram::Local().Write(m_s.u32PhyAddr, m_bytes.data(), m_bytes.size());
        return m_bytes;
    }
    std::vector<uint8_t> Read() const {
        std::vector<uint8_t> b(m_bytes.size());
        Ram::Local().Read(m_s.u32PhyAddr, b.data(), b.size());
        return b;
    }

private:
    TDE2_SURFACE_S m_s;
    std::vector<uint8_t> m_bytes;
};

class TdeTest : public ::testing::Test {
protected:
    void SetUp() override {
        while (Drv()->OpenFiles() > 0) MK_TDE2_Close();
        Drv()->ClearFaults();
        Drv()->ResetCounters();
        drivers::ResetMediaState();
        ASSERT_EQ(MK_TDE2_Open(), MK_SUCCESS);
    }
    void TearDown() override {
        MK_TDE2_Close();
        drivers::ResetMediaState();
    }
    static std::vector<uint8_t> Last(unsigned long request) { return view::Get()->lastRecords[request]; }
    static MK_U32 WordAt(unsigned long request, size_t offset) {
        MK_U32 w;
        std::memcpy(&w, Last(request).data() + offset, 4);
        return w;
    }
};

const TDE2_RECT_S* Ptr(const TDE2_RECT_S& r) { return &r; }

TEST_F(TdeTest, OpenCountsAndTheLastCloseCloses) {
    ASSERT_EQ(MK_TDE2_Open(), MK_SUCCESS);
    EXPECT_EQ(Drv()->OpenFiles(), 1) << "opened once";
    MK_TDE2_Close();
    TDE_HANDLE h = MK_TDE2_BeginJob();
    EXPECT_GT(h, 0) << "still open";
    MK_TDE2_CancelJob(h);
    MK_TDE2_Close();
    EXPECT_EQ(Drv()->OpenFiles(), 0);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(MK_TDE2_BeginJob(), kNotOpen);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "tde doesn't open!\n");
    MK_TDE2_Close();  // a third does nothing
    Drv()->FailOpen(ENOENT);
    EXPECT_EQ(static_cast<uint32_t>(MK_TDE2_Open()), 0xA0648002u);
    ASSERT_EQ(MK_TDE2_Open(), MK_SUCCESS);
}

TEST_F(TdeTest, EveryCallButOpenCloseAndValue24NeedsTheModuleOpen) {
    MK_TDE2_Close();
    TDE2_SURFACE_S s{};
    TDE2_RECT_S r{};
    TDE2_OPT_S o{};
    TDE2_SPECIAL_SRC_S sp{};
    TDE2_SPECIAL_OPT_S so{};
    TDE2_MBOPT_S mo{};
    TDE2_PARAM_S pa{};
    MK_U32 w = 0;
    MK_U8 b = 0;
    const std::vector<std::pair<const char*, std::function<MK_S32()>>> calls = {
        {"BeginJob", [] { return MK_TDE2_BeginJob(); }},
        {"EndJob", [] { return MK_TDE2_EndJob(1, MK_FALSE, MK_TRUE, 10); }},
        {"CancelJob", [] { return MK_TDE2_CancelJob(1); }},
        {"TwoSourceBlit", [&] { return MK_TDE2_TwoSourceBlit(1, &s, &r, &s, &r, &s, &r, &o); }},
        {"ParamBlit", [&] { return MK_TDE2_ParamBlit(1, &s, &r, &s, &r, &pa, &o); }},
        {"SimpleBlit4", [&] { return MK_TDE2_SimpleBlit4(1, &s, &r, &s, &r); }},
        {"SimpleBlit5", [&] { return MK_TDE2_SimpleBlit5(1, &s, &r, &s, &r); }},
        {"SimpleBlit7", [&] { return MK_TDE2_SimpleBlit7(1, &s, &r, &s, &r); }},
        {"Bitblit", [&] { return MK_TDE2_Bitblit(1, &s, &r, 0); }},
        {"SpecialSourceBlit", [&] { return MK_TDE2_SpecialSourceBlit(1, &sp, &r, &s, &r, &so); }},
        {"FourSurfaceBlit12", [&] { return MK_TDE2_FourSurfaceBlit12(1, &s, &r, &s, &r, &s, &r, &s, &r, 0, 0); }},
        {"FourSurfaceBlit13", [&] { return MK_TDE2_FourSurfaceBlit13(1, &s, &r, &s, &r, &s, &r, &s, &r, 0, 1); }},
        {"ThreeSurfaceBlit", [&] { return MK_TDE2_ThreeSurfaceBlit(1, &s, &r, &s, &r, &s, &r, &mo); }},
        {"SetValue10", [] { return MK_TDE2_SetValue10(1); }},
        {"Request14", [] { return MK_TDE2_Request14(); }},
        {"Request15", [] { return MK_TDE2_Request15(); }},
        {"SetValue17", [] { return MK_TDE2_SetValue17(1); }},
        {"GetValue18", [&] { return MK_TDE2_GetValue18(&w); }},
        {"SetFlag19", [] { return MK_TDE2_SetFlag19(1); }},
        {"GetFlag20", [&] { return MK_TDE2_GetFlag20(&b); }},
        {"SetValue21", [] { return MK_TDE2_SetValue21(1); }},
        {"SetValue22", [&] { return MK_TDE2_SetValue22(&w); }},
    };
    for (const auto& [name, call] : calls) {
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(call(), kNotOpen) << name;
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "tde doesn't open!\n") << name;
    }
    EXPECT_EQ(MK_TDE2_SetValue24(1), -1) << "sent on the closed descriptor";
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(MK_TDE2_SubmitSurfaceList(1, nullptr), MK_FAILURE);
    ASSERT_EQ(MK_TDE2_Open(), MK_SUCCESS);
}

TEST_F(TdeTest, AbsentArgumentsAreMarkedAndRequiredOnesChecked) {
    RamSurface dst(TDE2_COLOR_FMT_ARGB8888, 8, 8);
    TDE2_RECT_S r{0, 0, 8, 8};
    TDE_HANDLE h = MK_TDE2_BeginJob();
    ASSERT_GT(h, 0);
    ASSERT_EQ(MK_TDE2_TwoSourceBlit(h, nullptr, nullptr, nullptr, nullptr, dst.p(), &r, nullptr), MK_SUCCESS);
    EXPECT_EQ(WordAt(mk::tde::kTwoSource, 348), 158u);
    EXPECT_EQ(MK_TDE2_ThreeSurfaceBlit(h, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), MK_SUCCESS);
    EXPECT_EQ(WordAt(mk::tde::kThree, 332), 254u);
    EXPECT_EQ(MK_TDE2_ParamBlit(h, nullptr, nullptr, dst.p(), &r, nullptr, nullptr), MK_SUCCESS);
    EXPECT_EQ(WordAt(mk::tde::kParam, 292), 2u + 4u + 32u + 64u);
    TDE2_OPT_S opt{};
    opt.u32GlobalAlpha = 77;
    ASSERT_EQ(MK_TDE2_TwoSourceBlit(h, dst.p(), &r, dst.p(), &r, dst.p(), &r, &opt), MK_SUCCESS);
    EXPECT_EQ(WordAt(mk::tde::kTwoSource, 348), 0u);
    EXPECT_EQ(WordAt(mk::tde::kTwoSource, 196), 77u) << "options at their offset";

    EXPECT_EQ(MK_TDE2_TwoSourceBlit(h, dst.p(), &r, dst.p(), &r, nullptr, &r, &opt), kNull);
    EXPECT_EQ(MK_TDE2_TwoSourceBlit(h, dst.p(), &r, dst.p(), &r, dst.p(), nullptr, &opt), kNull);
    EXPECT_EQ(MK_TDE2_Bitblit(h, dst.p(), nullptr, 0), kNull);
    EXPECT_EQ(MK_TDE2_SimpleBlit4(h, dst.p(), nullptr, dst.p(), &r), kNull);
    TDE2_SPECIAL_SRC_S sp{};
    TDE2_SPECIAL_OPT_S so{};
    EXPECT_EQ(MK_TDE2_SpecialSourceBlit(h, &sp, nullptr, dst.p(), &r, &so), kNull) << "source rectangle";
    EXPECT_EQ(MK_TDE2_SpecialSourceBlit(h, &sp, &r, dst.p(), nullptr, &so), kNull) << "destination rectangle";
    EXPECT_EQ(MK_TDE2_SpecialSourceBlit(h, &sp, &r, dst.p(), &r, nullptr), kNull);
    EXPECT_EQ(MK_TDE2_SpecialSourceBlit(h, &sp, &r, dst.p(), &r, &so), MK_SUCCESS);
    EXPECT_EQ(MK_TDE2_FourSurfaceBlit12(h, dst.p(), &r, dst.p(), &r, dst.p(), nullptr, dst.p(), &r, 1, 2), kNull);
    EXPECT_EQ(MK_TDE2_FourSurfaceBlit13(h, dst.p(), &r, dst.p(), &r, dst.p(), &r, dst.p(), &r, 0xAB, 2), kRange);
    ASSERT_EQ(MK_TDE2_FourSurfaceBlit13(h, dst.p(), &r, dst.p(), &r, dst.p(), &r, dst.p(), &r, 0xAB, 1), MK_SUCCESS);
    const std::vector<uint8_t>& four = Last(mk::tde::kFour13);
    EXPECT_EQ(four[260], 0xAB);
    EXPECT_EQ(four[261] | four[262] | four[263], 0) << "the byte's padding is zero";
    EXPECT_EQ(WordAt(mk::tde::kFour13, 264), 1u);
    EXPECT_EQ(MK_TDE2_CancelJob(h), MK_SUCCESS);
}

TEST_F(TdeTest, TheModuleRequests) {
    EXPECT_EQ(MK_TDE2_SetValue17(4), kRange);
    EXPECT_EQ(MK_TDE2_SetValue17(3), MK_SUCCESS);
    MK_U32 w = 0;
    ASSERT_EQ(MK_TDE2_GetValue18(&w), MK_SUCCESS);
    EXPECT_EQ(w, 3u);
    ASSERT_EQ(MK_TDE2_SetFlag19(1), MK_SUCCESS);
    MK_U8 b = 0;
    ASSERT_EQ(MK_TDE2_GetFlag20(&b), MK_SUCCESS);
    EXPECT_EQ(b, 1);
    EXPECT_EQ(MK_TDE2_GetValue18(nullptr), kNull);
    EXPECT_EQ(MK_TDE2_GetFlag20(nullptr), kNull);
    EXPECT_EQ(MK_TDE2_SetValue22(nullptr), kNull);
    w = 22;
    ASSERT_EQ(MK_TDE2_SetValue22(&w), MK_SUCCESS);
    ASSERT_EQ(MK_TDE2_SetValue24(24), MK_SUCCESS);
    auto v = *view::Get();
    EXPECT_EQ(v.values[mk::tde::kSetValue22], 22u);
    EXPECT_EQ(v.values[mk::tde::kSetValue24], 24u);
}

TEST_F(TdeTest, JobsRunWhenEndedAndNeverWhenCancelled) {
    RamSurface s(TDE2_COLOR_FMT_ARGB1555, 16, 4);
    TDE2_RECT_S all{0, 0, 16, 4};
    TDE_HANDLE a = MK_TDE2_BeginJob(), b = MK_TDE2_BeginJob();
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 2);
    ASSERT_EQ(MK_TDE2_Bitblit(a, s.p(), &all, 0x8000), MK_SUCCESS);
    ASSERT_EQ(MK_TDE2_Bitblit(b, s.p(), &all, 0x7FFF), MK_SUCCESS);
    EXPECT_EQ(s.Read(), std::vector<uint8_t>(128, 0)) << "nothing drawn before the end";
    ASSERT_EQ(MK_TDE2_CancelJob(b), MK_SUCCESS);
    ASSERT_EQ(MK_TDE2_EndJob(a, MK_TRUE, MK_TRUE, 10), MK_SUCCESS);
    const std::vector<uint8_t> got = s.Read();
    for (size_t i = 0; i < got.size(); i += 2) ASSERT_EQ(got[i] | got[i + 1] << 8, 0x8000) << i;
    EXPECT_EQ(WordAt(mk::tde::kEndJob, 0), static_cast<MK_U32>(a));
    EXPECT_EQ(WordAt(mk::tde::kEndJob, 4), 0u) << "the sync flag's place";
    EXPECT_EQ(WordAt(mk::tde::kEndJob, 8), 1u);
    EXPECT_EQ(WordAt(mk::tde::kEndJob, 12), 10u);
    auto v = *view::Get();
    EXPECT_EQ(v.opsRun, 1u);
    EXPECT_EQ(v.opsDropped, 1u);
    EXPECT_EQ(v.openJobs, 0u);
    EXPECT_EQ(MK_TDE2_EndJob(a, MK_FALSE, MK_TRUE, 10), MK_ERR_TDE_INVALID_HANDLE) << "ended already";
    EXPECT_EQ(MK_TDE2_BeginJob(), 1) << "handles are used again";
    Drv()->FailRequest(mk::tde::kBeginJob, -1, 1, ENOMEM);
    EXPECT_EQ(MK_TDE2_BeginJob(), kJobFailed);
    ::testing::internal::CaptureStdout();
    TDE2_SURFACE_LIST_S list{0, nullptr, nullptr};
    EXPECT_EQ(MK_TDE2_SubmitSurfaceList(kJobFailed, &list), MK_FAILURE);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Fail to create Job.\n");
}

TEST_F(TdeTest, RectanglesOutsideTheirSurfaceOrRamAreRefused) {
    RamSurface s(TDE2_COLOR_FMT_ARGB8888, 10, 6);
    TDE_HANDLE h = MK_TDE2_BeginJob();
    struct Case {
        const char* what;
        std::function<void(TDE2_SURFACE_S&, TDE2_RECT_S&)> change;
        MK_S32 want;
    } cases[] = {
        {"fits", [](TDE2_SURFACE_S&, TDE2_RECT_S&) {}, MK_SUCCESS},
        {"negative x", [](TDE2_SURFACE_S&, TDE2_RECT_S& r) { r.s32Xpos = -1; }, kRange},
        {"past the right", [](TDE2_SURFACE_S&, TDE2_RECT_S& r) { r.s32Xpos = 1; }, kRange},
        {"past the bottom", [](TDE2_SURFACE_S&, TDE2_RECT_S& r) { r.u32Height = 7; }, kRange},
        {"huge width", [](TDE2_SURFACE_S&, TDE2_RECT_S& r) { r.s32Xpos = 1; r.u32Width = 0xFFFFFFFF; }, kRange},
        {"stride too small", [](TDE2_SURFACE_S& s, TDE2_RECT_S&) { s.u32Stride = 36; }, kRange},
        {"below RAM", [](TDE2_SURFACE_S& s, TDE2_RECT_S&) { s.u32PhyAddr = 0x3FFFFF00; }, kRange},
        {"past RAM", [](TDE2_SURFACE_S& s, TDE2_RECT_S&) { s.u32PhyAddr = 0xBFFFFFE0; }, kRange},
        {"odd address", [](TDE2_SURFACE_S& s, TDE2_RECT_S&) { s.u32PhyAddr += 2; }, kRange},
        {"other format", [](TDE2_SURFACE_S& s, TDE2_RECT_S&) { s.enColorFmt = 9; }, MK_ERR_TDE_NOT_SUPPORT},
    };
    for (const Case& c : cases) {
        TDE2_SURFACE_S surf = s.s();
        TDE2_RECT_S r{0, 0, 10, 6};
        c.change(surf, r);
        EXPECT_EQ(MK_TDE2_Bitblit(h, &surf, &r, 1), c.want) << c.what;
        EXPECT_EQ(MK_TDE2_SimpleBlit4(h, s.p(), Ptr(TDE2_RECT_S{0, 0, 10, 6}), &surf, &r), c.want) << c.what;
    }
    EXPECT_EQ(MK_TDE2_Bitblit(h + 1, s.p(), Ptr(TDE2_RECT_S{0, 0, 1, 1}), 1), MK_ERR_TDE_INVALID_HANDLE);
    MK_TDE2_CancelJob(h);
}

TEST_F(TdeTest, SurfaceListsStopAtTheFirstFailureAndCancel) {
    RamSurface dst(TDE2_COLOR_FMT_ARGB8888, 16, 16), src(TDE2_COLOR_FMT_ARGB8888, 16, 16);
    std::vector<TDE2_SURFACE_LIST_ENTRY_S> entries(3);
    for (auto& e : entries) e = TDE2_SURFACE_LIST_ENTRY_S{src.s(), {0, 0, 8, 8}, {4, 4, 8, 8}, {255, {}}};
    TDE_HANDLE h = MK_TDE2_BeginJob();
    TDE2_SURFACE_LIST_S empty{0, dst.p(), entries.data()};
    EXPECT_EQ(MK_TDE2_SubmitSurfaceList(h, &empty), MK_SUCCESS);
    EXPECT_EQ(Drv()->RequestCount(mk::tde::kTwoSource), 0);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(MK_TDE2_SubmitSurfaceList(h, nullptr), MK_FAILURE);
    TDE2_SURFACE_LIST_S noDst{3, nullptr, entries.data()}, noEntries{3, dst.p(), nullptr};
    EXPECT_EQ(MK_TDE2_SubmitSurfaceList(h, &noDst), MK_FAILURE);
    EXPECT_EQ(MK_TDE2_SubmitSurfaceList(h, &noEntries), MK_FAILURE);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "surface list is null!surface list is null!surface list is null!");

    Drv()->FailRequest(mk::tde::kTwoSource, static_cast<int>(0xA0648077u), 1, EIO, 1);
    TDE2_SURFACE_LIST_S list{3, dst.p(), entries.data()};
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(static_cast<uint32_t>(MK_TDE2_SubmitSurfaceList(h, &list)), 0xA0648077u);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "1 return error is 0xa0648077");
    EXPECT_EQ(Drv()->RequestCount(mk::tde::kTwoSource), 2) << "entry 2 was never queued";
    EXPECT_EQ(Drv()->RequestCount(mk::tde::kCancelJob), 1);
    EXPECT_EQ(view::Get()->openJobs, 0u);
}

TEST_F(TdeTest, ASurfaceListEqualsPixmanOverWithinOne) {
    RamSurface dst(TDE2_COLOR_FMT_ARGB8888, 40, 30);
    RamSurface a(TDE2_COLOR_FMT_ARGB8888, 20, 20), b(TDE2_COLOR_FMT_ARGB1555, 12, 12), c(TDE2_COLOR_FMT_ARGB4444, 30, 10);
    std::vector<uint8_t> ref = dst.Randomise(1);
    std::vector<uint8_t> srcA = a.Randomise(2), srcB = b.Randomise(3), srcC = c.Randomise(4);
    std::vector<TDE2_SURFACE_LIST_ENTRY_S> entries = {
        {a.s(), {2, 3, 16, 16}, {1, 1, 16, 16}, {255, {}}},
        {b.s(), {0, 0, 12, 12}, {10, 12, 12, 12}, {128, {}}},
        {c.s(), {5, 0, 25, 10}, {15, 20, 25, 10}, {40, {}}},
    };
    TDE_HANDLE h = MK_TDE2_BeginJob();
    TDE2_SURFACE_LIST_S list{3, dst.p(), entries.data()};
    ASSERT_EQ(MK_TDE2_SubmitSurfaceList(h, &list), MK_SUCCESS);
    ASSERT_EQ(MK_TDE2_EndJob(h, MK_FALSE, MK_TRUE, 10), MK_SUCCESS);

    pixman_image_t* d = pixman_image_create_bits(PIXMAN_a8r8g8b8, 40, 30, reinterpret_cast<uint32_t*>(ref.data()), 160);
    struct Src {
        std::vector<uint8_t>* bytes;
        pixman_format_code_t fmt;
        const TDE2_SURFACE_S& s;
    } srcs[] = {{&srcA, PIXMAN_a8r8g8b8, a.s()}, {&srcB, PIXMAN_a1r5g5b5, b.s()}, {&srcC, PIXMAN_a4r4g4b4, c.s()}};
    for (size_t i = 0; i < 3; ++i) {
        pixman_image_t* s = pixman_image_create_bits(srcs[i].fmt, static_cast<int>(srcs[i].s.u32Width),
                                                     static_cast<int>(srcs[i].s.u32Height),
                                                     reinterpret_cast<uint32_t*>(srcs[i].bytes->data()),
                                                     static_cast<int>(srcs[i].s.u32Stride));
        const TDE2_SURFACE_LIST_ENTRY_S& e = entries[i];
        pixman_color_t alpha{0, 0, 0, static_cast<uint16_t>(e.stOpt.u32GlobalAlpha * 257)};
        pixman_image_t* m = e.stOpt.u32GlobalAlpha == 255 ? nullptr : pixman_image_create_solid_fill(&alpha);
        pixman_image_composite32(PIXMAN_OP_OVER, s, m, d, e.stSrcRect.s32Xpos, e.stSrcRect.s32Ypos, 0, 0,
                                 e.stDstRect.s32Xpos, e.stDstRect.s32Ypos, static_cast<int>(e.stDstRect.u32Width),
                                 static_cast<int>(e.stDstRect.u32Height));
        if (m != nullptr) pixman_image_unref(m);
        pixman_image_unref(s);
    }
    pixman_image_unref(d);
    const std::vector<uint8_t> got = dst.Read();
    int worst = 0;
    for (size_t i = 0; i < got.size(); ++i) worst = std::max(worst, std::abs(got[i] - ref[i]));
    EXPECT_LE(worst, 1);
}

// The parameter operation without a parameter: the source (scaled to the destination rectangle,
// nearest pixel) over the destination, counted by the options' global alpha; checked against pixman
// doing the same on the same bytes.
TEST_F(TdeTest, TheParameterOperationEqualsPixmanOverWithinOne) {
    struct Case {
        const char* what;
        bool source, sourceRect, options;
        TDE2_RECT_S sr, dr;
        MK_U32 alpha;
    } cases[] = {
        {"alpha 128", true, true, true, {3, 2, 20, 10}, {5, 6, 20, 10}, 128},
        {"no options", true, true, false, {0, 0, 24, 16}, {1, 1, 24, 16}, 255},
        {"scaled", true, true, true, {2, 4, 8, 6}, {4, 3, 16, 12}, 200},
        {"no source rectangle", true, false, true, {0, 0, 0, 0}, {6, 7, 10, 9}, 90},
        {"no source", false, false, true, {0, 0, 0, 0}, {0, 0, 30, 20}, 255},
    };
    RamSurface src(TDE2_COLOR_FMT_ARGB1555, 28, 20);
    std::vector<uint8_t> srcBytes = src.Randomise(5);
    for (const Case& c : cases) {
        RamSurface dst(TDE2_COLOR_FMT_ARGB8888, 32, 24);
        std::vector<uint8_t> ref = dst.Randomise(6);
        TDE2_OPT_S opt{};
        opt.u32GlobalAlpha = c.alpha;
        const TDE_HANDLE h = MK_TDE2_BeginJob();
        ASSERT_EQ(MK_TDE2_ParamBlit(h, c.source ? src.p() : nullptr, c.sourceRect ? &c.sr : nullptr, dst.p(), &c.dr,
                                    nullptr, c.options ? &opt : nullptr),
                  MK_SUCCESS)
            << c.what;
        ASSERT_EQ(MK_TDE2_EndJob(h, MK_FALSE, MK_TRUE, 10), MK_SUCCESS) << c.what;

        if (c.source) {
            const TDE2_RECT_S sr = c.sourceRect ? c.sr : c.dr;
            pixman_image_t* s = pixman_image_create_bits(PIXMAN_a1r5g5b5, 28, 20,
                                                         reinterpret_cast<uint32_t*>(srcBytes.data()),
                                                         static_cast<int>(src.s().u32Stride));
            pixman_image_t* d = pixman_image_create_bits(PIXMAN_a8r8g8b8, 32, 24, reinterpret_cast<uint32_t*>(ref.data()),
                                                         static_cast<int>(dst.s().u32Stride));
            int sx = sr.s32Xpos, sy = sr.s32Ypos;
            if (sr.u32Width != c.dr.u32Width || sr.u32Height != c.dr.u32Height) {
                pixman_transform_t t;
                pixman_transform_init_identity(&t);
                t.matrix[0][0] = pixman_double_to_fixed(static_cast<double>(sr.u32Width) / c.dr.u32Width);
                t.matrix[1][1] = pixman_double_to_fixed(static_cast<double>(sr.u32Height) / c.dr.u32Height);
                t.matrix[0][2] = pixman_int_to_fixed(sr.s32Xpos);
                t.matrix[1][2] = pixman_int_to_fixed(sr.s32Ypos);
                pixman_image_set_transform(s, &t);
                pixman_image_set_filter(s, PIXMAN_FILTER_NEAREST, nullptr, 0);
                sx = sy = 0;
            }
            pixman_color_t alpha{0, 0, 0, static_cast<uint16_t>(c.alpha * 257)};
            pixman_image_t* m = c.alpha == 255 ? nullptr : pixman_image_create_solid_fill(&alpha);
            pixman_image_composite32(PIXMAN_OP_OVER, s, m, d, sx, sy, 0, 0, c.dr.s32Xpos, c.dr.s32Ypos,
                                     static_cast<int>(c.dr.u32Width), static_cast<int>(c.dr.u32Height));
            if (m != nullptr) pixman_image_unref(m);
            pixman_image_unref(s);
            pixman_image_unref(d);
        }
        const std::vector<uint8_t> got = dst.Read();
        int worst = 0;
        for (size_t i = 0; i < got.size(); ++i) worst = std::max(worst, std::abs(got[i] - ref[i]));
        EXPECT_LE(worst, 1) << c.what;
    }
}

// An operation the engine defines no drawing for makes its whole job fail when it ends: nothing of the
// job is drawn and the end never reports success.
TEST_F(TdeTest, AJobWithAnOperationTheEngineCannotDrawIsRefusedWhole) {
    constexpr MK_S32 kNotSupported = static_cast<MK_S32>(0xA0648008u);
    RamSurface dst(TDE2_COLOR_FMT_ARGB8888, 8, 8);
    const TDE2_RECT_S r{0, 0, 8, 8};
    const TDE2_SPECIAL_SRC_S sp{};
    const TDE2_SPECIAL_OPT_S so{};
    const TDE2_MBOPT_S mo{};
    const TDE2_PARAM_S pa{};
    const TDE2_SURFACE_S* s = dst.p();
    const std::vector<std::pair<const char*, std::function<MK_S32(TDE_HANDLE)>>> ops = {
        {"simple 7", [&](TDE_HANDLE h) { return MK_TDE2_SimpleBlit7(h, s, &r, s, &r); }},
        {"special source", [&](TDE_HANDLE h) { return MK_TDE2_SpecialSourceBlit(h, &sp, &r, s, &r, &so); }},
        {"four surfaces 12", [&](TDE_HANDLE h) { return MK_TDE2_FourSurfaceBlit12(h, s, &r, s, &r, s, &r, s, &r, 0, 0); }},
        {"four surfaces 13", [&](TDE_HANDLE h) { return MK_TDE2_FourSurfaceBlit13(h, s, &r, s, &r, s, &r, s, &r, 0, 1); }},
        {"three surfaces", [&](TDE_HANDLE h) { return MK_TDE2_ThreeSurfaceBlit(h, s, &r, s, &r, s, &r, &mo); }},
        {"parameter given", [&](TDE_HANDLE h) { return MK_TDE2_ParamBlit(h, s, &r, s, &r, &pa, nullptr); }},
    };
    uint64_t refused = view::Get()->jobsRefused;
    for (const auto& [what, op] : ops) {
        const TDE_HANDLE h = MK_TDE2_BeginJob();
        ASSERT_EQ(MK_TDE2_Bitblit(h, s, &r, 0xFFFFFFFFu), MK_SUCCESS) << what;
        ASSERT_EQ(op(h), MK_SUCCESS) << what << ": queued";
        EXPECT_EQ(MK_TDE2_EndJob(h, MK_FALSE, MK_TRUE, 10), kNotSupported) << what;
        EXPECT_EQ(dst.Read(), std::vector<uint8_t>(8 * 8 * 4, 0)) << what << ": nothing of the job drawn";
        EXPECT_EQ(view::Get()->jobsRefused, ++refused) << what;
        EXPECT_EQ(MK_TDE2_EndJob(h, MK_FALSE, MK_TRUE, 10), MK_ERR_TDE_INVALID_HANDLE) << what << ": the job is gone";
    }
    EXPECT_EQ(view::Get()->openJobs, 0u);
}

TEST_F(TdeTest, ThreadsEachWithTheirOwnJobs) {
    RamSurface s(TDE2_COLOR_FMT_ARGB8888, 64, 4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                TDE_HANDLE h = MK_TDE2_BeginJob();
                ASSERT_GT(h, 0);
                TDE2_RECT_S r{16 * t, 0, 16, 4};
                ASSERT_EQ(MK_TDE2_Bitblit(h, s.p(), &r, 0x01000000u * t + static_cast<MK_U32>(i)), MK_SUCCESS);
                ASSERT_EQ(MK_TDE2_EndJob(h, MK_FALSE, MK_TRUE, 10), MK_SUCCESS);
            }
        });
    }
    for (auto& th : threads) th.join();
    const std::vector<uint8_t> got = s.Read();
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 64; ++x) {
            MK_U32 p;
            std::memcpy(&p, &got[(y * 64 + x) * 4], 4);
            EXPECT_EQ(p, 0x01000000u * (x / 16) + 49) << x << "," << y;
        }
    EXPECT_EQ(view::Get()->openJobs, 0u);
}

}  // namespace
