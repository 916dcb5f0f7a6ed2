#include "draw/testing/test_layer.h"

#include <png.h>

#include <cstdio>
#include <cstdlib>

#include "draw/draw_hooks.h"

namespace varnelle::draw::testing {

namespace {

struct Layers {
    std::mutex mutex;  // guards the fields below
    TestLayerConfig config;
    TestLayer* layers[2] = {};
};

// Never destroyed: the graphics manager keeps the layers for the life of the process.
Layers& State() {
    static Layers* state = new Layers;
    return *state;
}

TestLayer& Of(GraphicsLayer* layer) {
    return *TestLayer::FromLayer(layer);
}

// An 8-bit channel from its top bits.
uint8_t Widen(uint32_t value, int bits) {
    uint32_t v = value << (8 - bits);
    return static_cast<uint8_t>(v | v >> bits);
}

bool WriteRgbPng(const char* path, const std::vector<uint8_t>& rgb, int width, int height) {
    FILE* f = std::fopen(path, "wb");
    if (f == nullptr) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    bool ok = false;
    if (info != nullptr && setjmp(png_jmpbuf(png)) == 0) {
        png_init_io(png, f);
        png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                     PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        png_write_info(png, info);
        for (int y = 0; y < height; ++y) png_write_row(png, &rgb[size_t(y) * width * 3]);
        png_write_end(png, nullptr);
        ok = true;
    }
    png_destroy_write_struct(&png, &info);
    return std::fclose(f) == 0 && ok;
}

}  // namespace

bool ConfigureTestLayers(const TestLayerConfig& config) {
    if (config.width <= 0 || config.height <= 0) return false;
    if (config.format != kFormatArgb1555 && config.format != kFormatRgb565) return false;
    Layers& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.layers[0] != nullptr || s.layers[1] != nullptr) return false;
    s.config = config;
    return true;
}

TestLayer* TestLayer::Get(int index) {
    if (index < 0 || index > 1) return nullptr;
    Layers& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.layers[index];
}

TestLayer* TestLayer::FromLayer(GraphicsLayer* layer) {
    for (int i = 0; i < 2; ++i) {
        TestLayer* t = Get(i);
        if (t != nullptr && t->layer() == layer) return t;
    }
    return nullptr;
}

TestLayer::TestLayer(int index, const TestLayerConfig& config) : m_index(index), m_config(config) {
    for (auto& buffer : m_buffers) buffer.assign(size_t(config.width) * config.height, 0);
    m_ops.reserved0 = [](GraphicsLayer* l) {
        Of(l).Record({TestLayerCall::kReserved0, 0, 0, {}});
        return 0;
    };
    m_ops.reserved1 = [](GraphicsLayer* l) {
        Of(l).Record({TestLayerCall::kReserved1, 0, 0, {}});
        return 0;
    };
    m_ops.release = [](GraphicsLayer* l) { Of(l).Record({TestLayerCall::kRelease, 0, 0, {}}); };
    m_ops.getSurface = [](GraphicsLayer* l, GraphicsSurface* s, int value) {
        TestLayer& t = Of(l);
        t.Record({TestLayerCall::kGetSurface, value, 0, {}});
        if (s == nullptr) return -1;
        *s = GraphicsSurface{};
        s->mem[0] = reinterpret_cast<uint8_t*>(t.pixels(0));
        s->mem[1] = reinterpret_cast<uint8_t*>(t.pixels(1));
        s->pitch = t.pitch();
        s->width = t.width();
        s->height = t.height();
        s->format = t.format();
        return 0;
    };
    m_ops.configure = [](GraphicsLayer* l, int a, int b) {
        Of(l).Record({TestLayerCall::kConfigure, a, b, {}});
        return 0;
    };
    m_ops.setColorKey = [](GraphicsLayer* l, uint32_t colour, int b) {
        Of(l).Record({TestLayerCall::kSetColorKey, colour, b, {}});
        return 0;
    };
    m_ops.setCursorPos = [](GraphicsLayer* l, int x, int y) {
        Of(l).Record({TestLayerCall::kSetCursorPos, x, y, {}});
        return 0;
    };
    m_ops.reserved7 = [](GraphicsLayer* l) {
        Of(l).Record({TestLayerCall::kReserved7, 0, 0, {}});
        return 0;
    };
    m_ops.update = [](GraphicsLayer* l, PCRECT r, int value) {
        Of(l).Record({TestLayerCall::kUpdate, value, 0, CRect(r)});
        return 0;
    };
}

void TestLayer::Record(TestLayerCall call) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.push_back(call);
}

std::vector<TestLayerCall> TestLayer::Calls() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

int TestLayer::CallCount(TestLayerCall::Op op) {
    std::lock_guard<std::mutex> lock(m_mutex);
    int n = 0;
    for (const auto& c : m_calls) n += c.op == op;
    return n;
}

void TestLayer::ClearCalls() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.clear();
}

bool TestLayer::WritePng(const std::string& path, int buffer) {
    if (buffer < 0 || buffer > 1) return false;
    std::vector<uint8_t> rgb(size_t(width()) * height() * 3);
    for (size_t i = 0; i < size_t(width()) * height(); ++i) {
        uint32_t p = m_buffers[buffer][i];
        if (format() == kFormatArgb1555) {
            rgb[3 * i] = Widen((p >> 10) & 0x1F, 5);
            rgb[3 * i + 1] = Widen((p >> 5) & 0x1F, 5);
            rgb[3 * i + 2] = Widen(p & 0x1F, 5);
        } else {
            rgb[3 * i] = Widen((p >> 11) & 0x1F, 5);
            rgb[3 * i + 1] = Widen((p >> 5) & 0x3F, 6);
            rgb[3 * i + 2] = Widen(p & 0x1F, 5);
        }
    }
    return WriteRgbPng(path.c_str(), rgb, width(), height());
}

void TraceLayer(const std::string& name) {
    const char* dir = std::getenv("VARNELLE_TRACE");
    TestLayer* layer = TestLayer::Get(0);
    if (dir == nullptr || *dir == '\0' || layer == nullptr) return;
    layer->WritePng(std::string(dir) + "/draw-" + name + ".png", 0);
}

}  // namespace varnelle::draw::testing

using varnelle::draw::testing::TestLayer;

// The test layers stand for the board's graphics layers.
int SlaveGraphicsCreate(GraphicsSurface* request, GraphicsLayer** slot) {
    if (request == nullptr || slot == nullptr) return -1;
    const int index = LayerIndexOf(*request);
    if (index < 0 || index > 1) return -1;
    auto& s = varnelle::draw::testing::State();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.layers[index] == nullptr) s.layers[index] = new TestLayer(index, s.config);
    *slot = s.layers[index]->layer();
    return 0;
}
