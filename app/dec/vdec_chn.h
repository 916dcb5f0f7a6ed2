// Decoder channels of the decode block.
#pragma once

#include <cstdint>

// The picture-size code of decode channel `u32Chn`: capture channel 0's size on the boards where
// decoders follow the inputs, else its place among the digital counts of the capability record
// (a digital channel counts from the first digital channel), else its capture channel's size.
int32_t AVdecGetPicSize(uint32_t u32Chn);
// Command 55: the decoder of decode channel `u32Chn` is sized from the capability record and the
// settings and made (on a system with digital channels only for a channel marked digital), the
// record takes its sizes and channel numbers and its feeding thread starts. A created channel is
// left as it is. 0, or -1 for a channel outside the records or a decoder that refused.
int32_t VdecChCreate(uint32_t u32Chn);
// The 512-byte decoder capability record (128 words), built at the first call.
void AVdecGetDecCaps(uint32_t* pu32Record);

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

// A repeated command 96 destroys the decoders: every decode channel counts as not created (command 55
// makes it again), its snapshot record as empty, and the playback records' decoders as unbound, hidden,
// not receiving and not running. Adds the decoders it forgot.
struct CommForgotten;
void AVdecForgetMedia(CommForgotten* pOut);

// Registers 55 and 80 (from AVdecRegister).
void VdecChnRegisterCmdHandlers();
