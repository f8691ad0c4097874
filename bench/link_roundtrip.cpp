// One packet through the link engine and back (put on the link, written to the stream
// by the caller or the writer thread, echoed by a peer on loopback TCP, read and assembled
// by the reader thread or by the waiting caller, handed out to the caller) against a bare
// blocking socket ping-pong of the same 30 bytes with
// the same peer. Both run interleaved in the same iterations; "bare_us" and "link_us" are
// the medians of the round trips, and the "ratio" counter is the engine's median divided
// by the bare median (target <= 1.3). The means are reported beside them.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <vector>

#include "Figures.h"
#include "LinkEchoPeer.h"
#include "common/aLink.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint8_t kPayload = 28;

uint8_t _echoFilter(const aPacket* packet, const void*)
{
    return packet->address == LinkEchoPeer::kAddress && packet->dataSize == kPayload;
}

double _bareRoundTrip(int fd, const uint8_t* wire, size_t length)
{
    uint8_t back[64];
    auto start = Clock::now();
    if (send(fd, wire, length, 0) != static_cast<ssize_t>(length))
        throw std::runtime_error("send failed");
    size_t got = 0;
    while (got < length) {
        ssize_t n = recv(fd, back + got, length - got, 0);
        if (n <= 0)
            throw std::runtime_error("recv failed");
        got += static_cast<size_t>(n);
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double _linkRoundTrip(uint32_t link, const aPacket* packet)
{
    auto start = Clock::now();
    if (aLink_PutPacket(link, packet) != aErrNone)
        throw std::runtime_error("put failed");
    aPacket* reply = aLink_AwaitFirst(link, _echoFilter, nullptr, 5000);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!reply)
        throw std::runtime_error("no echo");
    aPacket_Destroy(&reply);
    return seconds;
}

double _mean(const std::vector<double>& values)
{
    double sum = 0;
    for (double v : values)
        sum += v;
    return sum / values.size();
}

void BM_LinkVsBareRoundTrip(benchmark::State& state)
{
    uint8_t payload[kPayload];
    for (uint8_t i = 0; i < kPayload; i++)
        payload[i] = static_cast<uint8_t>(0x40 + i);
    aPacket* packet = aPacket_CreateWithData(LinkEchoPeer::kAddress, kPayload, payload);
    uint8_t wire[aPACKET_MAXWIRE];
    size_t wireLength = 0;
    aPacket_GetBytes(packet, wire, sizeof wire, &wireLength);

    // The peer serves one client at a time: first the bare socket, then the link.
    std::vector<double> bare, engine;
    LinkEchoPeer bareAndLinkPeers[2];
    int fd = bareAndLinkPeers[0].connectClient();
    uint32_t link = aLink_CreateTCPIP(0xBE4C0001, LinkEchoPeer::loopback(), bareAndLinkPeers[1].port());
    if (fd < 0 || link == 0 || aLink_Sync(link) != aErrNone) {
        state.SkipWithError("could not connect to the echo peer");
        return;
    }
    for (int i = 0; i < 200; i++) {  // warm up both paths
        _bareRoundTrip(fd, wire, wireLength);
        _linkRoundTrip(link, packet);
    }
    for (auto _ : state) {
        bare.push_back(_bareRoundTrip(fd, wire, wireLength));
        engine.push_back(_linkRoundTrip(link, packet));
    }
    state.counters["bare_mean_us"] = _mean(bare) * 1e6;
    state.counters["link_mean_us"] = _mean(engine) * 1e6;
    state.counters["bare_us"] = bench::Median(bare) * 1e6;
    state.counters["link_us"] = bench::Median(engine) * 1e6;
    state.counters["ratio"] = bench::Median(engine) / bench::Median(bare);
    aLink_Destroy(&link);
    close(fd);
    aPacket_Destroy(&packet);
}

BENCHMARK(BM_LinkVsBareRoundTrip)->Iterations(5000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
