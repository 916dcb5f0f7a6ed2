#include "platform/mcc/mcc_driver.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dev/driver.h"
#include "platform/host/env.h"
#include "platform/mcc/mcc_uapi.h"

namespace varnelle::mcc {
namespace {

constexpr size_t kPrefix = 8;

void PutLe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
uint32_t GetLe32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bool FillAddress(int chip, sockaddr_un* addr) {
    std::string path = SocketPath(chip);
    if (path.size() >= sizeof(addr->sun_path)) return false;
    std::memset(addr, 0, sizeof(*addr));
    addr->sun_family = AF_UNIX;
    std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
    return true;
}

// A connected socket to `chip`'s listener, or -1 with errno.
int ConnectTo(int chip) {
    sockaddr_un addr;
    if (!FillAddress(chip, &addr)) return dev::Fail(ENAMETOOLONG);
    int s = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    if (::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        int saved = errno;
        ::close(s);
        return dev::Fail(saved);
    }
    return s;
}

class MccFile : public dev::File {
public:
    int target = -1;
    int port = -1;
    bool bound = false;
};

using QueueKey = std::pair<int, int>;  // (source chip, port)

// Messages waiting for a reader of one (source chip, port), and what was dropped for want of room.
struct Queue {
    std::deque<std::vector<uint8_t>> messages;
    size_t bytes = 0;
    uint64_t dropped = 0;
};

class MccDriver : public dev::Driver {
public:
    explicit MccDriver(int defaultChip) : Driver("/dev/mcc_userdev"), m_defaultChip(defaultChip) {}

    std::unique_ptr<dev::File> Open(int /*flags*/) override {
        if (!StartListening()) return nullptr;
        return std::make_unique<MccFile>();
    }

    void Release(dev::File& file) override {
        auto& f = static_cast<MccFile&>(file);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (f.bound) Unbind(f);
    }

    int Ioctl(dev::File& file, unsigned long request, void* arg) override {
        auto& f = static_cast<MccFile&>(file);
        MCC_HANDLE_ATTR_S attr;
        if (dev::CopyIn(&attr, arg) != 0) return -1;
        switch (request) {
            case MK_MCC_IOC_ATTR_INIT:
                std::memset(&attr, 0, sizeof(attr));
                for (int32_t& id : attr.remote_id) id = -1;
                return dev::CopyOut(arg, attr);
            case MK_MCC_IOC_CHECK:
                return IsConnected(attr.target_id) ? 0 : dev::Fail(ENOTCONN);
            case MK_MCC_IOC_CONNECT:
                return Connect(f, attr);
            case MK_MCC_IOC_GET_LOCAL_ID:
                return m_chip;
            case MK_MCC_IOC_GET_REMOTE_ID:
                FillRemoteIds(&attr);
                return dev::CopyOut(arg, attr);
            default:
                return dev::Fail(ENOTTY);
        }
    }

    ssize_t Write(dev::File& file, const void* buf, size_t count) override {
        auto& f = static_cast<MccFile&>(file);
        if (!f.bound) return dev::Fail(ENOTCONN);
        if (buf == nullptr) return dev::Fail(EFAULT);
        if (count == 0 || count > kMccMaxMessage) return dev::Fail(EMSGSIZE);
        uint8_t record[kPrefix + kMccMaxMessage];
        PutLe32(record, static_cast<uint32_t>(m_chip));
        PutLe32(record + 4, static_cast<uint32_t>(f.port));
        std::memcpy(record + kPrefix, buf, count);
        return SendRecord(f.target, record, kPrefix + count) ? static_cast<ssize_t>(count) : -1;
    }

    ssize_t Read(dev::File& file, void* buf, size_t count) override {
        auto& f = static_cast<MccFile&>(file);
        if (buf == nullptr) return dev::Fail(EFAULT);
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!f.bound) return dev::Fail(ENOTCONN);
        QueueKey key{f.target, f.port};
        Queue& q = m_queues[key];
        if (q.messages.empty() && (f.flags() & O_NONBLOCK)) return dev::Fail(EAGAIN);
        m_arrived.wait(lock, [&] { return !f.bound || !q.messages.empty(); });
        if (!f.bound) return dev::Fail(EBADF);
        std::vector<uint8_t> msg = std::move(q.messages.front());
        q.messages.pop_front();
        q.bytes -= msg.size();
        m_totalBytes -= msg.size();
        UpdateReadable(key);
        size_t n = std::min(count, msg.size());
        std::memcpy(buf, msg.data(), n);
        return static_cast<ssize_t>(n);
    }

    size_t Queued(int source, int port) {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_queues.find({source, port});
        return it == m_queues.end() ? 0 : it->second.messages.size();
    }

    uint64_t Dropped(int source, int port) {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_queues.find({source, port});
        return it == m_queues.end() ? 0 : it->second.dropped;
    }

    uint64_t DroppedOutside() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_droppedOutside;
    }

    size_t QueuedBytes() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_totalBytes;
    }

private:
    bool StartListening() {
        std::lock_guard<std::mutex> lock(m_listenMutex);
        if (m_listenFd >= 0) return true;
        m_chip = host::ChipId(m_defaultChip);
        ::mkdir(host::BusDir().c_str(), 0777);
        sockaddr_un addr;
        if (!FillAddress(m_chip, &addr)) {
            errno = ENAMETOOLONG;
            return false;
        }
        int s = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (s < 0) return false;
        ::unlink(addr.sun_path);  // a socket left by an earlier run of this chip
        if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(s, 64) != 0) {
            int saved = errno;
            ::close(s);
            errno = saved;
            return false;
        }
        m_listenFd = s;
        std::thread([this, s] { AcceptLoop(s); }).detach();
        return true;
    }

    void AcceptLoop(int listenFd) {
        for (;;) {
            int c = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) {
                if (errno == EINTR || errno == ECONNABORTED) continue;
                if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                    continue;
                }
                return;
            }
            std::thread([this, c] { ReceiveLoop(c); }).detach();
        }
    }

    void ReceiveLoop(int conn) {
        std::vector<uint8_t> buf(kPrefix + kMccMaxMessage + 1);
        for (;;) {
            ssize_t n = ::recv(conn, buf.data(), buf.size(), 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;  // the peer went away
            // Records that are too short or too long are not messages of this channel: drop them.
            if (static_cast<size_t>(n) <= kPrefix || static_cast<size_t>(n) > kPrefix + kMccMaxMessage) continue;
            uint32_t source = GetLe32(buf.data());
            uint32_t port = GetLe32(buf.data() + 4);
            Enqueue(source, port, buf.data() + kPrefix, static_cast<size_t>(n) - kPrefix);
        }
        ::close(conn);
    }

    // Keeps one message for its reader, or drops it: outside the channel's ports and chips at once,
    // otherwise when its queue or the process's queues are full. Nothing is allocated for a message
    // that is dropped.
    void Enqueue(uint32_t source, uint32_t port, const uint8_t* data, size_t length) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (source > static_cast<uint32_t>(kMccMaxChip) || port < static_cast<uint32_t>(kMccPortMin) ||
            port > static_cast<uint32_t>(kMccPortMax)) {
            if (m_droppedOutside++ == 0) {
                std::fprintf(stderr, "mcc: message for source chip %u port %u is outside the channel: dropped\n",
                             source, port);
            }
            return;
        }
        QueueKey key{static_cast<int>(source), static_cast<int>(port)};
        Queue& q = m_queues[key];
        if (q.messages.size() >= kMccQueueMaxMessages || q.bytes + length > kMccQueueMaxBytes ||
            m_totalBytes + length > kMccTotalMaxBytes) {
            if (q.dropped++ == 0) {
                std::fprintf(stderr,
                             "mcc: no room for messages of source chip %u port %u (%zu queued in %zu bytes, "
                             "%zu bytes in all queues): dropping them\n",
                             source, port, q.messages.size(), q.bytes, m_totalBytes);
            }
            return;
        }
        q.messages.emplace_back(data, data + length);
        q.bytes += length;
        m_totalBytes += length;
        UpdateReadable(key);
        m_arrived.notify_all();
    }

    int Connect(MccFile& f, const MCC_HANDLE_ATTR_S& attr) {
        if (attr.target_id < 0 || attr.target_id > 31 || attr.port < 0) return dev::Fail(EINVAL);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (f.bound) Unbind(f);
        f.target = attr.target_id;
        f.port = attr.port;
        f.bound = true;
        m_bound[{f.target, f.port}].push_back(&f);
        UpdateReadable({f.target, f.port});
        return 0;
    }

    // Caller holds m_mutex.
    void Unbind(MccFile& f) {
        auto& files = m_bound[{f.target, f.port}];
        std::erase(files, &f);
        f.bound = false;
        m_arrived.notify_all();
    }

    // Caller holds m_mutex.
    void UpdateReadable(const QueueKey& key) {
        auto it = m_bound.find(key);
        if (it == m_bound.end()) return;
        bool ready = !m_queues[key].messages.empty();
        for (MccFile* f : it->second) f->SetReadable(ready);
    }

    bool IsConnected(int chip) {
        if (chip < 0 || chip > 31) return false;
        int s = ConnectTo(chip);
        if (s < 0) return false;
        ::close(s);
        return true;
    }

    void FillRemoteIds(MCC_HANDLE_ATTR_S* attr) {
        for (int32_t& id : attr->remote_id) id = -1;
        size_t n = 0;
        for (int chip = 0; chip <= 31 && n < 31; ++chip) {
            if (chip == m_chip) continue;
            struct stat st;
            if (::stat(SocketPath(chip).c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
                attr->remote_id[n++] = chip;
            }
        }
    }

    bool SendRecord(int target, const uint8_t* record, size_t length) {
        std::lock_guard<std::mutex> lock(m_sendMutex);
        for (int attempt = 0; attempt < 2; ++attempt) {
            int& s = m_peers[target];
            if (s <= 0) {
                s = ConnectTo(target);
                if (s < 0) {
                    s = 0;
                    return false;
                }
            }
            ssize_t n = ::send(s, record, length, MSG_NOSIGNAL);
            if (n == static_cast<ssize_t>(length)) return true;
            // The peer restarted or went away: reconnect once.
            int saved = errno;
            ::close(s);
            s = 0;
            errno = saved;
        }
        return false;
    }

    const int m_defaultChip;
    int m_chip = -1;
    std::mutex m_listenMutex;  // guards the listener's start
    int m_listenFd = -1;

    std::mutex m_mutex;  // guards the queues, their counters and the bound-file lists
    std::condition_variable m_arrived;
    std::map<QueueKey, Queue> m_queues;
    size_t m_totalBytes = 0;          // in all the queues
    uint64_t m_droppedOutside = 0;    // records outside the channel's ports and chips
    std::map<QueueKey, std::vector<MccFile*>> m_bound;

    std::mutex m_sendMutex;  // guards m_peers; one record at a time per process
    std::map<int, int> m_peers;
};

std::shared_ptr<MccDriver>& Instance() {
    static auto* d = new std::shared_ptr<MccDriver>;
    return *d;
}

}  // namespace

std::string SocketPath(int chip) { return host::BusDir() + "/mcc-" + std::to_string(chip) + ".sock"; }

void InstallMccDriver(int defaultChip) {
    static std::once_flag once;
    std::call_once(once, [defaultChip] {
        Instance() = std::make_shared<MccDriver>(defaultChip);
        dev::Registry::Register(Instance());
    });
}

size_t QueuedMessages(int sourceChip, int port) {
    return Instance() ? Instance()->Queued(sourceChip, port) : 0;
}

uint64_t DroppedMessages(int sourceChip, int port) {
    return Instance() ? Instance()->Dropped(sourceChip, port) : 0;
}

uint64_t DroppedOutsideChannel() {
    return Instance() ? Instance()->DroppedOutside() : 0;
}

size_t QueuedBytes() {
    return Instance() ? Instance()->QueuedBytes() : 0;
}

}  // namespace varnelle::mcc
