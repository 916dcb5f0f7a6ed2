// A process-wide pair of font paths that a renderer follows: every change moves the setting's
// generation on, and a renderer reopens its files when the generation it opened them from is stale.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace varnelle::font_internal {

class FontPathSetting {
public:
    static constexpr uint64_t kNeverSeen = UINT64_MAX;

    void Store(const std::string& path, const std::string& second) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (path == m_path && second == m_second) return;
        m_path = path;
        m_second = second;
        ++m_generation;
    }

    // True, with the paths, when the setting changed since `seen`, which is brought up to date.
    bool ChangedSince(uint64_t& seen, std::string* path, std::string* second) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (seen == m_generation) return false;
        seen = m_generation;
        *path = m_path;
        *second = m_second;
        return true;
    }

private:
    std::mutex m_mutex;
    std::string m_path;         // guarded by m_mutex
    std::string m_second;       // guarded by m_mutex
    uint64_t m_generation = 0;  // guarded by m_mutex
};

}  // namespace varnelle::font_internal
