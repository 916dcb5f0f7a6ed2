// The output side over any bytes: each input is a run of frames {16-bit length, bytes} that go once
// through AudioOutPutBuf (then its nodes to the decoder step) and once as a node of the decode module.
// Every decoder call must carry one whole 164-byte frame behind its voice header, and what is pending
// stays below one frame. No SDK: the decoder send is a checker, and the decoder is already A-law.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/audio/audio.h"
#include "app/audio/audio_internal.h"
#include "app/audio/audio_testing.h"

namespace {

int CheckSend(const uint8_t* p, uint32_t n) {
    if (n != AUDIO_SEND_LEN || p[0] != 0x00 || p[1] != 0x01 || p[2] != 0x50 || p[3] != 0x00) __builtin_trap();
    // Reads every byte, so a send from outside the buffer shows under ASan.
    uint32_t sum = 0;
    for (uint32_t i = 0; i < n; ++i) sum += p[i];
    return (sum & 0xFF) == 0x5A ? -1 : 0;  // now and then a failed send
}

void Handle(const std::vector<uint8_t>& node) {
    std::vector<uint8_t> copy(node);
    // A mu-law frame would remake the decoder through the SDK: keep the checker's decoder.
    if (copy.size() > 4 && copy[4] == AUDIO_CODEC_OUT_ULAW) copy[4] = AUDIO_CODEC_OTHER;
    AudioOutHandleNode(copy.empty() ? nullptr : copy.data(), static_cast<uint32_t>(copy.size()));
    if (AudioOutReassembly().Pending() >= AUDIO_PIECE_LEN) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    audio_testing::StoreSys(662, 0, 1);
    AudioSetDecoderSendForTest(CheckSend);
    if (!AudioOutReassembly().Init(AUDIO_REASM_SIZE)) std::abort();
    AudioState* s = AudioGetState();
    s->pOutList = BufListCreate(241);
    s->u32DecCreated = 1;
    s->u32DecType = AUDIO_PT_G711A;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    BufList* pList = AudioGetState()->pOutList.load();
    size_t pos = 0;
    while (pos + 2 <= size) {
        const size_t len = std::min<size_t>(static_cast<size_t>(data[pos]) | (static_cast<size_t>(data[pos + 1]) << 8),
                                            size - pos - 2);
        pos += 2;
        // Exactly the frame's bytes, so a read before or past them shows.
        const std::vector<uint8_t> frame(data + pos, data + pos + len);
        pos += len;
        AudioOutPutBuf(frame.empty() ? nullptr : frame.data(), static_cast<int32_t>(frame.size()));
        while (BufNode* n = BufListGet(pList)) {
            if (n->u32Used != AUDIO_HEAD_LEN + AUDIO_PIECE_LEN) __builtin_trap();
            Handle(std::vector<uint8_t>(n->pu8Aligned, n->pu8Aligned + n->u32Used));
            BufListFree(n);
        }
        Handle(frame);
    }
    return 0;
}
