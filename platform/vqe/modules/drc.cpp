// libvqe_DRC.so: a one-band compressor with a limiter.
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

struct Drc {
    Compressor comp;
    Drc(MK_S32 rate, MK_VOID* param) : comp(DrcParams(ModuleBlock<VQE_DRC_CONFIG_S>(param)), rate) {}
    int Process(VQE_BUF_DESC_S* in, VQE_BUF_DESC_S* out) {
        comp.Process(In(in), Out(out), Samples(in));
        out->u32Bytes = in->u32Bytes;
        return 0;
    }
};

}  // namespace
}  // namespace varnelle::vqe

VQE_EXPORT_MODULE(DRC, varnelle::vqe::Drc);
