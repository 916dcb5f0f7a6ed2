// /dev/mem: maps physical addresses of the simulated RAM; anything outside it is refused.
#pragma once

namespace varnelle::drivers {

void InstallMemDriver();

}  // namespace varnelle::drivers
