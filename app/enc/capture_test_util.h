// Test helpers of the capture module: a private bus with the master's RAM file and the drivers, a
// master that acknowledges (or stops acknowledging) the stream notices of one ring, and a reader of
// frame records that follows the stream header's table by hand.
#pragma once

#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "app/pci/pciv_test_master.h"
#include "app/pci/pciv_trans.h"
#include "platform/drivers/all/install.h"
#include "platform/mcc/mcc_driver.h"
#include "platform/mem/ram.h"
#include "sdk/sys/mpi_sys.h"
#include "sdk/vb/mpi_vb.h"
#include "sdk/vi/mpi_vi.h"

namespace varnelle::testing {

// One frame record read from bytes: offsets 0 magic, 4 payload type, 8 padded length, 12 length, 16
// sequence, 20 reserved, 24 time stamp (64 bits), 32 channel, 36 reserved, 40 frame end, 44 type.
struct ParsedRecord {
    uint32_t magic, pt, padded, len, seq, res20, chn, res36, frameEnd, type;
    uint64_t pts;
    size_t at;  // offset of the header in the bytes read
    std::vector<uint8_t> payload;
    std::vector<uint8_t> padding;
};

inline uint32_t WordAt(const uint8_t* p, size_t off) {
    uint32_t v;
    std::memcpy(&v, p + off, 4);
    return v;
}

// The records in `data`, stopping at the first that does not fit.
inline std::vector<ParsedRecord> ParseRecords(const uint8_t* data, size_t size) {
    std::vector<ParsedRecord> out;
    size_t off = 0;
    while (off + 48 <= size) {
        const uint8_t* p = data + off;
        ParsedRecord r{WordAt(p, 0),
                       WordAt(p, 4),
                       WordAt(p, 8),
                       WordAt(p, 12),
                       WordAt(p, 16),
                       WordAt(p, 20),
                       WordAt(p, 32),
                       WordAt(p, 36),
                       WordAt(p, 40),
                       WordAt(p, 44),
                       0,
                       off,
                       {},
                       {}};
        std::memcpy(&r.pts, p + 24, 8);
        if (r.padded < r.len || off + 48 + r.padded > size) break;
        r.payload.assign(p + 48, p + 48 + r.len);
        r.padding.assign(p + 48 + r.len, p + 48 + r.padded);
        out.push_back(std::move(r));
        off += 48 + r.padded;
    }
    return out;
}

constexpr uint32_t kVideoNotice = 101;
constexpr uint32_t kVideoAck = 102;
constexpr uint32_t kJpegNotice = 103;
constexpr uint32_t kJpegAck = 104;
// The master's rings.
constexpr uint32_t kVideoRingPhys = 0x40100000;
constexpr uint32_t kJpegRingPhys = 0x40900000;

// The process's bus, master RAM and drivers, made once; video buffer pools large enough for a local
// buffer of up to 4 MiB.
inline mem::Ram* CaptureTestBus() {
    static mem::Ram* ram = [] {
        static ScopedBus bus;
        auto* r = new mem::Ram(mem::RamPath(0), 0, mem::kMasterRamSize, true);
        drivers::InstallAll();
        mcc::InstallMccDriver();
        VB_CONF_S conf{};
        conf.u32MaxPoolCnt = 16;
        conf.astCommPool[0].u32BlkSize = 4u << 20;
        conf.astCommPool[0].u32BlkCnt = 4;
        MK_MPI_VB_SetConf(&conf);
        MK_MPI_VB_Init();
        for (uint32_t port : {kVideoNotice, kVideoAck, kJpegNotice, kJpegAck}) PCIV_OpenMsgPort(0, port);
        return r;
    }();
    return ram;
}

// Starts a sender of a ring of `size` bytes at `phys` in `slot`, as commands 10 and 11 do.
inline bool StartSlotSender(PCIV_TRANS_CHN_S* pSlot, uint32_t phys, uint32_t size, uint32_t notice,
                            uint32_t ack) {
    PCIV_TRANS_PARAM_S p{0, 0, size, phys, notice, ack};
    PCIV_TRANS_SENDER_S* s = nullptr;
    if (PCIV_Trans_InitSender(&p, &s) != 0) return false;
    {
        std::lock_guard<std::mutex> lock(pSlot->mtxTrans);
        pSlot->pTrans = s;
    }
    pSlot->s32Running = 1;
    return true;
}

// Stops it by the slot's lock order: the running flag first, the record taken out under the lock.
inline void StopSlotSender(PCIV_TRANS_CHN_S* pSlot) {
    pSlot->s32Running = 0;
    void* old = nullptr;
    {
        std::lock_guard<std::mutex> lock(pSlot->mtxTrans);
        old = pSlot->pTrans.exchange(nullptr);
    }
    if (old != nullptr) PCIV_Trans_DeInitSender(static_cast<PCIV_TRANS_SENDER_S*>(old));
    // Acknowledgements the master sent this sender that it never read would reach the next test's
    // sender and move its ring's read position: they go, until the ports stay quiet for a while.
    PCIV_MSG_S m;
    for (uint32_t port : {kVideoAck, kJpegAck})
        while (PCIV_ReadMsgTimeout(0, static_cast<int>(port), &m, 50) >= 0) {
        }
}

// A camera on video input channel `vi` at 25 frames a second, bound to processing group `grp` (which
// the capture module made): what the master's input set-up does, so the encoders have pictures.
inline bool StartCaptureInput(VI_CHN vi, MK_S32 grp, uint32_t w, uint32_t h) {
    VI_CHN_ATTR_S a{};
    a.stCapRect = {0, 0, w, h};
    a.u32DestWidth = w;
    a.u32DestHeight = h;
    a.s32SrcFrameRate = a.s32DstFrameRate = 25;
    MPP_CHN_S src{MK_ID_VIU, 0, vi}, dst{MK_ID_VPSS, grp, 0};
    return MK_MPI_SYS_Bind(&src, &dst) == 0 && MK_MPI_VI_SetChnAttr(vi, &a) == 0 &&
           MK_MPI_VI_EnableChn(vi) == 0;
}

// The master's end of one ring: reads every notice, keeps the records it carries and acknowledges
// it, unless told to hold its acknowledgements (which are then sent when it is told to go on).
class RingMaster {
public:
    RingMaster(FakeMaster* pMaster, mem::Ram* pRam, uint32_t phys, uint32_t notice, uint32_t ack)
        : m_master(pMaster), m_ram(pRam), m_phys(phys), m_notice(notice), m_ack(ack) {
        m_thread = std::thread([this] { Loop(); });
    }
    ~RingMaster() {
        m_stop = true;
        m_thread.join();
    }
    void HoldAcks(bool hold) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_hold = hold;
        if (!hold) {
            for (const PCIV_TRANS_NOTICE_S& a : m_pending) m_master->SendMsg(m_ack, 19, &a, sizeof(a));
            m_pending.clear();
        }
    }
    uint64_t Notices() const { return m_notices.load(); }
    std::vector<ParsedRecord> Records() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_records;
    }
    size_t RecordCount() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_records.size();
    }
    // Waits (without a fixed sleep) until `pred` holds or about 20 s pass.
    static bool WaitUntil(const std::function<bool()>& pred) {
        for (int i = 0; i < 200000 && !pred(); ++i) {
            if (i > 1000) usleep(100);
            sched_yield();
        }
        return pred();
    }

private:
    void Loop() {
        uint32_t seq = 0;
        while (!m_stop) {
            FakeMaster::Record r;
            if (!m_master->Take(m_notice, &r, std::chrono::milliseconds(20))) continue;
            const auto* n = reinterpret_cast<const PCIV_TRANS_NOTICE_S*>(r.msg.au32Payload);
            std::vector<uint8_t> data(n->u32End - n->u32Start);
            m_ram->Read(m_phys + n->u32Start, data.data(), data.size());
            PCIV_TRANS_NOTICE_S a{n->u32Start, n->u32End, seq++};
            std::lock_guard<std::mutex> lock(m_mutex);
            for (ParsedRecord& rec : ParseRecords(data.data(), data.size()))
                m_records.push_back(std::move(rec));
            if (m_hold) {
                m_pending.push_back(a);
            } else {
                m_master->SendMsg(m_ack, 19, &a, sizeof(a));
            }
            ++m_notices;
        }
    }

    FakeMaster* m_master;
    mem::Ram* m_ram;
    uint32_t m_phys, m_notice, m_ack;
    std::atomic<bool> m_stop{false};
    std::atomic<uint64_t> m_notices{0};
    std::mutex m_mutex;  // guards the lists and m_hold
    bool m_hold = false;
    std::vector<PCIV_TRANS_NOTICE_S> m_pending;
    std::vector<ParsedRecord> m_records;
    std::thread m_thread;
};

}  // namespace varnelle::testing
