// A stand-in slave for the stream transport: chip 1 running only the slave's own stream sender. It
// pushes a deterministic byte stream of pseudo-random chunk sizes into the master's ring and exits
// once the master has acknowledged every notice. The media path that feeds the real sender in the
// program is not needed for the transport itself.
//   master_link_trans_peer RING_PHYS RING_SIZE TOTAL_BYTES MAX_CHUNK
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "app/pci/pciv_msg.h"
#include "app/pci/pciv_trans.h"
#include "platform/drivers/all/install.h"
#include "platform/host/clock.h"
#include "platform/mcc/mcc_driver.h"
#include "sdk/vb/mpi_vb.h"
#include "tests/master_link/trans_pattern.h"

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s RING_PHYS RING_SIZE TOTAL_BYTES MAX_CHUNK\n", argv[0]);
        return 2;
    }
    uint32_t ringPhys = static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 0));
    uint32_t ringSize = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 0));
    uint64_t total = std::strtoull(argv[3], nullptr, 0);
    uint32_t maxChunk = static_cast<uint32_t>(std::strtoul(argv[4], nullptr, 0));
    if (ringSize == 0 || maxChunk == 0 || maxChunk > ringSize / 2) return 2;

    varnelle::drivers::InstallAll();
    varnelle::mcc::InstallMccDriver(1);
    VB_CONF_S conf{};
    conf.u32MaxPoolCnt = 4;
    conf.astCommPool[0].u32BlkSize = ringSize;
    conf.astCommPool[0].u32BlkCnt = 2;
    if (MK_MPI_VB_SetConf(&conf) != 0 || MK_MPI_VB_Init() != 0) return 3;
    if (PCIV_WaitConnect(0) != 0) return 4;
    // Like the program, send nothing before the master's port map.
    if (PCIV_OpenMsgPort(0, PCIV_MSGPORT_COMM) != 0) return 5;
    PCIV_MSG_S msg;
    do {
        if (PCIV_ReadMsg(0, PCIV_MSGPORT_COMM, &msg) != 0) return 5;
    } while (msg.stMsgHead.u32MsgType != 86);
    PCIV_TRANS_PARAM_S param{0, 0, ringSize, ringPhys, 101, 102};
    if (PCIV_OpenMsgPort(0, 101) != 0 || PCIV_OpenMsgPort(0, 102) != 0) return 5;
    PCIV_TRANS_SENDER_S* sender = nullptr;
    if (PCIV_Trans_InitSender(&param, &sender) != 0) return 6;

    std::vector<uint8_t> chunk(maxChunk);
    varnelle::testing::ChunkSizes sizes(maxChunk);
    uint64_t sent = 0;
    uint64_t waits = 0;
    uint64_t t0 = varnelle::host::MonotonicUs();
    while (sent < total) {
        uint32_t len = sizes.Next();
        if (len > total - sent) len = static_cast<uint32_t>(total - sent);
        varnelle::testing::FillPattern(sent, chunk.data(), len);
        if (PCIV_Trans_WriteLocBuf(sender, chunk.data(), len) != 0) return 7;
        // Wait for the master to make room rather than fail the send.
        uint32_t off;
        while (Trans_GetWriteOffset(sender, len, &off) != 0) {
            ++waits;
            sched_yield();
        }
        if (PCIV_Trans_SendData(sender) != 0) return 8;
        sent += len;
    }
    uint64_t t1 = varnelle::host::MonotonicUs();
    // Done when the last notice is acknowledged.
    uint64_t deadline = varnelle::host::MonotonicMs() + 10000;
    while (sender->u32LastAck.load() + 1 != sender->u32Seq && varnelle::host::MonotonicMs() < deadline)
        usleep(1000);
    bool acked = sender->u32LastAck.load() + 1 == sender->u32Seq;
    std::printf("peer: sent %llu bytes in %u notices in %llu us, %llu waits for room, %s\n",
                static_cast<unsigned long long>(sent), sender->u32Seq.load(),
                static_cast<unsigned long long>(t1 - t0), static_cast<unsigned long long>(waits),
                acked ? "all acknowledged" : "acknowledgements missing");
    std::fflush(stdout);
    return acked ? 0 : 9;
}
