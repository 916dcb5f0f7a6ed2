#include "sdk/bind/sys_bind.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

constexpr MK_S32 kErrParam = static_cast<MK_S32>(0xA0028003u);
constexpr MK_S32 kErrNull = static_cast<MK_S32>(0xA0028006u);
constexpr MK_S32 kErrPerm = static_cast<MK_S32>(0xA0028009u);

struct Delivery {
    MK_S32 dev, chn;
    MK_U32 arg;
};

std::mutex g_logMutex;
std::vector<Delivery> g_log;
std::atomic<MK_S32> g_receiveResult{0};
std::atomic<int> g_receives{0};

MK_S32 Receive(MK_S32 dev, MK_S32 chn, MK_U32 arg, MPP_DATA_TYPE_E, MK_VOID*) {
    {
        std::lock_guard<std::mutex> lock(g_logMutex);
        g_log.push_back({dev, chn, arg});
    }
    ++g_receives;
    // Each channel answers its own bit so the OR is visible.
    return g_receiveResult.load() | (1 << (chn % 31));
}

MPP_CHN_S Adec(MK_S32 chn) {
    return {MK_ID_ADEC, 0, chn};
}
MPP_CHN_S Ao(MK_S32 dev, MK_S32 chn) {
    return {MK_ID_AO, dev, chn};
}

MK_S32 Send(MK_S32 chn, MK_U32 arg = 0) {
    static int frame;
    return SYS_BIND_SendData(MK_ID_ADEC, 0, chn, arg, MPP_DATA_AUDIO_FRAME, &frame);
}

class SysBindTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(SYS_BIND_Init(), 0);
        g_log.clear();
        g_receives = 0;
        g_receiveResult = 0;
        RegisterAdec(1, 32);
        RegisterAo(3, 20);
    }
    void TearDown() override {
        SYS_BIND_UnRegisterSender(MK_ID_ADEC);
        SYS_BIND_UnRegisterReceiver(MK_ID_AO);
        SYS_BIND_Exit();
    }
    static void RegisterAdec(MK_U32 dev, MK_U32 chn) {
        BIND_SENDER_INFO_S info{MK_ID_ADEC, dev, chn, nullptr};
        ASSERT_EQ(SYS_BIND_RegisterSender(&info), 0);
    }
    static void RegisterAo(MK_U32 dev, MK_U32 chn) {
        BIND_RECEIVER_INFO_S info{MK_ID_AO, dev, chn, Receive, nullptr};
        ASSERT_EQ(SYS_BIND_RegisterReceiver(&info), 0);
    }
};

TEST_F(SysBindTest, OneSourceDeliversToTwoReceiversInBindOrderAndOrsResults) {
    MPP_CHN_S src = Adec(3), first = Ao(2, 5), second = Ao(0, 1);
    ASSERT_EQ(SYS_Bind(&src, &first), 0);
    ASSERT_EQ(SYS_Bind(&src, &second), 0);
    g_receiveResult = 0x100;
    EXPECT_EQ(Send(3, 77), 0x100 | (1 << 5) | (1 << 1));
    ASSERT_EQ(g_log.size(), 2u);
    EXPECT_EQ(g_log[0].dev, 2);
    EXPECT_EQ(g_log[0].chn, 5);
    EXPECT_EQ(g_log[0].arg, 77u);
    EXPECT_EQ(g_log[1].dev, 0);
    EXPECT_EQ(g_log[1].chn, 1);

    MPP_BIND_DEST_S list;
    MPP_CHN_S query = Adec(3);
    ASSERT_EQ(SYS_GetBindbySrc(&query, &list), 0);
    ASSERT_EQ(list.u32Num, 2u);
    EXPECT_EQ(list.astMppChn[0].s32DevId, 2);
    EXPECT_EQ(list.astMppChn[1].s32ChnId, 1);
    MPP_CHN_S back{};
    ASSERT_EQ(SYS_GetBindbyDest(&second, &back), 0);
    EXPECT_EQ(back.s32ChnId, 3);
}

TEST_F(SysBindTest, BoundDestinationRefusesSecondSourceAndKeepsBoth) {
    MPP_CHN_S a = Adec(0), b = Adec(1), dst = Ao(1, 1), other = Ao(1, 2);
    ASSERT_EQ(SYS_Bind(&a, &dst), 0);
    ASSERT_EQ(SYS_Bind(&b, &other), 0);
    EXPECT_EQ(SYS_Bind(&b, &dst), kErrPerm);
    MPP_CHN_S back{};
    ASSERT_EQ(SYS_GetBindbyDest(&dst, &back), 0);
    EXPECT_EQ(back.s32ChnId, 0);
    EXPECT_EQ(Send(1), 1 << 2);
    EXPECT_EQ(Send(0), 1 << 1);
}

TEST_F(SysBindTest, SourceRefusesItsHundredTwentyNinthDestination) {
    SYS_BIND_UnRegisterReceiver(MK_ID_AO);
    RegisterAo(2, 100);
    MPP_CHN_S src = Adec(0);
    for (int i = 0; i < MK_BIND_DEST_MAXNUM; ++i) {
        MPP_CHN_S dst = Ao(i / 100, i % 100);
        ASSERT_EQ(SYS_Bind(&src, &dst), 0) << i;
    }
    MPP_CHN_S extra = Ao(1, 99);
    EXPECT_EQ(SYS_Bind(&src, &extra), kErrPerm);
    MPP_CHN_S back{};
    EXPECT_EQ(SYS_GetBindbyDest(&extra, &back), kErrParam);
    MPP_BIND_DEST_S list;
    ASSERT_EQ(SYS_GetBindbySrc(&src, &list), 0);
    EXPECT_EQ(list.u32Num, 128u);
    Send(0);
    EXPECT_EQ(g_receives.load(), 128);
    // Freeing one place admits the next.
    MPP_CHN_S first = Ao(0, 0);
    ASSERT_EQ(SYS_UnBind(nullptr, &first), 0);
    EXPECT_EQ(SYS_Bind(&src, &extra), 0);
}

TEST_F(SysBindTest, SourcesNeverBoundOrEmptiedAreReportedApart) {
    MPP_BIND_DEST_S list;
    std::memset(&list, 0xAB, sizeof(list));
    MPP_CHN_S src = Adec(4);
    ASSERT_EQ(SYS_GetBindbySrc(&src, &list), 0);
    EXPECT_EQ(list.u32Num, 0u);
    EXPECT_EQ(list.astMppChn[127].s32ChnId, 0);
    EXPECT_EQ(Send(4), kErrPerm);

    MPP_CHN_S dst = Ao(0, 0);
    ASSERT_EQ(SYS_Bind(&src, &dst), 0);
    // Naming another source leaves the binding.
    MPP_CHN_S other = Adec(5);
    EXPECT_EQ(SYS_UnBind(&other, &dst), kErrPerm);
    MPP_CHN_S bound{};
    ASSERT_EQ(SYS_GetBindbyDest(&dst, &bound), 0);
    EXPECT_EQ(bound.s32ChnId, 4);
    ASSERT_EQ(SYS_UnBind(&src, &dst), 0);
    EXPECT_EQ(Send(4), kErrPerm);
    EXPECT_EQ(g_receives.load(), 0);
    // Unbinding again is a no-op.
    EXPECT_EQ(SYS_UnBind(nullptr, &dst), 0);
}

TEST_F(SysBindTest, ChannelCheckRefusesBadAddresses) {
    MPP_CHN_S goodSrc = Adec(0), goodDst = Ao(0, 0);
    struct Case {
        MPP_CHN_S src, dst;
        MK_S32 want;
    } cases[] = {
        {{MK_ID_ADEC, 1, 0}, goodDst, kErrParam},   // the decoder has one device
        {{MK_ID_ADEC, 0, 32}, goodDst, kErrParam},  // channel one past the count
        {{MK_ID_ADEC, -1, 0}, goodDst, kErrParam},  // negative ids compare as unsigned
        {{MK_ID_BUTT, 0, 0}, goodDst, kErrParam},  {{-1, 0, 0}, goodDst, kErrParam},
        {{MK_ID_AENC, 0, 0}, goodDst, kErrParam},  // not registered
        {goodSrc, {MK_ID_AO, 3, 0}, kErrParam},    {goodSrc, {MK_ID_AO, 0, -1}, kErrParam},
        {goodSrc, {MK_ID_ADEC, 0, 0}, kErrParam},  // not a receiver
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SYS_Bind(&c.src, &c.dst), c.want) << c.src.enModId << "," << c.dst.s32DevId;
    }
    EXPECT_EQ(SYS_Bind(nullptr, &goodDst), kErrNull);
    EXPECT_EQ(SYS_Bind(&goodSrc, nullptr), kErrNull);
    EXPECT_EQ(SYS_UnBind(&goodSrc, nullptr), kErrNull);
    MPP_CHN_S out;
    EXPECT_EQ(SYS_GetBindbyDest(&goodDst, nullptr), kErrNull);
    MPP_CHN_S badDst{MK_ID_AO, 5, 0};
    EXPECT_EQ(SYS_GetBindbyDest(&badDst, &out), kErrParam);
    MPP_BIND_DEST_S list;
    MPP_CHN_S badSrc{MK_ID_ADEC, 2, 0};
    EXPECT_EQ(SYS_GetBindbySrc(&badSrc, &list), kErrPerm);
    MPP_CHN_S hugeMod{1000, 0, 0};
    EXPECT_EQ(SYS_GetBindbySrc(&hugeMod, &list), kErrPerm);
    EXPECT_EQ(SYS_GetBindbySrc(nullptr, &list), kErrNull);
}

TEST_F(SysBindTest, SendDataRefusesCallerErrorsWithoutEndingTheProcess) {
    int data = 0;
    EXPECT_EQ(SYS_BIND_SendData(static_cast<MPP_MOD_ID>(MK_ID_BUTT), 0, 0, 0, MPP_DATA_AUDIO_FRAME, &data),
              kErrPerm);
    EXPECT_EQ(SYS_BIND_SendData(static_cast<MPP_MOD_ID>(-3), 0, 0, 0, MPP_DATA_AUDIO_FRAME, &data), kErrPerm);
    EXPECT_EQ(SYS_BIND_SendData(MK_ID_ADEC, 0, 0, 0, MPP_DATA_BUTT, &data), kErrParam);
    EXPECT_EQ(SYS_BIND_SendData(MK_ID_ADEC, 0, 0, 0, MPP_DATA_AUDIO_FRAME, nullptr), kErrNull);
    EXPECT_EQ(SYS_BIND_SendData(MK_ID_ADEC, 1, 0, 0, MPP_DATA_AUDIO_FRAME, &data), kErrPerm);
}

TEST_F(SysBindTest, RegistrationRefusesBadRecords) {
    BIND_SENDER_INFO_S again{MK_ID_ADEC, 1, 32, nullptr};
    EXPECT_EQ(SYS_BIND_RegisterSender(&again), kErrPerm);
    EXPECT_EQ(SYS_BIND_RegisterSender(nullptr), kErrNull);
    BIND_SENDER_INFO_S zero{MK_ID_AENC, 0, 4, nullptr};
    EXPECT_EQ(SYS_BIND_RegisterSender(&zero), kErrParam);
    BIND_SENDER_INFO_S badMod{static_cast<MPP_MOD_ID>(MK_ID_BUTT), 1, 1, nullptr};
    EXPECT_EQ(SYS_BIND_RegisterSender(&badMod), kErrParam);
    BIND_SENDER_INFO_S overflow{MK_ID_AENC, 0x10000, 0x10000, nullptr};
    EXPECT_EQ(SYS_BIND_RegisterSender(&overflow), kErrParam);
    BIND_RECEIVER_INFO_S noCallback{MK_ID_AI, 1, 1, nullptr, nullptr};
    EXPECT_EQ(SYS_BIND_RegisterReceiver(&noCallback), kErrNull);
    EXPECT_EQ(SYS_BIND_UnRegisterSender(MK_ID_AENC), kErrPerm);
    EXPECT_EQ(SYS_BIND_UnRegisterReceiver(static_cast<MPP_MOD_ID>(MK_ID_BUTT)), kErrParam);
}

TEST_F(SysBindTest, UnregisteringTheSenderUnbindsItsDestinations) {
    MPP_CHN_S src = Adec(2), dst = Ao(1, 3);
    ASSERT_EQ(SYS_Bind(&src, &dst), 0);
    ASSERT_EQ(SYS_BIND_UnRegisterSender(MK_ID_ADEC), 0);
    MPP_CHN_S back{};
    EXPECT_EQ(SYS_GetBindbyDest(&dst, &back), kErrParam);
    // The destination is free for the decoder's next registration, and unbinding it does not assert.
    EXPECT_EQ(SYS_UnBind(nullptr, &dst), 0);
    RegisterAdec(1, 32);
    MPP_CHN_S other = Adec(5);
    EXPECT_EQ(SYS_Bind(&other, &dst), 0);
    EXPECT_EQ(Send(5), 1 << 3);
}

TEST_F(SysBindTest, UnregisteringTheReceiverDropsItsChannelsFromSources) {
    MPP_CHN_S src = Adec(0), dst = Ao(0, 4);
    ASSERT_EQ(SYS_Bind(&src, &dst), 0);
    ASSERT_EQ(SYS_BIND_UnRegisterReceiver(MK_ID_AO), 0);
    EXPECT_EQ(Send(0), kErrPerm);  // no destination left
    RegisterAo(3, 20);
    // The new registration never bound channel 4: it gets nothing.
    EXPECT_EQ(Send(0), kErrPerm);
    EXPECT_EQ(g_receives.load(), 0);
    ASSERT_EQ(SYS_Bind(&src, &dst), 0);
    EXPECT_EQ(Send(0), 1 << 4);
    EXPECT_EQ(g_receives.load(), 1);
}

TEST_F(SysBindTest, RegisteringAgainWithOtherCountsRebuildsTheCache) {
    SYS_BIND_UnRegisterSender(MK_ID_ADEC);
    RegisterAdec(1, 2);
    MPP_CHN_S small = Adec(1), dst = Ao(0, 0);
    ASSERT_EQ(SYS_Bind(&small, &dst), 0);
    ASSERT_EQ(SYS_BIND_UnRegisterSender(MK_ID_ADEC), 0);
    RegisterAdec(1, 32);
    MPP_CHN_S big = Adec(31);
    ASSERT_EQ(SYS_Bind(&big, &dst), 0);
    EXPECT_EQ(Send(31), 1);
    MPP_BIND_DEST_S list;
    ASSERT_EQ(SYS_GetBindbySrc(&big, &list), 0);
    EXPECT_EQ(list.u32Num, 1u);
}

// Unbinds channel 1 of device 0 and binds 127 fresh destinations while a send is delivering.
MK_S32 ReceiveAndRebind(MK_S32 dev, MK_S32 chn, MK_U32 arg, MPP_DATA_TYPE_E type, MK_VOID* data) {
    if (chn == 0) {
        MPP_CHN_S victim = Ao(0, 1);
        SYS_UnBind(nullptr, &victim);
        MPP_CHN_S src = Adec(0);
        for (int i = 0; i < 20; ++i) {
            MPP_CHN_S d = Ao(2, i);
            SYS_Bind(&src, &d);
        }
    }
    return Receive(dev, chn, arg, type, data);
}

TEST_F(SysBindTest, SendWalksACopyThatReceiversMayChange) {
    SYS_BIND_UnRegisterReceiver(MK_ID_AO);
    BIND_RECEIVER_INFO_S info{MK_ID_AO, 3, 20, ReceiveAndRebind, nullptr};
    ASSERT_EQ(SYS_BIND_RegisterReceiver(&info), 0);
    MPP_CHN_S src = Adec(0), first = Ao(0, 0), second = Ao(0, 1), third = Ao(1, 2);
    ASSERT_EQ(SYS_Bind(&src, &first), 0);
    ASSERT_EQ(SYS_Bind(&src, &second), 0);
    ASSERT_EQ(SYS_Bind(&src, &third), 0);
    // The unbound second channel is skipped; the destinations bound meanwhile wait for the next send.
    EXPECT_EQ(Send(0), (1 << 0) | (1 << 2));
    ASSERT_EQ(g_log.size(), 2u);
    EXPECT_EQ(g_log[1].dev, 1);
    g_log.clear();
    Send(0);
    EXPECT_EQ(g_log.size(), 22u);
}

MPP_BIND_DEST_S g_changed;
int g_changes = 0;
MK_S32 BindChanged(MK_S32, MK_S32, MPP_BIND_DEST_S* list) {
    g_changed = *list;
    ++g_changes;
    return 0;
}
MPP_CHN_S g_unbound;
MK_S32 Unbound(MK_S32 dev, MK_S32 chn) {
    g_unbound = {0, dev, chn};
    return 0;
}

TEST_F(SysBindTest, ProcessingSourcesAreToldTheirListAndDecoderUnbindsTheReceiver) {
    BIND_SENDER_INFO_S vpss{MK_ID_VPSS, 4, 4, BindChanged};
    ASSERT_EQ(SYS_BIND_RegisterSender(&vpss), 0);
    BIND_SENDER_INFO_S vdec{MK_ID_VDEC, 1, 8, nullptr};
    ASSERT_EQ(SYS_BIND_RegisterSender(&vdec), 0);
    BIND_RECEIVER_INFO_S vo{MK_ID_VOU, 2, 8, Receive, Unbound};
    ASSERT_EQ(SYS_BIND_RegisterReceiver(&vo), 0);

    MPP_CHN_S grp{MK_ID_VPSS, 2, 1}, a{MK_ID_VOU, 0, 3}, b{MK_ID_VOU, 1, 4};
    ASSERT_EQ(SYS_Bind(&grp, &a), 0);
    ASSERT_EQ(SYS_Bind(&grp, &b), 0);
    EXPECT_EQ(g_changes, 2);
    ASSERT_EQ(g_changed.u32Num, 2u);
    EXPECT_EQ(g_changed.astMppChn[1].s32ChnId, 4);
    ASSERT_EQ(SYS_UnBind(nullptr, &a), 0);
    EXPECT_EQ(g_changes, 3);
    ASSERT_EQ(g_changed.u32Num, 1u);
    EXPECT_EQ(g_changed.astMppChn[0].s32DevId, 1);

    // A decoder source names device 0 whatever the caller says.
    MPP_CHN_S dec{MK_ID_VDEC, 0, 2};
    ASSERT_EQ(SYS_Bind(&dec, &a), 0);
    dec.s32DevId = 6;
    int frame = 0;
    EXPECT_EQ(SYS_BIND_SendData(MK_ID_VDEC, 9, 2, 0, MPP_DATA_AUDIO_FRAME, &frame), 1 << 3);
    MPP_BIND_DEST_S list;
    ASSERT_EQ(SYS_GetBindbySrc(&dec, &list), 0);
    EXPECT_EQ(dec.s32DevId, 0);
    EXPECT_EQ(list.u32Num, 1u);
    ASSERT_EQ(SYS_UnBind(nullptr, &a), 0);
    EXPECT_EQ(g_unbound.s32DevId, 0);
    EXPECT_EQ(g_unbound.s32ChnId, 3);

    SYS_BIND_UnRegisterSender(MK_ID_VPSS);
    SYS_BIND_UnRegisterSender(MK_ID_VDEC);
    SYS_BIND_UnRegisterReceiver(MK_ID_VOU);
}

TEST_F(SysBindTest, ExitAndInitCycleStartsClean) {
    MPP_CHN_S src = Adec(1), dst = Ao(2, 2);
    ASSERT_EQ(SYS_Bind(&src, &dst), 0);
    for (int cycle = 0; cycle < 3; ++cycle) {
        ASSERT_EQ(SYS_BIND_UnRegisterSender(MK_ID_ADEC), 0);
        ASSERT_EQ(SYS_BIND_UnRegisterReceiver(MK_ID_AO), 0);
        SYS_BIND_Exit();
        ASSERT_EQ(SYS_BIND_Init(), 0);
        RegisterAo(3, 20);
        RegisterAdec(1, 32);
        EXPECT_EQ(Send(1), kErrPerm) << "the table forgot the binding";
        ASSERT_EQ(SYS_Bind(&src, &dst), 0);
        g_receives = 0;
        EXPECT_EQ(Send(1), 1 << 2);
        EXPECT_EQ(g_receives.load(), 1);
    }
    // A sender still registered when the caches go keeps working.
    SYS_BIND_Exit();
    MPP_CHN_S other = Adec(7), dst2 = Ao(0, 9);
    EXPECT_EQ(SYS_Bind(&other, &dst2), 0);
    EXPECT_EQ(Send(7), 1 << 9);
}

std::atomic<int> g_stressReceives{0};
MK_S32 CountReceive(MK_S32, MK_S32, MK_U32, MPP_DATA_TYPE_E, MK_VOID*) {
    ++g_stressReceives;
    return 0;
}

TEST_F(SysBindTest, SendsRaceBindsAndUnbindsSafely) {
    SYS_BIND_UnRegisterReceiver(MK_ID_AO);
    BIND_RECEIVER_INFO_S info{MK_ID_AO, 3, 20, CountReceive, nullptr};
    ASSERT_EQ(SYS_BIND_RegisterReceiver(&info), 0);
    constexpr int kSources = 4;
    constexpr int kRounds = 2000;
    std::atomic<int> bindsDone{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kSources; ++t) {
        threads.emplace_back([t, &bindsDone] {
            MPP_CHN_S src = Adec(t);
            for (int r = 0; r < kRounds; ++r) {
                MPP_CHN_S dst = Ao(r % 3, (t * 5 + r) % 20);
                if (SYS_Bind(&src, &dst) == 0) {
                    MPP_CHN_S back{};
                    if (SYS_GetBindbyDest(&dst, &back) == 0) {
                        EXPECT_EQ(back.enModId, MK_ID_ADEC);
                    }
                    SYS_UnBind(&src, &dst);
                }
            }
            ++bindsDone;
        });
        threads.emplace_back([t, &bindsDone] {
            while (bindsDone.load() < kSources) {
                MK_S32 ret = Send(t);
                if (ret != 0) {
                    EXPECT_EQ(ret, kErrPerm);
                }
                MPP_BIND_DEST_S list;
                MPP_CHN_S src = Adec(t);
                ASSERT_EQ(SYS_GetBindbySrc(&src, &list), 0);
                ASSERT_LE(list.u32Num, 20u);
            }
        });
    }
    for (auto& th : threads) th.join();
    // Every binding was undone: each destination is free again.
    for (int d = 0; d < 3; ++d) {
        for (int c = 0; c < 20; ++c) {
            MPP_CHN_S dst = Ao(d, c), back;
            EXPECT_EQ(SYS_GetBindbyDest(&dst, &back), kErrParam);
        }
    }
}

}  // namespace
