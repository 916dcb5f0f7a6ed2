#include "platform/drivers/fb/fb_driver.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "platform/dev/driver.h"
#include "platform/drivers/core/kernel.h"
#include "platform/mem/ram.h"
#include "platform/mem/zone.h"

namespace varnelle::drivers {
namespace {

class FbDriver : public dev::Driver {
public:
    FbDriver(int index, uint32_t memBytes, uint32_t width, uint32_t height)
        : Driver("/dev/fb" + std::to_string(index)), m_index(index), m_memBytes(memBytes) {
        // A 16-bit ARGB1555 layer of the given size until someone sets another.
        fb_var_screeninfo& v = m_layer.var;
        v.xres = v.xres_virtual = width;
        v.yres = v.yres_virtual = height;
        SetPixelFormat(&v, 16);
        std::snprintf(m_layer.fix.id, sizeof m_layer.fix.id, "mkfb%d", index);
        m_layer.fix.type = FB_TYPE_PACKED_PIXELS;
        m_layer.fix.visual = FB_VISUAL_TRUECOLOR;
        m_layer.fix.smem_len = memBytes;
        m_layer.fix.line_length = width * 2;
    }

    std::unique_ptr<dev::File> Open(int flags) override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_layer.fix.smem_start == 0) {
                const uint32_t phys = mem::ZoneAllocator::Local().Allocate(m_memBytes, "", "fb" + std::to_string(m_index));
                if (phys == 0) {
                    errno = ENOMEM;
                    return nullptr;
                }
                m_layer.fix.smem_start = phys;
            }
        }
        return Driver::Open(flags);
    }

    int Ioctl(dev::File&, unsigned long request, void* arg) override {
        if (arg == nullptr) return dev::Fail(EFAULT);
        std::lock_guard<std::mutex> lock(m_mutex);
        switch (request) {
            case FBIOGET_VSCREENINFO: return dev::CopyOut(arg, m_layer.var);
            case FBIOPUT_VSCREENINFO: return PutVar(static_cast<fb_var_screeninfo*>(arg));
            case FBIOGET_FSCREENINFO: return dev::CopyOut(arg, m_layer.fix);
            case FBIOPAN_DISPLAY: return Pan(*static_cast<const fb_var_screeninfo*>(arg));
            case kFbIoPutShow: m_layer.shown = *static_cast<const int*>(arg) != 0; return 0;
            default: return dev::Fail(ENOTTY);
        }
    }

    void* Mmap(dev::File&, void* addr, size_t length, int prot, int flags, off_t offset) override {
        uint32_t phys;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (offset < 0 || offset % mem::kPageSize != 0 || static_cast<uint64_t>(offset) + length > m_memBytes) {
                errno = EINVAL;
                return MAP_FAILED;
            }
            phys = static_cast<uint32_t>(m_layer.fix.smem_start) + static_cast<uint32_t>(offset);
        }
        const mem::Ram& ram = mem::Ram::Local();
        return ::mmap(addr, length, prot, flags, ram.fd(), static_cast<off_t>(phys - ram.base()));
    }

    // The framebuffer is no media state: the media system's exit leaves it as it is.
    void Reset() {}

    std::optional<fb_view::Layer> View() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_layer.fix.smem_start == 0) return std::nullopt;
        return m_layer;
    }

private:
    static void SetPixelFormat(fb_var_screeninfo* v, uint32_t bpp) {
        v->bits_per_pixel = bpp;
        if (bpp == 16) {
            v->transp = {15, 1, 0};
            v->red = {10, 5, 0};
            v->green = {5, 5, 0};
            v->blue = {0, 5, 0};
        } else {
            v->transp = {24, 8, 0};
            v->red = {16, 8, 0};
            v->green = {8, 8, 0};
            v->blue = {0, 8, 0};
        }
    }

    // Call with m_mutex held.
    int PutVar(fb_var_screeninfo* in) {
        fb_var_screeninfo v = *in;
        if (v.bits_per_pixel != 16 && v.bits_per_pixel != 32) return dev::Fail(EINVAL);
        if (v.xres == 0 || v.yres == 0) return dev::Fail(EINVAL);
        v.xres_virtual = std::max(v.xres_virtual, v.xres);
        v.yres_virtual = std::max(v.yres_virtual, v.yres);
        const uint64_t bytes = uint64_t{v.xres_virtual} * (v.bits_per_pixel / 8) * v.yres_virtual;
        if (bytes > m_memBytes || uint64_t{v.xoffset} + v.xres > v.xres_virtual ||
            uint64_t{v.yoffset} + v.yres > v.yres_virtual)
            return dev::Fail(EINVAL);
        m_layer.var = v;
        m_layer.fix.line_length = v.xres_virtual * (v.bits_per_pixel / 8);
        // The kernel hands back the variable information as it took it.
        *in = v;
        return 0;
    }

    int Pan(const fb_var_screeninfo& v) {
        if (uint64_t{v.xoffset} + m_layer.var.xres > m_layer.var.xres_virtual ||
            uint64_t{v.yoffset} + m_layer.var.yres > m_layer.var.yres_virtual)
            return dev::Fail(EINVAL);
        m_layer.var.xoffset = v.xoffset;
        m_layer.var.yoffset = v.yoffset;
        ++m_layer.pans;
        return 0;
    }

    const int m_index;
    const uint32_t m_memBytes;
    std::mutex m_mutex;  // guards m_layer
    fb_view::Layer m_layer;
};

// The three layers: the GUI layer (up to 3840 x 2160, two buffers of 16 bits), the video-sized one and
// the cursor.
struct Fb0 : FbDriver {
    Fb0() : FbDriver(0, 32u << 20, 1024, 768) {}
};
struct Fb2 : FbDriver {
    Fb2() : FbDriver(2, 16u << 20, 704, 576) {}
};
struct Fb3 : FbDriver {
    Fb3() : FbDriver(3, 256u << 10, 32, 32) {}
};

}  // namespace

void InstallFbDrivers() {
    InstallDriverOnce<Fb0>();
    InstallDriverOnce<Fb2>();
    InstallDriverOnce<Fb3>();
}

namespace fb_view {

std::optional<Layer> Get(int n) {
    auto d = dev::Registry::Get<FbDriver>("/dev/fb" + std::to_string(n));
    return d ? d->View() : std::nullopt;
}

}  // namespace fb_view

}  // namespace varnelle::drivers
