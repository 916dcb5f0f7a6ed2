// Registers every simulated driver with the device seam. Safe to call more than once.
#pragma once

namespace varnelle::drivers {

void InstallAll();

}  // namespace varnelle::drivers
