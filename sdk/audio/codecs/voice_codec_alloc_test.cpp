// The engine must never touch the heap: every allocation of this program is counted while the engine
// runs every codec in both directions and the transcoder.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include <gtest/gtest.h>

#include "sdk/audio/testing/speech_signal.h"
#include "sdk/audio/codecs/voice_codec.h"

namespace {
std::atomic<bool> g_counting{false};
std::atomic<int> g_allocations{0};

void Note() {
    if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

#if defined(__SANITIZE_ADDRESS__)
// The address sanitizer owns the allocator; count through its hooks instead of replacing it.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*onMalloc)(const volatile void*, size_t),
                                                         void (*onFree)(const volatile void*));

namespace {
void OnMalloc(const volatile void*, size_t) {
    Note();
}
void OnFree(const volatile void*) {}
const int g_hooks = __sanitizer_install_malloc_and_free_hooks(OnMalloc, OnFree);
}  // namespace
#else
extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);
extern "C" void __libc_free(void*);

extern "C" void* malloc(size_t n) {
    Note();
    return __libc_malloc(n);
}
extern "C" void* calloc(size_t n, size_t size) {
    Note();
    return __libc_calloc(n, size);
}
extern "C" void* realloc(void* p, size_t n) {
    Note();
    return __libc_realloc(p, n);
}
extern "C" void free(void* p) {
    __libc_free(p);
}

void* operator new(size_t n) {
    Note();
    if (void* p = __libc_malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t n) {
    return operator new(n);
}
void operator delete(void* p) noexcept {
    __libc_free(p);
}
void operator delete[](void* p) noexcept {
    __libc_free(p);
}
void operator delete(void* p, size_t) noexcept {
    __libc_free(p);
}
void operator delete[](void* p, size_t) noexcept {
    __libc_free(p);
}
#endif

namespace {

TEST(VoiceCodecAllocTest, EngineNeverAllocates) {
    std::vector<int16_t> pcm(481 * 4);
    varnelle::voice::SpeechLike(pcm.data(), static_cast<int>(pcm.size()), 0.5);
    std::vector<int16_t> out(VOICE_MAX_DECODE_SAMPLES);
    const int16_t ids[] = {1, 2, 3, 4, 5, 6, 7, 35, 36, 37, 38, 39, 65, 66, 67, 68};

    // The counter itself must see allocations, or the test proves nothing.
    g_counting = true;
    void* volatile probe = std::malloc(16);  // volatile: the call must not be optimised away
    g_counting = false;
    std::free(probe);
    ASSERT_EQ(g_allocations.exchange(0), 1);

    g_counting = true;
    int failures = 0;
    for (const int16_t id : ids) {
        VOICE_CODEC_STATE_S enc{}, dec{};
        failures += VOICE_CodecOpen(&enc, id) != 0;
        failures += VOICE_CodecOpen(&dec, id) != 0;
        const int n = id == VOICE_CODEC_IMA ? 481 : 480;
        for (int frame = 0; frame < 4; ++frame) {
            uint8_t buf[VOICE_MAX_FRAME_BYTES];
            uint16_t count = 0;
            failures += MK_VOICE_EncodeFrame(&enc, &pcm[frame * 481], buf, static_cast<int16_t>(n)) != 0;
            failures += MK_VOICE_DecodeFrame(&dec, buf, out.data(), &count) != 0;
            failures += count != n;
        }
    }
    for (const int32_t kind : {97, 98, 99, 100}) {
        VOICE_TRANSCODER_S pair{};
        VOICE_CODEC_STATE_S src{};
        failures += MK_VOICE_TransCodeReset(&pair, kind) != 0;
        failures += VOICE_CodecOpen(&src, pair.decoder.s16CodecId) != 0;
        uint8_t buf[VOICE_MAX_FRAME_BYTES];
        failures += MK_VOICE_EncodeFrame(&src, pcm.data(), buf, 480) != 0;
        failures += MK_VOICE_TransCodeFrame(&pair, buf) != 0;
    }
    g_counting = false;

    EXPECT_EQ(failures, 0);
    EXPECT_EQ(g_allocations.load(), 0);
}

}  // namespace
