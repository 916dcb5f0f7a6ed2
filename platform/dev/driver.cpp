#include "platform/dev/driver.h"

#include <sys/eventfd.h>
#include <sys/mman.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <shared_mutex>
#include <unordered_map>

namespace varnelle::dev {
namespace {

struct Tables {
    std::shared_mutex mutex;  // guards both maps
    std::unordered_map<std::string, std::shared_ptr<Driver>> drivers;
    std::unordered_map<int, std::shared_ptr<File>> files;
};

// Never destroyed: detached threads may still close descriptors while the process exits.
Tables& tables() {
    static Tables* t = new Tables;
    return *t;
}

}  // namespace

void File::SetReadable(bool readable) {
    std::lock_guard<std::mutex> lock(m_readyMutex);
    if (readable == m_readable.load()) return;
    uint64_t value = 1;
    if (readable) {
        (void)!::write(m_fd, &value, sizeof(value));
    } else {
        (void)!::read(m_fd, &value, sizeof(value));
    }
    m_readable.store(readable);
}

std::unique_ptr<File> Driver::Open(int /*flags*/) { return std::make_unique<File>(); }

void Driver::Release(File& /*file*/) {}

void* Driver::Mmap(File& /*file*/, void* /*addr*/, size_t /*length*/, int /*prot*/, int /*flags*/,
                   off_t /*offset*/) {
    errno = ENODEV;
    return MAP_FAILED;
}

ssize_t Driver::Read(File& /*file*/, void* /*buf*/, size_t /*count*/) { return Fail(EINVAL); }

ssize_t Driver::Write(File& /*file*/, const void* /*buf*/, size_t /*count*/) { return Fail(EINVAL); }

void Driver::FailOpen(int err, int times) {
    std::lock_guard<std::mutex> lock(m_faultMutex);
    m_openFaultErr = err;
    m_openFaultTimes = times;
}

void Driver::FailRequest(unsigned long request, int code, int times, int err, int skip) {
    std::lock_guard<std::mutex> lock(m_faultMutex);
    m_requestFaults.push_back({request, code, err, times, skip});
}

void Driver::ClearFaults() {
    std::lock_guard<std::mutex> lock(m_faultMutex);
    m_openFaultTimes = 0;
    m_requestFaults.clear();
}

int Driver::RequestCount(unsigned long request) const {
    std::lock_guard<std::mutex> lock(m_faultMutex);
    auto it = m_requestCounts.find(request);
    return it == m_requestCounts.end() ? 0 : it->second;
}

void Driver::ResetCounters() {
    std::lock_guard<std::mutex> lock(m_faultMutex);
    m_requestCounts.clear();
    m_opens.store(0);
}

bool Driver::TakeRequestFault(unsigned long request, int* result) {
    std::lock_guard<std::mutex> lock(m_faultMutex);
    auto it = std::find_if(m_requestFaults.begin(), m_requestFaults.end(),
                           [request](const RequestFault& f) { return f.request == request; });
    if (it == m_requestFaults.end()) return false;
    if (it->skip > 0) {
        --it->skip;
        return false;
    }
    *result = it->code;
    if (it->code == -1) errno = it->err;
    if (--it->times <= 0) m_requestFaults.erase(it);
    return true;
}

bool Driver::TakeOpenFault(int* err) {
    std::lock_guard<std::mutex> lock(m_faultMutex);
    if (m_openFaultTimes <= 0) return false;
    --m_openFaultTimes;
    *err = m_openFaultErr;
    return true;
}

void Driver::CountRequest(unsigned long request) {
    std::lock_guard<std::mutex> lock(m_faultMutex);
    ++m_requestCounts[request];
}

bool Registry::Register(std::shared_ptr<Driver> driver) {
    Tables& t = tables();
    std::unique_lock lock(t.mutex);
    return t.drivers.emplace(driver->path(), driver).second;
}

std::shared_ptr<Driver> Registry::Find(const std::string& path) {
    Tables& t = tables();
    std::shared_lock lock(t.mutex);
    auto it = t.drivers.find(path);
    return it == t.drivers.end() ? nullptr : it->second;
}

File* Registry::Lookup(int fd) {
    Tables& t = tables();
    std::shared_lock lock(t.mutex);
    auto it = t.files.find(fd);
    return it == t.files.end() ? nullptr : it->second.get();
}

int Registry::OpenSimulated(Driver& driver, int flags) {
    int err = 0;
    if (driver.TakeOpenFault(&err)) return Fail(err);
    std::unique_ptr<File> file = driver.Open(flags);
    if (!file) return -1;
    // Descriptors below 3 would collide with the standard streams if those were ever closed.
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd >= 0 && fd < 3) {
        int high = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        ::close(fd);
        fd = high;
    }
    if (fd < 0) {
        int saved = errno;
        driver.Release(*file);
        return Fail(saved);
    }
    file->m_fd = fd;
    file->m_flags = flags;
    file->m_driver = &driver;
    {
        Tables& t = tables();
        std::unique_lock lock(t.mutex);
        t.files[fd] = std::shared_ptr<File>(std::move(file));
    }
    driver.m_opens.fetch_add(1);
    driver.m_openFiles.fetch_add(1);
    return fd;
}

int Registry::CloseSimulated(int fd) {
    std::shared_ptr<File> file;
    {
        Tables& t = tables();
        std::unique_lock lock(t.mutex);
        auto it = t.files.find(fd);
        if (it == t.files.end()) return Fail(EBADF);
        file = it->second;
        t.files.erase(it);
    }
    Driver& driver = file->driver();
    driver.Release(*file);
    driver.m_openFiles.fetch_sub(1);
    return ::close(fd);
}

std::shared_ptr<File> FindFile(int fd) {
    Tables& t = tables();
    std::shared_lock lock(t.mutex);
    auto it = t.files.find(fd);
    return it == t.files.end() ? nullptr : it->second;
}

}  // namespace varnelle::dev
