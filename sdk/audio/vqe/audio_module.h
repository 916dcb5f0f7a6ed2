// Loading the audio processing modules: "lib<prefix>_<name>.so" opened with dlopen (found through the
// executable's run path), its work-handle table "g_Audio_<name>_WorkHandle" looked up, and the three
// entry points kept. Loading and unloading run under one process-wide mutex.
#pragma once

#include "sdk/audio/vqe/vqe_module.h"
#include "sdk/common/mk_type.h"

// A loaded module as its caller keeps it.
typedef struct {
    MK_CHAR acName[VQE_MODULE_NAME_LEN];  // the table's name
    MK_VOID* pLibHandle;
    VQE_INIT_FN pfnInit;
    VQE_PROCESS_FN pfnProcess;
    VQE_RELEASE_FN pfnRelease;
} AUDIO_MODULE_S;

// 0, or -1 when the library, its table or one of the entry points is missing (nothing stays loaded).
MK_S32 AUDIO_LoadModule(AUDIO_MODULE_S* pstModule, const MK_CHAR* pszPrefix, const MK_CHAR* pszName);
// Closes the module's library and clears the record; 0 (also for a record that holds none).
MK_S32 AUDIO_UnloadModule(AUDIO_MODULE_S* pstModule);

// The dynamic loader's three calls as the loader makes them.
MK_VOID* AUDIO_Dlopen(const MK_CHAR* pszFile, MK_S32 s32Mode);
MK_VOID* DL_MK_Audio_Dlsym(MK_VOID* pLibHandle, const MK_CHAR* pszSymbol);
MK_S32 DL_MK_Audio_Dlclose(MK_VOID* pLibHandle);

// Modules loaded and not yet unloaded in this process.
MK_S32 AUDIO_LoadedModuleCount(MK_VOID);
