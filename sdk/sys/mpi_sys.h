// SYS: system control of the chip SDK.
#pragma once

#include <cstddef>

#include "sdk/common/mk_type.h"

// Maps [u32PhyAddr, u32PhyAddr + u32Size) into the process through /dev/mem, page-rounded, and returns
// the address of u32PhyAddr in the mapping; null on failure (also for a size of 0).
MK_VOID* MK_MPI_SYS_Mmap(MK_U32 u32PhyAddr, MK_U32 u32Size);
// Unmaps the same page extent that MK_MPI_SYS_Mmap mapped; the result of munmap.
MK_S32 MK_MPI_SYS_Munmap(MK_VOID* pVirAddr, MK_U32 u32Size);
