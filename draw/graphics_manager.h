// CGraphicsManager: the drawing library's view of the display hardware, two graphics layers each
// described by a surface record. The application makes the layers through its creation hook
// (SlaveGraphicsCreate, draw_hooks.h) when the manager is first used; the manager keeps them, asks
// them for their surface and forwards settings to them. Without a layer every record stays zero.
//
// The manager is a process-wide singleton made on first use and never destroyed. Its records are
// copied under its own lock; layer operations run outside it, so a layer may call back into the
// manager.
#pragma once

#include <cstdint>

#include "base/mutex.h"
#include "draw/rect.h"

// A layer's memory and geometry, as a layer reports it. A drawing context of kind 0 draws into
// mem[0], one of kind 1 into mem[1]; mem[2] is not used by the library. When the manager asks the
// application for a layer it passes a record of this shape whose first word (mem[0]) holds the
// layer index and whose other words are zero (MakeLayerRequest, LayerIndexOf).
struct GraphicsSurface {
    uint8_t* mem[3];        // host addresses; null when the layer has no memory
    uint32_t pitch;         // bytes per row
    int32_t width;          // pixels
    int32_t height;         // pixels
    int32_t format;         // kFormatArgb1555, kFormatRgb565, ... (graphics_engine.h)
    uint32_t reserved[25];  // left zero
};

inline GraphicsSurface MakeLayerRequest(int layer) {
    GraphicsSurface request{};
    request.mem[0] = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(layer));
    return request;
}

// The layer index carried by a creation record.
inline int LayerIndexOf(const GraphicsSurface& request) {
    return static_cast<int>(reinterpret_cast<uintptr_t>(request.mem[0]));
}

// A graphics layer as the application supplies it: a record of operations that the manager and the
// cursor call directly with the layer itself. Any operation may be null (then it is not called).
struct GraphicsLayer {
    int (*reserved0)(GraphicsLayer* layer);
    int (*reserved1)(GraphicsLayer* layer);
    void (*release)(GraphicsLayer* layer);
    // Fills the surface record; value is what RefreshSurface was given.
    int (*getSurface)(GraphicsLayer* layer, GraphicsSurface* surface, int value);
    int (*configure)(GraphicsLayer* layer, int a, int b);
    int (*setColorKey)(GraphicsLayer* layer, uint32_t colour, int b);
    // The cursor's hot spot moved to (x, y).
    int (*setCursorPos)(GraphicsLayer* layer, int x, int y);
    int (*reserved7)(GraphicsLayer* layer);
    // The pixels of rect changed.
    int (*update)(GraphicsLayer* layer, PCRECT rect, int value);
};

class IGraphicsManager {
public:
    virtual ~IGraphicsManager() = default;
    // The CGraphicsManager singleton.
    static IGraphicsManager* instance();

    // Copies the layer's surface record; an index outside 0..1 or a null out does nothing.
    virtual void GetSurface(int layer, GraphicsSurface* out) = 0;
    // The layer's RefreshSurface count; -1 for an index outside 0..1.
    virtual int GetRefreshCount(int layer) = 0;
    virtual int Reserved() = 0;
    // Asks the layer for its surface (with value), counts the refresh, prints the record and sets
    // the layer rectangle to {0, 0, width, height}. 1, or 0 for a bad index or a missing layer.
    virtual int RefreshSurface(int layer, int value) = 0;
    // Null for an index outside 0..1 or a layer the hook did not make.
    virtual GraphicsLayer* GetLayer(int layer) = 0;
    virtual void GetLayerRect(int layer, PRECT out) = 0;
    // configure(layer, a, b) on each layer that has it, layer 0 first.
    virtual void ConfigureLayers(int a, int b) = 0;
    // Stores the colour key, then setColorKey(layer, colour, b) on each layer that has it.
    virtual void SetColorKey(uint32_t colour, int b) = 0;
    virtual uint32_t GetColorKey() = 0;
};

class CGraphicsManager : public IGraphicsManager {
public:
    static constexpr int kLayerCount = 2;

    static CGraphicsManager* instance();
    // Releases each layer.
    ~CGraphicsManager() override;
    CGraphicsManager(const CGraphicsManager&) = delete;
    CGraphicsManager& operator=(const CGraphicsManager&) = delete;

    void GetSurface(int layer, GraphicsSurface* out) override;
    int GetRefreshCount(int layer) override;
    int Reserved() override;
    int RefreshSurface(int layer, int value) override;
    GraphicsLayer* GetLayer(int layer) override;
    void GetLayerRect(int layer, PRECT out) override;
    void ConfigureLayers(int a, int b) override;
    void SetColorKey(uint32_t colour, int b) override;
    uint32_t GetColorKey() override;

private:
    // Asks the application for layer 0, then layer 1.
    CGraphicsManager();

    static bool ValidLayer(int layer) { return layer >= 0 && layer < kLayerCount; }

    GraphicsLayer* m_pLayers[kLayerCount] = {};      // set once by the constructor
    GraphicsSurface m_surfaces[kLayerCount] = {};    // guarded by m_mutex
    CRect m_layerRects[kLayerCount];                 // guarded by m_mutex
    int32_t m_refreshCounts[kLayerCount] = {};       // guarded by m_mutex
    uint32_t m_colorKey = 0;                         // guarded by m_mutex
    CMutex m_mutex;
};
