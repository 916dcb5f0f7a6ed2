// /dev/vda: the simulated video detection driver. A channel made from its attributes gets a result
// buffer in simulated RAM: motion channels one slot per result they may hold (the attributes' buffer
// count), occlusion channels one. While a channel receives, the pictures of the input bound to it come
// through the frame router (core/frame_router.h): every u32VdaIntvl-th picture makes a result, its luma
// resampled to the channel's picture size. Motion results carry the SAD of each macroblock between
// that picture and the one right before it (so the capture test pattern's moving bar is motion and a
// still picture none); occlusion results an alarm per region, raised after u32OccCntTh results in a
// row in which at least u32AreaTh per cent of the region's macroblocks differ from the background
// (the first picture after the start or a reset of the region) by more than u32SadTh, and cleared
// after u32UnOccCntTh results without. Pictures sent to a channel are analysed in the same way
// against the one sent before. The router's thread only queues a picture; the driver's own thread
// analyses it and gives its block back.
//
// A result waits until it is fetched and is held until it is released; the descriptor is readable
// while one waits. When every slot is taken, a new result replaces the oldest one not fetched, or is
// dropped (and counted) when all are fetched. A fetch that may wait returns at once with
// 0xA0098009 when nothing waits and the channel does not receive, and ends with 0xA0098005 when the
// channel is destroyed meanwhile. Tests can impose a result's SAD values, objects, addresses or
// alarms.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "sdk/vda/vda_ioctl.h"

namespace varnelle::drivers {

// Registers the driver for /dev/vda (once).
void InstallVdaDriver();

namespace vda_view {

struct Channel {
    VDA_CHN_ATTR_S attr{};
    bool receiving = false;
    uint32_t bufPhys = 0;
    uint32_t bufSize = 0;
    uint32_t waiting = 0;  // results not fetched
    uint32_t held = 0;     // fetched, not released
    uint64_t produced = 0;
    uint64_t dropped = 0;
    uint32_t lastWord = 0;  // of the last picture sent
    VDA_DATA_S last{};      // the last result as the driver wrote it
};

// What the next result of a channel carries instead of what it computes; each part applies when set.
struct Injection {
    std::optional<std::vector<uint16_t>> sad;  // one value per macroblock, row after row
    std::optional<std::vector<VDA_OBJ_S>> objects;
    std::optional<std::array<uint32_t, VDA_OD_RGN_NUM_MAX>> alarms;
    std::optional<uint32_t> sadPhys;  // addresses written in place of the slot's
    std::optional<uint32_t> objPhys;
};

std::optional<Channel> Get(int chn);
void Inject(int chn, const Injection& injection);
// Makes one result now from two successive test-pattern pictures of the bound input's number (its own
// number when unbound), whether or not it receives; false when there is no such channel.
bool Produce(int chn);

}  // namespace vda_view

}  // namespace varnelle::drivers
