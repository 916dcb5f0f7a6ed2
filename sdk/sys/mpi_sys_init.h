// Starting and stopping the media system as a whole: the in-process bind table, audio input, output,
// encoder and decoder, then the video encoder and the video decoder with its JPEG decode channels.
// The media set-up calls the stop, then the start; each module's init does nothing while it is up and
// its exit nothing while it is down. Above the modules it brings up, so apart from system control.
#pragma once

#include "sdk/common/mk_type.h"
#include "sdk/sys/sys_ioctl.h"

// Opens /dev/sys if needed and starts the media system, then the modules in order, stopping at the
// first that fails (nothing is undone). 0; the driver's code for the start; -1 after a module's
// failure; errno when /dev/sys cannot be opened. Stores the kernel's timer setting in g_s32HRTimer.
MK_S32 MK_MPI_SYS_Init(MK_VOID);
// Runs every module's exit (their results are not looked at), then stops the media system in the
// driver and returns its answer; errno when /dev/sys cannot be opened.
MK_S32 MK_MPI_SYS_Exit(MK_VOID);

// The kernel configuration: 0; 0xA0028006 for a null record; 0xA0028010 when the driver refuses.
MK_S32 MPI_SYS_GetKernelConfig(MK_SYS_KERNEL_CONFIG_S* pstConfig);
// The audio half of the start and stop: 0 or -1.
MK_S32 MPI_SYS_AudioInit(MK_VOID);
MK_S32 MPI_SYS_AudioExit(MK_VOID);
