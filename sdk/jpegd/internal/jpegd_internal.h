// What the decode channels share with their registration and their tests.
#pragma once

#include <pthread.h>

#include "sdk/vdec/vdec_jpeg.h"

namespace mk::jpegd {

// The channel operations the video decoder module calls.
extern const VdecJpegOps kJpegdOps;

// How the module starts its two threads; tests put in one that fails. Null restores pthread_create.
using ThreadStarter = int (*)(pthread_t* thread, void* (*body)(void*), void* arg);
void SetThreadStarter(ThreadStarter starter);

}  // namespace mk::jpegd
