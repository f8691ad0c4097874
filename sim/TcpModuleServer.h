#pragma once
// A module reached over TCP/IP: one host connection at a time (a second one is
// reset at once), raw link packets both ways, and optionally the direct
// TCP/IP discovery responder. When the module drops its link the connection
// is reset; while it restarts the port is closed (connections are refused)
// and discovery goes unanswered; afterwards it listens on the same port again.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "sim/DiscoveryResponder.h"
#include "sim/ModuleConnection.h"
#include "sim/VirtualModule.h"

namespace Sim {

class TcpModuleServer {
public:
    // listenAddress "" = the discovery interface if given, else 127.0.0.1.
    TcpModuleServer(std::shared_ptr<VirtualModule> module, std::string listenAddress, uint16_t port,
                    std::string discoveryInterface = "");
    ~TcpModuleServer();
    TcpModuleServer(const TcpModuleServer&) = delete;
    TcpModuleServer& operator=(const TcpModuleServer&) = delete;

    // Binds and starts serving on its own thread.
    bool Start(std::string& error);
    void Stop();

    const std::string& Address() const { return _address; }
    uint16_t Port() const { return _port; }
    bool Discovery() const { return !_discoveryInterface.empty(); }
    const std::string& DiscoveryInterface() const { return _discoveryInterface; }
    uint64_t DiscoveryAnswers() const { return _discoveryAnswers.load(); }
    // Time the module spent on what the host sent, from reading it to having sent
    // the answers: its own share of each exchange, for benchmarks.
    std::chrono::nanoseconds BusyTime() const { return std::chrono::nanoseconds(_busyNs.load()); }
    // True while a host is connected.
    bool HostConnected() const { return _client.load() >= 0; }

    // One line per packet in each direction ("<- ..." from the host, "-> ..." to it).
    void SetTrace(std::function<void(const std::string&)> trace);

private:
    void _run();
    bool _listen(std::string& error);
    void _close_listener();
    void _accept();
    void _drain_client();
    void _close_client(bool reset);
    void _read_client(Clock::time_point now);
    bool _send(const std::vector<uint8_t>& bytes);
    void _react(const ModuleByteLink::Output& output, Clock::time_point now);

    std::shared_ptr<VirtualModule> _module;
    std::string _address;
    std::atomic<uint16_t> _port;
    std::string _discoveryInterface;
    DiscoveryResponder _discovery;
    std::atomic<uint64_t> _discoveryAnswers{0};
    std::atomic<uint64_t> _busyNs{0};

    int _listener = -1;
    std::atomic<int> _client{-1};
    int _wake[2] = {-1, -1};
    std::thread _thread;
    std::atomic<bool> _running{false};
    ModuleByteLink _link;
};

}  // namespace Sim
