// The sample rings of an encoder channel: frames of other sizes than the channel's are gathered here
// until a whole channel frame can be cut. A ring of S bytes holds its data from `read` on; `wrap` is
// set exactly when the data runs past the end back to `write`, so equal positions mean empty (wrap 0)
// or full (wrap 1).
#pragma once

#include <cstdint>
#include <cstring>

namespace mk::aenc {

struct SampleRing {
    uint8_t* data = nullptr;
    uint32_t size = 0;
    uint32_t read = 0;
    uint32_t write = 0;
    bool wrap = false;

    uint32_t Held() const { return wrap ? size - read + write : write - read; }

    // Room for `len` more bytes.
    bool HasRoom(uint32_t len) const { return len <= size - Held(); }

    // Appends `len` bytes; false (nothing written) without room.
    bool Append(const uint8_t* src, uint32_t len) {
        if (!HasRoom(len)) return false;
        const uint32_t first = size - write < len ? size - write : len;
        if (first > 0) std::memcpy(data + write, src, first);
        if (len > first) std::memcpy(data, src + first, len - first);
        const uint64_t end = static_cast<uint64_t>(write) + len;
        if (end >= size) {
            write = static_cast<uint32_t>(end - size);
            wrap = true;
        } else {
            write = static_cast<uint32_t>(end);
        }
        return true;
    }

    // Copies the oldest `len` bytes out without taking them; false when fewer are held.
    bool Peek(uint8_t* dst, uint32_t len) const {
        if (Held() < len) return false;
        const uint32_t first = size - read < len ? size - read : len;
        if (first > 0) std::memcpy(dst, data + read, first);
        if (len > first) std::memcpy(dst + first, data, len - first);
        return true;
    }

    // Drops the oldest `len` bytes; nothing moves when fewer are held.
    void Consume(uint32_t len) {
        if (Held() < len) return;
        const uint64_t end = static_cast<uint64_t>(read) + len;
        if (end >= size) {
            read = static_cast<uint32_t>(end - size);
            wrap = false;
        } else {
            read = static_cast<uint32_t>(end);
        }
    }
};

}  // namespace mk::aenc
