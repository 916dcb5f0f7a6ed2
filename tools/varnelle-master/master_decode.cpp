#include "tools/varnelle-master/master_decode.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <random>

#include "app/dec/avdec_state.h"
#include "app/pci/pciv_host.h"
#include "app/pci/pciv_proto.h"
#include "app/pci/pciv_slave.h"
#include "platform/host/clock.h"
#include "platform/mem/ram.h"
#include "tools/varnelle-master/master_sim.h"

namespace varnelle::master {
namespace {

bool IsSlice(unsigned type) {
    return type == 1 || type == 2 || type == 5;
}

// NAL types that open a new access unit once the current one has a slice.
bool OpensUnit(unsigned type) {
    return type == 6 || type == 7 || type == 8 || type == 9 || (type >= 14 && type <= 18);
}

// Ports of decoder slot i.
uint32_t NoticePort(uint32_t slot) {
    return PCIV_HOST_PORT_VDEC_BASE + 2 * slot;
}
uint32_t AckPort(uint32_t slot) {
    return PCIV_HOST_PORT_VDEC_BASE + 2 * slot + 1;
}

// The notices a slot has open, acknowledged in order.
class AckChecker {
public:
    AckChecker(int chip, uint32_t port, int timeoutMs) : m_chip(chip), m_port(port), m_timeoutMs(timeoutMs) {}

    void Sent(uint32_t start, uint32_t end) { m_open.push_back({start, end}); }
    bool Empty() const { return m_open.empty(); }
    size_t Mismatches() const { return m_mismatches; }
    size_t Matched() const { return m_matched; }

    // Reads one acknowledgement (waiting up to `timeoutMs`; 0: only one that has arrived); false when none
    // came.
    bool TakeOne(int timeoutMs) {
        PCIV_MSG_S msg;
        if (PcivHostReadMsg(m_chip, static_cast<int>(m_port), &msg, timeoutMs) != 0) return false;
        PCIV_TRANS_NOTICE_S a{};
        bool ok = msg.stMsgHead.u32MsgType == PCIV_MSGTYPE_FREE && msg.stMsgHead.u32MsgLen >= sizeof(a) &&
                  !m_open.empty();
        if (ok) {
            std::memcpy(&a, msg.au32Payload, sizeof(a));
            ok = a.u32Start == m_open.front().first && a.u32End == m_open.front().second && a.u32Seq == m_seq;
        }
        ++(ok ? m_matched : m_mismatches);
        if (!m_open.empty()) m_open.pop_front();
        ++m_seq;
        return true;
    }
    // Takes whatever has arrived.
    void Poll() {
        while (!m_open.empty() && TakeOne(0)) {
        }
    }
    // The sequence number and range of the oldest open notice.
    uint32_t OldestSeq() const { return m_seq; }
    std::pair<uint32_t, uint32_t> Oldest() const {
        return m_open.empty() ? std::pair<uint32_t, uint32_t>{} : m_open.front();
    }
    // Waits until [start, end) is no longer open, each acknowledgement within the time-out of the one
    // before; false when one did not come.
    bool WaitFree(uint32_t start, uint32_t end) {
        for (;;) {
            bool busy = false;
            for (const auto& o : m_open) {
                uint32_t s = std::min(o.first, o.second), e = std::max(o.first, o.second);
                if (s < end && start < e) busy = true;
            }
            if (!busy) return true;
            if (!TakeOne(m_timeoutMs)) return false;
        }
    }
    // Waits for every open notice, each within the time-out of the one before; false when one did not
    // come.
    bool WaitAll() {
        while (!m_open.empty()) {
            if (!TakeOne(m_timeoutMs)) return false;
        }
        return true;
    }
    // Gives up on the open notices once what has arrived is taken: how many were never acknowledged.
    size_t Abandon() {
        Poll();
        size_t missing = m_open.size();
        m_open.clear();
        return missing;
    }

private:
    int m_chip;
    uint32_t m_port;
    int m_timeoutMs;
    std::deque<std::pair<uint32_t, uint32_t>> m_open;
    uint32_t m_seq = 0;
    size_t m_mismatches = 0;
    size_t m_matched = 0;
};

// A window block of the slave (command 14 or 57): its address as the master names it and as the
// slave's RAM holds it; 0 on failure.
uint32_t WindowBlock(MasterSim& sim, int chip, uint32_t code, uint32_t size, uint32_t* pLocal) {
    SLAVE_PCIV_MALLOC_S req{};
    req.u32BlkSize = size;
    req.u32BlkCnt = 1;
    PCIV_MSG_S reply;
    int r = sim.CommandTo(chip, code, &req, sizeof(req), &reply);
    uint32_t addr = reply.au32Payload[4];
    if (r != 0 || addr == 0) {
        sim.Log("command %u for a block of %u bytes: result %d, address 0x%x", code, size, r, addr);
        return 0;
    }
    *pLocal = addr - PCIV_MASTER_WINDOW_OFFSET;
    return addr;
}

void Put32(std::vector<uint8_t>& p, uint32_t off, uint32_t v) {
    std::memcpy(&p[off], &v, 4);
}

}  // namespace

std::vector<AccessUnit> SplitAccessUnits(const uint8_t* d, size_t n) {
    std::vector<AccessUnit> units;
    bool haveUnit = false, seenSlice = false;
    size_t unitStart = 0;
    for (size_t i = 0; i + 3 < n; ++i) {
        if (d[i] != 0 || d[i + 1] != 0 || d[i + 2] != 1) continue;
        size_t codeStart = i > 0 && d[i - 1] == 0 ? i - 1 : i;
        size_t hdr = i + 3;
        unsigned type = d[hdr] & 0x1F;
        bool firstSlice = IsSlice(type) && hdr + 1 < n && (d[hdr + 1] & 0x80);
        if (haveUnit && seenSlice && (OpensUnit(type) || firstSlice)) {
            units.push_back({unitStart, codeStart - unitStart});
            haveUnit = false;
        }
        if (!haveUnit) {
            haveUnit = true;
            seenSlice = false;
            unitStart = codeStart;
        }
        if (IsSlice(type)) seenSlice = true;
        i = hdr;
    }
    if (haveUnit) units.push_back({unitStart, n - unitStart});
    return units;
}

DecodeResult FeedDecodeSlot(MasterSim& sim, uint32_t slot, const std::vector<uint8_t>& stream,
                            const DecodeOptions& opt) {
    DecodeResult res;
    const int chip = sim.ChipOr(opt.chip);
    uint32_t local = 0;
    uint32_t addr = WindowBlock(sim, chip, 14, opt.bufSize, &local);
    // The slave's RAM exists once the slave has used it: after the block is made.
    mem::Ram* ram = addr != 0 ? mem::Ram::Remote(chip) : nullptr;
    if (ram == nullptr || !ram->Contains(local, opt.bufSize)) {
        sim.Log("decode slot %u: no window block of %u bytes", slot, opt.bufSize);
        res.setupFailed = true;
        return res;
    }
    uint32_t chn = slot;
    sim.CommandTo(chip, 55, &chn, 4);
    MasterSim::PlayState& play = sim.Play(chip);
    std::unique_lock<std::mutex> playLock(play.mutex);
    // The playback record: display channel and decoder of the slot, display enabled, hiding on 8.
    std::vector<uint8_t> params(PLAY_PARAMS_LEN, 0);
    Put32(params, 16, chn);
    Put32(params, 28 + 4 * (AVDEC_HEAD_HIDE_DEV - 6), 8);
    Put32(params, 28 + 4 * (AVDEC_HEAD_DISP_ON - 6), 1);
    // Payload byte 28 on is the block's byte 24 on: the started flags of the channels playing.
    for (uint32_t i = 0; i < AVDEC_CHN_NUM; ++i) Put32(params, 4 + AVDEC_ENTRY_OFF + AVDEC_ENTRY_SIZE * i, play.started[i]);
    const uint32_t rec = 1992;
    if (opt.vpssGroup >= 0) Put32(params, rec + REC_VPSS_GRP, static_cast<uint32_t>(opt.vpssGroup));
    for (uint32_t f : {REC_PIC_W, REC_CUR_W, REC_MAX_W}) Put32(params, rec + f, opt.width);
    for (uint32_t f : {REC_PIC_H, REC_CUR_H, REC_MAX_H}) Put32(params, rec + f, opt.height);
    Put32(params, rec + REC_CREATED, 1);
    Put32(params, rec + REC_PAYLOAD, AVDEC_PT_H264);
    Put32(params, rec + REC_VO_CHN, chn);
    Put32(params, rec + REC_VDEC_CHN, chn);
    Put32(params, rec + REC_JPEG_CHN, chn + 16);
    sim.CommandTo(chip, 64, params.data(), PLAY_PARAMS_LEN);
    uint32_t first = PcivHostGetState()->stSysParam.u32FirstDecChn;
    uint32_t start16[7] = {0, 0, opt.bufSize, addr, NoticePort(slot), AckPort(slot), first + slot};
    int r = sim.CommandTo(chip, 16, start16, sizeof(start16));
    if (r != 0) {
        sim.Log("decode slot %u: command 16 answered %d", slot, r);
        res.setupFailed = true;
        return res;
    }
    sim.CommandTo(chip, 70, &chn, 4);
    // 70 has no answer and the frames go another way: a command that is answered (the slave answers a
    // code past its table) shows the command loop has started the decoder before the first frame.
    uint32_t mark = 0;
    sim.CommandTo(chip, 200, &mark, sizeof(mark));
    if (chn < AVDEC_CHN_NUM) play.started[chn] = 1;
    playLock.unlock();
    if (opt.started) opt.started();

    std::vector<AccessUnit> units = SplitAccessUnits(stream.data(), stream.size());
    std::mt19937 rng(opt.seed);
    const int ackTimeoutMs = opt.ackTimeoutMs > 0 ? opt.ackTimeoutMs : sim.ReplyTimeoutMs();
    AckChecker acks(chip, AckPort(slot), ackTimeoutMs);
    const auto missing = [&] {
        const auto [start, end] = acks.Oldest();
        sim.Missing("decode slot %u: no acknowledgement of notice %u (bytes %u-%u) %s", slot,
                    acks.OldestSeq(), start, end, sim.Cutoff(ackTimeoutMs).c_str());
    };
    sim.Log("decode slot %u: playing %zu access units through a block of %u bytes", slot, units.size(),
            opt.bufSize);
    uint32_t seq = 0;
    uint32_t pos = 0;
    bool gaveUp = false;
    const uint64_t t0 = host::MonotonicUs();
    const bool loop = opt.stop != nullptr;
    for (size_t f = 0; f < opt.maxFrames && !units.empty(); ++f) {
        if (f >= units.size() && !loop) break;
        if (loop && opt.stop->load()) break;
        if (sim.Interrupted()) {
            sim.Log("decode slot %u: interrupted before frame %zu", slot, f);
            break;
        }
        if (opt.realTime) {
            // Frame f is due at f frame times from the first; meanwhile the acknowledgements come in.
            const uint64_t due = t0 + static_cast<uint64_t>(f) * opt.frameUs;
            for (uint64_t now = host::MonotonicUs();
                 now < due && !(loop && opt.stop->load()) && !sim.Interrupted(); now = host::MonotonicUs()) {
                acks.Poll();
                usleep(static_cast<useconds_t>(std::min<uint64_t>(due - now, 5000)));
            }
        }
        const AccessUnit& u = units[f % units.size()];
        BadNotice bad = opt.bad ? opt.bad(f) : BadNotice::kNone;
        size_t parts = std::min<size_t>(1 + rng() % 3, u.length);
        size_t done = 0;
        for (size_t k = 0; k < parts; ++k) {
            size_t len = k + 1 == parts ? u.length - done
                                        : 1 + rng() % std::max<size_t>(1, (u.length - done) - (parts - k - 1));
            uint32_t total = static_cast<uint32_t>(PCIV_FRAG_HEAD_LEN + len);
            if (total > opt.bufSize) {
                sim.Log("decode slot %u: frame %zu does not fit the block", slot, f);
                res.setupFailed = true;
                return res;
            }
            if (pos + total > opt.bufSize) pos = 0;
            if (!acks.WaitFree(pos, pos + total)) {
                missing();
                gaveUp = true;
                break;
            }
            PCIV_VdecFragHead h{};
            h.u32Chn = chn;
            h.u32Last = k + 1 == parts;
            h.u32Len = static_cast<uint32_t>(len);
            h.u64Pts = static_cast<uint64_t>(f) * opt.frameUs;
            h.bEndOfFrame = 1;
            PCIV_TRANS_NOTICE_S n{pos, pos + total, seq++};
            if (k == 0) {
                if (bad == BadNotice::kStartPastEnd && pos == 0) bad = BadNotice::kLongLength;
                switch (bad) {
                    case BadNotice::kEndPastBuffer: n.u32End = opt.bufSize + 64; break;
                    case BadNotice::kLongLength: h.u32Len += 1; break;
                    case BadNotice::kNoRecord: h.u32Chn = AVDEC_CHN_NUM; break;
                    case BadNotice::kStartPastEnd: n.u32End = pos - 1; break;
                    case BadNotice::kNone: break;
                }
            }
            ram->Write(local + pos, &h, sizeof(h));
            ram->Write(local + pos + PCIV_FRAG_HEAD_LEN, stream.data() + u.offset + done, len);
            acks.Sent(n.u32Start, n.u32End);
            PCIV_SendMsg(chip, static_cast<int>(NoticePort(slot)), sizeof(n), PCIV_MSGTYPE_NOTIFY, &n);
            ++res.fragments;
            done += len;
            pos = (pos + total + 3) & ~3u;
            acks.Poll();
        }
        if (gaveUp) break;
        ++res.frames;
        if (bad != BadNotice::kNone) ++res.badFrames;
    }
    if (!gaveUp && !acks.WaitAll()) missing();
    res.ackMissing = acks.Abandon();
    res.ackMismatches = acks.Mismatches();
    res.acked = acks.Matched();
    sim.Log("decode slot %u: %zu frames in %zu fragments (%zu bad), %zu acknowledgements wrong, %zu missing", slot,
            res.frames, res.fragments, res.badFrames, res.ackMismatches, res.ackMissing);
    return res;
}

int SendOsdRecord(MasterSim& sim, uint32_t chn, uint32_t stream, uint32_t index, uint32_t x, uint32_t y,
                  uint32_t width, uint32_t height, uint32_t show, uint8_t seed) {
    static constexpr uint32_t kOsdBuf = 1u << 20;
    int chip = sim.SlaveChip();
    MasterSim::OsdSlot& osd = sim.Osd();
    if (osd.addr == 0) {
        osd.addr = WindowBlock(sim, chip, 57, kOsdBuf, &osd.local);
        uint32_t start58[6] = {0, 0, kOsdBuf, osd.addr, PCIV_HOST_PORT_TITLE, PCIV_HOST_PORT_OSD_ACK};
        if (osd.addr == 0 || sim.Command(58, start58, sizeof(start58)) != 0) {
            sim.Log("OSD buffer: cannot be set up");
            osd.addr = 0;
            return -1;
        }
    }
    mem::Ram* ram = mem::Ram::Remote(chip);
    if (ram == nullptr) return -1;
    uint32_t total = PCIV_OSD_REC_LEN + 2 * width * height;
    if (width > 0xFFFF || height > 0xFFFF || total > kOsdBuf) return -1;
    if (osd.pos + total > kOsdBuf) osd.pos = 0;
    PCIV_OSD_REC_S rec{chn, stream, index, show, static_cast<uint16_t>(x), static_cast<uint16_t>(y),
                       static_cast<uint16_t>(width), static_cast<uint16_t>(height), 0xFFFFFF, 0x80000000u, 0, 0};
    std::vector<uint8_t> px(2 * width * height);
    for (size_t i = 0; i < px.size(); ++i) px[i] = static_cast<uint8_t>(seed + i);
    ram->Write(osd.local + osd.pos, &rec, sizeof(rec));
    ram->Write(osd.local + osd.pos + PCIV_OSD_REC_LEN, px.data(), px.size());
    PCIV_TRANS_NOTICE_S n{osd.pos, osd.pos + total, osd.seq++};
    PCIV_SendMsg(chip, PCIV_HOST_PORT_TITLE, sizeof(n), PCIV_MSGTYPE_NOTIFY, &n);
    osd.pos = (osd.pos + total + 3) & ~3u;
    // Acknowledgements carry the slave's own count, which starts with the first record.
    PCIV_MSG_S msg;
    if (PcivHostReadMsg(chip, PCIV_HOST_PORT_OSD_ACK, &msg, sim.ReplyTimeoutMs()) != 0) {
        sim.Missing("OSD record channel %u stream %u title %u: no acknowledgement of notice %u %s", chn,
                    stream, index, n.u32Seq, sim.Cutoff().c_str());
        return -1;
    }
    PCIV_TRANS_NOTICE_S a{};
    std::memcpy(&a, msg.au32Payload, sizeof(a));
    bool ok = msg.stMsgHead.u32MsgType == PCIV_MSGTYPE_FREE && a.u32Start == n.u32Start && a.u32End == n.u32End &&
              a.u32Seq == osd.ackSeq++;
    sim.Log("OSD record channel %u stream %u title %u %ux%u: %s", chn, stream, index, width, height,
            ok ? "acknowledged" : "acknowledgement wrong");
    return ok ? 0 : -1;
}

}  // namespace varnelle::master
