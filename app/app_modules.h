// The one place where the program's modules are wired to each other at start-up.
#pragma once

// Calls every module's Register function: each installs its command handlers (PCIV_RegisterCmdHandler)
// and sets its own hooks (the Slave*Hook / SlaveSet*Thread setters of app/pci/pciv_slave.h, the
// GraphicsSet*Hook setters of app/fb/graphics.h, AppSetTitleThreadStart). Runs before the command
// loop starts; calling it again changes nothing.
void AppRegisterModules();
