// /dev/vo: the simulated display driver. A descriptor is bound to a word that names a device, layer
// and channel ((device << 16) | (layer << 8) | channel), a graphic layer (0x80000000 | (g << 28)) or
// the write-back unit (0x08000000); each request reads from that word the ids it concerns, so the
// shared descriptor of word 0 serves device 0, layer 0, channel 0 of layer 0 and the module alike.
//
// Devices, layers and channels keep their attribute records and their enable/show/pause state. An
// enabled channel shows the latest frame that reaches it, sent (SendFrame) or from the source bound to
// it ({15, layer, channel}, as a frame sink). While paused it keeps its picture and holds the newest
// frame that arrives meanwhile: step shows that one (or, with none, the next to arrive), refresh
// shows it at once, resume shows it and goes on. Unbinding, disabling or clearing drops the frames.
// The user may get the picture a channel shows, up to the layer's display buffer length of gets not
// released; a picture got again holds its block once.
//
// Every enabled device composes its screen at its frame rate on the driver's display thread (see
// vo_screen.h): background colour and size from its public attributes, each shown channel's picture
// scaled into its rectangle. Each video layer starts on the device of its own number, but layer 8,
// which starts on device 0 and enabled, above layer 0. A layer's screen frame and the write-back frame are copies of the screen
// in the media memory zone, held by the user until released. With $VARNELLE_TRACE set, each device's
// screen is written there as screen-<dev>.png about once a second of the media clock, when it changed,
// by a thread of its own, with the count of screens composed in display-<dev>.txt (vo_trace.h).
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
#include "platform/drivers/core/frame_pacing.h"
#include "platform/drivers/core/frame_router.h"
#include "platform/drivers/core/video_frames.h"
#include "platform/drivers/vo/vo_screen.h"
#include "platform/drivers/vo/vo_trace.h"
#include "sdk/vo/vo_ioctl.h"

namespace varnelle::drivers {

class PacedThread;

class VoDriver : public dev::Driver, public FrameSink {
public:
    VoDriver();
    ~VoDriver() override;

    // Frames of the source bound to a display channel.
    bool OnFrame(const MPP_CHN_S& dst, const MPP_CHN_S& src, const HeldFrame& frame) override;
    void OnBind(const MPP_CHN_S& dst, const MPP_CHN_S& src) override;
    void OnUnbind(const MPP_CHN_S& dst, const MPP_CHN_S& src) override;

    std::unique_ptr<dev::File> Open(int flags) override;
    int Ioctl(dev::File& file, unsigned long request, void* arg) override;

    // Test-side view. Thread-safe.
    struct DevState {
        bool enabled, cascadeDev;
        uint64_t screens;  // screens composed since the device was enabled
        uint64_t scaled;   // channel pictures scaled for its screens, ever
    };
    struct LayerState {
        bool enabled, batching, doubleFrame;
        int device;  // the device the layer is bound to, -1 for none
        size_t userHeld;  // screen frames the user holds
    };
    struct ChnState {
        bool enabled, shown, paused, frameRateMatch;
        unsigned steps, refreshes;
        bool showing;  // a frame is on display
        VIDEO_FRAME_INFO_S frame;  // the frame on display, when showing
        bool waiting;  // a newer frame waits while the channel is paused
        POINT_S position;
        size_t userHeld;  // gets not released
        uint64_t received;  // frames that reached the channel from its binding
    };
    DevState Device(int dev) const;
    LayerState Layer(int layer) const;
    ChnState Channel(int layer, int chn) const;
    bool CascadeEnabled() const;
    // The device and channel bound to a cascade position, if any.
    std::optional<std::pair<int, int>> CascadePosition(MK_U32 pos) const;
    int GraphicLayerDevice(int gfx) const;
    bool WbcEnabled() const;
    // The screen a device shows now; null before its first screen or while it is disabled.
    std::shared_ptr<const vo::Screen> ScreenOf(int dev) const;
    // The display thread's CPU time in microseconds (benchmarks).
    uint64_t DisplayCpuUs() const;
    // What became of the screens of a device offered to the trace.
    vo::ScreenTrace::Counts TraceCounts(int dev) const { return m_screenTrace.CountsOf(dev); }
    // The bind word of a descriptor, or -1 when it is not one of ours or not bound.
    int64_t BindWordOf(int fd) const;
    // Drops every state, record and frame (the system's exit).
    void Reset();

private:
    // A copy of a screen in the media memory zone, freed with the last holder.
    class ZoneFrame {
    public:
        explicit ZoneFrame(const VIDEO_FRAME_INFO_S& frame) : m_frame(frame) {}
        ZoneFrame(ZoneFrame&& other) noexcept : m_frame(other.m_frame) { other.m_frame.u32PhyAddr[0] = 0; }
        ZoneFrame& operator=(ZoneFrame&& other) noexcept;
        ZoneFrame(const ZoneFrame&) = delete;
        ZoneFrame& operator=(const ZoneFrame&) = delete;
        ~ZoneFrame();
        const VIDEO_FRAME_INFO_S& frame() const { return m_frame; }

    private:
        VIDEO_FRAME_INFO_S m_frame;
    };
    struct Chn {
        bool enabled = false, shown = true, paused = false, frameRateMatch = false;
        unsigned steps = 0, refreshes = 0;
        unsigned stepsPending = 0;  // steps that wait for a frame to arrive
        AttrStore store;
        std::vector<HeldFrame> showing;  // 0 or 1 frame
        uint64_t showSeq = 0;            // moves on whenever the picture changes or is refreshed
        std::vector<HeldFrame> waiting;  // 0 or 1 frame: the newest that arrived while paused
        MK_U64 pts = 0;
        uint64_t received = 0;
        // Pictures the user got and has not released: one reference on each, however often it was got.
        struct UserPicture {
            HeldFrame frame;
            uint32_t gets;
        };
        std::vector<UserPicture> userHeld;
        size_t UserHolds() const;  // gets not released
    };
    struct Lay {
        bool enabled = false, batching = false, doubleFrame = false;
        int device = -1;
        AttrStore store;
        std::vector<ZoneFrame> userHeld;
        // channel records set between SetAttrBegin and SetAttrEnd: channel, request, record
        std::vector<std::tuple<int, unsigned long, std::vector<uint8_t>>> pending;
        Chn chn[VO_MAX_CHN_NUM];
    };
    struct Dv {
        bool enabled = false, cascadeDev = false;
        AttrStore store;
        FramePacer pacer;
        MK_U32 fps = 0;  // the rate the pacer runs at
        std::shared_ptr<const vo::Screen> screen;
        uint64_t screens = 0;     // since the device was enabled
        uint64_t screenId = 0;    // numbers every screen the driver makes
        uint64_t screenPtsUs = 0; // when the screen was composed
    };
    struct Gfx {
        int device = -1;
        AttrStore store;
    };
    struct Wbc {
        bool enabled = false;
        AttrStore store;
        std::vector<ZoneFrame> userHeld;
    };
    struct Object;

    int Bind(dev::File& file, unsigned long request, void* arg);
    int StoreRequest(const Object& obj, unsigned long request, void* arg, bool* handled);
    int Dispatch(const Object& obj, unsigned long request, void* arg, std::unique_lock<std::mutex>& lock);
    int DevRequest(Dv& d, unsigned long request);
    int LayerRequest(int layer, unsigned long request, void* arg, std::unique_lock<std::mutex>& lock);
    int ChnRequest(int layer, int chn, unsigned long request, void* arg, std::unique_lock<std::mutex>& lock);
    int WbcRequest(unsigned long request, void* arg, std::unique_lock<std::mutex>& lock);
    int SendFrame(Chn& c, unsigned long request, void* arg);
    // A frame reaches an enabled channel (sent or bound); call with m_mutex held.
    void Arrive(Chn& c, const HeldFrame& frame);
    // Puts `frame` on show in the channel; call with m_mutex held.
    void Show(Chn& c, const HeldFrame& frame);
    // Shows the frame waiting in a paused channel, if any; true when there was one.
    bool ShowWaiting(Chn& c);
    // Drops the channel's frames: the one waiting, and with `all` the one on show.
    void DropFrames(Chn& c, bool all);
    // Waits for the channel to show a picture and hands the user a hold on it, up to the layer's
    // display buffer length of holds; the release gives one back.
    int GetChnFrame(int layer, Chn& c, unsigned long request, void* arg, std::unique_lock<std::mutex>& lock);
    int ReleaseChnFrame(Chn& c, unsigned long request, const void* arg);
    // Waits for device `dev` to show a screen, hands the caller a copy in the zone scaled to `size`
    // (the screen's own size when empty) and keeps it in `held`.
    int GetScreenCopy(unsigned long request, void* arg, std::vector<ZoneFrame>& held,
                      std::unique_lock<std::mutex>& lock, const std::function<int()>& device, SIZE_S size);
    int ReleaseScreenCopy(std::vector<ZoneFrame>& held, unsigned long request, const void* arg);
    int ModuleValue(unsigned long request, void* arg);
    void ResetLocked();

    // The display thread: composes the screens that fall due.
    uint64_t DisplayTick(uint64_t nowUs);
    // What device `dev` shows now; call with m_mutex held.
    vo::ScreenPlan PlanLocked(int dev) const;
    void TraceScreens(uint64_t nowUs);

    mutable std::mutex m_mutex;  // guards everything below but the display thread's own state
    std::condition_variable m_frameShown;  // a channel or a screen has a new picture, or a reset
    uint64_t m_generation = 0;  // moves on at reset, so that waiters give up
    uint64_t m_seq = 0;         // numbers the pictures channels show
    uint64_t m_screenIds = 0;   // numbers the screens
    Dv m_devs[VO_MAX_DEV_NUM];
    std::unique_ptr<Lay[]> m_layers;
    Gfx m_gfx[VO_MAX_GRAPHICS_LAYER_NUM];
    Wbc m_wbc;
    bool m_cascade = false;
    AttrStore m_module;
    std::map<MK_U32, std::pair<int, int>> m_cascadePos;

    // The display thread's own state: only DisplayTick touches it.
    vo::Compositor m_compositors[VO_MAX_DEV_NUM];
    uint64_t m_composedGeneration = 0;
    uint64_t m_tracedUs[VO_MAX_DEV_NUM] = {};   // when each device's screen was last written
    uint64_t m_tracedId[VO_MAX_DEV_NUM] = {};   // and which screen that was
    Yuv420SpScaler m_copyScaler;  // for write-back copies, under m_mutex
    vo::ScreenTrace m_screenTrace;  // writes the screens the display thread offers

    std::unique_ptr<PacedThread> m_display;  // last: stops first
};

// Registers the driver for /dev/vo (once) and its reset hook.
void InstallVoDriver();

}  // namespace varnelle::drivers
