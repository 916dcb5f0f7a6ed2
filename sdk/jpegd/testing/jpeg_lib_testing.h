// Test helpers for the library wrappers: a decompress object whose fatal errors throw, caller buffers
// for the YUV outputs and a decode into them.
#pragma once

#include <cstdint>
#include <cstdio>

#include <jpeglib.h>

#include "sdk/jpegd/mk_jpeg_lib.h"
#include "sdk/jpegd/testing/jpeg_tools.h"

namespace mk::jpegd::testing {

struct JpegFailure {
    int code;
};
[[noreturn]] inline void ThrowFailure(j_common_ptr c) { throw JpegFailure{c->err->msg_code}; }
inline void Quiet(j_common_ptr) {}

// A decompress object through the wrappers; a fatal error becomes JpegFailure.
class Dec {
public:
    Dec() {
        mk_jpeg_std_error(&err);
        err.error_exit = ThrowFailure;
        err.output_message = Quiet;
        c.err = &err;
        mk_jpeg_create_decompress(&c);
    }
    ~Dec() { mk_jpeg_destroy_decompress(&c); }
    Dec(const Dec&) = delete;
    Dec& operator=(const Dec&) = delete;
    MK_JPEG_HANDLE* h() { return JPEG_HDEC_Handle(&c); }

    jpeg_decompress_struct c{};
    jpeg_error_mgr err{};
};

// Caller buffers for a YUV output, filled with a guard value.
struct Out {
    uint32_t w = 0, h = 0, lumaStride = 0, chromaStride = 0;
    uint32_t guardRows = 0;  // rows below the picture's in both areas, left at the guard value
    Bytes luma, chroma;
    void Make(uint32_t width, uint32_t height) {
        w = width;
        h = height;
        lumaStride = (w + 63) / 64 * 64;
        chromaStride = 2 * lumaStride;
        luma.assign(static_cast<size_t>(lumaStride) * (h + guardRows), 0xEE);
        chroma.assign(static_cast<size_t>(chromaStride) * (h + guardRows), 0xEE);
    }
    MK_JPEG_OUTDESC_S Desc() {
        MK_JPEG_OUTDESC_S d{};
        d.apu8VirAddr[0] = luma.data();
        d.apu8VirAddr[1] = chroma.data();
        d.au32Stride[0] = lumaStride;
        d.au32Stride[1] = chromaStride;
        return d;
    }
};

// What to do to the object between the header and the start.
using Setup = void (*)(Dec&);

// Decodes `jpg` from memory into YUV space `space`; 0, or the fatal error's message code.
inline int DecodeYuv(Dec& d, const Bytes& jpg, int space, bool flagA, Out* out, Setup setup = nullptr) {
    try {
        mk_jpeg_mem_stream_src(&d.c, jpg.data(), jpg.size());
        mk_jpeg_read_header(&d.c, TRUE);
        mk_jpeg_set_out_color_space(&d.c, space);
        JPEG_HDEC_SetFlagA(&d.c, flagA ? MK_TRUE : MK_FALSE);
        out->Make(d.c.image_width, d.c.image_height);
        const MK_JPEG_OUTDESC_S desc = out->Desc();
        MK_JPEG_SetOutDesc(&d.c, &desc);
        if (setup != nullptr) setup(d);
        mk_jpeg_start_decompress(&d.c);
        while (d.c.output_scanline < d.c.output_height) mk_jpeg_read_scanlines(&d.c, nullptr, 1);
        mk_jpeg_finish_decompress(&d.c);
        return 0;
    } catch (const JpegFailure& f) {
        mk_jpeg_abort(&d.c);
        return f.code;
    }
}

inline int DecodeYuv(const Bytes& jpg, int space, bool flagA, Out* out, Setup setup = nullptr) {
    Dec d;
    return DecodeYuv(d, jpg, space, flagA, out, setup);
}

}  // namespace mk::jpegd::testing
