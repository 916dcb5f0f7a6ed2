#include "platform/drivers/all/install.h"

#include "platform/drivers/ao/ao_driver.h"
#include "platform/drivers/jpeg/jpeg_driver.h"
#include "platform/drivers/logmpp/logmpp_driver.h"
#include "platform/drivers/adec/adec_driver.h"
#include "platform/drivers/ai/ai_driver.h"
#include "platform/drivers/aenc/aenc_driver.h"
#include "platform/drivers/mem/mem_driver.h"
#include "platform/drivers/mmz/mmz_driver.h"
#include "platform/drivers/mouse/mouse_driver.h"
#include "platform/drivers/pciv/pciv_driver.h"
#include "platform/drivers/rgn/rgn_driver.h"
#include "platform/drivers/vda/vda_driver.h"
#include "platform/drivers/hdmi/hdmi_driver.h"
#include "platform/drivers/tde/tde_driver.h"
#include "platform/drivers/fb/fb_driver.h"
#include "platform/drivers/sys/sys_driver.h"
#include "platform/drivers/vb/vb_driver.h"
#include "platform/drivers/vdec/vdec_driver.h"
#include "platform/drivers/venc/venc_driver.h"
#include "platform/drivers/vi/vi_driver.h"
#include "platform/drivers/vo/vo_driver.h"
#include "platform/drivers/vpss/vpss_driver.h"

namespace varnelle::drivers {

void InstallAll() {
    InstallLogmppDriver();
    InstallMemDriver();
    InstallMmzDriver();
    InstallSysDriver();
    InstallPcivDriver();
    InstallVbDriver();
    InstallVdecDriver();
    InstallVencDriver();
    InstallViDriver();
    InstallVoDriver();
    InstallVpssDriver();
    InstallRgnDriver();
    InstallVdaDriver();
    InstallHdmiDriver();
    InstallTdeDriver();
    InstallFbDrivers();
    InstallAoDriver();
    InstallMouseDriver();
    InstallAdecDriver();
    InstallAiDriver();
    InstallAencDriver();
    InstallJpegDriver();
}

}  // namespace varnelle::drivers
