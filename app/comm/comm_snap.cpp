#include "app/comm/comm_snap.h"

#include "app/comm/app_log.h"

namespace {

constexpr const char* kSrc = "../comm/comm.c";

std::atomic<CommSnapRecordFn> g_pfnRecord{nullptr};
std::atomic<CommJpegChCreateFn> g_pfnJpegChCreate{nullptr};

}  // namespace

void CommSetSnapRecordHook(CommSnapRecordFn pfn) {
    g_pfnRecord = pfn;
}

void CommSetJpegChCreateHook(CommJpegChCreateFn pfn) {
    g_pfnJpegChCreate = pfn;
}

SnapRecord CommSnapRecord(uint32_t u32Vdec) {
    CommSnapRecordFn pfn = g_pfnRecord.load();
    return SnapRecord(pfn != nullptr ? pfn(u32Vdec) : nullptr);
}

int CommHookJpegChCreate(int32_t s32Chn) {
    CommJpegChCreateFn pfn = g_pfnJpegChCreate.load();
    if (pfn == nullptr) {
        APP_ERR(kSrc, "JPEGChCreate is not available on this slave, vichn = %d\n", s32Chn);
        return -1;
    }
    return pfn(s32Chn);
}
