#include "platform/drivers/all/install.h"

#include "platform/drivers/mem/mem_driver.h"

namespace varnelle::drivers {

void InstallAll() {
    InstallMemDriver();
}

}  // namespace varnelle::drivers
