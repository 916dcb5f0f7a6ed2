// /dev/vo: the simulated display driver. A descriptor is bound to a word that names a device, layer
// and channel ((device << 16) | (layer << 8) | channel), a graphic layer (0x80000000 | (g << 28)) or
// the write-back unit (0x08000000); each request reads from that word the ids it concerns, so the
// shared descriptor of word 0 serves device 0, layer 0, channel 0 of layer 0 and the module alike.
// Devices, layers and channels keep their attribute records and their enable/show/pause state; a
// frame sent to a channel is shown until the next one and can be got back out, from the channel, the
// layer's screen or the write-back unit. An enabled channel also shows the frames of the source bound
// to it ({15, layer, channel}, as a frame sink), unscaled; unbinding drops its picture.
#pragma once

#include <condition_variable>
#include <functional>
#include <tuple>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "platform/dev/driver.h"
#include "platform/drivers/core/frame_router.h"
#include "platform/drivers/core/video_frames.h"
#include "sdk/vo/vo_ioctl.h"

namespace varnelle::drivers {

class VoDriver : public dev::Driver, public FrameSink {
public:
    VoDriver();
    ~VoDriver() override;

    // Frames of the source bound to a display channel.
    bool OnFrame(const MPP_CHN_S& dst, const MPP_CHN_S& src, const HeldFrame& frame) override;
    void OnUnbind(const MPP_CHN_S& dst, const MPP_CHN_S& src) override;

    std::unique_ptr<dev::File> Open(int flags) override;
    int Ioctl(dev::File& file, unsigned long request, void* arg) override;

    // Test-side view. Thread-safe.
    struct DevState {
        bool enabled, cascadeDev;
    };
    struct LayerState {
        bool enabled, batching, doubleFrame;
        int device;  // the device the layer is bound to, -1 for none
        size_t userHeld;
    };
    struct ChnState {
        bool enabled, shown, paused, frameRateMatch;
        unsigned steps, refreshes;
        bool showing;  // a frame is on display
        VIDEO_FRAME_INFO_S frame;  // the frame on display, when showing
        POINT_S position;
        size_t userHeld;
    };
    DevState Device(int dev) const;
    LayerState Layer(int layer) const;
    ChnState Channel(int layer, int chn) const;
    bool CascadeEnabled() const;
    // The device and channel bound to a cascade position, if any.
    std::optional<std::pair<int, int>> CascadePosition(MK_U32 pos) const;
    int GraphicLayerDevice(int gfx) const;
    bool WbcEnabled() const;
    // The bind word of a descriptor, or -1 when it is not one of ours or not bound.
    int64_t BindWordOf(int fd) const;
    // Drops every state, record and frame (the system's exit).
    void Reset();

private:
    struct Chn {
        bool enabled = false, shown = true, paused = false, frameRateMatch = false;
        unsigned steps = 0, refreshes = 0;
        AttrStore store;
        std::vector<HeldFrame> showing;  // 0 or 1 frame
        MK_U64 pts = 0;
        std::vector<HeldFrame> userHeld;
    };
    struct Lay {
        bool enabled = false, batching = false, doubleFrame = false;
        int device = -1;
        AttrStore store;
        std::vector<HeldFrame> lastShown;  // 0 or 1 frame: what the layer's screen shows last
        uint64_t shownSeq = 0;
        std::vector<HeldFrame> userHeld;
        // channel records set between SetAttrBegin and SetAttrEnd: channel, request, record
        std::vector<std::tuple<int, unsigned long, std::vector<uint8_t>>> pending;
        Chn chn[VO_MAX_CHN_NUM];
    };
    struct Dv {
        bool enabled = false, cascadeDev = false;
        AttrStore store;
    };
    struct Gfx {
        int device = -1;
        AttrStore store;
    };
    struct Wbc {
        bool enabled = false;
        AttrStore store;
        std::vector<HeldFrame> userHeld;
    };
    struct Object;

    int Bind(dev::File& file, unsigned long request, void* arg);
    int StoreRequest(const Object& obj, unsigned long request, void* arg, bool* handled);
    int Dispatch(const Object& obj, unsigned long request, void* arg, std::unique_lock<std::mutex>& lock);
    int DevRequest(Dv& d, unsigned long request);
    int LayerRequest(int layer, unsigned long request, void* arg, std::unique_lock<std::mutex>& lock);
    int ChnRequest(int layer, int chn, unsigned long request, void* arg, std::unique_lock<std::mutex>& lock);
    int WbcRequest(unsigned long request, void* arg, std::unique_lock<std::mutex>& lock);
    int SendFrame(Lay& l, Chn& c, unsigned long request, void* arg);
    // Puts `frame` on show in the channel; call with m_mutex held.
    void Show(Lay& l, Chn& c, const HeldFrame& frame);
    // Waits for `source` to give a frame, hands the caller a copy and keeps one in `held`.
    int GetFrame(unsigned long request, void* arg, std::vector<HeldFrame>& held, std::unique_lock<std::mutex>& lock,
                 const std::function<const HeldFrame*()>& source);
    int ModuleValue(unsigned long request, void* arg);
    void ResetLocked();

    mutable std::mutex m_mutex;  // guards everything below
    std::condition_variable m_frameShown;
    uint64_t m_generation = 0;  // moves on at reset, so that waiters give up
    uint64_t m_seq = 0;         // orders the frames shown
    Dv m_devs[VO_MAX_DEV_NUM];
    std::unique_ptr<Lay[]> m_layers;
    Gfx m_gfx[VO_MAX_GRAPHICS_LAYER_NUM];
    Wbc m_wbc;
    bool m_cascade = false;
    AttrStore m_module;
    std::map<MK_U32, std::pair<int, int>> m_cascadePos;
};

// Registers the driver for /dev/vo (once) and its reset hook.
void InstallVoDriver();

}  // namespace varnelle::drivers
