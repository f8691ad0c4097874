#include "support/ScriptedModule.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace testsupport {

linkSpec LoopbackSpec(uint16_t port, uint32_t serial)
{
    linkSpec spec{};
    spec.type = TCPIP;
    spec.serialNumber = serial;
    spec.ipAddress = 0x0100007F;
    spec.ipPort = port;
    return spec;
}

Kestrune::Tessarine::PlexusConfig NoNetworking(bool fallback)
{
    Kestrune::Tessarine::PlexusConfig config;
    config.enabled = false;
    config.fallback = fallback;
    return config;
}

namespace {

constexpr uint8_t kMagicAddress = 0xAD;
constexpr uint8_t kRouteAddress = 0xAF;

}  // namespace

ScriptedModule::ScriptedModule(uint8_t address) : magicAddress_(address)
{
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof where;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0 && listen(listener_, 4) == 0 &&
        getsockname(listener_, reinterpret_cast<sockaddr*>(&where), &length) == 0)
        port_ = ntohs(where.sin_port);
    thread_ = std::thread(&ScriptedModule::run, this);
}

ScriptedModule::~ScriptedModule()
{
    stop_ = true;
    thread_.join();
    if (client_ >= 0)
        close(client_);
    close(listener_);
}

void ScriptedModule::setHandler(Handler handler)
{
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = std::move(handler);
}

void ScriptedModule::setMagicAddress(uint8_t address)
{
    magicAddress_ = address;
}

void ScriptedModule::send(const WirePacket& packet)
{
    std::lock_guard<std::mutex> lock(mutex_);
    write(packet);
}

std::vector<WirePacket> ScriptedModule::received()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

bool ScriptedModule::waitForReceived(size_t n)
{
    std::unique_lock<std::mutex> lock(mutex_);
    // A generous bound against a host that never sends: the test then fails on
    // its own checks instead of hanging.
    return receivedChanged_.wait_for(lock, std::chrono::seconds(10), [&] { return received_.size() >= n; });
}

void ScriptedModule::write(const WirePacket& packet)
{
    int fd = client_;
    if (fd < 0)
        return;
    std::vector<uint8_t> bytes{packet.address, static_cast<uint8_t>(packet.payload.size())};
    bytes.insert(bytes.end(), packet.payload.begin(), packet.payload.end());
    ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    (void)sent;
}

void ScriptedModule::handlePacket(const WirePacket& packet)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (packet.address == kMagicAddress && packet.payload.empty()) {
        ++magic_;
        write(WirePacket{magicAddress_, {}});
        return;
    }
    if (packet.address == kRouteAddress) {
        ++routes_;
        return;
    }
    if (packet.payload.size() == 2 && packet.payload[0] == 0)
        return;  // heartbeat answer
    received_.push_back(packet);
    receivedChanged_.notify_all();
    if (handler_)
        for (const WirePacket& reply : handler_(packet))
            write(reply);
}

void ScriptedModule::handleBytes(const uint8_t* bytes, size_t length)
{
    partial_.insert(partial_.end(), bytes, bytes + length);
    while (partial_.size() >= 2 && partial_.size() >= 2u + partial_[1]) {
        WirePacket packet{partial_[0], std::vector<uint8_t>(partial_.begin() + 2, partial_.begin() + 2 + partial_[1])};
        partial_.erase(partial_.begin(), partial_.begin() + 2 + partial_[1]);
        handlePacket(packet);
    }
}

void ScriptedModule::run()
{
    while (!stop_) {
        int fd = client_ >= 0 ? client_.load() : listener_;
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, 20) <= 0)
            continue;
        if (fd == listener_) {
            int client = accept(listener_, nullptr, nullptr);
            if (client >= 0) {
                int on = 1;
                setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                partial_.clear();
                client_ = client;
                ++connections_;
            }
            continue;
        }
        uint8_t bytes[512];
        ssize_t length = recv(fd, bytes, sizeof bytes, 0);
        if (length <= 0) {
            std::lock_guard<std::mutex> lock(mutex_);
            close(fd);
            client_ = -1;
            receivedChanged_.notify_all();
            continue;
        }
        handleBytes(bytes, static_cast<size_t>(length));
    }
}

}  // namespace testsupport
