#include "platform/drivers/venc/venc_driver.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>

#include "platform/drivers/core/bind_graph.h"
#include "platform/drivers/core/frame_router.h"
#include "platform/drivers/core/kernel.h"
#include "platform/drivers/core/request_copy.h"
#include "platform/drivers/core/vb_pools.h"
#include "platform/drivers/venc/venc_driver_internal.h"
#include "platform/drivers/venc/venc_threads.h"
#include "platform/mem/ram.h"
#include "platform/mem/zone.h"

namespace varnelle::drivers {
namespace venc {

Rates RatesOf(const VENC_CHN_ATTR_S& a) {
    Rates r;
    const VENC_RC_ATTR_S& rc = a.stRcAttr;
    uint32_t src = 0, fps = 0;
    switch (rc.enRcMode) {
        case VENC_RC_MODE_H264CBR:
            src = rc.stAttrH264Cbr.u32SrcFrmRate;
            fps = rc.stAttrH264Cbr.u32DstFrmRate;
            r.gop = rc.stAttrH264Cbr.u32Gop;
            r.kbps = rc.stAttrH264Cbr.u32BitRate;
            break;
        case VENC_RC_MODE_H264VBR:
            src = rc.stAttrH264Vbr.u32SrcFrmRate;
            fps = rc.stAttrH264Vbr.u32DstFrmRate;
            r.gop = rc.stAttrH264Vbr.u32Gop;
            r.kbps = rc.stAttrH264Vbr.u32MaxBitRate;
            break;
        case VENC_RC_MODE_H264FIXQP:
            src = rc.stAttrH264FixQp.u32SrcFrmRate;
            fps = rc.stAttrH264FixQp.u32DstFrmRate;
            r.gop = rc.stAttrH264FixQp.u32Gop;
            break;
        default:
            break;
    }
    r.fps = BoundedFrameRate(fps);
    r.srcFps = BoundedFrameRate(src);
    if (r.gop == 0) r.gop = 1;
    return r;
}

uint64_t WorkOf(const VENC_CHN_ATTR_S& a) {
    const uint64_t pixels = uint64_t{PicWidth(a)} * PicHeight(a);
    return pixels * (IsH264(a) ? RatesOf(a).fps : kSnapshotsPerSecond);
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

int VencDriver::Ioctl(dev::File& file, unsigned long request, void* arg) {
    auto& f = static_cast<VencFile&>(file);
    if (request == VENC_IOC_BindChn) return Bind(f, request, arg);
    if (request == VENC_IOC_SetModParam) return ModParam(request, arg, true);
    if (request == VENC_IOC_GetModParam) return ModParam(request, arg, false);
    int chn = f.chn;
    if (chn < 0) return MK_ERR_VENC_NOT_PERM;
    switch (request) {
        case VENC_IOC_CreateChn: return Create(chn, request, arg);
        case VENC_IOC_DestroyChn: return Destroy(chn);
        case VENC_IOC_GetStream: return GetStream(f, request, arg);
        case VENC_IOC_ReleaseStream: return ReleaseStream(chn, request, arg);
        case VENC_IOC_GetBufInfo: return BufInfo(chn, request, arg);
        case VENC_IOC_SetGetTimeout: return CopyRequestIn(request, arg, &f.getTimeoutMs);
        case VENC_IOC_SetSendTimeout: return CopyRequestIn(request, arg, &f.sendTimeoutMs);
        case VENC_IOC_ResetChn: return ResetChn(chn);
        case VENC_IOC_StartRecvPic: return StartRecv(chn, true);
        case VENC_IOC_StopRecvPic: return StartRecv(chn, false);
        case VENC_IOC_Query: return Query(chn, request, arg);
        case VENC_IOC_AttachVbPool: return AttachPool(chn, request, arg);
        case VENC_IOC_DetachVbPool: return AttachPool(chn, request, nullptr);
        case VENC_IOC_GetChnAttr: return GetAttr(chn, request, arg);
        case VENC_IOC_SetChnAttr: return SetAttr(chn, request, arg);
        case VENC_IOC_InsertUserData: return UserData(chn, request, arg);
        case VENC_IOC_GetRoiCfg: return Roi(chn, request, arg, false);
        case VENC_IOC_SetRoiCfg: return Roi(chn, request, arg, true);
        case VENC_IOC_SendFrame: return SendFrame(f, request, arg);
        case VENC_IOC_RequestIDR: {
            uint32_t flag;
            if (CopyRequestIn(request, arg, &flag) != 0) return -1;
            std::lock_guard<std::mutex> lock(m_mutex);
            Channel* c = Find(chn);
            if (c == nullptr) return MK_ERR_VENC_UNEXIST;
            c->keyRequested = true;
            return 0;
        }
        case VENC_IOC_SetIntraRefresh:
            return Param(chn, ParamEntry{"IntraRefresh", sizeof(VENC_PARAM_INTRA_REFRESH_S), true}, request, arg);
        default: break;
    }
    auto it = ParamTable().find(request);
    if (it == ParamTable().end()) return dev::Fail(ENOTTY);
    return Param(chn, it->second, request, arg);
}

// ---- Binding and the channel life cycle ----

int VencDriver::Bind(VencFile& f, unsigned long request, void* arg) {
    uint32_t chn;
    if (CopyRequestIn(request, arg, &chn) != 0) return -1;
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

int VencDriver::Create(int chn, unsigned long request, void* arg) {
    VENC_CHN_ATTR_S attr;
    if (CopyRequestIn(request, arg, &attr) != 0) return -1;
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
    Rebalance();
    return 0;
}

void VencDriver::Rebalance() {
    std::vector<uint64_t> work(kMaxChn, 0);
    for (int chn = 0; chn < kMaxChn; ++chn) {
        if (const Channel* c = Find(chn)) work[chn] = WorkOf(c->attr);
    }
    const std::vector<int> thread = AssignThreads(work, kEncoderThreads);
    for (int chn = 0; chn < kMaxChn; ++chn) {
        Channel* c = Find(chn);
        if (c == nullptr || c->thread == thread[chn]) continue;
        c->thread = thread[chn];
        if (!c->pictures.empty()) m_threads[c->thread]->Wake();
    }
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
    Channel* c = Find(chn);
    if (c == nullptr) return MK_ERR_VENC_UNEXIST;
    // A fetched frame is read where it lies in the ring: the ring stays until it is given back.
    if (c->fetched != 0) return MK_ERR(MK_ID_VENC, MK_ERR_BUSY);
    DropChannel(chn);
    Rebalance();
    return 0;
}

void VencDriver::Reset() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (int chn = 0; chn < kMaxChn; ++chn) DropChannel(chn);
    std::fill(m_modParam.begin(), m_modParam.end(), 0);
    // The pools may go once this returns: no encoder reads a picture in them.
    m_jobsIdle.wait(lock, [this] { return m_jobsInFlight == 0; });
}

int VencDriver::BufInfo(int chn, unsigned long request, void* arg) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Channel* c = Find(chn);
    if (c == nullptr) return MK_ERR_VENC_UNEXIST;
    VENC_DRV_BUF_INFO_S info{c->ringPhys, c->ringPhys + kDrvAddrOffset, c->ringSize, 0};
    return CopyRequestOut(request, arg, info);
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
    // Frames fetched and not yet released stay: their caller still reads them where they lie, and
    // gives them back afterwards. Only what waits to be fetched is dropped.
    c->frames.resize(c->fetched);
    c->writePos = c->frames.empty() ? c->releasePos : c->frames.back().endPos;
    c->pictures.clear();
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
    if (on) {
        const Rates r = RatesOf(c->attr);
        c->rate.Set(static_cast<int32_t>(r.srcFps), static_cast<int32_t>(r.fps));
    } else {
        c->pictures.clear();  // a stopped channel keeps no picture
    }
    return 0;
}

int VencDriver::Query(int chn, unsigned long request, void* arg) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Channel* c = Find(chn);
    if (c == nullptr) return MK_ERR_VENC_UNEXIST;
    VENC_CHN_STATUS_S st{};
    st.u32LeftPics = static_cast<uint32_t>(c->pictures.size());
    st.u32LeftStreamBytes = static_cast<uint32_t>(c->writePos - c->releasePos);
    st.u32LeftStreamFrames = static_cast<uint32_t>(c->frames.size() - c->fetched);
    st.u32FramePacks = c->fetched < c->frames.size() ? static_cast<uint32_t>(c->frames[c->fetched].packs.size()) : 0;
    return CopyRequestOut(request, arg, st);
}

int VencDriver::AttachPool(int chn, unsigned long request, void* arg) {
    int pool = -1;
    if (arg != nullptr) {
        uint32_t id;
        if (CopyRequestIn(request, arg, &id) != 0) return -1;
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

int VencDriver::GetAttr(int chn, unsigned long request, void* arg) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Channel* c = Find(chn);
    if (c == nullptr) return MK_ERR_VENC_UNEXIST;
    return CopyRequestOut(request, arg, c->attr);
}

int VencDriver::SetAttr(int chn, unsigned long request, void* arg) {
    VENC_CHN_ATTR_S attr;
    if (CopyRequestIn(request, arg, &attr) != 0) return -1;
    if (int err = CheckAttr(attr)) return err;
    std::lock_guard<std::mutex> lock(m_mutex);
    Channel* c = Find(chn);
    if (c == nullptr) return MK_ERR_VENC_UNEXIST;
    // The payload type, the maximum size and the ring are fixed at creation; the picture may change
    // size within that maximum (the snapshot channels are resized this way).
    const uint32_t* was = c->attr.stVeAttr.au32Attr;
    const uint32_t* now = attr.stVeAttr.au32Attr;
    if (attr.stVeAttr.enType != c->attr.stVeAttr.enType || now[0] != was[0] || now[1] != was[1] ||
        BufSize(attr) != BufSize(c->attr))
        return MK_ERR_VENC_NOT_SUPPORT;
    c->attr = attr;
    const Rates r = RatesOf(attr);
    c->rate.Set(static_cast<int32_t>(r.srcFps), static_cast<int32_t>(r.fps));
    c->keyRequested = true;
    c->reconfigure = true;
    Rebalance();
    return 0;
}

int VencDriver::UserData(int chn, unsigned long request, void* arg) {
    VENC_USER_DATA_S req;
    if (CopyRequestIn(request, arg, &req) != 0) return -1;
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

int VencDriver::Roi(int chn, unsigned long request, void* arg, bool set) {
    VENC_ROI_CFG_S roi;
    if (CopyRequestIn(request, arg, &roi) != 0) return -1;
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
        return CopyRequestOut(request, arg, roi);
    }
    return CopyRequestOut(request, arg, it->second);
}

int VencDriver::Param(int chn, const ParamEntry& e, unsigned long request, void* arg) {
    if (!RequestCarries(request, e.set ? _IOC_WRITE : _IOC_READ, e.size)) return dev::Fail(EINVAL);
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

int VencDriver::ModParam(unsigned long request, void* arg, bool set) {
    if (!RequestCarries(request, set ? _IOC_WRITE : _IOC_READ, m_modParam.size())) return dev::Fail(EINVAL);
    if (arg == nullptr) return dev::Fail(EFAULT);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (set) {
        std::memcpy(m_modParam.data(), arg, m_modParam.size());
    } else {
        std::memcpy(arg, m_modParam.data(), m_modParam.size());
    }
    return 0;
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
    v.receivedFrames = c->received;
    v.thinnedFrames = c->thinned;
    v.pendingPictures = static_cast<uint32_t>(c->pictures.size());
    v.keyFrames = c->keys;
    v.getWaiters = c->getWaiters;
    v.vbPool = c->vbPool;
    Rates r = RatesOf(c->attr);
    v.frameRate = r.fps;
    v.gop = r.gop;
    v.lastUserData = c->lastUserData;
    v.thread = c->thread;
    return v;
}

}  // namespace venc

namespace {

std::shared_ptr<venc::VencDriver> Driver() { return dev::Registry::Get<venc::VencDriver>("/dev/venc"); }

}  // namespace

void InstallVencDriver() {
    InstallDriverOnce<venc::VencDriver>();
    // The registered driver receives the pictures bound to encoder channels (again and again: the same sink).
    if (auto d = Driver()) FrameRouter::Instance().Attach(MK_ID_VENC, d.get());
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
