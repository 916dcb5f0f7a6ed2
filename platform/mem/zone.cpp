#include "platform/mem/zone.h"

namespace varnelle::mem {

ZoneAllocator& ZoneAllocator::Local() {
    static auto* zones = new ZoneAllocator(Ram::Local().base(), Ram::Local().size());
    return *zones;
}

ZoneAllocator::ZoneAllocator(uint32_t base, uint64_t size) {
    m_zones[""].emplace(base, size);
}

void ZoneAllocator::Release(FreeList& list, uint64_t start, uint64_t length) {
    auto next = list.lower_bound(start);
    if (next != list.begin()) {
        auto prev = std::prev(next);
        if (prev->first + prev->second == start) {
            start = prev->first;
            length += prev->second;
            list.erase(prev);
        }
    }
    if (next != list.end() && start + length == next->first) {
        length += next->second;
        list.erase(next);
    }
    list.emplace(start, length);
}

bool ZoneAllocator::Carve(FreeList& list, uint64_t start, uint64_t length) {
    auto it = list.upper_bound(start);
    if (it == list.begin()) return false;
    --it;
    uint64_t freeStart = it->first;
    uint64_t freeLen = it->second;
    if (start + length > freeStart + freeLen) return false;
    list.erase(it);
    if (start > freeStart) list.emplace(freeStart, start - freeStart);
    if (start + length < freeStart + freeLen) list.emplace(start + length, freeStart + freeLen - start - length);
    return true;
}

bool ZoneAllocator::AddZone(const std::string& zone, uint32_t phys, uint64_t size) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (zone.empty() || m_zones.count(zone) || size == 0) return false;
    uint64_t start = PageStart(phys);
    uint64_t length = PageSpan(phys, size);
    if (!Carve(m_zones[""], start, length)) return false;
    m_zones[zone].emplace(start, length);
    return true;
}

uint32_t ZoneAllocator::Allocate(uint64_t size, const std::string& zone, const std::string& name,
                                 uint64_t align) {
    if (size == 0 || align < kPageSize || (align & (align - 1)) != 0) return 0;
    std::lock_guard<std::mutex> lock(m_mutex);
    auto z = m_zones.find(zone);
    if (z == m_zones.end()) return 0;
    uint64_t length = (size + kPageSize - 1) & ~static_cast<uint64_t>(kPageSize - 1);
    if (length < size) return 0;
    for (auto& [freeStart, freeLen] : z->second) {
        uint64_t start = (freeStart + align - 1) & ~(align - 1);
        if (start + length > freeStart + freeLen) continue;
        Carve(z->second, start, length);
        m_blocks[start] = Block{static_cast<uint32_t>(start), length, name, zone};
        m_used += length;
        return static_cast<uint32_t>(start);
    }
    return 0;
}

bool ZoneAllocator::Free(uint32_t phys) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_blocks.find(phys);
    if (it == m_blocks.end()) return false;
    Release(m_zones[it->second.zone], it->first, it->second.size);
    m_used -= it->second.size;
    m_blocks.erase(it);
    return true;
}

std::optional<ZoneAllocator::Block> ZoneAllocator::Find(uint32_t phys) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_blocks.upper_bound(phys);
    if (it == m_blocks.begin()) return std::nullopt;
    --it;
    if (phys >= it->first + it->second.size) return std::nullopt;
    return it->second;
}

uint64_t ZoneAllocator::UsedBytes() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_used;
}

size_t ZoneAllocator::BlockCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_blocks.size();
}

}  // namespace varnelle::mem
