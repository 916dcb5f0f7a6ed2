// The processing-group channel map: which processing group and group channel serve each video path
// (the chip's inputs, their second set, the decoders and the special groups). Command 96 builds it
// after the media system is up; capture, decode, split and display code read it.
#pragma once

#include <cstdint>

// The 22 words of the map, by use. A channel's input group is its number plus VPSS_MAP_IN_BASE, its
// second-set group its number plus VPSS_MAP_SEC_BASE.
enum {
    VPSS_MAP_IN_BASE = 0,          // first group of the chip's inputs
    VPSS_MAP_IN_END = 1,           // end of the inputs' groups
    VPSS_MAP_MAIN_CHN = 2,         // group channel feeding the main-stream encoder
    VPSS_MAP_SUB_CHN = 3,          // group channel feeding the sub-stream encoder
    VPSS_MAP_IN_LAST4_CHN = 4,     // last channel of an input group with four channels enabled
    VPSS_MAP_PREVIEW_CHN = 5,      // input group channel feeding the display
    VPSS_MAP_SEC_BASE = 6,         // first group of the second set
    VPSS_MAP_SEC_END = 7,          // end of the second set
    VPSS_MAP_SEC_CHN = 8,          // second-set group channel feeding the display (the one enabled)
    VPSS_MAP_DEC_PREVIEW_CHN = 9,  // decoder group channel feeding the display
    VPSS_MAP_DEC_BASE = 10,        // first decoder group
    VPSS_MAP_DEC_END = 11,         // end of the decoder groups
    VPSS_MAP_DEC_FIRST_CHN = 12,   // first channel enabled in a decoder group
    VPSS_MAP_SPECIAL0 = 13,        // the special groups
    VPSS_MAP_SPECIAL1 = 14,
    VPSS_MAP_SPECIAL_CHN = 15,     // special group channel feeding the display
    VPSS_MAP_SPECIAL2 = 16,
    VPSS_MAP_SPECIAL3 = 17,
    VPSS_MAP_GRP_CHN = 18,
    VPSS_MAP_WIDE_CHN = 19,        // group channel of the wide layout (written only by it)
    VPSS_MAP_DEV_TYPE = 20,        // the product type itself, kept with the map
    VPSS_MAP_WIDE_IN_BASE = 21,    // base of the inputs' extra groups in the wide layout (idem)
    VPSS_MAP_WORDS = 22,
};

typedef struct {
    int32_t as32Word[VPSS_MAP_WORDS];
} COMM_VPSS_CHN_MAP_S;

// Fills `pMap` for `s32ChnNum` inputs and `s32DecNum` decoders in the normal or wide layout; words
// 19 and 21 only in the wide one, word 20 never. Counts are held to 0..32 and 0..256.
void CommBuildVpssChnMap(int32_t s32ChnNum, int32_t s32DecNum, bool bWide, COMM_VPSS_CHN_MAP_S* pMap);

// Builds the map from the settings in force (command 96, after the base window); returns 0.
int32_t Comm_InitVpssChnMap();
// The map in place; only the command loop's thread (which alone writes it) may read through it.
const int32_t* Comm_GetVpssChnMap();
// A copy of the whole map, taken under the map's lock; any thread.
COMM_VPSS_CHN_MAP_S Comm_GetVpssChnMapCopy();
// Keeps word 20 equal to the product type (the settings store calls it).
void CommMapSetDevType(uint32_t u32DevType);
// Back to the map at load (tests).
void CommResetVpssChnMap();
