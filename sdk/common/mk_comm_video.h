// Video records shared by capture, processing, display and encoding: rectangles, the frame record,
// the request block of the frame calls and that of the region-luminance calls.
#pragma once

#include <cstddef>

#include "sdk/common/mk_type.h"

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

// One video picture described by its three components, the record that capture, processing, decoding,
// display and encoding pass to each other. It carries user-space addresses, so it keeps the host's
// native layout; request numbers that carry it are built with its sizeof.
typedef struct {
    MK_U32 u32Width;
    MK_U32 u32Height;
    MK_U32 u32Field;       // 4: a whole frame
    MK_U32 enPixelFormat;  // 23: semi-planar YUV 4:2:0
    MK_U32 enVideoFormat;
    MK_U32 enCompressMode;
    MK_U32 u32PhyAddr[3];  // luma, then the two chroma components
    MK_VOID* pVirAddr[3];
    MK_U32 u32Stride[3];
    // Filled by the driver and copied unchanged.
    MK_U64 u64pts;
    MK_U32 u32TimeRef;
    MK_U32 u32PrivateData;
    MK_U32 au32Ext[15];
    MK_U32 u32PoolId;  // pool of the block that holds the picture
    MK_U32 u32Reserved;
} VIDEO_FRAME_INFO_S;

// Payload types of encoded streams.
enum { PT_JPEG = 26, PT_H264 = 96, PT_H265 = 265, PT_MJPEG = 1002 };

#define MK_FIELD_FRAME 4
#define MK_PIXEL_FORMAT_YUV_SEMIPLANAR_420 23

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

