// The whole chip at work: the program driven by the master simulator's default session (this process
// is the master), as the run command shows it, for --seconds (default 30). With --slaves N the one
// master drives N programs, chips 1 to N, at once, as the recorder does. Reported per program: cores
// used, by thread group, and resident memory, sampled from /proc over the session's time; per stream
// the frames delivered against those due at its rate; the latency from a frame's time stamp to its
// arrival at the master; the heartbeat period as the master sees it; the screens the display composed
// per second (from its trace); the decode fragments acknowledged against those fed.
//   whole_chip_bench [--slaves N] [--seconds S] [Google Benchmark flags]
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/host/clock.h"
#include "tests/master_link/slave_process.h"
#include "tools/varnelle-master/master_product.h"
#include "tools/varnelle-master/master_sim.h"

namespace {

namespace fs = std::filesystem;
using varnelle::master::SessionReport;

int g_slaves = 1;
int g_seconds = 30;

// CPU ticks of a process's threads, by thread group (the name without its trailing number).
std::map<std::string, uint64_t> ThreadTicks(pid_t pid) {
    std::map<std::string, uint64_t> ticks;
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    std::error_code ec;
    for (const auto& t : fs::directory_iterator(dir, ec)) {
        std::ifstream in(t.path() / "stat");
        std::string st((std::istreambuf_iterator<char>(in)), {});
        const size_t open = st.find('('), close = st.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        std::string name = st.substr(open + 1, close - open - 1);
        while (!name.empty() && (std::isdigit(static_cast<unsigned char>(name.back())) || name.back() == '-')) {
            name.pop_back();
        }
        std::istringstream f(st.substr(close + 2));
        std::string field;
        uint64_t utime = 0, stime = 0;
        for (int i = 0; i < 13 && f >> field; ++i) {
            if (i == 11) utime = std::strtoull(field.c_str(), nullptr, 10);
            if (i == 12) stime = std::strtoull(field.c_str(), nullptr, 10);
        }
        ticks[name.empty() ? "?" : name] += utime + stime;
    }
    return ticks;
}

// A line of /proc/<pid>/status in kB ("VmRSS", "VmHWM").
double StatusKb(pid_t pid, const char* key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(key, 0) == 0) return std::strtod(line.c_str() + std::strlen(key) + 1, nullptr);
    }
    return 0;
}

std::string LoadAvg() {
    std::ifstream in("/proc/loadavg");
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " " + b + " " + c;
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5))];
}

// Screens device 0 composed so far, from the display's trace (0 when it wrote none).
double ScreensComposed(const std::string& traceDir) {
    std::ifstream in(traceDir + "/display-0.txt");
    double n = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("screens ", 0) == 0) n = std::strtod(line.c_str() + 8, nullptr);
    }
    return n;
}

void BM_WholeChip(benchmark::State& state) {
    for (auto _ : state) {
        const std::string bus = varnelle::testing::MakePrivateBus("whole");
        if (bus.empty()) {
            state.SkipWithError("no bus");
            return;
        }
        ::setenv("VARNELLE_ROOT", varnelle::testing::MakeSlaveRoot(bus).c_str(), 1);
        std::vector<std::unique_ptr<varnelle::testing::SlaveProcess>> slaves;
        bool up = true;
        for (int c = 1; c <= g_slaves; ++c) {
            const std::string trace = bus + "/trace-" + std::to_string(c);
            fs::create_directories(trace);
            ::setenv("VARNELLE_TRACE", trace.c_str(), 1);
            slaves.push_back(std::make_unique<varnelle::testing::SlaveProcess>());
            up = up && slaves.back()->Start(VARNELLE_PROGRAM, bus, bus + "/slave-" + std::to_string(c) + ".log", c);
        }
        ::unsetenv("VARNELLE_TRACE");
        std::ostringstream log;
        varnelle::master::SimOptions opt;
        opt.slaves = g_slaves;
        opt.outDir = bus + "/out";
        opt.printBeats = false;
        opt.replyTimeoutMs = 10000;
        opt.log = &log;
        auto sim = std::make_unique<varnelle::master::MasterSim>(opt);
        if (!up || sim->Open() != 0 || sim->ConnectSlave(20000) != 0) {
            state.SkipWithError("the slaves did not come up");
            varnelle::testing::RemoveBus(bus);
            return;
        }
        sim->StartHeartbeats();
        const std::string loadBefore = LoadAvg();
        std::vector<std::map<std::string, uint64_t>> ticks0(slaves.size());
        std::vector<double> screens0(slaves.size());
        uint64_t t0 = 0;
        varnelle::master::SessionOptions so;
        so.durationS = g_seconds;
        so.clipDir = bus + "/clips";
        so.running = [&] {
            for (size_t i = 0; i < slaves.size(); ++i) {
                ticks0[i] = ThreadTicks(slaves[i]->pid());
                screens0[i] = ScreensComposed(bus + "/trace-" + std::to_string(i + 1));
            }
            t0 = varnelle::host::MonotonicUs();
        };
        std::vector<SessionReport> reports;
        const int ret = varnelle::master::RunProductSessions(*sim, so, &reports);
        const double secs = static_cast<double>(varnelle::host::MonotonicUs() - t0) / 1e6;
        const double hz = static_cast<double>(sysconf(_SC_CLK_TCK));

        std::printf("\n== whole chip: %d slave(s), %.1f s at work, load %s before, %s after\n", g_slaves, secs,
                    loadBefore.c_str(), LoadAvg().c_str());
        double cores = 0, rss = 0, screens = 0, minRatio = 1e9, lost = 0, gaps = 0, fed = 0, acked = 0;
        std::vector<double> latency, beats99, beatsMax, beats50;
        for (size_t i = 0; i < slaves.size(); ++i) {
            const pid_t pid = slaves[i]->pid();
            std::map<std::string, uint64_t> t1 = ThreadTicks(pid);
            double total = 0;
            std::vector<std::pair<double, std::string>> groups;
            for (const auto& [name, v] : t1) {
                const double c = static_cast<double>(v - std::min(v, ticks0[i][name])) / hz / secs;
                total += c;
                groups.emplace_back(c, name);
            }
            std::sort(groups.rbegin(), groups.rend());
            const double kb = StatusKb(pid, "VmRSS:");
            const double sps = (ScreensComposed(bus + "/trace-" + std::to_string(i + 1)) - screens0[i]) / secs;
            std::printf("-- chip %zu: %.2f cores, resident %.0f MiB (peak %.0f), %.1f screens/s on device 0\n   ", i + 1,
                        total, kb / 1024, StatusKb(pid, "VmHWM:") / 1024, sps);
            for (const auto& [c, name] : groups) {
                if (c >= 0.005) std::printf(" %s %.3f", name.c_str(), c);
            }
            std::printf("\n");
            cores += total;
            rss += kb / 1024;
            screens += sps;
            if (i >= reports.size()) continue;
            const SessionReport& r = reports[i];
            for (const auto& s : r.streams) {
                if (s.type == 4) continue;
                const double ratio = s.due > 0 ? static_cast<double>(s.frames) / s.due : 0;
                minRatio = std::min(minRatio, ratio);
                lost += std::max(0.0, s.due - static_cast<double>(s.frames) - 1);
                gaps += static_cast<double>(s.seqGaps);
                for (uint64_t us : s.latencyUs) latency.push_back(static_cast<double>(us) / 1000.0);
                std::printf("   channel %u %s: %llu of %.0f frames due, %.0f kbit/s\n", s.chn, s.type == 0 ? "main" : "sub",
                            static_cast<unsigned long long>(s.frames), s.due,
                            s.seconds > 0 ? static_cast<double>(s.bytes) * 8 / 1000 / s.seconds : 0.0);
            }
            for (const auto& sl : r.slots) {
                fed += static_cast<double>(sl.fragments);
                acked += static_cast<double>(sl.acked);
            }
            beats50.push_back(r.beatP50Ms);
            beats99.push_back(r.beatP99Ms);
            beatsMax.push_back(r.beatMaxMs);
            for (const std::string& p : r.problems) std::printf("   refused: %s\n", p.c_str());
        }
        sim->Stop();
        for (auto& s : slaves) s->Kill();
        if (ret != 0) state.SkipWithError("the session failed");
        state.SetIterationTime(secs > 0 ? secs : 1e-9);
        const double n = static_cast<double>(slaves.size());
        state.counters["slaves"] = n;
        state.counters["cores_per_slave"] = cores / n;
        state.counters["cores"] = cores;
        state.counters["rss_MiB_per_slave"] = rss / n;
        state.counters["delivered_min"] = minRatio;
        state.counters["frames_lost"] = lost;
        state.counters["seq_gaps"] = gaps;
        state.counters["latency_p50_ms"] = Percentile(latency, 0.5);
        state.counters["latency_p99_ms"] = Percentile(latency, 0.99);
        state.counters["beat_p50_ms"] = *std::max_element(beats50.begin(), beats50.end());
        state.counters["beat_p99_ms"] = *std::max_element(beats99.begin(), beats99.end());
        state.counters["beat_max_ms"] = *std::max_element(beatsMax.begin(), beatsMax.end());
        state.counters["screens_per_s"] = screens / n;
        state.counters["acked_of_fed"] = fed > 0 ? acked / fed : 0;
        ::unsetenv("VARNELLE_ROOT");
        varnelle::testing::RemoveBus(bus);
    }
}
BENCHMARK(BM_WholeChip)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
    // Our own flags first; the rest are Google Benchmark's.
    std::vector<char*> rest = {argv[0]};
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if ((a == "--slaves" || a == "--seconds") && i + 1 < argc) {
            (a == "--slaves" ? g_slaves : g_seconds) = std::max(1, std::atoi(argv[++i]));
        } else {
            rest.push_back(argv[i]);
        }
    }
    int n = static_cast<int>(rest.size());
    benchmark::Initialize(&n, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
