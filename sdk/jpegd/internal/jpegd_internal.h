// What the decode channels share with their registration and their tests.
#pragma once

#include <pthread.h>

#include "sdk/jpegd/jpegd_ioctl.h"
#include "sdk/vdec/vdec_jpeg.h"

namespace mk::jpegd {

// The channel operations the video decoder module calls.
extern const VdecJpegOps kJpegdOps;

// How the module starts its two threads; tests put in one that fails. Null restores pthread_create.
using ThreadStarter = int (*)(pthread_t* thread, void* (*body)(void*), void* arg);
void SetThreadStarter(ThreadStarter starter);

// The lengths the parser gets of a picture lent by the driver: the stream less its 15-byte trailer, the
// second part only when some of the picture lies in it. False when nothing but trailer is left.
bool ParseLengths(const JPEGD_STREAM_S& stream, MK_U32* len1, MK_U32* len2);

// A channel's state, for tests: 5 free, 1 created, 3 being reset, 4 being destroyed.
int ChannelState(VDEC_CHN chn);

}  // namespace mk::jpegd
