// The decode module's side of the JPEG snapshots of digital channels: the snapshot record per VDEC
// channel (in the decode block, app/comm/comm_snap.h gives its words), the set-up PlayStart runs and
// the request, and the decode records' extra buffer.
#pragma once

#include <cstddef>
#include <cstdint>

// Snapshot set-up of VDEC channel s32Vdec (PlayStart of a digital channel): processing channel 3 of
// the channel's group enabled and bound to the snapshot encoder when not set up yet, in user mode at
// the stream's size (at most 704 x 576); then periodic snapshots are on (requested, set up, 3
// attempts). 0; -1 when snapshots are off, the encoder was never made, or the processing channel
// refuses its mode.
int32_t DigitSnapJpeg(int32_t s32Vdec);
// A one-shot snapshot of VDEC channel s32Vdec, or of every digital channel for -1: requested, not set
// up, and the set-up group marked for teardown once the picture is taken. 0; -1 when snapshots are off
// or for a channel outside the records.
int32_t DigitSnapJpegRequest(int32_t s32Vdec);

// Frees every decode record's extra buffer (each under its record's lock, the pointer cleared in every
// record that shares it) and allocates u32Size bytes for the caller; null when that fails.
void* ExtraMemoryAlloc(size_t u32Size);
// The extra buffer of decode record u32Chn (tests), null outside the records.
void* AVdecExtraBuffer(uint32_t u32Chn);
void AVdecSetExtraBuffer(uint32_t u32Chn, void* p);

// Installs the snapshot record hook (from AVdecRegister).
void AVdecSnapRegister();
