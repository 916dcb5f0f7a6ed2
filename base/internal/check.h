// Invariant checks of the base library. A failed check prints the condition, the source unit, the
// line and the function, then ends the process: these are programming errors, never input errors.
#pragma once

namespace varnelle::base::internal {

[[noreturn]] void CheckFailed(const char* condition, const char* source, int line, const char* function);

}  // namespace varnelle::base::internal

#define VARNELLE_CHECK(cond, source)                                                               \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            ::varnelle::base::internal::CheckFailed(#cond, source, __LINE__, __PRETTY_FUNCTION__); \
        }                                                                                          \
    } while (0)
