// Frames through the display: a channel shows the last frame sent to it; the user may take copies of
// what a channel, a layer's screen or the write-back unit shows, each holding the picture's block.
#include "platform/drivers/vo/vo_driver.h"

#include "platform/drivers/core/request_copy.h"
#include "platform/drivers/vo/vo_requests.h"
#include "platform/host/clock.h"

namespace varnelle::drivers {

using namespace vo;

int VoDriver::SendFrame(Lay& l, Chn& c, unsigned long request, void* arg) {
    VIDEO_FRAME_REQ_S req{};
    if (CopyRequestIn(request, arg, &req) != 0) return -1;
    if (!c.enabled) return Err(MK_ERR_NOT_PERM);
    // A paused channel keeps its picture; what arrives meanwhile is let go at once.
    if (c.paused) return 0;
    Show(l, c, HeldFrame(req.stFrame));
    return 0;
}

void VoDriver::Show(Lay& l, Chn& c, const HeldFrame& frame) {
    c.showing.assign(1, frame);
    c.pts = host::MonotonicUs();
    l.lastShown.assign(1, frame);
    l.shownSeq = ++m_seq;
    m_frameShown.notify_all();
}

bool VoDriver::OnFrame(const MPP_CHN_S& dst, const MPP_CHN_S&, const HeldFrame& frame) {
    if (static_cast<uint32_t>(dst.s32DevId) >= VO_MAX_LAYER_NUM || static_cast<uint32_t>(dst.s32ChnId) >= VO_MAX_CHN_NUM)
        return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    Lay& l = m_layers[dst.s32DevId];
    Chn& c = l.chn[dst.s32ChnId];
    if (!c.enabled || c.paused) return false;
    Show(l, c, frame);
    return true;
}

void VoDriver::OnUnbind(const MPP_CHN_S& dst, const MPP_CHN_S&) {
    if (static_cast<uint32_t>(dst.s32DevId) >= VO_MAX_LAYER_NUM || static_cast<uint32_t>(dst.s32ChnId) >= VO_MAX_CHN_NUM)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    Lay& l = m_layers[dst.s32DevId];
    Chn& c = l.chn[dst.s32ChnId];
    // The picture of the lost source goes, from the channel and from the layer's last screen.
    if (!c.showing.empty() && !l.lastShown.empty() && l.lastShown.front().Same(c.showing.front().frame())) {
        l.lastShown.clear();
    }
    c.showing.clear();
}

int VoDriver::GetFrame(unsigned long request, void* arg, std::vector<HeldFrame>& held, std::unique_lock<std::mutex>& lock,
                       const std::function<const HeldFrame*()>& source) {
    VIDEO_FRAME_REQ_S req{};
    if (CopyRequestIn(request, arg, &req) != 0) return -1;
    uint64_t generation = m_generation;
    bool ready = WaitFor(m_frameShown, lock, req.s32MilliSec,
                         [&] { return m_generation != generation || source() != nullptr; });
    if (m_generation != generation) return Err(MK_ERR_UNEXIST);
    if (!ready) return Err(MK_ERR_BUF_EMPTY);
    const HeldFrame* frame = source();
    req.stFrame = frame->frame();
    held.push_back(*frame);
    return CopyRequestOut(request, arg, req);
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
