// With $VARNELLE_TRACE set, what a person would watch a display channel do: each show, hide, pause and
// resume goes to vo-<layer>-<chn>.log there, one line with the platform's monotonic time. Unset,
// nothing is written.
#pragma once

namespace varnelle::drivers {

// `what`: "show", "hide", "pause" or "resume".
void VoTraceChn(int layer, int chn, const char* what);

}  // namespace varnelle::drivers
