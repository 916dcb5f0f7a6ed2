// The JPEG library as this system decodes with it: libjpeg (6b interface) behind wrappers under our own
// names, so that every decompress object first tries the hardware decoder (jpeg_hdec.h) and falls back
// to the library's software decoder. Callers use these in place of the library's entry points of the
// same names; everything else is the library's own.
//
// What the wrappers add:
// - each object carries a decoder handle in its client data (callers must not use that field);
// - output colour spaces beyond the library's: 14 to 18 are semi-planar YUV written into the caller's
//   output descriptor (luma, then Cr/Cb pairs); 6 to 13 are packed RGB formats that only the hardware
//   path produces (the software decoder refuses them). Such a space is set with
//   mk_jpeg_set_out_color_space and kept in the handle, never in out_color_space;
// - an output of 4096 pixels or more across or down (other than YUV) is scaled to 1/2, then 1/4;
// - a data source over a stream already in memory, in one part or two (a stream that wraps);
// - an error table that adds the decoder's messages 124 to 134.
// The hardware takes only what it gives as the library would: colour quantisation, buffered-image and
// raw-data decodes and scales its codes do not give are the library's own. The library's jpeg_abort and
// jpeg_abort_decompress end a picture as mk_jpeg_abort does.
#pragma once

#include <cstdio>

#include <jpeglib.h>

#include "sdk/jpegd/jpeg_hdec.h"

// Output colour spaces beyond J_COLOR_SPACE. 6 to 13 are named by the pixel as a little-endian word
// (ARGB8888 is the word 0xAARRGGBB, stored B, G, R, A); alpha is opaque.
enum {
    MK_JCS_RGB888 = 6,    // 3 bytes: B, G, R
    MK_JCS_BGR888 = 7,    // 3 bytes: R, G, B
    MK_JCS_ARGB8888 = 8,  // 4 bytes: B, G, R, A
    MK_JCS_ABGR8888 = 9,  // 4 bytes: R, G, B, A
    MK_JCS_ARGB1555 = 10,
    MK_JCS_ABGR1555 = 11,
    MK_JCS_RGB565 = 12,
    MK_JCS_BGR565 = 13,
    MK_JCS_YUV400_SP = 14,  // luma only
    MK_JCS_YUV420_SP = 15,  // chroma at half width and height
    MK_JCS_YUV422_SP = 16,  // chroma at half width, full height
    MK_JCS_YUV440_SP = 17,  // chroma at full width, half height
    MK_JCS_YUV444_SP = 18,  // chroma at full width and height
    MK_JCS_MAX = 18,
};

inline bool MkJpegIsYuvSpace(int space) { return space >= MK_JCS_YUV400_SP && space <= MK_JCS_YUV444_SP; }

// Messages added after the library's 124 (codes 0 to 123).
enum {
    MK_JERR_HDEC_INIT = 124,
    MK_JERR_STREAM_MEM = 125,
    MK_JERR_YUV_MEM = 126,
    MK_JERR_OUT_MEM = 127,
    MK_JERR_CLIENT_DATA = 128,
    MK_JERR_CMYK = 129,
    MK_JERR_STREAM_BACK = 130,
    MK_JERR_HARD_CSC = 131,
    MK_JERR_CROP = 132,
    MK_JERR_HENC_INIT = 133,
    MK_JERR_ENC_COLORSPACE = 134,
    MK_JMSG_LASTMSGCODE = 134,
};

// The library's standard error manager with the extended message table.
struct jpeg_error_mgr* mk_jpeg_std_error(struct jpeg_error_mgr* err);

// Makes the object (the version and size are not compared) and its decoder handle; a handle that cannot
// be made is fatal error 124, with the object already destroyed again.
void mk_jpeg_CreateDecompress(j_decompress_ptr cinfo, int version, size_t structsize);
#define mk_jpeg_create_decompress(cinfo) \
    mk_jpeg_CreateDecompress((cinfo), JPEG_LIB_VERSION, sizeof(struct jpeg_decompress_struct))
// Closes the decoder device, frees the handle and destroys the object.
void mk_jpeg_destroy_decompress(j_decompress_ptr cinfo);

// As the library's, and records the picture's colour format and sampling in the handle.
int mk_jpeg_read_header(j_decompress_ptr cinfo, boolean require_image);
int mk_jpeg_consume_input(j_decompress_ptr cinfo);

// Sets the output colour space: 1 to 5 in the object, 6 to 18 in the handle. A space outside 1 to 18 is
// fatal error 27.
void mk_jpeg_set_out_color_space(j_decompress_ptr cinfo, int space);
// The output colour space in effect.
int mk_jpeg_out_color_space(j_decompress_ptr cinfo);

// As the library's, with the 4096 rule and the output components of the extended spaces.
void mk_jpeg_calc_output_dimensions(j_decompress_ptr cinfo);
// Hardware first, then the library's software decoder. FALSE also when a source of the caller's own
// suspended while the hardware path read the picture: called again once the source has more, it goes on.
boolean mk_jpeg_start_decompress(j_decompress_ptr cinfo);
// Lines of the picture. For the YUV outputs the lines go to the output descriptor and `scanlines` may be
// null. After a hardware decode the YUV lines are only counted; the other outputs are copied into
// `scanlines` (output_components bytes a pixel) unless they went straight into the descriptor's first
// component, or `scanlines` is null.
JDIMENSION mk_jpeg_read_scanlines(j_decompress_ptr cinfo, JSAMPARRAY scanlines, JDIMENSION max_lines);
// Ends the picture and releases its hardware resources.
boolean mk_jpeg_finish_decompress(j_decompress_ptr cinfo);
void mk_jpeg_abort(j_decompress_ptr cinfo);

// A data source over a file (4096-byte reads). An empty file is fatal error 42; a file that ends
// without an end-of-image marker reads as if it had one.
void mk_jpeg_stdio_src(j_decompress_ptr cinfo, FILE* infile);
// A data source over a stream in memory. With the handle's two-part flag set (MK_JPEG_SetBufInfo) the
// stream continues at the buffer information's second part. A null address or length 0 is fatal error
// 42; the end of the data reads as an end-of-image marker.
void mk_jpeg_mem_stream_src(j_decompress_ptr cinfo, const void* buffer, size_t length);
