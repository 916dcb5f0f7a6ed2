#include "sdk/sys/mpi_sys.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/dev/dev.h"
#include "sdk/common/mk_debug.h"
#include "sdk/sys/mpi_sys_internal.h"

namespace dev = varnelle::dev;
using namespace mk::sys;

std::atomic<MK_S32> g_s32HRTimer{0};

namespace mk::sys {

SysModule& Module() {
    static auto* module = new SysModule;
    return *module;
}

MK_S32 OpenSys() {
    if (Module().sys.Ensure("/dev/sys", O_RDWR) == DevSlot::kReady) return MK_SUCCESS;
    int err = errno;
    std::perror("open sys");
    return err;
}

MK_S32 SysIoctl(unsigned long request, void* arg) {
    MK_S32 ret = OpenSys();
    if (ret != MK_SUCCESS) return ret;
    return dev::Ioctl(Module().sys.fd(), request, arg);
}

}  // namespace mk::sys

// Wrappers of one request whose only check is a null record: name, record type, request, message.
#define MK_SYS_RECORD_WRAPPERS(X)                                                   \
    X(MK_MPI_SYS_SetConf, const MPP_SYS_CONF_S, MK_SYS_IOC_SET_CONF, "null ptr!\n") \
    X(MK_MPI_SYS_GetConf, MPP_SYS_CONF_S, MK_SYS_IOC_GET_CONF, "null ptr!\n")       \
    X(MK_MPI_SYS_GetWord, MK_U32, MK_SYS_IOC_GET_WORD, "Null point \n")

#define MK_SYS_DEFINE_WRAPPER(name, type, request, message)                                     \
    MK_S32 name(type* pstRecord) {                                                              \
        if (pstRecord == nullptr) {                                                             \
            MK_TRACE(message);                                                                  \
            return kErrNull;                                                                    \
        }                                                                                       \
        return SysIoctl(request, const_cast<MK_VOID*>(static_cast<const MK_VOID*>(pstRecord))); \
    }
MK_SYS_RECORD_WRAPPERS(MK_SYS_DEFINE_WRAPPER)
#undef MK_SYS_DEFINE_WRAPPER

MK_S32 MK_MPI_SYS_SetU64First(MK_U64 u64Value) {
    return SysIoctl(MK_SYS_IOC_SET_U64_FIRST, &u64Value);
}

MK_S32 MK_MPI_SYS_SetU64Second(MK_U64 u64Value) {
    return SysIoctl(MK_SYS_IOC_SET_U64_SECOND, &u64Value);
}

// Unlike the record wrappers, the node is opened before the null check, and a null record is
// refused without a message.
MK_S32 MK_MPI_SYS_GetU64(MK_U64* pu64Value) {
    MK_S32 ret = OpenSys();
    if (ret != MK_SUCCESS) return ret;
    if (pu64Value == nullptr) return kErrNull;
    return dev::Ioctl(Module().sys.fd(), MK_SYS_IOC_GET_U64, pu64Value);
}

MK_S32 MK_MPI_SYS_Command(MK_VOID) {
    return SysIoctl(MK_SYS_IOC_COMMAND, nullptr);
}

MK_S32 MK_MPI_SYS_GetChipCustomerId(MK_U32* pu32CustomerId) {
    if (pu32CustomerId == nullptr) {
        MK_TRACE("Null point \n");
        return kErrNull;
    }
    MK_S32 ret = OpenSys();
    if (ret != MK_SUCCESS) return ret;
    ret = dev::Ioctl(Module().sys.fd(), MK_SYS_IOC_GET_CUSTOMER_ID, pu32CustomerId);
    if (ret != MK_SUCCESS) {
        MK_TRACE("System get chip customer ID failed!\n");
        return kErrNotReady;
    }
    return MK_SUCCESS;
}

MK_S32 MK_MPI_SYS_SetWord(MK_U32 u32Word) {
    MK_S32 ret = OpenSys();
    if (ret != MK_SUCCESS) return ret;
    ret = dev::Ioctl(Module().sys.fd(), MK_SYS_IOC_SET_WORD, &u32Word);
    return ret == MK_SUCCESS ? MK_SUCCESS : kErrNotReady;
}

MK_S32 MK_MPI_SYS_SetRecordPair(const MK_SYS_RECORD8_S* pstKey, const MK_SYS_RECORD16_S* pstValue) {
    if (pstKey == nullptr || pstValue == nullptr) {
        MK_TRACE("Null point \n");
        return kErrNull;
    }
    MK_SYS_RECORD_PAIR_S pair{*pstKey, *pstValue};
    return SysIoctl(MK_SYS_IOC_SET_PAIR, &pair);
}

MK_S32 MK_MPI_SYS_QueryRecordPair(const MK_SYS_RECORD8_S* pstKey, MK_SYS_RECORD16_S* pstValue) {
    if (pstKey == nullptr || pstValue == nullptr) {
        MK_TRACE("Null point \n");
        return kErrNull;
    }
    MK_SYS_RECORD_PAIR_S pair{*pstKey, {}};
    MK_S32 ret = SysIoctl(MK_SYS_IOC_QUERY_PAIR, &pair);
    if (ret == MK_SUCCESS) *pstValue = pair.stValue;
    return ret;
}

MK_S32 MK_MPI_SYS_SetMemConf(const MPP_CHN_S* pstMppChn, const MK_CHAR* pcMmzName) {
    if (pstMppChn == nullptr) {
        MK_TRACE("Null point \n");
        return kErrNull;
    }
    MK_SYS_MEM_CONF_S conf{};
    conf.stMppChn = *pstMppChn;
    // The field takes up to 16 characters with no room for a terminator.
    if (pcMmzName != nullptr)
        std::memcpy(conf.acMmzName, pcMmzName, strnlen(pcMmzName, sizeof(conf.acMmzName)));
    return SysIoctl(MK_SYS_IOC_SET_MEM_CONF, &conf);
}

MK_S32 MK_MPI_SYS_GetMemConf(const MPP_CHN_S* pstMppChn, MK_CHAR* pcMmzName) {
    if (pstMppChn == nullptr) {
        MK_TRACE("Null point \n");
        return kErrNull;
    }
    MK_SYS_MEM_CONF_EX_S conf{};
    conf.stMppChn = *pstMppChn;
    MK_S32 ret = SysIoctl(MK_SYS_IOC_GET_MEM_CONF, &conf);
    if (ret != MK_SUCCESS) return ret;
    if (pcMmzName != nullptr) {
        // The driver's name need not be terminated: never read or write past its 16 bytes.
        size_t len = strnlen(conf.acMmzName, sizeof(conf.acMmzName));
        std::memcpy(pcMmzName, conf.acMmzName, len);
        if (len < sizeof(conf.acMmzName)) pcMmzName[len] = '\0';
    }
    return MK_SUCCESS;
}

MK_S32 MK_MPI_SYS_SetReg(MK_U32 u32Addr, MK_U32 u32Value) {
    MK_VOID* p = MK_MPI_SYS_Mmap(u32Addr, sizeof(MK_U32));
    if (p == nullptr) return MK_FAILURE;
    std::memcpy(p, &u32Value, sizeof(u32Value));
    return MK_MPI_SYS_Munmap(p, sizeof(MK_U32));
}

MK_S32 MK_MPI_SYS_GetReg(MK_U32 u32Addr, MK_U32* pu32Value) {
    if (pu32Value == nullptr) return kErrNull;
    MK_VOID* p = MK_MPI_SYS_Mmap(u32Addr, sizeof(MK_U32));
    if (p == nullptr) return MK_FAILURE;
    std::memcpy(pu32Value, p, sizeof(*pu32Value));
    return MK_MPI_SYS_Munmap(p, sizeof(MK_U32));
}

MK_S32 MK_MPI_SYS_GetFd(MK_VOID) {
    MK_S32 ret = OpenSys();
    return ret != MK_SUCCESS ? ret : Module().sys.fd();
}

MK_S32 MK_MPI_SYS_CloseFd(MK_VOID) {
    struct {
        mk::DevSlot* slot;
        const char* message;
    } const slots[] = {
        {&Module().log, "Close Log Fail"},
        {&Module().sys, "Close SYS Fail"},
        {&Module().mem, "Close mem/dev Fail"},
    };
    for (const auto& s : slots) {
        MK_S32 ret = s.slot->Close();
        if (ret != MK_SUCCESS) {
            std::perror(s.message);
            return ret;
        }
    }
    return MK_SUCCESS;
}

namespace {

MK_S32 LogRequest(unsigned long request, LOG_LEVEL_CONF_S* pstConf) {
    if (pstConf == nullptr) {
        MK_TRACE("null ptr!\n");
        return MK_FAILURE;
    }
    if (Module().log.Ensure("/dev/logmpp", O_RDWR) != mk::DevSlot::kReady) {
        int err = errno;
        std::perror("open");
        return err;
    }
    return dev::Ioctl(Module().log.fd(), request, pstConf);
}

}  // namespace

MK_S32 MK_MPI_LOG_SetLevelConf(const LOG_LEVEL_CONF_S* pstConf) {
    return LogRequest(MK_LOG_IOC_SET_CONF, const_cast<LOG_LEVEL_CONF_S*>(pstConf));
}

MK_S32 MK_MPI_LOG_GetLevelConf(LOG_LEVEL_CONF_S* pstConf) {
    return LogRequest(MK_LOG_IOC_GET_CONF, pstConf);
}
