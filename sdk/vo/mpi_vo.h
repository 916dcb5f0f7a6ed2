// Video output (VO): display devices, video layers, display channels, graphic layers, the write-back
// unit and the cascade device, over /dev/vo.
//
// Every function is one request on the descriptor of its object, opened and bound at the first call.
// Devices, layers and channels share one table indexed [device][layer][channel]; objects whose bind
// words are equal share a descriptor. Ids are checked as unsigned values before anything is opened;
// record pointers are checked after the open. Codes of the driver pass unchanged.
#pragma once

#include "sdk/common/mk_type.h"
#include "sdk/vo/vo_ioctl.h"

// Parameter lists by scope, then by kind.
#define MK_VO_PARAMS_DEV(...) (VO_DEV VoDev __VA_OPT__(, ) __VA_ARGS__)
#define MK_VO_PARAMS_LAYER(...) (VO_LAYER VoLayer __VA_OPT__(, ) __VA_ARGS__)
#define MK_VO_PARAMS_LBIND(...) (VO_LAYER VoLayer, VO_DEV VoDev __VA_OPT__(, ) __VA_ARGS__)
#define MK_VO_PARAMS_CHN(...) (VO_LAYER VoLayer, VO_CHN VoChn __VA_OPT__(, ) __VA_ARGS__)
#define MK_VO_PARAMS_CAS(...) (__VA_ARGS__, VO_DEV VoDev, VO_CHN VoChn)
#define MK_VO_PARAMS_WBC(...) (VO_WBC VoWbc __VA_OPT__(, ) __VA_ARGS__)
#define MK_VO_PARAMS_GFX(...) (GRAPHIC_LAYER GraphicLayer __VA_OPT__(, ) __VA_ARGS__)
#define MK_VO_PARAMS_GBIND(...) (GRAPHIC_LAYER GraphicLayer, __VA_ARGS__)
#define MK_VO_PARAMS_MOD(...) (__VA_ARGS__)
#define MK_VO_ARG_NONE(T)
#define MK_VO_ARG_SET(T) const T* pstArg
#define MK_VO_ARG_GET(T) T* pstArg
#define MK_VO_ARG_VAL(T) T u32Value
#define MK_VO_ARG_DEVVAL(T) T VoDev
#define MK_VO_ARG_FSEND(T) const VIDEO_FRAME_INFO_S* pstFrame, MK_S32 s32MilliSec
#define MK_VO_ARG_FGET(T) VIDEO_FRAME_INFO_S* pstFrame, MK_S32 s32MilliSec
#define MK_VO_ARG_LUMA(T) const VO_REGION_INFO_S* pstRegionInfo, MK_U32* pu32LumaData, MK_S32 s32MilliSec

#define MK_VO_DECLARE(scope, name, kind, nr, T) MK_S32 MK_MPI_VO_##name MK_VO_PARAMS_##scope(MK_VO_ARG_##kind(T));
MK_VO_TABLE(MK_VO_DECLARE)

// Reads a module value: the selector goes to the driver and the value it answers lands in
// *pu32Value, also when the request fails. A null pu32Value gives 0xA00F8006.
MK_S32 MK_MPI_VO_GetModuleValue(MK_U32 u32Selector, MK_U32* pu32Value);

// The descriptor named by a bind word (see MK_VO_BIND_REQUEST), opened and bound if it was closed; for
// select and the like. An error code (below 0) for a word naming no object or a device that fails.
MK_S32 MK_MPI_VO_GetFileHandle(MK_U32 u32BindWord);

// Closes every descriptor of the module: 0, or 0xA00F8012 when any close failed (all are closed and
// reset regardless).
MK_S32 MPI_VO_CloseFd(void);
