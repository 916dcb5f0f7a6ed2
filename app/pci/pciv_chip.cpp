#include "app/pci/pciv_chip.h"

#include <fcntl.h>

#include <cstring>

#include "app/comm/app_log.h"
#include "platform/dev/dev.h"
#include "platform/mcc/mcc_uapi.h"

namespace dev = varnelle::dev;

namespace {

constexpr const char* kSrc = "../pci/pciv_chip.c";
constexpr int kRecordIds = sizeof(MCC_HANDLE_ATTR_S::remote_id) / sizeof(int32_t);

}  // namespace

PCIV_CHIP_TABLE_S* PcivGetChipTable() {
    static auto* t = new PCIV_CHIP_TABLE_S;
    return t;
}

int PcivEnumChip() {
    PCIV_CHIP_TABLE_S* t = PcivGetChipTable();
    for (int32_t& id : t->as32RemoteId) id = -1;
    t->u32RemoteNum = 0;
    int fd = dev::Open("/dev/mcc_userdev", O_RDWR);
    if (fd < 0) {
        APP_ERR(kSrc, "open mcc dev fail\n");
        return -1;
    }
    MCC_HANDLE_ATTR_S attr;
    std::memset(&attr, 0, sizeof(attr));
    if (dev::Ioctl(fd, MK_MCC_IOC_ATTR_INIT, &attr) != 0) {
        APP_ERR(kSrc, "initialization for attr failed!\n");
        dev::Close(fd);
        return -1;
    }
    t->s32LocalId = dev::Ioctl(fd, MK_MCC_IOC_GET_LOCAL_ID, &attr);
    if (dev::Ioctl(fd, MK_MCC_IOC_GET_REMOTE_ID, &attr) != 0) {
        APP_ERR(kSrc, "get pci remote id fail \n");
        dev::Close(fd);
        return -1;
    }
    uint32_t n = 0;
    while (n < PCIV_MAX_CHIP && n < static_cast<uint32_t>(kRecordIds) && attr.remote_id[n] != -1) {
        t->as32RemoteId[n] = attr.remote_id[n];
        ++n;
    }
    t->u32RemoteNum = n;
    attr.target_id = 5;
    attr.port = 0;
    attr.priority = 0;
    dev::Ioctl(fd, MK_MCC_IOC_CONNECT, &attr);
    dev::Close(fd);
    return 0;
}

PCIV_TRANS_CHN_S* PcivGetVencTrans() {
    return &PcivGetChipTable()->stVencTrans;
}
PCIV_TRANS_CHN_S* PcivGetJpegTrans() {
    return &PcivGetChipTable()->stJpegTrans;
}
PCIV_TRANS_CHN_S* PcivGetChnTrans(int index) {
    if (index < 0 || index >= PCIV_VDEC_SLOT_NUM) return nullptr;
    return &PcivGetChipTable()->astChnTrans[index];
}
PCIV_TRANS_CHN_S* PcivGetOsdTrans() {
    return &PcivGetChipTable()->stOsdTrans;
}
