// The heartbeat sender and the time-set listener: two threads started with the command loop that
// idle until the port map gives them their ports.
#pragma once

#include <atomic>
#include <cstdint>

#include "app/pci/pciv_msg.h"
#include "app/pci/pciv_proto.h"

void SlaveSetHeartbeatPort(uint32_t u32Port);
uint32_t SlaveGetHeartbeatPort();
void SlaveSetTimePort(uint32_t u32Port);
uint32_t SlaveGetTimePort();

// The alarm bitmaps the heartbeat carries; written by the detection threads.
void SlaveSetMotionBitmap(uint32_t u32Bitmap);
void SlaveSetBlindBitmap(uint32_t u32Bitmap);
uint32_t SlaveGetMotionBitmap();
uint32_t SlaveGetBlindBitmap();
// Bit operations on the bitmaps for the threads that share them (the detection threads and the
// command loop): each changes only its own bits in one atomic step, so no thread's bit is lost to
// another's read-modify-write. Channels outside 0..31 change nothing.
void SlaveSetMotionBit(int32_t s32Chn);
void SlaveClearMotionBit(int32_t s32Chn);
void SlaveClearMotionBitmap();
void SlaveSetBlindBit(int32_t s32Chn);
void SlaveClearBlindBit(int32_t s32Chn);
void SlaveClearBlindBitmap();

// Sets the clock (the platform's offset; the host clock is never set) to the local time given, with
// summer time where the zone has it. 0, or -1 when the date cannot be converted ("Format Error") or
// the clock refuses it ("Cannot Set Date").
int SlaveSetCurrentTime(const SLAVE_TIME_S* pTime);
// One message read from the time-set port: a whole type 23 sets the clock (its result); another type
// is ignored (1); a short one is refused (-1).
int SlaveTakeTimeMsg(const PCIV_MSG_S* pMsg);

// Thread entries; they never return.
void* SlaveHeartbeatThread(void*);
void* SlaveTimeSyncThread(void*);

// The same loops, ending once `stop` is set (tests).
void SlaveHeartbeatLoop(const std::atomic<bool>* pStop);
// When the beat after the one due at `u64DueUs` (0: none yet) is due, it being `u64NowUs` (monotonic
// microseconds): 100 ms on, or 100 ms from now after a stall.
uint64_t SlaveNextBeatUs(uint64_t u64DueUs, uint64_t u64NowUs);
void SlaveTimeSyncLoop(const std::atomic<bool>* pStop);
