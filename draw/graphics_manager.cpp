#include "draw/graphics_manager.h"

#include <cinttypes>
#include <cstdio>

#include "draw/draw_hooks.h"

IGraphicsManager* IGraphicsManager::instance() {
    return CGraphicsManager::instance();
}

CGraphicsManager* CGraphicsManager::instance() {
    static CGraphicsManager* manager = new CGraphicsManager;
    return manager;
}

CGraphicsManager::CGraphicsManager() {
    for (int i = 0; i < kLayerCount; ++i) {
        GraphicsSurface request = MakeLayerRequest(i);
        SlaveGraphicsCreate(&request, &m_pLayers[i]);
    }
}

CGraphicsManager::~CGraphicsManager() {
    for (GraphicsLayer* layer : m_pLayers) {
        if (layer != nullptr && layer->release != nullptr) layer->release(layer);
    }
}

void CGraphicsManager::GetSurface(int layer, GraphicsSurface* out) {
    if (!ValidLayer(layer) || out == nullptr) return;
    CGuard guard(m_mutex);
    *out = m_surfaces[layer];
}

int CGraphicsManager::GetRefreshCount(int layer) {
    if (!ValidLayer(layer)) return -1;
    CGuard guard(m_mutex);
    return m_refreshCounts[layer];
}

int CGraphicsManager::Reserved() {
    return 0;
}

int CGraphicsManager::RefreshSurface(int layer, int value) {
    if (!ValidLayer(layer) || m_pLayers[layer] == nullptr) return 0;
    GraphicsLayer* l = m_pLayers[layer];
    GraphicsSurface s;
    {
        CGuard guard(m_mutex);
        s = m_surfaces[layer];
    }
    if (l->getSurface != nullptr) l->getSurface(l, &s, value);
    {
        CGuard guard(m_mutex);
        m_surfaces[layer] = s;
        ++m_refreshCounts[layer];
        m_layerRects[layer] = CRect(0, 0, s.width, s.height);
    }
    std::puts("\n@=================================");
    std::printf("\t @mem = 0x%08" PRIxPTR " 0x%08" PRIxPTR " 0x%08" PRIxPTR "\n", reinterpret_cast<uintptr_t>(s.mem[0]),
                reinterpret_cast<uintptr_t>(s.mem[1]), reinterpret_cast<uintptr_t>(s.mem[2]));
    std::printf("\t @pitch = %d\n", static_cast<int>(s.pitch));
    std::printf("\t @width = %d\n", s.width);
    std::printf("\t @height = %d\n", s.height);
    std::printf("\t @foramt = %d\n", s.format);
    std::puts("@===================================");
    return 1;
}

GraphicsLayer* CGraphicsManager::GetLayer(int layer) {
    return ValidLayer(layer) ? m_pLayers[layer] : nullptr;
}

void CGraphicsManager::GetLayerRect(int layer, PRECT out) {
    if (!ValidLayer(layer) || out == nullptr) return;
    CGuard guard(m_mutex);
    *out = m_layerRects[layer];
}

void CGraphicsManager::ConfigureLayers(int a, int b) {
    for (GraphicsLayer* layer : m_pLayers) {
        if (layer != nullptr && layer->configure != nullptr) layer->configure(layer, a, b);
    }
}

void CGraphicsManager::SetColorKey(uint32_t colour, int b) {
    {
        CGuard guard(m_mutex);
        m_colorKey = colour;
    }
    for (GraphicsLayer* layer : m_pLayers) {
        if (layer != nullptr && layer->setColorKey != nullptr) layer->setColorKey(layer, colour, b);
    }
}

uint32_t CGraphicsManager::GetColorKey() {
    CGuard guard(m_mutex);
    return m_colorKey;
}
