// The heartbeat sender and the time-set listener: two threads started with the command loop that
// idle until the port map gives them their ports.
#pragma once

#include <atomic>
#include <cstdint>

// Type 54 payload: bit c stands for channel c.
typedef struct {
    uint32_t u32MotionBitmap;
    uint32_t u32BlindBitmap;
} SLAVE_HEARTBEAT_S;
static_assert(sizeof(SLAVE_HEARTBEAT_S) == 8);

// Type 23 payload.
typedef struct {
    int32_t s32Year;   // full year, e.g. 2018
    int32_t s32Month;  // 1 to 12
    int32_t s32Day;
    int32_t s32Weekday;  // 0 Sunday
    int32_t s32Hour;
    int32_t s32Minute;
    int32_t s32Second;
    int32_t s32Res;
} SLAVE_TIME_S;
static_assert(sizeof(SLAVE_TIME_S) == 32);

void SlaveSetHeartbeatPort(uint32_t u32Port);
uint32_t SlaveGetHeartbeatPort();
void SlaveSetTimePort(uint32_t u32Port);
uint32_t SlaveGetTimePort();

// The alarm bitmaps the heartbeat carries; written by the detection threads.
void SlaveSetMotionBitmap(uint32_t u32Bitmap);
void SlaveSetBlindBitmap(uint32_t u32Bitmap);
uint32_t SlaveGetMotionBitmap();
uint32_t SlaveGetBlindBitmap();

// Sets the clock (the platform's offset; the host clock is never set) to the local time given.
// 0, or -1 when the date cannot be converted.
int SlaveSetCurrentTime(const SLAVE_TIME_S* pTime);

// Thread entries; they never return.
void* SlaveHeartbeatThread(void*);
void* SlaveTimeSyncThread(void*);

// The same loops, ending once `stop` is set (tests).
void SlaveHeartbeatLoop(const std::atomic<bool>* pStop);
void SlaveTimeSyncLoop(const std::atomic<bool>* pStop);
