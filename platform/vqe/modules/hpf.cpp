// libvqe_HPF.so: the high-pass filter.
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

struct Hpf {
    HighPassFilter filter;
    Hpf(MK_S32 rate, MK_VOID* param) : filter(HpfCutoff(ModuleBlock<VQE_HPF_CONFIG_S>(param)), rate) {}
    int Process(VQE_BUF_DESC_S* in, VQE_BUF_DESC_S* out) {
        filter.Process(In(in), Out(out), Samples(in));
        out->u32Bytes = in->u32Bytes;
        return 0;
    }
};

}  // namespace
}  // namespace varnelle::vqe

VQE_EXPORT_MODULE(HPF, varnelle::vqe::Hpf);
