// The picture operations on their own: the table of decompress objects, and parse and decode of one
// picture from zone memory.
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "sdk/jpegd/jpegd_ioctl.h"
#include "sdk/jpegd/mpi_jpegd.h"
#include "sdk/jpegd/testing/jpeg_tools.h"
#include "sdk/sys/mpi_sys.h"

namespace {

using namespace mk::jpegd::testing;

// A block of zone memory holding `bytes` (or `size` bytes of 0xEE).
struct ZoneBuf {
    MK_U32 phys = 0;
    MK_U8* vir = nullptr;
    explicit ZoneBuf(const Bytes& bytes) : ZoneBuf(static_cast<MK_U32>(bytes.size())) {
        std::memcpy(vir, bytes.data(), bytes.size());
    }
    explicit ZoneBuf(MK_U32 size) {
        EXPECT_EQ(MK_MPI_SYS_MmzAlloc(&phys, reinterpret_cast<MK_VOID**>(&vir), "test", nullptr, size), MK_SUCCESS);
        std::memset(vir, 0xEE, size);
    }
    ~ZoneBuf() { MK_MPI_SYS_MmzFree(phys, vir); }
};

MK_S32 Parse(j_decompress_ptr obj, const ZoneBuf& stream, MK_U32 len) {
    return MK_JPEG_Parse(obj, stream.phys, len, stream.phys, stream.vir, nullptr, len, 0);
}

TEST(JpegApiTest, ObjectsTakeFreeSlotsNeverLiveOnes) {
    const int live = MK_JPEG_LiveCount();
    j_decompress_ptr a, b, c, d;
    ASSERT_EQ(MK_JPEG_Create(&a), MK_SUCCESS);
    ASSERT_EQ(MK_JPEG_Create(&b), MK_SUCCESS);
    ASSERT_EQ(MK_JPEG_Create(&c), MK_SUCCESS);
    ASSERT_EQ(MK_JPEG_Destroy(b), MK_SUCCESS);
    ASSERT_EQ(MK_JPEG_Create(&d), MK_SUCCESS);
    EXPECT_NE(d, a);
    EXPECT_NE(d, c);
    // Destroying what is not live is refused and leaves the count alone.
    EXPECT_EQ(MK_JPEG_Destroy(nullptr), MK_FAILURE);
    jpeg_decompress_struct notFromTheTable{};
    j_decompress_ptr stranger = &notFromTheTable;
    EXPECT_EQ(MK_JPEG_Destroy(stranger), MK_FAILURE);
    EXPECT_EQ(MK_JPEG_LiveCount(), live + 3);

    // a and c still parse pictures of their own.
    const Bytes jpg = Cjpeg(Ppm(32, 16), "-sample 2x2");
    ZoneBuf stream(jpg);
    for (j_decompress_ptr o : {a, c, d}) {
        ASSERT_EQ(Parse(o, stream, static_cast<MK_U32>(jpg.size())), MK_SUCCESS);
        MK_U32 info[3];
        ASSERT_EQ(MK_JPEG_GetImageInfo(o, info), MK_SUCCESS);
        EXPECT_EQ(info[0], 32u);
        EXPECT_EQ(info[1], 16u);
        EXPECT_EQ(info[2], 1u);
        EXPECT_EQ(MK_JPEG_ResetDec(o), MK_SUCCESS);
    }

    std::vector<j_decompress_ptr> more;
    j_decompress_ptr o;
    while (MK_JPEG_Create(&o) == MK_SUCCESS) more.push_back(o);
    EXPECT_EQ(MK_JPEG_LiveCount(), MK_JPEG_MAX_OBJECTS);
    EXPECT_EQ(more.size(), static_cast<size_t>(MK_JPEG_MAX_OBJECTS - live - 3));
    for (j_decompress_ptr m : more) EXPECT_EQ(MK_JPEG_Destroy(m), MK_SUCCESS);
    for (j_decompress_ptr m : {a, c, d}) EXPECT_EQ(MK_JPEG_Destroy(m), MK_SUCCESS);
    EXPECT_EQ(MK_JPEG_Destroy(a), MK_FAILURE) << "destroyed twice";
    EXPECT_EQ(MK_JPEG_LiveCount(), live);
    EXPECT_EQ(MK_JPEG_Create(nullptr), MK_FAILURE);
    EXPECT_EQ(MK_JPEG_LiveCount(), live);
}

TEST(JpegApiTest, AFailedParseLeavesTheObjectUsable) {
    j_decompress_ptr o;
    ASSERT_EQ(MK_JPEG_Create(&o), MK_SUCCESS);
    const Bytes junk(200, 0x33);
    ZoneBuf bad(junk);
    EXPECT_EQ(Parse(o, bad, 200), MK_FAILURE);
    EXPECT_EQ(MK_JPEG_Parse(o, 0, 0, bad.phys, bad.vir, nullptr, 200, 0), MK_FAILURE) << "no working buffer";
    EXPECT_EQ(MK_JPEG_Parse(nullptr, bad.phys, 200, bad.phys, bad.vir, nullptr, 200, 0), MK_FAILURE);
    const Bytes jpg = Cjpeg(Ppm(40, 24), "-sample 2x2");
    ZoneBuf stream(jpg);
    ASSERT_EQ(Parse(o, stream, static_cast<MK_U32>(jpg.size())), MK_SUCCESS);
    ZoneBuf frame(64u * 32 * 3 / 2);
    MK_JPEG_FRAMEBUF_S fb{frame.phys, frame.vir, 64u * 32 * 3 / 2};
    MK_JPEG_DECRESULT_S r{};
    ASSERT_EQ(MK_JPEG_Decode(o, &fb, &r), MK_SUCCESS);
    EXPECT_EQ(r.u32OutWidth, 40u);
    EXPECT_EQ(r.u32OutHeight, 24u);
    EXPECT_EQ(r.u32LumaPhyAddr, frame.phys);
    EXPECT_EQ(r.u32ChromaPhyAddr, frame.phys + 64u * 32);
    EXPECT_EQ(r.pu8ChromaVirAddr, frame.vir + 64u * 32);
    EXPECT_EQ(r.u32LumaStride, 64u);
    EXPECT_EQ(r.u32ChromaStride, 64u);
    EXPECT_EQ(Rows(frame.vir, 64, 40, 24), Djpeg(jpg, "-grayscale"));
    EXPECT_EQ(MK_JPEG_Destroy(o), MK_SUCCESS);
}

TEST(JpegApiTest, AFrameBufferTooSmallForThePictureIsNotWrittenAtAll) {
    j_decompress_ptr o;
    ASSERT_EQ(MK_JPEG_Create(&o), MK_SUCCESS);
    const Bytes jpg = Cjpeg(Ppm(64, 48), "-sample 2x2");
    ZoneBuf stream(jpg);
    // 64 x 48 in 4:2:0: 3072 bytes of luma and 1536 of chroma.
    const MK_U32 need = 64 * 48 * 3 / 2;
    ZoneBuf frame(need + 64);
    for (MK_U32 size : {need - 1, need}) {
        SCOPED_TRACE(size);
        ASSERT_EQ(Parse(o, stream, static_cast<MK_U32>(jpg.size())), MK_SUCCESS);
        MK_JPEG_FRAMEBUF_S fb{frame.phys, frame.vir, size};
        MK_JPEG_DECRESULT_S r{};
        const MK_S32 ret = MK_JPEG_Decode(o, &fb, &r);
        if (size < need) {
            EXPECT_EQ(ret, MK_FAILURE);
            EXPECT_EQ(Bytes(frame.vir, frame.vir + need + 64), Bytes(need + 64, 0xEE));
        } else {
            EXPECT_EQ(ret, MK_SUCCESS);
            EXPECT_EQ(Bytes(frame.vir + need, frame.vir + need + 64), Bytes(64, 0xEE)) << "nothing past the buffer";
        }
    }
    // A grey picture needs room for the neutral chroma that follows: half its lines, rounded up.
    const Bytes grey = Cjpeg(Pgm(64, 7), "");
    ZoneBuf greyStream(grey);
    for (MK_U32 size : {64u * 8 + 64 * 4 - 1, 64u * 8 + 64 * 4}) {
        ASSERT_EQ(Parse(o, greyStream, static_cast<MK_U32>(grey.size())), MK_SUCCESS);
        MK_JPEG_FRAMEBUF_S fb{frame.phys, frame.vir, size};
        MK_JPEG_DECRESULT_S r{};
        EXPECT_EQ(MK_JPEG_Decode(o, &fb, &r), size < 64u * 8 + 64 * 4 ? MK_FAILURE : MK_SUCCESS) << size;
    }
    EXPECT_EQ(MK_JPEG_Destroy(o), MK_SUCCESS);
}

}  // namespace
