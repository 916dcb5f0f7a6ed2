#include "platform/drivers/core/vb_pools.h"

#include <cerrno>

#include "platform/drivers/core/kernel.h"
#include "platform/mem/ram.h"
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

int VbPools::FreeId() const {
    for (int id = 0; id < kMaxPools; ++id) {
        if (!m_pools[id].used) return id;
    }
    return -1;
}

VbPools::PoolRec& VbPools::Take(int id) {
    m_generation[id] = m_generation[id] % 4095 + 1;
    PoolRec& rec = m_pools[id];
    rec = PoolRec{};
    rec.used = true;
    return rec;
}

int VbPools::CreatePool(uint32_t blockSize, uint32_t blockCount, const std::string& zone, bool ex, int user) {
    if (blockSize == 0 || blockCount == 0 || blockCount > kMaxBlocks) return -1;
    uint64_t stride = (static_cast<uint64_t>(blockSize) + 63) & ~uint64_t{63};
    uint64_t total = stride * blockCount;
    if (total > 0xFFFFFFFFull) return -1;
    std::lock_guard<std::mutex> lock(m_mutex);
    int id = FreeId();
    if (id < 0) return -1;
    uint32_t phys = mem::ZoneAllocator::Local().Allocate(total, zone, "vb");
    if (phys == 0) return -1;
    PoolRec& rec = Take(id);
    rec.info = PoolInfo{id, ex, static_cast<uint32_t>(stride), blockCount, phys, static_cast<uint32_t>(total),
                        blockCount, zone, user, false};
    rec.blocks.resize(blockCount);
    for (uint32_t i = 0; i < blockCount; ++i) {
        rec.blocks[i] = Blk{0, phys + i * static_cast<uint32_t>(stride), static_cast<uint32_t>(stride)};
    }
    rec.held = 0;
    return id;
}

int VbPools::CreateCallerPool(uint32_t blockCount, const std::string& zone) {
    if (blockCount == 0 || blockCount > kMaxBlocks) return -1;
    std::lock_guard<std::mutex> lock(m_mutex);
    int id = FreeId();
    if (id < 0) return -1;
    PoolRec& rec = Take(id);
    rec.info = PoolInfo{id, false, 0, blockCount, 0, 0, 0, zone, kPrivate, true};
    rec.blocks.clear();
    rec.blocks.reserve(blockCount);
    rec.held = 0;
    return id;
}

bool VbPools::Overlaps(uint32_t phys, uint32_t size) const {
    uint64_t end = static_cast<uint64_t>(phys) + size;
    auto hits = [&](uint32_t start, uint32_t len) { return phys < static_cast<uint64_t>(start) + len && start < end; };
    for (const PoolRec& rec : m_pools) {
        if (!rec.used) continue;
        if (!rec.info.callerBlocks) {
            if (hits(rec.info.phys, rec.info.size)) return true;
            continue;
        }
        for (const Blk& b : rec.blocks) {
            if (hits(b.phys, b.size)) return true;
        }
    }
    return false;
}

uint32_t VbPools::AddCallerBlock(int pool, uint32_t phys, uint32_t size) {
    if (size == 0 || !mem::Ram::Local().Contains(phys, size)) return kInvalid;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (pool < 0 || pool >= kMaxPools || !m_pools[pool].used) return kInvalid;
    PoolRec& rec = m_pools[pool];
    if (!rec.info.callerBlocks || rec.blocks.size() >= rec.info.blockCount || Overlaps(phys, size)) return kInvalid;
    rec.blocks.push_back(Blk{1, phys, size});
    ++rec.held;
    return MakeHandle(pool, static_cast<uint32_t>(rec.blocks.size() - 1));
}

int VbPools::DestroyPool(int pool) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (pool < 0 || pool >= kMaxPools || !m_pools[pool].used) return -ENOENT;
    return DestroyLocked({pool});
}

int VbPools::DestroyPools(const std::vector<int>& pools) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return DestroyLocked(pools);
}

int VbPools::DestroyLocked(const std::vector<int>& pools) {
    auto known = [this](int id) { return id >= 0 && id < kMaxPools && m_pools[id].used; };
    for (int id : pools) {
        if (known(id) && m_pools[id].held != 0) return -EBUSY;
    }
    for (int id : pools) {
        if (!known(id)) continue;
        if (!m_pools[id].info.callerBlocks) mem::ZoneAllocator::Local().Free(m_pools[id].info.phys);
        m_pools[id] = PoolRec{};
    }
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

uint32_t VbPools::GetBlock(int pool, uint32_t size, const std::string& zone, bool ex, int user) {
    std::lock_guard<std::mutex> lock(m_mutex);
    int chosen = -1;
    if (pool >= 0) {
        if (pool >= kMaxPools || !m_pools[pool].used) return kInvalid;
        chosen = pool;
    } else {
        if (user == kPrivate) return kInvalid;
        for (int id = 0; id < kMaxPools; ++id) {
            const PoolRec& rec = m_pools[id];
            if (!rec.used || rec.info.ex != ex || rec.info.user != user || rec.info.freeBlocks == 0 ||
                rec.info.blockSize < size || rec.info.zone != zone) {
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
            ++rec.held;
            return MakeHandle(chosen, i);
        }
    }
    return kInvalid;
}

const VbPools::Blk* VbPools::Find(uint32_t handle) const {
    int pool = PoolOf(handle);
    uint32_t index = IndexOf(handle);
    const PoolRec& rec = m_pools[pool];
    if (!rec.used || (handle >> 20) != m_generation[pool] || index >= rec.blocks.size()) return nullptr;
    return &rec.blocks[index];
}

bool VbPools::Held(uint32_t handle) const {
    const Blk* b = Find(handle);
    return b != nullptr && b->refs != 0;
}

bool VbPools::AddRef(uint32_t handle) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!Held(handle)) return false;
    ++Find(handle)->refs;
    return true;
}

bool VbPools::Release(uint32_t handle) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!Held(handle)) return false;
    PoolRec& rec = m_pools[PoolOf(handle)];
    if (--Find(handle)->refs == 0) {
        ++rec.info.freeBlocks;
        --rec.held;
    }
    return true;
}

VbPools::BlockInfo VbPools::InfoOf(int pool, uint32_t index) const {
    const Blk& b = m_pools[pool].blocks[index];
    return BlockInfo{MakeHandle(pool, index), pool, b.phys, b.size, b.refs};
}

std::optional<VbPools::BlockInfo> VbPools::Block(uint32_t handle) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!Held(handle)) return std::nullopt;
    return InfoOf(PoolOf(handle), IndexOf(handle));
}

std::optional<VbPools::BlockInfo> VbPools::BlockAt(uint32_t phys) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (int id = 0; id < kMaxPools; ++id) {
        const PoolRec& rec = m_pools[id];
        if (!rec.used) continue;
        if (!rec.info.callerBlocks) {
            if (phys < rec.info.phys || phys - rec.info.phys >= rec.info.size) continue;
            uint32_t index = (phys - rec.info.phys) / rec.info.blockSize;
            if (rec.blocks[index].refs == 0) return std::nullopt;
            return InfoOf(id, index);
        }
        for (uint32_t i = 0; i < rec.blocks.size(); ++i) {
            const Blk& b = rec.blocks[i];
            if (phys < b.phys || phys - b.phys >= b.size) continue;
            if (b.refs == 0) return std::nullopt;
            return InfoOf(id, i);
        }
    }
    return std::nullopt;
}

bool VbPools::PoolInUse(int pool) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (pool < 0 || pool >= kMaxPools || !m_pools[pool].used) return false;
    return m_pools[pool].held != 0;
}

void VbPools::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (PoolRec& rec : m_pools) {
        if (rec.used && !rec.info.callerBlocks) mem::ZoneAllocator::Local().Free(rec.info.phys);
        rec = PoolRec{};
    }
}

}  // namespace varnelle::drivers
