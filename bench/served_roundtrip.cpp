// A UEI get (the system model) through a served link, against the same get on
// a direct link to an identical virtual module: both run interleaved in the same
// iterations, and the "ratio" counter is served time / direct time (goal <= 2).
// Then 8 clients of one server ask at once, each with its own echo payload:
// "misdirected" counts replies that reached a client that did not ask (must
// be 0), "gets_per_s" is the total rate.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/aLink.h"
#include "common/aUEI.h"
#include "sim/ModuleSet.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint8_t kAddress = 2;
constexpr int kClients = 8;
constexpr int kGetsPerClient = 300;

uint8_t _modelReply(const aPacket* packet, const void*)
{
    return packet->address == kAddress && packet->dataSize == 4 && packet->data[0] == cmdSYSTEM;
}

double _get(uint32_t link)
{
    static const uint8_t query[3] = {cmdSYSTEM, 0x48, 0x20};
    aPacket* packet = aPacket_CreateWithData(kAddress, sizeof query, query);
    auto start = Clock::now();
    aLink_PutPacket(link, packet);
    aPacket* reply = aLink_AwaitFirst(link, _modelReply, nullptr, 5000);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    aPacket_Destroy(&packet);
    if (!reply)
        throw std::runtime_error("no reply");
    aPacket_Destroy(&reply);
    return seconds;
}

// Two virtual modules on 127.0.0.1: the first reached directly, the second served.
struct Modules {
    Sim::ModuleSet set;
    std::vector<uint16_t> ports;
    Modules()
    {
        std::vector<Sim::ModuleSpec> specs(2);
        specs[1].config.serialNumber = 0x40F5849B;
        std::string error;
        if (!set.Start(specs, error))
            throw std::runtime_error(error);
        for (const std::string& line : set.Endpoints())
            ports.push_back(static_cast<uint16_t>(std::stoi(line.substr(line.rfind(' ') + 1))));
    }
};

void BM_ServedVsDirectGet(benchmark::State& state)
{
    Modules modules;
    uint32_t direct = aLink_CreateTCPIP(0x40F5849A, htonl(INADDR_LOOPBACK), modules.ports[0]);
    uint32_t device = aLink_CreateTCPIP(0x40F5849B, htonl(INADDR_LOOPBACK), modules.ports[1]);
    uint16_t port = 0;
    uint32_t interfaceAddress = 0;
    uint32_t served = device ? aLink_CreateServer(device, &port, &interfaceAddress, 1) : 0;
    if (!direct || !served) {
        state.SkipWithError("no link to the virtual modules");
        return;
    }
    for (int i = 0; i < 100; ++i) {  // warm up both paths
        _get(direct);
        _get(served);
    }
    double directTime = 0, servedTime = 0;
    int64_t rounds = 0;
    for (auto _ : state) {
        directTime += _get(direct);
        servedTime += _get(served);
        rounds++;
    }
    state.counters["direct_us"] = directTime / rounds * 1e6;
    state.counters["served_us"] = servedTime / rounds * 1e6;
    state.counters["ratio"] = servedTime / directTime;
    aLink_Destroy(&served);
    aLink_Destroy(&direct);
}

struct EchoMatch {
    uint8_t client;
    uint8_t sequence;
};

uint8_t _anyEcho(const aPacket* packet, const void*)
{
    return packet->address == kAddress && packet->dataSize == 3 && packet->data[0] == cmdDEBUG;
}

void BM_EightClientsAtOnce(benchmark::State& state)
{
    Modules modules;
    uint32_t device = aLink_CreateTCPIP(0x40F5849B, htonl(INADDR_LOOPBACK), modules.ports[1]);
    uint16_t port = 0;
    uint32_t interfaceAddress = 0;
    uint32_t served = device ? aLink_CreateServer(device, &port, &interfaceAddress, 1) : 0;
    if (!served) {
        state.SkipWithError("no served link");
        return;
    }
    std::atomic<int64_t> misdirected{0}, lost{0}, answered{0};
    double seconds = 0;
    for (auto _ : state) {
        std::vector<uint32_t> clients;
        for (int c = 0; c < kClients; ++c)
            clients.push_back(aLink_CreateClient(interfaceAddress, port, 0));
        auto start = Clock::now();
        std::vector<std::thread> threads;
        for (int c = 0; c < kClients; ++c) {
            threads.emplace_back([&, c] {
                for (int i = 0; i < kGetsPerClient; ++i) {
                    const uint8_t echo[3] = {cmdDEBUG, static_cast<uint8_t>(c), static_cast<uint8_t>(i)};
                    aPacket* packet = aPacket_CreateWithData(kAddress, sizeof echo, echo);
                    aLink_PutPacket(clients[c], packet);
                    aPacket_Destroy(&packet);
                    aPacket* reply = aLink_AwaitFirst(clients[c], _anyEcho, nullptr, 5000);
                    if (!reply) {
                        lost++;
                        continue;
                    }
                    if (reply->data[1] != c || reply->data[2] != static_cast<uint8_t>(i))
                        misdirected++;
                    else
                        answered++;
                    aPacket_Destroy(&reply);
                }
            });
        }
        for (auto& thread : threads)
            thread.join();
        seconds += std::chrono::duration<double>(Clock::now() - start).count();
        for (uint32_t& client : clients)
            aLink_Destroy(&client);
    }
    state.counters["misdirected"] = static_cast<double>(misdirected);
    state.counters["lost"] = static_cast<double>(lost);
    state.counters["gets_per_s"] = static_cast<double>(answered) / seconds;
    aLink_Destroy(&served);
}

}  // namespace

BENCHMARK(BM_ServedVsDirectGet)->Iterations(2000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EightClientsAtOnce)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
