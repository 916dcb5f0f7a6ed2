// A chain of loaded processing modules that runs frames of F samples through every module in turn,
// alternating between two internal buffers, the last module writing into the caller's output. Shared
// by the record and playback engines (and the record engine's extended chain).
#pragma once

#include "sdk/audio/vqe/audio_module.h"
#include "sdk/common/mk_type.h"

namespace mk::vqe {

#define VQE_CHAIN_MAX_SLOTS 10
#define VQE_CHAIN_MAX_FRAME 4096

struct ModuleSlot {
    MK_VOID* hInst = nullptr;
    VQE_MODULE_PARAM_S stParam{};
    AUDIO_MODULE_S stModule{};
};

class ModuleChain {
public:
    ModuleChain() = default;
    ModuleChain(const ModuleChain&) = delete;
    ModuleChain& operator=(const ModuleChain&) = delete;
    ~ModuleChain() { Release(); }

    // Loads one more module; -1 when it cannot be loaded or the chain is full (nothing added).
    MK_S32 Load(const char* name, MK_S32 modeA, MK_S32 modeB, MK_S32 workState, MK_VOID* param);
    // Inits every loaded module not yet initialised; 0, or the first failing init's code (its name in
    // *failed).
    MK_S32 InitAll(MK_S32 rate, const char** failed);
    // Loads and inits one module and adds it only when both succeed: 0, -1 when it cannot be loaded,
    // or the init's code.
    MK_S32 Append(const char* name, MK_S32 rate, MK_VOID* param);
    // Releases every instance and unloads every module.
    void Release();

    MK_S32 Count() const { return m_count; }
    const ModuleSlot& Slot(MK_S32 i) const { return m_slots[i]; }

    // Runs `count` samples (a multiple of `frame`) through the chain: in/out main, the second signal
    // (inR/outR, two-channel mode) and the echo reference (ref). No module copies. 0, or -1 when a
    // module fails. `volume` is handed to every module.
    MK_S32 Run(const MK_S16* in, const MK_S16* inR, const MK_S16* ref, MK_S16* out, MK_S16* outR, MK_S32 count,
               MK_S32 frame, MK_S32* volume);

    // Dump descriptors of the whole input, second input, output and second output (-1: none).
    MK_S32 dumpFd[4] = {-1, -1, -1, -1};

private:
    ModuleSlot m_slots[VQE_CHAIN_MAX_SLOTS];
    bool m_inited[VQE_CHAIN_MAX_SLOTS] = {};
    MK_S32 m_count = 0;
    MK_S16 m_buf[2][VQE_CHAIN_MAX_FRAME];
    MK_S16 m_bufR[2][VQE_CHAIN_MAX_FRAME];
};

}  // namespace mk::vqe
