// PCIV: the PCIe transfer module: chip ids, window bases, PCIe-reachable memory, window buffer pools,
// DMA between this chip's memory and another chip's, and picture channels.
#pragma once

#include "sdk/common/mk_type.h"
#include "sdk/pciv/pciv_ioctl.h"

MK_S32 MK_MPI_PCIV_Create(MK_S32 s32PcivChn, const PCIV_ATTR_S* pstAttr);
MK_S32 MK_MPI_PCIV_Destroy(MK_S32 s32PcivChn);
MK_S32 MK_MPI_PCIV_Start(MK_S32 s32PcivChn);
MK_S32 MK_MPI_PCIV_Stop(MK_S32 s32PcivChn);
// All or nothing: a failed allocation gives back the blocks it took.
MK_S32 MK_MPI_PCIV_Malloc(MK_U32 u32BlkSize, MK_U32 u32BlkCnt, MK_U32 au32PhyAddr[]);
MK_S32 MK_MPI_PCIV_Free(MK_U32 u32BlkCnt, const MK_U32 au32PhyAddr[]);
MK_S32 MK_MPI_PCIV_MallocChnBuffer(MK_S32 s32PcivChn, MK_U32 u32BlkSize, MK_U32 u32BlkCnt, MK_U32 au32PhyAddr[]);
MK_S32 MK_MPI_PCIV_DmaTask(PCIV_DMA_TASK_S* pstTask);
MK_S32 MK_MPI_PCIV_GetLocalId(MK_VOID);
MK_S32 MK_MPI_PCIV_EnumChip(MK_S32 as32ChipID[PCIV_MAX_CHIPNUM]);
MK_S32 MK_MPI_PCIV_GetBaseWindow(MK_S32 s32ChipId, PCIV_BASEWINDOW_S* pstBase);
MK_S32 MK_MPI_PCIV_WinVbCreate(const PCIV_WINVBCFG_S* pstConfig);
MK_S32 MK_MPI_PCIV_WinVbDestroy(MK_VOID);
