// How pictures move between the simulated video drivers: the one mechanism every driver uses to hand
// frames on along the kernel's bind graph (SYS binds, 'Y' 7/8/9).
//
// Producers (capture, processing, decoding) make a frame with AllocFrame (video_frames.h), write its
// pixels, and Publish it under their own channel address {module, device, channel}. The router looks
// up every destination bound to that address and offers each the frame through the FrameSink that the
// destination's module attached. Consumers (processing, encoding, display, PCIe transfer) implement
// FrameSink for their module id.
//
//   capture    VI   {16, 0, chn}        produces
//   processing VPSS {7, grp, 0} in,     {7, grp, chn} out: consumes and produces
//   encoding   VENC {8, 0, chn}         consumes
//   decoding   VDEC {5, 0, chn}         produces
//   display    VO   {15, layer, chn}    consumes
//   PCIe       PCIV {26, 0, chn}        consumes
//
// Addresses are those the kernel keeps: a source of module 16 or 5 has device 0, one of module 15
// channel 0; a destination of module 6 or 7 has channel 0. Publish normalises its source the same way.
//
// Threads. Publish runs OnFrame on the producer's thread, one destination after the other, with no
// lock of the router held; OnFrame may publish in turn (a pass-through) but must not block on the
// producer, nor bind, unbind, Attach or Detach. Bind and unbind notices run on the thread of the SYS
// request. OnUnbind(dst) runs only once every delivery that could still reach dst has ended, and no
// frame of that binding reaches dst after it: a sink that drops its queue there holds nothing more.
//
// Ownership. The frame passed to OnFrame stays the producer's. A sink that keeps the frame copies the
// HeldFrame (one more reference on its block); a sink that lets it pass keeps nothing. Every copy a
// sink keeps it must drop again: when it has used the frame, when a queue overflows (drop the oldest),
// and in full when its destination is unbound (OnUnbind), disabled, stopped, reset or destroyed, and
// on the system's exit (the driver's Reset). So after unbind or stop the pools are back to what they
// were before the flow started: nothing is leaked, however busy the channel was.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <tuple>

#include "platform/drivers/core/video_frames.h"
#include "sdk/common/mk_type.h"

namespace varnelle::drivers {

class FrameSink {
public:
    virtual ~FrameSink() = default;

    // A frame from `src` for the sink's channel `dst`. Quick: queue (copy) it, or decline. True when
    // the frame was taken, false when it was dropped (channel off, queue full, frame-rate control).
    virtual bool OnFrame(const MPP_CHN_S& dst, const MPP_CHN_S& src, const HeldFrame& frame) = 0;
    // `src` was bound to `dst`: frames from it may follow at once.
    virtual void OnBind(const MPP_CHN_S& dst, const MPP_CHN_S& src) { (void)dst, (void)src; }
    // `dst` lost `src`: drop every frame queued from it; no more arrive.
    virtual void OnUnbind(const MPP_CHN_S& dst, const MPP_CHN_S& src) { (void)dst, (void)src; }
    // The picture size `dst` takes, where it has one of its own (an encoder channel's picture size):
    // a source that scales to its receivers (a processing channel in auto mode) makes its frames that
    // size. Quick, like OnFrame; the same threads may call it.
    virtual std::optional<SIZE_S> WantedSize(const MPP_CHN_S& dst) {
        (void)dst;
        return std::nullopt;
    }
};

class FrameRouter {
public:
    static FrameRouter& Instance();

    // The address of a source as the kernel keeps it (see above).
    static MPP_CHN_S NormaliseSource(const MPP_CHN_S& src);

    // Makes `sink` the receiver of frames bound to channels of module `modId` (one per module; a later
    // one replaces it). Detach waits for deliveries to the sink that are running, so the sink may be
    // destroyed afterwards; it does nothing when another sink took the module meanwhile. Neither
    // may be called from a sink's own notices.
    void Attach(int modId, FrameSink* sink);
    void Detach(int modId, FrameSink* sink);

    // Offers `frame` to every destination bound to `src`; the number that took it.
    int Publish(const MPP_CHN_S& src, const HeldFrame& frame);
    // Whether any destination is bound to `src`: producers skip frames nobody would receive.
    bool HasDestinations(const MPP_CHN_S& src) const;
    // The largest picture size (by area) that a destination bound to `src` takes, if any says one.
    std::optional<SIZE_S> WantedSize(const MPP_CHN_S& src);

    // Test view, per source: frames published, offers taken and declined, and offers to destinations
    // whose module receives nothing (no sink attached).
    struct Counts {
        uint64_t published = 0;
        uint64_t taken = 0;
        uint64_t declined = 0;
        uint64_t unrouted = 0;
    };
    Counts CountsOf(const MPP_CHN_S& src) const;
    // Blocks until `src` has published at least `frames` frames or `timeoutMs` (real time) passed;
    // true when it has. For tests that step the media clock.
    bool WaitPublished(const MPP_CHN_S& src, uint64_t frames, int timeoutMs) const;
    void ResetCounts();

private:
    FrameRouter();
    using Key = std::tuple<int32_t, int32_t, int32_t>;
    static Key KeyOf(const MPP_CHN_S& c) { return Key{c.enModId, c.s32DevId, c.s32ChnId}; }
    // Runs `fn(sink)` for the sink of module `mod`, if any, as a delivery numbered in start order.
    template <typename Fn>
    bool WithSink(int mod, Fn fn);
    // Waits until every delivery that started before `seq` has ended.
    void WaitDeliveriesBefore(std::unique_lock<std::mutex>& lock, uint64_t seq);
    void OnGraphChange(bool bound, const MPP_CHN_S& src, const MPP_CHN_S& dst);

    mutable std::mutex m_mutex;  // guards everything below
    mutable std::condition_variable m_changed;  // a delivery ended, or a frame was published
    std::map<int, FrameSink*> m_sinks;
    uint64_t m_nextSeq = 0;
    std::multiset<uint64_t> m_running;  // numbers of the deliveries running
    std::map<Key, Counts> m_counts;
};

}  // namespace varnelle::drivers
