// Local JPEG snapshots of decode channels: the snapshot encoder of a decode channel (the decode
// branch of JPEGChCreate), its thread JPEGCapStream, which takes pictures from processing channel 3 of
// the channel's group while the decode module's snapshot record asks for them and stores them in the
// channel's capture list, and JPEGCopy2Buf, which stores one picture.
#pragma once

#include <cstdint>

#include "app/comm/cap_list.h"
#include "sdk/venc/venc_ioctl.h"

// The snapshot encoder of decode channel number s32Chn (VDEC channel + channel end), JPEG encoder
// channel veChn: made at 704 x 576, the record filled (idle, 3 attempts) and its thread started. On
// any failure nothing is left behind: no encoder, fd -1. 0 or -1.
int JpegSnapChCreate(int32_t s32Chn, VENC_CHN veChn);

// The interval of a rate code in microseconds: below 128 1 000 000 / code (code 0 as 1), 128 and
// above (256 - code) seconds.
uint64_t JpegSnapIntervalUs(uint32_t u32RateCode);

// Appends one JPEG picture (the stream's packs from their offsets) behind a picture header of the
// info's size to a capture list: header with the frame-start flag, the packs, the last with the
// frame-end flag, one more frame counted in the node. 0, or -1.
int JPEGCopy2Buf(CapStreamInfo* pInfo, CapList* pList, const VENC_STREAM_S* pStream);

// The thread body; pRecord carries the VDEC channel.
void* JPEGCapStream(void* pRecord);
// Whether the thread of VDEC channel u32Vdec runs.
bool JpegSnapRunning(uint32_t u32Vdec);
// Stops and joins every snapshot thread; their encoders stay (module teardown, tests). The number of
// threads that ran.
uint32_t JpegSnapStopAll();
