// libvqe_record.so: the record engine's one-module chain in record mode. Runs HDR, HPF, RNR, DRC, AGC
// and EQ (those its block opens, in that order) on each of one or two channels.
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

struct Channel {
    std::unique_ptr<MicGainStepper> hdr;
    std::unique_ptr<HighPassFilter> hpf;
    std::unique_ptr<NoiseReducer> rnr;
    std::unique_ptr<Reblocker> rnrBlocks;
    std::unique_ptr<Compressor> drc;
    std::unique_ptr<Agc> agc;
    std::unique_ptr<GraphicEq> eq;

    Channel(const VQE_RECORD_CONFIG_S& c, MK_S32 rate) {
        if (c.bHdrOpen) hdr = std::make_unique<MicGainStepper>(HdrStepper(&c.stHdrCfg, rate));
        if (c.bHpfOpen) hpf = std::make_unique<HighPassFilter>(HpfCutoff(&c.stHpfCfg), rate);
        if (c.bRnrOpen) {
            rnr = std::make_unique<NoiseReducer>(RnrParams(&c.stRnrCfg), HopFor(rate), rate);
            rnrBlocks = std::make_unique<Reblocker>(HopFor(rate));
        }
        if (c.bDrcOpen) drc = std::make_unique<Compressor>(DrcParams(&c.stDrcCfg), rate);
        if (c.bAgcOpen) agc = std::make_unique<Agc>(AgcParams(&c.stAgcCfg, c.bEqOpen ? 1 : 0), rate);
        if (c.bEqOpen) eq = std::make_unique<GraphicEq>(c.stEqCfg.s8GaindB, rate);
    }
    void Process(const int16_t* in, int16_t* out, int n) {
        std::copy(in, in + n, out);
        if (hdr) hdr->Process(out, out, n);
        if (hpf) hpf->Process(out, out, n);
        if (rnr) {
            const int16_t* s[1] = {out};
            rnrBlocks->Run(s, out, n, [this](const int16_t* const* x, int16_t* o) { rnr->Process(x[0], o); });
        }
        if (drc) drc->Process(out, out, n);
        if (agc) agc->Process(out, out, n);
        if (eq) eq->Process(out, out, n);
    }
};

struct Record {
    std::vector<Channel> channels;
    Record(MK_S32 rate, MK_VOID* param) {
        auto* c = ModuleBlock<VQE_RECORD_CONFIG_S>(param);
        if (c == nullptr || c->s32InChnNum < 1 || c->s32InChnNum > 2) throw std::invalid_argument("record block");
        for (int i = 0; i < c->s32InChnNum; ++i) channels.emplace_back(*c, rate);
    }
    int Process(VQE_BUF_DESC_S* in, VQE_BUF_DESC_S* out) {
        const int n = Samples(in);
        channels[0].Process(In(in), Out(out), n);
        if (channels.size() > 1) {
            if (in->pDataR == nullptr || out->pDataR == nullptr) return -1;
            channels[1].Process(static_cast<const int16_t*>(in->pDataR), static_cast<int16_t*>(out->pDataR), n);
        }
        out->u32Bytes = in->u32Bytes;
        return 0;
    }
};

}  // namespace
}  // namespace varnelle::vqe

VQE_EXPORT_MODULE(record, varnelle::vqe::Record);
