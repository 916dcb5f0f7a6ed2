// /dev/vpss: the simulated processing-group driver. A descriptor is bound to a group ((group << 16) |
// 255) or a group channel ((group << 16) | channel) and every later request concerns that object.
// Groups and channels keep their attribute records (what is set reads back), their state and frames.
//
// Input. A started group takes the pictures of the source bound to it ({7, group, 0}, as a frame sink)
// and those sent with SendFrame into its input queue (the picture queue length long, 8 unless set). A
// live picture that finds the queue full pushes out the oldest; SendFrame waits up to its time-out for
// room. While user frame-rate control is on, the group's frame-rate record {source, destination}
// thins its input.
//
// Processing, on the driver's worker threads, picture by picture in order: the group's crop (absolute
// pixels, or thousandths of the picture in ratio mode; clipped to the picture, even-aligned), then,
// for each enabled channel, its frame-rate control (the mode's rates, in user mode) and its picture at
// the channel's size: the user mode's size, or in auto mode the size its bound receiver takes (an
// encoder's picture size), else the group's size (the sizer's when on, else the pre-scale's when on,
// else the cropped picture's). A picture that needs neither crop nor scaling passes on as it is (the
// same block); any other is scaled into a block of the channel's attached pool, else of the common
// pools. A channel's pictures go to the receivers bound to {7, group, channel} and, up to the channel's
// depth, to the queue GetChnFrame takes from (a full queue lets its oldest go); the user holds at most
// the depth's pictures of a channel at once.
//
// Backup frame (on unless disabled): the group keeps its newest input picture once processed, so that
// a channel enabled or given a new mode later gets a picture at once, GetGrpFrame can hand it out and
// the luminance requests measure it. Off, the group holds no picture once processed (GetGrpFrame then
// takes a picture that arrives while it waits).
//
// Stopping, resetting, destroying or unbinding the group drops its queues and its backup frame; what
// the user took stays the user's until released or the group is destroyed. So once the flow stops,
// the pools are back to where they were.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/dev/driver.h"
#include "platform/drivers/core/frame_pacing.h"
#include "platform/drivers/core/frame_router.h"
#include "platform/drivers/core/video_frames.h"
#include "sdk/vpss/vpss_ioctl.h"

namespace varnelle::drivers {

class PacedThread;

class VpssDriver : public dev::Driver, public FrameSink {
public:
    static constexpr int kGroups = VPSS_MAX_GRP_NUM;
    static constexpr int kChannels = VPSS_MAX_CHN_NUM;
    static constexpr size_t kGroupQueue = 8;  // the input queue's length unless set
    static constexpr int kWorkers = 2;        // group g is processed by worker g % kWorkers

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
        bool backupHeld;     // a picture is kept as the backup frame
        uint64_t received;   // pictures taken into the input queue
        uint64_t processed;  // pictures the workers finished
        uint64_t dropped;    // pictures pushed out of a full input queue
        uint64_t thinned;    // pictures the group's frame-rate control let go
        int getters;         // GetGrpFrame calls waiting
    };
    struct ChnState {
        bool enabled;
        MK_U32 depth;
        MK_S32 vbPool;  // -1 when none is attached
        size_t queued, userHeld;
        uint64_t made;     // pictures put out (to receivers and the depth queue)
        uint64_t thinned;  // pictures the channel's frame-rate control let go
        uint64_t lost;     // pictures lost for want of a block (or of a readable input)
        SIZE_S lastSize;   // the size of the last picture put out
    };
    GroupState Group(int grp) const;
    ChnState Channel(int grp, int chn) const;
    // The bind word of a descriptor, or -1 when it is not one of ours or not bound.
    int64_t BindWordOf(int fd) const;
    // Drops every group, its frames and the module parameters (the system's exit).
    void Reset();
    // CPU time of the worker threads, in microseconds (benchmark view).
    uint64_t WorkerCpuUs() const;

    struct Chn;
    struct Grp;
    struct Plan;

private:
    struct Object;  // what a bound descriptor names

    int Bind(dev::File& file, unsigned long request, void* arg);
    int Dispatch(const Object& obj, unsigned long request, void* arg, std::unique_lock<std::mutex>& lock);
    int StoreRequest(const Object& obj, unsigned long request, void* arg, bool* handled);
    // What a stored record changes at once: rates, depth, a mode to show again from the backup frame.
    void AfterStore(int grp, const Object& obj, unsigned long request);
    int CreateGrp(Grp& g, unsigned long request, void* arg);
    void DestroyGrp(Grp& g);
    // Waits until no worker holds pictures of the group outside the lock.
    void WaitIdleLocked(Grp& g, std::unique_lock<std::mutex>& lock);
    // Drops what the group queued and kept (not what the user took); its work in flight is discarded.
    void DropQueues(Grp& g);
    void SetBackup(int grp, bool on);
    void EnableChn(int grp, int chn);

    // Frame path (vpss_frames.cpp); the Locked ones need m_mutex.
    int SendFrame(int grp, unsigned long request, void* arg, std::unique_lock<std::mutex>& lock);
    // Queues an input picture; false when the group does not take it now.
    bool AcceptLocked(int grp, const HeldFrame& frame);
    int GetFrame(int grp, int chn, unsigned long request, void* arg, std::unique_lock<std::mutex>& lock);
    int RegionLuma(Grp& g, unsigned long request, void* arg);
    // Asks the group's worker to show channel `chn` again from the backup frame.
    void ReplayLocked(int grp, int chn);
    // A worker's round: processes everything queued for its groups.
    uint64_t Work(int worker);
    // The next piece of work of a group of `worker`, or nothing.
    std::optional<Plan> NextPlanLocked(int worker);
    void Run(Plan& plan, int worker);
    void WakeWorker(int grp);
    MK_U32 Depth(const Chn& c) const;
    MK_U32 QueueLength(const Grp& g) const;

    mutable std::mutex m_mutex;  // guards everything below
    std::condition_variable m_changed;  // a picture arrived, left the input queue, or a group changed
    std::vector<Grp> m_groups;
    AttrStore m_module;
    struct Worker;
    std::unique_ptr<Worker> m_workers[kWorkers];
};

// The part of a width x height picture that the crop record keeps: absolute pixels, or thousandths of
// the picture in ratio mode; clipped to the picture, its corner rounded down to even; the whole
// picture when the crop is off or keeps less than 2 x 2.
RECT_S VpssCropRect(const VPSS_CROP_INFO_S& crop, uint32_t width, uint32_t height);

// Registers the driver for /dev/vpss (once) and its reset hook.
void InstallVpssDriver();

}  // namespace varnelle::drivers
