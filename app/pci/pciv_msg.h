// Master link messages: the port table, the wait for the master, and whole-message reads and writes
// on the message channel. Every message user of the program goes through these operations.
#pragma once

#include <cstdint>

// The message header, 16 bytes little-endian on the wire.
typedef struct {
    uint32_t u32Target;
    uint32_t u32MsgType;
    uint32_t u32MsgLen;
    int32_t s32Result;
} PCIV_MSG_HEAD_S;
static_assert(sizeof(PCIV_MSG_HEAD_S) == 16);

#define PCIV_MSG_MAXLEN 4096

typedef struct {
    PCIV_MSG_HEAD_S stMsgHead;
    uint32_t au32Payload[PCIV_MSG_MAXLEN / 4];
} PCIV_MSG_S;
static_assert(sizeof(PCIV_MSG_S) == 4112);
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "wire records are read in place");

#define PCIV_MAX_CHIP 32
#define PCIV_MSGPORT_MIN 100
#define PCIV_MSGPORT_MAX 227
#define PCIV_MSGPORT_COMM 100

// Message types besides the command codes.
enum {
    PCIV_MSGTYPE_NOTIFY = 18,
    PCIV_MSGTYPE_FREE = 19,
    PCIV_MSGTYPE_CMDECHO = 22,
    PCIV_MSGTYPE_SETTIME = 23,
    PCIV_MSGTYPE_HEARTBEAT = 54,
};

// A stop request that wakes a reader at once. The reader's thread waits on its port and on this; any
// thread may request the stop. Not copyable: readers keep its address.
class PcivStop {
public:
    PcivStop();
    ~PcivStop();
    PcivStop(const PcivStop&) = delete;
    PcivStop& operator=(const PcivStop&) = delete;

    void Request();
    bool Requested() const;
    // Clears the request, before the stop is handed to a new reader.
    void Reset();
    // Readable while the stop is requested (for poll).
    int fd() const { return m_fd; }

private:
    int m_fd;
};

// Blocks until `target` is connected, then handshakes on port 1000. 0, or -1 when the device is
// missing.
int PCIV_WaitConnect(int target);
int PCIV_OpenMsgPort(int target, int port);
int PCIV_CloseMsgPort(int target, int port);
// Sends a ready message (header length + 16 bytes).
int PCIV_SendMsg(int target, int port, PCIV_MSG_S* pMsg);
// Builds the header and sends; lengths above 4096 are refused.
int PCIV_SendMsg(int target, int port, uint32_t u32Len, uint32_t u32Type, const void* pPayload);
// Reads one message and sets the header's length to the bytes read minus 16. Waits while none is
// queued; -1 when the port is closed meanwhile.
int PCIV_ReadMsg(int target, int port, PCIV_MSG_S* pMsg);
// As PCIV_ReadMsg, but gives up with PCIV_MSG_TIMEOUT after `timeoutMs` (below 0: no limit) or as soon
// as `pStop` (may be null) is requested, so a reader never waits past its stop. Several readers of one
// port may wait at once: each message goes to one of them, and the others go on waiting.
#define PCIV_MSG_TIMEOUT (-2)
int PCIV_ReadMsgTimeout(int target, int port, PCIV_MSG_S* pMsg, int timeoutMs, const PcivStop* pStop = nullptr);
// Drops what is queued on (target, port) without waiting; returns how many messages were dropped.
int PCIV_DrainMsgPort(int target, int port);

// Waits until `fd` is readable (1), the time is up or `pStop` is requested (0), or poll fails (-1).
// `timeoutMs` below 0 waits without limit.
int PCIV_WaitReadable(int fd, int timeoutMs, const PcivStop* pStop);

// The descriptor of an open port, or -1. Port descriptors are non-blocking: read them through the
// operations above.
int PCIV_PortFd(int target, int port);

// The title port word (set by command 86).
uint32_t PCIV_GetTitlePort();
void PCIV_SetTitlePort(uint32_t port);
