// /dev/mk_tde: the simulated 2D engine. A job begun gets the smallest free handle from 1; operations
// queued into it are checked then (a surface of another format, a rectangle outside its surface or a
// surface outside RAM is refused) and run in order on the caller's thread when the job ends; a
// cancelled job's operations never run. Fill (6), copy (4), nearest scaling (5), the two-source
// operation (2: the second source over the first, counted by the options' global alpha, 255 without
// options) and the parameter operation without a parameter (3: the source over the destination, as
// the two-source operation draws it) are drawn. The engine defines no drawing for the others (7, the
// special source, the four- and three-surface operations, a parameter operation with its parameter):
// they are queued, but the job that holds one is refused whole when it ends (0xA0648008), nothing of
// it drawn. The module requests are recorded only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "sdk/tde/tde_ioctl.h"

namespace varnelle::drivers {

// Registers the driver for /dev/mk_tde (once).
void InstallTdeDriver();

namespace tde_view {

struct State {
    size_t openJobs = 0;
    uint64_t opsRun = 0;      // drawn when their job ended
    uint64_t opsDropped = 0;  // cancelled or refused with their job
    uint64_t jobsRefused = 0;  // ended, but holding an operation the engine cannot draw
    std::map<unsigned long, std::vector<uint8_t>> lastRecords;  // by request
    std::map<unsigned long, uint32_t> values;                   // the module requests' last words
};

std::optional<State> Get();

}  // namespace tde_view

}  // namespace varnelle::drivers
