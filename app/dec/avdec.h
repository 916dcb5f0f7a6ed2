// Decode and playback: the decoder channels of this chip, the playback commands of the master and the
// decode feeding threads. The state is in app/dec/avdec_state.h.
#pragma once

#include <cstdint>

#include "app/fb/graphics.h"

// Installs the module's command handlers and hooks (from AppRegisterModules).
void AVdecRegister();

// Command 64: head words 0 to 5 of the playback block from payload words 0, 1, 2, 3, 5, 6, its head
// bytes 24 to 1987 from payload bytes 28 to 1991, and record p4 (checked below 48) from payload bytes
// 1992 to 2375. Only the image is written. Returns 0.
int32_t AVdecSetPlayParams(const uint8_t* pu8Payload);

// The display words the display settings write into the decode block.
void AVdecSetHeadWord(uint32_t u32Index, uint32_t u32Value);
void AVdecSetDisplayDefaults(const GraphicsDisplayDefaults* pDefaults);
// Once per process: every decode record up to the total channel count shown, hiding device 8, the
// rectangle scale from the image size, the fifth display default 3, display enabled. Returns 0.
int AVdecSetDefaults(uint32_t u32Vstd);
