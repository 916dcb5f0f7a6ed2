// /dev/mmz_userdev: the media memory zone driver. Allocates named blocks from named zones of simulated
// RAM (mem::ZoneAllocator::Local()), maps them into the caller's process (cached or not: the same on
// the host), unmaps and frees them, turns a mapped user address back into a physical one, and takes
// cache flushes. It serves both block records of sdk/sys/mk_mmz.h. Blocks and mappings belong to the
// zone, not to an open descriptor, and outlive the media system's exit, as the chip's zone driver's do.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "platform/dev/driver.h"

namespace varnelle::drivers {

void InstallMmzDriver();

class MmzDriver : public dev::Driver {
public:
    MmzDriver();

    int Ioctl(dev::File& file, unsigned long request, void* arg) override;

    // Test-side view; all thread-safe.
    size_t BlockCount() const;  // blocks allocated through this driver and not freed
    bool Owns(uint32_t phys) const;
    int MapCount(uint32_t phys) const;
    bool IsCachedMapping(const void* vir) const;
    int FlushAllCount() const;
    int FlushRangeCount() const;

    // What one block request asks, whichever record carried it.
    struct BlockOp {
        uint32_t phys = 0;
        uint32_t align = 0;
        uint32_t size = 0;
        void* vir = nullptr;
        std::string name;
        std::string zone;
    };

private:
    struct Mapping {
        uint32_t phys;
        size_t length;
        bool cached;
    };
    template <typename Record>
    int Handle(unsigned long request, void* arg, int (MmzDriver::*handler)(BlockOp&));
    int Alloc(BlockOp& op);
    int Free(BlockOp& op);
    int Map(BlockOp& op, bool cached);
    int MapUncached(BlockOp& op) { return Map(op, false); }
    int MapCached(BlockOp& op) { return Map(op, true); }
    int Unmap(BlockOp& op);
    int GetPhys(BlockOp& op);
    int FlushRange(unsigned long request, void* arg);

    mutable std::mutex m_mutex;               // guards everything below
    std::map<uint32_t, uint32_t> m_blocks;    // phys -> size, of blocks this driver allocated
    std::map<uintptr_t, Mapping> m_mappings;  // user address -> mapping
    int m_flushAll = 0;
    int m_flushRange = 0;
};

}  // namespace varnelle::drivers
