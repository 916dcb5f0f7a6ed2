// What the drawing library asks of the application: its graphics layers and its mouse device. The
// library carries weak definitions that stand for a board without either (no layer, no mouse
// packet), so it links alone; the program's own definitions replace them.
#pragma once

#include "draw/draw_fwd.h"

// Asked once for layer 0 and once for layer 1 when the graphics manager is made: request carries
// the layer index (LayerIndexOf); the hook may store a layer in *slot. Its result is ignored.
int SlaveGraphicsCreate(GraphicsSurface* request, GraphicsLayer** slot);
// Called when the mouse reader is made and when it is destroyed; its result is ignored.
int DevMouseOpenHook();
// Fills a 4-byte packet: 0 when a packet was read, non-zero when there is none (the reader then
// waits a second before it asks again).
int DevMouseReadHook(void* pBuf);
