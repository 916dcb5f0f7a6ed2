// The time set: one message as read from the time-set port, in a zone with summer time. No channel or
// RAM: only the process's platform clock moves. Whatever the date, nothing overflows and the clock
// stays within what it can hold.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "app/pci/pciv_slave_thread.h"
#include "platform/host/clock.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    unsetenv("VARNELLE_TRACE");
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    PCIV_MSG_S msg;
    std::memset(&msg, 0, sizeof(msg));
    if (size > sizeof(msg)) size = sizeof(msg);
    std::memcpy(&msg, data, size);
    if (size < sizeof(PCIV_MSG_HEAD_S)) return 0;
    msg.stMsgHead.u32MsgLen = static_cast<uint32_t>(size - sizeof(PCIV_MSG_HEAD_S));
    if (SlaveTakeTimeMsg(&msg) == 0) {
        time_t now = varnelle::host::WallSeconds();
        if (now < 0 || now > 253402300799 + 5) __builtin_trap();
        struct tm local;
        if (localtime_r(&now, &local) == nullptr) __builtin_trap();
    }
    return 0;
}
