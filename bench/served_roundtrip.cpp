// A UEI get (the system model) through a served link, against the same get on
// a direct link to an identical virtual module and a bare round trip over a
// loopback TCP socket (the hop a served get adds): all three run interleaved in
// the same iterations, and the "ratio" counter is served / (direct + bare)
// (goal <= 1.3). The same iterations time the floor ZeroMQ itself sets, a
// DEALER's frame echoed by a ROUTER on another thread with its own context over
// loopback TCP ("zmq_echo_us"), and "ratio_zmq" = served / (direct + zmq_echo)
// tells how much of what is left is ZeroMQ's. Then 8 clients of one server ask at once, each with its own
// echo payload: "misdirected" counts replies that reached a client that did not
// ask and "lost" those that never came (both must be 0), "gets_per_s" is the
// total rate. Last, the CPU that module-server takes while it serves a virtual
// module to one idle client, in percent of one core (goal <= 0.2).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <zmq.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "LinkEchoPeer.h"
#include "common/aLink.h"
#include "common/served/aLinkNetwork.h"
#include "common/aUEI.h"
#include "support/ModuleServerProcess.h"
#include "support/VmoduleProcess.h"

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

// One packet to the echo peer and its echo back, on a plain blocking socket.
double _bareRoundTrip(int fd)
{
    static const uint8_t packet[5] = {2, 3, cmdSYSTEM, 0x48, 0x20};
    uint8_t echo[sizeof packet];
    auto start = Clock::now();
    if (send(fd, packet, sizeof packet, 0) != sizeof packet)
        throw std::runtime_error("bare send failed");
    for (size_t got = 0; got < sizeof echo;) {
        ssize_t n = recv(fd, echo + got, sizeof echo - got, 0);
        if (n <= 0)
            throw std::runtime_error("bare receive failed");
        got += static_cast<size_t>(n);
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A ROUTER on its own thread and context that echoes every frame to the DEALER
// that sent it, over loopback TCP: what a served get cannot go below.
class ZmqEchoPeer {
public:
    ZmqEchoPeer()
    {
        int linger = 0;
        router_ = zmq_socket(serverContext_, ZMQ_ROUTER);
        zmq_setsockopt(router_, ZMQ_LINGER, &linger, sizeof linger);
        char endpoint[64] = "";
        size_t size = sizeof endpoint;
        if (zmq_bind(router_, "tcp://127.0.0.1:*") != 0 ||
            zmq_getsockopt(router_, ZMQ_LAST_ENDPOINT, endpoint, &size) != 0)
            throw std::runtime_error("no ZeroMQ echo endpoint");
        dealer_ = zmq_socket(clientContext_, ZMQ_DEALER);
        zmq_setsockopt(dealer_, ZMQ_LINGER, &linger, sizeof linger);
        zmq_connect(dealer_, endpoint);
        thread_ = std::thread([this] { echo(); });
    }
    ~ZmqEchoPeer()
    {
        zmq_close(dealer_);
        zmq_ctx_term(clientContext_);
        zmq_ctx_shutdown(serverContext_);  // the echo thread's receive ends
        thread_.join();
        zmq_ctx_term(serverContext_);
    }
    double roundTrip()
    {
        static const uint8_t packet[5] = {2, 3, cmdSYSTEM, 0x48, 0x20};
        uint8_t echo[sizeof packet];
        auto start = Clock::now();
        if (zmq_send(dealer_, packet, sizeof packet, 0) != sizeof packet ||
            zmq_recv(dealer_, echo, sizeof echo, 0) != sizeof echo)
            throw std::runtime_error("ZeroMQ echo failed");
        return std::chrono::duration<double>(Clock::now() - start).count();
    }

private:
    void echo()
    {
        uint8_t identity[256], frame[64];
        for (;;) {
            int idSize = zmq_recv(router_, identity, sizeof identity, 0);
            int size = idSize < 0 ? -1 : zmq_recv(router_, frame, sizeof frame, 0);
            if (size < 0)
                break;
            zmq_send(router_, identity, static_cast<size_t>(idSize), ZMQ_SNDMORE);
            zmq_send(router_, frame, static_cast<size_t>(size), 0);
        }
        zmq_close(router_);
    }
    void* serverContext_ = zmq_ctx_new();
    void* clientContext_ = zmq_ctx_new();
    void* router_ = nullptr;
    void* dealer_ = nullptr;
    std::thread thread_;
};

// Two virtual modules (vmodule) on 127.0.0.1: the first reached directly, the
// second served by module-server, each program in its own process as in a lab.
struct Modules {
    testsupport::VmoduleProcess modules;
    testsupport::ModuleServerProcess server;
    uint16_t directPort = 0;
    Modules()
    {
        if (!modules.Start({"--module", "serial=40F5849A", "--module", "serial=40F5849B"}))
            throw std::runtime_error(modules.Error());
        directPort = modules.TcpPort(0x40F5849A);
        std::string served = "127.0.0.1:" + std::to_string(modules.TcpPort(0x40F5849B));
        if (!server.Start({"-d", "40F5849B", "--tcp", served}))
            throw std::runtime_error(server.Error());
    }
    uint32_t client() { return aLink_CreateClient(htonl(INADDR_LOOPBACK), server.Port(), 0); }
};

void BM_ServedVsDirectGet(benchmark::State& state)
{
    Modules modules;
    uint32_t direct = aLink_CreateTCPIP(0x40F5849A, htonl(INADDR_LOOPBACK), modules.directPort);
    uint32_t served = modules.client();
    LinkEchoPeer peer;
    int bare = peer.connectClient();
    ZmqEchoPeer zmqEcho;
    if (!direct || !served || bare < 0) {
        state.SkipWithError("no link to the virtual modules");
        return;
    }
    for (int i = 0; i < 100; ++i) {  // warm up every path
        _get(direct);
        _get(served);
        _bareRoundTrip(bare);
        zmqEcho.roundTrip();
    }
    double directTime = 0, servedTime = 0, bareTime = 0, zmqTime = 0;
    int64_t rounds = 0;
    for (auto _ : state) {
        directTime += _get(direct);
        servedTime += _get(served);
        bareTime += _bareRoundTrip(bare);
        zmqTime += zmqEcho.roundTrip();
        rounds++;
    }
    state.counters["direct_us"] = directTime / rounds * 1e6;
    state.counters["served_us"] = servedTime / rounds * 1e6;
    state.counters["bare_us"] = bareTime / rounds * 1e6;
    state.counters["zmq_echo_us"] = zmqTime / rounds * 1e6;
    state.counters["ratio"] = servedTime / (directTime + bareTime);
    state.counters["ratio_zmq"] = servedTime / (directTime + zmqTime);
    close(bare);
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
    std::atomic<int64_t> misdirected{0}, lost{0}, answered{0};
    double seconds = 0;
    for (auto _ : state) {
        std::vector<uint32_t> clients;
        for (int c = 0; c < kClients; ++c)
            clients.push_back(modules.client());
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
}

// CPU time of a process's threads so far, from the scheduler's nanosecond run times: the
// 10 ms ticks of /proc/PID/stat leave an idle server a handful of samples in 20 s, too few
// to tell 0.1 % from 0.4 %.
double _cpuSeconds(pid_t pid)
{
    unsigned long long nanoseconds = 0;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::ifstream schedstat(task.path() / "schedstat");
        unsigned long long running = 0;
        if (schedstat >> running)
            nanoseconds += running;
    }
    return static_cast<double>(nanoseconds) / 1e9;
}

void BM_IdleServerCpu(benchmark::State& state)
{
    Modules modules;
    testsupport::ModuleServerProcess& server = modules.server;
    uint32_t client = modules.client();
    for (auto _ : state) {
        std::this_thread::sleep_for(std::chrono::seconds(1));  // settled
        double before = _cpuSeconds(server.Pid());
        auto start = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(20));
        double wall = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(wall);
        state.counters["server_cpu_percent"] = 100.0 * (_cpuSeconds(server.Pid()) - before) / wall;
    }
    aLink_Destroy(&client);
}

}  // namespace

BENCHMARK(BM_ServedVsDirectGet)->Iterations(2000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EightClientsAtOnce)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_IdleServerCpu)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
