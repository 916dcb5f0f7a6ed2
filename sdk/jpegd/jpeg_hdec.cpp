// The decoder handle: its life, the output size rules and the setters the decode channels use.
#include "sdk/jpegd/jpeg_hdec.h"

#include <algorithm>
#include <new>

#include "sdk/jpegd/jpegd_ioctl.h"
#include "sdk/jpegd/mk_jpeg_lib.h"

namespace {

MK_U32 Align(MK_U32 v, MK_U32 a) { return (v + a - 1) / a * a; }
MK_U32 Even(MK_U32 v) { return (v + 1) & ~1u; }

void InitHandle(MK_JPEG_HANDLE* h) {
    *h = MK_JPEG_HANDLE{};
    h->bHardEnabled = MK_TRUE;
    h->u32StrideAlign = 16;
    h->u32CheckWord = MK_JPEG_CHECK_WORD;
    h->s32DevFd = -1;
    h->s32MmzFd = -1;
    h->u32ImageFormat = JPEGD_FMT_OTHER;
}

// The scale code lowered to the first one that gives the same output (step "first code" of the rule).
MK_U32 FirstCode(MK_U32 w, MK_U32 h, MK_U32 outW, MK_U32 outH, MK_U32 code) {
    MK_U32 first = code;
    for (MK_U32 k = 0; k <= 3; ++k) {
        if (JPEG_HDEC_ScaleSize(w, k) == outW) {
            first = k;
            break;
        }
    }
    if (first < 3 && JPEG_HDEC_ScaleSize(w, first + 1) == outW) {
        for (MK_U32 k = 0; k <= 3; ++k) {
            if (JPEG_HDEC_ScaleSize(h, k) == outH) return k;
        }
    }
    return first;
}

}  // namespace

MK_U32 JPEG_HDEC_ScaleCode(unsigned n, unsigned d) {
    if (d >= 8u * n) return 3;
    if (d >= 4u * n) return 2;
    if (d >= 2u * n) return 1;
    if (d == n) return 0;
    return 4;
}

MK_S32 JPEG_HDEC_CreateHandle(j_decompress_ptr cinfo) {
    auto* h = new (std::nothrow) MK_JPEG_HANDLE;
    if (h == nullptr) return MK_JPEG_ERR_NOMEM;
    InitHandle(h);
    cinfo->client_data = h;
    return MK_SUCCESS;
}

MK_VOID JPEG_HDEC_DestroyHandle(j_decompress_ptr cinfo) {
    MK_JPEG_HANDLE* h = JPEG_HDEC_Handle(cinfo);
    if (h == nullptr) return;
    if (!h->bReset) JPEG_HDEC_FreeMem(h);
    JPEG_HDEC_HandBackLookAhead(cinfo, MK_TRUE);
    delete h;
    cinfo->client_data = nullptr;
}

MK_VOID JPEG_HDEC_ResetHandle(j_decompress_ptr cinfo) {
    MK_JPEG_HANDLE* h = JPEG_HDEC_Handle(cinfo);
    if (h == nullptr) return;
    if (!h->bReset) JPEG_HDEC_FreeMem(h);
    // What was read ahead may hold the start of the next picture, still to be read.
    JPEG_HDEC_HandBackLookAhead(cinfo, MK_FALSE);
    MK_U8* ahead = h->pu8LookAhead;
    const size_t size = h->uLookAheadSize;
    const MK_U8* chunkEnd = h->pu8SourceChunkEnd;
    const size_t chunkLen = h->uSourceChunkLen;
    InitHandle(h);
    h->pu8LookAhead = ahead;
    h->uLookAheadSize = size;
    h->pu8SourceChunkEnd = chunkEnd;
    h->uSourceChunkLen = chunkLen;
    h->bReset = MK_TRUE;
}

MK_VOID JPEG_HDEC_CalcOutInfo(j_decompress_ptr cinfo) {
    MK_JPEG_HANDLE* h = JPEG_HDEC_Handle(cinfo);
    if (h == nullptr || h->bOutInfoValid) return;
    const int space = mk_jpeg_out_color_space(cinfo);
    h->bYuvOut = MkJpegIsYuvSpace(space) ? MK_TRUE : MK_FALSE;
    const MK_U32 W = cinfo->image_width;
    const MK_U32 H = cinfo->image_height;
    MK_U32 code = JPEG_HDEC_ScaleCode(cinfo->scale_num, cinfo->scale_denom);
    h->u32ScaleCode = code;
    if (code > 3) return;  // not supported: the sizes stay unknown
    MK_U32 w = JPEG_HDEC_ScaleSize(W, code);
    MK_U32 hh = JPEG_HDEC_ScaleSize(H, code);
    code = FirstCode(W, H, w, hh, code);
    while ((w >= 4096 || hh >= 4096) && !h->bYuvOut && code < 3) {
        ++code;
        w = JPEG_HDEC_ScaleSize(W, code);
        hh = JPEG_HDEC_ScaleSize(H, code);
    }
    h->u32ScaleCode = code;

    const MK_U32 mcuW = h->au8Sampling[0] == 1 ? 8 : 16;
    const MK_U32 mcuH = h->au8Sampling[1] == 1 ? 8 : 16;
    const MK_U32 a64 = Align(w, 64);
    const MK_U32 aw = Align(w, mcuW);
    const MK_U32 ah = Align(hh, mcuH);
    MK_JPEG_OUTINFO_S& o = h->stOut;
    o = MK_JPEG_OUTINFO_S{};
    o.u32LumaWidth = std::max<MK_U32>(w, 2);
    o.u32LumaHeight = std::max<MK_U32>(hh, 2);
    o.u32LumaStride = a64;
    o.u32LumaSize = a64 * ah;
    const MK_U32 fmt = h->u32ImageFormat;
    if (fmt == JPEGD_FMT_YUV400) {
        // No chroma.
    } else if (h->b420 || fmt == JPEGD_FMT_YUV420) {
        o.u32LumaWidth = Even(o.u32LumaWidth);
        o.u32LumaHeight = Even(o.u32LumaHeight);
        o.u32ChromaWidth = o.u32LumaWidth / 2;
        o.u32ChromaHeight = o.u32LumaHeight / 2;
        o.u32ChromaStride = a64;
        o.u32ChromaSize = a64 * ah / 2;
    } else if (fmt == JPEGD_FMT_YUV422_21) {
        o.u32LumaWidth = Even(o.u32LumaWidth);
        o.u32ChromaWidth = o.u32LumaWidth / 2;
        o.u32ChromaHeight = o.u32LumaHeight;
        o.u32ChromaStride = a64;
        o.u32ChromaSize = a64 * ah;
    } else if (fmt == JPEGD_FMT_YUV422_12) {
        o.u32LumaHeight = Even(o.u32LumaHeight);
        o.u32ChromaWidth = o.u32LumaWidth;
        o.u32ChromaHeight = o.u32LumaHeight / 2;
        o.u32ChromaStride = 2 * a64;
        o.u32ChromaSize = 2 * a64 * ah / 2;
    } else {
        o.u32ChromaWidth = o.u32LumaWidth;
        o.u32ChromaHeight = o.u32LumaHeight;
        o.u32ChromaStride = 2 * a64;
        o.u32ChromaSize = 2 * a64 * ah;
    }

    MK_JPEG_OUTDESC_S& d = h->stOutDesc;
    if (!d.bCrop) {
        d.s32CropX = 0;
        d.s32CropY = 0;
        d.s32CropWidth = static_cast<MK_S32>(w);
        d.s32CropHeight = static_cast<MK_S32>(hh);
    }
    const MK_U32 c = static_cast<MK_U32>(std::max(d.s32CropWidth, 0));
    switch (space) {
        case JCS_RGB: case JCS_YCbCr: case 6: case 7:
            o.u32OutStride = Align(3 * c, 16);
            o.u32AlignedLine = 3 * aw;
            break;
        case JCS_CMYK: case 8: case 9:
            o.u32OutStride = Align(4 * c, 16);
            o.u32AlignedLine = 4 * aw;
            break;
        case 10: case 11: case 12: case 13:
            o.u32OutStride = Align(2 * c, 16);
            o.u32AlignedLine = 2 * aw;
            break;
        default:
            o.u32OutStride = Align(2 * c, 16);
            o.u32AlignedLine = a64;
            break;
    }
    o.u32OutWidth = w;
    o.u32OutHeight = hh;
    o.u32AlignedWidth = Align(W, mcuW) >> code;
    o.u32AlignedHeight = Align(H, mcuH) >> code;
    o.u32McuCounts = ((W + mcuW - 1) / mcuW) | (((H + mcuH - 1) / mcuH) << 16);
    h->bOutInfoValid = MK_TRUE;
}

MK_S32 JPEG_HDEC_GetImageInfo(j_decompress_ptr cinfo, MK_JPEG_IMAGEINFO_S* pstInfo) {
    MK_JPEG_HANDLE* h = JPEG_HDEC_Handle(cinfo);
    if (h == nullptr || pstInfo == nullptr) return MK_FAILURE;
    MK_U32* w = pstInfo->au32Word;
    if (w[MK_JPEG_INFO_CALC_OUTPUT] == 0) {
        *pstInfo = MK_JPEG_IMAGEINFO_S{};
        w[MK_JPEG_INFO_WIDTH] = cinfo->image_width;
        w[MK_JPEG_INFO_HEIGHT] = cinfo->image_height;
        w[MK_JPEG_INFO_FORMAT] = h->u32ImageFormat;
        return MK_SUCCESS;
    }
    JPEG_HDEC_CalcOutInfo(cinfo);
    const MK_JPEG_OUTINFO_S& o = h->stOut;
    const int space = mk_jpeg_out_color_space(cinfo);
    if (MkJpegIsYuvSpace(space)) {
        w[MK_JPEG_INFO_WIDTH] = o.u32LumaWidth;
        w[MK_JPEG_INFO_CHROMA_WIDTH] = o.u32ChromaWidth;
        w[MK_JPEG_INFO_HEIGHT] = o.u32LumaHeight;
        w[MK_JPEG_INFO_CHROMA_HEIGHT] = o.u32ChromaHeight;
        w[MK_JPEG_INFO_STRIDE] = o.u32LumaStride;
        w[MK_JPEG_INFO_CHROMA_STRIDE] = o.u32ChromaStride;
        w[MK_JPEG_INFO_SIZE] = o.u32LumaSize;
        w[MK_JPEG_INFO_CHROMA_SIZE] = o.u32ChromaSize;
    } else if ((space >= JCS_GRAYSCALE && space <= JCS_CMYK) || (space >= 6 && space <= 13)) {
        w[MK_JPEG_INFO_WIDTH] = o.u32OutWidth;
        w[MK_JPEG_INFO_HEIGHT] = o.u32OutHeight;
        w[MK_JPEG_INFO_STRIDE] = o.u32OutStride;
        w[MK_JPEG_INFO_SIZE] = o.u32OutStride * o.u32OutHeight;
    }
    w[MK_JPEG_INFO_ALIGNED_WIDTH] = o.u32AlignedWidth;
    w[MK_JPEG_INFO_ALIGNED_HEIGHT] = o.u32AlignedHeight;
    w[MK_JPEG_INFO_LINE] = o.u32AlignedLine;
    w[MK_JPEG_INFO_ALIGNED_SIZE] = o.u32AlignedHeight * o.u32AlignedLine;
    return MK_SUCCESS;
}

MK_S32 MK_JPEG_SetOutDesc(j_decompress_ptr cinfo, const MK_JPEG_OUTDESC_S* pstDesc) {
    MK_JPEG_HANDLE* h = JPEG_HDEC_Handle(cinfo);
    if (h == nullptr || pstDesc == nullptr) return MK_FAILURE;
    if (pstDesc->bCrop && (pstDesc->s32CropWidth < 1 || pstDesc->s32CropHeight < 1)) return MK_FAILURE;
    h->stOutDesc = *pstDesc;
    h->bOutDescSet = MK_TRUE;
    return MK_SUCCESS;
}

MK_S32 JPEG_HDEC_SetStreamBuf(j_decompress_ptr cinfo, MK_U32 u32PhyAddr) {
    MK_JPEG_HANDLE* h = JPEG_HDEC_Handle(cinfo);
    if (h == nullptr || u32PhyAddr == 0) return MK_FAILURE;
    h->u32StreamPhyAddr = u32PhyAddr;
    h->bStreamBufSet = MK_TRUE;
    return MK_SUCCESS;
}

MK_S32 MK_JPEG_SetBufInfo(j_decompress_ptr cinfo, MK_U32 u32WorkPhyAddr, MK_U32 u32WorkLen,
                          const MK_U8* pu8SecondVirAddr, MK_U32 u32SecondLen, MK_BOOL bTwoPart) {
    MK_JPEG_HANDLE* h = JPEG_HDEC_Handle(cinfo);
    if (h == nullptr || u32WorkPhyAddr == 0) return MK_FAILURE;
    h->u32WorkPhyAddr = u32WorkPhyAddr;
    h->u32WorkLen = u32WorkLen;
    h->pu8SecondVirAddr = pu8SecondVirAddr;
    h->u32SecondLen = u32SecondLen;
    h->bTwoPart = bTwoPart ? MK_TRUE : MK_FALSE;
    return MK_SUCCESS;
}

MK_VOID JPEG_HDEC_SetFlagA(j_decompress_ptr cinfo, MK_BOOL bValue) {
    if (MK_JPEG_HANDLE* h = JPEG_HDEC_Handle(cinfo)) h->b420 = bValue;
}

MK_VOID JPEG_HDEC_SetFlagB(j_decompress_ptr cinfo, MK_BOOL bValue) {
    if (MK_JPEG_HANDLE* h = JPEG_HDEC_Handle(cinfo)) h->bResultWords = bValue;
}

MK_S32 JPEG_HDEC_GetPair(j_decompress_ptr cinfo, MK_U32* pu32Pair) {
    MK_JPEG_HANDLE* h = JPEG_HDEC_Handle(cinfo);
    if (h == nullptr || pu32Pair == nullptr) return MK_FAILURE;
    if (h->bResultWords) {
        pu32Pair[0] = h->au32Result[0];
        pu32Pair[1] = h->au32Result[1];
    }
    return MK_SUCCESS;
}

MK_VOID JPEG_HDEC_WriteReg(volatile MK_U32* pu32Regs, MK_U32 u32Offset, MK_U32 u32Value) {
    if (pu32Regs == nullptr || u32Offset >= JPEG_REG_WINDOW_SIZE) return;
    pu32Regs[u32Offset / 4] = u32Value;
}

MK_U32 JPEG_HDEC_ReadReg(const volatile MK_U32* pu32Regs, MK_U32 u32Offset) {
    if (pu32Regs == nullptr || u32Offset >= JPEG_REG_WINDOW_SIZE) return 0xFFFFFFFFu;
    return pu32Regs[u32Offset / 4];
}

MK_VOID JPEG_HDEC_CopyToRegs(volatile MK_U32* pu32Regs, MK_U32 u32Offset, const MK_U32* pu32Words, MK_U32 u32Count) {
    for (MK_U32 i = 0; i < u32Count; ++i) JPEG_HDEC_WriteReg(pu32Regs, u32Offset + 4 * i, pu32Words[i]);
}
