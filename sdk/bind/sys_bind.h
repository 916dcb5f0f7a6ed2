// The in-process bind table: bindings whose data flows between two modules that both run in user space
// (here audio decoder channels feeding audio output channels). Modules register as the sender or the
// receiver of their module id; a source channel is bound to up to 128 destination channels, and each
// data item the source sends reaches every destination through its receiver's callback, in bind order.
//
// Every operation may be called from any thread. Lock order: the bind mutex before the table mutex.
// Receive callbacks run with no lock held; bind-change and unbind callbacks run under the bind mutex
// and must not call back into the bind operations.
#pragma once

#include "sdk/common/mk_type.h"

#define MK_BIND_DEST_MAXNUM 128

typedef enum {
    MPP_DATA_AUDIO_FRAME = 5,
    MPP_DATA_BUTT = 6,  // data types run 0 to 5
} MPP_DATA_TYPE_E;

// The destinations of one bound source channel.
typedef struct {
    MK_U32 u32Num;
    MPP_CHN_S astMppChn[MK_BIND_DEST_MAXNUM];
} MPP_BIND_DEST_S;
static_assert(sizeof(MPP_BIND_DEST_S) == 4 + 128 * 12);

// Told the source's destinations after each change (module 7 sources only).
typedef MK_S32 (*BIND_CHANGE_FN)(MK_S32 s32DevId, MK_S32 s32ChnId, MPP_BIND_DEST_S* pstBindDest);
// Delivers one data item to a destination channel; the result is ORed into the sender's result.
typedef MK_S32 (*BIND_RECEIVE_FN)(MK_S32 s32DevId, MK_S32 s32ChnId, MK_U32 u32Arg, MPP_DATA_TYPE_E enDataType,
                                  MK_VOID* pvData);
// Told that a destination channel was unbound from a module 5 source.
typedef MK_S32 (*BIND_UNBIND_FN)(MK_S32 s32DevId, MK_S32 s32ChnId);

typedef struct {
    MPP_MOD_ID enModId;
    MK_U32 u32MaxDevCnt;
    MK_U32 u32MaxChnCnt;
    BIND_CHANGE_FN pfnGiveBindCallBack;  // may be null
} BIND_SENDER_INFO_S;

typedef struct {
    MPP_MOD_ID enModId;
    MK_U32 u32MaxDevCnt;
    MK_U32 u32MaxChnCnt;
    BIND_RECEIVE_FN pfnCallBack;       // required
    BIND_UNBIND_FN pfnUnBindCallBack;  // may be null
} BIND_RECEIVER_INFO_S;

// Clears both registries and the source caches; always 0.
MK_S32 SYS_BIND_Init(MK_VOID);
// Frees the source caches; the registries stay (modules unregister in their own exits).
MK_VOID SYS_BIND_Exit(MK_VOID);

// 0; 0xA0028006 null record or callback; 0xA0028003 bad module id or a zero slot count;
// 0xA0028009 already registered in that role; 0xA002800C no memory.
MK_S32 SYS_BIND_RegisterSender(const BIND_SENDER_INFO_S* pstInfo);
MK_S32 SYS_BIND_RegisterReceiver(const BIND_RECEIVER_INFO_S* pstInfo);
// 0; 0xA0028003 bad module id; 0xA0028009 not registered. Unregistering a sender unbinds every
// destination it fed; unregistering a receiver drops its channels from every source's list.
MK_S32 SYS_BIND_UnRegisterSender(MPP_MOD_ID enModId);
MK_S32 SYS_BIND_UnRegisterReceiver(MPP_MOD_ID enModId);

// 0, or 0xA0028006 / 0xA0028003 (channel check) / 0xA0028009 (destination bound, or the source has
// 128 destinations) / 0xA002800C.
MK_S32 SYS_Bind(const MPP_CHN_S* pstSrcChn, const MPP_CHN_S* pstDestChn);
// An unbound destination gives 0. A source other than the destination's gives 0xA0028009 and leaves
// the binding; a null source unbinds whatever feeds the destination.
MK_S32 SYS_UnBind(const MPP_CHN_S* pstSrcChn, const MPP_CHN_S* pstDestChn);
// 0 with the bound source; 0xA0028003 when the destination is not bound.
MK_S32 SYS_GetBindbyDest(const MPP_CHN_S* pstDestChn, MPP_CHN_S* pstSrcChn);
// Normalises the source in place (modules 16 and 5: device 0; module 15: channel 0); 0 with the list
// (count 0 and zeroed for a source never bound); 0xA0028009 when the source fails the channel check.
MK_S32 SYS_GetBindbySrc(MPP_CHN_S* pstSrcChn, MPP_BIND_DEST_S* pstBindDest);
// Delivers one item to every destination of the source; the OR of the receive callbacks' results, or
// 0xA0028009 (bad or unbound source, no destinations), 0xA0028003 (bad data type), 0xA0028006.
MK_S32 SYS_BIND_SendData(MPP_MOD_ID enModId, MK_S32 s32DevId, MK_S32 s32ChnId, MK_U32 u32Arg,
                         MPP_DATA_TYPE_E enDataType, MK_VOID* pvData);
