// The requests /dev/vo answers, under the names the driver uses (private to the driver).
#pragma once

#include <cstdint>
#include <vector>

#include "sdk/vo/vo_ioctl.h"

namespace varnelle::drivers::vo {

constexpr char kMagic = 'O';
constexpr int kPixFmtYuv420Sp = 23;
// The video layer that device 0 composes above its own from the start.
constexpr int kPipLayer = 8;

constexpr unsigned long kBind = mk::vo::kBind;
// devices
constexpr unsigned long kSetPubAttr = mk::vo::kSetPubAttr;
constexpr unsigned long kSetDevFrameRate = mk::vo::kSetDevFrameRate;
constexpr unsigned long kEnable = mk::vo::kEnable;
constexpr unsigned long kDisable = mk::vo::kDisable;
constexpr unsigned long kEnableCascadeDev = mk::vo::kEnableCascadeDev;
constexpr unsigned long kDisableCascadeDev = mk::vo::kDisableCascadeDev;
// cascade positions
constexpr unsigned long kCascadePosBindChn = mk::vo::kCascadePosBindChn;
constexpr unsigned long kCascadePosUnBindChn = mk::vo::kCascadePosUnBindChn;
// layers
constexpr unsigned long kBindVideoLayer = mk::vo::kBindVideoLayer;
constexpr unsigned long kUnBindVideoLayer = mk::vo::kUnBindVideoLayer;
constexpr unsigned long kSetVideoLayerAttr = mk::vo::kSetVideoLayerAttr;
constexpr unsigned long kSetVideoLayerPriority = mk::vo::kSetVideoLayerPriority;
constexpr unsigned long kEnableVideoLayer = mk::vo::kEnableVideoLayer;
constexpr unsigned long kDisableVideoLayer = mk::vo::kDisableVideoLayer;
constexpr unsigned long kSetDispBufLen = mk::vo::kSetDispBufLen;
constexpr unsigned long kGetScreenFrame = mk::vo::kGetScreenFrame;
constexpr unsigned long kReleaseScreenFrame = mk::vo::kReleaseScreenFrame;
constexpr unsigned long kSetAttrBegin = mk::vo::kSetAttrBegin;
constexpr unsigned long kSetAttrEnd = mk::vo::kSetAttrEnd;
constexpr unsigned long kEnableDoubleFrame = mk::vo::kEnableDoubleFrame;
constexpr unsigned long kDisableDoubleFrame = mk::vo::kDisableDoubleFrame;
// channels
constexpr unsigned long kEnableRecvFrameRateMatch = mk::vo::kEnableRecvFrameRateMatch;
constexpr unsigned long kDisableRecvFrameRateMatch = mk::vo::kDisableRecvFrameRateMatch;
constexpr unsigned long kEnableChn = mk::vo::kEnableChn;
constexpr unsigned long kDisableChn = mk::vo::kDisableChn;
constexpr unsigned long kSetChnAttr = mk::vo::kSetChnAttr;
constexpr unsigned long kSetChnDispPos = mk::vo::kSetChnDispPos;
constexpr unsigned long kSendFrame = mk::vo::kSendFrame;
constexpr unsigned long kGetChnFrame = mk::vo::kGetChnFrame;
constexpr unsigned long kReleaseChnFrame = mk::vo::kReleaseChnFrame;
constexpr unsigned long kPauseChn = mk::vo::kPauseChn;
constexpr unsigned long kResumeChn = mk::vo::kResumeChn;
constexpr unsigned long kStepChn = mk::vo::kStepChn;
constexpr unsigned long kRefreshChn = mk::vo::kRefreshChn;
constexpr unsigned long kShowChn = mk::vo::kShowChn;
constexpr unsigned long kHideChn = mk::vo::kHideChn;
constexpr unsigned long kGetChnPts = mk::vo::kGetChnPts;
constexpr unsigned long kQueryChnStat = mk::vo::kQueryChnStat;
constexpr unsigned long kClearChnBuffer = mk::vo::kClearChnBuffer;
constexpr unsigned long kChnRegionLuma = mk::vo::kGetChnRegionLuma;
// write-back
constexpr unsigned long kSetWbcSource = mk::vo::kSetWbcSource;
constexpr unsigned long kSetWbcAttr = mk::vo::kSetWbcAttr;
constexpr unsigned long kEnableWbc = mk::vo::kEnableWbc;
constexpr unsigned long kDisableWbc = mk::vo::kDisableWbc;
constexpr unsigned long kGetWbcFrame = mk::vo::kGetWbcFrame;
constexpr unsigned long kReleaseWbcFrame = mk::vo::kReleaseWbcFrame;
// graphic layers
constexpr unsigned long kBindGraphicLayer = mk::vo::kBindGraphicLayer;
constexpr unsigned long kUnBindGraphicLayer = mk::vo::kUnBindGraphicLayer;
// the module
constexpr unsigned long kEnableCascade = mk::vo::kEnableCascade;
constexpr unsigned long kDisableCascade = mk::vo::kDisableCascade;
constexpr unsigned long kModuleValue = mk::vo::kGetModuleValue;

// Selectors of the module query.
enum ModuleValue : MK_U32 { kValueDevices = 0, kValueLayers = 1, kValueChannels = 2, kValueGraphicLayers = 3 };

constexpr MK_S32 Err(int num) { return MK_ERR(MK_ID_VOU, num); }

// What a get of the record stored under set request `setRequest` reads before any set, for the
// object numbered `index` (a device, layer or channel).
std::vector<uint8_t> RecordDefaults(unsigned long setRequest, int index);

}  // namespace varnelle::drivers::vo
