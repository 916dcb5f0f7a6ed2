// The byte stream the transport tests push through a ring: byte k of the stream is a function of k,
// so the master can check every byte it receives and any loss or repeat shows.
#pragma once

#include <cstddef>
#include <cstdint>

namespace varnelle::testing {

inline uint8_t PatternByte(uint64_t k) {
    return static_cast<uint8_t>(k * 7 + (k >> 9) + (k >> 17));
}

inline void FillPattern(uint64_t offset, uint8_t* out, size_t len) {
    for (size_t i = 0; i < len; ++i) out[i] = PatternByte(offset + i);
}

// Chunk sizes from 1 to `max`, the same sequence on every run.
class ChunkSizes {
public:
    explicit ChunkSizes(uint32_t max) : m_max(max) {}
    uint32_t Next() {
        m_state = m_state * 1103515245u + 12345u;
        return (m_state >> 8) % m_max + 1;
    }

private:
    uint32_t m_max;
    uint32_t m_state = 1;
};

}  // namespace varnelle::testing
