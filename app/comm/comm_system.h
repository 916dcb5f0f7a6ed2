// Media system set-up: command 96's pools and system start (SampleSysInit), the decoder module pools
// of command 85, and the accessors of the encoder pools and system words.
#pragma once

#include <cstdint>

#include "app/comm/comm_sysplan.h"
#include "sdk/common/mk_comm_video.h"
#include "sdk/vb/vb_ioctl.h"

// Builds the pool plan of the settings in force, gives back the pool blocks the program holds
// (CommReleaseHeldBlocks), brings the system up on the common plan, creates the encoder pools and
// the decoder module pools, and has the stream senders take their buffers again (CommTakeHeldBlocks).
// Prints "SampleSysInit enter" first; failures are printed only. Returns 0.
int32_t SampleSysInit();
// Tears the system and every pool down, then sets the plan up and starts the system; 0 or -1.
int32_t SAMPLE_COMM_SYS_Init(const VB_CONF_S* pstVbConf);
// (Re)initialises the decoder module's common pools (user 4); 0 or -1.
int32_t SAMPLE_COMM_VDEC_InitModCommVb(const VB_CONF_S* pstModVbConf);
// Command 85: operation 1 sets the decoder module pools up for a count argument, 0 stops and resets
// every decoder channel that exists and waits until the pools can go; other operations do nothing.
// Does nothing while word 9 is set or the large test fails. 0 or -1.
int32_t Comm_Vdec_Manage_Vb(int32_t s32Op, int32_t s32Count);

// The decoder module's pool user id.
#define COMM_VDEC_VB_UID 4

// Whether a picture of the size fits in one block of the common pools in force, which capture and
// processing take every picture from (4:2:0, rows in steps of 16 bytes): a larger one is never made,
// and its input or stream goes dark. True while no pools are set up (command 96 makes them, and its
// system start drops what was configured before). The bytes it needs and the largest block there is
// go to the out words.
bool Comm_PicFitsPools(const SIZE_S& stSize, uint32_t* pu32Need, uint32_t* pu32Largest);

// The encoder pools of the last set-up: the main pool for even encoder channels, the sub pool for odd
// ones; VB_INVALID_POOLID when the plan has none or its creation failed. Any thread.
VB_POOL Comm_GetVencVbPool(int32_t s32VencChn);

// The system type word (the master-side sender's accessor).
uint32_t Comm_GetSysTypeHost();
// A settings word read as a flag or a picture-size code; nothing writes it, so it reads 0.
uint32_t Comm_GetSysFlag();
// Waits for the ready bit of each chip below the chip count (2), 10 ms a poll, at most 500 polls a
// chip, printing the elapsed seconds; returns 0.
int32_t Comm_WaitReadyBits();
// The ready-bit word and chip count Comm_WaitReadyBits reads.
void Comm_SetReadyBits(uint32_t u32Bits, uint32_t u32ChipNum);
