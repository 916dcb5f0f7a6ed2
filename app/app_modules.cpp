#include "app/app_modules.h"

#include "app/alarm/alarm_register.h"
#include "app/audio/audio.h"
#include "app/comm/comm_register.h"
#include "app/dec/avdec.h"
#include "app/pci/pciv_recv.h"
#include "app/pci/pciv_slave.h"
#include "app/split/split.h"

void AppRegisterModules() {
    // The command loop's own handlers.
    SlaveRegisterCmdHandlers();
    SlaveRegisterMediaCmdHandlers();
    // Each further module adds its Register call here, one line each.
    CommRegisterModule();
    SlaveRegisterReceivers();
    AVdecRegister();
    AudioRegister();
    SplitRegisterModule();
    AlarmRegisterModule();
}
