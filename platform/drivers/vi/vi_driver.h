// /dev/vi: the simulated capture driver. Nine devices and 35 channels with attribute stores (plausible
// defaults until set), enable state, channel-to-device binding and a user picture.
//
// An enabled channel is a frame source {16, 0, chn}: its input delivers frames at the attributes'
// source frame rate (1 to 120; any other runs at 25, as the encoder's rates do), paced on the media
// clock from the moment the channel was enabled (frame n due at enable + n / rate; a producer that
// wakes late makes the newest and counts the rest as missed), and
// the channel puts out its destination frame rate of them (frame-rate control). Each frame is drawn at
// the attributes' destination size into a block of the video buffer pools (the attached pool, else
// the common pools), shows the test pattern of core/pattern.h with its camera scene (channel number,
// colour signature, moving bar, time of day over a noisy, textured scene with moving things, so that
// encoders work as hard as on a camera's pictures), or the user picture while that is on, or a flat
// field while a test has set a luma level; it goes to every receiver bound to the channel
// (core/frame_router.h) and, while the user keeps a frame depth, to the queue the user's GetFrame
// takes from. A channel with no receiver and no depth makes nothing. Without signal (a test's choice)
// or with its interrupt off, the input delivers nothing but the user picture.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/dev/driver.h"
#include "platform/drivers/core/video_frames.h"
#include "sdk/vi/vi_ioctl.h"

namespace varnelle::drivers {

class PacedThread;

// Registers the driver for /dev/vi (once) and registers its reset hook.
void InstallViDriver();

// What tests and other drivers see of a device or channel.
struct ViDevView {
    bool enabled;
    bool dllSlave;
    VI_DEV_ATTR_S attr;
};

struct ViChnView {
    bool enabled;
    bool interruptEnabled;
    bool minorSet;
    bool bound;
    bool userPicEnabled;
    VI_CHN_ATTR_S attr;
    VI_CHN_ATTR_S minorAttr;
    VI_CHN_BIND_ATTR_S bind;
    uint32_t frameDepth;
    uint32_t heldFrames;  // frames the user took and has not given back
    uint32_t queuedFrames;  // frames waiting for the user's get
    int attachedPool;     // -1: the common pools
    uint64_t framesIn;      // input frames the producer took since the channel (re)started
    uint64_t framesMade;    // frames put out since the driver started
    uint64_t framesMissed;  // input frames the producer woke too late for, since the (re)start
    uint64_t framesLost;    // input frames due without signal or interrupt
    uint32_t vbFail;        // frames lost for want of a buffer block
    bool noSignal;
};

class ViDriver : public dev::Driver {
public:
    static constexpr int kMaxFrameDepth = 8;

    ViDriver();
    ~ViDriver() override;

    // The registered driver (installs it on first use).
    static std::shared_ptr<ViDriver> Get();

    int Ioctl(dev::File& file, unsigned long request, void* arg) override;
    std::unique_ptr<dev::File> Open(int flags) override;

    ViDevView Device(int dev) const;
    ViChnView Channel(int chn) const;

    // Test views of the input. Without signal the channel delivers no live frames (only the user
    // picture) and measures luma 0; a luma level makes the input a flat field of that luma (a covered
    // lens), nullopt the test pattern again.
    void SetNoSignal(int chn, bool noSignal);
    void SetLumaLevel(int chn, std::optional<uint8_t> level);

    // What the channel shows at the media clock's present time, drawn into a new block (the frame the
    // producer would make now): nothing when the channel is off or no block is free.
    std::optional<HeldFrame> CaptureFrame(int chn);

    // Drops every device and channel setting and gives back every held frame (the system's exit).
    void Reset();

    // CPU time of the thread that makes the frames, in microseconds (benchmark view).
    uint64_t ProducerCpuUs() const;

    struct State;  // kernel-side state, private to the driver's sources

private:
    std::unique_ptr<State> m_state;
    std::unique_ptr<PacedThread> m_producer;  // makes the due frames of every channel
};

}  // namespace varnelle::drivers
