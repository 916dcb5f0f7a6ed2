// Test helpers that walk a module's table of one-request members generically: each member with its
// request number and a caller that takes the argument from a byte buffer, whatever its form.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <functional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include "platform/dev/driver.h"
#include "sdk/common/mk_comm_video.h"
#include "sdk/common/mk_type.h"

namespace mk::testing {

template <typename T>
constexpr size_t SizeOf() {
    if constexpr (std::is_void_v<T>) {
        return 0;
    } else {
        return sizeof(T);
    }
}

// A record type to make samples of: char stands in for void.
template <typename T>
using SampleType = std::conditional_t<std::is_void_v<T>, char, T>;

// The time-out the timed members get.
inline constexpr MK_S32 kTestTimeoutMs = 0;

inline MK_S32 Invoke(MK_S32 (*f)(MK_S32), int id, void*) { return f(id); }
template <typename T>
MK_S32 Invoke(MK_S32 (*f)(MK_S32, T), int id, void* buf) {
    T v;
    std::memcpy(&v, buf, sizeof(T));
    return f(id, v);
}
template <typename T>
MK_S32 Invoke(MK_S32 (*f)(MK_S32, const T*), int id, void* buf) { return f(id, static_cast<const T*>(buf)); }
template <typename T>
MK_S32 Invoke(MK_S32 (*f)(MK_S32, T*), int id, void* buf) { return f(id, static_cast<T*>(buf)); }
template <typename T>
MK_S32 Invoke(MK_S32 (*f)(MK_S32, const T*, MK_S32), int id, void* buf) {
    return f(id, static_cast<const T*>(buf), kTestTimeoutMs);
}
template <typename T>
MK_S32 Invoke(MK_S32 (*f)(MK_S32, T*, MK_S32), int id, void* buf) {
    return f(id, static_cast<T*>(buf), kTestTimeoutMs);
}
template <typename T>
MK_S32 Invoke(MK_S32 (*f)(const T*), int, void* buf) { return f(static_cast<const T*>(buf)); }
template <typename T>
MK_S32 Invoke(MK_S32 (*f)(T*), int, void* buf) { return f(static_cast<T*>(buf)); }

// One row of a module's request table, callable on the test's fixed ids with a buffer.
struct TableEntry {
    std::string name;
    std::string kind;
    unsigned long request;
    size_t size;
    std::function<MK_S32(void*)> call;
};

inline const TableEntry& FindEntry(const std::vector<TableEntry>& table, const std::string& name) {
    for (const TableEntry& e : table) {
        if (e.name == name) return e;
    }
    throw std::runtime_error("no entry " + name);
}

// The Set members that carry a record or a value, each with a Get partner to read it back.
inline std::vector<std::string> SetNames(const std::vector<TableEntry>& table) {
    std::vector<std::string> names;
    for (const TableEntry& e : table) {
        if (e.name.rfind("Set", 0) == 0 && (e.kind == "SET" || e.kind == "VAL")) names.push_back(e.name);
    }
    return names;
}

inline std::vector<std::string> AllNames(const std::vector<TableEntry>& table) {
    std::vector<std::string> names;
    for (const TableEntry& e : table) names.push_back(e.name);
    return names;
}

// What is set through `set` comes back through its Get partner byte for byte.
inline void ExpectRoundTrip(const TableEntry& set, const TableEntry& get, std::vector<uint8_t> in) {
    std::vector<uint8_t> out(in.size(), 0xEE);
    ASSERT_EQ(set.call(in.data()), MK_SUCCESS) << set.name;
    ASSERT_EQ(get.call(out.data()), MK_SUCCESS) << get.name;
    EXPECT_EQ(in, out) << set.name;
}

// Each code the driver is made to answer the entry's request with reaches the caller unchanged.
inline void ExpectCodesPassThrough(varnelle::dev::Driver& driver, const TableEntry& e,
                                   std::initializer_list<MK_S32> codes) {
    std::vector<uint8_t> buf(std::max<size_t>(e.size, sizeof(VIDEO_FRAME_REQ_S)));
    for (MK_S32 code : codes) {
        driver.FailRequest(e.request, code, 1, EPERM);
        EXPECT_EQ(e.call(buf.data()), code) << e.name;
    }
}

// Bytes that differ for each seed.
inline void FillPattern(void* buf, size_t size, int seed) {
    auto* b = static_cast<unsigned char*>(buf);
    for (size_t i = 0; i < size; ++i) b[i] = static_cast<unsigned char>(seed * 31 + i * 7 + 1);
}

}  // namespace mk::testing
