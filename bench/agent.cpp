// updater-agent: one gateway for 32 virtual modules over TCP/IP, against the
// DDI server simulator.
//
// BM_AgentRollout32: every module given a deployment at once, then one
// "updater-agent --once --jobs 32"; the same with one module deployed. The
// modules restart into the loader (and reboot) in 0.5 s. Each figure the
// median of a few runs:
//   all_vs_one    the 32 modules' run / the one module's run         (goal <= 1.5)
//   all_closed    1 when every action of the 32 closed with success
//   one_update_s  one module updated alone by "updater -U -f", for scale
// Both agent runs discover the 32 modules and poll each of them: the ratio
// measures what the 32 updates add, pacing of the feedback included.
//
// BM_AgentIdle: the agent's CPU time (user + system) per wall time between
// polls, as a share of one core, measured over 20 s after its first round with
// a 60-s interval (goal <= 0.002), and over 30 s of rounds every 5 s (each with
// its discovery of the 32 modules) for scale.
//
// TCP/IP discovery multicasts on every interface: the whole benchmark re-runs
// itself in a private network namespace.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "Figures.h"
#include "PrivateNetworkMain.h"
#include "QuietProcess.h"
#include "firmware/BirdWriter.h"
#include "sim/Text.h"
#include "support/CodeBytes.h"
#include "support/PeerProcess.h"
#include "support/Process.h"
#include "support/TempDir.h"
#include "support/VmoduleProcess.h"

namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;
constexpr int RUNS = 3;
constexpr int MODULES = 32;
constexpr uint32_t FIRST = 0x5B000000;
const std::string PAUSES = ",load-pause-ms=500,reboot-pause-ms=500";
const std::string NEW_BUILD = ",new-version=2.16.0,new-build=1200";
const std::string TOKEN = "bench-token";

// The modules, the server and the agent's command line of one benchmark.
struct Rollout {
    testsupport::TempDir work, store;
    testsupport::VmoduleProcess modules;
    testsupport::PeerProcess server{UPDATER_BINARY_DIR "/sim/ddi-server"};
    std::string url;
    std::string error;

    bool Start()
    {
        setenv("UPDATER_DISCOVERY_LOCK", (work / "discovery.lock").c_str(), 1);
        BirdWriter writer;
        writer.AddLoader(0x20000000, testsupport::Code(600, 1))
            .AddFirmware(0x60000000, testsupport::Code(16 * 1024, 2))
            .AddOffsets(0x60000100, 0x60000200)
            .AddInfo(1200, "2.16.0", 0, "MeterSerial");
        std::filesystem::create_directories(work / "artifacts");
        if (!BirdWriter::WriteBytes(work / "artifacts/meter.bird", writer.FileBytes()))
            return Fail("cannot write the image");
        work.Write("token", TOKEN);
        std::vector<std::string> args;
        for (int i = 0; i < MODULES; ++i)
            args.insert(args.end(), {"--module", "serial=" + Sim::SerialText(FIRST + i) + ",model=17,discovery=" +
                                                     testsupport::kPrivateAddress + PAUSES + NEW_BUILD});
        if (!modules.Start(args))
            return Fail("modules: " + modules.Error());
        server.Launch(
            {"--artifacts", work / "artifacts", "--gateway-token-file", work / "token", "--sleep", "00:00:05"});
        server.AwaitReady(1000);
        url = server.Lines().empty() ? "" : server.Lines()[0];
        return url.empty() ? Fail("no DDI server: " + server.Stderr()) : true;
    }

    bool Fail(const std::string& why)
    {
        error = why;
        return false;
    }

    std::vector<std::string> Agent(const std::vector<std::string>& extra) const
    {
        std::vector<std::string> argv = {UPDATER_BINARY_DIR "/agent/updater-agent",
                                         "--server",
                                         url,
                                         "--tenant",
                                         "DEFAULT",
                                         "--gateway-token-file",
                                         work / "token",
                                         "-t",
                                         "TCPIP",
                                         "-i",
                                         store.path()};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return argv;
    }

    json Lab(const std::string& what, const std::string& body = "") const
    {
        std::vector<std::string> argv = {"curl", "-s", url + "/sim/" + what};
        if (!body.empty())
            argv.insert(argv.end(), {"-H", "Content-Type: application/json", "-d", body});
        return json::parse(testsupport::RunProcess(argv).out, nullptr, false);
    }

    void Deploy(int count) const
    {
        for (int i = 0; i < count; ++i)
            Lab("deploy", json{{"controllerId", Sim::SerialText(FIRST + i)}, {"file", "meter.bird"}}.dump());
    }

    // The actions closed with success since the run began (the first `before` are older).
    size_t Succeeded(size_t before) const
    {
        const json actions = Lab("actions");
        size_t count = 0;
        for (size_t i = before; actions.is_array() && i < actions.size(); ++i)
            count += actions[i].value("result", "") == "success";
        return count;
    }

    size_t Actions() const
    {
        const json actions = Lab("actions");
        return actions.is_array() ? actions.size() : 0;
    }
};

// Runs the program with its output discarded; wall seconds, or -1 when it failed.
double _wall(const std::vector<std::string>& args)
{
    const auto start = Clock::now();
    if (!bench::RunQuietly(args))
        return -1;
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The CPU seconds (user + system) a running process has used.
double _cpu_seconds(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t end = text.rfind(')');
    if (end == std::string::npos)
        return -1;
    std::vector<std::string> fields;
    std::string field;
    for (char c : text.substr(end + 2)) {
        if (c == ' ') {
            fields.push_back(field);
            field.clear();
        } else {
            field += c;
        }
    }
    // utime and stime are fields 14 and 15 of the line, 12 and 13 after the name.
    if (fields.size() < 13)
        return -1;
    return double(std::stoull(fields[11]) + std::stoull(fields[12])) / double(sysconf(_SC_CLK_TCK));
}

void BM_AgentRollout32(benchmark::State& state)
{
    Rollout rollout;
    if (!rollout.Start()) {
        state.SkipWithError(rollout.error.c_str());
        return;
    }
    const std::vector<std::string> single = {testsupport::UpdaterPath(),
                                             "-i",
                                             rollout.store.path(),
                                             "-u",
                                             "http://127.0.0.1:1/cgi/u",
                                             "-U",
                                             "-d",
                                             Sim::SerialText(FIRST + MODULES - 1),
                                             "-f",
                                             rollout.work / "artifacts/meter.bird"};
    for (auto _ : state) {
        std::vector<double> one, all, alone;
        bool closed = true;
        for (int run = 0; run < RUNS; ++run) {
            usleep(800000);  // back from the last reboot
            rollout.Deploy(1);
            one.push_back(_wall(rollout.Agent({"--once", "--jobs", "32"})));
            usleep(800000);
            const size_t before = rollout.Actions();
            rollout.Deploy(MODULES);
            all.push_back(_wall(rollout.Agent({"--once", "--jobs", "32"})));
            closed = closed && rollout.Succeeded(before) == MODULES;
            usleep(800000);
            alone.push_back(_wall(single));
            if (one.back() < 0 || all.back() < 0 || alone.back() < 0) {
                state.SkipWithError("a run failed");
                return;
            }
        }
        state.counters["one_s"] = bench::Median(one);
        state.counters["all_s"] = bench::Median(all);
        state.counters["all_vs_one"] = bench::Median(all) / bench::Median(one);
        state.counters["one_update_s"] = bench::Median(alone);
        state.counters["all_closed"] = closed ? 1 : 0;
        if (!closed)
            state.SkipWithError("not every action closed with success");
    }
}

// The agent's CPU share over `window` seconds, after `settle` seconds of its run.
double _cpu_share(const Rollout& rollout, const std::string& poll, int settle, int window)
{
    const pid_t pid = bench::SpawnQuietly(rollout.Agent({"--poll", poll}));
    if (pid < 0)
        return -1;
    std::this_thread::sleep_for(std::chrono::seconds(settle));
    const double before = _cpu_seconds(pid);
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(window));
    const double used = _cpu_seconds(pid) - before;
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    return before < 0 ? -1 : used / wall;
}

void BM_AgentIdle(benchmark::State& state)
{
    Rollout rollout;
    if (!rollout.Start()) {
        state.SkipWithError(rollout.error.c_str());
        return;
    }
    for (auto _ : state) {
        // The first round discovers and polls the 32 modules; the next is a minute away.
        state.counters["idle_cpu_share"] = _cpu_share(rollout, "60", 8, 20);
        state.counters["polling_cpu_share"] = _cpu_share(rollout, "5", 8, 30);
    }
}

BENCHMARK(BM_AgentRollout32)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_AgentIdle)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv)
{
    return bench::RunBenchmarksInPrivateNetwork(argc, argv);
}
