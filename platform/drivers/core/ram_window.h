// The drivers' view of this chip's RAM: one mapping of the whole RAM file, made on first use and kept
// for the life of the process, so a frame's pixels are reached by address arithmetic instead of a
// mapping per frame. Pools come and go inside RAM; the window stays.
#pragma once

#include <cstddef>
#include <cstdint>

namespace varnelle::drivers {

// The address of physical range [phys, phys + length) in the window, or null when the range is not all
// inside RAM (or RAM cannot be mapped). Thread-safe.
uint8_t* RamWindow(uint32_t phys, size_t length);

}  // namespace varnelle::drivers
