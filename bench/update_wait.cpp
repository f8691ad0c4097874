// Wall time of "updater -U" as a user sees it, against a virtual module whose
// restart into the loader takes a pause: over TCP/IP (a vmodule process that
// answers discovery) and over emulated USB (the module leaves the bus and comes
// back). A 64 KiB image; each figure is the median of a few updates.
//
// For each transport the counters are the update times with restart pauses of
// 0, 0.5 and 2 s, and
//   ratio_500, ratio_2000   update time / (pause + update time without a pause)
// (goal <= 1.2): how much of the wait beyond the module's own pause is spent on
// finding it again. The transfer time is the update without a pause.
//
// BM_ProductionLine runs, as on a production line, eight updates of eight
// modules (restart pause 0.5 s) from eight processes at once, and one alone:
//   line_vs_one   the eight's wall time / one update's                 (goal <= 1.5)
//
// BM_UpdateVerifyTcpip prices "--verify": an update whose module restarts
// into the loader and reboots with a pause of 1 s each, confirmed after the
// reboot, against the module's own share:
//   verify_ratio  verified update time / (2 x pause + update time without pauses)
//                                                                      (goal <= 1.2)
//
// BM_UpdateUsbNodeVsLibusb: the same update of a module on emulated USB reached
// through the kernel driver's node and through libusb (full speed), no pauses:
//   node_vs_libusb  node update time / libusb update time               (goal <= 1.5)
//
// The update falls back to TCP/IP discovery, which multicasts on every
// interface: the whole benchmark re-runs itself in a private network namespace.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "Figures.h"
#include "PrivateNetworkMain.h"
#include "firmware/BirdWriter.h"
#include "sim/Text.h"
#include "sim/usb/UsbModuleHost.h"
#include "support/CodeBytes.h"
#include "support/Process.h"
#include "support/TempDir.h"
#include "support/VmoduleProcess.h"

namespace {

constexpr uint32_t SERIAL = 0x40F5849A;
const std::string SN = "40F5849A";
const std::string NO_SERVER = "http://127.0.0.1:1/cgi/u";
constexpr size_t FIRMWARE_BYTES = 64 * 1024;
constexpr int RUNS = 3;
const unsigned PAUSES[] = {0, 500, 2000};

std::string _image(const testsupport::TempDir& dir)
{
    BirdWriter writer;
    writer.AddLoader(0x20000000, testsupport::Code(600, 1))
        .AddFirmware(0x60000000, testsupport::Code(FIRMWARE_BYTES, 2))
        .AddInfo(1200, "2.16.0", SERIAL, "MeterSerial");
    std::string path = dir / "image.bird";
    std::string error;
    if (!BirdWriter::WriteBytes(path, writer.FileBytes(), &error))
        throw std::runtime_error(error);
    return path;
}

// One update; its wall time in seconds, or a negative value when it failed.
double _update(const testsupport::TempDir& store, const std::string& image, const testsupport::RunOptions& options,
               bool verify = false)
{
    auto start = std::chrono::steady_clock::now();
    std::vector<std::string> argv = {
        testsupport::UpdaterPath(), "-i", store.path(), "-u", NO_SERVER, "-U", "-d", SN, "-f", image};
    if (verify)
        argv.push_back("--verify");
    testsupport::ProcessResult result = testsupport::RunProcess(argv, options);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return result.exit_status == 0 ? seconds : -1;
}

void _report(benchmark::State& state, const std::vector<double>& medians)
{
    state.counters["pause0_s"] = medians[0];
    state.counters["pause500_s"] = medians[1];
    state.counters["pause2000_s"] = medians[2];
    state.counters["ratio_500"] = medians[1] / (0.5 + medians[0]);
    state.counters["ratio_2000"] = medians[2] / (2.0 + medians[0]);
}

void BM_UpdateWaitTcpip(benchmark::State& state)
{
    testsupport::TempDir dir;
    std::string image = _image(dir);
    for (auto _ : state) {
        std::vector<double> medians;
        for (unsigned pause : PAUSES) {
            testsupport::VmoduleProcess module;
            std::string p = std::to_string(pause);
            if (!module.Start({"--module", "serial=" + SN + ",model=17,discovery=" + testsupport::kPrivateAddress +
                                               ",load-pause-ms=" + p + ",reboot-pause-ms=" + p})) {
                state.SkipWithError(module.Error().c_str());
                return;
            }
            std::vector<double> times;
            for (int run = 0; run < RUNS; ++run) {
                // The module is back from the last update's reboot once it answers again.
                usleep(pause * 1000 + 100000);
                double t = _update(dir, image, {});
                if (t < 0) {
                    state.SkipWithError("update over TCP/IP failed");
                    return;
                }
                times.push_back(t);
            }
            medians.push_back(bench::Median(times));
        }
        _report(state, medians);
    }
}

void BM_UpdateWaitUsb(benchmark::State& state)
{
    testsupport::TempDir dir;
    std::string image = _image(dir);
    for (auto _ : state) {
        std::vector<double> medians;
        for (unsigned pause : PAUSES) {
            std::vector<double> times;
            for (int run = 0; run < RUNS; ++run) {
                usbemu::UsbEmulation emulation;
                Sim::ModuleConfig config;
                config.serialNumber = SERIAL;
                config.model = 17;
                config.loadPauseMs = pause;
                config.rebootPauseMs = pause;
                auto module = std::make_shared<Sim::VirtualModule>(config);
                usbemu::UsbModuleHost host(emulation, module, usbemu::UsbModuleHost::Access::LibusbHighSpeed);
                testsupport::RunOptions options;
                options.env = emulation.childEnvironment();
                double t = _update(dir, image, options);
                if (t < 0) {
                    state.SkipWithError("update over USB failed");
                    return;
                }
                times.push_back(t);
            }
            medians.push_back(bench::Median(times));
        }
        _report(state, medians);
    }
}

// The median of RUNS updates of a module on emulated USB reached with `access`, no pauses.
double _usb_median(benchmark::State& state, const testsupport::TempDir& dir, const std::string& image,
                   usbemu::UsbModuleHost::Access access)
{
    std::vector<double> times;
    for (int run = 0; run < RUNS; ++run) {
        usbemu::UsbEmulation emulation;
        Sim::ModuleConfig config;
        config.serialNumber = SERIAL;
        config.model = 17;
        config.loadPauseMs = config.rebootPauseMs = 0;
        usbemu::UsbModuleHost host(emulation, std::make_shared<Sim::VirtualModule>(config), access);
        testsupport::RunOptions options;
        options.env = emulation.childEnvironment();
        double t = _update(dir, image, options);
        if (t < 0) {
            state.SkipWithError("update over USB failed");
            return -1;
        }
        times.push_back(t);
    }
    return bench::Median(times);
}

void BM_UpdateUsbNodeVsLibusb(benchmark::State& state)
{
    testsupport::TempDir dir;
    std::string image = _image(dir);
    for (auto _ : state) {
        double libusb = _usb_median(state, dir, image, usbemu::UsbModuleHost::Access::Libusb);
        double node = libusb < 0 ? -1 : _usb_median(state, dir, image, usbemu::UsbModuleHost::Access::KernelNode);
        if (node < 0)
            return;
        state.counters["libusb_s"] = libusb;
        state.counters["node_s"] = node;
        state.counters["node_vs_libusb"] = node / libusb;
    }
}

// The median of RUNS updates of a module on TCP/IP whose restarts take pauseMs.
double _tcpip_median(benchmark::State& state, const testsupport::TempDir& dir, const std::string& image,
                     unsigned pauseMs, bool verify)
{
    testsupport::VmoduleProcess module;
    std::string p = std::to_string(pauseMs);
    if (!module.Start({"--module", "serial=" + SN + ",model=17,discovery=" + testsupport::kPrivateAddress +
                                       ",load-pause-ms=" + p + ",reboot-pause-ms=" + p +
                                       ",new-version=2.16.0,new-build=1200"})) {
        state.SkipWithError(module.Error().c_str());
        return -1;
    }
    std::vector<double> times;
    for (int run = 0; run < RUNS; ++run) {
        // A verified update returns with the module back; an unverified one may not.
        if (!verify || run == 0)
            usleep(pauseMs * 1000 + 100000);
        double t = _update(dir, image, {}, verify);
        if (t < 0) {
            state.SkipWithError(verify ? "verified update failed" : "update failed");
            return -1;
        }
        times.push_back(t);
    }
    return bench::Median(times);
}

void BM_UpdateVerifyTcpip(benchmark::State& state)
{
    constexpr unsigned PAUSE_MS = 1000;
    testsupport::TempDir dir;
    std::string image = _image(dir);
    for (auto _ : state) {
        double transfer = _tcpip_median(state, dir, image, 0, false);
        double verified = transfer < 0 ? -1 : _tcpip_median(state, dir, image, PAUSE_MS, true);
        if (verified < 0)
            return;
        state.counters["transfer_s"] = transfer;
        state.counters["verified_s"] = verified;
        state.counters["verify_ratio"] = verified / (2 * PAUSE_MS / 1000.0 + transfer);
    }
}

// Eight updates at once, one process per module; the wall time, negative when one failed.
double _line(const testsupport::TempDir& store, const std::string& image, const testsupport::RunOptions& options,
             int modules)
{
    std::vector<int> status(modules, -1);
    std::vector<std::thread> runs;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < modules; ++i) {
        runs.emplace_back([&, i] {
            status[i] = testsupport::RunProcess({testsupport::UpdaterPath(), "-i", store.path(), "-u", NO_SERVER, "-U",
                                                 "-d", Sim::SerialText(SERIAL + i), "-f", image},
                                                options)
                            .exit_status;
        });
    }
    for (auto& run : runs)
        run.join();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (int s : status)
        if (s != 0)
            return -1;
    return seconds;
}

void BM_ProductionLine(benchmark::State& state)
{
    constexpr int MODULES = 8;
    testsupport::TempDir dir;
    BirdWriter writer;
    writer.AddLoader(0x20000000, testsupport::Code(600, 1))
        .AddFirmware(0x60000000, testsupport::Code(FIRMWARE_BYTES, 2))
        .AddOffsets(0x60000100, 0x60000200)
        .AddInfo(1200, "2.16.0", 0, "MeterSerial");
    std::string image = dir / "generic.bird";
    if (!BirdWriter::WriteBytes(image, writer.FileBytes())) {
        state.SkipWithError("cannot write the image");
        return;
    }
    std::vector<std::string> args;
    for (int i = 0; i < MODULES; ++i) {
        args.push_back("--module");
        args.push_back("serial=" + Sim::SerialText(SERIAL + i) + ",model=17,discovery=" + testsupport::kPrivateAddress +
                       ",load-pause-ms=500,reboot-pause-ms=500");
    }
    testsupport::VmoduleProcess modules;
    if (!modules.Start(args)) {
        state.SkipWithError(modules.Error().c_str());
        return;
    }
    testsupport::RunOptions options;
    options.env["UPDATER_DISCOVERY_LOCK"] = dir / "discovery.lock";
    for (auto _ : state) {
        std::vector<double> one, line;
        for (int run = 0; run < RUNS; ++run) {
            usleep(800000);  // back from the last reboot
            one.push_back(_line(dir, image, options, 1));
            usleep(800000);
            line.push_back(_line(dir, image, options, MODULES));
            if (one.back() < 0 || line.back() < 0) {
                state.SkipWithError("an update failed");
                return;
            }
        }
        state.counters["one_s"] = bench::Median(one);
        state.counters["line_s"] = bench::Median(line);
        state.counters["line_vs_one"] = bench::Median(line) / bench::Median(one);
    }
}

BENCHMARK(BM_UpdateWaitTcpip)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_UpdateWaitUsb)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_UpdateUsbNodeVsLibusb)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_UpdateVerifyTcpip)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_ProductionLine)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv)
{
    return bench::RunBenchmarksInPrivateNetwork(argc, argv, usbemu::reexecUnderPreload);
}
