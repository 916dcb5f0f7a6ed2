// Installs the detection module: commands 88 to 91 and 95, and the set-up's lost-signal picture,
// its release and the input resolution lookup.
#pragma once

void AlarmRegisterModule();
