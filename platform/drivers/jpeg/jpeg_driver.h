// /dev/jpeg: the simulated JPEG decoder block. It counts the open and close requests that every user
// sends around a picture, lends its register window (JPEG_REG_WINDOW_SIZE bytes, one page shared by every
// mapping) and answers the wait for the end of a decode. There is no decoder behind the registers: each
// wait is answered from a script that tests set, and by default with 3 (error), so every picture falls
// back to the software decoder. Each answered wait is logged with the registers as the user left them.
// Tests may also hold waits (a decode in progress) until they let them go.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/dev/driver.h"

namespace varnelle::drivers {

// Registers the driver for /dev/jpeg (once) and its reset hook.
void InstallJpegDriver();

class JpegDriver : public dev::Driver {
public:
    // The registers as a user left them when it waited, and the answer it got.
    struct Wait {
        uint32_t answer;
        std::vector<uint32_t> regs;  // one word per 4 bytes of the window
        uint32_t Reg(uint32_t offset) const { return offset / 4 < regs.size() ? regs[offset / 4] : 0xFFFFFFFFu; }
    };

    JpegDriver();
    ~JpegDriver() override;

    // The registered driver (installs it on first use).
    static std::shared_ptr<JpegDriver> Get();

    int Ioctl(dev::File& file, unsigned long request, void* arg) override;
    void* Mmap(dev::File& file, void* addr, size_t length, int prot, int flags, off_t offset) override;

    // Test view and script; all thread-safe.
    void SetWaitScript(std::vector<uint32_t> answers);  // answered in order, then the default
    void SetDefaultAnswer(uint32_t answer);
    // While held, waits block (counted in Waiting()) until released.
    void HoldWaits();
    void ReleaseWaits();
    int Waiting() const;
    std::vector<Wait> Waits() const;
    std::vector<uint32_t> Registers() const;
    int Opens() const;   // open requests ('j' 0)
    int Closes() const;  // close requests ('j' 1)

    // Clears the script, the log, the counts and the registers; the default answer goes back to 3.
    void Reset();

private:
    mutable std::mutex m_mutex;  // guards everything below and the window's contents as a whole
    int m_memfd = -1;
    uint32_t* m_window = nullptr;  // the driver's own view of the register page
    std::deque<uint32_t> m_script;
    uint32_t m_default;
    std::vector<Wait> m_waits;
    std::condition_variable m_released;
    bool m_hold = false;
    int m_waiting = 0;
    int m_opens = 0;
    int m_closes = 0;
};

}  // namespace varnelle::drivers
