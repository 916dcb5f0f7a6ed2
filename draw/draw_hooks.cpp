#include "draw/draw_hooks.h"

// A board without graphics layers and without a mouse.

__attribute__((weak)) int SlaveGraphicsCreate(GraphicsSurface*, GraphicsLayer**) {
    return 0;
}

__attribute__((weak)) int DevMouseOpenHook() {
    return 0;
}

__attribute__((weak)) int DevMouseReadHook(void*) {
    return -1;
}
