#include <fcntl.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstdio>

#include "platform/dev/dev.h"
#include "sdk/common/mk_dev.h"
#include "sdk/sys/mpi_sys.h"

namespace dev = varnelle::dev;

namespace {

mk::DevSlot& MemSlot() {
    static auto* slot = new mk::DevSlot;
    return *slot;
}

uintptr_t PageMapLength(uintptr_t addr, MK_U32 size) {
    return ((static_cast<uintptr_t>(size) - 1 + (addr & 0xFFF)) & ~static_cast<uintptr_t>(0xFFF)) + 4096;
}

}  // namespace

MK_VOID* MK_MPI_SYS_Mmap(MK_U32 u32PhyAddr, MK_U32 u32Size) {
    // A size of 0 would otherwise wrap round to a 4 GiB mapping.
    if (u32Size == 0) return nullptr;
    // Read-write, synchronous; never created.
    if (MemSlot().Ensure("/dev/mem", O_RDWR | O_SYNC) != mk::DevSlot::kReady) {
        std::perror("Open dev/mem error");
        return nullptr;
    }
    uintptr_t page = u32PhyAddr & ~0xFFFu;
    void* p = dev::Mmap(nullptr, PageMapLength(u32PhyAddr, u32Size), PROT_READ | PROT_WRITE, MAP_SHARED,
                        MemSlot().fd(), static_cast<off_t>(page));
    if (p == MAP_FAILED) {
        std::perror("mmap error");
        return nullptr;
    }
    return static_cast<char*>(p) + (u32PhyAddr & 0xFFF);
}

MK_S32 MK_MPI_SYS_Munmap(MK_VOID* pVirAddr, MK_U32 u32Size) {
    auto addr = reinterpret_cast<uintptr_t>(pVirAddr);
    return dev::Munmap(reinterpret_cast<void*>(addr & ~static_cast<uintptr_t>(0xFFF)),
                       PageMapLength(addr, u32Size == 0 ? 1 : u32Size));
}
