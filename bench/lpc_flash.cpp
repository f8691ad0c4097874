// 256 KiB flashed into the simulated LPC17xx boot ROM by our ISP client and by lpc21isp,
// on the same ROM and image, with the line paced at 115200 baud and unpaced. Each run
// reports both times and their ratio (ours / lpc21isp; the goal is at most 1.0).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "QuietProcess.h"
#include "recovery/NXPSerialClass.h"
#include "sim/LpcIspPty.h"
#include "support/CodeBytes.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr size_t kImageSize = 256 * 1024;

// What a recovery does with the chip.
bool _ours(const std::string& port, const Bytes& image)
{
    NXPSerialClass isp;
    if (isp.Connect(port.c_str(), 115200) != aErrNone || isp.Sync() != aErrNone || isp.Unlock() != aErrNone ||
        isp.Prepare(0, 29) != aErrNone || isp.Erase(0, 29) != aErrNone)
        return false;
    isp.SetEcho(false);
    for (uint32_t at = 0; at < image.size(); at += 4096) {
        uint32_t n = std::min<uint32_t>(4096, static_cast<uint32_t>(image.size()) - at);
        if (isp.Write(NXPSerialClass::WRITE_ADDRESS, n, image.data() + at) != aErrNone ||
            isp.Prepare(NXPSerialClass::SectorFromAddress(at), NXPSerialClass::SectorFromAddress(at + n - 1)) !=
                aErrNone ||
            isp.CopyToFlash(at, NXPSerialClass::WRITE_ADDRESS, NXPSerialClass::CopyLength(n)) != aErrNone)
            return false;
    }
    return isp.SetEcho(true) == aErrNone && isp.ExecuteFrom(0) == aErrNone;
}

bool _lpc21isp(const std::string& port, const std::string& imagePath)
{
    return bench::RunQuietly({"lpc21isp", "-bin", imagePath, port, "115200", "14746"});
}

// One flashing on a fresh (reset, erased) chip; its seconds, or -1 when it failed or
// the flash does not hold the image afterwards.
template <class Flash>
double _timed(Sim::LpcIspPty& rom, const Bytes& image, Flash flash)
{
    rom.With([](Sim::LpcIspRom& r) {
        r.Reset();
        r.SetFlash(Bytes(Sim::LpcIspRom::kFlashSize, 0xFF));
    });
    auto start = Clock::now();
    bool ok = flash();
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ok = ok && rom.With([&](Sim::LpcIspRom& r) { return std::equal(image.begin(), image.end(), r.Flash().begin()); });
    return ok ? seconds : -1;
}

void BM_Flash256KiB(benchmark::State& state)
{
    uint32_t baud = static_cast<uint32_t>(state.range(0));
    Bytes image = testsupport::BootableLpcCode(kImageSize, 23);
    char path[] = "/tmp/lpc-bench-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0 || write(fd, image.data(), image.size()) != static_cast<ssize_t>(image.size())) {
        state.SkipWithError("cannot write the image");
        return;
    }
    close(fd);
    Sim::LpcIspPty rom;
    std::string error;
    if (!rom.Start(error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    rom.SetPacing(baud);
    double ours = 0, theirs = 0;
    for (auto _ : state) {
        ours = _timed(rom, image, [&] { return _ours(rom.SlavePath(), image); });
        theirs = _timed(rom, image, [&] { return _lpc21isp(rom.SlavePath(), path); });
        if (ours < 0 || theirs < 0) {
            state.SkipWithError(ours < 0 ? "our client failed" : "lpc21isp failed");
            break;
        }
        state.SetIterationTime(ours);
    }
    unlink(path);
    state.counters["ours_s"] = ours;
    state.counters["lpc21isp_s"] = theirs;
    state.counters["ratio"] = theirs > 0 ? ours / theirs : 0;
    state.SetLabel(baud ? "paced" : "unpaced");
}

}  // namespace

// Paced: 256 KiB is about 30 s of line time each way, so one iteration is enough.
BENCHMARK(BM_Flash256KiB)
    ->ArgName("baud")
    ->Arg(115200)
    ->Arg(0)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
