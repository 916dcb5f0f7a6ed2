// The allocator that carves simulated physical memory into blocks: the media memory zone, buffer
// pools, PCIe window blocks, encoder rings, region canvases and detection buffers all come from it.
// The default zone (empty name) covers the RAM; named zones are carved out of it.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "platform/mem/ram.h"

namespace varnelle::mem {

class ZoneAllocator {
public:
    struct Block {
        uint32_t phys = 0;
        uint64_t size = 0;
        std::string name;
        std::string zone;
    };

    // The allocator over Ram::Local(); never destroyed.
    static ZoneAllocator& Local();

    ZoneAllocator(uint32_t base, uint64_t size);

    // Makes a named zone of [phys, phys + size) from free default-zone memory; false when the range
    // is not wholly free or the name exists.
    bool AddZone(const std::string& zone, uint32_t phys, uint64_t size);

    // A page-aligned block (align: a power of two, at least a page) from `zone`; 0 when the zone
    // does not exist or has no room.
    uint32_t Allocate(uint64_t size, const std::string& zone = "", const std::string& name = "",
                      uint64_t align = kPageSize);
    // Frees the block that starts at `phys`; false when there is none.
    bool Free(uint32_t phys);

    // The block that contains `phys`.
    std::optional<Block> Find(uint32_t phys) const;
    uint64_t UsedBytes() const;
    size_t BlockCount() const;

private:
    using FreeList = std::map<uint64_t, uint64_t>;  // start -> length
    static void Release(FreeList& list, uint64_t start, uint64_t length);
    static bool Carve(FreeList& list, uint64_t start, uint64_t length);

    mutable std::mutex m_mutex;  // guards everything below
    std::map<std::string, FreeList> m_zones;
    std::map<uint64_t, Block> m_blocks;  // by start
    uint64_t m_used = 0;
};

}  // namespace varnelle::mem
