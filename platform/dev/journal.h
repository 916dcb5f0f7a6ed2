// An opt-in record of the requests that pass the device seam, in call order, for in-process tests
// that check which requests a piece of the program sends and in what order. Off unless started; while
// it is off a request costs one atomic load more.
#pragma once

#include <string>
#include <vector>

namespace varnelle::dev {

struct JournalEntry {
    std::string node;       // the driver's node path, "/dev/vb"
    unsigned long request;  // the request number as sent
    std::string object;     // the object the descriptor is bound to, as its driver names it ("" unbound)
    int result;             // what the caller got back (injected faults included)
};

// Starts recording, dropping whatever an earlier recording left. Any thread.
void JournalStart();
// Stops recording and hands over what was recorded. Any thread.
std::vector<JournalEntry> JournalStop();
// Hands over what was recorded so far and goes on recording.
std::vector<JournalEntry> JournalTake();

// Called by the seam after each simulated request.
void JournalRecord(const std::string& node, unsigned long request, std::string object, int result);
bool JournalActive();

}  // namespace varnelle::dev
