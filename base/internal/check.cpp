#include "base/internal/check.h"

#include <cstdio>
#include <cstdlib>

namespace varnelle::base::internal {

void CheckFailed(const char* condition, const char* source, int line, const char* function) {
    std::fflush(stdout);
    std::fprintf(stderr, "Assertion failed: \"%s\", file %s, line %d, function %s\n", condition, source, line,
                 function);
    std::fflush(stderr);
    std::abort();
}

}  // namespace varnelle::base::internal
