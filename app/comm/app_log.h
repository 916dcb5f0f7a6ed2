// The program's error and debug lines.
#pragma once

#include <cstdio>

// "\e[1;31m<file> <date> <time> ==><func>(<line>): " + message, then the colour reset on a line of
// its own. `file` is the source name the line reports.
#define APP_ERR(file, fmt, ...) APP_ERR_IN(file, __FUNCTION__, fmt, ##__VA_ARGS__)

// As APP_ERR, for a helper that reports in the name of the operation it serves.
#define APP_ERR_IN(file, func, fmt, ...)                                                             \
    do {                                                                                            \
        std::printf("\033[1;31m%s %s %s ==>%s(%d): " fmt, file, __DATE__, __TIME__, func, __LINE__,  \
                    ##__VA_ARGS__);                                                                 \
        std::printf("\033[0;39m\n");                                                                \
    } while (0)

// The short form without the date.
#define APP_ERR_SHORT(file, fmt, ...)                                                               \
    do {                                                                                            \
        std::printf("\033[1;31m%s %s ==>%s(%d): " fmt, file, __TIME__, __FUNCTION__, __LINE__,      \
                    ##__VA_ARGS__);                                                                 \
        std::printf("\033[0;39m\n");                                                                \
    } while (0)

// Debug lines of the PCIe and capture code.
#define APP_DBG(file, fmt, ...) \
    std::printf("\033[0;32;32mOstrel: %s,%s,Line %d," fmt "\033[m\n", file, __FUNCTION__, __LINE__, ##__VA_ARGS__)

// SDK failures of the PCIe command code: result, function, line.
#define PCIV_SAMPLE_ERR(ret) \
    std::printf("\033[0;31mSample Pciv err:%x,Func:%s,Line:%d\033[0;39m\n", static_cast<unsigned>(ret), __FUNCTION__, __LINE__)
