// Test helpers: the one hand-written peer of the simulated message channel. It speaks the channel's
// record format with raw sockets ({u32 source chip, u32 port} and the message bytes), so tests see the
// wire as any other tool does and play a chip without the program's own link code.
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
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/pci/pciv_msg.h"
#include "platform/host/test_bus.h"
#include "platform/mcc/mcc_driver.h"

namespace varnelle::testing {

inline sockaddr_un ChipAddress(int chip) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string path = mcc::SocketPath(chip);
    std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    return addr;
}

// A connected socket to `chip`'s listener, or -1.
inline int ConnectChip(int chip) {
    int s = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr = ChipAddress(chip);
    if (s < 0 || ::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        if (s >= 0) ::close(s);
        return -1;
    }
    return s;
}

// Sends one record on the connected socket `s`: the prefix {source, port} and `len` message bytes.
inline bool SendRecordOn(int s, uint32_t source, uint32_t port, const void* data, size_t len) {
    std::vector<uint8_t> rec(8 + len);
    uint32_t prefix[2] = {source, port};
    std::memcpy(rec.data(), prefix, 8);
    if (len > 0) std::memcpy(rec.data() + 8, data, len);
    return ::send(s, rec.data(), rec.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(rec.size());
}

// One record to chip `chip` as if from chip `source`, on a connection of its own. Records sent this
// way may overtake each other; use a FakeChip for records whose order matters.
inline bool SendRecord(int chip, uint32_t source, uint32_t port, const void* data, size_t len) {
    int s = ConnectChip(chip);
    if (s < 0) return false;
    bool ok = SendRecordOn(s, source, port, data, len);
    ::close(s);
    return ok;
}

// The codes the slave answers, written out by hand: tests must not take them from the command table
// they check.
inline bool CodeIsAnswered(uint32_t code) {
    static const std::set<uint32_t> kUnanswered = {35, 41, 42, 43, 44, 45, 47, 48, 49, 50, 51, 52,
                                                   53, 55, 61, 62, 63, 64, 65, 66, 67, 68, 69, 70,
                                                   71, 72, 73, 74, 75, 76, 77, 78, 80, 81, 83, 84,
                                                   85, 86, 87, 88, 89, 90, 91, 92, 93, 94, 95, 96};
    return kUnanswered.count(code) == 0;
}

// The master's port plan (command 86, 24 words): 101 to 104 for the senders, decoder slot i on 105 + 2i
// and 106 + 2i, then 121 to 124.
inline std::vector<uint32_t> MasterPortPlan() {
    std::vector<uint32_t> plan = {101, 102, 103, 104};
    for (uint32_t i = 0; i < 8; ++i) plan.push_back(105 + 2 * i);
    for (uint32_t i = 0; i < 8; ++i) plan.push_back(106 + 2 * i);
    for (uint32_t p : {121u, 122u, 123u, 124u}) plan.push_back(p);
    return plan;
}

// Plays chip `self`: listens on its socket, keeps every record other chips send it (by port, in
// arrival order), and sends records to chip `peer` over one connection, so they arrive in order.
// Optionally answers, like a slave, every answered code that arrives on port 100.
class FakeChip {
public:
    struct Record {
        uint32_t source;
        uint32_t port;
        PCIV_MSG_S msg;
        size_t bytes;  // message bytes in the record
    };

    FakeChip(int self, int peer) : m_self(self), m_peer(peer) {
        m_listen = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un addr = ChipAddress(self);
        ::unlink(addr.sun_path);
        if (::bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(m_listen, 16) != 0) {
            ::close(m_listen);
            m_listen = -1;
            return;
        }
        m_accept = std::thread([this] { AcceptLoop(); });
    }

    ~FakeChip() {
        if (m_listen >= 0) {
            // Wake the accept with one last connection.
            m_stop = true;
            int s = ConnectChip(m_self);
            m_accept.join();
            if (s >= 0) ::close(s);
            ::close(m_listen);
            ::unlink(ChipAddress(m_self).sun_path);
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            for (int c : m_conns) ::shutdown(c, SHUT_RDWR);
        }
        for (auto& t : m_readers) t.join();
        for (int c : m_conns) ::close(c);
        if (m_out >= 0) ::close(m_out);
    }
    FakeChip(const FakeChip&) = delete;
    FakeChip& operator=(const FakeChip&) = delete;

    bool ok() const { return m_listen >= 0; }

    // Sends `len` message bytes to the peer on `port`.
    bool Send(uint32_t port, const void* msg, size_t len) {
        std::lock_guard<std::mutex> lock(m_sendMutex);
        if (m_out < 0) m_out = ConnectChip(m_peer);
        if (m_out < 0) return false;
        return SendRecordOn(m_out, static_cast<uint32_t>(m_self), port, msg, len);
    }

    // Sends a message of `type` with `len` payload bytes, its header's target the peer.
    bool SendMsg(uint32_t port, uint32_t type, const void* payload, uint32_t len) {
        PCIV_MSG_S m;
        std::memset(&m, 0, sizeof(m));
        m.stMsgHead.u32Target = static_cast<uint32_t>(m_peer);
        m.stMsgHead.u32MsgType = type;
        m.stMsgHead.u32MsgLen = len;
        if (len) std::memcpy(m.au32Payload, payload, len);
        return Send(port, &m, 16 + len);
    }

    // Answers every answered code arriving on port 100 with type 22, this result and no payload
    // (nothing while `answer` is false).
    void AnswerCommands(bool answer, int32_t result) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_answer = answer;
        m_result = result;
    }

    // Waits (up to `limit`) for the next record that arrived on `port` and takes it.
    bool Take(uint32_t port, Record* out, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> lock(m_mutex);
        auto it = m_records.end();
        auto pred = [&] {
            for (it = m_records.begin(); it != m_records.end(); ++it) {
                if (it->port == port) return true;
            }
            return false;
        };
        if (!m_cond.wait_for(lock, limit, pred)) return false;
        *out = *it;
        m_records.erase(it);
        return true;
    }

    size_t Count(uint32_t port) {
        std::lock_guard<std::mutex> lock(m_mutex);
        size_t n = 0;
        for (auto& r : m_records) n += r.port == port;
        return n;
    }

private:
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
            if (n <= 0) return;
            if (n <= 8) continue;
            Record r{};
            std::memcpy(&r.source, buf.data(), 4);
            std::memcpy(&r.port, buf.data() + 4, 4);
            r.bytes = static_cast<size_t>(n) - 8;
            std::memcpy(&r.msg, buf.data() + 8, r.bytes);
            bool reply;
            int32_t result;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_records.push_back(r);
                reply = m_answer && r.port == PCIV_MSGPORT_COMM && r.bytes >= sizeof(PCIV_MSG_HEAD_S) &&
                        CodeIsAnswered(r.msg.stMsgHead.u32MsgType);
                result = m_result;
            }
            m_cond.notify_all();
            if (reply) {
                uint32_t head[4] = {0, PCIV_MSGTYPE_CMDECHO, 0, static_cast<uint32_t>(result)};
                Send(PCIV_MSGPORT_COMM, head, sizeof(head));
            }
        }
    }

    const int m_self;
    const int m_peer;
    int m_listen = -1;
    std::atomic<bool> m_stop{false};
    std::thread m_accept;
    std::mutex m_sendMutex;  // guards m_out
    int m_out = -1;
    std::mutex m_mutex;  // guards the lists and the answer settings below
    std::condition_variable m_cond;
    std::vector<int> m_conns;
    std::vector<std::thread> m_readers;
    std::deque<Record> m_records;
    bool m_answer = false;
    int32_t m_result = 0;
};

// The master (chip 0) of a slave that is chip 1.
class FakeMaster : public FakeChip {
public:
    FakeMaster() : FakeChip(0, 1) {}
};

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
