// Moved to the shared audio test helpers.
#pragma once

#include "sdk/audio/testing/speech_signal.h"
