#include "sdk/rgn/mpi_rgn.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <jpeglib.h>

#include "platform/dev/driver.h"
#include "platform/drivers/core/kernel.h"
#include "platform/drivers/mem/mem_driver.h"
#include "platform/drivers/rgn/rgn_driver.h"
#include "platform/drivers/venc/venc_driver.h"
#include "platform/host/test_bus.h"
#include "platform/mem/ram.h"
#include "platform/mem/zone.h"
#include "sdk/common/testing/bus_environment.h"
#include "sdk/venc/mpi_venc.h"

namespace {

namespace dev = varnelle::dev;
namespace drivers = varnelle::drivers;
namespace view = varnelle::drivers::rgn_view;
using varnelle::mem::Ram;
using varnelle::mem::ZoneAllocator;

constexpr MK_S32 kIllegal = static_cast<MK_S32>(0xA0038003u);
constexpr MK_S32 kNull = static_cast<MK_S32>(0xA0038006u);

[[maybe_unused]] ::testing::Environment* const g_bus =
    ::testing::AddGlobalTestEnvironment(new mk::testing::BusEnvironment("rgn", [] {
        drivers::InstallMemDriver();
        drivers::InstallRgnDriver();
        drivers::InstallVencDriver();
        Ram::Local();
    }));

std::shared_ptr<dev::Driver> Drv() { return dev::Registry::Find("/dev/rgn"); }

RGN_ATTR_S Overlay(MK_U32 w, MK_U32 h, MK_U32 bg = 0) {
    RGN_ATTR_S a{};
    a.enType = OVERLAY_RGN;
    a.unAttr.stOverlay = {MK_PIXEL_FORMAT_RGB_1555, bg, {w, h}};
    return a;
}

// The address of a temporary that lives to the end of the caller's full expression.
const RGN_ATTR_S* Ptr(const RGN_ATTR_S& a) { return &a; }

RGN_CHN_ATTR_S OverlayChn(MK_S32 x, MK_S32 y, MK_U32 fg = RGN_ALPHA_MAX, MK_U32 bg = RGN_ALPHA_MAX) {
    RGN_CHN_ATTR_S a{};
    a.bShow = 1;
    a.enType = OVERLAY_RGN;
    a.unChnAttr.stOverlayChn = {{x, y}, bg, fg, 0};
    return a;
}

class RgnTest : public ::testing::Test {
protected:
    void SetUp() override {
        drivers::ResetMediaState();
        Drv()->ClearFaults();
        Drv()->ResetCounters();
    }
    void TearDown() override {
        for (RGN_HANDLE h : {1u, 2u, 3u, 1023u}) MK_MPI_RGN_Destroy(h);
        MPI_VENC_Exit();
        drivers::ResetMediaState();
    }
};

TEST_F(RgnTest, HandlesFrom1024AndNullRecordsAreRefusedBeforeAnyOpen) {
    RGN_ATTR_S attr = Overlay(8, 8);
    MPP_CHN_S chn{MK_ID_VENC, 0, 0};
    RGN_CHN_ATTR_S chnAttr = OverlayChn(0, 0);
    std::vector<uint16_t> px(64);
    BITMAP_S bmp{MK_PIXEL_FORMAT_RGB_1555, 8, 8, px.data()};
    RGN_CANVAS_INFO_S canvas{};
    const std::vector<std::pair<const char*, std::function<MK_S32(RGN_HANDLE)>>> calls = {
        {"Create", [&](RGN_HANDLE h) { return MK_MPI_RGN_Create(h, &attr); }},
        {"Destroy", [&](RGN_HANDLE h) { return MK_MPI_RGN_Destroy(h); }},
        {"SetBitMap", [&](RGN_HANDLE h) { return MK_MPI_RGN_SetBitMap(h, &bmp); }},
        {"AttachToChn", [&](RGN_HANDLE h) { return MK_MPI_RGN_AttachToChn(h, &chn, &chnAttr); }},
        {"GetCanvasInfo", [&](RGN_HANDLE h) { return MK_MPI_RGN_GetCanvasInfo(h, &canvas); }},
        {"UpdateCanvas", [&](RGN_HANDLE h) { return MK_MPI_RGN_UpdateCanvas(h); }},
        {"Request11", [&](RGN_HANDLE h) { return MK_MPI_RGN_Request11(h, 5); }},
    };
    for (const auto& [name, call] : calls) {
        for (RGN_HANDLE h : {1024u, 1025u, 0x80000000u, 0xFFFFFFFFu}) EXPECT_EQ(call(h), kIllegal) << name << " " << h;
    }
    EXPECT_EQ(MK_MPI_RGN_Create(1, nullptr), kNull);
    EXPECT_EQ(MK_MPI_RGN_SetBitMap(1, nullptr), kNull);
    EXPECT_EQ(MK_MPI_RGN_AttachToChn(1, nullptr, &chnAttr), kNull);
    EXPECT_EQ(MK_MPI_RGN_AttachToChn(1, &chn, nullptr), kNull);
    EXPECT_EQ(MK_MPI_RGN_GetCanvasInfo(1, nullptr), kNull);
    EXPECT_EQ(Drv()->OpenCount(), 0) << "nothing reached the driver";
}

TEST_F(RgnTest, ATitleIsCreatedAttachedAndLoadedWithItsPixelsCopied) {
    ASSERT_EQ(MK_MPI_RGN_Create(1, Ptr(Overlay(4, 2, 0x1234))), MK_SUCCESS);
    MPP_CHN_S chn{MK_ID_VENC, 0, 6};
    RGN_CHN_ATTR_S chnAttr = OverlayChn(16, 8, 0, 32);
    ASSERT_EQ(MK_MPI_RGN_AttachToChn(1, &chn, &chnAttr), MK_SUCCESS);
    // A bitmap wider than the region is cut at its width; a shorter one leaves the background colour.
    std::vector<uint16_t> px = {1, 2, 3, 4, 5, 6};
    BITMAP_S bmp{MK_PIXEL_FORMAT_RGB_1555, 6, 1, px.data()};
    ASSERT_EQ(MK_MPI_RGN_SetBitMap(1, &bmp), MK_SUCCESS);
    px.assign(px.size(), 0x7FFF);  // the caller's buffer changes afterwards
    auto v = view::Get(1);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->pixels, (std::vector<uint16_t>{1, 2, 3, 4, 0x1234, 0x1234, 0x1234, 0x1234}));
    ASSERT_EQ(v->channels.size(), 1u);
    EXPECT_EQ(v->channels[0].first.s32ChnId, 6);
    EXPECT_EQ(v->channels[0].second.unChnAttr.stOverlayChn.u32BgAlpha, 32u);
    EXPECT_EQ(v->bitmapLoads, 1u);
    ASSERT_EQ(MK_MPI_RGN_Request11(1, 77), MK_SUCCESS);
    EXPECT_EQ(view::Get(1)->word11, 77u);
    ASSERT_EQ(MK_MPI_RGN_Destroy(1), MK_SUCCESS);
    EXPECT_FALSE(view::Get(1));
}

TEST_F(RgnTest, DriverAnswersReachTheCallerUnchanged) {
    EXPECT_EQ(MK_MPI_RGN_Destroy(2), MK_ERR_RGN_UNEXIST);
    ASSERT_EQ(MK_MPI_RGN_Create(2, Ptr(Overlay(8, 8))), MK_SUCCESS);
    EXPECT_EQ(MK_MPI_RGN_Create(2, Ptr(Overlay(8, 8))), MK_ERR_RGN_EXIST);
    Drv()->FailRequest(mk::rgn::kAttachToChn, static_cast<int>(0xA0038012u));
    MPP_CHN_S chn{MK_ID_VENC, 0, 0};
    RGN_CHN_ATTR_S a = OverlayChn(0, 0);
    EXPECT_EQ(static_cast<uint32_t>(MK_MPI_RGN_AttachToChn(2, &chn, &a)), 0xA0038012u);
    Drv()->FailRequest(mk::rgn::kSetBitMap, -1, 1, EFAULT);
    std::vector<uint16_t> px(4);
    BITMAP_S bmp{MK_PIXEL_FORMAT_RGB_1555, 2, 2, px.data()};
    EXPECT_EQ(MK_MPI_RGN_SetBitMap(2, &bmp), -1);
    EXPECT_EQ(errno, EFAULT);
}

TEST_F(RgnTest, CanvasIsMappedOnceAndShownByUpdate) {
    ASSERT_EQ(MK_MPI_RGN_Create(3, Ptr(Overlay(6, 3))), MK_SUCCESS);
    RGN_CANVAS_INFO_S a{}, b{};
    ASSERT_EQ(MK_MPI_RGN_GetCanvasInfo(3, &a), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_RGN_GetCanvasInfo(3, &b), MK_SUCCESS);
    ASSERT_NE(a.pVirtAddr, nullptr);
    EXPECT_EQ(a.pVirtAddr, b.pVirtAddr) << "the same canvas is mapped once";
    EXPECT_EQ(a.u32PhyAddr, b.u32PhyAddr);
    EXPECT_EQ(a.stSize.u32Width, 6u);
    EXPECT_GE(a.u32Stride, 12u);
    // Drawn through the mapping, shown by the update.
    for (MK_U32 y = 0; y < 3; ++y) {
        auto* row = reinterpret_cast<uint16_t*>(a.pVirtAddr + y * a.u32Stride);
        for (MK_U32 x = 0; x < 6; ++x) row[x] = static_cast<uint16_t>(y * 6 + x);
    }
    ASSERT_EQ(MK_MPI_RGN_UpdateCanvas(3), MK_SUCCESS);
    std::vector<uint16_t> want(18);
    for (size_t i = 0; i < want.size(); ++i) want[i] = static_cast<uint16_t>(i);
    EXPECT_EQ(view::Get(3)->pixels, want);
    EXPECT_EQ(MK_MPI_RGN_UpdateCanvas(3), MK_ERR_RGN_NOT_PERM) << "nothing handed out since";
    // The other canvas comes next.
    RGN_CANVAS_INFO_S c{};
    ASSERT_EQ(MK_MPI_RGN_GetCanvasInfo(3, &c), MK_SUCCESS);
    EXPECT_NE(c.u32PhyAddr, a.u32PhyAddr);
    EXPECT_NE(c.pVirtAddr, a.pVirtAddr);
    // Destroying a region whose canvases were never mapped sends the request and succeeds.
    ASSERT_EQ(MK_MPI_RGN_Create(2, Ptr(Overlay(4, 4))), MK_SUCCESS);
    EXPECT_EQ(MK_MPI_RGN_Destroy(2), MK_SUCCESS);
    EXPECT_EQ(Drv()->RequestCount(mk::rgn::kDestroy), 1);
}

TEST_F(RgnTest, ACanvasIndexBeyondTheTableIsRefused) {
    ASSERT_EQ(MK_MPI_RGN_Create(1023, Ptr(Overlay(4, 4))), MK_SUCCESS);
    for (MK_U32 index : {2u, 3u, 0xFFFFFFFFu}) {
        view::ForceCanvasIndex(1023, index);
        RGN_CANVAS_INFO_S c{};
        c.pVirtAddr = reinterpret_cast<MK_U8*>(0x1);
        EXPECT_EQ(MK_MPI_RGN_GetCanvasInfo(1023, &c), kIllegal) << index;
        EXPECT_EQ(c.pVirtAddr, reinterpret_cast<MK_U8*>(0x1)) << "the record is left alone";
    }
    RGN_CANVAS_INFO_S c{};
    EXPECT_EQ(MK_MPI_RGN_GetCanvasInfo(1023, &c), MK_SUCCESS) << "the table is intact";
}

TEST_F(RgnTest, ACanvasThatMovedIsMappedAgain) {
    // A region made again after the media system dropped it gets its canvas elsewhere; the module must
    // not keep writing through the old canvas's pages.
    ASSERT_EQ(MK_MPI_RGN_Create(1, Ptr(Overlay(8, 8))), MK_SUCCESS);
    RGN_CANVAS_INFO_S before{};
    ASSERT_EQ(MK_MPI_RGN_GetCanvasInfo(1, &before), MK_SUCCESS);
    drivers::ResetMediaState();
    // Hold the old canvas's memory so the new canvas cannot land there.
    uint32_t blocker = ZoneAllocator::Local().Allocate(1 << 20, "", "blocker");
    ASSERT_NE(blocker, 0u);
    ASSERT_EQ(MK_MPI_RGN_Create(1, Ptr(Overlay(8, 8))), MK_SUCCESS);
    RGN_CANVAS_INFO_S after{};
    ASSERT_EQ(MK_MPI_RGN_GetCanvasInfo(1, &after), MK_SUCCESS);
    ASSERT_NE(after.u32PhyAddr, before.u32PhyAddr);
    std::memset(after.pVirtAddr, 0x5A, 16);
    uint8_t got[16] = {};
    ASSERT_TRUE(Ram::Local().Read(after.u32PhyAddr, got, sizeof got));
    for (uint8_t b : got) EXPECT_EQ(b, 0x5A);
    ZoneAllocator::Local().Free(blocker);
}

TEST_F(RgnTest, EachBitmapLoadIsTracedWithItsSizeAndChannel) {
    const std::string dir = varnelle::host::UsePrivateBus() + "/trace";
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    setenv("VARNELLE_TRACE", dir.c_str(), 1);
    ASSERT_EQ(MK_MPI_RGN_Create(1, Ptr(Overlay(4, 4))), MK_SUCCESS);
    MPP_CHN_S chn{MK_ID_VENC, 0, 9};
    RGN_CHN_ATTR_S a = OverlayChn(40, 20);
    ASSERT_EQ(MK_MPI_RGN_AttachToChn(1, &chn, &a), MK_SUCCESS);
    std::vector<uint16_t> px = {0x8001, 0x8002, 0x8003, 0x8004, 0x8005, 0x8006};
    BITMAP_S bmp{MK_PIXEL_FORMAT_RGB_1555, 3, 2, px.data()};
    ASSERT_EQ(MK_MPI_RGN_SetBitMap(1, &bmp), MK_SUCCESS);
    unsetenv("VARNELLE_TRACE");
    std::ifstream raw(dir + "/rgn-1.argb1555", std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(raw)), std::istreambuf_iterator<char>());
    ASSERT_EQ(bytes.size(), 12u);
    EXPECT_EQ(std::memcmp(bytes.data(), px.data(), 12), 0);
    std::ifstream txt(dir + "/rgn-1.txt");
    std::string all((std::istreambuf_iterator<char>(txt)), std::istreambuf_iterator<char>());
    EXPECT_EQ(all, "bitmap 3 2\nregion 4 4\nchannel 8 0 9 at 40 20\n");
}

// The encoded JPEG of encoder channel `chn`, decoded to RGB.
std::vector<uint8_t> EncodeOneRgb(VENC_CHN chn, int* w, int* h) {
    std::vector<uint8_t> rgb;
    if (drivers::venc_view::PushFrames(chn, 1) != 1) return rgb;
    VENC_PACK_S pack{};
    VENC_STREAM_S st{};
    st.pstPack = &pack;
    st.u32PackCnt = 1;
    if (MK_MPI_VENC_GetStream(chn, &st, 0) != MK_SUCCESS) return rgb;
    std::vector<uint8_t> jpg(pack.pu8UserAddr + pack.u32DataOffset, pack.pu8UserAddr + pack.u32Len);
    MK_MPI_VENC_ReleaseStream(chn, &st);
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, jpg.data(), jpg.size());
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    *w = static_cast<int>(cinfo.output_width);
    *h = static_cast<int>(cinfo.output_height);
    rgb.resize(static_cast<size_t>(*w) * *h * 3);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW r = rgb.data() + static_cast<size_t>(cinfo.output_scanline) * *w * 3;
        jpeg_read_scanlines(&cinfo, &r, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return rgb;
}

TEST_F(RgnTest, ASolidRegionDecodesFromTheEncodersJpegInPlace) {
    VENC_CHN_ATTR_S attr{};
    attr.stVeAttr.enType = PT_JPEG;
    attr.stVeAttr.stAttrJpeg = {320, 240, 320 * 240 * 2, 1, 320, 240, 0, {0, 0}};
    ASSERT_EQ(MK_MPI_VENC_CreateChn(5, &attr), MK_SUCCESS);
    // An opaque red title, 64 x 32 at (96, 64), and a hidden blue one over the same place.
    ASSERT_EQ(MK_MPI_RGN_Create(1, Ptr(Overlay(64, 32))), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_RGN_Create(2, Ptr(Overlay(64, 32, 0x801F))), MK_SUCCESS);
    MPP_CHN_S chn{MK_ID_VENC, 0, 5};
    RGN_CHN_ATTR_S shown = OverlayChn(96, 64), hidden = OverlayChn(96, 64);
    hidden.bShow = 0;
    hidden.unChnAttr.stOverlayChn.u32Layer = 1;
    ASSERT_EQ(MK_MPI_RGN_AttachToChn(1, &chn, &shown), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_RGN_AttachToChn(2, &chn, &hidden), MK_SUCCESS);
    std::vector<uint16_t> red(64 * 32, 0xFC00);
    BITMAP_S bmp{MK_PIXEL_FORMAT_RGB_1555, 64, 32, red.data()};
    ASSERT_EQ(MK_MPI_RGN_SetBitMap(1, &bmp), MK_SUCCESS);

    int w = 0, h = 0;
    std::vector<uint8_t> rgb = EncodeOneRgb(5, &w, &h);
    ASSERT_EQ(w, 320);
    ASSERT_EQ(h, 240);
    auto at = [&](int x, int y) { return &rgb[(static_cast<size_t>(y) * w + x) * 3]; };
    // Inside, away from the edges where the codec smears: red. Just outside: not.
    for (int y = 68; y < 92; y += 3) {
        for (int x = 100; x < 156; x += 5) {
            const uint8_t* p = at(x, y);
            EXPECT_GT(p[0], 200) << x << "," << y;
            EXPECT_LT(p[1], 60) << x << "," << y;
            EXPECT_LT(p[2], 60) << x << "," << y;
        }
    }
    for (auto [x, y] : {std::pair{90, 70}, {170, 70}, {120, 58}, {120, 104}}) {
        const uint8_t* p = at(x, y);
        EXPECT_FALSE(p[0] > 200 && p[1] < 60 && p[2] < 60) << "red outside at " << x << "," << y;
    }
    // Destroyed, the next picture is back to the pattern there.
    ASSERT_EQ(MK_MPI_RGN_Destroy(1), MK_SUCCESS);
    rgb = EncodeOneRgb(5, &w, &h);
    ASSERT_FALSE(rgb.empty());
    EXPECT_FALSE(at(128, 80)[0] > 200 && at(128, 80)[1] < 60 && at(128, 80)[2] < 60);
    MK_MPI_VENC_DestroyChn(5);
}

}  // namespace
