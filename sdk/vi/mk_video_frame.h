// VIDEO_FRAME_INFO_S: one video picture described by its three components, the record that capture,
// processing, decoding, display and encoding pass to each other. It carries user-space addresses, so
// it keeps the host's native layout; request numbers that carry it are built with its sizeof.
#pragma once

#include "sdk/common/mk_type.h"

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

#define MK_FIELD_FRAME 4
#define MK_PIXEL_FORMAT_YUV_SEMIPLANAR_420 23
