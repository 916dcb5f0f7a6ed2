// The simulated multi-chip message channel, /dev/mcc_userdev.
//
// Each chip that has opened the device listens on a Unix SOCK_SEQPACKET socket <bus>/mcc-<chip>.sock.
// Sending to chip M connects to M's socket once and sends each message as one record: an 8-byte
// prefix {u32 source chip, u32 port} (little-endian) and the message bytes as written. Incoming
// records are sorted into per-(source chip, port) queues, which exist before the port is opened, so a
// message sent early waits for its port. A read returns one whole message and blocks while there is
// none; it never returns end-of-file. "Chip M is connected" means M's socket accepts a connection;
// the remote chips are those whose sockets are present in the bus directory. Priorities are ignored.
#pragma once

#include <cstdint>
#include <string>

namespace varnelle::mcc {

// Registers the driver with the device seam. The chip id is read from the environment at the first
// open (host::ChipId(defaultChip)).
void InstallMccDriver(int defaultChip = 1);

// Test view: messages queued for (source chip, port) and not yet read.
size_t QueuedMessages(int sourceChip, int port);

std::string SocketPath(int chip);

}  // namespace varnelle::mcc
