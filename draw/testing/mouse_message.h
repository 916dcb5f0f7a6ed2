// A message of the mouse reader as tests compare it, and its position word.
#pragma once

#include <cstdint>
#include <ostream>

namespace varnelle::draw::testing {

struct Msg {
    uint32_t code, first, second;
    bool operator==(const Msg&) const = default;
};

inline void PrintTo(const Msg& m, std::ostream* os) {
    *os << std::hex << "{0x" << m.code << ", 0x" << m.first << ", 0x" << m.second << "}";
}

// The position word of (x, y): x in the high 16 bits, y in the low.
inline uint32_t Pos(int x, int y) {
    return uint32_t(x) << 16 | uint32_t(y);
}

}  // namespace varnelle::draw::testing
