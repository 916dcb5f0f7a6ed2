// Frames through the display: a channel shows the latest frame that reaches it (a paused one keeps
// its picture and the newest frame that arrives meanwhile); the user may take copies of what a channel
// shows, each holding the picture's block, and of a device's screen, each a copy in the media memory
// zone.
#include <algorithm>
#include <cstring>

#include "platform/drivers/core/media_clock.h"
#include "platform/drivers/core/ram_window.h"
#include "platform/drivers/core/request_copy.h"
#include "platform/drivers/vo/vo_driver.h"
#include "platform/drivers/vo/vo_requests.h"
#include "platform/mem/zone.h"

namespace varnelle::drivers {

using namespace vo;

namespace {

// A user may hold this many screen copies of one layer or of the write-back unit at once, so a caller
// that never releases cannot eat the zone.
constexpr size_t kMaxHeldScreens = 4;

bool ChannelInRange(const MPP_CHN_S& dst) {
    return static_cast<uint32_t>(dst.s32DevId) < VO_MAX_LAYER_NUM && static_cast<uint32_t>(dst.s32ChnId) < VO_MAX_CHN_NUM;
}

}  // namespace

VoDriver::ZoneFrame& VoDriver::ZoneFrame::operator=(ZoneFrame&& other) noexcept {
    if (this != &other) {
        if (m_frame.u32PhyAddr[0] != 0) mem::ZoneAllocator::Local().Free(m_frame.u32PhyAddr[0]);
        m_frame = other.m_frame;
        other.m_frame.u32PhyAddr[0] = 0;
    }
    return *this;
}

VoDriver::ZoneFrame::~ZoneFrame() {
    if (m_frame.u32PhyAddr[0] != 0) mem::ZoneAllocator::Local().Free(m_frame.u32PhyAddr[0]);
}

int VoDriver::SendFrame(Chn& c, unsigned long request, void* arg) {
    VIDEO_FRAME_REQ_S req{};
    if (CopyRequestIn(request, arg, &req) != 0) return -1;
    if (!c.enabled) return Err(MK_ERR_NOT_PERM);
    Arrive(c, HeldFrame(req.stFrame));
    return 0;
}

void VoDriver::Arrive(Chn& c, const HeldFrame& frame) {
    if (!c.paused) {
        Show(c, frame);
    } else if (c.stepsPending > 0) {
        --c.stepsPending;
        Show(c, frame);
    } else {
        c.waiting.assign(1, frame);
    }
}

void VoDriver::Show(Chn& c, const HeldFrame& frame) {
    c.showing.assign(1, frame);
    c.showSeq = ++m_seq;
    c.pts = MediaClock::NowUs();
    m_frameShown.notify_all();
}

bool VoDriver::ShowWaiting(Chn& c) {
    if (c.waiting.empty()) return false;
    HeldFrame frame = std::move(c.waiting.front());
    c.waiting.clear();
    Show(c, frame);
    return true;
}

void VoDriver::DropFrames(Chn& c, bool all) {
    c.waiting.clear();
    c.stepsPending = 0;
    if (all) {
        c.showing.clear();
        c.showSeq = ++m_seq;
    }
}

bool VoDriver::OnFrame(const MPP_CHN_S& dst, const MPP_CHN_S&, const HeldFrame& frame) {
    if (!ChannelInRange(dst)) return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    Chn& c = m_layers[dst.s32DevId].chn[dst.s32ChnId];
    if (!c.enabled) return false;
    ++c.received;
    Arrive(c, frame);
    return true;
}

void VoDriver::OnBind(const MPP_CHN_S& dst, const MPP_CHN_S&) {
    if (!ChannelInRange(dst)) return;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_layers[dst.s32DevId].chn[dst.s32ChnId].received = 0;
}

void VoDriver::OnUnbind(const MPP_CHN_S& dst, const MPP_CHN_S&) {
    if (!ChannelInRange(dst)) return;
    std::lock_guard<std::mutex> lock(m_mutex);
    // The pictures of the lost source go; the screen shows the background in their place.
    DropFrames(m_layers[dst.s32DevId].chn[dst.s32ChnId], true);
}

size_t VoDriver::Chn::UserHolds() const {
    size_t n = 0;
    for (const UserPicture& p : userHeld) n += p.gets;
    return n;
}

int VoDriver::GetChnFrame(int layer, Chn& c, unsigned long request, void* arg, std::unique_lock<std::mutex>& lock) {
    VIDEO_FRAME_REQ_S req{};
    if (CopyRequestIn(request, arg, &req) != 0) return -1;
    // The display keeps this many pictures of a channel: the user holds no more, so one that never
    // releases cannot drain the pools.
    MK_U32 depth = 0;
    m_layers[layer].store.Read(kSetDispBufLen, &depth, sizeof depth, RecordDefaults(kSetDispBufLen, layer));
    if (c.UserHolds() >= depth) return Err(MK_ERR_BUF_EMPTY);
    const uint64_t generation = m_generation;
    const bool ready = WaitFor(m_frameShown, lock, req.s32MilliSec,
                               [&] { return m_generation != generation || !c.showing.empty(); });
    if (m_generation != generation) return Err(MK_ERR_UNEXIST);
    if (!ready || c.UserHolds() >= depth) return Err(MK_ERR_BUF_EMPTY);  // another getter took the room
    const HeldFrame& frame = c.showing.front();
    req.stFrame = frame.frame();
    if (CopyRequestOut(request, arg, req) != 0) return -1;  // nothing handed out
    auto it = std::find_if(c.userHeld.begin(), c.userHeld.end(),
                           [&](const Chn::UserPicture& p) { return p.frame.Same(frame.frame()); });
    if (it != c.userHeld.end()) {
        ++it->gets;  // the same picture again: one more hold, not one more reference
    } else {
        c.userHeld.push_back(Chn::UserPicture{frame, 1});
    }
    return 0;
}

int VoDriver::ReleaseChnFrame(Chn& c, unsigned long request, const void* arg) {
    VIDEO_FRAME_INFO_S frame{};
    if (CopyRequestIn(request, arg, &frame) != 0) return -1;
    auto it = std::find_if(c.userHeld.begin(), c.userHeld.end(),
                           [&](const Chn::UserPicture& p) { return p.frame.Same(frame); });
    if (it == c.userHeld.end()) return Err(MK_ERR_ILLEGAL_PARAM);
    if (--it->gets == 0) c.userHeld.erase(it);
    return 0;
}

int VoDriver::GetScreenCopy(unsigned long request, void* arg, std::vector<ZoneFrame>& held,
                            std::unique_lock<std::mutex>& lock, const std::function<int()>& device, SIZE_S size) {
    VIDEO_FRAME_REQ_S req{};
    if (CopyRequestIn(request, arg, &req) != 0) return -1;
    if (held.size() >= kMaxHeldScreens) return Err(MK_ERR_BUF_FULL);
    auto screenNow = [&]() -> const Dv* {
        int dev = device();
        return dev >= 0 && dev < VO_MAX_DEV_NUM && m_devs[dev].screen ? &m_devs[dev] : nullptr;
    };
    uint64_t generation = m_generation;
    bool ready = WaitFor(m_frameShown, lock, req.s32MilliSec,
                         [&] { return m_generation != generation || screenNow() != nullptr; });
    if (m_generation != generation) return Err(MK_ERR_UNEXIST);
    if (!ready) return Err(MK_ERR_BUF_EMPTY);
    const Dv& d = *screenNow();
    const vo::Screen& screen = *d.screen;
    const uint32_t w = size.u32Width > 0 && size.u32Height > 0 ? size.u32Width : static_cast<uint32_t>(screen.Width());
    const uint32_t h = size.u32Width > 0 && size.u32Height > 0 ? size.u32Height : static_cast<uint32_t>(screen.Height());
    if (w > 8192 || h > 8192) return Err(MK_ERR_ILLEGAL_PARAM);
    const uint32_t stride = FrameStride(w), bytes = FrameBytes(w, h);
    const uint32_t phys = mem::ZoneAllocator::Local().Allocate(bytes, "", "vo-screen");
    uint8_t* out = phys != 0 ? RamWindow(phys, bytes) : nullptr;
    if (out == nullptr) {
        if (phys != 0) mem::ZoneAllocator::Local().Free(phys);
        return Err(MK_ERR_NOMEM);
    }
    VIDEO_FRAME_INFO_S f{};
    f.u32Width = w;
    f.u32Height = h;
    f.u32Field = MK_FIELD_FRAME;
    f.enPixelFormat = MK_PIXEL_FORMAT_YUV_SEMIPLANAR_420;
    f.u32PhyAddr[0] = phys;
    f.u32PhyAddr[1] = phys + stride * h;
    f.u32Stride[0] = f.u32Stride[1] = stride;
    f.u64pts = d.screenPtsUs;
    f.u32TimeRef = static_cast<MK_U32>(d.screenId * 2);
    f.u32PoolId = VbPools::kInvalid;
    ZoneFrame copy(f);
    if (w == static_cast<uint32_t>(screen.Width()) && h == static_cast<uint32_t>(screen.Height())) {
        std::memcpy(out, screen.Bytes().data(), bytes);  // the same layout
    } else {
        m_copyScaler.Scale(screen.Planes(), Yuv420SpPlanes{out, stride, out + stride * h, stride, static_cast<int>(w),
                                                           static_cast<int>(h)});
    }
    req.stFrame = f;
    if (CopyRequestOut(request, arg, req) != 0) return -1;
    held.push_back(std::move(copy));
    return 0;
}

int VoDriver::ReleaseScreenCopy(std::vector<ZoneFrame>& held, unsigned long request, const void* arg) {
    VIDEO_FRAME_INFO_S frame{};
    if (CopyRequestIn(request, arg, &frame) != 0) return -1;
    auto it = std::find_if(held.begin(), held.end(), [&](const ZoneFrame& z) {
        return z.frame().u32PhyAddr[0] == frame.u32PhyAddr[0] && z.frame().u32Width == frame.u32Width &&
               z.frame().u32Height == frame.u32Height;
    });
    if (it == held.end()) return Err(MK_ERR_ILLEGAL_PARAM);
    held.erase(it);
    return 0;
}

int VoDriver::ModuleValue(unsigned long request, void* arg) {
    VO_MODULE_VALUE_S req{};
    if (CopyRequestIn(request, arg, &req) != 0) return -1;
    switch (req.u32Selector) {
        case kValueDevices: req.u32Value = VO_MAX_DEV_NUM; break;
        case kValueLayers: req.u32Value = VO_MAX_LAYER_NUM; break;
        case kValueChannels: req.u32Value = VO_MAX_CHN_NUM; break;
        case kValueGraphicLayers: req.u32Value = VO_MAX_GRAPHICS_LAYER_NUM; break;
        default: return Err(MK_ERR_ILLEGAL_PARAM);
    }
    return CopyRequestOut(request, arg, req);
}

}  // namespace varnelle::drivers
