// /dev/logmpp: the media log device. Keeps one log record (level and name) per module id: 'L' 0 sets
// the record of its module, 'L' 1 reads back the record of the module it names. Log levels are not
// media state, so the media system's exit leaves them.
#pragma once

#include <cstdint>
#include <mutex>

#include "platform/dev/driver.h"
#include "sdk/sys/sys_ioctl.h"

namespace varnelle::drivers {

void InstallLogmppDriver();

class LogmppDriver : public dev::Driver {
public:
    LogmppDriver();

    int Ioctl(dev::File& file, unsigned long request, void* arg) override;

    // Test-side view: the record kept for a module (all zero but the id when none was set).
    LOG_LEVEL_CONF_S Record(int32_t modId) const;

private:
    mutable std::mutex m_mutex;  // guards m_records
    LOG_LEVEL_CONF_S m_records[MK_ID_BUTT] = {};
};

}  // namespace varnelle::drivers
