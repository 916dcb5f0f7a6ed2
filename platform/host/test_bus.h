// Test helper: a private bus directory under /dev/shm for this test process, set as $VARNELLE_BUS and
// removed with everything in it when the process exits.
#pragma once

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace varnelle::host {

inline const std::string& UsePrivateBus(const char* tag = "test") {
    // The exit handler removes the path it was given, never whatever $VARNELLE_BUS names by then, and
    // reads it from a plain buffer that is never destroyed before it runs.
    static char made[256];
    static std::string dir = [tag] {
        std::string tmpl = std::string("/dev/shm/varnelle-") + tag + "-XXXXXX";
        if (tmpl.size() >= sizeof(made) || mkdtemp(tmpl.data()) == nullptr) {
            throw std::runtime_error("cannot make a private bus directory " + tmpl);
        }
        std::memcpy(made, tmpl.c_str(), tmpl.size() + 1);
        setenv("VARNELLE_BUS", made, 1);
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(made, ec);
        });
        return tmpl;
    }();
    return dir;
}

}  // namespace varnelle::host
