// TDE: the 2D engine over /dev/mk_tde, opened by MK_TDE2_Open with an open count (not lazily). While it
// is closed every call but Open, Close and SetValue24 prints "tde doesn't open!" and returns
// 0xA0648001. Operations copy their arguments into one zeroed request record, marking the optional
// ones passed as null in its absent mask; required ones that are null give 0xA0648003. The driver's
// answers pass through unchanged, but a failed job start is always 0xA0648005.
#pragma once

#include "sdk/tde/tde_ioctl.h"

// The module requests that carry at most one word, one line each: name, how the word travels (NONE;
// VALUE copied from a local; OUT into the caller's word; IN from the caller's word), request, type.
#define MK_TDE_REQUESTS(X)                   \
    X(SetValue10, VALUE, kSetValue10, MK_U32) \
    X(Request14, NONE, kRequest14, void)      \
    X(Request15, NONE, kRequest15, void)      \
    X(GetValue18, OUT, kGetValue18, MK_U32)   \
    X(SetFlag19, VALUE, kSetFlag19, MK_U8)    \
    X(GetFlag20, OUT, kGetFlag20, MK_U8)      \
    X(SetValue21, VALUE, kSetValue21, MK_U32) \
    X(SetValue22, IN, kSetValue22, MK_U32)

#define MK_TDE_ARGS_NONE(T) (void)
#define MK_TDE_ARGS_VALUE(T) (T value)
#define MK_TDE_ARGS_OUT(T) (T * pValue)
#define MK_TDE_ARGS_IN(T) (const T* pValue)

#define MK_TDE_DECLARE(name, access, req, T) MK_S32 MK_TDE2_##name MK_TDE_ARGS_##access(T);
MK_TDE_REQUESTS(MK_TDE_DECLARE)
#undef MK_TDE_DECLARE

MK_S32 MK_TDE2_Open(void);
MK_VOID MK_TDE2_Close(void);
// The new job's handle, 0xA0648005 when the driver refuses, or 0xA0648001.
TDE_HANDLE MK_TDE2_BeginJob(void);
// Runs the job's operations; bSync is not used.
MK_S32 MK_TDE2_EndJob(TDE_HANDLE s32Handle, MK_BOOL bSync, MK_BOOL bBlock, MK_U32 u32TimeOut);
MK_S32 MK_TDE2_CancelJob(TDE_HANDLE s32Handle);

// The second source over the first, counted by the options' global alpha, into the destination.
MK_S32 MK_TDE2_TwoSourceBlit(TDE_HANDLE s32Handle, const TDE2_SURFACE_S* pstSrc1, const TDE2_RECT_S* pstSrc1Rect,
                             const TDE2_SURFACE_S* pstSrc2, const TDE2_RECT_S* pstSrc2Rect,
                             const TDE2_SURFACE_S* pstDst, const TDE2_RECT_S* pstDstRect, const TDE2_OPT_S* pstOpt);
// The source over the destination as the two-source operation draws it over the destination itself;
// a job holding one that carries a parameter, or any operation the engine defines no drawing for, is
// refused when it ends (0xA0648008).
MK_S32 MK_TDE2_ParamBlit(TDE_HANDLE s32Handle, const TDE2_SURFACE_S* pstSrc, const TDE2_RECT_S* pstSrcRect,
                         const TDE2_SURFACE_S* pstDst, const TDE2_RECT_S* pstDstRect, const TDE2_PARAM_S* pstParam,
                         const TDE2_OPT_S* pstOpt);
// A copy.
MK_S32 MK_TDE2_SimpleBlit4(TDE_HANDLE s32Handle, const TDE2_SURFACE_S* pstSrc, const TDE2_RECT_S* pstSrcRect,
                           const TDE2_SURFACE_S* pstDst, const TDE2_RECT_S* pstDstRect);
// The source rectangle scaled to the destination's, nearest pixel.
MK_S32 MK_TDE2_SimpleBlit5(TDE_HANDLE s32Handle, const TDE2_SURFACE_S* pstSrc, const TDE2_RECT_S* pstSrcRect,
                           const TDE2_SURFACE_S* pstDst, const TDE2_RECT_S* pstDstRect);
MK_S32 MK_TDE2_SimpleBlit7(TDE_HANDLE s32Handle, const TDE2_SURFACE_S* pstSrc, const TDE2_RECT_S* pstSrcRect,
                           const TDE2_SURFACE_S* pstDst, const TDE2_RECT_S* pstDstRect);
// Fills the rectangle with one pixel value in the surface's format.
MK_S32 MK_TDE2_Bitblit(TDE_HANDLE s32Handle, const TDE2_SURFACE_S* pstDst, const TDE2_RECT_S* pstDstRect,
                       MK_U32 u32FillData);
MK_S32 MK_TDE2_SpecialSourceBlit(TDE_HANDLE s32Handle, const TDE2_SPECIAL_SRC_S* pstSrc, const TDE2_RECT_S* pstSrcRect,
                                 const TDE2_SURFACE_S* pstDst, const TDE2_RECT_S* pstDstRect,
                                 const TDE2_SPECIAL_OPT_S* pstOpt);
MK_S32 MK_TDE2_FourSurfaceBlit12(TDE_HANDLE s32Handle, const TDE2_SURFACE_S* pstS0, const TDE2_RECT_S* pstR0,
                                 const TDE2_SURFACE_S* pstS1, const TDE2_RECT_S* pstR1, const TDE2_SURFACE_S* pstS2,
                                 const TDE2_RECT_S* pstR2, const TDE2_SURFACE_S* pstS3, const TDE2_RECT_S* pstR3,
                                 MK_U32 u32Word0, MK_U32 u32Word1);
// u32Word1 must be 1.
MK_S32 MK_TDE2_FourSurfaceBlit13(TDE_HANDLE s32Handle, const TDE2_SURFACE_S* pstS0, const TDE2_RECT_S* pstR0,
                                 const TDE2_SURFACE_S* pstS1, const TDE2_RECT_S* pstR1, const TDE2_SURFACE_S* pstS2,
                                 const TDE2_RECT_S* pstR2, const TDE2_SURFACE_S* pstS3, const TDE2_RECT_S* pstR3,
                                 MK_U8 u8Byte, MK_U32 u32Word1);
MK_S32 MK_TDE2_ThreeSurfaceBlit(TDE_HANDLE s32Handle, const TDE2_SURFACE_S* pstS0, const TDE2_RECT_S* pstR0,
                                const TDE2_SURFACE_S* pstS1, const TDE2_RECT_S* pstR1, const TDE2_SURFACE_S* pstS2,
                                const TDE2_RECT_S* pstR2, const TDE2_MBOPT_S* pstOpt);

// Values above 3 give 0xA0648006.
MK_S32 MK_TDE2_SetValue17(MK_U32 u32Value);
// Sent whatever the descriptor holds, open or not.
MK_S32 MK_TDE2_SetValue24(MK_U32 u32Value);

// Queues every entry of the list over its destination as one two-source operation each; on the first
// failure cancels the job and returns that result. The job stays open for the caller to end. -1 for
// a failed job start, a null list or, with entries, a null destination or entry array.
MK_S32 MK_TDE2_SubmitSurfaceList(TDE_HANDLE s32Handle, const TDE2_SURFACE_LIST_S* pstList);
