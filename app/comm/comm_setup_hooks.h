// The calls of the media set-up (system set-up, video input, processing groups, display) into the
// modules built on top of it: the split model, the capture and encoder code, the decoders and the
// detection code. They are gathered in one record, CommSetupHooks; each entry has its own setter,
// which the module that carries the step calls from its Register function (AppRegisterModules,
// app/app_modules.cpp). A setter replaces only its own entry (null takes it out).
//
// While an entry is unset the set-up skips the call: the CommHook* caller prints one line naming it
// and returns the fallback written beside the entry, and the set-up goes on. Every entry is called on
// the command loop's thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "sdk/common/mk_comm_video.h"

// ---- Entry types ----
// The split model (its channel records and state).
// The wiring of logical channel s32Chn (0..31): its capture channel and capture device; 0, or -1
// when the channel has no record. Fallback: -1.
typedef int32_t (*CommSplitGetChnWiringFn)(int32_t s32Chn, int32_t* ps32ViChn, int32_t* ps32ViDev);
// Stores the picture-size code of the channel's record (command 87). Fallback: nothing.
typedef void (*CommSplitSetChnPicSizeFn)(int32_t s32Chn, int32_t s32Code);
// SplitGetChnVi(channel, selector): 0 the capture size code, 1 the second wiring value. Fallback: 0.
typedef int32_t (*CommSplitGetChnViFn)(int32_t s32Chn, int32_t s32Sel);
// The split module's video standard (0 PAL, 1 NTSC). Fallback: 0.
typedef uint32_t (*CommSplitGetVstdFn)();
// The channel shown alone (the single-preview channel), or -1. Fallback: -1.
typedef int32_t (*CommSplitGetSinglePreviewFn)();
// SignlePreview(chn) and MultiPreview(chn), the preview scaling of the shared-group configuration.
// Fallback: -1.
typedef int32_t (*CommSplitPreviewFn)(int32_t s32Chn);
// SplitCalcPreScale(reference width, mode flag, size code, width, height, out width, out height).
// Fallback: half width, half height.
typedef void (*CommSplitCalcPreScaleFn)(uint32_t u32RefWidth, int32_t s32Mode, int32_t s32Code, uint32_t u32Width,
                                        uint32_t u32Height, uint32_t* pu32OutWidth, uint32_t* pu32OutHeight);
// The detection code.
// LossSetUserPic(channel, enable): the lost-signal picture of a channel on or off. Fallback: -1.
typedef int32_t (*CommLossSetUserPicFn)(int32_t s32Chn, int32_t s32Enable);
// Comm_GetInputResSize: the size the input of a channel carries; 0 or -1. Fallback: -1.
typedef int32_t (*CommGetInputResSizeFn)(int32_t s32Chn, SIZE_S* pstSize);
// The capture and encoder code.
// CaptureSetRCSrc(channel, source rate, main rate, sub rate). Fallback: -1.
typedef int32_t (*CommCaptureSetRCSrcFn)(int32_t s32Chn, int32_t s32Src, int32_t s32Main, int32_t s32Sub);
// CaptureSetFormat(channel, stream, the stream's stored format): re-applies what the master set.
// Fallback: -1.
typedef int32_t (*CommCaptureSetFormatFn)(int32_t s32Chn, int32_t s32Stream);
// The picture-size code of a stream's stored format, or -1 when none is stored. Fallback: -1.
typedef int32_t (*CommCaptureGetFormatSizeFn)(int32_t s32Chn, int32_t s32Stream);
// The capture module's video standard word (Comm_GetCaptureParam). Fallback: 0.
typedef uint32_t (*CommCaptureGetVstdFn)();
// The decoders.
// Up to s32Max decoder channels that exist now, into ps32Chns; their number. Fallback: 0.
typedef int32_t (*CommVdecCreatedChnsFn)(int32_t* ps32Chns, int32_t s32Max);
// Release of pool blocks before command 96 destroys the pools. Fallback: nothing.
typedef void (*CommReleaseBlocksFn)();
// What the modules forget when a repeated command 96 destroys the media objects they made (encoder,
// decoder, region and detection channels, and the descriptors of those): counts for the one line.
struct CommForgotten {
    uint32_t u32EncStreams = 0;
    uint32_t u32JpegChns = 0;
    uint32_t u32Titles = 0;
    uint32_t u32Covers = 0;
    uint32_t u32Snapshots = 0;
    uint32_t u32Decoders = 0;
    uint32_t u32Detections = 0;
};
// One module forgets its objects, so that the master's commands make them again as the first time;
// it adds what it forgot. Fallback (unset): nothing to forget.
typedef void (*CommForgetMediaFn)(CommForgotten* pForgotten);

// ---- The record ----
struct CommSetupHooks {
    std::atomic<CommSplitGetChnWiringFn> pfnSplitGetChnWiring{nullptr};
    std::atomic<CommSplitSetChnPicSizeFn> pfnSplitSetChnPicSize{nullptr};
    std::atomic<CommSplitGetChnViFn> pfnSplitGetChnVi{nullptr};
    std::atomic<CommSplitGetVstdFn> pfnSplitGetVstd{nullptr};
    std::atomic<CommSplitGetSinglePreviewFn> pfnSplitGetSinglePreview{nullptr};
    std::atomic<CommSplitPreviewFn> pfnSignlePreview{nullptr};
    std::atomic<CommSplitPreviewFn> pfnMultiPreview{nullptr};
    std::atomic<CommSplitCalcPreScaleFn> pfnSplitCalcPreScale{nullptr};
    std::atomic<CommLossSetUserPicFn> pfnLossSetUserPic{nullptr};
    std::atomic<CommGetInputResSizeFn> pfnGetInputResSize{nullptr};
    std::atomic<CommCaptureSetRCSrcFn> pfnCaptureSetRCSrc{nullptr};
    std::atomic<CommCaptureSetFormatFn> pfnCaptureSetFormat{nullptr};
    std::atomic<CommCaptureGetFormatSizeFn> pfnCaptureGetFormatSize{nullptr};
    std::atomic<CommCaptureGetVstdFn> pfnCaptureGetVstd{nullptr};
    std::atomic<CommVdecCreatedChnsFn> pfnVdecCreatedChns{nullptr};
    // The stream senders of commands 10 and 11: they give their local buffers back before the pools
    // go, and take new ones from the new pools after (they keep running on their rings).
    std::atomic<CommReleaseBlocksFn> pfnReleaseSenderBuffers{nullptr};
    std::atomic<CommReleaseBlocksFn> pfnTakeSenderBuffers{nullptr};
    // The lost-signal picture (dropped, rebuilt at its next use).
    std::atomic<CommReleaseBlocksFn> pfnReleaseLossPic{nullptr};
    // The capture module (encoders, titles, covers, snapshot threads), the decode module (decoders,
    // snapshot records) and the detection module.
    std::atomic<CommForgetMediaFn> pfnForgetCapture{nullptr};
    std::atomic<CommForgetMediaFn> pfnForgetDecode{nullptr};
    std::atomic<CommForgetMediaFn> pfnForgetDetection{nullptr};
};

// The one record, for reading; set entries only through the setters.
const CommSetupHooks& CommGetSetupHooks();

// ---- Setters, one per entry ----
void CommSetSplitGetChnWiringHook(CommSplitGetChnWiringFn pfn);
void CommSetSplitSetChnPicSizeHook(CommSplitSetChnPicSizeFn pfn);
void CommSetSplitGetChnViHook(CommSplitGetChnViFn pfn);
void CommSetSplitGetVstdHook(CommSplitGetVstdFn pfn);
void CommSetSplitGetSinglePreviewHook(CommSplitGetSinglePreviewFn pfn);
void CommSetSignlePreviewHook(CommSplitPreviewFn pfn);
void CommSetMultiPreviewHook(CommSplitPreviewFn pfn);
void CommSetSplitCalcPreScaleHook(CommSplitCalcPreScaleFn pfn);
void CommSetLossSetUserPicHook(CommLossSetUserPicFn pfn);
void CommSetGetInputResSizeHook(CommGetInputResSizeFn pfn);
void CommSetCaptureSetRCSrcHook(CommCaptureSetRCSrcFn pfn);
void CommSetCaptureSetFormatHook(CommCaptureSetFormatFn pfn);
void CommSetCaptureGetFormatSizeHook(CommCaptureGetFormatSizeFn pfn);
void CommSetCaptureGetVstdHook(CommCaptureGetVstdFn pfn);
void CommSetVdecCreatedChnsHook(CommVdecCreatedChnsFn pfn);
void CommSetReleaseSenderBuffersHook(CommReleaseBlocksFn pfn);
void CommSetTakeSenderBuffersHook(CommReleaseBlocksFn pfn);
void CommSetReleaseLossPicHook(CommReleaseBlocksFn pfn);
void CommSetForgetCaptureHook(CommForgetMediaFn pfn);
void CommSetForgetDecodeHook(CommForgetMediaFn pfn);
void CommSetForgetDetectionHook(CommForgetMediaFn pfn);
// Takes out every entry (tests).
void CommClearSetupHooks();

// ---- Callers: the entry, or its line and fallback while it is unset ----
int32_t CommHookSplitGetChnWiring(int32_t s32Chn, int32_t* ps32ViChn, int32_t* ps32ViDev);
void CommHookSplitSetChnPicSize(int32_t s32Chn, int32_t s32Code);
int32_t CommHookSplitGetChnVi(int32_t s32Chn, int32_t s32Sel);
uint32_t CommHookSplitGetVstd();
int32_t CommHookSplitGetSinglePreview();
int32_t CommHookSignlePreview(int32_t s32Chn);
int32_t CommHookMultiPreview(int32_t s32Chn);
void CommHookSplitCalcPreScale(uint32_t u32RefWidth, int32_t s32Mode, int32_t s32Code, uint32_t u32Width,
                               uint32_t u32Height, uint32_t* pu32OutWidth, uint32_t* pu32OutHeight);
int32_t CommHookLossSetUserPic(int32_t s32Chn, int32_t s32Enable);
int32_t CommHookGetInputResSize(int32_t s32Chn, SIZE_S* pstSize);
int32_t CommHookCaptureSetRCSrc(int32_t s32Chn, int32_t s32Src, int32_t s32Main, int32_t s32Sub);
int32_t CommHookCaptureSetFormat(int32_t s32Chn, int32_t s32Stream);
int32_t CommHookCaptureGetFormatSize(int32_t s32Chn, int32_t s32Stream);
uint32_t CommHookCaptureGetVstd();
int32_t CommHookVdecCreatedChns(int32_t* ps32Chns, int32_t s32Max);
// Gives back every pool block the program holds (stream senders, then the lost-signal picture).
void CommReleaseHeldBlocks();
// Once the new pools stand: the blocks that are taken again at once (the stream senders'); the
// lost-signal picture is built again at its next use.
void CommTakeHeldBlocks();
// Before command 96 tears the media system down: capture, decode and detection forget what they made
// in it (an unset entry has nothing to forget), and one line says what was forgotten (none when
// nothing was). Returns the counts.
CommForgotten CommForgetMediaUsers();
