#include <pthread.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "app/comm/app_log.h"
#include "app/comm/comm_cfg.h"
#include "app/enc/capture_state.h"
#include "app/enc/venc_chn.h"
#include "app/enc/venc_push.h"
#include "sdk/venc/mpi_venc.h"

namespace {

constexpr const char* kSrc = "../enc/venc.c";
constexpr int32_t kSendAfter = 4;
constexpr int kJpegSelectMs = 2000;

bool Stopped(const VencPushCtx* pCtx) {
    return pCtx->pStop != nullptr && pCtx->pStop->load();
}

void SleepMs(int ms) {
    usleep(static_cast<useconds_t>(ms) * 1000);
}

}  // namespace

int JpegPushPass(VencPushCtx* pCtx) {
    const SlaveSysCfg cfg = SlaveGetSysCfg();
    const uint32_t u32Chns = static_cast<uint32_t>(
        std::clamp<int64_t>(static_cast<int64_t>(cfg.u32ChnEnd) - cfg.u32ChnStart, 0, CAPTURE_CHN_NUM));
    for (uint32_t c = 0; c < u32Chns && !Stopped(pCtx); ++c) {
        CaptureChnRec* pChn = CaptureChn(c);
        if (pChn->s32JpegStarted.load() < 1 || pChn->s32JpegFormatSet.load() == 0) {
            SleepMs(100);
            continue;
        }
        const VENC_CHN j = pChn->s32JpegVencChn.load();
        VENC_CHN_ATTR_S stAttr;
        std::memset(&stAttr, 0, sizeof(stAttr));
        MK_S32 s32Ret = MK_MPI_VENC_GetChnAttr(j, &stAttr);
        if (s32Ret != 0) {
            APP_ERR(kSrc, "MK_MPI_VENC_GetChnAttr %d err 0x%x", static_cast<int>(c), s32Ret);
            continue;
        }
        const uint32_t w = pChn->u32JpegWidth.load(), h = pChn->u32JpegHeight.load();
        VENC_ATTR_JPEG_S& jpeg = stAttr.stVeAttr.stAttrJpeg;
        if (w != jpeg.u32PicWidth || h != jpeg.u32PicHeight) {
            // A new size: the channel is made again; its binding stays as it was.
            VencStopChn(j);
            stAttr.stVeAttr.enType = VENC_PT_JPEG;
            jpeg.u32MaxPicWidth = jpeg.u32PicWidth = w;
            jpeg.u32MaxPicHeight = jpeg.u32PicHeight = h;
            jpeg.u32BufSize = w * h * 2;
            jpeg.bByFrame = 1;
            const int started = VencStartChn(j, &stAttr);
            const MK_S32 fd = started == 0 ? MK_MPI_VENC_GetFd(j) : -1;
            if (fd == static_cast<MK_S32>(MK_ERR_VENC_INVALID_CHNID) ||
                fd == static_cast<MK_S32>(MK_ERR_VENC_SYS_NOTREADY)) {
                pChn->s32JpegFd = -1;
                APP_ERR(kSrc, "MK_MPI_VENC_GetFd err 0x%x", fd);
                return -1;
            }
            if (fd < 0) {
                // No channel to wait on: the channel rests, with this one line, until the master sends
                // a JPEG format again.
                pChn->s32JpegFd = -1;
                pChn->s32JpegFormatSet = 0;
                APP_ERR(kSrc, "jpegChn %d not made again at %ux%u (0x%x): its pictures stop", j, w, h, fd);
                continue;
            }
            pChn->s32JpegFd = fd;
        }
        s32Ret = MK_MPI_VENC_StartRecvPic(j);
        if (s32Ret != 0) {
            APP_ERR(kSrc, "MK_MPI_VENC_StartRecvPic %d err 0x%x", static_cast<int>(c), s32Ret);
            continue;
        }
        const int fd = pChn->s32JpegFd.load();
        if (fd < 0 || fd >= FD_SETSIZE) {
            // Dropped already (with its line): nothing to wait on.
            MK_MPI_VENC_StopRecvPic(j);
            continue;
        }
        fd_set stSet;
        FD_ZERO(&stSet);
        FD_SET(fd, &stSet);
        timeval tv{kJpegSelectMs / 1000, (kJpegSelectMs % 1000) * 1000};
        int n = select(fd + 1, &stSet, nullptr, nullptr, &tv);
        if (n < 0 && errno == EBADF) {
            // The descriptor is gone (the media system was set up again): dropped once, not selected again.
            int expected = fd;
            if (pChn->s32JpegFd.compare_exchange_strong(expected, -1)) {
                pChn->s32JpegFormatSet = 0;
                APP_ERR(kSrc, "jpegChn %d: descriptor %d is gone, dropped", j, fd);
            }
            continue;
        }
        if (n < 0) {
            APP_ERR(kSrc, "select err");
            SleepMs(4);
            continue;
        }
        if (n == 0) {
            APP_ERR(kSrc, "time out,jpegChn %d", j);
            SleepMs(4);
            continue;
        }
        uint64_t u64Pts = 0;
        if (VencPushWriteFrame(pCtx, j, c, &u64Pts) >= 0) pChn->u64JpegPts = u64Pts;
        if (pCtx->s32SinceSend > kSendAfter || !pCtx->held.empty()) VencPushSend(pCtx);
        s32Ret = MK_MPI_VENC_StopRecvPic(j);
        if (s32Ret != 0) APP_ERR(kSrc, "MK_VENC_StopCH jpegChn %d failed %#X", j, s32Ret);
    }
    if (!Stopped(pCtx)) SleepMs(1000);
    return 0;
}

VencPushCtx* VencPushJpegCtx() {
    static auto* s = [] {
        auto* p = new VencPushCtx;
        p->pSlot = PcivGetJpegTrans();
        p->u32PayloadType = VENC_PT_JPEG;
        return p;
    }();
    return s;
}

void* JPEGCapStreamSlaver(void* pArg) {
    auto* pCtx = pArg != nullptr ? static_cast<VencPushCtx*>(pArg) : VencPushJpegCtx();
    pthread_setname_np(pthread_self(), "jpeg fetch");
    while (!Stopped(pCtx)) {
        if (JpegPushPass(pCtx) < 0) break;
    }
    return nullptr;
}
