#include "platform/drivers/venc/venc_threads.h"

#include <algorithm>
#include <numeric>

namespace varnelle::drivers::venc {

std::vector<int> AssignThreads(const std::vector<uint64_t>& work, int threads) {
    std::vector<int> out(work.size(), -1);
    if (threads <= 0) return out;
    std::vector<size_t> order(work.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return work[a] > work[b]; });
    std::vector<uint64_t> load(static_cast<size_t>(threads), 0);
    for (size_t chn : order) {
        if (work[chn] == 0) break;
        const auto least = std::min_element(load.begin(), load.end());
        *least += work[chn];
        out[chn] = static_cast<int>(least - load.begin());
    }
    return out;
}

}  // namespace varnelle::drivers::venc
