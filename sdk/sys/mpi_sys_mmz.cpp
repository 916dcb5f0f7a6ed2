// Media memory zone blocks: allocate and map, unmap and free, cache flushes. Each operation runs whole
// under the zone mutex.
#include <fcntl.h>

#include <cstring>
#include <mutex>

#include "platform/dev/dev.h"
#include "sdk/common/mk_debug.h"
#include "sdk/sys/mpi_sys.h"
#include "sdk/sys/mpi_sys_internal.h"

namespace dev = varnelle::dev;
using namespace mk::sys;

namespace {

// The zone descriptor, opened if needed; -1 when the node cannot be opened (the request then fails).
int MmzFd() {
    Module().mmz.Ensure("/dev/mmz_userdev", O_RDWR);
    return Module().mmz.fd();
}

MK_S32 AllocAndMap(MK_U32* pu32PhyAddr, MK_VOID** ppVirAddr, const MK_CHAR* pstrMmb, const MK_CHAR* pstrZone,
                   MK_U32 u32Len, unsigned long mapRequest) {
    if (pu32PhyAddr == nullptr || ppVirAddr == nullptr) {
        MK_TRACE("Null point \n");
        return MK_FAILURE;
    }
    std::lock_guard<std::mutex> lock(Module().mmzMutex);
    int fd = MmzFd();
    MMZ_BLOCK_REQ_S req{};
    req.u32Size = u32Len;
    if (pstrMmb != nullptr) std::strncpy(req.acMmbName, pstrMmb, MK_MMZ_MMB_NAME_LEN);
    if (pstrZone != nullptr) std::strncpy(req.acZoneName, pstrZone, MK_MMZ_ZONE_NAME_LEN);
    switch (mk::MmzAllocAndMap(fd, &req, mapRequest)) {
        case mk::kMmzOk:
            break;
        case mk::kMmzAllocFailed:
            MK_TRACE("System alloc mmz memory failed!\n");
            return MK_FAILURE;
        case mk::kMmzMapFailed:
            MK_TRACE("System remap mmz memory failed!\n");
            return MK_FAILURE;
    }
    *pu32PhyAddr = req.u32PhyAddr;
    *ppVirAddr = req.pVirAddr;
    return MK_SUCCESS;
}

}  // namespace

namespace mk {

MmzResult MmzAllocAndMap(int fd, MMZ_BLOCK_REQ_S* req, unsigned long mapRequest) {
    req->u32ProtFlags = MK_MMZ_PROT_FLAGS;
    if (dev::Ioctl(fd, MK_MMZ_IOC_ALLOC, req) != MK_SUCCESS) return kMmzAllocFailed;
    if (dev::Ioctl(fd, mapRequest, req) != MK_SUCCESS) {
        // Nobody else knows the block's address: give it back rather than leak it.
        dev::Ioctl(fd, MK_MMZ_IOC_FREE, req);
        return kMmzMapFailed;
    }
    return kMmzOk;
}

}  // namespace mk

MK_S32 MK_MPI_SYS_MmzAlloc(MK_U32* pu32PhyAddr, MK_VOID** ppVirAddr, const MK_CHAR* pstrMmb,
                           const MK_CHAR* pstrZone, MK_U32 u32Len) {
    return AllocAndMap(pu32PhyAddr, ppVirAddr, pstrMmb, pstrZone, u32Len, MK_MMZ_IOC_REMAP);
}

MK_S32 MK_MPI_SYS_MmzAlloc_Cached(MK_U32* pu32PhyAddr, MK_VOID** ppVirAddr, const MK_CHAR* pstrMmb,
                                  const MK_CHAR* pstrZone, MK_U32 u32Len) {
    return AllocAndMap(pu32PhyAddr, ppVirAddr, pstrMmb, pstrZone, u32Len, MK_MMZ_IOC_REMAP_CACHED);
}

MK_S32 MK_MPI_SYS_MmzFree(MK_U32 u32PhyAddr, MK_VOID* pVirAddr) {
    std::lock_guard<std::mutex> lock(Module().mmzMutex);
    int fd = MmzFd();
    MMZ_BLOCK_REQ_S req{};
    req.u32PhyAddr = u32PhyAddr;
    req.pVirAddr = pVirAddr;
    MK_S32 ret = MK_SUCCESS;
    if (dev::Ioctl(fd, MK_MMZ_IOC_UNMAP, &req) != MK_SUCCESS) {
        MK_TRACE("System unmap mmz memory failed!\n");
        ret = MK_FAILURE;
    }
    if (dev::Ioctl(fd, MK_MMZ_IOC_FREE, &req) != MK_SUCCESS) {
        MK_TRACE("System free mmz memory failed!\n");
        ret = MK_FAILURE;
    }
    return ret;
}

MK_S32 MK_MPI_SYS_MmzFlushCache(MK_U32 u32PhyAddr, MK_VOID* pVirAddr, MK_U32 u32Size) {
    std::lock_guard<std::mutex> lock(Module().mmzMutex);
    int fd = MmzFd();
    if (u32PhyAddr == 0) return dev::Ioctl(fd, MK_MMZ_IOC_FLUSH_ALL, nullptr);
    MMZ_FLUSH_REQ_S req{u32PhyAddr, pVirAddr, u32Size};
    return dev::Ioctl(fd, MK_MMZ_IOC_FLUSH_RANGE, &req);
}
