// The decoder device: open and close, programming the register window from the picture's tables and
// parameters, feeding the stream and waiting for the end.
#include <fcntl.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <jerror.h>

#include "platform/dev/dev.h"
#include "sdk/jpegd/internal/jpeg_internal.h"
#include "sdk/jpegd/jpeg_hdec.h"
#include "sdk/jpegd/jpegd_ioctl.h"
#include "sdk/jpegd/mk_jpeg_lib.h"

namespace dev = varnelle::dev;
namespace jpeg = mk::jpeg;

namespace {

constexpr int kDevFlags = O_RDWR | O_DSYNC;  // 0x1002

// The standard Huffman tables (JPEG Annex K.3): code counts per length 1 to 16, then the symbols.
const UINT8 kStdDcLumaBits[17] = {0, 0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
const UINT8 kStdDcChromaBits[17] = {0, 0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
const UINT8 kStdDcVals[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
const UINT8 kStdAcLumaBits[17] = {0, 0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d};
const UINT8 kStdAcLumaVals[162] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61, 0x07, 0x22, 0x71,
    0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52, 0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72,
    0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37,
    0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59,
    0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
    0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a, 0xa2, 0xa3,
    0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3,
    0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2,
    0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};
const UINT8 kStdAcChromaBits[17] = {0, 0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77};
const UINT8 kStdAcChromaVals[162] = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61, 0x71, 0x13, 0x22,
    0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33, 0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1,
    0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18, 0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36,
    0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58,
    0x59, 0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a,
    0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a,
    0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba,
    0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda,
    0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};

// A Huffman table as counts and symbols, whether the picture's or a standard one.
struct Huff {
    const UINT8* bits;  // [17], bits[l] codes of length l
    const UINT8* vals;
};

Huff Of(const JHUFF_TBL* t) { return Huff{t->bits, t->huffval}; }

int Count(const Huff& t) {
    int n = 0;
    for (int l = 1; l <= 16; ++l) n += t.bits[l];
    return n;
}

// The luma and chroma tables of one class: slots 0 and 1 (or 0 for both); the standard tables when the
// picture has none or a third.
void PickTables(JHUFF_TBL* const* slots, const UINT8* stdLumaBits, const UINT8* stdLumaVals,
                const UINT8* stdChromaBits, const UINT8* stdChromaVals, Huff* luma, Huff* chroma) {
    if (slots[0] == nullptr || slots[2] != nullptr) {
        *luma = Huff{stdLumaBits, stdLumaVals};
        *chroma = Huff{stdChromaBits, stdChromaVals};
        return;
    }
    *luma = Of(slots[0]);
    *chroma = Of(slots[1] != nullptr ? slots[1] : slots[0]);
}

// Code and length of each DC category (JPEG Annex C); false for a symbol no DC category has.
bool DcCodes(const Huff& t, MK_U32 code[12], MK_U32 len[12]) {
    std::memset(code, 0, 12 * sizeof(MK_U32));
    std::memset(len, 0, 12 * sizeof(MK_U32));
    MK_U32 c = 0;
    int k = 0;
    for (int l = 1; l <= 16; ++l) {
        for (int i = 0; i < t.bits[l]; ++i, ++k, ++c) {
            const UINT8 sym = t.vals[k];
            if (sym > 11) return false;
            code[sym] = c;
            len[sym] = static_cast<MK_U32>(l);
        }
        c <<= 1;
    }
    return true;
}

// First code of each length (0xFF beyond the longest) and the index of its first symbol less that code.
void AcFirstOffset(const Huff& t, MK_U32 first[17], MK_U32 offset[17]) {
    int longest = 0;
    for (int l = 1; l <= 16; ++l) {
        if (t.bits[l] != 0) longest = l;
    }
    MK_U32 f = 0;
    MK_U32 index = 0;
    for (int l = 1; l <= 16; ++l) {
        if (l > 1) f = (f + t.bits[l - 1]) * 2;
        first[l] = l > longest ? 0xFF : f;
        offset[l] = t.bits[l] != 0 ? index - f : 0;
        index += t.bits[l];
    }
}

void ProgramQuant(j_decompress_ptr cinfo, volatile MK_U32* regs) {
    const JQUANT_TBL* q[3] = {};
    for (int c = 0; c < cinfo->num_components && c < 3; ++c) q[c] = jpeg::QuantOf(cinfo, c);
    if (q[0] == nullptr) ERREXIT1(cinfo, JERR_NO_QUANT_TABLE, cinfo->comp_info[0].quant_tbl_no);
    if (q[1] == nullptr) q[1] = q[0];
    if (q[2] == nullptr) q[2] = q[1];
    MK_U32 words[DCTSIZE2];
    for (int i = 0; i < DCTSIZE2; ++i) {
        words[i] = (q[0]->quantval[i] & 0xFFu) | (q[1]->quantval[i] & 0xFFu) << 8 | (q[2]->quantval[i] & 0xFFu) << 16;
    }
    JPEG_HDEC_CopyToRegs(regs, JPEG_REG_QUANT, words, DCTSIZE2);
}

void ProgramDc(j_decompress_ptr cinfo, volatile MK_U32* regs) {
    Huff luma, chroma;
    PickTables(cinfo->dc_huff_tbl_ptrs, kStdDcLumaBits, kStdDcVals, kStdDcChromaBits, kStdDcVals, &luma, &chroma);
    MK_U32 lc[12], ll[12], cc[12], cl[12];
    if (!DcCodes(luma, lc, ll) || !DcCodes(chroma, cc, cl)) ERREXIT(cinfo, JERR_BAD_HUFF_TABLE);
    MK_U32 words[12];
    for (int cat = 0; cat < 12; ++cat) {
        words[cat] = (lc[cat] & 0xFF) | (ll[cat] & 0xF) << 8 | (cc[cat] & 0xFF) << 12 | (cl[cat] & 0xF) << 20;
    }
    JPEG_HDEC_CopyToRegs(regs, JPEG_REG_DC_HUFF, words, 12);
}

void ProgramAc(j_decompress_ptr cinfo, volatile MK_U32* regs) {
    Huff luma, chroma;
    PickTables(cinfo->ac_huff_tbl_ptrs, kStdAcLumaBits, kStdAcLumaVals, kStdAcChromaBits, kStdAcChromaVals, &luma,
               &chroma);
    MK_U32 symbols[JPEG_AC_SYMBOLS] = {};
    const int nl = Count(luma);
    const int nc = Count(chroma);
    for (int k = 0; k < JPEG_AC_SYMBOLS; ++k) {
        MK_U32 w = 0;
        if (k < nl) w |= luma.vals[k];
        if (k < nc) w |= static_cast<MK_U32>(chroma.vals[k]) << 8;
        symbols[k] = w;
    }
    JPEG_HDEC_CopyToRegs(regs, JPEG_REG_AC_SYMBOL, symbols, JPEG_AC_SYMBOLS);
    MK_U32 lf[17], lo[17], cf[17], co[17];
    AcFirstOffset(luma, lf, lo);
    AcFirstOffset(chroma, cf, co);
    MK_U32 first[8], offset[8];
    for (int i = 0; i < 8; ++i) {
        const int a = 2 * i + 1, b = 2 * i + 2;
        first[i] = (lf[a] & 0xFF) | (lf[b] & 0xFF) << 8 | (cf[a] & 0xFF) << 16 | (cf[b] & 0xFF) << 24;
        offset[i] = (lo[a] & 0xFF) | (lo[b] & 0xFF) << 8 | (co[a] & 0xFF) << 16 | (co[b] & 0xFF) << 24;
    }
    JPEG_HDEC_CopyToRegs(regs, JPEG_REG_AC_FIRST, first, 8);
    JPEG_HDEC_CopyToRegs(regs, JPEG_REG_AC_OFFSET, offset, 8);
}

// The decoder's answer to the wait: 3 (error) when the request itself fails.
MK_U32 Wait(const MK_JPEG_HANDLE* h) {
    JPEG_WAIT_S w{0, 10000};
    MK_U32 result = JPEG_WAIT_ERROR;
    if (dev::Ioctl(h->s32DevFd, MK_JPEG_IOC_WAIT, &w) == 0) result = w.u32Result;
    return result;
}

// One piece of stream into the stream buffer: its length, and whether it is the last.
struct Piece {
    size_t len;
    bool last;
};

bool StartsWithEoi(const MK_U8* p, size_t n) { return n >= 2 && p[0] == 0xFF && p[1] == 0xD9; }

// The registers carry no restart interval: the block takes it from where the first restart marker
// stands, and data of a picture whose interval is shorter than itself but that holds no marker (they
// were lost) would decode there as one interval, wrongly, as if it were right. Such a picture is left
// to software, which knows the interval; so is one whose first marker lies past the first piece.
bool NeedsRestartMarker(j_decompress_ptr cinfo, const MK_JPEG_HANDLE* h) {
    const MK_U32 mcus = h->stOut.u32McuCounts;
    return cinfo->restart_interval != 0 && cinfo->restart_interval < static_cast<MK_U64>(mcus & 0xFFFF) * (mcus >> 16);
}

bool IsRestartMarker(int marker) { return (marker & 0xF8) == 0xD0; }

// The first marker in bytes of entropy-coded data: the byte after its 0xFF, or 0 when there is none
// (0xFF then 0 is a coded 0xFF, 0xFF then 0xFF a fill byte).
int FirstMarker(const MK_U8* p, size_t n) {
    if (n < 2) return 0;
    const MK_U8* end = p + n;
    for (; (p = static_cast<const MK_U8*>(std::memchr(p, 0xFF, static_cast<size_t>(end - p)))) != nullptr;
         ++p) {
        if (p + 1 < end && p[1] != 0 && p[1] != 0xFF) return p[1];
    }
    return 0;
}

// Whether the first marker in bytes of entropy-coded data is a restart marker. Any other ends the
// picture's data (its end marker or, when that was lost, the next picture's start): a memory piece runs
// on past it into whatever the buffer holds next, whose markers are not the picture's.
bool HoldsRestartMarker(const MK_U8* p, size_t n) { return IsRestartMarker(FirstMarker(p, n)); }

// The same over the memory stream from `pos` on, both parts and the seam between them.
bool StreamHoldsRestartMarker(j_decompress_ptr cinfo, MK_U64 pos) {
    MK_U8 chunk[1 + jpeg::kMemChunk] = {};  // the last byte of the chunk before, then the chunk
    for (size_t n; (n = jpeg::MemStreamCopy(cinfo, pos, chunk + 1, jpeg::kMemChunk)) != 0; pos += n) {
        if (const int marker = FirstMarker(chunk, 1 + n); marker != 0) return IsRestartMarker(marker);
        chunk[0] = chunk[n];
    }
    return false;
}

// Whether the source's next byte lies in the look-ahead (or just past its end, nothing left).
bool ReadsLookAhead(const jpeg_source_mgr* src, const MK_JPEG_HANDLE* h) {
    if (src == nullptr || h->pu8LookAhead == nullptr) return false;
    const auto at = reinterpret_cast<uintptr_t>(src->next_input_byte);
    const auto start = reinterpret_cast<uintptr_t>(h->pu8LookAhead);
    return at >= start && at <= start + h->uLookAheadSize;
}

// Appends the source's buffer to the first `n` bytes of the look-ahead and takes it from the source:
// the look-ahead's new length. It grows by doubling up to `cap`, then by what the last chunk needs.
size_t TakeIntoLookAhead(j_decompress_ptr cinfo, MK_JPEG_HANDLE* h, size_t n, size_t cap) {
    jpeg_source_mgr* src = cinfo->src;
    const size_t add = src->bytes_in_buffer;
    if (add == 0) return n;
    if (!ReadsLookAhead(src, h)) {
        h->pu8SourceChunkEnd = src->next_input_byte + add;
        h->uSourceChunkLen = add;
    }
    // The source may still be reading what was read ahead of the picture before (n is 0 then): it fits
    // where it is and moves to the front.
    if (n + add > h->uLookAheadSize) {
        const size_t size = std::max(n + add, std::min(2 * h->uLookAheadSize, cap));
        void* grown = std::realloc(h->pu8LookAhead, size);
        if (grown == nullptr) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 0);
        h->pu8LookAhead = static_cast<MK_U8*>(grown);
        h->uLookAheadSize = size;
    }
    std::memmove(h->pu8LookAhead + n, src->next_input_byte, add);
    src->next_input_byte += add;
    src->bytes_in_buffer = 0;
    return n + add;
}

enum class Restart { kFound, kNone, kSuspended };

// Whether the first piece that a source of the caller's own would give holds a restart marker before
// any other. Such a source cannot be wound back, so this is found before the decoder takes anything:
// its buffer may tell alone; otherwise its chunks go into the look-ahead as its fill routine overwrites
// them, and the look-ahead is handed back to it, so that whichever decoder goes on reads the same bytes.
// A suspension tells nothing: what came is held, and the next start goes on looking from there.
Restart OtherSourceHoldsRestartMarker(j_decompress_ptr cinfo, MK_JPEG_HANDLE* h) {
    jpeg_source_mgr* src = cinfo->src;
    const size_t cap = h->u32StreamBufSize;
    size_t n = h->bHeld ? h->uHeldLen : 0;
    h->bHeld = MK_FALSE;
    int marker = 0;
    if (n == 0) {
        const size_t have = src->bytes_in_buffer;
        marker = FirstMarker(src->next_input_byte, std::min(have, cap));
        if (marker != 0 || have >= cap) return IsRestartMarker(marker) ? Restart::kFound : Restart::kNone;
    }
    for (;;) {
        const size_t from = n == 0 ? 0 : n - 1;  // a marker may stand on the seam of two chunks
        n = TakeIntoLookAhead(cinfo, h, n, cap);
        marker = FirstMarker(h->pu8LookAhead + from, std::min(n, cap) - from);
        if (marker != 0 || n >= cap) break;
        if (!(*src->fill_input_buffer)(cinfo)) {
            h->bHeld = MK_TRUE;
            h->uHeldLen = n;
            return Restart::kSuspended;
        }
    }
    src->next_input_byte = h->pu8LookAhead;
    src->bytes_in_buffer = n;
    return IsRestartMarker(marker) ? Restart::kFound : Restart::kNone;
}

// Feeds pieces made by `next` through the stream buffer until the decoder is done: 0, or -1 (also when
// the first piece lacks the restart marker the picture needs).
template <typename Next>
int FeedPieces(MK_JPEG_HANDLE* h, bool needsMarker, Next next) {
    volatile MK_U32* regs = h->pu32Regs;
    for (int piece = 0;; ++piece) {
        const Piece p = next(h->pu8OwnStreamVirAddr, static_cast<size_t>(h->u32StreamBufSize));
        if (piece == 0 && needsMarker && !HoldsRestartMarker(h->pu8OwnStreamVirAddr, p.len)) return -1;
        jpeg::FlushCache(h->s32MmzFd, h->u32OwnStreamPhyAddr);
        JPEG_HDEC_WriteReg(regs, JPEG_REG_DATA_START, h->u32OwnStreamPhyAddr);
        JPEG_HDEC_WriteReg(regs, JPEG_REG_DATA_END, h->u32OwnStreamPhyAddr + static_cast<MK_U32>(p.len));
        if (piece == 0) {
            JPEG_HDEC_WriteReg(regs, JPEG_REG_MODE, p.last ? JPEG_MODE_WHOLE : JPEG_MODE_FIRST);
            JPEG_HDEC_WriteReg(regs, JPEG_REG_START, 1);
        } else {
            JPEG_HDEC_WriteReg(regs, JPEG_REG_MODE, p.last ? JPEG_MODE_LAST : JPEG_MODE_NEXT);
        }
        const MK_U32 result = Wait(h);
        if (result == JPEG_WAIT_DONE) return 0;
        if (result != JPEG_WAIT_MORE || p.last) return -1;
    }
}

int FeedPhysical(j_decompress_ptr cinfo, MK_JPEG_HANDLE* h) {
    const MK_U64 pos = jpeg::MemPosition(cinfo, h);
    if (NeedsRestartMarker(cinfo, h) && !StreamHoldsRestartMarker(cinfo, pos)) return -1;
    const MK_U64 first = h->u64StreamLen;
    MK_U32 start, end;
    if (!h->bTwoPart) {
        start = h->u32StreamPhyAddr + static_cast<MK_U32>(pos);
        end = h->u32StreamPhyAddr + static_cast<MK_U32>(first);
    } else {
        // The second part starts at the working buffer's start, where the hardware wraps.
        start = h->u64Delivered <= first ? h->u32StreamPhyAddr + static_cast<MK_U32>(pos)
                                         : h->u32WorkPhyAddr + static_cast<MK_U32>(pos - first);
        end = h->u32WorkPhyAddr + h->u32SecondLen;
    }
    volatile MK_U32* regs = h->pu32Regs;
    JPEG_HDEC_WriteReg(regs, JPEG_REG_DATA_START, start);
    JPEG_HDEC_WriteReg(regs, JPEG_REG_DATA_END, end);
    JPEG_HDEC_WriteReg(regs, JPEG_REG_MODE, JPEG_MODE_WHOLE);
    JPEG_HDEC_WriteReg(regs, JPEG_REG_START, 1);
    return Wait(h) == JPEG_WAIT_DONE ? 0 : -1;
}

int FeedMemory(j_decompress_ptr cinfo, MK_JPEG_HANDLE* h) {
    MK_U64 pos = jpeg::MemPosition(cinfo, h);
    const MK_U64 total = jpeg::MemStreamSize(cinfo);
    return FeedPieces(h, NeedsRestartMarker(cinfo, h), [&](MK_U8* buf, size_t cap) {
        const size_t n = jpeg::MemStreamCopy(cinfo, pos, buf, cap);
        pos += n;
        return Piece{n, pos >= total || StartsWithEoi(buf, n)};
    });
}

// Bytes of `p` up to and with an end-of-image marker, 0 when none ends among them; `ff`: the byte before
// them was 0xFF, so a marker may stand on the seam. In entropy-coded data 0xFF then 0xD9 is nothing else.
size_t ThroughEoi(const MK_U8* p, size_t n, bool ff) {
    if (n != 0 && ff && p[0] == JPEG_EOI) return 1;
    const MK_U8* end = p + n;
    for (const MK_U8* q = p;
         (q = static_cast<const MK_U8*>(std::memchr(q, 0xFF, static_cast<size_t>(end - q)))); ++q) {
        if (q + 1 < end && q[1] == JPEG_EOI) return static_cast<size_t>(q + 2 - p);
    }
    return 0;
}

// The file is read in whole pieces, on past the picture's end; once decoded, it is put back just after
// the end marker, where the next picture starts, as the software decoder leaves it.
int FeedStdio(j_decompress_ptr cinfo, MK_JPEG_HANDLE* h) {
    jpeg::Source* src = jpeg::OwnSource(cinfo);
    const long at = std::ftell(src->file);
    if (at < 0) return -1;
    h->lFilePos = at - static_cast<long>(src->pub.bytes_in_buffer);
    bool firstPiece = true;
    bool ended = false;
    bool ff = false;   // the last byte fed was 0xFF
    long taken = 0;    // bytes fed from lFilePos on
    const int fed = FeedPieces(h, NeedsRestartMarker(cinfo, h), [&](MK_U8* buf, size_t cap) {
        size_t n = 0;
        if (firstPiece) {
            n = src->pub.bytes_in_buffer < cap ? src->pub.bytes_in_buffer : cap;
            std::memcpy(buf, src->pub.next_input_byte, n);
            src->pub.next_input_byte += n;
            src->pub.bytes_in_buffer -= n;
            firstPiece = false;
        }
        const size_t want = cap - n;
        const size_t got = std::fread(buf + n, 1, want, src->file);
        n += got;
        if (const size_t eoi = ThroughEoi(buf, n, ff); eoi != 0) {
            n = eoi;
            ended = true;
        }
        if (n != 0) ff = buf[n - 1] == 0xFF;
        taken += static_cast<long>(n);
        return Piece{n, ended || got < want};
    });
    if (fed == 0 && ended && std::fseek(src->file, h->lFilePos + taken, SEEK_SET) != 0) return -1;
    return fed;
}

// Feeds the first `len` bytes of the look-ahead.
int FeedLookAhead(MK_JPEG_HANDLE* h, size_t len) {
    size_t at = 0;
    return FeedPieces(h, false, [&](MK_U8* buf, size_t cap) {
        const size_t n = std::min(cap, len - at);
        std::memcpy(buf, h->pu8LookAhead + at, n);
        at += n;
        return Piece{n, at == len};
    });
}

// A source of the caller's own cannot be read again: the picture goes into the look-ahead up to its end
// marker and is fed from there, and a picture the hardware refuses is held there for software to read
// again (JPEG_HDEC_HandBackPicture). What follows the marker stays for the next picture, as the software
// decoder leaves it. A source that suspends short of the marker may have given all the data but the
// marker: the hardware gets what came, and when it decodes that, the finish takes the marker. Otherwise
// what came is held and the next start goes on from there; the hardware is not tried again before the
// marker, so that a source suspending often does not have the picture decoded each time. No more is
// held than the block takes, and one chunk: a picture with no end marker by then is left to software.
// Its restart marker was looked for before the start (OtherSourceHoldsRestartMarker), over the same bytes.
int FeedOther(j_decompress_ptr cinfo, MK_JPEG_HANDLE* h) {
    jpeg_source_mgr* src = cinfo->src;
    size_t n = h->bHeld ? h->uHeldLen : 0;  // bytes of the picture in the look-ahead
    size_t end = 0;                         // of them, up to and with the end marker
    bool fits = true;
    for (;;) {
        const size_t from = n;
        n = TakeIntoLookAhead(cinfo, h, n, JPEG_STREAM_MAX);
        const bool ff = from != 0 && h->pu8LookAhead[from - 1] == 0xFF;  // the marker may stand on the seam
        if (n > from && (end = ThroughEoi(h->pu8LookAhead + from, n - from, ff)) != 0) {
            end += from;
            break;
        }
        if (n >= JPEG_STREAM_MAX) {
            fits = false;
            break;
        }
        if (!(*src->fill_input_buffer)(cinfo)) break;
    }
    h->bHeld = MK_TRUE;
    h->uHeldLen = n;
    if (!fits) return -1;
    if (end == 0) {
        if (n == 0 || h->bCut) return MK_JPEG_SUSPENDED;
        if (FeedLookAhead(h, n) != 0) {
            h->bCut = MK_TRUE;
            return MK_JPEG_SUSPENDED;
        }
        h->bEndMarkerDue = MK_TRUE;
        h->bFedFF = h->pu8LookAhead[n - 1] == 0xFF ? MK_TRUE : MK_FALSE;
        h->bHeld = MK_FALSE;
        JPEG_HDEC_HandBackLookAhead(cinfo, MK_FALSE);
        return 0;
    }
    if (FeedLookAhead(h, end) != 0) return -1;
    h->bHeld = MK_FALSE;
    src->next_input_byte = h->pu8LookAhead + end;
    src->bytes_in_buffer = n - end;
    JPEG_HDEC_HandBackLookAhead(cinfo, MK_FALSE);
    return 0;
}

// After a decode into the middle buffer, the picture goes to the caller's buffers: its own lines, as
// the software decoder writes them. The middle buffer may be a line or column larger (at least two
// of each), so the chroma's lines and pairs are counted from the picture's, not the buffer's.
void CopyMiddleOut(MK_JPEG_HANDLE* h) {
    const MK_JPEG_OUTDESC_S& d = h->stOutDesc;
    const MK_JPEG_OUTINFO_S& o = h->stOut;
    if (d.apu8VirAddr[0] != nullptr) {
        for (MK_U32 y = 0; y < o.u32OutHeight; ++y) {
            std::memcpy(d.apu8VirAddr[0] + y * d.au32Stride[0], h->pu8MidLumaVirAddr + y * o.u32LumaStride,
                        o.u32OutWidth);
        }
    }
    if (d.apu8VirAddr[1] != nullptr && o.u32ChromaSize != 0) {
        const bool everyLine = o.u32ChromaHeight == o.u32LumaHeight;
        const bool everyColumn = o.u32ChromaWidth == o.u32LumaWidth;
        const MK_U32 lines = everyLine ? o.u32OutHeight : (o.u32OutHeight + 1) / 2;
        const MK_U32 bytes = everyColumn ? 2 * o.u32OutWidth : 2 * ((o.u32OutWidth + 1) / 2);
        for (MK_U32 y = 0; y < lines; ++y) {
            std::memcpy(d.apu8VirAddr[1] + y * d.au32Stride[1], h->pu8MidChromaVirAddr + y * o.u32ChromaStride,
                        bytes);
        }
    }
}

// Register 0x14 per colour format 0 to 4.
const MK_U32 kFormatReg[JPEGD_FMT_MAX_DECODED + 1] = {0, 3, 4, 5, 6};

}  // namespace

MK_VOID JPEG_HDEC_HandBackLookAhead(j_decompress_ptr cinfo, MK_BOOL bObjectEnds) {
    MK_JPEG_HANDLE* h = JPEG_HDEC_Handle(cinfo);
    if (h == nullptr || h->pu8LookAhead == nullptr) return;
    jpeg_source_mgr* src = cinfo->src;
    if (ReadsLookAhead(src, h)) {
        // A picture's end lies at or past its first marker, which is in the last chunk read ahead: what
        // follows a finished picture is the tail of that chunk.
        size_t left = src->bytes_in_buffer;
        if (left > h->uSourceChunkLen) {
            if (!bObjectEnds) return;
            left = h->uSourceChunkLen;
        }
        src->next_input_byte = h->pu8SourceChunkEnd - left;
        src->bytes_in_buffer = left;
    }
    std::free(h->pu8LookAhead);
    h->pu8LookAhead = nullptr;
    h->uLookAheadSize = 0;
}

MK_VOID JPEG_HDEC_HandBackPicture(j_decompress_ptr cinfo) {
    MK_JPEG_HANDLE* h = JPEG_HDEC_Handle(cinfo);
    if (h == nullptr || !h->bHeld) return;
    // A start that went on after a suspension may have given up before its feed took what came since.
    const size_t n = TakeIntoLookAhead(cinfo, h, h->uHeldLen, SIZE_MAX);
    h->bHeld = MK_FALSE;
    if (n == 0) return;
    cinfo->src->next_input_byte = h->pu8LookAhead;
    cinfo->src->bytes_in_buffer = n;
}

MK_BOOL JPEG_HDEC_TakeEndMarker(j_decompress_ptr cinfo) {
    MK_JPEG_HANDLE* h = JPEG_HDEC_Handle(cinfo);
    if (h == nullptr || !h->bEndMarkerDue) return MK_TRUE;
    jpeg_source_mgr* src = cinfo->src;
    for (size_t eoi = 0; eoi == 0;) {
        if (src->bytes_in_buffer == 0 && !(*src->fill_input_buffer)(cinfo)) return MK_FALSE;
        eoi = ThroughEoi(src->next_input_byte, src->bytes_in_buffer, h->bFedFF != MK_FALSE);
        const size_t take = eoi != 0 ? eoi : src->bytes_in_buffer;
        if (take != 0) h->bFedFF = src->next_input_byte[take - 1] == 0xFF ? MK_TRUE : MK_FALSE;
        src->next_input_byte += take;
        src->bytes_in_buffer -= take;
    }
    h->bEndMarkerDue = MK_FALSE;
    return MK_TRUE;
}

MK_S32 JPEG_HDEC_OpenDev(j_decompress_ptr cinfo) {
    MK_JPEG_HANDLE* h = JPEG_HDEC_Handle(cinfo);
    if (h == nullptr) return MK_FAILURE;
    if (h->s32DevFd >= 0) return MK_SUCCESS;
    h->s32DevFd = dev::Open("/dev/jpeg", kDevFlags);
    if (h->s32DevFd < 0) return MK_FAILURE;
    if (dev::Ioctl(h->s32DevFd, MK_JPEG_IOC_OPEN) != 0) return MK_FAILURE;
    void* regs = dev::Mmap(nullptr, JPEG_REG_WINDOW_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, h->s32DevFd, 0);
    if (regs == MAP_FAILED) return MK_FAILURE;
    h->pu32Regs = static_cast<volatile MK_U32*>(regs);
    return MK_SUCCESS;
}

MK_S32 JPEG_HDEC_CloseDev(j_decompress_ptr cinfo) {
    MK_JPEG_HANDLE* h = JPEG_HDEC_Handle(cinfo);
    if (h == nullptr || h->s32DevFd < 0) return MK_SUCCESS;
    MK_S32 ret = MK_SUCCESS;
    if (h->pu32Regs != nullptr) {
        if (dev::Munmap(const_cast<MK_U32*>(h->pu32Regs), JPEG_REG_WINDOW_SIZE) != 0) ret = MK_FAILURE;
        h->pu32Regs = nullptr;
    }
    dev::Ioctl(h->s32DevFd, MK_JPEG_IOC_CLOSE);
    dev::Close(h->s32DevFd);
    h->s32DevFd = -1;
    return ret;
}

MK_S32 JPEG_HDEC_Start(j_decompress_ptr cinfo) {
    MK_JPEG_HANDLE* h = JPEG_HDEC_Handle(cinfo);
    if (h == nullptr || h->pu32Regs == nullptr) return MK_FAILURE;
    volatile MK_U32* regs = h->pu32Regs;
    JPEG_HDEC_WriteReg(regs, JPEG_REG_INIT, 0);
    ProgramQuant(cinfo, regs);
    ProgramDc(cinfo, regs);
    ProgramAc(cinfo, regs);

    const MK_JPEG_OUTINFO_S& o = h->stOut;
    if (h->u32ImageFormat > JPEGD_FMT_MAX_DECODED) return MK_FAILURE;
    JPEG_HDEC_WriteReg(regs, JPEG_REG_FORMAT, kFormatReg[h->u32ImageFormat]);
    JPEG_HDEC_WriteReg(regs, JPEG_REG_SCALE, (JPEG_HDEC_ReadReg(regs, JPEG_REG_SCALE) & ~3u) | h->u32ScaleCode | 8);
    if (o.u32McuCounts & ~0x03FF03FFu) return MK_FAILURE;
    JPEG_HDEC_WriteReg(regs, JPEG_REG_MCU_COUNT, o.u32McuCounts);
    JPEG_HDEC_WriteReg(regs, JPEG_REG_STRIDE, o.u32LumaStride | o.u32ChromaStride << 16);
    const MK_U8* s = h->au8Sampling;
    JPEG_HDEC_WriteReg(regs, JPEG_REG_SAMPLING,
                       static_cast<MK_U32>(s[0] << 4 | s[1]) << 16 | static_cast<MK_U32>(s[2] << 4 | s[3]) << 8 |
                           static_cast<MK_U32>(s[4] << 4 | s[5]));

    const bool physical = jpeg::PhysicalStream(h);
    if (physical && !h->bTwoPart) {
        const MK_U32 addr = h->u32StreamPhyAddr;
        JPEG_HDEC_WriteReg(regs, JPEG_REG_WINDOW_START, ((addr - 1) & ~63u) - 100);
        JPEG_HDEC_WriteReg(regs, JPEG_REG_WINDOW_END, addr + static_cast<MK_U32>(h->u64StreamLen) + 100);
    } else if (physical) {
        JPEG_HDEC_WriteReg(regs, JPEG_REG_WINDOW_START, h->u32WorkPhyAddr);
        JPEG_HDEC_WriteReg(regs, JPEG_REG_WINDOW_END, h->u32WorkPhyAddr + h->u32WorkLen);
    } else {
        JPEG_HDEC_WriteReg(regs, JPEG_REG_WINDOW_START, h->u32OwnStreamPhyAddr);
        JPEG_HDEC_WriteReg(regs, JPEG_REG_WINDOW_END, h->u32OwnStreamPhyAddr + h->u32StreamBufSize);
    }
    JPEG_HDEC_WriteReg(regs, JPEG_REG_LUMA_ADDR, h->u32MidLumaPhyAddr);
    JPEG_HDEC_WriteReg(regs, JPEG_REG_CHROMA_ADDR, h->u32MidChromaPhyAddr);
    if (h->b420) JPEG_HDEC_WriteReg(regs, JPEG_REG_420, 4);
    if (h->bResultWords) JPEG_HDEC_WriteReg(regs, JPEG_REG_RESULT1, 0x80000000u);
    // Looked for before the feed of a source of the caller's own takes anything, until it is found: a
    // start that goes on after a suspension of the feed found it before.
    if (!h->bKnownSrc && !h->bRestartFound && NeedsRestartMarker(cinfo, h)) {
        const Restart found = OtherSourceHoldsRestartMarker(cinfo, h);
        if (found == Restart::kSuspended) return MK_JPEG_SUSPENDED;
        if (found == Restart::kNone) return MK_FAILURE;
        h->bRestartFound = MK_TRUE;
    }
    h->bStarted = MK_TRUE;

    int fed;
    if (physical) {
        fed = FeedPhysical(cinfo, h);
    } else if (h->bKnownSrc && !h->bStdioSrc) {
        fed = FeedMemory(cinfo, h);
    } else if (h->bStdioSrc) {
        fed = FeedStdio(cinfo, h);
    } else {
        fed = FeedOther(cinfo, h);
    }
    if (fed == MK_JPEG_SUSPENDED) return MK_JPEG_SUSPENDED;
    if (fed != 0) {
        // A known source is put back where the library stood; a source of the caller's own is read again
        // from what was held (JPEG_HDEC_HandBackPicture).
        if (h->bKnownSrc) cinfo->src->bytes_in_buffer = 0;
        return MK_FAILURE;
    }
    if (h->bResultWords) {
        h->au32Result[0] = JPEG_HDEC_ReadReg(regs, JPEG_REG_RESULT0);
        h->au32Result[1] = JPEG_HDEC_ReadReg(regs, JPEG_REG_RESULT1) & 0xF;
    }
    h->bHardDecoded = MK_TRUE;
    // As after a software start: an object read to its end before would hand out no lines.
    cinfo->output_scanline = 0;
    if (h->bYuvOut) {
        if (!h->stOutDesc.bDirect) CopyMiddleOut(h);
        return MK_SUCCESS;
    }
    JPEG_HDEC_ConvertOut(cinfo);
    // The lines handed out are the crop rectangle's, each of the output's bytes a pixel.
    cinfo->output_width = static_cast<JDIMENSION>(h->stOutDesc.s32CropWidth);
    cinfo->output_height = static_cast<JDIMENSION>(h->stOutDesc.s32CropHeight);
    cinfo->output_components = static_cast<int>(JPEG_HDEC_OutBytes(mk_jpeg_out_color_space(cinfo)));
    return MK_SUCCESS;
}
