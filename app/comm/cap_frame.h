// The private frame header in front of every stored frame (CapFrameHeader): written by the capture-list
// writers, read by the decode feeding thread's ring parser. Little-endian.
//
//   I frame  00 00 01 FD, 16 bytes: flags, frame rate, width / 8, height / 8, packed time, length
//   picture  00 00 01 FA, 16 bytes: as the I frame, flags 2 and no size extension bits
//   P frame  00 00 01 FC,  8 bytes: length
//   audio    00 00 01 F0,  8 bytes: codec, 2, 16-bit length
//
// The length counts the bytes after the header. Widths and heights of 2048 and more keep their bits 11
// and 12 in the flags byte (bits 4-5 width, 6-7 height).
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

// Header kinds, as the writers and the frame lists number them.
enum {
    CAP_FRAME_P = 0,
    CAP_FRAME_I = 1,
    CAP_FRAME_AUDIO = 3,
    CAP_FRAME_PICTURE = 4,
};

#define CAP_HEADER_LONG 16   // I frame and picture
#define CAP_HEADER_SHORT 8   // P frame and audio
#define CAP_AUDIO_CODEC_CAPLIST 14  // the codec byte the capture-list writers put in
#define CAP_FRAME_MAX_DIM 8191      // the header holds 13 bits of width and height

// A header as a reader finds it.
struct CapFrameHeader {
    uint32_t u32Kind;
    uint32_t u32HeadLen;
    uint32_t u32FrameLen;   // bytes after the header
    uint32_t u32FrameRate;  // I frame and picture: byte 5 & 0x1F
    uint32_t u32Width;      // I frame and picture
    uint32_t u32Height;
    uint32_t u32Time;   // packed time (I frame and picture)
    uint32_t u32Codec;  // audio
};

// Second 0..5, minute 6..11, hour 12..16, day 17..21, month (1-12) 22..25, year - 2000 26..31 (0 before
// 2000, and the year kept to six bits).
uint32_t CapFramePackTime(const struct tm& tmLocal);
// The local time now by the platform clock, packed.
uint32_t CapFramePackTimeNow();
// Fields of a packed time: year (full), month, day, hour, minute, second.
void CapFrameUnpackTime(uint32_t u32Packed, uint32_t au32Ymdhms[6]);

// Writes the header of `u32Kind` into `pu8Buf` (room for 16 bytes); its length, 16 or 8, or 0 for an
// unknown kind. Rate, width, height and time are used by the I frame and picture, the codec by audio,
// whose length keeps 16 bits.
uint32_t CapFrameWriteHeader(uint8_t* pu8Buf, uint32_t u32Kind, uint32_t u32FrameLen, uint32_t u32FrameRate,
                             uint32_t u32Width, uint32_t u32Height, uint32_t u32Time, uint32_t u32Codec);

// Reads a header at `pu8Data` with `avail` bytes: 1 with the header, 0 when the bytes do not start a
// header of a known kind, -1 when they start one but fewer bytes than its length are there.
int CapFrameReadHeader(const uint8_t* pu8Data, size_t avail, CapFrameHeader* pHead);
