// The capture module's state block: what the capture commands configure and what the encoder
// channels, the stream fetch threads and the title overlays read. One block for the process, zero
// until the first create command.
//
// Locking. The capture lock guards format changes, title overlays and the H.264 fetch pass; the
// fields those touch are read and written under it. The words that the command loop writes without
// the lock (start, stop, standard, channel flag) and that the fetch threads read are atomics, and so
// are the JPEG fields that the JPEG thread reads without any lock.
#pragma once

#include <pthread.h>
#include <sys/select.h>

#include <atomic>
#include <cstdint>

#define CAPTURE_CHN_NUM 32
#define CAPTURE_COVER_NUM 4
#define CAPTURE_FORMAT_LEN 12

// Stream kinds as the commands name them.
enum { CAPTURE_STREAM_MAIN = 0, CAPTURE_STREAM_SUB = 1, CAPTURE_STREAM_JPEG = 4 };

// One H.264 stream (main or sub) of a capture channel.
struct CaptureStreamRec {
    std::atomic<int32_t> s32Created{0};    // the encoder channel exists
    std::atomic<int32_t> s32Receiving{0};  // the encoder receives pictures; frames are fetched only then
    std::atomic<int32_t> s32Enabled{0};    // bit 0 of format byte 5
    uint32_t u32Width = 0;
    uint32_t u32Height = 0;
    uint32_t u32FrameRate = 0;
    int32_t s32SizeCode = 0;
    std::atomic<int32_t> s32Fd{-1};  // for select, -1 none
    uint32_t u32Kind = 0;            // byte 0 of the format that built the encoder channel
    uint32_t u32PrevFrameRate = 0;   // the configured rate a playback adjustment lowered, 0 while none
    pthread_mutex_t mtxStream;       // initialised with the encoder channel
    bool bStreamLockInit = false;
    int32_t s32VencChn = 0;
    int32_t s32ViChn = 0;
    int32_t s32StreamKind = 0;
    uint32_t u32CfgFrameRate = 0;
    uint32_t u32CfgBitRate = 0;
    uint32_t u32CfgWidth = 0;
    uint32_t u32CfgHeight = 0;
    int32_t s32CfgSizeCode = 0;
};

struct CaptureChnRec {
    CaptureStreamRec astStream[2];  // main, sub
    std::atomic<int32_t> s32CaptureStarted{0};
    uint32_t u32AudioMain = 0;
    uint32_t u32AudioSub = 0;
    std::atomic<int32_t> s32JpegAllowed{0};  // command 82
    std::atomic<int32_t> s32JpegVencChn{-1};  // -1 until the JPEG encoder channel is made
    int32_t s32JpegViChn = 0;
    std::atomic<int32_t> s32JpegFormatSet{0};
    std::atomic<uint32_t> u32JpegRate{0};
    uint32_t u32JpegQuality = 0;  // level 0 to 5
    int32_t s32JpegSizeCode = 0;
    std::atomic<uint32_t> u32JpegWidth{0};
    std::atomic<uint32_t> u32JpegHeight{0};
    std::atomic<int32_t> s32JpegFd{-1};
    std::atomic<uint64_t> u64JpegPts{0};  // written by the JPEG fetch thread
    std::atomic<int32_t> s32JpegStarted{0};
    int32_t as32CoverHandle[CAPTURE_COVER_NUM] = {-1, -1, -1, -1};
    uint8_t au8CoverRect[CAPTURE_COVER_NUM][16] = {};
    // The last format applied per stream (main, sub), kept for re-applying it.
    uint8_t au8Format[2][CAPTURE_FORMAT_LEN] = {};
    bool abFormatKept[2] = {};
};

struct CaptureState {
    std::atomic<int32_t> s32Vstd{0};  // 0 PAL, 1 NTSC
    uint32_t u32LastKind = 0;
    CaptureChnRec astChn[CAPTURE_CHN_NUM];
    pthread_mutex_t mtxCapture;  // the capture lock
    pthread_mutex_t mtxSecond;
    bool bLocksInit = false;
    fd_set stFdSet;
    int32_t s32MaxFd = -1;
    std::atomic<int32_t> s32Created{0};
    int32_t as32VstdApplied[CAPTURE_CHN_NUM] = {};
    std::atomic<int32_t> s32ThreadsStarted{0};
};

// What the video input configuration records of a channel's input beyond its rate tables: the input
// byte (its low 4 bits the input type), the input mode and the title-rebuild mark. No command of this
// program sets them, so they stay 0 and the narrow-input rules below never apply; they are kept so
// that the day the input code sets them the capture and title code follow.
struct CaptureViInput {
    uint8_t u8Input = 0;
    int32_t s32Mode = 0;
    int32_t s32TitleRebuild = 0;
};
// The record of a channel (null outside the 32 channels).
CaptureViInput* CaptureGetViInput(uint32_t u32Chn);
// Input type 10 with input mode 3 on a board sub-type other than 55 to 58: pictures 944 or 1920 wide
// are narrower on such inputs.
bool CaptureViInputNarrow(uint32_t u32Chn, uint32_t u32BoardSubType);

// The one state block.
CaptureState* CaptureGetState();

// Adds an encoder fd to the capture fd set and raises the highest fd. Ignores fds that select cannot
// take. Call with the capture lock held or from the command loop before the fetch threads start.
void CaptureMarkChnUsed(int fd);

// The capture lock (valid once the module is created). 0 or the pthread error.
int CaptureLock();
int CaptureUnlock();

// The stream record of (channel, kind 0 or 1); null outside the 32 channels or for another kind.
// Channel and kind are compared unsigned, so negative values are outside too.
CaptureStreamRec* CaptureStream(uint32_t u32Chn, uint32_t u32Kind);
CaptureChnRec* CaptureChn(uint32_t u32Chn);

// The once-per-process part of the first create command: initialises the capture lock and the second
// lock (the block is zero from load). 0, or the pthread error (the module stays uncreated).
int CaptureStateInit();

// Back to the state at load: uncreated, every field zero, fds -1 (tests). Destroys nothing.
void CaptureResetState();
