#include "tests/master_link/slave_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/host/clock.h"

namespace varnelle::testing {

std::string MakePrivateBus(const char* tag) {
    std::string tmpl = std::string("/dev/shm/varnelle-") + tag + "-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) return "";
    setenv("VARNELLE_BUS", buf.data(), 1);
    return buf.data();
}

void RemoveBus(const std::string& bus) {
    if (bus.rfind("/dev/shm/varnelle-", 0) == 0) {
        std::error_code ec;
        std::filesystem::remove_all(bus, ec);
    }
}

std::string MakeSlaveRoot(const std::string& bus) {
    const std::string root = bus + "/root";
    std::error_code ec;
    std::filesystem::create_directories(root + "/data/Fonts", ec);
    std::filesystem::copy_file("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", root + "/data/Fonts/DejaVuSans.ttf",
                               std::filesystem::copy_options::overwrite_existing, ec);
    return ec ? "" : root;
}

bool SlaveProcess::Start(const std::string& program, const std::string& bus, const std::string& logPath,
                         int chip, const std::vector<std::string>& args) {
    Kill();
    m_log = logPath;
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        // Never outlive the test that started us.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        int fd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0) _exit(127);
        dup2(fd, 1);
        dup2(fd, 2);
        setenv("VARNELLE_BUS", bus.c_str(), 1);
        setenv("VARNELLE_CHIP", std::to_string(chip).c_str(), 1);
        // Line-buffered output, so the log shows each line as it is printed; the sanitizers must
        // accept the preloaded buffering library.
        const char* asan = getenv("ASAN_OPTIONS");
        std::string opts = std::string(asan ? asan : "") + (asan ? ":" : "") + "verify_asan_link_order=0";
        setenv("ASAN_OPTIONS", opts.c_str(), 1);
        std::vector<char*> argv;
        for (const char* a : {"stdbuf", "-oL", "-eL"}) argv.push_back(const_cast<char*>(a));
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp("stdbuf", argv.data());
        execv(program.c_str(), argv.data() + 3);
        _exit(127);
    }
    m_pid = pid;
    return true;
}

bool SlaveProcess::Alive() {
    if (m_pid <= 0) return false;
    int status;
    pid_t r = waitpid(m_pid, &status, WNOHANG);
    if (r == m_pid) {
        m_pid = -1;
        return false;
    }
    return r == 0;
}

int SlaveProcess::WaitExit(int timeoutMs) {
    if (m_pid <= 0) return -1;
    uint64_t deadline = host::MonotonicMs() + static_cast<uint64_t>(timeoutMs);
    for (;;) {
        int status;
        pid_t r = waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid) {
            m_pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (host::MonotonicMs() >= deadline) return -1;
        usleep(5000);
    }
}

void SlaveProcess::Kill() {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGKILL);
    int status;
    waitpid(m_pid, &status, 0);
    m_pid = -1;
}

std::string SlaveProcess::Log() const {
    std::ifstream in(m_log);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

size_t SlaveProcess::CountInLog(const std::string& text) const {
    std::string log = Log();
    size_t n = 0;
    for (size_t pos = log.find(text); pos != std::string::npos; pos = log.find(text, pos + text.size())) ++n;
    return n;
}

bool SlaveProcess::WaitForLog(const std::string& text, size_t count, int timeoutMs) const {
    uint64_t deadline = host::MonotonicMs() + static_cast<uint64_t>(timeoutMs);
    while (CountInLog(text) < count) {
        if (host::MonotonicMs() >= deadline) return false;
        usleep(10000);
    }
    return true;
}

}  // namespace varnelle::testing
