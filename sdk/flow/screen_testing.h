// What the display flow tests share: device 0 set up as the program's main display (1920 x 1080,
// layer 0 over the whole screen) and the composed screen read back through the SDK.
#pragma once

#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "platform/drivers/core/video_frames.h"
#include "platform/mem/ram.h"
#include "sdk/vo/mpi_vo.h"

namespace flow_testing {

constexpr int kScreenW = 1920, kScreenH = 1080;
constexpr VO_DEV kDisplayDev = 0;
constexpr VO_LAYER kDisplayLayer = 0;

// Device 0 at 1920 x 1080 with background colour `rgb` (0xRRGGBB), layer 0 over the whole screen.
// Call with ASSERT_NO_FATAL_FAILURE.
inline void StartDisplay(MK_U32 rgb = 0) {
    ASSERT_EQ(MK_MPI_VO_Disable(kDisplayDev), MK_SUCCESS);
    VO_PUB_ATTR_S pub{};
    pub.u32BgColor = rgb;
    pub.enIntfType = 16;
    pub.enIntfSync = 6;  // the program's code for 1920 x 1080
    ASSERT_EQ(MK_MPI_VO_SetPubAttr(kDisplayDev, &pub), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VO_Enable(kDisplayDev), MK_SUCCESS);
    VO_VIDEO_LAYER_ATTR_S layer{{0, 0, kScreenW, kScreenH}, {kScreenW, kScreenH}, 30,
                                MK_PIXEL_FORMAT_YUV_SEMIPLANAR_420, 0, 0};
    ASSERT_EQ(MK_MPI_VO_SetVideoLayerAttr(kDisplayLayer, &layer), MK_SUCCESS);
    ASSERT_EQ(MK_MPI_VO_EnableVideoLayer(kDisplayLayer), MK_SUCCESS);
}

// The screen as the SDK hands it out, copied before it goes back.
struct ScreenCopy {
    VIDEO_FRAME_INFO_S frame{};
    std::vector<uint8_t> bytes;
    uint8_t Luma(int x, int y) const { return bytes[static_cast<size_t>(y) * frame.u32Stride[0] + x]; }
    // The chroma pair over (x, y), in memory order (Cr, then Cb).
    const uint8_t* Chroma(int x, int y) const {
        return &bytes[static_cast<size_t>(frame.u32Stride[0]) * frame.u32Height +
                      static_cast<size_t>(y / 2) * frame.u32Stride[1] + (x & ~1)];
    }
};

// Empty when no screen came.
inline ScreenCopy GetScreen(VO_LAYER layer = kDisplayLayer) {
    ScreenCopy s;
    const MK_S32 got = MK_MPI_VO_GetScreenFrame(layer, &s.frame, 2000);
    EXPECT_EQ(got, MK_SUCCESS);
    if (got != MK_SUCCESS) return ScreenCopy{};
    EXPECT_EQ(s.frame.u32Width, static_cast<MK_U32>(kScreenW));
    EXPECT_EQ(s.frame.u32Height, static_cast<MK_U32>(kScreenH));
    s.bytes.resize(varnelle::drivers::FrameBytes(s.frame.u32Width, s.frame.u32Height));
    EXPECT_TRUE(varnelle::mem::Ram::Local().Read(s.frame.u32PhyAddr[0], s.bytes.data(), s.bytes.size()));
    EXPECT_EQ(MK_MPI_VO_ReleaseScreenFrame(layer, &s.frame), MK_SUCCESS);
    return s;
}

}  // namespace flow_testing
