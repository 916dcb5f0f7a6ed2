// /dev/pciv: the simulated PCIe transfer device. Window blocks come from simulated RAM; the base
// window of every chip is reported as 0x9f800000 (in the PF word and in the fifth word); DMA tasks copy
// synchronously between this chip's RAM and the master's RAM file after checking both ranges. A busy
// engine is simulated with the seam's fault injection (0xA01A8012 on the DMA request). A picture
// channel receives the frames of the source bound to it ({26, 0, channel}) and, while started,
// counts them.
#pragma once

#include <cstdint>
#include <vector>

#include "sdk/pciv/pciv_ioctl.h"

namespace varnelle::drivers {

constexpr uint32_t kPcivWindowBase = 0x9f800000u;

void InstallPcivDriver();

// Test view.
struct PcivChannelView {
    bool created = false;
    bool started = false;
    PCIV_ATTR_S attr{};
    uint64_t pictures = 0;  // carried while started
    uint64_t declined = 0;  // arrived while not created or not started
};
PcivChannelView PcivChannel(int chn);
std::vector<uint32_t> PcivWindowBlocks();
bool PcivWinVbCreated(PCIV_WINVBCFG_S* config);
uint64_t PcivDmaBytes();

}  // namespace varnelle::drivers
