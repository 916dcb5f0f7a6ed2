// The seam between the decoder channels and the JPEG decode channels that stand behind decoder
// channels of payload type JPEG (26) or MJPEG (1002). The JPEG decode module registers its operations
// here; until one is registered, such channels are refused at creation with the not-supported code.
#pragma once

#include "sdk/vdec/mpi_vdec.h"

struct VdecJpegOps {
    MK_S32 (*CreateChn)(VDEC_CHN chn, const VDEC_CHN_ATTR_S* attr);
    MK_S32 (*DestroyChn)(VDEC_CHN chn);
    MK_S32 (*StartRecvStream)(VDEC_CHN chn);
    MK_S32 (*StopRecvStream)(VDEC_CHN chn);
    MK_S32 (*ResetChn)(VDEC_CHN chn);
    MK_S32 (*SetChnStarted)(VDEC_CHN chn);  // after the driver's reset
    MK_S32 (*UsrInit)(void);                // from MPI_VDEC_Init
    MK_S32 (*UsrDeInit)(void);              // from MPI_VDEC_Exit
};

// Registers the JPEG decode module's operations (kept by pointer; null takes them away).
void MPI_VDEC_SetJpegOps(const VdecJpegOps* ops);

inline bool VdecIsJpegType(MK_U32 type) { return type == PT_JPEG || type == PT_MJPEG; }
