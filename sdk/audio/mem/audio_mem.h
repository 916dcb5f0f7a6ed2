// Media-memory blocks for the audio modules (the output rings, the encoder's stream buffers): taken
// from the zone driver (/dev/mmz_userdev) and mapped into the process. Any thread may call these; the
// zone descriptor is opened once, on first use.
#pragma once

#include "sdk/common/mk_type.h"

// Allocates u32Len bytes named pszName (at most 15 characters kept) and maps them: 0 with both
// addresses set, or -1 (nothing is left allocated).
MK_S32 MPI_AUDIO_MmzAlloc(const MK_CHAR* pszName, MK_U32* pu32PhyAddr, MK_VOID** ppVirAddr, MK_U32 u32Len);
// Unmaps and frees the block at u32PhyAddr (pVirAddr is not used): 0, or -1 when the node cannot be
// opened or a request is refused.
MK_S32 MPI_AUDIO_MmzFree(MK_U32 u32PhyAddr, MK_VOID* pVirAddr);
// Opens /dev/mem if it is not open: 0 or -1.
MK_S32 MPI_AUDIO_OpenMem(MK_VOID);
