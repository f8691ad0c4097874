// CPU an open, synchronised and idle link costs: a TCP link to a silent peer left alone
// for 10 s, measured with getrusage. The "cpu_percent" counter is the process's user and
// system time over the wall time, in percent of one core (target <= 1).
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <thread>

#include "LinkEchoPeer.h"
#include "common/aLink.h"

namespace {

double _cpuSeconds()
{
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
}

void BM_IdleLinkCpu(benchmark::State& state)
{
    LinkEchoPeer peer;
    uint32_t link = aLink_CreateTCPIP(0x1D1E0001, LinkEchoPeer::loopback(), peer.port());
    if (link == 0 || aLink_Sync(link) != aErrNone) {
        state.SkipWithError("could not connect to the echo peer");
        return;
    }
    for (auto _ : state) {
        double cpuBefore = _cpuSeconds();
        auto wallBefore = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(10));
        double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
        double cpu = _cpuSeconds() - cpuBefore;
        state.SetIterationTime(wall);
        state.counters["cpu_percent"] = 100.0 * cpu / wall;
        state.counters["link_running"] = aLink_GetStatus(link) == LinkStatus::running;
    }
    aLink_Destroy(&link);
}

BENCHMARK(BM_IdleLinkCpu)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
