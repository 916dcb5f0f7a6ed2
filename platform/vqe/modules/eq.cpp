// libvqe_EQ.so: the ten-band graphic equaliser.
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

struct Eq {
    GraphicEq eq;
    static const int8_t* Gains(MK_VOID* param) {
        auto* c = ModuleBlock<VQE_EQ_CONFIG_S>(param);
        if (c == nullptr) throw std::invalid_argument("eq without gains");
        return c->s8GaindB;
    }
    Eq(MK_S32 rate, MK_VOID* param) : eq(Gains(param), rate) {}
    int Process(VQE_BUF_DESC_S* in, VQE_BUF_DESC_S* out) {
        eq.Process(In(in), Out(out), Samples(in));
        out->u32Bytes = in->u32Bytes;
        return 0;
    }
};

}  // namespace
}  // namespace varnelle::vqe

VQE_EXPORT_MODULE(EQ, varnelle::vqe::Eq);
