#include "platform/drivers/core/overlay.h"

#include <atomic>

namespace varnelle::drivers {
namespace {

std::atomic<RegionDrawer> g_drawer{nullptr};

}  // namespace

void SetRegionDrawer(RegionDrawer drawer) { g_drawer.store(drawer); }

void DrawChannelRegions(const MPP_CHN_S& chn, const PatternFrame& picture) {
    RegionDrawer drawer = g_drawer.load();
    if (drawer != nullptr && picture.y != nullptr && picture.uv != nullptr) drawer(chn, picture);
}

}  // namespace varnelle::drivers
