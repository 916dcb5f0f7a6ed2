// The decoder handle: output sizes, scale codes, register access and what a picture programs into the
// register window. Expected values are written out here from the size rules and from the JPEG standard's
// tables; the picture's own tables are read with plain libjpeg.
#include <fcntl.h>
#include <sys/mman.h>

#include <cstring>
#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "platform/dev/dev.h"
#include "platform/drivers/jpeg/jpeg_driver.h"
#include "platform/mem/ram.h"
#include "platform/mem/zone.h"
#include "sdk/jpegd/jpegd_ioctl.h"
#include "sdk/jpegd/testing/jpeg_lib_testing.h"

namespace {

using namespace mk::jpegd::testing;
using varnelle::drivers::JpegDriver;

TEST(JpegHdecTest, ScaleCodesFromTheLibrarysScale) {
    struct Case {
        unsigned n, d;
        MK_U32 code;
    } cases[] = {{1, 1, 0}, {2, 2, 0}, {1, 2, 1}, {1, 3, 1}, {1, 4, 2}, {1, 7, 2},
                 {1, 8, 3}, {1, 16, 3}, {2, 1, 4}, {3, 4, 4}, {8, 8, 0}, {2, 4, 1}};
    for (const Case& c : cases) EXPECT_EQ(JPEG_HDEC_ScaleCode(c.n, c.d), c.code) << c.n << "/" << c.d;
}

TEST(JpegHdecTest, RegisterAccessStopsAtTheWindowsEnd) {
    std::vector<MK_U32> regs(0x800 / 4, 0);
    volatile MK_U32* r = regs.data();
    JPEG_HDEC_WriteReg(r, 0x6BC, 7);
    JPEG_HDEC_WriteReg(r, 0x6BF, 9);
    JPEG_HDEC_WriteReg(r, 0x6C0, 9);
    EXPECT_EQ(regs[0x6BC / 4], 7u);
    EXPECT_EQ(regs[0x6C0 / 4], 0u);
    EXPECT_EQ(JPEG_HDEC_ReadReg(r, 0x6BC), 7u);
    EXPECT_EQ(JPEG_HDEC_ReadReg(r, 0x6BF), 0xFFFFFFFFu);
    EXPECT_EQ(JPEG_HDEC_ReadReg(r, 0x6C0), 0xFFFFFFFFu);
    const MK_U32 words[3] = {1, 2, 3};
    JPEG_HDEC_CopyToRegs(r, 0x6B8, words, 3);
    EXPECT_EQ(regs[0x6B8 / 4], 1u);
    EXPECT_EQ(regs[0x6BC / 4], 2u);
    EXPECT_EQ(regs[0x6C0 / 4], 0u);
}

// The sizes a picture gets, as the image-information request reports them.
struct SizeCase {
    const char* picture;  // cjpeg options, or "grey"
    uint32_t w, h;
    int space;
    bool flagA;
    unsigned scaleDenom;
    // Expected words: 0 width, 1 chroma width, 3 height, 4 chroma height, 6 stride, 7 chroma stride,
    // 9 size, 10 chroma size, 2 and 5 scaled MCU-aligned width and height, 8 the MCU-aligned line.
    MK_U32 w0, w1, w3, w4, w6, w7, w9, w10, w2, w5, w8;
};

TEST(JpegHdecTest, OutputSizesFollowFormatFlagScaleAndSpace) {
    const SizeCase cases[] = {
        // 4:2:0, MCU 16x16: stride 384, 256 lines; luma sizes made even, chroma half.
        {"-sample 2x2", 333, 247, 15, false, 1, 334, 167, 248, 124, 384, 384, 98304, 49152, 336, 256, 384},
        {"-sample 2x2", 333, 247, 15, false, 2, 168, 84, 124, 62, 192, 192, 24576, 12288, 168, 128, 192},
        // 4:4:4, MCU 8x8: chroma as large as luma, twice the stride; with the flag, half both ways.
        {"-sample 1x1", 100, 30, 15, false, 1, 100, 100, 30, 30, 128, 256, 4096, 8192, 104, 32, 128},
        {"-sample 1x1", 100, 30, 15, true, 1, 100, 50, 30, 15, 128, 128, 4096, 2048, 104, 32, 128},
        // 4:2:2 (2x1), MCU 16x8; luma twice the chroma vertically only (1x2), MCU 8x16.
        {"-sample 2x1", 200, 100, 16, false, 1, 200, 100, 100, 100, 256, 256, 26624, 26624, 208, 104, 256},
        {"-sample 1x2", 200, 100, 17, false, 1, 200, 200, 100, 50, 256, 512, 28672, 28672, 200, 112, 256},
        // Grey: no chroma; a one-pixel picture still has two lines of two.
        {"grey", 17, 9, 14, false, 1, 17, 0, 9, 0, 64, 0, 1024, 0, 24, 16, 64},
        {"grey", 1, 1, 14, false, 1, 2, 0, 2, 0, 64, 0, 512, 0, 8, 8, 64},
    };
    for (const SizeCase& k : cases) {
        SCOPED_TRACE(std::string(k.picture) + " " + std::to_string(k.w) + "x" + std::to_string(k.h) + " 1/" +
                     std::to_string(k.scaleDenom) + (k.flagA ? " 420" : ""));
        const bool grey = std::string(k.picture) == "grey";
        const Bytes jpg = grey ? Cjpeg(Pgm(k.w, k.h), "") : Cjpeg(Ppm(k.w, k.h), k.picture);
        Dec d;
        mk_jpeg_mem_stream_src(&d.c, jpg.data(), jpg.size());
        mk_jpeg_read_header(&d.c, TRUE);
        d.c.scale_denom = k.scaleDenom;
        mk_jpeg_set_out_color_space(&d.c, k.space);
        JPEG_HDEC_SetFlagA(&d.c, k.flagA ? MK_TRUE : MK_FALSE);
        MK_JPEG_IMAGEINFO_S info{};
        info.au32Word[MK_JPEG_INFO_CALC_OUTPUT] = 1;
        ASSERT_EQ(JPEG_HDEC_GetImageInfo(&d.c, &info), MK_SUCCESS);
        const MK_U32* w = info.au32Word;
        EXPECT_EQ(w[0], k.w0);
        EXPECT_EQ(w[1], k.w1);
        EXPECT_EQ(w[3], k.w3);
        EXPECT_EQ(w[4], k.w4);
        EXPECT_EQ(w[6], k.w6);
        EXPECT_EQ(w[7], k.w7);
        EXPECT_EQ(w[9], k.w9);
        EXPECT_EQ(w[10], k.w10);
        EXPECT_EQ(w[2], k.w2);
        EXPECT_EQ(w[5], k.w5);
        EXPECT_EQ(w[8], k.w8);
        EXPECT_EQ(w[11], k.w5 * k.w8);
        // Without the output calculation: the image's own size and format only.
        MK_JPEG_IMAGEINFO_S image{};
        ASSERT_EQ(JPEG_HDEC_GetImageInfo(&d.c, &image), MK_SUCCESS);
        EXPECT_EQ(image.au32Word[0], k.w);
        EXPECT_EQ(image.au32Word[3], k.h);
        EXPECT_EQ(image.au32Word[1], 0u);
    }
}

TEST(JpegHdecTest, ARgbOutputOf4096OrMoreIsSizedAtTheNextScale) {
    const Bytes jpg = Cjpeg(Ppm(5000, 16), "-sample 2x2");
    Dec d;
    mk_jpeg_mem_stream_src(&d.c, jpg.data(), jpg.size());
    mk_jpeg_read_header(&d.c, TRUE);
    mk_jpeg_set_out_color_space(&d.c, JCS_RGB);
    MK_JPEG_IMAGEINFO_S info{};
    info.au32Word[MK_JPEG_INFO_CALC_OUTPUT] = 1;
    ASSERT_EQ(JPEG_HDEC_GetImageInfo(&d.c, &info), MK_SUCCESS);
    EXPECT_EQ(info.au32Word[0], 2500u);
    EXPECT_EQ(info.au32Word[3], 8u);
    EXPECT_EQ(info.au32Word[6], 7504u);       // 3 x 2500 rounded up to 16
    EXPECT_EQ(info.au32Word[8], 3u * 2512);   // 3 x the width rounded up to the MCU
    EXPECT_EQ(info.au32Word[9], 7504u * 8);
}

TEST(JpegHdecTest, SettersRefuseWhatTheyCannotUse) {
    Dec d;
    EXPECT_EQ(JPEG_HDEC_SetStreamBuf(&d.c, 0), MK_FAILURE);
    EXPECT_EQ(MK_JPEG_SetBufInfo(&d.c, 0, 100, nullptr, 0, MK_FALSE), MK_FAILURE);
    EXPECT_EQ(MK_JPEG_SetOutDesc(&d.c, nullptr), MK_FAILURE);
    MK_JPEG_OUTDESC_S desc{};
    desc.bCrop = MK_TRUE;
    desc.s32CropWidth = 0;
    desc.s32CropHeight = 10;
    EXPECT_EQ(MK_JPEG_SetOutDesc(&d.c, &desc), MK_FAILURE);
    EXPECT_EQ(JPEG_HDEC_GetImageInfo(&d.c, nullptr), MK_FAILURE);
    EXPECT_EQ(JPEG_HDEC_GetPair(&d.c, nullptr), MK_FAILURE);
    EXPECT_EQ(JPEG_HDEC_GetImageInfo(nullptr, nullptr), MK_FAILURE);
}

// ---- What a picture programs ----

// The JPEG standard's DC code lengths and codes per category (Annex K, tables K.3 and K.4).
const MK_U32 kDcLumaLen[12] = {2, 3, 3, 3, 3, 3, 4, 5, 6, 7, 8, 9};
const MK_U32 kDcLumaCode[12] = {0b00, 0b010, 0b011, 0b100, 0b101, 0b110, 0b1110, 0b11110, 0b111110, 0b1111110,
                                0b11111110, 0b111111110};
const MK_U32 kDcChromaLen[12] = {2, 2, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
const MK_U32 kDcChromaCode[12] = {0b00,       0b01,        0b10,         0b110,         0b1110,       0b11110,
                                  0b111110,   0b1111110,   0b11111110,   0b111111110,   0b1111111110, 0b11111111110};
// Low bytes of the first code of each length 1 to 16 of the standard AC tables, and of the index of the
// length's first symbol less that code (0 for lengths without codes).
const MK_U32 kAcLumaFirst[16] = {0x00, 0x00, 0x04, 0x0a, 0x1a, 0x3a, 0x78, 0xf8,
                                 0xf6, 0xf6, 0xf6, 0xf4, 0xf0, 0xe0, 0xc0, 0x82};
const MK_U32 kAcLumaOffset[16] = {0x00, 0x00, 0xfe, 0xf9, 0xec, 0xcf, 0x93, 0x17,
                                  0x1c, 0x21, 0x26, 0x2c, 0x00, 0x00, 0x64, 0xa3};
const MK_U32 kAcChromaFirst[16] = {0x00, 0x00, 0x04, 0x0a, 0x18, 0x38, 0x78, 0xf6,
                                   0xf4, 0xf6, 0xf6, 0xf4, 0xf0, 0xe0, 0xc2, 0x88};
const MK_U32 kAcChromaOffset[16] = {0x00, 0x00, 0xfe, 0xf9, 0xed, 0xd1, 0x95, 0x1a,
                                    0x20, 0x25, 0x2a, 0x30, 0x00, 0x48, 0x67, 0xa3};

TEST(JpegHdecTest, APictureProgramsItsTablesAndParameters) {
    auto drv = JpegDriver::Get();
    drv->Reset();
    // cjpeg codes with the standard Huffman tables unless told to optimise.
    const Bytes jpg = Cjpeg(Ppm(64, 32), "-sample 2x2 -quality 60");
    Out out;
    ASSERT_EQ(DecodeYuv(jpg, 15, true, &out, [](Dec& d) { JPEG_HDEC_SetFlagB(&d.c, MK_TRUE); }), 0);
    const std::vector<JpegDriver::Wait> waits = drv->Waits();
    ASSERT_EQ(waits.size(), 1u);
    const JpegDriver::Wait& w = waits[0];

    // The quantisers as plain libjpeg reads them: components 0, 1 and 2 in bytes 0, 1 and 2.
    jpeg_decompress_struct c{};
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_decompress(&c);
    jpeg_mem_src(&c, jpg.data(), jpg.size());
    jpeg_read_header(&c, TRUE);
    const JQUANT_TBL* q[3];
    for (int i = 0; i < 3; ++i) q[i] = c.quant_tbl_ptrs[c.comp_info[i].quant_tbl_no];
    for (int i = 0; i < 64; ++i) {
        EXPECT_EQ(w.Reg(JPEG_REG_QUANT + 4 * i), q[0]->quantval[i] | q[1]->quantval[i] << 8 | q[2]->quantval[i] << 16) << i;
    }
    const JHUFF_TBL* acLuma = c.ac_huff_tbl_ptrs[0];
    const JHUFF_TBL* acChroma = c.ac_huff_tbl_ptrs[1];
    for (int k = 0; k < JPEG_AC_SYMBOLS; ++k) {
        const MK_U32 expect = k < 162 ? acLuma->huffval[k] | acChroma->huffval[k] << 8 : 0;
        EXPECT_EQ(w.Reg(JPEG_REG_AC_SYMBOL + 4 * k), expect) << k;
    }
    jpeg_destroy_decompress(&c);

    for (int cat = 0; cat < 12; ++cat) {
        const MK_U32 expect = (kDcLumaCode[cat] & 0xFF) | kDcLumaLen[cat] << 8 | (kDcChromaCode[cat] & 0xFF) << 12 |
                              (kDcChromaLen[cat] & 0xF) << 20;
        EXPECT_EQ(w.Reg(JPEG_REG_DC_HUFF + 4 * cat), expect) << "category " << cat;
    }
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(w.Reg(JPEG_REG_AC_FIRST + 4 * i), kAcLumaFirst[2 * i] | kAcLumaFirst[2 * i + 1] << 8 |
                                                        kAcChromaFirst[2 * i] << 16 | kAcChromaFirst[2 * i + 1] << 24)
            << i;
        EXPECT_EQ(w.Reg(JPEG_REG_AC_OFFSET + 4 * i), kAcLumaOffset[2 * i] | kAcLumaOffset[2 * i + 1] << 8 |
                                                         kAcChromaOffset[2 * i] << 16 | kAcChromaOffset[2 * i + 1] << 24)
            << i;
    }
    EXPECT_EQ(w.Reg(JPEG_REG_INIT), 0u);
    EXPECT_EQ(w.Reg(JPEG_REG_FORMAT), 3u);             // 4:2:0
    EXPECT_EQ(w.Reg(JPEG_REG_SCALE), 8u);              // scale 1/1
    EXPECT_EQ(w.Reg(JPEG_REG_MCU_COUNT), 4u | 2u << 16);
    EXPECT_EQ(w.Reg(JPEG_REG_STRIDE), 64u | 64u << 16);
    EXPECT_EQ(w.Reg(JPEG_REG_SAMPLING), 0x221111u);
    EXPECT_EQ(w.Reg(JPEG_REG_420), 4u);
    EXPECT_EQ(w.Reg(JPEG_REG_RESULT1), 0x80000000u);
    EXPECT_EQ(w.Reg(JPEG_REG_CHROMA_ADDR), w.Reg(JPEG_REG_LUMA_ADDR) + 64u * 32);
    EXPECT_EQ(w.Reg(JPEG_REG_START), 1u);
    EXPECT_EQ(w.Reg(JPEG_REG_MODE), static_cast<MK_U32>(JPEG_MODE_WHOLE));
}

// ---- The block itself: a programming replayed with the registers changed ----

// The entropy-coded data of a stream: everything after its scan header.
Bytes EntropyData(const Bytes& jpg) {
    size_t pos = 2;
    while (pos + 4 <= jpg.size() && jpg[pos] == 0xFF) {
        const size_t len = static_cast<size_t>(jpg[pos + 2]) << 8 | jpg[pos + 3];
        if (jpg[pos + 1] == 0xDA) return Bytes(jpg.begin() + static_cast<long>(pos + 2 + len), jpg.end());
        pos += 2 + len;
    }
    return {};
}

class JpegBlockTest : public ::testing::Test {
protected:
    static constexpr uint32_t kOutSize = 64 * 32 * 2;
    void SetUp() override {
        m_drv = JpegDriver::Get();
        m_drv->Reset();
        // The SDK's own programming of a 64x32 4:2:0 picture (the block told to answer without decoding).
        m_jpg = Cjpeg(Ppm(64, 32, 4), "-sample 2x2");
        m_drv->SetWaitScript({JPEG_WAIT_DONE});
        Out out;
        ASSERT_EQ(DecodeYuv(m_jpg, 15, true, &out), 0);
        m_regs = m_drv->Waits().at(0).regs;
        m_drv->Reset();
        // The data and the output in buffers of the test's own.
        const Bytes data = EntropyData(m_jpg);
        ASSERT_FALSE(data.empty());
        m_dataLen = static_cast<uint32_t>(data.size());
        m_stream = varnelle::mem::ZoneAllocator::Local().Allocate(4096 + m_dataLen, "", "block-test");
        m_out = varnelle::mem::ZoneAllocator::Local().Allocate(kOutSize, "", "block-test");
        ASSERT_NE(m_stream, 0u);
        ASSERT_NE(m_out, 0u);
        ASSERT_TRUE(varnelle::mem::Ram::Local().Write(m_stream, data.data(), data.size()));
        Set(JPEG_REG_WINDOW_START, m_stream);
        Set(JPEG_REG_WINDOW_END, m_stream + 4096 + m_dataLen);
        Set(JPEG_REG_DATA_START, m_stream);
        Set(JPEG_REG_DATA_END, m_stream + m_dataLen);
        Set(JPEG_REG_LUMA_ADDR, m_out);
        Set(JPEG_REG_CHROMA_ADDR, m_out + 64 * 32);
        Set(JPEG_REG_MODE, JPEG_MODE_WHOLE);
        Set(JPEG_REG_START, 1);
        m_fd = varnelle::dev::Open("/dev/jpeg", O_RDWR | O_DSYNC);
        ASSERT_GE(m_fd, 0);
        ASSERT_EQ(varnelle::dev::Ioctl(m_fd, MK_JPEG_IOC_OPEN), 0);
        m_win = static_cast<uint32_t*>(varnelle::dev::Mmap(nullptr, JPEG_REG_WINDOW_SIZE, PROT_READ | PROT_WRITE,
                                                           MAP_SHARED, m_fd, 0));
        ASSERT_NE(m_win, MAP_FAILED);
    }
    void TearDown() override {
        varnelle::dev::Munmap(m_win, JPEG_REG_WINDOW_SIZE);
        varnelle::dev::Ioctl(m_fd, MK_JPEG_IOC_CLOSE);
        varnelle::dev::Close(m_fd);
        varnelle::mem::ZoneAllocator::Local().Free(m_stream);
        varnelle::mem::ZoneAllocator::Local().Free(m_out);
        m_drv->Reset();
    }
    void Set(uint32_t offset, uint32_t value) { m_regs[offset / 4] = value; }
    // The block's answer to `regs`, with the output filled with a guard value first.
    uint32_t Run(const std::vector<uint32_t>& regs) {
        const Bytes guard(kOutSize, 0xEE);
        varnelle::mem::Ram::Local().Write(m_out, guard.data(), guard.size());
        std::memcpy(m_win, regs.data(), regs.size() * 4);
        JPEG_WAIT_S w{0, 10000};
        EXPECT_EQ(varnelle::dev::Ioctl(m_fd, MK_JPEG_IOC_WAIT, &w), 0);
        return w.u32Result;
    }
    Bytes Output() {
        Bytes out(kOutSize);
        varnelle::mem::Ram::Local().Read(m_out, out.data(), out.size());
        return out;
    }

    std::shared_ptr<JpegDriver> m_drv;
    Bytes m_jpg;
    std::vector<uint32_t> m_regs;
    uint32_t m_stream = 0, m_out = 0, m_dataLen = 0;
    int m_fd = -1;
    uint32_t* m_win = nullptr;
};

TEST_F(JpegBlockTest, TheBlockDecodesWhatTheSdkProgrammedAndRefusesWhatItCannotTake) {
    ASSERT_EQ(Run(m_regs), static_cast<uint32_t>(JPEG_WAIT_DONE));
    EXPECT_EQ(Rows(Output().data(), 64, 64, 32), Djpeg(m_jpg, "-grayscale"));
    struct Case {
        const char* what;
        std::function<void(std::vector<uint32_t>&)> change;
        bool untouched;  // refused before anything is written
    };
    auto set = [](uint32_t offset, uint32_t value) {
        return [=](std::vector<uint32_t>& r) { r[offset / 4] = value; };
    };
    const uint32_t ramEnd = static_cast<uint32_t>(varnelle::mem::kRamBase + varnelle::mem::Ram::Local().size() - 1);
    const Case cases[] = {
        {"colour format code 1", set(JPEG_REG_FORMAT, 1), true},
        {"colour format code 7", set(JPEG_REG_FORMAT, 7), true},
        {"no MCUs across", set(JPEG_REG_MCU_COUNT, 2u << 16), true},
        {"MCU counts beyond 10 bits", set(JPEG_REG_MCU_COUNT, 0x04000004u), true},
        {"sampling that is not 4:2:0", set(JPEG_REG_SAMPLING, 0x111111u), true},
        {"luma stride below a row", set(JPEG_REG_STRIDE, 32u | 64u << 16), true},
        {"chroma stride below a row", set(JPEG_REG_STRIDE, 64u | 32u << 16), true},
        {"luma outside RAM", set(JPEG_REG_LUMA_ADDR, 0x10000000u), true},
        {"chroma running past RAM's end", set(JPEG_REG_CHROMA_ADDR, ramEnd - 100), true},
        {"data past the window", set(JPEG_REG_WINDOW_END, m_stream + 100), true},
        {"an empty window", set(JPEG_REG_WINDOW_END, m_stream), true},
        {"a DC code that is no canonical code", [](std::vector<uint32_t>& r) { r[JPEG_REG_DC_HUFF / 4 + 3] ^= 0x1; }, true},
        {"an odd first AC code", [](std::vector<uint32_t>& r) { r[JPEG_REG_AC_FIRST / 4 + 1] |= 0x1; }, true},
        {"no start", set(JPEG_REG_START, 0), true},
        {"a further piece with no first", set(JPEG_REG_MODE, JPEG_MODE_NEXT), true},
        {"a last piece with no first", set(JPEG_REG_MODE, JPEG_MODE_LAST), true},
        {"data that ends early", set(JPEG_REG_DATA_END, m_stream + m_dataLen / 2), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint32_t> regs = m_regs;
        c.change(regs);
        EXPECT_EQ(Run(regs), static_cast<uint32_t>(JPEG_WAIT_ERROR));
        if (c.untouched) {
            EXPECT_EQ(Output(), Bytes(kOutSize, 0xEE));
        }
    }
}

TEST_F(JpegBlockTest, AStreamInPiecesOrWrappingTheWindowDecodesAsInOne) {
    ASSERT_EQ(Run(m_regs), static_cast<uint32_t>(JPEG_WAIT_DONE));
    const Bytes whole = Output();
    const uint32_t cut = m_dataLen / 3;
    // Two pieces through the same bytes: the first answered "more", the last decoded.
    std::vector<uint32_t> first = m_regs, last = m_regs;
    first[JPEG_REG_MODE / 4] = JPEG_MODE_FIRST;
    first[JPEG_REG_DATA_END / 4] = m_stream + cut;
    last[JPEG_REG_MODE / 4] = JPEG_MODE_LAST;
    last[JPEG_REG_START / 4] = 0;
    last[JPEG_REG_DATA_START / 4] = m_stream + cut;
    EXPECT_EQ(Run(first), static_cast<uint32_t>(JPEG_WAIT_MORE));
    EXPECT_EQ(Run(last), static_cast<uint32_t>(JPEG_WAIT_DONE));
    EXPECT_EQ(Output(), whole);
    // The data wrapping at the window's end: its first third at the end, the rest from the start.
    Bytes data(m_dataLen);
    varnelle::mem::Ram::Local().Read(m_stream, data.data(), data.size());
    const uint32_t windowEnd = m_stream + m_dataLen + 16;
    varnelle::mem::Ram::Local().Write(windowEnd - cut, data.data(), cut);
    varnelle::mem::Ram::Local().Write(m_stream, data.data() + cut, m_dataLen - cut);
    std::vector<uint32_t> regs = m_regs;
    regs[JPEG_REG_WINDOW_END / 4] = windowEnd;
    regs[JPEG_REG_DATA_START / 4] = windowEnd - cut;
    regs[JPEG_REG_DATA_END / 4] = m_stream + m_dataLen - cut;
    EXPECT_EQ(Run(regs), static_cast<uint32_t>(JPEG_WAIT_DONE));
    EXPECT_EQ(Output(), whole);
}

}  // namespace
