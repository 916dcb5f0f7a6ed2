// /dev/vb: the video buffer pool driver. It answers every request of the SDK's VB module over the
// kernel-side pools (VbPools): the common pools built from the plan at init, pools created by id,
// module common pools per user id, the SDK's private (Ex) pools and pools of caller-supplied blocks.
// Common and module pools go away only with exit (and module exit), never while a block is held.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/dev/driver.h"
#include "sdk/vb/vb_ioctl.h"

namespace varnelle::drivers {

class VbDriver : public dev::Driver {
public:
    VbDriver();

    int Ioctl(dev::File& file, unsigned long request, void* arg) override;

    // Test-side view of the driver's state.
    bool Initialised() const;
    std::vector<int> CommonPools() const;
    std::vector<int> ModulePools(uint32_t uid) const;
    uint32_t Setting() const;

    // Drops the plan, the pool lists and the setting (the system's exit); VbPools clears the pools.
    void Reset();

private:
    static constexpr uint32_t kUsers = VB_MAX_MOD_COMM_POOL_ID + 1;

    // Pools and blocks (vb_driver_pools.cpp).
    int CreatePool(void* arg, bool ex);
    int DestroyPool(void* arg, bool ex);
    int GetBlock(void* arg, bool ex);
    int ReleaseBlock(void* arg, bool ex);
    int Handle2Phys(void* arg, bool ex);
    int Handle2Pool(void* arg);
    int QueryBlock(void* arg);
    int PoolMapInfo(void* arg, bool ex);
    int PoolInUse(void* arg, bool ex);
    int CreateCallerPool(void* arg);
    int AddCallerBlock(void* arg);

    // Plan, life cycle and module pools (vb_driver_conf.cpp).
    int Init();
    int Exit();
    int SetConf(void* arg);
    int GetConf(void* arg);
    int SetModPoolConf(void* arg);
    int InitModPool(void* arg);
    int ExitModPool(void* arg);
    int SetSetting(void* arg);
    int GetSetting(void* arg);

    // Creates the used entries of `conf` as pools of `user`; on failure destroys what it made.
    static bool CreatePlan(const VB_CONF_S& conf, int user, std::vector<int>* pools);

    struct ModPools {
        std::optional<VB_CONF_S> conf;
        std::vector<int> pools;  // empty until the module's init
        bool initialised = false;
    };

    mutable std::mutex m_mutex;  // guards everything below
    std::optional<VB_CONF_S> m_conf;
    bool m_initialised = false;
    std::vector<int> m_commonPools;
    ModPools m_mod[kUsers];
    uint32_t m_setting = 0;
};

// Registers /dev/vb with the device seam. Safe to call more than once.
void InstallVbDriver();

}  // namespace varnelle::drivers
