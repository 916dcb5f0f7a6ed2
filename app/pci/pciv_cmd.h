// The command loop: reads the master's numbered commands from port 100 of chip 0, runs each code's
// handler and answers the codes that are answered, in the same buffer, with type 22.
//
// Handlers are registered by the modules that own them, before the loop starts. A code whose handler
// is not registered is logged as unavailable and answered (when answered) with status -1, or with
// the status the table fixes for it.
#pragma once

#include <cstdint>

#include "app/pci/pciv_msg.h"

#define PCIV_CMD_COUNT 97

// What a handler may set besides its status.
struct PcivCmdContext {
    uint32_t u32ReplyLen = 0;  // 0, 36 or 80
};

// Runs one command on the loop's buffer; returns the status that goes into the reply.
typedef int32_t (*PcivCmdHandler)(PCIV_MSG_S* pMsg, PcivCmdContext* pCtx);

// Installs the handler of `code` (0 to 96). Returns false for a code that has no handler in the table
// or is out of range.
bool PCIV_RegisterCmdHandler(uint32_t code, PcivCmdHandler handler);
// Removes every registered handler (tests).
void PCIV_ClearCmdHandlers();
// True when a handler is installed for `code` (fuzzing walks the table with it).
bool PCIV_CmdHasHandler(uint32_t code);

// True when a message of this type, read after its handler ran, is answered.
bool PCIV_CmdIsAnswered(uint32_t type);

// Runs the handler of the buffer's code and, by the reply rule, fills in the reply. Returns true when
// the buffer is to be sent back as the reply.
bool PCIV_RunCmd(PCIV_MSG_S* pMsg);

// Thread entry: the loop itself; never returns.
void* SlaveCmdThread(void* arg);
