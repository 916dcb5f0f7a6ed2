#include "platform/drivers/adec/adec_driver.h"

#include "platform/drivers/core/kernel.h"
#include "platform/drivers/core/request_copy.h"

namespace varnelle::drivers {
namespace {

class AdecFile : public dev::File {
public:
    int chn = -1;  // set by the bind request
};

}  // namespace

AdecDriver::AdecDriver() : Driver("/dev/adec") {}

std::shared_ptr<AdecDriver> AdecDriver::Get() {
    InstallAdecDriver();
    return dev::Registry::Get<AdecDriver>("/dev/adec");
}

std::unique_ptr<dev::File> AdecDriver::Open(int) {
    return std::make_unique<AdecFile>();
}

int AdecDriver::Ioctl(dev::File& file, unsigned long request, void* arg) {
    auto& f = static_cast<AdecFile&>(file);
    if (request == MK_ADEC_IOC_BIND) {
        uint32_t chn;
        if (CopyRequestIn(request, arg, &chn) != 0) return -1;
        if (chn >= ADEC_MAX_CHN_NUM) return MK_ERR_ADEC_INVALID_CHNID;
        f.chn = static_cast<int>(chn);
        return 0;
    }
    if (f.chn < 0) return MK_ERR_ADEC_SYS_NOTREADY;
    std::lock_guard<std::mutex> lock(m_mutex);
    Chn& c = m_chn[f.chn];
    switch (request) {
        case MK_ADEC_IOC_CREATE_CHN: {
            ADEC_CHN_ATTR_S attr;
            if (CopyRequestIn(request, arg, &attr) != 0) return -1;
            if (c.created) return MK_ERR_ADEC_EXIST;
            if (attr.u32BufSize < 2 || attr.u32BufSize > 300 || attr.enMode >= ADEC_MODE_BUTT) {
                return MK_ERR_ADEC_ILLEGAL_PARAM;
            }
            c.created = true;
            c.attr = attr;
            c.attr.pValue = nullptr;  // a user address means nothing here
            return 0;
        }
        case MK_ADEC_IOC_DESTROY_CHN:
            if (CheckNoRecord(request) != 0) return -1;
            if (!c.created) return MK_ERR_ADEC_UNEXIST;
            c = Chn{};
            return 0;
        case MK_ADEC_IOC_DBG_INFO: {
            ADEC_DBG_INFO_S dbg;
            if (CopyRequestIn(request, arg, &dbg) != 0) return -1;
            c.dbg = dbg;
            ++c.dbgCount;
            return 0;
        }
        default:
            return dev::Fail(ENOTTY);
    }
}

AdecChnView AdecDriver::Channel(int chn) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (chn < 0 || chn >= ADEC_MAX_CHN_NUM) return AdecChnView{};
    const Chn& c = m_chn[chn];
    return AdecChnView{c.created, c.attr.enType, c.attr.u32BufSize, c.attr.enMode, c.dbg, c.dbgCount};
}

int AdecDriver::CreatedChannels() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    int n = 0;
    for (const Chn& c : m_chn) n += c.created ? 1 : 0;
    return n;
}

void AdecDriver::Reset() {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (Chn& c : m_chn) c = Chn{};
}

void InstallAdecDriver() {
    InstallDriverOnce<AdecDriver>();
}

}  // namespace varnelle::drivers
