#include "platform/drivers/core/ram_window.h"

#include "platform/mem/ram.h"

namespace varnelle::drivers {

uint8_t* RamWindow(uint32_t phys, size_t length) {
    static const mem::Ram& ram = mem::Ram::Local();
    // The whole file, once; sparse, so only the pages touched cost anything.
    static uint8_t* const base = static_cast<uint8_t*>(ram.Map(ram.base(), static_cast<size_t>(ram.size())));
    if (base == nullptr || !ram.Contains(phys, length)) return nullptr;
    return base + (phys - ram.base());
}

}  // namespace varnelle::drivers
