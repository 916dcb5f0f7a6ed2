// What the decode module's sources share: the picture-size table, the audio output list of the audio
// path, the frame lists and the feeding threads.
#pragma once

#include <atomic>
#include <cstdint>

#include "app/comm/buf_list.h"
#include "app/dec/avdec_state.h"

// The picture sizes of a VDEC channel: the largest its decoder takes, and the stream's current one.
struct AVdecSizeEntry {
    std::atomic<uint32_t> u32MaxW{0};
    std::atomic<uint32_t> u32MaxH{0};
    std::atomic<uint32_t> u32CurW{0};
    std::atomic<uint32_t> u32CurH{0};
};
// Entry `u32Vdec` (below 48).
AVdecSizeEntry& AVdecSizeTable(uint32_t u32Vdec);

// The audio path's output list and whether its output is enabled. Until the audio path sets them
// there is no list and the output is off, as before the audio path is created.
void AVdecSetAudioHooks(BufList* (*pfnOutList)(), bool (*pfnOutEnabled)());
BufList* AVdecAudioOutList();
bool AVdecAudioOutEnabled();
// The split module's display mode (1: the display is busy with playback, and the feeding threads
// send frames as they come instead of pacing them). Until it is set the mode reads 0.
void AVdecSetDisplayModeHook(int32_t (*pfnDisplayMode)());

// Frees the decode-block record's frame list and zeroes its ring's bytes in use, read and write
// offsets, under the record's mutex.
void AVdecFreeFrameList(uint32_t u32Chn);
// The same with the record's mutex held by the caller.
void AVdecFreeFrameListLocked(uint32_t u32Chn);

// The feeding thread of decode channel `u32Chn` (started once per channel for the process).
void* send_thread_multi(void* pRecord);
// Starts it unless it runs: 0, or -1.
int AVdecStartFeeding(uint32_t u32Chn);
// Stops and joins every feeding thread (tests; the program never stops them).
void AVdecStopFeeding();

// The decode channels the playback commands take: 0 .. total - 1, and below 48.
bool AVdecChnValid(uint32_t u32Chn);
// A digital channel: HVR_PLAY_DECODE_NUM .. HVR_PLAY_DECODE_NUM + digital count - 1.
bool AVdecDigitalChn(uint32_t u32Chn);
// The record of channel u32Chn in pBlock was sent (playback block) or made (decode block): its enabled
// flag is set. Else one line naming pszCmd, and false: the zeros of a record never sent name decoder,
// display channel and processing group 0, another channel's.
bool AVdecRecEnabled(const AVdecState* pBlock, uint32_t u32Chn, const char* pszCmd);
