// Start-up: what runs before main (chip enumeration), the signal handlers, the master link with its
// three message threads, and the parking of the main thread.
#pragma once

// The start-up object; its operations are called in this order on one instance. Each returns 1.
class CVarnelleApp {
public:
    int AppInstallSignals();
    int AppStart();
    int AppWait();
};

// Waits for the master (chip 0), opens the command port and starts the time-set listener, the
// heartbeat sender and the command loop. 0, or the failing step's result (no thread started then).
int SlavePcivInit();

void SignalFunc(int);
void SignalFuncFPE(int);

// Starts the title thread once the master-link set-up has returned; installed by the title module.
void AppSetTitleThreadStart(void (*pfnStart)());
