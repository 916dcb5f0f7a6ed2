// The decoder block: the register window turned back into a JPEG header, the stream behind it decoded
// by libjpeg-turbo into raw planes, and the planes written out in the block's layout.
#include "platform/drivers/jpeg/jpeg_block.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>

#include "platform/drivers/core/ram_window.h"
#include "sdk/jpegd/jpegd_ioctl.h"

namespace varnelle::drivers::jpeg {
namespace {

// Where each zigzag position of a table lies in natural (row-major) order.
constexpr uint8_t kZigzag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                                 12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                                 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                                 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// What the registers say of the picture.
struct Params {
    int format = 0;  // JPEGD_FMT_YUV400 .. JPEGD_FMT_YUV444
    int comps = 1;
    int h[3] = {}, v[3] = {};
    uint32_t across = 0, down = 0;
    int scale = 0;
    uint32_t lumaPhys = 0, chromaPhys = 0;
    uint32_t lumaStride = 0, chromaStride = 0;
    bool half = false;  // chroma at half width and height whatever the sampling
    bool sum = false;   // the result words are asked for
};

class Regs {
public:
    Regs(const uint32_t* r, size_t n) : m_r(r), m_n(n) {}
    uint32_t operator()(uint32_t offset) const { return offset / 4 < m_n ? m_r[offset / 4] : 0xFFFFFFFFu; }

private:
    const uint32_t* m_r;
    size_t m_n;
};

bool ReadParams(const Regs& r, Params* p) {
    // Register 0x14 codes of formats 0 to 4.
    static const int kFormatOf[7] = {JPEGD_FMT_YUV400, -1, -1, JPEGD_FMT_YUV420, JPEGD_FMT_YUV422_21,
                                     JPEGD_FMT_YUV422_12, JPEGD_FMT_YUV444};
    const uint32_t code = r(JPEG_REG_FORMAT);
    if (code > 6 || kFormatOf[code] < 0) return false;
    p->format = kFormatOf[code];
    p->comps = p->format == JPEGD_FMT_YUV400 ? 1 : 3;
    const uint32_t mcu = r(JPEG_REG_MCU_COUNT);
    if ((mcu & ~0x03FF03FFu) != 0) return false;
    p->across = mcu & 0x3FF;
    p->down = mcu >> 16;
    if (p->across == 0 || p->down == 0) return false;
    const uint32_t s = r(JPEG_REG_SAMPLING);
    for (int c = 0; c < 3; ++c) {
        const uint32_t b = (s >> (16 - 8 * c)) & 0xFF;
        p->h[c] = static_cast<int>(b >> 4);
        p->v[c] = static_cast<int>(b & 0xF);
    }
    if (p->comps == 1) {
        if (p->h[0] != 1 || p->v[0] != 1) return false;
    } else {
        for (int c = 0; c < 3; ++c) {
            if (p->h[c] < 1 || p->h[c] > 2 || p->v[c] < 1 || p->v[c] > 2) return false;
        }
        if (p->h[1] != p->h[2] || p->v[1] != p->v[2]) return false;
        const bool h2 = p->h[0] == 2 * p->h[1], v2 = p->v[0] == 2 * p->v[1];
        const bool h1 = p->h[0] == p->h[1], v1 = p->v[0] == p->v[1];
        const bool fits[5] = {false, h2 && v2, h2 && v1, h1 && v2, h1 && v1};
        if (!fits[p->format]) return false;
        // Chroma sampled 1x2 under 2x2 or 1x2 luma: not a layout the block writes.
        if (p->h[1] == 1 && p->v[1] == 2 && (p->h[0] == 2 || p->format == JPEGD_FMT_YUV444)) return false;
    }
    p->scale = static_cast<int>(r(JPEG_REG_SCALE) & 3);
    const uint32_t strides = r(JPEG_REG_STRIDE);
    p->lumaStride = strides & 0xFFFF;
    p->chromaStride = strides >> 16;
    p->lumaPhys = r(JPEG_REG_LUMA_ADDR);
    p->chromaPhys = r(JPEG_REG_CHROMA_ADDR);
    p->half = (r(JPEG_REG_420) & 4) != 0;
    p->sum = (r(JPEG_REG_RESULT1) & 0x80000000u) != 0;
    return true;
}

// ---- Huffman tables back from the registers ----

struct Table {
    uint8_t bits[17] = {};  // codes per length 1 to 16
    uint8_t vals[256] = {};
    int count = 0;
};

// Codes and lengths of a table's symbols, in the order the table lists them (JPEG Annex C).
void Codes(const Table& t, uint32_t* code, int* len) {
    uint32_t c = 0;
    int k = 0;
    for (int l = 1; l <= 16; ++l) {
        for (int i = 0; i < t.bits[l]; ++i, ++k) {
            code[k] = c++;
            len[k] = l;
        }
        c <<= 1;
    }
}

// A DC table from the twelve category words: code (low 8 bits) and length per category, at bit `shift`.
bool DcTable(const Regs& r, int shift, Table* t) {
    struct Entry {
        int len;
        uint32_t code;
        int cat;
    };
    std::vector<Entry> e;
    for (int cat = 0; cat < 12; ++cat) {
        const uint32_t w = r(JPEG_REG_DC_HUFF + 4 * cat) >> shift;
        const int len = static_cast<int>((w >> 8) & 0xF);
        if (len != 0) e.push_back(Entry{len, w & 0xFF, cat});
    }
    const int n = static_cast<int>(e.size());
    if (n == 0) return false;
    std::sort(e.begin(), e.end(), [](const Entry& a, const Entry& b) { return a.len != b.len ? a.len < b.len : a.code < b.code; });
    // Codes of one length are consecutive; kept to 8 bits, a run of them may wrap past 0xFF.
    for (int i = 0; i < n;) {
        int j = i;
        while (j < n && e[j].len == e[i].len) ++j;
        for (int k = i; k + 1 < j; ++k) {
            if (e[k + 1].code != e[k].code + 1) {
                std::rotate(e.begin() + i, e.begin() + k + 1, e.begin() + j);
                break;
            }
        }
        i = j;
    }
    *t = Table{};
    for (int i = 0; i < n; ++i) {
        ++t->bits[e[i].len];
        t->vals[i] = static_cast<uint8_t>(e[i].cat);
    }
    t->count = n;
    // The table must give back exactly the registers' codes.
    uint32_t code[12];
    int len[12];
    Codes(*t, code, len);
    for (int i = 0; i < n; ++i) {
        if ((code[i] & 0xFF) != e[i].code || len[i] != e[i].len || code[i] >= (1u << len[i])) return false;
    }
    return true;
}

// An AC table from the first code and offset of each length (low bytes, 0xFF past the longest code) and
// the symbol words; `which` 0 luma, 1 chroma.
bool AcTable(const Regs& r, int which, Table* t) {
    uint32_t f[17], o[17];
    for (int l = 1; l <= 16; ++l) {
        const int shift = 16 * which + 8 * ((l - 1) % 2);
        f[l] = (r(JPEG_REG_AC_FIRST + 4 * ((l - 1) / 2)) >> shift) & 0xFF;
        o[l] = (r(JPEG_REG_AC_OFFSET + 4 * ((l - 1) / 2)) >> shift) & 0xFF;
    }
    int longest = 0;
    for (int l = 1; l <= 16; ++l) {
        if (f[l] != 0xFF) longest = l;
    }
    if (longest == 0) return false;
    *t = Table{};
    // first(l + 1) = 2 (first(l) + count(l)): each count is known to 7 bits from the next first code.
    uint32_t first = 0;
    int index = 0;
    for (int l = 1; l < longest; ++l) {
        if (f[l + 1] == 0xFF || (f[l + 1] & 1) != 0) return false;
        const uint32_t room = (1u << l) - first;
        uint32_t c = ((f[l + 1] >> 1) - first) & 0x7F;
        if (c > room || index + static_cast<int>(c) > JPEG_AC_SYMBOLS) c += 128;
        if (c > room || index + static_cast<int>(c) > JPEG_AC_SYMBOLS) return false;
        t->bits[l] = static_cast<uint8_t>(c);
        index += static_cast<int>(c);
        first = 2 * (first + c);
        if (first > (1u << (l + 1))) return false;
    }
    // The longest length takes every code left but the all-ones one: codes the picture does not use
    // never occur in its data.
    const uint32_t left = (1u << longest) - first;
    uint32_t last = std::min<uint32_t>(left > 1 ? left - 1 : left, static_cast<uint32_t>(JPEG_AC_SYMBOLS - index));
    if (last == 0) return false;
    t->bits[longest] = static_cast<uint8_t>(last);
    t->count = index + static_cast<int>(last);
    for (int k = 0; k < t->count; ++k) {
        t->vals[k] = static_cast<uint8_t>(r(JPEG_REG_AC_SYMBOL + 4 * k) >> (8 * which));
    }
    // The table must give back the registers' first codes and offsets.
    first = 0;
    index = 0;
    for (int l = 1; l <= 16; ++l) {
        if (l > 1) first = (first + t->bits[l - 1]) * 2;
        const uint32_t fl = l > longest ? 0xFF : (first & 0xFF);
        const uint32_t ol = t->bits[l] != 0 ? (static_cast<uint32_t>(index) - first) & 0xFF : 0;
        if (fl != f[l] || ol != o[l]) return false;
        index += t->bits[l];
    }
    return true;
}

// ---- The stream ----

// The spans as one run of bytes.
class Flat {
public:
    explicit Flat(const std::vector<Span>& spans) : m_spans(spans) {
        for (const Span& s : spans) m_size += s.size;
    }
    size_t size() const { return m_size; }
    uint8_t At(size_t i) const {
        for (const Span& s : m_spans) {
            if (i < s.size) return s.data[i];
            i -= s.size;
        }
        return 0;
    }
    // The first 0xFF at or after `from`; size() when there is none.
    size_t FindFF(size_t from) const {
        size_t base = 0;
        for (const Span& s : m_spans) {
            if (from < base + s.size) {
                const size_t off = from > base ? from - base : 0;
                const void* f = std::memchr(s.data + off, 0xFF, s.size - off);
                if (f != nullptr) return base + static_cast<size_t>(static_cast<const uint8_t*>(f) - s.data);
            }
            base += s.size;
        }
        return m_size;
    }

private:
    const std::vector<Span>& m_spans;
    size_t m_size = 0;
};

// The first marker in the entropy-coded data (0 when there is none) and where its 0xFF stands.
uint8_t FirstMarker(const Flat& in, size_t* at) {
    for (size_t i = in.FindFF(0); i < in.size(); i = in.FindFF(i)) {
        size_t j = i + 1;
        while (j < in.size() && in.At(j) == 0xFF) ++j;
        if (j >= in.size()) return 0;
        const uint8_t m = in.At(j);
        if (m != 0x00) {
            *at = i;
            return m;
        }
        i = j + 1;
    }
    return 0;
}

// The entropy-coded bytes before `end`, unstuffed.
std::vector<uint8_t> Unstuffed(const Flat& in, size_t end) {
    std::vector<uint8_t> out;
    out.reserve(end);
    for (size_t i = 0; i < end; ++i) {
        const uint8_t b = in.At(i);
        out.push_back(b);
        if (b == 0xFF && i + 1 < end && in.At(i + 1) == 0x00) ++i;
    }
    return out;
}

class BitReader {
public:
    explicit BitReader(const std::vector<uint8_t>& b) : m_b(b) {}
    int Bit() {
        if (m_pos >= 8 * m_b.size()) return -1;
        const int bit = (m_b[m_pos / 8] >> (7 - m_pos % 8)) & 1;
        ++m_pos;
        return bit;
    }
    bool Skip(int n) {
        if (m_pos + static_cast<size_t>(n) > 8 * m_b.size()) return false;
        m_pos += static_cast<size_t>(n);
        return true;
    }

private:
    const std::vector<uint8_t>& m_b;
    size_t m_pos = 0;
};

// Decodes one symbol: its value, or -1 when the bits end or no code matches.
int Symbol(BitReader& in, const Table& t) {
    int32_t code = 0;
    int k = 0;
    int32_t firstCode = 0;
    for (int l = 1; l <= 16; ++l) {
        const int bit = in.Bit();
        if (bit < 0) return -1;
        code = (code << 1) | bit;
        if (static_cast<uint32_t>(code - firstCode) < t.bits[l]) return t.vals[k + (code - firstCode)];
        k += t.bits[l];
        firstCode = (firstCode + t.bits[l]) << 1;
    }
    return -1;
}

bool SkipBlock(BitReader& in, const Table& dc, const Table& ac) {
    const int s = Symbol(in, dc);
    if (s < 0 || !in.Skip(s)) return false;
    for (int k = 1; k < 64;) {
        const int rs = Symbol(in, ac);
        if (rs < 0) return false;
        const int run = rs >> 4, size = rs & 15;
        if (size != 0) {
            if (!in.Skip(size)) return false;
            k += run + 1;
        } else if (run == 15) {
            k += 16;
        } else {
            break;
        }
    }
    return true;
}

// The MCUs of a restart interval: those whole in its first segment (the padding ones after the last
// can never complete a code).
uint32_t McusIn(const std::vector<uint8_t>& seg, const Params& p, const Table* dc, const Table* ac) {
    BitReader in(seg);
    uint32_t mcus = 0;
    for (;;) {
        for (int c = 0; c < p.comps; ++c) {
            const int blocks = p.comps == 1 ? 1 : p.h[c] * p.v[c];
            const int t = c == 0 ? 0 : 1;
            for (int b = 0; b < blocks; ++b) {
                if (!SkipBlock(in, dc[t], ac[t])) return mcus;
            }
        }
        ++mcus;
    }
}

// ---- A JPEG header that says what the registers say ----

void Put16(std::vector<uint8_t>& o, uint32_t v) {
    o.push_back(static_cast<uint8_t>(v >> 8));
    o.push_back(static_cast<uint8_t>(v));
}

void PutDht(std::vector<uint8_t>& o, int cls, int id, const Table& t) {
    o.push_back(0xFF);
    o.push_back(0xC4);
    Put16(o, 2 + 1 + 16 + static_cast<uint32_t>(t.count));
    o.push_back(static_cast<uint8_t>(cls << 4 | id));
    o.insert(o.end(), t.bits + 1, t.bits + 17);
    o.insert(o.end(), t.vals, t.vals + t.count);
}

std::vector<uint8_t> Header(const Regs& r, const Params& p, const Table* dc, const Table* ac, uint32_t restart) {
    std::vector<uint8_t> o = {0xFF, 0xD8, 0xFF, 0xDB};
    Put16(o, 2 + 65 * static_cast<uint32_t>(p.comps));
    for (int c = 0; c < p.comps; ++c) {
        o.push_back(static_cast<uint8_t>(c));
        for (int k = 0; k < 64; ++k) o.push_back(static_cast<uint8_t>(r(JPEG_REG_QUANT + 4 * kZigzag[k]) >> (8 * c)));
    }
    const uint32_t mcuW = 8u * static_cast<uint32_t>(p.h[0]), mcuH = 8u * static_cast<uint32_t>(p.v[0]);
    o.insert(o.end(), {0xFF, 0xC0});
    Put16(o, 8 + 3 * static_cast<uint32_t>(p.comps));
    o.push_back(8);
    Put16(o, p.down * mcuH);
    Put16(o, p.across * mcuW);
    o.push_back(static_cast<uint8_t>(p.comps));
    for (int c = 0; c < p.comps; ++c) {
        o.push_back(static_cast<uint8_t>(c + 1));
        o.push_back(static_cast<uint8_t>(p.h[c] << 4 | p.v[c]));
        o.push_back(static_cast<uint8_t>(c));
    }
    for (int t = 0; t < (p.comps == 1 ? 1 : 2); ++t) {
        PutDht(o, 0, t, dc[t]);
        PutDht(o, 1, t, ac[t]);
    }
    if (restart != 0) {
        o.insert(o.end(), {0xFF, 0xDD, 0x00, 0x04});
        Put16(o, restart);
    }
    o.insert(o.end(), {0xFF, 0xDA});
    Put16(o, 6 + 2 * static_cast<uint32_t>(p.comps));
    o.push_back(static_cast<uint8_t>(p.comps));
    for (int c = 0; c < p.comps; ++c) {
        o.push_back(static_cast<uint8_t>(c + 1));
        o.push_back(c == 0 ? 0x00 : 0x11);
    }
    o.insert(o.end(), {0x00, 0x3F, 0x00});
    return o;
}

// ---- libjpeg-turbo over the spans ----

struct Source {
    jpeg_source_mgr pub;
    const std::vector<Span>* spans;
    size_t next;
};

const JOCTET kEoi[2] = {0xFF, JPEG_EOI};

void InitSource(j_decompress_ptr) {}
void TermSource(j_decompress_ptr) {}

// The next span; past the last, an end-of-image marker (the decoder needs no more once every MCU is in).
boolean Fill(j_decompress_ptr cinfo) {
    auto* src = reinterpret_cast<Source*>(cinfo->src);
    while (src->next < src->spans->size() && (*src->spans)[src->next].size == 0) ++src->next;
    if (src->next < src->spans->size()) {
        const Span& s = (*src->spans)[src->next++];
        src->pub.next_input_byte = s.data;
        src->pub.bytes_in_buffer = s.size;
    } else {
        src->pub.next_input_byte = kEoi;
        src->pub.bytes_in_buffer = 2;
    }
    return TRUE;
}

void Skip(j_decompress_ptr cinfo, long n) {
    jpeg_source_mgr* src = cinfo->src;
    while (n > static_cast<long>(src->bytes_in_buffer)) {
        n -= static_cast<long>(src->bytes_in_buffer);
        Fill(cinfo);
    }
    if (n > 0) {
        src->next_input_byte += n;
        src->bytes_in_buffer -= static_cast<size_t>(n);
    }
}

struct ErrorMgr {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

[[noreturn]] void Fatal(j_common_ptr cinfo) { std::longjmp(reinterpret_cast<ErrorMgr*>(cinfo->err)->jump, 1); }
void Quiet(j_common_ptr) {}

// Where the chroma goes: its subsampling against the luma, per direction.
void TargetSubsampling(const Params& p, int* sx, int* sy) {
    static const int kSx[5] = {1, 2, 2, 1, 1}, kSy[5] = {1, 2, 1, 2, 1};
    *sx = p.half ? 2 : kSx[p.format];
    *sy = p.half ? 2 : kSy[p.format];
}

// Cr/Cb pairs of one row from the two chroma rows.
void Interleave(uint8_t* out, const JSAMPLE* cb, const JSAMPLE* cr, size_t n) {
    for (size_t x = 0; x < n; ++x) {
        out[2 * x] = cr[x];
        out[2 * x + 1] = cb[x];
    }
}

uint32_t Sum(const uint8_t* p, size_t n) {
    uint32_t s = 0;
    for (size_t i = 0; i < n; ++i) s += p[i];
    return s;
}

// Memory of one decode, owned outside the jump.
struct Scratch {
    std::vector<JSAMPLE> chroma;
    std::vector<JSAMPROW> rows;
};

// The decode proper, apart from the set-up so that nothing with a destructor lives across the jump.
__attribute__((noinline)) bool Run(jpeg_decompress_struct* cinfo, ErrorMgr* err, const Params& p, Outcome* out,
                                   Scratch* scratch) {
    if (setjmp(err->jump) != 0) return false;
    if (jpeg_read_header(cinfo, TRUE) != JPEG_HEADER_OK) return false;
    cinfo->raw_data_out = TRUE;
    cinfo->scale_num = 1;
    cinfo->scale_denom = 1u << p.scale;
    cinfo->dct_method = JDCT_ISLOW;
    if (!jpeg_start_decompress(cinfo)) return false;

    const jpeg_component_info* ci = cinfo->comp_info;
    size_t width[3] = {}, rows[3] = {};
    for (int c = 0; c < p.comps; ++c) {
        width[c] = static_cast<size_t>(ci[c].width_in_blocks) * static_cast<size_t>(ci[c].DCT_scaled_size);
        rows[c] = static_cast<size_t>(ci[c].v_samp_factor) * static_cast<size_t>(ci[c].DCT_scaled_size);
    }
    const size_t imcu = cinfo->total_iMCU_rows;
    const size_t lumaW = width[0], lumaH = imcu * rows[0];
    if (p.lumaStride < lumaW) return false;
    uint8_t* luma = RamWindow(p.lumaPhys, (lumaH - 1) * p.lumaStride + lumaW);
    if (luma == nullptr) return false;
    int tsx = 1, tsy = 1;
    size_t tw = 0, th = 0, rx = 1, ry = 1;
    uint8_t* chroma = nullptr;
    if (p.comps == 3) {
        TargetSubsampling(p, &tsx, &tsy);
        tw = (lumaW + static_cast<size_t>(tsx) - 1) / static_cast<size_t>(tsx);
        th = (lumaH + static_cast<size_t>(tsy) - 1) / static_cast<size_t>(tsy);
        if (p.chromaStride < 2 * tw) return false;
        chroma = RamWindow(p.chromaPhys, (th - 1) * p.chromaStride + 2 * tw);
        if (chroma == nullptr) return false;
        rx = lumaW / width[1];
        ry = rows[0] / rows[1];
        if (rx * width[1] != lumaW || ry * rows[1] != rows[0]) return false;
    }
    // The chroma goes straight to its rows when the decoder gives it at the block's sampling; otherwise
    // whole planes first, resampled afterwards.
    const bool direct = p.comps == 1 || (rx == static_cast<size_t>(tsx) && ry == static_cast<size_t>(tsy));
    const size_t chromaRows = p.comps == 3 ? (direct ? rows[1] : imcu * rows[1]) : 0;
    scratch->chroma.resize(2 * chromaRows * width[1]);
    JSAMPLE* cb = scratch->chroma.data();
    JSAMPLE* cr = cb + chromaRows * width[1];
    scratch->rows.resize(rows[0] + 2 * rows[1]);
    JSAMPARRAY planes[3] = {scratch->rows.data(), scratch->rows.data() + rows[0], scratch->rows.data() + rows[0] + rows[1]};
    uint32_t sum = 0;
    for (size_t m = 0; m < imcu; ++m) {
        for (size_t y = 0; y < rows[0]; ++y) planes[0][y] = luma + (m * rows[0] + y) * p.lumaStride;
        if (p.comps == 3) {
            const size_t base = direct ? 0 : m * rows[1];
            for (size_t y = 0; y < rows[1]; ++y) {
                planes[1][y] = cb + (base + y) * width[1];
                planes[2][y] = cr + (base + y) * width[1];
            }
        }
        const JDIMENSION want = static_cast<JDIMENSION>(cinfo->max_v_samp_factor * cinfo->min_DCT_scaled_size);
        if (jpeg_read_raw_data(cinfo, planes, want) != want) return false;
        if (p.sum) {
            for (size_t y = 0; y < rows[0]; ++y) sum += Sum(planes[0][y], lumaW);
        }
        if (p.comps == 3 && direct) {
            for (size_t y = 0; y < rows[1]; ++y) {
                Interleave(chroma + (m * rows[1] + y) * p.chromaStride, planes[1][y], planes[2][y], tw);
            }
        }
    }
    if (p.comps == 3 && !direct) {
        const size_t planeRows = imcu * rows[1];
        for (size_t y = 0; y < th; ++y) {
            const size_t sy = std::min(y * static_cast<size_t>(tsy) / ry, planeRows - 1);
            uint8_t* o = chroma + y * p.chromaStride;
            for (size_t x = 0; x < tw; ++x) {
                const size_t sx = std::min(x * static_cast<size_t>(tsx) / rx, width[1] - 1);
                o[2 * x] = cr[sy * width[1] + sx];
                o[2 * x + 1] = cb[sy * width[1] + sx];
            }
        }
    }
    // Data the decoder had to guess at (a marker inside the picture, data that ended early) is a
    // failed decode.
    if (cinfo->err->num_warnings != 0) return false;
    out->decoded = true;
    out->lumaSum = sum;
    return true;
}

}  // namespace

bool FeedSpans(const uint32_t* regsWords, std::vector<Span>* spans) {
    // The registers of a feed; callers pass the whole window.
    const Regs r(regsWords, (JPEG_REG_WINDOW_SIZE + 3) / 4);
    const uint64_t wStart = r(JPEG_REG_WINDOW_START), wEnd = r(JPEG_REG_WINDOW_END);
    const uint64_t dStart = r(JPEG_REG_DATA_START), dEnd = r(JPEG_REG_DATA_END);
    spans->clear();
    auto add = [&](uint64_t from, uint64_t to) {
        if (to == from) return true;
        const uint8_t* p = RamWindow(static_cast<uint32_t>(from), static_cast<size_t>(to - from));
        if (p == nullptr) return false;
        spans->push_back(Span{p, static_cast<size_t>(to - from)});
        return true;
    };
    if (wStart >= wEnd || dStart < wStart || dStart > wEnd || dEnd < wStart || dEnd > wEnd) return false;
    if (dStart <= dEnd) return add(dStart, dEnd);
    // The data wraps at the window's end to its start.
    return add(dStart, wEnd) && add(wStart, dEnd);
}

Outcome DecodePicture(const uint32_t* regsWords, size_t words, const std::vector<Span>& data) {
    const Regs r(regsWords, words);
    Params p;
    if (!ReadParams(r, &p)) return {};
    Table dc[2], ac[2];
    for (int t = 0; t < (p.comps == 1 ? 1 : 2); ++t) {
        if (!DcTable(r, 12 * t, &dc[t]) || !AcTable(r, t, &ac[t])) return {};
    }
    // The registers carry no restart interval: the block finds it from where the first restart marker
    // stands among the MCUs.
    uint32_t restart = 0;
    const Flat flat(data);
    size_t at = 0;
    const uint8_t marker = FirstMarker(flat, &at);
    if (marker >= 0xD0 && marker <= 0xD7) {
        restart = McusIn(Unstuffed(flat, at), p, dc, ac);
        if (restart == 0 || restart > 0xFFFF) return {};
    }
    const std::vector<uint8_t> header = Header(r, p, dc, ac, restart);
    std::vector<Span> all;
    all.push_back(Span{header.data(), header.size()});
    all.insert(all.end(), data.begin(), data.end());

    jpeg_decompress_struct cinfo{};
    ErrorMgr err{};
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = Fatal;
    err.pub.output_message = Quiet;
    jpeg_create_decompress(&cinfo);
    Source src{};
    src.pub.init_source = InitSource;
    src.pub.fill_input_buffer = Fill;
    src.pub.skip_input_data = Skip;
    src.pub.resync_to_restart = jpeg_resync_to_restart;
    src.pub.term_source = TermSource;
    src.spans = &all;
    cinfo.src = &src.pub;
    Outcome out;
    Scratch scratch;
    if (!Run(&cinfo, &err, p, &out, &scratch)) out = Outcome{};
    jpeg_destroy_decompress(&cinfo);
    return out;
}

}  // namespace varnelle::drivers::jpeg
