// CCursor: a 32 x 32 mouse cursor drawn straight into the memory of graphics layer 0 (16-bit pixels),
// keeping the pixels underneath so that drawing can go around it.
//
// Before a screen context draws into a rectangle or along a line it calls guardRect or guardLine
// with phase 0: the cursor takes its lock (and keeps it) and lifts itself off the affected area;
// after drawing, phase 1 puts it back over what was drawn and releases the lock. Moves from other
// threads (the mouse thread through the GDI listeners) wait meanwhile. A thread holding the guard
// must not call the cursor's other operations before phase 1.
//
// Up to 9 images come from cursor files (MakeCursor). The cursor is on the surface only while it is
// both enabled and shown and its image is valid; whatever happens to it, taking it off leaves the
// surface as if it had never been drawn.
//
// A process-wide singleton made on first use and never destroyed; it reads layer 0's surface record
// once, when it is made.
#pragma once

#include <cstdint>

#include "base/mutex.h"
#include "draw/graphics_manager.h"
#include "draw/rect.h"

class ICursor {
public:
    virtual ~ICursor() = default;
};

class CCursor : public ICursor {
public:
    static constexpr int kImageCount = 9;
    static constexpr int kSize = 32;
    static constexpr uint32_t kDarkColour = 0x080808;
    static constexpr uint32_t kLightColour = 0xFFFFFF;

    // One image: a pixel p under the cursor shows (p AND mask) XOR colour (0x0001 where that would
    // turn a non-zero pixel into 0).
    struct CursorImage {
        bool valid;
        uint32_t dark;
        uint32_t light;
        uint16_t hotX;
        uint16_t hotY;
        uint16_t mask[kSize * kSize];
        uint16_t colour[kSize * kSize];
    };

    static CCursor* instance();
    ~CCursor() override = default;
    CCursor(const CCursor&) = delete;
    CCursor& operator=(const CCursor&) = delete;

    // Builds image index (0..8) from a cursor file: 1, or 0 (with a message) for a bad index, a file
    // that cannot be read, is not one 32 x 32 monochrome image, or is cut short. The slot is invalid
    // from the start of the call until it succeeds; a cursor showing that image is lifted meanwhile
    // and drawn again with the new one.
    int MakeCursor(const char* path, int index);

    // Switches to image index (0..8; other values do nothing).
    virtual void setCursor(int index);
    virtual int getCursor();
    // Moves the hot spot to (x, y), clamped to the surface. Then tells the layer (cursor position and
    // update), and with notify the mouse reader too.
    virtual void setPosition(int x, int y, bool notify);
    virtual void getPosition(Point* out);
    virtual void enable(bool on);
    virtual void show(bool on);

    // phase 0 before drawing into r, 1 after.
    void guardRect(int phase, const CRect* r);
    // phase 0 before drawing the segment, 1 after.
    void guardLine(int phase, int x1, int y1, int x2, int y2);

    // Test view: a copy of image slot index; false for a bad index.
    bool GetImage(int index, CursorImage* out);

private:
    CCursor();

    CRect CursorRect(int index) const;
    bool CanDraw() const;
    // Puts the cursor where cursorRect says (taking it off what it no longer covers), or takes it off
    // when it must not be drawn.
    void Place(const CRect& cursorRect);
    // Surface <-> save-under buffer for the pixels of area (inside the drawn part / the screen).
    void Restore(const CRect& area);
    void Grab(const CRect& area);
    // Composites the saved pixels of area with the image and writes them to the surface.
    void Paint(const CRect& area);
    uint16_t* SurfacePixel(int x, int y) const;

    bool m_bShown = false;          // guarded by m_mutex (all below too)
    bool m_bEnabled = false;
    uint16_t m_x = 0;               // the hot spot's pixel
    uint16_t m_y = 0;
    int m_index = 0;
    CRect m_cursorRect;             // where the current image lies for the current position
    CRect m_saveRect;               // the cursor rectangle that the save-under buffer is laid out on
    CRect m_drawn;                  // the part of the surface showing cursor pixels
    CRect m_lifted;                 // lifted by a guard's phase 0, put back by its phase 1
    uint16_t m_save[kSize * kSize] = {};
    uint16_t m_composite[kSize * kSize] = {};
    CursorImage m_images[kImageCount] = {};
    CMutex m_mutex;
    CRect m_screen;                 // {0, 0, width, height} of layer 0
    GraphicsLayer* m_pLayer = nullptr;
    GraphicsSurface m_surface = {};  // layer 0's record, read once
};
