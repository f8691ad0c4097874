// The module over its real transports, seen from a bare socket: one host at a
// time, drops and restarts on the connection, and the direct TCP/IP discovery
// responder (inside a private network namespace only).
#include <arpa/inet.h>
#include <fcntl.h>
#include <termios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "sim/TcpModuleServer.h"
#include "support/PrivateNetwork.h"

using namespace Sim;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr int kWaitMs = 5000;  // failure time-out only; the tests never measure time

ModuleConfig _config(uint32_t serial = 0x0BADF00D)
{
    ModuleConfig c;
    c.serialNumber = serial;
    c.moduleAddress = 6;
    c.model = 19;
    c.loadPauseMs = 150;
    return c;
}

// A host connection made of a plain TCP socket.
class RawHost {
public:
    bool Connect(const std::string& address, uint16_t port)
    {
        _fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        inet_pton(AF_INET, address.c_str(), &a.sin_addr);
        return connect(_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~RawHost()
    {
        if (_fd >= 0)
            close(_fd);
    }
    void Send(const Bytes& bytes)
    {
        ASSERT_EQ(send(_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
    }
    // Reads exactly n bytes; fewer when the connection ends or nothing comes.
    Bytes Receive(size_t n)
    {
        Bytes got;
        while (got.size() < n) {
            pollfd p{_fd, POLLIN, 0};
            if (poll(&p, 1, kWaitMs) <= 0)
                break;
            uint8_t b[256];
            ssize_t r = recv(_fd, b, std::min(sizeof b, n - got.size()), 0);
            if (r <= 0)
                break;
            got.insert(got.end(), b, b + r);
        }
        return got;
    }
    // True when the module ended the connection (end of stream or reset).
    bool Ended()
    {
        pollfd p{_fd, POLLIN, 0};
        if (poll(&p, 1, kWaitMs) <= 0)
            return false;
        uint8_t b;
        return recv(_fd, &b, 1, 0) <= 0;
    }

private:
    int _fd = -1;
};

bool _connect_when_back(RawHost& host, uint16_t port)
{
    for (int i = 0; i < kWaitMs / 10; ++i) {
        if (host.Connect("127.0.0.1", port))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

}  // namespace

TEST(TcpTransport, AnswersOneHostAtATimeAndAcceptsAgainAfterItLeaves)
{
    auto module = std::make_shared<VirtualModule>(_config());
    TcpModuleServer server(module, "", 0);
    std::string error;
    ASSERT_TRUE(server.Start(error)) << error;
    EXPECT_EQ(server.Address(), "127.0.0.1");
    {
        RawHost first;
        ASSERT_TRUE(first.Connect("127.0.0.1", server.Port()));
        first.Send({0xAD, 0, 0xAD, 0});
        EXPECT_EQ(first.Receive(4), (Bytes{6, 0, 6, 0}));
        RawHost second;
        ASSERT_TRUE(second.Connect("127.0.0.1", server.Port()));
        EXPECT_TRUE(second.Ended()) << "a second host is turned away";
        first.Send({6, 3, 3, 0x49, 0x20});
        EXPECT_EQ(first.Receive(9), (Bytes{6, 7, 3, 9, 0, 0x0B, 0xAD, 0xF0, 0x0D}));
    }
    RawHost again;
    ASSERT_TRUE(_connect_when_back(again, server.Port()));
    again.Send({0xAD, 0});
    EXPECT_EQ(again.Receive(2), (Bytes{6, 0}));
    EXPECT_GE(module->Stats().connections, 2u);
}

TEST(TcpTransport, PacketsSplitAcrossWritesAndPooledInOneAreAllAnswered)
{
    auto module = std::make_shared<VirtualModule>(_config());
    TcpModuleServer server(module, "127.0.0.1", 0);
    std::string error;
    ASSERT_TRUE(server.Start(error)) << error;
    RawHost host;
    ASSERT_TRUE(host.Connect("127.0.0.1", server.Port()));
    host.Send({6, 3, 3});
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    host.Send({0x48, 0x20, 6, 2, 73, 0xFF, 6, 3, 3, 0x41, 0x20});
    EXPECT_EQ(host.Receive(6 + 8 + 6), (Bytes{6, 4, 3, 8, 0, 19, 6, 6, 73, 0xFF, 0, 0, 3, 0xE8, 6, 4, 3, 1, 0, 6}));
}

TEST(TcpTransport, LoadResetsTheConnectionAndThePortReturnsAfterTheRestart)
{
    auto module = std::make_shared<VirtualModule>(_config());
    TcpModuleServer server(module, "", 0);
    std::string error;
    ASSERT_TRUE(server.Start(error)) << error;
    uint16_t port = server.Port();
    RawHost host;
    ASSERT_TRUE(host.Connect("127.0.0.1", port));
    host.Send({6, 2, 95, 2});
    EXPECT_EQ(host.Receive(4), (Bytes{6, 2, 95, 2}));
    EXPECT_TRUE(host.Ended());
    RawHost later;
    ASSERT_TRUE(_connect_when_back(later, port));
    EXPECT_EQ(server.Port(), port);
    later.Send({0xAD, 0});
    EXPECT_EQ(later.Receive(2), (Bytes{6, 0}));
    EXPECT_TRUE(module->Stats().loaderRunning);
}

TEST(TcpTransport, DropFaultEndsTheConnectionWithoutAReply)
{
    ModuleConfig c = _config();
    Fault f;
    std::string error;
    ASSERT_TRUE(Fault::Parse("drop-at=INIT", f, error));
    c.faults.push_back(f);
    auto module = std::make_shared<VirtualModule>(c);
    TcpModuleServer server(module, "", 0);
    ASSERT_TRUE(server.Start(error)) << error;
    RawHost host;
    ASSERT_TRUE(host.Connect("127.0.0.1", server.Port()));
    host.Send({6, 2, 95, 0});
    EXPECT_TRUE(host.Ended());
    RawHost again;
    ASSERT_TRUE(_connect_when_back(again, server.Port()));
    again.Send({6, 2, 95, 0});
    EXPECT_EQ(again.Receive(8), (Bytes{6, 6, 95, 0, 0x20, 0, 0, 0}));
}

TEST(TcpTransport, HeartbeatsReachTheHost)
{
    ModuleConfig c = _config();
    c.heartbeatMs = 200;
    auto module = std::make_shared<VirtualModule>(c);
    TcpModuleServer server(module, "", 0);
    std::string error;
    ASSERT_TRUE(server.Start(error)) << error;
    RawHost host;
    ASSERT_TRUE(host.Connect("127.0.0.1", server.Port()));
    host.Send({6, 3, 3, 0x41, 0x20});
    EXPECT_EQ(host.Receive(6), (Bytes{6, 4, 3, 1, 0, 6}));
    EXPECT_EQ(host.Receive(4), (Bytes{6, 2, 0, 0}));
    host.Send({6, 2, 0, 2});
    EXPECT_EQ(host.Receive(4), (Bytes{6, 2, 0, 1}));
    server.Stop();
    EXPECT_EQ(module->Stats().heartbeatsAnswered, 1u);
}

// --- direct TCP/IP discovery -------------------------------------------------

namespace {

// The host's half: a listener on 9889 and one request to 232.2.2.2:9888 sent
// from the interface address. Returns the replies that came within the wait.
std::vector<std::pair<Bytes, std::string>> _discover(const std::string& interfaceAddress, int waitMs)
{
    std::vector<std::pair<Bytes, std::string>> replies;
    in_addr iface;
    inet_pton(AF_INET, interfaceAddress.c_str(), &iface);
    int listener = socket(AF_INET, SOCK_DGRAM, 0);
    int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(kDiscoveryReplyPort);
    at.sin_addr = iface;
    EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);

    int sender = socket(AF_INET, SOCK_DGRAM, 0);
    EXPECT_EQ(setsockopt(sender, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof iface), 0);
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(kDiscoveryRequestPort);
    inet_pton(AF_INET, kDiscoveryGroup, &group.sin_addr);
    uint8_t request[16] = {1};
    EXPECT_EQ(sendto(sender, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&group), sizeof group), 16);
    close(sender);

    for (;;) {
        pollfd p{listener, POLLIN, 0};
        if (poll(&p, 1, waitMs) <= 0)
            break;
        uint8_t b[64];
        sockaddr_in from{};
        socklen_t length = sizeof from;
        ssize_t n = recvfrom(listener, b, sizeof b, 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 0)
            break;
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
        replies.emplace_back(Bytes(b, b + n), text);
    }
    close(listener);
    return replies;
}

}  // namespace

TEST(DiscoveryResponder, RefusesTheInterfaceOfTheDefaultRouteAndAddressesNoInterfaceHolds)
{
    DiscoveryResponder responder;
    std::string error;
    EXPECT_FALSE(responder.Open("198.51.100.77", error));
    EXPECT_NE(error.find("no interface"), std::string::npos) << error;
    EXPECT_FALSE(responder.Open("eth0", error));
}

TEST(DiscoveryResponder, ReplyLayout)
{
    uint8_t reply[16];
    BuildDiscoveryReply({0x1A2B3C4D, 6, 10020, 19}, reply);
    EXPECT_EQ(Bytes(reply, reply + 16), (Bytes{1, 6, 0x24, 0x27, 0x4D, 0x3C, 0x2B, 0x1A, 0, 0, 0, 0, 19, 0, 0, 0}));
}

TEST(DiscoveryInPrivateNetwork, TwoModulesAnswerTheRequestAndStaySilentWhileRestarting)
{
    PRIVATE_NETWORK_OR_RERUN();
    const std::string iface = testsupport::kPrivateAddress;
    ModuleConfig slow = _config(0x1A2B3C4D);
    slow.loadPauseMs = 60000;  // stays away for the rest of the test
    auto first = std::make_shared<VirtualModule>(slow);
    auto second = std::make_shared<VirtualModule>(_config(0x55667788));
    TcpModuleServer a(first, "", 0, iface), b(second, "", 0, iface);
    std::string error;
    ASSERT_TRUE(a.Start(error)) << error;
    ASSERT_TRUE(b.Start(error)) << error;
    EXPECT_EQ(a.Address(), iface) << "the module listens where discovery finds it";

    auto replies = _discover(iface, 500);
    ASSERT_EQ(replies.size(), 2u);
    std::map<uint32_t, Bytes> bySerial;
    for (auto& [reply, from] : replies) {
        ASSERT_EQ(reply.size(), 16u);
        EXPECT_EQ(from, iface);
        bySerial[reply[4] | reply[5] << 8 | reply[6] << 16 | uint32_t(reply[7]) << 24] = reply;
    }
    ASSERT_EQ(bySerial.count(0x1A2B3C4D), 1u);
    const Bytes& r = bySerial[0x1A2B3C4D];
    EXPECT_EQ(r[1], 6);
    EXPECT_EQ(r[2] | r[3] << 8, a.Port());
    EXPECT_EQ(r[12], 19);

    // The port in the reply takes a host to the module.
    RawHost host;
    ASSERT_TRUE(host.Connect(iface, a.Port()));
    host.Send({0xAD, 0});
    EXPECT_EQ(host.Receive(2), (Bytes{6, 0}));

    // A module restarting into its loader does not answer discovery.
    host.Send({6, 2, 95, 2});
    EXPECT_EQ(host.Receive(4), (Bytes{6, 2, 95, 2}));
    replies = _discover(iface, 100);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].first[4], 0x88);
    EXPECT_EQ(a.DiscoveryAnswers(), 1u);
}

// --- packetized serial on a pseudo-terminal ---------------------------------

#include "common/aStream.h"
#include "common/cobs.h"
#include "common/crc8.h"
#include "sim/PtyModuleServer.h"

namespace {

// Packet wire bytes + CRC-8, COBS-encoded, then the delimiter.
Bytes _frame(Bytes wire)
{
    wire.push_back(crc8_create(wire.data(), wire.size()));
    Bytes framed(cobs_max_encoded(wire.size()));
    framed.resize(cobs_encode(wire.data(), wire.size(), framed.data()));
    framed.push_back(0);
    return framed;
}

// The host's end: the product's packetized serial stream on the slave path.
class SerialHost {
public:
    explicit SerialHost(const std::string& path)
    {
        EXPECT_EQ(aStream_CreateSerial_Packetized(path.c_str(), 6, false, 0, 0, &_stream), aErrNone);
    }
    ~SerialHost() { aStream_Destroy(&_stream); }
    void Send(const Bytes& wire) { EXPECT_EQ(aStream_Write(_stream, wire.data(), wire.size()), aErrNone); }
    Bytes Receive(size_t n, int waitMs = kWaitMs)
    {
        Bytes got;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        while (got.size() < n && std::chrono::steady_clock::now() < end) {
            uint8_t b;
            aErr err = aStream_Read(_stream, &b, 1);
            if (err == aErrNone)
                got.push_back(b);
            else
                aStream_Wait(_stream, 10);
        }
        return got;
    }

private:
    aStreamRef _stream = nullptr;
};

}  // namespace

TEST(PtyTransport, PacketsTravelInCobsFramesAndARestartLeavesTheModuleDeafForItsPause)
{
    ModuleConfig c = _config();
    c.loadPauseMs = 300;
    auto module = std::make_shared<VirtualModule>(c);
    PtyModuleServer server(module);
    std::string error;
    ASSERT_TRUE(server.Start(error)) << error;
    ASSERT_EQ(server.SlavePath().rfind("/dev/pts/", 0), 0u) << server.SlavePath();
    {
        SerialHost host(server.SlavePath());
        host.Send({0xAD, 0});
        EXPECT_EQ(host.Receive(2), (Bytes{6, 0}));
        host.Send({6, 3, 3, 0x49, 0x20});
        EXPECT_EQ(host.Receive(9), (Bytes{6, 7, 3, 9, 0, 0x0B, 0xAD, 0xF0, 0x0D}));
        host.Send({6, 2, 95, 2});
        EXPECT_EQ(host.Receive(4), (Bytes{6, 2, 95, 2}));
        host.Send({0xAD, 0});
        EXPECT_TRUE(host.Receive(2, 100).empty()) << "restarting: nothing is heard";
    }
    // A host that closed the port and opens it again finds the module there.
    SerialHost again(server.SlavePath());
    Bytes reply;
    for (int i = 0; i < kWaitMs / 50 && reply.empty(); ++i) {
        again.Send({0xAD, 0});
        reply = again.Receive(2, 50);
    }
    EXPECT_EQ(reply, (Bytes{6, 0}));
    EXPECT_TRUE(module->Stats().loaderRunning);
}

TEST(PtyTransport, FramesWithABadCrcAreCountedAndIgnored)
{
    auto module = std::make_shared<VirtualModule>(_config());
    PtyModuleServer server(module);
    std::string error;
    ASSERT_TRUE(server.Start(error)) << error;
    int fd = open(server.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios raw{};
    tcgetattr(fd, &raw);
    cfmakeraw(&raw);
    tcsetattr(fd, TCSANOW, &raw);
    // A frame whose CRC is spoiled, then the same packet framed properly.
    Bytes good = _frame({0xAD, 0x00}), bad = good;
    bad[3] ^= 0x55;
    ASSERT_EQ(write(fd, bad.data(), bad.size()), ssize_t(bad.size()));
    ASSERT_EQ(write(fd, good.data(), good.size()), ssize_t(good.size()));
    Bytes expected = _frame({0x06, 0x00});
    Bytes got(expected.size());
    size_t have = 0;
    while (have < got.size()) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, kWaitMs) <= 0)
            break;
        ssize_t n = read(fd, got.data() + have, got.size() - have);
        if (n <= 0)
            break;
        have += size_t(n);
    }
    close(fd);
    EXPECT_EQ(got, expected);
    EXPECT_EQ(server.BadFrames(), 1u);
    EXPECT_EQ(module->Stats().magicAnswered, 1u);
}
