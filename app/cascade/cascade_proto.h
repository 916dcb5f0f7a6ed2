// The title channel's messages, shared by the slave's title thread and the master side: type 0 a font
// name, type 1 a title text. Fixed-width little-endian layouts.
#pragma once

#include <cstdint>

enum { CASCADE_MSG_FONT = 0, CASCADE_MSG_TITLE = 1 };

#define CASCADE_FONT_NAME_LEN 32
#define CASCADE_TITLE_TEXT_LEN 64
// A text line is drawn in a band of this many rows, at this glyph size.
#define CASCADE_TITLE_BAND 24

// Type 0 payload, 32 bytes: the font's name, NUL-padded (a name of 32 characters has no NUL).
typedef struct {
    char szName[CASCADE_FONT_NAME_LEN];
} CASCADE_FONT_NAME_S;
static_assert(sizeof(CASCADE_FONT_NAME_S) == 32);

// Stream sizes of a title message, in the order main, sub, JPEG.
enum { CASCADE_SIZE_MAIN = 0, CASCADE_SIZE_SUB = 1, CASCADE_SIZE_JPEG = 2, CASCADE_SIZE_NUM = 3 };

// Type 1 payload, 120 bytes.
typedef struct {
    uint32_t u32Chn;      // capture channel
    uint8_t au8Title[28];  // the first 28 bytes of an OSD title (index, show, x, y, width, height, colours)
    char szText[CASCADE_TITLE_TEXT_LEN];  // up to height / 24 lines, each NUL-terminated
    struct {
        uint32_t u32Size;  // the stream's picture size as the master states it; below 1: no title here
        uint32_t u32Res;
    } astStream[CASCADE_SIZE_NUM];
} CASCADE_TITLE_MSG_S;
static_assert(sizeof(CASCADE_TITLE_MSG_S) == 120);
