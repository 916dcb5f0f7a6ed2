// A stand-in processing module for engine tests, built once per module name (FAKE_NAME). It reports
// every init and process to the test program (FakeVqeEvent, exported by the test) and marks what it
// processes: out = in + its mark, so the test sees which modules ran on which samples. Built with
// FAKE_NO_TABLE it exports no work-handle table. An HPF given 150 Hz by the user and a
// compressor of five bands fail their init.
#include <cstdint>
#include <cstring>

#include "sdk/audio/vqe/vqe_module.h"

#define STR2(x) #x
#define STR(x) STR2(x)
#define CAT2(a, b, c) a##b##c
#define CAT(a, b, c) CAT2(a, b, c)

extern "C" void FakeVqeEvent(const char* module, const char* event, int a, int b, int c, const void* param);

namespace {

struct Inst {
    int16_t mark;
};

MK_S32 Init(MK_VOID** ph, MK_S32 rate, MK_VOID* param) {
    auto* p = static_cast<const VQE_MODULE_PARAM_S*>(param);
    FakeVqeEvent(STR(FAKE_NAME), "init", rate, p != nullptr ? p->s32ModeA : -1, p != nullptr ? p->s32ModeB : -1,
                 p != nullptr ? p->pParam : nullptr);
    // An HPF asked for 150 Hz by the user refuses to start.
    if (std::strcmp(STR(FAKE_NAME), "HPF") == 0 && p != nullptr && p->pParam != nullptr) {
        auto* h = static_cast<const VQE_HPF_CONFIG_S*>(p->pParam);
        if (h->bUsrMode == 1 && h->enHpfFreq == 150) return 0x1234;
    }
    // So does a compressor of five bands.
    if (std::strcmp(STR(FAKE_NAME), "MBC") == 0 && p != nullptr && p->pParam != nullptr &&
        static_cast<const VQE_MBC_CONFIG_S*>(p->pParam)->u32BandNum == 5) {
        return 0x1235;
    }
    *ph = new Inst{static_cast<int16_t>(FAKE_MARK)};
    return 0;
}

MK_S32 Process(MK_VOID* h, VQE_BUF_DESC_S* in, VQE_BUF_DESC_S* out) {
    auto* inst = static_cast<Inst*>(h);
    const int n = static_cast<int>(in->u32Bytes / 2);
    FakeVqeEvent(STR(FAKE_NAME), "process", static_cast<int>(in->u32Bytes), in->pDataR != nullptr,
                 in->pRefData != nullptr, nullptr);
    const int16_t* src = static_cast<const int16_t*>(in->pData);
    int16_t* dst = static_cast<int16_t*>(out->pData);
    for (int i = 0; i < n; ++i) dst[i] = static_cast<int16_t>(src[i] + inst->mark);
    if (in->pDataR != nullptr && out->pDataR != nullptr) {
        const int16_t* r = static_cast<const int16_t*>(in->pDataR);
        int16_t* o = static_cast<int16_t*>(out->pDataR);
        for (int i = 0; i < n; ++i) o[i] = static_cast<int16_t>(r[i] + 2 * inst->mark);
    }
    out->u32Bytes = in->u32Bytes;
    return 0;
}

MK_S32 Release(MK_VOID* h) {
    delete static_cast<Inst*>(h);
    return 0;
}

}  // namespace

#ifdef FAKE_NO_TABLE
// The entry points exist but no table names them.
extern "C" __attribute__((visibility("default"))) void* FakeVqeEntry(int i) {
    void* const entries[] = {reinterpret_cast<void*>(Init), reinterpret_cast<void*>(Process),
                             reinterpret_cast<void*>(Release)};
    return entries[i];
}
#else
extern "C" {
__attribute__((visibility("default"))) extern AUDIO_WORK_HANDLE_S CAT(g_Audio_, FAKE_NAME, _WorkHandle);
AUDIO_WORK_HANDLE_S CAT(g_Audio_, FAKE_NAME, _WorkHandle) = {STR(FAKE_NAME), 1, Init, Process, Release};
}
#endif
