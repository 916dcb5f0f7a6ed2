#include "sdk/audio/vqe/internal/vqe_chain.h"

#include <unistd.h>

#include <cstring>

namespace mk::vqe {
namespace {

void Dump(MK_S32 fd, const MK_S16* samples, MK_S32 n) {
    if (fd == -1 || samples == nullptr) return;
    ssize_t w = write(fd, samples, static_cast<size_t>(n) * sizeof(MK_S16));
    (void)w;  // a debug dump that cannot be written is not the caller's failure
}

}  // namespace

MK_S32 ModuleChain::Load(const char* name, MK_S32 modeA, MK_S32 modeB, MK_S32 workState, MK_VOID* param) {
    if (m_count >= VQE_CHAIN_MAX_SLOTS) return -1;
    ModuleSlot& slot = m_slots[m_count];
    slot = ModuleSlot{};
    if (AUDIO_LoadModule(&slot.stModule, VQE_MODULE_PREFIX, name) != 0) return -1;
    slot.stParam = VQE_MODULE_PARAM_S{modeA, modeB, workState, param, -1, -1};
    m_inited[m_count] = false;
    ++m_count;
    return 0;
}

MK_S32 ModuleChain::InitAll(MK_S32 rate, const char** failed) {
    for (MK_S32 i = 0; i < m_count; ++i) {
        if (m_inited[i]) continue;
        ModuleSlot& slot = m_slots[i];
        MK_S32 ret = slot.stModule.pfnInit(&slot.hInst, rate, &slot.stParam);
        if (ret != 0 || slot.hInst == nullptr) {
            slot.hInst = nullptr;
            if (failed != nullptr) *failed = slot.stModule.acName;
            return ret != 0 ? ret : -1;
        }
        m_inited[i] = true;
    }
    return 0;
}

MK_S32 ModuleChain::Append(const char* name, MK_S32 rate, MK_VOID* param) {
    if (Load(name, 0, 0, 0, param) != 0) return -1;
    MK_S32 ret = InitAll(rate, nullptr);
    if (ret != 0) {
        --m_count;
        AUDIO_UnloadModule(&m_slots[m_count].stModule);
        m_slots[m_count] = ModuleSlot{};
    }
    return ret;
}

void ModuleChain::Release() {
    for (MK_S32 i = m_count - 1; i >= 0; --i) {
        ModuleSlot& slot = m_slots[i];
        if (m_inited[i] && slot.hInst != nullptr) slot.stModule.pfnRelease(slot.hInst);
        AUDIO_UnloadModule(&slot.stModule);
        slot = ModuleSlot{};
        m_inited[i] = false;
    }
    m_count = 0;
}

MK_S32 ModuleChain::Run(const MK_S16* in, const MK_S16* inR, const MK_S16* ref, MK_S16* out, MK_S16* outR,
                        MK_S32 count, MK_S32 frame, MK_S32* volume) {
    if (m_count == 0) {
        std::memcpy(out, in, count * sizeof(MK_S16));
        if (inR != nullptr && outR != nullptr) std::memcpy(outR, inR, count * sizeof(MK_S16));
    } else {
        for (MK_S32 pos = 0; pos < count; pos += frame) {
            VQE_BUF_DESC_S src{};
            src.pData = const_cast<MK_S16*>(in + pos);
            src.pDataR = inR != nullptr ? const_cast<MK_S16*>(inR + pos) : nullptr;
            src.pRefData = ref != nullptr ? const_cast<MK_S16*>(ref + pos) : nullptr;
            src.ps32Volume = volume;
            src.u32Bytes = static_cast<MK_U32>(frame) * sizeof(MK_S16);
            for (MK_S32 m = 0; m < m_count; ++m) {
                const bool last = m == m_count - 1;
                VQE_BUF_DESC_S dst = src;
                dst.pData = last ? out + pos : m_buf[m % 2];
                dst.pDataR = inR == nullptr ? nullptr : (last ? outR + pos : m_bufR[m % 2]);
                const ModuleSlot& slot = m_slots[m];
                if (slot.stModule.pfnProcess(slot.hInst, &src, &dst) != 0) return -1;
                Dump(slot.stParam.s32DumpFd, static_cast<MK_S16*>(dst.pData), frame);
                Dump(slot.stParam.s32DumpFdR, static_cast<MK_S16*>(dst.pDataR), frame);
                dst.u32Bytes = src.u32Bytes;
                src = dst;
            }
        }
    }
    Dump(dumpFd[0], in, count);
    Dump(dumpFd[1], inR, count);
    Dump(dumpFd[2], out, count);
    Dump(dumpFd[3], outR, count);
    return 0;
}

}  // namespace mk::vqe
