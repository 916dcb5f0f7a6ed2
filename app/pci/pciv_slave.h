// The command handlers that belong to the command loop itself: window buffers, stream senders and
// receivers, the port map, the system parameters, display settings and the media channel operations.
// Register them with SlaveRegisterCmdHandlers before the loop starts.
#pragma once

#include <cstdint>

#include "app/pci/pciv_chip.h"
#include "app/pci/pciv_cmd.h"
#include "app/pci/pciv_proto.h"

// Master addresses become local by adding the window base; local addresses travel to the master with
// this added (mod 2^32).
#define PCIV_MASTER_WINDOW_OFFSET 0x60800000u
#define PCIV_DEFAULT_WINDOW_BASE 0x9f800000u
#define PLAY_CHN_REC_NUM 48

// What later modules plug into the handlers. Each is optional: a step whose hook is missing is
// skipped (or, for the playback table, the command is refused).
struct SlaveCmdHooks {
    // Command 96, in this order: the capability record, the media system set-up, then (after the
    // base window) the processing-channel map and the split device, and last the split module,
    // whose result is the command's status.
    int32_t (*pfnSetHvrCap)(const uint8_t* pu8Cap);
    int32_t (*pfnSampleSysInit)();
    int32_t (*pfnInitVpssChnMap)();
    int32_t (*pfnHwSplitDevInit)();
    int32_t (*pfnSplitCreate)();
    // Commands 16 and 58: start the slot's receiver thread once its receiver is set up. The thread
    // runs while the slot's s32Running is set, and the hook stores its id in the slot (thread,
    // bThreadValid) so a repeated command can stop it.
    int (*pfnStartVdecStream)(PCIV_TRANS_CHN_S* pSlot);
    int (*pfnStartOsdBuffer)(PCIV_TRANS_CHN_S* pSlot);
    // Command 64: copy the playback parameters (2376 bytes) into the playback table; the record
    // index (payload word 4) has been checked to be below 48.
    int32_t (*pfnSetPlayParams)(const uint8_t* pu8Payload);
};
void SlaveSetCmdHooks(const SlaveCmdHooks* pHooks);

// Installs the handlers of this module into the command table.
void SlaveRegisterCmdHandlers();
// Installs the handlers of the media channel operations (0, 1, 8, 45, 46, 47, 76, 77, 78, 81, 83).
void SlaveRegisterMediaCmdHandlers();
void SlaveRegisterVdecCmdHandlers();  // 78, called by the above

uint32_t PcivGetWindowBase();
void PcivSetWindowBase(uint32_t u32Base);

// Stops the slot's sender or receiver (thread first) and frees its record.
void SlaveStopSender(PCIV_TRANS_CHN_S* pSlot);
void SlaveStopReceiver(PCIV_TRANS_CHN_S* pSlot);

// Closes the encoded-video notice and acknowledgement ports and the time-set port; returns 0.
int SlaveCloseMsgPorts();

int32_t SlaveStartPciv(PCIV_MSG_S* pMsg);
int32_t SlaveStopPciv(PCIV_MSG_S* pMsg);
