#include "draw/region.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <vector>

#include "base/object_pool.h"

namespace {

// One pool of list nodes for every region of the process. Never destroyed: regions in static
// objects and on detached threads may still give nodes back while the process exits.
CObjectPool& NodePool(uint32_t nodeSize) {
    static CObjectPool* pool = new CObjectPool(nodeSize);
    return *pool;
}

// Nodes given back on a thread are kept for that thread's next rectangles, so regions take the
// pool's lock once per node only when a thread's cache runs dry or overflows. The cache itself is
// plain data that outlives the thread's destructors; the flusher hands the nodes back to the pool
// when the thread ends, after which the thread uses the pool directly.
struct NodeCache {
    static constexpr int kMax = 256;
    void* nodes[kMax];
    int count;
    bool closed;
};
thread_local NodeCache t_cache;

struct NodeCacheFlusher {
    uint32_t nodeSize = 0;
    ~NodeCacheFlusher() {
        while (t_cache.count > 0) NodePool(nodeSize).Free(t_cache.nodes[--t_cache.count]);
        t_cache.closed = true;
    }
};
thread_local NodeCacheFlusher t_flusher;

void* TakeNode(uint32_t nodeSize) {
    if (t_cache.count > 0) return t_cache.nodes[--t_cache.count];
    return NodePool(nodeSize).Alloc();
}

void GiveNode(void* node, uint32_t nodeSize) {
    if (!t_cache.closed && t_cache.count < NodeCache::kMax) {
        t_flusher.nodeSize = nodeSize;  // makes the flusher exist on this thread
        t_cache.nodes[t_cache.count++] = node;
        return;
    }
    NodePool(nodeSize).Free(node);
}

// Whether two normalised, non-empty rectangles share a pixel, and the shared part.
bool Overlap(const CRect& a, const CRect& b, CRect* out) {
    if (a.left >= b.right || b.left >= a.right || a.top >= b.bottom || b.top >= a.bottom) return false;
    *out = CRect(std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
                 std::min(a.bottom, b.bottom));
    return true;
}

CRect Normalized(PCRECT r) {
    CRect n(r);
    n.NormalizeRect();
    return n;
}

}  // namespace

CRegion::CRegion() = default;

CRegion::~CRegion() {
    SetEmpty();
}

CRegion::Node* CRegion::NewNode(const RECT& r) {
    void* mem = TakeNode(sizeof(Node));
    if (mem == nullptr) return nullptr;
    return new (mem) Node{nullptr, nullptr, CRect(&r)};
}

void CRegion::Append(Node* node) {
    node->prev = m_pTail;
    node->next = nullptr;
    if (m_pTail != nullptr) {
        m_pTail->next = node;
    } else {
        m_pHead = node;
    }
    m_pTail = node;
}

void CRegion::InsertBefore(Node* node, Node* before) {
    node->next = before;
    node->prev = before->prev;
    if (before->prev != nullptr) {
        before->prev->next = node;
    } else {
        m_pHead = node;
    }
    before->prev = node;
}

void CRegion::Remove(Node* node) {
    if (node->prev != nullptr) {
        node->prev->next = node->next;
    } else {
        m_pHead = node->next;
    }
    if (node->next != nullptr) {
        node->next->prev = node->prev;
    } else {
        m_pTail = node->prev;
    }
    if (m_pCursor == node) m_pCursor = nullptr;
    GiveNode(node, sizeof(Node));
}

void CRegion::RecomputeBounds() {
    if (m_pHead == nullptr) {
        m_bounds.SetRectEmpty();
        return;
    }
    CRect b = m_pHead->rect;
    for (Node* n = m_pHead->next; n != nullptr; n = n->next) {
        b.left = std::min(b.left, n->rect.left);
        b.top = std::min(b.top, n->rect.top);
        b.right = std::max(b.right, n->rect.right);
        b.bottom = std::max(b.bottom, n->rect.bottom);
    }
    m_bounds = b;
}

void CRegion::SetEmpty() {
    while (m_pHead != nullptr) Remove(m_pHead);
    m_pCursor = nullptr;
    m_bounds.SetRectEmpty();
}

bool CRegion::SetRect(PCRECT r) {
    if (::IsRectEmpty(r)) return false;
    CRect rc(r);
    SetEmpty();
    Node* node = NewNode(rc);
    if (node == nullptr) return false;
    Append(node);
    m_bounds = rc;
    return true;
}

void CRegion::SetRectRgn(PCRECT r) {
    if (r == nullptr) {
        SetEmpty();
        return;
    }
    SetRect(r);
}

bool CRegion::AddRect(PCRECT r) {
    if (::IsRectEmpty(r)) return false;
    CRect rc(r);
    Node* node = NewNode(rc);
    if (node == nullptr) return false;
    bool first = m_pHead == nullptr;
    Append(node);
    if (first) {
        m_bounds = rc;
    } else {
        m_bounds.UnionRect(&m_bounds, &rc);
    }
    return true;
}

bool CRegion::AppendRgn(const CRegion* other) {
    if (other == nullptr) return false;
    // Appending to the list being read would never reach its end: read a snapshot of this one.
    std::vector<CRect> own;
    if (other == this) {
        for (Node* n = m_pHead; n != nullptr; n = n->next) own.push_back(n->rect);
        for (const CRect& rc : own) {
            if (Node* node = NewNode(rc)) Append(node);
        }
        return false;
    }
    for (Node* n = other->m_pHead; n != nullptr; n = n->next) {
        if (Node* node = NewNode(n->rect)) Append(node);
    }
    if (!RectInRect(&other->m_bounds, &m_bounds)) RecomputeBounds();
    return false;
}

bool CRegion::Assign(const CRegion* other) {
    if (other == nullptr) return false;
    m_pCursor = nullptr;
    if (other == this) return true;
    Node* mine = m_pHead;
    for (Node* n = other->m_pHead; n != nullptr; n = n->next) {
        if (mine != nullptr) {
            mine->rect = n->rect;
            mine = mine->next;
        } else if (Node* node = NewNode(n->rect)) {
            Append(node);
        }
    }
    while (mine != nullptr) {
        Node* next = mine->next;
        Remove(mine);
        mine = next;
    }
    m_bounds = other->m_bounds;
    return true;
}

bool CRegion::IntersectRect(PCRECT r) {
    if (r == nullptr) return false;
    CRect rc = Normalized(r);
    if (!::IntersectRect(nullptr, &rc, &m_bounds)) {
        SetEmpty();
        return true;
    }
    if (RectInRect(&m_bounds, &rc)) return true;
    for (Node* n = m_pHead; n != nullptr;) {
        Node* next = n->next;
        if (!n->rect.IntersectRect(&n->rect, &rc)) Remove(n);
        n = next;
    }
    RecomputeBounds();
    return true;
}

bool CRegion::SubtractRect(PCRECT r) {
    if (r == nullptr) return false;
    return Subtract(Normalized(r), true);
}

bool CRegion::Subtract(const CRect& rc, bool exactBounds) {
    if (rc.IsRectEmpty() || !::IntersectRect(nullptr, &rc, &m_bounds)) return false;
    if (RectInRect(&m_bounds, &rc)) {
        SetEmpty();
        return true;
    }
    for (Node* n = m_pHead; n != nullptr;) {
        Node* next = n->next;
        CRect common;
        if (Overlap(n->rect, rc, &common)) {
            RECT pieces[4];
            int count = ::SubtractRect(pieces, &n->rect, &rc);
            if (count == 0) {
                Remove(n);
            } else {
                n->rect = CRect(&pieces[0]);
                // The new pieces go before the node so this walk does not visit them again.
                for (int i = 1; i < count; ++i) {
                    if (Node* piece = NewNode(pieces[i])) InsertBefore(piece, n);
                }
            }
        }
        n = next;
    }
    // A rectangle strictly inside the bounds cannot have taken any of their edges away.
    if (exactBounds && !RectInRectStrict(&rc, &m_bounds)) RecomputeBounds();
    return true;
}

bool CRegion::IntersectRgn(const CRegion* other) {
    if (other == nullptr) return false;
    if (!::IntersectRect(nullptr, &m_bounds, &other->m_bounds)) {
        SetEmpty();
        return true;
    }
    Node* oldHead = m_pHead;
    m_pHead = m_pTail = nullptr;
    m_pCursor = nullptr;
    // other may be this region: it is read through the old list, which stays intact until the end.
    Node* otherHead = other == this ? oldHead : other->m_pHead;
    const CRect otherBounds = other->m_bounds;
    for (Node* a = oldHead; a != nullptr; a = a->next) {
        CRect common;
        // List rectangles are never empty, so a rectangle outside the other's bounds meets none.
        if (!Overlap(a->rect, otherBounds, &common)) continue;
        for (Node* b = otherHead; b != nullptr; b = b->next) {
            if (Overlap(a->rect, b->rect, &common)) {
                if (Node* node = NewNode(common)) Append(node);
            }
        }
    }
    for (Node* n = oldHead; n != nullptr;) {
        Node* next = n->next;
        GiveNode(n, sizeof(Node));
        n = next;
    }
    RecomputeBounds();
    return true;
}

bool CRegion::SubtractRgn(const CRegion* other) {
    if (other == nullptr) return false;
    if (!::IntersectRect(nullptr, &m_bounds, &other->m_bounds)) return false;
    // Between the rectangles the bounds may stay too large (which only skips the shortcuts); they
    // are made exact once at the end.
    if (other == this) {
        // Subtracting the list being changed would walk freed nodes: use a snapshot.
        std::vector<CRect> own;
        for (Node* n = m_pHead; n != nullptr; n = n->next) own.push_back(n->rect);
        for (const CRect& rc : own) Subtract(rc, false);
    } else {
        for (Node* n = other->m_pHead; n != nullptr; n = n->next) Subtract(n->rect, false);
    }
    RecomputeBounds();
    return false;
}

bool CRegion::ContainsPoint(int32_t x, int32_t y) const {
    if (!::PtInRect(&m_bounds, x, y)) return false;
    for (Node* n = m_pHead; n != nullptr; n = n->next) {
        if (::PtInRect(&n->rect, x, y)) return true;
    }
    return false;
}

bool CRegion::IntersectsRect(PCRECT r) const {
    if (!::IntersectRect(nullptr, r, &m_bounds)) return false;
    for (Node* n = m_pHead; n != nullptr; n = n->next) {
        if (::IntersectRect(nullptr, r, &n->rect)) return true;
    }
    return false;
}

bool CRegion::Offset(int32_t dx, int32_t dy) {
    for (Node* n = m_pHead; n != nullptr; n = n->next) n->rect.OffsetRect(dx, dy);
    // Empty bounds stay all zeros.
    if (m_pHead != nullptr) m_bounds.OffsetRect(dx, dy);
    return true;
}

bool CRegion::Swap(CRegion* other) {
    if (other == nullptr) return false;
    std::swap(m_pHead, other->m_pHead);
    std::swap(m_pTail, other->m_pTail);
    std::swap(m_bounds, other->m_bounds);
    m_pCursor = nullptr;
    other->m_pCursor = nullptr;
    return true;
}

void CRegion::GetBounds(PRECT out) const {
    CopyRect(out, &m_bounds);
}

const CRect* CRegion::GetFirstRect() {
    m_pCursor = m_pHead;
    return m_pCursor != nullptr ? &m_pCursor->rect : nullptr;
}

const CRect* CRegion::GetNextRect() {
    if (m_pCursor == nullptr) return nullptr;
    m_pCursor = m_pCursor->next;
    return m_pCursor != nullptr ? &m_pCursor->rect : nullptr;
}

void CRegion::Dump() const {
    int count = 0;
    for (Node* n = m_pHead; n != nullptr; n = n->next) ++count;
    std::printf("CRegion::Dump() %d rectangles(%d,%d,%d,%d) \n", count, m_bounds.left, m_bounds.top,
                m_bounds.right, m_bounds.bottom);
    for (Node* n = m_pHead; n != nullptr; n = n->next) {
        std::printf("%4d, %4d, %4d, %4d\n", n->rect.left, n->rect.top, n->rect.right, n->rect.bottom);
    }
}
