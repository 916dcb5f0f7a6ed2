// Titles over the encoded streams: what the title module takes. A title comes from the title thread,
// which renders the master's texts, or ready-made from the master's OSD buffer.
#pragma once

#include <cstdint>

// A title: placement on the reference grid (352 wide, 288 high for PAL or 240 for NTSC), size, colours
// and its width x height ARGB1555 pixels, row after row, two bytes each, little-endian. The pixels
// belong to the sender (the shared OSD buffer, or the title thread's packet) and stay valid only for
// the call that hands the title over; they need not be aligned.
struct OSD_TITLE_S {
    uint32_t u32Index;  // title slot 0 to 3
    uint32_t u32Show;   // 0 removes the title
    uint16_t u16X;
    uint16_t u16Y;
    uint16_t u16Width;
    uint16_t u16Height;
    uint32_t u32TextColor;  // 0x00RRGGBB, used when rendering
    uint32_t u32BgColor;    // above 0x3FFFFFFF it also gives the overlay alpha (shifted right by 25)
    const uint8_t* pu8Bitmap;
};

// Places, replaces or removes title `pTitle->u32Index` of stream `u32Stream` (0 main, 1 sub, 4 JPEG) of
// capture channel `u32Chn`: 0 or -1. Any thread; the title module takes its own lock.
int32_t CaptureSetTitleV2(uint32_t u32Chn, uint32_t u32Stream, const OSD_TITLE_S* pTitle);
typedef int32_t (*CaptureSetTitleFn)(uint32_t u32Chn, uint32_t u32Stream, const OSD_TITLE_S* pTitle);
