#include "platform/drivers/hdmi/hdmi_driver.h"

#include <deque>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/dev/driver.h"
#include "platform/drivers/core/kernel.h"
#include "platform/drivers/core/request_copy.h"

namespace varnelle::drivers {
namespace {

struct HdmiFile : dev::File {
    bool bound = false;
};

class HdmiDriver : public dev::Driver {
public:
    HdmiDriver() : Driver("/dev/hdmi") {}

    std::unique_ptr<dev::File> Open(int) override { return std::make_unique<HdmiFile>(); }

    int Ioctl(dev::File& file, unsigned long request, void* arg) override {
        auto& f = static_cast<HdmiFile&>(file);
        if (request == mk::hdmi::kBind) return Bind(f, request, arg);
        if (!f.bound) return dev::Fail(EBADFD);
        std::lock_guard<std::mutex> lock(m_mutex);
        switch (request) {
            case mk::hdmi::kInit: return Init(request, arg);
            case mk::hdmi::kDeInit:
                m_state.initialised = false;
                m_state.open = m_state.started = false;
                m_events.clear();
                return 0;
            case mk::hdmi::kOpen: m_state.open = true; return 0;
            case mk::hdmi::kClose: m_state.open = m_state.started = false; return 0;
            case mk::hdmi::kStart:
                if (!m_state.open) return MK_ERR_HDMI_NOT_PERM;
                m_state.started = true;
                return 0;
            case mk::hdmi::kStop: m_state.started = false; return 0;
            case mk::hdmi::kGetSinkCapability: return Answer(request, arg, m_sinkCap);
            case mk::hdmi::kPollEvent: return PollEvent(request, arg);
            case mk::hdmi::kGetAttr: return Answer(request, arg, m_state.attr);
            case mk::hdmi::kSetAttr: return Take(request, arg, &m_state.attr);
            case mk::hdmi::kGetInfoFrame: return GetInfoFrame(request, arg);
            case mk::hdmi::kSetInfoFrame: return SetInfoFrame(request, arg);
            case mk::hdmi::kGetDeepColor: return Answer(request, arg, m_state.words[mk::hdmi::kSetDeepColor]);
            case mk::hdmi::kGetParam: return Answer(request, arg, m_state.words[mk::hdmi::kSetParam]);
            case mk::hdmi::kPlayStus: return Answer(request, arg, static_cast<uint32_t>(m_state.started));
            case mk::hdmi::kSetAVMute:
            case mk::hdmi::kRequest17:
            case mk::hdmi::kSetDeepColor:
            case mk::hdmi::kSetxvYCCMode:
            case mk::hdmi::kRequest24:
            case mk::hdmi::kSetParam: return Take(request, arg, &m_state.words[request]);
            case mk::hdmi::kSetCECCommand: return SetCec(request, arg);
            case mk::hdmi::kGetCECCommand: return GetCec(request, arg);
            case mk::hdmi::kCECStatus: return Answer(request, arg, m_cecStatus);
            case mk::hdmi::kForceGetEDID: return Answer(request, arg, m_edid);
            case mk::hdmi::kCECEnable: m_state.cecEnabled = true; return 0;
            case mk::hdmi::kCECDisable: m_state.cecEnabled = false; return 0;
            default: return dev::Fail(ENOTTY);
        }
    }

    void Reset() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_state = hdmi_view::State{};
        m_events.clear();
        m_cecReceived.clear();
        m_initId.reset();
        m_sinkCap = {};
        m_edid = {};
        m_cecStatus = {};
    }

    // Test view, under the lock.
    hdmi_view::State View() {
        std::lock_guard<std::mutex> lock(m_mutex);
        hdmi_view::State s = m_state;
        s.eventsPending = m_events.size();
        return s;
    }
    template <typename F>
    void With(F f) {
        std::lock_guard<std::mutex> lock(m_mutex);
        f(*this);
    }

    HDMI_SINK_CAPABILITY_S m_sinkCap{};
    HDMI_EDID_S m_edid{};
    HDMI_CEC_STATUS_S m_cecStatus{};
    std::deque<HDMI_CEC_CMD_S> m_cecReceived;
    std::deque<std::pair<uint32_t, std::optional<uint32_t>>> m_events;
    std::optional<uint32_t> m_initId;

private:
    int Bind(HdmiFile& f, unsigned long request, void* arg) {
        uint32_t id;
        if (CopyRequestIn(request, arg, &id) != 0) return -1;
        if (id != HDMI_ID_0) return MK_ERR_HDMI_INVALID_ID;
        f.bound = true;
        return 0;
    }

    // Copies a record the driver keeps out to the caller.
    template <typename T>
    int Answer(unsigned long request, void* arg, const T& value) {
        return CopyRequestOut(request, arg, value);
    }
    template <typename T>
    int Take(unsigned long request, void* arg, T* value) {
        return CopyRequestIn(request, arg, value);
    }

    int Init(unsigned long request, void* arg) {
        HDMI_INIT_REQ_S req;
        if (CopyRequestIn(request, arg, &req) != 0) return -1;
        if (m_initId) req.u32CallbackId = *std::exchange(m_initId, std::nullopt);
        m_state.initialised = true;
        m_state.mode = req.u32Mode;
        m_state.callbackId = req.u32CallbackId;
        return CopyRequestOut(request, arg, req);
    }

    int PollEvent(unsigned long request, void* arg) {
        HDMI_EVENT_REQ_S req;
        if (CopyRequestIn(request, arg, &req) != 0) return -1;
        if (m_events.empty()) return MK_ERR_HDMI_NO_EVENT;
        auto [event, id] = m_events.front();
        m_events.pop_front();
        req.u32Event = event;
        req.u32CallbackId = id.value_or(m_state.callbackId);
        return CopyRequestOut(request, arg, req);
    }

    int GetInfoFrame(unsigned long request, void* arg) {
        HDMI_INFOFRAME_REQ_S req;
        if (CopyRequestIn(request, arg, &req) != 0) return -1;
        auto it = m_state.infoFrames.find(req.enInfoFrameType);
        req.stInfoFrame = it != m_state.infoFrames.end() ? it->second : HDMI_INFOFRAME_S{req.enInfoFrameType, {}};
        return CopyRequestOut(request, arg, req);
    }

    int SetInfoFrame(unsigned long request, void* arg) {
        HDMI_INFOFRAME_REQ_S req;
        if (CopyRequestIn(request, arg, &req) != 0) return -1;
        m_state.infoFrames[req.enInfoFrameType] = req.stInfoFrame;
        return 0;
    }

    int SetCec(unsigned long request, void* arg) {
        HDMI_CEC_REQ_S req;
        if (CopyRequestIn(request, arg, &req) != 0) return -1;
        m_state.cecSent.push_back(req);
        return 0;
    }

    int GetCec(unsigned long request, void* arg) {
        HDMI_CEC_REQ_S req;
        if (CopyRequestIn(request, arg, &req) != 0) return -1;
        if (m_cecReceived.empty()) return MK_ERR_HDMI_NO_EVENT;
        req.stCmd = m_cecReceived.front();
        m_cecReceived.pop_front();
        return CopyRequestOut(request, arg, req);
    }

    std::mutex m_mutex;  // guards everything
    hdmi_view::State m_state;
};

std::shared_ptr<HdmiDriver> Instance() { return dev::Registry::Get<HdmiDriver>("/dev/hdmi"); }

template <typename F>
void WithDriver(F f) {
    if (auto d = Instance()) d->With(f);
}

}  // namespace

void InstallHdmiDriver() { InstallDriverOnce<HdmiDriver>(); }

namespace hdmi_view {

std::optional<State> Get() {
    auto d = Instance();
    return d ? std::optional<State>(d->View()) : std::nullopt;
}
void SetSinkCapability(const HDMI_SINK_CAPABILITY_S& cap) {
    WithDriver([&](HdmiDriver& d) { d.m_sinkCap = cap; });
}
void SetEdid(const HDMI_EDID_S& edid) {
    WithDriver([&](HdmiDriver& d) { d.m_edid = edid; });
}
void SetCecStatus(const HDMI_CEC_STATUS_S& status) {
    WithDriver([&](HdmiDriver& d) { d.m_cecStatus = status; });
}
void PushCecCommand(const HDMI_CEC_CMD_S& cmd) {
    WithDriver([&](HdmiDriver& d) { d.m_cecReceived.push_back(cmd); });
}
void PushEvent(uint32_t event, std::optional<uint32_t> callbackId) {
    WithDriver([&](HdmiDriver& d) { d.m_events.emplace_back(event, callbackId); });
}
void SetInitCallbackId(uint32_t id) {
    WithDriver([&](HdmiDriver& d) { d.m_initId = id; });
}

}  // namespace hdmi_view

}  // namespace varnelle::drivers
