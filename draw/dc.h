// IDC / CDC: the drawing context. It draws into one pixel surface (graphics layer 0's first or second
// memory, or a buffer of its own) through a clip region, with a pen, a brush, text colours and a raster
// operation.
//
// Coordinates: operations take logical coordinates unless their comment says device; device = logical
// + the window's left and top (the origin). The clip is in device pixels and never leaves the surface
// {0, 0, width, height}: every way of setting or growing it cuts what it adds to the surface, so
// whatever the clip admits may be written.
//
// A context of kind 0 or 1 (a screen context) draws into layer 0's memory, starts disabled and lifts
// the cursor off the area each drawing changes (the layer's surface must have been refreshed before the
// first screen context is made). A kind 2 (memory) context owns width x height pixels and starts
// enabled. While disabled every drawing, reading and clip operation does nothing and returns 0.
//
// A context is not locked by its own operations: callers that share one between threads bracket their
// calls with Lock() and Unlock() (recursive).
#pragma once

#include <cstdint>
#include <vector>

#include "base/mutex.h"
#include "draw/graphics_engine.h"
#include "draw/rect.h"
#include "draw/region.h"

class CCursor;

namespace varnelle::draw_internal {
struct Box64;
class ArcCut;
}  // namespace varnelle::draw_internal

// An image the context saved (SaveArea) or draws stretched (DrawStretchBitmap): 16-bit pixels in rows
// `pitch` bytes apart. Source columns x1 <= x < x2 and rows y1 <= y < y2 are the stretchable middle;
// equal lines mean no middle. 32 words on the chip; the reserved words stay zero.
struct DCImage {
    int32_t width;
    int32_t height;
    int32_t format;
    uint32_t pitch;
    int32_t reserved0;
    uint8_t* pixels;
    int32_t x1;
    int32_t y1;
    int32_t x2;
    int32_t y2;
    int32_t reserved[20];
};

// Frees a record made by SaveArea and its pixels; null does nothing.
void DeleteDCImage(DCImage* image);

// A caller's bitmap: 16-bit pixels, rows padded to a multiple of 4 bytes.
struct BitmapInfo {
    int32_t format;
    const uint8_t* pixels;
    int32_t height;
    int32_t width;
};

// Rows of a 16-bit image of `width` pixels padded to 4 bytes.
inline uint32_t PaddedPitch(int32_t width) {
    return (static_cast<uint32_t>(width) * 2u + 3u) & 0xFFFFFCu;
}

// Text format flags.
enum {
    kTextCentre = 0x1,
    kTextRight = 0x2,
    kTextVCentre = 0x10,
    kTextBottom = 0x20,
    kTextWrap = 0x100,
};

// Rectangle style flags.
enum {
    kRectSunken = 1,
    kRectRaised = 2,
    kRectNoFill = 4,
    kRectNoBorder = 8,
};

// Font kinds of SetTextColor.
enum {
    kFontNormal = 0,
    kFontBold = 1,
    kFontSmall = 2,
    kFontOutline = 3,
};

enum { kPenDotted = 1 };

class IDC {
public:
    virtual ~IDC() = default;

    // Reads layer 0's surface record again (size, pitch, memory of kinds 0 and 1, format).
    virtual void AttachSurface() = 0;
    // False (nothing changed) for a raster operation outside 0..3.
    virtual bool SetRop(int rop) = 0;
    // Also picks the font: kind 2 the small default size, any other the normal one. The text pixel.
    virtual uint32_t SetTextColor(uint32_t colour, int fontKind) = 0;
    // The darker shade's pixel.
    virtual uint32_t SetPen(uint32_t colour, int style, int width) = 0;
    virtual uint32_t SetBrush(uint32_t colour, int style) = 0;
    virtual void SetTextFormat(int flags) = 0;
    // 1 transparent, 0 opaque.
    virtual void SetBkMode(int mode) = 0;
    virtual int GetBkMode() = 0;
    virtual uint32_t SetBkColor(uint32_t colour) = 0;
    virtual void SetRectStyle(int flags) = 0;
    virtual void SetPenWidth(int width) = 0;
    virtual int GetPenWidth() = 0;
    // Device coordinates.
    virtual bool SetPixel(int x, int y, uint32_t colour) = 0;
    // Device coordinates: the pixel when (x, y) lies in the window and on the surface, else 0.
    virtual uint16_t GetPixel(int x, int y) = 0;
    virtual bool LineTo(int x, int y) = 0;
    virtual void MoveTo(int x, int y) = 0;
    // Device coordinates.
    virtual Point GetCurrentPosition() = 0;
    virtual bool DrawText(PCRECT r, const char* utf8, int maxBytes) = 0;
    virtual bool Rectangle(PCRECT r, int rx, int ry) = 0;
    virtual bool FillTrapezoid(int x1, int y1, int dx1, int x2, int y2, int dx2) = 0;
    virtual bool ChordCeil(PCRECT r, int x1, int y1, int x2, int y2) = 0;
    virtual bool Chord(PCRECT r, int x1, int y1, int x2, int y2) = 0;
    virtual bool Ellipse(PCRECT r) = 0;
    virtual bool Pie(PCRECT r, int x1, int y1, int x2, int y2) = 0;
    virtual bool Polygon(const Point* points, int count) = 0;
    virtual bool PolyBezier(const Point* points, int count) = 0;
    virtual bool DrawRgn(const CRegion* rgn) = 0;
    virtual bool DrawStretchBitmap(PCRECT r, const DCImage* image) = 0;
    virtual bool DrawBitmap(PCRECT r, const BitmapInfo* info, int x, int y) = 0;
    virtual bool SubtractClipRgn(const CRegion* rgn) = 0;
    virtual bool IntersectClipRgn(const CRegion* rgn) = 0;
    virtual bool UnionClipRgn(const CRegion* rgn) = 0;
    virtual bool GetClipRgn(CRegion* rgn) = 0;
    virtual bool SetClipRgn(const CRegion* rgn) = 0;
    virtual bool SwapClipRgn(CRegion* rgn) = 0;
    virtual bool SubtractClipRect(PCRECT r) = 0;
    virtual bool IntersectClipRect(PCRECT r) = 0;
    virtual bool UnionClipRect(PCRECT r) = 0;
    // The window (device pixels) becomes r and the clip the window on the surface; null clears both.
    virtual bool SetClipRect(PCRECT r) = 0;
    virtual void DPtoLP(Point* p) = 0;
    virtual void DPtoLP(PRECT r) = 0;
    virtual void LPtoDP(Point* p) = 0;
    virtual void LPtoDP(PRECT r) = 0;
    // true enables only a context whose surface has memory.
    virtual void Enable(bool on) = 0;
    virtual void Lock() = 0;
    virtual void Unlock() = 0;
    // Device coordinates: one bit per pixel of r (set for a nonzero pixel), rows of width / 8 bytes,
    // most significant bit leftmost. *size in: the buffer's bytes; out: the bytes written. False for r
    // off the surface or a buffer too small.
    virtual bool GetMask(PCRECT r, uint8_t* buffer, int* size) = 0;
    // Device coordinates: a copy of r's pixels in a new record (free it with DeleteDCImage).
    virtual bool SaveArea(PCRECT r, DCImage** out) = 0;
    // Each channel moved by its delta, capped at 255 and floored by the surface format.
    virtual uint32_t ShadeColor(uint32_t colour, int dr, int dg, int db) = 0;
};

class CDC : public IDC {
public:
    enum Kind { kScreen0 = 0, kScreen1 = 1, kMemory = 2 };

    CDC(int kind, int width, int height);
    ~CDC() override;
    CDC(const CDC&) = delete;
    CDC& operator=(const CDC&) = delete;

    void AttachSurface() override;
    bool SetRop(int rop) override;
    uint32_t SetTextColor(uint32_t colour, int fontKind) override;
    uint32_t SetPen(uint32_t colour, int style, int width) override;
    uint32_t SetBrush(uint32_t colour, int style) override;
    void SetTextFormat(int flags) override { m_textFormat = flags; }
    void SetBkMode(int mode) override { m_bkMode = mode; }
    int GetBkMode() override { return m_bkMode; }
    uint32_t SetBkColor(uint32_t colour) override;
    void SetRectStyle(int flags) override { m_rectStyle = flags; }
    void SetPenWidth(int width) override { m_penWidth = width; }
    int GetPenWidth() override;
    bool SetPixel(int x, int y, uint32_t colour) override;
    uint16_t GetPixel(int x, int y) override;
    bool LineTo(int x, int y) override;
    void MoveTo(int x, int y) override;
    Point GetCurrentPosition() override { return m_position; }
    bool DrawText(PCRECT r, const char* utf8, int maxBytes) override;
    bool Rectangle(PCRECT r, int rx, int ry) override;
    bool FillTrapezoid(int x1, int y1, int dx1, int x2, int y2, int dx2) override;
    bool ChordCeil(PCRECT r, int x1, int y1, int x2, int y2) override;
    bool Chord(PCRECT r, int x1, int y1, int x2, int y2) override;
    bool Ellipse(PCRECT r) override;
    bool Pie(PCRECT r, int x1, int y1, int x2, int y2) override;
    bool Polygon(const Point* points, int count) override;
    bool PolyBezier(const Point* points, int count) override;
    bool DrawRgn(const CRegion* rgn) override;
    bool DrawStretchBitmap(PCRECT r, const DCImage* image) override;
    bool DrawBitmap(PCRECT r, const BitmapInfo* info, int x, int y) override;
    bool SubtractClipRgn(const CRegion* rgn) override;
    bool IntersectClipRgn(const CRegion* rgn) override;
    bool UnionClipRgn(const CRegion* rgn) override;
    bool GetClipRgn(CRegion* rgn) override;
    bool SetClipRgn(const CRegion* rgn) override;
    bool SwapClipRgn(CRegion* rgn) override;
    bool SubtractClipRect(PCRECT r) override;
    bool IntersectClipRect(PCRECT r) override;
    bool UnionClipRect(PCRECT r) override;
    bool SetClipRect(PCRECT r) override;
    void DPtoLP(Point* p) override;
    void DPtoLP(PRECT r) override;
    void LPtoDP(Point* p) override;
    void LPtoDP(PRECT r) override;
    void Enable(bool on) override;
    void Lock() override { m_lock.Enter(); }
    void Unlock() override { m_lock.Leave(); }
    bool GetMask(PCRECT r, uint8_t* buffer, int* size) override;
    bool SaveArea(PCRECT r, DCImage** out) override;
    uint32_t ShadeColor(uint32_t colour, int dr, int dg, int db) override;

    // Fills the polygon (device points) over every scan line of rect by the non-zero winding rule, its
    // spans drawn whole with the pen and cut by the clip alone; nothing for fewer than 2 points. Always
    // true.
    bool FillPolygonWinding(const Point* points, int count, const CRect& rect);

    // What a test or a caller drawing around the context may look at.
    bool IsEnabled() const { return m_bEnabled; }
    int Format() const { return m_format; }
    uint8_t* Bits() const { return m_pMem; }
    uint32_t Pitch() const { return m_pitch; }
    int Width() const { return m_width; }
    int Height() const { return m_height; }
    CRect Window() const { return m_window; }

private:
    bool IsScreen() const { return m_kind != kMemory; }
    CRect SurfaceRect() const { return CRect(0, 0, m_width, m_height); }
    CRect ClipBounds() const;
    uint8_t* PixelAddr(int32_t x, int32_t y) const {
        return m_pMem + static_cast<size_t>(y) * m_pitch + static_cast<size_t>(x) * static_cast<size_t>(m_bpp);
    }
    uint32_t LoadPixel(const uint8_t* p) const;
    // Cuts the clip to the surface: what a union or a set brought in from outside goes.
    void CutClipToSurface();

    // Fills r ∩ each clip rectangle with value, row by row.
    void FillClipped(const CRect& r, uint32_t value);
    // A pen-width line (device) through every rectangle of rgn, in value; each parallel copy lifts the
    // cursor over its own pixels when lift is set.
    void LineInRgn(CRegion& rgn, int32_t x1, int32_t y1, int32_t x2, int32_t y2, bool lift, uint32_t value);
    // The pixels of the segment that lie in rect (clipped input: rect lies on the surface), exactly
    // those of the unclipped segment; a dotted pen on a slanted segment skips the pixels whose major
    // coordinate is even, but the segment's first (upright and level segments stay solid).
    void DrawSegment(const CRect& rect, int32_t x1, int32_t y1, int32_t x2, int32_t y2, uint32_t value);
    // A lift area: r grown by the pen's parallel copies on every side, on the clip bounds.
    CRect PenArea(const CRect& r) const;

    // The ellipse inscribed in box (device, 64-bit): its interior in the brush, then its ring pen-width
    // thick inside the box in the pen, each cut as `cut` says (whole, chord or pie over the angles).
    void PaintEllipse(const varnelle::draw_internal::Box64& box, const varnelle::draw_internal::ArcCut& fill,
                      const varnelle::draw_internal::ArcCut& outline, bool drawFill, bool drawOutline);
    // Chord (pie false) or pie through r (logical) and the two points' angles; ceilFill rounds the fill's
    // angles up.
    bool Arc(PCRECT r, int x1, int y1, int x2, int y2, bool pie, bool ceilFill);

    // Polygon interior by the even-odd rule with the brush over the scan lines of rect (device).
    bool IntFillPolygon(const Point* points, int count, const CRect& rect);
    // The outline through the clip without lifting (the caller holds the lift).
    void Outline(const Point* device, int count);

    // Text: one line of codes[from, to) with their advances at (x, y) through each of rects, in each
    // style position. Each glyph's picture is fetched only where it shows and held only while drawn.
    struct TextLine;
    void DrawTextLine(const std::vector<uint16_t>& codes, const std::vector<int32_t>& advances, size_t from,
                      size_t to, int64_t x, int64_t y, const std::vector<CRect>& rects, bool trueType);
    // The line's glyphs at (x, y) inside q (which lies on the surface).
    void BitmapRun(const TextLine& line, const CRect& q, int64_t x, int64_t y);
    void TrueTypeRun(const TextLine& line, const CRect& q, int64_t x, int64_t y);

    // Images: copies 16-bit pixels onto dest ∩ each clip rectangle, surface pixel (X, Y) from image
    // pixel (X - ox, Y - oy); dest must lie inside the image so placed. Black source pixels become the
    // layer's colour key (in a copy); key-coloured ones are skipped in transparent mode.
    void Blit(const CRect& dest, const uint8_t* pixels, uint32_t pitch, int64_t ox, int64_t oy);
    // One piece of a stretched image: {left, top, right, bottom} (device) from source (sx, sy), cut to
    // the destination dest.
    void DrawPiece(int64_t left, int64_t top, int64_t right, int64_t bottom, int64_t sx, int64_t sy,
                   const DCImage& image, const CRect& dest);

    int32_t m_penWidth = 0;
    int32_t m_penStyle = 0;
    int32_t m_fontKind = 0;
    int32_t m_brushStyle = 0;
    int32_t m_reserved = 0;
    int32_t m_textFormat = 0;
    int32_t m_rectStyle = 0;
    int32_t m_format = 0;
    CMutex m_lock{CMutex::kRecursive};
    uint8_t* m_pMem = nullptr;
    uint32_t m_pitch = 0;
    int32_t m_bpp = 2;
    int32_t m_height = 0;
    int32_t m_width = 0;
    GraphicsObject m_obj{};
    bool m_bEnabled = false;
    int32_t m_kind;
    CRect m_window;
    CRegion m_clip;
    Point m_position;
    Size m_fontSize;
    int32_t m_rop = 0;
    int32_t m_bkMode = 1;
    uint32_t m_textColor = 0;
    uint32_t m_keyColor = 0;
    uint32_t m_brushColor = 0;
    uint32_t m_reservedColor = 0;
    uint32_t m_bkColor = 0;
    uint32_t m_penColor = 0;
    uint32_t m_penDarker = 0;
    uint32_t m_penLighter = 0;
    uint8_t* m_pOwnMem = nullptr;  // kind 2
    CCursor* m_pCursor = nullptr;  // screen kinds
};

// A context made on the heap.
IDC* CreateDC(int kind, int width, int height);

// Sets the small (kind 2) or the normal (any other kind) default glyph size from size->cx, for every
// context's next SetTextColor and for the bitmap font renderer. False for a null size or one the font
// library refuses.
bool SetDefaultFontSize(int kind, const Size* size);
