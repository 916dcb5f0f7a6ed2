#include "platform/drivers/vo/vo_driver.h"

#include <optional>

#include "platform/drivers/core/kernel.h"
#include "platform/drivers/core/media_clock.h"
#include "platform/drivers/core/request_copy.h"
#include "platform/drivers/vo/vo_requests.h"
#include "platform/drivers/vo/vo_trace.h"

namespace varnelle::drivers {

using namespace vo;

namespace {

enum class Scope { kDev, kCas, kLBind, kLayer, kChn, kWbc, kGfx, kMod };

using Defaults = std::vector<uint8_t> (*)(int index);
std::vector<uint8_t> Zeros(int) { return {}; }
std::vector<uint8_t> DevFrameRateDefaults(int) { return RecordBytes(MK_U32{60}); }
std::vector<uint8_t> LayerAttrDefaults(int) {
    return RecordBytes(VO_VIDEO_LAYER_ATTR_S{{0, 0, 1920, 1080}, {1920, 1080}, 30, kPixFmtYuv420Sp, 0, 0});
}
std::vector<uint8_t> LayerPriorityDefaults(int layer) { return RecordBytes(static_cast<MK_U32>(layer)); }
std::vector<uint8_t> CscDefaults(int) { return RecordBytes(VO_CSC_S{0, 50, 50, 50, 50}); }
std::vector<uint8_t> VgaDefaults(int) { return RecordBytes(VO_VGA_PARAM_S{{0, 50, 50, 50, 50}, 10, 0}); }
std::vector<uint8_t> HdmiDefaults(int) { return RecordBytes(VO_HDMI_PARAM_S{{0, 50, 50, 50, 50}}); }
std::vector<uint8_t> DispBufLenDefaults(int) { return RecordBytes(MK_U32{3}); }
std::vector<uint8_t> FieldDefaults(int) { return RecordBytes(MK_U32{2}); }  // both fields
std::vector<uint8_t> ChnFrameRateDefaults(int) { return RecordBytes(MK_U32{25}); }

using Pair = StorePair<Scope, Defaults>;
#define VO_PAIR(scope, setNr, getNr, T, defaults) \
    VIDEO_STORE_PAIR(Pair, kMagic, Scope::scope, setNr, getNr, T, defaults)
const Pair kPairs[] = {
    VO_PAIR(kDev, 4, 5, VO_PUB_ATTR_S, Zeros),
    VO_PAIR(kDev, 6, 7, MK_U32, DevFrameRateDefaults),
    VO_PAIR(kDev, 8, 9, MK_U32, Zeros),
    VO_PAIR(kDev, 87, 88, MK_U32, Zeros),
    VO_PAIR(kDev, 97, 98, VO_VGA_PARAM_S, VgaDefaults),
    VO_PAIR(kDev, 99, 100, VO_HDMI_PARAM_S, HdmiDefaults),
    VO_PAIR(kLayer, 26, 27, VO_VIDEO_LAYER_ATTR_S, LayerAttrDefaults),
    VO_PAIR(kLayer, 28, 29, VO_COMPRESS_ATTR_S, Zeros),
    VO_PAIR(kLayer, 32, 33, MK_U32, LayerPriorityDefaults),
    VO_PAIR(kLayer, 34, 35, VO_CSC_S, CscDefaults),
    VO_PAIR(kLayer, 36, 37, MK_U32, DispBufLenDefaults),
    VO_PAIR(kLayer, 38, 39, MK_U32, Zeros),
    VO_PAIR(kLayer, 42, 43, MK_U32, Zeros),
    VO_PAIR(kLayer, 76, 77, VO_LAYER_BOUNDARY_S, Zeros),
    VO_PAIR(kChn, 50, 51, VO_CHN_ATTR_S, Zeros),
    VO_PAIR(kChn, 52, 53, VO_CHN_PARAM_S, Zeros),
    VO_PAIR(kChn, 54, 55, POINT_S, Zeros),
    VO_PAIR(kChn, 56, 57, MK_U32, FieldDefaults),
    VO_PAIR(kChn, 62, 61, MK_U32, ChnFrameRateDefaults),
    VO_PAIR(kChn, 67, 68, VO_ZOOM_ATTR_S, Zeros),
    VO_PAIR(kChn, 74, 75, VO_BORDER_S, Zeros),
    VO_PAIR(kChn, 78, 79, VO_CHN_BOUNDARY_S, Zeros),
    VO_PAIR(kChn, 80, 81, MK_U32, Zeros),
    VO_PAIR(kWbc, 12, 13, VO_WBC_SOURCE_S, Zeros),
    VO_PAIR(kWbc, 16, 17, VO_WBC_ATTR_S, Zeros),
    VO_PAIR(kWbc, 18, 19, MK_U32, Zeros),
    VO_PAIR(kWbc, 20, 21, MK_U32, Zeros),
    VO_PAIR(kGfx, 95, 96, VO_CSC_S, CscDefaults),
    VO_PAIR(kMod, 83, 84, VO_CAS_ATTR_S, Zeros),
};
#undef VO_PAIR

}  // namespace

std::vector<uint8_t> vo::RecordDefaults(unsigned long setRequest, int index) {
    const Pair* p = FindStorePair(kPairs, setRequest);
    return p != nullptr ? p->defaults(index) : std::vector<uint8_t>{};
}

namespace {

// The object kind a request other than a stored record concerns; none for an unknown request.
std::optional<Scope> ScopeOf(unsigned long request) {
    switch (request) {
        case kEnable: case kDisable: case kEnableCascadeDev: case kDisableCascadeDev:
            return Scope::kDev;
        case kCascadePosBindChn: case kCascadePosUnBindChn:
            return Scope::kCas;
        case kBindVideoLayer: case kUnBindVideoLayer:
            return Scope::kLBind;
        case kEnableVideoLayer: case kDisableVideoLayer: case kGetScreenFrame: case kReleaseScreenFrame:
        case kSetAttrBegin: case kSetAttrEnd: case kEnableDoubleFrame: case kDisableDoubleFrame:
            return Scope::kLayer;
        case kEnableRecvFrameRateMatch: case kDisableRecvFrameRateMatch: case kEnableChn: case kDisableChn:
        case kSendFrame: case kGetChnFrame: case kReleaseChnFrame: case kPauseChn: case kResumeChn:
        case kStepChn: case kRefreshChn: case kShowChn: case kHideChn: case kGetChnPts: case kQueryChnStat:
        case kClearChnBuffer: case kChnRegionLuma:
            return Scope::kChn;
        case kEnableWbc: case kDisableWbc: case kGetWbcFrame: case kReleaseWbcFrame:
            return Scope::kWbc;
        case kBindGraphicLayer: case kUnBindGraphicLayer:
            return Scope::kGfx;
        case kEnableCascade: case kDisableCascade: case kModuleValue:
            return Scope::kMod;
    }
    return std::nullopt;
}

class VoFile : public dev::File {
public:
    std::string BoundObject() const override {
        if (!bound) return {};
        if (word & MK_VO_WBC_WORD_BIT) return "wbc 0";
        if (word & MK_VO_GFX_WORD_BIT) return "gfx " + std::to_string((word >> 28) & 7);
        return "dev " + std::to_string((word >> 16) & 0xFF) + " layer " + std::to_string((word >> 8) & 0xFF) +
               " chn " + std::to_string(word & 0xFF);
    }
    bool bound = false;
    MK_U32 word = 0;
};

}  // namespace

struct VoDriver::Object {
    enum Kind { kTable, kGfx, kWbc };
    Kind kind;
    int dev, layer, chn, gfx;

    static Object FromWord(MK_U32 w) {
        if (w & MK_VO_WBC_WORD_BIT) return {kWbc, 0, 0, 0, 0};
        if (w & MK_VO_GFX_WORD_BIT) return {kGfx, 0, 0, 0, static_cast<int>((w >> 28) & 7)};
        return {kTable, static_cast<int>((w >> 16) & 0xFF), static_cast<int>((w >> 8) & 0xFF),
                static_cast<int>(w & 0xFF), 0};
    }
    // Whether a request of `scope` may come through this descriptor.
    bool Serves(Scope scope) const {
        switch (scope) {
            case Scope::kWbc: return kind == kWbc;
            case Scope::kGfx: return kind == kGfx;
            default: return kind == kTable;
        }
    }
};

VoDriver::VoDriver() : Driver("/dev/vo"), m_layers(new Lay[VO_MAX_LAYER_NUM]) {
    ResetLocked();
    m_display = std::make_unique<PacedThread>("vo-display", [this](uint64_t now) { return DisplayTick(now); });
}

VoDriver::~VoDriver() {
    FrameRouter::Instance().Detach(MK_ID_VOU, this);
    m_display.reset();
}

std::unique_ptr<dev::File> VoDriver::Open(int) { return std::make_unique<VoFile>(); }

int VoDriver::Bind(dev::File& file, unsigned long request, void* arg) {
    MK_U32 w = 0;
    if (CopyRequestIn(request, arg, &w) != 0) return -1;
    Object obj = Object::FromWord(w);
    if (obj.kind == Object::kWbc && ((w >> 24) & 7) != 0) return Err(MK_ERR_VO_INVALID_WBC);
    if (obj.kind == Object::kGfx && obj.gfx >= VO_MAX_GRAPHICS_LAYER_NUM) return Err(MK_ERR_VO_INVALID_GFX_LAYER);
    if (obj.kind == Object::kTable) {
        if ((w >> 24) != 0 || obj.dev >= VO_MAX_DEV_NUM) return Err(MK_ERR_INVALID_DEVID);
        if (obj.layer >= VO_MAX_LAYER_NUM) return Err(MK_ERR_VO_INVALID_LAYER);
        if (obj.chn >= VO_MAX_CHN_NUM) return Err(MK_ERR_INVALID_CHNID);
    }
    auto& f = static_cast<VoFile&>(file);
    std::lock_guard<std::mutex> lock(m_mutex);
    f.word = w;
    f.bound = true;
    return 0;
}

int VoDriver::Ioctl(dev::File& file, unsigned long request, void* arg) {
    if (request == kBind) return Bind(file, request, arg);
    std::unique_lock<std::mutex> lock(m_mutex);
    auto& f = static_cast<VoFile&>(file);
    bool known = FindStorePair(kPairs, request) != nullptr || ScopeOf(request).has_value();
    if (!known) return dev::Fail(ENOTTY);
    if (!f.bound) return Err(MK_ERR_NOT_PERM);
    Object obj = Object::FromWord(f.word);
    bool handled = false;
    int ret = StoreRequest(obj, request, arg, &handled);
    return handled ? ret : Dispatch(obj, request, arg, lock);
}

int VoDriver::StoreRequest(const Object& obj, unsigned long request, void* arg, bool* handled) {
    const Pair* p = FindStorePair(kPairs, request);
    if (p == nullptr) return 0;
    *handled = true;
    if (!obj.Serves(p->scope)) return Err(MK_ERR_NOT_PERM);
    AttrStore* store = nullptr;
    int index = 0;
    switch (p->scope) {
        case Scope::kDev: store = &m_devs[obj.dev].store; index = obj.dev; break;
        case Scope::kLayer: store = &m_layers[obj.layer].store; index = obj.layer; break;
        case Scope::kChn: {
            Lay& l = m_layers[obj.layer];
            store = &l.chn[obj.chn].store;
            index = obj.chn;
            // A batch takes effect at its end; until then reads give what is in force.
            if (l.batching && request == p->set) {
                std::vector<uint8_t> bytes(p->size);
                if (CopyRequestInBytes(request, arg, bytes.data(), bytes.size()) != 0) return -1;
                l.pending.emplace_back(obj.chn, p->set, std::move(bytes));
                return 0;
            }
            break;
        }
        case Scope::kWbc: store = &m_wbc.store; break;
        case Scope::kGfx: store = &m_gfx[obj.gfx].store; index = obj.gfx; break;
        default: store = &m_module; break;
    }
    if (request == p->get) return store->Get(p->set, request, arg, p->size, p->defaults(index));
    return store->Set(p->set, request, arg, p->size);
}

int VoDriver::Dispatch(const Object& obj, unsigned long request, void* arg, std::unique_lock<std::mutex>& lock) {
    Scope scope = *ScopeOf(request);
    if (!obj.Serves(scope)) return Err(MK_ERR_NOT_PERM);
    switch (scope) {
        case Scope::kDev:
            return DevRequest(m_devs[obj.dev], request);
        case Scope::kCas: {
            MK_U32 pos = 0;
            if (CopyRequestIn(request, arg, &pos) != 0) return -1;
            if (pos >= VO_MAX_CHN_NUM) return Err(MK_ERR_ILLEGAL_PARAM);
            auto it = m_cascadePos.find(pos);
            std::pair<int, int> target{obj.dev, obj.chn};
            if (request == kCascadePosBindChn) {
                if (it != m_cascadePos.end() && it->second != target) return Err(MK_ERR_NOT_PERM);
                m_cascadePos[pos] = target;
                return 0;
            }
            if (it == m_cascadePos.end() || it->second != target) return Err(MK_ERR_UNEXIST);
            m_cascadePos.erase(it);
            return 0;
        }
        case Scope::kLBind: {
            Lay& l = m_layers[obj.layer];
            if (l.enabled) return Err(MK_ERR_NOT_PERM);  // a layer on screen keeps its device
            if (request == kBindVideoLayer) {
                l.device = obj.dev;
                return 0;
            }
            if (l.device != obj.dev) return Err(MK_ERR_NOT_PERM);
            l.device = -1;
            return 0;
        }
        case Scope::kLayer:
            return LayerRequest(obj.layer, request, arg, lock);
        case Scope::kChn:
            return ChnRequest(obj.layer, obj.chn, request, arg, lock);
        case Scope::kWbc:
            return WbcRequest(request, arg, lock);
        case Scope::kGfx: {
            MK_U32 device = 0;
            if (CopyRequestIn(request, arg, &device) != 0) return -1;
            if (device >= VO_MAX_DEV_NUM) return Err(MK_ERR_INVALID_DEVID);
            Gfx& g = m_gfx[obj.gfx];
            if (request == kBindGraphicLayer) {
                if (g.device >= 0 && g.device != static_cast<int>(device)) return Err(MK_ERR_NOT_PERM);
                g.device = static_cast<int>(device);
                return 0;
            }
            if (g.device != static_cast<int>(device)) return Err(MK_ERR_NOT_PERM);
            g.device = -1;
            return 0;
        }
        case Scope::kMod:
            if (request == kModuleValue) return ModuleValue(request, arg);
            m_cascade = request == kEnableCascade;
            return 0;
    }
    return dev::Fail(ENOTTY);
}

int VoDriver::DevRequest(Dv& d, unsigned long request) {
    switch (request) {
        case kEnable:
            if (!d.enabled) {
                d.enabled = true;
                d.screens = 0;
                // The display thread starts the device's screens at its rate, the first at once.
                if (m_display) m_display->Wake();
            }
            return 0;
        case kDisable:
            d.enabled = false;
            d.pacer.Stop();
            d.screen.reset();
            d.screens = 0;
            return 0;
        case kEnableCascadeDev: d.cascadeDev = true; return 0;
        case kDisableCascadeDev: d.cascadeDev = false; return 0;
    }
    return dev::Fail(ENOTTY);
}

int VoDriver::LayerRequest(int layer, unsigned long request, void* arg, std::unique_lock<std::mutex>& lock) {
    Lay& l = m_layers[layer];
    switch (request) {
        case kEnableVideoLayer: l.enabled = true; return 0;
        case kDisableVideoLayer: l.enabled = false; return 0;
        case kSetAttrBegin:
            if (l.batching) return Err(MK_ERR_NOT_PERM);
            l.batching = true;
            return 0;
        case kSetAttrEnd:
            if (!l.batching) return Err(MK_ERR_NOT_PERM);
            for (auto& [chn, key, bytes] : l.pending) l.chn[chn].store.Put(key, bytes.data(), bytes.size());
            l.pending.clear();
            l.batching = false;
            return 0;
        case kEnableDoubleFrame: l.doubleFrame = true; return 0;
        case kDisableDoubleFrame: l.doubleFrame = false; return 0;
        case kGetScreenFrame:
            // The screen of the device the layer is on, whichever that is when it comes.
            return GetScreenCopy(request, arg, l.userHeld, lock, [&l] { return l.device; }, SIZE_S{0, 0});
        case kReleaseScreenFrame: return ReleaseScreenCopy(l.userHeld, request, arg);
    }
    return dev::Fail(ENOTTY);
}

int VoDriver::ChnRequest(int layer, int chn, unsigned long request, void* arg, std::unique_lock<std::mutex>& lock) {
    Chn& c = m_layers[layer].chn[chn];
    switch (request) {
        case kEnableRecvFrameRateMatch: c.frameRateMatch = true; return 0;
        case kDisableRecvFrameRateMatch: c.frameRateMatch = false; return 0;
        case kEnableChn: c.enabled = true; return 0;
        case kDisableChn:
            c.enabled = false;
            DropFrames(c, true);
            return 0;
        case kPauseChn:
            c.paused = true;
            VoTraceChn(layer, chn, "pause");
            return 0;
        case kResumeChn:
            c.paused = false;
            c.stepsPending = 0;
            ShowWaiting(c);
            VoTraceChn(layer, chn, "resume");
            return 0;
        case kStepChn:
            if (!c.paused) return Err(MK_ERR_NOT_PERM);
            ++c.steps;
            if (!ShowWaiting(c)) ++c.stepsPending;
            return 0;
        case kRefreshChn:
            ++c.refreshes;
            // Nothing newer: the screen is composed afresh all the same.
            if (!ShowWaiting(c)) c.showSeq = ++m_seq;
            return 0;
        case kShowChn:
            c.shown = true;
            VoTraceChn(layer, chn, "show");
            return 0;
        case kHideChn:
            c.shown = false;
            VoTraceChn(layer, chn, "hide");
            return 0;
        case kClearChnBuffer: {
            MK_U32 clearAll = 0;
            if (CopyRequestIn(request, arg, &clearAll) != 0) return -1;
            DropFrames(c, clearAll != 0);
            return 0;
        }
        case kGetChnPts: return CopyRequestOut(request, arg, c.showing.empty() ? MK_U64{0} : c.pts);
        case kQueryChnStat:
            return CopyRequestOut(request, arg, VO_QUERY_STATUS_S{static_cast<MK_U32>(c.showing.size() + c.waiting.size())});
        case kSendFrame: return SendFrame(c, request, arg);
        case kGetChnFrame:
            return GetChnFrame(layer, c, request, arg, lock);
        case kReleaseChnFrame: return ReleaseChnFrame(c, request, arg);
        case kChnRegionLuma:
            return FillRegionLuma(c.showing.empty() ? nullptr : &c.showing.front(), request, arg, Err(MK_ERR_ILLEGAL_PARAM));
    }
    return dev::Fail(ENOTTY);
}

int VoDriver::WbcRequest(unsigned long request, void* arg, std::unique_lock<std::mutex>& lock) {
    switch (request) {
        case kEnableWbc: m_wbc.enabled = true; return 0;
        case kDisableWbc: m_wbc.enabled = false; return 0;
        case kGetWbcFrame: {
            if (!m_wbc.enabled) return Err(MK_ERR_NOT_PERM);
            // The written-back picture is the source device's screen at the unit's target size.
            VO_WBC_ATTR_S attr{};
            m_wbc.store.Read(kSetWbcAttr, &attr, sizeof attr, {});
            return GetScreenCopy(request, arg, m_wbc.userHeld, lock, [this] {
                VO_WBC_SOURCE_S src{};
                m_wbc.store.Read(kSetWbcSource, &src, sizeof src, {});
                return src.u32SourceId < VO_MAX_DEV_NUM ? static_cast<int>(src.u32SourceId) : -1;
            }, attr.stTargetSize);
        }
        case kReleaseWbcFrame: return ReleaseScreenCopy(m_wbc.userHeld, request, arg);
    }
    return dev::Fail(ENOTTY);
}

VoDriver::DevState VoDriver::Device(int dev) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const Dv& d = m_devs[dev];
    return {d.enabled, d.cascadeDev, d.screens, m_compositors[dev].ScaledCount()};
}

VoDriver::LayerState VoDriver::Layer(int layer) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const Lay& l = m_layers[layer];
    return {l.enabled, l.batching, l.doubleFrame, l.device, l.userHeld.size()};
}

VoDriver::ChnState VoDriver::Channel(int layer, int chn) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const Chn& c = m_layers[layer].chn[chn];
    ChnState s{c.enabled, c.shown, c.paused, c.frameRateMatch, c.steps, c.refreshes, !c.showing.empty(), {},
               !c.waiting.empty(), {}, c.UserHolds(), c.received};
    if (!c.showing.empty()) s.frame = c.showing.front().frame();
    c.store.Read(kSetChnDispPos, &s.position, sizeof s.position, {});
    return s;
}

bool VoDriver::CascadeEnabled() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_cascade;
}

std::optional<std::pair<int, int>> VoDriver::CascadePosition(MK_U32 pos) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_cascadePos.find(pos);
    if (it == m_cascadePos.end()) return std::nullopt;
    return it->second;
}

int VoDriver::GraphicLayerDevice(int gfx) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_gfx[gfx].device;
}

bool VoDriver::WbcEnabled() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_wbc.enabled;
}

std::shared_ptr<const vo::Screen> VoDriver::ScreenOf(int dev) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return dev >= 0 && dev < VO_MAX_DEV_NUM ? m_devs[dev].screen : nullptr;
}

uint64_t VoDriver::DisplayCpuUs() const { return m_display ? m_display->CpuUs() : 0; }

int64_t VoDriver::BindWordOf(int fd) const {
    auto* f = dynamic_cast<VoFile*>(dev::Registry::Lookup(fd));
    if (f == nullptr || &f->driver() != this) return -1;
    std::lock_guard<std::mutex> lock(m_mutex);
    return f->bound ? static_cast<int64_t>(f->word) : -1;
}

void VoDriver::Reset() {
    std::lock_guard<std::mutex> lock(m_mutex);
    ResetLocked();
}

void VoDriver::ResetLocked() {
    ++m_generation;
    for (Dv& d : m_devs) d = Dv{};
    for (int i = 0; i < VO_MAX_LAYER_NUM; ++i) {
        m_layers[i] = Lay{};
        // Each video layer starts on the device of its own number; the last has none.
        m_layers[i].device = i < VO_MAX_DEV_NUM ? i : -1;
    }
    // But layer 8 is device 0's picture-in-picture layer, on from the start above layer 0: the
    // program puts the shifted layout, the zoom and the playback windows there and never enables
    // it, and device 0's screen is what the cascade output carries. Disable it to move it.
    m_layers[kPipLayer].device = 0;
    m_layers[kPipLayer].enabled = true;
    for (Gfx& g : m_gfx) g = Gfx{};
    m_wbc = Wbc{};
    m_cascade = false;
    m_module.Clear();
    m_cascadePos.clear();
    m_frameShown.notify_all();
}

void InstallVoDriver() {
    InstallDriverOnce<VoDriver>();
    // The registered driver receives the frames bound to display channels.
    if (auto driver = dev::Registry::Get<VoDriver>("/dev/vo")) FrameRouter::Instance().Attach(MK_ID_VOU, driver.get());
}

}  // namespace varnelle::drivers
