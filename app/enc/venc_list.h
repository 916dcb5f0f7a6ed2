// The capture lists of the capture module and what reads and writes them besides the JPEG
// snapshots: the list reader CaptureGetBuffer, the H.264 list thread VencGetStream, the audio list
// thread AencGetStream and the capability report CaptureGetDspInfoV2. No command of this program
// reaches them; the JPEG snapshot thread (venc_snap.h) is the live writer.
//
// Lists: 2c (main) and 2c + 1 (sub) for the streams of channels c below the channel end, then
// 2 x channel end + c for the JPEG pictures of channel number c (capture channels, then decode
// channels numbered VDEC channel + channel end). Each list has a mutex that its writer holds per frame
// and the reader while it takes a node.
#pragma once

#include <cstdint>

#include "app/comm/cap_list.h"
#include "app/enc/capture_state.h"

#define CAPTURE_LIST_MAX (3 * CAPTURE_CHN_NUM + 48)

// Lists in use: 3 x channel end + decoder channels, at most CAPTURE_LIST_MAX.
uint32_t CaptureListCount();
// List u32Index, null past the count.
CapList* CaptureGetList(uint32_t u32Index);
// The list's mutex: 0, or the pthread error (-1 past the count).
int CaptureListLock(uint32_t u32Index);
int CaptureListUnlock(uint32_t u32Index);
// The JPEG list of channel number s32Chn, -1 when there is none.
int32_t CaptureJpegListOf(int32_t s32Chn);
// Frees every node of every list (not the buffers, which are the allocation hook's) (tests).
void CaptureListsClear();

// A node handed out by CaptureGetBuffer: its packet table and its buffer (start, bytes written,
// capacity). The buffer is the caller's from then on.
struct CaptureBufferS {
    CapPacketSlot astSlot[CAP_NODE_SLOTS];
    uint32_t u32SlotCnt;
    uint8_t* pu8Data;
    uint32_t u32Used;
    uint32_t u32Capacity;
};
// The oldest complete node of the next list that has one, cycling from the list after the last one
// served: a node the writer has moved on from, or on a sub-stream list one that holds more than one
// frame. Channel and type are list / 2 and list % 2 for stream lists, else list - 2 x channel end and 4.
// 0; -1 for a null argument or when no list has a complete node.
int CaptureGetBuffer(int32_t* ps32Channel, uint32_t* pu32Type, CaptureBufferS* pstMemory);

// One pass of the H.264 list thread over the receiving streams of this chip's channels, under the
// capture lock: each waiting frame is fetched and, when the stream is enabled and its list is below
// 32 MiB and 4096 frames shared out among the streams, stored; then released. Frames stored, or -1
// when a fetch or a release failed (the pass ends there).
int VencGetStreamPass();
// The thread (VencGetStream) started and stopped (joined).
int VencGetStreamStart();
void VencGetStreamStop();

// One pass of the audio list thread of capture channel s32Chn on audio encoder channel s32Chn: waits up
// to s32WaitMs for a packet and stores it in the list of each stream that is receiving with audio
// enabled, in a channel whose capture is started, while that list is below 8 MiB and 1024 frames shared
// out among the streams. 1 stored or passed over, 0 time-out, -1 when the encoder refused the fetch
// (the thread ends).
int AencGetStreamPass(int32_t s32Chn, int32_t s32WaitMs);
int AencGetStreamStart(int32_t s32Chn);
void AencGetStreamStopAll();

// The capability report.
struct CAPTURE_DSP_CHN_S {
    uint32_t u32MainSizes;  // bit n: picture-size code n is supported on the main stream
    uint32_t u32SubSizes;
    uint32_t u32MainMaxFps;
    uint32_t u32SubMaxFps;
};
struct CAPTURE_DSP_INFO_S {
    uint32_t u32StreamNum;    // encoder streams of this chip (2 per channel)
    uint32_t u32ChnNum;       // capture channels of this chip
    uint32_t u32Flags;        // CAPTURE_DSP_JPEG when JPEG is enabled
    uint32_t u32EncPower;     // main-stream pixels a second over all channels
    CAPTURE_DSP_CHN_S astChn[CAPTURE_CHN_NUM];  // by channel - first channel
};
#define CAPTURE_DSP_JPEG 1u
// Fills the record from a cache built at the first call (later set-ups are not seen). 0, or -1 for
// a null record.
int CaptureGetDspInfoV2(CAPTURE_DSP_INFO_S* pstDspInfo);
// Forgets the cache (tests).
void CaptureDspInfoReset();
