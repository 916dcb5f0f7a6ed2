// The kernel/user interface of /dev/vi: the capture device and channel records, the bind words and the
// request numbers. The driver includes only this; the SDK's functions are in mpi_vi.h.
#pragma once

#include <sys/ioctl.h>

#include "sdk/common/mk_comm_video.h"
#include "sdk/common/mk_type.h"

typedef MK_S32 VI_DEV;
typedef MK_S32 VI_CHN;

#define VIU_MAX_DEV_NUM 9
#define VIU_MAX_CHN_NUM 35

// Device and channel words of the bind request; also what MK_MPI_VI_GetFileHandle takes.
#define VI_DEV_WORD(dev) ((static_cast<MK_U32>(dev) << 16) | 0x800000u)
#define VI_CHN_WORD(chn) (static_cast<MK_U32>(chn) | 0x80u)

// The channel has no device binding (MK_MPI_VI_GetChnBind).
#define MK_ERR_VI_CHN_NOT_BOUND MK_ERR(MK_ID_VIU, 0x47)

typedef struct {
    MK_U32 u32HsyncFront, u32HsyncWidth, u32HsyncBack;
    MK_U32 u32VsyncFront, u32VsyncWidth, u32VsyncBack;
    MK_U32 u32VsyncBotFront, u32VsyncBotWidth, u32VsyncBotBack;
    MK_U32 enVsync, enVsyncNeg, enHsync, enHsyncNeg, enVsyncValid, enVsyncValidNeg;
} VI_SYNC_CFG_S;

typedef struct {
    MK_U32 enIntfMode;
    MK_U32 enWorkMode;
    MK_U32 au32CompMask[2];
    MK_U32 enClkEdge;
    MK_S32 s32AdChnId[4];
    MK_U32 enDataSeq;
    VI_SYNC_CFG_S stSynCfg;
    MK_U32 enDataPath;
    MK_U32 enInputDataType;
    MK_U32 bDataRev;
} VI_DEV_ATTR_S;
static_assert(sizeof(VI_DEV_ATTR_S) == 112);

// Extended device attributes: the plain attributes and words that only the driver reads.
typedef struct {
    VI_DEV_ATTR_S stDevAttr;
    MK_U32 au32Ext[4];
} VI_DEV_ATTR_EX_S;
static_assert(sizeof(VI_DEV_ATTR_EX_S) == 128);

typedef struct {
    MK_S32 s32X;
    MK_S32 s32Y;
    MK_U32 u32Width;
    MK_U32 u32Height;
} VI_RECT_S;

typedef struct {
    VI_RECT_S stCapRect;
    MK_U32 u32DestWidth;
    MK_U32 u32DestHeight;
    MK_U32 enCapSel;  // 0 top field, 1 bottom field, 2 both
    MK_U32 enScanMode;
    MK_U32 enPixFormat;
    MK_U32 bMirror;
    MK_U32 bFlip;
    MK_S32 s32SrcFrameRate;
    MK_S32 s32DstFrameRate;
} VI_CHN_ATTR_S;
static_assert(sizeof(VI_CHN_ATTR_S) == 52);

typedef struct {
    VI_DEV ViDev;
    MK_S32 ViWay;
} VI_CHN_BIND_ATTR_S;
static_assert(sizeof(VI_CHN_BIND_ATTR_S) == 8);

typedef struct {
    MK_U32 u32SkipMode;
    MK_U32 u32Width;
    MK_U32 u32Height;
} VI_SKIP_MODE_EX_S;
static_assert(sizeof(VI_SKIP_MODE_EX_S) == 12);

typedef struct {
    MK_U32 u32Word[2];
} VI_MOD_PARAM_S;
static_assert(sizeof(VI_MOD_PARAM_S) == 8);

typedef struct {
    MK_S32 s32X;
    MK_S32 s32Y;
    MK_U32 u32Len;
    MK_U32 au32Word[5];
} VI_VBI_ATTR_S;
static_assert(sizeof(VI_VBI_ATTR_S) == 32);

typedef struct {
    MK_U32 bEnable;
    MK_U32 u32IntCnt;  // capture interrupts (frames) since the channel was enabled
    MK_U32 u32FrmRate;
    MK_U32 u32LostInt;
    MK_U32 u32VbFail;  // frames lost for want of a buffer block
    MK_U32 u32PicWidth;
    MK_U32 u32PicHeight;
    MK_U32 u32Reserved;
} VI_CHN_STAT_S;
static_assert(sizeof(VI_CHN_STAT_S) == 32);

typedef struct {
    MK_U32 u32Luma;  // luminance sum of the channel's picture
    MK_U32 au32Reserved[3];
} VI_CHN_LUMA_S;
static_assert(sizeof(VI_CHN_LUMA_S) == 16);

typedef struct {
    MK_U32 bPub;          // 1: one picture for every channel
    MK_U32 enUsrPicMode;  // 0: a picture
    VIDEO_FRAME_INFO_S stUsrPicFrm;
} VI_USERPIC_ATTR_S;

// The block of a get-frame request: the frame and the time-out.
typedef struct {
    VIDEO_FRAME_INFO_S stFrame;
    MK_S32 s32MilliSec;
    MK_U32 u32Reserved;
} VI_FRAME_REQ_S;

// The one-request members, one line each: name, object (DEV a device, CHN a channel, MOD the module
// through device 0's descriptor), how the argument travels (NONE, VALUE copied from a local, IN, OUT,
// INOUT, IN_RAW: IN without a null check), request number, argument type.
#define MK_VI_REQUESTS(X)                                   \
    X(SetDevAttr, DEV, IN, 0, VI_DEV_ATTR_S)                \
    X(SetDevAttrEx, DEV, IN, 1, VI_DEV_ATTR_EX_S)           \
    X(GetDevAttr, DEV, OUT, 2, VI_DEV_ATTR_S)               \
    X(GetDevAttrEx, DEV, OUT, 3, VI_DEV_ATTR_EX_S)          \
    X(EnableDev, DEV, NONE, 4, void)                        \
    X(DisableDev, DEV, NONE, 5, void)                       \
    X(EnableDllSlave, DEV, NONE, 50, void)                  \
    X(DisableDllSlave, DEV, NONE, 51, void)                 \
    X(BindChn, CHN, IN, 6, VI_CHN_BIND_ATTR_S)              \
    X(GetChnBind, CHN, OUT, 7, VI_CHN_BIND_ATTR_S)          \
    X(UnBindChn, CHN, NONE, 8, void)                        \
    X(SetChnAttr, CHN, IN, 9, VI_CHN_ATTR_S)                \
    X(GetChnAttr, CHN, OUT, 10, VI_CHN_ATTR_S)              \
    X(SetChnMinorAttr, CHN, IN, 11, VI_CHN_ATTR_S)          \
    X(GetChnMinorAttr, CHN, OUT, 12, VI_CHN_ATTR_S)         \
    X(ClearChnMinorAttr, CHN, NONE, 13, void)               \
    X(EnableChn, CHN, NONE, 14, void)                       \
    X(DisableChn, CHN, NONE, 15, void)                      \
    X(EnableChnInterrupt, CHN, NONE, 16, void)              \
    X(DisableChnInterrupt, CHN, NONE, 17, void)             \
    X(SetFrameDepth, CHN, VALUE, 18, MK_U32)                \
    X(GetFrameDepth, CHN, INOUT, 19, MK_U32)                \
    X(SetUserPic, CHN, IN, 22, VI_USERPIC_ATTR_S)           \
    X(EnableUserPic, CHN, NONE, 23, void)                   \
    X(DisableUserPic, CHN, NONE, 24, void)                  \
    X(SetVbiAttr, CHN, IN, 25, VI_VBI_ATTR_S)               \
    X(GetVbiAttr, CHN, INOUT, 26, VI_VBI_ATTR_S)            \
    X(EnableVbi, CHN, NONE, 27, void)                       \
    X(DisableVbi, CHN, NONE, 28, void)                      \
    X(SetVbiMode, CHN, VALUE, 29, MK_U32)                   \
    X(GetVbiMode, CHN, INOUT, 30, MK_U32)                   \
    X(EnableCascadeChn, CHN, NONE, 31, void)                \
    X(DisableCascadeChn, CHN, NONE, 32, void)               \
    X(Query, CHN, OUT, 33, VI_CHN_STAT_S)                   \
    X(SetRotate, CHN, VALUE, 43, MK_U32)                    \
    X(GetRotate, CHN, OUT, 44, MK_U32)                      \
    X(GetChnLuma, CHN, OUT, 45, VI_CHN_LUMA_S)              \
    X(SetSkipMode, CHN, VALUE, 46, MK_U32)                  \
    X(GetSkipMode, CHN, OUT, 47, MK_U32)                    \
    X(SetSkipModeEx, CHN, IN_RAW, 52, VI_SKIP_MODE_EX_S)    \
    X(GetSkipModeEx, CHN, OUT, 53, VI_SKIP_MODE_EX_S)       \
    X(AttachVbPool, CHN, VALUE, 54, MK_U32)                 \
    X(DetachVbPool, CHN, NONE, 55, void)                    \
    X(SetModParam, MOD, IN, 56, VI_MOD_PARAM_S)             \
    X(GetModParam, MOD, OUT, 57, VI_MOD_PARAM_S)

// Request numbers by how the argument travels.
#define MK_VI_IOC_NONE(nr, T) _IO('I', nr)
#define MK_VI_IOC_VALUE(nr, T) _IOW('I', nr, T)
#define MK_VI_IOC_IN(nr, T) _IOW('I', nr, T)
#define MK_VI_IOC_IN_RAW(nr, T) _IOW('I', nr, T)
#define MK_VI_IOC_OUT(nr, T) _IOR('I', nr, T)
#define MK_VI_IOC_INOUT(nr, T) _IOWR('I', nr, T)

namespace mk::vi {
#define MK_VI_REQUEST_CONST(name, scope, access, nr, T) \
    inline constexpr unsigned long k##name = MK_VI_IOC_##access(nr, T);
MK_VI_REQUESTS(MK_VI_REQUEST_CONST)
#undef MK_VI_REQUEST_CONST
inline constexpr unsigned long kGetFrame = _IOWR('I', 20, VI_FRAME_REQ_S);
inline constexpr unsigned long kReleaseFrame = _IOW('I', 21, VIDEO_FRAME_INFO_S);
inline constexpr unsigned long kBind = _IOW('I', 34, MK_U32);
}  // namespace mk::vi
