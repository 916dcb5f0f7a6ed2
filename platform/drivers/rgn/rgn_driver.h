// /dev/rgn: the simulated overlay-region driver. Regions are kept by handle (below RGN_HANDLE_MAX).
// An overlay has an ARGB1555 picture of its size, filled with its background colour at creation, and
// two canvases in simulated RAM; a bitmap load copies the caller's pixels during the request (a larger
// bitmap is cut at the region's size, a smaller one leaves the background colour around it), and
// showing a canvas copies it in. A region may be attached to any number of channels; every picture
// that passes through a channel gets the shown regions attached to it drawn in (covers first, then
// overlays, each by layer and then handle). Destroying a region detaches it everywhere.
//
// With $VARNELLE_TRACE set, each bitmap load writes rgn-<handle>.argb1555 (the bitmap as loaded,
// little-endian pixels, row after row) and rgn-<handle>.txt (its size, the region's size and the
// channels it is attached to) in that directory.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "sdk/rgn/rgn_ioctl.h"

namespace varnelle::drivers {

// Registers the driver for /dev/rgn (once) and installs it as the drawer of channel regions.
void InstallRgnDriver();

namespace rgn_view {

struct Region {
    RGN_ATTR_S attr{};
    std::vector<uint16_t> pixels;  // overlays: what is shown, width x height
    std::vector<std::pair<MPP_CHN_S, RGN_CHN_ATTR_S>> channels;
    uint32_t canvasPhys[RGN_CANVAS_NUM] = {};
    uint32_t word11 = 0;
    uint64_t bitmapLoads = 0;
    uint64_t conversions = 0;  // times the overlay's pixels were converted for drawing
};

// The region's state; nothing when the driver is not installed or the region does not exist.
std::optional<Region> Get(RGN_HANDLE handle);
// Number of regions.
size_t Count();
// The next canvas request on `handle` answers with canvas index `index` (any value), once.
void ForceCanvasIndex(RGN_HANDLE handle, uint32_t index);

}  // namespace rgn_view

}  // namespace varnelle::drivers
