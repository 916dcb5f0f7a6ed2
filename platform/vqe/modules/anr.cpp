// libvqe_ANR.so and libvqe_RNR.so: short-time spectral noise reduction, in 10 ms hops (one hop of delay
// more for blocks that are not whole hops).
#include <memory>
#include <stdexcept>

#include "platform/vqe/module_export.h"
#include "platform/vqe/vqe_params.h"
#include "platform/vqe/vqe_reblock.h"

namespace varnelle::vqe {
namespace {

inline int Samples(const VQE_BUF_DESC_S* in) { return static_cast<int>(in->u32Bytes / sizeof(int16_t)); }
inline const int16_t* In(const VQE_BUF_DESC_S* d) { return static_cast<const int16_t*>(d->pData); }
inline int16_t* Out(VQE_BUF_DESC_S* d) { return static_cast<int16_t*>(d->pData); }

template <bool kRecord>
struct Nr {
    NoiseReducer nr;
    Reblocker blocks;
    static NoiseReducer::Params Params(MK_VOID* param) {
        if constexpr (kRecord) {
            return RnrParams(ModuleBlock<VQE_RNR_CONFIG_S>(param));
        } else {
            return AnrParams(ModuleBlock<VQE_ANR_CONFIG_S>(param));
        }
    }
    Nr(MK_S32 rate, MK_VOID* param) : nr(Params(param), HopFor(rate), rate), blocks(HopFor(rate)) {}
    int Process(VQE_BUF_DESC_S* in, VQE_BUF_DESC_S* out) {
        const int16_t* signals[1] = {In(in)};
        blocks.Run(signals, Out(out), Samples(in), [this](const int16_t* const* s, int16_t* o) { nr.Process(s[0], o); });
        out->u32Bytes = in->u32Bytes;
        return 0;
    }
};

}  // namespace
}  // namespace varnelle::vqe

#ifdef VQE_RNR
VQE_EXPORT_MODULE(RNR, varnelle::vqe::Nr<true>);
#else
VQE_EXPORT_MODULE(ANR, varnelle::vqe::Nr<false>);
#endif
