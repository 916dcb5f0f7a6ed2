#include "app/comm/comm_setup_hooks.h"

#include "app/comm/app_log.h"

namespace {

constexpr const char* kSrc = "../comm/HwSystem.c";

CommSetupHooks& Hooks() {
    static auto* h = new CommSetupHooks;
    return *h;
}

void PrintMissing(const char* pszFunc, const char* pszHook) {
    APP_ERR_IN(kSrc, pszFunc, "%s is not available on this slave\n", pszHook);
}

// The entry, or null after its line.
template <typename Fn>
Fn Take(const std::atomic<Fn>& entry, const char* pszFunc, const char* pszHook) {
    Fn pfn = entry.load();
    if (pfn == nullptr) PrintMissing(pszFunc, pszHook);
    return pfn;
}

}  // namespace

const CommSetupHooks& CommGetSetupHooks() {
    return Hooks();
}

#define COMM_SETTER(Setter, Field, Type) \
    void Setter(Type pfn) { Hooks().Field.store(pfn); }
COMM_SETTER(CommSetSplitGetChnWiringHook, pfnSplitGetChnWiring, CommSplitGetChnWiringFn)
COMM_SETTER(CommSetSplitSetChnPicSizeHook, pfnSplitSetChnPicSize, CommSplitSetChnPicSizeFn)
COMM_SETTER(CommSetSplitGetChnViHook, pfnSplitGetChnVi, CommSplitGetChnViFn)
COMM_SETTER(CommSetSplitGetVstdHook, pfnSplitGetVstd, CommSplitGetVstdFn)
COMM_SETTER(CommSetSplitGetSinglePreviewHook, pfnSplitGetSinglePreview, CommSplitGetSinglePreviewFn)
COMM_SETTER(CommSetSignlePreviewHook, pfnSignlePreview, CommSplitPreviewFn)
COMM_SETTER(CommSetMultiPreviewHook, pfnMultiPreview, CommSplitPreviewFn)
COMM_SETTER(CommSetSplitCalcPreScaleHook, pfnSplitCalcPreScale, CommSplitCalcPreScaleFn)
COMM_SETTER(CommSetLossSetUserPicHook, pfnLossSetUserPic, CommLossSetUserPicFn)
COMM_SETTER(CommSetGetInputResSizeHook, pfnGetInputResSize, CommGetInputResSizeFn)
COMM_SETTER(CommSetCaptureSetRCSrcHook, pfnCaptureSetRCSrc, CommCaptureSetRCSrcFn)
COMM_SETTER(CommSetCaptureSetFormatHook, pfnCaptureSetFormat, CommCaptureSetFormatFn)
COMM_SETTER(CommSetCaptureGetFormatSizeHook, pfnCaptureGetFormatSize, CommCaptureGetFormatSizeFn)
COMM_SETTER(CommSetCaptureGetVstdHook, pfnCaptureGetVstd, CommCaptureGetVstdFn)
COMM_SETTER(CommSetVdecCreatedChnsHook, pfnVdecCreatedChns, CommVdecCreatedChnsFn)
COMM_SETTER(CommSetReleaseSenderBuffersHook, pfnReleaseSenderBuffers, CommReleaseBlocksFn)
COMM_SETTER(CommSetTakeSenderBuffersHook, pfnTakeSenderBuffers, CommReleaseBlocksFn)
COMM_SETTER(CommSetReleaseLossPicHook, pfnReleaseLossPic, CommReleaseBlocksFn)
COMM_SETTER(CommSetForgetCaptureHook, pfnForgetCapture, CommForgetMediaFn)
COMM_SETTER(CommSetForgetDecodeHook, pfnForgetDecode, CommForgetMediaFn)
COMM_SETTER(CommSetForgetDetectionHook, pfnForgetDetection, CommForgetMediaFn)
#undef COMM_SETTER

void CommClearSetupHooks() {
    CommSetSplitGetChnWiringHook(nullptr);
    CommSetSplitSetChnPicSizeHook(nullptr);
    CommSetSplitGetChnViHook(nullptr);
    CommSetSplitGetVstdHook(nullptr);
    CommSetSplitGetSinglePreviewHook(nullptr);
    CommSetSignlePreviewHook(nullptr);
    CommSetMultiPreviewHook(nullptr);
    CommSetSplitCalcPreScaleHook(nullptr);
    CommSetLossSetUserPicHook(nullptr);
    CommSetGetInputResSizeHook(nullptr);
    CommSetCaptureSetRCSrcHook(nullptr);
    CommSetCaptureSetFormatHook(nullptr);
    CommSetCaptureGetFormatSizeHook(nullptr);
    CommSetCaptureGetVstdHook(nullptr);
    CommSetVdecCreatedChnsHook(nullptr);
    CommSetReleaseSenderBuffersHook(nullptr);
    CommSetTakeSenderBuffersHook(nullptr);
    CommSetReleaseLossPicHook(nullptr);
    CommSetForgetCaptureHook(nullptr);
    CommSetForgetDecodeHook(nullptr);
    CommSetForgetDetectionHook(nullptr);
}

int32_t CommHookSplitGetChnWiring(int32_t s32Chn, int32_t* ps32ViChn, int32_t* ps32ViDev) {
    auto pfn = Take(Hooks().pfnSplitGetChnWiring, __FUNCTION__, "the split channel records");
    return pfn ? pfn(s32Chn, ps32ViChn, ps32ViDev) : -1;
}

void CommHookSplitSetChnPicSize(int32_t s32Chn, int32_t s32Code) {
    if (auto pfn = Take(Hooks().pfnSplitSetChnPicSize, __FUNCTION__, "the split channel records")) pfn(s32Chn, s32Code);
}

int32_t CommHookSplitGetChnVi(int32_t s32Chn, int32_t s32Sel) {
    auto pfn = Take(Hooks().pfnSplitGetChnVi, __FUNCTION__, "SplitGetChnVi");
    return pfn ? pfn(s32Chn, s32Sel) : 0;
}

uint32_t CommHookSplitGetVstd() {
    auto pfn = Take(Hooks().pfnSplitGetVstd, __FUNCTION__, "the split video standard");
    return pfn ? pfn() : 0;
}

int32_t CommHookSplitGetSinglePreview() {
    auto pfn = Take(Hooks().pfnSplitGetSinglePreview, __FUNCTION__, "the split single-preview channel");
    return pfn ? pfn() : -1;
}

int32_t CommHookSignlePreview(int32_t s32Chn) {
    auto pfn = Take(Hooks().pfnSignlePreview, __FUNCTION__, "SignlePreview");
    return pfn ? pfn(s32Chn) : -1;
}

int32_t CommHookMultiPreview(int32_t s32Chn) {
    auto pfn = Take(Hooks().pfnMultiPreview, __FUNCTION__, "MultiPreview");
    return pfn ? pfn(s32Chn) : -1;
}

void CommHookSplitCalcPreScale(uint32_t u32RefWidth, int32_t s32Mode, int32_t s32Code, uint32_t u32Width,
                               uint32_t u32Height, uint32_t* pu32OutWidth, uint32_t* pu32OutHeight) {
    if (auto pfn = Take(Hooks().pfnSplitCalcPreScale, __FUNCTION__, "SplitCalcPreScale")) {
        pfn(u32RefWidth, s32Mode, s32Code, u32Width, u32Height, pu32OutWidth, pu32OutHeight);
        return;
    }
    if (pu32OutWidth != nullptr && pu32OutHeight != nullptr) {
        *pu32OutWidth = u32Width / 2;
        *pu32OutHeight = u32Height / 2;
    }
}

int32_t CommHookLossSetUserPic(int32_t s32Chn, int32_t s32Enable) {
    auto pfn = Take(Hooks().pfnLossSetUserPic, __FUNCTION__, "LossSetUserPic");
    return pfn ? pfn(s32Chn, s32Enable) : -1;
}

int32_t CommHookGetInputResSize(int32_t s32Chn, SIZE_S* pstSize) {
    auto pfn = Take(Hooks().pfnGetInputResSize, __FUNCTION__, "Comm_GetInputResSize");
    return pfn ? pfn(s32Chn, pstSize) : -1;
}

int32_t CommHookCaptureSetRCSrc(int32_t s32Chn, int32_t s32Src, int32_t s32Main, int32_t s32Sub) {
    auto pfn = Take(Hooks().pfnCaptureSetRCSrc, __FUNCTION__, "CaptureSetRCSrc");
    return pfn ? pfn(s32Chn, s32Src, s32Main, s32Sub) : -1;
}

int32_t CommHookCaptureSetFormat(int32_t s32Chn, int32_t s32Stream) {
    auto pfn = Take(Hooks().pfnCaptureSetFormat, __FUNCTION__, "CaptureSetFormat");
    return pfn ? pfn(s32Chn, s32Stream) : -1;
}

int32_t CommHookCaptureGetFormatSize(int32_t s32Chn, int32_t s32Stream) {
    auto pfn = Take(Hooks().pfnCaptureGetFormatSize, __FUNCTION__, "the capture formats");
    return pfn ? pfn(s32Chn, s32Stream) : -1;
}

uint32_t CommHookCaptureGetVstd() {
    auto pfn = Take(Hooks().pfnCaptureGetVstd, __FUNCTION__, "the capture video standard");
    return pfn ? pfn() : 0;
}

int32_t CommHookVdecCreatedChns(int32_t* ps32Chns, int32_t s32Max) {
    auto pfn = Take(Hooks().pfnVdecCreatedChns, __FUNCTION__, "the decoder channel records");
    return pfn ? pfn(ps32Chns, s32Max) : 0;
}

void CommReleaseHeldBlocks() {
    if (auto pfn = Take(Hooks().pfnReleaseSenderBuffers, __FUNCTION__, "the stream senders' release")) pfn();
    if (auto pfn = Take(Hooks().pfnReleaseLossPic, __FUNCTION__, "the lost-signal picture's release")) pfn();
}

void CommTakeHeldBlocks() {
    if (auto pfn = Take(Hooks().pfnTakeSenderBuffers, __FUNCTION__, "the stream senders' new buffers")) pfn();
}

CommForgotten CommForgetMediaUsers() {
    CommForgotten f;
    for (const auto* entry : {&Hooks().pfnForgetCapture, &Hooks().pfnForgetDecode, &Hooks().pfnForgetDetection}) {
        if (CommForgetMediaFn pfn = entry->load()) pfn(&f);
    }
    const uint32_t total = f.u32EncStreams + f.u32JpegChns + f.u32Titles + f.u32Covers + f.u32Snapshots +
                           f.u32Decoders + f.u32Detections;
    if (total != 0) {
        APP_ERR_IN(kSrc, "SampleSysInit",
                   "media system set up again: %u encoder streams, %u JPEG channels, %u titles, %u covers, "
                   "%u snapshot encoders, %u decoder channels, %u detection channels forgotten; the master's "
                   "commands make them again\n",
                   f.u32EncStreams, f.u32JpegChns, f.u32Titles, f.u32Covers, f.u32Snapshots, f.u32Decoders,
                   f.u32Detections);
    }
    return f;
}
