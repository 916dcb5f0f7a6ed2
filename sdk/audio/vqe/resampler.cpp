#include "sdk/audio/vqe/resampler.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "sdk/audio/vqe/vqe_debug.h"

namespace {

// Outputs RES writes for `n` more inputs after `phase` inputs (counted modulo the input rate).
MK_S32 OutputsFor(const RESAMPLER_S* r, MK_U64 phase, MK_S64 n) {
    const MK_U64 in = static_cast<MK_U64>(r->s32InRate);
    const MK_U64 out = static_cast<MK_U64>(r->s32OutRate);
    return static_cast<MK_S32>((phase + n) * out / in - phase * out / in);
}

// Runs RES on `n` inputs into `out`; the count written, or -1.
MK_S32 RunModule(RESAMPLER_S* r, MK_VOID* inst, const MK_S16* in, MK_S16* out, MK_S32 n) {
    if (n == 0) return 0;
    VQE_BUF_DESC_S src{};
    src.pData = const_cast<MK_S16*>(in);
    src.u32Bytes = static_cast<MK_U32>(n) * sizeof(MK_S16);
    VQE_BUF_DESC_S dst{};
    dst.pData = out;
    MK_S32 produced = r->stModule.pfnProcess(inst, &src, &dst);
    if (produced < 0 || produced != OutputsFor(r, r->u64Phase, n)) return -1;
    r->u64Phase = (r->u64Phase + static_cast<MK_U64>(n)) % static_cast<MK_U64>(r->s32InRate);
    return produced;
}

MK_S32 ProcessIn(RESAMPLER_S* r, const MK_S16* in, MK_S16* out, MK_S32 n, MK_S32* inOut) {
    if (r->hInst[RESAMPLER_SIDE_IN] == nullptr) return MK_ERR_RESAMPLER_ILLEGAL_PARAM;
    const MK_S32 ratio = r->s32Ratio;
    if (ratio != 0 && (n % ratio != 0 || r->s32CarryNum != 0)) {
        const MK_S32 total = r->s32CarryNum + n;
        if (total > RESAMPLER_WORK_SAMPLES) return MK_ERR_RESAMPLER_ILLEGAL_PARAM;
        std::memcpy(r->ps16Work, r->ps16Carry, r->s32CarryNum * sizeof(MK_S16));
        std::memcpy(r->ps16Work + r->s32CarryNum, in, n * sizeof(MK_S16));
        const MK_S32 keep = total % ratio;
        const MK_S32 feed = total - keep;
        MK_S32 produced = RunModule(r, r->hInst[RESAMPLER_SIDE_IN], r->ps16Work, out, feed);
        if (produced < 0) return MK_ERR_RESAMPLER_PROCESS;
        std::memcpy(r->ps16Carry, r->ps16Work + feed, keep * sizeof(MK_S16));
        r->s32CarryNum = keep;
        *inOut = produced;
        return MK_SUCCESS;
    }
    if (n > RESAMPLER_WORK_SAMPLES) return MK_ERR_RESAMPLER_ILLEGAL_PARAM;
    MK_S32 produced = RunModule(r, r->hInst[RESAMPLER_SIDE_IN], in, out, n);
    if (produced < 0) return MK_ERR_RESAMPLER_PROCESS;
    *inOut = produced;
    return MK_SUCCESS;
}

MK_S32 ProcessOut(RESAMPLER_S* r, const MK_S16* in, MK_S16* out, MK_S32 n, MK_S32* inOut, MK_S32 mode) {
    if (r->hInst[RESAMPLER_SIDE_OUT] == nullptr) return MK_ERR_RESAMPLER_ILLEGAL_PARAM;
    const MK_S32 wanted = *inOut;
    const MK_S32 carried = r->s32CarryNum;
    if (wanted < 0) return MK_ERR_RESAMPLER_ILLEGAL_PARAM;
    const MK_S32 predicted = OutputsFor(r, r->u64Phase, n);
    // The surplus must fit the carry buffer; checked before RES runs so a refusal changes nothing.
    if (carried + predicted - std::min(wanted, carried + predicted) > RESAMPLER_WORK_SAMPLES ||
        predicted > RESAMPLER_WORK_SAMPLES) {
        return MK_ERR_RESAMPLER_ILLEGAL_PARAM;
    }
    if (mode == RESAMPLER_MODE_OUT_EXACT && carried + predicted < wanted) {
        std::fprintf(stderr, "%d: Err: ReSampler_ProcessFrame Err, s32Ret is %d, s32ReadSample is %d\n", 309,
                     carried + predicted, wanted);
        return MK_ERR_RESAMPLER_PROCESS;
    }
    MK_S32 produced = RunModule(r, r->hInst[RESAMPLER_SIDE_OUT], in, r->ps16Work, n);
    if (produced < 0) return MK_ERR_RESAMPLER_PROCESS;
    const MK_S32 deliver = std::min(wanted, carried + produced);
    const MK_S32 fromCarry = std::min(deliver, carried);
    const MK_S32 fromWork = deliver - fromCarry;
    std::memcpy(out, r->ps16Carry, fromCarry * sizeof(MK_S16));
    std::memcpy(out + fromCarry, r->ps16Work, fromWork * sizeof(MK_S16));
    std::memmove(r->ps16Carry, r->ps16Carry + fromCarry, (carried - fromCarry) * sizeof(MK_S16));
    std::memcpy(r->ps16Carry + (carried - fromCarry), r->ps16Work + fromWork,
                (produced - fromWork) * sizeof(MK_S16));
    r->s32CarryNum = carried - fromCarry + produced - fromWork;
    *inOut = deliver;
    return MK_SUCCESS;
}

void FreeResampler(RESAMPLER_S* r) {
    for (MK_VOID*& inst : r->hInst) {
        if (inst != nullptr) r->stModule.pfnRelease(inst);
        inst = nullptr;
    }
    if (r->stModule.pLibHandle != nullptr) AUDIO_UnloadModule(&r->stModule);
    delete[] r->ps16Carry;
    delete[] r->ps16Work;
    delete r;
}

}  // namespace

MK_S32 Resampler_Create(RESAMPLER_S** ppstResampler, MK_S32 s32InRate, MK_S32 s32OutRate, MK_S32 s32Side) {
    if (ppstResampler == nullptr) return MK_ERR_RESAMPLER_ILLEGAL_PARAM;
    *ppstResampler = nullptr;
    if (s32InRate == s32OutRate || s32InRate < RESAMPLER_MIN_RATE || s32InRate > RESAMPLER_MAX_RATE ||
        s32OutRate < RESAMPLER_MIN_RATE || s32OutRate > RESAMPLER_MAX_RATE) {
        return MK_SUCCESS;
    }
    if (s32Side != RESAMPLER_SIDE_IN && s32Side != RESAMPLER_SIDE_OUT) {
        VQE_ERR_TRACE("Resample can't use param %d!\n", s32Side);
        return MK_ERR_RESAMPLER_ILLEGAL_PARAM;
    }
    auto* r = new (std::nothrow) RESAMPLER_S{};
    if (r == nullptr) {
        VQE_ERR_TRACE("Malloc ReSampler Fail!\n");
        return MK_ERR_RESAMPLER_NOMEM;
    }
    MK_S32 ret = AUDIO_LoadModule(&r->stModule, VQE_MODULE_PREFIX, "RES");
    if (ret != 0) {
        VQE_ERR_TRACE("Resample Module Init Fail!\n");
        delete r;
        return ret;
    }
    r->s32InRate = s32InRate;
    r->s32OutRate = s32OutRate;
    r->s32Side = s32Side;
    r->s32Ratio = s32InRate % s32OutRate == 0 ? s32InRate / s32OutRate : 0;
    VQE_RES_PARAM_S param{s32OutRate, 0, 1};
    ret = r->stModule.pfnInit(&r->hInst[s32Side], s32InRate, &param);
    if (ret != 0 || r->hInst[s32Side] == nullptr) {
        if (s32Side == RESAMPLER_SIDE_IN) VQE_ERR_TRACE("%d: Resampler_Init Fail.\n", 94);
        r->hInst[s32Side] = nullptr;
        FreeResampler(r);
        return MK_ERR_RESAMPLER_PROCESS;
    }
    // The input side carries at most ratio - 1 inputs; the output side the surplus of a call.
    const MK_S32 carry = s32Side == RESAMPLER_SIDE_IN ? std::max(r->s32Ratio - 1, 1) : RESAMPLER_WORK_SAMPLES;
    r->ps16Carry = new (std::nothrow) MK_S16[carry];
    r->ps16Work = new (std::nothrow) MK_S16[RESAMPLER_WORK_SAMPLES];
    if (r->ps16Carry == nullptr || r->ps16Work == nullptr) {
        VQE_ERR_TRACE(s32Side == RESAMPLER_SIDE_IN ? "Malloc pS16ReadCacheBuf Fail!\n" : "Malloc DQVE ReSamplerBuf Fail!\n");
        FreeResampler(r);
        return MK_ERR_RESAMPLER_NOMEM;
    }
    *ppstResampler = r;
    return MK_SUCCESS;
}

MK_S32 Resampler_Process(RESAMPLER_S* pstResampler, const MK_S16* ps16In, MK_S16* ps16Out, MK_S32 s32InNum,
                         MK_S32* ps32InOut, MK_S32 s32Mode) {
    if (pstResampler == nullptr || ps16Out == nullptr || ps32InOut == nullptr || (ps16In == nullptr && s32InNum != 0)) {
        return -1;
    }
    if (s32InNum < 0) return MK_ERR_RESAMPLER_ILLEGAL_PARAM;
    switch (s32Mode) {
        case RESAMPLER_MODE_IN:
            return ProcessIn(pstResampler, ps16In, ps16Out, s32InNum, ps32InOut);
        case RESAMPLER_MODE_OUT_EXACT:
        case RESAMPLER_MODE_OUT_PARTIAL:
            return ProcessOut(pstResampler, ps16In, ps16Out, s32InNum, ps32InOut, s32Mode);
        default:
            return MK_ERR_RESAMPLER_ILLEGAL_PARAM;
    }
}

MK_S32 Resampler_GetInputNum(const RESAMPLER_S* pstResampler, MK_S32 s32Wanted, MK_S32 s32Flag) {
    if (pstResampler == nullptr || s32Flag != 1) return 0;
    const MK_S64 left = static_cast<MK_S64>(s32Wanted) - pstResampler->s32CarryNum;
    if (left <= 0) return 0;
    MK_S64 need = static_cast<MK_S64>(pstResampler->s32InRate) * left / pstResampler->s32OutRate;
    if (pstResampler->s32Ratio == 0) need += 1;
    return static_cast<MK_S32>(need);
}

MK_S32 Resampler_GetOutputNum(const RESAMPLER_S* pstResampler, MK_S32 s32InNum) {
    if (pstResampler == nullptr) return -1;
    if (s32InNum <= 0) return 0;
    if (pstResampler->s32Side == RESAMPLER_SIDE_IN && pstResampler->s32Ratio != 0) {
        return (pstResampler->s32CarryNum + s32InNum) / pstResampler->s32Ratio;
    }
    return OutputsFor(pstResampler, pstResampler->u64Phase, s32InNum);
}

MK_S32 Resampler_Destroy(RESAMPLER_S* pstResampler) {
    if (pstResampler == nullptr) return -1;
    FreeResampler(pstResampler);
    return MK_SUCCESS;
}
