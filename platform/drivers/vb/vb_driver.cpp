#include "platform/drivers/vb/vb_driver.h"

#include <memory>

#include "platform/drivers/core/kernel.h"
#include "platform/drivers/core/vb_pools.h"

namespace varnelle::drivers {

VbDriver::VbDriver() : Driver("/dev/vb") {}

int VbDriver::Ioctl(dev::File&, unsigned long request, void* arg) {
    switch (request) {
    case VB_IOC_CREATE_POOL: return CreatePool(request, arg, false);
    case VB_IOC_DESTROY_POOL: return DestroyPool(request, arg, false);
    case VB_IOC_GET_BLOCK: return GetBlock(request, arg, false);
    case VB_IOC_RELEASE_BLOCK: return ReleaseBlock(request, arg, false);
    case VB_IOC_HANDLE2PHYS: return Handle2Phys(request, arg, false);
    case VB_IOC_HANDLE2POOL: return Handle2Pool(request, arg);
    case VB_IOC_QUERY_BLOCK: return QueryBlock(request, arg);
    case VB_IOC_INIT: return Init();
    case VB_IOC_EXIT: return Exit();
    case VB_IOC_GET_CONF: return GetConf(request, arg);
    case VB_IOC_SET_CONF: return SetConf(request, arg);
    case VB_IOC_POOL_MAP_INFO: return PoolMapInfo(request, arg, false);
    case VB_IOC_POOL_IN_USE: return PoolInUse(request, arg, false);
    case VB_IOC_INIT_MOD_POOL: return InitModPool(request, arg);
    case VB_IOC_EXIT_MOD_POOL: return ExitModPool(request, arg);
    case VB_IOC_SET_MOD_POOL_CONF: return SetModPoolConf(request, arg);
    case VB_IOC_SET_SETTING: return SetSetting(request, arg);
    case VB_IOC_GET_SETTING: return GetSetting(request, arg);
    case VB_IOC_CREATE_POOL_EX: return CreatePool(request, arg, true);
    case VB_IOC_DESTROY_POOL_EX: return DestroyPool(request, arg, true);
    case VB_IOC_GET_BLOCK_EX: return GetBlock(request, arg, true);
    case VB_IOC_RELEASE_BLOCK_EX: return ReleaseBlock(request, arg, true);
    case VB_IOC_POOL_MAP_INFO_EX: return PoolMapInfo(request, arg, true);
    case VB_IOC_POOL_IN_USE_EX: return PoolInUse(request, arg, true);
    case VB_IOC_HANDLE2PHYS_EX: return Handle2Phys(request, arg, true);
    case VB_IOC_CREATE_CALLER_POOL: return CreateCallerPool(request, arg);
    case VB_IOC_ADD_CALLER_BLOCK: return AddCallerBlock(request, arg);
    default: return dev::Fail(ENOTTY);
    }
}

bool VbDriver::Initialised() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_initialised;
}

std::vector<int> VbDriver::CommonPools() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_commonPools;
}

std::vector<int> VbDriver::ModulePools(uint32_t uid) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return uid < kUsers ? m_mod[uid].pools : std::vector<int>{};
}

uint32_t VbDriver::Setting() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_setting;
}

void VbDriver::Reset() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_conf.reset();
    m_initialised = false;
    m_commonPools.clear();
    for (ModPools& mod : m_mod) mod = ModPools{};
    m_setting = 0;
    m_userHeld.clear();  // the pools and their blocks go with VbPools' own hook
}

// The pools themselves are dropped by VbPools' own hook.
void InstallVbDriver() { InstallDriverOnce<VbDriver>(); }

}  // namespace varnelle::drivers
