#include "sdk/audio/adp/audio_fault.h"

#include <atomic>
#include <mutex>

namespace mk::audio {
namespace {

struct Point {
    int skip = 0;
    int times = 0;
};

struct Faults {
    std::atomic<bool> armed{false};  // any point armed
    std::mutex mutex;                // guards points
    Point points[static_cast<int>(Fault::kCount)];
};

Faults& State() {
    static auto* s = new Faults;  // never destroyed: worker threads may check during exit
    return *s;
}

}  // namespace

bool FaultFires(Fault point) {
    Faults& s = State();
    if (!s.armed.load(std::memory_order_relaxed)) return false;
    std::lock_guard<std::mutex> lock(s.mutex);
    Point& p = s.points[static_cast<int>(point)];
    if (p.times <= 0) return false;
    if (p.skip > 0) {
        --p.skip;
        return false;
    }
    --p.times;
    return true;
}

void ArmFault(Fault point, int times, int skip) {
    Faults& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.points[static_cast<int>(point)] = Point{skip, times};
    s.armed.store(true);
}

void ClearFaults() {
    Faults& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    for (Point& p : s.points) p = Point{};
    s.armed.store(false);
}

}  // namespace mk::audio
