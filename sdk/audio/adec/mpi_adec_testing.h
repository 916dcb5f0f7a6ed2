// Test support of the audio decoder: not part of the SDK's interface.
#pragma once

#include "sdk/common/mk_type.h"

namespace mk::adec_testing {

// Callers of the channel now inside a blocking send or get.
MK_U32 Waiters(MK_S32 chn);
// Rounds the channel's blocking stream sends have waited for room in a full stream buffer.
MK_U32 FullWaits(MK_S32 chn);

}  // namespace mk::adec_testing
