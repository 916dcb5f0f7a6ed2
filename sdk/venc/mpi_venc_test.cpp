#include "sdk/venc/mpi_venc.h"

#include <poll.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <jpeglib.h>

#include "platform/dev/driver.h"
#include "platform/drivers/core/bind_graph.h"
#include "platform/drivers/core/frame_router.h"
#include "platform/drivers/core/frame_testing.h"
#include "platform/drivers/core/kernel.h"
#include "platform/drivers/core/overlay.h"
#include "platform/drivers/core/vb_pools.h"
#include "platform/drivers/core/video_frames.h"
#include "platform/drivers/venc/venc_driver.h"
#include "platform/mem/ram.h"
#include "platform/mem/zone.h"
#include "sdk/common/testing/bus_environment.h"

namespace {

namespace dev = varnelle::dev;
namespace drivers = varnelle::drivers;
namespace view = varnelle::drivers::venc_view;
using varnelle::mem::Ram;

VENC_CHN_ATTR_S H264Attr(MK_U32 w, MK_U32 h, MK_U32 bufSize, MK_U32 gop = 25, MK_U32 fps = 25) {
    VENC_CHN_ATTR_S a{};
    a.stVeAttr.enType = PT_H264;
    a.stVeAttr.stAttrH264e = {w, h, bufSize, 2, 1, w, h, 0, 0};
    a.stRcAttr.enRcMode = VENC_RC_MODE_H264CBR;
    a.stRcAttr.stAttrH264Cbr = {gop, 1, fps, fps, 512, 2, {0, 0}};
    return a;
}

VENC_CHN_ATTR_S JpegAttr(MK_U32 w, MK_U32 h) {
    VENC_CHN_ATTR_S a{};
    a.stVeAttr.enType = PT_JPEG;
    a.stVeAttr.stAttrJpeg = {w, h, w * h * 2, 1, w, h, 0, {0, 0}};
    return a;
}

// The address of a temporary that lives to the end of the caller's full expression.
const VENC_CHN_ATTR_S* Ptr(const VENC_CHN_ATTR_S& a) { return &a; }

// A fetched frame with its own pack array.
struct Fetched {
    VENC_STREAM_S st{};
    std::vector<VENC_PACK_S> packs;
};

MK_S32 Fetch(VENC_CHN chn, Fetched* f, MK_S32 timeout = 0) {
    VENC_CHN_STATUS_S status{};
    MK_S32 ret = MK_MPI_VENC_Query(chn, &status);
    if (ret != MK_SUCCESS) return ret;
    f->packs.assign(status.u32FramePacks == 0 ? 8 : status.u32FramePacks, VENC_PACK_S{});
    f->st = VENC_STREAM_S{};
    f->st.pstPack = f->packs.data();
    f->st.u32PackCnt = static_cast<MK_U32>(f->packs.size());
    return MK_MPI_VENC_GetStream(chn, &f->st, timeout);
}

// The frame's payload as one byte string.
std::vector<uint8_t> Payload(const Fetched& f) {
    std::vector<uint8_t> out;
    for (MK_U32 i = 0; i < f.st.u32PackCnt; ++i) {
        const VENC_PACK_S& p = f.packs[i];
        out.insert(out.end(), p.pu8UserAddr + p.u32DataOffset, p.pu8UserAddr + p.u32Len);
    }
    return out;
}

// A JPEG picture decoded with libjpeg, 3 bytes of Y, Cb and Cr a pixel.
struct DecodedJpeg {
    unsigned width = 0, height = 0;
    long warnings = 0;
    std::vector<uint8_t> ycc;
};
DecodedJpeg DecodeJpeg(const std::vector<uint8_t>& jpg) {
    DecodedJpeg d;
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, jpg.data(), jpg.size());
    if (jpeg_read_header(&cinfo, TRUE) == JPEG_HEADER_OK) {
        cinfo.out_color_space = JCS_YCbCr;
        jpeg_start_decompress(&cinfo);
        d.width = cinfo.output_width;
        d.height = cinfo.output_height;
        d.ycc.resize(static_cast<size_t>(d.width) * d.height * 3);
        while (cinfo.output_scanline < cinfo.output_height) {
            JSAMPROW r = d.ycc.data() + static_cast<size_t>(cinfo.output_scanline) * d.width * 3;
            jpeg_read_scanlines(&cinfo, &r, 1);
        }
        jpeg_finish_decompress(&cinfo);
    }
    d.warnings = err.num_warnings;
    jpeg_destroy_decompress(&cinfo);
    return d;
}

// Reads ring bytes through physical memory, wrapping at the ring's end.
std::vector<uint8_t> ReadRing(const view::Channel& v, uint32_t phys, size_t len) {
    std::vector<uint8_t> out(len);
    uint32_t off = phys - v.ringPhys;
    size_t first = std::min<size_t>(len, v.ringSize - off);
    EXPECT_TRUE(Ram::Local().Read(phys, out.data(), first));
    if (first < len) {
        EXPECT_TRUE(Ram::Local().Read(v.ringPhys, out.data() + first, len - first));
    }
    return out;
}

bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

bool Mapped(const void* addr) {
    void* page = reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(addr) & ~uintptr_t{0xFFF});
    return ::msync(page, 1, MS_ASYNC) == 0;
}

std::shared_ptr<dev::Driver> Drv() { return dev::Registry::Find("/dev/venc"); }

// A private bus directory for the simulated RAM, and the driver, for the whole program.
[[maybe_unused]] ::testing::Environment* const g_bus =
    ::testing::AddGlobalTestEnvironment(new mk::testing::BusEnvironment("venc", [] {
        drivers::InstallVencDriver();
        Ram::Local();
    }));

class VencTest : public ::testing::Test {
protected:
    void SetUp() override {
        MPI_VENC_Exit();
        drivers::ResetMediaState();
        Drv()->ClearFaults();
        Drv()->ResetCounters();
    }
    void TearDown() override {
        MPI_VENC_Exit();
        drivers::ResetMediaState();
    }
};

// First, so that it normally finds the module-parameter descriptor still closed.
TEST_F(VencTest, ModuleParameterDescriptorOpensOnceAndRetriesAfterFailure) {
    VENC_PARAM_MOD_S mod{};
    // With every channel descriptor closed, an open file left is the module-parameter descriptor,
    // which is kept for the life of the process; the failure half needs it still closed.
    const bool wasOpen = Drv()->OpenFiles() == 1;
    int before = Drv()->OpenCount();
    if (!wasOpen) {
        Drv()->FailOpen(EACCES);
        EXPECT_EQ(MK_MPI_VENC_GetModParam(&mod), MK_ERR_VENC_SYS_NOTREADY);
        EXPECT_EQ(Drv()->OpenFiles(), 0);
    }
    EXPECT_EQ(MK_MPI_VENC_GetModParam(&mod), MK_SUCCESS);
    EXPECT_EQ(MK_MPI_VENC_SetModParam(&mod), MK_SUCCESS);
    EXPECT_EQ(MPI_VENC_Exit(), MK_SUCCESS);
    EXPECT_EQ(MK_MPI_VENC_SetModParam(&mod), MK_SUCCESS);
    EXPECT_EQ(Drv()->OpenCount() - before, wasOpen ? 0 : 1);
    EXPECT_EQ(Drv()->OpenFiles(), 1);
}

// ---- The stream ring ----

TEST_F(VencTest, RoundTripTranslatesDriverPhysicalAndUserAddresses) {
    ASSERT_EQ(MK_MPI_VENC_CreateChn(3, Ptr(H264Attr(352, 288, 200000))),
              MK_SUCCESS);
    auto v = view::Get(3);
    ASSERT_TRUE(v);
    ASSERT_EQ(view::PushFrames(3, 1), 1);
    Fetched f;
    ASSERT_EQ(Fetch(3, &f), MK_SUCCESS);
    ASSERT_EQ(f.st.u32PackCnt, 3u);  // SPS, PPS, IDR slice
    const MK_U32 types[] = {H264E_NALU_SPS, H264E_NALU_PPS, H264E_NALU_ISLICE};
    VENC_STREAM_BUF_INFO_S buf{};
    ASSERT_EQ(MK_MPI_VENC_GetStreamBufInfo(3, &buf), MK_SUCCESS);
    for (MK_U32 i = 0; i < f.st.u32PackCnt; ++i) {
        const VENC_PACK_S& p = f.packs[i];
        EXPECT_EQ(p.u32DataType, types[i]);
        EXPECT_EQ(p.bFrameEnd, i + 1 == f.st.u32PackCnt ? 1u : 0u);
        uint32_t off = p.u32PhysAddr - v->ringPhys;
        EXPECT_LT(off, v->ringSize);
        EXPECT_EQ(p.pu8UserAddr, static_cast<MK_U8*>(buf.pUserAddr) + off);
        // Three address spaces, three different values for the same byte.
        uintptr_t user = reinterpret_cast<uintptr_t>(p.pu8UserAddr);
        EXPECT_NE(user, p.u32PhysAddr);
        EXPECT_NE(user, v->ringDrvAddr + off);
        EXPECT_NE(p.u32PhysAddr, v->ringDrvAddr + off);
        // The driver's header lies just before the data and counts it.
        drivers::VencPackHeader h;
        std::memcpy(&h, p.pu8UserAddr - VENC_STREAM_OFFSET, sizeof(h));
        EXPECT_EQ(h.magic, drivers::kVencPackMagic);
        EXPECT_EQ(h.len, p.u32Len + VENC_STREAM_OFFSET);
        EXPECT_EQ(h.seq, f.st.u32SeqNum);
        std::vector<uint8_t> phys = ReadRing(*v, p.u32PhysAddr, p.u32Len);
        EXPECT_EQ(0, std::memcmp(phys.data(), p.pu8UserAddr, p.u32Len));
        EXPECT_EQ(0, std::memcmp(p.pu8UserAddr, "\0\0\0\1", 4));
    }
    VENC_PACK_S first = f.packs[0];
    ASSERT_EQ(MK_MPI_VENC_ReleaseStream(3, &f.st), MK_SUCCESS);
    // The release hands the driver its own view and leaves the physical address as the get gave it.
    EXPECT_EQ(f.packs[0].u32PhysAddr, first.u32PhysAddr);
    EXPECT_EQ(f.packs[0].u32Len, first.u32Len + VENC_STREAM_OFFSET);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(f.packs[0].pu8UserAddr), v->ringDrvAddr + (first.u32PhysAddr - v->ringPhys) - 64);
    v = view::Get(3);
    EXPECT_EQ(v->releasePos, v->writePos);
}

TEST_F(VencTest, PacksAndHeadersStraddlingTheRingEndReadContiguously) {
    ASSERT_EQ(MK_MPI_VENC_CreateChn(0, Ptr(H264Attr(64, 64, 4096, 1000))), MK_SUCCESS);
    bool dataStraddled = false, headerStraddled = false;
    for (int i = 0; i < 400 && !(dataStraddled && headerStraddled); ++i) {
        ASSERT_EQ(view::PushFrames(0, 1), 1);
        auto v = view::Get(0);
        Fetched f;
        ASSERT_EQ(Fetch(0, &f), MK_SUCCESS);
        for (MK_U32 k = 0; k < f.st.u32PackCnt; ++k) {
            const VENC_PACK_S& p = f.packs[k];
            uint32_t dataOff = p.u32PhysAddr - v->ringPhys;
            uint32_t headOff = (dataOff + v->ringSize - VENC_STREAM_OFFSET) % v->ringSize;
            if (dataOff + p.u32Len > v->ringSize) dataStraddled = true;
            if (headOff + VENC_STREAM_OFFSET > v->ringSize) headerStraddled = true;
            std::vector<uint8_t> expect = ReadRing(*v, p.u32PhysAddr, p.u32Len);
            ASSERT_EQ(0, std::memcmp(expect.data(), p.pu8UserAddr, p.u32Len));
            drivers::VencPackHeader h;
            std::memcpy(&h, p.pu8UserAddr - VENC_STREAM_OFFSET, sizeof(h));
            ASSERT_EQ(h.magic, drivers::kVencPackMagic);
            ASSERT_EQ(h.len, p.u32Len + VENC_STREAM_OFFSET);
        }
        ASSERT_EQ(MK_MPI_VENC_ReleaseStream(0, &f.st), MK_SUCCESS);
    }
    EXPECT_TRUE(dataStraddled);
    EXPECT_TRUE(headerStraddled);
}

TEST_F(VencTest, OutOfOrderReleaseIsRefusedAndTheRecordRestored) {
    ASSERT_EQ(MK_MPI_VENC_CreateChn(5, Ptr(H264Attr(128, 96, 100000))), MK_SUCCESS);
    ASSERT_EQ(view::PushFrames(5, 2), 2);
    Fetched a, b;
    ASSERT_EQ(Fetch(5, &a), MK_SUCCESS);
    ASSERT_EQ(Fetch(5, &b), MK_SUCCESS);
    std::vector<VENC_PACK_S> before = b.packs;
    VENC_STREAM_S beforeSt = b.st;
    EXPECT_EQ(MK_MPI_VENC_ReleaseStream(5, &b.st), MK_ERR_VENC_NOT_PERM);
    EXPECT_EQ(0, std::memcmp(before.data(), b.packs.data(), before.size() * sizeof(VENC_PACK_S)));
    EXPECT_EQ(0, std::memcmp(&beforeSt, &b.st, sizeof(beforeSt)));
    // A refusal injected at the driver restores the record the same way and keeps the code.
    std::vector<VENC_PACK_S> beforeA = a.packs;
    Drv()->FailRequest(VENC_IOC_ReleaseStream, 0xA0088012);
    EXPECT_EQ(MK_MPI_VENC_ReleaseStream(5, &a.st), static_cast<MK_S32>(0xA0088012));
    EXPECT_EQ(0, std::memcmp(beforeA.data(), a.packs.data(), beforeA.size() * sizeof(VENC_PACK_S)));
    EXPECT_EQ(MK_MPI_VENC_ReleaseStream(5, &a.st), MK_SUCCESS);
    EXPECT_EQ(MK_MPI_VENC_ReleaseStream(5, &b.st), MK_SUCCESS);
    EXPECT_EQ(MK_MPI_VENC_ReleaseStream(5, &b.st), MK_ERR_VENC_NOT_PERM);  // twice is refused
}

TEST_F(VencTest, BackPressureDropsNewFramesWithoutOverwriting) {
    ASSERT_EQ(MK_MPI_VENC_CreateChn(7, Ptr(H264Attr(176, 144, 8192, 1))), MK_SUCCESS);
    ASSERT_EQ(view::PushFrames(7, 1), 1);
    Fetched first;
    ASSERT_EQ(Fetch(7, &first), MK_SUCCESS);
    std::vector<uint8_t> kept = Payload(first);
    int queued = view::PushFrames(7, 40);  // all key frames: each is large
    auto v = view::Get(7);
    EXPECT_LT(queued, 40);
    EXPECT_EQ(v->droppedFrames, static_cast<uint64_t>(40 - queued));
    EXPECT_LE(v->writePos - v->releasePos, v->ringSize);
    EXPECT_EQ(kept, Payload(first));
    // Once space is released, frames flow again.
    ASSERT_EQ(MK_MPI_VENC_ReleaseStream(7, &first.st), MK_SUCCESS);
    Fetched f;
    while (Fetch(7, &f) == MK_SUCCESS) ASSERT_EQ(MK_MPI_VENC_ReleaseStream(7, &f.st), MK_SUCCESS);
    EXPECT_EQ(view::PushFrames(7, 1), 1);
}

TEST_F(VencTest, ResetDropsWaitingFramesButNotOnesStillHeld) {
    ASSERT_EQ(MK_MPI_VENC_CreateChn(7, Ptr(H264Attr(176, 144, 8192, 1))), MK_SUCCESS);
    ASSERT_EQ(view::PushFrames(7, 2), 2);
    Fetched held;
    ASSERT_EQ(Fetch(7, &held), MK_SUCCESS);
    const std::vector<uint8_t> kept = Payload(held);
    const int fd = MK_MPI_VENC_GetFd(7);
    ASSERT_TRUE(Readable(fd));
    ASSERT_EQ(MK_MPI_VENC_ResetChn(7), MK_SUCCESS);
    EXPECT_FALSE(Readable(fd));
    EXPECT_EQ(view::Get(7)->queuedFrames, 0u);
    EXPECT_EQ(view::Get(7)->fetchedFrames, 1u);
    // New frames go only where the held one does not lie; it is given back as usual.
    view::PushFrames(7, 40);
    EXPECT_EQ(kept, Payload(held));
    EXPECT_EQ(MK_MPI_VENC_ReleaseStream(7, &held.st), MK_SUCCESS);
    Fetched f;
    while (Fetch(7, &f) == MK_SUCCESS) ASSERT_EQ(MK_MPI_VENC_ReleaseStream(7, &f.st), MK_SUCCESS);
    auto v = view::Get(7);
    EXPECT_EQ(v->releasePos, v->writePos);
    // With nothing held, a reset leaves the whole ring free.
    ASSERT_EQ(view::PushFrames(7, 1), 1);
    ASSERT_EQ(MK_MPI_VENC_ResetChn(7), MK_SUCCESS);
    v = view::Get(7);
    EXPECT_EQ(v->releasePos, v->writePos);
    EXPECT_EQ(view::PushFrames(7, 1), 1);
}

TEST_F(VencTest, DescriptorIsReadableExactlyWhileAFrameWaits) {
    ASSERT_EQ(MK_MPI_VENC_CreateChn(9, Ptr(H264Attr(64, 64, 65536))), MK_SUCCESS);
    int fd = MK_MPI_VENC_GetFd(9);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(Readable(fd));
    ASSERT_EQ(view::PushFrames(9, 2), 2);
    EXPECT_TRUE(Readable(fd));
    Fetched a, b;
    ASSERT_EQ(Fetch(9, &a), MK_SUCCESS);
    EXPECT_TRUE(Readable(fd));
    ASSERT_EQ(Fetch(9, &b), MK_SUCCESS);
    EXPECT_FALSE(Readable(fd));
    EXPECT_EQ(Fetch(9, &b, 0), MK_ERR_VENC_BUF_EMPTY);
}

TEST_F(VencTest, TooSmallPackArrayIsRefusedAndTheFrameStays) {
    ASSERT_EQ(MK_MPI_VENC_CreateChn(1, Ptr(H264Attr(64, 64, 65536))), MK_SUCCESS);
    ASSERT_EQ(view::PushFrames(1, 1), 1);
    VENC_PACK_S pack{};
    VENC_STREAM_S st{&pack, 1, 0, {}};
    EXPECT_EQ(MK_MPI_VENC_GetStream(1, &st, 0), MK_ERR_VENC_ILLEGAL_PARAM);
    EXPECT_EQ(view::Get(1)->queuedFrames, 1u);
}

// ---- Real streams ----

TEST_F(VencTest, H264HonoursTheGopAndKeyFrameRequests) {
    ASSERT_EQ(MK_MPI_VENC_CreateChn(2, Ptr(H264Attr(160, 120, 1 << 20, 5))), MK_SUCCESS);
    ASSERT_EQ(view::PushFrames(2, 7), 7);
    ASSERT_EQ(MK_MPI_VENC_RequestIDR(2, MK_TRUE), MK_SUCCESS);
    ASSERT_EQ(view::PushFrames(2, 4), 4);
    // Frames 0 and 5 by the GOP, 7 by request, then the GOP counts from there.
    const bool expectKey[] = {1, 0, 0, 0, 0, 1, 0, 1, 0, 0, 0};
    MK_U32 lastSeq = 0;
    for (size_t i = 0; i < std::size(expectKey); ++i) {
        Fetched f;
        ASSERT_EQ(Fetch(2, &f), MK_SUCCESS);
        if (i > 0) {
            EXPECT_EQ(f.st.u32SeqNum, lastSeq + 1);
        }
        lastSeq = f.st.u32SeqNum;
        MK_U32 firstType = f.packs[0].u32DataType;
        MK_U32 lastType = f.packs[f.st.u32PackCnt - 1].u32DataType;
        EXPECT_EQ(firstType, expectKey[i] ? H264E_NALU_SPS : H264E_NALU_PSLICE) << "frame " << i;
        EXPECT_EQ(lastType, expectKey[i] ? H264E_NALU_ISLICE : H264E_NALU_PSLICE) << "frame " << i;
        for (MK_U32 k = 0; k < f.st.u32PackCnt; ++k) {
            // One NAL unit per pack, its type in the data type.
            EXPECT_EQ(f.packs[k].pu8UserAddr[4] & 0x1F, f.packs[k].u32DataType);
        }
        ASSERT_EQ(MK_MPI_VENC_ReleaseStream(2, &f.st), MK_SUCCESS);
    }
}

TEST_F(VencTest, NewAttributesRestartTheStreamWithAKeyFrameAndTheNewGop) {
    ASSERT_EQ(MK_MPI_VENC_CreateChn(3, Ptr(H264Attr(96, 64, 1 << 20, 50, 25))), MK_SUCCESS);
    ASSERT_EQ(view::PushFrames(3, 2), 2);
    VENC_CHN_ATTR_S a = H264Attr(96, 64, 1 << 20, 3, 10);
    ASSERT_EQ(MK_MPI_VENC_SetChnAttr(3, &a), MK_SUCCESS);
    EXPECT_EQ(view::Get(3)->frameRate, 10u);
    ASSERT_EQ(view::PushFrames(3, 4), 4);
    const bool expectKey[] = {1, 0, 1, 0, 0, 1};
    for (bool key : expectKey) {
        Fetched f;
        ASSERT_EQ(Fetch(3, &f), MK_SUCCESS);
        EXPECT_EQ(f.st.au32StreamInfo[0], key ? 1u : 0u);
        EXPECT_EQ(f.packs[0].u32DataType, key ? H264E_NALU_SPS : H264E_NALU_PSLICE);
        ASSERT_EQ(MK_MPI_VENC_ReleaseStream(3, &f.st), MK_SUCCESS);
    }
    // The maximum size belongs to the ring made at creation.
    a = H264Attr(64, 64, 1 << 20);
    EXPECT_EQ(MK_MPI_VENC_SetChnAttr(3, &a), MK_ERR_VENC_NOT_SUPPORT);
}

TEST_F(VencTest, PictureSizeChangesWithinTheMaximumSizeOfCreation) {
    // A snapshot channel as the program makes it: 704x576, later set to the size a request asks.
    VENC_CHN_ATTR_S jpeg = JpegAttr(704, 576);
    jpeg.stVeAttr.stAttrJpeg.u32BufSize = 811008;
    ASSERT_EQ(MK_MPI_VENC_CreateChn(22, &jpeg), MK_SUCCESS);
    VENC_CHN_ATTR_S a{};
    ASSERT_EQ(MK_MPI_VENC_GetChnAttr(22, &a), MK_SUCCESS);
    a.stVeAttr.stAttrJpeg.u32PicWidth = 352;
    a.stVeAttr.stAttrJpeg.u32PicHeight = 288;
    ASSERT_EQ(MK_MPI_VENC_SetChnAttr(22, &a), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VENC_ResetChn(22), MK_SUCCESS);
    ASSERT_EQ(view::PushFrames(22, 1), 1);
    Fetched f;
    ASSERT_EQ(Fetch(22, &f), MK_SUCCESS);
    const DecodedJpeg jpg = DecodeJpeg(Payload(f));
    EXPECT_EQ(jpg.width, 352u);
    EXPECT_EQ(jpg.height, 288u);
    ASSERT_EQ(MK_MPI_VENC_ReleaseStream(22, &f.st), MK_SUCCESS);

    // What stays fixed: the payload type, the maximum size and the ring.
    struct Case {
        const char* what;
        std::function<void(VENC_CHN_ATTR_S&)> change;
        MK_S32 code;
    };
    const Case cases[] = {
        {"back to full size", [](VENC_CHN_ATTR_S& x) { x.stVeAttr.stAttrJpeg.u32PicWidth = 704; }, MK_SUCCESS},
        {"past the maximum", [](VENC_CHN_ATTR_S& x) { x.stVeAttr.stAttrJpeg.u32PicWidth = 720; },
         MK_ERR_VENC_ILLEGAL_PARAM},
        {"larger maximum", [](VENC_CHN_ATTR_S& x) { x.stVeAttr.stAttrJpeg.u32MaxPicWidth = 720; },
         MK_ERR_VENC_NOT_SUPPORT},
        {"other ring size", [](VENC_CHN_ATTR_S& x) { x.stVeAttr.stAttrJpeg.u32BufSize = 65536; },
         MK_ERR_VENC_NOT_SUPPORT},
        {"other payload", [](VENC_CHN_ATTR_S& x) { x = H264Attr(704, 576, 811008); }, MK_ERR_VENC_NOT_SUPPORT},
    };
    for (const Case& c : cases) {
        VENC_CHN_ATTR_S x = a;
        c.change(x);
        EXPECT_EQ(MK_MPI_VENC_SetChnAttr(22, &x), c.code) << c.what;
    }
}

TEST_F(VencTest, JpegChannelsProducePicturesThatDecode) {
    ASSERT_EQ(MK_MPI_VENC_CreateChn(11, Ptr(JpegAttr(320, 240))), MK_SUCCESS);
    ASSERT_EQ(view::PushFrames(11, 1), 1);
    Fetched f;
    ASSERT_EQ(Fetch(11, &f), MK_SUCCESS);
    ASSERT_EQ(f.st.u32PackCnt, 1u);
    const DecodedJpeg jpg = DecodeJpeg(Payload(f));
    EXPECT_EQ(jpg.width, 320u);
    EXPECT_EQ(jpg.height, 240u);
    EXPECT_EQ(jpg.warnings, 0);
}

// ---- Pictures received through the binding ----

// Flat pictures in pool blocks, handed on under a processing channel's address as the processing
// driver does.
class VencReceiveTest : public VencTest {
protected:
    static constexpr uint32_t kBlocks = 32;
    void SetUp() override {
        VencTest::SetUp();
        m_pool = drivers::VbPools::Instance().CreatePool(drivers::FrameBytes(128, 96), kBlocks, "");
        ASSERT_GE(m_pool, 0);
    }
    void TearDown() override {
        for (const MPP_CHN_S& dst : m_bound) drivers::BindGraph::Instance().Unbind(dst);
        VencTest::TearDown();
        drivers::VbPools::Instance().Clear();
    }
    void Bind(const MPP_CHN_S& src, const MPP_CHN_S& dst) {
        ASSERT_EQ(drivers::BindGraph::Instance().Bind(src, dst), 0);
        m_bound.push_back(dst);
    }
    // A w x h picture of one colour, chroma pairs V first.
    drivers::HeldFrame Flat(uint32_t w, uint32_t h, uint8_t y, uint8_t u, uint8_t v, uint64_t pts = 0) {
        std::optional<drivers::HeldFrame> f = drivers::AllocFrame(drivers::FrameBlocks{m_pool}, w, h, pts, 0);
        EXPECT_TRUE(f);
        for (uint32_t r = 0; r < h; ++r) std::memset(f->Plane(0) + r * f->Stride(0), y, w);
        for (uint32_t r = 0; r < (h + 1) / 2; ++r) {
            uint8_t* row = f->Plane(1) + r * f->Stride(1);
            for (uint32_t c = 0; c + 1 < w + 1; c += 2) {
                row[c] = v;
                row[c + 1] = u;
            }
        }
        return std::move(*f);
    }
    bool PoolFull() const {
        return drivers::testing::Eventually(
            [&] { return drivers::VbPools::Instance().Pool(m_pool)->freeBlocks == kBlocks; });
    }
    int m_pool = -1;
    std::vector<MPP_CHN_S> m_bound;
};

TEST_F(VencReceiveTest, ReceivedPicturesAreEncodedAtTheRateControlsShareWithTheirTimeStamps) {
    // Source 25, destination 10: of pictures 0 to 24 the encoder takes the evenly spread ten, 2 and 4
    // of every 5 (written out by hand from the rule).
    VENC_CHN_ATTR_S attr = H264Attr(64, 48, 1 << 20, 10, 25);
    attr.stRcAttr.stAttrH264Cbr.u32DstFrmRate = 10;
    ASSERT_EQ(MK_MPI_VENC_CreateChn(12, &attr), MK_SUCCESS);
    const MPP_CHN_S src{MK_ID_VPSS, 4, 0}, dst{MK_ID_VENC, 0, 12};
    Bind(src, dst);
    auto& router = drivers::FrameRouter::Instance();
    EXPECT_EQ(router.Publish(src, Flat(64, 48, 100, 128, 128)), 0) << "bound, not receiving";
    ASSERT_EQ(MK_MPI_VENC_StartRecvPic(12), MK_SUCCESS);
    int taken = 0;
    for (uint64_t i = 0; i < 25; ++i) {
        taken += router.Publish(src, Flat(64, 48, 100, 128, 128, i * 40000));
        // At the live pace: each picture is encoded before the next comes (a burst fills the queue).
        ASSERT_TRUE(drivers::testing::Eventually([&] { return view::Get(12)->encodedFrames == static_cast<uint64_t>(taken); }));
    }
    EXPECT_EQ(taken, 10);
    const MK_U64 want[] = {2, 4, 7, 9, 12, 14, 17, 19, 22, 24};
    Fetched f;
    for (MK_U64 k : want) {
        ASSERT_EQ(Fetch(12, &f, 2000), MK_SUCCESS) << k;
        EXPECT_EQ(f.packs[0].u64Pts, k * 40000);
        ASSERT_EQ(MK_MPI_VENC_ReleaseStream(12, &f.st), MK_SUCCESS);
    }
    EXPECT_EQ(Fetch(12, &f, 100), MK_ERR_VENC_BUF_EMPTY);
    std::optional<view::Channel> v = view::Get(12);
    EXPECT_EQ(v->receivedFrames, 10u);
    EXPECT_EQ(v->thinnedFrames, 15u);
    EXPECT_EQ(v->encodedFrames, 10u);
    // Stopped, the channel takes nothing and holds no picture.
    ASSERT_EQ(MK_MPI_VENC_StopRecvPic(12), MK_SUCCESS);
    EXPECT_EQ(router.Publish(src, Flat(64, 48, 100, 128, 128)), 0);
    EXPECT_TRUE(PoolFull());
}

// Regions drawn by this test: the top left 16 x 16 turns white.
void DrawWhiteCorner(const MPP_CHN_S&, const drivers::PatternFrame& p) {
    for (int r = 0; r < 16 && r < p.height; ++r) std::memset(p.y + r * p.yStride, 235, std::min(16, p.width));
}

TEST_F(VencReceiveTest, AnotherSizeIsScaledAndRegionsGoIntoTheEncodersOwnCopy) {
    ASSERT_EQ(MK_MPI_VENC_CreateChn(13, Ptr(JpegAttr(64, 48))), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VENC_StartRecvPic(13), MK_SUCCESS);
    const MPP_CHN_S src{MK_ID_VPSS, 4, 1};
    Bind(src, {MK_ID_VENC, 0, 13});
    std::optional<SIZE_S> wanted = drivers::FrameRouter::Instance().WantedSize(src);
    ASSERT_TRUE(wanted) << "the encoder tells its source the size it takes";
    EXPECT_EQ(wanted->u32Width, 64u);
    EXPECT_EQ(wanted->u32Height, 48u);
    // BT.601 red in video range: Y 81, Cb 90, Cr 240.
    drivers::HeldFrame red = Flat(128, 96, 81, 90, 240);
    drivers::SetRegionDrawer(DrawWhiteCorner);
    ASSERT_EQ(drivers::FrameRouter::Instance().Publish(src, red), 1);
    Fetched f;
    MK_S32 got = Fetch(13, &f, 2000);
    drivers::SetRegionDrawer(nullptr);
    ASSERT_EQ(got, MK_SUCCESS);
    EXPECT_EQ(red.Plane(0)[0], 81) << "the shared picture is not drawn into";

    const DecodedJpeg jpg = DecodeJpeg(Payload(f));
    ASSERT_EQ(jpg.width, 64u);
    ASSERT_EQ(jpg.height, 48u);
    const std::vector<uint8_t>& pic = jpg.ycc;
    // Mean Y, Cb, Cr of a block: the corner, and the bottom right away from it.
    auto mean = [&](int x0, int y0, int n, int comp) {
        int sum = 0;
        for (int y = y0; y < y0 + n; ++y) {
            for (int x = x0; x < x0 + n; ++x) sum += pic[(y * 64 + x) * 3 + comp];
        }
        return sum / (n * n);
    };
    EXPECT_NEAR(mean(2, 2, 12, 0), 235, 4) << "the region";
    EXPECT_NEAR(mean(40, 24, 16, 0), 81, 3);
    EXPECT_NEAR(mean(40, 24, 16, 1), 90, 3) << "Cb";
    EXPECT_NEAR(mean(40, 24, 16, 2), 240, 3) << "Cr";
    ASSERT_EQ(MK_MPI_VENC_ReleaseStream(13, &f.st), MK_SUCCESS);
}

TEST_F(VencTest, UserDataTravelsInAnSeiBeforeTheSlice) {
    ASSERT_EQ(MK_MPI_VENC_CreateChn(4, Ptr(H264Attr(64, 64, 65536))), MK_SUCCESS);
    MK_U8 data[] = {'t', 'i', 't', 'l', 'e', 0, 0, 1};
    ASSERT_EQ(MK_MPI_VENC_InsertUserData(4, data, sizeof(data)), MK_SUCCESS);
    ASSERT_EQ(view::PushFrames(4, 1), 1);
    Fetched f;
    ASSERT_EQ(Fetch(4, &f), MK_SUCCESS);
    ASSERT_EQ(f.st.u32PackCnt, 4u);
    EXPECT_EQ(f.packs[2].u32DataType, H264E_NALU_SEI);
    EXPECT_EQ(f.packs[3].u32DataType, H264E_NALU_ISLICE);
    EXPECT_EQ(view::Get(4)->lastUserData, std::vector<uint8_t>(data, data + sizeof(data)));
}

TEST_F(VencTest, UserDataLengthsFromOneTo1024AreSent) {
    ASSERT_EQ(MK_MPI_VENC_CreateChn(4, Ptr(H264Attr(64, 64, 65536))), MK_SUCCESS);
    static MK_U8 data[1025];
    const struct {
        MK_U32 len;
        MK_S32 code;
        int sent;
    } cases[] = {{0, MK_ERR_VENC_ILLEGAL_PARAM, 0}, {1, MK_SUCCESS, 1}, {1024, MK_SUCCESS, 1},
                 {1025, MK_ERR_VENC_ILLEGAL_PARAM, 0}};
    for (const auto& c : cases) {
        const int before = Drv()->RequestCount(VENC_IOC_InsertUserData);
        EXPECT_EQ(MK_MPI_VENC_InsertUserData(4, data, c.len), c.code) << c.len;
        EXPECT_EQ(Drv()->RequestCount(VENC_IOC_InsertUserData) - before, c.sent) << c.len;
    }
    EXPECT_EQ(view::Get(4)->lastUserData.size(), 1024u);
}

TEST_F(VencTest, FramesSentByHandAreEncodedFromRam) {
    ASSERT_EQ(MK_MPI_VENC_CreateChn(6, Ptr(H264Attr(64, 48, 65536))), MK_SUCCESS);
    uint32_t phys = varnelle::mem::ZoneAllocator::Local().Allocate(64 * 48 * 3 / 2);
    ASSERT_NE(phys, 0u);
    std::vector<uint8_t> pic(64 * 48 * 3 / 2, 128);
    ASSERT_TRUE(Ram::Local().Write(phys, pic.data(), pic.size()));
    VIDEO_FRAME_INFO_S frame{};
    frame.u32Width = 64;
    frame.u32Height = 48;
    frame.u32PhyAddr[0] = phys;
    frame.u32PhyAddr[1] = phys + 64 * 48;
    frame.u32Stride[0] = frame.u32Stride[1] = 64;
    EXPECT_EQ(MK_MPI_VENC_SendFrame(6, &frame, 0), MK_ERR_VENC_NOT_PERM);  // not receiving
    ASSERT_EQ(MK_MPI_VENC_StartRecvPic(6), MK_SUCCESS);
    EXPECT_EQ(MK_MPI_VENC_SendFrame(6, &frame, 0), MK_SUCCESS);
    EXPECT_EQ(view::Get(6)->encodedFrames, 1u);
    VIDEO_FRAME_INFO_S small = frame;  // another size is scaled to the channel's
    small.u32Width = 32;
    small.u32Height = 24;
    EXPECT_EQ(MK_MPI_VENC_SendFrame(6, &small, 0), MK_SUCCESS);
    EXPECT_EQ(view::Get(6)->encodedFrames, 2u);
    small.u32Width = 0;
    EXPECT_EQ(MK_MPI_VENC_SendFrame(6, &small, 0), MK_ERR_VENC_ILLEGAL_PARAM);
    // An odd width: the chroma rows must hold its last pair whole, or the reader runs past them.
    VIDEO_FRAME_INFO_S odd = frame;
    odd.u32Width = 63;
    odd.u32Stride[1] = 63;
    EXPECT_EQ(MK_MPI_VENC_SendFrame(6, &odd, 0), MK_ERR_VENC_ILLEGAL_PARAM);
    odd.u32Stride[1] = 64;
    EXPECT_EQ(MK_MPI_VENC_SendFrame(6, &odd, 0), MK_SUCCESS);
    EXPECT_EQ(view::Get(6)->encodedFrames, 3u);
    frame.u32PhyAddr[0] = 0x10;  // outside RAM
    EXPECT_EQ(MK_MPI_VENC_SendFrame(6, &frame, 0), MK_ERR_VENC_ILLEGAL_PARAM);
    varnelle::mem::ZoneAllocator::Local().Free(phys);
}

// ---- The call frame ----

TEST_F(VencTest, RangeAndNullChecksComeInTheirOrderAgainstTheLazyOpen) {
    VENC_STREAM_S st{};
    VENC_CHN_STATUS_S status{};
    struct Case {
        const char* what;
        std::function<MK_S32()> call;
        MK_S32 code;
        int opens;  // descriptors opened by the call
    };
    const Case cases[] = {
        {"channel 128", [] { return MK_MPI_VENC_DestroyChn(128); }, MK_ERR_VENC_INVALID_CHNID, 0},
        {"channel -1", [&] { return MK_MPI_VENC_Query(-1, &status); }, MK_ERR_VENC_INVALID_CHNID, 0},
        {"close -1", [] { return MK_MPI_VENC_CloseFd(-1); }, MK_ERR_VENC_INVALID_CHNID, 0},
        {"get null stream", [] { return MK_MPI_VENC_GetStream(20, nullptr, 0); }, MK_ERR_VENC_NULL_PTR, 1},
        {"get null packs", [&] { return MK_MPI_VENC_GetStream(21, &st, 0); }, MK_ERR_VENC_NULL_PTR, 1},
        {"release null", [] { return MK_MPI_VENC_ReleaseStream(22, nullptr); }, MK_ERR_VENC_NULL_PTR, 1},
        {"create null", [] { return MK_MPI_VENC_CreateChn(23, nullptr); }, MK_ERR_VENC_NULL_PTR, 1},
        {"priority null first", [] { return MK_MPI_VENC_GetChnlPriority(24, nullptr); }, MK_ERR_VENC_NULL_PTR, 0},
        {"attr null after open", [] { return MK_MPI_VENC_GetChnAttr(25, nullptr); }, MK_ERR_VENC_NULL_PTR, 1},
        {"roi index before null", [] { return MK_MPI_VENC_GetRoiCfg(26, 8, nullptr); }, MK_ERR_VENC_ILLEGAL_PARAM, 1},
        {"set roi null", [] { return MK_MPI_VENC_SetRoiCfg(27, nullptr); }, MK_ERR_VENC_NULL_PTR, 1},
        {"cost flag unchecked", [] { return MK_MPI_VENC_GetCostAlgFlag(28, nullptr); }, -1, 1},
        {"user data 0", [] { static MK_U8 b[1]; return MK_MPI_VENC_InsertUserData(29, b, 0); }, MK_ERR_VENC_ILLEGAL_PARAM, 1},
        {"user data 1025", [] { static MK_U8 b[1025]; return MK_MPI_VENC_InsertUserData(29, b, 1025); }, MK_ERR_VENC_ILLEGAL_PARAM, 0},
        {"user data null", [] { return MK_MPI_VENC_InsertUserData(29, nullptr, 4); }, MK_ERR_VENC_NULL_PTR, 0},
        {"intra refresh null", [] { return MK_MPI_VENC_SetIntraRefresh(30, nullptr); }, MK_ERR_VENC_NULL_PTR, 1},
        {"mod param null", [] { return MK_MPI_VENC_SetModParam(nullptr); }, MK_ERR_VENC_NULL_PTR, 0},
        {"buf info unmapped", [] { VENC_STREAM_BUF_INFO_S b; return MK_MPI_VENC_GetStreamBufInfo(31, &b); }, MK_ERR_VENC_UNEXIST, 1},
    };
    for (const Case& c : cases) {
        int before = Drv()->OpenCount();
        EXPECT_EQ(c.call(), c.code) << c.what;
        EXPECT_EQ(Drv()->OpenCount() - before, c.opens) << c.what;
    }
    st.pstPack = reinterpret_cast<VENC_PACK_S*>(&status);
    int sent = Drv()->RequestCount(VENC_IOC_SetGetTimeout);
    EXPECT_EQ(MK_MPI_VENC_GetStream(21, &st, -2), MK_ERR_VENC_ILLEGAL_PARAM);
    VIDEO_FRAME_INFO_S frame{};
    EXPECT_EQ(MK_MPI_VENC_SendFrame(21, &frame, -2), MK_ERR_VENC_ILLEGAL_PARAM);
    EXPECT_EQ(Drv()->RequestCount(VENC_IOC_SetGetTimeout), sent);
    EXPECT_EQ(Drv()->RequestCount(VENC_IOC_SetSendTimeout), 0);
}

TEST_F(VencTest, FailedOpenOrBindLeavesTheSlotClosedAndIsRetried) {
    const int kept = Drv()->OpenFiles();  // the module-parameter descriptor, if open
    Drv()->FailOpen(ENOENT);
    EXPECT_EQ(MK_MPI_VENC_GetFd(40), MK_ERR_VENC_SYS_NOTREADY);
    Drv()->FailRequest(VENC_IOC_BindChn, -1, 1, EIO);
    EXPECT_EQ(MK_MPI_VENC_GetFd(40), MK_ERR_VENC_SYS_NOTREADY);
    EXPECT_EQ(Drv()->OpenFiles(), kept);
    EXPECT_GE(MK_MPI_VENC_GetFd(40), 0);
    EXPECT_EQ(Drv()->OpenFiles(), kept + 1);
}

TEST_F(VencTest, InjectedDriverCodesReachTheCallerBitForBit) {
    ASSERT_EQ(MK_MPI_VENC_CreateChn(8, Ptr(H264Attr(64, 64, 65536))), MK_SUCCESS);
    const MK_S32 code = static_cast<MK_S32>(0xA0078010);
    VENC_PARAM_H264_DBLK_S dblk{};
    Drv()->FailRequest(VENC_IOC_SetH264Dblk, code);
    EXPECT_EQ(MK_MPI_VENC_SetH264Dblk(8, &dblk), code);
    Drv()->FailRequest(VENC_IOC_StartRecvPic, code);
    EXPECT_EQ(MK_MPI_VENC_StartRecvPic(8), code);
    Drv()->FailRequest(VENC_IOC_GetStream, code);
    Fetched f;
    EXPECT_EQ(Fetch(8, &f), code);
    Drv()->FailRequest(VENC_IOC_SetModParam, code);
    VENC_PARAM_MOD_S mod{};
    EXPECT_EQ(MK_MPI_VENC_SetModParam(&mod), code);
    Drv()->FailRequest(VENC_IOC_DestroyChn, -1, 1, EBUSY);
    EXPECT_EQ(MK_MPI_VENC_DestroyChn(8), -1);
    EXPECT_EQ(errno, EBUSY);
    VENC_STREAM_BUF_INFO_S buf{};
    EXPECT_EQ(MK_MPI_VENC_GetStreamBufInfo(8, &buf), MK_SUCCESS);  // a refused destroy keeps the mapping
}

TEST_F(VencTest, CreationFailuresDestroyTheChannelAgain) {
    Drv()->FailRequest(VENC_IOC_GetBufInfo, MK_ERR_VENC_NOMEM);
    EXPECT_EQ(MK_MPI_VENC_CreateChn(10, Ptr(H264Attr(64, 64, 65536))), MK_ERR_VENC_NOMEM);
    EXPECT_FALSE(view::Get(10));
    EXPECT_EQ(MK_MPI_VENC_CreateChn(10, Ptr(H264Attr(64, 64, 0))), MK_ERR_VENC_ILLEGAL_PARAM);
    VENC_CHN_ATTR_S bad = H264Attr(64, 64, 65536);
    bad.stVeAttr.enType = 265;
    EXPECT_EQ(MK_MPI_VENC_CreateChn(10, &bad), MK_ERR_VENC_NOT_SUPPORT);
    ASSERT_EQ(MK_MPI_VENC_CreateChn(10, Ptr(H264Attr(64, 64, 65536))), MK_SUCCESS);
    EXPECT_EQ(MK_MPI_VENC_CreateChn(10, Ptr(H264Attr(64, 64, 65536))),
              MK_ERR(MK_ID_VENC, MK_ERR_EXIST));
}

// ---- Parameter operations ----

struct ParamCase {
    std::string key;
    size_t size;
    std::function<MK_S32(VENC_CHN, void*)> set;
    std::function<MK_S32(VENC_CHN, void*)> get;
};

std::vector<ParamCase> ParamCases() {
    std::map<std::string, ParamCase> byKey;
#define CALL_NONE(Func, Record) MK_MPI_VENC_##Func(c)
#define CALL_VAL(Func, Record) MK_MPI_VENC_##Func(c, *static_cast<Record*>(p))
#define CALL_PTR(Func, Record) MK_MPI_VENC_##Func(c, static_cast<Record*>(p))
#define CALL_PTR_NULL_FIRST CALL_PTR
#define CALL_PTR_UNCHECKED CALL_PTR
#define ADD_CASE(Func, Kind, Dir, Nr, Record, Key)                                          \
    {                                                                                       \
        std::string name = #Func;                                                           \
        ParamCase& pc = byKey[#Key];                                                        \
        pc.key = #Key;                                                                      \
        auto call = [](VENC_CHN c, void* p) -> MK_S32 {                                     \
            (void)p;                                                                        \
            return CALL_##Kind(Func, Record);                                               \
        };                                                                                  \
        if (name.rfind("Get", 0) == 0) {                                                    \
            pc.get = call;                                                                  \
            pc.size = sizeof(Record);                                                       \
        } else if (std::string(#Dir) == "W" || name.rfind("Set", 0) == 0) {                \
            pc.set = call;                                                                  \
        }                                                                                   \
    }
    MK_VENC_REQUEST_TABLE(ADD_CASE)
#undef ADD_CASE
    std::vector<ParamCase> out;
    for (auto& [key, pc] : byKey) {
        if (pc.set && pc.get) out.push_back(pc);
    }
    return out;
}

class VencParamTest : public VencTest, public ::testing::WithParamInterface<ParamCase> {};

TEST_P(VencParamTest, SetThenGetReturnsWhatWasSet) {
    const ParamCase& pc = GetParam();
    const VENC_CHN chn = 13;
    VENC_CHN_ATTR_S attr = H264Attr(96, 64, 65536, 30, 15);
    ASSERT_EQ(MK_MPI_VENC_CreateChn(chn, &attr), MK_SUCCESS);
    std::vector<uint8_t> in(pc.size), out(pc.size, 0);
    if (pc.key == "ChnAttr") {
        attr.stRcAttr.stAttrH264Cbr.u32BitRate = 777;
        std::memcpy(in.data(), &attr, sizeof(attr));
    } else {
        for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<uint8_t>(i * 7 + pc.key.size() + 1);
    }
    ASSERT_EQ(pc.set(chn, in.data()), MK_SUCCESS) << pc.key;
    ASSERT_EQ(pc.get(chn, out.data()), MK_SUCCESS) << pc.key;
    EXPECT_EQ(in, out) << pc.key;
}

INSTANTIATE_TEST_SUITE_P(AllSettings, VencParamTest, ::testing::ValuesIn(ParamCases()),
                         [](const ::testing::TestParamInfo<ParamCase>& info) { return info.param.key; });

TEST_F(VencTest, RoiAndModuleParametersRoundTrip) {
    ASSERT_EQ(MK_MPI_VENC_CreateChn(14, Ptr(H264Attr(64, 64, 65536))), MK_SUCCESS);
    VENC_ROI_CFG_S roi{7, {1, 2, 3, 4, 5, 6, 7}}, back{};
    ASSERT_EQ(MK_MPI_VENC_SetRoiCfg(14, &roi), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VENC_GetRoiCfg(14, 7, &back), MK_SUCCESS);
    EXPECT_EQ(0, std::memcmp(&roi, &back, sizeof(roi)));
    roi.u32Index = 8;
    EXPECT_EQ(MK_MPI_VENC_SetRoiCfg(14, &roi), MK_ERR_VENC_ILLEGAL_PARAM);
    VENC_PARAM_MOD_S mod{{9, 8, 7, 6, 5}}, modBack{};
    ASSERT_EQ(MK_MPI_VENC_SetModParam(&mod), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VENC_GetModParam(&modBack), MK_SUCCESS);
    EXPECT_EQ(0, std::memcmp(&mod, &modBack, sizeof(mod)));
}

TEST_F(VencTest, VideoBufferPoolsAttachOnlyWhenTheyExist) {
    ASSERT_EQ(MK_MPI_VENC_CreateChn(20, Ptr(H264Attr(64, 64, 65536))), MK_SUCCESS);
    int pool = drivers::VbPools::Instance().CreatePool(4096, 2, "");
    ASSERT_GE(pool, 0);
    EXPECT_EQ(MK_MPI_VENC_AttachVbPool(20, static_cast<MK_U32>(pool) + 1), MK_ERR_VENC_ILLEGAL_PARAM);
    EXPECT_EQ(MK_MPI_VENC_AttachVbPool(20, 0xFFFFFFFFu), MK_ERR_VENC_ILLEGAL_PARAM);
    ASSERT_EQ(MK_MPI_VENC_AttachVbPool(20, static_cast<MK_U32>(pool)), MK_SUCCESS);
    EXPECT_EQ(view::Get(20)->vbPool, pool);
    ASSERT_EQ(MK_MPI_VENC_DetachVbPool(20), MK_SUCCESS);
    EXPECT_EQ(view::Get(20)->vbPool, -1);
    EXPECT_EQ(MK_MPI_VENC_AttachVbPool(21, static_cast<MK_U32>(pool)), MK_ERR_VENC_UNEXIST);  // no channel
}

TEST_F(VencTest, IntraRefreshChecksUseTheTypeFromCreation) {
    ASSERT_EQ(MK_MPI_VENC_CreateChn(15, Ptr(JpegAttr(64, 64))), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VENC_CreateChn(16, Ptr(H264Attr(64, 64, 65536))), MK_SUCCESS);
    VENC_PARAM_INTRA_REFRESH_S ir{1, 1, 11, 22}, back{};
    EXPECT_EQ(MK_MPI_VENC_SetIntraRefresh(15, &ir), MK_ERR_VENC_NOT_SUPPORT);
    EXPECT_EQ(MK_MPI_VENC_SetIntraRefresh(16, &ir), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VENC_GetIntraRefresh(16, &back), MK_SUCCESS);
    EXPECT_EQ(0, std::memcmp(&ir, &back, sizeof(ir)));
    ir.bRefreshEnable = 0;
    EXPECT_EQ(MK_MPI_VENC_SetIntraRefresh(16, &ir), MK_ERR_VENC_NOT_SUPPORT);
    ir.bISliceEnable = 2;
    EXPECT_EQ(MK_MPI_VENC_SetIntraRefresh(16, &ir), MK_ERR_VENC_ILLEGAL_PARAM);
    ir.bISliceEnable = 0;
    EXPECT_EQ(MK_MPI_VENC_SetIntraRefresh(15, &ir), MK_SUCCESS);  // no check without I slices
    // A change of attributes does not change what the check sees.
    VENC_CHN_ATTR_S a = H264Attr(64, 64, 65536);
    a.stVeAttr.au32Attr[4] = 0;  // by-frame off
    ASSERT_EQ(MK_MPI_VENC_SetChnAttr(16, &a), MK_SUCCESS);
    ir = {1, 1, 0, 0};
    EXPECT_EQ(MK_MPI_VENC_SetIntraRefresh(16, &ir), MK_SUCCESS);
}

// ---- Life cycle and the faults fixed ----

TEST_F(VencTest, ConcurrentFirstCallsInitialiseAndOpenOnce) {
    constexpr int kThreads = 8;
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    std::vector<MK_S32> fds(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            ready.fetch_add(1);
            while (ready.load() < kThreads) {
            }
            // Each creates its own channel (the mapping descriptor is shared) and asks channel 50's fd.
            fds[t] = MK_MPI_VENC_GetFd(50);
            MK_MPI_VENC_CreateChn(60 + t, Ptr(H264Attr(64, 64, 4096)));
        });
    }
    for (auto& th : threads) th.join();
    for (MK_S32 fd : fds) EXPECT_EQ(fd, fds[0]);
    // Channel 50, channels 60..67 and one shared mapping descriptor.
    EXPECT_EQ(Drv()->OpenCount(), 1 + kThreads + 1);
}

TEST_F(VencTest, ExitUnmapsRingsSoInitStartsClean) {
    ASSERT_EQ(MK_MPI_VENC_CreateChn(17, Ptr(H264Attr(64, 64, 65536))), MK_SUCCESS);
    VENC_STREAM_BUF_INFO_S buf{};
    ASSERT_EQ(MK_MPI_VENC_GetStreamBufInfo(17, &buf), MK_SUCCESS);
    EXPECT_TRUE(Mapped(buf.pUserAddr));
    EXPECT_EQ(MPI_VENC_Exit(), MK_SUCCESS);
    EXPECT_FALSE(Mapped(buf.pUserAddr));
    EXPECT_LE(Drv()->OpenFiles(), 1);  // only the module-parameter descriptor, which is kept
    EXPECT_EQ(MPI_VENC_Exit(), MK_SUCCESS);
    // The channel lives on in the driver; the next get maps its ring again.
    ASSERT_EQ(view::PushFrames(17, 1), 1);
    Fetched f;
    ASSERT_EQ(Fetch(17, &f), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VENC_GetStreamBufInfo(17, &buf), MK_SUCCESS);
    EXPECT_TRUE(Mapped(buf.pUserAddr));
    EXPECT_EQ(MK_MPI_VENC_ReleaseStream(17, &f.st), MK_SUCCESS);
}

TEST_F(VencTest, ClosingTheLastChannelDescriptorClosesTheMappingDescriptor) {
    EXPECT_EQ(MK_MPI_VENC_CloseFd(18), MK_SUCCESS);  // closed already
    const int kept = Drv()->OpenFiles();           // the module-parameter descriptor, if open
    ASSERT_EQ(MK_MPI_VENC_CreateChn(18, Ptr(H264Attr(64, 64, 65536))), MK_SUCCESS);
    ASSERT_GE(MK_MPI_VENC_GetFd(19), 0);
    EXPECT_EQ(Drv()->OpenFiles(), kept + 3);
    EXPECT_EQ(MK_MPI_VENC_CloseFd(18), MK_SUCCESS);
    EXPECT_EQ(Drv()->OpenFiles(), kept + 2);
    EXPECT_EQ(MK_MPI_VENC_CloseFd(19), MK_SUCCESS);
    EXPECT_EQ(Drv()->OpenFiles(), kept);
    // A get reopens the channel descriptor and reads from the mapping it kept.
    ASSERT_EQ(view::PushFrames(18, 1), 1);
    Fetched f;
    ASSERT_EQ(Fetch(18, &f), MK_SUCCESS);
    EXPECT_EQ(Drv()->OpenFiles(), kept + 1);
    EXPECT_EQ(MK_MPI_VENC_ReleaseStream(18, &f.st), MK_SUCCESS);
}

TEST_F(VencTest, SystemResetDropsChannelsAndRecreationMapsAfresh) {
    ASSERT_EQ(MK_MPI_VENC_CreateChn(19, Ptr(H264Attr(64, 64, 65536))), MK_SUCCESS);
    drivers::ResetMediaState();
    EXPECT_FALSE(view::Get(19));
    EXPECT_EQ(MK_MPI_VENC_StartRecvPic(19), MK_ERR_VENC_UNEXIST);
    ASSERT_EQ(MK_MPI_VENC_CreateChn(19, Ptr(H264Attr(64, 64, 8192))), MK_SUCCESS);
    ASSERT_EQ(view::PushFrames(19, 1), 1);
    Fetched f;
    ASSERT_EQ(Fetch(19, &f), MK_SUCCESS);
    auto v = view::Get(19);
    EXPECT_EQ(0, std::memcmp(ReadRing(*v, f.packs[0].u32PhysAddr, f.packs[0].u32Len).data(), f.packs[0].pu8UserAddr,
                             f.packs[0].u32Len));
}

TEST_F(VencTest, DestroyWhileAGetWaitsWakesItWithAnError) {
    ASSERT_EQ(MK_MPI_VENC_CreateChn(21, Ptr(H264Attr(64, 64, 65536))), MK_SUCCESS);
    std::atomic<MK_S32> result{0};
    std::thread waiter([&] {
        Fetched f;
        result = Fetch(21, &f, -1);
    });
    // The waiter is parked once the driver has seen its get request.
    while (Drv()->RequestCount(VENC_IOC_GetStream) == 0) std::this_thread::yield();
    ASSERT_EQ(MK_MPI_VENC_DestroyChn(21), MK_SUCCESS);
    waiter.join();
    EXPECT_EQ(result.load(), MK_ERR_VENC_UNEXIST);
}

}  // namespace

namespace {

// ---- Frames held across destruction, descriptor close and module exit ----

TEST_F(VencTest, DestroyIsRefusedWhileAFetchedFrameIsHeld) {
    ASSERT_EQ(MK_MPI_VENC_CreateChn(22, Ptr(H264Attr(64, 64, 65536))), MK_SUCCESS);
    ASSERT_EQ(view::PushFrames(22, 1), 1);
    Fetched f;
    ASSERT_EQ(Fetch(22, &f), MK_SUCCESS);
    const std::vector<uint8_t> before = Payload(f);
    EXPECT_EQ(MK_MPI_VENC_DestroyChn(22), MK_ERR(MK_ID_VENC, MK_ERR_BUSY));
    // The refused destruction leaves the mapping: the held frame still reads.
    EXPECT_TRUE(Mapped(f.packs[0].pu8UserAddr));
    EXPECT_EQ(Payload(f), before);
    VENC_STREAM_BUF_INFO_S buf{};
    EXPECT_EQ(MK_MPI_VENC_GetStreamBufInfo(22, &buf), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VENC_ReleaseStream(22, &f.st), MK_SUCCESS);
    EXPECT_EQ(MK_MPI_VENC_DestroyChn(22), MK_SUCCESS);
    EXPECT_FALSE(view::Get(22));
}

// Starts a get that waits without limit on `chn` and returns once the driver has it waiting.
std::thread WaitingGet(VENC_CHN chn, std::atomic<MK_S32>* result, Fetched* f) {
    *result = 1;
    std::thread t([=] { *result = Fetch(chn, f, -1); });
    while (view::Get(chn)->getWaiters == 0) std::this_thread::yield();
    return t;
}

TEST_F(VencTest, ClosingTheDescriptorEndsAWaitingGetWhichTakesNothing) {
    ASSERT_EQ(MK_MPI_VENC_CreateChn(23, Ptr(H264Attr(64, 64, 65536))), MK_SUCCESS);
    std::atomic<MK_S32> result;
    Fetched f;
    std::thread waiter = WaitingGet(23, &result, &f);
    ASSERT_EQ(MK_MPI_VENC_CloseFd(23), MK_SUCCESS);
    // A frame that arrives now stays for the next get.
    view::PushFrames(23, 1);
    waiter.join();
    EXPECT_EQ(result.load(), MK_ERR_VENC_SYS_NOTREADY);
    auto v = view::Get(23);
    EXPECT_EQ(v->fetchedFrames, 0u);
    EXPECT_EQ(v->queuedFrames, 1u);
    EXPECT_EQ(v->getWaiters, 0);
    ASSERT_EQ(Fetch(23, &f), MK_SUCCESS);
    EXPECT_EQ(MK_MPI_VENC_ReleaseStream(23, &f.st), MK_SUCCESS);
}

TEST_F(VencTest, AGetWaitingAcrossExitReturnsNotReadyAndTakesNothing) {
    ASSERT_EQ(MK_MPI_VENC_CreateChn(24, Ptr(H264Attr(64, 64, 65536))), MK_SUCCESS);
    std::atomic<MK_S32> result;
    Fetched f;
    std::thread waiter = WaitingGet(24, &result, &f);
    ASSERT_EQ(MPI_VENC_Exit(), MK_SUCCESS);
    view::PushFrames(24, 1);
    waiter.join();
    EXPECT_EQ(result.load(), MK_ERR_VENC_SYS_NOTREADY);
    EXPECT_EQ(view::Get(24)->fetchedFrames, 0u) << "nothing is taken that nobody could release";
    // The module comes back; the frame is there to fetch from a fresh mapping.
    ASSERT_EQ(Fetch(24, &f), MK_SUCCESS);
    EXPECT_TRUE(Mapped(f.packs[0].pu8UserAddr));
    EXPECT_EQ(MK_MPI_VENC_ReleaseStream(24, &f.st), MK_SUCCESS);
}

// ---- A refused frame keeps what the next accepted frame is to carry ----

bool CarriesSei(const Fetched& f, const std::vector<uint8_t>& data) {
    for (MK_U32 i = 0; i < f.st.u32PackCnt; ++i) {
        const VENC_PACK_S& p = f.packs[i];
        if (p.u32DataType != H264E_NALU_SEI) continue;
        std::vector<uint8_t> nal(p.pu8UserAddr, p.pu8UserAddr + p.u32Len);
        if (std::search(nal.begin(), nal.end(), data.begin(), data.end()) != nal.end()) return true;
    }
    return false;
}

TEST_F(VencTest, ARefusedSendFrameKeepsTheKeyFrameRequestAndUserData) {
    const MK_U32 w = 64, h = 48;
    ASSERT_EQ(MK_MPI_VENC_CreateChn(25, Ptr(H264Attr(w, h, 1 << 18, 50))), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VENC_StartRecvPic(25), MK_SUCCESS);
    uint32_t phys = varnelle::mem::ZoneAllocator::Local().Allocate(w * h * 3 / 2);
    ASSERT_NE(phys, 0u);
    std::vector<uint8_t> pic(w * h * 3 / 2, 100);
    ASSERT_TRUE(Ram::Local().Write(phys, pic.data(), pic.size()));
    VIDEO_FRAME_INFO_S frame{};
    frame.u32Width = w;
    frame.u32Height = h;
    frame.u32PhyAddr[0] = phys;
    frame.u32PhyAddr[1] = phys + w * h;
    frame.u32Stride[0] = frame.u32Stride[1] = w;
    ASSERT_EQ(MK_MPI_VENC_SendFrame(25, &frame, 0), MK_SUCCESS);  // the first is a key frame anyway
    ASSERT_EQ(MK_MPI_VENC_SendFrame(25, &frame, 0), MK_SUCCESS);
    MK_U8 data[] = {'k', 'e', 'p', 't'};
    ASSERT_EQ(MK_MPI_VENC_RequestIDR(25, MK_TRUE), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VENC_InsertUserData(25, data, sizeof data), MK_SUCCESS);
    VIDEO_FRAME_INFO_S bad = frame;
    bad.u32PhyAddr[1] = 0x10;  // chroma outside RAM
    EXPECT_EQ(MK_MPI_VENC_SendFrame(25, &bad, 0), MK_ERR_VENC_ILLEGAL_PARAM);
    ASSERT_EQ(MK_MPI_VENC_SendFrame(25, &frame, 0), MK_SUCCESS);
    Fetched f;
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(Fetch(25, &f), MK_SUCCESS);
        ASSERT_EQ(MK_MPI_VENC_ReleaseStream(25, &f.st), MK_SUCCESS);
    }
    ASSERT_EQ(Fetch(25, &f), MK_SUCCESS);
    EXPECT_EQ(f.st.au32StreamInfo[0], 1u) << "the requested key frame";
    EXPECT_TRUE(CarriesSei(f, std::vector<uint8_t>(data, data + sizeof data)));
    EXPECT_EQ(MK_MPI_VENC_ReleaseStream(25, &f.st), MK_SUCCESS);
    varnelle::mem::ZoneAllocator::Local().Free(phys);
}

// A frame the full ring cannot take hands its user data on to the next frame that fits.
TEST_F(VencTest, UserDataOfAFrameDroppedForWantOfRoomTravelsWithTheNextFrame) {
    ASSERT_EQ(MK_MPI_VENC_CreateChn(26, Ptr(H264Attr(176, 144, 8192, 1))), MK_SUCCESS);
    ASSERT_EQ(view::PushFrames(26, 1), 1);
    Fetched held;
    ASSERT_EQ(Fetch(26, &held), MK_SUCCESS);
    while (view::PushFrames(26, 1) == 1) {
    }
    MK_U8 data[] = {'r', 'o', 'o', 'm'};
    ASSERT_EQ(MK_MPI_VENC_InsertUserData(26, data, sizeof data), MK_SUCCESS);
    ASSERT_EQ(view::PushFrames(26, 1), 0) << "the ring is full";
    ASSERT_EQ(MK_MPI_VENC_ReleaseStream(26, &held.st), MK_SUCCESS);
    Fetched f;
    while (Fetch(26, &f) == MK_SUCCESS) ASSERT_EQ(MK_MPI_VENC_ReleaseStream(26, &f.st), MK_SUCCESS);
    ASSERT_EQ(view::PushFrames(26, 1), 1);
    ASSERT_EQ(Fetch(26, &f), MK_SUCCESS);
    EXPECT_TRUE(CarriesSei(f, std::vector<uint8_t>(data, data + sizeof data)));
    EXPECT_EQ(MK_MPI_VENC_ReleaseStream(26, &f.st), MK_SUCCESS);
}

}  // namespace
