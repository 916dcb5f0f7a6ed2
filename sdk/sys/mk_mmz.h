// The media memory zone driver's interface (/dev/mmz_userdev), shared by every SDK module that takes
// blocks from the zone: system control, the audio memory helpers and the hardware JPEG decoder.
//
// Both block records hold a user address, so they use the host's native layout and their request
// numbers are built from sizeof of the host record; callers use the macros below, never literal
// numbers. Physical addresses stay 32-bit.
#pragma once

#include <sys/ioctl.h>

#include <cstddef>

#include "sdk/common/mk_type.h"

#define MK_MMZ_MMB_NAME_LEN 16   // a block name holds up to 16 characters and a zero
#define MK_MMZ_ZONE_NAME_LEN 32  // a zone name holds up to 32 characters and a zero
#define MK_MMZ_BUF_NAME_LEN 32   // a buffer name holds up to 31 characters and a zero

// The protection and mapping word of a map request: read and write (3) in the low byte, shared (1)
// in bits 8 to 19.
#define MK_MMZ_PROT_RW 3u
#define MK_MMZ_MAP_SHARED 1u
#define MK_MMZ_PROT_FLAGS (MK_MMZ_PROT_RW | (MK_MMZ_MAP_SHARED << 8))

// The block record of system control and the audio helpers. Field order follows the chip's record;
// only the user address is widened to a host pointer.
typedef struct {
    MK_U32 u32PhyAddr;  // out from allocate; in to map, unmap, free
    MK_U32 u32Reserved0;
    MK_U32 u32Size;  // in to allocate, in bytes
    MK_U32 u32Reserved1;
    MK_VOID* pVirAddr;    // out from map; optionally in to unmap
    MK_U32 u32ProtFlags;  // MK_MMZ_PROT_FLAGS
    MK_CHAR acMmbName[MK_MMZ_MMB_NAME_LEN + 1];
    MK_CHAR acZoneName[MK_MMZ_ZONE_NAME_LEN + 1];  // empty: the default zone
    MK_U8 au8Reserved[6];
} MMZ_BLOCK_REQ_S;
static_assert(offsetof(MMZ_BLOCK_REQ_S, u32Size) == 8);
static_assert(offsetof(MMZ_BLOCK_REQ_S, pVirAddr) == 16);

// The buffer record of the hardware JPEG decoder: the alignment travels with the allocation, and
// request 23 turns a user address back into a physical one.
typedef struct {
    MK_U32 u32PhyAddr;  // out from allocate and from request 23; in to map, unmap, free
    MK_U32 u32Align;    // in to allocate; 0 or a power of two
    MK_U32 u32Size;     // in to allocate
    MK_U32 u32ProtFlags;
    MK_VOID* pVirAddr;  // out from map; in to request 23
    MK_CHAR acBufName[MK_MMZ_BUF_NAME_LEN];
    MK_CHAR acZoneName[MK_MMZ_ZONE_NAME_LEN + 1];
} MMZ_BUF_REQ_S;
// The driver tells the two records apart by the size in the request number.
static_assert(sizeof(MMZ_BLOCK_REQ_S) != sizeof(MMZ_BUF_REQ_S));
// On a 64-bit host neither record takes the size of the chip's 32-bit records (80 and 76 bytes), so a
// request number written out for those is refused rather than misread.
static_assert(sizeof(void*) != 8 || (sizeof(MMZ_BLOCK_REQ_S) != 80 && sizeof(MMZ_BLOCK_REQ_S) != 76 &&
                                     sizeof(MMZ_BUF_REQ_S) != 80 && sizeof(MMZ_BUF_REQ_S) != 76));

// A cache range to flush.
typedef struct {
    MK_U32 u32PhyAddr;
    MK_VOID* pVirAddr;
    MK_U32 u32Size;
} MMZ_FLUSH_REQ_S;

#define MK_MMZ_IOC_ALLOC _IOWR('m', 10, MMZ_BLOCK_REQ_S)
#define MK_MMZ_IOC_FREE _IOW('m', 12, MMZ_BLOCK_REQ_S)
#define MK_MMZ_IOC_REMAP _IOWR('m', 20, MMZ_BLOCK_REQ_S)
#define MK_MMZ_IOC_REMAP_CACHED _IOWR('m', 21, MMZ_BLOCK_REQ_S)
#define MK_MMZ_IOC_UNMAP _IOWR('m', 22, MMZ_BLOCK_REQ_S)

#define MK_MMZ_IOC_BUF_ALLOC _IOWR('m', 10, MMZ_BUF_REQ_S)
#define MK_MMZ_IOC_BUF_FREE _IOW('m', 12, MMZ_BUF_REQ_S)
#define MK_MMZ_IOC_BUF_REMAP _IOWR('m', 20, MMZ_BUF_REQ_S)
#define MK_MMZ_IOC_BUF_REMAP_CACHED _IOWR('m', 21, MMZ_BUF_REQ_S)
#define MK_MMZ_IOC_BUF_UNMAP _IOWR('m', 22, MMZ_BUF_REQ_S)
#define MK_MMZ_IOC_BUF_GET_PHYS _IOWR('m', 23, MMZ_BUF_REQ_S)

// Flush the whole data cache (any argument is ignored), or one range.
#define MK_MMZ_IOC_FLUSH_ALL _IO('c', 40)
#define MK_MMZ_IOC_FLUSH_RANGE _IOW('c', 50, MMZ_FLUSH_REQ_S)

namespace mk {

// How a zone block request pair ended.
enum MmzResult { kMmzOk = 0, kMmzAllocFailed, kMmzMapFailed };

// Allocates the block `req` describes (size, name, zone; protection filled here) through the zone
// descriptor `fd` and maps it with `mapRequest` (MK_MMZ_IOC_REMAP or _CACHED), leaving the physical and
// user addresses in `req`. A block that cannot be mapped is freed again. Prints nothing; callers that
// share a descriptor serialise their calls.
MmzResult MmzAllocAndMap(int fd, MMZ_BLOCK_REQ_S* req, unsigned long mapRequest);

}  // namespace mk
