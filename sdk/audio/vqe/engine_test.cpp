// The engines on the real modules: frame sizes, the caches with no module, refused writes.
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "sdk/audio/vqe/audio_module.h"
#include "sdk/audio/vqe/dnvqe.h"
#include "sdk/audio/vqe/upvqe.h"

namespace {

UPVQE_CONFIG_S Up(int rate, int frame, int mode = 1, int chn = 1) {
    UPVQE_CONFIG_S u{};
    u.s32InSampleRate = u.s32OutSampleRate = u.s32WorkSampleRate = rate;
    u.s32FrameSample = frame;
    u.s32ChnNum = u.s32OutChnNum = chn;
    u.s32Mode = mode;
    return u;
}

DNVQE_CONFIG_S Dn(int in, int work, int out, int frame) {
    DNVQE_CONFIG_S c{};
    c.s32InSampleRate = in;
    c.s32WorkSampleRate = work;
    c.s32OutSampleRate = out;
    c.s32FrameSample = frame;
    return c;
}

TEST(VqeEngineTest, FrameSizesFollowTheWorkRateAndTheModules) {
    struct UpCase {
        const char* what;
        UPVQE_CONFIG_S cfg;
        MK_S32 ret;
        MK_S32 frame;
    };
    UPVQE_CONFIG_S agc16 = Up(16000, 100), rec2 = Up(8000, 80, UPVQE_MODE_RECORD, 2), rnr8 = Up(8000, 80),
                   hdr8 = Up(8000, 80), any48 = Up(48000, 80), none = Up(44100, 4096), bad = Up(8000, 79),
                   badRate = Up(32000, 80), aecRec = Up(8000, 80, UPVQE_MODE_RECORD), talk2 = Up(8000, 80, 1, 2),
                   chn = Up(8000, 80, 1, 1);
    agc16.bAgcOpen = 1;
    rec2.bHpfOpen = 1;
    rnr8.bRnrOpen = 1;
    hdr8.bHdrOpen = 1;
    any48.bHpfOpen = 1;
    badRate.bHpfOpen = 1;
    aecRec.bAecOpen = 1;
    chn.s32OutChnNum = 2;
    const UpCase cases[] = {
        {"talk, AGC at 16 kHz", agc16, 0, 160},
        {"record, two channels, HPF", rec2, 0, 480},
        {"RNR mode 0 at 8 kHz", rnr8, 0, 960},
        {"HDR at 8 kHz", hdr8, 0, 160},
        {"48 kHz", any48, 0, 960},
        {"no module keeps its frame", none, 0, 4096},
        {"frame 79", bad, static_cast<MK_S32>(0xA1350002), 0},
        {"work rate 32 kHz", badRate, static_cast<MK_S32>(0xA1350002), 0},
        {"AEC in record mode", aecRec, -1, 0},
        {"two channels talking", talk2, -1, 0},
        {"channel counts differ", chn, -1, 0},
    };
    for (const UpCase& c : cases) {
        MK_VOID* h = nullptr;
        EXPECT_EQ(MK_UPVQE_Create(&h, &c.cfg), c.ret) << c.what;
        EXPECT_EQ(MK_UPVQE_GetFrameSample(h), c.frame) << c.what;
        MK_UPVQE_Destroy(h);
    }
    DNVQE_CONFIG_S agcEq48 = Dn(48000, 48000, 48000, 100), res = Dn(8000, 48000, 48000, 80),
                   f79 = Dn(8000, 8000, 8000, 79), hpf22 = Dn(22050, 22050, 22050, 80);
    agcEq48.bAgcOpen = agcEq48.bEqOpen = 1;
    hpf22.bHpfOpen = 1;
    const struct {
        const char* what;
        DNVQE_CONFIG_S cfg;
        MK_S32 ret, frame;
    } dn[] = {
        {"AGC and EQ at 48 kHz", agcEq48, 0, 480},
        {"resampling only", res, 0, 80},
        {"frame 79", f79, static_cast<MK_S32>(0xA1360002), 0},
        {"HPF at 22050", hpf22, static_cast<MK_S32>(0xA1360002), 0},
    };
    for (const auto& c : dn) {
        MK_VOID* h = nullptr;
        EXPECT_EQ(MK_DNVQE_Create(&h, &c.cfg), c.ret) << c.what;
        EXPECT_EQ(MK_DNVQE_GetFrameSample(h), c.frame) << c.what;
        MK_DNVQE_Destroy(h);
    }
    EXPECT_EQ(AUDIO_LoadedModuleCount(), 0);
}

TEST(VqeEngineTest, WithNoModuleAnyMixOfWritesAndReadsIsBitExact) {
    std::mt19937 rng(5);
    MK_VOID* up = nullptr;
    MK_VOID* dn = nullptr;
    UPVQE_CONFIG_S u = Up(16000, 160);
    DNVQE_CONFIG_S d = Dn(8000, 8000, 8000, 80);
    ASSERT_EQ(MK_UPVQE_Create(&up, &u), 0);
    ASSERT_EQ(MK_DNVQE_Create(&dn, &d), 0);
    std::vector<MK_S16> inUp, inDn, outUp, outDn;
    MK_S16 next = 0;
    int refused = 0;
    for (int step = 0; step < 3000; ++step) {
        const int n = std::uniform_int_distribution<int>(0, 900)(rng);
        std::vector<MK_S16> chunk(n + 1);
        if (rng() % 2) {
            for (MK_S16& v : chunk) v = next++;
            UPVQE_FRAME_S w{static_cast<MK_U32>(n), chunk.data(), nullptr};
            const MK_S32 a = MK_UPVQE_WriteFrame(up, &w);
            if (a == 0) inUp.insert(inUp.end(), chunk.begin(), chunk.begin() + n);
            const MK_S32 b = MK_DNVQE_WriteFrame(dn, chunk.data(), n);
            if (b == 0) inDn.insert(inDn.end(), chunk.begin(), chunk.begin() + n);
            ASSERT_TRUE(a == 0 || a == static_cast<MK_S32>(0xA1350006));
            ASSERT_TRUE(b == 0 || b == static_cast<MK_S32>(0xA1360006));
            refused += (a != 0) + (b != 0);
        } else {
            UPVQE_FRAME_S r{static_cast<MK_U32>(n), chunk.data(), nullptr};
            const MK_S32 a = MK_UPVQE_ReadFrame(up, &r, 1);
            ASSERT_GE(a, 0);
            outUp.insert(outUp.end(), chunk.begin(), chunk.begin() + a);
            const MK_S32 b = MK_DNVQE_ReadFrame(dn, chunk.data(), n, 1);
            ASSERT_GE(b, 0);
            outDn.insert(outDn.end(), chunk.begin(), chunk.begin() + b);
        }
    }
    EXPECT_GT(refused, 0) << "the caches never filled";
    ASSERT_LE(outUp.size(), inUp.size());
    ASSERT_LE(outDn.size(), inDn.size());
    EXPECT_TRUE(std::equal(outUp.begin(), outUp.end(), inUp.begin()));
    EXPECT_TRUE(std::equal(outDn.begin(), outDn.end(), inDn.begin()));
    EXPECT_GT(outUp.size(), inUp.size() / 2);
    MK_UPVQE_Destroy(up);
    MK_DNVQE_Destroy(dn);
}

TEST(VqeEngineTest, RefusedWritesChangeNothing) {
    MK_VOID* dn = nullptr;
    DNVQE_CONFIG_S d = Dn(8000, 48000, 48000, 80);  // resampling only, 153 nodes of 80
    ASSERT_EQ(MK_DNVQE_Create(&dn, &d), 0);
    std::vector<MK_S16> big(2049, 100), out(12288 * 2);
    // 2049 inputs resample to more than the 24576-byte work buffer holds.
    EXPECT_EQ(MK_DNVQE_WriteFrame(dn, big.data(), 2049), static_cast<MK_S32>(0xA1360002));
    EXPECT_EQ(MK_DNVQE_ReadFrame(dn, out.data(), 100, 1), 0);
    ASSERT_EQ(MK_DNVQE_WriteFrame(dn, big.data(), 2048), 0);
    // The caches hold 2 x 153 x 80 samples: one write more of 2048 cannot fit.
    ASSERT_EQ(MK_DNVQE_WriteFrame(dn, big.data(), 2048), static_cast<MK_S32>(0xA1360006));
    // 12240 samples make whole nodes; 48 wait for a node to fill.
    ASSERT_EQ(MK_DNVQE_ReadFrame(dn, out.data(), 12288, 1), 12240);
    EXPECT_EQ(MK_DNVQE_ReadFrame(dn, out.data(), 1, 0), static_cast<MK_S32>(0xA1360007));
    ASSERT_EQ(MK_DNVQE_WriteFrame(dn, big.data(), 32), 0);  // 192 more at 48 kHz
    EXPECT_EQ(MK_DNVQE_ReadFrame(dn, out.data(), 12288, 1), 48 + 192) << "the refused write left nothing behind";
    MK_DNVQE_Destroy(dn);

    MK_VOID* up = nullptr;
    UPVQE_CONFIG_S u = Up(16000, 160);
    u.bAecOpen = 1;
    ASSERT_EQ(MK_UPVQE_Create(&up, &u), 0);
    UPVQE_FRAME_S noRef{160, big.data(), nullptr};
    EXPECT_EQ(MK_UPVQE_WriteFrame(up, &noRef), static_cast<MK_S32>(0xA1350002));
    EXPECT_EQ(MK_UPVQE_WriteFrame(nullptr, &noRef), static_cast<MK_S32>(0xA1350002));
    UPVQE_FRAME_S r{10, out.data(), nullptr};
    EXPECT_EQ(MK_UPVQE_ReadFrame(up, &r, 1), 0);
    EXPECT_EQ(MK_UPVQE_ReadFrame(up, &r, 0), static_cast<MK_S32>(0xA1350007));
    MK_UPVQE_Destroy(up);
    EXPECT_EQ(AUDIO_LoadedModuleCount(), 0);
}

}  // namespace
