#include "app/enc/capture_state.h"

#include <new>

namespace {

CaptureViInput g_astViInput[CAPTURE_CHN_NUM];

CaptureState* Block() {
    static CaptureState* s = [] {
        auto* p = new CaptureState;
        FD_ZERO(&p->stFdSet);
        return p;
    }();
    return s;
}

}  // namespace

CaptureViInput* CaptureGetViInput(uint32_t u32Chn) {
    return u32Chn < CAPTURE_CHN_NUM ? &g_astViInput[u32Chn] : nullptr;
}

bool CaptureViInputNarrow(uint32_t u32Chn, uint32_t u32BoardSubType) {
    const CaptureViInput* p = CaptureGetViInput(u32Chn);
    return p != nullptr && (p->u8Input & 0x0F) == 10 && (u32BoardSubType < 55 || u32BoardSubType > 58) &&
           p->s32Mode == 3;
}

CaptureState* CaptureGetState() {
    return Block();
}

void CaptureMarkChnUsed(int fd) {
    if (fd < 0 || fd >= FD_SETSIZE) return;
    CaptureState* s = Block();
    FD_SET(fd, &s->stFdSet);
    if (fd > s->s32MaxFd) s->s32MaxFd = fd;
}

int CaptureLock() {
    return pthread_mutex_lock(&Block()->mtxCapture);
}

int CaptureUnlock() {
    return pthread_mutex_unlock(&Block()->mtxCapture);
}

CaptureChnRec* CaptureChn(uint32_t u32Chn) {
    return u32Chn < CAPTURE_CHN_NUM ? &Block()->astChn[u32Chn] : nullptr;
}

CaptureStreamRec* CaptureStream(uint32_t u32Chn, uint32_t u32Kind) {
    if (u32Chn >= CAPTURE_CHN_NUM || u32Kind > CAPTURE_STREAM_SUB) return nullptr;
    return &Block()->astChn[u32Chn].astStream[u32Kind];
}

int CaptureStateInit() {
    // The block is zero from load; what the commands set before the module is made (the JPEG flag of
    // command 82) stays.
    CaptureState* s = Block();
    if (s->bLocksInit) return 0;
    int ret = pthread_mutex_init(&s->mtxCapture, nullptr);
    if (ret != 0) return ret;
    ret = pthread_mutex_init(&s->mtxSecond, nullptr);
    if (ret != 0) {
        pthread_mutex_destroy(&s->mtxCapture);
        return ret;
    }
    s->bLocksInit = true;
    return 0;
}

void CaptureResetState() {
    CaptureState* s = Block();
    const bool bLocks = s->bLocksInit;
    for (CaptureChnRec& c : s->astChn) {
        for (CaptureStreamRec& st : c.astStream) {
            if (st.bStreamLockInit) pthread_mutex_destroy(&st.mtxStream);
        }
    }
    if (bLocks) {
        pthread_mutex_destroy(&s->mtxCapture);
        pthread_mutex_destroy(&s->mtxSecond);
    }
    for (CaptureViInput& v : g_astViInput) v = CaptureViInput{};
    s->~CaptureState();
    new (s) CaptureState;
    FD_ZERO(&s->stFdSet);
}
