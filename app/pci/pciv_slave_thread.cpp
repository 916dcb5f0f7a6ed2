#include "app/pci/pciv_slave_thread.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <ctime>

#include "app/comm/app_log.h"
#include "app/pci/pciv_msg.h"
#include "platform/host/clock.h"

namespace {

constexpr const char* kSrc = "../pci/pciv_slave.c";
constexpr useconds_t kHeartbeatUs = 100000;
constexpr useconds_t kHeartbeatIdleUs = 50000;
constexpr useconds_t kTimeIdleUs = 1000000;
constexpr useconds_t kTimeReadRetryUs = 500000;
// How long the listener waits for a message before looking at its port word again.
constexpr int kTimePollMs = 200;

struct ThreadState {
    std::atomic<uint32_t> u32HeartbeatPort{0};
    std::atomic<uint32_t> u32TimePort{0};
    std::atomic<uint32_t> u32Motion{0};
    std::atomic<uint32_t> u32Blind{0};
};

ThreadState& State() {
    static auto* s = new ThreadState;
    return *s;
}

bool Stopped(const std::atomic<bool>* pStop) {
    return pStop != nullptr && pStop->load();
}

}  // namespace

void SlaveSetHeartbeatPort(uint32_t u32Port) {
    State().u32HeartbeatPort = u32Port;
}
uint32_t SlaveGetHeartbeatPort() {
    return State().u32HeartbeatPort.load();
}
void SlaveSetTimePort(uint32_t u32Port) {
    State().u32TimePort = u32Port;
}
uint32_t SlaveGetTimePort() {
    return State().u32TimePort.load();
}
void SlaveSetMotionBitmap(uint32_t u32Bitmap) {
    State().u32Motion = u32Bitmap;
}
void SlaveSetBlindBitmap(uint32_t u32Bitmap) {
    State().u32Blind = u32Bitmap;
}
uint32_t SlaveGetMotionBitmap() {
    return State().u32Motion.load();
}
uint32_t SlaveGetBlindBitmap() {
    return State().u32Blind.load();
}

namespace {
uint32_t BitOf(int32_t s32Chn) {
    return static_cast<uint32_t>(s32Chn) < 32 ? 1u << s32Chn : 0;
}
}  // namespace

void SlaveSetMotionBit(int32_t s32Chn) {
    State().u32Motion.fetch_or(BitOf(s32Chn));
}
void SlaveClearMotionBit(int32_t s32Chn) {
    State().u32Motion.fetch_and(~BitOf(s32Chn));
}
void SlaveClearMotionBitmap() {
    State().u32Motion.store(0);
}
void SlaveSetBlindBit(int32_t s32Chn) {
    State().u32Blind.fetch_or(BitOf(s32Chn));
}
void SlaveClearBlindBit(int32_t s32Chn) {
    State().u32Blind.fetch_and(~BitOf(s32Chn));
}
void SlaveClearBlindBitmap() {
    State().u32Blind.store(0);
}

int SlaveSetCurrentTime(const SLAVE_TIME_S* pTime) {
    // A year or month at the bottom of the range cannot be offset without overflowing.
    if (pTime->s32Year < INT_MIN + 1900 || pTime->s32Month == INT_MIN) {
        APP_ERR(kSrc, "Format Error\n");
        return -1;
    }
    struct tm stTm;
    std::memset(&stTm, 0, sizeof(stTm));
    stTm.tm_year = pTime->s32Year - 1900;
    stTm.tm_mon = pTime->s32Month - 1;
    stTm.tm_mday = pTime->s32Day;
    stTm.tm_hour = pTime->s32Hour;
    stTm.tm_min = pTime->s32Minute;
    stTm.tm_sec = pTime->s32Second;
    stTm.tm_wday = pTime->s32Weekday;
    // The master sends its local time: whether summer time applies is the zone's to say, as for any
    // local time. Forcing it off would set the clock an hour ahead all summer.
    stTm.tm_isdst = -1;
    time_t t = mktime(&stTm);
    if (t < 0) {
        APP_ERR(kSrc, "Format Error\n");
        return -1;
    }
    timeval tv = {t, 0};
    if (varnelle::host::SetWallClock(tv) != 0) {
        APP_ERR(kSrc, "Cannot Set Date");
        return -1;
    }
    return 0;
}

uint64_t SlaveNextBeatUs(uint64_t u64DueUs, uint64_t u64NowUs) {
    // The beats keep to a grid of 100 ms, so a late wake-up or a slow send shortens the next wait
    // instead of moving every later beat; but two beats never come less than half a period apart,
    // and after a stall of a period or more the grid starts anew rather than catching up.
    const uint64_t next = u64DueUs + kHeartbeatUs;
    if (u64DueUs == 0 || next + kHeartbeatUs <= u64NowUs) return u64NowUs + kHeartbeatUs;
    return std::max(next, u64NowUs + kHeartbeatUs / 2);
}

void SlaveHeartbeatLoop(const std::atomic<bool>* pStop) {
    uint64_t u64DueUs = 0;
    while (!Stopped(pStop)) {
        uint32_t u32Port = State().u32HeartbeatPort.load();
        if (u32Port == 0) {
            usleep(kHeartbeatIdleUs);
            u64DueUs = 0;
            continue;
        }
        SLAVE_HEARTBEAT_S stBeat = {State().u32Motion.load(), State().u32Blind.load()};
        PCIV_SendMsg(0, static_cast<int>(u32Port), sizeof(stBeat), PCIV_MSGTYPE_HEARTBEAT, &stBeat);
        u64DueUs = SlaveNextBeatUs(u64DueUs, varnelle::host::MonotonicUs());
        const uint64_t now = varnelle::host::MonotonicUs();
        if (u64DueUs > now) usleep(static_cast<useconds_t>(u64DueUs - now));
    }
}

void SlaveTimeSyncLoop(const std::atomic<bool>* pStop) {
    auto* pMsg = new PCIV_MSG_S;
    while (!Stopped(pStop)) {
        uint32_t u32Port = State().u32TimePort.load();
        if (u32Port == 0) {
            usleep(kTimeIdleUs);
            continue;
        }
        int s32Ret = PCIV_ReadMsgTimeout(0, static_cast<int>(u32Port), pMsg, kTimePollMs);
        if (s32Ret == PCIV_MSG_TIMEOUT) continue;
        if (s32Ret != 0) {
            usleep(kTimeReadRetryUs);
            continue;
        }
        SlaveTakeTimeMsg(pMsg);
    }
    delete pMsg;
}

int SlaveTakeTimeMsg(const PCIV_MSG_S* pMsg) {
    if (pMsg->stMsgHead.u32MsgType != PCIV_MSGTYPE_SETTIME) return 1;
    // A short message must not set the clock from words of an earlier one.
    if (pMsg->stMsgHead.u32MsgLen < offsetof(SLAVE_TIME_S, s32Res)) {
        APP_ERR_IN(kSrc, "SlaveSetCurrentTime", "Format Error\n");
        return -1;
    }
    SLAVE_TIME_S stTime;
    std::memcpy(&stTime, pMsg->au32Payload, sizeof(stTime));
    return SlaveSetCurrentTime(&stTime);
}

void* SlaveHeartbeatThread(void*) {
    SlaveHeartbeatLoop(nullptr);
    return nullptr;
}

void* SlaveTimeSyncThread(void*) {
    SlaveTimeSyncLoop(nullptr);
    return nullptr;
}
