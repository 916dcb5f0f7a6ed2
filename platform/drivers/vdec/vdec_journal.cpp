#include "platform/drivers/vdec/vdec_journal.h"

#include <algorithm>
#include <mutex>

#include <cinttypes>

#include "platform/host/clock.h"
#include "platform/drivers/vdec/vdec_state.h"
#include "platform/host/env.h"

namespace varnelle::drivers {

const char* VdecJournalKindName(VdecJournalKind kind) {
    switch (kind) {
        case VdecJournalKind::kCreate: return "create";
        case VdecJournalKind::kDestroy: return "destroy";
        case VdecJournalKind::kStart: return "start";
        case VdecJournalKind::kStop: return "stop";
        case VdecJournalKind::kReset: return "reset";
        case VdecJournalKind::kRefuse: return "refuse";
    }
    return "?";
}

VdecJournal::VdecJournal() : m_traceDir(host::TraceDir()) {}

VdecJournal::~VdecJournal() {
    for (Chn& c : m_chn) {
        if (c.h264 != nullptr) std::fclose(c.h264);
        if (c.log != nullptr) std::fclose(c.log);
    }
}

uint64_t VdecJournal::Now() const {
    return m_now != nullptr ? m_now() : host::MonotonicUs();
}

void VdecJournal::OpenTrace(int chn, Chn& c) {
    if (m_traceDir.empty() || c.log != nullptr) return;
    std::string base = m_traceDir + "/vdec-" + std::to_string(chn);
    c.h264 = std::fopen((base + ".h264").c_str(), "wb");
    c.log = std::fopen((base + ".log").c_str(), "w");
}

void VdecJournal::Packet(int chn, const VDEC_STREAM_S& st, const uint8_t* data) {
    Chn& c = m_chn[chn];
    VdecJournalPacket p{c.logged, st.u32Len, st.u64PTS, st.bEndOfFrame != 0, st.bEndOfStream != 0, Now(), c.seq++};
    c.logged += st.u32Len;
    if (m_enabled) {
        c.packets.push_back(p);
        c.bytes.insert(c.bytes.end(), data, data + st.u32Len);
    }
    OpenTrace(chn, c);
    if (c.h264 != nullptr) {
        std::fwrite(data, 1, st.u32Len, c.h264);
        std::fflush(c.h264);
    }
    if (c.log != nullptr) {
        std::fprintf(c.log, "packet seq=%" PRIu64 " offset=%" PRIu64 " len=%u pts=%" PRIu64 " eof=%d eos=%d at=%" PRIu64 "\n",
                     p.u64Seq, p.u64Offset, p.u32Len, p.u64Pts, p.bEndOfFrame, p.bEndOfStream, p.u64ArrivalUs);
        std::fflush(c.log);
    }
}

void VdecJournal::Event(int chn, VdecJournalKind kind, int32_t code) {
    Chn& c = m_chn[chn];
    VdecJournalEvent e{kind, code, Now(), c.seq++};
    if (m_enabled) c.events.push_back(e);
    OpenTrace(chn, c);
    if (c.log != nullptr) {
        std::fprintf(c.log, "%s seq=%" PRIu64 " code=0x%x at=%" PRIu64 "\n", VdecJournalKindName(kind), e.u64Seq,
                     static_cast<unsigned>(code), e.u64AtUs);
        std::fflush(c.log);
    }
}

void VdecJournal::Enable(bool on) {
    m_enabled = on;
}

std::vector<VdecJournalPacket> VdecJournal::Packets(int chn) const {
    return m_chn[chn].packets;
}

std::vector<VdecJournalEvent> VdecJournal::Events(int chn) const {
    return m_chn[chn].events;
}

std::vector<uint8_t> VdecJournal::Bytes(int chn, uint64_t offset, uint64_t len) const {
    const std::vector<uint8_t>& b = m_chn[chn].bytes;
    if (offset >= b.size()) return {};
    uint64_t n = std::min<uint64_t>(len, b.size() - offset);
    return std::vector<uint8_t>(b.begin() + static_cast<ptrdiff_t>(offset), b.begin() + static_cast<ptrdiff_t>(offset + n));
}

void VdecJournal::Clear() {
    for (Chn& c : m_chn) {
        c.packets.clear();
        c.events.clear();
        c.bytes.clear();
        c.bytes.shrink_to_fit();
        c.logged = 0;
    }
}

void VdecJournal::SetClock(uint64_t (*now)()) {
    m_now = now;
}

namespace {
bool JournalChn(int chn) { return static_cast<unsigned>(chn) < VDEC_MAX_CHN_NUM; }
}  // namespace

void VdecDriver::EnableJournal(bool on) {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->journal.Enable(on);
}

std::vector<VdecJournalPacket> VdecDriver::JournalPackets(int chn) const {
    if (!JournalChn(chn)) return {};
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->journal.Packets(chn);
}

std::vector<VdecJournalEvent> VdecDriver::JournalEvents(int chn) const {
    if (!JournalChn(chn)) return {};
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->journal.Events(chn);
}

std::vector<uint8_t> VdecDriver::JournalBytes(int chn, uint64_t offset, uint64_t len) const {
    if (!JournalChn(chn)) return {};
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->journal.Bytes(chn, offset, len);
}

void VdecDriver::ClearJournal() {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->journal.Clear();
}

void VdecDriver::SetJournalClock(uint64_t (*now)()) {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->journal.SetClock(now);
}

}  // namespace varnelle::drivers
