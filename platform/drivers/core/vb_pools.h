// The kernel side of the video buffer pools: pools of equal blocks carved from simulated RAM, blocks
// reference-counted so that several drivers can hold one (capture hands a frame to processing and
// encoding, for example). A block goes back to its pool when its last holder releases it; a pool with
// held blocks cannot be destroyed. Two families share the manager: the public pools and the SDK's
// private (Ex) pools, told apart by `ex`. Each pool also carries its user: the common pools that a
// request for any pool (-1) chooses from, pools reached only by their id, or the common pools of one
// module (its user id, 0 and up). Caller-block pools hold no memory of their own: their blocks are
// ranges of RAM that the caller adds one by one.
//
// A block handle is (generation << 20) | (pool << 12) | index. Pool ids are reused, so each pool id
// carries a generation that moves on every time a pool takes the id: a handle kept past its pool's
// destruction names no block of a later pool with the same id (until that id has been taken 4095
// more times). The 12 bits of the index limit a pool to kMaxBlocks (4095) blocks.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace varnelle::drivers {

class VbPools {
public:
    static constexpr int kMaxPools = 256;
    static constexpr uint32_t kMaxBlocks = 4095;
    static constexpr uint32_t kInvalid = 0xFFFFFFFFu;
    // Pool users: the common pools, pools reached only by id; 0 and up name a module's common pools.
    static constexpr int kCommon = -1;
    static constexpr int kPrivate = -2;

    struct BlockInfo {
        uint32_t handle;
        int pool;
        uint32_t phys;
        uint32_t size;
        int refs;
    };
    struct PoolInfo {
        int id;
        bool ex;
        uint32_t blockSize;
        uint32_t blockCount;
        uint32_t phys;      // base of the pool's memory
        uint32_t size;      // bytes the pool spans
        uint32_t freeBlocks;
        std::string zone;
        int user = kCommon;
        bool callerBlocks = false;  // blocks added by the caller, no memory of the pool's own
    };

    static VbPools& Instance();

    // A new pool; its id, or -1 when there is no id or memory left. blockSize must be > 0 and
    // blockCount 1 to kMaxBlocks.
    int CreatePool(uint32_t blockSize, uint32_t blockCount, const std::string& zone, bool ex = false,
                   int user = kCommon);
    // A public pool reached by id whose up to `blockCount` blocks the caller adds with AddCallerBlock;
    // its id or -1.
    int CreateCallerPool(uint32_t blockCount, const std::string& zone);
    // Makes [phys, phys + size) a block of caller pool `pool`, held once by the caller; kInvalid when
    // the pool is not a caller pool or is full, or the range is empty, outside RAM or overlaps another
    // pool's memory or block. Released to zero it stays in the pool as a free block.
    uint32_t AddCallerBlock(int pool, uint32_t phys, uint32_t size);
    // 0; -EBUSY while blocks are held; -ENOENT for no such pool. A caller pool frees no memory.
    int DestroyPool(int pool);
    // Destroys all of `pools` or, while a block of any of them is held, none (-EBUSY). Ids that name
    // no pool are skipped.
    int DestroyPools(const std::vector<int>& pools);
    std::optional<PoolInfo> Pool(int pool) const;
    std::vector<int> PoolIds() const;

    // A free block of `pool`, or with pool -1 of the smallest-blocked pool of family `ex`, user `user`
    // (and `zone`) whose blocks hold `size`. Its handle with one reference, or kInvalid.
    uint32_t GetBlock(int pool, uint32_t size, const std::string& zone = "", bool ex = false,
                      int user = kCommon);
    // Adds a holder; false for an unknown or free block.
    bool AddRef(uint32_t handle);
    // Drops a holder; the block is free again at zero. False for an unknown or free block.
    bool Release(uint32_t handle);
    std::optional<BlockInfo> Block(uint32_t handle) const;
    // The held block that contains physical address `phys`.
    std::optional<BlockInfo> BlockAt(uint32_t phys) const;
    // True when any block of the pool is held.
    bool PoolInUse(int pool) const;

    // Drops every pool (used by the system's exit and by tests).
    void Clear();

private:
    struct Blk {
        int refs = 0;
        uint32_t phys = 0;
        uint32_t size = 0;
    };
    struct PoolRec {
        bool used = false;
        PoolInfo info{};
        std::vector<Blk> blocks;  // a caller pool holds only the blocks added so far
        uint32_t held = 0;        // blocks with at least one holder
    };
    int FreeId() const;
    int DestroyLocked(const std::vector<int>& pools);
    bool Overlaps(uint32_t phys, uint32_t size) const;
    BlockInfo InfoOf(int pool, uint32_t index) const;
    // The block a handle names, or null when its pool, generation or index is not current.
    const Blk* Find(uint32_t handle) const;
    Blk* Find(uint32_t handle) { return const_cast<Blk*>(static_cast<const VbPools*>(this)->Find(handle)); }
    bool Held(uint32_t handle) const;  // a known block with a holder
    // Takes a pool id: a used record with the id's next generation.
    PoolRec& Take(int id);
    uint32_t MakeHandle(int pool, uint32_t index) const {
        return (m_generation[pool] << 20) | (static_cast<uint32_t>(pool) << 12) | index;
    }
    static int PoolOf(uint32_t handle) { return static_cast<int>((handle >> 12) & 0xFF); }
    static uint32_t IndexOf(uint32_t handle) { return handle & 0xFFF; }

    mutable std::mutex m_mutex;  // guards m_pools and m_generation
    PoolRec m_pools[kMaxPools];
    // Per pool id, 1 to 4095; kept across destruction and Clear, so old handles stay stale.
    uint32_t m_generation[kMaxPools] = {};
};

}  // namespace varnelle::drivers
