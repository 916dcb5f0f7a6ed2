// Failure points of the audio modules that no driver request reaches: heap blocks, mutexes and threads
// they make. Tests arm a point to make its next uses fail, so every unwinding path can be walked; in
// the program nothing arms them and each check is one relaxed load.
#pragma once

namespace mk::audio {

enum class Fault {
    kAdpAlloc,        // a codec adapter's context
    kAencMutex,       // the encoder registry's mutex at module start
    kAencWorkBuf,     // an encoder channel's work buffers
    kAencThread,      // an encoder channel's worker
    kAdecMutex,       // the decoder's mutexes at module start
    kAdecPool,        // a decoder channel's frame pool
    kAdecFrameData,   // its frame data
    kAdecTst,         // its time-stamp list
    kAdecSendThread,  // its output thread
    kAdecDecThread,   // its decode thread
    kAiVqeCreate,     // an input channel's voice-quality instance (the engine refusing it)
    kCount,
};

// True when the point is armed and fires now (the firing is used up).
bool FaultFires(Fault point);

// Makes the point fire `times` times after letting `skip` uses through.
void ArmFault(Fault point, int times = 1, int skip = 0);
void ClearFaults();

}  // namespace mk::audio
