#pragma once
// A scripted module at the far end of a TCP link on 127.0.0.1, for byte-exact
// tests of what the host sends. It answers link synchronisation (an empty packet
// for each magic packet), ignores route packets and heartbeat answers, records
// every other packet and answers it through a handler.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "common/device/Link.h"

namespace testsupport {

// The TCP/IP spec of a module at 127.0.0.1:port (a ScriptedModule's port()).
linkSpec LoopbackSpec(uint16_t port, uint32_t serial = 0x40F5849A);

// A link configuration without module-server networking; the fallback to served
// modules only when asked for.
Kestrune::Tessarine::PlexusConfig NoNetworking(bool fallback = false);

struct WirePacket {
    uint8_t address = 0;
    std::vector<uint8_t> payload;
};

class ScriptedModule {
public:
    // Replies (whole packets) to one packet from the host.
    using Handler = std::function<std::vector<WirePacket>(const WirePacket&)>;

    explicit ScriptedModule(uint8_t address);
    ~ScriptedModule();

    uint16_t port() const { return port_; }
    void setHandler(Handler handler);
    // The address the module answers magic packets from.
    void setMagicAddress(uint8_t address);
    // Sends a packet of the module's own accord.
    void send(const WirePacket& packet);

    // Packets received from the host, magic, route and heartbeat packets left out.
    std::vector<WirePacket> received();
    size_t magicCount() const { return magic_; }
    // Route packets (address 0xAF) received so far.
    size_t routeCount() const { return routes_; }
    // Waits until n packets have been received (or the host hung up).
    bool waitForReceived(size_t n);
    bool connected() const { return client_ >= 0; }
    // Number of host connections accepted so far.
    int connections() const { return connections_; }

private:
    void run();
    void handleBytes(const uint8_t* bytes, size_t length);
    void handlePacket(const WirePacket& packet);
    void write(const WirePacket& packet);

    int listener_ = -1;
    std::atomic<int> client_{-1};
    uint16_t port_ = 0;
    std::atomic<uint8_t> magicAddress_;
    std::atomic<size_t> magic_{0};
    std::atomic<size_t> routes_{0};
    std::atomic<int> connections_{0};
    std::atomic<bool> stop_{false};
    std::mutex mutex_;  // handler, received list, writes
    std::condition_variable receivedChanged_;
    Handler handler_;
    std::vector<WirePacket> received_;
    std::vector<uint8_t> partial_;
    std::thread thread_;
};

}  // namespace testsupport
