// The stream transport. A sender collects data in a local buffer from the video buffer pools, copies
// it by DMA into a ring in the master's memory and sends a notice (type 18); its acknowledgement
// thread turns the master's type 19 messages into the ring's read position. A receiver maps a buffer
// the master fills through the PCIe window, waits for notices and acknowledges each piece.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "app/pci/pciv_chip.h"
#include "app/pci/pciv_proto.h"

class PcivMsgQueue;

// Written by one fetch thread (fill, write position, sequence, notices held) and by the acknowledgement
// thread (read position, last acknowledged, notices held). The words one thread writes and the other
// reads are atomic; the notices held are under their own lock.
// The local buffer (block, addresses, size, fill) changes only under the slot's lock, which the fetch
// thread holds while it writes: a set-up that destroys the pools swaps it (PCIV_Trans_ReleaseLocBuf,
// PCIV_Trans_TakeLocBuf) while the ring, the ports and the acknowledgement state stay.
struct PCIV_TRANS_SENDER_S {
    int32_t bInit = 0;
    int32_t s32Target = 0;
    uint32_t u32Blk = 0;
    uint8_t* pu8VirAddr = nullptr;
    uint32_t u32PhyAddr = 0;
    uint32_t u32LocSize = 0;
    uint32_t u32Fill = 0;
    uint32_t u32RemoteBase = 0;
    uint32_t u32RemoteSize = 0;
    std::atomic<uint32_t> u32ReadPos{0};
    std::atomic<uint32_t> u32WritePos{0};
    // The notices sent and not acknowledged yet, oldest first: disjoint pieces of the ring between the
    // read and write positions, so never more than the ring holds bytes.
    struct Held {
        uint32_t u32Start, u32End;
    };
    std::mutex mtxHeld;
    std::deque<Held> held;
    uint32_t u32NoticePort = 0;
    uint32_t u32AckPort = 0;
    pthread_t thread{};
    std::atomic<int32_t> s32Running{0};
    std::atomic<uint32_t> u32Seq{0};
    std::atomic<uint32_t> u32LastAck{0};
    // Acknowledgements refused (test view), and when the last line about them was printed.
    std::atomic<uint64_t> u64AckRefused{0};
    uint64_t u64AckSaidMs = 0;
    PcivStop stop;  // wakes the acknowledgement thread when the sender is torn down
    PcivStop started;  // lets the acknowledgement thread read (PCIV_Trans_StartSender)
    uint64_t u64Id = 0;  // names the sender: never 0, never another's
    // Between PCIV_Trans_ReleaseLocBuf and PCIV_Trans_TakeLocBuf: the buffer is being renewed.
    int32_t bLocRenewing = 0;
    // What the buffer held when it went, and what was written while it was away, until a new buffer
    // takes it (it leaves with the next send).
    std::vector<uint8_t> carried;
    // Names the local buffer: a new one for every buffer taken by any sender, never 0. A writer that
    // finds another name than the one it wrote into knows the buffer was renewed or the sender replaced.
    uint64_t u64LocGen = 0;
};

// Used by the one thread that reads the slot's notices.
struct PCIV_TRANS_RECEIVER_S {
    int32_t bInit = 0;
    int32_t s32Target = 0;
    uint8_t* pu8Addr = nullptr;
    uint32_t u32Size = 0;
    uint32_t u32NoticePort = 0;
    uint32_t u32AckPort = 0;
    uint32_t u32LastSeq = 0;
    uint32_t u32AckSeq = 0;
    // Set by whoever runs the receiver: the stop that ends its waits (the slot's), and, when its notice
    // port is the title port, the queue the title-port reader hands its notices to.
    const PcivStop* pStop = nullptr;
    PcivMsgQueue* pNoticeQueue = nullptr;
};

// Where the next `u32Len` bytes go in a ring of `u32Size` with read position `u32Read` and write
// position `u32Write`: 0 with the offset, or -1 when they do not fit (or exceed half the ring).
int Trans_RingOffset(uint32_t u32Size, uint32_t u32Read, uint32_t u32Write, uint32_t u32Len,
                     uint32_t* pu32Off);
int Trans_GetWriteOffset(PCIV_TRANS_SENDER_S* pSender, uint32_t u32Len, uint32_t* pu32Off);

// True when `msg` is an acknowledgement a sender of a ring of `u32RingSize` may take: type 19, a
// whole notice, start <= end <= ring size.
bool Trans_AckValid(const PCIV_MSG_S* pMsg, uint32_t u32RingSize);
// Takes one message read from the acknowledgement port. An acknowledgement that starts where the
// oldest notice held starts and ends where one of the notices held ends acknowledges every notice up
// to that one and moves the read position to its end; gaps and a master far behind are printed.
// Anything else moves nothing and is refused with -1: counted, and printed the first time and then at
// most once in ten seconds.
int PCIV_Trans_TakeAck(PCIV_TRANS_SENDER_S* pSender, const PCIV_MSG_S* pMsg);
// A type 18 notice whose offsets do not lie in the receiver's buffer: refused, but it can be
// acknowledged by the offsets it carries, so the master gets its space back.
#define PCIV_TRANS_REFUSED (-3)
// Anything else read from a notice port (another type, or too short to carry offsets): dropped and
// not acknowledged.
#define PCIV_TRANS_NOT_NOTICE (-4)
// Sorts one message read from the notice port (printing what it refuses): 0 for a notice inside the
// buffer, PCIV_TRANS_REFUSED for a type 18 notice outside it, PCIV_TRANS_NOT_NOTICE for anything else.
// *pNotice gets the notice as sent (zero for anything else); a notice of either kind counts in the
// sequence check.
int PCIV_Trans_CheckNotice(PCIV_TRANS_RECEIVER_S* pReceiver, const PCIV_MSG_S* pMsg, PCIV_TRANS_NOTICE_S* pNotice);
// Takes one message read from the notice port: 0 with the data's address and length inside the mapped
// buffer, or -1 (printed) for anything that is not such a notice.
int PCIV_Trans_TakeNotice(PCIV_TRANS_RECEIVER_S* pReceiver, const PCIV_MSG_S* pMsg, uint8_t** ppAddr,
                          uint32_t* pu32Len);

// PCIV_Trans_MakeSender, then PCIV_Trans_StartSender.
int PCIV_Trans_InitSender(const PCIV_TRANS_PARAM_S* pParam, PCIV_TRANS_SENDER_S** ppSender);
// Makes a sender (its local buffer, its acknowledgement thread, which reads nothing yet): 0, or -1
// (printed; with `bQuietNoBlock` a pool without a block for it is not) with nothing made.
int PCIV_Trans_MakeSender(const PCIV_TRANS_PARAM_S* pParam, PCIV_TRANS_SENDER_S** ppSender,
                          bool bQuietNoBlock = false);
// Lets the acknowledgement thread read, once no other reader of its port is left: what is queued on
// the port was sent before the sender started, and is dropped (with a line).
void PCIV_Trans_StartSender(PCIV_TRANS_SENDER_S* pSender);
// Stops the acknowledgement thread, releases the local buffer and frees the record.
void PCIV_Trans_DeInitSender(PCIV_TRANS_SENDER_S* pSender);
// The sender's local buffer: true while it has one.
bool PCIV_Trans_HasLocBuf(const PCIV_TRANS_SENDER_S* pSender);
// Gives the local buffer back to its pool, keeping what it holds (nothing is sent), and marks the
// buffer as being renewed. The sender keeps its ring, ports, positions, sequence numbers and
// acknowledgement thread. Nothing when it has no buffer. Caller holds the slot's lock.
void PCIV_Trans_ReleaseLocBuf(PCIV_TRANS_SENDER_S* pSender);
// Takes a local buffer as large as the ring from the pools as they are now, holding what the old one
// held: 0, or -1 (printed as in PCIV_Trans_InitSender) with the sender left without one. 0 at once
// when it has one. Caller holds the slot's lock.
int PCIV_Trans_TakeLocBuf(PCIV_TRANS_SENDER_S* pSender);
// Bytes written since the last send, in the buffer or carried while it has none.
uint32_t PCIV_Trans_HeldBytes(const PCIV_TRANS_SENDER_S* pSender);
int PCIV_Trans_GetLocBufFree(PCIV_TRANS_SENDER_S* pSender, uint32_t* pu32Free);
// Appends to the local buffer; while command 96 renews it, to what it carries (at most the ring's size).
int PCIV_Trans_WriteLocBuf(PCIV_TRANS_SENDER_S* pSender, const void* pData, uint32_t u32Len);
int PCIV_Trans_SendData(PCIV_TRANS_SENDER_S* pSender);
void* PCIV_Trans_SenderThread(void* pSender);

// PCIV_Trans_MapReceiver, then PCIV_Trans_MarkReceiver.
int PCIV_Trans_InitReceiver(const PCIV_TRANS_PARAM_S* pParam, PCIV_TRANS_RECEIVER_S** ppReceiver);
// Maps the master's buffer and makes the record, leaving the buffer as it is: 0, or -1 with nothing made.
int PCIV_Trans_MapReceiver(const PCIV_TRANS_PARAM_S* pParam, PCIV_TRANS_RECEIVER_S** ppReceiver);
// Marks the first word of the mapped buffer, once no other receiver reads it.
void PCIV_Trans_MarkReceiver(PCIV_TRANS_RECEIVER_S* pReceiver);
// Unmaps the master's buffer and frees the record; the caller has stopped the slot's thread.
void PCIV_Trans_DeInitReceiver(PCIV_TRANS_RECEIVER_S* pReceiver);
// Waits for the next notice: 0 with the data's address and length, or the read's failure. A message
// that is not a notice inside the buffer is refused with -1.
int PCIV_Trans_GetData(PCIV_TRANS_RECEIVER_S* pReceiver, uint8_t** ppAddr, uint32_t* pu32Len);
// As PCIV_Trans_GetData, giving PCIV_MSG_TIMEOUT after `timeoutMs` without a message or as soon as the
// receiver's stop is requested, so a slot's thread can look at its running flag.
int PCIV_Trans_GetDataTimeout(PCIV_TRANS_RECEIVER_S* pReceiver, uint8_t** ppAddr, uint32_t* pu32Len,
                              int timeoutMs);
int PCIV_Trans_ReleaseData(PCIV_TRANS_RECEIVER_S* pReceiver, const uint8_t* pAddr, uint32_t u32Len);
// Waits as PCIV_Trans_GetDataTimeout and gives the notice itself: the results of
// PCIV_Trans_CheckNotice, PCIV_MSG_TIMEOUT, or the read's failure.
int PCIV_Trans_GetNotice(PCIV_TRANS_RECEIVER_S* pReceiver, PCIV_TRANS_NOTICE_S* pNotice, int timeoutMs);
// Acknowledges [u32Start, u32End) by offsets, as ReleaseData does by address; returns 0.
int PCIV_Trans_AckOffsets(PCIV_TRANS_RECEIVER_S* pReceiver, uint32_t u32Start, uint32_t u32End);
