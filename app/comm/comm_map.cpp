#include "app/comm/comm_map.h"

#include <algorithm>
#include <mutex>

#include "app/comm/comm_cap.h"
#include "app/comm/comm_cfg.h"

namespace {

constexpr int32_t kMaxDec = 256;  // no more processing groups exist

struct MapState {
    std::mutex mutex;  // guards stMap; the command loop writes, copies are taken under it
    COMM_VPSS_CHN_MAP_S stMap{};
};

MapState& State() {
    static auto* s = new MapState;
    return *s;
}

}  // namespace

void CommBuildVpssChnMap(int32_t s32ChnNum, int32_t s32DecNum, bool bWide, COMM_VPSS_CHN_MAP_S* pMap) {
    const int32_t n = std::clamp<int32_t>(s32ChnNum, 0, COMM_MAX_CHIP_CHN);
    const int32_t d = std::clamp<int32_t>(s32DecNum, 0, kMaxDec);
    // The wide layout puts one more set of per-input groups before the decoders.
    const int32_t sets = bWide ? 3 : 2;
    int32_t* w = pMap->as32Word;
    w[VPSS_MAP_IN_BASE] = 0;
    w[VPSS_MAP_IN_END] = n;
    w[VPSS_MAP_MAIN_CHN] = 0;
    w[VPSS_MAP_SUB_CHN] = 1;
    w[VPSS_MAP_IN_LAST4_CHN] = 3;
    w[VPSS_MAP_PREVIEW_CHN] = 2;
    w[VPSS_MAP_SEC_BASE] = (sets - 1) * n;
    w[VPSS_MAP_SEC_END] = sets * n;
    w[VPSS_MAP_SEC_CHN] = 2;
    w[VPSS_MAP_DEC_PREVIEW_CHN] = 2;
    w[VPSS_MAP_DEC_BASE] = sets * n;
    w[VPSS_MAP_DEC_END] = d + sets * n;
    w[VPSS_MAP_DEC_FIRST_CHN] = 2;
    w[VPSS_MAP_SPECIAL0] = d + sets * n;
    w[VPSS_MAP_SPECIAL1] = d + sets * n + 1;
    w[VPSS_MAP_SPECIAL_CHN] = 1;
    w[VPSS_MAP_SPECIAL2] = d + sets * n + 1;
    w[VPSS_MAP_SPECIAL3] = d + sets * n + 2;
    w[VPSS_MAP_GRP_CHN] = 0;
    if (bWide) {
        w[VPSS_MAP_WIDE_CHN] = 2;
        w[VPSS_MAP_WIDE_IN_BASE] = n;
    }
}

int32_t Comm_InitVpssChnMap() {
    SlaveSysCfg cfg = SlaveGetSysCfg();
    int32_t s32Dec = cfg.u32DecNum > static_cast<uint32_t>(kMaxDec) ? kMaxDec : static_cast<int32_t>(cfg.u32DecNum);
    bool bWide = CommWideTest(cfg.u32DevType, cfg.stHvrCap);
    std::lock_guard<std::mutex> lock(State().mutex);
    CommBuildVpssChnMap(CommChipChnNumOf(cfg), s32Dec, bWide, &State().stMap);
    return 0;
}

const int32_t* Comm_GetVpssChnMap() {
    return State().stMap.as32Word;
}

COMM_VPSS_CHN_MAP_S Comm_GetVpssChnMapCopy() {
    std::lock_guard<std::mutex> lock(State().mutex);
    return State().stMap;
}

void CommMapSetDevType(uint32_t u32DevType) {
    std::lock_guard<std::mutex> lock(State().mutex);
    State().stMap.as32Word[VPSS_MAP_DEV_TYPE] = static_cast<int32_t>(u32DevType);
}

void CommResetVpssChnMap() {
    std::lock_guard<std::mutex> lock(State().mutex);
    State().stMap = COMM_VPSS_CHN_MAP_S{};
}
