#include "sdk/audio/mem/audio_mem.h"

#include <fcntl.h>

#include <cstdio>
#include <cstring>

#include "platform/dev/dev.h"
#include "sdk/common/mk_dev.h"
#include "sdk/sys/mk_mmz.h"

namespace {

namespace dev = varnelle::dev;

struct AudioMem {
    mk::DevSlot mmz;  // /dev/mmz_userdev
    mk::DevSlot mem;  // /dev/mem
};

AudioMem& Module() {
    static AudioMem* m = new AudioMem;  // never destroyed: blocks may be freed during exit
    return *m;
}

// The zone descriptor, opened on first use; -1 after the perror line.
int MmzFd() {
    if (Module().mmz.Ensure("/dev/mmz_userdev", O_RDWR) != mk::DevSlot::kReady) {
        std::perror("open /dev/mmz_userdev");
        return -1;
    }
    return Module().mmz.fd();
}

}  // namespace

MK_S32 MPI_AUDIO_MmzAlloc(const MK_CHAR* pszName, MK_U32* pu32PhyAddr, MK_VOID** ppVirAddr, MK_U32 u32Len) {
    if (pu32PhyAddr == nullptr || ppVirAddr == nullptr) return MK_FAILURE;
    const int fd = MmzFd();
    if (fd < 0) return MK_FAILURE;
    MMZ_BLOCK_REQ_S req{};
    req.u32Size = u32Len;
    if (pszName != nullptr) std::memcpy(req.acMmbName, pszName, strnlen(pszName, MK_MMZ_MMB_NAME_LEN - 1));
    if (mk::MmzAllocAndMap(fd, &req, MK_MMZ_IOC_REMAP) != mk::kMmzOk) return MK_FAILURE;
    *pu32PhyAddr = req.u32PhyAddr;
    *ppVirAddr = req.pVirAddr;
    return MK_SUCCESS;
}

MK_S32 MPI_AUDIO_MmzFree(MK_U32 u32PhyAddr, MK_VOID* pVirAddr) {
    (void)pVirAddr;
    const int fd = MmzFd();
    if (fd < 0) return MK_FAILURE;
    MMZ_BLOCK_REQ_S req{};
    req.u32PhyAddr = u32PhyAddr;
    if (dev::Ioctl(fd, MK_MMZ_IOC_UNMAP, &req) != 0) return MK_FAILURE;
    if (dev::Ioctl(fd, MK_MMZ_IOC_FREE, &req) != 0) return MK_FAILURE;
    return MK_SUCCESS;
}

MK_S32 MPI_AUDIO_OpenMem(MK_VOID) {
    return Module().mem.Ensure("/dev/mem", O_RDWR | O_SYNC) == mk::DevSlot::kReady ? MK_SUCCESS : MK_FAILURE;
}
