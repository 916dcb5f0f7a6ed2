// varnelle-master: plays the master chip for a slave running on the same bus directory.
#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/host/clock.h"
#include "tools/varnelle-master/master_product.h"
#include "tools/varnelle-master/master_sim.h"

namespace {

const char kUsage[] =
    "usage: varnelle-master [options]\n"
    "  --bus DIR         bus directory (default $VARNELLE_BUS, else /dev/shm/varnelle)\n"
    "  --chip N          the slave's chip id (default 1)\n"
    "  --slaves N        serve N slaves at once, chips --chip to --chip + N - 1 (the product session only;\n"
    "                    default 1)\n"
    "  --wait S          how long to wait for the slave (default 30)\n"
    "  --duration S      how long the session runs after set-up (default 10 for the product\n"
    "                    session, else 5)\n"
    "  --out DIR         write the received streams to DIR/<ring>-chip<N>.bin, each H.264\n"
    "                    channel to DIR/venc-<chn>.h264 and each JPEG picture to\n"
    "                    DIR/jpeg-<chn>-<n>.jpg\n"
    "  --timeout MS      limit of each wait for a reply, an acknowledgement, a frame or a heartbeat,\n"
    "                    since the last one (default 3000)\n"
    "  --scenario NAME   product (the default: a product at work: every capture channel's main,\n"
    "                    sub and JPEG streams with titles, the inputs on the display, a clip played\n"
    "                    through every decoder slot into a playback window, motion and blind\n"
    "                    detection; then a summary), basic (set-up, time, rings, heartbeats), stream\n"
    "                    (basic plus each channel's main stream), burst (basic plus 2000 commands),\n"
    "                    idle (port map only, then heartbeats)\n"
    "  --clips DIR       where the product session makes its clips with ffmpeg (default: OUT/clips;\n"
    "                    without either, the decoder slots stay idle)\n"
    "  --font NAME       the title font, /data/Fonts/NAME.ttf on the slave (default DejaVuSans)\n"
    "  --script FILE     run FILE instead of a scenario; one step a line:\n"
    "                      setup [STD [W H]]   command 96, then 24 and 25\n"
    "                      time                the time (type 23)\n"
    "                      rings [VSIZE [JSIZE]]  rings in the master's RAM, commands 10 and 11\n"
    "                                          (once they exist: 10 and 11 again for them)\n"
    "                      capture CH          channel CH's input (92, 93, 87, 94) and main stream\n"
    "                                          (28, 31, 32, 30)\n"
    "                      format CH STREAM KIND RC SIZE QUALITY FPS FLAGS KBPS GOP\n"
    "                                          command 32 (GOP in seconds)\n"
    "                      idr CH STREAM       command 34, an I frame\n"
    "                      font NAME           a font name on the title port\n"
    "                      title CH INDEX SHOW X Y W H COLOUR BG MAIN SUB JPEG TEXT\n"
    "                                          a title text ('|' between lines) on the title port\n"
    "                      cmd CODE [WORD...]  a command with these payload words\n"
    "                      raw CODE LEN [WORD...]  a command of LEN payload bytes\n"
    "                      decode SLOT FILE [SEED]  an H.264 elementary stream through decoder\n"
    "                                          slot SLOT (commands 14, 55, 64, 16, 70), each\n"
    "                                          access unit in 1 to 3 fragments\n"
    "                      play|stop|resume|flush SLOT, pause SLOT [STILL], direction SLOT D\n"
    "                                          commands 70, 71, 72, 73, 74 and 69\n"
    "                      osd CH STREAM INDEX X Y W H [SHOW]  a title record (commands 57, 58)\n"
    "                      frames CH N [RESTARTS]  wait until the video ring's channel CH\n"
    "                                          started its sequence again RESTARTS times (default\n"
    "                                          0) and sent frame N - 1 since, each restart, then\n"
    "                                          each frame, within --timeout\n"
    "                      pictures CH N [RESTARTS]  the same for the JPEG ring\n"
    "                      restart             the master restarts: it drops what reaches it of its\n"
    "                                          rings until they are quiet, then reads them from\n"
    "                                          nothing; the next rings step sends 10 and 11 again\n"
    "                      sleep MS | heartbeats N\n"
    "  --quiet           no line per heartbeat or title\n"
    "A wait that ends without what it waited for says so in a line, and a script stops there. SIGINT or\n"
    "SIGTERM ends the tool at once with its summary. The tool exits with 1 when something did not come,\n"
    "a script stopped or a signal ended it, with 2 for a bad option, else with 0.\n";

void OnSignal(int) {
    varnelle::master::MasterSim::Interrupt();
}

void RunFor(const varnelle::master::MasterSim& sim, int seconds) {
    uint64_t end = varnelle::host::MonotonicMs() + static_cast<uint64_t>(seconds) * 1000;
    while (!sim.Interrupted() && varnelle::host::MonotonicMs() < end) usleep(20000);
}

// The summary's last lines, and the exit status: 1 when anything failed, did not come or was cut short.
int Outcome(varnelle::master::MasterSim& sim, int failures) {
    if (sim.Interrupted()) sim.Log("interrupted: the session ended early");
    if (sim.Missed() > 0) {
        sim.Log("%llu wait(s) ended without what they waited for",
                static_cast<unsigned long long>(sim.Missed()));
    }
    return failures == 0 && sim.Missed() == 0 && !sim.Interrupted() ? 0 : 1;
}

void PrintRing(varnelle::master::MasterSim& sim, const char* name) {
    varnelle::master::RingStats s = sim.Stats(name);
    sim.Log("%s ring: %llu bytes in %llu notices, %llu wraps, %llu sequence gaps, %llu bad notices", name,
            static_cast<unsigned long long>(s.bytes), static_cast<unsigned long long>(s.notices),
            static_cast<unsigned long long>(s.wraps), static_cast<unsigned long long>(s.seqGaps),
            static_cast<unsigned long long>(s.badNotices));
    varnelle::master::SplitStats split = sim.Split(name);
    if (split.records == 0 && split.badRecords == 0) return;
    sim.Log("%s ring: %llu frame records, %llu bad", name, static_cast<unsigned long long>(split.records),
            static_cast<unsigned long long>(split.badRecords));
    for (const auto& [chn, c] : split.channels) {
        sim.Log("  channel %u: %llu frames, %llu bytes, %llu key frames, %llu sequence gaps, %llu restarts, "
                "%llu time stamps not rising, first sequence %u",
                chn, static_cast<unsigned long long>(c.frames), static_cast<unsigned long long>(c.bytes),
                static_cast<unsigned long long>(c.keyFrames), static_cast<unsigned long long>(c.seqGaps),
                static_cast<unsigned long long>(c.seqRestarts), static_cast<unsigned long long>(c.ptsBackwards),
                c.firstSeq);
    }
}

}  // namespace

int main(int argc, char** argv) {
    varnelle::master::SimOptions opt;
    std::string scenario = "product";
    std::string script;
    varnelle::master::SessionOptions session;
    int waitS = 30;
    int durationS = -1;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s needs a value\n%s", a.c_str(), kUsage);
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--bus") {
            setenv("VARNELLE_BUS", value(), 1);
        } else if (a == "--chip") {
            opt.slaveChip = std::atoi(value());
        } else if (a == "--slaves") {
            opt.slaves = std::atoi(value());
        } else if (a == "--wait") {
            waitS = std::atoi(value());
        } else if (a == "--duration") {
            durationS = std::atoi(value());
        } else if (a == "--out") {
            opt.outDir = value();
        } else if (a == "--timeout") {
            opt.replyTimeoutMs = std::atoi(value());
        } else if (a == "--scenario") {
            scenario = value();
        } else if (a == "--script") {
            script = value();
        } else if (a == "--clips") {
            session.clipDir = value();
        } else if (a == "--font") {
            session.font = value();
        } else if (a == "--quiet") {
            opt.printBeats = false;
        } else if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else {
            std::fprintf(stderr, "unknown option %s\n%s", a.c_str(), kUsage);
            return 2;
        }
    }
    const bool product = script.empty() && scenario == "product";
    if (durationS == -1) durationS = product ? 10 : 5;
    if (opt.slaveChip < 1 || opt.slaves < 1 || opt.slaveChip + opt.slaves > 32 || (opt.slaves > 1 && !product) ||
        opt.replyTimeoutMs <= 0 || waitS <= 0 || durationS < 0) {
        std::fprintf(stderr, "bad option value\n%s", kUsage);
        return 2;
    }
    if (scenario != "product" && scenario != "basic" && scenario != "stream" && scenario != "burst" &&
        scenario != "idle") {
        std::fprintf(stderr, "unknown scenario %s\n%s", scenario.c_str(), kUsage);
        return 2;
    }
    varnelle::master::MasterSim sim(opt);
    if (sim.Open() != 0) return 1;
    // Only once the link exists: the handler ends its waits.
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    if (sim.ConnectSlave(waitS * 1000) != 0) return Outcome(sim, 1);
    sim.StartHeartbeats();
    std::thread timeThread(PcivHostTimeSyncThread, nullptr);

    int failures = 0;
    if (product) {
        if (session.clipDir.empty() && !opt.outDir.empty()) session.clipDir = opt.outDir + "/clips";
        session.durationS = durationS;
        std::vector<varnelle::master::SessionReport> reports;
        failures += varnelle::master::RunProductSessions(sim, session, &reports) != 0;
        sim.Stop();
        timeThread.join();
        for (const varnelle::master::SessionReport& r : reports) varnelle::master::PrintSessionReport(sim, r);
        return Outcome(sim, failures);
    }
    if (!script.empty()) {
        std::ifstream in(script);
        if (!in) {
            sim.Log("cannot read %s", script.c_str());
            failures = 1;
        } else if (int line = sim.RunScript(in); line != 0) {
            sim.Log("script stopped at line %d", line);
            failures = 1;
        }
    } else if (scenario != "idle") {
        if (sim.SendSetup() != 0) ++failures;
        std::istringstream in("rings\n");
        if (sim.RunScript(in) != 0) ++failures;
        if (scenario == "stream") {
            const SLAVE_SYS_PARAM_S& p = PcivHostGetState()->stSysParam;
            for (uint32_t c = p.u32ChnStart; c < p.u32ChnEnd && !sim.Interrupted(); ++c) sim.StartCapture(c);
        }
        if (scenario == "burst") {
            // Commands above the table are answered with result 0 and change nothing.
            int answered = 0;
            for (uint32_t i = 0; i < 2000 && !sim.Interrupted(); ++i)
                answered += sim.Command(200, &i, sizeof(i)) == 0;
            sim.Log("burst: %d of 2000 commands answered with result 0", answered);
            if (answered != 2000) ++failures;
        }
    }
    RunFor(sim, durationS);

    sim.Stop();
    timeThread.join();
    sim.Log("summary: %llu heartbeats", static_cast<unsigned long long>(sim.Heartbeats()));
    if (!script.empty() || scenario != "idle") {
        PrintRing(sim, "video");
        PrintRing(sim, "jpeg");
    }
    return Outcome(sim, failures);
}
