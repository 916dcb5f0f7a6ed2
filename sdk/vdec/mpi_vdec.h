// VDEC: the 64 decoder channels of the chip SDK, over /dev/vdec. Every call checks its channel (as
// unsigned), opens and binds the channel's descriptor on first use (the node must be a character
// device), checks its record pointer and time-out and sends one request whose result it returns
// unchanged. Channels of payload type JPEG (26) or MJPEG (1002) are also JPEG decode channels: their
// life-cycle calls are routed to the JPEG decode module (sdk/vdec/vdec_jpeg.h).
#pragma once

#include "sdk/common/mk_type.h"
#include "sdk/vdec/vdec_ioctl.h"

// What a channel record holds for a channel of any type but JPEG and MJPEG.
#define VDEC_CTX_TYPE_OTHER 268

#define MK_VDEC_ARGS_NONE(T) (VDEC_CHN VdChn)
#define MK_VDEC_ARGS_VALUE(T) (VDEC_CHN VdChn, T value)
#define MK_VDEC_ARGS_IN(T) (VDEC_CHN VdChn, const T* pstRecord)
#define MK_VDEC_ARGS_OUT(T) (VDEC_CHN VdChn, T* pstRecord)
#define MK_VDEC_ARGS_TIMED_IN(T) (VDEC_CHN VdChn, const T* pstRecord, MK_S32 s32MilliSec)
#define MK_VDEC_ARGS_TIMED_OUT(T) (VDEC_CHN VdChn, T* pstRecord, MK_S32 s32MilliSec)

#define MK_VDEC_DECLARE(name, access, nr, T) MK_S32 MK_MPI_VDEC_##name MK_VDEC_ARGS_##access(T);
MK_VDEC_REQUESTS(MK_VDEC_DECLARE)
#undef MK_VDEC_DECLARE

// Creates the driver's channel. A JPEG or MJPEG channel also needs the JPEG decode module; without it
// such a channel is refused with 0xA0058008 and nothing is created.
MK_S32 MK_MPI_VDEC_CreateChn(VDEC_CHN VdChn, const VDEC_CHN_ATTR_S* pstAttr);
MK_S32 MK_MPI_VDEC_DestroyChn(VDEC_CHN VdChn);
MK_S32 MK_MPI_VDEC_StartRecvStream(VDEC_CHN VdChn);
MK_S32 MK_MPI_VDEC_StopRecvStream(VDEC_CHN VdChn);
// Drops what the channel has queued.
MK_S32 MK_MPI_VDEC_ResetChn(VDEC_CHN VdChn);
// Takes user data and maps it into the process (pu8Addr); -1 when the mapping fails (the data is then
// given back and the record marked not valid).
MK_S32 MK_MPI_VDEC_GetUserData(VDEC_CHN VdChn, VDEC_USER_DATA_S* pstUserData, MK_S32 s32MilliSec);
// Unmaps and gives back user data; 0xA0058003 when the unmapping fails (the data is given back still).
MK_S32 MK_MPI_VDEC_ReleaseUserData(VDEC_CHN VdChn, const VDEC_USER_DATA_S* pstUserData);
// The module parameters, through a descriptor bound to no channel.
MK_S32 MK_MPI_VDEC_SetModParam(const VDEC_MOD_PARAM_S* pstModParam);
MK_S32 MK_MPI_VDEC_GetModParam(VDEC_MOD_PARAM_S* pstModParam);
// The channel's descriptor, opened and bound if needed; or an error code.
MK_S32 MK_MPI_VDEC_GetFd(VDEC_CHN VdChn);
// Closes the channel's descriptor: 0, or the failed close's result (the slot is closed either way).
MK_S32 MK_MPI_VDEC_CloseFd(VDEC_CHN VdChn);

// Module set-up and take-down, run by the system's start and stop; both are harmless when repeated,
// and the take-down is harmless before the set-up.
MK_S32 MPI_VDEC_Init(void);
MK_S32 MPI_VDEC_Exit(void);
