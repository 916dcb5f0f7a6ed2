#include "platform/drivers/logmpp/logmpp_driver.h"

#include "platform/drivers/core/request_copy.h"

namespace varnelle::drivers {

LogmppDriver::LogmppDriver() : Driver("/dev/logmpp") {
    for (int mod = 0; mod < MK_ID_BUTT; ++mod) m_records[mod].enModId = mod;
}

int LogmppDriver::Ioctl(dev::File&, unsigned long request, void* arg) {
    if (request != MK_LOG_IOC_SET_CONF && request != MK_LOG_IOC_GET_CONF) return dev::Fail(ENOTTY);
    LOG_LEVEL_CONF_S conf;
    if (CopyRequestIn(request, arg, &conf) != 0) return -1;
    if (static_cast<uint32_t>(conf.enModId) >= MK_ID_BUTT) return dev::Fail(EINVAL);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (request == MK_LOG_IOC_SET_CONF) {
        m_records[conf.enModId] = conf;
        return 0;
    }
    return CopyRequestOut(request, arg, m_records[conf.enModId]);
}

LOG_LEVEL_CONF_S LogmppDriver::Record(int32_t modId) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (static_cast<uint32_t>(modId) >= MK_ID_BUTT) return LOG_LEVEL_CONF_S{modId, 0, {}};
    return m_records[modId];
}

void InstallLogmppDriver() {
    static bool installed = dev::Registry::Register(std::make_shared<LogmppDriver>());
    (void)installed;
}

}  // namespace varnelle::drivers
