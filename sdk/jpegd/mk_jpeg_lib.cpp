// The wrappers over libjpeg: object life with its decoder handle, hardware first at the start, the
// 4096 rule, the semi-planar YUV writers, the data sources and the extended message table. Errors leave
// through the caller's error manager (a longjmp), so no frame here holds anything with a destructor.
#include "sdk/jpegd/mk_jpeg_lib.h"

#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include <jerror.h>

#include "platform/dev/dev.h"
#include "sdk/jpegd/internal/jpeg_internal.h"
#include "sdk/jpegd/jpegd_ioctl.h"
#include "sdk/sys/mk_mmz.h"

namespace dev = varnelle::dev;
namespace jpeg = mk::jpeg;

namespace {

constexpr int kDstateReady = 202;  // the library's state after a header has been read
constexpr int kLibMessages = 124;  // the library's codes 0 to 123

// ---- Message table ----

const char* const* MessageTable() {
    static const char* table[MK_JMSG_LASTMSGCODE + 2];
    static const bool made = [] {
        jpeg_error_mgr lib;
        jpeg_std_error(&lib);
        for (int i = 0; i < kLibMessages; ++i) table[i] = lib.jpeg_message_table[i];
        static const char* const kAdded[] = {
            "JPEG_HDEC_Init failure",
            "lack of mem to alloc stream memory",
            "lack of mem to alloc yuv middle memory",
            "lack of mem to alloc output memory",
            "the client data is different with our data",
            "this picture is ycck or cmyk picture",
            "this stream back failure,no soft dec again",
            "the hard color convert failure,so the dec failure",
            "can not support crop",
            "JPGE_HENC_Init failure",
            "jpeg encode input colorspace is not support",
        };
        static_assert(sizeof(kAdded) / sizeof(kAdded[0]) == MK_JMSG_LASTMSGCODE + 1 - kLibMessages);
        for (int i = kLibMessages; i <= MK_JMSG_LASTMSGCODE; ++i) table[i] = kAdded[i - kLibMessages];
        table[MK_JMSG_LASTMSGCODE + 1] = nullptr;
        return true;
    }();
    (void)made;
    return table;
}

MK_JPEG_HANDLE* HandleOf(j_decompress_ptr cinfo) { return JPEG_HDEC_Handle(cinfo); }

// ---- The end of a picture, however the caller ends it ----

using FreePool = void (*)(j_common_ptr, int);
std::atomic<FreePool> g_libraryFreePool{nullptr};  // the same for every object

// The library ends a picture by freeing its image pool: in jpeg_abort, which jpeg_abort_decompress and
// jpeg_finish_decompress call. The handle lets go of the picture there too, as in mk_jpeg_abort, so that
// a picture given up on through the library leaves nothing to the next. Before a header nothing is held,
// and the library frees the pool inside jpeg_read_header after a tables-only stream, whose source the
// next header goes on reading.
void FreePoolEndingPicture(j_common_ptr cinfo, int pool) {
    auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
    if (pool == JPOOL_IMAGE && cinfo->is_decompressor && cinfo->global_state >= kDstateReady &&
        HandleOf(d) != nullptr) {
        JPEG_HDEC_CloseDev(d);
        JPEG_HDEC_ResetHandle(d);
    }
    g_libraryFreePool.load()(cinfo, pool);
}

// ---- Colour format of a picture, from its frame header ----

void RecordPicture(j_decompress_ptr cinfo) {
    MK_JPEG_HANDLE* h = HandleOf(cinfo);
    if (h == nullptr || cinfo->comp_info == nullptr) return;
    const jpeg_component_info* c = cinfo->comp_info;
    std::memset(h->au8Sampling, 0, sizeof(h->au8Sampling));
    if (cinfo->num_components == 1 && c[0].h_samp_factor == c[0].v_samp_factor) {
        h->u32ImageFormat = JPEGD_FMT_YUV400;
        h->au8Sampling[0] = h->au8Sampling[1] = 1;
    } else if (cinfo->num_components == 3 && c[1].h_samp_factor == c[2].h_samp_factor &&
               c[1].v_samp_factor == c[2].v_samp_factor) {
        const int h0 = c[0].h_samp_factor, v0 = c[0].v_samp_factor;
        const int h1 = c[1].h_samp_factor, v1 = c[1].v_samp_factor;
        if (h0 == 2 * h1 && v0 == 2 * v1) {
            h->u32ImageFormat = JPEGD_FMT_YUV420;
        } else if (h0 == 2 * h1 && v0 == v1) {
            h->u32ImageFormat = JPEGD_FMT_YUV422_21;
        } else if (h0 == h1 && v0 == 2 * v1) {
            h->u32ImageFormat = JPEGD_FMT_YUV422_12;
        } else if (h0 == h1 && v0 == v1) {
            h->u32ImageFormat = JPEGD_FMT_YUV444;
        }
        for (int i = 0; i < 3; ++i) {
            h->au8Sampling[2 * i] = static_cast<MK_U8>(c[i].h_samp_factor);
            h->au8Sampling[2 * i + 1] = static_cast<MK_U8>(c[i].v_samp_factor);
        }
    } else if (cinfo->num_components == 4) {
        // Without an Adobe marker, or with transform 0, the four components are CMYK; else YCCK.
        const bool cmyk = !cinfo->saw_Adobe_marker || cinfo->Adobe_transform == 0;
        h->u32ImageFormat = cmyk ? JPEGD_FMT_CMYK : JPEGD_FMT_YCCK;
    } else {
        h->u32ImageFormat = JPEGD_FMT_OTHER;
    }
}

// ---- YUV writers ----

enum Writer {
    kWriterNone = -1,
    kLumaOnly,
    kAlternateHalf,   // even lines, half offset: Cr at even positions, Cb at odd ones
    kEvenPairsHalf,   // even lines, half offset: (Cr, Cb) of every even position
    kAlternateEvery,  // every line: Cr at even positions, Cb at odd ones
    kPairsHalf,       // even lines, half offset: (Cr, Cb) of every position
    kPairsEvery,      // every line: (Cr, Cb) of every position
};

Writer ChooseWriter(j_decompress_ptr cinfo, const MK_JPEG_HANDLE* h, int space) {
    Writer w = kWriterNone;
    if (h->b420) {
        switch (h->u32ImageFormat) {
            case JPEGD_FMT_YUV400: w = kLumaOnly; break;
            case JPEGD_FMT_YUV420:
            case JPEGD_FMT_YUV422_21: w = kAlternateHalf; break;
            case JPEGD_FMT_YUV422_12:
            case JPEGD_FMT_YUV444: w = kEvenPairsHalf; break;
            default: break;
        }
    } else {
        switch (space) {
            case MK_JCS_YUV400_SP: w = kLumaOnly; break;
            case MK_JCS_YUV420_SP: w = kAlternateHalf; break;
            case MK_JCS_YUV422_SP: w = kAlternateEvery; break;
            case MK_JCS_YUV440_SP: w = kPairsHalf; break;
            case MK_JCS_YUV444_SP: w = kPairsEvery; break;
            default: break;
        }
    }
    const J_COLOR_SPACE need = w == kLumaOnly ? JCS_GRAYSCALE : JCS_YCbCr;
    return cinfo->jpeg_color_space == need ? w : kWriterNone;
}

// The luma of a line of Y Cb Cr pixels, and the sum of it.
MK_U32 CopyLuma(MK_U8* y, const JSAMPLE* row, JDIMENSION w) {
    MK_U32 sum = 0;
    JDIMENSION x = 0;
    for (; x + 4 <= w; x += 4, row += 12) {
        const MK_U8 a = row[0], b = row[3], c = row[6], d = row[9];
        y[x] = a;
        y[x + 1] = b;
        y[x + 2] = c;
        y[x + 3] = d;
        sum += static_cast<MK_U32>(a + b + c + d);
    }
    for (; x < w; ++x, row += 3) {
        y[x] = row[0];
        sum += row[0];
    }
    return sum;
}

MK_U32 Sum(const MK_U8* p, JDIMENSION n) {
    MK_U32 sum = 0;
    for (JDIMENSION i = 0; i < n; ++i) sum += p[i];
    return sum;
}

// Cr of even positions and Cb of odd ones; an odd width still gets its last pair, from the last pixel.
void ChromaAlternate(MK_U8* c, const JSAMPLE* row, JDIMENSION w) {
    JDIMENSION x = 0;
    for (; x + 2 <= w; x += 2) {
        c[x] = row[3 * x + 2];
        c[x + 1] = row[3 * x + 4];
    }
    if (x < w) {
        c[x] = row[3 * x + 2];
        c[x + 1] = row[3 * x + 1];
    }
}

// (Cr, Cb) of every `step`-th position.
void ChromaPairs(MK_U8* c, const JSAMPLE* row, JDIMENSION w, JDIMENSION step) {
    for (JDIMENSION x = 0; x < w; x += step, c += 2) {
        c[0] = row[3 * x + 2];
        c[1] = row[3 * x + 1];
    }
}

// One output line of the library (grey, or Y Cb Cr per pixel) into the caller's semi-planar areas.
void WriteLine(j_decompress_ptr cinfo, MK_JPEG_HANDLE* h, JDIMENSION line, const JSAMPLE* row) {
    const MK_JPEG_OUTDESC_S& d = h->stOutDesc;
    const JDIMENSION w = cinfo->output_width;
    MK_U8* y = d.apu8VirAddr[0] + static_cast<size_t>(line) * d.au32Stride[0];
    const int comps = cinfo->output_components;
    MK_U32 sum;
    if (comps == 1) {
        std::memcpy(y, row, w);
        sum = h->bResultWords ? Sum(y, w) : 0;
    } else {
        sum = CopyLuma(y, row, w);
    }
    if (h->bResultWords) h->au32Result[0] += sum;
    const Writer writer = static_cast<Writer>(h->s32Writer);
    if (writer == kLumaOnly || comps != 3) return;
    const bool everyLine = writer == kAlternateEvery || writer == kPairsEvery;
    if (!everyLine && (line & 1) != 0) return;
    const size_t offset = everyLine ? static_cast<size_t>(line) * d.au32Stride[1]
                                    : static_cast<size_t>(line) * d.au32Stride[1] / 2;
    MK_U8* c = d.apu8VirAddr[1] + offset;
    switch (writer) {
        case kAlternateHalf:
        case kAlternateEvery: ChromaAlternate(c, row, w); break;
        case kEvenPairsHalf: ChromaPairs(c, row, w, 2); break;
        case kPairsHalf:
        case kPairsEvery: ChromaPairs(c, row, w, 1); break;
        default: break;
    }
}

// ---- The library's merged upsampler: when it serves, no colour conversion needs setting up ----

bool MergedUpsampleUsable(j_decompress_ptr cinfo) {
    const jpeg_component_info* c = cinfo->comp_info;
    if (cinfo->do_fancy_upsampling || cinfo->CCIR601_sampling) return false;
    if (cinfo->jpeg_color_space != JCS_YCbCr || cinfo->num_components != 3 || cinfo->out_color_space != JCS_RGB ||
        cinfo->out_color_components != 3) {
        return false;
    }
    if (c[0].h_samp_factor != 2 || c[1].h_samp_factor != 1 || c[2].h_samp_factor != 1 || c[0].v_samp_factor > 2 ||
        c[1].v_samp_factor != 1 || c[2].v_samp_factor != 1) {
        return false;
    }
    return c[0].DCT_scaled_size == cinfo->min_DCT_scaled_size && c[1].DCT_scaled_size == cinfo->min_DCT_scaled_size &&
           c[2].DCT_scaled_size == cinfo->min_DCT_scaled_size;
}

int OutputComponents(int space, int components) {
    switch (space) {
        case JCS_GRAYSCALE: return 1;
        case JCS_RGB: case JCS_YCbCr: case 6: case 7: case 12: case 13:
        case 14: case 15: case 16: case 17: case 18: return 3;
        case JCS_CMYK: case JCS_YCCK: case 8: case 9: return 4;
        case 10: case 11: return 2;
        default: return components;
    }
}

// ---- Data sources ----

void InitSource(j_decompress_ptr cinfo) { reinterpret_cast<jpeg::Source*>(cinfo->src)->startOfFile = TRUE; }
void TermSource(j_decompress_ptr) {}

void SkipInput(j_decompress_ptr cinfo, long n) {
    jpeg_source_mgr* src = cinfo->src;
    if (n <= 0) return;
    while (n > static_cast<long>(src->bytes_in_buffer)) {
        n -= static_cast<long>(src->bytes_in_buffer);
        (*src->fill_input_buffer)(cinfo);
    }
    src->next_input_byte += n;
    src->bytes_in_buffer -= static_cast<size_t>(n);
}

// Hands the end-of-image marker when the data is spent, or fails on a stream that had nothing at all.
boolean HandEoi(j_decompress_ptr cinfo, jpeg::Source* src) {
    if (src->startOfFile) ERREXIT(cinfo, JERR_INPUT_EMPTY);
    src->eoi[0] = 0xFF;
    src->eoi[1] = JPEG_EOI;
    src->pub.next_input_byte = src->eoi;
    src->pub.bytes_in_buffer = 2;
    return TRUE;
}

boolean FillStdio(j_decompress_ptr cinfo) {
    auto* src = reinterpret_cast<jpeg::Source*>(cinfo->src);
    const size_t n = std::fread(src->buffer, 1, jpeg::kStdioBufSize, src->file);
    if (n == 0) return HandEoi(cinfo, src);
    src->pub.next_input_byte = src->buffer;
    src->pub.bytes_in_buffer = n;
    src->startOfFile = FALSE;
    return TRUE;
}

// Up to kMemChunk bytes of the memory stream from where the handle's count stands.
boolean FillMemory(j_decompress_ptr cinfo) {
    auto* src = reinterpret_cast<jpeg::Source*>(cinfo->src);
    MK_JPEG_HANDLE* h = HandleOf(cinfo);
    const MK_U64 first = src->length;
    const MK_U64 at = h->u64Delivered;
    const JOCTET* p = nullptr;
    MK_U64 left = 0;
    if (at < first) {
        p = src->data + at;
        left = first - at;
    } else if (h->bTwoPart && at - first < h->u32SecondLen) {
        p = h->pu8SecondVirAddr + (at - first);
        left = h->u32SecondLen - (at - first);
    }
    if (left == 0 || p == nullptr) return HandEoi(cinfo, src);
    const size_t n = left < jpeg::kMemChunk ? static_cast<size_t>(left) : jpeg::kMemChunk;
    src->pub.next_input_byte = p;
    src->pub.bytes_in_buffer = n;
    h->u64Delivered += n;
    src->startOfFile = FALSE;
    return TRUE;
}

// The object's source record, made once per object from the permanent pool.
jpeg::Source* SourceRecord(j_decompress_ptr cinfo, bool withBuffer) {
    jpeg::Source* src = jpeg::OwnSource(cinfo);
    if (src == nullptr) {
        src = static_cast<jpeg::Source*>(
            (*cinfo->mem->alloc_small)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_PERMANENT, sizeof(jpeg::Source)));
        std::memset(src, 0, sizeof(*src));
        cinfo->src = &src->pub;
    }
    if (withBuffer && src->buffer == nullptr) {
        src->buffer = static_cast<JOCTET*>((*cinfo->mem->alloc_small)(reinterpret_cast<j_common_ptr>(cinfo),
                                                                      JPOOL_PERMANENT, jpeg::kStdioBufSize));
    }
    src->pub.init_source = InitSource;
    src->pub.skip_input_data = SkipInput;
    src->pub.resync_to_restart = jpeg_resync_to_restart;
    src->pub.term_source = TermSource;
    src->pub.bytes_in_buffer = 0;
    src->pub.next_input_byte = nullptr;
    return src;
}

// The physical address the zone gives for a user address, or 0.
MK_U32 ZonePhysOf(const void* addr) {
    int fd = dev::Open("/dev/mmz_userdev", O_RDWR);
    if (fd < 0) return 0;
    MMZ_BUF_REQ_S r{};
    r.pVirAddr = const_cast<void*>(addr);
    MK_U32 phys = dev::Ioctl(fd, MK_MMZ_IOC_BUF_GET_PHYS, &r) == 0 ? r.u32PhyAddr : 0;
    dev::Close(fd);
    return phys;
}

// Puts a known source back where the library had read to, after the hardware took data from it.
void RewindSource(j_decompress_ptr cinfo, MK_JPEG_HANDLE* h, MK_U64 memPosition) {
    jpeg::Source* src = jpeg::OwnSource(cinfo);
    if (h->bStdioSrc) {
        if (std::fseek(src->file, h->lFilePos, SEEK_SET) != 0) ERREXIT(cinfo, MK_JERR_STREAM_BACK);
        src->pub.next_input_byte = src->buffer;
    } else {
        h->u64Delivered = memPosition;
    }
    src->pub.bytes_in_buffer = 0;
}

}  // namespace

namespace mk::jpeg {

Source* OwnSource(j_decompress_ptr cinfo) {
    if (cinfo->src == nullptr || cinfo->src->init_source != InitSource) return nullptr;
    return reinterpret_cast<Source*>(cinfo->src);
}

MK_U64 MemStreamSize(j_decompress_ptr cinfo) {
    const Source* src = OwnSource(cinfo);
    const MK_JPEG_HANDLE* h = JPEG_HDEC_Handle(cinfo);
    if (src == nullptr || h == nullptr) return 0;
    return src->length + (h->bTwoPart ? h->u32SecondLen : 0);
}

size_t MemStreamCopy(j_decompress_ptr cinfo, MK_U64 pos, MK_U8* dst, size_t n) {
    const Source* src = OwnSource(cinfo);
    const MK_JPEG_HANDLE* h = JPEG_HDEC_Handle(cinfo);
    size_t done = 0;
    if (pos < src->length) {
        const size_t take = static_cast<size_t>(std::min<MK_U64>(n, src->length - pos));
        std::memcpy(dst, src->data + pos, take);
        done = take;
        pos += take;
    }
    if (done < n && h->bTwoPart && pos >= src->length && pos - src->length < h->u32SecondLen) {
        const MK_U64 at = pos - src->length;
        const size_t take = static_cast<size_t>(std::min<MK_U64>(n - done, h->u32SecondLen - at));
        std::memcpy(dst + done, h->pu8SecondVirAddr + at, take);
        done += take;
    }
    return done;
}

}  // namespace mk::jpeg

struct jpeg_error_mgr* mk_jpeg_std_error(struct jpeg_error_mgr* err) {
    jpeg_std_error(err);
    err->jpeg_message_table = MessageTable();
    err->last_jpeg_message = MK_JMSG_LASTMSGCODE;
    return err;
}

void mk_jpeg_CreateDecompress(j_decompress_ptr cinfo, int /*version*/, size_t /*structsize*/) {
    jpeg_CreateDecompress(cinfo, JPEG_LIB_VERSION, sizeof(struct jpeg_decompress_struct));
    // The memory back end of this system never had a limit: JPEGMEM stays without effect.
    cinfo->mem->max_memory_to_use = 0;
    g_libraryFreePool.store(cinfo->mem->free_pool);
    cinfo->mem->free_pool = FreePoolEndingPicture;
    cinfo->client_data = nullptr;
    if (JPEG_HDEC_CreateHandle(cinfo) != MK_SUCCESS) {
        jpeg_destroy_decompress(cinfo);
        ERREXIT(cinfo, MK_JERR_HDEC_INIT);
    }
}

void mk_jpeg_destroy_decompress(j_decompress_ptr cinfo) {
    if (HandleOf(cinfo) != nullptr) {
        JPEG_HDEC_CloseDev(cinfo);
        JPEG_HDEC_DestroyHandle(cinfo);
    }
    jpeg_destroy_decompress(cinfo);
}

int mk_jpeg_read_header(j_decompress_ptr cinfo, boolean require_image) {
    const int ret = jpeg_read_header(cinfo, require_image);
    if (ret == JPEG_HEADER_OK) RecordPicture(cinfo);
    return ret;
}

int mk_jpeg_consume_input(j_decompress_ptr cinfo) {
    const int ret = jpeg_consume_input(cinfo);
    if (ret == JPEG_REACHED_SOS) RecordPicture(cinfo);
    return ret;
}

void mk_jpeg_set_out_color_space(j_decompress_ptr cinfo, int space) {
    MK_JPEG_HANDLE* h = HandleOf(cinfo);
    if (space < JCS_GRAYSCALE || space > MK_JCS_MAX || h == nullptr) ERREXIT(cinfo, JERR_CONVERSION_NOTIMPL);
    if (space <= JCS_YCCK) {
        cinfo->out_color_space = static_cast<J_COLOR_SPACE>(space);
        h->s32OutSpace = 0;
    } else {
        h->s32OutSpace = space;
    }
    h->bOutInfoValid = MK_FALSE;
}

int mk_jpeg_out_color_space(j_decompress_ptr cinfo) {
    const MK_JPEG_HANDLE* h = HandleOf(cinfo);
    return h != nullptr && h->s32OutSpace != 0 ? h->s32OutSpace : cinfo->out_color_space;
}

void mk_jpeg_calc_output_dimensions(j_decompress_ptr cinfo) {
    const int space = mk_jpeg_out_color_space(cinfo);
    if (MkJpegIsYuvSpace(space)) {
        // The YUV writers are fed the library's own YCbCr or grey lines.
        cinfo->out_color_space = cinfo->jpeg_color_space == JCS_GRAYSCALE ? JCS_GRAYSCALE : JCS_YCbCr;
    }
    jpeg_calc_output_dimensions(cinfo);
    if (!MkJpegIsYuvSpace(space)) {
        while ((cinfo->output_width >= 4096 || cinfo->output_height >= 4096) && cinfo->scale_denom < 4) {
            cinfo->scale_denom = cinfo->scale_denom < 2 ? 2 : 4;
            jpeg_calc_output_dimensions(cinfo);
        }
    }
    if (space > JCS_YCCK) cinfo->out_color_components = cinfo->output_components = OutputComponents(space, cinfo->num_components);
}

boolean mk_jpeg_start_decompress(j_decompress_ptr cinfo) {
    MK_JPEG_HANDLE* h = HandleOf(cinfo);
    if (h == nullptr || cinfo->global_state != kDstateReady) return jpeg_start_decompress(cinfo);
    const int space = mk_jpeg_out_color_space(cinfo);
    const bool yuv = MkJpegIsYuvSpace(space);
    if (yuv) {
        // The YUV outputs go nowhere but into the caller's descriptor.
        if (!h->bOutDescSet || h->stOutDesc.apu8VirAddr[0] == nullptr) ERREXIT(cinfo, JERR_NOT_COMPILED);
        // The writers pick the chroma samples themselves; smoothing would only blur them.
        cinfo->do_fancy_upsampling = FALSE;
    }
    mk_jpeg_calc_output_dimensions(cinfo);

    if (h->bHardEnabled) {
        const MK_U64 memPosition = h->bKnownSrc && !h->bStdioSrc ? jpeg::MemPosition(cinfo, h) : 0;
        MK_S32 ret = MK_FAILURE;
        if (JPEG_HDEC_GetMem(cinfo) == MK_SUCCESS && JPEG_HDEC_OpenDev(cinfo) == MK_SUCCESS) {
            ret = JPEG_HDEC_Start(cinfo);
        }
        if (ret == MK_SUCCESS) return TRUE;
        // Asked again once the caller's source has more, the start goes on with what it held.
        if (ret == MK_JPEG_SUSPENDED) return FALSE;
        if (h->bKnownSrc) {
            if (h->bStarted) RewindSource(cinfo, h, memPosition);
        } else {
            // Also a picture held by an earlier start whose search for its restart marker suspended.
            JPEG_HDEC_HandBackPicture(cinfo);
        }
    }

    if (yuv) {
        const Writer writer = ChooseWriter(cinfo, h, space);
        if (writer == kWriterNone) ERREXIT(cinfo, JERR_CONVERSION_NOTIMPL);
        h->s32Writer = writer;
    } else {
        if (space > JCS_YCCK) ERREXIT(cinfo, JERR_CONVERSION_NOTIMPL);
        // Raw rows need neither the colour conversion nor the upsampler.
        if (!cinfo->raw_data_out && !MergedUpsampleUsable(cinfo) &&
            !(h->bOutDescSet && h->stOutDesc.apu8VirAddr[0] != nullptr)) {
            ERREXIT(cinfo, JERR_NOT_COMPILED);
        }
    }
    const boolean ret = jpeg_start_decompress(cinfo);
    if (yuv && ret) {
        h->ppLineBuf = (*cinfo->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_IMAGE,
                                                   cinfo->output_width * cinfo->output_components, 1);
    }
    return ret;
}

JDIMENSION mk_jpeg_read_scanlines(j_decompress_ptr cinfo, JSAMPARRAY scanlines, JDIMENSION max_lines) {
    MK_JPEG_HANDLE* h = HandleOf(cinfo);
    if (h != nullptr && h->bHardDecoded) {
        // The hardware has written the picture already: YUV lines are only counted, the others copied
        // out of the output buffer unless they went straight into the caller's.
        const JDIMENSION left = cinfo->output_height - cinfo->output_scanline;
        const JDIMENSION lines = max_lines < left ? max_lines : left;
        if (!h->bYuvOut) {
            const MK_U32 bytes = JPEG_HDEC_OutBytes(mk_jpeg_out_color_space(cinfo));
            if (bytes == 0) ERREXIT(cinfo, MK_JERR_HARD_CSC);
            cinfo->output_components = static_cast<int>(bytes);
            if (scanlines != nullptr && h->bOutOwn) {
                for (JDIMENSION i = 0; i < lines; ++i) {
                    if (scanlines[i] == nullptr) continue;
                    std::memcpy(scanlines[i],
                                h->pu8OutVirAddr + static_cast<size_t>(cinfo->output_scanline + i) * h->u32OutBufStride,
                                static_cast<size_t>(cinfo->output_width) * bytes);
                }
            }
        }
        cinfo->output_scanline += lines;
        return lines;
    }
    if (h != nullptr && h->ppLineBuf != nullptr && MkJpegIsYuvSpace(mk_jpeg_out_color_space(cinfo))) {
        JDIMENSION n = 0;
        while (n < max_lines && cinfo->output_scanline < cinfo->output_height) {
            const JDIMENSION line = cinfo->output_scanline;
            if (jpeg_read_scanlines(cinfo, h->ppLineBuf, 1) != 1) break;
            WriteLine(cinfo, h, line, h->ppLineBuf[0]);
            ++n;
        }
        return n;
    }
    return jpeg_read_scanlines(cinfo, scanlines, max_lines);
}

boolean mk_jpeg_finish_decompress(j_decompress_ptr cinfo) {
    MK_JPEG_HANDLE* h = HandleOf(cinfo);
    if (h != nullptr && h->bHardDecoded) {
        // The library never saw the picture's data: ending it is an abort, once the source stands past
        // the end marker, as the library's finish leaves it (FALSE while the source suspends).
        if (!JPEG_HDEC_TakeEndMarker(cinfo)) return FALSE;
        mk_jpeg_abort(cinfo);
        return TRUE;
    }
    const boolean ret = jpeg_finish_decompress(cinfo);
    JPEG_HDEC_CloseDev(cinfo);
    JPEG_HDEC_ResetHandle(cinfo);
    return ret;
}

void mk_jpeg_abort(j_decompress_ptr cinfo) {
    jpeg_abort_decompress(cinfo);
    JPEG_HDEC_CloseDev(cinfo);
    JPEG_HDEC_ResetHandle(cinfo);
}

void mk_jpeg_stdio_src(j_decompress_ptr cinfo, FILE* infile) {
    jpeg::Source* src = SourceRecord(cinfo, true);
    src->file = infile;
    src->pub.fill_input_buffer = FillStdio;
    if (MK_JPEG_HANDLE* h = HandleOf(cinfo)) {
        h->bStdioSrc = MK_TRUE;
        h->bKnownSrc = MK_TRUE;
    }
}

void mk_jpeg_mem_stream_src(j_decompress_ptr cinfo, const void* buffer, size_t length) {
    if (buffer == nullptr || length == 0) ERREXIT(cinfo, JERR_INPUT_EMPTY);
    MK_JPEG_HANDLE* h = HandleOf(cinfo);
    jpeg::Source* src = SourceRecord(cinfo, false);
    src->data = static_cast<const JOCTET*>(buffer);
    src->length = length;
    src->pub.fill_input_buffer = FillMemory;
    if (h == nullptr) return;
    if (!h->bStreamBufSet) {
        const MK_U32 phys = ZonePhysOf(buffer);
        if (phys != 0) JPEG_HDEC_SetStreamBuf(cinfo, phys);
    }
    h->u64StreamLen = length;
    h->pu8StreamData = static_cast<const MK_U8*>(buffer);
    h->u64Delivered = 0;
    h->bKnownSrc = MK_TRUE;
    h->bStdioSrc = MK_FALSE;
}
