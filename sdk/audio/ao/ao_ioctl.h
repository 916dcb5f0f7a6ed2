// The audio output driver's interface (/dev/ao, request type 'X'): its records and request numbers.
// The send record holds user addresses, so it keeps the host's native layout and its request number
// is built from its sizeof; the other records keep the chip's sizes.
#pragma once

#include <sys/ioctl.h>

#include <cstddef>

#include "sdk/audio/vqe/vqe_config.h"
#include "sdk/common/mk_comm_audio.h"
#include "sdk/common/mk_type.h"

#define AO_DEV_MAX_NUM 3
#define AO_MAX_CHN_NUM 20
#define AO_CHN_INDEX_NUM (AO_DEV_MAX_NUM * AO_MAX_CHN_NUM)
#define AO_MAX_FRAME_BYTES 16384  // the largest device frame of one track
#define MAX_AO_POINT_NUM 4096     // the most points one sent frame may carry

// A channel's place in the driver: device x 20 + channel.
constexpr MK_S32 AoChnIndex(MK_S32 dev, MK_S32 chn) { return dev * AO_MAX_CHN_NUM + chn; }

// The channel state the driver reports: its frame queue's size, free and used slots.
typedef struct {
    MK_U32 u32ChnTotalNum;
    MK_U32 u32ChnFreeNum;
    MK_U32 u32ChnBusyNum;
} AO_CHN_STATE_S;
static_assert(sizeof(AO_CHN_STATE_S) == 12);

// Fading when the device is muted or unmuted; passed through to the driver.
typedef struct {
    MK_BOOL bFade;
    MK_U32 enFadeInRate;
    MK_U32 enFadeOutRate;
} AUDIO_FADE_S;
static_assert(sizeof(AUDIO_FADE_S) == 12);

typedef struct {
    MK_BOOL bEnable;
    AUDIO_FADE_S stFade;
} AO_MUTE_S;
static_assert(sizeof(AO_MUTE_S) == 16);

// A channel's resampling, for the driver's status display.
typedef struct {
    MK_BOOL bReSmpEnable;
    MK_U32 u32PtNumPerFrm;
    MK_U32 enInSampleRate;
    MK_U32 enOutSampleRate;
} AO_RESMP_DBG_S;
static_assert(sizeof(AO_RESMP_DBG_S) == 16);

// A channel's processing, for the driver's status display.
typedef struct {
    MK_BOOL bVqeEnable;
    DNVQE_CONFIG_S stVqeConfig;
} AO_VQE_DBG_S;
static_assert(sizeof(AO_VQE_DBG_S) == 1088);

// The work rate word of the status record of a channel without processing.
#define AO_VQE_DBG_OFF_RATE 48001

// Request 5: one device frame of every track and the caller's time-out in ms (-1 waits until there is
// room, 0 does not wait).
typedef struct {
    AUDIO_FRAME_S stFrame;
    MK_U8 au8Reserved[64];
    MK_S32 s32MilliSec;
    MK_U32 u32Reserved;
} AO_SEND_FRAME_REQ_S;

#define MK_AO_IOC_BIND _IOW('X', 0, MK_U32)
#define MK_AO_IOC_SET_PUBATTR _IOW('X', 1, AIO_ATTR_S)
#define MK_AO_IOC_GET_PUBATTR _IOR('X', 2, AIO_ATTR_S)
#define MK_AO_IOC_ENABLE _IO('X', 3)
#define MK_AO_IOC_DISABLE _IO('X', 4)
#define MK_AO_IOC_SEND_FRAME _IOWR('X', 5, AO_SEND_FRAME_REQ_S)
#define MK_AO_IOC_ENABLE_CHN _IO('X', 6)
#define MK_AO_IOC_DISABLE_CHN _IO('X', 7)
#define MK_AO_IOC_CLEAR_CHN_BUF _IO('X', 0x0C)
#define MK_AO_IOC_QUERY_CHN_STAT _IOR('X', 0x0D, AO_CHN_STATE_S)
#define MK_AO_IOC_RESMP_DBG _IOW('X', 0x0E, AO_RESMP_DBG_S)
#define MK_AO_IOC_VQE_DBG _IOW('X', 0x0F, AO_VQE_DBG_S)
#define MK_AO_IOC_SET_CLKDIR _IOW('X', 0x12, MK_U32)
#define MK_AO_IOC_SET_MUTE _IOW('X', 0x16, AO_MUTE_S)
#define MK_AO_IOC_GET_MUTE _IOWR('X', 0x17, AO_MUTE_S)
#define MK_AO_IOC_SET_DUMP _IOW('X', 0x19, AUDIO_DUMPFILE_CFG_S)
#define MK_AO_IOC_GET_DUMP _IOR('X', 0x1A, AUDIO_DUMPFILE_CFG_S)
#define MK_AO_IOC_CHN_STATE _IOR('X', 0x1B, MK_U32)

// Error codes of audio output (module 22).
#define MK_ERR_AO_INVALID_DEVID MK_ERR(MK_ID_AO, MK_ERR_INVALID_DEVID)
#define MK_ERR_AO_INVALID_CHNID MK_ERR(MK_ID_AO, MK_ERR_INVALID_CHNID)
#define MK_ERR_AO_ILLEGAL_PARAM MK_ERR(MK_ID_AO, MK_ERR_ILLEGAL_PARAM)
#define MK_ERR_AO_NOT_ENABLED MK_ERR(MK_ID_AO, MK_ERR_UNEXIST)
#define MK_ERR_AO_NULL_PTR MK_ERR(MK_ID_AO, MK_ERR_NULL_PTR)
#define MK_ERR_AO_NOT_CONFIG MK_ERR(MK_ID_AO, MK_ERR_NOT_CONFIG)
#define MK_ERR_AO_NOT_SUPPORT MK_ERR(MK_ID_AO, MK_ERR_NOT_SUPPORT)
#define MK_ERR_AO_NOT_PERM MK_ERR(MK_ID_AO, MK_ERR_NOT_PERM)
#define MK_ERR_AO_NOMEM MK_ERR(MK_ID_AO, MK_ERR_NOMEM)
#define MK_ERR_AO_BUF_FULL MK_ERR(MK_ID_AO, MK_ERR_BUF_FULL)
#define MK_ERR_AO_SYS_NOTREADY MK_ERR(MK_ID_AO, MK_ERR_SYS_NOTREADY)
#define MK_ERR_AO_VQE_ERR MK_ERR(MK_ID_AO, 0x41)
