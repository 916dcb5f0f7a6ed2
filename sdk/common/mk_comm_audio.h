// Audio records shared by audio input, output, encoding and decoding and by their drivers: the device
// attribute, the PCM frame, the echo-reference frame, the encoded packet, the resampling attribute and
// the dump-file configuration.
//
// Records that hold a user address (the frame, the echo-reference frame, the packet) keep the host's
// native layout; request numbers that carry them are built from their sizeof. The others keep the
// chip's sizes and offsets.
#pragma once

#include <cstddef>

#include "sdk/common/mk_type.h"

typedef enum : MK_U32 {
    AUDIO_SAMPLE_RATE_8000 = 8000,
    AUDIO_SAMPLE_RATE_11025 = 11025,
    AUDIO_SAMPLE_RATE_12000 = 12000,
    AUDIO_SAMPLE_RATE_16000 = 16000,
    AUDIO_SAMPLE_RATE_22050 = 22050,
    AUDIO_SAMPLE_RATE_24000 = 24000,
    AUDIO_SAMPLE_RATE_32000 = 32000,
    AUDIO_SAMPLE_RATE_44100 = 44100,
    AUDIO_SAMPLE_RATE_48000 = 48000,
    AUDIO_SAMPLE_RATE_64000 = 64000,
    AUDIO_SAMPLE_RATE_96000 = 96000,
} AUDIO_SAMPLE_RATE_E;

// A sample point of width code b takes 2^b bytes.
typedef enum : MK_U32 {
    AUDIO_BIT_WIDTH_8 = 0,
    AUDIO_BIT_WIDTH_16 = 1,
    AUDIO_BIT_WIDTH_32 = 2,
    AUDIO_BIT_WIDTH_BUTT,
} AUDIO_BIT_WIDTH_E;

typedef enum : MK_U32 {
    AUDIO_SOUND_MODE_MONO = 0,  // track 0 only
    AUDIO_SOUND_MODE_STEREO = 1,  // tracks 0 and 1
    AUDIO_SOUND_MODE_BUTT,
} AUDIO_SOUND_MODE_E;

// Bytes of one sample point of width code `bitwidth` (0, 1, 2 give 1, 2, 4).
constexpr MK_U32 AudioBytesPerPoint(MK_U32 bitwidth) { return 1u << bitwidth; }

// An audio input or output device's attributes. The user-space layer reads the sample rate, the width
// code, the sound mode, the points per frame and the channel count; the driver checks the rest.
typedef struct {
    AUDIO_SAMPLE_RATE_E enSampleRate;  // Hz
    AUDIO_BIT_WIDTH_E enBitwidth;
    MK_U32 enWorkMode;  // passed to the driver
    AUDIO_SOUND_MODE_E enSoundmode;
    MK_U32 u32DrvFlag;
    MK_U32 u32FrameCount;  // frames the driver buffers per channel
    MK_U32 u32PtNumPerFrm;  // sample points per device frame
    MK_U32 u32ChnCount;     // channels of the device
    MK_U32 u32ClkChnCount;
    MK_U32 u32Reserved;
} AIO_ATTR_S;
static_assert(sizeof(AIO_ATTR_S) == 40);
static_assert(offsetof(AIO_ATTR_S, enSoundmode) == 12);
static_assert(offsetof(AIO_ATTR_S, u32PtNumPerFrm) == 24);
static_assert(offsetof(AIO_ATTR_S, u32ChnCount) == 28);

// One PCM frame: the samples of track 0 and (stereo) track 1, u32Len bytes each.
typedef struct {
    AUDIO_BIT_WIDTH_E enBitwidth;
    AUDIO_SOUND_MODE_E enSoundmode;
    MK_VOID* pVirAddr[2];
    MK_U32 u32PhyAddr[2];
    MK_U64 u64TimeStamp;  // set by the driver
    MK_U32 u32Seq;
    MK_U32 u32Len;  // bytes of samples per track
    MK_U32 u32PoolId[2];
} AUDIO_FRAME_S;

// The echo-reference frame that may accompany a captured frame.
typedef struct {
    AUDIO_FRAME_S stRefFrame;
    MK_BOOL bValid;  // 1 when the reference frame is present
    MK_U32 u32Reserved;
} AEC_FRAME_S;

// One encoded audio packet.
typedef struct {
    MK_U8* pStream;
    MK_U32 u32PhyAddr;
    MK_U32 u32Len;  // bytes
    MK_U64 u64TimeStamp;
    MK_U32 u32Seq;
} AUDIO_STREAM_S;

// Points per input frame and the two rates of a channel's resampling.
typedef struct {
    MK_U32 u32InPointNum;
    AUDIO_SAMPLE_RATE_E enInSampleRate;
    AUDIO_SAMPLE_RATE_E enOutSampleRate;
} AUDIO_RESAMPLE_ATTR_S;
static_assert(sizeof(AUDIO_RESAMPLE_ATTR_S) == 12);

#define MK_AUDIO_DUMP_PATH_LEN 256
#define MK_AUDIO_DUMP_NAME_LEN 256

// A channel's debug dump configuration, kept by the driver: raw PCM files in aFilePath, named with
// aFileName, each limited to u32FileSize KB. The strings need not be terminated within their fields.
typedef struct {
    MK_BOOL bCfg;  // dumping on
    MK_CHAR aFilePath[MK_AUDIO_DUMP_PATH_LEN];
    MK_CHAR aFileName[MK_AUDIO_DUMP_NAME_LEN];
    MK_U32 u32FileSize;  // KB
} AUDIO_DUMPFILE_CFG_S;
static_assert(sizeof(AUDIO_DUMPFILE_CFG_S) == 520);
static_assert(offsetof(AUDIO_DUMPFILE_CFG_S, aFileName) == 260);
static_assert(offsetof(AUDIO_DUMPFILE_CFG_S, u32FileSize) == 516);

// The dump configuration under the name audio input gives it.
typedef AUDIO_DUMPFILE_CFG_S AUDIO_SAVE_FILE_INFO_S;

// A frame with its echo reference as the audio drivers hand frames over and take them back; the last
// bytes carry nothing the SDK reads.
typedef struct {
    AUDIO_FRAME_S stFrame;
    AEC_FRAME_S stAecFrm;
    MK_U8 au8Reserved[8];
} AUDIO_FRAME_RECORD_S;

// Payload types of the built-in voice codecs.
enum {
    PT_G711A = 19,
    PT_G711U = 20,
    PT_G726 = 21,
    PT_LPCM = 23,
    PT_ADPCMA = 49,
};

// The first word of an ADPCM channel's codec attribute.
typedef enum : MK_U32 {
    ADPCM_TYPE_DVI4 = 0,      // block header: predicted value and step index
    ADPCM_TYPE_IMA = 1,       // block header: the first sample, uncoded (80k + 1 points)
    ADPCM_TYPE_ORG_DVI4 = 2,  // no block header
    ADPCM_TYPE_BUTT,
} ADPCM_TYPE_E;

// The first word of a G.726 channel's codec attribute: the rate at 8 kHz and the code-word packing.
typedef enum : MK_U32 {
    G726_16K = 0,  // code words packed from the least significant bit
    G726_24K,
    G726_32K,
    G726_40K,
    G726_16K_MSB,  // code words packed from the most significant bit
    G726_24K_MSB,
    G726_32K_MSB,
    G726_40K_MSB,
    G726_BUTT,
} G726_BPS_E;

typedef struct {
    ADPCM_TYPE_E enADPCMType;
} AUDIO_ATTR_ADPCM_S;

typedef struct {
    G726_BPS_E enG726bps;
} AUDIO_ATTR_G726_S;

// G.711 and LPCM read nothing of their attribute, which must still be given.
typedef struct {
    MK_U32 u32Resv;
} AUDIO_ATTR_PLAIN_S;

#ifndef MK_INVALID_HANDLE
#define MK_INVALID_HANDLE (-1)  // a registry slot not taken
#endif
