// /dev/vdec: the simulated decoder driver. 64 channels, each with a stream buffer of the size its
// attributes give. A channel takes packets while it receives; what it holds is consumed at the
// channel's decode rate (frames per second, computed from when the queue last started filling), so the
// buffer empties as a decoder would empty it. No pictures come out: decoding itself is not simulated;
// user data comes only where a test puts it.
//
// Frames are counted from the packets' NAL structure (Annex-B start codes): a frame is a VCL NAL unit
// that starts a picture, that is an H.264 slice (types 1, 2 and 5) whose first_mb_in_slice is 0, or an H.265
// slice segment (types 0-31) with first_slice_segment_in_pic_flag set. For any other payload type a
// packet with its end-of-frame flag set is one frame. Start codes split across two packets are not
// joined.
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

// Frames in one packet, as described above.
uint32_t CountVdecFrames(uint32_t payloadType, const uint8_t* data, size_t len, bool endOfFrame);

struct VdecChnView {
    bool created;
    bool receiving;
    bool userPicEnabled;
    VDEC_CHN_ATTR_S attr;
    uint32_t queuedBytes;
    uint32_t queuedFrames;
    uint32_t queuedPackets;
    uint64_t receivedFrames;
    uint64_t decodedFrames;
    int waiters;  // callers blocked in the channel (sending, or waiting for a picture)
};

class VdecDriver : public dev::Driver {
public:
    static constexpr uint32_t kDefaultDecodeRate = 60;        // frames per second
    static constexpr uint32_t kMaxBufSize = 64u << 20;        // largest stream buffer

    VdecDriver();
    ~VdecDriver() override;

    // The registered driver (installs it on first use).
    static std::shared_ptr<VdecDriver> Get();

    std::unique_ptr<dev::File> Open(int flags) override;
    int Ioctl(dev::File& file, unsigned long request, void* arg) override;

    VdecChnView Channel(int chn) const;
    // Frames per second the consumer takes from the channel; 0 pauses it (tests then use Drain).
    // Kept across creation and destruction of the channel.
    void SetDecodeRate(int chn, uint32_t fps);
    // Consumes up to maxFrames frames' worth of whole packets now; the frames taken.
    uint32_t Drain(int chn, uint32_t maxFrames = UINT32_MAX);

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
