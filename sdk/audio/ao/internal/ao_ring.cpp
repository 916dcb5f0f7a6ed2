#include "sdk/audio/ao/internal/ao_ring.h"

#include <cstring>

#include "sdk/common/mk_debug.h"

namespace mk::ao {
namespace {

constexpr const char* kSource = "mpi_ao";

void CheckInvariant(const AO_CIRBUF_S& r) {
    if (r.u32Write > r.u32Read) MK_ASSERT_IN(kSource, MK_FALSE == r.bWriteJump);
    if (r.u32Write < r.u32Read) MK_ASSERT_IN(kSource, MK_TRUE == r.bWriteJump);
}

}  // namespace

bool RingCanWrite(const AO_CIRBUF_S& r, MK_U32 len) {
    CheckInvariant(r);
    if (len == 0) return true;
    const MK_U64 w = r.u32Write, rd = r.u32Read, s = r.u32Size, l = len;
    if (w < rd) return w + l <= rd;
    if (w == rd) return r.bWriteJump == 0 && l <= s;
    return w + l <= s || w + l - s <= rd;
}

bool RingWrite(AO_CIRBUF_S& r, const MK_U8* src, MK_U32 len) {
    if (!RingCanWrite(r, len)) {
        std::fprintf(stderr, "It's no free buffer to save data! frame len:%u, u32Write:%u, u32Read:%u\n", len,
                     r.u32Write, r.u32Read);
        return false;
    }
    if (len == 0) return true;
    if (r.u32Write + len <= r.u32Size) {
        std::memcpy(r.pVirAddr + r.u32Write, src, len);
        r.u32Write += len;
    } else {
        const MK_U32 first = r.u32Size - r.u32Write;
        std::memcpy(r.pVirAddr + r.u32Write, src, first);
        std::memcpy(r.pVirAddr, src + first, len - first);
        r.u32Write = len - first;
        r.bWriteJump = 1;
    }
    if (r.u32Write == r.u32Size) {
        r.u32Write = 0;
        r.bWriteJump = 1;
    }
    return true;
}

bool RingCanRead(const AO_CIRBUF_S& r, MK_U32 len) {
    CheckInvariant(r);
    if (len == 0) return true;
    const MK_U64 w = r.u32Write, rd = r.u32Read, s = r.u32Size, l = len;
    if (rd < w) return rd + l <= w;
    if (rd == w) return r.bWriteJump == 1 && l <= s;
    return rd + l <= s || rd + l - s <= w;
}

void RingPeek(const AO_CIRBUF_S& r, MK_U8* dst, MK_U32 len) {
    if (len == 0) return;
    if (r.u32Read + len <= r.u32Size) {
        std::memcpy(dst, r.pVirAddr + r.u32Read, len);
    } else {
        const MK_U32 first = r.u32Size - r.u32Read;
        std::memcpy(dst, r.pVirAddr + r.u32Read, first);
        std::memcpy(dst + first, r.pVirAddr, len - first);
    }
}

void RingConsume(AO_CIRBUF_S& r, MK_U32 len) {
    MK_ASSERT_IN(kSource, RingCanRead(r, len));
    if (len == 0) return;
    if (r.u32Read + len <= r.u32Size) {
        r.u32Read += len;
    } else {
        r.u32Read = r.u32Read + len - r.u32Size;
        r.bWriteJump = 0;
    }
    if (r.u32Read == r.u32Size) {
        r.u32Read = 0;
        r.bWriteJump = 0;
    }
}

MK_U32 RingUsed(const AO_CIRBUF_S& r) {
    if (r.u32Write > r.u32Read) return r.u32Write - r.u32Read;
    if (r.u32Write < r.u32Read) return r.u32Size - r.u32Read + r.u32Write;
    return r.bWriteJump ? r.u32Size : 0;
}

}  // namespace mk::ao
