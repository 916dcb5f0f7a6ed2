#include "platform/host/env.h"

#include <cstdlib>
#include <cstring>

namespace varnelle::host {

std::string BusDir() {
    const char* bus = std::getenv("VARNELLE_BUS");
    return (bus != nullptr && *bus != '\0') ? bus : "/dev/shm/varnelle";
}

int ChipId(int defaultChip) {
    const char* chip = std::getenv("VARNELLE_CHIP");
    if (chip == nullptr || *chip == '\0') return defaultChip;
    char* end = nullptr;
    long v = std::strtol(chip, &end, 10);
    if (*end != '\0' || v < 0 || v > 31) return defaultChip;
    return static_cast<int>(v);
}

std::string ChipPath(const std::string& path) {
    const char* root = std::getenv("VARNELLE_ROOT");
    if (root == nullptr || *root == '\0' || path.empty() || path[0] != '/') return path;
    std::string r(root);
    while (!r.empty() && r.back() == '/') r.pop_back();
    return r + path;
}

std::string TraceDir() {
    const char* dir = std::getenv("VARNELLE_TRACE");
    return dir != nullptr ? dir : "";
}

bool RealTimeAllowed() {
    const char* rt = std::getenv("VARNELLE_RT");
    return rt != nullptr && std::strcmp(rt, "1") == 0;
}

}  // namespace varnelle::host
