// Binding wrappers: each builds the two channel addresses (module, device, channel) of one pair of
// modules the program connects and binds or unbinds them. 0, or -1 after a printed line, unless
// said otherwise. Commands 41 to 44 and 94 reach five of them. No state, no lock: any thread.
#pragma once

#include <cstdint>

int32_t Comm_ViBindVpss(int32_t s32ViChn, int32_t s32Grp);
int32_t Comm_ViUnBindVpss(int32_t s32ViChn, int32_t s32Grp);
int32_t Comm_VoBindVpss(int32_t s32VoLayer, int32_t s32VoChn, int32_t s32Grp, int32_t s32GrpChn);
int32_t Comm_VoUnBindVpss(int32_t s32VoLayer, int32_t s32VoChn, int32_t s32Grp, int32_t s32GrpChn);
// The bind's or unbind's own result, nothing printed.
int32_t Comm_ViBindVo(int32_t s32VoLayer, int32_t s32VoChn, int32_t s32ViChn);
// Unbinds whatever feeds the display channel, by the destination alone.
int32_t Comm_ViUnBindVo(int32_t s32VoLayer, int32_t s32VoChn);
int32_t Comm_VencBindVpss(int32_t s32VencChn, int32_t s32Grp, int32_t s32GrpChn);
int32_t Comm_VencUnBindVpss(int32_t s32VencChn, int32_t s32Grp, int32_t s32GrpChn);
int32_t Comm_VdecBindVpss(int32_t s32VdChn, int32_t s32Grp);
int32_t Comm_VdecUnBindVpss(int32_t s32VdChn, int32_t s32Grp);
int32_t Comm_VdecBindVo(int32_t s32VdChn, int32_t s32VoLayer, int32_t s32VoChn);
int32_t Comm_VdecUnBindVo(int32_t s32VdChn, int32_t s32VoLayer, int32_t s32VoChn);
int32_t Comm_AencBindAi(int32_t s32AiDev, int32_t s32AiChn, int32_t s32AencChn);
int32_t Comm_AencUnBindAi(int32_t s32AiDev, int32_t s32AiChn, int32_t s32AencChn);
int32_t Comm_AoBindAdec(int32_t s32AoDev, int32_t s32AoChn, int32_t s32AdChn);
int32_t Comm_AoUnBindAdec(int32_t s32AoDev, int32_t s32AoChn, int32_t s32AdChn);
int32_t Comm_AoBindAi(int32_t s32AoDev, int32_t s32AoChn, int32_t s32AiChn);
// Unbinds the source bound to the output channel; -1 without unbinding when there is none.
int32_t Comm_AoUnBind(int32_t s32AoDev, int32_t s32AoChn);

// 1 when capture channel s32ViChn feeds processing group s32Grp, else 0 (also when nothing does).
int32_t Comm_ViIsBindVpss(int32_t s32ViChn, int32_t s32Grp);
int32_t Comm_ReturnZero();
