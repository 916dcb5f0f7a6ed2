// Video detection, the records and requests of /dev/vda (magic 'M'). A detection channel analyses the
// pictures of the channel bound to it, one result every few pictures: motion detection gives a SAD value
// per macroblock (and objects) in the channel's result buffer, occlusion detection an alarm flag per
// region. A descriptor is tied to one channel by the bind request.
#pragma once

#include <sys/ioctl.h>

#include <cstddef>

#include "sdk/common/mk_comm_video.h"
#include "sdk/common/mk_type.h"

typedef MK_S32 VDA_CHN;
#define VDA_MAX_CHN_NUM 128
#define VDA_OD_RGN_NUM_MAX 4
#define VDA_MD_BUF_NUM_MAX 16
#define VDA_MAX_SIDE 4096

enum { VDA_WORK_MODE_MD = 0, VDA_WORK_MODE_OD = 1 };
// Macroblock sides: 8 x 8 or 16 x 16 pixels.
enum { VDA_MB_8PIXEL = 0, VDA_MB_16PIXEL = 1 };
// SAD values: 8 bits, the mean absolute difference of a macroblock's pixels; 16 bits, their sum.
enum { VDA_MB_SAD_8BIT = 0, VDA_MB_SAD_16BIT = 1 };

typedef struct {
    MK_U32 enVdaAlg;
    MK_U32 enMbSize;
    MK_U32 enMbSadBits;
    MK_U32 enRefMode;
    MK_U32 u32MdBufNum;  // results held at most, fetched or not
    MK_U32 u32VdaIntvl;  // pictures per result
    MK_U32 u32BgUpSrcWgt;
    MK_U32 u32SadTh;
    MK_U32 u32ObjNumMax;  // room for objects in each result
} VDA_MD_ATTR_S;
static_assert(sizeof(VDA_MD_ATTR_S) == 36);

typedef struct {
    RECT_S stRect;
    MK_U32 u32SadTh;       // a macroblock changed from the background has a SAD above it
    MK_U32 u32AreaTh;      // per cent of the region's macroblocks that must change
    MK_U32 u32OccCntTh;    // results in a row that raise the alarm
    MK_U32 u32UnOccCntTh;  // results in a row that clear it
} VDA_OD_RGN_ATTR_S;
static_assert(sizeof(VDA_OD_RGN_ATTR_S) == 32);

typedef struct {
    MK_U32 u32RgnNum;
    VDA_OD_RGN_ATTR_S astOdRgnAttr[VDA_OD_RGN_NUM_MAX];
    MK_U32 enVdaAlg;
    MK_U32 enMbSize;
    MK_U32 enMbSadBits;
    MK_U32 enRefMode;
    MK_U32 u32VdaIntvl;
    MK_U32 u32BgUpSrcWgt;
} VDA_OD_ATTR_S;
static_assert(sizeof(VDA_OD_ATTR_S) == 156);

typedef struct {
    MK_U32 enWorkMode;
    union {
        VDA_MD_ATTR_S stMdAttr;
        VDA_OD_ATTR_S stOdAttr;
    } unAttr;
    MK_U32 u32Width;  // of the pictures analysed
    MK_U32 u32Height;
} VDA_CHN_ATTR_S;
static_assert(sizeof(VDA_CHN_ATTR_S) == 168);

// Result records carry addresses (physical from the driver, this process's after the fetch), so they
// keep the host's native layout.
typedef struct {
    MK_VOID* pAddr;     // u32MbHeight rows of u32Stride bytes
    MK_U32 u32Stride;
    MK_U32 enMbSadBits;
} VDA_MB_SAD_DATA_S;

typedef struct {
    MK_U16 u16Left;
    MK_U16 u16Top;
    MK_U16 u16Right;
    MK_U16 u16Bottom;
} VDA_OBJ_S;
static_assert(sizeof(VDA_OBJ_S) == 8);

typedef struct {
    MK_U32 u32ObjNum;
    VDA_OBJ_S* pstAddr;
    MK_U32 u32IndexOfMaxObj;
    MK_U32 u32SizeOfMaxObj;
    MK_U32 u32SizeOfTotalObj;
} VDA_OBJ_DATA_S;

typedef struct {
    MK_U32 bMbSadValid;
    VDA_MB_SAD_DATA_S stMbSadData;
    MK_U32 bObjValid;
    VDA_OBJ_DATA_S stObjData;
    MK_U32 bPelsNumValid;
    MK_U32 u32PelsNum;
} VDA_MD_DATA_S;

typedef struct {
    MK_U32 u32RgnNum;
    MK_U32 abRgnAlarm[VDA_OD_RGN_NUM_MAX];  // 1: the region is occluded
} VDA_OD_DATA_S;

typedef struct {
    MK_U32 enWorkMode;
    union {
        VDA_MD_DATA_S stMdData;
        VDA_OD_DATA_S stOdData;
    } unData;
    MK_U32 u32MbWidth;  // macroblocks per row
    MK_U32 u32MbHeight;
    MK_U64 u64Pts;
    MK_U32 u32Seq;  // the driver's number of this result; a release names it
} VDA_DATA_S;

// Request records.
typedef struct {
    VDA_DATA_S stData;
    MK_S32 s32Wait;  // 0: return at once when nothing waits; else wait for a result
    MK_U32 u32Reserved;
} VDA_GETDATA_REQ_S;

typedef struct {
    MK_U32 u32PhyAddr;
    MK_U32 u32Size;
} VDA_BUF_REQ_S;
static_assert(sizeof(VDA_BUF_REQ_S) == 8);

typedef struct {
    VIDEO_FRAME_INFO_S stFrame;
    MK_U32 u32Word;
    MK_U32 u32Reserved;
} VDA_PIC_REQ_S;

namespace mk::vda {
inline constexpr unsigned long kCreateChn = _IOW('M', 0, VDA_CHN_ATTR_S);
inline constexpr unsigned long kDestroyChn = _IO('M', 1);
inline constexpr unsigned long kStartRecvPic = _IO('M', 6);
inline constexpr unsigned long kStopRecvPic = _IO('M', 7);
inline constexpr unsigned long kGetData = _IOWR('M', 8, VDA_GETDATA_REQ_S);
inline constexpr unsigned long kReleaseData = _IOW('M', 9, VDA_DATA_S);
inline constexpr unsigned long kResetOdRegion = _IOW('M', 10, MK_U32);
inline constexpr unsigned long kBind = _IOW('M', 13, MK_U32);
inline constexpr unsigned long kGetBuf = _IOWR('M', 14, VDA_BUF_REQ_S);
// A picture to analyse, in place of the bound input's.
inline constexpr unsigned long kSendPic = _IOW('M', 15, VDA_PIC_REQ_S);
}  // namespace mk::vda

#define MK_ERR_VDA_INVALID_CHNID MK_ERR(MK_ID_VDA, MK_ERR_INVALID_CHNID)
#define MK_ERR_VDA_ILLEGAL_PARAM MK_ERR(MK_ID_VDA, MK_ERR_ILLEGAL_PARAM)
#define MK_ERR_VDA_EXIST MK_ERR(MK_ID_VDA, MK_ERR_EXIST)
#define MK_ERR_VDA_UNEXIST MK_ERR(MK_ID_VDA, MK_ERR_UNEXIST)
#define MK_ERR_VDA_NULL_PTR MK_ERR(MK_ID_VDA, MK_ERR_NULL_PTR)
#define MK_ERR_VDA_NOT_PERM MK_ERR(MK_ID_VDA, MK_ERR_NOT_PERM)
#define MK_ERR_VDA_NOMEM MK_ERR(MK_ID_VDA, MK_ERR_NOMEM)
#define MK_ERR_VDA_BUF_EMPTY MK_ERR(MK_ID_VDA, MK_ERR_BUF_EMPTY)
#define MK_ERR_VDA_NOTREADY MK_ERR(MK_ID_VDA, MK_ERR_SYS_NOTREADY)
