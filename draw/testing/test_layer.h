// A graphics layer for tests: the nine layer operations over two 16-bit pixel buffers of its own
// (mem[0] and mem[1]), recording every call. Linking this library gives the program's layer hook
// (SlaveGraphicsCreate) a strong definition that makes a test layer for layers 0 and 1, so a test
// executable has layers where the program has none.
//
// Size and format are set before the graphics manager is made (ConfigureTestLayers); the buffers
// start zeroed. A layer's surface can be written as a PNG file for a person to look at.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "draw/graphics_engine.h"
#include "draw/graphics_manager.h"

namespace varnelle::draw::testing {

struct TestLayerConfig {
    int width = 720;
    int height = 576;
    int format = kFormatArgb1555;  // 0 or 1
};

// Takes effect for layers made later; false (nothing changed) once a layer exists or for a format
// other than 0 and 1 or a size that is not positive.
bool ConfigureTestLayers(const TestLayerConfig& config);

struct TestLayerCall {
    enum Op {
        kReserved0,
        kReserved1,
        kRelease,
        kGetSurface,
        kConfigure,
        kSetColorKey,
        kSetCursorPos,
        kReserved7,
        kUpdate,
    };
    Op op;
    int64_t a;  // value, a, colour or x, by operation
    int64_t b;  // b or y
    CRect rect; // update's rectangle
};

class TestLayer {
public:
    // The layer made for index (0 or 1), null before the hook made it.
    static TestLayer* Get(int index);
    static TestLayer* FromLayer(GraphicsLayer* layer);

    GraphicsLayer* layer() { return &m_ops; }
    int index() const { return m_index; }
    int width() const { return m_config.width; }
    int height() const { return m_config.height; }
    int format() const { return m_config.format; }
    uint32_t pitch() const { return static_cast<uint32_t>(m_config.width) * 2; }
    // Buffer 0 or 1, rows of width pixels.
    uint16_t* pixels(int buffer) { return m_buffers[buffer].data(); }
    uint16_t Pixel(int buffer, int x, int y) const { return m_buffers[buffer][size_t(y) * m_config.width + x]; }

    std::vector<TestLayerCall> Calls();
    int CallCount(TestLayerCall::Op op);
    void ClearCalls();

    // Writes buffer as an 8-bit RGB PNG (channels widened by repeating their top bits); false when
    // the file cannot be written.
    bool WritePng(const std::string& path, int buffer);

    TestLayer(int index, const TestLayerConfig& config);
    TestLayer(const TestLayer&) = delete;
    TestLayer& operator=(const TestLayer&) = delete;

private:
    void Record(TestLayerCall call);

    GraphicsLayer m_ops;
    int m_index;
    TestLayerConfig m_config;
    std::vector<uint16_t> m_buffers[2];
    std::mutex m_mutex;                  // guards m_calls
    std::vector<TestLayerCall> m_calls;
};

// When $VARNELLE_TRACE names a directory, writes buffer 0 of layer 0 there as draw-<name>.png.
void TraceLayer(const std::string& name);

}  // namespace varnelle::draw::testing
