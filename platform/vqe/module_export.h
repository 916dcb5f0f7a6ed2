// How a module library exports its work-handle table: a processor type T with a constructor
// T(sample rate, init's parameter block) that throws std::exception on bad input, and
// int Process(VQE_BUF_DESC_S* in, VQE_BUF_DESC_S* out), becomes the three entry points.
#pragma once

#include <exception>
#include <new>

#include "sdk/audio/vqe/vqe_module.h"

namespace varnelle::vqe {

template <typename T>
MK_S32 ModuleInit(MK_VOID** phInst, MK_S32 rate, MK_VOID* param) {
    if (phInst == nullptr) return -1;
    *phInst = nullptr;
    if (rate < 8000 || rate > 96000) return -1;
    try {
        *phInst = new T(rate, param);
    } catch (const std::exception&) {
        return -1;
    }
    return 0;
}

template <typename T>
MK_S32 ModuleProcess(MK_VOID* hInst, VQE_BUF_DESC_S* in, VQE_BUF_DESC_S* out) {
    if (hInst == nullptr || in == nullptr || out == nullptr || in->pData == nullptr || out->pData == nullptr) {
        return -1;
    }
    return static_cast<T*>(hInst)->Process(in, out);
}

template <typename T>
MK_S32 ModuleRelease(MK_VOID* hInst) {
    delete static_cast<T*>(hInst);
    return 0;
}

// The parameter block of the module's own kind that the engines hand over, or null.
template <typename Block>
const Block* ModuleBlock(MK_VOID* param) {
    auto* p = static_cast<const VQE_MODULE_PARAM_S*>(param);
    return p != nullptr ? static_cast<const Block*>(p->pParam) : nullptr;
}

}  // namespace varnelle::vqe

#define VQE_EXPORT_MODULE(NAME, TYPE)                                                                  \
    extern "C" {                                                                                      \
    __attribute__((visibility("default"))) extern AUDIO_WORK_HANDLE_S g_Audio_##NAME##_WorkHandle;     \
    AUDIO_WORK_HANDLE_S g_Audio_##NAME##_WorkHandle = {#NAME, 1, &varnelle::vqe::ModuleInit<TYPE>,      \
                                                       &varnelle::vqe::ModuleProcess<TYPE>,             \
                                                       &varnelle::vqe::ModuleRelease<TYPE>};            \
    }                                                                                                 \
    static_assert(true, "")
