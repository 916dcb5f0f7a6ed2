// The kernel/user interface of /dev/vdec: the channel, stream and picture records and the request
// numbers. The driver includes only this; the SDK's functions are in mpi_vdec.h.
#pragma once

#include <sys/ioctl.h>

#include <cstddef>

#include "sdk/common/mk_comm_video.h"
#include "sdk/common/mk_type.h"

typedef MK_S32 VDEC_CHN;

#define VDEC_MAX_CHN_NUM 64

typedef struct {
    MK_U32 enType;      // payload type
    MK_U32 u32BufSize;  // stream buffer size in bytes
    MK_U32 u32Priority;
    MK_U32 u32PicWidth;   // largest picture the channel accepts
    MK_U32 u32PicHeight;
    MK_U32 u32RefFrameNum;
    MK_U32 enMode;  // 1 whole frames, 0 a stream
    MK_U32 u32Reserved;
} VDEC_CHN_ATTR_S;
static_assert(sizeof(VDEC_CHN_ATTR_S) == 32);

// One packet of compressed stream. Carries the data's address, so it keeps the native layout.
typedef struct {
    const MK_U8* pu8Addr;
    MK_U32 u32Len;
    MK_U64 u64PTS;  // microseconds
    MK_U32 bEndOfFrame;
    MK_U32 bEndOfStream;
} VDEC_STREAM_S;

// User data taken from a channel; the module maps it and fills pu8Addr.
typedef struct {
    MK_U8* pu8Addr;
    MK_U32 u32PhyAddr;
    MK_U32 u32Len;
    MK_U32 bValid;  // 1 when the driver delivered data
} VDEC_USER_DATA_S;

typedef struct {
    MK_U32 enType;
    MK_U32 u32LeftStreamBytes;   // bytes queued in the stream buffer
    MK_U32 u32LeftStreamFrames;  // frames queued in the stream buffer
    MK_U32 u32LeftPics;       // decoded pictures waiting for GetFrame
    MK_U32 bStartRecvStream;  // 1 while the channel receives (the fifth word)
    MK_U32 u32RecvStreamFrames;    // pictures received since the channel's creation
    MK_U32 u32DecodeStreamFrames;  // pictures decoded since the channel's creation
    MK_U32 u32BufSize;
    MK_U32 u32StreamErrors;  // frames the decoder refused or found damaged, pictures it could not put out
    MK_U32 u32DroppedPics;   // decoded pictures that gave way before anyone fetched them
    MK_U32 au32Reserved[5];
} VDEC_CHN_STAT_S;
static_assert(sizeof(VDEC_CHN_STAT_S) == 60);
static_assert(offsetof(VDEC_CHN_STAT_S, bStartRecvStream) == 16);

// Records that only the driver reads.
typedef struct {
    MK_U32 au32Word[7];
} VDEC_CHN_PARAM_S;
static_assert(sizeof(VDEC_CHN_PARAM_S) == 28);
typedef struct {
    MK_U32 au32Word[5];
} VDEC_CHN_PARAM_EX_S;
static_assert(sizeof(VDEC_CHN_PARAM_EX_S) == 20);
typedef struct {
    MK_U32 au32Word[6];
} VDEC_RECORD31_S;
static_assert(sizeof(VDEC_RECORD31_S) == 24);
typedef struct {
    MK_U32 au32Word[2];
} VDEC_RECORD36_S;
static_assert(sizeof(VDEC_RECORD36_S) == 8);
typedef struct {
    MK_U32 au32Word[2];
} VDEC_MOD_PARAM_S;
static_assert(sizeof(VDEC_MOD_PARAM_S) == 8);

// The block of a request that waits: the record's address and the time-out in milliseconds.
template <typename T>
struct VdecTimedReq {
    T* pstRecord;
    MK_S32 s32MilliSec;
};

// The one-request members, one line each: name, how the argument travels (NONE, VALUE copied from a
// local, IN, OUT, TIMED_IN / TIMED_OUT: the record's address with a time-out), request number,
// argument type.
#define MK_VDEC_REQUESTS(X)                              \
    X(GetChnAttr, OUT, 3, VDEC_CHN_ATTR_S)               \
    X(SendStream, TIMED_IN, 4, VDEC_STREAM_S)            \
    X(Query, OUT, 6, VDEC_CHN_STAT_S)                    \
    X(SetChnParam, IN, 13, VDEC_CHN_PARAM_S)             \
    X(GetChnParam, OUT, 14, VDEC_CHN_PARAM_S)            \
    X(SetChnParamEx, IN, 15, VDEC_CHN_PARAM_EX_S)        \
    X(GetChnParamEx, OUT, 16, VDEC_CHN_PARAM_EX_S)       \
    X(GetFrame, TIMED_OUT, 20, VIDEO_FRAME_INFO_S)       \
    X(ReleaseFrame, IN, 21, VIDEO_FRAME_INFO_S)          \
    X(SetUserPic, IN, 26, VIDEO_FRAME_INFO_S)            \
    X(EnableUserPic, VALUE, 27, MK_U32)                  \
    X(DisableUserPic, NONE, 28, void)                    \
    X(SetWord29, VALUE, 29, MK_U32)                      \
    X(GetWord30, OUT, 30, MK_U32)                        \
    X(GetRecord31, OUT, 31, VDEC_RECORD31_S)             \
    X(SetWord32, VALUE, 32, MK_U32)                      \
    X(GetWord33, OUT, 33, MK_U32)                        \
    X(SetWord34, VALUE, 34, MK_U32)                      \
    X(GetWord35, OUT, 35, MK_U32)                        \
    X(SetRecord36, IN, 36, VDEC_RECORD36_S)              \
    X(Command37, NONE, 37, void)

#define MK_VDEC_IOC_NONE(nr, T) _IO('D', nr)
#define MK_VDEC_IOC_VALUE(nr, T) _IOW('D', nr, T)
#define MK_VDEC_IOC_IN(nr, T) _IOW('D', nr, T)
#define MK_VDEC_IOC_OUT(nr, T) _IOR('D', nr, T)
#define MK_VDEC_IOC_TIMED_IN(nr, T) _IOW('D', nr, VdecTimedReq<const T>)
#define MK_VDEC_IOC_TIMED_OUT(nr, T) _IOWR('D', nr, VdecTimedReq<T>)

namespace mk::vdec {
#define MK_VDEC_REQUEST_CONST(name, access, nr, T) \
    inline constexpr unsigned long k##name = MK_VDEC_IOC_##access(nr, T);
MK_VDEC_REQUESTS(MK_VDEC_REQUEST_CONST)
#undef MK_VDEC_REQUEST_CONST
inline constexpr unsigned long kCreateChn = _IOW('D', 0, VDEC_CHN_ATTR_S);
inline constexpr unsigned long kDestroyChn = _IO('D', 1);
inline constexpr unsigned long kStartRecvStream = _IO('D', 7);
inline constexpr unsigned long kStopRecvStream = _IO('D', 8);
inline constexpr unsigned long kResetChn = _IO('D', 9);
inline constexpr unsigned long kBind = _IOW('D', 10, MK_U32);
inline constexpr unsigned long kGetUserData = _IOWR('D', 17, VdecTimedReq<VDEC_USER_DATA_S>);
inline constexpr unsigned long kReleaseUserData = _IOW('D', 19, VDEC_USER_DATA_S);
inline constexpr unsigned long kSetModParam = _IOW('D', 38, VDEC_MOD_PARAM_S);
inline constexpr unsigned long kGetModParam = _IOR('D', 39, VDEC_MOD_PARAM_S);
}  // namespace mk::vdec
