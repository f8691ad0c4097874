// A 256 KiB firmware transfer over loopback TCP to a virtual module whose
// loader runs, in the three ways the upgrade entity can carry data: raw DATA
// packets, UEI byte strings, and UEI byte strings in pooled writes; and in the
// same iterations a bare socket ping-pong of packet-sized messages.
//
// BM_UpdateModes measures all four in each iteration and reports:
//   pooled_vs_raw         UEI + pooled time / raw time                  (goal <= 0.2)
//   pooled_vs_roundtrips  UEI + pooled time / (round trips x bare RTT)  (goal <= 3)
// where the round trips of a UEI transfer are PREPARE once and, per module
// block, the string's acknowledgement, SUM and WRITE, and the bare RTT is the
// median of 2000 ping-pongs. The virtual module's own share is reported apart:
// module_ms is the time it spent handling what the host sent during the pooled
// transfer, and pooled_host_vs_roundtrips the pooled transfer without it
// against the same round trips (a host faster than the module cannot show
// more). For reference it also reports link_rtt_us, the median of one request
// and reply through the link engine and the virtual module (a module
// description query), and pooled_vs_link_roundtrips, the pooled transfer
// against that many link round trips: what the transfer costs beyond its
// round trips.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Figures.h"
#include "app/UpdaterDisplayInterface.h"
#include "app/UpdaterEntity.h"
#include "common/device/Module.h"
#include "sim/TcpModuleServer.h"
#include "sim/VirtualModule.h"
#include "unix/aTime.h"

using Kestrune::Tessarine::Module;
using Kestrune::Tessarine::PlexusConfig;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t FIRMWARE_SIZE = 256 * 1024;
constexpr uint16_t MODULE_BLOCK = 1024;
constexpr uint32_t FIRMWARE_ADDRESS = 0x60000000;
constexpr size_t PING_SIZE = 30;  // a full link packet on the wire
constexpr int PINGS = 2000;

class QuietDisplay : public UpdaterDisplayInterface {
public:
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char*) override {}
    void error_message(const char*) override {}
};

std::vector<uint8_t> _block(uint32_t address, uint32_t length)
{
    std::vector<uint8_t> block = {uint8_t(address >> 24), uint8_t(address >> 16), uint8_t(address >> 8),
                                  uint8_t(address)};
    uint32_t seed = 99;
    for (uint32_t i = 0; i < length; ++i) {
        seed = seed * 1103515245u + 12345u;
        block.push_back(uint8_t(seed >> 16));
    }
    return block;
}

// A virtual module on 127.0.0.1 with its loader running, and the host's
// module connected to it.
class Bench {
public:
    Bench()
    {
        Sim::ModuleConfig config;
        config.blockSize = MODULE_BLOCK;
        config.loadPauseMs = 50;
        virtualModule = std::make_shared<Sim::VirtualModule>(config);
        server = std::make_unique<Sim::TcpModuleServer>(virtualModule, "127.0.0.1", 0);
        std::string error;
        if (!server->Start(error))
            throw std::runtime_error("module server: " + error);
        spec.type = TCPIP;
        spec.serialNumber = config.serialNumber;
        spec.ipAddress = htonl(INADDR_LOOPBACK);
        spec.ipPort = server->Port();
        PlexusConfig plexus;
        plexus.enabled = false;
        plexus.fallback = false;
        module.setConfig(plexus);
        _connect();
        _start_loader();
    }

    ~Bench()
    {
        module.disconnect();
        server->Stop();
    }

    // PREPARE and the whole firmware block; the entity set up for the mode.
    void Transfer(bool uei, bool pooled)
    {
        UpdaterEntity entity;
        entity.init(&module, 0, true, false);
        entity.ueiData = uei;
        module.getLink()->enablePooledPackets(pooled);
        uint16_t blockSize = 0;
        aErr err = entity.TransferPrepare(firmware.data(), uint32_t(firmware.size()), 0, &blockSize);
        if (err == aErrNone)
            err = entity.FirmwareTransfer(firmware.data(), uint32_t(firmware.size()), blockSize, display);
        if (err != aErrNone)
            throw std::runtime_error("transfer failed: " + std::to_string(err));
    }

    std::chrono::nanoseconds ModuleBusy() const { return server->BusyTime(); }

    static constexpr double UeiRoundTrips() { return 1.0 + 3.0 * (FIRMWARE_SIZE / MODULE_BLOCK); }

    // Requests and replies through the link (the module description query);
    // appends each one's time.
    void LinkRoundTrips(int count, std::vector<double>& seconds)
    {
        for (int i = 0; i < count; ++i) {
            auto start = Clock::now();
            if (module.hasUEI(cmdUPGRADE, val_UPGRADE_DATA_UEI, 0, 0x80) != aErrNone) {
                throw std::runtime_error("description query failed");
            }
            seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        }
    }

private:
    void _connect()
    {
        for (int attempt = 0; attempt < 100; ++attempt) {
            if (module.connectFromSpec(spec) == aErrNone)
                return;
            module.disconnect();
            aTime_MSSleep(20);
        }
        throw std::runtime_error("cannot connect to the virtual module");
    }

    // The module answers LOAD and restarts into its loader; connect anew.
    void _start_loader()
    {
        UpdaterEntity entity;
        entity.init(&module, 0, true, false);
        std::vector<uint8_t> loader = _block(0x20000000, 2000);
        uint16_t blockSize = 0;
        if (entity.LoaderInit() != aErrNone ||
            entity.TransferPrepare(loader.data(), uint32_t(loader.size()), 0, &blockSize) != aErrNone ||
            entity.LoaderTransfer(loader.data(), uint32_t(loader.size())) != aErrNone ||
            entity.LoaderStart() != aErrNone) {
            throw std::runtime_error("loader start failed");
        }
        while (!virtualModule->Stats().loaderRunning)
            aTime_MSSleep(10);
        module.disconnect();
        _connect();
    }

    std::shared_ptr<Sim::VirtualModule> virtualModule;
    std::unique_ptr<Sim::TcpModuleServer> server;
    linkSpec spec{};
    Module module{2, true};
    QuietDisplay display;
    std::vector<uint8_t> firmware = _block(FIRMWARE_ADDRESS, FIRMWARE_SIZE);
};

Bench& _bench()
{
    static Bench bench;
    return bench;
}

// An echo server and a client on loopback, both with Nagle off.
class PingPong {
public:
    PingPong()
    {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 1) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("echo server");
        }
        echo = std::thread([this] { _echo(); });
        client = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            throw std::runtime_error("echo client");
        }
        _no_delay(client);
    }

    ~PingPong()
    {
        shutdown(client, SHUT_RDWR);
        close(client);
        echo.join();
        close(listener);
    }

    // Appends each exchange's time when asked to.
    void Exchange(int count, std::vector<double>* seconds = nullptr)
    {
        uint8_t message[PING_SIZE] = {};
        for (int i = 0; i < count; ++i) {
            message[0] = uint8_t(i);
            auto start = Clock::now();
            if (send(client, message, sizeof message, 0) != ssize_t(sizeof message) ||
                !_read_all(client, message, sizeof message)) {
                throw std::runtime_error("ping-pong broke");
            }
            if (seconds)
                seconds->push_back(std::chrono::duration<double>(Clock::now() - start).count());
        }
    }

private:
    static void _no_delay(int fd)
    {
        int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }

    static bool _read_all(int fd, uint8_t* buffer, size_t length)
    {
        size_t got = 0;
        while (got < length) {
            ssize_t n = recv(fd, buffer + got, length - got, 0);
            if (n <= 0)
                return false;
            got += size_t(n);
        }
        return true;
    }

    void _echo()
    {
        int peer = accept(listener, nullptr, nullptr);
        if (peer < 0)
            return;
        _no_delay(peer);
        uint8_t message[PING_SIZE];
        while (_read_all(peer, message, sizeof message) && send(peer, message, sizeof message, 0) > 0) {
        }
        close(peer);
    }

    int listener = -1;
    int client = -1;
    std::thread echo;
};

double _seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

void BM_UpdateModes(benchmark::State& state)
{
    Bench& bench = _bench();
    PingPong ping;
    Clock::duration raw{}, uei{}, pooled{};
    std::chrono::nanoseconds module{};
    std::vector<double> pings, queries;
    for (auto _ : state) {
        auto t0 = Clock::now();
        bench.Transfer(false, false);
        auto t1 = Clock::now();
        bench.Transfer(true, false);
        auto t2 = Clock::now();
        auto busy = bench.ModuleBusy();
        bench.Transfer(true, true);
        auto t3 = Clock::now();
        module += bench.ModuleBusy() - busy;
        ping.Exchange(PINGS, &pings);
        bench.LinkRoundTrips(PINGS, queries);
        raw += t1 - t0;
        uei += t2 - t1;
        pooled += t3 - t2;
    }
    double n = double(state.iterations());
    double rtt = bench::Median(pings);
    double linkRtt = bench::Median(queries);
    double pooledSeconds = _seconds(pooled) / n;
    double moduleSeconds = _seconds(module) / n;
    state.counters["raw_ms"] = 1000 * _seconds(raw) / n;
    state.counters["uei_ms"] = 1000 * _seconds(uei) / n;
    state.counters["pooled_ms"] = 1000 * pooledSeconds;
    state.counters["module_ms"] = 1000 * moduleSeconds;
    state.counters["rtt_us"] = 1e6 * rtt;
    state.counters["pooled_vs_raw"] = _seconds(pooled) / _seconds(raw);
    state.counters["pooled_vs_roundtrips"] = pooledSeconds / (Bench::UeiRoundTrips() * rtt);
    state.counters["pooled_host_vs_roundtrips"] = (pooledSeconds - moduleSeconds) / (Bench::UeiRoundTrips() * rtt);
    state.counters["link_rtt_us"] = 1e6 * linkRtt;
    state.counters["pooled_vs_link_roundtrips"] = pooledSeconds / (Bench::UeiRoundTrips() * linkRtt);
}

void BM_Transfer(benchmark::State& state, bool uei, bool pooled)
{
    Bench& bench = _bench();
    for (auto _ : state)
        bench.Transfer(uei, pooled);
    state.SetBytesProcessed(int64_t(state.iterations()) * FIRMWARE_SIZE);
}

void BM_SocketPingPong(benchmark::State& state)
{
    PingPong ping;
    for (auto _ : state)
        ping.Exchange(1);
}

}  // namespace

BENCHMARK(BM_UpdateModes)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_CAPTURE(BM_Transfer, raw, false, false)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Transfer, uei, true, false)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Transfer, uei_pooled, true, true)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SocketPingPong)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_MAIN();
