// JPEGD: the JPEG decode channels. Video decoder channels of payload type JPEG (26) or MJPEG (1002) are
// decoded in user space: the decoder driver keeps taking the channel's pictures into its stream ring and
// owns its frame buffers; two threads shared by all 64 channels take each picture out of the driver
// ('D' 44), parse its header on one of six decoder objects, fetch a frame buffer ('D' 46), decode the
// picture into it as semi-planar YUV 4:2:0 (hardware first, through the JPEG library) and give frame and
// stream back ('D' 47, 45), reporting each picture's outcome ('D' 50).
//
// The module registers its channel operations with the video decoder module (sdk/vdec/vdec_jpeg.h) from
// a static initialiser, so they are there before main; the decoder module's creation, destruction,
// start, stop and reset of such channels call them.
//
// A thin layer of picture operations (MK_JPEG_*) wraps the library calls of one picture and turns the
// library's fatal errors into return codes.
#pragma once

#include <cstdio>

#include <jpeglib.h>

#include "sdk/common/mk_type.h"
#include "sdk/vdec/mpi_vdec.h"

// ---- Channel operations (from the video decoder module); 0 or an error code of module 5 ----

// 0xA0058002 channel above 63, 0xA0058006 null attribute, 0xA0058004 created already, 0xA005800C
// no working buffer, no decoder objects or no threads (nothing is left half made).
MK_S32 JPEGD_CreateChn(VDEC_CHN VdChn, const VDEC_CHN_ATTR_S* pstAttr);
// Waits until the channel's picture in work has been given back, then gives back what the channel still
// holds. 0xA0058005 not created, 0xA0058009 while receiving, 0xA0058010 after the take-down.
MK_S32 JPEGD_DestroyChn(VDEC_CHN VdChn);
MK_S32 JPEGD_StartRecvStream(VDEC_CHN VdChn);
MK_S32 JPEGD_StopRecvStream(VDEC_CHN VdChn);
// As destroy, leaving the channel being reset until JPEGD_SetChnStarted.
MK_S32 JPEGD_ResetChn(VDEC_CHN VdChn);
MK_S32 JPEGD_SetChnStarted(VDEC_CHN VdChn);

// Module set-up and take-down; both are harmless when repeated, the take-down also before the set-up.
// The threads start with the first channel after the set-up and end at the take-down, which gives every
// stream and frame buffer the channels still hold back to the driver.
MK_S32 JPEGD_USR_Init(MK_VOID);
MK_S32 JPEGD_USR_DeInit(MK_VOID);

// The outcome of the channel's last picture: JPEGD_ERR_* (sdk/jpegd/jpegd_ioctl.h); -1 for a channel out
// of range.
MK_S32 JPEGD_GetErrorType(VDEC_CHN VdChn);

// ---- Picture operations; 0 or -1, with a failure line on standard output ----

// A frame buffer: its physical and user address and size.
typedef struct {
    MK_U32 u32PhyAddr;
    MK_U8* pu8VirAddr;
    MK_U32 u32Size;
} MK_JPEG_FRAMEBUF_S;

// What a decode gives.
typedef struct {
    MK_U32 u32Format;  // colour format; 5 when it is not one the decoder takes
    MK_U32 u32Reserved;
    MK_U32 au32Result[2];  // the decoder's two result words
    MK_U32 u32OutWidth;
    MK_U32 u32OutHeight;
    MK_U32 u32LumaPhyAddr;
    MK_U8* pu8LumaVirAddr;
    MK_U32 u32LumaStride;
    MK_U32 u32ChromaPhyAddr;
    MK_U8* pu8ChromaVirAddr;
    MK_U32 u32ChromaStride;  // 0 for a grey picture, whose chroma is left unwritten
} MK_JPEG_DECRESULT_S;

#define MK_JPEG_MAX_OBJECTS 32

// A new decompress object from a table of 32 (a slot that is free, not one in use).
MK_S32 MK_JPEG_Create(j_decompress_ptr* ppObject);
MK_S32 MK_JPEG_Destroy(j_decompress_ptr pObject);
MK_S32 MK_JPEG_ResetDec(j_decompress_ptr pObject);
// Reads the header of a stream at u32StreamPhyAddr / pu8Vir1 (u32Len1 bytes) that continues at pu8Vir2
// (u32Len2 bytes, 0 when it does not wrap) in the working buffer at u32WorkPhyAddr.
MK_S32 MK_JPEG_Parse(j_decompress_ptr pObject, MK_U32 u32WorkPhyAddr, MK_U32 u32WorkLen, MK_U32 u32StreamPhyAddr,
                     const MK_U8* pu8Vir1, const MK_U8* pu8Vir2, MK_U32 u32Len1, MK_U32 u32Len2);
// Width, height and colour format of the parsed picture.
MK_S32 MK_JPEG_GetImageInfo(j_decompress_ptr pObject, MK_U32 au32Info[3]);
// Decodes the parsed picture into the frame buffer as semi-planar YUV 4:2:0; a buffer too small for the
// picture fails before anything is written.
MK_S32 MK_JPEG_Decode(j_decompress_ptr pObject, const MK_JPEG_FRAMEBUF_S* pstFrameBuf, MK_JPEG_DECRESULT_S* pstResult);
// Objects in use.
MK_S32 MK_JPEG_LiveCount(MK_VOID);
