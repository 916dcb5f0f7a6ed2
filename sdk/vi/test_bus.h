// A private bus directory for the simulated RAM of a test program, made before anything maps it and
// removed at the end. Register once per program with ::testing::AddGlobalTestEnvironment.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

namespace mk::testing {

class BusEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        char dir[] = "/dev/shm/varnelle-sdk-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        m_dir = dir;
        setenv("VARNELLE_BUS", dir, 1);
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

private:
    std::string m_dir;
};

}  // namespace mk::testing
