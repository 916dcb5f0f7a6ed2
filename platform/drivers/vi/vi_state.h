// Kernel-side state of the capture driver, shared by its core and its frame path.
#pragma once

#include <sys/ioctl.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/dev/driver.h"
#include "platform/drivers/core/request_copy.h"
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
    uint64_t startUs = 0;  // when the channel was enabled: frame 0
    uint32_t depth = 0;
    std::vector<uint32_t> held;  // block handles of frames the user holds
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
    std::optional<uint32_t> luma;
};

VI_DEV_ATTR_S DefaultDevAttr();
VI_CHN_ATTR_S DefaultChnAttr();

}  // namespace varnelle::drivers::vi

namespace varnelle::drivers {

struct ViDriver::State {
    mutable std::mutex mutex;  // guards everything below
    vi::Dev devs[VIU_MAX_DEV_NUM];
    vi::Chn chns[VIU_MAX_CHN_NUM];
    VI_MOD_PARAM_S modParam{};
    bool publicPicSet = false;
    VI_USERPIC_ATTR_S publicPic{};

    void ResetLocked();

    // Frame path (vi_frames.cpp); the caller holds the mutex.
    int CaptureLocked(int chn, VIDEO_FRAME_INFO_S* frame, uint32_t* handle);
    int GetFrameLocked(int chn, unsigned long request, void* arg);
    int ReleaseFrameLocked(int chn, unsigned long request, void* arg);
    int LumaLocked(int chn, unsigned long request, void* arg);
    int SetUserPicLocked(int chn, unsigned long request, void* arg);
    int EnableUserPicLocked(int chn);
    // The picture a channel shows while its user picture is on: its own, else the public one.
    const VI_USERPIC_ATTR_S* UserPicLocked(int chn) const;
};

}  // namespace varnelle::drivers
