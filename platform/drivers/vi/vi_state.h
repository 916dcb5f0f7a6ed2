// Kernel-side state of the capture driver, shared by its core and its frame path.
#pragma once

#include <sys/ioctl.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/dev/driver.h"
#include "platform/drivers/core/frame_pacing.h"
#include "platform/drivers/core/media_clock.h"
#include "platform/drivers/core/request_copy.h"
#include "platform/drivers/core/video_frames.h"
#include "platform/drivers/vi/vi_driver.h"

namespace varnelle::drivers::vi {

struct Dev {
    VI_DEV_ATTR_S attr;
    VI_DEV_ATTR_EX_S attrEx;
    bool enabled = false;
    bool dllSlave = false;
};

struct Chn {
    VI_CHN_ATTR_S attr;
    VI_CHN_ATTR_S minor{};
    bool minorSet = false;
    bool enabled = false;
    bool interrupt = true;
    uint64_t generation = 0;  // moves on at enable, disable and reset: frames made before are dropped
    FramePacer pacer;         // the input's frames, at the source frame rate, from the enable
    RateControl rate;         // the channel's output: the destination frame rate of the source's
    uint32_t depth = 0;
    std::deque<HeldFrame> queue;  // frames kept for the user's get, at most `depth`
    std::vector<HeldFrame> held;  // frames the user took and has not given back
    uint64_t made = 0;            // frames put out (to bound receivers and the user's queue)
    uint64_t lost = 0;            // input frames due while the channel had no signal or no interrupt
    bool noSignal = false;        // test view: the input lost its signal
    std::optional<uint8_t> lumaLevel;  // test view: the input shows a flat picture of this luma
    bool bound = false;
    VI_CHN_BIND_ATTR_S bind{};
    bool userPicSet = false;
    VI_USERPIC_ATTR_S userPic{};
    bool userPicEnabled = false;
    VI_SKIP_MODE_EX_S skipEx{};
    VI_VBI_ATTR_S vbi{};
    bool vbiEnabled = false;
    uint32_t vbiMode = 0;
    bool cascade = false;
    uint32_t rotate = 0;
    uint32_t skipMode = 0;
    int pool = -1;
    uint32_t vbFail = 0;
};

// What the producer thread makes of one due frame, taken under the lock and drawn outside it.
struct FrameJob {
    int chn;
    uint64_t generation;
    uint64_t index;
    uint64_t ptsUs;
    uint32_t width, height;
    int pool;
    enum Kind { kPattern, kFlat, kUserPic } kind;
    uint8_t level;
    VIDEO_FRAME_INFO_S userPic;
};

// The source rate of a channel's attributes, the default where none is set or it is out of bounds.
inline int32_t SrcFps(const VI_CHN_ATTR_S& a) { return static_cast<int32_t>(BoundedFrameRate(a.s32SrcFrameRate)); }

VI_DEV_ATTR_S DefaultDevAttr();
VI_CHN_ATTR_S DefaultChnAttr();

}  // namespace varnelle::drivers::vi

namespace varnelle::drivers {

struct ViDriver::State {
    mutable std::mutex mutex;  // guards everything below
    std::condition_variable queued;  // a frame joined a user queue, or a channel went off
    vi::Dev devs[VIU_MAX_DEV_NUM];
    vi::Chn chns[VIU_MAX_CHN_NUM];
    VI_MOD_PARAM_S modParam{};
    bool publicPicSet = false;
    VI_USERPIC_ATTR_S publicPic{};
    PacedThread* producer = nullptr;  // the driver's producer thread, woken when a channel starts

    void ResetLocked();
    void EnableLocked(int chn);
    void DisableLocked(int chn);
    // The channel's output restarts at the rates of its attributes (enable, new attributes).
    void RestartLocked(int chn);

    // Frame path (vi_frames.cpp). The Locked ones need the mutex held.
    // The job of the frame channel `chn` shows now (its index and time `index`, `ptsUs`).
    vi::FrameJob JobLocked(int chn, uint64_t index, uint64_t ptsUs) const;
    // Makes the frames that fell due by `nowUs` and hands them on; when to run next.
    uint64_t Tick(uint64_t nowUs);
    int GetFrame(std::unique_lock<std::mutex>& lock, int chn, unsigned long request, void* arg);
    int ReleaseFrameLocked(int chn, unsigned long request, void* arg);
    int LumaLocked(int chn, unsigned long request, void* arg);
    int SetUserPicLocked(int chn, unsigned long request, void* arg);
    int EnableUserPicLocked(int chn);
    // The picture a channel shows while its user picture is on: its own, else the public one.
    const VI_USERPIC_ATTR_S* UserPicLocked(int chn) const;
};

}  // namespace varnelle::drivers
