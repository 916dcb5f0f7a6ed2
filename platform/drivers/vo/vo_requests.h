// The requests /dev/vo answers (private to the driver).
#pragma once

#include <sys/ioctl.h>

#include "sdk/vo/mpi_vo.h"

namespace varnelle::drivers::vo {

constexpr char kMagic = 'O';
constexpr int kPixFmtYuv420Sp = 23;

constexpr unsigned long kBind = _IOW(kMagic, 0, MK_U32);
// devices
constexpr unsigned long kEnable = _IO(kMagic, 2);
constexpr unsigned long kDisable = _IO(kMagic, 3);
constexpr unsigned long kEnableCascadeDev = _IO(kMagic, 85);
constexpr unsigned long kDisableCascadeDev = _IO(kMagic, 86);
// cascade positions
constexpr unsigned long kCascadePosBindChn = _IOW(kMagic, 89, MK_U32);
constexpr unsigned long kCascadePosUnBindChn = _IOW(kMagic, 90, MK_U32);
// layers
constexpr unsigned long kBindVideoLayer = _IO(kMagic, 30);
constexpr unsigned long kUnBindVideoLayer = _IO(kMagic, 31);
constexpr unsigned long kEnableVideoLayer = _IO(kMagic, 24);
constexpr unsigned long kDisableVideoLayer = _IO(kMagic, 25);
constexpr unsigned long kGetScreenFrame = _IOWR(kMagic, 40, VIDEO_FRAME_REQ_S);
constexpr unsigned long kReleaseScreenFrame = _IOW(kMagic, 41, VIDEO_FRAME_INFO_S);
constexpr unsigned long kSetAttrBegin = _IO(kMagic, 44);
constexpr unsigned long kSetAttrEnd = _IO(kMagic, 45);
constexpr unsigned long kEnableDoubleFrame = _IO(kMagic, 46);
constexpr unsigned long kDisableDoubleFrame = _IO(kMagic, 47);
// channels
constexpr unsigned long kEnableRecvFrameRateMatch = _IO(kMagic, 10);
constexpr unsigned long kDisableRecvFrameRateMatch = _IO(kMagic, 11);
constexpr unsigned long kEnableChn = _IO(kMagic, 48);
constexpr unsigned long kDisableChn = _IO(kMagic, 49);
constexpr unsigned long kSetChnDispPos = _IOW(kMagic, 54, POINT_S);
constexpr unsigned long kSendFrame = _IOW(kMagic, 58, VIDEO_FRAME_REQ_S);
constexpr unsigned long kGetChnFrame = _IOWR(kMagic, 59, VIDEO_FRAME_REQ_S);
constexpr unsigned long kReleaseChnFrame = _IOW(kMagic, 60, VIDEO_FRAME_INFO_S);
constexpr unsigned long kPauseChn = _IO(kMagic, 63);
constexpr unsigned long kResumeChn = _IO(kMagic, 64);
constexpr unsigned long kStepChn = _IO(kMagic, 65);
constexpr unsigned long kRefreshChn = _IO(kMagic, 66);
constexpr unsigned long kShowChn = _IO(kMagic, 69);
constexpr unsigned long kHideChn = _IO(kMagic, 70);
constexpr unsigned long kGetChnPts = _IOR(kMagic, 71, MK_U64);
constexpr unsigned long kQueryChnStat = _IOR(kMagic, 72, VO_QUERY_STATUS_S);
constexpr unsigned long kClearChnBuffer = _IOW(kMagic, 73, MK_U32);
constexpr unsigned long kChnRegionLuma = _IOWR(kMagic, 82, VIDEO_REGION_LUMA_REQ_S);
// write-back
constexpr unsigned long kSetWbcSource = _IOW(kMagic, 12, VO_WBC_SOURCE_S);
constexpr unsigned long kEnableWbc = _IO(kMagic, 14);
constexpr unsigned long kDisableWbc = _IO(kMagic, 15);
constexpr unsigned long kGetWbcFrame = _IOWR(kMagic, 22, VIDEO_FRAME_REQ_S);
constexpr unsigned long kReleaseWbcFrame = _IOW(kMagic, 23, VIDEO_FRAME_INFO_S);
// graphic layers
constexpr unsigned long kBindGraphicLayer = _IOW(kMagic, 93, MK_U32);
constexpr unsigned long kUnBindGraphicLayer = _IOW(kMagic, 94, MK_U32);
// the module
constexpr unsigned long kEnableCascade = _IO(kMagic, 91);
constexpr unsigned long kDisableCascade = _IO(kMagic, 92);
constexpr unsigned long kModuleValue = _IOWR(kMagic, 101, VO_MODULE_VALUE_S);

// Selectors of the module query.
enum ModuleValue : MK_U32 { kValueDevices = 0, kValueLayers = 1, kValueChannels = 2, kValueGraphicLayers = 3 };

constexpr MK_S32 Err(int num) { return MK_ERR(MK_ID_VOU, num); }

}  // namespace varnelle::drivers::vo
