// CRegion: a set of pixels kept as a list of rectangles in insertion order plus their bounding box;
// the clip of a drawing context, walked once per drawing operation.
//
// Rectangles may overlap one another; no operation merges, sorts or splits them except the
// subtractions. The bounds always equal the union of the rectangles (all zeros when empty).
//
// List nodes come from one process-wide pool shared by every region, so regions may live on
// different threads; one region has no lock of its own and its user serialises access to it.
// The walk (GetFirstRect/GetNextRect) keeps a cursor in the region: an operation that returns the
// node under the cursor to the pool, Swap and Assign reset it, and the walk then ends.
#pragma once

#include "draw/rect.h"

class CRegion {
public:
    CRegion();
    virtual ~CRegion();
    // A region owns its nodes: copy one with Assign.
    CRegion(const CRegion&) = delete;
    CRegion& operator=(const CRegion&) = delete;

    // An empty (or reversed) r changes nothing and gives false; else the region becomes r.
    bool SetRect(PCRECT r);
    // Null empties the region; else SetRect(r).
    void SetRectRgn(PCRECT r);
    void SetEmpty();
    bool IsEmpty() const { return m_pHead == nullptr; }
    // Appends r; an empty r adds nothing and gives false.
    bool AddRect(PCRECT r);
    // Appends a copy of every rectangle of other (which may be this region). Always false.
    bool AppendRgn(const CRegion* other);
    // Becomes a copy of other's rectangles and bounds. False only for a null other.
    bool Assign(const CRegion* other);
    // Keeps only the pixels inside r (normalised first). False only for a null r.
    bool IntersectRect(PCRECT r);
    // Removes the pixels of r (normalised first): each rectangle that meets r is replaced by its
    // pieces outside r (CRect order; pieces after the first go just before it). True when r met the
    // bounds.
    bool SubtractRect(PCRECT r);
    // Keeps the pixels in both: the new list holds, for each own rectangle (outer) and each of
    // other's (inner), their non-empty intersection. other may be this region. False only for null.
    bool IntersectRgn(const CRegion* other);
    // SubtractRect of each of other's rectangles in order (other may be this region). Always false.
    bool SubtractRgn(const CRegion* other);
    bool ContainsPoint(int32_t x, int32_t y) const;
    // True when r shares a pixel with one of the rectangles.
    bool IntersectsRect(PCRECT r) const;
    bool Offset(int32_t dx, int32_t dy);
    // Exchanges rectangles and bounds with other. False only for null.
    bool Swap(CRegion* other);
    // Null out does nothing.
    void GetBounds(PRECT out) const;

    // The walk: the first rectangle, then each next one; null when the region is empty, past the last
    // rectangle, or after the cursor was reset.
    const CRect* GetFirstRect();
    const CRect* GetNextRect();

    // Prints the rectangle count, the bounds and each rectangle.
    void Dump() const;

private:
    struct Node {
        Node* next;
        Node* prev;
        CRect rect;
    };

    static Node* NewNode(const RECT& r);
    // SubtractRect of a normalised rectangle; with exactBounds false the bounds may stay larger than
    // the rectangles (the caller recomputes them).
    bool Subtract(const CRect& rc, bool exactBounds);
    void Append(Node* node);
    void InsertBefore(Node* node, Node* before);
    // Unlinks node and gives it back to the pool.
    void Remove(Node* node);
    void RecomputeBounds();

    CRect m_bounds;
    Node* m_pHead = nullptr;
    Node* m_pTail = nullptr;
    Node* m_pCursor = nullptr;
};
