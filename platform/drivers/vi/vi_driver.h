// /dev/vi: the simulated capture driver. Nine devices and 35 channels with attribute stores (plausible
// defaults until set), enable state, channel-to-device binding and a user picture. An enabled channel
// shows the deterministic test pattern (its own channel number, a bar moving one step per frame), or
// the user picture while that is on; the frame due is computed from the enable time and the channel's
// frame rate. Frames live in blocks of the video buffer pools, reference-counted, so processing and
// encoding can hold a frame after capture hands it on.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/dev/driver.h"
#include "sdk/vi/vi_ioctl.h"

namespace varnelle::drivers {

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
    int attachedPool;     // -1: the common pools
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
    // Fixes what the luma query reports for a channel; nullopt goes back to measuring the picture.
    void SetLuma(int chn, std::optional<uint32_t> luma);

    // Captures the channel's current picture into a pool block for a consumer bound to the channel:
    // 0 with the frame and the block handle, whose one reference the caller owns (give it back with
    // VbPools::Release), or an SDK code (channel not enabled, no block free).
    int CaptureFrame(int chn, VIDEO_FRAME_INFO_S* frame, uint32_t* handle);

    // Drops every device and channel setting and gives back every held frame (the system's exit).
    void Reset();

    struct State;  // kernel-side state, private to the driver's sources

private:
    std::unique_ptr<State> m_state;
};

}  // namespace varnelle::drivers
