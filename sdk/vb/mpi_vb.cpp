#include "sdk/vb/mpi_vb.h"

#include <fcntl.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/dev/dev.h"
#include "sdk/common/mk_debug.h"
#include "sdk/common/mk_dev.h"
#include "sdk/sys/mpi_sys.h"
#include "sdk/vb/mpi_vb_testing.h"

namespace dev = varnelle::dev;

namespace {

constexpr const char* kSource = "sdk/code/mpi/src/mpi_vb";
constexpr MK_S32 kIllegalParam = MK_ERR(MK_ID_VB, MK_ERR_ILLEGAL_PARAM);
constexpr MK_S32 kNullPtr = MK_ERR(MK_ID_VB, MK_ERR_NULL_PTR);
constexpr MK_S32 kNoMem = MK_ERR(MK_ID_VB, MK_ERR_NOMEM);
constexpr MK_S32 kNotReady = MK_ERR(MK_ID_VB, MK_ERR_SYS_NOTREADY);
constexpr MK_S32 kBusy = MK_ERR(MK_ID_VB, MK_ERR_BUSY);

// One pool's entry in a user map table.
struct PoolMap {
    std::mutex mutex;  // guards the fields below; held for a whole map, unmap or translation
    MK_U32 u32Mapped = 0;
    MK_U32 u32PoolId = 0;
    MK_U32 u32PoolSize = 0;
    MK_U32 u32PhyAddr = 0;
    MK_VOID* pPoolVirAddr = nullptr;
};

// A family of pools: its requests and its user map table.
struct Family {
    unsigned long createRequest;
    unsigned long destroyRequest;
    unsigned long getRequest;
    unsigned long mapInfoRequest;
    unsigned long inUseRequest;
    PoolMap maps[VB_MAX_POOLS];
};

struct VbModule {
    // Descriptor: /dev/vb, opened on first use and kept.
    mk::DevSlot dev;
    // Map tables: the public pools and the private (Ex) pools. Their mutexes are made once, here.
    Family pub{VB_IOC_CREATE_POOL, VB_IOC_DESTROY_POOL, VB_IOC_GET_BLOCK, VB_IOC_POOL_MAP_INFO,
               VB_IOC_POOL_IN_USE, {}};
    Family ex{VB_IOC_CREATE_POOL_EX, VB_IOC_DESTROY_POOL_EX, VB_IOC_GET_BLOCK_EX, VB_IOC_POOL_MAP_INFO_EX,
              VB_IOC_POOL_IN_USE_EX, {}};
};

// Never destroyed: other threads may still call in while the process exits.
VbModule& Vb() {
    static auto* module = new VbModule;
    return *module;
}

bool OpenVb() {
    if (Vb().dev.Ensure("/dev/vb", O_RDWR) == mk::DevSlot::kReady) return true;
    std::perror("open err\n");
    return false;
}

// The one request of a wrapper: lazy open, then the ioctl, whose result is returned unchanged.
MK_S32 Request(unsigned long request, void* arg) {
    if (!OpenVb()) return kNotReady;
    return dev::Ioctl(Vb().dev.fd(), request, arg);
}

// Word requests answered in place: the answer, or `failure` when the request fails.
MK_U32 QueryWord(unsigned long request, MK_U32 word, MK_U32 failure) {
    return Request(request, &word) == 0 ? word : failure;
}

// Copies a zone name into a record field; false when it would be cut short.
bool CopyName(MK_CHAR (&field)[MAX_MMZ_NAME_LEN], const MK_CHAR* name) {
    std::memset(field, 0, sizeof(field));
    if (name == nullptr) return true;
    size_t len = strnlen(name, MAX_MMZ_NAME_LEN + 1);
    if (len > MAX_MMZ_NAME_LEN) return false;
    std::memcpy(field, name, len);
    return true;
}

// Used entries need room for their zone name's terminator.
MK_S32 CheckNames(const VB_CONF_S& conf) {
    for (const auto& entry : conf.astCommPool) {
        if (entry.u32BlkSize == 0 || entry.u32BlkCnt == 0) continue;
        size_t len = strnlen(entry.acMmzName, MAX_MMZ_NAME_LEN);
        // The length is counted inside the field only; "16" stands for 16 or more.
        if (len >= MAX_MMZ_NAME_LEN) {
            std::printf("mmz name len:%d,it's too long\n", static_cast<int>(len));
            return kIllegalParam;
        }
    }
    return MK_SUCCESS;
}

bool PoolInRange(VB_POOL pool) {
    if (pool < VB_MAX_POOLS) return true;
    MK_TRACE("Illegal poolid %d!\n", static_cast<MK_S32>(pool));
    return false;
}

// Unmaps an entry and marks it unmapped. Holds the entry's mutex.
void DropMapping(PoolMap& map) {
    if (map.u32Mapped == 1) MK_MPI_SYS_Munmap(map.pPoolVirAddr, map.u32PoolSize);
    map.u32Mapped = 0;
    map.u32PoolId = 0;
    map.u32PoolSize = 0;
    map.u32PhyAddr = 0;
    map.pPoolVirAddr = nullptr;
}

// Asks the driver whether blocks of `pool` are held; false also when the pool is gone.
bool PoolHeld(const Family& family, MK_U32 pool) {
    MK_U32 word = pool;
    return Vb().dev.IsOpen() && dev::Ioctl(Vb().dev.fd(), family.inUseRequest, &word) == 0 && word != 0;
}

// Prepares a map table anew: every mapping goes, except those of pools whose blocks are still held,
// whose users may be writing through them.
void ResetTable(Family& family) {
    for (MK_U32 pool = 0; pool < VB_MAX_POOLS; ++pool) {
        PoolMap& map = family.maps[pool];
        std::lock_guard<std::mutex> lock(map.mutex);
        if (map.u32Mapped == 1 && PoolHeld(family, pool)) continue;
        DropMapping(map);
    }
}

VB_POOL CreatePool(Family& family, MK_U32 u32BlkSize, MK_U32 u32BlkCnt, const MK_CHAR* pcMmzName) {
    VB_POOL_INFO_S info{};
    info.u32PoolId = VB_INVALID_POOLID;
    info.u32BlkSize = u32BlkSize;
    info.u32BlkCnt = u32BlkCnt;
    info.u32Handle = VB_INVALID_HANDLE;
    if (!CopyName(info.acMmzName, pcMmzName)) return VB_INVALID_POOLID;
    return Request(family.createRequest, &info) == 0 ? info.u32PoolId : VB_INVALID_POOLID;
}

MK_S32 DestroyPool(Family& family, VB_POOL pool) {
    if (!PoolInRange(pool)) return kIllegalParam;
    PoolMap& map = family.maps[pool];
    std::lock_guard<std::mutex> lock(map.mutex);
    MK_U32 word = pool;
    MK_S32 ret = Request(family.destroyRequest, &word);
    // A later pool of the same id lies elsewhere: the old mapping must not be taken for it.
    if (ret == MK_SUCCESS) DropMapping(map);
    return ret;
}

VB_BLK GetBlock(Family& family, VB_POOL pool, MK_U32 u32BlkSize, const MK_CHAR* pcMmzName) {
    VB_POOL_INFO_S info{};
    info.u32PoolId = pool;
    info.u32Handle = VB_INVALID_HANDLE;
    if (pool == VB_INVALID_POOLID) {
        info.u32BlkSize = u32BlkSize;
        info.u32AnyPool = 1;
        if (!CopyName(info.acMmzName, pcMmzName)) return VB_INVALID_HANDLE;
    } else if (!PoolInRange(pool)) {
        return VB_INVALID_HANDLE;
    }
    return Request(family.getRequest, &info) == 0 ? info.u32Handle : VB_INVALID_HANDLE;
}

MK_S32 MmapPool(Family& family, VB_POOL pool) {
    if (!PoolInRange(pool)) return kIllegalParam;
    if (!OpenVb()) return kNotReady;
    PoolMap& map = family.maps[pool];
    std::lock_guard<std::mutex> lock(map.mutex);
    if (map.u32Mapped == 1) {
        MK_TRACE("Pool %d has mapped!\n", pool);
        return MK_SUCCESS;
    }
    VB_POOL_MAP_S info{pool, 0, 0, 0};
    MK_S32 ret = dev::Ioctl(Vb().dev.fd(), family.mapInfoRequest, &info);
    if (ret != MK_SUCCESS) {
        MK_TRACE("Get vb pool %d's info failed!\n", pool);
        return ret;
    }
    MK_VOID* user = MK_MPI_SYS_Mmap(info.u32PhyAddr, info.u32PoolSize);
    if (user == nullptr) {
        MK_TRACE("Get vb pool %d' mmap user addr failed!\n", pool);
        return kNoMem;
    }
    map.u32PoolId = pool;
    map.u32PoolSize = info.u32PoolSize;
    map.u32PhyAddr = info.u32PhyAddr;
    map.pPoolVirAddr = user;
    map.u32Mapped = 1;
    return MK_SUCCESS;
}

MK_S32 MunmapPool(Family& family, VB_POOL pool) {
    if (!PoolInRange(pool)) return kIllegalParam;
    if (!OpenVb()) return kNotReady;
    PoolMap& map = family.maps[pool];
    std::lock_guard<std::mutex> lock(map.mutex);
    if (map.u32Mapped != 1) {
        MK_TRACE("Pool %d hasn't mapped!\n", pool);
        return MK_SUCCESS;
    }
    MK_U32 word = pool;
    MK_S32 ret = dev::Ioctl(Vb().dev.fd(), family.inUseRequest, &word);
    if (ret != MK_SUCCESS) {
        MK_TRACE("Query vb pool %d used stat failed!\n", pool);
        return ret;
    }
    if (word != 0) {
        MK_TRACE("Vb pool %d  is used by some modules!\n", pool);
        return kBusy;
    }
    MK_ASSERT_IN(kSource, NULL != map.pPoolVirAddr);
    DropMapping(map);
    return MK_SUCCESS;
}

MK_S32 GetBlkVirAddr(Family& family, VB_POOL pool, MK_U32 u32PhyAddr, MK_VOID** ppVirAddr) {
    if (ppVirAddr == nullptr) return kNullPtr;
    if (!PoolInRange(pool)) return kIllegalParam;
    PoolMap& map = family.maps[pool];
    std::lock_guard<std::mutex> lock(map.mutex);
    if (map.u32Mapped != 1) {
        MK_TRACE("Pool %d hasn't mapped!\n", pool);
        return kNotReady;
    }
    MK_ASSERT_IN(kSource, NULL != map.pPoolVirAddr);
    // An address outside the pool would give a pointer outside the mapping.
    if (u32PhyAddr < map.u32PhyAddr || u32PhyAddr - map.u32PhyAddr >= map.u32PoolSize) {
        MK_TRACE("phyaddr 0x%x is not in pool %d!\n", u32PhyAddr, pool);
        return kIllegalParam;
    }
    *ppVirAddr = static_cast<char*>(map.pPoolVirAddr) + (u32PhyAddr - map.u32PhyAddr);
    return MK_SUCCESS;
}

}  // namespace

// One-request wrappers, each written once.
// Word requests that return the driver's answer, or a failure value.
#define VB_VALUE_CALLS(X)                                                   \
    X(MK_MPI_VB_Handle2PhysAddr, VB_IOC_HANDLE2PHYS, MK_U32, 0)             \
    X(MK_MPI_VB_Handle2PhysAddrEx, VB_IOC_HANDLE2PHYS_EX, MK_U32, 0)        \
    X(MK_MPI_VB_Handle2PoolId, VB_IOC_HANDLE2POOL, VB_POOL, VB_INVALID_POOLID) \
    X(MK_MPI_VB_QueryBlock, VB_IOC_QUERY_BLOCK, MK_S32, -1)
// Word requests that return the request's result.
#define VB_WORD_CALLS(X)                                           \
    X(MK_MPI_VB_ReleaseBlock, VB_IOC_RELEASE_BLOCK, VB_BLK)        \
    X(MK_MPI_VB_ReleaseBlockEx, VB_IOC_RELEASE_BLOCK_EX, VB_BLK)
// User-id requests of the module common pools.
#define VB_USER_CALLS(X)                                  \
    X(MK_MPI_VB_InitModCommPool, VB_IOC_INIT_MOD_POOL)    \
    X(MK_MPI_VB_ExitModCommPool, VB_IOC_EXIT_MOD_POOL)
// Record requests with a null check.
#define VB_RECORD_CALLS(X)                                         \
    X(MK_MPI_VB_GetConf, VB_IOC_GET_CONF, VB_CONF_S)               \
    X(MK_MPI_VB_SetSetting, VB_IOC_SET_SETTING, const VB_SETTING_S) \
    X(MK_MPI_VB_GetSetting, VB_IOC_GET_SETTING, VB_SETTING_S)

#define VB_VALUE_CALL(name, request, type, failure)                                   \
    type name(VB_BLK Block) {                                                         \
        return static_cast<type>(QueryWord(request, Block, static_cast<MK_U32>(failure))); \
    }
#define VB_WORD_CALL(name, request, type) \
    MK_S32 name(type value) {             \
        MK_U32 word = value;              \
        return Request(request, &word);   \
    }
#define VB_USER_CALL(name, request)                        \
    MK_S32 name(MK_U32 u32Uid) {                           \
        if (u32Uid > VB_MAX_MOD_COMM_POOL_ID) {            \
            MK_TRACE("Illegal user id %d!\n", static_cast<MK_S32>(u32Uid)); \
            return kIllegalParam;                          \
        }                                                  \
        return Request(request, &u32Uid);                  \
    }
#define VB_RECORD_CALL(name, request, type)                            \
    MK_S32 name(type* record) {                                        \
        if (!OpenVb()) return kNotReady;                               \
        if (record == nullptr) return kNullPtr;                        \
        return dev::Ioctl(Vb().dev.fd(), request, const_cast<void*>(static_cast<const void*>(record))); \
    }

VB_VALUE_CALLS(VB_VALUE_CALL)
VB_WORD_CALLS(VB_WORD_CALL)
VB_USER_CALLS(VB_USER_CALL)
VB_RECORD_CALLS(VB_RECORD_CALL)

MK_S32 MK_MPI_VB_SetConf(const VB_CONF_S* pstConf) {
    if (!OpenVb()) return kNotReady;
    if (pstConf == nullptr) return kNullPtr;
    if (MK_S32 ret = CheckNames(*pstConf)) return ret;
    return dev::Ioctl(Vb().dev.fd(), VB_IOC_SET_CONF, const_cast<VB_CONF_S*>(pstConf));
}

MK_S32 MK_MPI_VB_Init(MK_VOID) {
    ResetTable(Vb().pub);
    ResetTable(Vb().ex);
    return Request(VB_IOC_INIT, nullptr);
}

MK_S32 MK_MPI_VB_Exit(MK_VOID) {
    MK_S32 ret = Request(VB_IOC_EXIT, nullptr);
    ResetTable(Vb().pub);
    ResetTable(Vb().ex);
    return ret;
}

VB_POOL MK_MPI_VB_CreatePool(MK_U32 u32BlkSize, MK_U32 u32BlkCnt, const MK_CHAR* pcMmzName) {
    return CreatePool(Vb().pub, u32BlkSize, u32BlkCnt, pcMmzName);
}

VB_POOL MK_MPI_VB_CreatePoolEx(MK_U32 u32BlkSize, MK_U32 u32BlkCnt, const MK_CHAR* pcMmzName) {
    return CreatePool(Vb().ex, u32BlkSize, u32BlkCnt, pcMmzName);
}

MK_S32 MK_MPI_VB_DestroyPool(VB_POOL Pool) { return DestroyPool(Vb().pub, Pool); }
MK_S32 MK_MPI_VB_DestroyPoolEx(VB_POOL Pool) { return DestroyPool(Vb().ex, Pool); }

VB_BLK MK_MPI_VB_GetBlock(VB_POOL Pool, MK_U32 u32BlkSize, const MK_CHAR* pcMmzName) {
    return GetBlock(Vb().pub, Pool, u32BlkSize, pcMmzName);
}

VB_BLK MK_MPI_VB_GetBlockEx(VB_POOL Pool, MK_U32 u32BlkSize, const MK_CHAR* pcMmzName) {
    return GetBlock(Vb().ex, Pool, u32BlkSize, pcMmzName);
}

MK_S32 MK_MPI_VB_MmapPool(VB_POOL Pool) { return MmapPool(Vb().pub, Pool); }
MK_S32 MK_MPI_VB_MmapPoolEx(VB_POOL Pool) { return MmapPool(Vb().ex, Pool); }
MK_S32 MK_MPI_VB_MunmapPool(VB_POOL Pool) { return MunmapPool(Vb().pub, Pool); }
MK_S32 MK_MPI_VB_MunmapPoolEx(VB_POOL Pool) { return MunmapPool(Vb().ex, Pool); }

MK_S32 MK_MPI_VB_GetBlkVirAddr(VB_POOL Pool, MK_U32 u32PhyAddr, MK_VOID** ppVirAddr) {
    return GetBlkVirAddr(Vb().pub, Pool, u32PhyAddr, ppVirAddr);
}

MK_S32 MK_MPI_VB_GetBlkVirAddrEx(VB_POOL Pool, MK_U32 u32PhyAddr, MK_VOID** ppVirAddr) {
    return GetBlkVirAddr(Vb().ex, Pool, u32PhyAddr, ppVirAddr);
}

MK_S32 MK_MPI_VB_SetModPoolConf(MK_U32 u32Uid, const VB_CONF_S* pstConf) {
    if (u32Uid > VB_MAX_MOD_COMM_POOL_ID) {
        MK_TRACE("Illegal user id %d!\n", static_cast<MK_S32>(u32Uid));
        return kIllegalParam;
    }
    if (!OpenVb()) return kNotReady;
    if (pstConf == nullptr) return kNullPtr;
    if (MK_S32 ret = CheckNames(*pstConf)) return ret;
    VB_MOD_POOL_CONF_S rec{u32Uid, *pstConf};
    return dev::Ioctl(Vb().dev.fd(), VB_IOC_SET_MOD_POOL_CONF, &rec);
}

MK_S32 MK_MPI_VB_GetFd(MK_VOID) { return OpenVb() ? Vb().dev.fd() : kNotReady; }

VB_POOL MK_MPI_VB_CreateUserPool(MK_U32 u32BlkCnt, const MK_CHAR* pcMmzName) {
    VB_POOL_INFO_S info{};
    info.u32PoolId = VB_INVALID_POOLID;
    info.u32BlkCnt = u32BlkCnt;
    info.u32Handle = VB_INVALID_HANDLE;
    if (!CopyName(info.acMmzName, pcMmzName)) return VB_INVALID_POOLID;
    return Request(VB_IOC_CREATE_CALLER_POOL, &info) == 0 ? info.u32PoolId : VB_INVALID_POOLID;
}

VB_BLK MK_MPI_VB_AddUserBlock(VB_POOL Pool, MK_U32 u32PhyAddr, MK_U32 u32Size) {
    if (Pool >= VB_MAX_POOLS) {
        MK_TRACE("Pool id %d is invalid !\n", static_cast<MK_S32>(Pool));
        return VB_INVALID_HANDLE;
    }
    if (u32PhyAddr == 0) {
        MK_TRACE("phyaddr 0x%x is error !\n", u32PhyAddr);
        return VB_INVALID_HANDLE;
    }
    if (u32Size == 0) {
        MK_TRACE("phyaddr size %d is error !\n", u32Size);
        return VB_INVALID_HANDLE;
    }
    VB_POOL_INFO_S info{};
    info.u32PoolId = Pool;
    info.u32BlkSize = u32Size;
    info.u32Handle = VB_INVALID_HANDLE;
    info.u32PhyAddr = u32PhyAddr;
    return Request(VB_IOC_ADD_CALLER_BLOCK, &info) == 0 ? info.u32Handle : VB_INVALID_HANDLE;
}

namespace mk::vb_testing {

void CloseDevice() {
    for (Family* family : {&Vb().pub, &Vb().ex}) {
        for (PoolMap& map : family->maps) {
            std::lock_guard<std::mutex> lock(map.mutex);
            DropMapping(map);
        }
    }
    Vb().dev.Close();
}

}  // namespace mk::vb_testing
