// The kernel/user interface of the JPEG decode channels: the records that a JPEG or MJPEG channel of
// the video decoder driver (/dev/vdec, 'D' 44 to 50) exchanges with the user-space decoder, and the
// requests and register window of the JPEG decoder block (/dev/jpeg). All records hold only 32-bit
// words (and a 64-bit time stamp), so they keep the chip's sizes.
#pragma once

#include <sys/ioctl.h>

#include <cstddef>

#include "sdk/common/mk_type.h"

// ---- /dev/vdec, JPEG channels ----

// A picture taken from the channel's stream ring. It ends with 15 zero bytes that are not part of the
// picture; when it wraps around the ring's end, its second part starts at the ring's start.
typedef struct {
    MK_U32 au32PhyAddr[2];  // first part; second part, 0 when the picture does not wrap
    MK_U32 au32Reserved0[2];
    MK_U32 au32Len[2];  // lengths of the two parts
    MK_U64 u64PTS;
    MK_U32 au32Reserved1[2];
} JPEGD_STREAM_S;
static_assert(sizeof(JPEGD_STREAM_S) == 40);
static_assert(offsetof(JPEGD_STREAM_S, au32Len) == 16);
static_assert(offsetof(JPEGD_STREAM_S, u64PTS) == 24);

// The trailer the driver stores after every picture, and the parser leaves out.
#define JPEGD_STREAM_TAIL 15

// Colour formats of a picture (the decoder's codes): 0 grey, 1 4:2:0, 2 4:2:2, 3 luma twice the chroma
// vertically only, 4 4:4:4; 5 YCCK, 6 CMYK, 7 anything else.
enum {
    JPEGD_FMT_YUV400 = 0,
    JPEGD_FMT_YUV420 = 1,
    JPEGD_FMT_YUV422_21 = 2,
    JPEGD_FMT_YUV422_12 = 3,
    JPEGD_FMT_YUV444 = 4,
    JPEGD_FMT_YCCK = 5,
    JPEGD_FMT_CMYK = 6,
    JPEGD_FMT_OTHER = 7,
};
#define JPEGD_FMT_MAX_DECODED JPEGD_FMT_YUV444

// A frame buffer for one picture: the picture's size and format in, a block of the decoder's pools out.
typedef struct {
    MK_U32 u32Width;
    MK_U32 u32Height;
    MK_U32 u32Format;  // 0 to 4
    MK_U32 u32PhyAddr;
    MK_U32 u32Size;
    MK_U32 u32Token;  // goes back in the frame record's u32Token
} JPEGD_FRAME_BUF_S;
static_assert(sizeof(JPEGD_FRAME_BUF_S) == 24);

// The frame given back for a picture. A decoded picture has bPicture 1 and every word set; a failed one
// has bPicture 0, its colour format (5 when not supported) in u32Format and the buffer's address in
// u32LumaPhyAddr; a buffer given back without a picture has u32Format 5, bPicture 0, width and height
// 0xFFFFFFFF and the buffer's address in u32LumaPhyAddr.
typedef struct {
    MK_U32 u32Format;  // 1 for a decoded picture
    MK_U32 bPicture;
    MK_U32 au32Result[2];  // the decoder's two result words
    MK_U64 u64PTS;
    MK_U32 u32Token;
    MK_U32 u32One;  // 1
    MK_U32 u32Width;
    MK_U32 u32Height;
    MK_U32 u32LumaPhyAddr;
    MK_U32 u32LumaStride;
    MK_U32 u32ChromaPhyAddr;
    MK_U32 u32ChromaEndPhyAddr;  // chroma address + chroma stride * height / 2
    MK_U32 u32ChromaStride;
    MK_U32 u32Reserved;
} JPEGD_FRAME_S;
static_assert(sizeof(JPEGD_FRAME_S) == 64);
static_assert(offsetof(JPEGD_FRAME_S, u64PTS) == 16);
static_assert(offsetof(JPEGD_FRAME_S, u32Width) == 32);
static_assert(offsetof(JPEGD_FRAME_S, u32ChromaStride) == 56);

#define JPEGD_FRAME_FORMAT_NONE 5  // u32Format of a frame that holds no picture

// The channel's working buffer (its stream ring).
typedef struct {
    MK_U32 au32Reserved0[3];
    MK_U32 u32PhyAddr;
    MK_U32 u32Len;
    MK_U32 u32Reserved1;
} JPEGD_BUF_INFO_S;
static_assert(sizeof(JPEGD_BUF_INFO_S) == 24);
static_assert(offsetof(JPEGD_BUF_INFO_S, u32PhyAddr) == 12);

// The outcome of a channel's picture.
typedef struct {
    MK_S32 s32ErrType;  // JPEGD_ERR_*
    MK_U32 u32Width;
    MK_U32 u32Height;
} JPEGD_REPORT_S;
static_assert(sizeof(JPEGD_REPORT_S) == 12);

enum {
    JPEGD_ERR_NONE = 0,
    JPEGD_ERR_DECODE = 1,       // parsing or decoding failed
    JPEGD_ERR_SIZE = 2,         // larger than the channel accepts
    JPEGD_ERR_UNSUPPORTED = 4,  // a colour format the decoder does not take
};

#define MK_JPEGD_IOC_GET_STREAM _IOR('D', 44, JPEGD_STREAM_S)
#define MK_JPEGD_IOC_RELEASE_STREAM _IOW('D', 45, JPEGD_STREAM_S)
#define MK_JPEGD_IOC_GET_FRAME_BUF _IOWR('D', 46, JPEGD_FRAME_BUF_S)
#define MK_JPEGD_IOC_PUT_FRAME _IOW('D', 47, JPEGD_FRAME_S)
#define MK_JPEGD_IOC_BUF_INFO _IOR('D', 49, JPEGD_BUF_INFO_S)
#define MK_JPEGD_IOC_REPORT _IOW('D', 50, JPEGD_REPORT_S)

// ---- /dev/jpeg ----

// The wait for the end of a decode: the result goes in as 0 and comes back as one of JPEG_WAIT_*.
typedef struct {
    MK_U32 u32Result;
    MK_U32 u32TimeoutMs;
} JPEG_WAIT_S;
static_assert(sizeof(JPEG_WAIT_S) == 8);

enum { JPEG_WAIT_MORE = 1, JPEG_WAIT_DONE = 2, JPEG_WAIT_ERROR = 3 };

#define MK_JPEG_IOC_OPEN _IO('j', 0)   // after every open
#define MK_JPEG_IOC_CLOSE _IO('j', 1)  // before every close
#define MK_JPEG_IOC_WAIT _IOWR('j', 2, JPEG_WAIT_S)

// The register window, mapped from offset 0; accesses at or beyond its size are not made.
#define JPEG_REG_WINDOW_SIZE 0x6BF

// Registers (byte offsets of 32-bit words).
enum {
    JPEG_REG_START = 0x00,
    JPEG_REG_MODE = 0x04,  // stream feed: JPEG_MODE_*
    JPEG_REG_STRIDE = 0x0C,
    JPEG_REG_MCU_COUNT = 0x10,
    JPEG_REG_FORMAT = 0x14,
    JPEG_REG_WINDOW_START = 0x20,
    JPEG_REG_WINDOW_END = 0x24,
    JPEG_REG_DATA_START = 0x28,
    JPEG_REG_DATA_END = 0x2C,
    JPEG_REG_LUMA_ADDR = 0x30,
    JPEG_REG_CHROMA_ADDR = 0x34,
    JPEG_REG_SCALE = 0x40,
    JPEG_REG_420 = 0x44,
    JPEG_REG_INIT = 0x104,
    JPEG_REG_RESULT0 = 0x114,
    JPEG_REG_RESULT1 = 0x118,
    JPEG_REG_SAMPLING = 0x124,
    JPEG_REG_QUANT = 0x200,     // 64 words
    JPEG_REG_DC_HUFF = 0x300,   // 12 words
    JPEG_REG_AC_FIRST = 0x340,  // 8 words
    JPEG_REG_AC_OFFSET = 0x360, // 8 words
    JPEG_REG_AC_SYMBOL = 0x400, // 176 words
};

enum { JPEG_MODE_FIRST = 0, JPEG_MODE_NEXT = 1, JPEG_MODE_WHOLE = 2, JPEG_MODE_LAST = 3 };

// The most stream the block takes for one picture fed in pieces.
#define JPEG_STREAM_MAX (64u << 20)

#define JPEG_AC_SYMBOLS 176
