// Integer helpers of the drawing context.
#pragma once

#include <algorithm>
#include <cstdint>

namespace varnelle::draw_internal {

// a + b in 32 bits, wrapping as the library's coordinates do.
inline int32_t WrapAdd(int32_t a, int64_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<int64_t>(a) + b));
}

inline int32_t Clamp32(int64_t v) {
    return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
}

// Quotients rounded toward minus and plus infinity (b > 0).
inline int64_t FloorDiv64(int64_t a, int64_t b) {
    int64_t q = a / b;
    if ((a % b != 0) && (a < 0)) --q;
    return q;
}
inline int64_t CeilDiv64(int64_t a, int64_t b) {
    int64_t q = a / b;
    if ((a % b != 0) && (a > 0)) ++q;
    return q;
}

}  // namespace varnelle::draw_internal
