// /dev/ao: the simulated audio output driver. Three devices of twenty channels. A device has its
// attribute (read before it is set: not configured), enable state, mute record and clock direction; a
// channel has a queue of u32FrameCount device frames (4 when the attribute says 0) that the device
// plays one frame per period (points per frame / rate) on the platform clock while both are enabled.
// Sends (request 5) carry exactly one device frame per track; a full queue refuses a send at once
// (time-out 0), after the time-out in milliseconds, or (-1) waits until there is room, the channel or
// device is disabled or the media system is reset. The debug and dump records are kept as given.
//
// For tests the clock can be held: it then stands still except when Tick advances it, which plays the
// frames that fall due before it returns.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/dev/driver.h"
#include "sdk/audio/ao/ao_ioctl.h"

namespace varnelle::drivers {

// Registers the driver for /dev/ao (once) with its reset hook.
void InstallAoDriver();

struct AoDevView {
    bool attrSet;
    bool enabled;
    AIO_ATTR_S attr;
    AO_MUTE_S mute;
    uint32_t clkDir;
};

struct AoChnView {
    bool enabled;
    uint32_t capacity;        // frames the queue holds
    uint32_t queued;          // frames waiting to be played
    uint64_t playedFrames;
    uint64_t underruns;       // periods the channel was enabled with nothing queued
    uint64_t refusals;        // sends refused because the queue stayed full
    std::vector<uint8_t> played[2];  // every byte played per track, while recording
    AUDIO_DUMPFILE_CFG_S dump;
    AO_RESMP_DBG_S resmp;
    AO_VQE_DBG_S vqe;
};

class AoDriver : public dev::Driver {
public:
    AoDriver();
    ~AoDriver() override;

    // The registered driver (installs it on first use).
    static std::shared_ptr<AoDriver> Get();

    std::unique_ptr<dev::File> Open(int flags) override;
    int Ioctl(dev::File& file, unsigned long request, void* arg) override;

    AoDevView Device(int dev) const;
    AoChnView Channel(int index) const;
    // Keeps every played byte in the channel views (off by default).
    void RecordPlayed(bool on);
    // Holds the platform clock (it stands still until Tick) or lets it run again.
    void HoldClock(bool held);
    // Advances the held clock and plays what falls due; returns when that is done.
    void Tick(uint64_t us);
    // Waits up to timeoutMs until sends have had to wait for room n times in all since the last
    // reset (each wait counts once, when it starts); true when they have.
    bool WaitForBlockedSends(uint64_t n, int timeoutMs) const;

    // Drops every device and channel and wakes every waiting send (the media system's reset).
    void Reset();

    struct State;

private:
    std::unique_ptr<State> m_state;
};

}  // namespace varnelle::drivers
