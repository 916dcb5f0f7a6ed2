#include "platform/drivers/core/vb_pools.h"

#include <cerrno>

#include "platform/drivers/core/kernel.h"
#include "platform/mem/zone.h"

namespace varnelle::drivers {

VbPools& VbPools::Instance() {
    static VbPools* pools = [] {
        auto* p = new VbPools;
        RegisterResetHook([p] { p->Clear(); });
        return p;
    }();
    return *pools;
}

int VbPools::CreatePool(uint32_t blockSize, uint32_t blockCount, const std::string& zone, bool ex) {
    if (blockSize == 0 || blockCount == 0 || blockCount > 0xFFFF) return -1;
    uint64_t stride = (static_cast<uint64_t>(blockSize) + 63) & ~uint64_t{63};
    uint64_t total = stride * blockCount;
    if (total > 0xFFFFFFFFull) return -1;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (int id = 0; id < kMaxPools; ++id) {
        if (m_pools[id].used) continue;
        uint32_t phys = mem::ZoneAllocator::Local().Allocate(total, zone, "vb");
        if (phys == 0) return -1;
        PoolRec& rec = m_pools[id];
        rec.used = true;
        rec.info = PoolInfo{id, ex, static_cast<uint32_t>(stride), blockCount, phys,
                            static_cast<uint32_t>(total), blockCount, zone};
        rec.blocks.assign(blockCount, Blk{});
        return id;
    }
    return -1;
}

int VbPools::DestroyPool(int pool) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (pool < 0 || pool >= kMaxPools || !m_pools[pool].used) return -ENOENT;
    PoolRec& rec = m_pools[pool];
    if (rec.info.freeBlocks != rec.info.blockCount) return -EBUSY;
    mem::ZoneAllocator::Local().Free(rec.info.phys);
    rec = PoolRec{};
    return 0;
}

std::optional<VbPools::PoolInfo> VbPools::Pool(int pool) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (pool < 0 || pool >= kMaxPools || !m_pools[pool].used) return std::nullopt;
    return m_pools[pool].info;
}

std::vector<int> VbPools::PoolIds() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<int> ids;
    for (int id = 0; id < kMaxPools; ++id) {
        if (m_pools[id].used) ids.push_back(id);
    }
    return ids;
}

uint32_t VbPools::GetBlock(int pool, uint32_t size, const std::string& zone, bool ex) {
    std::lock_guard<std::mutex> lock(m_mutex);
    int chosen = -1;
    if (pool >= 0) {
        if (pool >= kMaxPools || !m_pools[pool].used) return kInvalid;
        chosen = pool;
    } else {
        for (int id = 0; id < kMaxPools; ++id) {
            const PoolRec& rec = m_pools[id];
            if (!rec.used || rec.info.ex != ex || rec.info.freeBlocks == 0 || rec.info.blockSize < size ||
                rec.info.zone != zone) {
                continue;
            }
            if (chosen < 0 || rec.info.blockSize < m_pools[chosen].info.blockSize) chosen = id;
        }
        if (chosen < 0) return kInvalid;
    }
    PoolRec& rec = m_pools[chosen];
    for (uint32_t i = 0; i < rec.blocks.size(); ++i) {
        if (rec.blocks[i].refs == 0) {
            rec.blocks[i].refs = 1;
            --rec.info.freeBlocks;
            return MakeHandle(chosen, i);
        }
    }
    return kInvalid;
}

bool VbPools::AddRef(uint32_t handle) {
    std::lock_guard<std::mutex> lock(m_mutex);
    int pool = static_cast<int>(handle >> 16);
    uint32_t index = handle & 0xFFFF;
    if (pool >= kMaxPools || !m_pools[pool].used || index >= m_pools[pool].blocks.size()) return false;
    Blk& b = m_pools[pool].blocks[index];
    if (b.refs == 0) return false;
    ++b.refs;
    return true;
}

bool VbPools::Release(uint32_t handle) {
    std::lock_guard<std::mutex> lock(m_mutex);
    int pool = static_cast<int>(handle >> 16);
    uint32_t index = handle & 0xFFFF;
    if (pool >= kMaxPools || !m_pools[pool].used || index >= m_pools[pool].blocks.size()) return false;
    Blk& b = m_pools[pool].blocks[index];
    if (b.refs == 0) return false;
    if (--b.refs == 0) ++m_pools[pool].info.freeBlocks;
    return true;
}

std::optional<VbPools::BlockInfo> VbPools::Block(uint32_t handle) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    int pool = static_cast<int>(handle >> 16);
    uint32_t index = handle & 0xFFFF;
    if (pool >= kMaxPools || !m_pools[pool].used || index >= m_pools[pool].blocks.size()) return std::nullopt;
    const PoolRec& rec = m_pools[pool];
    if (rec.blocks[index].refs == 0) return std::nullopt;
    return BlockInfo{handle, pool, rec.info.phys + index * rec.info.blockSize, rec.info.blockSize,
                     rec.blocks[index].refs};
}

std::optional<VbPools::BlockInfo> VbPools::BlockAt(uint32_t phys) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (int id = 0; id < kMaxPools; ++id) {
        const PoolRec& rec = m_pools[id];
        if (!rec.used || phys < rec.info.phys || phys - rec.info.phys >= rec.info.size) continue;
        uint32_t index = (phys - rec.info.phys) / rec.info.blockSize;
        if (rec.blocks[index].refs == 0) return std::nullopt;
        return BlockInfo{MakeHandle(id, index), id, rec.info.phys + index * rec.info.blockSize,
                         rec.info.blockSize, rec.blocks[index].refs};
    }
    return std::nullopt;
}

bool VbPools::PoolInUse(int pool) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (pool < 0 || pool >= kMaxPools || !m_pools[pool].used) return false;
    return m_pools[pool].info.freeBlocks != m_pools[pool].info.blockCount;
}

void VbPools::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (PoolRec& rec : m_pools) {
        if (rec.used) mem::ZoneAllocator::Local().Free(rec.info.phys);
        rec = PoolRec{};
    }
}

}  // namespace varnelle::drivers
