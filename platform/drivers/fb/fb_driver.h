// /dev/fb0, /dev/fb2, /dev/fb3: the simulated framebuffer layers, with the records of <linux/fb.h>.
// Each layer's memory is a block of simulated RAM taken when the layer is first opened and kept for
// the life of the process (smem_start is its physical address, so the 2D engine's writes there reach
// the mapping). A layer takes 16- or 32-bit pixels in any geometry its memory holds; panning stays
// within the virtual size; the show request (an int) turns the layer on or off.
#pragma once

#include <linux/fb.h>

#include <cstdint>
#include <optional>

namespace varnelle::drivers {

// Turns a layer on (1) or off (0): the chip driver's own request.
constexpr unsigned long kFbIoPutShow = 0x40044665;

// Registers the three layers (once).
void InstallFbDrivers();

namespace fb_view {

struct Layer {
    fb_var_screeninfo var{};
    fb_fix_screeninfo fix{};
    bool shown = false;
    uint32_t pans = 0;
};

// Layer `n` (0, 2 or 3) as the driver holds it; nothing before its first open.
std::optional<Layer> Get(int n);

}  // namespace fb_view

}  // namespace varnelle::drivers
