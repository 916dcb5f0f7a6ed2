// Processing groups: creation with channels and parameters by the group's place in the channel map
// (command 62, the encoder and decoder set-up), the enhancement switches of the input groups of a
// large configuration (command 84), noise parameters (command 48), a user-mode channel 0's size, and
// the picture-effect record no live path reaches.
#pragma once

#include <cstdint>

#include "sdk/common/mk_comm_video.h"
#include "sdk/vpss/vpss_ioctl.h"

// The 84-byte picture-effect record: an operation word, then values. Applied to the first input
// group: au8Attr to switch words 3 to 5, au8Param[0..5] to group parameter words 0 to 5.
typedef struct {
    uint32_t u32Op;         // 0: apply; other: read the default-parameter record back
    uint8_t au8Attr[3];     // group switch words 3, 4, 5
    uint8_t au8Param[7];    // group parameter words 0 to 6
    uint8_t au8Res[70];
} VPSS_EFFECT_S;
static_assert(sizeof(VPSS_EFFECT_S) == 84);

// The group attributes a new group gets (step 1 of its creation), on the settings in force.
VPSS_GRP_ATTR_S CommVpssGrpAttrFor(int32_t s32Grp, const SIZE_S* pstSize);
// The channels a new group enables, in order; their number (at most 4).
int32_t CommVpssGrpChns(int32_t s32Grp, int32_t* ps32Chns);
// The group range command 84 walks: [*ps32Begin, *ps32End).
void CommVpssInputRange(int32_t* ps32Begin, int32_t* ps32End);

// Creates, configures and starts group s32Grp for pictures of at most pstSize. 0, or -1 at the first
// failure (the group stays as far as it got).
int32_t Comm_VpssConfig(int32_t s32Grp, const SIZE_S* pstSize);
// Command 84: operation 1 switches the enhancement features of the input groups off, 0 restores
// them, others rewrite them unchanged. Nothing while word 9 is set or the large test fails. 0 or -1.
int32_t Comm_Vpss_Grop_Config(int32_t s32Op);
// Command 48: noise parameters of a group from the bytes of payload word 1. 0 or -1.
int32_t Comm_SetVpssParam(int32_t s32Grp, const uint8_t* pu8Param);
// The size of user-mode channel 0 of a group, for stream 0 on boards with 4M, 5M, 8M or 960P inputs;
// 0 otherwise. 0 or -1.
int32_t Comm_SetVpssChnParam(int32_t s32Grp, int32_t s32Stream, const SIZE_S* pstSize);
// Puts a group's channel in user mode at the given size in NV21 (read, change, write); the SDK's code.
MK_S32 CommVpssSetUserMode(int32_t s32Grp, int32_t s32Chn, uint32_t u32Width, uint32_t u32Height);
// Fills bytes 2 and 3 of the caller's noise-parameter record with the defaults and keeps them.
int32_t Comm_GetVpssDefParam(uint8_t* pu8Param);
// Operation 0 applies the record to the first input group; others copy the default-parameter record
// out. 0 or -1.
int32_t HwControlVideoVpssEffect(VPSS_EFFECT_S* pstEffect);
// The default-parameter record (tests).
VPSS_EFFECT_S CommVpssDefParam();
// Forgets the saved attribute copies and the default-parameter record (tests).
void CommResetVpssState();
