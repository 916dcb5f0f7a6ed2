#include "platform/drivers/vi/vi_driver.h"

#include "platform/drivers/core/kernel.h"
#include "platform/drivers/core/media_clock.h"
#include "platform/drivers/core/vb_pools.h"
#include "platform/drivers/vi/vi_state.h"

namespace varnelle::drivers {

namespace req = mk::vi;

namespace vi {

VI_DEV_ATTR_S DefaultDevAttr() {
    VI_DEV_ATTR_S a{};
    a.enIntfMode = 0;  // BT.656
    a.au32CompMask[0] = 0xFF000000u;
    a.s32AdChnId[0] = a.s32AdChnId[1] = a.s32AdChnId[2] = a.s32AdChnId[3] = -1;
    a.enInputDataType = 1;  // YUV
    return a;
}

VI_CHN_ATTR_S DefaultChnAttr() {
    VI_CHN_ATTR_S a{};
    a.stCapRect = {0, 0, 704, 576};
    a.u32DestWidth = 704;
    a.u32DestHeight = 576;
    a.enCapSel = 2;
    a.enScanMode = 1;
    a.enPixFormat = MK_PIXEL_FORMAT_YUV_SEMIPLANAR_420;
    a.s32SrcFrameRate = 25;
    a.s32DstFrameRate = 25;
    return a;
}

}  // namespace vi

namespace {

constexpr int kErrParam = MK_ERR(MK_ID_VIU, MK_ERR_ILLEGAL_PARAM);
constexpr int kErrPerm = MK_ERR(MK_ID_VIU, MK_ERR_NOT_PERM);
constexpr int kMaxSize = 8192;

class ViFile : public dev::File {
public:
    enum Kind { kUnbound, kDevice, kChannel };
    std::string BoundObject() const override {
        if (kind == kUnbound) return {};
        return (kind == kDevice ? "dev " : "chn ") + std::to_string(id);
    }
    Kind kind = kUnbound;
    int id = -1;
};

bool ValidChnAttr(const VI_CHN_ATTR_S& a) {
    return a.u32DestWidth >= 2 && a.u32DestWidth <= kMaxSize && a.u32DestHeight >= 2 &&
           a.u32DestHeight <= kMaxSize && a.stCapRect.u32Width >= 2 && a.stCapRect.u32Width <= kMaxSize &&
           a.stCapRect.u32Height >= 2 && a.stCapRect.u32Height <= kMaxSize;
}

template <typename T>
int Store(unsigned long request, const void* arg, T* field) {
    T v;
    if (CopyRequestIn(request, arg, &v) != 0) return -1;
    *field = v;
    return 0;
}

int StoreFlag(bool* flag, bool value) {
    *flag = value;
    return 0;
}

int DevRequest(vi::Dev& d, unsigned long request, void* arg) {
    switch (request) {
        case req::kSetDevAttr: return Store(request, arg, &d.attr);
        case req::kGetDevAttr: return CopyRequestOut(request, arg, d.attr);
        case req::kSetDevAttrEx: return Store(request, arg, &d.attrEx);
        case req::kGetDevAttrEx: return CopyRequestOut(request, arg, d.attrEx);
        case req::kEnableDev: return StoreFlag(&d.enabled, true);
        case req::kDisableDev: return StoreFlag(&d.enabled, false);
        case req::kEnableDllSlave: return StoreFlag(&d.dllSlave, true);
        case req::kDisableDllSlave: return StoreFlag(&d.dllSlave, false);
        default: return dev::Fail(ENOTTY);
    }
}

int SetChnAttr(unsigned long request, const void* arg, VI_CHN_ATTR_S* field, bool* set) {
    VI_CHN_ATTR_S a;
    if (CopyRequestIn(request, arg, &a) != 0) return -1;
    if (!ValidChnAttr(a)) return kErrParam;
    *field = a;
    if (set) *set = true;
    return 0;
}

int SetMainAttr(ViDriver::State& s, int chn, unsigned long request, const void* arg) {
    vi::Chn& c = s.chns[chn];
    int ret = SetChnAttr(request, arg, &c.attr, nullptr);
    // New rates or a new size take effect from the next frame.
    if (ret == 0 && c.enabled) s.RestartLocked(chn);
    return ret;
}

int Bind(vi::Chn& c, unsigned long request, const void* arg) {
    VI_CHN_BIND_ATTR_S b;
    if (CopyRequestIn(request, arg, &b) != 0) return -1;
    if (static_cast<uint32_t>(b.ViDev) >= VIU_MAX_DEV_NUM || static_cast<uint32_t>(b.ViWay) > 3) return kErrParam;
    if (c.bound) return kErrPerm;  // unbind first
    c.bound = true;
    c.bind = b;
    return 0;
}

int SetDepth(ViDriver::State& s, vi::Chn& c, unsigned long request, const void* arg) {
    uint32_t depth;
    if (CopyRequestIn(request, arg, &depth) != 0) return -1;
    if (depth > ViDriver::kMaxFrameDepth) return kErrParam;
    c.depth = depth;
    while (c.queue.size() > depth) c.queue.pop_front();
    // A depth asks for frames that nobody else may want: the producer looks again.
    if (depth > 0 && s.producer != nullptr) s.producer->Wake();
    return 0;
}

int ChnRequest(ViDriver::State& s, std::unique_lock<std::mutex>& lock, int chn, unsigned long request, void* arg) {
    vi::Chn& c = s.chns[chn];
    switch (request) {
        case req::kSetChnAttr: return SetMainAttr(s, chn, request, arg);
        case req::kGetChnAttr: return CopyRequestOut(request, arg, c.attr);
        case req::kSetChnMinorAttr: return SetChnAttr(request, arg, &c.minor, &c.minorSet);
        case req::kGetChnMinorAttr:
            return c.minorSet ? CopyRequestOut(request, arg, c.minor) : MK_ERR(MK_ID_VIU, MK_ERR_NOT_CONFIG);
        case req::kClearChnMinorAttr: return StoreFlag(&c.minorSet, false);
        case req::kEnableChn: s.EnableLocked(chn); return 0;
        case req::kDisableChn: s.DisableLocked(chn); return 0;
        case req::kEnableChnInterrupt: return StoreFlag(&c.interrupt, true);
        case req::kDisableChnInterrupt: return StoreFlag(&c.interrupt, false);
        case req::kSetFrameDepth: return SetDepth(s, c, request, arg);
        case req::kGetFrameDepth: return CopyRequestOut(request, arg, c.depth);
        case req::kGetFrame: return s.GetFrame(lock, chn, request, arg);
        case req::kReleaseFrame: return s.ReleaseFrameLocked(chn, request, arg);
        case req::kBindChn: return Bind(c, request, arg);
        case req::kGetChnBind:
            return c.bound ? CopyRequestOut(request, arg, c.bind) : MK_ERR_VI_CHN_NOT_BOUND;
        case req::kUnBindChn:
            if (!c.bound) return MK_ERR_VI_CHN_NOT_BOUND;
            return StoreFlag(&c.bound, false);
        case req::kSetUserPic: return s.SetUserPicLocked(chn, request, arg);
        case req::kEnableUserPic: return s.EnableUserPicLocked(chn);
        case req::kDisableUserPic: return StoreFlag(&c.userPicEnabled, false);
        case req::kGetChnLuma: return s.LumaLocked(chn, request, arg);
        case req::kSetSkipModeEx: return Store(request, arg, &c.skipEx);
        case req::kGetSkipModeEx: return CopyRequestOut(request, arg, c.skipEx);
        case req::kSetVbiAttr: return Store(request, arg, &c.vbi);
        case req::kGetVbiAttr: return CopyRequestOut(request, arg, c.vbi);
        case req::kEnableVbi: return StoreFlag(&c.vbiEnabled, true);
        case req::kDisableVbi: return StoreFlag(&c.vbiEnabled, false);
        case req::kSetVbiMode: return Store(request, arg, &c.vbiMode);
        case req::kGetVbiMode: return CopyRequestOut(request, arg, c.vbiMode);
        case req::kEnableCascadeChn: return StoreFlag(&c.cascade, true);
        case req::kDisableCascadeChn: return StoreFlag(&c.cascade, false);
        case req::kQuery: {
            VI_CHN_STAT_S st{};
            st.bEnable = c.enabled;
            st.u32FrmRate = static_cast<uint32_t>(c.attr.s32DstFrameRate > 0 ? c.attr.s32DstFrameRate : 0);
            st.u32IntCnt = static_cast<uint32_t>(c.made);
            st.u32LostInt = static_cast<uint32_t>(c.lost);
            st.u32VbFail = c.vbFail;
            st.u32PicWidth = c.attr.u32DestWidth;
            st.u32PicHeight = c.attr.u32DestHeight;
            return CopyRequestOut(request, arg, st);
        }
        case req::kSetRotate: return Store(request, arg, &c.rotate);
        case req::kGetRotate: return CopyRequestOut(request, arg, c.rotate);
        case req::kSetSkipMode: return Store(request, arg, &c.skipMode);
        case req::kGetSkipMode: return CopyRequestOut(request, arg, c.skipMode);
        case req::kAttachVbPool: {
            uint32_t pool;
            if (CopyRequestIn(request, arg, &pool) != 0) return -1;
            if (!VbPools::Instance().Pool(static_cast<int>(pool))) return MK_ERR(MK_ID_VIU, MK_ERR_UNEXIST);
            c.pool = static_cast<int>(pool);
            return 0;
        }
        case req::kDetachVbPool: c.pool = -1; return 0;
        default: return dev::Fail(ENOTTY);
    }
}

}  // namespace

void ViDriver::State::ResetLocked() {
    for (vi::Chn& c : chns) {
        // Held frames give their blocks back as the records go; the generation carries on, so a frame
        // being drawn for the old channel is dropped.
        uint64_t generation = c.generation + 1;
        c = vi::Chn{};
        c.generation = generation;
        c.attr = vi::DefaultChnAttr();
    }
    queued.notify_all();
    for (vi::Dev& d : devs) {
        d = vi::Dev{};
        d.attr = vi::DefaultDevAttr();
        d.attrEx = VI_DEV_ATTR_EX_S{d.attr, {}};
    }
    modParam = VI_MOD_PARAM_S{};
    publicPicSet = false;
    publicPic = VI_USERPIC_ATTR_S{};
}

void ViDriver::State::EnableLocked(int chn) {
    vi::Chn& c = chns[chn];
    if (c.enabled) return;
    c.enabled = true;
    RestartLocked(chn);
}

void ViDriver::State::RestartLocked(int chn) {
    vi::Chn& c = chns[chn];
    ++c.generation;
    const int32_t src = vi::SrcFps(c.attr);
    c.pacer.Start(MediaClock::NowUs(), static_cast<uint32_t>(src));
    c.rate.Set(src, c.attr.s32DstFrameRate);
    if (producer != nullptr) producer->Wake();
}

void ViDriver::State::DisableLocked(int chn) {
    vi::Chn& c = chns[chn];
    c.enabled = false;
    ++c.generation;
    c.pacer.Stop();
    // Frames kept for the user go back now; frames the user holds come back through release.
    c.queue.clear();
    queued.notify_all();
}

ViDriver::ViDriver() : Driver("/dev/vi"), m_state(std::make_unique<State>()) {
    m_state->ResetLocked();
    m_producer = std::make_unique<PacedThread>("vi-capture", [this](uint64_t now) { return m_state->Tick(now); });
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->producer = m_producer.get();
}

ViDriver::~ViDriver() {
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->producer = nullptr;
    }
    m_producer.reset();
}

std::shared_ptr<ViDriver> ViDriver::Get() {
    InstallViDriver();
    return dev::Registry::Get<ViDriver>("/dev/vi");
}

std::unique_ptr<dev::File> ViDriver::Open(int /*flags*/) { return std::make_unique<ViFile>(); }

int ViDriver::Ioctl(dev::File& f, unsigned long request, void* arg) {
    auto& file = static_cast<ViFile&>(f);
    std::unique_lock<std::mutex> lock(m_state->mutex);
    if (request == req::kBind) {
        uint32_t word;
        if (CopyRequestIn(request, arg, &word) != 0) return -1;
        if (file.kind != ViFile::kUnbound) return dev::Fail(EBUSY);
        uint32_t dev = (word >> 16) & 0x7F, chn = word & 0x7F;
        if ((word & 0x800000u) && dev < VIU_MAX_DEV_NUM) {
            file.kind = ViFile::kDevice;
            file.id = static_cast<int>(dev);
        } else if (!(word & 0x800000u) && (word & 0x80u) && chn < VIU_MAX_CHN_NUM) {
            file.kind = ViFile::kChannel;
            file.id = static_cast<int>(chn);
        } else {
            return dev::Fail(EINVAL);
        }
        return 0;
    }
    if (request == req::kSetModParam || request == req::kGetModParam) {
        if (file.kind == ViFile::kUnbound) return kErrPerm;
        if (request == req::kSetModParam) return Store(request, arg, &m_state->modParam);
        return CopyRequestOut(request, arg, m_state->modParam);
    }
    int ret = dev::Fail(ENOTTY);
    if (file.kind == ViFile::kDevice) ret = DevRequest(m_state->devs[file.id], request, arg);
    if (file.kind == ViFile::kChannel) ret = ChnRequest(*m_state, lock, file.id, request, arg);
    // A request of the other kind of object is known but not for this descriptor.
    if (ret == -1 && errno == ENOTTY && _IOC_TYPE(request) == 'I' && _IOC_NR(request) <= 57) ret = kErrPerm;
    return ret;
}

ViDevView ViDriver::Device(int dev) const {
    if (static_cast<unsigned>(dev) >= VIU_MAX_DEV_NUM) return ViDevView{};
    std::lock_guard<std::mutex> lock(m_state->mutex);
    const vi::Dev& d = m_state->devs[dev];
    return ViDevView{d.enabled, d.dllSlave, d.attr};
}

ViChnView ViDriver::Channel(int chn) const {
    if (static_cast<unsigned>(chn) >= VIU_MAX_CHN_NUM) return ViChnView{};
    std::lock_guard<std::mutex> lock(m_state->mutex);
    const vi::Chn& c = m_state->chns[chn];
    return ViChnView{c.enabled,
                     c.interrupt,
                     c.minorSet,
                     c.bound,
                     c.userPicEnabled,
                     c.attr,
                     c.minor,
                     c.bind,
                     c.depth,
                     static_cast<uint32_t>(c.held.size()),
                     static_cast<uint32_t>(c.queue.size()),
                     c.pool,
                     c.pacer.Taken(),
                     c.made,
                     c.pacer.Missed(),
                     c.lost,
                     c.vbFail,
                     c.noSignal};
}

void ViDriver::SetNoSignal(int chn, bool noSignal) {
    if (static_cast<unsigned>(chn) >= VIU_MAX_CHN_NUM) return;
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->chns[chn].noSignal = noSignal;
}

void ViDriver::SetLumaLevel(int chn, std::optional<uint8_t> level) {
    if (static_cast<unsigned>(chn) >= VIU_MAX_CHN_NUM) return;
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->chns[chn].lumaLevel = level;
}

void ViDriver::Reset() {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->ResetLocked();
}

uint64_t ViDriver::ProducerCpuUs() const { return m_producer ? m_producer->CpuUs() : 0; }

void InstallViDriver() { InstallDriverOnce<ViDriver>(); }

}  // namespace varnelle::drivers
