#include <cstdio>

#include "app/app_start.h"
#include "app/cascade/cascade_manager.h"
#include "platform/drivers/all/install.h"
#include "platform/mcc/mcc_driver.h"

// The simulated drivers stand in for the kernel's, which exist before any program starts: install
// them ahead of the static initialisers that already use them (the chip enumeration).
__attribute__((constructor(101))) static void InstallPlatform() {
    varnelle::drivers::InstallAll();
    varnelle::mcc::InstallMccDriver();
}

int main() {
    InstallPlatform();
    // Lines reach a log file or pipe as they are printed, as they reach the chip's console.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("\n\nVarnelle Build in:%s, %s\n", __DATE__, __TIME__);
    CVarnelleApp app;
    app.AppInstallSignals();
    // The title thread starts once the master link's set-up has returned, also when that failed.
    AppSetTitleThreadStart(CCascadeManager::StartTitleThread);
    app.AppStart();
    app.AppWait();
    return 0;
}
