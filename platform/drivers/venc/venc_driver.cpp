#include "platform/drivers/venc/venc_driver.h"

#include <pthread.h>
#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/dev/driver.h"
#include "platform/drivers/core/bind_graph.h"
#include "platform/drivers/core/kernel.h"
#include "platform/drivers/core/pattern.h"
#include "platform/drivers/core/vb_pools.h"
#include "platform/drivers/venc/venc_codec.h"
#include "platform/host/clock.h"
#include "platform/mem/ram.h"
#include "platform/mem/zone.h"

namespace varnelle::drivers {
namespace {

using venc::Codec;
using venc::CodecConfig;
using venc::Unit;

constexpr int kMaxChn = VENC_MAX_CHN_NUM;
constexpr uint32_t kMaxPicSide = 4096;
constexpr uint32_t kMaxRing = 64u << 20;
constexpr uint32_t kDefaultFrameRate = 25;
constexpr uint32_t kMaxFrameRate = 120;
// The driver's own addresses of a ring: its physical address moved into the upper half.
constexpr uint32_t kDrvAddrOffset = 0x80000000u;
constexpr uint64_t kIdleWakeUs = 100000;
// Encoder threads; channel n is encoded by thread n % kEncoderThreads, so a late channel holds up
// only half of the others.
constexpr int kEncoderThreads = 2;

uint32_t Align4(size_t n) { return static_cast<uint32_t>((n + 3) & ~size_t{3}); }

// 16-byte identifier of the user data carried in SEI messages.
constexpr uint8_t kUserDataUuid[16] = {'V', 'a', 'r', 'n', 'e', 'l', 'l', 'e', 'U', 's', 'e', 'r', 'D', 'a', 't', 'a'};

// An SEI NAL unit (user data unregistered) with start code and emulation prevention.
std::vector<uint8_t> MakeUserDataSei(const std::vector<uint8_t>& data) {
    std::vector<uint8_t> rbsp;
    rbsp.push_back(5);  // payload type: user data unregistered
    size_t size = sizeof(kUserDataUuid) + data.size();
    for (; size >= 255; size -= 255) rbsp.push_back(0xFF);
    rbsp.push_back(static_cast<uint8_t>(size));
    rbsp.insert(rbsp.end(), kUserDataUuid, kUserDataUuid + sizeof(kUserDataUuid));
    rbsp.insert(rbsp.end(), data.begin(), data.end());
    rbsp.push_back(0x80);  // trailing bits
    std::vector<uint8_t> nal = {0, 0, 0, 1, 0x06};
    int zeros = 0;
    for (uint8_t b : rbsp) {
        if (zeros >= 2 && b <= 3) {
            nal.push_back(3);
            zeros = 0;
        }
        nal.push_back(b);
        zeros = b == 0 ? zeros + 1 : 0;
    }
    return nal;
}

struct VencFile : dev::File {
    int chn = -1;        // the channel a bind request tied it to
    int32_t getTimeoutMs = -1;
    int32_t sendTimeoutMs = -1;
};

struct Pack {
    uint64_t pos;  // ring position of the header, counted from creation
    uint32_t len;  // header included
    uint32_t dataType;
    bool frameEnd;
};

struct Frame {
    uint32_t seq;
    uint64_t pts;
    bool key;
    uint64_t endPos;  // ring position after the frame's last pack
    uint32_t payloadBytes;
    std::vector<Pack> packs;
};

// What only the encoding side touches; its own lock lets the encoder thread, the push hook and
// frames sent by hand encode one channel without holding the driver's lock. It is held until the
// frame is queued, so frames reach the ring in the order they were coded (lock order: this, then
// the driver's lock).
struct EncState {
    std::mutex mutex;  // guards everything below
    CodecConfig config{};
    std::unique_ptr<Codec> codec;
    uint32_t gopPos = 0;
    std::vector<uint8_t> nv12;
    std::vector<uint8_t> i420;
};

struct Channel {
    uint64_t generation = 0;  // tells a channel from a later one of the same number
    VENC_CHN_ATTR_S attr{};
    uint32_t ringPhys = 0;
    uint32_t ringSize = 0;
    uint8_t* ring = nullptr;  // the driver's mirror mapping
    uint64_t writePos = 0;
    uint64_t releasePos = 0;
    std::deque<Frame> frames;  // oldest first; the first `fetched` have been handed out
    size_t fetched = 0;
    uint32_t seq = 0;
    bool receiving = false;
    // Pacing: frame n of the stream is due at streamStartUs + n * period.
    bool streaming = false;
    uint64_t streamStartUs = 0;
    uint64_t nextIndex = 0;
    uint64_t pushIndex = 0;
    bool keyRequested = true;
    bool reconfigure = false;  // the attributes changed: the codec is set up again
    uint64_t encoded = 0, dropped = 0, missed = 0, keys = 0;
    int vbPool = -1;
    std::vector<uint8_t> pendingUserData;
    std::vector<uint8_t> lastUserData;
    std::map<std::string, std::vector<uint8_t>> params;
    std::map<uint32_t, VENC_ROI_CFG_S> rois;
    std::shared_ptr<EncState> enc = std::make_shared<EncState>();
};

bool IsH264(const VENC_CHN_ATTR_S& a) { return a.stVeAttr.enType == PT_H264; }

uint32_t PicWidth(const VENC_CHN_ATTR_S& a) {
    return IsH264(a) ? a.stVeAttr.stAttrH264e.u32PicWidth : a.stVeAttr.stAttrJpeg.u32PicWidth;
}
uint32_t PicHeight(const VENC_CHN_ATTR_S& a) {
    return IsH264(a) ? a.stVeAttr.stAttrH264e.u32PicHeight : a.stVeAttr.stAttrJpeg.u32PicHeight;
}
uint32_t BufSize(const VENC_CHN_ATTR_S& a) { return a.stVeAttr.au32Attr[2]; }

// Destination frame rate, GOP and bit rate of the rate-control part; defaults where it has none.
struct Rates {
    uint32_t fps = kDefaultFrameRate;
    uint32_t gop = kDefaultFrameRate;
    uint32_t kbps = 0;
};
Rates RatesOf(const VENC_CHN_ATTR_S& a) {
    Rates r;
    const VENC_RC_ATTR_S& rc = a.stRcAttr;
    uint32_t fps = 0;
    switch (rc.enRcMode) {
        case VENC_RC_MODE_H264CBR:
            fps = rc.stAttrH264Cbr.u32DstFrmRate;
            r.gop = rc.stAttrH264Cbr.u32Gop;
            r.kbps = rc.stAttrH264Cbr.u32BitRate;
            break;
        case VENC_RC_MODE_H264VBR:
            fps = rc.stAttrH264Vbr.u32DstFrmRate;
            r.gop = rc.stAttrH264Vbr.u32Gop;
            r.kbps = rc.stAttrH264Vbr.u32MaxBitRate;
            break;
        case VENC_RC_MODE_H264FIXQP:
            fps = rc.stAttrH264FixQp.u32DstFrmRate;
            r.gop = rc.stAttrH264FixQp.u32Gop;
            break;
        default:
            break;
    }
    if (fps >= 1 && fps <= kMaxFrameRate) r.fps = fps;
    if (r.gop == 0) r.gop = 1;
    return r;
}

// 0, or the code that refuses the attributes.
int CheckAttr(const VENC_CHN_ATTR_S& a) {
    if (a.stVeAttr.enType != PT_H264 && a.stVeAttr.enType != PT_JPEG) return MK_ERR_VENC_NOT_SUPPORT;
    uint32_t w = PicWidth(a), h = PicHeight(a);
    uint32_t maxW = a.stVeAttr.au32Attr[0], maxH = a.stVeAttr.au32Attr[1];
    if (w < 16 || h < 16 || w > maxW || h > maxH || maxW > kMaxPicSide || maxH > kMaxPicSide || (w % 2) != 0 ||
        (h % 2) != 0)
        return MK_ERR_VENC_ILLEGAL_PARAM;
    if (BufSize(a) == 0 || BufSize(a) > kMaxRing) return MK_ERR_VENC_ILLEGAL_PARAM;
    return 0;
}

// The pattern number a source shows: a processing group stands for its capture channel.
int PatternOf(const MPP_CHN_S& src) { return src.enModId == MK_ID_VPSS ? src.s32DevId : src.s32ChnId; }

// The parameter operations the driver only keeps: request -> setting, and whether it sets or reads.
struct ParamEntry {
    const char* key;
    uint32_t size;
    bool set;
};
const std::map<unsigned long, ParamEntry>& ParamTable() {
    static const auto* table = [] {
        auto* t = new std::map<unsigned long, ParamEntry>;
#define MK_VENC_PARAM_ENTRY(Func, Kind, Dir, Nr, Record, Key)                                     \
    (*t)[VENC_IOC_##Func] = ParamEntry{#Key, static_cast<uint32_t>(sizeof(Record)),                \
                                       std::string(#Dir) == "W" || std::string(#Func).rfind("Set", 0) == 0};
        MK_VENC_REQUEST_TABLE(MK_VENC_PARAM_ENTRY)
#undef MK_VENC_PARAM_ENTRY
        return t;
    }();
    return *table;
}

class VencDriver : public dev::Driver {
public:
    VencDriver() : Driver("/dev/venc") {}
    ~VencDriver() override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_workCv.notify_all();
        for (std::thread& t : m_threads) t.join();
    }

    std::unique_ptr<dev::File> Open(int) override { return std::make_unique<VencFile>(); }

    void Release(dev::File& file) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto& f = static_cast<VencFile&>(file);
        if (f.chn >= 0) Unlink(f);
    }

    int Ioctl(dev::File& file, unsigned long request, void* arg) override;
    void* Mmap(dev::File& file, void* addr, size_t length, int prot, int flags, off_t offset) override;

    void Reset();
    std::optional<venc_view::Channel> View(int chn);
    int Push(int chn, int frames);
    uint64_t ThreadCpuUs();

private:
    // Requests on a bound channel.
    int Bind(VencFile& f, void* arg);
    int Create(int chn, void* arg);
    int Destroy(int chn);
    int GetStream(VencFile& f, void* arg);
    int ReleaseStream(int chn, void* arg);
    int BufInfo(int chn, void* arg);
    int ResetChn(int chn);
    int StartRecv(int chn, bool on);
    int Query(int chn, void* arg);
    int AttachPool(int chn, void* arg);
    int GetAttr(int chn, void* arg);
    int SetAttr(int chn, void* arg);
    int UserData(int chn, void* arg);
    int Roi(int chn, void* arg, bool set);
    int SendFrame(VencFile& f, void* arg);
    int Param(int chn, const ParamEntry& e, void* arg);
    int ModParam(void* arg, bool set);

    // Channel helpers; call with m_mutex held.
    Channel* Find(int chn) { return m_chn[chn].get(); }
    void DropChannel(int chn);
    void UpdateReadable(int chn);
    void Unlink(VencFile& f);
    uint32_t DrvAddr(const Channel& c, uint64_t pos) const {
        return c.ringPhys + kDrvAddrOffset + static_cast<uint32_t>(pos % c.ringSize);
    }

    // Encoding.
    struct Job {
        int chn;
        uint64_t generation;
        uint64_t frameIndex;
        uint64_t pts;
        int pattern;
        bool key;
        bool reconfigure;
        std::vector<uint8_t> userData;
        std::shared_ptr<EncState> enc;
        CodecConfig config;
        uint32_t gop;
    };
    // Fills the job from the channel; call with m_mutex held.
    Job MakeJob(int chn, Channel& c, uint64_t index, uint64_t pts, int pattern);
    // Encodes outside the driver lock and queues the result; true when the frame reached the ring.
    bool RunJob(Job& job, const uint8_t* nv12 = nullptr, size_t nv12Stride = 0);
    bool Commit(const Job& job, std::vector<Unit>& units, bool key);
    void EnsureThread();
    void EncoderLoop(int first);

    std::mutex m_mutex;  // guards everything below
    std::condition_variable m_streamCv;  // a frame was queued, or a channel went away
    std::condition_variable m_workCv;    // the encoder thread has something new to look at
    std::unique_ptr<Channel> m_chn[kMaxChn];
    std::vector<VencFile*> m_files[kMaxChn];
    uint64_t m_generation = 0;
    std::vector<uint8_t> m_modParam = std::vector<uint8_t>(sizeof(VENC_PARAM_MOD_S));
    bool m_stop = false;
    std::vector<std::thread> m_threads;
};

int VencDriver::Ioctl(dev::File& file, unsigned long request, void* arg) {
    auto& f = static_cast<VencFile&>(file);
    if (request == VENC_IOC_BindChn) return Bind(f, arg);
    if (request == VENC_IOC_SetModParam) return ModParam(arg, true);
    if (request == VENC_IOC_GetModParam) return ModParam(arg, false);
    int chn = f.chn;
    if (chn < 0) return MK_ERR_VENC_NOT_PERM;
    switch (request) {
        case VENC_IOC_CreateChn: return Create(chn, arg);
        case VENC_IOC_DestroyChn: return Destroy(chn);
        case VENC_IOC_GetStream: return GetStream(f, arg);
        case VENC_IOC_ReleaseStream: return ReleaseStream(chn, arg);
        case VENC_IOC_GetBufInfo: return BufInfo(chn, arg);
        case VENC_IOC_SetGetTimeout: return dev::CopyIn(&f.getTimeoutMs, arg);
        case VENC_IOC_SetSendTimeout: return dev::CopyIn(&f.sendTimeoutMs, arg);
        case VENC_IOC_ResetChn: return ResetChn(chn);
        case VENC_IOC_StartRecvPic: return StartRecv(chn, true);
        case VENC_IOC_StopRecvPic: return StartRecv(chn, false);
        case VENC_IOC_Query: return Query(chn, arg);
        case VENC_IOC_AttachVbPool: return AttachPool(chn, arg);
        case VENC_IOC_DetachVbPool: return AttachPool(chn, nullptr);
        case VENC_IOC_GetChnAttr: return GetAttr(chn, arg);
        case VENC_IOC_SetChnAttr: return SetAttr(chn, arg);
        case VENC_IOC_InsertUserData: return UserData(chn, arg);
        case VENC_IOC_GetRoiCfg: return Roi(chn, arg, false);
        case VENC_IOC_SetRoiCfg: return Roi(chn, arg, true);
        case VENC_IOC_SendFrame: return SendFrame(f, arg);
        case VENC_IOC_RequestIDR: {
            uint32_t flag;
            if (dev::CopyIn(&flag, arg) != 0) return -1;
            std::lock_guard<std::mutex> lock(m_mutex);
            Channel* c = Find(chn);
            if (c == nullptr) return MK_ERR_VENC_UNEXIST;
            c->keyRequested = true;
            return 0;
        }
        case VENC_IOC_SetIntraRefresh: return Param(chn, ParamEntry{"IntraRefresh", sizeof(VENC_PARAM_INTRA_REFRESH_S), true}, arg);
        default: break;
    }
    auto it = ParamTable().find(request);
    if (it == ParamTable().end()) return dev::Fail(ENOTTY);
    return Param(chn, it->second, arg);
}

// ---- Binding and the channel life cycle ----

int VencDriver::Bind(VencFile& f, void* arg) {
    uint32_t chn;
    if (dev::CopyIn(&chn, arg) != 0) return -1;
    if (chn >= static_cast<uint32_t>(kMaxChn)) return MK_ERR_VENC_INVALID_CHNID;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (f.chn >= 0) Unlink(f);
    f.chn = static_cast<int>(chn);
    m_files[chn].push_back(&f);
    UpdateReadable(f.chn);
    return 0;
}

void VencDriver::Unlink(VencFile& f) {
    auto& list = m_files[f.chn];
    list.erase(std::remove(list.begin(), list.end(), &f), list.end());
    f.SetReadable(false);
    f.chn = -1;
}

void VencDriver::UpdateReadable(int chn) {
    Channel* c = Find(chn);
    bool ready = c != nullptr && c->fetched < c->frames.size();
    for (VencFile* f : m_files[chn]) f->SetReadable(ready);
}

int VencDriver::Create(int chn, void* arg) {
    VENC_CHN_ATTR_S attr;
    if (dev::CopyIn(&attr, arg) != 0) return -1;
    if (int err = CheckAttr(attr)) return err;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (Find(chn) != nullptr) return MK_ERR(MK_ID_VENC, MK_ERR_EXIST);
    auto c = std::make_unique<Channel>();
    c->ringSize = static_cast<uint32_t>(mem::PageSpan(0, BufSize(attr)));
    c->ringPhys = mem::ZoneAllocator::Local().Allocate(c->ringSize, "", "VENC(" + std::to_string(chn) + ")");
    if (c->ringPhys == 0) return MK_ERR_VENC_NOMEM;
    c->ring = static_cast<uint8_t*>(mem::Ram::Local().MapMirror(c->ringPhys, c->ringSize));
    if (c->ring == nullptr) {
        mem::ZoneAllocator::Local().Free(c->ringPhys);
        return MK_ERR_VENC_NOMEM;
    }
    c->attr = attr;
    c->generation = ++m_generation;
    m_chn[chn] = std::move(c);
    EnsureThread();
    return 0;
}

void VencDriver::DropChannel(int chn) {
    std::unique_ptr<Channel> c = std::move(m_chn[chn]);
    if (!c) return;
    mem::Ram::UnmapMirror(c->ring, c->ringSize);
    mem::ZoneAllocator::Local().Free(c->ringPhys);
    UpdateReadable(chn);
    m_streamCv.notify_all();
}

int VencDriver::Destroy(int chn) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (Find(chn) == nullptr) return MK_ERR_VENC_UNEXIST;
    DropChannel(chn);
    return 0;
}

void VencDriver::Reset() {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (int chn = 0; chn < kMaxChn; ++chn) DropChannel(chn);
    std::fill(m_modParam.begin(), m_modParam.end(), 0);
}

int VencDriver::BufInfo(int chn, void* arg) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Channel* c = Find(chn);
    if (c == nullptr) return MK_ERR_VENC_UNEXIST;
    VENC_DRV_BUF_INFO_S info{c->ringPhys, c->ringPhys + kDrvAddrOffset, c->ringSize, 0};
    return dev::CopyOut(arg, info);
}

void* VencDriver::Mmap(dev::File&, void*, size_t length, int, int, off_t offset) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto& c : m_chn) {
        if (c && static_cast<uint64_t>(offset) == c->ringPhys && length == 2 * static_cast<size_t>(c->ringSize)) {
            void* p = mem::Ram::Local().MapMirror(c->ringPhys, c->ringSize);
            return p != nullptr ? p : MAP_FAILED;
        }
    }
    errno = EINVAL;
    return MAP_FAILED;
}

int VencDriver::ResetChn(int chn) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Channel* c = Find(chn);
    if (c == nullptr) return MK_ERR_VENC_UNEXIST;
    c->frames.clear();
    c->fetched = 0;
    c->releasePos = c->writePos;
    c->keyRequested = true;  // what follows must decode without the dropped frames
    UpdateReadable(chn);
    m_streamCv.notify_all();
    return 0;
}

int VencDriver::StartRecv(int chn, bool on) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Channel* c = Find(chn);
    if (c == nullptr) return MK_ERR_VENC_UNEXIST;
    c->receiving = on;
    c->streaming = false;  // a new stream start is taken when the encoder thread next looks
    m_workCv.notify_all();
    return 0;
}

int VencDriver::Query(int chn, void* arg) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Channel* c = Find(chn);
    if (c == nullptr) return MK_ERR_VENC_UNEXIST;
    VENC_CHN_STATUS_S st{};
    st.u32LeftStreamBytes = static_cast<uint32_t>(c->writePos - c->releasePos);
    st.u32LeftStreamFrames = static_cast<uint32_t>(c->frames.size() - c->fetched);
    st.u32FramePacks = c->fetched < c->frames.size() ? static_cast<uint32_t>(c->frames[c->fetched].packs.size()) : 0;
    return dev::CopyOut(arg, st);
}

int VencDriver::AttachPool(int chn, void* arg) {
    int pool = -1;
    if (arg != nullptr) {
        uint32_t id;
        if (dev::CopyIn(&id, arg) != 0) return -1;
        if (id >= static_cast<uint32_t>(VbPools::kMaxPools) || !VbPools::Instance().Pool(static_cast<int>(id)))
            return MK_ERR_VENC_ILLEGAL_PARAM;
        pool = static_cast<int>(id);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    Channel* c = Find(chn);
    if (c == nullptr) return MK_ERR_VENC_UNEXIST;
    c->vbPool = pool;
    return 0;
}

int VencDriver::GetAttr(int chn, void* arg) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Channel* c = Find(chn);
    if (c == nullptr) return MK_ERR_VENC_UNEXIST;
    return dev::CopyOut(arg, c->attr);
}

int VencDriver::SetAttr(int chn, void* arg) {
    VENC_CHN_ATTR_S attr;
    if (dev::CopyIn(&attr, arg) != 0) return -1;
    if (int err = CheckAttr(attr)) return err;
    std::lock_guard<std::mutex> lock(m_mutex);
    Channel* c = Find(chn);
    if (c == nullptr) return MK_ERR_VENC_UNEXIST;
    // The ring and the picture size are fixed at creation; a new size needs a new channel.
    if (attr.stVeAttr.enType != c->attr.stVeAttr.enType || PicWidth(attr) != PicWidth(c->attr) ||
        PicHeight(attr) != PicHeight(c->attr) || BufSize(attr) != BufSize(c->attr))
        return MK_ERR_VENC_NOT_SUPPORT;
    c->attr = attr;
    c->streaming = false;  // pace from now at the new rate
    c->keyRequested = true;
    c->reconfigure = true;
    m_workCv.notify_all();
    return 0;
}

int VencDriver::UserData(int chn, void* arg) {
    VENC_USER_DATA_S req;
    if (dev::CopyIn(&req, arg) != 0) return -1;
    if (req.pu8Data == nullptr) return dev::Fail(EFAULT);
    if (req.u32Len == 0 || req.u32Len > VENC_USER_DATA_MAX) return MK_ERR_VENC_ILLEGAL_PARAM;
    std::lock_guard<std::mutex> lock(m_mutex);
    Channel* c = Find(chn);
    if (c == nullptr) return MK_ERR_VENC_UNEXIST;
    if (!IsH264(c->attr)) return MK_ERR_VENC_NOT_SUPPORT;
    c->pendingUserData.assign(req.pu8Data, req.pu8Data + req.u32Len);
    c->lastUserData = c->pendingUserData;
    return 0;
}

int VencDriver::Roi(int chn, void* arg, bool set) {
    VENC_ROI_CFG_S roi;
    if (dev::CopyIn(&roi, arg) != 0) return -1;
    if (roi.u32Index >= VENC_MAX_ROI_NUM) return MK_ERR_VENC_ILLEGAL_PARAM;
    std::lock_guard<std::mutex> lock(m_mutex);
    Channel* c = Find(chn);
    if (c == nullptr) return MK_ERR_VENC_UNEXIST;
    if (set) {
        c->rois[roi.u32Index] = roi;
        return 0;
    }
    auto it = c->rois.find(roi.u32Index);
    if (it == c->rois.end()) {
        std::memset(roi.au32Cfg, 0, sizeof(roi.au32Cfg));
        return dev::CopyOut(arg, roi);
    }
    return dev::CopyOut(arg, it->second);
}

int VencDriver::Param(int chn, const ParamEntry& e, void* arg) {
    if (arg == nullptr) return dev::Fail(EFAULT);
    std::lock_guard<std::mutex> lock(m_mutex);
    Channel* c = Find(chn);
    if (c == nullptr) return MK_ERR_VENC_UNEXIST;
    std::vector<uint8_t>& slot = c->params[e.key];
    if (e.set) {
        slot.assign(static_cast<const uint8_t*>(arg), static_cast<const uint8_t*>(arg) + e.size);
        return 0;
    }
    slot.resize(e.size, 0);
    std::memcpy(arg, slot.data(), e.size);
    return 0;
}

int VencDriver::ModParam(void* arg, bool set) {
    if (arg == nullptr) return dev::Fail(EFAULT);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (set) {
        std::memcpy(m_modParam.data(), arg, m_modParam.size());
    } else {
        std::memcpy(arg, m_modParam.data(), m_modParam.size());
    }
    return 0;
}

// ---- Fetching and releasing ----

int VencDriver::GetStream(VencFile& f, void* arg) {
    VENC_STREAM_S st;
    if (dev::CopyIn(&st, arg) != 0) return -1;
    int chn = f.chn;
    std::unique_lock<std::mutex> lock(m_mutex);
    Channel* c = Find(chn);
    if (c == nullptr) return MK_ERR_VENC_UNEXIST;
    const uint64_t generation = c->generation;
    auto ready = [&] {
        c = Find(chn);
        return c == nullptr || c->generation != generation || c->fetched < c->frames.size();
    };
    if (f.getTimeoutMs < 0) {
        m_streamCv.wait(lock, ready);
    } else if (!m_streamCv.wait_for(lock, std::chrono::milliseconds(f.getTimeoutMs), ready)) {
        return MK_ERR_VENC_BUF_EMPTY;
    }
    if (c == nullptr || c->generation != generation) return MK_ERR_VENC_UNEXIST;
    const Frame& fr = c->frames[c->fetched];
    if (st.u32PackCnt < fr.packs.size()) return MK_ERR_VENC_ILLEGAL_PARAM;  // the caller sizes from Query
    if (st.pstPack == nullptr) return dev::Fail(EFAULT);
    for (size_t i = 0; i < fr.packs.size(); ++i) {
        const Pack& p = fr.packs[i];
        VENC_PACK_S& out = st.pstPack[i];
        std::memset(&out, 0, sizeof(out));
        out.u32PhysAddr = c->ringPhys + static_cast<uint32_t>(p.pos % c->ringSize);
        out.pu8UserAddr = reinterpret_cast<MK_U8*>(static_cast<uintptr_t>(DrvAddr(*c, p.pos)));
        out.u32Len = p.len;
        out.u64Pts = fr.pts;
        out.bFrameEnd = p.frameEnd ? 1 : 0;
        out.u32DataType = p.dataType;
        out.u32DataOffset = 0;
    }
    st.u32PackCnt = static_cast<MK_U32>(fr.packs.size());
    st.u32SeqNum = fr.seq;
    std::memset(st.au32StreamInfo, 0, sizeof(st.au32StreamInfo));
    st.au32StreamInfo[0] = fr.key ? 1 : 0;
    st.au32StreamInfo[1] = fr.payloadBytes;
    ++c->fetched;
    UpdateReadable(chn);
    return dev::CopyOut(arg, st);
}

int VencDriver::ReleaseStream(int chn, void* arg) {
    VENC_STREAM_S st;
    if (dev::CopyIn(&st, arg) != 0) return -1;
    std::lock_guard<std::mutex> lock(m_mutex);
    Channel* c = Find(chn);
    if (c == nullptr) return MK_ERR_VENC_UNEXIST;
    // Only the oldest fetched frame may go back, and only as it was handed out.
    if (c->fetched == 0) return MK_ERR_VENC_NOT_PERM;
    const Frame& fr = c->frames.front();
    if (st.u32SeqNum != fr.seq || st.u32PackCnt != fr.packs.size()) return MK_ERR_VENC_NOT_PERM;
    if (st.pstPack == nullptr) return dev::Fail(EFAULT);
    for (size_t i = 0; i < fr.packs.size(); ++i) {
        const VENC_PACK_S& p = st.pstPack[i];
        if (reinterpret_cast<uintptr_t>(p.pu8UserAddr) != DrvAddr(*c, fr.packs[i].pos) || p.u32Len != fr.packs[i].len)
            return MK_ERR_VENC_NOT_PERM;
    }
    c->releasePos = fr.endPos;
    c->frames.pop_front();
    --c->fetched;
    return 0;
}

// ---- Encoding ----

VencDriver::Job VencDriver::MakeJob(int chn, Channel& c, uint64_t index, uint64_t pts, int pattern) {
    Job job;
    job.chn = chn;
    job.generation = c.generation;
    job.frameIndex = index;
    job.pts = pts;
    job.pattern = pattern;
    job.key = c.keyRequested;
    c.keyRequested = false;
    job.reconfigure = c.reconfigure;
    c.reconfigure = false;
    job.userData.swap(c.pendingUserData);
    job.enc = c.enc;
    Rates r = RatesOf(c.attr);
    job.config = CodecConfig{c.attr.stVeAttr.enType, static_cast<int>(PicWidth(c.attr)),
                             static_cast<int>(PicHeight(c.attr)), r.fps, r.kbps, 80};
    job.gop = r.gop;
    return job;
}

bool VencDriver::RunJob(Job& job, const uint8_t* nv12, size_t nv12Stride) {
    std::vector<Unit> units;
    bool key = job.key;
    {
        EncState& e = *job.enc;
        std::lock_guard<std::mutex> encLock(e.mutex);
        const int w = job.config.width, h = job.config.height;
        if (job.reconfigure || !e.codec) {
            e.config = job.config;
            e.codec = venc::MakeCodec(e.config);
            e.gopPos = 0;
        }
        if (!e.codec) return false;
        // A picture the codec lost leaves the next one nothing to refer to.
        auto restartWithKey = [&] {
            std::lock_guard<std::mutex> lock(m_mutex);
            Channel* c = Find(job.chn);
            if (c != nullptr && c->generation == job.generation) c->keyRequested = true;
            return false;
        };
        const size_t ySize = static_cast<size_t>(w) * h;
        const int cw = (w + 1) / 2, ch = (h + 1) / 2;
        if (nv12 == nullptr) {
            e.nv12.resize(Yuv420Size(w, h));
            DrawTestPattern(PatternFrame{e.nv12.data(), static_cast<size_t>(w), e.nv12.data() + ySize,
                                         static_cast<size_t>(w), w, h},
                            job.pattern, job.frameIndex);
            nv12 = e.nv12.data();
            nv12Stride = static_cast<size_t>(w);
        }
        // The codecs take planar chroma; the pattern and the frames fed by hand are semi-planar.
        e.i420.resize(ySize + 2 * static_cast<size_t>(cw) * ch);
        uint8_t* y = e.i420.data();
        uint8_t* u = y + ySize;
        uint8_t* v = u + static_cast<size_t>(cw) * ch;
        for (int row = 0; row < h; ++row) std::memcpy(y + row * w, nv12 + row * nv12Stride, static_cast<size_t>(w));
        const uint8_t* uvPlane = nv12 + nv12Stride * h;
        for (int row = 0; row < ch; ++row) {
            const uint8_t* src = uvPlane + row * nv12Stride;
            for (int x = 0; x < cw; ++x) {
                u[row * cw + x] = src[2 * x];
                v[row * cw + x] = src[2 * x + 1];
            }
        }
        key = key || e.gopPos == 0 || job.config.payloadType == PT_JPEG;
        venc::Picture pic{y, u, v, w, cw, w, h};
        if (!e.codec->Encode(pic, key, job.pts, &units) || units.empty()) return restartWithKey();
        e.gopPos = key ? 1 : e.gopPos + 1;
        if (e.gopPos >= job.gop) e.gopPos = 0;
        if (!job.userData.empty()) {
            auto slice = std::find_if(units.begin(), units.end(), [](const Unit& u) {
                return u.dataType == H264E_NALU_PSLICE || u.dataType == H264E_NALU_ISLICE;
            });
            units.insert(slice, Unit{H264E_NALU_SEI, MakeUserDataSei(job.userData)});
        }
        return Commit(job, units, key);
    }
}

bool VencDriver::Commit(const Job& job, std::vector<Unit>& units, bool key) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Channel* c = Find(job.chn);
    if (c == nullptr || c->generation != job.generation) return false;
    uint64_t need = 0;
    for (const Unit& u : units) need += Align4(VENC_STREAM_OFFSET + u.bytes.size());
    if (need > c->ringSize - (c->writePos - c->releasePos)) {
        // Unreleased packs are never written over; the stream must restart from a key frame.
        ++c->dropped;
        c->keyRequested = true;
        return false;
    }
    Frame fr;
    fr.seq = c->seq++;
    fr.pts = job.pts;
    fr.key = key;
    fr.payloadBytes = 0;
    for (size_t i = 0; i < units.size(); ++i) {
        const Unit& u = units[i];
        uint32_t len = static_cast<uint32_t>(VENC_STREAM_OFFSET + u.bytes.size());
        VencPackHeader h{};
        h.magic = kVencPackMagic;
        h.len = len;
        h.seq = fr.seq;
        h.index = static_cast<uint32_t>(i);
        h.pts = job.pts;
        h.dataType = u.dataType;
        h.frameEnd = i + 1 == units.size() ? 1 : 0;
        h.chn = static_cast<uint32_t>(job.chn);
        // The mirror mapping makes a pack that runs past the ring's end one contiguous write.
        uint8_t* dst = c->ring + c->writePos % c->ringSize;
        std::memcpy(dst, &h, sizeof(h));
        std::memcpy(dst + sizeof(h), u.bytes.data(), u.bytes.size());
        fr.packs.push_back(Pack{c->writePos, len, u.dataType, h.frameEnd != 0});
        fr.payloadBytes += static_cast<uint32_t>(u.bytes.size());
        c->writePos += Align4(len);
    }
    fr.endPos = c->writePos;
    c->frames.push_back(std::move(fr));
    ++c->encoded;
    if (key) ++c->keys;
    UpdateReadable(job.chn);
    m_streamCv.notify_all();
    return true;
}

int VencDriver::SendFrame(VencFile& f, void* arg) {
    VIDEO_FRAME_INFO_S frame;
    if (dev::CopyIn(&frame, arg) != 0) return -1;
    Job job;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Channel* c = Find(f.chn);
        if (c == nullptr) return MK_ERR_VENC_UNEXIST;
        if (!c->receiving) return MK_ERR_VENC_NOT_PERM;
        if (frame.u32Width != PicWidth(c->attr) || frame.u32Height != PicHeight(c->attr))
            return MK_ERR_VENC_ILLEGAL_PARAM;
        job = MakeJob(f.chn, *c, c->pushIndex++, host::MonotonicUs(), f.chn);
    }
    // Semi-planar 4:2:0 from simulated RAM: luma at component 0, interleaved chroma at component 1.
    const uint32_t w = frame.u32Width, h = frame.u32Height;
    if (frame.u32Stride[0] < w || frame.u32Stride[1] < w) return MK_ERR_VENC_ILLEGAL_PARAM;
    std::vector<uint8_t> nv12(Yuv420Size(static_cast<int>(w), static_cast<int>(h)));
    const mem::Ram& ram = mem::Ram::Local();
    for (uint32_t row = 0; row < h; ++row) {
        if (!ram.Read(frame.u32PhyAddr[0] + row * frame.u32Stride[0], nv12.data() + row * w, w))
            return MK_ERR_VENC_ILLEGAL_PARAM;
    }
    for (uint32_t row = 0; row < (h + 1) / 2; ++row) {
        if (!ram.Read(frame.u32PhyAddr[1] + row * frame.u32Stride[1], nv12.data() + w * h + row * w, w))
            return MK_ERR_VENC_ILLEGAL_PARAM;
    }
    return RunJob(job, nv12.data(), w) ? 0 : MK_ERR(MK_ID_VENC, MK_ERR_BUF_FULL);
}

int VencDriver::Push(int chn, int frames) {
    int queued = 0;
    for (int i = 0; i < frames; ++i) {
        Job job;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            Channel* c = Find(chn);
            if (c == nullptr) break;
            auto src = BindGraph::Instance().SourceOf(MPP_CHN_S{MK_ID_VENC, 0, chn});
            job = MakeJob(chn, *c, c->pushIndex++, host::MonotonicUs(), src ? PatternOf(*src) : chn);
        }
        if (RunJob(job)) ++queued;
    }
    return queued;
}

void VencDriver::EnsureThread() {
    if (!m_threads.empty()) return;
    for (int i = 0; i < kEncoderThreads; ++i) m_threads.emplace_back([this, i] { EncoderLoop(i); });
}

void VencDriver::EncoderLoop(int first) {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stop) {
        const uint64_t now = host::MonotonicUs();
        uint64_t wake = now + kIdleWakeUs;
        std::vector<Job> jobs;
        for (int chn = first; chn < kMaxChn; chn += kEncoderThreads) {
            Channel* c = Find(chn);
            if (c == nullptr || !c->receiving) continue;
            auto src = BindGraph::Instance().SourceOf(MPP_CHN_S{MK_ID_VENC, 0, chn});
            if (!src) {
                c->streaming = false;  // pictures flow again from the next bind on
                continue;
            }
            const uint64_t period = 1000000 / RatesOf(c->attr).fps;
            if (!c->streaming) {
                c->streaming = true;
                c->streamStartUs = now;
                c->nextIndex = 0;
            }
            // The frame due now; those due before it that were never encoded are counted as missed.
            const uint64_t due = (now - c->streamStartUs) / period;
            if (due >= c->nextIndex) {
                c->missed += due - c->nextIndex;
                jobs.push_back(MakeJob(chn, *c, due, c->streamStartUs + due * period, PatternOf(*src)));
                c->nextIndex = due + 1;
            }
            wake = std::min(wake, c->streamStartUs + c->nextIndex * period);
        }
        if (jobs.empty()) {
            // Binds are not announced to this driver, so an idle wait also ends at kIdleWakeUs.
            m_workCv.wait_for(lock, std::chrono::microseconds(wake > now ? wake - now : 0));
            continue;
        }
        lock.unlock();
        for (Job& job : jobs) RunJob(job);
        lock.lock();
    }
}

uint64_t VencDriver::ThreadCpuUs() {
    std::lock_guard<std::mutex> lock(m_mutex);
    uint64_t total = 0;
    for (std::thread& t : m_threads) {
        clockid_t cid;
        timespec ts{};
        if (pthread_getcpuclockid(t.native_handle(), &cid) != 0 || clock_gettime(cid, &ts) != 0) continue;
        total += static_cast<uint64_t>(ts.tv_sec) * 1000000 + static_cast<uint64_t>(ts.tv_nsec) / 1000;
    }
    return total;
}

std::optional<venc_view::Channel> VencDriver::View(int chn) {
    if (chn < 0 || chn >= kMaxChn) return std::nullopt;
    std::lock_guard<std::mutex> lock(m_mutex);
    Channel* c = Find(chn);
    if (c == nullptr) return std::nullopt;
    venc_view::Channel v;
    v.receiving = c->receiving;
    v.sourceBound = BindGraph::Instance().IsBound(MK_ID_VENC, 0, chn);
    v.attr = c->attr;
    v.ringPhys = c->ringPhys;
    v.ringDrvAddr = c->ringPhys + kDrvAddrOffset;
    v.ringSize = c->ringSize;
    v.writePos = c->writePos;
    v.releasePos = c->releasePos;
    v.queuedFrames = static_cast<uint32_t>(c->frames.size() - c->fetched);
    v.fetchedFrames = static_cast<uint32_t>(c->fetched);
    v.encodedFrames = c->encoded;
    v.droppedFrames = c->dropped;
    v.missedFrames = c->missed;
    v.keyFrames = c->keys;
    v.vbPool = c->vbPool;
    Rates r = RatesOf(c->attr);
    v.frameRate = r.fps;
    v.gop = r.gop;
    v.lastUserData = c->lastUserData;
    return v;
}

std::shared_ptr<VencDriver> Driver() { return dev::Registry::Get<VencDriver>("/dev/venc"); }

}  // namespace

void InstallVencDriver() {
    static bool installed = [] {
        auto driver = std::make_shared<VencDriver>();
        if (!dev::Registry::Register(driver)) return false;
        std::weak_ptr<VencDriver> weak = driver;
        RegisterResetHook([weak] {
            if (auto d = weak.lock()) d->Reset();
        });
        return true;
    }();
    (void)installed;
}

namespace venc_view {

std::optional<Channel> Get(int chn) {
    auto d = Driver();
    return d ? d->View(chn) : std::nullopt;
}

int PushFrames(int chn, int frames) {
    auto d = Driver();
    return d ? d->Push(chn, frames) : 0;
}

uint64_t EncoderThreadCpuUs() {
    auto d = Driver();
    return d ? d->ThreadCpuUs() : 0;
}

}  // namespace venc_view

}  // namespace varnelle::drivers
