// "updater -U --all" on a production line of virtual modules over TCP/IP.
//
// BM_UpdateAll16: sixteen modules whose restart into the loader (and reboot)
// takes 0.5 s, updated by one "-U --all --jobs 16", and one of them updated
// alone ("-U -d"), in the same run; each figure the median of a few runs:
//   all_vs_one    the sixteen's wall time / one module's update    (goal <= 1.3)
//   cpu_per_wall  the updater's CPU time (user + system) / its wall time
//                 while it updates the sixteen                     (goal <= 0.5)
// "-U --all" must hear every module, so it always waits out the reply window of
// TCP/IP discovery (2 s after the last new answer), which "-U -d" ends at its
// module's answer. That share is measured apart ("-D -t TCPIP", discover_s):
//   updates_vs_one  (all_s - discover_s) / one_s: the updates themselves
//
// BM_UpdateAllRouted: 64 modules behind 4 routers (16 on each bus) and 8 reached
// directly, one "-U --all --json": every module must be updated, each router
// after the modules on its bus, and none lost (counted from the JSON document
// and the history). Counters: the wall time, the modules updated, and
// routers_last and none_lost (1 when they held).
//
// TCP/IP discovery multicasts on every interface: the whole benchmark re-runs
// itself in a private network namespace.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Figures.h"
#include "PrivateNetworkMain.h"
#include "QuietProcess.h"
#include "firmware/BirdWriter.h"
#include "sim/Text.h"
#include "support/CodeBytes.h"
#include "support/Process.h"
#include "support/TempDir.h"
#include "support/TextLines.h"
#include "support/VmoduleProcess.h"

namespace {

using json = nlohmann::json;
constexpr int RUNS = 3;
constexpr size_t FIRMWARE_BYTES = 16 * 1024;
const std::string NO_SERVER = "http://127.0.0.1:1/cgi/u";
const std::string PAUSES = ",load-pause-ms=500,reboot-pause-ms=500";
const std::string NEW_BUILD = ",new-version=2.16.0,new-build=1200";

// A generic image (the serial number goes in per module) of build 1200.
std::vector<uint8_t> _image(const char* model)
{
    BirdWriter writer;
    writer.AddLoader(0x20000000, testsupport::Code(600, 1))
        .AddFirmware(0x60000000, testsupport::Code(FIRMWARE_BYTES, 2))
        .AddOffsets(0x60000100, 0x60000200)
        .AddInfo(1200, "2.16.0", 0, model);
    return writer.FileBytes();
}

// A module reached directly (TCP/IP discovery on the private address) that restarts
// with the pauses of the benchmark and comes back with the new build.
void _add_direct_module(const std::string& serial, std::map<std::string, const char*>& models,
                        std::vector<std::string>& args)
{
    models[serial] = "MeterSerial";
    args.insert(args.end(), {"--module", "serial=" + serial + ",model=17,discovery=" + testsupport::kPrivateAddress +
                                             PAUSES + NEW_BUILD});
}

// Each module's newest build in the store, so that "-U --all" plans from the store alone.
// The updaters it starts take the discovery reply port under a lock file of the store's.
bool _store_builds(const testsupport::TempDir& store, const std::map<std::string, const char*>& models)
{
    setenv("UPDATER_DISCOVERY_LOCK", (store / "discovery.lock").c_str(), 1);
    for (const auto& [serial, model] : models) {
        std::error_code error;
        const std::string dir = store / ("updater/" + serial);
        std::filesystem::create_directories(dir, error);
        if (error || !BirdWriter::WriteBytes(dir + "/1200.bird", _image(model)))
            return false;
    }
    return true;
}

struct Timed {
    bool ok = false;
    double wall = 0;  // seconds
    double cpu = 0;   // user + system seconds of the updater
};

// Runs the updater with its output discarded; wall time and its own CPU time.
Timed _run_timed(const std::vector<std::string>& args)
{
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = bench::SpawnQuietly(args);
    Timed timed;
    if (pid < 0)
        return timed;
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    timed.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    timed.cpu = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    timed.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return timed;
}

void BM_UpdateAll16(benchmark::State& state)
{
    constexpr uint32_t FIRST = 0x5B000000;
    constexpr int MODULES = 16;
    testsupport::TempDir store;
    std::map<std::string, const char*> models;
    std::vector<std::string> args;
    for (int i = 0; i < MODULES; ++i) {
        const std::string serial = Sim::SerialText(FIRST + i);
        _add_direct_module(serial, models, args);
    }
    testsupport::VmoduleProcess modules;
    if (!_store_builds(store, models) || !modules.Start(args)) {
        state.SkipWithError(("cannot set up the modules: " + modules.Error()).c_str());
        return;
    }
    const std::string updater = testsupport::UpdaterPath();
    // --force: the modules run the build after the first run, and each run sends it again.
    const std::vector<std::string> all = {updater, "-i",    store.path(), "-U", "--all",
                                          "-t",    "TCPIP", "--jobs",     "16", "--force"};
    const std::vector<std::string> one = {
        updater, "-i", store.path(),           "-u", NO_SERVER,
        "-U",    "-d", Sim::SerialText(FIRST), "-f", store / ("updater/" + Sim::SerialText(FIRST) + "/1200.bird")};
    const std::vector<std::string> discover = {updater, "-i", store.path(), "-D", "-t", "TCPIP"};
    for (auto _ : state) {
        std::vector<double> alone, line, cpu, discovery;
        for (int run = 0; run < RUNS; ++run) {
            usleep(800000);  // back from the last reboot
            const Timed single = _run_timed(one);
            usleep(800000);
            const Timed batch = _run_timed(all);
            usleep(800000);
            const Timed listing = _run_timed(discover);
            if (!single.ok || !batch.ok || !listing.ok) {
                state.SkipWithError(!single.ok ? "-U -d failed" : !batch.ok ? "-U --all failed" : "-D failed");
                return;
            }
            alone.push_back(single.wall);
            line.push_back(batch.wall);
            cpu.push_back(batch.cpu / batch.wall);
            discovery.push_back(listing.wall);
        }
        state.counters["one_s"] = bench::Median(alone);
        state.counters["all_s"] = bench::Median(line);
        state.counters["discover_s"] = bench::Median(discovery);
        state.counters["all_vs_one"] = bench::Median(line) / bench::Median(alone);
        state.counters["updates_vs_one"] = (bench::Median(line) - bench::Median(discovery)) / bench::Median(alone);
        state.counters["cpu_per_wall"] = bench::Median(cpu);
    }
}

// The history's UTC time (2026-12-07T16:32:45.123Z) in seconds.
double _seconds_of(const std::string& time)
{
    tm parts{};
    double fraction = 0;
    if (!strptime(time.c_str(), "%Y-%m-%dT%H:%M:%S", &parts))
        return 0;
    sscanf(time.c_str() + 19, "%lf", &fraction);
    return double(timegm(&parts)) + fraction;
}

void BM_UpdateAllRouted(benchmark::State& state)
{
    constexpr int ROUTERS = 4, ON_EACH_BUS = 16, DIRECT = 8;
    testsupport::TempDir store;
    std::map<std::string, const char*> models;
    std::map<std::string, std::string> routerOf;  // a module on a bus -> its router
    std::vector<std::string> args;
    for (int r = 0; r < ROUTERS; ++r) {
        const std::string router = Sim::SerialText(0x0A000000 + r);
        models[router] = "Router2";
        args.insert(args.end(), {"--module", "serial=" + router + ",model=4,discovery=" + testsupport::kPrivateAddress +
                                                 PAUSES + NEW_BUILD});
        for (int m = 0; m < ON_EACH_BUS; ++m) {
            const std::string serial = Sim::SerialText(0x0B000000 + r * 0x100 + m);
            models[serial] = "MeterSerial";
            routerOf[serial] = router;
            args.insert(args.end(), {"--attach", "serial=" + serial + ",model=17,address=" + std::to_string(4 + 2 * m) +
                                                     PAUSES + NEW_BUILD});
        }
    }
    for (int d = 0; d < DIRECT; ++d) {
        const std::string serial = Sim::SerialText(0x5D000000 + d);
        _add_direct_module(serial, models, args);
    }
    testsupport::VmoduleProcess modules;
    if (!_store_builds(store, models) || !modules.Start(args)) {
        state.SkipWithError(("cannot set up the modules: " + modules.Error()).c_str());
        return;
    }
    for (auto _ : state) {
        testsupport::RunOptions options;
        options.kill_after_seconds = 600;
        const auto start = std::chrono::steady_clock::now();
        const testsupport::ProcessResult run = testsupport::RunProcess(
            {testsupport::UpdaterPath(), "-i", store.path(), "-U", "--all", "-t", "TCPIP", "--json"}, options);
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

        // None lost: every module in the document, updated, and one good record each.
        size_t updated = 0, listed = 0;
        const json document = json::parse(run.out, nullptr, false);
        if (document.is_object())
            for (const json& module : document["modules"]) {
                ++listed;
                updated += module["result"] == "updated" && models.count(module["serial"].get<std::string>());
            }
        std::map<std::string, std::pair<double, double>> span;  // serial -> start, end
        for (const std::string& line : testsupport::Lines(store.Read("updater/history.jsonl"))) {
            const json record = json::parse(line, nullptr, false);
            if (record.is_object() && record["result"] == "ok") {
                const double begin = _seconds_of(record["time"]);
                span[record["serial"]] = {begin, begin + record["seconds"].get<double>()};
            }
        }
        // Each router starts after the last module on its bus has ended.
        bool routersLast = span.size() == models.size();
        for (const auto& [serial, router] : routerOf)
            routersLast = routersLast && span.count(serial) && span[router].first >= span[serial].second;
        const bool noneLost =
            run.exit_status == 0 && listed == models.size() && updated == models.size() && span.size() == models.size();
        state.counters["wall_s"] = wall;
        state.counters["modules"] = double(models.size());
        state.counters["updated"] = double(updated);
        state.counters["routers_last"] = routersLast ? 1 : 0;
        state.counters["none_lost"] = noneLost ? 1 : 0;
        if (!noneLost || !routersLast)
            state.SkipWithError("a module was lost or a router was not last");
    }
}

BENCHMARK(BM_UpdateAll16)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_UpdateAllRouted)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv)
{
    return bench::RunBenchmarksInPrivateNetwork(argc, argv);
}
