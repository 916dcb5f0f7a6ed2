// VDA: video detection over /dev/vda, one descriptor per channel (bound on first use; a refused bind
// is not looked at) and the module's /dev/mem descriptor, through which each channel's result buffer is
// mapped at creation. Every call refuses a channel above 127 (0xA0098002) before anything is opened.
// Motion results come back with their physical addresses turned into this process's addresses; a
// result whose data lies outside the channel's buffer is given back and refused.
#pragma once

#include "sdk/vda/vda_ioctl.h"

// Creates the channel and maps its result buffer; a failure after the driver accepted the channel
// destroys it again.
MK_S32 MK_MPI_VDA_CreateChn(VDA_CHN VdaChn, const VDA_CHN_ATTR_S* pstAttr);
// Destroys the channel and unmaps its buffer; the descriptor stays open.
MK_S32 MK_MPI_VDA_DestroyChn(VDA_CHN VdaChn);
MK_S32 MK_MPI_VDA_StartRecvPic(VDA_CHN VdaChn);
MK_S32 MK_MPI_VDA_StopRecvPic(VDA_CHN VdaChn);
// s32Wait 0 returns at once when no result waits; otherwise waits for one. A failure leaves the
// record as it was.
MK_S32 MK_MPI_VDA_GetData(VDA_CHN VdaChn, VDA_DATA_S* pstVdaData, MK_S32 s32Wait);
// Gives back a fetched result, with the record as it was fetched.
MK_S32 MK_MPI_VDA_ReleaseData(VDA_CHN VdaChn, const VDA_DATA_S* pstVdaData);
MK_S32 MK_MPI_VDA_ResetOdRegion(VDA_CHN VdaChn, MK_S32 s32RgnIndex);
// The channel's descriptor for select (readable while a result waits), or an error code.
MK_S32 MK_MPI_VDA_GetFd(VDA_CHN VdaChn);
// Hands the channel one picture and a word.
MK_S32 MK_MPI_VDA_SendPic(VDA_CHN VdaChn, const VIDEO_FRAME_INFO_S* pstUserFrame, MK_U32 u32Word);
// This process's address of physical address u32PhyAddr in the channel's buffer; null when the
// channel has no buffer mapped.
MK_VOID* VDA_GetPhyOffset(VDA_CHN VdaChn, MK_U32 u32PhyAddr);
