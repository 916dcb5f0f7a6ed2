#include "platform/drivers/mmz/mmz_driver.h"

#include <cstring>

#include "platform/drivers/core/request_copy.h"
#include "platform/mem/ram.h"
#include "platform/mem/zone.h"
#include "sdk/sys/mk_mmz.h"

namespace varnelle::drivers {
namespace {

template <size_t N>
std::string Name(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

MmzDriver::BlockOp Load(const MMZ_BLOCK_REQ_S& r) {
    return {r.u32PhyAddr, 0, r.u32Size, r.pVirAddr, Name(r.acMmbName), Name(r.acZoneName)};
}
void Store(MMZ_BLOCK_REQ_S& r, const MmzDriver::BlockOp& op) {
    r.u32PhyAddr = op.phys;
    r.pVirAddr = op.vir;
}
MmzDriver::BlockOp Load(const MMZ_BUF_REQ_S& r) {
    return {r.u32PhyAddr, r.u32Align, r.u32Size, r.pVirAddr, Name(r.acBufName), Name(r.acZoneName)};
}
void Store(MMZ_BUF_REQ_S& r, const MmzDriver::BlockOp& op) {
    r.u32PhyAddr = op.phys;
    r.pVirAddr = op.vir;
}

}  // namespace

MmzDriver::MmzDriver() : Driver("/dev/mmz_userdev") {}

template <typename Record>
int MmzDriver::Handle(unsigned long request, void* arg, int (MmzDriver::*handler)(BlockOp&)) {
    Record record;
    if (CopyRequestIn(request, arg, &record) != 0) return -1;
    BlockOp op = Load(record);
    int ret = (this->*handler)(op);
    if (ret != 0) return ret;
    // The free request sends its record only.
    if (!(_IOC_DIR(request) & _IOC_READ)) return 0;
    Store(record, op);
    return CopyRequestOut(request, arg, record);
}

int MmzDriver::Ioctl(dev::File&, unsigned long request, void* arg) {
    switch (request) {
        case MK_MMZ_IOC_ALLOC:
            return Handle<MMZ_BLOCK_REQ_S>(request, arg, &MmzDriver::Alloc);
        case MK_MMZ_IOC_FREE:
            return Handle<MMZ_BLOCK_REQ_S>(request, arg, &MmzDriver::Free);
        case MK_MMZ_IOC_REMAP:
            return Handle<MMZ_BLOCK_REQ_S>(request, arg, &MmzDriver::MapUncached);
        case MK_MMZ_IOC_REMAP_CACHED:
            return Handle<MMZ_BLOCK_REQ_S>(request, arg, &MmzDriver::MapCached);
        case MK_MMZ_IOC_UNMAP:
            return Handle<MMZ_BLOCK_REQ_S>(request, arg, &MmzDriver::Unmap);
        case MK_MMZ_IOC_BUF_ALLOC:
            return Handle<MMZ_BUF_REQ_S>(request, arg, &MmzDriver::Alloc);
        case MK_MMZ_IOC_BUF_FREE:
            return Handle<MMZ_BUF_REQ_S>(request, arg, &MmzDriver::Free);
        case MK_MMZ_IOC_BUF_REMAP:
            return Handle<MMZ_BUF_REQ_S>(request, arg, &MmzDriver::MapUncached);
        case MK_MMZ_IOC_BUF_REMAP_CACHED:
            return Handle<MMZ_BUF_REQ_S>(request, arg, &MmzDriver::MapCached);
        case MK_MMZ_IOC_BUF_UNMAP:
            return Handle<MMZ_BUF_REQ_S>(request, arg, &MmzDriver::Unmap);
        case MK_MMZ_IOC_BUF_GET_PHYS:
            return Handle<MMZ_BUF_REQ_S>(request, arg, &MmzDriver::GetPhys);
        case MK_MMZ_IOC_FLUSH_ALL: {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_flushAll;
            return 0;
        }
        case MK_MMZ_IOC_FLUSH_RANGE:
            return FlushRange(request, arg);
        default:
            return dev::Fail(ENOTTY);
    }
}

int MmzDriver::Alloc(BlockOp& op) {
    if (op.size == 0 || (op.align & (op.align - 1)) != 0) return dev::Fail(EINVAL);
    // Blocks are whole pages, so any smaller alignment is met by a page's.
    uint64_t align = op.align < mem::kPageSize ? mem::kPageSize : op.align;
    uint32_t phys = mem::ZoneAllocator::Local().Allocate(op.size, op.zone, op.name, align);
    if (phys == 0) return dev::Fail(ENOMEM);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_blocks[phys] = op.size;
    op.phys = phys;
    return 0;
}

int MmzDriver::Free(BlockOp& op) {
    std::lock_guard<std::mutex> lock(m_mutex);
    // Only blocks of this driver: pools and rings of other drivers come from the same allocator.
    auto it = m_blocks.find(op.phys);
    if (it == m_blocks.end()) return dev::Fail(EINVAL);
    // A mapped block stays until unmapped, so no user view aliases memory handed out again.
    for (const auto& [vir, m] : m_mappings) {
        if (m.phys == op.phys) return dev::Fail(EBUSY);
    }
    mem::ZoneAllocator::Local().Free(op.phys);
    m_blocks.erase(it);
    return 0;
}

int MmzDriver::Map(BlockOp& op, bool cached) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_blocks.find(op.phys);
    if (it == m_blocks.end()) return dev::Fail(EINVAL);
    void* vir = mem::Ram::Local().Map(op.phys, it->second);
    if (vir == nullptr) return dev::Fail(ENOMEM);
    m_mappings[reinterpret_cast<uintptr_t>(vir)] = Mapping{op.phys, it->second, cached};
    op.vir = vir;
    return 0;
}

int MmzDriver::Unmap(BlockOp& op) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_mappings.end();
    if (op.vir != nullptr) {
        it = m_mappings.find(reinterpret_cast<uintptr_t>(op.vir));
        if (it != m_mappings.end() && it->second.phys != op.phys) it = m_mappings.end();
    } else {
        for (auto m = m_mappings.begin(); m != m_mappings.end(); ++m) {
            if (m->second.phys == op.phys) {
                it = m;
                break;
            }
        }
    }
    if (it == m_mappings.end()) return dev::Fail(EINVAL);
    mem::Ram::Unmap(reinterpret_cast<void*>(it->first), it->second.length);
    m_mappings.erase(it);
    op.vir = nullptr;
    return 0;
}

int MmzDriver::GetPhys(BlockOp& op) {
    auto addr = reinterpret_cast<uintptr_t>(op.vir);
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_mappings.upper_bound(addr);
    if (it == m_mappings.begin()) return dev::Fail(EINVAL);
    --it;
    if (addr - it->first >= it->second.length) return dev::Fail(EINVAL);
    op.phys = it->second.phys + static_cast<uint32_t>(addr - it->first);
    return 0;
}

int MmzDriver::FlushRange(unsigned long request, void* arg) {
    MMZ_FLUSH_REQ_S req;
    if (CopyRequestIn(request, arg, &req) != 0) return -1;
    if (!mem::Ram::Local().Contains(req.u32PhyAddr, req.u32Size)) return dev::Fail(EINVAL);
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_flushRange;
    return 0;
}

size_t MmzDriver::BlockCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_blocks.size();
}

bool MmzDriver::Owns(uint32_t phys) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_blocks.count(phys) != 0;
}

int MmzDriver::MapCount(uint32_t phys) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    int n = 0;
    for (const auto& [vir, m] : m_mappings) n += m.phys == phys;
    return n;
}

bool MmzDriver::IsCachedMapping(const void* vir) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_mappings.find(reinterpret_cast<uintptr_t>(vir));
    return it != m_mappings.end() && it->second.cached;
}

int MmzDriver::FlushAllCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_flushAll;
}

int MmzDriver::FlushRangeCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_flushRange;
}

void InstallMmzDriver() {
    static bool installed = dev::Registry::Register(std::make_shared<MmzDriver>());
    (void)installed;
}

}  // namespace varnelle::drivers
