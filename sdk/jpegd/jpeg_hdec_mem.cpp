// Whether a picture suits the hardware, and the picture's buffers from the media memory zone.
#include <fcntl.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>

#include <jerror.h>

#include "platform/dev/dev.h"
#include "sdk/jpegd/internal/jpeg_internal.h"
#include "sdk/jpegd/jpeg_hdec.h"
#include "sdk/jpegd/jpegd_ioctl.h"
#include "sdk/jpegd/mk_jpeg_lib.h"
#include "sdk/sys/mk_mmz.h"

namespace dev = varnelle::dev;

namespace {

constexpr const char* kMemSource = "sdk/component/jpegd/jpeg/src/src_hard/jpeg_hdec_mem";
constexpr const char* kBufName = "JPEG_STREAM_OUT_BUF";
constexpr MK_U32 kStreamAlign = 64;
constexpr MK_U32 kMidAlign = 128;
constexpr MK_U32 kOutAlign = 16;

#define HDEC_NULL_HANDLE() \
    std::fprintf(stderr, "%s :%s : %d (the pJpegHandle is NULL)\n", kMemSource, __FUNCTION__, __LINE__)

void Fill(MMZ_BUF_REQ_S* r, const char* zone) {
    std::strncpy(r->acBufName, kBufName, sizeof(r->acBufName) - 1);
    std::strncpy(r->acZoneName, zone, sizeof(r->acZoneName) - 1);
}

// A block from the zone named "jpeg", else "graphics", else the default zone; 0 when none gives one.
MK_U32 AllocBuf(int fd, MK_U32 size, MK_U32 align) {
    for (const char* zone : {"jpeg", "graphics", ""}) {
        MMZ_BUF_REQ_S r{};
        r.u32Align = align;
        r.u32Size = size;
        Fill(&r, zone);
        if (dev::Ioctl(fd, MK_MMZ_IOC_BUF_ALLOC, &r) == 0 && r.u32PhyAddr != 0) return r.u32PhyAddr;
    }
    return 0;
}

MK_U8* MapBuf(int fd, MK_U32 phys) {
    MMZ_BUF_REQ_S r{};
    r.u32PhyAddr = phys;
    r.u32ProtFlags = MK_MMZ_PROT_FLAGS;
    if (dev::Ioctl(fd, MK_MMZ_IOC_BUF_REMAP_CACHED, &r) != 0) return nullptr;
    return static_cast<MK_U8*>(r.pVirAddr);
}

int UnmapBuf(int fd, MK_U32 phys, MK_U8* vir) {
    MMZ_BUF_REQ_S r{};
    r.u32PhyAddr = phys;
    r.pVirAddr = vir;
    return dev::Ioctl(fd, MK_MMZ_IOC_BUF_UNMAP, &r);
}

int FreeBuf(int fd, MK_U32 phys) {
    MMZ_BUF_REQ_S r{};
    r.u32PhyAddr = phys;
    return dev::Ioctl(fd, MK_MMZ_IOC_BUF_FREE, &r);
}

// A mapped block: its physical and user address, or false with nothing left allocated.
bool MakeMappedBuf(int fd, MK_U32 size, MK_U32 align, MK_U32* phys, MK_U8** vir) {
    MK_U32 p = AllocBuf(fd, size, align);
    if (p == 0) return false;
    MK_U8* v = MapBuf(fd, p);
    if (v == nullptr) {
        FreeBuf(fd, p);
        return false;
    }
    mk::jpeg::FlushCache(fd, p);
    *phys = p;
    *vir = v;
    return true;
}

// A table whose values the register layout holds (8-bit quantisers).
bool QuantFits(const JQUANT_TBL* t) {
    if (t == nullptr) return false;
    for (UINT16 q : t->quantval) {
        if (q > 0xFF) return false;
    }
    return true;
}

int SymbolCount(const JHUFF_TBL* t) {
    int n = 0;
    for (int l = 1; l <= 16; ++l) n += t->bits[l];
    return n;
}

// The hardware has one luma and one chroma table of each class, taken from slots 0 and 1 (or 0 for
// both), and the standard tables when a picture brings none or a third. A picture whose components
// select otherwise would decode wrong as if it were right.
bool HuffFits(j_decompress_ptr cinfo, JHUFF_TBL* const* tables, bool dc) {
    if (tables[2] != nullptr || tables[3] != nullptr) return false;
    if (tables[0] == nullptr && tables[1] == nullptr) return true;  // the standard tables, as the library's
    auto sel = [&](int c) { return dc ? cinfo->comp_info[c].dc_tbl_no : cinfo->comp_info[c].ac_tbl_no; };
    if (tables[0] == nullptr || sel(0) != 0) return false;
    if (cinfo->num_components >= 3) {
        const int chroma = tables[1] != nullptr ? 1 : 0;
        if (sel(1) != chroma || sel(2) != chroma) return false;
    }
    if (!dc) {
        for (int i = 0; i < 2; ++i) {
            if (tables[i] != nullptr && SymbolCount(tables[i]) > JPEG_AC_SYMBOLS) return false;
        }
    }
    return true;
}

// Tables the registers can carry as the picture means them.
bool TablesFit(j_decompress_ptr cinfo) {
    if (cinfo->quant_tbl_ptrs[0] == nullptr) return false;  // the hardware would use the standard tables
    for (int c = 0; c < cinfo->num_components && c < 3; ++c) {
        if (!QuantFits(mk::jpeg::QuantOf(cinfo, c))) return false;
    }
    return HuffFits(cinfo, cinfo->dc_huff_tbl_ptrs, true) && HuffFits(cinfo, cinfo->ac_huff_tbl_ptrs, false);
}

bool SamplingIs(const jpeg_component_info* c, int h, int v) { return c->h_samp_factor == h && c->v_samp_factor == v; }

// The picture itself: size, colour, scan and coding the hardware takes.
bool PictureFits(j_decompress_ptr cinfo, const MK_JPEG_HANDLE* h) {
    const MK_U64 w = cinfo->image_width;
    const MK_U64 hh = cinfo->image_height;
    if (w < 1 || w > MK_JPEG_MAX_SIDE || hh < 1 || hh > MK_JPEG_MAX_SIDE) return false;
    if (w * hh <= h->u32MinArea) return false;
    if (cinfo->jpeg_color_space == JCS_CMYK || cinfo->jpeg_color_space == JCS_YCCK) return false;
    const int space = mk_jpeg_out_color_space(cinfo);
    if (space == JCS_GRAYSCALE || space == JCS_YCbCr) return false;
    // CMYK and YCCK: no conversion from the hardware's YUV offers them (the library refuses them too).
    if (!h->bYuvOut && JPEG_HDEC_OutBytes(space) == 0) return false;
    if (h->u32ImageFormat > JPEGD_FMT_MAX_DECODED) return false;
    // One interleaved scan of every component.
    if (cinfo->comps_in_scan != cinfo->num_components) return false;
    if (cinfo->comps_in_scan >= 3) {
        const jpeg_component_info* const* s = cinfo->cur_comp_info;
        bool chroma12 = SamplingIs(s[1], 1, 2) && SamplingIs(s[2], 1, 2);
        if (SamplingIs(s[0], 2, 2) && chroma12) return false;
        if (h->u32ImageFormat == JPEGD_FMT_YUV444 && chroma12) return false;
    }
    if (cinfo->progressive_mode || cinfo->arith_code || cinfo->data_precision != 8) return false;
    return TablesFit(cinfo);
}

// The hardware writes the picture's plain lines at its scale code's size. Colour indices, coefficients
// kept for further passes, raw component rows, or a size the caller computed that the code does not give
// are the library's to make: into rows sized for them.
bool GivesWhatTheLibraryWould(j_decompress_ptr cinfo, const MK_JPEG_HANDLE* h) {
    if (cinfo->quantize_colors || cinfo->buffered_image || cinfo->raw_data_out) return false;
    return h->stOut.u32OutWidth == cinfo->output_width && h->stOut.u32OutHeight == cinfo->output_height;
}

}  // namespace

namespace mk::jpeg {

void FlushCache(int fd, MK_U32 phys) {
    dev::Ioctl(fd, MK_MMZ_IOC_FLUSH_ALL, reinterpret_cast<void*>(static_cast<uintptr_t>(phys)));
}

}  // namespace mk::jpeg

MK_S32 JPEG_HDEC_GetMem(j_decompress_ptr cinfo) {
    MK_JPEG_HANDLE* h = JPEG_HDEC_Handle(cinfo);
    if (h == nullptr) {
        HDEC_NULL_HANDLE();
        return MK_FAILURE;
    }
    if (h->u32CheckWord != MK_JPEG_CHECK_WORD) ERREXIT(cinfo, MK_JERR_CLIENT_DATA);
    JPEG_HDEC_CalcOutInfo(cinfo);
    if (h->u32ScaleCode > 3) return MK_JPEG_ERR_SCALE;
    const MK_JPEG_OUTDESC_S& d = h->stOutDesc;
    if (d.bCrop) {
        const MK_S64 outW = h->stOut.u32OutWidth;
        const MK_S64 outH = h->stOut.u32OutHeight;
        if (d.s32CropX < 0 || d.s32CropY < 0 || d.s32CropWidth < 1 || d.s32CropHeight < 1 ||
            static_cast<MK_S64>(d.s32CropX) + d.s32CropWidth > outW ||
            static_cast<MK_S64>(d.s32CropY) + d.s32CropHeight > outH) {
            ERREXIT(cinfo, MK_JERR_CROP);
        }
    }
    h->bReset = MK_FALSE;
    // Also asked of a start that goes on: the caller may have changed the picture's modes in between.
    if (!GivesWhatTheLibraryWould(cinfo, h)) return MK_FAILURE;
    // A picture whose source suspended keeps what it had for the start that goes on.
    if (h->bHeld) return MK_SUCCESS;
    if (h->b420 && h->u32ScaleCode == 3) return MK_FAILURE;
    if (!PictureFits(cinfo, h)) return MK_FAILURE;

    h->s32MmzFd = dev::Open("/dev/mmz_userdev", O_RDWR);
    if (h->s32MmzFd < 0) {
        std::fprintf(stderr, "open /dev/mmz_userdev failed!\n");
        return MK_FAILURE;
    }
    const int fd = h->s32MmzFd;
    if (!mk::jpeg::PhysicalStream(h)) {
        if (!MakeMappedBuf(fd, MK_JPEG_STREAM_BUF_SIZE, kStreamAlign, &h->u32OwnStreamPhyAddr,
                           &h->pu8OwnStreamVirAddr)) {
            return MK_FAILURE;
        }
        h->u32StreamBufSize = MK_JPEG_STREAM_BUF_SIZE;
    }
    const MK_JPEG_OUTINFO_S& o = h->stOut;
    if (h->bYuvOut && d.bDirect) {
        h->u32MidLumaPhyAddr = d.au32PhyAddr[0];
        h->u32MidChromaPhyAddr = d.au32PhyAddr[1];
        h->pu8MidLumaVirAddr = d.apu8VirAddr[0];
        h->pu8MidChromaVirAddr = d.apu8VirAddr[1];
    } else {
        const MK_U32 size = o.u32LumaSize + o.u32ChromaSize;
        MK_U32 phys = 0;
        MK_U8* vir = nullptr;
        if (!MakeMappedBuf(fd, size, kMidAlign, &phys, &vir)) return MK_FAILURE;
        h->bMidOwn = MK_TRUE;
        h->u32MidSize = size;
        h->u32MidLumaPhyAddr = phys;
        h->u32MidChromaPhyAddr = phys + o.u32LumaSize;
        h->pu8MidLumaVirAddr = vir;
        h->pu8MidChromaVirAddr = vir + o.u32LumaSize;
    }
    // The other outputs are converted from the middle buffer into the output buffer.
    if (!h->bYuvOut) {
        if (d.bDirect) {
            const MK_U32 stride = d.au32Stride[0] != 0 ? d.au32Stride[0] : o.u32OutStride;
            // Rows that would overlap are not a buffer the hardware path writes into.
            const MK_U64 row = static_cast<MK_U64>(JPEG_HDEC_OutBytes(mk_jpeg_out_color_space(cinfo))) *
                               static_cast<MK_U32>(d.s32CropWidth);
            if (d.apu8VirAddr[0] == nullptr || stride < row) return MK_FAILURE;
            h->u32OutPhyAddr = d.au32PhyAddr[0];
            h->pu8OutVirAddr = d.apu8VirAddr[0];
            h->u32OutBufStride = stride;
        } else {
            const MK_U32 size = o.u32OutStride * static_cast<MK_U32>(d.s32CropHeight);
            if (!MakeMappedBuf(fd, size, kOutAlign, &h->u32OutPhyAddr, &h->pu8OutVirAddr)) return MK_FAILURE;
            h->bOutOwn = MK_TRUE;
            h->u32OutSize = size;
            h->u32OutBufStride = o.u32OutStride;
        }
    }
    return MK_SUCCESS;
}

MK_VOID JPEG_HDEC_FreeMem(MK_JPEG_HANDLE* h) {
    if (h == nullptr) {
        HDEC_NULL_HANDLE();
        return;
    }
    const int fd = h->s32MmzFd;
    if (h->u32OwnStreamPhyAddr != 0) {
        if (UnmapBuf(fd, h->u32OwnStreamPhyAddr, h->pu8OwnStreamVirAddr) != 0 ||
            FreeBuf(fd, h->u32OwnStreamPhyAddr) != 0) {
            std::fprintf(stderr, "MK_GFX_Unmap or  MK_GFX_FreeMem FAILURE\n");
        } else {
            h->u32OwnStreamPhyAddr = 0;
            h->pu8OwnStreamVirAddr = nullptr;
            h->u32StreamBufSize = 0;
        }
    }
    if (h->bMidOwn) {
        if (UnmapBuf(fd, h->u32MidLumaPhyAddr, h->pu8MidLumaVirAddr) != 0) {
            std::fprintf(stderr, "MK_GFX_Unmap FAILURE\n");
        } else if (FreeBuf(fd, h->u32MidLumaPhyAddr) != 0) {
            std::fprintf(stderr, "MK_GFX_FreeMem FAILURE\n");
        } else {
            h->bMidOwn = MK_FALSE;
            h->u32MidLumaPhyAddr = h->u32MidChromaPhyAddr = 0;
            h->pu8MidLumaVirAddr = h->pu8MidChromaVirAddr = nullptr;
        }
    }
    if (h->bOutOwn) {
        if (UnmapBuf(fd, h->u32OutPhyAddr, h->pu8OutVirAddr) != 0 || FreeBuf(fd, h->u32OutPhyAddr) != 0) {
            std::fprintf(stderr, "MK_GFX_Unmap or MK_GFX_FreeMem FAILURE\n");
        } else {
            h->bOutOwn = MK_FALSE;
            h->u32OutPhyAddr = 0;
            h->pu8OutVirAddr = nullptr;
        }
    }
    if (fd >= 0) {
        dev::Close(fd);
        h->s32MmzFd = -1;
    }
}
