// VI: the capture devices (ports 0-8) and capture channels (0-34) of the chip SDK, over /dev/vi.
// Every call checks its ids (as unsigned, so a negative id is out of range), checks its record
// pointer, opens and binds the object's descriptor on first use and sends one request whose result it
// returns unchanged.
#pragma once

#include "sdk/common/mk_type.h"
#include "sdk/vi/vi_ioctl.h"

// Parameter lists by object and argument.
#define MK_VI_ID_DEV VI_DEV ViDev
#define MK_VI_ID_CHN VI_CHN ViChn
#define MK_VI_ARGS_NONE(ID, T) (ID)
#define MK_VI_ARGS_VALUE(ID, T) (ID, T value)
#define MK_VI_ARGS_IN(ID, T) (ID, const T* pstAttr)
#define MK_VI_ARGS_IN_RAW(ID, T) (ID, const T* pstAttr)
#define MK_VI_ARGS_OUT(ID, T) (ID, T* pstAttr)
#define MK_VI_ARGS_INOUT(ID, T) (ID, T* pstAttr)
#define MK_VI_MOD_ARGS_IN(T) (const T* pstParam)
#define MK_VI_MOD_ARGS_OUT(T) (T* pstParam)
#define MK_VI_PARAMS_DEV(access, T) MK_VI_ARGS_##access(MK_VI_ID_DEV, T)
#define MK_VI_PARAMS_CHN(access, T) MK_VI_ARGS_##access(MK_VI_ID_CHN, T)
#define MK_VI_PARAMS_MOD(access, T) MK_VI_MOD_ARGS_##access(T)

#define MK_VI_DECLARE(name, scope, access, nr, T) MK_S32 MK_MPI_VI_##name MK_VI_PARAMS_##scope(access, T);
MK_VI_REQUESTS(MK_VI_DECLARE)
#undef MK_VI_DECLARE

// Takes a captured frame, waiting up to s32MilliSec (passed to the driver unchanged). The caller's
// record is written only when the driver answers 0.
MK_S32 MK_MPI_VI_GetFrame(VI_CHN ViChn, VIDEO_FRAME_INFO_S* pstFrameInfo, MK_S32 s32MilliSec);
// Gives a frame taken with MK_MPI_VI_GetFrame back.
MK_S32 MK_MPI_VI_ReleaseFrame(VI_CHN ViChn, const VIDEO_FRAME_INFO_S* pstFrameInfo);
// The channel's descriptor, opened and bound if needed; or an error code.
MK_S32 MK_MPI_VI_GetFd(VI_CHN ViChn);
// The descriptor of the device (bit 23 set: device in bits 16-22) or channel (bit 7 set: channel in
// bits 0-6) that the word names; -1 for a word with neither bit; or an error code.
MK_S32 MK_MPI_VI_GetFileHandle(MK_U32 u32Handle);
// Closes every descriptor of the module: 0, or 0xA0108012 when a close failed.
MK_S32 MPI_VI_CloseFd(void);
