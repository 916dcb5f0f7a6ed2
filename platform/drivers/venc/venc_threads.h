// Which encoder thread encodes which channel's received pictures: by the channels' work.
#pragma once

#include <cstdint>
#include <vector>

namespace varnelle::drivers::venc {

// The thread (0 to threads - 1) of each channel given its work (pixels x pictures a second); work 0
// is no channel and gets -1. The heaviest channel first (the lower number of equals), each to the
// thread with the least work so far (the lower-numbered of equals): channels of equal work spread
// evenly, and a thread takes a second channel only when every other carries at least its first's.
std::vector<int> AssignThreads(const std::vector<uint64_t>& work, int threads);

}  // namespace varnelle::drivers::venc
