#include "app/app_start.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "app/app_modules.h"
#include "app/comm/app_log.h"
#include "app/pci/pciv_chip.h"
#include "app/pci/pciv_cmd.h"
#include "app/pci/pciv_msg.h"
#include "app/pci/pciv_slave_thread.h"
#include "app/pci/pciv_title_port.h"
#include "base/semaphore.h"

namespace {

constexpr const char* kSrc = "../../Varnelle.cpp";

std::atomic<void (*)()> g_pfnTitleStart{nullptr};

// The chips are enumerated before main, as the system set-up module's static initialiser.
int foo() {
    if (PcivEnumChip() < 0) APP_ERR("../comm/comm_sys.c", "PcivEnumChip error\n");
    return 0;
}
[[maybe_unused]] const int g_s32Enumerated = foo();

// An arithmetic fault raised by an instruction recurs as soon as the handler returns, which would
// print the line for ever on a spinning thread: after the line, the default action ends the program.
// A SIGFPE sent by another process is only logged.
void FpeAction(int sig, siginfo_t* pInfo, void*) {
    SignalFuncFPE(sig);
    if (pInfo != nullptr && pInfo->si_code > 0) signal(SIGFPE, SIG_DFL);
}

int StartThread(void* (*pfn)(void*)) {
    pthread_t tid;
    return pthread_create(&tid, nullptr, pfn, nullptr);
}

}  // namespace

void AppSetTitleThreadStart(void (*pfnStart)()) {
    g_pfnTitleStart = pfnStart;
}

void SignalFunc(int) {
    APP_ERR_SHORT(kSrc, "@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@ Slave catch SIGPIPE exception!\n");
}

void SignalFuncFPE(int) {
    APP_ERR_SHORT(kSrc, "@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@ Slave catch SIGFPE exception!\n");
}

int SlavePcivInit() {
    int s32Ret = PCIV_WaitConnect(0);
    if (s32Ret != 0) return s32Ret;
    s32Ret = PCIV_OpenMsgPort(0, PCIV_MSGPORT_COMM);
    if (s32Ret != 0) return s32Ret;
    AppRegisterModules();
    StartThread(SlaveTimeSyncThread);
    StartThread(SlaveHeartbeatThread);
    StartThread(SlaveCmdThread);
    // The one reader of the title port; it idles until the port map names the port.
    PCIV_TitlePortStart();
    return 0;
}

int CVarnelleApp::AppInstallSignals() {
    signal(SIGPIPE, SignalFunc);
    struct sigaction stFpe;
    std::memset(&stFpe, 0, sizeof(stFpe));
    stFpe.sa_sigaction = FpeAction;
    stFpe.sa_flags = SA_SIGINFO;
    sigemptyset(&stFpe.sa_mask);
    sigaction(SIGFPE, &stFpe, nullptr);
    return 1;
}

int CVarnelleApp::AppStart() {
    SlavePcivInit();
    if (auto pfn = g_pfnTitleStart.load()) pfn();
    return 1;
}

int CVarnelleApp::AppWait() {
    CSemaphore sem(0);
    sem.Pend(CSemaphore::kForever);
    return 1;
}
