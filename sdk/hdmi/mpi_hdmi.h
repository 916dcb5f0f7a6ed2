// HDMI: output 0 over /dev/hdmi, one descriptor bound to it on first use. Init registers an optional
// event callback, which a poll thread calls with each event of the open output; the output is opened,
// started, stopped and closed here and its records are read and written through the driver. Calls that
// talk to the output need it open (else "HDMI not open!" and 0xA0288004); requests to the open output
// are serialised by one mutex that lives as long as the process.
#pragma once

#include "sdk/hdmi/hdmi_ioctl.h"

typedef MK_VOID (*HDMI_CALLBACK)(MK_U32 u32Event, MK_VOID* pPrivateData);

typedef struct {
    HDMI_CALLBACK pfnHdmiEventCallback;  // null: no poll thread
    MK_VOID* pPrivateData;
    MK_U32 u32Mode;  // passed to the driver
} HDMI_INIT_PARA_S;

// The one-request members, one line each: name, checks in order (NID: null, id, open flag; IDN: id,
// null, open flag; VALUE: id, open flag, a word passed by address; BARE: open flag, a word; NONE: id,
// open flag), request, argument type.
#define MK_HDMI_REQUESTS(X)                                  \
    X(GetAttr, NID, kGetAttr, HDMI_ATTR_S)                   \
    X(SetAttr, IDN, kSetAttr, const HDMI_ATTR_S)             \
    X(SetAVMute, VALUE, kSetAVMute, MK_U32)                  \
    X(Request17, BARE, kRequest17, MK_U32)                   \
    X(GetDeepColor, NID, kGetDeepColor, MK_U32)              \
    X(SetDeepColor, VALUE, kSetDeepColor, MK_U32)            \
    X(SetxvYCCMode, VALUE, kSetxvYCCMode, MK_U32)            \
    X(SetCECCommand, NID, kSetCECCommand, const HDMI_CEC_REQ_S) \
    X(CECStatus, NID, kCECStatus, HDMI_CEC_STATUS_S)         \
    X(Request24, BARE, kRequest24, MK_U32)                   \
    X(CEC_Enable, NONE, kCECEnable, void)                    \
    X(CEC_Disable, NONE, kCECDisable, void)                  \
    X(SetParam, IDN, kSetParam, MK_U32)                      \
    X(GetParam, IDN, kGetParam, MK_U32)

#define MK_HDMI_ARGS_NID(T) (HDMI_ID_E enHdmi, T* pstRecord)
#define MK_HDMI_ARGS_IDN(T) (HDMI_ID_E enHdmi, T* pstRecord)
#define MK_HDMI_ARGS_VALUE(T) (HDMI_ID_E enHdmi, T value)
#define MK_HDMI_ARGS_BARE(T) (T value)
#define MK_HDMI_ARGS_NONE(T) (HDMI_ID_E enHdmi)

#define MK_HDMI_DECLARE(name, checks, req, T) MK_S32 MK_MPI_HDMI_##name MK_HDMI_ARGS_##checks(T);
MK_HDMI_REQUESTS(MK_HDMI_DECLARE)
#undef MK_HDMI_DECLARE

// Registers the callback (if any) and starts its poll thread; a second call does nothing. A refused
// init request returns the driver's code and leaves the module uninitialised; so does a poll thread
// that cannot start (-1, the driver's init undone).
MK_S32 MK_MPI_HDMI_Init(const HDMI_INIT_PARA_S* pstHdmiPara);
// Stops the poll thread, closes the descriptor and forgets the output's state; 0 whatever the driver says.
MK_S32 MK_MPI_HDMI_DeInit(void);
MK_S32 MK_MPI_HDMI_Open(HDMI_ID_E enHdmi);
MK_S32 MK_MPI_HDMI_Close(HDMI_ID_E enHdmi);
MK_S32 MK_MPI_HDMI_Start(HDMI_ID_E enHdmi);
MK_S32 MK_MPI_HDMI_Stop(HDMI_ID_E enHdmi);
// A refused request leaves the record all zeros.
MK_S32 MK_MPI_HDMI_GetSinkCapability(HDMI_ID_E enHdmi, HDMI_SINK_CAPABILITY_S* pstSinkCap);
MK_S32 MK_MPI_HDMI_GetInfoFrame(HDMI_ID_E enHdmi, MK_U32 enInfoFrameType, HDMI_INFOFRAME_S* pstInfoFrame);
MK_S32 MK_MPI_HDMI_SetInfoFrame(HDMI_ID_E enHdmi, const HDMI_INFOFRAME_S* pstInfoFrame);
MK_S32 MK_MPI_HDMI_GetCECCommand(HDMI_ID_E enHdmi, HDMI_CEC_CMD_S* pstCECCmd, MK_U32 u32Value);
// The record is zeroed before the request.
MK_S32 MK_MPI_HDMI_Force_GetEDID(HDMI_ID_E enHdmi, HDMI_EDID_S* pstEdidData);
MK_S32 MK_MPI_HDMI_PlayStus(HDMI_ID_E enHdmi, MK_U32* pu32Stus);
// Not supported: 0xA028800A for a record, 0xA0288003 for none.
MK_S32 MK_MPI_HDMI_SetCsc(HDMI_ID_E enHdmi, const HDMI_CSC_S* pstCsc);
MK_S32 MK_MPI_HDMI_GetCsc(HDMI_ID_E enHdmi, HDMI_CSC_S* pstCsc);
// Sets the audio interface (0 to 2) and sample rate, with the audio info frame; -1 for values out of
// range; a failed read of the attributes returns its code.
MK_S32 MK_MPI_HDMI_AudioChange(HDMI_ID_E enHdmi, MK_U32 enSoundIntf, MK_U32 enSampleRate);
