// The master's end of the link: bringing slave chips up (connect, command port, port map, system
// parameters), the time sent every 30 s, the heartbeats collected from every slave, and the command
// senders. No live path of the slave program calls it; a master-role build (the master simulator)
// does.
//
// Waiting senders read port 100 of each chip until a reply arrives. By default they wait for ever, as
// the link has always done; PcivHostSetReplyTimeout gives them a limit so a chip that never answers
// cannot hang the caller.
//
// The master's remote chips, port words and per-chip PF window bases live in the chip table
// (PCIV_CHIP_TABLE_S); its settings for command 96, the channel tables and the merged alarm bitmaps
// in PCIV_HOST_STATE_S.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "app/pci/pciv_chip.h"
#include "app/pci/pciv_msg.h"
#include "app/pci/pciv_proto.h"

// Words of SLAVE_PORT_MAP_S.
enum {
    PCIV_PORTMAP_VENC_NOTICE = 0,
    PCIV_PORTMAP_VENC_ACK = 1,
    PCIV_PORTMAP_JPEG_NOTICE = 2,
    PCIV_PORTMAP_JPEG_ACK = 3,
    PCIV_PORTMAP_VDEC_NOTICE = 4,  // + slot, 0 to 7
    PCIV_PORTMAP_VDEC_ACK = 12,    // + slot
    PCIV_PORTMAP_TIME = 20,
    PCIV_PORTMAP_HEARTBEAT = 21,
    PCIV_PORTMAP_TITLE = 22,  // also the OSD notice port
    PCIV_PORTMAP_OSD_ACK = 23,
};

// The 40-byte request record that PcivHostClearReq zeroes.
typedef struct {
    uint32_t au32Word[10];
} PCIV_HOST_REQ_S;
static_assert(sizeof(PCIV_HOST_REQ_S) == 40);

// A node of the master's capture list (148 bytes on the chip, where the link is 4 bytes); the last
// word goes to CapListFreeHook before the node is freed. Host memory only: never sent.
struct PCIV_HOST_LIST_NODE_S {
    PCIV_HOST_LIST_NODE_S* pNext;
    uint8_t au8Data[140];
    uint32_t u32HookWord;
};
struct PCIV_HOST_LIST_S {
    PCIV_HOST_LIST_NODE_S* pHead;
    uint32_t u32Count;
};

// Ports of the master's plan.
enum {
    PCIV_HOST_PORT_VENC_NOTICE = 101,
    PCIV_HOST_PORT_VENC_ACK = 102,
    PCIV_HOST_PORT_JPEG_NOTICE = 103,
    PCIV_HOST_PORT_JPEG_ACK = 104,
    PCIV_HOST_PORT_VDEC_BASE = 105,  // notice 105 + 2i, acknowledgement 106 + 2i
    PCIV_HOST_PORT_TIME = 121,
    PCIV_HOST_PORT_HEARTBEAT = 122,
    PCIV_HOST_PORT_TITLE = 123,
    PCIV_HOST_PORT_OSD_ACK = 124,
};

// The master's own settings and alarm state. Settings are written before the threads start; the
// bitmaps are written by the status thread and read by anyone.
struct PCIV_HOST_STATE_S {
    SLAVE_SYS_PARAM_S stSysParam;  // the master's own settings, sent by command 96
    uint8_t au8ChnEnable[32];      // blind alarms of disabled channels are cleared
    int32_t as32ChnMode[32];       // capture code per channel, from PcivHostAdaptViChnConfig
    std::atomic<uint32_t> u32Motion;
    std::atomic<uint32_t> u32Blind;
};

PCIV_HOST_STATE_S* PcivHostGetState();
// Back to load state: no remote chip, the master's port words 0, every channel enabled, bitmaps 0
// (tests, simulator).
void PcivHostResetState();
// Sets the chip table's remote chips (ids outside 0 to 31 are skipped). PcivEnumChip fills them from
// the message channel instead.
void PcivHostSetRemoteChips(const int32_t* ps32Ids, int count);

// Limit of a waiting sender's wait for each reply, and of the status thread's read of a heartbeat
// port. 0 or less waits for ever (the default).
void PcivHostSetReplyTimeout(int timeoutMs);
int PcivHostGetReplyTimeout();

// Ends every wait of the master for a reply, a message or a chip at once, and makes later ones give up
// without waiting, until PcivHostResetState: the master is going (a signal). Safe in a signal handler.
void PcivHostCancelWaits();
bool PcivHostWaitsCancelled();
// How many waits for a reply ended without one (none in time, or cancelled) since PcivHostResetState.
uint64_t PcivHostRepliesMissed();

// Reads one message from (chip, port): with a time-out below 0 until one arrives, with 0 only one
// already queued, otherwise -1 after `timeoutMs`; -1 at once when the port is not open.
int PcivHostReadMsg(int chip, int port, PCIV_MSG_S* pMsg, int timeoutMs);
// Drops what is queued on (chip, port) without waiting; returns how many messages were dropped.
int PcivHostDrainPort(int chip, int port);

// Waits until `chip` is connected or `timeoutMs` passes (0 or less: for ever). 0 or -1.
int PcivHostWaitChip(int chip, int timeoutMs);

// Set-up.
int Pciv_HostChipInit();
int PcivInitComm(int chip);
int PcivGetPfWin(int chip);
int PcivHostSendPortMap(int chip);
int PcivHostSendSysParams();

// Threads. Both run until PcivHostStopThreads, which also ends the status thread's wait for a heartbeat
// when the reply time-out is 0 (no limit).
void* PcivHostTimeSyncThread(void* arg);
void* PcivHostStatusThread(void* arg);
void PcivHostStopThreads();
// One pass of the time thread: the local (platform) time to every remote chip. The last send's result.
int PcivHostSendTime();
// The current platform time as the slave takes it.
SLAVE_TIME_S PcivHostLocalTime();
// One step of the status thread on the remote entry `index`: reads one message from its heartbeat
// port (waiting at most `timeoutMs`, 0 or less: until one comes or the threads are stopped) and merges
// a heartbeat. 1 with the heartbeat in `pBeat` (may be null), 0 for another message, -1 when nothing
// was read.
int PcivHostStatusStep(int index, int timeoutMs, SLAVE_HEARTBEAT_S* pBeat);
// Merges one slave's heartbeat into the master's bitmaps over its channel range.
void PcivHostMergeHeartbeat(const SLAVE_HEARTBEAT_S* pBeat);

// The generic senders. To every remote chip on port 100; the waiting form returns the last reply's
// result (0 with no chip), or -1 when a reply did not come in time. `pReply` (may be null) receives
// the last reply.
int PcivHostSendAll(uint32_t u32Code, const void* pPayload, uint32_t u32Len);
int PcivHostSendAllWait(uint32_t u32Code, const void* pPayload, uint32_t u32Len, PCIV_MSG_S* pReply);
// To one chip, waiting for its reply: the reply's result, or -1 (send failed, no reply in time).
int PcivHostSendChipWait(int chip, uint32_t u32Code, uint32_t u32Target, const void* pPayload,
                         uint32_t u32Len, PCIV_MSG_S* pReply);

// Command senders.
int PcivHostGraphicsSaveVstd(uint32_t u32Standard);
int PcivHostGraphicsSetResolution(uint32_t u32Width, uint32_t u32Height);
int PcivHostSplitStart(uint32_t u32Value);
int PcivHostSplitChnSet(const uint32_t au32Word[6], const uint8_t au8Data[256]);
int PcivHostCaptureCreate(uint32_t u32Chn);
int PcivHostCaptureStart(uint32_t a, uint32_t b);
int PcivHostCaptureSetVstd(uint32_t a, uint32_t b);
int PcivHostCaptureSetFormat(uint32_t a, uint32_t b, const uint8_t au8Format[12]);
int PcivHostCaptureStop(uint32_t a, uint32_t b);
int PcivHostCaptureForceIFrame(uint32_t a, uint32_t b);
int PcivHostCaptureSetCover(uint32_t a, uint32_t b, const uint32_t au32Rect[4]);
int PcivHostVdecChCreate(uint32_t u32Chn);
int PcivHostSendCmdWait(uint32_t u32Value);
int PcivHostAdaptViChnConfig(uint32_t u32Chn, uint32_t u32Mode, uint32_t u32Value);
int PcivHostMotionDetectSetParameter(uint32_t u32Chn, const uint8_t au8Param[84]);
int PcivHostMotionDetectCreate();
int PcivHostBlindDetectSetParameter(uint32_t u32Chn, const uint8_t au8Param[8]);
int PcivHostBlindDetectCreate();
// Command 0 (184 bytes) and command 1 (68 bytes, header target word 1) to one chip: 0 once a reply is
// read, -1 when none came in time.
int PcivHostSendBufWait(int chip, const void* pBuf184);
int PcivHostSendBufWait2(int chip, const void* pBuf68);
// Any message type to every chip on the title port; -1 while the title port is 0.
int PcivHostSendCmd(const void* pData, uint32_t u32Len, uint32_t u32Type);

void PcivHostClearReq(PCIV_HOST_REQ_S* pReq);
// Frees every node (malloc'ed), handing each node's last word to CapListFreeHook first.
void PcivHostFreeList(PCIV_HOST_LIST_S* pList);

// The board hook that a node's last word goes to; this board has nothing to release (0).
int CapListFreeHook(uint32_t u32Node);
