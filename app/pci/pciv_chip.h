// The chip table: this chip's id, the remote chips found by enumeration, the stream slots of the
// transport, and the words the master-side link code keeps. One instance for the process.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "app/pci/pciv_msg.h"
#include "app/pci/pciv_proto.h"

#define PCIV_PORTMAP_WORDS 24

// A stream slot. The ports are written by the command loop (port map) and read by the stream
// threads; the record pointer and running flag by the command loop and the slot's threads.
//
// Lock order. Whoever uses the record (a sender's fetch thread) holds mtxTrans for each step, checks
// s32Running in any retry (a full ring waiting for the master) and gives the lock up as soon as it
// reads 0. Whoever stops the slot (a repeated start command) clears s32Running and requests `stop`
// first, then takes mtxTrans only to take the record out, and joins threads without holding it. So a
// master that stops acknowledging can delay a repeated start by one step of the user, never for ever.
struct PCIV_TRANS_CHN_S {
    std::atomic<uint32_t> u32Arg{0};  // decoder channel of a decoder slot; 2 x range end for video
    pthread_t thread{};               // the slot's receiver thread, when bThreadValid (command loop only)
    bool bThreadValid = false;
    std::atomic<int32_t> s32Running{0};
    std::atomic<void*> pTrans{nullptr};  // PCIV_TRANS_SENDER_S or PCIV_TRANS_RECEIVER_S
    std::atomic<uint32_t> u32NoticePort{0};
    std::atomic<uint32_t> u32AckPort{0};
    // The port this side reads for the running record (a sender's acknowledgements, a receiver's
    // notices); 0 while stopped. No two readers may share one.
    std::atomic<uint32_t> u32ReadPort{0};
    std::mutex mtxTrans;
    // Requested when the slot stops: wakes the receiver thread's wait for a notice at once.
    PcivStop stop;
    // What the receiver thread works with (a decoder slot's frame buffer), made by the command before
    // the thread starts and freed with pfnThreadDataFree once the thread has been joined.
    std::atomic<void*> pThreadData{nullptr};
    void (*pfnThreadDataFree)(void*) = nullptr;
    // Bytes held unsent for senders that a repeated start command replaced (dropped, not sent).
    std::atomic<uint64_t> u64DroppedHeld{0};
};

struct PCIV_CHIP_TABLE_S {
    int32_t s32LocalId = 0;
    int32_t as32RemoteId[PCIV_MAX_CHIP] = {};
    uint32_t u32RemoteNum = 0;

    PCIV_TRANS_CHN_S stVencTrans;
    PCIV_TRANS_CHN_S stJpegTrans;
    PCIV_TRANS_CHN_S astChnTrans[PCIV_VDEC_SLOT_NUM];
    PCIV_TRANS_CHN_S stOsdTrans;

    // Master side only: its own port words (the port map it sends), its title, time-set and
    // heartbeat ports, and each chip's PF window base. The three ports are read by the master's
    // time and status threads while a new port map may be written.
    uint32_t au32HostPort[PCIV_PORTMAP_WORDS] = {};
    std::atomic<uint32_t> u32HostTitlePort{0};
    std::atomic<uint32_t> u32HostTimePort{0};
    std::atomic<uint32_t> u32HostHeartPort{0};
    uint32_t au32PfWinBase[PCIV_MAX_CHIP] = {};
};

PCIV_CHIP_TABLE_S* PcivGetChipTable();

// Fills the ids of the chip table from the message channel; 0, or -1 (ids left at -1, count 0).
int PcivEnumChip();

PCIV_TRANS_CHN_S* PcivGetVencTrans();
PCIV_TRANS_CHN_S* PcivGetJpegTrans();
// Decoder slot 0 to 7; null outside.
PCIV_TRANS_CHN_S* PcivGetChnTrans(int index);
PCIV_TRANS_CHN_S* PcivGetOsdTrans();
