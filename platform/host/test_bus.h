// Test helper: a private bus directory under /dev/shm for this test process, set as $VARNELLE_BUS and
// removed with everything in it when the process exits.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

namespace varnelle::host {

inline const std::string& UsePrivateBus(const char* tag = "test") {
    static std::string dir = [tag] {
        std::string tmpl = std::string("/dev/shm/varnelle-") + tag + "-XXXXXX";
        char* made = mkdtemp(tmpl.data());
        std::string path = made != nullptr ? made : "/tmp";
        setenv("VARNELLE_BUS", path.c_str(), 1);
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(std::getenv("VARNELLE_BUS"), ec);
        });
        return path;
    }();
    return dir;
}

}  // namespace varnelle::host
