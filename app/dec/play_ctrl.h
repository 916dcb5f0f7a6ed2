// The master's playback commands (none is answered). Each acts on the channel's record in the
// playback block, on the chip's decoder, processing and display channels, and for the frame lists on
// the channel's record in the decode block. Commands 69 to 74 return -1, doing nothing, for a channel
// outside 0 .. total decode channels - 1. Command loop only.
#pragma once

#include <cstdint>

int32_t PlaySetDirection(uint32_t u32Chn, uint32_t u32Direction);  // 69: 0 forward, 1 backward
int32_t PlayStart(uint32_t u32Chn);                                // 70
int32_t PlayStop(uint32_t u32Chn);                                 // 71
int32_t PlayResume(uint32_t u32Chn);                               // 72
int32_t PlayFlush(uint32_t u32Chn);                                // 73
int32_t PlayPause(uint32_t u32Chn, uint32_t u32StillShow);         // 74

// Registers 69 to 74 (from AVdecRegister).
void PlayRegisterCmdHandlers();
