#include "platform/drivers/mem/mem_driver.h"

#include <sys/mman.h>

#include "platform/dev/driver.h"
#include "platform/mem/ram.h"

namespace varnelle::drivers {
namespace {

class MemDriver : public dev::Driver {
public:
    MemDriver() : Driver("/dev/mem") {}

    int Ioctl(dev::File&, unsigned long, void*) override { return dev::Fail(ENOTTY); }

    void* Mmap(dev::File&, void* addr, size_t length, int prot, int flags, off_t offset) override {
        const mem::Ram& ram = mem::Ram::Local();
        if ((offset % mem::kPageSize) != 0 || offset < 0 ||
            !ram.Contains(static_cast<uint64_t>(offset), length)) {
            errno = offset < 0 || (offset % mem::kPageSize) ? EINVAL : ENXIO;
            return MAP_FAILED;
        }
        return ::mmap(addr, length, prot, flags, ram.fd(), static_cast<off_t>(offset - ram.base()));
    }
};

}  // namespace

void InstallMemDriver() {
    static bool installed = dev::Registry::Register(std::make_shared<MemDriver>());
    (void)installed;
}

}  // namespace varnelle::drivers
