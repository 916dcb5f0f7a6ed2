#include "app/pci/pciv_host.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "app/comm/app_log.h"
#include "platform/dev/dev.h"
#include "platform/host/clock.h"
#include "platform/mcc/mcc_uapi.h"
#include "sdk/pciv/mpi_pciv.h"

namespace dev = varnelle::dev;
namespace host = varnelle::host;

namespace {

constexpr const char* kSrc = "../pci/pciv_host.c";
constexpr int kTimeSyncPeriodMs = 30000;
constexpr int kStatusBackoffMs = 100;
// Slice of the long sleeps, so a stop request is seen promptly.
constexpr int kSleepSliceMs = 50;
constexpr int kChipPollMs = 10;

void ResetState(PCIV_HOST_STATE_S& s) {
    std::memset(&s.stSysParam, 0, sizeof(s.stSysParam));
    std::memset(s.au8ChnEnable, 1, sizeof(s.au8ChnEnable));
    for (int32_t& m : s.as32ChnMode) m = 0;
    s.u32Motion.store(0);
    s.u32Blind.store(0);
}

// The chip table is not touched here: enumeration may have filled it before the first master call.
struct HostLink {
    HostLink() { ResetState(state); }
    PCIV_HOST_STATE_S state;
    std::atomic<int> replyTimeoutMs{0};
    std::atomic<bool> stop{false};
    PcivStop wake;  // requested with `stop`: ends the status thread's wait for a heartbeat at once
    // Requested by PcivHostCancelWaits, from a signal handler: lock-free only.
    PcivStop cancel;
    std::atomic<bool> cancelled{false};
    std::atomic<uint64_t> repliesMissed{0};
    // One command at a time: a waiting sender's reply is the next message on port 100, so two
    // senders must not interleave.
    std::mutex cmdMutex;
};

HostLink& Link() {
    static auto* l = new HostLink;
    return *l;
}

#define PCIV_HOST_ERR(ret)                                                                              \
    std::printf("\033[0;31mSample Pciv err:%x,Func:%s,Line:%d\033[0;39m\n", static_cast<unsigned>(ret), \
                __FUNCTION__, __LINE__)

void SleepMsUnlessStopped(int ms) {
    while (ms > 0 && !Link().stop.load()) {
        int slice = ms < kSleepSliceMs ? ms : kSleepSliceMs;
        usleep(static_cast<useconds_t>(slice) * 1000);
        ms -= slice;
    }
}

int RemainingMs(uint64_t deadlineMs) {
    uint64_t now = host::MonotonicMs();
    return now >= deadlineMs ? 0 : static_cast<int>(deadlineMs - now);
}

// Reads one message from (chip, port). With a time-out of 0 or less it waits until one arrives (or
// `pStop` is requested); otherwise it gives up after the time-out. 0, PCIV_MSG_TIMEOUT, or -1 when the
// port is not open (at once) or is closed meanwhile.
int ReadTimed(int chip, int port, PCIV_MSG_S* pMsg, int timeoutMs, const PcivStop* pStop = nullptr) {
    if (PCIV_PortFd(chip, port) < 0) return -1;
    uint64_t deadline = host::MonotonicMs() + static_cast<uint64_t>(timeoutMs > 0 ? timeoutMs : 0);
    for (;;) {
        int ret = PCIV_ReadMsgTimeout(chip, port, pMsg, timeoutMs > 0 ? RemainingMs(deadline) : -1, pStop);
        if (ret == 0) return 0;
        if (pStop != nullptr && pStop->Requested()) return PCIV_MSG_TIMEOUT;
        if (PCIV_PortFd(chip, port) < 0) return -1;
        // A broken message is not a reply: go on waiting for one until the time is up.
        if (timeoutMs > 0 && RemainingMs(deadline) == 0) return PCIV_MSG_TIMEOUT;
    }
}

// Drops messages already queued on (chip, port): late replies to commands whose wait timed out, which
// would otherwise be taken as the reply to the next command.
void DropStale(int chip, int port) {
    int n = PcivHostDrainPort(chip, port);
    if (n > 0) APP_ERR(kSrc, "chip %d: dropped %d late message(s) on port %d\n", chip, n, port);
}

int OpenIfClosed(int chip, int port) {
    if (PCIV_PortFd(chip, port) >= 0) return 0;
    return PCIV_OpenMsgPort(chip, port);
}

// Sends to one chip and waits for its reply: 0 with the reply's result in `pResult`, or -1 when the
// send failed or no reply came in time. Caller holds cmdMutex.
int SendWaitLocked(int chip, uint32_t u32Code, uint32_t u32Target, const void* pPayload, uint32_t u32Len,
                   PCIV_MSG_S* pReply, int* pResult) {
    if (u32Len > PCIV_MSG_MAXLEN) {
        APP_ERR(kSrc, "command %u: payload of %u bytes is too long\n", u32Code, u32Len);
        return -1;
    }
    DropStale(chip, PCIV_MSGPORT_COMM);
    PCIV_MSG_S stMsg;
    std::memset(&stMsg.stMsgHead, 0, sizeof(stMsg.stMsgHead));
    stMsg.stMsgHead.u32Target = u32Target;
    stMsg.stMsgHead.u32MsgType = u32Code;
    stMsg.stMsgHead.u32MsgLen = u32Len;
    if (u32Len > 0) std::memcpy(stMsg.au32Payload, pPayload, u32Len);
    if (PCIV_SendMsg(chip, PCIV_MSGPORT_COMM, &stMsg) != 0) return -1;
    int timeoutMs = Link().replyTimeoutMs.load();
    if (ReadTimed(chip, PCIV_MSGPORT_COMM, &stMsg, timeoutMs, &Link().cancel) != 0) {
        ++Link().repliesMissed;
        if (Link().cancelled.load()) {
            APP_ERR(kSrc, "chip %d: no reply to command %u before the waits were cancelled\n", chip, u32Code);
        } else {
            APP_ERR(kSrc, "chip %d: no reply to command %u within %d ms\n", chip, u32Code, timeoutMs);
        }
        return -1;
    }
    if (pReply != nullptr) std::memcpy(pReply, &stMsg, sizeof(stMsg.stMsgHead) + stMsg.stMsgHead.u32MsgLen);
    *pResult = stMsg.stMsgHead.s32Result;
    return 0;
}

void BuildPlan(uint32_t au32Port[PCIV_PORTMAP_WORDS]) {
    au32Port[PCIV_PORTMAP_VENC_NOTICE] = PCIV_HOST_PORT_VENC_NOTICE;
    au32Port[PCIV_PORTMAP_VENC_ACK] = PCIV_HOST_PORT_VENC_ACK;
    au32Port[PCIV_PORTMAP_JPEG_NOTICE] = PCIV_HOST_PORT_JPEG_NOTICE;
    au32Port[PCIV_PORTMAP_JPEG_ACK] = PCIV_HOST_PORT_JPEG_ACK;
    for (uint32_t i = 0; i < 8; ++i) {
        au32Port[PCIV_PORTMAP_VDEC_NOTICE + i] = PCIV_HOST_PORT_VDEC_BASE + 2 * i;
        au32Port[PCIV_PORTMAP_VDEC_ACK + i] = PCIV_HOST_PORT_VDEC_BASE + 2 * i + 1;
    }
    au32Port[PCIV_PORTMAP_TIME] = PCIV_HOST_PORT_TIME;
    au32Port[PCIV_PORTMAP_HEARTBEAT] = PCIV_HOST_PORT_HEARTBEAT;
    au32Port[PCIV_PORTMAP_TITLE] = PCIV_HOST_PORT_TITLE;
    au32Port[PCIV_PORTMAP_OSD_ACK] = PCIV_HOST_PORT_OSD_ACK;
}

// Bits [start, end) of a 32-bit channel bitmap.
uint32_t RangeMask(uint32_t start, uint32_t end) {
    if (end > 32) end = 32;
    if (start >= end) return 0;
    uint32_t upper = end == 32 ? 0xFFFFFFFFu : ((1u << end) - 1);
    return upper & ~((1u << start) - 1);
}

}  // namespace

PCIV_HOST_STATE_S* PcivHostGetState() {
    return &Link().state;
}

void PcivHostCancelWaits() {
    Link().cancelled.store(true);
    Link().cancel.Request();
}

bool PcivHostWaitsCancelled() {
    return Link().cancelled.load();
}

uint64_t PcivHostRepliesMissed() {
    return Link().repliesMissed.load();
}

int PcivHostReadMsg(int chip, int port, PCIV_MSG_S* pMsg, int timeoutMs) {
    if (timeoutMs == 0)
        return PCIV_PortFd(chip, port) >= 0 && PCIV_ReadMsgTimeout(chip, port, pMsg, 0) == 0 ? 0 : -1;
    return ReadTimed(chip, port, pMsg, timeoutMs < 0 ? 0 : timeoutMs, &Link().cancel) == 0 ? 0 : -1;
}

int PcivHostDrainPort(int chip, int port) {
    return PCIV_DrainMsgPort(chip, port);
}

void PcivHostResetState() {
    PCIV_CHIP_TABLE_S* t = PcivGetChipTable();
    for (int32_t& id : t->as32RemoteId) id = -1;
    t->u32RemoteNum = 0;
    std::memset(t->au32HostPort, 0, sizeof(t->au32HostPort));
    t->u32HostTitlePort = t->u32HostTimePort = t->u32HostHeartPort = 0;
    std::memset(t->au32PfWinBase, 0, sizeof(t->au32PfWinBase));
    ResetState(Link().state);
    Link().stop.store(false);
    Link().wake.Reset();
    Link().cancelled.store(false);
    Link().cancel.Reset();
    Link().repliesMissed.store(0);
}

void PcivHostSetRemoteChips(const int32_t* ps32Ids, int count) {
    PCIV_CHIP_TABLE_S& s = *PcivGetChipTable();
    for (int32_t& id : s.as32RemoteId) id = -1;
    uint32_t n = 0;
    for (int i = 0; i < count && n < PCIV_MAX_CHIP; ++i) {
        if (ps32Ids[i] >= 0 && ps32Ids[i] < PCIV_MAX_CHIP) s.as32RemoteId[n++] = ps32Ids[i];
    }
    s.u32RemoteNum = n;
}

void PcivHostSetReplyTimeout(int timeoutMs) {
    Link().replyTimeoutMs.store(timeoutMs);
}
int PcivHostGetReplyTimeout() {
    return Link().replyTimeoutMs.load();
}

int PcivHostWaitChip(int chip, int timeoutMs) {
    int fd = dev::Open("/dev/mcc_userdev", O_RDWR);
    if (fd < 0) {
        APP_ERR(kSrc, "open pci msg dev fail!\n");
        return -1;
    }
    MCC_HANDLE_ATTR_S attr;
    std::memset(&attr, 0, sizeof(attr));
    if (dev::Ioctl(fd, MK_MCC_IOC_ATTR_INIT, &attr) != 0) {
        dev::Close(fd);
        return -1;
    }
    attr.target_id = chip;
    uint64_t deadline = host::MonotonicMs() + static_cast<uint64_t>(timeoutMs > 0 ? timeoutMs : 0);
    int ret = 0;
    while (dev::Ioctl(fd, MK_MCC_IOC_CHECK, &attr) != 0) {
        if ((timeoutMs > 0 && RemainingMs(deadline) == 0) || Link().cancelled.load()) {
            ret = -1;
            break;
        }
        PCIV_WaitReadable(Link().cancel.fd(), kChipPollMs, nullptr);
    }
    dev::Close(fd);
    return ret;
}

int PcivInitComm(int chip) {
    int ret = PCIV_WaitConnect(chip);
    if (ret != 0) {
        PCIV_HOST_ERR(ret);
        return ret;
    }
    // A chip brought up again keeps its command port.
    ret = OpenIfClosed(chip, PCIV_MSGPORT_COMM);
    if (ret != 0) {
        PCIV_HOST_ERR(ret);
        return ret;
    }
    ret = PcivHostSendPortMap(chip);
    if (ret != 0) {
        PCIV_HOST_ERR(ret);
        return ret;
    }
    return 0;
}

int PcivGetPfWin(int chip) {
    if (chip < 0 || chip >= PCIV_MAX_CHIP) return -1;
    PCIV_BASEWINDOW_S stBase;
    std::memset(&stBase, 0, sizeof(stBase));
    int ret = MK_MPI_PCIV_GetBaseWindow(chip, &stBase);
    if (ret != 0) {
        PCIV_HOST_ERR(ret);
        return ret;
    }
    std::printf("\033[0;32;32mOstrel: %s,%s,Line %d,pci device %d -> slot:%d, pf:%x,np:%x,cfg:%x\n\033[m\n",
                kSrc, __FUNCTION__, __LINE__, chip, chip - 1, stBase.u32PfWinBase, stBase.u32NpWinBase,
                stBase.u32CfgWinBase);
    PcivGetChipTable()->au32PfWinBase[chip] = stBase.u32PfWinBase;
    return 0;
}

int Pciv_HostChipInit() {
    PCIV_CHIP_TABLE_S& s = *PcivGetChipTable();
    for (uint32_t i = 0; i < s.u32RemoteNum && i < PCIV_MAX_CHIP; ++i) {
        int chip = s.as32RemoteId[i];
        if (chip < 0) continue;
        if (PcivInitComm(chip) < 0) {
            APP_ERR(kSrc, "PcivInitComm error, chip id %d\n", static_cast<int>(i));
            continue;
        }
        PcivGetPfWin(chip);
    }
    return 0;
}

int PcivHostSendPortMap(int chip) {
    PCIV_CHIP_TABLE_S& s = *PcivGetChipTable();
    uint32_t au32Plan[PCIV_PORTMAP_WORDS];
    static_assert(sizeof(au32Plan) == sizeof(SLAVE_PORT_MAP_S));
    BuildPlan(au32Plan);
    std::memcpy(s.au32HostPort, au32Plan, sizeof(s.au32HostPort));
    s.u32HostTitlePort = au32Plan[PCIV_PORTMAP_TITLE];
    s.u32HostTimePort = au32Plan[PCIV_PORTMAP_TIME];
    s.u32HostHeartPort = au32Plan[PCIV_PORTMAP_HEARTBEAT];
    static const uint32_t kOpenOrder[] = {0, 1,  2, 3,  20, 21, 22, 23, 4,  12, 5,  13,
                                          6, 14, 7, 15, 8,  16, 9,  17, 10, 18, 11, 19};
    static_assert(sizeof(kOpenOrder) / sizeof(kOpenOrder[0]) == PCIV_PORTMAP_WORDS);
    for (uint32_t word : kOpenOrder) OpenIfClosed(chip, static_cast<int>(au32Plan[word]));
    PCIV_SendMsg(chip, PCIV_MSGPORT_COMM, sizeof(au32Plan), 86, au32Plan);
    return 0;
}

int PcivHostSendSysParams() {
    PCIV_HOST_STATE_S& s = Link().state;
    int ret = 0;
    for (int chip : PcivGetChipTable()->as32RemoteId) {
        if (chip < 0) continue;
        ret = PCIV_SendMsg(chip, PCIV_MSGPORT_COMM, sizeof(s.stSysParam), 96, &s.stSysParam);
    }
    return ret;
}

SLAVE_TIME_S PcivHostLocalTime() {
    time_t now = host::WallSeconds();
    struct tm tmNow;
    localtime_r(&now, &tmNow);
    SLAVE_TIME_S t;
    t.s32Year = tmNow.tm_year + 1900;
    t.s32Month = tmNow.tm_mon + 1;
    t.s32Day = tmNow.tm_mday;
    t.s32Weekday = tmNow.tm_wday;
    t.s32Hour = tmNow.tm_hour;
    t.s32Minute = tmNow.tm_min;
    t.s32Second = tmNow.tm_sec;
    t.s32Res = 0;
    return t;
}

int PcivHostSendTime() {
    PCIV_CHIP_TABLE_S& s = *PcivGetChipTable();
    if (s.u32HostTimePort == 0) return -1;
    SLAVE_TIME_S t = PcivHostLocalTime();
    int ret = 0;
    for (int chip : s.as32RemoteId) {
        if (chip < 0) continue;
        ret = PCIV_SendMsg(chip, static_cast<int>(s.u32HostTimePort), sizeof(t), PCIV_MSGTYPE_SETTIME, &t);
    }
    return ret;
}

void* PcivHostTimeSyncThread(void*) {
    while (!Link().stop.load()) {
        PcivHostSendTime();
        SleepMsUnlessStopped(kTimeSyncPeriodMs);
    }
    return nullptr;
}

namespace {
// Blind alarms of the range's disabled channels are dropped.
uint32_t ClearDisabledBlind(const PCIV_HOST_STATE_S& s, uint32_t blind) {
    uint32_t start = s.stSysParam.u32ChnStart;
    uint32_t end = s.stSysParam.u32ChnEnd;
    for (uint32_t c = start; c < end && c < 32; ++c) {
        if (s.au8ChnEnable[c] == 0) blind &= ~(1u << c);
    }
    return blind;
}
}  // namespace

void PcivHostMergeHeartbeat(const SLAVE_HEARTBEAT_S* pBeat) {
    PCIV_HOST_STATE_S& s = Link().state;
    uint32_t start = s.stSysParam.u32ChnStart;
    uint32_t end = s.stSysParam.u32ChnEnd;
    uint32_t mask = RangeMask(start, end);
    if (mask == 0) return;
    uint32_t motion = (mask & (pBeat->u32MotionBitmap << start)) | (s.u32Motion.load() & ~mask);
    uint32_t blind = (mask & (pBeat->u32BlindBitmap << start)) | (s.u32Blind.load() & ~mask);
    s.u32Motion.store(motion);
    s.u32Blind.store(ClearDisabledBlind(s, blind));
}

int PcivHostStatusStep(int index, int timeoutMs, SLAVE_HEARTBEAT_S* pBeat) {
    PCIV_CHIP_TABLE_S& s = *PcivGetChipTable();
    if (index < 0 || index >= PCIV_MAX_CHIP) return -1;
    int chip = s.as32RemoteId[index];
    if (chip < 0 || s.u32HostHeartPort == 0) return -1;
    PCIV_MSG_S stMsg;
    if (ReadTimed(chip, static_cast<int>(s.u32HostHeartPort), &stMsg, timeoutMs, &Link().wake) != 0) return -1;
    // A message shorter than a heartbeat carries no bitmaps to merge; any read still drops the blind
    // alarms of channels disabled since.
    if (stMsg.stMsgHead.u32MsgType != PCIV_MSGTYPE_HEARTBEAT ||
        stMsg.stMsgHead.u32MsgLen < sizeof(SLAVE_HEARTBEAT_S)) {
        PCIV_HOST_STATE_S& st = Link().state;
        st.u32Blind.store(ClearDisabledBlind(st, st.u32Blind.load()));
        return 0;
    }
    SLAVE_HEARTBEAT_S stBeat;
    std::memcpy(&stBeat, stMsg.au32Payload, sizeof(stBeat));
    PcivHostMergeHeartbeat(&stBeat);
    if (pBeat != nullptr) *pBeat = stBeat;
    return 1;
}

void* PcivHostStatusThread(void*) {
    int index = 0;
    while (!Link().stop.load()) {
        if (PcivGetChipTable()->as32RemoteId[index] >= 0 &&
            PcivHostStatusStep(index, Link().replyTimeoutMs.load(), nullptr) < 0) {
            SleepMsUnlessStopped(kStatusBackoffMs);
        }
        index = (index + 1) % PCIV_MAX_CHIP;
        if (PcivGetChipTable()->u32RemoteNum == 0) SleepMsUnlessStopped(kStatusBackoffMs);
    }
    return nullptr;
}

void PcivHostStopThreads() {
    Link().stop.store(true);
    Link().wake.Request();
}

int PcivHostSendAll(uint32_t u32Code, const void* pPayload, uint32_t u32Len) {
    int ret = 0;
    for (int chip : PcivGetChipTable()->as32RemoteId) {
        if (chip < 0) continue;
        ret = PCIV_SendMsg(chip, PCIV_MSGPORT_COMM, u32Len, u32Code, pPayload);
    }
    return ret;
}

int PcivHostSendAllWait(uint32_t u32Code, const void* pPayload, uint32_t u32Len, PCIV_MSG_S* pReply) {
    std::lock_guard<std::mutex> lock(Link().cmdMutex);
    int ret = 0;
    for (int chip : PcivGetChipTable()->as32RemoteId) {
        if (chip < 0) continue;
        int result = 0;
        ret =
            SendWaitLocked(chip, u32Code, static_cast<uint32_t>(chip), pPayload, u32Len, pReply, &result) == 0
                ? result
                : -1;
    }
    return ret;
}

int PcivHostSendChipWait(int chip, uint32_t u32Code, uint32_t u32Target, const void* pPayload,
                         uint32_t u32Len, PCIV_MSG_S* pReply) {
    if (chip < 0 || chip >= PCIV_MAX_CHIP) return -1;
    std::lock_guard<std::mutex> lock(Link().cmdMutex);
    int result = 0;
    return SendWaitLocked(chip, u32Code, u32Target, pPayload, u32Len, pReply, &result) == 0 ? result : -1;
}

namespace {
// Command 0 or 1 to one chip: 0 once a reply is read, whatever its result.
int SendBufToChip(int chip, uint32_t u32Code, uint32_t u32Target, const void* pBuf, uint32_t u32Len) {
    if (chip < 0 || chip >= PCIV_MAX_CHIP) return -1;
    std::lock_guard<std::mutex> lock(Link().cmdMutex);
    int result = 0;
    return SendWaitLocked(chip, u32Code, u32Target, pBuf, u32Len, nullptr, &result);
}
}  // namespace

int PcivHostGraphicsSaveVstd(uint32_t u32Standard) {
    uint32_t p[2] = {0, u32Standard};
    return PcivHostSendAllWait(24, p, sizeof(p), nullptr);
}

int PcivHostGraphicsSetResolution(uint32_t u32Width, uint32_t u32Height) {
    uint32_t p[2] = {u32Width, u32Height};
    return PcivHostSendAllWait(25, p, sizeof(p), nullptr);
}

int PcivHostSplitStart(uint32_t u32Value) {
    uint32_t p[2] = {0, u32Value};
    return PcivHostSendAllWait(26, p, sizeof(p), nullptr);
}

int PcivHostSplitChnSet(const uint32_t au32Word[6], const uint8_t au8Data[256]) {
    uint8_t p[280];
    std::memcpy(p, au32Word, 24);
    std::memcpy(p + 24, au8Data, 256);
    return PcivHostSendAllWait(27, p, sizeof(p), nullptr);
}

int PcivHostCaptureCreate(uint32_t u32Chn) {
    return PcivHostSendAllWait(28, &u32Chn, 4, nullptr);
}

namespace {
int SendPairWait(uint32_t code, uint32_t a, uint32_t b) {
    uint32_t p[2] = {a, b};
    return PcivHostSendAllWait(code, p, sizeof(p), nullptr);
}
}  // namespace

int PcivHostCaptureStart(uint32_t a, uint32_t b) {
    return SendPairWait(30, a, b);
}
int PcivHostCaptureSetVstd(uint32_t a, uint32_t b) {
    return SendPairWait(31, a, b);
}

int PcivHostCaptureSetFormat(uint32_t a, uint32_t b, const uint8_t au8Format[12]) {
    uint8_t p[20];
    std::memcpy(p, &a, 4);
    std::memcpy(p + 4, &b, 4);
    std::memcpy(p + 8, au8Format, 12);
    return PcivHostSendAllWait(32, p, sizeof(p), nullptr);
}

int PcivHostCaptureStop(uint32_t a, uint32_t b) {
    return SendPairWait(33, a, b);
}
int PcivHostCaptureForceIFrame(uint32_t a, uint32_t b) {
    return SendPairWait(34, a, b);
}

int PcivHostCaptureSetCover(uint32_t a, uint32_t b, const uint32_t au32Rect[4]) {
    uint32_t p[6] = {a, b, au32Rect[0], au32Rect[1], au32Rect[2], au32Rect[3]};
    return PcivHostSendAll(35, p, sizeof(p));
}

int PcivHostVdecChCreate(uint32_t u32Chn) {
    return PcivHostSendAll(55, &u32Chn, 4);
}
int PcivHostSendCmdWait(uint32_t u32Value) {
    return PcivHostSendAllWait(56, &u32Value, 4, nullptr);
}

int PcivHostAdaptViChnConfig(uint32_t u32Chn, uint32_t u32Mode, uint32_t u32Value) {
    PCIV_HOST_STATE_S& s = Link().state;
    uint32_t p[3] = {u32Chn - s.stSysParam.u32ChnStart, u32Mode, u32Value};
    int code = -1;
    switch (u32Mode) {
        case 8:
            code = 2;
            break;
        case 12:
            code = 8;
            break;
        case 1:
            code = 11;
            break;
        case 2:
            code = 14;
            break;
        case 9:
            code = 17;
            break;
        case 11:
            code = 16;
            break;
        case 10:
            code = 18;
            break;
        case 5:
        case 6:
            code = 10;
            break;
        case 13:
            code = 7;
            break;
        default:
            break;
    }
    // A channel outside the table has no state to record.
    if (code >= 0 && u32Chn < 32) s.as32ChnMode[u32Chn] = code;
    return PcivHostSendAll(87, p, sizeof(p));
}

int PcivHostMotionDetectSetParameter(uint32_t u32Chn, const uint8_t au8Param[84]) {
    uint8_t p[88];
    std::memcpy(p, &u32Chn, 4);
    std::memcpy(p + 4, au8Param, 84);
    return PcivHostSendAll(88, p, sizeof(p));
}

int PcivHostMotionDetectCreate() {
    return PcivHostSendAll(89, nullptr, 0);
}

int PcivHostBlindDetectSetParameter(uint32_t u32Chn, const uint8_t au8Param[8]) {
    uint8_t p[12];
    std::memcpy(p, &u32Chn, 4);
    std::memcpy(p + 4, au8Param, 8);
    return PcivHostSendAll(90, p, sizeof(p));
}

int PcivHostBlindDetectCreate() {
    return PcivHostSendAll(91, nullptr, 0);
}

int PcivHostSendBufWait(int chip, const void* pBuf184) {
    return SendBufToChip(chip, 0, static_cast<uint32_t>(chip), pBuf184, 184);
}

int PcivHostSendBufWait2(int chip, const void* pBuf68) {
    return SendBufToChip(chip, 1, 1, pBuf68, 68);
}

int PcivHostSendCmd(const void* pData, uint32_t u32Len, uint32_t u32Type) {
    PCIV_CHIP_TABLE_S& s = *PcivGetChipTable();
    if (s.u32HostTitlePort == 0) return -1;
    int ret = 0;
    for (int chip : s.as32RemoteId) {
        if (chip < 0) continue;
        ret = PCIV_SendMsg(chip, static_cast<int>(s.u32HostTitlePort), u32Len, u32Type, pData);
    }
    return ret;
}

void PcivHostClearReq(PCIV_HOST_REQ_S* pReq) {
    if (pReq != nullptr) std::memset(pReq, 0, sizeof(*pReq));
}

void PcivHostFreeList(PCIV_HOST_LIST_S* pList) {
    if (pList == nullptr) return;
    PCIV_HOST_LIST_NODE_S* pNode = pList->pHead;
    while (pNode != nullptr) {
        PCIV_HOST_LIST_NODE_S* pNext = pNode->pNext;
        CapListFreeHook(pNode->u32HookWord);
        std::free(pNode);
        pNode = pNext;
    }
    pList->pHead = nullptr;
    pList->u32Count = 0;
}

// Weak: the slave program's board hooks may bring their own.
__attribute__((weak)) int CapListFreeHook(uint32_t) {
    return 0;
}
