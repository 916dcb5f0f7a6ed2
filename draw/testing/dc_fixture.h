// Helpers of the drawing context's tests: layers of a chosen size and format made and read before any
// context exists, and a context's pixels as a picture for the cairo comparison.
#pragma once

#include <gtest/gtest.h>

#include <cstring>

#include "draw/dc.h"
#include "draw/graphics_manager.h"
#include "draw/testing/cairo_compare.h"
#include "draw/testing/test_layer.h"

namespace varnelle::draw::testing {

// Makes the test layers (width x height, format) and reads layer 0's record, so that every context
// takes the layer's format and the cursor sees the layer.
class LayerEnvironment : public ::testing::Environment {
public:
    LayerEnvironment(int width, int height, int format) : m_config{width, height, format} {}
    void SetUp() override {
        ASSERT_TRUE(ConfigureTestLayers(m_config));
        ASSERT_EQ(CGraphicsManager::instance()->RefreshSurface(0, 0), 1);
    }

private:
    TestLayerConfig m_config;
};

inline varnelle::draw_testing::Picture Snapshot(const CDC& dc) {
    return varnelle::draw_testing::Picture::FromMemory(
        dc.Bits(), static_cast<int>(dc.Pitch()), dc.Width(), dc.Height(),
        dc.Format() == kFormatRgb565 ? varnelle::draw_testing::PixelFormat::kRgb565
                                     : varnelle::draw_testing::PixelFormat::kArgb1555);
}

inline uint16_t PixelAt(const CDC& dc, int x, int y) {
    uint16_t p;
    std::memcpy(&p, dc.Bits() + static_cast<size_t>(y) * dc.Pitch() + static_cast<size_t>(x) * 2, 2);
    return p;
}

}  // namespace varnelle::draw::testing
