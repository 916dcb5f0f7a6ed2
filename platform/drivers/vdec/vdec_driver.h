// /dev/vdec: the simulated decoder driver. 64 channels, each with a stream buffer of the size its
// attributes give. H.264 and H.265 channels decode for real (vdec_codec.h) on a thread of their own:
// the thread takes the buffer's packets in order and puts the pictures out in display order, as
// semi-planar 4:2:0 frames (Cr first) in blocks of the decoder's module pools (user 4), else of the
// common pools. Each picture goes to the receivers bound to the channel (frame_router.h) and waits for
// GetFrame; a channel that nobody fetches from holds at most a few: unbound, the decoder then waits for
// GetFrame, as it waits for a free block; bound, the oldest unfetched picture gives way. While enough
// blocks are free the decoder writes a picture's luma straight into its block and keeps the blocks of
// its reference pictures, as the chip's decoder does. JPEG and MJPEG channels are vdec_jpeg.h's. Other
// payload types are not supported.
//
// Stop ends the taking of packets (what is buffered still decodes); reset drops the buffered stream,
// what the decoder holds and the unfetched pictures; destroy also drops what the user fetched. Both
// return once the decoder has let go of every block of the old stream.
//
// SendStream with time-out 0 refuses at once when the channel does not receive (0xA0058009) or its
// buffer is full (0xA005800F); -1 waits for room until the channel is stopped, reset or destroyed
// (each ends the wait with a refusal); a positive time-out waits at most that many milliseconds. A
// packet larger than the whole buffer is refused at once (0xA0058003).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/dev/driver.h"
#include "platform/drivers/vdec/vdec_journal.h"
#include "platform/drivers/vdec/vdec_jpeg.h"
#include "sdk/vdec/vdec_ioctl.h"

namespace varnelle::drivers {

// Registers the driver for /dev/vdec (once) and registers its reset hook.
void InstallVdecDriver();

// Pictures that start in one packet, counted from its NAL structure (Annex-B start codes): an H.264
// slice (types 1, 2 and 5) whose first_mb_in_slice is 0, or an H.265 slice segment (types 0-31) with
// first_slice_segment_in_pic_flag set. Start codes split across two packets are not joined.
uint32_t CountVdecFrames(uint32_t payloadType, const uint8_t* data, size_t len);

struct VdecChnView {
    bool created;
    bool receiving;
    bool userPicEnabled;
    VDEC_CHN_ATTR_S attr;
    uint32_t queuedBytes;    // in the stream buffer, the packet in decoding included
    uint32_t queuedFrames;
    uint32_t queuedPackets;
    bool decoding;           // the decoder is busy with a packet
    uint64_t receivedFrames;
    uint64_t decodedFrames;  // pictures out of the decoder
    uint64_t streamErrors;
    uint64_t droppedPics;
    uint32_t queuedPics;     // waiting for GetFrame
    uint32_t fetchedPics;    // fetched and not given back
    int waiters;  // callers blocked in the channel (sending, or waiting for a picture)
};

class VdecDriver : public dev::Driver {
public:
    static constexpr uint32_t kMaxBufSize = 64u << 20;  // largest stream buffer
    static constexpr uint32_t kMaxPicSize = 8192;       // largest picture side; 0 in the attributes means it

    VdecDriver();
    ~VdecDriver() override;

    // The registered driver (installs it on first use).
    static std::shared_ptr<VdecDriver> Get();

    std::unique_ptr<dev::File> Open(int flags) override;
    int Ioctl(dev::File& file, unsigned long request, void* arg) override;

    VdecChnView Channel(int chn) const;
    // While held, the channel's decoder takes no packet from the buffer (the packet it has, it
    // finishes). Kept across creation and destruction of the channel.
    void HoldDecoding(int chn, bool hold);
    // Waits until the channel's decoder has finished with every buffered packet, at most `timeoutMs`;
    // true when it has.
    bool WaitDecoded(int chn, int timeoutMs) const;

    // Queues user data (a physical range) for the channel's next GetUserData; false when the channel
    // does not exist.
    bool PutUserData(int chn, uint32_t phys, uint32_t len);

    // Destroys every channel, ending every wait (the system's exit).
    void Reset();

    // The journal (platform/drivers/vdec/vdec_journal.h): kept in memory while enabled; its packets
    // and events by channel, the bytes of a channel's log, cleared; the clock of the arrivals.
    void EnableJournal(bool on);
    std::vector<VdecJournalPacket> JournalPackets(int chn) const;
    std::vector<VdecJournalEvent> JournalEvents(int chn) const;
    std::vector<uint8_t> JournalBytes(int chn, uint64_t offset, uint64_t len) const;
    void ClearJournal();
    void SetJournalClock(uint64_t (*now)());

    // JPEG and MJPEG channels (vdec_jpeg.h).
    VdecJpegView JpegChannel(int chn) const;
    // Moves an empty ring's write position to `offset`, so the next picture wraps where a test wants it;
    // false when the channel is no JPEG channel, holds pictures or the offset lies outside the ring.
    bool SetJpegWritePos(int chn, uint32_t offset);
    // The ring size of the channel's next creation (0: the attribute's buffer size), kept across
    // creations.
    void SetJpegBufSize(int chn, uint32_t bytes);
    // While held, the channel's frame-buffer requests wait (a decoder caught between parse and decode).
    void HoldJpegFrameBufs(int chn, bool hold);

    struct State;  // kernel-side state, private to the driver's sources

private:
    std::unique_ptr<State> m_state;
};

}  // namespace varnelle::drivers
