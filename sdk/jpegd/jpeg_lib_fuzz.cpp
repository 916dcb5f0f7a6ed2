// Any bytes as a JPEG stream through the library wrappers, to a semi-planar YUV or a packed RGB output,
// with the hardware attempt decoded by the simulated block or answered as the first byte chooses: no
// input reads or writes outside its buffers, leaks, or leaves the decoder device or zone buffers behind.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/drivers/jpeg/jpeg_driver.h"
#include "platform/drivers/mem/mem_driver.h"
#include "platform/drivers/mmz/mmz_driver.h"
#include "platform/host/test_bus.h"
#include "sdk/jpegd/jpegd_ioctl.h"
#include "sdk/jpegd/testing/jpeg_lib_testing.h"

namespace {

using namespace mk::jpegd::testing;

constexpr uint64_t kMaxPixels = 1u << 20;  // larger pictures are only parsed

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    varnelle::host::UsePrivateBus("jpegfuzz");
    varnelle::drivers::InstallMemDriver();
    varnelle::drivers::InstallMmzDriver();
    varnelle::drivers::InstallJpegDriver();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    static auto jpeg = varnelle::drivers::JpegDriver::Get();
    const uint8_t opts = data[0];
    static const int kPacked[4] = {0, JCS_RGB, MK_JCS_ARGB8888, MK_JCS_RGB565};
    const int space = kPacked[opts >> 6] != 0 ? kPacked[opts >> 6] : 14 + (opts & 7) % 5;
    const bool flagA = (opts & 8) != 0;
    jpeg->Reset();
    if (((opts >> 4) & 3) != 0) jpeg->SetDefaultAnswer((opts >> 4) & 3);  // more, done or error; else decoded
    {
        Dec d;
        Out out;
        try {
            mk_jpeg_mem_stream_src(&d.c, data + 1, size - 1);
            mk_jpeg_read_header(&d.c, TRUE);
            if (static_cast<uint64_t>(d.c.image_width) * d.c.image_height <= kMaxPixels) {
                mk_jpeg_set_out_color_space(&d.c, space);
                JPEG_HDEC_SetFlagA(&d.c, flagA ? MK_TRUE : MK_FALSE);
                JPEG_HDEC_SetFlagB(&d.c, MK_TRUE);
                out.Make(d.c.image_width, d.c.image_height);
                const MK_JPEG_OUTDESC_S desc = out.Desc();
                MK_JPEG_SetOutDesc(&d.c, &desc);
                mk_jpeg_start_decompress(&d.c);
                std::vector<JSAMPLE> row(static_cast<size_t>(d.c.output_width) * 4);
                JSAMPROW rows[1] = {row.data()};
                while (d.c.output_scanline < d.c.output_height) {
                    if (mk_jpeg_read_scanlines(&d.c, MkJpegIsYuvSpace(space) ? nullptr : rows, 1) != 1) break;
                }
                mk_jpeg_finish_decompress(&d.c);
            }
        } catch (const JpegFailure&) {
        }
        mk_jpeg_abort(&d.c);
    }
    // Every picture gives its device and zone buffers back.
    if (jpeg->Opens() != jpeg->Closes() || jpeg->OpenFiles() != 0) std::abort();
    return 0;
}
