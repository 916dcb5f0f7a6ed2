// The cursor lifted off an area for the life of the object: phase 0 on construction, phase 1 when it
// goes, on every path out of a drawing operation. Nothing happens without a cursor (memory contexts)
// or for an empty area. The cursor's lock is held in between: the owner calls no other cursor
// operation and makes no second lift until this one ends.
#pragma once

#include "draw/cursor.h"
#include "draw/rect.h"

namespace varnelle::draw_internal {

class CursorLift {
public:
    CursorLift(CCursor* cursor, const CRect& area) {
        if (cursor == nullptr || area.IsRectEmpty()) return;
        cursor->guardRect(0, &area);
        m_pCursor = cursor;
    }
    // Over the pixels of a one-pixel segment, both ends included.
    CursorLift(CCursor* cursor, int x1, int y1, int x2, int y2) {
        if (cursor == nullptr) return;
        cursor->guardLine(0, x1, y1, x2, y2);
        m_pCursor = cursor;
    }
    ~CursorLift() {
        if (m_pCursor != nullptr) m_pCursor->guardRect(1, nullptr);
    }
    CursorLift(const CursorLift&) = delete;
    CursorLift& operator=(const CursorLift&) = delete;

private:
    CCursor* m_pCursor = nullptr;
};

}  // namespace varnelle::draw_internal
