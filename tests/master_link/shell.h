// Runs a shell command for the process-level tests (ffmpeg, ffprobe and the like).
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace varnelle::testing {

// Its standard output, and its exit status in *status (-1 when it did not run or did not exit).
inline std::string Shell(const std::string& cmd, int* status) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) {
        *status = -1;
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
    int st = pclose(p);
    *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}

}  // namespace varnelle::testing
