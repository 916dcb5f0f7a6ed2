// Video records shared by capture, processing, display and encoding: rectangles, the frame record,
// the request block of the frame calls and that of the region-luminance calls.
#pragma once

#include <cstddef>

#include "sdk/common/mk_type.h"

#ifndef MK_COMM_VIDEO_RECORDS
#define MK_COMM_VIDEO_RECORDS

typedef struct {
    MK_S32 s32X;
    MK_S32 s32Y;
} POINT_S;
static_assert(sizeof(POINT_S) == 8);

typedef struct {
    MK_U32 u32Width;
    MK_U32 u32Height;
} SIZE_S;
static_assert(sizeof(SIZE_S) == 8);

typedef struct {
    MK_S32 s32X;
    MK_S32 s32Y;
    MK_U32 u32Width;
    MK_U32 u32Height;
} RECT_S;
static_assert(sizeof(RECT_S) == 16);

// One video frame by its three picture components. It holds user-space addresses, so it keeps the
// host's native layout; the SDK copies it whole and reads none of its fields.
typedef struct {
    MK_U32 u32Width;
    MK_U32 u32Height;
    MK_U32 u32Field;
    MK_U32 enPixelFormat;
    MK_U32 enVideoFormat;
    MK_U32 enCompressMode;
    MK_U32 u32PhyAddr[3];
    MK_VOID* pVirAddr[3];
    MK_U32 u32Stride[3];
    MK_U32 au32DriverData[19];  // filled by the driver (time stamps, private data), copied unchanged
    MK_U32 u32PoolId;
    MK_U32 u32Reserved;
} VIDEO_FRAME_INFO_S;

// The block of a frame request: the frame and the caller's time-out in milliseconds (-1 waits for
// ever, 0 does not wait).
typedef struct {
    VIDEO_FRAME_INFO_S stFrame;
    MK_S32 s32MilliSec;
    MK_U32 u32Reserved;
} VIDEO_FRAME_REQ_S;
static_assert(offsetof(VIDEO_FRAME_REQ_S, s32MilliSec) == sizeof(VIDEO_FRAME_INFO_S));

#define MK_MAX_REGION_NUM 64

// The regions of a luminance request: the caller's array of rectangles and their count.
typedef struct {
    RECT_S* pstRegion;
    MK_U32 u32RegionNum;
} VIDEO_REGION_INFO_S;

// The block of a region-luminance request: rectangles in, one luminance sum per region out.
typedef struct {
    RECT_S astRegion[MK_MAX_REGION_NUM];
    MK_U32 u32RegionNum;
    MK_U32 au32Luma[MK_MAX_REGION_NUM];
    MK_S32 s32MilliSec;
} VIDEO_REGION_LUMA_REQ_S;
static_assert(sizeof(VIDEO_REGION_LUMA_REQ_S) == 1288);
static_assert(offsetof(VIDEO_REGION_LUMA_REQ_S, u32RegionNum) == 1024);
static_assert(offsetof(VIDEO_REGION_LUMA_REQ_S, au32Luma) == 1028);
static_assert(offsetof(VIDEO_REGION_LUMA_REQ_S, s32MilliSec) == 1284);

#endif  // MK_COMM_VIDEO_RECORDS
