// The command handlers that belong to the command loop itself: window buffers, stream senders and
// receivers, the port map, the system parameters, display settings and the media channel operations.
// Register them with SlaveRegisterCmdHandlers before the loop starts.
#pragma once

#include <cstdint>

#include "app/comm/comm_records.h"
#include "app/pci/pciv_chip.h"
#include "app/pci/pciv_cmd.h"
#include "app/pci/pciv_proto.h"

// Master addresses become local by adding the window base; local addresses travel to the master with
// this added (mod 2^32).
#define PCIV_MASTER_WINDOW_OFFSET 0x60800000u
#define PCIV_DEFAULT_WINDOW_BASE 0x9f800000u
#define PLAY_CHN_REC_NUM 48

// ---- Hooks: the steps of these handlers that other modules carry out ----
//
// Each hook has its own setter, called by the module that owns the step from its Register function;
// AppRegisterModules (app/app_modules.cpp) calls every module's Register function once at start-up,
// before the command loop runs. A setter replaces only its own hook (null takes it out). A hook that
// is missing when its command runs prints one line naming it; an answered command then gives -1.
// Hooks run on the command loop's thread.

// Command 96, in this order: Comm_SetHvrCap with the capability record, SampleSysInit, then (only
// when the base window was read) Comm_InitVpssChnMap and HwSplitDevInit, and last SplitCreate, whose
// result is the command's status. A payload shorter than SLAVE_SYS_PARAM_S runs none of them.
typedef int32_t (*SlaveSetHvrCapFn)(const HVR_CAP_S* pCap);
typedef int32_t (*SlaveSysStepFn)();
void SlaveSetHvrCapHook(SlaveSetHvrCapFn pfn);
void SlaveSetSampleSysInitHook(SlaveSysStepFn pfn);
void SlaveSetInitVpssChnMapHook(SlaveSysStepFn pfn);
void SlaveSetHwSplitDevInitHook(SlaveSysStepFn pfn);
void SlaveSetSplitCreateHook(SlaveSysStepFn pfn);

// Commands 16 and 58: the thread that serves a receiver slot (SlaveVdecStreamThread for the decoder
// slots, SlaveOsdBufferThread for the OSD slot). The handler sets the slot up (receiver in pTrans,
// u32Arg, s32Running = 1) and starts the thread with the slot as its argument. The thread runs while
// s32Running is set and reads notices only with PCIV_Trans_GetDataTimeout (or GetData) on the slot's
// receiver, which returns as soon as the slot is stopped. A repeated command stops it (clears
// s32Running, requests the slot's stop, joins) before it starts the next one. Until the hook is set
// the commands answer -1: nothing would read the master's notices.
//
// The optional prepare function makes what the thread works with, on the command loop before the
// thread starts (kept in the slot's pThreadData): null there makes the command answer -1 with nothing
// set up. The free function releases it after the thread has been joined.
typedef void* (*SlaveSlotThreadFn)(void* pSlot);
typedef void* (*SlaveSlotPrepareFn)(PCIV_TRANS_CHN_S* pSlot);
typedef void (*SlaveSlotFreeFn)(void* pThreadData);
void SlaveSetVdecStreamThread(SlaveSlotThreadFn pfn, SlaveSlotPrepareFn pfnPrepare = nullptr,
                              SlaveSlotFreeFn pfnFree = nullptr);
void SlaveSetOsdBufferThread(SlaveSlotThreadFn pfn, SlaveSlotPrepareFn pfnPrepare = nullptr,
                             SlaveSlotFreeFn pfnFree = nullptr);

// Command 64: copies the playback parameters (2376 bytes) into the playback table; the record index
// (payload word 4) has been checked to be below 48, and the message to hold all 2376 bytes.
#define PLAY_PARAMS_LEN 2376u
typedef int32_t (*SlavePlayParamsFn)(const uint8_t* pu8Payload);
void SlaveSetPlayParamsHook(SlavePlayParamsFn pfn);

// Takes out every hook (tests).
void SlaveClearHooks();

// ---- Handlers and their helpers ----

// Installs the handlers of this module into the command table.
void SlaveRegisterCmdHandlers();
// Installs the handlers of the media channel operations (0, 1, 8, 45, 46, 47, 76, 77, 78, 81, 83).
void SlaveRegisterMediaCmdHandlers();
void SlaveRegisterVdecCmdHandlers();  // 78, called by the above

uint32_t PcivGetWindowBase();
void PcivSetWindowBase(uint32_t u32Base);


// Stops the slot's sender or receiver by the slot's lock order (see PCIV_TRANS_CHN_S) and frees its
// record. Command loop only.
void SlaveStopSender(PCIV_TRANS_CHN_S* pSlot);
void SlaveStopReceiver(PCIV_TRANS_CHN_S* pSlot);
// Bytes held for the slot's sender, which a repeated 10 or 11 replaced (held by the sender itself, or
// by the fetch thread for it), are dropped: counted in the slot and said in one line.
void SlaveDropHeld(PCIV_TRANS_CHN_S* pSlot, uint32_t u32Bytes);

// Command 96 around the pools it destroys: the running senders give their local buffers back, then
// take new ones from the new pools; their rings, ports and acknowledgement state stay. A sender that
// gets no buffer says so in one line naming the command that restores its stream (10 or 11); its
// frames are dropped meanwhile. Command loop only.
void SlaveReleaseSenderBuffers();
void SlaveTakeSenderBuffers();

// Closes the encoded-video notice and acknowledgement ports and the time-set port; returns 0.
int SlaveCloseMsgPorts();

int32_t SlaveStartPciv(PCIV_MSG_S* pMsg);
int32_t SlaveStopPciv(PCIV_MSG_S* pMsg);
