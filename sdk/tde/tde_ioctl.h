// The 2D engine, the records and requests of /dev/mk_tde (magic 't'). Work goes in jobs: a job is begun
// (the driver writes its handle, a small positive number), operations are queued into it, and it is
// ended, which runs them in order, or cancelled, which drops them. Surfaces lie in physical memory.
#pragma once

#include <sys/ioctl.h>

#include <cstddef>

#include "sdk/common/mk_type.h"

typedef MK_S32 TDE_HANDLE;

// Pixel formats the engine draws in: 16 bits 5-6-5 without alpha; 16 bits 4-4-4-4, 1-5-5-5 and
// 32 bits 8-8-8-8 with alpha in the top bits. Colours are taken as premultiplied by their alpha.
enum {
    TDE2_COLOR_FMT_RGB565 = 0,
    TDE2_COLOR_FMT_ARGB4444 = 1,
    TDE2_COLOR_FMT_ARGB1555 = 2,
    TDE2_COLOR_FMT_ARGB8888 = 3,
    TDE2_COLOR_FMT_BUTT
};

typedef struct {
    MK_U32 u32PhyAddr;
    MK_U32 enColorFmt;
    MK_U32 u32Height;
    MK_U32 u32Width;
    MK_U32 u32Stride;  // bytes per row
    MK_U32 u32ClutPhyAddr;
    MK_U32 bYCbCrClut;
    MK_U32 bAlphaMax255;
    MK_U32 bAlphaExt1555;
    MK_U32 u32Alpha0;
    MK_U32 u32Alpha1;
    MK_U32 u32CbCrPhyAddr;
} TDE2_SURFACE_S;
static_assert(sizeof(TDE2_SURFACE_S) == 48);

typedef struct {
    MK_S32 s32Xpos;
    MK_S32 s32Ypos;
    MK_U32 u32Width;
    MK_U32 u32Height;
} TDE2_RECT_S;
static_assert(sizeof(TDE2_RECT_S) == 16);

// Options of the two-source, parameter and surface-list operations.
typedef struct {
    MK_U32 u32GlobalAlpha;  // 0 to 255: the second source counts this much
    MK_U32 au32Word[37];    // kept, not read
} TDE2_OPT_S;
static_assert(sizeof(TDE2_OPT_S) == 152);

// Options of the three-surface operation, the special-source operation's source and options, and the
// parameter operation's parameter: kept by the driver, not read.
typedef struct {
    MK_U32 au32Word[34];
} TDE2_MBOPT_S;
static_assert(sizeof(TDE2_MBOPT_S) == 136);
typedef struct {
    MK_U32 au32Word[7];
} TDE2_SPECIAL_SRC_S;
static_assert(sizeof(TDE2_SPECIAL_SRC_S) == 28);
typedef struct {
    MK_U32 au32Word[9];
} TDE2_SPECIAL_OPT_S;
static_assert(sizeof(TDE2_SPECIAL_OPT_S) == 36);
typedef struct {
    MK_U32 au32Word[2];
} TDE2_PARAM_S;
static_assert(sizeof(TDE2_PARAM_S) == 8);

// Surface lists: entries drawn one after the other over one destination surface.
typedef struct {
    TDE2_SURFACE_S stSurface;
    TDE2_RECT_S stSrcRect;
    TDE2_RECT_S stDstRect;
    TDE2_OPT_S stOpt;
} TDE2_SURFACE_LIST_ENTRY_S;
static_assert(sizeof(TDE2_SURFACE_LIST_ENTRY_S) == 232);

typedef struct {
    MK_S32 s32Count;
    const TDE2_SURFACE_S* pstDst;
    const TDE2_SURFACE_LIST_ENTRY_S* pstEntries;
} TDE2_SURFACE_LIST_S;

// Absent-argument bits of the records that end in a mask.
enum {
    TDE_ABSENT_SRC1 = 2,
    TDE_ABSENT_SRC1_RECT = 4,
    TDE_ABSENT_SRC2 = 8,
    TDE_ABSENT_SRC2_RECT = 16,
    TDE_ABSENT_PARAM = 32,  // parameter operation
    TDE_ABSENT_SRC3 = 32,   // three-surface operation
    TDE_ABSENT_OPT_PARAM = 64,
    TDE_ABSENT_SRC3_RECT = 64,
    TDE_ABSENT_OPT = 128,
};

// Request records.
typedef struct {
    TDE_HANDLE s32Handle;
    TDE2_SURFACE_S stSrc1;
    TDE2_RECT_S stSrc1Rect;
    TDE2_SURFACE_S stSrc2;
    TDE2_RECT_S stSrc2Rect;
    TDE2_SURFACE_S stDst;
    TDE2_RECT_S stDstRect;
    TDE2_OPT_S stOpt;
    MK_U32 u32Absent;
} TDE_TWOSRC_REQ_S;
static_assert(sizeof(TDE_TWOSRC_REQ_S) == 352);
static_assert(offsetof(TDE_TWOSRC_REQ_S, stOpt) == 196);

typedef struct {
    TDE_HANDLE s32Handle;
    TDE2_SURFACE_S stSrc;
    TDE2_RECT_S stSrcRect;
    TDE2_SURFACE_S stDst;
    TDE2_RECT_S stDstRect;
    TDE2_PARAM_S stParam;
    TDE2_OPT_S stOpt;
    MK_U32 u32Absent;
} TDE_PARAM_REQ_S;
static_assert(sizeof(TDE_PARAM_REQ_S) == 296);
static_assert(offsetof(TDE_PARAM_REQ_S, stOpt) == 140);

typedef struct {
    TDE_HANDLE s32Handle;
    TDE2_SURFACE_S stSrc;
    TDE2_RECT_S stSrcRect;
    TDE2_SURFACE_S stDst;
    TDE2_RECT_S stDstRect;
} TDE_SIMPLE_REQ_S;
static_assert(sizeof(TDE_SIMPLE_REQ_S) == 132);

typedef struct {
    TDE_HANDLE s32Handle;
    TDE2_SURFACE_S stDst;
    TDE2_RECT_S stDstRect;
    MK_U32 u32FillData;  // a pixel in the surface's format
} TDE_FILL_REQ_S;
static_assert(sizeof(TDE_FILL_REQ_S) == 72);

typedef struct {
    TDE_HANDLE s32Handle;
    TDE2_SPECIAL_SRC_S stSrc;
    TDE2_RECT_S stSrcRect;
    TDE2_SURFACE_S stDst;
    TDE2_RECT_S stDstRect;
    TDE2_SPECIAL_OPT_S stOpt;
} TDE_SPECIAL_REQ_S;
static_assert(sizeof(TDE_SPECIAL_REQ_S) == 148);

typedef struct {
    TDE_HANDLE s32Handle;
    MK_U32 u32Zero;  // the sync flag's place, always 0
    MK_U32 bBlock;
    MK_U32 u32TimeOut;
} TDE_ENDJOB_REQ_S;
static_assert(sizeof(TDE_ENDJOB_REQ_S) == 16);

typedef struct {
    TDE2_SURFACE_S stSurface;
    TDE2_RECT_S stRect;
} TDE_SURFACE_RECT_S;

typedef struct {
    TDE_HANDLE s32Handle;
    TDE_SURFACE_RECT_S astSurface[4];
    MK_U32 u32Word0;  // request 13: one byte and three of padding
    MK_U32 u32Word1;
} TDE_FOUR_REQ_S;
static_assert(sizeof(TDE_FOUR_REQ_S) == 268);

typedef struct {
    TDE_HANDLE s32Handle;
    TDE_SURFACE_RECT_S astSurface[3];
    TDE2_MBOPT_S stOpt;
    MK_U32 u32Absent;
} TDE_THREE_REQ_S;
static_assert(sizeof(TDE_THREE_REQ_S) == 336);

namespace mk::tde {
// The driver writes the new job's handle into the word.
inline constexpr unsigned long kBeginJob = _IOW('t', 1, TDE_HANDLE);
inline constexpr unsigned long kTwoSource = _IOW('t', 2, TDE_TWOSRC_REQ_S);
inline constexpr unsigned long kParam = _IOW('t', 3, TDE_PARAM_REQ_S);
inline constexpr unsigned long kCopy = _IOW('t', 4, TDE_SIMPLE_REQ_S);
inline constexpr unsigned long kScale = _IOW('t', 5, TDE_SIMPLE_REQ_S);
inline constexpr unsigned long kFill = _IOW('t', 6, TDE_FILL_REQ_S);
inline constexpr unsigned long kSimple7 = _IOW('t', 7, TDE_SIMPLE_REQ_S);
inline constexpr unsigned long kSpecial = _IOW('t', 8, TDE_SPECIAL_REQ_S);
inline constexpr unsigned long kEndJob = _IOW('t', 9, TDE_ENDJOB_REQ_S);
inline constexpr unsigned long kCancelJob = _IOW('t', 11, TDE_HANDLE);
inline constexpr unsigned long kFour12 = _IOW('t', 12, TDE_FOUR_REQ_S);
inline constexpr unsigned long kFour13 = _IOW('t', 13, TDE_FOUR_REQ_S);
inline constexpr unsigned long kThree = _IOW('t', 23, TDE_THREE_REQ_S);
// Module requests without a job.
inline constexpr unsigned long kSetValue10 = _IOW('t', 10, MK_U32);
inline constexpr unsigned long kRequest14 = _IO('t', 14);
inline constexpr unsigned long kRequest15 = _IO('t', 15);
inline constexpr unsigned long kSetValue17 = _IOW('t', 17, MK_U32);
inline constexpr unsigned long kGetValue18 = _IOR('t', 18, MK_U32);
inline constexpr unsigned long kSetFlag19 = _IOW('t', 19, MK_U8);
inline constexpr unsigned long kGetFlag20 = _IOR('t', 20, MK_U8);
inline constexpr unsigned long kSetValue21 = _IOW('t', 21, MK_U32);
inline constexpr unsigned long kSetValue22 = _IOW('t', 22, MK_U32);
inline constexpr unsigned long kSetValue24 = _IOW('t', 24, MK_U32);
}  // namespace mk::tde

#define MK_ERR_TDE_NOT_OPEN MK_ERR(MK_ID_TDE, 0x01)
#define MK_ERR_TDE_OPEN_FAILED MK_ERR(MK_ID_TDE, 0x02)
#define MK_ERR_TDE_NULL_PTR MK_ERR(MK_ID_TDE, 0x03)
#define MK_ERR_TDE_INVALID_HANDLE MK_ERR(MK_ID_TDE, 0x04)
#define MK_ERR_TDE_JOB_FAILED MK_ERR(MK_ID_TDE, 0x05)
#define MK_ERR_TDE_OUT_OF_RANGE MK_ERR(MK_ID_TDE, 0x06)
#define MK_ERR_TDE_NOT_SUPPORT MK_ERR(MK_ID_TDE, MK_ERR_NOT_SUPPORT)
#define MK_ERR_TDE_FULL MK_ERR(MK_ID_TDE, MK_ERR_BUF_FULL)
