// The audio input driver's interface (/dev/ai, request type 'Z'): channel parameter, frame request and
// status records and the request numbers. The frame request carries user addresses, so it keeps the
// host's native layout and its request numbers are built from its sizeof; the other records keep the
// chip's sizes. A descriptor is bound to the channel index device x 20 + channel; requests on a whole
// device go through its channel 0.
#pragma once

#include <sys/ioctl.h>

#include <cstddef>

#include "sdk/common/mk_comm_audio.h"
#include "sdk/common/mk_type.h"

#define AI_DEV_MAX_NUM 3
#define AI_MAX_CHN_NUM 20
#define AI_CHN_INDEX_NUM (AI_DEV_MAX_NUM * AI_MAX_CHN_NUM)
#define MAX_AI_POINT_NUM 2048  // the most points of a resampled frame
#define AI_CACHE_BUF_LEN 4096  // a channel's work buffer: the most bytes a processed track may hold
#define AI_RESMP_BLK_LEN 8192  // a block of a channel's resampling pool
#define AI_RESMP_BLK_NUM 10
#define AI_VQE_DBG_WORDS 80

constexpr MK_S32 AiChnIndex(MK_S32 dev, MK_S32 chn) {
    return dev * AI_MAX_CHN_NUM + chn;
}

typedef struct {
    MK_U32 u32UsrFrmDepth;  // frames the driver keeps for the caller
} AI_CHN_PARAM_S;
static_assert(sizeof(AI_CHN_PARAM_S) == 4);

// Requests 8 (get, the whole record) and 9 (release, the record without its time-out).
typedef struct {
    AUDIO_FRAME_S stFrame;
    AEC_FRAME_S stAecFrm;
    MK_U8 au8Reserved[8];
    MK_S32 s32MilliSec;  // -1 waits without limit, 0 returns at once, else milliseconds
    MK_U32 u32Reserved;
} AI_FRAME_REQ_S;
static_assert(offsetof(AI_FRAME_REQ_S, s32MilliSec) == sizeof(AUDIO_FRAME_RECORD_S));

// Requests 10 and 28: the audio output whose signal is the echo reference.
typedef struct {
    MK_S32 s32AoDev;
    MK_S32 s32AoChn;
} AI_AEC_AO_S;
static_assert(sizeof(AI_AEC_AO_S) == 8);

// Request 18: a channel's resampling for the driver's status display.
typedef struct {
    MK_U32 bReSmpEnable;
    MK_U32 u32InPointNum;
    MK_U32 enInSampleRate;
    MK_U32 enOutSampleRate;
} AI_RESMP_DBG_S;
static_assert(sizeof(AI_RESMP_DBG_S) == 16);

// Request 19: a channel's processing for the status display, word by word: word 0 processing on, then
// the engine configuration's words with the rate and channel words cleared.
typedef struct {
    MK_U32 au32Word[AI_VQE_DBG_WORDS];
} AI_VQE_DBG_S;
static_assert(sizeof(AI_VQE_DBG_S) == 320);

#define AI_VQE_DBG_OFF_RATE 48001  // the work-rate word of a channel without processing

#define MK_AI_IOC_BIND _IOW('Z', 0, MK_U32)
#define MK_AI_IOC_SET_PUBATTR _IOW('Z', 1, AIO_ATTR_S)
#define MK_AI_IOC_GET_PUBATTR _IOR('Z', 2, AIO_ATTR_S)
#define MK_AI_IOC_ENABLE _IO('Z', 3)
#define MK_AI_IOC_DISABLE _IO('Z', 4)
#define MK_AI_IOC_GET_POOL _IOR('Z', 5, MK_U32)
#define MK_AI_IOC_GET_CHN_PARAM _IOR('Z', 6, AI_CHN_PARAM_S)
#define MK_AI_IOC_SET_CHN_PARAM _IOW('Z', 7, AI_CHN_PARAM_S)
#define MK_AI_IOC_GET_FRAME _IOWR('Z', 8, AI_FRAME_REQ_S)
#define MK_AI_IOC_RELEASE_FRAME _IOW('Z', 9, AUDIO_FRAME_RECORD_S)
#define MK_AI_IOC_AEC_ON _IOW('Z', 10, AI_AEC_AO_S)
#define MK_AI_IOC_AEC_OFF _IO('Z', 11)
#define MK_AI_IOC_ENABLE_CHN _IO('Z', 12)
#define MK_AI_IOC_DISABLE_CHN _IO('Z', 13)
#define MK_AI_IOC_RESMP_DBG _IOW('Z', 18, AI_RESMP_DBG_S)
#define MK_AI_IOC_VQE_DBG _IOW('Z', 19, AI_VQE_DBG_S)
#define MK_AI_IOC_VQE_VOLUME _IOW('Z', 20, MK_S32)
#define MK_AI_IOC_SET_TRACK_MODE _IOW('Z', 21, MK_U32)
#define MK_AI_IOC_GET_TRACK_MODE _IOR('Z', 22, MK_U32)
#define MK_AI_IOC_SET_CLKDIR _IOW('Z', 23, MK_U32)
#define MK_AI_IOC_GET_CLKDIR _IOR('Z', 24, MK_U32)
#define MK_AI_IOC_CLR_PUBATTR _IO('Z', 25)
#define MK_AI_IOC_SET_DUMP _IOW('Z', 26, AUDIO_SAVE_FILE_INFO_S)
#define MK_AI_IOC_GET_DUMP _IOR('Z', 27, AUDIO_SAVE_FILE_INFO_S)
#define MK_AI_IOC_REF_FRAME_ON _IOW('Z', 28, AI_AEC_AO_S)
#define MK_AI_IOC_REF_FRAME_OFF _IO('Z', 29)

// Error codes of audio input (module 21).
#define MK_ERR_AI_INVALID_DEVID MK_ERR(MK_ID_AI, MK_ERR_INVALID_DEVID)
#define MK_ERR_AI_INVALID_CHNID MK_ERR(MK_ID_AI, MK_ERR_INVALID_CHNID)
#define MK_ERR_AI_ILLEGAL_PARAM MK_ERR(MK_ID_AI, MK_ERR_ILLEGAL_PARAM)
#define MK_ERR_AI_NOT_ENABLED MK_ERR(MK_ID_AI, MK_ERR_UNEXIST)
#define MK_ERR_AI_NULL_PTR MK_ERR(MK_ID_AI, MK_ERR_NULL_PTR)
#define MK_ERR_AI_NOT_CONFIG MK_ERR(MK_ID_AI, MK_ERR_NOT_CONFIG)
#define MK_ERR_AI_NOT_SUPPORT MK_ERR(MK_ID_AI, MK_ERR_NOT_SUPPORT)
#define MK_ERR_AI_NOT_PERM MK_ERR(MK_ID_AI, MK_ERR_NOT_PERM)
#define MK_ERR_AI_NOMEM MK_ERR(MK_ID_AI, MK_ERR_NOMEM)
#define MK_ERR_AI_BUF_EMPTY MK_ERR(MK_ID_AI, MK_ERR_BUF_EMPTY)
#define MK_ERR_AI_SYS_NOTREADY MK_ERR(MK_ID_AI, MK_ERR_SYS_NOTREADY)
#define MK_ERR_AI_BUSY MK_ERR(MK_ID_AI, MK_ERR_BUSY)
#define MK_ERR_AI_VQE_ERR MK_ERR(MK_ID_AI, 0x41)
