#include "app/split/spot.h"

#include <cmath>
#include <mutex>

#include "app/comm/app_log.h"
#include "app/comm/comm_bind.h"
#include "app/comm/comm_cfg.h"
#include "app/comm/comm_setup_hooks.h"
#include "app/comm/comm_vo.h"
#include "app/split/split.h"
#include "sdk/vo/mpi_vo.h"

namespace {

constexpr const char* kSrc = "spot.c";
// Decoded channels the spot can place after the analog ones: display channels run to 63.
constexpr int32_t kMaxDec = VO_MAX_CHN_NUM - MAX_ANALOG_VO_CHN;

std::mutex g_spotLock;
int32_t g_mode = -1;
int32_t g_page = -1;

bool Enabled() {
    return Comm_GetSlaveCfg()->u8SpotEnable != 0;
}

int32_t DecChns(int32_t* ps32Chns) {
    int32_t n = CommHookVdecCreatedChns(ps32Chns, kMaxDec);
    return n < 0 ? 0 : (n > kMaxDec ? kMaxDec : n);
}

void Unbind(int32_t s32VoDev, int32_t s32VoLayer, int32_t s32VoChn) {
    Comm_ViUnBindVo(s32VoDev, s32VoChn);
    MK_MPI_VO_DisableChn(s32VoLayer, s32VoChn);
}

}  // namespace

const int32_t SpotDivWindows[SPOT_MODE_NUM] = {1, 2, 4, 8, 9, 16, -1, -1, -1, 25, 36, 0, 0, 0};

uint8_t SpotGetEnable() {
    return Comm_GetSlaveCfg()->u8SpotEnable;
}

void SpotGetLayout(int32_t* ps32Mode, int32_t* ps32Page) {
    std::lock_guard<std::mutex> lock(g_spotLock);
    if (ps32Mode != nullptr) *ps32Mode = g_mode;
    if (ps32Page != nullptr) *ps32Page = g_page;
}

int32_t SpotSet(void*, const int32_t* ps32Params) {
    if (!Enabled() || ps32Params == nullptr) return 0;
    std::lock_guard<std::mutex> lock(g_spotLock);
    g_mode = ps32Params[0];
    g_page = ps32Params[1];
    return ViBindToVo(SPOT_VO_DEV, SPOT_VO_LAYER, g_mode, g_page);
}

int32_t SpotUnbindSlaveChn(int32_t s32VoDev, int32_t s32VoLayer) {
    if (!Enabled()) return 0;
    int32_t as32Dec[kMaxDec];
    const int32_t nDec = DecChns(as32Dec);
    const int32_t total = SplitGetChnCount();
    for (int32_t j = 0; j < nDec; ++j) Unbind(s32VoDev, s32VoLayer, total + j);
    return 0;
}

int32_t ViBindToVo(int32_t s32VoDev, int32_t s32VoLayer, int32_t s32Mode, int32_t s32Page) {
    if (!Enabled()) return 0;
    // Modes without windows would divide by zero: refused like the unsupported ones.
    if (s32Mode < 0 || s32Mode >= SPOT_MODE_NUM || SpotDivWindows[s32Mode] <= 0 || s32Page < 0) {
        APP_ERR(kSrc, "Not support [DivMode:%d]", s32Mode);
        return -1;
    }
    const int32_t n = SpotDivWindows[s32Mode];
    const int32_t side = static_cast<int32_t>(std::sqrt(static_cast<double>(n)));
    const int32_t cellW = 704 / side;
    const int32_t cellH = (SplitGetVstd() != 0 ? 480 : 576) / side;
    const uint32_t fps = SplitGetVstd() != 0 ? 30 : 25;
    const int32_t total = SplitGetChnCount();
    const SplitState* s = SplitGetState();
    for (int32_t k = 0; k < total; ++k) Unbind(s32VoDev, s32VoLayer, s->astChn[k].s32VoChn);
    SpotUnbindSlaveChn(s32VoDev, s32VoLayer);
    int32_t as32Dec[kMaxDec];
    const int32_t nDec = DecChns(as32Dec);
    for (int32_t i = 0; i < n; ++i) {
        VO_CHN_ATTR_S attr = {};
        attr.stRect.s32X = ((i % side) * cellW + 1) & ~1;
        attr.stRect.s32Y = ((i / side) * cellH + 1) & ~1;
        attr.stRect.u32Width = static_cast<uint32_t>(cellW & ~1);
        attr.stRect.u32Height = static_cast<uint32_t>(cellH & ~1);
        const int64_t k = i + static_cast<int64_t>(s32Page) * n;
        if (k < total) {
            const SPLIT_CHN_S& r = s->astChn[k];
            Comm_VoChnConfig(s32VoLayer, r.s32VoChn, &attr);
            MK_S32 s32Ret = MK_MPI_VO_SetChnFrameRate(s32VoLayer, r.s32VoChn, fps);
            if (s32Ret != 0) APP_ERR(kSrc, "MK_MPI_VO_SetChnFrameRate failed with %#x!", static_cast<unsigned>(s32Ret));
            if ((s32Ret = Comm_ViBindVo(s32VoDev, r.s32VoChn, r.s32ViChn)) != 0)
                APP_ERR(kSrc, "Comm_ViBindVo failed with %#x!", static_cast<unsigned>(s32Ret));
        } else if (k < total + nDec) {
            // A decoded channel's window uses display channel k, past every analog one.
            const int32_t vo = static_cast<int32_t>(k);
            Comm_VoChnConfig(s32VoLayer, vo, &attr);
            Comm_ViUnBindVo(s32VoDev, vo);
            Comm_VdecBindVo(as32Dec[k - total], s32VoDev, vo);
        }
    }
    return 0;
}
