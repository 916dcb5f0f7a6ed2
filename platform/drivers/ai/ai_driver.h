// /dev/ai: the simulated audio input driver. Three devices of up to 20 channels. An enabled device
// takes its frames from a private (Ex) pool of the video buffer pools made for it, with room in every
// block to widen 8-bit samples to 16 bits in place. An enabled channel captures frames that a test
// injects, or those of a generator (a sine, or the speech-like test signal) paced on the monotonic
// clock: the frame due is computed from the enable time and the frame period, and frames the pool has
// no room for are counted as missed. Frames carry microsecond time stamps and sequence numbers from 0.
//
// A captured frame waits for the caller (up to the channel's user depth; the oldest goes first) and
// for every audio encoder channel bound to the input in the kernel. While echo cancellation or the
// reference frame is on, each frame carries a reference from a ring of driver blocks recycled in
// order. The caller gives frames back by the record it was handed (a release must match the frame's
// track-0 address, pool, sequence number and time stamp, so a stale second release of a frame whose
// block has come round again is refused); blocks of the caller's own resampling pools come back by
// their address. Exit of the media system drops every channel and every held block.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/dev/driver.h"
#include "sdk/audio/ai/ai_ioctl.h"

namespace varnelle::drivers {

// Registers the driver for /dev/ai (once) with its reset hook.
void InstallAiDriver();

// What a channel captures by itself once enabled.
enum class AiSource { kNone, kSine, kSpeech };

// One frame a test hands the driver: the samples of each track as bytes in the device's width.
struct AiInjectFrame {
    std::vector<uint8_t> track0;
    std::vector<uint8_t> track1;        // stereo devices
    std::optional<uint64_t> timeStamp;  // else the capture time
    bool withRef = false;               // carries an echo reference (when the channel wants one)
    std::vector<uint8_t> ref;           // its samples; zeros when shorter
};

struct AiChnView {
    bool enabled;
    uint32_t depth;
    bool aec;
    bool refFrame;
    AI_AEC_AO_S aecAo;
    uint32_t queued;     // frames waiting for the caller
    uint32_t waiters;    // callers waiting in a get
    uint32_t held;       // frames the caller has and has not given back
    uint32_t boundHeld;  // frames the encoder channels hold
    uint64_t captured;
    uint64_t missed;   // frames the pool had no room for
    uint32_t refRing;  // reference blocks the driver keeps
    AI_RESMP_DBG_S resmp;
    AI_VQE_DBG_S vqe;
    int vqeCount;  // status records received
    int32_t volume;
    AUDIO_SAVE_FILE_INFO_S dump;
};

struct AiDevView {
    bool attrSet;
    bool enabled;
    AIO_ATTR_S attr;
    int pool;  // -1 while disabled
    uint32_t trackMode;
    uint32_t clkDir;
};

class AiDriver : public dev::Driver {
public:
    static constexpr uint32_t kMaxDepth = 30;
    static constexpr uint32_t kBlocksPerChn = 48;
    static constexpr uint32_t kBoundDepth = 8;  // frames queued for each bound encoder channel
    static constexpr uint32_t kRefRing = 4;

    AiDriver();
    ~AiDriver() override;

    // The registered driver (installs it on first use).
    static std::shared_ptr<AiDriver> Get();

    std::unique_ptr<dev::File> Open(int flags) override;
    void Release(dev::File& file) override;
    int Ioctl(dev::File& file, unsigned long request, void* arg) override;

    // Captures one frame now; 0, or the code a capture meets (channel not enabled, no block free,
    // samples longer than the device frame).
    int Inject(int dev, int chn, const AiInjectFrame& frame);
    // Makes the channel capture from a generator while it is enabled (level in dBFS for the sine, a
    // factor for the speech-like signal).
    void SetSource(int dev, int chn, AiSource source, double freqHz = 1000.0, double level = -6.0);
    // The generator's sample `index` (from the channel's enable) as 16-bit PCM.
    int16_t SourceSample(int dev, int chn, uint64_t index) const;

    AiChnView Channel(int dev, int chn) const;
    AiDevView Device(int dev) const;
    uint32_t HeldBlocks() const;  // frame blocks held by callers and encoder channels

    // The encoder driver's side: frames of the input bound to audio encoder channel `aencChn`.
    // 0 with the frame; MK_ERR_AI_BUF_EMPTY when none waits.
    int TakeBound(int aencChn, AUDIO_FRAME_RECORD_S* out);
    int ReleaseBound(int aencChn, const AUDIO_FRAME_RECORD_S& rec);
    // Gives back everything the encoder channel holds or has waiting.
    void DropBound(int aencChn);

    // Drops every device and channel and gives back every held block (the media system's exit).
    void Reset();

    struct State;

private:
    std::unique_ptr<State> m_state;
};

}  // namespace varnelle::drivers
