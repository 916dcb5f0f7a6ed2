// RGN: overlay regions over /dev/rgn, one module-wide descriptor opened read-only on first use. Every
// call refuses a handle at or above RGN_HANDLE_MAX (0xA0038003) and a null record (0xA0038006) before
// anything is opened, then passes the driver's answer on unchanged. Canvases are mapped into the
// process through the module's own /dev/mem descriptor.
#pragma once

#include "sdk/rgn/rgn_ioctl.h"

MK_S32 MK_MPI_RGN_Create(RGN_HANDLE Handle, const RGN_ATTR_S* pstRegion);
// Destroys the region and unmaps its canvases.
MK_S32 MK_MPI_RGN_Destroy(RGN_HANDLE Handle);
// The bitmap's pixels are copied into the region during the call.
MK_S32 MK_MPI_RGN_SetBitMap(RGN_HANDLE Handle, const BITMAP_S* pstBitmap);
MK_S32 MK_MPI_RGN_AttachToChn(RGN_HANDLE Handle, const MPP_CHN_S* pstChn, const RGN_CHN_ATTR_S* pstChnAttr);
// The canvas to draw into, mapped once per canvas; pVirtAddr is this process's address of it.
MK_S32 MK_MPI_RGN_GetCanvasInfo(RGN_HANDLE Handle, RGN_CANVAS_INFO_S* pstCanvasInfo);
// Shows the canvas last handed out.
MK_S32 MK_MPI_RGN_UpdateCanvas(RGN_HANDLE Handle);
MK_S32 MK_MPI_RGN_Request11(RGN_HANDLE Handle, MK_U32 u32Value);
// The /dev/rgn descriptor, opened if needed; 0xA0038010 when it cannot be.
MK_S32 MK_MPI_RGN_GetFd(void);
