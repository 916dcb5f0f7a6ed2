// The title port (word 22 of the port map, 123 in the master's plan) carries the master's title
// messages (type 0 font name, type 1 title text) and, when command 58 names it as the OSD notice port,
// the OSD-buffer notices (type 18). Two readers of one port would each take and lose the other's
// messages, so one thread reads it and hands each message to the queue that claimed its type:
//
//   - a stream receiver whose notice port is the title port claims type 18 (the transport does this);
//   - every type nobody claimed goes to the title queue, which HwPCIV_ReadMessage reads: the title
//     thread keeps reading titles as it always has.
//
// The reader follows the title port word: it idles while the word is 0 and moves with a later port
// map. A message for a full queue is dropped and counted (the queue's first drop prints a line).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "app/pci/pciv_msg.h"

// A bounded queue of whole messages from one reader thread to one consumer thread. Put never blocks;
// Take waits with a time-out and a stop, like a port read.
class PcivMsgQueue {
public:
    explicit PcivMsgQueue(const char* pszName, size_t capacity = 256);
    ~PcivMsgQueue();
    PcivMsgQueue(const PcivMsgQueue&) = delete;
    PcivMsgQueue& operator=(const PcivMsgQueue&) = delete;

    // Copies the message in (header and its length of payload); false when the queue is full.
    bool Put(const PCIV_MSG_S* pMsg);
    // 0 with the oldest message, PCIV_MSG_TIMEOUT after `timeoutMs` (below 0: no limit) or once `pStop`
    // (may be null) is requested.
    int Take(PCIV_MSG_S* pMsg, int timeoutMs, const PcivStop* pStop = nullptr);
    size_t Size() const;
    uint64_t Dropped() const { return m_dropped.load(); }

private:
    const char* m_pszName;
    const size_t m_capacity;
    int m_readyFd;  // an eventfd counting the queued messages, so Take can poll it with a stop
    mutable std::mutex m_mutex;  // guards m_items
    std::deque<std::vector<uint8_t>> m_items;
    std::atomic<uint64_t> m_dropped{0};
};

// Messages of `u32Type` on the title port go to `pQueue` from now on; those still queued on the port
// were sent for whoever read them before and are dropped (with a line), the other types handed over as
// the reader does. False, with nothing changed, when a queue other than `pFrom` (may be null) has
// claimed the type. Any thread.
bool PCIV_TitlePortClaim(uint32_t u32Type, PcivMsgQueue* pQueue, const PcivMsgQueue* pFrom = nullptr);
// Gives the type back (only when `pQueue` still holds it); once this returns the reader no longer
// touches `pQueue`.
void PCIV_TitlePortRelease(uint32_t u32Type, PcivMsgQueue* pQueue);

// The next title message (a type nobody claimed), as a read of chip 0's title port: -1 at once while
// the title port word is 0, or (with a line) when it is outside the message ports or not open. Starts
// the reader when it is not running.
int HwPCIV_ReadMessage(PCIV_MSG_S* pMsg);
// As HwPCIV_ReadMessage, giving PCIV_MSG_TIMEOUT after `timeoutMs` or once `pStop` is requested.
int HwPCIV_ReadMessageTimeout(PCIV_MSG_S* pMsg, int timeoutMs, const PcivStop* pStop);

// The reader thread, started once by the master-link set-up (later calls do nothing). Stop joins it
// (tests).
void PCIV_TitlePortStart();
void PCIV_TitlePortStop();
// Title messages dropped because the title queue was full (test view).
uint64_t PCIV_TitlePortDropped();
