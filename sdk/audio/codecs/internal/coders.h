// The coders behind the frame dispatcher. Each works on a payload (the bytes after the frame header)
// whose size the dispatcher has already checked, and none of them allocates.
#pragma once

#include <cstdint>

#include "sdk/audio/codecs/voice_codec.h"

namespace varnelle::voice {

// G.711: one code byte per sample; `swapped` puts the earlier sample of each pair in the high byte.
void G711Encode(bool alaw, bool swapped, const int16_t* samples, int n, uint8_t* payload);
void G711Decode(bool alaw, bool swapped, const uint8_t* payload, int n, int16_t* samples);

// IMA/DVI ADPCM for ids 3, 35 and 67. Encode returns the payload length in words. Decode refuses a
// frame it cannot decode soundly or whose samples would not fit in `capacity`.
int AdpcmEncode(VOICE_ADPCM_STATE_S* state, int16_t id, const int16_t* samples, int n, uint8_t* payload);
int32_t AdpcmDecode(VOICE_ADPCM_STATE_S* state, int16_t id, const uint8_t* payload, int words,
                    int16_t* samples, int capacity, uint16_t* count);

// G.726 with `bits` 2 to 5, code words packed from the least significant bit.
void G726Encode(VOICE_G726_STATE_S* state, int bits, const int16_t* samples, int n, uint8_t* payload);
void G726Decode(VOICE_G726_STATE_S* state, int bits, const uint8_t* payload, int n, int16_t* samples);
// Repack `bytes` bytes of `bits`-bit code words between the two bit orders, in place.
void G726LsbToMsb(uint8_t* payload, int bytes, int bits);
void G726MsbToLsb(uint8_t* payload, int bytes, int bits);

// The 16 kbit/s coder on 16-bit state; n is a multiple of 8.
void Adpcm16Encode(VOICE_ADPCM16_STATE_S* state, const int16_t* samples, int n, uint8_t* payload);
void Adpcm16Decode(VOICE_ADPCM16_STATE_S* state, const uint8_t* payload, int n, int16_t* samples);

// Decode with an output bound of `capacity` samples (the public entry point uses
// VOICE_MAX_DECODE_SAMPLES; the transcoder its own smaller buffer).
int32_t DecodeFrameBounded(VOICE_CODEC_STATE_S* state, uint8_t* frame, int16_t* samples, uint16_t* count,
                           int capacity);

}  // namespace varnelle::voice
