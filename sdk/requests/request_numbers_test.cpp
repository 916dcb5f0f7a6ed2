// Every request number the SDK modules and their drivers share, checked against a table written out
// by hand from the modules' documented requests: magic letter, number, direction and argument size.
// The modules build their numbers from their own tables; a typo there shows up here, since this table
// is typed apart from them.
#include <sys/ioctl.h>

#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "sdk/hdmi/mpi_hdmi.h"
#include "sdk/jpegd/jpegd_ioctl.h"
#include "sdk/pciv/pciv_ioctl.h"
#include "sdk/rgn/rgn_ioctl.h"
#include "sdk/sys/mk_mmz.h"
#include "sdk/sys/sys_ioctl.h"
#include "sdk/tde/tde_ioctl.h"
#include "sdk/vb/vb_ioctl.h"
#include "sdk/vda/vda_ioctl.h"
#include "sdk/vdec/vdec_ioctl.h"
#include "sdk/venc/venc_ioctl.h"
#include "sdk/vi/vi_ioctl.h"
#include "sdk/vo/vo_ioctl.h"
#include "sdk/vpss/vpss_ioctl.h"

namespace {

enum Dir { kNone, kW, kR, kWR };

// One documented request. `size` is the record's size on the chip; `host` marks records that carry
// a user address, whose host form is wider (their number is built from the host record's size).
struct Row {
    const char* module;
    const char* name;
    char magic;
    unsigned nr;
    Dir dir;
    unsigned size;
    bool host;
};

#define N(m, name, c, nr) {m, name, c, nr, kNone, 0, false}
#define W(m, name, c, nr, size) {m, name, c, nr, kW, size, false}
#define R(m, name, c, nr, size) {m, name, c, nr, kR, size, false}
#define WR(m, name, c, nr, size) {m, name, c, nr, kWR, size, false}
#define WH(m, name, c, nr, size) {m, name, c, nr, kW, size, true}
#define WRH(m, name, c, nr, size) {m, name, c, nr, kWR, size, true}

const Row kRows[] = {
    // SYS and the log device.
    N("sys", "Init", 'Y', 0), N("sys", "Exit", 'Y', 1), W("sys", "SetConf", 'Y', 2, 4), R("sys", "GetConf", 'Y', 3, 4),
    W("sys", "SetU64First", 'Y', 4, 8), W("sys", "SetU64Second", 'Y', 5, 8), R("sys", "GetU64", 'Y', 6, 8),
    W("sys", "Bind", 'Y', 7, 24), W("sys", "UnBind", 'Y', 8, 24), WR("sys", "GetBindbyDest", 'Y', 9, 24),
    W("sys", "SetMemConf", 'Y', 10, 28), WR("sys", "GetMemConf", 'Y', 11, 32), R("sys", "GetCustomerId", 'Y', 12, 4),
    W("sys", "SetWord", 'Y', 13, 4), R("sys", "GetKernelConfig", 'Y', 14, 8), R("sys", "GetWord", 'Y', 15, 4),
    N("sys", "Command", 'Y', 16), W("sys", "SetPair", 'Y', 18, 24), WR("sys", "QueryPair", 'Y', 19, 24),
    W("log", "SetLevelConf", 'L', 0, 24), WR("log", "GetLevelConf", 'L', 1, 24),
    // The media memory zone: the 80-byte block record and the JPEG decoder's 76-byte buffer record.
    WRH("mmz", "Alloc", 'm', 10, 80), WH("mmz", "Free", 'm', 12, 80), WRH("mmz", "Remap", 'm', 20, 80),
    WRH("mmz", "RemapCached", 'm', 21, 80), WRH("mmz", "Unmap", 'm', 22, 80),
    WRH("mmz", "BufAlloc", 'm', 10, 76), WH("mmz", "BufFree", 'm', 12, 76), WRH("mmz", "BufRemap", 'm', 20, 76),
    WRH("mmz", "BufRemapCached", 'm', 21, 76), WRH("mmz", "BufUnmap", 'm', 22, 76),
    WRH("mmz", "BufGetPhys", 'm', 23, 76), N("mmz", "FlushAll", 'c', 40), WH("mmz", "FlushRange", 'c', 50, 12),
    // VB.
    WR("vb", "CreatePool", 'B', 1, 44), WR("vb", "DestroyPool", 'B', 2, 4), WR("vb", "GetBlock", 'B', 3, 44),
    WR("vb", "ReleaseBlock", 'B', 4, 4), WR("vb", "Handle2PhysAddr", 'B', 5, 4), WR("vb", "Handle2PoolId", 'B', 6, 4),
    WR("vb", "QueryBlock", 'B', 7, 4), N("vb", "Init", 'B', 8), N("vb", "Exit", 'B', 9), R("vb", "GetConf", 'B', 10, 388),
    W("vb", "SetConf", 'B', 11, 388), WR("vb", "MmapPool", 'B', 12, 16), WR("vb", "MunmapPool", 'B', 13, 4),
    W("vb", "InitModCommPool", 'B', 14, 4), W("vb", "ExitModCommPool", 'B', 15, 4),
    W("vb", "SetModPoolConf", 'B', 17, 392), W("vb", "SetSetting", 'B', 18, 4), R("vb", "GetSetting", 'B', 19, 4),
    WR("vb", "CreatePoolEx", 'B', 20, 44), WR("vb", "DestroyPoolEx", 'B', 21, 4), WR("vb", "GetBlockEx", 'B', 22, 44),
    WR("vb", "ReleaseBlockEx", 'B', 23, 4), WR("vb", "MmapPoolEx", 'B', 24, 16), WR("vb", "MunmapPoolEx", 'B', 25, 4),
    WR("vb", "Handle2PhysAddrEx", 'B', 26, 4), WR("vb", "CreateUserPool", 'B', 27, 44),
    WR("vb", "AddUserBlock", 'B', 28, 44),
    // PCIV.
    W("pciv", "Create", 'C', 0, 112), N("pciv", "Destroy", 'C', 1), N("pciv", "Start", 'C', 4), N("pciv", "Stop", 'C', 5),
    WR("pciv", "Malloc", 'C', 6, 8), W("pciv", "Free", 'C', 7, 4), WR("pciv", "MallocChnBuffer", 'C', 8, 16),
    W("pciv", "FreeChnBuffer", 'C', 9, 4), WR("pciv", "GetBaseWindow", 'C', 13, 20), R("pciv", "GetLocalId", 'C', 14, 4),
    R("pciv", "EnumChip", 'C', 15, 128), WH("pciv", "DmaTask", 'C', 16, 12), W("pciv", "Bind", 'C', 17, 4),
    W("pciv", "WinVbCreate", 'C', 18, 68), N("pciv", "WinVbDestroy", 'C', 19),
    // VDEC.
    W("vdec", "CreateChn", 'D', 0, 32), N("vdec", "DestroyChn", 'D', 1), R("vdec", "GetChnAttr", 'D', 3, 32),
    WH("vdec", "SendStream", 'D', 4, 8), R("vdec", "Query", 'D', 6, 60), N("vdec", "StartRecvStream", 'D', 7),
    N("vdec", "StopRecvStream", 'D', 8), N("vdec", "ResetChn", 'D', 9), W("vdec", "Bind", 'D', 10, 4),
    W("vdec", "SetChnParam", 'D', 13, 28), R("vdec", "GetChnParam", 'D', 14, 28), W("vdec", "SetChnParamEx", 'D', 15, 20),
    R("vdec", "GetChnParamEx", 'D', 16, 20), WRH("vdec", "GetUserData", 'D', 17, 8),
    WH("vdec", "ReleaseUserData", 'D', 19, 16), WRH("vdec", "GetFrame", 'D', 20, 8),
    WH("vdec", "ReleaseFrame", 'D', 21, 144), WH("vdec", "SetUserPic", 'D', 26, 144), W("vdec", "EnableUserPic", 'D', 27, 4),
    N("vdec", "DisableUserPic", 'D', 28), W("vdec", "SetWord29", 'D', 29, 4), R("vdec", "GetWord30", 'D', 30, 4),
    R("vdec", "GetRecord31", 'D', 31, 24), W("vdec", "SetWord32", 'D', 32, 4), R("vdec", "GetWord33", 'D', 33, 4),
    W("vdec", "SetWord34", 'D', 34, 4), R("vdec", "GetWord35", 'D', 35, 4), W("vdec", "SetRecord36", 'D', 36, 8),
    N("vdec", "Command37", 'D', 37), W("vdec", "SetModParam", 'D', 38, 8), R("vdec", "GetModParam", 'D', 39, 8),
    // The JPEG channels of VDEC, and the JPEG decoder block (its wait carries two words).
    R("vdec", "JpegGetStream", 'D', 44, 40), W("vdec", "JpegReleaseStream", 'D', 45, 40),
    WR("vdec", "JpegGetFrameBuf", 'D', 46, 24), W("vdec", "JpegPutFrame", 'D', 47, 64),
    R("vdec", "JpegBufInfo", 'D', 49, 24), W("vdec", "JpegReport", 'D', 50, 12),
    N("jpeg", "Open", 'j', 0), N("jpeg", "Close", 'j', 1), WR("jpeg", "Wait", 'j', 2, 8),
    // VI.
    W("vi", "SetDevAttr", 'I', 0, 112), W("vi", "SetDevAttrEx", 'I', 1, 128), R("vi", "GetDevAttr", 'I', 2, 112),
    R("vi", "GetDevAttrEx", 'I', 3, 128), N("vi", "EnableDev", 'I', 4), N("vi", "DisableDev", 'I', 5),
    W("vi", "BindChn", 'I', 6, 8), R("vi", "GetChnBind", 'I', 7, 8), N("vi", "UnBindChn", 'I', 8),
    W("vi", "SetChnAttr", 'I', 9, 52), R("vi", "GetChnAttr", 'I', 10, 52), W("vi", "SetChnMinorAttr", 'I', 11, 52),
    R("vi", "GetChnMinorAttr", 'I', 12, 52), N("vi", "ClearChnMinorAttr", 'I', 13), N("vi", "EnableChn", 'I', 14),
    N("vi", "DisableChn", 'I', 15), N("vi", "EnableChnInterrupt", 'I', 16), N("vi", "DisableChnInterrupt", 'I', 17),
    W("vi", "SetFrameDepth", 'I', 18, 4), WR("vi", "GetFrameDepth", 'I', 19, 4), WRH("vi", "GetFrame", 'I', 20, 152),
    WH("vi", "ReleaseFrame", 'I', 21, 144), WH("vi", "SetUserPic", 'I', 22, 152), N("vi", "EnableUserPic", 'I', 23),
    N("vi", "DisableUserPic", 'I', 24), W("vi", "SetVbiAttr", 'I', 25, 32), WR("vi", "GetVbiAttr", 'I', 26, 32),
    N("vi", "EnableVbi", 'I', 27), N("vi", "DisableVbi", 'I', 28), W("vi", "SetVbiMode", 'I', 29, 4),
    WR("vi", "GetVbiMode", 'I', 30, 4), N("vi", "EnableCascadeChn", 'I', 31), N("vi", "DisableCascadeChn", 'I', 32),
    R("vi", "Query", 'I', 33, 32), W("vi", "Bind", 'I', 34, 4), W("vi", "SetRotate", 'I', 43, 4),
    R("vi", "GetRotate", 'I', 44, 4), R("vi", "GetChnLuma", 'I', 45, 16), W("vi", "SetSkipMode", 'I', 46, 4),
    R("vi", "GetSkipMode", 'I', 47, 4), N("vi", "EnableDllSlave", 'I', 50), N("vi", "DisableDllSlave", 'I', 51),
    W("vi", "SetSkipModeEx", 'I', 52, 12), R("vi", "GetSkipModeEx", 'I', 53, 12), W("vi", "AttachVbPool", 'I', 54, 4),
    N("vi", "DetachVbPool", 'I', 55), W("vi", "SetModParam", 'I', 56, 8), R("vi", "GetModParam", 'I', 57, 8),
    // VPSS.
    W("vpss", "SetGrpAttr", 'P', 0, 36), R("vpss", "GetGrpAttr", 'P', 1, 36), N("vpss", "StartGrp", 'P', 2),
    N("vpss", "StopGrp", 'P', 3), N("vpss", "ResetGrp", 'P', 4), W("vpss", "SetChnAttr", 'P', 5, 32),
    R("vpss", "GetChnAttr", 'P', 6, 32), N("vpss", "EnableChn", 'P', 7), N("vpss", "DisableChn", 'P', 8),
    N("vpss", "EnableBackupFrame", 'P', 9), N("vpss", "DisableBackupFrame", 'P', 10), W("vpss", "CreateGrp", 'P', 11, 36),
    N("vpss", "DestroyGrp", 'P', 12), W("vpss", "SetGrpCrop", 'P', 13, 24), R("vpss", "GetGrpCrop", 'P', 14, 24),
    W("vpss", "SetGrpParam", 'P', 15, 36), R("vpss", "GetGrpParam", 'P', 16, 36),
    W("vpss", "SetGrpAdvancedParam", 'P', 17, 16), R("vpss", "GetGrpAdvancedParam", 'P', 18, 16),
    W("vpss", "SetChnParam", 'P', 19, 20), R("vpss", "GetChnParam", 'P', 20, 20), W("vpss", "SetChnMode", 'P', 21, 56),
    R("vpss", "GetChnMode", 'P', 22, 56), W("vpss", "SetDepth", 'P', 23, 4), R("vpss", "GetDepth", 'P', 24, 4),
    WH("vpss", "SendFrame", 'P', 25, 152), WRH("vpss", "GetChnFrame", 'P', 26, 152),
    WH("vpss", "ReleaseChnFrame", 'P', 27, 144), WRH("vpss", "GetGrpFrame", 'P', 28, 152),
    WH("vpss", "ReleaseGrpFrame", 'P', 29, 144), W("vpss", "SetPreScale", 'P', 30, 12), R("vpss", "GetPreScale", 'P', 31, 12),
    W("vpss", "SetGrpSizer", 'P', 32, 12), R("vpss", "GetGrpSizer", 'P', 33, 12), W("vpss", "SetGrpField", 'P', 34, 4),
    R("vpss", "GetGrpField", 'P', 35, 4), W("vpss", "SetGrpFrameRate", 'P', 36, 8), R("vpss", "GetGrpFrameRate", 'P', 37, 8),
    W("vpss", "SetGrpDelay", 'P', 40, 4), R("vpss", "GetGrpDelay", 'P', 41, 4), W("vpss", "SetChnOverlay", 'P', 42, 4),
    R("vpss", "GetChnOverlay", 'P', 43, 4), W("vpss", "Bind", 'P', 44, 4), WR("vpss", "GetGrpRegionLuma", 'P', 45, 1288),
    WR("vpss", "GetChnRegionLuma", 'P', 46, 1288), W("vpss", "SetImageQualityCfg", 'P', 47, 124),
    R("vpss", "GetImageQualityCfg", 'P', 48, 124), W("vpss", "SetPicQueueLength", 'P', 49, 4),
    R("vpss", "GetPicQueueLength", 'P', 50, 4), N("vpss", "EnableUserFrameRateCtrl", 'P', 53),
    N("vpss", "DisableUserFrameRateCtrl", 'P', 54), W("vpss", "SetPreScaleMode", 'P', 55, 4),
    R("vpss", "GetPreScaleMode", 'P', 56, 4), W("vpss", "AttachVbPool", 'P', 57, 4), N("vpss", "DetachVbPool", 'P', 58),
    W("vpss", "SetModParam", 'P', 59, 4), R("vpss", "GetModParam", 'P', 60, 4), W("vpss", "SetRotate", 'P', 61, 4),
    R("vpss", "GetRotate", 'P', 62, 4),
    // VO.
    W("vo", "Bind", 'O', 0, 4), N("vo", "Enable", 'O', 2), N("vo", "Disable", 'O', 3), W("vo", "SetPubAttr", 'O', 4, 60),
    R("vo", "GetPubAttr", 'O', 5, 60), W("vo", "SetDevFrameRate", 'O', 6, 4), R("vo", "GetDevFrameRate", 'O', 7, 4),
    W("vo", "SetVtth", 'O', 8, 4), R("vo", "GetVtth", 'O', 9, 4), N("vo", "EnableRecvFrameRateMatch", 'O', 10),
    N("vo", "DisableRecvFrameRateMatch", 'O', 11), W("vo", "SetWbcSource", 'O', 12, 8), R("vo", "GetWbcSource", 'O', 13, 8),
    N("vo", "EnableWbc", 'O', 14), N("vo", "DisableWbc", 'O', 15), W("vo", "SetWbcAttr", 'O', 16, 16),
    R("vo", "GetWbcAttr", 'O', 17, 16), W("vo", "SetWbcMode", 'O', 18, 4), R("vo", "GetWbcMode", 'O', 19, 4),
    W("vo", "SetWbcDepth", 'O', 20, 4), R("vo", "GetWbcDepth", 'O', 21, 4), WRH("vo", "GetWbcFrame", 'O', 22, 152),
    WH("vo", "ReleaseWbcFrame", 'O', 23, 144), N("vo", "EnableVideoLayer", 'O', 24), N("vo", "DisableVideoLayer", 'O', 25),
    W("vo", "SetVideoLayerAttr", 'O', 26, 40), R("vo", "GetVideoLayerAttr", 'O', 27, 40),
    W("vo", "SetVideoLayerCompressAttr", 'O', 28, 4), R("vo", "GetVideoLayerCompressAttr", 'O', 29, 4),
    N("vo", "BindVideoLayer", 'O', 30), N("vo", "UnBindVideoLayer", 'O', 31), W("vo", "SetVideoLayerPriority", 'O', 32, 4),
    R("vo", "GetVideoLayerPriority", 'O', 33, 4), W("vo", "SetVideoLayerCSC", 'O', 34, 20),
    R("vo", "GetVideoLayerCSC", 'O', 35, 20), W("vo", "SetDispBufLen", 'O', 36, 4), R("vo", "GetDispBufLen", 'O', 37, 4),
    W("vo", "SetPlayToleration", 'O', 38, 4), R("vo", "GetPlayToleration", 'O', 39, 4),
    WRH("vo", "GetScreenFrame", 'O', 40, 152), WH("vo", "ReleaseScreenFrame", 'O', 41, 144),
    W("vo", "SetVideoLayerPartitionMode", 'O', 42, 4), R("vo", "GetVideoLayerPartitionMode", 'O', 43, 4),
    N("vo", "SetAttrBegin", 'O', 44), N("vo", "SetAttrEnd", 'O', 45), N("vo", "EnableDoubleFrame", 'O', 46),
    N("vo", "DisableDoubleFrame", 'O', 47), N("vo", "EnableChn", 'O', 48), N("vo", "DisableChn", 'O', 49),
    W("vo", "SetChnAttr", 'O', 50, 24), R("vo", "GetChnAttr", 'O', 51, 24), W("vo", "SetChnParam", 'O', 52, 24),
    R("vo", "GetChnParam", 'O', 53, 24), W("vo", "SetChnDispPos", 'O', 54, 8), R("vo", "GetChnDispPos", 'O', 55, 8),
    W("vo", "SetChnField", 'O', 56, 4), R("vo", "GetChnField", 'O', 57, 4), WH("vo", "SendFrame", 'O', 58, 152),
    WRH("vo", "GetChnFrame", 'O', 59, 152), WH("vo", "ReleaseChnFrame", 'O', 60, 144), R("vo", "GetChnFrameRate", 'O', 61, 4),
    W("vo", "SetChnFrameRate", 'O', 62, 4), N("vo", "PauseChn", 'O', 63), N("vo", "ResumeChn", 'O', 64),
    N("vo", "StepChn", 'O', 65), N("vo", "RefreshChn", 'O', 66), W("vo", "SetZoomInWindow", 'O', 67, 20),
    R("vo", "GetZoomInWindow", 'O', 68, 20), N("vo", "ShowChn", 'O', 69), N("vo", "HideChn", 'O', 70),
    R("vo", "GetChnPts", 'O', 71, 8), R("vo", "QueryChnStat", 'O', 72, 4), W("vo", "ClearChnBuffer", 'O', 73, 4),
    W("vo", "SetChnBorder", 'O', 74, 24), R("vo", "GetChnBorder", 'O', 75, 24), W("vo", "SetVideoLayerBoundary", 'O', 76, 12),
    R("vo", "GetVideoLayerBoundary", 'O', 77, 12), W("vo", "SetChnBoundary", 'O', 78, 8), R("vo", "GetChnBoundary", 'O', 79, 8),
    W("vo", "SetChnReceiveThreshold", 'O', 80, 4), R("vo", "GetChnReceiveThreshold", 'O', 81, 4),
    WR("vo", "GetChnRegionLuma", 'O', 82, 1288), W("vo", "SetCascadeAttr", 'O', 83, 16), R("vo", "GetCascadeAttr", 'O', 84, 16),
    N("vo", "EnableCascadeDev", 'O', 85), N("vo", "DisableCascadeDev", 'O', 86), W("vo", "SetCascadePattern", 'O', 87, 4),
    R("vo", "GetCascadePattern", 'O', 88, 4), W("vo", "CascadePosBindChn", 'O', 89, 4),
    W("vo", "CascadePosUnBindChn", 'O', 90, 4), N("vo", "EnableCascade", 'O', 91), N("vo", "DisableCascade", 'O', 92),
    W("vo", "BindGraphicLayer", 'O', 93, 4), W("vo", "UnBindGraphicLayer", 'O', 94, 4),
    W("vo", "SetGraphicLayerCSC", 'O', 95, 20), R("vo", "GetGraphicLayerCSC", 'O', 96, 20), W("vo", "SetVgaParam", 'O', 97, 28),
    R("vo", "GetVgaParam", 'O', 98, 28), W("vo", "SetHdmiParam", 'O', 99, 20), R("vo", "GetHdmiParam", 'O', 100, 20),
    WR("vo", "GetModuleValue", 'O', 101, 8),
    // VENC: channels and the stream ring.
    W("venc", "CreateChn", 'E', 0, 76), N("venc", "DestroyChn", 'E', 1), W("venc", "SetRcParam", 'E', 2, 168),
    WR("venc", "GetRcParam", 'E', 3, 168), N("venc", "StartRecvPic", 'E', 6), N("venc", "StopRecvPic", 'E', 7),
    WRH("venc", "GetStream", 'E', 8, 68), WH("venc", "ReleaseStream", 'E', 9, 68), R("venc", "Query", 'E', 10, 24),
    R("venc", "GetBufInfo", 'E', 11, 16), W("venc", "SetGetTimeout", 'E', 14, 4), W("venc", "SetSendTimeout", 'E', 15, 4),
    W("venc", "RequestIDR", 'E', 16, 4), WH("venc", "InsertUserData", 'E', 17, 8), WR("venc", "SetMaxStreamCnt", 'E', 18, 4),
    WR("venc", "GetMaxStreamCnt", 'E', 19, 4), W("venc", "BindChn", 'E', 20, 4), WR("venc", "GetRoiCfg", 'E', 21, 32),
    W("venc", "SetRoiCfg", 'E', 22, 32),
    // VENC: the parameter operations.
    W("venc", "SetH264SliceSplit", 'E', 23, 12), R("venc", "GetH264SliceSplit", 'E', 24, 12),
    W("venc", "SetH264InterPred", 'E', 25, 28), R("venc", "GetH264InterPred", 'E', 26, 28),
    W("venc", "SetH264IntraPred", 'E', 27, 16), R("venc", "GetH264IntraPred", 'E', 28, 16),
    W("venc", "SetH264Trans", 'E', 29, 144), R("venc", "GetH264Trans", 'E', 30, 144),
    W("venc", "SetH264Entropy", 'E', 31, 16), R("venc", "GetH264Entropy", 'E', 32, 16), W("venc", "SetH264Poc", 'E', 33, 4),
    R("venc", "GetH264Poc", 'E', 34, 4), W("venc", "SetH264Dblk", 'E', 35, 12), R("venc", "GetH264Dblk", 'E', 36, 12),
    W("venc", "SetH264RDO", 'E', 37, 28), R("venc", "GetH264RDO", 'E', 38, 28), W("venc", "SetH264Vui", 'E', 39, 28),
    R("venc", "GetH264Vui", 'E', 40, 28), W("venc", "SetJpegParam", 'E', 41, 200), R("venc", "GetJpegParam", 'E', 42, 200),
    W("venc", "SetMjpegParam", 'E', 43, 196), R("venc", "GetMjpegParam", 'E', 44, 196),
    W("venc", "SetJpegSnapMode", 'E', 49, 4), R("venc", "GetJpegSnapMode", 'E', 50, 4), W("venc", "StartRecvPicEx", 'E', 51, 4),
    W("venc", "SetRefParam", 'E', 52, 12), R("venc", "GetRefParam", 'E', 53, 12), W("venc", "SetRefParamEx", 'E', 54, 24),
    R("venc", "GetRefParamEx", 'E', 55, 24), W("venc", "EnableIDR", 'E', 56, 4), W("venc", "SetFrameRate", 'E', 57, 8),
    R("venc", "GetFrameRate", 'E', 58, 8), W("venc", "SetCrop", 'E', 59, 20), R("venc", "GetCrop", 'E', 60, 20),
    N("venc", "ResetChn", 'E', 61), WH("venc", "SendFrame", 'E', 62, 144), W("venc", "SetRoiBgFrameRate", 'E', 63, 8),
    R("venc", "GetRoiBgFrameRate", 'E', 64, 8), WR("venc", "VpssQuery", 'E', 65, 144), W("venc", "VpssSend", 'E', 66, 144),
    W("venc", "SetColor2Grey", 'E', 67, 4), R("venc", "GetColor2Grey", 'E', 68, 4), W("venc", "SetH264IdrPicId", 'E', 69, 8),
    R("venc", "GetH264IdrPicId", 'E', 70, 8), W("venc", "SetH264SkinCfg", 'E', 71, 20), R("venc", "GetH264SkinCfg", 'E', 72, 20),
    W("venc", "SetH265SliceSplit", 'E', 73, 16), R("venc", "GetH265SliceSplit", 'E', 74, 16),
    W("venc", "SetH265PredUnit", 'E', 77, 36), R("venc", "GetH265PredUnit", 'E', 78, 36),
    W("venc", "SetH265Trans", 'E', 79, 16), R("venc", "GetH265Trans", 'E', 80, 16), W("venc", "SetH265Entropy", 'E', 81, 4),
    R("venc", "GetH265Entropy", 'E', 82, 4), W("venc", "SetH265Dblk", 'E', 83, 12), R("venc", "GetH265Dblk", 'E', 84, 12),
    W("venc", "SetH265Sao", 'E', 85, 8), R("venc", "GetH265Sao", 'E', 86, 8), W("venc", "SetH265Timing", 'E', 87, 16),
    R("venc", "GetH265Timing", 'E', 88, 16), W("venc", "SetH265Vui", 'E', 89, 36), R("venc", "GetH265Vui", 'E', 90, 36),
    W("venc", "SetFrameLostStrategy", 'E', 91, 16), R("venc", "GetFrameLostStrategy", 'E', 92, 16),
    W("venc", "SetFaceCfg", 'E', 93, 1388), R("venc", "GetFaceCfg", 'E', 94, 1388), W("venc", "SetSkipAlgCfg", 'E', 95, 32),
    R("venc", "GetSkipAlgCfg", 'E', 96, 32), W("venc", "SetH264IntraPredEx", 'E', 104, 20),
    R("venc", "GetH264IntraPredEx", 'E', 105, 20), W("venc", "SetChnlPriority", 'E', 106, 4),
    R("venc", "GetChnlPriority", 'E', 107, 4), W("venc", "SetCostAlgFlag", 'E', 108, 4),
    R("venc", "GetCostAlgFlag", 'E', 108, 4), W("venc", "EnableInterPskip", 'E', 110, 4), W("venc", "SetRcPriority", 'E', 111, 4),
    R("venc", "GetRcPriority", 'E', 112, 4), W("venc", "SetSuperFrameCfg", 'E', 113, 16),
    R("venc", "GetSuperFrameCfg", 'E', 114, 16), W("venc", "SetH265IntraPredEx", 'E', 115, 4),
    R("venc", "GetH265IntraPredEx", 'E', 116, 4), W("venc", "SetThumbNailImageCfg", 'E', 117, 12),
    R("venc", "GetThumbNailImageCfg", 'E', 118, 12), W("venc", "SetChnAttr", 'E', 119, 76),
    WR("venc", "GetChnAttr", 'E', 120, 76), W("venc", "AttachVbPool", 'E', 121, 4), N("venc", "DetachVbPool", 'E', 122),
    W("venc", "SetIntraRefresh", 'E', 123, 16), WR("venc", "GetIntraRefresh", 'E', 124, 16),
    W("venc", "SetSceneMode", 'E', 125, 4), R("venc", "GetSceneMode", 'E', 126, 4), W("venc", "SetModParam", 'E', 127, 20),
    WR("venc", "GetModParam", 'E', 128, 20), W("venc", "SetPatternAdaptiveCfg", 'E', 130, 16),
    R("venc", "GetPatternAdaptiveCfg", 'E', 131, 16), W("venc", "SetSceneInput", 'E', 132, 4),
    R("venc", "GetSceneInput", 'E', 133, 4),
    // RGN.
    WR("rgn", "Create", 'R', 0, 24), W("rgn", "Destroy", 'R', 2, 4), WH("rgn", "SetBitMap", 'R', 5, 20),
    W("rgn", "AttachToChn", 'R', 9, 76), W("rgn", "Request11", 'R', 11, 8), WRH("rgn", "GetCanvas", 'R', 13, 36),
    W("rgn", "UpdateCanvas", 'R', 14, 4),
    // VDA.
    W("vda", "CreateChn", 'M', 0, 168), N("vda", "DestroyChn", 'M', 1), N("vda", "StartRecvPic", 'M', 6),
    N("vda", "StopRecvPic", 'M', 7), WRH("vda", "GetData", 'M', 8, 80), WH("vda", "ReleaseData", 'M', 9, 72),
    W("vda", "ResetOdRegion", 'M', 10, 4), W("vda", "Bind", 'M', 13, 4), WR("vda", "GetBuf", 'M', 14, 8),
    WH("vda", "SendPic", 'M', 15, 152),
    // HDMI.
    W("hdmi", "Bind", 'h', 1, 4), WR("hdmi", "Init", 'h', 2, 8), N("hdmi", "DeInit", 'h', 3), N("hdmi", "Open", 'h', 4),
    N("hdmi", "Close", 'h', 5), N("hdmi", "Start", 'h', 6), N("hdmi", "Stop", 'h', 7),
    WR("hdmi", "GetSinkCapability", 'h', 8, 420), WR("hdmi", "PollEvent", 'h', 9, 12), WR("hdmi", "GetAttr", 'h', 10, 84),
    WR("hdmi", "SetAttr", 'h', 11, 84), WR("hdmi", "GetInfoFrame", 'h', 14, 84), WR("hdmi", "SetInfoFrame", 'h', 15, 84),
    WR("hdmi", "SetAVMute", 'h', 16, 4), WR("hdmi", "Request17", 'h', 17, 4), WR("hdmi", "GetDeepColor", 'h', 18, 4),
    WR("hdmi", "SetDeepColor", 'h', 19, 4), WR("hdmi", "SetxvYCCMode", 'h', 20, 4), WR("hdmi", "SetCECCommand", 'h', 21, 36),
    WR("hdmi", "GetCECCommand", 'h', 22, 36), WR("hdmi", "CECStatus", 'h', 23, 28), WR("hdmi", "Request24", 'h', 24, 4),
    WR("hdmi", "Force_GetEDID", 'h', 25, 520), WR("hdmi", "PlayStus", 'h', 26, 4), N("hdmi", "CEC_Enable", 'h', 27),
    N("hdmi", "CEC_Disable", 'h', 28), WR("hdmi", "SetParam", 'h', 29, 4), WR("hdmi", "GetParam", 'h', 30, 4),
    // TDE.
    W("tde", "BeginJob", 't', 1, 4), W("tde", "TwoSource", 't', 2, 352), W("tde", "Param", 't', 3, 296),
    W("tde", "Copy", 't', 4, 132), W("tde", "Scale", 't', 5, 132), W("tde", "Fill", 't', 6, 72),
    W("tde", "Simple7", 't', 7, 132), W("tde", "Special", 't', 8, 148), W("tde", "EndJob", 't', 9, 16),
    W("tde", "SetValue10", 't', 10, 4), W("tde", "CancelJob", 't', 11, 4), W("tde", "Four12", 't', 12, 268),
    W("tde", "Four13", 't', 13, 268), N("tde", "Request14", 't', 14), N("tde", "Request15", 't', 15),
    W("tde", "SetValue17", 't', 17, 4), R("tde", "GetValue18", 't', 18, 4), W("tde", "SetFlag19", 't', 19, 1),
    R("tde", "GetFlag20", 't', 20, 1), W("tde", "SetValue21", 't', 21, 4), W("tde", "SetValue22", 't', 22, 4),
    W("tde", "Three", 't', 23, 336), W("tde", "SetValue24", 't', 24, 4),
};

#undef N
#undef W
#undef R
#undef WR
#undef WH
#undef WRH

// A request number as a module builds it.
struct Built {
    std::string module;
    std::string name;
    unsigned long request;
};

std::vector<Built> BuiltRequests() {
    std::vector<Built> out;
#define VI_ROW(name, scope, access, nr, T) out.push_back({"vi", #name, mk::vi::k##name});
    MK_VI_REQUESTS(VI_ROW)
#undef VI_ROW
    out.push_back({"vi", "GetFrame", mk::vi::kGetFrame});
    out.push_back({"vi", "ReleaseFrame", mk::vi::kReleaseFrame});
    out.push_back({"vi", "Bind", mk::vi::kBind});
#define VPSS_ROW(scope, name, kind, nr, T) out.push_back({"vpss", #name, mk::vpss::k##name});
    MK_VPSS_TABLE(VPSS_ROW)
#undef VPSS_ROW
    out.push_back({"vpss", "Bind", mk::vpss::kBind});
#define VO_ROW(scope, name, kind, nr, T) out.push_back({"vo", #name, mk::vo::k##name});
    MK_VO_TABLE(VO_ROW)
#undef VO_ROW
    out.push_back({"vo", "Bind", mk::vo::kBind});
    out.push_back({"vo", "GetModuleValue", mk::vo::kGetModuleValue});
#define VENC_ROW(Func, Kind, Dir, Nr, Record, Key) out.push_back({"venc", #Func, VENC_IOC_##Func});
    MK_VENC_REQUEST_TABLE(VENC_ROW)
#undef VENC_ROW
    for (const Built& b : std::vector<Built>{
             {"venc", "CreateChn", VENC_IOC_CreateChn},         {"venc", "DestroyChn", VENC_IOC_DestroyChn},
             {"venc", "GetStream", VENC_IOC_GetStream},         {"venc", "ReleaseStream", VENC_IOC_ReleaseStream},
             {"venc", "GetBufInfo", VENC_IOC_GetBufInfo},       {"venc", "SetGetTimeout", VENC_IOC_SetGetTimeout},
             {"venc", "SetSendTimeout", VENC_IOC_SetSendTimeout}, {"venc", "InsertUserData", VENC_IOC_InsertUserData},
             {"venc", "BindChn", VENC_IOC_BindChn},             {"venc", "GetRoiCfg", VENC_IOC_GetRoiCfg},
             {"venc", "SetRoiCfg", VENC_IOC_SetRoiCfg},         {"venc", "SendFrame", VENC_IOC_SendFrame},
             {"venc", "SetIntraRefresh", VENC_IOC_SetIntraRefresh}, {"venc", "SetModParam", VENC_IOC_SetModParam},
             {"venc", "GetModParam", VENC_IOC_GetModParam}}) {
        out.push_back(b);
    }
#define VDEC_ROW(name, access, nr, T) out.push_back({"vdec", #name, mk::vdec::k##name});
    MK_VDEC_REQUESTS(VDEC_ROW)
#undef VDEC_ROW
    for (const Built& b : std::vector<Built>{
             {"vdec", "CreateChn", mk::vdec::kCreateChn},             {"vdec", "DestroyChn", mk::vdec::kDestroyChn},
             {"vdec", "StartRecvStream", mk::vdec::kStartRecvStream}, {"vdec", "StopRecvStream", mk::vdec::kStopRecvStream},
             {"vdec", "ResetChn", mk::vdec::kResetChn},               {"vdec", "Bind", mk::vdec::kBind},
             {"vdec", "GetUserData", mk::vdec::kGetUserData},         {"vdec", "ReleaseUserData", mk::vdec::kReleaseUserData},
             {"vdec", "SetModParam", mk::vdec::kSetModParam},         {"vdec", "GetModParam", mk::vdec::kGetModParam},
             {"vdec", "JpegGetStream", MK_JPEGD_IOC_GET_STREAM}, {"vdec", "JpegReleaseStream", MK_JPEGD_IOC_RELEASE_STREAM},
             {"vdec", "JpegGetFrameBuf", MK_JPEGD_IOC_GET_FRAME_BUF}, {"vdec", "JpegPutFrame", MK_JPEGD_IOC_PUT_FRAME},
             {"vdec", "JpegBufInfo", MK_JPEGD_IOC_BUF_INFO}, {"vdec", "JpegReport", MK_JPEGD_IOC_REPORT},
             {"jpeg", "Open", MK_JPEG_IOC_OPEN}, {"jpeg", "Close", MK_JPEG_IOC_CLOSE}, {"jpeg", "Wait", MK_JPEG_IOC_WAIT},
             // VB.
             {"vb", "CreatePool", VB_IOC_CREATE_POOL}, {"vb", "DestroyPool", VB_IOC_DESTROY_POOL},
             {"vb", "GetBlock", VB_IOC_GET_BLOCK}, {"vb", "ReleaseBlock", VB_IOC_RELEASE_BLOCK},
             {"vb", "Handle2PhysAddr", VB_IOC_HANDLE2PHYS}, {"vb", "Handle2PoolId", VB_IOC_HANDLE2POOL},
             {"vb", "QueryBlock", VB_IOC_QUERY_BLOCK}, {"vb", "Init", VB_IOC_INIT}, {"vb", "Exit", VB_IOC_EXIT},
             {"vb", "GetConf", VB_IOC_GET_CONF}, {"vb", "SetConf", VB_IOC_SET_CONF},
             {"vb", "MmapPool", VB_IOC_POOL_MAP_INFO}, {"vb", "MunmapPool", VB_IOC_POOL_IN_USE},
             {"vb", "InitModCommPool", VB_IOC_INIT_MOD_POOL}, {"vb", "ExitModCommPool", VB_IOC_EXIT_MOD_POOL},
             {"vb", "SetModPoolConf", VB_IOC_SET_MOD_POOL_CONF}, {"vb", "SetSetting", VB_IOC_SET_SETTING},
             {"vb", "GetSetting", VB_IOC_GET_SETTING}, {"vb", "CreatePoolEx", VB_IOC_CREATE_POOL_EX},
             {"vb", "DestroyPoolEx", VB_IOC_DESTROY_POOL_EX}, {"vb", "GetBlockEx", VB_IOC_GET_BLOCK_EX},
             {"vb", "ReleaseBlockEx", VB_IOC_RELEASE_BLOCK_EX}, {"vb", "MmapPoolEx", VB_IOC_POOL_MAP_INFO_EX},
             {"vb", "MunmapPoolEx", VB_IOC_POOL_IN_USE_EX}, {"vb", "Handle2PhysAddrEx", VB_IOC_HANDLE2PHYS_EX},
             {"vb", "CreateUserPool", VB_IOC_CREATE_CALLER_POOL}, {"vb", "AddUserBlock", VB_IOC_ADD_CALLER_BLOCK},
             // SYS, the log device and the memory zone.
             {"sys", "Init", MK_SYS_IOC_INIT}, {"sys", "Exit", MK_SYS_IOC_EXIT}, {"sys", "SetConf", MK_SYS_IOC_SET_CONF},
             {"sys", "GetConf", MK_SYS_IOC_GET_CONF}, {"sys", "SetU64First", MK_SYS_IOC_SET_U64_FIRST},
             {"sys", "SetU64Second", MK_SYS_IOC_SET_U64_SECOND}, {"sys", "GetU64", MK_SYS_IOC_GET_U64},
             {"sys", "Bind", MK_SYS_IOC_BIND}, {"sys", "UnBind", MK_SYS_IOC_UNBIND},
             {"sys", "GetBindbyDest", MK_SYS_IOC_GET_BIND_BY_DEST}, {"sys", "SetMemConf", MK_SYS_IOC_SET_MEM_CONF},
             {"sys", "GetMemConf", MK_SYS_IOC_GET_MEM_CONF}, {"sys", "GetCustomerId", MK_SYS_IOC_GET_CUSTOMER_ID},
             {"sys", "SetWord", MK_SYS_IOC_SET_WORD}, {"sys", "GetKernelConfig", MK_SYS_IOC_GET_KERNEL_CONFIG},
             {"sys", "GetWord", MK_SYS_IOC_GET_WORD}, {"sys", "Command", MK_SYS_IOC_COMMAND},
             {"sys", "SetPair", MK_SYS_IOC_SET_PAIR}, {"sys", "QueryPair", MK_SYS_IOC_QUERY_PAIR},
             {"log", "SetLevelConf", MK_LOG_IOC_SET_CONF}, {"log", "GetLevelConf", MK_LOG_IOC_GET_CONF},
             {"mmz", "Alloc", MK_MMZ_IOC_ALLOC}, {"mmz", "Free", MK_MMZ_IOC_FREE}, {"mmz", "Remap", MK_MMZ_IOC_REMAP},
             {"mmz", "RemapCached", MK_MMZ_IOC_REMAP_CACHED}, {"mmz", "Unmap", MK_MMZ_IOC_UNMAP},
             {"mmz", "BufAlloc", MK_MMZ_IOC_BUF_ALLOC}, {"mmz", "BufFree", MK_MMZ_IOC_BUF_FREE},
             {"mmz", "BufRemap", MK_MMZ_IOC_BUF_REMAP}, {"mmz", "BufRemapCached", MK_MMZ_IOC_BUF_REMAP_CACHED},
             {"mmz", "BufUnmap", MK_MMZ_IOC_BUF_UNMAP}, {"mmz", "BufGetPhys", MK_MMZ_IOC_BUF_GET_PHYS},
             {"mmz", "FlushAll", MK_MMZ_IOC_FLUSH_ALL}, {"mmz", "FlushRange", MK_MMZ_IOC_FLUSH_RANGE},
             // PCIV.
             {"pciv", "Create", PCIV_CREATE_CTRL}, {"pciv", "Destroy", PCIV_DESTROY_CTRL},
             {"pciv", "Start", PCIV_START_CTRL}, {"pciv", "Stop", PCIV_STOP_CTRL}, {"pciv", "Malloc", PCIV_MALLOC_CTRL},
             {"pciv", "Free", PCIV_FREE_CTRL}, {"pciv", "MallocChnBuffer", PCIV_MALLOC_CHN_BUF_CTRL},
             {"pciv", "FreeChnBuffer", PCIV_FREE_CHN_BUF_CTRL}, {"pciv", "GetBaseWindow", PCIV_GETBASEWINDOW_CTRL},
             {"pciv", "GetLocalId", PCIV_GETLOCALID_CTRL}, {"pciv", "EnumChip", PCIV_ENUMCHIPID_CTRL},
             {"pciv", "DmaTask", PCIV_DMATASK_CTRL}, {"pciv", "Bind", PCIV_BINDCHN2FD_CTRL},
             {"pciv", "WinVbCreate", PCIV_WINVBCREATE_CTRL}, {"pciv", "WinVbDestroy", PCIV_WINVBDESTROY_CTRL}}) {
        out.push_back(b);
    }
    for (const Built& b : std::vector<Built>{
             // RGN.
             {"rgn", "Create", mk::rgn::kCreate}, {"rgn", "Destroy", mk::rgn::kDestroy},
             {"rgn", "SetBitMap", mk::rgn::kSetBitMap}, {"rgn", "AttachToChn", mk::rgn::kAttachToChn},
             {"rgn", "Request11", mk::rgn::kRequest11}, {"rgn", "GetCanvas", mk::rgn::kGetCanvas},
             {"rgn", "UpdateCanvas", mk::rgn::kUpdateCanvas},
             // VDA.
             {"vda", "CreateChn", mk::vda::kCreateChn}, {"vda", "DestroyChn", mk::vda::kDestroyChn},
             {"vda", "StartRecvPic", mk::vda::kStartRecvPic}, {"vda", "StopRecvPic", mk::vda::kStopRecvPic},
             {"vda", "GetData", mk::vda::kGetData}, {"vda", "ReleaseData", mk::vda::kReleaseData},
             {"vda", "ResetOdRegion", mk::vda::kResetOdRegion}, {"vda", "Bind", mk::vda::kBind},
             {"vda", "GetBuf", mk::vda::kGetBuf}, {"vda", "SendPic", mk::vda::kSendPic},
             // HDMI.
             {"hdmi", "Bind", mk::hdmi::kBind}, {"hdmi", "Init", mk::hdmi::kInit}, {"hdmi", "DeInit", mk::hdmi::kDeInit},
             {"hdmi", "Open", mk::hdmi::kOpen}, {"hdmi", "Close", mk::hdmi::kClose}, {"hdmi", "Start", mk::hdmi::kStart},
             {"hdmi", "Stop", mk::hdmi::kStop}, {"hdmi", "GetSinkCapability", mk::hdmi::kGetSinkCapability},
             {"hdmi", "PollEvent", mk::hdmi::kPollEvent}, {"hdmi", "GetInfoFrame", mk::hdmi::kGetInfoFrame},
             {"hdmi", "SetInfoFrame", mk::hdmi::kSetInfoFrame}, {"hdmi", "GetCECCommand", mk::hdmi::kGetCECCommand},
             {"hdmi", "Force_GetEDID", mk::hdmi::kForceGetEDID}, {"hdmi", "PlayStus", mk::hdmi::kPlayStus},
             // TDE.
             {"tde", "BeginJob", mk::tde::kBeginJob}, {"tde", "TwoSource", mk::tde::kTwoSource},
             {"tde", "Param", mk::tde::kParam}, {"tde", "Copy", mk::tde::kCopy}, {"tde", "Scale", mk::tde::kScale},
             {"tde", "Fill", mk::tde::kFill}, {"tde", "Simple7", mk::tde::kSimple7}, {"tde", "Special", mk::tde::kSpecial},
             {"tde", "EndJob", mk::tde::kEndJob}, {"tde", "SetValue10", mk::tde::kSetValue10},
             {"tde", "CancelJob", mk::tde::kCancelJob}, {"tde", "Four12", mk::tde::kFour12},
             {"tde", "Four13", mk::tde::kFour13}, {"tde", "Request14", mk::tde::kRequest14},
             {"tde", "Request15", mk::tde::kRequest15}, {"tde", "SetValue17", mk::tde::kSetValue17},
             {"tde", "GetValue18", mk::tde::kGetValue18}, {"tde", "SetFlag19", mk::tde::kSetFlag19},
             {"tde", "GetFlag20", mk::tde::kGetFlag20}, {"tde", "SetValue21", mk::tde::kSetValue21},
             {"tde", "SetValue22", mk::tde::kSetValue22}, {"tde", "Three", mk::tde::kThree},
             {"tde", "SetValue24", mk::tde::kSetValue24}}) {
        out.push_back(b);
    }
#define HDMI_ROW(name, checks, req, T) out.push_back({"hdmi", #name, mk::hdmi::req});
    MK_HDMI_REQUESTS(HDMI_ROW)
#undef HDMI_ROW
    return out;
}

unsigned DirBits(Dir d) {
    switch (d) {
        case kNone: return _IOC_NONE;
        case kW: return _IOC_WRITE;
        case kR: return _IOC_READ;
        case kWR: return _IOC_READ | _IOC_WRITE;
    }
    return ~0u;
}

TEST(RequestNumbersTest, EveryBuiltRequestMatchesTheWrittenTable) {
    std::map<std::pair<std::string, std::string>, const Row*> rows;
    for (const Row& r : kRows) {
        ASSERT_TRUE(rows.emplace(std::make_pair(r.module, r.name), &r).second)
            << "row written twice: " << r.module << " " << r.name;
    }
    std::set<std::pair<std::string, std::string>> seen;
    for (const Built& b : BuiltRequests()) {
        auto key = std::make_pair(b.module, b.name);
        auto it = rows.find(key);
        ASSERT_NE(it, rows.end()) << "no documented request " << b.module << " " << b.name;
        EXPECT_TRUE(seen.insert(key).second) << "built twice: " << b.module << " " << b.name;
        const Row& r = *it->second;
        SCOPED_TRACE(b.module + " " + b.name);
        EXPECT_EQ(_IOC_TYPE(b.request), static_cast<unsigned>(static_cast<unsigned char>(r.magic)));
        EXPECT_EQ(_IOC_NR(b.request), r.nr);
        EXPECT_EQ(_IOC_DIR(b.request), DirBits(r.dir));
        if (r.host) {
            // A record with a user address is at least as large as its chip form, and exactly that
            // large on a 32-bit build.
            EXPECT_GE(_IOC_SIZE(b.request), r.size);
            if (sizeof(void*) == 4) {
                EXPECT_EQ(_IOC_SIZE(b.request), r.size);
            }
        } else {
            EXPECT_EQ(_IOC_SIZE(b.request), r.size);
        }
    }
    for (const Row& r : kRows) {
        EXPECT_TRUE(seen.count({r.module, r.name})) << "documented request not built: " << r.module << " " << r.name;
    }
}

// Two requests of one module that a driver tells apart only by number must not collide.
TEST(RequestNumbersTest, RequestsOfOneDeviceAreDistinct) {
    std::map<std::string, std::map<unsigned long, std::string>> byDevice;
    for (const Built& b : BuiltRequests()) {
        // The log device is a node of its own; the zone driver serves both of its records.
        std::string device = b.module;
        auto [it, fresh] = byDevice[device].emplace(b.request, b.name);
        EXPECT_TRUE(fresh) << device << ": " << b.name << " and " << it->second << " share 0x" << std::hex << b.request;
    }
}

}  // namespace
