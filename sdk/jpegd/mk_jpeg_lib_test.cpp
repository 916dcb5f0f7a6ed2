// The library wrappers: the YUV writers, the 4096 rule, colour formats, data sources, the hardware
// attempt (suitability, pieces, fallback, zone order) and the memory it gives back. Expected pictures come
// from libjpeg itself (its own YCbCr decode) and from djpeg, in the same run.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <jerror.h>

#include "platform/drivers/jpeg/jpeg_driver.h"
#include "platform/drivers/mem/mem_driver.h"
#include "platform/drivers/mmz/mmz_driver.h"
#include "platform/mem/ram.h"
#include "platform/mem/zone.h"
#include "sdk/common/testing/bus_environment.h"
#include "sdk/jpegd/jpegd_ioctl.h"
#include "sdk/jpegd/mk_jpeg_lib.h"
#include "sdk/jpegd/testing/jpeg_lib_testing.h"
#include "sdk/jpegd/testing/jpeg_tools.h"
#include "sdk/sys/mk_mmz.h"

namespace {

using namespace mk::jpegd::testing;
using varnelle::drivers::JpegDriver;
using varnelle::drivers::MmzDriver;

const auto* const kBus = ::testing::AddGlobalTestEnvironment(new mk::testing::BusEnvironment("jpeglib", [] {
    varnelle::drivers::InstallMemDriver();
    varnelle::drivers::InstallMmzDriver();
    varnelle::drivers::InstallJpegDriver();
}));

std::shared_ptr<MmzDriver> Mmz() { return varnelle::dev::Registry::Get<MmzDriver>("/dev/mmz_userdev"); }

// libjpeg's own decode, full resolution, the chroma replicated (no smoothing).
struct Planes {
    uint32_t w = 0, h = 0;
    Bytes y, cb, cr;
};

Planes Reference(const Bytes& jpg) {
    jpeg_decompress_struct c{};
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_decompress(&c);
    jpeg_mem_src(&c, jpg.data(), jpg.size());
    jpeg_read_header(&c, TRUE);
    const bool grey = c.jpeg_color_space == JCS_GRAYSCALE;
    c.out_color_space = grey ? JCS_GRAYSCALE : JCS_YCbCr;
    c.do_fancy_upsampling = FALSE;
    jpeg_start_decompress(&c);
    Planes p;
    p.w = c.output_width;
    p.h = c.output_height;
    std::vector<JSAMPLE> row(static_cast<size_t>(p.w) * c.output_components);
    while (c.output_scanline < c.output_height) {
        JSAMPROW r = row.data();
        jpeg_read_scanlines(&c, &r, 1);
        for (uint32_t x = 0; x < p.w; ++x) {
            p.y.push_back(row[x * c.output_components]);
            if (!grey) {
                p.cb.push_back(row[3 * x + 1]);
                p.cr.push_back(row[3 * x + 2]);
            }
        }
    }
    jpeg_finish_decompress(&c);
    jpeg_destroy_decompress(&c);
    return p;
}

// How the chroma of a line is laid out, written out here from the writers' table.
enum Kind { kLumaOnly, kAltHalf, kEvenPairsHalf, kAltEvery, kPairsHalf, kPairsEvery };

void ExpectWritten(const Planes& p, const Out& out, Kind kind) {
    ASSERT_EQ(Rows(out.luma.data(), out.lumaStride, p.w, p.h), p.y);
    Bytes expect(out.chroma.size(), 0xEE);
    if (kind != kLumaOnly) {
        const bool every = kind == kAltEvery || kind == kPairsEvery;
        const uint32_t even = (p.w + 1) & ~1u;
        for (uint32_t line = 0; line < p.h; line += every ? 1 : 2) {
            uint8_t* row = expect.data() + static_cast<size_t>(every ? line : line / 2) * out.chromaStride;
            auto cr = [&](uint32_t x) { return p.cr[static_cast<size_t>(line) * p.w + std::min(x, p.w - 1)]; };
            auto cb = [&](uint32_t x) { return p.cb[static_cast<size_t>(line) * p.w + std::min(x, p.w - 1)]; };
            if (kind == kAltHalf || kind == kAltEvery) {
                for (uint32_t x = 0; x < even; ++x) row[x] = x % 2 == 0 ? cr(x) : cb(x);
            } else if (kind == kEvenPairsHalf) {
                for (uint32_t x = 0; x < even; x += 2) {
                    row[x] = cr(x);
                    row[x + 1] = cb(x);
                }
            } else {
                for (uint32_t x = 0; x < p.w; ++x) {
                    row[2 * x] = cr(x);
                    row[2 * x + 1] = cb(x);
                }
            }
        }
    }
    EXPECT_EQ(out.chroma, expect);
}

class JpegLibTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_jpeg = JpegDriver::Get();
        m_jpeg->Reset();
        Mmz()->ClearFaults();
        Mmz()->ResetCounters();
    }
    void TearDown() override {
        m_jpeg->Reset();
        Mmz()->ClearFaults();
    }
    std::shared_ptr<JpegDriver> m_jpeg;
};

// ---- The YUV writers ----

struct WriterCase {
    const char* picture;  // cjpeg options; "grey" for a PGM
    int space;
    bool flagA;
    int error;  // 0, or the message code
    Kind kind;
};

// The writers are the software decoder's: the hardware is made to fail.
class JpegWriterTest : public JpegLibTest, public ::testing::WithParamInterface<WriterCase> {
protected:
    void SetUp() override {
        JpegLibTest::SetUp();
        m_jpeg->SetDefaultAnswer(JPEG_WAIT_ERROR);
    }
};

TEST_P(JpegWriterTest, WritesLumaAndChromaAsTheTableSays) {
    const WriterCase& wc = GetParam();
    const bool grey = std::string(wc.picture) == "grey";
    const Bytes jpg = grey ? Cjpeg(Pgm(33, 17), "") : Cjpeg(Ppm(33, 17, 5), wc.picture);
    Out out;
    const int ret = DecodeYuv(jpg, wc.space, wc.flagA, &out);
    ASSERT_EQ(ret, wc.error);
    if (wc.error == 0) ExpectWritten(Reference(jpg), out, wc.kind);
}

INSTANTIATE_TEST_SUITE_P(
    SpacesAndFormats, JpegWriterTest,
    ::testing::Values(WriterCase{"grey", 14, false, 0, kLumaOnly}, WriterCase{"-sample 2x2", 14, false, 27, kLumaOnly},
                      WriterCase{"-sample 1x1", 15, false, 0, kAltHalf}, WriterCase{"-sample 1x1", 16, false, 0, kAltEvery},
                      WriterCase{"-sample 1x1", 17, false, 0, kPairsHalf},
                      WriterCase{"-sample 1x1", 18, false, 0, kPairsEvery},
                      WriterCase{"-sample 2x2", 15, false, 0, kAltHalf}, WriterCase{"-sample 2x2", 18, false, 0, kPairsEvery},
                      WriterCase{"grey", 15, false, 27, kLumaOnly},
                      // With the 4:2:0 flag the picture's format chooses.
                      WriterCase{"grey", 15, true, 0, kLumaOnly}, WriterCase{"-sample 2x2", 15, true, 0, kAltHalf},
                      WriterCase{"-sample 2x1", 15, true, 0, kAltHalf}, WriterCase{"-sample 1x2", 18, true, 0, kEvenPairsHalf},
                      WriterCase{"-sample 1x1", 16, true, 0, kEvenPairsHalf},
                      // Spaces the size rules know but no conversion offers.
                      WriterCase{"-sample 2x2", 6, false, 27, kLumaOnly}, WriterCase{"-sample 2x2", 9, false, 27, kLumaOnly},
                      WriterCase{"-sample 2x2", 13, false, 27, kLumaOnly}));

TEST_F(JpegLibTest, ASpaceBeyondTheTableIsRefused) {
    Dec d;
    EXPECT_THROW(mk_jpeg_set_out_color_space(&d.c, 19), JpegFailure);
    EXPECT_THROW(mk_jpeg_set_out_color_space(&d.c, 0), JpegFailure);
    mk_jpeg_set_out_color_space(&d.c, 15);
    EXPECT_EQ(mk_jpeg_out_color_space(&d.c), 15);
    mk_jpeg_set_out_color_space(&d.c, JCS_RGB);
    EXPECT_EQ(mk_jpeg_out_color_space(&d.c), JCS_RGB);
}

TEST_F(JpegLibTest, YuvOutputWithoutADescriptorIsRefusedBeforeAnythingIsWritten) {
    const Bytes jpg = Cjpeg(Ppm(32, 16), "-sample 2x2");
    Dec d;
    mk_jpeg_mem_stream_src(&d.c, jpg.data(), jpg.size());
    mk_jpeg_read_header(&d.c, TRUE);
    mk_jpeg_set_out_color_space(&d.c, 15);
    try {
        mk_jpeg_start_decompress(&d.c);
        FAIL() << "started without anywhere to write";
    } catch (const JpegFailure& f) {
        EXPECT_EQ(f.code, JERR_NOT_COMPILED);
    }
    EXPECT_EQ(m_jpeg->Opens(), 0);
}

// ---- The 4096 rule ----

// A decode to RGB through the wrappers, without smoothing as djpeg -nosmooth. A scaled picture does not
// take the library's merged upsampler: an output descriptor lets the conversion be set up.
Bytes DecodeRgb(const Bytes& jpg, uint32_t* w, uint32_t* h) {
    Dec d;
    mk_jpeg_mem_stream_src(&d.c, jpg.data(), jpg.size());
    mk_jpeg_read_header(&d.c, TRUE);
    d.c.do_fancy_upsampling = FALSE;
    uint8_t unused = 0;
    MK_JPEG_OUTDESC_S desc{};
    desc.apu8VirAddr[0] = &unused;
    MK_JPEG_SetOutDesc(&d.c, &desc);
    mk_jpeg_start_decompress(&d.c);
    *w = d.c.output_width;
    *h = d.c.output_height;
    Bytes rgb(static_cast<size_t>(*w) * *h * 3);
    while (d.c.output_scanline < d.c.output_height) {
        JSAMPROW r = rgb.data() + static_cast<size_t>(d.c.output_scanline) * *w * 3;
        mk_jpeg_read_scanlines(&d.c, &r, 1);
    }
    mk_jpeg_finish_decompress(&d.c);
    return rgb;
}

TEST_F(JpegLibTest, OutputsOf4096OrMoreAreScaledDownAsDjpegScalesThem) {
    m_jpeg->SetDefaultAnswer(JPEG_WAIT_ERROR);  // the library's own scaled decode
    struct Case {
        uint32_t width, outWidth;
        const char* scale;
    };
    for (const Case& k : {Case{5000, 2500, "1/2"}, Case{9000, 2250, "1/4"}, Case{17000, 4250, "1/4"},
                          Case{4095, 4095, "1/1"}}) {
        SCOPED_TRACE(k.width);
        const Bytes jpg = Cjpeg(Ppm(k.width, 16), "-sample 2x2");
        uint32_t w = 0, h = 0;
        const Bytes rgb = DecodeRgb(jpg, &w, &h);
        EXPECT_EQ(w, k.outWidth);
        uint32_t dw = 0, dh = 0;
        EXPECT_EQ(rgb, Djpeg(jpg, std::string("-nosmooth -scale ") + k.scale, &dw, &dh));
        EXPECT_EQ(dw, w);
        EXPECT_EQ(dh, h);
    }
    // The YUV outputs keep their size.
    Out out;
    ASSERT_EQ(DecodeYuv(Cjpeg(Ppm(5000, 16), "-sample 2x2"), 15, true, &out), 0);
    EXPECT_EQ(out.w, 5000u);
}

TEST_F(JpegLibTest, SoftwareRgbNeedsTheMergedUpsamplerOrADescriptor) {
    m_jpeg->SetDefaultAnswer(JPEG_WAIT_ERROR);
    const Bytes jpg420 = Cjpeg(Ppm(32, 16), "-sample 2x2");
    const Bytes jpg444 = Cjpeg(Ppm(32, 16), "-sample 1x1");
    auto start = [](const Bytes& jpg, bool smooth, bool desc) {
        Dec d;
        mk_jpeg_mem_stream_src(&d.c, jpg.data(), jpg.size());
        mk_jpeg_read_header(&d.c, TRUE);
        d.c.do_fancy_upsampling = smooth ? TRUE : FALSE;
        Bytes luma(64 * 16);
        MK_JPEG_OUTDESC_S od{};
        od.apu8VirAddr[0] = luma.data();
        if (desc) MK_JPEG_SetOutDesc(&d.c, &od);
        try {
            mk_jpeg_start_decompress(&d.c);
            mk_jpeg_abort(&d.c);
            return 0;
        } catch (const JpegFailure& f) {
            return f.code;
        }
    };
    EXPECT_EQ(start(jpg420, true, false), JERR_NOT_COMPILED);
    EXPECT_EQ(start(jpg420, false, false), 0);
    EXPECT_EQ(start(jpg444, false, false), JERR_NOT_COMPILED);
    EXPECT_EQ(start(jpg420, true, true), 0);
}

// ---- Colour formats recorded from the header ----

Bytes FourComponents(J_COLOR_SPACE jpegSpace, bool adobe) {
    return Compress(16, 16, 4, JCS_CMYK, Bytes(16 * 16 * 4, 100), [&](jpeg_compress_struct& c) {
        jpeg_set_colorspace(&c, jpegSpace);
        c.write_Adobe_marker = adobe ? TRUE : FALSE;
    });
}

MK_U32 FormatOf(const Bytes& jpg) {
    Dec d;
    mk_jpeg_mem_stream_src(&d.c, jpg.data(), jpg.size());
    mk_jpeg_read_header(&d.c, TRUE);
    MK_JPEG_IMAGEINFO_S info{};
    JPEG_HDEC_GetImageInfo(&d.c, &info);
    return info.au32Word[MK_JPEG_INFO_FORMAT];
}

TEST_F(JpegLibTest, ColourFormatsFollowComponentsSamplingAndTheAdobeMarker) {
    EXPECT_EQ(FormatOf(Cjpeg(Pgm(16, 16), "")), 0u);
    EXPECT_EQ(FormatOf(Cjpeg(Ppm(16, 16), "-sample 2x2")), 1u);
    EXPECT_EQ(FormatOf(Cjpeg(Ppm(16, 16), "-sample 2x1")), 2u);
    EXPECT_EQ(FormatOf(Cjpeg(Ppm(16, 16), "-sample 1x2")), 3u);
    EXPECT_EQ(FormatOf(Cjpeg(Ppm(16, 16), "-sample 1x1")), 4u);
    EXPECT_EQ(FormatOf(Cjpeg(Ppm(16, 16), "-sample 2x2,2x1,1x1")), 7u);
    EXPECT_EQ(FormatOf(FourComponents(JCS_CMYK, false)), 6u) << "no Adobe marker";
    EXPECT_EQ(FormatOf(FourComponents(JCS_CMYK, true)), 6u) << "Adobe transform 0";
    EXPECT_EQ(FormatOf(FourComponents(JCS_YCCK, true)), 5u) << "Adobe transform 2";
}

// ---- Data sources ----

TEST_F(JpegLibTest, AnEmptyStreamIsError42AndAMissingEndOfImageIsNoError) {
    Dec d;
    EXPECT_THROW(mk_jpeg_mem_stream_src(&d.c, nullptr, 10), JpegFailure);
    const uint8_t byte = 0xFF;
    try {
        mk_jpeg_mem_stream_src(&d.c, &byte, 0);
        FAIL();
    } catch (const JpegFailure& f) {
        EXPECT_EQ(f.code, JERR_INPUT_EMPTY);
    }
    const std::string empty = PathOf("empty.jpg");
    WriteFile(empty, {});
    FILE* f = std::fopen(empty.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    mk_jpeg_stdio_src(&d.c, f);
    try {
        mk_jpeg_read_header(&d.c, TRUE);
        FAIL();
    } catch (const JpegFailure& e) {
        EXPECT_EQ(e.code, JERR_INPUT_EMPTY);
    }
    std::fclose(f);

    const Bytes jpg = Cjpeg(Ppm(48, 32), "-sample 2x2");
    ASSERT_EQ(jpg[jpg.size() - 2], 0xFF);
    ASSERT_EQ(jpg[jpg.size() - 1], 0xD9);
    const Bytes cut(jpg.begin(), jpg.end() - 2);
    Out whole, noEoi;
    Dec a;
    ASSERT_EQ(DecodeYuv(a, jpg, 15, true, &whole), 0);
    Dec b;
    ASSERT_EQ(DecodeYuv(b, cut, 15, true, &noEoi), 0);
    EXPECT_EQ(b.err.num_warnings, 0);
    EXPECT_EQ(noEoi.luma, whole.luma);
    EXPECT_EQ(noEoi.chroma, whole.chroma);
}

TEST_F(JpegLibTest, AStreamInTwoPartsDecodesAsInOne) {
    const Bytes jpg = Cjpeg(NoisePpm(120, 80), "-sample 2x2 -quality 95");
    ASSERT_GT(jpg.size(), 12000u);
    Out whole;
    ASSERT_EQ(DecodeYuv(jpg, 15, true, &whole), 0);
    // Boundaries inside the header, off and on the 4096-byte refill.
    for (size_t cut : {size_t{100}, size_t{4096}, size_t{5000}, size_t{8192 + 17}, jpg.size() - 1}) {
        SCOPED_TRACE(cut);
        const Bytes first(jpg.begin(), jpg.begin() + static_cast<long>(cut));
        const Bytes second(jpg.begin() + static_cast<long>(cut), jpg.end());
        Dec d;
        Out out;
        try {
            ASSERT_EQ(MK_JPEG_SetBufInfo(&d.c, 0x40000000u, 1u << 20, second.data(), static_cast<MK_U32>(second.size()),
                                         MK_TRUE),
                      MK_SUCCESS);
            mk_jpeg_mem_stream_src(&d.c, first.data(), first.size());
            mk_jpeg_read_header(&d.c, TRUE);
            mk_jpeg_set_out_color_space(&d.c, 15);
            JPEG_HDEC_SetFlagA(&d.c, MK_TRUE);
            out.Make(d.c.image_width, d.c.image_height);
            const MK_JPEG_OUTDESC_S desc = out.Desc();
            MK_JPEG_SetOutDesc(&d.c, &desc);
            mk_jpeg_start_decompress(&d.c);
            while (d.c.output_scanline < d.c.output_height) mk_jpeg_read_scanlines(&d.c, nullptr, 1);
            mk_jpeg_finish_decompress(&d.c);
        } catch (const JpegFailure& f) {
            FAIL() << "message " << f.code;
        }
        EXPECT_EQ(out.luma, whole.luma);
        EXPECT_EQ(out.chroma, whole.chroma);
    }
}

// ---- The hardware attempt ----

// Whether a decode opened the decoder (its open request), and the picture it gave.
int Opens(JpegDriver& drv, const Bytes& jpg, int space = 15, bool flagA = true, Setup setup = nullptr) {
    drv.Reset();
    Out out;
    EXPECT_EQ(DecodeYuv(jpg, space, flagA, &out, setup), 0);
    return drv.Opens();
}

// A picture whose components take the Huffman tables of each other's slots.
Bytes SwapHuffmanSlots(Bytes jpg) {
    size_t pos = 2;
    while (pos + 4 <= jpg.size() && jpg[pos] == 0xFF) {
        const uint8_t marker = jpg[pos + 1];
        const size_t len = static_cast<size_t>(jpg[pos + 2]) << 8 | jpg[pos + 3];
        if (marker == 0xC4) {
            for (size_t t = pos + 4; t < pos + 2 + len;) {
                jpg[t] ^= 0x01;  // table 0 <-> 1 of its class
                size_t n = 0;
                for (int i = 1; i <= 16; ++i) n += jpg[t + i];
                t += 17 + n;
            }
        } else if (marker == 0xDA) {
            const uint8_t ns = jpg[pos + 4];
            for (uint8_t i = 0; i < ns; ++i) jpg[pos + 6 + 2 * i] ^= 0x11;
            break;
        }
        pos += 2 + len;
    }
    return jpg;
}

// A picture with one more DC table, in slot 2, that no component uses.
Bytes WithThirdTable(const Bytes& jpg) {
    // DC table 2: the standard luminance DC table.
    const uint8_t dht[] = {0xFF, 0xC4, 0x00, 0x1F, 0x02, 0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0,
                           0,    1,    2,    3,    4,    5, 6, 7, 8, 9, 10, 11};
    Bytes out(jpg.begin(), jpg.begin() + 2);
    out.insert(out.end(), std::begin(dht), std::end(dht));
    out.insert(out.end(), jpg.begin() + 2, jpg.end());
    return out;
}

// A picture whose chroma AC table has 200 symbols, all codes of eight bits.
Bytes WithLongAcTable() {
    return Compress(64, 32, 3, JCS_RGB, PnmPixels(Ppm(64, 32)), [](jpeg_compress_struct& c) {
        JHUFF_TBL* t = c.ac_huff_tbl_ptrs[1];
        std::memset(t->bits, 0, sizeof(t->bits));
        t->bits[8] = 200;
        // Every baseline AC symbol (run 0-15, size 1-10, EOB, ZRL), then 38 that no picture uses.
        int n = 0;
        t->huffval[n++] = 0x00;
        t->huffval[n++] = 0xF0;
        for (int run = 0; run < 16; ++run) {
            for (int size = 1; size <= 10; ++size) t->huffval[n++] = static_cast<UINT8>(run << 4 | size);
        }
        for (int run = 0; n < 200; ++run) {
            for (int size = 11; size <= 15 && n < 200; ++size) t->huffval[n++] = static_cast<UINT8>(run << 4 | size);
        }
    });
}

TEST_F(JpegLibTest, OnlyPicturesTheRegistersCanCarryGoToTheHardware) {
    JpegDriver& drv = *m_jpeg;
    EXPECT_EQ(Opens(drv, Cjpeg(Pgm(8096, 16), "")), 1);
    EXPECT_EQ(Opens(drv, Cjpeg(Pgm(8097, 16), "")), 0);
    EXPECT_EQ(Opens(drv, Cjpeg(Pgm(16, 8096), "")), 1);
    EXPECT_EQ(Opens(drv, Cjpeg(Pgm(16, 8097), "")), 0);
    const Bytes base = Cjpeg(Ppm(64, 32), "-sample 2x2");
    EXPECT_EQ(Opens(drv, base), 1);
    EXPECT_EQ(Opens(drv, Cjpeg(Ppm(64, 32), "-progressive")), 0);
    EXPECT_EQ(Opens(drv, Cjpeg(Ppm(64, 32), "-arithmetic")), 0);
    // Quality 5 without -baseline gives quantisers above 255: 16-bit tables.
    const Bytes q5 = Cjpeg(Ppm(64, 32), "-quality 5");
    {
        Dec d;
        mk_jpeg_mem_stream_src(&d.c, q5.data(), q5.size());
        mk_jpeg_read_header(&d.c, TRUE);
        ASSERT_GT(d.c.quant_tbl_ptrs[0]->quantval[63], 255);
    }
    EXPECT_EQ(Opens(drv, q5), 0);
    // The 4:2:0 flag takes no 1/8 scale; 1/4 is taken.
    EXPECT_EQ(Opens(drv, base, 15, true, [](Dec& d) { d.c.scale_denom = 8; }), 0);
    EXPECT_EQ(Opens(drv, base, 15, true, [](Dec& d) { d.c.scale_denom = 4; }), 1);
    EXPECT_EQ(Opens(drv, base, 15, false, [](Dec& d) { d.c.scale_denom = 8; }), 1);
    // One component per scan: the hardware takes one interleaved scan.
    const std::string scans = PathOf("scans.txt");
    WriteFile(scans, Bytes{'0', ';', '\n', '1', ';', '\n', '2', ';', '\n'});
    EXPECT_EQ(Opens(drv, Cjpeg(Ppm(64, 32), "-scans " + scans)), 0);
    // Quantisers only in slot 1: the hardware would take the standard ones for slot 0.
    EXPECT_EQ(Opens(drv, Cjpeg(Ppm(64, 32), "-qslots 1,1,1")), 0);
    // Tables the registers would carry wrongly: swapped slots, a third table, more than 176 AC symbols.
    const Bytes swapped = SwapHuffmanSlots(base);
    EXPECT_EQ(Opens(drv, swapped), 0);
    EXPECT_EQ(Opens(drv, WithThirdTable(base)), 0);
    const Bytes longAc = WithLongAcTable();
    EXPECT_EQ(Opens(drv, longAc), 0);
    // All of them still decode right in software.
    for (const Bytes* jpg : {&swapped, &longAc}) {
        Out out;
        ASSERT_EQ(DecodeYuv(*jpg, 15, true, &out), 0);
        EXPECT_EQ(Rows(out.luma.data(), out.lumaStride, out.w, out.h), Djpeg(*jpg, "-grayscale"));
    }
}

TEST_F(JpegLibTest, AHardwareDecodeLeavesTheLinesToBeCounted) {
    const Bytes jpg = Cjpeg(Ppm(64, 32), "-sample 2x2");
    m_jpeg->SetWaitScript({JPEG_WAIT_DONE});
    Dec d;
    Out out;
    // Straight into the caller's buffers: nothing is copied after the decode.
    ASSERT_EQ(DecodeYuv(d, jpg, 15, true, &out, [](Dec& dec) { dec.h()->stOutDesc.bDirect = MK_TRUE; }), 0);
    EXPECT_EQ(m_jpeg->Opens(), 1);
    EXPECT_EQ(m_jpeg->Closes(), 1) << "finish gives the device back";
    EXPECT_EQ(out.luma, Bytes(out.luma.size(), 0xEE)) << "the software decoder never ran";
    EXPECT_EQ(out.chroma, Bytes(out.chroma.size(), 0xEE));
    EXPECT_EQ(d.c.global_state, 200) << "the object is ready for the next picture";
}

// The middle buffer is at least two lines and columns and whole chroma pairs: only the picture's own
// lines and pairs reach the caller, as the software decoder writes them (odd sizes, a single line or
// column); the rows and columns after them keep their guard value.
TEST_F(JpegLibTest, AHardwareDecodeThroughTheMiddleBufferCopiesOnlyThePicturesLines) {
    struct Case {
        uint32_t w, h;
        const char* sampling;
        uint32_t sx, sy;  // chroma subsampling
    };
    for (const Case& k : {Case{33, 17, "2x2", 2, 2}, Case{24, 1, "2x1", 2, 1}, Case{1, 1, "1x1", 1, 1},
                          Case{5, 1, "1x2", 1, 2}, Case{1, 3, "1x1", 1, 1}}) {
        SCOPED_TRACE(std::to_string(k.w) + "x" + std::to_string(k.h) + " " + k.sampling);
        m_jpeg->Reset();
        m_jpeg->SetWaitScript({JPEG_WAIT_DONE});
        Dec d;
        Out out;
        out.guardRows = 2;
        ASSERT_EQ(DecodeYuv(d, Cjpeg(Ppm(k.w, k.h), std::string("-sample ") + k.sampling), 15, false, &out), 0);
        EXPECT_EQ(m_jpeg->Opens(), 1);
        const uint32_t chromaRows = (k.h + k.sy - 1) / k.sy, chromaBytes = 2 * ((k.w + k.sx - 1) / k.sx);
        for (uint32_t row = 0; row < k.h + out.guardRows; ++row) {
            const uint8_t* r = out.luma.data() + static_cast<size_t>(row) * out.lumaStride;
            const uint32_t from = row < k.h ? k.w : 0;
            EXPECT_EQ(Bytes(r + from, r + out.lumaStride), Bytes(out.lumaStride - from, 0xEE)) << "luma " << row;
            const uint8_t* c = out.chroma.data() + static_cast<size_t>(row) * out.chromaStride;
            const uint32_t cFrom = row < chromaRows ? chromaBytes : 0;
            EXPECT_EQ(Bytes(c + cFrom, c + out.chromaStride), Bytes(out.chromaStride - cFrom, 0xEE)) << "chroma " << row;
        }
    }
}

// ---- What the hardware writes, output space by output space ----

// The next picture of the object's source decoded through the wrappers into rows of output_components
// bytes a pixel, with the library's smoothing on or off; empty when it failed, with the fatal error's
// message code in `error` (0 when none).
Bytes DecodeNext(Dec& d, int space, bool smooth, Setup setup = nullptr, int* error = nullptr) {
    if (error != nullptr) *error = 0;
    try {
        mk_jpeg_read_header(&d.c, TRUE);
        mk_jpeg_set_out_color_space(&d.c, space);
        d.c.do_fancy_upsampling = smooth ? TRUE : FALSE;
        if (setup != nullptr) setup(d);
        // A source that suspended is asked again, as the library's callers do (the tests' suspend once).
        for (int tries = 0; !mk_jpeg_start_decompress(&d.c); ++tries) {
            if (tries == 4) throw JpegFailure{0};
        }
        const size_t row = static_cast<size_t>(d.c.output_width) * d.c.output_components;
        Bytes out(row * d.c.output_height);
        while (d.c.output_scanline < d.c.output_height) {
            JSAMPROW r = out.data() + d.c.output_scanline * row;
            mk_jpeg_read_scanlines(&d.c, &r, 1);
        }
        while (!mk_jpeg_finish_decompress(&d.c)) {
        }
        return out;
    } catch (const JpegFailure& f) {
        mk_jpeg_abort(&d.c);
        if (error != nullptr) *error = f.code;
        return {};
    }
}

Bytes DecodeTo(const Bytes& jpg, int space, bool smooth, Setup setup = nullptr) {
    Dec d;
    mk_jpeg_mem_stream_src(&d.c, jpg.data(), jpg.size());
    return DecodeNext(d, space, smooth, setup);
}

// The packed spaces from R, G, B pixels: each space's pixel as a little-endian word.
Bytes Packed(const Bytes& rgb, int space) {
    Bytes out;
    for (size_t i = 0; i + 2 < rgb.size(); i += 3) {
        const uint32_t r = rgb[i], g = rgb[i + 1], b = rgb[i + 2];
        uint32_t word = 0, bytes = 2;
        switch (space) {
            case JCS_RGB: case MK_JCS_BGR888: word = r | g << 8 | b << 16, bytes = 3; break;
            case MK_JCS_RGB888: word = b | g << 8 | r << 16, bytes = 3; break;
            case MK_JCS_ARGB8888: word = 0xFF000000u | r << 16 | g << 8 | b, bytes = 4; break;
            case MK_JCS_ABGR8888: word = 0xFF000000u | b << 16 | g << 8 | r, bytes = 4; break;
            case MK_JCS_ARGB1555: word = 0x8000u | (r >> 3) << 10 | (g >> 3) << 5 | b >> 3; break;
            case MK_JCS_ABGR1555: word = 0x8000u | (b >> 3) << 10 | (g >> 3) << 5 | r >> 3; break;
            case MK_JCS_RGB565: word = (r >> 3) << 11 | (g >> 2) << 5 | b >> 3; break;
            case MK_JCS_BGR565: word = (b >> 3) << 11 | (g >> 2) << 5 | r >> 3; break;
        }
        for (uint32_t k = 0; k < bytes; ++k) out.push_back(static_cast<uint8_t>(word >> (8 * k)));
    }
    return out;
}

// Each sampling and grey, odd sizes: the chroma's last column and row stand alone.
Bytes SampledPicture(const char* sampling) {
    return std::string(sampling) == "grey" ? Cjpeg(Pgm(61, 37), "") : Cjpeg(Ppm(61, 37, 3), std::string("-sample ") + sampling);
}
const char* const kSamplings[] = {"2x2", "2x1", "1x2", "1x1", "grey"};

TEST_F(JpegLibTest, TheHardwareWritesEveryPackedSpaceAsDjpegDecodes) {
    const int kSpaces[] = {JCS_RGB, 6, 7, 8, 9, 10, 11, 12, 13};
    for (const char* sampling : kSamplings) {
        const Bytes jpg = SampledPicture(sampling);
        for (bool smooth : {true, false}) {
            SCOPED_TRACE(std::string(sampling) + (smooth ? " smooth" : " nosmooth"));
            const std::string options = smooth ? "-rgb" : "-rgb -nosmooth";
            const Bytes rgb = Djpeg(jpg, options);
            for (int space : kSpaces) {
                SCOPED_TRACE(space);
                m_jpeg->Reset();
                EXPECT_EQ(DecodeTo(jpg, space, smooth), Packed(rgb, space));
                EXPECT_EQ(m_jpeg->Decoded(), 1);
            }
        }
    }
}

TEST_F(JpegLibTest, TheHardwareWritesTheYuvSpacesAtThePicturesOwnSampling) {
    for (const char* sampling : kSamplings) {
        const Bytes jpg = SampledPicture(sampling);
        const Bytes luma = Djpeg(jpg, "-grayscale");
        const Planes p = Reference(jpg);
        const bool grey = std::string(sampling) == "grey";
        // Chroma subsampling of the picture, and of the 4:2:0 flag.
        const uint32_t sx = sampling[0] == '2' ? 2 : 1, sy = sampling[2] == '2' ? 2 : 1;
        struct Case {
            int space;
            bool flagA;
            uint32_t sx, sy;
        };
        for (const Case& k : {Case{14, false, sx, sy}, Case{15, false, sx, sy}, Case{18, false, sx, sy},
                              Case{15, true, 2, 2}}) {
            SCOPED_TRACE(std::string(sampling) + " space " + std::to_string(k.space) + (k.flagA ? " 420" : ""));
            m_jpeg->Reset();
            Out out;
            ASSERT_EQ(DecodeYuv(jpg, k.space, k.flagA, &out), 0);
            EXPECT_EQ(m_jpeg->Decoded(), 1);
            EXPECT_EQ(Rows(out.luma.data(), out.lumaStride, out.w, out.h), luma);
            if (grey) continue;
            const uint32_t cw = (p.w + k.sx - 1) / k.sx, ch = (p.h + k.sy - 1) / k.sy;
            Bytes expect, got = Rows(out.chroma.data(), out.chromaStride, 2 * cw, ch);
            for (uint32_t y = 0; y < ch; ++y) {
                for (uint32_t x = 0; x < cw; ++x) {
                    const size_t at = static_cast<size_t>(y * k.sy) * p.w + x * k.sx;
                    expect.insert(expect.end(), {p.cr[at], p.cb[at]});
                }
            }
            EXPECT_EQ(got, expect);
        }
    }
}

TEST_F(JpegLibTest, TheHardwareLeavesGreyAndYcbcrToSoftwareAndRefusesCmyk) {
    const Bytes jpg = SampledPicture("2x2");
    for (int space : {JCS_GRAYSCALE, JCS_YCbCr, JCS_CMYK, JCS_YCCK}) {
        SCOPED_TRACE(space);
        m_jpeg->Reset();
        // A descriptor lets the library set up its conversion without the merged upsampler.
        const Bytes out = DecodeTo(jpg, space, false, [](Dec& d) {
            static uint8_t unused;
            MK_JPEG_OUTDESC_S desc{};
            desc.apu8VirAddr[0] = &unused;
            MK_JPEG_SetOutDesc(&d.c, &desc);
        });
        EXPECT_EQ(m_jpeg->Opens(), 0);
        // The library's own conversions, and none from YCbCr to CMYK or YCCK.
        EXPECT_EQ(out.empty(), space == JCS_CMYK || space == JCS_YCCK);
    }
}

TEST_F(JpegLibTest, TheHardwareWritesStraightIntoTheCallersBufferAndCrops) {
    const Bytes jpg = SampledPicture("2x2");
    uint32_t w = 0, h = 0;
    const Bytes rgb = Djpeg(jpg, "-rgb", &w, &h);
    // Straight into the descriptor's first component, at its stride: the lines are only counted.
    static Bytes direct;
    direct.assign(200 * h, 0xEE);
    const Bytes rows = DecodeTo(jpg, JCS_RGB, true, [](Dec& d) {
        MK_JPEG_OUTDESC_S desc{};
        desc.apu8VirAddr[0] = direct.data();
        desc.au32Stride[0] = 200;
        desc.bDirect = MK_TRUE;
        MK_JPEG_SetOutDesc(&d.c, &desc);
    });
    EXPECT_EQ(m_jpeg->Decoded(), 1);
    EXPECT_EQ(Rows(direct.data(), 200, 3 * w, h), rgb);
    EXPECT_EQ(rows, Bytes(rows.size(), 0)) << "the caller's rows were not written";
    // A crop rectangle: its lines only, cut from the whole picture.
    m_jpeg->Reset();
    const Bytes crop = DecodeTo(jpg, JCS_RGB, true, [](Dec& d) {
        MK_JPEG_OUTDESC_S desc{};
        desc.bCrop = MK_TRUE;
        desc.s32CropX = 5;
        desc.s32CropY = 3;
        desc.s32CropWidth = 20;
        desc.s32CropHeight = 11;
        MK_JPEG_SetOutDesc(&d.c, &desc);
    });
    EXPECT_EQ(m_jpeg->Decoded(), 1);
    EXPECT_EQ(crop, Rows(rgb.data() + (3 * w) * 3 + 3 * 5, 3 * w, 3 * 20, 11));
}

TEST_F(JpegLibTest, AScaledHardwareDecodeIsCloseToDjpegs) {
    // 4096 or more across: the library's rule scales to 1/2, and the hardware decodes at that scale.
    const Bytes jpg = Cjpeg(Ppm(5000, 32), "-sample 2x2");
    uint32_t w = 0, h = 0;
    const Bytes rgb = Djpeg(jpg, "-rgb -scale 1/2", &w, &h);
    ASSERT_EQ(w, 2500u);
    const Bytes out = DecodeTo(jpg, JCS_RGB, true);
    EXPECT_EQ(m_jpeg->Decoded(), 1);
    ASSERT_EQ(out.size(), rgb.size());
    // The library decodes the chroma at the full scaled size; the hardware at half of it, upsampled.
    EXPECT_GE(Psnr(out, rgb), 35.0);
}

// Pictures whose Huffman tables were made for them, some with restart markers: the block rebuilds each
// table from the registers and decodes as djpeg does.
TEST_F(JpegLibTest, PicturesWithTheirOwnHuffmanTablesDecodeInTheHardwareAsDjpegDoes) {
    const Bytes colour = Ppm(61, 37, 5), noise = NoisePpm(64, 48, 3);
    const struct {
        const char* what;
        Bytes jpg;
    } cases[] = {
        {"cjpeg 2x2", Cjpeg(colour, "-optimize -sample 2x2")},
        {"cjpeg 1x2", Cjpeg(colour, "-optimize -sample 1x2")},
        {"cjpeg grey", Cjpeg(Pgm(61, 37), "-optimize")},
        {"cjpeg flat, tables of a symbol or two", Cjpeg(Ppm(8, 8), "-optimize -quality 10 -baseline")},
        {"cjpeg noise 1x1", Cjpeg(noise, "-optimize -quality 98 -sample 1x1")},
        {"ffmpeg", FfmpegJpeg(colour, "-pix_fmt yuvj420p")},
        {"ffmpeg noise", FfmpegJpeg(noise, "-pix_fmt yuvj420p -q:v 2")},
        {"jpegtran restart 1", Jpegtran(Cjpeg(colour, "-sample 2x1"), "-optimize -restart 1")},
        {"jpegtran noise restart 3B", Jpegtran(Cjpeg(noise, "-sample 2x2"), "-optimize -restart 3B")},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.what);
        m_jpeg->Reset();
        Out out;
        ASSERT_EQ(DecodeYuv(k.jpg, 15, false, &out), 0);
        EXPECT_EQ(Rows(out.luma.data(), out.lumaStride, out.w, out.h), Djpeg(k.jpg, "-grayscale"));
        EXPECT_EQ(DecodeTo(k.jpg, JCS_RGB, true), Djpeg(k.jpg, "-rgb"));
        EXPECT_EQ(m_jpeg->Decoded(), 2) << "both by the hardware";
    }
}

// Where a stream's scan header starts.
size_t ScanHeader(const Bytes& jpg) {
    size_t pos = 2;
    while (pos + 4 <= jpg.size() && jpg[pos] == 0xFF && jpg[pos + 1] != 0xDA) pos += 2 + (static_cast<size_t>(jpg[pos + 2]) << 8 | jpg[pos + 3]);
    return pos;
}

// Where a stream's entropy-coded data starts: just after its scan header.
size_t DataStart(const Bytes& jpg) {
    const size_t pos = ScanHeader(jpg);
    return pos + 2 + (static_cast<size_t>(jpg[pos + 2]) << 8 | jpg[pos + 3]);
}

// The stream with the restart markers of its entropy-coded data taken out; its interval stays declared.
Bytes WithoutRestartMarkers(const Bytes& jpg) {
    const size_t pos = ScanHeader(jpg);
    Bytes out(jpg.begin(), jpg.begin() + static_cast<long>(pos));
    for (size_t i = pos; i < jpg.size(); ++i) {
        if (jpg[i] == 0xFF && i + 1 < jpg.size() && jpg[i + 1] >= 0xD0 && jpg[i + 1] <= 0xD7) {
            ++i;
        } else {
            out.push_back(jpg[i]);
        }
    }
    return out;
}

// Read from memory or by physical address, the picture goes to software: the block, which takes the
// interval from where the first marker stands, would decode it as one interval. Restart markers after
// the picture's end marker in the same buffer (of another picture, or trailing bytes) are not its own.
TEST_F(JpegLibTest, AStreamThatLostItsRestartMarkersIsLeftToSoftware) {
    static uint32_t phys = 0;  // the buffer's copy in RAM, for the feed by physical address
    const std::pair<const char*, Bytes> followers[] = {
        {"alone", {}},
        {"a picture with restart markers after it", Cjpeg(Ppm(64, 48, 3), "-sample 2x2 -restart 1")},
        {"a restart marker after its end", {0x00, 0xFF, 0xD0, 0x00}},
    };
    for (const char* options : {"-sample 2x2 -restart 1", "-sample 2x1 -restart 2"}) {
        const Bytes jpg = WithoutRestartMarkers(Cjpeg(Ppm(64, 48, 2), options));
        m_jpeg->Reset();
        m_jpeg->SetDefaultAnswer(JPEG_WAIT_ERROR);
        Dec soft;
        Out want;
        ASSERT_EQ(DecodeYuv(soft, jpg, 15, false, &want), 0);
        EXPECT_GT(soft.err.num_warnings, 0) << "the software decoder warns of the lost markers";
        for (const auto& [after, tail] : followers) {
            SCOPED_TRACE(std::string(options) + ", " + after);
            Bytes buf = jpg;
            buf.insert(buf.end(), tail.begin(), tail.end());
            phys = varnelle::mem::ZoneAllocator::Local().Allocate(static_cast<uint32_t>(buf.size()), "", "restart-test");
            ASSERT_TRUE(varnelle::mem::Ram::Local().Write(phys, buf.data(), buf.size()));
            for (const auto setup : {mk::jpegd::testing::Setup{nullptr}, +[](Dec& d) { JPEG_HDEC_SetStreamBuf(&d.c, phys); }}) {
                m_jpeg->Reset();
                Out out;
                ASSERT_EQ(DecodeYuv(buf, 15, false, &out, setup), 0);
                EXPECT_EQ(m_jpeg->Opens(), 1);
                EXPECT_EQ(m_jpeg->Decoded(), 0) << "left to software, physical: " << (setup != nullptr);
                EXPECT_EQ(out.luma, want.luma);
                EXPECT_EQ(out.chroma, want.chroma);
            }
            varnelle::mem::ZoneAllocator::Local().Free(phys);
        }
    }
}

// A picture that lost its restart markers and its end marker, followed by one that has them: the first
// marker after its data is the next picture's start, not a restart marker of its own. It is left to
// software, which stops there as the library alone does, from memory, by physical address and from a file.
TEST_F(JpegLibTest, APictureThatLostItsMarkersIsNotJudgedByTheNextPicturesMarkers) {
    static uint32_t phys = 0;
    const Bytes a = WithoutRestartMarkers(Cjpeg(Ppm(64, 48, 2), "-sample 2x2 -restart 1"));
    const Bytes b = Cjpeg(Ppm(64, 48, 3), "-sample 2x2 -restart 1");
    Bytes both(a.begin(), a.end() - 2);
    both.insert(both.end(), b.begin(), b.end());
    int want = 0;
    {
        Dec d;
        mk_jpeg_mem_stream_src(&d.c, both.data(), both.size());
        DecodeNext(d, JCS_RGB, false, [](Dec& dec) { dec.h()->bHardEnabled = MK_FALSE; }, &want);
    }
    ASSERT_EQ(want, JERR_SOI_DUPLICATE) << "the library alone ends the picture at the next one's start";
    phys = varnelle::mem::ZoneAllocator::Local().Allocate(static_cast<uint32_t>(both.size()), "", "lost-markers");
    ASSERT_TRUE(varnelle::mem::Ram::Local().Write(phys, both.data(), both.size()));
    const std::string path = PathOf("lost-markers.jpg");
    WriteFile(path, both);
    FILE* f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    const struct {
        const char* what;
        bool file;
        mk::jpegd::testing::Setup setup;
    } sources[] = {
        {"memory", false, nullptr},
        {"physical", false, [](Dec& d) { JPEG_HDEC_SetStreamBuf(&d.c, phys); }},
        {"file", true, nullptr},
    };
    for (const auto& k : sources) {
        SCOPED_TRACE(k.what);
        m_jpeg->Reset();
        Dec d;
        if (k.file) {
            mk_jpeg_stdio_src(&d.c, f);
        } else {
            mk_jpeg_mem_stream_src(&d.c, both.data(), both.size());
        }
        int error = 0;
        DecodeNext(d, JCS_RGB, false, k.setup, &error);
        EXPECT_EQ(error, want);
        EXPECT_EQ(m_jpeg->Decoded(), 0);
    }
    std::fclose(f);
    std::filesystem::remove(path);
    varnelle::mem::ZoneAllocator::Local().Free(phys);
}

// A data source of the caller's own: the stream in chunks of `chunk` bytes, each into the one buffer that
// every refill overwrites, as a reader of a pipe hands them; the end reads as an end-of-image marker. A
// shorter first chunk makes one of them end at `boundary`; with `suspend`, the refill there says once
// that nothing is there yet (FALSE), and gives the rest when asked again.
struct ChunkSource {
    jpeg_source_mgr pub;  // first: the library sees only this
    const Bytes* jpg;
    size_t at = 0, chunk, first;
    size_t suspendAt;  // SIZE_MAX once suspended, or without
    size_t mostAhead = 0;  // the largest look-ahead the decoder held at a refill
    Bytes buf;
    ChunkSource(const Bytes& stream, size_t n, size_t boundary = 0, bool suspend = false)
        : pub{}, jpg(&stream), chunk(n), first(boundary % n), suspendAt(suspend ? boundary : SIZE_MAX),
          buf(std::min(n, stream.size())) {
        pub.init_source = pub.term_source = [](j_decompress_ptr) {};
        pub.fill_input_buffer = [](j_decompress_ptr c) -> boolean {
            static const JOCTET kEoi[2] = {0xFF, JPEG_EOI};
            auto* s = reinterpret_cast<ChunkSource*>(c->src);
            if (const MK_JPEG_HANDLE* h = JPEG_HDEC_Handle(c))
                s->mostAhead = std::max(s->mostAhead, h->uLookAheadSize);
            if (s->at == s->suspendAt) {
                s->suspendAt = SIZE_MAX;
                return FALSE;
            }
            const size_t n =
                std::min(s->at == 0 && s->first != 0 ? s->first : s->chunk, s->jpg->size() - s->at);
            std::memcpy(s->buf.data(), s->jpg->data() + s->at, n);
            s->at += n;
            s->pub.next_input_byte = n != 0 ? s->buf.data() : kEoi;
            s->pub.bytes_in_buffer = n != 0 ? n : 2;
            return TRUE;
        };
        pub.resync_to_restart = jpeg_resync_to_restart;
        // No skip: cjpeg's pictures hold nothing the library skips.
    }
};

// djpeg's pixels, also of a stream it warns about (exit status 2).
Bytes DjpegRgb(const Bytes& jpg) {
    return PnmPixels(Through(jpg, ".jpg", ".pnm", [](const std::string& in, const std::string& out) {
        return "djpeg -rgb -nosmooth -pnm -outfile " + out + " " + in + " || test $? -eq 2";
    }));
}

// Where a stream's first restart marker stands.
size_t FirstRestartMarker(const Bytes& jpg) {
    size_t i = 0;
    while (i + 1 < jpg.size() && !(jpg[i] == 0xFF && (jpg[i + 1] & 0xF8) == 0xD0)) ++i;
    return i;
}

// The hardware takes a picture whose first piece of 0x80000 bytes holds a restart marker, from every
// source; the others go to software. A source of the caller's own cannot be wound back, so with it this
// is found before the decoder takes anything, and whichever decoder goes on reads the same bytes.
TEST_F(JpegLibTest, RestartPicturesDecodeAsDjpegFromEverySource) {
    const Bytes rows = Cjpeg(NoisePpm(256, 64), "-quality 100 -sample 2x2 -restart 1");
    const struct {
        const char* what;
        Bytes jpg;
        bool hardware;
    } pictures[] = {
        {"first marker past the first piece",
         Cjpeg(NoisePpm(1000, 700), "-quality 100 -sample 2x2 -restart 40"), false},
        {"a marker after each MCU row", rows, true},
        {"markers lost", WithoutRestartMarkers(rows), false},
    };
    ASSERT_GT(FirstRestartMarker(pictures[0].jpg), 0x80000u);
    ASSERT_GT(FirstRestartMarker(rows), 4096u) << "the caller's first chunks hold none";
    const std::string path = PathOf("restart.jpg");
    for (const auto& k : pictures) {
        const Bytes want = DjpegRgb(k.jpg);
        WriteFile(path, k.jpg);
        FILE* f = std::fopen(path.c_str(), "rb");
        ASSERT_NE(f, nullptr);
        ChunkSource chunks(k.jpg, 4096), whole(k.jpg, k.jpg.size());
        const std::pair<const char*, std::function<void(j_decompress_ptr)>> sources[] = {
            {"memory", [&](j_decompress_ptr c) { mk_jpeg_mem_stream_src(c, k.jpg.data(), k.jpg.size()); }},
            {"file", [&](j_decompress_ptr c) { mk_jpeg_stdio_src(c, f); }},
            {"4096-byte chunks", [&](j_decompress_ptr c) { c->src = &chunks.pub; }},
            {"one chunk", [&](j_decompress_ptr c) { c->src = &whole.pub; }},
        };
        for (const auto& [name, use] : sources) {
            SCOPED_TRACE(std::string(k.what) + ", " + name);
            m_jpeg->Reset();
            Dec d;
            use(&d.c);
            EXPECT_EQ(DecodeNext(d, JCS_RGB, false), want);
            EXPECT_EQ(m_jpeg->Decoded(), k.hardware ? 1 : 0);
        }
        std::fclose(f);
        std::filesystem::remove(path);
    }
}

// What was read ahead of a picture may hold the start of the next: the source still reads it after the
// picture is finished.
TEST_F(JpegLibTest, ACallersSourceGoesOnWithTheNextPictureAfterWhatWasReadAhead) {
    const std::string options = "-quality 100 -sample 2x2 -restart 1";
    const Bytes first = WithoutRestartMarkers(Cjpeg(NoisePpm(256, 64, 1), options));
    const Bytes second = WithoutRestartMarkers(Cjpeg(NoisePpm(256, 64, 2), options));
    ASSERT_NE(first.size() % 4096, 0u) << "the first picture ends inside a chunk";
    Bytes both = first;
    both.insert(both.end(), second.begin(), second.end());
    ChunkSource chunks(both, 4096);
    Dec d;
    d.c.src = &chunks.pub;
    EXPECT_EQ(DecodeNext(d, JCS_RGB, false), DjpegRgb(first));
    EXPECT_EQ(DecodeNext(d, JCS_RGB, false), DjpegRgb(second));
}

// Two pictures back to back through a caller's source, read with one object and with one object a
// picture: A leaves in the source what follows its end marker, whichever decoder took it and wherever
// what was read ahead of it ended, and both decode as djpeg decodes them. B is read ahead too, from
// where A left the source.
TEST_F(JpegLibTest, ACallersSourceHandsOutPictureAfterPicture) {
    const Bytes plain = Cjpeg(NoisePpm(64, 48, 1), "-quality 90");
    const Bytes rows = Cjpeg(NoisePpm(256, 64), "-quality 100 -sample 2x2 -restart 1");
    const Bytes lost = WithoutRestartMarkers(rows);
    const Bytes lastMcu = Cjpeg(NoisePpm(64, 32), "-quality 100 -sample 2x2 -restart 7B");
    const Bytes late = Cjpeg(NoisePpm(976, 320), "-quality 100 -sample 2x2 -restart 1200B");
    const Bytes b = Cjpeg(NoisePpm(256, 64, 2), "-quality 100 -sample 2x2 -restart 1");
    const size_t inB = 2048;  // of B in A's last fill: its header and the start of its data
    const struct {
        const char* what;
        const Bytes& a;
        size_t chunk, boundary;  // of the caller's fills
        bool hardware;
    } cases[] = {
        {"no restart markers, the end marker split between two fills", plain, 4096, plain.size() - 1, true},
        {"the first restart marker read ahead, the end further on", rows, 4096, rows.size() + inB, true},
        {"the end in the fill of the first restart marker", lastMcu, 4096, FirstRestartMarker(lastMcu), true},
        {"restart markers lost: the end read ahead", lost, 4096, lost.size() + inB, false},
        {"the first restart marker past the first piece, the end read ahead", late, 0x80000,
         late.size() + inB, false},
    };
    ASSERT_GT(FirstRestartMarker(rows), 4096u);
    ASSERT_GT(FirstRestartMarker(b), 4096u);
    ASSERT_LT(lastMcu.size() + inB, FirstRestartMarker(lastMcu) + 4096) << "B starts in the marker's fill";
    ASSERT_GT(FirstRestartMarker(late), 0x80000u + 4096);
    ASSERT_LT(late.size() + inB, 2 * 0x80000u) << "the read-ahead ends in B";
    const Bytes wantB = DjpegRgb(b);
    for (const auto& k : cases) {
        const Bytes wantA = DjpegRgb(k.a);
        Bytes both = k.a;
        both.insert(both.end(), b.begin(), b.end());
        for (const bool objectEach : {false, true}) {
            SCOPED_TRACE(std::string(k.what) + (objectEach ? ", one object a picture" : ", one object"));
            m_jpeg->Reset();
            ChunkSource chunks(both, k.chunk, k.boundary);
            std::optional<Dec> d(std::in_place);
            d->c.src = &chunks.pub;
            EXPECT_EQ(DecodeNext(*d, JCS_RGB, false), wantA);
            if (objectEach) {
                d.emplace();
                d->c.src = &chunks.pub;
            }
            EXPECT_EQ(DecodeNext(*d, JCS_RGB, false), wantB);
            EXPECT_EQ(m_jpeg->Decoded(), k.hardware ? 2 : 1);
        }
    }
}

// The stream without its last `cut` bytes, closed by an end marker: djpeg decodes it with a warning, the
// block refuses it.
Bytes Truncated(const Bytes& jpg, size_t cut) {
    Bytes out(jpg.begin(), jpg.end() - static_cast<long>(cut));
    out.insert(out.end(), {0xFF, JPEG_EOI});
    return out;
}

// An output descriptor lets the library's own RGB decode run without its merged upsampler (1x1 sampling).
void Described(Dec& d) {
    static uint8_t unused;
    MK_JPEG_OUTDESC_S desc{};
    desc.apu8VirAddr[0] = &unused;
    MK_JPEG_SetOutDesc(&d.c, &desc);
}

// A picture the hardware refused once it had taken it from a caller's source goes on in software within
// the same start, read again from its start: the library alone's picture and warnings. The source then
// stands just after its end marker, where B starts, as after a decode; also when the refusal comes at
// the first of several pieces, before the feed reached the end.
TEST_F(JpegLibTest, ACallersSourceGoesOnAfterAPictureTheHardwareRefused) {
    const Bytes b = Cjpeg(NoisePpm(64, 48, 2), "-quality 90");
    const Bytes big = Cjpeg(NoisePpm(640, 480), "-quality 100 -sample 1x1");
    const struct {
        const char* what;
        Bytes a;
        std::vector<uint32_t> answers;  // forced before the block decodes again
    } cases[] = {
        {"16x16", Truncated(Cjpeg(NoisePpm(16, 16), "-quality 90"), 64), {}},
        {"16x16, restart markers", Truncated(Cjpeg(NoisePpm(16, 16), "-quality 90 -sample 1x1 -restart 1B"), 64),
         {}},
        {"1928 wide", Truncated(Cjpeg(Ppm(1928, 32), "-sample 2x2"), 64), {}},
        {"1928 wide, restart markers", Truncated(Cjpeg(Ppm(1928, 32), "-sample 2x2 -restart 1"), 64), {}},
        {"refused at the first piece", big, {JPEG_WAIT_ERROR}},
    };
    ASSERT_GT(big.size(), 0x80000u);
    for (const size_t i : {size_t{1}, size_t{3}}) {
        ASSERT_LT(FirstRestartMarker(cases[i].a), cases[i].a.size() - 2) << "a marker before the cut";
    }
    const Bytes wantB = DjpegRgb(b);
    for (const auto& k : cases) {
        const Bytes wantA = DjpegRgb(k.a);
        Dec alone;
        mk_jpeg_mem_stream_src(&alone.c, k.a.data(), k.a.size());
        const auto aloneSetup = [](Dec& d) {
            Described(d);
            d.h()->bHardEnabled = MK_FALSE;
        };
        ASSERT_EQ(DecodeNext(alone, JCS_RGB, false, aloneSetup), wantA);
        Bytes both = k.a;
        both.insert(both.end(), b.begin(), b.end());
        for (const bool objectEach : {false, true}) {
            SCOPED_TRACE(std::string(k.what) + (objectEach ? ", one object a picture" : ", one object"));
            m_jpeg->Reset();
            m_jpeg->SetWaitScript(k.answers);
            ChunkSource chunks(both, 4096, k.a.size() + 2048);  // B starts in the fill of A's end
            std::optional<Dec> d(std::in_place);
            d->c.src = &chunks.pub;
            EXPECT_EQ(DecodeNext(*d, JCS_RGB, false, Described), wantA);
            EXPECT_EQ(d->err.num_warnings, alone.err.num_warnings);
            EXPECT_EQ(m_jpeg->Opens(), 1);
            if (objectEach) {
                d.emplace();
                d->c.src = &chunks.pub;
            }
            EXPECT_EQ(DecodeNext(*d, JCS_RGB, false), wantB);
            EXPECT_EQ(m_jpeg->Decoded(), 1);
        }
    }
}

// A caller's source that suspends once just before A's end marker, or between its two bytes, then gives
// the rest: the hardware decodes A from what came before, and the finish takes the end marker from the
// source as the library's does, so that B is read from its start.
TEST_F(JpegLibTest, ACallersSourceThatSuspendsAtTheEndMarkerGoesOnWithTheNextPicture) {
    const Bytes plain = Cjpeg(NoisePpm(64, 48, 1), "-quality 90");
    const Bytes rows = Cjpeg(NoisePpm(256, 64), "-quality 100 -sample 2x2 -restart 1");
    const Bytes b = Cjpeg(NoisePpm(64, 48, 2), "-quality 90");
    const Bytes wantB = DjpegRgb(b);
    for (const Bytes* a : {&plain, &rows}) {
        const Bytes wantA = DjpegRgb(*a);
        Bytes both = *a;
        both.insert(both.end(), b.begin(), b.end());
        for (const size_t left : {size_t{2}, size_t{1}}) {  // of the end marker after the suspension
            for (const bool objectEach : {false, true}) {
                SCOPED_TRACE(std::string(a == &rows ? "restart markers, " : "none, ") + std::to_string(left) +
                             " left" + (objectEach ? ", one object a picture" : ", one object"));
                m_jpeg->Reset();
                ChunkSource chunks(both, 4096, a->size() - left, true);
                std::optional<Dec> d(std::in_place);
                d->c.src = &chunks.pub;
                EXPECT_EQ(DecodeNext(*d, JCS_RGB, false), wantA);
                EXPECT_EQ(chunks.suspendAt, SIZE_MAX) << "the source suspended";
                if (objectEach) {
                    d.emplace();
                    d->c.src = &chunks.pub;
                }
                EXPECT_EQ(DecodeNext(*d, JCS_RGB, false), wantB);
                EXPECT_EQ(m_jpeg->Decoded(), 2);
            }
        }
    }
}

// A caller's source that suspends once inside a picture's data, then gives the rest: the suspension is
// not the picture's end. The start says FALSE, and the next start goes on where the feed stopped and
// gives the whole picture to the hardware; B is read from just after A's end.
TEST_F(JpegLibTest, ACallersSourceThatSuspendsInsideThePictureGoesOnWhereItStopped) {
    const Bytes plain = Cjpeg(NoisePpm(64, 48, 1), "-quality 90");
    const Bytes rows = Cjpeg(NoisePpm(256, 64), "-quality 100 -sample 2x2 -restart 1");
    const Bytes b = Cjpeg(NoisePpm(64, 48, 2), "-quality 90");
    auto halfway = [](const Bytes& jpg) { return (DataStart(jpg) + jpg.size()) / 2; };
    const struct {
        const char* what;
        const Bytes& a;
        size_t at;  // where the source suspends
    } cases[] = {
        {"1 byte into the data", plain, DataStart(plain) + 1},
        {"halfway", plain, halfway(plain)},
        {"4 bytes before the end marker", plain, plain.size() - 6},
        {"restart markers, halfway", rows, halfway(rows)},
        {"halfway through B", plain, plain.size() + halfway(b)},
    };
    ASSERT_LT(FirstRestartMarker(rows), halfway(rows)) << "the hardware path takes the picture";
    const Bytes wantB = DjpegRgb(b);
    for (const auto& k : cases) {
        SCOPED_TRACE(k.what);
        m_jpeg->Reset();
        Bytes both = k.a;
        both.insert(both.end(), b.begin(), b.end());
        ChunkSource chunks(both, 4096, k.at, true);
        Dec d;
        d.c.src = &chunks.pub;
        EXPECT_EQ(DecodeNext(d, JCS_RGB, false), DjpegRgb(k.a));
        EXPECT_EQ(DecodeNext(d, JCS_RGB, false), wantB);
        EXPECT_EQ(chunks.suspendAt, SIZE_MAX) << "the source suspended";
        EXPECT_EQ(m_jpeg->Decoded(), 2) << "both by the hardware";
    }
}

// A restart picture through a caller's source that suspends once at any offset of its data, before its
// first restart marker too: the start says FALSE, goes on looking at the next, and the hardware decodes it.
TEST_F(JpegLibTest, ARestartPictureGoesToTheHardwareWhereverItsSourceSuspends) {
    const Bytes a = Cjpeg(NoisePpm(64, 48, 1), "-quality 90 -restart 1");
    const Bytes want = DjpegRgb(a);
    ASSERT_GT(FirstRestartMarker(a), DataStart(a) + 100);
    for (size_t at = DataStart(a); at < a.size() && !HasFailure(); ++at) {
        SCOPED_TRACE(at);
        m_jpeg->Reset();
        ChunkSource chunks(a, 4096, at, true);
        Dec d;
        d.c.src = &chunks.pub;
        EXPECT_EQ(DecodeNext(d, JCS_RGB, false), want);
        EXPECT_EQ(chunks.suspendAt, SIZE_MAX) << "the source suspended";
        EXPECT_EQ(m_jpeg->Decoded(), 1);
    }
}

// A picture that lost its end marker, then more zero bytes than the block takes, through a caller's source
// of 64 KiB fills that gives them all, and one that suspends once inside the data: no more is held than
// the block takes and one fill, and software decodes it on from there as the library alone does.
TEST_F(JpegLibTest, APictureWithNoEndWithinWhatTheBlockTakesIsHeldNoFurther) {
    const Bytes a = Cjpeg(NoisePpm(64, 48, 1), "-quality 90");
    Bytes tailed(a.begin(), a.end() - 2);
    tailed.resize(tailed.size() + JPEG_STREAM_MAX + (1u << 20), 0);
    constexpr size_t kFill = 64 * 1024;
    for (const bool suspend : {false, true}) {
        SCOPED_TRACE(suspend ? "suspends" : "fills");
        const size_t at = suspend ? (DataStart(a) + a.size()) / 2 : 0;
        ChunkSource aloneChunks(tailed, kFill, at, suspend);
        Dec alone;
        alone.c.src = &aloneChunks.pub;
        int aloneError = 0;
        const Bytes want =
            DecodeNext(alone, JCS_RGB, false, [](Dec& d) { d.h()->bHardEnabled = MK_FALSE; }, &aloneError);
        ASSERT_FALSE(want.empty());
        m_jpeg->Reset();
        ChunkSource chunks(tailed, kFill, at, suspend);
        Dec d;
        d.c.src = &chunks.pub;
        int error = 0;
        EXPECT_EQ(DecodeNext(d, JCS_RGB, false, nullptr, &error), want);
        EXPECT_EQ(error, aloneError);
        EXPECT_EQ(d.err.num_warnings, alone.err.num_warnings);
        EXPECT_EQ(d.err.msg_code, alone.err.msg_code);
        EXPECT_EQ(chunks.at, tailed.size()) << "read to the end";
        EXPECT_LE(chunks.mostAhead, JPEG_STREAM_MAX + kFill);
        EXPECT_EQ(m_jpeg->Decoded(), 0);
    }
}

// ---- Modes the hardware does not serve ----

// A program of the library's 6b interface: through the wrappers for what they wrap, or through the
// library alone.
struct Calls {
    void (*src)(j_decompress_ptr, const Bytes&);
    int (*readHeader)(j_decompress_ptr, boolean);
    void (*calc)(j_decompress_ptr);
    boolean (*start)(j_decompress_ptr);
    JDIMENSION (*readScanlines)(j_decompress_ptr, JSAMPARRAY, JDIMENSION);
    int (*consume)(j_decompress_ptr);
    boolean (*finish)(j_decompress_ptr);
    void (*setup)(j_decompress_ptr);  // after the header
};
const Calls kWrappers = {[](j_decompress_ptr c,
                            const Bytes& jpg) { mk_jpeg_mem_stream_src(c, jpg.data(), jpg.size()); },
                         mk_jpeg_read_header, mk_jpeg_calc_output_dimensions, mk_jpeg_start_decompress,
                         mk_jpeg_read_scanlines, mk_jpeg_consume_input, mk_jpeg_finish_decompress,
                         [](j_decompress_ptr c) {
                             // Lets the library convert without its merged upsampler; raw rows need
                             // neither.
                             if (c->raw_data_out) return;
                             static uint8_t unused;
                             MK_JPEG_OUTDESC_S desc{};
                             desc.apu8VirAddr[0] = &unused;
                             MK_JPEG_SetOutDesc(c, &desc);
                         }};
const Calls kLibrary = {[](j_decompress_ptr c, const Bytes& jpg) { jpeg_mem_src(c, jpg.data(), jpg.size()); },
                        jpeg_read_header, jpeg_calc_output_dimensions, jpeg_start_decompress, jpeg_read_scanlines,
                        jpeg_consume_input, jpeg_finish_decompress, [](j_decompress_ptr) {}};

enum class Mode { kPlain, kQuantize, kQuantize2Pass, kBuffered, kRaw };

// What a decode handed out: rows (or raw component rows), the colour map, the fatal error's code.
struct Decoded {
    Bytes pixels, colormap;
    JDIMENSION w = 0, h = 0;
    int error = 0;
    long warnings = 0;
    bool guarded = true;  // nothing was written past the rows sized before the start
    bool operator==(const Decoded&) const = default;
};

// A picture from memory in one mode and at one scale, into rows sized as the library says before the
// start, with guard bytes after them.
Decoded DecodeInMode(j_decompress_ptr c, const Calls& api, const Bytes& jpg, Mode mode, unsigned num,
                     unsigned denom) {
    constexpr size_t kGuard = 1024;
    Decoded out;
    try {
        api.src(c, jpg);
        api.readHeader(c, TRUE);
        c->scale_num = num;
        c->scale_denom = denom;
        // Raw rows keep the library's defaults: they need no upsampler.
        if (mode != Mode::kRaw) c->do_fancy_upsampling = FALSE;
        c->quantize_colors = mode == Mode::kQuantize || mode == Mode::kQuantize2Pass;
        c->desired_number_of_colors = 64;
        c->two_pass_quantize = mode == Mode::kQuantize2Pass;
        c->buffered_image = mode == Mode::kBuffered;
        c->raw_data_out = mode == Mode::kRaw;
        api.setup(c);
        api.calc(c);
        out.w = c->output_width;
        out.h = c->output_height;
        const size_t row = static_cast<size_t>(c->output_width) * c->output_components;
        Bytes rows(row * c->output_height + kGuard, 0xEE);
        if (!api.start(c)) throw JpegFailure{-1};
        if (c->quantize_colors && c->colormap != nullptr) {
            for (int ci = 0; ci < c->out_color_components; ++ci)
                out.colormap.insert(out.colormap.end(), c->colormap[ci], c->colormap[ci] + c->actual_number_of_colors);
        }
        if (mode == Mode::kRaw) {
            // One call takes max_v_samp_factor blocks of rows of every component.
            std::vector<Bytes> planes(c->num_components);
            std::vector<std::vector<JSAMPROW>> ptrs(c->num_components);
            std::vector<JSAMPARRAY> arrays;
            for (int ci = 0; ci < c->num_components; ++ci) {
                const jpeg_component_info& k = c->comp_info[ci];
                const size_t width = static_cast<size_t>(k.width_in_blocks) * DCTSIZE;
                planes[ci].resize(width * k.v_samp_factor * DCTSIZE);
                for (int y = 0; y < k.v_samp_factor * DCTSIZE; ++y) ptrs[ci].push_back(planes[ci].data() + y * width);
                arrays.push_back(ptrs[ci].data());
            }
            while (c->output_scanline < c->output_height) {
                if (jpeg_read_raw_data(c, arrays.data(), c->max_v_samp_factor * DCTSIZE) == 0) throw JpegFailure{-1};
                for (const Bytes& p : planes) out.pixels.insert(out.pixels.end(), p.begin(), p.end());
            }
        } else {
            if (mode == Mode::kBuffered) {
                for (int calls = 0; api.consume(c) != JPEG_REACHED_EOI;) {
                    if (++calls == 100) throw JpegFailure{-2};
                }
                jpeg_start_output(c, c->input_scan_number);
            }
            for (JDIMENSION y = 0; y < out.h && c->output_scanline < c->output_height;) {
                JSAMPROW r = rows.data() + y * row;
                y += api.readScanlines(c, &r, 1);
            }
            if (mode == Mode::kBuffered) jpeg_finish_output(c);
            out.pixels.assign(rows.begin(), rows.end() - kGuard);
            out.guarded = std::all_of(rows.end() - kGuard, rows.end(), [](uint8_t b) { return b == 0xEE; });
        }
        api.finish(c);
    } catch (const JpegFailure& f) {
        out.error = f.code;
        jpeg_abort_decompress(c);
    }
    out.warnings = c->err->num_warnings;
    return out;
}

// Colour indices, coefficients kept for more passes, raw rows and a size the block's scale codes do not
// give are the library's to make; the hardware keeps what it serves.
TEST_F(JpegLibTest, APictureGoesToTheHardwareOnlyWhenItGivesWhatTheLibraryWould) {
    const Bytes jpg = Cjpeg(Ppm(64, 48, 1), "-quality 90 -sample 2x2");
    const struct {
        const char* what;
        Mode mode;
        unsigned num, denom;
        bool hardware;
    } cases[] = {
        {"one-pass quantisation", Mode::kQuantize, 1, 1, false},
        {"two-pass quantisation", Mode::kQuantize2Pass, 1, 1, false},
        {"scale 3/8", Mode::kPlain, 3, 8, false},
        {"scale 1/3", Mode::kPlain, 1, 3, false},
        {"buffered image", Mode::kBuffered, 1, 1, false},
        {"raw data", Mode::kRaw, 1, 1, false},
        {"plain", Mode::kPlain, 1, 1, true},
        {"scale 1/4", Mode::kPlain, 1, 4, true},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.what);
        jpeg_decompress_struct lib{};
        jpeg_error_mgr err;
        lib.err = jpeg_std_error(&err);
        err.error_exit = ThrowFailure;
        err.output_message = Quiet;
        jpeg_create_decompress(&lib);
        const Decoded want = DecodeInMode(&lib, kLibrary, jpg, k.mode, k.num, k.denom);
        jpeg_destroy_decompress(&lib);
        ASSERT_EQ(want.error, 0);
        m_jpeg->Reset();
        Dec d;
        const Decoded got = DecodeInMode(&d.c, kWrappers, jpg, k.mode, k.num, k.denom);
        EXPECT_EQ(m_jpeg->Decoded(), k.hardware ? 1 : 0);
        EXPECT_TRUE(got.guarded);
        if (k.hardware) {
            EXPECT_EQ(got.error, 0);
            EXPECT_EQ(std::pair(got.w, got.h), std::pair(want.w, want.h));
        } else {
            EXPECT_TRUE(got == want) << "error " << got.error << ", " << got.w << "x" << got.h;
        }
    }
}

// A picture of a caller's source whose start said FALSE where the hardware path holds it (the search for
// its first restart marker or the feed suspended), given up on through the library, then the next
// picture of another source read with the same object: as on a fresh object, with nothing left open.
TEST_F(JpegLibTest, APictureGivenUpOnThroughTheLibraryLeavesNothingToTheNext) {
    const Bytes plain = Cjpeg(NoisePpm(64, 48, 1), "-quality 90");
    const Bytes rows = Cjpeg(NoisePpm(64, 48, 2), "-quality 90 -restart 1");
    const struct {
        const char* what;
        const Bytes& a;
        size_t at;  // where its source suspends
    } firsts[] = {
        {"restart picture, in the search", rows, DataStart(rows) + 50},
        {"restart picture, in the feed", rows, FirstRestartMarker(rows) + 50},
        {"plain picture, in the feed", plain, DataStart(plain) + 50},
    };
    ASSERT_GT(FirstRestartMarker(rows), DataStart(rows) + 50);
    ASSERT_LT(FirstRestartMarker(rows) + 50, rows.size() - 2);
    const Bytes next[] = {Cjpeg(NoisePpm(48, 32, 3), "-quality 90 -sample 1x1"),
                          Cjpeg(NoisePpm(64, 48, 4), "-quality 90 -restart 1")};
    const std::pair<const char*, void (*)(j_decompress_ptr)> aborts[] = {
        {"jpeg_abort_decompress", jpeg_abort_decompress},
        {"jpeg_abort", [](j_decompress_ptr c) { jpeg_abort(reinterpret_cast<j_common_ptr>(c)); }},
    };
    const size_t blocks = Mmz()->BlockCount();
    for (const auto& first : firsts) {
        for (const auto& [name, abort] : aborts) {
            for (const Bytes& b : next) {
                for (const bool suspend : {false, true}) {
                    SCOPED_TRACE(std::string(first.what) + ", " + name + (&b == next ? ", plain" : ", restart") +
                                 " next" + (suspend ? ", suspending" : ""));
                    const size_t at = DataStart(b) + 50;
                    m_jpeg->Reset();
                    ChunkSource freshChunks(b, 4096, at, suspend);
                    Dec fresh;
                    fresh.c.src = &freshChunks.pub;
                    int freshError = 0;
                    const Bytes want = DecodeNext(fresh, JCS_RGB, false, nullptr, &freshError);
                    const int freshHardware = m_jpeg->Decoded();

                    m_jpeg->Reset();
                    ChunkSource aChunks(first.a, 4096, first.at, true);
                    Dec d;
                    d.c.src = &aChunks.pub;
                    mk_jpeg_read_header(&d.c, TRUE);
                    mk_jpeg_set_out_color_space(&d.c, JCS_RGB);
                    d.c.do_fancy_upsampling = FALSE;
                    ASSERT_FALSE(mk_jpeg_start_decompress(&d.c));
                    abort(&d.c);
                    EXPECT_EQ(m_jpeg->OpenFiles(), 0);
                    EXPECT_EQ(Mmz()->OpenFiles(), 0);
                    EXPECT_EQ(Mmz()->BlockCount(), blocks);
                    ChunkSource bChunks(b, 4096, at, suspend);
                    d.c.src = &bChunks.pub;
                    int error = 0;
                    EXPECT_EQ(DecodeNext(d, JCS_RGB, false, nullptr, &error), want);
                    EXPECT_EQ(error, freshError);
                    EXPECT_EQ(d.err.num_warnings, fresh.err.num_warnings);
                    EXPECT_EQ(m_jpeg->Decoded(), freshHardware);
                    EXPECT_EQ(bChunks.at, b.size()) << "read to its end";
                }
            }
        }
    }
}

// A scale the block has no code for.
void TwoThirds(Dec& d) {
    d.c.scale_num = 2;
    d.c.scale_denom = 3;
    Described(d);
}

// A restart picture whose search for its first restart marker suspended, then a start that gives up
// before the search goes on, at a scale the block has no code for: software reads the picture from its
// start, as with the hardware off.
TEST_F(JpegLibTest, AStartThatGivesUpAfterASuspendedSearchHandsThePictureBack) {
    const Bytes a = Cjpeg(NoisePpm(64, 48, 1), "-quality 90 -restart 1");
    ChunkSource aloneChunks(a, 4096);
    Dec alone;
    alone.c.src = &aloneChunks.pub;
    const Bytes want = DecodeNext(alone, JCS_RGB, false, [](Dec& d) {
        d.h()->bHardEnabled = MK_FALSE;
        TwoThirds(d);
    });
    ASSERT_FALSE(want.empty());
    ChunkSource chunks(a, 4096, DataStart(a) + 50, true);
    Dec d;
    d.c.src = &chunks.pub;
    mk_jpeg_read_header(&d.c, TRUE);
    mk_jpeg_set_out_color_space(&d.c, JCS_RGB);
    d.c.do_fancy_upsampling = FALSE;
    ASSERT_FALSE(mk_jpeg_start_decompress(&d.c)) << "the search suspended";
    TwoThirds(d);
    mk_jpeg_calc_output_dimensions(&d.c);
    const size_t row = static_cast<size_t>(d.c.output_width) * d.c.output_components;
    const JDIMENSION lines = d.c.output_height;
    Bytes got(row * lines + 1024, 0xEE);  // guard bytes after the rows
    ASSERT_TRUE(mk_jpeg_start_decompress(&d.c));
    for (JDIMENSION y = 0; y < lines && d.c.output_scanline < d.c.output_height;) {
        JSAMPROW r = got.data() + y * row;
        y += mk_jpeg_read_scanlines(&d.c, &r, 1);
    }
    EXPECT_TRUE(mk_jpeg_finish_decompress(&d.c));
    EXPECT_EQ(got, [&] {
        Bytes w = want;
        w.resize(got.size(), 0xEE);
        return w;
    }());
    EXPECT_EQ(d.err.num_warnings, alone.err.num_warnings);
    EXPECT_EQ(m_jpeg->Decoded(), 0);
}

// The same through a file: the hardware read the file on past A's end, and B is read from where A ends.
TEST_F(JpegLibTest, AFileOfTwoPicturesHandsOutBoth) {
    const Bytes a = Cjpeg(NoisePpm(64, 48, 1), "-quality 90");
    const Bytes b = Cjpeg(NoisePpm(256, 64, 2), "-quality 100 -sample 2x2 -restart 1");
    Bytes both = a;
    both.insert(both.end(), b.begin(), b.end());
    const std::string path = PathOf("two.jpg");
    WriteFile(path, both);
    for (const bool objectEach : {false, true}) {
        SCOPED_TRACE(objectEach ? "one object a picture" : "one object");
        m_jpeg->Reset();
        FILE* f = std::fopen(path.c_str(), "rb");
        ASSERT_NE(f, nullptr);
        std::optional<Dec> d(std::in_place);
        mk_jpeg_stdio_src(&d->c, f);
        EXPECT_EQ(DecodeNext(*d, JCS_RGB, false), DjpegRgb(a));
        if (objectEach) {
            d.emplace();
            mk_jpeg_stdio_src(&d->c, f);
        }
        EXPECT_EQ(DecodeNext(*d, JCS_RGB, false), DjpegRgb(b));
        EXPECT_EQ(m_jpeg->Decoded(), 2);
        d.reset();
        std::fclose(f);
    }
    std::filesystem::remove(path);
}

// An object that goes halfway through a picture it read ahead of leaves the source in the caller's own
// memory, reading on with the stream's own bytes there, all that follows the picture among them.
TEST_F(JpegLibTest, AnObjectGoneHalfwayThroughWhatWasReadAheadLeavesTheSourceInTheCallersMemory) {
    const Bytes a = WithoutRestartMarkers(Cjpeg(NoisePpm(256, 64), "-quality 100 -sample 2x2 -restart 1"));
    Bytes both = a;
    both.resize(a.size() + 4096, 0x5A);
    ChunkSource chunks(both, 4096, a.size() + 2048);
    {
        Dec d;
        d.c.src = &chunks.pub;
        mk_jpeg_read_header(&d.c, TRUE);
        mk_jpeg_set_out_color_space(&d.c, JCS_RGB);
        d.c.do_fancy_upsampling = FALSE;
        mk_jpeg_start_decompress(&d.c);
        Bytes row(static_cast<size_t>(d.c.output_width) * 3);
        JSAMPROW r = row.data();
        ASSERT_EQ(mk_jpeg_read_scanlines(&d.c, &r, 1), 1u);
        EXPECT_EQ(m_jpeg->Decoded(), 0);
    }
    const jpeg_source_mgr& s = chunks.pub;
    const auto at = reinterpret_cast<uintptr_t>(s.next_input_byte);
    const auto buf = reinterpret_cast<uintptr_t>(chunks.buf.data());
    ASSERT_TRUE(at >= buf && at + s.bytes_in_buffer <= buf + chunks.buf.size());
    EXPECT_GE(s.bytes_in_buffer, chunks.at - a.size());
    EXPECT_TRUE(std::equal(s.next_input_byte, s.next_input_byte + s.bytes_in_buffer,
                           both.begin() + static_cast<long>(chunks.at - s.bytes_in_buffer)));
}

// The hardware leaves the object as software does after a whole picture: the next picture read with
// it starts again at scan line 0.
TEST_F(JpegLibTest, OneObjectDecodesPictureAfterPictureInTheHardware) {
    const Bytes pictures[] = {Cjpeg(NoisePpm(64, 48, 1), "-quality 90"), Cjpeg(NoisePpm(64, 48, 2), "-quality 90")};
    Dec d;
    for (const Bytes& jpg : pictures) {
        mk_jpeg_mem_stream_src(&d.c, jpg.data(), jpg.size());
        EXPECT_EQ(DecodeNext(d, JCS_RGB, false), DjpegRgb(jpg));
    }
    EXPECT_EQ(m_jpeg->Decoded(), 2);
}

// A large picture from a heap buffer: the stream goes to the hardware in pieces of 0x80000 bytes.
class JpegPiecesTest : public JpegLibTest {
protected:
    static const Bytes& Big() {
        static const Bytes jpg = Cjpeg(NoisePpm(1000, 700), "-quality 100 -sample 1x1");
        return jpg;
    }
};

TEST_F(JpegPiecesTest, TheStreamIsFedInPiecesWithTheirModes) {
    const Bytes& jpg = Big();
    ASSERT_GT(jpg.size(), 4u * 0x80000);
    m_jpeg->SetDefaultAnswer(JPEG_WAIT_MORE);
    Out out;
    ASSERT_EQ(DecodeYuv(jpg, 15, true, &out), 0);
    const std::vector<JpegDriver::Wait> waits = m_jpeg->Waits();
    ASSERT_GE(waits.size(), 5u);
    const uint32_t buf = waits[0].Reg(JPEG_REG_DATA_START);
    size_t fed = 0;
    for (size_t i = 0; i < waits.size(); ++i) {
        SCOPED_TRACE(i);
        const bool last = i + 1 == waits.size();
        EXPECT_EQ(waits[i].Reg(JPEG_REG_MODE), static_cast<uint32_t>(i == 0 ? JPEG_MODE_FIRST : last ? JPEG_MODE_LAST : JPEG_MODE_NEXT));
        EXPECT_EQ(waits[i].Reg(JPEG_REG_DATA_START), buf);
        const uint32_t len = waits[i].Reg(JPEG_REG_DATA_END) - buf;
        if (!last) {
            EXPECT_EQ(len, 0x80000u);
        }
        EXPECT_EQ(waits[i].Reg(JPEG_REG_WINDOW_START), buf);
        EXPECT_EQ(waits[i].Reg(JPEG_REG_WINDOW_END), buf + 0x80000);
        fed += len;
    }
    EXPECT_EQ(waits[0].Reg(JPEG_REG_START), 1u);
    EXPECT_EQ(waits[1].Reg(JPEG_REG_START), 0u) << "only the first piece starts the decoder";
    EXPECT_LT(fed, jpg.size());
    EXPECT_GT(fed, jpg.size() - 4096) << "everything after the header";
    // The last piece answered "more": nothing is left to give, so the picture went to software.
    EXPECT_EQ(Rows(out.luma.data(), out.lumaStride, out.w, out.h), Djpeg(jpg, "-grayscale"));
}

TEST_F(JpegPiecesTest, AFailedWaitAtAnyPieceFallsBackToTheSamePicture) {
    const Bytes& jpg = Big();
    Out soft;
    ASSERT_EQ(DecodeYuv(jpg, 15, true, &soft, [](Dec& d) { d.h()->bHardEnabled = MK_FALSE; }), 0);
    for (size_t failAt = 1; failAt <= 3; ++failAt) {
        SCOPED_TRACE(failAt);
        m_jpeg->Reset();
        std::vector<uint32_t> script(failAt - 1, JPEG_WAIT_MORE);
        script.push_back(JPEG_WAIT_ERROR);
        m_jpeg->SetWaitScript(script);
        Out out;
        ASSERT_EQ(DecodeYuv(jpg, 15, true, &out), 0);
        EXPECT_EQ(m_jpeg->Waits().size(), failAt);
        EXPECT_TRUE(out.luma == soft.luma && out.chroma == soft.chroma) << "the source was put back where the library was";
    }
}

TEST_F(JpegLibTest, AStdioSourceIsRewoundAfterAFailedAttemptAndAPipeCannotBe) {
    const Bytes jpg = Cjpeg(Ppm(96, 64, 7), "-sample 2x2");
    Out soft;
    ASSERT_EQ(DecodeYuv(jpg, 15, true, &soft), 0);
    m_jpeg->Reset();
    auto decodeFile = [&](FILE* f, Out* out) {
        Dec d;
        try {
            mk_jpeg_stdio_src(&d.c, f);
            mk_jpeg_read_header(&d.c, TRUE);
            mk_jpeg_set_out_color_space(&d.c, 15);
            JPEG_HDEC_SetFlagA(&d.c, MK_TRUE);
            out->Make(d.c.image_width, d.c.image_height);
            const MK_JPEG_OUTDESC_S desc = out->Desc();
            MK_JPEG_SetOutDesc(&d.c, &desc);
            mk_jpeg_start_decompress(&d.c);
            while (d.c.output_scanline < d.c.output_height) mk_jpeg_read_scanlines(&d.c, nullptr, 1);
            mk_jpeg_finish_decompress(&d.c);
            return 0;
        } catch (const JpegFailure& e) {
            return e.code;
        }
    };
    const std::string path = PathOf("stdio.jpg");
    WriteFile(path, jpg);
    FILE* f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    Out out;
    EXPECT_EQ(decodeFile(f, &out), 0);
    std::fclose(f);
    EXPECT_EQ(m_jpeg->Opens(), 1);
    EXPECT_EQ(out.luma, soft.luma);
    EXPECT_EQ(out.chroma, soft.chroma);

    // A pipe cannot seek back: the picture is lost, as the message says.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], jpg.data(), jpg.size()), static_cast<ssize_t>(jpg.size()));
    close(fds[1]);
    FILE* p = fdopen(fds[0], "rb");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(decodeFile(p, &out), MK_JERR_STREAM_BACK);
    std::fclose(p);
}

TEST_F(JpegLibTest, CropOutsideTheOutputAndAForeignClientDataAreFatal) {
    const Bytes jpg = Cjpeg(Ppm(64, 32), "-sample 2x2");
    Out out;
    EXPECT_EQ(DecodeYuv(jpg, 15, true, &out, [](Dec& d) {
                  d.h()->stOutDesc.bCrop = MK_TRUE;
                  d.h()->stOutDesc.s32CropX = 10;
                  d.h()->stOutDesc.s32CropWidth = 55;
                  d.h()->stOutDesc.s32CropHeight = 32;
              }),
              MK_JERR_CROP);
    EXPECT_EQ(DecodeYuv(jpg, 15, true, &out, [](Dec& d) {
                  d.h()->stOutDesc.bCrop = MK_TRUE;
                  d.h()->stOutDesc.s32CropX = 10;
                  d.h()->stOutDesc.s32CropWidth = 54;
                  d.h()->stOutDesc.s32CropHeight = 32;
              }),
              0);
    EXPECT_EQ(DecodeYuv(jpg, 15, true, &out, [](Dec& d) { d.h()->u32CheckWord = 0x123; }), MK_JERR_CLIENT_DATA);
}

// ---- Memory ----

TEST_F(JpegLibTest, BuffersComeFromTheJpegZoneThenGraphicsThenTheDefault) {
    const Bytes jpg = Cjpeg(Ppm(64, 32), "-sample 2x2");
    auto streamBuf = [&] {
        m_jpeg->Reset();
        Mmz()->ResetCounters();
        Out out;
        EXPECT_EQ(DecodeYuv(jpg, 15, true, &out), 0);
        return m_jpeg->Waits().at(0).Reg(JPEG_REG_DATA_START);
    };
    varnelle::mem::ZoneAllocator& zones = varnelle::mem::ZoneAllocator::Local();
    const uint32_t inDefault = streamBuf();
    // Stream buffer and middle buffer: three tries each.
    EXPECT_EQ(Mmz()->RequestCount(MK_MMZ_IOC_BUF_ALLOC), 6);
    const uint32_t graphics = 0x60000000u, jpegZone = 0x61000000u;
    ASSERT_TRUE(zones.AddZone("graphics", graphics, 16u << 20));
    const uint32_t inGraphics = streamBuf();
    EXPECT_EQ(Mmz()->RequestCount(MK_MMZ_IOC_BUF_ALLOC), 4);
    ASSERT_TRUE(zones.AddZone("jpeg", jpegZone, 16u << 20));
    const uint32_t inJpeg = streamBuf();
    EXPECT_EQ(Mmz()->RequestCount(MK_MMZ_IOC_BUF_ALLOC), 2);
    EXPECT_FALSE(inDefault >= graphics && inDefault < jpegZone + (16u << 20));
    EXPECT_TRUE(inGraphics >= graphics && inGraphics < graphics + (16u << 20));
    EXPECT_TRUE(inJpeg >= jpegZone && inJpeg < jpegZone + (16u << 20));
    // A zone that refuses sends the allocation on to the next.
    Mmz()->FailRequest(MK_MMZ_IOC_BUF_ALLOC, -1, 1, ENOMEM);
    const uint32_t afterRefusal = streamBuf();
    EXPECT_TRUE(afterRefusal >= graphics && afterRefusal < graphics + (16u << 20));
}

TEST_F(JpegLibTest, NothingIsLeftBehindAfterAThousandPictures) {
    const Bytes jpg = Cjpeg(Ppm(16, 16), "-sample 2x2");
    const size_t blocks = Mmz()->BlockCount();
    const uint64_t used = varnelle::mem::ZoneAllocator::Local().UsedBytes();
    Dec d;
    for (int i = 0; i < 1000; ++i) {
        Out out;
        ASSERT_EQ(DecodeYuv(d, jpg, 15, true, &out), 0);
    }
    EXPECT_EQ(m_jpeg->Opens(), 1000);
    EXPECT_EQ(m_jpeg->Closes(), 1000);
    EXPECT_EQ(m_jpeg->OpenFiles(), 0);
    EXPECT_EQ(Mmz()->OpenFiles(), 0);
    EXPECT_EQ(Mmz()->BlockCount(), blocks);
    EXPECT_EQ(varnelle::mem::ZoneAllocator::Local().UsedBytes(), used);
}

TEST_F(JpegLibTest, JpegmemHasNoEffect) {
    // The library would refuse a progressive picture's coefficient buffer under a 1 KB limit.
    const Bytes jpg = Cjpeg(Ppm(333, 247), "-progressive");
    setenv("JPEGMEM", "1", 1);
    Out out;
    const int ret = DecodeYuv(jpg, 15, true, &out);
    unsetenv("JPEGMEM");
    EXPECT_EQ(ret, 0);
    EXPECT_EQ(Rows(out.luma.data(), out.lumaStride, out.w, out.h), Djpeg(jpg, "-grayscale"));
}

TEST_F(JpegLibTest, TheMessageTableAddsTheDecoderMessages) {
    jpeg_error_mgr err;
    mk_jpeg_std_error(&err);
    EXPECT_EQ(err.last_jpeg_message, 134);
    EXPECT_STREQ(err.jpeg_message_table[42], "Empty input file");
    EXPECT_STREQ(err.jpeg_message_table[123], "Application transferred too many scanlines");
    EXPECT_STREQ(err.jpeg_message_table[124], "JPEG_HDEC_Init failure");
    EXPECT_STREQ(err.jpeg_message_table[128], "the client data is different with our data");
    EXPECT_STREQ(err.jpeg_message_table[130], "this stream back failure,no soft dec again");
    EXPECT_STREQ(err.jpeg_message_table[132], "can not support crop");
    EXPECT_STREQ(err.jpeg_message_table[134], "jpeg encode input colorspace is not support");
    EXPECT_EQ(err.jpeg_message_table[135], nullptr);
    jpeg_decompress_struct c{};
    c.err = &err;
    err.msg_code = 131;
    char text[JMSG_LENGTH_MAX];
    (*err.format_message)(reinterpret_cast<j_common_ptr>(&c), text);
    EXPECT_STREQ(text, "the hard color convert failure,so the dec failure");
}

}  // namespace
