// Command 96 with hostile system parameters (any size up to a whole message, any product, channel
// range, decoder numbers and capability record), each followed by what a master does next: the proper
// set-up of a 4-input product, the capture of channel 0 and the decode slot 0 with one fragment. On a
// private bus with every media driver and a master (chip 0) in this process. Both stream senders run
// throughout, so every 96 renews their buffers. Whatever the parameters, nothing crashes and the proper
// set-up that follows brings capture, the video stream and decode back: the capture commands and the
// decode slot's start answer 0, a notice of the video ring comes, and the fragment is acknowledged.
// Command 85 is not sent: with a hostile product it waits for decoders by design.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/app_modules.h"
#include "app/dec/avdec_state.h"
#include "app/pci/pciv_cmd.h"
#include "app/pci/pciv_fuzz_slave.h"
#include "app/pci/pciv_msg.h"
#include "app/pci/pciv_proto.h"
#include "app/pci/pciv_slave.h"
#include "app/pci/pciv_test_master.h"
#include "sdk/sys/mpi_sys.h"

namespace {

constexpr uint32_t kWindowBytes = 64 * 1024;
constexpr uint32_t kVdecNotice = 105, kVdecAck = 106;
constexpr uint32_t kVideoNotice = 101, kVideoAck = 102, kJpegNotice = 103, kJpegAck = 104;
constexpr uint32_t kRingBytes = 1u << 20;

varnelle::testing::FakeMaster* g_master = nullptr;
uint32_t g_windowAddr = 0;  // as the master names it
uint8_t* g_window = nullptr;

// Runs one command keeping the reply rule; its result (0 for an unanswered one).
int32_t Run(uint32_t code, const void* pPayload, uint32_t len, PCIV_MSG_S* pOut = nullptr) {
    static PCIV_MSG_S msg;
    const bool answered = varnelle::testing::RunFuzzCmd(&msg, code, pPayload, len);
    if (pOut != nullptr) *pOut = msg;
    return answered ? msg.stMsgHead.s32Result : 0;
}

int32_t Run(uint32_t code, std::vector<uint32_t> words) {
    return Run(code, words.data(), static_cast<uint32_t>(4 * words.size()));
}

void Require(bool ok) {
    if (!ok) __builtin_trap();
}

void ProperSetUp() {
    const SLAVE_SYS_PARAM_S p = varnelle::testing::FuzzSysParams();
    Run(96, &p, sizeof(p));
    Require(Run(24, {0, 0}) == 0);
    Require(Run(25, {1280, 720}) == 0);
}

// Channel 0's input and main stream, as the master simulator starts them on product 656.
void Capture() {
    Run(92, {3, 0});
    Run(93, {12, 14, 0, 0});
    Require(Run(28, {0}) == 0);
    Require(Run(31, {0, 0}) == 0);
    Run(94, {12, 0});
    Run(87, {0, 2, 25});
    // Channel 0, main stream: constant bit rate, size code 14, 25 frames, enabled, 2048 kbit/s, GOP 2 s.
    const uint8_t format[20] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 14, 2, 25, 1, 0x00, 0x08, 2, 0, 0, 0};
    Require(Run(32, format, sizeof(format)) == 0);
    Require(Run(30, {0, 0}) == 0);
}

void Put32(std::vector<uint8_t>& p, uint32_t off, uint32_t v) {
    std::memcpy(&p[off], &v, 4);
}

// Decoder slot 0 on decode channel 0: its record (55, 64), the receiver (16), play (70), then one
// fragment through the window block, which must come back acknowledged.
void Decode() {
    Run(55, {0});
    std::vector<uint8_t> params(PLAY_PARAMS_LEN, 0);
    const uint32_t rec = 1992;
    Put32(params, rec + REC_CREATED, 1);
    Put32(params, rec + REC_PAYLOAD, AVDEC_PT_H264);
    Put32(params, rec + REC_VDEC_CHN, 0);
    Run(64, params.data(), PLAY_PARAMS_LEN);
    const uint32_t first = varnelle::testing::FuzzSysParams().u32FirstDecChn;
    Require(Run(16, {0, 0, kWindowBytes, g_windowAddr, kVdecNotice, kVdecAck, first}) == 0);
    Run(70, {0});
    // One fragment: the header and an access unit delimiter.
    PCIV_VdecFragHead head{};
    const uint8_t au[6] = {0, 0, 0, 1, 9, 0xF0};
    head.u32Chn = first;
    head.u32Last = 1;
    head.u32Len = sizeof(au);
    head.bEndOfFrame = 1;
    std::memcpy(g_window, &head, sizeof(head));
    std::memcpy(g_window + sizeof(head), au, sizeof(au));
    const PCIV_TRANS_NOTICE_S notice = {0, static_cast<uint32_t>(sizeof(head) + sizeof(au)), 0};
    Require(g_master->SendMsg(kVdecNotice, PCIV_MSGTYPE_NOTIFY, &notice, sizeof(notice)));
    varnelle::testing::FakeChip::Record ack;
    Require(g_master->Take(kVdecAck, &ack, std::chrono::seconds(10)));
    Require(ack.msg.stMsgHead.u32MsgType == PCIV_MSGTYPE_FREE && ack.msg.au32Payload[1] == notice.u32End);
}

// Takes the video ring's next notice, waiting up to `limit`, and acknowledges it as the master does.
bool TakeVideoNotice(std::chrono::milliseconds limit) {
    static uint32_t acked = 0;
    varnelle::testing::FakeChip::Record r;
    if (!g_master->Take(kVideoNotice, &r, limit)) return false;
    const PCIV_TRANS_NOTICE_S ack = {r.msg.au32Payload[0], r.msg.au32Payload[1], acked++};
    return g_master->SendMsg(kVideoAck, PCIV_MSGTYPE_FREE, &ack, sizeof(ack));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    varnelle::testing::StartFuzzSlave("fuzzsetup");
    g_master = new varnelle::testing::FakeMaster;
    if (!g_master->ok()) std::abort();
    AppRegisterModules();
    const std::vector<uint32_t> ports = varnelle::testing::MasterPortPlan();
    Run(86, ports.data(), static_cast<uint32_t>(4 * ports.size()));
    // The first set-up is a proper one: the capture size class is computed once, from it.
    ProperSetUp();
    // The stream senders, on rings in the master's RAM.
    if (Run(10, {0, 0, kRingBytes, 0x40100000, kVideoNotice, kVideoAck}) != 0) std::abort();
    if (Run(11, {0, 0, kRingBytes, 0x40300000, kJpegNotice, kJpegAck}) != 0) std::abort();
    // One window block for the decode slot, named by the master's address.
    PCIV_MSG_S reply;
    const uint32_t req[4] = {0, 0, kWindowBytes, 1};
    if (Run(14, req, sizeof(req), &reply) != 0) std::abort();
    g_windowAddr = reply.au32Payload[4];
    g_window = static_cast<uint8_t*>(MK_MPI_SYS_Mmap(g_windowAddr - PCIV_MASTER_WINDOW_OFFSET, kWindowBytes));
    if (g_window == nullptr) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const uint32_t len = size > PCIV_MSG_MAXLEN ? PCIV_MSG_MAXLEN : static_cast<uint32_t>(size);
    Run(96, data, len);
    ProperSetUp();
    // What the last input's capture sent before this set-up; nothing comes after it until new frames.
    while (TakeVideoNotice(std::chrono::milliseconds(50))) {
    }
    Capture();
    Require(TakeVideoNotice(std::chrono::seconds(10)));
    Decode();
    return 0;
}
