// Titles over the encoded streams: what the title module takes. A title comes from the title thread,
// which renders the master's texts, or ready-made from the master's OSD buffer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sdk/rgn/rgn_ioctl.h"

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

// ---- The title module's own operations ----
// Each title is one overlay region of the region module, attached to the stream's encoder channel,
// placed from the grid and loaded with the title's bitmap. The module works under the capture lock, so
// a region never changes while its encoder channel is rebuilt or its stream fetched; a channel that is
// not ready (before its first format, and during a format change) drops its titles.

// Bytes of the wire layout before the bitmap address, and the whole wire record.
#define OSD_TITLE_HEAD_LEN 28
#define OSD_TITLE_WIRE_LEN 32
#define OSD_TITLE_INDEX_NUM 4

// Reads the first 28 bytes of a wire title (the word at 24 is not read); the bitmap is the caller's.
void OsdTitleFromWire(const uint8_t* pu8Wire, const uint8_t* pu8Bitmap, OSD_TITLE_S* pstTitle);

// Ready flags 0, size codes and handles -1, records zero (regions are not destroyed). Called once, by
// the first capture create command.
void CaptureTitleInit();
// As CaptureTitleInit, for titles whose regions are gone with the media system (a repeated command
// 96); with the capture lock held. The number of titles that had a region.
uint32_t CaptureTitleForget();
// Sets the channel's ready flag: titles for a channel that is not ready are dropped (0). Channels
// outside the 32 records are ignored.
void CaptureTitleSetReady(uint32_t u32Chn, int32_t s32Value);

// The region handles of the titles: main and sub on encoder channel E = 2c + stream, E + index x 4 x
// channel end; JPEG past the covers, 20 x channel end + 4c + index.
RGN_HANDLE OsdTitleHandle(uint32_t u32ChnEnd, uint32_t u32Chn, uint32_t u32Stream, uint32_t u32Index);
// Where a title of width x height at grid (x, y) lands on a W x H picture under the standard: x to
// W x / 352 (then kept inside W - 2, on a multiple of 8), y to H y / 288 or 240 (kept inside H, even);
// both at least 0.
void OsdTitlePosition(uint32_t u32Vstd, uint32_t u32PicW, uint32_t u32PicH, const OSD_TITLE_S* pstTitle,
                      uint32_t* pu32X, uint32_t* pu32Y);

// Test view of one slot: the size code the region was made for (-1 none) and its handle (-1 none).
struct OsdTitleSlotView {
    int32_t s32SizeCode;
    int32_t s32Handle;
    int32_t s32Ready;
    OSD_TITLE_S stTitle;
};
OsdTitleSlotView OsdTitleGetSlot(uint32_t u32Chn, uint32_t u32Stream, uint32_t u32Index);
