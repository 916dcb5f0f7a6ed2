// HDMI output, the records and requests of /dev/hdmi (magic 'h'). One output, id 0, to which the bind
// request ties a descriptor. The driver owns the meaning of the mode word, the attribute, capability,
// info-frame and CEC records and the event codes; the module only carries them.
#pragma once

#include <sys/ioctl.h>

#include <cstddef>

#include "sdk/common/mk_type.h"

typedef MK_U32 HDMI_ID_E;
#define HDMI_ID_0 0

// What the sink can take, as the driver reads it from the sink.
typedef struct {
    MK_U32 bConnected;  // a sink is on the cable
    MK_U32 au32Word[104];
} HDMI_SINK_CAPABILITY_S;
static_assert(sizeof(HDMI_SINK_CAPABILITY_S) == 420);

typedef struct {
    MK_U32 au32Video[6];  // words 0-5
    MK_U32 bEnableAudio;  // word 6
    MK_U32 enSoundIntf;   // word 7: 0 to 2
    MK_U32 u32Word8;
    MK_U32 enSampleRate;  // word 9, in Hz
    MK_U32 au32Rest[11];  // words 10-20
} HDMI_ATTR_S;
static_assert(sizeof(HDMI_ATTR_S) == 84);
static_assert(offsetof(HDMI_ATTR_S, enSoundIntf) == 28);
static_assert(offsetof(HDMI_ATTR_S, enSampleRate) == 36);

enum { HDMI_INFOFRAME_TYPE_AUDIO = 2 };

typedef struct {
    MK_U32 enInfoFrameType;  // the first word
    MK_U32 au32Body[18];
} HDMI_INFOFRAME_S;
static_assert(sizeof(HDMI_INFOFRAME_S) == 76);

typedef struct {
    MK_U32 au32Word[7];
} HDMI_CEC_CMD_S;
static_assert(sizeof(HDMI_CEC_CMD_S) == 28);

typedef struct {
    MK_U32 u32HdmiId;
    HDMI_CEC_CMD_S stCmd;
    MK_U32 u32Value;
} HDMI_CEC_REQ_S;
static_assert(sizeof(HDMI_CEC_REQ_S) == 36);

typedef struct {
    MK_U32 au32Word[7];
} HDMI_CEC_STATUS_S;
static_assert(sizeof(HDMI_CEC_STATUS_S) == 28);

typedef struct {
    MK_U32 bEdidValid;
    MK_U32 u32Edidlength;
    MK_U8 au8Edid[512];
} HDMI_EDID_S;
static_assert(sizeof(HDMI_EDID_S) == 520);

// The colour-space records; no request carries them.
typedef struct {
    MK_U32 au32Word[4];
} HDMI_CSC_S;

// Request records.
typedef struct {
    MK_U32 u32Mode;
    MK_U32 u32CallbackId;  // 0 without a callback; the driver may change it
} HDMI_INIT_REQ_S;
static_assert(sizeof(HDMI_INIT_REQ_S) == 8);

typedef struct {
    MK_U32 u32Reserved;
    MK_U32 u32Event;       // filled by the driver
    MK_U32 u32CallbackId;  // the registration the event belongs to
} HDMI_EVENT_REQ_S;
static_assert(sizeof(HDMI_EVENT_REQ_S) == 12);

typedef struct {
    MK_U32 u32HdmiId;
    MK_U32 enInfoFrameType;
    HDMI_INFOFRAME_S stInfoFrame;
} HDMI_INFOFRAME_REQ_S;
static_assert(sizeof(HDMI_INFOFRAME_REQ_S) == 84);

namespace mk::hdmi {
inline constexpr unsigned long kBind = _IOW('h', 1, MK_U32);
inline constexpr unsigned long kInit = _IOWR('h', 2, HDMI_INIT_REQ_S);
inline constexpr unsigned long kDeInit = _IO('h', 3);
inline constexpr unsigned long kOpen = _IO('h', 4);
inline constexpr unsigned long kClose = _IO('h', 5);
inline constexpr unsigned long kStart = _IO('h', 6);
inline constexpr unsigned long kStop = _IO('h', 7);
inline constexpr unsigned long kGetSinkCapability = _IOWR('h', 8, HDMI_SINK_CAPABILITY_S);
// Takes the oldest event not yet taken; refused when there is none.
inline constexpr unsigned long kPollEvent = _IOWR('h', 9, HDMI_EVENT_REQ_S);
inline constexpr unsigned long kGetAttr = _IOWR('h', 10, HDMI_ATTR_S);
inline constexpr unsigned long kSetAttr = _IOWR('h', 11, HDMI_ATTR_S);
inline constexpr unsigned long kGetInfoFrame = _IOWR('h', 14, HDMI_INFOFRAME_REQ_S);
inline constexpr unsigned long kSetInfoFrame = _IOWR('h', 15, HDMI_INFOFRAME_REQ_S);
inline constexpr unsigned long kSetAVMute = _IOWR('h', 16, MK_U32);
inline constexpr unsigned long kRequest17 = _IOWR('h', 17, MK_U32);
inline constexpr unsigned long kGetDeepColor = _IOWR('h', 18, MK_U32);
inline constexpr unsigned long kSetDeepColor = _IOWR('h', 19, MK_U32);
inline constexpr unsigned long kSetxvYCCMode = _IOWR('h', 20, MK_U32);
inline constexpr unsigned long kSetCECCommand = _IOWR('h', 21, HDMI_CEC_REQ_S);
inline constexpr unsigned long kGetCECCommand = _IOWR('h', 22, HDMI_CEC_REQ_S);
inline constexpr unsigned long kCECStatus = _IOWR('h', 23, HDMI_CEC_STATUS_S);
inline constexpr unsigned long kRequest24 = _IOWR('h', 24, MK_U32);
inline constexpr unsigned long kForceGetEDID = _IOWR('h', 25, HDMI_EDID_S);
inline constexpr unsigned long kPlayStus = _IOWR('h', 26, MK_U32);
inline constexpr unsigned long kCECEnable = _IO('h', 27);
inline constexpr unsigned long kCECDisable = _IO('h', 28);
inline constexpr unsigned long kSetParam = _IOWR('h', 29, MK_U32);
inline constexpr unsigned long kGetParam = _IOWR('h', 30, MK_U32);
}  // namespace mk::hdmi

#define MK_ERR_HDMI_INVALID_ID MK_ERR(MK_ID_HDMI, 0x02)
#define MK_ERR_HDMI_NULL_PTR MK_ERR(MK_ID_HDMI, 0x03)
#define MK_ERR_HDMI_NOT_OPEN MK_ERR(MK_ID_HDMI, 0x04)
#define MK_ERR_HDMI_NOT_PERM MK_ERR(MK_ID_HDMI, MK_ERR_NOT_PERM)
#define MK_ERR_HDMI_CSC MK_ERR(MK_ID_HDMI, 0x0A)
#define MK_ERR_HDMI_NO_EVENT MK_ERR(MK_ID_HDMI, MK_ERR_BUF_EMPTY)
