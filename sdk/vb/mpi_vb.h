// VB: video buffer pools of the chip SDK. The kernel owns the pools; this module sends the requests of
// /dev/vb, keeps a user-space table of the pools a process maps whole (one table per family: the public
// pools and the SDK's private Ex pools) and turns block addresses into user addresses.
#pragma once

#include "sdk/common/mk_type.h"
#include "sdk/vb/vb_ioctl.h"

// The plan of the common pools and their life cycle. SetConf refuses a used entry whose zone name has
// 16 characters or more (0xA0018003). Init and Exit are safe to call again; Exit unmaps every pool
// mapping of this process except those of pools whose blocks are still held.
MK_S32 MK_MPI_VB_SetConf(const VB_CONF_S* pstConf);
MK_S32 MK_MPI_VB_GetConf(VB_CONF_S* pstConf);
MK_S32 MK_MPI_VB_Init(MK_VOID);
MK_S32 MK_MPI_VB_Exit(MK_VOID);

// Pools reached by id. CreatePool returns the pool id, or VB_INVALID_POOLID on any failure; a pool
// holds at most VB_MAX_BLOCKS blocks.
VB_POOL MK_MPI_VB_CreatePool(MK_U32 u32BlkSize, MK_U32 u32BlkCnt, const MK_CHAR* pcMmzName);
MK_S32 MK_MPI_VB_DestroyPool(VB_POOL Pool);

// A block of `Pool`, or with VB_INVALID_POOLID of the best-fitting common pool of `pcMmzName` that holds
// u32BlkSize bytes; VB_INVALID_HANDLE on any failure.
VB_BLK MK_MPI_VB_GetBlock(VB_POOL Pool, MK_U32 u32BlkSize, const MK_CHAR* pcMmzName);
MK_S32 MK_MPI_VB_ReleaseBlock(VB_BLK Block);
// The block's physical address, or 0.
MK_U32 MK_MPI_VB_Handle2PhysAddr(VB_BLK Block);
// The block's pool, or VB_INVALID_POOLID.
VB_POOL MK_MPI_VB_Handle2PoolId(VB_BLK Block);

// Maps a whole pool into the process once; later calls return 0 and map nothing.
MK_S32 MK_MPI_VB_MmapPool(VB_POOL Pool);
// Unmaps it; 0xA0018012 while blocks of the pool are held; 0 when it is not mapped.
MK_S32 MK_MPI_VB_MunmapPool(VB_POOL Pool);
// The user address of physical address u32PhyAddr of a mapped pool; 0xA0018003 when the address lies
// outside the pool, 0xA0018010 when the pool is not mapped.
MK_S32 MK_MPI_VB_GetBlkVirAddr(VB_POOL Pool, MK_U32 u32PhyAddr, MK_VOID** ppVirAddr);

// A module's own common pools, by user id 0 to 21.
MK_S32 MK_MPI_VB_SetModPoolConf(MK_U32 u32Uid, const VB_CONF_S* pstConf);
MK_S32 MK_MPI_VB_InitModCommPool(MK_U32 u32Uid);
MK_S32 MK_MPI_VB_ExitModCommPool(MK_U32 u32Uid);

// The SDK's private pools: as the public operations, on their own pools and map table.
VB_POOL MK_MPI_VB_CreatePoolEx(MK_U32 u32BlkSize, MK_U32 u32BlkCnt, const MK_CHAR* pcMmzName);
MK_S32 MK_MPI_VB_DestroyPoolEx(VB_POOL Pool);
VB_BLK MK_MPI_VB_GetBlockEx(VB_POOL Pool, MK_U32 u32BlkSize, const MK_CHAR* pcMmzName);
MK_S32 MK_MPI_VB_ReleaseBlockEx(VB_BLK Block);
MK_U32 MK_MPI_VB_Handle2PhysAddrEx(VB_BLK Block);
MK_S32 MK_MPI_VB_MmapPoolEx(VB_POOL Pool);
MK_S32 MK_MPI_VB_MunmapPoolEx(VB_POOL Pool);
MK_S32 MK_MPI_VB_GetBlkVirAddrEx(VB_POOL Pool, MK_U32 u32PhyAddr, MK_VOID** ppVirAddr);

// The number of holders of a block (the driver's block query), or -1.
MK_S32 MK_MPI_VB_QueryBlock(VB_BLK Block);
// The /dev/vb descriptor, opened if needed; 0xA0018010 when it cannot be opened.
MK_S32 MK_MPI_VB_GetFd(MK_VOID);
// The driver's 4-byte setting record.
MK_S32 MK_MPI_VB_SetSetting(const VB_SETTING_S* pstSetting);
MK_S32 MK_MPI_VB_GetSetting(VB_SETTING_S* pstSetting);
// A pool of up to u32BlkCnt blocks that the caller supplies; its id or VB_INVALID_POOLID.
VB_POOL MK_MPI_VB_CreateUserPool(MK_U32 u32BlkCnt, const MK_CHAR* pcMmzName);
// Makes caller memory [u32PhyAddr, u32PhyAddr + u32Size) a block of such a pool, held by the caller;
// its handle or VB_INVALID_HANDLE.
VB_BLK MK_MPI_VB_AddUserBlock(VB_POOL Pool, MK_U32 u32PhyAddr, MK_U32 u32Size);
