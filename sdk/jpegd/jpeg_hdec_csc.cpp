// After a hardware decode for an output that is not semi-planar YUV: the middle buffer's luma and Cr/Cb
// pairs, brought to full resolution as the library upsamples (its triangle filter when the caller keeps
// the library's default smoothing, else each chroma sample repeated) and turned into RGB with the
// library's own fixed-point arithmetic, so that the rows are those of a software decode. The picture
// goes into the output buffer (the caller's first component with direct output), the crop rectangle's
// rows at the output stride.
#include <algorithm>
#include <cstring>
#include <vector>

#include "sdk/jpegd/jpeg_hdec.h"
#include "sdk/jpegd/jpegd_ioctl.h"
#include "sdk/jpegd/mk_jpeg_lib.h"

namespace {

// YCbCr to RGB as the JPEG library computes it: 16-bit fractions, rounded, per chroma value.
struct YccTables {
    int crR[256], cbB[256];
    int32_t crG[256], cbG[256];
    YccTables() {
        constexpr int kBits = 16;
        constexpr int32_t kHalf = 1 << (kBits - 1);
        auto fix = [](double v) { return static_cast<int32_t>(v * (1 << kBits) + 0.5); };
        for (int i = 0; i < 256; ++i) {
            const int32_t x = i - 128;
            crR[i] = static_cast<int>((fix(1.40200) * x + kHalf) >> kBits);
            cbB[i] = static_cast<int>((fix(1.77200) * x + kHalf) >> kBits);
            crG[i] = -fix(0.71414) * x;
            cbG[i] = -fix(0.34414) * x + kHalf;
        }
    }
};

const YccTables& Ycc() {
    static const YccTables t;
    return t;
}

inline MK_U8 Clamp(int v) { return static_cast<MK_U8>(v < 0 ? 0 : v > 255 ? 255 : v); }

// One component's row brought to full width from the Cr/Cb pairs of its nearer and further rows (the
// further one only weighs with the vertical filter). `out` holds at least 2 x `samples` bytes.
void UpsampleRow(MK_U8* out, const MK_U8* near, const MK_U8* far, bool vertical, bool lower, bool horizontal,
                 bool fancy, MK_U32 samples, MK_U32 width) {
    auto at = [](const MK_U8* row, MK_U32 i) { return static_cast<int>(row[2 * i]); };
    if (!horizontal) {
        // 3/4 of the nearer row and 1/4 of the further one, or the nearer row alone.
        const int bias = lower ? 2 : 1;
        for (MK_U32 x = 0; x < width; ++x) {
            out[x] = vertical && fancy ? static_cast<MK_U8>((3 * at(near, x) + at(far, x) + bias) >> 2)
                                       : static_cast<MK_U8>(at(near, x));
        }
        return;
    }
    if (!fancy || samples <= 2) {
        for (MK_U32 x = 0; x < width; ++x) out[x] = static_cast<MK_U8>(at(near, x / 2));
        return;
    }
    const MK_U32 l = samples - 1;
    if (!vertical) {
        out[0] = static_cast<MK_U8>(at(near, 0));
        out[1] = static_cast<MK_U8>((at(near, 0) * 3 + at(near, 1) + 2) >> 2);
        for (MK_U32 i = 1; i < l; ++i) {
            const int v = at(near, i) * 3;
            out[2 * i] = static_cast<MK_U8>((v + at(near, i - 1) + 1) >> 2);
            out[2 * i + 1] = static_cast<MK_U8>((v + at(near, i + 1) + 2) >> 2);
        }
        out[2 * l] = static_cast<MK_U8>((at(near, l) * 3 + at(near, l - 1) + 1) >> 2);
        out[2 * l + 1] = static_cast<MK_U8>(at(near, l));
        return;
    }
    // Both ways: column sums of the two rows, then the horizontal filter on the sums.
    auto sum = [&](MK_U32 i) { return 3 * at(near, i) + at(far, i); };
    out[0] = static_cast<MK_U8>((sum(0) * 4 + 8) >> 4);
    out[1] = static_cast<MK_U8>((sum(0) * 3 + sum(1) + 7) >> 4);
    for (MK_U32 i = 1; i < l; ++i) {
        const int v = sum(i) * 3;
        out[2 * i] = static_cast<MK_U8>((v + sum(i - 1) + 8) >> 4);
        out[2 * i + 1] = static_cast<MK_U8>((v + sum(i + 1) + 7) >> 4);
    }
    out[2 * l] = static_cast<MK_U8>((sum(l) * 3 + sum(l - 1) + 8) >> 4);
    out[2 * l + 1] = static_cast<MK_U8>((sum(l) * 4 + 7) >> 4);
}

// One pixel in the output space's byte order.
inline void Pack(MK_U8* p, int space, MK_U8 r, MK_U8 g, MK_U8 b) {
    MK_U32 w = 0;
    switch (space) {
        case JCS_RGB:
        case MK_JCS_BGR888:
            p[0] = r, p[1] = g, p[2] = b;
            return;
        case MK_JCS_RGB888: p[0] = b, p[1] = g, p[2] = r; return;
        case MK_JCS_ARGB8888: p[0] = b, p[1] = g, p[2] = r, p[3] = 0xFF; return;
        case MK_JCS_ABGR8888: p[0] = r, p[1] = g, p[2] = b, p[3] = 0xFF; return;
        case MK_JCS_ARGB1555: w = 0x8000u | (r >> 3) << 10 | (g >> 3) << 5 | (b >> 3); break;
        case MK_JCS_ABGR1555: w = 0x8000u | (b >> 3) << 10 | (g >> 3) << 5 | (r >> 3); break;
        case MK_JCS_RGB565: w = (r >> 3) << 11 | (g >> 2) << 5 | (b >> 3); break;
        case MK_JCS_BGR565: w = (b >> 3) << 11 | (g >> 2) << 5 | (r >> 3); break;
        default: return;
    }
    p[0] = static_cast<MK_U8>(w);
    p[1] = static_cast<MK_U8>(w >> 8);
}

}  // namespace

MK_U32 JPEG_HDEC_OutBytes(int space) {
    switch (space) {
        case JCS_RGB: case MK_JCS_RGB888: case MK_JCS_BGR888: return 3;
        case MK_JCS_ARGB8888: case MK_JCS_ABGR8888: return 4;
        case MK_JCS_ARGB1555: case MK_JCS_ABGR1555: case MK_JCS_RGB565: case MK_JCS_BGR565: return 2;
        default: return 0;
    }
}

MK_VOID JPEG_HDEC_ConvertOut(j_decompress_ptr cinfo) {
    MK_JPEG_HANDLE* h = JPEG_HDEC_Handle(cinfo);
    if (h == nullptr || h->pu8OutVirAddr == nullptr || h->pu8MidLumaVirAddr == nullptr) return;
    const int space = mk_jpeg_out_color_space(cinfo);
    const MK_U32 bytes = JPEG_HDEC_OutBytes(space);
    const MK_JPEG_OUTINFO_S& o = h->stOut;
    const MK_JPEG_OUTDESC_S& d = h->stOutDesc;
    const MK_U32 width = o.u32OutWidth, height = o.u32OutHeight;
    const MK_U32 cx = static_cast<MK_U32>(d.s32CropX), cy = static_cast<MK_U32>(d.s32CropY);
    const MK_U32 cw = static_cast<MK_U32>(d.s32CropWidth), ch = static_cast<MK_U32>(d.s32CropHeight);
    const bool grey = h->u32ImageFormat == JPEGD_FMT_YUV400;
    // The chroma's subsampling in the middle buffer, as the hardware wrote it.
    static const MK_U32 kSx[5] = {1, 2, 2, 1, 1}, kSy[5] = {1, 2, 1, 2, 1};
    const MK_U32 fmt = std::min<MK_U32>(h->u32ImageFormat, JPEGD_FMT_YUV444);
    const MK_U32 sx = h->b420 ? 2 : kSx[fmt], sy = h->b420 ? 2 : kSy[fmt];
    const MK_U32 samples = (width + sx - 1) / sx, rows = (height + sy - 1) / sy;
    const bool fancy = cinfo->do_fancy_upsampling != FALSE;
    const YccTables& t = Ycc();
    std::vector<MK_U8> cb(2 * samples + width), cr(2 * samples + width);
    for (MK_U32 y = cy; y < cy + ch; ++y) {
        const MK_U8* luma = h->pu8MidLumaVirAddr + static_cast<size_t>(y) * o.u32LumaStride;
        MK_U8* out = h->pu8OutVirAddr + static_cast<size_t>(y - cy) * h->u32OutBufStride;
        if (grey) {
            for (MK_U32 x = cx; x < cx + cw; ++x) Pack(out + (x - cx) * bytes, space, luma[x], luma[x], luma[x]);
            continue;
        }
        const MK_U32 r = y / sy;
        // The further row: above for the upper of two output rows, below for the lower, the edge row
        // repeated at the picture's edges.
        const bool lower = sy == 2 && (y & 1) != 0;
        const MK_U32 farRow = sy == 1 ? r : lower ? std::min(r + 1, rows - 1) : (r == 0 ? 0 : r - 1);
        const MK_U8* near = h->pu8MidChromaVirAddr + static_cast<size_t>(r) * o.u32ChromaStride;
        const MK_U8* far = h->pu8MidChromaVirAddr + static_cast<size_t>(farRow) * o.u32ChromaStride;
        UpsampleRow(cr.data(), near, far, sy == 2, lower, sx == 2, fancy, samples, width);
        UpsampleRow(cb.data(), near + 1, far + 1, sy == 2, lower, sx == 2, fancy, samples, width);
        for (MK_U32 x = cx; x < cx + cw; ++x) {
            const int yv = luma[x];
            const MK_U8 red = Clamp(yv + t.crR[cr[x]]);
            const MK_U8 green = Clamp(yv + static_cast<int>((t.cbG[cb[x]] + t.crG[cr[x]]) >> 16));
            const MK_U8 blue = Clamp(yv + t.cbB[cb[x]]);
            Pack(out + (x - cx) * bytes, space, red, green, blue);
        }
    }
}
