// The hardware JPEG decoder behind the JPEG library: one handle per decompress object, kept in the
// object's client data. Once a header has been read, the library's start asks it whether the picture
// suits the hardware, gets the picture's memory from the media memory zone, opens /dev/jpeg, programs
// the register window and feeds the stream; any refusal leaves the picture to the library's software
// decoder. The hardware writes semi-planar YUV (a luma area, then interleaved Cr/Cb pairs).
//
// A handle belongs to one decompress object and is used by one thread at a time.
#pragma once

#include <cstdio>

#include <jpeglib.h>

#include "sdk/common/mk_type.h"

// Where a decoded picture goes: three components (luma, chroma, unused) by physical and user address
// and stride, whether the decoder writes straight into them, and an optional crop of the output.
typedef struct {
    MK_U32 au32PhyAddr[3];
    MK_U8* apu8VirAddr[3];
    MK_U32 au32Stride[3];
    MK_U32 bDirect;
    MK_S32 s32CropX;
    MK_S32 s32CropY;
    MK_S32 s32CropWidth;
    MK_S32 s32CropHeight;
    MK_U32 bCrop;
} MK_JPEG_OUTDESC_S;

// The picture's sizes as JPEG_HDEC_GetImageInfo reports them. With au32Word[13] 0 on entry, only the
// image's width (0), height (3) and colour format (12). Otherwise the output: for the YUV outputs luma
// width (0), chroma width (1), luma height (3), chroma height (4), luma stride (6), chroma stride (7),
// luma size (9), chroma size (10); for the others output width (0), height (3), stride (6) and
// stride * height (9); in both the scaled MCU-aligned width (2) and height (5), the MCU-aligned line
// (8) and words 5 * 8 (11).
typedef struct {
    MK_U32 au32Word[14];
} MK_JPEG_IMAGEINFO_S;

enum {
    MK_JPEG_INFO_WIDTH = 0,
    MK_JPEG_INFO_CHROMA_WIDTH = 1,
    MK_JPEG_INFO_ALIGNED_WIDTH = 2,
    MK_JPEG_INFO_HEIGHT = 3,
    MK_JPEG_INFO_CHROMA_HEIGHT = 4,
    MK_JPEG_INFO_ALIGNED_HEIGHT = 5,
    MK_JPEG_INFO_STRIDE = 6,
    MK_JPEG_INFO_CHROMA_STRIDE = 7,
    MK_JPEG_INFO_LINE = 8,
    MK_JPEG_INFO_SIZE = 9,
    MK_JPEG_INFO_CHROMA_SIZE = 10,
    MK_JPEG_INFO_ALIGNED_SIZE = 11,
    MK_JPEG_INFO_FORMAT = 12,
    MK_JPEG_INFO_CALC_OUTPUT = 13,
};

// Output sizes of the current picture, computed once (bOutInfoValid).
typedef struct {
    MK_U32 u32LumaWidth, u32LumaHeight, u32LumaSize;
    MK_U32 u32ChromaWidth, u32ChromaHeight, u32ChromaSize;
    MK_U32 u32LumaStride, u32ChromaStride;
    MK_U32 u32OutWidth, u32OutHeight, u32OutStride;
    MK_U32 u32AlignedWidth, u32AlignedHeight;  // scaled, MCU-aligned
    MK_U32 u32AlignedLine;                     // MCU-aligned line length
    MK_U32 u32McuCounts;                       // across | down << 16
} MK_JPEG_OUTINFO_S;

// The decoder handle. Comments give the value at creation where it is not 0.
typedef struct MK_JPEG_HANDLE {
    volatile MK_U32* pu32Regs;  // the mapped register window
    MK_BOOL bHardDecoded;       // the hardware decoded the current picture
    MK_BOOL bYuvOut;            // output colour space 14 to 18
    MK_BOOL bHardEnabled;       // 1; 0 turns the hardware off for this object
    MK_U32 u32StrideAlign;      // 16
    MK_BOOL b420;               // chroma at half width and height whatever the sampling (flag A)
    MK_BOOL bResultWords;       // report the two result words (flag B)
    MK_U32 au32Result[2];
    MK_U32 u32CheckWord;  // 0xFFFFFF
    int s32DevFd;         // -1; /dev/jpeg
    MK_U32 u32ScaleCode;  // 0 to 3 for 1/1 to 1/8
    MK_U32 u32MinArea;    // pictures of this area or less stay in software
    MK_BOOL bReset;       // buffers already released
    MK_BOOL bStarted;     // the decoder was started on the picture
    // The feed of a source of the caller's own ended where the source suspended, short of the picture's
    // end marker: the finish takes the marker (JPEG_HDEC_TakeEndMarker). bFedFF: the last byte fed was 0xFF.
    MK_BOOL bEndMarkerDue;
    MK_BOOL bFedFF;
    int s32MmzFd;         // -1; /dev/mmz_userdev
    long lFilePos;        // stdio source: the first unconsumed byte when the hardware took over
    MK_U8 au8Sampling[6]; // horizontal, vertical factor of components 0, 1, 2
    MK_BOOL bOutInfoValid;
    MK_JPEG_OUTINFO_S stOut;
    MK_U32 u32StreamPhyAddr;  // where the hardware reads the stream
    const MK_U8* pu8StreamData;  // user address of a memory source's data
    MK_U32 u32OwnStreamPhyAddr;  // the stream buffer made for this picture
    MK_U8* pu8OwnStreamVirAddr;
    // Buffer information of a stream that wraps (MK_JPEG_SetBufInfo).
    MK_U32 u32WorkPhyAddr;
    const MK_U8* pu8SecondVirAddr;
    MK_U32 u32WorkLen;
    MK_U32 u32SecondLen;
    MK_BOOL bTwoPart;
    MK_BOOL bStreamBufSet;  // u32StreamPhyAddr is known
    MK_BOOL bStdioSrc;
    MK_BOOL bKnownSrc;  // the stdio or the memory-stream source
    MK_U32 u32StreamBufSize;
    MK_U64 u64StreamLen;  // given to the memory source (its first part when the stream wraps)
    MK_U64 u64Delivered;  // bytes the memory source has handed to the library
    MK_U32 u32ImageFormat;  // 7; JPEGD_FMT_*
    MK_JPEG_OUTDESC_S stOutDesc;
    MK_BOOL bOutDescSet;
    // Middle buffer: where the hardware writes (the caller's buffers with direct output).
    MK_U32 u32MidLumaPhyAddr, u32MidChromaPhyAddr;
    MK_U8* pu8MidLumaVirAddr;
    MK_U8* pu8MidChromaVirAddr;
    MK_U32 u32MidSize;
    MK_BOOL bMidOwn;  // allocated here (not the caller's)
    // Output buffer of the outputs other than YUV: where the converted picture goes (the caller's first
    // component with direct output), its rows at u32OutBufStride.
    MK_U32 u32OutPhyAddr;
    MK_U8* pu8OutVirAddr;
    MK_U32 u32OutBufStride;
    MK_U32 u32OutSize;
    MK_BOOL bOutOwn;  // allocated here
    // The output colour space when it lies beyond the library's own (6 to 18); 0: the library's.
    int s32OutSpace;
    JSAMPARRAY ppLineBuf;  // one line of the library's output for the YUV writers
    int s32Writer;         // the YUV writer chosen for a software decode
    // What was taken from a source of the caller's own for the hardware path (the search for a restart
    // marker, the picture up to its end marker), handed back to the source when it is not all fed; and
    // where the caller's own memory still holds its last bytes (the last chunk taken), for the source
    // to go on there once the picture is over (JPEG_HDEC_HandBackLookAhead).
    MK_U8* pu8LookAhead;
    size_t uLookAheadSize;
    const MK_U8* pu8SourceChunkEnd;
    size_t uSourceChunkLen;
    // The picture of a source of the caller's own that the feed took, held at the front of the
    // look-ahead (uHeldLen bytes from where the library stood) for software to read again, or, when the
    // source suspended short of the end marker or of the first marker, for the next start to go on with.
    // bCut: the hardware refused what came before a suspension short of the picture's end.
    // bRestartFound: the restart marker the picture needs was found.
    MK_BOOL bHeld;
    size_t uHeldLen;
    MK_BOOL bCut;
    MK_BOOL bRestartFound;
} MK_JPEG_HANDLE;

#define MK_JPEG_CHECK_WORD 0xFFFFFFu
#define MK_JPEG_STREAM_BUF_SIZE 0x80000u
#define MK_JPEG_MAX_SIDE 8096u
#define MK_JPEG_ERR_NOMEM static_cast<MK_S32>(0xB0008001u)
#define MK_JPEG_ERR_SCALE static_cast<MK_S32>(0xB0008000u)
// JPEG_HDEC_Start: a source of the caller's own suspended short of the picture's end.
#define MK_JPEG_SUSPENDED 1

// The handle of a decompress object (null before creation).
inline MK_JPEG_HANDLE* JPEG_HDEC_Handle(j_decompress_ptr cinfo) {
    return cinfo == nullptr ? nullptr : static_cast<MK_JPEG_HANDLE*>(cinfo->client_data);
}

MK_S32 JPEG_HDEC_CreateHandle(j_decompress_ptr cinfo);
MK_VOID JPEG_HDEC_DestroyHandle(j_decompress_ptr cinfo);
MK_VOID JPEG_HDEC_ResetHandle(j_decompress_ptr cinfo);

MK_S32 JPEG_HDEC_OpenDev(j_decompress_ptr cinfo);
MK_S32 JPEG_HDEC_CloseDev(j_decompress_ptr cinfo);
// Suitability and buffers: 0, -1 (software), or MK_JPEG_ERR_SCALE.
MK_S32 JPEG_HDEC_GetMem(j_decompress_ptr cinfo);
// Programs, feeds and waits: 0 when the hardware decoded the picture; MK_JPEG_SUSPENDED when a source of
// the caller's own suspended short of the picture's end (the next start goes on with what it gave).
MK_S32 JPEG_HDEC_Start(j_decompress_ptr cinfo);
// Releases the picture's buffers and the memory-zone descriptor.
MK_VOID JPEG_HDEC_FreeMem(MK_JPEG_HANDLE* pstHandle);
// Once a picture is over, or the object goes (bObjectEnds): what the source has left of the look-ahead
// goes back to the caller's own memory and the look-ahead is freed. A source left halfway through what
// was read ahead keeps reading the look-ahead while the object lives, and when it goes, gets only the
// last chunk.
MK_VOID JPEG_HDEC_HandBackLookAhead(j_decompress_ptr cinfo, MK_BOOL bObjectEnds);
// After the hardware path gave up on a picture of a source of the caller's own that its feed had taken:
// the source reads it again from its start, then on with what it has, as software decodes it.
MK_VOID JPEG_HDEC_HandBackPicture(j_decompress_ptr cinfo);
// After a hardware decode: the end marker that the feed of a source of the caller's own did not reach,
// taken from the source as the library's finish takes it; MK_FALSE when the source suspends again (ask
// again once it has more).
MK_BOOL JPEG_HDEC_TakeEndMarker(j_decompress_ptr cinfo);
// Bytes a pixel of an output the hardware path converts into (RGB and spaces 6 to 13); 0 for the others.
MK_U32 JPEG_HDEC_OutBytes(int space);
// After a hardware decode: the middle buffer into the output buffer, in the output space.
MK_VOID JPEG_HDEC_ConvertOut(j_decompress_ptr cinfo);

MK_S32 JPEG_HDEC_GetImageInfo(j_decompress_ptr cinfo, MK_JPEG_IMAGEINFO_S* pstInfo);
MK_VOID JPEG_HDEC_CalcOutInfo(j_decompress_ptr cinfo);
MK_S32 MK_JPEG_SetOutDesc(j_decompress_ptr cinfo, const MK_JPEG_OUTDESC_S* pstDesc);
MK_S32 JPEG_HDEC_SetStreamBuf(j_decompress_ptr cinfo, MK_U32 u32PhyAddr);
MK_S32 MK_JPEG_SetBufInfo(j_decompress_ptr cinfo, MK_U32 u32WorkPhyAddr, MK_U32 u32WorkLen,
                          const MK_U8* pu8SecondVirAddr, MK_U32 u32SecondLen, MK_BOOL bTwoPart);
MK_VOID JPEG_HDEC_SetFlagA(j_decompress_ptr cinfo, MK_BOOL bValue);
MK_VOID JPEG_HDEC_SetFlagB(j_decompress_ptr cinfo, MK_BOOL bValue);
MK_S32 JPEG_HDEC_GetPair(j_decompress_ptr cinfo, MK_U32* pu32Pair);

// Register access; offsets at or beyond the window are not made (a read gives 0xFFFFFFFF).
MK_VOID JPEG_HDEC_WriteReg(volatile MK_U32* pu32Regs, MK_U32 u32Offset, MK_U32 u32Value);
MK_U32 JPEG_HDEC_ReadReg(const volatile MK_U32* pu32Regs, MK_U32 u32Offset);
MK_VOID JPEG_HDEC_CopyToRegs(volatile MK_U32* pu32Regs, MK_U32 u32Offset, const MK_U32* pu32Words, MK_U32 u32Count);

// The scale code of numerator n over denominator d: 0 to 3, or 4 when not supported.
MK_U32 JPEG_HDEC_ScaleCode(unsigned n, unsigned d);
// The output size of a side at scale code k.
inline MK_U32 JPEG_HDEC_ScaleSize(MK_U32 side, MK_U32 k) { return (side + (1u << k) - 1) >> k; }
