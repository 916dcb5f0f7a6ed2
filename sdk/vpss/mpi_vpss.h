// Video processing groups (VPSS): 256 groups, each with 4 output channels, over /dev/vpss.
//
// Every function is one request on the descriptor of its group or group channel, opened and bound at
// the first call. Ids are checked as unsigned values before anything is opened; record pointers are
// checked before the open, except for the module parameters. Codes of the driver pass unchanged.
#pragma once

#include "sdk/common/mk_type.h"
#include "sdk/vpss/vpss_ioctl.h"

// Parameter lists by scope, then by kind.
#define MK_VPSS_PARAMS_GRP(...) (VPSS_GRP VpssGrp __VA_OPT__(, ) __VA_ARGS__)
#define MK_VPSS_PARAMS_CHN(...) (VPSS_GRP VpssGrp, VPSS_CHN VpssChn __VA_OPT__(, ) __VA_ARGS__)
#define MK_VPSS_PARAMS_MOD(...) (__VA_ARGS__)
#define MK_VPSS_ARG_NONE(T)
#define MK_VPSS_ARG_SET(T) const T* pstArg
#define MK_VPSS_ARG_GET(T) T* pstArg
#define MK_VPSS_ARG_VAL(T) T u32Value
#define MK_VPSS_ARG_FSEND(T) const VIDEO_FRAME_INFO_S* pstFrame, MK_S32 s32MilliSec
#define MK_VPSS_ARG_FGET(T) VIDEO_FRAME_INFO_S* pstFrame, MK_S32 s32MilliSec
#define MK_VPSS_ARG_LUMA(T) const VPSS_REGION_INFO_S* pstRegionInfo, MK_U32* pu32LumaData, MK_S32 s32MilliSec

#define MK_VPSS_DECLARE(scope, name, kind, nr, T) \
    MK_S32 MK_MPI_VPSS_##name MK_VPSS_PARAMS_##scope(MK_VPSS_ARG_##kind(T));
MK_VPSS_TABLE(MK_VPSS_DECLARE)

// The descriptor of a group ((group << 16) | 255) or group channel ((group << 16) | channel), opened
// and bound if it was closed; for select and the like. An error code (below 0) on failure.
MK_S32 MK_MPI_VPSS_GetFileHandle(MK_U32 u32BindWord);
