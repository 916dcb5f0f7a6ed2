// The kernel/user interface of /dev/venc: the channel, stream and parameter records and the request
// numbers. The driver includes only this; the SDK's functions are in mpi_venc.h.
#pragma once

#include <sys/ioctl.h>

#include <cstddef>

#include "sdk/common/mk_comm_video.h"
#include "sdk/common/mk_type.h"

#define VENC_MAX_CHN_NUM 128
#define VENC_MAX_ROI_NUM 8
// Bytes of driver header in front of every pack in the stream ring.
#define VENC_STREAM_OFFSET 64
#define VENC_USER_DATA_MAX 1024

#define MK_ERR_VENC_INVALID_CHNID MK_ERR(MK_ID_VENC, MK_ERR_INVALID_CHNID)
#define MK_ERR_VENC_ILLEGAL_PARAM MK_ERR(MK_ID_VENC, MK_ERR_ILLEGAL_PARAM)
#define MK_ERR_VENC_UNEXIST MK_ERR(MK_ID_VENC, MK_ERR_UNEXIST)
#define MK_ERR_VENC_NULL_PTR MK_ERR(MK_ID_VENC, MK_ERR_NULL_PTR)
#define MK_ERR_VENC_NOT_SUPPORT MK_ERR(MK_ID_VENC, MK_ERR_NOT_SUPPORT)
#define MK_ERR_VENC_NOT_PERM MK_ERR(MK_ID_VENC, MK_ERR_NOT_PERM)
#define MK_ERR_VENC_NOMEM MK_ERR(MK_ID_VENC, MK_ERR_NOMEM)
#define MK_ERR_VENC_BUF_EMPTY MK_ERR(MK_ID_VENC, MK_ERR_BUF_EMPTY)
#define MK_ERR_VENC_SYS_NOTREADY MK_ERR(MK_ID_VENC, MK_ERR_SYS_NOTREADY)

typedef MK_S32 VENC_CHN;

// Rate-control modes of H.264 channels.
enum { VENC_RC_MODE_H264CBR = 1, VENC_RC_MODE_H264VBR = 2, VENC_RC_MODE_H264FIXQP = 5 };

// Data types of H.264 packs: the NAL unit type of the pack's one NAL unit.
enum {
    H264E_NALU_PSLICE = 1,
    H264E_NALU_ISLICE = 5,
    H264E_NALU_SEI = 6,
    H264E_NALU_SPS = 7,
    H264E_NALU_PPS = 8,
};
// Data type of a JPEG pack: the whole picture.
enum { JPEGE_PACK_PIC = 0 };

// ---- Channel attributes (76 bytes) ----

typedef struct {
    MK_U32 u32MaxPicWidth;
    MK_U32 u32MaxPicHeight;
    MK_U32 u32BufSize;
    MK_U32 u32Profile;
    MK_U32 bByFrame;
    MK_U32 u32PicWidth;
    MK_U32 u32PicHeight;
    MK_U32 u32BFrameNum;
    MK_U32 u32RefNum;
} VENC_ATTR_H264_S;
static_assert(sizeof(VENC_ATTR_H264_S) == 36);

typedef struct {
    MK_U32 u32MaxPicWidth;
    MK_U32 u32MaxPicHeight;
    MK_U32 u32BufSize;
    MK_U32 bByFrame;
    MK_U32 u32PicWidth;
    MK_U32 u32PicHeight;
    MK_U32 bSupportDCF;
    MK_U32 au32Reserved[2];
} VENC_ATTR_JPEG_S;
static_assert(sizeof(VENC_ATTR_JPEG_S) == 36);

typedef struct {
    MK_U32 enType;  // PT_H264 or PT_JPEG
    union {
        VENC_ATTR_H264_S stAttrH264e;
        VENC_ATTR_JPEG_S stAttrJpeg;
        MK_U32 au32Attr[9];
    };
} VENC_ATTR_S;
static_assert(sizeof(VENC_ATTR_S) == 40);

typedef struct {
    MK_U32 u32Gop;
    MK_U32 u32StatTime;
    MK_U32 u32SrcFrmRate;
    MK_U32 u32DstFrmRate;
    MK_U32 u32BitRate;  // kbit/s
    MK_U32 u32FluctuateLevel;
    MK_U32 au32Reserved[2];
} VENC_ATTR_H264_CBR_S;

typedef struct {
    MK_U32 u32Gop;
    MK_U32 u32StatTime;
    MK_U32 u32SrcFrmRate;
    MK_U32 u32DstFrmRate;
    MK_U32 u32MaxBitRate;  // kbit/s
    MK_U32 u32MaxQp;
    MK_U32 u32MinQp;
    MK_U32 u32Reserved;
} VENC_ATTR_H264_VBR_S;

typedef struct {
    MK_U32 u32Gop;
    MK_U32 u32SrcFrmRate;
    MK_U32 u32DstFrmRate;
    MK_U32 u32IQp;
    MK_U32 u32PQp;
    MK_U32 au32Reserved[3];
} VENC_ATTR_H264_FIXQP_S;

typedef struct {
    MK_U32 enRcMode;
    union {
        VENC_ATTR_H264_CBR_S stAttrH264Cbr;
        VENC_ATTR_H264_VBR_S stAttrH264Vbr;
        VENC_ATTR_H264_FIXQP_S stAttrH264FixQp;
        MK_U32 au32Param[8];
    };
} VENC_RC_ATTR_S;
static_assert(sizeof(VENC_RC_ATTR_S) == 36);

typedef struct {
    VENC_ATTR_S stVeAttr;
    VENC_RC_ATTR_S stRcAttr;
} VENC_CHN_ATTR_S;
static_assert(sizeof(VENC_CHN_ATTR_S) == 76);
static_assert(offsetof(VENC_CHN_ATTR_S, stRcAttr) == 40);

// ---- Streams (native layouts: they carry user addresses) ----

typedef struct {
    MK_U32 u32PhysAddr;
    MK_U8* pu8UserAddr;
    MK_U32 u32Len;
    MK_U32 u32Reserved;
    MK_U64 u64Pts;  // microseconds
    MK_U32 bFrameEnd;
    MK_U32 u32DataType;
    MK_U32 u32DataOffset;  // bytes before the payload; the payload is u32Len - u32DataOffset bytes
    MK_U32 au32PackInfo[25];
} VENC_PACK_S;

typedef struct {
    VENC_PACK_S* pstPack;
    MK_U32 u32PackCnt;  // in: packs the array holds; out: packs filled
    MK_U32 u32SeqNum;
    // Driver information: word 0 the frame's reference type (1 key frame), word 1 its bytes without
    // headers; the rest reserved.
    MK_U32 au32StreamInfo[14];
} VENC_STREAM_S;

// What the driver reports about a channel's stream ring (pointer-free, 16 bytes).
typedef struct {
    MK_U32 u32PhyAddr;
    MK_U32 u32DrvAddr;
    MK_U32 u32BufSize;
    MK_U32 u32Reserved;
} VENC_DRV_BUF_INFO_S;
static_assert(sizeof(VENC_DRV_BUF_INFO_S) == 16);

typedef struct {
    MK_U32 u32PhyAddr;
    MK_VOID* pUserAddr;
    MK_U32 u32BufSize;
} VENC_STREAM_BUF_INFO_S;

typedef struct {
    MK_U32 u32LeftPics;          // pictures received and not yet encoded
    MK_U32 u32LeftStreamBytes;   // bytes in the ring not yet released
    MK_U32 u32LeftStreamFrames;  // frames waiting to be fetched
    MK_U32 u32FramePacks;        // packs of the next frame that waits
    MK_U32 u32LeftRecvPics;
    MK_U32 u32LeftEncPics;
} VENC_CHN_STATUS_S;
static_assert(sizeof(VENC_CHN_STATUS_S) == 24);
// The name the program's capture code uses for the same record.
typedef VENC_CHN_STATUS_S VENC_CHN_STAT_S;


typedef struct {
    MK_U8* pu8Data;
    MK_U32 u32Len;
} VENC_USER_DATA_S;

// ---- Records of the parameter operations (pointer-free; their sizes are fixed) ----

#define MK_VENC_RECORD(name, bytes)        \
    typedef struct {                       \
        MK_U32 au32Word[(bytes) / 4];      \
    } name;                                \
    static_assert(sizeof(name) == (bytes), #name)

MK_VENC_RECORD(VENC_RC_PARAM_S, 168);
MK_VENC_RECORD(VENC_VPSS_INFO_S, 144);
MK_VENC_RECORD(VENC_FRAME_RATE_S, 8);
MK_VENC_RECORD(VENC_ROIBG_FRAME_RATE_S, 8);
MK_VENC_RECORD(VENC_PARAM_H264_SLICE_SPLIT_S, 12);
MK_VENC_RECORD(VENC_PARAM_H264_INTER_PRED_S, 28);
MK_VENC_RECORD(VENC_PARAM_H264_INTRA_PRED_S, 16);
MK_VENC_RECORD(VENC_PARAM_H264_INTRA_PRED_EX_S, 20);
MK_VENC_RECORD(VENC_PARAM_H264_TRANS_S, 144);
MK_VENC_RECORD(VENC_PARAM_H264_ENTROPY_S, 16);
MK_VENC_RECORD(VENC_PARAM_H264_POC_S, 4);
MK_VENC_RECORD(VENC_PARAM_H264_DBLK_S, 12);
MK_VENC_RECORD(VENC_PARAM_H264_RDO_S, 28);
MK_VENC_RECORD(VENC_PARAM_H264_VUI_S, 28);
MK_VENC_RECORD(VENC_PARAM_JPEG_S, 200);
MK_VENC_RECORD(VENC_PARAM_MJPEG_S, 196);
MK_VENC_RECORD(VENC_PARAM_REF_S, 12);
MK_VENC_RECORD(VENC_COLOR2GREY_S, 4);
MK_VENC_RECORD(VENC_CROP_CFG_S, 20);
MK_VENC_RECORD(VENC_H264_IDRPICID_CFG_S, 8);
MK_VENC_RECORD(VENC_JPEG_SNAP_MODE_S, 4);
MK_VENC_RECORD(VENC_RECV_PIC_PARAM_S, 4);
MK_VENC_RECORD(VENC_PARAM_H265_SLICE_SPLIT_S, 16);
MK_VENC_RECORD(VENC_PARAM_H265_PU_S, 36);
MK_VENC_RECORD(VENC_PARAM_H265_TRANS_S, 16);
MK_VENC_RECORD(VENC_PARAM_H265_ENTROPY_S, 4);
MK_VENC_RECORD(VENC_PARAM_H265_DBLK_S, 12);
MK_VENC_RECORD(VENC_PARAM_H265_SAO_S, 8);
MK_VENC_RECORD(VENC_PARAM_H265_TIMING_S, 16);
MK_VENC_RECORD(VENC_PARAM_H265_VUI_S, 36);
MK_VENC_RECORD(VENC_PARAM_FRAMELOST_S, 16);
MK_VENC_RECORD(VENC_PARAM_FACE_CFG_S, 1388);
MK_VENC_RECORD(VENC_PARAM_PATTERN_ADAPTIVE_S, 16);
MK_VENC_RECORD(VENC_SKIP_ALG_CFG_S, 32);
MK_VENC_RECORD(VENC_SUPERFRAME_CFG_S, 16);
MK_VENC_RECORD(VENC_PARAM_H265_INTRA_PRED_EX_S, 4);
MK_VENC_RECORD(VENC_THUMBNAIL_CFG_S, 12);
MK_VENC_RECORD(VENC_PARAM_H264_SKIN_S, 20);
MK_VENC_RECORD(VENC_SCENE_MODE_S, 4);
MK_VENC_RECORD(VENC_SCENE_INPUT_S, 4);
MK_VENC_RECORD(VENC_PARAM_MOD_S, 20);

typedef struct {
    MK_U32 u32Base;
    MK_U32 u32Enhance;
    MK_U32 bEnablePred;
    MK_U32 bVirtualIEnable;
    MK_U32 u32VirtualIInterval;
    MK_S32 s32VirtualIQpDelta;
} VENC_PARAM_REF_EX_S;
static_assert(sizeof(VENC_PARAM_REF_EX_S) == 24);

typedef struct {
    MK_U32 u32Index;  // 0 .. VENC_MAX_ROI_NUM - 1
    MK_U32 au32Cfg[7];
} VENC_ROI_CFG_S;
static_assert(sizeof(VENC_ROI_CFG_S) == 32);

typedef struct {
    MK_U32 bRefreshEnable;
    MK_U32 bISliceEnable;
    MK_U32 u32RefreshLineNum;
    MK_U32 u32ReqIQp;
} VENC_PARAM_INTRA_REFRESH_S;
static_assert(sizeof(VENC_PARAM_INTRA_REFRESH_S) == 16);

// ---- The one-request operations, listed once ----
//
// X(Function, Kind, Dir, Nr, Record, Key): Kind is
//   NONE  no argument;
//   VAL   a 32-bit value passed by value, sent as a copy (no null check);
//   PTR   a pointer to Record, null-checked after the lazy open;
//   PTR_NULL_FIRST  the null check comes before module initialisation and the open;
//   PTR_UNCHECKED   the pointer goes to the driver as it is.
// Dir is the request direction (N, W, R, WR). Key names the driver setting the entry reads or writes,
// so a Set and its Get share it.
#define MK_VENC_REQUEST_TABLE(X)                                                                     \
    X(ResetChn, NONE, N, 61, MK_U32, Reset)                                                          \
    X(StartRecvPic, NONE, N, 6, MK_U32, StartRecv)                                                   \
    X(StopRecvPic, NONE, N, 7, MK_U32, StopRecv)                                                     \
    X(Query, PTR, R, 10, VENC_CHN_STATUS_S, Status)                                                  \
    X(RequestIDR, VAL, W, 16, MK_U32, Idr)                                                           \
    X(AttachVbPool, VAL, W, 121, MK_U32, VbPool)                                                     \
    X(DetachVbPool, NONE, N, 122, MK_U32, VbPool)                                                    \
    X(SetChnlPriority, VAL, W, 106, MK_U32, ChnlPriority)                                            \
    X(GetChnlPriority, PTR_NULL_FIRST, R, 107, MK_U32, ChnlPriority)                                 \
    X(GetChnAttr, PTR, WR, 120, VENC_CHN_ATTR_S, ChnAttr)                                            \
    X(SetChnAttr, PTR, W, 119, VENC_CHN_ATTR_S, ChnAttr)                                             \
    X(SetRcParam, PTR, W, 2, VENC_RC_PARAM_S, RcParam)                                               \
    X(GetRcParam, PTR, WR, 3, VENC_RC_PARAM_S, RcParam)                                              \
    X(VpssQuery, PTR, WR, 65, VENC_VPSS_INFO_S, VpssQuery)                                           \
    X(VpssSend, PTR, W, 66, VENC_VPSS_INFO_S, VpssSend)                                              \
    X(SetMaxStreamCnt, VAL, WR, 18, MK_U32, MaxStreamCnt)                                            \
    X(GetMaxStreamCnt, PTR, WR, 19, MK_U32, MaxStreamCnt)                                            \
    X(SetFrameRate, PTR, W, 57, VENC_FRAME_RATE_S, FrameRate)                                        \
    X(GetFrameRate, PTR, R, 58, VENC_FRAME_RATE_S, FrameRate)                                        \
    X(SetRoiBgFrameRate, PTR, W, 63, VENC_ROIBG_FRAME_RATE_S, RoiBgFrameRate)                        \
    X(GetRoiBgFrameRate, PTR, R, 64, VENC_ROIBG_FRAME_RATE_S, RoiBgFrameRate)                        \
    X(SetH264SliceSplit, PTR, W, 23, VENC_PARAM_H264_SLICE_SPLIT_S, H264SliceSplit)                  \
    X(GetH264SliceSplit, PTR, R, 24, VENC_PARAM_H264_SLICE_SPLIT_S, H264SliceSplit)                  \
    X(SetH264InterPred, PTR, W, 25, VENC_PARAM_H264_INTER_PRED_S, H264InterPred)                     \
    X(GetH264InterPred, PTR, R, 26, VENC_PARAM_H264_INTER_PRED_S, H264InterPred)                     \
    X(SetH264IntraPred, PTR, W, 27, VENC_PARAM_H264_INTRA_PRED_S, H264IntraPred)                     \
    X(GetH264IntraPred, PTR, R, 28, VENC_PARAM_H264_INTRA_PRED_S, H264IntraPred)                     \
    X(SetH264IntraPredEx, PTR, W, 104, VENC_PARAM_H264_INTRA_PRED_EX_S, H264IntraPredEx)             \
    X(GetH264IntraPredEx, PTR, R, 105, VENC_PARAM_H264_INTRA_PRED_EX_S, H264IntraPredEx)             \
    X(SetH264Trans, PTR, W, 29, VENC_PARAM_H264_TRANS_S, H264Trans)                                  \
    X(GetH264Trans, PTR, R, 30, VENC_PARAM_H264_TRANS_S, H264Trans)                                  \
    X(SetH264Entropy, PTR, W, 31, VENC_PARAM_H264_ENTROPY_S, H264Entropy)                            \
    X(GetH264Entropy, PTR, R, 32, VENC_PARAM_H264_ENTROPY_S, H264Entropy)                            \
    X(SetH264Poc, PTR, W, 33, VENC_PARAM_H264_POC_S, H264Poc)                                        \
    X(GetH264Poc, PTR, R, 34, VENC_PARAM_H264_POC_S, H264Poc)                                        \
    X(SetH264Dblk, PTR, W, 35, VENC_PARAM_H264_DBLK_S, H264Dblk)                                     \
    X(GetH264Dblk, PTR, R, 36, VENC_PARAM_H264_DBLK_S, H264Dblk)                                     \
    X(SetH264RDO, PTR, W, 37, VENC_PARAM_H264_RDO_S, H264RDO)                                        \
    X(GetH264RDO, PTR, R, 38, VENC_PARAM_H264_RDO_S, H264RDO)                                        \
    X(SetH264Vui, PTR, W, 39, VENC_PARAM_H264_VUI_S, H264Vui)                                        \
    X(GetH264Vui, PTR, R, 40, VENC_PARAM_H264_VUI_S, H264Vui)                                        \
    X(SetJpegParam, PTR, W, 41, VENC_PARAM_JPEG_S, JpegParam)                                        \
    X(GetJpegParam, PTR, R, 42, VENC_PARAM_JPEG_S, JpegParam)                                        \
    X(SetMjpegParam, PTR, W, 43, VENC_PARAM_MJPEG_S, MjpegParam)                                     \
    X(GetMjpegParam, PTR, R, 44, VENC_PARAM_MJPEG_S, MjpegParam)                                     \
    X(SetRefParam, PTR, W, 52, VENC_PARAM_REF_S, RefParam)                                           \
    X(GetRefParam, PTR, R, 53, VENC_PARAM_REF_S, RefParam)                                           \
    X(SetRefParamEx, PTR, W, 54, VENC_PARAM_REF_EX_S, RefParamEx)                                    \
    X(GetRefParamEx, PTR, R, 55, VENC_PARAM_REF_EX_S, RefParamEx)                                    \
    X(SetColor2Grey, PTR, W, 67, VENC_COLOR2GREY_S, Color2Grey)                                      \
    X(GetColor2Grey, PTR, R, 68, VENC_COLOR2GREY_S, Color2Grey)                                      \
    X(EnableIDR, VAL, W, 56, MK_U32, EnableIdr)                                                      \
    X(SetCrop, PTR, W, 59, VENC_CROP_CFG_S, Crop)                                                    \
    X(GetCrop, PTR, R, 60, VENC_CROP_CFG_S, Crop)                                                    \
    X(SetH264IdrPicId, PTR, W, 69, VENC_H264_IDRPICID_CFG_S, H264IdrPicId)                           \
    X(GetH264IdrPicId, PTR, R, 70, VENC_H264_IDRPICID_CFG_S, H264IdrPicId)                           \
    X(SetJpegSnapMode, VAL, W, 49, MK_U32, JpegSnapMode)                                             \
    X(GetJpegSnapMode, PTR, R, 50, VENC_JPEG_SNAP_MODE_S, JpegSnapMode)                              \
    X(StartRecvPicEx, PTR, W, 51, VENC_RECV_PIC_PARAM_S, StartRecvEx)                                \
    X(SetH265SliceSplit, PTR, W, 73, VENC_PARAM_H265_SLICE_SPLIT_S, H265SliceSplit)                  \
    X(GetH265SliceSplit, PTR, R, 74, VENC_PARAM_H265_SLICE_SPLIT_S, H265SliceSplit)                  \
    X(SetH265PredUnit, PTR, W, 77, VENC_PARAM_H265_PU_S, H265PredUnit)                               \
    X(GetH265PredUnit, PTR, R, 78, VENC_PARAM_H265_PU_S, H265PredUnit)                               \
    X(SetH265Trans, PTR, W, 79, VENC_PARAM_H265_TRANS_S, H265Trans)                                  \
    X(GetH265Trans, PTR, R, 80, VENC_PARAM_H265_TRANS_S, H265Trans)                                  \
    X(SetH265Entropy, PTR, W, 81, VENC_PARAM_H265_ENTROPY_S, H265Entropy)                            \
    X(GetH265Entropy, PTR, R, 82, VENC_PARAM_H265_ENTROPY_S, H265Entropy)                            \
    X(SetH265Dblk, PTR, W, 83, VENC_PARAM_H265_DBLK_S, H265Dblk)                                     \
    X(GetH265Dblk, PTR, R, 84, VENC_PARAM_H265_DBLK_S, H265Dblk)                                     \
    X(SetH265Sao, PTR, W, 85, VENC_PARAM_H265_SAO_S, H265Sao)                                        \
    X(GetH265Sao, PTR, R, 86, VENC_PARAM_H265_SAO_S, H265Sao)                                        \
    X(SetH265Timing, PTR, W, 87, VENC_PARAM_H265_TIMING_S, H265Timing)                               \
    X(GetH265Timing, PTR, R, 88, VENC_PARAM_H265_TIMING_S, H265Timing)                               \
    X(SetH265Vui, PTR, W, 89, VENC_PARAM_H265_VUI_S, H265Vui)                                        \
    X(GetH265Vui, PTR, R, 90, VENC_PARAM_H265_VUI_S, H265Vui)                                        \
    X(SetFrameLostStrategy, PTR, W, 91, VENC_PARAM_FRAMELOST_S, FrameLost)                           \
    X(GetFrameLostStrategy, PTR, R, 92, VENC_PARAM_FRAMELOST_S, FrameLost)                           \
    X(SetFaceCfg, PTR, W, 93, VENC_PARAM_FACE_CFG_S, FaceCfg)                                        \
    X(GetFaceCfg, PTR, R, 94, VENC_PARAM_FACE_CFG_S, FaceCfg)                                        \
    X(SetPatternAdaptiveCfg, PTR, W, 130, VENC_PARAM_PATTERN_ADAPTIVE_S, PatternAdaptive)            \
    X(GetPatternAdaptiveCfg, PTR, R, 131, VENC_PARAM_PATTERN_ADAPTIVE_S, PatternAdaptive)            \
    X(SetCostAlgFlag, VAL, W, 108, MK_U32, CostAlgFlag)                                              \
    X(GetCostAlgFlag, PTR_UNCHECKED, R, 108, MK_U32, CostAlgFlag)                                    \
    X(EnableInterPskip, VAL, W, 110, MK_U32, InterPskip)                                             \
    X(SetSkipAlgCfg, PTR, W, 95, VENC_SKIP_ALG_CFG_S, SkipAlgCfg)                                    \
    X(GetSkipAlgCfg, PTR, R, 96, VENC_SKIP_ALG_CFG_S, SkipAlgCfg)                                    \
    X(SetRcPriority, VAL, W, 111, MK_U32, RcPriority)                                                \
    X(GetRcPriority, PTR, R, 112, MK_U32, RcPriority)                                                \
    X(SetSuperFrameCfg, PTR, W, 113, VENC_SUPERFRAME_CFG_S, SuperFrameCfg)                           \
    X(GetSuperFrameCfg, PTR, R, 114, VENC_SUPERFRAME_CFG_S, SuperFrameCfg)                           \
    X(SetH265IntraPredEx, PTR, W, 115, VENC_PARAM_H265_INTRA_PRED_EX_S, H265IntraPredEx)             \
    X(GetH265IntraPredEx, PTR, R, 116, VENC_PARAM_H265_INTRA_PRED_EX_S, H265IntraPredEx)             \
    X(SetThumbNailImageCfg, PTR, W, 117, VENC_THUMBNAIL_CFG_S, ThumbNail)                            \
    X(GetThumbNailImageCfg, PTR, R, 118, VENC_THUMBNAIL_CFG_S, ThumbNail)                            \
    X(SetH264SkinCfg, PTR, W, 71, VENC_PARAM_H264_SKIN_S, H264Skin)                                  \
    X(GetH264SkinCfg, PTR, R, 72, VENC_PARAM_H264_SKIN_S, H264Skin)                                  \
    X(GetIntraRefresh, PTR, WR, 124, VENC_PARAM_INTRA_REFRESH_S, IntraRefresh)                       \
    X(SetSceneMode, PTR, W, 125, VENC_SCENE_MODE_S, SceneMode)                                       \
    X(GetSceneMode, PTR, R, 126, VENC_SCENE_MODE_S, SceneMode)                                       \
    X(SetSceneInput, PTR, W, 132, VENC_SCENE_INPUT_S, SceneInput)                                    \
    X(GetSceneInput, PTR, R, 133, VENC_SCENE_INPUT_S, SceneInput)

// Request numbers: VENC_IOC_<Function>.
#define MK_VENC_IOC_N(nr, Record) _IO('E', nr)
#define MK_VENC_IOC_W(nr, Record) _IOW('E', nr, Record)
#define MK_VENC_IOC_R(nr, Record) _IOR('E', nr, Record)
#define MK_VENC_IOC_WR(nr, Record) _IOWR('E', nr, Record)

#define MK_VENC_DECLARE_IOC(Func, Kind, Dir, Nr, Record, Key) \
    constexpr unsigned long VENC_IOC_##Func = MK_VENC_IOC_##Dir(Nr, Record);
MK_VENC_REQUEST_TABLE(MK_VENC_DECLARE_IOC)
#undef MK_VENC_DECLARE_IOC

constexpr unsigned long VENC_IOC_CreateChn = _IOW('E', 0, VENC_CHN_ATTR_S);
constexpr unsigned long VENC_IOC_DestroyChn = _IO('E', 1);
constexpr unsigned long VENC_IOC_GetStream = _IOWR('E', 8, VENC_STREAM_S);
constexpr unsigned long VENC_IOC_ReleaseStream = _IOW('E', 9, VENC_STREAM_S);
constexpr unsigned long VENC_IOC_GetBufInfo = _IOR('E', 11, VENC_DRV_BUF_INFO_S);
constexpr unsigned long VENC_IOC_SetGetTimeout = _IOW('E', 14, MK_S32);
constexpr unsigned long VENC_IOC_SetSendTimeout = _IOW('E', 15, MK_S32);
constexpr unsigned long VENC_IOC_InsertUserData = _IOW('E', 17, VENC_USER_DATA_S);
constexpr unsigned long VENC_IOC_BindChn = _IOW('E', 20, MK_U32);
constexpr unsigned long VENC_IOC_GetRoiCfg = _IOWR('E', 21, VENC_ROI_CFG_S);
constexpr unsigned long VENC_IOC_SetRoiCfg = _IOW('E', 22, VENC_ROI_CFG_S);
constexpr unsigned long VENC_IOC_SendFrame = _IOW('E', 62, VIDEO_FRAME_INFO_S);
constexpr unsigned long VENC_IOC_SetIntraRefresh = _IOW('E', 123, VENC_PARAM_INTRA_REFRESH_S);
constexpr unsigned long VENC_IOC_SetModParam = _IOW('E', 127, VENC_PARAM_MOD_S);
constexpr unsigned long VENC_IOC_GetModParam = _IOWR('E', 128, VENC_PARAM_MOD_S);
