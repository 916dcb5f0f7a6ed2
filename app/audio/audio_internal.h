// What the audio path's sources share, and the seams its tests reach.
#pragma once

#include <cstdint>
#include <memory>

#include "app/audio/audio.h"
#include "app/comm/buf_list.h"

// Gathers payload bytes of odd-sized packets into 160-byte frames for the decoder. Each frame leaves
// with the 4-byte voice frame header 00 01 50 00 written into the 4 bytes in front of it, so the
// pending bytes always sit behind a 4-byte gap and in one piece: a frame is never cut by the buffer's
// end (they are moved to the front when an append would not fit). Not thread-safe: the output lock
// guards it.
class AudioReassembly {
public:
    // `pfnSend`(data, 164 bytes) -> 0, or a code that resets the buffer.
    using SendFn = int (*)(const uint8_t* pu8Data, uint32_t u32Len);

    AudioReassembly() = default;
    AudioReassembly(const AudioReassembly&) = delete;
    AudioReassembly& operator=(const AudioReassembly&) = delete;

    // Takes a zeroed buffer of `u32Size` bytes (at least 4 + 2 frames); false when it cannot.
    bool Init(uint32_t u32Size);
    bool Ready() const { return m_pu8Buf != nullptr; }
    // Appends `u32Len` bytes and sends every whole frame; 0, or the failed send's code (everything
    // pending is dropped). A piece larger than the buffer can hold is dropped with -1.
    int Append(const uint8_t* pu8Src, uint32_t u32Len, SendFn pfnSend);
    void Reset();
    uint32_t Pending() const { return m_u32Write - m_u32Read; }

private:
    static constexpr uint32_t kGap = 4;
    std::unique_ptr<uint8_t[]> m_pu8Buf;
    uint32_t m_u32Size = 0;
    uint32_t m_u32Read = kGap;   // next frame's first byte
    uint32_t m_u32Write = kGap;  // end of the pending bytes
};

// The output side's handling of one node of the output list (the sender thread's step): 0 when sent
// or gathered, -1 when dropped.
int AudioOutHandleNode(const uint8_t* pu8Data, uint32_t u32Used);

// Tests: replaces the decoder send (null: MK_MPI_ADEC_SendStream on the decoder channel).
void AudioSetDecoderSendForTest(AudioReassembly::SendFn pfnSend);
// The sender's reassembly buffer (tests look at what is pending).
AudioReassembly& AudioOutReassembly();

// The input side's start: input device and channels (once). 0 or -1.
int AencOpen();
// The audio input device of this board (0 on system type 106, else 1).
int32_t AudioAiDev();
// Both threads' bodies.
void* AudioOutSendStream(void* pArg);
void* HwHdmiAudioProc(void* pArg);
// Wakes the sender thread (a new node, a stop).
void AudioOutWake();
// Makes the sender thread leave its loop (true) or lets a new one run (false).
void AudioOutSetQuit(bool bQuit);
// Stops and joins the threads (tests).
void AudioStopThreads();
int AudioStartThreads();
// Back to the load values of each side (tests).
void AudioOutResetForTest();
void AudioInResetForTest();
