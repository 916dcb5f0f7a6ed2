// Pool and block requests of /dev/vb, public and Ex families alike.
#include <cstring>
#include <string>

#include "platform/drivers/core/request_copy.h"
#include "platform/drivers/core/vb_pools.h"
#include "platform/drivers/vb/vb_driver.h"

namespace varnelle::drivers {
namespace {

constexpr int kIllegal = MK_ERR(MK_ID_VB, MK_ERR_ILLEGAL_PARAM);
constexpr int kUnexist = MK_ERR(MK_ID_VB, MK_ERR_UNEXIST);

VbPools& Pools() { return VbPools::Instance(); }

// The record's zone name: up to 16 characters, the 17th byte being the terminator that follows.
std::string ZoneOf(const VB_POOL_INFO_S& info) {
    return std::string(info.acMmzName, strnlen(info.acMmzName, sizeof(info.acMmzName)));
}

// The pool `id` of family `ex`, or the code that refuses it.
int FindPool(uint32_t id, bool ex, VbPools::PoolInfo* out) {
    if (id >= VbPools::kMaxPools) return kIllegal;
    auto pool = Pools().Pool(static_cast<int>(id));
    if (!pool || pool->ex != ex) return kUnexist;
    *out = *pool;
    return 0;
}

// The held block `handle` of family `ex`, or the code that refuses it.
int FindBlock(uint32_t handle, bool ex, VbPools::BlockInfo* out) {
    auto block = Pools().Block(handle);
    if (!block) return kUnexist;
    auto pool = Pools().Pool(block->pool);
    if (!pool || pool->ex != ex) return kUnexist;
    *out = *block;
    return 0;
}

// Runs `fn` on the word in place: read, answered, written back.
template <typename Fn>
int OnWord(unsigned long request, void* arg, Fn fn) {
    uint32_t word;
    if (CopyRequestIn(request, arg, &word)) return -1;
    int ret = fn(word);
    if (ret != 0) return ret;
    return CopyRequestOut(request, arg, word);
}

}  // namespace

int VbDriver::CreatePool(unsigned long request, void* arg, bool ex) {
    VB_POOL_INFO_S info;
    if (CopyRequestIn(request, arg, &info)) return -1;
    if (info.u32BlkSize == 0 || info.u32BlkCnt == 0 || info.u32BlkCnt > VB_MAX_BLOCKS) return kIllegal;
    // The Ex family has no plan: a request for any Ex pool chooses among these.
    int id = Pools().CreatePool(info.u32BlkSize, info.u32BlkCnt, ZoneOf(info), ex,
                                ex ? VbPools::kCommon : VbPools::kPrivate);
    if (id < 0) return MK_ERR(MK_ID_VB, MK_ERR_NOMEM);
    info.u32PoolId = static_cast<uint32_t>(id);
    return CopyRequestOut(request, arg, info);
}

int VbDriver::DestroyPool(unsigned long request, void* arg, bool ex) {
    uint32_t id;
    if (CopyRequestIn(request, arg, &id)) return -1;
    VbPools::PoolInfo pool;
    if (int ret = FindPool(id, ex, &pool)) return ret;
    // Common and module pools go with exit; only pools made by id are destroyed by id.
    if (!ex && pool.user != VbPools::kPrivate) return MK_ERR(MK_ID_VB, MK_ERR_NOT_PERM);
    int ret = Pools().DestroyPool(pool.id);
    if (ret == -EBUSY) return MK_ERR(MK_ID_VB, MK_ERR_BUSY);
    return ret == 0 ? 0 : kUnexist;
}

int VbDriver::GetBlock(unsigned long request, void* arg, bool ex) {
    VB_POOL_INFO_S info;
    if (CopyRequestIn(request, arg, &info)) return -1;
    uint32_t handle;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (info.u32PoolId == VB_INVALID_POOLID) {
        handle = Pools().GetBlock(-1, info.u32BlkSize, ZoneOf(info), ex);
    } else {
        VbPools::PoolInfo pool;
        if (int ret = FindPool(info.u32PoolId, ex, &pool)) return ret;
        handle = Pools().GetBlock(pool.id, 0, "", ex);
    }
    if (handle == VbPools::kInvalid) return MK_ERR(MK_ID_VB, MK_ERR_BUF_EMPTY);
    info.u32Handle = handle;
    if (int ret = CopyRequestOut(request, arg, info)) {
        Pools().Release(handle);  // the caller never learnt the handle
        return ret;
    }
    m_userHeld.insert(handle);
    return 0;
}

int VbDriver::ReleaseBlock(unsigned long request, void* arg, bool ex) {
    uint32_t handle;
    if (CopyRequestIn(request, arg, &handle)) return -1;
    std::lock_guard<std::mutex> lock(m_mutex);
    VbPools::BlockInfo block;
    if (int ret = FindBlock(handle, ex, &block)) return ret;
    // Held, but not by the user: only a driver holds it.
    if (m_userHeld.erase(handle) == 0) return MK_ERR(MK_ID_VB, MK_ERR_NOT_PERM);
    return Pools().Release(handle) ? 0 : kUnexist;
}

int VbDriver::Handle2Phys(unsigned long request, void* arg, bool ex) {
    return OnWord(request, arg, [ex](uint32_t& word) {
        VbPools::BlockInfo block;
        if (int ret = FindBlock(word, ex, &block)) return ret;
        word = block.phys;
        return 0;
    });
}

int VbDriver::Handle2Pool(unsigned long request, void* arg) {
    return OnWord(request, arg, [](uint32_t& word) {
        VbPools::BlockInfo block;
        if (int ret = FindBlock(word, false, &block)) return ret;
        word = static_cast<uint32_t>(block.pool);
        return 0;
    });
}

int VbDriver::QueryBlock(unsigned long request, void* arg) {
    return OnWord(request, arg, [](uint32_t& word) {
        VbPools::BlockInfo block;
        if (int ret = FindBlock(word, false, &block)) return ret;
        word = static_cast<uint32_t>(block.refs);
        return 0;
    });
}

int VbDriver::PoolMapInfo(unsigned long request, void* arg, bool ex) {
    VB_POOL_MAP_S map;
    if (CopyRequestIn(request, arg, &map)) return -1;
    VbPools::PoolInfo pool;
    if (int ret = FindPool(map.u32PoolId, ex, &pool)) return ret;
    // Caller blocks lie anywhere in RAM: there is no one range to map.
    if (pool.callerBlocks) return MK_ERR(MK_ID_VB, MK_ERR_NOT_SUPPORT);
    map.u32PoolSize = pool.size;
    map.u32PhyAddr = pool.phys;
    return CopyRequestOut(request, arg, map);
}

int VbDriver::PoolInUse(unsigned long request, void* arg, bool ex) {
    return OnWord(request, arg, [ex](uint32_t& word) {
        VbPools::PoolInfo pool;
        if (int ret = FindPool(word, ex, &pool)) return ret;
        word = Pools().PoolInUse(pool.id) ? 1 : 0;
        return 0;
    });
}

int VbDriver::CreateCallerPool(unsigned long request, void* arg) {
    VB_POOL_INFO_S info;
    if (CopyRequestIn(request, arg, &info)) return -1;
    if (info.u32BlkCnt == 0) return kIllegal;
    int id = Pools().CreateCallerPool(info.u32BlkCnt, ZoneOf(info));
    if (id < 0) return MK_ERR(MK_ID_VB, MK_ERR_NOMEM);
    info.u32PoolId = static_cast<uint32_t>(id);
    return CopyRequestOut(request, arg, info);
}

int VbDriver::AddCallerBlock(unsigned long request, void* arg) {
    VB_POOL_INFO_S info;
    if (CopyRequestIn(request, arg, &info)) return -1;
    VbPools::PoolInfo pool;
    if (int ret = FindPool(info.u32PoolId, false, &pool)) return ret;
    if (!pool.callerBlocks) return MK_ERR(MK_ID_VB, MK_ERR_NOT_PERM);
    // Also refuses a full pool and memory outside RAM or inside another pool.
    std::lock_guard<std::mutex> lock(m_mutex);
    uint32_t handle = Pools().AddCallerBlock(pool.id, info.u32PhyAddr, info.u32BlkSize);
    if (handle == VbPools::kInvalid) return kIllegal;
    info.u32Handle = handle;
    if (int ret = CopyRequestOut(request, arg, info)) {
        Pools().Release(handle);  // it stays in the pool as a free block
        return ret;
    }
    m_userHeld.insert(handle);
    return 0;
}

}  // namespace varnelle::drivers
