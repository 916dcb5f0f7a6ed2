#include "app/pci/pciv_msg.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/comm/app_log.h"
#include "platform/dev/dev.h"
#include "platform/host/clock.h"
#include "platform/mcc/mcc_uapi.h"

namespace dev = varnelle::dev;

namespace {

constexpr const char* kSrc = "../pci/pciv_msg.c";
constexpr int kPortCount = PCIV_MSGPORT_MAX - PCIV_MSGPORT_MIN + 1;
// Between two checks of an absent master: often enough to connect at once, rarely enough not to
// spin a core.
constexpr useconds_t kConnectPollUs = 20000;
// A reader without a time limit looks this often whether its port was closed under it.
constexpr int kOpenCheckMs = 1000;

struct PortTable {
    std::atomic<int> fds[PCIV_MAX_CHIP][kPortCount];
    std::atomic<uint32_t> titlePort{0};
    PortTable() {
        for (auto& row : fds) {
            for (auto& fd : row) fd.store(-1);
        }
    }
};

PortTable& Ports() {
    static auto* t = new PortTable;
    return *t;
}

bool PortValid(int target, int port) {
    return target >= 0 && target < PCIV_MAX_CHIP && port >= PCIV_MSGPORT_MIN && port <= PCIV_MSGPORT_MAX;
}

std::atomic<int>& Slot(int target, int port) { return Ports().fds[target][port - PCIV_MSGPORT_MIN]; }

#define CHECK_PORT(target, port)                                                          \
    do {                                                                                  \
        if (!PortValid((target), (port))) {                                               \
            APP_ERR(kSrc, "invalid pci msg port(%d,%d)!\n", (target), (port));            \
            return -1;                                                                    \
        }                                                                                 \
    } while (0)

int ReadOnce(int fd, PCIV_MSG_S* pMsg, const char* func) {
    ssize_t n = dev::Read(fd, pMsg, sizeof(PCIV_MSG_S));
    if (n < 0 && errno == EAGAIN) return PCIV_MSG_TIMEOUT;
    if (n <= 0) return -1;
    if (n < static_cast<ssize_t>(sizeof(PCIV_MSG_HEAD_S))) {
        APP_ERR_IN(kSrc, func, "%s -> read len err:%d\n", func, static_cast<int>(n));
        return -1;
    }
    pMsg->stMsgHead.u32MsgLen = static_cast<uint32_t>(n) - sizeof(PCIV_MSG_HEAD_S);
    return 0;
}

// Waits for the port's next message and reads it. The descriptor does not block: when another reader
// of the port took the message between the wait and the read, this one waits again instead of
// blocking inside the read past its time or its stop.
int ReadWait(std::atomic<int>& slot, int fd, PCIV_MSG_S* pMsg, int timeoutMs, const PcivStop* pStop,
             const char* func) {
    uint64_t deadline = timeoutMs < 0 ? 0 : varnelle::host::MonotonicMs() + static_cast<uint64_t>(timeoutMs);
    for (;;) {
        int s32Ret = ReadOnce(fd, pMsg, func);
        if (s32Ret != PCIV_MSG_TIMEOUT) return s32Ret;
        int waitMs = kOpenCheckMs;
        if (timeoutMs >= 0) {
            uint64_t now = varnelle::host::MonotonicMs();
            if (now >= deadline) return PCIV_MSG_TIMEOUT;
            waitMs = static_cast<int>(std::min<uint64_t>(deadline - now, kOpenCheckMs));
        }
        int r = PCIV_WaitReadable(fd, waitMs, pStop);
        if (r < 0) return -1;
        if (pStop != nullptr && pStop->Requested()) return PCIV_MSG_TIMEOUT;
        if (r == 0 && slot.load() != fd) return -1;  // closed while we waited
    }
}

}  // namespace

PcivStop::PcivStop() : m_fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

PcivStop::~PcivStop() {
    if (m_fd >= 0) ::close(m_fd);
}

void PcivStop::Request() {
    eventfd_write(m_fd, 1);
}

bool PcivStop::Requested() const {
    pollfd p{m_fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
}

void PcivStop::Reset() {
    eventfd_t v;
    eventfd_read(m_fd, &v);
}

int PCIV_WaitReadable(int fd, int timeoutMs, const PcivStop* pStop) {
    pollfd p[2] = {{fd, POLLIN, 0}, {pStop != nullptr ? pStop->fd() : -1, POLLIN, 0}};
    for (;;) {
        int n = ::poll(p, pStop != nullptr ? 2 : 1, timeoutMs);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0 || (p[0].revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) == 0) return 0;
        return (p[0].revents & POLLNVAL) ? -1 : 1;
    }
}

int PCIV_WaitConnect(int target) {
    int fd = dev::Open("/dev/mcc_userdev", O_RDWR);
    if (fd < 0) {
        APP_ERR(kSrc, "open pci msg dev fail!\n");
        return -1;
    }
    MCC_HANDLE_ATTR_S attr;
    std::memset(&attr, 0, sizeof(attr));
    if (dev::Ioctl(fd, MK_MCC_IOC_ATTR_INIT, &attr) != 0) {
        APP_ERR(kSrc, "initialization for attr failed!\n");
        dev::Close(fd);
        return -1;
    }
    attr.target_id = target;
    std::printf("start check pci target id:%d  ... ... ... \n", target);
    while (dev::Ioctl(fd, MK_MCC_IOC_CHECK, &attr) != 0) {
        std::printf("wait for master chip connect!!!!\n");
        std::fflush(stdout);
        usleep(kConnectPollUs);
    }
    std::printf("have checked pci target id:%d ok ! \n", target);
    attr.port = 1000;
    attr.priority = 0;
    dev::Ioctl(fd, MK_MCC_IOC_CONNECT, &attr);
    dev::Close(fd);
    return 0;
}

int PCIV_OpenMsgPort(int target, int port) {
    CHECK_PORT(target, port);
    if (Slot(target, port).load() >= 0) {
        APP_ERR(kSrc, "pci msg port(%d,%d) have open!\n", target, port);
        return -1;
    }
    // Readers wait with poll and then read, so a message another reader took never blocks them.
    int fd = dev::Open("/dev/mcc_userdev", O_RDWR | O_NONBLOCK);
    if (fd < 0) {
        APP_ERR(kSrc, "open pci msg dev fail!\n");
        return -1;
    }
    MCC_HANDLE_ATTR_S attr;
    std::memset(&attr, 0, sizeof(attr));
    attr.target_id = target;
    attr.port = port;
    attr.priority = 2;
    if (dev::Ioctl(fd, MK_MCC_IOC_CONNECT, &attr) != 0) {
        APP_ERR(kSrc, "MK_MCC_IOC_CONNECT err, target:%d, port:%d\n", target, port);
        dev::Close(fd);
        return -1;
    }
    int expected = -1;
    if (!Slot(target, port).compare_exchange_strong(expected, fd)) {
        // Another thread opened the same port meanwhile.
        dev::Close(fd);
        APP_ERR(kSrc, "pci msg port(%d,%d) have open!\n", target, port);
        return -1;
    }
    return 0;
}

int PCIV_CloseMsgPort(int target, int port) {
    CHECK_PORT(target, port);
    int fd = Slot(target, port).exchange(-1);
    if (fd >= 0) dev::Close(fd);
    return 0;
}

int PCIV_SendMsg(int target, int port, PCIV_MSG_S* pMsg) {
    CHECK_PORT(target, port);
    int fd = Slot(target, port).load();
    if (fd < 0) {
        APP_ERR(kSrc, "you should open msg port before send message s32Port %d!\n", port);
        return -1;
    }
    if (pMsg == nullptr || pMsg->stMsgHead.u32MsgLen > PCIV_MSG_MAXLEN) {
        APP_ERR(kSrc, "PCIV_SendMsg write_len err:%d\n", -1);
        return -1;
    }
    size_t len = pMsg->stMsgHead.u32MsgLen + sizeof(PCIV_MSG_HEAD_S);
    ssize_t n = dev::Write(fd, pMsg, len);
    if (n != static_cast<ssize_t>(len)) {
        APP_ERR(kSrc, "PCIV_SendMsg write_len err:%d\n", static_cast<int>(n));
        return -1;
    }
    return 0;
}

int PCIV_SendMsg(int target, int port, uint32_t u32Len, uint32_t u32Type, const void* pPayload) {
    if (u32Len > PCIV_MSG_MAXLEN || (u32Len > 0 && pPayload == nullptr)) {
        APP_ERR(kSrc, "PCIV_SendMsg write_len err:%d\n", static_cast<int>(u32Len));
        return -1;
    }
    PCIV_MSG_S stMsg;
    stMsg.stMsgHead.u32Target = static_cast<uint32_t>(target);
    stMsg.stMsgHead.u32MsgType = u32Type;
    stMsg.stMsgHead.u32MsgLen = u32Len;
    stMsg.stMsgHead.s32Result = 0;
    if (u32Len > 0) std::memcpy(stMsg.au32Payload, pPayload, u32Len);
    return PCIV_SendMsg(target, port, &stMsg);
}

int PCIV_ReadMsg(int target, int port, PCIV_MSG_S* pMsg) {
    CHECK_PORT(target, port);
    int fd = Slot(target, port).load();
    if (fd < 0) {
        APP_ERR(kSrc, "you should open msg port before read message s32Port %d!\n", port);
        return -1;
    }
    if (pMsg == nullptr) return -1;
    return ReadWait(Slot(target, port), fd, pMsg, -1, nullptr, __FUNCTION__);
}

int PCIV_ReadMsgTimeout(int target, int port, PCIV_MSG_S* pMsg, int timeoutMs, const PcivStop* pStop) {
    CHECK_PORT(target, port);
    int fd = Slot(target, port).load();
    if (fd < 0) {
        APP_ERR_IN(kSrc, "PCIV_ReadMsg", "you should open msg port before read message s32Port %d!\n", port);
        return -1;
    }
    if (pMsg == nullptr) return -1;
    return ReadWait(Slot(target, port), fd, pMsg, timeoutMs, pStop, "PCIV_ReadMsg");
}

int PCIV_DrainMsgPort(int target, int port) {
    if (PCIV_PortFd(target, port) < 0) return 0;
    PCIV_MSG_S stMsg;
    int n = 0;
    while (PCIV_ReadMsgTimeout(target, port, &stMsg, 0) == 0) ++n;
    return n;
}

int PCIV_PortFd(int target, int port) { return PortValid(target, port) ? Slot(target, port).load() : -1; }

uint32_t PCIV_GetTitlePort() { return Ports().titlePort.load(); }
void PCIV_SetTitlePort(uint32_t port) { Ports().titlePort.store(port); }
