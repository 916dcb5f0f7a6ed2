// The kernel/user interface of /dev/vo: the device, layer, channel and write-back records, the bind
// words and the request numbers. The driver includes only this; the SDK's functions are in mpi_vo.h.
#pragma once

#include <sys/ioctl.h>

#include "sdk/common/mk_comm_video.h"
#include "sdk/common/mk_type.h"

#define VO_MAX_DEV_NUM 9
#define VO_MAX_LAYER_NUM 10
#define VO_MAX_CHN_NUM 64
#define VO_MAX_GRAPHICS_LAYER_NUM 5
#define VO_MAX_WBC_NUM 1

typedef MK_S32 VO_DEV;
typedef MK_S32 VO_LAYER;
typedef MK_S32 VO_CHN;
typedef MK_S32 VO_WBC;
typedef MK_S32 GRAPHIC_LAYER;

// The module's own error numbers.
#define MK_ERR_VO_INVALID_GFX_LAYER 0x68
#define MK_ERR_VO_INVALID_WBC 0x6C
#define MK_ERR_VO_INVALID_LAYER 0x6D

typedef struct {
    MK_U32 bSynm;   // sync mode: 0 timing, 1 signal
    MK_U32 bIop;    // interlaced (0) or progressive (1)
    MK_U32 u32Intfb;
    MK_U16 u16Vact;
    MK_U16 u16Vbb;
    MK_U16 u16Vfb;
    MK_U16 u16Hact;
    MK_U16 u16Hbb;
    MK_U16 u16Hfb;
    MK_U16 u16Hmid;
    MK_U16 u16Bvact;
    MK_U16 u16Bvbb;
    MK_U16 u16Bvfb;
    MK_U16 u16Hpw;
    MK_U16 u16Vpw;
    MK_U32 bIdv;
    MK_U32 bIhs;
    MK_U32 bIvs;
} VO_SYNC_INFO_S;
static_assert(sizeof(VO_SYNC_INFO_S) == 48);

typedef struct {
    MK_U32 u32BgColor;
    MK_U32 enIntfType;
    MK_U32 enIntfSync;
    VO_SYNC_INFO_S stSyncInfo;
} VO_PUB_ATTR_S;
static_assert(sizeof(VO_PUB_ATTR_S) == 60);

typedef struct {
    RECT_S stDispRect;
    SIZE_S stImageSize;
    MK_U32 u32DispFrmRt;
    MK_U32 enPixFormat;
    MK_U32 bDoubleFrame;
    MK_U32 bClusterMode;
} VO_VIDEO_LAYER_ATTR_S;
static_assert(sizeof(VO_VIDEO_LAYER_ATTR_S) == 40);

typedef struct {
    MK_U32 u32Priority;
    RECT_S stRect;
    MK_U32 bDeflicker;
} VO_CHN_ATTR_S;
static_assert(sizeof(VO_CHN_ATTR_S) == 24);

typedef struct {
    MK_U32 enCscMatrix;
    MK_U32 u32Luma;
    MK_U32 u32Contrast;
    MK_U32 u32Hue;
    MK_U32 u32Satuature;
} VO_CSC_S;
static_assert(sizeof(VO_CSC_S) == 20);

typedef struct {
    MK_U32 enMode;
    MK_U32 u32BgColor;
    RECT_S stVideoRect;
} VO_ASPECT_RATIO_S;

typedef struct {
    VO_ASPECT_RATIO_S stAspectRatio;
} VO_CHN_PARAM_S;
static_assert(sizeof(VO_CHN_PARAM_S) == 24);

typedef struct {
    MK_U32 enZoomType;  // 0 by rectangle, 1 by ratio (the rectangle then holds per-mille values)
    RECT_S stZoomRect;
} VO_ZOOM_ATTR_S;
static_assert(sizeof(VO_ZOOM_ATTR_S) == 20);

typedef struct {
    MK_U32 u32TopWidth;
    MK_U32 u32BottomWidth;
    MK_U32 u32LeftWidth;
    MK_U32 u32RightWidth;
    MK_U32 u32Color;
} VO_BORDER_WIDTH_S;

typedef struct {
    MK_U32 bBorderEn;
    VO_BORDER_WIDTH_S stBorder;
} VO_BORDER_S;
static_assert(sizeof(VO_BORDER_S) == 24);

typedef struct {
    MK_U32 u32Width;
    MK_U32 u32Color[2];
} VO_LAYER_BOUNDARY_S;
static_assert(sizeof(VO_LAYER_BOUNDARY_S) == 12);

typedef struct {
    MK_U32 bBoundaryEn;
    MK_U32 u32ColorIndex;
} VO_CHN_BOUNDARY_S;
static_assert(sizeof(VO_CHN_BOUNDARY_S) == 8);

typedef struct {
    MK_U32 enSourceType;  // 0 a display device
    MK_U32 u32SourceId;
} VO_WBC_SOURCE_S;
static_assert(sizeof(VO_WBC_SOURCE_S) == 8);

typedef struct {
    SIZE_S stTargetSize;
    MK_U32 enPixelFormat;
    MK_U32 u32FrameRate;
} VO_WBC_ATTR_S;
static_assert(sizeof(VO_WBC_ATTR_S) == 16);

typedef struct {
    MK_U32 bSlave;
    MK_U32 enCasRgn;
    MK_U32 enCasMode;
    MK_U32 enCasDataTranMode;
} VO_CAS_ATTR_S;
static_assert(sizeof(VO_CAS_ATTR_S) == 16);

typedef struct {
    VO_CSC_S stCSC;
    MK_U32 u32Gain;
    MK_S32 s32SharpenStrength;
} VO_VGA_PARAM_S;
static_assert(sizeof(VO_VGA_PARAM_S) == 28);

typedef struct {
    VO_CSC_S stCSC;
} VO_HDMI_PARAM_S;
static_assert(sizeof(VO_HDMI_PARAM_S) == 20);

typedef struct {
    MK_U32 u32ChnBufUsed;
} VO_QUERY_STATUS_S;
static_assert(sizeof(VO_QUERY_STATUS_S) == 4);

typedef struct {
    MK_U32 bCompress;
} VO_COMPRESS_ATTR_S;
static_assert(sizeof(VO_COMPRESS_ATTR_S) == 4);

typedef VIDEO_REGION_INFO_S VO_REGION_INFO_S;

// The request table: X(scope, name, kind, request number, record).
//   scope DEV: (device) entry [d][0][0]; LAYER: (layer) [0][l][0]; LBIND: (layer, device) [d][l][0];
//   CHN: (layer, channel) [0][l][c]; CAS: (value, device, channel) [d][0][c]; WBC: (unit);
//   GFX: (graphic layer); GBIND: (graphic layer, device sent as the value); MOD: () entry [0][0][0].
//   kind NONE: no argument; SET/GET: a record pointer written to / read from the driver; VAL: a
//   32-bit value sent from a local copy; DEVVAL: the device argument sent as the value; FSEND/FGET: a
//   frame with a time-out in a request block; LUMA: the region-luminance request.
#define MK_VO_TABLE(X)                                                          \
    X(DEV, Enable, NONE, 2, void)                                               \
    X(DEV, Disable, NONE, 3, void)                                              \
    X(DEV, SetPubAttr, SET, 4, VO_PUB_ATTR_S)                                   \
    X(DEV, GetPubAttr, GET, 5, VO_PUB_ATTR_S)                                   \
    X(DEV, SetDevFrameRate, VAL, 6, MK_U32)                                     \
    X(DEV, GetDevFrameRate, GET, 7, MK_U32)                                     \
    X(DEV, SetVtth, VAL, 8, MK_U32)                                             \
    X(DEV, GetVtth, GET, 9, MK_U32)                                             \
    X(DEV, EnableCascadeDev, NONE, 85, void)                                    \
    X(DEV, DisableCascadeDev, NONE, 86, void)                                   \
    X(DEV, SetCascadePattern, VAL, 87, MK_U32)                                  \
    X(DEV, GetCascadePattern, GET, 88, MK_U32)                                  \
    X(DEV, SetVgaParam, SET, 97, VO_VGA_PARAM_S)                                \
    X(DEV, GetVgaParam, GET, 98, VO_VGA_PARAM_S)                                \
    X(DEV, SetHdmiParam, SET, 99, VO_HDMI_PARAM_S)                              \
    X(DEV, GetHdmiParam, GET, 100, VO_HDMI_PARAM_S)                             \
    X(CAS, CascadePosBindChn, VAL, 89, MK_U32)                                  \
    X(CAS, CascadePosUnBindChn, VAL, 90, MK_U32)                                \
    X(LBIND, BindVideoLayer, NONE, 30, void)                                    \
    X(LBIND, UnBindVideoLayer, NONE, 31, void)                                  \
    X(LAYER, EnableVideoLayer, NONE, 24, void)                                  \
    X(LAYER, DisableVideoLayer, NONE, 25, void)                                 \
    X(LAYER, SetVideoLayerAttr, SET, 26, VO_VIDEO_LAYER_ATTR_S)                 \
    X(LAYER, GetVideoLayerAttr, GET, 27, VO_VIDEO_LAYER_ATTR_S)                 \
    X(LAYER, SetVideoLayerCompressAttr, SET, 28, VO_COMPRESS_ATTR_S)            \
    X(LAYER, GetVideoLayerCompressAttr, GET, 29, VO_COMPRESS_ATTR_S)            \
    X(LAYER, SetVideoLayerPriority, VAL, 32, MK_U32)                            \
    X(LAYER, GetVideoLayerPriority, GET, 33, MK_U32)                            \
    X(LAYER, SetVideoLayerCSC, SET, 34, VO_CSC_S)                               \
    X(LAYER, GetVideoLayerCSC, GET, 35, VO_CSC_S)                               \
    X(LAYER, SetDispBufLen, VAL, 36, MK_U32)                                    \
    X(LAYER, GetDispBufLen, GET, 37, MK_U32)                                    \
    X(LAYER, SetPlayToleration, VAL, 38, MK_U32)                                \
    X(LAYER, GetPlayToleration, GET, 39, MK_U32)                                \
    X(LAYER, GetScreenFrame, FGET, 40, VIDEO_FRAME_REQ_S)                       \
    X(LAYER, ReleaseScreenFrame, SET, 41, VIDEO_FRAME_INFO_S)                   \
    X(LAYER, SetVideoLayerPartitionMode, VAL, 42, MK_U32)                       \
    X(LAYER, GetVideoLayerPartitionMode, GET, 43, MK_U32)                       \
    X(LAYER, SetAttrBegin, NONE, 44, void)                                      \
    X(LAYER, SetAttrEnd, NONE, 45, void)                                        \
    X(LAYER, EnableDoubleFrame, NONE, 46, void)                                 \
    X(LAYER, DisableDoubleFrame, NONE, 47, void)                                \
    X(LAYER, SetVideoLayerBoundary, SET, 76, VO_LAYER_BOUNDARY_S)               \
    X(LAYER, GetVideoLayerBoundary, GET, 77, VO_LAYER_BOUNDARY_S)               \
    X(CHN, EnableRecvFrameRateMatch, NONE, 10, void)                            \
    X(CHN, DisableRecvFrameRateMatch, NONE, 11, void)                           \
    X(CHN, EnableChn, NONE, 48, void)                                           \
    X(CHN, DisableChn, NONE, 49, void)                                          \
    X(CHN, SetChnAttr, SET, 50, VO_CHN_ATTR_S)                                  \
    X(CHN, GetChnAttr, GET, 51, VO_CHN_ATTR_S)                                  \
    X(CHN, SetChnParam, SET, 52, VO_CHN_PARAM_S)                                \
    X(CHN, GetChnParam, GET, 53, VO_CHN_PARAM_S)                                \
    X(CHN, SetChnDispPos, SET, 54, POINT_S)                                     \
    X(CHN, GetChnDispPos, GET, 55, POINT_S)                                     \
    X(CHN, SetChnField, VAL, 56, MK_U32)                                        \
    X(CHN, GetChnField, GET, 57, MK_U32)                                        \
    X(CHN, SendFrame, FSEND, 58, VIDEO_FRAME_REQ_S)                             \
    X(CHN, GetChnFrame, FGET, 59, VIDEO_FRAME_REQ_S)                            \
    X(CHN, ReleaseChnFrame, SET, 60, VIDEO_FRAME_INFO_S)                        \
    X(CHN, GetChnFrameRate, GET, 61, MK_U32)                                    \
    X(CHN, SetChnFrameRate, VAL, 62, MK_U32)                                    \
    X(CHN, PauseChn, NONE, 63, void)                                            \
    X(CHN, ResumeChn, NONE, 64, void)                                           \
    X(CHN, StepChn, NONE, 65, void)                                             \
    X(CHN, RefreshChn, NONE, 66, void)                                          \
    X(CHN, SetZoomInWindow, SET, 67, VO_ZOOM_ATTR_S)                            \
    X(CHN, GetZoomInWindow, GET, 68, VO_ZOOM_ATTR_S)                            \
    X(CHN, ShowChn, NONE, 69, void)                                             \
    X(CHN, HideChn, NONE, 70, void)                                             \
    X(CHN, GetChnPts, GET, 71, MK_U64)                                          \
    X(CHN, QueryChnStat, GET, 72, VO_QUERY_STATUS_S)                            \
    X(CHN, ClearChnBuffer, VAL, 73, MK_U32)                                     \
    X(CHN, SetChnBorder, SET, 74, VO_BORDER_S)                                  \
    X(CHN, GetChnBorder, GET, 75, VO_BORDER_S)                                  \
    X(CHN, SetChnBoundary, SET, 78, VO_CHN_BOUNDARY_S)                          \
    X(CHN, GetChnBoundary, GET, 79, VO_CHN_BOUNDARY_S)                          \
    X(CHN, SetChnReceiveThreshold, VAL, 80, MK_U32)                             \
    X(CHN, GetChnReceiveThreshold, GET, 81, MK_U32)                             \
    X(CHN, GetChnRegionLuma, LUMA, 82, VIDEO_REGION_LUMA_REQ_S)                 \
    X(WBC, SetWbcSource, SET, 12, VO_WBC_SOURCE_S)                              \
    X(WBC, GetWbcSource, GET, 13, VO_WBC_SOURCE_S)                              \
    X(WBC, EnableWbc, NONE, 14, void)                                           \
    X(WBC, DisableWbc, NONE, 15, void)                                          \
    X(WBC, SetWbcAttr, SET, 16, VO_WBC_ATTR_S)                                  \
    X(WBC, GetWbcAttr, GET, 17, VO_WBC_ATTR_S)                                  \
    X(WBC, SetWbcMode, VAL, 18, MK_U32)                                         \
    X(WBC, GetWbcMode, GET, 19, MK_U32)                                         \
    X(WBC, SetWbcDepth, VAL, 20, MK_U32)                                        \
    X(WBC, GetWbcDepth, GET, 21, MK_U32)                                        \
    X(WBC, GetWbcFrame, FGET, 22, VIDEO_FRAME_REQ_S)                            \
    X(WBC, ReleaseWbcFrame, SET, 23, VIDEO_FRAME_INFO_S)                        \
    X(GBIND, BindGraphicLayer, DEVVAL, 93, VO_DEV)                              \
    X(GBIND, UnBindGraphicLayer, DEVVAL, 94, VO_DEV)                            \
    X(GFX, SetGraphicLayerCSC, SET, 95, VO_CSC_S)                               \
    X(GFX, GetGraphicLayerCSC, GET, 96, VO_CSC_S)                               \
    X(MOD, SetCascadeAttr, SET, 83, VO_CAS_ATTR_S)                              \
    X(MOD, GetCascadeAttr, GET, 84, VO_CAS_ATTR_S)                              \
    X(MOD, EnableCascade, NONE, 91, void)                                       \
    X(MOD, DisableCascade, NONE, 92, void)

#define MK_VO_MAGIC 'O'
// Binds a descriptor to (device << 16) | (layer << 8) | channel; 0x80000000 | (g << 28) names graphic
// layer g and 0x08000000 the write-back unit.
#define MK_VO_BIND_REQUEST _IOW(MK_VO_MAGIC, 0, MK_U32)
#define MK_VO_GFX_WORD_BIT 0x80000000u
#define MK_VO_WBC_WORD_BIT 0x08000000u

// The module query: {selector, result}.
typedef struct {
    MK_U32 u32Selector;
    MK_U32 u32Value;
} VO_MODULE_VALUE_S;
static_assert(sizeof(VO_MODULE_VALUE_S) == 8);
#define MK_VO_MODULE_VALUE_REQUEST _IOWR(MK_VO_MAGIC, 101, VO_MODULE_VALUE_S)

// Request numbers by kind.
#define MK_VO_REQ_NONE(nr, T) _IO(MK_VO_MAGIC, nr)
#define MK_VO_REQ_SET(nr, T) _IOW(MK_VO_MAGIC, nr, T)
#define MK_VO_REQ_GET(nr, T) _IOR(MK_VO_MAGIC, nr, T)
#define MK_VO_REQ_VAL(nr, T) _IOW(MK_VO_MAGIC, nr, T)
#define MK_VO_REQ_DEVVAL(nr, T) _IOW(MK_VO_MAGIC, nr, T)
#define MK_VO_REQ_FSEND(nr, T) _IOW(MK_VO_MAGIC, nr, T)
#define MK_VO_REQ_FGET(nr, T) _IOWR(MK_VO_MAGIC, nr, T)
#define MK_VO_REQ_LUMA(nr, T) _IOWR(MK_VO_MAGIC, nr, T)

namespace mk::vo {
#define MK_VO_REQUEST_CONST(scope, name, kind, nr, T) inline constexpr unsigned long k##name = MK_VO_REQ_##kind(nr, T);
MK_VO_TABLE(MK_VO_REQUEST_CONST)
#undef MK_VO_REQUEST_CONST
inline constexpr unsigned long kBind = MK_VO_BIND_REQUEST;
inline constexpr unsigned long kGetModuleValue = MK_VO_MODULE_VALUE_REQUEST;
}  // namespace mk::vo
