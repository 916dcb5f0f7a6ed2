// The encoder driver's shared parts: its records, the channel state and the driver class, whose
// core (venc_driver.cpp), stream ring (venc_stream.cpp) and encoding (venc_encode.cpp) live apart.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dev/driver.h"
#include "platform/drivers/core/frame_pacing.h"
#include "platform/drivers/core/frame_router.h"
#include "platform/drivers/core/media_clock.h"
#include "platform/drivers/core/scaler.h"
#include "platform/drivers/core/video_frames.h"
#include "platform/drivers/venc/venc_codec.h"
#include "platform/drivers/venc/venc_driver.h"

namespace varnelle::drivers::venc {

constexpr int kMaxChn = VENC_MAX_CHN_NUM;
constexpr uint32_t kMaxPicSide = 4096;
constexpr uint32_t kMaxRing = 64u << 20;
// The driver's own addresses of a ring: its physical address moved into the upper half.
constexpr uint32_t kDrvAddrOffset = 0x80000000u;
// Encoder threads; each channel's received pictures are encoded by one of them, chosen by the
// channels' work (venc_threads.h) whenever a channel comes, goes or changes its size or rates, so a
// slow channel holds up only the channels of its own thread.
constexpr int kEncoderThreads = 4;
// What a JPEG channel weighs in pictures a second: it has no rate of its own and takes pictures when
// its user asks for one (a snapshot now and then).
constexpr uint64_t kSnapshotsPerSecond = 1;
// Pictures a channel keeps for its encoder thread; a picture that finds the queue full pushes out the
// oldest (counted missed).
constexpr size_t kPictureQueue = 4;

inline uint32_t Align4(size_t n) { return static_cast<uint32_t>((n + 3) & ~size_t{3}); }

struct VencFile : dev::File {
    std::string BoundObject() const override { return chn < 0 ? std::string() : "chn " + std::to_string(chn); }
    int chn = -1;        // the channel a bind request tied it to
    int32_t getTimeoutMs = -1;
    int32_t sendTimeoutMs = -1;
};

struct Pack {
    uint64_t pos;  // ring position of the header, counted from creation
    uint32_t len;  // header included
    uint32_t dataType;
    bool frameEnd;
};

struct Frame {
    uint32_t seq;
    uint64_t pts;
    bool key;
    uint64_t endPos;  // ring position after the frame's last pack
    uint32_t payloadBytes;
    std::vector<Pack> packs;
};

// What only the encoding side touches; its own lock lets the encoder thread, the push hook and
// frames sent by hand encode one channel without holding the driver's lock. It is held until the
// frame is queued, so frames reach the ring in the order they were coded (lock order: this, then
// the driver's lock).
struct EncState {
    std::mutex mutex;  // guards everything below
    CodecConfig config{};
    std::unique_ptr<Codec> codec;
    uint32_t gopPos = 0;
    std::vector<uint8_t> picture;  // semi-planar at the picture size, with the regions drawn in
    std::vector<uint8_t> i420;
    Yuv420SpScaler scaler;
};

struct Channel {
    uint64_t generation = 0;  // tells a channel from a later one of the same number
    VENC_CHN_ATTR_S attr{};
    uint32_t ringPhys = 0;
    uint32_t ringSize = 0;
    uint8_t* ring = nullptr;  // the driver's mirror mapping
    uint64_t writePos = 0;
    uint64_t releasePos = 0;
    std::deque<Frame> frames;  // oldest first; the first `fetched` have been handed out
    size_t fetched = 0;
    uint32_t seq = 0;
    bool receiving = false;
    std::deque<HeldFrame> pictures;  // received through the binding, waiting for the encoder thread
    RateControl rate;                // the rate control's destination of its source frame rate
    uint64_t pushIndex = 0;          // pictures pushed or sent by hand
    bool keyRequested = true;
    bool reconfigure = false;  // the attributes changed: the codec is set up again
    uint64_t received = 0, thinned = 0;
    uint64_t encoded = 0, dropped = 0, missed = 0, keys = 0;
    int getWaiters = 0;
    int vbPool = -1;
    std::vector<uint8_t> pendingUserData;
    std::vector<uint8_t> lastUserData;
    std::map<std::string, std::vector<uint8_t>> params;
    std::map<uint32_t, VENC_ROI_CFG_S> rois;
    std::shared_ptr<EncState> enc = std::make_shared<EncState>();
    int thread = 0;         // the encoder thread of its received pictures
    bool encoding = false;  // a thread encodes one of them: no other takes the next (their order)
};

inline bool IsH264(const VENC_CHN_ATTR_S& a) { return a.stVeAttr.enType == PT_H264; }

inline uint32_t PicWidth(const VENC_CHN_ATTR_S& a) {
    return IsH264(a) ? a.stVeAttr.stAttrH264e.u32PicWidth : a.stVeAttr.stAttrJpeg.u32PicWidth;
}
inline uint32_t PicHeight(const VENC_CHN_ATTR_S& a) {
    return IsH264(a) ? a.stVeAttr.stAttrH264e.u32PicHeight : a.stVeAttr.stAttrJpeg.u32PicHeight;
}
inline uint32_t BufSize(const VENC_CHN_ATTR_S& a) { return a.stVeAttr.au32Attr[2]; }

// Source and destination frame rates, GOP and bit rate of the rate-control part; defaults where it
// has none.
struct Rates {
    uint32_t srcFps = kDefaultFrameRate;
    uint32_t fps = kDefaultFrameRate;
    uint32_t gop = kDefaultFrameRate;
    uint32_t kbps = 0;
};
Rates RatesOf(const VENC_CHN_ATTR_S& a);
// What a channel costs its encoder thread: pixels x pictures a second.
uint64_t WorkOf(const VENC_CHN_ATTR_S& a);

inline int PatternOf(const MPP_CHN_S& src) { return src.enModId == MK_ID_VPSS ? src.s32DevId : src.s32ChnId; }

// The parameter operations the driver only keeps: request -> setting, and whether it sets or reads.
struct ParamEntry {
    const char* key;
    uint32_t size;
    bool set;
};

class VencDriver : public dev::Driver, public FrameSink {
public:
    VencDriver();
    ~VencDriver() override;

    // Pictures of the source bound to a channel, and the picture size a channel takes.
    bool OnFrame(const MPP_CHN_S& dst, const MPP_CHN_S& src, const HeldFrame& frame) override;
    void OnUnbind(const MPP_CHN_S& dst, const MPP_CHN_S& src) override;
    std::optional<SIZE_S> WantedSize(const MPP_CHN_S& dst) override;

    std::unique_ptr<dev::File> Open(int) override { return std::make_unique<VencFile>(); }

    // A closed descriptor takes nothing more: a get waiting on it gives up (it sees f.chn change).
    void Release(dev::File& file) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto& f = static_cast<VencFile&>(file);
        if (f.chn >= 0) Unlink(f);
        m_streamCv.notify_all();
    }

    int Ioctl(dev::File& file, unsigned long request, void* arg) override;
    void* Mmap(dev::File& file, void* addr, size_t length, int prot, int flags, off_t offset) override;

    void Reset();
    std::optional<venc_view::Channel> View(int chn);
    int Push(int chn, int frames);
    uint64_t ThreadCpuUs();

private:
    // Requests on a bound channel.
    int Bind(VencFile& f, unsigned long request, void* arg);
    int Create(int chn, unsigned long request, void* arg);
    int Destroy(int chn);
    int GetStream(VencFile& f, unsigned long request, void* arg);
    int ReleaseStream(int chn, unsigned long request, void* arg);
    int BufInfo(int chn, unsigned long request, void* arg);
    int ResetChn(int chn);
    int StartRecv(int chn, bool on);
    int Query(int chn, unsigned long request, void* arg);
    int AttachPool(int chn, unsigned long request, void* arg);
    int GetAttr(int chn, unsigned long request, void* arg);
    int SetAttr(int chn, unsigned long request, void* arg);
    int UserData(int chn, unsigned long request, void* arg);
    int Roi(int chn, unsigned long request, void* arg, bool set);
    int SendFrame(VencFile& f, unsigned long request, void* arg);
    int Receiver(int chn, Channel** out);
    int Param(int chn, const ParamEntry& e, unsigned long request, void* arg);
    int ModParam(unsigned long request, void* arg, bool set);

    // Channel helpers; call with m_mutex held.
    Channel* Find(int chn) { return m_chn[chn].get(); }
    void DropChannel(int chn);
    void UpdateReadable(int chn);
    void Unlink(VencFile& f);
    // Spreads the channels over the encoder threads by their work again, waking the new thread of a
    // moved channel with pictures waiting.
    void Rebalance();
    uint32_t DrvAddr(const Channel& c, uint64_t pos) const {
        return c.ringPhys + kDrvAddrOffset + static_cast<uint32_t>(pos % c.ringSize);
    }

    // Encoding.
    struct Job {
        int chn;
        uint64_t generation;
        uint64_t frameIndex;
        uint64_t pts;
        std::optional<HeldFrame> picture;  // what to encode; none: the test picture of `pattern`
        int pattern;
        bool key;
        bool reconfigure;
        std::vector<uint8_t> userData;
        std::shared_ptr<EncState> enc;
        CodecConfig config;
        uint32_t gop;
    };
    // Fills the job from the channel; call with m_mutex held.
    Job MakeJob(int chn, Channel& c, uint64_t index, uint64_t pts, int pattern);
    // Encodes outside the driver lock and queues the result; true when the frame reached the ring.
    // The picture is scaled to the channel's picture size (or the test picture drawn) and the
    // channel's regions are drawn into it first.
    bool RunJob(Job& job);
    // A job is over: one that did not reach the ring (`ok` false) hands its key-frame request and
    // user data back; its picture is let go. Every job made is finished exactly once.
    void Finish(Job& job, bool ok);
    bool Commit(const Job& job, std::vector<Unit>& units, bool key);
    // An encoder thread's round: encodes the pictures received by its channels, oldest first.
    uint64_t EncodeReceived(int thread);
    // A thread finished a picture of the job's channel: the next may be taken, by whichever thread
    // the channel has now.
    void Encoded(const Job& job, int thread);

    std::mutex m_mutex;  // guards everything below
    std::condition_variable m_streamCv;  // a frame was queued, or a channel went away
    // Jobs made and not yet finished: they read pictures outside the lock, so the system's reset
    // waits for none to be left before the pools under those pictures go.
    int m_jobsInFlight = 0;
    std::condition_variable m_jobsIdle;
    std::unique_ptr<Channel> m_chn[kMaxChn];
    std::vector<VencFile*> m_files[kMaxChn];
    uint64_t m_generation = 0;
    std::vector<uint8_t> m_modParam = std::vector<uint8_t>(sizeof(VENC_PARAM_MOD_S));
    int m_cursor[kEncoderThreads] = {};  // the channel where each thread looks for work next
    std::unique_ptr<PacedThread> m_threads[kEncoderThreads];
};

}  // namespace varnelle::drivers::venc
