// /dev/adec: the simulated audio decoder driver. Decoding runs in user space; the driver only keeps
// the channels the SDK tells it of (bind, create, destroy) and the last statistics record of each.
// The media system's exit drops every channel.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/dev/driver.h"
#include "sdk/audio/adec/adec_ioctl.h"

namespace varnelle::drivers {

// Registers the driver for /dev/adec (once) with its reset hook.
void InstallAdecDriver();

struct AdecChnView {
    bool created;
    uint32_t type;
    uint32_t bufSize;
    uint32_t mode;
    ADEC_DBG_INFO_S dbg;
    int dbgCount;  // statistics records received
};

class AdecDriver : public dev::Driver {
public:
    AdecDriver();

    // The registered driver (installs it on first use).
    static std::shared_ptr<AdecDriver> Get();

    std::unique_ptr<dev::File> Open(int flags) override;
    int Ioctl(dev::File& file, unsigned long request, void* arg) override;

    AdecChnView Channel(int chn) const;
    int CreatedChannels() const;

    // Drops every channel (the media system's exit).
    void Reset();

private:
    struct Chn {
        bool created = false;
        ADEC_CHN_ATTR_S attr{};
        ADEC_DBG_INFO_S dbg{};
        int dbgCount = 0;
    };
    mutable std::mutex m_mutex;  // guards m_chn
    Chn m_chn[ADEC_MAX_CHN_NUM];
};

}  // namespace varnelle::drivers
