#include "app/pci/pciv_cmd.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "app/comm/app_log.h"

namespace {

constexpr const char* kSrc = "../pci/pciv_cmd.c";
// After a failed read: the channel is gone or broken, so back off instead of spinning.
constexpr useconds_t kReadRetryUs = 10000;

enum CmdKind : uint8_t {
    kNone,     // no handler: status 0
    kHandler,  // a module's handler
};

struct CmdSpec {
    CmdKind kind;
    bool fixedZero;  // answered with status 0 whatever the handler returns
};

// Codes 0 to 96. Codes without a handler run nothing and keep status 0.
constexpr CmdSpec MakeSpec(uint32_t code) {
    switch (code) {
        case 2: case 3: case 4: case 5: case 6: case 7: case 9: case 12: case 13: case 15: case 17:
        case 18: case 20: case 21: case 22: case 23: case 29: case 36: case 37: case 38: case 39:
        case 40: case 54: case 56: case 60: case 79:
            return {kNone, false};
        case 24: case 25: case 57:
            return {kHandler, true};
        default:
            return {kHandler, false};
    }
}

struct CmdTable {
    std::atomic<PcivCmdHandler> handlers[PCIV_CMD_COUNT] = {};
};

CmdTable& Table() {
    static auto* t = new CmdTable;
    return *t;
}

}  // namespace

bool PCIV_RegisterCmdHandler(uint32_t code, PcivCmdHandler handler) {
    if (code >= PCIV_CMD_COUNT || MakeSpec(code).kind != kHandler) return false;
    Table().handlers[code].store(handler);
    return true;
}

void PCIV_ClearCmdHandlers() {
    for (auto& h : Table().handlers) h.store(nullptr);
}

bool PCIV_CmdHasHandler(uint32_t code) {
    return code < PCIV_CMD_COUNT && Table().handlers[code].load() != nullptr;
}

bool PCIV_CmdIsAnswered(uint32_t type) {
    if (type == 35 || (type >= 41 && type <= 45) || (type >= 47 && type <= 53) || type == 55 ||
        (type >= 61 && type <= 78) || type == 80 || type == 81 || (type >= 83 && type <= 96)) {
        return false;
    }
    return true;
}

bool PCIV_RunCmd(PCIV_MSG_S* pMsg) {
    int32_t s32Status = 0;
    PcivCmdContext ctx;
    uint32_t code = pMsg->stMsgHead.u32MsgType;
    if (code < PCIV_CMD_COUNT) {
        CmdSpec spec = MakeSpec(code);
        if (spec.kind == kHandler) {
            PcivCmdHandler handler = Table().handlers[code].load();
            if (handler != nullptr) {
                s32Status = handler(pMsg, &ctx);
            } else {
                APP_ERR(kSrc, "command %u is unavailable on this slave\n", code);
                s32Status = -1;
            }
            if (spec.fixedZero) s32Status = 0;
        }
    }
    // The handler may have replaced the whole buffer (code 59): decide on what it holds now.
    if (!PCIV_CmdIsAnswered(pMsg->stMsgHead.u32MsgType)) return false;
    pMsg->stMsgHead.u32Target = 0;
    pMsg->stMsgHead.u32MsgType = PCIV_MSGTYPE_CMDECHO;
    pMsg->stMsgHead.u32MsgLen = ctx.u32ReplyLen;
    pMsg->stMsgHead.s32Result = s32Status;
    return true;
}

void* SlaveCmdThread(void*) {
    static PCIV_MSG_S s_stMsg;
    PCIV_MSG_S* pMsg = &s_stMsg;
    for (;;) {
        if (PCIV_ReadMsg(0, PCIV_MSGPORT_COMM, pMsg) != 0) {
            usleep(kReadRetryUs);
            continue;
        }
        // A short message must not hand its handler words left over from an earlier one.
        uint32_t len = pMsg->stMsgHead.u32MsgLen;
        std::memset(reinterpret_cast<uint8_t*>(pMsg->au32Payload) + len, 0, PCIV_MSG_MAXLEN - len);
        if (PCIV_RunCmd(pMsg)) PCIV_SendMsg(0, PCIV_MSGPORT_COMM, pMsg);
    }
    return nullptr;
}
