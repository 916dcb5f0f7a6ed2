// The graphics manager as the program has it: the library's own layer hook makes no layer.
#include "draw/graphics_manager.h"

#include <gtest/gtest.h>

#include <cstring>

#include "base/thread.h"
#include "draw/cursor.h"
#include "draw/gdi.h"
#include "draw/testing/printers.h"

namespace {

TEST(GraphicsManagerTest, WithoutLayersEverythingIsZero) {
    CGraphicsManager* m = CGraphicsManager::instance();
    EXPECT_EQ(IGraphicsManager::instance(), m);
    EXPECT_EQ(m->GetLayer(0), nullptr);
    EXPECT_EQ(m->GetLayer(1), nullptr);
    GraphicsSurface s;
    std::memset(&s, 0xAB, sizeof(s));
    m->GetSurface(0, &s);
    GraphicsSurface zero{};
    EXPECT_EQ(std::memcmp(&s, &zero, sizeof(s)), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(m->RefreshSurface(0, 0), 0);
    EXPECT_EQ(m->RefreshSurface(1, 0), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(m->GetRefreshCount(0), 0);
    CRect r(1, 2, 3, 4);
    m->GetLayerRect(0, r);
    EXPECT_EQ(r, CRect());
    m->ConfigureLayers(200, 0);
    EXPECT_EQ(m->Reserved(), 0);
}

TEST(GraphicsManagerTest, LayerIndexOutOfRange) {
    CGraphicsManager* m = CGraphicsManager::instance();
    EXPECT_EQ(m->GetRefreshCount(2), -1);
    EXPECT_EQ(m->GetRefreshCount(-1), -1);
    EXPECT_EQ(m->RefreshSurface(2, 0), 0);
    EXPECT_EQ(m->RefreshSurface(-1, 0), 0);
    EXPECT_EQ(m->GetLayer(2), nullptr);
    GraphicsSurface s;
    std::memset(&s, 0xAB, sizeof(s));
    m->GetSurface(2, &s);
    m->GetSurface(-1, &s);
    EXPECT_EQ(s.pitch, 0xABABABABu) << "left untouched";
    m->GetSurface(0, nullptr);
    CRect r(1, 2, 3, 4);
    m->GetLayerRect(5, r);
    EXPECT_EQ(r, CRect(1, 2, 3, 4));
}

TEST(GraphicsManagerTest, ColourKeyIsKeptWithoutLayers) {
    CGraphicsManager* m = CGraphicsManager::instance();
    m->SetColorKey(0x00FF00FF, 1);
    EXPECT_EQ(m->GetColorKey(), 0x00FF00FFu);
}

// Without a layer the cursor has no surface: it stays at (0, 0) and draws nothing, and the GDI front
// starts without one.
TEST(GraphicsManagerTest, CursorAndFrontWithoutALayer) {
    CCursor* cursor = CCursor::instance();
    cursor->setPosition(100, 100, false);
    Point p(7, 7);
    cursor->getPosition(&p);
    EXPECT_EQ(p, Point(0, 0));
    cursor->enable(true);
    cursor->show(true);
    cursor->enable(false);
    CThreadManager::instance();  // it announces itself when first made, maybe on the mouse thread
    testing::internal::CaptureStdout();
    CGDI::instance()->start();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "CGDI::start()>>>>>>>>\n");
    EXPECT_EQ(CGraphicsManager::instance()->GetRefreshCount(0), 0);
}

}  // namespace
