#include <fcntl.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstdio>

#include "platform/dev/dev.h"
#include "sdk/common/mk_dev.h"
#include "sdk/sys/mpi_sys.h"
#include "sdk/sys/mpi_sys_internal.h"

namespace dev = varnelle::dev;
using namespace mk::sys;

namespace {

uintptr_t PageMapLength(uintptr_t addr, MK_U32 size) {
    return ((static_cast<uintptr_t>(size) - 1 + (addr & 0xFFF)) & ~static_cast<uintptr_t>(0xFFF)) + 4096;
}

// Maps the pages holding [phys, phys + size) through `fd`; the address of phys in them, or null.
MK_VOID* MapPages(int fd, MK_U32 u32PhyAddr, MK_U32 u32Size) {
    uintptr_t page = u32PhyAddr & ~0xFFFu;
    void* p = dev::Mmap(nullptr, PageMapLength(u32PhyAddr, u32Size), PROT_READ | PROT_WRITE, MAP_SHARED, fd,
                        static_cast<off_t>(page));
    if (p == MAP_FAILED) {
        std::perror("mmap error");
        return nullptr;
    }
    return static_cast<char*>(p) + (u32PhyAddr & 0xFFF);
}

}  // namespace

MK_VOID* MK_MPI_SYS_Mmap(MK_U32 u32PhyAddr, MK_U32 u32Size) {
    // A size of 0 would otherwise wrap round to a 4 GiB mapping.
    if (u32Size == 0) return nullptr;
    // Read-write, synchronous; never created.
    if (Module().mem.Ensure("/dev/mem", O_RDWR | O_SYNC) != mk::DevSlot::kReady) {
        std::perror("Open dev/mem error");
        return nullptr;
    }
    return MapPages(Module().mem.fd(), u32PhyAddr, u32Size);
}

MK_S32 MK_MPI_SYS_Munmap(MK_VOID* pVirAddr, MK_U32 u32Size) {
    auto addr = reinterpret_cast<uintptr_t>(pVirAddr);
    // A size of 0 names no pages: munmap refuses the empty extent rather than a page being guessed.
    return dev::Munmap(reinterpret_cast<void*>(addr & ~static_cast<uintptr_t>(0xFFF)),
                       u32Size == 0 ? 0 : PageMapLength(addr, u32Size));
}

MK_VOID* MK_MPI_SYS_MmapCache(MK_U32 u32PhyAddr, MK_U32 u32Size) {
    if (u32Size == 0) {
        std::printf("Func: %s u32Size can't be 0.\n", "MK_MPI_SYS_MmapCache");
        return nullptr;
    }
    if (OpenSys() != MK_SUCCESS) return nullptr;
    return MapPages(Module().sys.fd(), u32PhyAddr, u32Size);
}
