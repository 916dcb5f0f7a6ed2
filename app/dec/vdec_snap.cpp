#include "app/dec/vdec_snap.h"

#include <algorithm>
#include <cstdlib>

#include "app/comm/app_log.h"
#include "app/comm/comm_bind.h"
#include "app/comm/comm_cfg.h"
#include "app/comm/comm_snap.h"
#include "app/comm/comm_vpss.h"
#include "app/dec/avdec_state.h"
#include "sdk/vpss/mpi_vpss.h"

namespace {

constexpr const char* kSrc = "../dec/AVdecPlay.c";
constexpr MK_S32 kSnapVpssChn = 3;  // the processing channel that feeds the snapshot encoder
constexpr uint32_t kSnapMaxW = 704;
constexpr uint32_t kSnapMaxH = 576;
constexpr uint64_t kAttempts = 3;

bool SnapEnabled() {
    return SlaveGetSysCfg().stSlaveCfg.u8JpegEnable != 0;
}

uint32_t* SnapWords(uint32_t u32Vdec) {
    return u32Vdec < AVDEC_CHN_NUM ? AVdecGetState()->SnapWords(u32Vdec) : nullptr;
}

void Request(uint32_t k) {
    SnapRecord r(SnapWords(k));
    // What a periodic set-up bound is let go after the one picture.
    if (r.GetS(SNAP_SET_UP) > 0) r.SetS(SNAP_TEARDOWN_GRP, r.GetS(SNAP_SRC_GRP));
    r.Set(SNAP_SET_UP, 0);
    r.Set(SNAP_REQUESTED, 1);
}

}  // namespace

int32_t DigitSnapJpeg(int32_t s32Vdec) {
    if (!SnapEnabled() || s32Vdec < 0 || static_cast<uint32_t>(s32Vdec) >= AVDEC_CHN_NUM) return -1;
    const uint32_t k = static_cast<uint32_t>(s32Vdec);
    SnapRecord r(SnapWords(k));
    if (r.Get(SNAP_CREATED) == 0) return -1;
    const uint32_t c = k + SlaveGetSysCfg().u32PlayDecNum;
    if (c >= AVDEC_CHN_NUM) return -1;
    AVdecState* s = AVdecGetState();
    const MK_S32 grp = static_cast<MK_S32>(s->Rec(c, REC_VPSS_GRP));
    if (r.Get(SNAP_SET_UP) == 0) {
        MK_S32 ret = MK_MPI_VPSS_EnableChn(grp, kSnapVpssChn);
        if (ret != 0) APP_ERR(kSrc, "failed with %#x!", ret);
        Comm_VencBindVpss(r.GetS(SNAP_VENC_CHN), grp, kSnapVpssChn);
    }
    r.Set(SNAP_VDEC_CHN, k);
    r.SetS(SNAP_SRC_GRP, grp);
    const uint32_t w = std::min(s->Rec(c, REC_CUR_W), kSnapMaxW);
    const uint32_t h = std::min(s->Rec(c, REC_CUR_H), kSnapMaxH);
    r.Set(SNAP_WIDTH, w);
    r.Set(SNAP_HEIGHT, h);
    MK_S32 ret = CommVpssSetUserMode(grp, kSnapVpssChn, w, h);
    if (ret != 0) {
        APP_ERR(kSrc, "failed with %#x!", ret);
        return -1;
    }
    r.SetS(SNAP_TEARDOWN_GRP, -1);
    r.Set(SNAP_REQUESTED, 1);
    r.Set(SNAP_SET_UP, 1);
    r.SetValue(kAttempts);
    return 0;
}

int32_t DigitSnapJpegRequest(int32_t s32Vdec) {
    if (!SnapEnabled()) return -1;
    if (s32Vdec == -1) {
        const uint32_t n = std::min<uint32_t>(SlaveGetSysCfg().u32DigitalNum, AVDEC_CHN_NUM);
        for (uint32_t k = 0; k < n; ++k) Request(k);
        return 0;
    }
    if (s32Vdec < 0 || static_cast<uint32_t>(s32Vdec) >= AVDEC_CHN_NUM) return -1;
    Request(static_cast<uint32_t>(s32Vdec));
    return 0;
}

void* ExtraMemoryAlloc(size_t u32Size) {
    AVdecState* s = AVdecGetState();
    for (uint32_t c = 0; c < AVDEC_CHN_NUM; ++c) {
        AVdecState::Host& h = s->HostOf(c);
        pthread_mutex_lock(&h.mutex);
        void* p = h.pExtra;
        h.pExtra = nullptr;
        pthread_mutex_unlock(&h.mutex);
        if (p == nullptr) continue;
        // The same buffer may be shared: forget it everywhere before it goes, so it goes once.
        for (uint32_t o = 0; o < AVDEC_CHN_NUM; ++o) {
            AVdecState::Host& other = s->HostOf(o);
            pthread_mutex_lock(&other.mutex);
            if (other.pExtra == p) other.pExtra = nullptr;
            pthread_mutex_unlock(&other.mutex);
        }
        std::free(p);
    }
    void* p = std::malloc(u32Size);
    if (p == nullptr) APP_ERR(kSrc, "%s malloc fail !", __FUNCTION__);
    return p;
}

void* AVdecExtraBuffer(uint32_t u32Chn) {
    if (u32Chn >= AVDEC_CHN_NUM) return nullptr;
    AVdecState::Host& h = AVdecGetState()->HostOf(u32Chn);
    pthread_mutex_lock(&h.mutex);
    void* p = h.pExtra;
    pthread_mutex_unlock(&h.mutex);
    return p;
}

void AVdecSetExtraBuffer(uint32_t u32Chn, void* p) {
    if (u32Chn >= AVDEC_CHN_NUM) return;
    AVdecState::Host& h = AVdecGetState()->HostOf(u32Chn);
    pthread_mutex_lock(&h.mutex);
    h.pExtra = p;
    pthread_mutex_unlock(&h.mutex);
}

void AVdecSnapRegister() {
    CommSetSnapRecordHook(SnapWords);
}
