// The processing-group driver's core: binding descriptors, the group and channel records and states.
#include "platform/drivers/vpss/vpss_driver.h"

#include <algorithm>
#include <optional>
#include <string>

#include "platform/drivers/core/frame_router.h"
#include "platform/drivers/core/kernel.h"
#include "platform/drivers/core/media_clock.h"
#include "platform/drivers/core/request_copy.h"
#include "platform/drivers/core/vb_pools.h"
#include "platform/drivers/vpss/vpss_state.h"

namespace varnelle::drivers {
namespace {

constexpr char kMagic = 'P';
constexpr int kPixFmtYuv420Sp = 23;

// The driver's requests, under the names it uses.
constexpr unsigned long kBind = mk::vpss::kBind;
constexpr unsigned long kCreateGrp = mk::vpss::kCreateGrp;
constexpr unsigned long kDestroyGrp = mk::vpss::kDestroyGrp;
constexpr unsigned long kStartGrp = mk::vpss::kStartGrp;
constexpr unsigned long kStopGrp = mk::vpss::kStopGrp;
constexpr unsigned long kResetGrp = mk::vpss::kResetGrp;
constexpr unsigned long kEnableBackupFrame = mk::vpss::kEnableBackupFrame;
constexpr unsigned long kDisableBackupFrame = mk::vpss::kDisableBackupFrame;
constexpr unsigned long kSendFrame = mk::vpss::kSendFrame;
constexpr unsigned long kGetGrpFrame = mk::vpss::kGetGrpFrame;
constexpr unsigned long kReleaseGrpFrame = mk::vpss::kReleaseGrpFrame;
constexpr unsigned long kEnableUserFrc = mk::vpss::kEnableUserFrameRateCtrl;
constexpr unsigned long kDisableUserFrc = mk::vpss::kDisableUserFrameRateCtrl;
constexpr unsigned long kGrpRegionLuma = mk::vpss::kGetGrpRegionLuma;
constexpr unsigned long kEnableChn = mk::vpss::kEnableChn;
constexpr unsigned long kDisableChn = mk::vpss::kDisableChn;
constexpr unsigned long kGetChnFrame = mk::vpss::kGetChnFrame;
constexpr unsigned long kReleaseChnFrame = mk::vpss::kReleaseChnFrame;
constexpr unsigned long kAttachVbPool = mk::vpss::kAttachVbPool;
constexpr unsigned long kDetachVbPool = mk::vpss::kDetachVbPool;
constexpr unsigned long kChnRegionLuma = mk::vpss::kGetChnRegionLuma;
constexpr unsigned long kSetGrpAttr = mk::vpss::kSetGrpAttr;
constexpr unsigned long kSetPicQueueLength = mk::vpss::kSetPicQueueLength;
constexpr unsigned long kSetDepth = mk::vpss::kSetDepth;
constexpr unsigned long kSetChnMode = mk::vpss::kSetChnMode;
constexpr unsigned long kSetGrpFrameRate = mk::vpss::kSetGrpFrameRate;

constexpr MK_S32 Err(int num) { return MK_ERR(MK_ID_VPSS, num); }

enum class Scope { kGrp, kChn, kMod };

using Defaults = std::vector<uint8_t> (*)(const VPSS_GRP_ATTR_S& grp);
std::vector<uint8_t> Zeros(const VPSS_GRP_ATTR_S&) { return {}; }
std::vector<uint8_t> GrpParamDefaults(const VPSS_GRP_ATTR_S&) {
    return RecordBytes(VPSS_GRP_PARAM_S{8, 32, 0, 32, 8, 8, 8, 8, 0});
}
std::vector<uint8_t> ChnParamDefaults(const VPSS_GRP_ATTR_S&) { return RecordBytes(VPSS_CHN_PARAM_S{16, 24, 8, 8, 0}); }
std::vector<uint8_t> ChnModeDefaults(const VPSS_GRP_ATTR_S& grp) {
    VPSS_CHN_MODE_S mode{};
    mode.enChnMode = VPSS_CHN_MODE_AUTO;
    mode.u32Width = grp.u32MaxW;
    mode.u32Height = grp.u32MaxH;
    mode.s32SrcFrameRate = mode.s32DstFrameRate = -1;
    mode.enPixelFormat = grp.enPixFmt;
    return RecordBytes(mode);
}
std::vector<uint8_t> FrameRateDefaults(const VPSS_GRP_ATTR_S&) { return RecordBytes(VPSS_FRAME_RATE_S{-1, -1}); }
std::vector<uint8_t> QueueLengthDefaults(const VPSS_GRP_ATTR_S&) {
    return RecordBytes(static_cast<MK_U32>(VpssDriver::kGroupQueue));
}
std::vector<uint8_t> FieldDefaults(const VPSS_GRP_ATTR_S&) { return RecordBytes(MK_U32{2}); }  // both fields

using Pair = StorePair<Scope, Defaults>;
#define VPSS_PAIR(scope, setNr, getNr, T, defaults) \
    VIDEO_STORE_PAIR(Pair, kMagic, Scope::scope, setNr, getNr, T, defaults)
const Pair kPairs[] = {
    VPSS_PAIR(kGrp, 0, 1, VPSS_GRP_ATTR_S, Zeros),
    VPSS_PAIR(kGrp, 13, 14, VPSS_CROP_INFO_S, Zeros),
    VPSS_PAIR(kGrp, 15, 16, VPSS_GRP_PARAM_S, GrpParamDefaults),
    VPSS_PAIR(kGrp, 17, 18, VPSS_GRP_ADVANCED_PARAM_S, Zeros),
    VPSS_PAIR(kGrp, 30, 31, VPSS_PRESCALE_INFO_S, Zeros),
    VPSS_PAIR(kGrp, 32, 33, VPSS_SIZER_INFO_S, Zeros),
    VPSS_PAIR(kGrp, 34, 35, MK_U32, FieldDefaults),
    VPSS_PAIR(kGrp, 36, 37, VPSS_FRAME_RATE_S, FrameRateDefaults),
    VPSS_PAIR(kGrp, 40, 41, MK_U32, Zeros),
    VPSS_PAIR(kGrp, 47, 48, VPSS_IMG_QUALITY_CFG_S, Zeros),
    VPSS_PAIR(kGrp, 49, 50, MK_U32, QueueLengthDefaults),
    VPSS_PAIR(kGrp, 55, 56, MK_U32, Zeros),
    VPSS_PAIR(kChn, 5, 6, VPSS_CHN_ATTR_S, Zeros),
    VPSS_PAIR(kChn, 19, 20, VPSS_CHN_PARAM_S, ChnParamDefaults),
    VPSS_PAIR(kChn, 21, 22, VPSS_CHN_MODE_S, ChnModeDefaults),
    VPSS_PAIR(kChn, 23, 24, MK_U32, Zeros),
    VPSS_PAIR(kChn, 42, 43, MK_U32, Zeros),
    VPSS_PAIR(kChn, 61, 62, MK_U32, Zeros),
    VPSS_PAIR(kMod, 59, 60, VPSS_MOD_PARAM_S, Zeros),
};
#undef VPSS_PAIR

// The object kind a request other than a stored record concerns; none for an unknown request.
std::optional<Scope> ScopeOf(unsigned long request) {
    switch (request) {
        case kCreateGrp: case kDestroyGrp: case kStartGrp: case kStopGrp: case kResetGrp:
        case kEnableBackupFrame: case kDisableBackupFrame: case kSendFrame: case kGetGrpFrame:
        case kReleaseGrpFrame: case kEnableUserFrc: case kDisableUserFrc: case kGrpRegionLuma:
            return Scope::kGrp;
        case kEnableChn: case kDisableChn: case kGetChnFrame: case kReleaseChnFrame: case kAttachVbPool:
        case kDetachVbPool: case kChnRegionLuma:
            return Scope::kChn;
    }
    return std::nullopt;
}

bool IsKnown(unsigned long request) {
    return FindStorePair(kPairs, request) != nullptr || ScopeOf(request).has_value();
}

class VpssFile : public dev::File {
public:
    std::string BoundObject() const override {
        if (!bound) return {};
        std::string grp = "grp " + std::to_string(word >> 16);
        return (word & 0xFF) == 0xFF ? grp : grp + " chn " + std::to_string(word & 0xFF);
    }
    bool bound = false;
    MK_U32 word = 0;
};

}  // namespace

struct VpssDriver::Object {
    Scope scope;  // kGrp for a group descriptor, kChn for a channel descriptor
    int grp;
    int chn;
};

VpssDriver::VpssDriver() : Driver("/dev/vpss"), m_groups(kGroups) {
    for (int i = 0; i < kWorkers; ++i) {
        m_workers[i] = std::make_unique<Worker>();
        m_workers[i]->thread =
            std::make_unique<PacedThread>("vpss-" + std::to_string(i), [this, i](uint64_t) { return Work(i); });
    }
}

VpssDriver::~VpssDriver() {
    FrameRouter::Instance().Detach(MK_ID_VPSS, this);
    for (auto& w : m_workers) w.reset();  // joins, before the groups go
}

bool VpssDriver::OnFrame(const MPP_CHN_S& dst, const MPP_CHN_S&, const HeldFrame& frame) {
    if (static_cast<uint32_t>(dst.s32DevId) >= static_cast<uint32_t>(kGroups)) return false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!AcceptLocked(dst.s32DevId, frame)) return false;
    }
    WakeWorker(dst.s32DevId);
    return true;
}

void VpssDriver::OnUnbind(const MPP_CHN_S& dst, const MPP_CHN_S&) {
    if (static_cast<uint32_t>(dst.s32DevId) >= static_cast<uint32_t>(kGroups)) return;
    std::lock_guard<std::mutex> lock(m_mutex);
    DropQueues(m_groups[dst.s32DevId]);
}

std::unique_ptr<dev::File> VpssDriver::Open(int) { return std::make_unique<VpssFile>(); }

int VpssDriver::Bind(dev::File& file, unsigned long request, void* arg) {
    MK_U32 word = 0;
    if (CopyRequestIn(request, arg, &word) != 0) return -1;
    MK_U32 grp = word >> 16, chn = word & 0xFF;
    if (grp >= static_cast<MK_U32>(kGroups) || (word & 0xFF00) != 0) return Err(MK_ERR_INVALID_DEVID);
    if (chn != 0xFF && chn >= static_cast<MK_U32>(kChannels)) return Err(MK_ERR_INVALID_CHNID);
    auto& f = static_cast<VpssFile&>(file);
    std::lock_guard<std::mutex> lock(m_mutex);
    f.word = word;
    f.bound = true;
    return 0;
}

int VpssDriver::Ioctl(dev::File& file, unsigned long request, void* arg) {
    if (request == kBind) return Bind(file, request, arg);
    std::unique_lock<std::mutex> lock(m_mutex);
    auto& f = static_cast<VpssFile&>(file);
    if (!f.bound) return IsKnown(request) ? Err(MK_ERR_NOT_PERM) : dev::Fail(ENOTTY);
    Object obj{Scope::kGrp, static_cast<int>(f.word >> 16), static_cast<int>(f.word & 0xFF)};
    if (obj.chn != 0xFF) obj.scope = Scope::kChn;
    bool handled = false;
    int ret = StoreRequest(obj, request, arg, &handled);
    if (!handled) return Dispatch(obj, request, arg, lock);
    if (ret != 0) return ret;
    AfterStore(obj.grp, obj, request);
    if (request == kSetChnMode) {
        lock.unlock();
        WakeWorker(obj.grp);  // the channel shows again at its new size
    }
    return 0;
}

int VpssDriver::StoreRequest(const Object& obj, unsigned long request, void* arg, bool* handled) {
    const Pair* found = FindStorePair(kPairs, request);
    if (found == nullptr) return 0;
    const Pair& p = *found;
    *handled = true;
    if (p.scope == Scope::kMod) {
        return request == p.set ? m_module.Set(p.set, request, arg, p.size)
                                : m_module.Get(p.set, request, arg, p.size, {});
    }
    if (obj.scope != p.scope) return Err(MK_ERR_NOT_PERM);
    Grp& g = m_groups[obj.grp];
    if (!g.created) return Err(MK_ERR_UNEXIST);
    AttrStore& store = p.scope == Scope::kGrp ? g.store : g.chn[obj.chn].store;
    if (request == p.get) {
        VPSS_GRP_ATTR_S attr{};
        g.store.Read(kSetGrpAttr, &attr, sizeof attr, {});
        return store.Get(p.set, request, arg, p.size, p.defaults(attr));
    }
    return store.Set(p.set, request, arg, p.size);
}

void VpssDriver::AfterStore(int grp, const Object& obj, unsigned long request) {
    Grp& g = m_groups[grp];
    switch (request) {
        case kSetDepth: {
            Chn& c = g.chn[obj.chn];
            while (c.queue.size() > Depth(c)) c.queue.pop_front();
            break;
        }
        case kSetGrpFrameRate: {
            VPSS_FRAME_RATE_S rate = g.store.Value<VPSS_FRAME_RATE_S>(kSetGrpFrameRate, {-1, -1});
            g.rate.Set(rate.s32SrcFrmRate, rate.s32DstFrmRate);
            break;
        }
        case kSetChnMode: {
            Chn& c = g.chn[obj.chn];
            VPSS_CHN_MODE_S mode = c.store.Value<VPSS_CHN_MODE_S>(kSetChnMode, VPSS_CHN_MODE_S{});
            if (mode.enChnMode == VPSS_CHN_MODE_USER) {
                c.rate.Set(mode.s32SrcFrameRate, mode.s32DstFrameRate);
            } else {
                c.rate.Set(0, 0);
            }
            // A new size shows at once, from the picture the group keeps.
            if (c.enabled) ReplayLocked(grp, obj.chn);
            break;
        }
        default:
            break;
    }
}

int VpssDriver::Dispatch(const Object& obj, unsigned long request, void* arg, std::unique_lock<std::mutex>& lock) {
    std::optional<Scope> scope = ScopeOf(request);
    if (!scope) return dev::Fail(ENOTTY);
    if (obj.scope != *scope) return Err(MK_ERR_NOT_PERM);
    bool grpRequest = *scope == Scope::kGrp;
    Grp& g = m_groups[obj.grp];
    if (request == kCreateGrp) return CreateGrp(g, request, arg);
    if (!g.created) return Err(MK_ERR_UNEXIST);
    Chn* c = grpRequest ? nullptr : &g.chn[obj.chn];
    switch (request) {
        case kDestroyGrp:
            // A worker may still hold the group's pictures: destroy gives every block back only after it.
            WaitIdleLocked(g, lock);
            if (!g.created) return Err(MK_ERR_UNEXIST);  // destroyed by another caller meanwhile
            DestroyGrp(g);
            return 0;
        case kStartGrp: g.started = true; return 0;
        case kStopGrp:
            // A stopped group takes nothing and keeps nothing but what the user holds.
            g.started = false;
            DropQueues(g);
            return 0;
        case kResetGrp: DropQueues(g); return 0;
        case kEnableBackupFrame: SetBackup(obj.grp, true); return 0;
        case kDisableBackupFrame: SetBackup(obj.grp, false); return 0;
        case kEnableUserFrc: g.userFrameRateCtrl = true; return 0;
        case kDisableUserFrc: g.userFrameRateCtrl = false; return 0;
        case kSendFrame: return SendFrame(obj.grp, request, arg, lock);
        case kGetGrpFrame: return GetFrame(obj.grp, -1, request, arg, lock);
        case kGetChnFrame: return GetFrame(obj.grp, obj.chn, request, arg, lock);
        case kReleaseGrpFrame: return ReleaseHeldFrame(g.userHeld, request, arg, Err(MK_ERR_ILLEGAL_PARAM));
        case kReleaseChnFrame: return ReleaseHeldFrame(c->userHeld, request, arg, Err(MK_ERR_ILLEGAL_PARAM));
        case kGrpRegionLuma: case kChnRegionLuma: return RegionLuma(g, request, arg);
        case kEnableChn:
            EnableChn(obj.grp, obj.chn);
            lock.unlock();
            WakeWorker(obj.grp);
            return 0;
        case kDisableChn:
            c->enabled = false;
            ++c->generation;
            c->replay = false;
            c->queue.clear();
            return 0;
        case kAttachVbPool: {
            MK_U32 pool = 0;
            if (CopyRequestIn(request, arg, &pool) != 0) return -1;
            if (pool >= static_cast<MK_U32>(VbPools::kMaxPools) || !VbPools::Instance().Pool(static_cast<int>(pool)))
                return Err(MK_ERR_ILLEGAL_PARAM);
            c->vbPool = static_cast<MK_S32>(pool);
            return 0;
        }
        case kDetachVbPool: c->vbPool = -1; return 0;
    }
    return dev::Fail(ENOTTY);
}

int VpssDriver::CreateGrp(Grp& g, unsigned long request, void* arg) {
    VPSS_GRP_ATTR_S attr{};
    if (CopyRequestIn(request, arg, &attr) != 0) return -1;
    if (g.created) return Err(MK_ERR_EXIST);
    if (attr.u32MaxW == 0 || attr.u32MaxH == 0) return Err(MK_ERR_ILLEGAL_PARAM);
    g.created = true;
    g.store.Put(kSetGrpAttr, &attr, sizeof attr);
    return 0;
}

void VpssDriver::WaitIdleLocked(Grp& g, std::unique_lock<std::mutex>& lock) {
    m_changed.wait(lock, [&g] { return g.inFlight == 0; });
}

void VpssDriver::DestroyGrp(Grp& g) {
    const uint64_t life = g.life + 1, generation = g.generation + 1;
    const int inFlight = g.inFlight;
    g = Grp{};
    g.life = life;
    g.generation = generation;
    g.inFlight = inFlight;
    m_changed.notify_all();
}

void VpssDriver::DropQueues(Grp& g) {
    ++g.generation;
    g.input.clear();
    g.newest.reset();
    for (Chn& c : g.chn) {
        c.queue.clear();
        c.replay = false;
    }
    m_changed.notify_all();  // room in the input queue
}

void VpssDriver::SetBackup(int grp, bool on) {
    Grp& g = m_groups[grp];
    g.backupFrame = on;
    // Off, the group lets go of the picture it kept (unless a GetGrpFrame waits for the next one).
    if (!on && g.grpWaiters == 0) g.newest.reset();
}

void VpssDriver::EnableChn(int grp, int chn) {
    Chn& c = m_groups[grp].chn[chn];
    if (c.enabled) return;
    c.enabled = true;
    ++c.generation;
    ReplayLocked(grp, chn);
}

MK_U32 VpssDriver::Depth(const Chn& c) const { return c.store.Value<MK_U32>(kSetDepth, 0); }

MK_U32 VpssDriver::QueueLength(const Grp& g) const {
    return std::max<MK_U32>(1, g.store.Value<MK_U32>(kSetPicQueueLength, kGroupQueue));
}

VpssDriver::GroupState VpssDriver::Group(int grp) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const Grp& g = m_groups.at(grp);
    return {g.created,  g.started,         g.backupFrame,      g.userFrameRateCtrl, g.input.size(),
            g.userHeld.size(), g.newest.has_value(), g.received, g.processed, g.dropped, g.thinned, g.grpWaiters};
}

VpssDriver::ChnState VpssDriver::Channel(int grp, int chn) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const Chn& c = m_groups.at(grp).chn[chn];
    return {c.enabled, Depth(c), c.vbPool, c.queue.size(), c.userHeld.size(), c.made, c.thinned, c.lost, c.lastSize};
}

int64_t VpssDriver::BindWordOf(int fd) const {
    auto* f = dynamic_cast<VpssFile*>(dev::Registry::Lookup(fd));
    if (f == nullptr || &f->driver() != this) return -1;
    std::lock_guard<std::mutex> lock(m_mutex);
    return f->bound ? static_cast<int64_t>(f->word) : -1;
}

void VpssDriver::Reset() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (Grp& g : m_groups) {
        WaitIdleLocked(g, lock);
        DestroyGrp(g);
    }
    m_module.Clear();
}

uint64_t VpssDriver::WorkerCpuUs() const {
    uint64_t total = 0;
    for (const auto& w : m_workers) total += w->thread->CpuUs();
    return total;
}

void InstallVpssDriver() {
    InstallDriverOnce<VpssDriver>();
    // The registered driver receives the frames bound to groups (again and again: the same sink).
    if (auto driver = dev::Registry::Get<VpssDriver>("/dev/vpss")) FrameRouter::Instance().Attach(MK_ID_VPSS, driver.get());
}

}  // namespace varnelle::drivers
