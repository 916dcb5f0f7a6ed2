// Small helpers of the drawing library's tests: a private directory, running a command, the CPU
// time of a thread.
#pragma once

#include <stdlib.h>

#include <cstdint>

#include <filesystem>
#include <string>
#include <vector>

namespace varnelle::draw::testing {

// A directory of the test's own under the system's temporary directory, removed with everything in
// it when the object goes.
class TempDir {
public:
    explicit TempDir(const char* tag = "draw") {
        std::string pattern = (std::filesystem::temp_directory_path() / ("varnelle-" + std::string(tag) + "-XXXXXX")).string();
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (::mkdtemp(buf.data()) != nullptr) m_path = buf.data();
    }
    ~TempDir() {
        std::error_code ec;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // Empty when the directory could not be made.
    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// Runs a command and gives what it printed on standard output; exit status in *status.
std::string RunCommand(const std::string& command, int* status);

// Nanoseconds of CPU that kernel thread tid of this process has used; -1 when unknown.
int64_t ThreadCpuNs(int tid);

}  // namespace varnelle::draw::testing
