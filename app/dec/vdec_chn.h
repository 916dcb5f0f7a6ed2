// Decoder channels of the decode block.
#pragma once

#include <cstdint>

// Command 80: the decoders of decode channel `u32Chn` (its number and its number + 16) are destroyed
// when it is below this chip's decoder count, then its created flag is cleared (its feeding thread
// runs on, idle). 0, or -1 for a channel outside the decode channels or a decoder that refused.
int32_t PlayDestory(uint32_t u32Chn);
// Marks a digital channel (at least the number of playback channels, below 48): 0 or -1.
int32_t PlaySetDecodeChn(uint32_t u32Chn);
// The decode block's started flag of a channel: set while the display is enabled, or always.
int32_t AVdecSetChnFlag(uint32_t u32Chn);
int32_t AVdecSetChnFlagCopy(uint32_t u32Chn);
int32_t AVdecSetChnFlagAlways(uint32_t u32Chn);

// Registers 80 (from AVdecRegister).
void VdecChnRegisterCmdHandlers();
