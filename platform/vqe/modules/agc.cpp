// libvqe_AGC.so: automatic gain control, with the optional high-pass in front.
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

struct AgcModule {
    Agc agc;
    std::unique_ptr<HighPassFilter> hpf;
    static int ModeB(MK_VOID* param) {
        auto* p = static_cast<const VQE_MODULE_PARAM_S*>(param);
        return p != nullptr ? p->s32ModeB : 0;
    }
    AgcModule(MK_S32 rate, MK_VOID* param)
        : agc(AgcParams(ModuleBlock<VQE_AGC_CONFIG_S>(param), ModeB(param)), rate) {
        const double fc = AgcHighPass(ModuleBlock<VQE_AGC_CONFIG_S>(param));
        if (fc > 0) hpf = std::make_unique<HighPassFilter>(fc, rate);
    }
    int Process(VQE_BUF_DESC_S* in, VQE_BUF_DESC_S* out) {
        const int16_t* src = In(in);
        if (hpf) {
            hpf->Process(src, Out(out), Samples(in));
            src = Out(out);
        }
        agc.Process(src, Out(out), Samples(in));
        out->u32Bytes = in->u32Bytes;
        return 0;
    }
};

}  // namespace
}  // namespace varnelle::vqe

VQE_EXPORT_MODULE(AGC, varnelle::vqe::AgcModule);
