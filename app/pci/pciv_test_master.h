// Test helper: plays chip 0 on the simulated message channel with raw sockets. It listens on chip 0's
// socket, collects what the slave sends, and sends records to the slave's socket.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/pci/pciv_msg.h"
#include "platform/host/test_bus.h"
#include "platform/mcc/mcc_driver.h"

namespace varnelle::testing {

class FakeMaster {
public:
    struct Record {
        uint32_t port;
        PCIV_MSG_S msg;
        size_t bytes;
    };

    FakeMaster() {
        m_listen = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un addr = Address(0);
        ::unlink(addr.sun_path);
        if (::bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
            ::listen(m_listen, 16) != 0) {
            ::close(m_listen);
            m_listen = -1;
            return;
        }
        m_accept = std::thread([this] { AcceptLoop(); });
    }

    ~FakeMaster() {
        if (m_listen >= 0) {
            // Wake the accept with one last connection.
            m_stop = true;
            int s = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
            sockaddr_un addr = Address(0);
            ::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
            m_accept.join();
            ::close(s);
            ::close(m_listen);
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            for (int c : m_conns) ::shutdown(c, SHUT_RDWR);
        }
        for (auto& t : m_readers) t.join();
        for (int c : m_conns) ::close(c);
        if (m_out >= 0) ::close(m_out);
        sockaddr_un addr = Address(0);
        ::unlink(addr.sun_path);
    }

    bool ok() const { return m_listen >= 0; }

    // Sends `len` message bytes to chip 1 on `port`.
    bool Send(uint32_t port, const void* msg, size_t len) {
        if (m_out < 0) {
            m_out = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
            sockaddr_un addr = Address(1);
            if (::connect(m_out, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
                ::close(m_out);
                m_out = -1;
                return false;
            }
        }
        std::vector<uint8_t> rec(8 + len);
        uint32_t prefix[2] = {0, port};
        std::memcpy(rec.data(), prefix, 8);
        std::memcpy(rec.data() + 8, msg, len);
        return ::send(m_out, rec.data(), rec.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(rec.size());
    }

    // Sends a message of `type` with `len` payload bytes.
    bool SendMsg(uint32_t port, uint32_t type, const void* payload, uint32_t len) {
        PCIV_MSG_S m;
        std::memset(&m, 0, sizeof(m));
        m.stMsgHead.u32Target = 1;
        m.stMsgHead.u32MsgType = type;
        m.stMsgHead.u32MsgLen = len;
        if (len) std::memcpy(m.au32Payload, payload, len);
        return Send(port, &m, 16 + len);
    }

    // Waits (up to 10 s) for the next record the slave sent on `port`.
    bool Take(uint32_t port, Record* out, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> lock(m_mutex);
        auto pred = [&] {
            for (auto& r : m_records) {
                if (r.port == port) return true;
            }
            return false;
        };
        if (!m_cond.wait_for(lock, limit, pred)) return false;
        for (auto it = m_records.begin(); it != m_records.end(); ++it) {
            if (it->port == port) {
                *out = *it;
                m_records.erase(it);
                return true;
            }
        }
        return false;
    }

    size_t Count(uint32_t port) {
        std::lock_guard<std::mutex> lock(m_mutex);
        size_t n = 0;
        for (auto& r : m_records) n += r.port == port;
        return n;
    }

private:
    static sockaddr_un Address(int chip) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::string path = mcc::SocketPath(chip);
        std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
        return addr;
    }

    void AcceptLoop() {
        for (;;) {
            int c = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0 || m_stop) {
                if (c >= 0) ::close(c);
                return;
            }
            std::lock_guard<std::mutex> lock(m_mutex);
            m_conns.push_back(c);
            m_readers.emplace_back([this, c] { ReadLoop(c); });
        }
    }

    void ReadLoop(int c) {
        std::vector<uint8_t> buf(8 + sizeof(PCIV_MSG_S));
        for (;;) {
            ssize_t n = ::recv(c, buf.data(), buf.size(), 0);
            if (n <= 8) return;
            Record r{};
            std::memcpy(&r.port, buf.data() + 4, 4);
            r.bytes = static_cast<size_t>(n) - 8;
            std::memcpy(&r.msg, buf.data() + 8, r.bytes);
            std::lock_guard<std::mutex> lock(m_mutex);
            m_records.push_back(r);
            m_cond.notify_all();
        }
    }

    int m_listen = -1;
    std::atomic<bool> m_stop{false};
    int m_out = -1;
    std::thread m_accept;
    std::mutex m_mutex;  // guards the lists below
    std::condition_variable m_cond;
    std::vector<int> m_conns;
    std::vector<std::thread> m_readers;
    std::deque<Record> m_records;
};

// A private bus directory under /dev/shm for one test program, removed at its end.
// This test program's private bus, with the slave's chip id. The directory is the process-wide one of
// UsePrivateBus (the message channel and the RAM file bind to it once) and goes when the process ends.
class ScopedBus {
public:
    ScopedBus() : m_dir(host::UsePrivateBus("app")) { ::setenv("VARNELLE_CHIP", "1", 1); }
    const std::string& dir() const { return m_dir; }

private:
    std::string m_dir;
};

}  // namespace varnelle::testing
