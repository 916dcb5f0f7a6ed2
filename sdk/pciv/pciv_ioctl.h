// The kernel/user interface of /dev/pciv: the channel, window, memory and DMA records and the request
// numbers. The driver includes only this; the SDK's functions are in mpi_pciv.h.
#pragma once

#include <sys/ioctl.h>

#include "sdk/common/mk_type.h"

#define PCIV_MAX_CHN_NUM 128
#define PCIV_MAX_DMABLK 128
#define PCIV_MAX_CHIPNUM 32

// A picture channel's attributes; the driver and the master own the fields.
typedef struct {
    MK_U32 au32Word[28];
} PCIV_ATTR_S;
static_assert(sizeof(PCIV_ATTR_S) == 112);

// The window buffer-pool configuration; passed through from the master.
typedef struct {
    MK_U32 u32PoolCount;
    MK_U32 au32BlkSize[8];
    MK_U32 au32BlkCount[8];
} PCIV_WINVBCFG_S;
static_assert(sizeof(PCIV_WINVBCFG_S) == 68);

typedef struct {
    MK_U32 u32SrcAddr;
    MK_U32 u32DstAddr;
    MK_U32 u32BlkSize;
} PCIV_DMA_BLOCK_S;
static_assert(sizeof(PCIV_DMA_BLOCK_S) == 12);

// Holds a pointer, so it has the host's layout.
typedef struct {
    MK_U32 u32Count;
    MK_U32 bRead;  // 0: from this chip's memory to the other chip's; 1: the other way
    PCIV_DMA_BLOCK_S* pBlock;
} PCIV_DMA_TASK_S;

typedef struct {
    MK_S32 s32ChipId;
    MK_U32 u32NpWinBase;
    MK_U32 u32PfWinBase;
    MK_U32 u32CfgWinBase;
    MK_U32 u32PfAHBAddr;
} PCIV_BASEWINDOW_S;
static_assert(sizeof(PCIV_BASEWINDOW_S) == 20);

typedef struct {
    MK_U32 u32PhyAddr;
    MK_U32 u32Size;
} PCIV_IOC_MALLOC_S;
static_assert(sizeof(PCIV_IOC_MALLOC_S) == 8);

typedef struct {
    MK_U32 u32ChnId;
    MK_U32 u32Index;
    MK_U32 u32PhyAddr;
    MK_U32 u32Size;
} PCIV_IOC_MALLOC_CHN_BUF_S;
static_assert(sizeof(PCIV_IOC_MALLOC_CHN_BUF_S) == 16);

#define PCIV_CREATE_CTRL _IOW('C', 0, PCIV_ATTR_S)
#define PCIV_DESTROY_CTRL _IO('C', 1)
#define PCIV_START_CTRL _IO('C', 4)
#define PCIV_STOP_CTRL _IO('C', 5)
#define PCIV_MALLOC_CTRL _IOWR('C', 6, PCIV_IOC_MALLOC_S)
#define PCIV_FREE_CTRL _IOW('C', 7, MK_U32)
#define PCIV_MALLOC_CHN_BUF_CTRL _IOWR('C', 8, PCIV_IOC_MALLOC_CHN_BUF_S)
#define PCIV_FREE_CHN_BUF_CTRL _IOW('C', 9, MK_U32)
#define PCIV_GETBASEWINDOW_CTRL _IOWR('C', 13, PCIV_BASEWINDOW_S)
#define PCIV_GETLOCALID_CTRL _IOR('C', 14, MK_S32)
#define PCIV_ENUMCHIPID_CTRL _IOR('C', 15, MK_S32[PCIV_MAX_CHIPNUM])
#define PCIV_DMATASK_CTRL _IOW('C', 16, PCIV_DMA_TASK_S)
#define PCIV_BINDCHN2FD_CTRL _IOW('C', 17, MK_U32)
#define PCIV_WINVBCREATE_CTRL _IOW('C', 18, PCIV_WINVBCFG_S)
#define PCIV_WINVBDESTROY_CTRL _IO('C', 19)
