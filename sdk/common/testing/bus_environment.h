// A test program's private bus directory for the simulated RAM, made before anything maps it (removed
// at exit), and the drivers the program needs installed once. Register once per program with
// ::testing::AddGlobalTestEnvironment.
#pragma once

#include <functional>
#include <utility>

#include <gtest/gtest.h>

#include "platform/host/test_bus.h"

namespace mk::testing {

class BusEnvironment : public ::testing::Environment {
public:
    explicit BusEnvironment(const char* tag = "sdk", std::function<void()> install = {})
        : m_tag(tag), m_install(std::move(install)) {}
    void SetUp() override {
        varnelle::host::UsePrivateBus(m_tag);
        if (m_install) m_install();
    }

private:
    const char* m_tag;
    std::function<void()> m_install;
};

}  // namespace mk::testing
