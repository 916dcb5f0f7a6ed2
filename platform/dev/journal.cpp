#include "platform/dev/journal.h"

#include <atomic>
#include <mutex>

namespace varnelle::dev {
namespace {

struct Journal {
    std::atomic<bool> active{false};
    std::mutex mutex;  // guards entries
    std::vector<JournalEntry> entries;
};

Journal& TheJournal() {
    static auto* j = new Journal;
    return *j;
}

}  // namespace

void JournalStart() {
    Journal& j = TheJournal();
    std::lock_guard<std::mutex> lock(j.mutex);
    j.entries.clear();
    j.active.store(true);
}

std::vector<JournalEntry> JournalStop() {
    Journal& j = TheJournal();
    std::lock_guard<std::mutex> lock(j.mutex);
    j.active.store(false);
    return std::move(j.entries);
}

std::vector<JournalEntry> JournalTake() {
    Journal& j = TheJournal();
    std::lock_guard<std::mutex> lock(j.mutex);
    std::vector<JournalEntry> out = std::move(j.entries);
    j.entries.clear();
    return out;
}

bool JournalActive() { return TheJournal().active.load(std::memory_order_relaxed); }

void JournalRecord(const std::string& node, unsigned long request, std::string object, int result) {
    Journal& j = TheJournal();
    std::lock_guard<std::mutex> lock(j.mutex);
    // A request that raced with the stop is not part of the recording.
    if (!j.active.load()) return;
    j.entries.push_back(JournalEntry{node, request, std::move(object), result});
}

}  // namespace varnelle::dev
