#include "app/pci/pciv_title_port.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <thread>

#include "app/comm/app_log.h"
#include "platform/host/clock.h"

namespace {

constexpr const char* kSrc = "../pci/pciv_msg.c";
// How long the reader waits for a message before it looks at the port word again.
constexpr int kReadSliceMs = 200;
// While the port is unknown or closed.
constexpr int kIdleMs = 50;
// After a failed read: the channel is broken, so back off instead of spinning.
constexpr int kRetryMs = 10;

struct TitlePort {
    std::mutex mutex;  // guards claims; held while a message is handed to its queue
    std::map<uint32_t, PcivMsgQueue*> claims;
    PcivMsgQueue titles{"title"};
    std::mutex runMutex;  // guards thread and running
    std::thread thread;
    bool running = false;
    PcivStop stop;
};

TitlePort& Port() {
    static auto* p = new TitlePort;
    return *p;
}

// Caller holds tp.mutex.
void DispatchLocked(TitlePort& tp, const PCIV_MSG_S* pMsg) {
    auto it = tp.claims.find(pMsg->stMsgHead.u32MsgType);
    PcivMsgQueue* q = it != tp.claims.end() ? it->second : &tp.titles;
    q->Put(pMsg);
}

// The title port, or -1 while it is unknown or not open.
int OpenTitlePort() {
    uint32_t u32Port = PCIV_GetTitlePort();
    int port = static_cast<int>(u32Port);
    if (u32Port < PCIV_MSGPORT_MIN || u32Port > PCIV_MSGPORT_MAX || PCIV_PortFd(0, port) < 0) return -1;
    return port;
}

void ReaderLoop() {
    TitlePort& tp = Port();
    auto* pMsg = new PCIV_MSG_S;
    while (!tp.stop.Requested()) {
        int port = OpenTitlePort();
        if (port < 0) {
            PCIV_WaitReadable(tp.stop.fd(), kIdleMs, nullptr);
            continue;
        }
        int r = PCIV_WaitReadable(PCIV_PortFd(0, port), kReadSliceMs, &tp.stop);
        if (r == 0) continue;
        int s32Ret = -1;
        if (r > 0) {
            // Read and handed over under the lock: a claim never finds a message read and not yet
            // handed over.
            std::lock_guard<std::mutex> lock(tp.mutex);
            s32Ret = PCIV_ReadMsgTimeout(0, port, pMsg, 0);
            if (s32Ret == 0) DispatchLocked(tp, pMsg);
        }
        if (s32Ret != 0 && s32Ret != PCIV_MSG_TIMEOUT) PCIV_WaitReadable(tp.stop.fd(), kRetryMs, nullptr);
    }
    delete pMsg;
}

}  // namespace

PcivMsgQueue::PcivMsgQueue(const char* pszName, size_t capacity)
    : m_pszName(pszName), m_capacity(capacity), m_readyFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE)) {}

PcivMsgQueue::~PcivMsgQueue() {
    if (m_readyFd >= 0) ::close(m_readyFd);
}

bool PcivMsgQueue::Put(const PCIV_MSG_S* pMsg) {
    uint32_t len = std::min<uint32_t>(pMsg->stMsgHead.u32MsgLen, PCIV_MSG_MAXLEN);
    const auto* p = reinterpret_cast<const uint8_t*>(pMsg);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_items.size() >= m_capacity) {
            if (m_dropped.fetch_add(1) == 0) {
                APP_ERR_IN(kSrc, "PcivMsgQueue", "%s queue full (%zu messages): message of type %u dropped\n",
                           m_pszName, m_capacity, pMsg->stMsgHead.u32MsgType);
            }
            return false;
        }
        m_items.emplace_back(p, p + sizeof(PCIV_MSG_HEAD_S) + len);
    }
    // The count goes up after the message is in, so a taker that got a count always finds one.
    eventfd_write(m_readyFd, 1);
    return true;
}

int PcivMsgQueue::Take(PCIV_MSG_S* pMsg, int timeoutMs, const PcivStop* pStop) {
    uint64_t deadline = timeoutMs < 0 ? 0 : varnelle::host::MonotonicMs() + static_cast<uint64_t>(timeoutMs);
    for (;;) {
        if (pStop != nullptr && pStop->Requested()) return PCIV_MSG_TIMEOUT;
        eventfd_t one;
        if (eventfd_read(m_readyFd, &one) == 0) break;
        int waitMs = -1;
        if (timeoutMs >= 0) {
            uint64_t now = varnelle::host::MonotonicMs();
            if (now >= deadline) return PCIV_MSG_TIMEOUT;
            waitMs = static_cast<int>(deadline - now);
        }
        if (PCIV_WaitReadable(m_readyFd, waitMs, pStop) < 0) return -1;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::vector<uint8_t>& item = m_items.front();
    std::memcpy(pMsg, item.data(), item.size());
    m_items.pop_front();
    return 0;
}

size_t PcivMsgQueue::Size() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_items.size();
}

bool PCIV_TitlePortClaim(uint32_t u32Type, PcivMsgQueue* pQueue, const PcivMsgQueue* pFrom) {
    TitlePort& tp = Port();
    std::lock_guard<std::mutex> lock(tp.mutex);
    auto it = tp.claims.find(u32Type);
    if (it != tp.claims.end() && it->second != pFrom) return false;
    int dropped = 0;
    const int port = OpenTitlePort();
    if (port >= 0) {
        auto pMsg = std::make_unique<PCIV_MSG_S>();
        while (PCIV_ReadMsgTimeout(0, port, pMsg.get(), 0) == 0) {
            if (pMsg->stMsgHead.u32MsgType == u32Type) {
                ++dropped;
            } else {
                DispatchLocked(tp, pMsg.get());
            }
        }
    }
    if (dropped > 0) {
        APP_ERR_IN(kSrc, "PCIV_TitlePortClaim", "%d message(s) of type %u queued on port %d before: dropped\n", dropped,
                   u32Type, port);
    }
    tp.claims[u32Type] = pQueue;
    return true;
}

void PCIV_TitlePortRelease(uint32_t u32Type, PcivMsgQueue* pQueue) {
    TitlePort& tp = Port();
    std::lock_guard<std::mutex> lock(tp.mutex);
    auto it = tp.claims.find(u32Type);
    if (it != tp.claims.end() && it->second == pQueue) tp.claims.erase(it);
}

int HwPCIV_ReadMessageTimeout(PCIV_MSG_S* pMsg, int timeoutMs, const PcivStop* pStop) {
    uint32_t port = PCIV_GetTitlePort();
    if (port == 0 || pMsg == nullptr) return -1;
    if (port > PCIV_MSGPORT_MAX || port < PCIV_MSGPORT_MIN) {
        APP_ERR_IN(kSrc, "HwPCIV_ReadMessage", "invalid pci msg port(%d,%d)!\n", 0, static_cast<int>(port));
        return -1;
    }
    if (PCIV_PortFd(0, static_cast<int>(port)) < 0) {
        APP_ERR_IN(kSrc, "HwPCIV_ReadMessage", "you should open msg port before read message s32Port %d!\n",
                   static_cast<int>(port));
        return -1;
    }
    PCIV_TitlePortStart();
    return Port().titles.Take(pMsg, timeoutMs, pStop);
}

int HwPCIV_ReadMessage(PCIV_MSG_S* pMsg) {
    return HwPCIV_ReadMessageTimeout(pMsg, -1, nullptr);
}

void PCIV_TitlePortStart() {
    TitlePort& tp = Port();
    std::lock_guard<std::mutex> lock(tp.runMutex);
    if (tp.running) return;
    tp.stop.Reset();
    tp.thread = std::thread(ReaderLoop);
    tp.running = true;
}

void PCIV_TitlePortStop() {
    TitlePort& tp = Port();
    std::lock_guard<std::mutex> lock(tp.runMutex);
    if (!tp.running) return;
    tp.stop.Request();
    tp.thread.join();
    tp.running = false;
}

uint64_t PCIV_TitlePortDropped() {
    return Port().titles.Dropped();
}
