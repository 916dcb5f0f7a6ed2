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
struct PCIV_TRANS_CHN_S {
    std::atomic<uint32_t> u32Arg{0};  // decoder channel of a decoder slot; 2 x range end for video
    pthread_t thread{};               // the slot's receiver thread, when bThreadValid
    bool bThreadValid = false;
    std::atomic<int32_t> s32Running{0};
    std::atomic<void*> pTrans{nullptr};  // PCIV_TRANS_SENDER_S or PCIV_TRANS_RECEIVER_S
    std::atomic<uint32_t> u32NoticePort{0};
    std::atomic<uint32_t> u32AckPort{0};
    // Held by whoever uses the record (the fetch thread of a sender, the command that replaces it),
    // so a record is never torn down under its user.
    std::mutex mtxTrans;
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
