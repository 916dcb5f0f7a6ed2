// Test hook of the base library: replaces the millisecond source behind SystemGetMSCount (the value
// before it is cut to 32 bits), so tests can put the tick just before its wrap. Null restores the
// platform's monotonic clock.
#pragma once

#include <atomic>
#include <cstdint>

namespace varnelle::base::internal {

void SetMSCountSource(uint64_t (*source)());

}  // namespace varnelle::base::internal

namespace varnelle::base::testing {

// Puts SystemGetMSCount on a value the test sets, for the life of the object.
class FakeMSCount {
public:
    explicit FakeMSCount(uint64_t start) {
        Now().store(start);
        internal::SetMSCountSource([] { return Now().load(); });
    }
    ~FakeMSCount() { internal::SetMSCountSource(nullptr); }
    FakeMSCount(const FakeMSCount&) = delete;
    FakeMSCount& operator=(const FakeMSCount&) = delete;

    void Set(uint64_t ms) { Now().store(ms); }

private:
    static std::atomic<uint64_t>& Now() {
        static std::atomic<uint64_t> now{0};
        return now;
    }
};

}  // namespace varnelle::base::testing
