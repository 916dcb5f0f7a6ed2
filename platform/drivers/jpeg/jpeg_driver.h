// /dev/jpeg: the simulated JPEG decoder block. It counts the open and close requests that every user
// sends around a picture, lends its register window (JPEG_REG_WINDOW_SIZE bytes, one page shared by every
// mapping) and answers the wait for the end of a decode by decoding: the stream the registers point at
// goes through the decoder (jpeg_block.h) into the buffers they name, and the wait says 2 (done), or 3
// (error) for register contents the block cannot take. A stream fed in pieces (modes 0 and 1) is
// gathered, each piece answered 1, and decoded with its last piece. The open request of a user that
// finds nobody else using the block starts it from cleared registers.
//
// Tests may force answers instead (a script, then a fixed answer), which decode nothing, and may hold
// waits (a decode in progress) until they let them go. Each answered wait is logged with the registers
// as the user left them.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
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

    std::unique_ptr<dev::File> Open(int flags) override;
    void Release(dev::File& file) override;
    int Ioctl(dev::File& file, unsigned long request, void* arg) override;
    void* Mmap(dev::File& file, void* addr, size_t length, int prot, int flags, off_t offset) override;

    // Test view and script; all thread-safe.
    void SetWaitScript(std::vector<uint32_t> answers);  // forced answers, in order, then as before
    void SetDefaultAnswer(uint32_t answer);              // forces every later answer
    // While held, waits block (counted in Waiting()) until released.
    void HoldWaits();
    void ReleaseWaits();
    int Waiting() const;
    std::vector<Wait> Waits() const;  // the latest kWaitsKept, oldest first
    std::vector<uint32_t> Registers() const;
    int Opens() const;     // open requests ('j' 0)
    int Closes() const;    // close requests ('j' 1)
    int Decoded() const;   // pictures the block decoded

    // Clears the script, the forced answer, the log, the counts and the registers: waits decode again.
    void Reset();

    static constexpr size_t kWaitsKept = 256;

private:
    // The answer to a wait with registers `regs` on `file`, decoding outside the driver's lock.
    uint32_t Decode(dev::File& file, const std::vector<uint32_t>& regs, uint32_t* lumaSum);

    mutable std::mutex m_mutex;  // guards everything below and the window's contents as a whole
    int m_memfd = -1;
    uint32_t* m_window = nullptr;  // the driver's own view of the register page
    std::deque<uint32_t> m_script;
    std::optional<uint32_t> m_forced;
    std::deque<Wait> m_waits;
    std::condition_variable m_released;
    bool m_hold = false;
    int m_waiting = 0;
    int m_opens = 0;
    int m_closes = 0;
    int m_users = 0;  // files between their open and close requests
    int m_decoded = 0;
};

}  // namespace varnelle::drivers
