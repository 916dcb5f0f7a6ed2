#include "app/split/split.h"

#include <pthread.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "app/comm/app_log.h"
#include "app/comm/comm_bind.h"
#include "app/comm/comm_cap.h"
#include "app/comm/comm_cfg.h"
#include "app/comm/comm_map.h"

namespace {

constexpr const char* kSrc = "split.c";

SplitState g_state;
int32_t g_chnCount = 0;
std::atomic<int32_t> g_displayMode{0};
std::atomic<int32_t> g_playbackChn{0};
// Guards the fields other threads read (wiring, size code, audio flag) against command 96.
std::mutex g_recLock;

void InitState() {
    std::memset(&g_state, 0, sizeof(g_state));
    g_state.u32One = 1;
    g_state.s32SinglePreview = -1;
    g_state.s32Mode = -1;
    g_state.s32Page = -1;
    g_state.stZoom.s32VoChn = -1;
    for (int32_t i = 0; i < MAX_ANALOG_VO_CHN; ++i) g_state.astChn[i].s32VoChn = i;
}

struct Init {
    Init() { InitState(); }
} g_init;

// ---- Wiring tables ----
const int8_t k653Dev[32] = {6, 6, 6, 6, 7, 7, 7, 7, 1, 1, 1, 1, 0, 0, 0, 0,
                            2, 2, 2, 2, 3, 3, 3, 3, 5, 5, 5, 5, 4, 4, 4, 4};
const int8_t k653Chn[32] = {27, 26, 25, 24, 31, 30, 29, 28, 7,  6,  5,  4,  3,  2,  1,  0,
                            11, 10, 9,  8,  15, 14, 13, 12, 23, 22, 21, 20, 16, 17, 18, 19};
const int8_t k656Dev[32] = {3, 3, 3, 3, 2, 2, 2, 2, 0, 0, 0, 0, 1, 1, 1, 1,
                            7, 7, 7, 7, 6, 6, 6, 6, 4, 4, 4, 4, 5, 5, 5, 5};
const int8_t k656Chn[32] = {12, 13, 14, 15, 8,  9,  10, 11, 0,  1,  2,  3,  4,  5,  6,  7,
                            28, 29, 30, 31, 24, 25, 26, 27, 19, 18, 17, 16, 20, 21, 22, 23};
const int8_t k662Dev[32] = {7, 7, 7, 7, 6, 6, 6, 6, 5, 5, 5, 5, 4, 4, 4, 4,
                            3, 3, 3, 3, 2, 2, 2, 2, 1, 1, 1, 1, 0, 0, 0, 0};
const int8_t k662Chn[32] = {28, 29, 30, 31, 24, 25, 26, 27, 20, 21, 22, 23, 16, 17, 18, 19,
                            12, 13, 14, 15, 8,  9,  10, 11, 4,  5,  6,  7,  0,  1,  2,  3};
const int8_t k665Dev[32] = {0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3,
                            4, 4, 4, 4, 5, 5, 5, 5, 6, 6, 6, 6, 7, 7, 7, 7};
const int8_t k665Chn[32] = {2,  3,  0,  1,  6,  7,  4,  5,  10, 11, 8,  9,  14, 15, 12, 13,
                            18, 19, 16, 17, 22, 23, 20, 21, 26, 27, 24, 25, 30, 31, 28, 29};
const int8_t k666Dev[16] = {7, 7, 6, 6, 5, 5, 4, 4, 3, 3, 2, 2, 1, 1, 0, 0};
const int8_t k666Chn[16] = {28, 29, 24, 25, 20, 21, 16, 17, 12, 13, 8, 9, 4, 5, 0, 1};
const int8_t k659aDev[8] = {1, 0, 3, 2, 5, 4, 7, 6};
const int8_t k659aChn[8] = {4, 0, 12, 8, 20, 16, 28, 24};
const int8_t k659bDev[8] = {1, 1, 3, 3, 5, 5, 7, 7};
const int8_t k659bChn[8] = {4, 6, 12, 14, 20, 22, 28, 30};
const int8_t k658Dev53[8] = {2, 3, 0, 1, 6, 7, 4, 5};
const int8_t k658Chn53[8] = {8, 12, 0, 4, 24, 28, 16, 20};
const int8_t k660Dev50[16] = {3, 3, 0, 0, 7, 7, 4, 4, 2, 2, 1, 1, 6, 6, 5, 5};
const int8_t k660Chn50[16] = {12, 14, 0, 2, 28, 30, 16, 18, 8, 10, 4, 6, 24, 26, 20, 22};
const int8_t k658Dev50[16] = {1, 1, 0, 0, 3, 3, 2, 2, 5, 5, 4, 4, 7, 7, 6, 6};
const int8_t k658Chn50[16] = {4, 6, 0, 2, 12, 14, 8, 10, 20, 22, 16, 18, 28, 30, 24, 26};
const int8_t k661aDev[4] = {0, 2, 4, 6};
const int8_t k661aChn[4] = {0, 8, 16, 24};
const int8_t k661bDev[8] = {1, 1, 3, 3, 5, 5, 7, 7};
const int8_t k661bChn[8] = {5, 4, 13, 12, 21, 20, 29, 28};
const int8_t k661cDev[8] = {0, 1, 2, 3, 4, 5, 6, 7};
const int8_t k661cChn[8] = {0, 4, 8, 12, 16, 20, 24, 28};

// A wiring list: devices, channels and their length (0 for none).
struct List {
    const int8_t* dev;
    const int8_t* chn;
    int32_t len;
};

template <size_t N>
List L(const int8_t (&d)[N], const int8_t (&c)[N]) {
    return {d, c, static_cast<int32_t>(N)};
}

bool In(int32_t v, std::initializer_list<int32_t> set) {
    for (int32_t s : set) {
        if (s == v) return true;
    }
    return false;
}

}  // namespace

const int32_t SplitModeWindows[SPLIT_MODE_NUM] = {1, 2, 4, 8, 9, 16, 1, 6, 12, 25, 36, 13, 5, 10, 20, 0};

SplitWiring SplitWiringOf(uint32_t u32SysType, int32_t c, uint32_t u32Board, const HVR_CAP_S& cap, int32_t s32Chn) {
    SplitWiring w = {0, 0, 0, u32SysType == 661 ? 0 : 3};
    const int32_t b = static_cast<int32_t>(u32Board);
    List list = {nullptr, nullptr, 0};
    bool halves = false;  // the i/2, 2i rule for i 0..15
    int32_t code = 0;
    switch (u32SysType) {
        case 651:
        case 655:
            halves = true;
            code = c == 15 ? 14 : c == 18 ? 18 : In(c, {19, 21}) ? 16 : 2;
            break;
        case 652:
        case 654:
            halves = true;
            code = In(c, {12, 15}) ? 14 : c == 18 ? 18 : In(c, {19, 21}) ? 16 : c == 22 ? 17 : 2;
            break;
        case 653:
            list = L(k653Dev, k653Chn);
            code = c == 15 ? 14 : 2;
            break;
        case 656:
            list = L(k656Dev, k656Chn);
            code = c == 15 ? 14 : 2;
            break;
        case 657:
            list = L(k656Dev, k656Chn);
            code = 2;
            break;
        case 662:
            list = L(k662Dev, k662Chn);
            code = 2;
            break;
        case 663:
            halves = true;
            code = c == 18 ? 18 : In(c, {19, 21}) ? 16 : 14;
            break;
        case 665:
            list = L(k665Dev, k665Chn);
            code = 2;
            break;
        case 666:
            list = L(k666Dev, k666Chn);
            code = cap.as16Analog[HVR_CAP_1080P] >= 1 ? 14 : cap.as16Analog[HVR_CAP_4M] >= 1 ? 16 : 2;
            break;
        case 659:
            list = In(b, {55, 58}) ? L(k659aDev, k659aChn) : L(k659bDev, k659bChn);
            code = c == 12 ? 14 : In(c, {18, 20}) ? 18 : In(c, {19, 21}) ? 16 : c == 23 ? 17 : c == 24 ? 20 : 0;
            break;
        case 658:
        case 660:
            if (In(b, {53, 59})) {
                list = L(k658Dev53, k658Chn53);
            } else if (b == 50) {
                list = u32SysType == 660 ? L(k660Dev50, k660Chn50) : L(k658Dev50, k658Chn50);
            }
            code = In(c, {12, 15}) ? 14 : In(c, {18, 20}) ? 18 : In(c, {19, 21}) ? 16 : c == 24 ? 20 : 2;
            break;
        case 661:
            list = cap.as16Analog[HVR_CAP_5M] == 8 ? L(k661aDev, k661aChn) : b == 56 ? L(k661bDev, k661bChn) : L(k661cDev, k661cChn);
            code = c == 18 ? 18 : 14;
            break;
        default:
            return w;
    }
    if (halves) {
        if (s32Chn < 16) {
            w.s32ViDev = s32Chn / 2;
            w.s32ViChn = 2 * s32Chn;
            w.s32CapSize = code;
        }
    } else if (s32Chn < list.len) {
        w.s32ViDev = list.dev[s32Chn];
        w.s32ViChn = list.chn[s32Chn];
        w.s32CapSize = code;
    }
    // Beyond a list, and on boards the tables leave out, the channel stays on input 0 with code 0.
    return w;
}

int32_t SplitSecondaryOf(uint32_t u32DevType, int32_t i) {
    if (u32DevType == 660 || u32DevType == 661) return i < 16 ? i : 0;
    if (i < 8) return i;
    if (i < 13) return 0;
    if (i < 28) return i - 12;
    return 0;
}

void SplitLockRecords() {
    g_recLock.lock();
}
void SplitUnlockRecords() {
    g_recLock.unlock();
}

int32_t HwSplitDevInit() {
    const SlaveSysCfg cfg = SlaveGetSysCfg();
    const int32_t s32SizeClass = Comm_GetMaxCapSize();
    int64_t n = cfg.u32ChnEnd;
    if (n > MAX_ANALOG_VO_CHN) {
        APP_ERR(kSrc, "TOTAL_VI_CHN_NUM:%d,MAX_ANALOG_VO_CHN:%d", static_cast<int32_t>(cfg.u32ChnEnd),
                MAX_ANALOG_VO_CHN);
        n = MAX_ANALOG_VO_CHN;
    }
    std::lock_guard<std::mutex> lock(g_recLock);
    InitState();
    g_chnCount = static_cast<int32_t>(n);
    for (int32_t i = 0; i < g_chnCount; ++i) {
        SPLIT_CHN_S& r = g_state.astChn[i];
        r.s32VoChn = i;
        r.s32SecChn = SplitSecondaryOf(cfg.u32DevType, i);
        SplitWiring w = SplitWiringOf(cfg.u32SysType, s32SizeClass, cfg.u32BoardSubType, cfg.stHvrCap, i);
        r.s32ViChn = w.s32ViChn;
        r.s32ViDev = w.s32ViDev;
        r.s32CapSize = w.s32CapSize;
        r.s32Wire2 = w.s32Wire2;
    }
    // The input-check lock is a process-wide mutex set up at load; nothing can fail here.
    return 0;
}

int32_t SplitCreate() {
    if (Comm_GetSlaveCfg()->u8ZoomSplit != 0) {
        g_state.stZoom.u32Layer = 0;
        g_state.stZoom.s32VoChn = -1;
        g_state.stZoom.u32Grp = static_cast<uint32_t>(Comm_GetVpssChnMap()[VPSS_MAP_DEC_END]);
    }
    // The split lock is set up at load: initialising a lock again under a second command 96 would
    // break it for a thread that holds it.
    return 0;
}

void* SplitThreadProc(void* pArg) {
    return pArg;
}

int32_t SplitStart(uint32_t u32Vstd) {
    g_state.u32Vstd = u32Vstd;
    // The display start of the binding layer: nothing to do on this board, but it belongs here.
    Comm_ReturnZero();
    if (Comm_GetSlaveCfg()->u8ZoomSplit != 0) {
        pthread_t tid;
        if (pthread_create(&tid, nullptr, SplitThreadProc, nullptr) == 0) pthread_detach(tid);
    }
    return 0;
}

SplitState* SplitGetState() {
    return &g_state;
}

int32_t SplitGetChnCount() {
    return g_chnCount;
}

int32_t SplitGetChnWiring(int32_t s32Chn, int32_t* ps32ViChn, int32_t* ps32ViDev) {
    std::lock_guard<std::mutex> lock(g_recLock);
    if (s32Chn < 0 || s32Chn >= g_chnCount) return -1;
    if (ps32ViChn != nullptr) *ps32ViChn = g_state.astChn[s32Chn].s32ViChn;
    if (ps32ViDev != nullptr) *ps32ViDev = g_state.astChn[s32Chn].s32ViDev;
    return 0;
}

int32_t SplitGetChnVi(int32_t s32Chn, int32_t s32Sel) {
    if (static_cast<uint32_t>(s32Chn) >= MAX_ANALOG_VO_CHN || static_cast<uint32_t>(s32Sel) > 1)
        return s32Sel == 1 ? 3 : 0;
    std::lock_guard<std::mutex> lock(g_recLock);
    return s32Sel == 0 ? g_state.astChn[s32Chn].s32CapSize : g_state.astChn[s32Chn].s32Wire2;
}

void SplitSetChnPicSize(int32_t s32Chn, int32_t s32Code) {
    if (static_cast<uint32_t>(s32Chn) >= MAX_ANALOG_VO_CHN) return;
    std::lock_guard<std::mutex> lock(g_recLock);
    g_state.astChn[s32Chn].s32CapSize = s32Code;
}

int32_t SplitGetChnSecondary(int32_t s32Chn) {
    std::lock_guard<std::mutex> lock(g_recLock);
    if (s32Chn < 0 || s32Chn >= g_chnCount) return -1;
    return g_state.astChn[s32Chn].s32SecChn;
}

int32_t SplitSetChnAudio(int32_t s32Chn, uint32_t bAudio) {
    std::lock_guard<std::mutex> lock(g_recLock);
    if (s32Chn < 0 || s32Chn >= g_chnCount) return -1;
    g_state.astChn[s32Chn].bAudio = bAudio;
    return 0;
}

uint32_t SplitGetChnAudio(int32_t s32Chn) {
    std::lock_guard<std::mutex> lock(g_recLock);
    if (s32Chn < 0 || s32Chn >= g_chnCount) return 0;
    return g_state.astChn[s32Chn].bAudio;
}

uint32_t SplitGetVstd() {
    return g_state.u32Vstd;
}

int32_t SplitGetSinglePreview() {
    return g_state.s32SinglePreview;
}

int32_t SplitGetDisplayMode() {
    return g_displayMode.load();
}
int32_t SplitGetPlaybackChnFlag() {
    return g_playbackChn.load();
}
void SplitStoreDisplayMode(int32_t s32Mode, int32_t s32PlaybackChn) {
    g_displayMode.store(s32Mode);
    g_playbackChn.store(s32PlaybackChn);
}

int32_t SplitWindowChn(int32_t s32Mode, int32_t s32Page, int32_t i) {
    if (s32Mode < 0 || s32Mode >= SPLIT_MODE_NUM || s32Page < 0 || i < 0 || i >= SplitModeWindows[s32Mode])
        return -1;
    const int64_t p = s32Page;
    int64_t k;
    switch (s32Mode) {
        case 3:
            k = p < 32 ? (p / 8) * 8 + i : 8 * p + i;
            break;
        case 4:
            k = p == 1 ? 7 + i : 9 * p + i;
            break;
        case 7:
        case 12:
        case 13:
            k = i;
            break;
        default:
            k = SplitModeWindows[s32Mode] * p + i;
            break;
    }
    // Pages past the last channel name no channel; keep the index within int range.
    return k > 0x7FFF ? 0x7FFF : static_cast<int32_t>(k);
}

int32_t SplitWalkWindows(int32_t s32Mode, int32_t s32Page, int32_t s32Total, int32_t* ps32Chns) {
    if (s32Mode < 0 || s32Mode >= SPLIT_MODE_NUM || s32Page < 0) return -1;
    int32_t n = 0;
    for (int32_t i = 0; i < SplitModeWindows[s32Mode]; ++i) {
        int32_t k = SplitWindowChn(s32Mode, s32Page, i);
        if (k >= s32Total) break;
        ps32Chns[n++] = k;
    }
    return n;
}

void SplitReset() {
    std::lock_guard<std::mutex> lock(g_recLock);
    InitState();
    g_chnCount = 0;
    g_displayMode.store(0);
    g_playbackChn.store(0);
}
