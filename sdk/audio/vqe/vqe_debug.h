// The error line of the voice-quality engines, the resampler and the module loader, on standard error.
#pragma once

#include <cstdarg>
#include <cstdio>

namespace mk::vqe {

// Prints the formatted text in the engines' error frame, naming `func` and `line`.
__attribute__((format(printf, 3, 4))) inline void ErrTrace(const char* func, int line, const char* fmt, ...) {
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof(text), fmt, ap);
    va_end(ap);
    std::fprintf(stderr, "\n\n\033[40m\033[31m\033[1m**Err In %s-%d:  %s**\033[0m\n\n", func, line, text);
}

}  // namespace mk::vqe

#define VQE_ERR_TRACE(fmt, ...) mk::vqe::ErrTrace(__FUNCTION__, __LINE__, fmt, ##__VA_ARGS__)
