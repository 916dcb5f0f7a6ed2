// Regions attached to a channel are drawn into every picture that passes through that channel. The
// region driver installs the drawer; the drivers that carry pictures call DrawChannelRegions, which
// does nothing while no drawer is installed.
#pragma once

#include "platform/drivers/core/pattern.h"
#include "sdk/common/mk_type.h"

namespace varnelle::drivers {

using RegionDrawer = void (*)(const MPP_CHN_S& chn, const PatternFrame& picture);

void SetRegionDrawer(RegionDrawer drawer);
// Draws the shown regions attached to `chn` into `picture` (semi-planar 4:2:0, chroma required).
void DrawChannelRegions(const MPP_CHN_S& chn, const PatternFrame& picture);

}  // namespace varnelle::drivers
