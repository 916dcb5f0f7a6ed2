#include "draw/testing/test_util.h"

#include <cstdio>
#include <fstream>

namespace varnelle::draw::testing {

std::string RunCommand(const std::string& command, int* status) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (p == nullptr) {
        *status = -1;
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
    *status = ::pclose(p);
    return out;
}

int64_t ThreadCpuNs(int tid) {
    std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/schedstat");
    int64_t ns = -1;
    if (!(f >> ns)) return -1;
    return ns;
}

}  // namespace varnelle::draw::testing
