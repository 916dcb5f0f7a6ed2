// /dev/vpss: the simulated processing-group driver. A descriptor is bound to a group ((group << 16) |
// 255) or a group channel ((group << 16) | channel) and every later request concerns that object.
// Groups keep their attribute records, their created/started state and the frames sent to them;
// frames pass through to the group's own queue and to each enabled channel with a depth above 0.
// A started group also receives the frames of the source bound to it ({7, group, 0}, as a frame
// sink): they reach each enabled channel with a depth above 0, unscaled. Stopping, resetting,
// destroying or unbinding the group drops its queues.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/dev/driver.h"
#include "platform/drivers/core/frame_router.h"
#include "platform/drivers/core/video_frames.h"
#include "sdk/vpss/vpss_ioctl.h"

namespace varnelle::drivers {

class VpssDriver : public dev::Driver, public FrameSink {
public:
    static constexpr int kGroups = VPSS_MAX_GRP_NUM;
    static constexpr int kChannels = VPSS_MAX_CHN_NUM;
    static constexpr size_t kGroupQueue = 8;  // frames a group keeps for GetGrpFrame

    VpssDriver();
    ~VpssDriver() override;

    // Frames of the source bound to a group.
    bool OnFrame(const MPP_CHN_S& dst, const MPP_CHN_S& src, const HeldFrame& frame) override;
    void OnUnbind(const MPP_CHN_S& dst, const MPP_CHN_S& src) override;

    std::unique_ptr<dev::File> Open(int flags) override;
    int Ioctl(dev::File& file, unsigned long request, void* arg) override;

    // Test-side view. Thread-safe.
    struct GroupState {
        bool created, started, backupFrame, userFrameRateCtrl;
        size_t queued, userHeld;
    };
    struct ChnState {
        bool enabled;
        MK_U32 depth;
        MK_S32 vbPool;  // -1 when none is attached
        size_t queued, userHeld;
    };
    GroupState Group(int grp) const;
    ChnState Channel(int grp, int chn) const;
    // The bind word of a descriptor, or -1 when it is not one of ours or not bound.
    int64_t BindWordOf(int fd) const;
    // Drops every group, its frames and the module parameters (the system's exit).
    void Reset();

private:
    struct Chn {
        bool enabled = false;
        MK_S32 vbPool = -1;
        AttrStore store;
        std::deque<HeldFrame> queue;
        std::vector<HeldFrame> userHeld;
    };
    struct Grp {
        bool created = false;
        bool started = false;
        bool backupFrame = true;
        bool userFrameRateCtrl = false;
        uint64_t generation = 0;  // moves on at destroy and reset, so that waiters give up
        AttrStore store;
        std::deque<HeldFrame> queue;
        std::vector<HeldFrame> userHeld;
        std::vector<HeldFrame> last;  // the last frame sent, for luminance (0 or 1 entries)
        Chn chn[kChannels];
    };
    struct Object;  // what a bound descriptor names

    int Bind(dev::File& file, unsigned long request, void* arg);
    int Dispatch(const Object& obj, unsigned long request, void* arg, std::unique_lock<std::mutex>& lock);
    int StoreRequest(const Object& obj, unsigned long request, void* arg, bool* handled);
    int CreateGrp(Grp& g, unsigned long request, void* arg);
    void DestroyGrp(Grp& g);
    void DropQueues(Grp& g);
    int SendFrame(Grp& g, unsigned long request, void* arg);
    // Hands a frame to the group's enabled channels; call with m_mutex held.
    void Accept(Grp& g, const HeldFrame& frame);
    int GetFrame(Grp& g, Chn* c, unsigned long request, void* arg, std::unique_lock<std::mutex>& lock);
    int RegionLuma(Grp& g, unsigned long request, void* arg);
    MK_U32 Depth(const Chn& c) const;
    MK_U32 QueueLength(const Grp& g) const;

    mutable std::mutex m_mutex;  // guards everything below
    std::condition_variable m_frameArrived;
    std::vector<Grp> m_groups;
    AttrStore m_module;
};

// Registers the driver for /dev/vpss (once) and its reset hook.
void InstallVpssDriver();

}  // namespace varnelle::drivers
