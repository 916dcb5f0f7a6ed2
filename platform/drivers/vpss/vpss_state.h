// Kernel-side state of the processing-group driver, shared by its core and its frame path.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "platform/drivers/core/frame_pacing.h"
#include "platform/drivers/core/media_clock.h"
#include "platform/drivers/core/scaler.h"
#include "platform/drivers/core/video_frames.h"
#include "platform/drivers/vpss/vpss_driver.h"

namespace varnelle::drivers {

struct VpssDriver::Chn {
    bool enabled = false;
    uint64_t generation = 0;  // moves on at enable and disable: pictures made before are not queued
    MK_S32 vbPool = -1;
    AttrStore store;
    RateControl rate;  // the user mode's frame rates
    bool replay = false;  // to be shown again from the backup frame
    std::deque<HeldFrame> queue;  // for GetChnFrame, at most the depth
    std::vector<HeldFrame> userHeld;
    uint64_t made = 0, thinned = 0, lost = 0;
    SIZE_S lastSize{};
};

struct VpssDriver::Grp {
    struct Input {
        HeldFrame frame;
        uint64_t seq;
    };

    bool created = false;
    bool started = false;
    bool backupFrame = true;
    bool userFrameRateCtrl = false;
    uint64_t life = 0;        // moves on at destroy: waiting gets give up
    uint64_t generation = 0;  // moves on whenever the queues are dropped: work in flight is discarded
    AttrStore store;
    RateControl rate;  // the group's frame-rate record, while user frame-rate control is on
    std::deque<Input> input;
    uint64_t nextSeq = 1;
    // The newest input picture: the backup frame, or one kept for a GetGrpFrame that waits.
    std::optional<HeldFrame> newest;
    uint64_t newestSeq = 0;
    uint64_t givenSeq = 0;  // the newest picture GetGrpFrame handed out
    int grpWaiters = 0;
    int inFlight = 0;  // plans a worker carries out without the lock; destroy waits for them
    std::vector<HeldFrame> userHeld;
    uint64_t received = 0, processed = 0, dropped = 0, thinned = 0;
    Chn chn[kChannels];
};

// One piece of a worker's work: an input picture (or the backup frame shown again) and what each
// channel makes of it, taken under the lock and carried out without it.
struct VpssDriver::Plan {
    struct Out {
        int chn;
        uint64_t chnGeneration;
        bool user;   // user mode: `size` is the mode's; else the receiver's or the group's
        SIZE_S size;
        int pool;
        bool queue;  // the channel keeps pictures for GetChnFrame
        std::optional<HeldFrame> frame;
    };
    int grp = 0;
    uint64_t generation = 0;
    uint64_t seq = 0;  // the input's; 0 for the backup frame shown again
    std::optional<HeldFrame> input;
    RECT_S crop{};     // in the input's pixels
    SIZE_S groupSize{};
    std::vector<Out> outs;
};

struct VpssDriver::Worker {
    Yuv420SpScaler scaler;  // used by this worker's thread alone
    int cursor = 0;         // where the next look for work starts; guarded by the driver's lock
    std::unique_ptr<PacedThread> thread;
};

}  // namespace varnelle::drivers
