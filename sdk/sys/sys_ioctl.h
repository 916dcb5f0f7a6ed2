// The kernel/user interface of /dev/sys and /dev/logmpp: the records the system control requests
// carry and their request numbers. The driver includes only this; the SDK's functions are in mpi_sys.h.
#pragma once

#include <sys/ioctl.h>

#include <cstddef>

#include "sdk/common/mk_type.h"

// ---- Records of /dev/sys and /dev/logmpp (fixed layouts) ----

typedef struct {
    MK_U32 u32AlignWidth;  // the application writes 16
} MPP_SYS_CONF_S;
static_assert(sizeof(MPP_SYS_CONF_S) == 4);

// What the bind requests carry: source first.
typedef struct {
    MPP_CHN_S stSrcChn;
    MPP_CHN_S stDestChn;
} MK_SYS_BIND_REQ_S;
static_assert(sizeof(MK_SYS_BIND_REQ_S) == 24);

#define MK_SYS_MMZ_NAME_LEN 16

// A channel's zone name; zero-filled after the name, which may use all 16 bytes.
typedef struct {
    MPP_CHN_S stMppChn;
    MK_CHAR acMmzName[MK_SYS_MMZ_NAME_LEN];
} MK_SYS_MEM_CONF_S;
static_assert(sizeof(MK_SYS_MEM_CONF_S) == 28);
static_assert(offsetof(MK_SYS_MEM_CONF_S, acMmzName) == 12);

// The read-back form: four more bytes, the first a zero that ends a 16-character name.
typedef struct {
    MPP_CHN_S stMppChn;
    MK_CHAR acMmzName[MK_SYS_MMZ_NAME_LEN];
    MK_CHAR acTerminator[4];
} MK_SYS_MEM_CONF_EX_S;
static_assert(sizeof(MK_SYS_MEM_CONF_EX_S) == 32);

// The kernel configuration; the first word is the timer setting (g_s32HRTimer).
typedef struct {
    MK_U32 u32HRTimer;
    MK_U32 u32Reserved;
} MK_SYS_KERNEL_CONFIG_S;
static_assert(sizeof(MK_SYS_KERNEL_CONFIG_S) == 8);

// The two halves of a record pair: an 8-byte key and a 16-byte value.
typedef struct {
    MK_U32 au32Word[2];
} MK_SYS_RECORD8_S;
typedef struct {
    MK_U32 au32Word[4];
} MK_SYS_RECORD16_S;
typedef struct {
    MK_SYS_RECORD8_S stKey;
    MK_SYS_RECORD16_S stValue;
} MK_SYS_RECORD_PAIR_S;
static_assert(sizeof(MK_SYS_RECORD_PAIR_S) == 24);
static_assert(offsetof(MK_SYS_RECORD_PAIR_S, stValue) == 8);

// The log device's record: a module's log level and name.
typedef struct {
    MK_S32 enModId;
    MK_S32 s32Level;
    MK_CHAR cModName[16];
} LOG_LEVEL_CONF_S;
static_assert(sizeof(LOG_LEVEL_CONF_S) == 24);

// ---- Requests ----

#define MK_SYS_IOC_INIT _IO('Y', 0)
#define MK_SYS_IOC_EXIT _IO('Y', 1)
#define MK_SYS_IOC_SET_CONF _IOW('Y', 2, MPP_SYS_CONF_S)
#define MK_SYS_IOC_GET_CONF _IOR('Y', 3, MPP_SYS_CONF_S)
#define MK_SYS_IOC_SET_U64_FIRST _IOW('Y', 4, MK_U64)
#define MK_SYS_IOC_SET_U64_SECOND _IOW('Y', 5, MK_U64)
#define MK_SYS_IOC_GET_U64 _IOR('Y', 6, MK_U64)
#define MK_SYS_IOC_BIND _IOW('Y', 7, MK_SYS_BIND_REQ_S)
#define MK_SYS_IOC_UNBIND _IOW('Y', 8, MK_SYS_BIND_REQ_S)
#define MK_SYS_IOC_GET_BIND_BY_DEST _IOWR('Y', 9, MK_SYS_BIND_REQ_S)
#define MK_SYS_IOC_SET_MEM_CONF _IOW('Y', 10, MK_SYS_MEM_CONF_S)
#define MK_SYS_IOC_GET_MEM_CONF _IOWR('Y', 11, MK_SYS_MEM_CONF_EX_S)
#define MK_SYS_IOC_GET_CUSTOMER_ID _IOR('Y', 12, MK_U32)
#define MK_SYS_IOC_SET_WORD _IOW('Y', 13, MK_U32)
#define MK_SYS_IOC_GET_KERNEL_CONFIG _IOR('Y', 14, MK_SYS_KERNEL_CONFIG_S)
#define MK_SYS_IOC_GET_WORD _IOR('Y', 15, MK_U32)
#define MK_SYS_IOC_COMMAND _IO('Y', 16)
#define MK_SYS_IOC_SET_PAIR _IOW('Y', 18, MK_SYS_RECORD_PAIR_S)
#define MK_SYS_IOC_QUERY_PAIR _IOWR('Y', 19, MK_SYS_RECORD_PAIR_S)

#define MK_LOG_IOC_SET_CONF _IOW('L', 0, LOG_LEVEL_CONF_S)
#define MK_LOG_IOC_GET_CONF _IOWR('L', 1, LOG_LEVEL_CONF_S)
