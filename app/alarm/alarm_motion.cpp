#include "app/alarm/alarm_motion.h"

#include <pthread.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>

#include "app/alarm/alarm_common.h"
#include "app/comm/app_log.h"
#include "app/comm/comm_cap.h"
#include "app/comm/comm_cfg.h"
#include "app/pci/pciv_slave_thread.h"
#include "sdk/vda/mpi_vda.h"

namespace {

constexpr const char* kSrc = "motion.c";
constexpr int32_t kUsedRows = 12;
constexpr int32_t kMapRows = MOTION_MB_MAP_BYTES / MOTION_MB_ROW_BYTES;

struct MotionRecord {
    std::mutex mutex;  // guards everything below
    int32_t s32Enabled = 0;
    int32_t s32Running = 0;
    int32_t s32SadTh = 0;
    int32_t s32CntTh = 0;
    int32_t s32Fd = -1;
    int32_t s32ViChn = 0;  // the capture channel bound while running
    int32_t s32Marked = 0;
    uint32_t au32Region[MOTION_REGION_ROWS] = {};
    uint8_t au8Map[MOTION_MB_MAP_BYTES] = {};
};

// Records and their locks exist from load on: the thread may use them while commands arrive.
struct MotionState {
    MotionRecord records[ALARM_MAX_CHN];
    std::atomic<uint32_t> u32StateWord{0};
    std::mutex threadMutex;  // guards the thread's start and stop
    std::thread thread;
    std::atomic<bool> stop{false};
};

MotionState& State() {
    static auto* s = new MotionState;
    return *s;
}

struct LevelRow {
    int32_t s32SadTh;
    int32_t s32Divisor;
};
constexpr LevelRow kLevels[6] = {{14, 100}, {14, 150}, {12, 200}, {10, 200}, {8, 200}, {6, 200}};

VDA_CHN_ATTR_S MotionAttr() {
    VDA_CHN_ATTR_S a;
    std::memset(&a, 0, sizeof(a));
    a.enWorkMode = VDA_WORK_MODE_MD;
    VDA_MD_ATTR_S& md = a.unAttr.stMdAttr;
    md.enVdaAlg = 0;
    md.enMbSize = VDA_MB_16PIXEL;
    md.enMbSadBits = VDA_MB_SAD_8BIT;
    md.enRefMode = 0;
    md.u32MdBufNum = 8;
    md.u32VdaIntvl = AlarmSlowProduct(Comm_GetDevType()) ? 20 : 4;
    md.u32BgUpSrcWgt = 255;
    md.u32SadTh = 100;
    md.u32ObjNumMax = 128;
    a.u32Width = MOTION_PIC_WIDTH;
    a.u32Height = MOTION_PIC_HEIGHT;
    return a;
}

int32_t ChipChnNum() {
    return std::min(Comm_GetChipChnNum(), static_cast<int32_t>(ALARM_MAX_CHN));
}

void RunThread() {
    MotionState& s = State();
    while (!s.stop.load()) {
        const int32_t n = MotionCapPass(100);
        // Nothing watched: look again in a second, a little at a time so a stop is quick.
        for (int i = 0; i < (n < 0 ? 20 : 1) && !s.stop.load(); ++i) usleep(50000);
    }
}

}  // namespace

int32_t MotionBuildMbMap(const uint32_t* pu32Region, uint8_t* pu8Map) {
    std::memset(pu8Map, 0, MOTION_MB_MAP_BYTES);
    for (int32_t r = 0; r < kUsedRows; ++r) {
        for (int32_t c = 0; c < 16; ++c) {
            if ((pu32Region[r] >> c & 1u) == 0) continue;
            const int32_t y0 = 40 * r / 16, y1 = std::min((40 * r + 40 + 15) / 16, kMapRows);
            const int32_t x0 = 40 * c / 16, x1 = std::min((40 * c + 40 + 8) / 16, MOTION_MB_ROW_BYTES);
            for (int32_t y = y0; y < y1; ++y) std::memset(pu8Map + y * MOTION_MB_ROW_BYTES + x0, 1, x1 - x0);
        }
    }
    return static_cast<int32_t>(std::count(pu8Map, pu8Map + MOTION_MB_MAP_BYTES, 1));
}

int32_t MotionBuildMbMapEx(const uint32_t* pu32Region, uint32_t u32Width, uint32_t u32Height,
                           std::vector<uint8_t>* pMap) {
    const uint32_t stride = u32Width / 16, rows = (u32Height + 15) / 16;
    pMap->assign(static_cast<size_t>(stride) * rows, 0);
    const uint32_t cellW = u32Width / 16, cellH = u32Height / 12;
    for (uint32_t r = 0; r < static_cast<uint32_t>(kUsedRows); ++r) {
        for (uint32_t c = 0; c < 16; ++c) {
            if ((pu32Region[r] >> c & 1u) == 0) continue;
            const uint32_t y0 = r * cellH / 16, y1 = std::min((r * cellH + cellH + 15) / 16, rows);
            const uint32_t x0 = c * cellW / 16, x1 = std::min((c * cellW + cellW + 15) / 16, stride);
            for (uint32_t y = y0; y < y1; ++y) {
                for (uint32_t x = x0; x < x1; ++x) (*pMap)[y * stride + x] = 1;
            }
        }
    }
    return static_cast<int32_t>(std::count(pMap->begin(), pMap->end(), 1));
}

MotionThresholds MotionLevelThresholds(int32_t s32Level, int32_t s32Marked) {
    if (s32Level < 1 || s32Level > 6) {
        APP_ERR(kSrc, "input param iLevel error!");
        return {14, 100};
    }
    const LevelRow& row = kLevels[s32Level - 1];
    if (s32Marked == 0) return {row.s32SadTh, 10000};
    return {row.s32SadTh, std::max(1, s32Marked / row.s32Divisor)};
}

uint32_t MotionCountChanged(const uint8_t* pu8Map, const VDA_DATA_S& stData, const uint8_t* pu8Sad, int32_t s32SadTh) {
    const VDA_MD_DATA_S& md = stData.unData.stMdData;
    if (!md.bMbSadValid || pu8Sad == nullptr) return 0;
    const uint32_t stride = md.stMbSadData.u32Stride;
    // The map holds 40 macroblocks a row: wider results are watched only as far as it reaches.
    const uint32_t w = std::min<uint32_t>(stData.u32MbWidth, MOTION_MB_ROW_BYTES);
    const uint32_t h = std::min<uint32_t>(stData.u32MbHeight, kMapRows);
    // Eight macroblocks at a time while the threshold fits 7 bits (every level's does): a byte's top
    // bit is set when its SAD is above the threshold, the map's 1 is moved onto that bit.
    constexpr uint64_t kOnes = 0x0101010101010101ull, kLow7 = kOnes * 0x7F, kTop = kOnes * 0x80;
    const bool swar = s32SadTh >= 0 && s32SadTh <= 127;
    const uint64_t add = kOnes * static_cast<uint64_t>(127 - (swar ? s32SadTh : 0));
    uint32_t count = 0;
    uint64_t lanes = 0;  // per byte lane, at most 5 a row for 30 rows: never above 255
    for (uint32_t y = 0; y < h; ++y) {
        const uint8_t* sad = pu8Sad + static_cast<size_t>(y) * stride;
        const uint8_t* map = pu8Map + y * MOTION_MB_ROW_BYTES;
        auto word = [&](uint32_t at) {
            uint64_t s, m;
            std::memcpy(&s, sad + at, 8);
            std::memcpy(&m, map + at, 8);
            const uint64_t above = (((s & kLow7) + add) | s) & kTop;
            lanes += (above & ((m & kOnes) << 7)) >> 7;
        };
        uint32_t x = 0;
        if (swar && w == MOTION_MB_ROW_BYTES) {
            // The usual 640-wide result: five words, unrolled.
            word(0), word(8), word(16), word(24), word(32);
            x = w;
        } else if (swar) {
            for (; x + 8 <= w; x += 8) word(x);
        }
        for (; x < w; ++x) count += (map[x] == 1) & (sad[x] > s32SadTh);
    }
    constexpr uint64_t kEven = 0x00FF00FF00FF00FFull;
    const uint64_t pairs = (lanes & kEven) + ((lanes >> 8) & kEven);
    count += static_cast<uint32_t>((pairs * 0x0001000100010001ull) >> 48);
    return count;
}

int32_t MotionDetectSetParameter(int32_t s32Chn, const MOTION_PARAM_S* pParam) {
    if (pParam == nullptr) {
        APP_ERR(kSrc, "error pParam is NULL point");
        return -1;
    }
    if (!AlarmChnOk(s32Chn)) {
        APP_ERR(kSrc, "channel %d out of range", s32Chn);
        return -1;
    }
    if (Comm_GetMaxCapSize() == 25) return 0;
    MotionRecord& r = State().records[s32Chn];
    std::lock_guard<std::mutex> lock(r.mutex);
    std::memcpy(r.au32Region, pParam->au32Region, sizeof(r.au32Region));
    if (r.s32Running) {
        const int32_t s32Ret = AlarmVdaStop(s32Chn, r.s32ViChn, kSrc, __FUNCTION__);
        if (s32Ret != 0) return s32Ret;
        r.s32Running = 0;
        r.s32Enabled = 0;
    }
    if (pParam->s32Enable == 0) {
        r.s32Enabled = 0;
        r.s32Running = 0;
        return 0;
    }
    SlaveClearMotionBitmap();
    State().u32StateWord.store(0);
    int32_t s32ViChn = 0;
    if (AlarmViChnOf(s32Chn, &s32ViChn, __FUNCTION__) != 0) return -1;
    const VDA_CHN_ATTR_S attr = MotionAttr();
    const int32_t s32Ret = AlarmVdaStart(s32Chn, s32ViChn, &attr, kSrc, __FUNCTION__);
    if (s32Ret != 0) return s32Ret;
    // Only a channel that receives pictures counts as running and watched.
    r.s32ViChn = s32ViChn;
    r.s32Enabled = 1;
    r.s32Running = 1;
    r.s32Marked = MotionBuildMbMap(r.au32Region, r.au8Map);
    const MotionThresholds th = MotionLevelThresholds(pParam->s32Level, r.s32Marked);
    r.s32SadTh = th.s32SadTh;
    r.s32CntTh = th.s32CntTh;
    return 0;
}

int32_t MotionCapSelect(int32_t s32TimeoutMs, fd_set* pReady) {
    MotionState& s = State();
    const int32_t n = ChipChnNum();
    FD_ZERO(pReady);
    int maxFd = -1;
    for (int32_t c = 0; c < n; ++c) {
        MotionRecord& r = s.records[c];
        std::lock_guard<std::mutex> lock(r.mutex);
        if (r.s32Enabled <= 0) continue;
        r.s32Fd = MK_MPI_VDA_GetFd(c);
        if (r.s32Fd < 0 || r.s32Fd >= FD_SETSIZE) {
            APP_ERR(kSrc, "get fd error viChn :%d", c);
            r.s32Fd = -1;
            continue;
        }
        FD_SET(r.s32Fd, pReady);
        maxFd = std::max(maxFd, r.s32Fd);
    }
    if (maxFd <= 0) return -1;
    timeval tv{s32TimeoutMs / 1000, (s32TimeoutMs % 1000) * 1000};
    const int ready = select(maxFd + 1, pReady, nullptr, nullptr, &tv);
    if (ready < 0) {
        APP_ERR(kSrc, "select err");
        FD_ZERO(pReady);
        return 0;
    }
    return ready;
}

int32_t MotionCapEvaluate(const fd_set* pReady) {
    MotionState& s = State();
    const int32_t n = ChipChnNum();
    int32_t evaluated = 0;
    for (int32_t c = 0; c < n; ++c) {
        MotionRecord& r = s.records[c];
        std::lock_guard<std::mutex> lock(r.mutex);
        if (r.s32Enabled <= 0 || r.s32Fd < 0 || !FD_ISSET(r.s32Fd, pReady)) continue;
        VDA_DATA_S data;
        std::memset(&data, 0, sizeof(data));
        // Without waiting: a command 88 between the wait and this lock makes the channel again, and a
        // wait for its first result would hold the lock the next command 88 needs.
        const MK_S32 s32Ret = MK_MPI_VDA_GetData(c, &data, 0);
        if (s32Ret == static_cast<MK_S32>(MK_ERR_VDA_BUF_EMPTY)) continue;
        if (s32Ret != 0) {
            // The channel keeps its bit this pass; nothing was fetched, so nothing is released.
            APP_ERR(kSrc, "MK_MPI_MD_GetData err 0x%x", static_cast<unsigned>(s32Ret));
            continue;
        }
        const uint32_t count = MotionCountChanged(
            r.au8Map, data, static_cast<const uint8_t*>(data.unData.stMdData.stMbSadData.pAddr), r.s32SadTh);
        if (count < static_cast<uint32_t>(r.s32CntTh)) {
            SlaveClearMotionBit(c);
        } else {
            SlaveSetMotionBit(c);
        }
        ++evaluated;
        const MK_S32 s32Rel = MK_MPI_VDA_ReleaseData(c, &data);
        if (s32Rel != 0) APP_ERR(kSrc, "Md Release Data Err 0x%x", static_cast<unsigned>(s32Rel));
    }
    return evaluated;
}

int32_t MotionCapPass(int32_t s32TimeoutMs) {
    fd_set ready;
    const int32_t n = MotionCapSelect(s32TimeoutMs, &ready);
    return n > 0 ? MotionCapEvaluate(&ready) : n;
}

void* MotionCapData(void*) {
    RunThread();
    return nullptr;
}

int32_t MotionDetectCreate() {
    MotionState& s = State();
    std::lock_guard<std::mutex> lock(s.threadMutex);
    if (s.thread.joinable()) {
        APP_ERR(kSrc, "the motion detection thread already runs");
        return 0;
    }
    s.stop = false;
    s.thread = std::thread(RunThread);
    pthread_setname_np(s.thread.native_handle(), "motion detect");
    return 0;
}

void MotionDetectStop() {
    MotionState& s = State();
    std::lock_guard<std::mutex> lock(s.threadMutex);
    if (!s.thread.joinable()) return;
    s.stop = true;
    s.thread.join();
}

void MotionDetectReset() {
    MotionDetectStop();
    MotionState& s = State();
    for (int32_t c = 0; c < ALARM_MAX_CHN; ++c) {
        MotionRecord& r = s.records[c];
        std::lock_guard<std::mutex> lock(r.mutex);
        if (r.s32Running) AlarmVdaStop(c, r.s32ViChn, kSrc, __FUNCTION__);
        r.s32Enabled = r.s32Running = r.s32SadTh = r.s32CntTh = r.s32Marked = 0;
        r.s32Fd = -1;
        std::memset(r.au32Region, 0, sizeof(r.au32Region));
        std::memset(r.au8Map, 0, sizeof(r.au8Map));
    }
    s.u32StateWord.store(0);
    SlaveClearMotionBitmap();
}

uint32_t MotionForget() {
    uint32_t n = 0;
    for (MotionRecord& r : State().records) {
        std::lock_guard<std::mutex> lock(r.mutex);
        n += r.s32Running != 0;
        r.s32Enabled = r.s32Running = 0;
        r.s32Fd = -1;
    }
    return n;
}

int32_t MotionDetectGetState(uint32_t* pData) {
    if (pData == nullptr) {
        APP_ERR(kSrc, "error pData is NULL point");
        return -1;
    }
    const int32_t total = std::clamp(AlarmTotalViChn(), 0, 32);
    const uint32_t mask = total >= 32 ? 0xFFFFFFFFu : (1u << total) - 1;
    MotionState& s = State();
    const uint32_t dev = Comm_GetDevType();
    if (dev >= 651 && dev <= 661) {
        const uint32_t motion = SlaveGetMotionBitmap() & mask;
        s.u32StateWord.store((s.u32StateWord.load() & ~mask) | motion);
    }
    *pData = s.u32StateWord.load();
    s.u32StateWord.fetch_and(~mask);
    return 0;
}

MotionRecordView MotionGetRecord(int32_t s32Chn) {
    if (static_cast<uint32_t>(s32Chn) >= ALARM_MAX_CHN) return {};
    MotionRecord& r = State().records[s32Chn];
    std::lock_guard<std::mutex> lock(r.mutex);
    return {r.s32Enabled, r.s32Running, r.s32SadTh, r.s32CntTh, r.s32Marked};
}
