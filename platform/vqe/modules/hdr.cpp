// libvqe_HDR.so: the digital stand-in for microphone gain stepping.
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

struct Hdr {
    MicGainStepper stepper;
    Hdr(MK_S32 rate, MK_VOID* param) : stepper(HdrStepper(ModuleBlock<VQE_HDR_CONFIG_S>(param), rate)) {}
    int Process(VQE_BUF_DESC_S* in, VQE_BUF_DESC_S* out) {
        stepper.Process(In(in), Out(out), Samples(in));
        out->u32Bytes = in->u32Bytes;
        return 0;
    }
};

}  // namespace
}  // namespace varnelle::vqe

VQE_EXPORT_MODULE(HDR, varnelle::vqe::Hdr);
