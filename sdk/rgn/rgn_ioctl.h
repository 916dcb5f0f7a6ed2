// Overlay regions, the records and requests of /dev/rgn (magic 'R'). A region is an overlay (a bitmap
// with alphas) or a cover (a solid rectangle), named by a handle the caller chooses below
// RGN_HANDLE_MAX, attached to the channels whose pictures it is drawn into.
#pragma once

#include <sys/ioctl.h>

#include <cstddef>

#include "sdk/common/mk_comm_video.h"
#include "sdk/common/mk_type.h"

typedef MK_U32 RGN_HANDLE;
#define RGN_HANDLE_MAX 1024
// Canvases per overlay region.
#define RGN_CANVAS_NUM 2

enum { OVERLAY_RGN = 0, COVER_RGN = 1 };

// Pixel formats of region bitmaps and canvases: 16-bit, alpha bit 15, then 5 bits each of red, green
// and blue.
#define MK_PIXEL_FORMAT_RGB_1555 10

// Alphas run from 0 (transparent) to RGN_ALPHA_MAX (opaque). An overlay pixel whose alpha bit is set
// is drawn with the foreground alpha, one whose bit is clear with the background alpha.
#define RGN_ALPHA_MAX 128

// Largest region side in pixels.
#define RGN_MAX_SIDE 4096

typedef struct {
    MK_U32 enPixelFmt;
    MK_U32 u32BgColor;  // an ARGB1555 pixel in the low 16 bits: what the bitmap does not cover
    SIZE_S stSize;
} OVERLAY_ATTR_S;

typedef struct {
    MK_U32 enType;  // OVERLAY_RGN or COVER_RGN; a cover has no attributes of its own
    union {
        OVERLAY_ATTR_S stOverlay;
    } unAttr;
} RGN_ATTR_S;
static_assert(sizeof(RGN_ATTR_S) == 20);

typedef struct {
    POINT_S stPoint;  // the bitmap's top left corner in the picture
    MK_U32 u32BgAlpha;
    MK_U32 u32FgAlpha;
    MK_U32 u32Layer;  // higher layers are drawn over lower ones
} OVERLAY_CHN_ATTR_S;

enum { AREA_RECT = 0 };

typedef struct {
    MK_U32 enCoverType;  // AREA_RECT
    RECT_S stRect;
    MK_U32 u32Color;  // 0x00RRGGBB
    MK_U32 u32Layer;
} COVER_CHN_ATTR_S;

typedef struct {
    MK_U32 bShow;
    MK_U32 enType;  // as the region's
    union {
        OVERLAY_CHN_ATTR_S stOverlayChn;
        COVER_CHN_ATTR_S stCoverChn;
        MK_U32 au32Words[13];
    } unChnAttr;
} RGN_CHN_ATTR_S;
static_assert(sizeof(RGN_CHN_ATTR_S) == 60);

// A bitmap to load: the pixels stay the caller's and are copied by the driver during the request.
typedef struct {
    MK_U32 enPixelFormat;
    MK_U32 u32Width;
    MK_U32 u32Height;
    const MK_VOID* pData;  // u32Width x u32Height pixels, row after row
} BITMAP_S;

// A canvas: the driver gives its physical address, size, stride and format; the module adds the
// address at which this process sees it.
typedef struct {
    MK_U32 u32PhyAddr;
    MK_U8* pVirtAddr;
    SIZE_S stSize;
    MK_U32 u32Stride;  // bytes per row
    MK_U32 enPixelFmt;
} RGN_CANVAS_INFO_S;

// Request records.
typedef struct {
    RGN_HANDLE Handle;
    RGN_ATTR_S stAttr;
} RGN_CREATE_REQ_S;
static_assert(sizeof(RGN_CREATE_REQ_S) == 24);

typedef struct {
    RGN_HANDLE Handle;
    BITMAP_S stBitmap;
} RGN_BITMAP_REQ_S;

typedef struct {
    RGN_HANDLE Handle;
    MPP_CHN_S stChn;
    RGN_CHN_ATTR_S stChnAttr;
} RGN_ATTACH_REQ_S;
static_assert(sizeof(RGN_ATTACH_REQ_S) == 76);

typedef struct {
    RGN_HANDLE Handle;
    MK_U32 u32Index;  // out: which canvas
    MK_U32 u32Size;   // out: the canvas's bytes
    RGN_CANVAS_INFO_S stCanvas;
} RGN_CANVAS_REQ_S;

typedef struct {
    RGN_HANDLE Handle;
    MK_U32 u32Value;
} RGN_WORD_REQ_S;
static_assert(sizeof(RGN_WORD_REQ_S) == 8);

namespace mk::rgn {
inline constexpr unsigned long kCreate = _IOWR('R', 0, RGN_CREATE_REQ_S);
inline constexpr unsigned long kDestroy = _IOW('R', 2, RGN_HANDLE);
inline constexpr unsigned long kSetBitMap = _IOW('R', 5, RGN_BITMAP_REQ_S);
inline constexpr unsigned long kAttachToChn = _IOW('R', 9, RGN_ATTACH_REQ_S);
// A word the driver keeps for the region.
inline constexpr unsigned long kRequest11 = _IOW('R', 11, RGN_WORD_REQ_S);
inline constexpr unsigned long kGetCanvas = _IOWR('R', 13, RGN_CANVAS_REQ_S);
// Shows the canvas last handed out.
inline constexpr unsigned long kUpdateCanvas = _IOW('R', 14, RGN_HANDLE);
}  // namespace mk::rgn

#define MK_ERR_RGN_ILLEGAL_PARAM MK_ERR(MK_ID_RGN, MK_ERR_ILLEGAL_PARAM)
#define MK_ERR_RGN_EXIST MK_ERR(MK_ID_RGN, MK_ERR_EXIST)
#define MK_ERR_RGN_UNEXIST MK_ERR(MK_ID_RGN, MK_ERR_UNEXIST)
#define MK_ERR_RGN_NULL_PTR MK_ERR(MK_ID_RGN, MK_ERR_NULL_PTR)
#define MK_ERR_RGN_NOT_SUPPORT MK_ERR(MK_ID_RGN, MK_ERR_NOT_SUPPORT)
#define MK_ERR_RGN_NOT_PERM MK_ERR(MK_ID_RGN, MK_ERR_NOT_PERM)
#define MK_ERR_RGN_NOMEM MK_ERR(MK_ID_RGN, MK_ERR_NOMEM)
#define MK_ERR_RGN_NOTREADY MK_ERR(MK_ID_RGN, MK_ERR_SYS_NOTREADY)
