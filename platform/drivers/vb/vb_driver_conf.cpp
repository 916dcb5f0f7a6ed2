// The plan, init and exit of the common pools, module common pools and the setting record.
#include <cstring>
#include <string>

#include "platform/drivers/core/request_copy.h"
#include "platform/drivers/core/vb_pools.h"
#include "platform/drivers/vb/vb_driver.h"

namespace varnelle::drivers {
namespace {

constexpr int kIllegal = MK_ERR(MK_ID_VB, MK_ERR_ILLEGAL_PARAM);
constexpr int kBusy = MK_ERR(MK_ID_VB, MK_ERR_BUSY);

bool Used(const VB_CONF_S& conf, int i) {
    return conf.astCommPool[i].u32BlkSize != 0 && conf.astCommPool[i].u32BlkCnt != 0;
}

// A used entry's zone name must end inside its field.
bool NamesFit(const VB_CONF_S& conf) {
    for (int i = 0; i < VB_MAX_COMM_POOLS; ++i) {
        const char* name = conf.astCommPool[i].acMmzName;
        if (Used(conf, i) && strnlen(name, MAX_MMZ_NAME_LEN) == MAX_MMZ_NAME_LEN) return false;
    }
    return true;
}

}  // namespace

bool VbDriver::CreatePlan(const VB_CONF_S& conf, int user, std::vector<int>* pools) {
    VbPools& vb = VbPools::Instance();
    std::vector<int> made;
    // Every used entry becomes a pool; the maximum pool count is kept, not enforced, as plans in use
    // name more pools than it says.
    for (int i = 0; i < VB_MAX_COMM_POOLS; ++i) {
        if (!Used(conf, i)) continue;
        const auto& entry = conf.astCommPool[i];
        std::string zone(entry.acMmzName, strnlen(entry.acMmzName, MAX_MMZ_NAME_LEN));
        int id = vb.CreatePool(entry.u32BlkSize, entry.u32BlkCnt, zone, false, user);
        if (id < 0) {
            vb.DestroyPools(made);
            return false;
        }
        made.push_back(id);
    }
    *pools = std::move(made);
    return true;
}

int VbDriver::Init() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_initialised) return 0;
    if (!m_conf) return MK_ERR(MK_ID_VB, MK_ERR_NOT_CONFIG);
    if (!CreatePlan(*m_conf, VbPools::kCommon, &m_commonPools)) return MK_ERR(MK_ID_VB, MK_ERR_NOMEM);
    m_initialised = true;
    return 0;
}

int VbDriver::Exit() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_initialised) return 0;
    std::vector<int> all = m_commonPools;
    for (const ModPools& mod : m_mod) all.insert(all.end(), mod.pools.begin(), mod.pools.end());
    if (VbPools::Instance().DestroyPools(all) != 0) return kBusy;
    m_commonPools.clear();
    for (ModPools& mod : m_mod) {
        mod.pools.clear();
        mod.initialised = false;
    }
    m_initialised = false;
    return 0;
}

int VbDriver::SetConf(unsigned long request, void* arg) {
    VB_CONF_S conf;
    if (CopyRequestIn(request, arg, &conf)) return -1;
    if (!NamesFit(conf)) return kIllegal;
    std::lock_guard<std::mutex> lock(m_mutex);
    // The plan in force cannot change under its pools.
    if (m_initialised) return MK_ERR(MK_ID_VB, MK_ERR_NOT_PERM);
    m_conf = conf;
    return 0;
}

int VbDriver::GetConf(unsigned long request, void* arg) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_conf) return MK_ERR(MK_ID_VB, MK_ERR_NOT_CONFIG);
    VB_CONF_S conf = *m_conf;
    lock.unlock();
    return CopyRequestOut(request, arg, conf);
}

int VbDriver::SetModPoolConf(unsigned long request, void* arg) {
    VB_MOD_POOL_CONF_S rec;
    if (CopyRequestIn(request, arg, &rec)) return -1;
    if (rec.u32Uid >= kUsers || !NamesFit(rec.stConf)) return kIllegal;
    std::lock_guard<std::mutex> lock(m_mutex);
    ModPools& mod = m_mod[rec.u32Uid];
    if (mod.initialised) return MK_ERR(MK_ID_VB, MK_ERR_NOT_PERM);
    mod.conf = rec.stConf;
    return 0;
}

int VbDriver::InitModPool(unsigned long request, void* arg) {
    uint32_t uid;
    if (CopyRequestIn(request, arg, &uid)) return -1;
    if (uid >= kUsers) return kIllegal;
    std::lock_guard<std::mutex> lock(m_mutex);
    ModPools& mod = m_mod[uid];
    if (mod.initialised) return 0;
    if (!m_initialised) return MK_ERR(MK_ID_VB, MK_ERR_SYS_NOTREADY);
    if (!mod.conf) return MK_ERR(MK_ID_VB, MK_ERR_NOT_CONFIG);
    if (!CreatePlan(*mod.conf, static_cast<int>(uid), &mod.pools)) return MK_ERR(MK_ID_VB, MK_ERR_NOMEM);
    mod.initialised = true;
    return 0;
}

int VbDriver::ExitModPool(unsigned long request, void* arg) {
    uint32_t uid;
    if (CopyRequestIn(request, arg, &uid)) return -1;
    if (uid >= kUsers) return kIllegal;
    std::lock_guard<std::mutex> lock(m_mutex);
    ModPools& mod = m_mod[uid];
    if (!mod.initialised) return 0;
    if (VbPools::Instance().DestroyPools(mod.pools) != 0) return kBusy;
    mod.pools.clear();
    mod.initialised = false;
    return 0;
}

int VbDriver::SetSetting(unsigned long request, void* arg) {
    VB_SETTING_S rec;
    if (CopyRequestIn(request, arg, &rec)) return -1;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_setting = rec.u32Setting;
    return 0;
}

int VbDriver::GetSetting(unsigned long request, void* arg) {
    std::unique_lock<std::mutex> lock(m_mutex);
    VB_SETTING_S rec{m_setting};
    lock.unlock();
    return CopyRequestOut(request, arg, rec);
}

}  // namespace varnelle::drivers
