#include "app/app_modules.h"

#include "app/alarm/alarm_common.h"
#include "app/alarm/alarm_register.h"
#include "app/audio/audio.h"
#include "app/comm/comm_register.h"
#include "app/dec/avdec.h"
#include "app/dec/avdec_internal.h"
#include "app/dec/play_ctrl.h"
#include "app/enc/capture_cmd.h"
#include "app/pci/pciv_recv.h"
#include "app/pci/pciv_slave.h"
#include "app/split/split.h"
#include "app/split/split_cmd.h"

void AppRegisterModules() {
    // The command loop's own handlers.
    SlaveRegisterCmdHandlers();
    SlaveRegisterMediaCmdHandlers();
    // Each further module adds its Register call here, one line each.
    CommRegisterModule();
    CaptureRegister();
    SlaveRegisterReceivers();
    AVdecRegister();
    AudioRegister();
    SplitRegisterModule();
    // A format command during playback keeps to the split model's frame rate.
    CaptureSetSplitModeHooks(SplitGetDisplayMode, SplitGetModelMode);
    // The display-mode switch moves the decode channels' displays.
    SplitSetDecDisplayHooks(PlayChnNum, PlaysetStatus, PlaySetVoChnOverride);
    // The feeding threads do not pace frames while the display is busy with playback.
    AVdecSetDisplayModeHook(SplitGetDisplayMode);
    AlarmRegisterModule();
    AlarmSetSplitHooks(SplitGetChnSecondary, SplitPreviewGrp);
}
