// What a simulated kernel driver implements, and the registry the seam dispatches through.
//
// A driver is registered once per node path and lives for the rest of the process. Each open makes a
// File: a real kernel descriptor (an eventfd) that the driver marks readable when it has something to
// give, so select/poll work on it. Requests, reads and writes on that descriptor reach the driver with
// its File. Fault injection is data: "fail the open" and "fail request N with code X, K times".
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace varnelle::dev {

class Driver;

// One open descriptor of a simulated node. Drivers derive from it to keep per-open state (the object
// a bind request tied it to, for example).
class File {
public:
    File() = default;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    virtual ~File() = default;

    int fd() const { return m_fd; }
    int flags() const { return m_flags; }
    Driver& driver() const { return *m_driver; }

    // The object a bind request tied the descriptor to, as the driver names it ("grp 3 chn 1"); empty
    // while it is bound to nothing. Read by the request journal after each request.
    virtual std::string BoundObject() const { return {}; }

    // Makes the descriptor readable (or not) for select/poll. Thread-safe.
    void SetReadable(bool readable);
    bool readable() const { return m_readable.load(); }

private:
    friend class Registry;
    int m_fd = -1;
    int m_flags = 0;
    Driver* m_driver = nullptr;
    std::mutex m_readyMutex;
    std::atomic<bool> m_readable{false};
};

// The result of a failed system call in the kernel's form: sets errno and gives -1.
inline int Fail(int err) {
    errno = err;
    return -1;
}

class Driver {
public:
    explicit Driver(std::string path) : m_path(std::move(path)) {}
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;
    virtual ~Driver() = default;

    const std::string& path() const { return m_path; }

    // Makes the per-open state; null with errno set refuses the open.
    virtual std::unique_ptr<File> Open(int flags);
    // Called when the descriptor is closed, before the File is destroyed.
    virtual void Release(File& file);
    // 0, an SDK code, or -1 with errno. Unknown requests: -1/ENOTTY.
    virtual int Ioctl(File& file, unsigned long request, void* arg) = 0;
    // MAP_FAILED with errno on failure. Default: ENODEV.
    virtual void* Mmap(File& file, void* addr, size_t length, int prot, int flags, off_t offset);
    virtual ssize_t Read(File& file, void* buf, size_t count);
    virtual ssize_t Write(File& file, const void* buf, size_t count);

    // Fault injection. `code` is what the call returns: an SDK code, or -1 with `err` in errno.
    // A request fault lets `skip` calls of that request through before it fires.
    void FailOpen(int err, int times = 1);
    void FailRequest(unsigned long request, int code, int times = 1, int err = EIO, int skip = 0);
    void ClearFaults();

    // Test-side counters.
    int OpenCount() const { return m_opens.load(); }
    int OpenFiles() const { return m_openFiles.load(); }
    int RequestCount(unsigned long request) const;
    void ResetCounters();

private:
    friend class Registry;
    struct RequestFault {
        unsigned long request;
        int code;
        int err;
        int times;
        int skip;
    };
    // Returns true and sets *result when an injected fault fires for this request.
    bool TakeRequestFault(unsigned long request, int* result);
    bool TakeOpenFault(int* err);
    void CountRequest(unsigned long request);

    std::string m_path;
    mutable std::mutex m_faultMutex;  // guards the fault lists and request counters
    int m_openFaultErr = 0;
    int m_openFaultTimes = 0;
    std::vector<RequestFault> m_requestFaults;
    std::map<unsigned long, int> m_requestCounts;
    std::atomic<int> m_opens{0};
    std::atomic<int> m_openFiles{0};
};

class Registry {
public:
    // Registers `driver` for its path; a second driver for the same path replaces nothing and is
    // refused (returns false).
    static bool Register(std::shared_ptr<Driver> driver);
    static std::shared_ptr<Driver> Find(const std::string& path);
    template <typename T>
    static std::shared_ptr<T> Get(const std::string& path) {
        return std::dynamic_pointer_cast<T>(Find(path));
    }

    // The File behind a seam descriptor, or null when it is not a simulated one.
    static File* Lookup(int fd);

    // Seam internals.
    static int OpenSimulated(Driver& driver, int flags);
    static int CloseSimulated(int fd);
    static bool TakeRequestFault(Driver& driver, unsigned long request, int* result) {
        driver.CountRequest(request);
        return driver.TakeRequestFault(request, result);
    }
};

// Copies between driver records and caller memory; a null caller pointer gives -1/EFAULT.
template <typename T>
inline int CopyIn(T* dst, const void* arg) {
    if (arg == nullptr) return Fail(EFAULT);
    *dst = *static_cast<const T*>(arg);
    return 0;
}
template <typename T>
inline int CopyOut(void* arg, const T& src) {
    if (arg == nullptr) return Fail(EFAULT);
    *static_cast<T*>(arg) = src;
    return 0;
}

}  // namespace varnelle::dev
