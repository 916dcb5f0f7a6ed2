#include "app/comm/comm_hook.h"

#include <fcntl.h>
#include <sys/mman.h>

#include <cstdio>

#include "platform/dev/dev.h"

namespace dev = varnelle::dev;

int SysQueryHook(int, void*) {
    return 0;
}
int CapListAllocHook(void*, uint32_t) {
    return -1;
}
int CaptureGetBufferHook(uint32_t, uint32_t) {
    return 0;
}
int CapListFreeHook(uint32_t) {
    return 0;
}
void ViAdaptHook(uint32_t, uint32_t) {}
int BlindStateHook(int) {
    return 0;
}
int BlindLevelHook(int) {
    return 0;
}
void AlarmHookA(uint32_t) {}
int AlarmHookB(uint32_t, int) {
    return 0;
}
int MotionGetStateHook(uint32_t*) {
    return 0;
}
int MotionSetParamHook() {
    return 0;
}
int AudioSwitchHook(uint32_t, uint32_t) {
    return 0;
}
int SystemTimeToRtcTimeSet() {
    return 0;
}

// The board has no graphics layer of its own for the drawing library.
int SlaveGraphicsCreate(GraphicsSurface*, GraphicsLayer**) {
    return 0;
}

// This board has no mouse: the open does nothing, and a read finds no packet. (A read that answered
// "a packet was read" with an empty buffer would announce a mouse and keep the drawing library's
// reader asking at once instead of once a second.)
int DevMouseOpenHook() {
    return 0;
}

int DevMouseReadHook(void*) {
    return -1;
}

namespace {

constexpr uint32_t kPage = 4096;

// Maps the page that holds `addr`; runs `fn` on the word; 0 or -1.
template <typename Fn>
int WithWord(uint32_t addr, Fn fn) {
    // A word that straddles no boundary is the only kind the bus can carry.
    if (addr % 4 != 0) return -1;
    int fd = dev::Open("/dev/mem", O_RDWR | O_SYNC);
    if (fd < 0) {
        std::puts("mem dev Open Failed");
        return -1;
    }
    void* p = dev::Mmap(nullptr, kPage, PROT_READ | PROT_WRITE, MAP_SHARED, fd, addr & ~(kPage - 1));
    if (p == MAP_FAILED) {
        std::puts("Memory Map Failed For Address");
        dev::Close(fd);
        return -1;
    }
    fn(reinterpret_cast<volatile uint32_t*>(static_cast<char*>(p) + (addr & (kPage - 1))));
    dev::Munmap(p, kPage);
    dev::Close(fd);
    return 0;
}

}  // namespace

int RegWrite(uint32_t addr, uint32_t value) {
    return WithWord(addr, [value](volatile uint32_t* w) { *w = value; });
}

int RegRead(uint32_t addr, uint32_t* pValue) {
    if (pValue == nullptr) return -1;
    return WithWord(addr, [pValue](volatile uint32_t* w) { *pValue = *w; });
}
