// A 64 KiB load through the i.MX boot ROM's UART protocol: our serial SDP loader
// against imx_uart (Debian imx-usb-loader), each on its own simulated ROM, timed
// from the start of the host until the ROM receives the jump. The "ratio"
// counter is ours divided by imx_uart's, both measured in the same iterations;
// the target is at most 1.0. Argument: the ROM's line rate (0: unpaced pty;
// 115200 is the rate of a real ROM's UART and the figure that matters).
#include <signal.h>
#include <sys/wait.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "QuietProcess.h"
#include "recovery/SDPLoader.h"
#include "recovery/Serial_SDPLoader.h"
#include "sim/SdpRomSerial.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t LOAD_ADDRESS = 0x20000000;
constexpr size_t IMAGE_SIZE = 64 * 1024;

// imx_uart wants an IVT at the start of the image, with boot data naming the
// load address and size.
std::vector<uint8_t> _image()
{
    std::vector<uint8_t> image(IMAGE_SIZE);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = uint8_t(i * 13 + (i >> 8));
    const uint32_t words[] = {0x412000D1,   LOAD_ADDRESS + 0x100, 0, 0, LOAD_ADDRESS + 0x20, LOAD_ADDRESS, 0, 0,
                              LOAD_ADDRESS, uint32_t(IMAGE_SIZE), 0};
    for (size_t w = 0; w < std::size(words); ++w)
        for (int b = 0; b < 4; ++b)
            image[4 * w + b] = uint8_t(words[w] >> (8 * b));
    return image;
}

std::string _writeTemp(const char* pattern, const void* data, size_t size)
{
    std::string name = std::string("/tmp/") + pattern;
    int fd = mkstemp(name.data());
    if (fd < 0 || write(fd, data, size) != ssize_t(size) || close(fd) != 0)
        throw std::runtime_error("cannot write a temporary file");
    return name;
}

// A ROM on its own pty that notes when the jump arrives.
struct TimedRom {
    explicit TimedRom(unsigned baud) : rom(std::make_shared<Sim::SdpRom>()), serial(rom, baud)
    {
        rom->SetJumpHook([this](uint32_t) {
            std::lock_guard lock(mutex);
            jumpedAt = Clock::now();
            jumped = true;
            wake.notify_all();
        });
        std::string error;
        if (!serial.Start(error))
            throw std::runtime_error(error);
    }
    bool awaitJump(std::chrono::seconds limit)
    {
        std::unique_lock lock(mutex);
        return wake.wait_for(lock, limit, [this] { return jumped; });
    }
    std::shared_ptr<Sim::SdpRom> rom;
    Sim::SdpRomSerial serial;
    std::mutex mutex;
    std::condition_variable wake;
    bool jumped = false;
    Clock::time_point jumpedAt;
};

struct Times {
    double whole = 0;      // from opening the port
    double afterOpen = 0;  // from the first command
};

Times _ours(unsigned baud, const std::vector<uint8_t>& image)
{
    TimedRom rom(baud);
    auto start = Clock::now();
    SDPLoader loader;
    loader.setLoader(new Serial_SDPLoader(rom.serial.SlavePath()));
    if (loader.init() != 0)
        throw std::runtime_error("our port did not open");
    auto opened = Clock::now();
    if (loader.writeLoader(image, LOAD_ADDRESS) != 0)
        throw std::runtime_error("our load failed");
    loader.startLoader(LOAD_ADDRESS);
    if (!rom.awaitJump(std::chrono::seconds(60)) || rom.rom->Memory(LOAD_ADDRESS, image.size()) != image)
        throw std::runtime_error("our load did not arrive");
    return {std::chrono::duration<double>(rom.jumpedAt - start).count(),
            std::chrono::duration<double>(rom.jumpedAt - opened).count()};
}

double _imxUart(unsigned baud, const std::vector<uint8_t>& image, const std::string& imagePath,
                const std::string& confPath)
{
    TimedRom rom(baud);
    std::string port = rom.serial.SlavePath();
    auto start = Clock::now();
    pid_t pid = bench::SpawnQuietly({"imx_uart", "-n", "-N", port, confPath, imagePath});
    if (pid < 0)
        throw std::runtime_error("imx_uart cannot start (scripts/install-deps)");
    // imx_uart waits for ever for a status after the jump: stop it once the ROM has it.
    bool jumped = rom.awaitJump(std::chrono::seconds(60));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    if (!jumped || rom.rom->Memory(LOAD_ADDRESS, image.size()) != image)
        throw std::runtime_error("imx_uart's load did not arrive");
    return std::chrono::duration<double>(rom.jumpedAt - start).count();
}

void BM_SdpLoadVsImxUart(benchmark::State& state)
{
    const unsigned baud = static_cast<unsigned>(state.range(0));
    std::vector<uint8_t> image = _image();
    std::string imagePath = _writeTemp("sdp-bench-image-XXXXXX", image.data(), image.size());
    const std::string conf = "imxrt\nhid,1024,0x20000000,0x20000000,512K,0x20200000,1M\n";
    std::string confPath = _writeTemp("sdp-bench-conf-XXXXXX", conf.data(), conf.size());
    double ours = 0, oursAfterOpen = 0, theirs = 0;
    try {
        for (auto _ : state) {
            Times times = _ours(baud, image);
            ours += times.whole;
            oursAfterOpen += times.afterOpen;
            theirs += _imxUart(baud, image, imagePath, confPath);
        }
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
    }
    unlink(imagePath.c_str());
    unlink(confPath.c_str());
    double n = static_cast<double>(state.iterations());
    if (n > 0 && theirs > 0) {
        state.counters["ours_s"] = ours / n;
        state.counters["imx_uart_s"] = theirs / n;
        state.counters["ratio"] = ours / theirs;
        // Our port set-up waits for a quiet line (Serial_SDPLoader::SETTLE_QUIET_MS);
        // this ratio leaves that wait out.
        state.counters["ratio_after_open"] = oursAfterOpen / theirs;
    }
}

}  // namespace

BENCHMARK(BM_SdpLoadVsImxUart)->Arg(0)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SdpLoadVsImxUart)->Arg(115200)->Iterations(2)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
