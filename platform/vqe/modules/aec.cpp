// libvqe_AEC.so: the echo canceller; the block's reference samples are the far end.
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

struct Aec {
    EchoCanceller aec;
    Reblocker blocks;
    Aec(MK_S32 rate, MK_VOID* param)
        : aec(AecParams(ModuleBlock<VQE_AEC_CONFIG_S>(param)), HopFor(rate), rate), blocks(HopFor(rate), 2) {}
    int Process(VQE_BUF_DESC_S* in, VQE_BUF_DESC_S* out) {
        const int16_t* signals[2] = {In(in), static_cast<const int16_t*>(in->pRefData)};
        blocks.Run(signals, Out(out), Samples(in),
                   [this](const int16_t* const* s, int16_t* o) { aec.Process(s[0], s[1], o); });
        out->u32Bytes = in->u32Bytes;
        return 0;
    }
};

}  // namespace
}  // namespace varnelle::vqe

VQE_EXPORT_MODULE(AEC, varnelle::vqe::Aec);
