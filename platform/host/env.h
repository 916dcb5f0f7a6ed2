// Where the host platform keeps the chip's world: the bus directory, this process's chip id, and the
// root under which the chip's file-system paths (/data/Fonts, /mnt/custom, /var) live.
#pragma once

#include <string>

namespace varnelle::host {

// $VARNELLE_BUS, default /dev/shm/varnelle. Read on every call so tests can switch buses.
std::string BusDir();

// $VARNELLE_CHIP, default `defaultChip` (1 for the slave program, 0 for the master simulator).
int ChipId(int defaultChip = 1);

// Maps an absolute chip path such as "/data/Fonts/Font.bin" under $VARNELLE_ROOT when that is set;
// returns the path unchanged otherwise.
std::string ChipPath(const std::string& path);

// $VARNELLE_TRACE: the directory where drivers write what a person would look at; empty when unset.
std::string TraceDir();

// True when the process may ask for real-time scheduling ($VARNELLE_RT=1).
bool RealTimeAllowed();

}  // namespace varnelle::host
