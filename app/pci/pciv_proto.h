// The master link's wire records: fixed-width little-endian layouts shared by the slave and the
// master side. Nothing in them is a host pointer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "app/comm/comm_records.h"
#include "app/pci/pciv_msg.h"

#define PCIV_VDEC_SLOT_NUM 8
#define PCIV_MALLOC_MAX_BLK 16

// Payload of commands 10, 11, 16 and 58 (command 16 adds the decoder channel as a seventh word).
typedef struct {
    uint32_t u32Target;
    uint32_t u32Reserved;
    uint32_t u32BufSize;
    uint32_t u32BufAddr;  // sender: the master's ring (DMA destination); receiver: local physical
    uint32_t u32NoticePort;
    uint32_t u32AckPort;
} PCIV_TRANS_PARAM_S;
static_assert(sizeof(PCIV_TRANS_PARAM_S) == 24);

// Payload of notices (type 18) and acknowledgements (type 19). Offsets from the ring's start, end
// exclusive.
typedef struct {
    uint32_t u32Start;
    uint32_t u32End;
    uint32_t u32Seq;
} PCIV_TRANS_NOTICE_S;
static_assert(sizeof(PCIV_TRANS_NOTICE_S) == 12);

// Command 14 and 57 payload.
typedef struct {
    uint32_t au32Res[2];
    uint32_t u32BlkSize;
    uint32_t u32BlkCnt;
    uint32_t au32PhyAddr[PCIV_MALLOC_MAX_BLK];
} SLAVE_PCIV_MALLOC_S;
static_assert(sizeof(SLAVE_PCIV_MALLOC_S) == 80);

// Command 86 payload: the ports of every further stream and thread.
typedef struct {
    uint32_t u32VencNotice, u32VencAck;
    uint32_t u32JpegNotice, u32JpegAck;
    uint32_t au32VdecNotice[PCIV_VDEC_SLOT_NUM];
    uint32_t au32VdecAck[PCIV_VDEC_SLOT_NUM];
    uint32_t u32TimePort;
    uint32_t u32HeartbeatPort;
    uint32_t u32TitlePort;  // also the OSD slot's notice port
    uint32_t u32OsdAck;
} SLAVE_PORT_MAP_S;
static_assert(sizeof(SLAVE_PORT_MAP_S) == 96);
static_assert(offsetof(SLAVE_PORT_MAP_S, au32VdecAck) == 48 && offsetof(SLAVE_PORT_MAP_S, u32TimePort) == 80);

// Command 0 payload (184 bytes) and command 1 payload (68 bytes).
typedef struct {
    uint32_t u32Res0;
    uint32_t u32PcivChn;
    uint32_t au32Attr[28];  // PCIV_ATTR_S
    uint32_t u32Res30;
    uint32_t u32SrcKind;  // 0 video input, 1 video output, 2 decoder, 3 processing group
    uint32_t u32SrcDev;
    uint32_t u32SrcChn;
    uint32_t au32Res[12];
} SLAVE_PCIV_START_S;
static_assert(sizeof(SLAVE_PCIV_START_S) == 184);
static_assert(offsetof(SLAVE_PCIV_START_S, au32Attr) == 8 && offsetof(SLAVE_PCIV_START_S, u32SrcKind) == 124);

typedef struct {
    uint32_t u32PcivChn;
    uint32_t u32Res1;
    uint32_t u32SrcKind;
    uint32_t u32SrcDev;
    uint32_t u32SrcChn;
    uint32_t au32Res[12];
} SLAVE_PCIV_STOP_S;
static_assert(sizeof(SLAVE_PCIV_STOP_S) == 68);

// Command 46 payload: layer, channel, VO_CHN_ATTR_S (six words), operation (0 get, 1 set).
typedef struct {
    uint32_t u32Layer;
    uint32_t u32Chn;
    uint32_t au32Attr[6];
    uint32_t u32Op;
} SLAVE_VO_CHN_ATTR_S;
static_assert(sizeof(SLAVE_VO_CHN_ATTR_S) == 36);

// Type 54 payload: bit c stands for channel c.
typedef struct {
    uint32_t u32MotionBitmap;
    uint32_t u32BlindBitmap;
} SLAVE_HEARTBEAT_S;
static_assert(sizeof(SLAVE_HEARTBEAT_S) == 8);

// Type 23 payload.
typedef struct {
    int32_t s32Year;   // full year, e.g. 2018
    int32_t s32Month;  // 1 to 12
    int32_t s32Day;
    int32_t s32Weekday;  // 0 Sunday
    int32_t s32Hour;
    int32_t s32Minute;
    int32_t s32Second;
    int32_t s32Res;
} SLAVE_TIME_S;
static_assert(sizeof(SLAVE_TIME_S) == 32);

// The header in front of every fragment in a decoder slot's buffer; `u32Len` data bytes follow it.
// Fields not named are not read.
#define PCIV_FRAG_HEAD_LEN 72u
typedef struct {
    uint32_t au32Res0[8];
    uint32_t u32Chn;  // decoder channel of the frame
    uint32_t u32Res36;
    uint32_t u32Last;  // 1 on the last fragment of a frame
    uint32_t au32Res44[2];
    uint32_t u32Len;
    uint64_t u64Pts;
    uint32_t bEndOfFrame;
    uint32_t bEndOfStream;
} PCIV_VdecFragHead;
static_assert(sizeof(PCIV_VdecFragHead) == PCIV_FRAG_HEAD_LEN);
static_assert(offsetof(PCIV_VdecFragHead, u32Chn) == 32 && offsetof(PCIV_VdecFragHead, u32Last) == 40 &&
              offsetof(PCIV_VdecFragHead, u32Len) == 52 && offsetof(PCIV_VdecFragHead, u64Pts) == 56 &&
              offsetof(PCIV_VdecFragHead, bEndOfFrame) == 64 && offsetof(PCIV_VdecFragHead, bEndOfStream) == 68);

// An OSD title record in the OSD buffer; width x height ARGB1555 pixels follow it. Its last 4 bytes
// held the sender's bitmap pointer: never read, never written.
#define PCIV_OSD_REC_LEN 40u
typedef struct {
    uint32_t u32Chn;     // capture channel
    uint32_t u32Stream;  // 0 main, 1 sub, 4 JPEG
    uint32_t u32Index;   // title slot 0 to 3
    uint32_t u32Show;    // 0 removes the title
    uint16_t u16X;       // on a grid 352 wide
    uint16_t u16Y;       // on a grid 288 (PAL) or 240 (NTSC) high
    uint16_t u16Width;
    uint16_t u16Height;
    uint32_t u32TextColor;
    uint32_t u32BgColor;
    uint32_t u32Res;
    uint32_t u32Bitmap;
} PCIV_OSD_REC_S;
static_assert(sizeof(PCIV_OSD_REC_S) == PCIV_OSD_REC_LEN);
static_assert(offsetof(PCIV_OSD_REC_S, u16X) == 16 && offsetof(PCIV_OSD_REC_S, u32BgColor) == 28 &&
              offsetof(PCIV_OSD_REC_S, u32Bitmap) == 36);
