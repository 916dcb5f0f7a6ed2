// The display's screen: what a device shows, composed from the pictures of its layers' channels.
//
// A device's screen is a semi-planar 4:2:0 picture of the size its interface timing gives, filled with
// its background colour; every enabled, shown channel of every enabled layer bound to the device draws
// its picture scaled into its rectangle, layers in order of their priority and channels of a layer in
// order of theirs (the later on top). A channel's rectangle is in the layer's image coordinates, which
// the layer's display rectangle maps onto the screen; what falls outside the layer's display rectangle
// or the screen is cut off.
//
// The driver builds a ScreenPlan under its lock (cheap: frame references and rectangles) and hands it to
// the device's Compositor on its own thread, which does the pixel work without the lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/drivers/core/scaler.h"
#include "platform/drivers/core/video_frames.h"
#include "sdk/vo/vo_ioctl.h"

namespace varnelle::drivers::vo {

struct Yuv {
    uint8_t y, u, v;
    bool operator==(const Yuv&) const = default;
};

// The background colour word (0xRRGGBB) in video-range BT.601.
Yuv BackgroundYuv(MK_U32 rgb);

// The screen size of a device's interface timing code. The codes the program sets come from its
// resolution table; an unknown code takes the active width and height of the record's sync
// information when both are set and at most 4096, else 1920 x 1080.
struct Timing {
    int width, height;
};
Timing TimingOf(const VO_PUB_ATTR_S& pub);

// A screen: rows of FrameStride(width) bytes, the luma plane, then the chroma plane right after it, as
// the frames of the video pools are laid out.
class Screen {
public:
    Screen(int width, int height);
    int Width() const { return m_width; }
    int Height() const { return m_height; }
    size_t Stride() const { return m_stride; }
    const std::vector<uint8_t>& Bytes() const { return m_bytes; }
    Yuv420SpPlanes Planes();
    // The planes for reading only (a scaler's source).
    Yuv420SpPlanes Planes() const { return const_cast<Screen*>(this)->Planes(); }
    // The luma, and the chroma pair (in memory order), at (x, y).
    uint8_t LumaAt(int x, int y) const { return m_bytes[static_cast<size_t>(y) * m_stride + x]; }
    std::pair<uint8_t, uint8_t> ChromaAt(int x, int y) const;
    void Fill(Yuv colour);

private:
    int m_width, m_height;
    size_t m_stride;
    std::vector<uint8_t> m_bytes;
};

// One channel's picture on a screen.
struct ChannelDraw {
    int layer, chn;
    HeldFrame frame;
    uint64_t seq;  // changes whenever the channel's picture does (or is refreshed)
    RECT_S rect;   // where the picture is scaled to, in screen coordinates; may reach past the screen
    RECT_S clip;   // the part of the screen it may draw on (its layer's display rectangle)
};

struct ScreenPlan {
    int width = 0, height = 0;
    Yuv background{16, 128, 128};
    std::vector<ChannelDraw> draws;  // bottom first
};

// A channel rectangle of a layer's image, mapped through the layer's display rectangle onto the screen:
// the corner rounded down to even, the far edges kept. An image or display rectangle of no size stands
// for the whole screen. A rectangle that misses the screen, or is larger than 4096 on a side once
// mapped, comes back empty: it is not drawn.
RECT_S MapToScreen(const RECT_S& chnRect, const VO_VIDEO_LAYER_ATTR_S& layer, int screenW, int screenH,
                   RECT_S* layerClip);

// Composes one device's screens, keeping each channel's picture scaled to its rectangle until the
// picture or the rectangle changes. One per device; used by one thread at a time.
class Compositor {
public:
    // A screen for `plan`, or null when the plan is the one composed last (the screen stands).
    std::shared_ptr<const Screen> Compose(const ScreenPlan& plan);
    // Forgets the last plan and the scaled pictures.
    void Clear();
    // Pictures scaled so far (any thread; test view).
    uint64_t ScaledCount() const { return m_scaledCount.load(std::memory_order_relaxed); }

private:
    struct Scaled {
        uint64_t seq = 0;
        int width = 0, height = 0;
        std::vector<uint8_t> bytes;
        bool used = false;
        // A channel's own, so that its tables stay made while the other channels' sizes differ.
        Yuv420SpScaler scaler;
    };
    // A screen buffer nobody else holds, or a new one.
    std::shared_ptr<Screen> FreeBuffer(int width, int height);
    // Brings the channel's scaled picture up to date; false when its picture cannot be read.
    bool Update(Scaled& s, const ChannelDraw& d);
    static void Blit(const Scaled& s, const ChannelDraw& d, Screen& screen);

    // What the last screen was made of, without holding its frames.
    struct DrawKey {
        int layer, chn;
        uint64_t seq;
        RECT_S rect, clip;
    };
    struct PlanKey {
        int width = 0, height = 0;
        Yuv background{0, 0, 0};
        std::vector<DrawKey> draws;
    };
    static PlanKey KeyOf(const ScreenPlan& plan);
    // Same size, colour and pictures in the same places: the same screen.
    static bool Same(const PlanKey& a, const PlanKey& b);

    PlanKey m_last;
    bool m_haveLast = false;
    std::map<std::pair<int, int>, Scaled> m_scaled;  // by (layer, channel)
    std::vector<std::shared_ptr<Screen>> m_buffers;
    std::atomic<uint64_t> m_scaledCount{0};
};

// The screen as an 8-bit RGB PNG (video-range BT.601, chroma pairs Cr then Cb), written to `path` by way
// of a temporary file beside it, so a viewer never reads half a picture. False on failure.
bool WriteScreenPng(const Screen& screen, const std::string& path);

}  // namespace varnelle::drivers::vo
