#include "app/dec/vdec_feed.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/comm/buf_list.h"
#include "app/comm/cap_frame.h"
#include "app/comm/comm_cfg.h"
#include "app/dec/avdec_internal.h"
#include "app/dec/dec_clock.h"
#include "platform/drivers/all/install.h"
#include "platform/drivers/vdec/vdec_driver.h"
#include "platform/host/test_bus.h"
#include "sdk/vdec/mpi_vdec.h"

namespace {

namespace drv = varnelle::drivers;

constexpr uint32_t kChn = 1;
constexpr int kVdec = 3;
constexpr uint32_t kRing = 1 << 20;

// A clock that moves only when the feeding thread sleeps, one sleep at a time: the test sees each
// deadline, looks at the decoder, then lets the thread go on.
class Lockstep {
public:
    static Lockstep& Get() {
        static Lockstep l;
        return l;
    }
    static uint64_t Now() {
        std::lock_guard<std::mutex> lock(Get().m_mutex);
        return Get().m_now;
    }
    static void SleepUntil(uint64_t t) { Get().Sleep(t); }

    void Reset(uint64_t now) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_now = now;
        m_waiting = false;
        m_release = false;
        m_free = false;
    }
    // The next deadline the thread sleeps to (it stays asleep until Release).
    uint64_t WaitSleep() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait(lock, [this] { return m_waiting && !m_release; });
        return m_deadline;
    }
    void Release() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_release = true;
        m_cv.notify_all();
    }
    // From now on every sleep passes at once (so the thread can be stopped).
    void Free() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_free = true;
        m_cv.notify_all();
    }

private:
    void Sleep(uint64_t t) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_free) {
            m_waiting = true;
            m_deadline = t;
            m_cv.notify_all();
            m_cv.wait(lock, [this] { return m_release || m_free; });
            m_release = false;
            m_waiting = false;
        }
        if (t > m_now) m_now = t;
    }

    std::mutex m_mutex;
    std::condition_variable m_cv;
    uint64_t m_now = 0;
    uint64_t m_deadline = 0;
    bool m_waiting = false;
    bool m_release = false;
    bool m_free = false;
};

// Frames written one after another into a ring buffer of the test's own.
class RingWriter {
public:
    explicit RingWriter(std::vector<uint8_t>* ring) : m_ring(ring) {}
    // Writes header and payload at the write position (wrapping); returns the header's offset.
    uint32_t Put(uint32_t kind, uint32_t len, uint8_t seed, uint32_t rate = 25, uint32_t w = 1280, uint32_t h = 720,
                 uint32_t time = 0, uint32_t lenField = UINT32_MAX) {
        uint8_t head[16];
        uint32_t n = CapFrameWriteHeader(head, kind, lenField == UINT32_MAX ? len : lenField, rate, w, h, time, 14);
        uint32_t off = m_pos;
        Bytes(head, n);
        std::vector<uint8_t> payload(len);
        for (uint32_t i = 0; i < len; ++i) payload[i] = static_cast<uint8_t>(seed + i);
        if (len >= 5 && kind != CAP_FRAME_AUDIO) {
            const uint8_t idr[5] = {0, 0, 1, 0x65, 0x88};  // one picture for the decoder's count
            std::memcpy(payload.data(), idr, 5);
        }
        Bytes(payload.data(), len);
        return off;
    }
    void Bytes(const uint8_t* p, uint32_t n) {
        for (uint32_t i = 0; i < n; ++i) (*m_ring)[(m_pos + i) % m_ring->size()] = p[i];
        m_pos = static_cast<uint32_t>((m_pos + n) % m_ring->size());
    }
    void Seek(uint32_t pos) { m_pos = pos; }
    uint32_t pos() const { return m_pos; }

private:
    std::vector<uint8_t>* m_ring;
    uint32_t m_pos = 0;
};

AVdecState* D() {
    return AVdecGetState();
}

class FeedTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        varnelle::host::UsePrivateBus("feed");
        drv::InstallAll();
        drv::VdecDriver::Get()->EnableJournal(true);
    }
    void SetUp() override {
        D()->Clear();
        SLAVE_SYS_PARAM_S sp{};
        sp.u32DecNum = 8;
        sp.u32PlayDecNum = 4;
        SlaveStoreSysParam(&sp);
        m_ring.assign(kRing, 0);
        AVdecSetRing(kChn, m_ring.data(), kRing);
        D()->SetRec(kChn, REC_VDEC_CHN, kVdec);
        D()->SetRec(kChn, REC_PAYLOAD, AVDEC_PT_H264);
        AVdecSizeTable(kVdec).u32MaxW = 1920;
        AVdecSizeTable(kVdec).u32MaxH = 1080;
        VDEC_CHN_ATTR_S a = {96, 8 << 20, 5, 1920, 1080, 2, 1, 0};
        ASSERT_EQ(MK_MPI_VDEC_CreateChn(kVdec, &a), 0);
        ASSERT_EQ(MK_MPI_VDEC_StartRecvStream(kVdec), 0);
        drv::VdecDriver::Get()->HoldDecoding(kVdec, true);
        drv::VdecDriver::Get()->ClearJournal();
        Lockstep::Get().Reset(5000000000ull);
        DecSetClock(Lockstep::Now, Lockstep::SleepUntil);
    }
    void TearDown() override {
        Lockstep::Get().Free();
        AVdecStopFeeding();
        DecSetClock(nullptr, nullptr);
        AVdecSetRing(kChn, nullptr, 0);
        AVdecSetAudioHooks(nullptr, nullptr);
        MK_MPI_VDEC_DestroyChn(kVdec);
        SlaveResetSysCfg();
    }
    // A channel as at the start of the test, for the next case of a table.
    void Fresh() {
        TearDown();
        SetUp();
    }
    // Frames written so far are in the ring: the producer's write offset, then a parse.
    int Publish(uint32_t direction = 0) {
        AVdecState::Host& h = D()->HostOf(kChn);
        pthread_mutex_lock(&h.mutex);
        D()->SetRec(kChn, REC_RING_WRITE, m_writer.pos());
        pthread_mutex_unlock(&h.mutex);
        return getframeinfo(kChn, direction);
    }
    std::vector<VDEC_FRAMEINFO> Nodes() {
        std::vector<VDEC_FRAMEINFO> v;
        AVdecState::Host& h = D()->HostOf(kChn);
        pthread_mutex_lock(&h.mutex);
        for (VDEC_FRAMEINFO* p = h.pHead; p != nullptr; p = p->pNext) v.push_back(*p);
        pthread_mutex_unlock(&h.mutex);
        return v;
    }
    void Run(uint32_t speed = 6, uint32_t direction = 0, uint32_t rate = 100) {
        D()->SetRec(kChn, REC_SPEED, speed);
        D()->SetRec(kChn, REC_DIRECTION, direction);
        D()->SetRec(kChn, REC_RATE, rate);
        uint64_t now = Lockstep::Now();
        D()->SetRec(kChn, REC_BASE_SEC, static_cast<uint32_t>(now / 1000000));
        D()->SetRec(kChn, REC_BASE_USEC, static_cast<uint32_t>(now % 1000000));
        D()->SetRec(kChn, REC_RUNNING, 1);
        ASSERT_EQ(AVdecStartFeeding(kChn), 0);
    }
    static drv::VdecChnView View() { return drv::VdecDriver::Get()->Channel(kVdec); }

    // Steps the thread through `sleeps` sleeps; for each, the deadline and the packets sent before it.
    struct Step {
        uint64_t deadline;
        uint32_t packets;
    };
    std::vector<Step> StepThrough(int sleeps) {
        std::vector<Step> v;
        for (int i = 0; i < sleeps; ++i) {
            uint64_t d = Lockstep::Get().WaitSleep();
            v.push_back({d, View().queuedPackets});
            Lockstep::Get().Release();
        }
        return v;
    }

    std::vector<uint8_t> m_ring;
    RingWriter m_writer{&m_ring};
};

TEST_F(FeedTest, ParserFindsEveryKindAndTheSizeAbove2048) {
    uint32_t t = 0x12345678;
    m_writer.Put(CAP_FRAME_I, 300, 1, 30, 2560, 1440, t);
    m_writer.Put(CAP_FRAME_P, 200, 2);
    m_writer.Put(CAP_FRAME_AUDIO, 100, 3);
    const uint8_t garbage[7] = {0, 0, 1, 0xFB, 9, 9, 9};
    m_writer.Bytes(garbage, 7);
    m_writer.Put(CAP_FRAME_P, 10, 4);
    ASSERT_EQ(Publish(), 0);
    std::vector<VDEC_FRAMEINFO> n = Nodes();
    ASSERT_EQ(n.size(), 4u);
    EXPECT_EQ(n[0].u16Kind, CAP_FRAME_I);
    EXPECT_EQ(n[0].u32Width, 2560u);
    EXPECT_EQ(n[0].u32Height, 1440u);
    EXPECT_EQ(n[0].u32Time, t);
    EXPECT_EQ(n[0].u16FrameRate, 30u);
    EXPECT_EQ(n[0].u32Length, 300u);
    EXPECT_EQ(n[1].u32Offset, 316u);
    EXPECT_EQ(n[1].u16FrameRate, 25u);
    EXPECT_EQ(n[2].u16Kind, CAP_FRAME_AUDIO);
    EXPECT_EQ(n[3].u32Offset, 316u + 208 + 108 + 7);
    EXPECT_EQ(D()->Rec(kChn, REC_FRAME_RATE), 30u);
    EXPECT_EQ(AVdecSizeTable(kVdec).u32CurW.load(), 2560u);
    // A frame not yet whole waits for the next parse; nothing is found twice.
    uint32_t start = m_writer.pos();
    m_writer.Put(CAP_FRAME_P, 500, 5);
    uint32_t whole = m_writer.pos();
    m_writer.Seek(start + 200);
    ASSERT_EQ(Publish(), 0);
    EXPECT_EQ(Nodes().size(), 4u);
    m_writer.Seek(whole);
    ASSERT_EQ(Publish(), 0);
    EXPECT_EQ(Nodes().size(), 5u);
    EXPECT_EQ(Nodes()[4].u32Offset, start);
}

// A frame that runs across the ring's end reaches the decoder whole.
TEST_F(FeedTest, WrappedFrameIsSentWhole) {
    m_writer.Seek(kRing - 100);
    D()->SetRec(kChn, REC_RING_READ, kRing - 100);
    m_writer.Put(CAP_FRAME_I, 1000, 7, 25, 1280, 720);
    ASSERT_EQ(Publish(), 0);
    ASSERT_EQ(Nodes().size(), 1u);
    EXPECT_EQ(Nodes()[0].u32Offset, kRing - 100);
    Run();
    StepThrough(1);
    EXPECT_EQ(View().queuedPackets, 1u);
    EXPECT_EQ(View().queuedBytes, 1000u);
    EXPECT_EQ(View().queuedFrames, 1u) << "the start code survived the wrap";
    std::vector<uint8_t> want(1000);
    for (uint32_t i = 0; i < 1000; ++i) want[i] = m_ring[(kRing - 100 + 16 + i) % kRing];
    EXPECT_EQ(drv::VdecDriver::Get()->JournalBytes(kVdec, 0, 1000), want);
    EXPECT_EQ(D()->Rec(kChn, REC_RING_READ), 1000u - 100 + 16) << "read offset after the frame";
}

// A frame announced too long for the ring sets the error flag; P frames are passed over until the
// next good I frame.
TEST_F(FeedTest, ErrorFlagHoldsUntilTheNextIFrame) {
    m_writer.Put(CAP_FRAME_I, 100, 1);
    m_writer.Put(CAP_FRAME_P, 100, 2, 25, 0, 0, 0, kRing);  // announces a frame longer than the ring
    m_writer.Put(CAP_FRAME_P, 100, 3);
    m_writer.Put(CAP_FRAME_P, 100, 4);
    uint32_t good = m_writer.Put(CAP_FRAME_I, 100, 5);
    m_writer.Put(CAP_FRAME_P, 100, 6);
    EXPECT_EQ(Publish(), -3);
    EXPECT_EQ(D()->Rec(kChn, REC_STREAM_ERR), 1u);
    EXPECT_EQ(Nodes().size(), 1u);
    EXPECT_EQ(Publish(), 0);
    EXPECT_EQ(D()->Rec(kChn, REC_STREAM_ERR), 0u);
    std::vector<VDEC_FRAMEINFO> n = Nodes();
    ASSERT_EQ(n.size(), 3u);
    EXPECT_EQ(n[1].u32Offset, good);
    EXPECT_EQ(n[1].u16Kind, CAP_FRAME_I);
    EXPECT_EQ(n[2].u16Kind, CAP_FRAME_P);
}

// Normal speed at 25 frames a second: one frame every 40 ms, by absolute deadlines.
TEST_F(FeedTest, NormalSpeedPacesFramesFortyMillisecondsApart) {
    m_writer.Put(CAP_FRAME_I, 400, 1, 25);
    for (int i = 0; i < 9; ++i) m_writer.Put(CAP_FRAME_P, 100 + i, static_cast<uint8_t>(i));
    ASSERT_EQ(Publish(), 0);
    uint64_t base = Lockstep::Now();
    Run();
    std::vector<Step> steps = StepThrough(10);
    for (uint32_t i = 0; i < 10; ++i) {
        EXPECT_EQ(steps[i].deadline, base + 40000ull * (i + 1)) << i;
        EXPECT_EQ(steps[i].packets, i + 1) << "one frame before each wait";
    }
}

int32_t PlaybackDisplay() {
    return 1;
}

// While the display is busy with playback (display mode 1) frames are not paced: the thread sleeps
// only once it has nothing left, and the pacing base is then now.
TEST_F(FeedTest, PlaybackDisplayModeSendsFramesUnpaced) {
    m_writer.Put(CAP_FRAME_I, 400, 1, 25);
    for (int i = 0; i < 4; ++i) m_writer.Put(CAP_FRAME_P, 100 + i, static_cast<uint8_t>(i));
    ASSERT_EQ(Publish(), 0);
    AVdecSetDisplayModeHook(PlaybackDisplay);
    const uint64_t start = Lockstep::Now();
    Run();
    std::vector<Step> steps = StepThrough(1);
    AVdecSetDisplayModeHook(nullptr);
    EXPECT_EQ(steps[0].packets, 5u) << "all five before the first sleep";
    EXPECT_EQ(steps[0].deadline, start + 1000) << "the starved poll, not a frame interval";
    const uint64_t base = uint64_t{D()->Rec(kChn, REC_BASE_SEC)} * 1000000 + D()->Rec(kChn, REC_BASE_USEC);
    EXPECT_EQ(base, start);
}

// Words the master never sets in the decode block: a rate of 0 paces as normal rate, a speed index
// above the table as its last entry.
TEST_F(FeedTest, RateZeroAndSpeedPastTheTableAreGuarded) {
    struct Case {
        uint32_t speed, rate;
        uint64_t interval;
    } cases[] = {{6, 0, 40000}, {20, 100, 62500}, {13, 0, 62500}};
    for (const Case& c : cases) {
        if (&c != cases) Fresh();
        m_writer.Put(CAP_FRAME_I, 100, 1, 25);
        m_writer.Put(CAP_FRAME_I, 100, 2, 25);
        ASSERT_EQ(Publish(), 0);
        uint64_t base = Lockstep::Now();
        Run(c.speed, 0, c.rate);
        std::vector<Step> steps = StepThrough(2);
        EXPECT_EQ(steps[1].deadline - base, 2 * c.interval) << c.speed << " " << c.rate;
    }
}

// Speed index 12 backward: only I frames, 62.5 ms apart (PAL).
TEST_F(FeedTest, FastBackwardPlaysOnlyIFramesSixtyTwoAndAHalfMillisecondsApart) {
    for (int g = 0; g < 4; ++g) {
        m_writer.Put(CAP_FRAME_I, 200 + g, static_cast<uint8_t>(g), 25);
        m_writer.Put(CAP_FRAME_P, 50, 1);
        m_writer.Put(CAP_FRAME_P, 50, 2);
    }
    ASSERT_EQ(Publish(), 0);
    uint64_t base = Lockstep::Now();
    Run(12, 1);
    std::vector<Step> steps = StepThrough(4);
    for (uint32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(steps[i].deadline, base + 62500ull * (i + 1)) << i;
        EXPECT_EQ(steps[i].packets, i + 1);
    }
    std::vector<drv::VdecJournalPacket> p = drv::VdecDriver::Get()->JournalPackets(kVdec);
    ASSERT_EQ(p.size(), 4u) << "only the I frames";
    for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(p[i].u32Len, 203u - i) << "newest first";
}

// Paused: at least three frames are shown, then only as many as the step count allows.
TEST_F(FeedTest, PausedChannelShowsThreeFramesThenItsSteps) {
    m_writer.Put(CAP_FRAME_I, 100, 1, 25);
    for (int i = 0; i < 9; ++i) m_writer.Put(CAP_FRAME_P, 100, 2);
    ASSERT_EQ(Publish(), 0);
    D()->SetRec(kChn, REC_PAUSED, 1);
    Run();
    std::vector<Step> steps = StepThrough(8);
    EXPECT_EQ(steps.back().packets, 3u);
    D()->SetRec(kChn, REC_STEP, 2);
    steps = StepThrough(8);
    EXPECT_EQ(steps.back().packets, 5u);
    EXPECT_EQ(D()->Rec(kChn, REC_STEP), 0u);
}

// The playback clock: an I frame's time, then one second per frame-rate frames, across February.
TEST_F(FeedTest, PlaybackClockCrossesFebruaryByTheYear) {
    struct Case {
        uint32_t year;
        uint32_t month, day;
    } cases[] = {{2024, 2, 29}, {2023, 3, 1}, {2000, 2, 29}};
    for (const Case& c : cases) {
        if (&c != cases) Fresh();
        struct tm t = {};
        t.tm_year = static_cast<int>(c.year) - 1900;
        t.tm_mon = 1;
        t.tm_mday = 28;
        t.tm_hour = 23;
        t.tm_min = 59;
        t.tm_sec = 59;
        m_writer.Put(CAP_FRAME_I, 50, 1, 5, 1280, 720, CapFramePackTime(t));
        for (int i = 0; i < 5; ++i) m_writer.Put(CAP_FRAME_P, 50, 2);
        ASSERT_EQ(Publish(), 0);
        Run();
        StepThrough(6);
        Lockstep::Get().WaitSleep();  // the thread is asleep: the clock stands still
        const uint32_t want[8] = {c.year, c.month, c.day, 0, 0, 0, 0, 0};
        for (uint32_t i = 0; i < 8; ++i) EXPECT_EQ(D()->Rec(kChn, REC_CLOCK + 4 * i), want[i]) << c.year << " " << i;
    }
}

BufList* g_audioList = nullptr;
BufList* AudioList() {
    return g_audioList;
}
bool AudioOn() {
    return true;
}

TEST_F(FeedTest, AudioFramesWithinTheLimits) {
    g_audioList = BufListCreate(241);
    AVdecSetAudioHooks(AudioList, AudioOn);
    D()->SetRec(kChn, REC_AUDIO, 1);
    // Header and payload: 1600 bytes are queued, 1601 dropped.
    uint32_t a = m_writer.Put(CAP_FRAME_AUDIO, 1592, 1);
    uint32_t b = m_writer.Put(CAP_FRAME_AUDIO, 1593, 2);
    EXPECT_EQ(audio_decode(kChn, m_ring.data(), 1600, a), 0);
    EXPECT_EQ(audio_decode(kChn, m_ring.data(), 1601, b), 0);
    BufListInfoS info;
    BufListInfo(g_audioList, &info);
    EXPECT_EQ(info.u32Nodes, 1u);
    EXPECT_EQ(info.u32Bytes, 1600u);
    BufNode* n = BufListGet(g_audioList);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(std::memcmp(n->pu8Aligned, m_ring.data() + a, 1600), 0);
    EXPECT_EQ(n->u32Capacity, 1600u);
    BufListFree(n);
    // Across the ring's end, in two pieces.
    m_writer.Seek(kRing - 3);
    uint32_t w = m_writer.Put(CAP_FRAME_AUDIO, 10, 9);
    EXPECT_EQ(audio_decode(kChn, m_ring.data(), 18, w), 0);
    n = BufListGet(g_audioList);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->u32Capacity, 20u) << "rounded up to 4";
    EXPECT_EQ(n->u32Pieces, 2u);
    EXPECT_EQ(std::memcmp(n->pu8Aligned, m_ring.data() + kRing - 3, 3), 0);
    EXPECT_EQ(std::memcmp(n->pu8Aligned + 3, m_ring.data(), 15), 0);
    BufListFree(n);
    // A list of 91 nodes takes no more; 90 does.
    for (int i = 0; i < 90; ++i) {
        BufNode* x = BufListAlloc(4, 0);
        BufListCopy(x, "abcd", 4);
        BufListAdd2List(g_audioList, x);
    }
    EXPECT_EQ(audio_decode(kChn, m_ring.data(), 100, a), 0);
    BufListInfo(g_audioList, &info);
    EXPECT_EQ(info.u32Nodes, 91u);
    EXPECT_EQ(audio_decode(kChn, m_ring.data(), 100, a), 0);
    BufListInfo(g_audioList, &info);
    EXPECT_EQ(info.u32Nodes, 91u);
    // Without the record's audio word nothing is queued.
    BufListClear(g_audioList);
    D()->SetRec(kChn, REC_AUDIO, 0);
    EXPECT_EQ(audio_decode(kChn, m_ring.data(), 100, a), 0);
    BufListInfo(g_audioList, &info);
    EXPECT_EQ(info.u32Nodes, 0u);
    BufListDestory(g_audioList);
    g_audioList = nullptr;
}

// A record naming a decoder this chip does not have skips its frames instead of sending them.
// The command loop flips the direction while the thread plays fast: a pass takes its node from one
// end and unlinks it from the same end, so no freed node stays on the list (ASan sees one that does).
TEST_F(FeedTest, ADirectionFlippedDuringAPassFreesOnlyNodesTakenOff) {
    constexpr int kFrames = 6000;
    for (int i = 0; i < kFrames; ++i) m_writer.Put(CAP_FRAME_I, 8, static_cast<uint8_t>(i), 25, 16, 16);
    ASSERT_EQ(Publish(), 0);
    ASSERT_EQ(Nodes().size(), static_cast<size_t>(kFrames));
    Lockstep::Get().Free();
    drv::VdecDriver::Get()->EnableJournal(false);
    std::atomic<bool> done{false};
    std::thread flip([&] {
        for (uint32_t d = 0; !done.load(); d ^= 1) D()->SetRec(kChn, REC_DIRECTION, d);
    });
    Run(12);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!Nodes().empty() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    done = true;
    flip.join();
    D()->SetRec(kChn, REC_RUNNING, 0);
    AVdecStopFeeding();
    drv::VdecDriver::Get()->EnableJournal(true);
    EXPECT_TRUE(Nodes().empty()) << "every frame was played from one end or the other";
}

TEST_F(FeedTest, FramesOfADecoderOutOfRangeAreSkipped) {
    SLAVE_SYS_PARAM_S sp{};
    sp.u32DecNum = 2;  // decoders 0 and 1; the record names 3
    sp.u32PlayDecNum = 4;
    SlaveStoreSysParam(&sp);
    m_writer.Put(CAP_FRAME_I, 100, 1);
    m_writer.Put(CAP_FRAME_P, 100, 2);
    ASSERT_EQ(Publish(), 0);
    Run();
    StepThrough(3);
    EXPECT_EQ(View().queuedPackets, 0u);
    EXPECT_TRUE(Nodes().empty()) << "the frames were taken off the list";
}

}  // namespace
