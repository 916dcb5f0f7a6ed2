// The SDK's log line and internal assertions.
#pragma once

#include <unistd.h>

#include <cstdio>

// "[Func]:%s [Line]:%d [Info]:" and the message, on standard error.
#define MK_TRACE(fmt, ...) \
    std::fprintf(stderr, "[Func]:%s [Line]:%d [Info]:" fmt, __FUNCTION__, __LINE__, ##__VA_ARGS__)

namespace mk {
// Where a wrapper was called from, for the log lines of the helpers it calls.
struct TraceSite {
    const char* func;
    int line;
};
}  // namespace mk

// The calling function and line, to hand to a helper.
#define MK_TRACE_SITE mk::TraceSite{__func__, __LINE__}
// MK_TRACE's line, at a site handed down.
#define MK_TRACE_AT(site, fmt, ...) \
    std::fprintf(stderr, "[Func]:%s [Line]:%d [Info]:" fmt, (site).func, (site).line, ##__VA_ARGS__)

// "func:%s, " and the message, on standard error.
#define MK_TRACE_FUNC(fmt, ...) std::fprintf(stderr, "func:%s, " fmt, __FUNCTION__, ##__VA_ARGS__)

// A state the module's own code must never produce: report it and end the process at once.
#define MK_ASSERT_IN(source, cond)                                                                  \
    do {                                                                                            \
        if (!(cond)) {                                                                              \
            std::printf("\nASSERT failed at:\n  >File name: %s\n  >Function : %s\n  >Line No. : %d\n" \
                        "  >Condition: %s\n",                                                       \
                        source, __FUNCTION__, __LINE__, #cond);                                     \
            std::fflush(stdout);                                                                    \
            _exit(-1);                                                                              \
        }                                                                                           \
    } while (0)
