// The audio encoder driver's interface (/dev/aenc, request type 'A'): the channel attribute, the stream
// buffer shared with the driver, the packet, debug and dump records and the request numbers. Records
// that carry a user address (the attribute, the frame, the packet, the kernel-encode question) keep the
// host's native layout and their request numbers are built from their sizeof; the others keep the
// chip's sizes.
#pragma once

#include <sys/ioctl.h>

#include <cstddef>

#include "sdk/common/mk_comm_audio.h"
#include "sdk/common/mk_type.h"

#define AENC_MAX_CHN_NUM 49
#define AENC_MAX_ENCODER_NUM 20
#define AENC_MAX_PAYLOAD_TYPE 1004  // payload types run below this

// A channel's attribute. pValue points at the codec's own attribute (AUDIO_ATTR_ADPCM_S for ADPCM,
// AUDIO_ATTR_G726_S for G.726) and is required for every codec.
typedef struct {
    MK_U32 enType;          // payload type
    MK_U32 u32PtNumPerFrm;  // sample points per frame
    MK_U32 u32BufSize;      // packet slots of the stream buffer, 2 to 300
    MK_VOID* pValue;
} AENC_CHN_ATTR_S;

// Starts every packet slot of the stream buffer.
typedef struct {
    MK_U64 u64TimeStamp;  // of the frame encoded
    MK_U32 u32Len;        // bytes of encoded data behind this header
    MK_U32 u32Seq;        // the channel's packet count, from 0
} AENC_STREAM_HEADER_S;
static_assert(sizeof(AENC_STREAM_HEADER_S) == 16);

// The stream buffer: a ring header, then u32BufSize slots of u32CbPackLen bytes. Header words hold
// 32-bit values; the four positions are byte offsets into the data area, multiples of the slot length,
// each in a line of its own. Words 0x04 to 0x14 hold offsets from the block's start.
#define AENC_RING_HEAD_LEN 208
#define AENC_RING_DATA_PHYS 0x00  // physical address of the data area
#define AENC_RING_RDHEAD_AT 0x04  // offset of the read-head word
#define AENC_RING_RDTAIL_AT 0x08
#define AENC_RING_WRHEAD_AT 0x0C
#define AENC_RING_WRTAIL_AT 0x10
#define AENC_RING_DATA_AT 0x14  // offset of the data area
#define AENC_RING_DATA_LEN 0x18
#define AENC_RING_SLOT_LEN 0x1C
#define AENC_RING_RDHEAD 0x20  // next slot handed to the caller
#define AENC_RING_RDTAIL 0x40  // oldest slot not yet given back
#define AENC_RING_WRHEAD 0x80  // next slot the encoder writes
#define AENC_RING_WRTAIL 0xC0  // end of what the driver was told of

// Request 7: the stream buffer as the driver sees it.
typedef struct {
    MK_U32 u32PhyAddr;    // the block, ring header first
    MK_U32 u32CbPackLen;  // slot length
    MK_U32 u32DataLen;    // slots x slot length
    MK_U32 u32HeadLen;    // AENC_RING_HEAD_LEN
} AENC_STREAM_BUF_S;
static_assert(sizeof(AENC_STREAM_BUF_S) == 16);

// Request 5: the caller's time-out in, the packet out.
typedef struct {
    MK_S32 s32MilliSec;  // -1 waits without limit, 0 returns at once
    MK_U32 au32Reserved0[2];
    MK_U32 u32PhyAddr;  // of the encoded data, behind the slot's header
    MK_U32 u32Len;
    MK_U32 u32Reserved1;
    MK_U64 u64TimeStamp;
    MK_U32 u32Seq;
    MK_U32 u32Reserved2;
} AENC_GET_STREAM_S;
static_assert(sizeof(AENC_GET_STREAM_S) == 40);
static_assert(offsetof(AENC_GET_STREAM_S, u32PhyAddr) == 12);
static_assert(offsetof(AENC_GET_STREAM_S, u64TimeStamp) == 24);
static_assert(offsetof(AENC_GET_STREAM_S, u32Seq) == 32);

// Request 11: whether the driver encodes a payload type itself.
typedef struct {
    MK_U32 enType;
    MK_U32 u32Unset;  // left as it happens to be
    MK_U32 u32BufSize;
    MK_VOID* pValue;
    MK_U32 bKernelEncode;  // the answer: 1 when the driver encodes
} AENC_KERNEL_QUERY_S;

// A channel's statistics for the driver's status display.
typedef struct {
    MK_U32 u32RecvFrames;
    MK_U32 u32SendPackets;
    MK_U32 u32Failures;  // bad frames, frames too long, encoder failures
    MK_U32 u32BufFull;
    MK_U32 au32Reserved[2];
    MK_U32 u32G726Bps;    // rate code of a G.726 channel, else 8
    MK_U32 u32AdpcmType;  // ADPCM type of an ADPCM channel, else 3
} AENC_DBG_INFO_S;
static_assert(sizeof(AENC_DBG_INFO_S) == 32);

#define MK_AENC_IOC_CREATE_CHN _IOW('A', 0, AENC_CHN_ATTR_S)
#define MK_AENC_IOC_DESTROY_CHN _IO('A', 1)
#define MK_AENC_IOC_GET_FRAME _IOR('A', 2, AUDIO_FRAME_RECORD_S)
#define MK_AENC_IOC_RELEASE_FRAME _IOW('A', 3, AUDIO_FRAME_RECORD_S)
#define MK_AENC_IOC_DBG_INFO _IOW('A', 4, AENC_DBG_INFO_S)
#define MK_AENC_IOC_GET_STREAM _IOWR('A', 5, AENC_GET_STREAM_S)
#define MK_AENC_IOC_RELEASE_STREAM _IOW('A', 6, AUDIO_STREAM_S)
#define MK_AENC_IOC_SET_STREAM_BUF _IOW('A', 7, AENC_STREAM_BUF_S)
#define MK_AENC_IOC_RELEASE_STREAM_BUF _IO('A', 8)
#define MK_AENC_IOC_BIND _IOW('A', 9, MK_U32)
#define MK_AENC_IOC_KERNEL_ENCODE _IOW('A', 10, AUDIO_FRAME_S)
#define MK_AENC_IOC_QUERY_KERNEL _IOWR('A', 11, AENC_KERNEL_QUERY_S)
#define MK_AENC_IOC_UPDATE_WRTAIL _IOW('A', 12, MK_U32)
#define MK_AENC_IOC_NEW_PACKET _IO('A', 13)
#define MK_AENC_IOC_SET_DUMP _IOW('A', 14, AUDIO_DUMPFILE_CFG_S)
#define MK_AENC_IOC_GET_DUMP _IOR('A', 15, AUDIO_DUMPFILE_CFG_S)

// Error codes of the audio encoder (module 23).
#define MK_ERR_AENC_INVALID_CHNID MK_ERR(MK_ID_AENC, MK_ERR_INVALID_CHNID)
#define MK_ERR_AENC_ILLEGAL_PARAM MK_ERR(MK_ID_AENC, MK_ERR_ILLEGAL_PARAM)
#define MK_ERR_AENC_EXIST MK_ERR(MK_ID_AENC, MK_ERR_EXIST)
#define MK_ERR_AENC_UNEXIST MK_ERR(MK_ID_AENC, MK_ERR_UNEXIST)
#define MK_ERR_AENC_NULL_PTR MK_ERR(MK_ID_AENC, MK_ERR_NULL_PTR)
#define MK_ERR_AENC_NOT_SUPPORT MK_ERR(MK_ID_AENC, MK_ERR_NOT_SUPPORT)
#define MK_ERR_AENC_NOT_PERM MK_ERR(MK_ID_AENC, MK_ERR_NOT_PERM)
#define MK_ERR_AENC_NOMEM MK_ERR(MK_ID_AENC, MK_ERR_NOMEM)
#define MK_ERR_AENC_BUF_EMPTY MK_ERR(MK_ID_AENC, MK_ERR_BUF_EMPTY)
#define MK_ERR_AENC_BUF_FULL MK_ERR(MK_ID_AENC, MK_ERR_BUF_FULL)
#define MK_ERR_AENC_SYS_NOTREADY MK_ERR(MK_ID_AENC, MK_ERR_SYS_NOTREADY)
#define MK_ERR_AENC_ENCODER_ERR MK_ERR(MK_ID_AENC, 0x40)
#define MK_ERR_AENC_VQE_ERR MK_ERR(MK_ID_AENC, 0x41)
