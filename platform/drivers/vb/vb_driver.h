// /dev/vb: the video buffer pool driver. It answers every request of the SDK's VB module over the
// kernel-side pools (VbPools): the common pools built from the plan at init, pools created by id,
// module common pools per user id, the SDK's private (Ex) pools and pools of caller-supplied blocks.
// Common and module pools go away only with exit (and module exit), never while a block is held.
// A release gives back only a hold the user took through /dev/vb (a block got or added): the holds
// of drivers on their frames' blocks are theirs alone, whatever handle a caller names.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <unordered_set>
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
    int CreatePool(unsigned long request, void* arg, bool ex);
    int DestroyPool(unsigned long request, void* arg, bool ex);
    int GetBlock(unsigned long request, void* arg, bool ex);
    int ReleaseBlock(unsigned long request, void* arg, bool ex);
    int Handle2Phys(unsigned long request, void* arg, bool ex);
    int Handle2Pool(unsigned long request, void* arg);
    int QueryBlock(unsigned long request, void* arg);
    int PoolMapInfo(unsigned long request, void* arg, bool ex);
    int PoolInUse(unsigned long request, void* arg, bool ex);
    int CreateCallerPool(unsigned long request, void* arg);
    int AddCallerBlock(unsigned long request, void* arg);

    // Plan, life cycle and module pools (vb_driver_conf.cpp).
    int Init();
    int Exit();
    int SetConf(unsigned long request, void* arg);
    int GetConf(unsigned long request, void* arg);
    int SetModPoolConf(unsigned long request, void* arg);
    int InitModPool(unsigned long request, void* arg);
    int ExitModPool(unsigned long request, void* arg);
    int SetSetting(unsigned long request, void* arg);
    int GetSetting(unsigned long request, void* arg);

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
    std::unordered_set<uint32_t> m_userHeld;  // blocks got or added through /dev/vb, not yet released
};

// Registers /dev/vb with the device seam. Safe to call more than once.
void InstallVbDriver();

}  // namespace varnelle::drivers
