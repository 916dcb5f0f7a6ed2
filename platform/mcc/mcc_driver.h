// The simulated multi-chip message channel, /dev/mcc_userdev.
//
// Each chip that has opened the device listens on a Unix SOCK_SEQPACKET socket <bus>/mcc-<chip>.sock.
// Sending to chip M connects to M's socket once and sends each message as one record: an 8-byte
// prefix {u32 source chip, u32 port} (little-endian) and the message bytes as written. Incoming
// records are sorted into per-(source chip, port) queues, which exist before the port is opened, so a
// message sent early waits for its port. A read returns one whole message and blocks while there is
// none; it never returns end-of-file. "Chip M is connected" means M's socket accepts a connection;
// the remote chips are those whose sockets are present in the bus directory. Priorities are ignored.
//
// A descriptor opened with O_NONBLOCK reads -1/EAGAIN instead of blocking when nothing is queued, so
// a reader can wait with poll and never block past its own stop.
//
// Queues are bounded (mcc_uapi.h): a message beyond its queue's room or the process's is dropped and
// counted for its (source chip, port), and the first drop of each queue is logged to standard error.
// Records for ports or source chips outside the channel are dropped at once.
#pragma once

#include <cstdint>
#include <string>

namespace varnelle::mcc {

// Registers the driver with the device seam. The chip id is read from the environment at the first
// open (host::ChipId(defaultChip)).
void InstallMccDriver(int defaultChip = 1);

// Test view: messages queued for (source chip, port) and not yet read; messages dropped for it; records
// dropped for being outside the channel; bytes queued in all.
size_t QueuedMessages(int sourceChip, int port);
uint64_t DroppedMessages(int sourceChip, int port);
uint64_t DroppedOutsideChannel();
size_t QueuedBytes();

std::string SocketPath(int chip);

}  // namespace varnelle::mcc
