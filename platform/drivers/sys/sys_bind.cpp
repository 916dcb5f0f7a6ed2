// The kernel's bindings and the channels' zone names.
#include <cstring>

#include "platform/drivers/core/bind_graph.h"
#include "platform/drivers/core/request_copy.h"
#include "platform/drivers/sys/sys_driver.h"
#include "sdk/sys/sys_ioctl.h"

namespace varnelle::drivers {
namespace {

constexpr int kErrParam = MK_ERR(MK_ID_SYS, MK_ERR_ILLEGAL_PARAM);

bool ValidChn(const MPP_CHN_S& c) {
    return static_cast<uint32_t>(c.enModId) < MK_ID_BUTT && c.s32DevId >= 0 && c.s32ChnId >= 0;
}

}  // namespace

int SysDriver::Bind(unsigned long request, void* arg) {
    MK_SYS_BIND_REQ_S req;
    if (CopyRequestIn(request, arg, &req) != 0) return -1;
    if (!ValidChn(req.stSrcChn) || !ValidChn(req.stDestChn)) return kErrParam;
    // A destination already fed by a source is refused.
    return BindGraph::Instance().Bind(req.stSrcChn, req.stDestChn);
}

int SysDriver::Unbind(unsigned long request, void* arg) {
    MK_SYS_BIND_REQ_S req;
    if (CopyRequestIn(request, arg, &req) != 0) return -1;
    if (!ValidChn(req.stDestChn)) return kErrParam;
    // A caller without a source sends an all-zero source half (module 0 is no source): whatever feeds
    // the destination goes. A named source must be the bound one; another would cut a binding the
    // caller never meant.
    const MPP_CHN_S& src = req.stSrcChn;
    const bool named = src.enModId != 0 || src.s32DevId != 0 || src.s32ChnId != 0;
    // As in the in-process table, unbinding a destination that is not bound changes nothing.
    const int ret = BindGraph::Instance().Unbind(req.stDestChn, named ? &src : nullptr);
    return ret == MK_ERR(MK_ID_SYS, MK_ERR_NOT_PERM) ? ret : 0;
}

int SysDriver::GetBindByDest(unsigned long request, void* arg) {
    MK_SYS_BIND_REQ_S req;
    if (CopyRequestIn(request, arg, &req) != 0) return -1;
    if (!ValidChn(req.stDestChn)) return kErrParam;
    auto src = BindGraph::Instance().SourceOf(req.stDestChn);
    if (!src) return MK_ERR(MK_ID_SYS, MK_ERR_UNEXIST);
    req.stSrcChn = *src;
    return CopyRequestOut(request, arg, req);
}

int SysDriver::SetMemConf(unsigned long request, void* arg) {
    MK_SYS_MEM_CONF_S conf;
    if (CopyRequestIn(request, arg, &conf) != 0) return -1;
    if (!ValidChn(conf.stMppChn)) return kErrParam;
    // A name may fill all 16 bytes without a terminator.
    std::string name(conf.acMmzName, strnlen(conf.acMmzName, sizeof(conf.acMmzName)));
    ChnKey key{conf.stMppChn.enModId, conf.stMppChn.s32DevId, conf.stMppChn.s32ChnId};
    std::lock_guard<std::mutex> lock(m_mutex);
    if (name.empty()) {
        m_memConf.erase(key);
    } else {
        m_memConf[key] = name;
    }
    return 0;
}

int SysDriver::GetMemConf(unsigned long request, void* arg) {
    MK_SYS_MEM_CONF_EX_S conf;
    if (CopyRequestIn(request, arg, &conf) != 0) return -1;
    if (!ValidChn(conf.stMppChn)) return kErrParam;
    std::memset(conf.acMmzName, 0, sizeof(conf.acMmzName));
    std::memset(conf.acTerminator, 0, sizeof(conf.acTerminator));
    std::string name = MemConfOf(conf.stMppChn);
    std::memcpy(conf.acMmzName, name.data(), name.size());
    return CopyRequestOut(request, arg, conf);
}

std::string SysDriver::MemConfOf(const MPP_CHN_S& chn) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_memConf.find(ChnKey{chn.enModId, chn.s32DevId, chn.s32ChnId});
    return it == m_memConf.end() ? std::string() : it->second;
}

}  // namespace varnelle::drivers
