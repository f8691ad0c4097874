// module-server under stress and misuse, each scenario bounded in time: who may
// connect with CURVE, a module that goes away and comes back, a stop during
// traffic, clients that come and go, vanish mid-string or never read.
#include <arpa/inet.h>
#include <czmq.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/aLink.h"
#include "common/served/aLinkNetwork.h"
#include "common/served/aStreamZeroMQClient.h"
#include "common/aUEI.h"
#include "common/discovery/aDiscovery.h"
#include "support/ModuleServerProcess.h"
#include "support/PrivateNetwork.h"
#include "support/Process.h"
#include "support/TcpListener.h"
#include "support/TempDir.h"
#include "support/VmoduleProcess.h"

using testsupport::ModuleServerProcess;
using testsupport::TempDir;
using testsupport::VmoduleProcess;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t kSerial = 0x40F5849A;
constexpr uint8_t kAddress = 2;

struct Echo {
    uint8_t tag;
};

uint8_t _echoOf(const aPacket* packet, const void* ref)
{
    return packet->address == kAddress && packet->dataSize == 3 && packet->data[0] == cmdDEBUG &&
           packet->data[2] == static_cast<const Echo*>(ref)->tag;
}

// An echo through the client link: the module sends the payload back.
bool _echo(uint32_t link, uint8_t client, uint8_t tag, uint32_t timeoutMs = 2000)
{
    const uint8_t payload[3] = {cmdDEBUG, client, tag};
    aPacket* packet = aPacket_CreateWithData(kAddress, sizeof payload, payload);
    aLink_PutPacket(link, packet);
    aPacket_Destroy(&packet);
    Echo echo{tag};
    aPacket* reply = aLink_AwaitFirst(link, _echoOf, &echo, timeoutMs);
    bool ok = reply && reply->data[1] == client;
    aPacket_Destroy(&reply);
    return ok;
}

uint32_t _client(uint16_t port)
{
    return aLink_CreateClient(htonl(INADDR_LOOPBACK), port, 0);
}

// A field of /proc/PID/status in kB, or the number of open descriptors.
long _rssKb(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

long _fds(pid_t pid)
{
    std::error_code error;
    auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error);
    return error ? -1 : std::distance(it, std::filesystem::directory_iterator());
}

bool _waitFor(const std::function<bool()>& condition, int timeoutMs)
{
    for (auto end = Clock::now() + std::chrono::milliseconds(timeoutMs); Clock::now() < end;) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
}

// A module (with its packets traced) served by module-server.
struct Served {
    VmoduleProcess modules;
    ModuleServerProcess server;
    bool Start(const std::string& moduleKeys = "", const std::vector<std::string>& serverArgs = {})
    {
        if (!modules.Start({"--trace", "--module", "serial=40F5849A" + moduleKeys}))
            return false;
        std::vector<std::string> args{"-d", "40F5849A", "--tcp",
                                      "127.0.0.1:" + std::to_string(modules.TcpPort(kSerial))};
        args.insert(args.end(), serverArgs.begin(), serverArgs.end());
        return server.Start(args);
    }
};

// A TCP relay from a port of its own to the server, keeping what clients send:
// what anyone listening on the wire would see of the requests.
class WireTap {
public:
    explicit WireTap(uint16_t to) : to_(to)
    {
        thread_ = std::thread([this] { run(); });
    }
    ~WireTap()
    {
        stop_ = true;
        thread_.join();
    }
    uint16_t port() const { return listener_.port(); }
    std::string seen()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }

private:
    void run()
    {
        while (!stop_) {
            int client = listener_.accept(100);
            if (client < 0)
                continue;
            int server = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(to_);
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
                relay(client, server);
            close(server);
            close(client);
        }
    }
    void relay(int client, int server)
    {
        char buffer[4096];
        while (!stop_) {
            pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
            if (poll(fds, 2, 100) <= 0)
                continue;
            for (int i = 0; i < 2; ++i) {
                if (!(fds[i].revents & (POLLIN | POLLHUP)))
                    continue;
                ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
                if (n <= 0 || write(fds[1 - i].fd, buffer, static_cast<size_t>(n)) != n)
                    return;
                if (i == 0) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    seen_.append(buffer, static_cast<size_t>(n));
                }
            }
        }
    }

    uint16_t to_;
    TcpListener listener_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::string seen_;
    std::thread thread_;
};

}  // namespace

// Certificates made by pyzmq, as another program's would be. The allowed
// client is served; a client without a certificate or with a stranger's gets
// nothing, and the module never sees its packets; the wire shows no payload.
TEST(ServedRobustness, CurveAdmitsOnlyTheAllowedClients)
{
    PRIVATE_NETWORK_OR_RERUN();
    TempDir keys;
    const std::string make =
        "import sys, os, zmq.auth\n"
        "for name in ('server', 'allowed', 'stranger'):\n"
        "    zmq.auth.create_certificates(sys.argv[1], name)\n"
        "os.mkdir(sys.argv[1] + '/clients')\n"
        "os.rename(sys.argv[1] + '/allowed.key', sys.argv[1] + '/clients/allowed.key')\n";
    testsupport::ProcessResult made = testsupport::RunProcess({"/usr/bin/python3", "-c", make, keys.path()});
    ASSERT_EQ(made.exit_status, 0) << made.err;
    Served served;
    ASSERT_TRUE(served.Start("", {"--curve-key", keys / "server.key_secret", "--allow", keys / "clients"}))
        << served.server.Error();
    WireTap tap(served.server.Port());

    struct Case {
        const char* who;
        const char* certificate;  // "" for none
        bool served;
    };
    const Case cases[] = {
        {"allowed", "allowed.key_secret", true}, {"plain", "", false}, {"stranger", "stranger.key_secret", false}};
    uint8_t tag = 0xA0;
    for (const Case& c : cases) {
        if (*c.certificate) {
            setenv(aCLIENT_SERVER_KEY_ENV, (keys / "server.key").c_str(), 1);
            setenv(aCLIENT_CERTIFICATE_ENV, (keys / c.certificate).c_str(), 1);
        } else {
            unsetenv(aCLIENT_SERVER_KEY_ENV);
            unsetenv(aCLIENT_CERTIFICATE_ENV);
        }
        uint32_t link = _client(tap.port());
        ASSERT_NE(link, 0u) << c.who;
        ++tag;
        EXPECT_EQ(_echo(link, 0x5E, tag, c.served ? 3000 : 1500), c.served) << c.who;
        aLink_Destroy(&link);
        char hex[16];
        snprintf(hex, sizeof hex, "17 5E %02X", tag);
        EXPECT_EQ(served.modules.Stderr().find(hex) != std::string::npos, c.served) << c.who << " " << hex;
    }
    unsetenv(aCLIENT_SERVER_KEY_ENV);
    unsetenv(aCLIENT_CERTIFICATE_ENV);
    const std::string plainRequest = {2, 3, cmdDEBUG, 0x5E, static_cast<char>(0xA1)};
    EXPECT_EQ(tap.seen().find(plainRequest), std::string::npos) << "the allowed client's request went in clear";
    EXPECT_GT(tap.seen().size(), 100u) << "the tap saw no traffic";
    EXPECT_EQ(served.server.Stop(), 0);
}

// The module restarts behind the server: it says so, clients get errors in
// bounded time meanwhile, and service afterwards.
TEST(ServedRobustness, AModuleThatGoesAwayAndComesBack)
{
    PRIVATE_NETWORK_OR_RERUN();
    uint16_t port = 0;
    {
        TcpListener probe;
        port = probe.port();
    }
    Served served;
    ASSERT_TRUE(served.Start(",port=" + std::to_string(port))) << served.server.Error();
    uint32_t link = _client(served.server.Port());
    ASSERT_TRUE(_echo(link, 1, 1));

    served.modules.Stop();
    ASSERT_TRUE(
        _waitFor([&] { return served.server.Stderr().find("module 40F5849A lost: ") != std::string::npos; }, 5000))
        << served.server.Stderr();
    EXPECT_NE(served.server.Stderr().find("; reconnecting\n"), std::string::npos);
    auto start = Clock::now();
    EXPECT_FALSE(_echo(link, 1, 2));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(4)) << "a request to a lost module hung";

    VmoduleProcess again;
    ASSERT_TRUE(again.Start({"--module", "serial=40F5849A,port=" + std::to_string(port)})) << again.Error();
    EXPECT_TRUE(
        _waitFor([&] { return served.server.Stderr().find("module 40F5849A back\n") != std::string::npos; }, 10000))
        << served.server.Stderr();
    EXPECT_TRUE(_waitFor([&] { return _echo(link, 1, 3, 500); }, 3000));
    aLink_Destroy(&link);
    EXPECT_EQ(served.server.Stop(), 0);
}

// A module reached by its address is served only when it is the one asked for: another
// module answering there, at start or after a restart, is named and neither served nor
// announced until the right one is back.
TEST(ServedRobustness, AnotherModuleAtTheAddressIsNeitherServedNorAnnounced)
{
    PRIVATE_NETWORK_OR_RERUN();
    uint16_t port = 0;
    {
        TcpListener probe;
        port = probe.port();
    }
    const std::string address = "127.0.0.1:" + std::to_string(port);
    const std::string waiting = "module at " + address + " is 12345678, not 40F5849A; waiting\n";
    auto count = [](const std::string& text, const std::string& line) {
        size_t n = 0;
        for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1))
            ++n;
        return n;
    };
    auto announced = [](uint32_t serial) {
        linkSpec* found = aDiscovery_FindModule(PLEXUS, serial, 0);
        aLinkSpec_Destroy(&found);
        return found != nullptr;
    };
    auto stranger = std::make_unique<VmoduleProcess>();
    ASSERT_TRUE(stranger->Start({"--module", "serial=12345678,port=" + std::to_string(port)})) << stranger->Error();

    ModuleServerProcess server;
    ASSERT_TRUE(server.Launch({"-d", "40F5849A", "--tcp", address}));
    ASSERT_TRUE(_waitFor([&] { return count(server.Stderr(), waiting) == 1; }, 5000)) << server.Stderr();
    EXPECT_FALSE(server.AwaitReady(1500)) << "served the other module";
    EXPECT_FALSE(announced(0x12345678));
    EXPECT_FALSE(announced(kSerial));

    stranger.reset();
    VmoduleProcess right;
    ASSERT_TRUE(right.Start({"--module", "serial=40F5849A,port=" + std::to_string(port)})) << right.Error();
    ASSERT_TRUE(server.AwaitReady(10000)) << server.Stderr();
    uint32_t link = _client(server.Port());
    EXPECT_TRUE(_echo(link, 1, 1));
    aLink_Destroy(&link);

    right.Stop();
    ASSERT_TRUE(_waitFor([&] { return server.Stderr().find("module 40F5849A lost: ") != std::string::npos; }, 5000))
        << server.Stderr();
    stranger = std::make_unique<VmoduleProcess>();
    ASSERT_TRUE(stranger->Start({"--module", "serial=12345678,port=" + std::to_string(port)})) << stranger->Error();
    ASSERT_TRUE(_waitFor([&] { return count(server.Stderr(), waiting) == 2; }, 10000)) << server.Stderr();
    EXPECT_EQ(server.Stderr().find("module 40F5849A back"), std::string::npos) << server.Stderr();
    EXPECT_FALSE(announced(kSerial));
    EXPECT_FALSE(announced(0x12345678));
    EXPECT_EQ(server.Stop(), 0);
}

// SIGTERM while four clients keep it busy: the server is gone within a second, with status 0.
TEST(ServedRobustness, ATermDuringTrafficEndsItAtOnce)
{
    PRIVATE_NETWORK_OR_RERUN();
    Served served;
    ASSERT_TRUE(served.Start()) << served.server.Error();
    std::atomic<bool> stop{false};
    std::atomic<int> answered{0};
    std::vector<std::thread> clients;
    for (uint8_t c = 0; c < 4; ++c)
        clients.emplace_back([&, c] {
            uint32_t link = _client(served.server.Port());
            for (uint8_t tag = 0; !stop; ++tag)
                answered += _echo(link, c, tag, 300);
            aLink_Destroy(&link);
        });
    ASSERT_TRUE(_waitFor([&] { return answered > 100; }, 5000));
    auto start = Clock::now();
    int status = served.server.Stop(SIGTERM);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(status, 0);
    stop = true;
    for (auto& thread : clients)
        thread.join();
}

// Clients that misbehave cost the server nothing lasting and the others
// nothing at all: 64 that come, ask and vanish over and over (for
// UPDATER_CHURN_SECONDS, 3 by default); one that leaves mid byte string; one
// that floods requests and never reads a reply.
TEST(ServedRobustness, MisbehavingClientsLeaveNoTrace)
{
    PRIVATE_NETWORK_OR_RERUN();
    Served served;
    ASSERT_TRUE(served.Start()) << served.server.Error();
    const pid_t pid = served.server.Pid();
    const uint16_t port = served.server.Port();
    uint32_t steady = _client(port);
    ASSERT_TRUE(_echo(steady, 0x77, 0));
    auto churn = [&](int rounds) {
        for (int round = 0; round < rounds; ++round) {
            std::vector<uint32_t> links(64);
            for (uint32_t& link : links)
                link = _client(port);
            for (size_t c = 0; c < links.size(); ++c)
                for (uint8_t tag = 0; tag < 3; ++tag)
                    EXPECT_TRUE(_echo(links[c], static_cast<uint8_t>(c), tag));
            for (uint32_t& link : links)
                aLink_Destroy(&link);
        }
    };
    churn(3);  // the server's buffers and allocator arenas have grown to their working size
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const long fds = _fds(pid), rss = _rssKb(pid);
    const char* seconds = getenv("UPDATER_CHURN_SECONDS");
    for (auto end = Clock::now() + std::chrono::seconds(seconds ? atoi(seconds) : 3); Clock::now() < end;)
        churn(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_LE(_fds(pid), fds + fds / 10) << "descriptors from " << fds;
    EXPECT_LE(_rssKb(pid), rss + rss / 10) << "resident kB from " << rss;

    // Half a byte string, then gone; and a flood of requests nobody reads.
    zsock_t* quitter = zsock_new_dealer(("tcp://127.0.0.1:" + std::to_string(port)).c_str());
    uint8_t piece[30] = {kAddress, 28, 0x12, 0x8A, 0x20};
    piece[29] = 0x80;  // sequence 0, more to come
    zmq_send(zsock_resolve(quitter), piece, sizeof piece, 0);
    zsock_destroy(&quitter);
    zsock_t* flood = zsock_new_dealer(("tcp://127.0.0.1:" + std::to_string(port)).c_str());
    zsock_set_sndtimeo(flood, 0);
    const uint8_t request[5] = {kAddress, 3, cmdDEBUG, 0x66, 0};
    for (int i = 0; i < 20000; ++i)
        zmq_send(zsock_resolve(flood), request, sizeof request, ZMQ_DONTWAIT);
    for (uint8_t tag = 1; tag < 50; ++tag)
        EXPECT_TRUE(_echo(steady, 0x77, tag)) << "the steady client lost its service";
    EXPECT_EQ(served.modules.Stderr().find("02 1C 12 8A 20"), std::string::npos) << "half a string reached the module";
    // The replies pile up to the high-water mark and no further.
    EXPECT_LE(_rssKb(pid), rss + 16 * 1024) << "resident kB from " << rss;
    zsock_destroy(&flood);
    aLink_Destroy(&steady);
    EXPECT_EQ(served.server.Stop(), 0);
}
