// Shared inside the JPEG library wrappers and the hardware decoder: the data source record of the stdio
// and the memory-stream sources, and the zone driver's cache flush.
#pragma once

#include <cstdio>

#include <jpeglib.h>

#include "sdk/jpegd/jpeg_hdec.h"

namespace mk::jpeg {

inline constexpr size_t kStdioBufSize = 4096;  // one stdio read
inline constexpr size_t kMemChunk = 4096;      // one memory refill

struct Source {
    jpeg_source_mgr pub;  // first: the library sees only this
    FILE* file;           // stdio
    const JOCTET* data;   // memory: the stream's first part
    size_t length;        // memory: the first part's length
    JOCTET eoi[2];        // handed when the data is spent
    JOCTET* buffer;       // stdio: kStdioBufSize bytes
    boolean startOfFile;
};

// The object's source when it is one of ours.
Source* OwnSource(j_decompress_ptr cinfo);

// Bytes of the memory stream (both parts), and a copy of up to `n` of them from position `pos`.
MK_U64 MemStreamSize(j_decompress_ptr cinfo);
size_t MemStreamCopy(j_decompress_ptr cinfo, MK_U64 pos, MK_U8* dst, size_t n);

// The stream position of the first byte the library has not consumed.
inline MK_U64 MemPosition(j_decompress_ptr cinfo, const MK_JPEG_HANDLE* h) {
    return h->u64Delivered - cinfo->src->bytes_in_buffer;
}

// Flushes the data cache before the hardware reads what the CPU wrote (the zone driver's request).
void FlushCache(int mmzFd, MK_U32 phys);

// The quantiser a component selects; null when the frame header names a slot that does not exist (the
// header is read before the library checks the slot).
inline const JQUANT_TBL* QuantOf(j_decompress_ptr cinfo, int component) {
    const int slot = cinfo->comp_info[component].quant_tbl_no;
    return slot >= 0 && slot < NUM_QUANT_TBLS ? cinfo->quant_tbl_ptrs[slot] : nullptr;
}

// Whether the stream is read by physical address: a memory source whose address the zone knows.
inline bool PhysicalStream(const MK_JPEG_HANDLE* h) { return h->bStreamBufSet && h->bKnownSrc && !h->bStdioSrc; }

}  // namespace mk::jpeg
