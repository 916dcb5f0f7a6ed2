// The two fetch threads that carry encoded pictures to the master: SlaveVencGetStream takes every
// frame of the H.264 main and sub streams, JPEGCapStreamSlaver one JPEG picture per channel and pass.
// Each writes a 48-byte stream header and the frame's packs into its stream sender's local buffer
// (commands 10 and 11 make the senders) and has the sender DMA the buffer into the master's ring.
//
// A sender's slot is used by its lock order (PCIV_TRANS_CHN_S): the slot lock is held for one step
// (one frame written, one send tried), never across a wait. A frame is fetched, written and released
// under the capture lock, so no encoder channel is rebuilt while one of its frames is out.
//
// The buffer is sent after five frames, or before a frame would take its fill past half the master's
// ring (the most one send carries): that frame is kept as a copy (the encoder gets its frame back at
// once), the pass ends, and the send happens after it, without the capture lock. A full ring is
// retried, backing off 1 to 50 ms, with no lock held, for as long as the sender runs. A frame that
// could never fit, or that comes while no sender runs (none made yet, or one left without a local
// buffer by command 96), is released and counted as dropped; the first of a run of such drops is
// said in one line naming the command that starts the sender, and the sender's return says how many
// went.
//
// Command 96 sends nothing, and the ring goes on: what the sender holds, the frames fetched while it
// renews the buffer and a frame held for room leave with its next send, after the next frame. When
// command 10 or 11 replaces the sender, what was held for it is dropped, with one line.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "app/pci/pciv_chip.h"
#include "app/pci/pciv_proto.h"
#include "sdk/venc/venc_ioctl.h"

enum { VENC_PT_H264 = 96, VENC_PT_JPEG = 26 };

// What a fetch thread has done (test view; each counter is written by its thread only).
struct VencPushStats {
    std::atomic<uint64_t> u64Frames{0};         // frame records written into the local buffer
    std::atomic<uint64_t> u64Bytes{0};          // their bytes, headers and padding included
    std::atomic<uint64_t> u64Sends{0};          // successful sends
    std::atomic<uint64_t> u64SendRetries{0};    // failed sends tried again
    std::atomic<uint64_t> u64DropNoSender{0};   // fetched while no sender ran (none, or no local buffer)
    std::atomic<uint64_t> u64DropTooLarge{0};   // larger than half the master's ring
    // Held for room, and dropped because its sender was replaced (command 10 or 11) or stopped; a held
    // frame of a sender that command 96 left without a buffer counts as fetched while no sender ran.
    std::atomic<uint64_t> u64DropStopped{0};
};

// The state of one fetch thread, kept across passes.
struct VencPushCtx {
    PCIV_TRANS_CHN_S* pSlot = nullptr;
    uint32_t u32PayloadType = VENC_PT_H264;
    int32_t s32SinceSend = 0;          // frames written since the last send
    std::vector<VENC_PACK_S> packs;    // the pack array of the frame being fetched
    std::vector<uint8_t> held;         // a whole frame record waiting for room, or empty
    uint64_t u64LocGen = 0;            // the local buffer it last wrote (or held a frame) for
    uint64_t u64SenderId = 0;          // and its sender
    const std::atomic<bool>* pStop = nullptr;  // tests end a thread with it; the program never does
    uint64_t u64HoldNs = 0;  // how long the last pass that took the capture lock held it
    uint64_t u64NoSenderRun = 0;  // frames dropped since the last one a sender took
    VencPushStats stats;
};

// The header of a frame of `u32PayloadType` from `pstStream` for channel `u32Chn`: lengths summed
// over the packs (length - offset), the padded length raised to a multiple of 4, the first pack's time
// stamp, frame-end flag and data type, reserved words 0.
PCIV_StreamHead VencPushMakeHead(const VENC_STREAM_S* pstStream, uint32_t u32PayloadType, uint32_t u32Chn);

// Where a frame record of `u32Record` bytes goes when the local buffer holds `u32Fill` and one send
// carries at most `u32Limit`: written now, written after a send of what is there, or never (dropped).
enum VencPushPlace { VENC_PUSH_WRITE, VENC_PUSH_SEND_FIRST, VENC_PUSH_NEVER };
VencPushPlace VencPushPlaceRecord(uint32_t u32Fill, uint32_t u32Record, uint32_t u32Limit);

// Fetches one frame of encoder channel `veChn` (query, pack array, get with a 1 ms time-out) and
// writes it for header channel `u32HeadChn`. 1 written, 0 nothing to write or dropped (counted), -1
// a fetch failure (logged). With the frame held for room, ctx->held is not empty afterwards.
int VencPushWriteFrame(VencPushCtx* pCtx, VENC_CHN veChn, uint32_t u32HeadChn, uint64_t* pu64Pts = nullptr);

// Sends the local buffer, and then writes the held frame, retrying a full ring while the sender runs.
// 0 sent, -1 the sender went away or its buffer was renewed since the thread last wrote (a held frame,
// of an encoder that is gone, is dropped and counted; nothing is sent), or the stop was requested.
int VencPushSend(VencPushCtx* pCtx);

// One pass of the H.264 fetch thread, waiting at most `selectMs` for a frame. The frames written, 0
// when nothing was ready, -1 when no stream receives (the thread then sleeps 10 ms).
int VencPushPass(VencPushCtx* pCtx, int selectMs = 100);
// One pass of the JPEG fetch thread over the capture channels. 0, or -1 when the thread must end (a
// rebuilt JPEG encoder channel gave no descriptor).
int JpegPushPass(VencPushCtx* pCtx);

// The thread bodies; they run until the process ends (or ctx->pStop, tests).
void* SlaveVencGetStream(void* pArg);
void* JPEGCapStreamSlaver(void* pArg);
// The two threads' contexts (test view).
VencPushCtx* VencPushVideoCtx();
VencPushCtx* VencPushJpegCtx();
