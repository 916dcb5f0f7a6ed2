// VENC: the video encoder module of the chip SDK. Up to 128 encoder channels; each channel's encoded
// frames lie in a stream ring that the driver fills and that this module maps once per channel, so a
// fetched frame is a list of packs pointing into the mapping (no copy).
#pragma once

#include "sdk/common/mk_type.h"
#include "sdk/venc/venc_ioctl.h"

// Argument lists of the kinds, for declarations.
// Records that are only sent are const.
#define MK_VENC_CONST_N
#define MK_VENC_CONST_W const
#define MK_VENC_CONST_R
#define MK_VENC_CONST_WR
#define MK_VENC_ARGS_NONE(Dir, Record) VENC_CHN VeChn
#define MK_VENC_ARGS_VAL(Dir, Record) VENC_CHN VeChn, Record u32Value
#define MK_VENC_ARGS_PTR(Dir, Record) VENC_CHN VeChn, MK_VENC_CONST_##Dir Record* pstRecord
#define MK_VENC_ARGS_PTR_NULL_FIRST(Dir, Record) VENC_CHN VeChn, MK_VENC_CONST_##Dir Record* pstRecord
#define MK_VENC_ARGS_PTR_UNCHECKED(Dir, Record) VENC_CHN VeChn, MK_VENC_CONST_##Dir Record* pstRecord

// ---- Functions ----

// Module start and stop (called by the system start and stop). Init: 0, or -1 when a lock cannot be
// set up. Exit: closes every descriptor and unmaps every ring this process mapped; 0.
MK_S32 MPI_VENC_Init(MK_VOID);
MK_S32 MPI_VENC_Exit(MK_VOID);

MK_S32 MK_MPI_VENC_CreateChn(VENC_CHN VeChn, const VENC_CHN_ATTR_S* pstAttr);
MK_S32 MK_MPI_VENC_DestroyChn(VENC_CHN VeChn);
// Fetches one frame; s32MilliSec -1 waits without limit, 0 returns at once.
MK_S32 MK_MPI_VENC_GetStream(VENC_CHN VeChn, VENC_STREAM_S* pstStream, MK_S32 s32MilliSec);
// Gives back the oldest fetched frame; a refused release leaves the record as the get returned it.
MK_S32 MK_MPI_VENC_ReleaseStream(VENC_CHN VeChn, VENC_STREAM_S* pstStream);
MK_S32 MK_MPI_VENC_GetStreamBufInfo(VENC_CHN VeChn, VENC_STREAM_BUF_INFO_S* pstBufInfo);
// The channel's descriptor (0 or more), readable while a frame waits; or an error code.
MK_S32 MK_MPI_VENC_GetFd(VENC_CHN VeChn);
MK_S32 MK_MPI_VENC_CloseFd(VENC_CHN VeChn);
MK_S32 MK_MPI_VENC_InsertUserData(VENC_CHN VeChn, MK_U8* pu8Data, MK_U32 u32Len);
MK_S32 MK_MPI_VENC_SendFrame(VENC_CHN VeChn, const VIDEO_FRAME_INFO_S* pstFrame, MK_S32 s32MilliSec);
MK_S32 MK_MPI_VENC_GetRoiCfg(VENC_CHN VeChn, MK_U32 u32Index, VENC_ROI_CFG_S* pstRoiCfg);
MK_S32 MK_MPI_VENC_SetRoiCfg(VENC_CHN VeChn, const VENC_ROI_CFG_S* pstRoiCfg);
MK_S32 MK_MPI_VENC_SetIntraRefresh(VENC_CHN VeChn, const VENC_PARAM_INTRA_REFRESH_S* pstIntraRefresh);
MK_S32 MK_MPI_VENC_SetModParam(const VENC_PARAM_MOD_S* pstModParam);
MK_S32 MK_MPI_VENC_GetModParam(VENC_PARAM_MOD_S* pstModParam);

#define MK_VENC_DECLARE_FUNC(Func, Kind, Dir, Nr, Record, Key) MK_S32 MK_MPI_VENC_##Func(MK_VENC_ARGS_##Kind(Dir, Record));
MK_VENC_REQUEST_TABLE(MK_VENC_DECLARE_FUNC)
#undef MK_VENC_DECLARE_FUNC
