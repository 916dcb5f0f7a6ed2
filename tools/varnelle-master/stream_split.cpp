#include "tools/varnelle-master/stream_split.h"

#include <sys/stat.h>

#include <cstring>

#include "platform/host/clock.h"

namespace varnelle::master {
namespace {

constexpr uint32_t kMagic = 0x55555555u;
constexpr size_t kHeadLen = 48;
constexpr uint32_t kPtH264 = 96;
constexpr uint32_t kPtJpeg = 26;
constexpr uint32_t kNalSps = 7;

uint32_t Word(const uint8_t* p, size_t off) {
    uint32_t v;
    std::memcpy(&v, p + off, sizeof(v));
    return v;
}

}  // namespace

size_t ParseStreamRecord(const uint8_t* data, size_t size, StreamRecord* r) {
    if (size < kHeadLen || Word(data, 0) != kMagic) return 0;
    r->payloadType = Word(data, 4);
    r->paddedLength = Word(data, 8);
    r->length = Word(data, 12);
    r->seq = Word(data, 16);
    std::memcpy(&r->pts, data + 24, sizeof(r->pts));
    r->chn = Word(data, 32);
    r->frameEnd = Word(data, 40);
    r->dataType = Word(data, 44);
    r->payload = data + kHeadLen;
    if (r->payloadType != kPtH264 && r->payloadType != kPtJpeg) return 0;
    if (r->paddedLength % 4 != 0 || r->length > r->paddedLength || r->paddedLength - r->length > 3) return 0;
    if (r->paddedLength > size - kHeadLen) return 0;
    return kHeadLen + r->paddedLength;
}

StreamSplitter::StreamSplitter(std::string outDir, bool jpeg) : m_outDir(std::move(outDir)), m_jpeg(jpeg) {
    if (!m_outDir.empty()) ::mkdir(m_outDir.c_str(), 0777);
}

StreamSplitter::~StreamSplitter() {
    for (auto& [chn, f] : m_files) std::fclose(f);
}

void StreamSplitter::Feed(const uint8_t* data, size_t size) {
    const uint64_t arrivedUs = host::MonotonicUs();
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t off = 0;
    while (off < size) {
        StreamRecord r;
        const size_t used = ParseStreamRecord(data + off, size - off, &r);
        if (used == 0 || (r.payloadType == kPtJpeg) != m_jpeg) {
            // Without a good header nothing tells where the next record starts.
            ++m_stats.badRecords;
            return;
        }
        Take(r, arrivedUs);
        off += used;
    }
}

void StreamSplitter::Take(const StreamRecord& r, uint64_t arrivedUs) {
    ++m_stats.records;
    ChannelStats& c = m_stats.channels[r.chn];
    if (c.frames > 0) {
        if (r.seq != c.lastSeq + 1) ++(r.seq == 0 ? c.seqRestarts : c.seqGaps);
        if (r.pts <= c.lastPts) ++c.ptsBackwards;
    } else {
        c.firstSeq = r.seq;
        c.firstPts = r.pts;
    }
    ++c.frames;
    c.bytes += r.length;
    c.lastSeq = r.seq;
    c.lastPts = r.pts;
    c.lastDataType = r.dataType;
    if (c.log.size() < ChannelStats::kFrameLog) {
        c.log.emplace_back(r.pts, r.dataType);
        c.arrivals.emplace_back(r.pts, arrivedUs);
    }
    if (!m_jpeg && r.dataType == kNalSps) ++c.keyFrames;
    if (m_outDir.empty()) return;
    if (m_jpeg) {
        std::string path = m_outDir + "/jpeg-" + std::to_string(r.chn) + "-" + std::to_string(c.frames - 1) + ".jpg";
        if (FILE* f = std::fopen(path.c_str(), "wb")) {
            std::fwrite(r.payload, 1, r.length, f);
            std::fclose(f);
        }
        return;
    }
    FILE*& f = m_files[r.chn];
    if (f == nullptr) f = std::fopen((m_outDir + "/venc-" + std::to_string(r.chn) + ".h264").c_str(), "wb");
    if (f != nullptr) {
        std::fwrite(r.payload, 1, r.length, f);
        std::fflush(f);
    }
}

SplitStats StreamSplitter::Stats() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stats;
}

}  // namespace varnelle::master
