// Simulated physical memory. Each chip's RAM is one sparse shared-memory file, <bus>/ram-<chip>,
// standing for physical addresses from 0x40000000: 2 GiB for a slave, 256 MiB for the master (chip 0).
// Every mapping of a physical address maps the same file bytes, so all views alias. Nothing is touched
// until used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace varnelle::mem {

constexpr uint32_t kRamBase = 0x40000000u;
constexpr uint64_t kSlaveRamSize = 2ull << 30;
constexpr uint64_t kMasterRamSize = 256ull << 20;
constexpr size_t kPageSize = 4096;

inline uint64_t RamSizeOfChip(int chip) { return chip == 0 ? kMasterRamSize : kSlaveRamSize; }

class Ram {
public:
    // This process's own RAM (chip host::ChipId()). Created empty on first use and kept for the
    // life of the process.
    static Ram& Local();
    // Another chip's RAM file, opened (not created) on first use. Null when it does not exist.
    static Ram* Remote(int chip);

    // Opens or creates a RAM file. `create` starts it empty (old contents dropped).
    Ram(const std::string& path, int chip, uint64_t size, bool create);
    ~Ram();
    Ram(const Ram&) = delete;
    Ram& operator=(const Ram&) = delete;

    bool ok() const { return m_fd >= 0; }
    int chip() const { return m_chip; }
    uint32_t base() const { return kRamBase; }
    uint64_t size() const { return m_size; }
    const std::string& path() const { return m_path; }

    // True when [phys, phys + length) lies inside this RAM (length 0 counts as one byte).
    bool Contains(uint64_t phys, uint64_t length) const;

    // Maps the pages that hold [phys, phys + length) and returns the address of `phys` in them;
    // null (errno set) outside RAM. Unmap with Unmap(ptr, length).
    void* Map(uint32_t phys, size_t length) const;
    static int Unmap(void* ptr, size_t length);

    // Maps a page-aligned range of whole pages twice back to back, so reads running past its end
    // continue from its start. Unmap with UnmapMirror(ptr, length).
    void* MapMirror(uint32_t phys, size_t length) const;
    static int UnmapMirror(void* ptr, size_t length);

    // Copies between RAM and process memory without keeping a mapping; false outside RAM.
    bool Read(uint32_t phys, void* dst, size_t length) const;
    bool Write(uint32_t phys, const void* src, size_t length) const;

    // Raw file access for drivers that map with mmap semantics (offset = phys - base).
    int fd() const { return m_fd; }

private:
    std::string m_path;
    int m_chip;
    uint64_t m_size;
    int m_fd = -1;
};

std::string RamPath(int chip);

// Page rounding of a physical or user range: the first page and the byte length of the pages that
// hold [addr, addr + length).
inline uint64_t PageStart(uint64_t addr) { return addr & ~static_cast<uint64_t>(kPageSize - 1); }
inline uint64_t PageSpan(uint64_t addr, uint64_t length) {
    uint64_t len = length == 0 ? 1 : length;
    return ((len - 1 + (addr & (kPageSize - 1))) & ~static_cast<uint64_t>(kPageSize - 1)) + kPageSize;
}

}  // namespace varnelle::mem
