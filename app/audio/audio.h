// The audio path: G.711 sound from the selected input channel to the master (the input side), audio
// frames from the master or from playback onto the analog output (the output side), and the live
// input mirrored onto the HDMI audio output. Nothing runs until AudioCreate; no command calls it in
// this program, so the state keeps its load values and the decode module finds no output list.
//
// Threads: AudioOutSendStream (output list to the decoder) and HwHdmiAudioProc (input to HDMI) run
// from the first successful AudioCreate for the life of the process. Any thread may call the
// operations; the output lock guards the reassembly buffer and the decoder, the input lock the
// encoder reads, the HDMI lock the mirrored source and the decoder's HDMI binding.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "app/comm/buf_list.h"

// {first field 40, sample rate, bits per sample, payload type (19 A-law, 20 mu-law, 0 none)}.
struct AudioFormat {
    uint32_t u32First;
    uint32_t u32SampleRate;
    uint32_t u32Bits;
    uint32_t u32PayloadType;
};

// SDK payload types and the format codes of AudioOutSetFormat / AudioInSetFormat.
#define AUDIO_PT_NONE 0u
#define AUDIO_PT_G711A 19u
#define AUDIO_PT_G711U 20u
#define AUDIO_FMT_G711A 11u
#define AUDIO_FMT_G711U 14u

// The codec byte of the audio frame header as the input side writes it and the output side reads it.
#define AUDIO_CODEC_IN_ALAW 14u
#define AUDIO_CODEC_IN_ULAW 10u
#define AUDIO_CODEC_NONE 7u
#define AUDIO_CODEC_OTHER 20u  // output side: send without changing the decoder
#define AUDIO_CODEC_OUT_ALAW 14u
#define AUDIO_CODEC_OUT_ULAW 22u

#define AUDIO_HEAD_LEN 8u        // 00 00 01 F0, codec, 2, 16-bit payload length
#define AUDIO_PIECE_LEN 160u     // bytes of one G.711 frame at 8 kHz, 20 ms
#define AUDIO_SEND_LEN 164u      // a piece behind its 4-byte voice frame header
#define AUDIO_OUT_MAX_BUF 3360u  // the largest frame AudioOutPutBuf takes
#define AUDIO_REASM_SIZE 10240u  // the output side's reassembly buffer

struct AudioState {
    // Input side.
    std::atomic<BufList*> pInList{nullptr};
    std::atomic<uint32_t> u32InEnabled{0};
    int32_t s32AencChn = 0;
    std::atomic<int32_t> s32AencAiChn{-1};  // the input channel bound to the encoder, -1 none
    AudioFormat stInFormat{40, 8000, 16, AUDIO_PT_G711A};  // guarded by inLock
    pthread_mutex_t inLock = PTHREAD_MUTEX_INITIALIZER;

    // Output side.
    std::atomic<uint32_t> u32OutEnabled{0};
    std::atomic<int32_t> s32AoDev{0};
    int32_t s32AoChn = 0;
    std::atomic<BufList*> pOutList{nullptr};
    std::atomic<uint32_t> u32Running{0};
    std::atomic<uint32_t> u32DecCreated{0};
    int32_t s32AdecChn = 0;
    AudioFormat stOutFormat{40, 8000, 16, AUDIO_PT_G711A};  // guarded by outLock
    uint32_t u32DecType = AUDIO_PT_G711A;  // what the decoder channel decodes; guarded by outLock
    pthread_mutex_t outLock = PTHREAD_MUTEX_INITIALIZER;
    pthread_t outThread{};

    // Switch and HDMI.
    AudioFormat stSwitchFormat{40, 8000, 16, AUDIO_PT_G711A};
    std::atomic<int32_t> s32SwitchMode{-1};
    std::atomic<int32_t> s32SwitchChn{-1};
    int32_t s32HdmiFd = -1;     // guarded by hdmiLock; -1 when no live input is mirrored
    int32_t s32HdmiAiChn = -1;  // the input channel behind s32HdmiFd; guarded by hdmiLock
    pthread_mutex_t hdmiLock = PTHREAD_MUTEX_INITIALIZER;
};

// Sets the path up: input, encoder, analog and HDMI outputs, decoder, lists and threads. 0, or the
// failing step's SDK code, or -1 for the program's own failures.
int AudioCreate();
// Tears the SDK objects down; the threads go on, idle. The result of the last step.
int AudioDestory();
// Mode 0 mirrors live channel `s32Chn` (analog output on some boards, HDMI), 1 plays the decoder
// (playback channel `s32Chn`), other modes mirror nothing. 0 or -1.
int AudioSwitch(int32_t s32Mode, int32_t s32Chn);
// Queues one audio frame from the master for output, cut into 160-byte pieces. 0 or -1.
int AudioOutPutBuf(const uint8_t* pu8Buf, int32_t s32Size);
// Format code 11 A-law, 14 mu-law (the decoder is made anew when it changes), other: none. 0 or -1.
int AudioOutSetFormat(uint32_t u32Code);
// The record's fourth field 11 A-law, 14 mu-law (the encoder is made anew when it changes), other:
// none. 0 or -1.
int AudioInSetFormat(void* pUnused, const AudioFormat* pFormat);
// One encoded input packet as an audio frame into `pu8Buf` of `u32Cap` bytes, its length in
// *pu32Len. 0, or -1 (input off, nothing encoded, a frame that does not fit).
int AudioInGetBuffer(void* pUnused, uint8_t* pu8Buf, uint32_t* pu32Len, uint32_t u32Cap);
AudioState* AudioGetState();

// The audio input channel of video channel `s32Chn` on this board.
int32_t AudioGetAoDev(int32_t s32Chn);
// Record `s32Index` (0 to 2) of the audio formats the path knows, by format code: A-law, mu-law, and
// 8-bit PCM. 0, or -1 for another index or a null record. Nothing calls it yet.
int AudioGetFormatRecord(int32_t s32Index, AudioFormat* pFormat);

// Gives the decode module the output list and the output's enabled flag.
void AudioRegister();

// Tests: stops and joins both threads, frees the lists and brings the state back to its load values.
void AudioResetForTest();
