// The receivers of the master's shared buffers: one decoder-stream thread per decoder slot (command
// 16), which joins fragments into whole frames and hands each frame to the decoder, and the OSD-buffer
// thread (command 58), which hands ready-made title records to the title module. Each thread owns its
// slot's receiver and, for a decoder slot, the 2 MiB frame buffer that command 16 made for it.
//
// What the master sends is checked before it is used. A decoder-slot notice is refused when its
// offsets leave the buffer, its fragment's data runs past the notice's end, its channel has no record
// (48 and above) or the frame would outgrow the frame buffer: the frame being joined is dropped and the
// notice acknowledged with the offsets it carried; the frame's remaining fragments are dropped up to
// and including its last (when the refused fragment's header cannot be read, up to the next last).
// A message of another type on the notice port is dropped without an acknowledgement.
//
// A frame in one fragment goes to the decoder from the shared buffer where it lies; the fragments of a
// longer frame are copied once into the frame buffer, which goes to the decoder whole.
//
// A frame the decoder refuses is retried every 10 ms while the decoder is full or not receiving, the
// channel's playback record is running and the slot runs; every other refusal drops it at once. Each
// fragment is acknowledged once the frame it belongs to is taken or dropped.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "app/osd/osd_title.h"
#include "app/pci/pciv_chip.h"
#include "app/pci/pciv_trans.h"

#define PCIV_VDEC_FRAME_BUF 0x200000u  // a slot's frame buffer: the largest frame

// What a decoder-stream thread works with (the slot's pThreadData).
struct PcivVdecRecv {
    uint8_t* pu8Frame;
    uint32_t u32Assembled;
    bool bBroken;  // a fragment of the frame being joined was refused: drop up to its last
    // Counters (test view).
    std::atomic<uint64_t> u64Frames{0};    // taken by the decoder
    std::atomic<uint64_t> u64Dropped{0};   // frames dropped (refused by the decoder, or broken)
    std::atomic<uint64_t> u64Refused{0};   // notices refused
    std::atomic<uint64_t> u64Retries{0};   // sends retried
};

// Installs the two threads into the command handlers of 16 and 58 (from AppRegisterModules).
void SlaveRegisterReceivers();

// The thread bodies and the decoder slot's prepare/free functions (SlaveSetVdecStreamThread).
void* SlaveVdecStreamThread(void* pSlot);
void* SlaveOsdBufferThread(void* pSlot);
void* SlaveVdecStreamPrepare(PCIV_TRANS_CHN_S* pSlot);
void SlaveVdecStreamFree(void* pRecv);

// One notice, as the threads take it (`bRefused`: its offsets leave the buffer); acknowledged before
// it returns. For tests and fuzzing.
void PcivVdecTakeFragment(PCIV_TRANS_CHN_S* pSlot, PcivVdecRecv* pCtx, PCIV_TRANS_RECEIVER_S* pRecv,
                          const PCIV_TRANS_NOTICE_S& n, bool bRefused);
void PcivOsdTakeRecord(PCIV_TRANS_RECEIVER_S* pRecv, const PCIV_TRANS_NOTICE_S& n, bool bRefused);

// Where OSD title records go: the title module's CaptureSetTitleV2, set from its Register function.
// While none is set each record is acknowledged and dropped, with one line the first time.
void SlaveSetOsdTitleHook(CaptureSetTitleFn pfn);

// How the frame buffer is allocated and freed (null: malloc and free); tests make it fail.
void SlaveSetRecvBufAllocator(void* (*pfnAlloc)(size_t), void (*pfnFree)(void*));
