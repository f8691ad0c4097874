// How soon a station ("updater -U --watch") starts on a module that appears.
//
// BM_StationUsb: modules plugged one after another on the emulated USB bus;
// for each, the time from its plug to the station's "updating" line, which it
// prints just before the update starts (a look at the bus, query, plan). The
// emulation's hot-plug events do not reach the station's process, so it looks
// every 250 ms (UPDATER_USB_POLL_MS) here. Counters: detect_s (median),
// detect_max_s, limit_s (1 s).
//
// BM_StationTcpip: virtual modules switched on while a station discovers every
// 2 s ("-t TCPIP --interval 2"); from the module's "ready" to the "updating"
// line. Counters as above, limit_s = the interval + 1 s.
//
// TCP/IP discovery multicasts on every interface: the whole benchmark re-runs
// itself in a private network namespace.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Figures.h"
#include "PrivateNetworkMain.h"
#include "common/aVersion.h"
#include "firmware/BirdWriter.h"
#include "sim/Text.h"
#include "sim/usb/UsbModuleHost.h"
#include "support/CodeBytes.h"
#include "support/Process.h"
#include "support/TempDir.h"
#include "support/VmoduleProcess.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int MODULES = 5;
constexpr unsigned INTERVAL_S = 2;

// Every module's image of build 1300 in the store.
void _store_builds(const std::string& store, uint32_t first)
{
    BirdWriter writer;
    writer.AddLoader(0x20000000, testsupport::Code(600, 1))
        .AddFirmware(0x60000000, testsupport::Code(4096, 2))
        .AddOffsets(0x60000100, 0x60000200)
        .AddInfo(1300, "2.16.1", 0, "MeterSerial");
    for (int i = 0; i < MODULES; ++i) {
        const std::string dir = store + "/updater/" + Sim::SerialText(first + i);
        std::filesystem::create_directories(dir);
        BirdWriter::WriteBytes(dir + "/1300.bird", writer.FileBytes());
    }
}

// The station as a child whose standard output this process reads line by line.
class StationProcess {
public:
    StationProcess(const std::vector<std::string>& args, const std::map<std::string, std::string>& extra)
    {
        std::vector<std::string> env;
        for (char** entry = environ; *entry; ++entry)
            env.emplace_back(*entry);
        for (const auto& [name, value] : extra)
            env.push_back(name + "=" + value);
        std::vector<char*> envp, argv;
        for (std::string& entry : env)
            envp.push_back(entry.data());
        envp.push_back(nullptr);
        std::vector<std::string> copy = args;
        for (std::string& arg : copy)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        int pipe_fds[2];
        if (pipe(pipe_fds) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(pipe_fds[1]);
        out_ = pipe_fds[0];
    }
    ~StationProcess()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0)
            close(out_);
    }

    // Waits (at most 60 s) for a line holding `text`; the time it was read.
    bool Await(const std::string& text, Clock::time_point& when)
    {
        const auto end = Clock::now() + std::chrono::seconds(60);
        while (Clock::now() < end) {
            size_t at = buffer_.find(text);
            if (at != std::string::npos) {
                buffer_.erase(0, at + text.size());
                when = seen_;
                return true;
            }
            pollfd ready{out_, POLLIN, 0};
            if (poll(&ready, 1, 100) <= 0)
                continue;
            char bytes[4096];
            const ssize_t got = read(out_, bytes, sizeof bytes);
            if (got <= 0)
                return false;
            seen_ = Clock::now();
            buffer_.append(bytes, size_t(got));
        }
        return false;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffer_;
    Clock::time_point seen_;
};

void _report(benchmark::State& state, const std::vector<double>& delays, double limit)
{
    if (delays.size() != MODULES) {
        state.SkipWithError("a module was not picked up");
        return;
    }
    state.counters["detect_s"] = bench::Median(delays);
    state.counters["detect_max_s"] = *std::max_element(delays.begin(), delays.end());
    state.counters["limit_s"] = limit;
}

void BM_StationUsb(benchmark::State& state)
{
    const uint32_t first = 0x5B000100;
    std::vector<double> delays;
    for (auto _ : state) {
        testsupport::TempDir store;
        _store_builds(store.path(), first);
        usbemu::UsbEmulation emulation;
        // The emulated bus's hot-plug events reach the emulating process only:
        // the station looks at the bus every 250 ms instead.
        std::map<std::string, std::string> env = emulation.childEnvironment();
        env["UPDATER_USB_POLL_MS"] = "250";
        StationProcess station({testsupport::UpdaterPath(), "-i", store.path(), "-U", "--watch"}, env);
        Clock::time_point seen;
        if (!station.Await("Station watching", seen))
            break;
        std::vector<std::unique_ptr<usbemu::UsbModuleHost>> hosts;
        for (int i = 0; i < MODULES; ++i) {
            Sim::ModuleConfig config;
            config.serialNumber = first + i;
            config.model = 17;
            config.version = aVersion_Pack(2, 15, 0);
            config.build = 1000;
            config.newVersion = aVersion_Pack(2, 16, 1);
            config.newBuild = 1300;
            config.loadPauseMs = 200;
            config.rebootPauseMs = 200;
            const auto plugged = Clock::now();
            hosts.push_back(
                std::make_unique<usbemu::UsbModuleHost>(emulation, std::make_shared<Sim::VirtualModule>(config)));
            if (!station.Await(Sim::SerialText(first + i) + " updating", seen))
                break;
            delays.push_back(std::chrono::duration<double>(seen - plugged).count());
            station.Await(Sim::SerialText(first + i) + " updated", seen);
        }
    }
    _report(state, delays, 1.0);
}

void BM_StationTcpip(benchmark::State& state)
{
    const uint32_t first = 0x5B000200;
    std::vector<double> delays;
    for (auto _ : state) {
        testsupport::TempDir store;
        _store_builds(store.path(), first);
        setenv("UPDATER_DISCOVERY_LOCK", (store.path() + "/discovery.lock").c_str(), 1);
        StationProcess station({testsupport::UpdaterPath(), "-i", store.path(), "-U", "--watch", "-t", "TCPIP",
                                "--interval", std::to_string(INTERVAL_S)},
                               {});
        Clock::time_point seen;
        if (!station.Await("Station watching", seen))
            break;
        std::vector<std::unique_ptr<testsupport::VmoduleProcess>> modules;
        for (int i = 0; i < MODULES; ++i) {
            // Switched on at a different moment of the station's cycle each time.
            usleep(useconds_t(300000 + 370000 * i));
            modules.push_back(std::make_unique<testsupport::VmoduleProcess>());
            if (!modules.back()->Start({"--module", "serial=" + Sim::SerialText(first + i) +
                                                        ",model=17,discovery=192.0.2.1,version=2.15.0,build=1000,"
                                                        "new-version=2.16.1,new-build=1300,load-pause-ms=200,"
                                                        "reboot-pause-ms=200"}))
                break;
            const auto on = Clock::now();
            if (!station.Await(Sim::SerialText(first + i) + " updating", seen))
                break;
            delays.push_back(std::chrono::duration<double>(seen - on).count());
            station.Await(Sim::SerialText(first + i) + " updated", seen);
        }
        unsetenv("UPDATER_DISCOVERY_LOCK");
    }
    _report(state, delays, INTERVAL_S + 1.0);
}

BENCHMARK(BM_StationUsb)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_StationTcpip)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv)
{
    return bench::RunBenchmarksInPrivateNetwork(argc, argv);
}
