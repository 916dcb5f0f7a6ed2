// The audio decoder driver's interface (/dev/adec, request type 'H'): the driver only learns of the
// channels and takes their statistics; decoding runs in user space. The attribute carries a user
// address, so it keeps the host's native layout and its request number is built from its sizeof.
#pragma once

#include <sys/ioctl.h>

#include "sdk/common/mk_type.h"

#define ADEC_MAX_CHN_NUM 32
#define ADEC_MAX_DECODER_NUM 20
#define ADEC_MAX_PAYLOAD_TYPE 1004

typedef enum : MK_U32 {
    ADEC_MODE_PACK = 0,    // every send carries whole frames, decoded at once
    ADEC_MODE_STREAM = 1,  // sends append bytes; a thread decodes whole frames as they complete
    ADEC_MODE_BUTT,
} ADEC_MODE_E;

// A channel's attribute. pValue points at the codec's own attribute (AUDIO_ATTR_ADPCM_S for ADPCM,
// AUDIO_ATTR_G726_S for G.726) and is required for every codec.
typedef struct {
    MK_U32 enType;      // payload type
    MK_U32 u32BufSize;  // frame slots, 2 to 300
    ADEC_MODE_E enMode;
    MK_VOID* pValue;
} ADEC_CHN_ATTR_S;

// A channel's statistics for the driver's status display.
typedef struct {
    MK_U32 u32RecvPackets;
    MK_U32 u32DecFrames;
    MK_U32 u32GetFrames;
    MK_U32 u32ReleaseFrames;
    MK_U32 u32G726Bps;    // rate code of a G.726 channel, else 8
    MK_U32 u32AdpcmType;  // ADPCM type of an ADPCM channel, else 3
    MK_U32 u32Mode;       // 1 stream mode, 0 pack mode
} ADEC_DBG_INFO_S;
static_assert(sizeof(ADEC_DBG_INFO_S) == 28);

#define MK_ADEC_IOC_BIND _IOW('H', 0, MK_U32)
#define MK_ADEC_IOC_CREATE_CHN _IOW('H', 1, ADEC_CHN_ATTR_S)
#define MK_ADEC_IOC_DESTROY_CHN _IO('H', 2)
#define MK_ADEC_IOC_DBG_INFO _IOW('H', 3, ADEC_DBG_INFO_S)

// Error codes of the audio decoder (module 24).
#define MK_ERR_ADEC_INVALID_CHNID MK_ERR(MK_ID_ADEC, MK_ERR_INVALID_CHNID)
#define MK_ERR_ADEC_ILLEGAL_PARAM MK_ERR(MK_ID_ADEC, MK_ERR_ILLEGAL_PARAM)
#define MK_ERR_ADEC_EXIST MK_ERR(MK_ID_ADEC, MK_ERR_EXIST)
#define MK_ERR_ADEC_UNEXIST MK_ERR(MK_ID_ADEC, MK_ERR_UNEXIST)
#define MK_ERR_ADEC_NULL_PTR MK_ERR(MK_ID_ADEC, MK_ERR_NULL_PTR)
#define MK_ERR_ADEC_NOT_SUPPORT MK_ERR(MK_ID_ADEC, MK_ERR_NOT_SUPPORT)
#define MK_ERR_ADEC_NOT_PERM MK_ERR(MK_ID_ADEC, MK_ERR_NOT_PERM)
#define MK_ERR_ADEC_NOMEM MK_ERR(MK_ID_ADEC, MK_ERR_NOMEM)
#define MK_ERR_ADEC_BUF_EMPTY MK_ERR(MK_ID_ADEC, MK_ERR_BUF_EMPTY)
#define MK_ERR_ADEC_BUF_FULL MK_ERR(MK_ID_ADEC, MK_ERR_BUF_FULL)
#define MK_ERR_ADEC_SYS_NOTREADY MK_ERR(MK_ID_ADEC, MK_ERR_SYS_NOTREADY)
#define MK_ERR_ADEC_DECODER_ERR MK_ERR(MK_ID_ADEC, 0x40)
#define MK_ERR_ADEC_BUF_LACK MK_ERR(MK_ID_ADEC, 0x41)  // a decoder's "less than one frame left"
