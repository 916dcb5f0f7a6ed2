// Picture sizes by size code and capture frame rates by product and size, shared by the capture,
// decode, split and set-up code.
#pragma once

#include <cstdint>

#include "app/comm/comm_records.h"
#include "sdk/common/mk_comm_video.h"

// Size codes of the picture-size table.
enum {
    PIC_D1 = 0,
    PIC_HD1 = 1,
    PIC_944x1080 = 2,
    PIC_CIF = 3,
    PIC_QCIF = 4,
    PIC_VGA = 5,
    PIC_QVGA = 6,
    PIC_960x1440 = 7,
    PIC_1280x1440 = 8,
    PIC_960H = 10,
    PIC_720P = 11,
    PIC_960P = 12,
    PIC_UXGA = 13,
    PIC_1080P = 14,
    PIC_WUXGA = 15,
    PIC_4M = 16,
    PIC_3M = 17,
    PIC_5M = 18,
    PIC_8M = 20,
};

// The size of a size code under a video standard (0 PAL, other NTSC: the first group is 480, 240 or
// 120 lines high). Code 17 is 2048 x 1536, or 1920 x 1440 with bVariant. Unknown codes are D1.
// Returns 0.
int32_t Comm_SysGetPicSize(uint32_t u32Vstd, int32_t s32Code, SIZE_S* pstSize, bool bVariant);

// The capture frame rate of a picture size on a product with this record; 0 means none chosen.
int32_t CommViChnFpsOf(uint32_t u32DevType, const HVR_CAP_S& cap, uint32_t u32Width, uint32_t u32Height);
// The same for the product and record in force.
int32_t Comm_GetViChnFps(const SIZE_S* pstSize);
