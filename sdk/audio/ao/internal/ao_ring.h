// A channel's byte ring of one track, in media memory. u32Write > u32Read only with bWriteJump 0,
// u32Write < u32Read only with bWriteJump 1; equal offsets are empty with bWriteJump 0 and full with
// bWriteJump 1. The writer sets bWriteJump when it passes the end, the reader clears it when it does.
#pragma once

#include "sdk/common/mk_type.h"

typedef struct {
    MK_U32 u32PhyAddr;
    MK_U8* pVirAddr;
    MK_U32 u32Size;
    MK_U32 u32Read;   // next unread byte
    MK_U32 u32Write;  // next free byte
    MK_U32 bWriteJump;
} AO_CIRBUF_S;

namespace mk::ao {

// True when `len` more bytes fit.
bool RingCanWrite(const AO_CIRBUF_S& r, MK_U32 len);
// Copies `len` bytes in, wrapping at the end; false (nothing written) when they do not fit.
bool RingWrite(AO_CIRBUF_S& r, const MK_U8* src, MK_U32 len);
// True when `len` bytes are there to read.
bool RingCanRead(const AO_CIRBUF_S& r, MK_U32 len);
// Copies the next `len` bytes out without consuming them (the caller checked RingCanRead).
void RingPeek(const AO_CIRBUF_S& r, MK_U8* dst, MK_U32 len);
// Consumes `len` readable bytes.
void RingConsume(AO_CIRBUF_S& r, MK_U32 len);
// Bytes held.
MK_U32 RingUsed(const AO_CIRBUF_S& r);

}  // namespace mk::ao
