// Any bytes as a decoder's stream: the first byte picks a built-in decoder, the rest is decoded frame
// by frame as a decoder channel would. No decode reads past the bytes it is given or writes past one
// frame's samples, each consumes what its header claims, and a refusal to consume means fewer bytes are
// left than the next frame holds.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "sdk/audio/adec/mpi_adec.h"
#include "sdk/audio/adp/audio_voice_adp.h"
#include "sdk/audio/codecs/voice_codec.h"

namespace {

using OpenFn = MK_S32 (*)(MK_VOID*, MK_VOID**);
using DecodeFn = MK_S32 (*)(MK_VOID*, MK_U8**, MK_S32*, MK_U16*, MK_U32*, MK_U32*);
using CloseFn = MK_S32 (*)(MK_VOID*);

struct Decoder {
    OpenFn open;
    DecodeFn decode;
    CloseFn close;
    MK_U32 word;
    bool lpcm;
};

const Decoder kDecoders[] = {
    {OpenLPCMDecoder, DecodeLPCMFrm, CloseLPCMDecoder, 0, true},
    {OpenG711ADecoder, DecodeG711AFrm, CloseG711ADecoder, 0, false},
    {OpenG711UDecoder, DecodeG711UFrm, CloseG711UDecoder, 0, false},
    {OpenADPCMDecoder, DecodeADPCMFrm, CloseADPCMDecoder, ADPCM_TYPE_DVI4, false},
    {OpenADPCMDecoder, DecodeADPCMFrm, CloseADPCMDecoder, ADPCM_TYPE_IMA, false},
    {OpenADPCMDecoder, DecodeADPCMFrm, CloseADPCMDecoder, ADPCM_TYPE_ORG_DVI4, false},
    {OpenG726Decoder, DecodeG726Frm, CloseG726Decoder, G726_16K, false},
    {OpenG726Decoder, DecodeG726Frm, CloseG726Decoder, G726_24K, false},
    {OpenG726Decoder, DecodeG726Frm, CloseG726Decoder, G726_32K, false},
    {OpenG726Decoder, DecodeG726Frm, CloseG726Decoder, G726_40K, false},
    {OpenG726Decoder, DecodeG726Frm, CloseG726Decoder, G726_16K_MSB, false},
    {OpenG726Decoder, DecodeG726Frm, CloseG726Decoder, G726_40K_MSB, false},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const Decoder& d = kDecoders[data[0] % (sizeof(kDecoders) / sizeof(kDecoders[0]))];
    // The stream in a block of exactly its size, so a read past it shows.
    std::vector<MK_U8> stream(data + 1, data + size);
    MK_U32 word = d.word;
    MK_VOID* h = nullptr;
    if (d.open(&word, &h) != MK_SUCCESS) std::abort();
    MK_U8* in = stream.data();
    MK_S32 left = static_cast<MK_S32>(stream.size());
    // A decoded frame's room: one frame of the engine, or the whole stream for LPCM.
    const size_t room = d.lpcm ? stream.size() / 2 + 1 : VOICE_MAX_DECODE_SAMPLES;
    while (left > 0) {
        std::vector<MK_U16> out(room);
        MK_U8* before = in;
        const MK_S32 wasLeft = left;
        MK_U32 outLen = 0, chns = 0;
        const MK_S32 ret = d.decode(h, &in, &left, out.data(), &outLen, &chns);
        if (chns != 1) std::abort();
        if (ret == MK_ERR_ADEC_BUF_LACK) {
            // Nothing moves, and the next frame really is longer than what is left.
            if (in != before || left != wasLeft) std::abort();
            if (left >= 4 && (before[2] + 2) * 2 <= left) std::abort();
            break;
        }
        if (d.lpcm) {
            if (ret != MK_SUCCESS || left != 0 || outLen != static_cast<MK_U32>(wasLeft) ||
                std::memcmp(out.data(), before, outLen) != 0) {
                std::abort();
            }
            break;
        }
        const MK_S32 frame = (before[2] + 2) * 2;
        if (in != before + frame || left != wasLeft - frame) std::abort();
        if (outLen > 2 * VOICE_MAX_DECODE_SAMPLES || (ret != MK_SUCCESS && outLen != 0)) std::abort();
    }
    d.close(h);
    return 0;
}
