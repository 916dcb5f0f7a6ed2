// The message-channel device's user interface (/dev/mcc_userdev): the attribute record and its
// requests. Each open descriptor is bound to one (target chip, port) and carries whole messages.
#pragma once

#include <sys/ioctl.h>

#include <cstdint>

struct MCC_HANDLE_ATTR_S {
    int32_t target_id;
    int32_t port;
    int32_t priority;
    int32_t remote_id[31];  // filled by the get-remote-ids request, ended by -1
};
static_assert(sizeof(MCC_HANDLE_ATTR_S) == 136);

#define MK_MCC_IOC_CONNECT _IOW('M', 1, MCC_HANDLE_ATTR_S)
#define MK_MCC_IOC_CHECK _IOW('M', 2, MCC_HANDLE_ATTR_S)
#define MK_MCC_IOC_GET_LOCAL_ID _IOW('M', 4, MCC_HANDLE_ATTR_S)
#define MK_MCC_IOC_GET_REMOTE_ID _IOW('M', 5, MCC_HANDLE_ATTR_S)
#define MK_MCC_IOC_ATTR_INIT _IOW('M', 6, MCC_HANDLE_ATTR_S)
static_assert(MK_MCC_IOC_CONNECT == 0x40884D01);
static_assert(MK_MCC_IOC_CHECK == 0x40884D02);
static_assert(MK_MCC_IOC_GET_LOCAL_ID == 0x40884D04);
static_assert(MK_MCC_IOC_GET_REMOTE_ID == 0x40884D05);
static_assert(MK_MCC_IOC_ATTR_INIT == 0x40884D06);

// The largest message: a 16-byte header and 4096 bytes of payload.
constexpr uint32_t kMccMaxMessage = 4112;

// The channel's message ports and chips: a record for a port or source outside them is dropped.
constexpr int kMccPortMin = 100;
constexpr int kMccPortMax = 227;
constexpr int kMccMaxChip = 31;

// What the receiving side keeps of messages no reader has taken yet: per (source chip, port) queue,
// and in all the queues of a process. A message beyond either is dropped and counted.
constexpr size_t kMccQueueMaxMessages = 8192;
constexpr size_t kMccQueueMaxBytes = 8u << 20;
constexpr size_t kMccTotalMaxBytes = 64u << 20;
