// Test support of the VB module: not part of the SDK's interface.
#pragma once

namespace mk::vb_testing {

// Forgets every pool mapping (unmapping it) and closes /dev/vb, so the next call opens it again.
void CloseDevice();

}  // namespace mk::vb_testing
