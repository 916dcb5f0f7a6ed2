// The kernel/user interface of /dev/vpss: the group and channel records, the bind word and the request
// numbers. The driver includes only this; the SDK's functions are in mpi_vpss.h.
#pragma once

#include <sys/ioctl.h>

#include "sdk/common/mk_comm_video.h"
#include "sdk/common/mk_type.h"

#define VPSS_MAX_GRP_NUM 256
#define VPSS_MAX_CHN_NUM 4

typedef MK_S32 VPSS_GRP;
typedef MK_S32 VPSS_CHN;

typedef struct {
    MK_U32 u32MaxW;
    MK_U32 u32MaxH;
    MK_U32 enPixFmt;
    MK_U32 bIeEn;
    MK_U32 bDciEn;
    MK_U32 bNrEn;
    MK_U32 bHistEn;
    MK_U32 bEsEn;
    MK_U32 enDieMode;
} VPSS_GRP_ATTR_S;
static_assert(sizeof(VPSS_GRP_ATTR_S) == 36);

typedef struct {
    MK_U32 u32TopWidth;
    MK_U32 u32BottomWidth;
    MK_U32 u32LeftWidth;
    MK_U32 u32RightWidth;
    MK_U32 u32Color;
} VPSS_BORDER_S;

typedef struct {
    MK_U32 bSpEn;
    MK_U32 bUVInvert;
    MK_U32 bBorderEn;
    VPSS_BORDER_S stBorder;
} VPSS_CHN_ATTR_S;
static_assert(sizeof(VPSS_CHN_ATTR_S) == 32);

#define VPSS_CHN_MODE_AUTO 0
#define VPSS_CHN_MODE_USER 1

typedef struct {
    MK_U32 enChnMode;
    MK_U32 u32Width;
    MK_U32 u32Height;
    MK_U32 bDouble;
    MK_U32 enCompressMode;
    MK_U32 enAspectMode;
    MK_U32 u32BgColor;
    RECT_S stAspectRect;
    MK_S32 s32SrcFrameRate;
    MK_S32 s32DstFrameRate;
    MK_U32 enPixelFormat;
} VPSS_CHN_MODE_S;
static_assert(sizeof(VPSS_CHN_MODE_S) == 56);
static_assert(offsetof(VPSS_CHN_MODE_S, enPixelFormat) == 52);

#define VPSS_CROP_RATIO_COOR 0
#define VPSS_CROP_ABS_COOR 1

typedef struct {
    MK_U32 bEnable;
    MK_U32 enCropCoordinate;
    RECT_S stCropRect;
} VPSS_CROP_INFO_S;
static_assert(sizeof(VPSS_CROP_INFO_S) == 24);

typedef struct {
    MK_U32 u32Contrast;
    MK_U32 u32DieStrength;
    MK_U32 u32IeStrength;
    MK_U32 u32SfStrength;
    MK_U32 u32TfStrength;
    MK_U32 u32CfStrength;
    MK_U32 u32CTfStrength;
    MK_U32 u32CvbsStrength;
    MK_U32 u32DeMotionBlurring;
} VPSS_GRP_PARAM_S;
static_assert(sizeof(VPSS_GRP_PARAM_S) == 36);

typedef struct {
    MK_U32 u32SpStrength;
    MK_U32 u32SfStrength;
    MK_U32 u32TfStrength;
    MK_U32 u32CfStrength;
    MK_U32 u32DeMotionBlurring;
} VPSS_CHN_PARAM_S;
static_assert(sizeof(VPSS_CHN_PARAM_S) == 20);

typedef struct {
    MK_U32 u32MotionThresh;
    MK_U32 u32MotionLimen;
    MK_U32 u32DiRange;
    MK_U32 u32NrRange;
} VPSS_GRP_ADVANCED_PARAM_S;
static_assert(sizeof(VPSS_GRP_ADVANCED_PARAM_S) == 16);

typedef struct {
    MK_U32 bPreScale;
    SIZE_S stDestSize;
} VPSS_PRESCALE_INFO_S;
static_assert(sizeof(VPSS_PRESCALE_INFO_S) == 12);

typedef struct {
    MK_U32 bSizer;
    SIZE_S stSize;
} VPSS_SIZER_INFO_S;
static_assert(sizeof(VPSS_SIZER_INFO_S) == 12);

typedef struct {
    MK_S32 s32SrcFrmRate;
    MK_S32 s32DstFrmRate;
} VPSS_FRAME_RATE_S;
static_assert(sizeof(VPSS_FRAME_RATE_S) == 8);

typedef struct {
    MK_U32 au32Param[31];  // the driver's image-quality tuning words
} VPSS_IMG_QUALITY_CFG_S;
static_assert(sizeof(VPSS_IMG_QUALITY_CFG_S) == 124);

typedef struct {
    MK_U32 u32VbSource;
} VPSS_MOD_PARAM_S;
static_assert(sizeof(VPSS_MOD_PARAM_S) == 4);

typedef VIDEO_REGION_INFO_S VPSS_REGION_INFO_S;

// The request table: X(scope, name, kind, request number, record).
//   scope GRP: (group); CHN: (group, channel); MOD: the module, through group 0's descriptor.
//   kind NONE: no argument; SET/GET: a record pointer written to / read from the driver; VAL: a
//   32-bit value sent from a local copy; FSEND/FGET: a frame with a time-out, sent in the record's
//   request block; LUMA: the region-luminance request.
#define MK_VPSS_TABLE(X)                                                       \
    X(GRP, CreateGrp, SET, 11, VPSS_GRP_ATTR_S)                                \
    X(GRP, DestroyGrp, NONE, 12, void)                                         \
    X(GRP, GetGrpAttr, GET, 1, VPSS_GRP_ATTR_S)                                \
    X(GRP, SetGrpAttr, SET, 0, VPSS_GRP_ATTR_S)                                \
    X(GRP, StartGrp, NONE, 2, void)                                            \
    X(GRP, StopGrp, NONE, 3, void)                                             \
    X(GRP, ResetGrp, NONE, 4, void)                                            \
    X(GRP, EnableBackupFrame, NONE, 9, void)                                   \
    X(GRP, DisableBackupFrame, NONE, 10, void)                                 \
    X(GRP, SetGrpCrop, SET, 13, VPSS_CROP_INFO_S)                              \
    X(GRP, GetGrpCrop, GET, 14, VPSS_CROP_INFO_S)                              \
    X(GRP, SetGrpParam, SET, 15, VPSS_GRP_PARAM_S)                             \
    X(GRP, GetGrpParam, GET, 16, VPSS_GRP_PARAM_S)                             \
    X(GRP, SetGrpAdvancedParam, SET, 17, VPSS_GRP_ADVANCED_PARAM_S)            \
    X(GRP, GetGrpAdvancedParam, GET, 18, VPSS_GRP_ADVANCED_PARAM_S)            \
    X(GRP, SendFrame, FSEND, 25, VIDEO_FRAME_REQ_S)                            \
    X(GRP, GetGrpFrame, FGET, 28, VIDEO_FRAME_REQ_S)                           \
    X(GRP, ReleaseGrpFrame, SET, 29, VIDEO_FRAME_INFO_S)                       \
    X(GRP, SetPreScale, SET, 30, VPSS_PRESCALE_INFO_S)                         \
    X(GRP, GetPreScale, GET, 31, VPSS_PRESCALE_INFO_S)                         \
    X(GRP, SetGrpSizer, SET, 32, VPSS_SIZER_INFO_S)                            \
    X(GRP, GetGrpSizer, GET, 33, VPSS_SIZER_INFO_S)                            \
    X(GRP, SetGrpField, VAL, 34, MK_U32)                                       \
    X(GRP, GetGrpField, GET, 35, MK_U32)                                       \
    X(GRP, SetGrpFrameRate, SET, 36, VPSS_FRAME_RATE_S)                        \
    X(GRP, GetGrpFrameRate, GET, 37, VPSS_FRAME_RATE_S)                        \
    X(GRP, SetGrpDelay, VAL, 40, MK_U32)                                       \
    X(GRP, GetGrpDelay, GET, 41, MK_U32)                                       \
    X(GRP, SetImageQualityCfg, SET, 47, VPSS_IMG_QUALITY_CFG_S)                \
    X(GRP, GetImageQualityCfg, GET, 48, VPSS_IMG_QUALITY_CFG_S)                \
    X(GRP, SetPicQueueLength, VAL, 49, MK_U32)                                 \
    X(GRP, GetPicQueueLength, GET, 50, MK_U32)                                 \
    X(GRP, EnableUserFrameRateCtrl, NONE, 53, void)                            \
    X(GRP, DisableUserFrameRateCtrl, NONE, 54, void)                           \
    X(GRP, SetPreScaleMode, VAL, 55, MK_U32)                                   \
    X(GRP, GetPreScaleMode, GET, 56, MK_U32)                                   \
    X(GRP, GetGrpRegionLuma, LUMA, 45, VIDEO_REGION_LUMA_REQ_S)                \
    X(CHN, EnableChn, NONE, 7, void)                                           \
    X(CHN, DisableChn, NONE, 8, void)                                          \
    X(CHN, SetChnAttr, SET, 5, VPSS_CHN_ATTR_S)                                \
    X(CHN, GetChnAttr, GET, 6, VPSS_CHN_ATTR_S)                                \
    X(CHN, SetChnParam, SET, 19, VPSS_CHN_PARAM_S)                             \
    X(CHN, GetChnParam, GET, 20, VPSS_CHN_PARAM_S)                             \
    X(CHN, SetChnMode, SET, 21, VPSS_CHN_MODE_S)                               \
    X(CHN, GetChnMode, GET, 22, VPSS_CHN_MODE_S)                               \
    X(CHN, SetDepth, VAL, 23, MK_U32)                                          \
    X(CHN, GetDepth, GET, 24, MK_U32)                                          \
    X(CHN, GetChnFrame, FGET, 26, VIDEO_FRAME_REQ_S)                           \
    X(CHN, ReleaseChnFrame, SET, 27, VIDEO_FRAME_INFO_S)                       \
    X(CHN, SetChnOverlay, VAL, 42, MK_U32)                                     \
    X(CHN, GetChnOverlay, GET, 43, MK_U32)                                     \
    X(CHN, AttachVbPool, VAL, 57, MK_U32)                                      \
    X(CHN, DetachVbPool, NONE, 58, void)                                       \
    X(CHN, SetRotate, VAL, 61, MK_U32)                                         \
    X(CHN, GetRotate, GET, 62, MK_U32)                                         \
    X(CHN, GetChnRegionLuma, LUMA, 46, VIDEO_REGION_LUMA_REQ_S)                \
    X(MOD, SetModParam, SET, 59, VPSS_MOD_PARAM_S)                             \
    X(MOD, GetModParam, GET, 60, VPSS_MOD_PARAM_S)

#define MK_VPSS_MAGIC 'P'
// Binds a descriptor to (group << 16) | channel, channel 255 for the group itself.
#define MK_VPSS_BIND_REQUEST _IOW(MK_VPSS_MAGIC, 44, MK_U32)

// Request numbers by kind.
#define MK_VPSS_REQ_NONE(nr, T) _IO(MK_VPSS_MAGIC, nr)
#define MK_VPSS_REQ_SET(nr, T) _IOW(MK_VPSS_MAGIC, nr, T)
#define MK_VPSS_REQ_GET(nr, T) _IOR(MK_VPSS_MAGIC, nr, T)
#define MK_VPSS_REQ_VAL(nr, T) _IOW(MK_VPSS_MAGIC, nr, T)
#define MK_VPSS_REQ_FSEND(nr, T) _IOW(MK_VPSS_MAGIC, nr, T)
#define MK_VPSS_REQ_FGET(nr, T) _IOWR(MK_VPSS_MAGIC, nr, T)
#define MK_VPSS_REQ_LUMA(nr, T) _IOWR(MK_VPSS_MAGIC, nr, T)

namespace mk::vpss {
#define MK_VPSS_REQUEST_CONST(scope, name, kind, nr, T) inline constexpr unsigned long k##name = MK_VPSS_REQ_##kind(nr, T);
MK_VPSS_TABLE(MK_VPSS_REQUEST_CONST)
#undef MK_VPSS_REQUEST_CONST
inline constexpr unsigned long kBind = MK_VPSS_BIND_REQUEST;
}  // namespace mk::vpss
