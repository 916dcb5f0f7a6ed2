// Which picture of a paced stream is due: a stream started at `start` has picture n due at
// start + n * period. The due picture is computed from the start, never by adding up waits, so a late
// caller gets the picture due now and learns how many it skipped.
#pragma once

#include <cstdint>
#include <optional>

namespace varnelle::drivers {

class StreamPacer {
public:
    // The stream stops; the next Poll starts it again from that moment.
    void Stop() { m_running = false; }
    bool Running() const { return m_running; }

    // The picture newly due at `now` (the stream starts at `now` with picture `first` when it is not
    // running), or nothing when the latest due one was taken already. Pictures passed over since
    // the last one taken are added to *skipped.
    std::optional<uint64_t> Poll(uint64_t now, uint64_t period, uint64_t first = 0, uint64_t* skipped = nullptr) {
        if (!m_running) {
            m_running = true;
            m_startUs = now;
            m_next = first;
        }
        const uint64_t due = (now - m_startUs) / period;
        if (due < m_next) return std::nullopt;
        if (skipped != nullptr) *skipped += due - m_next;
        m_next = due + 1;
        return due;
    }

    // When picture n is due, and when the next one not yet taken is.
    uint64_t DueAt(uint64_t n, uint64_t period) const { return m_startUs + n * period; }
    uint64_t NextAt(uint64_t period) const { return DueAt(m_next, period); }

private:
    bool m_running = false;
    uint64_t m_startUs = 0;
    uint64_t m_next = 0;
};

}  // namespace varnelle::drivers
