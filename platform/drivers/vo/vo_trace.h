// With $VARNELLE_TRACE set, what a person would watch a display channel do: each show, hide, pause and
// resume goes to vo-<layer>-<chn>.log there, one line with the platform's monotonic time. Unset,
// nothing is written.
//
// The screens go there too, as PNG files written by a ScreenTrace.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/drivers/vo/vo_screen.h"

namespace varnelle::drivers {

class PacedThread;

// `what`: "show", "hide", "pause" or "resume".
void VoTraceChn(int layer, int chn, const char* what);

namespace vo {

// Writes screens as PNG files on a thread of its own ("vo-trace"), so that composing never waits for
// an encoder. Offer hands over a device's newest screen and returns at once; the writer takes the
// newest screen offered for each device (an older one not yet written is dropped) and writes it to
// screen-<dev>.png in the given directory by way of a temporary file (WriteScreenPng), unless the file
// is there and holds the very pixels the writer last wrote to it. Beside it, display-<dev>.txt says
// "screens <n>": the screens the device had composed when that screen was offered. A paced thread:
// the stopped media clock's Settle waits for its writes.
class ScreenTrace {
public:
    ScreenTrace();
    ~ScreenTrace();  // drops what was not written yet
    ScreenTrace(const ScreenTrace&) = delete;
    ScreenTrace& operator=(const ScreenTrace&) = delete;

    // Any thread. A device outside the display's is ignored.
    void Offer(int dev, std::shared_ptr<const Screen> screen, uint64_t composed, std::string dir);

    // What became of the screens offered for a device (test view).
    struct Counts {
        uint64_t written = 0;
        uint64_t unchanged = 0;  // not written: the file holds these pixels already
        uint64_t failed = 0;
    };
    Counts CountsOf(int dev) const;

private:
    struct Dev {
        std::shared_ptr<const Screen> pending;  // guarded by m_mutex, as are dir, composed and counts
        std::string dir;
        uint64_t composed = 0;
        Counts counts;
        std::shared_ptr<const Screen> last;  // the writer's alone: what it last wrote, and where
        std::string lastPath;
    };
    uint64_t Tick();

    mutable std::mutex m_mutex;
    Dev m_devs[VO_MAX_DEV_NUM];
    std::unique_ptr<PacedThread> m_thread;  // last: stops first
};

}  // namespace vo

}  // namespace varnelle::drivers
