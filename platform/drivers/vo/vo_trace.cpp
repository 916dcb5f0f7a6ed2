#include "platform/drivers/vo/vo_trace.h"

#include <cinttypes>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "platform/host/clock.h"
#include "platform/host/env.h"

namespace varnelle::drivers {

namespace {

struct Trace {
    std::mutex mutex;  // guards files
    const std::string dir = host::TraceDir();
    std::map<std::pair<int, int>, FILE*> files;
};

Trace& TheTrace() {
    static auto* t = new Trace;
    return *t;
}

}  // namespace

void VoTraceChn(int layer, int chn, const char* what) {
    Trace& t = TheTrace();
    if (t.dir.empty()) return;
    std::lock_guard<std::mutex> lock(t.mutex);
    FILE*& f = t.files[{layer, chn}];
    if (f == nullptr) {
        std::string path = t.dir + "/vo-" + std::to_string(layer) + "-" + std::to_string(chn) + ".log";
        f = std::fopen(path.c_str(), "a");
        if (f == nullptr) return;
    }
    std::fprintf(f, "%s at=%" PRIu64 "\n", what, host::MonotonicUs());
    std::fflush(f);
}

}  // namespace varnelle::drivers
