// The scan-line walk of polygon fills and the flattening of cubic Bezier curves.
//
// Each edge steps from scan line to scan line with a Bresenham error term; the edges that cross a scan
// line form the active list, ordered by the middle of their spans on that line (among equal middles
// the later edge of the polygon first). An edge covers the scan lines FromY <= y < ToY; horizontal
// edges are dropped. The walk may start at any scan line: an edge's state there is computed in
// closed form, equal to stepping it from its first line. All arithmetic is exact for int32 points.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "draw/rect.h"

namespace varnelle::draw_internal {

struct FillEdge {
    int64_t xUpper;
    int64_t fromY;
    int64_t xLower;
    int64_t toY;
    int64_t dx;
    int64_t dy;
    int64_t absdx;
    int64_t absdy;
    int64_t x;
    int64_t y;
    bool xMajor;
    int64_t spanMin;
    int64_t spanMax;
    int64_t error;
    int64_t errorMax;
    int xStep;
    int direction;  // +1 given top to bottom, -1 bottom to top
    int index;      // order in the polygon
    int64_t stepQuot;  // (ErrorMax - 1) / absdy and its remainder: an x-major edge's steps per line
    int64_t stepRem;
};

// The edge from (x1, y1) to (x2, y2) at its upper end.
FillEdge MakeEdge(const Point& a, const Point& b, int index);

// One scan line of an edge: sets its span on line y and steps it to the next line. False (with a
// message naming the condition) when the walk's internal checks fail.
bool UpdateScanline(FillEdge& edge, int64_t y);
// Puts the edge in the state in which it starts line y (FromY <= y < ToY), as UpdateScanline from its
// first line would have left it.
void SeekScanline(FillEdge& edge, int64_t y);

class PolygonScanner {
public:
    // No table for null points or fewer than 2.
    PolygonScanner(const Point* points, int count);

    bool HasTable() const { return m_bTable; }
    // The active edges of line y, ordered; y must grow from call to call. False when a check failed.
    bool Row(int64_t y, std::vector<const FillEdge*>* active);

private:
    bool m_bTable = false;
    std::vector<FillEdge> m_edges;
    std::vector<int> m_order;   // edge indexes by FromY
    size_t m_next = 0;          // first edge of m_order not yet taken in
    struct Active {
        int64_t key;  // span minimum + maximum on the current line
        int index;
    };
    std::vector<Active> m_active;  // in the last line's order
    std::vector<int> m_live;       // the same edges in polygon order
    std::vector<int64_t> m_keys;   // per edge: span minimum + maximum on the current line
    int64_t m_lastRow = INT64_MIN;
};

// Failed internal checks of the edge walk since the process started.
uint64_t PolygonCheckFailures();

// The spans of one line's ordered active list, [left, right) pixel runs: by the even-odd rule (first
// and second edge, third and fourth, ...; a last edge without partner is left out) or by the non-zero
// winding rule. False, with the check failure counted, when the list's head has no partner.
using Spans = std::vector<std::pair<int64_t, int64_t>>;
bool AlternateSpans(const std::vector<const FillEdge*>& active, Spans* spans);
bool WindingSpans(const std::vector<const FillEdge*>& active, Spans* spans);

// The polygon of a chain of cubic Bezier segments (count - 1 a multiple of 3, at least 4 points; else
// nothing): each segment flattened in sixteenths of a pixel to at most 8 halvings.
std::vector<Point> FlattenBezier(const Point* points, int count);

}  // namespace varnelle::draw_internal
