// The kernel/user interface of /dev/vb: the pool and block records and the request numbers. The
// driver includes only this; the SDK's functions are in mpi_vb.h.
#pragma once

#include <sys/ioctl.h>

#include <cstddef>

#include "sdk/common/mk_type.h"

#define VB_MAX_POOLS 256
#define VB_MAX_COMM_POOLS 16
#define VB_MAX_MOD_COMM_POOL_ID 21  // user ids of module common pools run 0 to this
#define MAX_MMZ_NAME_LEN 16
#define VB_INVALID_POOLID (-1U)
#define VB_INVALID_HANDLE (-1U)
// Blocks a pool may hold: a handle keeps 12 bits for the block's index, 8 for the pool id and 12 for a
// generation of the pool id, so that a handle outliving its pool names no block of a later pool
// with the same id.
#define VB_MAX_BLOCKS 4095

typedef MK_U32 VB_POOL;
typedef MK_U32 VB_BLK;

// The pool plan: a maximum pool count, then 16 pools (entries with a zero size or count are absent).
typedef struct {
    MK_U32 u32MaxPoolCnt;
    struct {
        MK_U32 u32BlkSize;
        MK_U32 u32BlkCnt;
        MK_CHAR acMmzName[MAX_MMZ_NAME_LEN];  // zone to take the pool from; "" for the default
    } astCommPool[VB_MAX_COMM_POOLS];
} VB_CONF_S;
static_assert(sizeof(VB_CONF_S) == 388);
static_assert(offsetof(VB_CONF_S, astCommPool) == 4);
static_assert(sizeof(VB_CONF_S::astCommPool[0]) == 24);

// A module's common pool plan: its user id, then the plan.
typedef struct {
    MK_U32 u32Uid;
    VB_CONF_S stConf;
} VB_MOD_POOL_CONF_S;
static_assert(sizeof(VB_MOD_POOL_CONF_S) == 392);
static_assert(offsetof(VB_MOD_POOL_CONF_S, stConf) == 4);

// The record of the pool and block requests; which fields each request fills is with the requests.
typedef struct {
    MK_U32 u32PoolId;                   // out on create (-1 going in); in on get (-1: any pool)
    MK_U32 u32BlkSize;                  // block size; the wanted size of a get from any pool
    MK_U32 u32BlkCnt;                   // block count on create
    MK_U32 u32Handle;                   // block handle out (-1 going in); -1 on create
    MK_U32 u32AnyPool;                  // 1 on a get from any pool
    MK_CHAR acMmzName[MAX_MMZ_NAME_LEN];  // zone name, not necessarily terminated
    MK_U32 u32NameEnd;                  // 0: ends a name of 16 characters
    MK_U32 u32PhyAddr;                  // the caller's block address (request 28)
} VB_POOL_INFO_S;
static_assert(sizeof(VB_POOL_INFO_S) == 44);
static_assert(offsetof(VB_POOL_INFO_S, u32Handle) == 12);
static_assert(offsetof(VB_POOL_INFO_S, u32AnyPool) == 16);
static_assert(offsetof(VB_POOL_INFO_S, acMmzName) == 20);
static_assert(offsetof(VB_POOL_INFO_S, u32NameEnd) == 36);
static_assert(offsetof(VB_POOL_INFO_S, u32PhyAddr) == 40);

// The pool map record of requests 12 and 24. The user address field is 32-bit on the wire and stays 0
// on a 64-bit host; the module keeps the mapping's address in its own table.
typedef struct {
    MK_U32 u32PoolId;   // in
    MK_U32 u32PoolSize; // out: bytes the pool spans
    MK_U32 u32PhyAddr;  // out: the pool's physical base
    MK_U32 u32UserAddr; // unused
} VB_POOL_MAP_S;
static_assert(sizeof(VB_POOL_MAP_S) == 16);
static_assert(offsetof(VB_POOL_MAP_S, u32PhyAddr) == 8);

// The 4-byte setting record of requests 18 and 19; its meaning is the driver's.
typedef struct {
    MK_U32 u32Setting;
} VB_SETTING_S;
static_assert(sizeof(VB_SETTING_S) == 4);

// Requests of /dev/vb. Word requests carry one MK_U32: in, and answered in place where the call
// returns a value.
#define VB_IOC_CREATE_POOL _IOWR('B', 1, VB_POOL_INFO_S)
#define VB_IOC_DESTROY_POOL _IOWR('B', 2, MK_U32)
#define VB_IOC_GET_BLOCK _IOWR('B', 3, VB_POOL_INFO_S)
#define VB_IOC_RELEASE_BLOCK _IOWR('B', 4, MK_U32)
#define VB_IOC_HANDLE2PHYS _IOWR('B', 5, MK_U32)
#define VB_IOC_HANDLE2POOL _IOWR('B', 6, MK_U32)
#define VB_IOC_QUERY_BLOCK _IOWR('B', 7, MK_U32)
#define VB_IOC_INIT _IO('B', 8)
#define VB_IOC_EXIT _IO('B', 9)
#define VB_IOC_GET_CONF _IOR('B', 10, VB_CONF_S)
#define VB_IOC_SET_CONF _IOW('B', 11, VB_CONF_S)
#define VB_IOC_POOL_MAP_INFO _IOWR('B', 12, VB_POOL_MAP_S)
#define VB_IOC_POOL_IN_USE _IOWR('B', 13, MK_U32)
#define VB_IOC_INIT_MOD_POOL _IOW('B', 14, MK_U32)
#define VB_IOC_EXIT_MOD_POOL _IOW('B', 15, MK_U32)
#define VB_IOC_SET_MOD_POOL_CONF _IOW('B', 17, VB_MOD_POOL_CONF_S)
#define VB_IOC_SET_SETTING _IOW('B', 18, VB_SETTING_S)
#define VB_IOC_GET_SETTING _IOR('B', 19, VB_SETTING_S)
#define VB_IOC_CREATE_POOL_EX _IOWR('B', 20, VB_POOL_INFO_S)
#define VB_IOC_DESTROY_POOL_EX _IOWR('B', 21, MK_U32)
#define VB_IOC_GET_BLOCK_EX _IOWR('B', 22, VB_POOL_INFO_S)
#define VB_IOC_RELEASE_BLOCK_EX _IOWR('B', 23, MK_U32)
#define VB_IOC_POOL_MAP_INFO_EX _IOWR('B', 24, VB_POOL_MAP_S)
#define VB_IOC_POOL_IN_USE_EX _IOWR('B', 25, MK_U32)
#define VB_IOC_HANDLE2PHYS_EX _IOWR('B', 26, MK_U32)
#define VB_IOC_CREATE_CALLER_POOL _IOWR('B', 27, VB_POOL_INFO_S)
#define VB_IOC_ADD_CALLER_BLOCK _IOWR('B', 28, VB_POOL_INFO_S)
