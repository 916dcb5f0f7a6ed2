// Types, module ids, channel addresses and error codes shared by every module of the chip SDK.
#pragma once

#include <cstdint>

typedef int32_t MK_S32;
typedef uint32_t MK_U32;
typedef int64_t MK_S64;
typedef uint64_t MK_U64;
typedef uint16_t MK_U16;
typedef int16_t MK_S16;
typedef uint8_t MK_U8;
typedef int8_t MK_S8;
typedef char MK_CHAR;
typedef void MK_VOID;

typedef enum { MK_FALSE = 0, MK_TRUE = 1 } MK_BOOL;

#define MK_SUCCESS 0
#define MK_FAILURE (-1)
#define MK_NULL nullptr

// Module ids. Ids below MK_ID_BUTT are valid in a channel address; the 2D engine's id occurs only in
// error codes.
typedef enum {
    MK_ID_VB = 1,
    MK_ID_SYS = 2,
    MK_ID_RGN = 3,
    MK_ID_VDEC = 5,
    MK_ID_DEVONLY = 6,
    MK_ID_VPSS = 7,
    MK_ID_VENC = 8,
    MK_ID_VDA = 9,
    MK_ID_VOU = 15,
    MK_ID_VIU = 16,
    MK_ID_AI = 21,
    MK_ID_AO = 22,
    MK_ID_AENC = 23,
    MK_ID_ADEC = 24,
    MK_ID_PCIV = 26,
    MK_ID_HDMI = 40,
    MK_ID_BUTT = 52,
    MK_ID_TDE = 100,
} MPP_MOD_ID;

// A media channel address: what a bind connects, source to destination.
typedef struct {
    MK_S32 enModId;
    MK_S32 s32DevId;
    MK_S32 s32ChnId;
} MPP_CHN_S;
static_assert(sizeof(MPP_CHN_S) == 12);

// Error codes: 0xA0 in the top byte, the module id, level 4 (error) in bits 13-15, the number below.
#define MK_ERR_LEVEL_ERROR 4
#define MK_DEF_ERR(mod, level, err) \
    static_cast<MK_S32>(0xA0000000u | (static_cast<MK_U32>(mod) << 16) | ((level) << 13) | (err))

enum {
    MK_ERR_INVALID_DEVID = 0x01,
    MK_ERR_INVALID_CHNID = 0x02,
    MK_ERR_ILLEGAL_PARAM = 0x03,
    MK_ERR_EXIST = 0x04,
    MK_ERR_UNEXIST = 0x05,
    MK_ERR_NULL_PTR = 0x06,
    MK_ERR_NOT_CONFIG = 0x07,
    MK_ERR_NOT_SUPPORT = 0x08,
    MK_ERR_NOT_PERM = 0x09,
    MK_ERR_NOMEM = 0x0C,
    MK_ERR_NOBUF = 0x0D,
    MK_ERR_BUF_EMPTY = 0x0E,
    MK_ERR_BUF_FULL = 0x0F,
    MK_ERR_SYS_NOTREADY = 0x10,
    MK_ERR_BUSY = 0x12,
};

#define MK_ERR(mod, err) MK_DEF_ERR(mod, MK_ERR_LEVEL_ERROR, err)
