// What the display settings and the framebuffer layer share inside app/fb.
#pragma once

// Closes the layers, releases the engine and forgets what the framebuffer layer set up.
void GraphicsFbReset();
