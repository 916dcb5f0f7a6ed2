#include "app/alarm/alarm_blind.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <iterator>
#include <mutex>
#include <thread>

#include "app/alarm/alarm_common.h"
#include "app/comm/app_log.h"
#include "app/comm/comm_cap.h"
#include "app/comm/comm_cfg.h"
#include "app/comm/comm_picsize.h"
#include "app/comm/comm_setup_hooks.h"
#include "app/comm/comm_vi.h"
#include "app/pci/pciv_slave_thread.h"
#include "sdk/sys/mpi_sys.h"
#include "sdk/vb/mpi_vb.h"
#include "sdk/vda/mpi_vda.h"
#include "sdk/vi/mpi_vi.h"

namespace {

constexpr const char* kSrc = "blind.c";

struct BlindSetting {
    int32_t s32Enabled = 0;
    int32_t s32Level = 0;
    int32_t s32Word = 0;
    int32_t s32ViChn = 0;   // the capture channel bound to the occlusion channel while enabled
    int32_t s32VdaChn = 0;  // that occlusion channel (a later command 96 may change the offset)
    bool bOd = false;       // enabled with the occlusion method
};

struct LossPic {
    bool bBuilt = false;
    VB_BLK blk = VB_INVALID_HANDLE;
    MK_U32 u32Size = 0;
    MK_VOID* pVir = nullptr;
    VIDEO_FRAME_INFO_S stFrame{};
};

// The board's video decoders: no loss, no format, every format code unrecognised.
int32_t BoardVideoLoss(int32_t) {
    return 0;
}
int32_t BoardInputFormat(int32_t) {
    return 0;
}
constexpr std::array<uint8_t, VIDEO_FORMAT_NUM> BoardFormatTable() {
    std::array<uint8_t, VIDEO_FORMAT_NUM> t{};
    for (uint8_t& e : t) e = VIDEO_FORMAT_UNKNOWN;
    return t;
}
constexpr std::array<uint8_t, VIDEO_FORMAT_NUM> kBoardFormats = BoardFormatTable();

struct BlindState {
    std::mutex mutex;  // guards settings
    BlindSetting settings[ALARM_MAX_CHN];
    std::mutex threadMutex;  // guards the thread's start and stop
    std::thread thread;
    std::atomic<bool> stop{false};
    std::mutex picMutex;  // guards pic
    LossPic pic;
    std::mutex checkMutex;  // the input check's lock, tried only
    std::atomic<int32_t> s32LastCheck{0};
    std::atomic<int32_t> as32ResCode[ALARM_MAX_CHN] = {};
    std::atomic<int32_t> s32Chn0Loss{0};  // the channel-0 input flag of the check
    // What the last check read per channel, and what the follow-up last applied (under checkMutex).
    std::atomic<int32_t> as32Format[ALARM_MAX_CHN] = {};
    std::atomic<int32_t> as32Fps[ALARM_MAX_CHN] = {};
    std::atomic<int32_t> as32Loss[ALARM_MAX_CHN] = {};
    int32_t as32AppliedCode[ALARM_MAX_CHN] = {};
    int32_t as32AppliedFps[ALARM_MAX_CHN] = {};
    std::atomic<int32_t (*)(int32_t)> pfnVideoLoss{BoardVideoLoss};
    std::atomic<int32_t (*)(int32_t)> pfnInputFormat{BoardInputFormat};
    std::atomic<const uint8_t*> pu8FormatTable{kBoardFormats.data()};

    BlindState() { ResetSettings(); }
    void ResetSettings() {
        for (int32_t c = 0; c < ALARM_MAX_CHN; ++c) settings[c] = BlindSetting{0, c < 8 ? 100 : 0, 0, 0, 0, false};
    }
};

BlindState& State() {
    static auto* s = new BlindState;
    return *s;
}

bool OdProduct(uint32_t u32DevType) {
    return u32DevType >= 658 && u32DevType <= 661;
}

int32_t ChipChnNum() {
    return std::min(Comm_GetChipChnNum(), static_cast<int32_t>(ALARM_MAX_CHN));
}

constexpr uint32_t kOdPairs[6][2] = {{5, 20}, {4, 20}, {4, 15}, {4, 10}, {4, 7}, {4, 5}};

void LumaChannel(int32_t c, int32_t s32Level) {
    int32_t v = 0;
    if (AlarmViChnOf(c, &v, "BlindCapData") != 0) return;
    const SlaveSysCfg cfg = SlaveGetSysCfg();
    if (v == 0 && cfg.stSlaveCfg.u8BlindSwitch != 0 && State().s32Chn0Loss.load() == 1) {
        SlaveClearBlindBit(c);
        return;
    }
    MK_S32 s32Ret = MK_MPI_VI_SetFrameDepth(v, 1);
    if (s32Ret != 0) {
        APP_ERR(kSrc, "MK_MPI_VI_SetFrameDepth error 0x%x", static_cast<unsigned>(s32Ret));
        return;
    }
    VIDEO_FRAME_INFO_S frame;
    if ((s32Ret = MK_MPI_VI_GetFrame(v, &frame, 2000)) != 0) {
        APP_ERR(kSrc, "vichn:%d,MK_MPI_VI_GetFrame error 0x%x", v, static_cast<unsigned>(s32Ret));
        MK_MPI_VI_SetFrameDepth(v, 0);
        return;
    }
    VI_CHN_LUMA_S luma;
    if (MK_MPI_VI_GetChnLuma(v, &luma) == 0) {
        if (BlindIsDark(luma.u32Luma, frame.u32Width, frame.u32Height, s32Level)) {
            SlaveSetBlindBit(c);
        } else {
            SlaveClearBlindBit(c);
        }
    }
    MK_MPI_VI_ReleaseFrame(v, &frame);
    MK_MPI_VI_SetFrameDepth(v, 0);
}

void OdChannel(int32_t c, int32_t d) {
    VDA_DATA_S data;
    std::memset(&data, 0, sizeof(data));
    MK_S32 s32Ret = MK_MPI_VDA_GetData(d, &data, 0);
    if (s32Ret != 0) {
        // Nothing was fetched: the bit keeps its value and nothing is released.
        APP_ERR(kSrc, "MK_MPI_VDA_GetData VdaChn %d failed with %#x!", d, static_cast<unsigned>(s32Ret));
        return;
    }
    if (data.unData.stOdData.abRgnAlarm[0] == 1) {
        if ((s32Ret = MK_MPI_VDA_ResetOdRegion(d, 0)) != 0)
            APP_ERR(kSrc, "MK_MPI_VDA_ResetOdRegion failed with %#x!", static_cast<unsigned>(s32Ret));
        SlaveSetBlindBit(c);
    } else {
        SlaveClearBlindBit(c);
    }
    if ((s32Ret = MK_MPI_VDA_ReleaseData(d, &data)) != 0)
        APP_ERR(kSrc, "MK_MPI_VDA_ReleaseData failed with %#x!", static_cast<unsigned>(s32Ret));
}

// Waits `us` unless a stop comes first.
void Pause(uint32_t us) {
    BlindState& s = State();
    for (uint32_t left = us; left > 0 && !s.stop.load();) {
        const uint32_t step = std::min<uint32_t>(left, 50000);
        usleep(step);
        left -= step;
    }
}

void RunThread() {
    BlindState& s = State();
    while (!s.stop.load()) {
        BlindCapPass();
        Pause(OdProduct(Comm_GetDevType()) ? 200000 : 1000000);
    }
}

// Builds the black picture; call with picMutex held.
int32_t BuildPic(LossPic& pic) {
    SIZE_S size{};
    Comm_SysGetPicSize(CommHookSplitGetVstd(), CommHookSplitGetChnVi(0, 0), &size, false);
    uint32_t w = size.u32Width, h = size.u32Height, lumaStride, chromaStride, rowW;
    if (SlaveGetSysCfg().stHvrCap.as16Analog[HVR_CAP_4M] >= 1) {
        w = 1440;
        lumaStride = 1440;
        chromaStride = 368;
        rowW = 1440;
    } else if (w == 944) {
        lumaStride = 960;
        chromaStride = 240;
        rowW = 960;
    } else {
        lumaStride = (w + 15) & ~15u;
        chromaStride = (w / 4 + 15) & ~15u;
        rowW = w;
    }
    // Whole luma rows of the stride, so the last rows never read into the chroma part.
    const uint32_t y = std::max(rowW, lumaStride) * h;
    const MK_U32 total = y * 3 / 2;
    const VB_BLK blk = MK_MPI_VB_GetBlock(VB_INVALID_POOLID, total, nullptr);
    if (blk == VB_INVALID_HANDLE) {
        APP_ERR(kSrc, "MK_MPI_VB_GetBlock failed %#X", blk);
        return -1;
    }
    const MK_U32 phys = MK_MPI_VB_Handle2PhysAddr(blk);
    if (phys == 0) {
        APP_ERR(kSrc, "MK_MPI_VB_Handle2PhysAddr failed %#X", phys);
        MK_MPI_VB_ReleaseBlock(blk);
        return -1;
    }
    auto* vir = static_cast<uint8_t*>(MK_MPI_SYS_Mmap(phys, total));
    if (vir == nullptr) {
        APP_ERR(kSrc, "MK_MPI_SYS_Mmap failed %#X", 0u);
        MK_MPI_VB_ReleaseBlock(blk);
        return -1;
    }
    const VB_POOL pool = MK_MPI_VB_Handle2PoolId(blk);
    if (pool == VB_INVALID_POOLID) {
        APP_ERR(kSrc, "MK_MPI_VB_Handle2PoolId failed %#X", pool);
        MK_MPI_SYS_Munmap(vir, total);
        MK_MPI_VB_ReleaseBlock(blk);
        return -1;
    }
    std::memset(vir, 0, y);
    std::memset(vir + y, 0x80, y / 2);
    VI_USERPIC_ATTR_S attr;
    std::memset(&attr, 0, sizeof(attr));
    attr.bPub = 1;
    attr.enUsrPicMode = 0;
    VIDEO_FRAME_INFO_S& f = attr.stUsrPicFrm;
    f.u32Width = w;
    f.u32Height = h;
    f.u32Field = MK_FIELD_FRAME;
    f.enPixelFormat = MK_PIXEL_FORMAT_YUV_SEMIPLANAR_420;
    f.u32PhyAddr[0] = phys;
    f.u32PhyAddr[1] = phys + y;
    f.u32PhyAddr[2] = phys + y + y / 4;
    f.pVirAddr[0] = vir;
    f.pVirAddr[1] = vir + y;
    f.pVirAddr[2] = vir + y + y / 4;
    f.u32Stride[0] = lumaStride;
    f.u32Stride[1] = chromaStride;
    f.u32Stride[2] = chromaStride;
    f.u32PoolId = pool;
    const MK_S32 s32Ret = MK_MPI_VI_SetUserPic(0, &attr);
    if (s32Ret != 0) {
        APP_ERR(kSrc, "MK_MPI_VI_SetUserPic failed %#X", static_cast<unsigned>(s32Ret));
        MK_MPI_SYS_Munmap(vir, total);
        MK_MPI_VB_ReleaseBlock(blk);
        return -1;
    }
    pic = LossPic{true, blk, total, vir, f};
    return 0;
}

}  // namespace

int32_t BlindLumaFactor(int32_t s32Level) {
    static constexpr int32_t kFactors[5] = {20, 32, 56, 64, 80};
    return s32Level >= 1 && s32Level <= 5 ? kFactors[s32Level - 1] : 100;
}

bool BlindIsDark(uint64_t u64Luma, uint32_t u32Width, uint32_t u32Height, int32_t s32Level) {
    return u64Luma <= uint64_t{u32Width} * u32Height * static_cast<uint64_t>(BlindLumaFactor(s32Level));
}

bool BlindOdAttr(int32_t s32Level, uint32_t u32DevType, VDA_CHN_ATTR_S* pstAttr) {
    if (s32Level < 1 || s32Level > 6) return false;
    std::memset(pstAttr, 0, sizeof(*pstAttr));
    pstAttr->enWorkMode = VDA_WORK_MODE_OD;
    VDA_OD_ATTR_S& od = pstAttr->unAttr.stOdAttr;
    od.u32RgnNum = 1;
    VDA_OD_RGN_ATTR_S& rgn = od.astOdRgnAttr[0];
    rgn.stRect = RECT_S{0, 0, 704, 480};
    rgn.u32SadTh = 600 / static_cast<uint32_t>(s32Level);
    rgn.u32AreaTh = (7 - static_cast<uint32_t>(s32Level)) * 10;
    rgn.u32OccCntTh = kOdPairs[s32Level - 1][1];
    rgn.u32UnOccCntTh = 1;
    od.enVdaAlg = 0;
    od.enMbSize = VDA_MB_8PIXEL;
    od.enMbSadBits = VDA_MB_SAD_16BIT;
    od.enRefMode = 1;
    od.u32VdaIntvl = AlarmSlowProduct(u32DevType) ? 20 : kOdPairs[s32Level - 1][0];
    od.u32BgUpSrcWgt = 128;
    pstAttr->u32Width = 704;
    pstAttr->u32Height = 480;
    return true;
}

int32_t BlindDetectSetParameter(int32_t s32Chn, const BLIND_PARAM_S* pParam) {
    if (pParam == nullptr || !AlarmChnOk(s32Chn)) {
        APP_ERR(kSrc, "channel %d out of range or no settings", s32Chn);
        return -1;
    }
    BlindState& s = State();
    const int32_t s32Level = pParam->u8Level;
    const uint32_t dev = Comm_GetDevType();
    std::lock_guard<std::mutex> lock(s.mutex);
    BlindSetting& st = s.settings[s32Chn];
    if (!OdProduct(dev)) {
        if (pParam->s32Enable != 0) {
            st.s32Level = s32Level;
            st.s32Enabled = 1;
            SlaveClearBlindBitmap();
        } else {
            st.s32Enabled = 0;
        }
        return 0;
    }
    VDA_CHN_ATTR_S attr;
    if (pParam->s32Enable != 0 && !BlindOdAttr(s32Level, dev, &attr)) {
        APP_ERR(kSrc, "level %d out of range", s32Level);
        return -1;
    }
    const int32_t d = s32Chn + ChipChnNum();
    if (st.s32Enabled == 1 && st.bOd) {
        const int32_t s32Ret = AlarmVdaStop(st.s32VdaChn, st.s32ViChn, kSrc, __FUNCTION__);
        if (s32Ret != 0) return s32Ret;
        st.bOd = false;
        st.s32Enabled = 0;
    }
    if (pParam->s32Enable == 0) {
        st.s32Enabled = 0;
        return 0;
    }
    SlaveClearBlindBitmap();
    int32_t v = 0;
    if (AlarmViChnOf(s32Chn, &v, __FUNCTION__) != 0) return -1;
    const int32_t s32Ret = AlarmVdaStart(d, v, &attr, kSrc, __FUNCTION__);
    if (s32Ret != 0) return s32Ret;
    st.s32Level = s32Level;
    st.s32ViChn = v;
    st.s32VdaChn = d;
    st.bOd = true;
    st.s32Enabled = 1;
    return 0;
}

void BlindCapPass() {
    BlindState& s = State();
    const int32_t n = ChipChnNum();
    const bool od = OdProduct(Comm_GetDevType());
    for (int32_t c = 0; c < n && !s.stop.load(); ++c) {
        BlindSetting st;
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            st = s.settings[c];
        }
        if (st.s32Enabled == 0) {
            usleep(100);
            continue;
        }
        if (od) {
            if (st.bOd) OdChannel(c, st.s32VdaChn);
        } else {
            LumaChannel(c, st.s32Level);
            usleep(100);
        }
    }
}

void* BlindCapData(void*) {
    RunThread();
    return nullptr;
}

int32_t BlindDetectCreate() {
    BlindState& s = State();
    {
        std::lock_guard<std::mutex> lock(s.threadMutex);
        if (s.thread.joinable()) {
            APP_ERR(kSrc, "the blind detection thread already runs");
        } else {
            s.stop = false;
            s.thread = std::thread(RunThread);
        }
    }
    SlaveClearBlindBitmap();
    return 0;
}

void BlindDetectStop() {
    BlindState& s = State();
    std::lock_guard<std::mutex> lock(s.threadMutex);
    if (!s.thread.joinable()) return;
    s.stop = true;
    s.thread.join();
}

uint32_t BlindForget() {
    BlindState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    uint32_t n = 0;
    for (BlindSetting& st : s.settings) {
        if (!st.bOd) continue;
        ++n;
        st.bOd = false;
        st.s32Enabled = 0;
    }
    return n;
}

void BlindDetectReset() {
    BlindDetectStop();
    BlindState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    for (int32_t c = 0; c < ALARM_MAX_CHN; ++c) {
        if (s.settings[c].bOd) AlarmVdaStop(s.settings[c].s32VdaChn, s.settings[c].s32ViChn, kSrc, __FUNCTION__);
    }
    s.ResetSettings();
    s.s32Chn0Loss = 0;
    s.s32LastCheck = 0;
    {
        std::lock_guard<std::mutex> check(s.checkMutex);
        for (int32_t c = 0; c < ALARM_MAX_CHN; ++c) {
            s.as32ResCode[c] = 0;
            s.as32Format[c] = 0;
            s.as32Fps[c] = 0;
            s.as32Loss[c] = 0;
            s.as32AppliedCode[c] = 0;
            s.as32AppliedFps[c] = 0;
        }
    }
    VideoLossSetBoard(nullptr);
    SlaveClearBlindBitmap();
}

int32_t LossSetUserPic(int32_t s32Chn, int32_t s32Enable) {
    BlindState& s = State();
    std::lock_guard<std::mutex> lock(s.picMutex);
    if (!s.pic.bBuilt && BuildPic(s.pic) != 0) return -1;
    if (s32Chn < 0) return 0;
    if (!AlarmChnOk(s32Chn)) {
        APP_ERR(kSrc, "channel %d out of range", s32Chn);
        return -1;
    }
    int32_t v = 0;
    if (AlarmViChnOf(s32Chn, &v, __FUNCTION__) != 0) return -1;
    MK_S32 s32Ret;
    if (s32Enable != 0) {
        if ((s32Ret = MK_MPI_VI_EnableUserPic(v)) != 0) {
            APP_ERR(kSrc, "viChn %d MK_MPI_VI_EnableUserPic failed %#X", v, static_cast<unsigned>(s32Ret));
            return -1;
        }
        if ((s32Ret = MK_MPI_VI_DisableChnInterrupt(v)) != 0) {
            APP_ERR(kSrc, "MK_MPI_VI_DisableChnInterrupt channel=%d failed %#X", v, static_cast<unsigned>(s32Ret));
            return -1;
        }
    } else {
        if ((s32Ret = MK_MPI_VI_DisableUserPic(v)) != 0) {
            APP_ERR(kSrc, "viChn %d MK_MPI_VI_DisableUserPic failed %#X", v, static_cast<unsigned>(s32Ret));
            return -1;
        }
        if ((s32Ret = MK_MPI_VI_EnableChnInterrupt(v)) != 0) {
            APP_ERR(kSrc, "MK_MPI_VI_EnableChnInterrupt channel=%d failed %#X", v, static_cast<unsigned>(s32Ret));
            return -1;
        }
    }
    return 0;
}

void LossReleaseUserPic() {
    BlindState& s = State();
    std::lock_guard<std::mutex> lock(s.picMutex);
    if (!s.pic.bBuilt) return;
    MK_MPI_SYS_Munmap(s.pic.pVir, s.pic.u32Size);
    MK_MPI_VB_ReleaseBlock(s.pic.blk);
    s.pic = LossPic{};
}

bool LossGetUserPic(VIDEO_FRAME_INFO_S* pstFrame) {
    BlindState& s = State();
    std::lock_guard<std::mutex> lock(s.picMutex);
    if (!s.pic.bBuilt) return false;
    *pstFrame = s.pic.stFrame;
    return true;
}

SIZE_S CommInputResSizeOfCode(int32_t s32Code) {
    static constexpr SIZE_S kSizes[14] = {{1280, 720},  {1920, 1080}, {704, 480},   {704, 576},   {928, 480},
                                          {928, 576},   {1920, 1035}, {944, 1080},  {1920, 1440}, {2560, 1944},
                                          {2560, 1440}, {1280, 1440}, {960, 1440},  {3840, 2160}};
    if (s32Code < 1 || s32Code > 14) return SIZE_S{0xFFFFFFFFu, 0xFFFFFFFFu};
    return kSizes[s32Code - 1];
}

SIZE_S* Comm_GetInputResSize(SIZE_S* pstSize, int32_t s32Chn) {
    const int32_t code = static_cast<uint32_t>(s32Chn) < ALARM_MAX_CHN ? State().as32ResCode[s32Chn].load() : 0;
    *pstSize = CommInputResSizeOfCode(code);
    return pstSize;
}

int32_t VideoLossCheck() {
    BlindState& s = State();
    std::unique_lock<std::mutex> lock(s.checkMutex, std::try_to_lock);
    if (!lock.owns_lock()) return s.s32LastCheck.load();
    const int32_t n = ChipChnNum();
    const uint32_t u32Vstd = CommHookSplitGetVstd();
    int32_t result = 0;
    for (int32_t c = 0; c < n; ++c) {
        const int32_t loss = s.pfnVideoLoss.load()(c);
        const int32_t format = s.pfnInputFormat.load()(c);
        int32_t code = 0, fps = 0;
        VideoFormatLookup(s.pu8FormatTable.load(), format, u32Vstd, &code, &fps);
        s.as32Format[c] = format;
        s.as32ResCode[c] = code;
        s.as32Fps[c] = fps;
        s.as32Loss[c] = loss != 0 ? 1 : 0;
        if (c == 0) s.s32Chn0Loss = loss != 0 ? 1 : 0;
        if (loss != 0) {
            result |= static_cast<int32_t>(1u << c);
            SlaveClearMotionBit(c);
            LossSetUserPic(c, 1);
        }
    }
    s.s32LastCheck = result;
    return result;
}

int32_t VideoLossDispatch() {
    const int32_t cls = Comm_GetMaxCapSize();
    const uint32_t sub = Comm_GetBoardSubType();
    static constexpr uint32_t kSubs[] = {42, 48, 49, 55, 56, 57, 58};
    if (cls == 5 || cls == 6 || std::find(std::begin(kSubs), std::end(kSubs), sub) != std::end(kSubs))
        return VideoLossCheck();
    return cls == 4 ? 0 : -1;
}

void VideoFormatLookup(const uint8_t* pu8Table, int32_t s32Format, uint32_t u32Vstd, int32_t* ps32Code,
                       int32_t* ps32Fps) {
    static constexpr int32_t kRates[] = {0, 25, 30, 50, 60};
    const uint8_t e = pu8Table != nullptr && s32Format >= 0 && s32Format < VIDEO_FORMAT_NUM ? pu8Table[s32Format]
                                                                                         : VIDEO_FORMAT_UNKNOWN;
    const uint32_t rate = e >> VIDEO_FORMAT_FPS_SHIFT;
    *ps32Code = e & VIDEO_FORMAT_CODE_MASK;
    *ps32Fps = rate != VIDEO_FORMAT_FPS_STD && rate < std::size(kRates) ? kRates[rate] : (u32Vstd != 0 ? 30 : 25);
}

void VideoLossSetBoard(const VIDEO_INPUT_BOARD_S* b) {
    BlindState& s = State();
    s.pfnVideoLoss = b != nullptr && b->pfnVideoLoss != nullptr ? b->pfnVideoLoss : BoardVideoLoss;
    s.pfnInputFormat = b != nullptr && b->pfnInputFormat != nullptr ? b->pfnInputFormat : BoardInputFormat;
    s.pu8FormatTable = b != nullptr && b->pu8FormatTable != nullptr ? b->pu8FormatTable : kBoardFormats.data();
}

int32_t VideoLossGetFormat(int32_t s32Chn) {
    return static_cast<uint32_t>(s32Chn) < ALARM_MAX_CHN ? State().as32Format[s32Chn].load() : 0;
}

int32_t VideoFormatFollowUp() {
    BlindState& s = State();
    std::lock_guard<std::mutex> lock(s.checkMutex);
    const int32_t n = ChipChnNum();
    int32_t applied = 0;
    for (int32_t c = 0; c < n; ++c) {
        const int32_t code = s.as32ResCode[c].load(), fps = s.as32Fps[c].load();
        if (code == s.as32AppliedCode[c] && fps == s.as32AppliedFps[c]) continue;
        // The adaptation reads the size back through Comm_GetInputResSize.
        if (CommInputResSizeOfCode(code).u32Width != 0xFFFFFFFFu && Comm_AdaptViChnConfigV2(c, fps) != 0) {
            APP_ERR(kSrc, "channel %d: input code %d at %d frames/s not applied", c, code, fps);
            continue;
        }
        if (LossSetUserPic(c, s.as32Loss[c].load()) != 0) continue;
        s.as32AppliedCode[c] = code;
        s.as32AppliedFps[c] = fps;
        ++applied;
    }
    return applied;
}
