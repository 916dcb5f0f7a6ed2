// /dev/hdmi: the simulated HDMI transmitter, one output (id 0). It keeps the output's state (set up,
// open, started), the records written to it (attributes, info frames by type, the words of the
// numbered requests) and hands back what the sink is said to offer: its capability, EDID, CEC status
// and received CEC commands, and events, all set by tests. An event is taken by the poll request,
// oldest first, carrying the id of the registration made at set-up unless a test gives another.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "sdk/hdmi/hdmi_ioctl.h"

namespace varnelle::drivers {

// Registers the driver for /dev/hdmi (once).
void InstallHdmiDriver();

namespace hdmi_view {

struct State {
    bool initialised = false;
    uint32_t mode = 0;
    uint32_t callbackId = 0;
    bool open = false;
    bool started = false;
    bool cecEnabled = false;
    HDMI_ATTR_S attr{};
    std::map<uint32_t, HDMI_INFOFRAME_S> infoFrames;  // by type
    std::map<unsigned long, uint32_t> words;           // the last word of each numbered request
    std::vector<HDMI_CEC_REQ_S> cecSent;
    size_t eventsPending = 0;
};

std::optional<State> Get();
void SetSinkCapability(const HDMI_SINK_CAPABILITY_S& cap);
void SetEdid(const HDMI_EDID_S& edid);
void SetCecStatus(const HDMI_CEC_STATUS_S& status);
void PushCecCommand(const HDMI_CEC_CMD_S& cmd);
// An event for the poll request; `callbackId` replaces the registration's id in it.
void PushEvent(uint32_t event, std::optional<uint32_t> callbackId = std::nullopt);
// The id the next set-up request answers with, in place of the one it carries.
void SetInitCallbackId(uint32_t id);

}  // namespace hdmi_view

}  // namespace varnelle::drivers
