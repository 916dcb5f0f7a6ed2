#include "app/enc/venc_snap.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <system_error>

#include "app/comm/app_log.h"
#include "app/comm/cap_frame.h"
#include "app/comm/comm_bind.h"
#include "app/comm/comm_vpss.h"
#include "app/comm/comm_cfg.h"
#include "app/comm/comm_snap.h"
#include "app/enc/capture_state.h"
#include "app/enc/enc_worker.h"
#include "app/enc/venc_chn.h"
#include "app/enc/venc_list.h"
#include "app/enc/venc_push.h"
#include "platform/host/clock.h"
#include "sdk/venc/mpi_venc.h"
#include "sdk/vpss/mpi_vpss.h"

namespace {

constexpr const char* kSrc = "../enc/venc.c";
constexpr uint32_t kSnapW = 704;
constexpr uint32_t kSnapH = 576;
constexpr uint32_t kSnapBuf = 811008;
constexpr MK_S32 kSnapVpssChn = 3;
constexpr uint64_t kAttempts = 3;
constexpr int kSelectMs = 2000;
constexpr int kIdleMs = 100;
constexpr int kRetryMs = 4;
constexpr uint64_t kMinSleepUs = 400000;
constexpr uint64_t kMaxSleepUs = 8000000;
constexpr uint32_t kSnapThreads = 48;

EncWorker g_astWorker[kSnapThreads];
std::mutex g_startMutex;         // starts and joins of the threads
std::atomic<int> g_stopFd{-1};  // readable while the threads are told to stop; made once

// What a pass came to.
enum class Pass { kStored, kDone, kRetry, kEnd };

void LogFailed(MK_S32 ret) {
    APP_ERR(kSrc, "failed with %#x!", ret);
}

// Waits for the encoder's descriptor or the stop: >0 ready, 0 time-out, -2 stop, -3 the descriptor is
// not open, -1 another error.
int WaitPicture(int fd, int stopFd) {
    pollfd p[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    const int n = poll(p, stopFd >= 0 ? 2 : 1, kSelectMs);
    if (n > 0 && (p[1].revents & POLLIN) != 0) return -2;
    if (n > 0 && (p[0].revents & POLLNVAL) != 0) return -3;
    if (n > 0 && (p[0].revents & POLLERR) != 0) return -1;
    return n;
}

// Brings the encoder to the record's size through processing channel 3 of the record's group.
Pass FitSize(SnapRecord& r, VENC_CHN j) {
    VENC_CHN_ATTR_S a{};
    MK_S32 ret = MK_MPI_VENC_GetChnAttr(j, &a);
    if (ret != 0) {
        APP_ERR(kSrc, "MK_MPI_VENC_GetChnAttr %d err 0x%x", j, ret);
        return Pass::kRetry;
    }
    const uint32_t w = r.Get(SNAP_WIDTH), h = r.Get(SNAP_HEIGHT);
    VENC_ATTR_JPEG_S& jpeg = a.stVeAttr.stAttrJpeg;
    if (w == 0 || h == 0 || (jpeg.u32PicWidth == w && jpeg.u32PicHeight == h)) return Pass::kDone;
    if (MK_MPI_VENC_StopRecvPic(j) != 0) APP_ERR(kSrc, "MK_MPI_VENC_StopRecvPic Fail");
    const MK_S32 grp = r.GetS(SNAP_SRC_GRP);
    ret = CommVpssSetUserMode(grp, kSnapVpssChn, w, h);
    if (ret != 0) {
        LogFailed(ret);
        return Pass::kEnd;
    }
    jpeg.u32PicWidth = w;
    jpeg.u32PicHeight = h;
    ret = MK_MPI_VENC_SetChnAttr(j, &a);
    if (ret != 0) {
        LogFailed(ret);
        return Pass::kEnd;
    }
    ret = MK_MPI_VENC_ResetChn(j);
    if (ret != 0) LogFailed(ret);
    return Pass::kDone;
}

// Fetches the waiting picture and stores it in the record's list.
bool StorePicture(SnapRecord& r, uint32_t u32Vdec, VENC_CHN j) {
    VENC_CHN_STATUS_S st{};
    MK_S32 ret = MK_MPI_VENC_Query(j, &st);
    if (ret != 0) {
        APP_ERR(kSrc, "MK_MPI_VENC_Query:0x%x", ret);
        return false;
    }
    const uint32_t packs = std::max<uint32_t>(1, st.u32FramePacks);
    auto* pPacks = static_cast<VENC_PACK_S*>(std::calloc(packs, sizeof(VENC_PACK_S)));
    if (pPacks == nullptr) {
        APP_ERR(kSrc, "malloc memory err!");
        return false;
    }
    VENC_STREAM_S stream{};
    stream.pstPack = pPacks;
    stream.u32PackCnt = packs;
    ret = MK_MPI_VENC_GetStream(j, &stream, 1);
    if (ret != 0) {
        APP_ERR(kSrc, "MK_MPI_VENC_GetStream:0x%x", ret);
        std::free(pPacks);
        return false;
    }
    bool bStored = false;
    const uint32_t list = r.Get(SNAP_LIST);
    const int lr = CaptureListLock(list);
    if (lr != 0) {
        APP_ERR(kSrc, "JPEGCapStream chan :%d lock failed %#x", static_cast<int>(u32Vdec), lr);
    } else {
        CapStreamInfo info{1, r.Get(SNAP_WIDTH), r.Get(SNAP_HEIGHT), 0};
        bStored = JPEGCopy2Buf(&info, CaptureGetList(list), &stream) == 0;
        r.SetValue(kAttempts);
        CaptureListUnlock(list);
    }
    ret = MK_MPI_VENC_ReleaseStream(j, &stream);
    if (ret != 0) APP_ERR(kSrc, "MK_MPI_VENC_ReleaseStream failed %#x", ret);
    std::free(pPacks);
    return bStored;
}

// One picture pass: size, start, wait, store, stop.
Pass PicturePass(SnapRecord& r, uint32_t u32Vdec, int stopFd) {
    const VENC_CHN j = r.GetS(SNAP_VENC_CHN);
    const Pass fit = FitSize(r, j);
    if (fit != Pass::kDone) return fit;
    MK_S32 ret = MK_MPI_VENC_StartRecvPic(j);
    if (ret != 0) {
        APP_ERR(kSrc, "MK_MPI_VENC_StartRecvPic %d err 0x%x", j, ret);
        return Pass::kRetry;
    }
    const int fd = r.GetS(SNAP_FD);
    const int n = WaitPicture(fd, stopFd);
    if (n == -2) return Pass::kRetry;
    if (n == -3) {
        // The descriptor is gone: dropped once, the thread idles until the encoder is made again.
        r.SetS(SNAP_FD, -1);
        APP_ERR(kSrc, "jpegChn %d: descriptor %d is gone, dropped", j, fd);
        return Pass::kRetry;
    }
    if (n < 0) {
        APP_ERR(kSrc, "select err");
        return Pass::kRetry;
    }
    if (n == 0) {
        for (uint64_t left = r.Value(); left != 0; --left) {
            MK_MPI_VENC_StopRecvPic(j);
            MK_MPI_VENC_ResetChn(j);
            r.SetValue(left - 1);
        }
        return Pass::kRetry;
    }
    const bool bStored = StorePicture(r, u32Vdec, j);
    ret = MK_MPI_VENC_StopRecvPic(j);
    if (ret != 0) APP_ERR(kSrc, "MK_VENC_StopCH jpegChn %d failed %#X", j, ret);
    return bStored ? Pass::kStored : Pass::kDone;
}

// The end of a one-shot: what a periodic set-up bound is let go, the request cleared.
void EndOneShot(SnapRecord& r) {
    const VENC_CHN j = r.GetS(SNAP_VENC_CHN);
    const MK_S32 grp = r.GetS(SNAP_TEARDOWN_GRP);
    if (grp >= 0) {
        MK_MPI_VENC_StopRecvPic(j);
        Comm_VencUnBindVpss(j, grp, kSnapVpssChn);
        MK_S32 ret = MK_MPI_VPSS_DisableChn(grp, kSnapVpssChn);
        if (ret != 0) LogFailed(ret);
        r.SetS(SNAP_TEARDOWN_GRP, -1);
    }
    r.Set(SNAP_REQUESTED, 0);
    MK_S32 ret = MK_MPI_VENC_ResetChn(j);
    if (ret != 0) LogFailed(ret);
}

void Loop(uint32_t k) {
    EncWorker& w = g_astWorker[k];
    const int stopFd = g_stopFd.load();
    uint32_t u32Code = UINT32_MAX;
    uint64_t u64IntervalUs = 0;
    while (!w.Stopping()) {
        SnapRecord r = CommSnapRecord(k);
        if (r.Get(SNAP_RATE) != u32Code) {
            u32Code = r.Get(SNAP_RATE);
            u64IntervalUs = JpegSnapIntervalUs(u32Code);
        }
        const int32_t mode = r.GetS(SNAP_SET_UP);
        if (r.Get(SNAP_REQUESTED) == 0 || mode < 0 || r.GetS(SNAP_FD) < 0) {
            if (w.Wait(kIdleMs)) break;
            continue;
        }
        const uint64_t t0 = varnelle::host::MonotonicUs();
        const Pass p = PicturePass(r, k, stopFd);
        if (p == Pass::kEnd) break;
        // A failed pass waits a little before the next: a lasting failure must not spin.
        if (p == Pass::kRetry && w.Wait(kRetryMs)) break;
        if (mode == 0) {
            // One picture, or as many tries as the record allows.
            if (p != Pass::kStored && r.Value() > 0) r.SetValue(r.Value() - 1);
            if (p == Pass::kStored || r.Value() == 0) EndOneShot(r);
            continue;
        }
        if (p == Pass::kRetry) continue;
        const uint64_t spent = varnelle::host::MonotonicUs() - t0;
        const uint64_t left = u64IntervalUs > spent ? u64IntervalUs - spent : 0;
        if (w.WaitUs(static_cast<long long>(left >= kMinSleepUs && left <= kMaxSleepUs ? left : kMinSleepUs))) break;
    }
}

}  // namespace

uint64_t JpegSnapIntervalUs(uint32_t u32RateCode) {
    // Code 0 would divide by zero: one picture a second.
    if (u32RateCode < 128) return 1000000u / std::max<uint32_t>(1, u32RateCode);
    return static_cast<uint64_t>(256 - std::min<uint32_t>(u32RateCode, 256)) * 1000000u;
}

int JPEGCopy2Buf(CapStreamInfo* pInfo, CapList* pList, const VENC_STREAM_S* pStream) {
    return CapListCopyStream(pInfo, pList, pStream, CAP_FRAME_PICTURE);
}

void* JPEGCapStream(void* pRecord) {
    Loop(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pRecord)));
    return nullptr;
}

bool JpegSnapRunning(uint32_t u32Vdec) {
    std::lock_guard<std::mutex> lock(g_startMutex);
    return u32Vdec < kSnapThreads && g_astWorker[u32Vdec].thread.joinable();
}

uint32_t JpegSnapStopAll() {
    std::lock_guard<std::mutex> lock(g_startMutex);
    uint32_t running = 0;
    for (const EncWorker& w : g_astWorker) running += w.thread.joinable();
    const int stopFd = g_stopFd.load();
    if (stopFd >= 0) {
        uint64_t one = 1;
        if (write(stopFd, &one, sizeof one) != sizeof one) APP_ERR(kSrc, "stop of the snapshot threads not signalled");
    }
    for (EncWorker& w : g_astWorker) w.Stop();
    if (stopFd >= 0) {
        uint64_t v = 0;
        if (read(stopFd, &v, sizeof v) < 0) APP_ERR(kSrc, "stop of the snapshot threads not cleared");
    }
    return running;
}

int JpegSnapChCreate(int32_t s32Chn, VENC_CHN veChn) {
    const SlaveSysCfg cfg = SlaveGetSysCfg();
    const int32_t end = static_cast<int32_t>(std::min<uint32_t>(cfg.u32ChnEnd, CAPTURE_CHN_NUM));
    const int32_t k = s32Chn - end;
    SnapRecord r = CommSnapRecord(static_cast<uint32_t>(k));
    const int32_t list = CaptureJpegListOf(s32Chn);
    if (k < 0 || static_cast<uint32_t>(k) >= kSnapThreads || !r.Valid() || list < 0 || veChn < 0) {
        APP_ERR(kSrc, "JPEGChCreate error, vichn = %d", s32Chn);
        return -1;
    }
    if (JpegSnapRunning(static_cast<uint32_t>(k))) return 0;
    VENC_CHN_ATTR_S a{};
    a.stVeAttr.enType = VENC_PT_JPEG;
    a.stVeAttr.stAttrJpeg = {kSnapW, kSnapH, kSnapBuf, 1, kSnapW, kSnapH, 0, {0, 0}};
    if (VencStartChn(veChn, &a) != 0) {
        APP_ERR(kSrc, "VencStartChn err 0x%x, VeChn=%d VeGroup=%d", -1, veChn, k);
        return -1;
    }
    const MK_S32 fd = MK_MPI_VENC_GetFd(veChn);
    if (fd < 0) {
        r.SetS(SNAP_FD, -1);
        APP_ERR(kSrc, "MK_MPI_VENC_GetFd err 0x%x", fd);
        VencStopChn(veChn);
        return -1;
    }
    r.SetS(SNAP_TEARDOWN_GRP, -1);
    r.Set(SNAP_VDEC_CHN, static_cast<uint32_t>(k));
    r.SetS(SNAP_VENC_CHN, veChn);
    r.Set(SNAP_REQUESTED, 0);
    r.Set(SNAP_SET_UP, 0);
    r.SetS(SNAP_LIST, list);
    r.SetS(SNAP_FD, fd);
    r.Set(SNAP_WIDTH, kSnapW);
    r.Set(SNAP_HEIGHT, kSnapH);
    r.Set(SNAP_KIND, CAPTURE_STREAM_JPEG);
    r.SetS(SNAP_SRC_GRP, -1);
    r.SetValue(kAttempts);
    std::lock_guard<std::mutex> lock(g_startMutex);
    try {
        if (g_stopFd.load() < 0) g_stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        g_astWorker[k].thread = std::thread(JPEGCapStream, reinterpret_cast<void*>(static_cast<uintptr_t>(k)));
    } catch (const std::system_error&) {
        APP_ERR(kSrc, "JPEGChCreate create thread error, vichn = %d", s32Chn);
        r.SetS(SNAP_FD, -1);
        VencStopChn(veChn);
        return -1;
    }
    return 0;
}
