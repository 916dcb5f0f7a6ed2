#include "platform/drivers/vo/vo_trace.h"

#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "platform/drivers/core/media_clock.h"
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

namespace vo {

ScreenTrace::ScreenTrace()
    : m_thread(std::make_unique<PacedThread>("vo-trace", [this](uint64_t) { return Tick(); })) {}

ScreenTrace::~ScreenTrace() { m_thread.reset(); }

void ScreenTrace::Offer(int dev, std::shared_ptr<const Screen> screen, uint64_t composed, std::string dir) {
    if (dev < 0 || dev >= VO_MAX_DEV_NUM || !screen) return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_devs[dev].pending = std::move(screen);
        m_devs[dev].composed = composed;
        m_devs[dev].dir = std::move(dir);
    }
    m_thread->Wake();
}

ScreenTrace::Counts ScreenTrace::CountsOf(int dev) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return dev >= 0 && dev < VO_MAX_DEV_NUM ? m_devs[dev].counts : Counts{};
}

uint64_t ScreenTrace::Tick() {
    for (int dev = 0; dev < VO_MAX_DEV_NUM; ++dev) {
        Dev& d = m_devs[dev];
        std::shared_ptr<const Screen> screen;
        std::string dir;
        uint64_t composed = 0;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            screen = std::move(d.pending);
            d.pending.reset();
            dir = d.dir;
            composed = d.composed;
        }
        if (!screen) continue;
        const std::string path = dir + "/screen-" + std::to_string(dev) + ".png";
        // Screens are never changed once composed, so the one held stays what was written.
        const bool unchanged = d.last && path == d.lastPath && d.last->Width() == screen->Width() &&
                               d.last->Height() == screen->Height() &&
                               (d.last == screen || d.last->Bytes() == screen->Bytes()) && ::access(path.c_str(), F_OK) == 0;
        const bool written = !unchanged && WriteScreenPng(*screen, path);
        if (written) {
            d.last = std::move(screen);
            d.lastPath = path;
        }
        const std::string count = dir + "/display-" + std::to_string(dev) + ".txt";
        if (FILE* f = std::fopen((count + ".tmp").c_str(), "w")) {
            std::fprintf(f, "screens %" PRIu64 "\n", composed);
            if (std::fclose(f) != 0 || std::rename((count + ".tmp").c_str(), count.c_str()) != 0) {
                std::remove((count + ".tmp").c_str());
            }
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        if (unchanged) {
            ++d.counts.unchanged;
        } else if (written) {
            ++d.counts.written;
        } else {
            ++d.counts.failed;
        }
    }
    return PacedThread::kIdle;
}

}  // namespace vo

}  // namespace varnelle::drivers
