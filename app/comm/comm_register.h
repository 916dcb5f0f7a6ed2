// Wiring of the media set-up into the program (called once by AppRegisterModules).
#pragma once

// Installs the handlers of commands 41 to 44, 48, 62, 84, 85, 87, 92, 93 and 94, and fills command
// 96's capability, SampleSysInit and channel-map steps and the display settings' cascade hook.
void CommRegisterModule();
