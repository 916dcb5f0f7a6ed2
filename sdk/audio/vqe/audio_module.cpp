#include "sdk/audio/vqe/audio_module.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "sdk/audio/vqe/vqe_debug.h"

namespace {

std::mutex& LoaderMutex() {
    static std::mutex* m = new std::mutex;  // never destroyed: modules may unload at exit
    return *m;
}
std::atomic<MK_S32> g_loaded{0};

// These libraries need libvqe_common.so as well, which the message names when they fail.
bool NeedsCommon(const char* file) {
    static const char* const kNames[] = {"libvqe_AEC.so", "libvqe_ANR.so", "libvqe_AGC.so", "libvqe_EQ.so"};
    for (const char* n : kNames) {
        if (std::strcmp(file, n) == 0) return true;
    }
    return false;
}

}  // namespace

MK_VOID* AUDIO_Dlopen(const MK_CHAR* pszFile, MK_S32 s32Mode) { return dlopen(pszFile, s32Mode); }

MK_VOID* DL_MK_Audio_Dlsym(MK_VOID* pLibHandle, const MK_CHAR* pszSymbol) {
    if (pLibHandle == nullptr) {
        VQE_ERR_TRACE("LibHandle is empty!");
        return nullptr;
    }
    void* sym = dlsym(pLibHandle, pszSymbol);
    if (sym == nullptr) {
        VQE_ERR_TRACE("%s", pszSymbol);
        const char* why = dlerror();
        std::fprintf(stderr, "MK_Audio_Dlsym Fail Msg is %s\n", why != nullptr ? why : "");
    }
    return sym;
}

MK_S32 DL_MK_Audio_Dlclose(MK_VOID* pLibHandle) {
    if (pLibHandle == nullptr) {
        VQE_ERR_TRACE("LibHandle is empty!");
        return -1;
    }
    return dlclose(pLibHandle);
}

MK_S32 AUDIO_LoadModule(AUDIO_MODULE_S* pstModule, const MK_CHAR* pszPrefix, const MK_CHAR* pszName) {
    if (pstModule == nullptr || pszPrefix == nullptr || pszName == nullptr) return -1;
    std::lock_guard<std::mutex> lock(LoaderMutex());
    char file[64];
    std::snprintf(file, sizeof(file), "lib%s_%s.so", pszPrefix, pszName);
    void* lib = AUDIO_Dlopen(file, RTLD_LAZY);
    if (lib == nullptr) {
        if (NeedsCommon(file)) {
            std::fprintf(stderr, "dlopen libvqe_common.so or %s failed\n", file);
        } else {
            std::fprintf(stderr, "dlopen %s failed\n", file);
        }
        const char* why = dlerror();
        if (why != nullptr) std::fprintf(stderr, "%s\n", why);
        return -1;
    }
    char symbol[64];
    std::snprintf(symbol, sizeof(symbol), "g_Audio_%s_WorkHandle", pszName);
    auto* table = static_cast<const AUDIO_WORK_HANDLE_S*>(DL_MK_Audio_Dlsym(lib, symbol));
    // A table without its entry points is as unusable as a missing one.
    if (table == nullptr || table->pfnInit == nullptr || table->pfnProcess == nullptr ||
        table->pfnRelease == nullptr) {
        DL_MK_Audio_Dlclose(lib);
        return -1;
    }
    std::memset(pstModule, 0, sizeof(*pstModule));
    std::memcpy(pstModule->acName, table->acName, strnlen(table->acName, VQE_MODULE_NAME_LEN - 1));
    pstModule->pLibHandle = lib;
    pstModule->pfnInit = table->pfnInit;
    pstModule->pfnProcess = table->pfnProcess;
    pstModule->pfnRelease = table->pfnRelease;
    g_loaded.fetch_add(1);
    return 0;
}

MK_S32 AUDIO_UnloadModule(AUDIO_MODULE_S* pstModule) {
    if (pstModule == nullptr) return 0;
    std::lock_guard<std::mutex> lock(LoaderMutex());
    if (pstModule->pLibHandle != nullptr) {
        DL_MK_Audio_Dlclose(pstModule->pLibHandle);
        g_loaded.fetch_sub(1);
    }
    std::memset(pstModule, 0, sizeof(*pstModule));
    return 0;
}

MK_S32 AUDIO_LoadedModuleCount(MK_VOID) { return g_loaded.load(); }
