#include "sdk/audio/aenc/mpi_aenc.h"

#include <mutex>

#include "sdk/audio/adp/audio_fault.h"
#include "sdk/audio/adp/audio_voice_adp.h"

using mk::audio::Fault;
using mk::audio::FaultFires;

namespace {

constexpr MK_U32 kFreeType = static_cast<MK_U32>(-1);

struct Registry {
    std::mutex mutex;  // guards the rest
    MK_U32 u32Count = 0;
    AENC_ENCODER_S astEncoder[AENC_MAX_ENCODER_NUM];

    Registry() { ClearLocked(); }
    void ClearLocked() {
        u32Count = 0;
        for (AENC_ENCODER_S& e : astEncoder) {
            e = AENC_ENCODER_S{};
            e.enType = kFreeType;
        }
    }
};

struct AencModule {
    bool bInit = false;
    std::mutex initMutex;  // serialises init and exit
    Registry registry;
};

AencModule& Aenc() {
    static auto* m = new AencModule;  // never destroyed: workers may run during exit
    return *m;
}

}  // namespace

MK_S32 MPI_AENC_Init(MK_VOID) {
    AencModule& m = Aenc();
    std::lock_guard<std::mutex> guard(m.initMutex);
    if (m.bInit) return MK_SUCCESS;
    if (FaultFires(Fault::kAencMutex)) return MK_ERR_AENC_NOMEM;
    {
        std::lock_guard<std::mutex> lock(m.registry.mutex);
        m.registry.ClearLocked();
    }
    AUDIO_RegisterEncoders();
    m.bInit = true;
    return MK_SUCCESS;
}

MK_S32 MPI_AENC_Exit(MK_VOID) {
    AencModule& m = Aenc();
    std::lock_guard<std::mutex> guard(m.initMutex);
    if (!m.bInit) return MK_SUCCESS;
    std::lock_guard<std::mutex> lock(m.registry.mutex);
    m.registry.ClearLocked();
    m.bInit = false;
    return MK_SUCCESS;
}

MK_S32 MPI_AENC_RegisterEncoder(MK_S32* ps32Handle, const AENC_ENCODER_S* pstEncoder) {
    if (ps32Handle == nullptr || pstEncoder == nullptr || pstEncoder->pfnOpenEncoder == nullptr ||
        pstEncoder->pfnEncodeFrm == nullptr || pstEncoder->pfnCloseEncoder == nullptr) {
        return MK_ERR_AENC_NULL_PTR;
    }
    Registry& r = Aenc().registry;
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.u32Count >= AENC_MAX_ENCODER_NUM) return MK_ERR_AENC_BUF_FULL;
    for (const AENC_ENCODER_S& e : r.astEncoder) {
        if (e.enType == pstEncoder->enType) return MK_ERR_AENC_BUF_FULL;
    }
    for (MK_S32 i = 0; i < AENC_MAX_ENCODER_NUM; ++i) {
        if (r.astEncoder[i].enType != kFreeType) continue;
        r.astEncoder[i] = *pstEncoder;
        *ps32Handle = i;
        ++r.u32Count;
        return MK_SUCCESS;
    }
    return MK_ERR_AENC_BUF_FULL;
}

MK_S32 MPI_AENC_UnRegisterEncoder(MK_S32 s32Handle) {
    if (static_cast<MK_U32>(s32Handle) >= AENC_MAX_ENCODER_NUM) return MK_ERR_AENC_ILLEGAL_PARAM;
    Registry& r = Aenc().registry;
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.u32Count == 0 || r.astEncoder[s32Handle].enType == kFreeType) return MK_ERR_AENC_BUF_EMPTY;
    r.astEncoder[s32Handle] = AENC_ENCODER_S{};
    r.astEncoder[s32Handle].enType = kFreeType;
    --r.u32Count;
    return MK_SUCCESS;
}
