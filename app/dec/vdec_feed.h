// The parts of the decode feeding that tests and a buffer-input path reach: the ring of a decode
// channel, its parser and the senders of one frame.
#pragma once

#include <cstdint>

#include "app/dec/avdec_state.h"

// Gives decode channel `u32Chn` (decode block) a ring of `u32Size` bytes at `pu8Base` (null: none),
// emptying its frame list. Nothing in the program fills a ring; tests do.
void AVdecSetRing(uint32_t u32Chn, uint8_t* pu8Base, uint32_t u32Size);

// Parses what lies in the ring between the read and write offsets into frame-list nodes (forward: at
// the tail, from where the last parse stopped; backward (1): in front of the head, in their own order).
// 0, or -3 while the stream error flag is set (a frame header announced a frame too long for the ring;
// the parse goes on after that header, P frames are passed over until the next good I frame).
int getframeinfo(uint32_t u32Chn, uint32_t u32Direction);

// The node the fast, backward, resynchronising or rate-1 play takes next (an I frame within the
// largest size, or a picture), dropping the nodes before it; null when none is left. The record's
// mutex is held.
VDEC_FRAMEINFO* search_IJ_frame(uint32_t u32Chn);

// One frame from the ring to the decoder (whole, wrapped frames through a copy); 0.
int video_decode(uint32_t u32Chn, const uint8_t* pu8Base, uint32_t u32Len, uint32_t u32Off);
// One audio frame (its header and payload) to the audio path's output list: 0, or -1 when the copy
// or the queueing fails; a frame of 1 to 1600 bytes with the record's audio word set, while the list
// holds at most 90 nodes and 16800 bytes, else dropped with 0.
int audio_decode(uint32_t u32Chn, const uint8_t* pu8Base, uint32_t u32Len, uint32_t u32Off);
// One picture to the JPEG decoder channel; 0.
int jpeg_decode(uint32_t u32Chn, const uint8_t* pu8Base, uint32_t u32Len, uint32_t u32Off);
