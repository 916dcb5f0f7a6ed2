// /dev/aenc: the simulated audio encoder driver. It keeps the channels the SDK creates, hands their
// worker the frames of the audio input channel bound to each in the kernel (through the input
// driver), and serves the packets the SDK writes into the channel's stream buffer: the driver learns
// of new packets when the write tail is published, reads each slot's header from simulated RAM, hands
// packets out in order (waiting as the caller asks) and takes them back oldest first. By default the
// SDK encodes; a knob makes the driver answer that it encodes a payload type itself. The media
// system's exit drops every channel.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/dev/driver.h"
#include "sdk/audio/aenc/aenc_ioctl.h"

namespace varnelle::drivers {

// Registers the driver for /dev/aenc (once) with its reset hook.
void InstallAencDriver();

struct AencChnView {
    bool created;
    AENC_CHN_ATTR_S attr;  // pValue cleared
    bool kernelEncode;
    bool hasBuffer;
    AENC_STREAM_BUF_S buffer;
    uint64_t published;  // packets the SDK published
    uint64_t handed;     // packets handed out
    uint64_t released;   // packets given back
    uint32_t waiters;    // callers waiting for a packet
    AENC_DBG_INFO_S dbg;
    int dbgCount;
    uint64_t kernelFrames;  // frames the driver was asked to encode itself
    AUDIO_DUMPFILE_CFG_S dump;
};

class AencDriver : public dev::Driver {
public:
    AencDriver();
    ~AencDriver() override;

    static std::shared_ptr<AencDriver> Get();

    std::unique_ptr<dev::File> Open(int flags) override;
    void Release(dev::File& file) override;
    int Ioctl(dev::File& file, unsigned long request, void* arg) override;

    // Whether the driver answers that it encodes `type` itself.
    void SetKernelEncode(uint32_t type, bool kernel);
    // Makes the channel's next packet come out `delta` bytes off its true address (a faulty driver).
    void ShiftNextPacket(int chn, int32_t delta);

    AencChnView Channel(int chn) const;
    int CreatedChannels() const;

    // Drops every channel (the media system's exit).
    void Reset();

    struct State;

private:
    std::unique_ptr<State> m_state;
};

}  // namespace varnelle::drivers
